// TPage: one 4096-byte page of an index B-tree, held decoded in memory.
//
// A page keeps its entries decoded in the layout of an uncompressed page: a leaf entry is the
// key and a 32-bit value, an interior entry also has a 32-bit subtree count (kept in memory
// even where the index stores none), so that an uncompressed page is read and written with one
// copy. The duplicate-prefix and trailing-zero bytes of every entry are kept beside the entries
// when the index compresses its leaves. The page offers the
// page-level operations of the tree: the three bisection searches, inserting and removing
// entries, moving runs of entries between pages, and the codec of the page image. DecodeFrom is
// bounded by the image: an entry count, encoded size or entry that runs past the page, a child
// number beyond the file or a damaged compression byte gives TABULA_INDEXCORRUPT and never a
// read outside the buffer.
//
// Page image (4096 bytes, little-endian):
//   OFFSET  SIZE  MEANING
//   0       1     page type: 0 root interior, 1 interior, 2 leaf, 3 root leaf, 4 raw data
//   1       2     entry count (0 on a free page)
//   3       4     previous page on the same level (0 = none)
//   7       4     next page on the same level (0 = none); on a free page the next free page
//   11      2     encoded size of a compressed leaf's entries (0 for other pages)
//   13      4083  entries; the rest is zero
//
// Entry encodings (kl = key length):
//   interior      key, child page (4), subtree count (4); the count is left out when the
//                 index carries no subtree counts. Never compressed.
//   leaf NONE     key, value (4)
//   DUPBYTE       d, key[d..kl), value                       size kl - d + 5
//   TRAILBYTE     t, key[0..kl-t), value                     size kl - t + 5
//                 (non-unique: t counts zeros before the 4-byte record-ID suffix only:
//                  key[0..kl-4-t), suffix, value)
//   FULL          d, t, key[d..kl-t), value                  size kl - d - t + 6
//                 (non-unique with kl - d >= 5: t counts zeros before the suffix only and the
//                  suffix follows the middle part; with kl - d < 5: t = 0)
//   d = leading bytes equal to the previous entry's key (0 for the first entry), t = trailing
//   zero bytes not stored; both at most 254. A compressed leaf's encoded size must not exceed
//   4083. A raw data page carries 4083 opaque bytes.
//
// Thread-safety: none; a page belongs to one index file's cache, used under the engine lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/base/coding.h"
#include "engine/index/index_format.h"

namespace tabula {

constexpr std::size_t kPageSize = kIndexBlockSize;
constexpr std::size_t kPageType = 0;
constexpr std::size_t kPageCount = 1;
constexpr std::size_t kPagePrev = 3;
constexpr std::size_t kPageNext = 7;
constexpr std::size_t kPageEncodedSize = 11;
constexpr std::size_t kPageEntries = 13;
constexpr std::size_t kPageEntryArea = kPageSize - kPageEntries;  // 4083
constexpr std::uint8_t kMaxCompressionRun = 254;

enum TPageType : std::uint8_t {
  ptRootInterior = 0,
  ptInterior = 1,
  ptLeaf = 2,
  ptRootLeaf = 3,
  ptRawData = 4,
};

// The key comparison of an index: compares a stored key with a search key over their first n
// bytes and returns -1, 0 or 1 (stored before, equal, after). Implementations hold the
// collation and the descending settings of their index; the B-tree only orders by it.
class TKeyComparator {
 public:
  virtual ~TKeyComparator() = default;
  virtual int CompareKeys(const std::uint8_t* stored, const std::uint8_t* search,
                          std::size_t n) const = 0;
  // 1 when CompareKeys is plain unsigned byte order, -1 when it is that order negated, 0 when
  // it is neither. The page searches then compare the bytes themselves.
  int ByteOrder() const { return byte_order_; }

 protected:
  // REQUIRES: `order` describes CompareKeys exactly (see ByteOrder).
  void SetByteOrder(int order) { byte_order_ = order; }

 private:
  int byte_order_ = 0;
};

// Plain unsigned byte order, negated for a descending index.
class TBytewiseKeyComparator final : public TKeyComparator {
 public:
  explicit TBytewiseKeyComparator(bool descending = false) : descending_(descending) {
    SetByteOrder(descending ? -1 : 1);
  }
  int CompareKeys(const std::uint8_t* stored, const std::uint8_t* search,
                  std::size_t n) const override;

 private:
  bool descending_;
};

// What a page takes from its index's descriptor.
struct TPageFormat {
  std::uint16_t KeyLength = 0;
  bool Unique = true;
  bool NoSubtreeCounts = false;
  bool Descending = false;
  std::uint8_t Compression = icNone;

