// Data requests and downloads against a server each test starts on 127.0.0.1. This layer owns
// the header checks, the reply cap, the stall and total limits and the transport errors; the
// layers above test only that they pass them on. Every download writes its temporary file into
// a directory of its own, so "no file left behind" can be checked exactly.
#include "platform/http.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <iterator>

#include "platform/dispatch.h"
#include "support/local_http_server.h"
#include "support/local_service.h"

namespace mvsdk::platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::LocalHttpServer;

constexpr auto kWait = 20s;  // upper bound for any single request or download in these tests

struct Outcome {
  std::optional<HttpResponse> response;
  std::optional<Error> error;
  std::thread::id thread;
  bool on_main_queue = false;
};

// Sends request and waits for its completion; an error "no completion" when none came in time.
Outcome send(HttpRequest request) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  http_send(std::move(request), [promise](std::optional<HttpResponse> r, std::optional<Error> e) {
    promise->set_value({std::move(r), std::move(e), std::this_thread::get_id(), main_queue().is_current()});
  });
  if (future.wait_for(kWait) == std::future_status::ready) return future.get();
  return {std::nullopt, Error{"test", -1, "no completion"}, {}, false};
}
HttpRequest make(std::string method, std::string url, std::vector<HttpHeader> headers = {},
                 std::optional<std::string> body = std::nullopt) {
  return {std::move(method), std::move(url), std::move(headers), std::move(body)};
}
// The domain and code of an error, or ("", 0) for none.
std::pair<std::string, std::int64_t> code_of(const std::optional<Error>& e) {
  return e ? std::pair(e->domain, e->code) : std::pair(std::string(), std::int64_t{0});
}
std::string refused_url() { return "http://127.0.0.1:" + std::to_string(test::unused_local_port()) + "/"; }
std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
// A body that sends `first` bytes and then stalls (held by the server) or trickles a byte per
// 200 ms (when first is 0), announcing `length`.
void stalled_body(LocalHttpServer& server, const std::string& path, std::size_t length, std::size_t first) {
  server.server().Get(path, [&server, length, first](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(length, "application/octet-stream",
                             [&server, first](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (first == 0) return !server.hold(200ms) && sink.write("t", 1);
                               if (offset > 0) return server.hold(30s) && false;
                               return sink.write(std::string(first, 'a').data(), first);
                             });
  });
}

// Everything a download reported, recorded on the main queue.
struct Log {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> order;  // "progress", "finished", "complete"
  std::vector<std::tuple<std::int64_t, std::int64_t, std::optional<std::int64_t>>> progress;
  fs::path temp_file;
  std::string finished_bytes;
  int completes = 0;
  std::optional<Error> error;
  long status = -1;
  bool all_on_main_queue = true;

  void note(const char* what) {
    order.push_back(what);
    all_on_main_queue &= main_queue().is_current();
  }
  bool finished() const { return std::count(order.begin(), order.end(), "finished") > 0; }
};

