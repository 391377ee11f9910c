// TBTree: the B-tree walk of one index over the pages of a page store.
//
// The tree orders fixed-length keys through the index's TKeyComparator and stores with each
// leaf key a 32-bit value (the physical record number). Interior entries hold the first key of
// their child, the child's page number and the number of keys in the child's subtree, so that
// the ordinal of a position and the key at an ordinal cost one descent.
//
// Insert descends to the leaf (adding 1 to the subtree count of every interior entry passed),
// puts the entry after the last key not greater than it, carries a new first key up, and splits
// overflowing pages upward (a split root gets a new root). Remove finds the entry with the key
// and the value, subtracts the counts, carries a new first key up, and rebalances: an
// uncompressed page below half its maximum is merged with, or shares entries with, a sibling;
// a compressed leaf is dropped once empty; a root interior page left with one child hands the
// root to it. Every structural fault met on the way (page 0, a page of the wrong type, an
// empty page searched, a path deeper than 64 levels, a missing sibling link) is raised as
// TABULA_INDEXCORRUPT through the store; no fault loops or reads outside a page.
//
// Read operations fetch pages with change detection when asked (`SetCheckChanges`): a fetch
// that reports a change by another process makes the operation return false, and the caller
// re-synchronises and starts again. Updates run under the write lock and never see one.
//
// Thread-safety: none; a tree is used under the engine lock by one cursor at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/index/index_page.h"

namespace tabula {

class TIndexKeys;

// The key comparison of an index's TIndexKeys (keys.h: byte order, or the table's collation for
// string fields, with descending fields and indexes negated) as the tree's comparator.
class TIndexKeysComparator final : public TKeyComparator {
 public:
  // `keys` is not owned and must outlive the comparator.
  explicit TIndexKeysComparator(const TIndexKeys& keys);
  int CompareKeys(const std::uint8_t* stored, const std::uint8_t* search,
                  std::size_t n) const override;

 private:
  const TIndexKeys& keys_;
};

// Deepest path a descent follows; a deeper one is a damaged file.
constexpr int kMaxTreeDepth = 64;

// Where the tree's pages come from: the index file's page cache (TIndexFile), or any other
// store. Pages handed out are pinned until ReleasePage.
class TPageStore {
 public:
  TPageStore();
  virtual ~TPageStore() = default;
  // Changes whenever a page of the store may hold other entries than before or may leave the
  // cache: a tree update, a page read in, allocated, freed, evicted or dropped. While it stays
  // equal, a page that an operation was handed is still cached with the same entries, even
  // after its pin was released, so a reader may keep using it. Values are unique in the process.
  std::uint64_t PagesGeneration() const { return pages_generation_; }
  void PagesChanged();
  // The page `page_number` of `slot`, pinned. nullptr only when `check_changes` is set and a
  // cache miss found the table changed by another process. Page 0, a page beyond the file or
  // an undecodable image raise TABULA_INDEXCORRUPT.
  virtual TPage* FetchPage(int slot, std::uint32_t page_number, bool check_changes) = 0;
  virtual void ReleasePage(TPage* page) = 0;
  // A page for `slot` (from its free chain, else a new one): pinned, dirty, empty, type 0.
  virtual TPage* AllocatePage(int slot) = 0;
  // Puts a page on its slot's free chain; the caller still releases its pin.
  virtual void FreePage(TPage* page) = 0;
  virtual std::uint32_t RootPage(int slot) const = 0;
  virtual void SetRootPage(int slot, std::uint32_t page_number) = 0;
  // The format of the slot's pages.
  virtual TPageFormat PageFormatOf(int slot) const = 0;
  [[noreturn]] virtual void RaiseIndexCorrupt() const = 0;

 private:
  std::uint64_t pages_generation_;
};

// A place in the leaf level: the leaf page, the 1-based entry in it, the 1-based ordinal of
// the key among all keys of the index, and a copy of the key and its value. The copy lets the
// position be found again after the pages changed (see TBTree::Next). `Page` 0 means no
// position. Ordinals are meaningless in an index without subtree counts.
struct TTreePosition {
  std::uint32_t Page = 0;
  int Entry = 0;
  std::uint32_t Ordinal = 0;
  std::uint32_t Value = 0;
  std::vector<std::uint8_t> Key;

