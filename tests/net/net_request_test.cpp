// MVNetRequest, the device account and MVNetManager against the local service (mvsdk-service),
// which each suite starts on 127.0.0.1 and stops.
#include "net/mv_net_request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "net/mv_net_manager.h"
#include "net/reply.h"
#include "platform/crypto.h"
#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/settings.h"
#include "support/local_http_server.h"
#include "support/local_service.h"
#include "support/tool_launch.h"

namespace mvsdk {
namespace {

using nlohmann::json;
using test::header_values;
using test::LocalService;
using test::TempDir;
using test::launch_command;
using test::self_path;

// The settings store is resolved on first use: point it at a private directory before any test.
TempDir& config_dir() {
  static TempDir dir("mvsdk-net-config");
  return dir;
}
const bool g_config_set = [] {
  // A child started by NextProcessReusesTheStoredAccount keeps its parent's directory.
  if (std::getenv("MVSDK_ACCOUNT_CHILD")) return true;
  ::setenv("XDG_CONFIG_HOME", config_dir().path().c_str(), 1);
  return true;
}();

constexpr auto kWait = std::chrono::seconds(30);
constexpr const char* kUserAgent = "morvox:sdkra/v2.0.0;os:ios";
constexpr const char* kLogin = "/api/sdkra/login";
constexpr const char* kCheckVersion = "/api/sdkra/checkVersion";
constexpr const char* kSpeakerList = "/api/sdkra/getSpeakerList";

struct Outcome {
  bool success = false;
  std::int32_t code = -12345;
  std::string message;
  json data;
  Error error;
  bool on_main_queue = false;
  std::string authorization_at_success;  // the stored authorization when success ran
};

// Runs one call and waits (bounded) for its single callback.
template <typename Call>
Outcome run(Call call) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  call(
      [promise](std::int32_t code, const std::string& message, const json& data) {
        Outcome o;
        o.success = true;
        o.code = code;
        o.message = message;
        o.data = data;
        o.on_main_queue = platform::main_queue().is_current();
        o.authorization_at_success = MVNetRequest::Authorization();
        promise->set_value(std::move(o));
      },
      [promise](const Error& error) {
        Outcome o;
        o.error = error;
        o.on_main_queue = platform::main_queue().is_current();
        promise->set_value(std::move(o));
      });
  if (future.wait_for(kWait) != std::future_status::ready) {
    ADD_FAILURE() << "no callback within the wait limit";
    return {};
  }
  return future.get();
}

Outcome get(const std::string& path, const json& params = nullptr) {
  return run([&](auto s, auto f) { MVNetRequest::getRequestSecction(path, params, s, f); });
}
Outcome post(const std::string& path, const json& params = nullptr) {
  return run([&](auto s, auto f) { MVNetRequest::postRequestSecction(path, params, s, f); });
}

class NetRequestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new TempDir("mvsdk-net-root");
    test::write_sample_service_folder(root_->path());
    service_ = new LocalService(root_->path());
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
  // The one request the service saw since SetUp.
  static json only_request() {
    const auto requests = service_->requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? json::object() : requests.back();
  }

  static TempDir* root_;
  static LocalService* service_;
};
TempDir* NetRequestTest::root_ = nullptr;
LocalService* NetRequestTest::service_ = nullptr;

