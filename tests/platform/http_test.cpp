// Data requests against servers started by each test on 127.0.0.1.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

#include "platform/dispatch.h"
#include "platform/http.h"
#include "support/local_http_server.h"

namespace mvsdk::platform {
namespace {

using namespace std::chrono_literals;
using test::LocalHttpServer;
using test::RawHttpCapture;

constexpr auto kWait = 15s;  // upper bound for any single request in these tests

struct Outcome {
  std::optional<HttpResponse> response;
  std::optional<Error> error;
  std::thread::id thread;
  bool on_main_queue = false;
};

// Sends request and waits for its completion; nullopt when none came within kWait.
std::optional<Outcome> send_and_wait(HttpRequest request) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  http_send(std::move(request), [promise](std::optional<HttpResponse> r, std::optional<Error> e) {
    promise->set_value(Outcome{std::move(r), std::move(e), std::this_thread::get_id(), main_queue().is_current()});
  });
  if (future.wait_for(kWait) != std::future_status::ready) return std::nullopt;
  return future.get();
}

HttpRequest make(std::string method, std::string url, std::vector<HttpHeader> headers = {},
                 std::optional<std::string> body = std::nullopt) {
  HttpRequest r;
  r.method = std::move(method);
  r.url = std::move(url);
  r.headers = std::move(headers);
  r.body = std::move(body);
  return r;
}

std::vector<std::pair<std::string, std::string>> pairs(const std::vector<HttpHeader>& headers) {
  std::vector<std::pair<std::string, std::string>> out;
  for (auto& h : headers) out.emplace_back(h.name, h.value);
  return out;
}

// Request headers as received, without the ones named in skip.
std::vector<std::pair<std::string, std::string>> without(const test::RawRequest& r,
                                                         std::initializer_list<const char*> skip) {
  std::vector<std::pair<std::string, std::string>> out;
  for (auto& h : r.headers) {
    bool drop = false;
    for (const char* s : skip) drop = drop || strcasecmp(h.first.c_str(), s) == 0;
    if (!drop) out.push_back(h);
  }
  return out;
}

// Headers go out exactly as given: in order, repeated names kept, empty values kept, and nothing
// of libcurl's own but Host (no Accept, User-Agent or Expect).
TEST(HttpSend, SendsHeadersExactlyAsGivenInOrder) {
  RawHttpCapture capture;
  ASSERT_TRUE(capture.start());
  std::vector<HttpHeader> headers = {{"X-Trace", "1"},         {"Authorization", "MorvoxClient abc,avc=9"},
                                     {"X-Trace", "2"},         {"Accept", "application/octet-stream"},
                                     {"X-Empty", ""},          {"User-Agent", "morvox:sdkra/v2.0.0;os:ios"},
                                     {"x-trace", "3"}};
  auto out = send_and_wait(make("GET", capture.url("/a/b?c=1"), headers));
  ASSERT_TRUE(out);
  ASSERT_FALSE(out->error) << out->error->description;
  EXPECT_EQ(out->response->status, 200);
  EXPECT_EQ(out->response->body, "ok");

  auto reqs = capture.wait_for_requests(1, kWait);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].request_line, "GET /a/b?c=1 HTTP/1.1");
  ASSERT_FALSE(reqs[0].headers.empty());
  EXPECT_EQ(reqs[0].headers[0].first, "Host");
  EXPECT_EQ(without(reqs[0], {"Host"}), pairs(headers));
}

