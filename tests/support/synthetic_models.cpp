#include "support/synthetic_models.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "support/seeded_weights.h"

namespace mvsdk::test {

namespace {
std::vector<std::filesystem::path>& temp_dirs() {
  // Never destroyed: the exit handler that removes the folders runs after static destructors of
  // objects made later than its registration, this list among them.
  static auto* dirs = new std::vector<std::filesystem::path>();
  return *dirs;
}
void remove_temp_dirs() {
  std::error_code ec;
  for (const auto& d : temp_dirs()) std::filesystem::remove_all(d, ec);
}

// Writes n_floats uniform values in [-scale, scale] (fixed seed) to path.
void write_random_floats(const std::filesystem::path& path, std::size_t n_floats, float scale,
                         std::uint32_t seed) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path.string());
  SeededFloats rng(seed);
  std::vector<float> block(1 << 16);
  for (std::size_t done = 0, n = 0; done < n_floats; done += n) {
    n = std::min(block.size(), n_floats - done);
    rng.fill(block.data(), n, scale);
    if (std::fwrite(block.data(), sizeof(float), n, f) != n) {
      std::fclose(f);
      throw std::runtime_error("short write to " + path.string());
    }
  }
  std::fclose(f);
}
}  // namespace

std::filesystem::path temp_dir(const std::string& tag) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  static bool registered = false;
  if (!registered) {
    std::atexit(remove_temp_dirs);
    registered = true;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / ("mvsdk-" + tag + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  temp_dirs().emplace_back(pattern);
  return pattern;
}

const ModelPaths& synthetic_models() {
  static std::once_flag once;
  static ModelPaths paths;
  std::call_once(once, [] {
    paths.dir = temp_dir("models");
    paths.am = (paths.dir / "am.bin").string();
    paths.bn = (paths.dir / "bn.bin").string();
    paths.voc = (paths.dir / "voc.bin").string();
    write_random_floats(paths.am, static_cast<std::size_t>(engine::amengine::stream_floats()), 0.05f, 1);
    write_random_floats(paths.bn, static_cast<std::size_t>(engine::bnengine::weight_floats()), 0.05f, 2);
    write_random_floats(paths.voc, static_cast<std::size_t>(engine::vocengine::weight_floats()), 0.05f, 3);
  });
  return paths;
}

}  // namespace mvsdk::test
