// Faults of the cloud service and of the model files, seen from the host through the SDK
// manager: each fault gives the host the right action result, leaves no partial or temporary file
// in the cache folder, and a later checkResources against the healthy service completes the cache.
// How each fault is detected is tested in the HTTP, request and download layers; here one of each
// kind passes through.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "mvsdk/mvsdk.h"
#include "mvsdk/service_protocol.h"
#include "support/bridge_fixtures.h"
#include "support/local_service.h"
#include "support/log_capture.h"
#include "support/sdk_fixtures.h"

namespace mvsdk {
namespace {

namespace fs = std::filesystem;
using test::ActionResult;

constexpr auto kWait = std::chrono::seconds(120);
const std::string kFailed = "Some files failed to download: ";

std::string name_of(const std::string& reference) { return reference.substr(reference.find_last_of('/') + 1); }

class SDKFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder.empty()) << "mvsdk-models failed";
    ASSERT_TRUE(service.ok()) << service.error();
    MVSDKManager::setServiceBaseUrl(service.url());
    manager->setEngineConfig(test::recorded_config(recorder));
    // The catalogue's files by cache name, with their true sizes (the service folder's files).
    const auto catalogue = service.catalogue();
    for (const auto& b : catalogue["binFiles"]) bins.push_back(b["file"].get<std::string>());
    for (const auto& s : catalogue["speakers"]) voices.push_back(s["speakerInfo"].get<std::string>());
    for (const auto& ref : bins) sizes[name_of(ref)] = fs::file_size(folder / name_of(ref));
    for (const auto& ref : voices) sizes[name_of(ref)] = fs::file_size(folder / name_of(ref));
    ASSERT_EQ(bins.size(), 3u);
    ASSERT_GE(voices.size(), 2u);
    manager->cleanAllFiles();
    recorder.expect({5, 0, "All files cleaned"});
  }
  void TearDown() override {
    manager->engineRelease();
    manager.reset();
    test::drain_engine_queue();
    test::drain_main_queue();
  }

  ActionResult next() {
    const auto got = recorder.next(kWait);
    EXPECT_TRUE(got && got->on_main_queue);
    return got.value_or(ActionResult{});
  }
  void prepare() {
    manager->prepare();
    recorder.expect({2, 0, "success"});
  }
  // The healthy service again, and a checkResources that brings whatever is missing: every
  // catalogue file cached at its true size.
  void heal() {
    ASSERT_TRUE(service.reset());
    if (!manager->isPrepared()) prepare();
    manager->checkResources();
    const ActionResult got = next();
    EXPECT_EQ(std::tuple(got.action, got.code), std::tuple(3, 0)) << got.message;
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusPrepared);
    EXPECT_EQ(cache_files(), sizes);
  }
  // Every regular file anywhere under the cache folder, by path relative to it, with its size.
  std::map<std::string, std::uintmax_t> cache_files() const {
    std::map<std::string, std::uintmax_t> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(cache, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (it->is_regular_file()) out[fs::relative(it->path(), cache).string()] = it->file_size();
    }
    return out;
  }
  // Nothing in the cache but whole catalogue files: no partial download, no temporary file.
  void expect_no_strays() const {
    for (const auto& [rel, size] : cache_files()) {
      EXPECT_TRUE(sizes.contains(rel) && sizes.at(rel) == size) << "stray file " << rel << " (" << size << " bytes)";
    }
  }

  const fs::path cache = test::bridge_cache_dir();  // private caches and settings folders
  const fs::path folder = test::sdk_service_folder();
  test::ResultRecorder recorder;
  test::LocalService service{folder};
  std::shared_ptr<MVSDKManager> manager = MVSDKManager::create();
  std::vector<std::string> bins;    // references, bid order
  std::vector<std::string> voices;  // references, catalogue order
  std::map<std::string, std::uintmax_t> sizes;
};

