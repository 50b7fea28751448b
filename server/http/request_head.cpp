// Scans a request head's header lines as the library parsed them, against the received bytes.
#include "http/request_head.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

namespace velmoth::server {
namespace {

// RFC 9110's tchar.
bool is_token_char(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool same_name(std::string_view name, std::string_view wanted) {
  if (name.size() != wanted.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if ((name[i] | 0x20) != (wanted[i] | 0x20)) return false;
  return true;
}

// Bytes a header value may not hold.
bool forbidden_in_value(char c) { return c == '\0' || c == '\r' || c == '\n'; }

// What may lie between the end of one header's value and the start of the next header's name:
// the line end (which the library overwrites with NULs) and blanks the library trims.
bool line_end_or_blank(char c) {
  return c == '\0' || c == '\r' || c == '\n' || c == ' ' || c == '\t';
}

struct Piece {
  const char *begin;
  const char *end;
};

struct HeadScan {
  const char *begin = nullptr;  // the received head, when known
  const char *end = nullptr;
  bool malformed = false;
  int content_lengths = 0;
  bool nonzero_length = false;
  bool transfer_encoding = false;
  int hosts = 0;
  std::vector<Piece> headers;  // from each name's start to its value's end, as received

  bool received(const char *text) const {
    return !begin || !text ||
           (std::less_equal<const char *>()(begin, text) && std::less<const char *>()(text, end));
  }
};

MHD_Result scan_header(void *scan_state, MHD_ValueKind, const char *key, std::size_t key_size,
                       const char *value, std::size_t value_size) {
  auto &scan = *static_cast<HeadScan *>(scan_state);
  const std::string_view name(key, key_size);
  const std::string_view text = value ? std::string_view(value, value_size) : std::string_view();
  if (name.empty() || !scan.received(key) || !scan.received(value)) scan.malformed = true;
  for (const char c : name)
    if (!is_token_char(static_cast<unsigned char>(c))) scan.malformed = true;
  if (same_name(name, "content-length")) {
    ++scan.content_lengths;
    if (text != "0") scan.nonzero_length = true;
  }
  if (same_name(name, "transfer-encoding")) scan.transfer_encoding = true;
  if (same_name(name, "host")) ++scan.hosts;
  if (std::any_of(text.begin(), text.end(), forbidden_in_value)) scan.malformed = true;
  scan.headers.push_back({key, value ? value + value_size : key + key_size});
  return MHD_YES;
}

// The start of the first query argument's name, if any.
MHD_Result first_argument(void *first, MHD_ValueKind, const char *key, std::size_t, const char *,
                          std::size_t) {
  auto &at = *static_cast<const char **>(first);
  if (!at || std::less<const char *>()(key, at)) at = key;
  return MHD_YES;
}

// Whether the bytes between the header lines as the library parsed them hold anything else
// than line ends and blanks: a NUL or a bare CR inside a value ends it early for the library,
// leaving the rest of the value behind in the received head.
bool stray_bytes_between_headers(HeadScan &scan, const char *request_line_end) {
  std::sort(scan.headers.begin(), scan.headers.end(), [](const Piece &a, const Piece &b) {
    return std::less<const char *>()(a.begin, b.begin);
  });
  const char *from = request_line_end;
  for (const Piece &header : scan.headers) {
    if (!std::all_of(from, header.begin, line_end_or_blank)) return true;
    from = header.end;
  }
  return !std::all_of(from, scan.end, line_end_or_blank);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

// Whether rest, bytes the library left behind when it decoded a path in place to decoded, can
// be the end of a spelling of decoded: each decoded byte written as itself or as %XX, the first
// one possibly cut.
bool tail_of_spelling(std::string_view rest, std::string_view decoded) {
  while (!rest.empty() && !decoded.empty()) {
    const auto byte = static_cast<unsigned char>(decoded.back());
    const std::size_t n = rest.size();
    if (n >= 3 && rest[n - 3] == '%' && hex_value(rest[n - 2]) == byte >> 4 &&
        hex_value(rest[n - 1]) == (byte & 0xf)) {
      rest.remove_suffix(3);
    } else if (rest.back() == decoded.back()) {
      rest.remove_suffix(1);
    } else {
      // The first bytes left over may be the end of an escape: "XY" or "Y".
      return (n == 2 && hex_value(rest[0]) == byte >> 4 && hex_value(rest[1]) == (byte & 0xf)) ||
             (n == 1 && hex_value(rest[0]) == (byte & 0xf));
    }
    decoded.remove_suffix(1);
  }
  return rest.empty();
}

// Whether the request target held a NUL. The library decodes the path in place, ends it with a
// NUL and leaves the rest of the path's bytes as they were; the query, if any, starts behind
// the NUL that replaced the '?'. Bytes between the two that cannot be that rest were behind a
// NUL the path stopped at.
bool stray_bytes_in_target(MHD_Connection *connection, const char *target, const char *target_end) {
  const std::string_view path(target);
  const char *query = nullptr;
  MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, &first_argument, &query);
  const char *path_end = query ? query - 1 : target_end;
  if (std::less<const char *>()(path_end, target + path.size()) || *path_end != '\0') return true;
  if (path_end == target + path.size()) return false;
  const std::string_view rest(target + path.size() + 1,
                              static_cast<std::size_t>(path_end - target) - path.size() - 1);
  return rest.find('\0') != std::string_view::npos || !tail_of_spelling(rest, path);
}

HeadScan scan(MHD_Connection *connection, const char *request_line) {
  HeadScan result;
  const MHD_ConnectionInfo *size =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
  if (request_line && size && size->header_size > 0) {
    result.begin = request_line;
    result.end = request_line + size->header_size;
  }
  MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &scan_header, &result);
  return result;
}

}  // namespace

std::optional<int> head_refusal(MHD_Connection *connection, const char *method, const char *version,
                                std::size_t max_head_bytes) {
  const HeadScan result = scan(connection, method);
  if (result.begin && static_cast<std::size_t>(result.end - result.begin) > max_head_bytes) {
    // The library ends the method and the address with NULs in place; the version ends the line.
    const bool line_too_long = version && static_cast<std::size_t>(version + std::strlen(version) -
                                                                   method) > max_head_bytes;
    return line_too_long ? MHD_HTTP_URI_TOO_LONG : MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE;
  }
  if (result.malformed || result.hosts > 1) return MHD_HTTP_BAD_REQUEST;
  if (version && std::strcmp(version, "HTTP/1.1") == 0 && result.hosts == 0)
    return MHD_HTTP_BAD_REQUEST;
  // The library ends the method and the target with NULs in place; the version ends the line.
  if (result.begin && version && *version != '\0' && result.received(version)) {
    HeadScan lines = result;
    const char *target = method + std::strlen(method) + 1;
    if (stray_bytes_between_headers(lines, version + std::strlen(version)) ||
        stray_bytes_in_target(connection, target, version - 1))
      return MHD_HTTP_BAD_REQUEST;
  }
  return std::nullopt;
}

bool announces_body(MHD_Connection *connection) {
  const HeadScan result = scan(connection, nullptr);
  return result.transfer_encoding || result.content_lengths > 1 || result.nonzero_length;
}

}  // namespace velmoth::server
