// Multi-user locks of one table object.
//
// Processes that share a table directory coordinate only through byte-range locks far beyond
// the end of the data and through the change counters in the file headers. Layout (offsets
// are 32-bit values; lengths in bytes):
//
//   FILE          LOCK                      FIRST BYTE                  LENGTH
//   data          transaction lock          0xFFFFFFFF                  1
//   data          record lock of record n   0xFFFFFFFE - n              1
//   index, BLOB   write lock                0xFFFEFFFF                  65536
//   index, BLOB   read lock                 0xFFFFFFFF - r, r random    1
//                                           in 1..65535
//
// A write lock covers every read-lock byte of its file, so it excludes all readers and every
// other writer; readers exclude each other only when they drew the same byte. The transaction
// lock is also the data file's share of every write lock: a writer takes it for the duration
// of the write, a transaction for the whole transaction.
//
// Table-level locks (read, scan, write, transaction) are tried up to 32767 times, 3 ms apart;
// record locks 1 + LockRetryCount times, LockWaitTime ms apart. A table open exclusively, or
// whose files are read-only, takes no locks at all.
//
// Invariants:
//   - a held read (scan) lock has one byte locked in the index file and, with a BLOB file, one
//     in the BLOB file;
//   - the data file's transaction byte is locked exactly while WriteLockHeld or
//     TransactionLockHeld;
//   - DeferredUnlocks is a subset of LockedRecords and empty outside a transaction.
//
// Thread-safety: one thread at a time (the engine's call serialisation).
#pragma once

#include <climits>
#include <cstdint>
#include <random>
#include <set>
#include <string>

#include "engine/storage/record_set.h"

namespace tabula {

class TFileHandler;

constexpr std::uint64_t kTransactionLockOffset = 0xFFFFFFFFULL;
constexpr std::uint64_t kRecordLockBase = 0xFFFFFFFEULL;  // record n at base - n
constexpr std::uint64_t kWriteLockOffset = 0xFFFEFFFFULL;
constexpr std::uint64_t kWriteLockLength = 65536;
constexpr std::uint64_t kReadLockBase = 0xFFFFFFFFULL;  // read byte r at base - r
constexpr std::uint32_t kReadLockRange = 65535;
constexpr int kTableLockAttempts = 32767;
constexpr std::uint32_t kTableLockWaitMilliseconds = 3;

inline std::uint64_t RecordLockOffset(std::int32_t record_no) {
  return kRecordLockBase - static_cast<std::uint64_t>(record_no);
}

// What the locks need of their table object.
class TTableLockHost {
 public:
  virtual ~TTableLockHost() = default;
  virtual TFileHandler& DataLockFile() = 0;
  virtual TFileHandler& IndexLockFile() = 0;
  // The BLOB file when the table has one open, else null.
  virtual TFileHandler* BlobLockFile() = 0;
  // Exclusive tables and read-only files take no locks.
  virtual bool LocksDisabled() const = 0;
  // Reads the headers and drops the caches another process made stale; true on a change.
  virtual bool CheckForChanges() = 0;
  virtual bool StrictChangeDetection() const = 0;
  virtual std::uint8_t LockRetryCount() const = 0;
  virtual std::uint16_t LockWaitTime() const = 0;
  virtual bool RemoteSession() const = 0;
  virtual const std::string& LockTableName() const = 0;
};

class TTableLocks {
 public:
  // `host` (not owned) owns this object.
  explicit TTableLocks(TTableLockHost& host);
  ~TTableLocks();
  TTableLocks(const TTableLocks&) = delete;
  TTableLocks& operator=(const TTableLocks&) = delete;

  // Each Lock* returns whether it found a change made by another process.
  bool LockRead();
  void UnlockRead();
  bool LockScan();
  void UnlockScan();
  bool LockWrite();
  void UnlockWrite();
  bool LockTransaction();
  void UnlockTransaction();
  bool LockRecord(std::int32_t record_no);
  void UnlockRecord(std::int32_t record_no);
  // Releases every lock held (closing the table).
  void ReleaseAll();

  bool ReadLockHeld() const { return read_.held; }
  bool ScanLockHeld() const { return scan_.held; }
  bool WriteLockHeld() const { return write_lock_held_; }
  bool TransactionLockHeld() const { return transaction_lock_held_; }
  bool InTransaction() const { return in_transaction_; }
  void SetInTransaction(bool value) {
    in_transaction_ = value;
    if (!value) first_appended_record_ = kNoAppendedRecords;
  }
  // The first record number the running transaction appends (the data file's next record
  // number when it took its transaction lock).
  void SetFirstAppendedRecord(std::int32_t record_no) { first_appended_record_ = record_no; }
  // True inside a transaction for a record that it appended. No other process can see such a
  // record before the commit, nor append one while the transaction lock is held, so its insert
  // takes no record lock.
  bool AppendedInTransaction(std::int32_t record_no) const {
    return in_transaction_ && transaction_lock_held_ && record_no >= first_appended_record_;
  }
  bool HoldsRecordLock(std::int32_t record_no) const { return locked_records_.count(record_no); }
  const TRecordSet& LockedRecords() const { return locked_records_; }
  const TRecordSet& DeferredUnlocks() const { return deferred_unlocks_; }
  // Records locked by one of the table object's cursors.
  std::set<std::int32_t>& CursorLocks() { return cursor_locks_; }

  void AssertInvariants() const;

 private:
  struct TReadBytes {
    bool held = false;
    std::uint32_t index_byte = 0;
    std::uint32_t blob_byte = 0;
  };

  bool AnyTableLockHeld() const;
  // Tries one range up to 32767 times; false when every attempt failed.
  bool LockWithRetries(TFileHandler& file, std::uint64_t length, std::uint64_t first);
  // Takes a read-style lock (index byte and BLOB byte), drawing new bytes on each attempt.
  void TakeReadBytes(TReadBytes& bytes);
  void ReleaseReadBytes(TReadBytes& bytes);
  void ReleaseRecordByte(std::int32_t record_no);
  // Releases the record locks of `records` that this object holds and forgets them: all in one
  // call when nothing else of the process is locked between them, else a run of consecutive
  // records per call. False when one could not be released (the rest still are).
  bool ReleaseRecords(const TRecordSet& records);
  [[noreturn]] void Raise(std::uint16_t code) const;

  TTableLockHost& host_;  // owns this object
  TReadBytes read_;
  TReadBytes scan_;
  bool write_lock_held_ = false;
  bool blob_write_held_ = false;
  bool transaction_lock_held_ = false;
  bool data_byte_held_ = false;
  bool in_transaction_ = false;
  // Bitmaps: a transaction holds the locks of every record it added or changed.
  TRecordSet locked_records_;
  std::set<std::int32_t> cursor_locks_;
  TRecordSet deferred_unlocks_;
  static constexpr std::int32_t kNoAppendedRecords = INT32_MAX;
  std::int32_t first_appended_record_ = kNoAppendedRecords;
  std::minstd_rand random_;
};

}  // namespace tabula
