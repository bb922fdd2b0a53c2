#include "engine/driver/model_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace mvsdk::engine {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

ModelFile::~ModelFile() { close(); }

ModelFile::ModelFile(ModelFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      n_bytes_(std::exchange(other.n_bytes_, 0)),
      map_bytes_(std::exchange(other.map_bytes_, 0)),
      error_(std::move(other.error_)) {}

ModelFile& ModelFile::operator=(ModelFile&& other) noexcept {
  if (this != &other) {
    close();
    data_ = std::exchange(other.data_, nullptr);
    n_bytes_ = std::exchange(other.n_bytes_, 0);
    map_bytes_ = std::exchange(other.map_bytes_, 0);
    error_ = std::move(other.error_);
  }
  return *this;
}

void ModelFile::close() {
  if (data_) munmap(data_, map_bytes_);
  data_ = nullptr;
  n_bytes_ = 0;
  map_bytes_ = 0;
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
  // The weights are read into anonymous memory on the starting thread, in huge pages where the
  // system gives them: the first chunk then finds every weight resident instead of taking
  // hundreds of megabytes of page faults, and the networks, which stream the weights at the
  // memory's pace, do not wait on the address translations of 4 KB pages (one every few
  // thousand floats read).
  const std::size_t map_bytes = (size + kHugePage - 1) / kHugePage * kHugePage;
  void* raw = mmap(nullptr, map_bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) {
    const int e = errno;
    ::close(fd);
    return fail(std::string("cannot map (") + std::strerror(e) + ")");
  }
  // Aligned to a huge page; the slack on either side goes back at once.
  const auto base = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (base + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > base) munmap(raw, aligned - base);
  const std::size_t tail = base + map_bytes + kHugePage - (aligned + map_bytes);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + map_bytes), tail);
  void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(p, map_bytes, MADV_HUGEPAGE);  // a hint: without it the weights stay in small pages
#endif
  std::size_t done = 0;
  while (done < size) {
    const ssize_t r = ::pread(fd, static_cast<char*>(p) + done, size - done, static_cast<off_t>(done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      const int e = r < 0 ? errno : 0;
      ::close(fd);
      munmap(p, map_bytes);
      return fail(r < 0 ? std::string("cannot read (") + std::strerror(e) + ")"
                        : "ended after " + std::to_string(done) + " of " + std::to_string(size) + " bytes");
    }
    done += static_cast<std::size_t>(r);
  }
  ::close(fd);
  data_ = p;
  n_bytes_ = size;
  map_bytes_ = map_bytes;
  return true;
}

}  // namespace mvsdk::engine
