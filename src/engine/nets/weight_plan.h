#pragma once
// The block-by-block layout of the three model weight files: for every parameter block, in file
// order, its name, its float count, its role in the network and the fan-in of the product it
// feeds. Each block occupies alignsize(count, 32) floats in the file; the sum over a plan is the
// float count the network reads (amengine::stream_floats(), bnengine::weight_floats(),
// vocengine::weight_floats()).
//
// The plans describe the files; they do not build networks. Writers of synthetic model files use
// the roles to give every block values of a sensible scale, and the tests compare each plan's
// total with its network so that a change of layout shows up at once.
//
// Pure functions: a plan is built on each call and owned by the caller; safe on any thread.
#include <cstddef>
#include <string>
#include <vector>

namespace mvsdk::engine {

enum class WeightRole {
  kMatrix,           // weight of a fully connected product (either storage order); fan_in inputs
  kBias,             // bias of a product or convolution
  kConvKernel,       // convolution or transposed-convolution kernel; fan_in = taps x in channels
  kDepthwiseKernel,  // per-channel kernel of a convolution module (15 taps per channel)
  kResidualKernel,   // last convolution of a residual branch, whose output is added to its input
  kNormGain,         // LayerNorm gamma
  kNormBias,         // LayerNorm beta
  kStyleNormWeight,  // StyleLayerNorm projection of the style vector (2 dim rows of dim floats)
  kStyleNormBias,    // StyleLayerNorm bias: dim gain entries, then dim bias entries
  kPositionWeight,   // attention projection of the sinusoidal position table (dim x dim)
  kPositionBias,     // attention position bias u or v
  kPitchEmbedWeight, // acoustic model: embedding of the normalised pitch (1 -> 192)
  kPitchEmbedBias,
  // Acoustic model: the last StyleLayerNorm of the pitch predictor. The mean of its output row is
  // the predicted normalised pitch (Hz = n x 525.05 + 74.94; voiced when n > 0.001).
  kPitchNormWeight,
  kPitchNormBias,
  // Acoustic model: the last LayerNorm of the source pitch stack. The mean of the first
  // dim - 16 outputs is the source's normalised pitch, the mean of the last 16 its voicing score
  // (voiced above 0.1).
  kSourcePitchGain,
  kSourcePitchBias,
  kSourceConvKernel, // vocoder: convolution of the harmonic sine source into a stage
  kSpectrumKernel,   // vocoder: output convolution to 9 log-magnitudes and 9 phase values
  kSpectrumBias,     // its bias: 9 log-magnitude entries, then 9 phase entries
  kIstftBasis,       // vocoder: inverse transform, 4 rows (sample in the hop) of 4 x 18 floats
};

// Short lower-case name of a role ("matrix", "norm_gain", ...).
const char* weight_role_name(WeightRole role);

// Whether blocks of this role are the weights of the matrix products a chunk computes (what a
// half-precision table is offered, besides the style projections). Not the position projection
// (made once, when a network is built) nor the style, pitch and norm parameters.
bool chunk_product_weights(WeightRole role);

struct WeightBlock {
  std::string name;  // path of the block in the network, e.g. "decoder[2].attn.query_weight"
  WeightRole role;
  int count;         // floats the network reads
  int fan_in;        // inputs of each output the block's weights feed (0 for biases and norms)
  // A fan_in x (count / fan_in) matrix, input index as row, that the chunk's products read whole
  // and untransposed (fully connected layers and the embedding's products).
  bool input_rows = false;
  int padded() const;  // alignsize(count, 32): floats the block occupies in the file
};

using WeightPlan = std::vector<WeightBlock>;

// Plans of the acoustic model, content encoder and vocoder files.
WeightPlan am_weight_plan();
WeightPlan bn_weight_plan();
WeightPlan voc_weight_plan();

// Floats a plan occupies in its file (the sum of the padded block sizes).
std::size_t plan_floats(const WeightPlan& plan);

class WeightCopies;

// Offers the plan's blocks that the chunk's products read to `table` for copies in its form (fully
// connected weights in panel order): to a half-precision table all of them and the style
// projections (read at each style change), to a table of panels the fully connected matrices.
// `file` is the start of the plan's weight file. Blocks the table refuses are read from the file;
// so is the embedding's first kernel, which a direct BLAS call reads, being below the table's
// smallest block. After each block is copied, released (when not null) is called with the block's
// floats, which the engine does not read again.
using WeightsReleased = void (*)(void* user, const float* src, std::size_t count);
void add_weight_copies(const WeightPlan& plan, const float* file, WeightCopies& table,
                       WeightsReleased released = nullptr, void* user = nullptr);

// Whether blocks of this role are read only while a network is built (the position projections).
bool build_only_weights(WeightRole role);

// Calls released with every block of the plan that a network reads only while it is built, once
// the network over `file` has been built.
void release_build_weights(const WeightPlan& plan, const float* file, WeightsReleased released,
                           void* user);

}  // namespace mvsdk::engine
