// End to end against mvsdk-service and synthetic models: the host's whole lifecycle with the
// action results in order and the status on the way, the audio path in both modes and every
// format, the voice and tone control on a running engine, and the audio thread's independence
// from the engine queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <fstream>
#include <future>
#include <thread>

#include "bridge/morvox_engine.h"
#include "engine/driver/MVSoundLibrary.h"
#include "engine/driver/engine.h"
#include "mvsdk/mvsdk.h"
#include "sdk/sdk_manager_impl.h"
#include "support/alloc_counter.h"
#include "support/bridge_fixtures.h"
#include "support/local_service.h"
#include "support/sdk_fixtures.h"
#include "support/seeded_weights.h"

namespace mvsdk {
namespace {

using test::ActionResult;
using test::ResultRecorder;
using Bytes = std::vector<std::uint8_t>;

// Long enough for a download of the synthetic models or an engine start under sanitizers.
constexpr auto kWait = std::chrono::seconds(120);

// 10 ms of a 220 Hz tone at 48 kHz, 16-bit mono, starting at sample `offset`.
Bytes tone_block(std::size_t offset, std::size_t samples = 480) {
  Bytes b(2 * samples);
  for (std::size_t i = 0; i < samples; ++i) {
    const double t = static_cast<double>(offset + i) / 48000.0;
    const auto s = static_cast<std::int16_t>(8000.0 * std::sin(2.0 * M_PI * 220.0 * t));
    b[2 * i] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s));
    b[2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8);
  }
  return b;
}

bool silent(const Bytes& b) {
  for (auto v : b)
    if (v != 0) return false;
  return true;
}

class SDKLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::bridge_cache_dir();  // private caches and settings folders
    ASSERT_FALSE(test::sdk_service_folder().empty()) << "mvsdk-models failed";
    service = std::make_unique<test::LocalService>(test::sdk_service_folder());
    ASSERT_TRUE(service->ok()) << service->error();
    MVSDKManager::setServiceBaseUrl(service->url());
    manager = MVSDKManager::create();
  }
  void TearDown() override {
    if (manager) manager->engineRelease();
    manager.reset();
    test::drain_engine_queue();
    test::drain_main_queue();
  }

  void expect_next(const ActionResult& want) {
    const auto got = recorder.next(kWait);
    ASSERT_TRUE(got) << "no action result, wanted " << test::to_string(want);
    EXPECT_EQ(*got, want) << test::to_string(*got);
    EXPECT_TRUE(got->on_main_queue);
  }

  // prepare -> checkResources -> start -> setVoice(voice), each checked.
  void bring_up(double voice, bool expect_download) {
    manager->prepare();
    expect_next({2, 0, "success"});
    manager->checkResources();
    if (expect_download) {
      const auto got = recorder.next(kWait);
      ASSERT_TRUE(got);
      EXPECT_EQ(got->action, 3);
      EXPECT_EQ(got->code, 0);
    } else {
      expect_next({3, 0, "Resources already downloaded"});
    }
    manager->start();
    expect_next({2, 0, "Engine started successfully"});
    manager->setVoice(voice);
    const int id = static_cast<int>(voice);
    expect_next({0, 0, "Set voice ID " + std::to_string(id) + " successfully"});
  }

  // Feeds seconds of tone in 10 ms calls, letting the engine catch up after every 16 calls (one
  // chunk) as it would in real time, and returns the outputs of the last 50 calls.
  std::vector<Bytes> run_audio(double seconds, std::size_t& offset) {
    const auto calls = static_cast<std::size_t>(seconds * 100);
    std::vector<Bytes> outs;
    for (std::size_t i = 0; i < calls; ++i, offset += 480) {
      const Bytes in = tone_block(offset);
      Bytes out = manager->transform(in);
      EXPECT_EQ(out.size(), in.size());
      if (i + 50 >= calls) outs.push_back(std::move(out));
      if (i % 16 == 15) {
        EXPECT_TRUE(test::drain_engine_queue(kWait));
      }
    }
    return outs;
  }

  static std::size_t count_converted(const std::vector<Bytes>& outs, std::size_t offset_after) {
    std::size_t converted = 0;
    std::size_t offset = offset_after - outs.size() * 480;
    for (const auto& out : outs) {
      if (!silent(out) && out != tone_block(offset)) ++converted;
      offset += 480;
    }
    return converted;
  }

  ResultRecorder recorder;
  std::unique_ptr<test::LocalService> service;
  std::shared_ptr<MVSDKManager> manager;
};

