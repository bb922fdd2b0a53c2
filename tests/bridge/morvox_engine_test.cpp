#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/morvox_engine.h"
#include "engine/driver/MVSoundLibrary.h"
#include "engine/driver/engine.h"
#include "platform/dispatch.h"
#include "support/bridge_fixtures.h"
#include "support/synthetic_models.h"

using mvsdk::bridge::Bytes;
using mvsdk::bridge::MorvoxEngine;
using namespace std::chrono_literals;

namespace {

Bytes tone_bytes(std::size_t samples, double freq = 180.0) {
  Bytes b(samples * 2);
  for (std::size_t i = 0; i < samples; ++i) {
    const auto v = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * M_PI * freq * i / 48000.0)));
    std::memcpy(&b[i * 2], &v, 2);
  }
  return b;
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = MorvoxEngine::create();
    stop();
  }
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

  std::shared_ptr<MorvoxEngine> engine_;
};

}  // namespace

TEST_F(Bridge, DefaultsAndNumberArrays) {
  EXPECT_EQ(engine_->inputRate(), 48000);
  EXPECT_EQ(engine_->outputRate(), 48000);
  ASSERT_EQ(engine_->pArray().size(), 6u);
  const auto rf = engine_->resultFloat();
  const auto six = MorvoxEngine::getFloatArray(rf);
  ASSERT_EQ(six.size(), 6u);
  EXPECT_FLOAT_EQ(static_cast<float>(six[1]), 4.622f);
  EXPECT_FLOAT_EQ(static_cast<float>(six[2]), 138.813f);
  EXPECT_FLOAT_EQ(static_cast<float>(six[4]), 2000.0f);
  EXPECT_EQ(six[5], 0.0);
  // A shorter array reads its missing entries as 0, never past its end.
  const float three[3] = {1, 2, 3};
  EXPECT_EQ(MorvoxEngine::getFloatArray(three), (std::vector<double>{1, 2, 3, 0, 0, 0}));
  EXPECT_EQ(MorvoxEngine::getArrayFloat({0.5, -2}), (std::vector<float>{0.5f, -2.0f}));
}

TEST_F(Bridge, ConversionsYieldNoneBeforeAStart) {
  const Bytes in = tone_bytes(480);
  EXPECT_FALSE(engine_->getSyncRealTimeSoundTransferData(in, 1, 0, 0).has_value());
  bool called = false;
  engine_->getRealTimeSoundTransferData(in, 1, 0, 0, [&](std::optional<Bytes> out) {
    called = true;
    EXPECT_FALSE(out.has_value());
  });
  EXPECT_TRUE(called);  // on the calling thread, before returning
  EXPECT_TRUE(mvsdk::test::drain_engine_queue());
  EXPECT_FALSE(engine_->getEngineStatus());
}

TEST_F(Bridge, OddByteCountsAndOversizedCalls) {
  start();
  // A fresh engine gives silence before its first chunk, as many samples as asked for.
  Bytes odd = tone_bytes(480);
  odd.push_back(0x7f);
  auto out = engine_->getSyncRealTimeSoundTransferData(odd, 1, 0, 0);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->size(), 960u);
  std::optional<Bytes> async_out;
  engine_->getRealTimeSoundTransferData(odd, 1, 0, 0, [&](std::optional<Bytes> o) { async_out = std::move(o); });
  ASSERT_TRUE(async_out.has_value());
  EXPECT_EQ(async_out->size(), 960u);
  // One byte carries no sample: nothing to pull.
  EXPECT_FALSE(engine_->getSyncRealTimeSoundTransferData(Bytes{1}, 1, 0, 0).has_value());

  // More samples than the output buffer holds: pulled in pieces, never past the buffer.
  engine_->engineReset([] {});
  ASSERT_TRUE(mvsdk::test::drain_engine_queue());
  const std::size_t big = MorvoxEngine::kResultSamples + 3200;
  const Bytes large(big * 2 + 1, 0);
  engine_->getRealTimeSoundTransferData(large, 1, 0, 0, [&](std::optional<Bytes> o) { async_out = std::move(o); });
  ASSERT_TRUE(async_out.has_value());
  EXPECT_EQ(async_out->size(), big * 2);
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

