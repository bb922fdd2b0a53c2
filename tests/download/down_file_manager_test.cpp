// MVRtvcDownFileManager against the local service (mvsdk-service), started per test on
// 127.0.0.1. The cache goes to a temporary XDG_CACHE_HOME. Every wait has a timeout.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <thread>

#include "download/mv_rtvc_down_file_manager.h"
#include "models/speaker_list_model.h"
#include "platform/dispatch.h"
#include "support/local_service.h"

namespace mvsdk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::main_queue;

constexpr auto kWait = 30s;                // upper bound for one batch or download
constexpr std::size_t kBinBytes = 64 * 1024;  // several progress reports per weight file

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs everything already posted to the main queue, then returns.
void drain_main_queue() {
  auto done = std::make_shared<std::promise<void>>();
  auto f = done->get_future();
  main_queue().async([done] { done->set_value(); });
  ASSERT_EQ(f.wait_for(kWait), std::future_status::ready);
}

// What callbacks reported, from the main queue; `events` is shared between recorders so the
// order across batches can be checked.
struct Events {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> order;
};

struct Recorder {
  explicit Recorder(std::string tag, std::shared_ptr<Events> events = std::make_shared<Events>())
      : tag(std::move(tag)), events(std::move(events)) {}
  std::string tag;
  std::shared_ptr<Events> events;
  std::vector<float> progress;
  int completions = 0;
  bool success = false;
  std::string message;
  std::optional<Error> error;
  bool on_main = true;

  void note(const std::string& what) {
    on_main = on_main && main_queue().is_current();
    events->order.push_back(tag + what);
  }
  bool wait(std::chrono::seconds timeout = kWait) {
    std::unique_lock lock(events->mutex);
    return events->cv.wait_for(lock, timeout, [&] { return completions > 0; });
  }
  std::vector<float> progress_seen() {
    std::lock_guard lock(events->mutex);
    return progress;
  }
};

MVRtvcDownFileManager::ProgressBlock progress_of(const std::shared_ptr<Recorder>& r) {
  return [r](float f) {
    std::lock_guard lock(r->events->mutex);
    r->progress.push_back(f);
    r->note(":p");
    r->events->cv.notify_all();
  };
}
MVRtvcDownFileManager::BatchCompleteBlock batch_complete_of(const std::shared_ptr<Recorder>& r) {
  return [r](bool success, const std::string& message) {
    std::lock_guard lock(r->events->mutex);
    ++r->completions;
    r->success = success;
    r->message = message;
    r->note(":c");
    r->events->cv.notify_all();
  };
}
MVRtvcDownFileManager::FileCompleteBlock file_complete_of(const std::shared_ptr<Recorder>& r) {
  return [r](bool success, const std::optional<Error>& error) {
    std::lock_guard lock(r->events->mutex);
    ++r->completions;
    r->success = success;
    r->error = error;
    r->note(":c");
    r->events->cv.notify_all();
  };
}

class DownFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(cache_.path().empty());
    ::setenv("XDG_CACHE_HOME", cache_.path().c_str(), 1);
    ::unsetenv("MVSDK_DOWNLOAD_STALL_SECONDS");
    test::write_sample_service_folder(root_.path(), kBinBytes);
    service_ = std::make_unique<test::LocalService>(root_.path());
    ASSERT_TRUE(service_->ok()) << service_->error();
    manager_ = MVRtvcDownFileManager::create();
  }
  void TearDown() override {
    manager_.reset();
    drain_main_queue();
    service_.reset();
    ::unsetenv("MVSDK_DOWNLOAD_STALL_SECONDS");
  }

  std::string url(const std::string& rel) const { return service_->url() + "/files/" + rel; }
  fs::path cache_dir() const { return cache_.path() / "MVRtvcFile"; }

  // The file list as the facade builds it from the served catalogue: style files, then weights.
  std::vector<MVRtvcDownFileEntry> catalogue_entries() {
    const auto catalogue = MVRtvcSpeakerListModel::transferModel(service_->catalogue());
    std::vector<MVRtvcDownFileEntry> entries;
    for (const auto& s : catalogue.speakers) entries.push_back({s.speakerInfo, 4096});
    for (const auto& b : catalogue.binFiles) entries.push_back({b.file, b.size});
    return entries;
  }

  // GET requests for files, by path.
  std::map<std::string, int> file_requests() const {
    std::map<std::string, int> n;
    for (const auto& r : service_->requests()) {
      if (r.value("method", "") == "GET" && r.value("path", "").starts_with("/files/")) ++n[r["path"]];
    }
    return n;
  }

  // Files in the cache directory (".partial" excluded), by name.
  std::vector<std::string> cached_names() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(cache_dir(), ec)) {
      if (e.path().filename() != ".partial") names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::shared_ptr<Recorder> run_batch(const std::string& tag = "b") {
    auto r = std::make_shared<Recorder>(tag);
    manager_->startDownloadEngineFiles(progress_of(r), batch_complete_of(r));
    EXPECT_TRUE(r->wait()) << "batch did not complete";
    drain_main_queue();
    return r;
  }

  std::shared_ptr<Recorder> download(const std::string& reference) {
    auto r = std::make_shared<Recorder>("f");
    manager_->downloadFile(reference, progress_of(r), file_complete_of(r));
    EXPECT_TRUE(r->wait()) << "download did not complete";
    drain_main_queue();
    return r;
  }

  test::TempDir cache_{"mvsdk-dl-cache"};
  test::TempDir root_{"mvsdk-dl-root"};
  std::unique_ptr<test::LocalService> service_;
  std::shared_ptr<MVRtvcDownFileManager> manager_;
};

TEST_F(DownFileManagerTest, WholeCatalogueWithSharesAndExactFiles) {
  const auto entries = catalogue_entries();
  ASSERT_EQ(entries.size(), 5u);
  ASSERT_TRUE(manager_->checkEngineFiles(entries, 0));
  const auto state = manager_->state();
  EXPECT_EQ(state.binCount, 3);
  EXPECT_EQ(state.speakerCount, 2);
  EXPECT_FLOAT_EQ(state.binProgress, 0.8f);
  EXPECT_FLOAT_EQ(state.speakerProgress, 0.2f);
  EXPECT_EQ(state.allSize, 2 * 4096 + 3 * static_cast<std::int64_t>(kBinBytes));

  const auto r = run_batch();
  EXPECT_EQ(r->completions, 1);
  EXPECT_TRUE(r->success) << r->message;
  EXPECT_TRUE(r->on_main);

  // After each file the fraction reaches the sum of the shares so far, never going back.
  const auto progress = r->progress_seen();
  ASSERT_FALSE(progress.empty());
  EXPECT_FLOAT_EQ(progress.back(), 1.0f);
  for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_GE(progress[i], progress[i - 1] - 1e-6f);
  float boundary = 0;
  const float shares[] = {0.1f, 0.1f, 0.8f / 3, 0.8f / 3, 0.8f / 3};
  for (float share : shares) {
    boundary += share;
    EXPECT_TRUE(std::any_of(progress.begin(), progress.end(), [&](float p) { return std::fabs(p - boundary) < 1e-5f; }))
        << "no report at " << boundary;
  }

  // Every file arrived whole under its own name; each was requested once, with the one header.
  EXPECT_EQ(cached_names(), (std::vector<std::string>{"alice.txt", "am.bin", "bn.bin", "bob.txt", "voc.bin"}));
  for (const auto& e : entries) {
    const std::string local = manager_->getFilePath(e.filePath);
    ASSERT_FALSE(local.empty()) << e.filePath;
    const std::string rel = e.filePath.substr(e.filePath.find("/files/") + 7);
    EXPECT_EQ(read_file(local), read_file(root_.path() / rel)) << rel;
  }
  const auto requests = service_->requests();
  ASSERT_EQ(requests.size(), 5u);
  for (const auto& req : requests) {
    EXPECT_EQ(test::header_values(req, "Accept"), std::vector<std::string>{"application/octet-stream"});
    EXPECT_TRUE(test::header_values(req, "Authorization").empty());
  }

  // All cached now: nothing to do, nothing requested.
  service_->clear_requests();
  EXPECT_FALSE(manager_->checkEngineFiles(entries, 0));
  EXPECT_TRUE(service_->requests().empty());
}

