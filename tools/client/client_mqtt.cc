// SPDX-License-Identifier: Apache-2.0
#include "tools/client/client_mqtt.h"

#include <mosquitto.h>
#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace morvix::client {

namespace {

constexpr int kKeepaliveSeconds = 60;
constexpr int kMaxBackoffSeconds = 30;
constexpr auto kMiscEvery = std::chrono::seconds(1);
constexpr auto kFinishLimit = std::chrono::seconds(5);

int ms_until(std::chrono::steady_clock::time_point when) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(when - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 3600 * 1000));
}

MqttBridge* bridge(void* data) { return static_cast<MqttBridge*>(data); }

}  // namespace

bool parse_mqtt_url(std::string_view text, MqttUrl& url, std::string& error) {
  error = "--mqtt takes mqtt://HOST[:PORT]/TOPIC or mqtts://HOST[:PORT]/TOPIC, not '" +
          std::string(text) + "'";
  url = {};
  if (text.starts_with("mqtts://")) {
    url.tls = true;
    text.remove_prefix(8);
  } else if (text.starts_with("mqtt://")) {
    text.remove_prefix(7);
  } else {
    return false;
  }
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view host = text.substr(0, slash);
  url.topic = text.substr(slash + 1);
  std::string_view port;
  if (host.starts_with('[')) {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') return false;
      port = host.substr(close + 2);
      if (port.empty()) return false;
    }
    host = host.substr(1, close - 1);
  } else if (const size_t colon = host.find(':'); colon != std::string_view::npos) {
    port = host.substr(colon + 1);
    host = host.substr(0, colon);
    if (port.empty()) return false;
  }
  url.host = host;
  url.port = url.tls ? 8883 : 1883;
  if (!port.empty()) {
    if (port.size() > 5) return false;
    url.port = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return false;
      url.port = url.port * 10 + (c - '0');
    }
  }
  if (url.host.empty() || url.port < 1 || url.port > 65535) return false;
  if (url.topic.empty() || url.topic.find_first_of("+#") != std::string::npos) {
    error = "--mqtt needs a topic without + or # after the host, not '" + url.topic + "'";
    return false;
  }
  error.clear();
  return true;
}

bool read_mqtt_auth(const std::string& path, std::string& user, std::string& password,
                    std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "can't read the MQTT user and password from " + path;
    return false;
  }
  std::getline(in, user);
  std::getline(in, password);
  for (std::string* line : {&user, &password}) {
    if (line->ends_with('\r')) line->pop_back();
  }
  if (user.empty()) {
    error = path + " needs the MQTT user name on its first line and the password on its second";
    return false;
  }
  return true;
}

MqttBridge::~MqttBridge() {
  if (mosq_ != nullptr) {
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
  }
}

bool MqttBridge::start(const std::string& url, const std::string& auth_file,
                       const std::string& ca_file, std::string& error) {
  if (!parse_mqtt_url(url, url_, error)) return false;
  status_topic_ = url_.topic + "/status";
  mosquitto_lib_init();
  mosq_ = mosquitto_new(nullptr, true, this);
  if (mosq_ == nullptr) {
    error = "can't set up an MQTT client";
    return false;
  }
  if (!auth_file.empty()) {
    std::string user, password;
    if (!read_mqtt_auth(auth_file, user, password, error)) return false;
    mosquitto_username_pw_set(mosq_, user.c_str(), password.empty() ? nullptr : password.c_str());
  }
  if (url_.tls) {
    const int rc = ca_file.empty() ? mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                                   : mosquitto_tls_set(mosq_, ca_file.c_str(), nullptr, nullptr,
                                                       nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      error = "can't use " + (ca_file.empty() ? "the system's CA certificates" : ca_file) +
              " for TLS: " + mosquitto_strerror(rc);
      return false;
    }
  }
  // Whatever ends the client unannounced, the broker says it for us.
  mosquitto_will_set(mosq_, status_topic_.c_str(), 7, "offline", 1, true);
  mosquitto_connect_callback_set(
      mosq_, [](mosquitto*, void* data, int code) { bridge(data)->connected(code); });
  mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* data, int code) {
    bridge(data)->lost(code == 0 ? "disconnected" : mosquitto_strerror(code));
  });
  mosquitto_publish_callback_set(mosq_,
                                 [](mosquitto*, void* data, int) { bridge(data)->published(); });
  attempt();
  return true;
}

void MqttBridge::publish(std::string_view body) {
  if (pending_ >= kMaxPending) {
    ++dropped_;
    return;
  }
  // Published while the broker is away, a message waits in libmosquitto's
  // queue and goes out after the reconnection.
  const int rc = mosquitto_publish(mosq_, nullptr, url_.topic.c_str(),
                                   static_cast<int>(body.size()), body.data(), 1, false);
  if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) {
    ++pending_;
  } else {
    ++dropped_;
  }
}

