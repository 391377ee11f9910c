// Cursor navigation, read/write/scan frames and re-synchronisation after changes made by
// other processes.
//
// Positions are private to the cursor: in index order a TTreePosition (leaf page, entry,
// ordinal and the cursor's own copy of the key and its record number), in record-number order
// the record number and ordinal over the working bitmap. Every tree read fetches pages with
// change detection; when a fetch (or a record read) finds that another process changed the
// table, the cursor is re-synchronised to its bookmark from inside that fetch, the fetch
// reports failure, and the step that was running starts again from the re-synchronised
// position. Steps therefore work on a copy of the position and commit it only when they
// complete.
#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/index/collation.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_session.h"

namespace tabula {

namespace {

// A step restarts only after a re-synchronisation, which leaves the table's read lock held
// (no writer can change it again) or the counters equal; more restarts than this mean the
// files keep contradicting each other.
constexpr int kMaxRestarts = 32;

void CountRestart(int* restarts, const std::string& table_name) {
  if (++*restarts > kMaxRestarts) RaiseTableError(TABULA_INDEXCORRUPT, table_name);
}

// Sorts record numbers ascending and drops repeats. Numbers that lie close together (a scan's
// next records in another order usually do) are sorted through a bitmap of their span, in
// linear time; scattered ones by comparison.
void SortDistinct(std::vector<std::int32_t>* numbers, std::vector<std::uint64_t>* words) {
  if (numbers->size() >= 64) {
    const auto [low, high] = std::minmax_element(numbers->begin(), numbers->end());
    const std::int64_t first = *low;
    const std::int64_t span = static_cast<std::int64_t>(*high) - first + 1;
    if (span <= 64 * static_cast<std::int64_t>(numbers->size())) {
      words->assign(static_cast<std::size_t>((span + 63) / 64), 0);
      for (const std::int32_t n : *numbers) {
        const auto bit = static_cast<std::uint64_t>(n - first);
        (*words)[bit >> 6] |= std::uint64_t{1} << (bit & 63);
      }
      numbers->clear();
      for (std::size_t w = 0; w < words->size(); ++w) {
        for (std::uint64_t bits = (*words)[w]; bits != 0; bits &= bits - 1) {
          numbers->push_back(static_cast<std::int32_t>(first + static_cast<std::int64_t>(w) * 64 +
                                                       std::countr_zero(bits)));
        }
      }
      return;
    }
  }
  std::sort(numbers->begin(), numbers->end());
  numbers->erase(std::unique(numbers->begin(), numbers->end()), numbers->end());
}

// The index file's change check, calling back the cursor that reads. A named type, so that a
// cursor can see that the hook is its own already and spare setting it again at every step.
struct TCursorCheckHook {
  TDataCursor* cursor;  // not owned
  bool operator()() const { return cursor->LockAndCheckForChanges(); }
};

void HookChangeChecks(TIndexFile& index, TDataCursor* cursor) {
  const auto* hook = index.OnCheckChanges.target<TCursorCheckHook>();
  if (hook == nullptr || hook->cursor != cursor) index.OnCheckChanges = TCursorCheckHook{cursor};
}

}  // namespace

// One operation's read frame: CheckChanges (or BeginRead, or nothing) at its start and EndRead
// at its end, also when the operation fails.
class TDataCursor::TReadFrame {
 public:
  enum TMode { kCheck, kLock, kCollect };

  TReadFrame(TDataCursor& cursor, TMode mode) : cursor_(cursor) {
    switch (mode) {
      case kCheck:
        cursor_.CheckChanges();
        break;
      case kLock:
        resynced_ = cursor_.BeginRead();
        break;
      case kCollect:
        ++cursor_.read_depth_;
        break;
    }
  }
  // Only giving the read lock back can fail; that failure is raised unless an exception is
  // already on its way (the frame's operation failed, or the frame runs inside a destructor).
  // The in-flight count is asked only then: most frames end without releasing anything.
  ~TReadFrame() noexcept(false) {
    if (cursor_.EndReadReleases() && std::uncaught_exceptions() > 0) {
      try {
        cursor_.EndRead();
      } catch (const std::exception&) {
      }
      return;
    }
    cursor_.EndRead();
  }
  TReadFrame(const TReadFrame&) = delete;
  TReadFrame& operator=(const TReadFrame&) = delete;

  bool Resynced() const { return resynced_; }