TEST_F(DownFileManagerTest, DuplicatesAreQueuedOnceAndCachedEntriesCountAsDone) {
  const std::string am = url("am.bin"), alice = url("voices/alice.txt");
  ASSERT_TRUE(manager_->checkEngineFiles(std::vector<MVRtvcDownFileEntry>{{am, 10}, {am, 10}, {"", 5}, {alice, std::nullopt}, {am, 10}}, 0));
  auto state = manager_->state();
  EXPECT_EQ(state.downStringArray, (std::vector<std::string>{am, alice}));
  EXPECT_EQ(state.allSize, 10);
  EXPECT_EQ(state.fileSizeMap, (std::map<std::string, std::int64_t>{{am, 10}}));
  EXPECT_TRUE(run_batch()->success);
  EXPECT_EQ(file_requests(), (std::map<std::string, int>{{"/files/am.bin", 1}, {"/files/voices/alice.txt", 1}}));

  // A prepared batch whose files are cached by the time it runs: shares only, no request.
  service_->clear_requests();
  manager_->changeEngineSpeakerFiles({am, alice});
  const auto r = run_batch();
  EXPECT_TRUE(r->success);
  EXPECT_EQ(r->progress_seen(), (std::vector<float>{0.8f, 1.0f, 1.0f}));
  EXPECT_TRUE(file_requests().empty());

  // The same from JSON, as a dictionary list: mistyped entries are skipped.
  const nlohmann::json list = {{{"filePath", url("bn.bin")}, {"size", 7}, {"type", "binFile"}},
                               {{"filePath", 5}},
                               "voices/bob.txt",
                               {{"filePath", am}, {"size", "big"}}};
  ASSERT_TRUE(manager_->checkEngineFiles(list, 0));
  state = manager_->state();
  EXPECT_EQ(state.downStringArray, std::vector<std::string>{url("bn.bin")});
  EXPECT_EQ(state.allSize, 7);
}

TEST_F(DownFileManagerTest, NoProgressWithoutContentLength) {
  ASSERT_TRUE(service_->set_file({{"name", "am.bin"}, {"mode", "no_length"}}));
  const auto f = download(url("am.bin"));
  EXPECT_TRUE(f->success);
  EXPECT_TRUE(f->progress_seen().empty());
  EXPECT_EQ(read_file(cache_dir() / "am.bin"), read_file(root_.path() / "am.bin"));

  // In a batch the file adds nothing until the batch's final 1.0.
  ASSERT_TRUE(service_->set_file({{"name", "bn.bin"}, {"mode", "no_length"}}));
  manager_->changeEngineSpeakerFiles({url("bn.bin")});
  const auto b = run_batch();
  EXPECT_TRUE(b->success);
  EXPECT_EQ(b->progress_seen(), std::vector<float>{1.0f});
}

TEST_F(DownFileManagerTest, FailedDownloadsLeaveNothingAndFailTheBatch) {
  ASSERT_TRUE(service_->set_file({{"name", "am.bin"}, {"mode", "cut"}}));
  ASSERT_TRUE(service_->set_file({{"name", "voices/bob.txt"}, {"mode", "404"}}));

  const auto cut = download(url("am.bin"));
  EXPECT_FALSE(cut->success);
  ASSERT_TRUE(cut->error.has_value());
  EXPECT_EQ(cut->error->domain, kCurlErrorDomain);
  EXPECT_EQ(manager_->getFilePath(url("am.bin")), "");

  const auto missing = download(url("voices/bob.txt"));
  EXPECT_FALSE(missing->success);
  ASSERT_TRUE(missing->error.has_value());
  EXPECT_EQ(missing->error->domain, kDownFileErrorDomain);
  EXPECT_EQ(missing->error->code, kDownFileHttpStatus);
  EXPECT_NE(missing->error->description.find("404"), std::string::npos);
  EXPECT_TRUE(cached_names().empty());
  EXPECT_TRUE(fs::is_empty(cache_dir() / ".partial"));

  // A batch in which two files fail completes without success, naming both; the file
  // between them still arrives, and the fraction still ends at 1.0.
  ASSERT_TRUE(manager_->checkEngineFiles(catalogue_entries(), 0));
  const auto b = run_batch();
  EXPECT_EQ(b->completions, 1);
  EXPECT_FALSE(b->success);
  EXPECT_TRUE(b->message.starts_with(kDownFileBatchFailedPrefix)) << b->message;
  EXPECT_NE(b->message.find(url("am.bin")), std::string::npos) << b->message;
  EXPECT_NE(b->message.find(url("voices/bob.txt")), std::string::npos) << b->message;
  EXPECT_EQ(b->message.find(url("bn.bin")), std::string::npos) << b->message;
  EXPECT_FLOAT_EQ(b->progress_seen().back(), 1.0f);
  EXPECT_EQ(cached_names(), (std::vector<std::string>{"alice.txt", "bn.bin", "voc.bin"}));

  // The next check queues exactly what failed, and it arrives once the server behaves.
  ASSERT_TRUE(service_->reset());
  ASSERT_TRUE(manager_->checkEngineFiles(catalogue_entries(), 0));
  EXPECT_EQ(manager_->state().downStringArray, (std::vector<std::string>{url("voices/bob.txt"), url("am.bin")}));
  EXPECT_TRUE(run_batch()->success);
  EXPECT_EQ(read_file(cache_dir() / "am.bin"), read_file(root_.path() / "am.bin"));
}

