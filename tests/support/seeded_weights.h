#pragma once
// Deterministic pseudo-random floats for synthetic weights and inputs in engine tests: the same
// seed gives the same values on every machine (a 64-bit xorshift generator, no <random>).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mvsdk::test {

class SeededFloats {
 public:
  explicit SeededFloats(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  // Uniform in [-scale, scale).
  float next(float scale) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    const float u = static_cast<float>(state_ >> 40) * (1.0f / 16777216.0f);  // [0, 1)
    return (2.0f * u - 1.0f) * scale;
  }
  void fill(float* p, std::size_t n, float scale) {
    for (std::size_t i = 0; i < n; ++i) p[i] = next(scale);
  }
  std::vector<float> vector(std::size_t n, float scale) {
    std::vector<float> v(n);
    fill(v.data(), n, scale);
    return v;
  }

 private:
  std::uint64_t state_;
};

}  // namespace mvsdk::test
