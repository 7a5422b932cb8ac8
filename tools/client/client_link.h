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
// wake_fd became readable first. A sideline is served meanwhile.
int wait_ready(int fd, short events, int wake_fd, int timeout_ms);

// A connection of the client's own besides the daemon's (the MQTT bridge),
// served from every wait_ready, so that it keeps going whatever the client
// waits for.
class Sideline {
 public:
  virtual ~Sideline() = default;
  // The events to wait for on fd, which is set to -1 when there is none.
  virtual short poll_events(int& fd) = 0;
  // Milliseconds until it needs serving even without events; -1 never.
  virtual int due_ms() = 0;
  // Called after a wait that reported events on its fd (revents) or that
  // reached due_ms (revents 0).
  virtual void serve(short revents) = 0;
};

// From now on every wait_ready serves sideline (nullptr: none).
void serve_while_waiting(Sideline* sideline);

}  // namespace morvix::client
