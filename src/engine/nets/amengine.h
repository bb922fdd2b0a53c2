#pragma once
// Acoustic model network: turns one chunk of content features (from the content encoder) into
// 100 acoustic features per frame and the frame pitch of the target voice, conditioned on a
// 192-value speaker style vector.
//
// Stages: content prenet (513 -> 192) and four conformer blocks (encoder stack); a pitch path
// chosen per call (see forward); pitch embedding (1 -> 192) added to the encoder output; four
// style-conditioned conformer blocks (decoder stack) and the output projection (192 -> 100).
//
// Pitch is carried in normalised units n, Hz = n x 525.049766020263 + 74.9358171247276
// (computed in double, stored as float); 0 Hz marks an unvoiced frame.
//
// Weight stream: the acoustic model file, a headerless float array read in this order, every
// parameter block padded to alignsize(count, 32) floats: content prenet, predictor prenet, source
// prenet, pitch embedding, 4 encoder blocks, 4 pitch-predictor blocks, 4 source-pitch blocks,
// 4 decoder blocks, output projection; 20792704 floats in all (stream_floats()). The model keeps
// pointers into the stream, which must hold at least stream_floats() floats and outlive it.
//
// Ownership and lifetime: every tensor, scratch and cache is allocated by the constructor;
// forward, reset and setstyle allocate nothing. The tensor handed out as f0 belongs to the model
// and is overwritten by the next forward. Threads: one thread at a time (the engine's processing
// thread); the pitch parameter block is read and written during forward.
#include <memory>

#include "engine/core/alignmm.h"
#include "engine/layers/linear.h"
#include "engine/layers/prenet.h"
#include "engine/layers/subencoder.h"
#include "engine/layers/substylencoder.h"

namespace mvsdk::engine {

class amengine {
 public:
  // Fixed configuration the weight files are made for.
  static constexpr int kContentWidth = 2 * 256 + 1;  // content features per input row
  static constexpr int kAuxWidth = 60;               // frame energy + lowest mel bands
  static constexpr int kDim = 192;                   // model width (also the style length)
  static constexpr int kOutWidth = 100;              // acoustic features per output row
  static constexpr int kHeads = 2;
  static constexpr int kHeadDim = 96;
  static constexpr int kHidden = 1024;               // feed-forward hidden width
  static constexpr int kBlocks = 4;                  // blocks per stack
  static constexpr int kMaxFrames = 16;              // most frames per forward call
  static constexpr int kPitchParams = 5;             // pitch parameter entries read or written

  // Floats the constructor reads from its stream (20792704), computable without weights: the
  // model writer and the file-size check use it.
  static int stream_floats();

  // Builds every layer from `stream` (at least stream_floats() floats). conv_mode goes to every
  // block's convolution module (1 = streaming, the engine's mode). setstyle must follow before
  // the first forward.
  amengine(const float* stream, int conv_mode);
  ~amengine();
  amengine(const amengine&) = delete;
  amengine& operator=(const amengine&) = delete;

  // Floats consumed from the stream (equals stream_floats()).
  int get_memsize() const { return memsize; }

  // Clears the attention and convolution state of the 16 blocks and the pitch statistics. The
  // style set last stays in force.
  void reset();

  // Sets the speaker style (kDim floats in style->data) on the pitch-predictor and decoder blocks.
  void setstyle(const Tensor<float>* style);

