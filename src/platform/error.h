#pragma once
// The kit's error record: a domain, a signed code and a readable description. Errors from
// libcurl or the file system keep their own domain ("libcurl", "filesystem") and code.
#include <cstdint>
#include <string>

namespace mvsdk {

struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
};

inline constexpr const char* kCurlErrorDomain = "libcurl";
inline constexpr const char* kFileErrorDomain = "filesystem";

}  // namespace mvsdk
