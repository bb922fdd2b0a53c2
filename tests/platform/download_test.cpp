// Downloads against servers started by each test on 127.0.0.1. Every download writes its
// temporary file into a directory of its own, so "no file left behind" can be checked exactly.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <random>

#include "platform/dispatch.h"
#include "platform/http.h"
#include "support/local_http_server.h"

namespace mvsdk::platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::LocalHttpServer;

constexpr auto kWait = 20s;  // upper bound for any single download in these tests

std::string pattern_bytes(std::size_t n) {
  std::string s(n, '\0');
  std::mt19937 rng(42);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything a download reported, recorded from the main queue.
struct Log {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> order;  // "progress", "finished", "complete"
  std::vector<std::tuple<std::int64_t, std::int64_t, std::optional<std::int64_t>>> progress;
  fs::path temp_file;
  std::string finished_bytes;
  long finished_status = -1;
  int completes = 0;
  std::optional<Error> error;
  long status = -1;
  bool all_on_main_queue = true;
};

// Events that record into log; on_finished_extra runs inside the finished handler.
DownloadEvents record(const std::shared_ptr<Log>& log,
                      std::function<void(const fs::path&)> on_finished_extra = {},
                      std::function<void()> on_progress_extra = {}) {
  DownloadEvents ev;
  ev.on_progress = [log, on_progress_extra](std::int64_t n, std::int64_t total, std::optional<std::int64_t> expected) {
    {
      std::lock_guard<std::mutex> lock(log->mutex);
      log->order.push_back("progress");
      log->progress.emplace_back(n, total, expected);
      log->all_on_main_queue &= main_queue().is_current();
    }
    if (on_progress_extra) on_progress_extra();
  };
  ev.on_finished = [log, on_finished_extra](const fs::path& file, long status) {
    std::lock_guard<std::mutex> lock(log->mutex);
    log->order.push_back("finished");
    log->temp_file = file;
    log->finished_bytes = read_file(file);
    log->finished_status = status;
    log->all_on_main_queue &= main_queue().is_current();
    if (on_finished_extra) on_finished_extra(file);
  };
  ev.on_complete = [log](std::optional<Error> error, long status) {
    std::lock_guard<std::mutex> lock(log->mutex);
    log->order.push_back("complete");
    ++log->completes;
    log->error = std::move(error);
    log->status = status;
    log->all_on_main_queue &= main_queue().is_current();
    log->cv.notify_all();
  };
  return ev;
}

bool wait_complete(Log& log) {
  std::unique_lock<std::mutex> lock(log.mutex);
  return log.cv.wait_for(lock, kWait, [&] { return log.completes > 0; });
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mvsdk-download-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    server_.stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  DownloadOptions options() {
    DownloadOptions o;
    o.temp_directory = dir_;
    return o;
  }

  // Runs one download to completion; false when complete did not come within kWait.
  bool run(const std::string& url, DownloadOptions o, const std::shared_ptr<Log>& log,
           std::function<void(const fs::path&)> on_finished_extra = {}) {
    auto task = http_download(url, std::move(o), record(log, std::move(on_finished_extra)));
    if (!task || task->url() != url) return false;
    if (!wait_complete(*log)) return false;
    main_queue().sync([] {});  // anything still queued behind complete has run
    return true;
  }

  bool dir_empty() const { return fs::is_empty(dir_); }

  LocalHttpServer server_;
  fs::path dir_;
};

// With a length announced: progress adds up to it, the finished file has the exact bytes, events
// come in order on the main queue, and the temporary file is gone afterwards.
TEST_F(DownloadTest, ReportsProgressAndDeliversExactBytes) {
  const std::string body = pattern_bytes(300 * 1024 + 7);
  server_.server().Get("/file.bin", [&](const httplib::Request& req, httplib::Response& res) {
    EXPECT_EQ(req.get_header_value("Accept"), "application/octet-stream");
    res.set_content(body, "application/octet-stream");
  });
  ASSERT_TRUE(server_.start());

  auto log = std::make_shared<Log>();
  DownloadOptions o = options();
  o.headers = {{"Accept", "application/octet-stream"}};
  ASSERT_TRUE(run(server_.url("/file.bin"), o, log));

  EXPECT_FALSE(log->error) << log->error->description;
  EXPECT_EQ(log->status, 200);
  EXPECT_EQ(log->completes, 1);
  EXPECT_EQ(log->finished_status, 200);
  EXPECT_EQ(log->finished_bytes, body);
  EXPECT_TRUE(log->all_on_main_queue);
  ASSERT_FALSE(log->progress.empty());
  std::int64_t sum = 0;
  for (auto& [n, total, expected] : log->progress) {
    sum += n;
    EXPECT_EQ(total, sum);
    EXPECT_EQ(expected, static_cast<std::int64_t>(body.size()));
  }
  EXPECT_EQ(sum, static_cast<std::int64_t>(body.size()));
  ASSERT_GE(log->order.size(), 3u);
  EXPECT_EQ(log->order[log->order.size() - 2], "finished");
  EXPECT_EQ(log->order.back(), "complete");
  EXPECT_EQ(log->temp_file.parent_path(), dir_);
  EXPECT_FALSE(fs::exists(log->temp_file));
  EXPECT_TRUE(dir_empty());
}

TEST_F(DownloadTest, NoProgressWithoutAnnouncedLength) {
  const std::string body = pattern_bytes(200 * 1024 + 3);
  server_.server().Get("/chunked", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/octet-stream", [&](std::size_t offset, httplib::DataSink& sink) {
      const std::size_t n = std::min<std::size_t>(8192, body.size() - offset);
      sink.write(body.data() + offset, n);
      if (offset + n == body.size()) sink.done();
      return true;
    });
  });
  ASSERT_TRUE(server_.start());

  auto log = std::make_shared<Log>();
  ASSERT_TRUE(run(server_.url("/chunked"), options(), log));
  EXPECT_FALSE(log->error);
  EXPECT_TRUE(log->progress.empty());
  EXPECT_EQ(log->finished_bytes, body);
  EXPECT_EQ(log->order, (std::vector<std::string>{"finished", "complete"}));
  EXPECT_TRUE(dir_empty());
}

