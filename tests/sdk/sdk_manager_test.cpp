// MVSDKManager: defaults, the failure rows a host reaches before or without a working engine,
// the start poll's timeout, the tone and voice refusals, transform before a voice, the pure
// helpers behind the download progress and the voice id; with the synthetic engine files, the
// voice ids and a stop followed at once by a new configuration and start; with the local
// service, overlapping resource checks; and calls that must not wait for the main queue.
#include <gtest/gtest.h>

#include <thread>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>

#include "mvsdk/mvsdk.h"
#include "net/mv_net_request.h"
#include "platform/dispatch.h"
#include "sdk/input_conditioning.h"
#include "sdk/sdk_manager_impl.h"
#include "support/bridge_catalogue.h"
#include "support/bridge_fixtures.h"
#include "support/local_service.h"
#include "support/sdk_fixtures.h"

namespace mvsdk {
namespace {

using test::ActionResult;
using test::ResultRecorder;

constexpr auto kShort = std::chrono::seconds(10);

MVRtvcBinFileItemModel bin(std::int64_t id, std::int64_t bid, std::string file) {
  MVRtvcBinFileItemModel b;
  b.id = id;
  b.bid = bid;
  b.file = std::move(file);
  return b;
}

class SDKManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::bridge_cache_dir();  // private caches and settings folders
    manager = MVSDKManager::create();
    ASSERT_TRUE(manager);
    manager->setEngineConfig(test::recorded_config(recorder));
  }
  void TearDown() override {
    if (manager) manager->engineRelease();  // the engine is one per process
    manager.reset();
    test::drain_main_queue();
  }
  detail::SDKManagerAccess::Impl& impl() { return detail::SDKManagerAccess::impl(*manager); }
  void set_catalogue(std::vector<MVRtvcBinFileItemModel> bins) {
    auto model = std::make_shared<MVRtvcSpeakerListModel>();
    model->binFiles = std::move(bins);
    MVRtvcSpeakerItemModel voice;
    voice.id = 7;
    voice.name = "Seven";
    model->speakers.push_back(voice);
    impl().setSpeakerListModel(model);
  }
  // Weight set A of the bridge test catalogue (files that load) and its voice 1, under voice_id.
  void set_loadable_catalogue(std::int64_t voice_id) {
    const auto full = test::bridge_catalogue();
    auto model = std::make_shared<MVRtvcSpeakerListModel>();
    std::copy_if(full->binFiles.begin(), full->binFiles.end(), std::back_inserter(model->binFiles),
                 [](const auto& b) { return b.id >= 11 && b.id <= 13; });
    for (const auto& v : full->speakers) {
      if (v.id == 1) model->speakers.push_back(v);
    }
    model->speakers.at(0).id = voice_id;
    impl().setSpeakerListModel(model);
  }
  void expect_next(const ActionResult& want) {
    const auto got = recorder.next(kShort);
    ASSERT_TRUE(got) << "no action result, wanted " << test::to_string(want);
    EXPECT_EQ(*got, want) << test::to_string(*got);
    EXPECT_TRUE(got->on_main_queue);
  }

  ResultRecorder recorder;
  std::shared_ptr<MVSDKManager> manager;
};

