// SPDX-License-Identifier: Apache-2.0
#include "tools/decode/decode_loop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "decoder/frame_checker.h"
#include "decoder/sample_ring.h"
#include "tools/tool_args.h"

namespace morvix::decode {

namespace {

int open_input(const std::string& input) {
  if (input == "-") return STDIN_FILENO;
  const int fd = open(input.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) tool::failed("can't open '" + input + "'");
  // Read once from start to end: the kernel may read ahead further.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

// The input's size when it is a plain file, else -1.
int64_t input_size(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
}

// Gives the bytes to the ring as room frees up, running the frame checker
// until it needs input after each piece, as the daemon does with datagrams.
void decode_piece(Decoder& d, Output& out, const unsigned char* bytes, int count) {
  int taken = 0;
  for (;;) {
    taken += ring_write(d.ring, bytes + taken, count - taken);
    while (next_frame(d)) {
      if (output_frame(out, d) < 0) tool::failed("can't write the frames");
    }
    if (taken == count) return;
  }
}

}  // namespace

int64_t decode_input(const std::string& input, Decoder& d, Output& out, Progress& p) {
  const int fd = open_input(input);
  const std::string name = input == "-" ? "standard input" : "'" + input + "'";
  progress_start(p, stderr, input_size(fd));
  const auto buffer = std::make_unique<unsigned char[]>(kReadBytes);
  int64_t done = 0;
  for (;;) {
    const ssize_t got = read(fd, buffer.get(), kReadBytes);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) tool::failed("can't read " + name);
    if (got == 0) break;
    decode_piece(d, out, buffer.get(), static_cast<int>(got));
    done += got;
    // Frames from a live pipe show as they come.
    if (std::fflush(out.to) != 0) tool::failed("can't write the frames");
    progress_update(p, done);
  }
  // The end of the input: the frame under way is finished with what came.
  input_ended(d.ring);
  while (next_frame(d)) {
    if (output_frame(out, d) < 0) tool::failed("can't write the frames");
  }
  settle_rejection(d.stats);
  progress_end(p);
  if (fd != STDIN_FILENO) close(fd);
  return done;
}

}  // namespace morvix::decode
