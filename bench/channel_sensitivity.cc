// The literal decoder and the improved reading (-a) side by side on the
// very same streams from the channel model (tools/channel.h): band-limited
// NRZ, Gaussian noise, a one-bit slicer at 10 samples per bit, a clock
// offset. Frames of 15 and 41 blocks with noise between them.
//
//   channel_sensitivity [FRAMES]                  the tables (default 2000 frames a row)
//   channel_sensitivity --point NOISE PPM BLOCKS FRAMES [SEED]   one row
//   channel_sensitivity --noise-only SAMPLES      noise alone through both readings
//
// A row gives the frames decoded by each, the frames that are no frame sent
// (wrong: must stay 0) and frames the literal decoder has that -a lacks
// (must stay 0). Exits 1 when either is not 0.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "decoder/decoder.h"
#include "fec/link_codec.h"
#include "tests/support/decode.h"
#include "tools/channel.h"
#include "tools/signal_gen.h"

namespace {

using namespace morvix;

constexpr int kSps = 10;
constexpr int kGapSamples = 2000;

struct Stream {
  gen::Bytes samples;
  std::vector<gen::Bytes> sent;
};

// Payload bytes that make frames of the given blocks.
int payload_for(int blocks) { return blocks >= 41 ? 300 : blocks * 60 / 8 - 8; }

Stream make_stream(int frames, int blocks, double noise, double ppm, unsigned seed) {
  std::mt19937 rng(seed);
  gen::Channel channel(kSps, noise, ppm, rng);
  gen::SampleWriter w(kSps);
  Stream s;
  for (int i = 0; i < frames; ++i) {
    gen::Bytes payload(static_cast<size_t>(payload_for(blocks)));
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    s.sent.push_back(gen::build_frame(static_cast<uint8_t>(i), payload));
    channel.silence(kGapSamples, w);
    channel.transmit(gen::frame_line_bits(s.sent.back(), {}, rng), w);
  }
  channel.silence(kGapSamples, w);
  w.add_idle(8 * 2 * kRingBytes);
  s.samples = w.take();
  return s;
}

struct Result {
  std::vector<char> decoded;  // per frame sent
  int count = 0;
  int wrong = 0;
};

Result decode(const Stream& s, int improved) {
  Decoder d;
  decoder_setup(d, kSps, 1, link_codec());
  d.improved = improved;
  Result r;
  r.decoded.assign(s.sent.size(), 0);
  size_t next = 0;  // frames come out in order
  for (const gen::Bytes& f : test::decode_stream(d, s.samples)) {
    bool known = false;
    for (size_t i = next; i < s.sent.size() && !known; ++i) {
      if (s.sent[i] == f) {
        r.decoded[i] = 1;
        ++r.count;
        next = i + 1;
        known = true;
      }
    }
    if (!known) ++r.wrong;
  }
  return r;
}

struct Row {
  double literal = 0, improved = 0;  // fractions decoded
  int wrong = 0, lost = 0;
};

Row run(double noise, double ppm, int blocks, int frames, unsigned seed) {
  const Stream s = make_stream(frames, blocks, noise, ppm, seed);
  const Result lit = decode(s, 0);
  const Result imp = decode(s, 1);
  Row row;
  row.literal = static_cast<double>(lit.count) / frames;
  row.improved = static_cast<double>(imp.count) / frames;
  row.wrong = lit.wrong + imp.wrong;
  for (size_t i = 0; i < s.sent.size(); ++i) row.lost += lit.decoded[i] && !imp.decoded[i];
  std::printf("| %2d | %5.2f | %+4.0f | %5d | %6.3f | %6.3f | %5d | %4d |\n", blocks, noise, ppm,
              frames, row.literal, row.improved, row.wrong, row.lost);
  std::fflush(stdout);
  return row;
}

// The noise at which a sweep first decodes half of its frames, by linear
// interpolation of the fraction over the noise in dB; 0 when it never does.
double noise_at_half(const std::vector<double>& noise, const std::vector<double>& fraction) {
  for (size_t i = 1; i < noise.size(); ++i) {
    if (fraction[i - 1] >= 0.5 && fraction[i] < 0.5) {
      const double a = 20 * std::log10(noise[i - 1]), b = 20 * std::log10(noise[i]);
      const double t = (fraction[i - 1] - 0.5) / (fraction[i - 1] - fraction[i]);
      return std::pow(10.0, (a + t * (b - a)) / 20);
    }
  }
  return 0;
}

void header() {
  std::printf("| blocks | noise | ppm | frames | literal | -a | wrong | lost by -a |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
}

int tables(int frames) {
  int defects = 0;
  header();
  for (int blocks : {15, 41}) {
    std::vector<double> noise, literal, improved;
    for (double n = 0.30; n < 0.80; n *= 1.06) {
      const Row row = run(n, 0, blocks, frames, static_cast<unsigned>(blocks * 1000 + n * 1000));
      noise.push_back(n);
      literal.push_back(row.literal);
      improved.push_back(row.improved);
      defects += row.wrong + row.lost;
      if (row.improved < 0.02) break;
    }
    const double a = noise_at_half(noise, literal), b = noise_at_half(noise, improved);
    std::printf("%d blocks: half decoded at noise %.3f (literal) and %.3f (-a): %+.2f dB\n", blocks,
                a, b, a > 0 && b > 0 ? 20 * std::log10(b / a) : 0.0);
  }
  header();
  for (double ppm : {0.0, 100.0, 200.0, 250.0, 300.0, -300.0, 400.0, 500.0}) {
    const Row row = run(0.30, ppm, 41, frames, static_cast<unsigned>(77000 + ppm));
    defects += row.wrong + row.lost;
  }
  return defects;
}

int noise_only(long long samples) {
  std::mt19937 rng(99);
  gen::Channel channel(kSps, 1.0, 0, rng);
  Decoder lit, imp;
  decoder_setup(lit, kSps, 1, link_codec());
  decoder_setup(imp, kSps, 1, link_codec());
  imp.improved = 1;
  long long frames[2] = {0, 0};
  constexpr long long kPiece = 1 << 24;
  for (long long done = 0; done < samples; done += kPiece) {
    gen::SampleWriter w(kSps);
    channel.silence(kPiece, w);
    const gen::Bytes piece = w.take();
    frames[0] += static_cast<long long>(test::decode_stream(lit, piece).size());
    frames[1] += static_cast<long long>(test::decode_stream(imp, piece).size());
  }
  std::printf("%lld samples of noise: %lld frames (literal), %lld frames (-a)\n", samples,
              frames[0], frames[1]);
  return frames[0] + frames[1] == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--noise-only") == 0) {
    return noise_only(std::atoll(argv[2]));
  }
  if (argc > 5 && std::strcmp(argv[1], "--point") == 0) {
    header();
    const Row row =
        run(std::atof(argv[2]), std::atof(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
            argc > 6 ? static_cast<unsigned>(std::atoi(argv[6])) : 1);
    return row.wrong + row.lost == 0 ? 0 : 1;
  }
  return tables(argc > 1 ? std::atoi(argv[1]) : 2000) == 0 ? 0 : 1;
}
