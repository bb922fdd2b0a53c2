#pragma once
// Starting an executable of the build tree (a tool) from a test.
//
// In a cross build the test executables run under an emulator (CMake's cross-compiling
// emulator, e.g. "qemu-aarch64 -L /usr/aarch64-linux-gnu"), and so must every program of the
// build tree they start: the build passes the emulator's words, separated by single spaces, as
// MVSDK_TEST_EMULATOR. Native builds have none and start the executable directly.
#include <filesystem>
#include <string>
#include <vector>

namespace mvsdk::test {

// MVSDK_BINARY_DIR/tools/name.
std::string tool_path(const std::string& name);

// The argument vector that runs executable with args: emulator words, executable, args.
std::vector<std::string> launch_argv(const std::string& executable,
                                     const std::vector<std::string>& args = {});

// The same as one shell command line, every word single-quoted.
std::string launch_command(const std::string& executable, const std::vector<std::string>& args = {});

// One word single-quoted for /bin/sh (embedded quotes closed, escaped and reopened).
std::string shell_quote(const std::string& word);

// What a tool's run printed, and its exit status (-1 when it did not exit normally).
struct ToolOutput {
  int status = -1;
  std::string out, err;
};

// Runs the tool name of the build tree with args, standard input empty, its home, data, cache and
// settings folders under home (so that runs sharing a home share the synthetic data folder).
ToolOutput run_tool_in_home(const std::string& name, const std::vector<std::string>& args,
                            const std::filesystem::path& home);

// The whole file; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);

}  // namespace mvsdk::test
