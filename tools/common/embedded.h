#pragma once
// The embedded local service of mvsdk-convert and mvsdk-soak: the local service running inside
// this process on 127.0.0.1 (a port the system picks), serving a catalogue of synthetic voices
// over model files that are made once into the kit's data folder and reused by later runs.
//
// Data folder: $XDG_DATA_HOME/mvsdk/synthetic-v1, else $HOME/.local/share/mvsdk/synthetic-v1.
// It is written under a temporary name and renamed into place when complete, so a run that is
// interrupted, or two first runs at once, never leave a partial folder behind.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace mvsdk::service {
class Service;
}

namespace mvsdk::convert {

// Seed and voice count of the synthetic folder; part of its name through kDataFolderName, so a
// change of either needs a new name.
inline constexpr std::uint64_t kSyntheticSeed = 1;
inline constexpr int kSyntheticVoices = 3;
inline constexpr const char* kDataFolderName = "synthetic-v1";

// The data folder's path, or none when neither XDG_DATA_HOME nor HOME is set.
std::optional<std::filesystem::path> synthetic_data_folder();

struct DataFolder {
  std::filesystem::path path;
  bool made = false;  // made by this call (false: reused)
  std::string error;  // empty on success
};

// The data folder, made if it has no catalogue yet. `announce` (may be empty) is called once
// before the models are made, with the folder's path.
DataFolder ensure_synthetic_data_folder(const std::function<void(const std::filesystem::path&)>& announce);

// The local service over a folder, listening on 127.0.0.1 until destroyed.
class EmbeddedService {
 public:
  EmbeddedService();
  ~EmbeddedService();
  EmbeddedService(const EmbeddedService&) = delete;
  EmbeddedService& operator=(const EmbeddedService&) = delete;

  // Binds, loads the folder's catalogue and starts serving. Empty on success, else the problem.
  std::string start(const std::filesystem::path& root);
  // "http://127.0.0.1:PORT"
  std::string url() const;

 private:
  std::unique_ptr<service::Service> service_;
  std::thread thread_;
  std::atomic<bool> listening_done_{false};
};

}  // namespace mvsdk::convert
