#include "support/speechlike.h"

#include <cmath>
#include <cstddef>
#include <numbers>
#include <utility>

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

Syllables syllables(int rate, double seconds, double syllable_s, double pause_s, double peak) {
  const auto frames = static_cast<std::size_t>(rate * seconds);
  const auto syllable = static_cast<std::size_t>(rate * syllable_s);
  const auto period = syllable + static_cast<std::size_t>(rate * pause_s);
  auto formants = [](double f) {
    double w = 0;
    for (const auto& [centre, width] : {std::pair{700.0, 130.0}, std::pair{1200.0, 150.0}, std::pair{2600.0, 250.0}}) {
      w += 1.0 / (1.0 + (f - centre) * (f - centre) / (width * width));
    }
    return w;
  };
  Syllables s;
  s.signal.assign(frames, 0.0);
  s.voiced.assign(frames, false);
  // Normalise the harmonic sum once, at the middle of the glide, so the peaks land near `peak`.
  double scale = 0;
  for (int h = 1; 140.0 * h < 4000.0; ++h) scale += formants(140.0 * h);
  double phase = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    const std::size_t k = i % period;
    if (k >= syllable) continue;
    const double t = static_cast<double>(i) / rate;
    const double f0 = 140.0 + 40.0 * std::sin(2 * std::numbers::pi * 0.9 * t);
    phase += 2 * std::numbers::pi * f0 / rate;
    double v = 0;
    for (int h = 1; h * f0 < 4000.0 && h * f0 < rate / 2.0; ++h) v += formants(h * f0) * std::sin(h * phase);
    const double env = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(syllable));
    s.signal[i] = peak * env * v / scale;
    s.voiced[i] = true;
  }
  return s;
}

}  // namespace mvsdk::test
