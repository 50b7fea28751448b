#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Character set detection and decoding

namespace velmoth::markup_detail {

// The UTF and Latin-1 decoders are this library's own, so that their U+FFFD and '?' fall where
// the client has always had them; every other charset is an ICU converter.
struct Decoding {
  enum Kind { Utf8, Utf16, Utf32, Latin1, Icu } kind = Utf8;
  // For UTF-16 and UTF-32; FromMark: a byte order mark decides, else little-endian.
  enum ByteOrder { FromMark, Big, Little } byte_order = FromMark;
  std::string icu_name;  // for Icu: a name ucnv_open() accepts
};

// Resolves a charset label the way browsers do for the common labels: the Latin-1 family means
// windows-1252, UTF-7 is refused (it lets a page smuggle markup past any filter), and a page
// cannot honestly declare UTF-16/32 in a <meta> that was read as ASCII, so that means UTF-8.
std::optional<Decoding> decoding_for_label(std::string_view raw_label, bool from_meta);

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
std::optional<Decoding> charset_from_meta(std::string_view bytes);

// Whether text is UTF-8 throughout (no surrogates, nothing past U+10FFFF, no overlong forms).
bool is_valid_utf8(std::string_view text);

// Decodes the whole page to UTF-8; invalid input becomes U+FFFD (in UTF-8 one per byte), and an
// unpaired UTF-16 surrogate '?'. The page is complete: a sequence cut off at its end is invalid,
// not pending.
std::string decode_to_utf8(std::string_view bytes, const Decoding &decoding);

}  // namespace velmoth::markup_detail
