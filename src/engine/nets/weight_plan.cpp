#include "engine/nets/weight_plan.h"

#include "engine/core/alignmm.h"
#include "engine/kernels/weight_copies.h"

namespace mvsdk::engine {

namespace {

constexpr int kConvModuleTaps = 15;

class Builder {
 public:
  void add(const std::string& name, WeightRole role, int count, int fan_in = 0,
           bool input_rows = false) {
    plan_.push_back(WeightBlock{name, role, count, fan_in, input_rows});
  }
  // Linear: weight in x out (input index as row), bias out.
  void linear(const std::string& n, int in, int out, WeightRole w = WeightRole::kMatrix,
              WeightRole b = WeightRole::kBias) {
    add(n + ".weight", w, in * out, in, true);
    add(n + ".bias", b, out);
  }
  void prenet(const std::string& n, int in, int out) {
    linear(n + ".layer1", in, out);
    linear(n + ".layer2", out, out);
    linear(n + ".layer3", out, out);
  }
  // Conv1d: out_ch rows of kernel x in_ch floats (tap-major), then the bias.
  void conv1d(const std::string& n, int kernel, int in_ch, int out_ch,
              WeightRole w = WeightRole::kConvKernel, WeightRole b = WeightRole::kBias) {
    add(n + ".weight", w, out_ch * in_ch * kernel, in_ch * kernel);
    add(n + ".bias", b, out_ch);
  }
  void attention(const std::string& n, int dim) {
    for (const char* p : {"query", "key", "value", "output"}) {
      add(n + "." + p + "_weight", WeightRole::kMatrix, dim * dim, dim, true);
      add(n + "." + p + "_bias", WeightRole::kBias, dim);
    }
    add(n + ".position_weight", WeightRole::kPositionWeight, dim * dim, dim);
    add(n + ".position_bias_u", WeightRole::kPositionBias, dim);
    add(n + ".position_bias_v", WeightRole::kPositionBias, dim);
  }
  void feedforward(const std::string& n, int dim, int hidden) {
    linear(n + ".layer1", dim, hidden);
    linear(n + ".layer2", hidden, dim);
  }
  void conv_module(const std::string& n, int dim) {
    add(n + ".pointwise1_weight", WeightRole::kMatrix, 2 * dim * dim, dim);
    add(n + ".pointwise1_bias", WeightRole::kBias, 2 * dim);
    add(n + ".depthwise_weight", WeightRole::kDepthwiseKernel, dim * kConvModuleTaps, kConvModuleTaps);
    add(n + ".depthwise_bias", WeightRole::kBias, dim);
    add(n + ".pointwise2_weight", WeightRole::kMatrix, dim * dim, dim);
    add(n + ".pointwise2_bias", WeightRole::kBias, dim);
    layer_norm(n + ".norm", dim);
  }
  void layer_norm(const std::string& n, int dim, WeightRole g = WeightRole::kNormGain,
                  WeightRole b = WeightRole::kNormBias) {
    add(n + ".gamma", g, dim);
    add(n + ".beta", b, dim);
  }
  void style_norm(const std::string& n, int dim, WeightRole w = WeightRole::kStyleNormWeight,
                  WeightRole b = WeightRole::kStyleNormBias) {
    add(n + ".weight", w, 2 * dim * dim, dim);
    add(n + ".bias", b, 2 * dim);
  }
  // A conformer block: attention, late and early feed-forward, convolution module, then the five
  // norms (late, attention, early, convolution, final). `final_g` and `final_b` name the roles
  // of the final norm's two blocks (the pitch stacks read pitch from it).
  void block(const std::string& n, int dim, int hidden, bool style, WeightRole final_g,
             WeightRole final_b) {
    attention(n + ".attn", dim);
    feedforward(n + ".ff_late", dim, hidden);
    feedforward(n + ".ff_early", dim, hidden);
    conv_module(n + ".conv", dim);
    for (const char* norm : {"norm_late", "norm_attn", "norm_early", "norm_conv"}) {
      if (style) {
        style_norm(n + "." + norm, dim);
      } else {
        layer_norm(n + "." + norm, dim);
      }
    }
    if (style) {
      style_norm(n + ".norm_final", dim, final_g, final_b);
    } else {
      layer_norm(n + ".norm_final", dim, final_g, final_b);
    }
  }
  void block(const std::string& n, int dim, int hidden, bool style) {
    if (style) {
      block(n, dim, hidden, true, WeightRole::kStyleNormWeight, WeightRole::kStyleNormBias);
    } else {
      block(n, dim, hidden, false, WeightRole::kNormGain, WeightRole::kNormBias);
    }
  }
  WeightPlan take() { return std::move(plan_); }

