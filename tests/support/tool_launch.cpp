#include "support/tool_launch.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#ifndef MVSDK_TEST_EMULATOR
#define MVSDK_TEST_EMULATOR ""
#endif

namespace mvsdk::test {

std::string tool_path(const std::string& name) { return std::string(MVSDK_BINARY_DIR) + "/tools/" + name; }

std::string self_path() {
  std::error_code ec;
  const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::vector<std::string> emulator_words() {
  std::vector<std::string> words;
  const std::string all = MVSDK_TEST_EMULATOR;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find(' ', start);
    if (end == std::string::npos) end = all.size();
    if (end > start) words.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::vector<std::string> launch_argv(const std::string& executable, const std::vector<std::string>& args) {
  std::vector<std::string> argv = emulator_words();
  argv.push_back(executable);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

int exec_argv(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> raw;
  raw.reserve(argv.size() + 1);
  for (const auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
  raw.push_back(nullptr);
  ::execvp(raw[0], raw.data());
  return -1;
}

std::string shell_quote(const std::string& word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string launch_command(const std::string& executable, const std::vector<std::string>& args) {
  std::string cmd;
  for (const auto& w : launch_argv(executable, args)) {
    if (!cmd.empty()) cmd += ' ';
    cmd += shell_quote(w);
  }
  return cmd;
}

}  // namespace mvsdk::test
