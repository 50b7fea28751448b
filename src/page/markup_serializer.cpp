// Serializes a gumbo tree iteratively in the old control's markup style.
#include "page/markup_serializer.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "page/markup_bytes.h"

namespace velmoth::markup_detail {

namespace {

// Element names as the old control wrote them: upper case.
const std::string &upper_name(GumboTag tag) {
  static const std::array<std::string, GUMBO_TAG_UNKNOWN> names = [] {
    std::array<std::string, GUMBO_TAG_UNKNOWN> result;
    for (int tag = 0; tag < GUMBO_TAG_UNKNOWN; ++tag) {
      std::string name = gumbo_normalized_tagname(GumboTag(tag));
      for (char &c : name) c = ascii_upper(c);
      result[std::size_t(tag)] = std::move(name);
    }
    return result;
  }();
  return names[std::size_t(tag)];
}

// Elements written without an end tag.
bool is_void(GumboTag tag) {
  switch (tag) {
    case GUMBO_TAG_AREA:
    case GUMBO_TAG_BASE:
    case GUMBO_TAG_BASEFONT:
    case GUMBO_TAG_BGSOUND:
    case GUMBO_TAG_BR:
    case GUMBO_TAG_COL:
    case GUMBO_TAG_EMBED:
    case GUMBO_TAG_FRAME:
    case GUMBO_TAG_HR:
    case GUMBO_TAG_IMAGE:
    case GUMBO_TAG_IMG:
    case GUMBO_TAG_INPUT:
    case GUMBO_TAG_KEYGEN:
    case GUMBO_TAG_LINK:
    case GUMBO_TAG_MENUITEM:
    case GUMBO_TAG_META:
    case GUMBO_TAG_PARAM:
    case GUMBO_TAG_SOURCE:
    case GUMBO_TAG_TRACK:
    case GUMBO_TAG_WBR:
      return true;
    default:
      return false;
  }
}

// Elements whose text is written as it is, unescaped.
bool is_raw_text(GumboTag tag) {
  switch (tag) {
    case GUMBO_TAG_SCRIPT:
    case GUMBO_TAG_STYLE:
    case GUMBO_TAG_XMP:
    case GUMBO_TAG_IFRAME:
    case GUMBO_TAG_NOEMBED:
    case GUMBO_TAG_NOFRAMES:
    case GUMBO_TAG_PLAINTEXT:
    case GUMBO_TAG_NOSCRIPT:
      return true;
    default:
      return false;
  }
}

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
    out += upper_name(element.tag);
    return;
  }
  // The parser keeps no name for tags it does not know; it comes from the source text.
  GumboStringPiece name = element.original_tag;
  if (name.data && name.length >= 3 && name.data[0] == '<' && name.data[1] != '/' &&
      name.data[name.length - 1] == '>')
    gumbo_tag_from_original_text(&name);
  else
    name = kGumboEmptyString;
  // NULs in the name become U+FFFD, as the parser's own name for the tag has them.
  const std::size_t start = out.size();
  if (name.length) append_text(out, name.data, name.data + name.length, TextMode::Raw);
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

bool is_html(const GumboElement &element, bool (*kind)(GumboTag)) {
  return element.tag_namespace == GUMBO_NAMESPACE_HTML && kind(element.tag);
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
      if (!is_html(element, is_void)) {
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
                    is_html(element, is_raw_text) ? TextMode::Raw : TextMode::Text);
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
