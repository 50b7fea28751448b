// Tells whether a reply's body arrived whole, from its length and encoding.
#include "platform/whole_body.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace velmoth {

void ask_for_plain_body(QNetworkRequest &request) {
  // Set by us, the header also keeps Qt from inflating what a server compresses regardless.
  request.setRawHeader("Accept-Encoding", "identity");
}

std::optional<QString> unverifiable_body_reason(const QNetworkReply &reply) {
  const QByteArray encoding = reply.rawHeader("Content-Encoding").trimmed().toLower();
  if (!encoding.isEmpty() && encoding != "identity")
    return QStringLiteral("服务器发送了压缩的网页（%1）").arg(QString::fromLatin1(encoding));
  if (reply.rawHeader("Transfer-Encoding").toLower().contains("chunked"))
    return QStringLiteral("服务器分块发送网页，无法确认网页完整");
  return std::nullopt;
}

std::optional<QString> incomplete_body_reason(const QNetworkReply &reply, qint64 received) {
  if (auto reason = unverifiable_body_reason(reply)) return reason;
  const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
  if (length.isValid() && length.toLongLong() != received)
    return QStringLiteral("服务器中断了连接");
  return std::nullopt;
}

}  // namespace velmoth
