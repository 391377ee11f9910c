// TRecordSet: a set of record numbers stored as a sparse bitmap.
//
// The record locks a table object holds (and those whose release waits for the end of a
// transaction) are mostly consecutive record numbers; a transaction that adds a million
// records holds a million of them. One tree node per 64 numbers keeps such a set at about one
// byte per record, where a tree node per number cost some 40. It offers the operations of an
// ordered set of numbers that the lock bookkeeping uses; iteration runs in ascending order.
//
// Thread-safety: none of its own (its owner's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>

namespace tabula {

class TRecordSet {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::int32_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::int32_t*;
    using reference = std::int32_t;

    const_iterator() = default;
    std::int32_t operator*() const { return static_cast<std::int32_t>(word_->first * 64 + bit_); }
    const_iterator& operator++() {
      Advance(bit_ + 1);
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const const_iterator& other) const {
      return word_ == other.word_ && (word_ == end_ || bit_ == other.bit_);
    }
    bool operator!=(const const_iterator& other) const { return !(*this == other); }

   private:
    friend class TRecordSet;
    using TWords = std::map<std::int64_t, std::uint64_t>::const_iterator;
    const_iterator(TWords word, TWords end) : word_(word), end_(end) { Advance(0); }
    // Moves to the first member at or after bit `from` of the current word.
    void Advance(int from) {
      while (word_ != end_) {
        const std::uint64_t rest = from < 64 ? word_->second >> from : 0;
        if (rest != 0) {
          bit_ = from + __builtin_ctzll(rest);
          return;
        }
        ++word_;
        from = 0;
      }
      bit_ = 0;
    }
    TWords word_;
    TWords end_;
    int bit_ = 0;
  };
  using iterator = const_iterator;

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  void clear() {
    words_.clear();
    size_ = 0;
  }
  std::size_t count(std::int32_t n) const {
    const auto it = words_.find(Word(n));
    return it != words_.end() && ((it->second >> Bit(n)) & 1u) != 0 ? 1 : 0;
  }
  bool contains(std::int32_t n) const { return count(n) != 0; }
  // True when `n` was not a member yet.
  bool insert(std::int32_t n) {
    std::uint64_t& word = words_[Word(n)];
    const std::uint64_t bit = std::uint64_t{1} << Bit(n);
    if ((word & bit) != 0) return false;
    word |= bit;
    ++size_;
    return true;
  }
  // The number of members removed (0 or 1).
  std::size_t erase(std::int32_t n) {
    const auto it = words_.find(Word(n));
    if (it == words_.end()) return 0;
    const std::uint64_t bit = std::uint64_t{1} << Bit(n);
    if ((it->second & bit) == 0) return 0;
    it->second &= ~bit;
    if (it->second == 0) words_.erase(it);
    --size_;
    return 1;
  }
  const_iterator begin() const { return const_iterator(words_.begin(), words_.end()); }
  const_iterator end() const { return const_iterator(words_.end(), words_.end()); }

 private:
  // Floor division, so that negative numbers (never record numbers, but harmless) work too.
  static std::int64_t Word(std::int32_t n) {
    return n >= 0 ? n / 64 : -((-static_cast<std::int64_t>(n) + 63) / 64);
  }
  static int Bit(std::int32_t n) { return static_cast<int>(n - Word(n) * 64); }

  std::map<std::int64_t, std::uint64_t> words_;  // word index -> members' bits
  std::size_t size_ = 0;
};

}  // namespace tabula
