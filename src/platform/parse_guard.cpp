#include "platform/parse_guard.h"

#include <gumbo.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/markup_bytes.h"
#include "platform/page_decoding.h"
#include "platform/tag_table.h"

namespace velmoth::markup_detail {

namespace {

// ---------------------------------------------------------------------------------------------
// Oversized numeric character references
//
// This parser accumulates the value of a numeric character reference in a plain int, so a value
// past U+10FFFF wraps: "&#3000000000;" becomes a NUL that silently ends the text node, and
// others become arbitrary control characters. Such references mean U+FFFD, so they are
// rewritten before parsing.

struct Edit {
  std::size_t position;  // in the source
  std::size_t erased;    // source bytes replaced
  std::string inserted;
};

void find_oversized_references(QByteArrayView text, std::vector<Edit> &edits) {
  const char *const begin = text.data();
  const char *const end = begin + text.size();
  const char *p = begin;
  while (p < end) {
    p = static_cast<const char *>(std::memchr(p, '&', std::size_t(end - p)));
    if (!p) return;
    const char *q = p + 1;
    if (q >= end || *q != '#') {
      p = q;
      continue;
    }
    ++q;
    const bool hex = q < end && (*q == 'x' || *q == 'X');
    if (hex) ++q;
    const char *const digits = q;
    std::uint32_t value = 0;
    bool oversized = false;
    for (; q < end; ++q) {
      int digit;
      if (*q >= '0' && *q <= '9')
        digit = *q - '0';
      else if (hex && ascii_lower(*q) >= 'a' && ascii_lower(*q) <= 'f')
        digit = ascii_lower(*q) - 'a' + 10;
      else
        break;
      if (!oversized) {
        value = value * (hex ? 16u : 10u) + std::uint32_t(digit);
        oversized = value > 0x10FFFF;
      }
    }
    if (q == digits) {
      p = q;
      continue;
    }
    if (q < end && *q == ';') ++q;
    if (oversized) edits.push_back({std::size_t(p - begin), std::size_t(q - p), kReplacementUtf8});
    p = q;
  }
}

// ---------------------------------------------------------------------------------------------
// Guarding the parser
//
// Two more faults of this parser are avoided by rewriting the source before it is parsed.
//
// Depth. Its tree construction walks the stack of open elements (and the list of active
// formatting elements) on many tokens, so a page that keeps opening elements without closing
// them costs time quadratic in its depth: 300,000 nested <div> took six minutes. Browsers bound
// the tree depth for the same reason. A start tag that would open a level beyond kMaxNesting is
// closed right away by inserting its end tag, so that its content follows as siblings instead
// of descendants.
//
// Namespaces. When it resets its insertion mode it looks at the tags of the open elements
// without their namespace, so an SVG or MathML element named like a table part, select,
// template, ... ("<table><svg><td><desc><select></table>") puts it into a mode whose assertions
// abort the program. Such start tags get a NUL right after the name while SVG/MathML is open:
// the parser then sees an unknown tag, and the serializer, which takes the names of unknown
// tags from the source, leaves the NUL out again. Matching end tags get the same mark so that
// they still close the element. (A table inside foreignObject so loses its table structure, but
// not its names or text.) NULs the page itself has in tag names are replaced by U+FFFD first
// (the parser's tokenizer does the same to the names it reports). A CDATA section met at an
// integration point inside a table trips another assertion ("<table><svg><title><![CDATA[x]]>t");
// CDATA sections are written as escaped text, which parses to the same characters.
//
// For both, a light tokenizer follows the source and keeps a model of the parser's stack of open
// elements and of its list of active formatting elements. The model follows the HTML rules only
// as far as needed and, where it cannot tell what the parser does, it errs on the safe side:
//  - it never steps over text as raw text where the parser may read markup (what the model does
//    not see could hide anything); where a select may still be open, it closes it first;
//  - it closes SVG/MathML elements and selects only by the rules made for them (end tags and
//    breakout tags in SVG/MathML, the end of a select), never by the general HTML rules, so
//    that it does not lose one the parser keeps; keeping one too long costs some needless
//    renaming at worst;
//  - it counts more depth rather than less: it closes elements implicitly only where the
//    parser surely does, keeps counting formatting elements that were closed implicitly (the
//    parser reopens them), and counts the tags a select may have dropped.
// Ordinary pages pass through unchanged. As the model is not exact, the parse also runs on a
// budget (see Arena).

constexpr std::size_t kMaxNesting = 512;
constexpr std::size_t kSearchWindow = 128;  // how far below the top the model looks for a match

enum class Space : std::uint8_t { Html, Svg, MathMl };

struct OpenElement {
  std::uint64_t key;  // tag, or a hash of an unknown tag name
  GumboTag tag;
  Space space;
  bool integration_point;  // children are parsed as HTML
  bool active;             // in the parser's list of active formatting elements
  bool listed;             // active, closed, and reopened by the parser at the next text
  bool renamed;            // its start tag got a NUL after the name
  bool phantom;            // a tag that a select may have dropped: counted for depth only
  std::uint64_t identity;  // formatting elements: tag and attributes, for the parser's
                           // limit of three identical active ones
};

struct SourceTag {
  QByteArrayView name;
  QByteArrayView attributes;
  GumboTag tag;
  std::uint64_t key;
  bool self_closing;
  bool renamed;          // a NUL was inserted after the name
  std::size_t begin;     // source offset of '<'
  std::size_t name_end;  // source offset just past the name
  std::size_t end;       // source offset just past '>'
};

std::optional<QByteArrayView> attribute_value(QByteArrayView attributes,
                                              QByteArrayView lower_name) {
  qsizetype pos = 0;
  while (auto attribute = next_prescan_attribute(attributes, pos)) {
    if (equals_ignoring_case(attribute->name, lower_name)) return attribute->value;
  }
  return std::nullopt;
}

std::uint64_t fnv1a(QByteArrayView bytes, std::uint64_t hash = 1469598103934665603ull) {
  for (char c : bytes) {
    hash ^= std::uint8_t(ascii_lower(c));
    hash *= 1099511628211ull;
  }
  return hash;
}

class SourceGuard {
 public:
  // With flatten_all, every element is closed right after its start tag.
  SourceGuard(QByteArrayView text, std::vector<Edit> &edits, bool flatten_all)
      : text_(text), edits_(edits), flatten_all_(flatten_all) {}