TEST_F(NetRequestTest, GetAndPostCarryExactlyTheCommonHeaders) {
  // Empty stored authorization: no Authorization header at all.
  auto o = get(kSpeakerList);
  ASSERT_TRUE(o.success) << o.error.description;
  auto r = only_request();
  EXPECT_EQ(r["method"], "GET");
  EXPECT_EQ(r["query"], "");
  EXPECT_TRUE(header_values(r, "Authorization").empty());
  EXPECT_EQ(header_values(r, "User-Agent"), std::vector<std::string>{kUserAgent});
  EXPECT_TRUE(header_values(r, "Content-Type").empty());
  EXPECT_TRUE(header_values(r, "Accept").empty());
  EXPECT_EQ(r["body"], "");

  service_->clear_requests();
  o = post(kCheckVersion, json::object());
  ASSERT_TRUE(o.success) << o.error.description;
  r = only_request();
  EXPECT_EQ(r["method"], "POST");
  EXPECT_TRUE(header_values(r, "Authorization").empty());
  EXPECT_EQ(header_values(r, "User-Agent"), std::vector<std::string>{kUserAgent});
  EXPECT_EQ(header_values(r, "Content-Type"), std::vector<std::string>{"application/json"});
  EXPECT_EQ(r["body"], "");

  // With a stored authorization, every request but the login-with-token carries it once; a
  // login with an empty client token does too.
  MVNetRequest::setAuthorization("MorvoxClient stored,avc=1");
  for (const char* path : {kSpeakerList, kCheckVersion, kLogin}) {
    service_->clear_requests();
    o = path == std::string(kSpeakerList) ? get(path) : post(path, json::object());
    ASSERT_TRUE(o.success) << path << ": " << o.error.description;
    EXPECT_EQ(header_values(only_request(), "Authorization"),
              std::vector<std::string>{"MorvoxClient stored,avc=1"})
        << path;
  }

  // The version set travels in the User-Agent.
  MVNetRequest::setKMorvoxVersion("2.1.7");
  service_->clear_requests();
  ASSERT_TRUE(post(kCheckVersion).success);
  EXPECT_EQ(header_values(only_request(), "User-Agent"),
            std::vector<std::string>{"morvox:sdkra/v2.1.7;os:ios"});
  MVNetRequest::setKMorvoxVersion(MVNetRequest::kDefaultVersion);
}

TEST_F(NetRequestTest, ParametersBecomeQueryOrBody) {
  ASSERT_TRUE(get(kSpeakerList, {{"a", "x y"}, {"b", 5}}).success);
  EXPECT_EQ(only_request()["query"], "a=x%20y&b=5");
  service_->clear_requests();
  ASSERT_TRUE(post(kCheckVersion, {{"k", 1}, {"s", "v"}}).success);
  const auto r = only_request();
  EXPECT_EQ(r["body"], R"({"k":1,"s":"v"})");
  EXPECT_EQ(r["query"], "");
}

TEST_F(NetRequestTest, LoginSendsTokenAndAccountAndStoresItOnlyOnSuccess) {
  const std::string account = MVNetRequest::readAccount();
  const std::string expected = "MorvoxClient tok123,avc=" + account;
  MVNetRequest::setAuthorization("previous");
  MVNetRequest::setToken("tok123");

  // A failed login leaves the stored authorization alone.
  ASSERT_TRUE(service_->set_call({{"path", kLogin}, {"status", 500}, {"message", "down"}}));
  auto o = post(kLogin, json::object());
  ASSERT_FALSE(o.success);
  EXPECT_EQ(o.error.code, 500);
  EXPECT_EQ(o.error.description, "down");
  EXPECT_EQ(MVNetRequest::Authorization(), "previous");
  auto r = only_request();
  EXPECT_EQ(header_values(r, "Authorization"), std::vector<std::string>{expected});
  EXPECT_EQ(header_values(r, "User-Agent"), std::vector<std::string>{kUserAgent});

  // A reply of status 200 with a non-zero code is a failure as well.
  ASSERT_TRUE(service_->set_call({{"path", kLogin}, {"code", 1003}, {"message", "bad token"}}));
  o = post(kLogin, json::object());
  EXPECT_FALSE(o.success);
  EXPECT_EQ(o.error.code, 1003);
  EXPECT_EQ(MVNetRequest::Authorization(), "previous");

  // Success stores it before the caller's success runs; later requests carry it.
  ASSERT_TRUE(service_->reset());
  service_->clear_requests();
  o = post(kLogin, json::object());
  ASSERT_TRUE(o.success) << o.error.description;
  EXPECT_EQ(o.authorization_at_success, expected);
  EXPECT_EQ(MVNetRequest::Authorization(), expected);
  EXPECT_EQ(header_values(only_request(), "Authorization"), std::vector<std::string>{expected});
  service_->clear_requests();
  ASSERT_TRUE(get(kSpeakerList).success);
  EXPECT_EQ(header_values(only_request(), "Authorization"), std::vector<std::string>{expected});

  // A token that already is an authorization is sent unchanged.
  MVNetRequest::setToken("MorvoxClient ready,avc=42");
  service_->clear_requests();
  ASSERT_TRUE(post(kLogin, json::object()).success);
  EXPECT_EQ(header_values(only_request(), "Authorization"),
            std::vector<std::string>{"MorvoxClient ready,avc=42"});
  EXPECT_EQ(MVNetRequest::Authorization(), "MorvoxClient ready,avc=42");
}

