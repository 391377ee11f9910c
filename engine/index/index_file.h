// TIndexFile: a table's index file (.IDX) with its header, the page cache of every index, the
// allocation and freeing of pages, and the scratch file of temporary indexes.
//
// The file holds every B-tree of the table: the primary index (slot 0), up to 30 secondary
// indexes (slots 1..30), "Sys Deleted" (slot 31: one key per physical record, the record's
// status byte and identifier, with the physical record number as value) and "Sys Text" (slot
// 32: the words of text-indexed fields), the text-index parameter chain and the table's
// record count. The byte layout is in index_format.h and index_page.h.
//
// Pages are cached per slot: a map by page number and a most-recently-used chain, with
// a share of DataBufferSize div 8192 pages per slot. The shares of the slots in use form one
// pool, so that an index filled in random order can use what an index appended in key order
// (which needs a handful of pages) leaves: while the pool has room a new page is taken; a full
// pool reuses the least recently used page of all slots that is neither dirty nor pinned; when
// there is none it writes the dirty pages and looks again, and only then grows by 4 pages. Inside a
// transaction no page may reach the file before the commit: the dirty pages are spilled to a
// private shadow file instead (TShadowFile, page p as unit p), read back from it when fetched
// again, and copied to the file by the commit's FlushPages before the pages still dirty in memory;
// DiscardPages (the rollback) drops them. Only when the shadow cannot be written does the cache
// grow. Flush writes every dirty, unpinned page in runs of consecutive page numbers, one write per
// run of up to 64 pages. Every header write increments the header's change counter first; other
// processes compare it to learn that the file changed.
//
// Temporary indexes keep their pages in a scratch file of their own (numbered from 1) and their
// descriptors are never written to the index file.
//
// For the table and cursor layer:
//   - Create: set the options and FileName, DefinePrimaryIndex / AddSecondaryIndex, CreateNew
//     (writes the header: the file is then exactly 4096 bytes).
//   - Open / Close; ReadHeader, WriteHeader(force), HeaderChanged for change detection.
//   - InsertKey / DeleteKey (slot, comparator, key, record number) on every index the record
//     is in; Tree(slot, comparator) for searches and walks (TBTree).
//   - RecordCount and its setters; FlushPages, WriteHeader, TrimCaches at the end of each
//     update.
//
// Thread-safety: none of its own. The table object uses it under the engine-wide lock; every
// file transfer happens under the shared file's access lock (TFileHandler::ReadAt/WriteAt).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/index/btree.h"
#include "engine/index/index_format.h"
#include "engine/index/index_page.h"
#include "engine/storage/field_types.h"
#include "engine/storage/file_layer.h"
#include "engine/storage/shadow_file.h"

namespace tabula {

// An index as the table layer defines it.
struct TIndexDefinition {
  std::string Name;  // empty for the primary index
  // Field numbers (1-based) in key order, with each field's descending flag.
  std::vector<std::uint16_t> FieldNumbers;
  std::vector<bool> FieldDescending;
  // Sum of (1 + key width) over the fields, computed by the caller from the field types; the
  // record-ID suffix of a non-unique index is added here.
  std::uint16_t KeyLength = 0;
  bool Descending = false;
  bool CaseInsensitive = false;
  bool Unique = false;
  std::uint8_t Compression = icNone;
  bool NoSubtreeCounts = false;
  bool Temporary = false;
};

// Stop words and character sets of a table's text index, as stored in the parameter chain:
// a 32-bit stop-word count, each word as a length byte and its characters, then the 32-byte
// set of space characters and the 32-byte set of include characters (bit c of byte c div 8).
struct TTextIndexParameters {
  std::vector<std::string> StopWords;
  std::array<std::uint8_t, 32> Spaces{};
  std::array<std::uint8_t, 32> Includes{};

  std::vector<std::uint8_t> Encode() const;
  // False when the bytes end inside an item.
  bool Decode(const std::vector<std::uint8_t>& bytes);
};

// The checks a table's first open runs on the index header: version 5 (else
// TABULA_OLDVERSION); secondary names not empty, starting with a letter, "_" or a character
// from 128 to 254, and distinct without regard to case; an empty primary name and, unless the
// table has no primary index, the primary's unique flag; at most 16 fields, no 0 before a
// field number, every field an existing field that is not a BLOB, key widths adding up to 1 ..
// 522 and the key length equal to that sum (plus the record-ID suffix of a non-unique index);
// a known compression; root, free-chain and parameter-chain pages each 0 or within the file;
// the system descriptors' fixed key lengths, and "Sys Text" fields that are strings or memos.
// Everything else is TABULA_HEADERCORRUPT. `fields` are the table's field descriptors in
// field-number order.
std::uint16_t CheckIndexHeader(const TIndexHeader& header,
                               const std::vector<TFieldDescriptor>& fields);

class TIndexFile : public TFileHandler, public TPageStore {
 public:
  TIndexFile();
  ~TIndexFile() override;

