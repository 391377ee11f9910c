// Several processes on one table directory: concurrent inserts, record locks between processes,
// the optimistic protocol's change detection, locks of a killed process and rollbacks. Every
// process here is a real one (fork) with its own engine session and file list.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/base/platform_test_util.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_file_format.h"
#include "engine/storage/data_session.h"
#include "engine/storage/data_table.h"
#include "engine/storage/table_locks.h"
#include "tests/storage/multi_process_util.h"
#include "tests/storage/storage_test_util.h"

namespace tabula {
namespace {

namespace fs = std::filesystem;

std::vector<char> FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A one-byte signal between processes.
class TSignal {
 public:
  TSignal() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
  }
  ~TSignal() {
    close(fds_[0]);
    close(fds_[1]);
  }
  void Send() {
    const char byte = 1;
    (void)!write(fds_[1], &byte, 1);
  }
  bool Receive() {
    char byte;
    return read(fds_[0], &byte, 1) == 1;
  }
  // Whether a Send has arrived, without waiting for one.
  bool Arrived() {
    pollfd readable{fds_[0], POLLIN, 0};
    return poll(&readable, 1, 0) == 1;
  }

 private:
  int fds_[2];
};

class MultiProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tabula_multi_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    TDataSession session;
    TDataDirectory* db = session.OpenDatabase("", dir_.string());
    TDataCursor cursor(*db);
    cursor.SetTableName("Staff.DAT");
    cursor.CreateTable(Definition());
  }
  void TearDown() override { fs::remove_all(dir_); }

  // What the files say, read by a fresh engine: the live-record count, the key counts of every
  // index, and the identifiers of the active records. `physical` records were ever added
  // (deleted ones keep their "Sys Deleted" keys and identifiers); 0 means `records`.
  void ExpectConsistent(std::size_t records, std::size_t physical = 0) {
    if (physical == 0) physical = records;
    TEngine engine(dir_);
    TDataTable& table = *engine.cursor->Table();
    EXPECT_EQ(table.IndexFile().RecordCount(), records);
    std::string fault;
    EXPECT_EQ(KeyCounts(table, &fault),
              (std::vector<std::uint64_t>{records, records, records, physical}));
    EXPECT_EQ(fault, "");
    std::set<std::int32_t> ids;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(engine.cursor->RecordSize()));
    engine.cursor->SetToBegin();
    std::size_t seen = 0;
    while (engine.cursor->GetNextRecord(image.data()) == 0) {
      ++seen;
      ids.insert(RecordIdentifier(image.data()));
    }
    EXPECT_EQ(seen, records);
    EXPECT_EQ(ids.size(), records) << "an identifier was given twice";
    // Each index leads to exactly those records.
    for (const char* index : {"", "ByName", "ByGroup"}) {
      SCOPED_TRACE(index);
      engine.cursor->SetIndexName(index);
      engine.cursor->SetToBegin();
      std::set<std::int32_t> reached;
      while (engine.cursor->GetNextRecord(image.data()) == 0) {
        reached.insert(RecordIdentifier(image.data()));
      }
      EXPECT_EQ(reached, ids);
    }
    EXPECT_EQ(table.DataFile().Header().LastRecordID, static_cast<std::int32_t>(physical));
  }

  fs::path dir_;
};

class ConcurrentInsertTest : public MultiProcessTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ConcurrentInsertTest, EveryRecordOfEveryProcessArrivesOnce) {
  const bool in_transactions = GetParam();
  constexpr int kProcesses = 3;
  constexpr int kRecords = 100;
  constexpr int kBatch = 10;  // records per transaction
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<std::unique_ptr<TChild>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<TChild>(
        [&, p]() -> std::int64_t {
          TEngine engine(dir_);
          for (int i = 0; i < kRecords; ++i) {
            if (in_transactions && i % kBatch == 0) engine.db->StartTransaction();
            engine.Insert(p * 1000 + i, "P" + std::to_string(p) + "-" + std::to_string(i),
                          static_cast<std::int16_t>(i % 4));
            if (in_transactions && i % kBatch == kBatch - 1) engine.db->Commit(true, false);
          }
          return 0;
        },
        go));
  }
  close(go[0]);
  close(go[1]);
  for (int p = 0; p < kProcesses; ++p) EXPECT_EQ(children[p]->Wait(), 0) << "process " << p;
  ExpectConsistent(kProcesses * kRecords);
}

