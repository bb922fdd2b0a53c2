#include "model_folder.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "engine/nets/weight_plan.h"
#include "style_cipher.h"
#include "synthetic_weights.h"
#include "voices.h"

namespace mvsdk::models {

namespace fs = std::filesystem;

ModelFolderResult write_model_folder(const fs::path& dir, std::uint64_t seed, int voices) {
  ModelFolderResult result;
  const auto start = std::chrono::steady_clock::now();
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    result.error = "cannot create " + dir.string() + ": " +
                   (ec ? ec.message() : std::string("not a directory"));
    return result;
  }

  struct Net {
    const char* file;
    int id;
    int bid;  // start order: the engine takes the three files with the lowest bids, in bid order
    Network network;
    engine::WeightPlan plan;
  };
  const Net nets[] = {
      {"am.bin", 101, 1, Network::kAcoustic, engine::am_weight_plan()},
      {"bn.bin", 102, 2, Network::kContent, engine::bn_weight_plan()},
      {"voc.bin", 103, 3, Network::kVocoder, engine::voc_weight_plan()},
  };
  std::vector<CatalogueBinFile> bins;
  for (const auto& n : nets) {
    const auto r = write_weight_file(dir / n.file, n.plan, n.network, seed);
    if (!r.error.empty()) {
      result.error = r.error;
      return result;
    }
    const auto bytes = static_cast<std::int64_t>(r.floats * sizeof(float));
    result.weights.push_back({n.file, r.floats, n.plan.size(), r.seconds});
    bins.push_back({n.id, n.bid, bytes, n.file});
  }

  std::vector<CatalogueVoice> catalogue_voices;
  for (int id = 1; id <= voices; ++id) {
    const std::string text = style_text(style_vector(seed, id));
    const auto encrypted = encrypt_style_text(text);
    if (!encrypted) {
      result.error = "cannot encrypt the style of voice " + std::to_string(id);
      return result;
    }
    const std::string stem = "voice-" + std::to_string(id);
    for (const auto& [name, content] :
         {std::pair{stem + ".txt", *encrypted}, std::pair{stem + ".csv", text + "\n"}}) {
      if (std::string err = write_text_file(dir / name, content); !err.empty()) {
        result.error = std::move(err);
        return result;
      }
    }
    catalogue_voices.push_back({id, "Synthetic voice " + std::to_string(id), stem + ".txt"});
    result.voices = id;
  }
  // The catalogue last: a folder with a catalogue is a complete folder.
  if (std::string err = write_text_file(dir / "catalogue.json", catalogue_json(catalogue_voices, bins));
      !err.empty()) {
    result.error = std::move(err);
    return result;
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace mvsdk::models
