// mvsdk-convert and mvsdk-soak end to end. mvsdk-convert: audio files of every sample format, mono
// and stereo, through the whole kit on the embedded local service, and the failures a user meets,
// each of which must be one line on stderr, a non-zero exit and no output file. The test's own
// files are written and read with libsndfile directly, apart from the tool's code. mvsdk-soak on
// short runs: the summary adds up (every buffer accounted for, the voice changes and restarts
// asked for were made), its memory check trips on a real leak, and a bad command line is refused.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <optional>
#include <regex>

#include "support/local_http_server.h"
#include "support/local_service.h"
#include "support/speechlike.h"
#include "support/tool_launch.h"

namespace mvsdk::test {
namespace {

namespace fs = std::filesystem;

struct Wav {
  int rate = 0, channels = 0;
  int subtype = SF_FORMAT_PCM_16;  // libsndfile's PCM_U8, PCM_16, PCM_24, PCM_32 or FLOAT
  std::vector<double> samples;     // interleaved, full scale +-1
  std::size_t frames() const { return samples.size() / static_cast<std::size_t>(channels); }
  double at(std::size_t frame, int ch) const { return samples[frame * static_cast<std::size_t>(channels) + ch]; }
};

void write_wav(const fs::path& path, const Wav& w) {
  SF_INFO info{};
  std::tie(info.samplerate, info.channels, info.format) = std::tuple(w.rate, w.channels, SF_FORMAT_WAV | w.subtype);
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  EXPECT_EQ(sf_writef_double(f, w.samples.data(), static_cast<sf_count_t>(w.frames())),
            static_cast<sf_count_t>(w.frames()));
  sf_close(f);
}

std::optional<Wav> read_wav(const fs::path& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return std::nullopt;
  Wav w{info.samplerate, info.channels, info.format & SF_FORMAT_SUBMASK,
        std::vector<double>(static_cast<std::size_t>(info.frames * info.channels))};
  const bool whole = sf_readf_double(f, w.samples.data(), info.frames) == info.frames;
  sf_close(f);
  return whole ? std::optional(w) : std::nullopt;
}

// Every run gets the same home, data, cache and settings folders, so the synthetic models are
// made by the first run and reused by the others, as for a user.
class ConvertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { home_ = new TempDir("mvsdk-convert-home"); }
  static void TearDownTestSuite() { delete home_; }

  ToolOutput convert(const std::vector<std::string>& args) {
    return run_tool_in_home("mvsdk-convert", args, home_->path());
  }
  Wav speech(int rate, int channels, int subtype = SF_FORMAT_PCM_16, double seconds = 1.2) {
    return {rate, channels, subtype, speechlike(rate, channels, seconds)};
  }

  // Converts the input and checks the output against it: same rate, channels and format, the
  // same length, sound after the start-up delay that is not the input, every channel the first.
  void convert_and_check(const Wav& in, std::vector<std::string> args = {}) {
    SCOPED_TRACE("subtype " + std::to_string(in.subtype) + ", " + std::to_string(in.rate) + " Hz, " +
                 std::to_string(in.channels) + " channels");
    write_wav(input, in);
    fs::remove(output);
    args.insert(args.end(), {input.string(), output.string()});
    const ToolOutput r = convert(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("voices are synthetic"), std::string::npos) << r.out;
    const auto written = read_wav(input);  // the input as the file holds it
    const auto o = read_wav(output);
    ASSERT_TRUE(o && written) << "unreadable output";
    EXPECT_EQ(std::tuple(o->rate, o->channels, o->subtype), std::tuple(in.rate, in.channels, in.subtype));
    ASSERT_EQ(o->frames(), written->frames());
    std::size_t first = 0;
    while (first < o->frames() && o->at(first, 0) == 0.0) ++first;
    ASSERT_LT(first + static_cast<std::size_t>(in.rate) / 2, o->frames()) << "no sound in the last 0.5 s";
    double energy = 0, in_energy = 0, diff = 0;
    for (std::size_t i = first; i < o->frames(); ++i) {
      energy += o->at(i, 0) * o->at(i, 0);
      in_energy += written->at(i, 0) * written->at(i, 0);
      diff += (o->at(i, 0) - written->at(i, 0)) * (o->at(i, 0) - written->at(i, 0));
    }
    EXPECT_GT(std::sqrt(energy / static_cast<double>(o->frames() - first)), 1e-3) << "silent after the delay";
    EXPECT_GT(diff / in_energy, 0.05) << "a copy of the input";
    std::size_t differing = 0;
    for (std::size_t i = 0; i < o->samples.size(); ++i) differing += o->samples[i] != o->at(i / in.channels, 0);
    EXPECT_EQ(differing, 0u) << "channels that are not the first";
  }

