#pragma once
// Shared engine fixtures: the synthetic model files opened once, an engine factory with a fixed
// style, a voiced test signal, and the neutral pitch parameter block.
#include <cmath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "engine/driver/engine.h"
#include "engine/driver/model_file.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "support/synthetic_models.h"

namespace mvsdk::test {

using Engine = mvsdk::engine::engine;
using mvsdk::engine::amengine;
using mvsdk::engine::bnengine;
using mvsdk::engine::ModelFile;
using mvsdk::engine::vocengine;

struct Models {
  ModelFile am, bn, voc;
  Models() {
    const auto& p = mvsdk::test::synthetic_models();
    EXPECT_TRUE(am.open(p.am, static_cast<std::size_t>(amengine::stream_floats())));
    EXPECT_TRUE(bn.open(p.bn, static_cast<std::size_t>(bnengine::weight_floats())));
    EXPECT_TRUE(voc.open(p.voc, static_cast<std::size_t>(vocengine::weight_floats())));
  }
  std::unique_ptr<Engine> make(int in_rate, int out_rate, int threads = 1) const {
    auto e = std::make_unique<Engine>(am.floats(), bn.floats(), voc.floats(), in_rate, out_rate, threads);
    std::vector<float> style(Engine::kStyleSize);
    for (int i = 0; i < Engine::kStyleSize; ++i) style[i] = 0.1f * std::sin(0.37f * i);
    e->setstyle(style.data());
    return e;
  }
};

inline const Models& models() {
  static Models m;
  return m;
}

// A voiced-sounding test signal: a few harmonics of a gliding pitch plus a little noise.
inline std::vector<short> test_signal(int rate, double seconds) {
  const int n = static_cast<int>(rate * seconds);
  std::vector<short> s(n);
  double phase = 0;
  unsigned noise = 12345;
  for (int i = 0; i < n; ++i) {
    const double f0 = 140 + 40 * std::sin(2 * M_PI * 0.7 * i / rate);
    phase += 2 * M_PI * f0 / rate;
    noise = noise * 1103515245u + 12345u;
    const double v = 0.3 * std::sin(phase) + 0.15 * std::sin(2 * phase) + 0.08 * std::sin(3 * phase) +
                     0.01 * (static_cast<int>((noise >> 16) & 0x7fff) / 16384.0 - 1.0);
    s[i] = static_cast<short>(std::lround(v * 32767 * 0.8));
  }
  return s;
}

inline float params_default[6] = {0, 0, 0, 0.1f, 2000, 0};


}  // namespace mvsdk::test
