// SPDX-License-Identifier: Apache-2.0
#include "tools/client/mqtt_connect.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <unistd.h>

#include <cerrno>

namespace morvix::client {

// What the thread hands back; it outlives the ConnectStart when left.
struct ConnectStart::Done {
  Done() {
    if (pipe2(wake, O_CLOEXEC) != 0) wake[0] = wake[1] = -1;
  }
  ~Done() {
    for (int fd : wake) {
      if (fd >= 0) close(fd);
    }
  }
  Done(const Done&) = delete;
  Done& operator=(const Done&) = delete;
  int wake[2];  // the thread writes one byte to wake[1] when it is done
  int rc = MOSQ_ERR_SUCCESS;
  int error = 0;
};

ConnectStart::~ConnectStart() {
  if (thread_.joinable()) thread_.join();
}

bool ConnectStart::begin(mosquitto* m, const std::string& host, int port, int keepalive) {
  auto done = std::make_shared<Done>();
  if (done->wake[0] < 0) return false;
  done_ = done;
  thread_ = std::thread([done, m, host, port, keepalive] {
    done->rc = mosquitto_connect_async(m, host.c_str(), port, keepalive);
    done->error = errno;
    const char byte = 1;
    if (write(done->wake[1], &byte, 1) < 0) {
      // Cannot happen while done holds the pipe; the attempt's deadline
      // would end it.
    }
  });
  return true;
}

int ConnectStart::fd() const { return done_ != nullptr ? done_->wake[0] : -1; }

int ConnectStart::end(int& error) {
  char byte;
  if (read(done_->wake[0], &byte, 1) < 0) {
    // Readable means the byte is there.
  }
  thread_.join();
  const int rc = done_->rc;
  error = done_->error;
  done_.reset();
  return rc;
}

void ConnectStart::leave() {
  if (thread_.joinable()) thread_.detach();
}

}  // namespace morvix::client