// The finished handler may move the file away; it then stays where it was moved.
TEST_F(DownloadTest, FinishedHandlerMayKeepTheFile) {
  server_.server().Get("/style", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("c3R5bGU=", "text/plain");
  });
  ASSERT_TRUE(server_.start());

  const fs::path kept = dir_ / "kept" / "style.txt";
  fs::create_directories(kept.parent_path());
  auto log = std::make_shared<Log>();
  ASSERT_TRUE(run(server_.url("/style"), options(), log, [&](const fs::path& file) { fs::rename(file, kept); }));
  EXPECT_FALSE(log->error);
  EXPECT_EQ(read_file(kept), "c3R5bGU=");
  EXPECT_FALSE(fs::exists(log->temp_file));
}

// An HTTP error status is still a finished transfer: the caller decides what it means.
TEST_F(DownloadTest, NotFoundStillFinishesWithItsStatus) {
  server_.server().Get("/missing.bin", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("no such file", "text/plain");
  });
  ASSERT_TRUE(server_.start());

  auto log = std::make_shared<Log>();
  ASSERT_TRUE(run(server_.url("/missing.bin"), options(), log));
  EXPECT_FALSE(log->error);
  EXPECT_EQ(log->finished_status, 404);
  EXPECT_EQ(log->finished_bytes, "no such file");
  EXPECT_EQ(log->status, 404);
  EXPECT_TRUE(dir_empty());
}

