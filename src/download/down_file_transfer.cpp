// MVRtvcDownFileManager: single downloads, one in flight at a time, and their move into the cache.
#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

#include "download/down_file_manager_impl.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace mvsdk {

namespace fs = std::filesystem;
using platform::main_queue;

namespace {

// Longest time without a received byte before a download fails (60 s); tests lower it through
// the environment. A value above the default is ignored: the variable only lowers the limit.
std::chrono::seconds stall_limit() {
  constexpr std::chrono::seconds kDefault{60};
  return std::min(platform::seconds_from_env("MVSDK_DOWNLOAD_STALL_SECONDS", kDefault), kDefault);
}
constexpr std::chrono::seconds kTotalLimit{300};  // one file's whole transfer

// Posts a download's completion to the main queue, so it never runs inside the call or the
// platform event that decided it.
void post_completion(MVRtvcDownFileManager::FileCompleteBlock complete, bool success, std::optional<Error> error) {
  if (!complete) return;
  main_queue().async([complete = std::move(complete), success, error = std::move(error)] {
    call_guarded("download completion", complete, success, error);
  });
}

// Moves a finished download into place. The rename replaces an older file at the destination
// atomically, so the cache never shows a partial file; the temporary file lives in the cache's
// own ".partial" directory, on the same file system.
// A body whose length differs from the expected size is refused (the temporary file is then
// removed by the transfer): a wrong-sized file in the cache would count as present from then on.
std::optional<Error> move_into_place(const fs::path& temp_file, long status, const fs::path& destination,
                                     std::optional<std::int64_t> expected_size) {
  if (!is_success_status(status)) {
    return down_file_error(kDownFileHttpStatus, "Download failed with HTTP status " + std::to_string(status));
  }
  if (temp_file.empty()) return down_file_error(kDownFileNoTemporaryFile, "Download file location invalid");
  if (destination.empty()) return down_file_error(kDownFileNoTargetPath, "Target file path invalid");
  std::error_code ec;
  if (expected_size) {
    const auto got = fs::file_size(temp_file, ec);
    if (ec) return down_file_error(kDownFileSourceMissing, "Source file does not exist");
    if (static_cast<std::uintmax_t>(*expected_size) != got) {
      return down_file_error(kDownFileSizeMismatch, "Downloaded " + std::to_string(got) + " bytes, expected " +
                                                        std::to_string(*expected_size));
    }
  }
  fs::create_directories(destination.parent_path(), ec);
  if (ec) return down_file_fs_error(ec, "cannot create " + destination.parent_path().string());
  if (!fs::exists(temp_file, ec)) return down_file_error(kDownFileSourceMissing, "Source file does not exist");
  fs::rename(temp_file, destination, ec);
  if (ec) return down_file_fs_error(ec, "cannot move the download to " + destination.string());
  if (!fs::is_regular_file(destination, ec)) {
    return down_file_error(kDownFileMissingAfterMove, "File does not exist after move");
  }
  return std::nullopt;
}

}  // namespace

std::optional<fs::path> down_file_cache_directory() {
  auto caches = platform::caches_directory();
  if (!caches) return std::nullopt;
  return *caches / kDownFileCacheDirectoryName;
}

std::string down_file_cached_path(const std::string& reference) {
  if (reference.empty()) return {};
  const auto dir = down_file_cache_directory();
  const auto name = cache_file_name(reference);
  if (!dir || !name) return {};
  const fs::path path = *dir / *name;
  std::error_code ec;
  return fs::is_regular_file(path, ec) ? path.string() : std::string();
}

Error down_file_error(std::int64_t code, std::string description) {
  return Error{kDownFileErrorDomain, code, std::move(description)};
}

Error down_file_fs_error(const std::error_code& ec, const std::string& what) {
  return Error{kFileErrorDomain, ec.value(), what + ": " + ec.message()};
}

void down_file_log_callback_exception(const char* what) {
  platform::log_line(platform::Level::kError,
                     std::string("MVRtvcDownFileManager: an exception escaped the ") + what + " callback");
}

MVRtvcDownFileManager::Impl::~Impl() {
  // Nobody is left to hear about the download in flight: stop it rather than let it run out.
  if (current && current->task) current->task->cancel();
}

void MVRtvcDownFileManager::Impl::download(FileRequest request) {
  waiting.push_back(std::move(request));
  if (!current) start_waiting();
}