  void run() {
    std::size_t pos = 0;
    const std::size_t size = std::size_t(text_.size());
    while (pos < size) {
      const void *lt = std::memchr(text_.data() + pos, '<', size - pos);
      if (!lt) return;
      pos = std::size_t(static_cast<const char *>(lt) - text_.data());
      pos = markup_at(pos);
    }
  }

 private:
  char at(std::size_t pos) const {
    return pos < std::size_t(text_.size()) ? text_[qsizetype(pos)] : '\0';
  }
  std::size_t size() const { return std::size_t(text_.size()); }

  // Handles the markup starting with the '<' at pos; returns where text continues.
  std::size_t markup_at(std::size_t pos) {
    const char next = at(pos + 1);
    if (is_ascii_alpha(next)) return start_tag_at(pos);
    if (next == '/') {
      if (is_ascii_alpha(at(pos + 2))) return end_tag_at(pos);
      if (at(pos + 2) == '>') return pos + 3;
      return skip_past('>', pos + 2);
    }
    if (next == '!') return declaration_at(pos);
    if (next == '?') return skip_past('>', pos + 1);
    return pos + 1;
  }

  std::size_t skip_past(char c, std::size_t from) const {
    if (from >= size()) return size();
    const void *hit = std::memchr(text_.data() + from, c, size() - from);
    return hit ? std::size_t(static_cast<const char *>(hit) - text_.data()) + 1 : size();
  }

  std::size_t skip_past(QByteArrayView word, std::size_t from) const {
    const qsizetype hit = text_.indexOf(word, qsizetype(from));
    return hit < 0 ? size() : std::size_t(hit) + std::size_t(word.size());
  }

  std::size_t declaration_at(std::size_t pos) {
    const QByteArrayView rest = text_.sliced(qsizetype(pos));
    if (rest.startsWith("<!--")) {
      std::size_t p = pos + 4;
      if (at(p) == '>') return p + 1;
      if (at(p) == '-' && at(p + 1) == '>') return p + 2;
      while (p < size()) {
        const qsizetype dashes = text_.indexOf("--", qsizetype(p));
        if (dashes < 0) return size();
        p = std::size_t(dashes) + 2;
        if (at(p) == '>') return p + 1;
        if (at(p) == '!' && at(p + 1) == '>') return p + 2;
        p = std::size_t(dashes) + 1;
      }
      return size();
    }
    if (rest.startsWith("<![CDATA[") && open_foreign_ > 0) {
      // Inside SVG/MathML this is a CDATA section, rewritten as escaped text (see above).
      // That is done whenever SVG/MathML is open anywhere, as the model may be unsure of
      // the current element; where the parser is in HTML content after all, it would
      // have made a comment of it.
      const std::size_t end = skip_past(QByteArrayView("]]>"), pos + 9);
      const bool closed = end >= 12 && text_.sliced(qsizetype(end - 3), 3) == "]]>";
      const std::size_t content_end = closed ? end - 3 : size();
      std::string escaped;
      for (std::size_t i = pos + 9; i < content_end; ++i) {
        const char c = at(i);
        if (c == '&')
          escaped += "&amp;";
        else if (c == '<')
          escaped += "&lt;";
        else
          escaped += c;
      }
      edits_.push_back({pos, end - pos, std::move(escaped)});
      return end;
    }
    return skip_past('>', pos + 2);
  }

  // Reads a tag's name and attributes; returns false when the source ends inside the tag
  // (the parser drops such a tag).
  bool read_tag(std::size_t name_begin, SourceTag &tag) {
    std::size_t p = name_begin;
    while (p < size() && !is_html_space(at(p)) && at(p) != '/' && at(p) != '>') ++p;
    tag.name = text_.sliced(qsizetype(name_begin), qsizetype(p - name_begin));
    tag.name_end = p;
    for (std::size_t i = name_begin; i < p; ++i) {
      if (at(i) == '\0') edits_.push_back({i, 1, kReplacementUtf8});
    }
    const std::size_t attributes_begin = p;
    tag.self_closing = false;
    tag.renamed = false;

    // The attribute states of the HTML tokenizer, enough to find the '>' that ends the tag.
    enum { BeforeName, Name, AfterName, BeforeValue } state = BeforeName;
    bool finished = false;
    while (!finished && p < size()) {
      const char c = at(p);
      switch (state) {
        case BeforeName:
          if (c == '>') {
            finished = true;
          } else if (c == '/' && at(p + 1) == '>') {
            tag.self_closing = true;
            ++p;
            finished = true;
          } else {
            if (!is_html_space(c) && c != '/') state = Name;  // '=' may start a name here
            ++p;
          }
          break;
        case Name:
        case AfterName:
          if (c == '>') {
            finished = true;
          } else if (c == '/') {
            state = BeforeName;
          } else if (c == '=') {
            state = BeforeValue;
            ++p;
          } else {
            if (is_html_space(c))
              state = AfterName;
            else if (state == AfterName)
              state = Name;
            ++p;
          }
          break;
        case BeforeValue:
          if (c == '>') {
            finished = true;
          } else if (c == '"' || c == '\'') {
            const void *close = std::memchr(text_.data() + p + 1, c, size() - p - 1);
            if (!close) return false;
            p = std::size_t(static_cast<const char *>(close) - text_.data()) + 1;
            state = BeforeName;
          } else if (is_html_space(c)) {
            ++p;
          } else {
            while (p < size() && !is_html_space(at(p)) && at(p) != '>') ++p;
            state = BeforeName;
          }
          break;
      }
    }
    if (p >= size()) return false;
    tag.attributes = text_.sliced(qsizetype(attributes_begin), qsizetype(p - attributes_begin));
    tag.end = p + 1;
    tag.tag = gumbo_tagn_enum(tag.name.data(), unsigned(tag.name.size()));
    tag.key =
        tag.tag != GUMBO_TAG_UNKNOWN ? std::uint64_t(tag.tag) : (fnv1a(tag.name) | (1ull << 63));
    return true;
  }

