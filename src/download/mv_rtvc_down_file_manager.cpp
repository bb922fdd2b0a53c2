// MVRtvcDownFileManager: the public operations, the cache check, batches and their progress.
#include "download/mv_rtvc_down_file_manager.h"

#include <algorithm>
#include <limits>
#include <set>
#include <system_error>
#include <type_traits>
#include <utility>

#include "download/down_file_manager_impl.h"
#include "models/speaker_list_model.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace mvsdk {

namespace fs = std::filesystem;
using platform::main_queue;

namespace {

// Runs f on the main queue (inline when already there) and returns its result.
template <class F>
auto on_main(F&& f) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  if (main_queue().is_current()) return f();
  if constexpr (std::is_void_v<R>) {
    main_queue().sync([&] { f(); });
  } else {
    std::optional<R> result;
    main_queue().sync([&] { result.emplace(f()); });
    return std::move(*result);
  }
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (!__builtin_add_overflow(a, b, &r)) return r;
  return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// Whether the entry's file is in the cache and usable. A weight file whose cached length differs
// from its exact catalogue size (cut or damaged after it was cached) would keep the engine from
// starting for good: it is removed, so the check fetches it again.
bool cached_and_sound(const MVRtvcDownFileEntry& entry) {
  const std::string cached = down_file_cached_path(entry.filePath);
  if (cached.empty()) return false;
  if (!entry.exactSize || !entry.size || *entry.size <= 0) return true;
  std::error_code ec;
  const std::uintmax_t have = fs::file_size(cached, ec);
  if (ec || have == static_cast<std::uintmax_t>(*entry.size)) return true;
  fs::remove(cached, ec);
  const std::string sizes = "MVRtvcDownFileManager: cached " + cached + " has " + std::to_string(have) +
                            " bytes, expected " + std::to_string(*entry.size);
  if (ec) {
    platform::log_line(platform::Level::kError, sizes + ", and cannot be removed: " + ec.message());
    return true;
  }
  platform::log_line(platform::Level::kInfo, sizes + ": removed, to be fetched again");
  return false;
}

}  // namespace

// ---- batches ----------------------------------------------------------------------------------

bool MVRtvcDownFileManager::Impl::check(const std::vector<MVRtvcDownFileEntry>& files) {
  all_size = 0;
  file_size_map.clear();
  std::vector<std::string> queue;
  std::set<std::string> queued;  // duplicates are queued once, at their first place
  std::map<std::string, std::int64_t> exact_sizes;
  for (const auto& entry : files) {
    const std::string& reference = entry.filePath;
    if (reference.empty() || cached_and_sound(entry)) continue;
    if (!queued.insert(reference).second) continue;
    queue.push_back(reference);
    if (entry.size) {
      all_size = saturating_add(all_size, *entry.size);
      file_size_map[reference] = *entry.size;
      if (entry.exactSize && *entry.size > 0) exact_sizes[reference] = *entry.size;
    }
  }
  if (queue.empty()) return false;
  prepare(queue);
  prepared->exact_sizes = std::move(exact_sizes);
  return true;
}

void MVRtvcDownFileManager::Impl::prepare(const std::vector<std::string>& references) {
  auto batch = std::make_shared<Batch>();
  batch->references = references;
  batch->shares = download_shares(references);
  prepared = std::move(batch);
}

void MVRtvcDownFileManager::Impl::start(ProgressBlock progress, BatchCompleteBlock complete) {
  if (prepared) {
    std::shared_ptr<Batch> batch = std::move(prepared);
    batch->progress = std::move(progress);
    batch->complete = std::move(complete);
    batches.push_back(batch);
    if (batches.size() == 1) {
      // Run from a task of its own, so no callback runs inside this call.
      batch->started = true;
      std::weak_ptr<Impl> weak = weak_from_this();
      main_queue().async([weak, batch] {
        if (auto self = weak.lock()) self->step(batch);
      });
    }
    return;
  }
  if (!batches.empty()) {
    if (complete) {
      main_queue().async([complete = std::move(complete)] {
        call_guarded("batch completion", complete, false, std::string(kDownFileBatchRunningMessage));
      });
    }
    return;
  }
  // Nothing prepared and nothing running: the batch is trivially complete.
  main_queue().async([progress = std::move(progress), complete = std::move(complete)] {
    call_guarded("batch progress", progress, 1.0f);
    call_guarded("batch completion", complete, true, std::string());
  });
}