 private:
  TDataCursor& cursor_;
  bool resynced_ = false;
};

struct TDataCursor::TSearchKey {
  std::vector<std::uint8_t> key;
  std::size_t significant = 0;  // the first bytes that a partial key fixes
  bool partial = false;
};

// ---- Frames ----------------------------------------------------------------------------------

bool TDataCursor::LocksApply() const {
  return IsOpen() && !locking_disabled_ && !exclusive_ && !table_->LocksDisabled() &&
         !table_->RemoteSession();
}

bool TDataCursor::CountersDiffer() const {
  if (!IsOpen() || !table_->DataFile().Opened()) return false;
  return data_change_count_ != table_->DataFile().Header().ChangeCount ||
         index_change_count_ != table_->IndexFile().Header().ChangeCount;
}

bool TDataCursor::BeginRead() {
  ++read_depth_;
  if (!IsOpen()) return false;
  try {
    bool changed = false;
    if (LocksApply()) {
      TTableLocks& locks = table_->Locks();
      const bool held = locks.ReadLockHeld();
      changed = locks.LockRead();
      if (!held && locks.ReadLockHeld()) read_lock_taken_ = true;
    }
    if ((changed || CountersDiffer()) && !resyncing_) {
      Resync();
      return true;
    }
  } catch (...) {
    EndRead();
    throw;
  }
  return false;
}

bool TDataCursor::EndReadReleases() const { return read_depth_ <= 1 && read_lock_taken_; }

void TDataCursor::EndRead() {
  if (read_depth_ > 0) --read_depth_;
  if (read_depth_ == 0 && read_lock_taken_) {
    read_lock_taken_ = false;
    if (IsOpen()) table_->Locks().UnlockRead();
  }
}

bool TDataCursor::BeginWrite() {
  ++write_depth_;
  if (!IsOpen()) return false;
  try {
    bool changed = false;
    if (LocksApply()) {
      TTableLocks& locks = table_->Locks();
      // The write lock covers every read-lock byte, its own table object's included.
      if (locks.ReadLockHeld()) {
        locks.UnlockRead();
        read_lock_taken_ = false;
      }
      const bool held = locks.WriteLockHeld();
      changed = locks.LockWrite();
      if (!held && locks.WriteLockHeld()) write_lock_taken_ = true;
    }
    if ((changed || CountersDiffer()) && !resyncing_) {
      Resync();
      return true;
    }
  } catch (...) {
    EndWrite();
    throw;
  }
  return false;
}

void TDataCursor::EndWrite() {
  if (write_depth_ > 0) --write_depth_;
  if (write_depth_ == 0 && write_lock_taken_) {
    write_lock_taken_ = false;
    if (IsOpen()) table_->Locks().UnlockWrite();
  }
}

bool TDataCursor::BeginScan() {
  ++scan_depth_;
  if (!IsOpen()) return false;
  try {
    bool changed = false;
    if (LocksApply()) {
      TTableLocks& locks = table_->Locks();
      const bool held = locks.ScanLockHeld();
      changed = locks.LockScan();
      if (!held && locks.ScanLockHeld()) scan_lock_taken_ = true;
    }
    if ((changed || CountersDiffer()) && !resyncing_) {
      Resync();
      return true;
    }
  } catch (...) {
    EndScan();
    throw;
  }
  return false;
}

void TDataCursor::EndScan() {
  if (scan_depth_ > 0) --scan_depth_;
  if (scan_depth_ == 0 && scan_lock_taken_) {
    scan_lock_taken_ = false;
    if (IsOpen()) table_->Locks().UnlockScan();
  }
}

void TDataCursor::CheckChanges() {
  // A re-synchronisation reads again the pages and records that the table dropped: under the
  // read lock, as every read of the files, so that it never meets a writer's half-done change.
  const bool differ = CountersDiffer() && !resyncing_;  // false for a closed cursor
  if (IsOpen() && (differ || table_->StrictChangeDetection()) && LocksApply()) {
    BeginRead();
    return;
  }
  ++read_depth_;
  try {
    if (differ) Resync();
  } catch (...) {
    EndRead();
    throw;
  }
}

bool TDataCursor::LockAndCheckForChanges() {
  if (!IsOpen() || resyncing_) return false;
  bool changed = false;
  bool release = false;
  if (LocksApply()) {
    TTableLocks& locks = table_->Locks();
    const bool held = locks.ReadLockHeld();
    changed = locks.LockRead();
    if (!held && locks.ReadLockHeld()) {
      // Inside a frame the lock stays until its EndRead; a read outside any frame gives it
      // back at once.
      if (read_depth_ > 0) {
        read_lock_taken_ = true;
      } else {
        release = true;
      }
    }
  }
  bool resynced = false;
  try {
    if (changed || CountersDiffer()) {
      Resync();
      resynced = true;
    }
  } catch (...) {
    if (release) table_->Locks().UnlockRead();
    throw;
  }
  if (release) table_->Locks().UnlockRead();
  return resynced;
}

void TDataCursor::Resync() {
  if (!IsOpen() || resyncing_) return;
  resyncing_ = true;
  struct TResetFlag {
    bool& flag;
    ~TResetFlag() { flag = false; }
  } reset{resyncing_};
  RememberChangeCounters();
  const bool had_record = record_no_ != 0;
  std::vector<std::uint8_t> bookmark(GetBookmarkSize());
  GetBookmark(bookmark.data());
  ComputeRangePositions();
  RebuildBitmaps();
  if (!had_record) {
    // The image stays: an insert may already have put its record there for Reposition.
    ClearPosition();
    return;
  }
  const std::int32_t stood_on = record_no_;
  SetToBookmark(bookmark.data(), true, true);
  ++resyncs_;
  resync_side_ = 0;
  if (record_no_ != 0 && record_no_ != stood_on && !eof_ && !bof_) {
    std::vector<std::uint8_t> now(bookmark.size());
    GetBookmark(now.data());
    resync_side_ = CompareBookmarks(now.data(), bookmark.data());
  }
}

// ---- Position state --------------------------------------------------------------------------

TBTree TDataCursor::Tree() {
  TIndexFile& index = table_->IndexFile();
  HookChangeChecks(index, this);
  TBTree tree = index.Tree(current_index_, *comparator_);
  tree.SetCheckChanges(true);
  return tree;
}

void TDataCursor::ClearPosition() {
  bof_ = true;
  eof_ = true;
  ordinal_ = 0;
  record_no_ = 0;
  position_.Clear();
  position_.Key.clear();
  step_leaf_.page = nullptr;
}

void TDataCursor::CommitPosition(const TTreePosition& at) {
  position_ = at;
  step_leaf_.page = nullptr;
  ordinal_ = static_cast<std::int32_t>(at.Ordinal);
  record_no_ = static_cast<std::int32_t>(at.Value);
}

std::int32_t TDataCursor::CurrentRecordCount() const {
  if (!IsOpen()) return 0;
  if (uses_bitmap_) return visible_count_;
  if (range_active_) {
    if (range_start_ <= 0 || range_end_ <= 0) return 0;
    return std::max(0, range_end_ - range_start_ + 1);
  }
  return static_cast<std::int32_t>(table_->IndexFile().RecordCount());
}

bool TDataCursor::KnownEmpty() const {
  // Range positions are ordinals, which an index without subtree counts does not keep: there
  // the descent itself finds out whether the range holds a key.
  if (range_active_ && !record_order_ && index_without_counts_) return false;
  return CurrentRecordCount() == 0;
}

bool TDataCursor::Visible(std::int32_t record_no) const {
  return !uses_bitmap_ || working_bitmap_.Get(record_no);
}

int TDataCursor::CompareIndexKeys(const std::uint8_t* a, const std::uint8_t* b) const {
  return index_keys_->CompareKeys(a, b, key_length_);
}

void TDataCursor::SelectIndex(int slot) {
  TIndexFile& index = table_->IndexFile();
  current_index_ = static_cast<std::uint8_t>(slot);
  record_order_ = slot == kNoIndex || (slot == kPrimarySlot && index.NoPrimaryIndex());
  ClearPosition();
  index_keys_.reset();
  comparator_.reset();
  key_length_ = 0;
  index_field_count_ = 0;
  index_descending_ = false;
  index_unique_ = true;
  index_without_counts_ = false;
  if (!record_order_) {
    const TIndexDescriptor& descriptor = index.Descriptor(slot);
    TKeyIndexDef definition;
    const std::uint16_t code =
        MakeKeyIndexDef(descriptor, slot, table_->DataFile().Descriptors(), &definition);
    if (code != 0) Raise(code);
    const TCollation* collation = FindCollation(locale_id_, sort_id_);
    if (collation == nullptr) collation = FindCollation(0, 0);
    index_keys_ = std::make_unique<TIndexKeys>(std::move(definition), *collation);
    if (index_keys_->KeyLength() != descriptor.KeyLength) Raise(TABULA_HEADERCORRUPT);
    comparator_ = std::make_unique<TIndexKeysComparator>(*index_keys_);
    key_length_ = descriptor.KeyLength;
    index_field_count_ = static_cast<std::uint16_t>(index_keys_->Definition().Fields.size());
    index_descending_ = index_keys_->Definition().Descending;
    index_unique_ = index_keys_->Definition().Unique;
    index_without_counts_ = descriptor.NoSubtreeCounts;
  }
  // Filters will add: in index order the bitmap is in use while one is active.
  uses_bitmap_ = record_order_;
  range_active_ = false;
  range_start_key_.assign(key_length_, 0x00);
  range_end_key_.assign(key_length_, 0xFF);
}

// ---- Bitmaps and ranges ----------------------------------------------------------------------

void TDataCursor::BuildActiveBitmap() {
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();
  const std::int32_t physical = data.PhysicalRecordCount();
  if (static_cast<std::int64_t>(index.RecordCount()) == physical) {
    active_bitmap_.Reset(physical, true);
    return;
  }
  // Some records are deleted: their "Sys Deleted" keys start with status byte 1.
  if (deleted_keys_ == nullptr) {
    TKeyIndexDef definition;
    definition.Kind = TKeyIndexKind::ikSysDeleted;
    deleted_keys_ = std::make_unique<TIndexKeys>(definition, *FindCollation(0, 0));
    deleted_comparator_ = std::make_unique<TIndexKeysComparator>(*deleted_keys_);
  }
  const std::uint8_t deleted[kSysDeletedKeyLength] = {kStatusDeleted, 0, 0, 0, 0};
  int restarts = 0;
  while (true) {
    active_bitmap_.Reset(physical, true);
    HookChangeChecks(index, this);
    TBTree tree = index.Tree(kSysDeletedSlot, *deleted_comparator_);
    tree.SetCheckChanges(true);
    TTreePosition at;
    bool found = false;
    if (tree.Seek(deleted, 1, &at, &found)) {
      if (!at.Valid() || !found) return;
      const bool done = tree.ScanLeaves(
          at, deleted, 1, UINT64_MAX, [this](const std::uint8_t*, std::uint32_t value) {
            active_bitmap_.Set(static_cast<std::int32_t>(value), false);
            return true;
          });
      if (done) return;
    }
    CountRestart(&restarts, table_name_);
  }
}

void TDataCursor::RebuildBitmaps() {
  if (!IsOpen() || !uses_bitmap_) return;
  if (record_order_) {
    BuildActiveBitmap();
    working_bitmap_ = active_bitmap_;
  }
  // The filters' bitmaps are intersected here once filters exist.
  visible_count_ = working_bitmap_.CountSet();
}

void TDataCursor::RecordPosted(std::int32_t record_no) {
  if (!IsOpen() || !uses_bitmap_ || record_no <= 0) return;
  if (record_order_) {
    active_bitmap_.Grow(record_no);
    active_bitmap_.Set(record_no, true);
    working_bitmap_.Grow(record_no);
    working_bitmap_.Set(record_no, true);
  }
  visible_count_ = working_bitmap_.CountSet();
}

void TDataCursor::RecordDeleted(std::int32_t record_no) {
  if (!IsOpen() || !uses_bitmap_ || record_no <= 0) return;
  active_bitmap_.Set(record_no, false);
  working_bitmap_.Set(record_no, false);
  visible_count_ = working_bitmap_.CountSet();
}

void TDataCursor::ComputeRangePositions() {
  if (!IsOpen() || computing_ranges_) return;
  computing_ranges_ = true;
  struct TResetFlag {
    bool& flag;
    ~TResetFlag() { flag = false; }
  } reset{computing_ranges_};
  if (record_order_ || !range_active_) {
    range_start_ = 1;
    range_end_ = static_cast<std::int32_t>(table_->IndexFile().RecordCount());
    return;
  }
  if (CompareIndexKeys(range_start_key_.data(), range_end_key_.data()) > 0) {
    range_start_ = 0;
    range_end_ = 0;
    return;
  }
  int restarts = 0;
  while (true) {
    TBTree tree = Tree();
    TTreePosition first;
    TTreePosition last;
    bool found = false;
    if (index_without_counts_) {
      // No ordinals: the range is counted over its leaves, and record numbers count from 1.
      std::uint64_t count = 0;
      if (tree.Seek(range_start_key_.data(), key_length_, &first, &found) &&
          (!first.Valid() || tree.ScanLeaves(first, range_end_key_.data(), key_length_, UINT64_MAX,
                                             [&count](const std::uint8_t*, std::uint32_t) {
                                               ++count;
                                               return true;
                                             }))) {
        range_end_ = static_cast<std::int32_t>(std::min<std::uint64_t>(count, INT32_MAX));
        range_start_ = range_end_ > 0 ? 1 : 0;
        return;
      }
    } else if (tree.Seek(range_start_key_.data(), key_length_, &first, &found) &&
               tree.SeekLast(range_end_key_.data(), key_length_, &last)) {
      range_start_ = first.Valid() ? static_cast<std::int32_t>(first.Ordinal) : 0;
      range_end_ = last.Valid() ? static_cast<std::int32_t>(last.Ordinal) : 0;
      return;
    }
    CountRestart(&restarts, table_name_);
  }
}

// ---- Internal steps --------------------------------------------------------------------------

void TDataCursor::GotoFirst() { GotoEnd(true); }

void TDataCursor::GotoLast() { GotoEnd(false); }

void TDataCursor::GotoEnd(bool first) {
  if (KnownEmpty()) {
    ClearPosition();
    return;
  }
  if (record_order_) {
    const std::int32_t end =
        first ? working_bitmap_.NextSet(1) : working_bitmap_.PriorSet(working_bitmap_.Size());
    if (end == 0) {
      ClearPosition();
      return;
    }
    record_no_ = end;
    ordinal_ = first ? 1 : visible_count_;
    bof_ = eof_ = false;
    return;
  }
  int restarts = 0;
  while (true) {
    TBTree tree = Tree();
    TTreePosition at;
    bool ok;
    if (!range_active_) {
      ok = first ? tree.First(&at) : tree.Last(&at);
    } else if (first) {
      bool found = false;
      ok = tree.Seek(range_start_key_.data(), key_length_, &at, &found);
    } else {
      ok = tree.SeekLast(range_end_key_.data(), key_length_, &at);
    }
    if (!ok) {
      CountRestart(&restarts, table_name_);
      continue;
    }
    // The key nearest one bound lies beyond the other when the range holds no key.
    if (at.Valid() && range_active_ &&
        (first ? CompareIndexKeys(at.Key.data(), range_end_key_.data()) > 0
               : CompareIndexKeys(at.Key.data(), range_start_key_.data()) < 0)) {
      at.Clear();
    }
    if (!at.Valid()) {
      ClearPosition();
      return;
    }
    CommitPosition(at);
    bof_ = eof_ = false;
    break;
  }
  // A hidden end key: the nearest visible one inward.
  if (!Visible(record_no_)) {
    MoveBy(first ? 1 : -1);
    if (first ? eof_ : bof_) ClearPosition();
    (first ? bof_ : eof_) = false;
  }
}

void TDataCursor::MoveBy(std::int32_t n) {
  if (n == 0) return;
  const bool forward = n > 0;
  std::int64_t remaining = n > 0 ? n : -static_cast<std::int64_t>(n);
  if (record_order_) {
    if (record_no_ == 0 || visible_count_ == 0) {
      if (visible_count_ == 0) ClearPosition();
      return;
    }
    while (remaining > 0) {
      const std::int32_t next = forward ? working_bitmap_.NextSet(record_no_ + 1)
                                        : working_bitmap_.PriorSet(record_no_ - 1);
      if (next == 0) {
        bof_ = !forward;
        eof_ = forward;
        return;
      }
      record_no_ = next;
      ordinal_ += forward ? 1 : -1;
      --remaining;
    }
    bof_ = eof_ = false;
    return;
  }
  if (!position_.Valid()) return;
  // A single step along the leaf of the last step onto a visible record inside the range: the
  // position changes in place.
  if (remaining == 1 && StepInPlace(forward)) return;
  // The working positions' keys borrow the cursor's spare buffers, so that a step allocates
  // nothing; a move nested in a re-synchronisation finds them taken and allocates its own.
  TTreePosition at;
  // The last visible record passed, for a move that runs off an end over hidden records; kept
  // only once a hidden record has been passed (before that, position_ is that record).
  TTreePosition last_visible;
  bool kept = false;
  at.Key = std::move(spare_keys_[0]);
  last_visible.Key = std::move(spare_keys_[1]);
  struct TGiveBack {
    TDataCursor& cursor;
    TTreePosition& a;
    TTreePosition& b;
    ~TGiveBack() {
      cursor.spare_keys_[0] = std::move(a.Key);
      cursor.spare_keys_[1] = std::move(b.Key);
    }
  } give_back{*this, at, last_visible};
  int restarts = 0;
  while (remaining > 0) {
    bool moved = false;
    const TPage* leaf = nullptr;
    if (StepOnLeaf(forward, &at)) {
      moved = true;
      leaf = step_leaf_.page;
    } else {
      TBTree tree = Tree();
      at = position_;
      const std::uint64_t resyncs = resyncs_;
      if (!(forward ? tree.Next(&at, &moved, &leaf) : tree.Prior(&at, &moved, &leaf))) {
        // Re-synchronised meanwhile: go on from the position found again. When the record the
        // step started from is gone and that position is its neighbour in the step's
        // direction, the step has arrived there.
        CountRestart(&restarts, table_name_);
        if (!position_.Valid()) return;
        kept = false;
        if (resyncs_ != resyncs && resync_side_ == (forward ? 1 : -1) && Visible(record_no_)) {
          --remaining;
        }
        continue;
      }
    }
    const bool outside = moved && range_active_ &&
                         (forward ? CompareIndexKeys(at.Key.data(), range_end_key_.data()) > 0
                                  : CompareIndexKeys(at.Key.data(), range_start_key_.data()) < 0);
    if (!moved || outside) {
      if (kept && !Visible(record_no_)) CommitPosition(last_visible);
      bof_ = !forward;
      eof_ = forward;
      return;
    }
    const bool visible = Visible(static_cast<std::int32_t>(at.Value));
    if (!visible && !kept) {
      last_visible = position_;
      kept = true;
    }
    // The step's position becomes the cursor's; its key buffer takes the old key, which the
    // next step overwrites.
    ordinal_ = static_cast<std::int32_t>(at.Ordinal);
    record_no_ = static_cast<std::int32_t>(at.Value);
    std::swap(position_, at);
    step_leaf_.page = leaf;
    if (leaf != nullptr) {
      step_leaf_.generation = table_->IndexFile().PagesGeneration();
      step_leaf_.number = position_.Page;
      step_leaf_.entry = position_.Entry;
    }
    if (!visible) continue;
    kept = false;
    --remaining;
  }
  bof_ = eof_ = false;
}

bool TDataCursor::StepLeafHolds() const {
  return step_leaf_.page != nullptr &&
         step_leaf_.generation == table_->IndexFile().PagesGeneration() &&
         step_leaf_.number == position_.Page && step_leaf_.entry == position_.Entry;
}

bool TDataCursor::StepOnLeaf(bool forward, TTreePosition* at) {
  if (!StepLeafHolds()) return false;
  at->Page = position_.Page;
  at->Entry = position_.Entry;
  at->Ordinal = position_.Ordinal;
  return TBTree::StepInLeaf(*step_leaf_.page, forward, at);
}

bool TDataCursor::StepInPlace(bool forward) {
  if (!StepLeafHolds() || position_.Key.size() != key_length_) return false;
  const TPage& page = *step_leaf_.page;
  const int entry = position_.Entry + (forward ? 1 : -1);
  if (entry < 1 || entry > page.Count()) return false;
  const std::uint8_t* key = page.Key(entry);
  if (range_active_ && (forward ? CompareIndexKeys(key, range_end_key_.data()) > 0
                                : CompareIndexKeys(key, range_start_key_.data()) < 0)) {
    return false;
  }
  if (!Visible(static_cast<std::int32_t>(page.Value(entry)))) return false;
  TBTree::StepInLeaf(page, forward, &position_);
  step_leaf_.entry = position_.Entry;
  ordinal_ = static_cast<std::int32_t>(position_.Ordinal);
  record_no_ = static_cast<std::int32_t>(position_.Value);
  bof_ = eof_ = false;
  return true;
}

void TDataCursor::LoadCurrent(TReadDirection direction) {
  if (record_image_.empty()) return;
  if (!stepping_ && !resyncing_) {
    ReleaseStream();  // not a step: whatever scan this cursor made is over
    scan_direction_ = 0;
    scan_misses_ = 0;
  }
  int restarts = 0;
  while (record_no_ != 0) {
    TDataFile& data = table_->DataFile();
    if (record_no_ > data.PhysicalRecordCount()) {
      // A key naming a record beyond the file: another process grew the table, or the index
      // is damaged.
      if (LockAndCheckForChanges()) {
        CountRestart(&restarts, table_name_);
        continue;
      }
      Raise(TABULA_INDEXCORRUPT);
    }
    TRecordCache& cache = *data.Cache();
    if (const std::uint8_t* streamed = cache.StreamImage(record_no_)) {
      std::memcpy(record_image_.data(), streamed,
                  std::min(record_image_.size(), cache.RecordImageSize()));
      return;
    }
    TRecord* cached = cache.Find(record_no_);
    // A scan's first miss reads as any read does; the following ones load what the scan
    // visits next, so that one change check and a few transfers serve many steps. Only inside
    // a frame, which keeps the read lock taken for the check until the loaded records are in.
    if (stepping_ && !resyncing_ && read_depth_ > 0 && cached == nullptr && ++scan_misses_ >= 2) {
      std::int32_t limit = cache.ReadAheadRecords();
      // A batch takes at most half of the cache, so that two scans side by side do not evict
      // each other's batches. A scan in index order by the only cursor of its table may fill
      // three quarters: it evicts the batch before it, whose records the scan has passed, and
      // the denser the batch, the more of its records share a transfer. (A scan in record
      // order reads whole spans whatever the batch; a smaller batch stays in the CPU's cache.)
      // A batch that is streamed past the cache (LoadAhead) evicts nothing and may be as large;
      // in record order it is one stream of kStreamBytes.
      const std::int32_t limit_records = cache.CacheLimit();
      const bool stream = cache.StreamFreeFor(this) && cache.ShouldStream();
      const bool wide = stream || table_->OpenCount() == 1;
      std::int32_t most =
          std::max(wide && !record_order_ ? limit_records / 4 * 3 : limit_records / 2, 1);
      if (record_order_ && stream) most = std::min(most, cache.StreamRecords());
      for (int i = 2; i < scan_misses_ && limit < most; ++i) limit *= 2;
      if (!LoadAhead(direction == TReadDirection::kForward, std::min(limit, most))) {
        CountRestart(&restarts, table_name_);
        continue;
      }
    }
    TRecord* record = cached != nullptr ? cache.PinCached(cached)
                                        : cache.GetRecord(this, record_no_, true, direction, true);
    if (record == nullptr) {
      CountRestart(&restarts, table_name_);
      continue;
    }
    const std::size_t size = std::min(record_image_.size(), record->ImageSize());
    std::memcpy(record_image_.data(), record->Image(), size);
    data.Cache()->Unpin(record);
    // Computed columns are evaluated on the image here once query results carry them.
    return;
  }
  std::fill(record_image_.begin(), record_image_.end(), 0);
}

void TDataCursor::ReleaseStream() {
  if (TRecordCache* cache = table_->DataFile().Cache()) cache->ReleaseStream(this);
}

bool TDataCursor::LoadAhead(bool forward, std::int32_t limit) {
  // A change found on the way re-synchronises the cursor, and the records are collected again
  // from where it stands now; the read lock is then held, so the second round finds no change.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!CollectAhead(forward, limit, &ahead_)) continue;
    if (LockAndCheckForChanges()) continue;
    TRecordCache& cache = *table_->DataFile().Cache();
    // The table has one stream: while another scan has it, this one goes through the cache.
    const bool stream = cache.StreamFreeFor(this);
    if (record_order_) {
      // Already in order, one way or the other.
      if (!forward) std::reverse(ahead_.begin(), ahead_.end());
      if (stream && cache.LoadStream(this, ahead_, forward, cache.StreamRecords())) return true;
    } else {
      SortDistinct(&ahead_, &ahead_words_);
      if (stream && !ahead_.empty()) {
        // A batch whose records lie close together in the file (an order that follows the
        // file's, such as that of an identifier given in insertion order) is streamed whole,
        // over at most LargestStream records: three quarters of the cache, or kStreamBytes for
        // a small one. Otherwise only the listed records are kept.
        const std::int32_t dense_most = cache.LargestStream();
        const std::int64_t range = std::int64_t{ahead_.back()} - ahead_.front() + 1;
        const bool dense =
            range <= 2 * static_cast<std::int64_t>(ahead_.size()) && range <= dense_most;
        if (dense ? cache.LoadStream(this, ahead_, forward, dense_most)
                  : cache.LoadScatteredStream(this, ahead_)) {
          return true;
        }
      }
    }
    cache.LoadRecords(ahead_);
    return true;
  }
  return false;
}

