// End to end against mvsdk-service and synthetic models: the host's whole lifecycle with the
// action results in order and the status on the way, the audio path in both modes and every
// format, a restart on a running engine; and faults of the service and of the model files, each
// giving the host the right action result and leaving no partial or temporary file in the cache
// folder. How each fault is detected is tested in the HTTP, request and download layers; here one
// of each kind passes through.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "bridge/morvox_engine.h"
#include "engine/driver/MVSoundLibrary.h"
#include "engine/driver/engine.h"
#include "mvsdk/mvsdk.h"
#include "mvsdk/service_protocol.h"
#include "sdk/sdk_manager_impl.h"
#include "support/alloc_counter.h"
#include "support/bridge_fixtures.h"
#include "support/local_service.h"
#include "support/sdk_fixtures.h"
#include "support/seeded_weights.h"

namespace mvsdk {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::ActionResult;

// Long enough for a download of the synthetic models or an engine start under sanitizers.
constexpr auto kWait = std::chrono::seconds(120);

// 16-bit mono samples at 48 kHz of a 220 Hz tone, starting at sample `offset`.
Bytes tone_block(std::size_t offset, std::size_t samples = 480) {
  Bytes b(2 * samples);
  for (std::size_t i = 0; i < samples; ++i) {
    const auto s = static_cast<std::int16_t>(8000.0 * std::sin(2.0 * M_PI * 220.0 * (offset + i) / 48000.0));
    b[2 * i] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s));
    b[2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8);
  }
  return b;
}

bool silent(std::span<const std::uint8_t> b) {
  return std::all_of(b.begin(), b.end(), [](auto v) { return v == 0; });
}

class SDKLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder.empty()) << "mvsdk-models failed";
    ASSERT_TRUE(service.ok()) << service.error();
    MVSDKManager::setServiceBaseUrl(service.url());
  }
  void TearDown() override {
    manager->engineRelease();
    manager.reset();
    test::drain_engine_queue();
    test::drain_main_queue();
  }

  // setEngineConfig(config) -> prepare -> checkResources -> start -> setVoice(voice), each checked.
  void bring_up(EngineConfig config, double voice = 1) {
    manager->setEngineConfig(config);
    manager->prepare();
    recorder.expect({2, 0, "success"});
    manager->checkResources();
    const auto got = recorder.next(kWait);
    ASSERT_TRUE(got);
    EXPECT_EQ(std::tuple(got->action, got->code), std::tuple(3, 0)) << got->message;
    start_with_voice(voice);
  }
  void start_with_voice(double voice) {
    manager->start();
    recorder.expect({2, 0, "Engine started successfully"});
    manager->setVoice(voice);
    recorder.expect({0, 0, "Set voice ID " + std::to_string(static_cast<int>(voice)) + " successfully"});
  }

  // Feeds seconds of tone in 10 ms calls, letting the engine catch up after every 16 calls (one
  // chunk) as it would in real time; returns how many of the last 50 calls were converted (neither
  // silent nor the input).
  std::size_t converted_calls(double seconds) {
    const auto calls = static_cast<std::size_t>(seconds * 100);
    std::size_t converted = 0;
    for (std::size_t i = 0; i < calls; ++i) {
      const Bytes in = tone_block(i * 480);
      const Bytes out = manager->transform(in);
      EXPECT_EQ(out.size(), in.size());
      converted += i + 50 >= calls && !silent(out) && out != in;
      if (i % 16 == 15) {
        EXPECT_TRUE(test::drain_engine_queue(kWait));
      }
    }
    return converted;
  }

  const fs::path cache = test::bridge_cache_dir();  // private caches and settings folders
  const fs::path folder = test::sdk_service_folder();
  test::ResultRecorder recorder;
  test::LocalService service{folder};
  std::shared_ptr<MVSDKManager> manager = MVSDKManager::create();
};

