// The bridge: style data decoding, the engine files of a voice, MorvoxEngine on the serial engine
// queue (conversion lengths, calibration, the pipelined and synchronous paths) and the
// engine manager (voice changes, failures, the watchdog, reset and release).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <future>
#include <limits>
#include <thread>

#include "bridge/engine_files.h"
#include "bridge/morvox_engine.h"
#include "bridge/mv_rtvc_engine_manager.h"
#include "bridge/style_data.h"
#include "engine/driver/MVSoundLibrary.h"
#include "engine/driver/engine.h"
#include "platform/dispatch.h"
#include "support/bridge_fixtures.h"
#include "support/synthetic_models.h"

using namespace mvsdk;
using namespace mvsdk::bridge;
using namespace std::chrono_literals;
using mvsdk::test::bin_entry;
using mvsdk::test::encrypt_style_text;
using mvsdk::test::style_numbers;

TEST(StyleData, EncryptedFileOrTextElseTheTextAsNumbers) {
  const std::string b64 = encrypt_style_text(style_numbers(192));
  const std::string path = (test::temp_dir("style") / "voice-1.txt").string();
  std::ofstream(path) << b64;
  for (const std::string& arg : {path, b64}) {
    auto v = decode_style_data(arg);
    ASSERT_TRUE(v.has_value());
    ASSERT_EQ(v->size(), 192u);
    EXPECT_FLOAT_EQ((*v)[0], -0.1f);
    EXPECT_FLOAT_EQ((*v)[191], -0.02f);
  }
  // A trailing line break fails strict Base64, so the text itself is parsed.
  auto v = decode_style_data(b64 + "\n");
  ASSERT_TRUE(v.has_value());
  EXPECT_LT(v->size(), 192u);
  EXPECT_EQ(decode_style_data("1.5,2,word"), (std::vector<float>{1.5f, 2.0f, 0.0f}));
  EXPECT_EQ(parse_number_list(" -3.25e1x, +7 ,,"), (std::vector<float>{-32.5f, 7.0f, 0.0f, 0.0f}));
  EXPECT_FALSE(decode_style_data("").has_value());
}

TEST(StyleData, KeyIvAndPlaintextRules) {
  const std::string b64_128 = encrypt_style_text("1,2,3", "0123456789abcdef");
  EXPECT_EQ(aesCBCDecryptFromBase64(b64_128, "0123456789abcdef", ""), "1,2,3");
  const std::string other_key = encrypt_style_text(style_numbers(192), "0123456789abcdef0123456789abcdef");
  const std::string bad_utf8 = encrypt_style_text(std::string("1,2\xff", 4));
  const std::string key(kStyleKeyText);
  const std::tuple<std::string, std::string, std::string> refused[] = {
      {b64_128, key.substr(0, 31), ""},             // a 31-byte key text
      {b64_128, "0123456789abcdef", "short"},       // an IV text under 16 bytes
      {"", key, key}, {"@@@@", key, key},
      {other_key, key, key},                        // another key: no padding
      {bad_utf8, key, key}};                        // a plaintext that is not UTF-8
  for (const auto& [text, k, iv] : refused) EXPECT_FALSE(aesCBCDecryptFromBase64(text, k, iv).has_value()) << text;
}

// Beyond a float's range a piece reads as infinity, below it as zero, whatever the magnitude of
// the exponent (a value past a double's range too must not turn into 0).
TEST(StyleData, NumbersOutOfFloatRangeSaturate) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> v =
      parse_number_list("1e40,1e400,-1e400,123456789e999999999999,0.0001e400,1e-46,-1e-400,4e-45");
  EXPECT_EQ(v, (std::vector<float>{inf, inf, -inf, inf, inf, 0.0f, 0.0f, 4e-45f}));
  ASSERT_EQ(v.size(), 8u);
  EXPECT_TRUE(std::signbit(v[6]));
}

