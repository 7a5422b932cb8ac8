// SPDX-License-Identifier: Apache-2.0
// morvix-client: learns the daemon's distribution port, registers there,
// keeps the registration alive and prints every frame it is sent.
// client_options.cc lists the options.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tools/client/client_mqtt.h"
#include "tools/client/client_options.h"
#include "tools/client/client_session.h"
#include "tools/tool_args.h"

namespace {

// Signals become a byte in this pipe, so that every wait sees them.
int g_wake[2] = {-1, -1};

extern "C" void on_signal(int) {
  const int saved = errno;
  const char byte = 1;
  if (write(g_wake[1], &byte, 1) < 0) {
    // The pipe already holds a byte; that wakes the loop just as well.
  }
  errno = saved;
}

void catch_signals() {
  if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) < 0) {
    std::perror("morvix-client: pipe");
    std::exit(1);
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int caught : {SIGINT, SIGTERM, SIGHUP}) sigaction(caught, &action, nullptr);
  // A closed standard output shows up as EPIPE from the write instead.
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace morvix::client;
  morvix::tool::set_program("morvix-client");
  const Options options = parse_options(argc, argv);
  catch_signals();
  MqttBridge mqtt;
  if (!options.mqtt.empty()) {
    std::string error;
    if (!mqtt.start(options.mqtt, options.mqtt_auth, options.mqtt_ca, options.mqtt_queue, error)) {
      std::fprintf(stderr, "morvix-client: %s\n", error.c_str());
      return 1;
    }
    morvix::client::serve_while_waiting(&mqtt);
  }
  return Client(options, g_wake[0], options.mqtt.empty() ? nullptr : &mqtt).run();
}