TEST_F(SDKManagerTest, DefaultsOfConfigurationAndManager) {
  const EngineConfig c = EngineConfig::defaultConfig();
  EXPECT_EQ(c.sampleRate, 48000);
  EXPECT_EQ(c.token, "");
  EXPECT_FALSE(c.debug);
  EXPECT_FALSE(c.transformDebug);
  EXPECT_EQ(c.channel, 1);
  EXPECT_EQ(c.format, 1);
  EXPECT_TRUE(c.muteOnFail);
  EXPECT_FALSE(c.isSync);
  EXPECT_FALSE(c.onDownload);
  EXPECT_FALSE(c.onActionResult);
  EXPECT_FALSE(c.input.gain || c.input.denoise || c.input.gate);  // the audio goes to the engine as it comes
  EXPECT_EQ(c.input.gainDb, 0.0);
  EXPECT_EQ(c.input.denoiseDb, 30.0);
  EXPECT_EQ(c.input.gateThresholdDbfs, -50.0);
  EXPECT_EQ(c.input.gateAttackMs, 1.0);
  EXPECT_EQ(c.input.gateHoldMs, 100.0);
  EXPECT_EQ(c.input.gateReleaseMs, 100.0);

  auto fresh = MVSDKManager::create();
  EXPECT_EQ(fresh->getEngineStatus(), kEngineStatusIdle);
  EXPECT_FALSE(fresh->isInitialized() || fresh->isPrepared() || fresh->isEngineStarted());
  EXPECT_FALSE(fresh->getCurrentVoice());
  EXPECT_FALSE(fresh->hasSpeakerListModel());
  EXPECT_TRUE(fresh->getVoiceList().empty());
  EXPECT_EQ(fresh->getMode(), 0);
  EXPECT_EQ(fresh->getIntonation(), 0.0f);
  EXPECT_EQ(fresh->getPitch(), 0.0f);
  EXPECT_EQ(fresh->calculateMinDataSize(), 960u);
  EXPECT_EQ(fresh->getSupportIntonation(), (std::vector<double>{-30.0, 30.0}));
  EXPECT_EQ(fresh->getSupportPitch(), (std::vector<double>{-200.0, 200.0}));
  // The token reaches the service client; a default configuration clears it.
  manager->setEngineConfig(test::recorded_config(recorder));
  EXPECT_EQ(MVNetRequest::getToken(), "test-token");
  fresh->setEngineConfig(EngineConfig::defaultConfig());
  EXPECT_EQ(MVNetRequest::getToken(), "");
}

