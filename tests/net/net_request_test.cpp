// MVNetRequest, the device account and MVNetManager against the local service (mvsdk-service),
// which the suite starts on 127.0.0.1 and stops. Reply forms and text rules are reply_test's.
#include "net/mv_net_request.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "net/mv_net_manager.h"
#include "net/reply.h"
#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/settings.h"
#include "support/local_service.h"

namespace mvsdk {
namespace {

using nlohmann::json;
using test::header_values;
using test::TempDir;
using Strings = std::vector<std::string>;

// The settings store is resolved on first use: point it at a private directory before any test.
const bool g_config_set = [] {
  static TempDir dir("mvsdk-net-config");
  ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  return true;
}();

constexpr auto kWait = std::chrono::seconds(30);
// The wire texts spelled out here, not taken from mvsdk/service_protocol.h: these tests pin what
// the client puts on the wire, so a slip in the shared header cannot pass unnoticed.
constexpr const char* kUserAgent = "morvox:sdkra/v2.0.0;os:ios";
constexpr const char* kLogin = "/api/sdkra/login";
constexpr const char* kCheckVersion = "/api/sdkra/checkVersion";
constexpr const char* kSpeakerList = "/api/sdkra/getSpeakerList";

struct Outcome {
  bool success = false;
  std::string message;
  json data;
  Error error;
  bool on_main_queue = false;
  std::string authorization_at_success;  // the stored authorization when success ran
};

std::pair<std::string, std::int64_t> code_of(const Error& e) { return {e.domain, e.code}; }

// Sends one request (POST unless path is the speaker list) and waits for its single callback.
Outcome send(const std::string& path, const json& params = json::object()) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  auto success = [promise](std::int32_t, const std::string& message, const json& data) {
    promise->set_value({true, message, data, {}, platform::main_queue().is_current(),
                        MVNetRequest::Authorization()});
  };
  auto failure = [promise](const Error& error) {
    promise->set_value({false, "", nullptr, error, platform::main_queue().is_current(), ""});
  };
  if (path == kSpeakerList || path.starts_with("/files/"))
    MVNetRequest::getRequestSecction(path, params, success, failure);
  else
    MVNetRequest::postRequestSecction(path, params, success, failure);
  if (future.wait_for(kWait) != std::future_status::ready) {
    ADD_FAILURE() << "no callback within the wait limit";
    return {};
  }
  return future.get();
}

class NetRequestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new TempDir("mvsdk-net-root");
    test::write_sample_service_folder(root_->path());
    service_ = new test::LocalService(root_->path());
  }
  static void TearDownTestSuite() {
    delete service_;
    delete root_;
  }
  void SetUp() override {
    ASSERT_TRUE(service_->ok()) << service_->error();
    ASSERT_TRUE(service_->reset());
    service_->clear_requests();
    MVNetRequest::setBaseUrl(service_->url());
    MVNetRequest::setToken("");
    MVNetRequest::setAuthorization("");
  }
  // The one request the service saw since the last clear, which this clears.
  static json only_request() {
    const auto requests = service_->requests();
    service_->clear_requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? json::object() : requests.back();
  }

  static inline TempDir* root_ = nullptr;
  static inline test::LocalService* service_ = nullptr;
};

TEST_F(NetRequestTest, CommonHeadersQueryAndBody) {
  auto o = send(kSpeakerList, {{"a", "x y"}, {"b", 5}});
  ASSERT_TRUE(o.success) << o.error.description;
  EXPECT_EQ(o.data, service_->catalogue());
  auto r = only_request();
  EXPECT_EQ(json::array({r["method"], r["query"], r["body"]}), json::array({"GET", "a=x%20y&b=5", ""}));
  for (const char* absent : {"Authorization", "Content-Type", "Accept"})
    EXPECT_TRUE(header_values(r, absent).empty()) << absent;
  EXPECT_EQ(header_values(r, "User-Agent"), Strings{kUserAgent});

  ASSERT_TRUE(send(kCheckVersion, {{"k", 1}, {"s", "v"}}).success);
  r = only_request();
  EXPECT_EQ(json::array({r["method"], r["query"], r["body"]}), json::array({"POST", "", R"({"k":1,"s":"v"})"}));
  EXPECT_TRUE(header_values(r, "Authorization").empty());
  EXPECT_EQ(header_values(r, "Content-Type"), Strings{"application/json"});

  // The version set travels in the User-Agent.
  MVNetRequest::setKMorvoxVersion("2.1.7");
  ASSERT_TRUE(send(kCheckVersion).success);
  EXPECT_EQ(header_values(only_request(), "User-Agent"), Strings{"morvox:sdkra/v2.1.7;os:ios"});
  MVNetRequest::setKMorvoxVersion(MVNetRequest::kDefaultVersion);
}

