// The table object: one per physical table in use per engine database.
//
// TDataTable owns the table's three file objects (data, index and BLOB file) with their caches,
// counts the cursors that opened it, and holds what all of them share: the lock state
// (TTableLocks) and the cached headers whose change counters tell this process that another
// one changed the table. Cursors reach it only through their database (TDataDirectory), which
// creates, shares and frees table objects.
//
// Invariants:
//   - the three files are open exactly while IsOpen();
//   - OpenCount() > 0 implies IsOpen() (a table in a transaction may stay open with count 0);
//   - an exclusive table and a table whose files carry the read-only attribute take no locks;
//   - inside a transaction nothing reaches the files: flushes only touch the headers in memory,
//     so a rollback that drops the caches and re-reads the headers leaves the files as they were.
//
// Thread-safety: one thread at a time (the engine's call serialisation).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/index/index_file.h"
#include "engine/storage/blob_file.h"
#include "engine/storage/data_file.h"
#include "engine/storage/field_types.h"
#include "engine/storage/file_layer.h"
#include "engine/storage/table_locks.h"

namespace tabula {

class TDataDirectory;
class TDataSession;

// File extensions of a table and of its backup copies.
inline constexpr const char* kDataFileExtension = ".DAT";
inline constexpr const char* kIndexFileExtension = ".IDX";
inline constexpr const char* kBlobFileExtension = ".BLB";
inline constexpr const char* kDataBackupExtension = ".DBK";
inline constexpr const char* kIndexBackupExtension = ".IBK";
inline constexpr const char* kBlobBackupExtension = ".BBK";

// Replaces the extension of a table name (the part after the last "." behind the last "\")
// with `extension`, or appends it when there is none.
std::string ChangeFileExtension(const std::string& name, const std::string& extension);

// Everything a new table is made of. The fields have been validated by the cursor (numbers,
// offsets and physical sizes set); Indexes holds at most one definition with an empty name,
// which is the primary index.
struct TTableDefinition {
  std::uint16_t LocaleID = 0;
  std::uint16_t SortID = 0;
  std::string Description;
  std::string Password;
  bool Encrypted = false;
  std::vector<TFieldDescriptor> Fields;
  std::vector<TIndexDefinition> Indexes;
  std::uint16_t BlobBlockSize = 512;
  std::uint16_t UserMajorVersion = 0;
  std::uint16_t UserMinorVersion = 0;
  std::int32_t LastRecordID = 0;
};

class TDataTable : public TDataFileOwner, public TBlobFileOwner, public TTableLockHost {
 public:
  // `database` owns this object.
  TDataTable(TDataDirectory& database, const std::string& table_name);
  // Closes the files when they are still open (flushing an exclusive table).
  ~TDataTable() override;
  TDataTable(const TDataTable&) = delete;
  TDataTable& operator=(const TDataTable&) = delete;

  TDataDirectory& Database() const { return database_; }
  TDataSession& Session() const;
  // The table name as given (ending in ".DAT" when the cursor gave one).
  const std::string& TableName() const { return table_name_; }
  std::uint16_t OpenCount() const { return open_count_; }
  bool IsOpen() const { return is_open_; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value) { exclusive_ = value; }
  bool ReadOnly() const { return read_only_; }
  bool ReadOnlyFiles() const { return read_only_files_; }
  bool InMemory() const { return in_memory_; }
  void SetInMemory(bool value) { in_memory_ = value; }
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool value) { temporary_ = value; }
  bool IndexRebuilt() const { return index_rebuilt_; }
  bool Modified() const { return modified_; }
  // True while the table takes part in a transaction: it then stays listed (and open) in its
  // database even when no cursor has it open.
  bool KeptAlive() const { return locks_->InTransaction(); }
  bool InUse() const { return open_count_ > 0 || KeptAlive(); }

  TDataFile& DataFile() { return *data_file_; }
  TIndexFile& IndexFile() { return *index_file_; }
  // The BLOB file, open only when the table has BLOB fields.
  TBlobFile& BlobFile() { return *blob_file_; }
  bool HasBlobFile() const { return blob_file_->Opened(); }
  TTableLocks& Locks() { return *locks_; }

  // The path of one of the table's files: the database directory (unless in memory) and the
  // table name with `extension`.
  std::string FilePath(const std::string& extension) const;

