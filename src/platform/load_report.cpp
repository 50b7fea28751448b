// One line on standard error for a failed load, never with the query.
#include "platform/load_report.h"

#include <cstdio>

namespace velmoth {
namespace {

// Line breaks inside a server's or the platform's words would split the one line.
QString one_line(QString text) {
  for (QChar &c : text) {
    if (c.category() == QChar::Other_Control) c = u' ';
  }
  return text.simplified();
}

// The platform's words may quote the whole address, query included.
QString without_query(QString text, const QUrl &address) {
  const QString shown = address_for_report(address);
  for (const auto format : {QUrl::PrettyDecoded, QUrl::FullyEncoded}) {
    text.replace(address.toString(format), shown);
  }
  for (const auto format : {QUrl::PrettyDecoded, QUrl::FullyEncoded, QUrl::FullyDecoded}) {
    const QString query = address.query(format);
    if (!query.isEmpty()) text.replace(query, QStringLiteral("…"));
  }
  return text;
}

}  // namespace

QString address_for_report(const QUrl &address) {
  return address.adjusted(QUrl::RemoveQuery | QUrl::RemoveUserInfo | QUrl::RemoveFragment)
      .toString();
}

void report_load_failure(const QUrl &address, const QString &reason, const QString &detail) {
  QString line = QStringLiteral("velmoth: could not load %1: %2")
                     .arg(one_line(address_for_report(address)), one_line(reason));
  if (!detail.isEmpty())
    line += QStringLiteral(" (%1)").arg(one_line(without_query(detail, address)));
  std::fprintf(stderr, "%s\n", qUtf8Printable(line));
  std::fflush(stderr);
}

}  // namespace velmoth
