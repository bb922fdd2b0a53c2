#pragma once
// Model weight files for tests: the three networks' files filled with small uniform random
// values from a fixed seed, written once per test process into a temporary folder.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace mvsdk::test {

struct ModelPaths {
  std::filesystem::path dir;
  std::string am;
  std::string bn;
  std::string voc;
};

// Writes n_floats uniform values in [-scale, scale] (fixed seed) to path.
void write_random_floats(const std::filesystem::path& path, std::size_t n_floats, float scale,
                         std::uint32_t seed);

// The three model files at their networks' exact sizes, made once per process (cached).
const ModelPaths& synthetic_models();

// A fresh temporary folder, removed at process exit.
std::filesystem::path temp_dir(const std::string& tag);

}  // namespace mvsdk::test