  // One more cursor; opens the files when closed. A missing index file is created anew
  // (IndexRebuilt). On failure every file is closed again, the count is unchanged and the
  // error propagates.
  void OpenFiles();
  // One cursor less. At 0, and outside a transaction, closes the files: a pending transaction
  // is rolled back, an exclusive writable table flushed (a temporary one only when `flush`),
  // every lock released.
  void CloseFiles(bool flush);
  // Creates the files of a new table from `definition`; they are closed afterwards. The index
  // definitions are checked before any file is made; on a later failure the files made so far
  // are removed again.
  void CreateFiles(const TTableDefinition& definition);
  // Deletes the data and index files, and the BLOB file when it exists. REQUIRES: !IsOpen().
  void RemoveFiles();
  // Renames every existing file to `new_name` (or, `to_backup`, to the backup extensions).
  // REQUIRES: !IsOpen().
  void RenameFiles(const std::string& new_name, bool to_backup);
  // Flushes the table and copies the index file to ".IBK".
  void BackupIndex();
  // Copies ".IBK" back over the index file unless `keep_current`; deletes ".IBK" when
  // `delete_backup`.
  void RestoreIndex(bool keep_current, bool delete_backup);
  // After the index file was created anew: puts one "Sys Deleted" key per physical record into
  // it and sets the record count, then writes the index. Does nothing unless IndexRebuilt and
  // not done yet for this open.
  void RebuildIndexKeys();
  // Empties the data, index and BLOB files and discards every cache.
  // REQUIRES: IsOpen(), exclusive.
  void EmptyFiles();

  // Forgets every cached record and index page, changed or not, and re-reads the headers: what
  // a failed change left in the caches never reaches the files.
  void DiscardCachedChanges() { ReloadHeaders(); }

  // Reads the index, data and BLOB headers; drops the caches of every file whose change
  // counter moved (a new index header also re-reads the data header). True when one did.
  bool CheckForChanges() override;
  // Writes what changed. Exclusive tables (unless `force_write`) and tables in a transaction
  // (unless `force_write`, as the commit does) only touch their headers in memory. Otherwise
  // dirty records, the data header (always when records were written, so other processes see
  // a new counter), descriptors, index pages and the index header, BLOB blocks and the BLOB
  // header are written; each file is flushed to the device when anything was written and
  // `force_device` or the session's ForceBufferFlush asks for it; the caches are trimmed when
  // `trim_caches`.
  void Flush(bool trim_caches, bool force_header, bool force_device, bool force_write = false);

  // ---- Transactions (the database drives them for all its tables).
  void StartTransaction();
  // Takes the write lock ahead of the commit.
  void PrepareCommit();
  // Writes the transaction's changes.
  void CommitTransaction(bool trim_caches, bool force_flush);
  // Releases the write and transaction locks (and the deferred record locks), leaves the
  // transaction.
  void FinishCommit();
  // Leaves the transaction, drops every cache and re-reads the headers, releases the locks.
  void RollbackTransaction();
  bool InTransaction() const { return locks_->InTransaction(); }

  // ---- TDataFileOwner and TBlobFileOwner.
  void TableModified() override { modified_ = true; }
  bool TableWasModified() const override { return modified_; }
  bool HoldsTransactionLock() const override { return locks_->InTransaction(); }
  bool InternalPrimaryIndex() const override;

  // ---- TTableLockHost.
  TFileHandler& DataLockFile() override { return *data_file_; }
  TFileHandler& IndexLockFile() override { return *index_file_; }
  TFileHandler* BlobLockFile() override { return HasBlobFile() ? blob_file_.get() : nullptr; }
  bool LocksDisabled() const override { return exclusive_ || read_only_files_; }
  bool StrictChangeDetection() const override;
  std::uint8_t LockRetryCount() const override;
  std::uint16_t LockWaitTime() const override;
  bool RemoteSession() const override;
  const std::string& LockTableName() const override { return table_name_; }

 private:
  // Copies the names and options into the three files.
  void PrepareFiles();
  // Closes every file (ignoring errors) and clears the open state.
  void CloseAllFiles();
  // Drops every cache and re-reads the headers from the files.
  void ReloadHeaders();
  void OpenIndexFile();

  TDataDirectory& database_;  // owns this object
  std::string table_name_;
  std::uint16_t open_count_ = 0;
  bool is_open_ = false;
  bool exclusive_ = false;
  bool read_only_ = false;
  bool read_only_files_ = false;
  bool in_memory_ = false;
  bool temporary_ = false;
  bool index_rebuilt_ = false;
  bool keys_rebuilt_ = false;
  bool modified_ = false;
  std::unique_ptr<TDataFile> data_file_;
  std::unique_ptr<TIndexFile> index_file_;
  // Open exactly while the table is open and has BLOB fields.
  std::unique_ptr<TBlobFile> blob_file_;
  std::unique_ptr<TTableLocks> locks_;
};

}  // namespace tabula