TEST_F(Bridge, RatesAndThreadsApplyAtTheNextStart) {
  engine_->setEngineInputSampleRate(16000, 24000);
  engine_->setEngineThreads(3);
  start();
  engine_->setEngineThreads(1);  // for the next start only
  auto* e = mvsdk::engine::MVSoundLibrary::currentEngine();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->input_rate(), 16000);
  EXPECT_EQ(e->output_rate(), 24000);
  EXPECT_EQ(e->threads(), 3);
  // A short style never reaches the engine, but the completion still reports.
  std::promise<void> done;
  engine_->setSpeakersStyle(std::make_shared<const std::vector<float>>(3, 1.0f), [&] { done.set_value(); });
  EXPECT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
}

TEST_F(Bridge, CalibrationChunksAndResults) {
  const auto dir = mvsdk::test::temp_dir("calibration");
  const std::string file_1961 = (dir / "rec1961.pcm").string();
  const std::string file_1960 = (dir / "rec1960.pcm").string();
  {
    const Bytes b = tone_bytes(981);
    std::ofstream(file_1961, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), 1961);
    std::ofstream(file_1960, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), 1960);
  }

  // Unusable paths answer 0 and 0 at once, on the calling thread.
  for (const std::string& bad : {std::string(), (dir / "missing.pcm").string()}) {
    bool called = false;
    EXPECT_EQ(engine_->getSoundDataCheck(bad, [&](float a, float b) {
      called = true;
      EXPECT_EQ(a, 0.0f);
      EXPECT_EQ(b, 0.0f);
    }), 0u);
    EXPECT_TRUE(called);
  }

  // Without an engine the pitch array keeps its defaults, which the pass reports, on the main
  // queue, after its two chunks (the second of one byte).
  struct Report {
    float a, b;
    bool on_main;
  };
  auto run = [&](const std::string& path, std::size_t chunks) {
    auto p = std::make_shared<std::promise<Report>>();
    EXPECT_EQ(engine_->getSoundDataCheck(path, [p](float a, float b) {
      p->set_value({a, b, mvsdk::platform::main_queue().is_current()});
    }), chunks);
    auto f = p->get_future();
    EXPECT_EQ(f.wait_for(120s), std::future_status::ready);
    return f.get();
  };
  Report r = run(file_1961, 2);
  EXPECT_TRUE(r.on_main);
  EXPECT_FLOAT_EQ(r.a, 4.622f);
  EXPECT_FLOAT_EQ(r.b, 138.813f);
  EXPECT_EQ(run(file_1960, 1).on_main, true);

  // With an engine the pass pushes in mode 2 and reports the array's entries after the last chunk.
  start();
  r = run(file_1961, 2);
  EXPECT_TRUE(r.on_main);
  const auto rf = engine_->resultFloat();
  EXPECT_EQ(r.a, rf[1]);
  EXPECT_EQ(r.b, rf[2]);
  EXPECT_TRUE(std::isfinite(r.a) && std::isfinite(r.b));
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

// Pipelined input that the engine cannot take in time is bounded: the oldest goes first and is
// counted, and at most kMaxBacklogMs of input is left to convert.
TEST_F(Bridge, PipelinedBacklogDropsTheOldestInput) {
  start();
  std::promise<void> release;
  hold_engine(release);
  const auto before = MorvoxEngine::pathStats();
  std::vector<std::int16_t> in(480, 100), out(480);
  for (int i = 0; i < 100; ++i) engine_->convertPipelined(in, 1, 0, 0, out);  // 1 s at 48 kHz
  EXPECT_EQ(MorvoxEngine::pathStats().pendingSamples, 48000u);
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

TEST_F(Bridge, SynchronousPushNeverWaitsBehindTheEngine) {
  start();
  // While another task is inside the engine, a synchronous conversion returns at once: its push
  // waits in the pump's ring and runs after the task, in order.
  std::promise<void> release;
  hold_engine(release);
  const auto before = MorvoxEngine::pathStats();
  const Bytes in = tone_bytes(480);
  for (int i = 0; i < 20; ++i) {
    auto out = engine_->getSyncRealTimeSoundTransferData(in, 1, 0, 0);
    ASSERT_TRUE(out.has_value());  // silence before the first chunk counts as output
    EXPECT_EQ(out->size(), in.size());
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
