#include "service.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "mvsdk/service_protocol.h"

namespace mvsdk::service {

namespace fs = std::filesystem;

namespace {

using protocol::kFilesPrefix;
constexpr const char* kControlPrefix = "/__control/";

std::string percent_encode_path(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '/') {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

bool is_absolute_url(const std::string& ref) {
  return ref.rfind("http://", 0) == 0 || ref.rfind("https://", 0) == 0;
}

// The catalogue of a folder without catalogue.json: every ".bin" file is a weight file (ids and
// bids 1, 2, 3, ... in name order), every other file a voice that uses all weight files.
nlohmann::json build_catalogue(const fs::path& root) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const auto rel = fs::relative(entry.path(), root);
    const std::string name = rel.filename().string();
    if (name == "catalogue.json" || name.starts_with(".")) continue;
    files.push_back(rel);
  }
  std::sort(files.begin(), files.end());
  nlohmann::json bins = nlohmann::json::array();
  nlohmann::json speakers = nlohmann::json::array();
  nlohmann::json bin_ids = nlohmann::json::array();
  for (const auto& rel : files) {
    if (rel.generic_string().find(".bin") == std::string::npos) continue;
    const auto id = static_cast<std::int64_t>(bins.size() + 1);
    bins.push_back({{"id", id},
                    {"bid", id},
                    {"size", static_cast<std::int64_t>(fs::file_size(root / rel))},
                    {"file", rel.generic_string()}});
    bin_ids.push_back(id);
  }
  for (const auto& rel : files) {
    if (rel.generic_string().find(".bin") != std::string::npos) continue;
    const auto id = static_cast<std::int64_t>(speakers.size() + 1);
    speakers.push_back({{"id", id},
                        {"speakerModelId", rel.stem().string()},
                        {"name", rel.stem().string()},
                        {"coverImage", ""},
                        {"speakerInfo", rel.generic_string()},
                        {"binFileIds", bin_ids}});
  }
  return {{"speakers", speakers}, {"binFiles", bins}};
}

CallBehaviour call_from_json(const nlohmann::json& j) {
  CallBehaviour b;
  b.form = j.value("form", b.form);
  b.status = j.value("status", b.status);
  if (j.contains("code")) b.code = j["code"];
  if (j.contains("message")) b.message = j["message"];
  if (j.contains("data")) b.data = j["data"];
  b.omit_data = j.value("omit_data", false);
  b.body = j.value("body", std::string());
  b.stray_before = j.value("stray_before", std::string());
  b.stray_after = j.value("stray_after", std::string());
  b.key = j.value("key", std::string());
  b.wrap = j.value("wrap", 0);
  b.pad_bytes = j.value("pad_bytes", std::size_t{0});
  b.transfer = j.value("transfer", b.transfer);
  return b;
}

}  // namespace

std::string encrypt_reply(const std::string& plaintext, const std::string& key) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                             : key.size() == 24 ? EVP_aes_192_cbc()
                             : key.size() == 32 ? EVP_aes_256_cbc()
                                                : nullptr;
  if (!cipher) return {};
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      &EVP_CIPHER_CTX_free);
  const unsigned char iv[16] = {};
  std::vector<unsigned char> out(plaintext.size() + 16);
  int n1 = 0;
  int n2 = 0;
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), cipher, nullptr,
                         reinterpret_cast<const unsigned char*>(key.data()), iv) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out.data(), &n1,
                        reinterpret_cast<const unsigned char*>(plaintext.data()),
                        static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), out.data() + n1, &n2) != 1) {
    return {};
  }
  const int n = n1 + n2;
  std::string b64(4 * ((static_cast<std::size_t>(n) + 2) / 3) + 1, '\0');
  const int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), out.data(), n);
  b64.resize(static_cast<std::size_t>(len));
  return b64;
}

