// The cursor: one per open table component, SQL source table and query result.
//
// A cursor holds its own options, its own copy of the field descriptors, its current index and
// position and its current record image, and performs the table-level operations the
// components ask for: open and close, create, delete, rename and empty a table, table
// information, and reading and writing field values in record images. It reaches its table
// object (TDataTable) only through its database (TDataDirectory), which shares one table
// object among every cursor of the database on the same table.
//
// Options are set while the cursor is closed; setting one on an open cursor raises
// TABULA_TABLEOPEN. SuppressAutoInc is the one setting of an open cursor.
//
// Invariants:
//   - IsOpen() exactly while table_ is non-null;
//   - an open cursor's descriptors, FieldCount and RecordSize are those of its table when it
//     opened, and its record image holds RecordSize bytes.
//
// Thread-safety: one thread at a time (the components' engine-wide lock).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/index/btree.h"
#include "engine/index/keys.h"
#include "engine/storage/blob_buffer.h"
#include "engine/storage/data_table.h"
#include "engine/storage/field_types.h"
#include "engine/storage/record_cache.h"
#include "engine/storage/records_bitmap.h"

namespace tabula {

class TDataDirectory;
class TCollation;

// The index number of record-number order (no index).
constexpr std::uint8_t kNoIndex = 255;
// Longest trimmed password of an encrypted table, plus one.
constexpr std::size_t kPasswordLimit = 16;
// Most index definitions a new table may have.
constexpr std::size_t kMaxIndexDefinitions = 32;

// What the table information operation returns. Description and password are plain text.
struct TTableInfo {
  std::string Description;
  bool Encrypted = false;
  std::string Password;
  std::string FormatVersion;
  std::uint16_t UserMajorVersion = 0;
  std::uint16_t UserMinorVersion = 0;
  std::uint16_t LocaleID = 0;
  std::uint16_t SortID = 0;
  std::uint16_t BlobBlockSize = 0;
  std::int32_t LastRecordID = 0;
};

// True for a character that may start a field, index or SQL name: an ASCII letter, "_", or a
// character from 128 to 254.
bool IsIdentifierStart(unsigned char c);

// Whether `text` is a valid MinValue, MaxValue or DefaultValue of a field of `descriptor`'s
// type: empty is always valid; strings, bytes and varbytes take any text; the other types take
// their literals ("CURRENT_DATE", dates yyyy-mm-dd, times hh:mm[:ss[.ms]] with AM/PM,
// timestamps, TRUE/FALSE, decimal integers within the type's range, numbers with "." as the
// separator).
bool IsValidValueText(const TFieldDescriptor& descriptor, const std::string& text);

class TDataCursor : public TRecordCacheCursor {
 public:
  // Asked when the table is encrypted and the session lacks its password: true to look again
  // (after adding the password to the session), false to give up.
  using TPasswordCallback = std::function<bool(TDataCursor& Sender, void* context)>;

  // `database` (not owned) outlives the cursor.
  explicit TDataCursor(TDataDirectory& database);
  // Closes the cursor when open (errors are swallowed).
  ~TDataCursor() override;
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  TDataDirectory& Database() const { return database_; }

  // ---- Options (closed cursor only; TABULA_TABLEOPEN otherwise).
  const std::string& TableName() const { return table_name_; }
  // A name given with an extension has it replaced by ".DAT"; cut to 255 characters.
  void SetTableName(const std::string& name);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  bool ShareExclusive() const { return share_exclusive_; }
  void SetShareExclusive(bool value);
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  bool InMemory() const { return in_memory_; }
  void SetInMemory(bool value);
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool value);
  bool QueryResult() const { return query_result_; }
  void SetQueryResult(bool value);
  bool NaturalOrder() const { return natural_order_; }
  void SetNaturalOrder(bool value);
  void SetPasswordCallback(TPasswordCallback callback, void* context);
  // Ignored unless the open table has an auto-increment field.
  bool SuppressAutoInc() const { return suppress_auto_inc_; }
  void SetSuppressAutoInc(bool value);

