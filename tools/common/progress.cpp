#include "common/progress.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace mvsdk::convert {

void DownloadProgress::update(std::int64_t percent, std::int64_t file, std::int64_t files) {
  std::lock_guard lock(mutex_);
  if (!enabled_) return;
  percent = std::clamp<std::int64_t>(percent, 0, 100);
  if (terminal_) {
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(percent * kWidth / 100);
    const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                            std::string(static_cast<std::size_t>(kWidth - filled), ' ');
    std::printf("\rdownloading [%s] %3lld%%  file %lld of %lld", bar.c_str(), static_cast<long long>(percent),
                static_cast<long long>(file), static_cast<long long>(files));
    std::fflush(stdout);
    drawn_ = true;
    return;
  }
  if (file != last_file_ || (percent == 100 && last_percent_ != 100)) {
    std::printf("downloading: %lld%% (file %lld of %lld)\n", static_cast<long long>(percent),
                static_cast<long long>(file), static_cast<long long>(files));
    std::fflush(stdout);
  }
  last_file_ = file;
  last_percent_ = percent;
}

void DownloadProgress::finish() {
  std::lock_guard lock(mutex_);
  if (drawn_) {
    std::printf("\n");
    std::fflush(stdout);
    drawn_ = false;
  }
}

}  // namespace mvsdk::convert
