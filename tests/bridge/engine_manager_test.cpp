#include "bridge/mv_rtvc_engine_manager.h"

#include <gtest/gtest.h>

#include <future>

#include "engine/driver/MVSoundLibrary.h"
#include "engine/driver/engine.h"
#include "support/bridge_catalogue.h"
#include "support/bridge_fixtures.h"

using namespace mvsdk;
using namespace mvsdk::bridge;
using namespace std::chrono_literals;

namespace {

struct Outcome {
  bool ok = false;
  std::string message;
};

// Waits for the first of success / failure; a timeout is a failure with message "timeout".
class Report {
 public:
  MVRtvcEngineManager::Success success() {
    return [p = promise_] { p->set_value({true, ""}); };
  }
  MVRtvcEngineManager::Failure failure() {
    return [p = promise_](const std::string& m) { p->set_value({false, m}); };
  }
  Outcome wait(std::chrono::milliseconds timeout = 120s) {
    if (future_.wait_for(timeout) != std::future_status::ready) return {false, "timeout"};
    return future_.get();
  }

 private:
  std::shared_ptr<std::promise<Outcome>> promise_ = std::make_shared<std::promise<Outcome>>();
  std::future<Outcome> future_ = promise_->get_future();
};

const Bytes kBlock(960, 0x11);

class EngineManager : public ::testing::Test {
 protected:
  void SetUp() override {
    host_->set_catalogue(catalogue_);
    stop();
  }
  void TearDown() override {
    stop();
    test::drain_main_queue();
  }
  void stop() {
    manager_->engineManager()->stopEngine([] {});
    ASSERT_TRUE(test::drain_engine_queue());
  }
  Outcome change(std::int64_t id) {
    Report r;
    manager_->setSpeakerWithSpeakerId(id, r.success(), r.failure());
    return r.wait();
  }
  Outcome start(const std::vector<std::int64_t>& ids) {
    Report r;
    manager_->startEngineWithIds(ids, r.success(), r.failure());
    return r.wait();
  }
  VoicePtr voice(std::int64_t id) { return manager_->setEngineSpeakerWithSpeakerId(id); }
  Bytes convert() { return manager_->syncRealTimeTranscribeDataWithData(kBlock, 0, 0, 0); }

  std::shared_ptr<test::FakeHost> host_ = std::make_shared<test::FakeHost>();
  std::shared_ptr<MVRtvcSpeakerListModel> catalogue_ = test::bridge_catalogue();
  std::shared_ptr<MVRtvcEngineManager> manager_ = MVRtvcEngineManager::create(host_, nullptr);
};

}  // namespace

TEST_F(EngineManager, FailureTexts) {
  // Login is checked first by the voice changes, last by the engine start.
  host_->set_token("");
  EXPECT_EQ(change(1).message, "User not logged in");
  Report r;
  manager_->setSpeakerWithModel(voice(1), r.success(), r.failure());
  EXPECT_EQ(r.wait().message, "User not logged in");
  EXPECT_EQ(start({1, 2}).message, "At least 3 Bin file IDs required");
  EXPECT_EQ(start({11, 12, 13}).message, "User not logged in");
  host_->set_token("token-1");

  EXPECT_EQ(change(999).message, "Current speaker not found");
  EXPECT_EQ(change(4).message, "Current speaker binFileIds not found");
  // Which slot is missing in the catalogue is the engine files' own check: one passes through.
  const std::pair<std::vector<std::int64_t>, std::string> starts[] = {
      {{99, 12, 13}, "Resource not found 1"},   {{41, 42, 43}, "Resource not found id1"},
      {{44, 42, 43}, "Resource not found id2"}, {{44, 13, 43}, "Resource not found id3"},
  };
  for (const auto& [ids, text] : starts) EXPECT_EQ(start(ids).message, text);
  EXPECT_FALSE(manager_->ids().has_value());

  // Style failures lower the flag; a style of fewer than 192 numbers never reaches the engine.
  const std::pair<std::int64_t, std::string> styles[] = {
      {5, "音色设置失败, 无法获取资源"},
      {6, "Failed to set speaker, unable to get resource"},
      {7, "Failed to set speaker, unable to get resource"},
      {8, "Failed to set speaker, unable to get resource"},
  };
  for (const auto& [id, text] : styles) {
    EXPECT_EQ(change(id).message, text);
    EXPECT_FALSE(manager_->isSettingSpeaker());
    EXPECT_EQ(voice(id)->relustSpeaker, nullptr);
  }
  EXPECT_EQ(manager_->currSpeaker(), nullptr);

  host_->set_catalogue(nullptr);
  EXPECT_EQ(change(1).message, "Current speaker not found");
  EXPECT_EQ(start({11, 12, 13}).message, "Resource not found 1");
}

