#include "engine/storage/record_cache.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"

namespace tabula {

namespace {

// The slot of a record number in a hash table of 2^bits slots. Fibonacci hashing: neighbouring
// numbers (a scan's window) spread over the table, so a number that misses does not probe
// along a run of them.
std::size_t SlotOfNumber(std::int32_t record_no, int bits) {
  return static_cast<std::size_t>((static_cast<std::uint32_t>(record_no) * 0x9E3779B9u) >>
                                  (32 - bits));
}

// An active image carries its own number; a deleted one keeps its free-chain link there.
void StampOwnNumber(std::uint8_t* image, std::size_t size, std::int32_t record_no) {
  if (size >= kRecordIdentifier && image[kRecordStatus] == kStatusActive) {
    EncodeFixed32(&image[kRecordNoOrLink], static_cast<std::uint32_t>(record_no));
  }
}

}  // namespace

void TRecord::SetRecordNo(std::int32_t record_no) {
  assert(cache_ == nullptr || record_no == record_no_);
  record_no_ = record_no;
  StampOwnNumber(image_, size_, record_no);
}

void TRecord::SetDirty(bool dirty) {
  if (dirty_ == dirty) return;
  if (cache_ == nullptr) {
    dirty_ = dirty;
    return;
  }
  cache_->Unlink(this);
  dirty_ = dirty;
  cache_->PushFront(this);
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
  if (size_ > 0) std::memcpy(image_, plain, size_);
  StampOwnNumber(image_, size_, record_no_);
  SetDirty(false);
}

void TRecord::Clear() {
  if (size_ > 0) std::memset(image_, 0, size_);
  if (size_ >= kRecordIdentifier) {
    EncodeFixed32(&image_[kRecordNoOrLink], static_cast<std::uint32_t>(record_no_));
  }
  pin_count_ = 0;
  SetDirty(false);
}

TRecordCache::TRecordCache(TRecordFile& file)
    : file_(file),
      record_size_(static_cast<std::size_t>(std::max<std::int32_t>(file.RecordSize(), 0))),
      capacity_(0),
      shadow_(static_cast<std::size_t>(std::max<std::int32_t>(file.RecordSize(), 1))) {
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

std::size_t TRecordCache::BucketOf(std::int32_t record_no) const {
  return SlotOfNumber(record_no, bucket_bits_);
}

TRecord* TRecordCache::Find(std::int32_t record_no) const {
  if (cached_count_ == 0) return nullptr;
  const std::size_t mask = buckets_.size() - 1;
  for (std::size_t i = BucketOf(record_no);; i = (i + 1) & mask) {
    TRecord* r = buckets_[i];
    if (r == nullptr || r->record_no_ == record_no) return r;
  }
}

void TRecordCache::ReserveBucket() {
  if ((cached_count_ + 1) * 2 <= buckets_.size()) return;
  // Straight to the size the cache will reach when it fills (the smaller of its capacity and
  // the file's records), so that loading a table rehashes once, not at every doubling.
  const std::size_t expected = static_cast<std::size_t>(
      std::max(std::min(capacity_, file_.NextRecordNo()), static_cast<std::int32_t>(1)));
  const std::size_t wanted = std::max(cached_count_ + 1, expected) * 2;
  int bits = std::max(bucket_bits_ + 1, 6);
  while ((std::size_t{1} << bits) < wanted && bits < 30) ++bits;
  std::vector<TRecord*> old(std::size_t{1} << bits, nullptr);
  old.swap(buckets_);
  bucket_bits_ = bits;
  const std::size_t mask = buckets_.size() - 1;
  for (TRecord* r : old) {
    if (r == nullptr) continue;
    std::size_t i = BucketOf(r->record_no_);
    while (buckets_[i] != nullptr) i = (i + 1) & mask;
    buckets_[i] = r;
  }
}

void TRecordCache::Unlink(TRecord* record) {
  TUseList& list = ListOf(record);
  if (record->newer_ != nullptr) {
    record->newer_->older_ = record->older_;
  } else if (list.newest == record) {
    list.newest = record->older_;
  }
  if (record->older_ != nullptr) {
    record->older_->newer_ = record->newer_;
  } else if (list.oldest == record) {
    list.oldest = record->newer_;
  }
  record->newer_ = record->older_ = nullptr;
  if (record->dirty_) --dirty_count_;
}

void TRecordCache::PushFront(TRecord* record) {
  TUseList& list = ListOf(record);
  record->newer_ = nullptr;
  record->older_ = list.newest;
  if (list.newest != nullptr) list.newest->newer_ = record;
  list.newest = record;
  if (list.oldest == nullptr) list.oldest = record;
  if (record->dirty_) {
    ++dirty_count_;
    ++dirty_generation_;
  }
}

void TRecordCache::PushBack(TRecord* record) {
  TUseList& list = ListOf(record);
  record->older_ = nullptr;
  record->newer_ = list.oldest;
  if (list.oldest != nullptr) list.oldest->older_ = record;
  list.oldest = record;
  if (list.newest == nullptr) list.newest = record;
  if (record->dirty_) {
    ++dirty_count_;
    ++dirty_generation_;
  }
}

void TRecordCache::MoveToFront(TRecord* record) {
  if (ListOf(record).newest == record) return;
  Unlink(record);
  PushFront(record);
}

void TRecordCache::Insert(TRecord* record) {
  ReserveBucket();
  const std::size_t mask = buckets_.size() - 1;
  std::size_t i = BucketOf(record->record_no_);
  while (buckets_[i] != nullptr) i = (i + 1) & mask;
  buckets_[i] = record;
  ++cached_count_;
  record->cache_ = this;
  PushFront(record);
}

void TRecordCache::Remove(TRecord* record) {
  const std::size_t mask = buckets_.size() - 1;
  std::size_t hole = cached_count_ == 0 ? 0 : BucketOf(record->record_no_);
  while (cached_count_ != 0 && buckets_[hole] != nullptr && buckets_[hole] != record) {
    hole = (hole + 1) & mask;
  }
  if (cached_count_ == 0 || buckets_[hole] != record) {
    RaiseTableError(TABULA_FILECORRUPT, file_.TableName());
  }
  // Backward shift: each following entry of the probe run moves into the hole unless its
  // home bucket lies cyclically after the hole (it would then no longer be found).
  for (std::size_t next = (hole + 1) & mask; buckets_[next] != nullptr; next = (next + 1) & mask) {
    const std::size_t home = BucketOf(buckets_[next]->record_no_);
    const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    buckets_[hole] = buckets_[next];
    hole = next;
  }
  buckets_[hole] = nullptr;
  --cached_count_;
  Unlink(record);
  record->cache_ = nullptr;
}

TRecord* TRecordCache::LeastRecentlyUsedFree() const {
  // Only pinned records are passed over: a cursor pins few at a time.
  for (TRecord* r = clean_list_.oldest; r != nullptr; r = r->newer_) {
    if (r->pin_count_ == 0) return r;
  }
  return nullptr;
}

TRecord* TRecordCache::NewSlot() {
  if (free_ == nullptr) {
    const std::int32_t count = std::clamp(slot_count_, kSlabFirstRecords, kSlabMostRecords);
    TSlab slab;
    slab.records.reset(new TRecord[static_cast<std::size_t>(count)]);
    if (record_size_ > 0) {
      slab.images.reset(new std::uint8_t[record_size_ * static_cast<std::size_t>(count)]);
    }
    for (std::int32_t i = count - 1; i >= 0; --i) {
      TRecord* slot = &slab.records[static_cast<std::size_t>(i)];
      slot->size_ = record_size_;
      if (record_size_ > 0) {
        slot->image_ = slab.images.get() + record_size_ * static_cast<std::size_t>(i);
      }
      slot->newer_ = free_;
      free_ = slot;
    }
    slabs_.push_back(std::move(slab));
    slot_count_ += count;
  }
  TRecord* slot = free_;
  free_ = slot->newer_;
  slot->newer_ = nullptr;
  return slot;
}

void TRecordCache::FreeSlot(TRecord* slot) {
  slot->pin_count_ = 0;
  slot->dirty_ = false;
  slot->older_ = nullptr;
  slot->newer_ = free_;
  free_ = slot;
}

TRecord* TRecordCache::TakeSlot(std::int32_t record_no, const std::uint8_t* plain) {
  TRecord* slot = nullptr;
  if (static_cast<std::int32_t>(cached_count_) < capacity_) {
    slot = NewSlot();
  } else {
    TRecord* victim = LeastRecentlyUsedFree();
    if (victim == nullptr) {
      // Outside a transaction the dirty records are written; inside one they go to the
      // shadow, never to the table file.
      const bool made_room = file_.HoldsTransactionLock() ? Spill() : WriteDirty();
      if (made_room) victim = LeastRecentlyUsedFree();
    }
    if (victim != nullptr) {
      Remove(victim);
      slot = victim;
    } else {
      // Everything is dirty or pinned and may not be written: the cache grows.
      capacity_ += kCacheGrowth;
      slot = NewSlot();
    }
  }
  slot->record_no_ = record_no;
  slot->pin_count_ = 0;
  slot->dirty_ = false;
  if (plain != nullptr) {
    slot->LoadImage(plain);
  } else {
    slot->Clear();
  }
  return slot;
}

TRecord* TRecordCache::GetRecord(TRecordCacheCursor* cursor, std::int32_t record_no,
                                 bool read_ahead, TReadDirection direction, bool use_cursor_order) {
  if (record_no <= 0) RaiseTableError(TABULA_FILECORRUPT, file_.TableName());

  if (record_no == file_.NextRecordNo()) {
    TRecord* record = TakeSlot(record_no, nullptr);
    try {
      file_.AppendRecordNo(record_no);  // raises TABULA_TABLEFULL
    } catch (...) {
      FreeSlot(record);
      throw;
    }
    record->Pin();
    Insert(record);
    ++stats_.hits;
    return record;
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
  // Spilled records exist only in the shadow while the transaction runs.
  if (bytes < wanted && !file_.ShortReadAllowed() && shadow_.Empty()) {
    RaiseTableError(TABULA_READERR, file_.TableName());
  }
  ++stats_.reads_done;
  std::int32_t whole =
      bytes <= 0 ? 0 : static_cast<std::int32_t>(bytes / static_cast<std::int64_t>(record_size));
  if (!shadow_.Empty()) {
    // Spilled records replace what the table file holds (their committed images).
    std::int32_t k = 0;
    while (k < count) {
      if (!shadow_.Holds(static_cast<std::uint32_t>(first + k))) {
        ++k;
        continue;
      }
      std::int32_t run = 1;
      while (k + run < count && shadow_.Holds(static_cast<std::uint32_t>(first + k + run))) ++run;
      if (k > whole) {
        // Between the file's end and a spilled record: records held in the cache only.
        std::memset(read_buffer_.data() + record_size * static_cast<std::size_t>(whole), 0,
                    record_size * static_cast<std::size_t>(k - whole));
      }
      if (!shadow_.Read(static_cast<std::uint32_t>(first + k), static_cast<std::uint32_t>(run),
                        read_buffer_.data() + record_size * static_cast<std::size_t>(k))) {
        RaiseTableError(TABULA_READERR, file_.TableName());
      }
      k += run;
      whole = std::max(whole, k);
    }
  }

  // The requested record is processed last, so that it ends up most recently used. Images
  // are unscrambled in place: the buffer is ours and read again only by the next transfer.
  for (std::int32_t i = 0; i < whole; ++i) {
    const std::int32_t k = (direction == TReadDirection::kForward) ? whole - 1 - i : i;
    const std::int32_t record_no = first + k;
    std::uint8_t* plain = read_buffer_.data() + record_size * static_cast<std::size_t>(k);
    file_.ScrambleImage(plain);
    if (TRecord* cached = Find(record_no)) {
      if (!cached->dirty_ && cached->pin_count_ == 0) cached->LoadImage(plain);
      MoveToFront(cached);
      continue;
    }
    Insert(TakeSlot(record_no, plain));
  }
}

template <typename TSkip, typename TTake>
void TRecordCache::ReadListed(const std::vector<std::int32_t>& numbers, TSkip skip, TTake take) {
  const std::int32_t record_size = file_.RecordSize();
  if (record_size <= 0) return;
  const auto size = static_cast<std::size_t>(record_size);
  const std::int32_t max_gap = kReadGapBytes / record_size;
  const std::int32_t max_span = std::max(kReadSpanBytes / record_size, 1);
  const std::int32_t next_record = file_.NextRecordNo();
  std::size_t at = 0;
  while (at < numbers.size()) {
    const std::int32_t first = numbers[at];
    if (first <= 0 || first >= next_record || skip(first)) {
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
    for (std::size_t i = at; i < end; ++i) {
      const std::int32_t k = numbers[i] - first;
      if (k >= whole || skip(numbers[i])) continue;
      std::uint8_t* plain = span_buffer_.data() + size * static_cast<std::size_t>(k);
      file_.ScrambleImage(plain);
      take(numbers[i], plain);
    }
    at = end;
  }
}

void TRecordCache::LoadRecords(const std::vector<std::int32_t>& numbers) {
  // Inside a transaction the cache may hold records that the file does not: each read then
  // goes through GetRecord.
  if (file_.HoldsTransactionLock()) return;
  ReadListed(
      numbers, [this](std::int32_t n) { return Find(n) != nullptr; },
      [this](std::int32_t n, const std::uint8_t* plain) { Insert(TakeSlot(n, plain)); });
}

std::int32_t TRecordCache::StreamRecords() const {
  return record_size_ == 0 ? 1
                           : std::max(kStreamBytes / static_cast<std::int32_t>(record_size_), 1);
}

std::int32_t TRecordCache::LargestStream() const {
  return std::max(CacheLimit() / 4 * 3, StreamRecords());
}

std::uint8_t* TRecordCache::StreamBuffer(std::size_t records) {
  const std::size_t wanted = record_size_ * records;
  if (stream_capacity_ < wanted) {
    // Zeroing or copying would cost as much as the read: the buffer is allocated, not filled.
    const std::size_t largest = record_size_ * static_cast<std::size_t>(LargestStream());
    stream_buffer_.reset();
    stream_capacity_ = std::max(wanted, largest);
    stream_buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(stream_capacity_);
  }
  return stream_buffer_.get();
}

bool TRecordCache::LoadStream(const TRecordCacheCursor* owner,
                              const std::vector<std::int32_t>& numbers, bool forward,
                              std::int32_t most) {
  if (!StreamFreeFor(owner)) return false;
  stream_count_ = 0;
  if (numbers.empty() || !ShouldStream()) return false;
  std::int32_t first = numbers.front();
  std::int32_t last = std::min(numbers.back(), file_.NextRecordNo() - 1);
  if (first <= 0 || last < first) return false;
  most = std::max(most, 1);
  if (last - first >= most) {
    if (forward) {
      last = first + most - 1;
    } else {
      first = last - most + 1;
    }
  }
  const std::int32_t count = last - first + 1;
  const std::size_t wanted = record_size_ * static_cast<std::size_t>(count);
  std::uint8_t* buffer = StreamBuffer(static_cast<std::size_t>(count));
  ++stats_.reads_begun;
  const std::int64_t bytes = file_.ReadRecords(first, count, buffer);
  if (bytes < static_cast<std::int64_t>(wanted) && !file_.ShortReadAllowed()) {
    RaiseTableError(TABULA_READERR, file_.TableName());
  }
  ++stats_.reads_done;
  const std::int32_t whole =
      bytes <= 0 ? 0 : static_cast<std::int32_t>(bytes / static_cast<std::int64_t>(record_size_));
  for (std::int32_t k = 0; k < whole; ++k) {
    std::uint8_t* plain = buffer + record_size_ * static_cast<std::size_t>(k);
    file_.ScrambleImage(plain);
    StampOwnNumber(plain, record_size_, first + k);
  }
  ++stats_.streams;
  stream_owner_ = owner;
  stream_sparse_ = false;
  stream_first_ = first;
  stream_count_ = whole;
  stream_generation_ = dirty_generation_;
  return true;
}

bool TRecordCache::LoadScatteredStream(const TRecordCacheCursor* owner,
                                       const std::vector<std::int32_t>& numbers) {
  if (!StreamFreeFor(owner)) return false;
  stream_count_ = 0;
  if (numbers.empty() || !ShouldStream()) return false;
  std::uint8_t* buffer = StreamBuffer(numbers.size());
  // An open-addressing table at most half full, for the scan's lookups in index order.
  stream_slot_bits_ = 4;
  while ((std::size_t{1} << stream_slot_bits_) < 2 * numbers.size()) ++stream_slot_bits_;
  stream_slots_.assign(std::size_t{1} << stream_slot_bits_, TStreamSlot{});
  std::int32_t count = 0;
  ReadListed(
      numbers, [](std::int32_t) { return false; },
      [this, buffer, &count](std::int32_t n, const std::uint8_t* plain) {
        std::uint8_t* image = buffer + record_size_ * static_cast<std::size_t>(count);
        std::memcpy(image, plain, record_size_);
        StampOwnNumber(image, record_size_, n);
        const std::size_t mask = stream_slots_.size() - 1;
        std::size_t slot = StreamSlotOf(n);
        while (stream_slots_[slot].RecordNo != 0) slot = (slot + 1) & mask;
        stream_slots_[slot] = TStreamSlot{n, count++};
      });
  ++stats_.streams;
  stream_owner_ = owner;
  stream_sparse_ = true;
  stream_count_ = count;
  stream_generation_ = dirty_generation_;
  return true;
}

std::size_t TRecordCache::StreamSlotOf(std::int32_t record_no) const {
  return SlotOfNumber(record_no, stream_slot_bits_);
}

const std::uint8_t* TRecordCache::SparseStreamImage(std::int32_t record_no) const {
  if (record_no <= 0) return nullptr;  // 0 marks an empty slot
  const std::size_t mask = stream_slots_.size() - 1;
  for (std::size_t slot = StreamSlotOf(record_no);; slot = (slot + 1) & mask) {
    const TStreamSlot& entry = stream_slots_[slot];
    if (entry.RecordNo == record_no) {
      return stream_buffer_.get() + record_size_ * static_cast<std::size_t>(entry.Image);
    }
    if (entry.RecordNo == 0) return nullptr;
  }
}

std::vector<TRecord*> TRecordCache::WritableDirty() const {
  const std::int32_t window_end = window_first_ + window_count_;
  std::vector<TRecord*> records;
  records.reserve(dirty_count_);
  for (TRecord* r = dirty_list_.newest; r != nullptr; r = r->older_) {
    if (r->pin_count_ != 0) continue;
    if (window_count_ > 0 && r->record_no_ >= window_first_ && r->record_no_ < window_end) continue;
    records.push_back(r);
  }
  std::sort(records.begin(), records.end(),
            [](const TRecord* a, const TRecord* b) { return a->record_no_ < b->record_no_; });
  return records;
}

template <typename TRunWriter>
void TRecordCache::ForEachRun(const std::vector<TRecord*>& records, TRunWriter write) {
  const std::size_t record_size = static_cast<std::size_t>(file_.RecordSize());
  std::size_t at = 0;
  while (at < records.size()) {
    std::size_t end = at + 1;
    while (end < records.size() && records[end]->record_no_ == records[end - 1]->record_no_ + 1) {
      ++end;
    }
    const std::size_t count = end - at;
    write_buffer_.resize(record_size * count);
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t* image = write_buffer_.data() + record_size * i;
      std::memcpy(image, records[at + i]->image_, record_size);
      file_.ScrambleImage(image);
    }
    write(records[at]->record_no_, static_cast<std::int32_t>(count), write_buffer_.data());
    at = end;
  }
}

bool TRecordCache::WriteDirty() {
  bool wrote = false;
  if (!shadow_.Empty()) {
    // The spilled records first: the ones still dirty in memory are newer and follow.
    const bool copied = shadow_.CopyRuns(
        std::size_t{1} << 18,
        [this](std::uint32_t first, std::uint32_t count, const std::uint8_t* stored) {
          file_.WriteRecords(static_cast<std::int32_t>(first), static_cast<std::int32_t>(count),
                             stored);
          ++stats_.runs_written;
        });
    if (!copied) RaiseTableError(TABULA_READERR, file_.TableName());
    shadow_.Clear();
    wrote = true;
  }
  const std::vector<TRecord*> records = WritableDirty();
  const std::size_t record_size = static_cast<std::size_t>(file_.RecordSize());
  // Dirty records scattered over a stretch of the file (a transaction's updates) go as one
  // transfer each way: the stretch is read, the dirty images laid over it and the whole written
  // back. A gap of up to kGatherGapBytes between two dirty records is worth it.
  const std::int32_t max_gap = static_cast<std::int32_t>(kGatherGapBytes / record_size);
  const std::size_t max_records = std::max<std::size_t>(kGatherSpanBytes / record_size, 1);
  std::size_t at = 0;
  while (at < records.size()) {
    std::size_t end = at + 1;
    std::size_t runs = 1;
    const std::int32_t first = records[at]->record_no_;
    while (end < records.size() &&
           records[end]->record_no_ - records[end - 1]->record_no_ - 1 <= max_gap &&
           static_cast<std::size_t>(records[end]->record_no_ - first) < max_records) {
      if (records[end]->record_no_ != records[end - 1]->record_no_ + 1) ++runs;
      ++end;
    }
    const std::int32_t count = records[end - 1]->record_no_ - first + 1;
    if (runs >= 3 && GatherAndWrite(records, at, end, count)) {
      at = end;
      continue;
    }
    const std::vector<TRecord*> span(records.begin() + static_cast<std::ptrdiff_t>(at),
                                     records.begin() + static_cast<std::ptrdiff_t>(end));
    std::size_t done = 0;
    ForEachRun(span,
               [&](std::int32_t run_first, std::int32_t run_count, const std::uint8_t* stored) {
                 file_.WriteRecords(run_first, run_count, stored);
                 for (std::int32_t i = 0; i < run_count; ++i) span[done + i]->SetDirty(false);
                 done += static_cast<std::size_t>(run_count);
                 ++stats_.runs_written;
               });
    at = end;
  }
  return wrote || !records.empty();
}

bool TRecordCache::GatherAndWrite(const std::vector<TRecord*>& records, std::size_t at,
                                  std::size_t end, std::int32_t count) {
  const std::size_t record_size = static_cast<std::size_t>(file_.RecordSize());
  const std::int32_t first = records[at]->record_no_;
  const std::size_t length = static_cast<std::size_t>(count) * record_size;
  write_buffer_.resize(length);
  // The records between the dirty ones as the file holds them (scrambled when encrypted, as
  // the write expects); a stretch reaching beyond the file's end is written run by run.
  if (file_.ReadRecords(first, count, write_buffer_.data()) != static_cast<std::int64_t>(length)) {
    return false;
  }
  for (std::size_t i = at; i < end; ++i) {
    std::uint8_t* image = write_buffer_.data() +
                          static_cast<std::size_t>(records[i]->record_no_ - first) * record_size;
    std::memcpy(image, records[i]->image_, record_size);
    file_.ScrambleImage(image);
  }
  file_.WriteRecords(first, count, write_buffer_.data());
  for (std::size_t i = at; i < end; ++i) records[i]->SetDirty(false);
  ++stats_.runs_written;
  return true;
}

bool TRecordCache::Spill() {
  const std::vector<TRecord*> records = WritableDirty();
  if (records.empty()) return false;
  if (shadow_.Empty()) shadow_.SetDirectory(file_.SpillDirectory());
  std::size_t done = 0;
  bool failed = false;
  ForEachRun(records, [&](std::int32_t first, std::int32_t count, const std::uint8_t* stored) {
    if (failed) return;
    if (!shadow_.Write(static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(count),
                       stored)) {
      failed = true;
      return;
    }
    // Spilled records are the first to give up their slots.
    for (std::int32_t i = 0; i < count; ++i) {
      TRecord* record = records[done + i];
      Unlink(record);
      record->dirty_ = false;
      PushBack(record);
    }
    done += static_cast<std::size_t>(count);
  });
  return done > 0;
}

void TRecordCache::DiscardAll() {
  for (TUseList* list : {&clean_list_, &dirty_list_}) {
    TRecord* r = list->newest;
    while (r != nullptr) {
      TRecord* older = r->older_;
      r->cache_ = nullptr;
      FreeSlot(r);
      r = older;
    }
    *list = TUseList();
  }
  dirty_count_ = 0;
  std::fill(buckets_.begin(), buckets_.end(), nullptr);
  cached_count_ = 0;
  shadow_.Clear();
  stream_count_ = 0;
}

void TRecordCache::Trim() {
  const std::int32_t limit = CacheLimit();
  bool wrote = false;
  while (static_cast<std::int32_t>(cached_count_) > limit) {
    TRecord* victim = LeastRecentlyUsedFree();
    if (victim == nullptr) {
      if (wrote || file_.HoldsTransactionLock()) break;
      WriteDirty();
      wrote = true;
      continue;
    }
    Remove(victim);
    FreeSlot(victim);
  }
  capacity_ = std::max(static_cast<std::int32_t>(cached_count_), limit);
}

void TRecordCache::AssertInvariants() const {
#ifndef NDEBUG
  std::size_t hashed = 0;
  std::size_t dirty = 0;
  for (const TRecord* r : buckets_) {
    if (r == nullptr) continue;
    assert(Find(r->record_no_) == r);
    assert(r->cache_ == this);
    if (r->dirty_) ++dirty;
    ++hashed;
  }
  assert(hashed == cached_count_);
  assert(cached_count_ * 2 <= buckets_.size() || cached_count_ == 0);
  assert(dirty == dirty_count_);
  std::size_t linked = 0;
  for (const TUseList* list : {&clean_list_, &dirty_list_}) {
    const TRecord* newer = nullptr;
    for (const TRecord* r = list->newest; r != nullptr; r = r->older_) {
      assert(r->newer_ == newer);
      assert(r->dirty_ == (list == &dirty_list_));
      assert(Find(r->record_no_) == r);
      newer = r;
      ++linked;
    }
    assert(list->oldest == newer);
  }
  assert(linked == cached_count_);
  std::size_t free_slots = 0;
  for (const TRecord* r = free_; r != nullptr; r = r->newer_) {
    assert(r->cache_ == nullptr);
    ++free_slots;
  }
  assert(free_slots + cached_count_ == static_cast<std::size_t>(slot_count_));
#endif
}

}  // namespace tabula
