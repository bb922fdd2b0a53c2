// The weight plans against the networks and layers that read the files: every plan totals its
// network's float count, and the blocks of each layer add up to what that layer consumes, so a
// block missing, doubled or moved to another layer shows up here.
#include "engine/nets/weight_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/alignmm.h"
#include "engine/layers/conv1d.h"
#include "engine/layers/deconv1d.h"
#include "engine/layers/embedlayer.h"
#include "engine/layers/encselfattn.h"
#include "engine/layers/layernorm.h"
#include "engine/layers/linear.h"
#include "engine/layers/pos_enc.h"
#include "engine/layers/prenet.h"
#include "engine/layers/resblock.h"
#include "engine/layers/subencoder.h"
#include "engine/layers/substylencoder.h"
#include "engine/layers/upsampler.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"

namespace mvsdk::engine {
namespace {

// Floats occupied by the blocks whose names start with prefix; they must be consecutive.
std::size_t span_of(const WeightPlan& plan, const std::string& prefix) {
  std::size_t n = 0, between = 0, first = plan.size(), last = 0;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    if (plan[i].name.rfind(prefix, 0) != 0) continue;
    first = std::min(first, i);
    last = i;
    n += static_cast<std::size_t>(plan[i].padded());
  }
  EXPECT_LT(first, plan.size()) << "no block under " << prefix;
  for (std::size_t i = first; i <= last && i < plan.size(); ++i) {
    between += static_cast<std::size_t>(plan[i].padded());
  }
  EXPECT_EQ(n, between) << "blocks under " << prefix << " are not consecutive";
  return n;
}

// Floats before the first block whose name starts with prefix.
std::size_t offset_of(const WeightPlan& plan, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& b : plan) {
    if (b.name.rfind(prefix, 0) == 0) return n;
    n += static_cast<std::size_t>(b.padded());
  }
  ADD_FAILURE() << "no block under " << prefix;
  return n;
}

// Zero weights, enough for any one layer, to build layers and read their get_memsize().
const float* zeros() {
  static const std::vector<float> z(4u << 20, 0.0f);
  return z.data();
}

// Every plan totals its network's float count (pinned: the model files hold exactly these), and
// what the built network consumes (zero weights suffice to build one).
template <class Net>
void expect_total(const WeightPlan& plan, int floats, int pinned) {
  EXPECT_EQ(floats, pinned);
  EXPECT_EQ(plan_floats(plan), static_cast<std::size_t>(floats));
  const auto w = std::make_unique<float[]>(static_cast<std::size_t>(floats));
  EXPECT_EQ(plan_floats(plan), static_cast<std::size_t>(Net(w.get(), 1).get_memsize()));
}

TEST(WeightPlan, TotalsEqualTheNetworksFloatCounts) {
  expect_total<amengine>(am_weight_plan(), amengine::stream_floats(), 20792704);
  expect_total<bnengine>(bn_weight_plan(), bnengine::weight_floats(), 33464832);
  expect_total<vocengine>(voc_weight_plan(), vocengine::weight_floats(), 3627136);
}

// Consecutive layers: each starts where the last ended and spans what the layer consumes.
struct Walk {
  const WeightPlan& plan;
  std::size_t pos = 0;
  void next(const std::string& prefix, int floats) {
    EXPECT_EQ(offset_of(plan, prefix), pos) << prefix;
    EXPECT_EQ(span_of(plan, prefix), static_cast<std::size_t>(floats)) << prefix;
    pos += static_cast<std::size_t>(floats);
  }
};