TEST_F(SDKManagerTest, PrepareWithoutTokenAndCheckResourcesBeforePrepare) {
  EngineConfig c = test::recorded_config(recorder);
  c.token = "";
  manager->setEngineConfig(c);
  manager->prepare();
  expect_next({1, 3, "Please call setEngineConfig first to set configuration, Token cannot be empty"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);

  std::promise<std::pair<std::int64_t, std::string>> init;
  manager->initEngine([&](std::int64_t code, const std::string& m) { init.set_value({code, m}); });
  auto f = init.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(0)), std::future_status::ready);  // answered at once
  EXPECT_EQ(f.get().first, 3);

  manager->checkResources();
  expect_next({3, 5, "Please call prepare method first"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
}

TEST_F(SDKManagerTest, StartFailuresInOrder) {
  manager->start();
  expect_next({2, 5, "Speaker list model does not exist, please call prepare method first"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);

  set_catalogue({bin(1, 1, "http://h/x1.bin"), bin(2, 2, "http://h/x2.bin")});
  manager->start();
  expect_next({2, 6, "Bin file list does not exist or insufficient count, at least 3 files required"});

  // The lowest three bids are checked; a fourth entry without a reference does not matter, one
  // among the three does.
  set_catalogue({bin(1, 3, "http://h/x1.bin"), bin(2, 1, ""), bin(3, 2, "http://h/x3.bin"),
                 bin(4, 9, "")});
  manager->start();
  expect_next({2, 3, "Bin file path does not exist"});

  // Files of bids 1 and 3 missing, bid 2 cached: the message names the first and the third.
  test::cache_write("sdkunit-b.bin", "x");
  set_catalogue({bin(13, 3, "http://h/files/sdkunit-c.bin"), bin(11, 1, "http://h/files/sdkunit-a.bin"),
                 bin(12, 2, "http://h/files/sdkunit-b.bin")});
  manager->start();
  expect_next({2, 6,
               "Bin file local path does not exist: file1(http://h/files/sdkunit-a.bin) "
               "file3(http://h/files/sdkunit-c.bin) , please call checkResources to download files first"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
  EXPECT_EQ(recorder.pending(), 0u);
}

// Files present but unusable: the engine manager accepts the start, the engine never comes up,
// and after 30 looks the poll reports the timeout. A sample rate of 0 starts at 48000 Hz.
TEST_F(SDKManagerTest, StartTimeoutWithUnloadableFilesAtDefaultRate) {
  for (const char* name : {"sdkunit-t1.bin", "sdkunit-t2.bin", "sdkunit-t3.bin"}) test::cache_write(name, "short");
  set_catalogue({bin(21, 1, "http://h/sdkunit-t1.bin"), bin(22, 2, "http://h/sdkunit-t2.bin"),
                 bin(23, 3, "http://h/sdkunit-t3.bin")});
  EngineConfig c = test::recorded_config(recorder);
  c.sampleRate = 0;
  manager->setEngineConfig(c);
  impl().engine->setEngineInputSampleRate(8000, 8000);
  manager->start();
  EXPECT_EQ(impl().engine->inputRate(), 48000);
  EXPECT_EQ(impl().engine->outputRate(), 48000);
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusStarted);  // handed to the engine manager
  expect_next({2, 5, "Engine start timeout"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
  EXPECT_FALSE(manager->isEngineStarted());

  // Without a token the engine manager refuses the start itself.
  c.token = "";
  manager->setEngineConfig(c);
  manager->start();
  expect_next({2, 5, "User not logged in"});
}

TEST_F(SDKManagerTest, StopWhenNeverStartedReportsAndResetsConfiguration) {
  set_catalogue({});
  manager->setEngineConfig(test::recorded_config(recorder));
  manager->stop();
  expect_next({2, 0, "Engine stopped successfully (was not started)"});
  EXPECT_EQ(manager->engineConfig().token, "");
  EXPECT_FALSE(manager->engineConfig().onActionResult);
  EXPECT_FALSE(manager->hasSpeakerListModel());
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusIdle);
  EXPECT_EQ(MVNetRequest::getToken(), "");
  // With no callback now, later results are dropped and nothing fails.
  manager->start();
  manager->stop();
  manager->setVoice(1);
  ASSERT_TRUE(test::drain_main_queue());
  EXPECT_EQ(recorder.pending(), 0u);
}

TEST_F(SDKManagerTest, VoiceAndToneBeforeStart) {
  manager->setVoice(std::nullopt);
  expect_next({0, 3, "Voice ID cannot be empty"});
  manager->setVoice(7.9);
  expect_next({0, 5, "Engine is not started, please call start method first"});
  manager->setMode(1, 45.0f, -500.0f);
  expect_next({0, 5, "Engine is not started, please call start method first"});
  EXPECT_EQ(manager->getMode(), 0);
  EXPECT_EQ(manager->getIntonation(), 0.0f);
  EXPECT_EQ(manager->getPitch(), 0.0f);

  bool called = false;
  float got_i = -1, got_p = -1;
  manager->proCalibration("", [&](float i, float p) {
    called = true;
    got_i = i;
    got_p = p;
  });
  EXPECT_TRUE(called);  // at once, on the calling thread
  EXPECT_EQ(got_i, 0.0f);
  EXPECT_EQ(got_p, 0.0f);

  set_catalogue({});
  const auto voices = manager->getVoiceList();
  ASSERT_EQ(voices.size(), 1u);
  EXPECT_EQ(voices[0].id, 7);
  EXPECT_EQ(voices[0].name, "Seven");
}

// Before a voice (and before any start) every call returns its own length: silence with
// muteOnFail, the input without; nothing is kept.
TEST_F(SDKManagerTest, TransformBeforeVoiceReturnsSilenceOrInput) {
  for (bool mute : {true, false}) {
    for (std::int64_t format : {0, 1, 2, 3, 4}) {
      for (std::int64_t channels : {1, 2, 5}) {
        EngineConfig c = test::recorded_config(recorder);
        c.format = format;
        c.channel = channels;
        c.muteOnFail = mute;
        manager->setEngineConfig(c);
        for (std::size_t length : {0u, 1u, 480u, 961u, 4000u}) {
          std::vector<std::uint8_t> in(length);
          for (std::size_t i = 0; i < length; ++i) in[i] = static_cast<std::uint8_t>(i * 7 + 1);
          const auto out = manager->transform(in);
          ASSERT_EQ(out.size(), length);
          EXPECT_EQ(out, mute ? std::vector<std::uint8_t>(length, 0) : in);
        }
      }
    }
  }
  EXPECT_EQ(manager->inputBufferedBytes(), 0u);
  EXPECT_EQ(manager->processedBufferedBytes(), 0u);
  // The span form refuses an output shorter than the input.
  std::vector<std::uint8_t> in(100, 1), out(99, 5);
  EXPECT_EQ(manager->transform(in, out), 0u);
  EXPECT_EQ(out, std::vector<std::uint8_t>(99, 5));
}

// Work scheduled for later holds the manager weakly: dropping the handle frees it at once, and
// a start poll still pending reports nothing.
TEST_F(SDKManagerTest, LaterWorkDoesNotKeepTheManager) {
  for (const char* name : {"sdkunit-w1.bin", "sdkunit-w2.bin", "sdkunit-w3.bin"}) test::cache_write(name, "short");
  set_catalogue({bin(31, 1, "http://h/sdkunit-w1.bin"), bin(32, 2, "http://h/sdkunit-w2.bin"),
                 bin(33, 3, "http://h/sdkunit-w3.bin")});
  manager->start();
  auto weak = detail::SDKManagerAccess::weak(*manager);
  manager.reset();
  // A task already running may hold the manager for the moment it takes to finish; work that keeps
  // it (the 3 s start poll, say) would hold it far longer than this bound.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!weak.expired() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(recorder.next(std::chrono::seconds(5)));
}

// A catalogue id of 2^31 or more is matched by its 32-bit value, by setVoice and by the engine
// manager alike.
TEST_F(SDKManagerTest, VoiceIdsBeyond31BitsAreFoundOnce) {
  set_loadable_catalogue(1);
  manager->start();
  expect_next({2, 0, "Engine started successfully"});
  const struct {
    std::int64_t catalogue_id;
    double given;
  } cases[] = {{2147483648LL, 2147483648.0}, {4294967296LL + 7, 7.0}, {-3, 4294967293.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.catalogue_id);
    set_loadable_catalogue(c.catalogue_id);
    manager->setVoice(c.given);
    expect_next({0, 0, "Set voice ID " + std::to_string(sdk::voice_id_int32(c.given)) + " successfully"});
    EXPECT_EQ(manager->getCurrentVoice(), c.given);
    ASSERT_NE(impl().rtvcEngineManager->currSpeaker(), nullptr);
    EXPECT_EQ(impl().rtvcEngineManager->currSpeaker()->id, c.catalogue_id);
  }
}

// What the host configures and starts once stop has returned is kept, also while the stop still
// waits for the engine queue.
TEST_F(SDKManagerTest, StopKeepsWhatFollowsIt) {
  set_loadable_catalogue(1);
  manager->start();
  expect_next({2, 0, "Engine started successfully"});

  test::QueueGate gate;
  ASSERT_TRUE(gate.wait_held());
  manager->stop();
  EngineConfig next = test::recorded_config(recorder);
  next.token = "after-stop";
  manager->setEngineConfig(next);
  set_loadable_catalogue(1);  // what prepare would load
  manager->start();
  gate.release();

  std::vector<std::string> messages;
  for (int i = 0; i < 2; ++i) {
    const auto r = recorder.next(kShort);
    ASSERT_TRUE(r) << "results so far: " << messages.size();
    EXPECT_EQ(r->action, 2);
    EXPECT_EQ(r->code, 0);
    messages.push_back(r->message);
  }
  std::sort(messages.begin(), messages.end());
  EXPECT_EQ(messages, (std::vector<std::string>{"Engine started successfully", "Engine stopped successfully"}));
  ASSERT_TRUE(test::drain_engine_queue());
  ASSERT_TRUE(test::drain_main_queue());
  EXPECT_EQ(manager->engineConfig().token, "after-stop");
  EXPECT_EQ(MVNetRequest::getToken(), "after-stop");
  EXPECT_TRUE(manager->hasSpeakerListModel());
  EXPECT_TRUE(manager->isEngineStarted());
  EXPECT_TRUE(impl().engine->getEngineStatus());
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusStarted);
}

// Points the caches folder at a fresh temporary folder for one test, and back afterwards.
class ScopedCacheHome {
 public:
  ScopedCacheHome() {
    const char* before = std::getenv("XDG_CACHE_HOME");
    previous_ = before ? before : "";
    ::setenv("XDG_CACHE_HOME", dir_.path().c_str(), 1);
  }
  ~ScopedCacheHome() { ::setenv("XDG_CACHE_HOME", previous_.c_str(), 1); }
  std::filesystem::path files() const { return dir_.path() / "MVRtvcFile"; }

 private:
  test::TempDir dir_{"sdk-cache"};
  std::string previous_;
};

// Two checks at once, from two threads, for two catalogues: each gets its own batch and result.
// The main queue is held until both calls are made. A weight file whose catalogue size is 0
// counts 0 bytes in the summary.
TEST_F(SDKManagerTest, OverlappingResourceChecksEachGetTheirOwnResult) {
  ScopedCacheHome cache;
  test::TempDir root("sdk-service");
  test::write_sample_service_folder(root.path());
  test::LocalService service(root.path());
  ASSERT_TRUE(service.ok()) << service.error();
  const MVRtvcSpeakerListModel served = MVRtvcSpeakerListModel::transferModel(service.catalogue());
  ASSERT_EQ(served.speakers.size(), 2u);
  ASSERT_EQ(served.binFiles.size(), 3u);

  // First: Alice's style, am.bin and voc.bin (size 0); second: Bob's style and bn.bin.
  auto first = std::make_shared<MVRtvcSpeakerListModel>();
  first->speakers = {served.speakers[0]};
  first->binFiles = {served.binFiles[0], served.binFiles[2]};
  first->binFiles[1].size = 0;
  auto second = std::make_shared<MVRtvcSpeakerListModel>();
  second->speakers = {served.speakers[1]};
  second->binFiles = {served.binFiles[1]};
  ResultRecorder other_recorder;
  auto other = MVSDKManager::create();
  other->setEngineConfig(test::recorded_config(other_recorder));
  for (auto [m, model] : {std::pair{manager.get(), first}, std::pair{other.get(), second}}) {
    detail::SDKManagerAccess::impl(*m).setSpeakerListModel(model);
    detail::SDKManagerAccess::impl(*m).isPrepared = true;
  }

  auto release = std::make_shared<std::promise<void>>();
  platform::main_queue().async([held = release->get_future().share()] { held.wait_for(std::chrono::seconds(30)); });
  std::thread a([&] { manager->checkResources(); });
  std::thread b([&] { other->checkResources(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  release->set_value();
  a.join();
  b.join();

  expect_next({3, 0, sdk::resources_summary(3, 4096 + served.binFiles[0].size)});
  const auto got = other_recorder.next(kShort);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (ActionResult{3, 0, sdk::resources_summary(2, 4096 + served.binFiles[1].size)}))
      << test::to_string(*got);
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusPrepared);
  EXPECT_EQ(other->getEngineStatus(), kEngineStatusPrepared);
  for (const char* name : {"alice.txt", "bob.txt", "am.bin", "bn.bin", "voc.bin"}) {
    EXPECT_TRUE(std::filesystem::exists(cache.files() / name)) << name;
  }
  other.reset();
  ASSERT_TRUE(test::drain_main_queue());
}

// The calls that reach the download manager return while a host callback holds the main queue
// waiting for the calling thread; their results follow.
TEST_F(SDKManagerTest, ResourceCallsDoNotWaitForTheMainQueue) {
  ScopedCacheHome cache;  // empty: nothing to download, nothing to delete
  impl().setSpeakerListModel(std::make_shared<MVRtvcSpeakerListModel>());
  impl().isPrepared = true;
  const struct {
    const char* name;
    std::function<void()> call;
    ActionResult result;
  } cases[] = {
      {"checkResources", [&] { manager->checkResources(); }, {3, 0, "Resources already downloaded"}},
      {"cleanAllFiles", [&] { manager->cleanAllFiles(); }, {5, 0, "All files cleaned"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto returned = std::make_shared<std::promise<void>>();
    std::promise<void> holding;
    std::promise<bool> saw_return;
    platform::main_queue().async([&, done = returned->get_future().share()] {
      holding.set_value();
      saw_return.set_value(done.wait_for(std::chrono::seconds(5)) == std::future_status::ready);
    });
    holding.get_future().wait();
    std::thread caller([&] {
      c.call();
      returned->set_value();
    });
    EXPECT_TRUE(saw_return.get_future().get()) << c.name << " waited for the main queue";
    caller.join();
    expect_next(c.result);
  }
}

TEST(SDKManagerHelpers, DownloadReport) {
  auto r = sdk::download_report(0.5f, 5);
  EXPECT_EQ(r.percent, 50);
  EXPECT_EQ(r.current, 3);
  EXPECT_EQ(r.total, 5);
  r = sdk::download_report(0.0f, 5);
  EXPECT_EQ(r.percent, 0);
  EXPECT_EQ(r.current, 1);
  r = sdk::download_report(1.0f, 5);
  EXPECT_EQ(r.percent, 100);
  EXPECT_EQ(r.current, 5);
  r = sdk::download_report(0.999f, 5);
  EXPECT_EQ(r.percent, 99);
  EXPECT_EQ(r.current, 5);
  r = sdk::download_report(std::numeric_limits<float>::quiet_NaN(), 3);
  EXPECT_EQ(r.current, 1);
  EXPECT_EQ(sdk::resources_summary(5, 3 * 1048576 + 4096 * 2),
            "Total 5 files, total size: 3153920 bytes (3.01 MB)");
}

// Input conditioning: values of a stage that is on must lie in its range (the first one that does
// not is named); a stage that is off is not looked at. The start's log lines say what is on.
TEST(SDKManagerHelpers, InputConditioningRangesAndReport) {
  struct Case {
    std::function<void(InputConditioning&)> set;
    std::string problem;
  };
  const double nan = std::nan("");
  const Case cases[] = {
      {[](InputConditioning&) {}, ""},
      {[](InputConditioning& c) { c.gainDb = 99; c.denoiseDb = 0; c.gateThresholdDbfs = 5; }, ""},  // all off
      {[](InputConditioning& c) { c.gain = true; c.gainDb = 40; }, ""},
      {[](InputConditioning& c) { c.gain = true; c.gainDb = 40.5; }, "Unsupported input gain 40.5 dB (-40 to 40 dB)"},
      {[](InputConditioning& c) { c.gain = true; c.gainDb = -41; }, "Unsupported input gain -41 dB (-40 to 40 dB)"},
      {[nan](InputConditioning& c) { c.gain = true; c.gainDb = nan; }, "Unsupported input gain nan dB (-40 to 40 dB)"},
      {[](InputConditioning& c) { c.denoise = true; c.denoiseDb = 1; }, ""},
      {[](InputConditioning& c) { c.denoise = true; c.denoiseDb = 0.5; },
       "Unsupported noise suppression 0.5 dB (1 to 60 dB)"},
      {[](InputConditioning& c) { c.denoise = true; c.denoiseDb = 61; },
       "Unsupported noise suppression 61 dB (1 to 60 dB)"},
      {[](InputConditioning& c) { c.gate = true; c.gateThresholdDbfs = 0.1; },
       "Unsupported gate threshold 0.1 dBFS (-100 to 0 dBFS)"},
      {[](InputConditioning& c) { c.gate = true; c.gateThresholdDbfs = -100; c.gateAttackMs = 0; c.gateHoldMs = 0; }, ""},
      {[](InputConditioning& c) { c.gate = true; c.gateAttackMs = 101; }, "Unsupported gate attack 101 ms (0 to 100 ms)"},
      {[](InputConditioning& c) { c.gate = true; c.gateHoldMs = -1; }, "Unsupported gate hold -1 ms (0 to 2000 ms)"},
      {[](InputConditioning& c) { c.gate = true; c.gateReleaseMs = 0; },
       "Unsupported gate release 0 ms (1 to 2000 ms)"},
      {[](InputConditioning& c) { c.gain = true; c.gainDb = 50; c.gate = true; c.gateHoldMs = -1; },
       "Unsupported input gain 50 dB (-40 to 40 dB)"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    InputConditioning c;
    cases[i].set(c);
    EXPECT_EQ(sdk::input_conditioning_problem(c), cases[i].problem) << "case " << i;
  }

  InputConditioning c;
  EXPECT_EQ(sdk::input_conditioning_report(c),
            (std::vector<std::string>{"input gain off", "noise suppression off", "noise gate off"}));
  c.gain = c.denoise = c.gate = true;
  c.gainDb = 6;
  c.denoiseDb = 25;
  c.gateThresholdDbfs = -45.5;
  EXPECT_EQ(sdk::input_conditioning_report(c),
            (std::vector<std::string>{"input gain on: +6 dB, soft limiter above -2.5 dBFS",
                                      "noise suppression on: at most 25 dB, 10 ms delay",
                                      "noise gate on: threshold -45.5 dBFS, attack 1 ms, hold 100 ms, release 100 ms"}));
  const auto s = sdk::conditioner_settings(c);
  EXPECT_TRUE(s.gain && s.denoise && s.gate);
  EXPECT_EQ(s.gain_db, 6.0f);
  EXPECT_EQ(s.denoise_db, 25.0f);
  EXPECT_EQ(s.gate_threshold_dbfs, -45.5f);
  EXPECT_EQ(s.gate_release_ms, 100.0f);
}

TEST(SDKManagerHelpers, VoiceIdAs32BitInteger) {
  EXPECT_EQ(sdk::voice_id_int32(7.9), 7);
  EXPECT_EQ(sdk::voice_id_int32(-7.9), -7);
  EXPECT_EQ(sdk::voice_id_int32(4294967296.0 + 5.0), 5);
  EXPECT_EQ(sdk::voice_id_int32(2147483648.0), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(sdk::voice_id_int32(std::nan("")), 0);
  EXPECT_EQ(sdk::voice_id_int32(1e300), 0);
}

}  // namespace
}  // namespace mvsdk
