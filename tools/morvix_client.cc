// morvix-client: learns the daemon's distribution port, registers there,
// keeps the registration alive and prints every frame it is sent. kUsage
// lists the options.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/client_format.h"
#include "tools/client_link.h"

namespace morvix::client {
namespace {

constexpr const char* kUsage =
    "usage: morvix-client [options]\n"
    "Asks the morvix daemon for its distribution port, registers there and\n"
    "prints every frame it relays, one line per frame:\n"
    "  <UTC time> len=<bytes> first=<hex> F=<fill bits> B=<blocks> payload=<hex>\n"
    "followed by header-crc=bad or frame-crc=bad when a check fails.\n"
    "\n"
    "  --host HOST         the daemon's host (default localhost)\n"
    "  --port PORT         its port announcement TCP port, 1-65535 (default 4851)\n"
    "  --json              print one JSON object per frame instead, with the keys\n"
    "                      time, length, first, fill, blocks, payload (hex),\n"
    "                      header_crc_ok and frame_crc_ok\n"
    "  --raw FILE          also append each frame to FILE as a record: its length\n"
    "                      as 2 bytes, most significant first, then its bytes\n"
    "  --count N           leave after N frames, 1-1000000000\n"
    "  --timeout SECONDS   leave with status 1 when no frame has come for SECONDS,\n"
    "                      1-86400, counted from the start and from every frame\n"
    "  --refresh SECONDS   renew the registration every SECONDS, 1-299 (default\n"
    "                      60; the daemon forgets a client after 300 silent s)\n"
    "  --verbose           also report registrations and keepalives on stderr\n"
    "  --help              show this text\n"
    "\n"
    "When the daemon stops answering (a refused datagram, or nothing at all,\n"
    "not even a keepalive, for 130 s) the client asks for the port again,\n"
    "waiting 1, 2, 4 ... up to 30 s between failed attempts. On SIGINT, SIGTERM\n"
    "or SIGHUP, and when it leaves, it sends DISCONNECT.\n"
    "Exit status: 0 done or stopped by a signal, 1 timeout or a failed file or\n"
    "socket, 2 bad arguments.\n";

// The daemon sends a keepalive on every tick, at least 61 s apart; two
// missed ticks and a margin mean it is gone.
constexpr auto kSilenceLimit = std::chrono::seconds(130);
constexpr int kAnnouncementTimeoutMs = 10000;
constexpr int kMaxBackoffSeconds = 30;
constexpr char kHello[] = "HELLO";
constexpr char kDisconnect[] = "DISCONNECT";

using Steady = std::chrono::steady_clock;

struct Options {
  std::string host = "localhost";
  int port = 4851;
  bool json = false;
  std::string raw;
  long long count = 0;  // 0: no limit
  int timeout = 0;      // seconds; 0: none
  int refresh = 60;     // seconds
  bool verbose = false;
};

[[noreturn]] void bad_arguments(const std::string& message) {
  std::fprintf(stderr, "morvix-client: %s\ntry 'morvix-client --help'\n", message.c_str());
  std::exit(2);
}

long long integer_option(const std::string& name, const char* text, long long min, long long max) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value < min || value > max) {
    bad_arguments(name + " takes a whole number from " + std::to_string(min) + " to " +
                  std::to_string(max) + ", not '" + text + "'");
  }
  return value;
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) bad_arguments(name + " needs a value");
      return argv[++i];
    };
    if (name == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (name == "--host") {
      o.host = value();
      if (o.host.empty()) bad_arguments("--host needs a host name or address");
    } else if (name == "--port") {
      o.port = static_cast<int>(integer_option(name, value(), 1, 65535));
    } else if (name == "--json") {
      o.json = true;
    } else if (name == "--raw") {
      o.raw = value();
      if (o.raw.empty()) bad_arguments("--raw needs a file name");
    } else if (name == "--count") {
      o.count = integer_option(name, value(), 1, 1000000000);
    } else if (name == "--timeout") {
      o.timeout = static_cast<int>(integer_option(name, value(), 1, 86400));
    } else if (name == "--refresh") {
      o.refresh = static_cast<int>(integer_option(name, value(), 1, 299));
    } else if (name == "--verbose") {
      o.verbose = true;
    } else {
      bad_arguments("unknown argument '" + name + "'");
    }
  }
  return o;
}

// Signals become a byte in this pipe, so that every wait sees them.
int g_wake[2] = {-1, -1};

extern "C" void on_signal(int) {
  const int saved = errno;
  const char byte = 1;
  if (write(g_wake[1], &byte, 1) < 0) {
    // The pipe already holds a byte; that wakes the loop just as well.
  }
  errno = saved;
}

