#include "engine/nets/bnengine.h"

#include <cstring>

#include "engine/layers/pos_enc.h"

namespace mvsdk::engine {

namespace {

constexpr int kMaxEncFrames = 16;  // the blocks' limit; a chunk gives 4

// Floats of one conformer block of width d, feed-forward width h (the SubEncoder stream layout:
// attention, two feed-forwards, convolution module, five layer norms).
int subencoder_floats(int d, int h) {
  const int attn = 5 * alignsize(d * d, 32) + 6 * alignsize(d, 32);
  const int ff = 2 * alignsize(d * h, 32) + alignsize(h, 32) + alignsize(d, 32);
  const int conv = alignsize(2 * d * d, 32) + alignsize(2 * d, 32) + alignsize(d * 15, 32) +
                   alignsize(d, 32) + alignsize(d * d, 32) + alignsize(d, 32) +
                   2 * alignsize(d, 32);
  const int norms = 5 * 2 * alignsize(d, 32);
  return attn + 2 * ff + conv + norms;
}

}  // namespace

bnengine::bnengine(const float* weights, int mode) : memsize(0) {
  const float* p = weights;
  embed = std::make_unique<EmbedLayer>(p, kDim);
  p += embed->get_memsize();
  {
    // The blocks keep their own projections of the table; it goes once they are built.
    PositionEncoding table(kPosLen, kDim, 1);
    for (int i = 0; i < kBlocks; ++i) {
      blocks[i] = std::make_unique<SubEncoder>(p, mode, &table, kHeads, kHeadDim, kDim, kHidden);
      p += blocks[i]->get_memsize();
    }
  }
  norm = std::make_unique<LayerNorm>(p, kFinalEps, kDim);
  p += norm->get_memsize();
  memsize = static_cast<int>(p - weights);

  energy = std::make_unique<Tensor<float>>(kChunkRows, 1);
  aux = std::make_unique<Tensor<float>>(kChunkRows, kAuxWidth);
  mid = std::make_unique<Tensor<float>>(kMaxEncFrames, kDim);
  out = std::make_unique<Tensor<float>>(kChunkRows, kOutWidth);
  work = std::make_unique<Tensor<float>>(kMaxEncFrames, kDim);
  energy->resize(1, 1, 0, 1);
  aux->resize(1, 1, 0, kAuxWidth);
  out->resize(1, 1, 0, kOutWidth);
}

bnengine::~bnengine() = default;

int bnengine::weight_floats() {
  return EmbedLayer::weight_floats(kDim) + kBlocks * subencoder_floats(kDim, kHidden) +
         2 * alignsize(kDim, 32);
}

void bnengine::reset() {
  for (auto& b : blocks) b->reset();
  energy->resize(1, 1, 0, 1);
}

bool bnengine::forward(const Tensor<float>& chunk) {
  if (chunk.shape[2] != kChunkRows || chunk.shape[3] != kBands ||
      chunk.size != kChunkRows * kBands || chunk.data == nullptr) {
    return false;
  }
  const float* x = chunk.data;

  // 1. Frame energies: (mean - 12.5) x 0.2, each step rounded to float, the sum in index order.
  float* e = energy->data;
  for (int r = 0; r < kChunkRows; ++r) {
    const float* row = x + r * kBands;
    float s = 0.0f;
    for (int m = 0; m < kBands; ++m) s += row[m];
    const float centred = s / static_cast<float>(kBands) - 12.5f;
    e[r] = static_cast<float>(static_cast<double>(centred) * 0.2);
  }
  energy->resize(1, 1, kChunkRows, 1);

  // 2. Auxiliary rows: the first 16 chunk rows (the 3 overlap rows and 13 new ones).
  float* a = aux->data;
  for (int r = 0; r < kOutRows; ++r) {
    float* row = a + r * kAuxWidth;
    row[0] = e[r];
    std::memcpy(row + 1, x + r * kBands, sizeof(float) * (kAuxWidth - 1));
  }
  aux->resize(1, 1, kOutRows, kAuxWidth);

  // 3.-5. Front end, blocks 1..6 (kept in mid), blocks 7..12, final norm.
  embed->forward(chunk, work.get());
  for (int i = 0; i < kMidBlock; ++i) blocks[i]->forward(work.get());
  mid->reload(work.get());
  for (int i = kMidBlock; i < kBlocks; ++i) blocks[i]->forward(work.get());
  norm->forward(work.get());

  // 6. Back to the 10 ms rate: each encoder frame serves four output rows.
  const int frames = work->shape[2];
  float* o = out->data;
  for (int i = 0; i < frames; ++i) {
    for (int k = 0; k < 4; ++k) {
      const int j = 4 * i + k;
      float* row = o + j * kOutWidth;
      std::memcpy(row, mid->data + i * kDim, sizeof(float) * kDim);
      std::memcpy(row + kDim, work->data + i * kDim, sizeof(float) * kDim);
      row[2 * kDim] = e[j];
    }
  }
  out->resize(1, 1, 4 * frames, kOutWidth);

  // 7. The energies are per chunk.
  energy->resize(1, 1, 0, 1);
  return true;
}

void bnengine::forward(Tensor<float>*& x, Tensor<float>*& aux_out) {
  const bool ok = x != nullptr && forward(*x);
  if (!ok) {
    out->resize(1, 1, 0, kOutWidth);
    aux->resize(1, 1, 0, kAuxWidth);
  }
  delete x;
  x = out.get();
  aux_out = aux.get();
}

}  // namespace mvsdk::engine
