#include "recording.h"

#include <sndfile.h>
#include <speex/speex_resampler.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace mvsdk::convert {

namespace {

struct SfClose {
  void operator()(SNDFILE* f) const { sf_close(f); }
};
struct ResamplerDestroy {
  void operator()(SpeexResamplerState* s) const { speex_resampler_destroy(s); }
};

// The kit's own resampling quality (speexdsp 0-10).
constexpr int kResampleQuality = 8;

}  // namespace

RawRecording make_raw_recording(const std::string& path, int rate_hz) {
  RawRecording r;
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SfClose> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) {
    r.error = sf_strerror(nullptr);
    return r;
  }
  if (info.channels < 1 || info.samplerate < 1) {
    r.error = "the file has no channels or no sample rate";
    return r;
  }
  std::vector<std::int16_t> mono;
  std::vector<short> block(4096 * static_cast<std::size_t>(info.channels));
  while (true) {
    const sf_count_t got = sf_readf_short(file.get(), block.data(), 4096);
    if (got <= 0) break;
    for (sf_count_t i = 0; i < got; ++i) mono.push_back(block[static_cast<std::size_t>(i * info.channels)]);
  }
  if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
    r.error = sf_strerror(file.get());
    return r;
  }
  if (mono.empty()) {
    r.error = "the recording holds no audio";
    return r;
  }

  if (info.samplerate != rate_hz) {
    int err = 0;
    std::unique_ptr<SpeexResamplerState, ResamplerDestroy> rs(
        speex_resampler_init(1, static_cast<spx_uint32_t>(info.samplerate), static_cast<spx_uint32_t>(rate_hz),
                             kResampleQuality, &err));
    if (!rs || err != RESAMPLER_ERR_SUCCESS) {
      r.error = "cannot resample the recording";
      return r;
    }
    std::vector<std::int16_t> out(static_cast<std::size_t>(
        static_cast<double>(mono.size()) * rate_hz / info.samplerate + 64));
    spx_uint32_t in_len = static_cast<spx_uint32_t>(mono.size());
    spx_uint32_t out_len = static_cast<spx_uint32_t>(out.size());
    speex_resampler_process_int(rs.get(), 0, mono.data(), &in_len, out.data(), &out_len);
    out.resize(out_len);
    mono = std::move(out);
  }

  std::string tmpl = (std::filesystem::temp_directory_path() / "mvsdk-calibration-XXXXXX").string();
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) {
    r.error = std::string("cannot make a temporary file: ") + std::strerror(errno);
    return r;
  }
  const auto* bytes = reinterpret_cast<const char*>(mono.data());
  std::size_t left = mono.size() * sizeof(std::int16_t);
  while (left > 0) {
    const ssize_t n = ::write(fd, bytes, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      r.error = std::string("cannot write a temporary file: ") + std::strerror(errno);
      ::close(fd);
      ::unlink(tmpl.c_str());
      return r;
    }
    bytes += n;
    left -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  r.path = tmpl;
  r.seconds = static_cast<double>(mono.size()) / rate_hz;
  return r;
}

void remove_raw_recording(const RawRecording& r) {
  if (!r.path.empty()) ::unlink(r.path.c_str());
}

}  // namespace mvsdk::convert
