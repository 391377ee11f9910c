// An instrumented platform for tests: counts every call and injects failures.
//
// Install it for a test with TScopedPlatform:
//
//   TInstrumentedPlatform platform;          // forwards to DefaultPlatform()
//   TScopedPlatform installed(&platform);
//   platform.ResetCounts();
//   ... run the code under test ...
//   EXPECT_EQ(platform.Count(TInstrumentedPlatform::kWrite), 3u);
//   EXPECT_EQ(platform.FileCalls(), 0u);     // e.g. cached navigation touched no file
//
//   platform.FailWriteAt(2, ENOSPC, 10);     // the 2nd write from now moves 10 bytes only
//   platform.SetShortReads(100);             // every read moves at most 100 bytes
//   platform.FailOpen("Staff", EACCES);      // opens of paths containing "Staff" fail
//
// Failures set errno like the real call would. Counters are atomic and the settings are
// guarded by one mutex, so engine threads may use the platform while a test reads it.
// Not for production code: header-only, compiled into the tests that include it.
#pragma once

#include <fcntl.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/platform.h"

namespace tabula {

class TInstrumentedPlatform : public TPlatform {
 public:
  enum TCall {
    kOpen,
    kClose,
    kRead,
    kWrite,
    kTruncate,
    kSync,
    kFileStatus,
    kPathStatus,
    kLock,
    kUnlock,
    kTestLock,
    kRemove,
    kRename,
    kListDirectory,
    kTempDirectory,
    // Calls below are not file-system calls and are not part of FileCalls().
    kSleep,
    kTickCount,
    kLocalDateTime,
    kProcessId,
    kThreadId,
    kHostName,
    kCallCount
  };

  explicit TInstrumentedPlatform(TPlatform* base = &DefaultPlatform()) : base_(base) {
    ResetCounts();
  }

  // ---- Counters.
  std::uint64_t Count(TCall call) const { return counts_[call].load(); }
  // Every file-system call (kOpen..kTempDirectory).
  std::uint64_t FileCalls() const {
    std::uint64_t total = 0;
    for (int call = kOpen; call <= kTempDirectory; ++call) total += counts_[call].load();
    return total;
  }
  std::uint64_t BytesWritten() const { return bytes_written_.load(); }
  std::uint64_t BytesRead() const { return bytes_read_.load(); }
  void ResetCounts() {
    for (auto& count : counts_) count.store(0);
    bytes_written_.store(0);
    bytes_read_.store(0);
  }

  // ---- Failure injection. Calls are numbered from 1, counting from the moment of the setting.
  // The `n`th write moves only `partial_bytes` bytes; with partial_bytes 0 it fails with
  // `error` and moves nothing.
  void FailWriteAt(std::uint64_t n, int error = ENOSPC, std::size_t partial_bytes = 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    write_fault_ = {writes_seen_ + n, error, partial_bytes, true};
  }
  // Every write from the `n`th on fails with `error` (a full device).
  void FailWritesFrom(std::uint64_t n, int error = ENOSPC) {
    std::lock_guard<std::mutex> guard(mutex_);
    failing_writes_from_ = writes_seen_ + n;
    failing_write_error_ = error;
  }
  // The `n`th read fails with `error`.
  void FailReadAt(std::uint64_t n, int error = EIO) {
    std::lock_guard<std::mutex> guard(mutex_);
    read_fault_ = {reads_seen_ + n, error, 0, true};
  }
  // Every read moves at most `max_bytes` bytes (0 turns this off).
  void SetShortReads(std::size_t max_bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    short_read_limit_ = max_bytes;
  }
  // Opens of paths containing `path_part` fail with `error` (until ClearFaults).
  void FailOpen(const std::string& path_part, int error) {
    std::lock_guard<std::mutex> guard(mutex_);
    open_faults_.push_back({path_part, error});
  }
  // Opens for writing of paths containing `path_part` fail with `error`: a share or a
  // medium that refuses writing.
  void FailOpenForWriting(const std::string& path_part, int error = EROFS) {
    std::lock_guard<std::mutex> guard(mutex_);
    write_open_faults_.push_back({path_part, error});
  }
  // The `n`th sync fails with `error`.
  void FailSyncAt(std::uint64_t n, int error = EIO) {
    std::lock_guard<std::mutex> guard(mutex_);
    sync_fault_ = {syncs_seen_ + n, error, 0, true};
  }
  void ClearFaults() {
    std::lock_guard<std::mutex> guard(mutex_);
    write_fault_ = {};
    read_fault_ = {};
    sync_fault_ = {};
    failing_writes_from_ = 0;
    short_read_limit_ = 0;
    open_faults_.clear();
    write_open_faults_.clear();
  }