TEST_F(NetRequestTest, ServiceRequiringATokenAnswers401Otherwise) {
  ASSERT_TRUE(service_->set_token("good"));
  MVNetRequest::setToken("bad");
  auto o = post(kLogin, json::object());
  ASSERT_FALSE(o.success);
  EXPECT_EQ(o.error.code, 401);
  EXPECT_EQ(o.error.description, "Unauthorized");
  MVNetRequest::setToken("good");
  EXPECT_TRUE(post(kLogin, json::object()).success);
  EXPECT_TRUE(post(kCheckVersion, json::object()).success);
}

struct ReplyCase {
  const char* name;
  json behaviour;
  bool success;
  std::int64_t code;       // error code when !success
  std::string text;        // message on success, description on failure
  json data;               // expected data on success (null: not checked)
};

TEST_F(NetRequestTest, EveryReplyFormIsNormalisedAndDeliveredOnTheMainQueue) {
  const std::string envelope_data = R"({"x":1})";
  const std::vector<ReplyCase> cases = {
      {"plain", {{"data", {{"x", 1}}}}, true, 0, "success", json{{"x", 1}}},
      {"no data key", {{"data", {{"x", 1}}}, {"omit_data", true}}, true, 0, "success",
       json{{"x", 1}, {"code", 0}, {"message", "success"}}},
      {"code string 0", {{"code", "0"}, {"message", "fine"}}, true, 0, "fine", nullptr},
      {"code 200", {{"code", 200}, {"message", "no"}}, false, 200, "no", nullptr},
      {"code string 200", {{"code", "200"}, {"message", ""}}, false, 200, "error，code: 200", nullptr},
      {"500 code 0 empty message", {{"status", 500}, {"message", ""}}, false, 500, "error，code: 500",
       nullptr},
      {"bare array", {{"form", "array"}, {"data", {1, 2}}}, true, 0, "success", json{1, 2}},
      {"bare array 201", {{"form", "array"}, {"status", 201}, {"data", {1}}}, false, 201, "success",
       nullptr},
      {"empty body", {{"form", "empty"}}, true, 0, "success", json::object()},
      {"not json", {{"form", "raw"}, {"body", "<html>oops</html>"}}, true, 0, "success",
       json::object()},
      {"404 empty", {{"form", "empty"}, {"status", 404}}, false, 404, "error", nullptr},
      {"encrypted", {{"form", "encrypted"}, {"data", {{"x", 1}}}}, true, 0, "success", json{{"x", 1}}},
      {"encrypted stray", {{"form", "encrypted"}, {"stray_before", "\x02pre"}, {"stray_after", "}}zz"},
                           {"data", {{"x", 1}}}}, true, 0, "success", json{{"x", 1}}},
      {"encrypted wrapped", {{"form", "encrypted"}, {"wrap", 64}, {"message", "w"}}, true, 0, "w",
       nullptr},
      {"encrypted failure", {{"form", "encrypted"}, {"code", 8}, {"message", "enc"}}, false, 8, "enc",
       nullptr},
      {"encrypted wrong key", {{"form", "encrypted"}, {"status", 403}, {"key", "0123456789abcdef"}},
       false, 403, "error", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    json behaviour = c.behaviour;
    behaviour["path"] = kSpeakerList;
    ASSERT_TRUE(service_->set_call(behaviour));
    const Outcome o = get(kSpeakerList);
    EXPECT_TRUE(o.on_main_queue);
    ASSERT_EQ(o.success, c.success) << o.error.description;
    if (c.success) {
      EXPECT_EQ(o.code, 0);
      EXPECT_EQ(o.message, c.text);
      if (!c.data.is_null()) {
        EXPECT_EQ(o.data, c.data);
      }
    } else {
      EXPECT_EQ(o.error.domain, "MVNetRequestErrorDomain");
      EXPECT_EQ(o.error.code, c.code);
      EXPECT_EQ(o.error.description, c.text);
    }
  }
}

TEST_F(NetRequestTest, SpeakerListCarriesTheServedCatalogue) {
  const Outcome o = get(kSpeakerList);
  ASSERT_TRUE(o.success);
  EXPECT_EQ(o.data, service_->catalogue());
  ASSERT_EQ(o.data["binFiles"].size(), 3u);
  EXPECT_EQ(o.data["binFiles"][0]["file"], service_->url() + "/files/am.bin");
}

TEST_F(NetRequestTest, InvalidUrlFailsSynchronouslyOnTheCallingThread) {
  for (const char* base : {"not a url", "", "ftp://host"}) {
    MVNetRequest::setBaseUrl(base);
    bool called = false;
    bool called_here = false;
    Error error;
    const auto caller = std::this_thread::get_id();
    MVNetRequest::getRequestSecction(
        kSpeakerList, nullptr, [](std::int32_t, const std::string&, const json&) { ADD_FAILURE(); },
        [&](const Error& e) {
          called = true;
          called_here = std::this_thread::get_id() == caller;
          error = e;
        });
    EXPECT_TRUE(called) << base;
    EXPECT_TRUE(called_here);
    EXPECT_EQ(error.domain, "MVNetRequestErrorDomain");
    EXPECT_EQ(error.code, -1001);
    EXPECT_EQ(error.description, "无效的URL");
    called = false;
    MVNetRequest::postRequestSecction(kLogin, nullptr, nullptr, [&](const Error& e) {
      called = true;
      EXPECT_EQ(e.code, -1001);
    });
    EXPECT_TRUE(called);
  }
  // Without a failure callback nothing happens at all.
  MVNetRequest::getRequestSecction(kSpeakerList, nullptr, nullptr, nullptr);
  EXPECT_TRUE(service_->requests().empty());
}

TEST_F(NetRequestTest, TransportErrorsPassThroughUnchanged) {
  const int port = test::unused_local_port();
  ASSERT_GT(port, 0);
  MVNetRequest::setBaseUrl("http://127.0.0.1:" + std::to_string(port));
  const Outcome o = get(kSpeakerList);
  ASSERT_FALSE(o.success);
  EXPECT_TRUE(o.on_main_queue);
  EXPECT_EQ(o.error.domain, kCurlErrorDomain);
  EXPECT_NE(o.error.code, 0);
}

TEST_F(NetRequestTest, HeaderValuesWithLineBreaksAreNeverSent) {
  for (const std::string& token : {std::string("tok\r\nX-Injected: 1"), std::string("tok\n"),
                                  std::string("tok\0x", 5)}) {
    MVNetRequest::setAuthorization("before");
    MVNetRequest::setToken(token);
    const Outcome o = post(kLogin, json::object());
    ASSERT_FALSE(o.success);
    EXPECT_TRUE(o.on_main_queue);
    EXPECT_EQ(o.error.domain, "MVNetRequestErrorDomain");
    EXPECT_EQ(o.error.code, net::kErrorInvalidHeader);
    EXPECT_NE(o.error.description.find("Authorization"), std::string::npos);
    EXPECT_EQ(MVNetRequest::Authorization(), "before");
  }
  MVNetRequest::setToken("");
  MVNetRequest::setAuthorization("stored\r\nX-Injected: 1");
  EXPECT_EQ(get(kSpeakerList).error.code, net::kErrorInvalidHeader);
  EXPECT_TRUE(service_->requests().empty());
}

TEST_F(NetRequestTest, OversizedRepliesFailWithoutBeingHeld) {
  // 33 MiB, once announced with a length and once without one.
  {
    std::ofstream out(root_->path() / "big.bin", std::ios::binary);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 33; ++i) out << block;
  }
  for (const char* mode : {"normal", "no_length"}) {
    SCOPED_TRACE(mode);
    ASSERT_TRUE(service_->set_file({{"name", "big.bin"}, {"mode", mode}}));
    const Outcome o = get("/files/big.bin");
    ASSERT_FALSE(o.success);
    EXPECT_EQ(o.error.domain, platform::kHttpErrorDomain);
    EXPECT_EQ(o.error.code, platform::kHttpErrorBodyTooLarge);
    EXPECT_FALSE(o.error.description.empty());
  }
  std::filesystem::remove(root_->path() / "big.bin");
}