INSTANTIATE_TEST_SUITE_P(Modes, ConcurrentInsertTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return info.param ? "InTransactions" : "Autocommit";
                         });

TEST_F(MultiProcessTest, RecordLockedByAnotherProcessFailsAfterTheRetries) {
  TEngine holder(dir_);
  holder.Insert(1, "Ann", 1);
  std::vector<std::uint8_t> image;
  holder.First(&image);
  ASSERT_EQ(holder.cursor->FetchCurrent(image.data(), true), 0);

  struct TCase {
    std::uint8_t retries;
    std::uint64_t sleeps;
  };
  for (const TCase c : {TCase{3, 3}, TCase{0, 0}}) {
    SCOPED_TRACE(static_cast<int>(c.retries));
    TChild child([&]() -> std::int64_t {
      TInstrumentedPlatform platform;
      TScopedPlatform installed(&platform);
      TEngine engine(dir_, lpPessimistic, c.retries, 5);
      std::vector<std::uint8_t> seen;
      engine.First(&seen);
      platform.ResetCounts();
      const std::uint16_t code = ErrorOf([&] { engine.cursor->FetchCurrent(seen.data(), true); });
      const auto sleeps = static_cast<std::int64_t>(platform.Count(TInstrumentedPlatform::kSleep));
      // Neither the edit nor the delete of the held record goes through.
      const std::uint16_t deleted =
          ErrorOf([&] { engine.cursor->DeleteCurrent(seen.data(), true); });
      if (deleted != TABULA_RECLOCKFAILED) return 900000 + deleted;
      return code * 1000 + sleeps;
    });
    EXPECT_EQ(child.Wait(), TABULA_RECLOCKFAILED * 1000 + static_cast<std::int64_t>(c.sleeps));
  }
  // Once the edit ends another process gets the record.
  holder.cursor->CancelEdit();
  TChild child([&]() -> std::int64_t {
    TEngine engine(dir_, lpPessimistic, 0, 5);
    std::vector<std::uint8_t> seen;
    engine.First(&seen);
    return engine.cursor->FetchCurrent(seen.data(), true);
  });
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(MultiProcessTest, ChangeByAnotherProcessIsDetectedUnderBothProtocols) {
  TEngine reader(dir_, lpOptimistic);
  reader.Insert(1, "Ann", 1);
  std::vector<std::uint8_t> image;
  reader.First(&image);
  ASSERT_EQ(reader.cursor->FetchCurrent(image.data(), true), 0);
  EXPECT_EQ(reader.cursor->LockedRecord(), 0);  // optimistic: no lock while editing

  auto edit_elsewhere = [&](const std::string& name) {
    TChild child([&]() -> std::int64_t {
      TEngine engine(dir_, lpPessimistic);
      std::vector<std::uint8_t> row;
      engine.First(&row);
      if (engine.cursor->FetchCurrent(row.data(), true) != 0) return -5;
      engine.SetName(row, name);
      engine.cursor->PostEdit(row.data(), true, true);
      return 0;
    });
    return child.Wait();
  };
  ASSERT_EQ(edit_elsewhere("Bob"), 0);

  reader.SetName(image, "Cid");
  const auto data_before = FileBytes(dir_ / "Staff.DAT");
  EXPECT_EQ(ErrorOf([&] { reader.cursor->PostEdit(image.data(), true, true); }),
            TABULA_KEYORRECDELETED);
  EXPECT_TRUE(reader.cursor->ChangeDetected());
  // The cursor now holds the record as the other process left it; still every post fails.
  EXPECT_EQ(ErrorOf([&] { reader.cursor->PostEdit(image.data(), true, true); }),
            TABULA_KEYORRECDELETED);
  EXPECT_EQ(FileBytes(dir_ / "Staff.DAT"), data_before);
  reader.cursor->CancelEdit();
  EXPECT_FALSE(reader.cursor->ChangeDetected());
  ASSERT_EQ(reader.cursor->FetchCurrent(image.data(), false), 0);
  ASSERT_EQ(reader.cursor->FetchCurrent(image.data(), true), 0);
  reader.SetName(image, "Cid");
  reader.cursor->PostEdit(image.data(), true, true);

  // Pessimistic: the change shows at the start of the edit, and no lock stays behind.
  TEngine pessimist(dir_, lpPessimistic);
  pessimist.First(&image);
  ASSERT_EQ(edit_elsewhere("Dan"), 0);
  EXPECT_EQ(ErrorOf([&] { pessimist.cursor->FetchCurrent(image.data(), true); }),
            TABULA_KEYORRECDELETED);
  EXPECT_EQ(pessimist.cursor->LockedRecord(), 0);
  EXPECT_TRUE(pessimist.cursor->Table()->Locks().LockedRecords().empty());
  ASSERT_EQ(edit_elsewhere("Eve"), 0);
  ExpectConsistent(1);

  // A record deleted by another process is reported at the start of the edit too.
  pessimist.First(&image);
  TChild deleter([&]() -> std::int64_t {
    TEngine engine(dir_);
    std::vector<std::uint8_t> row;
    engine.First(&row);
    engine.cursor->DeleteCurrent(row.data(), true);
    return engine.cursor->GetRecordCount();
  });
  ASSERT_EQ(deleter.Wait(), 0);
  EXPECT_EQ(ErrorOf([&] { pessimist.cursor->FetchCurrent(image.data(), true); }),
            TABULA_KEYORRECDELETED);
  EXPECT_TRUE(pessimist.cursor->Table()->Locks().LockedRecords().empty());
  EXPECT_EQ(pessimist.cursor->GetRecordCount(), 0);
}

// Without StrictChangeDetection a cursor re-synchronises at its next read when another cursor
// of the process has taken the table's new counters, dropping the caches. The pages and the
// record it then reads again come from files that another process may be writing: it reads
// them under the read lock, and so waits for a writer to finish.
TEST_F(MultiProcessTest, ResynchronisationReadsUnderTheReadLock) {
  {
    TEngine setup(dir_);
    for (int i = 1; i <= 300; ++i) setup.Insert(i, "N" + std::to_string(i * 7919 % 100003), i % 5);
  }
  TEngine engine(dir_);
  ASSERT_FALSE(engine.session.StrictChangeDetection());
  engine.cursor->SetIndexName("ByName");
  std::vector<std::uint8_t> row;
  engine.First(&row);
  TDataCursor other_cursor(*engine.db);
  other_cursor.SetTableName("Staff.DAT");
  other_cursor.Open();
  ASSERT_EQ(RunInChild([&]() -> std::int64_t {
              TEngine other(dir_);
              other.Insert(1000, "Late", 1);
              return 0;
            }),
            0);
  other_cursor.Refresh();  // the table takes the new counters and drops its caches
  ASSERT_NE(engine.cursor->IndexChangeCount(),
            engine.cursor->Table()->IndexFile().Header().ChangeCount);

  TSignal locked;
  TSignal releasing;
  TChild writer([&]() -> std::int64_t {
    TEngine other(dir_);
    other.cursor->Table()->Locks().LockWrite();
    locked.Send();
    CurrentPlatform().SleepMilliseconds(300);
    releasing.Send();
    other.cursor->Table()->Locks().UnlockWrite();
    return 0;
  });
  ASSERT_TRUE(locked.Receive());
  ASSERT_EQ(engine.cursor->FetchCurrent(row.data(), false), 0);
  EXPECT_TRUE(releasing.Arrived()) << "the cursor read the table while another process wrote it";
  EXPECT_EQ(writer.Wait(), 0);
}

// A step whose record another process deleted meanwhile goes on in its own direction: forward
// to the deleted record's follower, backward to the record before it. The cursor stands on
// Id 3000 (found by key, so that its neighbours' records are not cached) of Ids 10 to 6000,
// stored out of order; another process deletes one record; the step must return the record
// a scan of the table as it now is would return next.
TEST_F(MultiProcessTest, StepPastARecordDeletedMeanwhileGoesOnInItsDirection) {
  {
    TEngine setup(dir_);
    for (int k = 0; k < 600; ++k) {
      const int id = 10 * (1 + k * 7 % 600);
      setup.Insert(id, "N" + std::to_string(id), static_cast<std::int16_t>(id % 5));
    }
  }
  struct TCase {
    bool forward;
    bool strict;
    std::int32_t deleted;
    std::int32_t expected;
  };
  const TCase cases[] = {
      {true, true, 3000, 3010},   {true, false, 3000, 3010}, {true, true, 3010, 3020},
      {true, false, 3010, 3020},  {false, true, 2990, 2980}, {false, false, 2990, 2980},
      {false, true, 3000, 2990},  {false, false, 3000, 2990},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.forward ? "forward" : "backward") + (c.strict ? ", strict" : "") +
                 ", deleted " + std::to_string(c.deleted));
    TEngine engine(dir_);
    engine.session.SetStrictChangeDetection(c.strict);
    std::vector<std::uint8_t> image = engine.Row(3000, "", 0);
    ASSERT_TRUE(engine.cursor->Find(false, image.data(), false, 1, 0, image.data()));
    ASSERT_EQ(RunInChild([&]() -> std::int64_t {
                TEngine other(dir_);
                std::vector<std::uint8_t> row = other.Row(c.deleted, "", 0);
                if (!other.cursor->Find(false, row.data(), false, 1, 0, row.data())) return 1;
                other.cursor->DeleteCurrent(row.data(), false);
                return 0;
              }),
              0);
    const std::uint16_t code = c.forward ? engine.cursor->GetNextRecord(image.data())
                                         : engine.cursor->GetPriorRecord(image.data());
    ASSERT_EQ(code, 0);
    std::uint8_t id[4];
    engine.cursor->GetField(1, image.data(), id);
    EXPECT_EQ(static_cast<std::int32_t>(DecodeFixed32(id)), c.expected);
    // Put the record back for the next case.
    std::vector<std::uint8_t> row = engine.Row(c.deleted, "N" + std::to_string(c.deleted),
                                               static_cast<std::int16_t>(c.deleted % 5));
    engine.cursor->PostInsert(row.data(), false);
  }
  // A cursor in record order standing on the last record, whose image is in `image`.
  auto on_last_record = [](TEngine& engine, std::vector<std::uint8_t>* image) {
    auto cursor = std::make_unique<TDataCursor>(*engine.db);
    cursor->SetTableName("Staff.DAT");
    cursor->SetNaturalOrder(true);
    cursor->Open();
    image->assign(static_cast<std::size_t>(cursor->RecordSize()), 0);
    cursor->SetToEnd();
    if (cursor->GetPriorRecord(image->data()) != 0) RaiseTableError(TABULA_BOF, "Staff.DAT");
    return cursor;
  };
  // In record order the neighbour found again for the last record, deleted, is the one before
  // it: the step backward has arrived there.
  for (const bool strict : {true, false}) {
    SCOPED_TRACE(strict ? "record order, strict" : "record order");
    TEngine engine(dir_);
    engine.session.SetStrictChangeDetection(strict);
    std::vector<std::uint8_t> image;
    std::unique_ptr<TDataCursor> natural = on_last_record(engine, &image);
    const std::int32_t last = natural->RecordNo();
    ASSERT_EQ(RunInChild([&]() -> std::int64_t {
                TEngine other(dir_);
                std::vector<std::uint8_t> row;
                on_last_record(other, &row)->DeleteCurrent(row.data(), false);
                return 0;
              }),
              0);
    ASSERT_EQ(natural->GetPriorRecord(image.data()), 0);
    EXPECT_EQ(natural->RecordNo(), last - 1);
  }
}

