// The platform's core services: the log, XDG paths, the settings store and the dispatch queues.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "mvsdk/log.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/settings.h"
#include "support/alloc_counter.h"
#include "support/local_service.h"
#include "support/log_capture.h"

namespace mvsdk::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using test::LogCapture;
using Lines = std::vector<std::string>;

// Long enough for a loaded machine, short enough that a deadlock fails instead of hanging.
constexpr auto kWait = 10s;

// A sink that collects lines under a lock; the first line equal to `stuck` blocks it until
// release() (for a full queue).
struct Collector {
  std::mutex mutex;
  Lines lines;
  std::promise<void> entered, released;
  std::shared_future<void> release_future = released.get_future().share();
  LogSink sink(std::string stuck = "") {
    return [this, stuck](Level, std::string_view line) {
      if (!stuck.empty() && line == stuck) {
        entered.set_value();
        release_future.wait();
      }
      std::lock_guard<std::mutex> lock(mutex);
      lines.emplace_back(line);
    };
  }
  void block(const std::string& stuck) {
    log_set_sink(sink(stuck));
    log_line(Level::kError, stuck);
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
  }
};

// The public control: a threshold lets through its level and the more severe ones, the host's
// sink gets each line with its level on the kit's log thread; a sink that throws loses that line
// only.
TEST(Log, HostLevelAndSinkOnTheLogThread) {
  EXPECT_EQ(logLevel(), LogLevel::info);  // the default
  std::mutex mutex;
  Lines got;
  std::optional<bool> flush_inside_sink;
  const auto caller = std::this_thread::get_id();
  setLogSink([&](LogLevel level, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!flush_inside_sink) flush_inside_sink = flushLog(5s);
    EXPECT_NE(std::this_thread::get_id(), caller);
    if (line == "i") throw std::runtime_error("sink down");
    got.push_back(std::to_string(static_cast<int>(level)) + ":" + line);
  });
  const std::pair<LogLevel, Lines> cases[] = {
      {LogLevel::off, {}},
      {LogLevel::error, {"1:e", "1:e 1"}},
      {LogLevel::debug, {"1:e", "1:e 1", "2:i 2", "3:d", "3:d 3"}},
  };
  for (const auto& [threshold, want] : cases) {
    SCOPED_TRACE(static_cast<int>(threshold));
    setLogLevel(threshold);
    EXPECT_EQ(logLevel(), threshold);
    EXPECT_EQ(log_enabled(Level::kDebug), threshold == LogLevel::debug);
    for (auto [level, text] : {std::pair(Level::kError, "e"), {Level::kInfo, "i"}, {Level::kDebug, "d"}}) {
      log_line(level, text);
      log_printf(level, "%s %d", text, static_cast<int>(level));
    }
    ASSERT_TRUE(flushLog(10s));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(got, want);
    got.clear();
  }
  EXPECT_EQ(flush_inside_sink, std::optional<bool>(false));  // a sink cannot wait for itself

  setLogLevel(LogLevel::info);
  setLogSink({});
}