TEST(EngineFiles, SlotsByBidFirstEntryWinsAndFailuresInOrder) {
  MVRtvcSpeakerListModel cat;
  cat.binFiles = {bin_entry(7, 0, "other"), bin_entry(5, 3, "voc"), bin_entry(3, 1, "am"), bin_entry(3, 9, "dup-am"),
                  bin_entry(4, 2, "bn")};
  auto sel = select_engine_files(&cat, {3, 4, 5, 99});
  ASSERT_TRUE(sel.ok()) << sel.error;
  EXPECT_EQ(sel.files[0].file + sel.files[1].file + sel.files[2].file, "ambnvoc");
  EXPECT_EQ(describe_engine_files(sel.files), "id1:3  id2:4  id3:5");
  // The same id twice in the list takes two catalogue entries of that id, in catalogue order.
  auto twice = select_engine_files(&cat, {3, 3, 5});
  ASSERT_TRUE(twice.ok());
  EXPECT_EQ(twice.files[0].file + twice.files[1].file + twice.files[2].file, "amvocdup-am");

  MVRtvcSpeakerListModel small;
  small.binFiles = {bin_entry(1, 1, "a"), bin_entry(2, 2, "b")};
  const std::tuple<const MVRtvcSpeakerListModel*, std::vector<std::int64_t>, std::string> failures[] = {
      {nullptr, {1, 2, 3}, "Resource not found 1"}, {&small, {1, 2}, "At least 3 Bin file IDs required"},
      {&small, {9, 2, 3}, "Resource not found 1"},  {&small, {1, 9, 2}, "Resource not found 2"},
      {&small, {1, 2, 9}, "Resource not found 3"}};
  for (const auto& [model, ids, error] : failures) EXPECT_EQ(select_engine_files(model, ids).error, error);
}

namespace {

Bytes tone_bytes(std::size_t samples) {
  Bytes b(samples * 2);
  for (std::size_t i = 0; i < samples; ++i) {
    const auto v = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * M_PI * 180.0 * i / 48000.0)));
    std::memcpy(&b[i * 2], &v, 2);
  }
  return b;
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override { stop(); }
  void TearDown() override { stop(); }
  void stop() {
    engine_->stopEngine([] {});
    ASSERT_TRUE(test::drain_engine_queue());
    ASSERT_FALSE(engine_->getEngineStatus());
  }
  void start() {
    const auto& m = test::synthetic_models();
    engine_->startEngine(m.am, m.bn, m.voc);
    ASSERT_TRUE(test::drain_engine_queue());
    ASSERT_TRUE(engine_->getEngineStatus());
  }
  std::optional<Bytes> convert_async(const Bytes& in) {
    std::optional<Bytes> out;
    bool called = false;
    engine_->getRealTimeSoundTransferData(in, 1, 0, 0, [&](std::optional<Bytes> o) {
      called = true;
      out = std::move(o);
    });
    EXPECT_TRUE(called);  // on the calling thread, before returning
    return out;
  }

  std::shared_ptr<MorvoxEngine> engine_ = MorvoxEngine::create();
};

}  // namespace

TEST_F(Bridge, ConversionLengths) {
  // Before a start: none, at once.
  EXPECT_FALSE(engine_->getSyncRealTimeSoundTransferData(tone_bytes(480), 1, 0, 0).has_value());
  EXPECT_FALSE(convert_async(tone_bytes(480)).has_value());
  start();
  // A fresh engine gives silence before its first chunk, as many whole samples as asked for.
  Bytes odd = tone_bytes(480);
  odd.push_back(0x7f);
  EXPECT_EQ(engine_->getSyncRealTimeSoundTransferData(odd, 1, 0, 0).value_or(Bytes{}).size(), 960u);
  EXPECT_EQ(convert_async(odd).value_or(Bytes{}).size(), 960u);
  EXPECT_FALSE(engine_->getSyncRealTimeSoundTransferData(Bytes{1}, 1, 0, 0).has_value());
  // More samples than the output buffer holds: pulled in pieces, never past the buffer.
  engine_->engineReset([] {});
  ASSERT_TRUE(mvsdk::test::drain_engine_queue());
  const std::size_t big = MorvoxEngine::kResultSamples + 3200;
  EXPECT_EQ(convert_async(Bytes(big * 2 + 1, 0)).value_or(Bytes{}).size(), big * 2);
  EXPECT_TRUE(mvsdk::test::drain_engine_queue());
}

// Unusable paths answer 0 and 0 at once, on the calling thread; others on the main queue after
// the pass's chunks (the second of 1961 bytes is one byte): without an engine the pitch array's
// defaults, with one the array's entries after the last chunk (pushed in mode 2).
TEST_F(Bridge, CalibrationChunksAndResults) {
  const auto path = mvsdk::test::temp_dir("calibration") / "1961";
  const Bytes b = tone_bytes(981);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), 1961);
  auto run = [&](const std::string& file, std::size_t chunks) {
    auto p = std::make_shared<std::promise<std::tuple<float, float, bool>>>();
    EXPECT_EQ(engine_->getSoundDataCheck(file, [p](float a, float b) {
      p->set_value({a, b, mvsdk::platform::main_queue().is_current()});
    }), chunks);
    auto f = p->get_future();
    EXPECT_EQ(f.wait_for(120s), std::future_status::ready);
    return f.get();
  };
  for (const std::string& bad : {std::string(), path.string() + "-missing"}) {
    EXPECT_EQ(run(bad, 0), std::tuple(0.0f, 0.0f, false));
  }
  EXPECT_EQ(run(path, 2), std::tuple(4.622f, 138.813f, true));
  start();
  const auto [a, p, on_main] = run(path, 2);
  const auto rf = engine_->resultFloat();
  EXPECT_EQ(std::tuple(a, p, on_main), std::tuple(rf[1], rf[2], true));
  EXPECT_TRUE(std::isfinite(a) && std::isfinite(p));
  // A shorter array reads its missing entries as 0, never past its end.
  const float three[3] = {1, 2, 3};
  EXPECT_EQ(MorvoxEngine::getFloatArray(three), (std::vector<double>{1, 2, 3, 0, 0, 0}));
}