  std::size_t start_tag_at(std::size_t pos) {
    SourceTag tag;
    if (!read_tag(pos + 1, tag)) return size();
    tag.begin = pos;
    const int current = current_index();
    const bool foreign = current >= 0 && stays_foreign(open_[std::size_t(current)], tag);
    // The renaming does not rely on the model knowing the current element: it applies
    // while any SVG/MathML element is open, as such an element is never closed here before
    // the parser closes it. (A breakout tag never makes an SVG/MathML element.)
    const std::uint32_t flags = flags_of(tag.tag);
    if ((flags & kModeSwitching) && !(flags & kLeavesForeign) && (foreign || open_foreign_ > 0)) {
      edits_.push_back({tag.name_end, 0, std::string(1, '\0')});
      tag.renamed = true;
    }
    if (foreign) {
      // A tag that is raw text in HTML: if the parser is in HTML content after all, up to
      // its end tag is text, and a raw-text tag seen in there would not be one.
      if (((flags & kRawTextContent) || tag.tag == GUMBO_TAG_PLAINTEXT ||
           tag.tag == GUMBO_TAG_SCRIPT) &&
          !tag.self_closing && uncertain_raw_text_.isEmpty())
        uncertain_raw_text_ = tag.name.toByteArray().toLower();
      if (!tag.self_closing) open(tag, open_[std::size_t(current)].space);
      return tag.end;
    }
    if (current >= 0) {
      const OpenElement &parent = open_[std::size_t(current)];
      const bool svg_in_annotation = parent.space == Space::MathMl &&
                                     parent.tag == GUMBO_TAG_ANNOTATION_XML &&
                                     tag.tag == GUMBO_TAG_SVG;
      if (!svg_in_annotation) {
        while (foreign_content())  // the tag ends SVG/MathML content
          close_down_to(std::size_t(current_index()));
      }
    }
    if (tag.renamed) {
      // An unknown element to the parser, and one no end tag closes by name.
      tag.tag = GUMBO_TAG_UNKNOWN;
      tag.key = fnv1a(tag.name, tag.begin) | (1ull << 63);
    }
    return html_start_tag(tag);
  }

  // Whether the parser inserts the tag as an SVG/MathML element under parent.
  static bool stays_foreign(const OpenElement &parent, const SourceTag &tag) {
    if (parent.space == Space::Html) return false;
    if (parent.integration_point)
      return parent.space == Space::MathMl && parent.tag != GUMBO_TAG_ANNOTATION_XML &&
             (tag.tag == GUMBO_TAG_MGLYPH || tag.tag == GUMBO_TAG_MALIGNMARK);
    if (parent.space == Space::MathMl && parent.tag == GUMBO_TAG_ANNOTATION_XML &&
        tag.tag == GUMBO_TAG_SVG)
      return false;
    if (tag.tag == GUMBO_TAG_FONT)
      return !attribute_value(tag.attributes, "color") &&
             !attribute_value(tag.attributes, "face") && !attribute_value(tag.attributes, "size");
    return !(flags_of(tag.tag) & kLeavesForeign);
  }

  std::size_t end_tag_at(std::size_t pos) {
    SourceTag tag;
    if (!read_tag(pos + 2, tag)) return size();
    if (!uncertain_raw_text_.isEmpty() && equals_ignoring_case(tag.name, uncertain_raw_text_))
      uncertain_raw_text_.clear();
    const int current = current_index();
    if (current >= 0 && open_[std::size_t(current)].space != Space::Html) {
      // Foreign elements close by name; the first HTML element hands over to HTML rules.
      // (Unlike start tags, end tags take this path at integration points too.)
      for (std::size_t i = open_.size(), seen = 0; i-- > 0 && seen < kSearchWindow; ++seen) {
        const OpenElement &e = open_[i];
        if (absent(e)) continue;
        if (e.space == Space::Html) break;
        if (e.key == tag.key) {
          if (e.renamed) edits_.push_back({tag.name_end, 0, std::string(1, '\0')});
          close_down_to(i);
          return tag.end;
        }
      }
    }
    html_end_tag(tag);
    return tag.end;
  }