TEST_F(NetRequestTest, ProgressEntriesEndWithTheirRequest) {
  auto promise = std::make_shared<std::promise<bool>>();
  auto future = promise->get_future();
  platform::HttpRequest request;
  request.url = service_->url() + kSpeakerList;
  request.timeout = MVNetRequest::kRequestTimeout;
  MVNetRequest::addCommonHeadersToRequest(request);
  MVNetRequest::executeRequest(
      request, [](double f) { EXPECT_TRUE(f >= 0.0 && f <= 1.0); },
      [promise](std::int32_t, const std::string&, const json&) { promise->set_value(true); },
      [promise](const Error&) { promise->set_value(false); });
  EXPECT_GE(MVNetRequest::pendingProgressCount(), 0u);
  ASSERT_EQ(future.wait_for(kWait), std::future_status::ready);
  EXPECT_TRUE(future.get());
  EXPECT_EQ(MVNetRequest::pendingProgressCount(), 0u);
}

// --- device account ---

TEST(DeviceAccount, MadeOncePersistedAndReplacedWhenEmpty) {
  auto& store = platform::SettingsStore::shared();
  store.remove("MVNetRequest_Account");
  EXPECT_EQ(MVNetRequest::getAccount(), std::nullopt);
  const std::string account = MVNetRequest::readAccount();
  // Seconds since 1970 (10 digits for decades to come) and eight random digits.
  EXPECT_TRUE(std::regex_match(account, std::regex("[0-9]{10}[1-9][0-9]{7}"))) << account;
  EXPECT_EQ(MVNetRequest::readAccount(), account);
  EXPECT_EQ(MVNetRequest::getAccount(), account);
  // Persisted in the settings file under its key.
  platform::SettingsStore on_disk(store.file());
  EXPECT_EQ(on_disk.get_string("MVNetRequest_Account"), account);

  EXPECT_EQ(MVNetRequest::buildLoginAuthorizationWithToken("t"), "MorvoxClient t,avc=" + account);
  EXPECT_EQ(MVNetRequest::buildLoginAuthorizationWithToken(""), std::nullopt);
  EXPECT_EQ(MVNetRequest::processAuthorization(""), std::nullopt);
  EXPECT_EQ(MVNetRequest::processAuthorization("xMorvoxClienty"), "xMorvoxClienty");
  EXPECT_EQ(MVNetRequest::processAuthorization("t"), "MorvoxClient t,avc=" + account);

  store.set("MVNetRequest_Account", "");
  const std::string fresh = MVNetRequest::readAccount();
  EXPECT_FALSE(fresh.empty());
  EXPECT_EQ(MVNetRequest::getAccount(), fresh);
}

