#pragma once
// Pure rules of the engine manager: which catalogue weight files an engine start uses, in which
// role order, how they are described, and whether a running engine fits a voice. No I/O, no
// state; safe from any thread.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "models/speaker_list_model.h"

namespace mvsdk::bridge {

// The three weight files of a start, sorted by bid: acoustic model, content encoder, vocoder.
struct EngineFileSelection {
  std::array<MVRtvcBinFileItemModel, 3> files;
  std::string error;  // the failure text when the selection failed (files then unset)
  bool ok() const { return error.empty(); }
};

// Finds the entries for ids[0..2] in catalogue->binFiles (one walk in catalogue order; an entry
// fills the first empty slot whose id it matches, ids beyond the third are ignored) and sorts them
// by bid, ascending. Failures, checked in this order: no catalogue → "Resource not found 1";
// fewer than three ids → "At least 3 Bin file IDs required"; an id without entry →
// "Resource not found 1" / "2" / "3".
EngineFileSelection select_engine_files(const MVRtvcSpeakerListModel* catalogue, const std::vector<std::int64_t>& ids);

// "id1:%@  id2:%@  id3:%@" (two blanks between the items) with the entries' ids.
std::string describe_engine_files(const std::array<MVRtvcBinFileItemModel, 3>& files);

// A running engine started with ids fits a voice when the voice's binFileIds contains every one
// of them; an engine whose ids are unknown fits every voice.
bool engine_fits_voice(const std::vector<std::int64_t>& binFileIds, const std::optional<std::vector<std::int64_t>>& ids);

}  // namespace mvsdk::bridge
