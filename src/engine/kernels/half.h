#pragma once
// IEEE 754 binary16 ("half precision") conversions, for weights held in half precision
// (weight_copies.h).
#include <cstddef>
#include <cstdint>

namespace mvsdk::engine {

// binary16 from a float: round to nearest, ties to even; beyond the largest half, an infinity of
// the float's sign; a NaN stays a (quiet) NaN. The same bits on every target.
std::uint16_t float_to_half(float f);
// The float a binary16 stands for (exact).
float half_to_float(std::uint16_t h);
// n conversions, vectorised where the processor converts halves itself (F16C on x86-64, NEON on
// arm64); the same bits as the one-at-a-time forms.
void floats_to_halves(const float* src, std::uint16_t* dst, std::size_t n);
void halves_to_floats(const std::uint16_t* src, float* dst, std::size_t n);

}  // namespace mvsdk::engine
