// SPDX-License-Identifier: Apache-2.0
#include "tools/client/client_options.h"

#include <cstdio>
#include <cstdlib>

#include "tools/client/mqtt_settings.h"
#include "tools/tool_args.h"

namespace morvix::client {

namespace {

using tool::bad_arguments;
using tool::integer_option;

constexpr const char* kUsage =
    "usage: morvix-client [options]\n"
    "Asks the morvix daemon for its distribution port, registers there and\n"
    "prints every frame it relays, one line per frame:\n"
    "  <UTC time> len=<bytes> first=<hex> F=<fill bits> B=<blocks> payload=<hex>\n"
    "followed by header-crc=bad or frame-crc=bad when a check fails.\n"
    "\n"
    "  --host HOST         the daemon's host (default localhost)\n"
    "  --port PORT         its port announcement TCP port, 1-65535 (default 4851)\n"
    "  --json              print one JSON object per frame instead, with the keys\n"
    "                      time, length, first, fill, blocks, payload (hex),\n"
    "                      header_crc_ok and frame_crc_ok\n"
    "  --raw FILE          also append each frame to FILE as a record: its length\n"
    "                      as 2 bytes, most significant first, then its bytes\n"
    "  --count N           leave after N frames, 1-1000000000\n"
    "  --timeout SECONDS   leave with status 1 when no frame has come for SECONDS,\n"
    "                      1-86400, counted from the start and from every frame\n"
    "  --refresh SECONDS   renew the registration every SECONDS, 1-299 (default\n"
    "                      60; the daemon forgets a client after 300 silent s)\n"
    "  --mqtt URL          also publish each frame to an MQTT broker, URL being\n"
    "                      mqtt://HOST[:PORT]/TOPIC (port 1883) or mqtts://...\n"
    "                      (TLS, port 8883): one message on TOPIC, QoS 1, as\n"
    "                      --mqtt-payload says. TOPIC/status holds online\n"
    "                      (retained) while frames can flow from the daemon,\n"
    "                      offline when they cannot (the daemon refuses, is\n"
    "                      silent for 75 s or cannot be found) and after the\n"
    "                      client (also as its last will). A lost broker is\n"
    "                      tried again after 1, 2, 4 ... up to 30 s, each\n"
    "                      attempt given 10 s; a broker that acknowledges\n"
    "                      nothing for 20 s is left and tried again. Meanwhile\n"
    "                      unacknowledged messages wait in memory and go out\n"
    "                      on reconnection; beyond --mqtt-queue further frames\n"
    "                      are dropped, counted on stderr at most every 10 s\n"
    "  --mqtt-payload FORMAT  json (default): the --json object with the keys\n"
    "                      station and frame (the whole frame in hex) added;\n"
    "                      raw: the frame's bytes as the daemon sent them\n"
    "  --mqtt-queue N      unacknowledged messages kept, 1-1000000 (default 1000)\n"
    "  --mqtt-auth FILE    the broker's user name on FILE's first line, the\n"
    "                      password on its second\n"
    "  --mqtt-ca FILE      CA certificates for mqtts:// (default: the system's)\n"
    "  --station NAME      the station's name in the JSON message (default: the\n"
    "                      --host, or this machine's name for localhost)\n"
    "  --verbose           also report registrations and keepalives on stderr\n"
    "  --version           print the version and exit\n"
    "  --help              show this text\n"
    "\n"
    "While nothing arrives it also refreshes every 5 s, so that a daemon that\n"
    "has stopped or restarted refuses the next datagram within seconds. When\n"
    "the daemon stops answering (a refused datagram, or nothing at all, not\n"
    "even a keepalive, for 130 s) the client asks for the port again, waiting\n"
    "1, 2, 4 ... up to 30 s between failed attempts. After 75 s with no frame\n"
    "and no keepalive it says once that the daemon may have no free slot.\n"
    "On SIGINT, SIGTERM or SIGHUP, and when it leaves, it sends DISCONNECT.\n"
    "Exit status: 0 done or stopped by a signal, 1 timeout or a failed file or\n"
    "socket, 2 bad arguments.\n";

}  // namespace

Options parse_options(int argc, char** argv) {
  Options o;
  std::string mqtt_only;  // the first option given that means nothing without --mqtt
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (mqtt_only.empty() && (name == "--mqtt-auth" || name == "--mqtt-payload" ||
                              name == "--mqtt-queue" || name == "--station")) {
      mqtt_only = name;
    }
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) bad_arguments(name + " needs a value");
      return argv[++i];
    };
    if (name == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (name == "--version") {
      tool::print_version();
    } else if (name == "--host") {
      o.host = value();
      if (o.host.empty()) bad_arguments("--host needs a host name or address");
    } else if (name == "--port") {
      o.port = static_cast<int>(integer_option(name, value(), 1, 65535));
    } else if (name == "--json") {
      o.json = true;
    } else if (name == "--raw") {
      o.raw = value();
      if (o.raw.empty()) bad_arguments("--raw needs a file name");
    } else if (name == "--count") {
      o.count = integer_option(name, value(), 1, 1000000000);
    } else if (name == "--timeout") {
      o.timeout = static_cast<int>(integer_option(name, value(), 1, 86400));
    } else if (name == "--refresh") {
      o.refresh = static_cast<int>(integer_option(name, value(), 1, 299));
    } else if (name == "--mqtt") {
      o.mqtt = value();
      MqttUrl url;
      std::string error;
      if (!parse_mqtt_url(o.mqtt, url, error)) bad_arguments(error);
    } else if (name == "--mqtt-auth") {
      o.mqtt_auth = value();
      if (o.mqtt_auth.empty()) bad_arguments("--mqtt-auth needs a file name");
    } else if (name == "--mqtt-ca") {
      o.mqtt_ca = value();
      if (o.mqtt_ca.empty()) bad_arguments("--mqtt-ca needs a file name");
    } else if (name == "--mqtt-payload") {
      const std::string format = value();
      if (format != "json" && format != "raw") {
        bad_arguments("--mqtt-payload takes json or raw, not '" + format + "'");
      }
      o.mqtt_raw = format == "raw";
    } else if (name == "--mqtt-queue") {
      o.mqtt_queue = static_cast<int>(integer_option(name, value(), 1, 1000000));
    } else if (name == "--station") {
      o.station = value();
      std::string error;
      if (!check_station_name(o.station, error)) bad_arguments(error);
    } else if (name == "--verbose") {
      o.verbose = true;
    } else {
      bad_arguments("unknown argument '" + name + "'");
    }
  }
  if (o.mqtt.empty() && !mqtt_only.empty()) bad_arguments(mqtt_only + " needs --mqtt");
  if (!o.mqtt.empty() && o.station.empty()) o.station = default_station_name(o.host);
  if (!o.mqtt_ca.empty() && !o.mqtt.starts_with("mqtts://")) {
    bad_arguments("--mqtt-ca needs --mqtt with an mqtts:// URL");
  }
  return o;
}

}  // namespace morvix::client
