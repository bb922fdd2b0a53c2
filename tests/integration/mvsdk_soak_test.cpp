// mvsdk-soak as a command, on short runs: the summary adds up (every buffer accounted for, the
// voice changes and restarts asked for were made, memory sampled), its memory check trips on a
// real leak, and bad command lines are refused.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "support/local_service.h"
#include "support/tool_launch.h"

namespace mvsdk::test {
namespace {

namespace fs = std::filesystem;

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};


std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The numbers of the summary line starting with `key`, in order.
std::vector<double> numbers_of(const std::string& out, const std::string& key) {
  const auto at = out.find("\n" + key);
  if (at == std::string::npos) return {};
  const auto end = out.find('\n', at + 1);
  const std::string line = out.substr(at + 1 + key.size(), end - at - 1 - key.size());
  std::vector<double> values;
  static const std::regex number(R"([-+]?[0-9]+(\.[0-9]+)?)");
  for (auto it = std::sregex_iterator(line.begin(), line.end(), number); it != std::sregex_iterator(); ++it) {
    values.push_back(std::stod(it->str()));
  }
  return values;
}

// All runs share one home (and so one synthetic data folder, made by the first run).
class SoakTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { home_ = new TempDir("mvsdk-soak-home"); }
  static void TearDownTestSuite() {
    delete home_;
    home_ = nullptr;
  }

  ToolResult soak(const std::vector<std::string>& args) {
    const fs::path out = dir_.path() / "stdout.txt";
    const fs::path err = dir_.path() / "stderr.txt";
    const fs::path home = home_->path();
    std::string cmd = "env HOME=" + shell_quote(home.string()) + " XDG_DATA_HOME=" + shell_quote((home / "data").string()) +
                      " XDG_CACHE_HOME=" + shell_quote((home / "cache").string()) +
                      " XDG_CONFIG_HOME=" + shell_quote((home / "config").string()) + " OPENBLAS_NUM_THREADS=1 " +
                      launch_command(tool_path("mvsdk-soak"), args);
    cmd += " >" + shell_quote(out.string()) + " 2>" + shell_quote(err.string()) + " </dev/null";
    ToolResult r;
    const int status = std::system(cmd.c_str());
    if (status != -1 && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    r.out = "\n" + slurp(out);  // so that every summary line starts after a line break
    r.err = slurp(err);
    return r;
  }

  static TempDir* home_;
  TempDir dir_{"mvsdk-soak"};
};

TempDir* SoakTest::home_ = nullptr;

TEST_F(SoakTest, ShortRunWithChangesAndRestartsPassesAndAccountsForEveryBuffer) {
  // f32 at 48 kHz in the default cycle of buffer sizes, then s16 at 44.1 kHz in buffers of
  // 300 frames, whose count is known: 4 s x 44100 / 300 = 588.
  struct Case {
    std::vector<std::string> args;
    double seconds;
    int restarts;
    int min_voice_changes;
    std::optional<int> buffers;
  };
  // Runs of a few seconds measure memory across an engine restart (a new engine's buffers) and,
  // in sanitizer builds, the allocator's quarantine, so their growth limit is wide: the judgement
  // itself is tested below with a run that leaks on purpose.
  const std::vector<Case> cases = {
      {{"--seconds", "10", "--speed", "0", "--voice-every", "1.5", "--restarts", "2", "--rss-every", "1",
        "--rss-growth-mb", "512"},
       10, 2, 3, {}},
      {{"--seconds", "4", "--speed", "0", "--voice-every", "1", "--restarts", "1", "--rss-every", "0.5", "--format",
        "s16", "--rate", "44100", "--buffer-frames", "300", "--rss-growth-mb", "512"},
       4, 1, 1, 588},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " s, " + std::to_string(c.restarts) + " restarts");
    const ToolResult r = soak(c.args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");

    const auto audio = numbers_of(r.out, "audio");
    ASSERT_FALSE(audio.empty()) << r.out;
    EXPECT_DOUBLE_EQ(audio[0], c.seconds);

    // buffers N: converted C, start-up silence S, unconverted U (longest call ...)
    const auto buffers = numbers_of(r.out, "buffers");
    ASSERT_GE(buffers.size(), 4u) << r.out;
    EXPECT_EQ(buffers[0], buffers[1] + buffers[2] + buffers[3]) << r.out;
    EXPECT_GT(buffers[1], 0) << r.out;
    if (c.buffers) {
      EXPECT_EQ(buffers[0], *c.buffers) << r.out;
    }

    const auto restarts = numbers_of(r.out, "restarts");
    ASSERT_EQ(restarts.size(), 3u) << r.out;
    EXPECT_EQ(restarts[0], c.restarts);
    // Alternately stop and engineRelease, starting with stop.
    EXPECT_EQ(restarts[1], (c.restarts + 1) / 2);
    EXPECT_EQ(restarts[2], c.restarts / 2);

    const auto voices = numbers_of(r.out, "voice changes");
    ASSERT_EQ(voices.size(), 1u) << r.out;
    EXPECT_GE(voices[0], c.min_voice_changes) << r.out;
    const auto modes = numbers_of(r.out, "setMode");
    ASSERT_EQ(modes.size(), 2u) << r.out;
    EXPECT_GE(modes[0], 1) << r.out;
    EXPECT_LE(modes[1], modes[0]) << r.out;

    // rss: at the reference point, at the end, max, growth, limit; in MB.
    const auto rss = numbers_of(r.out, "rss ");
    ASSERT_EQ(rss.size(), 6u) << r.out;
    // The reference point of a run shorter than two minutes is its middle.
    EXPECT_GE(rss[0], c.seconds / 2);
    EXPECT_LT(rss[0], c.seconds);
    EXPECT_GT(rss[1], 10.0) << "a kit with its models loaded in under 10 MB?";
    EXPECT_GE(rss[3], rss[1]);
    EXPECT_GE(rss[3], rss[2]);
    EXPECT_NEAR(rss[4], rss[2] - rss[1], 0.11);
    EXPECT_NE(r.out.find("checks         0 failed"), std::string::npos) << r.out;
  }
}

TEST_F(SoakTest, MemoryThatKeepsGrowingFailsTheRun) {
  // 600 MB a minute kept from the start: 30 MB between the middle and the end of 6 s.
  const ToolResult r = soak({"--seconds", "6", "--speed", "0", "--restarts", "0", "--rss-every", "0.5",
                             "--rss-growth-mb", "5", "--leak-mb-per-min", "600"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("mvsdk-soak: resident memory grew by"), std::string::npos) << r.err;
  const auto rss = numbers_of(r.out, "rss ");
  ASSERT_EQ(rss.size(), 6u) << r.out;
  EXPECT_GT(rss[4], 25.0) << r.out;
  EXPECT_NE(r.out.find("checks         1 failed"), std::string::npos) << r.out;
}

TEST_F(SoakTest, BadCommandLinesAreRefusedBeforeAnythingRuns) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--seconds", "0"}, "--seconds"},
      {{"--seconds", "ten"}, "--seconds"},
      {{"--speed", "-1"}, "--speed"},
      {{"--restarts", "-2"}, "--restarts"},
      {{"--format", "u8"}, "--format"},
      {{"--buffer-frames", "0"}, "--buffer-frames"},
      {{"--rate", "1000"}, "--rate"},
      {{"--seconds"}, "missing value"},
      {{"--frobnicate", "1"}, "unknown option"},
  };
  for (const auto& [args, what] : cases) {
    const ToolResult r = soak(args);
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
