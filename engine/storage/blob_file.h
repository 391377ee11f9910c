// The BLOB file of a table (.BLB) and its block cache.
//
// TBlobFile keeps a copy of the 512-byte header with a header-changed flag; the header reaches
// the file only through WriteHeader, which the table calls when it flushes, and every header
// write increments the change counter that tells other processes the file changed. Blocks pass
// through a write-back cache shared by all cursors of the table object: a value's blocks are
// read with read-ahead of exactly the blocks it still needs (at most 16 KB per transfer), dirty
// blocks are written back in runs of consecutive block numbers, one write per run, and freed
// blocks are reused (most recently freed first) before the file grows.
//
// Values are chains of blocks; ReadValue, WriteValue and FreeChain walk them with every link
// checked against the file's block count, every block's owner checked and every block visited
// once, so that damaged chains are reported (TABULA_MEMOCORRUPT) instead of looping or reading
// outside a buffer. Operations raise ETabulaEngineError with TableName() as the table.
//
// Inside a transaction no block may reach the file before the commit: when the cache is full of
// dirty blocks they are spilled to a private shadow file (TShadowFile, block n as unit n) and
// read back from it when needed; WriteDirty (the commit) copies the shadow to the file before
// the blocks still dirty in memory, and DiscardAll (the rollback) drops it.
//
// Invariants (AssertInvariants in debug builds): sorted_ holds every cached block in strictly
// ascending number; the use order links exactly those blocks.
//
// Thread-safety: one thread at a time (the engine's call serialisation); file transfers take the
// shared file's access lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/storage/blob_file_format.h"
#include "engine/storage/file_layer.h"
#include "engine/storage/record_cache.h"
#include "engine/storage/shadow_file.h"

namespace tabula {

class TDataSession;
class TBlobFile;

// The pool keeps at most this many unused blocks; the cache grows by this step when every
// cached block is dirty or pinned.
constexpr std::size_t kBlockPoolCapacity = 32;
constexpr std::int32_t kBlockCacheGrowth = 32;

// One cached block, in plain (unscrambled) form.
class TBlock {
 public:
  TBlock(TBlobFile* owner, std::uint16_t block_size);

  TBlobFile* Owner() const { return owner_; }
  std::int32_t BlockNo() const { return block_no_; }
  bool Dirty() const { return dirty_; }
  void SetDirty(bool value) { dirty_ = value; }
  std::uint16_t PinCount() const { return pin_count_; }
  void Pin() { ++pin_count_; }
  void Unpin() {
    if (pin_count_ > 0) --pin_count_;
  }

  // The in-memory copies of the block header; the setters mark the block dirty.
  std::int32_t Previous() const { return header_.Previous; }
  std::int32_t Next() const { return header_.Next; }
  std::uint16_t Used() const { return header_.Used; }
  std::int32_t OwnerID() const { return header_.Owner; }
  std::int32_t Length() const { return header_.Length; }
  void SetPrevious(std::int32_t value);
  void SetNext(std::int32_t value);
  void SetOwnerID(std::int32_t value);
  void SetLength(std::int32_t value);
  // Copies `count` bytes into the data area and sets the used count; TABULA_INVALIDBLOBLEN
  // when they do not fit (the block is left unchanged).
  void SetData(const std::uint8_t* data, std::size_t count);

  const std::uint8_t* Data() const { return data_.data(); }
  std::size_t DataSize() const { return data_.size(); }

  // Clears the block header and data (keeping the number) and marks the block dirty.
  void Clear();
  // Loads a stored block of kBlockHeaderSize + DataSize() bytes, unscrambling the two runs
  // when `encrypted`; clears Dirty.
  void Load(const std::uint8_t* stored, bool encrypted);
  // Stores the block into `stored` (kBlockHeaderSize + DataSize() bytes), scrambled as two
  // runs when `encrypted`; clears Dirty.
  void Store(std::uint8_t* stored, bool encrypted);

 private:
  friend class TBlobFile;
  friend class TBlockStack;

  TBlobFile* owner_;  // not owned
  std::int32_t block_no_ = 0;
  bool dirty_ = false;
  std::uint16_t pin_count_ = 0;
  TBlockHeader header_;
  std::vector<std::uint8_t> data_;
  TBlock* newer_ = nullptr;  // use order; the blocks are owned by the cache's sorted list
  TBlock* older_ = nullptr;
};

// A pool of unused blocks of one BLOB file.
class TBlockStack {
 public:
  TBlockStack(TBlobFile* owner, std::uint16_t block_size)
      : owner_(owner), block_size_(block_size) {}
  // A cleared, unpinned block (a new one when the pool is empty).
  std::unique_ptr<TBlock> Take();
  // Keeps the block unless the pool is full.
  void Return(std::unique_ptr<TBlock> block);
  std::size_t Size() const { return pool_.size(); }

