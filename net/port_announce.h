// The TCP service that tells clients the distribution socket's port.
#pragma once

#include "net/client_table.h"

namespace morvix {

// Opens tfd: TCP, non-blocking, SO_REUSEADDR, all addresses, the low 16 bits
// of ct_port, backlog 10. Ends the process through fatal on failure.
void tcp_server_setup(Distribution& dist);

// Serves at most one waiting connection: prints "got tcp request", sends
// cd_port as "%d\r\n" in one send (never raising SIGPIPE), closes it.
// Reads nothing from the client.
void process_tcp_connections(Distribution& dist);

}  // namespace morvix