TEST_F(SDKLifecycleTest, WholeLifecycleThenStop) {
  // Start from an empty cache.
  manager->setEngineConfig(test::recorded_config(recorder));
  manager->cleanAllFiles();
  expect_next({5, 0, "All files cleaned"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusIdle);

  manager->prepare();
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusPreparing);
  expect_next({2, 0, "success"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusPrepared);
  EXPECT_TRUE(manager->isInitialized());
  EXPECT_TRUE(manager->isPrepared());
  ASSERT_EQ(manager->getVoiceList().size(), 7u);
  EXPECT_EQ(manager->getVoiceList()[6].id, 7);
  // The login carried the token and the device account.
  bool saw_login = false;
  for (const auto& r : service->requests()) {
    if (r.value("path", "") != "/api/sdkra/login") continue;
    saw_login = true;
    const auto auth = test::header_values(r, "Authorization");
    ASSERT_EQ(auth.size(), 1u);
    EXPECT_EQ(auth[0].rfind("MorvoxClient test-token,avc=", 0), 0u) << auth[0];
  }
  EXPECT_TRUE(saw_login);

  // The summary counts every catalogue file: 7 style files of 4096 bytes and the three weights.
  const auto catalogue = service->catalogue();
  std::int64_t total = 7 * 4096;
  for (const auto& b : catalogue["binFiles"]) total += b["size"].get<std::int64_t>();
  manager->checkResources();
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusCheckingResources);
  expect_next({3, 0, sdk::resources_summary(10, total)});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusPrepared);
  ASSERT_TRUE(test::drain_main_queue());
  const auto reports = recorder.download_reports();
  ASSERT_FALSE(reports.empty());
  for (std::size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].total, 10);
    EXPECT_GE(reports[i].current, 1);
    EXPECT_LE(reports[i].current, 10);
    if (i > 0) {
      EXPECT_GE(reports[i].percent, reports[i - 1].percent);
    }
  }
  EXPECT_EQ(reports.back().percent, 100);
  EXPECT_EQ(reports.back().current, 10);

  manager->start();
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusStarted);
  expect_next({2, 0, "Engine started successfully"});
  EXPECT_TRUE(manager->isEngineStarted());

  // Tone control on a running engine: clamped, stored, no result.
  manager->setMode(1, 45.0f, -500.0f);
  EXPECT_EQ(manager->getMode(), 1);
  EXPECT_EQ(manager->getIntonation(), 30.0f);
  EXPECT_EQ(manager->getPitch(), -200.0f);
  manager->setMode(0, 0.0f, 0.0f);

  // Started but no voice yet: silence, nothing kept.
  std::size_t offset = 0;
  EXPECT_TRUE(silent(manager->transform(tone_block(0))));
  EXPECT_EQ(manager->inputBufferedBytes(), 0u);

  manager->setVoice(99);
  expect_next({0, 3, "Voice ID 99 does not exist"});
  manager->setVoice(3.0);
  expect_next({0, 0, "Set voice ID 3 successfully"});
  manager->setVoice(7.9);
  expect_next({0, 0, "Set voice ID 7 successfully"});
  ASSERT_TRUE(manager->getCurrentVoice());
  EXPECT_EQ(*manager->getCurrentVoice(), 7.9);

  // Two 480-byte calls make one 960-byte block.
  const Bytes half = tone_block(0, 240);
  EXPECT_TRUE(silent(manager->transform(half)));
  EXPECT_EQ(manager->inputBufferedBytes(), 480u);
  EXPECT_EQ(manager->processedBufferedBytes(), 0u);
  EXPECT_EQ(manager->transform(half).size(), 480u);
  EXPECT_EQ(manager->inputBufferedBytes(), 0u);
  EXPECT_EQ(manager->processedBufferedBytes(), 480u);
  EXPECT_EQ(manager->transform(half).size(), 480u);  // served from what is left
  EXPECT_EQ(manager->processedBufferedBytes(), 0u);
  EXPECT_EQ(manager->inputBufferedBytes(), 480u);
  manager->transform(half);

  // Several seconds of audio: converted output once the start-up latency has passed.
  const auto outs = run_audio(2.0, offset);
  EXPECT_GE(count_converted(outs, offset), outs.size() - 1);

  manager->stop();
  expect_next({2, 0, "Engine stopped successfully"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusIdle);
  EXPECT_FALSE(manager->isEngineStarted());
  EXPECT_FALSE(manager->getCurrentVoice());
  EXPECT_EQ(manager->engineConfig().token, "");
  EXPECT_FALSE(bridge::MorvoxEngine::create()->getEngineStatus());
  EXPECT_TRUE(silent(manager->transform(tone_block(0))));
}