  std::size_t html_start_tag(const SourceTag &tag) {
    const std::uint32_t flags = flags_of(tag.tag);
    if (((flags & kRawTextContent) || tag.tag == GUMBO_TAG_PLAINTEXT) &&
        tag.tag != GUMBO_TAG_SCRIPT && tag.tag != GUMBO_TAG_TEXTAREA && open_selects_ > 0) {
      // Raw text, except in a select, where the parser drops these tags and reads their
      // content as markup. Whether it is still in a select depends on more than this model
      // follows (table tags end a select or not depending on how the parser came there),
      // and content read the wrong way could hide anything; so an end tag for the select
      // goes in first. It ends the select if the parser is in one and is dropped
      // otherwise, and the content is raw text either way.
      edits_.push_back({tag.begin, 0, "</select>"});
      const int open_select = find_html(GUMBO_TAG_SELECT, &SourceGuard::template_boundary);
      if (open_select >= 0 && !holds_foreign_above(std::size_t(open_select)))
        close_select(std::size_t(open_select));
    }
    const int select = find_html(GUMBO_TAG_SELECT, &SourceGuard::select_scope);
    if (select >= 0) {
      // Inside a <select> the parser takes options and a few tags that end the select,
      // and drops the rest (the content of a dropped <style> is markup then). Table tags
      // end the select or not depending on how the parser came there, which this model
      // does not know; so the other tags are kept as phantoms, counted for depth but
      // otherwise invisible, and the select stays open here for as long as it may be
      // open in the parser.
      switch (tag.tag) {
        case GUMBO_TAG_OPTION:
        case GUMBO_TAG_OPTGROUP:
        case GUMBO_TAG_SCRIPT:
        case GUMBO_TAG_TEMPLATE:
          break;
        case GUMBO_TAG_SELECT:
          // With phantoms above, the parser may have left the select already and opens
          // a new one here.
          if (close_select(std::size_t(select))) open(tag, Space::Html);
          return tag.end;
        case GUMBO_TAG_INPUT:
        case GUMBO_TAG_KEYGEN:
        case GUMBO_TAG_TEXTAREA:
          close_select(std::size_t(select));
          break;
        case GUMBO_TAG_SVG:
        case GUMBO_TAG_MATH:
          if (!tag.self_closing) open(tag, tag.tag == GUMBO_TAG_SVG ? Space::Svg : Space::MathMl);
          return tag.end;
        default:
          if (!(flags & (kIgnoredStart | kParseVoid | kRawTextContent)) &&
              tag.tag != GUMBO_TAG_PLAINTEXT)
            open(tag, Space::Html, true);
          return tag.end;
      }
    }
    const bool reconstructs = !(flags & kNoReconstruct);
    if (flags & (kIgnoredStart | kParseVoid)) {
      if (reconstructs) reconstruct();
      return tag.end;
    }
    // Raw text. (In a frameset the parser drops these tags and reads on, but it then drops
    // every tag but frameset, frame and noframes, so that does not matter here.) Where
    // the model may be inside text already, the tag is counted as an element instead.
    if ((flags & kRawTextContent) && uncertain_raw_text_.isEmpty()) {
      if (reconstructs) reconstruct();
      return skip_raw_text(tag.name, tag.end);
    }

    switch (tag.tag) {
      case GUMBO_TAG_PLAINTEXT:
        if (uncertain_raw_text_.isEmpty()) return size();  // everything after it is text
        break;
      case GUMBO_TAG_FORM:
        if (open_forms_ > 0 && open_templates_ == 0)
          return tag.end;  // the parser ignores a form inside a form
        close_p();
        break;
      case GUMBO_TAG_LI:
        close_nearest(
            [](const OpenElement &e) { return e.space == Space::Html && e.tag == GUMBO_TAG_LI; },
            &SourceGuard::list_item_boundary);
        close_p();
        break;
      case GUMBO_TAG_DD:
      case GUMBO_TAG_DT:
        close_nearest(
            [](const OpenElement &e) {
              return e.space == Space::Html && (e.tag == GUMBO_TAG_DD || e.tag == GUMBO_TAG_DT);
            },
            &SourceGuard::list_item_boundary);
        close_p();
        break;
      case GUMBO_TAG_A:
      case GUMBO_TAG_NOBR:
        // A new link (or nobr) ends the one still open.
        close_formatting(tag.key, tag.tag == GUMBO_TAG_A);
        break;
      case GUMBO_TAG_BUTTON:
        close_nearest(
            [](const OpenElement &e) {
              return e.space == Space::Html && e.tag == GUMBO_TAG_BUTTON;
            },
            &SourceGuard::default_scope);
        break;
      case GUMBO_TAG_OPTION:
      case GUMBO_TAG_OPTGROUP:
        if (current_is(GUMBO_TAG_OPTION)) close_down_to(std::size_t(current_index()));
        if (tag.tag == GUMBO_TAG_OPTGROUP && current_is(GUMBO_TAG_OPTGROUP) && in_select())
          close_down_to(std::size_t(current_index()));
        break;
      case GUMBO_TAG_RB:
      case GUMBO_TAG_RTC:
      case GUMBO_TAG_RP:
      case GUMBO_TAG_RT:
        if (find_html(GUMBO_TAG_RUBY, &SourceGuard::default_scope) >= 0)
          close_implied(tag.tag == GUMBO_TAG_RP || tag.tag == GUMBO_TAG_RT);
        break;
      case GUMBO_TAG_TD:
      case GUMBO_TAG_TH:
      case GUMBO_TAG_TR:
      case GUMBO_TAG_TBODY:
      case GUMBO_TAG_THEAD:
      case GUMBO_TAG_TFOOT:
      case GUMBO_TAG_CAPTION:
      case GUMBO_TAG_COLGROUP:
        if (!make_room_for_table_part(tag.tag))
          return tag.end;  // outside a table the parser drops it
        break;
      case GUMBO_TAG_TABLE: {
        // A table started in a table (not in a cell or caption) ends the first one. That
        // holds after elements moved out of the table too, as the parser stays in its
        // table mode for those.
        const int context = find_open(
            [](const OpenElement &e) {
              return e.space == Space::Html &&
                     (e.tag == GUMBO_TAG_TABLE || e.tag == GUMBO_TAG_TR || e.tag == GUMBO_TAG_TD ||
                      e.tag == GUMBO_TAG_TH || e.tag == GUMBO_TAG_CAPTION ||
                      e.tag == GUMBO_TAG_COLGROUP || (flags_of(e.tag) & kTablePart));
            },
            &SourceGuard::table_scope);
        if (context >= 0) {
          const GumboTag in = open_[std::size_t(context)].tag;
          const int table = find_html(GUMBO_TAG_TABLE, &SourceGuard::table_scope);
          if (in != GUMBO_TAG_TD && in != GUMBO_TAG_TH && in != GUMBO_TAG_CAPTION && table >= 0 &&
              !holds_above(std::size_t(table)))
            close_down_to(std::size_t(table));
        }
        break;
      }
      case GUMBO_TAG_SVG:
      case GUMBO_TAG_MATH:
        reconstruct();
        if (!tag.self_closing) open(tag, tag.tag == GUMBO_TAG_SVG ? Space::Svg : Space::MathMl);
        return tag.end;
      default:
        if (flags & kHeading) {
          close_p();
          const int current = current_index();
          if (current >= 0 && open_[std::size_t(current)].space == Space::Html &&
              (flags_of(open_[std::size_t(current)].tag) & kHeading))
            close_down_to(std::size_t(current));
        } else if (flags & kClosesP) {
          close_p();
        }
        break;
    }
    if (reconstructs) reconstruct();
    open(tag, Space::Html);
    return tag.end;
  }

