#include "download/down_file_rules.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mvsdk {
namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Printable ASCII that may appear in a URL as written (RFC 3986 characters plus "%").
bool is_url_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7F) return false;
  return std::strchr("\"<>\\^`{|}", c) == nullptr;
}

// Length of the scheme (without ":"), or 0 when ref does not start with "scheme:".
std::size_t scheme_length(std::string_view ref) {
  if (ref.empty() || !is_alpha(ref[0])) return 0;
  std::size_t i = 1;
  while (i < ref.size() && (is_alpha(ref[i]) || is_digit(ref[i]) || ref[i] == '+' || ref[i] == '-' || ref[i] == '.')) ++i;
  return i < ref.size() && ref[i] == ':' ? i : 0;
}

std::string percent_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// The last segment of the URL's path, percent-decoded; "" when the path ends in "/" or is empty.
std::string url_last_path_segment(std::string_view ref) {
  std::string_view rest = ref.substr(scheme_length(ref) + 1);
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const std::size_t end = rest.find_first_of("/?#");
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  rest = rest.substr(0, rest.find_first_of("?#"));
  const std::size_t slash = rest.rfind('/');
  if (slash != std::string_view::npos) rest.remove_prefix(slash + 1);
  return percent_decode(rest);
}

}  // namespace

bool reference_parses_as_url(std::string_view ref) {
  if (scheme_length(ref) == 0) return false;
  for (std::size_t i = 0; i < ref.size(); ++i) {
    if (!is_url_char(ref[i])) return false;
    if (ref[i] == '%') {
      if (i + 2 >= ref.size() || hex_value(ref[i + 1]) < 0 || hex_value(ref[i + 2]) < 0) return false;
    }
  }
  return true;
}

std::string text_last_path_component(std::string_view text) {
  while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
  if (text == "/") return "/";
  const std::size_t slash = text.rfind('/');
  return std::string(slash == std::string_view::npos ? text : text.substr(slash + 1));
}

std::string reference_file_name(std::string_view ref) {
  if (reference_parses_as_url(ref)) {
    std::string segment = url_last_path_segment(ref);
    if (!segment.empty()) return segment;
  }
  return text_last_path_component(ref);
}

bool is_safe_cache_file_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name == kDownFilePartialDirectoryName) return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::optional<std::string> cache_file_name(std::string_view ref) {
  std::string name = reference_file_name(ref);
  if (!is_safe_cache_file_name(name)) return std::nullopt;
  return name;
}

bool is_bin_reference(std::string_view ref) { return ref.find(".bin") != std::string_view::npos; }

DownloadShares download_shares(const std::vector<std::string>& references) {
  DownloadShares s;
  for (const auto& ref : references) {
    if (is_bin_reference(ref)) {
      ++s.binCount;
    } else {
      ++s.speakerCount;
    }
  }
  if (s.binCount > 0 && s.speakerCount > 0) {
    s.binProgress = 0.8f;
    s.speakerProgress = 0.2f;
  } else if (s.binCount > 0) {
    s.binProgress = 1.0f;
    s.speakerProgress = 0.0f;
  }
  return s;
}

float entry_share(const DownloadShares& shares, std::string_view ref) {
  if (is_bin_reference(ref)) return shares.binProgress / static_cast<float>(std::max<std::int64_t>(shares.binCount, 1));
  return shares.speakerProgress / static_cast<float>(std::max<std::int64_t>(shares.speakerCount, 1));
}

float clamp_fraction(float v) {
  if (std::isnan(v)) return 0.0f;
  return std::clamp(v, 0.0f, 1.0f);
}

DownloadCounts download_counts(float fraction, std::int64_t n_files) {
  const float p = clamp_fraction(fraction);
  DownloadCounts c;
  c.total = n_files;
  c.percent = static_cast<std::int64_t>(p * 100.0f);
  if (n_files < 1) return c;
  // In float, as the fraction is; compared before the cast so a huge n_files cannot overflow it.
  const float n = static_cast<float>(n_files);
  const float done = p * n;
  c.current = done >= n ? n_files : std::min(static_cast<std::int64_t>(done) + 1, n_files);
  return c;
}

}  // namespace mvsdk
