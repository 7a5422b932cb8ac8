// SPDX-License-Identifier: Apache-2.0
// morvix-client's MQTT bridge: every frame as one message on a broker's
// topic, whether frames can flow on TOPIC/status. libmosquitto is driven
// from the client's own waits (client_link's Sideline), except for the
// start of each connection attempt, which looks the broker's name up
// (mqtt_connect.h).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "tools/client/client_link.h"
#include "tools/client/mqtt_connect.h"
#include "tools/client/mqtt_queue.h"
#include "tools/client/mqtt_settings.h"

struct mosquitto;

namespace morvix::client {

class MqttBridge : public Sideline {
 public:
  static constexpr int kDefaultQueue = 1000;
  // One connection attempt, the name lookup included, gets this long to be
  // accepted by the broker.
  static constexpr auto kAttemptLimit = std::chrono::seconds(10);
  // A connection whose broker acknowledges nothing for this long while
  // messages wait is given up and made anew.
  static constexpr auto kAckLimit = std::chrono::seconds(20);

  MqttBridge() = default;
  ~MqttBridge() override;
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // Takes the settings (auth_file and ca_file may be empty; queue: how many
  // unacknowledged messages are kept, at least 1) and starts connecting.
  // false with the reason in error for what retrying cannot mend (a bad
  // URL, an unreadable file); a broker that cannot be reached is tried again
  // with a back-off instead.
  bool start(const std::string& url, const std::string& auth_file, const std::string& ca_file,
             int queue, std::string& error);

  // Publishes body on the topic (QoS 1) now or on the next connection, or
  // drops it when `queue` messages already wait; drops are told on stderr
  // while running, with their count (mqtt_queue.h says when).
  void publish(std::string_view body);

  // Whether frames can flow from the daemon: TOPIC/status says online or
  // offline (retained) as soon as it changes, and on every connection once
  // it is known.
  void station_up(bool up);

  // Before leaving: offline on the status topic, then up to 5 s for what
  // is waiting to be acknowledged, then a clean disconnect. Says on stderr
  // how many messages were not delivered in the whole run.
  void finish();

  short poll_events(int& fd) override;
  int due_ms() override;
  void serve(short revents) override;

 private:
  using Steady = std::chrono::steady_clock;
  enum class Phase { kIdle, kConnecting, kConnected };

  mosquitto* fresh_client(std::string& error);
  void attempt();
  void attempt_started();
  void after_library(int rc);
  void failed(std::string why);
  void drop_client();
  void send(MqttQueue::Message& m);
  void send_status();
  void acknowledged(int mid);
  bool awaiting_ack() const { return queue_.sent > 0 || status_mid_ != 0; }
  void tell_drops();
  void note(const std::string& text) const;

  MqttUrl url_;
  std::string status_topic_;
  std::string user_, password_, ca_file_;

  mosquitto* mosq_ = nullptr;  // this attempt's or connection's; connect_'s while it runs
  Phase phase_ = Phase::kIdle;
  ConnectStart connect_;
  bool abandoned_ = false;  // the attempt connect_ runs has timed out: drop its object after
  // What libmosquitto's callbacks saw, acted on after its call returns.
  bool accepted_ = false;
  std::string broken_;

  bool finishing_ = false;
  int station_ = -1;  // frames can flow: 1, cannot: 0, not known yet: -1
  int backoff_ = 0;   // seconds
  Steady::time_point retry_at_{};
  Steady::time_point deadline_{};  // of the attempt under way
  Steady::time_point misc_at_{};
  Steady::time_point ack_since_{};  // acknowledgements awaited since then

  MqttQueue queue_;     // published, not yet acknowledged
  int status_mid_ = 0;  // the status message awaiting its acknowledgement; 0: none
};

}  // namespace morvix::client
