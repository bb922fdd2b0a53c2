// mvsdk-convert end to end: audio files of every sample format, mono and stereo, through the
// whole kit on the embedded local service (and once on a separate service), and the failures a
// user meets, each of which must be one line on stderr, a non-zero exit and no output file.
//
// The WAV files are written and read here by hand, independently of the tool's libsndfile code.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/local_service.h"
#include "support/speechlike.h"
#include "support/tool_launch.h"

namespace mvsdk::test {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// WAV files

enum class Kind { kU8, kS16, kS24, kS32, kF32 };

int bits_of(Kind k) {
  switch (k) {
    case Kind::kU8: return 8;
    case Kind::kS16: return 16;
    case Kind::kS24: return 24;
    default: return 32;
  }
}

struct Wav {
  int rate = 0;
  int channels = 0;
  int format_tag = 0;  // 1 PCM, 3 float (the sub-format's tag for WAVE_FORMAT_EXTENSIBLE)
  int bits = 0;
  std::vector<double> samples;  // interleaved, full scale +-1
  std::size_t frames() const { return channels ? samples.size() / static_cast<std::size_t>(channels) : 0; }
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

void write_wav(const fs::path& path, int rate, int channels, Kind kind, const std::vector<double>& samples) {
  const int bits = bits_of(kind);
  const int bytes = bits / 8;
  std::string data;
  for (double x : samples) {
    x = std::clamp(x, -1.0, 1.0);
    switch (kind) {
      case Kind::kU8: put_le(data, static_cast<std::uint32_t>(std::lround(x * 127.0) + 128), 1); break;
      case Kind::kS16: put_le(data, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(x * 32767.0))), 2); break;
      case Kind::kS24: put_le(data, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(x * 8388607.0))), 3); break;
      case Kind::kS32: put_le(data, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::llround(x * 2147483647.0))), 4); break;
      case Kind::kF32: {
        const float f = static_cast<float>(x);
        std::uint32_t u = 0;
        std::memcpy(&u, &f, 4);
        put_le(data, u, 4);
        break;
      }
    }
  }
  std::string wav = "RIFF";
  put_le(wav, static_cast<std::uint32_t>(36 + data.size()), 4);
  wav += "WAVEfmt ";
  put_le(wav, 16, 4);
  put_le(wav, kind == Kind::kF32 ? 3 : 1, 2);
  put_le(wav, static_cast<std::uint32_t>(channels), 2);
  put_le(wav, static_cast<std::uint32_t>(rate), 4);
  put_le(wav, static_cast<std::uint32_t>(rate * channels * bytes), 4);
  put_le(wav, static_cast<std::uint32_t>(channels * bytes), 2);
  put_le(wav, static_cast<std::uint32_t>(bits), 2);
  wav += "data";
  put_le(wav, static_cast<std::uint32_t>(data.size()), 4);
  wav += data;
  std::ofstream(path, std::ios::binary) << wav;
}

std::optional<Wav> read_wav(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (s.size() < 12 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 4, "WAVE") != 0) return std::nullopt;
  Wav w;
  std::size_t at = 12;
  std::optional<std::string> data;
  while (at + 8 <= s.size()) {
    const std::string id = s.substr(at, 4);
    const std::uint32_t size = get_le(s, at + 4, 4);
    const std::size_t body = at + 8;
    if (body + size > s.size()) return std::nullopt;
    if (id == "fmt ") {
      w.format_tag = static_cast<int>(get_le(s, body, 2));
      w.channels = static_cast<int>(get_le(s, body + 2, 2));
      w.rate = static_cast<int>(get_le(s, body + 4, 4));
      w.bits = static_cast<int>(get_le(s, body + 14, 2));
      if (w.format_tag == 0xFFFE && size >= 26) w.format_tag = static_cast<int>(get_le(s, body + 24, 2));
    } else if (id == "data") {
      data = s.substr(body, size);
    }
    at = body + size + (size & 1);
  }
  if (!data || w.channels < 1 || w.bits % 8 != 0 || w.bits == 0) return std::nullopt;
  const int bytes = w.bits / 8;
  for (std::size_t i = 0; i + static_cast<std::size_t>(bytes) <= data->size(); i += static_cast<std::size_t>(bytes)) {
    const std::uint32_t u = get_le(*data, i, bytes);
    double x = 0;
    if (w.format_tag == 3 && bytes == 4) {
      float f = 0;
      std::memcpy(&f, &u, 4);
      x = f;
    } else if (bytes == 1) {
      x = (static_cast<int>(u) - 128) / 128.0;
    } else {
      const int shift = 32 - w.bits;
      const auto v = static_cast<std::int32_t>(u << shift) >> shift;  // sign-extend
      x = v / std::ldexp(1.0, w.bits - 1);
    }
    w.samples.push_back(x);
  }
  return w;
}

