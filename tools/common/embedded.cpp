#include "embedded.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <system_error>

#include "common/service.h"
#include "synthetic/model_folder.h"

namespace mvsdk::convert {

namespace fs = std::filesystem;

std::optional<fs::path> synthetic_data_folder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg) return fs::path(xdg) / "mvsdk" / kDataFolderName;
  const char* home = std::getenv("HOME");
  if (home && *home) return fs::path(home) / ".local" / "share" / "mvsdk" / kDataFolderName;
  return std::nullopt;
}

DataFolder ensure_synthetic_data_folder(const std::function<void(const fs::path&)>& announce) {
  DataFolder r;
  const auto folder = synthetic_data_folder();
  if (!folder) {
    r.error = "no data folder: neither XDG_DATA_HOME nor HOME is set";
    return r;
  }
  r.path = *folder;
  std::error_code ec;
  if (fs::is_regular_file(r.path / "catalogue.json", ec)) return r;

  if (announce) announce(r.path);
  // A folder without its catalogue is what an older, interrupted writer left: replace it.
  fs::remove_all(r.path, ec);
  const fs::path temp = r.path.parent_path() /
                        (std::string(".") + kDataFolderName + ".partial-" + std::to_string(::getpid()));
  fs::remove_all(temp, ec);
  const auto written = models::write_model_folder(temp, kSyntheticSeed, kSyntheticVoices);
  if (!written.error.empty()) {
    fs::remove_all(temp, ec);
    r.error = "cannot make the synthetic models: " + written.error;
    return r;
  }
  fs::rename(temp, r.path, ec);
  if (ec) {
    fs::remove_all(temp, ec);
    // Another run may have put its folder in place first; that one serves as well.
    if (!fs::is_regular_file(r.path / "catalogue.json", ec)) {
      r.error = "cannot move the synthetic models into " + r.path.string();
      return r;
    }
    return r;
  }
  r.made = true;
  return r;
}

EmbeddedService::EmbeddedService() = default;

EmbeddedService::~EmbeddedService() {
  if (!thread_.joinable()) return;
  // A stop that comes before the server loop has begun is lost, so it is repeated until the
  // loop has ended.
  while (!listening_done_.load()) {
    service_->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  thread_.join();
}

std::string EmbeddedService::start(const fs::path& root) {
  service::Options options;
  options.root = root;
  options.port = 0;
  service_ = std::make_unique<service::Service>(options);
  if (!service_->bind()) return "cannot listen on 127.0.0.1";
  if (std::string problem = service_->load_catalogue(); !problem.empty()) return problem;
  thread_ = std::thread([this] {
    service_->listen();
    listening_done_.store(true);
  });
  return {};
}

std::string EmbeddedService::url() const { return service_ ? service_->base_url() : std::string(); }

}  // namespace mvsdk::convert
