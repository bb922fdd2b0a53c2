// mvsdk-soak as a command, on short runs: the summary adds up (every buffer accounted for, the
// voice changes and restarts asked for were made), its memory check trips on a real leak, and bad
// command lines are refused.
#include <gtest/gtest.h>

#include <regex>

#include "support/local_service.h"
#include "support/tool_launch.h"

namespace mvsdk::test {
namespace {

struct SoakRun : ToolOutput {
  // The numbers of the summary line starting with key, in order.
  std::vector<double> numbers(const std::string& key) const {
    const auto at = out.find("\n" + key);
    if (at == std::string::npos) return {};
    const std::string line = out.substr(at + 1 + key.size(), out.find('\n', at + 1) - at - 1 - key.size());
    static const std::regex number(R"([-+]?[0-9]+(\.[0-9]+)?)");
    std::vector<double> values;
    for (auto it = std::sregex_iterator(line.begin(), line.end(), number); it != std::sregex_iterator(); ++it) {
      values.push_back(std::stod(it->str()));
    }
    return values;
  }
};

// All runs share one home (and so one synthetic data folder, made by the first run).
SoakRun soak(const std::vector<std::string>& args) {
  static TempDir home("mvsdk-soak-home");
  SoakRun r{run_tool_in_home("mvsdk-soak", args, home.path())};
  r.out.insert(0, "\n");  // so that every summary line starts after a line break
  return r;
}

// s16 at 44.1 kHz in buffers of 300 frames: 4 s x 44100 / 300 = 588 buffers. The memory limit is
// wide (a restart's new engine, a sanitizer's quarantine): the judgement is tested by a leak.
TEST(SoakTest, ShortRunAccountsForEveryBufferAndALeakFailsIt) {
  const SoakRun r = soak({"--seconds", "4", "--speed", "0", "--voice-every", "1", "--restarts", "2", "--rss-every",
                      "0.5", "--format", "s16", "--rate", "44100", "--buffer-frames", "300", "--rss-growth-mb", "512"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.numbers("audio").at(0), 4.0) << r.out;
  // buffers N: converted C, start-up silence S, unconverted U
  const auto buffers = r.numbers("buffers");
  ASSERT_GE(buffers.size(), 4u) << r.out;
  EXPECT_EQ(buffers[0], 588);
  EXPECT_EQ(buffers[0], buffers[1] + buffers[2] + buffers[3]) << r.out;
  EXPECT_GT(buffers[1], 0) << r.out;
  EXPECT_EQ(r.numbers("restarts"), (std::vector<double>{2, 1, 1})) << r.out;  // stop, then engineRelease
  EXPECT_GE(r.numbers("voice changes").at(0), 1) << r.out;
  // rss: at the reference point (a short run's middle), at the end, max, growth, limit; in MB.
  const auto rss = r.numbers("rss ");
  ASSERT_EQ(rss.size(), 6u) << r.out;
  EXPECT_TRUE(rss[0] >= 2 && rss[0] < 4) << rss[0];
  EXPECT_GT(rss[1], 10.0) << "a kit with its models loaded in under 10 MB?";
  EXPECT_NEAR(rss[4], rss[2] - rss[1], 0.11);
  EXPECT_NE(r.out.find("checks         0 failed"), std::string::npos) << r.out;

  // 600 MB a minute kept from the start: 30 MB between the middle and the end of 6 s.
  const SoakRun leak = soak({"--seconds", "6", "--speed", "0", "--restarts", "0", "--rss-every", "0.5",
                         "--rss-growth-mb", "5", "--leak-mb-per-min", "600"});
  EXPECT_EQ(leak.status, 1) << leak.out << leak.err;
  EXPECT_NE(leak.err.find("mvsdk-soak: resident memory grew by"), std::string::npos) << leak.err;
  ASSERT_EQ(leak.numbers("rss ").size(), 6u) << leak.out;
  EXPECT_GT(leak.numbers("rss ")[4], 25.0) << leak.out;
  EXPECT_NE(leak.out.find("checks         1 failed"), std::string::npos) << leak.out;
}

TEST(SoakTest, BadCommandLinesAreRefusedBeforeAnythingRuns) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--seconds", "0"}, "--seconds"}, {{"--speed", "-1"}, "--speed"},     {{"--format", "u8"}, "--format"},
      {{"--rate", "1000"}, "--rate"},    {{"--seconds"}, "missing value"},
      {{"--frobnicate", "1"}, "unknown option"},
  };
  for (const auto& [args, what] : cases) {
    const SoakRun r = soak(args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.err.rfind("mvsdk-soak: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(what), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usage: mvsdk-soak"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "\n") << "nothing on stdout";
  }
  EXPECT_EQ(soak({"--help"}).status, 0);
}

}  // namespace
}  // namespace mvsdk::test
