#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mvsdk/log.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/settings.h"
#include "support/alloc_counter.h"

namespace fs = std::filesystem;
using namespace mvsdk::platform;
using namespace std::chrono_literals;

namespace {

// Sets or clears environment variables for one test and restores them afterwards.
class EnvGuard {
 public:
  void set(const char* name, const char* value) {
    remember(name);
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~EnvGuard() {
    for (auto& [name, old] : saved_) {
      if (old)
        setenv(name.c_str(), old->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }

 private:
  void remember(const char* name) {
    for (auto& s : saved_)
      if (s.first == name) return;
    const char* v = std::getenv(name);
    saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Lines of every level, logged through log_line and log_printf from the test's thread.
void log_each_level(std::string_view tag) {
  for (Level level : {Level::kError, Level::kInfo, Level::kDebug}) {
    const std::string text = std::string(tag) + " " + std::to_string(static_cast<int>(level));
    log_line(level, text);
    log_printf(level, "%s printf", text.c_str());
  }
}

struct Received {
  mvsdk::LogLevel level;
  std::string line;
  std::thread::id thread;
};

}  // namespace

// The public control: a threshold lets through its level and the more severe ones, the host's
// sink gets each line with its level on the kit's log thread, and an empty sink means stderr.
TEST(Log, HostLevelAndSinkOnTheLogThread) {
  using mvsdk::LogLevel;
  EXPECT_EQ(mvsdk::logLevel(), LogLevel::info);  // the default
  std::mutex mutex;
  std::vector<Received> got;
  std::optional<bool> flush_inside_sink;
  mvsdk::setLogSink([&](LogLevel level, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!flush_inside_sink) flush_inside_sink = mvsdk::flushLog(std::chrono::seconds(5));
    got.push_back({level, line, std::this_thread::get_id()});
  });
  const struct {
    LogLevel threshold;
    std::vector<LogLevel> logged;
  } cases[] = {
      {LogLevel::off, {}},
      {LogLevel::error, {LogLevel::error}},
      {LogLevel::info, {LogLevel::error, LogLevel::info}},
      {LogLevel::debug, {LogLevel::error, LogLevel::info, LogLevel::debug}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.threshold));
    mvsdk::setLogLevel(c.threshold);
    EXPECT_EQ(mvsdk::logLevel(), c.threshold);
    EXPECT_EQ(log_enabled(Level::kDebug), c.threshold == LogLevel::debug);
    log_each_level("level");
    ASSERT_TRUE(mvsdk::flushLog(std::chrono::seconds(10)));
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> want, seen;
    for (LogLevel l : c.logged) {
      const std::string text = "level " + std::to_string(static_cast<int>(l));
      want.insert(want.end(), {text, text + " printf"});
    }
    for (const auto& r : got) {
      seen.push_back(r.line);
      EXPECT_EQ("level " + std::to_string(static_cast<int>(r.level)), r.line.substr(0, 7));
      EXPECT_NE(r.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(seen, want);
    got.clear();
  }
  EXPECT_EQ(flush_inside_sink, std::optional<bool>(false));  // a sink cannot wait for itself

  mvsdk::setLogLevel(LogLevel::info);
  mvsdk::setLogSink({});
  testing::internal::CaptureStderr();
  log_line(Level::kInfo, "component: first");
  log_line(Level::kError, "");
  log_line(Level::kDebug, "component: below the threshold");
  log_printf(Level::kInfo, "component: %s %d", "second", 2);
  ASSERT_TRUE(mvsdk::flushLog());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "component: first\n\ncomponent: second 2\n");
}

TEST(Log, SilencedSinkAndThrowingSink) {
  std::vector<std::string> got;
  log_set_sink([&](Level, std::string_view l) { got.emplace_back(l); });
  log_line(Level::kError, "one");
  ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
  log_set_sink({});
  EXPECT_FALSE(log_enabled(Level::kError));
  log_line(Level::kError, "silenced");
  log_set_sink([](Level, std::string_view) { throw std::runtime_error("sink down"); });
  log_line(Level::kError, "lost");
  ASSERT_TRUE(log_flush(std::chrono::seconds(10)));  // a line goes to the sink of its delivery
  log_set_sink([&](Level, std::string_view l) { got.emplace_back(l); });
  log_line(Level::kError, "two");
  ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
  log_reset_sink();
  EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));
}

// Producers never wait: with the sink stuck on a line, thousands of lines from several threads
// return at once; what does not fit in the queue is counted and reported in one line once the
// sink is free again. While stuck, a flush times out.
TEST(Log, FullQueueDropsCountsAndReportsOnce) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::mutex mutex;
  std::vector<std::string> got;
  log_set_sink([&, released](Level, std::string_view line) {
    if (line == "stuck") {
      entered.set_value();
      released.wait();
    }
    std::lock_guard<std::mutex> lock(mutex);
    got.emplace_back(line);
  });
  log_line(Level::kError, "stuck");
  ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
  const std::uint64_t dropped_before = log_dropped_lines();

