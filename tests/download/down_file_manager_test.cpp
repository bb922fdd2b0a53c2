// MVRtvcDownFileManager against the local service (mvsdk-service), started per test on
// 127.0.0.1; the cache goes to a temporary XDG_CACHE_HOME. Transfer limits and bytes on the wire
// are the HTTP layer's (tests/platform/core_test.cpp); here the manager's own rules.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "download/mv_rtvc_down_file_manager.h"
#include "mvsdk/service_protocol.h"
#include "platform/dispatch.h"
#include "support/local_service.h"

namespace mvsdk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::main_queue;
using Entries = std::vector<MVRtvcDownFileEntry>;
using Strings = std::vector<std::string>;

constexpr auto kWait = 30s;                   // upper bound for one batch or download
constexpr std::size_t kBinBytes = 64 * 1024;  // several progress reports per weight file

void drain_main_queue() { main_queue().sync([] {}); }

// What one batch or download reported, on the main queue. Recorders sharing `order` log one
// sequence across them: "<tag>:p" for progress, "<tag>:c" for completion.
std::mutex g_mutex;
std::condition_variable g_cv;
struct Recorder {
  explicit Recorder(std::string tag, std::shared_ptr<Strings> order = std::make_shared<Strings>())
      : tag(std::move(tag)), order(std::move(order)) {}
  std::string tag;
  std::shared_ptr<Strings> order;
  std::vector<float> progress;
  int completions = 0;
  bool success = false, on_main = true;
  std::string message;
  std::optional<Error> error;

  void note(const char* what) {
    on_main = on_main && main_queue().is_current();
    order->push_back(tag + what);
    g_cv.notify_all();
  }
  bool wait_for(const std::function<bool()>& done) {
    std::unique_lock lock(g_mutex);
    return g_cv.wait_for(lock, kWait, done);
  }
  bool wait() { return wait_for([&] { return completions > 0; }); }
  void complete(bool ok, const std::string& text, const std::optional<Error>& e) {
    std::lock_guard lock(g_mutex);
    ++completions;
    success = ok;
    message = text;
    error = e;
    note(":c");
  }
};
using RecorderPtr = std::shared_ptr<Recorder>;

MVRtvcDownFileManager::ProgressBlock progress_of(const RecorderPtr& r) {
  return [r](float f) {
    std::lock_guard lock(g_mutex);
    r->progress.push_back(f);
    r->note(":p");
  };
}
MVRtvcDownFileManager::BatchCompleteBlock batch_of(const RecorderPtr& r) {
  return [r](bool success, const std::string& message) { r->complete(success, message, std::nullopt); };
}
MVRtvcDownFileManager::FileCompleteBlock file_of(const RecorderPtr& r) {
  return [r](bool success, const std::optional<Error>& error) { r->complete(success, "", error); };
}
// The domain and code of a download's error, or ("", 0) for none.
std::pair<std::string, std::int64_t> code_of(const RecorderPtr& r) {
  return r->error ? std::pair(r->error->domain, r->error->code) : std::pair(std::string(), std::int64_t{0});
}

class DownFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CACHE_HOME", cache_.path().c_str(), 1);
    test::write_sample_service_folder(root_.path(), kBinBytes);
    service_ = std::make_unique<test::LocalService>(root_.path());
    ASSERT_TRUE(service_->ok()) << service_->error();
    manager_ = MVRtvcDownFileManager::create();
  }
  void TearDown() override {
    manager_.reset();
    drain_main_queue();
    service_.reset();
  }

  std::string url(const std::string& rel) const {
    return service_->url() + std::string(protocol::kFilesPrefix) + rel;
  }
  fs::path cache_dir() const { return cache_.path() / "MVRtvcFile"; }
  void throttle(const char* name, int chunk_bytes, int delay_ms) {
    ASSERT_TRUE(service_->set_file(
        {{"name", name}, {"mode", "throttle"}, {"chunk_bytes", chunk_bytes}, {"delay_ms", delay_ms}}));
  }

  // GET requests for files, by path.
  std::map<std::string, int> file_requests() const {
    std::map<std::string, int> n;
    for (const auto& r : service_->requests()) ++n[r.value("path", "")];
    return n;
  }
  // Files in the cache directory, ".partial" excluded.
  Strings cached_names() const {
    Strings names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(cache_dir(), ec))
      if (e.path().filename() != ".partial") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  bool nothing_cached() const {
    std::error_code ec;
    return cached_names().empty() && fs::is_empty(cache_dir() / ".partial", ec);
  }

  RecorderPtr run_batch(const std::string& tag = "b") {
    auto r = std::make_shared<Recorder>(tag);
    manager_->startDownloadEngineFiles(progress_of(r), batch_of(r));
    EXPECT_TRUE(r->wait()) << "batch did not complete";
    drain_main_queue();
    return r;
  }
  RecorderPtr download(const std::string& reference) {
    auto r = std::make_shared<Recorder>("f");
    manager_->downloadFile(reference, progress_of(r), file_of(r));
    EXPECT_TRUE(r->wait()) << "download did not complete";
    drain_main_queue();
    return r;
  }

  test::TempDir cache_{"mvsdk-dl-cache"};
  test::TempDir root_{"mvsdk-dl-root"};
  std::unique_ptr<test::LocalService> service_;
  std::shared_ptr<MVRtvcDownFileManager> manager_;
};

