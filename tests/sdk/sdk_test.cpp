// The SDK facade below the service: the host sample-format conversions (the value table at its
// edges, channels, lengths, random input of every format) and MVSDKManager (failures before or
// without a working engine, voice ids, stop and start racing, overlapping resource checks, calls
// that must not wait for the main queue, the helpers and input-conditioning ranges).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>

#include "mvsdk/mvsdk.h"
#include "net/mv_net_request.h"
#include "platform/dispatch.h"
#include "sdk/input_conditioning.h"
#include "sdk/sample_formats.h"
#include "sdk/sdk_manager_impl.h"
#include "support/bridge_fixtures.h"
#include "support/local_service.h"
#include "support/sdk_fixtures.h"
#include "support/seeded_weights.h"

namespace mvsdk::sdk {
namespace {

Bytes le16(std::initializer_list<int> samples) {
  Bytes b;
  for (int s : samples) {
    const auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(s));
    b.push_back(static_cast<std::uint8_t>(u));
    b.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return b;
}

std::int16_t s16_at(const Bytes& b, std::size_t i) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
}

// One host sample (up to 4 bytes, little-endian) to 16 bits, and back.
template <typename T>
std::int16_t to16(T host, std::int64_t format) {
  std::uint8_t p[4] = {};
  std::memcpy(p, &host, sizeof host);
  return sample_to_s16(p, format);
}
template <typename T>
T from16(std::int16_t s, std::int64_t format) {
  std::uint8_t p[4] = {};
  sample_from_s16(s, format, p);
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

TEST(SampleFormats, BytesPerSampleAndMinBlock) {
  const std::pair<std::int64_t, int> sizes[] = {{0, 1}, {1, 2}, {2, 4}, {3, 4}, {4, 4}, {7, 2}, {-1, 2}};
  for (const auto& [format, bytes] : sizes) EXPECT_EQ(bytes_per_sample(format), bytes) << format;
  EXPECT_EQ(min_block_bytes(-5, 0, kFormatS16), 960u);  // 48 kHz mono
  EXPECT_EQ(min_block_bytes(44100, 2, kFormatF32), 441u * 8u);
  EXPECT_EQ(min_block_bytes(22050, 1, kFormatU8), 220u);
  EXPECT_EQ(min_block_bytes(48000, std::numeric_limits<std::int64_t>::max(), kFormatF32), 0u);
}

TEST(SampleFormats, ValueEdges) {
  // Float: clamped, truncated toward zero, NaN as 0; back divided by 32767 (-32768 gives -1).
  const std::pair<float, int> floats[] = {{1.5f, 32767}, {-1.5f, -32767}, {0.99999f, 32766}, {-0.99999f, -32766},
                                          {std::numeric_limits<float>::quiet_NaN(), 0},
                                          {std::numeric_limits<float>::infinity(), 32767}};
  for (const auto& [f, s] : floats) EXPECT_EQ(to16(f, kFormatF32), s) << f;
  EXPECT_EQ(from16<float>(-32768, kFormatF32), -1.0f);
  EXPECT_EQ(from16<float>(32767, kFormatF32), 1.0f);
  // 8 bits: offset binary; -1 >> 8 is -1 (arithmetic shift).
  const std::pair<std::uint8_t, int> bytes[] = {{0, -32768}, {128, 0}, {255, 32512}};
  for (const auto& [b, s] : bytes) EXPECT_EQ(to16(b, kFormatU8), s);
  EXPECT_EQ(from16<std::uint8_t>(-32768, kFormatU8), 0);
  EXPECT_EQ(from16<std::uint8_t>(32767, kFormatU8), 255);
  EXPECT_EQ(from16<std::uint8_t>(-1, kFormatU8), 127);
  // 24 in 32: bits 8..23 of the sign-extended low 24 bits, the top byte ignored; 32: word >> 16.
  const std::tuple<std::uint32_t, std::int64_t, int> words[] = {
      {0x007FFFFF, kFormatS24In32, 32767}, {0x00800000, kFormatS24In32, -32768},
      {0xAB800000, kFormatS24In32, -32768}, {0x000001FF, kFormatS24In32, 1},
      {0x80000000u, kFormatS32, -32768},   {0x7FFFFFFFu, kFormatS32, 32767},
      {0xFFFFFFFFu, kFormatS32, -1}};
  for (const auto& [w, format, s] : words) EXPECT_EQ(to16(w, format), s) << std::hex << w;
  EXPECT_EQ(from16<std::int32_t>(-32768, kFormatS24In32), -32768 * 256);
  EXPECT_EQ(from16<std::int32_t>(32767, kFormatS24In32), 32767 * 256);
  EXPECT_EQ(from16<std::int32_t>(-32768, kFormatS32), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(from16<std::int32_t>(1, kFormatS32), 65536);
}

TEST(SampleFormats, ChannelsAndLengths) {
  // The first channel in, every channel out.
  EXPECT_EQ(to_s16_mono(le16({100, -5, 200, -6, 300, -7}), kFormatS16, 2), le16({100, 200, 300}));
  EXPECT_EQ(from_s16_mono(le16({7, -8}), kFormatS16, 2), le16({7, 7, -8, -8}));
  // Less than one frame, empty input or one byte give none (partial frames: below, by format).
  EXPECT_FALSE(to_s16_mono(Bytes(5, 0), kFormatS16, 3));
  EXPECT_FALSE(to_s16_mono(Bytes(), kFormatS16, 1));
  EXPECT_FALSE(from_s16_mono(Bytes(1, 0), kFormatS16, 1));
  EXPECT_EQ(from_s16_mono(Bytes(5, 0), kFormatF32, 3)->size(), 2u * 12u);
  // Channel counts below 1 count as 1; absurd ones fail instead of overflowing.
  EXPECT_EQ(to_s16_mono(Bytes(8, 0), kFormatS16, 0)->size(), 8u);
  EXPECT_EQ(from_s16_mono(Bytes(8, 0), kFormatU8, -4)->size(), 4u);
  EXPECT_FALSE(to_s16_mono(Bytes(8, 0), kFormatF32, std::numeric_limits<std::int64_t>::max()));
  EXPECT_FALSE(from_s16_mono(Bytes(8, 0), kFormatF32, std::numeric_limits<std::int64_t>::max()));
}

// Every format and channel count: lengths follow the frame arithmetic (a trailing partial frame
// dropped), a 16-bit round trip through the host format gives the samples back (exactly, within
// the format's precision, or zeros for an unknown format), and random bytes never read or write out of bounds (the sanitizer build checks that).
TEST(SampleFormats, RoundTripAndRandomInputForEveryFormat) {
  test::SeededFloats rng(7);
  auto random_bytes = [&](std::size_t n) {
    Bytes b(n);
    for (auto& v : b) v = static_cast<std::uint8_t>(rng.next(128.0f) + 128.0f);
    return b;
  };
  for (std::int64_t format : {0, 1, 2, 3, 4, 9}) {
    for (std::int64_t channels : {1, 2, 3, 6}) {
      SCOPED_TRACE("format " + std::to_string(format) + " channels " + std::to_string(channels));
      const std::size_t frame = static_cast<std::size_t>(bytes_per_sample(format) * channels);
      const Bytes mono = random_bytes(2 * 37);
      const auto host = from_s16_mono(mono, format, channels);
      ASSERT_TRUE(host);
      ASSERT_EQ(host->size(), 37 * frame);
      const auto again = to_s16_mono(*host, format, channels);
      ASSERT_TRUE(again);
      ASSERT_EQ(again->size(), mono.size());
      for (std::size_t i = 0; i < 37; ++i) {
        const int want = s16_at(mono, i);
        const int got = s16_at(*again, i);
        if (format == 1 || format == 2 || format == 3) {
          EXPECT_EQ(got, want);
        } else if (format == 0) {
          EXPECT_EQ(got, (want >> 8) * 256);  // 8 bits kept
        } else if (format == 4) {
          EXPECT_NEAR(got, want == -32768 ? -32767 : want, 1);
        } else {
          EXPECT_EQ(got, 0);
        }
      }
      for (int round = 0; round < 20; ++round) {
        const Bytes noise = random_bytes(static_cast<std::size_t>(rng.next(100.0f) + 100.0f));
        const auto m = to_s16_mono(noise, format, channels);
        EXPECT_EQ(m ? m->size() : 0u, noise.size() < frame ? 0u : 2 * (noise.size() / frame));
        EXPECT_EQ(m.has_value(), noise.size() >= frame);
      }
    }
  }
}

}  // namespace
}  // namespace mvsdk::sdk

namespace mvsdk {
namespace {

using test::ActionResult;
using test::bin_entry;
using test::ResultRecorder;

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
  // A catalogue of three cached weight files that do not load.
  void set_unloadable_catalogue(const std::string& stem) {
    std::vector<MVRtvcBinFileItemModel> bins;
    for (int i = 1; i <= 3; ++i) {
      test::cache_write(stem + std::to_string(i) + ".bin", "short");
      bins.push_back(bin_entry(30 + i, i, "http://h/" + stem + std::to_string(i) + ".bin"));
    }
    set_catalogue(bins);
  }

