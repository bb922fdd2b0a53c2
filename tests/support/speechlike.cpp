#include "support/speechlike.h"

#include <cmath>
#include <cstddef>
#include <numbers>

namespace mvsdk::test {

std::vector<double> speechlike(int rate, int channels, double seconds) {
  const auto frames = static_cast<std::size_t>(rate * seconds);
  std::vector<double> out(frames * static_cast<std::size_t>(channels));
  for (int ch = 0; ch < channels; ++ch) {
    double phase = 0;
    for (std::size_t i = 0; i < frames; ++i) {
      const double t = static_cast<double>(i) / rate;
      const double f0 = (140.0 + 30.0 * std::sin(2 * std::numbers::pi * 1.3 * t)) * (ch == 0 ? 1.0 : 1.5);
      phase += 2 * std::numbers::pi * f0 / rate;
      double v = 0;
      for (int h = 1; h <= 12 && h * f0 < rate / 2.0; ++h) v += std::sin(h * phase) / h;
      const double env = 0.55 + 0.45 * std::sin(2 * std::numbers::pi * 4.0 * t);
      out[i * static_cast<std::size_t>(channels) + ch] = 0.3 * env * v;
    }
  }
  return out;
}

}  // namespace mvsdk::test