TEST(WeightPlan, AcousticModelLayersInStreamOrder) {
  const WeightPlan plan = am_weight_plan();
  Walk w{plan};
  w.next("content_prenet.", Prenet::stream_floats(513, 192));
  w.next("predictor_prenet.", Prenet::stream_floats(192, 192));
  w.next("source_prenet.", Prenet::stream_floats(60, 192));
  w.next("pitch_embed.", Linear(zeros(), 0, 1, 192).get_memsize());
  PositionEncoding pe(EncSelfAttn::kPosRows, 192, 0);
  const int enc = SubEncoder(zeros(), 1, &pe, 2, 96, 192, 1024).get_memsize();
  const int sty = SubStyleEncoder(zeros(), 1, &pe, 2, 96, 192, 1024).get_memsize();
  for (const char* stack : {"encoder", "predictor", "source", "decoder"}) {
    const bool style = std::string(stack) == "predictor" || std::string(stack) == "decoder";
    for (int i = 0; i < 4; ++i) w.next(std::string(stack) + "[" + std::to_string(i) + "].", style ? sty : enc);
  }
  w.next("out_proj.", Linear(zeros(), 0, 192, 100).get_memsize());
  EXPECT_EQ(w.pos, plan_floats(plan));

  // The pitch paths read their pitch from the final norm of the last block of their stacks.
  std::vector<std::string> pitch_blocks;
  for (const auto& b : plan) {
    if (b.role == WeightRole::kPitchNormWeight || b.role == WeightRole::kPitchNormBias ||
        b.role == WeightRole::kSourcePitchGain || b.role == WeightRole::kSourcePitchBias) {
      pitch_blocks.push_back(b.name.substr(0, b.name.find("norm_final.") + 11));
    }
  }
  EXPECT_EQ(pitch_blocks, (std::vector<std::string>{"predictor[3].norm_final.", "predictor[3].norm_final.",
                                                    "source[3].norm_final.", "source[3].norm_final."}));
}

TEST(WeightPlan, ContentEncoderLayersInStreamOrder) {
  const WeightPlan plan = bn_weight_plan();
  Walk w{plan};
  w.next("embed.", EmbedLayer::weight_floats(256));
  PositionEncoding pe(EncSelfAttn::kPosRows, 256, 1);
  const int block = SubEncoder(zeros(), 1, &pe, 4, 64, 256, 2048).get_memsize();
  for (int i = 0; i < 12; ++i) w.next("block[" + std::to_string(i) + "].", block);
  w.next("final_norm.", LayerNorm(zeros(), 1e-12f, 256).get_memsize());
  EXPECT_EQ(w.pos, plan_floats(plan));
}

TEST(WeightPlan, VocoderLayersInStreamOrder) {
  const WeightPlan plan = voc_weight_plan();
  Walk w{plan};
  w.next("conv_in.", Conv1d(zeros(), 7, 1, 100, 512).get_memsize());
  const int src_kernel[3] = {40, 8, 1};
  const int up_kernel[3] = {6, 10, 8};
  for (int s = 0; s < 3; ++s) {
    const int c = 512 >> s;
    const std::string st = "stage[" + std::to_string(s) + "].";
    w.next(st + "source_conv.", Conv1d(zeros(), src_kernel[s], 1, 1, c / 2).get_memsize());
    EXPECT_EQ(span_of(plan, st + "deconv_") + 4 * span_of(plan, st + "resblock[0]."),
              static_cast<std::size_t>(UpSampler::weight_floats(up_kernel[s], c / 2, c)));
    w.next(st + "deconv_", DeConv1d::weight_floats(up_kernel[s], c / 2, c, 0));
    for (int r = 0; r < 4; ++r) {
      w.next(st + "resblock[" + std::to_string(r) + "].", ResBlock::weight_floats(3, c / 2, c / 2));
    }
  }
  w.next("conv_out.", Conv1d(zeros(), 7, 1, 64, 18).get_memsize());
  w.next("istft_basis", DeConv1d::weight_floats(16, 1, 18, 1));
  EXPECT_EQ(w.pos, plan_floats(plan));
}

TEST(WeightPlan, FanInMatchesEveryWeightBlock) {
  // A weight block holds whole rows of fan_in floats; biases and norms have none.
  for (const WeightPlan& plan : {am_weight_plan(), bn_weight_plan(), voc_weight_plan()}) {
    for (const auto& b : plan) {
      SCOPED_TRACE(b.name);
      using enum WeightRole;
      const WeightRole no_fan_in[] = {kBias,         kNormGain,       kNormBias,        kStyleNormBias,
                                      kPositionBias, kPitchEmbedBias, kPitchNormBias,   kSourcePitchGain,
                                      kSourcePitchBias, kSpectrumBias};
      EXPECT_GT(b.count, 0);
      if (b.fan_in > 0) EXPECT_EQ(b.count % b.fan_in, 0);
      else EXPECT_NE(std::find(std::begin(no_fan_in), std::end(no_fan_in), b.role), std::end(no_fan_in))
          << weight_role_name(b.role);
    }
  }
}

}  // namespace
}  // namespace mvsdk::engine