TEST_F(DownFileManagerTest, DuplicatesAreQueuedOnceAndCachedEntriesCountAsDone) {
  const std::string am = url("am.bin"), alice = url("voices/alice.txt");
  ASSERT_TRUE(manager_->checkEngineFiles(Entries{{am, 10}, {am, 10}, {"", 5}, {alice, std::nullopt}, {am, 10}}, 0));
  const auto state = manager_->state();
  EXPECT_EQ(std::tuple(state.downStringArray, state.allSize, state.fileSizeMap),
            std::tuple(Strings{am, alice}, 10, std::map<std::string, std::int64_t>{{am, 10}}));
  const auto batch = run_batch();
  EXPECT_EQ(std::tuple(batch->completions, batch->success, batch->on_main), std::tuple(1, true, true));
  EXPECT_EQ(file_requests(), (std::map<std::string, int>{{"/files/am.bin", 1}, {"/files/voices/alice.txt", 1}}));
  // Files are asked for with the one header.
  for (const auto& req : service_->requests())
    EXPECT_EQ(test::header_values(req, "Accept"), Strings{"application/octet-stream"});

  // A prepared batch whose files are cached by the time it runs: shares only, no request.
  service_->clear_requests();
  manager_->changeEngineSpeakerFiles({am, alice});
  EXPECT_EQ(run_batch()->progress, (std::vector<float>{0.8f, 1.0f, 1.0f}));
  EXPECT_TRUE(file_requests().empty());
  // A file served without a length adds nothing until the batch's final 1.0.
  ASSERT_TRUE(service_->set_file({{"name", "bn.bin"}, {"mode", "no_length"}}));
  manager_->changeEngineSpeakerFiles({url("bn.bin")});
  EXPECT_EQ(run_batch()->progress, std::vector<float>{1.0f});

  // From JSON, a dictionary list: mistyped entries are skipped.
  const nlohmann::json list = {{{"filePath", url("voc.bin")}, {"size", 7}, {"type", "binFile"}},
                               {{"filePath", 5}},
                               "voices/bob.txt",
                               {{"filePath", am}, {"size", "big"}}};
  ASSERT_TRUE(manager_->checkEngineFiles(list, 0));
  EXPECT_EQ(std::tuple(manager_->state().downStringArray, manager_->state().allSize),
            std::tuple(Strings{url("voc.bin")}, 7));
}