  void html_end_tag(const SourceTag &tag) {
    const std::uint32_t flags = flags_of(tag.tag);
    if (tag.tag == GUMBO_TAG_BR || (flags & kIgnoredStart)) return;
    const int select = find_html(GUMBO_TAG_SELECT, &SourceGuard::select_scope);
    if (select >= 0) {
      // Inside a <select> only these end tags do anything.
      switch (tag.tag) {
        case GUMBO_TAG_OPTION:
        case GUMBO_TAG_OPTGROUP:
          if (tag.tag == GUMBO_TAG_OPTGROUP && current_is(GUMBO_TAG_OPTION))
            close_down_to(std::size_t(current_index()));
          if (current_is(tag.tag)) close_down_to(std::size_t(current_index()));
          return;
        case GUMBO_TAG_SELECT:
          close_select(std::size_t(select));
          return;
        case GUMBO_TAG_TEMPLATE:
          break;
        default:
          return;
      }
    }
    if ((flags & kFormatting) && close_formatting(tag.key, false)) return;

    int found = -1;
    switch (tag.tag) {
      case GUMBO_TAG_P:
        found = find_html(GUMBO_TAG_P, &SourceGuard::button_scope);
        break;
      case GUMBO_TAG_LI:
        found = find_html(GUMBO_TAG_LI, &SourceGuard::list_item_scope);
        break;
      case GUMBO_TAG_DD:
      case GUMBO_TAG_DT:
      case GUMBO_TAG_TEMPLATE:
        found = find_html(tag.tag, tag.tag == GUMBO_TAG_TEMPLATE ? &SourceGuard::no_boundary
                                                                 : &SourceGuard::default_scope);
        break;
      case GUMBO_TAG_FORM:
        found = find_html(GUMBO_TAG_FORM, &SourceGuard::default_scope);
        if (found >= 0) remove_at(std::size_t(found));  // only the form itself leaves the stack
        return;
      case GUMBO_TAG_TABLE:
      case GUMBO_TAG_TBODY:
      case GUMBO_TAG_THEAD:
      case GUMBO_TAG_TFOOT:
      case GUMBO_TAG_TR:
      case GUMBO_TAG_TD:
      case GUMBO_TAG_TH:
      case GUMBO_TAG_CAPTION:
      case GUMBO_TAG_COLGROUP:
        found = find_html(tag.tag, &SourceGuard::table_scope);
        break;
      case GUMBO_TAG_SELECT:
        // Elements above a select in this model may be ones the parser dropped.
        found = find_html(GUMBO_TAG_SELECT, &SourceGuard::template_boundary);
        if (found >= 0 && !holds_above(std::size_t(found) + 1)) close_down_to(std::size_t(found));
        return;
      default:
        if (flags & kHeading) {
          found = find_open(
              [](const OpenElement &e) {
                return e.space == Space::Html && (flags_of(e.tag) & kHeading);
              },
              &SourceGuard::default_scope);
        } else if (flags & kBlockEnd) {
          found = find_html(tag.tag, &SourceGuard::default_scope);
        } else {
          const std::uint64_t key = tag.key;
          found = find_open(
              [key](const OpenElement &e) { return e.space == Space::Html && e.key == key; },
              &SourceGuard::special);
        }
        break;
    }
    if (found >= 0 && !holds_above(std::size_t(found))) close_down_to(std::size_t(found));
  }

  // Steps over the content of script, style, textarea, ... up to the matching end tag.
  std::size_t skip_raw_text(QByteArrayView name, std::size_t from) {
    const QByteArray lower_name = name.toByteArray().toLower();
    std::size_t p = from;
    while (p < size()) {
      const void *lt = std::memchr(text_.data() + p, '<', size() - p);
      if (!lt) return size();
      p = std::size_t(static_cast<const char *>(lt) - text_.data());
      const std::size_t name_end = p + 2 + std::size_t(name.size());
      if (at(p + 1) == '/' && name_end <= size() &&
          equals_ignoring_case(text_.sliced(qsizetype(p + 2), name.size()), lower_name) &&
          (name_end == size() || is_html_space(at(name_end)) || at(name_end) == '/' ||
           at(name_end) == '>'))
        return p;
      ++p;
    }
    return size();
  }