  // ---- Opening and closing.
  // Nothing when open. Raises the table layer's errors with the table name; any failure after
  // the table object was acquired closes the cursor again.
  void Open(bool keep_position = false);
  // Releases the table object (which closes the table when this was its last cursor).
  void Close(bool flush = true);
  bool IsOpen() const { return table_ != nullptr; }
  // The table object of an open cursor (owned by the database), else null.
  TDataTable* Table() const { return table_; }
  // Cursors on files with the read-only attribute take no locks.
  bool LockingDisabled() const { return locking_disabled_; }

  // ---- Table-level operations.
  // Validates `definition` (see the .cpp for the order of the checks) and creates the table
  // named TableName.
  void CreateTable(const TTableDefinition& definition);
  // TABULA_TABLEOPEN when open; TABULA_OSENOENT when the table does not exist.
  void DeleteTable();
  void RenameTable(const std::string& new_name);
  // Needs an exclusive (TABULA_NEEDEXCLACCESS), writable (TABULA_OSEACCES) open cursor.
  void EmptyTable();
  // From the open table, or from the data file's header alone when closed.
  TTableInfo GetTableInfo();

  // ---- Fields (numbered from 1; TABULA_OUTOFRANGE for others).
  // Reads field `field_no` of `image` into `value` (FieldValueSize bytes); true when null.
  bool GetField(std::uint16_t field_no, const std::uint8_t* image, std::uint8_t* value) const;
  // Stores `value` (nullptr: null) into `image`. A computed field is written only when
  // `force`; a change through a read-only cursor is TABULA_OSEACCES.
  void SetField(std::uint16_t field_no, std::uint8_t* image, const std::uint8_t* value,
                std::size_t value_size, bool force = false);
  TFieldDescriptor GetDescriptor(std::uint16_t field_no) const;
  const std::vector<TFieldDescriptor>& Descriptors() const { return descriptors_; }
  std::int32_t RecordSize() const { return record_size_; }
  std::uint16_t FieldCount() const { return field_count_; }
  std::uint16_t IndexCount() const;
  std::uint16_t LocaleID() const { return locale_id_; }
  std::uint16_t SortID() const { return sort_id_; }
  bool HasAutoIncField() const { return has_auto_inc_; }
  bool HasValueChecks() const { return has_value_checks_; }
  bool HasDefaults() const { return has_defaults_; }

  // ---- Position state for navigation and editing.
  // The cursor's own current record image (RecordSize bytes while open).
  std::vector<std::uint8_t>& RecordImage() { return record_image_; }
  std::uint8_t CurrentIndex() const { return current_index_; }
  std::int32_t RecordNo() const { return record_no_; }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  // The change counters of the data and index headers this cursor last synchronised with.
  std::int32_t DataChangeCount() const { return data_change_count_; }
  std::uint32_t IndexChangeCount() const { return index_change_count_; }
  // Takes the table's current counters.
  void RememberChangeCounters();

  // ---- Navigation
  //
  // The cursor reads in index order (the current index's B-tree) or in record-number order
  // (no index, or the primary slot of a table without a primary index of its own). A record is
  // visible when it is active, lies inside the range (index order) and passes the cursor's
  // filters. Positioning operations run inside a read frame (CheckChanges ... EndRead); a page
  // fetch or record read that finds the table changed by another process re-synchronises the
  // cursor and the step starts again. The codes returned are 0, TABULA_BOF, TABULA_EOF or
  // TABULA_RECNOTFOUND; with a code other than 0 the buffer is zeroed.
  //
  // No current record: Bof() and Eof() both set, ordinal and record number 0.