TEST_F(SDKLifecycleTest, WholeLifecycleStopThenSyncModeAndRelease) {
  // Start from an empty cache.
  manager->setEngineConfig(test::recorded_config(recorder));
  manager->cleanAllFiles();
  recorder.expect({5, 0, "All files cleaned"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusIdle);

  manager->prepare();
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusPreparing);
  recorder.expect({2, 0, "success"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusPrepared);
  EXPECT_TRUE(manager->isInitialized() && manager->isPrepared());
  ASSERT_EQ(manager->getVoiceList().size(), 7u);

  // The summary counts every catalogue file: 7 style files of 4096 bytes and the three weights.
  std::int64_t total = 7 * 4096;
  const auto catalogue = service.catalogue();
  for (const auto& b : catalogue["binFiles"]) total += b["size"].get<std::int64_t>();
  manager->checkResources();
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusCheckingResources);
  recorder.expect({3, 0, sdk::resources_summary(10, total)});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusPrepared);

  manager->start();
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusStarted);
  recorder.expect({2, 0, "Engine started successfully"});
  EXPECT_TRUE(manager->isEngineStarted());

  manager->setVoice(7.9);
  recorder.expect({0, 0, "Set voice ID 7 successfully"});
  EXPECT_EQ(manager->getCurrentVoice(), 7.9);

  // Two 480-byte calls make one 960-byte block; the second half is served from what is left.
  const Bytes half = tone_block(0, 240);
  auto buffered = [&] { return std::tuple(manager->inputBufferedBytes(), manager->processedBufferedBytes()); };
  EXPECT_TRUE(silent(manager->transform(half)));
  EXPECT_EQ(buffered(), std::tuple(480u, 0u));
  EXPECT_EQ(manager->transform(half).size(), 480u);
  EXPECT_EQ(buffered(), std::tuple(0u, 480u));
  EXPECT_EQ(manager->transform(half).size(), 480u);
  EXPECT_EQ(buffered(), std::tuple(480u, 0u));
  manager->transform(half);

  // Several seconds of audio: converted output once the start-up latency has passed.
  EXPECT_GE(converted_calls(2.0), 49u);

  manager->stop();
  recorder.expect({2, 0, "Engine stopped successfully"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusIdle);
  EXPECT_FALSE(manager->isEngineStarted() || manager->getCurrentVoice());
  EXPECT_EQ(manager->engineConfig().token, "");
  EXPECT_FALSE(bridge::MorvoxEngine::create()->getEngineStatus());

  // Up again in synchronous mode (a stop dropped the configuration and the catalogue).
  EngineConfig config = test::recorded_config(recorder);
  config.isSync = true;
  bring_up(config, 2);

  // A one-second buffer is split into pushes the engine accepts and comes back whole.
  const Bytes long_in = tone_block(0, 48000);
  const std::size_t before = manager->processedBufferedBytes();
  const Bytes long_out = manager->transform(long_in);
  EXPECT_EQ(long_out.size(), long_in.size());
  EXPECT_EQ(manager->processedBufferedBytes(), before);
  EXPECT_EQ(manager->inputBufferedBytes(), 0u);
  EXPECT_FALSE(silent(long_out));

  manager->engineRelease();
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusReleased);
  EXPECT_FALSE(manager->isEngineStarted() || manager->isPrepared() || manager->hasSpeakerListModel());
  EXPECT_FALSE(manager->getCurrentVoice());
  EXPECT_EQ(manager->engineConfig().token, "test-token");  // the configuration stays
  EXPECT_FALSE(bridge::MorvoxEngine::create()->getEngineStatus());
  EXPECT_TRUE(silent(manager->transform(tone_block(0))));
  ASSERT_TRUE(test::drain_main_queue());
  EXPECT_EQ(recorder.pending(), 0u);  // a release reports nothing
}

// What the engine is handed, seen where the bridge hands it over: with conditioning off, the
// host's samples bit for bit, in both modes.
TEST_F(SDKLifecycleTest, EngineGetsTheHostSamplesBitForBit) {
  struct Tap {
    std::vector<std::int16_t> samples = std::vector<std::int16_t>(48000);
    std::size_t n = 0;
    static void observe(void* user, const std::int16_t* s, std::size_t count) {
      auto* t = static_cast<Tap*>(user);
      const std::size_t k = std::min(count, t->samples.size() - t->n);
      std::copy_n(s, k, t->samples.begin() + static_cast<std::ptrdiff_t>(t->n));
      t->n += k;
    }
  };
  bring_up(test::recorded_config(recorder));
  test::SeededFloats noise(21);
  std::vector<std::int16_t> host(48000);
  for (auto& v : host) v = static_cast<std::int16_t>(noise.next(8000.0f));
  for (const bool sync : {false, true}) {
    SCOPED_TRACE(sync ? "synchronous" : "pipelined");
    EngineConfig c = test::recorded_config(recorder);
    c.isSync = sync;
    manager->setEngineConfig(c);
    start_with_voice(1);
    Tap tap;
    bridge::MorvoxEngine::setPushObserver(&Tap::observe, &tap);
    Bytes out(960);
    for (std::size_t at = 0; at < host.size(); at += 480) {
      manager->transform({reinterpret_cast<const std::uint8_t*>(host.data() + at), 960}, out);
      if (at % 7680 == 7200) {
        ASSERT_TRUE(manager->waitForEngine(kWait));
      }
    }
    ASSERT_TRUE(manager->waitForEngine(kWait));
    bridge::MorvoxEngine::setPushObserver(nullptr, nullptr);
    ASSERT_EQ(tap.n, host.size());
    EXPECT_TRUE(tap.samples == host) << "the engine did not get the host's samples";
  }
}

