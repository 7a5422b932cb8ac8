// SPDX-License-Identifier: Apache-2.0
#include "tools/client/client_mqtt.h"

#include <mosquitto.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

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

// libmosquitto's reason for rc; error is errno as the failing call left it.
std::string reason(int rc, int error) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(error);
  if (rc == MOSQ_ERR_EAI) return std::string("can't look the name up: ") + gai_strerror(error);
  std::string text = mosquitto_strerror(rc);
  if (text.ends_with('.')) text.pop_back();  // libmosquitto's texts are sentences
  return text;
}

}  // namespace

MqttBridge::~MqttBridge() {
  if (connect_.running()) return;  // left behind by finish(), with the library in use
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
  mosquitto_lib_cleanup();
}

bool MqttBridge::start(const std::string& url, const std::string& auth_file,
                       const std::string& ca_file, int queue, std::string& error) {
  if (!parse_mqtt_url(url, url_, error)) return false;
  status_topic_ = url_.topic + "/status";
  queue_.limit = static_cast<size_t>(std::max(1, queue));
  ca_file_ = ca_file;
  if (!auth_file.empty() && !read_mqtt_auth(auth_file, user_, password_, error)) return false;
  mosquitto_lib_init();
  // The first attempt's object, made now, checks the settings once for all.
  mosq_ = fresh_client(error);
  if (mosq_ == nullptr) return false;
  attempt();
  return true;
}

// A client object of its own for each attempt: after a failed TLS
// connection libmosquitto's object is not fit for another.
mosquitto* MqttBridge::fresh_client(std::string& error) {
  mosquitto* m = mosquitto_new(nullptr, true, this);
  if (m == nullptr) {
    error = "can't set up an MQTT client";
    return nullptr;
  }
  if (!user_.empty()) {
    mosquitto_username_pw_set(m, user_.c_str(), password_.empty() ? nullptr : password_.c_str());
  }
  if (url_.tls) {
    const int rc = ca_file_.empty()
                       ? mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                       : mosquitto_tls_set(m, ca_file_.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      error = "can't use " + (ca_file_.empty() ? "the system's CA certificates" : ca_file_) +
              " for TLS: " + mosquitto_strerror(rc);
      mosquitto_destroy(m);
      return nullptr;
    }
  }
  // Whatever ends the client unannounced, the broker says it for us.
  mosquitto_will_set(m, status_topic_.c_str(), 7, "offline", 1, true);
  mosquitto_connect_callback_set(m, [](mosquitto*, void* data, int code) {
    auto* self = static_cast<MqttBridge*>(data);
    if (code == 0) {
      self->accepted_ = true;
    } else if (self->broken_.empty()) {
      // The broker closes the connection next; that says nothing more.
      self->broken_ = std::string("refused: ") + mosquitto_connack_string(code);
    }
  });
  mosquitto_disconnect_callback_set(m, [](mosquitto*, void* data, int code) {
    auto* self = static_cast<MqttBridge*>(data);
    if (self->broken_.empty()) self->broken_ = code == 0 ? "disconnected" : reason(code, errno);
  });
  mosquitto_publish_callback_set(m, [](mosquitto*, void* data, int mid) {
    static_cast<MqttBridge*>(data)->acknowledged(mid);
  });
  return m;
}

// Starts one attempt: the name lookup and the connect's first step on the
// worker's thread, the rest in serve().
void MqttBridge::attempt() {
  std::string error;
  if (mosq_ == nullptr) mosq_ = fresh_client(error);
  if (mosq_ == nullptr) {
    failed(error);
    return;
  }
  phase_ = Phase::kConnecting;
  accepted_ = false;
  broken_.clear();
  deadline_ = Steady::now() + kAttemptLimit;
  misc_at_ = Steady::now() + kMiscEvery;
  if (!connect_.begin(mosq_, url_.host, url_.port, kKeepaliveSeconds)) {
    failed(std::string("can't start a connection: ") + std::strerror(errno));
  }
}

