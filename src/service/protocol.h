// The service protocol: request addresses and reading the reply code.
#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

class QLineEdit;

namespace velmoth {

class Browser;

// Request addresses. Every value is percent-encoded from UTF-8 (unreserved characters kept), so
// the service decodes exactly what the user typed, whatever "&", "=", "#", "+", "%" or blanks it
// holds. Keys and their order are fixed.
QString login_address(const QString &WebURL, const QString &account, const QString &password,
                      const QDateTime &now);
QString signup_address(const QString &WebURL, const QString &account, const QString &password,
                       const QString &qq, const QString &card_number, const QString &card_password,
                       const QDateTime &now);
QString account_address(const QString &WebURL);

// The time stamp sent as "t": local date and time as yyyy/M/d H:mm:ss.
QString time_stamp(const QDateTime &now);

// The reply text held by a page's markup: what lies between the first "<BODY>" and the next
// "</BODY>" (exact, case-sensitive, untrimmed). Nothing when the markup has no "<BODY>".
std::optional<QString> read_reply(const QString &markup);

// The reply reader: on every loaded page, puts the browser's reply text into reply_box; a page
// without a body tag leaves the box as it is.
void on_page_loaded(const Browser &browser, QLineEdit &reply_box);

}  // namespace velmoth