TEST_F(MultiProcessTest, KilledProcessLeavesNoLockBehind) {
  {
    TEngine setup(dir_);
    setup.Insert(1, "Ann", 1);
  }
  // The survivor opens before the victim takes its locks: a table's write lock keeps every
  // reader out, the open's header check included.
  TEngine engine(dir_, lpPessimistic, 0, 1);
  TSignal ready;
  TSignal proceed;
  TChild victim([&]() -> std::int64_t {
    TEngine mine(dir_);
    std::vector<std::uint8_t> row;
    mine.First(&row);
    if (mine.cursor->FetchCurrent(row.data(), true) != 0) return -5;
    ready.Send();
    proceed.Receive();
    mine.cursor->Table()->Locks().LockWrite();
    ready.Send();
    pause();
    return 0;
  });
  ASSERT_TRUE(ready.Receive());
  std::vector<std::uint8_t> row;
  engine.First(&row);
  // While it lives, its record lock holds.
  EXPECT_EQ(ErrorOf([&] { engine.cursor->FetchCurrent(row.data(), true); }), TABULA_RECLOCKFAILED);
  proceed.Send();
  ASSERT_TRUE(ready.Receive());
  TDataTable& table = *engine.cursor->Table();
  EXPECT_FALSE(table.IndexFile().LockRange(kWriteLockLength, kWriteLockOffset));
  kill(victim.Pid(), SIGKILL);
  EXPECT_EQ(victim.Wait(), -4);  // killed before it could answer

  // One attempt each: the write lock's range and the record's byte are free.
  EXPECT_TRUE(table.IndexFile().LockRange(kWriteLockLength, kWriteLockOffset));
  table.IndexFile().UnlockRange(kWriteLockLength, kWriteLockOffset);
  EXPECT_TRUE(table.DataFile().LockRange(1, kTransactionLockOffset));
  table.DataFile().UnlockRange(1, kTransactionLockOffset);
  engine.First(&row);
  ASSERT_EQ(engine.cursor->FetchCurrent(row.data(), true), 0);
  engine.SetName(row, "Bob");
  engine.cursor->PostEdit(row.data(), true, true);
  engine.Insert(2, "Cid", 2);
  engine.cursor.reset();
  ExpectConsistent(2);
}