// Runs in a child process started by the next test: prints the account it reads.
TEST(DeviceAccountChild, PrintAccount) {
  if (!std::getenv("MVSDK_ACCOUNT_CHILD")) GTEST_SKIP() << "runs only as a child process";
  std::printf("ACCOUNT=%s\n", MVNetRequest::readAccount().c_str());
}

TEST(DeviceAccount, NextProcessReusesTheStoredAccount) {
  const std::string account = MVNetRequest::readAccount();
  const std::string self = self_path();
  ASSERT_FALSE(self.empty());
  ::setenv("MVSDK_ACCOUNT_CHILD", "1", 1);
  FILE* child = ::popen(
      (launch_command(self, {"--gtest_filter=DeviceAccountChild.PrintAccount"}) + " 2>&1").c_str(), "r");
  ::unsetenv("MVSDK_ACCOUNT_CHILD");
  ASSERT_NE(child, nullptr);
  std::string output;
  char buf[512];
  while (std::fgets(buf, sizeof buf, child)) output += buf;
  EXPECT_EQ(::pclose(child), 0) << output;
  EXPECT_NE(output.find("ACCOUNT=" + account + "\n"), std::string::npos) << output;
}

// --- MVNetManager ---

class NetManagerTest : public NetRequestTest {};

std::int64_t wait_code(const std::function<void(MVNetManager::Completion)>& call) {
  auto promise = std::make_shared<std::promise<std::int64_t>>();
  auto future = promise->get_future();
  call([promise](std::int64_t code) { promise->set_value(code); });
  if (future.wait_for(kWait) != std::future_status::ready) {
    ADD_FAILURE() << "no completion";
    return -99999;
  }
  return future.get();
}

