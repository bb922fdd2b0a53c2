// mvsdk-models as a command: reproducibility by seed, the float count of every network, style
// files the kit decodes to their plain variants, and bad command lines. (The catalogue and the
// weight files are what every end-to-end test of the kit loads.)
#include <gtest/gtest.h>

#include <fstream>

#include "bridge/style_data.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "support/sdk_fixtures.h"
#include "support/synthetic_models.h"
#include "support/tool_launch.h"

namespace {

namespace fs = std::filesystem;
using mvsdk::test::read_file;

struct Network {
  const char* file;
  std::size_t floats;
};
const Network kNetworks[] = {
    {"am.bin", static_cast<std::size_t>(mvsdk::engine::amengine::stream_floats())},
    {"bn.bin", static_cast<std::size_t>(mvsdk::engine::bnengine::weight_floats())},
    {"voc.bin", static_cast<std::size_t>(mvsdk::engine::vocengine::weight_floats())}};

// Each style file decodes (as the kit reads it) to the 192 numbers of its plain variant, different
// for every voice.
TEST(MvsdkModels, CatalogueAndStyleFiles) {
  const fs::path& dir = mvsdk::test::synthetic_model_folder();
  ASSERT_FALSE(dir.empty());
  std::vector<std::vector<float>> styles;
  for (const std::string stem : {"voice-1", "voice-2"}) {
    const auto decoded = mvsdk::bridge::decode_style_data((dir / (stem + ".txt")).string());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, mvsdk::bridge::parse_number_list(read_file(dir / (stem + ".csv"))));
    EXPECT_EQ(decoded->size(), 192u);
    styles.push_back(*decoded);
  }
  EXPECT_NE(styles[0], styles[1]);
}

TEST(MvsdkModels, SeedsAndCommandLine) {
  const fs::path& first = mvsdk::test::synthetic_model_folder();  // seed 1, 2 voices
  ASSERT_FALSE(first.empty());
  const fs::path root = mvsdk::test::temp_dir("models-args");
  auto models = [&](const std::string& out, std::vector<std::string> args) {
    args.insert(args.begin(), {"--out", (root / out).string(), "--voices", "2"});
    return mvsdk::test::run_tool_in_home("mvsdk-models", args, root);
  };
  // The same seed writes the same files; another seed other weights and styles (the catalogue
  // names only files and sizes). The report gives every network's float count.
  for (const int seed : {1, 2}) {
    const auto run = models(std::to_string(seed), {"--seed", std::to_string(seed)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const auto& net : kNetworks) {
      EXPECT_NE(run.out.find(std::to_string(net.floats) + " floats"), std::string::npos) << net.file;
    }
    for (const char* f : {"am.bin", "bn.bin", "voc.bin", "voice-1.txt", "voice-2.csv", "catalogue.json"}) {
      const bool same = read_file(first / f) == read_file(root / std::to_string(seed) / f);
      EXPECT_EQ(same, seed == 1 || std::string(f) == "catalogue.json") << seed << " " << f;
    }
  }
  std::ofstream(root / "file") << "x";
  const std::pair<std::vector<std::string>, int> refused[] = {
      {{"--voices", "0"}, 2},  {{"--voices", "1001"}, 2}, {{"--seed", "-4"}, 2}, {{"--seed", "12x"}, 2},
      {{"--frobnicate"}, 2},   {{"--voices"}, 2},  // value missing
      {{"--out", (root / "file" / "sub").string()}, 1}};
  for (const auto& [extra, status] : refused) {
    const auto run = models("refused", extra);
    EXPECT_EQ(run.status, status) << extra[0] << ": " << run.out << run.err;
    EXPECT_FALSE(fs::exists(root / "refused")) << extra[0];
  }
}

}  // namespace
