#include "platform/markup.h"

#include <QByteArrayView>
#include <optional>
#include <string>

#include "platform/gumbo_arena.h"
#include "platform/markup_serializer.h"
#include "platform/page_decoding.h"
#include "platform/parse_guard.h"

namespace velmoth {

namespace {

using markup_detail::Arena;
using markup_detail::budget_for;
using markup_detail::charset_from_meta;
using markup_detail::charset_parameter;
using markup_detail::decode_to_utf8;
using markup_detail::Decoding;
using markup_detail::decoding_for_label;
using markup_detail::parse_within_budget;
using markup_detail::ParseBudget;
using markup_detail::prepare_source;
using markup_detail::serialize;

// Parses and serializes the page; false when the parse ran out of its budget.
bool parse_and_serialize(QByteArrayView page, bool flatten_all, std::optional<ParseBudget> budget,
                         std::string &html) {
  std::string prepared;
  const QByteArrayView source = prepare_source(page, prepared, flatten_all);
  Arena arena(budget);
  const GumboOutput *output = parse_within_budget(arena, source);
  if (!output) return false;
  html.clear();
  html.reserve(std::size_t(source.size()) + std::size_t(source.size()) / 8 + 128);
  serialize(*output->root, html);
  return true;
}

QString outer_html_of_utf8(QByteArrayView utf8, const ParseBudget &budget) {
  std::string html;
  if (!parse_and_serialize(utf8, false, budget, html))
    parse_and_serialize(utf8, true, std::nullopt, html);
  return QString::fromUtf8(html.data(), qsizetype(html.size()));
}

QString outer_html_of_utf8(QByteArrayView utf8) {
  return outer_html_of_utf8(utf8, budget_for(std::size_t(utf8.size())));
}

}  // namespace

QString document_outer_html(const QByteArray &body, const QByteArray &content_type) {
  const QByteArrayView bytes(body);
  // A byte order mark decides over any declaration.
  if (bytes.startsWith("\xEF\xBB\xBF")) {
    const QByteArrayView rest = bytes.sliced(3);
    if (rest.isValidUtf8()) return outer_html_of_utf8(rest);
    return outer_html_of_utf8(decode_to_utf8(rest, "UTF-8"));
  }
  if (bytes.startsWith("\xFE\xFF"))
    return outer_html_of_utf8(decode_to_utf8(bytes.sliced(2), "UTF-16BE"));
  if (bytes.startsWith("\xFF\xFE"))
    return outer_html_of_utf8(decode_to_utf8(bytes.sliced(2), "UTF-16LE"));

  // An unusable header charset is passed over, as browsers do.
  std::optional<Decoding> decoding = decoding_for_label(charset_parameter(content_type), false);
  if (!decoding) decoding = charset_from_meta(bytes);
  if (decoding && decoding->kind == Decoding::QtDecoder)
    return outer_html_of_utf8(decode_to_utf8(bytes, decoding->decoder_name));
  if (bytes.isValidUtf8()) return outer_html_of_utf8(bytes);
  return outer_html_of_utf8(decode_to_utf8(bytes, "UTF-8"));
}

QString outer_html_of(const QString &page_text) { return outer_html_of_utf8(page_text.toUtf8()); }

namespace markup_internal {

QString outer_html_of(const QString &page_text, double cpu_seconds, std::size_t bytes) {
  return outer_html_of_utf8(page_text.toUtf8(), ParseBudget{cpu_seconds, bytes});
}

}  // namespace markup_internal

}  // namespace velmoth
