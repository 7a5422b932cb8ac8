// SPDX-License-Identifier: Apache-2.0
#include "net/upstream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/upstream_lookup.h"
#include "tests/support/udp_test_util.h"

namespace morvix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

const std::string kId = "0123456789abcdef0123456789abcdef01234567";

class UidFileTest : public ::testing::Test {
 protected:
  UidFileTest() {
    char tmpl[] = "/tmp/morvix-uid-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/uid.txt";
  }
  ~UidFileTest() override {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }

  void write_file(const std::string& content) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
  }
  // get_uid's result and what it wrote to standard error.
  std::pair<int, std::string> load() {
    CaptureStderr();
    const int ok = get_uid(dist_, path_.c_str());
    return {ok, GetCapturedStderr()};
  }

  std::string dir_;
  std::string path_;
  Distribution dist_;
};

TEST_F(UidFileTest, AcceptsFortyDigitsWhateverEndsTheFirstLine) {
  const std::string endings[] = {
      "\n", "\r\n", "", "\nthis second line is not an identity\n", std::string("\0zz", 3), "\rzz"};
  for (const std::string& end : endings) {
    SCOPED_TRACE(::testing::PrintToString(end));
    write_file(kId + end);
    EXPECT_EQ(load(), std::make_pair(1, std::string()));
    EXPECT_EQ(dist_.upstream.uidslen, 46);
    EXPECT_EQ(std::string(dist_.upstream.uid), "*uid:" + kId + ":");
  }
}

TEST_F(UidFileTest, RefusesAnythingButFortyLowerCaseHexDigits) {
  const std::string upper = "0123456789ABCDEF0123456789abcdef01234567";
  const std::string contents[] = {"",
                                  "\n" + kId + "\n",
                                  kId.substr(1) + "\n",
                                  kId + "8\n",
                                  upper + "\n",
                                  " " + kId + "\n",
                                  kId + " \n",
                                  kId.substr(0, 20) + "g" + kId.substr(21),
                                  std::string(4000, 'a')};
  for (const std::string& content : contents) {
    SCOPED_TRACE(::testing::PrintToString(content.substr(0, 50)));
    write_file(content);
    EXPECT_EQ(load(), std::make_pair(0, std::string("uid format error\n")));
  }
}

TEST_F(UidFileTest, MissingFileIsNamedInTheMessage) {
  EXPECT_EQ(load(), std::make_pair(0, "can't locate uid file \"" + path_ + "\"\n"));
}

class UpstreamLinkTest : public ::testing::Test {
 protected:
  UpstreamLinkTest() { clients_open_dstream(dist_); }
  ~UpstreamLinkTest() override { close(dist_.table.cfd); }
  Distribution dist_;
};

TEST_F(UpstreamLinkTest, AnnouncementIsFortySixBytesFromTheDistributionSocketWhateverTheFeed) {
  std::snprintf(dist_.upstream.uid, sizeof dist_.upstream.uid, "*uid:%s:", kId.c_str());
  dist_.upstream.uidslen = 46;
  const int server = test::bound_socket(SOCK_DGRAM);
  dist_.table.clients[0] = {htonl(INADDR_LOOPBACK), htons(test::local_port(server)), 0};

  for (int64_t feed : {0, 1}) {
    dist_.table.clients[0].stamp = feed;
    send_vorn_uid(dist_);
    ASSERT_TRUE(test::readable(server, 1000));
    char buf[128];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        recvfrom(server, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "*uid:" + kId + ":");
    EXPECT_EQ(ntohs(from.sin_port), dist_.table.cd_port);  // the server answers START/STOP there
  }
  close(server);
}

TEST_F(UpstreamLinkTest, LookupOfLocalhostFillsTheUpstreamSlotAtOnce) {
  UpstreamLookup lookup;
  ASSERT_EQ(lookup_open(lookup), 1);
  dist_.upstream.vorn_host = "localhost";
  dist_.upstream.vorn_port = 5000;
  EXPECT_EQ(lookup_vorn_dns(dist_, lookup), 1);  // /etc/hosts answers without waiting
  EXPECT_EQ(dist_.table.clients[0].addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(dist_.table.clients[0].port, htons(5000));
  EXPECT_EQ(dist_.table.clients[0].stamp, 1);
  EXPECT_EQ(dist_.table.active_clients, 1);
  EXPECT_EQ(lookup.pending, 0);
}

TEST_F(UpstreamLinkTest, FailedLookupLeavesTheUpstreamSlotOffAndAnnouncesNothing) {
  UpstreamLookup lookup;
  ASSERT_EQ(lookup_open(lookup), 1);
  std::snprintf(dist_.upstream.uid, sizeof dist_.upstream.uid, "*uid:%s:", kId.c_str());
  dist_.upstream.uidslen = 46;
  dist_.table.clients[0].stamp = 1;
  dist_.upstream.vorn_host = "no..such-host.invalid";  // refused before any query leaves the host
  CaptureStderr();
  EXPECT_EQ(lookup_vorn_dns(dist_, lookup), 0);
  EXPECT_EQ(lookup_vorn_dns(dist_, lookup), 0);
  EXPECT_EQ(GetCapturedStderr(),
            "upstream host \"no..such-host.invalid\" not found (Misformatted domain name); "
            "trying again about every 16 minutes\n");
  EXPECT_EQ(dist_.table.clients[0].addr, 0u);
  EXPECT_EQ(dist_.table.clients[0].port, 0u);
  EXPECT_EQ(dist_.table.clients[0].stamp, 0);
  EXPECT_EQ(dist_.table.active_clients, 0);
  send_vorn_uid(dist_);
  EXPECT_EQ(dist_.stats.identity_announcements, 0);
  EXPECT_EQ(dist_.stats.send_errors_upstream, 0);
}

}  // namespace
}  // namespace morvix