  constexpr int kThreads = 4, kLines = 1000;
  std::vector<std::future<void>> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.push_back(std::async(std::launch::async, [t] {
      for (int i = 0; i < kLines; ++i) log_printf(Level::kError, "producer %d line %d", t, i);
    }));
  bool returned = true;
  for (auto& p : producers) returned = p.wait_for(10s) == std::future_status::ready && returned;
  EXPECT_TRUE(returned) << "a producer waited for the sink";
  EXPECT_FALSE(log_flush(20ms));
  // The stuck line keeps its slot: the others hold every line that made it.
  const std::uint64_t queued = kLogSlots - 1;
  EXPECT_EQ(log_dropped_lines() - dropped_before, kThreads * kLines - queued);

  release.set_value();
  ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
  log_reset_sink();
  const std::string report =
      "log: " + std::to_string(kThreads * kLines - queued) + " lines dropped, the log queue was full";
  ASSERT_EQ(got.size(), 1 + queued + 1);
  EXPECT_EQ(got.front(), "stuck");
  EXPECT_EQ(got.back(), report);
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const std::string& l) { return l.starts_with("log: "); }), 1);
}

// Lines from many threads arrive whole and, per thread, in order; with the sink swapped all the
// while, every line reaches one of the sinks (or is counted as dropped), and a replaced sink is
// not destroyed while a line is inside it (the address sanitizer build would see it).
TEST(Log, ManyThreadsAndSinkSwaps) {
  struct Seen {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  auto seen = std::make_shared<Seen>();
  auto make_sink = [seen] {
    auto payload = std::make_shared<std::string>("owned by the sink");
    return LogSink([seen, payload](Level, std::string_view line) {
      if (payload->empty()) std::abort();
      if (line.starts_with("log: ")) return;  // a drop report
      std::lock_guard<std::mutex> lock(seen->mutex);
      seen->lines.emplace_back(line);
    });
  };
  // Line i of thread t: its numbers, then (t + i) % 700 copies of the letter for t.
  auto line_of = [](int t, int i) {
    return "t" + std::to_string(t) + " i" + std::to_string(i) + " " + std::string((t + i) % 700, char('a' + t));
  };
  log_set_sink(make_sink());
  const std::uint64_t dropped_before = log_dropped_lines();
  constexpr int kWriters = 4, kLines = 2000;
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop.load()) log_set_sink(make_sink());
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t)
    writers.emplace_back([t, &line_of] {
      for (int i = 0; i < kLines; ++i) {
        const std::string line = line_of(t, i);
        if (i % 2)
          log_line(Level::kInfo, line);
        else
          log_printf(Level::kInfo, "%s", line.c_str());
      }
    });
  for (auto& w : writers) w.join();
  stop = true;
  swapper.join();
  ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
  log_reset_sink();

  std::vector<int> next(kWriters, 0);
  for (const std::string& line : seen->lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "t%d i%d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kWriters && i >= next[t]) << line;
    EXPECT_EQ(line, line_of(t, i));
    next[t] = i + 1;
  }
  EXPECT_EQ(seen->lines.size() + (log_dropped_lines() - dropped_before), std::size_t{kWriters} * kLines);
}

