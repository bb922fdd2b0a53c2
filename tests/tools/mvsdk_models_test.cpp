// mvsdk-models as a command: file sizes and layout against the networks, reproducibility by seed,
// style files that decrypt to their plain variants, the catalogue, and bad command lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/style_data.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "engine/nets/weight_plan.h"
#include "platform/crypto.h"
#include "support/models_tool.h"
#include "support/synthetic_models.h"

namespace {

namespace fs = std::filesystem;
using mvsdk::engine::WeightPlan;
using mvsdk::engine::WeightRole;
using mvsdk::test::run_models_tool;

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<float> read_floats(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<float> v(fs::file_size(p) / sizeof(float));
  in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(float)));
  return v;
}

bool same_bytes(const fs::path& a, const fs::path& b) {
  if (fs::file_size(a) != fs::file_size(b)) return false;
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (fa && fb) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin())) return false;
  }
  return true;
}

std::vector<double> numbers(const std::string& text) {
  std::vector<double> v;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    const std::size_t comma = std::min(text.find(',', pos), text.size());
    v.push_back(std::strtod(text.substr(pos, comma - pos).c_str(), nullptr));
    pos = comma + 1;
  }
  return v;
}

struct Network {
  const char* file;
  WeightPlan plan;
  std::size_t floats;
};

std::vector<Network> networks() {
  return {{"am.bin", mvsdk::engine::am_weight_plan(), static_cast<std::size_t>(mvsdk::engine::amengine::stream_floats())},
          {"bn.bin", mvsdk::engine::bn_weight_plan(), static_cast<std::size_t>(mvsdk::engine::bnengine::weight_floats())},
          {"voc.bin", mvsdk::engine::voc_weight_plan(), static_cast<std::size_t>(mvsdk::engine::vocengine::weight_floats())}};
}

TEST(MvsdkModels, WeightFilesHaveTheNetworksSizesAndLayout) {
  const fs::path& dir = mvsdk::test::synthetic_model_folder();
  ASSERT_FALSE(dir.empty());
  for (const auto& net : networks()) {
    SCOPED_TRACE(net.file);
    ASSERT_EQ(fs::file_size(dir / net.file), net.floats * sizeof(float));
    const std::vector<float> w = read_floats(dir / net.file);
    // Block by block: padding is zero, norms start as identity, and every value is finite and
    // moderate.
    std::size_t at = 0;
    for (const auto& b : net.plan) {
      const std::span<const float> block(w.data() + at, static_cast<std::size_t>(b.count));
      const std::span<const float> pad(w.data() + at + b.count, static_cast<std::size_t>(b.padded() - b.count));
      EXPECT_TRUE(std::all_of(pad.begin(), pad.end(), [](float x) { return x == 0.0f; })) << b.name;
      EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](float x) { return std::isfinite(x) && std::fabs(x) < 4.0f; }))
          << b.name;
      if (b.role == WeightRole::kNormGain) {
        EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](float x) { return x == 1.0f; })) << b.name;
      }
      if (b.role == WeightRole::kNormBias) {
        EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](float x) { return x == 0.0f; })) << b.name;
      }
      if (b.role == WeightRole::kMatrix || b.role == WeightRole::kConvKernel) {
        // Random, of zero mean and of the scale the fan-in calls for (not all one value).
        double sum = 0.0, sq = 0.0;
        for (float x : block) {
          sum += x;
          sq += static_cast<double>(x) * x;
        }
        const double n = static_cast<double>(block.size());
        const double rms = std::sqrt(sq / n);
        EXPECT_LT(std::fabs(sum / n), 0.2 * rms + 1e-6) << b.name;
        EXPECT_GT(rms * std::sqrt(static_cast<double>(b.fan_in)), 0.3) << b.name;
        EXPECT_LT(rms * std::sqrt(static_cast<double>(b.fan_in)), 2.0) << b.name;
      }
      at += static_cast<std::size_t>(b.padded());
    }
    EXPECT_EQ(at, w.size());
  }
}

TEST(MvsdkModels, CatalogueListsEveryFileWithItsSize) {
  const fs::path& dir = mvsdk::test::synthetic_model_folder();
  ASSERT_FALSE(dir.empty());
  const auto cat = nlohmann::json::parse(read_text(dir / "catalogue.json"), nullptr, false);
  ASSERT_TRUE(cat.is_object());
  ASSERT_TRUE(cat["binFiles"].is_array());
  ASSERT_EQ(cat["binFiles"].size(), 3u);
  std::vector<nlohmann::json> ids;
  const auto nets = networks();
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& b = cat["binFiles"][i];
    EXPECT_EQ(b["bid"], static_cast<int>(i + 1));  // acoustic model, content encoder, vocoder
    EXPECT_EQ(b["file"], nets[i].file);
    ASSERT_TRUE(b["size"].is_number_integer());
    EXPECT_EQ(b["size"].get<std::int64_t>(), static_cast<std::int64_t>(fs::file_size(dir / nets[i].file)));
    ASSERT_TRUE(b["id"].is_number_integer());
    ids.push_back(b["id"]);
  }
  ASSERT_TRUE(cat["speakers"].is_array());
  ASSERT_EQ(cat["speakers"].size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const auto& s = cat["speakers"][i];
    EXPECT_EQ(s["id"], static_cast<int>(i + 1));
    ASSERT_TRUE(s["name"].is_string());
    EXPECT_FALSE(s["name"].get<std::string>().empty());
    ASSERT_TRUE(s["speakerInfo"].is_string());
    EXPECT_TRUE(fs::is_regular_file(dir / s["speakerInfo"].get<std::string>()));
    EXPECT_EQ(s["binFileIds"], nlohmann::json(ids));
  }
}