TEST_F(SDKLifecycleTest, LifecycleThenEngineReleaseInSyncMode) {
  EngineConfig config = test::recorded_config(recorder);
  config.isSync = true;
  manager->setEngineConfig(config);
  bring_up(2, /*expect_download=*/!std::filesystem::exists(test::bridge_cache_dir() / "am.bin"));

  std::size_t offset = 0;
  const auto outs = run_audio(1.0, offset);
  EXPECT_GE(count_converted(outs, offset), outs.size() - 1);

  // A one-second buffer is split into pushes the engine accepts and comes back whole.
  const Bytes long_in = tone_block(offset, 48000);
  const std::size_t before = manager->processedBufferedBytes();
  const Bytes long_out = manager->transform(long_in);
  EXPECT_EQ(long_out.size(), long_in.size());
  EXPECT_EQ(manager->processedBufferedBytes(), before);
  EXPECT_EQ(manager->inputBufferedBytes(), 0u);
  EXPECT_FALSE(silent(long_out));

  manager->engineRelease();
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusReleased);
  EXPECT_FALSE(manager->isEngineStarted());
  EXPECT_FALSE(manager->isPrepared());
  EXPECT_FALSE(manager->hasSpeakerListModel());
  EXPECT_FALSE(manager->getCurrentVoice());
  EXPECT_EQ(manager->engineConfig().token, "test-token");  // the configuration stays
  EXPECT_FALSE(bridge::MorvoxEngine::create()->getEngineStatus());
  EXPECT_TRUE(silent(manager->transform(tone_block(0))));
  ASSERT_TRUE(test::drain_main_queue());
  EXPECT_EQ(recorder.pending(), 0u);  // a release reports nothing

  // The same manager comes up again after prepare.
  bring_up(1, false);
  manager->engineRelease();
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusReleased);
}

// Every format and channel count on a running engine: the length given comes back, and the
// converted audio is the same on every channel of a frame.
TEST_F(SDKLifecycleTest, EveryFormatAndChannelCountKeepsLength) {
  manager->setEngineConfig(test::recorded_config(recorder));
  bring_up(1, !std::filesystem::exists(test::bridge_cache_dir() / "am.bin"));
  for (std::int64_t format : {0, 1, 2, 3, 4, 7}) {
    for (std::int64_t channels : {1, 2, 3}) {
      SCOPED_TRACE("format " + std::to_string(format) + " channels " + std::to_string(channels));
      EngineConfig c = test::recorded_config(recorder);
      c.format = format;
      c.channel = channels;
      manager->setEngineConfig(c);
      const auto frame = static_cast<std::size_t>(MVSDKManager::getBytesPerSampleForFormat(format) * channels);
      std::size_t offset = 0;
      for (std::size_t samples : {480u, 100u, 1000u, 7000u}) {
        const auto mono = tone_block(offset, samples);
        offset += samples;
        auto host = MVSDKManager::convertFrom16BitMono(mono, format, channels, 48000);
        ASSERT_TRUE(host);
        const Bytes out = manager->transform(*host);
        ASSERT_EQ(out.size(), host->size());
        for (std::size_t f = 0; f + frame <= out.size(); f += frame) {
          for (std::int64_t ch = 1; ch < channels; ++ch) {
            const auto bps = static_cast<std::size_t>(MVSDKManager::getBytesPerSampleForFormat(format));
            ASSERT_TRUE(std::equal(out.begin() + f, out.begin() + f + bps, out.begin() + f + ch * bps));
          }
        }
        if (format == 7) {
          EXPECT_TRUE(silent(out));
        }
      }
      EXPECT_LT(manager->inputBufferedBytes(), manager->calculateMinDataSize());
    }
  }
  EXPECT_TRUE(test::drain_engine_queue(kWait));
}