 private:
  TBlobFile* owner_;  // not owned
  std::uint16_t block_size_;
  std::vector<std::unique_ptr<TBlock>> pool_;
};

// What the BLOB file needs of the table object that owns it.
class TBlobFileOwner {
 public:
  virtual ~TBlobFileOwner() = default;
  // The BLOB file wrote (or touched) its header or wrote blocks.
  virtual void TableModified() = 0;
  virtual bool TableWasModified() const = 0;
  // The table holds its transaction lock: dirty blocks stay in memory.
  virtual bool HoldsTransactionLock() const = 0;
};

struct TBlockCacheStats {
  std::int64_t hits = 0;
  std::int64_t reads_begun = 0;
  std::int64_t reads_done = 0;
  std::int64_t runs_written = 0;
};

class TBlobFile : public TFileHandler {
 public:
  TBlobFile();
  ~TBlobFile() override;

  // The owning table and the session whose settings apply; neither is owned, both may be null.
  void SetOwner(TBlobFileOwner* owner) { owner_ = owner; }
  void SetSession(const TDataSession* session) { session_ = session; }
  void SetTableName(const std::string& name) { table_name_ = name; }
  const std::string& TableName() const;
  // The block size and encryption come from the data file's header; set them before Open or
  // CreateNew. A size of 0 means 512.
  void SetBlockSize(std::uint16_t value) { block_size_ = value == 0 ? 512 : value; }
  std::uint16_t BlockSize() const { return block_size_; }
  void SetEncrypted(bool value) { encrypted_ = value; }
  bool Encrypted() const { return encrypted_; }

  // Creates the file (exclusively, left open) with a header of version 5, free chain 0, next
  // block 1, marked changed; nothing is written before the table flushes.
  void CreateNew() override;
  // Opens the file, reads the header (TABULA_READERR when short, TABULA_OLDVERSION for another
  // version; the file is closed again) and sizes the cache. Does nothing when open.
  void Open() override;
  // Discards the cache (dirty blocks are dropped: the table flushes first) and closes.
  void Close() override;
  // Deleting the file (the cache's own Remove below only takes a block out of the cache).
  using TFileHandler::Remove;

  // ---- Header ----
  void ReadHeader();
  // Reads the header; when its change counter differs from the copy's, takes it and returns
  // true.
  bool HeaderChanged();
  // Unless forced or changed returns false; otherwise increments the change counter, writes the
  // header and tells the table.
  bool WriteHeader(bool force = false);
  // Increments the change counter in the copy and marks the header changed, without writing.
  void TouchHeader();
  const TBlobHeader& Header() const { return header_; }
  bool HeaderIsChanged() const { return header_changed_; }
  // The number of blocks in the file (NextBlock - 1).
  std::int32_t BlockCount() const { return header_.NextBlock - 1; }
  // Cuts the file after the header (flushing when ForceBufferFlush is on), empties the cache
  // and resets the header (version 5, next block 1, free chain 0), marked changed.
  void EmptyFile();

  // ---- Blocks ----

  // Block `block_no` pinned, or null when the cursor's change check found a change (the
  // caller starts again). block_no == NextBlock appends a block (TABULA_TABLEFULL beyond the
  // file's limits). Block 0, a number beyond the next block, or a block the disk lacks is
  // TABULA_MEMOCORRUPT. A disk read covers min(read-ahead block, `wanted`, NextBlock - n)
  // blocks forward (1 without `read_ahead`).
  TBlock* GetBlock(TRecordCacheCursor* cursor, std::int32_t block_no, std::int32_t wanted = 1,
                   bool read_ahead = true);
  void Unpin(TBlock* block) { block->Unpin(); }
  // The head of the free chain (its next link becomes the head) or an appended block; cleared,
  // dirty and pinned. A free-chain head outside the file cuts the free chain.
  TBlock* AllocateBlock();
  // Makes the block the head of the free chain (its next link the old head).
  void FreeBlock(TBlock* block);

  // ---- Values ----

