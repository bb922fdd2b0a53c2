#pragma once
// Starting an executable of the build tree (a tool) from a test.
//
// In a cross build the test executables run under an emulator (CMake's cross-compiling
// emulator, e.g. "qemu-aarch64 -L /usr/aarch64-linux-gnu"), and so must every program of the
// build tree they start: the build passes the emulator's words, separated by single spaces, as
// MVSDK_TEST_EMULATOR. Native builds have none and start the executable directly.
#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace mvsdk::test {

// MVSDK_BINARY_DIR/tools/name.
std::string tool_path(const std::string& name);

// The argument vector that runs executable with args: emulator words, executable, args.
std::vector<std::string> launch_argv(const std::string& executable,
                                     const std::vector<std::string>& args = {});

// What a tool's run printed, and its exit status (128 + signal for a killed tool, -1 when it did
// not end).
struct ToolOutput {
  int status = -1;
  std::string out, err;
};

// The environment (NAME=value) that puts a program's home, data, cache and settings folders under
// home, so that runs sharing a home share the synthetic data folder.
std::vector<std::string> home_env(const std::filesystem::path& home);

// Runs the tool name of the build tree with args and home_env(home) to its end (at most 10 minutes),
// standard input closed.
ToolOutput run_tool_in_home(const std::string& name, const std::vector<std::string>& args,
                            const std::filesystem::path& home);

// The whole file; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// A program started from a test: standard input from a pipe, standard output and error to the
// files dir/tag.out and dir/tag.err, env (NAME=value) before the test's own environment (so it
// overrides it). Stopped by SIGTERM (then SIGKILL) when destroyed, and by the system
// (PR_SET_PDEATHSIG) if the test itself dies. argv[0] without a slash is looked for in /usr/bin.
class Process {
 public:
  Process(std::vector<std::string> argv, std::vector<std::string> env, const std::filesystem::path& dir,
          const std::string& tag);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  bool started() const { return pid_ > 0; }
  void send(const std::string& line) const;
  void close_input();
  // The exit status (128 + signal for a killed program), or none if it still runs at the deadline.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  // The first match of pattern in standard output and its groups; none when the deadline passed or
  // the program ended first.
  std::optional<std::vector<std::string>> wait_output(const std::regex& pattern, std::chrono::milliseconds timeout);
  std::string out() const { return read_file(out_); }
  std::string err() const { return read_file(err_); }

 private:
  std::filesystem::path out_, err_;
  int pid_ = -1;
  int stdin_ = -1;
  std::optional<int> status_;
};

}  // namespace mvsdk::test
