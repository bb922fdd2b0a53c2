// The platform's services: the log, the settings store, the dispatch queues and HTTP.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/log.h"
#include "platform/settings.h"
#include "support/alloc_counter.h"
#include "support/local_http_server.h"
#include "support/local_service.h"
#include "support/log_capture.h"
#include "support/tool_launch.h"

namespace mvsdk::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using test::LogCapture;
using Lines = std::vector<std::string>;

// Long enough for a loaded machine and any single request or download, short enough that a
// deadlock fails instead of hanging.
constexpr auto kWait = 20s;

// A sink that collects lines under a lock and throws on "throw"; the first line equal to `stuck`
// blocks it until release() (for a full queue).
struct Collector {
  std::mutex mutex;
  Lines lines;
  std::promise<void> entered, released;
  std::shared_future<void> release_future = released.get_future().share();
  LogSink sink(std::string stuck = "") {
    return [this, stuck](Level, std::string_view line) {
      if (line == "throw") throw std::runtime_error("sink down");
      if (!stuck.empty() && line == stuck) {
        entered.set_value();
        release_future.wait();
      }
      std::lock_guard<std::mutex> lock(mutex);
      lines.emplace_back(line);
    };
  }
  void block(const std::string& stuck) {
    log_set_sink(sink(stuck));
    log_line(Level::kError, stuck);
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
  }
};

// Producers never wait and never allocate: with the sink stuck on a line, thousands of lines from
// several threads return at once; what does not fit in the queue is counted and reported in one
// line once the sink is free again. While stuck, a flush times out. A line longer than a slot is
// cut on a character boundary and ends in the marker; one that just fits is whole. Lines below the
// threshold are not delivered, and a sink that throws loses that line only.
TEST(Log, FullQueueDropsCountsAndReportsOnce) {
  Collector c;
  log_set_sink(c.sink());  // the log thread runs before the counting starts
  log_set_level(Level::kInfo);
  std::string long_line;
  while (long_line.size() < 3 * kLogLineMax) long_line += "\xe4\xb8\xad";
  const std::string fits(kLogLineMax, 'a');
  const std::size_t keep = (kLogLineMax - kLogCutMarker.size()) / 3 * 3;
  const std::string cut_line = long_line.substr(0, keep) + std::string(kLogCutMarker);
  std::size_t allocations = 0;
  {
    test::AllocationGuard guard;
    for (int i = 0; i < 10; ++i) {
      log_printf(Level::kInfo, "component: %s %d of %zu, %.3f", "voice", i, long_line.size(), 0.5 * i);
      log_line(Level::kInfo, "component: plain");
      log_printf(Level::kInfo, "%s", long_line.c_str());
      log_line(Level::kInfo, long_line);
      log_line(Level::kInfo, fits);
      log_line(Level::kError, "throw");
      log_printf(Level::kDebug, "component: %s", "below the threshold");
    }
    allocations = guard.count();
  }
  ASSERT_TRUE(log_flush(10s));
  EXPECT_EQ(c.lines.size(), 50u);
  EXPECT_EQ(std::count(c.lines.begin(), c.lines.end(), cut_line), 20);
  EXPECT_EQ(std::count(c.lines.begin(), c.lines.end(), fits), 10);
  c.block("stuck");
  const std::uint64_t dropped_before = log_dropped_lines();
  constexpr int kThreads = 4, kLines = 1000;
  std::vector<std::future<std::size_t>> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.push_back(std::async(std::launch::async, [t] {
      test::AllocationGuard guard;
      for (int i = 0; i < kLines; ++i) log_printf(Level::kError, "producer %d line %d", t, i);
      return guard.count();
    }));
  }
  for (auto& p : producers) {
    ASSERT_EQ(p.wait_for(10s), std::future_status::ready) << "a producer waited for the sink";
    allocations += p.get();
  }
  EXPECT_EQ(allocations, 0u);
  EXPECT_FALSE(log_flush(20ms));
  // The stuck line keeps its slot: the others hold every line that made it.
  const std::uint64_t queued = kLogSlots - 1, dropped = kThreads * kLines - queued;
  EXPECT_EQ(log_dropped_lines() - dropped_before, dropped);
  c.released.set_value();
  ASSERT_TRUE(log_flush(10s));
  log_reset_sink();
  const auto first = std::find(c.lines.begin(), c.lines.end(), "stuck");
  ASSERT_EQ(c.lines.end() - first, static_cast<std::ptrdiff_t>(1 + queued + 1));
  EXPECT_EQ(c.lines.back(), "log: " + std::to_string(dropped) + " lines dropped, the log queue was full");
  EXPECT_EQ(std::count_if(first, c.lines.end(), [](const std::string& l) { return l.starts_with("log: "); }), 1);
}

using test::read_file;

