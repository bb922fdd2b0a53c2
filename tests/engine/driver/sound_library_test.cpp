#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "engine/driver/MVSoundLibrary.h"
#include "engine/driver/engine.h"
#include "support/engine_start_failures.h"
#include "support/synthetic_models.h"

using mvsdk::engine::MVSoundLibrary;
namespace fs = std::filesystem;

namespace {

class SoundLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    MVSoundLibrary::setLogger([this](const std::string& line) { log_.push_back(line); });
  }
  void TearDown() override {
    MVSoundLibrary::stopEngineSoundLibrary();
    MVSoundLibrary::setLogger(nullptr);
    MVSoundLibrary::setHalfPrecisionWeights(false);
  }
  static int start(const std::string& am, const std::string& bn, const std::string& voc, int in_rate = 48000) {
    return MVSoundLibrary::startEngine(am.c_str(), bn.c_str(), voc.c_str(), in_rate, 48000);
  }
  std::vector<std::string> log_;
};

}  // namespace

TEST_F(SoundLibrary, AnswersBeforeStartThenStartPushPopStopAndSecondStartKeepsEngine) {
  ASSERT_EQ(MVSoundLibrary::getEngineStatus(), 0);
  short buf[480] = {};
  float p[6] = {0, 0, 0, 0.1f, 2000, 0};
  EXPECT_EQ(MVSoundLibrary::realTimeSoundTransferSoundLibrary(buf, 480, 1, p), MVSoundLibrary::kNotStarted);
  EXPECT_EQ(MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(buf, 480), MVSoundLibrary::kNotStarted);
  EXPECT_EQ(MVSoundLibrary::engineSetdelay(3), MVSoundLibrary::kNotStarted);
  EXPECT_EQ(MVSoundLibrary::stopEngineSoundLibrary(), MVSoundLibrary::kDone);
  EXPECT_EQ(MVSoundLibrary::setSpeakersStyleSoundLibrary(p), MVSoundLibrary::kDone);
  EXPECT_EQ(MVSoundLibrary::engineReset(), MVSoundLibrary::kDone);
  const auto& m = mvsdk::test::synthetic_models();
  MVSoundLibrary::setHalfPrecisionWeights(true);  // taken by the next start
  ASSERT_EQ(start(m.am, m.bn, m.voc), MVSoundLibrary::kDone);
  EXPECT_EQ(MVSoundLibrary::getEngineStatus(), 1);
  EXPECT_TRUE(MVSoundLibrary::halfPrecisionWeights());
  auto* first = MVSoundLibrary::currentEngine();
  // A second start while running is ignored: same engine, same rates.
  EXPECT_EQ(start(m.am, m.bn, m.voc, 16000), MVSoundLibrary::kDone);
  EXPECT_EQ(MVSoundLibrary::currentEngine(), first);
  EXPECT_EQ(first->input_rate(), 48000);
  std::vector<float> style(192, 0.05f);
  EXPECT_EQ(MVSoundLibrary::setSpeakersStyleSoundLibrary(style.data()), MVSoundLibrary::kDone);
  EXPECT_EQ(MVSoundLibrary::engineSetdelay(4), MVSoundLibrary::kDone);
  EXPECT_EQ(first->delay(), 4);  // passed on to the engine
  std::vector<short> in(480, 100), out(480);
  int produced = 0;
  for (int i = 0; i < 20; ++i) {
    produced += MVSoundLibrary::realTimeSoundTransferSoundLibrary(in.data(), 480, 1, p);
    EXPECT_EQ(MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(out.data(), 480), 480);
  }
  EXPECT_EQ(produced, 7680);
  // Drain what is queued (the first pops were pre-output silence); then an underrun reports 0.
  while (MVSoundLibrary::currentEngine()->queued_samples() >= 480) {
    MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(out.data(), 480);
  }
  EXPECT_EQ(MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(out.data(), 480), 0);
  EXPECT_EQ(MVSoundLibrary::stopEngineSoundLibrary(), MVSoundLibrary::kDone);
  EXPECT_EQ(MVSoundLibrary::getEngineStatus(), 0);
}

