// SPDX-License-Identifier: Apache-2.0
#include "runtime/socket_buffer.h"

#include <sys/socket.h>

namespace morvix {

void ask_socket_buffer(int fd, SocketBuffer which, int bytes) {
  const bool receive = which == SocketBuffer::kReceive;
  if (setsockopt(fd, SOL_SOCKET, receive ? SO_RCVBUFFORCE : SO_SNDBUFFORCE, &bytes, sizeof bytes) <
      0) {
    setsockopt(fd, SOL_SOCKET, receive ? SO_RCVBUF : SO_SNDBUF, &bytes, sizeof bytes);
  }
}

}  // namespace morvix
