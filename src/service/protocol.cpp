// Request addresses with percent-encoded values, the time stamp, the reply reader.
#include "service/protocol.h"

#include <QLineEdit>
#include <QUrl>
#include <initializer_list>
#include <utility>

#include "platform/browser.h"

namespace velmoth {
namespace {

using Field = std::pair<const char *, QString>;

QString with_query(const QString &address, std::initializer_list<Field> fields) {
  QString result = address;
  QChar separator = u'?';
  for (const auto &[key, value] : fields) {
    result +=
        separator + QLatin1String(key) + u'=' + QString::fromLatin1(QUrl::toPercentEncoding(value));
    separator = u'&';
  }
  return result;
}

}  // namespace

QString time_stamp(const QDateTime &now) {
  return now.toString(QStringLiteral("yyyy/M/d H:mm:ss"));
}

QString login_address(const QString &WebURL, const QString &account, const QString &password,
                      const QDateTime &now) {
  return with_query(WebURL + QStringLiteral("login.asp"),
                    {{"u", account}, {"p", password}, {"t", time_stamp(now)}});
}

QString signup_address(const QString &WebURL, const QString &account, const QString &password,
                       const QString &qq, const QString &card_number, const QString &card_password,
                       const QDateTime &now) {
  return with_query(WebURL + QStringLiteral("reg.asp"), {{"u", account},
                                                         {"p", password},
                                                         {"q", qq},
                                                         {"cn", card_number},
                                                         {"cc", card_password},
                                                         {"t", time_stamp(now)}});
}

QString account_address(const QString &WebURL) { return WebURL + QStringLiteral("account.asp"); }

std::optional<QString> read_reply(const QString &markup) {
  static const QString open = QStringLiteral("<BODY>");
  static const QString close = QStringLiteral("</BODY>");
  const qsizetype start = markup.indexOf(open);
  if (start < 0) return std::nullopt;
  const qsizetype from = start + open.size();
  // The body text ends at the first "</BODY>", or at a second "<BODY>" if that comes first.
  qsizetype end = markup.indexOf(close, from);
  const qsizetype next_open = markup.indexOf(open, from);
  if (next_open >= 0 && (end < 0 || next_open < end)) end = next_open;
  return end < 0 ? markup.mid(from) : markup.mid(from, end - from);
}

void on_page_loaded(const Browser &browser, QLineEdit &reply_box) {
  if (auto reply = read_reply(browser.outerHTML())) reply_box.setText(*reply);
}

}  // namespace velmoth
