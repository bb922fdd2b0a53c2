// Faults of the cloud service and of the model files, seen from the host through the SDK
// manager: each fault gives the host the right action result, leaves no partial or temporary
// file in the cache folder, and a later checkResources against the healthy service completes the
// cache (every catalogue file present at its true size). The service runs on 127.0.0.1 on a port
// the system picks and is stopped by the fixture.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mvsdk/mvsdk.h"
#include "support/bridge_fixtures.h"
#include "support/local_service.h"
#include "support/log_capture.h"
#include "support/sdk_fixtures.h"

namespace mvsdk {
namespace {

namespace fs = std::filesystem;
using test::ActionResult;
using test::ResultRecorder;

// Long enough for a whole download or an engine start under sanitizers.
constexpr auto kWait = std::chrono::seconds(120);
constexpr const char* kFailedPrefix = "Some files failed to download: ";
constexpr const char* kStallSeconds = "1";

class SDKFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cache = test::bridge_cache_dir();  // private caches and settings folders
    // A stalled download fails after a second instead of a minute.
    ::setenv("MVSDK_DOWNLOAD_STALL_SECONDS", kStallSeconds, 1);
    folder = test::sdk_service_folder();
    ASSERT_FALSE(folder.empty()) << "mvsdk-models failed";
    service = std::make_unique<test::LocalService>(folder);
    ASSERT_TRUE(service->ok()) << service->error();
    MVSDKManager::setServiceBaseUrl(service->url());
    manager = MVSDKManager::create();
    manager->setEngineConfig(test::recorded_config(recorder));
    // The catalogue's files by cache name, with their true sizes (the service folder's files).
    const auto catalogue = service->catalogue();
    for (const auto& b : catalogue["binFiles"]) {
      const std::string ref = b["file"].get<std::string>();
      bins.push_back(ref);
      sizes[name_of(ref)] = fs::file_size(folder / name_of(ref));
      EXPECT_EQ(b["size"].get<std::int64_t>(), static_cast<std::int64_t>(sizes[name_of(ref)]));
    }
    for (const auto& s : catalogue["speakers"]) {
      const std::string ref = s["speakerInfo"].get<std::string>();
      voices.push_back(ref);
      sizes[name_of(ref)] = fs::file_size(folder / name_of(ref));
    }
    ASSERT_EQ(bins.size(), 3u);
    ASSERT_GE(voices.size(), 2u);
  }
  void TearDown() override {
    if (manager) manager->engineRelease();
    manager.reset();
    test::drain_engine_queue();
    test::drain_main_queue();
    ::unsetenv("MVSDK_DOWNLOAD_STALL_SECONDS");
  }

  static std::string name_of(const std::string& reference) {
    return reference.substr(reference.find_last_of('/') + 1);
  }

  ActionResult next() {
    auto got = recorder.next(kWait);
    if (!got) {
      ADD_FAILURE() << "no action result";
      return {};
    }
    EXPECT_TRUE(got->on_main_queue);
    return *got;
  }
  void expect_next(const ActionResult& want) {
    const ActionResult got = next();
    EXPECT_EQ(got, want) << test::to_string(got);
  }

