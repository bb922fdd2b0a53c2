#pragma once
// Starting an executable of the build tree (a tool, or the running test itself) from a test.
//
// In a cross build the test executables run under an emulator (CMake's cross-compiling
// emulator, e.g. "qemu-aarch64 -L /usr/aarch64-linux-gnu"), and so must every program of the
// build tree they start: the build passes the emulator's words, separated by single spaces, as
// MVSDK_TEST_EMULATOR. Native builds have none and start the executable directly.
#include <string>
#include <vector>

namespace mvsdk::test {

// MVSDK_BINARY_DIR/tools/name.
std::string tool_path(const std::string& name);

// The path of the running executable as the system names it (under qemu-user, the emulated
// program, not the emulator). Empty if it cannot be read.
std::string self_path();

// The emulator's words (empty when native).
std::vector<std::string> emulator_words();

// The argument vector that runs executable with args: emulator words, executable, args.
std::vector<std::string> launch_argv(const std::string& executable,
                                     const std::vector<std::string>& args = {});

// The same as one shell command line, every word single-quoted.
std::string launch_command(const std::string& executable, const std::vector<std::string>& args = {});

// Replaces the calling process with argv (argv[0] looked up in PATH). Returns only on failure,
// with -1. For a forked child, where building argv before fork keeps the child to exec alone.
int exec_argv(const std::vector<std::string>& argv);

// One word single-quoted for /bin/sh (embedded quotes closed, escaped and reopened).
std::string shell_quote(const std::string& word);

}  // namespace mvsdk::test