// A body that stops arriving trips the stall limit, a body that keeps trickling the total limit;
// either way no finished event and no file left.
TEST_F(DownloadTest, StallAndTotalLimitsFailTheTransfer) {
  server_.server().Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(100000, "application/octet-stream", [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
      if (offset > 0) {
        server_.hold(30s);  // the rest never comes (until the test releases it)
        return false;
      }
      std::string first(1000, 'a');
      return sink.write(first.data(), first.size());
    });
  });
  server_.server().Get("/trickle", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(100000, "application/octet-stream", [&](std::size_t, std::size_t, httplib::DataSink& sink) {
      if (server_.hold(200ms)) return false;
      return sink.write("t", 1);
    });
  });
  ASSERT_TRUE(server_.start());

  auto stalled = std::make_shared<Log>();
  DownloadOptions o = options();
  o.stall_limit = 1s;
  ASSERT_TRUE(run(server_.url("/stall"), o, stalled));
  ASSERT_TRUE(stalled->error);
  EXPECT_EQ(stalled->error->domain, kCurlErrorDomain);
  EXPECT_EQ(stalled->error->code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_NE(stalled->error->description.find("no data received for 1 s"), std::string::npos)
      << stalled->error->description;
  EXPECT_EQ(stalled->status, 200);
  EXPECT_FALSE(stalled->progress.empty());
  EXPECT_EQ(std::count(stalled->order.begin(), stalled->order.end(), "finished"), 0);
  EXPECT_EQ(stalled->completes, 1);
  EXPECT_TRUE(dir_empty());

  auto slow = std::make_shared<Log>();
  o = options();
  o.stall_limit = 1s;  // never reached: a byte comes every 200 ms
  o.total_limit = 2s;
  ASSERT_TRUE(run(server_.url("/trickle"), o, slow));
  ASSERT_TRUE(slow->error);
  EXPECT_EQ(slow->error->code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(slow->error->description.find("no data received"), std::string::npos) << slow->error->description;
  EXPECT_GT(slow->progress.size(), 4u);
  EXPECT_EQ(std::count(slow->order.begin(), slow->order.end(), "finished"), 0);
  EXPECT_TRUE(dir_empty());
}

TEST_F(DownloadTest, CancelReportsAnErrorAndLeavesNoFile) {
  server_.server().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(1 << 20, "application/octet-stream", [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
      if (offset > 0) {
        server_.hold(30s);
        return false;
      }
      std::string first(4096, 'a');
      return sink.write(first.data(), first.size());
    });
  });
  ASSERT_TRUE(server_.start());

  auto log = std::make_shared<Log>();
  auto holder = std::make_shared<std::shared_ptr<DownloadTask>>();
  std::mutex holder_mutex;
  // Cancelled from its own progress handler, on the main queue, once bytes are on disk.
  auto cancel_once = [holder, &holder_mutex, done = std::make_shared<bool>(false)] {
    std::lock_guard<std::mutex> lock(holder_mutex);
    if (*done || !*holder) return;
    *done = true;
    (*holder)->cancel();
    (*holder)->cancel();  // a second cancel changes nothing
  };
  {
    std::lock_guard<std::mutex> lock(holder_mutex);
    *holder = http_download(server_.url("/big"), options(), record(log, {}, cancel_once));
  }
  ASSERT_TRUE(wait_complete(*log));
  main_queue().sync([] {});
  ASSERT_TRUE(log->error);
  EXPECT_EQ(log->error->domain, kCurlErrorDomain);
  EXPECT_EQ(log->error->code, CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(log->status, 200);
  EXPECT_EQ(log->completes, 1);
  EXPECT_EQ(std::count(log->order.begin(), log->order.end(), "finished"), 0);
  EXPECT_TRUE(dir_empty());
  (*holder)->cancel();  // after the end: nothing happens
  main_queue().sync([] {});
  EXPECT_EQ(log->completes, 1);
}

TEST_F(DownloadTest, TransportAndRequestErrors) {
  const int port = test::unused_local_port();
  ASSERT_GT(port, 0);
  auto refused = std::make_shared<Log>();
  ASSERT_TRUE(run("http://127.0.0.1:" + std::to_string(port) + "/file.bin", options(), refused));
  ASSERT_TRUE(refused->error);
  EXPECT_EQ(refused->error->domain, kCurlErrorDomain);
  EXPECT_EQ(refused->error->code, CURLE_COULDNT_CONNECT);
  EXPECT_EQ(refused->status, 0);
  EXPECT_EQ(refused->order, (std::vector<std::string>{"complete"}));
  EXPECT_TRUE(dir_empty());

  std::atomic<int> hits{0};
  server_.server().Get("/x", [&](const httplib::Request&, httplib::Response& res) {
    ++hits;
    res.set_content("x", "text/plain");
  });
  ASSERT_TRUE(server_.start());
  auto injected = std::make_shared<Log>();
  DownloadOptions o = options();
  o.headers = {{"Accept", "application/octet-stream\r\nX-Injected: 1"}};
  ASSERT_TRUE(run(server_.url("/x"), o, injected));
  ASSERT_TRUE(injected->error);
  EXPECT_EQ(injected->error->domain, kHttpErrorDomain);
  EXPECT_EQ(injected->error->code, kHttpErrorInvalidRequest);
  EXPECT_EQ(hits.load(), 0);

  auto no_dir = std::make_shared<Log>();
  o = options();
  o.temp_directory = dir_ / "does-not-exist";
  ASSERT_TRUE(run(server_.url("/x"), o, no_dir));
  ASSERT_TRUE(no_dir->error);
  EXPECT_EQ(no_dir->error->domain, kFileErrorDomain);
  EXPECT_EQ(hits.load(), 0);
  EXPECT_TRUE(dir_empty());
}

