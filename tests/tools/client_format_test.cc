// SPDX-License-Identifier: Apache-2.0
// The forms morvix-client reads and prints.
#include "tools/client/client_format.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "tests/tools/client_output.h"

namespace morvix::test {
namespace {

using namespace std::chrono_literals;

TEST(ClientFormatTest, PortReplyIsDigitsThenCrLfAndNothingElse) {
  EXPECT_EQ(client::parse_port_reply("40123\r\n"), 40123);
  EXPECT_EQ(client::parse_port_reply("1\r\n"), 1);
  EXPECT_EQ(client::parse_port_reply("65535\r\n"), 65535);
  for (const char* bad : {"", "\r\n", "40123", "40123\n", "40123\r\n\r\n", "0\r\n", "65536\r\n",
                          "-5\r\n", "+5\r\n", " 5\r\n", "4a\r\n"}) {
    EXPECT_EQ(client::parse_port_reply(bad), std::nullopt) << bad;
  }
}

TEST(ClientFormatTest, TimeIsUtcWithMilliseconds) {
  setenv("TZ", "IST-5:30", 1);  // far from UTC, so that local time shows
  tzset();
  const client::WallClock::time_point t{1000000000123ms};
  EXPECT_EQ(client::iso8601_utc(t), "2001-09-09T01:46:40.123Z");
  EXPECT_EQ(client::iso8601_utc(t + 877ms), "2001-09-09T01:46:41.000Z");
}

TEST(ClientFormatTest, KeepaliveIsExactlyItsTenBytes) {
  auto keepalive = [](std::string_view text) {
    return client::is_keepalive({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  };
  EXPECT_TRUE(keepalive("*KEEPALIVE"));
  EXPECT_FALSE(keepalive("*KEEPALIV"));
  EXPECT_FALSE(keepalive("*KEEPALIVEX"));
}

TEST(ClientFormatTest, FailedCrcsAreFlagged) {
  const client::WallClock::time_point t{1000000000123ms};
  gen::Bytes f = gen::build_frame(0xa5, {1, 2, 3});
  EXPECT_EQ(client::frame_text(f, t), "2001-09-09T01:46:40.123Z " + text_fields(f) + "\n");
  f[6] ^= 0x10;
  EXPECT_EQ(client::frame_text(f, t),
            "2001-09-09T01:46:40.123Z " + text_fields(f) + " frame-crc=bad\n");
  auto members = json_members(lines(client::frame_json(f, t))[0]);
  EXPECT_EQ(members["header_crc_ok"], "true");
  EXPECT_EQ(members["frame_crc_ok"], "false");
  f[2] ^= 1;
  members = json_members(lines(client::frame_json(f, t))[0]);
  EXPECT_EQ(members["header_crc_ok"], "false");
  EXPECT_NE(client::frame_text(f, t).find(" header-crc=bad frame-crc=bad\n"), std::string::npos);
}

}  // namespace
}  // namespace morvix::test