  // The format of slot `slot`'s pages; "Sys Text" never carries subtree counts.
  static TPageFormat FromDescriptor(const TIndexDescriptor& descriptor, int slot);
  // The on-disk size of one interior entry.
  std::size_t InteriorEntrySize() const { return KeyLength + (NoSubtreeCounts ? 4u : 8u); }
  // Most entries an interior page, or a leaf without compression, holds.
  int MaxInteriorEntries() const;
  int MaxLeafEntries() const;
};

class TPage {
 public:
  TPage() = default;
  TPage(const TPage&) = default;
  TPage& operator=(const TPage&) = default;

  // Makes this an empty, clean, unpinned type-0 page with no links.
  // REQUIRES: format.KeyLength is 1..kMaxKeyLength.
  void Reset(const TPageFormat& format, std::uint32_t page_number, int slot);

  // Decodes a page image. `page_count` is the number of pages in the file: child page numbers
  // and level links must lie within it. Returns 0 or TABULA_INDEXCORRUPT (the page is then
  // left empty). Keeps the page number, slot and format given to Reset.
  std::uint16_t DecodeFrom(const std::uint8_t* src, std::size_t length, std::uint32_t page_count);
  // Reset and DecodeFrom in one, for a page object taken back from a cache: the storage of its
  // entries is reused as it is, so that the decoder, which writes every byte of it, does not
  // have to clear it first.
  std::uint16_t LoadFrom(const TPageFormat& format, std::uint32_t page_number, int slot,
                         const std::uint8_t* src, std::size_t length, std::uint32_t page_count);
  // Writes the 4096-byte image; a free page is written with count 0 and no entries.
  void EncodeTo(std::uint8_t* dst) const;

  std::uint32_t PageNumber() const { return page_number_; }
  void SetPageNumber(std::uint32_t page_number) { page_number_ = page_number; }
  int Slot() const { return slot_; }
  void SetSlot(int slot) { slot_ = slot; }
  const TPageFormat& Format() const { return format_; }
  std::uint16_t KeyLength() const { return format_.KeyLength; }

  std::uint8_t PageType() const { return type_; }
  void SetPageType(std::uint8_t type);
  bool IsLeaf() const { return type_ == ptLeaf || type_ == ptRootLeaf; }
  bool IsRoot() const { return type_ == ptRootInterior || type_ == ptRootLeaf; }
  // A leaf of an index with leaf compression: bounded by encoded size, not entry count.
  bool Compressed() const { return IsLeaf() && format_.Compression != icNone; }

  std::uint32_t PrevPage() const { return prev_page_; }
  void SetPrevPage(std::uint32_t page) { prev_page_ = page; }
  std::uint32_t NextPage() const { return next_page_; }
  void SetNextPage(std::uint32_t page) { next_page_ = page; }

  bool Dirty() const { return dirty_; }
  void SetDirty(bool dirty) { dirty_ = dirty; }
  int PinCount() const { return pin_count_; }
  void Pin() { ++pin_count_; }
  void Unpin() {
    if (pin_count_ > 0) --pin_count_;
  }
  bool Free() const { return free_; }
  // Marks the page free: no entries, no previous link; `next_free` becomes its next link.
  void MakeFree(std::uint32_t next_free);

  // ---- Entries, 1-based.
  int Count() const { return count_; }
  const std::uint8_t* Key(int i) const { return Entry(i); }
  std::uint32_t Value(int i) const { return DecodeFixed32(Entry(i) + format_.KeyLength); }
  void SetValue(int i, std::uint32_t value);
  // 0 for a leaf entry.
  std::uint32_t SubtreeCount(int i) const {
    return IsLeaf() ? 0 : DecodeFixed32(Entry(i) + format_.KeyLength + 4);
  }
  // Ignored on a leaf, which keeps no counts.
  void SetSubtreeCount(int i, std::uint32_t count);
  // 0 when the index does not compress.
  std::uint8_t DupPrefix(int i) const { return runs_.empty() ? 0 : runs_[2 * (i - 1)]; }
  std::uint8_t TrailZeros(int i) const { return runs_.empty() ? 0 : runs_[2 * (i - 1) + 1]; }
  // Keys in this subtree: the entry count of a leaf, the sum of subtree counts of an interior.
  std::uint64_t Total() const;
  // Sum of the subtree counts of entries 1 .. i-1 (of a leaf: i - 1). An interior page that is
  // asked twice without a change in between keeps running sums, so that further calls (a
  // lookup's descent through the upper levels) take constant time.
  std::uint64_t CountBefore(int i) const;

  // Inserts an entry so that it becomes entry i (1 <= i <= Count() + 1).
  void InsertEntry(int i, const std::uint8_t* key, std::uint32_t value,
                   std::uint32_t subtree_count);
  void RemoveEntry(int i);
  void SetKey(int i, const std::uint8_t* key);
  // Moves `n` entries starting at entry `first` into `dst`, where they become entries
  // dst_pos .. dst_pos + n - 1. REQUIRES: both pages have the same format and are both leaves
  // or both interior pages.
  void MoveEntries(int first, int n, TPage& dst, int dst_pos);