bool TDataCursor::CollectAhead(bool forward, std::int32_t limit,
                               std::vector<std::int32_t>* numbers) {
  numbers->clear();
  if (record_no_ == 0 || limit <= 0) return true;
  const std::size_t wanted = static_cast<std::size_t>(limit);
  if (record_order_) {
    for (std::int32_t n = record_no_; n != 0 && numbers->size() < wanted;
         n = forward ? working_bitmap_.NextSet(n + 1) : working_bitmap_.PriorSet(n - 1)) {
      numbers->push_back(n);
    }
    return true;
  }
  if (!position_.Valid()) return true;
  // The leaves from the current entry on. The numbers are only a forecast: a damaged leaf
  // ends the walk, and navigation itself finds the damage.
  TIndexFile& index = table_->IndexFile();
  HookChangeChecks(index, this);
  const int step = forward ? 1 : -1;
  std::uint32_t page_number = position_.Page;
  int entry = position_.Entry;
  for (std::size_t pages = 0; page_number != 0 && numbers->size() < wanted && pages <= wanted;
       ++pages) {
    TPage* page = index.FetchPage(current_index_, page_number, true);
    if (page == nullptr) return false;
    if (!page->IsLeaf() || page->Free()) {
      index.ReleasePage(page);
      break;
    }
    const int count = page->Count();
    if (entry == 0) entry = forward ? 1 : count;
    bool outside = false;
    for (; entry >= 1 && entry <= count && numbers->size() < wanted; entry += step) {
      if (range_active_ &&
          (forward ? CompareIndexKeys(page->Key(entry), range_end_key_.data()) > 0
                   : CompareIndexKeys(page->Key(entry), range_start_key_.data()) < 0)) {
        outside = true;
        break;
      }
      const auto value = static_cast<std::int32_t>(page->Value(entry));
      if (Visible(value)) numbers->push_back(value);
    }
    page_number = outside ? 0 : (forward ? page->NextPage() : page->PrevPage());
    index.ReleasePage(page);
    entry = 0;
  }
  return true;
}

