// SPDX-License-Identifier: Apache-2.0
// morvix-client's command line.
#pragma once

#include <string>

namespace morvix::client {

struct Options {
  std::string host = "localhost";
  int port = 4851;
  bool json = false;
  std::string raw;
  long long count = 0;  // 0: no limit
  int timeout = 0;      // seconds; 0: none
  int refresh = 60;     // seconds
  bool verbose = false;
  std::string mqtt;       // mqtt://HOST[:PORT]/TOPIC or mqtts://...; empty: none
  std::string mqtt_auth;  // file: user name, then password
  std::string mqtt_ca;    // file: CA certificates for mqtts://
  bool mqtt_raw = false;  // --mqtt-payload raw: the frame's bytes, not the JSON object
  int mqtt_queue = 1000;  // unacknowledged messages kept
  std::string station;    // the station's name in the JSON message
};

// Reads the arguments; --help prints the usage text and exits 0, a bad or
// missing argument ends through tool::bad_arguments (status 2).
Options parse_options(int argc, char** argv);

}  // namespace morvix::client
