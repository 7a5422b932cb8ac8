// SPDX-License-Identifier: Apache-2.0
// The optional HTTP listener (-m): /metrics for Prometheus, /stats.json, and
// the status page at /. Served by libmicrohttpd from the main loop, without
// threads: its one descriptor joins the loop's wait. Connections are limited
// in number, per address, in memory and in time, so idle, slow, oversize or
// garbage clients cost a slot for a few seconds, leave room for scrapes and
// never hold up decoding.
#pragma once

#include <cstdint>
#include <ctime>

#include "decoder/decoder.h"
#include "driver/main_loop.h"
#include "net/client_table.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace morvix {

constexpr unsigned kHttpConnections = 64;    // at once; more wait in the kernel's queue
constexpr unsigned kHttpPerAddress = 32;     // of them from one client address
constexpr unsigned kHttpTimeoutSeconds = 5;  // idle connections are closed after this
constexpr int kHttpRequestSeconds = 5;       // a request must be whole within this
constexpr size_t kHttpRequestBytes = 16384;  // request line and headers; more: 414 or 431
constexpr int kHttpRunsPerPass = 128;        // the listener's share of one pass of the loop

// A connection the listener has accepted. A request is timed from the
// connection's start, or from the end of the previous reply on a kept-alive
// connection, to the moment its headers are complete; activity does not
// restart the clock, so a trickling client is dropped like a silent one.
struct HttpConnection {
  MHD_Connection* connection = nullptr;  // null: the entry is free
  int fd = -1;
  std::time_t since = 0;  // clock_now() when the request began
  bool waiting = false;   // its request is not complete yet
};

struct StatusHttp {
  StatusHttp() = default;
  StatusHttp(const StatusHttp&) = delete;
  StatusHttp& operator=(const StatusHttp&) = delete;

  MHD_Daemon* daemon = nullptr;
  int fd = -1;                 // the library's epoll descriptor, for the main loop's wait
  std::time_t last_run = 0;    // clock_now() when time-outs were last looked at
  bool pending = false;        // the last run ended with work left for the next pass
  const Decoder* d = nullptr;  // what the pages show, owned by main
  const Distribution* dist = nullptr;
  const LoopState* loop = nullptr;
  HttpConnection connections[kHttpConnections];
};

// Listens on addr (network byte order) and port (host byte order) and
// remembers what to show. Returns 1, or 0 when it cannot listen there.
int status_http_open(StatusHttp& http, uint32_t addr, int port, const Decoder& d,
                     const Distribution& dist, const LoopState& loop);

// Serves the requests that are ready when ready is true, and at least once a
// second closes connections idle for kHttpTimeoutSeconds and drops those
// whose request is not whole kHttpRequestSeconds after it began. Runs the
// library until it has no work left that needs no new event, at most
// kHttpRunsPerPass times; the rest is done at the next call. Allocation happens only in
// here (the library's), while g_serving_http is true.
void status_http_run(StatusHttp& http, bool ready);

// True while the HTTP library runs, so that a test counting the main loop's
// heap use can tell the library's apart.
extern bool g_serving_http;

}  // namespace morvix
