// SPDX-License-Identifier: Apache-2.0
#include "tools/client/client_session.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/client/client_link.h"
#include "tools/tool_args.h"

namespace morvix::client {

namespace {

// The daemon sends a keepalive on every tick, at least 61 s apart; two
// missed ticks and a margin mean it is gone.
constexpr auto kSilenceLimit = std::chrono::seconds(130);
// One missed tick and a margin: a daemon that answers neither with a
// keepalive nor with a refusal has most likely dropped the registration
// because its table is full.
constexpr auto kNoSlotLimit = std::chrono::seconds(75);
// While nothing arrives, refreshes come this often: a daemon that has gone
// (or restarted on another port) answers one with a refusal at once.
constexpr auto kQuietRefresh = std::chrono::seconds(5);
constexpr int kAnnouncementTimeoutMs = 10000;
constexpr int kMaxBackoffSeconds = 30;
constexpr char kHello[] = "HELLO";
constexpr char kDisconnect[] = "DISCONNECT";

using Steady = std::chrono::steady_clock;

int ms_until(Steady::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Steady::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
}

void note(const std::string& text) { std::fprintf(stderr, "morvix-client: %s\n", text.c_str()); }

}  // namespace

int Client::run() {
  if (!o_.raw.empty() && (raw_ = std::fopen(o_.raw.c_str(), "ab")) == nullptr) {
    return fail("can't open " + o_.raw);
  }
  udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (udp_ < 0) return fail("can't get a UDP socket");
  last_frame_ = Steady::now();
  for (;;) {
    const int status = registered_ ? serve() : register_once();
    if (status >= 0) return status;
  }
}

// Learns the port and registers; waits out the back-off first after a
// failure. Returns an exit status, or -1 to go on.
int Client::register_once() {
  if (backoff_ > 0) {
    const auto until = std::min(Steady::now() + std::chrono::seconds(backoff_), frame_deadline());
    const int woken = wait_ready(-1, 0, wake_fd_, ms_until(until));
    if (woken < 0) return leave(0);
    if (Steady::now() >= frame_deadline()) return timed_out();
  }
  std::string error;
  sockaddr_in at{};
  const int limit_ms = std::min(kAnnouncementTimeoutMs, ms_until(frame_deadline()));
  int port = tool::resolve_ipv4(o_.host, o_.port, at, error);
  if (port == 1) port = ask_distribution_port(at, wake_fd_, limit_ms, error);
  if (port < 0) return leave(0);
  if (Steady::now() >= frame_deadline()) return timed_out();
  if (port == 0) {
    station(false);
    back_off();
    note("port announcement at " + o_.host + ":" + std::to_string(o_.port) + ": " + error +
         "; trying again in " + std::to_string(backoff_) + " s");
    trouble_ = true;
    return -1;
  }
  daemon_ = at;
  daemon_.sin_port = htons(static_cast<uint16_t>(port));
  // One socket for the whole run: a daemon that is still the same one sees
  // the same peer and keeps its slot.
  if (connect(udp_, reinterpret_cast<const sockaddr*>(&daemon_), sizeof daemon_) < 0) {
    return fail("can't reach " + o_.host + " port " + std::to_string(port));
  }
  // A refusal still pending from the last daemon would swallow the hello.
  int stale = 0;
  socklen_t length = sizeof stale;
  getsockopt(udp_, SOL_SOCKET, SO_ERROR, &stale, &length);
  send_text(kHello);
  registered_ = true;
  station(true);  // the daemon has just answered
  last_heard_ = last_refresh_ = Steady::now();
  if (trouble_ || o_.verbose) note("registered at " + o_.host + " port " + std::to_string(port));
  trouble_ = false;
  return -1;
}

// Waits for one datagram, refresh or deadline. Returns an exit status, or
// -1 to go on.
int Client::serve() {
  const auto refresh_at = std::min(last_refresh_ + std::chrono::seconds(o_.refresh),
                                   std::max(last_refresh_, last_heard_) + kQuietRefresh);
  const auto silence_at = last_heard_ + kSilenceLimit;
  const auto no_slot_at = slot_warned_ ? silence_at : last_heard_ + kNoSlotLimit;
  const auto until = std::min({refresh_at, silence_at, no_slot_at, frame_deadline()});
  const int ready = wait_ready(udp_, POLLIN, wake_fd_, ms_until(until));
  if (ready < 0) return leave(0);
  const auto now = Steady::now();
  if (ready == 1) return receive();
  if (now >= frame_deadline()) return timed_out();
  if (now >= silence_at) {
    lost("nothing from " + daemon_name() + " for " + std::to_string(kSilenceLimit.count()) + " s");
    return -1;
  }
  if (now >= no_slot_at) {
    slot_warned_ = true;
    station(false);
    note("no frame and no keepalive from " + daemon_name() + " for " +
         std::to_string(kNoSlotLimit.count()) + " s: it may have no free slot for this client");
  }
  if (now >= refresh_at) {
    last_refresh_ = now;
    if (!send_text(kHello)) unreachable();
  }
  return -1;
}

int Client::receive() {
  uint8_t buffer[2048];
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t got =
      recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
  const auto received = WallClock::now();
  if (got < 0) {
    // An unreachable port or host is reported on the next receive of a
    // connected socket: the daemon is gone or has restarted on another port.
    if (errno != EAGAIN && errno != EINTR) unreachable();
    return -1;
  }
  // Left over from a daemon we were registered with before.
  if (from.sin_addr.s_addr != daemon_.sin_addr.s_addr || from.sin_port != daemon_.sin_port) {
    return -1;
  }
  last_heard_ = Steady::now();
  backoff_ = 0;
  slot_warned_ = false;
  station(true);
  const Frame datagram(buffer, static_cast<size_t>(got));
  if (is_keepalive(datagram)) {
    if (o_.verbose) note("keepalive at " + iso8601_utc(received));
    return -1;
  }
  if (datagram.size() < kMinFrameBytes) {
    if (o_.verbose) note("ignored a datagram of " + std::to_string(got) + " bytes");
    return -1;
  }
  return print(datagram, received);
}

int Client::print(Frame frame, WallClock::time_point received) {
  last_frame_ = Steady::now();
  if (mqtt_ != nullptr) {
    // The object without the line's newline, or the frame as it came.
    const std::string json = o_.mqtt_raw ? "" : frame_json(frame, received, o_.station);
    mqtt_->publish(o_.mqtt_raw
                       ? std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size())
                       : std::string_view(json).substr(0, json.size() - 1));
  }
  const std::string line = o_.json ? frame_json(frame, received) : frame_text(frame, received);
  if (std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    // The reader has closed the pipe: it has what it wanted.
    if (errno == EPIPE) return leave(0);
    return fail("can't write standard output");
  }
  if (raw_ != nullptr) {
    const std::string record = raw_record(frame);
    if (std::fwrite(record.data(), 1, record.size(), raw_) != record.size() ||
        std::fflush(raw_) != 0) {
      return fail("can't write " + o_.raw);
    }
  }
  if (o_.count > 0 && ++frames_ >= o_.count) return leave(0);
  return -1;
}

