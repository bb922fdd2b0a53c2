#pragma once
// Synthetic voices: speaker style vectors, their style files in the service's format (and a plain
// variant), and the catalogue that lists the voices and the three weight files.
//
// Style file: the Base64 text (standard alphabet, padded, one line, no line break) of the AES-256-
// CBC/PKCS#7 ciphertext of the vector as decimal numbers joined by ","; the key is the UTF-8 bytes
// of kStyleKeyText and the IV its first 16 bytes. The plain variant is the same number text
// followed by a line break.
//
// Pure functions apart from the files written; safe on any thread.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mvsdk::models {

inline constexpr std::string_view kStyleKeyText = "Hq4ZwN8cRv2LmX7pKe5TyB1sGd9JfA3u";
inline constexpr int kStyleLength = 192;
inline constexpr float kStyleDeviation = 0.5f;

// The style vector of voice `id` for a run's seed: kStyleLength values, about N(0, 0.5),
// distinct for every (seed, id).
std::vector<float> style_vector(std::uint64_t seed, int id);

// The numbers as text: each with six decimals, joined by ",".
std::string style_text(const std::vector<float>& style);

// The style file content for that text (Base64 of the ciphertext); none if encryption fails.
std::optional<std::string> encrypt_style_text(std::string_view text);

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
