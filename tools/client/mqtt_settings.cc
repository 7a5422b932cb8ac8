// SPDX-License-Identifier: Apache-2.0
#include "tools/client/mqtt_settings.h"

#include <mosquitto.h>
#include <unistd.h>

#include <fstream>

namespace morvix::client {

namespace {

// MQTT carries a topic's length in two bytes; TOPIC/status must fit too.
constexpr size_t kMaxTopicBytes = 65535 - 7;
constexpr size_t kMaxStationBytes = 255;  // a host name fits

// UTF-8 as MQTT takes it: no malformed sequences, no control characters.
bool mqtt_utf8(std::string_view text) {
  return mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) == MOSQ_ERR_SUCCESS;
}

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
  // Refused here, a topic the broker would refuse cannot lose every frame
  // later without a word.
  if (!mqtt_utf8(url.topic)) {
    error = "--mqtt needs a topic of UTF-8 text without control characters";
    return false;
  }
  if (url.topic.size() > kMaxTopicBytes) {
    error = "--mqtt needs a topic of at most " + std::to_string(kMaxTopicBytes) + " bytes";
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

bool check_station_name(std::string_view name, std::string& error) {
  if (name.empty() || name.size() > kMaxStationBytes || !mqtt_utf8(name) ||
      name.find_first_of("\"\\") != std::string_view::npos) {
    error = "--station takes 1 to " + std::to_string(kMaxStationBytes) +
            " bytes of UTF-8 text without control characters, '\"' or '\\'";
    return false;
  }
  return true;
}

std::string default_station_name(const std::string& host) {
  const bool loopback = host == "localhost" || host.starts_with("127.") || host == "::1";
  if (!loopback) return host;
  char name[256] = {};
  std::string ignored;
  if (gethostname(name, sizeof name - 1) == 0 && check_station_name(name, ignored)) return name;
  return host;
}

}  // namespace morvix::client
