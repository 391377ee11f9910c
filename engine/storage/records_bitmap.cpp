#include "engine/storage/records_bitmap.h"

#include <algorithm>
#include <bit>

namespace tabula {

namespace {
constexpr std::int32_t kWordBits = 64;
}  // namespace

void TRecordsBitmap::Reset(std::int32_t count, bool value) {
  size_ = std::max<std::int32_t>(count, 0);
  words_.assign(static_cast<std::size_t>((size_ + kWordBits - 1) / kWordBits),
                value ? ~std::uint64_t{0} : 0);
  // Bits past the end stay clear so that whole-word counts and scans need no masking.
  if (value && size_ % kWordBits != 0) {
    words_.back() = (std::uint64_t{1} << (size_ % kWordBits)) - 1;
  }
}

bool TRecordsBitmap::Get(std::int32_t n) const {
  if (n < 1 || n > size_) return false;
  const std::int32_t i = n - 1;
  return (words_[static_cast<std::size_t>(i / kWordBits)] >> (i % kWordBits)) & 1;
}

void TRecordsBitmap::Set(std::int32_t n, bool value) {
  if (n < 1 || n > size_) return;
  const std::int32_t i = n - 1;
  std::uint64_t& word = words_[static_cast<std::size_t>(i / kWordBits)];
  const std::uint64_t mask = std::uint64_t{1} << (i % kWordBits);
  word = value ? (word | mask) : (word & ~mask);
}

void TRecordsBitmap::Grow(std::int32_t n) {
  if (n <= size_) return;
  size_ = n;
  words_.resize(static_cast<std::size_t>((size_ + kWordBits - 1) / kWordBits), 0);
}

std::int32_t TRecordsBitmap::CountSet() const {
  std::int32_t count = 0;
  for (std::uint64_t word : words_) count += std::popcount(word);
  return count;
}

std::int32_t TRecordsBitmap::CountSetBefore(std::int32_t n) const {
  const std::int32_t bits = std::clamp<std::int32_t>(n - 1, 0, size_);
  std::int32_t count = 0;
  const std::size_t whole = static_cast<std::size_t>(bits / kWordBits);
  for (std::size_t w = 0; w < whole; ++w) count += std::popcount(words_[w]);
  if (bits % kWordBits != 0) {
    const std::uint64_t mask = (std::uint64_t{1} << (bits % kWordBits)) - 1;
    count += std::popcount(words_[whole] & mask);
  }
  return count;
}

std::int32_t TRecordsBitmap::NextSet(std::int32_t from) const {
  if (from < 1) from = 1;
  if (from > size_) return 0;
  std::int32_t i = from - 1;
  std::size_t w = static_cast<std::size_t>(i / kWordBits);
  std::uint64_t word = words_[w] & (~std::uint64_t{0} << (i % kWordBits));
  while (word == 0) {
    if (++w >= words_.size()) return 0;
    word = words_[w];
  }
  return static_cast<std::int32_t>(w) * kWordBits + std::countr_zero(word) + 1;
}

std::int32_t TRecordsBitmap::PriorSet(std::int32_t from) const {
  if (from > size_) from = size_;
  if (from < 1) return 0;
  std::int32_t i = from - 1;
  std::size_t w = static_cast<std::size_t>(i / kWordBits);
  const int shift = kWordBits - 1 - i % kWordBits;
  std::uint64_t word = words_[w] & (~std::uint64_t{0} >> shift);
  while (word == 0) {
    if (w == 0) return 0;
    word = words_[--w];
  }
  return static_cast<std::int32_t>(w) * kWordBits + (kWordBits - 1 - std::countl_zero(word)) + 1;
}

std::int32_t TRecordsBitmap::NthSet(std::int32_t k) const {
  if (k < 1) return 0;
  for (std::size_t w = 0; w < words_.size(); ++w) {
    std::uint64_t word = words_[w];
    const int count = std::popcount(word);
    if (k > count) {
      k -= count;
      continue;
    }
    for (int skip = 1; skip < k; ++skip) word &= word - 1;
    return static_cast<std::int32_t>(w) * kWordBits + std::countr_zero(word) + 1;
  }
  return 0;
}

void TRecordsBitmap::Intersect(const TRecordsBitmap& other) {
  for (std::size_t w = 0; w < words_.size(); ++w) {
    words_[w] &= w < other.words_.size() ? other.words_[w] : 0;
  }
}

}  // namespace tabula
