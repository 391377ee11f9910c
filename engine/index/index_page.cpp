#include "engine/index/index_page.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"

namespace tabula {

namespace {

// Copies `n` entries of `words` 8-byte words each from `src` (entries `src_stride` bytes apart)
// to `dst` (`dst_stride` apart). The common word counts get a loop of their own, so that the
// copy of an entry is a few straight moves.
template <std::size_t kWords>
void CopyEntryWords(std::uint8_t* dst, std::size_t dst_stride, const std::uint8_t* src,
                    std::size_t src_stride, int n) {
  for (int i = 0; i < n; ++i, dst += dst_stride, src += src_stride) {
    for (std::size_t w = 0; w < kWords; ++w) std::memcpy(dst + 8 * w, src + 8 * w, 8);
  }
}

void CopyEntryWords(std::size_t words, std::uint8_t* dst, std::size_t dst_stride,
                    const std::uint8_t* src, std::size_t src_stride, int n) {
  switch (words) {
    case 1:
      return CopyEntryWords<1>(dst, dst_stride, src, src_stride, n);
    case 2:
      return CopyEntryWords<2>(dst, dst_stride, src, src_stride, n);
    case 3:
      return CopyEntryWords<3>(dst, dst_stride, src, src_stride, n);
    case 4:
      return CopyEntryWords<4>(dst, dst_stride, src, src_stride, n);
    case 5:
      return CopyEntryWords<5>(dst, dst_stride, src, src_stride, n);
    case 6:
      return CopyEntryWords<6>(dst, dst_stride, src, src_stride, n);
    default:
      for (int i = 0; i < n; ++i, dst += dst_stride, src += src_stride) {
        for (std::size_t w = 0; w < words; ++w) std::memcpy(dst + 8 * w, src + 8 * w, 8);
      }
  }
}

// The first n (1..8) bytes at p as a big-endian number. REQUIRES: 8 bytes readable at p.
inline std::uint64_t PrefixWord(const std::uint8_t* p, std::size_t n) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  return word >> (64 - 8 * n);
}

}  // namespace

int TBytewiseKeyComparator::CompareKeys(const std::uint8_t* stored, const std::uint8_t* search,
                                        std::size_t n) const {
  const int c = std::memcmp(stored, search, n);
  const int sign = c < 0 ? -1 : (c > 0 ? 1 : 0);
  return descending_ ? -sign : sign;
}

TPageFormat TPageFormat::FromDescriptor(const TIndexDescriptor& descriptor, int slot) {
  TPageFormat f;
  f.KeyLength = descriptor.KeyLength;
  f.Unique = descriptor.Unique;
  f.NoSubtreeCounts = descriptor.NoSubtreeCounts || slot == kSysTextSlot;
  f.Descending = descriptor.Descending;
  f.Compression = descriptor.Compression;
  return f;
}

int TPageFormat::MaxInteriorEntries() const {
  return static_cast<int>(kPageEntryArea / InteriorEntrySize());
}

int TPageFormat::MaxLeafEntries() const {
  return static_cast<int>(kPageEntryArea / (KeyLength + 4u));
}

void TPage::Reset(const TPageFormat& format, std::uint32_t page_number, int slot) {
  format_ = format;
  page_number_ = page_number;
  slot_ = slot;
  SetTypeAndStride(ptRootInterior);
  prev_page_ = 0;
  next_page_ = 0;
  dirty_ = false;
  pin_count_ = 0;
  free_ = false;
  count_ = 0;
  compressed_size_ = 0;
  entries_.clear();
  runs_.clear();
  EntriesChanged();
  ReserveEntries();
}

void TPage::ReserveEntries() {
  // Room for a full uncompressed page of either kind plus the overflowing entry, so that
  // ordinary inserts never allocate; compressed leaves may grow beyond it.
  const std::size_t leaf =
      (static_cast<std::size_t>(format_.MaxLeafEntries()) + 2) * StrideOf(ptLeaf);
  const std::size_t interior =
      (static_cast<std::size_t>(format_.MaxInteriorEntries()) + 2) * StrideOf(ptInterior);
  entries_.reserve(std::max(leaf, interior));
  if (KeepsRuns()) runs_.reserve(2 * (static_cast<std::size_t>(format_.MaxLeafEntries()) + 2));
}