  // A failure: exit 1, one line on stderr naming the step, no output file, no leftovers.
  void expect_failure(const std::vector<std::string>& args, const std::string& step, const std::string& message,
                      const fs::path& out) {
    const ToolOutput r = convert(args);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    ASSERT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("mvsdk-convert: " + step + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out));
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      EXPECT_EQ(e.path().string().find(".partial"), std::string::npos) << e.path();
    }
  }

  static inline TempDir* home_ = nullptr;
  TempDir dir_{"mvsdk-convert"};
  const fs::path input = dir_.path() / "in.wav", output = dir_.path() / "out.wav";
};

// Each sample format once, mono and stereo among them, at several rates; the options that change
// how the kit runs (synchronous, paced, buffer length, calibration) ride along.
TEST_F(ConvertTest, EveryFormatKeepsLengthRateChannelsAndFormat) {
  convert_and_check(speech(48000, 1));
  convert_and_check(speech(16000, 1, SF_FORMAT_PCM_U8), {"--sync"});
  convert_and_check(speech(44100, 2, SF_FORMAT_PCM_24), {"--buffer-ms", "7"});
  convert_and_check(speech(22050, 1, SF_FORMAT_PCM_32), {"--voice", "2", "--threads", "2", "--half"});
  convert_and_check(speech(48000, 2, SF_FORMAT_FLOAT), {"--realtime", "--sync"});
  convert_and_check(speech(16000, 2), {"--mode", "1", "--intonation", "3", "--pitch", "20"});
  write_wav(dir_.path() / "rec.wav", speech(22050, 1, SF_FORMAT_PCM_16, 1.0));
  convert_and_check(speech(16000, 1), {"--calibrate", (dir_.path() / "rec.wav").string()});
}

TEST_F(ConvertTest, FailuresAreOneLineWithNoOutputFile) {
  write_wav(input, speech(16000, 1, SF_FORMAT_PCM_16, 1.0));
  const int port = unused_local_port();
  ASSERT_GT(port, 0);
  const std::string in = input.string(), out = output.string();
  const std::string notes = (dir_.path() / "notes.wav").string();
  std::ofstream(notes) << "not audio";
  const fs::path blocked = dir_.path() / "notes.wav" / "out.wav";  // its folder is a file
  const std::tuple<std::vector<std::string>, std::string, std::string, fs::path> cases[] = {
      {{"--service", "http://127.0.0.1:" + std::to_string(port), "--token", "t", in, out}, "prepare", "", output},
      {{"--voice", "99", in, out}, "setVoice", "Voice ID 99 does not exist", output},
      {{notes, out}, "reading " + notes, "", output},
      {{in, blocked.string()}, "writing " + blocked.string(), "", blocked},
  };
  for (const auto& [args, step, message, target] : cases) expect_failure(args, step, message, target);
  // A bad command line: usage, exit 2.
  const ToolOutput usage = convert({"--threads", "17", in, out});
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("--threads takes 0 (automatic) to 16"), std::string::npos) << usage.err;
  EXPECT_FALSE(fs::exists(output));
}

