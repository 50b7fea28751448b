// The whole page pipeline, from received bytes to serialized markup.
#pragma once

#include <string>
#include <string_view>

namespace velmoth {

// Turns the bytes of a fetched page into the markup that Browser::outerHTML() hands over:
// decoded by its charset, parsed as HTML5 and serialized in the classic browser-control style
// (upper-case element names, a CR LF before <BODY>, ...). The result is UTF-8.
//
// content_type is the value of the Content-Type header (may be empty). The charset is taken from
// it, else from a <meta> in the page, else UTF-8; an unknown charset or invalid bytes decode as
// UTF-8 with U+FFFD.
//
// Runs the HTML parser, which aborts the process on some hostile pages: the client calls this
// only in the page helper's process.
std::string page_markup(std::string_view body, std::string_view content_type);

}  // namespace velmoth