  bool Valid() const { return Page != 0; }
  void Clear() {
    Page = 0;
    Entry = 0;
    Ordinal = 0;
    Value = 0;
  }
};

class TPagePin;  // a pinned page of a tree operation (btree.cpp)

// Where an insert of a key goes, as the uniqueness check that found the key absent saw it: the
// page and the entry chosen on each level from the root down to the leaf. An insert of the same
// key right after the check follows it instead of searching again, once each page on the way
// still is the child its parent's entry points to and the key still falls between two entries
// of the leaf; anything else (a split, a first or last entry, pages changed since) makes it
// search as usual. Depth 0: no hint.
struct TInsertHint {
  int Depth = 0;
  std::array<std::uint32_t, kMaxTreeDepth + 1> Pages{};
  std::array<int, kMaxTreeDepth + 1> Positions{};

  void Clear() { Depth = 0; }
};

class TBTree {
 public:
  // `store` and `comparator` are not owned and must outlive the tree.
  TBTree(TPageStore& store, int slot, const TKeyComparator& comparator);

  int Slot() const { return slot_; }
  const TPageFormat& Format() const { return format_; }
  // Read operations fetch with change detection while this is set.
  void SetCheckChanges(bool check) { check_changes_ = check; }

  // ---- Updates. REQUIRES: key holds Format().KeyLength bytes.
  // With a `hint` that Contains just filled for this key, the insert follows it when it still
  // holds (see TInsertHint); the hint is used up either way.
  void Insert(const std::uint8_t* key, std::uint32_t value, TInsertHint* hint = nullptr);
  // Removes the entry with this key and value; false (nothing changed) when there is none.
  bool Remove(const std::uint8_t* key, std::uint32_t value);
  // True when a key equal to `key` (the whole key length) is in the index: the uniqueness check
  // of an update, under the write lock. Descends like an update, without ordinals and without
  // change detection.
  // With `hint`, a key found absent leaves there the place its insert goes, when that place
  // lies between two entries of a leaf; otherwise the hint is cleared.
  bool Contains(const std::uint8_t* key, TInsertHint* hint = nullptr);

  // ---- Reads. Each returns false when a fetch reported a change by another process; the
  // position is then unspecified. An empty index, or no key where asked, leaves the position
  // cleared (Valid() false).
  bool First(TTreePosition* at);
  bool Last(TTreePosition* at);
  // The first key whose first n bytes are not below `key` (with n shorter than the key length
  // this finds the first key with that prefix). `found` tells whether its first n bytes equal
  // `key`. No such key: the position is cleared.
  bool Seek(const std::uint8_t* key, std::size_t n, TTreePosition* at, bool* found);
  // The last key whose first n bytes are not above `key`; none: the position is cleared.
  bool SeekLast(const std::uint8_t* key, std::size_t n, TTreePosition* at);
  // The key with ordinal `ordinal` (1-based); out of range: the position is cleared.
  bool SeekOrdinal(std::uint32_t ordinal, TTreePosition* at);
  // Steps to the following (preceding) key. `moved` is false at the last (first) key, and the
  // position then stays. When the position's page no longer holds its key and value at its
  // entry (the tree changed since), the key is searched again first. A step that reads the new
  // position off its leaf hands that leaf out in `leaf` (else null): no longer pinned, it stays
  // valid while the store's PagesGeneration does, for StepInLeaf.
  bool Next(TTreePosition* at, bool* moved, const TPage** leaf = nullptr);
  bool Prior(TTreePosition* at, bool* moved, const TPage** leaf = nullptr);
  // The step of Next (Prior) inside `leaf`, the page that holds `at` at its entry: false, and
  // `at` unchanged, when the neighbour lies on another page.
  static bool StepInLeaf(const TPage& leaf, bool forward, TTreePosition* at);
  // Walks the leaves from `start` (a position just found) forward and calls `visit` with each
  // key and its value, stopping after `max_count` keys, at the first key whose first n bytes are
  // above `end_key` (when given), when `visit` returns false, or at the last key. For filters
  // that turn an index range into a record bitmap. A key below its predecessor (a damaged leaf
  // chain) is TABULA_INDEXCORRUPT.
  bool ScanLeaves(const TTreePosition& start, const std::uint8_t* end_key, std::size_t n,
                  std::uint64_t max_count,
                  const std::function<bool(const std::uint8_t* key, std::uint32_t value)>& visit);
  // Number of keys in the index (root total); 0 when empty.
  bool KeyCount(std::uint64_t* count);