void write_text(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

TEST(SettingsStore, WritesPrivatelyAtomicallyAndStaysUsableWhenItCannot) {
  test::TempDir dir("mvsdk-settings");
  const fs::path file = dir.path() / "deeper" / "mvsdk" / "settings.json";
  SettingsStore store(file);
  EXPECT_EQ(store.get("k"), std::nullopt);  // missing file: empty, no error
  ASSERT_TRUE(store.set("k", "v1"));
  ASSERT_TRUE(store.set("k", "v2"));
  EXPECT_TRUE(store.remove("nothing-there"));
  EXPECT_EQ(json::parse(read_file(file)), (json{{"k", "v2"}}));
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);  // no temporary files
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  // Values that cannot be written are refused.
  EXPECT_FALSE(store.set("bad", std::string("\xff\xfe not utf-8")));
  EXPECT_FALSE(store.set(std::string("\xc3"), 1));
  EXPECT_EQ(store.get("bad"), std::nullopt);
  // A corrupt file (cut short, or JSON but no object) reads as empty, is logged once with its
  // name, and is replaced on the next write.
  for (const std::string corrupt : {"{\"a\": 1,", "[1, 2]"}) {
    write_text(file, corrupt);
    LogCapture corrupt_log;
    SettingsStore reread(file);
    EXPECT_EQ(reread.get("k"), std::nullopt) << corrupt;
    const auto lines = corrupt_log.lines();
    ASSERT_EQ(lines.size(), 1u) << corrupt;
    EXPECT_NE(lines[0].find(file.string()), std::string::npos);
    ASSERT_TRUE(reread.set("b", "x"));
    EXPECT_EQ(SettingsStore(file).get_string("b"), "x");
  }

  // An unwritable location keeps the value in memory and logs.
  LogCapture log;
  write_text(dir.path() / "blocker", "a file where a directory should be");
  SettingsStore blocked(dir.path() / "blocker" / "settings.json");
  EXPECT_FALSE(blocked.set("k", 42));
  EXPECT_EQ(blocked.get("k"), json(42));
  EXPECT_FALSE(log.lines().empty());
}

TEST(SerialQueue, SyncWaitsThrowingTasksAreDroppedAndDestructionDrains) {
  LogCapture log;
  std::atomic<int> count{0};
  {
    SerialQueue q("test.throw");
    q.async([&] {
      std::this_thread::sleep_for(20ms);
      ++count;
    });
    q.async([] { throw std::runtime_error("boom"); });
    std::thread::id ran_on;
    q.sync([&] {
      EXPECT_EQ(count.load(), 1);  // FIFO: the earlier task has finished
      EXPECT_TRUE(q.is_current());
      ran_on = std::this_thread::get_id();
      q.sync([&] { ++count; });  // sync from the worker itself runs inline
    });
    EXPECT_NE(ran_on, std::this_thread::get_id());
    EXPECT_FALSE(q.is_current());
    for (int i = 0; i < 100; ++i) q.async([&] { ++count; });
  }
  EXPECT_EQ(count.load(), 102);  // the destructor ran the queued tasks before joining
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("boom"), std::string::npos);
  EXPECT_NE(lines[0].find("test.throw"), std::string::npos);
}

TEST(SerialQueue, DestroyedFromOwnWorkerDoesNotDeadlock) {
  auto* q = new SerialQueue("test.selfdestroy");
  std::promise<void> later;
  Semaphore both_queued;
  q->async([q, &both_queued] {
    if (both_queued.wait_for(kWait)) delete q;
  });
  q->async([&later] { later.set_value(); });  // queued behind the delete: still runs
  both_queued.signal();
  EXPECT_EQ(later.get_future().wait_for(kWait), std::future_status::ready);
}

TEST(After, NeverEarlyAndDroppedForADestroyedQueue) {
  LogCapture log;
  std::atomic<bool> ran{false};
  {
    SerialQueue gone("test.gone");
    after(30ms, gone, [&] { ran = true; });
  }
  SerialQueue q("test.after");
  std::vector<std::pair<int, std::chrono::steady_clock::duration>> fired;  // touched only on q
  Semaphore all;
  // Scheduled out of order; each fires no earlier than its own delay after it was posted.
  const int delays[] = {60, 0, 30, 10, 45, 5, -5};
  for (int d : delays) {
    const auto posted = std::chrono::steady_clock::now();
    after(std::chrono::milliseconds(d), q, [&, d, posted] {
      fired.emplace_back(d, std::chrono::steady_clock::now() - posted);
      all.signal();
    });
  }
  for (size_t i = 0; i < std::size(delays); ++i) ASSERT_TRUE(all.wait_for(kWait)) << i;
  q.sync([] {});
  EXPECT_FALSE(all.wait_for(0ms));  // each fired once
  ASSERT_EQ(fired.size(), std::size(delays));
  for (auto [d, elapsed] : fired) EXPECT_GE(elapsed, std::chrono::milliseconds(d)) << d;
  // The 60 ms entry has fired, so the 30 ms one for the destroyed queue was handled.
  EXPECT_FALSE(ran.load());
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("dropped"), std::string::npos);
}