  // Before the first visible record (standing on it with Bof set).
  void SetToBegin();
  // After the last visible record (standing on it with Eof set).
  void SetToEnd();
  // Steps forward (backward) and copies RecordSize bytes into `buffer` (may be null).
  std::uint16_t GetNextRecord(std::uint8_t* buffer);
  std::uint16_t GetPriorRecord(std::uint8_t* buffer);
  // Up to *count forward steps, the records one after another in `buffer`; *count becomes the
  // number delivered. Returns the last code.
  std::uint16_t ReadRecordBlock(std::int32_t* count, std::uint8_t* buffer);
  // Goes to the record whose GetRecNo is n; true when reached. Below the first: on the first
  // with Bof; above the last: on the last with Eof.
  bool SetToRecNo(std::int32_t n);
  // Record-number order: the number of visible records up to the current one. Index order:
  // the current key's place in the range (counting records that filters hide); 0 for none.
  std::int32_t GetRecNo() const;
  std::int32_t GetRecordCount() const;
  // Record-number order: 4 bytes (the record number); index order: the key length.
  std::uint16_t GetBookmarkSize() const;
  // The current record number or key; all zero without a current entry.
  void GetBookmark(std::uint8_t* bookmark) const;
  // Returns to a bookmark, or to its nearest visible neighbour. True with `keep_flags`;
  // otherwise true only when the cursor's bookmark now equals the given one.
  bool SetToBookmark(const std::uint8_t* bookmark, bool keep_flags, bool skip_check);
  // Index order: the bookmark that the record in `image` (RecordSize bytes with its identifier,
  // as posted) has in the current index, the one GetBookmark gives while the cursor stands on
  // it; 0, or the key builder's code. TABULA_NOCURRREC in record-number order, where a bookmark
  // is the record's number.
  std::uint16_t BookmarkOfImage(const std::uint8_t* image, std::uint8_t* bookmark) const;
  // -1, 0 or 1 in the cursor's order.
  int CompareBookmarks(const std::uint8_t* a, const std::uint8_t* b) const;
  // Searches the current index (index order only; false otherwise) for a ready key
  // (`keys_given`) or the key of a record image. `field_count` 1 .. index fields - 1 (or any
  // count on a non-unique index, 0 meaning all) and `partial_length` (leading characters of
  // the next field) make the key partial. Copies the record reached into `result` (may be
  // null).
  bool Find(bool keys_given, const std::uint8_t* key_or_image, bool nearest,
            std::uint16_t field_count, std::uint16_t partial_length, std::uint8_t* result);
  // Restricts an index-ordered cursor to the keys between the bounds (both inclusive); a null
  // bound leaves its side open. Field counts make a bound partial as in Find.
  void SetRange(bool keys_given, const std::uint8_t* start, std::uint16_t start_fields,
                const std::uint8_t* end, std::uint16_t end_fields);
  void ResetRange();
  bool RangeActive() const { return range_active_; }
  // Switches to the primary index (empty name) or a secondary index; the range is removed.
  // TABULA_INVALIDINDEXNAME (with the index and table names) for a name that is no index.
  void SetIndexName(const std::string& name);
  const std::string& IndexName() const { return index_name_; }
  // True in record-number order.
  bool RecordNumberOrder() const { return record_order_; }
  // Goes to the other cursor's current record (same table); TABULA_RECNOTFOUND when there is
  // no such record in this cursor's order (the cursor then does not move in index order).
  std::uint16_t SetToCursor(TDataCursor& other);
  // A new open cursor with this cursor's settings, index, range and position.
  std::unique_ptr<TDataCursor> CloneCursor();
  // Re-reads the table's state and returns to the current record.
  void Refresh();
  // Goes to the record held in the cursor's record image (its record number at offset 1 in
  // record-number order, its key in index order), or to its nearest visible neighbour, and
  // reloads it. The editing operations put the record they posted into RecordImage() first.
  void Reposition();
  // Recomputes the range positions (and the bitmaps) after this process changed the table.
  void ComputeRangePositions();
  // Brings the working bitmap up to date after a post of record `record_no` (active again)
  // or its delete; does nothing in index order without filters.
  void RecordPosted(std::int32_t record_no);
  void RecordDeleted(std::int32_t record_no);

  // ---- Read, write and scan frames (change detection)
  //
  // Each Begin* takes its table-level lock (none for exclusive cursors or read-only files),
  // and when the lock found a change by another process, or the table's cached change
  // counters differ from the ones this cursor last synchronised with, re-synchronises the
  // cursor and returns true. Frames nest; the lock a frame took is released by its
  // outermost End*.
  bool BeginRead();
  // The next EndRead gives the table's read lock back (and may therefore fail).
  bool EndReadReleases() const;
  void EndRead();
  // Releases a read lock this cursor holds first (the write lock covers the read bytes).
  bool BeginWrite();
  void EndWrite();
  bool BeginScan();
  void EndScan();
  // At the start of every navigation and read: with the session's StrictChangeDetection on,
  // BeginRead (the caller ends the frame with EndRead); off, only the comparison of the
  // change counters, and when they differ BeginRead, whose re-synchronisation reads the files
  // under the read lock (the caller still calls EndRead, which then releases what BeginRead
  // or a cache miss took).
  void CheckChanges();
  // Takes the table's counters, recomputes the ranges and bitmaps and returns to the
  // bookmark of the current record (from the cursor's own copy of it), keeping Bof and Eof
  // while the record reached is still the first or the last. RecordImage() is reloaded when
  // the cursor has a current record (so an edited image belongs elsewhere until posted).
  void Resync();

