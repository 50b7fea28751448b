// Field rules, HTML escaping and UTC time text shared by every layer of the service.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmoth::server {

// The number of Unicode code points in text, or nothing when text is not well-formed UTF-8
// (overlong forms, surrogates and values above U+10FFFF are malformed).
std::optional<std::size_t> utf8_length(std::string_view text);

// Decodes the code point starting at text[pos] and advances pos past it; nothing (pos unmoved)
// when the bytes there are not a well-formed UTF-8 sequence.
std::optional<std::uint32_t> next_code_point(std::string_view text, std::size_t &pos);

// Field rules for accounts and top-up cards; each takes the decoded query value.
// Account name: 1 to 32 code points of valid UTF-8, no control characters (C0, DEL, C1).
bool valid_account_name(std::string_view name);
// Password: 1 to 64 code points of valid UTF-8.
bool valid_password(std::string_view password);
// QQ number: 5 to 12 ASCII digits.
bool valid_qq(std::string_view qq);
// Card number or card password: 1 to 64 bytes.
bool valid_card_field(std::string_view value);
// Whether text is all printable ASCII (blank to tilde), as every card's number and password is.
bool printable_ascii(std::string_view text);

// An IPv4 or IPv6 address written the one way inet_ntop writes it ("::1", "10.0.0.5"), or
// nothing when text is no address.
std::optional<std::string> canonical_address(const std::string &text);

// text with &, <, >, " and ' replaced by character references, for use in HTML text and
// attribute values.
std::string html_escape(std::string_view text);

// when in UTC, written with an strftime format.
std::string utc_text(std::chrono::system_clock::time_point when, const char *format);

}  // namespace velmoth::server