// After start the audio thread allocates nothing and takes no lock, whatever the host hands it:
// buffers of 64 to 2048 frames (most not dividing 10 ms), every format, mono and stereo, both
// modes, while another thread changes the voice and the tone; the synchronous half with every
// input conditioning stage on (a conditioned synchronous call conditions on the calling thread).
// The converted audio is the same on every channel of a frame.
TEST_F(SDKLifecycleTest, AudioThreadNeitherAllocatesNorWaits) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
  constexpr std::size_t kAudioSeconds = 1;  // 20 s of audio in all (the coverage build's at -O0)
#else
  constexpr std::size_t kAudioSeconds = 3;  // a minute of audio in all
#endif
  // Conditioning in the synchronous half; gain_db varies between runs, so that settings change too.
  auto config = [&](std::int64_t format, std::int64_t channels, bool sync) {
    EngineConfig c = test::recorded_config(recorder);
    std::tie(c.format, c.channel, c.isSync) = std::tuple(format, channels, sync);
    if (sync) {
      c.input.gain = c.input.denoise = c.input.gate = true;
      c.input.gainDb = static_cast<double>(format * 2 + channels) - 4.0;
      c.input.denoiseDb = 25.0;
      c.input.gateThresholdDbfs = -45.0;
    }
    return c;
  };
  bring_up(config(1, 1, false));
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
        manager->setEngineConfig(config(format, channels, sync));
        const auto bps = static_cast<std::size_t>(MVSDKManager::getBytesPerSampleForFormat(format));
        const std::size_t frame = bps * static_cast<std::size_t>(channels);
        const auto tone = MVSDKManager::convertFrom16BitMono(tone_block(0, 48000), format, channels, 48000);
        ASSERT_TRUE(tone);
        Bytes out(2048 * frame);
        std::size_t at = 0, calls = 0, bad_length = 0, allocations = 0, waits = 0, since_wait = 0, unequal = 0;
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
          converted_calls += !silent({out.data(), bytes}) && !std::equal(in.begin(), in.end(), out.begin());
          for (std::size_t f = 0; channels == 2 && f < bytes; f += frame) {
            unequal += !std::equal(out.begin() + f, out.begin() + f + bps, out.begin() + f + bps);
          }
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
        EXPECT_EQ(unequal, 0u) << "frames whose channels differ";
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

// start on a running engine builds a new one with the configuration in force; an audio
// configuration the kit cannot serve is refused with its reason, and nothing else changes.
TEST_F(SDKLifecycleTest, StartRestartsARunningEngineAndRefusesUnsupportedAudio) {
  bring_up(test::recorded_config(recorder));
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
  c.halfPrecisionWeights = true;
  manager->setEngineConfig(c);
  manager->start();
  recorder.expect({2, 0, "Engine started successfully"});
  EXPECT_EQ(engine_rate(), std::make_pair(16000, 2));
  EXPECT_TRUE(engine::MVSoundLibrary::halfPrecisionWeights());
  EXPECT_FALSE(manager->getCurrentVoice());  // a start clears the voice
  manager->setVoice(1);
  recorder.expect({0, 0, "Set voice ID 1 successfully"});
  EXPECT_EQ(manager->transform(tone_block(0, 160)).size(), 320u);

  struct Case {
    std::int64_t rate, channels, format;
    const char* reason;
  };
  for (const Case& k : {Case{7999, 1, 1, "Unsupported sample rate 7999 Hz (8000 to 192000 Hz)"},
                        Case{48000, 33, 1, "Unsupported channel count 33 (1 to 32)"},
                        Case{48000, 1, 5, "Unsupported sample format 5 (0 to 4)"}}) {
    std::tie(c.sampleRate, c.channel, c.format) = std::tuple(k.rate, k.channels, k.format);
    manager->setEngineConfig(c);
    // Meanwhile transform answers with the fallback, of the same length.
    EXPECT_EQ(manager->transform(Bytes(64, 1)), Bytes(64, 0));
    manager->start();
    recorder.expect({2, 3, k.reason});
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
    EXPECT_EQ(engine_rate(), std::make_pair(16000, 2));  // the running engine is left alone
  }
}

