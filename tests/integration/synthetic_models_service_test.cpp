// The synthetic folder of mvsdk-models served by mvsdk-service: the catalogue reaches the kit's
// catalogue model whole, with download references that serve exactly the files written.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include <httplib.h>

#include "models/speaker_list_model.h"
#include "support/local_service.h"
#include "support/models_tool.h"

namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SyntheticModelsService, CatalogueAndStyleFilesServedAsWritten) {
  const fs::path& dir = mvsdk::test::synthetic_model_folder();
  ASSERT_FALSE(dir.empty());
  mvsdk::test::LocalService service(dir);
  ASSERT_TRUE(service.ok()) << service.error();

  const auto model = mvsdk::MVRtvcSpeakerListModel::transferModel(service.catalogue());
  ASSERT_EQ(model.binFiles.size(), 3u);
  ASSERT_EQ(model.speakers.size(), 2u);
  const char* files[] = {"am.bin", "bn.bin", "voc.bin"};
  for (int i = 0; i < 3; ++i) {
    const auto& b = model.binFiles[static_cast<std::size_t>(i)];
    EXPECT_EQ(b.bid, i + 1);
    EXPECT_EQ(b.size, static_cast<std::int64_t>(fs::file_size(dir / files[i])));
    EXPECT_EQ(b.file, service.url() + "/files/" + files[i]);
  }
  httplib::Client client(service.url());
  for (const auto& s : model.speakers) {
    SCOPED_TRACE(s.id);
    EXPECT_EQ(s.binFileIds.size(), 3u);
    const std::string name = "voice-" + std::to_string(s.id) + ".txt";
    ASSERT_EQ(s.speakerInfo, service.url() + "/files/" + name);
    const auto res = client.Get("/files/" + name);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, read_text(dir / name));
  }
}

}  // namespace