  // ---- TRecordCacheCursor (the record cache asks on a miss).
  bool LockAndCheckForChanges() override;
  std::int32_t ConsecutiveRecordsAhead(std::int32_t record_no, TReadDirection direction,
                                       std::int32_t limit) override;

  // ---- Editing (data_cursor_edit.cpp). Every image is RecordSize bytes in the caller's buffer.
  // The posting and deleting operations raise their errors with the table name (field errors
  // with the field name, key violations with the index name); the checks (read-only cursor,
  // validation, comparison with the caller's image, unique keys) all come before the first
  // change, so a post or delete that fails one of them changes nothing. The write lock and
  // every record lock an operation takes are released again, also when it fails.

  // A new, empty record image: zeros, then each field's DefaultValue ("CURRENT_DATE",
  // "CURRENT_TIME" and "CURRENT_TIMESTAMP" are taken from the local clock).
  void InitRecord(std::uint8_t* buffer);
  // A duplicate of the current record: zeros, then every non-null field value (the identifier
  // only with SuppressAutoInc). TABULA_NOCURRREC without a current record.
  std::uint16_t CopyCurrentRecord(std::uint8_t* buffer);
  // Reads the current record into `buffer`. With `for_edit` the edit starts: under the
  // pessimistic protocol the record is locked, and unless the cursor is exclusive the current
  // record must still equal `buffer` (the image the caller saw), else the lock is dropped and
  // TABULA_KEYORRECDELETED raised; the optimistic protocol only compares. Returns
  // TABULA_NOCURRREC, TABULA_BOF or TABULA_EOF (buffer zeroed) without a current record.
  std::uint16_t FetchCurrent(std::uint8_t* buffer, bool for_edit);
  // Adds the record in `image` to the table; with `reposition` the cursor stands on it after.
  // The image gets the identifier the record was stored with.
  void PostInsert(std::uint8_t* image, bool reposition);
  // Replaces the current record with `image`. The identifier never changes unless
  // SuppressAutoInc is set. Under the pessimistic protocol `unlock_after` ends the edit's
  // record lock; under the optimistic one a record changed by another user since it was read
  // raises TABULA_KEYORRECDELETED, and so does every further post until CancelEdit.
  void PostEdit(std::uint8_t* image, bool unlock_after, bool reposition);
  // Ends an edit without writing: drops the record lock (pessimistic) or the change-detected
  // state (optimistic).
  void CancelEdit();
  // Deletes the current record; `image` (may be null) is the image the caller last saw.
  // TABULA_RECLOCKFAILED when another cursor of this process is editing the record.
  void DeleteCurrent(const std::uint8_t* image, bool reposition);
  // Record locks of this cursor: `record_no` 0 is the current record. A record that another
  // cursor of the table object holds is TABULA_RECLOCKFAILED; one that another process holds
  // is retried 1 + LockRetryCount times, LockWaitTime ms apart. Nothing for an exclusive cursor
  // or read-only files.
  void LockCursorRecord(std::int32_t record_no);
  void UnlockCursorRecord(std::int32_t record_no);
  // The record this cursor holds locked (0 when none), and the optimistic protocol's flag that
  // a post found the record changed by another user.
  std::int32_t LockedRecord() const { return locked_record_; }
  bool ChangeDetected() const { return change_detected_; }