// One server for every test: /x counts its requests; the other paths serve bodies, errors,
// redirects and stalls.
class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t i = 0; i < body_.size(); ++i) body_[i] = static_cast<char>((i * 7919) >> 3);
    auto& s = server_.server();
    s.Get("/x", [this](const httplib::Request&, httplib::Response& res) {
      ++hits_;
      res.set_content("x", "text/plain");
    });
    s.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_header("X-Reply", "one");
      res.set_header("X-Reply", "two");
      res.set_content(std::string("h\0llo", 5), "application/octet-stream");
    });
    s.Get(R"(/hop/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      const int n = std::stoi(req.matches[1].str());
      res.set_redirect(server_.url(n == 0 ? "/hello" : "/hop/" + std::to_string(n - 1)));
    });
    s.Get("/sized", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(std::string(std::stoul(req.get_param_value("n")), 'b'), "application/octet-stream");
    });
    s.Get("/chunked", [this](const httplib::Request&, httplib::Response& res) {
      const auto provide = [this](std::size_t offset, httplib::DataSink& sink) {
        const std::size_t n = std::min<std::size_t>(8192, body_.size() - offset);
        sink.write(body_.data() + offset, n);
        if (offset + n == body_.size()) sink.done();
        return true;
      };
      res.set_chunked_content_provider("application/octet-stream", provide);
    });
    s.Get("/file.bin", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(body_, "application/octet-stream");
    });
    stalled_body(server_, "/stall", 4096, 1000);
    stalled_body(server_, "/trickle", 100000, 0);
    ASSERT_TRUE(server_.start());
  }
  void TearDown() override { server_.stop(); }

  DownloadOptions options() {
    DownloadOptions o;
    o.temp_directory = dir_.path();
    return o;
  }
  // Events that record into log; on_progress runs inside its handler.
  static DownloadEvents record(const std::shared_ptr<Log>& log, std::function<void()> on_progress = {}) {
    DownloadEvents ev;
    ev.on_progress = [log, on_progress](std::int64_t n, std::int64_t total, std::optional<std::int64_t> expected) {
      {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->note("progress");
        log->progress.emplace_back(n, total, expected);
      }
      if (on_progress) on_progress();
    };
    ev.on_finished = [log](const fs::path& file, long status) {
      std::lock_guard<std::mutex> lock(log->mutex);
      log->note("finished");
      log->temp_file = file;
      log->finished_bytes = read_file(file);
      log->status = status;
    };
    ev.on_complete = [log](std::optional<Error> error, long status) {
      std::lock_guard<std::mutex> lock(log->mutex);
      log->note("complete");
      ++log->completes;
      log->error = std::move(error);
      EXPECT_TRUE(log->status == -1 || log->status == status);
      log->status = status;
      log->cv.notify_all();
    };
    return ev;
  }
  static bool wait_complete(Log& log) {
    std::unique_lock<std::mutex> lock(log.mutex);
    return log.cv.wait_for(lock, kWait, [&] { return log.completes > 0; });
  }
  // Runs one download to completion.
  std::shared_ptr<Log> run(const std::string& url, DownloadOptions o) {
    auto log = std::make_shared<Log>();
    auto task = http_download(url, std::move(o), record(log));
    EXPECT_EQ(task->url(), url);
    EXPECT_TRUE(wait_complete(*log));
    main_queue().sync([] {});  // anything still queued behind complete has run
    return log;
  }
  bool dir_empty() const { return fs::is_empty(dir_.path()); }

  LocalHttpServer server_;
  test::TempDir dir_{"mvsdk-download-test"};
  std::string body_ = std::string(300 * 1024 + 7, '\0');
  std::atomic<int> hits_{0};
};

// Statuses, bodies and reply headers come back as sent (an error status is a response); up to
// ten redirects are followed, reporting the final response's headers only; completions run on
// an HTTP thread, neither the caller's nor the main queue.
TEST_F(HttpTest, ReturnsStatusBodyHeadersAndFollowsRedirects) {
  for (const char* path : {"/hello", "/hop/9"}) {
    const auto ok = send(make("GET", server_.url(path)));
    ASSERT_TRUE(ok.response) << path;
    EXPECT_EQ(ok.response->status, 404);
    EXPECT_EQ(ok.response->body, std::string("h\0llo", 5));
    std::vector<std::string> replies;
    for (auto& h : ok.response->headers) {
      EXPECT_NE(h.name, "Location");
      if (h.name == "X-Reply") replies.push_back(h.value);
    }
    EXPECT_EQ(replies, (std::vector<std::string>{"one", "two"}));
    EXPECT_NE(ok.thread, std::this_thread::get_id());
    EXPECT_FALSE(ok.on_main_queue);
  }
  const auto eleven = send(make("GET", server_.url("/hop/10"))).error;
  EXPECT_EQ(code_of(eleven), std::pair(std::string(kCurlErrorDomain), std::int64_t{CURLE_TOO_MANY_REDIRECTS}));
}