// Producers never wait and never allocate: with the sink stuck on a line, thousands of lines from
// several threads return at once; what does not fit in the queue is counted and reported in one
// line once the sink is free again. While stuck, a flush times out. A line longer than a slot is
// cut on a character boundary and ends in the marker; one that just fits is whole.
TEST(Log, FullQueueDropsCountsAndReportsOnce) {
  Collector c;
  log_set_sink(c.sink());  // the log thread runs before the counting starts
  log_set_level(Level::kInfo);
  std::string long_line;
  while (long_line.size() < 3 * kLogLineMax) long_line += "\xe4\xb8\xad";
  const std::string fits(kLogLineMax, 'a');
  const std::size_t keep = (kLogLineMax - kLogCutMarker.size()) / 3 * 3;
  const std::string cut_line = long_line.substr(0, keep) + std::string(kLogCutMarker);
  std::size_t allocations = 0;
  {
    test::AllocationGuard guard;
    for (int i = 0; i < 10; ++i) {
      log_printf(Level::kInfo, "component: %s %d of %zu, %.3f", "voice", i, long_line.size(), 0.5 * i);
      log_line(Level::kInfo, "component: plain");
      log_printf(Level::kInfo, "%s", long_line.c_str());
      log_line(Level::kInfo, long_line);
      log_line(Level::kInfo, fits);
      log_printf(Level::kDebug, "component: %s", "below the threshold");
    }
    allocations = guard.count();
  }
  ASSERT_TRUE(log_flush(10s));
  EXPECT_EQ(std::count(c.lines.begin(), c.lines.end(), cut_line), 20);
  EXPECT_EQ(std::count(c.lines.begin(), c.lines.end(), fits), 10);
  c.block("stuck");
  const std::uint64_t dropped_before = log_dropped_lines();
  constexpr int kThreads = 4, kLines = 1000;
  std::vector<std::future<std::size_t>> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.push_back(std::async(std::launch::async, [t] {
      test::AllocationGuard guard;
      for (int i = 0; i < kLines; ++i) log_printf(Level::kError, "producer %d line %d", t, i);
      return guard.count();
    }));
  }
  for (auto& p : producers) {
    ASSERT_EQ(p.wait_for(10s), std::future_status::ready) << "a producer waited for the sink";
    allocations += p.get();
  }
  EXPECT_EQ(allocations, 0u);
  EXPECT_FALSE(log_flush(20ms));
  // The stuck line keeps its slot: the others hold every line that made it.
  const std::uint64_t queued = kLogSlots - 1, dropped = kThreads * kLines - queued;
  EXPECT_EQ(log_dropped_lines() - dropped_before, dropped);
  c.released.set_value();
  ASSERT_TRUE(log_flush(10s));
  log_reset_sink();
  const auto first = std::find(c.lines.begin(), c.lines.end(), "stuck");
  ASSERT_EQ(c.lines.end() - first, static_cast<std::ptrdiff_t>(1 + queued + 1));
  EXPECT_EQ(c.lines.back(), "log: " + std::to_string(dropped) + " lines dropped, the log queue was full");
  EXPECT_EQ(std::count_if(first, c.lines.end(), [](const std::string& l) { return l.starts_with("log: "); }), 1);
}

// XDG base directories: an absolute XDG_*_HOME, else under HOME, else none.
TEST(Paths, CachesAndConfigDirectoriesFromEnvironment) {
  const char* names[] = {"HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"};
  std::vector<std::optional<std::string>> saved;
  for (const char* n : names) saved.push_back(std::getenv(n) ? std::optional<std::string>(std::getenv(n)) : std::nullopt);
  using P = std::optional<fs::path>;
  const struct {
    const char *home, *cache, *config;
    P caches_dir, config_dir;
  } cases[] = {
      {"/home/t", "/var/cache/t", "/etc/xdg-t", "/var/cache/t", "/etc/xdg-t/mvsdk"},
      {"/home/t", "", "", "/home/t/.cache", "/home/t/.config/mvsdk"},
      {"/home/t", nullptr, nullptr, "/home/t/.cache", "/home/t/.config/mvsdk"},
      {"/home/t", "relative/cache", nullptr, "/home/t/.cache", "/home/t/.config/mvsdk"},  // not XDG: ignored
      {nullptr, nullptr, nullptr, std::nullopt, std::nullopt},
      {"", "/only/xdg", nullptr, "/only/xdg", std::nullopt},
  };
  for (const auto& c : cases) {
    const char* values[] = {c.home, c.cache, c.config};
    for (int i = 0; i < 3; ++i) values[i] ? ::setenv(names[i], values[i], 1) : ::unsetenv(names[i]);
    EXPECT_EQ(caches_directory(), c.caches_dir) << (c.home ? c.home : "-") << " " << (c.cache ? c.cache : "-");
    EXPECT_EQ(config_directory(), c.config_dir) << (c.home ? c.home : "-") << " " << (c.config ? c.config : "-");
  }
  for (int i = 0; i < 3; ++i) saved[i] ? ::setenv(names[i], saved[i]->c_str(), 1) : ::unsetenv(names[i]);
}

