// Numeric character references gumbo cannot take, made harmless.
#pragma once

#include <string>
#include <string_view>

namespace velmoth::markup_detail {

// The parser keeps the value of a numeric character reference in a plain int, so a value past
// U+10FFFF wraps: "&#3000000000;" becomes a NUL that silently ends the text node, others become
// arbitrary control characters. Such references mean U+FFFD, so they are replaced before
// parsing. Returns text itself when it has none, else the rewritten text kept in storage.
std::string_view replace_oversized_references(std::string_view text, std::string &storage);

}  // namespace velmoth::markup_detail
