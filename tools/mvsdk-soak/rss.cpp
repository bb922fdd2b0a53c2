#include "rss.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace mvsdk::soak {

std::optional<std::int64_t> parse_vmrss_kb(const std::string& status_text) {
  std::istringstream in(status_text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) != 0) continue;
    std::istringstream fields(line.substr(6));
    long long value = -1;
    std::string unit;
    if (!(fields >> value >> unit) || value < 0 || unit != "kB") return std::nullopt;
    return static_cast<std::int64_t>(value);
  }
  return std::nullopt;
}

std::optional<std::int64_t> resident_kb() {
  std::ifstream in("/proc/self/status");
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return parse_vmrss_kb(text.str());
}

MemoryVerdict judge_memory(const std::vector<MemorySample>& samples, double reference_s, double limit_mb) {
  MemoryVerdict v;
  for (const auto& s : samples) v.max_kb = std::max(v.max_kb, s.kb);
  const auto ref = std::find_if(samples.begin(), samples.end(),
                                [reference_s](const MemorySample& s) { return s.audio_s >= reference_s; });
  if (ref == samples.end()) {
    v.ok = false;
    v.message = "no memory sample at or after the reference point";
    return v;
  }
  v.reference = *ref;
  v.last = samples.back();
  v.growth_mb = static_cast<double>(v.last->kb - ref->kb) / 1024.0;
  if (v.growth_mb > limit_mb) {
    v.ok = false;
    char text[200];
    std::snprintf(text, sizeof text, "resident memory grew by %.1f MB from %.0f s to %.0f s of audio (limit %.1f MB)",
                  v.growth_mb, ref->audio_s, v.last->audio_s, limit_mb);
    v.message = text;
  }
  return v;
}

}  // namespace mvsdk::soak