struct SoakRun : ToolOutput {
  // The numbers of the summary line starting with key, in order.
  std::vector<double> numbers(const std::string& key) const {
    const auto at = out.find("\n" + key);
    if (at == std::string::npos) return {};
    const std::string line = out.substr(at + 1 + key.size(), out.find('\n', at + 1) - at - 1 - key.size());
    static const std::regex number(R"([-+]?[0-9]+(\.[0-9]+)?)");
    std::vector<double> values;
    for (auto it = std::sregex_iterator(line.begin(), line.end(), number); it != std::sregex_iterator(); ++it) {
      values.push_back(std::stod(it->str()));
    }
    return values;
  }
};

// All runs share one home (and so one synthetic data folder, made by the first run).
SoakRun soak(const std::vector<std::string>& args) {
  static TempDir home("mvsdk-soak-home");
  SoakRun r{run_tool_in_home("mvsdk-soak", args, home.path())};
  r.out.insert(0, "\n");  // so that every summary line starts after a line break
  return r;
}

// s16 at 44.1 kHz in buffers of 300 frames: 4 s x 44100 / 300 = 588 buffers. The memory limit is
// wide (a restart's new engine, a sanitizer's quarantine): the judgement is tested by a leak.
TEST(SoakTest, ShortRunAccountsForEveryBufferAndALeakFailsIt) {
  const SoakRun r = soak({"--seconds", "4", "--speed", "0", "--voice-every", "1", "--restarts", "2", "--rss-every",
                      "0.5", "--format", "s16", "--rate", "44100", "--buffer-frames", "300", "--rss-growth-mb", "512"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.numbers("audio").at(0), 4.0) << r.out;
  // buffers N: converted C, start-up silence S, unconverted U
  const auto buffers = r.numbers("buffers");
  ASSERT_GE(buffers.size(), 4u) << r.out;
  EXPECT_EQ(buffers[0], 588);
  EXPECT_EQ(buffers[0], buffers[1] + buffers[2] + buffers[3]) << r.out;
  EXPECT_GT(buffers[1], 0) << r.out;
  EXPECT_EQ(r.numbers("restarts"), (std::vector<double>{2, 1, 1})) << r.out;  // stop, then engineRelease
  EXPECT_GE(r.numbers("voice changes").at(0), 1) << r.out;
  // rss: at the reference point (a short run's middle), at the end, max, growth, limit; in MB.
  const auto rss = r.numbers("rss ");
  ASSERT_EQ(rss.size(), 6u) << r.out;
  EXPECT_TRUE(rss[0] >= 2 && rss[0] < 4) << rss[0];
  EXPECT_GT(rss[1], 10.0) << "a kit with its models loaded in under 10 MB?";
  EXPECT_NEAR(rss[4], rss[2] - rss[1], 0.11);
  EXPECT_NE(r.out.find("checks         0 failed"), std::string::npos) << r.out;

  // 600 MB a minute kept from the start: 30 MB between the middle and the end of 6 s.
  const SoakRun leak = soak({"--seconds", "6", "--speed", "0", "--restarts", "0", "--rss-every", "0.5",
                         "--rss-growth-mb", "5", "--leak-mb-per-min", "600"});
  EXPECT_EQ(leak.status, 1) << leak.out << leak.err;
  EXPECT_NE(leak.err.find("mvsdk-soak: resident memory grew by"), std::string::npos) << leak.err;
  ASSERT_EQ(leak.numbers("rss ").size(), 6u) << leak.out;
  EXPECT_GT(leak.numbers("rss ")[4], 25.0) << leak.out;
  EXPECT_NE(leak.out.find("checks         1 failed"), std::string::npos) << leak.out;

  // A bad command line is refused with the usage before anything runs.
  const SoakRun bad = soak({"--format", "u8"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("usage: mvsdk-soak"), std::string::npos) << bad.err;
  EXPECT_EQ(bad.out, "\n") << "nothing on stdout";
}

}  // namespace
}  // namespace mvsdk::test
