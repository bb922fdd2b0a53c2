#include "voices.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include <nlohmann/json.hpp>

#include "common/rng.h"

namespace mvsdk::models {

namespace {
constexpr std::uint64_t kVoiceStream = 0x766F696365ull;  // "voice": keeps voices apart from weights
}

std::vector<float> style_vector(std::uint64_t seed, int id) {
  Rng r(derive_seed(seed, kVoiceStream, static_cast<std::uint64_t>(id)));
  std::vector<float> v(kStyleLength);
  for (auto& x : v) x = r.normal(kStyleDeviation);
  return v;
}

std::string style_text(const std::vector<float>& style) {
  std::string text;
  char buf[32];
  for (std::size_t i = 0; i < style.size(); ++i) {
    const int n = std::snprintf(buf, sizeof buf, "%s%.6f", i ? "," : "", static_cast<double>(style[i]));
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

std::string catalogue_json(const std::vector<CatalogueVoice>& voices,
                           const std::vector<CatalogueBinFile>& bins) {
  nlohmann::json bin_ids = nlohmann::json::array();
  nlohmann::json bin_files = nlohmann::json::array();
  for (const auto& b : bins) {
    bin_ids.push_back(b.id);
    bin_files.push_back({{"id", b.id}, {"bid", b.bid}, {"size", b.size}, {"file", b.file}});
  }
  nlohmann::json speakers = nlohmann::json::array();
  for (const auto& v : voices) {
    speakers.push_back({{"id", v.id},
                        {"speakerModelId", "synthetic-" + std::to_string(v.id)},
                        {"name", v.name},
                        {"coverImage", ""},
                        {"speakerInfo", v.style_file},
                        {"binFileIds", bin_ids}});
  }
  const nlohmann::json catalogue = {{"speakers", speakers}, {"binFiles", bin_files}};
  return catalogue.dump(2) + "\n";
}

std::string write_text_file(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::path tmp = path;
  tmp += ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return "cannot create " + tmp.string() + ": " + std::strerror(errno);
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  std::error_code ec;
  if (!ok) {
    const std::string why = std::strerror(errno);
    std::filesystem::remove(tmp, ec);
    return "cannot write " + tmp.string() + ": " + why;
  }
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    return "cannot rename " + tmp.string() + " to " + path.string();
  }
  return {};
}

}  // namespace mvsdk::models