TEST_F(NetRequestTest, LoginStoresTheAuthorizationOnlyOnSuccess) {
  const std::string expected = "MorvoxClient tok123,avc=" + MVNetRequest::readAccount();
  MVNetRequest::setAuthorization("previous");
  MVNetRequest::setToken("tok123");
  // A failing status, and a status of 200 with a non-zero code, leave the stored one alone.
  for (const json& failing : {json{{"status", 500}, {"message", "down"}}, json{{"code", 1003}}}) {
    json call = failing;
    call["path"] = kLogin;
    ASSERT_TRUE(service_->set_call(call));
    const auto o = send(kLogin);
    ASSERT_FALSE(o.success);
    EXPECT_EQ(o.error.code, failing.value("code", 500));
    EXPECT_EQ(MVNetRequest::Authorization(), "previous");
    EXPECT_EQ(header_values(only_request(), "Authorization"), Strings{expected});
  }
  // Success stores it before the caller's success runs; later requests carry it.
  ASSERT_TRUE(service_->reset());
  const auto o = send(kLogin);
  ASSERT_TRUE(o.success) << o.error.description;
  EXPECT_EQ(o.authorization_at_success, expected);
  service_->clear_requests();
  ASSERT_TRUE(send(kSpeakerList).success);
  EXPECT_EQ(header_values(only_request(), "Authorization"), Strings{expected});
}

// Reply forms are normalised by net::normalize_reply; here one failure passes through on the main
// queue.
TEST_F(NetRequestTest, RepliesAndTransportErrorsReachTheMainQueue) {
  ASSERT_TRUE(service_->set_call({{"path", kSpeakerList}, {"form", "encrypted"}, {"code", 8}, {"message", "enc"}}));
  const Outcome o = send(kSpeakerList);
  EXPECT_TRUE(o.on_main_queue);
  EXPECT_EQ(std::tuple(o.success, o.error.description, o.data), std::tuple(false, "enc", json()));
  EXPECT_EQ(code_of(o.error), std::pair(std::string("MVNetRequestErrorDomain"), std::int64_t{8}));
  // The HTTP layer's reply cap, here with no length announced (33 MiB).
  {
    std::ofstream out(root_->path() / "big.bin", std::ios::binary);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 33; ++i) out << block;
  }
  ASSERT_TRUE(service_->set_file({{"name", "big.bin"}, {"mode", "no_length"}}));
  const Outcome big = send("/files/big.bin");
  std::filesystem::remove(root_->path() / "big.bin");
  EXPECT_EQ(code_of(big.error), std::pair(std::string(platform::kHttpErrorDomain), platform::kHttpErrorBodyTooLarge));
  EXPECT_TRUE(big.on_main_queue);
}

// URL rules are url_encoding's (reply_test); header values net's own, before the HTTP layer's.
TEST_F(NetRequestTest, InvalidUrlsAndHeaderValuesAreRefusedBeforeSending) {
  MVNetRequest::setBaseUrl("not a url");
  std::optional<Error> error;
  const auto caller = std::this_thread::get_id();
  // Synchronously, on the calling thread.
  MVNetRequest::getRequestSecction(kSpeakerList, nullptr, nullptr, [&](const Error& e) {
    if (std::this_thread::get_id() == caller) error = e;
  });
  ASSERT_TRUE(error);
  EXPECT_EQ(std::tuple(error->domain, error->code, error->description),
            std::tuple("MVNetRequestErrorDomain", -1001, "无效的URL"));
  MVNetRequest::getRequestSecction(kSpeakerList, nullptr, nullptr, nullptr);  // no callback at all
  MVNetRequest::setBaseUrl(service_->url());
  for (const std::string& token : {std::string("tok\r\nX-Injected: 1"), std::string("tok\0x", 5)}) {
    MVNetRequest::setAuthorization("before");
    MVNetRequest::setToken(token);
    const Outcome o = send(kLogin);
    EXPECT_TRUE(o.on_main_queue);
    EXPECT_EQ(code_of(o.error), std::pair(std::string("MVNetRequestErrorDomain"), net::kErrorInvalidHeader));
    EXPECT_NE(o.error.description.find("Authorization"), std::string::npos);
    EXPECT_EQ(MVNetRequest::Authorization(), "before");
  }
  EXPECT_TRUE(service_->requests().empty());
}