  // ---- File lifecycle.
  // Opens the file and reads its header (unscrambled in an encrypted table); more secondary
  // indexes than slots give TABULA_HEADERCORRUPT. Resets the counters.
  void Open() override;
  // Drops temporary indexes, writes the dirty pages and the header when dirty, closes.
  void Close() override;
  // Creates the file and writes the header as defined so far (forced).
  void CreateNew() override;

  // ---- Settings, copied from the table and the session before Open or CreateNew.
  // The table's name for error messages (FileName when empty).
  const std::string& TableName() const { return table_name_; }
  void SetTableName(const std::string& name) { table_name_ = name; }
  bool Encrypted() const { return encrypted_; }
  void SetEncrypted(bool value) { encrypted_ = value; }
  // Pages cached per index: DataBufferSize div 8192.
  void SetDataBufferSize(std::int32_t bytes);
  int CacheCapacity(int slot) const { return caches_[slot].capacity; }
  // Directory of the scratch file for temporary indexes (the session's TempDirectory).
  void SetTempDirectory(const std::string& directory) { temp_directory_ = directory; }
  // Asked on a cache miss of a read that checks for changes: true when another process
  // changed the table (the caller then re-synchronises; the fetch reports failure).
  std::function<bool()> OnCheckChanges;
  // Told whenever pages were written (the table is changed).
  std::function<void()> OnModified;

  // ---- Header.
  const TIndexHeader& Header() const { return header_; }
  bool HeaderDirty() const { return header_dirty_; }
  void MarkHeaderDirty() { header_dirty_ = true; }
  // A new header: all zero, version 5, next page 1, record count 0, the system descriptors.
  void CreateHeader();
  void ReadHeader();
  // Writes the header when forced or dirty, incrementing the change counter first.
  void WriteHeader(bool force);
  // Re-reads block 0; when its change counter differs from the cached one the new header is
  // taken (keeping this process's temporary indexes), every cached page is discarded, and the
  // result is true.
  bool HeaderChanged();
  // Cuts the file to the header block and empties every index, the parameter chain and the
  // record count.
  void EmptyIndexes();
  // CheckIndexHeader on the cached header; raises its code.
  void CheckHeader(const std::vector<TFieldDescriptor>& fields) const;
  // Changes whenever the index definitions may have changed: the set of indexes, a
  // descriptor's fields, flags or key length, the no-primary-index flag or the text-index
  // parameter chain; also on every open and create. Roots, free chains, the record count and
  // the change counter leave it alone. Values are unique in the process (never reused by
  // another file), so whoever built something from the definitions can keep it while this
  // stays equal.
  std::uint64_t DefinitionsGeneration() const { return definitions_generation_; }

  // ---- Definitions.
  // `fields` are the table's field descriptors, in field-number order.
  void DefinePrimaryIndex(const TIndexDefinition& definition,
                          const std::vector<TFieldDescriptor>& fields);
  // Returns the new slot.
  int AddSecondaryIndex(const TIndexDefinition& definition,
                        const std::vector<TFieldDescriptor>& fields);
  // Slot 0: no primary index any more. Other slots: the later secondary indexes move down.
  void DeleteIndex(int slot);
  // True when the primary or a secondary index has this name (case-insensitive, trimmed).
  bool FindIndex(const std::string& name) const;
  // The slot of a primary or secondary index by name; -1 when there is none.
  int IndexSlot(const std::string& name) const;
  const TIndexDescriptor& Descriptor(int slot) const { return header_.Descriptors[slot]; }
  void DropTemporaryIndexes();

  // ---- Record count (header offset 3974).
  std::uint32_t RecordCount() const { return header_.RecordCount; }
  void SetRecordCount(std::uint32_t count);
  void IncRecordCount();
  void DecRecordCount();
  bool NoPrimaryIndex() const { return header_.NoPrimaryIndex; }

