#pragma once
// A voiced, speech-like test signal for tests that run audio through the whole kit.
#include <vector>

namespace mvsdk::test {

// A harmonic tone with a gliding pitch (110-170 Hz) under a syllable-rate envelope, interleaved
// frames at full scale +-1 (peaks near 0.5); the second channel (if any) a fifth higher, so that
// the channels differ.
std::vector<double> speechlike(int rate, int channels, double seconds);

// Syllables and pauses, mono at full scale +-1: harmonic bursts of a gliding voice (100-180 Hz)
// whose harmonics follow three formant-like resonances (700, 1200 and 2600 Hz), each under a
// raised-cosine envelope peaking at `peak`, separated by pauses of exact silence.
struct Syllables {
  std::vector<double> signal;
  std::vector<bool> voiced;  // inside a syllable
};
Syllables syllables(int rate, double seconds, double syllable_s, double pause_s, double peak);

}  // namespace mvsdk::test
