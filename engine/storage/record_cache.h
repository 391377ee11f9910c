// The record cache of a data file.
//
// Every record a cursor reads or writes passes through this cache, which all cursors of the
// table object share, except the spans that a scan streams past it (LoadStream). It reads records
// from disk in blocks of about 8 KB in the direction the cursor moves, keeps changed records until
// the table flushes, and writes them back in runs of consecutive record numbers, one write per run.
// A cursor pins the records it uses; a pinned record is never evicted, refreshed from disk or
// written.
//
// The cache talks to its file through TRecordFile (the data file implements it) and to the
// cursor that asks through TRecordCacheCursor (which may be null for internal reads).
//
// Cached images are plain (unscrambled); an active image (status 0) carries its own record
// number at offset 1.
//
// The use order is kept as two lists: the clean records and the dirty ones, each from most to
// least recently used. A slot is taken from the oldest clean record, so a cache full of changed
// records (a transaction) does not walk past all of them for every new record.
//
// Inside a transaction dirty records may not be written to the table file before the commit.
// When the cache is full of them it spills them to a private shadow file (TShadowFile) and
// reuses their slots instead of growing without bound; a spilled record is read back from the
// shadow when needed, and WriteDirty (the commit) copies the shadow to the table file before it
// writes the records still dirty in memory, which are newer. DiscardAll (the rollback) drops the
// shadow. The cache grows only when the shadow cannot be written.
//
// Records live in slots that the cache allocates a slab at a time and keeps for its lifetime:
// a slot whose record is evicted or discarded goes to a free list and is reused, so reading a
// record allocates nothing once the cache has reached its size. A record is found by number
// through an open-addressing hash table (linear probing, deletion by backward shift).
//
// Invariants (checked by AssertInvariants in debug builds):
//   - the hash table holds every cached record under its RecordNo, and nothing else;
//   - the clean list links exactly the clean cached records, the dirty list exactly the dirty
//     ones;
//   - every slot is either cached or on the free list;
//   - CachedCount() <= capacity_, except while a caller still holds pinned records beyond it;
//   - the shadow holds units only while the table holds its transaction lock (or until the
//     next WriteDirty or DiscardAll).
//
// Thread-safety: one thread at a time (the engine's call serialisation); disk transfers take
// the shared file's access lock inside TRecordFile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/shadow_file.h"

namespace tabula {

class TRecordCache;

// Offsets inside every record image.
constexpr std::size_t kRecordStatus = 0;      // 1 byte: 0 active, 1 deleted
constexpr std::size_t kRecordNoOrLink = 1;    // 4 bytes: own number (active) or free-chain link
constexpr std::size_t kRecordIdentifier = 5;  // 4 bytes: record identifier
constexpr std::uint8_t kStatusActive = 0;
constexpr std::uint8_t kStatusDeleted = 1;

// Records per disk read.
constexpr std::int32_t kReadAheadBytes = 8192;
// LoadRecords: listed records at most this many bytes apart are read in one transfer, which
// covers at most kReadSpanBytes.
constexpr std::int32_t kReadGapBytes = 4096;
constexpr std::int32_t kReadSpanBytes = 128 * 1024;
// A scan in record order streams this much per batch: large enough that it takes its read
// lock, and checks for changes, once per half megabyte (a writer beside it then holds it up
// less often), small enough that the records stay in the CPU's cache while the scan uses them.
constexpr std::int32_t kStreamBytes = 4 * kReadSpanBytes;
// Writing the dirty records, a stretch of the file holding three runs of them or more, with gaps
// of at most kGatherGapBytes between, is read, overlaid and written back as one transfer each
// way (of at most kGatherSpanBytes): one system call per run costs more than the gap's bytes.
constexpr std::size_t kGatherGapBytes = 4096;
constexpr std::size_t kGatherSpanBytes = 256 * 1024;
// Slots per slab: the first slab is small (a table of a few records needs no more), each
// further one as large as all before it, up to the most.
constexpr std::int32_t kSlabFirstRecords = 32;
constexpr std::int32_t kSlabMostRecords = 4096;
// Step by which a cache full of unwritable records grows.
constexpr std::int32_t kCacheGrowth = 64;

enum class TReadDirection { kForward, kBackward };

// One cached record. Its image lives in a slab of its cache.
class TRecord {
 public:
  std::int32_t RecordNo() const { return record_no_; }
  // Rewrites offset 1 of an active image with the number.
  // REQUIRES: a cached record keeps its number (the cache finds it by that number).
  void SetRecordNo(std::int32_t record_no);
  bool Dirty() const { return dirty_; }
  // Moves a listed record between its cache's clean and dirty lists.
  void SetDirty(bool dirty);
  std::uint16_t PinCount() const { return pin_count_; }
  void Pin() { ++pin_count_; }
  void Unpin() {
    if (pin_count_ > 0) --pin_count_;
  }