TEST(HttpSend, AddsNoDefaultHeadersOfItsOwn) {
  RawHttpCapture capture;
  ASSERT_TRUE(capture.start());
  // A body above libcurl's 1 MiB "Expect: 100-continue" threshold, and no Content-Type given.
  std::string big(1536 * 1024, 'x');
  ASSERT_TRUE(send_and_wait(make("POST", capture.url("/big"), {{"X-A", "1"}}, big)));
  ASSERT_TRUE(send_and_wait(make("GET", capture.url("/plain"))));

  auto reqs = capture.wait_for_requests(2, kWait);
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].request_line, "POST /big HTTP/1.1");
  EXPECT_EQ(without(reqs[0], {"Host", "Content-Length"}),
            (std::vector<std::pair<std::string, std::string>>{{"X-A", "1"}}));
  EXPECT_EQ(reqs[0].body, big);
  EXPECT_EQ(without(reqs[1], {"Host"}), (std::vector<std::pair<std::string, std::string>>{}));
}

TEST(HttpSend, PostWithAndWithoutBody) {
  RawHttpCapture capture;
  ASSERT_TRUE(capture.start());
  ASSERT_TRUE(send_and_wait(make("POST", capture.url("/api/sdkra/login"), {{"Content-Type", "application/json"}})));
  ASSERT_TRUE(send_and_wait(
      make("POST", capture.url("/json"), {{"Content-Type", "application/json"}}, std::string("{\"a\":1}"))));
  // An explicitly empty body is a body: also "Content-Length: 0".
  ASSERT_TRUE(send_and_wait(make("PUT", capture.url("/empty"), {}, std::string())));

  auto reqs = capture.wait_for_requests(3, kWait);
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].request_line, "POST /api/sdkra/login HTTP/1.1");
  EXPECT_EQ(without(reqs[0], {"Host"}), (std::vector<std::pair<std::string, std::string>>{
                                             {"Content-Type", "application/json"}, {"Content-Length", "0"}}));
  EXPECT_EQ(reqs[0].body, "");
  EXPECT_EQ(reqs[1].body, "{\"a\":1}");
  EXPECT_EQ(without(reqs[1], {"Host"}), (std::vector<std::pair<std::string, std::string>>{
                                             {"Content-Type", "application/json"}, {"Content-Length", "7"}}));
  EXPECT_EQ(reqs[2].request_line, "PUT /empty HTTP/1.1");
  EXPECT_EQ(without(reqs[2], {"Host"}),
            (std::vector<std::pair<std::string, std::string>>{{"Content-Length", "0"}}));
}

// Statuses, bodies and reply headers come back as sent; methods arrive as given; completions
// run on an HTTP thread, neither the caller's nor the main queue.
TEST(HttpSend, ReturnsStatusBodyAndHeaders) {
  LocalHttpServer server;
  server.server().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
    res.status = 201;
    res.set_header("X-Reply", "one");
    res.set_header("X-Reply", "two");
    res.set_content(std::string("h\0llo", 5), "application/octet-stream");
  });
  server.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
  server.server().Delete("/thing", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("deleted " + req.get_header_value("X-Id"), "text/plain");
  });
  server.server().Get("/redirect", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(server.url("/hello"));
  });
  ASSERT_TRUE(server.start());

  auto ok = send_and_wait(make("GET", server.url("/hello")));
  ASSERT_TRUE(ok);
  ASSERT_FALSE(ok->error) << ok->error->description;
  EXPECT_EQ(ok->response->status, 201);
  EXPECT_EQ(ok->response->body, std::string("h\0llo", 5));
  std::vector<std::string> replies;
  for (auto& h : ok->response->headers)
    if (h.name == "X-Reply") replies.push_back(h.value);
  EXPECT_EQ(replies, (std::vector<std::string>{"one", "two"}));
  EXPECT_NE(ok->thread, std::this_thread::get_id());
  EXPECT_FALSE(ok->on_main_queue);

  auto missing = send_and_wait(make("GET", server.url("/missing")));
  ASSERT_TRUE(missing);
  ASSERT_TRUE(missing->response);  // an HTTP error status is a response, not a transport error
  EXPECT_EQ(missing->response->status, 404);

  auto del = send_and_wait(make("DELETE", server.url("/thing"), {{"X-Id", "7"}}));
  ASSERT_TRUE(del && del->response);
  EXPECT_EQ(del->response->body, "deleted 7");

  auto redirected = send_and_wait(make("GET", server.url("/redirect")));
  ASSERT_TRUE(redirected && redirected->response);
  EXPECT_EQ(redirected->response->status, 201);
  // Only the final response's headers are reported.
  int locations = 0;
  for (auto& h : redirected->response->headers) locations += h.name == "Location";
  EXPECT_EQ(locations, 0);
}

