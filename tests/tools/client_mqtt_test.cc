// SPDX-License-Identifier: Apache-2.0
// morvix-client's MQTT bridge: the real daemon feeds the client, which
// publishes to a real mosquitto broker that the test starts on loopback.
#include "tools/client/client_mqtt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "tests/support/daemon.h"
#include "tests/tools/client_output.h"
#include "tests/tools/idle_input.h"
#include "tests/tools/mqtt_broker.h"

namespace morvix::test {
namespace {

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
                                             {"--mqtt", "mqtt://h/t", "--mqtt-payload", "xml"},
                                             {"--mqtt", "mqtt://h/t", "--mqtt-queue", "0"},
                                             {"--mqtt", "mqtt://h/t", "--station", "a\"b"},
                                             {"--station", "north"},
                                             {"--mqtt-auth", "auth"},
                                             {"--mqtt", "mqtt://h/t", "--mqtt-ca", "ca.pem"}}) {
    Process client(MORVIX_CLIENT_PATH, args, dir.path());
    EXPECT_EQ(client.wait(5000), 2) << args.back();
    EXPECT_NE(client.err(), "") << args.back();
  }
  // A topic the broker would refuse would lose every frame.
  for (const char* topic : {"a/\xff", "a/\x01"}) {
    Process client(MORVIX_CLIENT_PATH, {"--mqtt", std::string("mqtt://h/") + topic}, dir.path());
    EXPECT_EQ(client.wait(5000), 2);
    EXPECT_NE(client.err().find("--mqtt needs a topic of UTF-8 text without control characters"),
              std::string::npos)
        << client.err();
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
    if (feeder_.running()) stop_input();
    DaemonTest::TearDown();
  }

  std::unique_ptr<Process> client(const std::string& url, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(tcp_port_), "--json",
                               "--mqtt", url});
    return std::make_unique<Process>(MORVIX_CLIENT_PATH, args, dir_.path());
  }
  void keep_input_flowing() { feeder_.start(rx_port_); }
  void stop_input() { feeder_.stop(); }
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
  // A key and a self-signed certificate for 127.0.0.1 in dir, as key.pem
  // and cert.pem.
  static bool certify(const std::string& dir) {
    return std::system(("cd " + dir + " && " + installed("openssl") +
                        " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                        " -keyout key.pem -out cert.pem -days 2 -subj /CN=127.0.0.1"
                        " -addext subjectAltName=IP:127.0.0.1 2>/dev/null")
                           .c_str()) == 0;
  }
  static size_t count(const Subscriber& s, const std::string& topic, const std::string& body) {
    size_t n = 0;
    for (const Message& m : s.on(topic)) n += m.body == body;
    return n;
  }
  // The message is the --json line with the station and the whole frame added.
  static ::testing::AssertionResult carries(const std::string& message, const std::string& line) {
    auto members = json_members(message);
    if (members.erase("station") == 1 && members.erase("frame") == 1 &&
        members == json_members(line)) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << message << "\ndoes not carry\n" << line;
  }
  static std::string quoted_hex(const gen::Bytes& bytes) {
    std::string text = "\"";
    for (uint8_t b : bytes) {
      char pair[3];
      std::snprintf(pair, sizeof pair, "%02x", b);
      text += pair;
    }
    return text + "\"";
  }

  IdleInput feeder_;
};

