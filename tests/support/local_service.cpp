#include "support/local_service.h"

#include "support/seeded_weights.h"
#include "support/tool_launch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <strings.h>

extern char** environ;

namespace mvsdk::test {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

void write_sample_service_folder(const fs::path& dir, std::size_t bin_bytes) {
  fs::create_directories(dir / "voices");
  SeededFloats rng(1234);
  const char* bins[] = {"am.bin", "bn.bin", "voc.bin"};
  nlohmann::json bin_files = nlohmann::json::array();
  for (int i = 0; i < 3; ++i) {
    std::string bytes(bin_bytes, '\0');
    for (auto& c : bytes) c = static_cast<char>(rng.next(128.0f));
    std::ofstream(dir / bins[i], std::ios::binary) << bytes;
    bin_files.push_back({{"id", 11 + i}, {"bid", 1 + i}, {"size", bin_bytes}, {"file", bins[i]}});
  }
  std::ofstream(dir / "voices/alice.txt") << "alice style";
  std::ofstream(dir / "voices/bob.txt") << "bob style";
  const nlohmann::json catalogue = {
      {"speakers",
       {{{"id", 1}, {"name", "Alice"}, {"speakerInfo", "voices/alice.txt"}, {"binFileIds", {11, 12, 13}}},
        {{"id", 2}, {"name", "Bob"}, {"speakerInfo", "voices/bob.txt"}, {"binFileIds", {11, 12, 13}}}}},
      {"binFiles", bin_files}};
  std::ofstream(dir / "catalogue.json") << catalogue.dump(2);
}

LocalService::LocalService(const fs::path& root, const std::string& token,
                           const std::vector<std::string>& extra_args) {
  log_ = dir_.path() / "requests.jsonl";
  std::vector<std::string> args = {"--root", root.string(), "--log", log_.string()};
  if (!token.empty()) {
    args.push_back("--token");
    args.push_back(token);
  }
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  args = launch_argv(tool_path("mvsdk-service"), args);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    pid_ = -1;
    ::close(fds[0]);
    error_ = std::string("cannot start ") + argv[0];
    return;
  }
  // The first line is "listening on http://127.0.0.1:PORT"; give up after 20 s.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  const std::string prefix = "listening on http://127.0.0.1:";
  if (line.rfind(prefix, 0) != 0) {
    error_ = "mvsdk-service did not start: " + line;
    return;
  }
  port_ = std::atoi(line.c_str() + prefix.size());
}

LocalService::~LocalService() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
    ::usleep(50 * 1000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

std::string LocalService::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

bool LocalService::control(const std::string& what, const nlohmann::json& body) {
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(5);
  client.set_read_timeout(10);
  const auto res = client.Post(("/__control/" + what).c_str(), body.dump(), "application/json");
  return res && res->status == 200;
}

bool LocalService::set_call(const nlohmann::json& behaviour) { return control("call", behaviour); }
bool LocalService::set_file(const nlohmann::json& behaviour) { return control("file", behaviour); }
bool LocalService::set_token(const std::string& token) { return control("token", {{"token", token}}); }
bool LocalService::reset() { return control("reset", nlohmann::json::object()); }

nlohmann::json LocalService::catalogue() {
  httplib::Client client("127.0.0.1", port_);
  client.set_read_timeout(10);
  const auto res = client.Get("/__control/catalogue");
  if (!res || res->status != 200) return nullptr;
  return nlohmann::json::parse(res->body, nullptr, false);
}

std::vector<nlohmann::json> LocalService::requests() const {
  std::vector<nlohmann::json> out;
  std::ifstream in(log_);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) out.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  return out;
}

void LocalService::clear_requests() const {
  // The service appends (O_APPEND), so truncating here is safe while it runs.
  std::ofstream(log_, std::ios::trunc);
}

std::vector<std::string> header_values(const nlohmann::json& request, const std::string& name) {
  std::vector<std::string> values;
  if (!request.contains("headers")) return values;
  for (const auto& h : request["headers"]) {
    if (h.is_array() && h.size() == 2 && ::strcasecmp(h[0].get<std::string>().c_str(), name.c_str()) == 0) {
      values.push_back(h[1].get<std::string>());
    }
  }
  return values;
}

}  // namespace mvsdk::test
