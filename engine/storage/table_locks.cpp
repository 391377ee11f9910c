#include "engine/storage/table_locks.h"

#include <cassert>
#include <chrono>

#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/storage/file_layer.h"

namespace tabula {

TTableLocks::TTableLocks(TTableLockHost& host)
    : host_(host),
      random_(static_cast<std::uint32_t>(
          CurrentPlatform().ProcessId() * 2654435761u ^
          static_cast<std::uint32_t>(
              std::chrono::steady_clock::now().time_since_epoch().count()) ^
          static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(this)))) {}

TTableLocks::~TTableLocks() = default;

void TTableLocks::Raise(std::uint16_t code) const { RaiseTableError(code, host_.LockTableName()); }

bool TTableLocks::AnyTableLockHeld() const {
  return read_.held || scan_.held || write_lock_held_ || transaction_lock_held_;
}

bool TTableLocks::LockWithRetries(TFileHandler& file, std::uint64_t length, std::uint64_t first) {
  for (int attempt = 1; attempt <= kTableLockAttempts; ++attempt) {
    if (file.LockRange(length, first)) return true;
    CurrentPlatform().SleepMilliseconds(kTableLockWaitMilliseconds);
  }
  return false;
}

void TTableLocks::TakeReadBytes(TReadBytes& bytes) {
  std::uniform_int_distribution<std::uint32_t> draw(1, kReadLockRange);
  TFileHandler* blob = host_.BlobLockFile();
  for (int attempt = 1; attempt <= kTableLockAttempts; ++attempt) {
    bytes.index_byte = draw(random_);
    if (host_.IndexLockFile().LockRange(1, kReadLockBase - bytes.index_byte)) {
      if (blob == nullptr) {
        bytes.held = true;
        return;
      }
      bytes.blob_byte = draw(random_);
      if (blob->LockRange(1, kReadLockBase - bytes.blob_byte)) {
        bytes.held = true;
        return;
      }
      // Give the index byte back so that a waiting writer is not held up meanwhile.
      host_.IndexLockFile().UnlockRange(1, kReadLockBase - bytes.index_byte);
    }
    CurrentPlatform().SleepMilliseconds(kTableLockWaitMilliseconds);
  }
  Raise(TABULA_LOCKTIMEOUT);
}

void TTableLocks::ReleaseReadBytes(TReadBytes& bytes) {
  if (!bytes.held) return;
  bytes.held = false;
  bool released = true;
  if (TFileHandler* blob = host_.BlobLockFile()) {
    released = blob->UnlockRange(1, kReadLockBase - bytes.blob_byte);
  }
  released = host_.IndexLockFile().UnlockRange(1, kReadLockBase - bytes.index_byte) && released;
  if (!released) Raise(TABULA_UNLOCKFAILED);
}

bool TTableLocks::LockRead() {
  if (AnyTableLockHeld() || host_.LocksDisabled()) return false;
  TakeReadBytes(read_);
  return host_.CheckForChanges();
}

void TTableLocks::UnlockRead() { ReleaseReadBytes(read_); }

bool TTableLocks::LockScan() {
  // The scan lock is independent of the short read lock that single operations take.
  if (scan_.held || write_lock_held_ || transaction_lock_held_ || host_.LocksDisabled()) {
    return false;
  }
  TakeReadBytes(scan_);
  return host_.CheckForChanges();
}

void TTableLocks::UnlockScan() { ReleaseReadBytes(scan_); }

