// morvix-gen: writes or sends the sample stream of generated frames, or
// replays a raw sample file over UDP. kUsage lists the options.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/signal_gen.h"

namespace morvix::gen {
namespace {

constexpr const char* kUsage =
    "usage: morvix-gen [options] (--out FILE | --udp HOST:PORT)\n"
    "Writes the sample stream of generated frames, or replays a sample file.\n"
    "\n"
    "Payload (default: random, length 1-300):\n"
    "  --hex HEX              the payload of every frame, 1-300 bytes as hex\n"
    "  --random-len N         random payloads of N bytes (1-300)\n"
    "  --len MIN-MAX          random payloads of MIN to MAX bytes\n"
    "  --first-byte V         first header byte, 0-255 or 0x00-0xff (default 0)\n"
    "Frames:\n"
    "  --frames N             frames to make (default 1; 0 = forever)\n"
    "  --repeat K             send each frame K times (default 1)\n"
    "  --broken P             fraction 0-1 of frames with a payload byte changed\n"
    "                         after the frame CRC was computed (default 0)\n"
    "Line and samples:\n"
    "  --sps N                samples per line bit, 1-1000 (default 10)\n"
    "  --phase N              samples before the first frame (default 0)\n"
    "  --gap N                samples between transmissions (default 0)\n"
    "  --tail N               samples after the last frame (default 0); about\n"
    "                         40000 (one ring) lets the daemon read the last\n"
    "                         frames without waiting a second per step\n"
    "  --gap-fill noise|idle  what phase, gaps and tail hold (default idle:\n"
    "                         samples of 1)\n"
    "  --ber R                line-bit error rate 0-1 over every frame (default 0)\n"
    "  --wrong-symbols B:S:V,...\n"
    "                         in block B (0-40, 0 = first after the sync word) XOR\n"
    "                         symbol S (0-15) with V (1-31), in every frame\n"
    "  --wrong-sync I,J,...   flip sync word bits I, J (0-39) in every frame\n"
    "  --seed N               random seed, 0-4294967295 (default 1)\n"
    "Output:\n"
    "  --out FILE             write the samples to FILE ('-' = standard output)\n"
    "  --udp HOST:PORT        send the samples as UDP datagrams to HOST\n"
    "  --datagram N           datagram size in bytes, 1-65507 (default 1000; --udp)\n"
    "  --rate S               pace the datagrams at S samples per second\n"
    "                         (default: as fast as possible; --udp)\n"
    "  --replay FILE          send the raw sample file FILE instead (needs --udp)\n"
    "  --frames-out FILE      write each frame made, except broken ones, as hex,\n"
    "                         one per line (once per frame, not per repeat)\n"
    "  --help                 show this text\n"
    "Exit status: 0 done, 1 a file, host or send failed, 2 bad arguments.\n";

struct Options {
  std::optional<Bytes> hex;
  int min_len = 1;
  int max_len = kMaxPayloadBytes;
  bool len_given = false;
  int first_byte = 0;
  long long frames = 1;
  long long repeat = 1;
  double broken = 0.0;
  int sps = 10;
  long long phase = 0;
  long long gap = 0;
  long long tail = 0;
  bool gap_noise = false;
  double ber = 0.0;
  LineOptions line;
  uint32_t seed = 1;
  std::string out;
  std::string udp;
  int datagram = 1000;
  bool datagram_given = false;
  double rate = 0.0;
  std::string replay;
  std::string frames_out;
};

[[noreturn]] void bad_arguments(const std::string& message) {
  std::fprintf(stderr, "morvix-gen: %s\ntry 'morvix-gen --help'\n", message.c_str());
  std::exit(2);
}

[[noreturn]] void failed(const std::string& what) {
  std::fprintf(stderr, "morvix-gen: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

std::optional<long long> to_integer(std::string_view text, int base) {
  // strtoll would also take leading blanks and a plus sign.
  if (text.empty() || !(std::isxdigit(static_cast<unsigned char>(text[0])) || text[0] == '-')) {
    return std::nullopt;
  }
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(copy.c_str(), &end, base);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return value;
}

long long integer_option(const std::string& name, std::string_view text, long long min,
                         long long max, int base = 10) {
  const auto value = to_integer(text, base);
  if (!value || *value < min || *value > max) {
    bad_arguments(name + " takes a whole number from " + std::to_string(min) + " to " +
                  std::to_string(max) + ", not '" + std::string(text) + "'");
  }
  return *value;
}

double fraction_option(const std::string& name, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= 0.0 && value <= 1.0)) {
    bad_arguments(name + " takes a number from 0 to 1, not '" + text + "'");
  }
  return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

Bytes hex_option(const std::string& text) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes bytes;
  bool ok = text.size() % 2 == 0;
  for (size_t i = 0; ok && i < text.size(); i += 2) {
    const int high = digit(text[i]);
    const int low = digit(text[i + 1]);
    ok = high >= 0 && low >= 0;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  if (!ok || bytes.empty() || bytes.size() > static_cast<size_t>(kMaxPayloadBytes)) {
    bad_arguments("--hex takes 1 to 300 bytes as pairs of hex digits");
  }
  return bytes;
}

void length_range_option(const std::string& text, Options& options) {
  const auto parts = split(text, '-');
  if (parts.size() > 2) bad_arguments("--len takes MIN-MAX, not '" + text + "'");
  options.min_len = static_cast<int>(integer_option("--len", parts[0], 1, kMaxPayloadBytes));
  options.max_len = static_cast<int>(integer_option("--len", parts.back(), 1, kMaxPayloadBytes));
  if (options.min_len > options.max_len) bad_arguments("--len MIN is above MAX");
}

void wrong_symbols_option(const std::string& text, Options& options) {
  auto& blocks = options.line.wrong_symbols;
  for (auto item : split(text, ',')) {
    const auto fields = split(item, ':');
    if (fields.size() != 3) bad_arguments("--wrong-symbols takes B:S:V,...");
    const auto block =
        static_cast<size_t>(integer_option("--wrong-symbols block", fields[0], 0, 40));
    const auto symbol =
        static_cast<int>(integer_option("--wrong-symbols symbol", fields[1], 0, 15));
    const auto value =
        static_cast<uint8_t>(integer_option("--wrong-symbols value", fields[2], 1, 31));
    if (blocks.size() <= block) blocks.resize(block + 1);
    blocks[block].emplace_back(symbol, value);
  }
}

void wrong_sync_option(const std::string& text, Options& options) {
  for (auto item : split(text, ',')) {
    options.line.wrong_sync_bits.push_back(
        static_cast<int>(integer_option("--wrong-sync", item, 0, 39)));
  }
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      bad_arguments(name.rfind("--", 0) == 0 ? name + " needs a value"
                                             : "unknown option '" + name + "'");
    }
    const std::string value = argv[++i];
    if (name == "--hex") {
      options.hex = hex_option(value);
    } else if (name == "--random-len") {
      options.min_len = options.max_len =
          static_cast<int>(integer_option(name, value, 1, kMaxPayloadBytes));
      options.len_given = true;
    } else if (name == "--len") {
      length_range_option(value, options);
      options.len_given = true;
    } else if (name == "--first-byte") {
      const bool hex = value.rfind("0x", 0) == 0 || value.rfind("0X", 0) == 0;
      options.first_byte = static_cast<int>(integer_option(
          name, hex ? std::string_view(value).substr(2) : value, 0, 255, hex ? 16 : 10));
    } else if (name == "--frames") {
      options.frames = integer_option(name, value, 0, 1'000'000'000'000LL);
    } else if (name == "--repeat") {
      options.repeat = integer_option(name, value, 1, 1'000'000);
    } else if (name == "--broken") {
      options.broken = fraction_option(name, value);
    } else if (name == "--sps") {
      options.sps = static_cast<int>(integer_option(name, value, 1, 1000));
    } else if (name == "--phase") {
      options.phase = integer_option(name, value, 0, 1'000'000'000);
    } else if (name == "--gap") {
      options.gap = integer_option(name, value, 0, 1'000'000'000);
    } else if (name == "--tail") {
      options.tail = integer_option(name, value, 0, 1'000'000'000);
    } else if (name == "--gap-fill") {
      if (value != "noise" && value != "idle") bad_arguments("--gap-fill takes noise or idle");
      options.gap_noise = value == "noise";
    } else if (name == "--ber") {
      options.ber = fraction_option(name, value);
    } else if (name == "--wrong-symbols") {
      wrong_symbols_option(value, options);
    } else if (name == "--wrong-sync") {
      wrong_sync_option(value, options);
    } else if (name == "--seed") {
      options.seed = static_cast<uint32_t>(integer_option(name, value, 0, 4294967295LL));
    } else if (name == "--out") {
      options.out = value;
    } else if (name == "--udp") {
      options.udp = value;
    } else if (name == "--datagram") {
      options.datagram = static_cast<int>(integer_option(name, value, 1, 65507));
      options.datagram_given = true;
    } else if (name == "--rate") {
      char* end = nullptr;
      options.rate = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(options.rate > 0.0 && options.rate < 1e12)) {
        bad_arguments("--rate takes a positive number of samples per second");
      }
    } else if (name == "--replay") {
      options.replay = value;
    } else if (name == "--frames-out") {
      options.frames_out = value;
    } else {
      bad_arguments("unknown option '" + name + "'");
    }
  }
  if (options.out.empty() == options.udp.empty()) {
    bad_arguments("give exactly one of --out and --udp");
  }
  if (options.hex && options.len_given) {
    bad_arguments("--hex and --random-len/--len exclude each other");
  }
  if (options.udp.empty() && (options.datagram_given || options.rate > 0.0)) {
    bad_arguments("--datagram and --rate need --udp");
  }
  if (!options.replay.empty() && options.udp.empty()) bad_arguments("--replay needs --udp");
  return options;
}

// Where the samples go: a file, or datagrams of a fixed size, optionally paced.
class Sink {
 public:
  explicit Sink(const Options& options) : datagram_(static_cast<size_t>(options.datagram)) {
    if (!options.out.empty()) {
      file_ = options.out == "-" ? stdout : std::fopen(options.out.c_str(), "wb");
      if (file_ == nullptr) failed("cannot open " + options.out);
      name_ = options.out;
      return;
    }
    open_udp(options.udp);
    rate_ = options.rate;
    start_ = std::chrono::steady_clock::now();
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  void write(const Bytes& bytes) {
    if (bytes.empty()) return;
    if (file_ != nullptr) {
      if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        failed("cannot write " + name_);
      }
      return;
    }
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    size_t at = 0;
    for (; pending_.size() - at >= datagram_; at += datagram_) send(&pending_[at], datagram_);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
  }

  void finish() {
    if (file_ != nullptr) {
      if (std::fflush(file_) != 0 || (file_ != stdout && std::fclose(file_) != 0)) {
        failed("cannot write " + name_);
      }
      return;
    }
    if (!pending_.empty()) send(pending_.data(), pending_.size());
    close(fd_);
  }

 private:
  void open_udp(const std::string& target) {
    const size_t colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0) bad_arguments("--udp takes HOST:PORT");
    const std::string host = target.substr(0, colon);
    const std::string port = target.substr(colon + 1);
    integer_option("--udp port", port, 1, 65535);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (error != 0) {
      std::fprintf(stderr, "morvix-gen: cannot resolve %s: %s\n", host.c_str(),
                   gai_strerror(error));
      std::exit(1);
    }
    std::memcpy(&to_, found->ai_addr, sizeof to_);
    freeaddrinfo(found);
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) failed("cannot open a UDP socket");
    name_ = target;
  }