void MVRtvcDownFileManager::Impl::start_waiting() {
  while (!current && !waiting.empty()) {
    FileRequest request = std::move(waiting.front());
    waiting.pop_front();
    begin(request);
  }
}

bool MVRtvcDownFileManager::Impl::begin(FileRequest& request) {
  const std::string& reference = request.reference;
  const auto dir = down_file_cache_directory();
  if (!dir) {
    post_completion(std::move(request.complete), false,
                    down_file_error(kDownFileNoCacheDirectory, "Unable to get cache directory"));
    return false;
  }
  const auto name = cache_file_name(reference);
  if (!name) {
    post_completion(std::move(request.complete), false, down_file_error(kDownFileInvalidFileName, "Invalid file name"));
    return false;
  }
  const fs::path partial = *dir / kDownFilePartialDirectoryName;
  std::error_code ec;
  fs::create_directories(partial, ec);
  if (ec) {
    post_completion(std::move(request.complete), false, down_file_fs_error(ec, "cannot create " + partial.string()));
    return false;
  }
  const fs::path destination = *dir / *name;
  if (fs::is_regular_file(destination, ec)) {
    post_completion(std::move(request.complete), true, std::nullopt);
    return false;
  }
  if (!reference_parses_as_url(reference)) {
    post_completion(std::move(request.complete), false, down_file_error(kDownFileInvalidURL, "Invalid URL"));
    return false;
  }

  const std::uint64_t id = next_transfer_id++;
  platform::DownloadOptions options;
  options.stall_limit = stall_limit();
  options.total_limit = kTotalLimit;
  options.headers = {{"Accept", "application/octet-stream"}};
  options.temp_directory = partial;

  // Events arrive on the main queue, after this task: current is set before any of them runs.
  std::weak_ptr<Impl> weak = weak_from_this();
  platform::DownloadEvents events;
  events.on_progress = [weak, id](std::int64_t, std::int64_t written, std::optional<std::int64_t> expected) {
    if (auto self = weak.lock()) self->on_transfer_progress(id, written, expected);
  };
  events.on_finished = [weak, id](const fs::path& temp_file, long status) {
    if (auto self = weak.lock()) self->on_transfer_finished(id, temp_file, status);
  };
  events.on_complete = [weak, id](std::optional<Error> error, long) {
    if (auto self = weak.lock()) self->on_transfer_complete(id, error);
  };

  current = Transfer{id,      reference, destination, std::move(request.progress), std::move(request.complete),
                     nullptr, request.expected_size};
  current->task = platform::http_download(reference, std::move(options), std::move(events));
  if (!current->task) {
    FileCompleteBlock complete = std::move(current->complete);
    current.reset();
    post_completion(std::move(complete), false, down_file_error(kDownFileNoTask, "Unable to create download task"));
    return false;
  }
  return true;
}

void MVRtvcDownFileManager::Impl::on_transfer_progress(std::uint64_t id, std::int64_t written,
                                                       std::optional<std::int64_t> expected) {
  if (!current || current->id != id || !expected || *expected <= 0) return;
  // A copy: the callback may call back into the manager.
  const ProgressBlock progress = current->progress;
  call_guarded("download progress", progress, static_cast<float>(written) / static_cast<float>(*expected));
}

void MVRtvcDownFileManager::Impl::on_transfer_finished(std::uint64_t id, const fs::path& temp_file, long status) {
  if (!current || current->id != id) return;
  auto error = move_into_place(temp_file, status, current->destination, current->expected_size);
  const bool success = !error.has_value();
  finish_transfer(success, std::move(error));
}

void MVRtvcDownFileManager::Impl::on_transfer_complete(std::uint64_t id, const std::optional<Error>& error) {
  // Once the finished handler has reported the download, current is another one (or none).
  if (!current || current->id != id) return;
  if (error) return finish_transfer(false, error);
  // The transfer ended well without handing over a file: it counts when the file is there.
  std::error_code ec;
  if (fs::is_regular_file(current->destination, ec)) return finish_transfer(true, std::nullopt);
  finish_transfer(false, down_file_error(kDownFileSourceMissing, "Download completed but file does not exist"));
}

void MVRtvcDownFileManager::Impl::finish_transfer(bool success, std::optional<Error> error) {
  if (!current) return;
  FileCompleteBlock complete = std::move(current->complete);
  current.reset();
  post_completion(std::move(complete), success, std::move(error));
  start_waiting();
}

}  // namespace mvsdk
