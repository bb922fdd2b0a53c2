#include "bridge/engine_files.h"

#include <algorithm>

namespace mvsdk::bridge {

EngineFileSelection select_engine_files(const MVRtvcSpeakerListModel* catalogue, const std::vector<std::int64_t>& ids) {
  EngineFileSelection out;
  if (!catalogue) {
    out.error = "Resource not found 1";
    return out;
  }
  if (ids.size() < 3) {
    out.error = "At least 3 Bin file IDs required";
    return out;
  }
  std::array<const MVRtvcBinFileItemModel*, 3> slot{nullptr, nullptr, nullptr};
  for (const auto& entry : catalogue->binFiles) {
    for (std::size_t i = 0; i < slot.size(); ++i) {
      if (entry.id == ids[i] && !slot[i]) {
        slot[i] = &entry;
        break;
      }
    }
  }
  for (std::size_t i = 0; i < slot.size(); ++i) {
    if (!slot[i]) {
      out.error = "Resource not found " + std::to_string(i + 1);
      return out;
    }
  }
  for (std::size_t i = 0; i < slot.size(); ++i) out.files[i] = *slot[i];
  std::stable_sort(out.files.begin(), out.files.end(),
                   [](const MVRtvcBinFileItemModel& a, const MVRtvcBinFileItemModel& b) { return a.bid < b.bid; });
  return out;
}

std::string describe_engine_files(const std::array<MVRtvcBinFileItemModel, 3>& files) {
  return "id1:" + std::to_string(files[0].id) + "  id2:" + std::to_string(files[1].id) +
         "  id3:" + std::to_string(files[2].id);
}

bool engine_fits_voice(const std::vector<std::int64_t>& binFileIds, const std::optional<std::vector<std::int64_t>>& ids) {
  if (!ids) return true;
  return std::all_of(ids->begin(), ids->end(), [&](std::int64_t id) {
    return std::find(binFileIds.begin(), binFileIds.end(), id) != binFileIds.end();
  });
}

}  // namespace mvsdk::bridge