TEST(HttpSend, StopsAfterTenRedirects) {
  LocalHttpServer server;
  server.server().Get(R"(/hop/(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
    int n = std::atoi(req.matches[1].str().c_str());
    if (n == 0) return res.set_content("landed", "text/plain");
    res.set_redirect(server.url("/hop/" + std::to_string(n - 1)));
  });
  ASSERT_TRUE(server.start());

  auto ten = send_and_wait(make("GET", server.url("/hop/10")));
  ASSERT_TRUE(ten && ten->response);
  EXPECT_EQ(ten->response->body, "landed");

  auto eleven = send_and_wait(make("GET", server.url("/hop/11")));
  ASSERT_TRUE(eleven && eleven->error);
  EXPECT_EQ(eleven->error->domain, kCurlErrorDomain);
  EXPECT_EQ(eleven->error->code, CURLE_TOO_MANY_REDIRECTS);
}

// Header injection: refused before anything is sent, still reported asynchronously.
TEST(HttpSend, RefusesHeadersThatCouldInjectLines) {
  RawHttpCapture capture;
  ASSERT_TRUE(capture.start());
  const std::vector<std::vector<HttpHeader>> bad = {
      {{"X-Ok", "1"}, {"X-Evil", "a\r\nX-Injected: 1"}},
      {{"X-Evil", "a\nb"}},
      {{"X-Evil", std::string("a\0b", 3)}},
      {{"X-Evil: 1\r\nX-Injected", "1"}},
      {{"Bad Name", "1"}},
      {{"", "1"}},
  };
  for (const auto& headers : bad) {
    const std::thread::id caller = std::this_thread::get_id();
    auto out = send_and_wait(make("GET", capture.url("/x"), headers));
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->error);
    EXPECT_FALSE(out->response);
    EXPECT_EQ(out->error->domain, kHttpErrorDomain);
    EXPECT_EQ(out->error->code, kHttpErrorInvalidRequest);
    EXPECT_FALSE(out->error->description.empty());
    EXPECT_NE(out->thread, caller);
  }
  auto bad_method = send_and_wait(make("GET /x HTTP/1.1\r\nX:", capture.url("/x")));
  ASSERT_TRUE(bad_method && bad_method->error);
  EXPECT_EQ(bad_method->error->code, kHttpErrorInvalidRequest);

  EXPECT_TRUE(capture.wait_for_requests(1, 300ms).empty());
}

TEST(HttpSend, CapsTheReplyBody) {
  LocalHttpServer server;
  server.server().Get("/sized", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::string(std::stoul(req.get_param_value("n")), 'b'), "application/octet-stream");
  });
  // No length announced: the limit must trip while receiving.
  server.server().Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/octet-stream", [](std::size_t, httplib::DataSink& sink) {
      std::string block(1000, 'c');
      for (int i = 0; i < 5; ++i)
        if (!sink.write(block.data(), block.size())) return false;
      sink.done();
      return true;
    });
  });
  ASSERT_TRUE(server.start());

  auto request = [&](const std::string& path) {
    HttpRequest r = make("GET", server.url(path));
    r.max_body_bytes = 4096;
    return send_and_wait(std::move(r));
  };
  auto exact = request("/sized?n=4096");
  ASSERT_TRUE(exact && exact->response);
  EXPECT_EQ(exact->response->body.size(), 4096u);

  for (const char* path : {"/sized?n=4097", "/sized?n=10000000", "/chunked"}) {
    auto out = request(path);
    ASSERT_TRUE(out) << path;
    ASSERT_TRUE(out->error) << path;
    EXPECT_FALSE(out->response);
    EXPECT_EQ(out->error->domain, kHttpErrorDomain) << path;
    EXPECT_EQ(out->error->code, kHttpErrorBodyTooLarge) << path;
    EXPECT_NE(out->error->description.find("4096"), std::string::npos) << out->error->description;
  }
}

