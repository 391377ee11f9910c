// The benchmark's data: staff rows generated from a fixed seed, identical for every engine.
//
// Row i of a data set is a pure function of (seed, i), so a process can produce any row, or any
// batch of rows, without holding the data set in memory: peak memory then measures the engine,
// not the generator. Staff numbers of the first n rows are a permutation of 1..n (so the unique
// index is filled in no particular order); rows from n on, added to a table of n rows, take the
// numbers n + 1, n + 2, ... The random choices of the workloads (which staff number to look up,
// update or delete) come from the same kind of bijection, so both engines see the same keys in
// the same order.
//
// Thread-safety: value types and pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tabula::bench {

// The fixed seed of every data set.
constexpr std::uint64_t kDataSeed = 0x5EED2026C0FFEEull;

// A fixed-capacity text; `size` excludes the terminating zero. Never empty and never ending in
// a blank, so that every engine stores it unchanged.
template <std::size_t Capacity>
struct TText {
  char data[Capacity + 1] = {};
  std::uint8_t size = 0;
  std::string_view View() const { return std::string_view(data, size); }
};

// One staff record without its record identifier (the engines assign it).
struct TStaffRow {
  std::int32_t StaffId = 0;
  TText<25> StaffName;
  bool Active = false;
  bool Nutritionist = false;
  bool CaseManager = false;
  bool Driver = false;
  bool Volunteer = false;
  TText<10> Password;
  TText<1> AccessLevel;
  TText<12> UserId;
  TText<20> PreferredTab;
  TText<15> DSortOrder;
  std::int32_t VisibleTabs = 0;
  std::int32_t DTab = 0;
  TText<1> ConserveResources;
  std::int32_t PreferredDeliveryReport = 0;
  std::int32_t PreferredCounselingReport = 0;
  std::int32_t PreferredAlertsReport = 0;
  std::int32_t PreferredAgencyReport = 0;
  bool ExecuteOnOpenQuery = false;
  bool ExecuteOnCloseQuery = false;
  TText<1> PrepareDataPrompt;
  TText<1> DisplayPreparedData;
  std::int32_t CreateDate = 0;  // day number, 0001-01-01 = 1
  double LastUpdated = 0;       // day number × 86400000 + milliseconds
};

// SplitMix64: a small, fast generator with good statistical quality.
class TRandom {
 public:
  explicit TRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, bound). REQUIRES: bound > 0.
  std::uint32_t Below(std::uint32_t bound) {
    return static_cast<std::uint32_t>(((Next() >> 32) * bound) >> 32);
  }

 private:
  std::uint64_t state_;
};

// A bijection of [0, n) onto itself, x -> (a·x + c) mod n, with a and c drawn from `seed`.
class TPermutation {
 public:
  TPermutation(std::uint32_t n, std::uint64_t seed);
  std::uint32_t operator()(std::uint32_t x) const {
    return static_cast<std::uint32_t>((a_ * x + c_) % n_);
  }

 private:
  std::uint64_t n_;
  std::uint64_t a_;
  std::uint64_t c_;
};

// The rows of a data set of `n` rows (row numbers from 0; rows from n on extend it).
class TStaffGenerator {
 public:
  explicit TStaffGenerator(std::uint32_t n, std::uint64_t seed = kDataSeed);
  std::uint32_t Size() const { return n_; }
  // The staff number of row `row`.
  std::int32_t StaffIdOf(std::uint32_t row) const {
    return row < n_ ? static_cast<std::int32_t>(ids_(row)) + 1 : static_cast<std::int32_t>(row) + 1;
  }
  void Row(std::uint32_t row, TStaffRow* out) const;
  // The new name an update gives the record of row `row`.
  void NewName(std::uint32_t row, TText<25>* out) const;

 private:
  std::uint32_t n_;
  std::uint64_t seed_;
  TPermutation ids_;
};

// Mixes one record's (staff number, name, user ID) into a value whose sum over a set of records
// does not depend on the order in which they are read.
std::uint64_t MixRecord(std::int32_t staff_id, std::string_view name, std::string_view user_id);

}  // namespace tabula::bench