// The worker's thread is done: the attempt goes on here, or its object goes.
void MqttBridge::attempt_started() {
  int error = 0;
  const int rc = connect_.end(error);
  if (abandoned_) {
    abandoned_ = false;
    drop_client();
  } else if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq_) < 0) {
    failed(reason(rc, error));
  } else {
    after_library(MOSQ_ERR_SUCCESS);
  }
}

void MqttBridge::publish(std::string_view body) {
  MqttQueue::Message* m = queue_push(queue_, body);
  if (m != nullptr && phase_ == Phase::kConnected) {
    send(*m);
    after_library(MOSQ_ERR_SUCCESS);
  }
}

void MqttBridge::send(MqttQueue::Message& m) {
  int mid = 0;
  const int rc = mosquitto_publish(mosq_, &mid, url_.topic.c_str(), static_cast<int>(m.body.size()),
                                   m.body.data(), 1, false);
  if (rc != MOSQ_ERR_SUCCESS) return;  // sent again on the next connection
  if (!awaiting_ack()) ack_since_ = Steady::now();
  queue_sent(queue_, m, mid);
}

void MqttBridge::station_up(bool up) {
  if (station_ == static_cast<int>(up)) return;
  station_ = up;
  if (phase_ == Phase::kConnected) {
    send_status();
    after_library(MOSQ_ERR_SUCCESS);
  }
}

void MqttBridge::send_status() {
  if (station_ < 0) return;
  const char* text = station_ == 1 ? "online" : "offline";
  int mid = 0;
  if (mosquitto_publish(mosq_, &mid, status_topic_.c_str(), static_cast<int>(std::strlen(text)),
                        text, 1, true) == MOSQ_ERR_SUCCESS) {
    if (!awaiting_ack()) ack_since_ = Steady::now();
    status_mid_ = mid;
  }
}

void MqttBridge::acknowledged(int mid) {
  ack_since_ = Steady::now();
  if (mid == status_mid_) {
    status_mid_ = 0;
  } else {
    queue_acknowledged(queue_, mid);
  }
}

void MqttBridge::finish() {
  finishing_ = true;
  station_ = 0;
  const auto until = Steady::now() + kFinishLimit;
  bool offline_sent = false;
  while (Steady::now() < until && (connect_.running() || mosq_ != nullptr)) {
    if (phase_ == Phase::kConnected && !offline_sent) {
      send_status();
      offline_sent = true;
    }
    if (offline_sent && queue_.messages.empty() && status_mid_ == 0) break;
    int fd = -1;
    pollfd polled{-1, poll_events(fd), 0};
    polled.fd = fd;
    const int due = due_ms();
    poll(&polled, 1, std::min({100, ms_until(until), due < 0 ? 100 : due}));
    serve(polled.revents);
  }
  if (phase_ == Phase::kConnected) mosquitto_disconnect(mosq_);
  // A name lookup that has not answered is left to the end of the process.
  if (connect_.running()) {
    connect_.leave();
    mosq_ = nullptr;
  }
  const long long lost = queue_.dropped + static_cast<long long>(queue_.messages.size());
  if (lost > 0) note(std::to_string(lost) + " messages not delivered to the MQTT broker");
}

short MqttBridge::poll_events(int& fd) {
  if (connect_.running()) {
    fd = connect_.fd();
    return POLLIN;
  }
  fd = mosq_ != nullptr ? mosquitto_socket(mosq_) : -1;
  if (fd < 0) return 0;
  return static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0));
}

int MqttBridge::due_ms() {
  auto at = Steady::time_point::max();
  if (connect_.running()) {
    if (!abandoned_) at = deadline_;
  } else if (mosq_ != nullptr) {
    at = misc_at_;
    if (phase_ == Phase::kConnecting) at = std::min(at, deadline_);
    if (phase_ == Phase::kConnected && awaiting_ack()) at = std::min(at, ack_since_ + kAckLimit);
  } else if (!finishing_) {
    at = retry_at_;
  }
  if (queue_.untold > 0) at = std::min(at, queue_.tell_at);
  return at == Steady::time_point::max() ? -1 : ms_until(at);
}