// A failed download leaves nothing; a batch in which two files fail completes once without
// success, naming both, while the others still arrive and the fraction still ends at 1.0.
TEST_F(DownFileManagerTest, FailedDownloadsLeaveNothingAndFailTheBatch) {
  ASSERT_TRUE(service_->set_file({{"name", "am.bin"}, {"mode", "cut"}}));
  ASSERT_TRUE(service_->set_file({{"name", "voices/bob.txt"}, {"mode", "404"}}));
  const auto missing = download(url("voices/bob.txt"));
  EXPECT_FALSE(missing->success);
  ASSERT_EQ(code_of(missing), std::pair(std::string(kDownFileErrorDomain), kDownFileHttpStatus));
  EXPECT_NE(missing->error->description.find("404"), std::string::npos);
  const Entries all{{url("voices/alice.txt"), 4096}, {url("voices/bob.txt"), 4096}, {url("am.bin"), kBinBytes},
                    {url("bn.bin"), kBinBytes}, {url("voc.bin"), kBinBytes}};
  ASSERT_TRUE(manager_->checkEngineFiles(all, 0));
  EXPECT_EQ(std::tuple(manager_->state().binCount, manager_->state().speakerCount), std::tuple(3, 2));
  const auto b = run_batch();
  EXPECT_EQ(std::tuple(b->completions, b->success), std::tuple(1, false));
  EXPECT_TRUE(b->message.starts_with(kDownFileBatchFailedPrefix)) << b->message;
  EXPECT_NE(b->message.find(url("am.bin")), std::string::npos) << b->message;
  EXPECT_NE(b->message.find(url("voices/bob.txt")), std::string::npos) << b->message;
  EXPECT_EQ(b->message.find(url("bn.bin")), std::string::npos) << b->message;
  EXPECT_FLOAT_EQ(b->progress.back(), 1.0f);
  EXPECT_EQ(cached_names(), (Strings{"alice.txt", "bn.bin", "voc.bin"}));
  EXPECT_EQ(manager_->getFilePath(url("am.bin")), "");
}

// A weight file whose catalogue size is exact must arrive at that size: a body of another length
// fails the entry and is not cached (it would count as present from then on). A size that is only
// counted (a style file's) is not checked.
TEST_F(DownFileManagerTest, ExactSizesAreEnforced) {
  const auto served = static_cast<std::int64_t>(fs::file_size(root_.path() / "am.bin"));
  const Entries exact{{url("am.bin"), served, true}}, counted{{url("am.bin"), served}};
  for (const long long delta : {-4LL, 4LL}) {
    SCOPED_TRACE(delta);
    ASSERT_TRUE(service_->set_file({{"name", "am.bin"}, {"mode", "wrong_size"}, {"size_delta", delta}}));
    ASSERT_TRUE(manager_->checkEngineFiles(exact, 0));
    EXPECT_EQ(run_batch()->message, kDownFileBatchFailedPrefix + url("am.bin") + ": Downloaded " +
                                        std::to_string(served + delta) + " bytes, expected " + std::to_string(served));
    EXPECT_TRUE(nothing_cached());
  }
  // A cached weight file of the wrong length (cut after it was cached) is fetched again; with a
  // size that is only counted, the cached file stands.
  ASSERT_TRUE(service_->reset());
  ASSERT_TRUE(manager_->checkEngineFiles(exact, 0));
  ASSERT_TRUE(run_batch()->success);
  fs::resize_file(cache_dir() / "am.bin", static_cast<std::uintmax_t>(served / 2));
  ASSERT_FALSE(manager_->checkEngineFiles(counted, 0));
  ASSERT_TRUE(manager_->checkEngineFiles(exact, 0));
  EXPECT_TRUE(run_batch()->success);
  EXPECT_EQ(fs::file_size(cache_dir() / "am.bin"), static_cast<std::uintmax_t>(served));
  EXPECT_EQ(file_requests()["/files/am.bin"], 2 + 2);  // two refused, the first fetch, the re-fetch
  fs::remove(cache_dir() / "am.bin");
  // Counted only: a body of another length is taken.
  ASSERT_TRUE(service_->set_file({{"name", "am.bin"}, {"mode", "wrong_size"}, {"size_delta", 4}}));
  ASSERT_TRUE(manager_->checkEngineFiles(counted, 0));
  EXPECT_TRUE(run_batch()->success);
  EXPECT_EQ(fs::file_size(cache_dir() / "am.bin"), static_cast<std::uintmax_t>(served + 4));
}

// Name rules are down_file_rules_test's; a refused name or reference never reaches the network,
// and without a caches directory (no XDG_CACHE_HOME, no HOME) nothing can be cached.
TEST_F(DownFileManagerTest, RefusedReferencesAndCacheDirectory) {
  const std::pair<std::string, std::int64_t> refused[] = {
      {url("%2E%2E%2Fescaped.bin"), kDownFileInvalidFileName}, {"files/am.bin", kDownFileInvalidURL}};
  for (const auto& [reference, code] : refused) {
    EXPECT_EQ(manager_->getFilePath(reference), "") << reference;
    EXPECT_EQ(code_of(download(reference)), std::pair(std::string(kDownFileErrorDomain), code)) << reference;
  }
  EXPECT_TRUE(service_->requests().empty());
  EXPECT_FALSE(fs::exists(cache_.path() / "escaped.bin"));

  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::unsetenv("XDG_CACHE_HOME");
  ::unsetenv("HOME");
  const auto got = std::tuple{manager_->cleanAllFiles(), manager_->getCachePath(), code_of(download(url("am.bin")))};
  if (!home.empty()) ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_CACHE_HOME", cache_.path().c_str(), 1);
  EXPECT_EQ(got, std::tuple(false, std::nullopt, std::pair(std::string(kDownFileErrorDomain), kDownFileNoCacheDirectory)));
}

