#include "support/tool_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

extern char** environ;

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

// One word single-quoted for /bin/sh (embedded quotes closed, escaped and reopened).
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
}  // namespace

std::vector<std::string> launch_argv(const std::string& executable, const std::vector<std::string>& args) {
  std::vector<std::string> argv = emulator_words();
  argv.push_back(executable);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

ToolOutput run_tool_in_home(const std::string& name, const std::vector<std::string>& args,
                            const std::filesystem::path& home) {
  const auto out = home / (name + ".stdout"), err = home / (name + ".stderr");
  std::string cmd = "env HOME=" + shell_quote(home) + " XDG_DATA_HOME=" + shell_quote(home / "data") +
                    " XDG_CACHE_HOME=" + shell_quote(home / "cache") + " XDG_CONFIG_HOME=" +
                    shell_quote(home / "config") + " OPENBLAS_NUM_THREADS=1";
  for (const auto& word : launch_argv(tool_path(name), args)) cmd += " " + shell_quote(word);
  cmd += " >" + shell_quote(out) + " 2>" + shell_quote(err) + " </dev/null";
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

Process::Process(std::vector<std::string> argv, std::vector<std::string> env, const std::filesystem::path& dir,
                 const std::string& tag)
    : out_(dir / (tag + ".out")), err_(dir / (tag + ".err")) {
  if (argv[0].find('/') == std::string::npos) argv[0] = "/usr/bin/" + argv[0];
  for (char** e = environ; *e; ++e) env.emplace_back(*e);  // getenv takes the first: overrides first
  std::vector<char*> args, envp;
  for (auto& a : argv) args.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  args.push_back(nullptr);
  envp.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {  // only async-signal-safe calls from here on
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0 && err >= 0 && ::dup2(fds[0], 0) == 0 && ::dup2(out, 1) == 1 && ::dup2(err, 2) == 2) {
      ::execve(args[0], args.data(), envp.data());
    }
    ::_exit(127);
  }
  ::close(fds[0]);
  stdin_ = fds[1];
}

// SIGTERM first: a JACK server stopped so leaves the system's table of servers.
Process::~Process() {
  if (stdin_ >= 0) ::close(stdin_);
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGTERM);
    if (!wait_exit(std::chrono::seconds(5))) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
}

void Process::send(const std::string& line) const {
  (void)!::write(stdin_, (line + "\n").data(), line.size() + 1);
}

void Process::signal(int sig) const {
  if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout) {
  for (const auto end = std::chrono::steady_clock::now() + timeout; !status_ && pid_ > 0;) {
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (status_ || std::chrono::steady_clock::now() >= end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

std::optional<std::vector<std::string>> Process::wait_output(const std::regex& pattern,
                                                             std::chrono::milliseconds timeout) {
  for (const auto end = std::chrono::steady_clock::now() + timeout;;) {
    const std::string text = out();
    std::smatch m;
    if (std::regex_search(text, m, pattern)) return std::vector<std::string>(m.begin(), m.end());
    if (std::chrono::steady_clock::now() >= end || wait_exit(std::chrono::milliseconds(0))) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace mvsdk::test
