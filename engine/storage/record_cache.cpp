#include "engine/storage/record_cache.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"

namespace tabula {

TRecord::TRecord(std::size_t record_size) : image_(record_size, 0) {}

void TRecord::SetRecordNo(std::int32_t record_no) {
  record_no_ = record_no;
  if (image_.size() >= kRecordIdentifier && image_[kRecordStatus] == kStatusActive) {
    EncodeFixed32(&image_[kRecordNoOrLink], static_cast<std::uint32_t>(record_no));
  }
}

void TRecord::SetDirty(bool dirty) {
  if (dirty_ == dirty) return;
  dirty_ = dirty;
  if (cache_ != nullptr) cache_->DirtyChanged(record_no_, dirty);
}

void TRecord::SetStatus(std::uint8_t status) {
  image_[kRecordStatus] = status;
  SetDirty(true);
}

void TRecord::SetLink(std::int32_t link) {
  EncodeFixed32(&image_[kRecordNoOrLink], static_cast<std::uint32_t>(link));
  SetDirty(true);
}

std::int32_t TRecord::Link() const {
  return static_cast<std::int32_t>(DecodeFixed32(&image_[kRecordNoOrLink]));
}

void TRecord::LoadImage(const std::uint8_t* plain) {
  std::memcpy(image_.data(), plain, image_.size());
  if (image_.size() >= kRecordIdentifier && image_[kRecordStatus] == kStatusActive) {
    EncodeFixed32(&image_[kRecordNoOrLink], static_cast<std::uint32_t>(record_no_));
  }
  SetDirty(false);
}

void TRecord::Clear() {
  std::fill(image_.begin(), image_.end(), 0);
  if (image_.size() >= kRecordIdentifier) {
    EncodeFixed32(&image_[kRecordNoOrLink], static_cast<std::uint32_t>(record_no_));
  }
  pin_count_ = 0;
  SetDirty(false);
  sort_key_.clear();
}

std::unique_ptr<TRecord> TRecordStack::Take() {
  if (pool_.empty()) return std::make_unique<TRecord>(record_size_);
  std::unique_ptr<TRecord> record = std::move(pool_.back());
  pool_.pop_back();
  record->Clear();
  return record;
}

void TRecordStack::Return(std::unique_ptr<TRecord> record) {
  if (pool_.size() >= kRecordPoolCapacity) return;  // frees it
  record->newer_ = record->older_ = nullptr;
  pool_.push_back(std::move(record));
}

TRecordCache::TRecordCache(TRecordFile& file)
    : file_(file),
      capacity_(0),
      pool_(static_cast<std::size_t>(std::max<std::int32_t>(file.RecordSize(), 0))) {
  capacity_ = CacheLimit();
}

TRecordCache::~TRecordCache() = default;

std::int32_t TRecordCache::CacheLimit() const {
  const std::int32_t record_size = file_.RecordSize();
  const std::int32_t count = file_.DataBufferCount();
  if (record_size <= 0) return std::max(count, 1);
  return std::max(std::min(file_.DataBufferSize() / record_size, count), 1);
}

std::int32_t TRecordCache::ReadAheadRecords() const {
  const std::int32_t record_size = file_.RecordSize();
  if (record_size <= 0) return 1;
  return std::max(kReadAheadBytes / record_size, 1);
}

TRecord* TRecordCache::Find(std::int32_t record_no) const {
  const auto it = sorted_.find(record_no);
  return it != sorted_.end() ? it->second.get() : nullptr;
}

void TRecordCache::Unlink(TRecord* record) {
  if (record->newer_ != nullptr) {
    record->newer_->older_ = record->older_;
  } else if (newest_ == record) {
    newest_ = record->older_;
  }
  if (record->older_ != nullptr) {
    record->older_->newer_ = record->newer_;
  } else if (oldest_ == record) {
    oldest_ = record->newer_;
  }
  record->newer_ = record->older_ = nullptr;
}

void TRecordCache::PushFront(TRecord* record) {
  record->newer_ = nullptr;
  record->older_ = newest_;
  if (newest_ != nullptr) newest_->newer_ = record;
  newest_ = record;
  if (oldest_ == nullptr) oldest_ = record;
}

void TRecordCache::MoveToFront(TRecord* record) {
  if (newest_ == record) return;
  Unlink(record);
  PushFront(record);
}

void TRecordCache::Insert(std::unique_ptr<TRecord> record) {
  TRecord* raw = record.get();
  raw->cache_ = this;
  if (raw->dirty_) dirty_records_.insert(raw->record_no_);
  sorted_.emplace(raw->record_no_, std::move(record));
  PushFront(raw);
}

void TRecordCache::DirtyChanged(std::int32_t record_no, bool dirty) {
  if (dirty) {
    dirty_records_.insert(record_no);
  } else {
    dirty_records_.erase(record_no);
  }
}

std::unique_ptr<TRecord> TRecordCache::Remove(TRecord* record) {
  const auto it = sorted_.find(record->record_no_);
  if (it == sorted_.end() || it->second.get() != record) {
    RaiseTableError(TABULA_FILECORRUPT, file_.TableName());
  }
  Unlink(record);
  if (record->dirty_) dirty_records_.erase(record->record_no_);
  record->cache_ = nullptr;
  std::unique_ptr<TRecord> owned = std::move(it->second);
  sorted_.erase(it);
  return owned;
}

TRecord* TRecordCache::LeastRecentlyUsedFree() const {
  for (TRecord* r = oldest_; r != nullptr; r = r->newer_) {
    if (!r->dirty_ && r->pin_count_ == 0) return r;
  }
  return nullptr;
}

std::unique_ptr<TRecord> TRecordCache::TakeSlot(std::int32_t record_no) {
  std::unique_ptr<TRecord> slot;
  if (static_cast<std::int32_t>(sorted_.size()) < capacity_) {
    slot = pool_.Take();
  } else {
    TRecord* victim = LeastRecentlyUsedFree();
    if (victim == nullptr && !file_.HoldsTransactionLock()) {
      WriteDirty();
      victim = LeastRecentlyUsedFree();
    }
    if (victim != nullptr) {
      slot = Remove(victim);
    } else {
      // Everything is dirty or pinned and may not be written: the cache grows.
      capacity_ += kCacheGrowth;
      slot = pool_.Take();
    }
  }
  slot->record_no_ = record_no;
  slot->Clear();
  return slot;
}

TRecord* TRecordCache::GetRecord(TRecordCacheCursor* cursor, std::int32_t record_no,
                                 bool read_ahead, TReadDirection direction, bool use_cursor_order) {
  if (record_no <= 0) RaiseTableError(TABULA_FILECORRUPT, file_.TableName());

  if (record_no == file_.NextRecordNo()) {
    std::unique_ptr<TRecord> slot = TakeSlot(record_no);
    file_.AppendRecordNo(record_no);  // raises TABULA_TABLEFULL; the slot is then freed
    TRecord* record = slot.get();
    record->Pin();
    Insert(std::move(slot));
    ++stats_.hits;
    return record;
  }

  // The few most recently used records first: a cursor usually asks for the same or a
  // neighbouring record again.
  int looked = 0;
  for (TRecord* r = newest_; r != nullptr && looked < 4; r = r->older_, ++looked) {
    if (r->record_no_ == record_no) {
      MoveToFront(r);
      ++stats_.hits;
      r->Pin();
      return r;
    }
  }
  if (TRecord* r = Find(record_no)) {
    MoveToFront(r);
    ++stats_.hits;
    r->Pin();
    return r;
  }

  if (cursor != nullptr && !file_.StrictChangeDetection()) {
    if (cursor->LockAndCheckForChanges()) return nullptr;
  }

  std::int32_t count = 1;
  if (read_ahead) {
    const std::int32_t block = ReadAheadRecords();
    if (use_cursor_order && cursor != nullptr) {
      count = std::clamp(cursor->ConsecutiveRecordsAhead(record_no, direction, block), 1, block);
    } else if (direction == TReadDirection::kForward) {
      count = std::clamp(file_.NextRecordNo() - record_no, 1, block);
    } else {
      count = block;
    }
  }
  std::int32_t first = record_no;
  if (direction == TReadDirection::kBackward) {
    count = std::min(count, record_no);
    first = record_no - count + 1;
  }
  ReadBlock(first, count, direction);

  TRecord* record = Find(record_no);
  if (record == nullptr) RaiseTableError(TABULA_FILECORRUPT, file_.TableName());
  MoveToFront(record);
  record->Pin();
  return record;
}

void TRecordCache::ReadBlock(std::int32_t first, std::int32_t count, TReadDirection direction) {
  const std::size_t record_size = static_cast<std::size_t>(file_.RecordSize());
  read_buffer_.resize(record_size * static_cast<std::size_t>(count));
  window_first_ = first;
  window_count_ = count;
  struct TWindowReset {
    TRecordCache* cache;
    ~TWindowReset() { cache->window_count_ = 0; }
  } window_reset{this};

  ++stats_.reads_begun;
  const std::int64_t bytes = file_.ReadRecords(first, count, read_buffer_.data());
  const std::int64_t wanted = static_cast<std::int64_t>(read_buffer_.size());
  if (bytes < wanted && !file_.ShortReadAllowed()) {
    RaiseTableError(TABULA_READERR, file_.TableName());
  }
  ++stats_.reads_done;
  const std::int32_t whole =
      bytes <= 0 ? 0 : static_cast<std::int32_t>(bytes / static_cast<std::int64_t>(record_size));

  // The requested record is processed last, so that it ends up most recently used.
  std::vector<std::uint8_t>& plain = plain_buffer_;
  plain.resize(record_size);
  for (std::int32_t i = 0; i < whole; ++i) {
    const std::int32_t k = (direction == TReadDirection::kForward) ? whole - 1 - i : i;
    const std::int32_t record_no = first + k;
    std::memcpy(plain.data(), read_buffer_.data() + record_size * static_cast<std::size_t>(k),
                record_size);
    file_.ScrambleImage(plain.data());
    if (TRecord* cached = Find(record_no)) {
      if (!cached->dirty_ && cached->pin_count_ == 0) cached->LoadImage(plain.data());
      MoveToFront(cached);
      continue;
    }
    std::unique_ptr<TRecord> slot = TakeSlot(record_no);
    slot->LoadImage(plain.data());
    Insert(std::move(slot));
  }
}

void TRecordCache::LoadRecords(const std::vector<std::int32_t>& numbers) {
  const std::int32_t record_size = file_.RecordSize();
  // Inside a transaction the cache may hold records that the file does not: each read then
  // goes through GetRecord.
  if (record_size <= 0 || file_.HoldsTransactionLock()) return;
  const std::int32_t max_gap = kReadGapBytes / record_size;
  const std::int32_t max_span = std::max(kReadSpanBytes / record_size, 1);
  const std::int32_t next_record = file_.NextRecordNo();
  const std::size_t size = static_cast<std::size_t>(record_size);
  std::size_t at = 0;
  while (at < numbers.size()) {
    const std::int32_t first = numbers[at];
    if (first <= 0 || first >= next_record || Find(first) != nullptr) {
      ++at;
      continue;
    }
    // The group: following listed records close enough to share the transfer.
    std::size_t end = at + 1;
    while (end < numbers.size() && numbers[end] > numbers[end - 1] && numbers[end] < next_record &&
           numbers[end] - numbers[end - 1] - 1 <= max_gap && numbers[end] - first < max_span) {
      ++end;
    }
    const std::int32_t count = numbers[end - 1] - first + 1;
    const std::size_t wanted = size * static_cast<std::size_t>(count);
    // Only grown: resizing a vector up fills it, which costs as much as the read.
    if (span_buffer_.size() < wanted) span_buffer_.resize(wanted);
    window_first_ = first;
    window_count_ = count;
    struct TWindowReset {
      TRecordCache* cache;
      ~TWindowReset() { cache->window_count_ = 0; }
    } window_reset{this};
    ++stats_.reads_begun;
    const std::int64_t bytes = file_.ReadRecords(first, count, span_buffer_.data());
    if (bytes < static_cast<std::int64_t>(wanted) && !file_.ShortReadAllowed()) {
      RaiseTableError(TABULA_READERR, file_.TableName());
    }
    ++stats_.reads_done;
    const std::int32_t whole = bytes <= 0 ? 0 : static_cast<std::int32_t>(bytes / record_size);
    plain_buffer_.resize(size);
    for (std::size_t i = at; i < end; ++i) {
      const std::int32_t k = numbers[i] - first;
      if (k >= whole || Find(numbers[i]) != nullptr) continue;
      std::memcpy(plain_buffer_.data(), span_buffer_.data() + size * static_cast<std::size_t>(k),
                  size);
      file_.ScrambleImage(plain_buffer_.data());
      std::unique_ptr<TRecord> slot = TakeSlot(numbers[i]);
      slot->LoadImage(plain_buffer_.data());
      Insert(std::move(slot));
    }
    at = end;
  }
}

bool TRecordCache::WriteDirty() {
  const std::size_t record_size = static_cast<std::size_t>(file_.RecordSize());
  const std::int32_t window_end = window_first_ + window_count_;
  bool wrote = false;
  auto writable = [&](const TRecord* r) {
    return r != nullptr && r->dirty_ && r->pin_count_ == 0 &&
           !(window_count_ > 0 && r->record_no_ >= window_first_ && r->record_no_ < window_end);
  };
  // Only the dirty records are visited, in ascending number.
  std::vector<TRecord*> run;
  auto at = dirty_records_.begin();
  while (at != dirty_records_.end()) {
    TRecord* first = Find(*at);
    if (!writable(first)) {
      ++at;
      continue;
    }
    // A run of consecutive record numbers, all writable.
    run.assign(1, first);
    auto end = std::next(at);
    while (end != dirty_records_.end() &&
           *end == first->record_no_ + static_cast<std::int32_t>(run.size())) {
      TRecord* next = Find(*end);
      if (!writable(next)) break;
      run.push_back(next);
      ++end;
    }
    write_buffer_.resize(record_size * run.size());
    for (std::size_t i = 0; i < run.size(); ++i) {
      std::uint8_t* image = write_buffer_.data() + record_size * i;
      std::memcpy(image, run[i]->image_.data(), record_size);
      file_.ScrambleImage(image);
    }
    file_.WriteRecords(first->record_no_, static_cast<std::int32_t>(run.size()),
                       write_buffer_.data());
    at = end;  // clearing the flags below erases the run's numbers behind `at`
    for (TRecord* record : run) record->SetDirty(false);
    ++stats_.runs_written;
    wrote = true;
  }
  return wrote;
}

void TRecordCache::DiscardAll() {
  newest_ = oldest_ = nullptr;
  for (auto& entry : sorted_) {
    entry.second->cache_ = nullptr;
    pool_.Return(std::move(entry.second));
  }
  sorted_.clear();
  dirty_records_.clear();
}

void TRecordCache::Trim() {
  const std::int32_t limit = CacheLimit();
  bool wrote = false;
  while (static_cast<std::int32_t>(sorted_.size()) > limit) {
    TRecord* victim = LeastRecentlyUsedFree();
    if (victim == nullptr) {
      if (wrote || file_.HoldsTransactionLock()) break;
      WriteDirty();
      wrote = true;
      continue;
    }
    pool_.Return(Remove(victim));
  }
  capacity_ = std::max(static_cast<std::int32_t>(sorted_.size()), limit);
}

void TRecordCache::AssertInvariants() const {
#ifndef NDEBUG
  std::size_t dirty = 0;
  for (const auto& entry : sorted_) {
    assert(entry.first == entry.second->record_no_);
    assert(entry.second->cache_ == this);
    if (entry.second->dirty_) ++dirty;
  }
  assert(dirty == dirty_records_.size());
  std::size_t linked = 0;
  const TRecord* newer = nullptr;
  for (const TRecord* r = newest_; r != nullptr; r = r->older_) {
    assert(r->newer_ == newer);
    assert(Find(r->record_no_) == r);
    newer = r;
    ++linked;
  }
  assert(oldest_ == newer);
  assert(linked == sorted_.size());
#endif
}

}  // namespace tabula
