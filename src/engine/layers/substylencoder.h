#pragma once
// The conformer block of subencoder.h with each of its five LayerNorms replaced by a
// StyleLayerNorm whose gain and bias come from the speaker style vector. setstyle() must run
// before the first forward(); reset() leaves the style in force.
//
// Ownership, lifetime and threads as for SubEncoder.
#include "engine/layers/conformer_block.h"
#include "engine/layers/stylelayernorm.h"

namespace mvsdk::engine {

class SubStyleEncoder : public layers_detail::ConformerBlock<StyleLayerNorm> {
 public:
  // Same arguments as SubEncoder. Floats consumed: 1459520 for (2, 96, 192, 1024).
  SubStyleEncoder(const float* stream, int conv_mode, PositionEncoding* pe, int heads,
                  int head_dim, int dim, int hidden);

  // Sets the style (dim floats) on all five norms. Returns false and changes nothing when style
  // holds fewer than dim floats.
  bool setstyle(const Tensor<float>* style);
};

}  // namespace mvsdk::engine