// Missing, empty, one float short, a directory, a link to /proc/self/mem (opens, but reads at
// offset 0 fail and it reports no length), a link to itself, and (when not root, for whom a mode
// of 000 does not stop a read) an unreadable file: each keeps the engine stopped with a log line
// naming the file; the good files still start it afterwards.
TEST_F(SoundLibrary, BadModelFilesKeepTheEngineStopped) {
  const auto& m = mvsdk::test::synthetic_models();
  const fs::path dir = mvsdk::test::temp_dir("badmodels");
  std::ofstream(dir / "empty.bin").close();
  {
    std::ifstream src(m.bn, std::ios::binary);
    std::vector<char> data(fs::file_size(m.bn) - 4);
    src.read(data.data(), static_cast<std::streamsize>(data.size()));
    std::ofstream(dir / "short.bin", std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  fs::create_directory(dir / "subdir");
  fs::create_symlink("/proc/self/mem", dir / "proc_mem.bin");
  fs::create_symlink("loop.bin", dir / "loop.bin");
  std::vector<std::vector<std::string>> cases = {{(dir / "missing.bin").string(), m.bn, m.voc},
                                                 {m.am, (dir / "empty.bin").string(), m.voc},
                                                 {m.am, (dir / "short.bin").string(), m.voc},
                                                 {m.am, m.bn, (dir / "subdir").string()},
                                                 {m.am, m.bn, (dir / "proc_mem.bin").string()},
                                                 {m.am, m.bn, (dir / "loop.bin").string()}};
  if (::geteuid() != 0) {
    fs::copy_file(m.voc, dir / "locked.bin");
    fs::permissions(dir / "locked.bin", fs::perms::none);
    cases.push_back({m.am, m.bn, (dir / "locked.bin").string()});
  }
  for (const auto& c : cases) {
    const std::string& named = c[0] != m.am ? c[0] : (c[1] != m.bn ? c[1] : c[2]);
    SCOPED_TRACE(named);
    log_.clear();
    EXPECT_EQ(start(c[0], c[1], c[2]), MVSoundLibrary::kModelFileError);
    EXPECT_EQ(MVSoundLibrary::getEngineStatus(), 0);
    ASSERT_FALSE(log_.empty());
    EXPECT_NE(log_[0].find(named), std::string::npos) << log_[0];
  }
  EXPECT_EQ(start(m.am, m.bn, m.voc, 1000), MVSoundLibrary::kEngineInitError);
  EXPECT_EQ(MVSoundLibrary::getEngineStatus(), 0);
  EXPECT_EQ(start(m.am, m.bn, m.voc), MVSoundLibrary::kDone);
}

// The engine's construction under allocation failure: a spread of failing allocations (the
// first and last ones, and every few in between). Each start must fail with kEngineInitError and
// leave nothing running; a start afterwards must still work.
TEST(EngineAllocationFailure, EachFailedAllocationFailsTheStartCleanly) {
  MVSoundLibrary::setLogger(nullptr);
  const std::size_t total = mvsdk::test::allocations_of_a_start();
  ASSERT_GT(total, 10u) << "a start makes no allocations the counter can see";
  std::set<std::size_t> picks;
  for (std::size_t i = 1; i <= std::min<std::size_t>(total, 8); ++i) picks.insert(i);
  for (std::size_t i = total > 8 ? total - 7 : 1; i <= total; ++i) picks.insert(i);
  const std::size_t stride = std::max<std::size_t>(1, total / 24);
  for (std::size_t i = 1; i <= total; i += stride) picks.insert(i);
  EXPECT_TRUE(mvsdk::test::starts_failing_at({picks.begin(), picks.end()}).empty());
  // Nothing was left half set up.
  EXPECT_EQ(mvsdk::test::start_synthetic_engine(), MVSoundLibrary::kDone);
  EXPECT_EQ(MVSoundLibrary::getEngineStatus(), 1);
  MVSoundLibrary::stopEngineSoundLibrary();
}
