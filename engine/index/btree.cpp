#include "engine/index/btree.h"

#include <atomic>
#include <cstring>

#include "engine/index/keys.h"

namespace tabula {

TIndexKeysComparator::TIndexKeysComparator(const TIndexKeys& keys) : keys_(keys) {
  SetByteOrder(keys.PlainByteOrder());
}

int TIndexKeysComparator::CompareKeys(const std::uint8_t* stored, const std::uint8_t* search,
                                      std::size_t n) const {
  return keys_.CompareKeys(stored, search, n);
}

// A pinned path from the root (level 0) to a leaf. Every page in it stays pinned until the
// path is destroyed, so a page on the path is never reused while the update runs.
class TBTree::TPath {
 public:
  explicit TPath(TPageStore& store) : store_(store) {}
  ~TPath() { ReleaseFrom(0); }
  TPath(const TPath&) = delete;
  TPath& operator=(const TPath&) = delete;

  int Depth() const { return depth_; }
  TLevel& operator[](int level) { return levels_[level]; }
  TLevel& Leaf() { return levels_[depth_ - 1]; }
  void Push(TPage* page, int pos) {
    levels_[depth_].page = page;
    levels_[depth_].pos = pos;
    ++depth_;
  }
  // Releases the pages of `level` and below and shortens the path to `level` levels.
  void ReleaseFrom(int level) {
    while (depth_ > level) {
      --depth_;
      store_.ReleasePage(levels_[depth_].page);
      levels_[depth_].page = nullptr;
    }
  }

 private:
  TPageStore& store_;
  std::array<TLevel, kMaxTreeDepth + 1> levels_;  // [0, depth_) set by Push
  int depth_ = 0;
};

// Releases one pinned page when it leaves scope.
class TPagePin {
 public:
  TPagePin(TPageStore& store, TPage* page) : store_(store), page_(page) {}
  ~TPagePin() {
    if (page_ != nullptr) store_.ReleasePage(page_);
  }
  TPagePin(const TPagePin&) = delete;
  TPagePin& operator=(const TPagePin&) = delete;
  TPage* operator->() const { return page_; }
  TPage& operator*() const { return *page_; }
  TPage* get() const { return page_; }
  // Releases the current page and holds `page` instead.
  void Reset(TPage* page) {
    if (page_ != nullptr) store_.ReleasePage(page_);
    page_ = page;
  }