TEST_F(DownFileManagerTest, StallLimitFromTheEnvironment) {
  ::setenv("MVSDK_DOWNLOAD_STALL_SECONDS", "1", 1);
  ASSERT_TRUE(service_->set_file({{"name", "am.bin"}, {"mode", "throttle"}, {"chunk_bytes", 1024}, {"delay_ms", 2500}}));
  const auto r = download(url("am.bin"));
  EXPECT_FALSE(r->success);
  ASSERT_TRUE(r->error.has_value());
  EXPECT_EQ(r->error->domain, kCurlErrorDomain);
  EXPECT_EQ(manager_->getFilePath(url("am.bin")), "");
}

// A weight file whose catalogue size is exact must arrive at that size: a body of another
// length fails the entry and is not cached (it would count as present from then on). A size that
// is only counted (a style file's) is not checked.
TEST_F(DownFileManagerTest, ExactSizesAreEnforced) {
  const auto served = static_cast<std::int64_t>(fs::file_size(root_.path() / "am.bin"));
  for (const long long delta : {-4LL, 4LL}) {
    SCOPED_TRACE(delta);
    ASSERT_TRUE(service_->set_file({{"name", "am.bin"}, {"mode", "wrong_size"}, {"size_delta", delta}}));
    ASSERT_TRUE(manager_->checkEngineFiles(std::vector<MVRtvcDownFileEntry>{{url("am.bin"), served, true}}, 0));
    const auto r = run_batch();
    EXPECT_FALSE(r->success);
    EXPECT_EQ(r->message, kDownFileBatchFailedPrefix + url("am.bin") + ": Downloaded " +
                              std::to_string(served + delta) + " bytes, expected " + std::to_string(served));
    EXPECT_EQ(manager_->getFilePath(url("am.bin")), "");
    EXPECT_TRUE(cached_names().empty());
    EXPECT_TRUE(fs::is_empty(cache_dir() / ".partial"));
  }
  // A cached weight file of the wrong length (cut or overwritten after it was cached) is fetched
  // again; with a size that is only counted, the cached file stands.
  ASSERT_TRUE(service_->reset());
  ASSERT_TRUE(manager_->checkEngineFiles(std::vector<MVRtvcDownFileEntry>{{url("am.bin"), served, true}}, 0));
  ASSERT_TRUE(run_batch()->success);
  fs::resize_file(cache_dir() / "am.bin", static_cast<std::uintmax_t>(served / 2));
  ASSERT_FALSE(manager_->checkEngineFiles(std::vector<MVRtvcDownFileEntry>{{url("am.bin"), served}}, 0));
  ASSERT_TRUE(manager_->checkEngineFiles(std::vector<MVRtvcDownFileEntry>{{url("am.bin"), served, true}}, 0));
  EXPECT_TRUE(run_batch()->success);
  EXPECT_EQ(fs::file_size(cache_dir() / "am.bin"), static_cast<std::uintmax_t>(served));
  EXPECT_EQ(file_requests()["/files/am.bin"], 2 + 2);  // two refused, the first fetch, the re-fetch
  fs::remove(cache_dir() / "am.bin");

  // Counted only: a body of another length is taken.
  ASSERT_TRUE(service_->set_file({{"name", "am.bin"}, {"mode", "wrong_size"}, {"size_delta", 4}}));
  ASSERT_TRUE(manager_->checkEngineFiles(std::vector<MVRtvcDownFileEntry>{{url("am.bin"), served}}, 0));
  EXPECT_TRUE(run_batch()->success);
  EXPECT_EQ(fs::file_size(cache_dir() / "am.bin"), static_cast<std::uintmax_t>(served + 4));
}