  void send(const uint8_t* data, size_t size) {
    if (rate_ > 0.0) {
      // Paced from the start, so a late datagram makes up time instead of
      // slowing the whole stream.
      const std::chrono::duration<double> due(static_cast<double>(sent_samples_) / rate_);
      std::this_thread::sleep_until(
          start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(due));
    }
    if (sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_) < 0) {
      failed("cannot send to " + name_);
    }
    sent_samples_ += static_cast<long long>(size) * 8;
  }

  size_t datagram_;
  std::FILE* file_ = nullptr;
  std::string name_;
  int fd_ = -1;
  sockaddr_in to_{};
  double rate_ = 0.0;
  std::chrono::steady_clock::time_point start_;
  long long sent_samples_ = 0;
  Bytes pending_;
};

void replay(const Options& options, Sink& sink) {
  std::FILE* file = std::fopen(options.replay.c_str(), "rb");
  if (file == nullptr) failed("cannot open " + options.replay);
  Bytes chunk(static_cast<size_t>(options.datagram));
  size_t got = 0;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
    chunk.resize(got);
    sink.write(chunk);
    chunk.resize(static_cast<size_t>(options.datagram));
  }
  if (std::ferror(file)) failed("cannot read " + options.replay);
  std::fclose(file);
}

// Adds idle or noise samples in slices, so a long gap never sits in memory.
void fill(const Options& options, long long samples, SampleWriter& writer, std::mt19937& rng,
          Sink& sink) {
  constexpr long long kSlice = 1 << 20;
  while (samples > 0) {
    const long long n = std::min(samples, kSlice);
    if (options.gap_noise) {
      writer.add_noise(n, rng);
    } else {
      writer.add_idle(n);
    }
    sink.write(writer.take_whole_bytes());
    samples -= n;
  }
}

