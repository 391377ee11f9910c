#include "engine/storage/table_locks.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/storage/file_layer.h"
#include "tests/storage/storage_test_util.h"

namespace tabula {
namespace {

// Real files, but lock waits only counted: a refused table lock then costs 32767 quick tries.
class CountingSleepPlatform : public TPlatform {
 public:
  void SleepMilliseconds(std::uint32_t milliseconds) override {
    ++sleeps;
    slept += milliseconds;
  }
  int sleeps = 0;
  std::uint64_t slept = 0;
};

// One table object's files and settings.
class FileLockHost : public TTableLockHost {
 public:
  FileLockHost(const std::string& dir, bool with_blob) {
    data_.SetFileName(dir + "\\T.DAT");
    index_.SetFileName(dir + "\\T.IDX");
    data_.Open();
    index_.Open();
    if (with_blob) {
      blob_ = std::make_unique<TFileHandler>();
      blob_->SetFileName(dir + "\\T.BLB");
      blob_->Open();
    }
  }
  TFileHandler& DataLockFile() override { return data_; }
  TFileHandler& IndexLockFile() override { return index_; }
  TFileHandler* BlobLockFile() override { return blob_.get(); }
  bool LocksDisabled() const override { return disabled; }
  bool CheckForChanges() override {
    ++checks;
    return report_change;
  }
  bool StrictChangeDetection() const override { return strict; }
  std::uint8_t LockRetryCount() const override { return retry_count; }
  std::uint16_t LockWaitTime() const override { return 100; }
  bool RemoteSession() const override { return false; }
  const std::string& LockTableName() const override { return name_; }

  bool disabled = false;
  bool report_change = false;
  bool strict = false;
  std::uint8_t retry_count = 15;
  int checks = 0;

 private:
  TFileHandler data_, index_;
  std::unique_ptr<TFileHandler> blob_;
  std::string name_ = "T";
};

class TableLocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tabula-locks-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
      TFileHandler file;
      file.SetFileName(dir_ + "\\T" + ext);
      file.CreateNew();
      file.Write("header", 6);
      file.Close();
    }
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string dir_;
  CountingSleepPlatform platform_;
  TScopedPlatform scoped_{&platform_};
};

TEST_F(TableLocksTest, ReadersShareAWriterExcludesThem) {
  FileLockHost host_a(dir_, true), host_b(dir_, true);
  TTableLocks a(host_a), b(host_b);
  EXPECT_FALSE(a.LockRead());
  EXPECT_FALSE(b.LockRead());
  EXPECT_TRUE(a.ReadLockHeld() && b.ReadLockHeld());
  EXPECT_EQ(host_a.checks, 1);
  a.UnlockRead();
  b.UnlockRead();

  host_a.report_change = true;
  EXPECT_TRUE(a.LockWrite()) << "a write lock reports what the change check found";
  a.AssertInvariants();
  EXPECT_EQ(ErrorOf([&] { b.LockRead(); }), TABULA_LOCKTIMEOUT);
  EXPECT_EQ(platform_.sleeps, kTableLockAttempts);
  EXPECT_EQ(ErrorOf([&] { b.LockWrite(); }), TABULA_LOCKTIMEOUT);
  EXPECT_FALSE(b.WriteLockHeld());
  b.AssertInvariants();
  a.UnlockWrite();
  b.LockWrite();
  EXPECT_TRUE(b.WriteLockHeld());
  b.UnlockWrite();
  a.AssertInvariants();
}

TEST_F(TableLocksTest, OnlyOneTableLockPerOperation) {
  FileLockHost host(dir_, false);
  TTableLocks locks(host);
  locks.LockWrite();
  EXPECT_FALSE(locks.LockRead()) << "inside a write no read lock is taken";
  EXPECT_FALSE(locks.ReadLockHeld());
  locks.UnlockWrite();
  host.disabled = true;
  EXPECT_FALSE(locks.LockRead());
  EXPECT_FALSE(locks.LockWrite());
  EXPECT_FALSE(locks.LockRecord(5));
  EXPECT_FALSE(locks.ReadLockHeld() || locks.WriteLockHeld() || locks.HoldsRecordLock(5));
  EXPECT_EQ(host.checks, 1);
}

TEST_F(TableLocksTest, RecordLockRetriesAsConfigured) {
  struct Row {
    std::uint8_t retry_count;
    int sleeps;
  } rows[] = {{15, 15}, {0, 0}, {3, 3}};
  FileLockHost holder_host(dir_, false);
  TTableLocks holder(holder_host);
  holder.LockRecord(10);
  holder.UnlockRead();
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.retry_count));
    FileLockHost host(dir_, false);
    host.retry_count = row.retry_count;
    TTableLocks locks(host);
    platform_.sleeps = 0;
    platform_.slept = 0;
    EXPECT_EQ(ErrorOf([&] { locks.LockRecord(10); }), TABULA_RECLOCKFAILED);
    EXPECT_EQ(platform_.sleeps, row.sleeps);
    EXPECT_EQ(platform_.slept, 100u * row.sleeps);
    EXPECT_FALSE(locks.ReadLockHeld()) << "a failed record lock gives its read lock back";
    EXPECT_FALSE(locks.LockRecord(11));
    locks.UnlockRead();
    locks.UnlockRecord(11);
  }
  EXPECT_EQ(ErrorOf([&] { holder.LockRecord(0); }), TABULA_RECLOCKFAILED);
}