bool TTableLocks::LockWrite() {
  if (write_lock_held_ || host_.LocksDisabled()) return false;
  const bool took_data_byte = !data_byte_held_;
  if (took_data_byte) {
    if (!LockWithRetries(host_.DataLockFile(), 1, kTransactionLockOffset)) {
      Raise(TABULA_LOCKTIMEOUT);
    }
    data_byte_held_ = true;
  }
  if (!LockWithRetries(host_.IndexLockFile(), kWriteLockLength, kWriteLockOffset)) {
    if (took_data_byte) {
      host_.DataLockFile().UnlockRange(1, kTransactionLockOffset);
      data_byte_held_ = false;
    }
    Raise(TABULA_LOCKTIMEOUT);
  }
  if (TFileHandler* blob = host_.BlobLockFile()) {
    if (!LockWithRetries(*blob, kWriteLockLength, kWriteLockOffset)) {
      host_.IndexLockFile().UnlockRange(kWriteLockLength, kWriteLockOffset);
      if (took_data_byte) {
        host_.DataLockFile().UnlockRange(1, kTransactionLockOffset);
        data_byte_held_ = false;
      }
      Raise(TABULA_LOCKTIMEOUT);
    }
    blob_write_held_ = true;
  }
  write_lock_held_ = true;
  if (transaction_lock_held_) return false;
  return host_.CheckForChanges();
}

void TTableLocks::UnlockWrite() {
  if (!write_lock_held_) return;
  write_lock_held_ = false;
  bool released = true;
  if (blob_write_held_) {
    blob_write_held_ = false;
    TFileHandler* blob = host_.BlobLockFile();
    released = blob != nullptr && blob->UnlockRange(kWriteLockLength, kWriteLockOffset);
  }
  released = host_.IndexLockFile().UnlockRange(kWriteLockLength, kWriteLockOffset) && released;
  if (!transaction_lock_held_ && data_byte_held_) {
    data_byte_held_ = false;
    released = host_.DataLockFile().UnlockRange(1, kTransactionLockOffset) && released;
  }
  if (!released) Raise(TABULA_LOCKTIMEOUT);
}

bool TTableLocks::LockTransaction() {
  if (host_.LocksDisabled()) return false;
  if (!data_byte_held_) {
    if (!LockWithRetries(host_.DataLockFile(), 1, kTransactionLockOffset)) {
      Raise(TABULA_LOCKTIMEOUT);
    }
    data_byte_held_ = true;
  }
  transaction_lock_held_ = true;
  return host_.CheckForChanges();
}

void TTableLocks::UnlockTransaction() {
  if (transaction_lock_held_) {
    transaction_lock_held_ = false;
    if (!write_lock_held_ && data_byte_held_) {
      data_byte_held_ = false;
      if (!host_.DataLockFile().UnlockRange(1, kTransactionLockOffset)) Raise(TABULA_LOCKTIMEOUT);
    }
  }
  const TRecordSet deferred = std::move(deferred_unlocks_);
  deferred_unlocks_.clear();
  if (!ReleaseRecords(deferred)) Raise(TABULA_UNLOCKFAILED);
}

bool TTableLocks::LockRecord(std::int32_t record_no) {
  if (host_.LocksDisabled()) return false;
  if (record_no <= 0) Raise(TABULA_RECLOCKFAILED);
  if (in_transaction_ && locked_records_.count(record_no)) return false;
  if (host_.RemoteSession()) {
    locked_records_.insert(record_no);
    return false;
  }
  bool changed = false;
  bool took_read = false;
  if (!host_.StrictChangeDetection() && !read_.held) {
    changed = LockRead();
    took_read = read_.held;
  }
  const int attempts = 1 + host_.LockRetryCount();
  for (int attempt = 1;; ++attempt) {
    if (host_.DataLockFile().LockRange(1, RecordLockOffset(record_no))) {
      locked_records_.insert(record_no);
      deferred_unlocks_.erase(record_no);
      // The read lock stays held until the operation's EndRead.
      return changed;
    }
    if (took_read) {
      UnlockRead();
      took_read = false;
    }
    if (attempt >= attempts) Raise(TABULA_RECLOCKFAILED);
    CurrentPlatform().SleepMilliseconds(host_.LockWaitTime());
    if (!changed && !host_.StrictChangeDetection() && !AnyTableLockHeld()) {
      changed = LockRead();
      took_read = read_.held;
    }
  }
}

