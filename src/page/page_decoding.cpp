#include "page/page_decoding.h"

#include <QStringDecoder>
#include <algorithm>

#include "page/markup_bytes.h"

namespace velmoth::markup_detail {

std::optional<Decoding> decoding_for_label(QByteArrayView raw_label, bool from_meta) {
  QByteArray label = trimmed(raw_label).toByteArray().toLower();
  if (label.size() >= 2 && (label.front() == '"' || label.front() == '\'') &&
      label.back() == label.front())
    label = trimmed(QByteArrayView(label).sliced(1, label.size() - 2)).toByteArray();
  if (label.isEmpty()) return std::nullopt;

  static const char *const utf8_labels[] = {"utf-8",         "utf8",          "unicode-1-1-utf-8",
                                            "unicode11utf8", "unicode20utf8", "x-unicode20utf8"};
  static const char *const windows1252_labels[] = {
      "ansi_x3.4-1968", "ascii",           "cp1252",     "cp819",     "csisolatin1",
      "ibm819",         "iso-8859-1",      "iso-ir-100", "iso8859-1", "iso88591",
      "iso_8859-1",     "iso_8859-1:1987", "l1",         "latin1",    "us-ascii",
      "windows-1252",   "x-cp1252"};
  for (const char *name : utf8_labels) {
    if (label == name) return Decoding{};
  }
  for (const char *name : windows1252_labels) {
    if (label == name) {
      if (QStringDecoder("windows-1252").isValid())
        return Decoding{Decoding::QtDecoder, "windows-1252"};
      return Decoding{Decoding::QtDecoder, "ISO-8859-1"};
    }
  }
  if (label.startsWith("utf-7") || label == "csunicode11utf7") return std::nullopt;
  if (label == "unicode" || label == "ucs-2" || label == "csunicode" || label == "unicodefeff" ||
      label == "iso-10646-ucs-2")
    label = "utf-16le";
  else if (label == "unicodefffe")
    label = "utf-16be";

  const auto builtin = QStringConverter::encodingForName(label.constData());
  if (builtin && *builtin == QStringConverter::System)
    return std::nullopt;  // "locale" names this machine's charset, not the page's
  if (from_meta && builtin && *builtin != QStringConverter::Latin1)
    return Decoding{};  // a UTF-16/32 claim in an ASCII-readable <meta>
  if (!QStringDecoder(label.constData()).isValid()) return std::nullopt;
  return Decoding{Decoding::QtDecoder, label};
}

QByteArrayView charset_parameter(QByteArrayView content_type) {
  qsizetype pos = content_type.indexOf(';');
  while (pos >= 0) {
    const qsizetype next = content_type.indexOf(';', pos + 1);
    const QByteArrayView parameter =
        content_type.sliced(pos + 1, (next < 0 ? content_type.size() : next) - pos - 1);
    const qsizetype equals = parameter.indexOf('=');
    if (equals > 0 && equals_ignoring_case(trimmed(parameter.first(equals)), "charset"))
      return trimmed(parameter.sliced(equals + 1));
    pos = next;
  }
  return {};
}

namespace {

// The charset named after "charset=" in a <meta http-equiv> content value.
QByteArrayView charset_in_meta_content(QByteArrayView content) {
  for (qsizetype i = 0; i + 7 <= content.size(); ++i) {
    if (!equals_ignoring_case(content.sliced(i, 7), "charset")) continue;
    qsizetype j = i + 7;
    while (j < content.size() && is_html_space(content[j])) ++j;
    if (j >= content.size() || content[j] != '=') continue;
    ++j;
    while (j < content.size() && is_html_space(content[j])) ++j;
    if (j >= content.size()) return {};
    if (content[j] == '"' || content[j] == '\'') {
      const qsizetype close = content.indexOf(content[j], j + 1);
      return close < 0 ? QByteArrayView() : content.sliced(j + 1, close - j - 1);
    }
    qsizetype end = j;
    while (end < content.size() && content[end] != ';' && !is_html_space(content[end])) ++end;
    return content.sliced(j, end - j);
  }
  return {};
}

}  // namespace

std::optional<PrescanAttribute> next_prescan_attribute(QByteArrayView head, qsizetype &pos) {
  while (pos < head.size() && (is_html_space(head[pos]) || head[pos] == '/')) ++pos;
  if (pos >= head.size() || head[pos] == '>') {
    ++pos;
    return std::nullopt;
  }
  const qsizetype name_begin = pos;
  ++pos;  // the first character may be '='
  while (pos < head.size() && head[pos] != '=' && head[pos] != '/' && head[pos] != '>' &&
         !is_html_space(head[pos]))
    ++pos;
  PrescanAttribute attribute{head.sliced(name_begin, pos - name_begin), {}};
  while (pos < head.size() && is_html_space(head[pos])) ++pos;
  if (pos >= head.size() || head[pos] != '=') return attribute;
  ++pos;
  while (pos < head.size() && is_html_space(head[pos])) ++pos;
  if (pos >= head.size()) return attribute;
  if (head[pos] == '"' || head[pos] == '\'') {
    const qsizetype close = head.indexOf(head[pos], pos + 1);
    if (close < 0) {
      pos = head.size();
      return std::nullopt;
    }
    attribute.value = head.sliced(pos + 1, close - pos - 1);
    pos = close + 1;
    return attribute;
  }
  const qsizetype value_begin = pos;
  while (pos < head.size() && head[pos] != '>' && !is_html_space(head[pos])) ++pos;
  attribute.value = head.sliced(value_begin, pos - value_begin);
  return attribute;
}

std::optional<Decoding> charset_from_meta(QByteArrayView bytes) {
  const QByteArrayView head = bytes.first(std::min<qsizetype>(bytes.size(), 1024));
  qsizetype pos = 0;
  while (pos < head.size()) {
    pos = head.indexOf('<', pos);
    if (pos < 0) return std::nullopt;
    const QByteArrayView rest = head.sliced(pos);
    if (rest.startsWith("<!--")) {
      const qsizetype close = head.indexOf("-->", pos + 2);
      if (close < 0) return std::nullopt;
      pos = close + 3;
    } else if (starts_with_ignoring_case(rest, "<meta") && rest.size() > 5 &&
               (is_html_space(rest[5]) || rest[5] == '/')) {
      pos += 5;
      QByteArrayView charset, content;
      bool content_type_header = false;
      while (auto attribute = next_prescan_attribute(head, pos)) {
        if (equals_ignoring_case(attribute->name, "charset") && charset.isNull())
          charset = attribute->value.isNull() ? QByteArrayView("") : attribute->value;
        else if (equals_ignoring_case(attribute->name, "content") && content.isNull())
          content = attribute->value;
        else if (equals_ignoring_case(attribute->name, "http-equiv"))
          content_type_header = equals_ignoring_case(trimmed(attribute->value), "content-type");
      }
      QByteArrayView label = charset;
      if (label.isNull() && content_type_header) label = charset_in_meta_content(content);
      if (!label.isEmpty()) {
        if (auto decoding = decoding_for_label(label, true)) return decoding;
      }
    } else if (rest.size() > 1 && (is_ascii_alpha(rest[1]) || (rest[1] == '/' && rest.size() > 2 &&
                                                               is_ascii_alpha(rest[2])))) {
      pos += rest[1] == '/' ? 2 : 1;
      while (pos < head.size() && !is_html_space(head[pos]) && head[pos] != '>') ++pos;
      while (next_prescan_attribute(head, pos)) {
      }
    } else if (rest.startsWith("<!") || rest.startsWith("</") || rest.startsWith("<?")) {
      const qsizetype close = head.indexOf('>', pos);
      if (close < 0) return std::nullopt;
      pos = close + 1;
    } else {
      ++pos;
    }
  }
  return std::nullopt;
}

QByteArray decode_to_utf8(QByteArrayView bytes, const QByteArray &decoder_name) {
  QStringDecoder decoder(decoder_name.constData(), QStringConverter::Flag::Stateless);
  const QString text = decoder.decode(bytes);
  return text.toUtf8();
}

}  // namespace velmoth::markup_detail
