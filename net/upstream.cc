// SPDX-License-Identifier: Apache-2.0
#include "net/upstream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace morvix {

namespace {

constexpr int kUidDigits = 40;
constexpr int kUidLineBytes = 2048;

bool is_uid_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

int get_uid(Distribution& dist, const char* path) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) {
    std::fprintf(stderr, "can't locate uid file \"%s\"\n", path);
    return 0;
  }
  char line[kUidLineBytes];
  if (std::fgets(line, sizeof line, f) == nullptr) line[0] = '\0';
  std::fclose(f);

  int count = 0;
  for (const char* p = line; *p != '\0' && *p != '\r' && *p != '\n'; ++p) {
    if (!is_uid_digit(*p)) {
      std::fputs("uid format error\n", stderr);
      return 0;
    }
    ++count;
  }
  if (count != kUidDigits) {
    std::fputs("uid format error\n", stderr);
    return 0;
  }

  dist.upstream.uidslen =
      std::snprintf(dist.upstream.uid, sizeof dist.upstream.uid, "*uid:%.*s:", kUidDigits, line);
  return 1;
}

int lookup_vorn_dns(Distribution& dist, const char* host) {
  client_slot& upstream = dist.table.clients[0];
  dist.upstream.vorn_host = host;
  const hostent* he = gethostbyname(host);
  if (he == nullptr || he->h_addrtype != AF_INET || he->h_addr_list[0] == nullptr) {
    upstream.stamp = 0;
    if (dist.upstream.vorn_failures++ == 0) {
      std::fprintf(stderr,
                   "upstream host \"%s\" not found (%s); trying again about every 16 minutes\n",
                   host, he == nullptr ? hstrerror(h_errno) : "no IPv4 address");
    }
    return 0;
  }
  std::memcpy(&upstream.addr, he->h_addr_list[0], sizeof upstream.addr);
  upstream.port = htons(kUpstreamPort);
  upstream.stamp = 1;
  dist.table.active_clients = 1;
  dist.upstream.vorn_found = 1;
  if (dist.upstream.vorn_failures > 0) {
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, he->h_addr_list[0], address, sizeof address);
    std::fprintf(stderr, "upstream host \"%s\" found at %s\n", host, address);
  }
  return 1;
}

void send_vorn_uid(Distribution& dist) {
  ++dist.stats.identity_announcements;
  send_to_slot(dist, dist.table.clients[0], dist.upstream.uid,
               static_cast<size_t>(dist.upstream.uidslen));
}

}  // namespace morvix
