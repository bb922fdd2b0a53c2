// mvsdk-convert end to end: audio files of every sample format, mono and stereo, through the
// whole kit on the embedded local service (and once on a separate service), and the failures a
// user meets, each of which must be one line on stderr, a non-zero exit and no output file.
// The WAV files are written and read here by hand, independently of the tool's libsndfile code.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>

#include "support/local_http_server.h"
#include "support/local_service.h"
#include "support/speechlike.h"
#include "support/tool_launch.h"

namespace mvsdk::test {
namespace {

namespace fs = std::filesystem;

struct Wav {
  int rate = 0, channels = 0, bits = 0;
  bool is_float = false;
  std::vector<double> samples;  // interleaved, full scale +-1
  std::size_t frames() const { return samples.size() / static_cast<std::size_t>(channels); }
  double at(std::size_t frame, int ch) const { return samples[frame * static_cast<std::size_t>(channels) + ch]; }
};

void put_le(std::string& s, std::uint32_t v, int n) {
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
std::uint32_t get_le(const std::string& s, std::size_t at, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
  return v;
}

// PCM of 8 (offset binary), 16, 24 or 32 bits, or 32-bit float.
void write_wav(const fs::path& path, const Wav& w) {
  const int bytes = w.bits / 8;
  std::string data;
  for (double x : w.samples) {
    x = std::clamp(x, -1.0, 1.0);
    float f = static_cast<float>(x);
    std::uint32_t u = 0;
    if (w.is_float) {
      std::memcpy(&u, &f, 4);
    } else if (bytes == 1) {
      u = static_cast<std::uint32_t>(std::lround(x * 127.0) + 128);
    } else {
      u = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::llround(x * (std::ldexp(1.0, w.bits - 1) - 1))));
    }
    put_le(data, u, bytes);
  }
  std::string wav = "RIFF";
  put_le(wav, static_cast<std::uint32_t>(36 + data.size()), 4);
  wav += "WAVEfmt ";
  for (const auto& [v, n] : std::initializer_list<std::pair<int, int>>{{16, 4}, {w.is_float ? 3 : 1, 2},
                             {w.channels, 2}, {w.rate, 4}, {w.rate * w.channels * bytes, 4},
                             {w.channels * bytes, 2}, {w.bits, 2}}) {
    put_le(wav, static_cast<std::uint32_t>(v), n);
  }
  wav += "data";
  put_le(wav, static_cast<std::uint32_t>(data.size()), 4);
  std::ofstream(path, std::ios::binary) << wav << data;
}

std::optional<Wav> read_wav(const fs::path& path) {
  const std::string s = read_file(path);
  if (s.size() < 12 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 4, "WAVE") != 0) return std::nullopt;
  Wav w;
  std::string data;
  for (std::size_t at = 12; at + 8 <= s.size();) {
    const std::uint32_t size = get_le(s, at + 4, 4);
    const std::size_t body = at + 8;
    if (body + size > s.size()) return std::nullopt;
    if (s.compare(at, 4, "fmt ") == 0) {
      int tag = static_cast<int>(get_le(s, body, 2));
      if (tag == 0xFFFE && size >= 26) tag = static_cast<int>(get_le(s, body + 24, 2));  // extensible
      w.is_float = tag == 3;
      w.channels = static_cast<int>(get_le(s, body + 2, 2));
      w.rate = static_cast<int>(get_le(s, body + 4, 4));
      w.bits = static_cast<int>(get_le(s, body + 14, 2));
    } else if (s.compare(at, 4, "data") == 0) {
      data = s.substr(body, size);
    }
    at = body + size + (size & 1);
  }
  if (w.channels < 1 || w.bits == 0 || w.bits % 8 != 0) return std::nullopt;
  const int bytes = w.bits / 8;
  for (std::size_t i = 0; i + static_cast<std::size_t>(bytes) <= data.size(); i += static_cast<std::size_t>(bytes)) {
    const std::uint32_t u = get_le(data, i, bytes);
    float f = 0;
    std::memcpy(&f, &u, 4);
    const int shift = 32 - w.bits;
    w.samples.push_back(w.is_float ? f
                        : bytes == 1 ? (static_cast<int>(u) - 128) / 128.0
                                     : (static_cast<std::int32_t>(u << shift) >> shift) / std::ldexp(1.0, w.bits - 1));
  }
  return w;
}