// A line longer than a slot is cut on a character boundary and ends in the marker; one that just
// fits is whole. The same through log_line and log_printf.
TEST(Log, LongLinesAreCutWithAMarker) {
  std::vector<std::string> got;
  log_set_sink([&](Level, std::string_view l) { got.emplace_back(l); });
  const std::size_t keep = kLogLineMax - kLogCutMarker.size();
  const struct {
    std::string unit;  // one character, repeated
    std::size_t bytes;
  } cases[] = {{"a", kLogLineMax}, {"a", kLogLineMax + 1}, {"a", 5000}, {"\xc3\xa9", 3000}, {"\xe4\xb8\xad", 3000}};
  for (const auto& c : cases) {
    std::string line;
    while (line.size() < c.bytes) line += c.unit;
    line.resize(c.bytes / c.unit.size() * c.unit.size());
    const std::string want = line.size() <= kLogLineMax
                                 ? line
                                 : line.substr(0, keep / c.unit.size() * c.unit.size()) + std::string(kLogCutMarker);
    got.clear();
    log_line(Level::kError, line);
    log_printf(Level::kError, "%s", line.c_str());
    ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
    SCOPED_TRACE(line.size());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], want);
    EXPECT_EQ(got[1], want);
  }
  log_reset_sink();
}

// The producer side allocates nothing, whether the line is queued, cut, filtered or dropped.
TEST(Log, ProducersDoNotAllocate) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  log_set_sink([&, released](Level, std::string_view line) {
    if (line != "stuck") return;
    entered.set_value();
    released.wait();
  });
  log_set_level(Level::kInfo);
  const std::string long_line(3 * kLogLineMax, 'x');
  const char* name = "voice";
  std::size_t allocations = 0;
  {
    mvsdk::test::AllocationGuard guard;
    for (int i = 0; i < 10; ++i) {
      log_printf(Level::kInfo, "component: %s %d of %zu, %.3f", name, i, long_line.size(), 0.5 * i);
      log_line(Level::kInfo, "component: plain");
      log_printf(Level::kInfo, "%s", long_line.c_str());
      log_printf(Level::kDebug, "component: %s", "below the threshold");
    }
    log_line(Level::kError, "stuck");
    if (entered.get_future().wait_for(10s) == std::future_status::ready) {
      for (std::size_t i = 0; i < 2 * kLogSlots; ++i) log_printf(Level::kInfo, "component: filling %zu", i);
    }
    allocations = guard.count();
  }
  release.set_value();
  EXPECT_TRUE(log_flush(std::chrono::seconds(10)));
  log_reset_sink();
  EXPECT_EQ(allocations, 0u);
}

// Run in a fresh process: exit while the sink is busy and the queue is full must be clean.
TEST(Log, ExitWithLinesQueuedIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        log_set_sink([](Level, std::string_view line) {
          std::this_thread::sleep_for(1ms);
          std::fwrite(line.data(), 1, line.size(), stderr);
        });
        for (std::size_t i = 0; i < 2 * kLogSlots; ++i) log_printf(Level::kError, "line %zu;", i);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Paths, CachesDirectoryFromEnvironment) {
  EnvGuard env;
  env.set("HOME", "/home/tester");
  env.set("XDG_CACHE_HOME", "/var/cache/tester");
  EXPECT_EQ(caches_directory(), fs::path("/var/cache/tester"));
  env.set("XDG_CACHE_HOME", "");
  EXPECT_EQ(caches_directory(), fs::path("/home/tester/.cache"));
  env.set("XDG_CACHE_HOME", nullptr);
  EXPECT_EQ(caches_directory(), fs::path("/home/tester/.cache"));
  env.set("XDG_CACHE_HOME", "relative/cache");  // invalid by the XDG rules: ignored
  EXPECT_EQ(caches_directory(), fs::path("/home/tester/.cache"));
  env.set("HOME", nullptr);
  EXPECT_EQ(caches_directory(), std::nullopt);
  env.set("HOME", "");
  EXPECT_EQ(caches_directory(), std::nullopt);
  env.set("XDG_CACHE_HOME", "/only/xdg");
  EXPECT_EQ(caches_directory(), fs::path("/only/xdg"));
}

TEST(Paths, ConfigDirectoryFromEnvironment) {
  EnvGuard env;
  env.set("HOME", "/home/tester");
  env.set("XDG_CONFIG_HOME", "/etc/xdg-tester");
  EXPECT_EQ(config_directory(), fs::path("/etc/xdg-tester/mvsdk"));
  env.set("XDG_CONFIG_HOME", "");
  EXPECT_EQ(config_directory(), fs::path("/home/tester/.config/mvsdk"));
  env.set("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(config_directory(), fs::path("/home/tester/.config/mvsdk"));
  env.set("HOME", nullptr);
  EXPECT_EQ(config_directory(), std::nullopt);
}
