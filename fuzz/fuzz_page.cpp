// Fetched pages: the bytes of a page and its Content-Type go through decoding, the HTML parser
// and the serializer, and the reply reader takes the result apart as it does for every page the
// hidden browser loads.
//
// Input: the Content-Type value up to the first LF (looked for in the first 200 bytes only; with
// none there, the header is empty and everything is the page), then the page bytes.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/markup.h"
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
  const QByteArray content_type(bytes, static_cast<qsizetype>(header_size));
  const QByteArray body(bytes + body_start, static_cast<qsizetype>(size - body_start));

  const QString markup = velmoth::document_outer_html(body, content_type);

  // The parser always builds an html element as the root, and it is what gets written.
  if (!markup.startsWith(QLatin1String("<HTML")) || !markup.endsWith(QLatin1String("</HTML>")))
    fail("markup is not one HTML element", markup);
  for (const QChar c : markup) {
    if (is_forbidden_control(c.unicode())) fail("control character in the markup", markup);
  }

  velmoth::read_reply(markup);
  return 0;
}
