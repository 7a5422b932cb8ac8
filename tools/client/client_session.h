// SPDX-License-Identifier: Apache-2.0
// One run of morvix-client: learn the distribution port, register, keep the
// registration alive, print every frame, find the daemon again when it goes
// away, and say DISCONNECT when leaving.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "tools/client/client_format.h"
#include "tools/client/client_mqtt.h"
#include "tools/client/client_options.h"

namespace morvix::client {

class Client {
 public:
  // wake_fd becomes readable when the client should leave (a signal came).
  // mqtt, when not null, is sent every frame too, told whether frames can
  // flow from the daemon, and finished on leaving.
  Client(const Options& options, int wake_fd, MqttBridge* mqtt = nullptr)
      : o_(options), wake_fd_(wake_fd), mqtt_(mqtt) {}
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Runs until the count is reached, a signal comes or a failure; returns
  // the exit status: 0 done or stopped, 1 a timeout or a failed file or socket.
  int run();

 private:
  using Steady = std::chrono::steady_clock;

  int register_once();
  int serve();
  int receive();
  int print(Frame frame, WallClock::time_point received);
  void lost(const std::string& why);
  void unreachable();
  void back_off();
  void station(bool up);  // tells the MQTT bridge whether frames can flow
  int timed_out();
  int leave(int status);
  int fail(const std::string& what);
  bool send_text(const char* text) const;
  Steady::time_point frame_deadline() const;
  std::string daemon_name() const;

  const Options& o_;
  int wake_fd_;
  MqttBridge* mqtt_;
  std::FILE* raw_ = nullptr;
  int udp_ = -1;
  sockaddr_in daemon_{};
  bool registered_ = false;
  bool trouble_ = false;      // something went wrong since the last registration
  int backoff_ = 0;           // seconds to wait before the next attempt
  bool slot_warned_ = false;  // said that the daemon may have no slot, heard nothing since
  long long frames_ = 0;
  Steady::time_point last_heard_{};
  Steady::time_point last_refresh_{};
  Steady::time_point last_frame_{};
};

}  // namespace morvix::client
