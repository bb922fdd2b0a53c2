#pragma once
// The local cloud service: the service calls under "/api/sdkra/", the files of a folder under
// "/files/", and a control interface under "/__control/" through which tests choose, per call,
// the form of the reply, forced failures and download behaviours.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace mvsdk::service {

// How one service call answers. Set through POST /__control/call.
struct CallBehaviour {
  // "plain" (JSON envelope), "array" (bare JSON array), "encrypted" (Base64 of AES-256-CBC with
  // the default key and a zero IV), "raw" (body as given) or "empty" (no body).
  std::string form = "plain";
  int status = 200;
  std::optional<nlohmann::json> code;     // envelope "code"; default 0
  std::optional<nlohmann::json> message;  // envelope "message"; default "success"
  std::optional<nlohmann::json> data;     // envelope "data"; default: the call's own data
  bool omit_data = false;                 // put the data's keys at the top level, no "data"
  std::string body;                       // for "raw"
  // For "encrypted": text around the JSON inside the plaintext, another key text, and a line
  // length at which the Base64 text is broken (0: one line).
  std::string stray_before;
  std::string stray_after;
  std::string key;
  int wrap = 0;
  // Spaces appended to the body (a JSON body stays valid): a reply of any size.
  std::size_t pad_bytes = 0;
  // "length" (Content-Length, the whole body), "chunked" (no Content-Length) or "cut" (the full
  // Content-Length announced, half the body sent, then the connection closed).
  std::string transfer = "length";
};

// How one file download answers. Set through POST /__control/file.
struct FileBehaviour {
  // "normal", "no_length" (no Content-Length), "throttle" (chunk_bytes every delay_ms),
  // "cut" (full Content-Length announced, half the body sent, then the connection closed),
  // "stall" (full Content-Length announced, the first stall_bytes sent, then nothing for stall_ms
  // before the connection is closed), "wrong_size" (the file with size_delta bytes removed from
  // its end, or zero bytes appended, under a Content-Length that matches what is sent), "404" or
  // "500" (that status and a short text body).
  std::string mode = "normal";
  std::size_t chunk_bytes = 4096;
  int delay_ms = 20;
  std::size_t stall_bytes = 1024;
  int stall_ms = 30000;
  long long size_delta = -4;
};

struct Options {
  std::filesystem::path root;
  std::optional<std::filesystem::path> catalogue;  // default: root/catalogue.json, else built
  int port = 0;
  std::string token;  // required in Authorization when non-empty
  std::optional<std::filesystem::path> log;
};

class Service {
 public:
  explicit Service(Options options);
  // Binds 127.0.0.1:port (0: the system picks); false on failure. Then port() is known.
  bool bind();
  int port() const { return port_; }
  std::string base_url() const;
  // Serves until stop(); returns when stopped.
  bool listen();
  void stop() {
    stopping_.store(true);
    server_.stop();
  }
  // Loads the catalogue (from JSON or the folder) and makes its references absolute. Needs the
  // port. Empty string on success, else the problem.
  std::string load_catalogue();

 private:
  void handle(const httplib::Request& req, httplib::Response& res);
  void handle_control(const httplib::Request& req, httplib::Response& res);
  void handle_call(const std::string& path, const nlohmann::json& default_data,
                   const httplib::Request& req, httplib::Response& res);
  void handle_file(const std::string& rel, httplib::Response& res);
  void log_request(const httplib::Request& req);
  std::string absolute_reference(const std::string& ref) const;

  Options options_;
  httplib::Server server_;
  int port_ = 0;
  std::mutex mutex_;  // guards everything below
  nlohmann::json catalogue_;
  std::string token_;
  std::map<std::string, CallBehaviour> calls_;
  std::map<std::string, FileBehaviour> files_;
  std::ofstream log_;
  std::atomic<bool> stopping_{false};  // ends stalled transfers
};

// Encrypts a reply as the service does: AES-CBC/PKCS#7 with the key text's UTF-8 bytes (16, 24
// or 32 of them) and a zero IV, then Base64. Empty on a bad key length.
std::string encrypt_reply(const std::string& plaintext, const std::string& key);

}  // namespace mvsdk::service
