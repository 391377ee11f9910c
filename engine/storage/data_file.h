// The data file of a table (.DAT): its header, its field descriptors and its records.
//
// TDataFile keeps a copy of the 127-byte header with a header-changed flag and the field
// descriptors with a descriptors-changed flag; both reach the file only through WriteHeader and
// WriteDescriptors, which the table calls when it flushes. Every header write increments the
// header's ChangeCount, which is how other processes learn that the table changed. Records pass
// through the record cache that the data file owns; the cache reads and writes runs of
// consecutive records through ReadRecords/WriteRecords (the TRecordFile side of this class).
//
// The layout of the file and of the header and records is in data_file_format.h; the field
// descriptor in field_types.h.
//
// Open reads only: a file that fails to open (wrong size, a field count above 1024, a damaged
// text) is closed again untouched. Open checks no more than it needs to read the file, so that
// verification and repair can open damaged tables; CheckHeader runs the full consistency checks
// that a table's first cursor runs.
//
// Errors are raised as ETabulaEngineError with TableName() as the table (the file name unless
// the table sets its own name); failures of the file layer itself carry the file name.
//
// Thread-safety: one thread at a time (the engine's call serialisation); file transfers take the
// shared file's access lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/data_file_format.h"
#include "engine/storage/field_types.h"
#include "engine/storage/file_layer.h"
#include "engine/storage/record_cache.h"

namespace tabula {

class TDataSession;

// What the data file needs of the table object that owns it. Without an owner the data file
// behaves as a table that holds no transaction and no internal primary index.
class TDataFileOwner {
 public:
  virtual ~TDataFileOwner() = default;
  // The data file wrote (or touched) its header or wrote records.
  virtual void TableModified() = 0;
  // The table's files were written since they were opened.
  virtual bool TableWasModified() const = 0;
  // The table holds its transaction lock: dirty records stay in memory.
  virtual bool HoldsTransactionLock() const = 0;
  // The index file's internal-primary-index flag: records are kept in insertion order, so
  // deleted records are never reused.
  virtual bool InternalPrimaryIndex() const = 0;
};

class TDataFile : public TFileHandler, public TRecordFile {
 public:
  TDataFile();
  ~TDataFile() override;

  // The owning table and the session whose settings apply; neither is owned, both may be null
  // (defaults: no transaction, ForceBufferFlush off, the session's default buffer sizes).
  void SetOwner(TDataFileOwner* owner) { owner_ = owner; }
  void SetSession(const TDataSession* session) { session_ = session; }
  // The name used in errors; the file name when empty.
  void SetTableName(const std::string& name) { table_name_ = name; }

  // Clears the header and fills it for a new table: the locale, sort, user versions,
  // encryption, password and description (scrambled when encrypted), FormatVersion 5, no
  // records, ChangeCount 0 and the BLOB block size; copies the descriptors (whose numbers,
  // offsets and physical sizes the caller's validation has set), counts the BLOB fields and
  // computes RecordSize; marks header and descriptors changed; then creates the file, which
  // is left open (exclusively). Nothing is written before the table flushes.
  // Raises TABULA_FLDLIMIT for more than 1024 fields, TABULA_RECTOOBIG for a record size of
  // 65536 or more (the header cannot hold 65536), TABULA_BLOBLIMIT for more than 128 BLOB
  // fields, each before the file is created.
  void CreateTable(std::uint16_t locale_id, std::uint16_t sort_id,
                   const std::vector<TFieldDescriptor>& descriptors, std::uint16_t blob_block_size,
                   const std::string& description, const std::string& password, bool encrypted,
                   std::uint16_t user_major_version, std::uint16_t user_minor_version);

  // Opens the file and reads the header and the descriptors; sizes the record cache. Does
  // nothing when open. Raises TABULA_READERR for a file too short for its header or
  // descriptors, TABULA_HEADERCORRUPT for more than 1024 fields or a damaged text; the file is
  // then closed again.
  void Open() override;
  // Frees the descriptors, empties the record cache (dirty records are dropped: the table
  // flushes first) and closes the file. Does nothing when closed.
  void Close() override;

  // The checks of a table's first cursor (CheckDataHeader against the file's size): raises
  // TABULA_OLDVERSION or TABULA_HEADERCORRUPT.
  void CheckHeader();

  // ---- Header ----

  // Reads the 127 bytes at offset 0 into the copy; clears the header-changed flag.
  void ReadHeader();
  // Reads the 127 bytes at offset 0; when their ChangeCount equals the copy's, returns false and
  // keeps the copy; otherwise replaces the copy with them and returns true.
  bool HeaderChanged();
  // Unless forced or changed returns false. Otherwise increments ChangeCount, stamps
  // EngineVersion and LastUpdated, writes the header, tells the table, clears the flag and
  // returns true.
  bool WriteHeader(bool force = false);
  // Increments ChangeCount in the copy, marks the header changed and tells the table, without
  // writing (inside transactions).
  void TouchHeader();
  const TDataHeader& Header() const { return header_; }
  bool HeaderIsChanged() const { return header_changed_; }
  void MarkHeaderChanged() { header_changed_ = true; }

  // ---- Descriptors ----

