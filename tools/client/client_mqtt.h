// SPDX-License-Identifier: Apache-2.0
// morvix-client's MQTT bridge: every frame as one message on a broker's
// topic, the client's presence on TOPIC/status. libmosquitto is driven from
// the client's own waits (client_link's Sideline), never from a thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "tools/client/client_link.h"

struct mosquitto;

namespace morvix::client {

struct MqttUrl {
  bool tls = false;
  std::string host;
  int port = 0;  // 1883, or 8883 with TLS, unless given
  std::string topic;
};

// "mqtt://HOST[:PORT]/TOPIC" or "mqtts://..."; HOST may be an IPv6 address
// in brackets. The topic is non-empty and has no wildcard (+ #). false with
// the reason in error for anything else.
bool parse_mqtt_url(std::string_view text, MqttUrl& url, std::string& error);

// The user name from the first line of the file at path, the password from
// the second (a trailing CR is dropped). false with the reason in error when
// the file cannot be read or the user name is empty.
bool read_mqtt_auth(const std::string& path, std::string& user, std::string& password,
                    std::string& error);

class MqttBridge : public Sideline {
 public:
  // Frames published while not acknowledged (broker slow or away) are kept
  // up to this many; newer ones are dropped and counted.
  static constexpr int kMaxPending = 1000;

  MqttBridge() = default;
  ~MqttBridge() override;
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // Sets up the connection to url (auth_file and ca_file may be empty) and
  // starts connecting. false with the reason in error for what retrying
  // cannot mend (a bad URL, an unreadable file); a broker that cannot be
  // reached is tried again with a back-off instead.
  bool start(const std::string& url, const std::string& auth_file, const std::string& ca_file,
             std::string& error);

  // Publishes body on the topic (QoS 1), or counts it as dropped when
  // kMaxPending messages are already waiting.
  void publish(std::string_view body);

  // Before leaving: "offline" on the status topic, then up to 5 s for what
  // is waiting to be acknowledged, then a clean disconnect. Says on stderr
  // how many frames were not delivered.
  void finish();

  short poll_events(int& fd) override;
  int due_ms() override;
  void serve(short revents) override;

 private:
  using Steady = std::chrono::steady_clock;

  void attempt();
  void lost(const std::string& why);
  void published();
  void connected(int code);
  void note(const std::string& text) const;

  MqttUrl url_;
  std::string status_topic_;
  mosquitto* mosq_ = nullptr;
  bool started_ = false;    // the first attempt has been made
  bool up_ = false;         // connected or connecting
  bool connected_ = false;  // the broker has accepted us
  bool finishing_ = false;
  int backoff_ = 0;  // seconds
  Steady::time_point retry_at_{};
  Steady::time_point misc_at_{};
  int pending_ = 0;        // published, not yet acknowledged
  long long dropped_ = 0;  // since the last report
};

}  // namespace morvix::client
