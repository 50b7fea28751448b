// What the page helper and the client that runs it agree on: its name, input, output and limits.
#pragma once

#include <cstddef>

// What the page helper and the client that runs it agree on. The helper reads one line with the
// page's Content-Type value, then the page bytes up to the end of its input, and writes the
// page's markup as UTF-8; exit status 0 means the markup is whole.
namespace velmoth::page_helper {

inline constexpr char kProgramName[] = "velmoth-page";
inline constexpr std::size_t kMaxContentTypeBytes = 1024;
// Far more than the 64 KiB pages the client accepts can come to, unless made to blow up.
inline constexpr std::size_t kMaxMarkupBytes = std::size_t(8) << 20;
inline constexpr std::size_t kMaxInputBytes = std::size_t(32) << 20;
// The parser takes at most about 0.3 s on the worst 64 KiB pages known.
inline constexpr int kCpuSeconds = 3;
inline constexpr std::size_t kAddressSpaceBytes = std::size_t(256) << 20;

}  // namespace velmoth::page_helper