void catch_signals() {
  if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) < 0) {
    std::perror("morvix-client: pipe");
    std::exit(1);
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int caught : {SIGINT, SIGTERM, SIGHUP}) sigaction(caught, &action, nullptr);
  // A closed standard output shows up as EPIPE from the write instead.
  signal(SIGPIPE, SIG_IGN);
}

class Client {
 public:
  explicit Client(const Options& options) : o_(options) {}

  // Runs until the count is reached, a signal comes or a failure; returns
  // the exit status.
  int run() {
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

 private:
  // Learns the port and registers; waits out the back-off first after a
  // failure. Returns an exit status, or -1 to go on.
  int register_once() {
    if (backoff_ > 0) {
      const auto until = std::min(Steady::now() + std::chrono::seconds(backoff_), frame_deadline());
      const int woken = wait_ready(-1, 0, g_wake[0], ms_until(until));
      if (woken < 0) return leave(0);
      if (Steady::now() >= frame_deadline()) return timed_out();
    }
    std::string error;
    sockaddr_in at{};
    const int limit_ms = std::min(kAnnouncementTimeoutMs, ms_until(frame_deadline()));
    int port = resolve_ipv4(o_.host, o_.port, at, error);
    if (port == 1) port = ask_distribution_port(at, g_wake[0], limit_ms, error);
    if (port < 0) return leave(0);
    if (Steady::now() >= frame_deadline()) return timed_out();
    if (port == 0) {
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
    last_heard_ = last_refresh_ = Steady::now();
    if (trouble_ || o_.verbose) note("registered at " + o_.host + " port " + std::to_string(port));
    trouble_ = false;
    return -1;
  }

  // Waits for one datagram, refresh or deadline. Returns an exit status, or
  // -1 to go on.
  int serve() {
    const auto refresh_at = last_refresh_ + std::chrono::seconds(o_.refresh);
    const auto silence_at = last_heard_ + kSilenceLimit;
    const auto until = std::min({refresh_at, silence_at, frame_deadline()});
    const int ready = wait_ready(udp_, POLLIN, g_wake[0], ms_until(until));
    if (ready < 0) return leave(0);
    const auto now = Steady::now();
    if (ready == 1) return receive();
    if (now >= frame_deadline()) return timed_out();
    if (now >= silence_at) {
      lost("nothing from " + daemon_name() + " for " + std::to_string(kSilenceLimit.count()) +
           " s");
    } else if (now >= refresh_at) {
      last_refresh_ = now;
      if (!send_text(kHello)) unreachable();
    }
    return -1;
  }

  int receive() {
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

  int print(Frame frame, WallClock::time_point received) {
    last_frame_ = Steady::now();
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

  void lost(const std::string& why) {
    note(why + "; asking for the port again");
    registered_ = false;
    trouble_ = true;
    back_off();
  }

  void unreachable() {
    const int error = errno;
    lost(daemon_name() + ": " + std::strerror(error));
  }

  // 1 s after a daemon that was heard from, then doubling up to the limit.
  void back_off() { backoff_ = backoff_ == 0 ? 1 : std::min(2 * backoff_, kMaxBackoffSeconds); }

  int timed_out() {
    note("no frame for " + std::to_string(o_.timeout) + " s");
    return leave(1);
  }

  // Unregisters and gives back the exit status.
  int leave(int status) {
    if (registered_) send_text(kDisconnect);
    return status;
  }

  int fail(const std::string& what) {
    const int error = errno;
    note(what + ": " + std::strerror(error));
    return leave(1);
  }

  // A lost datagram is made good by the next refresh.
  bool send_text(const char* text) const { return send(udp_, text, std::strlen(text), 0) >= 0; }

  Steady::time_point frame_deadline() const {
    return o_.timeout > 0 ? last_frame_ + std::chrono::seconds(o_.timeout)
                          : Steady::time_point::max();
  }

  static int ms_until(Steady::time_point when) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Steady::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
  }

  std::string daemon_name() const {
    return o_.host + " port " + std::to_string(ntohs(daemon_.sin_port));
  }

  static void note(const std::string& text) {
    std::fprintf(stderr, "morvix-client: %s\n", text.c_str());
  }

  const Options& o_;
  std::FILE* raw_ = nullptr;
  int udp_ = -1;
  sockaddr_in daemon_{};
  bool registered_ = false;
  bool trouble_ = false;  // something went wrong since the last registration
  int backoff_ = 0;       // seconds to wait before the next attempt
  long long frames_ = 0;
  Steady::time_point last_heard_{};
  Steady::time_point last_refresh_{};
  Steady::time_point last_frame_{};
};

}  // namespace
}  // namespace morvix::client

int main(int argc, char** argv) {
  using namespace morvix::client;
  const Options options = parse_options(argc, argv);
  catch_signals();
  return Client(options).run();
}