  // ---- BLOB values
  // A cursor edits BLOB values in memory buffers (TBlobBuffer), one per value it opened in one
  // of the caller's record buffers. While a value is open, its field's first-block slot in that
  // record buffer holds the buffer's identity (a negative number) and its null flag is set
  // exactly when the value is not empty; the buffer reaches the BLOB file only when the record
  // is posted. Each operation returns 0 or an engine error code; `record` is a record buffer of
  // RecordSize bytes.
  enum TBlobOpenMode : std::uint8_t { bmRead = 0, bmWrite = 1, bmReadWrite = 2 };
  // Opens the value of BLOB field `field_no` (TABULA_NOTABLOB for any other field) and gives
  // its length. A value this cursor has open already is opened once more; an identity that is
  // not one of this cursor's buffers is TABULA_INVALIDBLOBOFFSET; a 129th buffer is
  // TABULA_OPENBLOBLIMIT. Reading the value can fail with TABULA_KEYORRECDELETED (another
  // process rewrote it since `record` was read) or TABULA_MEMOCORRUPT. With `free_at_post`
  // the buffer goes when the record is posted.
  std::uint16_t OpenBlob(std::uint16_t field_no, std::uint8_t* record, TBlobOpenMode mode,
                         bool free_at_post, std::uint32_t* size);
  // The following need the field's slot to name one of this cursor's buffers, else
  // TABULA_INVALIDBLOBHANDLE.
  // Copies up to `count` bytes from `offset`; *read gets the number copied. Reading past the
  // end gives the bytes up to the end (none from at or past it) and TABULA_ENDOFBLOB.
  std::uint16_t GetBlob(std::uint16_t field_no, const std::uint8_t* record, std::uint32_t offset,
                        std::uint32_t count, std::uint8_t* destination, std::uint32_t* read);
  // Writes `count` bytes at `offset`, growing the value with zeros when needed.
  std::uint16_t PutBlob(std::uint16_t field_no, std::uint8_t* record, std::uint32_t offset,
                        std::uint32_t count, const std::uint8_t* source);
  std::uint16_t TruncateBlob(std::uint16_t field_no, std::uint8_t* record, std::uint32_t length);
  std::uint16_t GetBlobSize(std::uint16_t field_no, const std::uint8_t* record,
                            std::uint32_t* size);
  // Closes the value once; the last close frees the buffer and puts the first block back into
  // the slot, so that changes not posted are dropped.
  std::uint16_t FreeBlob(std::uint16_t field_no, std::uint8_t* record);
  // Frees every buffer of the cursor (closing, cancelling an edit).
  void FreeAllBlobs() { blob_buffers_.Clear(); }
  std::size_t OpenBlobCount() const { return blob_buffers_.Count(); }

  // What posting and deleting do with BLOB values, under the table's write lock.
  // Before the first change of a post: every BLOB slot of `image` holds a block number or
  // names one of this cursor's buffers of that field (else TABULA_INVALIDBLOBHANDLE), and the
  // changed buffers all belong to one record (else TABULA_MEMOCORRUPT).
  std::uint16_t CheckBlobsForPost(const std::uint8_t* image) const;
  // Writes every changed value of `image` under a new owner identifier and stores each BLOB
  // field's first block, owner and null flag into `stored` (the record as it goes into the
  // cache) and back into `image`; frees the buffers `image` names. A value that became empty
  // frees its chain; so does, given `previous` (the record as it was before an edit), a value
  // that the new record no longer refers to. Raises the BLOB file's errors.
  void WriteBlobValues(std::uint8_t* image, std::uint8_t* stored,
                       const std::uint8_t* previous = nullptr);
  // Before the first change of a delete: the chains of `stored` (the record as stored) are
  // whole. TABULA_MEMOCORRUPT otherwise.
  std::uint16_t CheckBlobsForDelete(const std::uint8_t* stored);
  // Frees the chains of every value of `stored` (the record being deleted), clears its slots
  // and frees this cursor's buffers on that record.
  void FreeBlobValues(std::uint8_t* stored);
  // Gives `target` a copy of every BLOB value of `source` (the current record): each one a new
  // buffer, changed and freed at post, so that posting `target` writes new chains.
  std::uint16_t CopyBlobValues(const std::uint8_t* source, std::uint8_t* target);
  // True when field `field_no` is one of the text-indexed fields ("Sys Text").
  bool FieldHasTextIndex(std::uint16_t field_no) const;
  // The value of BLOB field `field_no` of `record` as the caller sees it (an open buffer's
  // data, else the stored value); with `original`, an open buffer's value as it was opened.
  // Raises the BLOB file's errors.
  std::vector<std::uint8_t> BlobValue(std::uint16_t field_no, const std::uint8_t* record,
                                      bool original = false);