Service::Service(Options options) : options_(std::move(options)), token_(options_.token) {
  if (options_.log) log_.open(*options_.log, std::ios::app);
  // One request per connection: a reply without Content-Length then ends as soon as it is sent
  // (not when an idle keep-alive connection times out, 5 s later), and stopping the service does
  // not wait out the keep-alive timeout of idle client connections either.
  server_.set_keep_alive_max_count(1);
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
  server_.Get(".*", handler);
  server_.Post(".*", handler);
  server_.Put(".*", handler);
  server_.Delete(".*", handler);
  // The kit posts without a body, and a client may then send no Content-Length at all; the
  // server library would refuse such a request, so it is answered here, before the body read.
  server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if ((req.method == "POST" || req.method == "PUT") && !req.has_header("Content-Length") &&
        !req.has_header("Transfer-Encoding")) {
      handle(req, res);
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
}

bool Service::bind() {
  if (options_.port == 0) {
    port_ = server_.bind_to_any_port("127.0.0.1");
    return port_ > 0;
  }
  port_ = options_.port;
  return server_.bind_to_port("127.0.0.1", options_.port);
}

bool Service::listen() { return server_.listen_after_bind(); }

std::string Service::base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string Service::absolute_reference(const std::string& ref) const {
  if (ref.empty() || is_absolute_url(ref)) return ref;
  return base_url() + std::string(kFilesPrefix) + percent_encode_path(ref);
}

std::string Service::load_catalogue() {
  nlohmann::json catalogue;
  const fs::path json_file = options_.catalogue.value_or(options_.root / "catalogue.json");
  try {
    if (fs::exists(json_file)) {
      std::ifstream in(json_file);
      catalogue = nlohmann::json::parse(in);
    } else {
      catalogue = build_catalogue(options_.root);
    }
  } catch (const std::exception& e) {
    return "cannot read the catalogue " + json_file.string() + ": " + e.what();
  }
  if (!catalogue.is_object()) return json_file.string() + " does not hold a JSON object";
  if (auto it = catalogue.find("speakers"); it != catalogue.end() && it->is_array()) {
    for (auto& s : *it) {
      if (s.is_object() && s.contains("speakerInfo") && s["speakerInfo"].is_string()) {
        s["speakerInfo"] = absolute_reference(s["speakerInfo"].get<std::string>());
      }
    }
  }
  if (auto it = catalogue.find("binFiles"); it != catalogue.end() && it->is_array()) {
    for (auto& b : *it) {
      if (b.is_object() && b.contains("file") && b["file"].is_string()) {
        b["file"] = absolute_reference(b["file"].get<std::string>());
      }
    }
  }
  std::lock_guard lock(mutex_);
  catalogue_ = std::move(catalogue);
  return {};
}

void Service::log_request(const httplib::Request& req) {
  if (req.path.starts_with(kControlPrefix)) return;
  nlohmann::json headers = nlohmann::json::array();
  for (const auto& [name, value] : req.headers) {
    // The server library records the socket's addresses among the headers; they were not sent.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT") {
      continue;
    }
    headers.push_back({name, value});
  }
  const auto q = req.target.find('?');
  const nlohmann::json line = {
      {"method", req.method},
      {"path", req.path},
      {"query", q == std::string::npos ? std::string() : req.target.substr(q + 1)},
      {"headers", headers},
      {"body", req.body},
  };
  std::lock_guard lock(mutex_);
  if (log_.is_open()) {
    // Written and flushed before the reply goes out, so a client that has its reply can read it.
    log_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    log_.flush();
  }
}

void Service::handle(const httplib::Request& req, httplib::Response& res) {
  log_request(req);
  if (req.path.starts_with(kControlPrefix)) {
    handle_control(req, res);
    return;
  }
  if (req.path.starts_with(kFilesPrefix)) {
    handle_file(req.path.substr(kFilesPrefix.size()), res);
    return;
  }
  if (req.path == protocol::kLoginPath && req.method == "POST") {
    handle_call(req.path, nlohmann::json::object(), req, res);
  } else if (req.path == protocol::kCheckVersionPath && req.method == "POST") {
    handle_call(req.path, {{"version", "2.0.0"}, {"latest", true}}, req, res);
  } else if (req.path == protocol::kSpeakerListPath && req.method == "GET") {
    nlohmann::json catalogue;
    {
      std::lock_guard lock(mutex_);
      catalogue = catalogue_;
    }
    handle_call(req.path, catalogue, req, res);
  } else {
    res.status = 404;
  }
}