  // One chunk, T = x.d2 frames (1 <= T <= kMaxFrames).
  //   x in: (1, 1, T, 513) content features; out: (1, 1, T, 100) acoustic features, same tensor.
  //   y in: (1, 1, T, 60) auxiliary features; read in modes other than 0, never modified.
  //   f0_out out: the model's pitch tensor, (1, 1, T, 1), Hz per frame, exactly 0 if unvoiced.
  //   mode 0: pitch predicted from content and style.
  //   mode 1: source pitch a transposed where its voicing score exceeds params[3]:
  //           n = params[2] / 525.04 + 2^(params[1] / 12) x a.
  //   any other mode ("mode 2"): source pitch mapped onto target statistics learned from the
  //           predictor while running; while the target voiced-frame count is at most params[4]
  //           the mapping is refreshed and written back as params[1] (semitones) and params[2].
  // params: at least kPitchParams floats: 0 statistics method (0 mean and deviation, 1 mean
  // ratio), 1 semitones, 2 offset (about Hz), 3 voicing threshold, 4 voiced-frame limit.
  // Returns false, touching nothing, when a shape or capacity does not fit (x, y, params null;
  // T outside 1..kMaxFrames; x narrower than 513 or without room for T x 513 floats; y not
  // T x 60 in modes 1 and 2).
  bool forward(Tensor<float>*& x, Tensor<float>*& y, Tensor<float>*& f0_out, int mode, float* params);

  // Fixed-parameter form. Mode 1 maps n = 0.6781 a + 0.1716 (in double) where the voicing score
  // exceeds 0.1; mode 2 always uses mean and deviation matching without a frame limit, writes
  // nothing back, maps frames voiced above 0.1, and also adds each voiced output pitch (Hz) to
  // the source statistics. The last argument does not affect the result.
  bool forward(Tensor<float>*& x, Tensor<float>*& y, Tensor<float>*& f0_out, int mode, int unused);

  // Frames of the last chunk (0 after reset).
  int frame_count() const { return frames; }
  // The 8 pitch statistics: 0 source voiced frames, 1 source Hz sum, 2 source Hz square sum,
  // 3 target voiced frames, 4 target Hz sum, 5 target Hz square sum, 6 ratio, 7 offset (normalised).
  const float* pitch_stats() const { return stats->data; }
  // Voicing scores b of the last source-pitch pass (frame_count() floats; modes 1 and 2), for
  // diagnostics: a frame counts as voiced when its score exceeds 0.1.
  const float* voicing_scores() const { return score->data; }

 private:
  bool run(Tensor<float>* x, Tensor<float>* y, Tensor<float>*& f0_out, int mode, float* params, bool fixed);
  // hidden (encoder output) -> predictor stack; f0 = row means, voiced = mean > 0.001.
  void predict_pitch(int T);
  // hidden = y -> source stack; f0 = a (mean of the first 176 values), b in `score`.
  void source_pitch(Tensor<float>* y, int T);
  // Mode 2 step 3: refresh ratio and offset from the statistics (method 0 or 1).
  void update_mapping(int method);
  void build(const float* stream, int conv_mode);
  void free_tensors();

  int frames = 0;
  int memsize = 0;
  Tensor<float>* content = nullptr;  // (16, 192): encoder output kept for the residual
  Tensor<float>* hidden = nullptr;   // (16, 192): working tensor
  Tensor<float>* f0 = nullptr;       // 32 floats: normalised pitch, then Hz; (1, 1, T, 1) when handed out
  Tensor<float>* voiced = nullptr;   // 32 floats: 1.0 voiced, 0.0 unvoiced
  Tensor<float>* score = nullptr;    // 32 floats: source voicing score b of the last source pass
  Tensor<float>* stats = nullptr;    // 16 floats, see pitch_stats()

  std::unique_ptr<Prenet> content_prenet;
  std::unique_ptr<Prenet> predictor_prenet;
  std::unique_ptr<Prenet> source_prenet;
  std::unique_ptr<SubEncoder> encoder[kBlocks];
  std::unique_ptr<SubEncoder> source[kBlocks];
  std::unique_ptr<SubStyleEncoder> predictor[kBlocks];
  std::unique_ptr<SubStyleEncoder> decoder[kBlocks];
  std::unique_ptr<Linear> pitch_embed;
  std::unique_ptr<Linear> out_proj;
};

}  // namespace mvsdk::engine
