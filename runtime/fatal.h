// SPDX-License-Identifier: Apache-2.0
// The one way the daemon reports an error it cannot go on from.
#pragma once

namespace morvix {

// Writes "error: <message>\n" to standard error and ends the process with
// status 1. The message is printed unchanged, its own newline included.
[[noreturn]] void fatal(const char* message);

}  // namespace morvix
