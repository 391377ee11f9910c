#include "engine/storage/blob_file.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/storage/data_file_format.h"
#include "engine/storage/data_session.h"

namespace tabula {

namespace {

constexpr std::int32_t kDefaultBlobBufferSize = 32768;
constexpr std::int32_t kDefaultBlobBufferCount = 8192;

// Unpins a block when the scope ends, also when an error is raised.
class TPinGuard {
 public:
  explicit TPinGuard(TBlock* block = nullptr) : block_(block) {}
  ~TPinGuard() {
    if (block_ != nullptr) block_->Unpin();
  }
  TPinGuard(const TPinGuard&) = delete;
  TPinGuard& operator=(const TPinGuard&) = delete;
  void Reset(TBlock* block) {
    if (block_ != nullptr) block_->Unpin();
    block_ = block;
  }
  TBlock* Get() const { return block_; }

 private:
  TBlock* block_;
};

}  // namespace

// ---- TBlock ----------------------------------------------------------------------------------

TBlock::TBlock(TBlobFile* owner, std::uint16_t block_size)
    : owner_(owner), data_(BlockDataSize(block_size), 0) {}

void TBlock::SetPrevious(std::int32_t value) {
  header_.Previous = value;
  dirty_ = true;
}

void TBlock::SetNext(std::int32_t value) {
  header_.Next = value;
  dirty_ = true;
}

void TBlock::SetOwnerID(std::int32_t value) {
  header_.Owner = value;
  dirty_ = true;
}

void TBlock::SetLength(std::int32_t value) {
  header_.Length = value;
  dirty_ = true;
}

void TBlock::SetData(const std::uint8_t* data, std::size_t count) {
  if (count > data_.size()) {
    RaiseTableError(TABULA_INVALIDBLOBLEN, owner_ != nullptr ? owner_->TableName() : "");
  }
  if (count > 0) std::memcpy(data_.data(), data, count);
  header_.Used = static_cast<std::uint16_t>(count);
  dirty_ = true;
}

void TBlock::Clear() {
  header_ = TBlockHeader();
  std::fill(data_.begin(), data_.end(), 0);
  dirty_ = true;
}

void TBlock::Load(const std::uint8_t* stored, bool encrypted) {
  std::uint8_t head[kBlockHeaderSize];
  std::memcpy(head, stored, kBlockHeaderSize);
  if (encrypted) ScrambleRun(head, kBlockHeaderSize, kDataSeed);
  header_.DecodeFrom(head, kBlockHeaderSize);
  std::memcpy(data_.data(), stored + kBlockHeaderSize, data_.size());
  if (encrypted) ScrambleRun(data_.data(), data_.size(), kDataSeed);
  dirty_ = false;
}

void TBlock::Store(std::uint8_t* stored, bool encrypted) {
  header_.EncodeTo(stored);
  if (encrypted) ScrambleRun(stored, kBlockHeaderSize, kDataSeed);
  std::memcpy(stored + kBlockHeaderSize, data_.data(), data_.size());
  if (encrypted) ScrambleRun(stored + kBlockHeaderSize, data_.size(), kDataSeed);
  dirty_ = false;
}

// ---- TBlockStack -----------------------------------------------------------------------------

std::unique_ptr<TBlock> TBlockStack::Take() {
  if (pool_.empty()) return std::make_unique<TBlock>(owner_, block_size_);
  std::unique_ptr<TBlock> block = std::move(pool_.back());
  pool_.pop_back();
  block->Clear();
  block->pin_count_ = 0;
  block->dirty_ = false;
  return block;
}

void TBlockStack::Return(std::unique_ptr<TBlock> block) {
  if (pool_.size() >= kBlockPoolCapacity) return;  // frees it
  block->newer_ = block->older_ = nullptr;
  pool_.push_back(std::move(block));
}

// ---- TBlobFile: settings ---------------------------------------------------------------------

TBlobFile::TBlobFile() = default;

TBlobFile::~TBlobFile() { DiscardAll(); }

const std::string& TBlobFile::TableName() const {
  return table_name_.empty() ? FileName() : table_name_;
}

void TBlobFile::RaiseBlobError(std::uint16_t code) const { RaiseTableError(code, TableName()); }

void TBlobFile::TellTableModified() {
  modified_ = true;
  if (owner_ != nullptr) owner_->TableModified();
}

bool TBlobFile::ForceBufferFlush() const {
  return session_ != nullptr && session_->ForceBufferFlush();
}

bool TBlobFile::StrictChangeDetection() const {
  return session_ != nullptr && session_->StrictChangeDetection();
}

bool TBlobFile::HoldsTransactionLock() const {
  return owner_ != nullptr && owner_->HoldsTransactionLock();
}

std::int32_t TBlobFile::CacheLimit() const {
  const std::int32_t size =
      session_ != nullptr ? session_->BlobBufferSize() : kDefaultBlobBufferSize;
  const std::int32_t count =
      session_ != nullptr ? session_->BlobBufferCount() : kDefaultBlobBufferCount;
  if (block_size_ == 0) return std::max(count, 1);
  return std::max(std::min(size / block_size_, count), 1);
}

std::int32_t TBlobFile::ReadAheadBlocks() const {
  return std::max<std::int32_t>(kBlobReadAheadBytes / block_size_, 1);
}

void TBlobFile::ResetCache() {
  DiscardAll();
  pool_ = std::make_unique<TBlockStack>(this, block_size_);
  shadow_ = std::make_unique<TShadowFile>(block_size_);
  capacity_ = CacheLimit();
}

// ---- Create, open, close ---------------------------------------------------------------------

void TBlobFile::CreateNew() {
  if (Opened()) Close();
  header_ = TBlobHeader();
  header_changed_ = true;
  modified_ = false;
  TFileHandler::CreateNew();
  ResetCache();
}

void TBlobFile::Open() {
  if (Opened()) return;
  TFileHandler::Open();
  try {
    ReadHeader();
    if (header_.Version != kBlobFormatVersion) RaiseBlobError(TABULA_OLDVERSION);
    modified_ = false;
    ResetCache();
  } catch (...) {
    TFileHandler::Close();
    throw;
  }
}

void TBlobFile::Close() {
  if (!Opened()) return;
  DiscardAll();
  TFileHandler::Close();
}

// ---- Header ----------------------------------------------------------------------------------

void TBlobFile::ReadHeaderInto(TBlobHeader* header) {
  std::uint8_t bytes[kBlobHeaderSize];
  const std::int64_t read = ReadAt(0, bytes, kBlobHeaderSize, /*allow_short=*/true);
  if (read != static_cast<std::int64_t>(kBlobHeaderSize)) RaiseBlobError(TABULA_READERR);
  if (encrypted_) ScrambleRun(bytes, kBlobHeaderSize, kDataSeed);
  header->DecodeFrom(bytes, kBlobHeaderSize);
}

void TBlobFile::ReadHeader() {
  ReadHeaderInto(&header_);
  header_changed_ = false;
}

bool TBlobFile::HeaderChanged() {
  TBlobHeader on_disk;
  ReadHeaderInto(&on_disk);
  if (on_disk.ChangeCount == header_.ChangeCount) return false;
  header_ = on_disk;
  return true;
}

bool TBlobFile::WriteHeader(bool force) {
  if (!force && !header_changed_) return false;
  ++header_.ChangeCount;
  header_.HeaderModified = header_changed_ ? 1 : 0;
  std::uint8_t bytes[kBlobHeaderSize];
  header_.EncodeTo(bytes);
  if (encrypted_) ScrambleRun(bytes, kBlobHeaderSize, kDataSeed);
  WriteAt(0, bytes, kBlobHeaderSize);
  TellTableModified();
  header_changed_ = false;
  return true;
}

void TBlobFile::TouchHeader() {
  ++header_.ChangeCount;
  header_changed_ = true;
  TellTableModified();
}

void TBlobFile::EmptyFile() {
  {
    TFileAccess access(*this);
    Seek(kSeekFromStart, static_cast<std::int64_t>(kBlobHeaderSize));
    Write(nullptr, 0);
  }
  if (ForceBufferFlush()) Flush();
  DiscardAll();
  header_.Version = kBlobFormatVersion;
  header_.NextBlock = 1;
  header_.FirstFreeBlock = 0;
  header_changed_ = true;
}

// ---- Cache -----------------------------------------------------------------------------------

std::size_t TBlobFile::LowerBound(std::int32_t block_no) const {
  auto it = std::lower_bound(
      sorted_.begin(), sorted_.end(), block_no,
      [](const std::unique_ptr<TBlock>& b, std::int32_t n) { return b->block_no_ < n; });
  return static_cast<std::size_t>(it - sorted_.begin());
}

TBlock* TBlobFile::Find(std::int32_t block_no) const {
  const std::size_t at = LowerBound(block_no);
  if (at < sorted_.size() && sorted_[at]->block_no_ == block_no) return sorted_[at].get();
  return nullptr;
}

void TBlobFile::Unlink(TBlock* block) {
  if (block->newer_ != nullptr) {
    block->newer_->older_ = block->older_;
  } else if (newest_ == block) {
    newest_ = block->older_;
  }
  if (block->older_ != nullptr) {
    block->older_->newer_ = block->newer_;
  } else if (oldest_ == block) {
    oldest_ = block->newer_;
  }
  block->newer_ = block->older_ = nullptr;
}

void TBlobFile::PushFront(TBlock* block) {
  block->newer_ = nullptr;
  block->older_ = newest_;
  if (newest_ != nullptr) newest_->newer_ = block;
  newest_ = block;
  if (oldest_ == nullptr) oldest_ = block;
}

void TBlobFile::MoveToFront(TBlock* block) {
  if (newest_ == block) return;
  Unlink(block);
  PushFront(block);
}

void TBlobFile::Insert(std::unique_ptr<TBlock> block) {
  TBlock* raw = block.get();
  sorted_.insert(sorted_.begin() + static_cast<std::ptrdiff_t>(LowerBound(raw->block_no_)),
                 std::move(block));
  PushFront(raw);
}

std::unique_ptr<TBlock> TBlobFile::Remove(TBlock* block) {
  const std::size_t at = LowerBound(block->block_no_);
  if (at >= sorted_.size() || sorted_[at].get() != block) RaiseBlobError(TABULA_MEMOCORRUPT);
  Unlink(block);
  std::unique_ptr<TBlock> owned = std::move(sorted_[at]);
  sorted_.erase(sorted_.begin() + static_cast<std::ptrdiff_t>(at));
  return owned;
}

TBlock* TBlobFile::LeastRecentlyUsedFree() const {
  for (TBlock* b = oldest_; b != nullptr; b = b->newer_) {
    if (!b->dirty_ && b->pin_count_ == 0) return b;
  }
  return nullptr;
}

std::unique_ptr<TBlock> TBlobFile::TakeSlot(std::int32_t block_no) {
  if (pool_ == nullptr) pool_ = std::make_unique<TBlockStack>(this, block_size_);
  std::unique_ptr<TBlock> slot;
  if (static_cast<std::int32_t>(sorted_.size()) < capacity_) {
    slot = pool_->Take();
  } else {
    TBlock* victim = LeastRecentlyUsedFree();
    if (victim == nullptr) {
      // Inside a transaction the dirty blocks go to the shadow, never to the file.
      const bool made_room = HoldsTransactionLock() ? Spill() : WriteDirty();
      if (made_room) victim = LeastRecentlyUsedFree();
    }
    if (victim != nullptr) {
      slot = Remove(victim);
    } else {
      // Everything is dirty or pinned and may not be written: the cache grows.
      capacity_ += kBlockCacheGrowth;
      slot = pool_->Take();
    }
  }
  slot->block_no_ = block_no;
  slot->header_ = TBlockHeader();
  std::fill(slot->data_.begin(), slot->data_.end(), 0);
  slot->pin_count_ = 0;
  slot->dirty_ = false;
  return slot;
}

TBlock* TBlobFile::GetBlock(TRecordCacheCursor* cursor, std::int32_t block_no, std::int32_t wanted,
                            bool read_ahead) {
  if (block_no <= 0 || block_no > header_.NextBlock) RaiseBlobError(TABULA_MEMOCORRUPT);
  if (block_no == header_.NextBlock) {
    if (block_no > kMaxBlobBlockNo ||
        BlockOffset(block_no, block_size_) + block_size_ > kMaxBlobFileEnd) {
      RaiseBlobError(TABULA_TABLEFULL);
    }
    std::unique_ptr<TBlock> slot = TakeSlot(block_no);
    slot->dirty_ = true;  // a new block reaches the file at the next flush
    TBlock* block = slot.get();
    block->Pin();
    Insert(std::move(slot));
    ++header_.NextBlock;
    header_changed_ = true;
    ++stats_.hits;
    return block;
  }
  // The few most recently used blocks first: a chain's blocks are asked for in runs.
  int looked = 0;
  for (TBlock* b = newest_; b != nullptr && looked < 4; b = b->older_, ++looked) {
    if (b->block_no_ == block_no) {
      MoveToFront(b);
      ++stats_.hits;
      b->Pin();
      return b;
    }
  }
  if (TBlock* b = Find(block_no)) {
    MoveToFront(b);
    ++stats_.hits;
    b->Pin();
    return b;
  }
  if (cursor != nullptr && !StrictChangeDetection()) {
    if (cursor->LockAndCheckForChanges()) return nullptr;
  }
  std::int32_t count = 1;
  if (read_ahead) {
    count = std::min({ReadAheadBlocks(), std::max(wanted, 1), header_.NextBlock - block_no});
    count = std::max(count, 1);
  }
  ReadBlocks(block_no, count);
  TBlock* block = Find(block_no);
  if (block == nullptr) RaiseBlobError(TABULA_MEMOCORRUPT);
  MoveToFront(block);
  block->Pin();
  return block;
}

void TBlobFile::ReadBlocks(std::int32_t first, std::int32_t count) {
  const std::size_t size = block_size_;
  read_buffer_.resize(size * static_cast<std::size_t>(count));
  window_first_ = first;
  window_count_ = count;
  struct TWindowReset {
    TBlobFile* file;
    ~TWindowReset() { file->window_count_ = 0; }
  } window_reset{this};
  ++stats_.reads_begun;
  const std::int64_t bytes =
      ReadAt(BlockOffset(first, block_size_), read_buffer_.data(),
             static_cast<std::uint32_t>(read_buffer_.size()), /*allow_short=*/true);
  if (bytes < 0) RaiseBlobError(TABULA_READERR);
  ++stats_.reads_done;
  // Blocks that are cached only (appended, not yet written) may lie beyond the file's end; a
  // block the disk lacks and the cache does not hold is reported by the caller.
  std::int32_t whole = static_cast<std::int32_t>(bytes / static_cast<std::int64_t>(size));
  if (shadow_ != nullptr && !shadow_->Empty()) {
    // Spilled blocks replace the file's (committed) images.
    for (std::int32_t k = 0; k < count; ++k) {
      if (!shadow_->Holds(static_cast<std::uint32_t>(first + k))) continue;
      if (k > whole) {
        std::memset(read_buffer_.data() + size * static_cast<std::size_t>(whole), 0,
                    size * static_cast<std::size_t>(k - whole));
      }
      if (!shadow_->Read(static_cast<std::uint32_t>(first + k), 1,
                         read_buffer_.data() + size * static_cast<std::size_t>(k))) {
        RaiseBlobError(TABULA_READERR);
      }
      whole = std::max(whole, k + 1);
    }
  }
  // The requested block is processed last, so that it ends up most recently used.
  for (std::int32_t k = whole - 1; k >= 0; --k) {
    const std::int32_t block_no = first + k;
    const std::uint8_t* stored = read_buffer_.data() + size * static_cast<std::size_t>(k);
    if (TBlock* cached = Find(block_no)) {
      if (!cached->dirty_ && cached->pin_count_ == 0) cached->Load(stored, encrypted_);
      MoveToFront(cached);
      continue;
    }
    std::unique_ptr<TBlock> slot = TakeSlot(block_no);
    slot->Load(stored, encrypted_);
    Insert(std::move(slot));
  }
}

bool TBlobFile::Writable(const TBlock* block) const {
  return block->dirty_ && block->pin_count_ == 0 &&
         !(window_count_ > 0 && block->block_no_ >= window_first_ &&
           block->block_no_ < window_first_ + window_count_);
}

template <typename TRunWriter>
void TBlobFile::ForEachWritableRun(TRunWriter write) {
  const std::size_t size = block_size_;
  std::size_t at = 0;
  while (at < sorted_.size()) {
    if (!Writable(sorted_[at].get())) {
      ++at;
      continue;
    }
    std::size_t end = at + 1;
    while (end < sorted_.size() && Writable(sorted_[end].get()) &&
           sorted_[end]->block_no_ == sorted_[end - 1]->block_no_ + 1) {
      ++end;
    }
    const std::size_t count = end - at;
    write_buffer_.resize(size * count);
    for (std::size_t i = 0; i < count; ++i) {
      sorted_[at + i]->Store(write_buffer_.data() + size * i, encrypted_);
    }
    if (!write(at, count)) {
      // Not written after all: the blocks stay dirty.
      for (std::size_t i = 0; i < count; ++i) sorted_[at + i]->dirty_ = true;
      return;
    }
    at = end;
  }
}

bool TBlobFile::WriteDirty() {
  bool wrote = false;
  if (shadow_ != nullptr && !shadow_->Empty()) {
    // The spilled blocks first: the blocks still dirty in memory are newer and follow.
    const bool copied = shadow_->CopyRuns(
        std::size_t{1} << 18,
        [this](std::uint32_t first, std::uint32_t count, const std::uint8_t* stored) {
          WriteAt(BlockOffset(static_cast<std::int32_t>(first), block_size_), stored,
                  static_cast<std::uint32_t>(count * block_size_));
          ++stats_.runs_written;
        });
    if (!copied) RaiseBlobError(TABULA_READERR);
    shadow_->Clear();
    TellTableModified();
    wrote = true;
  }
  ForEachWritableRun([&](std::size_t at, std::size_t) {
    WriteAt(BlockOffset(sorted_[at]->block_no_, block_size_), write_buffer_.data(),
            static_cast<std::uint32_t>(write_buffer_.size()));
    TellTableModified();
    ++stats_.runs_written;
    wrote = true;
    return true;
  });
  return wrote;
}

bool TBlobFile::Spill() {
  if (shadow_ == nullptr) return false;
  bool spilled = false;
  ForEachWritableRun([&](std::size_t at, std::size_t count) {
    if (!shadow_->Write(static_cast<std::uint32_t>(sorted_[at]->block_no_),
                        static_cast<std::uint32_t>(count), write_buffer_.data())) {
      return false;
    }
    spilled = true;
    return true;
  });
  return spilled;
}

void TBlobFile::DiscardAll() {
  newest_ = oldest_ = nullptr;
  if (shadow_ != nullptr) shadow_->Clear();
  if (pool_ != nullptr) {
    for (std::unique_ptr<TBlock>& block : sorted_) pool_->Return(std::move(block));
  }
  sorted_.clear();
}

void TBlobFile::Trim() {
  const std::int32_t limit = CacheLimit();
  bool wrote = false;
  while (static_cast<std::int32_t>(sorted_.size()) > limit) {
    TBlock* victim = LeastRecentlyUsedFree();
    if (victim == nullptr) {
      if (wrote || HoldsTransactionLock()) break;
      WriteDirty();
      wrote = true;
      continue;
    }
    pool_->Return(Remove(victim));
  }
  capacity_ = std::max(static_cast<std::int32_t>(sorted_.size()), limit);
}

void TBlobFile::AssertInvariants() const {
#ifndef NDEBUG
  for (std::size_t i = 1; i < sorted_.size(); ++i) {
    assert(sorted_[i - 1]->block_no_ < sorted_[i]->block_no_);
  }
  std::size_t linked = 0;
  const TBlock* newer = nullptr;
  for (const TBlock* b = newest_; b != nullptr; b = b->older_) {
    assert(b->newer_ == newer);
    assert(Find(b->block_no_) == b);
    newer = b;
    ++linked;
  }
  assert(oldest_ == newer);
  assert(linked == sorted_.size());
#endif
}

// ---- Allocation ------------------------------------------------------------------------------

TBlock* TBlobFile::AllocateBlock() {
  TBlock* block = nullptr;
  const std::int32_t head = header_.FirstFreeBlock;
  if (head >= 1 && head <= BlockCount()) {
    block = GetBlock(nullptr, head, 1, /*read_ahead=*/false);
    std::int32_t next = block->Next();
    // A damaged link cuts the free chain rather than handing out a block twice.
    if (next < 0 || next > BlockCount() || next == head) next = 0;
    header_.FirstFreeBlock = next;
  } else {
    header_.FirstFreeBlock = 0;  // a head outside the file: the chain is cut
    block = GetBlock(nullptr, header_.NextBlock, 1, false);
  }
  header_changed_ = true;
  block->Clear();
  return block;
}

void TBlobFile::FreeBlock(TBlock* block) {
  block->SetNext(header_.FirstFreeBlock);
  header_.FirstFreeBlock = block->BlockNo();
  header_changed_ = true;
}

// ---- Values ----------------------------------------------------------------------------------

TBlock* TBlobFile::GetChainBlock(TRecordCacheCursor* cursor, std::int32_t block_no,
                                 std::int32_t wanted, std::unordered_set<std::int32_t>* visited) {
  if (block_no < 1 || block_no > BlockCount()) RaiseBlobError(TABULA_MEMOCORRUPT);
  // A block seen before on this walk means the chain runs in a circle.
  if (!visited->insert(block_no).second) RaiseBlobError(TABULA_MEMOCORRUPT);
  TBlock* block = GetBlock(cursor, block_no, wanted, true);
  if (block != nullptr && block->PinCount() > 1) {
    block->Unpin();
    RaiseBlobError(TABULA_MEMOCORRUPT);
  }
  return block;
}

void TBlobFile::ReadValue(TRecordCacheCursor* cursor, std::int32_t first, std::int32_t owner,
                          std::vector<std::uint8_t>* value) {
  value->clear();
  if (first == 0) return;
  const std::size_t data_size = BlockDataSize(block_size_);
  for (;;) {
    value->clear();
    std::unordered_set<std::int32_t> visited;
    TPinGuard pinned(GetChainBlock(cursor, first, 1, &visited));
    if (pinned.Get() == nullptr) continue;  // another process changed the file: start again
    TBlock* block = pinned.Get();
    if (block->OwnerID() != owner) RaiseBlobError(TABULA_KEYORRECDELETED);
    // The total length must fit in the blocks the file has, so that a damaged length cannot
    // make us allocate more than the file could hold.
    const std::int64_t total = block->Length();
    if (total < 0 || BlocksForLength(total, block_size_) > BlockCount()) {
      RaiseBlobError(TABULA_MEMOCORRUPT);
    }
    value->resize(static_cast<std::size_t>(total));
    std::size_t filled = 0;
    bool restart = false;
    for (;;) {
      if (block->Used() > data_size) RaiseBlobError(TABULA_MEMOCORRUPT);
      const std::size_t take = std::min<std::size_t>(
          {data_size, value->size() - filled, static_cast<std::size_t>(block->Used())});
      std::memcpy(value->data() + filled, block->Data(), take);
      filled += take;
      const std::int32_t next = block->Next();
      if (filled >= value->size() || next == 0) break;
      const std::int64_t wanted =
          BlocksForLength(static_cast<std::int64_t>(value->size() - filled), block_size_);
      TBlock* following = GetChainBlock(cursor, next, static_cast<std::int32_t>(wanted), &visited);
      if (following == nullptr) {
        restart = true;
        break;
      }
      pinned.Reset(following);
      block = following;
      if (block->OwnerID() != owner) RaiseBlobError(TABULA_MEMOCORRUPT);
    }
    if (restart) continue;
    if (filled < value->size()) {
      value->resize(filled);
      RaiseBlobError(TABULA_ENDOFBLOB);
    }
    return;
  }
}

std::int32_t TBlobFile::WriteValue(std::int32_t first, std::int32_t old_owner,
                                   std::int32_t new_owner, const std::uint8_t* data,
                                   std::size_t length) {
  if (length == 0) {
    FreeChain(first, old_owner, /*tolerate=*/false);
    return 0;
  }
  const std::size_t data_size = BlockDataSize(block_size_);
  if (data_size == 0 || length > 0x7FFFFFFFu) RaiseBlobError(TABULA_INVALIDBLOBLEN);
  std::unordered_set<std::int32_t> visited;
  const std::int64_t needed = BlocksForLength(static_cast<std::int64_t>(length), block_size_);

  TPinGuard current;
  if (first != 0) {
    current.Reset(GetChainBlock(nullptr, first, static_cast<std::int32_t>(needed), &visited));
    if (current.Get()->OwnerID() != old_owner) RaiseBlobError(TABULA_MEMOCORRUPT);
  } else {
    current.Reset(AllocateBlock());
    visited.insert(current.Get()->BlockNo());
  }
  TBlock* block = current.Get();
  const std::int32_t new_first = block->BlockNo();
  block->SetPrevious(0);
  block->SetOwnerID(new_owner);
  block->SetLength(static_cast<std::int32_t>(length));

  std::size_t written = 0;
  std::int64_t blocks_done = 0;
  for (;;) {
    const std::size_t take = std::min(data_size, length - written);
    block->SetData(data + written, take);
    written += take;
    ++blocks_done;
    if (written == length) break;
    // Continue in the old chain while it lasts, then in newly allocated blocks. A block taken
    // from the free chain has its links cleared, so it never leads back into the old chain.
    const std::int32_t old_next = block->Next();
    TBlock* next = nullptr;
    if (old_next != 0) {
      next = GetChainBlock(nullptr, old_next, static_cast<std::int32_t>(needed - blocks_done),
                           &visited);
      if (next->OwnerID() != old_owner) {
        next->Unpin();
        RaiseBlobError(TABULA_MEMOCORRUPT);
      }
    } else {
      next = AllocateBlock();
      if (!visited.insert(next->BlockNo()).second) {
        next->Unpin();
        RaiseBlobError(TABULA_MEMOCORRUPT);
      }
    }
    next->SetPrevious(block->BlockNo());
    block->SetNext(next->BlockNo());
    current.Reset(next);
    block = next;
    block->SetOwnerID(new_owner);
    block->SetLength(0);
  }
  const std::int32_t surplus = block->Next();
  block->SetNext(0);
  current.Reset(nullptr);
  if (surplus != 0) FreeChainFrom(surplus, old_owner, &visited);
  return new_first;
}

void TBlobFile::FreeChain(std::int32_t first, std::int32_t owner, bool tolerate) {
  if (first == 0) return;
  std::unordered_set<std::int32_t> visited;
  {
    TPinGuard pinned(GetChainBlock(nullptr, first, 1, &visited));
    if (pinned.Get()->OwnerID() != owner) {
      if (!tolerate) RaiseBlobError(TABULA_MEMOCORRUPT);
      pinned.Get()->SetOwnerID(owner);
    }
  }
  visited.erase(first);
  FreeChainFrom(first, owner, &visited, tolerate);
}

void TBlobFile::CheckChain(std::int32_t first, std::int32_t owner) {
  std::unordered_set<std::int32_t> visited;
  for (std::int32_t next = first; next != 0;) {
    TPinGuard pinned(GetChainBlock(nullptr, next, 1, &visited));
    if (pinned.Get()->OwnerID() != owner) RaiseBlobError(TABULA_MEMOCORRUPT);
    next = pinned.Get()->Next();
  }
}

void TBlobFile::FreeChainFrom(std::int32_t first, std::int32_t owner,
                              std::unordered_set<std::int32_t>* visited, bool tolerate) {
  // The whole chain is checked before anything is freed, so that a damaged chain is reported
  // without having been half freed.
  std::vector<std::int32_t> chain;
  std::int32_t next = first;
  while (next != 0) {
    TPinGuard pinned(GetChainBlock(nullptr, next, 1, visited));
    if (pinned.Get()->OwnerID() != owner) {
      if (tolerate) break;
      RaiseBlobError(TABULA_MEMOCORRUPT);
    }
    chain.push_back(next);
    next = pinned.Get()->Next();
  }
  // The first block last, so that the chain's head is the free chain's head afterwards.
  for (std::size_t i = chain.size(); i-- > 0;) {
    TPinGuard pinned(GetBlock(nullptr, chain[i], 1, false));
    FreeBlock(pinned.Get());
  }
}

}  // namespace tabula
