// Fuzz target: the file name a download reference is cached under.
//
// Properties checked: a name is given exactly when it is safe; a safe name is one path component
// that stays directly inside the cache folder (no "/", "\\" or NUL, not "." or "..", not the
// partial-download folder), so joining it to the cache folder and normalising the path leaves
// the cache folder as its parent; the name is the reference's last component (percent-decoded
// when the reference is a URL); the other pure rules of the cache hold their ranges.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "download/down_file_rules.h"

namespace {

using namespace mvsdk;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "cache_name_fuzz: property failed: %s\n", what);
    std::abort();
  }
}

void check_name(std::string_view ref) {
  const std::filesystem::path cache = "/var/cache/user/MVRtvcFile";
  const std::string raw = reference_file_name(ref);
  const auto name = cache_file_name(ref);
  check(name.has_value() == is_safe_cache_file_name(raw), "a name is given exactly when it is safe");
  if (!name) return;
  check(*name == raw, "the safe name is the reference's name");
  check(!name->empty() && *name != "." && *name != ".." && *name != kDownFilePartialDirectoryName,
        "not empty, '.', '..' or the partial folder");
  check(name->find('/') == std::string::npos && name->find('\\') == std::string::npos &&
            name->find('\0') == std::string::npos,
        "no separator or NUL");
  const std::filesystem::path joined = (cache / *name).lexically_normal();
  check(joined.parent_path() == cache, "the file stays directly inside the cache folder");
  check(joined.filename() == std::filesystem::path(*name), "the path's last component is the name");
  check(joined.lexically_relative(cache) == std::filesystem::path(*name), "nothing of the name is lost on the way");
  if (!reference_parses_as_url(ref)) {
    check(*name == text_last_path_component(ref), "a non-URL reference keeps its last component");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view ref(reinterpret_cast<const char*>(data), size);
  check_name(ref);
  // The same reference as a URL path and with a query, the forms the catalogue uses.
  check_name("https://files.example/" + std::string(ref));
  check_name("https://files.example/models/" + std::string(ref) + "?sig=1#x");

  // The batch rules over the pieces of the input split at newlines.
  std::vector<std::string> refs;
  std::size_t start = 0;
  while (start <= ref.size()) {
    const std::size_t nl = ref.find('\n', start);
    refs.emplace_back(ref.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start));
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  const DownloadShares shares = download_shares(refs);
  check(shares.binCount + shares.speakerCount == static_cast<std::int64_t>(refs.size()), "every reference counted once");
  double total = 0.0;
  for (const auto& r : refs) {
    const float share = entry_share(shares, r);
    check(share >= 0.0f && share <= 1.0f, "a share is a fraction");
    total += share;
  }
  check(std::fabs(total - 1.0) < 1e-3, "the shares of a batch add up to one");

  if (size >= 12) {
    float fraction;
    std::int64_t n_files;
    std::memcpy(&fraction, data, 4);
    std::memcpy(&n_files, data + 4, 8);
    const DownloadCounts c = download_counts(fraction, n_files);
    check(c.total == n_files, "total is the file count");
    check(c.percent >= 0 && c.percent <= 100, "percent in 0..100");
    if (n_files >= 1) check(c.current >= 1 && c.current <= n_files, "current in 1..n");
    const float clamped = clamp_fraction(fraction);
    check(clamped >= 0.0f && clamped <= 1.0f, "clamped fraction in 0..1");
  }
  return 0;
}
