#pragma once

#include <gumbo.h>

#include <array>
#include <cstdint>
#include <string>

// Tag tables

namespace velmoth::markup_detail {

enum TagFlag : std::uint32_t {
  kSerializeVoid = 1u << 0,   // no end tag is written
  kSerializeRaw = 1u << 1,    // text children are written unescaped
  kParseVoid = 1u << 2,       // the parser never leaves it open
  kRawTextContent = 1u << 3,  // content up to the matching end tag is text
  kIgnoredStart = 1u << 4,    // html, head, body: never opens a new level
  kClosesP = 1u << 5,         // an open <p> in button scope is closed first
  kFormatting = 1u << 6,      // kept in the list of active formatting elements
  kListMarker = 1u << 7,      // bounds the list of active formatting elements
  kScopeBoundary = 1u << 8,   // bounds "element in scope" searches
  kSpecial = 1u << 9,         // the "special" category of the HTML parser
  kLeavesForeign = 1u << 10,  // a start tag that ends SVG/MathML content
  kHeading = 1u << 11,
  kRubyText = 1u << 12,       // rb rp rt rtc
  kTablePart = 1u << 13,      // tbody thead tfoot
  kBlockEnd = 1u << 14,       // end tag closes the element if it is in scope
  kModeSwitching = 1u << 15,  // decides the parser's insertion mode when it is reset
  kNoReconstruct = 1u << 16,  // a start tag that does not reopen formatting elements
};

struct TagInfo {
  std::string upper_name;
  std::uint32_t flags = 0;
};

const std::array<TagInfo, GUMBO_TAG_LAST + 1> &tag_table();

std::uint32_t flags_of(GumboTag tag);

}  // namespace velmoth::markup_detail
