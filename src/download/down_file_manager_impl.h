#pragma once
// Internal state of MVRtvcDownFileManager, shared by its two source files: the batches
// (mv_rtvc_down_file_manager.cpp) and the single downloads (down_file_transfer.cpp).
// Everything here is touched only on the platform main queue.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "download/down_file_rules.h"
#include "download/mv_rtvc_down_file_manager.h"
#include "platform/http.h"

namespace mvsdk {

struct MVRtvcDownFileManager::Impl : std::enable_shared_from_this<MVRtvcDownFileManager::Impl> {
  ~Impl();

  // ---- single downloads (down_file_transfer.cpp) ----
  struct FileRequest {
    std::string reference;
    ProgressBlock progress;
    FileCompleteBlock complete;
    std::optional<std::int64_t> expected_size = std::nullopt;  // a body of another length fails
  };
  // The one download in flight. Its platform events carry its id; an event whose id is not the
  // current one (a download already reported) is ignored, so each download reports once.
  struct Transfer {
    std::uint64_t id = 0;
    std::string reference;
    std::filesystem::path destination;
    ProgressBlock progress;
    FileCompleteBlock complete;
    std::shared_ptr<platform::DownloadTask> task;
    std::optional<std::int64_t> expected_size = std::nullopt;
  };
  std::optional<Transfer> current;
  std::deque<FileRequest> waiting;  // requests behind the one in flight, oldest first
  std::uint64_t next_transfer_id = 1;

  void download(FileRequest request);
  // Starts waiting requests until one is in flight (others complete at once) or none is left.
  void start_waiting();
  // True when request became the transfer in flight; otherwise its completion has been posted.
  bool begin(FileRequest& request);
  void on_transfer_progress(std::uint64_t id, std::int64_t written, std::optional<std::int64_t> expected);
  void on_transfer_finished(std::uint64_t id, const std::filesystem::path& temp_file, long status);
  void on_transfer_complete(std::uint64_t id, const std::optional<Error>& error);
  // Reports the transfer in flight (posting its completion) and moves on to the next request.
  void finish_transfer(bool success, std::optional<Error> error);

  // ---- batches (mv_rtvc_down_file_manager.cpp) ----
  struct Batch {
    std::vector<std::string> references;
    DownloadShares shares;
    std::size_t downNum = 0;
    float allProgress = 0.0f;
    float currProgress = 0.0f;
    ProgressBlock progress;
    BatchCompleteBlock complete;
    std::vector<std::string> failures;  // "reference: error text", in download order
    std::map<std::string, std::int64_t> exact_sizes;  // references whose length is known exactly
    bool started = false;
  };
  std::shared_ptr<Batch> prepared;              // prepared, not started
  std::deque<std::shared_ptr<Batch>> batches;   // started: the front one runs, the others wait
  std::shared_ptr<Batch> last;                  // the batch finished last (for state())
  std::int64_t all_size = 0;
  std::map<std::string, std::int64_t> file_size_map;

  bool check(const std::vector<MVRtvcDownFileEntry>& files);
  void prepare(const std::vector<std::string>& references);
  void start(ProgressBlock progress, BatchCompleteBlock complete);
  // Handles entries of the front batch from downNum on until one is in flight or the batch ends.
  void step(const std::shared_ptr<Batch>& batch);
  void on_entry_progress(const std::shared_ptr<Batch>& batch, std::size_t index, float fraction);
  void on_entry_complete(const std::shared_ptr<Batch>& batch, std::size_t index, bool success,
                         const std::optional<Error>& error);
  void finish_batch(const std::shared_ptr<Batch>& batch);
  bool clean();
  bool busy() const { return current.has_value() || !waiting.empty() || !batches.empty(); }
};

// The cache directory ("MVRtvcFile" in the user's caches directory), or nullopt.
std::optional<std::filesystem::path> down_file_cache_directory();
// The cached file of a reference when it exists, else "".
std::string down_file_cached_path(const std::string& reference);
Error down_file_error(std::int64_t code, std::string description);
Error down_file_fs_error(const std::error_code& ec, const std::string& what);

// Calls a host callback (if set) so that an exception from it cannot leave the manager half way
// through a step: it is caught and logged.
void down_file_log_callback_exception(const char* what);
template <class F, class... Args>
void call_guarded(const char* what, const F& f, Args&&... args) {
  if (!f) return;
  try {
    f(std::forward<Args>(args)...);
  } catch (...) {
    down_file_log_callback_exception(what);
  }
}

}  // namespace mvsdk
