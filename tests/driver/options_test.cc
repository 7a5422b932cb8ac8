// SPDX-License-Identifier: Apache-2.0
// The command line, through the real binary.
#include "driver/options.h"

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace morvix {
namespace {

using test::Process;
using test::ScratchDir;

struct Outcome {
  int status;
  std::string err;
};

// Runs morvix in an empty directory: whatever the command line accepts then
// stops at the missing identity file.
Outcome run(const std::vector<std::string>& args) {
  ScratchDir dir;
  Process p(MORVIX_BINARY, args, dir.path());
  const int status = p.wait(10000);
  return {status, p.err()};
}

constexpr char kNoIdentity[] = "can't locate uid file \"uid.txt\"\n";

TEST(CommandLine, ReportsMissingAndInvalidValues) {
  // Each message with the command lines that must end with it.
  const struct {
    const char* message;
    std::vector<std::vector<std::string>> command_lines;
  } cases[] = {
      {"-r needs PORT", {{"-r"}, {"-d", "-r", "100", "-r"}}},
      {"-r port invalid", {{"-r", "0"}, {"-r", "-5"}, {"-r", "abc"}}},
      {"-t needs PORT", {{"-t"}}},
      {"-t port invalid", {{"-t", "0"}, {"-t", "x1"}}},
      {"-s needs number", {{"-s"}}},
      {"-s samples invalid", {{"-s", "0"}, {"-s", "-1"}, {"-s", "1001"}}},
      {"-c needs number", {{"-c"}}},
      {"-c # invalid", {{"-c", "33"}, {"-c", "33abc"}}},
      {"-m needs [ADDR:]PORT", {{"-m"}}},
      {"-m port invalid", {{"-m", "0"}, {"-m", "65536"}, {"-m", "91x"}, {"-m", "127.0.0.1:"}}},
      {"-m address invalid", {{"-m", "localhost:9100"}, {"-m", "1.2.3:9100"}, {"-m", ":9100"}}},
      {"-u needs HOST[:PORT] or off", {{"-u"}, {"-u", "off", "-u"}}},
      {"-u host invalid",
       {{"-u", ""},
        {"-u", ":4799"},
        {"-u", "a b"},
        {"-u", "::1"},
        {"-u", "host/x:1"},
        {"-u", std::string(254, 'a')}}},
      {"-u port invalid",
       {{"-u", "h:"},
        {"-u", "h:0"},
        {"-u", "h:65536"},
        {"-u", "h:12x"},
        {"-u", "h:+5"},
        {"-u", "h: 5"},
        {"-u", "h:1:2"}}},
  };
  for (const auto& c : cases) {
    for (const auto& args : c.command_lines) {
      const Outcome r = run(args);
      EXPECT_EQ(r.status, 1) << c.message;
      EXPECT_EQ(r.err, std::string("error: ") + c.message + "\n");
    }
  }
}

TEST(CommandLine, AcceptsValuesAtTheirLimitsAndReadsThemLikeAtoi) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"-c", "32"},
                                             {"-c", "-4"},
                                             {"-c", "0"},
                                             {"-c", "32abc"},
                                             {"-s", "1000"},
                                             {"-s", " 12abc"},
                                             {"-r", "70000", "-t", "1"},
                                             {"-f", "-d", "-f"},
                                             {"-a", "-s", "8", "-a"},
                                             {"-r", "5", "-r", "6"},
                                             {"-v", "-m", "9100"},
                                             {"-m", "0.0.0.0:65535"},
                                             {"-u", "off"},
                                             {"-u", "192.0.2.1"},
                                             {"-u", "collector.example.org:1"},
                                             {"-u", "off", "-u", "Host_1-a.test:65535"}}) {
    const Outcome r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kNoIdentity);
  }
}

TEST(CommandLine, PrintsTheUsageForAnythingElse) {
  ASSERT_EQ(std::string(kUsage).size(), 87u);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-h"}, {"-d", "-r", "100", "extra"}, {"-help"}, {"-r", "5", "-x", "-r"}, {"-D"}}) {
    const Outcome r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, kUsage);
  }
  const Outcome version = run({"-d", "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.err, "morvix " MORVIX_VERSION "\n");
}

TEST(CommandLine, HelpListsEveryOptionOnStandardOutput) {
  ScratchDir dir;
  Process p(MORVIX_BINARY, {"-d", "--help", "-x"}, dir.path());
  ASSERT_EQ(p.wait(10000), 0);
  EXPECT_EQ(p.err(), "");
  const std::string help = p.out();
  for (const char* option :
       {"\n  -r PORT ", "\n  -t PORT ", "\n  -s N ", "\n  -c N ", "\n  -f ", "\n  -d ", "\n  -a ",
        "\n  -v ", "\n  -m [ADDR:]PORT ", "\n  -u HOST[:PORT] ", "\n  --version ", "\n  --help "}) {
    EXPECT_NE(help.find(option), std::string::npos) << option << " in\n" << help;
  }
  EXPECT_NE(help.find("(default: " MORVIX_UPSTREAM_HOST ":4799)"), std::string::npos) << help;
}

}  // namespace
}  // namespace morvix