  std::uint8_t* Image() { return image_; }
  const std::uint8_t* Image() const { return image_; }
  std::size_t ImageSize() const { return size_; }
  std::uint8_t Status() const { return size_ == 0 ? kStatusActive : image_[kRecordStatus]; }
  // Both set Dirty.
  void SetStatus(std::uint8_t status);
  void SetLink(std::int32_t link);
  std::int32_t Link() const;

  // Copies a plain image in (setting offset 1 of an active image to RecordNo) and clears Dirty.
  void LoadImage(const std::uint8_t* plain);
  // Clears the image to zeros, keeping the record number at offset 1, resets pins and Dirty.
  void Clear();

 private:
  friend class TRecordCache;
  TRecord() = default;

  std::uint8_t* image_ = nullptr;  // size_ bytes in a slab of the cache that made the slot
  std::size_t size_ = 0;
  std::int32_t record_no_ = 0;
  std::uint16_t pin_count_ = 0;
  bool dirty_ = false;
  TRecordCache* cache_ = nullptr;  // the cache that lists this record, else null; not owned
  TRecord* newer_ = nullptr;       // in the clean or the dirty list (by dirty_), or the next
  TRecord* older_ = nullptr;       // free slot (newer_); slots are owned by the cache's slabs
};

// What the cache needs of its data file.
class TRecordFile {
 public:
  virtual ~TRecordFile() = default;
  virtual std::int32_t RecordSize() const = 0;
  virtual std::int32_t NextRecordNo() const = 0;
  // Makes `record_no` (== NextRecordNo) the new last record: raises TABULA_TABLEFULL beyond
  // the file's limits, otherwise increments NextRecordNo and marks the header changed.
  virtual void AppendRecordNo(std::int32_t record_no) = 0;
  // Reads up to `count` stored images from record `first` into `buffer` (under the shared
  // file's access lock, short reads allowed) and returns the bytes read (-1 on failure).
  virtual std::int64_t ReadRecords(std::int32_t first, std::int32_t count,
                                   std::uint8_t* buffer) = 0;
  // Writes `count` stored images from record `first` in one operation and tells the table
  // it was modified; raises TABULA_WRITEERR.
  virtual void WriteRecords(std::int32_t first, std::int32_t count, const std::uint8_t* buffer) = 0;
  // A short read is acceptable only when records may exist in the cache alone: the file is
  // open exclusively or the table holds its transaction lock, and the table was modified.
  virtual bool ShortReadAllowed() const = 0;
  // The table holds its transaction lock: dirty records must stay in memory.
  virtual bool HoldsTransactionLock() const = 0;
  virtual bool StrictChangeDetection() const = 0;
  // DataBufferSize and DataBufferCount of the engine session.
  virtual std::int32_t DataBufferSize() const = 0;
  virtual std::int32_t DataBufferCount() const = 0;
  // Scrambles (or unscrambles, the same routine) one record image of an encrypted table;
  // does nothing for a plain table.
  virtual void ScrambleImage(std::uint8_t* image) const = 0;
  virtual const std::string& TableName() const = 0;
  // Where a transaction's spilled records go (an unnamed file); empty for $TMPDIR or /tmp.
  virtual std::string SpillDirectory() const { return std::string(); }
};

// What the cache needs of the cursor that reads.
class TRecordCacheCursor {
 public:
  virtual ~TRecordCacheCursor() = default;
  // Takes the cursor's read lock and checks other processes' changes; true when a change was
  // found and the cursor has been re-positioned (the read must then start again).
  virtual bool LockAndCheckForChanges() = 0;
  // How many consecutive records, starting at `record_no` and moving in `direction`, the
  // cursor will visit next in its current order; at most `limit`.
  virtual std::int32_t ConsecutiveRecordsAhead(std::int32_t record_no, TReadDirection direction,
                                               std::int32_t limit) = 0;
};

struct TRecordCacheStats {
  std::int64_t hits = 0;
  std::int64_t reads_begun = 0;
  std::int64_t reads_done = 0;
  std::int64_t runs_written = 0;
  std::int64_t streams = 0;  // LoadStream's transfers
};

class TRecordCache {
 public:
  // `file` (not owned) outlives the cache.
  explicit TRecordCache(TRecordFile& file);
  ~TRecordCache();
  TRecordCache(const TRecordCache&) = delete;
  TRecordCache& operator=(const TRecordCache&) = delete;