  // ---- Keys. REQUIRES: `key` holds the slot's key length; the comparator is the index's.
  // `hint` (optional): the place the slot's Contains just found for this key (TInsertHint).
  void InsertKey(int slot, const TKeyComparator& comparator, const std::uint8_t* key,
                 std::uint32_t record_number, TInsertHint* hint = nullptr);
  // TABULA_INDEXCORRUPT when the key with this record number is not in the index.
  void DeleteKey(int slot, const TKeyComparator& comparator, const std::uint8_t* key,
                 std::uint32_t record_number);
  // The tree of a slot, for searches, walks and ordinals. It refers to this file and to
  // `comparator`, which must outlive it.
  TBTree Tree(int slot, const TKeyComparator& comparator) {
    return TBTree(*this, slot, comparator);
  }

  // ---- Text-index parameters (the raw-page chain of slot 32).
  // Empty when none are stored.
  std::vector<std::uint8_t> ReadParameterChain();
  void WriteParameterChain(const std::vector<std::uint8_t>& bytes);

  // ---- Cache.
  // Writes every dirty, unpinned page (of temporary indexes to the scratch file), in runs of
  // consecutive page numbers. (TFileHandler::Flush still forces the file to the device.)
  void FlushPages();
  void TrimCaches();
  // Forgets every cached page of the permanent indexes without writing it (pages pinned by a
  // running operation stay until released).
  void DiscardPages();
  bool InTransaction() const { return in_transaction_; }
  void SetInTransaction(bool value) { in_transaction_ = value; }
  int CachedPages(int slot) const { return static_cast<int>(caches_[slot].pages.size()); }
  // Pages of the running transaction spilled to the shadow file.
  std::int64_t SpilledPages() const { return shadow_.HeldUnits(); }

  // ---- Counters.
  std::uint64_t PageFetches() const { return page_fetches_; }
  std::uint64_t DiskReads() const { return disk_reads_; }
  std::uint64_t PageWrites() const { return page_writes_; }
  // Pages written to the shadow file by spills (a page spilled twice counts twice).
  std::uint64_t SpillWrites() const { return spill_writes_; }
  void ResetCounters();

  // ---- TPageStore.
  TPage* FetchPage(int slot, std::uint32_t page_number, bool check_changes) override;
  void ReleasePage(TPage* page) override;
  TPage* AllocatePage(int slot) override;
  void FreePage(TPage* page) override;
  std::uint32_t RootPage(int slot) const override { return header_.Descriptors[slot].RootPage; }
  void SetRootPage(int slot, std::uint32_t page_number) override;
  TPageFormat PageFormatOf(int slot) const override;
  [[noreturn]] void RaiseIndexCorrupt() const override;

  // A file name for a new scratch file in `directory` ("\" or "/" separated): the directory,
  // the first five digits of `thread_id`, the first counter from 0 that gives a name not yet
  // taken, and the extension ".IXS".
  static std::string MakeScratchName(const std::string& directory, std::uint32_t thread_id);

 private:
  // Direct-mapped entries in front of each slot's page map (a power of two).
  static constexpr std::size_t kRecentPages = 128;
  struct TSlotCache {
    // Owned pages by page number.
    std::unordered_map<std::uint32_t, std::unique_ptr<TPage>> pages;
    // The page last cached or found under each page number modulo kRecentPages, so that a
    // descent finds the pages it keeps coming back to without a map lookup. Every non-null
    // entry is a page of `pages`: removing a page from the map clears its entry.
    std::array<TPage*, kRecentPages> recent{};
    TPage* mru_head = nullptr;  // most recently used
    TPage* mru_tail = nullptr;  // least recently used
    int capacity = 0;
  };

