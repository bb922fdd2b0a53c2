#pragma once
// Download progress of checkResources on stdout: a bar redrawn in place on a terminal, plain
// lines (one per file and one at the end) otherwise.
//
// update() runs on the kit's main queue, finish() on the owner's thread; a mutex keeps them apart.
#include <cstdint>
#include <mutex>

namespace mvsdk::convert {

class DownloadProgress {
 public:
  // enabled false: prints nothing. terminal: stdout is a terminal.
  DownloadProgress(bool enabled, bool terminal) : enabled_(enabled), terminal_(terminal) {}
  void update(std::int64_t percent, std::int64_t file, std::int64_t files);
  // Ends the bar's line, if one was drawn.
  void finish();

 private:
  std::mutex mutex_;
  bool enabled_;
  bool terminal_;
  bool drawn_ = false;
  std::int64_t last_file_ = 0;
  std::int64_t last_percent_ = -1;
};

}  // namespace mvsdk::convert