std::string read_text(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}
void write_text(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

TEST(SettingsStore, WritesPrivatelyAtomicallyAndStaysUsableWhenItCannot) {
  test::TempDir dir("mvsdk-settings");
  const fs::path file = dir.path() / "deeper" / "mvsdk" / "settings.json";
  SettingsStore store(file);
  EXPECT_EQ(store.get("k"), std::nullopt);  // missing file: empty, no error
  ASSERT_TRUE(store.set("k", "v1"));
  ASSERT_TRUE(store.set("k", "v2"));
  EXPECT_TRUE(store.remove("nothing-there"));
  EXPECT_EQ(json::parse(read_text(file)), (json{{"k", "v2"}}));
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);  // no temporary files
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  // Values that cannot be written are refused.
  EXPECT_FALSE(store.set("bad", std::string("\xff\xfe not utf-8")));
  EXPECT_FALSE(store.set(std::string("\xc3"), 1));
  EXPECT_EQ(store.get("bad"), std::nullopt);
  // A corrupt file (cut short, or JSON but no object) reads as empty, is logged once with its
  // name, and is replaced on the next write.
  for (const std::string corrupt : {"{\"a\": 1,", "[1, 2]"}) {
    write_text(file, corrupt);
    LogCapture corrupt_log;
    SettingsStore reread(file);
    EXPECT_EQ(reread.get("k"), std::nullopt) << corrupt;
    const auto lines = corrupt_log.lines();
    ASSERT_EQ(lines.size(), 1u) << corrupt;
    EXPECT_NE(lines[0].find(file.string()), std::string::npos);
    ASSERT_TRUE(reread.set("b", "x"));
    EXPECT_EQ(SettingsStore(file).get_string("b"), "x");
  }

  // An unwritable location keeps the value in memory and logs; a read-only directory keeps the
  // old file intact.
  LogCapture log;
  write_text(dir.path() / "blocker", "a file where a directory should be");
  SettingsStore blocked(dir.path() / "blocker" / "settings.json");
  EXPECT_FALSE(blocked.set("k", 42));
  EXPECT_EQ(blocked.get("k"), json(42));
  EXPECT_FALSE(log.lines().empty());
  if (geteuid() != 0) {
    const fs::path ro = dir.path() / "ro";
    write_text(ro / "settings.json", R"({"keep":1})");
    fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
    SettingsStore ro_store(ro / "settings.json");
    EXPECT_FALSE(ro_store.set("new", 2));
    EXPECT_EQ(ro_store.get("new"), json(2));
    fs::permissions(ro, fs::perms::owner_all);
    EXPECT_EQ(json::parse(read_text(ro / "settings.json")), (json{{"keep", 1}}));
  }
}

TEST(SerialQueue, SyncWaitsThrowingTasksAreDroppedAndDestructionDrains) {
  LogCapture log;
  std::atomic<int> count{0};
  {
    SerialQueue q("test.throw");
    q.async([&] {
      std::this_thread::sleep_for(20ms);
      ++count;
    });
    q.async([] { throw std::runtime_error("boom"); });
    std::thread::id ran_on;
    q.sync([&] {
      EXPECT_EQ(count.load(), 1);  // FIFO: the earlier task has finished
      EXPECT_TRUE(q.is_current());
      ran_on = std::this_thread::get_id();
      q.sync([&] { ++count; });  // sync from the worker itself runs inline
    });
    EXPECT_NE(ran_on, std::this_thread::get_id());
    EXPECT_FALSE(q.is_current());
    for (int i = 0; i < 100; ++i) q.async([&] { ++count; });
  }
  EXPECT_EQ(count.load(), 102);  // the destructor ran the queued tasks before joining
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("boom"), std::string::npos);
  EXPECT_NE(lines[0].find("test.throw"), std::string::npos);
}

TEST(SerialQueue, DestroyedFromOwnWorkerDoesNotDeadlock) {
  auto* q = new SerialQueue("test.selfdestroy");
  std::promise<void> later;
  Semaphore both_queued;
  q->async([q, &both_queued] {
    if (both_queued.wait_for(kWait)) delete q;
  });
  q->async([&later] { later.set_value(); });  // queued behind the delete: still runs
  both_queued.signal();
  EXPECT_EQ(later.get_future().wait_for(kWait), std::future_status::ready);
}

