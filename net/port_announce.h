// SPDX-License-Identifier: Apache-2.0
// The TCP service that tells clients the distribution socket's port.
#pragma once

#include "net/client_table.h"

namespace morvix {

// Opens tfd: TCP, non-blocking, SO_REUSEADDR, all addresses, the low 16 bits
// of ct_port, backlog 10. Ends the process through fatal on failure, with
// the port and the system's reason on the line after the message.
void tcp_server_setup(Distribution& dist);

constexpr int kConnectionsPerCall = 16;

// Serves the waiting connections, at most kConnectionsPerCall of them, in
// arrival order: for each prints "got tcp request", sends cd_port as
// "%d\r\n" in one send (never raising SIGPIPE) and closes it. Reads
// nothing from the client. Returns at once when none is waiting; the main
// loop calls it only when its wait says the listener is ready.
void process_tcp_connections(Distribution& dist);

}  // namespace morvix