void TTableLocks::ReleaseRecordByte(std::int32_t record_no) {
  if (!locked_records_.count(record_no)) return;
  locked_records_.erase(record_no);
  if (host_.RemoteSession()) return;
  if (!host_.DataLockFile().UnlockRange(1, RecordLockOffset(record_no))) {
    Raise(TABULA_UNLOCKFAILED);
  }
}

bool TTableLocks::ReleaseRecords(const TRecordSet& records) {
  // The records of the set this object holds: how many, the lowest and the highest.
  std::uint64_t count = 0;
  std::int32_t low = 0;
  std::int32_t high = 0;
  for (const std::int32_t record_no : records) {
    if (!locked_records_.count(record_no)) continue;
    if (count++ == 0) low = record_no;
    high = record_no;
  }
  if (count == 0) return true;
  auto forget = [&](std::int32_t from, std::int32_t to) {
    for (std::int32_t record_no = from; record_no <= to; ++record_no) {
      if (records.count(record_no)) locked_records_.erase(record_no);
    }
  };
  if (host_.RemoteSession()) {
    for (const std::int32_t record_no : records) locked_records_.erase(record_no);
    return true;
  }
  TFileHandler& file = host_.DataLockFile();
  // Record n's byte lies at base - n, so the highest record has the lowest byte. When the
  // process holds no other lock between the bytes of the lowest and the highest record, they
  // all go with one call.
  if (file.UnlockBytes(RecordLockOffset(high), RecordLockOffset(low), count)) {
    for (const std::int32_t record_no : records) locked_records_.erase(record_no);
    return true;
  }
  // Otherwise run by run: each run of consecutive records has neighbouring bytes.
  bool released = true;
  bool in_run = false;
  std::int32_t first = 0;
  std::int32_t last = 0;
  auto release_run = [&] {
    const std::uint64_t length = static_cast<std::uint64_t>(last - first) + 1;
    if (!file.UnlockBytes(RecordLockOffset(last), RecordLockOffset(first), length)) {
      for (std::int32_t record_no = first; record_no <= last; ++record_no) {
        released = file.UnlockRange(1, RecordLockOffset(record_no)) && released;
      }
    }
    forget(first, last);
  };
  for (const std::int32_t record_no : records) {
    if (!locked_records_.count(record_no)) continue;
    if (in_run && record_no == last + 1) {
      last = record_no;
      continue;
    }
    if (in_run) release_run();
    in_run = true;
    first = last = record_no;
  }
  if (in_run) release_run();
  return released;
}

void TTableLocks::UnlockRecord(std::int32_t record_no) {
  if (in_transaction_) {
    if (locked_records_.count(record_no)) deferred_unlocks_.insert(record_no);
    return;
  }
  ReleaseRecordByte(record_no);
}

void TTableLocks::ReleaseAll() {
  // Closing releases everything; failures to unlock are of no further interest then.
  try {
    UnlockScan();
  } catch (const ETabulaEngineError&) {
  }
  try {
    UnlockRead();
  } catch (const ETabulaEngineError&) {
  }
  try {
    UnlockWrite();
  } catch (const ETabulaEngineError&) {
  }
  transaction_lock_held_ = false;
  if (data_byte_held_) {
    data_byte_held_ = false;
    host_.DataLockFile().UnlockRange(1, kTransactionLockOffset);
  }
  deferred_unlocks_.clear();
  const TRecordSet records = locked_records_;
  ReleaseRecords(records);
  locked_records_.clear();
  cursor_locks_.clear();
  in_transaction_ = false;
}

void TTableLocks::AssertInvariants() const {
#ifndef NDEBUG
  assert(data_byte_held_ == (write_lock_held_ || transaction_lock_held_));
  for (std::int32_t record_no : deferred_unlocks_) assert(locked_records_.count(record_no));
  assert(in_transaction_ || deferred_unlocks_.empty());
#endif
}

}  // namespace tabula
