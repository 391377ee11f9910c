#include "engine/storage/record_cache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "tests/storage/storage_test_util.h"

namespace tabula {
namespace {

// A data file in memory: stored images back to back, record 1 first. Every transfer is logged.
class FakeRecordFile : public TRecordFile {
 public:
  struct Transfer {
    std::int32_t first, count;
  };

  FakeRecordFile(std::int32_t record_size, std::int32_t records)
      : record_size_(record_size), next_record_no_(records + 1) {
    stored_.resize(static_cast<std::size_t>(record_size) * records);
    for (std::int32_t r = 1; r <= records; ++r) Stored(r)[9] = static_cast<std::uint8_t>(r);
  }

  std::uint8_t* Stored(std::int32_t record_no) {
    return stored_.data() + static_cast<std::size_t>(record_size_) * (record_no - 1);
  }

  std::int32_t RecordSize() const override { return record_size_; }
  std::int32_t NextRecordNo() const override { return next_record_no_; }
  void AppendRecordNo(std::int32_t record_no) override {
    if (record_no > append_limit) RaiseTableError(TABULA_TABLEFULL, "T");
    next_record_no_ = record_no + 1;
  }
  std::int64_t ReadRecords(std::int32_t first, std::int32_t count, std::uint8_t* buffer) override {
    reads.push_back({first, count});
    const std::int64_t offset = static_cast<std::int64_t>(first - 1) * record_size_;
    const std::int64_t available = static_cast<std::int64_t>(stored_.size()) - offset;
    const std::int64_t bytes = std::max<std::int64_t>(
        0, std::min<std::int64_t>(available, std::int64_t{count} * record_size_));
    if (bytes > 0) std::memcpy(buffer, stored_.data() + offset, static_cast<std::size_t>(bytes));
    return bytes;
  }
  void WriteRecords(std::int32_t first, std::int32_t count, const std::uint8_t* buffer) override {
    writes.push_back({first, count});
    const std::size_t end = static_cast<std::size_t>(record_size_) * (first - 1 + count);
    if (stored_.size() < end) stored_.resize(end);
    std::memcpy(Stored(first), buffer, static_cast<std::size_t>(record_size_) * count);
  }
  bool ShortReadAllowed() const override { return short_read_allowed; }
  bool HoldsTransactionLock() const override { return in_transaction; }
  bool StrictChangeDetection() const override { return false; }
  std::int32_t DataBufferSize() const override { return buffer_size; }
  std::int32_t DataBufferCount() const override { return buffer_count; }
  void ScrambleImage(std::uint8_t* image) const override {
    if (!encrypted) return;
    for (std::int32_t i = 0; i < record_size_; ++i) image[i] ^= 0x5A;
  }
  const std::string& TableName() const override { return name_; }
  std::string SpillDirectory() const override { return spill_directory; }

  std::vector<Transfer> reads, writes;
  std::string spill_directory;
  bool short_read_allowed = false;
  bool in_transaction = false;
  bool encrypted = false;
  std::int32_t buffer_size = 1 << 20;
  std::int32_t buffer_count = 8192;
  std::int32_t append_limit = 200000000;