TEST_F(MultiProcessTest, RollbackLeavesEveryFileAsItWas) {
  TEngine engine(dir_);
  engine.Insert(1, "Ann", 1);
  engine.Insert(2, "Bob", 1);
  std::vector<std::vector<char>> before;
  for (const char* name : {"Staff.DAT", "Staff.IDX"}) before.push_back(FileBytes(dir_ / name));

  engine.db->StartTransaction();
  std::vector<std::uint8_t> row;
  engine.First(&row);
  ASSERT_EQ(engine.cursor->FetchCurrent(row.data(), true), 0);
  engine.SetName(row, "Abe");
  engine.cursor->PostEdit(row.data(), true, true);
  for (int i = 3; i < 60; ++i) engine.Insert(i, "N" + std::to_string(i), 2);
  engine.First(&row);
  engine.cursor->DeleteCurrent(row.data(), true);
  // Another process sees nothing of the transaction, and cannot write meanwhile.
  TChild peer([&]() -> std::int64_t {
    TEngine other(dir_);
    return other.cursor->GetRecordCount();
  });
  EXPECT_EQ(peer.Wait(), 2);
  // The record unlocked inside the transaction stays locked until it ends.
  EXPECT_FALSE(engine.cursor->Table()->Locks().LockedRecords().empty());
  engine.db->Rollback();

  std::vector<std::vector<char>> after;
  for (const char* name : {"Staff.DAT", "Staff.IDX"}) after.push_back(FileBytes(dir_ / name));
  EXPECT_EQ(after, before);
  EXPECT_TRUE(engine.cursor->Table()->Locks().LockedRecords().empty());
  EXPECT_EQ(engine.cursor->Table()->IndexFile().RecordCount(), 2u);
  engine.cursor.reset();
  ExpectConsistent(2);
}

