#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <mutex>
#include <thread>

#include "mvsdk/log.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/settings.h"
#include "support/alloc_counter.h"

namespace mvsdk::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

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
// sink gets each line with its level on the kit's log thread, and an empty sink means stderr.
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
    got.push_back(std::to_string(static_cast<int>(level)) + ":" + line);
  });
  const std::pair<LogLevel, Lines> cases[] = {
      {LogLevel::off, {}},
      {LogLevel::error, {"1:e", "1:e 1"}},
      {LogLevel::debug, {"1:e", "1:e 1", "2:i", "2:i 2", "3:d", "3:d 3"}},
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
  testing::internal::CaptureStderr();
  log_line(Level::kInfo, "component: first");
  log_line(Level::kError, "");
  log_line(Level::kDebug, "component: below the threshold");
  log_printf(Level::kInfo, "component: %s %d", "second", 2);
  ASSERT_TRUE(flushLog());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "component: first\n\ncomponent: second 2\n");
}

TEST(Log, SilencedSinkAndThrowingSink) {
  Collector c;
  log_set_sink(c.sink());
  log_line(Level::kError, "one");
  ASSERT_TRUE(log_flush(10s));
  log_set_sink({});
  EXPECT_FALSE(log_enabled(Level::kError));
  log_line(Level::kError, "silenced");
  log_set_sink([](Level, std::string_view) { throw std::runtime_error("sink down"); });
  log_line(Level::kError, "lost");
  ASSERT_TRUE(log_flush(10s));  // a line goes to the sink of its delivery
  log_set_sink(c.sink());
  log_line(Level::kError, "two");
  ASSERT_TRUE(log_flush(10s));
  log_reset_sink();
  EXPECT_EQ(c.lines, (Lines{"one", "two"}));
}

// Producers never wait and never allocate: with the sink stuck on a line, thousands of lines from
// several threads return at once; what does not fit in the queue is counted and reported in one
// line once the sink is free again. While stuck, a flush times out.
TEST(Log, FullQueueDropsCountsAndReportsOnce) {
  Collector c;
  log_set_sink(c.sink());  // the log thread runs before the counting starts
  log_set_level(Level::kInfo);
  const std::string long_line(3 * kLogLineMax, 'x');
  std::size_t allocations = 0;
  {
    test::AllocationGuard guard;
    for (int i = 0; i < 10; ++i) {
      log_printf(Level::kInfo, "component: %s %d of %zu, %.3f", "voice", i, long_line.size(), 0.5 * i);
      log_line(Level::kInfo, "component: plain");
      log_printf(Level::kInfo, "%s", long_line.c_str());
      log_printf(Level::kDebug, "component: %s", "below the threshold");
    }
    allocations = guard.count();
  }
  ASSERT_TRUE(log_flush(10s));
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

// A line longer than a slot is cut on a character boundary and ends in the marker; one that just
// fits is whole. The same through log_line and log_printf.
TEST(Log, LongLinesAreCutWithAMarker) {
  Collector c;
  log_set_sink(c.sink());
  const std::size_t keep = kLogLineMax - kLogCutMarker.size();
  const std::pair<std::string, std::size_t> cases[] = {
      {"a", kLogLineMax}, {"a", kLogLineMax + 1}, {"\xc3\xa9", 3000}, {"\xe4\xb8\xad", 3000}};
  for (const auto& [unit, n] : cases) {
    std::string line;
    while (line.size() + unit.size() <= n) line += unit;
    const std::string want = line.size() <= kLogLineMax
                                 ? line
                                 : line.substr(0, keep / unit.size() * unit.size()) + std::string(kLogCutMarker);
    c.lines.clear();
    log_line(Level::kError, line);
    log_printf(Level::kError, "%s", line.c_str());
    ASSERT_TRUE(log_flush(10s));
    EXPECT_EQ(c.lines, (Lines{want, want})) << line.size();
  }
  log_reset_sink();
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

}  // namespace
}  // namespace mvsdk::platform
