#include "platform/markup_serializer.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/markup_bytes.h"
#include "platform/tag_table.h"

namespace velmoth::markup_detail {

namespace {

// ---------------------------------------------------------------------------------------------
// Serialization

enum class TextMode { Text, Attribute, Raw };

// What a byte needs when written in each TextMode.
enum ByteAction : std::uint8_t {
  kKeep,
  kControl,  // written as U+FFFD; a NUL ends a NUL-terminated string
  kAmpersand,
  kLess,
  kGreater,
  kQuote,
  kC2,  // lead byte of U+0080..U+00BF, where the C1 controls are
};

constexpr std::array<std::array<std::uint8_t, 256>, 3> byte_actions() {
  std::array<std::array<std::uint8_t, 256>, 3> actions{};
  for (auto &mode : actions) {
    for (int c = 0; c < 0x20; ++c) mode[std::size_t(c)] = kControl;
    mode['\t'] = mode['\n'] = mode['\f'] = mode['\r'] = kKeep;
    mode[0x7F] = kControl;
    mode[0xC2] = kC2;
  }
  auto &text = actions[std::size_t(TextMode::Text)];
  text['&'] = kAmpersand;
  text['<'] = kLess;
  text['>'] = kGreater;
  auto &attribute = actions[std::size_t(TextMode::Attribute)];
  attribute['&'] = kAmpersand;
  attribute['"'] = kQuote;
  return actions;
}
constexpr std::array<std::array<std::uint8_t, 256>, 3> kByteActions = byte_actions();

// Appends UTF-8 text, up to end or, when end is null, up to its NUL. Controls become U+FFFD,
// and per mode markup characters become references.
void append_text(std::string &out, const char *text, const char *end, TextMode mode) {
  const auto &actions = kByteActions[std::size_t(mode)];
  const char *run = text;
  const char *p = text;
  for (;;) {
    while (p != end && actions[std::uint8_t(*p)] == kKeep) ++p;
    if (p == end || (!end && *p == '\0')) break;
    const char *replacement = kReplacementUtf8;
    std::size_t consumed = 1;
    switch (actions[std::uint8_t(*p)]) {
      case kAmpersand:
        replacement = "&amp;";
        break;
      case kLess:
        replacement = "&lt;";
        break;
      case kGreater:
        replacement = "&gt;";
        break;
      case kQuote:
        replacement = "&quot;";
        break;
      case kC2:
        if (p + 1 == end || std::uint8_t(p[1]) < 0x80 || std::uint8_t(p[1]) > 0x9F) {
          ++p;
          continue;
        }
        consumed = 2;
        break;
      default:
        break;
    }
    out.append(run, std::size_t(p - run));
    out += replacement;
    p += consumed;
    run = p;
  }
  out.append(run, std::size_t(p - run));
}

bool needs_quotes(const char *value) {
  if (!*value) return true;
  for (const char *p = value; *p; ++p) {
    const char c = *p;
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '#' ||
          c == '.' || c == '_' || c == '-'))
      return true;
  }
  return false;
}

void append_tag_name(std::string &out, const GumboElement &element) {
  if (element.tag != GUMBO_TAG_UNKNOWN) {
    out += tag_table()[std::size_t(element.tag)].upper_name;
    return;
  }
  // The parser keeps no name for tags it does not know; it comes from the source text.
  GumboStringPiece name = element.original_tag;
  if (name.data && name.length >= 3 && name.data[0] == '<' && name.data[1] != '/' &&
      name.data[name.length - 1] == '>')
    gumbo_tag_from_original_text(&name);
  else
    name = kGumboEmptyString;
  // A NUL in the source name is the mark SourceGuard leaves; the page's own NULs
  // were replaced before parsing.
  const std::size_t start = out.size();
  const char *const end = name.data + name.length;
  for (const char *run = name.data; run < end;) {
    const char *nul = static_cast<const char *>(std::memchr(run, '\0', std::size_t(end - run)));
    const char *const run_end = nul ? nul : end;
    append_text(out, run, run_end, TextMode::Raw);
    run = run_end + (nul ? 1 : 0);
  }
  for (std::size_t i = start; i < out.size(); ++i) out[i] = ascii_upper(out[i]);
}

void append_start_tag(std::string &out, const GumboNode &node) {
  const GumboElement &element = node.v.element;
  if (element.tag == GUMBO_TAG_BODY && element.tag_namespace == GUMBO_NAMESPACE_HTML) out += "\r\n";
  out += '<';
  append_tag_name(out, element);
  for (unsigned i = 0; i < element.attributes.length; ++i) {
    const auto *attribute = static_cast<const GumboAttribute *>(element.attributes.data[i]);
    out += ' ';
    append_text(out, attribute->name, nullptr, TextMode::Raw);
    out += '=';
    if (needs_quotes(attribute->value)) {
      out += '"';
      append_text(out, attribute->value, nullptr, TextMode::Attribute);
      out += '"';
    } else {
      out += attribute->value;
    }
  }
  out += '>';
}

bool is_html(const GumboElement &element, std::uint32_t flag) {
  return element.tag_namespace == GUMBO_NAMESPACE_HTML && (flags_of(element.tag) & flag);
}

}  // namespace

void serialize(const GumboNode &root, std::string &out) {
  struct Frame {
    const GumboNode *element;
    unsigned next_child;
  };
  std::vector<Frame> stack;
  append_start_tag(out, root);
  stack.push_back({&root, 0});
  while (!stack.empty()) {
    Frame &frame = stack.back();
    const GumboElement &element = frame.element->v.element;
    if (frame.next_child >= element.children.length) {
      if (!is_html(element, kSerializeVoid)) {
        out += "</";
        append_tag_name(out, element);
        out += '>';
      }
      stack.pop_back();
      continue;
    }
    const auto *child = static_cast<const GumboNode *>(element.children.data[frame.next_child++]);
    switch (child->type) {
      case GUMBO_NODE_ELEMENT:
      case GUMBO_NODE_TEMPLATE:
        append_start_tag(out, *child);
        stack.push_back({child, 0});  // invalidates frame; it is not used again
        break;
      case GUMBO_NODE_TEXT:
      case GUMBO_NODE_WHITESPACE:
      case GUMBO_NODE_CDATA:
        append_text(out, child->v.text.text, nullptr,
                    is_html(element, kSerializeRaw) ? TextMode::Raw : TextMode::Text);
        break;
      case GUMBO_NODE_COMMENT:
        out += "<!--";
        append_text(out, child->v.text.text, nullptr, TextMode::Raw);
        out += "-->";
        break;
      case GUMBO_NODE_DOCUMENT:
        break;
    }
  }
}

}  // namespace velmoth::markup_detail