TEST_F(MultiProcessTest, CommitWritesTablesClosedMeanwhileAndThenFreesTheRecords) {
  TEngine engine(dir_);
  engine.Insert(1, "Ann", 1);
  engine.db->StartTransaction();
  std::vector<std::uint8_t> row;
  engine.First(&row);
  ASSERT_EQ(engine.cursor->FetchCurrent(row.data(), true), 0);
  engine.SetName(row, "Abe");
  engine.cursor->PostEdit(row.data(), true, true);
  engine.Insert(2, "Bob", 2);
  auto peer_edit = [&]() {
    TChild child([&]() -> std::int64_t {
      TEngine other(dir_, lpPessimistic, 0, 1);
      std::vector<std::uint8_t> seen;
      other.First(&seen);
      const std::uint16_t code = ErrorOf([&] { other.cursor->FetchCurrent(seen.data(), true); });
      return code * 100 + other.cursor->GetRecordCount();
    });
    return child.Wait();
  };
  // The edit's unlock waits for the end of the transaction; its changes are not on disk.
  EXPECT_EQ(peer_edit(), TABULA_RECLOCKFAILED * 100 + 1);
  engine.cursor.reset();
  ASSERT_EQ(engine.db->Tables().size(), 1u);  // kept for the transaction
  engine.db->Commit(true, false);
  EXPECT_TRUE(engine.db->Tables().empty());
  EXPECT_EQ(peer_edit(), 0 * 100 + 2);
  ExpectConsistent(2);
}

