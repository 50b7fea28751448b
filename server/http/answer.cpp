// The kinds of reply: a reply code, a page, an error page.
#include "http/answer.h"

#include "http/pages.h"

namespace velmoth::server {

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

}  // namespace velmoth::server