Bytes make_payload(const Options& options, std::mt19937& rng) {
  if (options.hex) return *options.hex;
  const auto span = static_cast<uint32_t>(options.max_len - options.min_len + 1);
  Bytes payload(static_cast<size_t>(options.min_len) + rng() % span);
  for (auto& byte : payload) byte = static_cast<uint8_t>(rng());
  return payload;
}

void write_hex_line(std::FILE* file, const Bytes& frame, const std::string& name) {
  for (uint8_t byte : frame) std::fprintf(file, "%02x", byte);
  if (std::fputc('\n', file) == EOF || std::fflush(file) != 0) failed("cannot write " + name);
}

void generate(const Options& options, Sink& sink) {
  std::FILE* frames_out = nullptr;
  if (!options.frames_out.empty()) {
    frames_out = std::fopen(options.frames_out.c_str(), "w");
    if (frames_out == nullptr) failed("cannot open " + options.frames_out);
  }
  std::mt19937 rng(options.seed);
  SampleWriter writer(options.sps);
  fill(options, options.phase, writer, rng, sink);
  // A draw below this threshold breaks the frame; as in flip_line_bits.
  const auto broken_threshold = static_cast<uint64_t>(options.broken * 4294967296.0);
  bool first = true;
  for (long long made = 0; options.frames == 0 || made < options.frames; ++made) {
    Bytes frame = build_frame(static_cast<uint8_t>(options.first_byte), make_payload(options, rng));
    if (rng() < broken_threshold) {
      const size_t payload_bytes = frame.size() - 7;
      frame[5 + rng() % payload_bytes] ^= static_cast<uint8_t>(1 + rng() % 255);
    } else if (frames_out != nullptr) {
      write_hex_line(frames_out, frame, options.frames_out);
    }
    for (long long r = 0; r < options.repeat; ++r) {
      if (!first) fill(options, options.gap, writer, rng, sink);
      first = false;
      Bits bits = frame_line_bits(frame, options.line, rng);
      flip_line_bits(bits, options.ber, rng);
      writer.add_line_bits(bits);
      sink.write(writer.take_whole_bytes());
    }
  }
  fill(options, options.tail, writer, rng, sink);
  sink.write(writer.take());
  if (frames_out != nullptr && std::fclose(frames_out) != 0) {
    failed("cannot write " + options.frames_out);
  }
}

}  // namespace
}  // namespace morvix::gen

int main(int argc, char** argv) {
  using namespace morvix::gen;
  const Options options = parse_options(argc, argv);
  Sink sink(options);
  if (options.replay.empty()) {
    generate(options, sink);
  } else {
    replay(options, sink);
  }
  sink.finish();
  return 0;
}
