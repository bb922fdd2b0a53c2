#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/settings.h"

namespace fs = std::filesystem;
using namespace mvsdk::platform;

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

}  // namespace

TEST(Log, DefaultSinkWritesLineToStderr) {
  log_reset_sink();
  EXPECT_TRUE(log_enabled());
  testing::internal::CaptureStderr();
  log_line("component: first");
  log_line("");
  log_line("component: second");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "component: first\n\ncomponent: second\n");
}

TEST(Log, ReplacedSilencedAndRestored) {
  std::vector<std::string> got;
  log_set_sink([&](std::string_view l) { got.emplace_back(l); });
  EXPECT_TRUE(log_enabled());
  log_line("one");
  log_set_sink({});
  EXPECT_FALSE(log_enabled());
  testing::internal::CaptureStderr();
  log_line("silenced");
  log_reset_sink();
  EXPECT_TRUE(log_enabled());
  log_line("back");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "back\n");
  EXPECT_EQ(got, std::vector<std::string>{"one"});

  // A throwing sink costs its line, never the caller.
  log_set_sink([](std::string_view) { throw std::runtime_error("sink down"); });
  EXPECT_NO_THROW(log_line("lost"));
  log_reset_sink();
}

// Lines written while the sink is swapped from another thread all reach one of the sinks, and a
// replaced sink is not destroyed while a line is inside it (the address sanitizer build would
// flag the use after free).
TEST(Log, SinkSwapsDoNotRaceWithLines) {
  auto a = std::make_shared<std::atomic<long>>(0);
  auto b = std::make_shared<std::atomic<long>>(0);
  auto make_sink = [](std::shared_ptr<std::atomic<long>> counter) {
    auto payload = std::make_shared<std::string>("owned by the sink");
    return LogSink([counter, payload](std::string_view) {
      if (payload->empty()) std::abort();
      counter->fetch_add(1);
    });
  };
  log_set_sink(make_sink(a));
  constexpr int kWriters = 3, kLines = 3000;
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (bool flip = false; !stop.load(); flip = !flip) log_set_sink(make_sink(flip ? a : b));
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([] {
      for (int i = 0; i < kLines; ++i) log_line("line");
    });
  for (auto& t : writers) t.join();
  stop = true;
  swapper.join();
  log_reset_sink();
  EXPECT_EQ(a->load() + b->load(), static_cast<long>(kWriters) * kLines);
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
