#include "common/agreement.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <system_error>

namespace mvsdk::tools {

namespace fs = std::filesystem;

void Agreement::add_pair(double a, double b, bool identical) {
  ++count_;
  if (!identical) ++differing_;
  const bool fa = std::isfinite(a);
  const bool fb = std::isfinite(b);
  if (!fa || !fb) {
    const bool both_nan = std::isnan(a) && std::isnan(b);
    if (!both_nan && a != b) ++mismatches_;
    return;
  }
  ++finite_;
  const double d = a - b;
  max_abs_ = std::max(max_abs_, std::fabs(d));
  ref_sq_ += a * a;
  diff_sq_ += d * d;
}

void Agreement::add(const float* a, const float* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    add_pair(a[i], b[i], std::bit_cast<std::uint32_t>(a[i]) == std::bit_cast<std::uint32_t>(b[i]));
  }
}

void Agreement::add(const std::int16_t* a, const std::int16_t* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) add_pair(a[i], b[i], a[i] == b[i]);
}

void Agreement::merge(const Agreement& o) {
  count_ += o.count_;
  finite_ += o.finite_;
  mismatches_ += o.mismatches_;
  differing_ += o.differing_;
  max_abs_ = std::max(max_abs_, o.max_abs_);
  ref_sq_ += o.ref_sq_;
  diff_sq_ += o.diff_sq_;
}

double Agreement::ref_rms() const { return finite_ ? std::sqrt(ref_sq_ / static_cast<double>(finite_)) : 0.0; }
double Agreement::diff_rms() const { return finite_ ? std::sqrt(diff_sq_ / static_cast<double>(finite_)) : 0.0; }

double Agreement::rel_rms() const {
  if (diff_sq_ == 0.0) return 0.0;
  if (ref_sq_ == 0.0) return std::numeric_limits<double>::infinity();
  return std::sqrt(diff_sq_ / ref_sq_);
}

double Agreement::snr_db() const {
  if (diff_sq_ == 0.0) return std::numeric_limits<double>::infinity();
  if (ref_sq_ == 0.0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(ref_sq_ / diff_sq_);
}

namespace {

std::optional<std::string> read_bytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) return std::nullopt;
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) return std::nullopt;
  return s;
}

// Little-endian values out of raw bytes (the dumps are written little-endian on every target
// the kit runs on; decoding explicitly keeps the comparison right on any host).
std::vector<float> floats_le(const std::string& s) {
  std::vector<float> v(s.size() / 4);
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::uint32_t u = 0;
    for (int k = 3; k >= 0; --k) u = (u << 8) | static_cast<unsigned char>(s[i * 4 + static_cast<std::size_t>(k)]);
    v[i] = std::bit_cast<float>(u);
  }
  return v;
}

std::vector<std::int16_t> s16_le(const std::string& s) {
  std::vector<std::int16_t> v(s.size() / 2);
  for (std::size_t i = 0; i < v.size(); ++i) {
    const auto lo = static_cast<unsigned char>(s[i * 2]);
    const auto hi = static_cast<unsigned char>(s[i * 2 + 1]);
    v[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
  }
  return v;
}

bool is_dump_name(const std::string& name) {
  auto ends = [&](const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
  };
  return ends(".f32") || ends(".s16");
}

// "0003.mel.f32" -> "mel.f32"; names without a leading number keep their whole name.
std::string stage_of(const std::string& name) {
  const std::size_t dot = name.find('.');
  if (dot == std::string::npos || dot == 0) return name;
  for (std::size_t i = 0; i < dot; ++i) {
    if (name[i] < '0' || name[i] > '9') return name;
  }
  return name.substr(dot + 1);
}

std::set<std::string> dump_names(const fs::path& dir, std::vector<std::string>& problems) {
  std::set<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) {
    problems.push_back("cannot list " + dir.string() + ": " + ec.message());
    return names;
  }
  for (const auto& e : it) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file(ec) && is_dump_name(name)) names.insert(name);
  }
  return names;
}

}  // namespace

FolderAgreement compare_folders(const fs::path& a, const fs::path& b) {
  FolderAgreement out;
  const auto names_a = dump_names(a, out.problems);
  const auto names_b = dump_names(b, out.problems);
  for (const auto& n : names_b) {
    if (!names_a.count(n)) out.problems.push_back(n + ": only in " + b.string());
  }
  std::map<std::string, StageAgreement> stages;
  for (const auto& n : names_a) {
    if (!names_b.count(n)) {
      out.problems.push_back(n + ": only in " + a.string());
      continue;
    }
    const auto da = read_bytes(a / n);
    const auto db = read_bytes(b / n);
    if (!da || !db) {
      out.problems.push_back(n + ": cannot be read");
      continue;
    }
    const bool f32 = n.size() > 4 && n.compare(n.size() - 4, 4, ".f32") == 0;
    const std::size_t width = f32 ? 4 : 2;
    if (da->size() != db->size() || da->size() % width != 0) {
      out.problems.push_back(n + ": " + std::to_string(da->size()) + " bytes against " +
                             std::to_string(db->size()));
      continue;
    }
    StageAgreement& st = stages[stage_of(n)];
    st.stage = stage_of(n);
    ++st.files;
    if (f32) {
      const auto va = floats_le(*da);
      const auto vb = floats_le(*db);
      st.values.add(va.data(), vb.data(), va.size());
    } else {
      const auto va = s16_le(*da);
      const auto vb = s16_le(*db);
      st.values.add(va.data(), vb.data(), va.size());
    }
  }
  for (auto& [name, st] : stages) out.stages.push_back(std::move(st));
  return out;
}

}  // namespace mvsdk::tools
