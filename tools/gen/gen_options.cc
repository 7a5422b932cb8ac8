// SPDX-License-Identifier: Apache-2.0
#include "tools/gen/gen_options.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "decoder/decoder.h"
#include "tools/tool_args.h"

namespace morvix::gen {
namespace {

using tool::bad_arguments;
using tool::fraction_option;
using tool::integer_option;
using tool::number_option;

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
    "Channel model (default: none, every sample exactly as its line bit):\n"
    "  --channel NOISE        NRZ levels through a one-pole low-pass (time\n"
    "                         constant a quarter bit) with Gaussian noise, cut\n"
    "                         to one bit per sample; NOISE is the noise's\n"
    "                         standard deviation at the cut, in signal levels\n"
    "                         (0.45 costs the literal decoder about half of\n"
    "                         100-byte frames); phase, gaps and tail are noise\n"
    "                         alone (--gap-fill noise) or the idle level\n"
    "  --clock-ppm PPM        the sender's bit clock runs PPM parts per million\n"
    "                         fast (negative: slow), -100000 to 100000; needs\n"
    "                         --channel\n"
    "  --time-constant T      the low-pass's time constant, in bits, 0.01-10\n"
    "                         (default 0.25); needs --channel, as the rest\n"
    "  --second-pole T        a second low-pass pole of T bits, 0-10 (default 0:\n"
    "                         none)\n"
    "  --slicer LEVEL         the slicer's threshold, in signal levels,\n"
    "                         -0.95-0.95 (default 0)\n"
    "  --clock-wander PPM     the clock offset swings by PPM (a sine over 4000\n"
    "                         bits), 0-100000\n"
    "  --bursts F             a fraction F (0-1) of the time in noise bursts of\n"
    "                         30 bits at 4 times the noise\n"
    "  --fading DB            the signal fades by up to DB (0-40) and back, over\n"
    "                         6000 bits\n"
    "Output:\n"
    "  --out FILE             write the samples to FILE ('-' = standard output)\n"
    "  --udp HOST:PORT        send the samples as UDP datagrams to HOST\n"
    "  --datagram N           datagram size in bytes, 1-2048 (default 1000; --udp)\n"
    "  --rate S               pace the datagrams at S samples per second\n"
    "                         (default: as fast as possible; --udp)\n"
    "  --replay FILE          send the raw sample file FILE instead (needs --udp)\n"
    "  --frames-out FILE      write each frame made, except broken ones, as hex,\n"
    "                         one per line (once per frame, not per repeat)\n"
    "  --version              print the version and exit\n"
    "  --help                 show this text\n"
    "Exit status: 0 done, 1 a file, host or send failed, 2 bad arguments.\n";

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

}  // namespace

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (name == "--version") tool::print_version();
    // Every other option takes a value; an unknown one is refused as such
    // even when it comes last.
    auto take = [&]() -> std::string {
      if (i + 1 >= argc) bad_arguments(name + " needs a value");
      return argv[++i];
    };
    if (name == "--hex") {
      options.hex = hex_option(take());
    } else if (name == "--random-len") {
      options.min_len = options.max_len =
          static_cast<int>(integer_option(name, take(), 1, kMaxPayloadBytes));
      options.len_given = true;
    } else if (name == "--len") {
      length_range_option(take(), options);
      options.len_given = true;
    } else if (name == "--first-byte") {
      const std::string value = take();
      const bool hex = value.rfind("0x", 0) == 0 || value.rfind("0X", 0) == 0;
      options.first_byte = static_cast<int>(integer_option(
          name, hex ? std::string_view(value).substr(2) : value, 0, 255, hex ? 16 : 10));
    } else if (name == "--frames") {
      options.frames = integer_option(name, take(), 0, 1'000'000'000'000LL);
    } else if (name == "--repeat") {
      options.repeat = integer_option(name, take(), 1, 1'000'000);
    } else if (name == "--broken") {
      options.broken = fraction_option(name, take());
    } else if (name == "--sps") {
      options.sps = static_cast<int>(integer_option(name, take(), 1, 1000));
    } else if (name == "--phase") {
      options.phase = integer_option(name, take(), 0, 1'000'000'000);
    } else if (name == "--gap") {
      options.gap = integer_option(name, take(), 0, 1'000'000'000);
    } else if (name == "--tail") {
      options.tail = integer_option(name, take(), 0, 1'000'000'000);
    } else if (name == "--gap-fill") {
      const std::string value = take();
      if (value != "noise" && value != "idle") bad_arguments("--gap-fill takes noise or idle");
      options.gap_noise = value == "noise";
    } else if (name == "--ber") {
      options.ber = fraction_option(name, take());
    } else if (name == "--wrong-symbols") {
      wrong_symbols_option(take(), options);
    } else if (name == "--wrong-sync") {
      wrong_sync_option(take(), options);
    } else if (name == "--channel") {
      options.channel = true;
      options.noise = number_option(name, take(), 0.0, 100.0);
    } else if (name == "--clock-ppm") {
      options.ppm = number_option(name, take(), -100000.0, 100000.0);
    } else if (name == "--time-constant") {
      options.impairments.time_constant = number_option(name, take(), 0.01, 10.0);
      options.impairment_given = true;
    } else if (name == "--second-pole") {
      options.impairments.second_pole = number_option(name, take(), 0.0, 10.0);
      options.impairment_given = true;
    } else if (name == "--slicer") {
      options.impairments.slicer = number_option(name, take(), -0.95, 0.95);
      options.impairment_given = true;
    } else if (name == "--clock-wander") {
      options.impairments.wander_ppm = number_option(name, take(), 0.0, 100000.0);
      options.impairment_given = true;
    } else if (name == "--bursts") {
      options.impairments.bursts = fraction_option(name, take());
      options.impairment_given = true;
    } else if (name == "--fading") {
      options.impairments.fading_db = number_option(name, take(), 0.0, 40.0);
      options.impairment_given = true;
    } else if (name == "--seed") {
      options.seed = static_cast<uint32_t>(integer_option(name, take(), 0, 4294967295LL));
    } else if (name == "--out") {
      options.out = take();
    } else if (name == "--udp") {
      options.udp = take();
    } else if (name == "--datagram") {
      // morvix cuts longer datagrams, which would lose samples.
      options.datagram = static_cast<int>(integer_option(name, take(), 1, kInputBytes));
      options.datagram_given = true;
    } else if (name == "--rate") {
      const std::string value = take();
      char* end = nullptr;
      options.rate = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(options.rate > 0.0 && options.rate < 1e12)) {
        bad_arguments("--rate takes a positive number of samples per second");
      }
    } else if (name == "--replay") {
      options.replay = take();
    } else if (name == "--frames-out") {
      options.frames_out = take();
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
  if (options.ppm != 0.0 && !options.channel) bad_arguments("--clock-ppm needs --channel");
  if (options.impairment_given && !options.channel) {
    bad_arguments(
        "--time-constant, --second-pole, --slicer, --clock-wander, --bursts and "
        "--fading need --channel");
  }
  return options;
}

}  // namespace morvix::gen
