#include "page/page_decoding.h"

#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "page/markup_bytes.h"

namespace velmoth::markup_detail {

namespace {

// Built-in names match with ASCII case, '-' and '_' ignored, so "UTF_16le" is UTF-16LE.
bool name_matches(const char *a, const char *b) {
  for (;; ++a, ++b) {
    while (*a == '-' || *a == '_') ++a;
    while (*b == '-' || *b == '_') ++b;
    if (!*a || !*b) return !*a && !*b;
    if (ascii_lower(*a) != ascii_lower(*b)) return false;
  }
}

}  // namespace

std::optional<Decoding> decoding_for_label(std::string_view raw_label, bool from_meta) {
  std::string label(trimmed(raw_label));
  for (char &c : label) c = ascii_lower(c);
  if (label.size() >= 2 && (label.front() == '"' || label.front() == '\'') &&
      label.back() == label.front())
    label = std::string(trimmed(std::string_view(label).substr(1, label.size() - 2)));
  // The built-in names and ICU read the name up to a NUL, and ICU opens its default converter
  // (this machine's charset) for an empty name.
  if (label.empty() || label.front() == '\0') return std::nullopt;

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
    if (label == name) return Decoding{Decoding::Icu, {}, "windows-1252"};
  }
  if (starts_with(label, "utf-7") || label == "csunicode11utf7") return std::nullopt;
  if (label == "unicode" || label == "ucs-2" || label == "csunicode" || label == "unicodefeff" ||
      label == "iso-10646-ucs-2")
    label = "utf-16le";
  else if (label == "unicodefffe")
    label = "utf-16be";

  // "locale" names this machine's charset, not the page's.
  if (name_matches(label.c_str(), "locale")) return std::nullopt;
  static const struct {
    const char *name;
    Decoding decoding;
  } builtin[] = {{"utf-8", {}},
                 {"utf-16", {Decoding::Utf16, Decoding::FromMark, {}}},
                 {"utf-16le", {Decoding::Utf16, Decoding::Little, {}}},
                 {"utf-16be", {Decoding::Utf16, Decoding::Big, {}}},
                 {"utf-32", {Decoding::Utf32, Decoding::FromMark, {}}},
                 {"utf-32le", {Decoding::Utf32, Decoding::Little, {}}},
                 {"utf-32be", {Decoding::Utf32, Decoding::Big, {}}},
                 {"iso-8859-1", {Decoding::Latin1, {}, {}}},
                 {"latin1", {Decoding::Latin1, {}, {}}}};
  for (const auto &[name, decoding] : builtin) {
    if (!name_matches(name, label.c_str())) continue;
    // A UTF-16/32 claim in an ASCII-readable <meta> means UTF-8.
    return from_meta && decoding.kind != Decoding::Latin1 ? Decoding{} : decoding;
  }
  UErrorCode status = U_ZERO_ERROR;
  ucnv_close(ucnv_open(label.c_str(), &status));
  if (status != U_ZERO_ERROR && status != U_AMBIGUOUS_ALIAS_WARNING) return std::nullopt;
  return Decoding{Decoding::Icu, {}, label};
}

std::string_view charset_parameter(std::string_view content_type) {
  std::size_t pos = content_type.find(';');
  while (pos != std::string_view::npos) {
    const std::size_t next = content_type.find(';', pos + 1);
    const std::string_view parameter = content_type.substr(pos + 1, next - pos - 1);
    const std::size_t equals = parameter.find('=');
    if (equals != std::string_view::npos && equals > 0 &&
        equals_ignoring_case(trimmed(parameter.substr(0, equals)), "charset"))
      return trimmed(parameter.substr(equals + 1));
    pos = next;
  }
  return {};
}

namespace {

// The charset named after "charset=" in a <meta http-equiv> content value.
std::string_view charset_in_meta_content(std::string_view content) {
  for (std::size_t i = 0; i + 7 <= content.size(); ++i) {
    if (!equals_ignoring_case(content.substr(i, 7), "charset")) continue;
    std::size_t j = i + 7;
    while (j < content.size() && is_html_space(content[j])) ++j;
    if (j >= content.size() || content[j] != '=') continue;
    ++j;
    while (j < content.size() && is_html_space(content[j])) ++j;
    if (j >= content.size()) return {};
    if (content[j] == '"' || content[j] == '\'') {
      const std::size_t close = content.find(content[j], j + 1);
      return close == std::string_view::npos ? std::string_view()
                                             : content.substr(j + 1, close - j - 1);
    }
    std::size_t end = j;
    while (end < content.size() && content[end] != ';' && !is_html_space(content[end])) ++end;
    return content.substr(j, end - j);
  }
  return {};
}

}  // namespace

