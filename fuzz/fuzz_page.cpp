// Fetched pages: the bytes of a page and its Content-Type go through the page helper's pipeline
// (decoding, the HTML parser and the serializer), and the reply reader takes the result apart as
// it does for every page the hidden browser loads. An input that fails one of the parser's
// assertions ends there (the helper would abort; see gumbo_assertions.cpp).
//
// Input: the Content-Type value up to the first LF (looked for in the first 200 bytes only; with
// none there, the header is empty and everything is the page), then the page bytes.

#include <QByteArrayView>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "gumbo_assertions.h"
#include "page/page_markup.h"
#include "service/protocol.h"

namespace {

constexpr std::size_t kMaxContentType = 200;

[[noreturn]] void fail(const char *what, const QString &markup) {
  std::fprintf(stderr, "fuzz_page: %s\nmarkup (%lld UTF-16 units): %s\n", what,
               static_cast<long long>(markup.size()), markup.left(2000).toUtf8().constData());
  std::abort();
}

// The serializer writes C0 controls (but tab, LF, FF and CR), DEL and C1 controls as U+FFFD,
// wherever they come from; a NUL would end the text for callers that take C strings.
bool is_forbidden_control(char16_t unit) {
  if (unit == u'\t' || unit == u'\n' || unit == u'\f' || unit == u'\r') return false;
  return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const char *bytes = reinterpret_cast<const char *>(data);
  const void *line_end =
      size ? std::memchr(bytes, '\n', size < kMaxContentType ? size : kMaxContentType) : nullptr;
  std::size_t header_size = 0;
  std::size_t body_start = 0;
  if (line_end) {
    header_size = static_cast<std::size_t>(static_cast<const char *>(line_end) - bytes);
    body_start = header_size + 1;
  }
  const std::string_view content_type(bytes, header_size);
  const std::string_view body(bytes + body_start, size - body_start);

  std::string utf8;
  try {
    utf8 = velmoth::page_markup(body, content_type);
  } catch (const velmoth::fuzzing::ParserAssertion &) {
    return 0;
  }
  // The client takes anything but UTF-8 from the helper for a failure.
  if (!QByteArrayView(utf8.data(), qsizetype(utf8.size())).isValidUtf8())
    fail("markup is not UTF-8", QString::fromStdString(utf8));
  const QString markup = QString::fromStdString(utf8);

  // The parser always builds an html element as the root, and it is what gets written.
  if (!markup.startsWith(QLatin1String("<HTML")) || !markup.endsWith(QLatin1String("</HTML>")))
    fail("markup is not one HTML element", markup);
  for (const QChar c : markup) {
    if (is_forbidden_control(c.unicode())) fail("control character in the markup", markup);
  }

  velmoth::read_reply(markup);
  return 0;
}
