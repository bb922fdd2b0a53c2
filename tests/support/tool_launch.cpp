#include "support/tool_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

extern char** environ;

#ifndef MVSDK_TEST_EMULATOR
#define MVSDK_TEST_EMULATOR ""
#endif

namespace mvsdk::test {

std::string tool_path(const std::string& name) { return std::string(MVSDK_BINARY_DIR) + "/tools/" + name; }

std::vector<std::string> launch_argv(const std::string& executable, const std::vector<std::string>& args) {
  std::vector<std::string> argv;  // the emulator's words first (none when native)
  std::istringstream emulator(MVSDK_TEST_EMULATOR);
  for (std::string word; emulator >> word;) argv.push_back(word);
  argv.push_back(executable);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<std::string> home_env(const std::filesystem::path& home) {
  return {"HOME=" + home.string(), "XDG_DATA_HOME=" + (home / "data").string(),
          "XDG_CACHE_HOME=" + (home / "cache").string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
          "OPENBLAS_NUM_THREADS=1"};
}

ToolOutput run_tool_in_home(const std::string& name, const std::vector<std::string>& args,
                            const std::filesystem::path& home) {
  ToolOutput r;
  {
    Process tool(launch_argv(tool_path(name), args), home_env(home), home, name);
    tool.close_input();
    r.status = tool.wait_exit(std::chrono::minutes(10)).value_or(-1);
    r.out = tool.out();
    r.err = tool.err();
  }
  std::error_code ec;
  std::filesystem::remove(home / (name + ".out"), ec);
  std::filesystem::remove(home / (name + ".err"), ec);
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

void Process::close_input() {
  if (stdin_ >= 0) ::close(std::exchange(stdin_, -1));
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