void Client::lost(const std::string& why) {
  note(why + "; asking for the port again");
  registered_ = false;
  station(false);
  trouble_ = true;
  back_off();
}

void Client::unreachable() {
  const int error = errno;
  lost(daemon_name() + ": " + std::strerror(error));
}

// 1 s after a daemon that was heard from, then doubling up to the limit.
void Client::back_off() {
  backoff_ = backoff_ == 0 ? 1 : std::min(2 * backoff_, kMaxBackoffSeconds);
}

int Client::timed_out() {
  note("no frame for " + std::to_string(o_.timeout) + " s");
  return leave(1);
}

// Unregisters and gives back the exit status.
int Client::leave(int status) {
  if (registered_) send_text(kDisconnect);
  if (mqtt_ != nullptr) mqtt_->finish();
  return status;
}

int Client::fail(const std::string& what) {
  const int error = errno;
  note(what + ": " + std::strerror(error));
  return leave(1);
}

void Client::station(bool up) {
  if (mqtt_ != nullptr) mqtt_->station_up(up);
}

// A lost datagram is made good by the next refresh.
bool Client::send_text(const char* text) const {
  return send(udp_, text, std::strlen(text), 0) >= 0;
}

Client::Steady::time_point Client::frame_deadline() const {
  return o_.timeout > 0 ? last_frame_ + std::chrono::seconds(o_.timeout)
                        : Steady::time_point::max();
}

std::string Client::daemon_name() const {
  return o_.host + " port " + std::to_string(ntohs(daemon_.sin_port));
}

}  // namespace morvix::client
