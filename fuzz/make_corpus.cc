// SPDX-License-Identifier: Apache-2.0
// Writes the seed corpora of the fuzz targets into the directory given (the
// repository's fuzz/corpus): decoder streams built with the signal
// generator, and hand-picked inputs for the codec, the client table and the
// identity loader, each in its target's input layout.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tools/gen/channel.h"
#include "tools/gen/signal_gen.h"

namespace {

using morvix::gen::Bytes;
namespace fs = std::filesystem;

fs::path g_root;

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// fuzz_decoder: the set-up bytes, the stream, then the piece sizes
// backwards, every piece but the last of the size piece_byte gives.
// ring_start 0..127; improved turns -a (the improved reading) on.
Bytes decoder_input(int sps, bool fec, int passes_log2, uint8_t ring_start, const Bytes& stream,
                    uint8_t piece_byte, bool improved = false) {
  Bytes input{static_cast<uint8_t>((sps - 1) | (fec ? 0x20 : 0) | passes_log2 << 6),
              static_cast<uint8_t>(ring_start | (improved ? 0x80 : 0))};
  input.insert(input.end(), stream.begin(), stream.end());
  const size_t piece = piece_byte < 128 ? piece_byte + 1u : 64u * (piece_byte - 126u);
  const size_t pieces = (stream.size() + piece - 1) / piece;
  input.insert(input.end(), pieces, piece_byte);
  return input;
}

Bytes payload(size_t n, std::mt19937& rng) {
  Bytes p(n);
  for (auto& b : p) b = static_cast<uint8_t>(rng());
  return p;
}

void add_frame(morvix::gen::SampleWriter& w, const Bytes& frame, std::mt19937& rng,
               const morvix::gen::LineOptions& options = {}) {
  w.add_line_bits(morvix::gen::frame_line_bits(frame, options, rng));
}

void decoder_corpus() {
  using morvix::gen::build_frame;
  std::mt19937 rng(4242);
  {
    morvix::gen::SampleWriter w(10);
    w.add_idle(37);
    add_frame(w, build_frame(0x11, payload(8, rng)), rng);
    w.add_idle(200);
    add_frame(w, build_frame(0x12, payload(40, rng)), rng);
    w.add_idle(80);
    write("decoder", "two_frames_sps10", decoder_input(10, true, 3, 0, w.take(), 255));
  }
  {
    // Two wrong symbols in the first block, five wrong sync bits, back to back.
    morvix::gen::SampleWriter w(1);
    w.add_idle(3);  // the search's first attempt is at the second sample
    morvix::gen::LineOptions damaged;
    damaged.wrong_symbols = {{{3, 0x11}, {14, 0x02}}};
    damaged.wrong_sync_bits = {0, 9, 17, 30, 39};
    add_frame(w, build_frame(0x21, payload(20, rng)), rng, damaged);
    add_frame(w, build_frame(0x22, payload(5, rng)), rng);
    w.add_idle(5);
    write("decoder", "corrected_sps1", decoder_input(1, true, 1, 2, w.take(), 24));
  }
  {
    morvix::gen::SampleWriter w(8);
    w.add_idle(16);
    add_frame(w, build_frame(0x31, payload(300, rng)), rng);
    write("decoder", "longest_sps8_nofec", decoder_input(8, false, 1, 100, w.take(), 181));
  }
  {
    morvix::gen::SampleWriter w(13);
    w.add_noise(500, rng);
    morvix::gen::LineOptions damaged;
    damaged.wrong_symbols = {{}, {{0, 0x1F}}, {{7, 0x05}, {8, 0x09}}};
    add_frame(w, build_frame(0x41, payload(14, rng)), rng, damaged);
    w.add_noise(300, rng);
    write("decoder", "noise_sps13", decoder_input(13, true, 0, 30, w.take(), 60));
  }
  {
    // A frame whose header claims one block, then the shortest good frame.
    morvix::gen::SampleWriter w(32);
    Bytes refused = build_frame(0x51, payload(1, rng));
    refused[2] = 1;
    add_frame(w, refused, rng);
    add_frame(w, build_frame(0x52, payload(1, rng)), rng);
    write("decoder", "shortest_sps32", decoder_input(32, true, 3, 40, w.take(), 140));
  }
  {
    // The frame CRC fails at every phase; a good frame follows.
    morvix::gen::SampleWriter w(3);
    Bytes bad = build_frame(0x61, payload(12, rng));
    bad[9] ^= 0x40;
    add_frame(w, bad, rng);
    w.add_idle(11);
    add_frame(w, build_frame(0x62, payload(12, rng)), rng);
    write("decoder", "bad_frame_crc_sps3", decoder_input(3, true, 0, 0, w.take(), 0));
  }
  {
    // The improved reading: two frames through the channel model, the
    // first noisy enough to need erasures, the second on a fast clock.
    morvix::gen::SampleWriter w(10);
    std::mt19937 channel_rng(5);
    morvix::gen::Channel noisy(10, 0.5, 0, channel_rng);
    noisy.silence(150, w);
    noisy.transmit(morvix::gen::frame_line_bits(build_frame(0x71, payload(40, rng)), {}, rng), w);
    morvix::gen::Channel fast(10, 0.2, 3000, channel_rng);
    fast.silence(90, w);
    fast.transmit(morvix::gen::frame_line_bits(build_frame(0x72, payload(60, rng)), {}, rng), w);
    fast.silence(90, w);
    write("decoder", "channel_improved_sps10", decoder_input(10, true, 0, 20, w.take(), 200, true));
  }
  {
    // The improved reading where a bit has too few samples to track the clock.
    morvix::gen::SampleWriter w(3);
    std::mt19937 channel_rng(6);
    morvix::gen::Channel channel(3, 0.3, -500, channel_rng);
    channel.silence(40, w);
    channel.transmit(morvix::gen::frame_line_bits(build_frame(0x73, payload(25, rng)), {}, rng), w);
    channel.silence(40, w);
    write("decoder", "channel_improved_sps3", decoder_input(3, true, 1, 0, w.take(), 90, true));
  }
}

void codec_corpus() {
  // Any-word part: 16 symbols, erasure count, 4 positions; codeword part:
  // 12 data symbols, the damage pick, then (element, value) pairs.
  write("codec", "zero_words", Bytes(34, 0));
  Bytes pad_roots = {1, 1, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes data = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8};
  pad_roots.insert(pad_roots.end(), data.begin(), data.end());
  pad_roots.insert(pad_roots.end(), {2, 4, 17, 11, 30});  // two wrong symbols
  write("codec", "pad_roots_two_errors", pad_roots);
  Bytes erasures = {0, 0, 9, 0, 0, 12, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 2, 2, 5, 0, 0};
  erasures.insert(erasures.end(), data.begin(), data.end());
  erasures.insert(erasures.end(), {12, 0, 7, 1, 0, 2, 19, 15, 3});  // four erasures, one right
  write("codec", "erasures", erasures);
  Bytes mixed(21, 5);
  mixed.insert(mixed.end(), data.begin(), data.end());
  mixed.insert(mixed.end(), {7, 9, 1, 3, 8, 0, 6});  // one error, two erasures
  write("codec", "error_and_erasures", mixed);
}

// fuzz_clients steps.
enum Kind { kRaw = 0, kStart = 1, kStop = 2, kDisconnect = 3 };
constexpr int kTick = 0x20;
constexpr int kQueue = 0x40;

void step(Bytes& in, int sender, Kind kind, std::string_view raw, int clock, int flags = 0) {
  in.push_back(static_cast<uint8_t>(sender | kind << 3 | flags));
  in.push_back(static_cast<uint8_t>(raw.size()));
  in.insert(in.end(), raw.begin(), raw.end());
  in.push_back(static_cast<uint8_t>(clock + 64));
}

void clients_corpus() {
  {
    // Five slots, upstream on sender 7 with its feed on.
    Bytes in = {5, 0x85};
    step(in, 0, kRaw, "hello", 1);
    step(in, 1, kRaw, "x", 1);
    step(in, 0, kDisconnect, "", 1);
    step(in, 2, kRaw, "new", 1);
    step(in, 0, kRaw, "back", 1, kTick);
    step(in, 7, kStop, "", 1);
    step(in, 7, kStart, "!", 1);
    step(in, 4, kRaw, "late", 120);
    step(in, 1, kRaw, "", 179, kTick);  // an empty datagram ends the pass
    step(in, 5, kRaw, "z", 1, kTick);
    write("clients", "register_leave_expire", in);
  }
  {
    // Two slots: one client fits, the rest are dropped until it leaves.
    Bytes in = {2, 8};
    step(in, 0, kRaw, "a", 0);
    step(in, 1, kRaw, "b", 0);
    step(in, 0, kDisconnect, "bye", 0);
    step(in, 1, kRaw, "b", 0, kTick);
    write("clients", "full_table", in);
  }
  {
    // Queued datagrams with the upstream server's in the middle.
    Bytes in = {32, 4};
    step(in, 0, kRaw, "q1", 0, kQueue);
    step(in, 4, kStart, "", 0, kQueue);
    step(in, 5, kRaw, "q2", 0, kQueue);
    step(in, 6, kRaw, "DISCONNEC", 0, kQueue);
    step(in, 3, kRaw, "q3", 0);
    step(in, 2, kRaw, "q4", 300, kTick);
    step(in, 3, kRaw, "q5", 1, kTick);
    write("clients", "queued_with_upstream", in);
  }
}

void identity_corpus() {
  const std::string digits = "0123456789abcdef0123456789abcdef01234567";
  write("identity", "valid_lf", text(digits + "\n"));
  write("identity", "valid_crlf", text(digits + "\r\nsecond line\n"));
  write("identity", "valid_no_newline", text(digits));
  write("identity", "short", text(digits.substr(1) + "\n"));
  write("identity", "upper_case", text("0123456789ABCDEF0123456789abcdef01234567\n"));
  write("identity", "empty", {});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  decoder_corpus();
  codec_corpus();
  clients_corpus();
  identity_corpus();
  return 0;
}
