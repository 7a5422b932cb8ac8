// SPDX-License-Identifier: Apache-2.0
// morvix-client's side of the port announcement: learning the daemon's
// distribution port over TCP.
#pragma once

#include <netinet/in.h>

#include <string>

namespace morvix::client {

// Connects to the port announcement at `at`, reads its reply to the end of
// the stream and returns the distribution port (1..65535). Returns 0 with a
// reason in error when the connection fails, the reply is not a port, or
// timeout_ms passes; returns -1 as soon as wake_fd becomes readable.
int ask_distribution_port(const sockaddr_in& at, int wake_fd, int timeout_ms, std::string& error);

// Waits until fd is ready for events or timeout_ms passes (-1: no limit).
// Returns 1 ready (an error or hang-up on fd counts), 0 time up, -1 when
// wake_fd became readable first.
int wait_ready(int fd, short events, int wake_fd, int timeout_ms);

}  // namespace morvix::client
