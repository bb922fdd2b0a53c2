#pragma once
// A small deterministic generator for the synthetic model and style files: splitmix64, the same
// stream for the same seed on every machine (integer arithmetic only; the float conversions are
// exact), fast enough to fill hundreds of megabytes of weights in a fraction of a second.
#include <cstdint>

namespace mvsdk::models {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1), 24 bits.
  float unit() { return static_cast<float>(next() >> 40) * (1.0f / 16777216.0f); }
  // Uniform in [-scale, scale).
  float uniform(float scale) { return (2.0f * unit() - 1.0f) * scale; }
  // Approximately normal with the given standard deviation: the sum of 12 uniforms minus 6
  // (Irwin-Hall), bounded at +-6 deviations and free of library maths.
  float normal(float sd) {
    float s = 0.0f;
    for (int i = 0; i < 12; ++i) s += unit();
    return (s - 6.0f) * sd;
  }

 private:
  std::uint64_t state_;
};

// A seed for one independent stream, derived from the run's seed and two labels (a file and a
// block within it), so that each block's values do not depend on the blocks before it.
inline std::uint64_t derive_seed(std::uint64_t seed, std::uint64_t a, std::uint64_t b) {
  Rng r(seed ^ (a * 0xD1B54A32D192ED03ull) ^ (b * 0x8CB92BA72F3D8DD7ull));
  r.next();
  return r.next();
}

}  // namespace mvsdk::models