void MqttBridge::finish() {
  finishing_ = true;
  const auto until = Steady::now() + kFinishLimit;
  bool offline_sent = false;
  while (mosquitto_socket(mosq_) >= 0 && Steady::now() < until) {
    if (connected_ && !offline_sent) {
      offline_sent = mosquitto_publish(mosq_, nullptr, status_topic_.c_str(), 7, "offline", 1,
                                       true) == MOSQ_ERR_SUCCESS;
      if (offline_sent) ++pending_;
    }
    if (offline_sent && pending_ == 0) break;
    int fd = -1;
    pollfd polled{-1, poll_events(fd), 0};
    polled.fd = fd;
    poll(&polled, 1, std::min(100, ms_until(until)));
    serve(polled.revents);
  }
  if (connected_) {
    mosquitto_disconnect(mosq_);
  }
  if (pending_ > 0 || dropped_ > 0) {
    note(std::to_string(pending_ + dropped_) + " messages not delivered to the MQTT broker");
  }
}

short MqttBridge::poll_events(int& fd) {
  fd = mosquitto_socket(mosq_);
  return static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0));
}

int MqttBridge::due_ms() {
  if (finishing_ && mosquitto_socket(mosq_) < 0) return -1;
  return ms_until(mosquitto_socket(mosq_) >= 0 ? misc_at_ : retry_at_);
}

void MqttBridge::serve(short revents) {
  if (mosquitto_socket(mosq_) < 0) {
    if (up_) lost("the connection was lost");
    if (!finishing_ && Steady::now() >= retry_at_) attempt();
    return;
  }
  if (revents & (POLLIN | POLLERR | POLLHUP)) mosquitto_loop_read(mosq_, 1);
  if ((revents & POLLOUT) && mosquitto_socket(mosq_) >= 0) mosquitto_loop_write(mosq_, 1);
  if (Steady::now() >= misc_at_ && mosquitto_socket(mosq_) >= 0) {
    misc_at_ = Steady::now() + kMiscEvery;
    mosquitto_loop_misc(mosq_);  // keepalive pings, and their absence
  }
  if (mosquitto_socket(mosq_) < 0) lost("the connection was lost");
}

// One connection attempt; a failure now or later comes to lost().
void MqttBridge::attempt() {
  const int rc =
      started_ ? mosquitto_reconnect_async(mosq_)
               : mosquitto_connect_async(mosq_, url_.host.c_str(), url_.port, kKeepaliveSeconds);
  started_ = true;
  misc_at_ = Steady::now() + kMiscEvery;
  up_ = true;
  if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq_) < 0) lost(mosquitto_strerror(rc));
}

// The connection (or the attempt) has ended: try again after 1, 2, 4 ...
// up to 30 s. Queued messages stay queued.
void MqttBridge::lost(const std::string& why) {
  const bool was_connected = connected_;
  connected_ = false;
  if (!up_ || finishing_) return;
  up_ = false;
  backoff_ = was_connected ? 1 : std::min(std::max(1, 2 * backoff_), kMaxBackoffSeconds);
  retry_at_ = Steady::now() + std::chrono::seconds(backoff_);
  std::string reason = why;
  if (reason.ends_with('.')) reason.pop_back();  // libmosquitto's texts are sentences
  note("MQTT broker " + url_.host + ":" + std::to_string(url_.port) + ": " + reason +
       "; trying again in " + std::to_string(backoff_) + " s, keeping up to " +
       std::to_string(kMaxPending) + " messages");
}

void MqttBridge::published() {
  if (pending_ > 0) --pending_;
}

void MqttBridge::connected(int code) {
  if (code != 0) {
    // Reported here; the broker closes the connection next, and that
    // close says nothing more.
    lost(std::string("refused: ") + mosquitto_connack_string(code));
    return;
  }
  connected_ = true;
  backoff_ = 0;
  note("connected to MQTT broker " + url_.host + ":" + std::to_string(url_.port));
  if (dropped_ > 0) {
    note(std::to_string(dropped_) + " frames dropped while the MQTT broker was away");
    dropped_ = 0;
  }
  if (mosquitto_publish(mosq_, nullptr, status_topic_.c_str(), 6, "online", 1, true) ==
      MOSQ_ERR_SUCCESS) {
    ++pending_;
  }
}

void MqttBridge::note(const std::string& text) const {
  std::fprintf(stderr, "morvix-client: %s\n", text.c_str());
}

}  // namespace morvix::client
