#include "engine/layers/subencoder.h"

#include "engine/layers/conformer_block_impl.h"

namespace mvsdk::engine {

template class layers_detail::ConformerBlock<LayerNorm>;

SubEncoder::SubEncoder(const float* stream, int conv_mode, PositionEncoding* pe, int heads,
                       int head_dim, int dim, int hidden)
    : ConformerBlock(stream, conv_mode, pe, heads, head_dim, dim, hidden) {}

}  // namespace mvsdk::engine