TEST(HttpSend, ReportsTransportErrorsWithLibcurlCodes) {
  const int port = test::unused_local_port();
  ASSERT_GT(port, 0);
  auto refused = send_and_wait(make("GET", "http://127.0.0.1:" + std::to_string(port) + "/"));
  ASSERT_TRUE(refused && refused->error);
  EXPECT_FALSE(refused->response);
  EXPECT_EQ(refused->error->domain, kCurlErrorDomain);
  EXPECT_EQ(refused->error->code, CURLE_COULDNT_CONNECT);
  EXPECT_EQ(refused->error->description.rfind(curl_easy_strerror(CURLE_COULDNT_CONNECT), 0), 0u)
      << refused->error->description;

  auto scheme = send_and_wait(make("GET", "file:///etc/passwd"));
  ASSERT_TRUE(scheme && scheme->error);
  EXPECT_EQ(scheme->error->code, CURLE_UNSUPPORTED_PROTOCOL);

  LocalHttpServer server;
  server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    server.hold(10s);
    res.set_content("late", "text/plain");
  });
  ASSERT_TRUE(server.start());
  HttpRequest slow = make("GET", server.url("/slow"));
  slow.timeout = 300ms;
  auto timed_out = send_and_wait(std::move(slow));
  ASSERT_TRUE(timed_out && timed_out->error);
  EXPECT_EQ(timed_out->error->code, CURLE_OPERATION_TIMEDOUT);
}

// A request held by the server does not hold up others; many threads may send at once.
TEST(HttpSend, ConcurrentRequestsDoNotWaitForEachOther) {
  LocalHttpServer server;
  server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    server.hold(10s);
    res.set_content("slow", "text/plain");
  });
  server.server().Get(R"(/echo/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.matches[1].str(), "text/plain");
  });
  ASSERT_TRUE(server.start());

  auto slow_done = std::make_shared<std::promise<std::optional<HttpResponse>>>();
  auto slow_future = slow_done->get_future();
  http_send(make("GET", server.url("/slow")),
            [slow_done](std::optional<HttpResponse> r, std::optional<Error>) { slow_done->set_value(std::move(r)); });

  constexpr int kThreads = 4, kPerThread = 8;
  std::atomic<int> correct{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string id = std::to_string(t * 100 + i);
        auto out = send_and_wait(make("GET", server.url("/echo/" + id)));
        if (out && out->response && out->response->body == id) ++correct;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(correct.load(), kThreads * kPerThread);
  EXPECT_EQ(slow_future.wait_for(0s), std::future_status::timeout);  // still held by the server

  server.release();
  ASSERT_EQ(slow_future.wait_for(kWait), std::future_status::ready);
  auto slow = slow_future.get();
  ASSERT_TRUE(slow);
  EXPECT_EQ(slow->body, "slow");
}

TEST(HttpEnv, SecondsFromEnv) {
  const char* name = "MVSDK_HTTP_TEST_SECONDS";
  ::unsetenv(name);
  EXPECT_EQ(seconds_from_env(name, 60s), 60s);
  for (const char* bad : {"", "0", "-5", "1.5", "12a", " 3", "99999999999999999999"}) {
    ::setenv(name, bad, 1);
    EXPECT_EQ(seconds_from_env(name, 60s), 60s) << bad;
  }
  ::setenv(name, "2", 1);
  EXPECT_EQ(seconds_from_env(name, 60s), 2s);
  ::unsetenv(name);
}

}  // namespace
}  // namespace mvsdk::platform
