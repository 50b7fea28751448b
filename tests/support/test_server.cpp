#include "test_server.h"

#include <sys/socket.h>
#include <zlib.h>

#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace velmoth::testing {

namespace {

constexpr qsizetype kMaxHeadBytes = 64 * 1024;
constexpr qsizetype kChunkBytes = 16 * 1024;
// Between sending part of a response and resetting the connection: long enough for the client to
// have read what was sent, so the reset is seen after it rather than instead of it.
constexpr int kResetPauseMs = 50;
// A streamed response is topped up whenever less than this is waiting on the socket.
constexpr qint64 kStreamQueueBytes = 256 * 1024;

QByteArray reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

QByteArray head_of(const TestResponse &response, bool close_after) {
  QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                    reason_phrase(response.status) + "\r\n";
  for (const auto &[name, value] : response.headers) head += name + ": " + value + "\r\n";
  if (response.chunked) {
    head += "Transfer-Encoding: chunked\r\n";
  } else {
    const qint64 size = response.mode == TestResponse::Mode::Stream
                            ? response.body.size() * response.stream_repeats
                            : response.body.size();
    const qint64 length = response.declared_length >= 0 ? response.declared_length : size;
    head += "Content-Length: " + QByteArray::number(length) + "\r\n";
  }
  if (close_after) head += "Connection: close\r\n";
  return head + "\r\n";
}

QByteArray chunk_of(const QByteArray &data) {
  return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

constexpr char kLastChunk[] = "0\r\n\r\n";

// The body as it goes on the wire.
QByteArray wire_body_of(const TestResponse &response) {
  if (!response.chunked) return response.body;
  QByteArray wire;
  for (qsizetype at = 0; at < response.body.size(); at += kChunkBytes) {
    wire += chunk_of(response.body.mid(at, kChunkBytes));
  }
  return wire + kLastChunk;
}

QString decode_query_part(QByteArray part) {
  part.replace('+', ' ');
  return QUrl::fromPercentEncoding(part);
}

enum class Parse { Incomplete, Complete, Malformed };

// Text before the first line break must be a request line; anything else (a TLS handshake, say)
// is turned away at once rather than waited on for a blank line that never comes.
bool looks_like_request_line(const QByteArray &buffer) {
  for (const char c : buffer) {
    if (c == '\r' || c == '\n') return true;
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7e) return false;
  }
  return true;
}

// Takes the first whole request off the front of buffer.
Parse take_request(QByteArray &buffer, TestRequest &request) {
  if (!looks_like_request_line(buffer)) return Parse::Malformed;
  const qsizetype head_end = buffer.indexOf("\r\n\r\n");
  if (head_end < 0) return buffer.size() > kMaxHeadBytes ? Parse::Malformed : Parse::Incomplete;

  const QList<QByteArray> lines = buffer.left(head_end).split('\n');
  const QList<QByteArray> request_line = lines.first().trimmed().split(' ');
  if (request_line.size() != 3 || !request_line[2].startsWith("HTTP/1.")) return Parse::Malformed;
  request.method = request_line[0];
  request.target = request_line[1];
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const QByteArray line = lines[i].trimmed();
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) return Parse::Malformed;
    request.headers.emplaceBack(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
  }
  // Request bodies come with a Content-Length here; chunked uploads are not supported.
  if (!request.header("Transfer-Encoding").isEmpty()) return Parse::Malformed;
  const QByteArray declared = request.header("Content-Length");
  bool ok = true;
  const qint64 length = declared.isEmpty() ? 0 : declared.toLongLong(&ok);
  if (!ok || length < 0) return Parse::Malformed;

  const qsizetype body_start = head_end + 4;
  if (buffer.size() - body_start < length) return Parse::Incomplete;
  request.body = buffer.mid(body_start, length);
  buffer.remove(0, body_start + length);
  return Parse::Complete;
}

}  // namespace

QByteArray TestRequest::header(const QByteArray &name) const {
  for (const auto &[key, value] : headers) {
    if (key.compare(name, Qt::CaseInsensitive) == 0) return value;
  }
  return {};
}

QString TestRequest::path() const {
  const qsizetype question = target.indexOf('?');
  return QUrl::fromPercentEncoding(question < 0 ? target : target.left(question));
}

