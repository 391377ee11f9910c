// TRecordsBitmap: one bit per physical record number, numbered from 1.
//
// Cursors in record-number order keep the active records in one (and, once filters exist, the
// records each filter lets through in others); the working bitmap of a cursor is their
// intersection. Searches skip whole 64-bit words of clear bits, so a scan over a sparse bitmap
// costs one test per word, not per record.
//
// Thread-safety: none; a bitmap belongs to one cursor.
#pragma once

#include <cstdint>
#include <vector>

namespace tabula {

class TRecordsBitmap {
 public:
  // Bits 1..count, all set to `value`.
  void Reset(std::int32_t count, bool value);
  std::int32_t Size() const { return size_; }

  // Out-of-range numbers read as clear and are ignored when set.
  bool Get(std::int32_t n) const;
  void Set(std::int32_t n, bool value);
  // Grows the bitmap so that it holds n (new bits clear).
  void Grow(std::int32_t n);

  std::int32_t CountSet() const;
  // Set bits among 1..n-1.
  std::int32_t CountSetBefore(std::int32_t n) const;
  // The first set bit at or after `from` (0 when there is none).
  std::int32_t NextSet(std::int32_t from) const;
  // The last set bit at or before `from` (0 when there is none).
  std::int32_t PriorSet(std::int32_t from) const;
  // The k-th set bit, 1-based (0 when fewer are set).
  std::int32_t NthSet(std::int32_t k) const;
  // Keeps only the bits also set in `other` (bits beyond other's size are cleared).
  void Intersect(const TRecordsBitmap& other);

 private:
  std::vector<std::uint64_t> words_;  // bit n lives in word (n-1)/64, bit (n-1)%64
  std::int32_t size_ = 0;
};

}  // namespace tabula
