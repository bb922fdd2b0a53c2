#pragma once
// Synthetic voices: speaker style vectors, their style files in the service's format (and a plain
// variant), and the catalogue that lists the voices and the three weight files.
//
// Style file: the number text of the vector (decimal numbers joined by ","), encrypted as
// style_cipher.h says. The plain variant is the same number text followed by a line break.
//
// Pure functions apart from the files written; safe on any thread.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace mvsdk::models {

inline constexpr int kStyleLength = 192;
inline constexpr float kStyleDeviation = 0.5f;

// The style vector of voice `id` for a run's seed: kStyleLength values, about N(0, 0.5),
// distinct for every (seed, id).
std::vector<float> style_vector(std::uint64_t seed, int id);

// The numbers as text: each with six decimals, joined by ",".
std::string style_text(const std::vector<float>& style);

struct CatalogueVoice {
  int id;
  std::string name;
  std::string style_file;  // relative to the catalogue's folder
};

struct CatalogueBinFile {
  int id;
  int bid;                 // 1 acoustic model, 2 content encoder, 3 vocoder
  std::int64_t size;       // bytes
  std::string file;        // relative to the catalogue's folder
};

// The catalogue ({"speakers": [...], "binFiles": [...]}) as JSON text; every voice uses all the
// weight files.
std::string catalogue_json(const std::vector<CatalogueVoice>& voices,
                           const std::vector<CatalogueBinFile>& bins);

// Writes text to path through a temporary file renamed into place. Empty on success, else the
// problem.
std::string write_text_file(const std::filesystem::path& path, std::string_view text);

}  // namespace mvsdk::models
