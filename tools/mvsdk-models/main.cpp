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
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "engine/nets/weight_plan.h"
#include "synthetic_weights.h"
#include "voices.h"

namespace fs = std::filesystem;
using namespace mvsdk;

namespace {

constexpr int kMaxVoices = 1000;

int usage(const std::string& why) {
  std::fprintf(stderr, "mvsdk-models: %s\nusage: mvsdk-models --out DIR [--seed N] [--voices N]\n",
               why.c_str());
  return 2;
}

bool parse_u64(const char* s, std::uint64_t& out) {
  if (!s || *s < '0' || *s > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s, &end, 10);
  if (errno != 0 || !end || *end != '\0') return false;
  out = v;
  return true;
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

  const auto start = std::chrono::steady_clock::now();
  const fs::path dir(out_dir);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    std::fprintf(stderr, "mvsdk-models: cannot create %s: %s\n", dir.c_str(), ec.message().c_str());
    return 1;
  }

  struct Net {
    const char* file;
    int id;
    int bid;
    models::Network network;
    engine::WeightPlan plan;
  };
  Net nets[] = {
      {"am.bin", 101, 1, models::Network::kAcoustic, engine::am_weight_plan()},
      {"bn.bin", 102, 2, models::Network::kContent, engine::bn_weight_plan()},
      {"voc.bin", 103, 3, models::Network::kVocoder, engine::voc_weight_plan()},
  };
  std::vector<models::CatalogueBinFile> bins;
  for (const auto& n : nets) {
    const auto r = models::write_weight_file(dir / n.file, n.plan, n.network, seed);
    if (!r.error.empty()) {
      std::fprintf(stderr, "mvsdk-models: %s\n", r.error.c_str());
      return 1;
    }
    const auto bytes = static_cast<std::int64_t>(r.floats * sizeof(float));
    std::printf("%-8s %10zu floats %11lld bytes %4zu blocks %7.3f s\n", n.file, r.floats,
                static_cast<long long>(bytes), n.plan.size(), r.seconds);
    bins.push_back({n.id, n.bid, bytes, n.file});
  }

  std::vector<models::CatalogueVoice> catalogue_voices;
  for (int id = 1; id <= static_cast<int>(voices); ++id) {
    const std::string text = models::style_text(models::style_vector(seed, id));
    const auto encrypted = models::encrypt_style_text(text);
    if (!encrypted) {
      std::fprintf(stderr, "mvsdk-models: cannot encrypt the style of voice %d\n", id);
      return 1;
    }
    const std::string stem = "voice-" + std::to_string(id);
    for (const auto& [name, content] :
         {std::pair{stem + ".txt", *encrypted}, std::pair{stem + ".csv", text + "\n"}}) {
      const std::string err = models::write_text_file(dir / name, content);
      if (!err.empty()) {
        std::fprintf(stderr, "mvsdk-models: %s\n", err.c_str());
        return 1;
      }
    }
    catalogue_voices.push_back({id, "Synthetic voice " + std::to_string(id), stem + ".txt"});
  }
  const std::string err =
      models::write_text_file(dir / "catalogue.json", models::catalogue_json(catalogue_voices, bins));
  if (!err.empty()) {
    std::fprintf(stderr, "mvsdk-models: %s\n", err.c_str());
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("voices   %llu (voice-1 .. voice-%llu, .txt encrypted, .csv plain), catalogue.json\n",
              static_cast<unsigned long long>(voices), static_cast<unsigned long long>(voices));
  std::printf("seed %llu, %s, %.3f s in all\n", static_cast<unsigned long long>(seed), dir.c_str(),
              seconds);
  return 0;
}
