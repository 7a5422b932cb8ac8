// SPDX-License-Identifier: Apache-2.0
#include "tools/gen/generate.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <string>

#include "runtime/hex.h"
#include "tools/gen/channel.h"
#include "tools/tool_args.h"

namespace morvix::gen {

using tool::failed;

namespace {

// Adds idle or noise samples in slices, so a long gap never sits in memory;
// through the channel when there is one.
void fill(const Options& options, long long samples, SampleWriter& writer, std::mt19937& rng,
          Channel* channel, Sink& sink) {
  constexpr long long kSlice = 1 << 20;
  while (samples > 0) {
    const long long n = std::min(samples, kSlice);
    if (channel != nullptr && options.gap_noise) {
      channel->silence(n, writer);
    } else if (channel != nullptr) {
      channel->idle(n, writer);
    } else if (options.gap_noise) {
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
  std::string line(frame.size() * 2, '0');
  put_hex(line.data(), frame.data(), frame.size());
  line += '\n';
  if (std::fwrite(line.data(), 1, line.size(), file) != line.size() || std::fflush(file) != 0)
    failed("cannot write " + name);
}

}  // namespace

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

void generate(const Options& options, Sink& sink) {
  std::FILE* frames_out = nullptr;
  if (!options.frames_out.empty()) {
    frames_out = std::fopen(options.frames_out.c_str(), "w");
    if (frames_out == nullptr) failed("cannot open " + options.frames_out);
  }
  std::mt19937 rng(options.seed);
  SampleWriter writer(options.sps);
  std::optional<Channel> channel;
  if (options.channel) {
    channel.emplace(options.sps, options.noise, options.ppm, rng, options.impairments);
  }
  Channel* through = channel ? &*channel : nullptr;
  fill(options, options.phase, writer, rng, through, sink);
  // A draw below this threshold breaks the frame; as in flip_line_bits.
  const auto broken_threshold = static_cast<uint64_t>(options.broken * 4294967296.0);
  bool first = true;
  for (long long made = 0; options.frames == 0 || made < options.frames; ++made) {
    Bytes frame = build_frame(static_cast<uint8_t>(options.first_byte), make_payload(options, rng));
    if (rng() < broken_threshold) {
      const size_t payload_bytes = frame.size() - kFrameOverheadBytes;
      frame[kHeaderBytes + rng() % payload_bytes] ^= static_cast<uint8_t>(1 + rng() % 255);
    } else if (frames_out != nullptr) {
      write_hex_line(frames_out, frame, options.frames_out);
    }
    for (long long r = 0; r < options.repeat; ++r) {
      if (!first) fill(options, options.gap, writer, rng, through, sink);
      first = false;
      Bits bits = frame_line_bits(frame, options.line, rng);
      flip_line_bits(bits, options.ber, rng);
      if (through != nullptr) {
        through->transmit(bits, writer);
      } else {
        writer.add_line_bits(bits);
      }
      sink.write(writer.take_whole_bytes());
    }
  }
  fill(options, options.tail, writer, rng, through, sink);
  sink.write(writer.take());
  if (frames_out != nullptr && std::fclose(frames_out) != 0) {
    failed("cannot write " + options.frames_out);
  }
}

}  // namespace morvix::gen