// A faulty weight file fails the batch (naming it and the cause), every other file is cached
// whole, the faulty one not at all, and start then finds it missing. (The download layer tells
// the kinds of fault apart; a cut transfer and an error status pass through here.)
TEST_F(SDKFaultsTest, FileFaultsFailTheBatchAndLeaveNothingPartial) {
  const std::pair<nlohmann::json, std::string> cases[] = {
      {{{"mode", "cut"}}, ""},
      {{{"mode", "500"}}, "Download failed with HTTP status 500"},
  };
  prepare();
  for (auto [behaviour, cause] : cases) {
    SCOPED_TRACE(behaviour.dump());
    test::cache_remove(name_of(bins[0]));
    behaviour["name"] = name_of(bins[0]);
    ASSERT_TRUE(service.set_file(behaviour));
    manager->checkResources();
    const ActionResult got = next();
    EXPECT_EQ(std::tuple(got.action, got.code), std::tuple(3, 2));
    EXPECT_EQ(got.message.rfind(kFailed + bins[0] + ": ", 0), 0u) << got.message;
    EXPECT_NE(got.message.find(cause), std::string::npos) << got.message;
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
    EXPECT_FALSE(fs::exists(cache / name_of(bins[0])));
    expect_no_strays();
    manager->start();
    recorder.expect({2, 6, "Bin file local path does not exist: file1(" + bins[0] +
                               ") , please call checkResources to download files first"});
    heal();
  }
}

// A faulty service call during prepare: the step that met it reports it with its action, nothing
// is downloaded, and the healthy service then prepares and completes the cache. A catalogue reply
// that is not JSON is a reply without data: an empty catalogue, which start refuses.
TEST_F(SDKFaultsTest, CallFaultsFailThePreparation) {
  const std::tuple<nlohmann::json, std::int64_t, std::string> cases[] = {
      {{{"path", std::string(protocol::kLoginPath)}, {"status", 500}, {"message", ""}}, 1, "error，code: 500"},
      {{{"path", std::string(protocol::kCheckVersionPath)}, {"code", 7}, {"message", "too old"}}, 1, "too old"},
      {{{"path", std::string(protocol::kSpeakerListPath)}, {"transfer", "chunked"}, {"pad_bytes", (32u << 20) + 1}}, 2,
       "reply body larger than the limit of 33554432 bytes"},
  };
  for (const auto& [behaviour, action, message] : cases) {
    SCOPED_TRACE(behaviour.dump());
    ASSERT_TRUE(service.reset() && service.set_call(behaviour));
    manager->prepare();
    recorder.expect({action, 2, message});
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
    EXPECT_FALSE(manager->isPrepared());
    manager->checkResources();
    recorder.expect({3, 5, "Please call prepare method first"});
    EXPECT_TRUE(cache_files().empty());
  }
  ASSERT_TRUE(service.reset());
  ASSERT_TRUE(service.set_call({{"path", std::string(protocol::kSpeakerListPath)}, {"form", "raw"}, {"body", "<html>"}}));
  prepare();
  EXPECT_TRUE(manager->getVoiceList().empty());
  manager->checkResources();
  recorder.expect({3, 0, "Resources already downloaded"});
  manager->start();
  recorder.expect({2, 6, "Bin file list does not exist or insufficient count, at least 3 files required"});
  manager->engineRelease();
  heal();
}

// Faulty model files in the cache: the engine does not start and the host hears of it (a file
// that is not there at start's check as code 6, one the engine refuses as the start timeout, the
// engine's log naming the file). A healthy file then starts the engine. Which files the engine
// refuses is the engine's own test; one passes through here.
TEST_F(SDKFaultsTest, FaultyModelFilesKeepTheEngineFromStarting) {
  heal();
  const fs::path cached = cache / name_of(bins[1]);
  const ActionResult missing{2, 6, "Bin file local path does not exist: file2(" + bins[1] +
                                       ") , please call checkResources to download files first"};
  const ActionResult refused{2, 5, "Engine start timeout"};
  const std::tuple<const char*, std::function<void()>, ActionResult> cases[] = {
      {"missing", [&] { fs::remove(cached); }, missing},
      {"empty", [&] { std::ofstream(cached, std::ios::trunc); }, refused},
      {"a directory", [&] { fs::remove(cached) && fs::create_directory(cached); }, missing},
  };
  for (const auto& [what, make, want] : cases) {
    SCOPED_TRACE(what);
    test::LogCapture log;
    std::error_code ec;
    make();
    manager->start();
    recorder.expect(want);
    EXPECT_EQ(manager->getEngineStatus(), kEngineStatusError);
    EXPECT_FALSE(manager->isEngineStarted());
    if (want == refused) {
      EXPECT_TRUE(log.contains(cached.string())) << "the engine's log does not name the file";
    }
    fs::remove_all(cached, ec);
    fs::copy_file(folder / name_of(bins[1]), cached, ec);
    ASSERT_FALSE(ec) << ec.message();
  }
  manager->start();
  recorder.expect({2, 0, "Engine started successfully"});
}

}  // namespace
}  // namespace mvsdk
