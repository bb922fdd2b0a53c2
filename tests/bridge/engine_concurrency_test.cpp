// Conversions on one thread while voices change, engines restart and stop on others. Meant to be
// run under ThreadSanitizer as well: no race, no crash, and every conversion's output has the
// input's length or is empty (no engine output to give). Whether any of the disturbed conversions
// reaches a running engine depends on the machine's load, so only the calm phase after the last
// change is required to be answered by the engine.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "bridge/mv_rtvc_engine_manager.h"
#include "platform/log.h"
#include "support/bridge_catalogue.h"
#include "support/bridge_fixtures.h"
#include "support/synthetic_models.h"

using namespace mvsdk;
using namespace mvsdk::bridge;
using namespace std::chrono_literals;

namespace {

// Waits for a voice change's outcome; true when it reported at all.
bool change_voice(MVRtvcEngineManager& m, std::int64_t id) {
  auto p = std::make_shared<std::promise<void>>();
  auto f = p->get_future();
  auto once = std::make_shared<std::atomic<bool>>(false);
  auto report = [p, once] {
    if (!once->exchange(true)) p->set_value();
  };
  m.setSpeakerWithSpeakerId(id, report, [report](const std::string&) { report(); });
  return f.wait_for(300s) == std::future_status::ready;
}

}  // namespace

TEST(EngineConcurrency, ConversionsWhileVoicesChangeEnginesRestartAndStop) {
  platform::log_set_sink(nullptr);  // the conversions log every call
  auto host = std::make_shared<test::FakeHost>();
  host->set_catalogue(test::bridge_catalogue());
  auto manager = MVRtvcEngineManager::create(host, nullptr);
  // A second manager sharing the bridge, as the SDK manager shares it with its engine manager.
  auto other = MVRtvcEngineManager::create(host, manager->engineManager());

  const auto dir = test::temp_dir("concurrency");
  const std::string recording = (dir / "rec.pcm").string();
  std::ofstream(recording, std::ios::binary) << std::string(1960 * 3 + 7, '\x10');

  std::atomic<bool> done{false};
  std::atomic<int> conversions{0};
  std::atomic<int> wrong_length{0};

  std::thread converter([&] {
    const Bytes block(960, 0x21);
    for (int i = 0; !done.load(); ++i) {
      auto check = [&](const Bytes& out) { wrong_length += !out.empty() && out.size() != block.size(); };
      if (i % 3 == 2) {
        manager->realTimeTranscribeDataWithData(block, 1, 0.5f, 0, check);
      } else {
        check(manager->syncRealTimeTranscribeDataWithData(block, i % 2, 0, 0));
      }
      conversions.fetch_add(1);
      std::this_thread::sleep_for(10ms);
    }
  });

  std::thread disturber([&] {
    for (int i = 0; !done.load(); ++i) {
      if (i % 3 == 0) other->resetEngineWithSuccess(nullptr);
      if (i % 6 == 1) other->getSoundDataCheckWithPath(recording, nullptr);
      if (i % 6 == 4) manager->engineManager()->stopEngine([] {});
      if (i % 6 == 5) other->releaseEngineWithSuccess(nullptr);
      std::this_thread::sleep_for(60ms);
    }
  });

  // Voices 1 and 2 use different files: every change restarts the engine.
  int reported = 0;
  constexpr int kChanges = 4;
  for (int k = 0; k < kChanges; ++k) {
    reported += change_voice(*manager, k % 2 == 0 ? 1 : 2) ? 1 : 0;
    std::this_thread::sleep_for(150ms);
  }
  done.store(true);
  disturber.join();
  converter.join();
  EXPECT_TRUE(test::drain_engine_queue(300s));
  // A last change with nothing disturbing it, then conversions through the engine.
  EXPECT_TRUE(change_voice(*manager, 1));
  EXPECT_TRUE(test::drain_engine_queue(300s));
  EXPECT_TRUE(manager->getEngineStatus());
  for (int i = 0; i < 5; ++i) {
    const Bytes out = manager->syncRealTimeTranscribeDataWithData(Bytes(960, 0x21), 1, 0, 0);
    EXPECT_EQ(out.size(), 960u);
    EXPECT_NE(out, Bytes(960, 0x21)) << "not converted";
  }

  EXPECT_EQ(reported, kChanges);
  EXPECT_GT(conversions.load(), 0);
  EXPECT_EQ(wrong_length.load(), 0);

  manager->destroyEngineWithSuccess(nullptr);
  EXPECT_TRUE(test::drain_engine_queue(300s));
  EXPECT_TRUE(test::drain_main_queue());
  platform::log_reset_sink();
}
