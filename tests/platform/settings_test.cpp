#include "platform/settings.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/tool_launch.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"

namespace fs = std::filesystem;
using mvsdk::platform::SettingsStore;
using nlohmann::json;

using mvsdk::test::LogCapture;
using mvsdk::test::exec_argv;
using mvsdk::test::launch_argv;
using mvsdk::test::self_path;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "mvsdk-settings-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string read_text(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void write_text(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << text;
}

// Runs fn in a forked child process and returns its exit status (fn's result: 0 on success);
// a child that does not finish within the bound is killed and reported as -1.
template <class Fn>
int run_in_child(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  if (pid < 0) return -2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// Run as a separate process by SharedStoreValuesSurviveIntoTheNextProcess (the test binary
// re-executes itself with MVSDK_SETTINGS_CHILD set); skipped in a normal run.
TEST(SettingsStoreChild, WriteOrRead) {
  const char* mode = std::getenv("MVSDK_SETTINGS_CHILD");
  if (mode == nullptr) GTEST_SKIP() << "helper for the cross-process test";
  const char* home = std::getenv("XDG_CONFIG_HOME");
  const char* account = std::getenv("MVSDK_SETTINGS_ACCOUNT");
  ASSERT_TRUE(home && account);
  SettingsStore& s = SettingsStore::shared();
  ASSERT_EQ(s.file(), fs::path(home) / "mvsdk" / "settings.json");
  if (std::string(mode) == "write") {
    ASSERT_TRUE(s.set("MVNetRequest_Account", std::string(account)));
    ASSERT_TRUE(s.set("count", 5));
  } else {
    EXPECT_EQ(s.get_string("MVNetRequest_Account"), std::string(account));
    EXPECT_EQ(s.get("count"), json(5));
    EXPECT_EQ(s.get_string("count"), std::nullopt);  // not a string
    EXPECT_EQ(s.get("absent"), std::nullopt);
  }
}

// The process-wide store resolves its location from the environment on first use: one fresh
// process writes through it, the next one reads what the first wrote.
TEST(SettingsStore, SharedStoreValuesSurviveIntoTheNextProcess) {
  TempDir home;
  const std::string account = "171800000012345678";
  const std::string exe = self_path();
  ASSERT_FALSE(exe.empty());
  const auto argv = launch_argv(exe, {"--gtest_filter=SettingsStoreChild.WriteOrRead"});
  auto run = [&](const char* mode) {
    return run_in_child([&] {
      setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
      setenv("MVSDK_SETTINGS_CHILD", mode, 1);
      setenv("MVSDK_SETTINGS_ACCOUNT", account.c_str(), 1);
      exec_argv(argv);
      return 127;
    });
  };
  ASSERT_EQ(run("write"), 0);
  const fs::path file = home.path() / "mvsdk" / "settings.json";
  EXPECT_EQ(json::parse(read_text(file)), (json{{"MVNetRequest_Account", account}, {"count", 5}}));
  EXPECT_EQ(run("read"), 0);
}

TEST(SettingsStore, CorruptFileReadsEmptyAndIsReplacedOnWrite) {
  TempDir dir;
  const fs::path file = dir.path() / "settings.json";
  for (const std::string& corrupt : {std::string("{\"a\": 1,"), std::string("[1, 2]"), std::string(""),
                                    std::string("\"text\""), std::string("\x00\xff{}", 4)}) {
    SCOPED_TRACE(corrupt);
    write_text(file, corrupt);
    LogCapture log;
    SettingsStore store(file);
    EXPECT_EQ(store.get("a"), std::nullopt);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(file.string()), std::string::npos);

    ASSERT_TRUE(store.set("b", "x"));
    EXPECT_EQ(json::parse(read_text(file)), (json{{"b", "x"}}));
    EXPECT_EQ(SettingsStore(file).get_string("b"), "x");
  }
}

TEST(SettingsStore, CreatesDirectoryWritesPrivatelyAndLeavesNoTemporaryFiles) {
  TempDir dir;
  const fs::path file = dir.path() / "deeper" / "mvsdk" / "settings.json";
  SettingsStore store(file);
  EXPECT_EQ(store.get("k"), std::nullopt);  // missing file: empty, no error
  ASSERT_TRUE(store.set("k", "v1"));
  ASSERT_TRUE(store.set("k", "v2"));
  ASSERT_TRUE(store.set("other", true));
  EXPECT_EQ(json::parse(read_text(file)), (json{{"k", "v2"}, {"other", true}}));
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(file.parent_path())) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"settings.json"});
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(store.remove("nothing-there"));
}

TEST(SettingsStore, UnwritableLocationKeepsValueInMemoryAndLogs) {
  TempDir dir;
  write_text(dir.path() / "blocker", "a file where a directory should be");
  LogCapture log;
  SettingsStore store(dir.path() / "blocker" / "settings.json");
  EXPECT_FALSE(store.set("k", 42));
  EXPECT_EQ(store.get("k"), json(42));
  EXPECT_FALSE(log.lines().empty());

  // A read-only directory: the rename cannot happen, the old file stays intact.
  if (geteuid() != 0) {
    const fs::path ro = dir.path() / "ro";
    write_text(ro / "settings.json", R"({"keep":1})");
    fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
    SettingsStore ro_store(ro / "settings.json");
    EXPECT_FALSE(ro_store.set("new", 2));
    EXPECT_EQ(ro_store.get("new"), json(2));
    EXPECT_EQ(json::parse(read_text(ro / "settings.json")), (json{{"keep", 1}}));
    fs::permissions(ro, fs::perms::owner_all);
  }
}

TEST(SettingsStore, RefusesValuesThatCannotBeWrittenAndStaysUsable) {
  TempDir dir;
  const fs::path file = dir.path() / "settings.json";
  LogCapture log;
  SettingsStore store(file);
  EXPECT_FALSE(store.set("bad", std::string("\xff\xfe not utf-8")));
  EXPECT_FALSE(store.set(std::string("\xc3"), 1));
  EXPECT_EQ(store.get("bad"), std::nullopt);
  EXPECT_TRUE(store.set("good", "ok"));
  EXPECT_EQ(SettingsStore(file).get_string("good"), "ok");
}

TEST(SettingsStore, ConcurrentWritersLoseNothing) {
  TempDir dir;
  const fs::path file = dir.path() / "settings.json";
  SettingsStore store(file);
  constexpr int kThreads = 4, kPerThread = 25;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string key = "t" + std::to_string(t) + "_" + std::to_string(i);
        EXPECT_TRUE(store.set(key, i));
        EXPECT_EQ(store.get(key), json(i));
      }
    });
  }
  for (auto& t : ts) t.join();
  const json on_disk = json::parse(read_text(file));
  EXPECT_EQ(on_disk.size(), static_cast<size_t>(kThreads * kPerThread));
  SettingsStore reread(file);
  EXPECT_EQ(reread.get("t3_24"), json(24));
}