  ResultRecorder recorder;
  std::shared_ptr<MVSDKManager> manager;
};

TEST_F(SDKManagerTest, PrepareWithoutTokenAndCheckResourcesBeforePrepare) {
  EngineConfig c = test::recorded_config(recorder);
  c.token = "";
  manager->setEngineConfig(c);
  manager->prepare();
  recorder.expect({1, 3, "Please call setEngineConfig first to set configuration, Token cannot be empty"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);

  std::atomic<std::int64_t> init_code = -1;
  manager->initEngine([&](std::int64_t code, const std::string&) { init_code = code; });
  EXPECT_EQ(init_code.load(), 3);  // answered at once

  manager->checkResources();
  recorder.expect({3, 5, "Please call prepare method first"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
}

TEST_F(SDKManagerTest, StartFailuresInOrder) {
  manager->start();
  recorder.expect({2, 5, "Speaker list model does not exist, please call prepare method first"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);

  set_catalogue({bin_entry(1, 1, "http://h/x1.bin"), bin_entry(2, 2, "http://h/x2.bin")});
  manager->start();
  recorder.expect({2, 6, "Bin file list does not exist or insufficient count, at least 3 files required"});

  // The lowest three bids are checked; a fourth entry without a reference does not matter, one
  // among the three does.
  set_catalogue({bin_entry(1, 3, "http://h/x1.bin"), bin_entry(2, 1, ""), bin_entry(3, 2, "http://h/x3.bin"),
                 bin_entry(4, 9, "")});
  manager->start();
  recorder.expect({2, 3, "Bin file path does not exist"});

  // Files of bids 1 and 3 missing, bid 2 cached: the message names the first and the third.
  test::cache_write("sdkunit-b.bin", "x");
  set_catalogue({bin_entry(13, 3, "http://h/files/sdkunit-c.bin"), bin_entry(11, 1, "http://h/files/sdkunit-a.bin"),
                 bin_entry(12, 2, "http://h/files/sdkunit-b.bin")});
  manager->start();
  recorder.expect({2, 6,
               "Bin file local path does not exist: file1(http://h/files/sdkunit-a.bin) "
               "file3(http://h/files/sdkunit-c.bin) , please call checkResources to download files first"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);

  // Files in place but no token: the engine manager's refusal is passed on.
  set_unloadable_catalogue("sdkunit-t");
  EngineConfig c = test::recorded_config(recorder);
  c.token = "";
  manager->setEngineConfig(c);
  manager->start();
  recorder.expect({2, 5, "User not logged in"});
  EXPECT_EQ(recorder.pending(), 0u);
}

TEST_F(SDKManagerTest, StopWhenNeverStartedReportsAndResetsConfiguration) {
  set_catalogue({});
  manager->setEngineConfig(test::recorded_config(recorder));
  manager->stop();
  recorder.expect({2, 0, "Engine stopped successfully (was not started)"});
  EXPECT_EQ(manager->engineConfig().token + MVNetRequest::getToken(), "");
  EXPECT_FALSE(manager->engineConfig().onActionResult || manager->hasSpeakerListModel());
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusIdle);
  // With no callback now, later results are dropped and nothing fails.
  manager->start();
  manager->stop();
  manager->setVoice(1);
  ASSERT_TRUE(test::drain_main_queue());
  EXPECT_EQ(recorder.pending(), 0u);
}

TEST_F(SDKManagerTest, VoiceAndToneBeforeStart) {
  manager->setVoice(std::nullopt);
  recorder.expect({0, 3, "Voice ID cannot be empty"});
  manager->setVoice(7.9);
  recorder.expect({0, 5, "Engine is not started, please call start method first"});
  manager->setMode(1, 45.0f, -500.0f);
  recorder.expect({0, 5, "Engine is not started, please call start method first"});
  EXPECT_EQ(std::tuple(manager->getMode(), manager->getIntonation(), manager->getPitch()), std::tuple(0, 0.0f, 0.0f));
  float got[2] = {-1, -1};
  manager->proCalibration("", [&](float i, float p) { got[0] = i, got[1] = p; });
  EXPECT_EQ(std::pair(got[0], got[1]), std::pair(0.0f, 0.0f));  // at once, on the calling thread
}

// Before a voice (and before any start) every call returns its own length: silence with
// muteOnFail, the input without; nothing is kept. The span form refuses an output shorter than
// the input.
TEST_F(SDKManagerTest, TransformBeforeVoiceReturnsSilenceOrInput) {
  for (bool mute : {true, false}) {
    EngineConfig c = test::recorded_config(recorder);
    std::tie(c.format, c.channel, c.muteOnFail) = std::tuple(4, 2, mute);
    manager->setEngineConfig(c);
    std::vector<std::uint8_t> in(961);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i * 7 + 1);
    EXPECT_EQ(manager->transform(in), mute ? std::vector<std::uint8_t>(in.size(), 0) : in);
  }
  EXPECT_EQ(manager->inputBufferedBytes() + manager->processedBufferedBytes(), 0u);
  std::vector<std::uint8_t> in(100, 1), out(99, 5);
  EXPECT_EQ(manager->transform(in, out), 0u);
  EXPECT_EQ(out, std::vector<std::uint8_t>(99, 5));
}

// Work scheduled for later holds the manager weakly: dropping the handle frees it at once, and
// a start poll still pending reports nothing. A sample rate of 0 starts at 48000 Hz.
TEST_F(SDKManagerTest, LaterWorkDoesNotKeepTheManager) {
  set_unloadable_catalogue("sdkunit-w");
  EngineConfig c = test::recorded_config(recorder);
  c.sampleRate = 0;
  manager->setEngineConfig(c);
  impl().engine->setEngineInputSampleRate(8000, 8000);
  manager->start();
  EXPECT_EQ(std::tuple(impl().engine->inputRate(), impl().engine->outputRate()), std::tuple(48000, 48000));
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusStarted);  // handed to the engine manager
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
  recorder.expect({2, 0, "Engine started successfully"});
  const struct {
    std::int64_t catalogue_id;
    double given;
  } cases[] = {{2147483648LL, 2147483648.0}, {4294967296LL + 7, 7.0}, {-3, 4294967293.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.catalogue_id);
    set_loadable_catalogue(c.catalogue_id);
    manager->setVoice(c.given);
    recorder.expect({0, 0, "Set voice ID " + std::to_string(sdk::voice_id_int32(c.given)) + " successfully"});
    EXPECT_EQ(manager->getCurrentVoice(), c.given);
    ASSERT_NE(impl().rtvcEngineManager->currSpeaker(), nullptr);
    EXPECT_EQ(impl().rtvcEngineManager->currSpeaker()->id, c.catalogue_id);
  }
  // A change the engine manager refuses (voice 6's style is not cached) passes its reason on.
  impl().setSpeakerListModel(test::bridge_catalogue());
  manager->setVoice(6);
  recorder.expect({0, 3, "Failed to set speaker, unable to get resource"});
}

// What the host configures and starts once stop has returned is kept, also while the stop still
// waits for the engine queue.
TEST_F(SDKManagerTest, StopKeepsWhatFollowsIt) {
  set_loadable_catalogue(1);
  manager->start();
  recorder.expect({2, 0, "Engine started successfully"});

  test::QueueGate gate;
  ASSERT_TRUE(gate.wait_held());
  manager->stop();
  EngineConfig next = test::recorded_config(recorder);
  next.token = "after-stop";
  manager->setEngineConfig(next);
  set_loadable_catalogue(1);  // what prepare would load
  manager->start();
  gate.release();

  std::vector<ActionResult> results(2);
  for (auto& r : results) r = recorder.next(std::chrono::seconds(10)).value_or(ActionResult{});
  std::sort(results.begin(), results.end(), [](const auto& a, const auto& b) { return a.message < b.message; });
  EXPECT_EQ(results, (std::vector<ActionResult>{{2, 0, "Engine started successfully"},
                                                {2, 0, "Engine stopped successfully"}}));
  ASSERT_TRUE(test::drain_engine_queue());
  ASSERT_TRUE(test::drain_main_queue());
  EXPECT_EQ(manager->engineConfig().token + " " + MVNetRequest::getToken(), "after-stop after-stop");
  EXPECT_TRUE(manager->hasSpeakerListModel() && manager->isEngineStarted() && impl().engine->getEngineStatus());
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusStarted);
}

// Points the caches folder at a fresh temporary folder for one test, and back afterwards.
struct ScopedCacheHome {
  ScopedCacheHome() { ::setenv("XDG_CACHE_HOME", dir.path().c_str(), 1); }
  ~ScopedCacheHome() { ::setenv("XDG_CACHE_HOME", previous.c_str(), 1); }
  std::string previous = test::bridge_cache_dir().parent_path().string();
  test::TempDir dir{"sdk-cache"};
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

  recorder.expect({3, 0, sdk::resources_summary(3, 4096 + served.binFiles[0].size)});
  other_recorder.expect({3, 0, sdk::resources_summary(2, 4096 + served.binFiles[1].size)});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusPrepared);
  EXPECT_EQ(other->getEngineStatus(), kEngineStatusPrepared);
  for (const char* name : {"alice.txt", "bob.txt", "am.bin", "bn.bin", "voc.bin"}) {
    EXPECT_TRUE(std::filesystem::exists(cache.dir.path() / "MVRtvcFile" / name)) << name;
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
    recorder.expect(c.result);
  }
}

TEST(SDKManagerHelpers, DownloadReportSummaryAndVoiceId) {
  const std::tuple<float, std::int64_t, std::int64_t, std::int64_t> reports[] = {
      {0.5f, 5, 50, 3}, {0.0f, 5, 0, 1}, {1.0f, 5, 100, 5}, {0.999f, 5, 99, 5}};
  for (const auto& [fraction, total, percent, current] : reports) {
    const auto r = sdk::download_report(fraction, total);
    EXPECT_EQ(std::tuple(r.percent, r.current, r.total), std::tuple(percent, current, total)) << fraction;
  }
  EXPECT_EQ(sdk::download_report(std::numeric_limits<float>::quiet_NaN(), 3).current, 1);
  EXPECT_EQ(sdk::resources_summary(5, 3 * 1048576 + 4096 * 2), "Total 5 files, total size: 3153920 bytes (3.01 MB)");
  const std::pair<double, std::int32_t> ids[] = {{7.9, 7}, {-7.9, -7}, {4294967296.0 + 5.0, 5},
                                                 {2147483648.0, std::numeric_limits<std::int32_t>::min()},
                                                 {std::nan(""), 0}, {1e300, 0}};
  for (const auto& [given, want] : ids) EXPECT_EQ(sdk::voice_id_int32(given), want) << given;
}

// Input conditioning: values of a stage that is on must lie in its range (the first one that does
// not is named); a stage that is off is not looked at.
TEST(SDKManagerHelpers, InputConditioningRangesAndReport) {
  struct Case {
    char stage;  // g(ain), d(enoise), t(hreshold), a(ttack), h(old), r(elease)
    double value;
    std::string problem;
  };
  const Case cases[] = {
      {'g', 40, ""},
      {'g', 40.5, "Unsupported input gain 40.5 dB (-40 to 40 dB)"},
      {'g', -41, "Unsupported input gain -41 dB (-40 to 40 dB)"},
      {'g', std::nan(""), "Unsupported input gain nan dB (-40 to 40 dB)"},
      {'d', 0.5, "Unsupported noise suppression 0.5 dB (1 to 60 dB)"},
      {'d', 61, "Unsupported noise suppression 61 dB (1 to 60 dB)"},
      {'t', 0.1, "Unsupported gate threshold 0.1 dBFS (-100 to 0 dBFS)"},
      {'a', 0, ""},
      {'a', 101, "Unsupported gate attack 101 ms (0 to 100 ms)"},
      {'h', -1, "Unsupported gate hold -1 ms (0 to 2000 ms)"},
      {'r', 0, "Unsupported gate release 0 ms (1 to 2000 ms)"},
  };
  for (const Case& k : cases) {
    InputConditioning c;
    c.gain = k.stage == 'g';
    c.denoise = k.stage == 'd';
    c.gate = !c.gain && !c.denoise;
    double& field = k.stage == 'g'   ? c.gainDb
                    : k.stage == 'd' ? c.denoiseDb
                    : k.stage == 't' ? c.gateThresholdDbfs
                    : k.stage == 'a' ? c.gateAttackMs
                    : k.stage == 'h' ? c.gateHoldMs
                                     : c.gateReleaseMs;
    field = k.value;
    EXPECT_EQ(sdk::input_conditioning_problem(c), k.problem) << k.stage << " " << k.value;
    c.gain = c.denoise = c.gate = false;  // off: not looked at
    EXPECT_EQ(sdk::input_conditioning_problem(c), "");
  }
  InputConditioning c;  // the first stage out of range is named
  std::tie(c.gain, c.gainDb, c.gate, c.gateHoldMs) = std::tuple(true, 50.0, true, -1.0);
  EXPECT_EQ(sdk::input_conditioning_problem(c), "Unsupported input gain 50 dB (-40 to 40 dB)");
}

}  // namespace
}  // namespace mvsdk
