// SPDX-License-Identifier: Apache-2.0
#include "driver/status_http.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "driver/metrics.h"
#include "driver/status_page.h"
#include "runtime/clock.h"
#include "runtime/ipv4.h"

namespace morvix {

bool g_serving_http = false;

namespace {

// Rendered here, then copied by the library into its response.
char g_body[kMetricsBytes];

MHD_Result send(MHD_Connection* connection, unsigned status, const char* type, const char* body,
                size_t length) {
  MHD_Response* response =
      MHD_create_response_from_buffer(length, const_cast<char*>(body), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  }
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

// The entry that notify_connection gave the connection, or null.
HttpConnection* entry(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? static_cast<HttpConnection*>(info->socket_context) : nullptr;
}

// Every accepted connection takes an entry, and frees it when it closes.
void notify_connection(void* cls, MHD_Connection* connection, void** socket_context,
                       MHD_ConnectionNotificationCode code) {
  StatusHttp& http = *static_cast<StatusHttp*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    if (*socket_context != nullptr) *static_cast<HttpConnection*>(*socket_context) = {};
    return;
  }
  *socket_context = nullptr;
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info == nullptr) return;
  // There is an entry for every connection the library may hold.
  for (HttpConnection& c : http.connections) {
    if (c.connection == nullptr) {
      c = {connection, info->connect_fd, clock_now(), true};
      *socket_context = &c;
      return;
    }
  }
}

// A reply has gone out: on a kept-alive connection the next request's time starts.
void request_completed(void*, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
  if (HttpConnection* c = entry(connection)) {
    c->since = clock_now();
    c->waiting = true;
  }
}

// Ends the requests that are not whole in time. The library reads the end
// of the stream at its next run and closes the connection.
void drop_late_requests(StatusHttp& http, std::time_t now) {
  for (HttpConnection& c : http.connections) {
    if (c.connection != nullptr && c.waiting && now - c.since >= kHttpRequestSeconds) {
      shutdown(c.fd, SHUT_RDWR);
      c.waiting = false;
    }
  }
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t*, void**) {
  const StatusHttp& http = *static_cast<const StatusHttp*>(cls);
  if (HttpConnection* c = entry(connection)) c->waiting = false;  // the headers are complete
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
      std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    static const char kNotAllowed[] = "only GET and HEAD\n";
    return send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain", kNotAllowed,
                sizeof kNotAllowed - 1);
  }
  if (std::strcmp(url, "/metrics") == 0) {
    const size_t n = render_metrics(g_body, sizeof g_body, *http.d, *http.dist, *http.loop);
    return send(connection, MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8", g_body, n);
  }
  if (std::strcmp(url, "/stats.json") == 0) {
    const size_t n = render_stats_json(g_body, sizeof g_body, *http.d, *http.dist, *http.loop);
    return send(connection, MHD_HTTP_OK, "application/json", g_body, n);
  }
  if (std::strcmp(url, "/") == 0) {
    return send(connection, MHD_HTTP_OK, "text/html; charset=utf-8", kStatusPage,
                sizeof kStatusPage - 1);
  }
  static const char kNotFound[] = "not found: try /, /metrics or /stats.json\n";
  return send(connection, MHD_HTTP_NOT_FOUND, "text/plain", kNotFound, sizeof kNotFound - 1);
}

}  // namespace

int status_http_open(StatusHttp& http, uint32_t addr, int port, const Decoder& d,
                     const Distribution& dist, const LoopState& loop) {
  http.d = &d;
  http.dist = &dist;
  http.loop = &loop;
  sockaddr_in at = ipv4_address(addr, htons(static_cast<uint16_t>(port)));
  // No thread of its own: the main loop waits on its epoll descriptor. The
  // port is not shared: a second station on it must fail to start, not
  // take half of the scrapes.
  http.daemon = MHD_start_daemon(
      MHD_USE_EPOLL, static_cast<uint16_t>(port), nullptr, nullptr, &answer, &http,
      MHD_OPTION_SOCK_ADDR, &at, MHD_OPTION_CONNECTION_LIMIT, kHttpConnections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kHttpPerAddress, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      kHttpRequestBytes, MHD_OPTION_CONNECTION_TIMEOUT, kHttpTimeoutSeconds,
      MHD_OPTION_NOTIFY_CONNECTION, &notify_connection, &http, MHD_OPTION_NOTIFY_COMPLETED,
      &request_completed, nullptr, MHD_OPTION_END);
  if (http.daemon == nullptr) return 0;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(http.daemon, MHD_DAEMON_INFO_EPOLL_FD);
  if (info == nullptr) {
    MHD_stop_daemon(http.daemon);
    http.daemon = nullptr;
    return 0;
  }
  http.fd = info->epoll_fd;
  http.last_run = clock_now();
  return 1;
}

void status_http_run(StatusHttp& http, bool ready) {
  const std::time_t now = clock_now();
  if (!ready && !http.pending && now == http.last_run) return;
  http.last_run = now;
  g_serving_http = true;
  drop_late_requests(http, now);
  // The library's descriptor signals only new events: a connection that
  // has more to read or write than one run takes is served again at once
  // (a timeout of 0), or its request would sit in the kernel's buffers.
  MHD_UNSIGNED_LONG_LONG wait_ms = 0;
  int runs = 0;
  do {
    MHD_run(http.daemon);
  } while (++runs < kHttpRunsPerPass && MHD_get_timeout(http.daemon, &wait_ms) == MHD_YES &&
           wait_ms == 0);
  http.pending = runs == kHttpRunsPerPass;
  g_serving_http = false;
}

}  // namespace morvix
