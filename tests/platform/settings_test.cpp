#include "platform/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "support/local_service.h"
#include "support/log_capture.h"

namespace mvsdk::platform {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string read_text(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}
void write_text(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

// The process-wide store resolves its location from the environment on first use: one fresh
// process writes through it, the next one reads what the first wrote. Each child re-runs this
// test and finds the parent's directory in the environment.
TEST(SettingsStore, SharedStoreValuesSurviveIntoTheNextProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::optional<test::TempDir> made;
  const char* inherited = std::getenv("MVSDK_SETTINGS_TEST_HOME");
  const fs::path home = inherited ? fs::path(inherited) : made.emplace("mvsdk-settings").path();
  ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  ::setenv("MVSDK_SETTINGS_TEST_HOME", home.c_str(), 1);
  EXPECT_EXIT(
      {
        SettingsStore& s = SettingsStore::shared();
        std::exit(s.file() == home / "mvsdk" / "settings.json" && s.set("account", "1718") && s.set("count", 5) ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(json::parse(read_text(home / "mvsdk" / "settings.json")), (json{{"account", "1718"}, {"count", 5}}));
  EXPECT_EXIT(
      {
        SettingsStore& s = SettingsStore::shared();
        std::exit(s.get_string("account") == "1718" && s.get("count") == json(5) && !s.get_string("count") ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  ::unsetenv("MVSDK_SETTINGS_TEST_HOME");
}

TEST(SettingsStore, CorruptFileReadsEmptyAndIsReplacedOnWrite) {
  test::TempDir dir("mvsdk-settings");
  const fs::path file = dir.path() / "settings.json";
  for (const std::string& corrupt :
       {std::string("{\"a\": 1,"), std::string("[1, 2]"), std::string("\x00\xff{}", 4)}) {
    SCOPED_TRACE(corrupt);
    write_text(file, corrupt);
    test::LogCapture log;
    SettingsStore store(file);
    EXPECT_EQ(store.get("a"), std::nullopt);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(file.string()), std::string::npos);
    ASSERT_TRUE(store.set("b", "x"));
    EXPECT_EQ(SettingsStore(file).get_string("b"), "x");
  }
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

  // An unwritable location keeps the value in memory and logs; a read-only directory keeps the
  // old file intact.
  test::LogCapture log;
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

}  // namespace
}  // namespace mvsdk::platform
