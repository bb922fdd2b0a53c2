#include "engine/driver/model_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace mvsdk::engine {

ModelFile::~ModelFile() { close(); }

ModelFile::ModelFile(ModelFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      n_bytes_(std::exchange(other.n_bytes_, 0)),
      error_(std::move(other.error_)) {}

ModelFile& ModelFile::operator=(ModelFile&& other) noexcept {
  if (this != &other) {
    close();
    data_ = std::exchange(other.data_, nullptr);
    n_bytes_ = std::exchange(other.n_bytes_, 0);
    error_ = std::move(other.error_);
  }
  return *this;
}

void ModelFile::close() {
  if (data_) munmap(data_, n_bytes_);
  data_ = nullptr;
  n_bytes_ = 0;
}

void ModelFile::discard(const float* p, std::size_t count) {
  if (!data_ || !p) return;
  const auto base = reinterpret_cast<std::uintptr_t>(data_);
  const auto first = reinterpret_cast<std::uintptr_t>(p);
  if (first < base || first - base >= n_bytes_) return;
  const std::uintptr_t end = first + std::min(count, (base + n_bytes_ - first) / sizeof(float)) * sizeof(float);
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t from = (first + page - 1) / page * page;
  const std::uintptr_t to = end / page * page;
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

bool ModelFile::open(const std::string& path, std::size_t min_floats) {
  close();
  error_.clear();
  const std::size_t need_bytes = min_floats * sizeof(float);
  auto fail = [&](const std::string& why) {
    error_ = "model file " + path + ": " + why;
    return false;
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(std::string("cannot open (") + std::strerror(errno) + ")");
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return fail(std::string("cannot stat (") + std::strerror(e) + ")");
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail("not a regular file");
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size == 0 || size < need_bytes) {
    ::close(fd);
    return fail("holds " + std::to_string(size) + " bytes (" + std::to_string(size / sizeof(float)) +
                " floats), the network reads " + std::to_string(min_floats) + " floats (" +
                std::to_string(need_bytes) + " bytes)");
  }
  // Populated now, on the starting thread: the first chunk then finds every weight resident
  // instead of taking hundreds of megabytes of page faults.
  int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;
#endif
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, fd, 0);
  const int e = errno;
  ::close(fd);
  if (p == MAP_FAILED) return fail(std::string("cannot map (") + std::strerror(e) + ")");
  data_ = p;
  n_bytes_ = size;
  return true;
}

}  // namespace mvsdk::engine