  // Reads FieldCount descriptors at offset 127 (a short read is TABULA_READERR), unscrambling
  // them as one run when encrypted; clears the descriptors-changed flag.
  void ReadDescriptors();
  // When the descriptors changed: writes them as one run (scrambled when encrypted) at offset
  // 127, flushes when the session's ForceBufferFlush is set, clears the flag, returns true.
  bool WriteDescriptors();
  bool DescriptorsChanged() const { return descriptors_changed_; }
  const std::vector<TFieldDescriptor>& Descriptors() const { return descriptors_; }
  std::uint16_t FieldCount() const { return header_.FieldCount; }
  // A copy of descriptor `index` (0-based) / of field `field_no` (1-based): TABULA_OUTOFRANGE
  // when there is none.
  TFieldDescriptor GetDescriptor(std::size_t index) const;
  TFieldDescriptor GetDescriptorByNumber(std::uint16_t field_no) const;
  // The descriptor whose name equals `name` without regard to case; TABULA_OUTOFRANGE when none.
  TFieldDescriptor GetDescriptorByName(const std::string& name) const;
  // Replaces only FieldNo, FieldName, FieldSubType, FieldDescription, Required, MinValue,
  // MaxValue and DefaultValue of field `field_no`; type, sizes and offsets never change in
  // place. Marks the descriptors changed. TABULA_OUTOFRANGE for a field that does not exist.
  void AlterDescriptor(std::uint16_t field_no, const TFieldDescriptor& descriptor);

  // ---- Header values ----

  // Cuts the file right after the descriptors, flushes when ForceBufferFlush is set, empties
  // the record cache, and resets ChangeCount, FirstFreeRecord, NextRecordNo (1) and
  // LastRecordID; marks the header changed.
  void EmptyTable();
  std::int32_t NewRecordID();
  std::int32_t NewBlobID();
  void SetLastRecordID(std::int32_t value);
  // FirstFreeRecord unless the table keeps an internal primary index, else NextRecordNo.
  std::int32_t RecordForInsert() const;
  void SetFirstFreeRecord(std::int32_t record_no);
  std::int32_t PhysicalRecordCount() const { return header_.PhysicalRecordCount(); }
  std::uint16_t GetBlobBlockSize() const { return header_.GetBlobBlockSize(); }
  std::string GetDescription() const { return header_.PlainDescription(); }
  std::string GetPassword() const { return header_.PlainPassword(); }
  bool Encrypted() const { return header_.Encrypted; }
  // Stores password and description as CreateTable does, sets LastRecordID and the user
  // versions, marks the header changed.
  void AlterHeader(const std::string& password, const std::string& description,
                   std::int32_t last_record_id, std::uint16_t user_minor_version,
                   std::uint16_t user_major_version);

  // ---- Records ----

  // The record cache (null while closed).
  TRecordCache* Cache() const { return cache_.get(); }
  // The record an insert uses, pinned: a deleted record taken from the free chain, or a new
  // record appended (TABULA_TABLEFULL beyond the limits). Null when the cursor's change check
  // re-positioned it. A free-chain head that is not a deleted record cuts the chain and the
  // insert appends.
  TRecord* TakeFreeRecord(TRecordCacheCursor* cursor);
  // Marks a cached record deleted and links it into the free chain.
  void FreeRecord(TRecord* record);
  // Reads up to `count` records from `first` in plain form straight from the file (for the
  // inspector and repair; the cache is not consulted). Returns the whole records read.
  std::int32_t ReadRecordImages(std::int32_t first, std::int32_t count, std::uint8_t* buffer);

  // ---- TRecordFile ----
  std::int32_t RecordSize() const override { return header_.RecordSize; }
  std::int32_t NextRecordNo() const override { return header_.NextRecordNo; }
  void AppendRecordNo(std::int32_t record_no) override;
  std::int64_t ReadRecords(std::int32_t first, std::int32_t count, std::uint8_t* buffer) override;
  void WriteRecords(std::int32_t first, std::int32_t count, const std::uint8_t* buffer) override;
  bool ShortReadAllowed() const override;
  bool HoldsTransactionLock() const override;
  bool StrictChangeDetection() const override;
  std::int32_t DataBufferSize() const override;
  std::int32_t DataBufferCount() const override;
  void ScrambleImage(std::uint8_t* image) const override;
  const std::string& TableName() const override;

 private:
  [[noreturn]] void RaiseDataError(std::uint16_t code, const std::string& field = {}) const;
  // Grows a scratch buffer in 4096-byte steps to hold `size` bytes.
  static void EnsureScratch(std::vector<std::uint8_t>& buffer, std::size_t size);
  void TellTableModified();
  bool ForceBufferFlush() const;
  bool InternalPrimaryIndex() const;
  std::size_t IndexOfField(std::uint16_t field_no) const;
  // Reads the header bytes at offset 0 into `header`.
  void ReadHeaderInto(TDataHeader* header);

  TDataFileOwner* owner_ = nullptr;        // not owned: the table owns this file
  const TDataSession* session_ = nullptr;  // not owned
  std::string table_name_;
  TDataHeader header_;
  bool header_changed_ = false;
  std::vector<TFieldDescriptor> descriptors_;
  bool descriptors_changed_ = false;
  bool modified_ = false;  // written, touched or appended to since opened
  std::vector<std::uint8_t> read_scratch_;
  std::vector<std::uint8_t> write_scratch_;
  std::unique_ptr<TRecordCache> cache_;
};

}  // namespace tabula