// Every run gets the same home, data, cache and settings folders, so the synthetic models are
// made by the first run and reused by the others, as for a user.
class ConvertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { home_ = new TempDir("mvsdk-convert-home"); }
  static void TearDownTestSuite() { delete home_; }
  static fs::path data_folder() { return home_->path() / "data" / "mvsdk" / "synthetic-v1"; }

  ToolOutput convert(const std::vector<std::string>& args) {
    return run_tool_in_home("mvsdk-convert", args, home_->path());
  }
  Wav speech(int rate, int channels, int bits = 16, bool is_float = false, double seconds = 1.2) {
    return {rate, channels, bits, is_float, speechlike(rate, channels, seconds)};
  }

  // Converts the input and checks the output against it: same rate, channels and format, the
  // same length, sound after the start-up delay that is not the input, every channel the first.
  void convert_and_check(const Wav& in, std::vector<std::string> args = {}) {
    SCOPED_TRACE("bits " + std::to_string(in.bits) + ", " + std::to_string(in.rate) + " Hz, " +
                 std::to_string(in.channels) + " channels");
    write_wav(input, in);
    fs::remove(output);
    args.insert(args.end(), {input.string(), output.string()});
    const ToolOutput r = convert(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* says : {"voices are synthetic", "real-time", "start-up"}) {
      EXPECT_NE(r.out.find(says), std::string::npos) << r.out;
    }
    const auto written = read_wav(input);  // the input as the file holds it
    const auto o = read_wav(output);
    ASSERT_TRUE(o && written) << "unreadable output";
    EXPECT_EQ(std::tuple(o->rate, o->channels, o->bits, o->is_float),
              std::tuple(in.rate, in.channels, in.bits, in.is_float));
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
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      EXPECT_TRUE(e.path() == input || e.path() == output || e.path().filename() == "rec.wav") << e.path();
    }
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
  // The first run made the data folder; later runs reuse it.
  ASSERT_TRUE(fs::is_regular_file(data_folder() / "catalogue.json"));
  const auto made = fs::last_write_time(data_folder() / "catalogue.json");
  convert_and_check(speech(16000, 1, 8), {"--sync"});
  convert_and_check(speech(44100, 2, 24), {"--buffer-ms", "7"});
  convert_and_check(speech(22050, 1, 32), {"--voice", "2", "--threads", "2", "--half"});
  convert_and_check(speech(48000, 2, 32, true), {"--realtime", "--sync"});
  convert_and_check(speech(16000, 2), {"--mode", "1", "--intonation", "3", "--pitch", "20"});
  write_wav(dir_.path() / "rec.wav", speech(22050, 1, 16, false, 1.0));
  convert_and_check(speech(16000, 1), {"--calibrate", (dir_.path() / "rec.wav").string()});
  EXPECT_EQ(fs::last_write_time(data_folder() / "catalogue.json"), made);
  fs::remove(output);
  const ToolOutput quiet = convert({"--quiet", input.string(), output.string()});
  EXPECT_EQ(std::pair(quiet.status, quiet.out), std::pair(0, std::string())) << quiet.err;

  const ToolOutput list = convert({"--list-voices"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("1\tSynthetic voice 1\n2\tSynthetic voice 2\n3\tSynthetic voice 3\n"), std::string::npos)
      << list.out;

  // The same folder served by mvsdk-service, which requires its token.
  LocalService service(data_folder(), "secret");
  ASSERT_TRUE(service.ok()) << service.error();
  fs::remove(output);
  const ToolOutput ok = convert({"--service", service.url(), "--token", "secret", input.string(), output.string()});
  ASSERT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out.find("synthetic"), std::string::npos) << "the note is for the embedded service";
  EXPECT_TRUE(fs::remove(output));
  expect_failure({"--service", service.url(), "--token", "wrong", input.string(), output.string()}, "prepare", "",
                 output);
}

TEST_F(ConvertTest, FailuresAreOneLineWithNoOutputFile) {
  write_wav(input, speech(16000, 1, 16, false, 1.0));
  const int port = unused_local_port();
  ASSERT_GT(port, 0);
  const std::string in = input.string(), out = output.string();
  const std::string missing = (dir_.path() / "missing.wav").string(), notes = (dir_.path() / "notes.wav").string();
  std::ofstream(notes) << "not audio";
  const fs::path blocked = dir_.path() / "notes.wav" / "out.wav";  // its folder is a file
  const std::tuple<std::vector<std::string>, std::string, std::string, fs::path> cases[] = {
      {{"--service", "http://127.0.0.1:" + std::to_string(port), "--token", "t", in, out}, "prepare", "", output},
      {{"--token", "", in, out}, "prepare", "Token cannot be empty", output},
      {{"--voice", "99", in, out}, "setVoice", "Voice ID 99 does not exist", output},
      {{missing, out}, "reading " + missing, "", output},
      {{notes, out}, "reading " + notes, "", output},
      {{in, blocked.string()}, "writing " + blocked.string(), "", blocked},
  };
  for (const auto& [args, step, message, target] : cases) expect_failure(args, step, message, target);
  // A bad command line: usage, exit 2.
  for (const auto& [option, value, says] : {std::tuple{"--mode", "7", "--mode takes 0, 1 or 2"},
                                            std::tuple{"--threads", "17", "--threads takes 0 (automatic) to 16"}}) {
    const ToolOutput usage = convert({option, value, in, out});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find(says), std::string::npos) << usage.err;
    EXPECT_FALSE(fs::exists(output));
  }
}

}  // namespace
}  // namespace mvsdk::test