TEST_F(ClientMqttTest, EveryFrameIsOneMessageAndTheStatusSaysWhetherFramesCanFlow) {
  Broker broker;
  broker.start();
  Subscriber all(broker.port(), "station/#");
  start();
  keep_input_flowing();
  const std::string at = "mqtt://127.0.0.1:" + std::to_string(broker.port());
  auto c = client(at + "/station/frames", {"--station", "north"});
  auto raw = client(at + "/station/raw", {"--mqtt-payload", "raw"});
  ASSERT_TRUE(registered(2)) << c->err();
  ASSERT_TRUE(eventually([&] { return all.has("station/frames/status", "online", false); }))
      << c->err();
  // Retained: whoever subscribes later learns it at once.
  Subscriber later(broker.port(), "station/frames/status");
  EXPECT_TRUE(eventually([&] { return later.has("station/frames/status", "online", true); }));
  stop_input();

  const std::vector<gen::Bytes> frames = {frame(0x7e, 1), frame(0x00, 300), frame(0xff, 20)};
  send_samples(signal(frames));
  ASSERT_TRUE(all.waits_for(3, "station/frames")) << c->err();
  ASSERT_TRUE(all.waits_for(3, "station/raw")) << raw->err();
  ASSERT_TRUE(eventually([&] { return lines(c->out()).size() == 3; })) << c->out();
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string body = all.on("station/frames")[i].body;
    EXPECT_TRUE(carries(body, lines(c->out())[i]));
    EXPECT_EQ(json_members(body)["station"], "\"north\"");
    EXPECT_EQ(json_members(body)["frame"], quoted_hex(frames[i]));
    EXPECT_EQ(all.on("station/raw")[i].body, std::string(frames[i].begin(), frames[i].end()));
  }

  // The daemon stops: the client goes on looking for it, and says that
  // nothing can flow.
  daemon_->terminate();
  ASSERT_TRUE(eventually([&] {
    const auto status = all.on("station/frames/status");
    return status.back().body == "offline";
  })) << c->err();
  EXPECT_TRUE(c->running());

  // Killed, the client leaves its last will.
  const size_t offline = count(all, "station/frames/status", "offline");
  c.reset();
  EXPECT_TRUE(eventually([&] { return count(all, "station/frames/status", "offline") > offline; }));
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
  EXPECT_TRUE(carries(all.on("st")[0].body, lines(c->out())[0]));
  // Said again after the reconnection, not only kept by the broker.
  ASSERT_TRUE(eventually([&] { return count(all, "st/status", "online") >= 2; })) << c->err();

  send_samples(signal({frame(0x22, 60)}));
  ASSERT_EQ(c->wait(15000), 0) << c->err();
  ASSERT_TRUE(all.waits_for(2, "st"));
  EXPECT_TRUE(carries(all.on("st")[1].body, lines(c->out())[1]));
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
  ASSERT_TRUE(certify(d));
  ASSERT_EQ(std::system(("cd " + d + " && " + installed("mosquitto_passwd") +
                         " -b -c passwd morvix 'se:cret'")
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
  EXPECT_TRUE(carries(all.on("tls")[0].body, lines(good->out())[0]));
  EXPECT_EQ(wrong->err().find("connected to MQTT broker"), std::string::npos);
  EXPECT_EQ(untrusting->err().find("connected to MQTT broker"), std::string::npos);
}

TEST_F(ClientMqttTest, ATlsBrokerDownAtStartAndRestartedMidStreamLosesNothing) {
  if (installed("openssl").empty()) GTEST_SKIP() << "needs openssl";
  // TLS for the clients; the test's subscriber, on a plain listener, keeps
  // its session over the restart.
  const int plain = free_tcp_port();
  Broker broker(
      "certfile cert.pem\nkeyfile key.pem\nallow_anonymous true\npersistence true\n"
      "persistence_location ./\nlistener " +
      std::to_string(plain) + " 127.0.0.1\n");
  const std::string cert = broker.dir() + "/cert.pem";
  ASSERT_TRUE(certify(broker.dir()));
  start();
  keep_input_flowing();
  const std::string url = "mqtts://127.0.0.1:" + std::to_string(broker.port()) + "/tls";
  auto own_ca = client(url, {"--mqtt-ca", cert, "--station", "own"});
  // The system's CA store, told to hold the test's certificate.
  Process system_ca("/usr/bin/env",
                    {"SSL_CERT_FILE=" + cert, MORVIX_CLIENT_PATH, "--host", "127.0.0.1", "--port",
                     std::to_string(tcp_port_), "--mqtt", url, "--station", "system"},
                    dir_.path());
  ASSERT_TRUE(registered(2));
  ASSERT_TRUE(says(*own_ca, "trying again in 1 s")) << own_ca->err();
  ASSERT_TRUE(says(system_ca, "trying again in 1 s")) << system_ca.err();
  broker.start();
  Subscriber all(plain, "tls", "morvix-tls-subscriber");
  ASSERT_TRUE(says(*own_ca, "connected to MQTT broker")) << own_ca->err();
  ASSERT_TRUE(says(system_ca, "connected to MQTT broker")) << system_ca.err();
  stop_input();

  const std::vector<gen::Bytes> frames = {frame(0x41, 30), frame(0x42, 50), frame(0x43, 70)};
  send_samples(signal({frames[0]}));
  ASSERT_TRUE(all.waits_for(2, "tls"));
  broker.stop();
  send_samples(signal({frames[1]}));
  ASSERT_TRUE(eventually([&] { return lines(own_ca->out()).size() == 2; })) << own_ca->err();
  broker.start();
  send_samples(signal({frames[2]}));
  // Each client's every frame, at least once (QoS 1).
  std::set<std::pair<std::string, std::string>> expected, delivered;
  for (const gen::Bytes& f : frames) {
    for (const char* station : {"\"own\"", "\"system\""}) expected.insert({station, quoted_hex(f)});
  }
  EXPECT_TRUE(eventually([&] {
    for (const Message& m : all.on("tls")) {
      auto members = json_members(m.body);
      delivered.insert({members["station"], members["frame"]});
    }
    return delivered == expected;
  })) << own_ca->err()
      << system_ca.err();
  EXPECT_EQ(own_ca->err().find("Invalid function arguments"), std::string::npos);
  EXPECT_EQ(system_ca.err().find("Invalid function arguments"), std::string::npos);
}

TEST_F(ClientMqttTest, AStalledBrokerCostsWhatTheQueueCannotHoldAndTheCountIsToldAtOnce) {
  Broker broker;
  broker.start();
  Subscriber all(broker.port(), "slow");
  start();
  keep_input_flowing();
  auto c =
      client("mqtt://127.0.0.1:" + std::to_string(broker.port()) + "/slow", {"--mqtt-queue", "3"});
  ASSERT_TRUE(registered(1)) << c->err();
  ASSERT_TRUE(says(*c, "connected to MQTT broker")) << c->err();
  stop_input();

  // Its connection stays open; nothing is acknowledged.
  broker.pause();
  std::vector<gen::Bytes> frames;
  for (int i = 0; i < 7; ++i) frames.push_back(frame(static_cast<uint8_t>(0x50 + i), 20 + i));
  send_samples(signal(frames));
  ASSERT_TRUE(eventually([&] { return lines(c->out()).size() == 7; })) << c->out();
  EXPECT_TRUE(says(*c, "MQTT broker 127.0.0.1:" + std::to_string(broker.port()) +
                           ": 4 messages dropped, 3 already waiting for it\n"))
      << c->err();
  EXPECT_TRUE(c->running());

  broker.resume();
  ASSERT_TRUE(all.waits_for(3, "slow")) << c->err();
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(json_members(all.on("slow")[i].body)["frame"], quoted_hex(frames[i]));
  }
  c->terminate();
  EXPECT_NE(c->err().find("4 messages not delivered to the MQTT broker"), std::string::npos)
      << c->err();
}

}  // namespace
}  // namespace morvix::test
