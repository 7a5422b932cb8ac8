// SPDX-License-Identifier: Apache-2.0
#include "tools/decode/decode_report.h"

#include <unistd.h>

#include <cinttypes>

namespace morvix::decode {

namespace {

constexpr auto kFirstDraw = std::chrono::milliseconds(500);
constexpr auto kRedraw = std::chrono::milliseconds(250);
constexpr double kMiB = 1024.0 * 1024.0;

// Samples a second in millions, 0 before any time has passed.
double million_samples_per_second(int64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) * 8 / seconds / 1e6 : 0.0;
}

}  // namespace

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void progress_start(Progress& p, std::FILE* to, int64_t total) {
  p.to = to;
  p.on = isatty(fileno(to)) == 1;
  p.total = total;
  p.start = Clock::now();
  p.next = p.start + kFirstDraw;
  p.shown = 0;
}

void progress_update(Progress& p, int64_t done) {
  if (!p.on) return;
  const Clock::time_point now = Clock::now();
  if (now < p.next) return;
  p.next = now + kRedraw;
  std::string line = progress_text(done, p.total, seconds_since(p.start));
  // Blanks cover what is left of a longer line before.
  const size_t length = line.size();
  if (length < p.shown) line.append(p.shown - length, ' ');
  std::fprintf(p.to, "\r%s", line.c_str());
  std::fflush(p.to);
  p.shown = length;
}

void progress_end(Progress& p) {
  if (p.shown == 0) return;
  std::fprintf(p.to, "\r%s\r", std::string(p.shown, ' ').c_str());
  std::fflush(p.to);
  p.shown = 0;
}

std::string progress_text(int64_t done, int64_t total, double seconds) {
  char text[160];
  const double rate = million_samples_per_second(done, seconds);
  int at = std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(done) / kMiB);
  if (total > 0) {
    at += std::snprintf(text + at, sizeof text - static_cast<size_t>(at), " of %.1f MiB (%d %%)",
                        static_cast<double>(total) / kMiB, static_cast<int>(done * 100 / total));
  }
  at += std::snprintf(text + at, sizeof text - static_cast<size_t>(at), ", %.0f M samples/s", rate);
  if (total > 0 && rate > 0 && done <= total) {
    const auto left =
        static_cast<int64_t>(static_cast<double>(total - done) * 8 / (rate * 1e6) + 0.5);
    std::snprintf(text + at, sizeof text - static_cast<size_t>(at),
                  ", %" PRId64 ":%02" PRId64 " left", left / 60, left % 60);
  }
  return text;
}

void print_summary(std::FILE* to, const SampleRing& input, const DecoderStats& s, const Output& out,
                   int64_t bytes, double seconds) {
  const int64_t rejected = s.rejected_header + s.rejected_frame_crc + s.rejected_uncorrectable;
  std::fprintf(to, "samples: %" PRId64 " (%" PRId64 " bytes) in %.3f s, %.1f M samples/s\n",
               input_samples(input), bytes, seconds, million_samples_per_second(bytes, seconds));
  std::fprintf(to, "sync words: %" PRId64 " (by wrong bits 0..5:", s.sync_words);
  for (int64_t n : s.sync_wrong_bits) std::fprintf(to, " %" PRId64, n);
  std::fprintf(to, ")\nframes decoded: %" PRId64 " (new %" PRId64 ", repeats %" PRId64 ")\n",
               s.frames_decoded, out.passed_on, out.repeats);
  std::fprintf(to,
               "frames rejected: %" PRId64 " (header %" PRId64 ", frame CRC %" PRId64
               ", uncorrectable %" PRId64 ")\n",
               rejected, s.rejected_header, s.rejected_frame_crc, s.rejected_uncorrectable);
  std::fprintf(
      to, "symbols corrected: %" PRId64 " (blocks by symbols corrected 0..4:", s.symbols_corrected);
  for (int64_t n : s.blocks_by_corrections) std::fprintf(to, " %" PRId64, n);
  std::fprintf(to, ")\n");
}

}  // namespace morvix::decode