 private:
  WeightPlan plan_;
};

std::string indexed(const char* stack, int i) { return std::string(stack) + "[" + std::to_string(i) + "]"; }

}  // namespace

bool chunk_product_weights(WeightRole role) {
  switch (role) {
    case WeightRole::kMatrix:
    case WeightRole::kConvKernel:
    case WeightRole::kResidualKernel:
    case WeightRole::kSourceConvKernel:
    case WeightRole::kSpectrumKernel:
      return true;
    default:
      return false;
  }
}

void add_weight_copies(const WeightPlan& plan, const float* file, WeightCopies& table,
                       WeightsReleased released, void* user) {
  const bool half = table.form() == WeightCopies::Form::kHalf;
  std::size_t offset = 0;
  for (const WeightBlock& block : plan) {
    // A table of panels takes the fully connected matrices alone: the embedding's convolution is
    // a 76-row product, which BLAS reads in place (from a copy it would unpack it every chunk).
    const bool wanted = half ? chunk_product_weights(block.role) ||
                                   block.role == WeightRole::kStyleNormWeight
                             : block.role == WeightRole::kMatrix;
    if (wanted) {
      const int n = block.input_rows ? block.count / block.fan_in : 0;
      const auto count = static_cast<std::size_t>(block.count);
      if (table.add(file + offset, count, block.fan_in, n) && released) {
        released(user, file + offset, count);
      }
    }
    offset += static_cast<std::size_t>(block.padded());
  }
}

bool build_only_weights(WeightRole role) { return role == WeightRole::kPositionWeight; }

void release_build_weights(const WeightPlan& plan, const float* file, WeightsReleased released,
                           void* user) {
  if (!released) return;
  std::size_t offset = 0;
  for (const WeightBlock& block : plan) {
    if (build_only_weights(block.role)) {
      released(user, file + offset, static_cast<std::size_t>(block.count));
    }
    offset += static_cast<std::size_t>(block.padded());
  }
}

const char* weight_role_name(WeightRole role) {
  switch (role) {
    case WeightRole::kMatrix: return "matrix";
    case WeightRole::kBias: return "bias";
    case WeightRole::kConvKernel: return "conv_kernel";
    case WeightRole::kDepthwiseKernel: return "depthwise_kernel";
    case WeightRole::kResidualKernel: return "residual_kernel";
    case WeightRole::kNormGain: return "norm_gain";
    case WeightRole::kNormBias: return "norm_bias";
    case WeightRole::kStyleNormWeight: return "style_norm_weight";
    case WeightRole::kStyleNormBias: return "style_norm_bias";
    case WeightRole::kPositionWeight: return "position_weight";
    case WeightRole::kPositionBias: return "position_bias";
    case WeightRole::kPitchEmbedWeight: return "pitch_embed_weight";
    case WeightRole::kPitchEmbedBias: return "pitch_embed_bias";
    case WeightRole::kPitchNormWeight: return "pitch_norm_weight";
    case WeightRole::kPitchNormBias: return "pitch_norm_bias";
    case WeightRole::kSourcePitchGain: return "source_pitch_gain";
    case WeightRole::kSourcePitchBias: return "source_pitch_bias";
    case WeightRole::kSourceConvKernel: return "source_conv_kernel";
    case WeightRole::kSpectrumKernel: return "spectrum_kernel";
    case WeightRole::kSpectrumBias: return "spectrum_bias";
    case WeightRole::kIstftBasis: return "istft_basis";
  }
  return "unknown";
}

int WeightBlock::padded() const { return alignsize(count, 32); }

std::size_t plan_floats(const WeightPlan& plan) {
  std::size_t n = 0;
  for (const auto& b : plan) n += static_cast<std::size_t>(b.padded());
  return n;
}

WeightPlan am_weight_plan() {
  constexpr int kContent = 2 * 256 + 1, kAux = 60, kDim = 192, kOut = 100, kHidden = 1024;
  constexpr int kBlocks = 4;
  Builder b;
  b.prenet("content_prenet", kContent, kDim);
  b.prenet("predictor_prenet", kDim, kDim);
  b.prenet("source_prenet", kAux, kDim);
  b.linear("pitch_embed", 1, kDim, WeightRole::kPitchEmbedWeight, WeightRole::kPitchEmbedBias);
  for (int i = 0; i < kBlocks; ++i) b.block(indexed("encoder", i), kDim, kHidden, false);
  for (int i = 0; i < kBlocks; ++i) {
    if (i + 1 < kBlocks) {
      b.block(indexed("predictor", i), kDim, kHidden, true);
    } else {
      b.block(indexed("predictor", i), kDim, kHidden, true, WeightRole::kPitchNormWeight,
              WeightRole::kPitchNormBias);
    }
  }
  for (int i = 0; i < kBlocks; ++i) {
    if (i + 1 < kBlocks) {
      b.block(indexed("source", i), kDim, kHidden, false);
    } else {
      b.block(indexed("source", i), kDim, kHidden, false, WeightRole::kSourcePitchGain,
              WeightRole::kSourcePitchBias);
    }
  }
  for (int i = 0; i < kBlocks; ++i) b.block(indexed("decoder", i), kDim, kHidden, true);
  b.linear("out_proj", kDim, kOut);
  return b.take();
}

WeightPlan bn_weight_plan() {
  constexpr int kDim = 256, kHidden = 2048, kBlocks = 12, kTaps = 9, kF2 = 19;
  Builder b;
  // EmbedLayer: two 3 x 3 convolutions (nine taps, output channel as column) and the projection
  // of each time step's 256 channels x 19 frequency positions.
  b.add("embed.conv0_weight", WeightRole::kConvKernel, kTaps * kDim, kTaps);
  b.add("embed.conv0_bias", WeightRole::kBias, kDim);
  b.add("embed.conv1_weight", WeightRole::kConvKernel, kDim * kTaps * kDim, kDim * kTaps, true);
  b.add("embed.conv1_bias", WeightRole::kBias, kDim);
  b.add("embed.proj_weight", WeightRole::kMatrix, kDim * kF2 * kDim, kDim * kF2, true);
  b.add("embed.proj_bias", WeightRole::kBias, kDim);
  for (int i = 0; i < kBlocks; ++i) b.block(indexed("block", i), kDim, kHidden, false);
  b.layer_norm("final_norm", kDim);
  return b.take();
}

WeightPlan voc_weight_plan() {
  constexpr int kFeatures = 100, kChannels0 = 512, kStages = 3, kResBlocks = 4, kResKernel = 3;
  constexpr int kSrcKernel[kStages] = {40, 8, 1};
  constexpr int kUpKernel[kStages] = {6, 10, 8};
  constexpr int kDilation[kResBlocks] = {1, 3, 9, 27};
  constexpr int kOutKernel = 7, kSpec = 18, kIstftWindow = 4, kIstftHop = 4;
  Builder b;
  b.conv1d("conv_in", 7, kFeatures, kChannels0);
  for (int s = 0; s < kStages; ++s) {
    const int c = kChannels0 >> s;
    const std::string st = indexed("stage", s);
    b.conv1d(st + ".source_conv", kSrcKernel[s], 1, c / 2, WeightRole::kSourceConvKernel);
    // Transposed convolution over windows of 2 frames: (c/2 x u) rows of 2 x c floats.
    const int u = kUpKernel[s] / 2;
    b.add(st + ".deconv_weight", WeightRole::kConvKernel, (c / 2) * u * 2 * c, 2 * c);
    b.add(st + ".deconv_bias", WeightRole::kBias, c / 2);
    for (int r = 0; r < kResBlocks; ++r) {
      const std::string rb = st + "." + indexed("resblock", r);
      b.conv1d(rb + ".conv_dilation" + std::to_string(kDilation[r]), kResKernel, c / 2, c / 2);
      b.conv1d(rb + ".conv", kResKernel, c / 2, c / 2, WeightRole::kResidualKernel);
    }
  }
  b.conv1d("conv_out", kOutKernel, kChannels0 >> kStages, kSpec, WeightRole::kSpectrumKernel,
           WeightRole::kSpectrumBias);
  b.add("istft_basis", WeightRole::kIstftBasis, kIstftHop * kIstftWindow * kSpec, kIstftWindow * kSpec);
  return b.take();
}

}  // namespace mvsdk::engine
