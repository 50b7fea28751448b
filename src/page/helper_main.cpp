// velmoth-page: reads a fetched page for the client in a process of its own. Standard input: the
// page's Content-Type value on one line, then the page bytes; standard output: the page's markup
// (see page_markup.h). The HTML parser aborts on some hostile pages and can be made to work hard
// by others, so the client never runs it in its own process, and this process gives up every
// right it does not need before it reads a byte.

#include <unicode/putil.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "page/helper_limits.h"
#include "page/page_markup.h"
#include "page/sandbox.h"

namespace {

// The client tells only success from failure; the statuses help whoever runs this by hand.
enum Status { kMarkupWritten = 0, kNotRestricted = 2, kBadInput = 3, kMarkupTooLarge = 4 };

bool read_input(std::string &input) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    input.append(buffer, std::size_t(got));
    if (input.size() > velmoth::page_helper::kMaxInputBytes) return false;
  }
}

bool write_output(const std::string &output) {
  std::size_t written = 0;
  while (written < output.size()) {
    const ssize_t put = write(STDOUT_FILENO, output.data() + written, output.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    written += std::size_t(put);
  }
  return true;
}

}  // namespace

int main() {
  using namespace velmoth::page_helper;
  velmoth::check_leaks_before_restriction();
  // ICU looks for charset data in the files under $ICU_DATA before its built-in data, and the
  // filter ends the process at the first look; the built-in data has every charset.
  u_setDataDirectory("");
  if (const char *problem = velmoth::restrict_to_page_reading()) {
    std::fprintf(stderr, "%s: %s\n", kProgramName, problem);
    return kNotRestricted;
  }
  std::string input;
  if (!read_input(input)) return kBadInput;
  const std::size_t line_end = input.find('\n');
  if (line_end == std::string::npos || line_end > kMaxContentTypeBytes) return kBadInput;
  const std::string_view content_type(input.data(), line_end);
  const std::string_view body = std::string_view(input).substr(line_end + 1);

  const std::string markup = velmoth::page_markup(body, content_type);
  if (markup.size() > kMaxMarkupBytes) return kMarkupTooLarge;
  return write_output(markup) ? kMarkupWritten : kBadInput;
}