  // Returns record `record_no` pinned, or null when the cursor's change check re-positioned
  // it (the caller starts its operation again). record_no == NextRecordNo appends a new
  // all-zero record. Raises TABULA_FILECORRUPT for record 0 or a record the disk lacks.
  TRecord* GetRecord(TRecordCacheCursor* cursor, std::int32_t record_no, bool read_ahead,
                     TReadDirection direction, bool use_cursor_order);
  // Loads the listed records (ascending numbers below NextRecordNo) that are not cached, for a
  // cursor that scans in an order other than the file's and names the records it visits next.
  // Listed records less than a few KB apart share one transfer (of at most kReadSpanBytes);
  // the records between them are not kept. The caller has checked for changes under its read
  // lock. Raises TABULA_READERR for a short read that is not allowed.
  void LoadRecords(const std::vector<std::int32_t>& numbers);
  // A scan of a table larger than the cache reads its records into a buffer of their own
  // rather than into the cache: records that it passes once neither evict what the cache holds
  // nor pay for entering it. (A table that fits stays cached, so that scanning it again reads
  // nothing.) LoadStream reads the stretch of `numbers` (ascending, below NextRecordNo) that the
  // scan meets first (forward: from the lowest, backward: from the highest), at most `most`
  // records, as one transfer. It returns false, reading nothing, unless ShouldStream. The caller
  // has checked for changes under its read lock. Raises TABULA_READERR for a short read that is
  // not allowed.
  //
  // The table has one stream, and it belongs to the scan that loaded it (`owner`) until that
  // scan lets it go (ReleaseStream): two scans side by side would otherwise take it from each
  // other at every step. While it is taken, other scans go through the cache.
  bool LoadStream(const TRecordCacheCursor* owner, const std::vector<std::int32_t>& numbers,
                  bool forward, std::int32_t most);
  // The table is larger than the cache, and the file holds everything the cache holds.
  bool ShouldStream() const {
    return record_size_ > 0 && static_cast<std::size_t>(file_.RecordSize()) == record_size_ &&
           dirty_count_ == 0 && shadow_.Empty() && !file_.HoldsTransactionLock() &&
           file_.NextRecordNo() - 1 > CacheLimit();
  }
  // The stream is not another scan's.
  bool StreamFreeFor(const TRecordCacheCursor* cursor) const {
    return stream_owner_ == nullptr || stream_owner_ == cursor;
  }
  // The scan of `cursor` is over (it reached an end, was repositioned or closed): its stream,
  // if it has one, is dropped and free for the next scan.
  void ReleaseStream(const TRecordCacheCursor* cursor) {
    if (stream_owner_ != cursor) return;
    stream_owner_ = nullptr;
    stream_count_ = 0;
  }
  // The records of kStreamBytes: a stream's size for a scan in record order.
  std::int32_t StreamRecords() const;
  // The most records a stream holds: three quarters of the cache, or StreamRecords.
  std::int32_t LargestStream() const;
  // The plain image (RecordImageSize bytes) of `record_no` from the last stream, or null when
  // the stream lacks it or no longer matches the file: a cached record has become dirty, or
  // the cache was discarded, since it was read.
  const std::uint8_t* StreamImage(std::int32_t record_no) const {
    if (stream_count_ == 0 || stream_generation_ != dirty_generation_) return nullptr;
    if (stream_sparse_) return SparseStreamImage(record_no);
    const std::int64_t k = static_cast<std::int64_t>(record_no) - stream_first_;
    if (k < 0 || k >= stream_count_) return nullptr;
    return stream_buffer_.get() + record_size_ * static_cast<std::size_t>(k);
  }
  // LoadStream for records scattered over the file (ascending, distinct): they are read in the
  // transfers LoadRecords would make and only the listed ones are kept, side by side.
  bool LoadScatteredStream(const TRecordCacheCursor* owner,
                           const std::vector<std::int32_t>& numbers);
  std::size_t RecordImageSize() const { return record_size_; }
  // A record that Find returned, pinned and made most recently used: what GetRecord does with
  // a cached record, for a caller that looked it up already.
  TRecord* PinCached(TRecord* record) {
    MoveToFront(record);
    ++stats_.hits;
    record->Pin();
    return record;
  }
  void Unpin(TRecord* record) { record->Unpin(); }
  // Writes every dirty, unpinned record outside the transfer window in runs of consecutive
  // numbers, or a stretch of runs close together in one transfer (kGatherGapBytes); true when
  // anything was written.
  bool WriteDirty();
  // Frees the slot of every cached record, whatever its state.
  void DiscardAll();
  // Evicts until the count is within the limit (recomputed from the session settings).
  void Trim();