 private:
  TPageStore& store_;
  TPage* page_;
};

namespace {

std::uint32_t ClampCount(std::uint64_t total) {
  return total > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total);
}

// Pages generations of every store of the process come from one counter, so that a value names
// one state of one store.
std::atomic<std::uint64_t> next_pages_generation{1};

std::uint64_t NewPagesGeneration() {
  return next_pages_generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

TPageStore::TPageStore() : pages_generation_(NewPagesGeneration()) {}

void TPageStore::PagesChanged() { pages_generation_ = NewPagesGeneration(); }

TBTree::TBTree(TPageStore& store, int slot, const TKeyComparator& comparator)
    : store_(store), slot_(slot), cmp_(comparator), format_(store.PageFormatOf(slot)) {}

TPage* TBTree::Fetch(std::uint32_t page_number, bool check_changes) {
  if (page_number == 0) store_.RaiseIndexCorrupt();
  return store_.FetchPage(slot_, page_number, check_changes);
}

// Fetches the child of entry `pos` of an interior page; the child must be a non-root page that
// is not free, and the path must not grow beyond the depth limit.
TPage* TBTree::FetchChild(std::uint32_t child_number, int depth, bool check_changes) {
  if (depth >= kMaxTreeDepth) store_.RaiseIndexCorrupt();
  TPage* child = Fetch(child_number, check_changes);
  if (child == nullptr) return nullptr;
  if (child->Free() || (child->PageType() != ptInterior && child->PageType() != ptLeaf)) {
    store_.ReleasePage(child);
    store_.RaiseIndexCorrupt();
  }
  return child;
}

void TBTree::FillPosition(const TPage& leaf, int entry, std::uint64_t ordinal, TTreePosition* at) {
  at->Page = leaf.PageNumber();
  at->Entry = entry;
  at->Ordinal = ClampCount(ordinal);
  at->Value = leaf.Value(entry);
  at->Key.resize(format_.KeyLength);
  std::memcpy(at->Key.data(), leaf.Key(entry), format_.KeyLength);
}

// ---- Updates.

void TBTree::DescendForUpdate(const std::uint8_t* key, bool lower_bound, TPath& path) {
  const std::uint32_t root = store_.RootPage(slot_);
  TPage* page = Fetch(root, false);
  if (page->Free() || !page->IsRoot()) {
    store_.ReleasePage(page);
    store_.RaiseIndexCorrupt();
  }
  const std::size_t kl = format_.KeyLength;
  while (true) {
    if (page->Count() == 0 && !page->IsLeaf()) {
      path.Push(page, 0);
      store_.RaiseIndexCorrupt();
    }
    if (page->IsLeaf()) {
      const int pos = lower_bound ? page->FindLastLess(key, kl, cmp_) + 1
                                  : page->FindLastNotGreater(key, kl, cmp_) + 1;
      path.Push(page, pos);
      return;
    }
    int pos =
        lower_bound ? page->FindLastLess(key, kl, cmp_) : page->FindLastNotGreater(key, kl, cmp_);
    if (pos == 0) pos = 1;
    path.Push(page, pos);
    page = FetchChild(page->Value(pos), path.Depth(), false);
  }
}

void TBTree::PropagateFirstKey(TPath& path, int level) {
  for (int l = level - 1; l >= 0; --l) {
    TLevel& parent = path[l];
    const TPage* child = path[l + 1].page;
    if (child->Count() == 0) return;
    if (std::memcmp(parent.page->Key(parent.pos), child->Key(1), format_.KeyLength) != 0) {
      parent.page->SetKey(parent.pos, child->Key(1));
      parent.page->SetDirty(true);
    }
    if (parent.pos != 1) return;
  }
}

bool TBTree::FollowHint(const std::uint8_t* key, const TInsertHint& hint, TPath& path) {
  if (hint.Depth <= 0 || hint.Depth > kMaxTreeDepth || hint.Pages[0] != store_.RootPage(slot_)) {
    return false;
  }
  const std::size_t kl = format_.KeyLength;
  for (int level = 0; level < hint.Depth; ++level) {
    const std::uint32_t number = hint.Pages[level];
    if (level > 0) {
      const TLevel& up = path[level - 1];
      if (up.page->Value(up.pos) != number) break;
    }
    TPage* page = Fetch(number, false);
    const int pos = hint.Positions[level];
    path.Push(page, pos);
    const bool leaf_level = level == hint.Depth - 1;
    if (page->Free() || page->IsRoot() != (level == 0) || page->IsLeaf() != leaf_level) break;
    if (!leaf_level) {
      if (pos < 1 || pos > page->Count()) break;
      continue;
    }
    // The place an insert searches for: after the last key not greater, before a greater one;
    // at either end of the leaf only when no leaf lies beyond that end.
    const int count = page->Count();
    if (count < 1 || pos < 1 || pos > count + 1) break;
    if (pos == 1 ? page->PrevPage() != 0 : cmp_.CompareKeys(page->Key(pos - 1), key, kl) > 0) {
      break;
    }
    if (pos > count ? page->NextPage() != 0 : cmp_.CompareKeys(page->Key(pos), key, kl) <= 0) {
      break;
    }
    return true;
  }
  path.ReleaseFrom(0);
  return false;
}

void TBTree::Insert(const std::uint8_t* key, std::uint32_t value, TInsertHint* hint) {
  store_.PagesChanged();
  if (store_.RootPage(slot_) == 0) {
    if (hint != nullptr) hint->Clear();
    TPagePin page(store_, store_.AllocatePage(slot_));
    page->SetPageType(ptRootLeaf);
    page->InsertEntry(1, key, value, 0);
    page->SetDirty(true);
    store_.SetRootPage(slot_, page->PageNumber());
    return;
  }
  TPath path(store_);
  const bool hinted = hint != nullptr && FollowHint(key, *hint, path);
  if (hint != nullptr) hint->Clear();
  if (!hinted) DescendForUpdate(key, false, path);
  const int leaf_level = path.Depth() - 1;
  for (int l = 0; l < leaf_level; ++l) {
    TLevel& at = path[l];
    at.page->SetSubtreeCount(at.pos, at.page->SubtreeCount(at.pos) + 1);
    at.page->SetDirty(true);
  }
  TLevel& leaf = path.Leaf();
  leaf.page->InsertEntry(leaf.pos, key, value, 0);
  leaf.page->SetDirty(true);
  if (leaf.pos == 1) PropagateFirstKey(path, leaf_level);
  for (int level = leaf_level; level >= 0 && path[level].page->Overflows(); --level) {
    SplitPage(path, level);
  }
}

void TBTree::SetLinkPrev(std::uint32_t page_number, std::uint32_t prev) {
  if (page_number == 0) return;
  TPagePin page(store_, Fetch(page_number, false));
  page->SetPrevPage(prev);
  page->SetDirty(true);
}

void TBTree::SetLinkNext(std::uint32_t page_number, std::uint32_t next) {
  if (page_number == 0) return;
  TPagePin page(store_, Fetch(page_number, false));
  page->SetNextPage(next);
  page->SetDirty(true);
}

void TBTree::SplitPage(TPath& path, int level) {
  TPage* old_page = path[level].page;
  const bool was_root = old_page->IsRoot();
  const bool leaf = old_page->IsLeaf();
  const int n = old_page->Count();
  TPagePin new_page(store_, store_.AllocatePage(slot_));
  old_page->SetPageType(leaf ? ptLeaf : ptInterior);
  new_page->SetPageType(leaf ? ptLeaf : ptInterior);
  const int keep = n - n / 2;
  old_page->MoveEntries(keep + 1, n - keep, *new_page, 1);
  if (old_page->Compressed()) {
    while (old_page->Overflows() && old_page->Count() > 1) {
      old_page->MoveEntries(old_page->Count(), 1, *new_page, 1);
    }
    while (new_page->Overflows() && new_page->Count() > 1) {
      new_page->MoveEntries(1, 1, *old_page, old_page->Count() + 1);
    }
    if (old_page->Overflows() || new_page->Overflows()) store_.RaiseIndexCorrupt();
  }
  new_page->SetPrevPage(old_page->PageNumber());
  new_page->SetNextPage(old_page->NextPage());
  SetLinkPrev(old_page->NextPage(), new_page->PageNumber());
  old_page->SetNextPage(new_page->PageNumber());
  old_page->SetDirty(true);
  new_page->SetDirty(true);
  if (was_root) {
    TPagePin root(store_, store_.AllocatePage(slot_));
    root->SetPageType(ptRootInterior);
    root->InsertEntry(1, old_page->Key(1), old_page->PageNumber(), ClampCount(old_page->Total()));
    root->InsertEntry(2, new_page->Key(1), new_page->PageNumber(), ClampCount(new_page->Total()));
    root->SetDirty(true);
    store_.SetRootPage(slot_, root->PageNumber());
    return;
  }
  TLevel& parent = path[level - 1];
  parent.page->SetSubtreeCount(parent.pos, ClampCount(old_page->Total()));
  parent.page->InsertEntry(parent.pos + 1, new_page->Key(1), new_page->PageNumber(),
                           ClampCount(new_page->Total()));
  parent.page->SetDirty(true);
}

// Moves the path to the first entry of the next leaf; false at the last leaf.
bool TBTree::NextLeaf(TPath& path) {
  const int leaf_level = path.Depth() - 1;
  int level = leaf_level - 1;
  while (level >= 0 && path[level].pos >= path[level].page->Count()) --level;
  if (level < 0) return false;
  path.ReleaseFrom(level + 1);
  ++path[level].pos;
  while (path.Depth() <= leaf_level) {
    TLevel& parent = path[path.Depth() - 1];
    TPage* child = FetchChild(parent.page->Value(parent.pos), path.Depth(), false);
    path.Push(child, 1);
    if (child->Count() == 0) store_.RaiseIndexCorrupt();
    if (child->IsLeaf() != (path.Depth() - 1 == leaf_level)) store_.RaiseIndexCorrupt();
  }
  return true;
}

bool TBTree::Remove(const std::uint8_t* key, std::uint32_t value) {
  if (store_.RootPage(slot_) == 0) return false;
  store_.PagesChanged();
  const std::size_t kl = format_.KeyLength;
  TPath path(store_);
  DescendForUpdate(key, true, path);
  // Equal keys may run over several leaves; the entry is the one with this value.
  while (true) {
    TLevel& leaf = path.Leaf();
    if (leaf.pos > leaf.page->Count()) {
      if (!NextLeaf(path)) return false;
      continue;
    }
    if (cmp_.CompareKeys(leaf.page->Key(leaf.pos), key, kl) != 0) return false;
    if (leaf.page->Value(leaf.pos) == value) break;
    ++leaf.pos;
  }
  const int leaf_level = path.Depth() - 1;
  for (int l = 0; l < leaf_level; ++l) {
    TLevel& at = path[l];
    const std::uint32_t c = at.page->SubtreeCount(at.pos);
    at.page->SetSubtreeCount(at.pos, c > 0 ? c - 1 : 0);
    at.page->SetDirty(true);
  }
  TLevel& leaf = path.Leaf();
  leaf.page->RemoveEntry(leaf.pos);
  leaf.page->SetDirty(true);
  if (leaf.pos == 1 && leaf.page->Count() > 0) PropagateFirstKey(path, leaf_level);
  Rebalance(path, leaf_level);
  return true;
}

bool TBTree::Contains(const std::uint8_t* key, TInsertHint* hint) {
  if (hint != nullptr) hint->Clear();
  if (store_.RootPage(slot_) == 0) return false;
  TPath path(store_);
  DescendForUpdate(key, true, path);
  auto keep_place = [&] {
    hint->Depth = path.Depth();
    for (int level = 0; level < path.Depth(); ++level) {
      hint->Pages[level] = path[level].page->PageNumber();
      hint->Positions[level] = path[level].pos;
    }
  };
  const bool stepped = path.Leaf().pos > path.Leaf().page->Count();
  if (stepped) {
    // Every key of this leaf is below: an equal key can only open the next leaf. In the last
    // leaf an insert appends (keys arriving in order).
    if (hint != nullptr && path.Leaf().page->NextPage() == 0 && path.Leaf().page->Count() > 0) {
      keep_place();
    }
    if (!NextLeaf(path)) return false;
    if (hint != nullptr) hint->Clear();
  }
  const TLevel& leaf = path.Leaf();
  const int order = cmp_.CompareKeys(leaf.page->Key(leaf.pos), key, format_.KeyLength);
  if (order == 0) return true;
  // The first key not below `key` is above it: an insert goes right before it, in this leaf
  // when the descent (not a step to the next leaf) found it.
  if (hint != nullptr && order > 0 && !stepped) keep_place();
  return false;
}

void TBTree::Rebalance(TPath& path, int level) {
  while (true) {
    TPage* page = path[level].page;
    if (level == 0) {
      if (page->IsLeaf()) {
        if (page->Count() == 0) {
          store_.FreePage(page);
          store_.SetRootPage(slot_, 0);
        }
        return;
      }
      if (page->Count() == 0) store_.RaiseIndexCorrupt();
      if (page->Count() == 1) {
        const std::uint32_t child_number = page->Value(1);
        TPagePin child(store_, Fetch(child_number, false));
        child->SetPageType(child->IsLeaf() ? ptRootLeaf : ptRootInterior);
        child->SetPrevPage(0);
        child->SetNextPage(0);
        child->SetDirty(true);
        store_.FreePage(page);
        store_.SetRootPage(slot_, child_number);
      }
      return;
    }
    TLevel& parent = path[level - 1];
    TPage* up = parent.page;
    const int pp = parent.pos;
    if (page->Compressed()) {
      if (page->Count() > 0) return;
      // An empty compressed leaf leaves the tree.
      SetLinkNext(page->PrevPage(), page->NextPage());
      SetLinkPrev(page->NextPage(), page->PrevPage());
      store_.FreePage(page);
      up->RemoveEntry(pp);
      up->SetDirty(true);
      if (pp == 1 && up->Count() > 0) PropagateFirstKey(path, level - 1);
      --level;
      continue;
    }
    const int max = page->MaxEntries();
    if (page->Count() >= max / 2) return;
    if (up->Count() < 2) store_.RaiseIndexCorrupt();
    if (pp > 1) {
      // Left sibling.
      TPagePin left(store_, Fetch(up->Value(pp - 1), false));
      if (left->NextPage() != page->PageNumber() || left->IsLeaf() != page->IsLeaf()) {
        store_.RaiseIndexCorrupt();
      }
      if (page->Count() + left->Count() < max) {
        page->MoveEntries(1, page->Count(), *left, left->Count() + 1);
        left->SetNextPage(page->NextPage());
        SetLinkPrev(page->NextPage(), left->PageNumber());
        left->SetDirty(true);
        store_.FreePage(page);
        up->SetSubtreeCount(pp - 1, ClampCount(left->Total()));
        up->RemoveEntry(pp);
        up->SetDirty(true);
        --level;
        continue;
      }
      const int total = left->Count() + page->Count();
      const int left_keep = total - total / 2;
      if (left->Count() > left_keep) {
        left->MoveEntries(left_keep + 1, left->Count() - left_keep, *page, 1);
      } else if (left->Count() < left_keep) {
        page->MoveEntries(1, left_keep - left->Count(), *left, left->Count() + 1);
      }
      left->SetDirty(true);
      page->SetDirty(true);
      up->SetKey(pp, page->Key(1));
      up->SetSubtreeCount(pp - 1, ClampCount(left->Total()));
      up->SetSubtreeCount(pp, ClampCount(page->Total()));
      up->SetDirty(true);
      return;
    }
    // First child: right sibling.
    TPagePin right(store_, Fetch(up->Value(2), false));
    if (page->NextPage() != right->PageNumber() || right->IsLeaf() != page->IsLeaf()) {
      store_.RaiseIndexCorrupt();
    }
    if (page->Count() + right->Count() < max) {
      page->MoveEntries(1, page->Count(), *right, 1);
      right->SetPrevPage(page->PrevPage());
      SetLinkNext(page->PrevPage(), right->PageNumber());
      right->SetDirty(true);
      store_.FreePage(page);
      up->RemoveEntry(1);
      up->SetKey(1, right->Key(1));
      up->SetSubtreeCount(1, ClampCount(right->Total()));
      up->SetDirty(true);
      PropagateFirstKey(path, level - 1);
      --level;
      continue;
    }
    const int total = page->Count() + right->Count();
    const int keep = total / 2;
    if (page->Count() < keep) {
      right->MoveEntries(1, keep - page->Count(), *page, page->Count() + 1);
    } else if (page->Count() > keep) {
      page->MoveEntries(keep + 1, page->Count() - keep, *right, 1);
    }
    page->SetDirty(true);
    right->SetDirty(true);
    up->SetKey(1, page->Key(1));
    up->SetKey(2, right->Key(1));
    up->SetSubtreeCount(1, ClampCount(page->Total()));
    up->SetSubtreeCount(2, ClampCount(right->Total()));
    up->SetDirty(true);
    PropagateFirstKey(path, level - 1);
    return;
  }
}

// ---- Reads.

bool TBTree::First(TTreePosition* at) {
  at->Clear();
  std::uint32_t number = store_.RootPage(slot_);
  if (number == 0) return true;
  TPagePin page(store_, Fetch(number, check_changes_));
  if (page.get() == nullptr) return false;
  for (int depth = 1;; ++depth) {
    if (page->Count() == 0) store_.RaiseIndexCorrupt();
    if (page->IsLeaf()) {
      FillPosition(*page, 1, 1, at);
      return true;
    }
    // The parent is released first: a fetch that checks for changes may drop the cache.
    const std::uint32_t child_number = page->Value(1);
    page.Reset(nullptr);
    TPage* child = FetchChild(child_number, depth, check_changes_);
    if (child == nullptr) return false;
    page.Reset(child);
  }
}

bool TBTree::Last(TTreePosition* at) {
  at->Clear();
  std::uint32_t number = store_.RootPage(slot_);
  if (number == 0) return true;
  TPagePin page(store_, Fetch(number, check_changes_));
  if (page.get() == nullptr) return false;
  std::uint64_t before = 0;
  for (int depth = 1;; ++depth) {
    const int count = page->Count();
    if (count == 0) store_.RaiseIndexCorrupt();
    before += page->CountBefore(count);
    if (page->IsLeaf()) {
      FillPosition(*page, count, before + 1, at);
      return true;
    }
    // The parent is released first: a fetch that checks for changes may drop the cache.
    const std::uint32_t child_number = page->Value(count);
    page.Reset(nullptr);
    TPage* child = FetchChild(child_number, depth, check_changes_);
    if (child == nullptr) return false;
    page.Reset(child);
  }
}

bool TBTree::Seek(const std::uint8_t* key, std::size_t n, TTreePosition* at, bool* found) {
  at->Clear();
  *found = false;
  std::uint32_t number = store_.RootPage(slot_);
  if (number == 0) return true;
  TPagePin page(store_, Fetch(number, check_changes_));
  if (page.get() == nullptr) return false;
  std::uint64_t before = 0;
  for (int depth = 1;; ++depth) {
    if (page->Count() == 0) store_.RaiseIndexCorrupt();
    if (page->IsLeaf()) break;
    int pos = page->FindLastLess(key, n, cmp_);
    if (pos == 0) pos = 1;
    before += page->CountBefore(pos);
    // The parent is released first: a fetch that checks for changes may drop the cache.
    const std::uint32_t child_number = page->Value(pos);
    page.Reset(nullptr);
    TPage* child = FetchChild(child_number, depth, check_changes_);
    if (child == nullptr) return false;
    page.Reset(child);
  }
  int entry = page->FindLastLess(key, n, cmp_) + 1;
  if (entry > page->Count()) {
    // Every key of this leaf is below: the answer is the first key of the next leaf.
    before += static_cast<std::uint64_t>(page->Count());
    const std::uint32_t next = page->NextPage();
    if (next == 0) return true;
    page.Reset(nullptr);
    TPage* next_page = Fetch(next, check_changes_);
    if (next_page == nullptr) return false;
    page.Reset(next_page);
    if (!page->IsLeaf() || page->Free() || page->Count() == 0) store_.RaiseIndexCorrupt();
    entry = 1;
  }
  FillPosition(*page, entry, before + static_cast<std::uint64_t>(entry), at);
  *found = cmp_.CompareKeys(page->Key(entry), key, n) == 0;
  return true;
}

bool TBTree::SeekLast(const std::uint8_t* key, std::size_t n, TTreePosition* at) {
  at->Clear();
  std::uint32_t number = store_.RootPage(slot_);
  if (number == 0) return true;
  TPagePin page(store_, Fetch(number, check_changes_));
  if (page.get() == nullptr) return false;
  std::uint64_t before = 0;
  for (int depth = 1;; ++depth) {
    if (page->Count() == 0) store_.RaiseIndexCorrupt();
    if (page->IsLeaf()) break;
    int pos = page->FindLastNotGreater(key, n, cmp_);
    if (pos == 0) pos = 1;
    before += page->CountBefore(pos);
    // The parent is released first: a fetch that checks for changes may drop the cache.
    const std::uint32_t child_number = page->Value(pos);
    page.Reset(nullptr);
    TPage* child = FetchChild(child_number, depth, check_changes_);
    if (child == nullptr) return false;
    page.Reset(child);
  }
  int entry = page->FindLastNotGreater(key, n, cmp_);
  if (entry == 0) {
    // Every key of this leaf is above: the answer is the last key of the previous leaf.
    const std::uint32_t prev = page->PrevPage();
    if (prev == 0) return true;
    page.Reset(nullptr);
    TPage* prev_page = Fetch(prev, check_changes_);
    if (prev_page == nullptr) return false;
    page.Reset(prev_page);
    if (!page->IsLeaf() || page->Free() || page->Count() == 0) store_.RaiseIndexCorrupt();
    FillPosition(*page, page->Count(), before, at);
    return true;
  }
  FillPosition(*page, entry, before + static_cast<std::uint64_t>(entry), at);
  return true;
}

bool TBTree::SeekOrdinal(std::uint32_t ordinal, TTreePosition* at) {
  at->Clear();
  std::uint32_t number = store_.RootPage(slot_);
  if (number == 0 || ordinal == 0) return true;
  TPagePin page(store_, Fetch(number, check_changes_));
  if (page.get() == nullptr) return false;
  std::uint64_t rest = ordinal;
  for (int depth = 1;; ++depth) {
    const int count = page->Count();
    if (count == 0) store_.RaiseIndexCorrupt();
    if (page->IsLeaf()) {
      if (rest > static_cast<std::uint64_t>(count)) {
        // Only the root's own total may fall short; inside the tree it means damage.
        if (depth == 1) return true;
        store_.RaiseIndexCorrupt();
      }
      FillPosition(*page, static_cast<int>(rest), ordinal, at);
      return true;
    }
    int pos = 1;
    while (pos <= count && rest > page->SubtreeCount(pos)) {
      rest -= page->SubtreeCount(pos);
      ++pos;
    }
    if (pos > count) {
      if (depth == 1) return true;
      store_.RaiseIndexCorrupt();
    }
    // The parent is released first: a fetch that checks for changes may drop the cache.
    const std::uint32_t child_number = page->Value(pos);
    page.Reset(nullptr);
    TPage* child = FetchChild(child_number, depth, check_changes_);
    if (child == nullptr) return false;
    page.Reset(child);
  }
}

bool TBTree::ScanLeaves(
    const TTreePosition& start, const std::uint8_t* end_key, std::size_t n, std::uint64_t max_count,
    const std::function<bool(const std::uint8_t* key, std::uint32_t value)>& visit) {
  if (!start.Valid() || max_count == 0) return true;
  const std::size_t kl = format_.KeyLength;
  TPagePin page(store_, Fetch(start.Page, check_changes_));
  if (page.get() == nullptr) return false;
  int entry = start.Entry;
  const std::uint8_t* previous = nullptr;
  std::vector<std::uint8_t> last_of_leaf(kl);
  while (true) {
    if (!page->IsLeaf() || page->Free() || entry < 1 || entry > page->Count()) {
      store_.RaiseIndexCorrupt();
    }
    for (; entry <= page->Count(); ++entry) {
      const std::uint8_t* key = page->Key(entry);
      if (previous != nullptr && cmp_.CompareKeys(key, previous, kl) < 0) {
        store_.RaiseIndexCorrupt();
      }
      if (end_key != nullptr && cmp_.CompareKeys(key, end_key, n) > 0) return true;
      if (!visit(key, page->Value(entry))) return true;
      if (--max_count == 0) return true;
      previous = key;
    }
    // The next leaf is compared with a copy of this leaf's last key.
    std::memcpy(last_of_leaf.data(), page->Key(page->Count()), kl);
    previous = last_of_leaf.data();
    const std::uint32_t next = page->NextPage();
    if (next == 0) return true;
    page.Reset(nullptr);
    TPage* next_page = Fetch(next, check_changes_);
    if (next_page == nullptr) return false;
    page.Reset(next_page);
    entry = 1;
  }
}

bool TBTree::KeyCount(std::uint64_t* count) {
  *count = 0;
  const std::uint32_t number = store_.RootPage(slot_);
  if (number == 0) return true;
  TPagePin page(store_, Fetch(number, check_changes_));
  if (page.get() == nullptr) return false;
  *count = page->Total();
  return true;
}

// Whether the position's page still holds its key and value at its entry; when not, the key
// is searched again and `valid` tells whether the position was found unchanged.
bool TBTree::HoldsEntry(const TPage& page, const TTreePosition& at) const {
  const std::size_t kl = format_.KeyLength;
  return at.Key.size() == kl && page.IsLeaf() && !page.Free() && at.Entry >= 1 &&
         at.Entry <= page.Count() && page.Value(at.Entry) == at.Value &&
         std::memcmp(page.Key(at.Entry), at.Key.data(), kl) == 0;
}

bool TBTree::AtStoredPosition(TTreePosition* at, bool* valid) {
  *valid = false;
  if (at->Key.size() != format_.KeyLength) return true;
  TPage* page = store_.FetchPage(slot_, at->Page, check_changes_);
  if (page == nullptr) return false;
  const bool same = HoldsEntry(*page, *at);
  store_.ReleasePage(page);
  *valid = same;
  return true;
}

bool TBTree::Next(TTreePosition* at, bool* moved, const TPage** leaf) {
  *moved = false;
  if (leaf != nullptr) *leaf = nullptr;
  if (!at->Valid()) return true;
  if (at->Key.size() == format_.KeyLength) {
    // The usual case: the position still names its entry, and one fetch serves both the check
    // and the step.
    TPagePin page(store_, store_.FetchPage(slot_, at->Page, check_changes_));
    if (page.get() == nullptr) return false;
    if (HoldsEntry(*page, *at)) return NextFrom(page, at, moved, leaf);
  }
  bool valid;
  if (!AtStoredPosition(at, &valid)) return false;
  if (!valid) {
    // The tree changed under the position: find the key again. When it is gone, the first key
    // above it already is the next one.
    std::vector<std::uint8_t> key = at->Key;
    const std::uint32_t value = at->Value;
    bool found;
    TTreePosition saved = *at;
    if (!Seek(key.data(), key.size(), at, &found)) return false;
    while (found && at->Valid() && at->Value != value) {
      bool step;
      if (!Next(at, &step)) return false;
      if (!step) break;
      found = cmp_.CompareKeys(at->Key.data(), key.data(), key.size()) == 0;
    }
    if (!at->Valid()) {
      *at = saved;
      return Last(at);
    }
    if (!(found && at->Value == value)) {
      *moved = true;
      return true;
    }
  }
  TPagePin page(store_, store_.FetchPage(slot_, at->Page, check_changes_));
  if (page.get() == nullptr) return false;
  return NextFrom(page, at, moved, leaf);
}

bool TBTree::NextFrom(TPagePin& page, TTreePosition* at, bool* moved, const TPage** leaf) {
  if (StepInLeaf(*page, true, at)) {
    *moved = true;
    if (leaf != nullptr) *leaf = page.get();
    return true;
  }
  const std::uint32_t next = page->NextPage();
  if (next == 0) return true;
  page.Reset(nullptr);
  TPage* next_page = Fetch(next, check_changes_);
  if (next_page == nullptr) return false;
  page.Reset(next_page);
  if (!page->IsLeaf() || page->Free() || page->Count() == 0) store_.RaiseIndexCorrupt();
  FillPosition(*page, 1, static_cast<std::uint64_t>(at->Ordinal) + 1, at);
  *moved = true;
  if (leaf != nullptr) *leaf = page.get();
  return true;
}

bool TBTree::Prior(TTreePosition* at, bool* moved, const TPage** leaf) {
  *moved = false;
  if (leaf != nullptr) *leaf = nullptr;
  if (!at->Valid()) return true;
  if (at->Key.size() == format_.KeyLength) {
    TPagePin page(store_, store_.FetchPage(slot_, at->Page, check_changes_));
    if (page.get() == nullptr) return false;
    if (HoldsEntry(*page, *at)) return PriorFrom(page, at, moved, leaf);
  }
  bool valid;
  if (!AtStoredPosition(at, &valid)) return false;
  if (!valid) {
    // Find the key again; when it is gone, the last key below it is the previous one.
    std::vector<std::uint8_t> key = at->Key;
    const std::uint32_t value = at->Value;
    bool found;
    if (!Seek(key.data(), key.size(), at, &found)) return false;
    while (found && at->Valid() && at->Value != value) {
      bool step;
      if (!Next(at, &step)) return false;
      if (!step) {
        found = false;
        break;
      }
      found = cmp_.CompareKeys(at->Key.data(), key.data(), key.size()) == 0;
    }
    if (!(found && at->Valid() && at->Value == value)) {
      // `at` is on the first key after the old one (or nowhere): one step back is the answer.
      if (!at->Valid()) {
        if (!Last(at)) return false;
        *moved = at->Valid();
        return true;
      }
      bool step;
      if (!Prior(at, &step)) return false;
      *moved = step;
      return true;
    }
  }
  TPagePin page(store_, store_.FetchPage(slot_, at->Page, check_changes_));
  if (page.get() == nullptr) return false;
  return PriorFrom(page, at, moved, leaf);
}

bool TBTree::PriorFrom(TPagePin& page, TTreePosition* at, bool* moved, const TPage** leaf) {
  if (StepInLeaf(*page, false, at)) {
    *moved = true;
    if (leaf != nullptr) *leaf = page.get();
    return true;
  }
  const std::uint32_t prev = page->PrevPage();
  if (prev == 0) return true;
  page.Reset(nullptr);
  TPage* prev_page = Fetch(prev, check_changes_);
  if (prev_page == nullptr) return false;
  page.Reset(prev_page);
  if (!page->IsLeaf() || page->Free() || page->Count() == 0) store_.RaiseIndexCorrupt();
  FillPosition(*page, page->Count(), at->Ordinal > 0 ? at->Ordinal - 1u : 0u, at);
  *moved = true;
  if (leaf != nullptr) *leaf = page.get();
  return true;
}

// ---- Invariants.

std::string TBTree::CheckTree(std::uint64_t* key_count) {
  if (key_count != nullptr) *key_count = 0;
  const std::uint32_t root = store_.RootPage(slot_);
  if (root == 0) return std::string();
  std::vector<std::uint8_t> last_key(format_.KeyLength);
  bool have_last = false;
  std::uint64_t total = 0;
  int leaf_depth = -1;
  std::vector<std::vector<std::uint32_t>> levels;
  std::string fault =
      CheckSubtree(root, 0, true, &last_key, &have_last, &total, &leaf_depth, &levels);
  if (!fault.empty()) return fault;
  // Level links: each level's pages, in key order, are chained both ways.
  for (std::size_t l = 0; l < levels.size(); ++l) {
    const std::vector<std::uint32_t>& pages = levels[l];
    for (std::size_t i = 0; i < pages.size(); ++i) {
      TPagePin page(store_, Fetch(pages[i], false));
      const std::uint32_t want_prev = i > 0 ? pages[i - 1] : 0;
      const std::uint32_t want_next = i + 1 < pages.size() ? pages[i + 1] : 0;
      if (page->PrevPage() != want_prev || page->NextPage() != want_next) {
        return "page " + std::to_string(pages[i]) + ": level links " +
               std::to_string(page->PrevPage()) + "/" + std::to_string(page->NextPage()) +
               ", expected " + std::to_string(want_prev) + "/" + std::to_string(want_next);
      }
    }
  }
  if (key_count != nullptr) *key_count = total;
  return std::string();
}

std::string TBTree::CheckSubtree(std::uint32_t page_number, int depth, bool is_root,
                                 std::vector<std::uint8_t>* last_key, bool* have_last,
                                 std::uint64_t* total, int* leaf_depth,
                                 std::vector<std::vector<std::uint32_t>>* levels) {
  const std::string where = "page " + std::to_string(page_number) + ": ";
  if (depth > kMaxTreeDepth) return where + "path deeper than 64 levels";
  TPagePin page(store_, Fetch(page_number, false));
  if (page->Free()) return where + "free page in the tree";
  const std::uint8_t type = page->PageType();
  if (is_root && type != ptRootInterior && type != ptRootLeaf) return where + "bad root type";
  if (!is_root && type != ptInterior && type != ptLeaf) return where + "bad page type";
  if (static_cast<int>(levels->size()) <= depth) levels->resize(depth + 1);
  (*levels)[depth].push_back(page_number);
  const int count = page->Count();
  if (count == 0) return where + "empty page";
  if (page->Compressed()) {
    if (page->EncodedSize() > kPageEntryArea) return where + "compressed leaf overflows";
  } else {
    if (count > page->MaxEntries()) return where + "more entries than fit";
    if (!is_root && count < page->MaxEntries() / 2) {
      return where + "underfull: " + std::to_string(count) + " of " +
             std::to_string(page->MaxEntries());
    }
    if (is_root && !page->IsLeaf() && count < 2) return where + "root with one child";
  }
  const std::size_t kl = format_.KeyLength;
  if (page->IsLeaf()) {
    if (*leaf_depth < 0) *leaf_depth = depth;
    if (*leaf_depth != depth) return where + "leaves at different depths";
    for (int i = 1; i <= count; ++i) {
      if (*have_last && cmp_.CompareKeys(page->Key(i), last_key->data(), kl) < 0) {
        return where + "keys out of order at entry " + std::to_string(i);
      }
      std::memcpy(last_key->data(), page->Key(i), kl);
      *have_last = true;
    }
    *total += static_cast<std::uint64_t>(count);
    return std::string();
  }
  for (int i = 1; i <= count; ++i) {
    std::uint64_t sub = 0;
    const std::uint32_t child_number = page->Value(i);
    {
      TPagePin child(store_, Fetch(child_number, false));
      if (child->Count() > 0 && std::memcmp(child->Key(1), page->Key(i), kl) != 0) {
        return where + "entry " + std::to_string(i) + " does not hold its child's first key";
      }
    }
    std::string fault =
        CheckSubtree(child_number, depth + 1, false, last_key, have_last, &sub, leaf_depth, levels);
    if (!fault.empty()) return fault;
    if (!format_.NoSubtreeCounts && page->SubtreeCount(i) != sub) {
      return where + "entry " + std::to_string(i) + " counts " +
             std::to_string(page->SubtreeCount(i)) + " keys, subtree holds " + std::to_string(sub);
    }
    *total += sub;
  }
  return std::string();
}

}  // namespace tabula
