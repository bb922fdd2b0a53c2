#pragma once
// MVNetRequest: the single gateway to the cloud service. It has no instances; its settings are
// process-wide and every operation is a static member.
//
// Requests are sent through platform::http_send; every success and failure callback runs on the
// main queue (platform::main_queue()), never on the calling thread, except the invalid-URL
// failure of getRequestSecction / postRequestSecction, which runs synchronously on the calling
// thread before the call returns. There is no cancellation and no request handle.
//
// Settings may be read and written from any thread (a mutex guards them); a change applies to
// requests built afterwards.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/error.h"
#include "platform/http.h"

namespace mvsdk {

class MVNetRequest {
 public:
  // (code, message, data): code is always 0, message never empty, data never null.
  using SuccessBlock =
      std::function<void(std::int32_t code, const std::string& message, const nlohmann::json& data)>;
  // Domain "MVNetRequestErrorDomain" for errors made here; transport errors keep the HTTP
  // layer's domain and code.
  using FailureBlock = std::function<void(const Error& error)>;
  // Fraction in [0, 1].
  using ProgressBlock = std::function<void(double fraction)>;
  using Request = platform::HttpRequest;

  // Default service base URL: a placeholder that names no real host. Deployments and tools set
  // the real one with setBaseUrl() (the tools take --service URL).
  static constexpr const char* kDefaultBaseUrl = "https://service.invalid";
  static constexpr const char* kDefaultVersion = "2.0.0";
  static constexpr std::chrono::seconds kRequestTimeout{30};
  // Largest reply body accepted; a larger one fails the request instead of filling memory.
  static constexpr std::size_t kMaxReplyBytes = 32u << 20;

  // --- process-wide settings ---
  static std::string baseUrl();
  static void setBaseUrl(std::string url);
  static std::string kMorvoxVersion();
  static void setKMorvoxVersion(std::string version);
  // The stored authorization sent on every request but the login; "" when unset.
  static std::string Authorization();
  static void setAuthorization(std::string value);  // "" clears
  static std::string getToken();
  static void setToken(std::string token);  // "" clears
  static bool enableLogging();
  static void setEnableLogging(bool enabled);  // stored; no request path consults it

  // --- requests ---
  // GET baseUrl + path [+ "?" + query]. params may be null (as an empty object).
  static void getRequestSecction(const std::string& path, const nlohmann::json& params,
                                 SuccessBlock success, FailureBlock failure);
  // POST baseUrl + path with the JSON body of params (no body when params is empty or null).
  // The login path with a non-empty client token sends processAuthorization(token) instead of
  // the stored authorization, and stores it on success before success runs.
  static void postRequestSecction(const std::string& path, const nlohmann::json& params,
                                  SuccessBlock success, FailureBlock failure);
  // Appends Authorization (the stored value, when non-empty and not skipped) and User-Agent.
  static void addCommonHeadersToRequest(Request& request, bool skipAuthorization = false);
  // "k=v&k=v" in the object's own order, values in text form, unescaped; nullopt for null or {}.
  static std::optional<std::string> getParameters(const nlohmann::json& params);
  // Compact JSON text; nullopt for null, {} or a value that cannot be serialised.
  static std::optional<std::string> getBodyParameters(const nlohmann::json& params);
  // Sends one request and normalises its reply. A header value holding CR, LF or NUL fails the
  // request (kErrorInvalidHeader, on the main queue) and nothing is sent. progress may be empty.
  static void executeRequest(Request request, ProgressBlock progress, SuccessBlock success,
                             FailureBlock failure);

  // --- log layout: each returns one block indented by five spaces ---
  static std::string formatHeaders(const std::vector<platform::HttpHeader>& headers);
  static std::string formatJSONString(std::optional<std::string_view> text);
  static std::string formatJSONObject(const nlohmann::json& value);  // null: "(empty)"

  // --- decryption helpers ---
  // The JSON fragment of a decrypted text; nullopt for "".
  static std::optional<std::string> extractJSONFromDecryptedString(std::string_view text);
  // Strict AES-128-CBC: key and IV must both be exactly 16 UTF-8 bytes; nullopt otherwise or
  // when decryption fails.
  static std::optional<std::vector<std::uint8_t>> aesDecryptData(
      std::span<const std::uint8_t> ciphertext, std::string_view key, std::string_view iv);

  // --- device account and login authorization (settings key "MVNetRequest_Account") ---
  // Makes a new account text ("%.0f%d": seconds since 1970, then 10000000..99999998) and
  // persists it, replacing any stored one.
  static void saveAccount();
  // The persisted account text, or nullopt.
  static std::optional<std::string> getAccount();
  // The account text; made and persisted first when none (or an empty one) is stored.
  static std::string readAccount();
  // "MorvoxClient <token>,avc=<account>"; nullopt for an empty token.
  static std::optional<std::string> buildLoginAuthorizationWithToken(const std::string& token);
  // nullopt for ""; a text containing "MorvoxClient" unchanged; else built from it as a token.
  static std::optional<std::string> processAuthorization(const std::string& tokenOrAuthorization);

  // Number of requests with a progress callback still in flight (for diagnostics and tests).
  static std::size_t pendingProgressCount();

  MVNetRequest() = delete;
};

}  // namespace mvsdk