// ---------------------------------------------------------------------------------------------
// Running the tool

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// Every run gets the same home, data, cache and settings folders (those of this test process),
// so the synthetic models are made by the first run and reused by the others, as for a user.
class ConvertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { home_ = new TempDir("mvsdk-convert-home"); }
  static void TearDownTestSuite() {
    delete home_;
    home_ = nullptr;
  }

  static fs::path home() { return home_->path(); }
  static fs::path data_folder() { return home() / "data" / "mvsdk" / "synthetic-v1"; }

  ToolResult convert(const std::vector<std::string>& args) {
    const fs::path out = dir_.path() / "stdout.txt";
    const fs::path err = dir_.path() / "stderr.txt";
    std::string cmd = "env HOME=" + quote(home().string()) + " XDG_DATA_HOME=" + quote((home() / "data").string()) +
                      " XDG_CACHE_HOME=" + quote((home() / "cache").string()) +
                      " XDG_CONFIG_HOME=" + quote((home() / "config").string()) + " " +
                      launch_command(tool_path("mvsdk-convert"));
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(out.string()) + " 2>" + quote(err.string()) + " </dev/null";
    ToolResult r;
    const int status = std::system(cmd.c_str());
    if (status != -1 && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    r.out = slurp(out);
    r.err = slurp(err);
    fs::remove(out);
    fs::remove(err);
    return r;
  }

  // Converts a signal of this kind and checks the output against the input.
  void convert_and_check(Kind kind, int rate, int channels, const std::vector<std::string>& extra = {}) {
    SCOPED_TRACE("bits " + std::to_string(bits_of(kind)) + ", " + std::to_string(rate) + " Hz, " +
                 std::to_string(channels) + " channels");
    const fs::path input = dir_.path() / "in.wav";
    const fs::path output = dir_.path() / "out.wav";
    fs::remove(output);
    write_wav(input, rate, channels, kind, speechlike(rate, channels, 1.2));
    const auto in = read_wav(input);
    ASSERT_TRUE(in);

    std::vector<std::string> args = extra;
    args.push_back(input.string());
    args.push_back(output.string());
    const ToolResult r = convert(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("voices are synthetic"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("real-time"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("start-up"), std::string::npos) << r.out;

    const auto o = read_wav(output);
    ASSERT_TRUE(o) << "unreadable output";
    EXPECT_EQ(o->rate, rate);
    EXPECT_EQ(o->channels, channels);
    EXPECT_EQ(o->bits, bits_of(kind));
    EXPECT_EQ(o->format_tag, kind == Kind::kF32 ? 3 : 1);
    ASSERT_EQ(o->frames(), in->frames());

    // After the start-up delay: sound, and not the input.
    std::size_t first = o->frames();
    for (std::size_t i = 0; i < o->frames() && first == o->frames(); ++i) {
      for (int ch = 0; ch < channels; ++ch) {
        if (o->at(i, ch) != 0.0) first = i;
      }
    }
    ASSERT_LT(first + static_cast<std::size_t>(rate) / 2, o->frames()) << "no sound in the last 0.5 s";
    double energy = 0, in_energy = 0, diff = 0;
    for (std::size_t i = first; i < o->frames(); ++i) {
      energy += o->at(i, 0) * o->at(i, 0);
      in_energy += in->at(i, 0) * in->at(i, 0);
      diff += (o->at(i, 0) - in->at(i, 0)) * (o->at(i, 0) - in->at(i, 0));
    }
    const double n = static_cast<double>(o->frames() - first);
    EXPECT_GT(std::sqrt(energy / n), 1e-3) << "silent after the start-up delay";
    EXPECT_GT(diff / in_energy, 0.05) << "a copy of the input";
    // The kit converts the first channel and gives its result to every channel.
    for (int ch = 1; ch < channels; ++ch) {
      for (std::size_t i = 0; i < o->frames(); ++i) {
        if (o->at(i, ch) != o->at(i, 0)) {
          ADD_FAILURE() << "channel " << ch << " differs from channel 0 at frame " << i;
          break;
        }
      }
    }
    // Nothing else left next to the output.
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      const auto name = e.path().filename().string();
      EXPECT_TRUE(name == "in.wav" || name == "out.wav" || name == "rec.wav") << name;
    }
  }

  // A failure: exit 1, one line on stderr naming the step, no output file, no leftovers.
  void expect_failure(const ToolResult& r, const std::string& step, const std::string& message, const fs::path& output) {
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const auto lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind("mvsdk-convert: " + step + ": ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(message), std::string::npos) << lines[0];
    EXPECT_FALSE(fs::exists(output));
    if (fs::is_directory(output.parent_path())) {
      for (const auto& e : fs::directory_iterator(output.parent_path())) {
        EXPECT_EQ(e.path().filename().string().find(".partial"), std::string::npos) << e.path();
      }
    }
  }

  static TempDir* home_;
  TempDir dir_{"mvsdk-convert"};
};

TempDir* ConvertTest::home_ = nullptr;

// Each sample format once, mono and stereo among them, at several rates; the options that change
// how the kit runs (synchronous, paced, buffer length) ride along.
TEST_F(ConvertTest, EveryFormatKeepsLengthRateChannelsAndFormat) {
  convert_and_check(Kind::kS16, 48000, 1);
  // The first run made the data folder; later runs reuse it.
  ASSERT_TRUE(fs::is_regular_file(data_folder() / "catalogue.json"));
  const auto made = fs::last_write_time(data_folder() / "catalogue.json");
  convert_and_check(Kind::kU8, 16000, 1, {"--sync"});
  convert_and_check(Kind::kS24, 44100, 2, {"--buffer-ms", "7"});
  convert_and_check(Kind::kS32, 22050, 1, {"--voice", "2", "--threads", "2"});
  convert_and_check(Kind::kF32, 48000, 2, {"--realtime", "--sync"});
  convert_and_check(Kind::kS16, 16000, 2, {"--mode", "1", "--intonation", "3", "--pitch", "20"});
  EXPECT_EQ(fs::last_write_time(data_folder() / "catalogue.json"), made);
}

TEST_F(ConvertTest, CalibrationPrintsAndUsesItsMeasurement) {
  write_wav(dir_.path() / "rec.wav", 22050, 1, Kind::kS16, speechlike(22050, 1, 1.0));
  convert_and_check(Kind::kS16, 16000, 1, {"--calibrate", (dir_.path() / "rec.wav").string()});
  const ToolResult r = convert({"--calibrate", (dir_.path() / "rec.wav").string(), "--quiet", (dir_.path() / "in.wav").string(),
                         (dir_.path() / "out2.wav").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");  // --quiet
  fs::remove(dir_.path() / "out2.wav");
}

TEST_F(ConvertTest, ListsTheEmbeddedVoicesAndWorksWithAServiceOfItsOwn) {
  const ToolResult list = convert({"--list-voices"});
  ASSERT_EQ(list.status, 0) << list.err;
  const auto lines = lines_of(list.out);
  ASSERT_GE(lines.size(), 3u) << list.out;
  EXPECT_EQ(lines[lines.size() - 3], "1\tSynthetic voice 1");
  EXPECT_EQ(lines.back(), "3\tSynthetic voice 3");

  // The same folder served by mvsdk-service, which requires its token.
  ASSERT_TRUE(fs::is_regular_file(data_folder() / "catalogue.json"));
  LocalService service(data_folder(), "secret");
  ASSERT_TRUE(service.ok()) << service.error();
  const fs::path input = dir_.path() / "in.wav";
  const fs::path output = dir_.path() / "out.wav";
  write_wav(input, 16000, 1, Kind::kS16, speechlike(16000, 1, 1.0));
  const ToolResult ok = convert({"--service", service.url(), "--token", "secret", "--quiet", input.string(), output.string()});
  ASSERT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out.find("synthetic"), std::string::npos) << "the note is for the embedded service";
  EXPECT_TRUE(fs::is_regular_file(output));
  fs::remove(output);

  const ToolResult refused = convert({"--service", service.url(), "--token", "wrong", input.string(), output.string()});
  expect_failure(refused, "prepare", "", output);
}

TEST_F(ConvertTest, FailuresAreOneLineWithNoOutputFile) {
  const fs::path input = dir_.path() / "in.wav";
  const fs::path output = dir_.path() / "out.wav";
  write_wav(input, 16000, 1, Kind::kS16, speechlike(16000, 1, 1.0));

  // A service nobody listens on: a port that was free a moment ago.
  int port = 0;
  {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port = ntohs(a.sin_port);
    ::close(s);
  }
  expect_failure(convert({"--service", "http://127.0.0.1:" + std::to_string(port), "--token", "t", input.string(),
                          output.string()}),
                 "prepare", "", output);
  expect_failure(convert({"--token", "", input.string(), output.string()}), "prepare", "Token cannot be empty", output);
  expect_failure(convert({"--voice", "99", input.string(), output.string()}), "setVoice", "Voice ID 99 does not exist",
                 output);
  expect_failure(convert({(dir_.path() / "missing.wav").string(), output.string()}),
                 "reading " + (dir_.path() / "missing.wav").string(), "", output);
  // A text file is no audio either.
  std::ofstream(dir_.path() / "notes.wav") << "not audio";
  expect_failure(convert({(dir_.path() / "notes.wav").string(), output.string()}),
                 "reading " + (dir_.path() / "notes.wav").string(), "", output);
  // The output's folder is a file.
  const fs::path blocked = dir_.path() / "notes.wav" / "out.wav";
  expect_failure(convert({input.string(), blocked.string()}), "writing " + blocked.string(), "", blocked);
  // A bad command line: usage, exit 2.
  for (const auto& [option, value, says] : {std::tuple{"--mode", "7", "--mode takes 0, 1 or 2"},
                                            std::tuple{"--threads", "17", "--threads takes 0 (automatic) to 16"}}) {
    const ToolResult usage = convert({option, value, input.string(), output.string()});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find(says), std::string::npos) << usage.err;
    EXPECT_FALSE(fs::exists(output));
  }
}

}  // namespace
}  // namespace mvsdk::test