TEST_F(EngineManager, ChangesStartWithFilesByBidRestartForOtherFilesAndCacheTheStyle) {
  Outcome o = change(1);
  ASSERT_TRUE(o.ok) << o.message;
  // The engine only loads when each file went to its network (their sizes differ).
  EXPECT_TRUE(manager_->getEngineStatus());
  EXPECT_EQ(manager_->ids(), (std::vector<std::int64_t>{13, 11, 12}));
  EXPECT_EQ(manager_->currIds(), "id1:12  id2:13  id3:11");
  ASSERT_NE(manager_->currSpeaker(), nullptr);
  EXPECT_EQ(manager_->currSpeaker()->id, 1);
  EXPECT_FALSE(manager_->isSettingSpeaker());
  ASSERT_NE(voice(1)->relustSpeaker, nullptr);
  EXPECT_EQ(voice(1)->relustSpeaker->size(), 193u);

  // The style is cached in the voice: the second change reads no file.
  const auto cached = voice(1)->relustSpeaker;
  test::cache_remove(test::bridge_style_file(1));
  o = change(1);
  test::bridge_write_style(1);
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(voice(1)->relustSpeaker, cached);

  // Other files restart the engine.
  o = change(2);
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_TRUE(manager_->getEngineStatus());
  EXPECT_EQ(manager_->currIds(), "id1:21  id2:22  id3:23");
  EXPECT_EQ(manager_->currSpeaker()->id, 2);

  // The cache belongs to the catalogue: a new catalogue starts without it.
  host_->set_catalogue(test::bridge_catalogue());
  EXPECT_EQ(voice(1)->relustSpeaker, nullptr);
  std::weak_ptr<MVRtvcSpeakerListModel> old = catalogue_;
  catalogue_.reset();
  manager_->destroyEngineWithSuccess([] {});
  ASSERT_TRUE(test::drain_engine_queue());
  ASSERT_TRUE(test::drain_main_queue());
  EXPECT_TRUE(old.expired());  // released with its last holder (currSpeaker)
  // Back to voice 1 from a stopped engine: a plain start.
  ASSERT_TRUE(change(1).ok);
  EXPECT_EQ(manager_->ids(), (std::vector<std::int64_t>{13, 11, 12}));
}

TEST_F(EngineManager, ChangeResetsEngineAndPassesAudioMeanwhile) {
  ASSERT_TRUE(change(1).ok);
  // Convert until the engine has produced its first chunk.
  for (int i = 0; i < 40 && !engine::MVSoundLibrary::currentEngine()->started(); ++i) {
    const Bytes out = convert();
    EXPECT_TRUE(out.empty() || out.size() == kBlock.size());
  }
  ASSERT_TRUE(engine::MVSoundLibrary::currentEngine()->started());

  test::LogCapture log;
  test::QueueGate gate;
  ASSERT_TRUE(gate.wait_held());
  Report r;
  manager_->setSpeakerWithSpeakerId(1, r.success(), r.failure());
  EXPECT_TRUE(manager_->isSettingSpeaker());
  // Meanwhile: the input itself, or silence of its length with muteOnFail.
  for (const bool mute : {false, true}) {
    host_->set_mute(mute);
    const Bytes want = mute ? Bytes(960, 0) : kBlock;
    EXPECT_EQ(convert(), want);
    Bytes async_out;
    manager_->realTimeTranscribeDataWithData(kBlock, 0, 0, 0, [&](const Bytes& b) { async_out = b; });
    EXPECT_EQ(async_out, want);
  }
  host_->set_mute(false);
  gate.release();

  Outcome o = r.wait();
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_FALSE(manager_->isSettingSpeaker());
  EXPECT_FALSE(engine::MVSoundLibrary::currentEngine()->started());  // the reset cleared the stream
  EXPECT_FALSE(log.contains("Warning: setSpeakersStyle completion timeout"));
  // Afterwards conversions reach the engine again.
  EXPECT_EQ(convert().size(), kBlock.size());
}