std::optional<PrescanAttribute> next_prescan_attribute(std::string_view head, std::size_t &pos) {
  while (pos < head.size() && (is_html_space(head[pos]) || head[pos] == '/')) ++pos;
  if (pos >= head.size() || head[pos] == '>') {
    ++pos;
    return std::nullopt;
  }
  const std::size_t name_begin = pos;
  ++pos;  // the first character may be '='
  while (pos < head.size() && head[pos] != '=' && head[pos] != '/' && head[pos] != '>' &&
         !is_html_space(head[pos]))
    ++pos;
  PrescanAttribute attribute{head.substr(name_begin, pos - name_begin), {}};
  while (pos < head.size() && is_html_space(head[pos])) ++pos;
  if (pos >= head.size() || head[pos] != '=') return attribute;
  ++pos;
  while (pos < head.size() && is_html_space(head[pos])) ++pos;
  if (pos >= head.size()) return attribute;
  if (head[pos] == '"' || head[pos] == '\'') {
    const std::size_t close = head.find(head[pos], pos + 1);
    if (close == std::string_view::npos) {
      pos = head.size();
      return std::nullopt;
    }
    attribute.value = head.substr(pos + 1, close - pos - 1);
    pos = close + 1;
    return attribute;
  }
  const std::size_t value_begin = pos;
  while (pos < head.size() && head[pos] != '>' && !is_html_space(head[pos])) ++pos;
  attribute.value = head.substr(value_begin, pos - value_begin);
  return attribute;
}

std::optional<Decoding> charset_from_meta(std::string_view bytes) {
  const std::string_view head = bytes.substr(0, 1024);
  std::size_t pos = 0;
  while (pos < head.size()) {
    pos = head.find('<', pos);
    if (pos == std::string_view::npos) return std::nullopt;
    const std::string_view rest = head.substr(pos);
    if (starts_with(rest, "<!--")) {
      const std::size_t close = head.find("-->", pos + 2);
      if (close == std::string_view::npos) return std::nullopt;
      pos = close + 3;
    } else if (starts_with_ignoring_case(rest, "<meta") && rest.size() > 5 &&
               (is_html_space(rest[5]) || rest[5] == '/')) {
      pos += 5;
      std::string_view charset, content;
      bool content_type_header = false;
      while (auto attribute = next_prescan_attribute(head, pos)) {
        if (equals_ignoring_case(attribute->name, "charset") && !charset.data())
          charset = attribute->value.data() ? attribute->value : std::string_view("");
        else if (equals_ignoring_case(attribute->name, "content") && !content.data())
          content = attribute->value;
        else if (equals_ignoring_case(attribute->name, "http-equiv"))
          content_type_header = equals_ignoring_case(trimmed(attribute->value), "content-type");
      }
      std::string_view label = charset;
      if (!label.data() && content_type_header) label = charset_in_meta_content(content);
      if (!label.empty()) {
        if (auto decoding = decoding_for_label(label, true)) return decoding;
      }
    } else if (rest.size() > 1 && (is_ascii_alpha(rest[1]) || (rest[1] == '/' && rest.size() > 2 &&
                                                               is_ascii_alpha(rest[2])))) {
      pos += rest[1] == '/' ? 2 : 1;
      while (pos < head.size() && !is_html_space(head[pos]) && head[pos] != '>') ++pos;
      while (next_prescan_attribute(head, pos)) {
      }
    } else if (starts_with(rest, "<!") || starts_with(rest, "</") || starts_with(rest, "<?")) {
      const std::size_t close = head.find('>', pos);
      if (close == std::string_view::npos) return std::nullopt;
      pos = close + 1;
    } else {
      ++pos;
    }
  }
  return std::nullopt;
}

namespace {

// UTF-8 of UTF-16 text, with '?' for an unpaired surrogate, as the client has always had it.
std::string utf8_of(const std::u16string &units) {
  std::string out(units.size() * 3, '\0');
  std::int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), std::int32_t(out.size()), &length, units.data(),
                     std::int32_t(units.size()), '?', nullptr, &status);
  out.resize(U_SUCCESS(status) ? std::size_t(length) : 0);
  return out;
}