void Service::handle_call(const std::string& path, const nlohmann::json& default_data,
                          const httplib::Request& req, httplib::Response& res) {
  CallBehaviour b;
  std::string token;
  {
    std::lock_guard lock(mutex_);
    if (auto it = calls_.find(path); it != calls_.end()) b = it->second;
    token = token_;
  }
  if (!token.empty()) {
    const std::string auth = req.get_header_value(std::string(protocol::kAuthorizationHeader));
    const std::string expected = std::string(protocol::kAuthorizationMarker) + " " + token +
                                 std::string(protocol::kAccountSeparator);
    if (!auth.starts_with(expected)) {
      res.status = 401;
      res.set_content(R"({"message":"Unauthorized"})", "application/json");
      return;
    }
  }
  res.status = b.status;
  const nlohmann::json data = b.data.value_or(default_data);
  nlohmann::json envelope;
  if (b.omit_data && data.is_object()) envelope = data;
  envelope["code"] = b.code.value_or(0);
  envelope["message"] = b.message.value_or("success");
  if (!b.omit_data) envelope["data"] = data;

  std::string body;
  std::string type = "application/json";
  if (b.form == "array") {
    body = (data.is_array() ? data : nlohmann::json::array({data})).dump();
  } else if (b.form == "encrypted") {
    const std::string key = b.key.empty() ? std::string(protocol::kKeyText) : b.key;
    std::string text = encrypt_reply(b.stray_before + envelope.dump() + b.stray_after, key);
    if (b.wrap > 0) {
      std::string wrapped;
      for (std::size_t i = 0; i < text.size(); i += static_cast<std::size_t>(b.wrap)) {
        if (i > 0) wrapped += "\r\n";
        wrapped += text.substr(i, static_cast<std::size_t>(b.wrap));
      }
      text = std::move(wrapped);
    }
    body = std::move(text);
    type = "text/plain";
  } else if (b.form == "raw") {
    body = b.body;
    type = "text/plain";
  } else if (b.form == "empty") {
    return;  // no body
  } else {
    body = envelope.dump();
  }
  body.append(b.pad_bytes, ' ');
  if (b.transfer == "length") {
    res.set_content(body, type.c_str());
    return;
  }
  auto shared = std::make_shared<const std::string>(std::move(body));
  if (b.transfer == "chunked") {
    res.set_chunked_content_provider(type.c_str(), [shared](std::size_t offset, httplib::DataSink& sink) {
      if (offset >= shared->size()) {
        sink.done();
        return true;
      }
      const std::size_t n = std::min<std::size_t>(65536, shared->size() - offset);
      return sink.write(shared->data() + offset, n);
    });
    return;
  }
  // "cut": the whole length announced, half of it sent, then the connection closed.
  res.set_content_provider(shared->size(), type.c_str(),
                           [shared](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                             const std::size_t limit = shared->size() / 2;
                             if (offset >= limit) return false;
                             return sink.write(shared->data() + offset, limit - offset);
                           });
}