void TPage::SetPageType(std::uint8_t type) {
  const bool was_compressed = Compressed();
  const std::size_t old_stride = stride_;
  SetTypeAndStride(type);
  if (count_ > 0 && stride_ != old_stride) {
    // A leaf made interior or the other way round: the entries keep key and value; counts
    // start at 0.
    std::vector<std::uint8_t> moved(static_cast<std::size_t>(count_) * stride_, 0);
    const std::size_t common = std::min(old_stride, stride_);
    for (int i = 0; i < count_; ++i) {
      std::memcpy(moved.data() + i * stride_, entries_.data() + i * old_stride, common);
    }
    entries_ = std::move(moved);
  }
  EntriesChanged();
  if (type_ == ptRawData && raw_.size() != kPageEntryArea) raw_.assign(kPageEntryArea, 0);
  if (Compressed() != was_compressed) RefreshAll();
}

void TPage::MakeFree(std::uint32_t next_free) {
  free_ = true;
  count_ = 0;
  entries_.clear();
  runs_.clear();
  EntriesChanged();
  compressed_size_ = 0;
  prev_page_ = 0;
  next_page_ = next_free;
}

void TPage::SetValue(int i, std::uint32_t value) {
  EncodeFixed32(Entry(i) + format_.KeyLength, value);
}

void TPage::SetSubtreeCount(int i, std::uint32_t count) {
  if (IsLeaf()) return;
  EncodeFixed32(Entry(i) + format_.KeyLength + 4, count);
  EntriesChanged();
}

std::uint64_t TPage::Total() const {
  if (IsLeaf()) return static_cast<std::uint64_t>(count_);
  return CountBefore(count_ + 1);
}

void TPage::EntriesChanged() {
  prefix_.clear();
  sums_asked_ = false;
  // The room is made when an interior page changes, so that reading it allocates nothing.
  if (count_ > 0 && !IsLeaf() && type_ != ptRawData &&
      prefix_.capacity() <= static_cast<std::size_t>(count_)) {
    prefix_.reserve(static_cast<std::size_t>(std::max(count_, format_.MaxInteriorEntries())) + 2);
  }
}

std::uint64_t TPage::CountBefore(int i) const {
  if (IsLeaf()) return static_cast<std::uint64_t>(i - 1);
  if (!prefix_.empty()) return prefix_[static_cast<std::size_t>(i - 1)];
  if (!sums_asked_) {
    sums_asked_ = true;
    std::uint64_t sum = 0;
    for (int j = 1; j < i; ++j) sum += SubtreeCount(j);
    return sum;
  }
  prefix_.resize(static_cast<std::size_t>(count_) + 1);
  prefix_[0] = 0;
  for (int j = 1; j <= count_; ++j) {
    prefix_[static_cast<std::size_t>(j)] =
        prefix_[static_cast<std::size_t>(j) - 1] + SubtreeCount(j);
  }
  return prefix_[static_cast<std::size_t>(i - 1)];
}

void TPage::ComputeRuns(int i, std::uint8_t* d_out, std::uint8_t* t_out) const {
  const int kl = format_.KeyLength;
  const std::uint8_t* key = Entry(i);
  int d = 0;
  int t = 0;
  const std::uint8_t c = format_.Compression;
  if ((c == icDupByte || c == icFull) && i > 1) {
    const std::uint8_t* prev = Entry(i - 1);
    const int limit = std::min(kl, static_cast<int>(kMaxCompressionRun));
    while (d < limit && prev[d] == key[d]) ++d;
  }
  if (c == icTrailByte || c == icFull) {
    // The zero run is looked for in [from, to): the part after the shared prefix, less the
    // record-ID suffix of a non-unique index, which is always stored.
    const int from = (c == icFull) ? d : 0;
    int to = kl;
    if (!format_.Unique) to = (kl - from >= 5) ? kl - 4 : from;
    while (t < kMaxCompressionRun && to - t > from && key[to - t - 1] == 0) ++t;
  }
  *d_out = static_cast<std::uint8_t>(d);
  *t_out = static_cast<std::uint8_t>(t);
}

std::size_t TPage::CompressedEntrySize(int i) const {
  const std::size_t kl = format_.KeyLength;
  switch (format_.Compression) {
    case icDupByte:
      return kl - DupPrefix(i) + 5;
    case icTrailByte:
      return kl - TrailZeros(i) + 5;
    case icFull:
      return kl - DupPrefix(i) - TrailZeros(i) + 6;
    default:
      return kl + 4;
  }
}