  // --- the model of open elements

  void open(const SourceTag &tag, Space space, bool phantom = false) {
    if (flatten_all_ || open_.size() >= kMaxNesting) {
      std::string end_tag = "</";
      end_tag.append(tag.name.data(), std::size_t(tag.name.size()));
      if (tag.renamed) end_tag += '\0';
      end_tag += '>';
      edits_.push_back({tag.end, 0, std::move(end_tag)});
      return;
    }
    OpenElement e{tag.key, tag.tag, space, false, false, false, tag.renamed, phantom, 0};
    if (space == Space::Svg) {
      e.integration_point = tag.tag == GUMBO_TAG_FOREIGNOBJECT || tag.tag == GUMBO_TAG_DESC ||
                            tag.tag == GUMBO_TAG_TITLE;
    } else if (space == Space::MathMl) {
      e.integration_point = tag.tag == GUMBO_TAG_MI || tag.tag == GUMBO_TAG_MO ||
                            tag.tag == GUMBO_TAG_MN || tag.tag == GUMBO_TAG_MS ||
                            tag.tag == GUMBO_TAG_MTEXT;
      if (tag.tag == GUMBO_TAG_ANNOTATION_XML) {
        const QByteArrayView encoding =
            trimmed(attribute_value(tag.attributes, "encoding").value_or(QByteArrayView()));
        e.integration_point = equals_ignoring_case(encoding, "text/html") ||
                              equals_ignoring_case(encoding, "application/xhtml+xml");
      }
    } else if ((flags_of(tag.tag) & kFormatting) && !phantom) {
      e.identity = fnv1a(tag.attributes, tag.key * 1099511628211ull);
      e.active = true;
      limit_identical_active(e.identity);
    }
    push(e);
  }

  void open_implied(GumboTag tag) {
    if (open_.size() < kMaxNesting)
      push({std::uint64_t(tag), tag, Space::Html, false, false, false, false, false, 0});
  }

  void push(const OpenElement &e) {
    open_.push_back(e);
    count(e, +1);
  }

  // Listed and phantom entries are not on the parser's stack of open elements.
  static bool absent(const OpenElement &e) { return e.listed || e.phantom; }

  void count(const OpenElement &e, int delta) {
    if (e.phantom) return;
    if (e.space != Space::Html) {
      if (!e.listed) open_foreign_ += delta;
      return;
    }
    if (e.listed)
      listed_ += delta;
    else if (e.tag == GUMBO_TAG_FORM)
      open_forms_ += delta;
    else if (e.tag == GUMBO_TAG_TEMPLATE)
      open_templates_ += delta;
    else if (e.tag == GUMBO_TAG_SELECT)
      open_selects_ += delta;
  }

  bool is_list_marker(const OpenElement &e) const {
    return e.space == Space::Html && !absent(e) && (flags_of(e.tag) & kListMarker);
  }

  // Closes the element at index and everything above it. Active formatting elements above it
  // stay counted, as listed, for the parser reopens them later, unless a marker (td, object,
  // ...) closed with them clears them.
  void close_down_to(std::size_t index) {
    std::size_t lowest_marker = open_.size();
    for (std::size_t i = index; i < open_.size(); ++i) {
      if (is_list_marker(open_[i])) {
        lowest_marker = i;
        break;
      }
    }
    std::vector<OpenElement> kept;
    for (std::size_t i = index; i < open_.size(); ++i) {
      OpenElement e = open_[i];
      count(e, -1);
      if (i == index || i > lowest_marker || !e.active) continue;
      e.listed = true;
      kept.push_back(e);
      count(e, +1);
    }
    open_.resize(index);
    open_.insert(open_.end(), kept.begin(), kept.end());
  }

  // Closes a select. The phantoms above it stay counted: if the parser had left the select
  // already, they are elements it still has open. Returns whether there were any.
  bool close_select(std::size_t index) {
    std::vector<OpenElement> phantoms;
    for (std::size_t i = index + 1; i < open_.size(); ++i) {
      if (open_[i].phantom) phantoms.push_back(open_[i]);
    }
    close_down_to(index);
    for (const OpenElement &e : phantoms) push(e);
    return !phantoms.empty();
  }

  void close_above(std::size_t index) {
    if (index + 1 < open_.size()) close_down_to(index + 1);
  }

  // The parser reopens the listed formatting elements since the last one still open (or the
  // last marker) on text and most start tags: they move to the top as open elements.
  void reconstruct() {
    if (listed_ == 0) return;
    std::vector<std::size_t> positions;  // from the top down
    for (std::size_t i = open_.size(), seen = 0; i-- > 0 && seen < kSearchWindow; ++seen) {
      const OpenElement &e = open_[i];
      if (e.phantom || !e.active) continue;
      if (!e.listed || is_list_marker(e)) break;
      positions.push_back(i);
    }
    std::vector<OpenElement> reopened;
    for (auto it = positions.rbegin(); it != positions.rend(); ++it) reopened.push_back(open_[*it]);
    for (std::size_t position : positions) {
      count(open_[position], -1);
      open_.erase(open_.begin() + std::ptrdiff_t(position));
    }
    for (OpenElement &e : reopened) {
      e.listed = false;
      push(e);
    }
  }