// Refused before anything is sent (still reported asynchronously): header injection, a capped
// reply body (announced or not), transport failures with libcurl's codes and text.
TEST_F(HttpTest, RefusesInjectionCapsRepliesAndReportsTransportErrors) {
  const std::vector<std::vector<HttpHeader>> injections = {{{"X-Ok", "1"}, {"X-Evil", "a\r\nX-Injected: 1"}},
                                                           {{"X-Evil", std::string("a\0b", 3)}},
                                                           {{"X-Evil: 1\r\nX-Injected", "1"}},
                                                           {{"Bad Name", "1"}},
                                                           {{"", "1"}}};
  std::vector<HttpRequest> invalid;
  for (const auto& headers : injections) invalid.push_back(make("GET", server_.url("/x"), headers));
  invalid.push_back(make("GET /x HTTP/1.1\r\nX:", server_.url("/x")));
  for (auto& request : invalid) {
    const auto out = send(std::move(request));
    EXPECT_FALSE(out.response);
    EXPECT_EQ(code_of(out.error), std::pair(std::string(kHttpErrorDomain), kHttpErrorInvalidRequest));
    EXPECT_NE(out.thread, std::this_thread::get_id());
  }
  EXPECT_EQ(hits_.load(), 0);

  const struct {
    std::string url;
    std::int64_t code;  // 0: a 4096-byte body
    const char* domain;
  } cases[] = {
      {server_.url("/sized?n=4096"), 0, ""},
      {server_.url("/sized?n=4097"), kHttpErrorBodyTooLarge, kHttpErrorDomain},
      {server_.url("/sized?n=10000000"), kHttpErrorBodyTooLarge, kHttpErrorDomain},
      {server_.url("/chunked"), kHttpErrorBodyTooLarge, kHttpErrorDomain},
      {refused_url(), CURLE_COULDNT_CONNECT, kCurlErrorDomain},
      {"file:///etc/passwd", CURLE_UNSUPPORTED_PROTOCOL, kCurlErrorDomain},
      {server_.url("/stall"), CURLE_OPERATION_TIMEDOUT, kCurlErrorDomain},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    HttpRequest r = make("GET", c.url);
    r.max_body_bytes = 4096;
    r.timeout = 1s;
    const auto out = send(std::move(r));
    if (c.code == 0) {
      ASSERT_TRUE(out.response);
      EXPECT_EQ(out.response->body.size(), 4096u);
      continue;
    }
    EXPECT_FALSE(out.response);
    ASSERT_EQ(code_of(out.error), std::pair(std::string(c.domain), c.code));
    // The description names the limit, or starts with libcurl's text for its code.
    const std::string text = c.domain == kCurlErrorDomain ? curl_easy_strerror(static_cast<CURLcode>(c.code)) : "4096";
    EXPECT_NE(out.error->description.find(text), std::string::npos) << out.error->description;
  }
}

// With a length announced, progress adds up to it; without one there is none. The finished file
// has the exact bytes, events come in order on the main queue, and no temporary file is left.
TEST_F(HttpTest, DownloadProgressExactBytesAndOrder) {
  DownloadOptions o = options();
  o.headers = {{"Accept", "application/octet-stream"}};
  const auto log = run(server_.url("/file.bin"), o);
  EXPECT_EQ(std::tuple(code_of(log->error), log->status, log->completes), std::tuple(code_of({}), 200L, 1));
  EXPECT_EQ(log->finished_bytes, body_);
  EXPECT_TRUE(log->all_on_main_queue);
  ASSERT_FALSE(log->progress.empty());
  std::int64_t sum = 0;
  for (auto& [n, total, expected] : log->progress) {
    sum += n;
    EXPECT_EQ(total, sum);
    EXPECT_EQ(expected, static_cast<std::int64_t>(body_.size()));
  }
  EXPECT_EQ(sum, static_cast<std::int64_t>(body_.size()));
  std::vector<std::string> order(log->progress.size(), "progress");
  order.insert(order.end(), {"finished", "complete"});
  EXPECT_EQ(log->order, order);
  EXPECT_EQ(log->temp_file.parent_path(), dir_.path());
  EXPECT_TRUE(dir_empty());

}

// Cancelled from its own progress handler, on the main queue, once bytes are on disk.
TEST_F(HttpTest, DownloadCancelReportsAnErrorAndLeavesNoFile) {
  auto log = std::make_shared<Log>();
  std::promise<std::shared_ptr<DownloadTask>> task_promise;
  std::shared_future<std::shared_ptr<DownloadTask>> task = task_promise.get_future().share();
  auto cancel_once = [task, done = std::make_shared<bool>(false)] {
    if (std::exchange(*done, true)) return;
    task.get()->cancel();
    task.get()->cancel();  // a second cancel changes nothing
  };
  task_promise.set_value(http_download(server_.url("/stall"), options(), record(log, cancel_once)));
  ASSERT_TRUE(wait_complete(*log));
  main_queue().sync([] {});
  EXPECT_EQ(code_of(log->error), std::pair(std::string(kCurlErrorDomain), std::int64_t{CURLE_ABORTED_BY_CALLBACK}));
  EXPECT_EQ(log->status, 200);
  EXPECT_FALSE(log->finished());
  EXPECT_TRUE(dir_empty());
  task.get()->cancel();  // after the end: nothing happens
  main_queue().sync([] {});
  EXPECT_EQ(log->completes, 1);
}

