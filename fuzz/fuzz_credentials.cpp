// config.inf: whatever bytes the file holds are read as the login window reads them, and a
// record written for an account and password taken from the same bytes must read back as that
// account and password.
//
// Input: the file's bytes. For the round trip, the text before the first LF is the account and
// the rest the password, each with CR, LF and the record's markers taken out (a record cannot
// hold those, since nothing in it is escaped).

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "login/credentials_file.h"

namespace {

[[noreturn]] void fail(const char *what, const QString &text) {
  std::fprintf(stderr, "fuzz_credentials: %s\ntext: %s\n", what, text.toUtf8().constData());
  std::abort();
}

// text without CR, LF or any marker, also none that taking one out would leave behind
// ("[[s]s]" holds a second "[s]").
QString record_safe(QString text) {
  text.remove(u'\r');
  text.remove(u'\n');
  for (bool changed = true; changed;) {
    const qsizetype size = text.size();
    for (const char *marker : {"[s]", "[u]", "[p]"}) text.remove(QLatin1String(marker));
    changed = text.size() != size;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

  // Reading any file.
  const QString text = velmoth::credentials_text_from_bytes(bytes);
  if (text.contains(u'\r') || text.contains(u'\n')) fail("line end left in the text", text);
  const velmoth::StoredCredentials stored = velmoth::parse_credentials(text);
  if (!stored.check_remember && (stored.account || stored.password))
    fail("fields filled while remembering is off", text);
  if (stored.password && !stored.account) fail("password without an account", text);

  // Writing, then reading back.
  const QString source = QString::fromUtf8(bytes);
  const qsizetype split = source.indexOf(u'\n');
  const QString account = record_safe(split < 0 ? source : source.left(split));
  const QString password = record_safe(split < 0 ? QString() : source.mid(split + 1));

  const QString record_text = velmoth::credentials_text_from_bytes(
      velmoth::format_credentials(true, account, password).toUtf8());
  const velmoth::StoredCredentials remembered = velmoth::parse_credentials(record_text);
  if (!remembered.check_remember || remembered.account != account ||
      remembered.password != password)
    fail("remembered record does not read back", record_text);

  const velmoth::StoredCredentials forgotten =
      velmoth::parse_credentials(velmoth::credentials_text_from_bytes(
          velmoth::format_credentials(false, account, password).toUtf8()));
  if (forgotten.check_remember || forgotten.account || forgotten.password)
    fail("record without remembering fills the window", record_text);
  return 0;
}
