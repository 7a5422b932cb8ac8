// SPDX-License-Identifier: Apache-2.0
// Invariant checks for the fuzz targets. A failed check prints what failed
// and aborts, so libFuzzer keeps the input that led there.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace morvix::fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, what);
  std::abort();
}

}  // namespace morvix::fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::morvix::fuzz::fail(#condition, __FILE__, __LINE__))
