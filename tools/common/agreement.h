#pragma once
// How closely two runs of the engine agree: the same stage's values from two machines (or two
// builds) compared element by element, with the figures that a summation-order difference is
// judged by.
//
// Values are compared in double precision. Sums accumulate over several buffers (a stage's
// chunks) with add(); the figures are read at the end. Plain values, no threads of their own.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mvsdk::tools {

class Agreement {
 public:
  // Adds n pairs (reference a[i], other b[i]). Two NaNs agree; a NaN or infinity against anything
  // else, or infinities of different sign, count as mismatches and add nothing to the sums.
  void add(const float* a, const float* b, std::size_t n);
  void add(const std::int16_t* a, const std::int16_t* b, std::size_t n);
  void merge(const Agreement& other);

  std::size_t count() const { return count_; }
  std::size_t mismatches() const { return mismatches_; }  // non-finite disagreements
  std::size_t differing() const { return differing_; }    // pairs that are not bit-identical
  double max_abs() const { return max_abs_; }             // largest |a - b| over finite pairs
  double ref_rms() const;                                 // RMS of a
  double diff_rms() const;                                // RMS of a - b
  // diff_rms / ref_rms: 0 when nothing differs, infinity when only the reference is all zeros.
  double rel_rms() const;
  // 20 log10(ref_rms / diff_rms) in dB: infinity when nothing differs, -infinity when the
  // reference is all zeros and the other is not.
  double snr_db() const;

 private:
  void add_pair(double a, double b, bool identical);

  std::size_t count_ = 0;
  std::size_t finite_ = 0;
  std::size_t mismatches_ = 0;
  std::size_t differing_ = 0;
  double max_abs_ = 0.0;
  double ref_sq_ = 0.0;
  double diff_sq_ = 0.0;
};

// One stage of a comparison of two dump folders.
struct StageAgreement {
  std::string stage;  // file name after the chunk number: "mel.f32", "voc.s16"; whole name else
  std::size_t files = 0;
  Agreement values;
};

struct FolderAgreement {
  std::vector<StageAgreement> stages;  // sorted by stage name
  std::vector<std::string> problems;   // missing files, unequal sizes, unreadable files
};

// Compares every "*.f32" (little-endian floats) and "*.s16" (little-endian 16-bit) file of
// folder a with the file of the same name in folder b, grouped by stage. Files of b that a lacks,
// files of a that b lacks and pairs of different length are problems (and are not compared).
FolderAgreement compare_folders(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace mvsdk::tools
