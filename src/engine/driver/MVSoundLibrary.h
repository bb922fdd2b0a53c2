#pragma once
// MVSoundLibrary: the process-wide facade over one engine. It loads the three model files,
// creates and destroys the engine, and forwards pushes, pops, style changes, resets and delay
// changes with fixed status codes.
//
// Status codes:
//   kDone (10000)          the call was carried out (or had nothing to do)
//   kNotStarted (20001)    the engine is not running (transfer calls and setdelay only)
//   kModelFileError (20002) startEngine: a model file is missing, unreadable, not a regular file,
//                          empty or shorter than the floats its network reads; the engine did
//                          not start and a log line names the file and the sizes
//   kEngineInitError (20003) startEngine: a rate outside 8000..192000 Hz, or an allocation
//                          failed while building the engine; the engine did not start
// The transfer calls otherwise answer sample counts, so 20001 is told from a count only by value.
//
// Threads: startEngine, stopEngineSoundLibrary, setSpeakersStyleSoundLibrary, engineReset,
// engineSetdelay and realTimeSoundTransferSoundLibrary must come from one thread at a time (the
// bridge's serial queue). getRealTimeSoundTransferSoundLibrary and getEngineStatus may be called
// from any thread at any time: a pull never waits for a chunk's computation (only for a copy out of
// the output ring), and a stop waits for pulls in progress to leave before it frees the engine.
#include <functional>
#include <string>

namespace mvsdk::engine {

class engine;

class MVSoundLibrary {
 public:
  static constexpr int kDone = 10000;
  static constexpr int kNotStarted = 20001;
  static constexpr int kModelFileError = 20002;
  static constexpr int kEngineInitError = 20003;

  static int startEngine(const char* amPath, const char* bnPath, const char* vocPath, int inRate, int outRate);
  static int stopEngineSoundLibrary();
  static void freeEngine();
  static int setSpeakersStyleSoundLibrary(const float* style);
  // Pushes count samples; returns the output-rate samples queued, 0, or kNotStarted.
  static int realTimeSoundTransferSoundLibrary(const short* samples, int count, int control, float* controls);
  // Pops count samples into out; returns count, 0 (underrun: out is silence), or kNotStarted.
  static int getRealTimeSoundTransferSoundLibrary(short* out, int count);
  // Moves the converted samples already queued (at most max) into out without waiting for more;
  // returns their count (0 when none are queued) or kNotStarted. *began (when given) tells whether
  // output has begun (the first chunk is out; before it a pull gives silence). For the thread
  // that serialises the engine calls, which hands the samples on to the audio thread itself.
  static int takeQueuedSoundLibrary(short* out, int max, int* began);
  static int engineReset();
  static int engineSetdelay(int steps);
  // 1 while running, else 0.
  static int getEngineStatus();

  // How many threads compute a chunk's matrix products from the next startEngine on: 1 (the
  // pushing thread alone, the default), 2..16, or 0 = automatic (the processor's cores, at most
  // 4). The output is the same to the bit for every count.
  static void setEngineThreads(int threads);
  // Threads of the running engine; 0 when not running.
  static int engineThreads();
  // From the next startEngine on: whether the engine holds its matrix weights in half precision
  // (converted once at start, computed in single precision; about half the weight memory, a small
  // loss of fidelity). Off by default: the weights are used as the files hold them.
  static void setHalfPrecisionWeights(bool on);
  // Whether the running engine holds its weights in half precision; false when not running.
  static bool halfPrecisionWeights();

  // Where failures are reported (one line each); the default discards them. The bridge routes
  // them to the kit's log.
  static void setLogger(std::function<void(const std::string&)> logger);
  // The running engine for diagnostics tools (observers); null when not running. Only for use on
  // the thread that serialises the engine calls.
  static engine* currentEngine();
  // The result of the last pull.
  static int lastPullResult();
};

}  // namespace mvsdk::engine
