// Scans a request head's header lines as the library parsed them, against the received bytes.
#include "http/request_head.h"

#include <cstring>
#include <functional>
#include <string_view>

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

struct HeadScan {
  const char *begin = nullptr;  // the received head, when known
  const char *end = nullptr;
  bool malformed = false;
  int content_lengths = 0;
  bool nonzero_length = false;
  bool transfer_encoding = false;

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
  return MHD_YES;
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
  if (result.malformed) return MHD_HTTP_BAD_REQUEST;
  return std::nullopt;
}

bool announces_body(MHD_Connection *connection) {
  const HeadScan result = scan(connection, nullptr);
  return result.transfer_encoding || result.content_lengths > 1 || result.nonzero_length;
}

}  // namespace velmoth::server