  // Walks the whole tree and checks its invariants: page types, fill bounds, key order, first
  // keys of children, subtree counts, equal leaf depth, level links. Returns an empty text when
  // the tree is sound, else a description of the first fault. `key_count` gets the number of
  // leaf keys. For tests and verification; allocates freely.
  std::string CheckTree(std::uint64_t* key_count = nullptr);

 private:
  // Set by TPath::Push; a path's levels beyond its depth are never read, so they are left
  // uninitialised (a path is made per update and would otherwise clear all 65 levels).
  struct TLevel {
    TPage* page;
    int pos;
  };
  // A pinned path from the root to a leaf, released by its destructor.
  class TPath;

  TPage* Fetch(std::uint32_t page_number, bool check_changes);
  TPage* FetchChild(std::uint32_t child_number, int depth, bool check_changes);
  void FillPosition(const TPage& leaf, int entry, std::uint64_t ordinal, TTreePosition* at);
  // Descends for an update: interior entries chosen by `lower_bound` (last less than) or by
  // last not greater; fills `path` down to a leaf.
  void DescendForUpdate(const std::uint8_t* key, bool lower_bound, TPath& path);
  bool NextLeaf(TPath& path);
  // Fills `path` from `hint` when the hint still leads to the insert place of `key`; false
  // (with `path` empty) when it does not.
  bool FollowHint(const std::uint8_t* key, const TInsertHint& hint, TPath& path);
  void PropagateFirstKey(TPath& path, int level);
  void SplitPage(TPath& path, int level);
  void Rebalance(TPath& path, int level);
  void SetLinkPrev(std::uint32_t page_number, std::uint32_t prev);
  void SetLinkNext(std::uint32_t page_number, std::uint32_t next);
  bool AtStoredPosition(TTreePosition* at, bool* valid);
  // `page` is the page of `at`'s leaf and still holds its entry.
  bool HoldsEntry(const TPage& page, const TTreePosition& at) const;
  // The step itself, from `page` (at's leaf, pinned; the pin may move to the next leaf).
  bool NextFrom(TPagePin& page, TTreePosition* at, bool* moved, const TPage** leaf);
  bool PriorFrom(TPagePin& page, TTreePosition* at, bool* moved, const TPage** leaf);
  std::string CheckSubtree(std::uint32_t page_number, int depth, bool is_root,
                           std::vector<std::uint8_t>* last_key, bool* have_last,
                           std::uint64_t* total, int* leaf_depth,
                           std::vector<std::vector<std::uint32_t>>* levels);

  TPageStore& store_;
  int slot_;
  const TKeyComparator& cmp_;
  TPageFormat format_;
  bool check_changes_ = false;
};

// Inline: it is the step of every scan in index order.
inline bool TBTree::StepInLeaf(const TPage& leaf, bool forward, TTreePosition* at) {
  const int entry = at->Entry + (forward ? 1 : -1);
  if (entry < 1 || entry > leaf.Count()) return false;
  at->Entry = entry;
  if (forward) {
    if (at->Ordinal != 0xFFFFFFFFu) ++at->Ordinal;
  } else if (at->Ordinal > 0) {
    --at->Ordinal;
  }
  at->Value = leaf.Value(entry);
  const std::size_t kl = leaf.KeyLength();
  if (at->Key.size() != kl) at->Key.resize(kl);
  std::memcpy(at->Key.data(), leaf.Key(entry), kl);
  return true;
}

}  // namespace tabula
