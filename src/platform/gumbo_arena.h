#pragma once

#include <gumbo.h>

#include <QByteArrayView>
#include <QtGlobal>
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <vector>

namespace velmoth::markup_detail {

// ---------------------------------------------------------------------------------------------
// Parser memory and budget
//
// All of the parser's allocations come from this arena and are released together when it goes
// out of scope, so the tree is never torn down node by node (which the parser does
// recursively, one stack frame per nesting level). Freeing is a no-op; the parser grows its
// buffers by allocating anew and copying, so the waste is bounded by a small factor.
//
// The arena also holds the parse to a budget of CPU time and memory. SourceGuard's model of
// the parser is close but not exact, and a page made to slip past it could still make the
// parser work quadratically. The parser has no way to stop early, but it allocates all the
// time (a few times per tag, and whenever a text buffer doubles), so the arena checks the
// budget then and, when it is spent, jumps back out of the parser (see parse_within_budget).
// The page is then parsed again with every element closed right after its start tag, which
// keeps the tree flat and the parse linear.

struct ParseBudget {
  double cpu_seconds;
  std::size_t bytes;
};

// Far above what ordinary pages take (about 50 ns and 15 bytes per byte of page), far below
// what a quadratic parse costs.
ParseBudget budget_for(std::size_t page_size);

double thread_cpu_seconds();

class Arena {
 public:
  explicit Arena(std::optional<ParseBudget> budget)
      : budget_(budget), cpu_start_(budget ? thread_cpu_seconds() : 0) {}
  Arena(const Arena &) = delete;
  Arena &operator=(const Arena &) = delete;
  ~Arena() {
    for (void *block : blocks_) std::free(block);
  }

  // Where allocate() jumps to when the budget is spent.
  std::jmp_buf &stop_point() { return stop_point_; }

  void *allocate(std::size_t size) {
    size = (std::max<std::size_t>(size, 1) + kAlignment - 1) & ~(kAlignment - 1);
    allocated_ += size;
    if (budget_ && (++calls_since_check_ >= kCallsPerCheck || size >= kLargeAllocation))
      check_budget();
    if (size > std::size_t(end_ - next_)) {
      if (size > next_block_size_ / 4)
        return new_block(size);  // large: its own block, the current one stays in use
      next_ = static_cast<char *>(new_block(next_block_size_));
      end_ = next_ + next_block_size_;
      next_block_size_ = std::min(next_block_size_ * 2, kMaxBlockSize);
    }
    void *result = next_;
    next_ += size;
    return result;
  }

  static void *allocate_for_parser(void *arena, std::size_t size) {
    return static_cast<Arena *>(arena)->allocate(size);
  }
  static void release_for_parser(void *, void *) {}

 private:
  static constexpr std::size_t kAlignment = alignof(std::max_align_t);
  static constexpr std::size_t kMaxBlockSize = std::size_t(4) << 20;
  static constexpr int kCallsPerCheck = 1024;            // reading the clock costs a system call
  static constexpr std::size_t kLargeAllocation = 4096;  // a grown text buffer, for one

  void check_budget() {
    calls_since_check_ = 0;
    if (allocated_ > budget_->bytes || thread_cpu_seconds() - cpu_start_ > budget_->cpu_seconds)
      std::longjmp(stop_point_, 1);
  }

  void *new_block(std::size_t size) {
    void *block = std::malloc(size);
    if (!block) qFatal("Out of memory while parsing a page (%zu bytes)", size);
    blocks_.push_back(block);
    return block;
  }

  const std::optional<ParseBudget> budget_;
  const double cpu_start_;
  std::jmp_buf stop_point_;
  std::size_t allocated_ = 0;
  int calls_since_check_ = kCallsPerCheck - 1;  // the first allocation checks
  std::vector<void *> blocks_;
  char *next_ = nullptr;
  char *end_ = nullptr;
  std::size_t next_block_size_ = std::size_t(64) << 10;
};

// Parses source with the arena's budget; null when it was spent. When the arena jumps back
// here from inside the parser, nothing is lost or left behind: all the parser holds is in the
// arena, and the frames skipped are the parser's own (and the arena's, which own nothing).
const GumboOutput *parse_within_budget(Arena &arena, QByteArrayView source);

}  // namespace velmoth::markup_detail
