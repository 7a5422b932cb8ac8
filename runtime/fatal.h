// SPDX-License-Identifier: Apache-2.0
// The one way the daemon reports an error it cannot go on from.
#pragma once

namespace morvix {

// Writes "error: <message>\n" to standard error and ends the process with
// status 1. Messages carry no newline of their own.
[[noreturn]] void fatal(const char* message);

// The same, then detail on a line of its own ("<detail>\n"): what the
// message leaves out, such as the port and the system's reason. The message
// line stays as it is, for those who match it.
[[noreturn]] void fatal(const char* message, const char* detail);

}  // namespace morvix