std::int32_t TDataCursor::ConsecutiveRecordsAhead(std::int32_t record_no, TReadDirection direction,
                                                  std::int32_t limit) {
  if (!IsOpen() || limit <= 1) return 1;
  const int step = direction == TReadDirection::kForward ? 1 : -1;
  std::int32_t count = 1;
  if (record_order_) {
    while (count < limit && working_bitmap_.Get(record_no + step * count)) ++count;
    return count;
  }
  if (!position_.Valid() || static_cast<std::int32_t>(position_.Value) != record_no) return 1;
  TIndexFile& index = table_->IndexFile();
  TPage* page = nullptr;
  try {
    page = index.FetchPage(current_index_, position_.Page, false);
  } catch (const ETabulaEngineError&) {
    return 1;
  }
  if (page == nullptr) return 1;
  const int entry = position_.Entry;
  if (page->IsLeaf() && entry >= 1 && entry <= page->Count() &&
      static_cast<std::int32_t>(page->Value(entry)) == record_no) {
    while (count < limit) {
      const int e = entry + step * count;
      if (e < 1 || e > page->Count()) break;
      const std::int32_t value = static_cast<std::int32_t>(page->Value(e));
      if (value != record_no + step * count || !Visible(value)) break;
      ++count;
    }
  }
  index.ReleasePage(page);
  return count;
}

