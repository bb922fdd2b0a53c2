// mvsdk-models as a command: file sizes and layout against the networks, reproducibility by seed,
// style files the kit decodes to their plain variants, the catalogue, and bad command lines.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "bridge/style_data.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "engine/nets/weight_plan.h"
#include "support/models_tool.h"
#include "support/synthetic_models.h"
#include "support/tool_launch.h"

namespace {

namespace fs = std::filesystem;
using mvsdk::engine::WeightRole;
using mvsdk::test::read_file;

struct Network {
  const char* file;
  mvsdk::engine::WeightPlan plan;
  std::size_t floats;
};
const Network kNetworks[] = {
    {"am.bin", mvsdk::engine::am_weight_plan(), static_cast<std::size_t>(mvsdk::engine::amengine::stream_floats())},
    {"bn.bin", mvsdk::engine::bn_weight_plan(), static_cast<std::size_t>(mvsdk::engine::bnengine::weight_floats())},
    {"voc.bin", mvsdk::engine::voc_weight_plan(), static_cast<std::size_t>(mvsdk::engine::vocengine::weight_floats())}};

// Block by block: padding is zero, norms start as identity, matrices and kernels are random of
// zero mean and of the scale their fan-in calls for; every value is finite and moderate.
TEST(MvsdkModels, WeightFilesHaveTheNetworksSizesAndLayout) {
  const fs::path& dir = mvsdk::test::synthetic_model_folder();
  ASSERT_FALSE(dir.empty());
  for (const auto& net : kNetworks) {
    SCOPED_TRACE(net.file);
    ASSERT_EQ(fs::file_size(dir / net.file), net.floats * sizeof(float));
    std::vector<float> w(net.floats);
    std::ifstream(dir / net.file, std::ios::binary).read(reinterpret_cast<char*>(w.data()), w.size() * sizeof(float));
    std::size_t at = 0;
    for (const auto& b : net.plan) {
      const auto* block = w.data() + at;
      EXPECT_TRUE(std::all_of(block + b.count, block + b.padded(), [](float x) { return x == 0.0f; })) << b.name;
      EXPECT_TRUE(std::all_of(block, block + b.count, [](float x) { return std::isfinite(x) && std::fabs(x) < 4.0f; }));
      if (b.role == WeightRole::kNormGain || b.role == WeightRole::kNormBias) {
        const float identity = b.role == WeightRole::kNormGain ? 1.0f : 0.0f;
        EXPECT_TRUE(std::all_of(block, block + b.count, [&](float x) { return x == identity; })) << b.name;
      }
      if (b.role == WeightRole::kMatrix || b.role == WeightRole::kConvKernel) {
        double sum = 0.0, sq = 0.0;
        for (const float* x = block; x < block + b.count; ++x) sum += *x, sq += static_cast<double>(*x) * *x;
        const double n = static_cast<double>(b.count), rms = std::sqrt(sq / n);
        EXPECT_LT(std::fabs(sum / n), 0.2 * rms + 1e-6) << b.name;
        EXPECT_GT(rms * std::sqrt(static_cast<double>(b.fan_in)), 0.3) << b.name;
        EXPECT_LT(rms * std::sqrt(static_cast<double>(b.fan_in)), 2.0) << b.name;
      }
      at += static_cast<std::size_t>(b.padded());
    }
    EXPECT_EQ(at, w.size());
  }
}

// The catalogue lists every weight file with its size, in bid order, and every voice with its
// style file; each style file decodes (as the kit reads it) to the 192 numbers of its plain
// variant, spread like N(0, 0.5), different for every voice.
TEST(MvsdkModels, CatalogueAndStyleFiles) {
  const fs::path& dir = mvsdk::test::synthetic_model_folder();
  ASSERT_FALSE(dir.empty());
  const auto cat = nlohmann::json::parse(read_file(dir / "catalogue.json"), nullptr, false);
  ASSERT_TRUE(cat["binFiles"].is_array() && cat["binFiles"].size() == 3u) << cat;
  nlohmann::json ids = nlohmann::json::array();
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& b = cat["binFiles"][i];
    EXPECT_EQ(b["bid"], i + 1);  // acoustic model, content encoder, vocoder
    EXPECT_EQ(b["file"], kNetworks[i].file);
    EXPECT_EQ(b["size"], fs::file_size(dir / kNetworks[i].file));
    ASSERT_TRUE(b["id"].is_number_integer());
    ids.push_back(b["id"]);
  }
  ASSERT_TRUE(cat["speakers"].is_array() && cat["speakers"].size() == 2u) << cat;
  std::vector<std::vector<float>> styles;
  for (std::size_t i = 0; i < 2; ++i) {
    const auto& s = cat["speakers"][i];
    EXPECT_EQ(s["id"], i + 1);
    EXPECT_FALSE(s["name"].get<std::string>().empty());
    EXPECT_EQ(s["binFileIds"], ids);
    const std::string stem = "voice-" + std::to_string(i + 1);
    EXPECT_EQ(s["speakerInfo"], stem + ".txt");
    const auto decoded = mvsdk::bridge::decode_style_data((dir / (stem + ".txt")).string());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, mvsdk::bridge::parse_number_list(read_file(dir / (stem + ".csv"))));
    ASSERT_EQ(decoded->size(), 192u);
    double sum = 0.0, sq = 0.0;
    for (float v : *decoded) sum += v, sq += static_cast<double>(v) * v;
    EXPECT_LT(std::fabs(sum / 192.0), 0.15);
    EXPECT_NEAR(std::sqrt(sq / 192.0), 0.5, 0.15);
    styles.push_back(*decoded);
  }
  EXPECT_NE(styles[0], styles[1]);
}

TEST(MvsdkModels, SeedsAndCommandLine) {
  const fs::path& first = mvsdk::test::synthetic_model_folder();  // seed 1, 2 voices
  ASSERT_FALSE(first.empty());
  const fs::path root = mvsdk::test::temp_dir("models-args");
  // The same seed writes the same files; another seed other weights and styles (the catalogue
  // names only files and sizes). The report gives every network's float count.
  for (const int seed : {1, 2}) {
    const auto run = mvsdk::test::run_models_tool(root / std::to_string(seed), static_cast<std::uint64_t>(seed), 2);
    ASSERT_EQ(run.status, 0) << run.output;
    for (const auto& net : kNetworks) {
      EXPECT_NE(run.output.find(std::to_string(net.floats) + " floats"), std::string::npos) << net.file;
    }
    for (const char* f : {"am.bin", "bn.bin", "voc.bin", "voice-1.txt", "voice-2.csv", "catalogue.json"}) {
      const bool same = read_file(first / f) == read_file(root / std::to_string(seed) / f);
      EXPECT_EQ(same, seed == 1 || std::string(f) == "catalogue.json") << seed << " " << f;
    }
  }
  std::ofstream(root / "file") << "x";
  const std::pair<std::string, int> refused[] = {
      {"--voices 0", 2}, {"--voices 1001", 2}, {"--seed -4", 2}, {"--seed 12x", 2}, {"--frobnicate", 2},
      {"--voices", 2},  // value missing
      {"--out " + (root / "file" / "sub").string(), 1}};
  for (const auto& [extra, status] : refused) {
    const auto run = mvsdk::test::run_models_tool(root / "refused", 1, 1, extra);
    EXPECT_EQ(run.status, status) << extra << ": " << run.output;
    EXPECT_FALSE(fs::exists(root / "refused")) << extra;
  }
}

}  // namespace