 private:
  void RequireClosed() const;
  [[noreturn]] void Raise(std::uint16_t code, const std::string& field = std::string()) const;
  // The checks of the table's first cursor.
  void CheckHeaders();
  void CheckPassword();
  void TakeTableState();
  void ClearState();
  // Reads the data header of the closed table (TABULA_OSENOENT when it does not exist).
  TDataHeader ReadClosedHeader() const;
  std::size_t FieldIndex(std::uint16_t field_no) const;

  TDataDirectory& database_;  // not owned
  std::string table_name_;
  bool exclusive_ = false;
  bool share_exclusive_ = false;
  bool read_only_ = false;
  bool in_memory_ = false;
  bool temporary_ = false;
  bool query_result_ = false;
  bool natural_order_ = false;
  bool suppress_auto_inc_ = false;
  TPasswordCallback password_callback_;
  void* password_context_ = nullptr;

  TDataTable* table_ = nullptr;  // owned by database_; non-null exactly while open
  bool locking_disabled_ = false;
  std::vector<TFieldDescriptor> descriptors_;
  std::vector<TFieldPlan> field_plans_;  // per field, for GetField and SetField
  std::int32_t record_size_ = 0;
  std::uint16_t field_count_ = 0;
  std::uint16_t locale_id_ = 0;
  std::uint16_t sort_id_ = 0;
  const TCollation* collation_ = nullptr;  // owned by the collation layer; null for byte order
  bool has_auto_inc_ = false;
  bool has_value_checks_ = false;
  bool has_defaults_ = false;
  std::uint8_t current_index_ = 0;
  std::vector<std::uint8_t> record_image_;
  std::int32_t record_no_ = 0;
  bool bof_ = true;
  bool eof_ = true;
  std::int32_t data_change_count_ = 0;
  std::uint32_t index_change_count_ = 0;

  // ---- Editing (data_cursor_edit.cpp).
  class TEditKeys;
  struct TEditKeysDeleter {
    void operator()(TEditKeys* keys) const;
  };
  // The key functions of every index an edit maintains, kept while the table's index
  // definitions stay the same (built on first use, rebuilt when they changed).
  TEditKeys& EditKeys();
  // Raises TABULA_REQDERR, TABULA_MINVALERR or TABULA_MAXVALERR for the first field of `image`
  // that breaks its Required, MinValue or MaxValue setting.
  void ValidateImage(const std::uint8_t* image) const;
  [[noreturn]] void RaiseKeyViolation(const std::string& index_name) const;
  // Stores a value with the storing rules of the field (case conversion under the table's
  // collation), whatever the cursor's read-only setting.
  void StoreValue(const TFieldDescriptor& field, std::uint8_t* image, const std::uint8_t* value,
                  std::size_t value_size) const;
  // The physical record number of the current record; 0 when there is none.
  std::int32_t CurrentPhysicalRecord() const;
  // Reads the current record from the record cache into the cursor's image.
  void ReloadCurrentRecord();
  bool LocksInUse() const;
  // The record has BLOB fields, whose values a post writes and a delete frees.
  bool HasBlobFields() const;
  // The write frame of a change: the table's write lock (none inside a transaction, whose
  // changes stay in the caches until the commit), re-synchronising on a change by another
  // process or cursor.
  void BeginEditWrite();
  void EndEditWrite();
  // Writes the change (or, exclusive and inside a transaction, marks the headers) and takes
  // the new change counters.
  void FlushAfterChange();
  // After a failure in the middle of a change: drops what the caches hold of it, so that
  // nothing half-done reaches the files.
  void DiscardFailedChange();
  // After a failed edit or delete: drops what the caches hold of a change that had begun
  // (`changing`) and reloads the current record, gives back a record lock taken for the
  // operation alone (`unlock`), and ends the write frame. Swallows its own failures, so that
  // the caller can rethrow the first one.
  void AbandonChange(bool changing, bool unlock);
  // Brings ranges and bitmaps up to date after `record_no` was posted or deleted; with
  // `reposition` the cursor then goes to the record in its image (or its nearest neighbour).
  void RepositionAfterChange(std::int32_t record_no, bool deleted, bool reposition);

