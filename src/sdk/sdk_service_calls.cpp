// MVSDKManager: the three service calls of the preparation. Each sends an empty parameter object
// (no query, no body) through MVNetRequest, whose callbacks run on the main queue; the request
// layer decides the headers (the login branch sends the authorization built from the token and
// stores it on success).
#include <utility>

#include "mvsdk/service_protocol.h"
#include "net/mv_net_request.h"
#include "sdk/sdk_manager_impl.h"

namespace mvsdk {

namespace {

MVNetRequest::FailureBlock failure_to(ServiceCompletion completion) {
  return [completion = std::move(completion)](const Error& error) {
    if (completion) completion(kCodeRequestFailed, error.description);
  };
}

}  // namespace

void MVSDKManager::Impl::login(ServiceCompletion completion) {
  MVNetRequest::postRequestSecction(
      std::string(protocol::kLoginPath), nlohmann::json::object(),
      [completion](std::int32_t, const std::string& message, const nlohmann::json&) {
        if (completion) completion(kCodeSuccess, message);
      },
      failure_to(completion));
}

void MVSDKManager::Impl::checkVersion(ServiceCompletion completion) {
  MVNetRequest::postRequestSecction(
      std::string(protocol::kCheckVersionPath), nlohmann::json::object(),
      [completion](std::int32_t, const std::string& message, const nlohmann::json&) {
        if (completion) completion(kCodeSuccess, message);
      },
      failure_to(completion));
}

void MVSDKManager::Impl::getSpeakerList(ServiceCompletion completion) {
  std::weak_ptr<Impl> weak = weak_from_this();
  MVNetRequest::getRequestSecction(
      std::string(protocol::kSpeakerListPath), nlohmann::json::object(),
      [weak, completion](std::int32_t, const std::string& message, const nlohmann::json& data) {
        // The request layer hands over the reply's "data", or the whole reply when it has none:
        // either way the catalogue is read from it.
        auto model = std::make_shared<MVRtvcSpeakerListModel>(MVRtvcSpeakerListModel::transferModel(data));
        if (auto self = weak.lock()) self->setSpeakerListModel(std::move(model));
        if (completion) completion(kCodeSuccess, message);
      },
      failure_to(completion));
}

}  // namespace mvsdk
