// mvsdk-models: writes synthetic model weight files, voice style files and their catalogue.
//
//   mvsdk-models --out DIR [--seed N] [--voices N]
//
// Writes into DIR (created if needed): am.bin, bn.bin and voc.bin (the acoustic model, content
// encoder and vocoder weights, raw 32-bit floats laid out block by block as each network reads
// them, at exactly its float count), for each voice id 1..N voice-<id>.txt (the style file as the
// service delivers it: Base64 of the AES-256-CBC ciphertext of 192 comma-separated numbers) and
// voice-<id>.csv (the same numbers in plain text), and catalogue.json (voices and weight files,
// references relative to DIR, ready for mvsdk-service --root DIR). The same seed gives the same
// files byte for byte. Defaults: seed 1, 3 voices. Prints each file's float count and the time
// taken. Exit status 0 on success, 1 when a file cannot be written, 2 on a bad command line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/command_line.h"
#include "synthetic/model_folder.h"

namespace fs = std::filesystem;
using namespace mvsdk;
using tools::parse_u64;

namespace {

constexpr int kMaxVoices = 1000;

int usage(const std::string& why) {
  std::fprintf(stderr, "mvsdk-models: %s\nusage: mvsdk-models --out DIR [--seed N] [--voices N]\n",
               why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out_dir;
  std::uint64_t seed = 1;
  std::uint64_t voices = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--help" || a == "-h") return usage("synthetic model, style and catalogue files");
    if (a != "--out" && a != "--seed" && a != "--voices") return usage("unknown argument " + a);
    if (!value) return usage("missing value for " + a);
    ++i;
    if (a == "--out") {
      out_dir = value;
    } else if (a == "--seed") {
      if (!parse_u64(value, seed)) return usage("--seed takes a non-negative integer");
    } else if (!parse_u64(value, voices) || voices < 1 || voices > kMaxVoices) {
      return usage("--voices takes a count from 1 to " + std::to_string(kMaxVoices));
    }
  }
  if (out_dir.empty()) return usage("--out DIR is required");

  const fs::path dir(out_dir);
  const auto r = models::write_model_folder(dir, seed, static_cast<int>(voices));
  for (const auto& f : r.weights) {
    std::printf("%-8s %10zu floats %11lld bytes %4zu blocks %7.3f s\n", f.name.c_str(), f.floats,
                static_cast<long long>(f.floats * sizeof(float)), f.blocks, f.seconds);
  }
  if (!r.error.empty()) {
    std::fprintf(stderr, "mvsdk-models: %s\n", r.error.c_str());
    return 1;
  }
  std::printf("voices   %llu (voice-1 .. voice-%llu, .txt encrypted, .csv plain), catalogue.json\n",
              static_cast<unsigned long long>(voices), static_cast<unsigned long long>(voices));
  std::printf("seed %llu, %s, %.3f s in all\n", static_cast<unsigned long long>(seed), dir.c_str(),
              r.seconds);
  return 0;
}