TEST_F(DownFileManagerTest, HostileFileNamesAreRefused) {
  const std::string outside = (cache_.path() / "escaped.bin").string();
  for (const std::string& ref : {url("%2E%2E"), url("."), url("a%2Fb.bin"), url("x%00y.bin"), url("%2E%2E%2Fescaped.bin"),
                                 url(".partial")}) {
    EXPECT_EQ(manager_->getFilePath(ref), "") << ref;
    const auto r = download(ref);
    EXPECT_FALSE(r->success) << ref;
    ASSERT_TRUE(r->error.has_value()) << ref;
    EXPECT_EQ(r->error->domain, kDownFileErrorDomain);
    EXPECT_EQ(r->error->code, kDownFileInvalidFileName) << ref;
  }
  EXPECT_TRUE(service_->requests().empty());
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_TRUE(cached_names().empty());

  // Not a URL at all.
  const auto bad = download("files/am.bin");
  ASSERT_TRUE(bad->error.has_value());
  EXPECT_EQ(bad->error->code, kDownFileInvalidURL);
}

TEST_F(DownFileManagerTest, FilePathsAndCleaning) {
  const std::string am = url("am.bin");
  EXPECT_EQ(manager_->getFilePath(am), "");  // not the would-be path
  EXPECT_EQ(manager_->getFilePath(""), "");
  EXPECT_FALSE(fs::exists(cache_dir()));
  EXPECT_TRUE(manager_->cleanAllFiles());  // nothing to delete
  EXPECT_EQ(manager_->getCachePath(), std::optional<fs::path>(cache_.path()));

  EXPECT_TRUE(download(am)->success);
  EXPECT_EQ(manager_->getFilePath(am), (cache_dir() / "am.bin").string());
  // The reference's last segment is the name, wherever it comes from.
  EXPECT_EQ(manager_->getFilePath("https://elsewhere.example/x/am.bin?v=2"), (cache_dir() / "am.bin").string());

  // Not while a download is in flight: nothing is touched then.
  ASSERT_TRUE(service_->set_file({{"name", "bn.bin"}, {"mode", "throttle"}, {"chunk_bytes", 8192}, {"delay_ms", 30}}));
  auto slow = std::make_shared<Recorder>("slow");
  manager_->downloadFile(url("bn.bin"), progress_of(slow), file_complete_of(slow));
  EXPECT_TRUE(manager_->isDownloading());
  EXPECT_FALSE(manager_->cleanAllFiles());
  ASSERT_TRUE(slow->wait());
  EXPECT_TRUE(slow->success);
  drain_main_queue();
  EXPECT_FALSE(manager_->isDownloading());

  EXPECT_TRUE(manager_->cleanAllFiles());
  EXPECT_FALSE(fs::exists(cache_dir()));
  EXPECT_EQ(manager_->getFilePath(am), "");
  EXPECT_TRUE(manager_->state().downStringArray.empty());

  // No caches directory at all.
  const char* home = std::getenv("HOME");
  const std::string saved_home = home ? home : "";
  ::unsetenv("XDG_CACHE_HOME");
  ::unsetenv("HOME");
  const bool cleaned = manager_->cleanAllFiles();
  const std::string path = manager_->getFilePath(am);
  const bool has_cache_path = manager_->getCachePath().has_value();
  const auto r = download(am);
  if (home) ::setenv("HOME", saved_home.c_str(), 1);
  ::setenv("XDG_CACHE_HOME", cache_.path().c_str(), 1);
  EXPECT_FALSE(cleaned);
  EXPECT_EQ(path, "");
  EXPECT_FALSE(has_cache_path);
  ASSERT_TRUE(r->error.has_value());
  EXPECT_EQ(r->error->code, kDownFileNoCacheDirectory);
}

