// SPDX-License-Identifier: Apache-2.0
// The messages the MQTT bridge keeps until the broker acknowledges them,
// and the count of those there was no room for, told while running.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace morvix::client {

struct MqttQueue {
  using Steady = std::chrono::steady_clock;
  // Drops are told a second after the first, so that a burst comes as one
  // count, and at most this often.
  static constexpr auto kTellEvery = std::chrono::seconds(10);
  struct Message {
    std::string body;
    int mid = 0;  // its id on the connection it was sent on; 0: not sent on this one
  };

  size_t limit = 1000;
  std::deque<Message> messages;  // oldest first
  int sent = 0;                  // of them, sent on this connection
  long long dropped = 0;         // in the whole run
  long long untold = 0;          // since the last report
  Steady::time_point told_at{};  // of the last report
  Steady::time_point tell_at{};  // of the next, while some are untold
};

// Appends body and returns it, or, with `limit` messages already kept,
// counts it as dropped and returns nullptr.
MqttQueue::Message* queue_push(MqttQueue& q, std::string_view body);

// Records that the message was sent as mid.
void queue_sent(MqttQueue& q, MqttQueue::Message& m, int mid);

// Forgets the message sent as mid; false when none was.
bool queue_acknowledged(MqttQueue& q, int mid);

// The connection has ended: every message is to be sent on the next.
void queue_unsend(MqttQueue& q);

// Drops not yet told that are due to be at now: returns their count and
// starts counting anew, else 0.
long long queue_drops_to_tell(MqttQueue& q, MqttQueue::Steady::time_point now);

}  // namespace morvix::client
