#pragma once

namespace velmoth::fuzzing {

// Thrown where the HTML parser fails one of its assertions (see gumbo_assertions.cpp).
struct ParserAssertion {};

}  // namespace velmoth::fuzzing