TEST_F(NetRequestTest, ProgressEntriesEndWithTheirRequest) {
  auto promise = std::make_shared<std::promise<bool>>();
  auto future = promise->get_future();
  platform::HttpRequest request;
  request.url = service_->url() + kSpeakerList;
  MVNetRequest::addCommonHeadersToRequest(request);
  MVNetRequest::executeRequest(
      request, [](double f) { EXPECT_TRUE(f >= 0.0 && f <= 1.0); },
      [promise](std::int32_t, const std::string&, const json&) { promise->set_value(true); },
      [promise](const Error&) { promise->set_value(false); });
  ASSERT_EQ(future.wait_for(kWait), std::future_status::ready);
  EXPECT_TRUE(future.get());
  EXPECT_EQ(MVNetRequest::pendingProgressCount(), 0u);
}

TEST(DeviceAccount, MadeOncePersistedAndReplacedWhenEmpty) {
  auto& store = platform::SettingsStore::shared();
  store.remove("MVNetRequest_Account");
  EXPECT_EQ(MVNetRequest::getAccount(), std::nullopt);
  const std::string account = MVNetRequest::readAccount();
  // Seconds since 1970 (10 digits for decades to come) and eight random digits.
  EXPECT_TRUE(std::regex_match(account, std::regex("[0-9]{10}[1-9][0-9]{7}"))) << account;
  EXPECT_EQ(MVNetRequest::readAccount(), account);
  EXPECT_EQ(platform::SettingsStore(store.file()).get_string("MVNetRequest_Account"), account);
  EXPECT_EQ(MVNetRequest::buildLoginAuthorizationWithToken(""), std::nullopt);
  EXPECT_EQ(MVNetRequest::processAuthorization(""), std::nullopt);
  EXPECT_EQ(MVNetRequest::processAuthorization("xMorvoxClienty"), "xMorvoxClienty");
  EXPECT_EQ(MVNetRequest::processAuthorization("t"), "MorvoxClient t,avc=" + account);
  store.set("MVNetRequest_Account", "");
  const std::string fresh = MVNetRequest::readAccount();
  EXPECT_FALSE(fresh.empty());
  EXPECT_EQ(MVNetRequest::getAccount(), fresh);
}

class NetManagerTest : public NetRequestTest {};

std::int64_t wait_code(const std::function<void(MVNetManager::Completion)>& call) {
  auto promise = std::make_shared<std::promise<std::int64_t>>();
  auto future = promise->get_future();
  call([promise](std::int64_t code) { promise->set_value(code); });
  return future.wait_for(kWait) == std::future_status::ready ? future.get() : -99999;
}

// The manager's login from the configuration's token, and the class login's client codes.
TEST_F(NetManagerTest, LoginCodes) {
  auto& manager = MVNetManager::sharedManager();
  manager.setEngineConfig({""});
  std::int64_t code = -1;
  manager.login([&](std::int64_t c) { code = c; });  // without a token: 3 at once, nothing sent
  EXPECT_EQ(code, 3);
  EXPECT_TRUE(service_->requests().empty());
  const std::string expected = "MorvoxClient cfg,avc=" + MVNetRequest::readAccount();
  manager.setEngineConfig({"cfg"});
  ASSERT_TRUE(service_->set_call({{"path", kLogin}, {"status", 403}}));
  EXPECT_EQ(wait_code([&](auto done) { manager.login(done); }), 2);
  EXPECT_EQ(header_values(only_request(), "Authorization"), Strings{expected});
  ASSERT_TRUE(service_->reset());
  EXPECT_EQ(wait_code([&](auto done) { manager.prepare(done); }), 0);
  EXPECT_EQ(MVNetRequest::Authorization(), expected);

  EXPECT_EQ(wait_code([](auto done) { MVNetManager::Login("", done); }), -1);
  ASSERT_TRUE(service_->set_token("right"));
  EXPECT_EQ(wait_code([](auto done) { MVNetManager::Login("wrong", done); }), 401);
  ASSERT_TRUE(service_->set_call({{"path", kLogin}, {"status", 500}}));
  EXPECT_EQ(wait_code([](auto done) { MVNetManager::Login("right", done); }), -1);
  ASSERT_TRUE(service_->set_call({{"path", kLogin}}));
  EXPECT_EQ(wait_code([](auto done) { MVNetManager::Login("right", done); }), 0);
  EXPECT_EQ(MVNetRequest::Authorization(), "MorvoxClient right,avc=" + MVNetRequest::readAccount());
}

}  // namespace
}  // namespace mvsdk