  // min(DataBufferSize div RecordSize, DataBufferCount), or DataBufferCount for size 0.
  std::int32_t CacheLimit() const;
  std::int32_t Capacity() const { return capacity_; }
  std::size_t CachedCount() const { return cached_count_; }
  // The cached record of that number, or null; touches nothing.
  TRecord* Find(std::int32_t record_no) const;
  std::int32_t ReadAheadRecords() const;
  const TRecordCacheStats& Stats() const { return stats_; }
  // Records spilled to the shadow file and not yet committed or dropped.
  std::int64_t SpilledRecords() const { return shadow_.HeldUnits(); }

  void AssertInvariants() const;

 private:
  // One of the two use orders, most recently used first.
  struct TUseList {
    TRecord* newest = nullptr;
    TRecord* oldest = nullptr;
  };
  TUseList& ListOf(const TRecord* record) { return record->dirty_ ? dirty_list_ : clean_list_; }
  void MoveToFront(TRecord* record);
  void Unlink(TRecord* record);
  void PushFront(TRecord* record);
  void PushBack(TRecord* record);
  // Takes a slot for record `record_no` (not yet cached), evicting or growing as needed, and
  // fills it with `plain` (zeros when null). The slot is neither hashed nor listed until
  // Insert; a caller that fails before that gives it back with FreeSlot.
  TRecord* TakeSlot(std::int32_t record_no, const std::uint8_t* plain);
  void FreeSlot(TRecord* slot);
  // A slot from the free list, allocating a slab when it is empty.
  TRecord* NewSlot();
  TRecord* LeastRecentlyUsedFree() const;
  // Hashes and lists a slot from TakeSlot as the most recently used record.
  void Insert(TRecord* record);
  // Unhashes and unlists a cached record; the caller reuses or frees its slot.
  void Remove(TRecord* record);
  std::size_t BucketOf(std::int32_t record_no) const;
  // Makes room for one more record in the hash table.
  void ReserveBucket();
  friend class TRecord;
  void ReadBlock(std::int32_t first, std::int32_t count, TReadDirection direction);
  // Reads the listed records (ascending) that `skip` does not exclude, those less than a few KB
  // apart in one transfer (of at most kReadSpanBytes), and hands each one's plain image to
  // `take`(number, image). The records between them are not kept.
  template <typename TSkip, typename TTake>
  void ReadListed(const std::vector<std::int32_t>& numbers, TSkip skip, TTake take);
  const std::uint8_t* SparseStreamImage(std::int32_t record_no) const;
  // The dirty records that may be written now (unpinned, outside the transfer window), in
  // ascending number.
  std::vector<TRecord*> WritableDirty() const;
  // Calls `write(first record, count, stored images)` for each run of consecutive numbers.
  template <typename TRunWriter>
  void ForEachRun(const std::vector<TRecord*>& records, TRunWriter write);
  // Writes records[at, end) (sorted, within `count` records from the first) as one stretch:
  // reads it from the file, lays the dirty images over it and writes it back. False, writing
  // nothing, when the stretch reaches beyond the file's end.
  bool GatherAndWrite(const std::vector<TRecord*>& records, std::size_t at, std::size_t end,
                      std::int32_t count);
  // Writes the writable dirty records to the shadow file and makes them clean and least
  // recently used; false when nothing could be spilled.
  bool Spill();