void TPage::RefreshEntry(int i) {
  if (i < 1 || i > count_ || format_.Compression == icNone) return;
  compressed_size_ -= CompressedEntrySize(i);
  std::uint8_t d;
  std::uint8_t t;
  ComputeRuns(i, &d, &t);
  runs_[2 * (i - 1)] = d;
  runs_[2 * (i - 1) + 1] = t;
  compressed_size_ += CompressedEntrySize(i);
}

void TPage::RefreshAll() {
  compressed_size_ = 0;
  if (!KeepsRuns()) {
    runs_.clear();
    return;
  }
  runs_.assign(2 * static_cast<std::size_t>(count_), 0);
  for (int i = 1; i <= count_; ++i) {
    std::uint8_t d;
    std::uint8_t t;
    ComputeRuns(i, &d, &t);
    runs_[2 * (i - 1)] = d;
    runs_[2 * (i - 1) + 1] = t;
    compressed_size_ += CompressedEntrySize(i);
  }
}

void TPage::InsertEntry(int i, const std::uint8_t* key, std::uint32_t value,
                        std::uint32_t subtree_count) {
  const std::size_t stride = Stride();
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>((i - 1) * stride), stride, 0);
  ++count_;
  EntriesChanged();
  std::uint8_t* e = Entry(i);
  std::memcpy(e, key, format_.KeyLength);
  EncodeFixed32(e + format_.KeyLength, value);
  if (!IsLeaf()) EncodeFixed32(e + format_.KeyLength + 4, subtree_count);
  if (KeepsRuns()) {
    std::uint8_t d;
    std::uint8_t t;
    ComputeRuns(i, &d, &t);
    const auto at = runs_.begin() + static_cast<std::ptrdiff_t>(2 * (i - 1));
    runs_.insert(at, {d, t});
    compressed_size_ += CompressedEntrySize(i);
    RefreshEntry(i + 1);
  }
}

void TPage::RemoveEntry(int i) {
  if (format_.Compression != icNone) compressed_size_ -= CompressedEntrySize(i);
  const std::size_t stride = Stride();
  const auto at = entries_.begin() + static_cast<std::ptrdiff_t>((i - 1) * stride);
  entries_.erase(at, at + static_cast<std::ptrdiff_t>(stride));
  if (KeepsRuns()) {
    const auto run = runs_.begin() + static_cast<std::ptrdiff_t>(2 * (i - 1));
    runs_.erase(run, run + 2);
  }
  --count_;
  EntriesChanged();
  RefreshEntry(i);
}

void TPage::SetKey(int i, const std::uint8_t* key) {
  std::memcpy(Entry(i), key, format_.KeyLength);
  RefreshEntry(i);
  RefreshEntry(i + 1);
}

void TPage::MoveEntries(int first, int n, TPage& dst, int dst_pos) {
  if (n <= 0) return;
  const std::size_t stride = Stride();
  const auto from = entries_.begin() + static_cast<std::ptrdiff_t>((first - 1) * stride);
  const auto to = from + static_cast<std::ptrdiff_t>(n * stride);
  dst.entries_.insert(dst.entries_.begin() + static_cast<std::ptrdiff_t>((dst_pos - 1) * stride),
                      from, to);
  dst.count_ += n;
  entries_.erase(from, to);
  count_ -= n;
  EntriesChanged();
  dst.EntriesChanged();
  RefreshAll();
  dst.RefreshAll();
}

std::size_t TPage::EncodedSize() const {
  if (free_ || type_ == ptRawData) return 0;
  if (!IsLeaf()) return static_cast<std::size_t>(count_) * format_.InteriorEntrySize();
  if (format_.Compression == icNone)
    return static_cast<std::size_t>(count_) * (format_.KeyLength + 4u);
  return compressed_size_;
}

int TPage::MaxEntries() const {
  return IsLeaf() ? format_.MaxLeafEntries() : format_.MaxInteriorEntries();
}

bool TPage::Overflows() const {
  if (Compressed()) return compressed_size_ > kPageEntryArea;
  return count_ > MaxEntries();
}