  [[noreturn]] void Raise(std::uint16_t code) const;
  bool IsTemporarySlot(int slot) const { return header_.Descriptors[slot].Temporary; }
  std::uint32_t NextPageOf(int slot) const;
  // Finds a cached page; nullptr on a miss.
  TPage* FindCached(int slot, std::uint32_t page_number);
  TPage* FetchOrAllocate(int slot, std::uint32_t page_number, bool allocate, bool check_changes);
  // A page object for `slot`, not yet in its list (reused, spare, or new).
  std::unique_ptr<TPage> TakePageObject(int slot);
  // True when the slots in use (those holding pages, and `slot`) hold as many pages as their
  // shares add up to.
  bool PoolFull(int slot) const;
  // The least recently used page of all slots that is neither dirty nor pinned, among the
  // `reach` least recently used pages; null when none.
  TPage* OldestReusablePage(std::size_t reach = SIZE_MAX) const;
  // Calls `visit(page)` for the cached pages of `slots` (a bit per slot), least recently used
  // first, until it returns false.
  template <typename TVisit>
  void VisitOldestFirst(std::uint64_t slots, TVisit visit) const;
  void InsertCached(int slot, std::unique_ptr<TPage> page);
  std::unique_ptr<TPage> RemoveFromCache(int slot, TPage* page);
  void MruUnlink(TSlotCache& cache, TPage* page);
  void MruPushFront(TSlotCache& cache, TPage* page);
  // Writes the dirty, unpinned pages of the main file (temporary = false, after the spilled
  // pages of the shadow) or of the scratch file.
  void WriteDirtyPages(bool temporary);
  // The dirty, unpinned pages of the permanent (or temporary) slots in ascending page number.
  std::vector<TPage*> DirtyPages(bool temporary) const;
  // Encodes `pages` into runs of consecutive page numbers, each of at most kMaxPagesPerWrite
  // pages, and hands each run to `write`.
  static constexpr std::size_t kMaxPagesPerWrite = 64;
  template <typename TRunWriter>
  void ForEachPageRun(const std::vector<TPage*>& pages, TRunWriter write);
  // Inside a transaction: writes the least recently used dirty pages of the permanent slots
  // (a kSpillShare-th of their cached pages, at least kMinSpillPages) to the shadow file and
  // marks them clean; false when nothing could be spilled.
  static constexpr std::size_t kSpillShare = 16;
  static constexpr std::size_t kMinSpillPages = 8;
  bool SpillPages();
  // The permanent slots holding pages (a bit per slot), and how many pages one spill writes.
  std::uint64_t SpillableSlots() const;
  std::size_t SpillBatch(std::uint64_t slots) const;
  void ReadBlock(bool scratch, std::uint32_t page_number, std::uint8_t* buffer);
  // The header block as it goes to the disk (scrambled in an encrypted table): temporary
  // descriptors left out. Encodes only what changed since the last call.
  void EncodeHeaderForDisk(std::uint8_t* block);
  void EnsureScratchFile();
  void RotateSlots(int first, int middle, int last);
  // Forgets the cached pages of one slot without writing them.
  void DiscardSlot(int slot);
  void ValidateFields(const TIndexDefinition& definition,
                      const std::vector<TFieldDescriptor>& fields, bool primary) const;
  TIndexDescriptor DescriptorFor(const TIndexDefinition& definition) const;
  void FreeChain(int slot, std::uint32_t first);
  // Takes a new definitions generation.
  void DefinitionsChanged();
  // Replaces the header by one read from the file; a new generation when its definitions
  // differ.
  void TakeHeader(TIndexHeader decoded);

  TIndexHeader header_;
  bool header_dirty_ = false;
  std::uint64_t definitions_generation_ = 0;
  // The header block last encoded for the disk (unscrambled) and what it was built from: the
  // definitions generation (0: nothing encoded yet), the number of permanent secondary indexes,
  // and every slot's page numbers. Within one generation only the page numbers and the fields
  // outside the descriptors can differ, so a write re-encodes just those.
  struct TSlotPages {
    std::uint32_t root = 0;
    std::uint32_t free = 0;
    std::uint32_t parameter = 0;
    bool operator==(const TSlotPages&) const = default;
  };
  std::array<std::uint8_t, kIndexBlockSize> encoded_header_{};
  std::uint64_t encoded_generation_ = 0;
  int encoded_permanent_ = 0;
  std::array<TSlotPages, kIndexSlotCount> encoded_pages_{};
  std::string table_name_;
  bool encrypted_ = false;
  int default_capacity_ = 2;
  std::string temp_directory_;
  bool in_transaction_ = false;
  std::array<TSlotCache, kIndexSlotCount> caches_;
  // Bit s set: caches_[s] holds pages. Kept by InsertCached, RemoveFromCache and DiscardSlot,
  // and taken anew (NoteSlotsWithPages) when slots move.
  static_assert(kIndexSlotCount <= 64);
  std::uint64_t slots_with_pages_ = 0;
  void NoteSlotsWithPages();
  // Spare page objects (the page stack): at most kSparePages.
  static constexpr std::size_t kSparePages = 4;
  std::vector<std::unique_ptr<TPage>> spare_;
  std::unique_ptr<TFileHandler> scratch_;
  std::uint32_t scratch_next_page_ = 1;
  std::uint64_t use_tick_ = 0;  // stamps TPage::LastUse
  std::uint64_t page_fetches_ = 0;
  std::uint64_t disk_reads_ = 0;
  std::uint64_t page_writes_ = 0;
  std::uint64_t spill_writes_ = 0;
  // Transfer buffer for runs of pages; grown as needed.
  std::vector<std::uint8_t> run_buffer_;
  // Spilled pages of the running transaction.
  TShadowFile shadow_{kIndexBlockSize};
};

}  // namespace tabula
