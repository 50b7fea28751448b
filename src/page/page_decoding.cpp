// Finds a page's charset (header, BOM, <meta>) and decodes it to UTF-8 with ICU.
#include "page/page_decoding.h"

#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <memory>

#include "page/markup_bytes.h"

namespace velmoth::markup_detail {

std::optional<std::string> charset_for_label(std::string_view raw_label, bool from_meta) {
  std::string label(trimmed(raw_label));
  for (char &c : label) c = ascii_lower(c);
  if (label.size() >= 2 && (label.front() == '"' || label.front() == '\'') &&
      label.back() == label.front())
    label = std::string(trimmed(std::string_view(label).substr(1, label.size() - 2)));
  // ICU opens this machine's charset for an empty name, and reads a name only up to a NUL.
  if (label.empty() || label.find('\0') != std::string::npos) return std::nullopt;

  static const char *const utf8_labels[] = {"utf-8",         "utf8",          "unicode-1-1-utf-8",
                                            "unicode11utf8", "unicode20utf8", "x-unicode20utf8"};
  static const char *const windows1252_labels[] = {
      "ansi_x3.4-1968", "ascii",           "cp1252",     "cp819",     "csisolatin1",
      "ibm819",         "iso-8859-1",      "iso-ir-100", "iso8859-1", "iso88591",
      "iso_8859-1",     "iso_8859-1:1987", "l1",         "latin1",    "us-ascii",
      "windows-1252",   "x-cp1252"};
  for (const char *name : utf8_labels) {
    if (label == name) return "UTF-8";
  }
  for (const char *name : windows1252_labels) {
    if (label == name) return "windows-1252";
  }
  // Without a byte order mark, UTF-16 and UTF-32 are little-endian, as pages are written.
  if (label == "utf-16" || label == "unicode" || label == "ucs-2" || label == "csunicode" ||
      label == "unicodefeff" || label == "iso-10646-ucs-2")
    label = "utf-16le";
  else if (label == "unicodefffe")
    label = "utf-16be";
  else if (label == "utf-32")
    label = "utf-32le";

  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UConverter, void (*)(UConverter *)> converter(
      ucnv_open(label.c_str(), &status), &ucnv_close);
  if (U_FAILURE(status)) return std::nullopt;
  switch (ucnv_getType(converter.get())) {
    // These spell markup with other bytes ("+ADw-" is "<" in UTF-7), which lets a page smuggle
    // it past any filter; HTML forbids them.
    case UCNV_UTF7:
    case UCNV_IMAP_MAILBOX:
    case UCNV_SCSU:
    case UCNV_BOCU1:
    case UCNV_CESU8:
      return std::nullopt;
    case UCNV_UTF16:
    case UCNV_UTF16_BigEndian:
    case UCNV_UTF16_LittleEndian:
    case UCNV_UTF32:
    case UCNV_UTF32_BigEndian:
    case UCNV_UTF32_LittleEndian:
      // A UTF-16/32 claim in a <meta> that was read as ASCII cannot be true.
      if (from_meta) return "UTF-8";
      break;
    default:
      break;
  }
  return label;
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

std::optional<std::string> charset_from_meta(std::string_view bytes) {
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
        if (auto charset = charset_for_label(label, true)) return charset;
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

std::string decode_to_utf8(std::string_view bytes, const std::string &charset) {
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UConverter, void (*)(UConverter *)> converter(
      ucnv_open(charset.c_str(), &status), &ucnv_close);
  if (U_FAILURE(status) || bytes.empty()) return {};
  std::u16string units(bytes.size() + 1, u'\0');
  const char *source = bytes.data();
  UChar *target = units.data();
  // Flushed at the end, as the page is complete: a cut-off sequence is invalid, not pending.
  for (;;) {
    ucnv_toUnicode(converter.get(), &target, units.data() + units.size(), &source,
                   bytes.data() + bytes.size(), nullptr, true, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR) break;
    const std::size_t written = std::size_t(target - units.data());
    units.resize(units.size() * 2);
    target = units.data() + written;
    status = U_ZERO_ERROR;
  }
  std::string out(std::size_t(target - units.data()) * 3, '\0');
  std::int32_t length = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), std::int32_t(out.size()), &length, units.data(),
                     std::int32_t(target - units.data()), 0xFFFD, nullptr, &status);
  out.resize(U_SUCCESS(status) ? std::size_t(length) : 0);
  return out;
}

}  // namespace velmoth::markup_detail