void MVRtvcDownFileManager::Impl::step(const std::shared_ptr<Batch>& batch) {
  while (!batches.empty() && batches.front() == batch) {
    if (batch->downNum >= batch->references.size()) return finish_batch(batch);
    const std::string reference = batch->references[batch->downNum];
    if (reference.empty()) {
      ++batch->downNum;
      continue;
    }
    if (!down_file_cached_path(reference).empty()) {
      batch->allProgress = std::min(1.0f, batch->allProgress + entry_share(batch->shares, reference));
      batch->currProgress = 0.0f;
      ++batch->downNum;
      const ProgressBlock progress = batch->progress;  // the callback may call back in
      call_guarded("batch progress", progress, batch->allProgress);
      continue;
    }
    const std::size_t index = batch->downNum;
    std::weak_ptr<Impl> weak = weak_from_this();
    download(FileRequest{
        reference,
        [weak, batch, index](float fraction) {
          if (auto self = weak.lock()) self->on_entry_progress(batch, index, fraction);
        },
        [weak, batch, index](bool success, const std::optional<Error>& error) {
          if (auto self = weak.lock()) self->on_entry_complete(batch, index, success, error);
        },
        batch->exact_sizes.contains(reference) ? std::optional<std::int64_t>(batch->exact_sizes.at(reference))
                                               : std::nullopt});
    return;
  }
}

void MVRtvcDownFileManager::Impl::on_entry_progress(const std::shared_ptr<Batch>& batch, std::size_t index,
                                                    float fraction) {
  if (batches.empty() || batches.front() != batch || batch->downNum != index) return;
  batch->currProgress = clamp_fraction(fraction) * entry_share(batch->shares, batch->references[index]);
  const ProgressBlock progress = batch->progress;
  call_guarded("batch progress", progress, clamp_fraction(batch->allProgress + batch->currProgress));
}

void MVRtvcDownFileManager::Impl::on_entry_complete(const std::shared_ptr<Batch>& batch, std::size_t index,
                                                    bool success, const std::optional<Error>& error) {
  // Each download reports once; this guard keeps any other report from moving a batch on.
  if (batches.empty() || batches.front() != batch || batch->downNum != index) return;
  const std::string& reference = batch->references[index];
  if (success) {
    // What the file reported so far: a download without a length adds nothing until the end.
    batch->allProgress = std::min(1.0f, batch->allProgress + batch->currProgress);
  } else {
    const std::string text = error && !error->description.empty() ? error->description : "Download failed";
    batch->failures.push_back(reference + ": " + text);
    batch->allProgress = std::min(1.0f, batch->allProgress + entry_share(batch->shares, reference));
  }
  batch->currProgress = 0.0f;
  ++batch->downNum;
  step(batch);
}

void MVRtvcDownFileManager::Impl::finish_batch(const std::shared_ptr<Batch>& batch) {
  batch->allProgress = 1.0f;
  batch->currProgress = 0.0f;
  batches.pop_front();
  last = batch;
  const ProgressBlock progress = std::exchange(batch->progress, nullptr);
  const BatchCompleteBlock complete = std::exchange(batch->complete, nullptr);
  std::string message;
  if (!batch->failures.empty()) {
    message = kDownFileBatchFailedPrefix;
    for (std::size_t i = 0; i < batch->failures.size(); ++i) {
      if (i > 0) message += "; ";
      message += batch->failures[i];
    }
  }
  call_guarded("batch progress", progress, 1.0f);
  call_guarded("batch completion", complete, batch->failures.empty(), message);
  // The next batch waiting (unless a callback above already started one).
  if (!batches.empty() && !batches.front()->started) {
    batches.front()->started = true;
    step(batches.front());
  }
}

