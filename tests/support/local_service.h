#pragma once
// Launches the mvsdk-service tool from the build tree for a test: on 127.0.0.1, port chosen by
// the system, stopped (SIGTERM, then SIGKILL) by the destructor. Switches are passed through the
// service's control interface ("/__control/...").
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/tool_launch.h"

namespace mvsdk::test {

// A fresh directory under the system temp directory, removed with its contents by the destructor.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "mvsdk-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes a small service folder into dir: three weight files ("am.bin", "bn.bin", "voc.bin" with
// bids 1, 2, 3 and ids 11, 12, 13, of bin_bytes each, filled from a seed), two style files
// ("voices/alice.txt", "voices/bob.txt") and a catalogue.json in the layout mvsdk-models writes.
void write_sample_service_folder(const std::filesystem::path& dir, std::size_t bin_bytes = 4096);

class LocalService {
 public:
  // Starts mvsdk-service --root root [--token token] --log <temp>/requests.jsonl [extra...].
  // Check ok() (and error()) before use.
  explicit LocalService(const std::filesystem::path& root, const std::string& token = "",
                        const std::vector<std::string>& extra_args = {});
  ~LocalService();
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  bool ok() const { return port_ > 0; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // "http://127.0.0.1:PORT"
  std::string url() const;

  // POST /__control/call: behaviour of one service call, e.g.
  // {"path": "/api/sdkra/login", "form": "encrypted", "status": 500, "code": 7, "message": "no"};
  // "pad_bytes" and "transfer" ("length", "chunked", "cut") shape the reply's size and delivery.
  bool set_call(const nlohmann::json& behaviour);
  // POST /__control/file: {"name": "am.bin", "mode": "cut" | "no_length" | "throttle" | "stall" |
  // "wrong_size" | "404" | "500", ...} (the fields of mvsdk::service::FileBehaviour).
  bool set_file(const nlohmann::json& behaviour);
  // The token the service requires in Authorization ("" none).
  bool set_token(const std::string& token);
  // Back to plain replies, normal files and the start-up token.
  bool reset();
  // The catalogue as served (absolute references).
  nlohmann::json catalogue();

  // The request log: one object per request (method, path, query, headers as [name, value]
  // pairs, body), oldest first.
  std::vector<nlohmann::json> requests() const;
  void clear_requests() const;

 private:
  bool control(const std::string& what, const nlohmann::json& body);

  int port_ = -1;
  std::string error_;
  TempDir dir_{"mvsdk-service-log"};
  std::filesystem::path log_;
  std::unique_ptr<Process> process_;  // destroyed (the service stopped) before its folder
};

// The values of header name (case-insensitive) in one logged request.
std::vector<std::string> header_values(const nlohmann::json& request, const std::string& name);

}  // namespace mvsdk::test
