// SPDX-License-Identifier: Apache-2.0
// morvix-client's MQTT bridge: the real daemon feeds the client, which
// publishes to a real mosquitto broker that the test starts on loopback.
#include "tools/client/client_mqtt.h"

#include <gtest/gtest.h>

#include <stop_token>
#include <thread>

#include "tests/support/daemon.h"
#include "tests/tools/client_output.h"
#include "tests/tools/mqtt_broker.h"

namespace morvix::test {
namespace {

using namespace std::chrono_literals;

TEST(ClientMqttArgumentsTest, UrlsAndFilesAreCheckedBeforeAnythingStarts) {
  morvix::client::MqttUrl url;
  std::string error;
  ASSERT_TRUE(morvix::client::parse_mqtt_url("mqtts://[::1]/a/b", url, error)) << error;
  EXPECT_TRUE(url.tls);
  EXPECT_EQ(url.host, "::1");
  EXPECT_EQ(url.port, 8883);
  EXPECT_EQ(url.topic, "a/b");
  ASSERT_TRUE(morvix::client::parse_mqtt_url("mqtt://broker.lan:1884/x", url, error)) << error;
  EXPECT_EQ(url.port, 1884);
  ASSERT_TRUE(morvix::client::parse_mqtt_url("mqtt://broker/x", url, error)) << error;
  EXPECT_EQ(url.port, 1883);

  ScratchDir dir;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--mqtt", "http://h/t"},
                                             {"--mqtt", "mqtt://h"},
                                             {"--mqtt", "mqtt://h/"},
                                             {"--mqtt", "mqtt:///t"},
                                             {"--mqtt", "mqtt://h:0/t"},
                                             {"--mqtt", "mqtt://h:65536/t"},
                                             {"--mqtt", "mqtt://h:/t"},
                                             {"--mqtt", "mqtt://h/a/#"},
                                             {"--mqtt", "mqtt://h/+/b"},
                                             {"--mqtt-auth", "auth"},
                                             {"--mqtt", "mqtt://h/t", "--mqtt-ca", "ca.pem"}}) {
    Process client(MORVIX_CLIENT_PATH, args, dir.path());
    EXPECT_EQ(client.wait(5000), 2) << args.back();
    EXPECT_NE(client.err(), "") << args.back();
  }
  Process no_file(MORVIX_CLIENT_PATH, {"--mqtt", "mqtt://127.0.0.1/t", "--mqtt-auth", "nothing"},
                  dir.path());
  EXPECT_EQ(no_file.wait(5000), 1);
  EXPECT_NE(no_file.err().find("nothing"), std::string::npos) << no_file.err();
}

class ClientMqttTest : public DaemonTest {
 protected:
  void SetUp() override {
    if (installed("mosquitto").empty()) GTEST_SKIP() << "no mosquitto broker installed";
    DaemonTest::SetUp();
  }
  void TearDown() override {
    if (feeder_.joinable()) stop_input();
    DaemonTest::TearDown();
  }