// The records a transaction changed stay locked to other processes until it ends, and the
// commit gives them back with one call, or a run of neighbours per call when another lock of the
// process lies between them; the records it appends, which nobody else can reach before the
// commit, take no lock at all. Inside the transaction a change takes no write lock either: the
// table files are written by the commit only.
TEST_F(MultiProcessTest, TransactionLocksOnlyWhatOthersCanReachAndFreesItTogether) {
  // Which of the records with identifiers 1..6 another process cannot lock: bit id - 1.
  auto locked_to_peer = [&]() {
    TChild child([&]() -> std::int64_t {
      TEngine other(dir_, lpPessimistic, 0, 1);
      std::vector<std::uint8_t> seen(static_cast<std::size_t>(other.cursor->RecordSize()));
      std::int64_t bits = 0;
      other.cursor->SetToBegin();
      for (int id = 1; id <= 6 && other.cursor->GetNextRecord(seen.data()) == 0; ++id) {
        const std::uint16_t code = ErrorOf([&] { other.cursor->FetchCurrent(seen.data(), true); });
        if (code == TABULA_RECLOCKFAILED) bits |= std::int64_t{1} << (id - 1);
        if (code == 0) other.cursor->CancelEdit();
      }
      return bits;
    });
    return child.Wait();
  };
  struct TCase {
    bool hold_record_5;  // another cursor of the process edits record 5 across the commit
    std::uint64_t commit_unlocks;
    std::int64_t locked_after_commit;
  } cases[] = {
      {false, 3, 0},       // the write lock, the transaction byte, records 2..6 at once
      {true, 4, 0b10000},  // ... records 2..4, then 6
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.hold_record_5 ? "record 5 held" : "nothing else held");
    TearDown();
    SetUp();
    TEngine engine(dir_);
    for (int id = 1; id <= 6; ++id) engine.Insert(id, "R" + std::to_string(id), 1);
    TInstrumentedPlatform platform;
    TScopedPlatform installed(&platform);
    engine.db->StartTransaction();
    platform.ResetCounts();
    std::vector<std::uint8_t> row(static_cast<std::size_t>(engine.cursor->RecordSize()));
    engine.cursor->SetToBegin();
    for (int id = 1; id <= 6 && engine.cursor->GetNextRecord(row.data()) == 0; ++id) {
      if (id == 1 || id == 5) continue;
      ASSERT_EQ(engine.cursor->FetchCurrent(row.data(), true), 0);
      engine.SetName(row, "E" + std::to_string(id));
      engine.cursor->PostEdit(row.data(), true, false);
    }
    EXPECT_EQ(platform.Count(TInstrumentedPlatform::kLock), 4u) << "one record lock per edit";
    for (int id = 7; id <= 56; ++id) engine.Insert(id, "N" + std::to_string(id), 2);
    EXPECT_EQ(platform.Count(TInstrumentedPlatform::kLock), 4u) << "appends lock nothing";
    EXPECT_EQ(platform.Count(TInstrumentedPlatform::kUnlock), 0u);
    EXPECT_EQ(platform.Count(TInstrumentedPlatform::kWrite), 0u);
    TDataCursor holder(*engine.db);
    holder.SetTableName("Staff.DAT");
    holder.Open();
    if (c.hold_record_5) {
      holder.SetToBegin();
      for (int id = 1; id <= 5; ++id) ASSERT_EQ(holder.GetNextRecord(row.data()), 0);
      ASSERT_EQ(holder.FetchCurrent(row.data(), true), 0);
    }
    EXPECT_EQ(locked_to_peer(), c.hold_record_5 ? 0b111110 : 0b101110);

    platform.ResetCounts();
    engine.db->Commit(true, false);
    EXPECT_EQ(platform.Count(TInstrumentedPlatform::kUnlock), c.commit_unlocks);
    EXPECT_EQ(locked_to_peer(), c.locked_after_commit);
    holder.CancelEdit();
    EXPECT_EQ(locked_to_peer(), 0);
    EXPECT_TRUE(engine.cursor->Table()->Locks().LockedRecords().empty());
    holder.Close();
    engine.cursor.reset();
    ExpectConsistent(56);
  }
}

