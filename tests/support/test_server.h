#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>
#include <functional>

namespace velmoth::testing {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// One request as the server read it off the wire.
struct TestRequest {
  QByteArray method;
  QByteArray target;  // path?query exactly as received
  HeaderList headers;
  QByteArray body;

  // The first header of that name (case-insensitive); empty if there is none.
  QByteArray header(const QByteArray &name) const;
  // The path without the query, percent-decoded.
  QString path() const;
  // The query's name=value items in order, fully decoded ('+' and %XX, as UTF-8).
  QList<QPair<QString, QString>> query() const;
};

struct TestResponse {
  enum class Mode {
    Normal,
    Hang,             // read the request, never answer
    ResetBeforeBody,  // send the head, then reset the connection
    ResetDuringBody,  // send the head and half the body, then reset the connection
    StallDuringBody,  // send the head and half the body, then nothing more
    CloseDuringBody,  // send the head and the body's first wire_bytes bytes, then close
    Drip,             // send the head, then the body one byte every drip_ms
    Stream,           // send the body stream_repeats times over, as fast as the client reads
  };

  int status = 200;
  QByteArray body;
  HeaderList headers;  // e.g. Content-Type, Set-Cookie, Location, Content-Encoding
  Mode mode = Mode::Normal;
  int delay_ms = 0;  // wait this long before answering
  int drip_ms = 1000;
  bool chunked = false;         // chunked transfer coding instead of a Content-Length
  qint64 declared_length = -1;  // a Content-Length to claim instead of the body's size
  // CloseDuringBody: how many bytes of the body as it goes on the wire (chunk sizes and line
  // ends included when chunked) are sent before an orderly close.
  qint64 wire_bytes = 0;
  // Stream: how many copies of body make up the response (one chunk each when chunked). Only a
  // few copies are ever queued on the socket, so a huge response costs no memory here.
  qint64 stream_repeats = 1;
};

// A response that redirects to location.
TestResponse redirect(int status, const QByteArray &location);

// data in the gzip format, as a server sends it with "Content-Encoding: gzip".
QByteArray gzip(const QByteArray &data);
// piece repeated times over, in the gzip format; the inflated whole is never held in memory.
QByteArray gzip_repeated(const QByteArray &piece, qint64 times);

// A scriptable HTTP/1.1 server on 127.0.0.1 for tests. Each path answers with a fixed response
// or a handler's; any other path gets 404 "not found". Connections are kept alive unless the
// client asks to close them; requests on one connection are answered in turn.
class TestServer : public QObject {
  Q_OBJECT

 public:
  using Handler = std::function<TestResponse(const TestRequest &)>;

  explicit TestServer(QObject *parent = nullptr);
  ~TestServer() override;

  // Starts listening on a free port.
  bool listen();
  quint16 port() const { return server_.serverPort(); }
  // "http://127.0.0.1:PORT/"
  QString base_url() const;
  // The address of path_and_query ("/page?x=1") on this server.
  QString url(const QString &path_and_query) const;

  // Routes are matched against the decoded path, without the query.
  void on(const QString &path, const TestResponse &response);
  void on(const QString &path, const Handler &handler);

  QList<TestRequest> requests() const { return requests_; }
  QList<TestRequest> requests_for(const QString &path) const;
  // Client connections not yet closed by either side.
  int open_connections() const { return int(connections_.size()); }

 signals:
  void request_received();

 private:
  class Connection;

  void accept_connections();
  TestResponse answer(const TestRequest &request);

  QTcpServer server_;
  QHash<QString, Handler> routes_;
  QList<TestRequest> requests_;
  QList<Connection *> connections_;
};

}  // namespace velmoth::testing