TEST_F(TableLocksTest, UnlocksInsideATransactionWaitForItsEnd) {
  FileLockHost host_a(dir_, false), host_b(dir_, false);
  host_b.retry_count = 0;
  TTableLocks a(host_a), b(host_b);
  a.SetInTransaction(true);
  a.LockTransaction();
  a.LockRecord(7);
  EXPECT_FALSE(a.ReadLockHeld()) << "a transaction needs no read lock";
  a.UnlockRecord(7);
  EXPECT_TRUE(a.HoldsRecordLock(7));
  EXPECT_EQ(ErrorOf([&] { b.LockRecord(7); }), TABULA_RECLOCKFAILED);
  EXPECT_EQ(ErrorOf([&] { b.LockWrite(); }), TABULA_LOCKTIMEOUT)
      << "the transaction byte is the data file's share of every write lock";
  a.AssertInvariants();
  a.SetInTransaction(false);
  a.UnlockTransaction();
  EXPECT_FALSE(a.HoldsRecordLock(7));
  b.LockRecord(7);
  b.UnlockRead();
  b.UnlockRecord(7);
  b.LockWrite();
  b.UnlockWrite();
}

// The lock bytes lie at the documented offsets: another process probing them sees exactly
// those bytes locked.
TEST_F(TableLocksTest, LayoutSeenFromAnotherProcess) {
  FileLockHost host(dir_, true);
  TTableLocks locks(host);
  locks.LockWrite();
  locks.LockRecord(3);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    TFileList::ForgetAfterFork();
    FileLockHost probe(dir_, true);  // cannot throw: the files exist
    const bool results[] = {
        probe.DataLockFile().LockRange(1, 0xFFFFFFFFULL),           // transaction byte: held
        probe.DataLockFile().LockRange(1, 0xFFFFFFFEULL - 3),       // record 3: held
        probe.DataLockFile().LockRange(1, 0xFFFFFFFEULL - 4),       // record 4: free
        probe.IndexLockFile().LockRange(1, 0xFFFEFFFFULL),          // first write byte: held
        probe.IndexLockFile().LockRange(1, 0xFFFFFFFEULL),          // last write byte: held
        probe.IndexLockFile().LockRange(1, 0xFFFEFFFEULL),          // below the range: free
        probe.BlobLockFile()->LockRange(1, 0xFFFFFFFFULL - 77),     // BLOB read byte: held
    };
    char out[7];
    for (int i = 0; i < 7; ++i) out[i] = results[i] ? '1' : '0';
    (void)!::write(pipe_fds[1], out, 7);
    ::_exit(0);
  }
  char in[8] = {};
  ASSERT_EQ(::read(pipe_fds[0], in, 7), 7);
  ::waitpid(child, nullptr, 0);
  EXPECT_STREQ(in, "0010010");
  locks.UnlockRead();
  locks.UnlockRecord(3);
  locks.UnlockWrite();
}

// A process killed while it holds record and write locks leaves none behind.
TEST_F(TableLocksTest, KilledHolderLeavesNoLock) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    try {
      TFileList::ForgetAfterFork();
      FileLockHost host(dir_, false);
      TTableLocks locks(host);
      locks.LockRecord(10);
      locks.UnlockRead();  // the record lock's operation ends; the record stays locked
      locks.LockWrite();
      (void)!::write(pipe_fds[1], "x", 1);
      ::pause();
    } catch (...) {
    }
    ::_exit(1);
  }
  char c;
  ASSERT_EQ(::read(pipe_fds[0], &c, 1), 1);
  FileLockHost host(dir_, false);
  host.retry_count = 0;
  host.strict = true;  // probe the record byte alone: the held write lock would refuse reads
  TTableLocks locks(host);
  EXPECT_EQ(ErrorOf([&] { locks.LockRecord(10); }), TABULA_RECLOCKFAILED);
  EXPECT_EQ(ErrorOf([&] { locks.LockWrite(); }), TABULA_LOCKTIMEOUT);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  locks.LockRecord(10);
  EXPECT_TRUE(locks.HoldsRecordLock(10));
  locks.UnlockRead();
  locks.LockWrite();
  EXPECT_TRUE(locks.WriteLockHeld());
  locks.ReleaseAll();
  EXPECT_FALSE(locks.HoldsRecordLock(10));
}

}  // namespace
}  // namespace tabula