TEST_F(NetManagerTest, LoginWithConfigurationToken) {
  auto& manager = MVNetManager::sharedManager();
  manager.setEngineConfig({""});
  // Without a token: 3 at once, nothing sent.
  std::int64_t code = -1;
  manager.login([&](std::int64_t c) { code = c; });
  EXPECT_EQ(code, 3);
  EXPECT_TRUE(service_->requests().empty());

  const std::string expected = "MorvoxClient cfg,avc=" + MVNetRequest::readAccount();
  manager.setEngineConfig({"cfg"});
  EXPECT_EQ(manager.engineConfig().token, "cfg");
  MVNetRequest::setAuthorization("old");
  ASSERT_TRUE(service_->set_call({{"path", kLogin}, {"status", 403}}));
  EXPECT_EQ(wait_code([&](auto done) { manager.login(done); }), 2);
  EXPECT_EQ(MVNetRequest::Authorization(), "old");
  EXPECT_EQ(header_values(only_request(), "Authorization"), std::vector<std::string>{expected});

  ASSERT_TRUE(service_->reset());
  EXPECT_EQ(wait_code([&](auto done) { manager.prepare(done); }), 0);
  EXPECT_EQ(MVNetRequest::Authorization(), expected);
}

TEST_F(NetManagerTest, ClassLoginReportsClientErrorCodes) {
  EXPECT_EQ(wait_code([](auto done) { MVNetManager::Login("", done); }), -1);
  MVNetRequest::setAuthorization("old");
  ASSERT_TRUE(service_->set_token("right"));
  EXPECT_EQ(wait_code([](auto done) { MVNetManager::Login("wrong", done); }), 401);
  EXPECT_EQ(MVNetRequest::Authorization(), "old");
  ASSERT_TRUE(service_->set_call({{"path", kLogin}, {"status", 500}}));
  EXPECT_EQ(wait_code([](auto done) { MVNetManager::Login("right", done); }), -1);
  ASSERT_TRUE(service_->set_call({{"path", kLogin}}));
  EXPECT_EQ(wait_code([](auto done) { MVNetManager::Login("right", done); }), 0);
  EXPECT_EQ(MVNetRequest::Authorization(), "MorvoxClient right,avc=" + MVNetRequest::readAccount());

  const int port = test::unused_local_port();
  MVNetRequest::setBaseUrl("http://127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(wait_code([](auto done) { MVNetManager::Login("right", done); }), -1);
}

}  // namespace
}  // namespace mvsdk
