#include "net/mv_net_manager.h"

#include <utility>

#include "mvsdk/service_protocol.h"
#include "net/mv_net_request.h"

namespace mvsdk {

namespace {

// Sets the stored authorization for the login request and posts it; on failure the previous
// value is put back before on_failure runs.
void login_with(const std::string& token, std::function<void(const std::string&)> on_success,
                std::function<void(const Error&)> on_failure) {
  const std::string authorization = std::string(protocol::kAuthorizationMarker) + " " + token +
                                    std::string(protocol::kAccountSeparator) + MVNetRequest::readAccount();
  std::string previous = MVNetRequest::Authorization();
  MVNetRequest::setAuthorization(authorization);
  MVNetRequest::postRequestSecction(
      std::string(protocol::kLoginPath), nlohmann::json::object(),
      [authorization, on_success = std::move(on_success)](std::int32_t, const std::string&,
                                                          const nlohmann::json&) {
        on_success(authorization);
      },
      [previous = std::move(previous), on_failure = std::move(on_failure)](const Error& error) {
        MVNetRequest::setAuthorization(previous);
        on_failure(error);
      });
}

}  // namespace

MVNetManager& MVNetManager::sharedManager() {
  static MVNetManager manager;
  return manager;
}

MVNetManager::Config MVNetManager::engineConfig() const {
  std::lock_guard lock(mutex_);
  return config_;
}

void MVNetManager::setEngineConfig(Config config) {
  std::lock_guard lock(mutex_);
  config_ = std::move(config);
}

void MVNetManager::login(Completion completion) {
  const std::string token = engineConfig().token;
  if (token.empty()) {
    if (completion) completion(3);
    return;
  }
  login_with(
      token, [completion](const std::string&) { if (completion) completion(0); },
      [completion](const Error&) { if (completion) completion(2); });
}

void MVNetManager::prepare(Completion completion) {
  login([this, completion](std::int64_t code) {
    if (code == 0) {
      verifyVersion();
      downloadResources();
    }
    if (completion) completion(code);
  });
}

void MVNetManager::Login(const std::string& token, Completion completion) {
  if (token.empty()) {
    if (completion) completion(-1);
    return;
  }
  login_with(
      token,
      [completion](const std::string& authorization) {
        MVNetRequest::setAuthorization(authorization);
        if (completion) completion(0);
      },
      [completion](const Error& error) {
        if (completion) completion(error.code >= 400 && error.code <= 499 ? error.code : -1);
      });
}

}  // namespace mvsdk