  // Reads the value whose chain starts at `first` with owner `owner` into `value` (emptied
  // first; an empty value for first 0). TABULA_KEYORRECDELETED when the first block has
  // another owner, TABULA_MEMOCORRUPT for a broken chain, TABULA_ENDOFBLOB when the chain
  // holds fewer bytes than its total length.
  void ReadValue(TRecordCacheCursor* cursor, std::int32_t first, std::int32_t owner,
                 std::vector<std::uint8_t>* value);
  // Writes `length` bytes as the value of a slot that held chain `first` (0 for none) with
  // owner `old_owner`, reusing that chain's blocks; every block gets `new_owner`. Surplus
  // blocks of the old chain are freed. Returns the new first block (0 for an empty value).
  // Runs at post, under the table's write lock, so no change check is made.
  std::int32_t WriteValue(std::int32_t first, std::int32_t old_owner, std::int32_t new_owner,
                          const std::uint8_t* data, std::size_t length);
  // Frees the chain at `first` into the free chain, the first block last. The whole chain is
  // checked before anything is freed: an owner mismatch is TABULA_MEMOCORRUPT unless
  // `tolerate`, when the first block is stamped with `owner` and the walk stops at the first
  // later block of another owner.
  // Runs under the table's write lock, so no change check is made.
  void FreeChain(std::int32_t first, std::int32_t owner, bool tolerate);
  // Walks the chain at `first` as FreeChain does without changing anything:
  // TABULA_MEMOCORRUPT for a broken link, a loop or a block of another owner.
  void CheckChain(std::int32_t first, std::int32_t owner);

  // ---- Cache ----
  bool WriteDirty();
  void DiscardAll();
  void Trim();
  std::int32_t CacheLimit() const;
  std::int32_t Capacity() const { return capacity_; }
  std::int32_t ReadAheadBlocks() const;
  std::size_t CachedCount() const { return sorted_.size(); }
  TBlock* Find(std::int32_t block_no) const;
  const TBlockCacheStats& Stats() const { return stats_; }
  // Blocks of the running transaction spilled to the shadow file.
  std::int64_t SpilledBlocks() const { return shadow_ != nullptr ? shadow_->HeldUnits() : 0; }
  void AssertInvariants() const;

 private:
  [[noreturn]] void RaiseBlobError(std::uint16_t code) const;
  void TellTableModified();
  bool ForceBufferFlush() const;
  bool StrictChangeDetection() const;
  bool HoldsTransactionLock() const;
  void ReadHeaderInto(TBlobHeader* header);
  void ResetCache();

  // Gets a chain's block `block_no`, checked to lie inside the file and not yet visited on this
  // walk; null on a change (as GetBlock).
  TBlock* GetChainBlock(TRecordCacheCursor* cursor, std::int32_t block_no, std::int32_t wanted,
                        std::unordered_set<std::int32_t>* visited);

  // Frees the chain from `first` (blocks of `owner`) after checking all of it; `visited` holds
  // the blocks already walked.
  void FreeChainFrom(std::int32_t first, std::int32_t owner,
                     std::unordered_set<std::int32_t>* visited, bool tolerate = false);

  std::size_t LowerBound(std::int32_t block_no) const;
  void MoveToFront(TBlock* block);
  void Unlink(TBlock* block);
  void PushFront(TBlock* block);
  std::unique_ptr<TBlock> TakeSlot(std::int32_t block_no);
  TBlock* LeastRecentlyUsedFree() const;
  void Insert(std::unique_ptr<TBlock> block);
  std::unique_ptr<TBlock> Remove(TBlock* block);
  void ReadBlocks(std::int32_t first, std::int32_t count);
  bool Writable(const TBlock* block) const;
  // Calls `write(first index in sorted_, count)` for each run of consecutive writable blocks,
  // stored one after another in write_buffer_ (and made clean).
  template <typename TRunWriter>
  void ForEachWritableRun(TRunWriter write);
  // Inside a transaction: writes the writable dirty blocks to the shadow file; false when
  // nothing could be spilled.
  bool Spill();

  TBlobFileOwner* owner_ = nullptr;        // not owned: the table owns this file
  const TDataSession* session_ = nullptr;  // not owned
  std::string table_name_;
  std::uint16_t block_size_ = 512;
  bool encrypted_ = false;
  TBlobHeader header_;
  bool header_changed_ = false;
  bool modified_ = false;

  std::vector<std::unique_ptr<TBlock>> sorted_;
  TBlock* newest_ = nullptr;
  TBlock* oldest_ = nullptr;
  std::int32_t capacity_ = 0;
  std::unique_ptr<TBlockStack> pool_;
  // The transfer window: blocks [window_first_, window_first_ + window_count_) being read.
  std::int32_t window_first_ = 0;
  std::int32_t window_count_ = 0;
  std::vector<std::uint8_t> read_buffer_;
  std::vector<std::uint8_t> write_buffer_;
  // Spilled blocks of the running transaction (created with the cache, for its block size).
  std::unique_ptr<TShadowFile> shadow_;
  TBlockCacheStats stats_;
};

}  // namespace tabula
