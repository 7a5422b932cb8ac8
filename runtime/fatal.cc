// SPDX-License-Identifier: Apache-2.0
#include "runtime/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace morvix {

void fatal(const char* message) {
  std::fprintf(stderr, "error: %s\n", message);
  std::exit(1);
}

}  // namespace morvix