  // Before a formatting element becomes active: with three identical ones active since the
  // last marker, the parser drops the earliest from its list. That one stays counted here as a
  // plain element, as it may still be open in the parser.
  void limit_identical_active(std::uint64_t identity) {
    int identical = 0;
    std::size_t earliest = 0;
    for (std::size_t i = open_.size(), seen = 0; i-- > 0 && seen < kSearchWindow; ++seen) {
      const OpenElement &e = open_[i];
      if (is_list_marker(e)) break;
      if (e.active && !e.phantom && e.identity == identity) {
        ++identical;
        earliest = i;
      }
    }
    if (identical < 3) return;
    OpenElement &e = open_[earliest];
    count(e, -1);
    e.active = false;
    e.listed = false;
    count(e, +1);
  }

  void remove_at(std::size_t index) {
    count(open_[index], -1);
    open_.erase(open_.begin() + std::ptrdiff_t(index));
  }

  // Closes the formatting element of that key since the last marker, as the parser's
  // adoption agency does: a listed one just leaves; an open one in scope closes, and with no
  // special element above it everything above closes too (formatting elements there stay
  // listed). Out of scope the parser leaves it, unless it is an <a> being replaced. Returns
  // false when there is no such element.
  bool close_formatting(std::uint64_t key, bool replacing_link) {
    bool in_scope = true;
    bool special_above = false;
    for (std::size_t i = open_.size(), seen = 0; i-- > 0 && seen < kSearchWindow; ++seen) {
      const OpenElement &e = open_[i];
      if (e.phantom) continue;
      if (is_list_marker(e)) return false;
      if (e.active && e.key == key) {
        if (e.listed || (!in_scope && replacing_link) || special_above || holds_above(i + 1))
          remove_at(i);
        else if (in_scope)
          close_down_to(i);
        return true;
      }
      if (!e.listed) {
        in_scope = in_scope && !default_scope(e);
        special_above = special_above || special(e);
      }
    }
    return false;
  }

  int current_index() const {
    for (std::size_t i = open_.size(); i-- > 0;) {
      if (!absent(open_[i])) return int(i);
    }
    return -1;
  }

  bool current_is(GumboTag tag) const {
    const int current = current_index();
    return current >= 0 && open_[std::size_t(current)].space == Space::Html &&
           open_[std::size_t(current)].tag == tag;
  }

  bool foreign_content() const {
    const int current = current_index();
    if (current < 0) return false;
    const OpenElement &e = open_[std::size_t(current)];
    return e.space != Space::Html && !e.integration_point;
  }

  using Boundary = bool (SourceGuard::*)(const OpenElement &) const;

  template <class Match>
  int find_open(Match match, Boundary boundary) const {
    for (std::size_t i = open_.size(), seen = 0; i-- > 0 && seen < kSearchWindow; ++seen) {
      const OpenElement &e = open_[i];
      if (absent(e)) continue;
      if (match(e)) return int(i);
      if ((this->*boundary)(e)) return -1;
    }
    return -1;
  }

  int find_html(GumboTag tag, Boundary boundary) const {
    return find_open([tag](const OpenElement &e) { return e.space == Space::Html && e.tag == tag; },
                     boundary);
  }

  template <class Match>
  void close_nearest(Match match, Boundary boundary) {
    const int found = find_open(match, boundary);
    if (found >= 0 && !holds_above(std::size_t(found))) close_down_to(std::size_t(found));
  }

  // Closes what a table part (cell, row, section, caption, colgroup) ends, and counts the
  // elements the parser implies around it. Returns false when no table (or template) is
  // near: the parser drops the tag then. Whether the parser takes such a tag depends on its
  // insertion mode, which this model follows only roughly; so a table part that would close
  // SVG/MathML elements is taken as dropped, keeping those elements in the model.
  bool make_room_for_table_part(GumboTag tag) {
    const bool cell = tag == GUMBO_TAG_TD || tag == GUMBO_TAG_TH;
    const bool row = tag == GUMBO_TAG_TR;
    const bool section = flags_of(tag) & kTablePart;
    const int found = find_open(
        [=](const OpenElement &e) {
          if (e.space != Space::Html) return false;
          if (e.tag == GUMBO_TAG_TABLE || e.tag == GUMBO_TAG_TEMPLATE) return true;
          if (e.tag == GUMBO_TAG_TD || e.tag == GUMBO_TAG_TH) return cell;
          if (e.tag == GUMBO_TAG_TR) return cell || row;
          return (flags_of(e.tag) & kTablePart) && (cell || row || section);
        },
        &SourceGuard::table_scope);
    if (found < 0 || holds_above(std::size_t(found))) return false;
    const GumboTag context = open_[std::size_t(found)].tag;
    if (context == tag || (cell && (context == GUMBO_TAG_TD || context == GUMBO_TAG_TH)) ||
        (section && (flags_of(context) & kTablePart))) {
      close_down_to(std::size_t(found));
      return true;
    }
    close_above(std::size_t(found));
    if (context == GUMBO_TAG_TABLE && (cell || row)) open_implied(GUMBO_TAG_TBODY);
    if (cell && context != GUMBO_TAG_TR) open_implied(GUMBO_TAG_TR);
    return true;
  }

  // Whether closing down to index would close a select or an SVG/MathML element. The HTML
  // rules that close elements do not run in a select, and this model follows the parser's
  // state only roughly; so it closes those elements only by the rules made for them (end of
  // select, end tags and breakout tags in SVG/MathML) rather than lose one the parser keeps.
  // Keeping one too long costs at most some needless renaming.
  // The parser's "generate implied end tags": closes open elements that end implicitly (p,
  // li, dd, dt, option, optgroup and the ruby text ones) from the top.
  void close_implied(bool except_rtc) {
    for (;;) {
      const int current = current_index();
      if (current < 0) return;
      const OpenElement &e = open_[std::size_t(current)];
      const bool implied =
          e.space == Space::Html &&
          (e.tag == GUMBO_TAG_P || e.tag == GUMBO_TAG_LI || e.tag == GUMBO_TAG_DD ||
           e.tag == GUMBO_TAG_DT || e.tag == GUMBO_TAG_OPTION || e.tag == GUMBO_TAG_OPTGROUP ||
           (flags_of(e.tag) & kRubyText)) &&
          !(except_rtc && e.tag == GUMBO_TAG_RTC);
      if (!implied) return;
      close_down_to(std::size_t(current));
    }
  }

