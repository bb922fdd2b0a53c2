#include "support/local_service.h"

#include "support/seeded_weights.h"

#include <httplib.h>
#include <strings.h>

#include <fstream>

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
  process_ = std::make_unique<Process>(launch_argv(tool_path("mvsdk-service"), args), std::vector<std::string>{},
                                       dir_.path(), "service");
  // The first line is "listening on http://127.0.0.1:PORT"; give up after 20 s.
  const auto port = process_->wait_output(std::regex("^listening on http://127\\.0\\.0\\.1:([0-9]+)\n"),
                                          std::chrono::seconds(20));
  if (!port) {
    error_ = "mvsdk-service did not start: " + process_->out() + process_->err();
    return;
  }
  port_ = std::stoi((*port)[1]);
}

LocalService::~LocalService() = default;

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
