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

// The three model files at their networks' exact sizes, made once per process (cached).
const ModelPaths& synthetic_models();

// A fresh temporary folder, removed at process exit.
std::filesystem::path temp_dir(const std::string& tag);

}  // namespace mvsdk::test
