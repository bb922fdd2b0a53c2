#pragma once
// A test catalogue for the engine manager, with its files in the test cache folder:
//   set A: ids 11 (bid 3, vocoder), 12 (bid 1, acoustic model), 13 (bid 2, content encoder)
//   set B: ids 21, 22, 23 (bids 1, 2, 3), the same synthetic weights under other names
//   set C: ids 31, 32, 33 (bids 1, 2, 3) whose acoustic-model file is too short to load
//   set D: 41 (bid 1, no reference), 42 (bid 2, not cached), 43 (bid 3, not cached),
//          44 (bid 1, cached)
// Voices:
//   1: A as [13, 11, 12], encrypted style of 192 numbers     2: B, encrypted style
//   3: C, encrypted style                                     4: only [11, 12]
//   5: A without style reference                              6: A, style not cached
//   7: A, style "1.5,2,word"                                  8: A, encrypted style + line break
#include <memory>
#include <string>

#include "models/speaker_list_model.h"

namespace mvsdk::test {

// One catalogue entry of a weight file.
MVRtvcBinFileItemModel bin_entry(std::int64_t id, std::int64_t bid, std::string file);

// Made once per process: writes the cache files and returns a fresh catalogue each call (so no
// style is cached in it yet).
std::shared_ptr<MVRtvcSpeakerListModel> bridge_catalogue();
// The cache file name of a voice's style (voices 1, 2, 3).
std::string bridge_style_file(int voice);
// Writes (again) the style file of voice 1, 2 or 3.
void bridge_write_style(int voice);

}  // namespace mvsdk::test
