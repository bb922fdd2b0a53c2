#include "engine/layers/substylencoder.h"

#include "engine/layers/conformer_block_impl.h"

namespace mvsdk::engine {

template class layers_detail::ConformerBlock<StyleLayerNorm>;

SubStyleEncoder::SubStyleEncoder(const float* stream, int conv_mode, PositionEncoding* pe,
                                 int heads, int head_dim, int dim, int hidden)
    : ConformerBlock(stream, conv_mode, pe, heads, head_dim, dim, hidden) {}

bool SubStyleEncoder::setstyle(const Tensor<float>* style) {
  if (style == nullptr || style->data == nullptr || style->size < dim_) return false;
  for (StyleLayerNorm* n : {norm_late_.get(), norm_attn_.get(), norm_early_.get(),
                            norm_conv_.get(), norm_final_.get()}) {
    n->setstyle(style);
  }
  return true;
}

}  // namespace mvsdk::engine