// A transaction larger than the caches (one index page per index, about 200 records) spills
// its changed records and index pages to private shadow files: the table files stay as they
// were, so another process sees only committed data; the transaction reads its own changes
// back; the commit writes all of it, and the rollback none.
TEST_F(MultiProcessTest, TransactionLargerThanTheCachesSpillsAndCommitsOrRollsBack) {
  for (const bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    TearDown();
    SetUp();
    TEngine engine(dir_, lpPessimistic, 15, 100, 8192);
    for (int i = 1; i <= 20; ++i) engine.Insert(i, "A" + std::to_string(i), 1);
    auto files = [&] {
      std::vector<std::vector<char>> bytes;
      for (const char* name : {"Staff.DAT", "Staff.IDX"}) bytes.push_back(FileBytes(dir_ / name));
      return bytes;
    };
    const auto before = files();

    engine.db->StartTransaction();
    // Names in a scattered order, so that every part of the name index changes.
    for (int i = 21; i <= 800; ++i)
      engine.Insert(i, "N" + std::to_string(i * 7919 % 100003), i % 5);
    std::vector<std::uint8_t> row;
    for (int i = 0; i < 5; ++i) {  // records 1 to 5, spilled long ago
      engine.First(&row);
      ASSERT_EQ(engine.cursor->FetchCurrent(row.data(), true), 0);
      engine.cursor->DeleteCurrent(row.data(), true);
    }
    engine.First(&row);
    ASSERT_EQ(engine.cursor->FetchCurrent(row.data(), true), 0);
    engine.SetName(row, "Renamed");
    engine.cursor->PostEdit(row.data(), true, true);

    TDataTable& table = *engine.cursor->Table();
    EXPECT_GT(table.DataFile().Cache()->SpilledRecords(), 0);
    EXPECT_GT(table.IndexFile().SpilledPages(), 0);
    EXPECT_LE(table.DataFile().Cache()->Capacity(), table.DataFile().Cache()->CacheLimit());
    EXPECT_EQ(files(), before) << "nothing of the transaction reaches the table files";
    TChild peer([&]() -> std::int64_t {
      TEngine other(dir_);
      return other.cursor->GetRecordCount();
    });
    EXPECT_EQ(peer.Wait(), 20);
    EXPECT_EQ(engine.cursor->GetRecordCount(), 795);
    engine.cursor->SetIndexName("ByName");
    engine.cursor->SetToBegin();
    std::size_t seen = 0;
    row.assign(static_cast<std::size_t>(engine.cursor->RecordSize()), 0);
    while (engine.cursor->GetNextRecord(row.data()) == 0) ++seen;
    EXPECT_EQ(seen, 795u);

    if (commit) {
      engine.db->Commit(true, false);
    } else {
      engine.db->Rollback();
      EXPECT_EQ(files(), before);
    }
    EXPECT_EQ(table.DataFile().Cache()->SpilledRecords(), 0);
    EXPECT_EQ(table.IndexFile().SpilledPages(), 0);
    engine.cursor.reset();
    if (commit) {
      ExpectConsistent(795, 800);
    } else {
      ExpectConsistent(20);
    }
  }
}

}  // namespace
}  // namespace tabula
