#pragma once
// The content (bottleneck) encoder. Per feature chunk (19 log mel frames, the first 3 repeating
// the previous chunk) it produces, for the acoustic model:
//   - out (1, 1, 16, 513): row j = [block-6 encoding of encoder frame j / 4 (256),
//     final encoding of that frame (256), energy of chunk row j];
//   - aux (1, 1, 16, 60): row j = [energy of chunk row j, its mel bands 0..58].
// Inside: EmbedLayer (19 frames -> 4 frames of width 256, one per 40 ms), twelve conformer
// blocks (SubEncoder: width 256, 4 heads of 64, feed-forward 2048) and a final LayerNorm.
// A frame's energy is (mean of its 80 log mel values - 12.5) x 0.2.
//
// Weights are borrowed from the model file's float block, which must outlive the network; every
// tensor is allocated at construction. Streaming state lives only in the blocks' attention and
// convolution caches. One thread at a time (the engine's processing thread); forward()
// allocates nothing.
#include <array>
#include <memory>

#include "engine/core/alignmm.h"
#include "engine/layers/embedlayer.h"
#include "engine/layers/layernorm.h"
#include "engine/layers/subencoder.h"

namespace mvsdk::engine {

class bnengine {
 public:
  static constexpr int kDim = 256;
  static constexpr int kHeads = 4;
  static constexpr int kHeadDim = 64;
  static constexpr int kHidden = 2048;
  static constexpr int kBlocks = 12;
  static constexpr int kMidBlock = 6;       // the output also carries the encoding after block 6
  static constexpr int kChunkRows = 19;     // input rows per chunk
  static constexpr int kBands = 80;
  static constexpr int kOutRows = 16;       // chunk rows minus the 3 overlap rows
  static constexpr int kOutWidth = 2 * kDim + 1;
  static constexpr int kAuxWidth = 60;
  static constexpr int kPosLen = 5000;      // positional table rows
  static constexpr float kFinalEps = 1e-12f;

  // Builds the network from `weights` (EmbedLayer, 12 blocks, final LayerNorm, in that order);
  // `mode` goes to every block's convolution module (the engine passes 1, streaming).
  bnengine(const float* weights, int mode);
  ~bnengine();
  bnengine(const bnengine&) = delete;
  bnengine& operator=(const bnengine&) = delete;

  // Floats a bnengine reads from its weight file (no weights needed).
  static int weight_floats();
  // Floats this network consumed (== weight_floats()).
  int get_memsize() const { return memsize; }

  // Runs one chunk (1, 1, 19, 80), which is only read. On success the results are in out_tensor()
  // and aux_tensor(). Returns false, leaving the stream state untouched, on any other shape.
  bool forward(const Tensor<float>& chunk);
  // The engine's form: runs the chunk x designates, then destroys it (x must come from new) and
  // sets x to the out tensor and aux to the aux tensor, both owned by the network and valid until
  // its next forward or reset. A chunk of the wrong shape yields 0-row outputs.
  void forward(Tensor<float>*& x, Tensor<float>*& aux);

  // Clears the blocks' attention and convolution caches.
  void reset();

  Tensor<float>* out_tensor() const { return out.get(); }
  Tensor<float>* aux_tensor() const { return aux.get(); }

 private:
  int memsize;
  std::unique_ptr<EmbedLayer> embed;
  std::array<std::unique_ptr<SubEncoder>, kBlocks> blocks;
  std::unique_ptr<LayerNorm> norm;
  std::unique_ptr<Tensor<float>> energy;  // kChunkRows x 1
  std::unique_ptr<Tensor<float>> aux;     // kChunkRows x 60
  std::unique_ptr<Tensor<float>> mid;     // encoder frames x 256, after block 6
  std::unique_ptr<Tensor<float>> out;     // kChunkRows x 513
  std::unique_ptr<Tensor<float>> work;    // the encoder frames through the blocks
};

}  // namespace mvsdk::engine