// The last entry i whose key satisfies `before(key i)`, for a predicate that holds for a prefix
// of the entries; 0 when it holds for none.
template <typename TBefore>
int TPage::FindLast(TBefore before) const {
  int lo = 1;
  int hi = count_;
  int found = 0;
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    if (before(Key(mid))) {
      found = mid;
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return found;
}

template <typename TWordBefore, typename TBytesBefore>
int TPage::FindLastByBytes(const std::uint8_t* key, std::size_t n, TWordBefore word_before,
                           TBytesBefore bytes_before) const {
  if (n >= 1 && n <= 8 && Stride() >= 8) {
    // A short key (an integer or date key) is compared as one big-endian number: every entry
    // has 8 readable bytes from its key on, and the search key is copied into a word of its own.
    std::uint8_t padded[8] = {};
    std::memcpy(padded, key, n);
    const std::uint64_t search = PrefixWord(padded, n);
    return FindLast([&](const std::uint8_t* k) { return word_before(PrefixWord(k, n), search); });
  }
  return FindLast([&](const std::uint8_t* k) { return bytes_before(std::memcmp(k, key, n)); });
}

int TPage::FindLastNotGreater(const std::uint8_t* key, std::size_t n,
                              const TKeyComparator& cmp) const {
  // Plain byte order is compared here, without a call through the comparator per key.
  switch (cmp.ByteOrder()) {
    case 1:
      return FindLastByBytes(
          key, n, [](std::uint64_t k, std::uint64_t s) { return k <= s; },
          [](int c) { return c <= 0; });
    case -1:
      return FindLastByBytes(
          key, n, [](std::uint64_t k, std::uint64_t s) { return k >= s; },
          [](int c) { return c >= 0; });
    default:
      return FindLast([&](const std::uint8_t* k) { return cmp.CompareKeys(k, key, n) <= 0; });
  }
}

int TPage::FindLastLess(const std::uint8_t* key, std::size_t n, const TKeyComparator& cmp) const {
  switch (cmp.ByteOrder()) {
    case 1:
      return FindLastByBytes(
          key, n, [](std::uint64_t k, std::uint64_t s) { return k < s; },
          [](int c) { return c < 0; });
    case -1:
      return FindLastByBytes(
          key, n, [](std::uint64_t k, std::uint64_t s) { return k > s; },
          [](int c) { return c > 0; });
    default:
      return FindLast([&](const std::uint8_t* k) { return cmp.CompareKeys(k, key, n) < 0; });
  }
}

int TPage::FindExact(const std::uint8_t* key, std::size_t n, const TKeyComparator& cmp) const {
  const int i = FindLastLess(key, n, cmp) + 1;
  if (i <= count_ && cmp.CompareKeys(Key(i), key, n) == 0) return i;
  return 0;
}

// ---- Codec.

std::uint16_t TPage::DecodeFrom(const std::uint8_t* src, std::size_t length,
                                std::uint32_t page_count) {
  entries_.clear();
  return DecodeKeepingStorage(src, length, page_count);
}

std::uint16_t TPage::LoadFrom(const TPageFormat& format, std::uint32_t page_number, int slot,
                              const std::uint8_t* src, std::size_t length,
                              std::uint32_t page_count) {
  format_ = format;
  page_number_ = page_number;
  slot_ = slot;
  SetTypeAndStride(ptRootInterior);
  prev_page_ = 0;
  next_page_ = 0;
  pin_count_ = 0;
  ReserveEntries();
  return DecodeKeepingStorage(src, length, page_count);
}

std::uint16_t TPage::DecodeKeepingStorage(const std::uint8_t* src, std::size_t length,
                                          std::uint32_t page_count) {
  const std::uint16_t rc = DecodeImage(src, length, page_count);
  if (rc != 0) {
    count_ = 0;
    entries_.clear();
    runs_.clear();
    compressed_size_ = 0;
    EntriesChanged();
  }
  return rc;
}

std::uint16_t TPage::DecodeImage(const std::uint8_t* src, std::size_t length,
                                 std::uint32_t page_count) {
  count_ = 0;
  EntriesChanged();
  compressed_size_ = 0;
  free_ = false;
  dirty_ = false;
  if (length < kPageSize || format_.KeyLength == 0 || format_.KeyLength > kMaxKeyLength) {
    return TABULA_INDEXCORRUPT;
  }
  const std::uint8_t type = src[kPageType];
  const std::uint16_t count = DecodeFixed16(src + kPageCount);
  const std::uint32_t prev = DecodeFixed32(src + kPagePrev);
  const std::uint32_t next = DecodeFixed32(src + kPageNext);
  const std::uint16_t encoded_size = DecodeFixed16(src + kPageEncodedSize);
  if (type > ptRawData) return TABULA_INDEXCORRUPT;
  if (prev > page_count || next > page_count) return TABULA_INDEXCORRUPT;
  if ((prev != 0 && prev == page_number_) || (next != 0 && next == page_number_)) {
    return TABULA_INDEXCORRUPT;
  }
  SetTypeAndStride(type);
  prev_page_ = prev;
  next_page_ = next;
  if (type == ptRawData) {
    entries_.clear();
    runs_.clear();
    raw_.assign(src + kPageEntries, src + kPageSize);
    return 0;
  }
  const std::size_t kl = format_.KeyLength;
  const std::size_t stride = Stride();
  if (IsLeaf() && format_.Compression != icNone) return DecodeCompressed(src, count, encoded_size);
  const std::size_t entry_size = IsLeaf() ? kl + 4 : format_.InteriorEntrySize();
  if (static_cast<std::size_t>(count) * entry_size > kPageEntryArea) return TABULA_INDEXCORRUPT;
  if (!IsLeaf()) {
    const std::uint8_t* p = src + kPageEntries;
    for (int i = 1; i <= count; ++i, p += entry_size) {
      const std::uint32_t child = DecodeFixed32(p + kl);
      if (child == 0 || child > page_count || child == page_number_) return TABULA_INDEXCORRUPT;
    }
  }
  // The storage may hold the bytes of an earlier page (LoadFrom): every byte of every entry is
  // written here. Leaves and interior pages with counts are stored as they are kept.
  entries_.resize(static_cast<std::size_t>(count) * stride);
  if (count > 0 && entry_size == stride) {
    std::memcpy(entries_.data(), src + kPageEntries, static_cast<std::size_t>(count) * stride);
  } else if (count > 0) {
    // An interior page of an index without counts: each entry gets a count of 0. Every entry
    // but the last is copied in whole 8-byte words, as EncodeTo does: the words read a few
    // bytes of the next stored entry (still inside the image) and write them over the count
    // of this entry and the start of the next one, which its own copy overwrites. The counts
    // are zeroed afterwards. The last entry is copied exactly, so nothing is written past the
    // entries.
    std::uint8_t* e = entries_.data();
    const std::uint8_t* p = src + kPageEntries;
    CopyEntryWords((entry_size + 7) / 8, e, stride, p, entry_size, count - 1);
    std::memcpy(e + static_cast<std::size_t>(count - 1) * stride,
                p + static_cast<std::size_t>(count - 1) * entry_size, entry_size);
    for (int i = 1; i <= count; ++i, e += stride) std::memset(e + entry_size, 0, 4);
  }
  count_ = count;
  RefreshAll();
  EntriesChanged();  // makes room for the running sums of an interior page
  return 0;
}

std::uint16_t TPage::DecodeCompressed(const std::uint8_t* src, std::uint16_t count,
                                      std::uint16_t encoded_size) {
  if (encoded_size > kPageEntryArea) return TABULA_INDEXCORRUPT;
  const int kl = format_.KeyLength;
  const std::size_t stride = Stride();
  const std::uint8_t c = format_.Compression;
  const int header_bytes = (c == icFull) ? 2 : 1;
  // Each entry takes at least header_bytes + 4 bytes, which bounds the entry count.
  if (static_cast<std::size_t>(count) * (header_bytes + 4u) > encoded_size) {
    return TABULA_INDEXCORRUPT;
  }
  entries_.assign(static_cast<std::size_t>(count) * stride, 0);
  const std::uint8_t* p = src + kPageEntries;
  const std::uint8_t* const end = p + encoded_size;
  for (int i = 1; i <= count; ++i) {
    if (end - p < header_bytes) return TABULA_INDEXCORRUPT;
    int d = 0;
    int t = 0;
    if (c == icDupByte) d = p[0];
    if (c == icTrailByte) t = p[0];
    if (c == icFull) {
      d = p[0];
      t = p[1];
    }
    p += header_bytes;
    if (d > kMaxCompressionRun || t > kMaxCompressionRun) return TABULA_INDEXCORRUPT;
    if (i == 1 && d != 0) return TABULA_INDEXCORRUPT;
    if (d + t > kl) return TABULA_INDEXCORRUPT;
    // Where the stored bytes end and the dropped zeros begin; the suffix of a non-unique key
    // is stored after the zeros' place when the zeros are counted before it.
    bool split_suffix = false;
    if (!format_.Unique && t > 0) {
      if (kl - d < 5 || kl - d - 4 < t) return TABULA_INDEXCORRUPT;
      split_suffix = true;
    }
    const int stored = kl - d - t;
    if (end - p < stored + 4) return TABULA_INDEXCORRUPT;
    std::uint8_t* e = entries_.data() + (i - 1) * stride;
    if (d > 0) std::memcpy(e, e - stride, d);
    if (split_suffix) {
      const int middle = stored - 4;
      std::memcpy(e + d, p, middle);
      std::memset(e + d + middle, 0, t);
      std::memcpy(e + kl - 4, p + middle, 4);
    } else {
      std::memcpy(e + d, p, stored);
      std::memset(e + d + stored, 0, t);
    }
    p += stored;
    std::memcpy(e + kl, p, 4);
    p += 4;
  }
  if (p != end) return TABULA_INDEXCORRUPT;
  count_ = count;
  RefreshAll();
  EntriesChanged();  // makes room for the running sums of an interior page
  return 0;
}

void TPage::EncodeTo(std::uint8_t* dst) const {
  // Only the header and the bytes after the entries are zeroed; the entries are written over.
  std::memset(dst, 0, kPageEntries);
  dst[kPageType] = type_;
  EncodeFixed32(dst + kPagePrev, prev_page_);
  EncodeFixed32(dst + kPageNext, next_page_);
  std::size_t used = 0;
  if (free_) {
    // A free page keeps no entries.
  } else if (type_ == ptRawData) {
    if (!raw_.empty()) {
      std::memcpy(dst + kPageEntries, raw_.data(), kPageEntryArea);
      used = kPageEntryArea;
    }
  } else if (Compressed()) {
    EncodeFixed16(dst + kPageCount, static_cast<std::uint16_t>(count_));
    EncodeFixed16(dst + kPageEncodedSize, static_cast<std::uint16_t>(compressed_size_));
    std::memset(dst + kPageEntries, 0, kPageEntryArea);
    EncodeCompressed(dst);
    return;
  } else {
    EncodeFixed16(dst + kPageCount, static_cast<std::uint16_t>(count_));
    const std::size_t kl = format_.KeyLength;
    const std::size_t entry_size = IsLeaf() ? kl + 4 : format_.InteriorEntrySize();
    used = static_cast<std::size_t>(count_) * entry_size;
    if (count_ > 0 && entry_size == Stride()) {
      std::memcpy(dst + kPageEntries, entries_.data(), used);
    } else if (count_ > 0) {
      // An interior page of an index without counts. Every entry but the last is copied in
      // whole 8-byte words: the few bytes copied beyond its end land in the next entry's place,
      // which is written after it, and are read from within the next entry (the stride is
      // longer than the entry). The last entry is copied exactly, so nothing is written past
      // the entries.
      std::uint8_t* p = dst + kPageEntries;
      const std::uint8_t* e = entries_.data();
      CopyEntryWords((entry_size + 7) / 8, p, entry_size, e, Stride(), count_ - 1);
      p += static_cast<std::size_t>(count_ - 1) * entry_size;
      e += static_cast<std::size_t>(count_ - 1) * Stride();
      std::memcpy(p, e, entry_size);
    }
  }
  if (used < kPageEntryArea) std::memset(dst + kPageEntries + used, 0, kPageEntryArea - used);
}

void TPage::EncodeCompressed(std::uint8_t* dst) const {
  const int kl = format_.KeyLength;
  const std::uint8_t c = format_.Compression;
  std::uint8_t* p = dst + kPageEntries;
  for (int i = 1; i <= count_; ++i) {
    const std::uint8_t* e = Entry(i);
    const int d = DupPrefix(i);
    const int t = TrailZeros(i);
    if (c == icDupByte) *p++ = static_cast<std::uint8_t>(d);
    if (c == icTrailByte) *p++ = static_cast<std::uint8_t>(t);
    if (c == icFull) {
      *p++ = static_cast<std::uint8_t>(d);
      *p++ = static_cast<std::uint8_t>(t);
    }
    const int stored = kl - d - t;
    if (!format_.Unique && t > 0) {
      const int middle = stored - 4;
      std::memcpy(p, e + d, middle);
      std::memcpy(p + middle, e + kl - 4, 4);
    } else {
      std::memcpy(p, e + d, stored);
    }
    p += stored;
    std::memcpy(p, e + kl, 4);
    p += 4;
  }
}

}  // namespace tabula