  void prepare_ok() {
    manager->prepare();
    expect_next({2, 0, "success"});
  }
  void clean_cache() {
    manager->cleanAllFiles();
    expect_next({5, 0, "All files cleaned"});
  }
  // The healthy service again, and a checkResources that brings whatever is missing.
  void heal() {
    ASSERT_TRUE(service->reset());
    if (!manager->isPrepared()) prepare_ok();
    manager->checkResources();
    const ActionResult got = next();
    EXPECT_EQ(got.action, 3);
    EXPECT_EQ(got.code, 0) << got.message;
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusPrepared);
    expect_cache_complete();
  }

  // Every regular file anywhere under the cache folder, by path relative to it, with its size.
  std::map<std::string, std::uintmax_t> cache_files() const {
    std::map<std::string, std::uintmax_t> out;
    std::error_code ec;
    if (!fs::exists(cache, ec)) return out;
    for (auto it = fs::recursive_directory_iterator(cache, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (it->is_regular_file()) out[fs::relative(it->path(), cache).string()] = it->file_size();
    }
    return out;
  }
  // Nothing in the cache but whole catalogue files: no partial download, no temporary file.
  void expect_no_strays() const {
    for (const auto& [rel, size] : cache_files()) {
      const auto it = sizes.find(rel);
      if (it == sizes.end()) {
        ADD_FAILURE() << "stray file in the cache: " << rel << " (" << size << " bytes)";
      } else {
        EXPECT_EQ(size, it->second) << rel << " is cached at the wrong size";
      }
    }
  }
  void expect_cache_complete() const {
    const auto files = cache_files();
    for (const auto& [name, size] : sizes) {
      const auto it = files.find(name);
      if (it == files.end()) {
        ADD_FAILURE() << name << " is missing from the cache";
      } else {
        EXPECT_EQ(it->second, size) << name;
      }
    }
    expect_no_strays();
  }

  fs::path cache;
  fs::path folder;
  ResultRecorder recorder;
  std::unique_ptr<test::LocalService> service;
  std::shared_ptr<MVSDKManager> manager;
  std::vector<std::string> bins;    // references, bid order
  std::vector<std::string> voices;  // references, catalogue order
  std::map<std::string, std::uintmax_t> sizes;
};

// File faults during checkResources. The faulty file fails the batch (naming it and the cause),
// every other file is cached whole, the faulty one not at all, and start then finds it missing.
TEST_F(SDKFaultsTest, FileFaultsFailTheBatchAndLeaveNothingPartial) {
  struct Case {
    const char* what;
    nlohmann::json behaviour;  // for the first weight file
    const char* cause;         // text expected in the batch message after "reference: "
  };
  const std::vector<Case> cases = {
      {"connection cut half way", {{"mode", "cut"}}, ""},
      {"404", {{"mode", "404"}}, "Download failed with HTTP status 404"},
      {"500", {{"mode", "500"}}, "Download failed with HTTP status 500"},
      {"stalled after 1 KiB", {{"mode", "stall"}, {"stall_bytes", 1024}, {"stall_ms", 20000}},
       "no data received for 1 s"},
      {"4 bytes short", {{"mode", "wrong_size"}, {"size_delta", -4}}, "expected"},
      {"4 bytes too long", {{"mode", "wrong_size"}, {"size_delta", 4}}, "expected"},
  };
  clean_cache();
  prepare_ok();
  const std::string target = bins[0];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::cache_remove(name_of(target));
    nlohmann::json behaviour = c.behaviour;
    behaviour["name"] = name_of(target);
    ASSERT_TRUE(service->set_file(behaviour));
    manager->checkResources();
    const ActionResult got = next();
    EXPECT_EQ(got.action, 3);
    EXPECT_EQ(got.code, 2);
    const std::string head = std::string(kFailedPrefix) + target + ": ";
    EXPECT_EQ(got.message.rfind(head, 0), 0u) << got.message;
    EXPECT_NE(got.message.find(c.cause, head.size()), std::string::npos) << got.message;
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
    EXPECT_FALSE(fs::exists(cache / name_of(target)));
    expect_no_strays();
    // The fault reaches start: the weight file is missing.
    manager->start();
    expect_next({2, 6,
                 "Bin file local path does not exist: file1(" + target +
                     ") , please call checkResources to download files first"});
    heal();
  }
}

// A download without Content-Length is no fault: it completes and is cached whole.
TEST_F(SDKFaultsTest, DownloadWithoutLengthCompletes) {
  clean_cache();
  prepare_ok();
  ASSERT_TRUE(service->set_file({{"name", name_of(bins[1])}, {"mode", "no_length"}}));
  ASSERT_TRUE(service->set_file({{"name", name_of(voices[0])}, {"mode", "no_length"}}));
  manager->checkResources();
  const ActionResult got = next();
  EXPECT_EQ(got.action, 3);
  EXPECT_EQ(got.code, 0) << got.message;
  expect_cache_complete();
}