  std::int32_t locked_record_ = 0;  // the record this cursor holds locked, 0 when none
  bool change_detected_ = false;    // optimistic protocol: a post found the record changed
  std::unique_ptr<TEditKeys, TEditKeysDeleter> edit_keys_;

  // ---- Navigation (private; data_cursor_nav.cpp)
  class TReadFrame;
  struct TSearchKey;
  // Index order: the tree of the current index, reads checking for changes.
  TBTree Tree();
  void SelectIndex(int slot);
  void ClearPosition();
  void CommitPosition(const TTreePosition& at);
  std::int32_t CurrentRecordCount() const;
  std::int32_t RangeStart() const { return range_active_ ? range_start_ : 1; }
  bool Visible(std::int32_t record_no) const;
  // No visible record, as far as the counts tell.
  bool KnownEmpty() const;
  bool CountersDiffer() const;
  bool LocksApply() const;
  void GotoFirst();
  void GotoLast();
  // GotoFirst (`first`) or GotoLast: the first (last) visible record in the range, else no
  // current record.
  void GotoEnd(bool first);
  void MoveBy(std::int32_t n);
  void LoadCurrent(TReadDirection direction);
  // A scan that keeps missing the record cache: loads the records the cursor visits next in
  // its direction (`limit` at most) under one change check. False when the check (or a page
  // fetch) re-synchronised the cursor and nothing was loaded.
  bool LoadAhead(bool forward, std::int32_t limit);
  // This cursor's scan is over: the table's stream, when it has it, is free for the next one.
  void ReleaseStream();
  // The record numbers of the current and the following visible records in the direction,
  // `limit` at most. False when a page fetch re-synchronised the cursor.
  bool CollectAhead(bool forward, std::int32_t limit, std::vector<std::int32_t>* numbers);
  bool Search(const std::uint8_t* key, bool nearest, bool keep_flags);
  // The descent of Search without range bounds and flags; `moved` tells whether the position
  // changed.
  bool SeekKey(const std::uint8_t* key, bool nearest, bool* moved);
  bool SeekRecordNo(std::int32_t record_no);
  void RebuildBitmaps();
  void BuildActiveBitmap();
  // `buffer` becomes the key's storage (a spare buffer spares the allocation).
  TSearchKey MakeKey(bool keys_given, const std::uint8_t* source, std::uint16_t field_count,
                     std::uint16_t partial_length, bool highest_fill, bool for_find,
                     std::vector<std::uint8_t> buffer = {}) const;
  int CompareIndexKeys(const std::uint8_t* a, const std::uint8_t* b) const;
  void CopyOut(std::uint16_t code, std::uint8_t* buffer) const;
  // One step and the record it reaches. `resyncs` is resyncs_ before the change check that
  // began the operation: a re-synchronisation since may have put the cursor where the step
  // arrives.
  std::uint16_t StepRecord(bool forward, std::uint8_t* buffer, std::uint64_t resyncs);
  // After LoadCurrent re-synchronised the cursor during a step: goes on past a neighbour left
  // behind and reads the record reached; the step's code.
  std::uint16_t StepOnAfterResync(bool forward);
  void RaiseIndexName(const std::string& name) const;

