// Starting programs of the build tree from a test: shell quoting, and that a started copy of the
// test itself and a tool really run (under the emulator too, in a cross build).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/tool_launch.h"

namespace {

using namespace mvsdk::test;

std::string run_shell(const std::string& cmd, int* status) {
  std::FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return {};
  std::string out;
  char buf[512];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = ::pclose(p);
  return out;
}

TEST(ToolLaunch, ShellQuotingSurvivesTheShell) {
  for (const std::string word : {"plain", "two words", "it's", "'", "$HOME `x` \"q\" \\ ;|&", ""}) {
    int status = -1;
    const std::string out = run_shell("printf '%s|' " + shell_quote(word), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, word + "|") << word;
  }
}

TEST(ToolLaunch, ArgvPutsTheEmulatorFirst) {
  const auto emu = emulator_words();
  const auto argv = launch_argv("/x/tool", {"--a", "b c"});
  ASSERT_EQ(argv.size(), emu.size() + 3);
  for (std::size_t i = 0; i < emu.size(); ++i) {
    EXPECT_EQ(argv[i], emu[i]);
    EXPECT_FALSE(emu[i].empty());
  }
  EXPECT_EQ(argv[emu.size()], "/x/tool");
  EXPECT_EQ(argv.back(), "b c");
}

// Only a child started through launch_command prints this test's name: the listing proves that
// the copy ran, with its arguments intact.
TEST(ToolLaunch, StartsACopyOfThisTestAndATool) {
  const std::string self = self_path();
  ASSERT_FALSE(self.empty());
  int status = -1;
  const std::string out =
      run_shell(launch_command(self, {"--gtest_list_tests", "--gtest_filter=ToolLaunch.Starts*"}) + " 2>&1", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("StartsACopyOfThisTestAndATool"), std::string::npos) << out;
  EXPECT_EQ(out.find("ShellQuoting"), std::string::npos) << out;

  const std::string usage = run_shell(launch_command(tool_path("mvsdk-models"), {"--no-such-option"}) + " 2>&1", &status);
  ASSERT_TRUE(WIFEXITED(status)) << usage;
  EXPECT_EQ(WEXITSTATUS(status), 2) << usage;
  EXPECT_NE(usage.find("usage: mvsdk-models"), std::string::npos) << usage;
}

TEST(ToolLaunch, ExecReplacesAForkedChild) {
  const auto argv = launch_argv(tool_path("mvsdk-models"), {"--voices", "0", "--out", "/nonexistent"});
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(STDERR_FILENO);
    exec_argv(argv);
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);  // the tool's bad-command-line status, not exec's 127
  EXPECT_EQ(exec_argv({}), -1);
}

}  // namespace