bool MVRtvcDownFileManager::Impl::clean() {
  const auto dir = down_file_cache_directory();
  if (!dir) return false;
  if (busy()) {
    platform::log_line(platform::Level::kError,
                       "MVRtvcDownFileManager: the cache is not cleaned while downloads are in progress");
    return false;
  }
  std::error_code ec;
  const auto status = fs::symlink_status(*dir, ec);
  if (status.type() == fs::file_type::not_found) return true;
  if (ec) return false;
  fs::remove_all(*dir, ec);
  if (ec) return false;
  prepared.reset();
  last.reset();
  all_size = 0;
  file_size_map.clear();
  return true;
}

// ---- public operations ------------------------------------------------------------------------

MVRtvcDownFileManager::MVRtvcDownFileManager() : impl_(std::make_shared<Impl>()) {}
MVRtvcDownFileManager::~MVRtvcDownFileManager() = default;

std::shared_ptr<MVRtvcDownFileManager> MVRtvcDownFileManager::sharedManager() {
  // Never destroyed: it lives for the process, and work in flight at exit finds it intact.
  static auto* const instance = new std::shared_ptr<MVRtvcDownFileManager>(create());
  return *instance;
}

std::shared_ptr<MVRtvcDownFileManager> MVRtvcDownFileManager::create() {
  return std::shared_ptr<MVRtvcDownFileManager>(new MVRtvcDownFileManager());
}

bool MVRtvcDownFileManager::checkEngineFiles(const std::vector<MVRtvcDownFileEntry>& files, std::int64_t) {
  return on_main([&] { return impl_->check(files); });
}

bool MVRtvcDownFileManager::checkEngineFiles(const nlohmann::json& files, std::int64_t totalSize) {
  std::vector<MVRtvcDownFileEntry> entries;
  if (files.is_array()) {
    for (const auto& element : files) {
      if (!element.is_object()) continue;
      MVRtvcDownFileEntry entry;
      if (auto it = element.find("filePath"); it != element.end() && it->is_string()) {
        entry.filePath = it->get<std::string>();
      }
      if (auto it = element.find("size"); it != element.end() && it->is_number()) {
        entry.size = json_number_to_int64(*it);
      }
      entries.push_back(std::move(entry));
    }
  }
  return checkEngineFiles(entries, totalSize);
}

void MVRtvcDownFileManager::changeEngineSpeakerFiles(const std::vector<std::string>& references) {
  on_main([&] { impl_->prepare(references); });
}

void MVRtvcDownFileManager::startDownloadEngineFiles(ProgressBlock progress, BatchCompleteBlock complete) {
  on_main([&] { impl_->start(std::move(progress), std::move(complete)); });
}

void MVRtvcDownFileManager::downloadFile(const std::string& reference, ProgressBlock progress,
                                         FileCompleteBlock complete) {
  on_main([&] { impl_->download(Impl::FileRequest{reference, std::move(progress), std::move(complete)}); });
}

std::string MVRtvcDownFileManager::getFilePath(const std::string& reference) const {
  return down_file_cached_path(reference);
}

std::optional<fs::path> MVRtvcDownFileManager::getCachePath() const { return platform::caches_directory(); }

bool MVRtvcDownFileManager::cleanAllFiles() {
  return on_main([&] { return impl_->clean(); });
}

bool MVRtvcDownFileManager::isDownloading() const {
  return on_main([&] { return impl_->busy(); });
}

MVRtvcDownFileManager::State MVRtvcDownFileManager::state() const {
  return on_main([&] {
    const Impl& impl = *impl_;
    State s;
    const std::shared_ptr<Impl::Batch> batch =
        !impl.batches.empty() ? impl.batches.front() : impl.prepared ? impl.prepared : impl.last;
    if (batch) {
      s.downStringArray = batch->references;
      s.downNum = static_cast<std::int64_t>(batch->downNum);
      s.allProgress = batch->allProgress;
      s.currProgress = batch->currProgress;
      s.binProgress = batch->shares.binProgress;
      s.speakerProgress = batch->shares.speakerProgress;
      s.binCount = batch->shares.binCount;
      s.speakerCount = batch->shares.speakerCount;
    }
    s.allSize = impl.all_size;
    s.fileSizeMap = impl.file_size_map;
    if (impl.current) {
      s.currentDownloadURL = impl.current->reference;
      s.currentDownloadPath = impl.current->destination.string();
    }
    return s;
  });
}

}  // namespace mvsdk
