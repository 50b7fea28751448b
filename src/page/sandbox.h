// The page helper's restrictions, applied before it reads a byte.
#pragma once

namespace velmoth {

// Restricts this process, for good, to what the page helper needs once it is running: reading
// standard input, memory, writing standard output and error, and ending. No new privileges, a
// system call filter (anything else ends the process; opening a file fails), and limits on CPU
// time, address space, core dumps and the size of files written. Returns null on success, else
// what could not be set up.
const char *restrict_to_page_reading();

// In a sanitizer build, runs the leak check that would otherwise run at exit, under the filter
// that forbids it; elsewhere does nothing. Called by the helper just before it restricts itself.
void check_leaks_before_restriction();

}  // namespace velmoth
