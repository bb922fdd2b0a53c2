#pragma once
// Synthetic model weight files: every block of a network's weight plan filled from a seed with
// values whose scale suits the block's role, so that activations stay in a sane range through
// each network, the pitch paths give voiced frames at speech-like pitches, and the vocoder's
// output is clearly audible without clipping. The values are random, not trained: the files
// exercise the engine, they do not convert voices.
//
// Pure apart from the file written; safe on any thread.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/nets/weight_plan.h"

namespace mvsdk::models {

// Which of the three files a plan belongs to; part of every block's seed.
enum class Network : std::uint64_t { kAcoustic = 1, kContent = 2, kVocoder = 3 };

// Fills out (block.padded() floats) with the block's values; the padding floats are zero.
// `seed` is the block's own seed (see derive_seed).
void fill_block(const engine::WeightBlock& block, std::uint64_t seed, float* out);

struct WeightFileResult {
  std::size_t floats = 0;  // floats written (the plan's total)
  double seconds = 0.0;    // time to generate and write
  std::string error;       // empty on success
};

// Writes the plan's floats to path (through a temporary file renamed into place, so a failed run
// never leaves a short file under the final name). Block i of the plan takes the seed
// derive_seed(seed, network, i).
WeightFileResult write_weight_file(const std::filesystem::path& path, const engine::WeightPlan& plan,
                                   Network network, std::uint64_t seed);

}  // namespace mvsdk::models
