// SPDX-License-Identifier: Apache-2.0
// A mosquitto broker of the test's own on a free loopback port, and a
// subscriber that collects what it sends, for the MQTT bridge's tests.
#pragma once

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/udp_test_util.h"

namespace morvix::test {

// The program's path, or empty when it is not installed.
inline std::string installed(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/"}) {
    if (access((dir + name).c_str(), X_OK) == 0) return dir + name;
  }
  return "";
}

// Whether holds() comes true within timeout_ms.
inline bool eventually(const std::function<bool()>& holds, int timeout_ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!holds()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A mosquitto broker on a free loopback port, restartable on that port.
class Broker {
 public:
  explicit Broker(std::string extra = "allow_anonymous true\n") : extra_(std::move(extra)) {}
  int port() const { return port_; }
  const std::string& dir() const { return dir_.path(); }
  void start() {
    dir_.write("mosquitto.conf", "listener " + std::to_string(port_) + " 127.0.0.1\nuser " +
                                     getpwuid(geteuid())->pw_name + "\n" + extra_);
    process_ = std::make_unique<Process>(
        installed("mosquitto"), std::vector<std::string>{"-c", "mosquitto.conf"}, dir_.path());
    ASSERT_TRUE(eventually([&] { return accepting(); }, 5000)) << process_->err();
  }
  void stop() { process_->terminate(); }
  // Stopped, it keeps its connections open and answers nothing.
  void pause() { process_->signal(SIGSTOP); }
  void resume() { process_->signal(SIGCONT); }

 private:
  bool accepting() const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port_);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
  }
  ScratchDir dir_;
  int port_ = free_tcp_port();
  std::string extra_;
  std::unique_ptr<Process> process_;
};

struct Message {
  std::string topic, body;
  bool retained;
};

// Collects what the broker sends for a filter; libmosquitto's own thread
// runs it. A persistent session (id given) subscribes once and keeps its
// queue across a broker restart with persistence.
class Subscriber {
 public:
  Subscriber(int port, std::string filter, const std::string& id = "",
             const std::function<void(mosquitto*)>& setup = {})
      : filter_(std::move(filter)) {
    mosquitto_lib_init();
    m_ = mosquitto_new(id.empty() ? nullptr : id.c_str(), id.empty(), this);
    if (setup) setup(m_);
    mosquitto_connect_callback_set(m_, [](mosquitto* m, void* self, int rc) {
      auto* s = static_cast<Subscriber*>(self);
      if (rc == 0 && !s->subscribed_.exchange(true)) {
        mosquitto_subscribe(m, nullptr, s->filter_.c_str(), 1);
      }
    });
    mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard lock(s->mutex_);
      s->got_.push_back({msg->topic,
                         std::string(static_cast<const char*>(msg->payload),
                                     static_cast<size_t>(msg->payloadlen)),
                         msg->retain});
    });
    mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Subscriber*>(self)->ready_ = true;
    });
    mosquitto_reconnect_delay_set(m_, 1, 1, false);
    mosquitto_connect(m_, "127.0.0.1", port, 60);
    mosquitto_loop_start(m_);
    EXPECT_TRUE(eventually([&] { return ready_.load(); }, 5000)) << filter_;
  }
  ~Subscriber() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
    mosquitto_destroy(m_);
  }
  std::vector<Message> on(const std::string& topic) const {
    std::lock_guard lock(mutex_);
    std::vector<Message> picked;
    for (const Message& m : got_)
      if (m.topic == topic) picked.push_back(m);
    return picked;
  }
  bool has(const std::string& topic, const std::string& body, bool retained) const {
    for (const Message& m : on(topic))
      if (m.body == body && m.retained == retained) return true;
    return false;
  }
  bool waits_for(size_t count, const std::string& topic) const {
    return eventually([&] { return on(topic).size() >= count; });
  }

 private:
  std::string filter_;
  mosquitto* m_;
  std::atomic<bool> subscribed_{false}, ready_{false};
  mutable std::mutex mutex_;
  std::vector<Message> got_;
};

}  // namespace morvix::test