  // The on-disk size of the entries (a compressed leaf's encoded size field).
  std::size_t EncodedSize() const;
  // Most entries of an uncompressed page of this type.
  int MaxEntries() const;
  // More entries (or, compressed, more bytes) than the page holds on disk.
  bool Overflows() const;

  // ---- Bisection searches over the first n key bytes; each returns a 1-based position.
  // The last entry not greater than `key`; 0 when every entry is greater.
  int FindLastNotGreater(const std::uint8_t* key, std::size_t n, const TKeyComparator& cmp) const;
  // The last entry less than `key`; 0 when none is.
  int FindLastLess(const std::uint8_t* key, std::size_t n, const TKeyComparator& cmp) const;
  // The first entry equal to `key`; 0 when none is.
  int FindExact(const std::uint8_t* key, std::size_t n, const TKeyComparator& cmp) const;

  // ---- Raw data pages (type 4).
  std::uint8_t* RawData() { return raw_.data(); }
  const std::uint8_t* RawData() const { return raw_.data(); }

  // Links of the index file's most-recently-used chain; owned by the cache.
  TPage* MruPrev = nullptr;
  TPage* MruNext = nullptr;
  // The cache's use tick when the page last went to the front of its chain; owned by the cache.
  std::uint64_t LastUse = 0;

 private:
  // The last entry i for which `before(Key(i))` holds; 0 when none does. REQUIRES: `before`
  // holds for a prefix of the entries.
  template <typename TBefore>
  int FindLast(TBefore before) const;
  // FindLast over plain byte order: `word_before(entry, search)` on short keys read as
  // numbers, `bytes_before(memcmp(entry, key, n))` otherwise.
  template <typename TWordBefore, typename TBytesBefore>
  int FindLastByBytes(const std::uint8_t* key, std::size_t n, TWordBefore word_before,
                      TBytesBefore bytes_before) const;
  std::size_t Stride() const { return stride_; }
  // The entry length in memory of a page of `type`: key and value, and an interior entry's
  // subtree count.
  std::size_t StrideOf(std::uint8_t type) const {
    return format_.KeyLength + ((type == ptLeaf || type == ptRootLeaf) ? 4u : 8u);
  }
  // Sets the page type and the stride that goes with it. REQUIRES: no entries, or a type of the
  // same kind (leaf or not).
  void SetTypeAndStride(std::uint8_t type) {
    type_ = type;
    stride_ = StrideOf(type);
  }
  std::uint8_t* Entry(int i) { return entries_.data() + (i - 1) * Stride(); }
  const std::uint8_t* Entry(int i) const { return entries_.data() + (i - 1) * Stride(); }
  bool KeepsRuns() const { return format_.Compression != icNone; }
  // The duplicate-prefix and trailing-zero bytes entry i gets under the index's compression.
  void ComputeRuns(int i, std::uint8_t* d, std::uint8_t* t) const;
  std::size_t CompressedEntrySize(int i) const;
  // Recomputes d and t of entry i and adjusts the compressed size.
  void RefreshEntry(int i);
  void RefreshAll();
  // Reserves room for a full page of either kind (see Reset).
  void ReserveEntries();
  // DecodeFrom without clearing the entry storage first; on failure the page is left empty.
  std::uint16_t DecodeKeepingStorage(const std::uint8_t* src, std::size_t length,
                                     std::uint32_t page_count);
  std::uint16_t DecodeImage(const std::uint8_t* src, std::size_t length, std::uint32_t page_count);
  std::uint16_t DecodeCompressed(const std::uint8_t* src, std::uint16_t count,
                                 std::uint16_t encoded_size);
  void EncodeCompressed(std::uint8_t* dst) const;

  TPageFormat format_;
  std::uint32_t page_number_ = 0;
  int slot_ = 0;
  std::uint8_t type_ = ptRootInterior;
  std::size_t stride_ = 8;  // Stride(): StrideOf(type_)
  std::uint32_t prev_page_ = 0;
  std::uint32_t next_page_ = 0;
  bool dirty_ = false;
  int pin_count_ = 0;
  bool free_ = false;
  int count_ = 0;
  // Sum of the compressed entry sizes (maintained whenever the index compresses its leaves).
  std::size_t compressed_size_ = 0;
  std::vector<std::uint8_t> entries_;
  // Of an index that compresses its leaves: the duplicate-prefix and trailing-zero bytes of
  // every entry, two bytes per entry; otherwise empty.
  std::vector<std::uint8_t> runs_;
  std::vector<std::uint8_t> raw_;
  // Running sums of an interior page's subtree counts, prefix_[j] for entries 1 .. j; empty
  // when not built. The first CountBefore after a change sums directly, so that a write's
  // descent, which changes the page right after, pays no more than before; the second builds
  // them. Every change of entries or counts drops them (EntriesChanged).
  mutable std::vector<std::uint64_t> prefix_;
  mutable bool sums_asked_ = false;
  void EntriesChanged();
};

}  // namespace tabula