bool TDataCursor::SeekKey(const std::uint8_t* key, bool nearest, bool* moved) {
  *moved = false;
  // The found position's key takes a spare buffer of the cursor and gives the one it replaces
  // in position_ back.
  TTreePosition at;
  at.Key = std::move(spare_keys_[1]);
  struct TGiveBack {
    std::vector<std::uint8_t>& home;
    std::vector<std::uint8_t>& key;
    ~TGiveBack() { home = std::move(key); }
  } give_back{spare_keys_[1], at.Key};
  int restarts = 0;
  while (true) {
    TBTree tree = Tree();
    bool equal = false;
    if (!tree.Seek(key, key_length_, &at, &equal)) {
      CountRestart(&restarts, table_name_);
      continue;
    }
    if (!at.Valid() ||
        (range_active_ && CompareIndexKeys(at.Key.data(), range_end_key_.data()) > 0)) {
      // Every key is below the search key.
      if (!nearest) return false;
      GotoLast();
      if (record_no_ != 0) eof_ = true;
      *moved = true;
      return false;
    }
    if (!equal && !nearest) return false;
    CommitPosition(at);
    bof_ = eof_ = false;
    *moved = true;
    return equal;
  }
}

bool TDataCursor::Search(const std::uint8_t* key, bool nearest, bool keep_flags) {
  if (KnownEmpty()) {
    ClearPosition();
    return false;
  }
  const bool was_bof = bof_;
  const bool was_eof = eof_;
  bool found = false;
  if (range_active_ && CompareIndexKeys(key, range_start_key_.data()) < 0) {
    GotoFirst();
  } else if (range_active_ && CompareIndexKeys(key, range_end_key_.data()) > 0) {
    GotoLast();
  } else {
    bool moved = false;
    found = SeekKey(key, nearest, &moved);
    // Without nearest and without an equal key the cursor does not move.
    if (!moved) return false;
  }

  if (record_no_ != 0 && !Visible(record_no_)) {
    found = false;
    MoveBy(1);
    if (eof_) MoveBy(-1);
  }
  if (keep_flags && record_no_ != 0) {
    if (was_bof) {
      // Bof stays only while the record found is still the first.
      MoveBy(-1);
      if (!bof_) MoveBy(1);
    } else if (was_eof) {
      MoveBy(1);
      if (!eof_) MoveBy(-1);
    } else {
      bof_ = eof_ = false;
    }
  }
  return found;
}

bool TDataCursor::SeekRecordNo(std::int32_t record_no) {
  if (visible_count_ == 0) {
    ClearPosition();
    return false;
  }
  const std::int32_t limit = std::max(working_bitmap_.Size(), 1);
  const std::int32_t n = std::clamp(record_no, 1, limit);
  std::int32_t target = working_bitmap_.Get(n) ? n : working_bitmap_.NextSet(n);
  if (target == 0) target = working_bitmap_.PriorSet(n);
  if (target == 0) {
    ClearPosition();
    return false;
  }
  record_no_ = target;
  ordinal_ = working_bitmap_.CountSetBefore(target) + 1;
  bof_ = eof_ = false;
  return target == record_no;
}

