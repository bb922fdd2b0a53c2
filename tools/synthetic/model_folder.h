#pragma once
// A synthetic model folder: the three weight files (am.bin, bn.bin, voc.bin), a style file pair
// per voice (voice-<id>.txt as the service delivers it, voice-<id>.csv in plain text) and
// catalogue.json (references relative to the folder, ready to be served by the local service).
// The same seed gives the same files byte for byte. The values are random, not trained: the files
// exercise the kit, they do not convert voices.
//
// Used by mvsdk-models and by mvsdk-convert's embedded default. Any thread; concurrent writers
// of one folder must be kept apart by the caller.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mvsdk::models {

struct ModelFolderFile {
  std::string name;         // file name inside the folder
  std::size_t floats = 0;   // floats written
  std::size_t blocks = 0;   // blocks of the network's weight plan
  double seconds = 0.0;     // time to generate and write
};

struct ModelFolderResult {
  std::vector<ModelFolderFile> weights;  // am.bin, bn.bin, voc.bin, in that order
  int voices = 0;                        // voice files written (voice-1 .. voice-N)
  double seconds = 0.0;                  // time for the whole folder
  std::string error;                     // empty on success, else the problem (files written
                                         // before it stay; every file appears only whole)
};

// Writes the folder (created if needed) for seed and voices (1 or more).
ModelFolderResult write_model_folder(const std::filesystem::path& dir, std::uint64_t seed, int voices);

}  // namespace mvsdk::models
