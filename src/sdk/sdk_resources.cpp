// MVSDKManager: checkResources, the download of the catalogue's missing files with progress to
// the configuration's onDownload.
#include <limits>
#include <utility>

#include "platform/dispatch.h"
#include "sdk/sdk_manager_impl.h"

namespace mvsdk {

namespace {

// Size counted for a style file (the catalogue gives none). A weight file counts its catalogue
// size, 0 included (the catalogue record reads an absent or mistyped size as 0).
constexpr std::int64_t kStyleFileSize = 4096;

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b) return std::numeric_limits<std::int64_t>::max();
  if (b < 0 && a < std::numeric_limits<std::int64_t>::min() - b) return std::numeric_limits<std::int64_t>::min();
  return a + b;
}

}  // namespace

void MVSDKManager::Impl::checkResources() {
  engineStatus = kEngineStatusCheckingResources;
  if (!isPrepared.load()) {
    engineStatus = kEngineStatusError;
    triggerActionResult(kActionResources, kCodeWrongState, "Please call prepare method first");
    return;
  }
  const auto model = speakerListModel();
  if (!model) {
    engineStatus = kEngineStatusError;
    triggerActionResult(kActionResources, kCodeWrongState,
                        "Speaker list model does not exist, please call prepare method first");
    return;
  }

  // Every style file, then every weight file, present or not.
  std::vector<MVRtvcDownFileEntry> files;
  std::int64_t total = 0;
  for (const auto& speaker : model->speakers) {
    if (speaker.speakerInfo.empty()) continue;
    files.push_back({speaker.speakerInfo, kStyleFileSize});
    total = saturating_add(total, kStyleFileSize);
  }
  for (const auto& bin : model->binFiles) {
    if (bin.file.empty()) continue;
    // A positive size is the file's length, which the download must match.
    files.push_back({bin.file, bin.size, bin.size > 0});
    total = saturating_add(total, bin.size);
  }
  const std::string summary = sdk::resources_summary(files.size(), total);
  const auto count = static_cast<std::int64_t>(files.size());

  // The download manager keeps its state on the main queue. The check and the start of its batch
  // run there in one task of their own: this call returns at once (a host callback on the main
  // queue that waits for the calling thread cannot deadlock it), and a check made meanwhile from
  // another thread cannot replace this batch before it is started with this call's callbacks.
  std::weak_ptr<Impl> weak = weak_from_this();
  platform::main_queue().async([weak, files = std::move(files), total, summary, count] {
    auto self = weak.lock();
    if (!self) return;
    if (!self->downloads->checkEngineFiles(files, total)) {
      self->engineStatus = kEngineStatusPrepared;
      self->triggerActionResult(kActionResources, kCodeSuccess, "Resources already downloaded");
      return;
    }
    self->downloads->startDownloadEngineFiles(
        [weak, count](float fraction) {
          auto self = weak.lock();
          if (!self) return;
          DownloadCallback onDownload;
          {
            std::lock_guard lock(self->stateMutex);
            onDownload = self->config.onDownload;
          }
          if (!onDownload) return;
          const sdk::DownloadReport r = sdk::download_report(fraction, count);
          platform::main_queue().async(
              [onDownload = std::move(onDownload), r] { onDownload(r.percent, r.current, r.total); });
        },
        [weak, summary](bool success, const std::string& message) {
          auto self = weak.lock();
          if (!self) return;
          if (success) {
            self->engineStatus = kEngineStatusPrepared;
            self->triggerActionResult(kActionResources, kCodeSuccess, summary);
          } else {
            self->engineStatus = kEngineStatusError;
            self->triggerActionResult(kActionResources, kCodeRequestFailed,
                                      message.empty() ? "Download failed" : message);
          }
        });
  });
}

}  // namespace mvsdk