TEST(After, NeverEarlyAndDroppedForADestroyedQueue) {
  LogCapture log;
  std::atomic<bool> ran{false};
  {
    SerialQueue gone("test.gone");
    after(30ms, gone, [&] { ran = true; });
  }
  SerialQueue q("test.after");
  std::vector<std::pair<int, std::chrono::steady_clock::duration>> fired;  // touched only on q
  Semaphore all;
  // Scheduled out of order; each fires no earlier than its own delay after it was posted.
  const int delays[] = {60, 0, 30, 10, 45, 5, -5};
  for (int d : delays) {
    const auto posted = std::chrono::steady_clock::now();
    after(std::chrono::milliseconds(d), q, [&, d, posted] {
      fired.emplace_back(d, std::chrono::steady_clock::now() - posted);
      all.signal();
    });
  }
  for (size_t i = 0; i < std::size(delays); ++i) ASSERT_TRUE(all.wait_for(kWait)) << i;
  q.sync([] {});
  EXPECT_FALSE(all.wait_for(0ms));  // each fired once
  ASSERT_EQ(fired.size(), std::size(delays));
  for (auto [d, elapsed] : fired) EXPECT_GE(elapsed, std::chrono::milliseconds(d)) << d;
  // The 60 ms entry has fired, so the 30 ms one for the destroyed queue was handled.
  EXPECT_FALSE(ran.load());
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("dropped"), std::string::npos);
}

// Tasks of a group run on a concurrent queue; a sync from one of its workers runs inline.
TEST(TaskGroup, NoticeComesAfterLastTaskAndThrowingTasksLeave) {
  LogCapture log;
  ConcurrentQueue q("test.group", 3);
  TaskGroup group;
  std::atomic<int> completed{0};
  for (int i = 0; i < 12; ++i) {
    group.async(q, [&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(i % 4));
      ++completed;
      if (i == 5) throw std::runtime_error("bad task");
    });
  }
  group.enter();  // manually entered work holds the notice back too
  std::promise<int> seen_at_notice;
  auto f = seen_at_notice.get_future();
  group.notify(main_queue(), [&] { seen_at_notice.set_value(completed.load()); });
  EXPECT_FALSE(group.wait(20ms));
  EXPECT_NE(f.wait_for(0ms), std::future_status::ready);
  group.leave();
  ASSERT_EQ(f.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(f.get(), 12);
  // An empty group notifies and waits at once; an unbalanced leave is logged and ignored.
  std::promise<void> immediate;
  group.notify(main_queue(), [&] { immediate.set_value(); });
  EXPECT_EQ(immediate.get_future().wait_for(kWait), std::future_status::ready);
  group.leave();
  EXPECT_TRUE(group.wait(0ms));
  bool inline_on_worker = false;
  q.sync([&] { q.sync([&] { inline_on_worker = q.is_current(); }); });  // nested sync: no deadlock
  EXPECT_TRUE(inline_on_worker);
}

// Exit with a main queue task running, many queued behind it, background work and a timer entry
// far ahead: clean, and no task runs once the statics are being destroyed.
TEST(ProcessExit, WithTasksPendingIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct Alive {
          std::atomic<bool> yes{true};
          ~Alive() {
            yes = false;
            std::this_thread::sleep_for(20ms);  // a slow teardown widens the window of a late task
          }
        };
        static Alive statics_in_use;
        Semaphore running;
        main_queue().async([&running] {
          running.signal();
          for (int i = 0; i < 50 && statics_in_use.yes; ++i) std::this_thread::sleep_for(1ms);
          if (!statics_in_use.yes) std::abort();
        });
        for (int i = 0; i < 1000; ++i) {
          main_queue().async([] {
            if (!statics_in_use.yes) std::abort();
            log_line(Level::kInfo, "queued task ran");
          });
        }
        for (int i = 0; i < 8; ++i) background_queue().async([] { std::this_thread::sleep_for(20ms); });
        after(10s, main_queue(), [] { std::abort(); });
        std::exit(running.wait_for(kWait) ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace mvsdk::platform