  // ---- The platform.
  int OpenFile(const std::string& path, int flags, unsigned mode) override {
    Counted(kOpen);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (const auto& fault : open_faults_) {
        if (path.find(fault.path_part) != std::string::npos) return Fail(fault.error);
      }
      if ((flags & O_ACCMODE) != O_RDONLY) {
        for (const auto& fault : write_open_faults_) {
          if (path.find(fault.path_part) != std::string::npos) return Fail(fault.error);
        }
      }
    }
    return base_->OpenFile(path, flags, mode);
  }
  int CloseFile(int fd) override {
    Counted(kClose);
    return base_->CloseFile(fd);
  }
  std::int64_t ReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset) override {
    Counted(kRead);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++reads_seen_;
      if (read_fault_.armed && reads_seen_ == read_fault_.at) {
        read_fault_.armed = false;
        return Fail(read_fault_.error);
      }
      if (short_read_limit_ != 0 && count > short_read_limit_) count = short_read_limit_;
    }
    const std::int64_t n = base_->ReadAt(fd, buffer, count, offset);
    if (n > 0) bytes_read_ += static_cast<std::uint64_t>(n);
    return n;
  }
  std::int64_t WriteAt(int fd, const void* buffer, std::size_t count,
                       std::uint64_t offset) override {
    Counted(kWrite);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++writes_seen_;
      if (failing_writes_from_ != 0 && writes_seen_ >= failing_writes_from_) {
        return Fail(failing_write_error_);
      }
      if (write_fault_.armed && writes_seen_ == write_fault_.at) {
        write_fault_.armed = false;
        if (write_fault_.partial == 0 || count == 0) return Fail(write_fault_.error);
        if (count > write_fault_.partial) count = write_fault_.partial;
      }
    }
    const std::int64_t n = base_->WriteAt(fd, buffer, count, offset);
    if (n > 0) bytes_written_ += static_cast<std::uint64_t>(n);
    return n;
  }
  int Truncate(int fd, std::uint64_t size) override {
    Counted(kTruncate);
    return base_->Truncate(fd, size);
  }
  int SyncFile(int fd) override {
    Counted(kSync);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++syncs_seen_;
      if (sync_fault_.armed && syncs_seen_ == sync_fault_.at) {
        sync_fault_.armed = false;
        return Fail(sync_fault_.error);
      }
    }
    return base_->SyncFile(fd);
  }
  int FileStatusOf(int fd, TFileStatus* status) override {
    Counted(kFileStatus);
    return base_->FileStatusOf(fd, status);
  }
  int PathStatus(const std::string& path, TFileStatus* status) override {
    Counted(kPathStatus);
    return base_->PathStatus(path, status);
  }
  int LockRange(int fd, std::uint64_t first, std::uint64_t length, TRangeLockKind kind) override {
    Counted(kLock);
    return base_->LockRange(fd, first, length, kind);
  }
  int UnlockRange(int fd, std::uint64_t first, std::uint64_t length) override {
    Counted(kUnlock);
    return base_->UnlockRange(fd, first, length);
  }
  int TestRangeLock(int fd, std::uint64_t first, std::uint64_t length,
                    TRangeLockKind kind) override {
    Counted(kTestLock);
    return base_->TestRangeLock(fd, first, length, kind);
  }
  int RemoveFile(const std::string& path) override {
    Counted(kRemove);
    return base_->RemoveFile(path);
  }
  int RenameFile(const std::string& old_path, const std::string& new_path) override {
    Counted(kRename);
    return base_->RenameFile(old_path, new_path);
  }
  int ListDirectory(const std::string& path, std::vector<std::string>* names) override {
    Counted(kListDirectory);
    return base_->ListDirectory(path, names);
  }
  std::string TempDirectory() override {
    Counted(kTempDirectory);
    return base_->TempDirectory();
  }
  void SleepMilliseconds(std::uint32_t milliseconds) override {
    Counted(kSleep);
    base_->SleepMilliseconds(milliseconds);
  }
  std::uint32_t TickCount() override {
    Counted(kTickCount);
    return base_->TickCount();
  }
  TLocalDateTime LocalDateTime() override {
    Counted(kLocalDateTime);
    return base_->LocalDateTime();
  }
  std::uint32_t ProcessId() override {
    Counted(kProcessId);
    return base_->ProcessId();
  }
  std::uint32_t ThreadId() override {
    Counted(kThreadId);
    return base_->ThreadId();
  }
  std::string HostName() override {
    Counted(kHostName);
    return base_->HostName();
  }

 private:
  struct TFault {
    std::uint64_t at = 0;
    int error = 0;
    std::size_t partial = 0;
    bool armed = false;
  };
  struct TOpenFault {
    std::string path_part;
    int error;
  };

  void Counted(TCall call) { ++counts_[call]; }
  static int Fail(int error) {
    errno = error;
    return -1;
  }

  TPlatform* base_;  // not owned
  std::array<std::atomic<std::uint64_t>, kCallCount> counts_;
  std::atomic<std::uint64_t> bytes_written_{0};
  std::atomic<std::uint64_t> bytes_read_{0};

  std::mutex mutex_;
  std::uint64_t writes_seen_ = 0;              // guarded by mutex_
  std::uint64_t reads_seen_ = 0;               // guarded by mutex_
  std::uint64_t syncs_seen_ = 0;               // guarded by mutex_
  TFault write_fault_;                         // guarded by mutex_
  TFault read_fault_;                          // guarded by mutex_
  TFault sync_fault_;                          // guarded by mutex_
  std::uint64_t failing_writes_from_ = 0;      // guarded by mutex_
  int failing_write_error_ = ENOSPC;           // guarded by mutex_
  std::size_t short_read_limit_ = 0;           // guarded by mutex_
  std::vector<TOpenFault> open_faults_;        // guarded by mutex_
  std::vector<TOpenFault> write_open_faults_;  // guarded by mutex_
};

}  // namespace tabula
