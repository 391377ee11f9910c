// The index file: header and descriptor bytes against hand-written images, the change counter,
// the page cache (capacity, write-back in runs, cost of a lookup), free pages, temporary
// indexes, the parameter chain, encryption, definitions and damaged headers.
#include "engine/index/index_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform_test_util.h"
#include "engine/storage/data_file_format.h"

namespace tabula {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes BigEndianKey(std::uint32_t n, std::uint16_t key_length) {
  Bytes key(key_length, 0);
  for (int i = 0; i < 4 && i < key_length; ++i) {
    key[i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
  }
  return key;
}

std::uint16_t CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const ETabulaEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

std::vector<TFieldDescriptor> StaffFields() {
  std::vector<TFieldDescriptor> fields(3);
  fields[0].FieldNo = 1;
  fields[0].FieldName = "Staff_No";
  fields[0].FieldType = fldInteger;
  fields[1].FieldNo = 2;
  fields[1].FieldName = "Full_Name";
  fields[1].FieldType = fldString;
  fields[1].FieldSize = 20;
  fields[2].FieldNo = 3;
  fields[2].FieldName = "Notes";
  fields[2].FieldType = fldBlob;
  return fields;
}

TIndexDefinition PrimaryOnStaffNo() {
  TIndexDefinition d;
  d.FieldNumbers = {1};
  d.FieldDescending = {false};
  d.KeyLength = 5;  // null flag + 4
  d.Unique = true;
  return d;
}

TIndexDefinition ByName() {
  TIndexDefinition d;
  d.Name = "ByName";
  d.FieldNumbers = {2};
  d.FieldDescending = {true};
  d.KeyLength = 22;  // null flag + 21
  d.CaseInsensitive = true;
  d.Compression = icFull;
  return d;
}

class IndexFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tabula_index_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  Bytes FileBytes(const std::string& name) const {
    std::ifstream in(PathOf(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // A new index file with the staff table's primary index and "ByName".
  void CreateStaffIndex(TIndexFile& file, const std::string& name, bool encrypted = false) {
    file.SetFileName(PathOf(name));
    file.SetEncrypted(encrypted);
    file.SetTempDirectory(dir_.string());
    file.CreateHeader();
    file.DefinePrimaryIndex(PrimaryOnStaffNo(), StaffFields());
    EXPECT_EQ(file.AddSecondaryIndex(ByName(), StaffFields()), 1);
    file.CreateNew();
  }

  std::filesystem::path dir_;
  const TBytewiseKeyComparator cmp_;
};

TEST_F(IndexFileTest, NewFileIsTheHeaderBlockByteForByte) {
  TIndexFile file;
  CreateStaffIndex(file, "STAFF.IDX");
  file.Close();

  Bytes expected(4096, 0);
  expected[0] = 1;   // change counter: written once
  expected[8] = 5;   // version
  expected[9] = 1;   // next page
  expected[13] = 1;  // one secondary index
  // Slot 0 at 14: primary, no name, key length 5, unique, one field: field 1.
  std::size_t d = 14;
  expected[d + 31] = 5;
  expected[d + 35] = 1;
  expected[d + 37] = 1;
  expected[d + 54] = 1;
  // Slot 1 at 134: "ByName", key length 22 + 4, case-insensitive, FULL, field 2 descending.
  d = 134;
  const char name[] = "ByName";
  expected[d] = 6;
  std::memcpy(&expected[d + 1], name, 6);
  expected[d + 31] = 26;
  expected[d + 34] = 1;
  expected[d + 36] = 3;
  expected[d + 37] = 1;
  expected[d + 38] = 1;
  expected[d + 54] = 2;
  // Slot 31 at 14 + 31 * 120: "Sys Deleted", key length 5, unique, NONE.
  d = 14 + 31 * 120;
  const char deleted[] = "Sys Deleted";
  expected[d] = 11;
  std::memcpy(&expected[d + 1], deleted, 11);
  expected[d + 31] = 5;
  expected[d + 35] = 1;
  // Slot 32: "Sys Text", key length 68, unique, FULL.
  d = 14 + 32 * 120;
  const char text[] = "Sys Text";
  expected[d] = 8;
  std::memcpy(&expected[d + 1], text, 8);
  expected[d + 31] = 68;
  expected[d + 35] = 1;
  expected[d + 36] = 3;

  EXPECT_EQ(FileBytes("STAFF.IDX"), expected);

  // And the decoder reads the same image back.
  TIndexHeader header;
  ASSERT_EQ(header.DecodeFrom(expected.data(), expected.size()), 0);
  EXPECT_EQ(header.SecondaryCount, 1);
  EXPECT_EQ(header.Descriptors[1].Name, "ByName");
  EXPECT_EQ(header.Descriptors[1].KeyLength, 26);
  EXPECT_FALSE(header.Descriptors[1].Unique);
  EXPECT_EQ(header.Descriptors[1].FieldDescending[0], 1);
  Bytes again(4096);
  header.EncodeTo(again.data());
  EXPECT_EQ(again, expected);
}

TEST_F(IndexFileTest, EveryHeaderWriteIncrementsTheChangeCounter) {
  TIndexFile writer;
  CreateStaffIndex(writer, "STAFF.IDX");
  writer.Close();  // a new file is held exclusively; both open it shared
  writer.Open();
  TIndexFile reader;
  reader.SetFileName(PathOf("STAFF.IDX"));
  reader.Open();
  EXPECT_EQ(reader.Header().ChangeCount, 1u);
  EXPECT_FALSE(reader.HeaderChanged());

  writer.WriteHeader(false);  // clean: nothing written
  EXPECT_FALSE(reader.HeaderChanged());
  writer.IncRecordCount();
  writer.WriteHeader(false);
  writer.WriteHeader(true);
  EXPECT_EQ(writer.Header().ChangeCount, 3u);
  EXPECT_TRUE(reader.HeaderChanged());
  EXPECT_EQ(reader.Header().ChangeCount, 3u);
  EXPECT_EQ(reader.RecordCount(), 1u);
  EXPECT_FALSE(reader.HeaderChanged());
  EXPECT_EQ(DecodeFixed32(FileBytes("STAFF.IDX").data()), 3u);
}

TEST_F(IndexFileTest, FirstKeyCreatesPageOneAsARootLeaf) {
  TIndexFile file;
  CreateStaffIndex(file, "STAFF.IDX");
  EXPECT_EQ(FileBytes("STAFF.IDX").size(), 4096u);
  const Bytes key = {1, 0x80, 0, 0, 7};
  file.InsertKey(0, cmp_, key.data(), 1);
  file.IncRecordCount();
  file.FlushPages();
  file.WriteHeader(false);
  const Bytes bytes = FileBytes("STAFF.IDX");
  ASSERT_EQ(bytes.size(), 8192u);
  EXPECT_EQ(DecodeFixed32(&bytes[9]), 2u);        // next page
  EXPECT_EQ(DecodeFixed32(&bytes[14 + 86]), 1u);  // root of slot 0
  EXPECT_EQ(DecodeFixed32(&bytes[3974]), 1u);     // record count
  const Bytes page(bytes.begin() + 4096, bytes.end());
  Bytes expected(4096, 0);
  expected[0] = ptRootLeaf;
  expected[1] = 1;
  std::memcpy(&expected[13], key.data(), 5);
  expected[18] = 1;  // record number
  EXPECT_EQ(page, expected);
}

TEST_F(IndexFileTest, LookupReadsOnePagePerLevelOnceAndNoneWhenCached) {
  TIndexFile file;
  file.SetDataBufferSize(65536);  // 8 pages per index
  CreateStaffIndex(file, "STAFF.IDX");
  EXPECT_EQ(file.CacheCapacity(0), 8);
  for (std::uint32_t i = 0; i < 3000; ++i) {
    Bytes key = BigEndianKey(i * 2654435761u, 5);
    file.InsertKey(0, cmp_, key.data(), i + 1);
  }
  file.FlushPages();
  file.TrimCaches();
  EXPECT_LE(file.CachedPages(0), 8);
  TBTree tree = file.Tree(0, cmp_);
  std::uint64_t count = 0;
  ASSERT_EQ(tree.CheckTree(&count), "");
  ASSERT_EQ(count, 3000u);
  int depth = 0;
  {
    TTreePosition at;
    ASSERT_TRUE(tree.First(&at));
    std::uint32_t p = file.RootPage(0);
    while (true) {
      TPage* page = file.FetchPage(0, p, false);
      ++depth;
      const bool leaf = page->IsLeaf();
      const std::uint32_t child = leaf ? 0 : page->Value(1);
      file.ReleasePage(page);
      if (leaf) break;
      p = child;
    }
  }
  ASSERT_GE(depth, 2);
  file.DiscardPages();
  file.ResetCounters();
  // A key in the middle of its leaf: one read per level, uncached.
  const Bytes key = BigEndianKey(1500 * 2654435761u, 5);
  TTreePosition at;
  bool found;
  ASSERT_TRUE(tree.Seek(key.data(), key.size(), &at, &found));
  ASSERT_TRUE(found);
  const std::uint64_t extra = at.Entry == 1 ? 1 : 0;
  EXPECT_EQ(file.DiskReads(), static_cast<std::uint64_t>(depth) + extra);
  // Cached: no read at all, and no file call.
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  file.ResetCounters();
  ASSERT_TRUE(tree.Seek(key.data(), key.size(), &at, &found));
  EXPECT_EQ(file.DiskReads(), 0u);
  EXPECT_EQ(platform.FileCalls(), 0u);
}

// A reader whose fetch misses the cache asks whether the table changed; when it did, the header
// is taken again, the cached pages are dropped, the read reports failure and the retry sees
// the writer's keys.
TEST_F(IndexFileTest, ReadsNoticeChangesByAnotherWriter) {
  TIndexFile writer;
  CreateStaffIndex(writer, "STAFF.IDX");
  for (std::uint32_t i = 0; i < 3000; ++i) {
    const Bytes key = BigEndianKey(i * 4, 5);
    writer.InsertKey(0, cmp_, key.data(), i + 1);
  }
  writer.Close();
  writer.Open();
  TIndexFile reader;
  reader.SetFileName(PathOf("STAFF.IDX"));
  reader.SetDataBufferSize(16384);
  reader.Open();
  int checks = 0;
  reader.OnCheckChanges = [&] {
    ++checks;
    return reader.HeaderChanged();
  };
  TBTree tree = reader.Tree(0, cmp_);
  tree.SetCheckChanges(true);
  TTreePosition at;
  bool found;
  const Bytes first = BigEndianKey(40, 5);
  ASSERT_TRUE(tree.Seek(first.data(), 5, &at, &found));
  ASSERT_TRUE(found);
  const Bytes added = BigEndianKey(11001, 5);
  writer.InsertKey(0, cmp_, added.data(), 9999);
  writer.IncRecordCount();
  writer.FlushPages();
  writer.WriteHeader(false);
  // Cached pages answer without a check; a miss notices the change.
  const int checks_before = checks;
  ASSERT_TRUE(tree.Seek(first.data(), 5, &at, &found));
  EXPECT_EQ(checks, checks_before);
  bool completed = tree.Seek(added.data(), 5, &at, &found);
  EXPECT_FALSE(completed);
  EXPECT_EQ(reader.RecordCount(), 1u);
  ASSERT_TRUE(tree.Seek(added.data(), 5, &at, &found));
  EXPECT_TRUE(found);
  EXPECT_EQ(at.Value, 9999u);
}

// Another process inserts keys and writes the header; this process learns of it only through
// the header's change counter, and then reads the new keys from the file.
TEST_F(IndexFileTest, AnotherProcessChangeIsSeenThroughTheCounter) {
  {
    TIndexFile file;
    CreateStaffIndex(file, "STAFF.IDX");
    for (std::uint32_t i = 0; i < 2000; ++i) {
      const Bytes key = BigEndianKey(i * 2, 5);
      file.InsertKey(0, cmp_, key.data(), i + 1);
    }
  }
  TIndexFile reader;
  reader.SetFileName(PathOf("STAFF.IDX"));
  reader.Open();
  const std::uint32_t counter = reader.Header().ChangeCount;
  TBTree tree = reader.Tree(0, cmp_);
  TTreePosition at;
  bool found;
  const Bytes odd = BigEndianKey(999, 5);
  ASSERT_TRUE(tree.Seek(odd.data(), 5, &at, &found));
  ASSERT_FALSE(found);

  const pid_t pid = fork();
  if (pid == 0) {
    TFileList::ForgetAfterFork();
    int status = 1;
    try {
      TIndexFile writer;
      writer.SetFileName(PathOf("STAFF.IDX"));
      writer.Open();
      for (std::uint32_t i = 0; i < 500; ++i) {
        const Bytes key = BigEndianKey(i * 2 + 1, 5);
        writer.InsertKey(0, cmp_, key.data(), 10000 + i);
        writer.IncRecordCount();
      }
      writer.FlushPages();
      writer.WriteHeader(false);
      writer.Close();
      status = 0;
    } catch (...) {
      status = 2;
    }
    _exit(status);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  // The cached pages still answer as before; the counter tells that they are stale.
  ASSERT_TRUE(tree.Seek(odd.data(), 5, &at, &found));
  EXPECT_FALSE(found);
  ASSERT_TRUE(reader.HeaderChanged());
  EXPECT_EQ(reader.Header().ChangeCount, counter + 1);
  EXPECT_EQ(reader.RecordCount(), 500u);
  ASSERT_TRUE(tree.Seek(odd.data(), 5, &at, &found));
  EXPECT_TRUE(found);
  EXPECT_EQ(at.Value, 10499u);
  std::uint64_t count = 0;
  EXPECT_EQ(tree.CheckTree(&count), "");
  EXPECT_EQ(count, 2500u);
}

TEST_F(IndexFileTest, DirtyPagesAreWrittenInRunsOfConsecutivePages) {
  TIndexFile file;
  file.SetDataBufferSize(1 << 20);  // room for every page
  CreateStaffIndex(file, "STAFF.IDX");
  for (std::uint32_t i = 0; i < 2000; ++i) {
    const Bytes key = BigEndianKey(i, 5);
    file.InsertKey(0, cmp_, key.data(), i + 1);
  }
  const std::uint32_t pages = file.Header().NextPage - 1;
  ASSERT_GT(pages, 3u);
  TInstrumentedPlatform platform;
  {
    TScopedPlatform installed(&platform);
    platform.ResetCounts();
    file.FlushPages();
  }
  // Pages 1..n are all new and consecutive: one write.
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kWrite), 1u);
  EXPECT_EQ(platform.BytesWritten(), pages * 4096u);
  EXPECT_EQ(file.PageWrites(), pages);
  // Two separate pages changed: two writes.
  const Bytes low = BigEndianKey(0, 5);
  const Bytes high = BigEndianKey(1999, 5);
  file.DeleteKey(0, cmp_, low.data(), 1);
  file.DeleteKey(0, cmp_, high.data(), 2000);
  {
    TScopedPlatform installed(&platform);
    platform.ResetCounts();
    file.FlushPages();
  }
  EXPECT_GE(platform.Count(TInstrumentedPlatform::kWrite), 2u);
  EXPECT_EQ(CodeOf([&] { file.DeleteKey(0, cmp_, low.data(), 1); }), TABULA_INDEXCORRUPT);
}

TEST_F(IndexFileTest, CacheStaysWithinItsCapacityAndGrowsInsideATransaction) {
  TIndexFile file;
  file.SetDataBufferSize(16384);  // 2 pages per index
  CreateStaffIndex(file, "STAFF.IDX");
  for (std::uint32_t i = 0; i < 3000; ++i) {
    const Bytes key = BigEndianKey(i * 7919u, 5);
    file.InsertKey(0, cmp_, key.data(), i + 1);
    // A path of pinned pages may exceed the capacity while an insert runs, never after.
    file.TrimCaches();
    ASSERT_LE(file.CachedPages(0), 2);
  }
  ASSERT_EQ(file.Tree(0, cmp_).CheckTree(), "");
  file.FlushPages();
  file.WriteHeader(false);
  file.ResetCounters();
  file.SetInTransaction(true);
  for (std::uint32_t i = 0; i < 500; ++i) {
    const Bytes key = BigEndianKey(i * 7919u + 1, 5);
    file.InsertKey(0, cmp_, key.data(), 5000 + i);
  }
  file.TrimCaches();
  EXPECT_EQ(file.PageWrites(), 0u) << "nothing of a transaction reaches the file early";
  EXPECT_GT(file.CachedPages(0), 2);
  file.SetInTransaction(false);
  file.FlushPages();
  file.TrimCaches();
  EXPECT_LE(file.CachedPages(0), 2);
  std::uint64_t count = 0;
  ASSERT_EQ(file.Tree(0, cmp_).CheckTree(&count), "");
  EXPECT_EQ(count, 3500u);
}

// With a cache of two pages per index and hundreds of pages, page objects keep leaving the
// cache and coming back under other page numbers, many of them equal modulo the cache's
// direct-mapped entries: every fetch must find the page now cached under its number, or no
// insert is lost.
TEST_F(IndexFileTest, PagesComingBackUnderOtherNumbersAreFoundAsCachedNow) {
  TIndexFile file;
  file.SetFileName(PathOf("MANY.IDX"));
  file.SetTempDirectory(dir_.string());
  file.SetDataBufferSize(16384);  // 2 pages per index
  file.CreateHeader();
  file.DefinePrimaryIndex(PrimaryOnStaffNo(), StaffFields());
  TIndexDefinition plain = ByName();
  plain.Compression = icNone;
  ASSERT_EQ(file.AddSecondaryIndex(plain, StaffFields()), 1);
  file.CreateNew();
  const std::uint16_t name_length = file.Header().Descriptors[1].KeyLength;
  const std::uint32_t count = 40000;
  for (std::uint32_t i = 0; i < count; ++i) {
    const Bytes name = BigEndianKey(i * 2654435761u, name_length);
    file.InsertKey(1, cmp_, name.data(), i + 1);
    file.TrimCaches();
  }
  ASSERT_GT(file.Header().NextPage, 300u);  // page numbers meet modulo 128 twice over
  file.FlushPages();
  std::uint64_t keys = 0;
  ASSERT_EQ(file.Tree(1, cmp_).CheckTree(&keys), "");
  EXPECT_EQ(keys, count);
}

// The pool follows a slot whose index moves down when an earlier index is deleted: the moved
// slot's cached pages still count and are still reused, so the two slots stay within their
// shares.
TEST_F(IndexFileTest, PoolFollowsASlotThatMoves) {
  TIndexFile file;
  file.SetFileName(PathOf("MOVE.IDX"));
  file.SetTempDirectory(dir_.string());
  file.SetDataBufferSize(65536);  // 8 pages per index
  file.CreateHeader();
  file.DefinePrimaryIndex(PrimaryOnStaffNo(), StaffFields());
  ASSERT_EQ(file.AddSecondaryIndex(ByName(), StaffFields()), 1);
  TIndexDefinition second = ByName();
  second.Name = "ByNameToo";
  ASSERT_EQ(file.AddSecondaryIndex(second, StaffFields()), 2);
  file.CreateNew();
  const std::uint16_t name_length = file.Header().Descriptors[2].KeyLength;
  std::uint32_t next = 0;
  auto insert = [&](int name_slot, std::uint32_t count) {
    for (std::uint32_t end = next + count; next < end; ++next) {
      const Bytes number = BigEndianKey(next, 5);
      file.InsertKey(0, cmp_, number.data(), next + 1);
      const Bytes name = BigEndianKey(next * 2654435761u, name_length);
      file.InsertKey(name_slot, cmp_, name.data(), next + 1);
      ASSERT_LE(file.CachedPages(0) + file.CachedPages(name_slot), 16) << next;
    }
  };
  insert(2, 1500);
  file.FlushPages();
  ASSERT_GT(file.CachedPages(2), 0);
  file.DeleteIndex(1);
  ASSERT_EQ(file.IndexSlot("ByNameToo"), 1);
  EXPECT_GT(file.CachedPages(1), 0);
  EXPECT_EQ(file.CachedPages(2), 0);
  insert(1, 1500);
  file.FlushPages();
  for (const int slot : {0, 1}) {
    std::uint64_t count = 0;
    ASSERT_EQ(file.Tree(slot, cmp_).CheckTree(&count), "") << slot;
    EXPECT_EQ(count, 3000u) << slot;
  }
}

// The slots' shares form one pool: an index filled in random order uses the pages that an index
// appended in key order leaves (the latter needs little beyond its rightmost path), and the two
// together stay within their shares, inside a transaction as outside.
TEST_F(IndexFileTest, SlotsShareOnePoolOfPages) {
  for (const bool transaction : {false, true}) {
    SCOPED_TRACE(transaction ? "transaction" : "no transaction");
    TIndexFile file;
    file.SetDataBufferSize(65536);  // 8 pages per index
    CreateStaffIndex(file, transaction ? "POOLT.IDX" : "POOL.IDX");
    file.SetInTransaction(transaction);
    const std::uint16_t name_length = file.Header().Descriptors[1].KeyLength;
    for (std::uint32_t i = 0; i < 3000; ++i) {
      const Bytes number = BigEndianKey(i, 5);
      file.InsertKey(0, cmp_, number.data(), i + 1);
      const Bytes name = BigEndianKey(i * 2654435761u, name_length);
      file.InsertKey(1, cmp_, name.data(), i + 1);
      ASSERT_LE(file.CachedPages(0) + file.CachedPages(1), 16) << i;
    }
    EXPECT_GT(file.CachedPages(1), 10) << "the random index uses what the other leaves";
    if (transaction) {
      EXPECT_GT(file.SpilledPages(), 0);
    }
    file.SetInTransaction(false);
    file.FlushPages();
    for (const int slot : {0, 1}) {
      std::uint64_t count = 0;
      ASSERT_EQ(file.Tree(slot, cmp_).CheckTree(&count), "") << slot;
      EXPECT_EQ(count, 3000u) << slot;
    }
  }
}

// A transaction that outgrows the pool spills its least recently used changed pages, the ones
// the pool reuses next: each page goes to the shadow about once for each time it is read back,
// and the pages every insert passes through (the root, the rightmost path of an index appended in
// key order) are not written again and again.
TEST_F(IndexFileTest, TransactionSpillsTheLeastRecentlyUsedPages) {
  TIndexFile file;
  file.SetDataBufferSize(32 * 8192);  // 32 pages per index
  CreateStaffIndex(file, "SPILL.IDX");
  file.SetInTransaction(true);
  const std::uint16_t name_length = file.Header().Descriptors[1].KeyLength;
  constexpr std::uint32_t kKeys = 40000;
  for (std::uint32_t i = 0; i < kKeys; ++i) {
    const Bytes number = BigEndianKey(i, 5);
    file.InsertKey(0, cmp_, number.data(), i + 1);
    const Bytes name = BigEndianKey(i * 2654435761u, name_length);
    file.InsertKey(1, cmp_, name.data(), i + 1);
  }
  // The index is five times the pool: most inserts read a page back from the shadow.
  ASSERT_GT(file.DiskReads(), kKeys / 2);
  // Spilling every changed page each time writes about a quarter more than this.
  EXPECT_LT(file.SpillWrites(), file.DiskReads() * 11 / 10);
  file.SetInTransaction(false);
  file.FlushPages();
  for (const int slot : {0, 1}) {
    std::uint64_t count = 0;
    ASSERT_EQ(file.Tree(slot, cmp_).CheckTree(&count), "") << slot;
    EXPECT_EQ(count, kKeys) << slot;
  }
}

// Inside a transaction the page for the next read is looked for among the least recently used
// pages only, and the changed ones among them are spilled: a clean page the transaction used
// recently (an inner page, usually) stays cached even when every page older than it changed.
TEST_F(IndexFileTest, TransactionKeepsARecentCleanPageAndSpillsOldChangedOnes) {
  TIndexFile file;
  file.SetDataBufferSize(32 * 8192);  // 32 pages per index
  CreateStaffIndex(file, "RECENT.IDX");
  // Scattered numbers: nearly every insert reads another leaf.
  auto insert_numbers = [&](std::uint32_t from, std::uint32_t count) {
    for (std::uint32_t i = from; i < from + count; ++i) {
      const Bytes number = BigEndianKey(i * 2654435761u, 5);
      file.InsertKey(0, cmp_, number.data(), i + 1);
    }
  };
  insert_numbers(0, 60000);
  const Bytes name = BigEndianKey(7, file.Header().Descriptors[1].KeyLength);
  file.InsertKey(1, cmp_, name.data(), 1);
  file.FlushPages();
  file.SetInTransaction(true);
  insert_numbers(60000, 300);  // the pool is full of changed leaves
  const std::uint32_t recent = file.RootPage(1);
  file.ReleasePage(file.FetchPage(1, recent, false));
  insert_numbers(60300, 20);
  const std::uint64_t reads = file.DiskReads();
  file.ReleasePage(file.FetchPage(1, recent, false));
  EXPECT_EQ(file.DiskReads(), reads) << "the recently used clean page was taken";
  EXPECT_GT(file.SpillWrites(), 0u);
  file.SetInTransaction(false);
  file.FlushPages();
  std::uint64_t count = 0;
  ASSERT_EQ(file.Tree(0, cmp_).CheckTree(&count), "");
  EXPECT_EQ(count, 60320u);
}

TEST_F(IndexFileTest, FreedPagesAreReusedAndSurviveReopening) {
  TIndexFile file;
  CreateStaffIndex(file, "STAFF.IDX");
  for (std::uint32_t i = 0; i < 1500; ++i) {
    const Bytes key = BigEndianKey(i, 5);
    file.InsertKey(0, cmp_, key.data(), i + 1);
  }
  const std::uint32_t next_page = file.Header().NextPage;
  for (std::uint32_t i = 0; i < 1500; ++i) {
    const Bytes key = BigEndianKey(i, 5);
    file.DeleteKey(0, cmp_, key.data(), i + 1);
  }
  EXPECT_EQ(file.RootPage(0), 0u);
  EXPECT_NE(file.Descriptor(0).FreePage, 0u);
  file.Close();

  TIndexFile reopened;
  reopened.SetFileName(PathOf("STAFF.IDX"));
  reopened.Open();
  EXPECT_EQ(reopened.Header().NextPage, next_page);
  // Walk the free chain on disk: every page of the file is on it.
  std::uint32_t free_pages = 0;
  for (std::uint32_t p = reopened.Descriptor(0).FreePage; p != 0; ++free_pages) {
    TPage* page = reopened.FetchPage(0, p, false);
    EXPECT_EQ(page->Count(), 0);
    p = page->NextPage();
    reopened.ReleasePage(page);
  }
  EXPECT_EQ(free_pages, next_page - 1);
  for (std::uint32_t i = 0; i < 1500; ++i) {
    const Bytes key = BigEndianKey(i, 5);
    reopened.InsertKey(0, cmp_, key.data(), i + 1);
  }
  EXPECT_EQ(reopened.Header().NextPage, next_page);
}

TEST_F(IndexFileTest, EncryptedFileUnscramblesToThePlainBytes) {
  auto build = [&](const std::string& name, bool encrypted) {
    TIndexFile file;
    CreateStaffIndex(file, name, encrypted);
    for (std::uint32_t i = 0; i < 800; ++i) {
      const Bytes key = BigEndianKey(i * 31u, 5);
      file.InsertKey(0, cmp_, key.data(), i + 1);
    }
    file.SetRecordCount(800);
    file.Close();
  };
  build("PLAIN.IDX", false);
  build("SECRET.IDX", true);
  const Bytes plain = FileBytes("PLAIN.IDX");
  Bytes secret = FileBytes("SECRET.IDX");
  ASSERT_EQ(plain.size(), secret.size());
  EXPECT_NE(plain, secret);
  for (std::size_t block = 0; block < secret.size(); block += 4096) {
    ScrambleRun(secret.data() + block, 4096, kDataSeed);
  }
  EXPECT_EQ(plain, secret);

  TIndexFile reopened;
  reopened.SetFileName(PathOf("SECRET.IDX"));
  reopened.SetEncrypted(true);
  reopened.Open();
  EXPECT_EQ(reopened.RecordCount(), 800u);
  std::uint64_t count = 0;
  EXPECT_EQ(reopened.Tree(0, cmp_).CheckTree(&count), "");
  EXPECT_EQ(count, 800u);

  // The change check unscrambles the counter: unchanged reads as unchanged, a writer's header
  // is taken with its new counter.
  EXPECT_FALSE(reopened.HeaderChanged());
  TIndexFile writer;
  writer.SetFileName(PathOf("SECRET.IDX"));
  writer.SetEncrypted(true);
  writer.Open();
  writer.SetRecordCount(801);
  writer.WriteHeader(true);
  EXPECT_TRUE(reopened.HeaderChanged());
  EXPECT_EQ(reopened.RecordCount(), 801u);
  EXPECT_EQ(reopened.Header().ChangeCount, writer.Header().ChangeCount);
  EXPECT_FALSE(reopened.HeaderChanged());
}

TEST_F(IndexFileTest, DefinitionsAreValidatedInOrder) {
  TIndexFile file;
  file.SetFileName(PathOf("STAFF.IDX"));
  const auto fields = StaffFields();
  auto named = [](const std::string& name, std::vector<std::uint16_t> numbers,
                  std::uint16_t key_length = 5) {
    TIndexDefinition d;
    d.Name = name;
    d.FieldNumbers = std::move(numbers);
    d.KeyLength = key_length;
    return d;
  };
  struct TCase {
    const char* what;
    TIndexDefinition definition;
    std::uint16_t code;
  };
  const TCase cases[] = {
      {"more than 16 fields", named("Wide", std::vector<std::uint16_t>(17, 1)), TABULA_INDEXLIMIT},
      {"empty name", named("  ", {1}), TABULA_INDEXNAMEREQUIRED},
      {"name starting with a digit", named("1st", {1}), TABULA_INVALIDINDEXNAME},
      {"name starting with a blank after trimming is fine, a symbol is not", named("#x", {1}),
       TABULA_INVALIDINDEXNAME},
      {"name of an existing index", named(" byname ", {1}), TABULA_INDEXEXISTS},
      {"a BLOB field", named("ByNotes", {3}), TABULA_SEARCHCOLREQD},
      {"key length 0", named("Empty", {1}, 0), TABULA_INVALIDKEY},
      {"key length above 522", named("Huge", {1}, 523), TABULA_INVALIDKEY},
  };
  file.CreateHeader();
  file.DefinePrimaryIndex(PrimaryOnStaffNo(), fields);
  ASSERT_EQ(file.AddSecondaryIndex(ByName(), fields), 1);
  for (const TCase& c : cases) {
    EXPECT_EQ(CodeOf([&] { file.AddSecondaryIndex(c.definition, fields); }), c.code) << c.what;
  }
  EXPECT_EQ(CodeOf([&] { file.DefinePrimaryIndex(PrimaryOnStaffNo(), fields); }),
            TABULA_PRIMARYKEYREDEFINE);
  EXPECT_EQ(file.AddSecondaryIndex(named("_under", {1}), fields), 2);
  EXPECT_EQ(file.AddSecondaryIndex(named("\xC4nderung", {1}), fields), 3);
  for (int i = 4; i <= 30; ++i) file.AddSecondaryIndex(named("I" + std::to_string(i), {1}), fields);
  EXPECT_EQ(CodeOf([&] { file.AddSecondaryIndex(named("Extra", {1}), fields); }),
            TABULA_INDEXLIMIT);
  // Deleting slot 2 moves the later indexes down.
  EXPECT_EQ(file.IndexSlot("i4"), 4);
  file.DeleteIndex(2);
  EXPECT_EQ(file.Header().SecondaryCount, 29);
  EXPECT_EQ(file.IndexSlot("I4"), 3);
  EXPECT_FALSE(file.FindIndex("_under"));
  EXPECT_TRUE(file.FindIndex(""));
  file.DeleteIndex(0);
  EXPECT_TRUE(file.NoPrimaryIndex());
  EXPECT_FALSE(file.FindIndex(""));
  // A primary definition with no fields only sets the flag; a BLOB field is refused.
  TIndexFile other;
  other.CreateHeader();
  EXPECT_EQ(CodeOf([&] { other.DefinePrimaryIndex(named("", {3}), fields); }),
            TABULA_SEARCHCOLREQD);
  other.DefinePrimaryIndex(named("", {}), fields);
  EXPECT_TRUE(other.NoPrimaryIndex());
}

TEST_F(IndexFileTest, DamagedHeadersAndPagesAreReported) {
  {
    TIndexFile file;
    CreateStaffIndex(file, "STAFF.IDX");
    const Bytes key = {1, 0x80, 0, 0, 7};
    file.InsertKey(0, cmp_, key.data(), 1);
    file.Close();
  }
  auto patch = [&](std::size_t offset, std::uint8_t value) {
    std::fstream f(PathOf("STAFF.IDX"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.put(static_cast<char>(value));
  };
  auto open_code = [&] {
    TIndexFile file;
    file.SetFileName(PathOf("STAFF.IDX"));
    return CodeOf([&] { file.Open(); });
  };
  patch(13, 31);  // a secondary count that reaches the system slots
  EXPECT_EQ(open_code(), TABULA_HEADERCORRUPT);
  patch(13, 1);
  patch(134, 31);  // the name of slot 1 runs past its 30 characters
  EXPECT_EQ(open_code(), TABULA_HEADERCORRUPT);
  patch(134, 6);
  EXPECT_EQ(open_code(), 0);
  // Page 1 claims 600 entries of 9 bytes: the fetch reports the damage.
  patch(4096 + 1, 0x58);
  patch(4096 + 2, 0x02);
  TIndexFile file;
  file.SetFileName(PathOf("STAFF.IDX"));
  file.Open();
  TTreePosition at;
  TBTree tree = file.Tree(0, cmp_);
  EXPECT_EQ(CodeOf([&] { tree.First(&at); }), TABULA_INDEXCORRUPT);
  EXPECT_EQ(CodeOf([&] { file.FetchPage(0, 0, false); }), TABULA_INDEXCORRUPT);
  EXPECT_EQ(CodeOf([&] { file.FetchPage(0, 9, false); }), TABULA_INDEXCORRUPT);
}

TEST_F(IndexFileTest, PageAllocationStopsAtTheFileSizeLimit) {
  {
    TIndexFile file;
    CreateStaffIndex(file, "STAFF.IDX");
  }
  auto set_next_page = [&](std::uint32_t next) {
    std::fstream f(PathOf("STAFF.IDX"), std::ios::in | std::ios::out | std::ios::binary);
    std::uint8_t bytes[4];
    EncodeFixed32(bytes, next);
    f.seekp(9);
    f.write(reinterpret_cast<const char*>(bytes), 4);
  };
  // Page 976562 would end beyond 4,000,000,000 bytes; page 976561 still fits.
  set_next_page(976562);
  TIndexFile file;
  file.SetFileName(PathOf("STAFF.IDX"));
  file.Open();
  const Bytes key = {1, 0x80, 0, 0, 7};
  EXPECT_EQ(CodeOf([&] { file.InsertKey(0, cmp_, key.data(), 1); }), TABULA_TABLEFULL);
  file.DiscardPages();
  file.Close();
  set_next_page(976561);
  TIndexFile fits;
  fits.SetFileName(PathOf("STAFF.IDX"));
  fits.Open();
  fits.InsertKey(0, cmp_, key.data(), 1);
  EXPECT_EQ(fits.RootPage(0), 976561u);
  fits.DiscardPages();
  fits.Close();
}

TEST_F(IndexFileTest, TemporaryIndexesLiveInTheScratchFileOnly) {
  TIndexFile file;
  CreateStaffIndex(file, "STAFF.IDX");
  TIndexDefinition temp;
  temp.Name = "Sorted";
  temp.FieldNumbers = {1};
  temp.KeyLength = 5;
  temp.Unique = true;
  temp.Temporary = true;
  const int slot = file.AddSecondaryIndex(temp, StaffFields());
  EXPECT_EQ(slot, 2);
  for (std::uint32_t i = 0; i < 1000; ++i) {
    const Bytes key = BigEndianKey(i * 13u, 5);
    file.InsertKey(slot, cmp_, key.data(), i + 1);
    file.InsertKey(0, cmp_, key.data(), i + 1);
  }
  // A permanent index added now goes ahead of the temporary one.
  TIndexDefinition later = temp;
  later.Name = "Later";
  later.Temporary = false;
  EXPECT_EQ(file.AddSecondaryIndex(later, StaffFields()), 2);
  EXPECT_EQ(file.IndexSlot("Sorted"), 3);
  std::uint64_t count = 0;
  ASSERT_EQ(file.Tree(3, cmp_).CheckTree(&count), "");
  EXPECT_EQ(count, 1000u);
  file.FlushPages();
  file.WriteHeader(true);
  const std::uint32_t pages_in_file = file.Header().NextPage - 1;
  // The index file holds only the primary index's pages and two permanent descriptors.
  const Bytes bytes = FileBytes("STAFF.IDX");
  EXPECT_EQ(bytes.size(), (pages_in_file + 1) * 4096u);
  EXPECT_EQ(bytes[13], 2);
  EXPECT_EQ(bytes[14 + 3 * 120], 0) << "no temporary descriptor on disk";
  std::size_t scratch_files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    if (entry.path().extension() == ".IXS") ++scratch_files;
  }
  EXPECT_EQ(scratch_files, 1u);
  file.Close();
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    EXPECT_NE(entry.path().extension(), ".IXS") << "scratch file left behind";
  }
  EXPECT_EQ(file.Header().SecondaryCount, 2);
}

TEST_F(IndexFileTest, TextIndexParametersChainOverPages) {
  TIndexFile file;
  CreateStaffIndex(file, "STAFF.IDX");
  EXPECT_TRUE(file.ReadParameterChain().empty());
  TTextIndexParameters params;
  for (int i = 0; i < 900; ++i) params.StopWords.push_back("WORD" + std::to_string(i));
  params.Spaces[4] = 0xFF;
  params.Includes[31] = 0x7F;
  const Bytes encoded = params.Encode();
  ASSERT_GT(encoded.size(), 4083u);
  file.WriteParameterChain(encoded);
  const std::uint32_t first = file.Descriptor(kSysTextSlot).ParameterPage;
  EXPECT_NE(first, 0u);
  file.Close();

  TIndexFile reopened;
  reopened.SetFileName(PathOf("STAFF.IDX"));
  reopened.Open();
  TTextIndexParameters back;
  ASSERT_TRUE(back.Decode(reopened.ReadParameterChain()));
  EXPECT_EQ(back.StopWords, params.StopWords);
  EXPECT_EQ(back.Spaces, params.Spaces);
  EXPECT_EQ(back.Includes, params.Includes);
  // A shorter chain frees the old pages onto the "Sys Text" free chain.
  TTextIndexParameters small;
  small.StopWords = {"A", "AN"};
  reopened.WriteParameterChain(small.Encode());
  EXPECT_NE(reopened.Descriptor(kSysTextSlot).FreePage, 0u);
  ASSERT_TRUE(back.Decode(reopened.ReadParameterChain()));
  EXPECT_EQ(back.StopWords, small.StopWords);
  Bytes truncated = small.Encode();
  truncated.pop_back();
  EXPECT_FALSE(back.Decode(truncated));
}

// Whoever builds key functions from the definitions keeps them while the generation stays: it
// follows the definitions (and opens), never the keys, counts or counters of ordinary writes.
TEST_F(IndexFileTest, DefinitionsGenerationChangesWithTheDefinitionsOnly) {
  TIndexFile writer;
  CreateStaffIndex(writer, "STAFF.IDX");
  writer.Close();
  writer.Open();
  TIndexFile reader;
  reader.SetFileName(PathOf("STAFF.IDX"));
  reader.SetTempDirectory(dir_.string());
  reader.Open();
  EXPECT_NE(reader.DefinitionsGeneration(), writer.DefinitionsGeneration())
      << "two files never share a generation";

  struct TStep {
    const char* what;
    std::function<void()> change;  // on the writer, then the header is written
    bool definitions;              // the definitions change
  };
  TIndexDefinition later = ByName();
  later.Name = "Later";
  TIndexDefinition temp = PrimaryOnStaffNo();
  temp.Name = "Temp";
  temp.Temporary = true;
  TTextIndexParameters params;
  params.StopWords = {"THE"};
  const TStep steps[] = {
      {"keys and counts",
       [&] {
         for (std::uint32_t i = 0; i < 500; ++i) {
           const Bytes key = BigEndianKey(i, 5);
           writer.InsertKey(0, cmp_, key.data(), i + 1);
           writer.IncRecordCount();
         }
         writer.FlushPages();
       },
       false},
      {"keys removed, pages freed",
       [&] {
         for (std::uint32_t i = 0; i < 500; ++i) {
           const Bytes key = BigEndianKey(i, 5);
           writer.DeleteKey(0, cmp_, key.data(), i + 1);
         }
         writer.FlushPages();
       },
       false},
      {"a secondary index added", [&] { writer.AddSecondaryIndex(later, StaffFields()); }, true},
      {"text parameters written", [&] { writer.WriteParameterChain(params.Encode()); }, true},
      {"a secondary index deleted", [&] { writer.DeleteIndex(writer.IndexSlot("Later")); }, true},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.what);
    const std::uint64_t writer_before = writer.DefinitionsGeneration();
    const std::uint64_t reader_before = reader.DefinitionsGeneration();
    step.change();
    writer.WriteHeader(true);
    EXPECT_EQ(writer.DefinitionsGeneration() != writer_before, step.definitions);
    ASSERT_TRUE(reader.HeaderChanged());
    EXPECT_EQ(reader.DefinitionsGeneration() != reader_before, step.definitions);
    EXPECT_FALSE(reader.HeaderChanged());
  }
  // A temporary index of this process, its removal, and reopening the file.
  std::uint64_t before = reader.DefinitionsGeneration();
  reader.AddSecondaryIndex(temp, StaffFields());
  EXPECT_NE(reader.DefinitionsGeneration(), before);
  before = reader.DefinitionsGeneration();
  reader.DropTemporaryIndexes();
  EXPECT_NE(reader.DefinitionsGeneration(), before);
  before = reader.DefinitionsGeneration();
  reader.Close();
  reader.Open();
  EXPECT_NE(reader.DefinitionsGeneration(), before);
}

// A header write encodes only what changed since the last one; the block on disk is always the
// whole header as a full encoding gives it, temporary descriptors left out.
TEST_F(IndexFileTest, HeaderWritesMatchTheWholeHeaderThroughEveryKindOfChange) {
  TIndexFile file;
  CreateStaffIndex(file, "STAFF.IDX");
  auto expected_block = [&] {
    TIndexHeader disk = file.Header();
    int permanent = 0;
    while (permanent < disk.SecondaryCount && !disk.Descriptors[permanent + 1].Temporary) {
      ++permanent;
    }
    for (int slot = permanent + 1; slot <= disk.SecondaryCount; ++slot) {
      disk.Descriptors[slot] = TIndexDescriptor();
    }
    disk.SecondaryCount = static_cast<std::uint8_t>(permanent);
    Bytes block(4096);
    disk.EncodeTo(block.data());
    return block;
  };
  TIndexDefinition temp = PrimaryOnStaffNo();
  temp.Name = "Temp";
  temp.Temporary = true;
  TIndexDefinition later = ByName();
  later.Name = "Later";
  TTextIndexParameters params;
  params.StopWords = {"OF", "THE"};
  auto insert = [&](int slot, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t i = from; i < to; ++i) {
      const Bytes key = BigEndianKey(i, 5);
      file.InsertKey(slot, cmp_, key.data(), i + 1);
      if (slot == 0) file.IncRecordCount();
    }
  };
  const std::pair<const char*, std::function<void()>> steps[] = {
      {"nothing", [] {}},
      {"keys: roots, next page, record count", [&] { insert(0, 0, 3000); }},
      {"keys removed: free chain",
       [&] {
         for (std::uint32_t i = 0; i < 2000; ++i) {
           const Bytes key = BigEndianKey(i, 5);
           file.DeleteKey(0, cmp_, key.data(), i + 1);
           file.DecRecordCount();
         }
       }},
      {"temporary index", [&] { file.AddSecondaryIndex(temp, StaffFields()); }},
      {"keys in the temporary index", [&] { insert(2, 0, 2000); }},
      {"permanent index ahead of it", [&] { file.AddSecondaryIndex(later, StaffFields()); }},
      {"keys again", [&] { insert(0, 5000, 6000); }},
      {"text parameters", [&] { file.WriteParameterChain(params.Encode()); }},
      {"temporary index dropped", [&] { file.DropTemporaryIndexes(); }},
      {"index deleted", [&] { file.DeleteIndex(1); }},
      {"keys after it", [&] { insert(0, 7000, 7100); }},
  };
  for (const auto& [what, change] : steps) {
    SCOPED_TRACE(what);
    change();
    file.FlushPages();
    file.WriteHeader(true);
    const Bytes bytes = FileBytes("STAFF.IDX");
    ASSERT_GE(bytes.size(), 4096u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4096), expected_block());
  }
}