// Downloads to one host run one at a time, in order; another host is not held up.
TEST_F(DownloadTest, OneDownloadAtATimePerHost) {
  std::atomic<int> active{0}, max_active{0};
  std::mutex order_mutex;
  std::vector<int> served;
  server_.server().Get(R"(/part/(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
    const int now = ++active;
    for (int seen = max_active.load(); now > seen && !max_active.compare_exchange_weak(seen, now);) {
    }
    {
      std::lock_guard<std::mutex> lock(order_mutex);
      served.push_back(std::stoi(req.matches[1].str()));
    }
    server_.hold(300ms);  // long enough for the others to overlap if they were allowed to
    res.set_content(req.matches[1].str(), "text/plain");
    --active;
  });
  ASSERT_TRUE(server_.start());

  LocalHttpServer other;
  other.server().Get("/free", [](const httplib::Request&, httplib::Response& res) { res.set_content("free", "text/plain"); });
  ASSERT_TRUE(other.start());

  constexpr int kCount = 4;
  std::vector<std::shared_ptr<Log>> logs;
  for (int i = 0; i < kCount; ++i) {
    logs.push_back(std::make_shared<Log>());
    http_download(server_.url("/part/" + std::to_string(i)), options(), record(logs.back()));
  }
  auto free_log = std::make_shared<Log>();
  http_download(other.url("/free"), options(), record(free_log));
  ASSERT_TRUE(wait_complete(*free_log));
  EXPECT_EQ(free_log->finished_bytes, "free");
  {
    // The other host finished while most of the first host's queue still waits.
    std::lock_guard<std::mutex> lock(order_mutex);
    EXPECT_LT(served.size(), static_cast<std::size_t>(kCount));
  }

  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(wait_complete(*logs[i])) << i;
    EXPECT_FALSE(logs[i]->error);
    EXPECT_EQ(logs[i]->finished_bytes, std::to_string(i));
  }
  EXPECT_EQ(max_active.load(), 1);
  EXPECT_EQ(served, (std::vector<int>{0, 1, 2, 3}));
  other.stop();
}

// Child of the exit test: starts a download and a data request that the parent's server holds,
// waits until bytes are on disk, then exits the process. The server lives in the parent: a
// server in the exiting process would have its library's statics destroyed under its own threads.
[[noreturn]] void exit_with_transfers_in_flight(const fs::path& dir, const std::string& url) {
  auto started = std::make_shared<std::promise<void>>();
  auto once = std::make_shared<std::once_flag>();
  DownloadOptions o;
  o.temp_directory = dir;
  DownloadEvents ev;
  ev.on_progress = [started, once](std::int64_t, std::int64_t, std::optional<std::int64_t>) {
    std::call_once(*once, [&] { started->set_value(); });
  };
  auto task = http_download(url, o, ev);
  HttpRequest r;
  r.url = url;
  http_send(r, [](std::optional<HttpResponse>, std::optional<Error>) {});
  if (started->get_future().wait_for(kWait) != std::future_status::ready) std::_Exit(4);
  std::exit(0);
}

// The process may exit with transfers in flight: no crash, no temporary file left behind.
TEST(HttpShutdown, ExitWithTransfersInFlight) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child re-runs this test from the start: it finds the parent's directory and server in
  // the environment.
  const char* kDirVar = "MVSDK_HTTP_EXIT_TEST_DIR";
  const char* kUrlVar = "MVSDK_HTTP_EXIT_TEST_URL";
  const bool child = std::getenv(kDirVar) != nullptr && std::getenv(kUrlVar) != nullptr;
  if (child) exit_with_transfers_in_flight(std::getenv(kDirVar), std::getenv(kUrlVar));

  const fs::path dir = fs::temp_directory_path() / ("mvsdk-exit-test-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  LocalHttpServer server;
  std::atomic<int> requests{0};
  server.server().Get("/stall", [&server, &requests](const httplib::Request&, httplib::Response& res) {
    ++requests;
    res.set_content_provider(1 << 20, "application/octet-stream",
                             [&server](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (offset > 0) {
                                 server.hold(30s);
                                 return false;
                               }
                               std::string first(4096, 'a');
                               return sink.write(first.data(), first.size());
                             });
  });
  ASSERT_TRUE(server.start());
  const std::string url = server.url("/stall");
  ::setenv(kDirVar, dir.c_str(), 1);
  ::setenv(kUrlVar, url.c_str(), 1);
  EXPECT_EXIT(exit_with_transfers_in_flight(dir, url), ::testing::ExitedWithCode(0), "");
  ::unsetenv(kDirVar);
  ::unsetenv(kUrlVar);
  server.stop();
  EXPECT_GE(requests.load(), 1);
  EXPECT_TRUE(fs::is_empty(dir));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace mvsdk::platform
