#include "net/mv_net_request.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "mvsdk/service_protocol.h"
#include "net/json_text.h"
#include "net/mv_aes_decryptor.h"
#include "net/reply.h"
#include "net/url_encoding.h"
#include "platform/crypto.h"
#include "platform/dispatch.h"

namespace mvsdk {

namespace {

struct Settings {
  std::mutex mutex;
  std::optional<std::string> base_url;
  std::optional<std::string> version;
  std::string authorization;
  std::string token;
  bool logging = false;
};

Settings& settings() {
  static Settings s;
  return s;
}

// Progress callbacks of requests in flight, keyed by the request's id in decimal. Reached from
// the main queue (ticks) and from the HTTP worker (completion), hence the mutex.
struct ProgressRegistry {
  std::mutex mutex;
  std::map<std::string, MVNetRequest::ProgressBlock> blocks;
};

ProgressRegistry& registry() {
  static ProgressRegistry r;
  return r;
}

std::atomic<std::uint64_t> g_next_task_id{1};

// What a progress tick knows of its request. The HTTP layer reports no byte counts while a data
// request runs, so expected stays unknown (-1) and ticks post nothing until it provides them.
struct TaskProgress {
  std::atomic<bool> finished{false};
  std::atomic<std::int64_t> received{0};
  std::atomic<std::int64_t> expected{-1};
};

constexpr std::chrono::milliseconds kProgressPeriod{100};

void schedule_progress_tick(std::string key, std::weak_ptr<TaskProgress> weak) {
  platform::after(kProgressPeriod, platform::main_queue(), [key = std::move(key), weak]() {
    const auto state = weak.lock();
    if (!state || state->finished.load()) {
      std::lock_guard lock(registry().mutex);
      registry().blocks.erase(key);
      return;
    }
    const std::int64_t expected = state->expected.load();
    if (expected > 0) {
      double fraction = static_cast<double>(state->received.load()) / static_cast<double>(expected);
      fraction = fraction < 0.0 ? 0.0 : (fraction > 1.0 ? 1.0 : fraction);
      MVNetRequest::ProgressBlock block;
      {
        std::lock_guard lock(registry().mutex);
        const auto it = registry().blocks.find(key);
        if (it != registry().blocks.end()) block = it->second;
      }
      if (block) platform::main_queue().async([block, fraction] { block(fraction); });
    }
    schedule_progress_tick(key, weak);
  });
}

bool has_forbidden_char(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void post_failure(const MVNetRequest::FailureBlock& failure, Error error) {
  if (!failure) return;
  platform::main_queue().async([failure, error = std::move(error)] { failure(error); });
}

std::string user_agent() {
  return std::string(protocol::kUserAgentPrefix) + MVNetRequest::kMorvoxVersion() +
         std::string(protocol::kUserAgentSuffix);
}

// Builds the URL of a service path; reports an invalid one synchronously. nullopt when invalid.
std::optional<std::string> service_url(const std::string& path, const std::optional<std::string>& query,
                                       const MVNetRequest::FailureBlock& failure) {
  std::string text = MVNetRequest::baseUrl() + path;
  if (query && !query->empty()) text += "?" + *query;
  std::string url = net::urlEncoded(text);
  if (url.empty() || !net::is_requestable_url(url)) {
    if (failure) failure(Error{net::kNetErrorDomain, net::kErrorInvalidURL, "无效的URL"});
    return std::nullopt;
  }
  return url;
}

}  // namespace

// --- settings ---

std::string MVNetRequest::baseUrl() {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  if (!s.base_url) s.base_url = kDefaultBaseUrl;
  return *s.base_url;
}

void MVNetRequest::setBaseUrl(std::string url) {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  s.base_url = std::move(url);
}

std::string MVNetRequest::kMorvoxVersion() {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  if (!s.version) s.version = kDefaultVersion;
  return *s.version;
}

void MVNetRequest::setKMorvoxVersion(std::string version) {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  s.version = std::move(version);
}

std::string MVNetRequest::Authorization() {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  return s.authorization;
}

void MVNetRequest::setAuthorization(std::string value) {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  platform::secure_wipe(s.authorization);
  s.authorization = std::move(value);
}

std::string MVNetRequest::getToken() {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  return s.token;
}

void MVNetRequest::setToken(std::string token) {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  platform::secure_wipe(s.token);
  s.token = std::move(token);
}

bool MVNetRequest::enableLogging() {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  return s.logging;
}

void MVNetRequest::setEnableLogging(bool enabled) {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  s.logging = enabled;
}

// --- building ---

std::optional<std::string> MVNetRequest::getParameters(const nlohmann::json& params) {
  if (!params.is_object() || params.empty()) return std::nullopt;
  std::string query;
  for (auto it = params.begin(); it != params.end(); ++it) {
    if (!query.empty()) query += '&';
    query += it.key();
    query += '=';
    query += net::json_value_description(it.value());
  }
  return query;
}

std::optional<std::string> MVNetRequest::getBodyParameters(const nlohmann::json& params) {
  if (!params.is_object() || params.empty()) return std::nullopt;
  try {
    return params.dump();  // strict: invalid UTF-8 in a string cannot be serialised
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

void MVNetRequest::addCommonHeadersToRequest(Request& request, bool skipAuthorization) {
  if (!skipAuthorization) {
    std::string authorization = Authorization();
    if (!authorization.empty()) {
      request.headers.push_back({std::string(protocol::kAuthorizationHeader), std::move(authorization)});
    }
  }
  request.headers.push_back({std::string(protocol::kUserAgentHeader), user_agent()});
}

void MVNetRequest::getRequestSecction(const std::string& path, const nlohmann::json& params,
                                      SuccessBlock success, FailureBlock failure) {
  auto url = service_url(path, getParameters(params), failure);
  if (!url) return;
  Request request;
  request.method = "GET";
  request.url = std::move(*url);
  request.timeout = kRequestTimeout;
  addCommonHeadersToRequest(request);
  executeRequest(std::move(request), nullptr, std::move(success), std::move(failure));
}

void MVNetRequest::postRequestSecction(const std::string& path, const nlohmann::json& params,
                                       SuccessBlock success, FailureBlock failure) {
  auto url = service_url(path, std::nullopt, failure);
  if (!url) return;
  Request request;
  request.method = "POST";
  request.url = std::move(*url);
  request.timeout = kRequestTimeout;

  std::string login_authorization;
  const std::string token = getToken();
  if (path == protocol::kLoginPath && !token.empty()) {
    login_authorization = processAuthorization(token).value_or("");
    request.headers.push_back({std::string(protocol::kAuthorizationHeader), login_authorization});
    request.headers.push_back({std::string(protocol::kUserAgentHeader), user_agent()});
  } else {
    addCommonHeadersToRequest(request);
  }
  request.headers.push_back({std::string(protocol::kContentTypeHeader), std::string(protocol::kJsonContentType)});
  if (auto body = getBodyParameters(params); body && !body->empty()) request.body = std::move(*body);

  if (!login_authorization.empty()) {
    // Only a successful login stores its authorization; a failure leaves the stored one alone.
    success = [login_authorization, inner = std::move(success)](
                  std::int32_t code, const std::string& message, const nlohmann::json& data) {
      setAuthorization(login_authorization);
      if (inner) inner(code, message, data);
    };
  }
  executeRequest(std::move(request), nullptr, std::move(success), std::move(failure));
}

// --- sending ---

void MVNetRequest::executeRequest(Request request, ProgressBlock progress, SuccessBlock success,
                                  FailureBlock failure) {
  for (const auto& header : request.headers) {
    if (has_forbidden_char(header.name) || has_forbidden_char(header.value)) {
      post_failure(failure, Error{net::kNetErrorDomain, net::kErrorInvalidHeader,
                                  "Header \"" + net::urlEncoded(header.name) +
                                      "\" holds a line break or NUL character; request not sent"});
      return;
    }
  }
  if (request.max_body_bytes == 0 || request.max_body_bytes > kMaxReplyBytes) {
    request.max_body_bytes = kMaxReplyBytes;
  }

  std::shared_ptr<TaskProgress> state;
  std::string key;
  if (progress) {
    key = std::to_string(g_next_task_id.fetch_add(1));
    state = std::make_shared<TaskProgress>();
    {
      std::lock_guard lock(registry().mutex);
      registry().blocks[key] = std::move(progress);
    }
    schedule_progress_tick(key, state);
  }

  platform::http_send(
      std::move(request),
      [state, key, success = std::move(success), failure = std::move(failure)](
          std::optional<platform::HttpResponse> response, std::optional<Error> error) {
        if (state) {
          // The tick notices this on the main queue and stops; the entry goes now.
          platform::main_queue().async([state] { state->finished.store(true); });
          std::lock_guard lock(registry().mutex);
          registry().blocks.erase(key);
        }
        if (error) {
          post_failure(failure, std::move(*error));
          return;
        }
        if (!response) {
          post_failure(failure,
                       Error{net::kNetErrorDomain, net::kErrorInvalidResponse, "无效的HTTP响应"});
          return;
        }
        net::ReplyOutcome outcome = net::normalize_reply(response->status, response->body);
        platform::secure_wipe(response->body.data(), response->body.size());
        if (!outcome.ok) {
          post_failure(failure, std::move(outcome.error));
          return;
        }
        if (!success) return;
        platform::main_queue().async(
            [success, message = std::move(outcome.message), data = std::move(outcome.data)] {
              success(0, message, data);
            });
      });
}

std::size_t MVNetRequest::pendingProgressCount() {
  std::lock_guard lock(registry().mutex);
  return registry().blocks.size();
}

// --- log layout ---

namespace {
constexpr const char* kIndent = "     ";
constexpr const char* kEmpty = "     (empty)";
}  // namespace

std::string MVNetRequest::formatHeaders(const std::vector<platform::HttpHeader>& headers) {
  if (headers.empty()) return kEmpty;
  std::string out = std::string(kIndent) + "[";
  for (std::size_t i = 0; i < headers.size(); ++i) {
    if (i > 0) out += ", ";
    out += "\"" + headers[i].name + "\": \"" + headers[i].value + "\"";
  }
  return out + "]";
}

std::string MVNetRequest::formatJSONString(std::optional<std::string_view> text) {
  if (!text || text->empty()) return kEmpty;
  if (net::is_valid_utf8(*text)) {
    if (auto value = net::parse_json_container(*text)) return formatJSONObject(*value);
  }
  return std::string(kIndent) + std::string(*text);
}

std::string MVNetRequest::formatJSONObject(const nlohmann::json& value) {
  if (value.is_null()) return kEmpty;
  std::string pretty;
  try {
    pretty = value.dump(2);
  } catch (const nlohmann::json::exception&) {
    return std::string(kIndent) + net::json_value_description(value);
  }
  std::string out;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = pretty.find('\n', start);
    out += kIndent;
    out.append(pretty, start, end == std::string::npos ? std::string::npos : end - start);
    if (end == std::string::npos) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

// --- decryption helpers ---

std::optional<std::string> MVNetRequest::extractJSONFromDecryptedString(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return net::extract_json_fragment(text);
}

std::optional<std::vector<std::uint8_t>> MVNetRequest::aesDecryptData(
    std::span<const std::uint8_t> ciphertext, std::string_view key, std::string_view iv) {
  constexpr std::size_t kAes128Bytes = 16;
  if (key.size() != kAes128Bytes || iv.size() != kAes128Bytes) return std::nullopt;
  const auto* k = reinterpret_cast<const std::uint8_t*>(key.data());
  const auto* v = reinterpret_cast<const std::uint8_t*>(iv.data());
  return platform::aes_cbc_decrypt({k, kAes128Bytes}, {v, kAes128Bytes}, ciphertext);
}

}  // namespace mvsdk