// A style file that failed to download reaches the voice change: the voice cannot be set, others
// can, and a later checkResources brings the file.
TEST_F(SDKFaultsTest, StyleFileFaultReachesTheVoiceChange) {
  clean_cache();
  prepare_ok();
  ASSERT_TRUE(service->set_file({{"name", name_of(voices[1])}, {"mode", "500"}}));
  manager->checkResources();
  const ActionResult got = next();
  EXPECT_EQ(got.action, 3);
  EXPECT_EQ(got.code, 2);
  EXPECT_EQ(got.message, std::string(kFailedPrefix) + voices[1] + ": Download failed with HTTP status 500");
  expect_no_strays();
  manager->start();
  expect_next({2, 0, "Engine started successfully"});
  manager->setVoice(2.0);
  expect_next({0, 3, "Failed to set speaker, unable to get resource"});
  manager->setVoice(1.0);
  expect_next({0, 0, "Set voice ID 1 successfully"});
  heal();
  manager->setVoice(2.0);
  expect_next({0, 0, "Set voice ID 2 successfully"});
}

// Faults of the service calls during prepare: the step that met the fault reports it with its
// action, nothing is downloaded or left half written, and the healthy service then prepares and
// completes the cache.
TEST_F(SDKFaultsTest, CallFaultsFailThePreparation) {
  constexpr const char* kLogin = "/api/sdkra/login";
  constexpr const char* kVersion = "/api/sdkra/checkVersion";
  constexpr const char* kList = "/api/sdkra/getSpeakerList";
  constexpr std::size_t kOverCap = (32u << 20) + 1;  // one byte over the reply limit
  struct Case {
    const char* what;
    nlohmann::json behaviour;
    std::int64_t action;
    std::optional<std::string> message;  // nullopt: any non-empty text
  };
  const std::vector<Case> cases = {
      {"login 404, no body", {{"path", kLogin}, {"status", 404}, {"form", "empty"}}, 1, "error"},
      {"login 500, code 0, empty message",
       {{"path", kLogin}, {"status", 500}, {"message", ""}},
       1,
       "error，code: 500"},
      {"login cut half way", {{"path", kLogin}, {"transfer", "cut"}}, 1, std::nullopt},
      {"version check 500", {{"path", kVersion}, {"status", 500}, {"message", "down for maintenance"}}, 1,
       "down for maintenance"},
      {"version check code 7", {{"path", kVersion}, {"code", 7}, {"message", "too old"}}, 1, "too old"},
      {"catalogue 404", {{"path", kList}, {"status", 404}, {"form", "empty"}}, 2, "error"},
      {"catalogue 500", {{"path", kList}, {"status", 500}, {"message", "no catalogue"}}, 2, "no catalogue"},
      {"catalogue cut half way", {{"path", kList}, {"transfer", "cut"}}, 2, std::nullopt},
      {"catalogue over the reply limit, announced", {{"path", kList}, {"pad_bytes", kOverCap}}, 2,
       "reply body larger than the limit of 33554432 bytes"},
      {"catalogue over the reply limit, chunked",
       {{"path", kList}, {"pad_bytes", kOverCap}, {"transfer", "chunked"}},
       2,
       "reply body larger than the limit of 33554432 bytes"},
  };
  clean_cache();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(service->set_call(c.behaviour));
    manager->prepare();
    const ActionResult got = next();
    EXPECT_EQ(got.action, c.action);
    EXPECT_EQ(got.code, 2);
    if (c.message) {
      EXPECT_EQ(got.message, *c.message);
    } else {
      EXPECT_FALSE(got.message.empty());
    }
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
    EXPECT_FALSE(manager->isPrepared());
    // Without a catalogue nothing can be checked or started.
    manager->checkResources();
    expect_next({3, 5, "Please call prepare method first"});
    expect_no_strays();
    // Healthy again: the preparation and the cache complete. The next case starts with two
    // files missing again.
    heal();
    manager->engineRelease();
    test::cache_remove(name_of(bins[2]));
    test::cache_remove(name_of(voices[0]));
  }
}