TEST(MvsdkModels, StyleFilesDecryptToTheirPlainNumbers) {
  const fs::path& dir = mvsdk::test::synthetic_model_folder();
  ASSERT_FALSE(dir.empty());
  const std::string key(mvsdk::bridge::kStyleKeyText);
  const auto* k = reinterpret_cast<const std::uint8_t*>(key.data());
  std::vector<std::vector<double>> styles;
  for (int id : {1, 2}) {
    SCOPED_TRACE(id);
    const std::string stem = "voice-" + std::to_string(id);
    const std::string text = read_text(dir / (stem + ".txt"));
    const auto cipher = mvsdk::platform::base64_decode(text, mvsdk::platform::Base64Mode::kStrict);
    ASSERT_TRUE(cipher.has_value()) << "not one line of strict Base64";
    const auto plain = mvsdk::platform::aes_cbc_decrypt(std::span(k, 32), std::span(k, 16), *cipher);
    ASSERT_TRUE(plain.has_value());
    const std::string plain_text(plain->begin(), plain->end());
    const std::vector<double> values = numbers(plain_text);
    ASSERT_EQ(values.size(), 192u);
    EXPECT_EQ(numbers(read_text(dir / (stem + ".csv"))), values);
    // What the kit makes of the file: the same 192 floats.
    const auto decoded = mvsdk::bridge::decode_style_data((dir / (stem + ".txt")).string());
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->size(), 192u);
    for (std::size_t i = 0; i < 192; ++i) EXPECT_FLOAT_EQ((*decoded)[i], static_cast<float>(values[i]));
    // Moderate values around zero, spread like N(0, 0.5).
    double sum = 0.0, sq = 0.0;
    for (double v : values) {
      sum += v;
      sq += v * v;
      EXPECT_LT(std::fabs(v), 3.0);
    }
    EXPECT_LT(std::fabs(sum / 192.0), 0.15);
    EXPECT_NEAR(std::sqrt(sq / 192.0), 0.5, 0.15);
    styles.push_back(values);
  }
  EXPECT_NE(styles[0], styles[1]);
}

TEST(MvsdkModels, SameSeedSameFilesOtherSeedOtherFiles) {
  const fs::path& first = mvsdk::test::synthetic_model_folder();  // seed 1, 2 voices
  ASSERT_FALSE(first.empty());
  const fs::path root = mvsdk::test::temp_dir("models-seed");
  const std::vector<std::string> files = {"am.bin", "bn.bin", "voc.bin", "voice-1.txt", "voice-1.csv",
                                          "voice-2.txt", "voice-2.csv", "catalogue.json"};
  {
    const auto run = run_models_tool(root / "again", 1, 2);
    ASSERT_EQ(run.status, 0) << run.output;
    for (const auto& f : files) EXPECT_TRUE(same_bytes(first / f, root / "again" / f)) << f;
    fs::remove_all(root / "again");
  }
  {
    const auto run = run_models_tool(root / "other", 2, 2);
    ASSERT_EQ(run.status, 0) << run.output;
    for (const auto& f : files) {
      if (f == "catalogue.json") {
        EXPECT_TRUE(same_bytes(first / f, root / "other" / f));  // names and sizes only
      } else {
        EXPECT_FALSE(same_bytes(first / f, root / "other" / f)) << f;
      }
    }
    fs::remove_all(root / "other");
  }
}

TEST(MvsdkModels, PrintsFloatCountsAndRejectsBadCommandLines) {
  const fs::path root = mvsdk::test::temp_dir("models-args");
  // The float count of every network appears in the report (and 1 voice is allowed).
  const auto run = run_models_tool(root / "ok", 3, 1);
  ASSERT_EQ(run.status, 0) << run.output;
  for (const auto& net : networks()) {
    EXPECT_NE(run.output.find(std::to_string(net.floats) + " floats"), std::string::npos) << net.file;
  }
  EXPECT_TRUE(fs::exists(root / "ok" / "voice-1.txt"));
  EXPECT_FALSE(fs::exists(root / "ok" / "voice-2.txt"));
  fs::remove_all(root / "ok");

  EXPECT_EQ(run_models_tool(root / "a", 1, 0).status, 2);        // no voices
  EXPECT_EQ(run_models_tool(root / "b", 1, 1001).status, 2);     // too many voices
  EXPECT_EQ(run_models_tool(root / "c", 1, 1, "--seed -4").status, 2);
  EXPECT_EQ(run_models_tool(root / "d", 1, 1, "--seed 12x").status, 2);
  EXPECT_EQ(run_models_tool(root / "e", 1, 1, "--frobnicate").status, 2);
  EXPECT_EQ(run_models_tool(root / "f", 1, 1, "--voices").status, 2);  // value missing
  for (const char* d : {"a", "b", "c", "d", "e", "f"}) EXPECT_FALSE(fs::exists(root / d)) << d;
  // An output folder that cannot be made (a file stands in its way).
  { std::ofstream(root / "file") << "x"; }
  const auto blocked = run_models_tool(root / "file" / "sub", 1, 1);
  EXPECT_EQ(blocked.status, 1);
  EXPECT_NE(blocked.output.find("cannot create"), std::string::npos) << blocked.output;
}

}  // namespace
