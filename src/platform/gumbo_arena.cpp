#include "platform/gumbo_arena.h"

#include <ctime>

namespace velmoth::markup_detail {

ParseBudget budget_for(std::size_t page_size) {
  return {1.0 + double(page_size) * 1e-6, (std::size_t(64) << 20) + 128 * page_size};
}

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

const GumboOutput *parse_within_budget(Arena &arena, QByteArrayView source) {
  GumboOptions options = kGumboDefaultOptions;
  options.allocator = &Arena::allocate_for_parser;
  options.deallocator = &Arena::release_for_parser;
  options.userdata = &arena;
  options.max_errors = 0;  // recording errors costs quadratic time on broken pages
  const char *const data = source.isEmpty() ? "" : source.data();
  const std::size_t size = std::size_t(source.size());
  if (setjmp(arena.stop_point()) != 0) return nullptr;
  return gumbo_parse_with_options(&options, data, size);
}

}  // namespace velmoth::markup_detail
