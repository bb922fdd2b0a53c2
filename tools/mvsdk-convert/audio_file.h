#pragma once
// Audio files for mvsdk-convert, through libsndfile: the input read in buffers of the kit's host
// sample format, the output written from such buffers into a temporary file next to the
// destination that is renamed into place only when complete.
//
// Sample formats: a file's 8-bit unsigned, 16-bit, 24-bit, 32-bit and float PCM map to the kit's
// codes 0 to 4 (24-bit samples travel in the low three bytes of a 32-bit word); every other
// encoding is read as 16-bit and written back from 16-bit in its own encoding.
//
// Not thread-safe; one owner. Nothing throws.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace mvsdk::convert {

struct AudioFormat {
  int rate_hz = 0;
  int channels = 0;
  int sf_format = 0;          // libsndfile's major format | subtype
  std::int64_t kit_format = 1;  // the kit's sample format code (kSampleFormat*)
  bool via_16bit = false;       // the file's encoding has no kit code: handled as 16-bit
};

// Bytes per sample of a kit sample format code: 1, 2 or 4.
int kit_bytes_per_sample(std::int64_t kit_format);
// A short description such as "16-bit" or "float" (the file's encoding).
std::string describe_encoding(int sf_format);

struct SndfileCloser {
  void operator()(void* f) const;
};

class AudioReader {
 public:
  // Opens path; on failure error() holds libsndfile's text.
  explicit AudioReader(const std::string& path);
  bool ok() const { return file_ != nullptr; }
  const std::string& error() const { return error_; }
  const AudioFormat& format() const { return format_; }
  std::int64_t frames() const { return frames_; }
  // Reads up to out.size() / frame bytes whole frames as kit-format bytes; returns the frames
  // read (0 at the end). -1 on a read error (error() says why).
  std::int64_t read(std::span<std::uint8_t> out);

 private:
  std::unique_ptr<void, SndfileCloser> file_;
  AudioFormat format_;
  std::int64_t frames_ = 0;
  std::string error_;
};

class AudioWriter {
 public:
  // Creates a temporary file next to path for audio of this format. The file at path itself is
  // not touched until commit().
  AudioWriter(const std::string& path, const AudioFormat& format);
  // Removes the temporary file unless committed.
  ~AudioWriter();
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;
  bool ok() const { return file_ != nullptr; }
  const std::string& error() const { return error_; }
  // Writes whole frames of kit-format bytes. False on a write error (error() says why).
  bool write(std::span<const std::uint8_t> bytes);
  // Closes the temporary file and renames it to path. False (and the temporary file removed)
  // when that fails.
  bool commit();
  // Removes the temporary file.
  void discard();

 private:
  std::string path_;
  std::string temp_path_;
  AudioFormat format_;
  std::unique_ptr<void, SndfileCloser> file_;
  std::string error_;
};

}  // namespace mvsdk::convert