// The length of the valid UTF-8 sequence that text starts with, 0 when it starts with none.
std::size_t utf8_sequence_length(std::string_view text) {
  const auto lead = std::uint8_t(text[0]);
  if (lead < 0x80) return 1;
  const std::size_t length = lead < 0xC2   ? 0
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4
                                           : 0;
  if (length == 0 || text.size() < length) return 0;
  std::uint32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((std::uint8_t(text[i]) & 0xC0) != 0x80) return 0;
    c = c << 6 | (std::uint8_t(text[i]) & 0x3F);
  }
  static const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool valid = c >= shortest[length] && (c < 0xD800 || c > 0xDFFF) && c <= 0x10FFFF;
  return valid ? length : 0;
}

// A leading byte order mark is dropped; every byte that is not part of a valid sequence becomes
// one U+FFFD.
std::string decode_utf8(std::string_view bytes) {
  if (starts_with(bytes, "\xEF\xBB\xBF")) bytes.remove_prefix(3);
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const std::size_t length = utf8_sequence_length(bytes);
    if (length)
      out.append(bytes.substr(0, length));
    else
      out += kReplacementUtf8;
    bytes.remove_prefix(std::max<std::size_t>(length, 1));
  }
  return out;
}

// UTF-16 and UTF-32 in units of `width` bytes. A leading byte order mark is dropped; the units
// are taken as they come, unchecked, and whatever is not a character ends up as '?' in utf8_of.
std::u16string utf16_or_32_units(std::string_view bytes, std::size_t width,
                                 Decoding::ByteOrder order) {
  if (bytes.size() < width) return {};
  const auto unit_at = [&](std::size_t pos, bool big) {
    std::uint32_t unit = 0;
    for (std::size_t i = 0; i < width; ++i)
      unit |= std::uint32_t(std::uint8_t(bytes[pos + i])) << 8 * (big ? width - 1 - i : i);
    return unit;
  };
  const bool big =
      order == Decoding::Big || (order == Decoding::FromMark && unit_at(0, true) == 0xFEFF);
  std::u16string units;
  std::size_t pos = unit_at(0, big) == 0xFEFF ? width : 0;
  for (; pos + width <= bytes.size(); pos += width) {
    const std::uint32_t unit = unit_at(pos, big);
    if (unit < 0x10000)
      units += char16_t(unit);
    else  // as surrogates, even past U+10FFFF
      units += {char16_t((unit >> 10) + 0xD7C0), char16_t(unit % 0x400 + 0xDC00)};
  }
  if (pos != bytes.size()) units += u'\uFFFD';
  return units;
}

std::u16string icu_units(std::string_view bytes, const std::string &name) {
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UConverter, void (*)(UConverter *)> converter(
      ucnv_open(name.c_str(), &status), &ucnv_close);
  if (U_FAILURE(status) || bytes.empty()) return {};
  std::u16string units(bytes.size() * 2, u'\0');
  const char *source = bytes.data();
  UChar *target = units.data();
  // Flushing at the end, as the page is complete, reports a cut-off sequence as invalid.
  for (;;) {
    ucnv_toUnicode(converter.get(), &target, units.data() + units.size(), &source,
                   bytes.data() + bytes.size(), nullptr, true, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR) break;
    const std::size_t written = std::size_t(target - units.data());
    units.resize(units.size() * 2);
    target = units.data() + written;
    status = U_ZERO_ERROR;
  }
  units.resize(std::size_t(target - units.data()));
  return units;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = utf8_sequence_length(text);
    if (!length) return false;
    text.remove_prefix(length);
  }
  return true;
}

std::string decode_to_utf8(std::string_view bytes, const Decoding &decoding) {
  if (decoding.kind == Decoding::Utf8) return decode_utf8(bytes);
  if (decoding.kind == Decoding::Icu) return utf8_of(icu_units(bytes, decoding.icu_name));
  if (decoding.kind == Decoding::Latin1) {
    std::u16string units;
    for (const char c : bytes) units += char16_t(std::uint8_t(c));
    return utf8_of(units);
  }
  const std::size_t width = decoding.kind == Decoding::Utf32 ? 4 : 2;
  return utf8_of(utf16_or_32_units(bytes, width, decoding.byte_order));
}

}  // namespace velmoth::markup_detail
