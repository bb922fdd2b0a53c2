#include "audio_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <vector>

#include "mvsdk/engine_config.h"

namespace mvsdk::convert {

namespace {

SNDFILE* handle(const std::unique_ptr<void, SndfileCloser>& p) { return static_cast<SNDFILE*>(p.get()); }

// Little-endian stores and loads: the kit's host audio is little-endian whatever the machine.
void put16(std::uint8_t* p, std::int16_t v) {
  const auto u = static_cast<std::uint16_t>(v);
  p[0] = static_cast<std::uint8_t>(u);
  p[1] = static_cast<std::uint8_t>(u >> 8);
}
std::int16_t get16(const std::uint8_t* p) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}
void put32(std::uint8_t* p, std::uint32_t u) {
  p[0] = static_cast<std::uint8_t>(u);
  p[1] = static_cast<std::uint8_t>(u >> 8);
  p[2] = static_cast<std::uint8_t>(u >> 16);
  p[3] = static_cast<std::uint8_t>(u >> 24);
}
std::uint32_t get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int64_t kit_format_of(int sf_format, bool& via_16bit) {
  via_16bit = false;
  switch (sf_format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8: return kSampleFormatU8;
    case SF_FORMAT_PCM_16: return kSampleFormatS16;
    case SF_FORMAT_PCM_24: return kSampleFormatS24In32;
    case SF_FORMAT_PCM_32: return kSampleFormatS32;
    case SF_FORMAT_FLOAT: return kSampleFormatF32;
    default: via_16bit = true; return kSampleFormatS16;
  }
}

}  // namespace

void SndfileCloser::operator()(void* f) const {
  if (f) sf_close(static_cast<SNDFILE*>(f));
}

int kit_bytes_per_sample(std::int64_t kit_format) {
  switch (kit_format) {
    case kSampleFormatU8: return 1;
    case kSampleFormatS24In32:
    case kSampleFormatS32:
    case kSampleFormatF32: return 4;
    default: return 2;
  }
}

std::string describe_encoding(int sf_format) {
  switch (sf_format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8: return "8-bit unsigned";
    case SF_FORMAT_PCM_S8: return "8-bit signed";
    case SF_FORMAT_PCM_16: return "16-bit";
    case SF_FORMAT_PCM_24: return "24-bit";
    case SF_FORMAT_PCM_32: return "32-bit";
    case SF_FORMAT_FLOAT: return "float";
    case SF_FORMAT_DOUBLE: return "double";
    default: {
      SF_FORMAT_INFO info{};
      info.format = sf_format & SF_FORMAT_SUBMASK;
      if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name) return info.name;
      return "encoded";
    }
  }
}

AudioReader::AudioReader(const std::string& path) {
  // The system's own words for a missing or unreadable file; libsndfile's are wordier.
  if (::access(path.c_str(), R_OK) != 0) {
    error_ = std::strerror(errno);
    return;
  }
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) {
    error_ = sf_strerror(nullptr);
    return;
  }
  file_.reset(f);
  if (info.channels < 1 || info.samplerate < 1) {
    error_ = "the file has no channels or no sample rate";
    file_.reset();
    return;
  }
  format_.rate_hz = info.samplerate;
  format_.channels = info.channels;
  format_.sf_format = info.format;
  format_.kit_format = kit_format_of(info.format, format_.via_16bit);
  frames_ = info.frames;
  // Float files are read as they are stored (full scale +-1), never rescaled.
  sf_command(f, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
}

std::int64_t AudioReader::read(std::span<std::uint8_t> out) {
  if (!file_) return -1;
  const int bps = kit_bytes_per_sample(format_.kit_format);
  const std::size_t frame_bytes = static_cast<std::size_t>(bps) * static_cast<std::size_t>(format_.channels);
  const std::size_t want = out.size() / frame_bytes;
  if (want == 0) return 0;
  const std::size_t samples = want * static_cast<std::size_t>(format_.channels);
  sf_count_t got = 0;
  switch (format_.kit_format) {
    case kSampleFormatU8:
    case kSampleFormatS16: {
      // 8-bit data arrives as value << 8 exactly; the kit's 8-bit byte is (value >> 8) + 128.
      std::vector<short> s(samples);
      got = sf_readf_short(handle(file_), s.data(), static_cast<sf_count_t>(want));
      const std::size_t n = static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) * format_.channels;
      for (std::size_t i = 0; i < n; ++i) {
        if (format_.kit_format == kSampleFormatU8) {
          out[i] = static_cast<std::uint8_t>((s[i] >> 8) + 128);
        } else {
          put16(&out[2 * i], s[i]);
        }
      }
      break;
    }
    case kSampleFormatS24In32:
    case kSampleFormatS32: {
      // libsndfile hands 24-bit samples left-aligned (value << 8); the kit wants them in the low
      // three bytes, sign-extended.
      std::vector<int> s(samples);
      got = sf_readf_int(handle(file_), s.data(), static_cast<sf_count_t>(want));
      const std::size_t n = static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) * format_.channels;
      for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t v = format_.kit_format == kSampleFormatS24In32 ? (s[i] >> 8) : s[i];
        put32(&out[4 * i], static_cast<std::uint32_t>(v));
      }
      break;
    }
    default: {
      std::vector<float> s(samples);
      got = sf_readf_float(handle(file_), s.data(), static_cast<sf_count_t>(want));
      const std::size_t n = static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) * format_.channels;
      for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t u = 0;
        std::memcpy(&u, &s[i], 4);
        put32(&out[4 * i], u);
      }
      break;
    }
  }
  if (got < 0 || (got == 0 && sf_error(handle(file_)) != SF_ERR_NO_ERROR)) {
    error_ = sf_strerror(handle(file_));
    return -1;
  }
  return got;
}