// A cached file's path is answered for any reference with its name; the cache is cleaned only
// while nothing is in flight.
TEST_F(DownFileManagerTest, FilePathsAndCleaning) {
  const std::string am = url("am.bin");
  EXPECT_EQ(manager_->getFilePath(am), "");  // not the would-be path
  EXPECT_TRUE(download(am)->success);
  EXPECT_EQ(manager_->getFilePath("https://elsewhere.example/x/am.bin?v=2"), (cache_dir() / "am.bin").string());
  throttle("bn.bin", 8192, 30);
  auto slow = std::make_shared<Recorder>("slow");
  manager_->downloadFile(url("bn.bin"), progress_of(slow), file_of(slow));
  EXPECT_TRUE(manager_->isDownloading());
  EXPECT_FALSE(manager_->cleanAllFiles());
  ASSERT_TRUE(slow->wait());
  drain_main_queue();
  EXPECT_FALSE(manager_->isDownloading());
  EXPECT_TRUE(manager_->cleanAllFiles());
  EXPECT_EQ(std::tuple(fs::exists(cache_dir()), manager_->getFilePath(am)), std::tuple(false, ""));
  EXPECT_EQ(MVRtvcDownFileManager::sharedManager(), MVRtvcDownFileManager::sharedManager());
}

// A second batch while one runs waits for it, and single downloads queue likewise: one file in
// flight at a time; each reports once; a file both want is fetched once.
TEST_F(DownFileManagerTest, OneFileInFlightAcrossBatchesAndSingleDownloads) {
  for (const char* name : {"am.bin", "bn.bin"}) throttle(name, 8192, 20);
  auto order = std::make_shared<Strings>();
  auto first = std::make_shared<Recorder>("1", order), second = std::make_shared<Recorder>("2", order),
       refused = std::make_shared<Recorder>("x", order), again = std::make_shared<Recorder>("a", order);
  manager_->changeEngineSpeakerFiles({url("am.bin"), url("bn.bin")});
  manager_->startDownloadEngineFiles(progress_of(first), batch_of(first));
  ASSERT_TRUE(first->wait_for([&] { return !first->progress.empty(); }));
  ASSERT_TRUE(manager_->checkEngineFiles(Entries{{url("bn.bin"), 1}, {url("voices/alice.txt"), 1}}, 0));
  manager_->startDownloadEngineFiles(progress_of(second), batch_of(second));
  // Nothing new prepared: refused, the running batches keep going.
  manager_->startDownloadEngineFiles(nullptr, batch_of(refused));
  manager_->downloadFile(url("am.bin"), progress_of(again), file_of(again));
  for (const auto& r : {first, second, refused, again}) ASSERT_TRUE(r->wait()) << r->tag;
  drain_main_queue();

  std::lock_guard lock(g_mutex);
  for (const auto& r : {first, second, refused, again}) {
    EXPECT_EQ(r->completions, 1) << r->tag;
    EXPECT_EQ(r->success, r != refused) << r->tag << ": " << r->message;
    EXPECT_TRUE(r->on_main);
  }
  EXPECT_EQ(refused->message, kDownFileBatchRunningMessage);
  EXPECT_TRUE(again->progress.empty());  // already cached when its turn came
  // Nothing of the second batch comes before the first one completed.
  const auto position = [&](const std::string& prefix) {
    const auto at = [&](const std::string& e) { return e.starts_with(prefix); };
    return std::find_if(order->begin(), order->end(), at) - order->begin();
  };
  EXPECT_GT(position("2:"), position("1:c"));
  EXPECT_EQ(file_requests(),
            (std::map<std::string, int>{{"/files/am.bin", 1}, {"/files/bn.bin", 1}, {"/files/voices/alice.txt", 1}}));
}

}  // namespace
}  // namespace mvsdk
