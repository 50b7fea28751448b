// Checks of a request head the HTTP library leaves undone: header names, folding, size, bodies.
#pragma once

#include <microhttpd.h>

#include <cstddef>
#include <optional>

namespace velmoth::server {

// Checks of a request head that libmicrohttpd 0.9.75 leaves undone; the status to refuse the
// head with (400) when it is malformed, as RFC 9112 asks:
// - a header name that is not a token, such as one with a blank before the colon;
// - a folded line (a line starting with a blank, continuing the one before). The library keeps
//   such a line by joining it to the previous header's name in memory of its own, outside the
//   received head, which is how it is recognized here.
// A line without a colon the library itself refuses with 400. A head longer than
// max_head_bytes is refused with 414 when its request line alone is, else with 431.
// method and version are the request handler's arguments; method points at the start of the
// received head, version at the end of its request line.
std::optional<int> head_refusal(MHD_Connection *connection, const char *method, const char *version,
                                std::size_t max_head_bytes);

// Whether the head announces a body: any Transfer-Encoding, or any Content-Length other than a
// single "0".
bool announces_body(MHD_Connection *connection);

}  // namespace velmoth::server