// ---- Keys ------------------------------------------------------------------------------------

TDataCursor::TSearchKey TDataCursor::MakeKey(bool keys_given, const std::uint8_t* source,
                                             std::uint16_t field_count,
                                             std::uint16_t partial_length, bool upper_bound,
                                             bool for_find,
                                             std::vector<std::uint8_t> buffer) const {
  TSearchKey result;
  result.key = std::move(buffer);
  result.key.assign(key_length_, 0);
  const std::size_t fields = index_field_count_;
  // A count of 0 means every field, unless a partial length is given: that then applies to
  // the first field.
  const bool with_length = for_find && partial_length > 0;
  const std::size_t count =
      field_count == 0 ? (with_length ? 0 : fields) : std::min<std::size_t>(field_count, fields);
  const bool with_partial_length = with_length && count < fields;
  result.partial = (field_count >= 1 && field_count < fields) || !index_unique_ ||
                   (for_find && partial_length > 0);
  std::size_t significant = key_length_;
  if (result.partial) {
    significant = 0;
    const auto& key_fields = index_keys_->Definition().Fields;
    for (std::size_t i = 0; i < count; ++i) significant += 1u + key_fields[i].KeyWidth();
    if (with_partial_length) {
      significant += 1u + std::min<std::size_t>(partial_length, key_fields[count].KeyWidth());
    }
    significant = std::min<std::size_t>(significant, key_length_);
  }
  if (keys_given) {
    std::memcpy(result.key.data(), source, significant);
  } else {
    const std::uint16_t code =
        index_keys_->BuildKey(source, static_cast<std::size_t>(record_size_), result.key.data());
    if (code != 0) Raise(code);
  }
  if (result.partial) {
    // Ascending index: the search key and range start take the lowest completion, the range
    // end the highest; a descending index the other way round.
    if (upper_bound != index_descending_) {
      index_keys_->HighestKey(result.key.data(), significant);
    } else {
      index_keys_->LowestKey(result.key.data(), significant);
    }
  }
  result.significant = significant;
  return result;
}

// ---- Navigation ------------------------------------------------------------------------------

void TDataCursor::CopyOut(std::uint16_t code, std::uint8_t* buffer) const {
  if (buffer == nullptr) return;
  if (code != 0) {
    std::memset(buffer, 0, record_image_.size());
  } else {
    std::memcpy(buffer, record_image_.data(), record_image_.size());
  }
}

void TDataCursor::SetToBegin() {
  if (!IsOpen()) return;
  TReadFrame frame(*this, TReadFrame::kCheck);
  GotoFirst();
  MoveBy(-1);
  LoadCurrent(TReadDirection::kForward);
}

void TDataCursor::SetToEnd() {
  if (!IsOpen()) return;
  TReadFrame frame(*this, TReadFrame::kCheck);
  GotoLast();
  MoveBy(1);
  LoadCurrent(TReadDirection::kBackward);
}

std::uint16_t TDataCursor::StepRecord(bool forward, std::uint8_t* buffer, std::uint64_t resyncs) {
  const int direction = forward ? 1 : -1;
  if (scan_direction_ != direction) {
    scan_direction_ = direction;
    scan_misses_ = 0;
  }
  std::uint16_t code = 0;
  const bool arrived = resyncs_ != resyncs && resync_side_ == direction && Visible(record_no_);
  if (forward) {
    if (bof_) {
      GotoFirst();
    } else if (!arrived) {
      MoveBy(1);
    }
    if (eof_) code = TABULA_EOF;
  } else {
    if (eof_) {
      GotoLast();
    } else if (!arrived) {
      MoveBy(-1);
    }
    if (bof_) code = TABULA_BOF;
  }
  if (code != 0) ReleaseStream();  // the scan reached its end
  if (code == 0) {
    struct TStepping {
      bool& flag;
      explicit TStepping(bool& f) : flag(f) { flag = true; }
      ~TStepping() { flag = false; }
    } stepping(stepping_);
    // The record stepped onto may turn out gone only when it is read: the re-synchronisation
    // then stands on a neighbour of it. The step has arrived when that neighbour lies in its
    // direction, and goes on past it when it lies behind.
    const std::uint64_t loaded = resyncs_;
    LoadCurrent(forward ? TReadDirection::kForward : TReadDirection::kBackward);
    if (resyncs_ != loaded) code = StepOnAfterResync(forward);
  }
  CopyOut(code, buffer);
  return code;
}

std::uint16_t TDataCursor::StepOnAfterResync(bool forward) {
  const int direction = forward ? 1 : -1;
  for (int attempt = 0; resync_side_ == -direction && attempt < kMaxRestarts; ++attempt) {
    const std::uint64_t loaded = resyncs_;
    MoveBy(direction);
    if (forward ? eof_ : bof_) return forward ? TABULA_EOF : TABULA_BOF;
    LoadCurrent(forward ? TReadDirection::kForward : TReadDirection::kBackward);
    if (resyncs_ == loaded) break;
  }
  // A re-synchronisation that found no record at all.
  if (record_no_ == 0) return forward ? TABULA_EOF : TABULA_BOF;
  return 0;
}

std::uint16_t TDataCursor::GetNextRecord(std::uint8_t* buffer) {
  if (!IsOpen()) return TABULA_EOF;
  const std::uint64_t resyncs = resyncs_;
  TReadFrame frame(*this, TReadFrame::kCheck);
  return StepRecord(true, buffer, resyncs);
}

std::uint16_t TDataCursor::GetPriorRecord(std::uint8_t* buffer) {
  if (!IsOpen()) return TABULA_BOF;
  const std::uint64_t resyncs = resyncs_;
  TReadFrame frame(*this, TReadFrame::kCheck);
  return StepRecord(false, buffer, resyncs);
}

std::uint16_t TDataCursor::ReadRecordBlock(std::int32_t* count, std::uint8_t* buffer) {
  const std::int32_t wanted = *count;
  *count = 0;
  if (!IsOpen()) return TABULA_EOF;
  const std::uint64_t resyncs = resyncs_;
  TReadFrame frame(*this, TReadFrame::kCheck);
  std::uint16_t code = 0;
  const std::size_t size = record_image_.size();
  for (std::int32_t i = 0; i < wanted; ++i) {
    code = StepRecord(true, buffer + size * static_cast<std::size_t>(i),
                      i == 0 ? resyncs : resyncs_);
    if (code != 0) break;
    ++*count;
  }
  return code;
}