  std::string index_name_;
  bool record_order_ = true;
  std::unique_ptr<TIndexKeys> index_keys_;
  std::unique_ptr<TIndexKeysComparator> comparator_;
  std::unique_ptr<TIndexKeys> deleted_keys_;  // "Sys Deleted", for the active-record bitmap
  std::unique_ptr<TIndexKeysComparator> deleted_comparator_;
  std::uint16_t key_length_ = 0;
  std::uint16_t index_field_count_ = 0;
  bool index_descending_ = false;
  bool index_unique_ = true;
  bool index_without_counts_ = false;  // interior entries carry no subtree counts
  TTreePosition position_;  // index order: leaf page, entry, and the cursor's copy of the key
  // The leaf that the last step read position_ off, while the index file's PagesGeneration is
  // still `generation`: the next step along that leaf reads it without fetching it again.
  // Anything else that sets position_ forgets it.
  struct TStepLeaf {
    const TPage* page = nullptr;  // owned by the index file's page cache
    std::uint64_t generation = 0;
    std::uint32_t number = 0;  // position_.Page and position_.Entry when it was read
    int entry = 0;
  };
  TStepLeaf step_leaf_;
  // True while step_leaf_ is still position_'s leaf, cached with the same entries.
  bool StepLeafHolds() const;
  // StepInLeaf of the tree on step_leaf_, from position_ into `at`; false when step_leaf_ is
  // not position_'s leaf any more or the step leaves it.
  bool StepOnLeaf(bool forward, TTreePosition* at);
  // MoveBy(1) or MoveBy(-1) on step_leaf_ when the neighbour is visible and inside the range,
  // changing position_ in place; false (nothing changed) otherwise.
  bool StepInPlace(bool forward);
  // Reposition after the current record's keys left the indexes, in index order without a
  // range: the follower of the record usually took over its entry, and when its leaf shows
  // that, the cursor goes there (and reloads) without a search. False when the leaf does not
  // settle it; nothing changed then.
  bool RepositionOntoFollower();
  std::int32_t ordinal_ = 0;
  bool range_active_ = false;
  std::vector<std::uint8_t> range_start_key_;
  std::vector<std::uint8_t> range_end_key_;
  std::int32_t range_start_ = 0;
  std::int32_t range_end_ = 0;
  bool computing_ranges_ = false;
  TRecordsBitmap active_bitmap_;   // record-number order: the active records
  TRecordsBitmap working_bitmap_;  // active records, intersected with the filters' bitmaps
  std::int32_t visible_count_ = 0;
  bool uses_bitmap_ = false;
  // Frames: depth of nesting and whether this cursor took the lock the frame releases.
  int read_depth_ = 0;
  bool read_lock_taken_ = false;
  int write_depth_ = 0;
  bool write_lock_taken_ = false;
  int scan_depth_ = 0;
  bool scan_lock_taken_ = false;
  bool resyncing_ = false;
  // Re-synchronisations so far, and where the last one put the cursor when it found the record
  // the cursor stood on gone (deleted, or moved by a changed key, by another process): on the
  // record after it in the order (1), on the one before it when none follows (-1), or 0 (the
  // record was there, or none was found). A step that sees the count change goes on in its own
  // direction from there: a step that way has arrived, a step the other way goes on past it.
  std::uint64_t resyncs_ = 0;
  int resync_side_ = 0;
  // Scans: the direction of the last steps (1, -1, 0 after any other positioning) and how many
  // of them missed the record cache. From the second miss on, each miss loads the next records
  // in the cursor's order, twice as many each time (up to half the cache).
  int scan_direction_ = 0;
  int scan_misses_ = 0;
  bool stepping_ = false;
  std::vector<std::int32_t> ahead_;         // kept to spare an allocation per load
  std::vector<std::uint64_t> ahead_words_;  // the bitmap that sorts ahead_, likewise
  // Working key buffers of MoveBy, SeekKey and Find, kept between operations so that a step or
  // a lookup allocates nothing; an operation nested in a re-synchronisation finds them taken
  // and allocates its own.
  std::vector<std::uint8_t> spare_keys_[2];

  // ---- BLOB values
  // The BLOB field `field_no` whose slot lies inside the record, or null.
  const TFieldDescriptor* BlobField(std::uint16_t field_no) const;
  // The buffer that `record`'s slot of `field` names, or null.
  TBlobBuffer* SlotBuffer(const TFieldDescriptor& field, const std::uint8_t* record) const;
  // Reads the value of `buffer` from the BLOB file under the cursor's read lock; 0 or the code
  // of the failure.
  std::uint16_t LoadBlob(TBlobBuffer& buffer);
  // Runs `read` (a read from the BLOB file) inside a read frame of this cursor, which it hands
  // to the BLOB file for the change check before a disk read.
  void ReadBlobInFrame(const std::function<void(TRecordCacheCursor*)>& read);
  TBlobBufferList blob_buffers_;
};

}  // namespace tabula
