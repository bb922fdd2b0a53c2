#pragma once
// Runs the mvsdk-models tool from the build tree for a test.
#include <cstdint>
#include <filesystem>
#include <string>

namespace mvsdk::test {

struct ToolRun {
  int status = -1;     // exit status (-1 if it could not run or did not exit normally)
  std::string output;  // what it printed on stdout
};

// mvsdk-models --out dir --seed seed --voices voices, plus `extra` verbatim (already quoted).
ToolRun run_models_tool(const std::filesystem::path& dir, std::uint64_t seed, int voices,
                        const std::string& extra = "");

// The synthetic model folder for seed 1 with 2 voices, written once per test process into a
// temporary folder removed at exit. Empty path if the tool failed.
const std::filesystem::path& synthetic_model_folder();

}  // namespace mvsdk::test