void Service::handle_file(const std::string& rel, httplib::Response& res) {
  FileBehaviour b;
  {
    std::lock_guard lock(mutex_);
    if (auto it = files_.find(rel); it != files_.end()) b = it->second;
  }
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(options_.root, ec);
  const fs::path file = fs::weakly_canonical(options_.root / rel, ec);
  const auto [root_end, _] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
  if (b.mode == "404" || ec || root_end != root.end() || !fs::is_regular_file(file, ec)) {
    res.status = 404;
    return;
  }
  if (b.mode == "500") {
    res.status = 500;
    res.set_content("internal error", "text/plain");
    return;
  }
  std::size_t size = static_cast<std::size_t>(fs::file_size(file, ec));
  // "wrong_size": what is sent (and announced) differs from the file by size_delta bytes; the
  // bytes past the file's end are zeros.
  std::size_t file_bytes = size;
  if (b.mode == "wrong_size") {
    const auto delta = static_cast<long long>(b.size_delta);
    size = delta < 0 ? size - std::min(size, static_cast<std::size_t>(-delta)) : size + static_cast<std::size_t>(delta);
    file_bytes = std::min(file_bytes, size);
  }
  auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
  const std::size_t limit = b.mode == "cut" ? size / 2 : b.mode == "stall" ? std::min(size, b.stall_bytes) : size;
  const std::size_t chunk = b.mode == "throttle" ? std::max<std::size_t>(1, b.chunk_bytes) : 65536;
  const int delay_ms = b.mode == "throttle" ? b.delay_ms : 0;
  const bool stall = b.mode == "stall";
  const int stall_ms = b.stall_ms;
  std::atomic<bool>* stopping = &stopping_;

  auto send = [in, limit, chunk, delay_ms, file_bytes, stall, stall_ms, stopping](std::size_t offset,
                                                                                  httplib::DataSink& sink) {
    if (offset >= limit) {
      // "stall": nothing more for stall_ms (or until the service stops), then the connection closes.
      for (int waited = 0; stall && waited < stall_ms && !stopping->load(); waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      return false;  // "cut" and "stall": close the connection short of the length
    }
    if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    // Bytes past the file's end ("wrong_size" growing it) stay zero.
    std::vector<char> buf(std::min(chunk, limit - offset), 0);
    if (offset < file_bytes) {
      const std::size_t want = std::min(buf.size(), file_bytes - offset);
      in->seekg(static_cast<std::streamoff>(offset));
      in->read(buf.data(), static_cast<std::streamsize>(want));
      if (static_cast<std::size_t>(in->gcount()) != want) return false;
    }
    const std::size_t got = buf.size();
    return sink.write(buf.data(), got);
  };
  if (b.mode == "no_length") {
    res.set_content_provider("application/octet-stream",
                             [send, limit](std::size_t offset, httplib::DataSink& sink) {
                               if (offset >= limit) {
                                 sink.done();
                                 return true;
                               }
                               return send(offset, sink);
                             });
  } else {
    res.set_content_provider(size, "application/octet-stream",
                             [send](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               return send(offset, sink);
                             });
  }
}

void Service::handle_control(const httplib::Request& req, httplib::Response& res) {
  const std::string what = req.path.substr(std::string(kControlPrefix).size());
  if (what == "catalogue" && req.method == "GET") {
    std::lock_guard lock(mutex_);
    res.set_content(catalogue_.dump(), "application/json");
    return;
  }
  nlohmann::json body = nlohmann::json::parse(req.body.empty() ? "{}" : req.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    res.status = 400;
    res.set_content("control requests take a JSON object", "text/plain");
    return;
  }
  try {
    std::lock_guard lock(mutex_);
    if (what == "call") {
      calls_[body.at("path").get<std::string>()] = call_from_json(body);
    } else if (what == "file") {
      FileBehaviour b;
      b.mode = body.value("mode", b.mode);
      b.chunk_bytes = body.value("chunk_bytes", b.chunk_bytes);
      b.delay_ms = body.value("delay_ms", b.delay_ms);
      b.stall_bytes = body.value("stall_bytes", b.stall_bytes);
      b.stall_ms = body.value("stall_ms", b.stall_ms);
      b.size_delta = body.value("size_delta", b.size_delta);
      files_[body.at("name").get<std::string>()] = b;
    } else if (what == "token") {
      token_ = body.value("token", std::string());
    } else if (what == "reset") {
      calls_.clear();
      files_.clear();
      token_ = options_.token;
    } else {
      res.status = 404;
      return;
    }
  } catch (const nlohmann::json::exception& e) {
    res.status = 400;
    res.set_content(e.what(), "text/plain");
    return;
  }
  res.set_content("{}", "application/json");
}

}  // namespace mvsdk::service
