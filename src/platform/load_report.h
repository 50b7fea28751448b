// Reporting why a page did not load.
#pragma once

#include <QString>
#include <QUrl>

namespace velmoth {

// Writes one line on standard error saying which address failed to load and why, so that a user
// who starts the program from a terminal, or reads the journal, learns the real reason behind
// the time-out message. The address is written without its query, user name or password: the
// query holds the account name and password.
void report_load_failure(const QUrl &address, const QString &reason, const QString &detail = {});

// The address as report_load_failure writes it.
QString address_for_report(const QUrl &address);

}  // namespace velmoth