void MqttBridge::serve(short revents) {
  const auto now = Steady::now();
  if (connect_.running()) {
    if (revents & POLLIN) {
      attempt_started();
    } else if (!abandoned_ && now >= deadline_) {
      failed("no connection within " + std::to_string(kAttemptLimit.count()) + " s");
    }
  } else if (mosq_ != nullptr) {
    // A refused connect while the TLS handshake waits is not noticed by
    // libmosquitto: it would be polled for again and again until the deadline.
    int error = 0;
    socklen_t length = sizeof error;
    if (phase_ == Phase::kConnecting && (revents & (POLLERR | POLLHUP)) &&
        getsockopt(mosquitto_socket(mosq_), SOL_SOCKET, SO_ERROR, &error, &length) == 0) {
      failed(error != 0 ? std::strerror(error) : "the connection was refused or closed");
      return;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (revents & (POLLIN | POLLERR | POLLHUP)) rc = mosquitto_loop_read(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && (revents & POLLOUT) && mosquitto_socket(mosq_) >= 0) {
      rc = mosquitto_loop_write(mosq_, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && now >= misc_at_ && mosquitto_socket(mosq_) >= 0) {
      misc_at_ = now + kMiscEvery;
      rc = mosquitto_loop_misc(mosq_);  // keepalive pings, and their absence
    }
    after_library(rc);
    if (mosq_ != nullptr && phase_ == Phase::kConnecting && now >= deadline_) {
      failed("no answer within " + std::to_string(kAttemptLimit.count()) + " s");
    } else if (mosq_ != nullptr && phase_ == Phase::kConnected && awaiting_ack() &&
               now >= ack_since_ + kAckLimit) {
      failed("nothing acknowledged for " + std::to_string(kAckLimit.count()) + " s");
    }
  } else if (!finishing_ && now >= retry_at_) {
    attempt();
  }
  tell_drops();
}

// Acts on what the callbacks saw during a call into libmosquitto.
void MqttBridge::after_library(int rc) {
  if (mosq_ == nullptr || connect_.running()) return;
  const int error = errno;
  if (accepted_) {
    accepted_ = false;
    phase_ = Phase::kConnected;
    backoff_ = 0;
    note("connected to MQTT broker " + url_.host + ":" + std::to_string(url_.port));
    send_status();
    for (MqttQueue::Message& m : queue_.messages) send(m);
  }
  if (!broken_.empty()) {
    failed(broken_);
  } else if (rc != MOSQ_ERR_SUCCESS) {
    failed(reason(rc, error));
  } else if (mosquitto_socket(mosq_) < 0) {
    failed("the connection was lost");
  }
}

// The connection (or the attempt) has ended: try again after 1, 2, 4 ...
// up to 30 s, with a fresh object. Messages not acknowledged are kept and
// sent again on the next connection.
void MqttBridge::failed(std::string why) {
  const bool was_connected = phase_ == Phase::kConnected;
  drop_client();
  phase_ = Phase::kIdle;
  queue_unsend(queue_);
  status_mid_ = 0;
  if (finishing_) return;
  backoff_ = was_connected ? 1 : std::min(std::max(1, 2 * backoff_), kMaxBackoffSeconds);
  retry_at_ = Steady::now() + std::chrono::seconds(backoff_);
  note("MQTT broker " + url_.host + ":" + std::to_string(url_.port) + ": " + why +
       "; trying again in " + std::to_string(backoff_) + " s, keeping up to " +
       std::to_string(queue_.limit) + " messages");
}

// The worker's object is dropped once its thread ends.
void MqttBridge::drop_client() {
  if (connect_.running()) {
    abandoned_ = true;
    return;
  }
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
  mosq_ = nullptr;
}

void MqttBridge::tell_drops() {
  const long long count = queue_drops_to_tell(queue_, Steady::now());
  if (count == 0) return;
  note("MQTT broker " + url_.host + ":" + std::to_string(url_.port) + ": " + std::to_string(count) +
       " messages dropped, " + std::to_string(queue_.messages.size()) + " already waiting for it");
}

void MqttBridge::note(const std::string& text) const {
  std::fprintf(stderr, "morvix-client: %s\n", text.c_str());
}

}  // namespace morvix::client
