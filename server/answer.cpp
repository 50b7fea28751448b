#include "answer.h"

#include "pages.h"

namespace velmoth::server {
namespace {

constexpr const char *kHtml = "text/html; charset=utf-8";

}  // namespace

Answer Answer::code(char code) {
  Answer answer;
  answer.body = std::string(1, code);
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

Answer Answer::page(std::string html, bool no_store) {
  Answer answer;
  answer.body = std::move(html);
  if (no_store) answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

Answer Answer::error(int status, bool close) {
  Answer answer;
  answer.status = status;
  answer.body = error_page(status);
  answer.close = close;
  if (status == 405) answer.headers.emplace_back("Allow", "GET, HEAD");
  return answer;
}

MHD_Result send_answer(MHD_Connection *connection, const Answer &answer) {
  MHD_Response *response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char *>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kHtml);
  for (const auto &[name, value] : answer.headers)
    MHD_add_response_header(response, name.c_str(), value.c_str());
  if (answer.close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace velmoth::server
