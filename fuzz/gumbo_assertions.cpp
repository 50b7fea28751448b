// Fuzz build only. Debian's HTML parser keeps its assertions, and some pages make one fail,
// which aborts the process. The client runs the parser in the page helper, whose end the client
// survives; here a failed assertion instead throws out of the parser, back to fuzz_page, so
// that the fuzzer goes on looking for faults in our own code. No other code here calls this.

#include "gumbo_assertions.h"

extern "C" [[noreturn]] void __assert_fail(const char * /*assertion*/, const char * /*file*/,
                                           unsigned int /*line*/, const char * /*function*/) {
  throw velmoth::fuzzing::ParserAssertion{};
}
