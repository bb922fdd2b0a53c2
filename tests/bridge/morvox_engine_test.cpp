#include "bridge/morvox_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>

#include "engine/driver/MVSoundLibrary.h"
#include "engine/driver/engine.h"
#include "platform/dispatch.h"
#include "support/bridge_fixtures.h"
#include "support/synthetic_models.h"

using mvsdk::bridge::Bytes;
using mvsdk::bridge::MorvoxEngine;
using namespace std::chrono_literals;

namespace {

Bytes tone_bytes(std::size_t samples) {
  Bytes b(samples * 2);
  for (std::size_t i = 0; i < samples; ++i) {
    const auto v = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * M_PI * 180.0 * i / 48000.0)));
    std::memcpy(&b[i * 2], &v, 2);
  }
  return b;
}

// Keeps the engine busy with a task of its own until release is set.
void hold_engine(std::promise<void>& release) {
  std::promise<void> held;
  MorvoxEngine::runOnEngine([&held, released = release.get_future().share()] {
    held.set_value();
    released.wait();
  });
  held.get_future().wait();
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override { stop(); }
  void TearDown() override { stop(); }
  void stop() {
    engine_->stopEngine([] {});
    ASSERT_TRUE(mvsdk::test::drain_engine_queue());
    ASSERT_FALSE(engine_->getEngineStatus());
  }
  void start() {
    const auto& m = mvsdk::test::synthetic_models();
    engine_->startEngine(m.am, m.bn, m.voc);
    ASSERT_TRUE(mvsdk::test::drain_engine_queue());
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

TEST_F(Bridge, DefaultsAndNumberArrays) {
  EXPECT_EQ(std::tuple(engine_->inputRate(), engine_->outputRate(), engine_->pArray().size()),
            std::tuple(48000, 48000, 6u));
  // A shorter array reads its missing entries as 0, never past its end.
  const float three[3] = {1, 2, 3};
  EXPECT_EQ(MorvoxEngine::getFloatArray(three), (std::vector<double>{1, 2, 3, 0, 0, 0}));
  EXPECT_EQ(MorvoxEngine::getArrayFloat({0.5, -2}), (std::vector<float>{0.5f, -2.0f}));
}

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

TEST_F(Bridge, EngineCallsRunInSubmissionOrder) {
  const auto& m = mvsdk::test::synthetic_models();
  std::mutex mutex;
  std::vector<std::string> events;
  auto record = [&](std::string what) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(std::move(what) + (engine_->getEngineStatus() ? "+" : "-"));
  };
  std::promise<bool> style_on_main;
  engine_->engineReset([&] { record("reset"); });
  engine_->startEngine(m.am, m.bn, m.voc);
  engine_->engineReset([&] { record("reset"); });
  auto style = std::make_shared<const std::vector<float>>(192, 0.01f);
  engine_->setSpeakersStyle(style, [&] { style_on_main.set_value(mvsdk::platform::main_queue().is_current()); });
  MorvoxEngine::queue().async([&] { record("after-style"); });
  engine_->stopEngine([&] { record("stop"); });
  engine_->engineReset([&] { record("reset"); });
  ASSERT_TRUE(mvsdk::test::drain_engine_queue());
  EXPECT_EQ(events, (std::vector<std::string>{"reset-", "reset+", "after-style+", "stop-", "reset-"}));
  auto f = style_on_main.get_future();
  ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
  EXPECT_TRUE(f.get());
}

TEST_F(Bridge, RatesThreadsAndPrecisionApplyAtTheNextStart) {
  engine_->setEngineInputSampleRate(16000, 24000);
  engine_->setEngineThreads(3);
  engine_->setHalfPrecisionWeights(true);
  start();
  engine_->setEngineThreads(1);  // for the next start only
  engine_->setHalfPrecisionWeights(false);
  auto* e = mvsdk::engine::MVSoundLibrary::currentEngine();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::tuple(e->input_rate(), e->output_rate(), e->threads(), e->half_precision()),
            std::tuple(16000, 24000, 3, true));
  // A short style never reaches the engine, but the completion still reports.
  std::promise<void> done;
  engine_->setSpeakersStyle(std::make_shared<const std::vector<float>>(3, 1.0f), [&] { done.set_value(); });
  EXPECT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
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
}

// Pipelined input that the engine cannot take in time is bounded: the oldest goes first and is
// counted, and at most kMaxBacklogMs of input is left to convert.
TEST_F(Bridge, PipelinedBacklogDropsTheOldestInput) {
  start();
  std::promise<void> release;
  hold_engine(release);
  const auto before = MorvoxEngine::pathStats();
  std::vector<std::int16_t> in(480, 100), out(480);
  for (int i = 0; i < 100; ++i) engine_->convertPipelined(in, 1, 0, 0, out);  // 1 s at 48 kHz
  // Nothing has run; a pump that woke late in the loop may already have dropped the oldest.
  const auto held = MorvoxEngine::pathStats();
  EXPECT_EQ(held.pendingSamples + (held.droppedSamples - before.droppedSamples), 48000u);
  EXPECT_GE(held.pendingSamples, 48000u * MorvoxEngine::kMaxBacklogMs / 1000);
  release.set_value();
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
  std::promise<void> release;
  hold_engine(release);
  const auto before = MorvoxEngine::pathStats();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(engine_->getSyncRealTimeSoundTransferData(tone_bytes(480), 1, 0, 0).value_or(Bytes{}).size(), 960u);
  }
  auto* e = mvsdk::engine::MVSoundLibrary::currentEngine();
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->started());  // nothing pushed yet: 20 x 10 ms wait behind the task
  EXPECT_EQ(MorvoxEngine::pathStats().pendingSamples, 20u * 480u);
  release.set_value();
  ASSERT_TRUE(MorvoxEngine::waitUntilIdle(60s));
  EXPECT_TRUE(e->started());  // 200 ms of pushes completed the first chunk
  const auto after = MorvoxEngine::pathStats();
  EXPECT_EQ(after.pushedSamples - before.pushedSamples, 20u * 480u);
  EXPECT_EQ(after.droppedSamples, before.droppedSamples);
}
