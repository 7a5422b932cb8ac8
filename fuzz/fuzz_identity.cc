// SPDX-License-Identifier: Apache-2.0
// The identity loader over arbitrary file contents.
//
// The whole input is the file. It must be accepted exactly when its first
// line (up to the first CR, LF or NUL, within the first 2047 characters) is
// 40 characters from 0-9 and a-f; then the announcement is "*uid:<line>:".

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/check.h"
#include "net/client_table.h"
#include "net/upstream.h"

namespace morvix {
namespace {

constexpr size_t kLineChars = 2047;  // what the loader's line buffer holds
constexpr size_t kUidDigits = 40;
constexpr int kAnnouncementBytes = 46;

// The file lives in memory; the loader opens it by name like any other.
struct IdentityFile {
  int fd = memfd_create("uid.txt", 0);
  std::string path = "/proc/self/fd/" + std::to_string(fd);
};

const IdentityFile& identity_file() {
  static const IdentityFile file;
  FUZZ_CHECK(file.fd >= 0);
  return file;
}

void write_file(const IdentityFile& file, const uint8_t* data, size_t size) {
  FUZZ_CHECK(ftruncate(file.fd, 0) == 0);
  FUZZ_CHECK(pwrite(file.fd, data, size, 0) == static_cast<ssize_t>(size));
}

// The loader's messages would drown libFuzzer's own report.
int get_uid_quietly(Distribution& dist, const char* path) {
  static const int null_fd = open("/dev/null", O_WRONLY);
  FUZZ_CHECK(null_fd >= 0);
  const int saved = dup(STDERR_FILENO);
  dup2(null_fd, STDERR_FILENO);
  const int result = get_uid(dist, path);
  dup2(saved, STDERR_FILENO);
  close(saved);
  return result;
}

bool is_uid_digit(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace
}  // namespace morvix

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace morvix;
  const IdentityFile& file = identity_file();
  write_file(file, data, size);

  const size_t window = std::min(size, kLineChars);
  const uint8_t* line_end = std::find_if(
      data, data + window, [](uint8_t c) { return c == '\0' || c == '\r' || c == '\n'; });
  const auto line_length = static_cast<size_t>(line_end - data);
  const bool valid = line_length == kUidDigits && std::all_of(data, line_end, is_uid_digit);

  Distribution dist;
  const int result = get_uid_quietly(dist, file.path.c_str());
  FUZZ_CHECK(result == 0 || result == 1);
  FUZZ_CHECK((result == 1) == valid);
  if (valid) {
    const std::string expected =
        "*uid:" + std::string(reinterpret_cast<const char*>(data), kUidDigits) + ":";
    FUZZ_CHECK(dist.upstream.uidslen == kAnnouncementBytes);
    FUZZ_CHECK(std::strcmp(dist.upstream.uid, expected.c_str()) == 0);
  } else {
    const Distribution untouched;
    FUZZ_CHECK(dist.upstream.uidslen == 0);
    FUZZ_CHECK(std::memcmp(dist.upstream.uid, untouched.upstream.uid, sizeof dist.upstream.uid) ==
               0);
  }
  return 0;
}