// Faults of the service and of the model files, seen from the host: how each is detected is
// tested in the HTTP, request and download layers (a failed download leaves nothing in the cache
// there); here one of each kind passes through.
using SDKFaultsTest = SDKLifecycleTest;

std::string name_of(const std::string& reference) { return reference.substr(reference.find_last_of('/') + 1); }

// A faulty service call during prepare: the step that met it reports it with its action. A
// catalogue reply that is not JSON is a reply without data: an empty catalogue, which start
// refuses.
TEST_F(SDKFaultsTest, CallFaultsFailThePreparation) {
  manager->setEngineConfig(test::recorded_config(recorder));
  const std::tuple<nlohmann::json, std::int64_t, std::string> cases[] = {
      {{{"path", std::string(protocol::kLoginPath)}, {"status", 500}, {"message", ""}}, 1, "error，code: 500"},
      {{{"path", std::string(protocol::kSpeakerListPath)}, {"transfer", "chunked"}, {"pad_bytes", (32u << 20) + 1}}, 2,
       "reply body larger than the limit of 33554432 bytes"},
  };
  for (const auto& [behaviour, action, message] : cases) {
    SCOPED_TRACE(behaviour.dump());
    ASSERT_TRUE(service.reset() && service.set_call(behaviour));
    manager->prepare();
    recorder.expect({action, 2, message});
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
  }
  ASSERT_TRUE(service.reset());
  ASSERT_TRUE(service.set_call({{"path", std::string(protocol::kSpeakerListPath)}, {"form", "raw"}, {"body", "<html>"}}));
  manager->prepare();
  recorder.expect({2, 0, "success"});
  EXPECT_TRUE(manager->getVoiceList().empty());
  manager->start();
  recorder.expect({2, 6, "Bin file list does not exist or insufficient count, at least 3 files required"});
}

// A weight file the service fails fails the batch (naming it and the cause), and start then finds
// it missing; the healthy service completes the cache. A cached model file the engine refuses
// keeps it from starting: the host hears of it as the start timeout, the engine's log naming the
// file (which files the engine refuses is the engine's own test).
TEST_F(SDKFaultsTest, FaultyFilesKeepTheEngineFromStarting) {
  manager->setEngineConfig(test::recorded_config(recorder));
  manager->cleanAllFiles();
  recorder.expect({5, 0, "All files cleaned"});
  std::vector<std::string> bins;  // references, bid order
  const auto catalogue = service.catalogue();
  for (const auto& b : catalogue["binFiles"]) bins.push_back(b["file"].get<std::string>());
  ASSERT_EQ(bins.size(), 3u);
  manager->prepare();
  recorder.expect({2, 0, "success"});
  ASSERT_TRUE(service.set_file({{"name", name_of(bins[0])}, {"mode", "500"}}));
  manager->checkResources();
  const auto got = recorder.next(kWait).value_or(ActionResult{});
  EXPECT_EQ(std::tuple(got.action, got.code), std::tuple(3, 2));
  EXPECT_EQ(got.message.rfind("Some files failed to download: " + bins[0] + ": ", 0), 0u) << got.message;
  EXPECT_NE(got.message.find("Download failed with HTTP status 500"), std::string::npos) << got.message;
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
  manager->start();
  recorder.expect({2, 6, "Bin file local path does not exist: file1(" + bins[0] +
                             ") , please call checkResources to download files first"});
  ASSERT_TRUE(service.reset());
  manager->checkResources();
  EXPECT_EQ(recorder.next(kWait).value_or(ActionResult{}).code, 0);

  // An empty content-encoder file in the cache.
  const fs::path cached = cache / name_of(bins[1]);
  test::LogCapture log;
  std::ofstream(cached, std::ios::trunc);
  manager->start();
  recorder.expect({2, 5, "Engine start timeout"});
  EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
  EXPECT_TRUE(log.contains(cached.string())) << "the engine's log does not name the file";
  fs::copy_file(folder / name_of(bins[1]), cached, fs::copy_options::overwrite_existing);
  manager->start();
  recorder.expect({2, 0, "Engine started successfully"});
}

}  // namespace
}  // namespace mvsdk
