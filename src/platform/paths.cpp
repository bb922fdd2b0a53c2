#include "platform/paths.h"

#include <cstdlib>
#include <string_view>

#include "platform/settings.h"

namespace mvsdk::platform {
namespace {

// An XDG base directory: the variable when it holds an absolute path (the XDG base directory
// rules say relative values are invalid and must be ignored), else $HOME/<fallback>, else none.
std::optional<std::filesystem::path> xdg_directory(const char* variable, std::string_view fallback_under_home) {
  if (const char* v = std::getenv(variable); v != nullptr && *v != '\0') {
    std::filesystem::path p(v);
    if (p.is_absolute()) return p;
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return std::filesystem::path(home) / fallback_under_home;
  return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> caches_directory() {
  try {
    return xdg_directory("XDG_CACHE_HOME", ".cache");
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::filesystem::path> config_directory() {
  try {
    auto base = xdg_directory("XDG_CONFIG_HOME", ".config");
    if (!base) return std::nullopt;
    return *base / "mvsdk";
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace mvsdk::platform