// Pipelined input that the engine cannot take in time is bounded: the oldest goes first and is
// counted, and at most kMaxBacklogMs of input is left to convert.
TEST_F(Bridge, PipelinedBacklogDropsTheOldestInput) {
  start();
  test::QueueGate gate;
  ASSERT_TRUE(gate.wait_held());
  const auto before = MorvoxEngine::pathStats();
  std::vector<std::int16_t> in(480, 100), out(480);
  for (int i = 0; i < 100; ++i) engine_->convertPipelined(in, 1, 0, 0, out);  // 1 s at 48 kHz
  // Nothing has run; a pump that woke late in the loop may already have dropped the oldest, and
  // may still be dropping (a push it drops is counted a moment before it leaves the ring): it
  // settles once it holds a push it cannot run for the gate.
  auto held = MorvoxEngine::pathStats();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (held.pendingSamples + (held.droppedSamples - before.droppedSamples) != 48000u &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
    held = MorvoxEngine::pathStats();
  }
  EXPECT_EQ(held.pendingSamples + (held.droppedSamples - before.droppedSamples), 48000u);
  EXPECT_GE(held.pendingSamples, 48000u * MorvoxEngine::kMaxBacklogMs / 1000);
  gate.release();
  ASSERT_TRUE(MorvoxEngine::waitUntilIdle(60s));
  const auto after = MorvoxEngine::pathStats();
  EXPECT_EQ(after.pushedSamples - before.pushedSamples, 48000u);
  const std::size_t kept = 48000 * MorvoxEngine::kMaxBacklogMs / 1000;
  // The push the pump already held when the engine became busy runs too.
  const auto dropped = after.droppedSamples - before.droppedSamples;
  EXPECT_GE(dropped, 48000u - kept - 480u);
  EXPECT_LE(dropped, 48000u - kept);
  EXPECT_EQ(after.pendingSamples, 0u);
}

// While another task is inside the engine, a synchronous conversion returns at once: its push
// waits in the pump's ring and runs after the task, in order.
TEST_F(Bridge, SynchronousPushNeverWaitsBehindTheEngine) {
  start();
  test::QueueGate gate;
  ASSERT_TRUE(gate.wait_held());
  const auto before = MorvoxEngine::pathStats();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(engine_->getSyncRealTimeSoundTransferData(tone_bytes(480), 1, 0, 0).value_or(Bytes{}).size(), 960u);
  }
  auto* e = mvsdk::engine::MVSoundLibrary::currentEngine();
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->started());  // nothing pushed yet: 20 x 10 ms wait behind the task
  EXPECT_EQ(MorvoxEngine::pathStats().pendingSamples, 20u * 480u);
  gate.release();
  ASSERT_TRUE(MorvoxEngine::waitUntilIdle(60s));
  EXPECT_TRUE(e->started());  // 200 ms of pushes completed the first chunk
  const auto after = MorvoxEngine::pathStats();
  EXPECT_EQ(after.pushedSamples - before.pushedSamples, 20u * 480u);
  EXPECT_EQ(after.droppedSamples, before.droppedSamples);
}

namespace {

// Waits for the first of success / failure: "" for success, else the failure's message ("timeout"
// when neither came).
class Report {
 public:
  MVRtvcEngineManager::Success success() {
    return [p = promise_] { p->set_value(""); };
  }
  MVRtvcEngineManager::Failure failure() {
    return [p = promise_](const std::string& m) { p->set_value(m); };
  }
  std::string wait(std::chrono::milliseconds timeout = 120s) {
    if (future_.wait_for(timeout) != std::future_status::ready) return "timeout";
    return future_.get();
  }

