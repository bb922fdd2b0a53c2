#pragma once
// A key-value settings store persisted as one JSON object in
// $XDG_CONFIG_HOME/mvsdk/settings.json (default ~/.config/mvsdk/settings.json). Every write
// replaces the file atomically (temporary file, flush, rename). A corrupt or unreadable file
// reads as empty and is replaced on the next write. Safe to use from any thread.
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace mvsdk::platform {

class SettingsStore {
 public:
  // The process-wide store at the default location (resolved on first use).
  static SettingsStore& shared();

  // A store backed by file (for tests and tools).
  explicit SettingsStore(std::filesystem::path file);

  std::optional<nlohmann::json> get(const std::string& key);
  std::optional<std::string> get_string(const std::string& key);
  // Writes through to the file; false (with a log line) if the file could not be written, in
  // which case the value is still kept in memory for this process.
  bool set(const std::string& key, nlohmann::json value);
  bool remove(const std::string& key);
  const std::filesystem::path& file() const;

 private:
  struct MemoryOnly {};
  // A store that keeps its values in memory only (no location available); file() is empty.
  explicit SettingsStore(MemoryOnly);

  void load_locked();   // reads the file once, on first access
  bool write_locked();  // writes values_ to file_ atomically

  std::filesystem::path file_;
  std::mutex mutex_;
  nlohmann::json values_ = nlohmann::json::object();  // guarded by mutex_
  bool loaded_ = false;                                // guarded by mutex_
};

// $XDG_CONFIG_HOME/mvsdk, else $HOME/.config/mvsdk; nullopt when neither variable is set.
std::optional<std::filesystem::path> config_directory();

}  // namespace mvsdk::platform