  std::unique_ptr<Process> client(const std::string& url, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(tcp_port_), "--json",
                               "--mqtt", url});
    return std::make_unique<Process>(MORVIX_CLIENT_PATH, args, dir_.path());
  }
  // Idle input keeps the daemon's passes, and so the registration, short.
  void keep_input_flowing() {
    feeder_ = std::jthread([port = rx_port_](std::stop_token stop) {
      UdpPeer source;
      const gen::Bytes idle(1000, 0xff);
      while (!stop.stop_requested()) {
        source.send_to(port, idle.data(), idle.size());
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  void stop_input() {
    feeder_.request_stop();
    feeder_.join();
  }
  gen::Bytes frame(uint8_t first, int size) {
    gen::Bytes payload(static_cast<size_t>(size));
    for (auto& b : payload) b = static_cast<uint8_t>(rng_());
    return gen::build_frame(first, payload);
  }
  // Whichever slots they get (the upstream server may hold one).
  bool registered(size_t clients) {
    return eventually([&] {
      const std::string out = daemon_->out();
      size_t n = 0;
      for (size_t at = out.find("add new client slot"); at != std::string::npos;
           at = out.find("add new client slot", at + 1)) {
        ++n;
      }
      return n >= clients;
    });
  }
  static bool says(const Process& p, const std::string& text, int timeout_ms = 10000) {
    return eventually([&] { return p.err().find(text) != std::string::npos; }, timeout_ms);
  }

  std::jthread feeder_;
};

TEST_F(ClientMqttTest, EveryFrameIsOneMessageAndTheStatusFollowsTheClient) {
  Broker broker;
  broker.start();
  Subscriber all(broker.port(), "station/#");
  start();
  keep_input_flowing();
  auto c = client("mqtt://127.0.0.1:" + std::to_string(broker.port()) + "/station/frames");
  ASSERT_TRUE(registered(1)) << c->err();
  ASSERT_TRUE(eventually([&] { return all.has("station/frames/status", "online", false); }))
      << c->err();
  // Retained: whoever subscribes later learns it at once.
  Subscriber later(broker.port(), "station/frames/status");
  EXPECT_TRUE(eventually([&] { return later.has("station/frames/status", "online", true); }));
  stop_input();

  send_samples(signal({frame(0x7e, 1), frame(0x00, 300), frame(0xff, 20)}));
  ASSERT_TRUE(all.waits_for(3, "station/frames")) << c->err();
  ASSERT_TRUE(eventually([&] { return lines(c->out()).size() == 3; })) << c->out();
  std::vector<std::string> bodies;
  for (const Message& m : all.on("station/frames")) bodies.push_back(m.body);
  EXPECT_EQ(bodies, lines(c->out()));

  // Killed, the client leaves its last will.
  c.reset();
  ASSERT_TRUE(eventually([&] { return all.has("station/frames/status", "offline", false); }));
  Subscriber last(broker.port(), "station/frames/status");
  EXPECT_TRUE(eventually([&] { return last.has("station/frames/status", "offline", true); }));
}

TEST_F(ClientMqttTest, ReconnectsAfterABrokerRestartAndDeliversWhatCameMeanwhile) {
  // The broker keeps the test's session over its restart, so the test's
  // subscription cannot race the client's reconnection.
  Broker broker("allow_anonymous true\npersistence true\npersistence_location ./\n");
  broker.start();
  Subscriber all(broker.port(), "st/#", "morvix-test-subscriber");
  start();
  keep_input_flowing();
  auto c = client("mqtt://127.0.0.1:" + std::to_string(broker.port()) + "/st", {"--count", "2"});
  ASSERT_TRUE(registered(1)) << c->err();
  ASSERT_TRUE(says(*c, "connected to MQTT broker")) << c->err();
  stop_input();

  broker.stop();
  ASSERT_TRUE(says(*c, "trying again in")) << c->err();
  send_samples(signal({frame(0x11, 40)}));
  ASSERT_TRUE(eventually([&] { return lines(c->out()).size() == 1; })) << c->err();
  broker.start();
  ASSERT_TRUE(all.waits_for(1, "st")) << c->err();
  EXPECT_EQ(all.on("st")[0].body, lines(c->out())[0]);
  // Said again after the reconnection, not only kept by the broker.
  ASSERT_TRUE(eventually([&] {
    size_t online = 0;
    for (const Message& m : all.on("st/status")) online += m.body == "online";
    return online >= 2;
  })) << c->err();

  send_samples(signal({frame(0x22, 60)}));
  ASSERT_EQ(c->wait(15000), 0) << c->err();
  ASSERT_TRUE(all.waits_for(2, "st"));
  EXPECT_EQ(all.on("st")[1].body, lines(c->out())[1]);
  // Leaving on its own, it says so itself.
  ASSERT_TRUE(eventually([&] {
    const auto status = all.on("st/status");
    return !status.empty() && status.back().body == "offline";
  }));
}

TEST_F(ClientMqttTest, SpeaksTlsWithAUserAndPasswordFromAFile) {
  if (installed("openssl").empty() || installed("mosquitto_passwd").empty()) {
    GTEST_SKIP() << "needs openssl and mosquitto_passwd";
  }
  Broker broker(
      "certfile cert.pem\nkeyfile key.pem\nallow_anonymous false\n"
      "password_file passwd\n");
  const std::string d = broker.dir();
  ASSERT_EQ(std::system(("cd " + d + " && " + installed("openssl") +
                         " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                         " -keyout key.pem -out cert.pem -days 2 -subj /CN=127.0.0.1"
                         " -addext subjectAltName=IP:127.0.0.1 2>/dev/null && " +
                         installed("mosquitto_passwd") + " -b -c passwd morvix 'se:cret'")
                            .c_str()),
            0);
  broker.start();
  Subscriber all(broker.port(), "tls/#", "", [&](mosquitto* m) {
    mosquitto_tls_set(m, (d + "/cert.pem").c_str(), nullptr, nullptr, nullptr, nullptr);
    mosquitto_username_pw_set(m, "morvix", "se:cret");
  });
  start();
  keep_input_flowing();
  dir_.write("auth", "morvix\nse:cret\n");
  dir_.write("wrong", "morvix\nguess\n");
  const std::string url = "mqtts://127.0.0.1:" + std::to_string(broker.port()) + "/tls";
  auto good = client(url, {"--mqtt-auth", "auth", "--mqtt-ca", d + "/cert.pem"});
  auto wrong = client(url, {"--mqtt-auth", "wrong", "--mqtt-ca", d + "/cert.pem"});
  auto untrusting = client(url, {"--mqtt-auth", "auth"});
  ASSERT_TRUE(registered(3)) << good->err();
  ASSERT_TRUE(says(*good, "connected to MQTT broker")) << good->err();
  EXPECT_TRUE(says(*wrong, "refused")) << wrong->err();
  EXPECT_TRUE(says(*untrusting, "trying again")) << untrusting->err();
  stop_input();

  send_samples(signal({frame(0x33, 30)}));
  ASSERT_TRUE(all.waits_for(1, "tls")) << good->err();
  EXPECT_EQ(all.on("tls").size(), 1u);
  EXPECT_EQ(all.on("tls")[0].body, lines(good->out())[0]);
  EXPECT_EQ(wrong->err().find("connected to MQTT broker"), std::string::npos);
  EXPECT_EQ(untrusting->err().find("connected to MQTT broker"), std::string::npos);
}

}  // namespace
}  // namespace morvix::test