AudioWriter::AudioWriter(const std::string& path, const AudioFormat& format) : path_(path), format_(format) {
  namespace fs = std::filesystem;
  const fs::path dest(path);
  const fs::path dir = dest.has_parent_path() ? dest.parent_path() : fs::path(".");
  std::string tmpl = (dir / ("." + dest.filename().string() + ".partial-XXXXXX")).string();
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) {
    error_ = std::strerror(errno);
    return;
  }
  temp_path_ = tmpl;
  // mkstemp makes the file private; the finished file gets the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  SF_INFO info{};
  info.samplerate = format.rate_hz;
  info.channels = format.channels;
  info.format = format.sf_format;
  SNDFILE* f = sf_open(temp_path_.c_str(), SFM_WRITE, &info);
  if (!f) {
    error_ = sf_strerror(nullptr);
    discard();
    return;
  }
  file_.reset(f);
  sf_command(f, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  // Converted 16-bit audio written into a narrower or lossy encoding is clipped, not wrapped.
  sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

AudioWriter::~AudioWriter() { discard(); }

void AudioWriter::discard() {
  file_.reset();
  if (!temp_path_.empty()) {
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
  }
}

bool AudioWriter::write(std::span<const std::uint8_t> bytes) {
  if (!file_) return false;
  const int bps = kit_bytes_per_sample(format_.kit_format);
  const std::size_t frame_bytes = static_cast<std::size_t>(bps) * static_cast<std::size_t>(format_.channels);
  const std::size_t frames = bytes.size() / frame_bytes;
  const std::size_t samples = frames * static_cast<std::size_t>(format_.channels);
  sf_count_t put = 0;
  switch (format_.kit_format) {
    case kSampleFormatU8:
    case kSampleFormatS16: {
      std::vector<short> s(samples);
      for (std::size_t i = 0; i < samples; ++i) {
        s[i] = format_.kit_format == kSampleFormatU8 ? static_cast<short>((bytes[i] - 128) * 256)
                                                     : get16(&bytes[2 * i]);
      }
      put = sf_writef_short(handle(file_), s.data(), static_cast<sf_count_t>(frames));
      break;
    }
    case kSampleFormatS24In32:
    case kSampleFormatS32: {
      std::vector<int> s(samples);
      for (std::size_t i = 0; i < samples; ++i) {
        const auto v = static_cast<std::int32_t>(get32(&bytes[4 * i]));
        if (format_.kit_format == kSampleFormatS24In32) {
          // Back to libsndfile's left-aligned form; the kit's words stay within 24 bits, but a
          // stray wider one is clipped rather than wrapped.
          const std::int64_t wide = std::clamp<std::int64_t>(v, -(1 << 23), (1 << 23) - 1);
          s[i] = static_cast<int>(wide * 256);
        } else {
          s[i] = v;
        }
      }
      put = sf_writef_int(handle(file_), s.data(), static_cast<sf_count_t>(frames));
      break;
    }
    default: {
      std::vector<float> s(samples);
      for (std::size_t i = 0; i < samples; ++i) {
        const std::uint32_t u = get32(&bytes[4 * i]);
        std::memcpy(&s[i], &u, 4);
      }
      put = sf_writef_float(handle(file_), s.data(), static_cast<sf_count_t>(frames));
      break;
    }
  }
  if (put != static_cast<sf_count_t>(frames)) {
    error_ = sf_strerror(handle(file_));
    return false;
  }
  return true;
}

bool AudioWriter::commit() {
  if (!file_) return false;
  sf_write_sync(handle(file_));
  if (sf_error(handle(file_)) != SF_ERR_NO_ERROR) {
    error_ = sf_strerror(handle(file_));
    discard();
    return false;
  }
  // sf_close writes the header's final sizes.
  if (sf_close(static_cast<SNDFILE*>(file_.release())) != 0) {
    error_ = "cannot finish the file";
    discard();
    return false;
  }
  if (std::rename(temp_path_.c_str(), path_.c_str()) != 0) {
    error_ = std::strerror(errno);
    discard();
    return false;
  }
  temp_path_.clear();
  return true;
}

}  // namespace mvsdk::convert