// Voice 3's acoustic model does not load. Whether the change restarts a running engine or starts
// one, it fails once the engine is seen not running, and sets no style.
TEST_F(EngineManager, ChangeToFilesThatDoNotLoadFails) {
  for (const bool running_before : {true, false}) {
    SCOPED_TRACE(running_before ? "restart" : "start");
    stop();
    if (running_before) {
      ASSERT_TRUE(change(2).ok);
    }
    test::LogCapture log;
    EXPECT_EQ(change(3).message, "Engine start failed");
    EXPECT_TRUE(log.contains("c-am.bin"));
    EXPECT_FALSE(manager_->getEngineStatus());
    EXPECT_FALSE(manager_->isSettingSpeaker());
    EXPECT_EQ(manager_->currSpeaker(), nullptr);
    EXPECT_EQ(manager_->ids(), (std::vector<std::int64_t>{31, 32, 33}));
    ASSERT_TRUE(test::drain_main_queue());
    EXPECT_EQ(voice(3)->relustSpeaker, nullptr);  // the style was never loaded
  }
  // Healthy files start as usual afterwards.
  ASSERT_TRUE(change(1).ok);
  EXPECT_TRUE(manager_->getEngineStatus());
}

TEST_F(EngineManager, WatchdogLowersTheFlagAfterASecond) {
  test::LogCapture log;
  test::QueueGate gate;  // the style confirmation cannot arrive while the queue is held
  ASSERT_TRUE(gate.wait_held());
  Report r;
  manager_->setRelustSpeakerWithModel(voice(1), r.success(), r.failure());
  EXPECT_TRUE(manager_->isSettingSpeaker());
  ASSERT_TRUE(test::wait_until([&] { return !manager_->isSettingSpeaker(); }, 20s));
  EXPECT_TRUE(test::drain_main_queue());
  EXPECT_TRUE(log.contains("Warning: setSpeakersStyle completion timeout, force reset isSettingSpeaker"));
  EXPECT_EQ(manager_->currSpeaker(), nullptr);  // unchanged until the confirmation

  gate.release();  // the late confirmation completes the change as usual
  ASSERT_TRUE(r.wait().ok);
  ASSERT_NE(manager_->currSpeaker(), nullptr);
  EXPECT_EQ(manager_->currSpeaker()->id, 1);
}

TEST_F(EngineManager, ResetReleaseAndDestroy) {
  ASSERT_TRUE(change(1).ok);
  std::promise<bool> reset;
  manager_->resetEngineWithSuccess([&](bool ok) { reset.set_value(ok); });
  auto rf = reset.get_future();
  ASSERT_EQ(rf.wait_for(60s), std::future_status::ready);
  EXPECT_TRUE(rf.get());
  EXPECT_EQ(manager_->currSpeaker()->id, 1);  // a reset keeps the identity

  std::promise<void> released;
  manager_->destroyEngineWithSuccess([&] { released.set_value(); });
  ASSERT_EQ(released.get_future().wait_for(60s), std::future_status::ready);
  EXPECT_FALSE(manager_->getEngineStatus());
  EXPECT_EQ(manager_->currSpeaker(), nullptr);
  EXPECT_FALSE(manager_->ids().has_value());
  EXPECT_EQ(manager_->currIds(), "");

  // Without an engine: at once, and conversions give empty bytes (never none).
  bool called = false;
  manager_->destroyEngineWithSuccess([&] { called = true; });
  EXPECT_TRUE(called);
  EXPECT_TRUE(convert().empty());
  EXPECT_FALSE(MVRtvcEngineManager::getSpeakerFileWithFile("/nonexistent/style.txt").has_value());
  test::cache_write("latin1.txt", "\xe9t\xe9");
  EXPECT_FALSE(MVRtvcEngineManager::getSpeakerFileWithFile((test::bridge_cache_dir() / "latin1.txt").string()));
}

TEST_F(EngineManager, LaterWorkOfAGoneManagerDoesNothing) {
  test::QueueGate gate;
  ASSERT_TRUE(gate.wait_held());
  bool reset_called = false, release_called = false;
  manager_->resetEngineWithSuccess([&](bool) { reset_called = true; });
  manager_->releaseEngineWithSuccess([&] { release_called = true; });
  manager_.reset();
  gate.release();
  ASSERT_TRUE(test::drain_engine_queue());
  EXPECT_FALSE(reset_called);
  EXPECT_FALSE(release_called);
  manager_ = MVRtvcEngineManager::create(host_, nullptr);
}