// A catalogue reply that is not JSON at all (or is cut short inside the JSON) is a reply without
// data: prepare succeeds with an empty catalogue, there is nothing to download, and start finds
// no weight files. The healthy catalogue then completes the cache.
TEST_F(SDKFaultsTest, CatalogueThatIsNotJsonLeavesAnEmptyCatalogue) {
  clean_cache();
  for (const char* body : {"<html>gateway error</html>", R"({"code":0,"data":{"speakers":[{"id":1,)"}) {
    SCOPED_TRACE(body);
    ASSERT_TRUE(service->set_call({{"path", "/api/sdkra/getSpeakerList"}, {"form", "raw"}, {"body", body}}));
    prepare_ok();
    EXPECT_TRUE(manager->getVoiceList().empty());
    manager->checkResources();
    expect_next({3, 0, "Resources already downloaded"});
    manager->start();
    expect_next({2, 6, "Bin file list does not exist or insufficient count, at least 3 files required"});
    expect_no_strays();
    manager->engineRelease();
    heal();
    manager->engineRelease();
    test::cache_remove(name_of(bins[0]));
  }
}

// Faulty model files in the cache: the engine does not start and the host hears of it (a file
// that is not there at start's check as code 6, one the engine refuses as the start timeout);
// the engine's log names the file. A healthy file then starts the engine.
TEST_F(SDKFaultsTest, FaultyModelFilesKeepTheEngineFromStarting) {
  clean_cache();
  prepare_ok();
  manager->checkResources();
  ASSERT_EQ(next().code, 0);
  const std::string target = bins[1];
  const fs::path cached = cache / name_of(target);
  const fs::path good = folder / name_of(target);
  const std::string missing_message =
      "Bin file local path does not exist: file2(" + target + ") , please call checkResources to download files first";
  const std::uintmax_t size = fs::file_size(good);

  struct Case {
    const char* what;
    std::function<bool()> make;  // false: cannot be made here (skipped)
    ActionResult want;
    bool logged;
  };
  const std::vector<Case> cases = {
      {"missing", [&] { return fs::remove(cached); }, {2, 6, missing_message}, false},
      {"empty", [&] { return static_cast<bool>(std::ofstream(cached, std::ios::trunc)); },
       {2, 5, "Engine start timeout"}, true},
      {"one float short",
       [&] {
         fs::resize_file(cached, size - sizeof(float));
         return true;
       },
       {2, 5, "Engine start timeout"}, true},
      // Reads of /proc/self/mem at offset 0 fail: a file that opens but cannot be read.
      {"unreadable (link to /proc/self/mem)",
       [&] {
         fs::remove(cached);
         fs::create_symlink("/proc/self/mem", cached);
         return true;
       },
       {2, 5, "Engine start timeout"}, true},
      // A link to itself cannot be opened at all (too many levels of links).
      {"unopenable (a link to itself)",
       [&] {
         fs::remove(cached);
         fs::create_symlink(cached.filename(), cached);
         return true;
       },
       {2, 6, missing_message}, false},
      {"a directory",
       [&] {
         fs::remove(cached);
         return fs::create_directory(cached);
       },
       {2, 6, missing_message}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::LogCapture log;
    ASSERT_TRUE(c.make());
    manager->start();
    expect_next(c.want);
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
    EXPECT_FALSE(manager->isEngineStarted());
    if (c.logged) {
      EXPECT_TRUE(log.contains(cached.string())) << "the engine's log does not name the file";
    }
    std::error_code ec;
    fs::remove_all(cached, ec);
    fs::copy_file(good, cached, ec);
    ASSERT_FALSE(ec) << ec.message();
  }
  manager->start();
  expect_next({2, 0, "Engine started successfully"});
}

}  // namespace
}  // namespace mvsdk