// A second batch while one runs waits for it: one file in flight at a time (even across hosts,
// which the transport would run side by side), each batch completes once, and a file both want
// is fetched once.
TEST_F(DownFileManagerTest, SecondBatchWaitsForTheRunningOne) {
  for (const char* name : {"am.bin", "bn.bin", "voc.bin"}) {
    ASSERT_TRUE(service_->set_file({{"name", name}, {"mode", "throttle"}, {"chunk_bytes", 8192}, {"delay_ms", 20}}));
  }
  const std::string other_host = "http://localhost:" + std::to_string(service_->port()) + "/files/";
  auto events = std::make_shared<Events>();
  auto first = std::make_shared<Recorder>("1", events);
  auto second = std::make_shared<Recorder>("2", events);
  auto refused = std::make_shared<Recorder>("x", events);

  manager_->changeEngineSpeakerFiles({url("am.bin"), url("bn.bin")});
  manager_->startDownloadEngineFiles(progress_of(first), batch_complete_of(first));
  {
    std::unique_lock lock(events->mutex);
    ASSERT_TRUE(events->cv.wait_for(lock, kWait, [&] { return !first->progress.empty(); }));
  }
  ASSERT_TRUE(manager_->checkEngineFiles(std::vector<MVRtvcDownFileEntry>{{other_host + "bn.bin", 1}, {other_host + "voc.bin", 1}, {url("voices/alice.txt"), 1}}, 0));
  manager_->startDownloadEngineFiles(progress_of(second), batch_complete_of(second));
  // Nothing new prepared: refused, the running batches keep going.
  manager_->startDownloadEngineFiles(nullptr, batch_complete_of(refused));

  ASSERT_TRUE(first->wait());
  ASSERT_TRUE(second->wait());
  ASSERT_TRUE(refused->wait());
  drain_main_queue();
  drain_main_queue();

  std::lock_guard lock(events->mutex);
  EXPECT_EQ(first->completions, 1);
  EXPECT_EQ(second->completions, 1);
  EXPECT_EQ(refused->completions, 1);
  EXPECT_TRUE(first->success) << first->message;
  EXPECT_TRUE(second->success) << second->message;
  EXPECT_FALSE(refused->success);
  EXPECT_EQ(refused->message, kDownFileBatchRunningMessage);
  EXPECT_FLOAT_EQ(second->progress.back(), 1.0f);
  // Everything the second batch reported came after the first one completed.
  const auto& order = events->order;
  const auto first_done = std::find(order.begin(), order.end(), "1:c");
  ASSERT_NE(first_done, order.end());
  EXPECT_TRUE(std::none_of(order.begin(), first_done, [](const std::string& e) { return e.starts_with("2:"); }));
  EXPECT_TRUE(std::none_of(first_done + 1, order.end(), [](const std::string& e) { return e.starts_with("1:"); }));
  EXPECT_EQ(file_requests(), (std::map<std::string, int>{{"/files/am.bin", 1},
                                                         {"/files/bn.bin", 1},
                                                         {"/files/voc.bin", 1},
                                                         {"/files/voices/alice.txt", 1}}));
}