// Failures end in one completion with an error and no finished event, leaving no file. Nothing
// reaches the server for a refused connection, a header that could inject lines or a missing
// temporary directory; a body that stops arriving trips the stall limit, a body that keeps
// trickling (a byte every 200 ms) the total limit.
TEST_F(HttpTest, DownloadTransportRequestAndLimitErrors) {
  DownloadOptions injected = options(), no_dir = options(), stall = options(), total = options();
  injected.headers = {{"Accept", "application/octet-stream\r\nX-Injected: 1"}};
  no_dir.temp_directory = dir_.path() / "does-not-exist";
  stall.stall_limit = 1s;
  total.stall_limit = 1s;
  total.total_limit = 2s;
  const struct {
    std::string url;
    DownloadOptions options;
    std::string domain;
    std::int64_t code;
    long status;
    std::size_t min_progress;
    bool stalled;  // the description names the stall limit
  } cases[] = {{refused_url(), options(), kCurlErrorDomain, CURLE_COULDNT_CONNECT, 0, 0, false},
               {server_.url("/x"), injected, kHttpErrorDomain, kHttpErrorInvalidRequest, 0, 0, false},
               {server_.url("/x"), no_dir, kFileErrorDomain, ENOENT, 0, 0, false},
               {server_.url("/stall"), stall, kCurlErrorDomain, CURLE_OPERATION_TIMEDOUT, 200, 1, true},
               {server_.url("/trickle"), total, kCurlErrorDomain, CURLE_OPERATION_TIMEDOUT, 200, 5, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const auto log = run(c.url, c.options);
    ASSERT_EQ(code_of(log->error), std::pair(c.domain, c.code)) << log->error->description;
    EXPECT_EQ(log->error->description.find("no data received for 1 s") != std::string::npos, c.stalled);
    EXPECT_EQ(log->status, c.status);
    EXPECT_FALSE(log->finished());
    EXPECT_EQ(log->progress.empty(), c.min_progress == 0);
    EXPECT_GE(log->progress.size(), c.min_progress);
  }
  EXPECT_EQ(hits_.load(), 0);
  EXPECT_TRUE(dir_empty());
}

// The process may exit with a download and a data request in flight: no crash, no temporary file
// left. The server lives in the parent (a server in the exiting process would have its library's
// statics destroyed under its own threads); the child re-runs this test and finds the parent's
// directory and server in the environment.
TEST(HttpShutdown, ExitWithTransfersInFlight) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* kDirVar = "MVSDK_HTTP_EXIT_TEST_DIR";
  const char* kUrlVar = "MVSDK_HTTP_EXIT_TEST_URL";
  if (std::getenv(kDirVar) != nullptr && std::getenv(kUrlVar) != nullptr) {
    auto started = std::make_shared<std::promise<void>>();
    auto once = std::make_shared<std::once_flag>();
    DownloadOptions o;
    o.temp_directory = std::getenv(kDirVar);
    DownloadEvents ev;
    ev.on_progress = [started, once](std::int64_t, std::int64_t, std::optional<std::int64_t>) {
      std::call_once(*once, [&] { started->set_value(); });
    };
    auto task = http_download(std::getenv(kUrlVar), o, ev);
    http_send(make("GET", std::getenv(kUrlVar)), [](std::optional<HttpResponse>, std::optional<Error>) {});
    std::exit(started->get_future().wait_for(kWait) == std::future_status::ready ? 0 : 4);
  }
  test::TempDir dir("mvsdk-exit-test");
  LocalHttpServer server;
  std::atomic<int> requests{0};
  server.server().set_pre_routing_handler([&](const httplib::Request&, httplib::Response&) {
    ++requests;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  stalled_body(server, "/stall", 1 << 20, 4096);
  ASSERT_TRUE(server.start());
  ::setenv(kDirVar, dir.path().c_str(), 1);
  ::setenv(kUrlVar, server.url("/stall").c_str(), 1);
  EXPECT_EXIT(std::exit(1), ::testing::ExitedWithCode(0), "");  // the child exits above
  ::unsetenv(kDirVar);
  ::unsetenv(kUrlVar);
  server.stop();
  EXPECT_GE(requests.load(), 1);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
}  // namespace mvsdk::platform
