// The page pipeline: decode, parse with gumbo, serialize.
#include "page/page_markup.h"

#include <gumbo.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "page/markup_bytes.h"
#include "page/markup_serializer.h"
#include "page/numeric_references.h"
#include "page/page_decoding.h"

namespace velmoth {

namespace {

using markup_detail::charset_for_label;
using markup_detail::charset_from_meta;
using markup_detail::charset_parameter;
using markup_detail::decode_to_utf8;
using markup_detail::starts_with;

// All of the parser's memory comes from here and is released in one step when the arena goes
// out of scope. The parser's own teardown frees the tree recursively, one stack frame per
// nesting level, which a page of deeply nested tags overflows. Freeing is a no-op; the parser
// grows its buffers by allocating anew and copying, so the waste is bounded by a small factor.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena &) = delete;
  Arena &operator=(const Arena &) = delete;
  ~Arena() {
    for (void *block : blocks_) std::free(block);
  }

  static void *allocate(void *arena, std::size_t size) {
    return static_cast<Arena *>(arena)->allocate(size);
  }
  static void release(void * /*arena*/, void * /*pointer*/) {}

 private:
  static constexpr std::size_t kAlignment = alignof(std::max_align_t);
  static constexpr std::size_t kMaxBlockSize = std::size_t(4) << 20;

  void *allocate(std::size_t size) {
    size = (std::max<std::size_t>(size, 1) + kAlignment - 1) & ~(kAlignment - 1);
    if (size > std::size_t(end_ - next_)) {
      if (size > next_block_size_ / 4) return new_block(size);  // large: a block of its own
      next_ = static_cast<char *>(new_block(next_block_size_));
      end_ = next_ + next_block_size_;
      next_block_size_ = std::min(next_block_size_ * 2, kMaxBlockSize);
    }
    void *result = next_;
    next_ += size;
    return result;
  }

  void *new_block(std::size_t size) {
    void *block = std::malloc(size);
    if (!block) throw std::bad_alloc();
    blocks_.push_back(block);
    return block;
  }

  std::vector<void *> blocks_;
  char *next_ = nullptr;
  char *end_ = nullptr;
  std::size_t next_block_size_ = std::size_t(64) << 10;
};

std::string markup_of_utf8(std::string_view utf8) {
  std::string rewritten;
  const std::string_view source = markup_detail::replace_oversized_references(utf8, rewritten);
  Arena arena;
  GumboOptions options = kGumboDefaultOptions;
  options.allocator = &Arena::allocate;
  options.deallocator = &Arena::release;
  options.userdata = &arena;
  options.max_errors = 0;  // recording errors costs quadratic time on broken pages
  // The explicit length: the page may hold NULs.
  const GumboOutput *output =
      gumbo_parse_with_options(&options, source.empty() ? "" : source.data(), source.size());
  std::string html;
  html.reserve(source.size() + source.size() / 8 + 128);
  markup_detail::serialize(*output->root, html);
  return html;
}

}  // namespace

std::string page_markup(std::string_view body, std::string_view content_type) {
  std::optional<std::string> charset;
  // A byte order mark decides over any declaration.
  static const std::pair<const char *, const char *> marks[] = {
      {"\xEF\xBB\xBF", "UTF-8"}, {"\xFE\xFF", "UTF-16BE"}, {"\xFF\xFE", "UTF-16LE"}};
  for (const auto &[mark, name] : marks) {
    if (!starts_with(body, mark)) continue;
    body.remove_prefix(std::strlen(mark));
    charset = name;
    break;
  }
  // An unusable header charset is passed over, as browsers do.
  if (!charset) charset = charset_for_label(charset_parameter(content_type), false);
  if (!charset) charset = charset_from_meta(body);
  return markup_of_utf8(decode_to_utf8(body, charset.value_or("UTF-8")));
}

}  // namespace velmoth