bool TDataCursor::SetToRecNo(std::int32_t n) {
  if (!IsOpen()) return false;
  TReadFrame frame(*this, TReadFrame::kCheck);
  if (CurrentRecordCount() == 0) {
    ClearPosition();
    LoadCurrent(TReadDirection::kForward);
    return false;
  }
  if (record_order_) {
    if (n < 1) {
      GotoFirst();
      bof_ = record_no_ != 0;
    } else if (n > visible_count_) {
      GotoLast();
      eof_ = record_no_ != 0;
    } else {
      record_no_ = working_bitmap_.NthSet(n);
      ordinal_ = n;
      bof_ = eof_ = false;
    }
    LoadCurrent(TReadDirection::kForward);
    return record_no_ != 0 && !bof_ && !eof_ && GetRecNo() == n;
  }
  GotoFirst();
  if (record_no_ == 0 || n < GetRecNo()) {
    if (record_no_ != 0) bof_ = true;
    LoadCurrent(TReadDirection::kForward);
    return false;
  }
  GotoLast();
  if (record_no_ == 0 || n > GetRecNo()) {
    if (record_no_ != 0) eof_ = true;
    LoadCurrent(TReadDirection::kForward);
    return false;
  }
  int restarts = 0;
  while (true) {
    TBTree tree = Tree();
    TTreePosition at;
    if (!tree.SeekOrdinal(static_cast<std::uint32_t>(RangeStart() + n - 1), &at)) {
      CountRestart(&restarts, table_name_);
      continue;
    }
    if (!at.Valid()) {
      ClearPosition();
    } else {
      CommitPosition(at);
      bof_ = eof_ = false;
    }
    break;
  }
  if (record_no_ != 0 && !Visible(record_no_)) {
    MoveBy(1);
    if (eof_) MoveBy(-1);
    if (bof_) ClearPosition();
  }
  LoadCurrent(TReadDirection::kForward);
  return record_no_ != 0 && GetRecNo() == n;
}

std::int32_t TDataCursor::GetRecNo() const {
  if (record_order_) return ordinal_;
  return ordinal_ > 0 ? ordinal_ - RangeStart() + 1 : 0;
}

std::int32_t TDataCursor::GetRecordCount() const { return CurrentRecordCount(); }

std::uint16_t TDataCursor::GetBookmarkSize() const {
  return record_order_ ? static_cast<std::uint16_t>(4) : key_length_;
}

void TDataCursor::GetBookmark(std::uint8_t* bookmark) const {
  if (record_order_) {
    EncodeFixed32(bookmark, static_cast<std::uint32_t>(record_no_));
    return;
  }
  if (record_no_ == 0 || position_.Key.size() != key_length_) {
    std::memset(bookmark, 0, key_length_);
    return;
  }
  std::memcpy(bookmark, position_.Key.data(), key_length_);
}

std::uint16_t TDataCursor::BookmarkOfImage(const std::uint8_t* image,
                                           std::uint8_t* bookmark) const {
  if (!IsOpen() || record_order_ || index_keys_ == nullptr) return TABULA_NOCURRREC;
  return index_keys_->BuildKey(image, static_cast<std::size_t>(record_size_), bookmark);
}

