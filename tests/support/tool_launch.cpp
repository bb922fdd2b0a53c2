#include "support/tool_launch.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

#ifndef MVSDK_TEST_EMULATOR
#define MVSDK_TEST_EMULATOR ""
#endif

namespace mvsdk::test {

std::string tool_path(const std::string& name) { return std::string(MVSDK_BINARY_DIR) + "/tools/" + name; }

namespace {
// The emulator's words (empty when native).
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
}  // namespace

std::vector<std::string> launch_argv(const std::string& executable, const std::vector<std::string>& args) {
  std::vector<std::string> argv = emulator_words();
  argv.push_back(executable);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
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

ToolOutput run_tool_in_home(const std::string& name, const std::vector<std::string>& args,
                            const std::filesystem::path& home) {
  const auto out = home / (name + ".stdout"), err = home / (name + ".stderr");
  const std::string cmd = "env HOME=" + shell_quote(home) + " XDG_DATA_HOME=" + shell_quote(home / "data") +
                          " XDG_CACHE_HOME=" + shell_quote(home / "cache") + " XDG_CONFIG_HOME=" +
                          shell_quote(home / "config") + " OPENBLAS_NUM_THREADS=1 " +
                          launch_command(tool_path(name), args) + " >" + shell_quote(out) + " 2>" +
                          shell_quote(err) + " </dev/null";
  ToolOutput r;
  const int status = std::system(cmd.c_str());
  if (status != -1 && WIFEXITED(status)) r.status = WEXITSTATUS(status);
  r.out = read_file(out);
  r.err = read_file(err);
  std::error_code ec;
  std::filesystem::remove(out, ec);
  std::filesystem::remove(err, ec);
  return r;
}

std::string read_file(const std::filesystem::path& path) {
  // One read of the whole file: model files are hundreds of megabytes, too many for a character
  // iterator in an unoptimised (coverage) build.
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

}  // namespace mvsdk::test