 private:
  std::int32_t record_size_;
  std::int32_t next_record_no_;
  std::vector<std::uint8_t> stored_;
  std::string name_ = "T";
};

class OrderCursor : public TRecordCacheCursor {
 public:
  bool LockAndCheckForChanges() override {
    ++checks;
    return report_change;
  }
  std::int32_t ConsecutiveRecordsAhead(std::int32_t, TReadDirection, std::int32_t limit) override {
    return std::min(ahead, limit);
  }
  int checks = 0;
  bool report_change = false;
  std::int32_t ahead = 1;
};

TEST(RecordCacheTest, ReadAheadReadsAboutEightKilobytesForward) {
  FakeRecordFile file(100, 500);
  TRecordCache cache(file);
  TRecord* r = cache.GetRecord(nullptr, 1, true, TReadDirection::kForward, false);
  ASSERT_EQ(file.reads.size(), 1u);
  EXPECT_EQ(file.reads[0].first, 1);
  EXPECT_EQ(file.reads[0].count, 81);
  EXPECT_EQ(cache.CachedCount(), 81u);
  EXPECT_EQ(r->Image()[9], 1);
  EXPECT_EQ(DecodeFixed32(r->Image() + kRecordNoOrLink), 1u);
  cache.Unpin(r);
  // Every other record of the block is a hit now.
  for (std::int32_t n = 2; n <= 81; ++n) {
    cache.Unpin(cache.GetRecord(nullptr, n, true, TReadDirection::kForward, false));
  }
  EXPECT_EQ(file.reads.size(), 1u);
  cache.AssertInvariants();
}

TEST(RecordCacheTest, BlockSizeRules) {
  struct Row {
    const char* name;
    std::int32_t records, record_no;
    TReadDirection direction;
    bool cursor_order;
    std::int32_t cursor_ahead;
    std::int32_t first, count;
  } rows[] = {
      {"forward near the end stops at the last record", 100, 95, TReadDirection::kForward, false, 0,
       95, 6},
      {"backward ends at the record", 500, 200, TReadDirection::kBackward, false, 0, 120, 81},
      {"backward near the start begins at record 1", 500, 5, TReadDirection::kBackward, false, 0, 1,
       5},
      {"cursor order limits a backward block", 500, 5, TReadDirection::kBackward, true, 5, 1, 5},
      {"cursor order limits a forward block", 500, 10, TReadDirection::kForward, true, 3, 10, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeRecordFile file(100, row.records);
    TRecordCache cache(file);
    OrderCursor cursor;
    cursor.ahead = row.cursor_ahead;
    cache.Unpin(cache.GetRecord(&cursor, row.record_no, true, row.direction, row.cursor_order));
    ASSERT_EQ(file.reads.size(), 1u);
    EXPECT_EQ(file.reads[0].first, row.first);
    EXPECT_EQ(file.reads[0].count, row.count);
    EXPECT_EQ(cursor.checks, 1);
  }
}

TEST(RecordCacheTest, DirtyRecordSurvivesANeighbouringRead) {
  FakeRecordFile file(100, 300);
  TRecordCache cache(file);
  TRecord* r = cache.GetRecord(nullptr, 50, false, TReadDirection::kForward, false);
  r->Image()[9] = 0xEE;
  r->SetDirty(true);
  cache.Unpin(r);
  cache.Unpin(cache.GetRecord(nullptr, 1, true, TReadDirection::kForward, false));
  EXPECT_EQ(cache.Find(50)->Image()[9], 0xEE);
  EXPECT_EQ(cache.Find(49)->Image()[9], 49);
}

TEST(RecordCacheTest, WriteDirtyWritesOneRunPerConsecutiveGroup) {
  FakeRecordFile file(20, 12);
  TRecordCache cache(file);
  for (std::int32_t n : {3, 4, 5, 9, 7}) {
    TRecord* r = cache.GetRecord(nullptr, n, false, TReadDirection::kForward, false);
    r->Image()[9] = static_cast<std::uint8_t>(100 + n);
    if (n != 7) r->SetDirty(true);
    if (n != 7) cache.Unpin(r);  // 7 is clean and stays pinned
  }
  EXPECT_TRUE(cache.WriteDirty());
  ASSERT_EQ(file.writes.size(), 2u);
  EXPECT_EQ(file.writes[0].first, 3);
  EXPECT_EQ(file.writes[0].count, 3);
  EXPECT_EQ(file.writes[1].first, 9);
  EXPECT_EQ(file.writes[1].count, 1);
  EXPECT_EQ(file.Stored(4)[9], 104);
  EXPECT_EQ(cache.Stats().runs_written, 2);
  EXPECT_FALSE(cache.WriteDirty());

  TRecord* pinned = cache.GetRecord(nullptr, 4, false, TReadDirection::kForward, false);
  pinned->SetDirty(true);
  EXPECT_FALSE(cache.WriteDirty()) << "a pinned record is never written";
}

// Dirty records close together go in one transfer each way: the stretch is read from the file,
// the dirty images are laid over it and it is written back, so that what lies between stays as
// the file has it (also a record changed in the cache without being marked dirty). A stretch
// reaching beyond the file's end goes run by run.
TEST(RecordCacheTest, WriteDirtyGathersRunsCloseTogether) {
  using TWrites = std::vector<std::pair<std::int32_t, std::int32_t>>;  // first, count
  const struct {
    const char* name;
    bool encrypted;
    std::int32_t appended;
    TWrites writes;
  } cases[] = {
      {"gathered", false, 0, {{3, 10}}},
      {"gathered, encrypted", true, 0, {{3, 10}}},
      {"past the end", false, 2, {{3, 2}, {8, 1}, {12, 1}, {41, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRecordFile file(20, 40);
    file.encrypted = c.encrypted;
    TRecordCache cache(file);
    std::vector<std::int32_t> dirty = {3, 4, 8, 12};
    for (std::int32_t n = 41; n <= 40 + c.appended; ++n) dirty.push_back(n);
    for (const std::int32_t n : dirty) {
      TRecord* r = cache.GetRecord(nullptr, n, false, TReadDirection::kForward, false);
      r->Image()[9] = static_cast<std::uint8_t>(100 + n);
      r->SetDirty(true);
      cache.Unpin(r);
    }
    TRecord* changed = cache.GetRecord(nullptr, 6, false, TReadDirection::kForward, false);
    changed->Image()[9] = 0xEE;  // not dirty, and pinned
    file.writes.clear();
    EXPECT_TRUE(cache.WriteDirty());
    TWrites writes;
    for (const auto& w : file.writes) writes.emplace_back(w.first, w.count);
    EXPECT_EQ(writes, c.writes);
    const std::uint8_t mask = c.encrypted ? 0x5A : 0;
    for (const std::int32_t n : dirty) {
      EXPECT_EQ(file.Stored(n)[9], static_cast<std::uint8_t>((100 + n) ^ mask)) << n;
    }
    for (const std::int32_t n : {5, 6, 7, 11}) EXPECT_EQ(file.Stored(n)[9], n) << n;
    EXPECT_FALSE(cache.WriteDirty());
    cache.Unpin(changed);
  }
}

TEST(RecordCacheTest, FullCacheEvictsLeastRecentlyUsedOrWritesDirtyRecords) {
  FakeRecordFile file(1000, 200);
  file.buffer_size = 8000;  // 8 records
  TRecordCache cache(file);
  ASSERT_EQ(cache.CacheLimit(), 8);
  for (std::int32_t n = 1; n <= 8; ++n) {
    cache.Unpin(cache.GetRecord(nullptr, n, false, TReadDirection::kForward, false));
  }
  cache.Unpin(cache.GetRecord(nullptr, 1, false, TReadDirection::kForward, false));
  cache.Unpin(cache.GetRecord(nullptr, 9, false, TReadDirection::kForward, false));
  EXPECT_EQ(cache.CachedCount(), 8u);
  EXPECT_EQ(cache.Find(2), nullptr) << "2 was the least recently used";
  EXPECT_NE(cache.Find(1), nullptr);

  // Outside a transaction a full cache of dirty records is written to make room.
  for (std::int32_t n = 1; n <= 9; ++n) {
    if (TRecord* r = cache.Find(n)) r->SetDirty(true);
  }
  cache.Unpin(cache.GetRecord(nullptr, 20, false, TReadDirection::kForward, false));
  EXPECT_FALSE(file.writes.empty());
  EXPECT_EQ(cache.Capacity(), 8);
  cache.AssertInvariants();
}

// Inside a transaction nothing reaches the file before the commit. A cache full of changed
// records spills them to its shadow and keeps its size; spilled records read back with their
// changed images, in single reads and inside read-ahead blocks, also beyond the file's end; the
// commit's WriteDirty writes the spilled images and then the newer ones still in memory.
TEST(RecordCacheTest, TransactionSpillsInsteadOfGrowingAndTheCommitWritesEverything) {
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    FakeRecordFile file(100, 40);
    file.buffer_size = 800;  // 8 records
    file.encrypted = encrypted;
    if (encrypted) {
      for (std::int32_t n = 1; n <= 40; ++n) file.ScrambleImage(file.Stored(n));
    }
    file.in_transaction = true;
    file.short_read_allowed = true;
    TRecordCache cache(file);
    auto change = [&](std::int32_t n, std::uint8_t mark) {
      TRecord* r = cache.GetRecord(nullptr, n, true, TReadDirection::kForward, false);
      ASSERT_NE(r, nullptr);
      r->Image()[20] = mark;
      r->SetDirty(true);
      cache.Unpin(r);
    };
    for (std::int32_t n = 1; n <= 40; n += 2) change(n, 1);   // existing records
    for (std::int32_t n = 41; n <= 70; ++n) change(n, 2);     // appended ones
    for (std::int32_t n = 5; n <= 45; n += 10) change(n, 3);  // spilled, then changed again
    EXPECT_EQ(cache.Capacity(), 8);
    EXPECT_LE(cache.CachedCount(), 8u);
    EXPECT_GT(cache.SpilledRecords(), 0);
    EXPECT_TRUE(file.writes.empty());
    cache.AssertInvariants();

    auto expected = [](std::int32_t n) -> std::uint8_t {
      if (n % 10 == 5 && n <= 45) return 3;
      if (n > 40) return 2;
      return n % 2 == 1 ? 1 : 0;
    };
    for (const bool read_ahead : {false, true}) {
      for (std::int32_t n = 70; n >= 1; --n) {
        TRecord* r = cache.GetRecord(nullptr, n, read_ahead, TReadDirection::kBackward, false);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->Image()[20], expected(n)) << "record " << n;
        EXPECT_EQ(r->Image()[9], n <= 40 ? n : 0) << "record " << n;
        cache.Unpin(r);
      }
    }
    EXPECT_TRUE(file.writes.empty());

    file.in_transaction = false;  // the commit
    EXPECT_TRUE(cache.WriteDirty());
    EXPECT_EQ(cache.SpilledRecords(), 0);
    for (std::int32_t n = 1; n <= 70; ++n) {
      std::vector<std::uint8_t> plain(file.Stored(n), file.Stored(n) + 100);
      file.ScrambleImage(plain.data());
      EXPECT_EQ(plain[20], expected(n)) << "record " << n;
    }
    cache.AssertInvariants();
  }
}

TEST(RecordCacheTest, RollbackDropsTheSpilledRecords) {
  FakeRecordFile file(100, 10);
  file.buffer_size = 400;  // 4 records
  file.in_transaction = true;
  TRecordCache cache(file);
  for (std::int32_t n = 11; n <= 30; ++n) {
    TRecord* r = cache.GetRecord(nullptr, n, false, TReadDirection::kForward, false);
    r->SetDirty(true);
    cache.Unpin(r);
  }
  ASSERT_GT(cache.SpilledRecords(), 0);
  cache.DiscardAll();
  EXPECT_EQ(cache.SpilledRecords(), 0);
  file.in_transaction = false;
  EXPECT_FALSE(cache.WriteDirty());
  EXPECT_TRUE(file.writes.empty());
}

// Without a usable shadow the changed records stay in memory: the cache grows by 64.
TEST(RecordCacheTest, TransactionCacheGrowsWhenItCannotSpill) {
  FakeRecordFile file(1000, 200);
  file.buffer_size = 8000;  // 8 records
  file.spill_directory = "/nonexistent/tabula-spill";
  file.in_transaction = true;
  TRecordCache cache(file);
  for (std::int32_t n = 30; n < 39; ++n) {  // one more than the cache holds
    TRecord* r = cache.GetRecord(nullptr, n, false, TReadDirection::kForward, false);
    r->SetDirty(true);
    cache.Unpin(r);
  }
  EXPECT_TRUE(file.writes.empty());
  EXPECT_EQ(cache.Capacity(), 8 + 64);
  EXPECT_EQ(cache.SpilledRecords(), 0);
  cache.AssertInvariants();

  file.in_transaction = false;
  cache.Trim();
  EXPECT_LE(cache.CachedCount(), 8u);
  EXPECT_EQ(cache.Capacity(), 8);
  cache.AssertInvariants();
}

TEST(RecordCacheTest, AppendAndErrors) {
  FakeRecordFile file(20, 3);
  file.append_limit = 4;
  TRecordCache cache(file);
  TRecord* appended = cache.GetRecord(nullptr, 4, true, TReadDirection::kForward, false);
  EXPECT_EQ(file.NextRecordNo(), 5);
  EXPECT_TRUE(file.reads.empty());
  EXPECT_EQ(DecodeFixed32(appended->Image() + kRecordNoOrLink), 4u);
  EXPECT_EQ(appended->Image()[9], 0);
  cache.Unpin(appended);

  EXPECT_EQ(ErrorOf([&] { cache.GetRecord(nullptr, 5, true, TReadDirection::kForward, false); }),
            TABULA_TABLEFULL);
  EXPECT_EQ(cache.CachedCount(), 1u);
  EXPECT_EQ(ErrorOf([&] { cache.GetRecord(nullptr, 0, true, TReadDirection::kForward, false); }),
            TABULA_FILECORRUPT);
  // Record 4 exists only in the cache: evicted and re-read, the disk lacks it.
  cache.WriteDirty();
  cache.DiscardAll();
  FakeRecordFile short_file(20, 3);
  TRecordCache short_cache(short_file);
  EXPECT_EQ(ErrorOf([&] {
              short_cache.GetRecord(nullptr, 2, true, TReadDirection::kForward, false);
              short_cache.GetRecord(nullptr, 7, false, TReadDirection::kForward, false);
            }),
            TABULA_READERR);
  short_file.short_read_allowed = true;
  EXPECT_EQ(
      ErrorOf([&] { short_cache.GetRecord(nullptr, 7, false, TReadDirection::kForward, false); }),
      TABULA_FILECORRUPT);
}

TEST(RecordCacheTest, ChangeFoundBeforeADiskReadRestartsTheOperation) {
  FakeRecordFile file(20, 10);
  TRecordCache cache(file);
  OrderCursor cursor;
  cursor.report_change = true;
  EXPECT_EQ(cache.GetRecord(&cursor, 3, true, TReadDirection::kForward, false), nullptr);
  EXPECT_TRUE(file.reads.empty());
}

TEST(RecordCacheTest, EncryptedImagesArePlainInTheCacheOnly) {
  FakeRecordFile file(20, 2);
  file.encrypted = true;
  file.Stored(1)[9] = 7 ^ 0x5A;
  TRecordCache cache(file);
  TRecord* r = cache.GetRecord(nullptr, 1, false, TReadDirection::kForward, false);
  EXPECT_EQ(r->Image()[9], 7);
  r->Image()[9] = 8;
  r->SetDirty(true);
  cache.Unpin(r);
  cache.WriteDirty();
  EXPECT_EQ(file.Stored(1)[9], 8 ^ 0x5A);
}

TEST(RecordCacheTest, LoadRecordsKeepsTheListedRecordsAndSharesTransfersOfNeighbours) {
  // 100-byte records: listed records at most 40 apart share a transfer of at most 1310.
  struct TCase {
    const char* name;
    std::vector<std::int32_t> numbers;
    std::vector<FakeRecordFile::Transfer> reads;
  };
  std::vector<std::int32_t> every_thirtieth;
  for (std::int32_t n = 1; n <= 2800; n += 30) every_thirtieth.push_back(n);
  const std::vector<TCase> cases = {
      // 50 -> 91 leaves a gap of exactly 40; 300 is cached already, so 301 starts alone; 0 and
      // 3001 (beyond the file) are passed over.
      {"groups",
       {0, 3, 10, 50, 91, 300, 301, 1800, 2999, 3001},
       {{3, 89}, {301, 1}, {1800, 1}, {2999, 1}}},
      {"gap of 41", {3, 45}, {{3, 1}, {45, 1}}},
      {"span limit", every_thirtieth, {{1, 1291}, {1321, 1291}, {2641, 151}}},
  };
  for (const TCase& c : cases) {
    FakeRecordFile file(100, 3000);
    TRecordCache cache(file);
    cache.Unpin(cache.GetRecord(nullptr, 300, false, TReadDirection::kForward, false));
    file.reads.clear();
    cache.LoadRecords(c.numbers);
    ASSERT_EQ(file.reads.size(), c.reads.size()) << c.name;
    for (std::size_t i = 0; i < c.reads.size(); ++i) {
      EXPECT_EQ(file.reads[i].first, c.reads[i].first) << c.name << " " << i;
      EXPECT_EQ(file.reads[i].count, c.reads[i].count) << c.name << " " << i;
    }
    // Exactly the listed records of the file are cached (with 300), each with its own image.
    std::size_t listed = 1;
    for (std::int32_t n : c.numbers) {
      if (n < 1 || n > 3000 || n == 300) continue;
      ++listed;
      const TRecord* record = cache.Find(n);
      ASSERT_NE(record, nullptr) << c.name << " " << n;
      EXPECT_EQ(record->Image()[9], static_cast<std::uint8_t>(n)) << c.name << " " << n;
    }
    EXPECT_EQ(cache.CachedCount(), listed) << c.name;
    cache.AssertInvariants();
  }
  // Inside a transaction the cache may hold records the file lacks: nothing is loaded.
  FakeRecordFile file(100, 3000);
  file.in_transaction = true;
  TRecordCache cache(file);
  cache.LoadRecords({1, 2, 3});
  EXPECT_TRUE(file.reads.empty());
  EXPECT_EQ(cache.CachedCount(), 0u);
}

// Records are found by number through a hash table whose entries move on every eviction. A
// long run of mixed reads (single, blocks both ways, loads of scattered records), changes,
// writes, discards and trims on a small cache: every record the cache returns or finds must be
// the one asked for, and exactly CachedCount() records must be findable.
TEST(RecordCacheTest, RecordsStayFindableThroughEvictionsDiscardsAndTrims) {
  constexpr std::int32_t kRecords = 5000;
  FakeRecordFile file(16, kRecords);
  file.buffer_size = 16 * 300;
  TRecordCache cache(file);
  std::mt19937 random(7);
  auto any = [&](std::int32_t below) {
    return static_cast<std::int32_t>(random() % static_cast<std::uint32_t>(below));
  };
  auto check_all = [&](int op) {
    std::size_t found = 0;
    for (std::int32_t n = 1; n <= kRecords; ++n) {
      const TRecord* r = cache.Find(n);
      if (r == nullptr) continue;
      ++found;
      ASSERT_EQ(r->RecordNo(), n) << "op " << op;
      ASSERT_EQ(r->Image()[9], static_cast<std::uint8_t>(n)) << "op " << op;
    }
    ASSERT_EQ(found, cache.CachedCount()) << "op " << op;
    cache.AssertInvariants();
  };
  for (int op = 0; op < 3000; ++op) {
    const int kind = any(100);
    if (kind < 70) {
      // Near the last record asked for most of the time, anywhere otherwise.
      const std::int32_t n = 1 + any(kRecords);
      const bool ahead = kind < 40;
      const TReadDirection direction =
          kind % 2 == 0 ? TReadDirection::kForward : TReadDirection::kBackward;
      TRecord* r = cache.GetRecord(nullptr, n, ahead, direction, false);
      ASSERT_NE(r, nullptr);
      ASSERT_EQ(r->RecordNo(), n) << "op " << op;
      ASSERT_EQ(r->Image()[9], static_cast<std::uint8_t>(n)) << "op " << op;
      if (kind < 10) {
        r->Image()[12] = static_cast<std::uint8_t>(op);
        r->SetDirty(true);
      }
      cache.Unpin(r);
    } else if (kind < 85) {
      std::vector<std::int32_t> numbers;
      for (std::int32_t n = 1 + any(200); n <= kRecords && numbers.size() < 150; n += 1 + any(40)) {
        numbers.push_back(n);
      }
      cache.LoadRecords(numbers);
    } else if (kind < 92) {
      cache.WriteDirty();
    } else if (kind < 95) {
      cache.WriteDirty();
      cache.DiscardAll();
    } else {
      file.buffer_size = 16 * (50 + any(400));
      cache.Trim();
    }
    if (op % 100 == 0) check_all(op);
  }
  check_all(-1);
}

}  // namespace
}  // namespace tabula