QList<QPair<QString, QString>> TestRequest::query() const {
  QList<QPair<QString, QString>> items;
  const qsizetype question = target.indexOf('?');
  if (question < 0) return items;
  for (const QByteArray &item : target.mid(question + 1).split('&')) {
    if (item.isEmpty()) continue;
    const qsizetype equals = item.indexOf('=');
    const QByteArray name = equals < 0 ? item : item.left(equals);
    const QByteArray value = equals < 0 ? QByteArray() : item.mid(equals + 1);
    items.emplaceBack(decode_query_part(name), decode_query_part(value));
  }
  return items;
}

TestResponse redirect(int status, const QByteArray &location) {
  TestResponse response;
  response.status = status;
  response.headers = {{"Location", location}};
  response.body = "moved";
  return response;
}

QByteArray gzip(const QByteArray &data) { return gzip_repeated(data, 1); }

QByteArray gzip_repeated(const QByteArray &piece, qint64 times) {
  z_stream stream{};
  // 16 added to the window bits asks zlib for a gzip header and trailer instead of zlib's own.
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return {};
  }
  QByteArray out;
  char buffer[64 * 1024];
  const auto run = [&](int flush) {
    stream.next_out = reinterpret_cast<Bytef *>(buffer);
    stream.avail_out = sizeof buffer;
    const int result = deflate(&stream, flush);
    out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
    return result;
  };
  int result = Z_OK;
  for (qint64 round = 0; round < times && result == Z_OK; ++round) {
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(piece.constData()));
    stream.avail_in = uInt(piece.size());
    while (stream.avail_in > 0 && result == Z_OK) result = run(Z_NO_FLUSH);
  }
  while (result == Z_OK) result = run(Z_FINISH);
  deflateEnd(&stream);
  return result == Z_STREAM_END ? out : QByteArray();
}

// One client connection: reads requests as they arrive, however split, and answers them in turn.
class TestServer::Connection : public QObject {
 public:
  Connection(TestServer &server, QTcpSocket *socket)
      : QObject(&server), server_(server), socket_(socket) {
    socket_->setParent(this);
    connect(socket_, &QTcpSocket::readyRead, this, [this] { read_requests(); });
    connect(socket_, &QTcpSocket::disconnected, this, [this] { drop(); });
    connect(&drip_timer_, &QTimer::timeout, this, [this] { drip(); });
    connect(socket_, &QTcpSocket::bytesWritten, this, [this] { stream(); });
    // Picks up anything the socket buffered before readyRead was connected.
    QMetaObject::invokeMethod(
        this, [this] { read_requests(); }, Qt::QueuedConnection);
  }

  // The socket, a child, is closed after this body has run; that must not call back in here.
  ~Connection() override { disconnect(socket_, nullptr, this, nullptr); }

 private:
  void read_requests() {
    buffer_ += socket_->readAll();
    while (!answering_) {
      TestRequest request;
      const Parse parse = take_request(buffer_, request);
      if (parse == Parse::Incomplete) return;
      answering_ = true;
      if (parse == Parse::Malformed) {
        TestResponse bad;
        bad.status = 400;
        bad.body = "bad request";
        respond(bad, true);
        return;
      }
      server_.requests_.append(request);
      const TestResponse response = server_.answer(request);
      const bool close_after =
          request.header("Connection").compare("close", Qt::CaseInsensitive) == 0;
      emit server_.request_received();
      if (response.delay_ms > 0) {
        QTimer::singleShot(response.delay_ms, this,
                           [this, response, close_after] { respond(response, close_after); });
      } else {
        respond(response, close_after);
      }
    }
  }

