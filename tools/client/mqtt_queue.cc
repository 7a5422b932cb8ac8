// SPDX-License-Identifier: Apache-2.0
#include "tools/client/mqtt_queue.h"

#include <algorithm>

namespace morvix::client {

MqttQueue::Message* queue_push(MqttQueue& q, std::string_view body) {
  if (q.messages.size() >= q.limit) {
    ++q.dropped;
    if (q.untold++ == 0) {
      q.tell_at = std::max(MqttQueue::Steady::now() + std::chrono::seconds(1),
                           q.told_at + MqttQueue::kTellEvery);
    }
    return nullptr;
  }
  q.messages.push_back({std::string(body), 0});
  return &q.messages.back();
}

void queue_sent(MqttQueue& q, MqttQueue::Message& m, int mid) {
  if (m.mid == 0) ++q.sent;
  m.mid = mid;
}

bool queue_acknowledged(MqttQueue& q, int mid) {
  // Acknowledgements come in order, nearly always for the oldest.
  const auto m = std::find_if(q.messages.begin(), q.messages.end(),
                              [mid](const MqttQueue::Message& k) { return k.mid == mid; });
  if (m == q.messages.end()) return false;
  q.messages.erase(m);
  --q.sent;
  return true;
}

void queue_unsend(MqttQueue& q) {
  for (MqttQueue::Message& m : q.messages) m.mid = 0;
  q.sent = 0;
}

long long queue_drops_to_tell(MqttQueue& q, MqttQueue::Steady::time_point now) {
  if (q.untold == 0 || now < q.tell_at) return 0;
  const long long count = q.untold;
  q.untold = 0;
  q.told_at = now;
  return count;
}

}  // namespace morvix::client
