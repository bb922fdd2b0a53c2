#pragma once
// Streaming conformer block (macaron arrangement) of the content encoder and the acoustic model:
// half-weighted feed-forward, self-attention over a window of past frames, convolution module
// with a causal depthwise convolution, second half-weighted feed-forward, final LayerNorm
// (every norm eps 1e-12). Chunks are (1, 1, T, dim), T <= 16.
//
// Weights are borrowed from the weight stream, which must outlive the block unchanged; the
// position table is only read during construction. The block owns its sub-layers, their caches
// and scratch, all allocated at construction. One thread at a time; forward() allocates nothing.
#include "engine/layers/conformer_block.h"
#include "engine/layers/layernorm.h"

namespace mvsdk::engine {

class SubEncoder : public layers_detail::ConformerBlock<LayerNorm> {
 public:
  // (stream, convolution mode, position table, heads, head_dim, dim, hidden). Floats consumed:
  // 1090880 for (2, 96, 192, 1024), 2635520 for (4, 64, 256, 2048).
  SubEncoder(const float* stream, int conv_mode, PositionEncoding* pe, int heads, int head_dim,
             int dim, int hidden);
};

}  // namespace mvsdk::engine
