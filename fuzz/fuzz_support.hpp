// Helpers shared by the fuzz targets: failing loudly (libFuzzer records the
// input that aborts) and the bytewise order the reference renderings use.
// Each target defines kFuzzTarget, the name its failure messages start with.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

extern const char* const kFuzzTarget;

[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "%s: %s\n", kFuzzTarget, what);
  if (!detail.empty()) std::fprintf(stderr, "  detail: %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) fail(what, detail);
}

// Bytewise order on unsigned bytes, written out so the references do not
// lean on the standard library's choice for std::string.
inline bool byte_less(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

}  // namespace fuzz
