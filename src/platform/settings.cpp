#include "platform/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/log.h"

namespace mvsdk::platform {
namespace {

constexpr const char* kFileName = "settings.json";

void log_settings(std::string_view what, const std::filesystem::path& file, std::string_view why) {
  if (!log_enabled(Level::kError)) return;
  std::string line = "settings: ";
  line += what;
  line += " ";
  line += file.string();
  if (!why.empty()) {
    line += ": ";
    line += why;
  }
  log_line(Level::kError, line);
}

std::string errno_text(int err) { return std::error_code(err, std::generic_category()).message(); }

enum class ReadResult { kOk, kMissing, kFailed };

ReadResult read_whole_file(const std::filesystem::path& file, std::string& text, std::string& why) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::kMissing;
    why = errno_text(errno);
    return ReadResult::kFailed;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      why = errno_text(errno);
      ::close(fd);
      return ReadResult::kFailed;
    }
  }
  ::close(fd);
  return ReadResult::kOk;
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Replaces file with text so that a reader (or a crash) sees either the old or the new content,
// never a mix: a temporary file in the same directory (so rename stays within one file system)
// is written, flushed to disk and renamed over the target. The directory is created if missing.
// The file is created readable by its owner only: it holds the device account.
bool write_file_atomically(const std::filesystem::path& file, const std::string& text, std::string& why) {
  const std::filesystem::path dir = file.parent_path();
  if (!dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      why = "cannot create directory: " + ec.message();
      return false;
    }
  }
  std::string tmp = (dir / ("." + file.filename().string() + ".XXXXXX")).string();
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    why = "cannot create temporary file: " + errno_text(errno);
    return false;
  }
  bool ok = write_all(fd, text);
  if (!ok) why = "write failed: " + errno_text(errno);
  if (ok && ::fsync(fd) != 0) {
    why = "fsync failed: " + errno_text(errno);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    why = "close failed: " + errno_text(errno);
    ok = false;
  }
  if (ok && std::rename(tmp.c_str(), file.c_str()) != 0) {
    why = "rename failed: " + errno_text(errno);
    ok = false;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  // Make the rename itself durable; best effort (not every file system allows it).
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace

SettingsStore& SettingsStore::shared() {
  // Leaked on purpose: the store may be used from queue threads during process exit.
  static SettingsStore* store = [] {
    if (auto dir = config_directory()) return new SettingsStore(*dir / kFileName);
    log_line(Level::kError, "settings: neither XDG_CONFIG_HOME nor HOME is set; settings are kept in memory only");
    return new SettingsStore(MemoryOnly{});
  }();
  return *store;
}

SettingsStore::SettingsStore(std::filesystem::path file) : file_(std::move(file)) {}

SettingsStore::SettingsStore(MemoryOnly) { loaded_ = true; }

const std::filesystem::path& SettingsStore::file() const { return file_; }

void SettingsStore::load_locked() {
  if (loaded_) return;
  loaded_ = true;
  values_ = nlohmann::json::object();
  std::string text;
  std::string why;
  switch (read_whole_file(file_, text, why)) {
    case ReadResult::kMissing:
      return;  // first use: nothing stored yet
    case ReadResult::kFailed:
      log_settings("cannot read", file_, why + "; starting empty, the file is replaced on the next write");
      return;
    case ReadResult::kOk:
      break;
  }
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) {
    log_settings("ignoring corrupt", file_, "not a JSON object; starting empty, the file is replaced on the next write");
    return;
  }
  values_ = std::move(parsed);
}

bool SettingsStore::write_locked() {
  if (file_.empty()) return true;  // memory only
  std::string text;
  try {
    text = values_.dump(2);
  } catch (const std::exception& e) {
    log_settings("cannot serialise", file_, e.what());
    return false;
  }
  text += '\n';
  std::string why;
  if (!write_file_atomically(file_, text, why)) {
    log_settings("cannot write", file_, why + "; the value is kept in memory only");
    return false;
  }
  return true;
}

std::optional<nlohmann::json> SettingsStore::get(const std::string& key) {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    load_locked();
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> SettingsStore::get_string(const std::string& key) {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    load_locked();
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool SettingsStore::set(const std::string& key, nlohmann::json value) {
  try {
    // A key or value that cannot be written as JSON (text that is not UTF-8, a discarded parse
    // result) is refused up front: kept in memory it would make every later write fail.
    try {
      if (value.is_discarded()) throw std::invalid_argument("not a JSON value");
      (void)nlohmann::json::object({{key, value}}).dump();
    } catch (const std::exception& e) {
      log_settings("refusing value for \"" + key + "\" in", file_, e.what());
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    load_locked();
    values_[key] = std::move(value);
    return write_locked();
  } catch (const std::exception& e) {
    log_settings("cannot set a value in", file_, e.what());
    return false;
  }
}

bool SettingsStore::remove(const std::string& key) {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    load_locked();
    if (values_.erase(key) == 0) return true;  // nothing stored: nothing to write
    return write_locked();
  } catch (const std::exception& e) {
    log_settings("cannot remove a value from", file_, e.what());
    return false;
  }
}

}  // namespace mvsdk::platform
