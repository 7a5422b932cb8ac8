// SPDX-License-Identifier: Apache-2.0
// The start of a libmosquitto connection without blocking the caller: the
// library looks the broker's name up inside its connect call and cannot be
// made not to block there, so that call runs on a thread of its own, on an
// object nothing else touches until the thread is done.
#pragma once

#include <memory>
#include <string>
#include <thread>

struct mosquitto;

namespace morvix::client {

class ConnectStart {
 public:
  ConnectStart() = default;
  ~ConnectStart();  // waits for a thread not left behind
  ConnectStart(const ConnectStart&) = delete;
  ConnectStart& operator=(const ConnectStart&) = delete;

  // Runs mosquitto_connect_async(m, host, port, keepalive) on a thread.
  // false, with errno set, when it cannot (then nothing runs).
  bool begin(mosquitto* m, const std::string& host, int port, int keepalive);
  // A thread has begun and has not been ended.
  bool running() const { return done_ != nullptr; }
  // Becomes readable once the thread is done; -1 while none runs.
  int fd() const;
  // After fd() became readable: the call's result, and errno as it left it.
  int end(int& error);
  // Leaves a thread that is still running to the end of the process, with
  // its object.
  void leave();

 private:
  struct Done;
  std::shared_ptr<Done> done_;  // shared with the thread
  std::thread thread_;
};

}  // namespace morvix::client
