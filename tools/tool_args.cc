// SPDX-License-Identifier: Apache-2.0
#include "tools/tool_args.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace morvix::tool {

namespace {

const char* g_program = "morvix";

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

}  // namespace

void set_program(const char* name) { g_program = name; }

void bad_arguments(const std::string& message) {
  std::fprintf(stderr, "%s: %s\ntry '%s --help'\n", g_program, message.c_str(), g_program);
  std::exit(2);
}

void print_version() {
  std::printf("%s %s\n", g_program, MORVIX_VERSION);
  std::exit(0);
}

void failed(const std::string& what) {
  std::fprintf(stderr, "%s: %s: %s\n", g_program, what.c_str(), std::strerror(errno));
  std::exit(1);
}

long long integer_option(const std::string& name, std::string_view text, long long min,
                         long long max, int base) {
  const auto value = to_integer(text, base);
  if (!value || *value < min || *value > max) {
    bad_arguments(name + " takes a whole number from " + std::to_string(min) + " to " +
                  std::to_string(max) + ", not '" + std::string(text) + "'");
  }
  return *value;
}

double number_option(const std::string& name, const std::string& text, double min, double max) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= min && value <= max)) {
    char range[64];
    std::snprintf(range, sizeof range, " takes a number from %g to %g, not '", min, max);
    bad_arguments(name + range + text + "'");
  }
  return value;
}

double fraction_option(const std::string& name, const std::string& text) {
  return number_option(name, text, 0.0, 1.0);
}

int resolve_ipv4(const std::string& host, int port, sockaddr_in& out, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the daemon serves IPv4 only
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    error = gai_strerror(rc);
    return 0;
  }
  std::memcpy(&out, found->ai_addr, sizeof out);
  out.sin_port = htons(static_cast<uint16_t>(port));
  freeaddrinfo(found);
  return 1;
}

}  // namespace morvix::tool