int TDataCursor::CompareBookmarks(const std::uint8_t* a, const std::uint8_t* b) const {
  if (record_order_) {
    const auto x = static_cast<std::int32_t>(DecodeFixed32(a));
    const auto y = static_cast<std::int32_t>(DecodeFixed32(b));
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  const int result = CompareIndexKeys(a, b);
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

bool TDataCursor::SetToBookmark(const std::uint8_t* bookmark, bool keep_flags, bool skip_check) {
  if (!IsOpen()) return false;
  TReadFrame frame(*this, skip_check ? TReadFrame::kCollect : TReadFrame::kCheck);
  if (record_order_) {
    const bool was_bof = bof_;
    const bool was_eof = eof_;
    const auto wanted = static_cast<std::int32_t>(DecodeFixed32(bookmark));
    SeekRecordNo(std::min(wanted, table_->DataFile().PhysicalRecordCount()));
    // The flags survive while the record reached is still the first or the last, so that a
    // cursor standing before its first record does not skip it after a re-synchronisation.
    if (keep_flags && record_no_ != 0) {
      if (was_bof && working_bitmap_.PriorSet(record_no_ - 1) == 0) bof_ = true;
      if (was_eof && !was_bof && working_bitmap_.NextSet(record_no_ + 1) == 0) eof_ = true;
    }
  } else {
    Search(bookmark, true, keep_flags);
  }
  LoadCurrent(TReadDirection::kForward);
  if (keep_flags) return true;
  std::vector<std::uint8_t> now(GetBookmarkSize());
  GetBookmark(now.data());
  return record_no_ != 0 && CompareBookmarks(now.data(), bookmark) == 0;
}

bool TDataCursor::Find(bool keys_given, const std::uint8_t* key_or_image, bool nearest,
                       std::uint16_t field_count, std::uint16_t partial_length,
                       std::uint8_t* result) {
  if (!IsOpen() || record_order_) return false;
  TReadFrame frame(*this, TReadFrame::kCheck);
  // The key is built in the cursor's spare buffer, which it gets back at the end.
  TSearchKey key = MakeKey(keys_given, key_or_image, field_count, partial_length, false, true,
                           std::move(spare_keys_[0]));
  struct TGiveBack {
    std::vector<std::uint8_t>& home;
    std::vector<std::uint8_t>& key;
    ~TGiveBack() { home = std::move(key); }
  } give_back{spare_keys_[0], key.key};
  bool found;
  if (key.partial) {
    Search(key.key.data(), true, false);
    found = record_no_ != 0 &&
            index_keys_->CompareKeys(position_.Key.data(), key.key.data(), key.significant) == 0;
  } else {
    found = Search(key.key.data(), nearest, false);
  }
  if (eof_ && record_no_ != 0) GotoLast();
  LoadCurrent(TReadDirection::kForward);
  CopyOut(0, result);
  return found;
}

void TDataCursor::SetRange(bool keys_given, const std::uint8_t* start, std::uint16_t start_fields,
                           const std::uint8_t* end, std::uint16_t end_fields) {
  if (!IsOpen() || record_order_) return;
  TReadFrame frame(*this, TReadFrame::kCheck);
  if (start != nullptr) {
    range_start_key_ = MakeKey(keys_given, start, start_fields, 0, false, false).key;
  } else if (index_descending_) {
    index_keys_->HighestKey(range_start_key_.data());
  } else {
    index_keys_->LowestKey(range_start_key_.data());
  }
  if (end != nullptr) {
    range_end_key_ = MakeKey(keys_given, end, end_fields, 0, true, false).key;
  } else if (index_descending_) {
    index_keys_->LowestKey(range_end_key_.data());
  } else {
    index_keys_->HighestKey(range_end_key_.data());
  }
  range_active_ = true;
  ComputeRangePositions();
  RebuildBitmaps();
  Reposition();
}

void TDataCursor::ResetRange() {
  if (!IsOpen() || record_order_) return;
  TReadFrame frame(*this, TReadFrame::kCheck);
  std::fill(range_start_key_.begin(), range_start_key_.end(), 0x00);
  std::fill(range_end_key_.begin(), range_end_key_.end(), 0xFF);
  range_active_ = false;
  ComputeRangePositions();
  RebuildBitmaps();
  Reposition();
}

void TDataCursor::RaiseIndexName(const std::string& name) const {
  RaiseEngineError(TABULA_INVALIDINDEXNAME, std::string(), std::string(), database_.DisplayName(),
                   table_name_, std::string(), name, std::string());
}

void TDataCursor::SetIndexName(const std::string& name) {
  if (!IsOpen()) return;
  if (SameNameTrimmed(name, index_name_)) return;
  TReadFrame frame(*this, TReadFrame::kLock);
  // The range goes with the old index, also when the new name turns out to be unknown.
  range_active_ = false;
  std::fill(range_start_key_.begin(), range_start_key_.end(), 0x00);
  std::fill(range_end_key_.begin(), range_end_key_.end(), 0xFF);
  const bool primary = TrimBlanks(name).empty();
  const int slot = primary ? kPrimarySlot : table_->IndexFile().IndexSlot(name);
  if (slot < 0) {
    ComputeRangePositions();
    RaiseIndexName(name);
  }
  // The record the cursor stands on is found again in the new order through its image.
  const std::int32_t current = record_no_;
  const bool bof = bof_;
  const bool eof = eof_;
  SelectIndex(slot);
  index_name_ = primary ? std::string() : table_->IndexFile().Descriptor(slot).Name;
  record_no_ = current;
  bof_ = bof;
  eof_ = eof;
  ComputeRangePositions();
  RebuildBitmaps();
  Reposition();
}

void TDataCursor::Reposition() {
  if (!IsOpen()) return;
  TReadFrame frame(*this, TReadFrame::kCollect);
  std::int32_t image_record = 0;
  if (record_image_.size() >= kRecordIdentifier && record_image_[kRecordStatus] == kStatusActive) {
    image_record = static_cast<std::int32_t>(DecodeFixed32(record_image_.data() + kRecordNoOrLink));
  }
  if (image_record == 0 && record_no_ == 0) {
    // No current record: before the first one.
    GotoFirst();
    MoveBy(-1);
  } else if (record_order_) {
    const bool was_bof = bof_;
    const bool was_eof = eof_;
    SeekRecordNo(image_record != 0 ? image_record : record_no_);
    if (record_no_ != 0) {
      if (was_bof && working_bitmap_.PriorSet(record_no_ - 1) == 0) bof_ = true;
      if (was_eof && !was_bof && working_bitmap_.NextSet(record_no_ + 1) == 0) eof_ = true;
    }
  } else {
    std::vector<std::uint8_t> key(key_length_);
    const std::uint16_t code = index_keys_->BuildKey(
        record_image_.data(), static_cast<std::size_t>(record_size_), key.data());
    if (code != 0) Raise(code);
    Search(key.data(), true, true);
  }
  LoadCurrent(TReadDirection::kForward);
}

bool TDataCursor::RepositionOntoFollower() {
  if (!IsOpen() || record_order_ || range_active_ || index_without_counts_ || !position_.Valid() ||
      position_.Key.size() != key_length_ || record_image_.size() < kRecordIdentifier ||
      record_image_[kRecordStatus] != kStatusActive) {
    return false;
  }
  TReadFrame frame(*this, TReadFrame::kCollect);
  // The key Reposition would search for: the record's, built from its image.
  std::vector<std::uint8_t>& key = spare_keys_[1];
  key.resize(key_length_);
  const std::uint16_t code = index_keys_->BuildKey(
      record_image_.data(), static_cast<std::size_t>(record_size_), key.data());
  if (code != 0) return false;
  TIndexFile& index = table_->IndexFile();
  HookChangeChecks(index, this);
  TPage* page = index.FetchPage(current_index_, position_.Page, true);
  if (page == nullptr) return false;
  // The entry holds the first key above the record's when it holds a greater key and the key
  // before it (on this leaf, or none at all) is below the record's.
  const int entry = position_.Entry;
  const bool follower = page->IsLeaf() && !page->Free() && entry >= 1 && entry <= page->Count() &&
                        CompareIndexKeys(page->Key(entry), key.data()) > 0 &&
                        (entry > 1 ? CompareIndexKeys(page->Key(entry - 1), key.data()) < 0
                                   : page->PrevPage() == 0) &&
                        Visible(static_cast<std::int32_t>(page->Value(entry)));
  if (follower) {
    // One key before it left: the follower has the ordinal the record had.
    position_.Value = page->Value(entry);
    std::memcpy(position_.Key.data(), page->Key(entry), key_length_);
    ordinal_ = static_cast<std::int32_t>(position_.Ordinal);
    record_no_ = static_cast<std::int32_t>(position_.Value);
    step_leaf_.page = nullptr;
    bof_ = eof_ = false;
  }
  index.ReleasePage(page);
  if (!follower) return false;
  LoadCurrent(TReadDirection::kForward);
  return true;
}

std::uint16_t TDataCursor::SetToCursor(TDataCursor& other) {
  if (!IsOpen() || !other.IsOpen()) return TABULA_RECNOTFOUND;
  TReadFrame frame(*this, TReadFrame::kCheck);
  if (other.record_no_ == 0) return TABULA_RECNOTFOUND;
  if (record_order_) {
    const bool reached = SeekRecordNo(other.record_no_);
    LoadCurrent(TReadDirection::kForward);
    return reached ? 0 : TABULA_RECNOTFOUND;
  }
  std::vector<std::uint8_t> key(key_length_);
  const std::uint16_t code = index_keys_->BuildKey(
      other.record_image_.data(), static_cast<std::size_t>(record_size_), key.data());
  if (code != 0) Raise(code);
  if (range_active_ && (CompareIndexKeys(key.data(), range_start_key_.data()) < 0 ||
                        CompareIndexKeys(key.data(), range_end_key_.data()) > 0)) {
    return TABULA_RECNOTFOUND;
  }
  if (!Search(key.data(), false, false)) return TABULA_RECNOTFOUND;
  LoadCurrent(TReadDirection::kForward);
  return 0;
}

std::unique_ptr<TDataCursor> TDataCursor::CloneCursor() {
  if (!IsOpen()) return nullptr;
  auto clone = std::make_unique<TDataCursor>(database_);
  clone->SetTableName(table_name_);
  clone->SetExclusive(exclusive_);
  clone->SetShareExclusive(exclusive_);
  clone->SetReadOnly(read_only_);
  clone->SetInMemory(in_memory_);
  clone->SetTemporary(temporary_);
  clone->SetQueryResult(query_result_);
  clone->SetNaturalOrder(current_index_ == kNoIndex);
  clone->password_callback_ = password_callback_;
  clone->password_context_ = password_context_;
  clone->Open();
  clone->descriptors_ = descriptors_;
  clone->field_plans_ = field_plans_;
  clone->record_image_.resize(record_image_.size());
  if (current_index_ != kNoIndex) clone->SetIndexName(index_name_);
  if (range_active_ && !clone->record_order_) {
    TReadFrame frame(*clone, TReadFrame::kCheck);
    clone->range_start_key_ = range_start_key_;
    clone->range_end_key_ = range_end_key_;
    clone->range_active_ = true;
    clone->ComputeRangePositions();
    clone->RebuildBitmaps();
  }
  // Filters are added again here, with their expressions and options, once they exist.
  if (record_no_ != 0) {
    clone->SetToCursor(*this);
    clone->bof_ = bof_;
    clone->eof_ = eof_;
  }
  return clone;
}

void TDataCursor::Refresh() {
  if (!IsOpen()) return;
  TReadFrame frame(*this, TReadFrame::kLock);
  if (frame.Resynced()) return;
  RememberChangeCounters();
  const bool had_record = record_no_ != 0;
  std::vector<std::uint8_t> bookmark(GetBookmarkSize());
  GetBookmark(bookmark.data());
  ComputeRangePositions();
  RebuildBitmaps();
  if (had_record) {
    SetToBookmark(bookmark.data(), true, true);
  } else {
    ClearPosition();
    LoadCurrent(TReadDirection::kForward);
  }
}

}  // namespace tabula