// Tasks of a group run on a concurrent queue; a sync from one of its workers runs inline.
TEST(TaskGroup, NoticeComesAfterLastTaskAndThrowingTasksLeave) {
  LogCapture log;
  ConcurrentQueue q("test.group", 3);
  TaskGroup group;
  std::atomic<int> completed{0};
  for (int i = 0; i < 12; ++i) {
    group.async(q, [&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(i % 4));
      ++completed;
      if (i == 5) throw std::runtime_error("bad task");
    });
  }
  group.enter();  // manually entered work holds the notice back too
  std::promise<int> seen_at_notice;
  auto f = seen_at_notice.get_future();
  group.notify(main_queue(), [&] { seen_at_notice.set_value(completed.load()); });
  EXPECT_FALSE(group.wait(20ms));
  EXPECT_NE(f.wait_for(0ms), std::future_status::ready);
  group.leave();
  ASSERT_EQ(f.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(f.get(), 12);
  // An empty group notifies and waits at once; an unbalanced leave is logged and ignored.
  std::promise<void> immediate;
  group.notify(main_queue(), [&] { immediate.set_value(); });
  EXPECT_EQ(immediate.get_future().wait_for(kWait), std::future_status::ready);
  group.leave();
  EXPECT_TRUE(group.wait(0ms));
  bool inline_on_worker = false;
  q.sync([&] { q.sync([&] { inline_on_worker = q.is_current(); }); });  // nested sync: no deadlock
  EXPECT_TRUE(inline_on_worker);
}

