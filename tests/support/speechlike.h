#pragma once
// A voiced, speech-like test signal for tests that run audio through the whole kit.
#include <vector>

namespace mvsdk::test {

// A harmonic tone with a gliding pitch (110-170 Hz) under a syllable-rate envelope, interleaved
// frames at full scale +-1 (peaks near 0.5); the second channel (if any) a fifth higher, so that
// the channels differ.
std::vector<double> speechlike(int rate, int channels, double seconds);

}  // namespace mvsdk::test