  void respond(const TestResponse &response, bool close_after) {
    using Mode = TestResponse::Mode;
    if (socket_->state() != QAbstractSocket::ConnectedState) return;  // the client gave up
    const QByteArray head = head_of(response, close_after);
    const QByteArray body = wire_body_of(response);
    switch (response.mode) {
      case Mode::Normal:
        socket_->write(head + body);
        finish(close_after);
        return;
      case Mode::Hang:
        // answering_ stays set: nothing more is answered on this connection.
        return;
      case Mode::ResetBeforeBody:
        socket_->write(head);
        QTimer::singleShot(kResetPauseMs, this, [this] { reset(); });
        return;
      case Mode::ResetDuringBody:
        socket_->write(head + body.left(body.size() / 2));
        QTimer::singleShot(kResetPauseMs, this, [this] { reset(); });
        return;
      case Mode::StallDuringBody:
        socket_->write(head + body.left(body.size() / 2));
        return;
      case Mode::CloseDuringBody:
        socket_->write(head + body.left(response.wire_bytes));
        finish(true);
        return;
      case Mode::Drip:
        socket_->write(head);
        dripping_ = body;
        drip_close_after_ = close_after;
        drip_timer_.start(response.drip_ms);
        return;
      case Mode::Stream:
        socket_->write(head);
        streaming_ = response;
        stream_left_ = response.stream_repeats;
        stream_close_after_ = close_after;
        stream();
        return;
    }
  }

  // Tops up a streamed response whenever the socket has taken in most of what was queued.
  void stream() {
    if (streaming_.mode != TestResponse::Mode::Stream) return;
    if (socket_->state() != QAbstractSocket::ConnectedState) return;  // the client gave up
    while (stream_left_ > 0 && socket_->bytesToWrite() < kStreamQueueBytes) {
      socket_->write(streaming_.chunked ? chunk_of(streaming_.body) : streaming_.body);
      --stream_left_;
    }
    if (stream_left_ > 0) return;
    if (streaming_.chunked) socket_->write(kLastChunk);
    streaming_ = {};
    finish(stream_close_after_);
  }

  void drip() {
    socket_->write(dripping_.left(1));
    dripping_.remove(0, 1);
    if (dripping_.isEmpty()) {
      drip_timer_.stop();
      finish(drip_close_after_);
    }
  }

  void finish(bool close_after) {
    if (close_after) {
      socket_->disconnectFromHost();  // after what is still buffered has been written
      return;
    }
    answering_ = false;
    QMetaObject::invokeMethod(
        this, [this] { read_requests(); }, Qt::QueuedConnection);
  }

  // Drops the connection with a TCP reset rather than an orderly close.
  void reset() {
    socket_->flush();
    const linger abortive{1, 0};
    ::setsockopt(int(socket_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                 sizeof abortive);
    socket_->abort();
    drop();
  }

  void drop() {
    if (server_.connections_.removeOne(this)) deleteLater();
  }

  TestServer &server_;
  QTcpSocket *socket_;
  QByteArray buffer_;
  bool answering_ = false;
  QTimer drip_timer_;
  QByteArray dripping_;
  bool drip_close_after_ = false;
  TestResponse streaming_;  // while its mode is Stream
  qint64 stream_left_ = 0;
  bool stream_close_after_ = false;
};

TestServer::TestServer(QObject *parent) : QObject(parent) {
  connect(&server_, &QTcpServer::newConnection, this, &TestServer::accept_connections);
}

TestServer::~TestServer() {
  const QList<Connection *> open = connections_;
  connections_.clear();
  qDeleteAll(open);
}

bool TestServer::listen() { return server_.listen(QHostAddress::LocalHost, 0); }

QString TestServer::base_url() const {
  return QStringLiteral("http://127.0.0.1:%1/").arg(server_.serverPort());
}

QString TestServer::url(const QString &path_and_query) const {
  return base_url() + path_and_query.mid(path_and_query.startsWith(u'/') ? 1 : 0);
}

void TestServer::on(const QString &path, const TestResponse &response) {
  routes_.insert(path, [response](const TestRequest &) { return response; });
}

void TestServer::on(const QString &path, const Handler &handler) { routes_.insert(path, handler); }

QList<TestRequest> TestServer::requests_for(const QString &path) const {
  QList<TestRequest> matching;
  for (const TestRequest &request : requests_) {
    if (request.path() == path) matching.append(request);
  }
  return matching;
}

void TestServer::accept_connections() {
  while (QTcpSocket *socket = server_.nextPendingConnection()) {
    connections_.append(new Connection(*this, socket));
  }
}

TestResponse TestServer::answer(const TestRequest &request) {
  const auto route = routes_.constFind(request.path());
  if (route != routes_.constEnd()) return (*route)(request);
  TestResponse missing;
  missing.status = 404;
  missing.body = "not found";
  missing.headers = {{"Content-Type", "text/plain"}};
  return missing;
}

}  // namespace velmoth::testing
