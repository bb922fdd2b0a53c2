#pragma once
// The streaming conformer block shared by SubEncoder (LayerNorm) and SubStyleEncoder
// (StyleLayerNorm); see subencoder.h. Internal to src/engine/layers/: the two block classes
// instantiate it in their own source files.
#include <memory>

#include "engine/core/alignmm.h"
#include "engine/layers/convmodule.h"
#include "engine/layers/encselfattn.h"
#include "engine/layers/feedforward.h"
#include "engine/layers/pos_enc.h"

namespace mvsdk::engine::layers_detail {

template <class Norm>
class ConformerBlock {
 public:
  static constexpr int kMaxFrames = 16;
  static constexpr float kNormEps = 1e-12f;

  // Stream order: attn, ff_late, ff_early, conv, norm_late, norm_attn, norm_early, norm_conv,
  // norm_final; each sub-layer starts where the previous one stopped.
  ConformerBlock(const float* stream, int conv_mode, PositionEncoding* pe, int heads, int head_dim,
                 int dim, int hidden);
  ConformerBlock(const ConformerBlock&) = delete;
  ConformerBlock& operator=(const ConformerBlock&) = delete;

  // One block on one chunk x (1, 1, T, dim), in place:
  //   x += 0.5 ff_early(norm_early(x)); x += attn(norm_attn(x)); x += conv(norm_conv(x));
  //   x += 0.5 ff_late(norm_late(x)); x = norm_final(x).
  // Returns false and leaves x and the block's state untouched when the chunk does not fit
  // (x not (1, 1, T, dim), T > 16, or the attention window cannot take T frames).
  bool forward(Tensor<float>* x);
  // Empties the residual, the attention caches and the convolution history.
  void reset();

  int get_memsize() const { return memsize_; }
  const EncSelfAttn& attention() const { return *attn_; }
  const ConvModule& conv() const { return *conv_; }

 protected:
  int heads_;
  int head_dim_;
  int dim_;
  int memsize_;
  Tensor<float> residual_;  // (1, 1, 16, dim)
  std::unique_ptr<ConvModule> conv_;
  std::unique_ptr<EncSelfAttn> attn_;
  std::unique_ptr<FeedForward> ff_late_;
  std::unique_ptr<FeedForward> ff_early_;
  std::unique_ptr<Norm> norm_late_;
  std::unique_ptr<Norm> norm_attn_;
  std::unique_ptr<Norm> norm_early_;
  std::unique_ptr<Norm> norm_conv_;
  std::unique_ptr<Norm> norm_final_;
};

}  // namespace mvsdk::engine::layers_detail
