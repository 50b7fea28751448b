// The hidden browser: GET through the shared manager, limits, failure pages, the page helper.
#include "platform/browser.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "platform/load_report.h"
#include "platform/whole_body.h"

namespace velmoth {

namespace {

constexpr int kMaxRedirects = 20;
// How much a reply may hold that this thread has not read yet.
constexpr qint64 kReadBufferBytes = 256 * 1024;

// Stands in for the page when a load fails. Its body is a whole sentence, so a caller that reads
// the body as a one-character reply code can never mistake it for one.
QString error_page(const QString &address, const QString &reason) {
  return QStringLiteral(
             "<HTML><HEAD><TITLE>无法显示网页</TITLE></HEAD>\r\n"
             "<BODY>无法打开 %1：%2</BODY></HTML>")
      .arg(address.toHtmlEscaped(), reason.toHtmlEscaped());
}

QString too_large_reason() { return QStringLiteral("网页太大"); }

QString network_error_reason(const QNetworkReply &reply) {
  switch (reply.error()) {
    case QNetworkReply::ConnectionRefusedError:
      return QStringLiteral("服务器拒绝连接");
    case QNetworkReply::RemoteHostClosedError:
      return QStringLiteral("服务器中断了连接");
    case QNetworkReply::HostNotFoundError:
      return QStringLiteral("找不到服务器");
    case QNetworkReply::TimeoutError:
      return QStringLiteral("连接服务器超时");
    case QNetworkReply::OperationCanceledError:
      // Our own aborts are disconnected before they happen, so only the reply's transfer
      // time-out (the idle limit) ends a load this way.
      return QStringLiteral("服务器长时间没有响应");
    case QNetworkReply::SslHandshakeFailedError:
      return QStringLiteral("无法建立安全连接");
    case QNetworkReply::TooManyRedirectsError:
      return QStringLiteral("重定向次数过多");
    case QNetworkReply::InsecureRedirectError:
      return QStringLiteral("网页被重定向到不安全的地址");
    case QNetworkReply::ProtocolUnknownError:
      return QStringLiteral("不支持的地址");
    default:
      return QStringLiteral("网络错误（%1）").arg(reply.errorString());
  }
}

bool is_hex_digit(QChar c) {
  const char16_t u = c.unicode();
  return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
}

// A '%' that does not start an escape stands for itself. Left alone it would make QUrl take the
// whole address as unencoded and escape every '%' in it, so that %26 went out as %2526.
QString escape_stray_percents(const QString &address) {
  QString result;
  result.reserve(address.size());
  for (qsizetype i = 0; i < address.size(); ++i) {
    result += address[i];
    if (address[i] != u'%') continue;
    const bool escape =
        i + 2 < address.size() && is_hex_digit(address[i + 1]) && is_hex_digit(address[i + 2]);
    if (!escape) result += QLatin1String("25");
  }
  return result;
}

bool is_web_address(const QUrl &url) {
  const QString scheme = url.scheme();
  return url.isValid() && !url.host().isEmpty() &&
         (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

}  // namespace

Browser::Browser(QNetworkAccessManager &network, const QString &page_helper, QObject *parent)
    : QObject(parent), network_(network), reader_(page_helper) {
  total_timer_.setSingleShot(true);
  connect(&total_timer_, &QTimer::timeout, this,
          [this] { end_load(QStringLiteral("网页加载超时")); });
  connect(&reader_, &PageReader::read, this, [this](const QString &markup) {
    total_timer_.stop();
    complete(markup, location_in_progress_);
  });
  connect(&reader_, &PageReader::failed, this,
          [this] { end_load(QStringLiteral("无法读取网页内容")); });
}

Browser::~Browser() { cancel_current(); }

void Browser::Navigate(const QString &address) {
  cancel_current();
  ++load_;
  address_ = address;
  location_in_progress_ = QUrl(address);

  // The address is already encoded: escapes such as %26, %23 and %2B reach the server as they
  // are. Characters that may not appear raw (spaces, non-ASCII text) are escaped on the way.
  const QUrl url(escape_stray_percents(address));
  if (!is_web_address(url)) {
    // Reported from the event loop like every other outcome, and only if not superseded.
    const quint64 load = load_;
    QMetaObject::invokeMethod(
        this,
        [this, load, url] {
          if (load != load_) return;
          report_load_failure(url, QStringLiteral("地址无效"));
          complete(error_page(address_, QStringLiteral("地址无效")), url);
        },
        Qt::QueuedConnection);
    return;
  }

  QNetworkRequest request(url);
  // Follow redirects, but never from https down to http, and not endlessly.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setMaximumRedirectsAllowed(kMaxRedirects);
  request.setTransferTimeout(limits_.idle_timeout_ms);
  ask_for_plain_body(request);

  reply_ = network_.get(request);
  reader_.prepare();
  // Without a bound, the network thread takes in all a fast server sends while this thread is
  // busy, however far past the body limit: 100 MiB sent at once is 100 MiB held. (The bound
  // reaches that thread just after the request; a server that answers within that moment is
  // ahead of it by what it sends meanwhile.)
  reply_->setReadBufferSize(kReadBufferBytes);
  connect(reply_, &QNetworkReply::metaDataChanged, this, &Browser::check_declared_length);
  connect(reply_, &QNetworkReply::readyRead, this, &Browser::on_ready_read);
  connect(reply_, &QNetworkReply::finished, this, &Browser::on_finished);
  // The idle limit cannot catch a server that trickles a byte now and then.
  if (limits_.total_timeout_ms > 0) total_timer_.start(limits_.total_timeout_ms);
}

void Browser::check_declared_length() {
  const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
  if (length.isValid() && length.toLongLong() > limits_.max_body_bytes) {
    end_load(too_large_reason());
    return;
  }
  // A body that could not be told from a cut-off one is not waited for. (Redirects are followed
  // whatever their bodies.)
  const int code = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (code < 200 || code > 299) return;
  if (const auto reason = unverifiable_body_reason(*reply_)) end_load(*reason);
}

void Browser::on_ready_read() {
  // Counted after decoding, as the reply hands over content already decompressed.
  body_ += reply_->readAll();
  if (body_.size() > limits_.max_body_bytes) end_load(too_large_reason());
}

void Browser::on_finished() {
  // A reply that timed out is closed already and has nothing left to read.
  if (reply_->isOpen()) body_ += reply_->readAll();
  const QUrl url = reply_->url();
  const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  const int code = status.toInt();

  QString reason;
  if (code >= 400) {
    // An error page's body is never the document, however it reads.
    reason = QStringLiteral("服务器返回 HTTP %1").arg(code);
  } else if (reply_->error() != QNetworkReply::NoError) {
    // Also a redirect that was refused: its 3xx status says less than the error does.
    reason = network_error_reason(*reply_);
  } else if (!status.isValid()) {
    reason = QStringLiteral("服务器没有回应");
  } else if (code < 200 || code > 299) {
    // A 1xx, or a 3xx without a Location to follow.
    reason = QStringLiteral("服务器返回 HTTP %1").arg(code);
  } else if (body_.size() > limits_.max_body_bytes) {
    reason = too_large_reason();
  } else if (const auto incomplete = incomplete_body_reason(*reply_, body_.size())) {
    reason = *incomplete;
  }
  if (!reason.isEmpty()) {
    end_load(reason, reply_->error() != QNetworkReply::NoError ? reply_->errorString() : QString());
    return;
  }
  const QByteArray content_type = reply_->rawHeader("Content-Type");
  const QByteArray body = body_;
  release_reply();
  location_in_progress_ = url;
  reader_.start(body, content_type);
}

void Browser::end_load(const QString &reason, const QString &detail) {
  // The reply is gone while the page is read, and if the network manager was destroyed under
  // a running load.
  const QUrl url = reply_ ? reply_->url() : location_in_progress_;
  report_load_failure(url, reason, detail);
  cancel_current();
  complete(error_page(address_, reason), url);
}

void Browser::cancel_current() {
  total_timer_.stop();
  reader_.cancel();
  release_reply();
}

void Browser::release_reply() {
  body_.clear();
  if (!reply_) return;
  QNetworkReply *reply = reply_;
  reply_ = nullptr;
  // abort() emits finished() before it returns; disconnected first, the abandoned load is never
  // reported.
  disconnect(reply, nullptr, this, nullptr);
  reply->abort();
  reply->deleteLater();
}

void Browser::complete(const QString &document, const QUrl &location) {
  document_ = document;
  location_ = location;
  // Last: a receiver may start the next load or destroy this browser.
  emit DocumentComplete();
}

}  // namespace velmoth
