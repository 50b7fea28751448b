// The markup serializer: a parsed document as the old control wrote it.
#pragma once

#include <gumbo.h>

#include <string>

namespace velmoth::markup_detail {

// Writes the element and its subtree. Iterative, so that nesting depth costs heap, not stack.
void serialize(const GumboNode &root, std::string &out);

}  // namespace velmoth::markup_detail