  bool holds_foreign_above(std::size_t index) const {
    for (std::size_t i = index; i < open_.size(); ++i) {
      if (!absent(open_[i]) && open_[i].space != Space::Html) return true;
    }
    return false;
  }

  bool holds_above(std::size_t index) const {
    for (std::size_t i = index; i < open_.size(); ++i) {
      const OpenElement &e = open_[i];
      if (absent(e)) continue;
      if ((e.space == Space::Html && e.tag == GUMBO_TAG_SELECT) || e.space != Space::Html)
        return true;
    }
    return false;
  }

  void close_p() {
    close_nearest(
        [](const OpenElement &e) { return e.space == Space::Html && e.tag == GUMBO_TAG_P; },
        &SourceGuard::button_scope);
  }

  bool in_select() const { return find_html(GUMBO_TAG_SELECT, &SourceGuard::select_scope) >= 0; }

  // mi, mo, mn, ms, mtext, annotation-xml, foreignObject, desc, title: scope boundaries and
  // "special" whatever their attributes.
  static bool foreign_marker(const OpenElement &e) {
    if (e.space == Space::MathMl)
      return e.tag == GUMBO_TAG_MI || e.tag == GUMBO_TAG_MO || e.tag == GUMBO_TAG_MN ||
             e.tag == GUMBO_TAG_MS || e.tag == GUMBO_TAG_MTEXT || e.tag == GUMBO_TAG_ANNOTATION_XML;
    if (e.space == Space::Svg)
      return e.tag == GUMBO_TAG_FOREIGNOBJECT || e.tag == GUMBO_TAG_DESC ||
             e.tag == GUMBO_TAG_TITLE;
    return false;
  }
  bool default_scope(const OpenElement &e) const {
    return foreign_marker(e) || (e.space == Space::Html && (flags_of(e.tag) & kScopeBoundary));
  }
  bool button_scope(const OpenElement &e) const {
    return default_scope(e) || (e.space == Space::Html && e.tag == GUMBO_TAG_BUTTON);
  }
  bool list_item_scope(const OpenElement &e) const {
    return default_scope(e) ||
           (e.space == Space::Html && (e.tag == GUMBO_TAG_OL || e.tag == GUMBO_TAG_UL));
  }
  bool table_scope(const OpenElement &e) const {
    return e.space == Space::Html &&
           (e.tag == GUMBO_TAG_HTML || e.tag == GUMBO_TAG_TABLE || e.tag == GUMBO_TAG_TEMPLATE);
  }
  bool select_scope(const OpenElement &e) const {
    return !(e.space == Space::Html && (e.tag == GUMBO_TAG_OPTION || e.tag == GUMBO_TAG_OPTGROUP));
  }
  bool special(const OpenElement &e) const {
    return foreign_marker(e) || (e.space == Space::Html && (flags_of(e.tag) & kSpecial));
  }
  // li, dd and dt close an open item across anything but special elements (address, div and
  // p excepted).
  bool list_item_boundary(const OpenElement &e) const {
    return special(e) &&
           !(e.space == Space::Html &&
             (e.tag == GUMBO_TAG_ADDRESS || e.tag == GUMBO_TAG_DIV || e.tag == GUMBO_TAG_P));
  }
  bool no_boundary(const OpenElement &) const { return false; }
  bool template_boundary(const OpenElement &e) const {
    return e.space == Space::Html && e.tag == GUMBO_TAG_TEMPLATE;
  }

  QByteArrayView text_;
  std::vector<Edit> &edits_;
  const bool flatten_all_;
  std::vector<OpenElement> open_;
  int listed_ = 0;
  int open_forms_ = 0;
  int open_templates_ = 0;
  int open_foreign_ = 0;
  int open_selects_ = 0;
  // Set while the model reads as markup what the parser may take as the text of this
  // element (a raw-text tag the model took for an SVG/MathML element).
  QByteArray uncertain_raw_text_;
};

// Applies edits, which are in source order and do not overlap.
void apply_edits(QByteArrayView text, const std::vector<Edit> &edits, std::string &out) {
  out.clear();
  out.reserve(std::size_t(text.size()) + edits.size() * 8);
  std::size_t copied = 0;
  for (const Edit &edit : edits) {
    out.append(text.data() + copied, edit.position - copied);
    out += edit.inserted;
    copied = edit.position + edit.erased;
  }
  out.append(text.data() + copied, std::size_t(text.size()) - copied);
}

}  // namespace

QByteArrayView prepare_source(QByteArrayView text, std::string &storage, bool flatten_all) {
  std::vector<Edit> edits;
  SourceGuard(text, edits, flatten_all).run();
  std::stable_sort(edits.begin(), edits.end(),
                   [](const Edit &a, const Edit &b) { return a.position < b.position; });
  std::string limited;
  if (!edits.empty()) {
    apply_edits(text, edits, limited);
    text = QByteArrayView(limited.data(), qsizetype(limited.size()));
    edits.clear();
  }
  find_oversized_references(text, edits);
  if (!edits.empty())
    apply_edits(text, edits, storage);
  else if (!limited.empty())
    storage = std::move(limited);
  else
    return text;
  return QByteArrayView(storage.data(), qsizetype(storage.size()));
}

}  // namespace velmoth::markup_detail
