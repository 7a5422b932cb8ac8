// SPDX-License-Identifier: Apache-2.0
// Socket buffers larger than the system's default.
#pragma once

namespace morvix {

enum class SocketBuffer { kReceive, kSend };

// Asks for a buffer of bytes on fd: beyond the system's limit
// (net.core.rmem_max, wmem_max) only a privileged process gets it, so
// otherwise the plain request takes what the limit allows.
void ask_socket_buffer(int fd, SocketBuffer which, int bytes);

}  // namespace morvix
