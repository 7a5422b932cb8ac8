// SPDX-License-Identifier: Apache-2.0
#include "runtime/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace morvix {

void fatal(const char* message) {
  std::fprintf(stderr, "error: %s\n", message);
  std::exit(1);
}

void fatal(const char* message, const char* detail) {
  std::fprintf(stderr, "error: %s\n%s\n", message, detail);
  std::exit(1);
}

}  // namespace morvix
