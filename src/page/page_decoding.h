// Decoding a page's bytes by its charset into UTF-8.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Character set detection and decoding

namespace velmoth::markup_detail {

// Resolves a charset label to the name of an ICU converter, the way browsers do for the common
// labels: the Latin-1 family means windows-1252, UTF-7 and its kin are refused by any name (they
// let a page smuggle markup past any filter), and a page cannot honestly declare UTF-16/32 in a
// <meta> that was read as ASCII, so that means UTF-8. Nothing for a label no converter answers to.
std::optional<std::string> charset_for_label(std::string_view raw_label, bool from_meta);

// The charset parameter of a Content-Type value.
std::string_view charset_parameter(std::string_view content_type);

// Reads the attributes of a tag in the prescan; `pos` starts after the tag name and ends after
// the closing '>' (or at the end of the window).
struct PrescanAttribute {
  std::string_view name;
  std::string_view value;  // null (no data) when the attribute has no value
};

std::optional<PrescanAttribute> next_prescan_attribute(std::string_view head, std::size_t &pos);

// A simplified form of the HTML encoding prescan over the first 1024 bytes: the first <meta>
// that names a usable charset wins; comments and other tags are stepped over.
std::optional<std::string> charset_from_meta(std::string_view bytes);

// Decodes the whole page to UTF-8 with the converter named charset; whatever is not a character
// becomes U+FFFD. The page is complete: a sequence cut off at its end is invalid, not pending.
std::string decode_to_utf8(std::string_view bytes, const std::string &charset);

}  // namespace velmoth::markup_detail
