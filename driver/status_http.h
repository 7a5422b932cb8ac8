// SPDX-License-Identifier: Apache-2.0
// The optional HTTP listener (-m): /metrics for Prometheus, /stats.json, and
// the status page at /. Served by libmicrohttpd from the main loop, without
// threads: its one descriptor joins the loop's wait. Connections are limited
// in number and time, so idle, slow or garbage clients cost a slot for a
// few seconds and never hold up decoding.
#pragma once

#include <cstdint>
#include <ctime>

#include "decoder/decoder.h"
#include "driver/main_loop.h"
#include "net/client_table.h"

struct MHD_Daemon;

namespace morvix {

constexpr unsigned kHttpConnections = 16;    // at once; more wait in the kernel's queue
constexpr unsigned kHttpTimeoutSeconds = 5;  // idle connections are closed after this

struct StatusHttp {
  StatusHttp() = default;
  StatusHttp(const StatusHttp&) = delete;
  StatusHttp& operator=(const StatusHttp&) = delete;

  MHD_Daemon* daemon = nullptr;
  int fd = -1;                 // the library's epoll descriptor, for the main loop's wait
  std::time_t last_run = 0;    // clock_now() when time-outs were last looked at
  const Decoder* d = nullptr;  // what the pages show, owned by main
  const Distribution* dist = nullptr;
  const LoopState* loop = nullptr;
};

// Listens on addr (network byte order) and port (host byte order) and
// remembers what to show. Returns 1, or 0 when it cannot listen there.
int status_http_open(StatusHttp& http, uint32_t addr, int port, const Decoder& d,
                     const Distribution& dist, const LoopState& loop);

// Serves the requests that are ready when ready is true, and at least once a
// second closes connections past their time-out. Allocation happens only in
// here (the library's), while g_serving_http is true.
void status_http_run(StatusHttp& http, bool ready);

// True while the HTTP library runs, so that a test counting the main loop's
// heap use can tell the library's apart.
extern bool g_serving_http;

}  // namespace morvix
