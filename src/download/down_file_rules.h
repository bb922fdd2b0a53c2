#pragma once
// Pure rules of the resource cache, kept apart from the download manager so they can be tested
// and fuzzed alone: the local file name of a download reference, the ".bin" classification,
// the progress shares of a batch, and the host's progress counts. No I/O, no state; every
// function is safe from any thread and never throws.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mvsdk {

// The cache directory's name inside the user's caches directory.
inline constexpr const char* kDownFileCacheDirectoryName = "MVRtvcFile";
// Where downloads in flight are written, inside the cache directory: a directory, so a file name
// never equals it, and on the cache's own file system, so moving a finished file into place is
// one atomic rename. This name is refused as a file name.
inline constexpr const char* kDownFilePartialDirectoryName = ".partial";

// True when ref parses as an absolute URL: a scheme (a letter, then letters, digits, "+", "-"
// or "."), ":", then only printable ASCII characters allowed in a URL (no space, no control
// character, none of "\"<>\\^`{|}"), and every "%" followed by two hexadecimal digits.
bool reference_parses_as_url(std::string_view ref);

// The last path component of text the way a path string names it: trailing "/" are dropped
// (a lone "/" stays "/"), then what follows the last "/". Not percent-decoded.
std::string text_last_path_component(std::string_view text);

// The file name a reference is cached under, before the safety check: when the reference
// parses as a URL, the last segment of its path (query and fragment excluded), percent-decoded;
// when it does not parse or that segment is empty, text_last_path_component(ref). Nothing is
// added or removed (a weight file keeps its ".bin").
std::string reference_file_name(std::string_view ref);

// True when name may be used as a file directly inside the cache directory: not empty, not "."
// or "..", not the partial-download directory's name, and holding no "/", "\\" or NUL byte.
bool is_safe_cache_file_name(std::string_view name);

// reference_file_name(ref) when it is safe, else nullopt (such a reference cannot be cached).
std::optional<std::string> cache_file_name(std::string_view ref);

// A reference holding ".bin" anywhere counts as a weight file; any other as a speaker file.
bool is_bin_reference(std::string_view ref);

// How a batch's fraction is split: all weight files together 0.8 and all speaker files 0.2
// when the batch has both; 1.0 for the only kind present otherwise.
struct DownloadShares {
  std::int64_t binCount = 0;
  std::int64_t speakerCount = 0;
  float binProgress = 0.0f;
  float speakerProgress = 1.0f;
};
DownloadShares download_shares(const std::vector<std::string>& references);

// The share of one entry: binProgress / max(binCount, 1) for a weight file, speakerProgress /
// max(speakerCount, 1) for a speaker file.
float entry_share(const DownloadShares& shares, std::string_view ref);

// v limited to [0, 1]; NaN gives 0.
float clamp_fraction(float v);

// The host's progress report for a batch fraction over n_files catalogue files: percent =
// fraction x 100 truncated toward zero; current = fraction x n_files truncated, plus 1, then
// limited to [1, n_files]. The fraction is clamped to [0, 1] first; n_files < 1 gives current 1
// and total n_files as given.
struct DownloadCounts {
  std::int64_t percent = 0;
  std::int64_t current = 1;
  std::int64_t total = 0;
};
DownloadCounts download_counts(float fraction, std::int64_t n_files);

// 200-299: the body is the file. Anything else (an error page, a redirect that was not
// followed) is not stored.
inline bool is_success_status(long status) { return status >= 200 && status <= 299; }

}  // namespace mvsdk