TEST_F(IndexFileTest, EmptyIndexesCutsTheFileToItsHeader) {
  TIndexFile file;
  CreateStaffIndex(file, "STAFF.IDX");
  for (std::uint32_t i = 0; i < 1000; ++i) {
    const Bytes key = BigEndianKey(i, 5);
    file.InsertKey(0, cmp_, key.data(), i + 1);
  }
  file.SetRecordCount(1000);
  file.FlushPages();
  file.EmptyIndexes();
  file.WriteHeader(false);
  EXPECT_EQ(FileBytes("STAFF.IDX").size(), 4096u);
  EXPECT_EQ(file.RootPage(0), 0u);
  EXPECT_EQ(file.RecordCount(), 0u);
  EXPECT_EQ(file.Header().NextPage, 1u);
  const Bytes key = BigEndianKey(5, 5);
  file.InsertKey(0, cmp_, key.data(), 1);
  EXPECT_EQ(file.RootPage(0), 1u);
}

TEST_F(IndexFileTest, HeaderChecksOfTheFirstOpen) {
  TIndexFile file;
  file.CreateHeader();
  const auto fields = StaffFields();
  file.DefinePrimaryIndex(PrimaryOnStaffNo(), fields);
  file.AddSecondaryIndex(ByName(), fields);
  const TIndexHeader good = file.Header();
  ASSERT_EQ(CheckIndexHeader(good, fields), 0);
  struct TCase {
    const char* what;
    std::function<void(TIndexHeader&)> damage;
    std::uint16_t code;
  };
  const TCase cases[] = {
      {"version 4", [](TIndexHeader& h) { h.Version = 4; }, TABULA_OLDVERSION},
      {"empty secondary name", [](TIndexHeader& h) { h.Descriptors[1].Name = " "; },
       TABULA_HEADERCORRUPT},
      {"secondary name starting with a digit", [](TIndexHeader& h) { h.Descriptors[1].Name = "9"; },
       TABULA_HEADERCORRUPT},
      {"two equal names",
       [](TIndexHeader& h) {
         h.Descriptors[2] = h.Descriptors[1];
         h.Descriptors[2].Name = "BYNAME";
         h.SecondaryCount = 2;
       },
       TABULA_HEADERCORRUPT},
      {"named primary", [](TIndexHeader& h) { h.Descriptors[0].Name = "P"; }, TABULA_HEADERCORRUPT},
      {"primary not unique", [](TIndexHeader& h) { h.Descriptors[0].Unique = false; },
       TABULA_HEADERCORRUPT},
      {"0 before a field number",
       [](TIndexHeader& h) {
         h.Descriptors[1].FieldNumbers = {0, 2};
       },
       TABULA_HEADERCORRUPT},
      {"field beyond the table", [](TIndexHeader& h) { h.Descriptors[1].FieldNumbers[0] = 9; },
       TABULA_HEADERCORRUPT},
      {"a BLOB field", [](TIndexHeader& h) { h.Descriptors[1].FieldNumbers[0] = 3; },
       TABULA_HEADERCORRUPT},
      {"key length not the fields' widths",
       [](TIndexHeader& h) { h.Descriptors[1].KeyLength = 30; }, TABULA_HEADERCORRUPT},
      {"unknown compression", [](TIndexHeader& h) { h.Descriptors[1].Compression = 4; },
       TABULA_HEADERCORRUPT},
      {"root beyond the file", [](TIndexHeader& h) { h.Descriptors[1].RootPage = 1; },
       TABULA_HEADERCORRUPT},
      {"free chain beyond the file", [](TIndexHeader& h) { h.Descriptors[31].FreePage = 5; },
       TABULA_HEADERCORRUPT},
      {"Sys Text over a number field",
       [](TIndexHeader& h) { h.Descriptors[32].FieldNumbers[0] = 1; }, TABULA_HEADERCORRUPT},
  };
  for (const TCase& c : cases) {
    TIndexHeader h = good;
    c.damage(h);
    EXPECT_EQ(CheckIndexHeader(h, fields), c.code) << c.what;
  }
  // No primary index and an all-zero descriptor 0 pass; "Sys Text" over the name field passes.
  TIndexHeader h = good;
  h.NoPrimaryIndex = true;
  h.Descriptors[0] = TIndexDescriptor();
  h.Descriptors[32].FieldNumbers[0] = 2;
  h.Descriptors[1].RootPage = 3;
  h.NextPage = 4;
  EXPECT_EQ(CheckIndexHeader(h, fields), 0);
}

}  // namespace
}  // namespace tabula
