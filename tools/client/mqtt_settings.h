// SPDX-License-Identifier: Apache-2.0
// What the client's MQTT bridge is told on the command line: the broker's
// URL and topic, the file with the user and password, and the station's
// name, each checked before anything starts.
#pragma once

#include <string>
#include <string_view>

namespace morvix::client {

struct MqttUrl {
  bool tls = false;
  std::string host;
  int port = 0;  // 1883, or 8883 with TLS, unless given
  std::string topic;
};

// "mqtt://HOST[:PORT]/TOPIC" or "mqtts://..."; HOST may be an IPv6 address
// in brackets. The topic is non-empty, valid UTF-8 without control
// characters and wildcards (+ #), and short enough for TOPIC/status. false
// with the reason in error for anything else.
bool parse_mqtt_url(std::string_view text, MqttUrl& url, std::string& error);

// The user name from the first line of the file at path, the password from
// the second (a trailing CR is dropped). false with the reason in error when
// the file cannot be read or the user name is empty.
bool read_mqtt_auth(const std::string& path, std::string& user, std::string& password,
                    std::string& error);

// A station name fit for the JSON message: 1 to 255 bytes of UTF-8 without
// control characters, '"' or '\'. false with the reason in error otherwise.
bool check_station_name(std::string_view name, std::string& error);

// The station's name when none is given: host (the daemon's, as given with
// --host), or this machine's name when host is localhost or a loopback
// address.
std::string default_station_name(const std::string& host);

}  // namespace morvix::client
