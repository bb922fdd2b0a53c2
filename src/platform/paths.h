#pragma once
#include <filesystem>
#include <optional>

namespace mvsdk::platform {

// The user's caches directory: $XDG_CACHE_HOME, else $HOME/.cache, else none.
std::optional<std::filesystem::path> caches_directory();

}  // namespace mvsdk::platform