  TRecordFile& file_;  // not owned
  std::size_t record_size_;
  // The slots, a slab at a time; a slab's images lie back to back in one block.
  struct TSlab {
    std::unique_ptr<TRecord[]> records;
    std::unique_ptr<std::uint8_t[]> images;
  };
  std::vector<TSlab> slabs_;
  std::int32_t slot_count_ = 0;
  TRecord* free_ = nullptr;  // the unused slots, linked through newer_
  // The hash table: a power-of-two number of buckets, at most half of them in use.
  std::vector<TRecord*> buckets_;
  int bucket_bits_ = 0;
  std::size_t cached_count_ = 0;
  TUseList clean_list_;
  TUseList dirty_list_;  // a flush after each post visits these only
  std::size_t dirty_count_ = 0;
  std::int32_t capacity_;
  // Spilled records of the running transaction; unit n is record n.
  TShadowFile shadow_;
  // The transfer window: the records [window_first_, window_first_ + window_count_) being read.
  std::int32_t window_first_ = 0;
  std::int32_t window_count_ = 0;
  std::vector<std::uint8_t> read_buffer_;
  std::vector<std::uint8_t> write_buffer_;  // separate: a read may write dirty records
  std::vector<std::uint8_t> span_buffer_;   // LoadRecords' transfers, only ever grown
  // Room for `records` stream records; what the buffer held is not kept.
  std::uint8_t* StreamBuffer(std::size_t records);
  // Allocated once for the largest stream and never filled: only the pages a stream writes
  // become resident.
  std::unique_ptr<std::uint8_t[]> stream_buffer_;
  std::size_t stream_capacity_ = 0;  // bytes
  // LoadStream's records [stream_first_, stream_first_ + stream_count_), plain. They match the
  // file while stream_generation_ equals dirty_generation_, which counts the records entering
  // the dirty list: only a change of this process's own can make the file differ from them
  // unseen (another process's change discards the cache, and the stream with it).
  std::int32_t stream_first_ = 0;
  std::int32_t stream_count_ = 0;
  std::uint64_t stream_generation_ = 0;
  const TRecordCacheCursor* stream_owner_ = nullptr;  // the scan the stream belongs to
  std::uint64_t dirty_generation_ = 0;
  // A scattered stream (LoadScatteredStream) finds its records' images through a hash table of
  // record numbers (0: an empty slot), probed linearly.
  struct TStreamSlot {
    std::int32_t RecordNo = 0;
    std::int32_t Image = 0;  // the image's place in the buffer
  };
  std::size_t StreamSlotOf(std::int32_t record_no) const;
  bool stream_sparse_ = false;
  std::vector<TStreamSlot> stream_slots_;
  int stream_slot_bits_ = 4;
  TRecordCacheStats stats_;
};

}  // namespace tabula