// Single downloads queue behind one another, across hosts too, and each reports exactly once.
TEST_F(DownFileManagerTest, SingleDownloadsRunOneAtATime) {
  ASSERT_TRUE(service_->set_file({{"name", "am.bin"}, {"mode", "throttle"}, {"chunk_bytes", 8192}, {"delay_ms", 20}}));
  auto events = std::make_shared<Events>();
  auto a = std::make_shared<Recorder>("a", events);
  auto b = std::make_shared<Recorder>("b", events);
  auto again = std::make_shared<Recorder>("c", events);
  manager_->downloadFile(url("am.bin"), progress_of(a), file_complete_of(a));
  manager_->downloadFile("http://localhost:" + std::to_string(service_->port()) + "/files/bn.bin", progress_of(b),
                         file_complete_of(b));
  manager_->downloadFile(url("am.bin"), progress_of(again), file_complete_of(again));
  ASSERT_TRUE(a->wait());
  ASSERT_TRUE(b->wait());
  ASSERT_TRUE(again->wait());
  drain_main_queue();

  std::lock_guard lock(events->mutex);
  EXPECT_TRUE(a->success && b->success && again->success);
  EXPECT_EQ(a->completions + b->completions + again->completions, 3);
  EXPECT_TRUE(a->on_main && b->on_main && again->on_main);
  const auto& order = events->order;
  const auto a_done = std::find(order.begin(), order.end(), "a:c");
  EXPECT_TRUE(std::none_of(order.begin(), a_done, [](const std::string& e) { return e.starts_with("b:"); }));
  EXPECT_TRUE(again->progress.empty());  // already cached when its turn came
  EXPECT_EQ(file_requests(), (std::map<std::string, int>{{"/files/am.bin", 1}, {"/files/bn.bin", 1}}));
}

// A callback may call the manager again: a batch started from the completion of the last one runs.
TEST_F(DownFileManagerTest, NextBatchFromACompletionCallback) {
  auto next = std::make_shared<Recorder>("next");
  std::weak_ptr<MVRtvcDownFileManager> weak = manager_;
  const std::string bn = url("bn.bin");
  manager_->changeEngineSpeakerFiles({url("am.bin")});
  auto first = std::make_shared<Recorder>("first");
  manager_->startDownloadEngineFiles(nullptr, [weak, bn, next, first](bool success, const std::string& message) {
    batch_complete_of(first)(success, message);
    auto m = weak.lock();
    if (!m) return;
    m->changeEngineSpeakerFiles({bn});
    m->startDownloadEngineFiles(progress_of(next), batch_complete_of(next));
  });
  ASSERT_TRUE(first->wait());
  ASSERT_TRUE(next->wait());
  drain_main_queue();
  EXPECT_TRUE(first->success);
  EXPECT_TRUE(next->success);
  EXPECT_EQ(next->completions, 1);
  EXPECT_FALSE(manager_->getFilePath(bn).empty());
}

// The manager may go away with a download in flight and a batch waiting: the transfer stops, its
// temporary file goes, and nothing is reported to the callbacks of the manager that is gone.
TEST_F(DownFileManagerTest, DestroyedWithWorkInFlight) {
  ASSERT_TRUE(service_->set_file({{"name", "am.bin"}, {"mode", "throttle"}, {"chunk_bytes", 1024}, {"delay_ms", 20}}));
  auto events = std::make_shared<Events>();
  auto running = std::make_shared<Recorder>("1", events);
  auto waiting = std::make_shared<Recorder>("2", events);
  manager_->changeEngineSpeakerFiles({url("am.bin")});
  manager_->startDownloadEngineFiles(progress_of(running), batch_complete_of(running));
  manager_->changeEngineSpeakerFiles({url("bn.bin")});
  manager_->startDownloadEngineFiles(progress_of(waiting), batch_complete_of(waiting));
  {
    std::unique_lock lock(events->mutex);
    ASSERT_TRUE(events->cv.wait_for(lock, kWait, [&] { return !running->progress.empty(); }));
  }
  manager_.reset();
  // The cancelled transfer removes its temporary file before it reports; wait for that.
  const fs::path partial = cache_dir() / ".partial";
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  std::error_code ec;
  while (!fs::is_empty(partial, ec) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(fs::is_empty(partial, ec));
  drain_main_queue();
  drain_main_queue();
  std::lock_guard lock(events->mutex);
  EXPECT_EQ(running->completions, 0);
  EXPECT_EQ(waiting->completions, 0);
  EXPECT_TRUE(cached_names().empty());
}

TEST(DownFileManagerSingleton, OneInstancePerProcess) {
  EXPECT_EQ(MVRtvcDownFileManager::sharedManager(), MVRtvcDownFileManager::sharedManager());
  EXPECT_NE(MVRtvcDownFileManager::sharedManager(), MVRtvcDownFileManager::create());
}

}  // namespace
}  // namespace mvsdk