// In asynchronous mode the audio thread never waits for the engine queue: with the queue held
// (as by a long chunk), through a voice change and a stop queued behind it, transform keeps
// returning.
TEST_F(SDKLifecycleTest, AudioThreadDoesNotWaitForTheEngineQueue) {
  manager->setEngineConfig(test::recorded_config(recorder));
  bring_up(1, !std::filesystem::exists(test::bridge_cache_dir() / "am.bin"));

  test::QueueGate gate;
  ASSERT_TRUE(gate.wait_held());
  auto feed = [this](std::size_t calls) {
    return std::async(std::launch::async, [this, calls] {
      std::size_t ok = 0;
      for (std::size_t i = 0; i < calls; ++i) ok += manager->transform(tone_block(i * 480)).size() == 960;
      return ok;
    });
  };
  auto plain = feed(100);
  ASSERT_EQ(plain.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "transform waited for the queue";
  EXPECT_EQ(plain.get(), 100u);

  manager->setVoice(2);  // its reset waits behind the gate
  auto during_change = feed(100);
  ASSERT_EQ(during_change.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(during_change.get(), 100u);

  manager->stop();  // its stop waits behind the gate
  auto during_stop = feed(100);
  ASSERT_EQ(during_stop.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(during_stop.get(), 100u);

  gate.release();
  // The voice change reports (or fails if the stop cleared the engine first), then the stop.
  bool stopped = false;
  for (int i = 0; i < 3 && !stopped; ++i) {
    const auto r = recorder.next(kWait);
    ASSERT_TRUE(r);
    stopped = r->action == 2;
    if (stopped) {
      EXPECT_EQ(*r, (ActionResult{2, 0, "Engine stopped successfully"}));
    }
  }
  EXPECT_TRUE(stopped);
}

// The audio thread's run, without and with every input conditioning stage on (a conditioned
// synchronous call conditions on the calling thread).
class SDKAudioThreadTest : public SDKLifecycleTest, public ::testing::WithParamInterface<bool> {
 protected:
  // The parameter's conditioning; gain_db varies between runs, so that settings change too.
  static InputConditioning conditioning(bool on, double gain_db) {
    InputConditioning c;
    if (on) {
      c.gain = c.denoise = c.gate = true;
      c.gainDb = gain_db;
      c.denoiseDb = 25.0;
      c.gateThresholdDbfs = -45.0;
    }
    return c;
  }
};

// After start the audio thread allocates nothing and takes no lock, whatever the host hands it:
// buffers of 64 to 2048 frames (most not dividing 10 ms), every format, mono and stereo, both
// modes, while another thread changes the voice and the tone.
TEST_P(SDKAudioThreadTest, AudioThreadNeitherAllocatesNorWaits) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr std::size_t kAudioSeconds = 1;  // 20 s of audio in all
#else
  constexpr std::size_t kAudioSeconds = 3;  // a minute of audio in all
#endif
  const bool conditioned = GetParam();
  EngineConfig first = test::recorded_config(recorder);
  first.input = conditioning(conditioned, 0.0);
  manager->setEngineConfig(first);
  bring_up(1, !std::filesystem::exists(test::bridge_cache_dir() / "am.bin"));
  {
    // The counters see what they are meant to see.
    test::AllocationGuard guard;
    std::mutex m;
    m.lock();
    m.unlock();
    auto* volatile p = new int(1);
    delete p;
    EXPECT_GE(guard.count(), 1u);
    EXPECT_GE(guard.waits(), 1u);
  }

  std::atomic<bool> done{false};
  std::thread control([&] {
    for (int i = 0; !done.load(); ++i) {
      if (i % 4 == 0) manager->setVoice(1 + (i / 4) % 2);
      manager->setMode(i % 3, static_cast<float>(i % 7) - 3.0f, static_cast<float>(i % 5) * 10.0f);
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
  });
  const std::size_t frames[] = {64, 100, 441, 480, 1000, 2048, 127};
  std::size_t converted_calls = 0;
  // The per-buffer debug lines are on for the synchronous half: they too are written without
  // allocating or waiting.
  auto debug_lines = std::make_shared<std::atomic<std::size_t>>(0);
  for (const bool sync : {false, true}) {
    if (sync) {
      setLogSink([debug_lines](LogLevel level, const std::string&) { *debug_lines += level == LogLevel::debug; });
      setLogLevel(LogLevel::debug);
    }
    for (std::int64_t format = 0; format <= 4; ++format) {
      for (std::int64_t channels : {1, 2}) {
        SCOPED_TRACE("sync " + std::to_string(sync) + " format " + std::to_string(format) + " channels " +
                     std::to_string(channels));
        EngineConfig c = test::recorded_config(recorder);
        c.format = format;
        c.channel = channels;
        c.isSync = sync;
        c.input = conditioning(conditioned, static_cast<double>(format * 2 + channels) - 4.0);
        manager->setEngineConfig(c);
        const auto frame = static_cast<std::size_t>(MVSDKManager::getBytesPerSampleForFormat(format) * channels);
        const auto tone = MVSDKManager::convertFrom16BitMono(tone_block(0, 48000), format, channels, 48000);
        ASSERT_TRUE(tone);
        Bytes out(2048 * frame);
        std::size_t at = 0, calls = 0, bad_length = 0, allocations = 0, waits = 0, since_wait = 0;
        for (std::size_t audio = 0; audio < kAudioSeconds * 48000; ++calls) {
          const std::size_t bytes = frames[calls % std::size(frames)] * frame;
          if (at + bytes > tone->size()) at = 0;
          const std::span<const std::uint8_t> in(tone->data() + at, bytes);
          {
            test::AllocationGuard guard;
            bad_length += manager->transform(in, out) != bytes;
            allocations += guard.count();
            waits += guard.waits();
          }
          converted_calls += !std::all_of(out.begin(), out.begin() + bytes, [](auto v) { return v == 0; }) &&
                             !std::equal(in.begin(), in.end(), out.begin());
          at += bytes;
          audio += bytes / frame;
          // Faster than real time, the engine thread would drop most pipelined input: let it
          // keep up, as an audio device's clock would (outside the counted calls).
          if ((since_wait += bytes / frame) >= 4800) {
            since_wait = 0;
            ASSERT_TRUE(manager->waitForEngine(kWait));
          }
        }
        EXPECT_EQ(allocations, 0u) << "allocations on the audio thread";
        EXPECT_EQ(waits, 0u) << "lock waits on the audio thread";
        EXPECT_EQ(bad_length, 0u);
      }
    }
  }
  done = true;
  control.join();
  flushLog();
  setLogLevel(LogLevel::info);
  setLogSink({});
  EXPECT_GT(converted_calls, 0u);
  EXPECT_GT(debug_lines->load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(InputConditioning, SDKAudioThreadTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "conditioned" : "plain"; });

// What the engine is handed, seen where the bridge hands it over: with conditioning off, the
// host's samples bit for bit, in both modes; with a stage on, the conditioned audio (+6 dB).
TEST_F(SDKLifecycleTest, EngineGetsTheHostSamplesUnlessConditioned) {
  struct Tap {
    std::vector<std::int16_t> samples = std::vector<std::int16_t>(2 * 48000);
    std::size_t n = 0;
    static void observe(void* user, const std::int16_t* s, std::size_t count) {
      auto* t = static_cast<Tap*>(user);
      const std::size_t k = std::min(count, t->samples.size() - t->n);
      std::copy_n(s, k, t->samples.begin() + static_cast<std::ptrdiff_t>(t->n));
      t->n += k;
    }
  };
  manager->setEngineConfig(test::recorded_config(recorder));
  bring_up(1, !std::filesystem::exists(test::bridge_cache_dir() / "am.bin"));
  test::SeededFloats noise(21);
  std::vector<std::int16_t> host(48000);
  for (auto& v : host) v = static_cast<std::int16_t>(noise.next(8000.0f));
  struct Case {
    const char* name;
    bool sync;
    bool gain;
  };
  for (const Case& k : {Case{"off, pipelined", false, false}, Case{"off, synchronous", true, false},
                        Case{"gain, pipelined", false, true}}) {
    SCOPED_TRACE(k.name);
    EngineConfig c = test::recorded_config(recorder);
    c.isSync = k.sync;
    c.input.gain = k.gain;
    c.input.gainDb = 6.0;
    manager->setEngineConfig(c);
    manager->start();  // a fresh stream: the gain is at its value from the first sample
    expect_next({2, 0, "Engine started successfully"});
    manager->setVoice(1);
    expect_next({0, 0, "Set voice ID 1 successfully"});
    Tap tap;
    bridge::MorvoxEngine::setPushObserver(&Tap::observe, &tap);
    for (std::size_t at = 0; at < host.size(); at += 480) {
      const std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(host.data() + at), 960);
      Bytes out(960);
      manager->transform(in, out);
      if (at % 7680 == 7200) {
        ASSERT_TRUE(manager->waitForEngine(kWait));
      }
    }
    ASSERT_TRUE(manager->waitForEngine(kWait));
    bridge::MorvoxEngine::setPushObserver(nullptr, nullptr);
    ASSERT_EQ(tap.n, host.size());
    const std::vector<std::int16_t> got(tap.samples.begin(), tap.samples.begin() + static_cast<std::ptrdiff_t>(tap.n));
    if (!k.gain) {
      EXPECT_TRUE(got == host) << "the engine did not get the host's samples";
      continue;
    }
    double in_power = 0, out_power = 0;
    for (std::size_t i = 0; i < host.size(); ++i) {
      in_power += static_cast<double>(host[i]) * host[i];
      out_power += static_cast<double>(got[i]) * got[i];
    }
    EXPECT_NEAR(10.0 * std::log10(out_power / in_power), 6.0, 0.1);
  }
}

// start on a running engine builds a new one with the configuration in force; an audio
// configuration the kit cannot serve is refused with its reason, and nothing else changes.
TEST_F(SDKLifecycleTest, StartRestartsARunningEngineAndRefusesUnsupportedAudio) {
  manager->setEngineConfig(test::recorded_config(recorder));
  bring_up(1, !std::filesystem::exists(test::bridge_cache_dir() / "am.bin"));
  // The running engine's input rate and threads.
  auto engine_rate = [] {
    auto rate = std::make_shared<std::promise<std::pair<int, int>>>();
    bridge::MorvoxEngine::runOnEngine([rate] {
      auto* e = engine::MVSoundLibrary::currentEngine();
      rate->set_value(e ? std::make_pair(e->input_rate(), e->threads()) : std::make_pair(0, 0));
    });
    return rate->get_future().get();
  };
  ASSERT_EQ(engine_rate(), std::make_pair(48000, 1));

  EngineConfig c = test::recorded_config(recorder);
  c.sampleRate = 16000;
  c.engineThreads = 2;
  manager->setEngineConfig(c);
  manager->start();
  expect_next({2, 0, "Engine started successfully"});
  EXPECT_EQ(engine_rate(), std::make_pair(16000, 2));
  EXPECT_FALSE(manager->getCurrentVoice());  // a start clears the voice
  manager->setVoice(1);
  expect_next({0, 0, "Set voice ID 1 successfully"});
  EXPECT_EQ(manager->transform(tone_block(0, 160)).size(), 320u);

  struct Case {
    std::int64_t rate, channels, format;
    const char* reason;
    InputConditioning input{};
  };
  InputConditioning loud;
  loud.gain = true;
  loud.gainDb = 50.0;
  for (const Case& k : {Case{7999, 1, 1, "Unsupported sample rate 7999 Hz (8000 to 192000 Hz)"},
                        Case{192001, 1, 1, "Unsupported sample rate 192001 Hz (8000 to 192000 Hz)"},
                        Case{48000, 33, 1, "Unsupported channel count 33 (1 to 32)"},
                        Case{48000, 1, 5, "Unsupported sample format 5 (0 to 4)"},
                        Case{48000, 1, -1, "Unsupported sample format -1 (0 to 4)"},
                        Case{48000, 1, 1, "Unsupported input gain 50 dB (-40 to 40 dB)", loud}}) {
    c.input = k.input;
    c.sampleRate = k.rate;
    c.channel = k.channels;
    c.format = k.format;
    manager->setEngineConfig(c);
    // Meanwhile transform answers with the fallback, of the same length.
    const Bytes in(64, 1);
    EXPECT_EQ(manager->transform(in), Bytes(64, 0));
    manager->start();
    expect_next({2, 3, k.reason});
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
    EXPECT_EQ(engine_rate(), std::make_pair(16000, 2));  // the running engine is left alone
  }
}

}  // namespace
}  // namespace mvsdk