// Exit with a main queue task running, many queued behind it, background work and a timer entry
// far ahead: clean, and no task runs once the statics are being destroyed.
TEST(ProcessExit, WithTasksPendingIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct Alive {
          std::atomic<bool> yes{true};
          ~Alive() {
            yes = false;
            std::this_thread::sleep_for(20ms);  // a slow teardown widens the window of a late task
          }
        };
        static Alive statics_in_use;
        Semaphore running;
        main_queue().async([&running] {
          running.signal();
          for (int i = 0; i < 50 && statics_in_use.yes; ++i) std::this_thread::sleep_for(1ms);
          if (!statics_in_use.yes) std::abort();
        });
        for (int i = 0; i < 1000; ++i) {
          main_queue().async([] {
            if (!statics_in_use.yes) std::abort();
            log_line(Level::kInfo, "queued task ran");
          });
        }
        for (int i = 0; i < 8; ++i) background_queue().async([] { std::this_thread::sleep_for(20ms); });
        after(10s, main_queue(), [] { std::abort(); });
        std::exit(running.wait_for(kWait) ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

// HTTP: data requests and downloads against a server each test starts on 127.0.0.1. This layer
// owns the header checks, the reply cap, the stall and total limits and the transport errors; the
// layers above test only that they pass them on. Every download writes its temporary file into
// a directory of its own, so "no file left behind" can be checked exactly.
using test::LocalHttpServer;

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
struct Events {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::tuple<std::int64_t, std::int64_t, std::optional<std::int64_t>>> progress;
  std::optional<std::string> finished_bytes;  // the temporary file's bytes once finished
  fs::path temp_file;
  int completes = 0;
  std::optional<Error> error;
  long status = -1;
  bool all_on_main_queue = true;
};

// One server for every test: /x counts its requests; the other paths serve bodies,
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
    s.Get(R"(/hop/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      const int n = std::stoi(req.matches[1].str());
      res.set_redirect(server_.url(n == 0 ? "/sized?n=4096" : "/hop/" + std::to_string(n - 1)));
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
  static DownloadEvents record(const std::shared_ptr<Events>& log, std::function<void()> on_progress = {}) {
    DownloadEvents ev;
    ev.on_progress = [log, on_progress](std::int64_t n, std::int64_t total, std::optional<std::int64_t> expected) {
      {
        std::lock_guard<std::mutex> lock(log->mutex);
        EXPECT_FALSE(log->finished_bytes || log->completes > 0);  // progress comes first
        log->all_on_main_queue &= main_queue().is_current();
        log->progress.emplace_back(n, total, expected);
      }
      if (on_progress) on_progress();
    };
    ev.on_finished = [log](const fs::path& file, long status) {
      std::lock_guard<std::mutex> lock(log->mutex);
      EXPECT_EQ(log->completes, 0);
      log->all_on_main_queue &= main_queue().is_current();
      log->temp_file = file;
      log->finished_bytes = read_file(file);
      log->status = status;
    };
    ev.on_complete = [log](std::optional<Error> error, long status) {
      std::lock_guard<std::mutex> lock(log->mutex);
      log->all_on_main_queue &= main_queue().is_current();
      ++log->completes;
      log->error = std::move(error);
      EXPECT_TRUE(log->status == -1 || log->status == status);
      log->status = status;
      log->cv.notify_all();
    };
    return ev;
  }
  static bool wait_complete(Events& log) {
    std::unique_lock<std::mutex> lock(log.mutex);
    return log.cv.wait_for(lock, kWait, [&] { return log.completes > 0; });
  }
  // Runs one download to completion.
  std::shared_ptr<Events> run(const std::string& url, DownloadOptions o) {
    auto log = std::make_shared<Events>();
    auto task = http_download(url, std::move(o), record(log));
    EXPECT_EQ(task->url(), url);
    EXPECT_TRUE(wait_complete(*log));
    main_queue().sync([] {});  // anything still queued behind complete has run
    EXPECT_TRUE(log->all_on_main_queue);
    return log;
  }
  bool dir_empty() const { return fs::is_empty(dir_.path()); }

  LocalHttpServer server_;
  test::TempDir dir_{"mvsdk-download-test"};
  std::string body_ = std::string(300 * 1024 + 7, '\0');
  std::atomic<int> hits_{0};
};

// Refused before anything is sent (still reported asynchronously): header injection, a capped
// reply body (announced or not), transport failures with libcurl's codes and text, more than ten
// redirects.
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
      {server_.url("/hop/9"), 0, ""},  // up to ten redirects are followed
      {server_.url("/hop/10"), CURLE_TOO_MANY_REDIRECTS, kCurlErrorDomain},
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

// Whole positive seconds up to a year; anything else keeps the fallback.
TEST(HttpEnv, SecondsFromEnv) {
  const char* name = "MVSDK_HTTP_TEST_SECONDS";
  for (const auto& [text, want] : {std::pair("2", 2), {"", 60}, {"0", 60}, {"12a", 60}, {"99999999999999999999", 60}}) {
    ::setenv(name, text, 1);
    EXPECT_EQ(seconds_from_env(name, 60s), std::chrono::seconds(want)) << text;
  }
  ::unsetenv(name);
  EXPECT_EQ(seconds_from_env(name, 60s), 60s);
}

// With a length announced, progress adds up to it; without one there is none. The finished file
// has the exact bytes, events come in order on the main queue, and no temporary file is left.
TEST_F(HttpTest, DownloadProgressExactBytesAndOrder) {
  const auto log = run(server_.url("/file.bin"), options());
  EXPECT_EQ(std::tuple(code_of(log->error), log->status, log->completes), std::tuple(code_of({}), 200L, 1));
  EXPECT_EQ(log->finished_bytes, body_);
  ASSERT_FALSE(log->progress.empty());
  std::int64_t sum = 0;
  for (auto& [n, total, expected] : log->progress) {
    sum += n;
    EXPECT_EQ(total, sum);
    EXPECT_EQ(expected, static_cast<std::int64_t>(body_.size()));
  }
  EXPECT_EQ(sum, static_cast<std::int64_t>(body_.size()));
  EXPECT_EQ(log->temp_file.parent_path(), dir_.path());
  EXPECT_TRUE(dir_empty());
}

// Cancelled from its own progress handler, on the main queue, once bytes are on disk.
TEST_F(HttpTest, DownloadCancelReportsAnErrorAndLeavesNoFile) {
  auto log = std::make_shared<Events>();
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
  EXPECT_FALSE(log->finished_bytes);
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
    EXPECT_FALSE(log->finished_bytes);
    EXPECT_EQ(log->progress.empty(), c.min_progress == 0);
    EXPECT_GE(log->progress.size(), c.min_progress);
  }
  EXPECT_EQ(hits_.load(), 0);
  EXPECT_TRUE(dir_empty());
}

// The process may exit with a download and a data request in flight (the child exits once bytes
// arrived): no crash, no temporary file left. The server lives in the parent (a server in the
// exiting process would have its library's statics destroyed under its own threads); the child
// re-runs this test and finds the parent's directory and server in the environment.
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
  stalled_body(server, "/stall", 1 << 20, 4096);
  ASSERT_TRUE(server.start());
  ::setenv(kDirVar, dir.path().c_str(), 1);
  ::setenv(kUrlVar, server.url("/stall").c_str(), 1);
  EXPECT_EXIT(std::exit(1), ::testing::ExitedWithCode(0), "");  // the child exits above
  ::unsetenv(kDirVar);
  ::unsetenv(kUrlVar);
  server.stop();
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
}  // namespace mvsdk::platform
