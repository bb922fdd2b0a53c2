#pragma once
// A model weight file mapped into memory as a private copy-on-write mapping (pages are shared with
// the page cache; a write could never reach the file) and seen as an array of 32-bit floats in
// the machine's byte order. Mapped pages are page-aligned, so the floats are 32-byte aligned.
#include <cstddef>
#include <string>

namespace mvsdk::engine {

class ModelFile {
 public:
  ModelFile() = default;
  ~ModelFile();
  ModelFile(ModelFile&& other) noexcept;
  ModelFile& operator=(ModelFile&& other) noexcept;
  ModelFile(const ModelFile&) = delete;
  ModelFile& operator=(const ModelFile&) = delete;

  // Maps path and checks that it holds at least min_floats floats. On failure returns false and
  // leaves a one-line reason (naming the file and the sizes) in error().
  bool open(const std::string& path, std::size_t min_floats);
  void close();

  // Gives back the memory of the whole pages inside [p, p + count) that lie in this mapping
  // (nothing for a range outside it). The floats stay readable: a page read again comes back from
  // the file. For blocks the engine has copied in another form and will not read again.
  void discard(const float* p, std::size_t count);

  const float* floats() const { return static_cast<const float*>(data_); }
  std::size_t n_floats() const { return n_bytes_ / sizeof(float); }
  std::size_t n_bytes() const { return n_bytes_; }
  const std::string& error() const { return error_; }

 private:
  void* data_ = nullptr;
  std::size_t n_bytes_ = 0;
  std::string error_;
};

}  // namespace mvsdk::engine