 private:
  std::shared_ptr<std::promise<std::string>> promise_ = std::make_shared<std::promise<std::string>>();
  std::future<std::string> future_ = promise_->get_future();
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
  std::string change(std::int64_t id) {
    Report r;
    manager_->setSpeakerWithSpeakerId(id, r.success(), r.failure());
    return r.wait();
  }
  std::string start(const std::vector<std::int64_t>& ids) {
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
  EXPECT_EQ(change(1), "User not logged in");
  Report r;
  manager_->setSpeakerWithModel(voice(1), r.success(), r.failure());
  EXPECT_EQ(r.wait(), "User not logged in");
  EXPECT_EQ(start({1, 2}), "At least 3 Bin file IDs required");
  EXPECT_EQ(start({11, 12, 13}), "User not logged in");
  host_->set_token("token-1");

  EXPECT_EQ(change(999), "Current speaker not found");
  EXPECT_EQ(change(4), "Current speaker binFileIds not found");
  // Which slot is missing in the catalogue is the engine files' own check: one passes through.
  const std::pair<std::vector<std::int64_t>, std::string> starts[] = {
      {{99, 12, 13}, "Resource not found 1"},
      {{41, 42, 43}, "Resource not found id1"},
      {{44, 42, 43}, "Resource not found id2"},
  };
  for (const auto& [ids, text] : starts) EXPECT_EQ(start(ids), text);
  EXPECT_FALSE(manager_->ids().has_value());

  // Style failures lower the flag; a style of fewer than 192 numbers never reaches the engine.
  const std::pair<std::int64_t, std::string> styles[] = {
      {5, "音色设置失败, 无法获取资源"},
      {6, "Failed to set speaker, unable to get resource"},
      {7, "Failed to set speaker, unable to get resource"},
  };
  for (const auto& [id, text] : styles) {
    EXPECT_EQ(change(id), text);
    EXPECT_FALSE(manager_->isSettingSpeaker());
    EXPECT_EQ(voice(id)->relustSpeaker, nullptr);
  }
  EXPECT_EQ(manager_->currSpeaker(), nullptr);

  host_->set_catalogue(nullptr);
  EXPECT_EQ(change(1), "Current speaker not found");
  EXPECT_EQ(start({11, 12, 13}), "Resource not found 1");
}

TEST_F(EngineManager, ChangesStartWithFilesByBidRestartForOtherFilesAndCacheTheStyle) {
  ASSERT_EQ(change(1), "");
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
  const auto style = test::bridge_cache_dir() / "v1.txt";
  std::filesystem::rename(style, style.string() + ".away");
  const std::string again = change(1);
  std::filesystem::rename(style.string() + ".away", style);
  ASSERT_EQ(again, "");
  EXPECT_EQ(voice(1)->relustSpeaker, cached);

  // Other files restart the engine.
  ASSERT_EQ(change(2), "");
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
  ASSERT_EQ(change(1), "");
  EXPECT_EQ(manager_->ids(), (std::vector<std::int64_t>{13, 11, 12}));
}

TEST_F(EngineManager, ChangeResetsEngineAndPassesAudioMeanwhile) {
  ASSERT_EQ(change(1), "");
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

  ASSERT_EQ(r.wait(), "");
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
      ASSERT_EQ(change(2), "");
    }
    EXPECT_EQ(change(3), "Engine start failed");
    EXPECT_FALSE(manager_->getEngineStatus());
    EXPECT_FALSE(manager_->isSettingSpeaker());
    EXPECT_EQ(manager_->currSpeaker(), nullptr);
    EXPECT_EQ(manager_->ids(), (std::vector<std::int64_t>{31, 32, 33}));
    ASSERT_TRUE(test::drain_main_queue());
    EXPECT_EQ(voice(3)->relustSpeaker, nullptr);  // the style was never loaded
  }
  // Healthy files start as usual afterwards.
  ASSERT_EQ(change(1), "");
  EXPECT_TRUE(manager_->getEngineStatus());
}

TEST_F(EngineManager, WatchdogLowersTheFlagAfterASecond) {
  test::LogCapture log;
  test::QueueGate gate;  // the style confirmation cannot arrive while the queue is held
  ASSERT_TRUE(gate.wait_held());
  Report r;
  manager_->setRelustSpeakerWithModel(voice(1), r.success(), r.failure());
  EXPECT_TRUE(manager_->isSettingSpeaker());
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (manager_->isSettingSpeaker() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_FALSE(manager_->isSettingSpeaker());
  EXPECT_TRUE(test::drain_main_queue());
  EXPECT_TRUE(log.contains("Warning: setSpeakersStyle completion timeout, force reset isSettingSpeaker"));
  EXPECT_EQ(manager_->currSpeaker(), nullptr);  // unchanged until the confirmation

  gate.release();  // the late confirmation completes the change as usual
  ASSERT_EQ(r.wait(), "");
  ASSERT_NE(manager_->currSpeaker(), nullptr);
  EXPECT_EQ(manager_->currSpeaker()->id, 1);
}

TEST_F(EngineManager, ResetReleaseAndDestroy) {
  ASSERT_EQ(change(1), "");
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
