// The device account text that identifies this installation to the service, and the login
// authorization built from the client token and that account.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>

#include "mvsdk/service_protocol.h"
#include "net/mv_net_request.h"
#include "platform/settings.h"

namespace mvsdk {

namespace {

constexpr const char* kAccountKey = "MVNetRequest_Account";

// Uniform in [10000000, 99999998]: eight digits.
int draw_account_suffix() {
  static std::mutex mutex;
  static std::mt19937 engine{std::random_device{}()};
  std::lock_guard lock(mutex);
  return std::uniform_int_distribution<int>(10000000, 99999998)(engine);
}

}  // namespace

void MVNetRequest::saveAccount() {
  const int suffix = draw_account_suffix();
  const double seconds =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  char text[64];
  std::snprintf(text, sizeof text, "%.0f%d", seconds, suffix);
  // The store writes through to its file atomically; a failed write keeps the value in memory
  // for this process (and logs a line), so the login still has an account.
  platform::SettingsStore::shared().set(kAccountKey, std::string(text));
}

std::optional<std::string> MVNetRequest::getAccount() {
  return platform::SettingsStore::shared().get_string(kAccountKey);
}

std::string MVNetRequest::readAccount() {
  if (auto account = getAccount(); account && !account->empty()) return *account;
  saveAccount();
  return getAccount().value_or("");
}

std::optional<std::string> MVNetRequest::buildLoginAuthorizationWithToken(const std::string& token) {
  if (token.empty()) return std::nullopt;
  return std::string(protocol::kAuthorizationMarker) + " " + token + std::string(protocol::kAccountSeparator) +
         readAccount();
}

std::optional<std::string> MVNetRequest::processAuthorization(const std::string& tokenOrAuthorization) {
  if (tokenOrAuthorization.empty()) return std::nullopt;
  if (tokenOrAuthorization.find(protocol::kAuthorizationMarker) != std::string::npos) {
    return tokenOrAuthorization;
  }
  return buildLoginAuthorizationWithToken(tokenOrAuthorization);
}

}  // namespace mvsdk
