// SPDX-License-Identifier: Apache-2.0
#include "tools/client/client_link.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tools/client/client_format.h"

namespace morvix::client {

namespace {

// A reply is a port and CR LF; anything longer than this is not one.
constexpr size_t kMaxReplyBytes = 64;

using Deadline = std::chrono::steady_clock::time_point;

Sideline* g_sideline = nullptr;

// Milliseconds left until deadline, never below 0.
int remaining_ms(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Completes a non-blocking connect. 1 connected, 0 failed (error set), -1 woken.
int connect_within(int fd, const sockaddr_in& at, int wake_fd, Deadline deadline,
                   std::string& error) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) return 1;
  if (errno != EINPROGRESS) {
    error = std::strerror(errno);
    return 0;
  }
  const int ready = wait_ready(fd, POLLOUT, wake_fd, remaining_ms(deadline));
  if (ready != 1) {
    if (ready == 0) error = "no connection in time";
    return ready;
  }
  int failure = 0;
  socklen_t length = sizeof failure;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length);
  if (failure == 0) return 1;
  error = std::strerror(failure);
  return 0;
}

// Reads until the peer closes. 1 with the whole reply, 0 failed (error set),
// -1 woken.
int read_to_end(int fd, int wake_fd, Deadline deadline, std::string& reply, std::string& error) {
  for (;;) {
    const int ready = wait_ready(fd, POLLIN, wake_fd, remaining_ms(deadline));
    if (ready != 1) {
      if (ready == 0) error = "no reply in time";
      return ready;
    }
    char chunk[kMaxReplyBytes];
    const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got == 0) return 1;
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      error = std::strerror(errno);
      return 0;
    }
    reply.append(chunk, static_cast<size_t>(got));
    if (reply.size() > kMaxReplyBytes) {
      error = "the reply is not a port number";
      return 0;
    }
  }
}

}  // namespace

void serve_while_waiting(Sideline* sideline) { g_sideline = sideline; }

int wait_ready(int fd, short events, int wake_fd, int timeout_ms) {
  const Deadline deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    // poll passes over entries whose fd is negative.
    pollfd polled[3] = {{wake_fd, POLLIN, 0}, {fd, events, 0}, {-1, 0, 0}};
    int limit = timeout_ms < 0 ? -1 : remaining_ms(deadline);
    Deadline due_at = Deadline::max();
    if (g_sideline != nullptr) {
      polled[2].events = g_sideline->poll_events(polled[2].fd);
      const int due = g_sideline->due_ms();
      if (due >= 0) due_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(due);
      if (due >= 0 && (limit < 0 || due < limit)) limit = due;
    }
    const int n = poll(polled, 3, limit);
    if (n < 0 && errno != EINTR) return 0;
    // Served first, so that a busy fd cannot starve it.
    if (g_sideline != nullptr &&
        (polled[2].revents != 0 || std::chrono::steady_clock::now() >= due_at)) {
      g_sideline->serve(polled[2].revents);
    }
    if (n < 0) continue;  // EINTR: the signal's byte is in wake_fd by now
    if (polled[0].revents != 0) return -1;
    if (polled[1].revents != 0) return 1;
    if (timeout_ms >= 0 && remaining_ms(deadline) == 0) return 0;
  }
}

int ask_distribution_port(const sockaddr_in& at, int wake_fd, int timeout_ms, std::string& error) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return 0;
  }
  std::string reply;
  int result = connect_within(fd, at, wake_fd, deadline, error);
  if (result == 1) result = read_to_end(fd, wake_fd, deadline, reply, error);
  close(fd);
  if (result != 1) return result;
  const auto port = parse_port_reply(reply);
  if (!port) {
    error = reply.empty() ? "empty reply" : "the reply is not a port number";
    return 0;
  }
  return *port;
}

}  // namespace morvix::client
