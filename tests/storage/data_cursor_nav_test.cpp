#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform_test_util.h"
#include "engine/index/collation.h"
#include "engine/index/keys.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_session.h"
#include "engine/storage/records_bitmap.h"
#include "tests/storage/storage_test_util.h"

namespace tabula {
namespace {

namespace fs = std::filesystem;

TFieldDescriptor Field(const std::string& name, std::uint8_t type, std::uint8_t size = 0) {
  TFieldDescriptor field;
  field.FieldName = name;
  field.FieldType = type;
  field.FieldSize = size;
  return field;
}

TIndexDefinition Index(const std::string& name, std::vector<std::uint16_t> fields, bool unique) {
  TIndexDefinition index;
  index.Name = name;
  index.FieldDescending.assign(fields.size(), false);
  index.FieldNumbers = std::move(fields);
  index.Unique = unique;
  return index;
}

// Id integer (primary), Name string 20, Dept integer; "ByName" (Name) and "ByDept" (Dept, Name),
// both non-unique.
TTableDefinition StaffDefinition() {
  TTableDefinition definition;
  definition.Fields = {Field("Id", fldInteger), Field("Name", fldString, 20),
                       Field("Dept", fldInteger)};
  definition.Indexes = {Index("", {1}, true), Index("ByName", {2}, false),
                        Index("ByDept", {3, 2}, false)};
  return definition;
}

struct TRow {
  std::int32_t id;
  std::string name;
  std::int32_t dept;
};

// Writes records and their keys straight through the table's files, the way record editing
// does, under the table's write lock.
class TTableWriter {
 public:
  explicit TTableWriter(TDataCursor& cursor) : cursor_(cursor), table_(*cursor.Table()) {}

  std::int32_t Insert(const TRow& row) {
    Locked([&] {
      TDataFile& data = table_.DataFile();
      std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor_.RecordSize()));
      record_no_ = data.NextRecordNo();
      InitRecordImage(image.data(), image.size(), record_no_, data.NewRecordID());
      std::uint8_t value[4];
      EncodeFixed32(value, static_cast<std::uint32_t>(row.id));
      cursor_.SetField(1, image.data(), value, 4);
      cursor_.SetField(2, image.data(), reinterpret_cast<const std::uint8_t*>(row.name.data()),
                       row.name.size());
      EncodeFixed32(value, static_cast<std::uint32_t>(row.dept));
      cursor_.SetField(3, image.data(), value, 4);
      TRecord* record =
          data.Cache()->GetRecord(nullptr, record_no_, false, TReadDirection::kForward, false);
      std::copy(image.begin(), image.end(), record->Image());
      record->SetDirty(true);
      data.Cache()->Unpin(record);
      data.MarkHeaderChanged();
      Keys(image.data(), true);
      table_.IndexFile().IncRecordCount();
    });
    return record_no_;
  }

  void Rename(std::int32_t record_no, const std::string& name) {
    Locked([&] {
      TDataFile& data = table_.DataFile();
      TRecord* record =
          data.Cache()->GetRecord(nullptr, record_no, false, TReadDirection::kForward, false);
      Keys(record->Image(), false);
      cursor_.SetField(2, record->Image(), reinterpret_cast<const std::uint8_t*>(name.data()),
                       name.size());
      record->SetDirty(true);
      Keys(record->Image(), true);
      data.Cache()->Unpin(record);
      data.MarkHeaderChanged();
    });
  }

  void Delete(std::int32_t record_no) {
    Locked([&] {
      TDataFile& data = table_.DataFile();
      TRecord* record =
          data.Cache()->GetRecord(nullptr, record_no, false, TReadDirection::kForward, false);
      std::vector<std::uint8_t> image(record->Image(), record->Image() + record->ImageSize());
      Keys(image.data(), false);
      data.FreeRecord(record);
      data.Cache()->Unpin(record);
      image[kRecordStatus] = kStatusDeleted;
      SysDeleted(image.data(), record_no, true);
      data.MarkHeaderChanged();
      table_.IndexFile().DecRecordCount();
    });
  }

 private:
  void Locked(const std::function<void()>& change) {
    table_.Locks().LockWrite();
    change();
    table_.Flush(false, true, false);
    table_.Locks().UnlockWrite();
  }
  void Each(const std::function<void(int slot, const TIndexKeys& keys)>& visit) {
    TIndexFile& index = table_.IndexFile();
    for (int slot = 0; slot <= index.Header().SecondaryCount; ++slot) {
      TKeyIndexDef definition;
      ASSERT_EQ(MakeKeyIndexDef(index.Descriptor(slot), slot, table_.DataFile().Descriptors(),
                                &definition),
                0);
      visit(slot, TIndexKeys(definition, *FindCollation(0, 0)));
    }
  }
  void Keys(const std::uint8_t* image, bool insert) {
    Each([&](int slot, const TIndexKeys& keys) {
      std::vector<std::uint8_t> key(keys.KeyLength());
      keys.BuildKey(image, static_cast<std::size_t>(cursor_.RecordSize()), key.data());
      const TIndexKeysComparator comparator(keys);
      const auto number = static_cast<std::uint32_t>(DecodeFixed32(image + kRecordNoOrLink));
      if (insert) {
        table_.IndexFile().InsertKey(slot, comparator, key.data(), number);
      } else {
        table_.IndexFile().DeleteKey(slot, comparator, key.data(), number);
      }
    });
    if (insert) SysDeleted(image, static_cast<std::int32_t>(DecodeFixed32(image + 1)), true);
    if (!insert) SysDeleted(image, static_cast<std::int32_t>(DecodeFixed32(image + 1)), false);
  }
  void SysDeleted(const std::uint8_t* image, std::int32_t record_no, bool insert) {
    TKeyIndexDef definition;
    definition.Kind = TKeyIndexKind::ikSysDeleted;
    const TIndexKeys keys(definition, *FindCollation(0, 0));
    const TIndexKeysComparator comparator(keys);
    std::uint8_t key[kSysDeletedKeyLength];
    keys.BuildKey(image, static_cast<std::size_t>(cursor_.RecordSize()), key);
    if (insert) {
      table_.IndexFile().InsertKey(kSysDeletedSlot, comparator, key,
                                   static_cast<std::uint32_t>(record_no));
    } else {
      table_.IndexFile().DeleteKey(kSysDeletedSlot, comparator, key,
                                   static_cast<std::uint32_t>(record_no));
    }
  }

  TDataCursor& cursor_;
  TDataTable& table_;
  std::int32_t record_no_ = 0;
};

class DataCursorNavTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tabula_nav_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    session_ = std::make_unique<TDataSession>();
    db_ = session_->OpenDatabase("", dir_.string());
    TDataCursor creator(*db_);
    creator.SetTableName("Staff");
    creator.CreateTable(StaffDefinition());
  }
  void TearDown() override {
    session_.reset();
    fs::remove_all(dir_);
  }

  std::unique_ptr<TDataCursor> Open(bool natural = false, const std::string& table = "Staff") {
    auto cursor = std::make_unique<TDataCursor>(*db_);
    cursor->SetTableName(table);
    cursor->SetNaturalOrder(natural);
    cursor->Open();
    return cursor;
  }
  // Ids 1.. in insertion order; returns the record numbers.
  std::vector<std::int32_t> Fill(const std::vector<TRow>& rows,
                                 const std::string& table = "Staff") {
    auto writer_cursor = Open(false, table);
    TTableWriter writer(*writer_cursor);
    std::vector<std::int32_t> numbers;
    for (const TRow& row : rows) numbers.push_back(writer.Insert(row));
    return numbers;
  }

  static std::string Name(TDataCursor& cursor) {
    std::uint8_t value[32] = {};
    if (cursor.GetField(2, cursor.RecordImage().data(), value)) return "<null>";
    return reinterpret_cast<const char*>(value);
  }
  static std::int32_t Id(const std::uint8_t* image) {
    return static_cast<std::int32_t>(DecodeFixed32(image + 9 + 1));
  }
  // Names read forward from the cursor's current position.
  static std::vector<std::string> ReadAll(TDataCursor& cursor) {
    std::vector<std::string> names;
    while (cursor.GetNextRecord(nullptr) == 0) names.push_back(Name(cursor));
    return names;
  }
  std::vector<std::uint8_t> NameKey(TDataCursor& cursor, const std::string& name) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor.RecordSize()));
    InitRecordImage(image.data(), image.size(), 0, 0);
    cursor.SetField(2, image.data(), reinterpret_cast<const std::uint8_t*>(name.data()),
                    name.size());
    return image;
  }

  fs::path dir_;
  std::unique_ptr<TDataSession> session_;
  TDataDirectory* db_ = nullptr;
};

const std::vector<TRow> kAbc = {{3, "Cid", 1}, {1, "Ann", 2}, {2, "Bob", 3}};

TEST(RecordsBitmapTest, SearchesAcrossWords) {
  TRecordsBitmap bits;
  bits.Reset(200, false);
  for (std::int32_t n : {1, 64, 65, 130, 200}) bits.Set(n, true);
  EXPECT_EQ(bits.CountSet(), 5);
  struct TCase {
    std::int32_t from, next, prior, before;
  };
  for (const TCase& c : std::vector<TCase>{{1, 1, 1, 0},
                                           {2, 64, 1, 1},
                                           {66, 130, 65, 3},
                                           {131, 200, 130, 4},
                                           {201, 0, 200, 5},
                                           {0, 1, 0, 0}}) {
    EXPECT_EQ(bits.NextSet(c.from), c.next) << c.from;
    EXPECT_EQ(bits.PriorSet(c.from), c.prior) << c.from;
    EXPECT_EQ(bits.CountSetBefore(c.from), c.before) << c.from;
  }
  EXPECT_EQ(bits.NthSet(4), 130);
  EXPECT_EQ(bits.NthSet(6), 0);
  bits.Reset(70, true);
  EXPECT_EQ(bits.CountSet(), 70);
  EXPECT_EQ(bits.NextSet(71), 0);
  EXPECT_EQ(bits.PriorSet(1000), 70);
  bits.Grow(100);
  EXPECT_FALSE(bits.Get(71));
  EXPECT_EQ(bits.CountSet(), 70);
}

TEST_F(DataCursorNavTest, EmptyTableInBothOrders) {
  for (bool natural : {false, true}) {
    auto cursor = Open(natural);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(cursor->RecordSize()), 0xAA);
    EXPECT_TRUE(cursor->Bof() && cursor->Eof());
    EXPECT_EQ(cursor->GetNextRecord(buffer.data()), TABULA_EOF) << natural;
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(buffer.size(), 0));
    EXPECT_EQ(cursor->GetPriorRecord(nullptr), TABULA_BOF) << natural;
    cursor->SetToEnd();
    EXPECT_EQ(cursor->GetPriorRecord(nullptr), TABULA_BOF) << natural;
    EXPECT_EQ(cursor->GetRecordCount(), 0);
    EXPECT_EQ(cursor->GetRecNo(), 0);
    EXPECT_FALSE(cursor->SetToRecNo(1));
  }
}

TEST_F(DataCursorNavTest, StepsAndEndsInBothOrders) {
  Fill(kAbc);
  struct TCase {
    bool natural;
    std::vector<std::string> order;
  };
  for (const TCase& c : {TCase{false, {"Ann", "Bob", "Cid"}}, TCase{true, {"Cid", "Ann", "Bob"}}}) {
    auto cursor = Open(c.natural);
    EXPECT_EQ(cursor->GetRecordCount(), 3);
    EXPECT_EQ(ReadAll(*cursor), c.order) << c.natural;
    // At the end the last record is the prior one, not the one before it.
    ASSERT_EQ(cursor->GetPriorRecord(nullptr), 0);
    EXPECT_EQ(Name(*cursor), c.order[2]);
    EXPECT_EQ(cursor->GetRecNo(), 3);
    cursor->SetToEnd();
    ASSERT_EQ(cursor->GetPriorRecord(nullptr), 0);
    EXPECT_EQ(Name(*cursor), c.order[2]);
    cursor->SetToBegin();
    EXPECT_EQ(cursor->GetPriorRecord(nullptr), TABULA_BOF);
    cursor->SetToBegin();
    std::int32_t count = 5;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(cursor->RecordSize()) * 5, 0xAA);
    EXPECT_EQ(cursor->ReadRecordBlock(&count, block.data()), TABULA_EOF);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(Id(block.data() + cursor->RecordSize()), c.natural ? 1 : 2);
    EXPECT_EQ(block[static_cast<std::size_t>(cursor->RecordSize()) * 3 + 9], 0);
  }
}

TEST_F(DataCursorNavTest, SetToRecNoOutsideTheRecords) {
  Fill(kAbc);
  for (bool natural : {false, true}) {
    auto cursor = Open(natural);
    EXPECT_FALSE(cursor->SetToRecNo(0));
    EXPECT_TRUE(cursor->Bof());
    EXPECT_EQ(cursor->GetRecNo(), 1);
    EXPECT_FALSE(cursor->SetToRecNo(4));
    EXPECT_TRUE(cursor->Eof());
    EXPECT_EQ(cursor->GetRecNo(), 3);
    EXPECT_EQ(cursor->GetPriorRecord(nullptr), 0);
    EXPECT_EQ(cursor->GetRecNo(), 3);
    EXPECT_TRUE(cursor->SetToRecNo(2));
    EXPECT_FALSE(cursor->Bof() || cursor->Eof());
    EXPECT_EQ(Name(*cursor), natural ? "Ann" : "Bob");
  }
}

TEST_F(DataCursorNavTest, RangesOnTwoFieldIndex) {
  Fill({{1, "Zed", 1}, {2, "Amy", 2}, {3, "Kim", 2}, {4, "Bea", 3}, {5, "Abe", 4}});
  auto cursor = Open();
  cursor->SetIndexName("bydept");
  EXPECT_EQ(cursor->IndexName(), "ByDept");
  std::vector<std::uint8_t> low(static_cast<std::size_t>(cursor->RecordSize()));
  std::vector<std::uint8_t> high(low.size());
  std::uint8_t value[4];
  EncodeFixed32(value, 2);
  cursor->SetField(3, low.data(), value, 4);
  EncodeFixed32(value, 3);
  cursor->SetField(3, high.data(), value, 4);
  // One field per bound: every name of departments 2 and 3.
  cursor->SetRange(false, low.data(), 1, high.data(), 1);
  EXPECT_EQ(cursor->GetRecordCount(), 3);
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"Amy", "Kim", "Bea"}));
  EXPECT_EQ(cursor->GetPriorRecord(nullptr), 0);
  EXPECT_EQ(cursor->GetRecNo(), 3);
  EXPECT_TRUE(cursor->SetToRecNo(2));
  EXPECT_EQ(Name(*cursor), "Kim");
  // An open end.
  cursor->SetRange(false, high.data(), 1, nullptr, 0);
  EXPECT_EQ(cursor->GetRecordCount(), 2);
  cursor->SetToBegin();
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"Bea", "Abe"}));
  // A start above the end holds nothing.
  cursor->SetRange(false, high.data(), 1, low.data(), 1);
  EXPECT_EQ(cursor->GetRecordCount(), 0);
  cursor->SetToBegin();
  EXPECT_EQ(cursor->GetNextRecord(nullptr), TABULA_EOF);
  cursor->ResetRange();
  EXPECT_EQ(cursor->GetRecordCount(), 5);
  cursor->SetToBegin();
  EXPECT_EQ(ReadAll(*cursor).size(), 5u);
}

TEST_F(DataCursorNavTest, RangeOnIndexWithoutSubtreeCounts) {
  TTableDefinition definition = StaffDefinition();
  definition.Indexes[2].NoSubtreeCounts = true;
  TDataCursor creator(*db_);
  creator.SetTableName("Flat");
  creator.CreateTable(definition);
  std::vector<TRow> rows;
  for (int i = 1; i <= 300; ++i) rows.push_back({i, "N" + std::to_string(1000 + i), i % 3});
  Fill(rows, "Flat");
  auto cursor = Open(false, "Flat");
  ASSERT_TRUE(cursor->Table()->IndexFile().Descriptor(2).NoSubtreeCounts);
  cursor->SetIndexName("ByDept");
  std::vector<std::uint8_t> bound(static_cast<std::size_t>(cursor->RecordSize()));
  std::uint8_t value[4];
  EncodeFixed32(value, 1);
  cursor->SetField(3, bound.data(), value, 4);
  cursor->SetRange(false, bound.data(), 1, bound.data(), 1);
  EXPECT_EQ(cursor->GetRecordCount(), 100);
  cursor->SetToBegin();
  EXPECT_EQ(ReadAll(*cursor).size(), 100u);
}

TEST_F(DataCursorNavTest, FindOnNonUniqueAndBeyondTheLastKey) {
  Fill({{1, "Bob", 9}, {2, "Ann", 1}, {3, "Bob", 5}, {4, "Cid", 1}});
  auto cursor = Open();
  cursor->SetIndexName("ByName");
  // A whole key on a non-unique index finds the first record with that name.
  std::vector<std::uint8_t> result(static_cast<std::size_t>(cursor->RecordSize()));
  EXPECT_TRUE(cursor->Find(false, NameKey(*cursor, "Bob").data(), false, 0, 0, result.data()));
  EXPECT_EQ(Id(result.data()), 1);
  EXPECT_EQ(cursor->GetRecNo(), 2);
  // Partial: leading characters of the name.
  EXPECT_TRUE(cursor->Find(false, NameKey(*cursor, "Ci").data(), false, 0, 2, nullptr));
  EXPECT_EQ(Name(*cursor), "Cid");
  EXPECT_FALSE(cursor->Find(false, NameKey(*cursor, "Bz").data(), false, 0, 2, nullptr));
  EXPECT_EQ(Name(*cursor), "Cid");
  // Above every key, with nearest: the last record, not found.
  EXPECT_FALSE(cursor->Find(false, NameKey(*cursor, "Zoe").data(), true, 0, 0, nullptr));
  EXPECT_EQ(Name(*cursor), "Cid");
  EXPECT_FALSE(cursor->Eof());
  EXPECT_EQ(cursor->GetNextRecord(nullptr), TABULA_EOF);
  // The primary index: a whole key not present, without nearest, does not move.
  cursor->SetIndexName("");
  EXPECT_EQ(Name(*cursor), "Cid");
  std::vector<std::uint8_t> image(result.size());
  std::uint8_t value[4];
  EncodeFixed32(value, 7);
  cursor->SetField(1, image.data(), value, 4);
  EXPECT_FALSE(cursor->Find(false, image.data(), false, 0, 0, nullptr));
  EXPECT_EQ(Name(*cursor), "Cid");
  EncodeFixed32(value, 2);
  cursor->SetField(1, image.data(), value, 4);
  EXPECT_TRUE(cursor->Find(false, image.data(), false, 0, 0, nullptr));
  EXPECT_EQ(Name(*cursor), "Ann");
  // Record-number order has no keys to find.
  auto natural = Open(true);
  EXPECT_FALSE(natural->Find(false, image.data(), false, 0, 0, nullptr));
}

TEST_F(DataCursorNavTest, SetIndexNameUnknownDropsTheRange) {
  Fill(kAbc);
  auto cursor = Open();
  std::vector<std::uint8_t> low(static_cast<std::size_t>(cursor->RecordSize()));
  std::uint8_t value[4];
  EncodeFixed32(value, 2);
  cursor->SetField(1, low.data(), value, 4);
  cursor->SetRange(false, low.data(), 0, low.data(), 0);
  EXPECT_EQ(cursor->GetRecordCount(), 1);
  try {
    cursor->SetIndexName("Nowhere");
    FAIL() << "no error";
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_INVALIDINDEXNAME);
    EXPECT_EQ(error.ErrorIndexName(), "Nowhere");
    EXPECT_EQ(error.ErrorTableName(), "Staff");
  }
  EXPECT_FALSE(cursor->RangeActive());
  EXPECT_EQ(cursor->GetRecordCount(), 3);
}

TEST_F(DataCursorNavTest, SwitchingIndexKeepsTheRecord) {
  Fill(kAbc);
  auto cursor = Open();
  ASSERT_TRUE(cursor->SetToRecNo(3));
  EXPECT_EQ(Name(*cursor), "Cid");
  cursor->SetIndexName("ByDept");
  EXPECT_EQ(Name(*cursor), "Cid");
  EXPECT_EQ(cursor->GetRecNo(), 1);
  EXPECT_EQ(cursor->GetNextRecord(nullptr), 0);
  EXPECT_EQ(Name(*cursor), "Ann");
  // Bookmarks in index order are keys and compare in index order.
  std::vector<std::uint8_t> ann(cursor->GetBookmarkSize());
  cursor->GetBookmark(ann.data());
  ASSERT_EQ(cursor->GetNextRecord(nullptr), 0);
  std::vector<std::uint8_t> bob(cursor->GetBookmarkSize());
  cursor->GetBookmark(bob.data());
  EXPECT_EQ(cursor->CompareBookmarks(ann.data(), bob.data()), -1);
  EXPECT_TRUE(cursor->SetToBookmark(ann.data(), false, false));
  EXPECT_EQ(Name(*cursor), "Ann");
  // Another cursor in record-number order goes to the same record, and a clone copies it all.
  auto natural = Open(true);
  EXPECT_EQ(natural->SetToCursor(*cursor), 0);
  EXPECT_EQ(Name(*natural), "Ann");
  EXPECT_EQ(natural->GetRecNo(), 2);
  auto clone = cursor->CloneCursor();
  EXPECT_EQ(clone->IndexName(), "ByDept");
  EXPECT_EQ(Name(*clone), "Ann");
  EXPECT_EQ(ReadAll(*clone), (std::vector<std::string>{"Bob"}));
}

TEST_F(DataCursorNavTest, BookmarkOfRecordDeletedByAnotherProcess) {
  const std::vector<std::int32_t> numbers = Fill(kAbc);
  session_->SetStrictChangeDetection(true);
  for (bool natural : {false, true}) {
    auto cursor = Open(natural);
    ASSERT_TRUE(cursor->SetToRecNo(2));
    const std::string deleted = Name(*cursor);
    const std::string follower = natural ? "Bob" : "Cid";
    std::vector<std::uint8_t> bookmark(cursor->GetBookmarkSize());
    cursor->GetBookmark(bookmark.data());
    const std::int32_t record_no = cursor->RecordNo();
    ASSERT_EQ(RunInChild([&] {
                TDataSession session;
                TDataCursor other(*session.OpenDatabase("", dir_.string()));
                other.SetTableName("Staff");
                other.Open();
                TTableWriter(other).Delete(record_no);
                return std::int64_t{0};
              }),
              0);
    cursor->SetToBegin();
    EXPECT_FALSE(cursor->SetToBookmark(bookmark.data(), false, false)) << deleted;
    EXPECT_EQ(Name(*cursor), follower);
    EXPECT_EQ(cursor->GetRecordCount(), 2);
    // Put the record back for the other order.
    TTableWriter(*cursor).Insert(natural ? kAbc[1] : kAbc[2]);
  }
}

TEST_F(DataCursorNavTest, InsertByAnotherProcessSeenPerChangeDetection) {
  Fill(kAbc);
  for (bool strict : {true, false}) {
    session_->SetStrictChangeDetection(strict);
    auto reader = Open();
    EXPECT_EQ(ReadAll(*reader).size(), 3u + (strict ? 0 : 1));
    reader->SetToBegin();
    const std::string name = strict ? "Dan" : "Eve";
    ASSERT_EQ(RunInChild([&] {
                TDataSession session;
                TDataCursor other(*session.OpenDatabase("", dir_.string()));
                other.SetTableName("Staff");
                other.Open();
                TTableWriter(other).Insert({strict ? 10 : 11, name, 1});
                return std::int64_t{0};
              }),
              0);
    std::vector<std::string> names = ReadAll(*reader);
    if (strict) {
      // The next read takes the read lock and finds the new counters; the cursor standing
      // before its first record still delivers that record first.
      EXPECT_EQ(names, (std::vector<std::string>{"Ann", "Bob", "Cid", "Dan"}));
      EXPECT_EQ(reader->GetRecordCount(), 4);
    } else {
      // Everything is cached: nothing is read, so nothing is seen until a lock or a refresh.
      EXPECT_EQ(names, (std::vector<std::string>{"Ann", "Bob", "Cid", "Dan"}));
      EXPECT_EQ(reader->GetRecordCount(), 4);
      // The refresh finds the change; Eof does not survive, as "Dan" is no longer last.
      reader->Refresh();
      EXPECT_EQ(reader->GetRecordCount(), 5);
      EXPECT_EQ(Name(*reader), "Dan");
      EXPECT_FALSE(reader->Eof());
      EXPECT_EQ(reader->GetNextRecord(nullptr), 0);
      EXPECT_EQ(Name(*reader), "Eve");
    }
  }
}

TEST_F(DataCursorNavTest, ResyncBeforeTheFirstRecordInRecordNumberOrderSkipsNothing) {
  Fill(kAbc);
  session_->SetStrictChangeDetection(true);
  auto reader = Open(true);
  ASSERT_EQ(RunInChild([&] {
              TDataSession session;
              TDataCursor other(*session.OpenDatabase("", dir_.string()));
              other.SetTableName("Staff");
              other.Open();
              TTableWriter(other).Insert({10, "Dan", 1});
              return std::int64_t{0};
            }),
            0);
  EXPECT_EQ(ReadAll(*reader), (std::vector<std::string>{"Cid", "Ann", "Bob", "Dan"}));
}

TEST_F(DataCursorNavTest, FramesNestAndReleaseWhatTheyTook) {
  Fill(kAbc);
  auto cursor = Open();
  TTableLocks& locks = cursor->Table()->Locks();
  EXPECT_FALSE(cursor->BeginRead());
  EXPECT_TRUE(locks.ReadLockHeld());
  EXPECT_FALSE(cursor->BeginRead());
  cursor->EndRead();
  EXPECT_TRUE(locks.ReadLockHeld());
  // A write inside a read gives the read bytes back first: the write lock covers them.
  EXPECT_FALSE(cursor->BeginWrite());
  EXPECT_TRUE(locks.WriteLockHeld());
  EXPECT_FALSE(locks.ReadLockHeld());
  cursor->EndWrite();
  EXPECT_FALSE(locks.WriteLockHeld());
  cursor->EndRead();
  EXPECT_FALSE(locks.ReadLockHeld());
  EXPECT_FALSE(cursor->BeginScan());
  EXPECT_TRUE(locks.ScanLockHeld());
  cursor->EndScan();
  EXPECT_FALSE(locks.ScanLockHeld());
  // Another cursor of the process changed the counters: the next frame re-synchronises.
  auto other = Open();
  TTableWriter(*other).Insert({7, "Dan", 1});
  EXPECT_TRUE(cursor->BeginRead());
  cursor->EndRead();
  EXPECT_EQ(cursor->GetRecordCount(), 4);
  // An exclusive cursor takes no locks.
  cursor.reset();
  other.reset();
  auto exclusive = std::make_unique<TDataCursor>(*db_);
  exclusive->SetTableName("Staff");
  exclusive->SetExclusive(true);
  exclusive->Open();
  EXPECT_FALSE(exclusive->BeginWrite());
  EXPECT_FALSE(exclusive->Table()->Locks().WriteLockHeld());
  exclusive->EndWrite();
}

TEST_F(DataCursorNavTest, RecordReadThatFindsAChangeRestartsTheStep) {
  // Ids in reverse physical order: reading ahead in the cursor's order covers one record, so
  // the next record is not cached while the index page is.
  std::vector<TRow> rows;
  for (int id = 40; id >= 1; --id) rows.push_back({id, "N" + std::to_string(100 + id), 1});
  Fill(rows);
  auto reader = Open();
  ASSERT_EQ(reader->GetNextRecord(nullptr), 0);
  EXPECT_EQ(Name(*reader), "N101");
  const std::int32_t second = reader->RecordNo() - 1;
  ASSERT_EQ(RunInChild([&] {
              TDataSession session;
              TDataCursor other(*session.OpenDatabase("", dir_.string()));
              other.SetTableName("Staff");
              other.Open();
              TTableWriter writer(other);
              writer.Delete(second);
              writer.Insert({100, "N200", 1});
              return std::int64_t{0};
            }),
            0);
  // The step lands on the deleted record's key in the cached page; its record read finds the
  // change, the cursor re-synchronises to the follower, and the read starts again there.
  ASSERT_EQ(reader->GetNextRecord(nullptr), 0);
  EXPECT_EQ(Name(*reader), "N103");
  EXPECT_EQ(reader->GetRecNo(), 2);
  EXPECT_EQ(reader->GetRecordCount(), 40);
  reader->SetToEnd();
  ASSERT_EQ(reader->GetPriorRecord(nullptr), 0);
  EXPECT_EQ(Name(*reader), "N200");
}

TEST_F(DataCursorNavTest, ReaderStaysConsistentWhileAnotherProcessWrites) {
  Fill(kAbc);
  const pid_t pid = fork();
  if (pid == 0) {
    TFileList::ForgetAfterFork();
    int status = 0;
    try {
      TDataSession session;
      TDataCursor other(*session.OpenDatabase("", dir_.string()));
      other.SetTableName("Staff");
      other.Open();
      TTableWriter writer(other);
      for (int i = 1; i <= 120; ++i) {
        const std::int32_t record_no = writer.Insert({1000 + i, "N" + std::to_string(1000 + i), 1});
        if (i % 3 == 0) writer.Delete(record_no);
      }
    } catch (...) {
      status = 1;
    }
    _exit(status);
  }
  ASSERT_GT(pid, 0);
  auto reader = Open();
  int status = 0;
  int passes = 0;
  bool done = false;
  while (!done) {
    done = waitpid(pid, &status, WNOHANG) == pid;
    session_->SetStrictChangeDetection(passes % 2 == 0);
    if (passes % 5 == 4) reader->Refresh();
    reader->SetToBegin();
    std::int32_t last = 0;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(reader->RecordSize()));
    while (reader->GetNextRecord(image.data()) == 0) {
      // Every record delivered is active, in key order, and whole.
      ASSERT_EQ(image[kRecordStatus], kStatusActive);
      const std::int32_t id = Id(image.data());
      ASSERT_GT(id, last);
      if (id > 1000) {
        ASSERT_EQ(Name(*reader), "N" + std::to_string(id));
      }
      last = id;
    }
    ++passes;
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  reader->Refresh();
  EXPECT_EQ(reader->GetRecordCount(), 3 + 80);
  reader->SetToBegin();
  EXPECT_EQ(ReadAll(*reader).size(), 83u);
}

TEST_F(DataCursorNavTest, InsertRepositionsOntoTheRecordOrItsNeighbour) {
  Fill(kAbc);
  for (bool natural : {false, true}) {
    auto cursor = Open(natural);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor->RecordSize()));
    auto insert = [&](std::int32_t id, const std::string& name) {
      cursor->InitRecord(image.data());
      std::uint8_t value[4];
      EncodeFixed32(value, static_cast<std::uint32_t>(id));
      cursor->SetField(1, image.data(), value, 4);
      cursor->SetField(2, image.data(), reinterpret_cast<const std::uint8_t*>(name.data()),
                       name.size());
      cursor->PostInsert(image.data(), true);
    };
    const std::int32_t base = natural ? 20 : 10;
    insert(base, "New");
    EXPECT_EQ(Name(*cursor), "New") << natural;
    // Last in both orders: the highest id, the highest record number (after the index-order
    // round added three records).
    const std::int32_t count = natural ? 7 : 4;
    EXPECT_EQ(cursor->GetRecNo(), count) << natural;
    EXPECT_EQ(cursor->GetRecordCount(), count) << natural;
    EXPECT_EQ(cursor->GetNextRecord(nullptr), TABULA_EOF) << natural;
    if (natural) continue;
    // Inside a range the cursor stands on the new record; outside it on the nearest one.
    std::vector<std::uint8_t> low(image.size());
    std::vector<std::uint8_t> high(image.size());
    std::uint8_t value[4];
    EncodeFixed32(value, 2);
    cursor->SetField(1, low.data(), value, 4);
    EncodeFixed32(value, 5);
    cursor->SetField(1, high.data(), value, 4);
    cursor->SetRange(false, low.data(), 0, high.data(), 0);
    EXPECT_EQ(cursor->GetRecordCount(), 2);
    insert(4, "Four");
    EXPECT_EQ(Name(*cursor), "Four");
    EXPECT_EQ(cursor->GetRecNo(), 3);
    EXPECT_EQ(cursor->GetRecordCount(), 3);
    insert(7, "Seven");
    EXPECT_EQ(Name(*cursor), "Four");
    EXPECT_EQ(cursor->GetRecordCount(), 3);
  }
}

TEST_F(DataCursorNavTest, DeleteRepositionsOntoTheFollowerOrTheNewLast) {
  Fill({{1, "Ann", 1}, {2, "Bob", 1}, {3, "Cid", 1}, {4, "Dan", 1}});
  for (bool natural : {false, true}) {
    auto cursor = Open(natural);
    // Record-number order after the first round: Ann, Cid, Bob, Dan.
    ASSERT_TRUE(cursor->SetToRecNo(2));
    cursor->DeleteCurrent(nullptr, true);
    EXPECT_EQ(Name(*cursor), natural ? "Bob" : "Cid") << natural;
    EXPECT_EQ(cursor->GetRecNo(), 2) << natural;
    cursor->SetToEnd();
    ASSERT_EQ(cursor->GetPriorRecord(nullptr), 0);
    EXPECT_EQ(Name(*cursor), "Dan");
    cursor->DeleteCurrent(nullptr, true);
    EXPECT_EQ(Name(*cursor), natural ? "Bob" : "Cid") << natural;
    EXPECT_FALSE(cursor->Eof()) << natural;
    EXPECT_EQ(cursor->GetRecNo(), 2) << natural;
    EXPECT_EQ(cursor->GetRecordCount(), 2) << natural;
    EXPECT_EQ(cursor->GetNextRecord(nullptr), TABULA_EOF) << natural;
    TTableWriter writer(*cursor);
    writer.Insert({2, "Bob", 1});
    writer.Insert({4, "Dan", 1});
  }
}

TEST_F(DataCursorNavTest, CachedNavigationMakesNoSystemCall) {
  std::vector<TRow> rows;
  for (int i = 1; i <= 40; ++i) rows.push_back({i, "N" + std::to_string(100 + i), i % 4});
  Fill(rows);
  for (bool natural : {false, true}) {
    auto cursor = Open(natural);
    EXPECT_EQ(ReadAll(*cursor).size(), 40u);
    TInstrumentedPlatform platform;
    TScopedPlatform installed(&platform);
    platform.ResetCounts();
    cursor->SetToBegin();
    EXPECT_EQ(ReadAll(*cursor).size(), 40u);
    cursor->SetToEnd();
    EXPECT_EQ(cursor->GetPriorRecord(nullptr), 0);
    EXPECT_TRUE(cursor->SetToRecNo(17));
    std::vector<std::uint8_t> bookmark(cursor->GetBookmarkSize());
    cursor->GetBookmark(bookmark.data());
    cursor->SetToBegin();
    EXPECT_TRUE(cursor->SetToBookmark(bookmark.data(), false, false));
    EXPECT_EQ(cursor->GetRecNo(), 17);
    EXPECT_EQ(cursor->GetRecordCount(), 40);
    std::uint64_t calls = 0;
    for (int call = 0; call < TInstrumentedPlatform::kCallCount; ++call) {
      calls += platform.Count(static_cast<TInstrumentedPlatform::TCall>(call));
    }
    EXPECT_EQ(calls, 0u) << natural;
  }
}

// Ids in a scrambled physical order, so that key order jumps around the data file.
std::vector<TRow> ScrambledRows(int count) {
  std::vector<TRow> rows;
  for (int i = 0; i < count; ++i) {
    const int id = (i * 7919) % count + 1;
    rows.push_back({id, "N" + std::to_string(1000 + id), id % 5});
  }
  return rows;
}

// The record number Fill gave the row with this id (0 when there is none).
std::int32_t RecordOfId(const std::vector<TRow>& rows, const std::vector<std::int32_t>& numbers,
                        std::int32_t id) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].id == id) return numbers[i];
  }
  return 0;
}

TEST_F(DataCursorNavTest, ScansLoadAheadUnderFewChecksInEveryOrderAndDirection) {
  session_->SetDataBufferSize(1 << 20);
  constexpr int kRows = 600;
  const std::vector<TRow> rows = ScrambledRows(kRows);
  Fill(rows);
  struct TCase {
    bool natural, forward;
  };
  for (const TCase c : {TCase{false, true}, {false, false}, {true, true}, {true, false}}) {
    // A new cursor on a closed table: the record cache starts empty.
    auto cursor = Open(c.natural);
    std::vector<std::int32_t> expected;
    for (int i = 0; i < kRows; ++i) expected.push_back(c.natural ? rows[i].id : i + 1);
    if (!c.forward) std::reverse(expected.begin(), expected.end());
    TInstrumentedPlatform platform;
    TScopedPlatform installed(&platform);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor->RecordSize()));
    std::vector<std::int32_t> ids;
    if (c.forward) {
      cursor->SetToBegin();
      while (cursor->GetNextRecord(image.data()) == 0) ids.push_back(Id(image.data()));
    } else {
      cursor->SetToEnd();
      while (cursor->GetPriorRecord(image.data()) == 0) ids.push_back(Id(image.data()));
    }
    EXPECT_EQ(ids, expected) << c.natural << c.forward;
    // Reading record by record in key order took a lock, two header reads, a read and an
    // unlock per record.
    EXPECT_LT(platform.FileCalls(), kRows / 10u) << c.natural << c.forward;
  }
}

TEST_F(DataCursorNavTest, RecordsLoadedAheadFollowTheChangeDetectionRules) {
  session_->SetDataBufferSize(1 << 20);
  const std::vector<TRow> rows = ScrambledRows(600);
  const std::vector<std::int32_t> numbers = Fill(rows);
  auto record_of = [&](std::int32_t id) { return RecordOfId(rows, numbers, id); };
  for (bool strict : {true, false}) {
    session_->SetStrictChangeDetection(strict);
    auto reader = Open();
    // Far enough into the scan for the rest to be loaded ahead.
    for (int i = 0; i < 300; ++i) ASSERT_EQ(reader->GetNextRecord(nullptr), 0);
    const std::int32_t victim = strict ? 450 : 451;
    const std::int32_t record_no = record_of(victim);
    ASSERT_EQ(RunInChild([&] {
                TDataSession session;
                TDataCursor other(*session.OpenDatabase("", dir_.string()));
                other.SetTableName("Staff");
                other.Open();
                TTableWriter(other).Delete(record_no);
                return std::int64_t{0};
              }),
              0);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(reader->RecordSize()));
    bool delivered = false;
    std::int32_t last = 300;
    while (reader->GetNextRecord(image.data()) == 0) {
      const std::int32_t id = Id(image.data());
      ASSERT_GT(id, last);
      last = id;
      delivered = delivered || id == victim;
    }
    // Strict: every step checks and finds the change. Otherwise records in the cache are
    // shown as they were until a disk read, a lock or a refresh.
    EXPECT_EQ(delivered, !strict);
    reader->Refresh();
    EXPECT_EQ(reader->GetRecordCount(), strict ? 599 : 598);
    reader->SetToBegin();
    EXPECT_EQ(ReadAll(*reader).size(), strict ? 599u : 598u);
  }
}

// A scan in record order, or in an index order, reads its records past the record cache: a
// whole span when they lie close together in the file, only the listed ones when they are
// scattered. A record that another cursor of the table changes after it was read must still
// show its new value, whether the change was written at once or waits, dirty, for the end of
// a transaction, and the rollback must bring the old one back.
TEST_F(DataCursorNavTest, StreamingScansShowChangesMadeAfterTheirReads) {
  // A cache of fewer records than the table: scans stream.
  session_->SetDataBufferSize(16384);
  session_->SetStrictChangeDetection(false);
  // Ids in insertion order: the primary index's order is the file's, that of ByDept (id % 5,
  // then name) jumps by five records.
  std::vector<TRow> rows;
  for (int id = 1; id <= 600; ++id) rows.push_back({id, "N" + std::to_string(1000 + id), id % 5});
  Fill(rows);
  struct TCase {
    bool natural;
    std::string index;
  };
  for (const TCase& c : {TCase{true, ""}, TCase{false, ""}, TCase{false, "ByDept"}}) {
    for (const bool in_transaction : {false, true}) {
      SCOPED_TRACE(c.index + (c.natural ? " natural" : "") +
                   (in_transaction ? " transaction" : ""));
      std::size_t order_size = 0;
      {
        auto counter = Open(c.natural);
        counter->SetIndexName(c.index);
        counter->SetToBegin();
        order_size = ReadAll(*counter).size();
      }
      ASSERT_GT(order_size, 450u + 100u);
      // A new table object each time: its cache starts empty. Only the sole cursor of a table
      // streams; the writer comes when the reader's stream is loaded.
      auto reader = Open(c.natural);
      reader->SetIndexName(c.index);
      reader->SetToBegin();
      const std::int64_t streams = reader->Table()->DataFile().Cache()->Stats().streams;
      for (int i = 0; i < 450; ++i) ASSERT_EQ(reader->GetNextRecord(nullptr), 0);
      // Far enough for the scan to stream what it reads next.
      ASSERT_GT(reader->Table()->DataFile().Cache()->Stats().streams, streams);
      auto writer_cursor = Open();
      TTableWriter writer(*writer_cursor);
      auto probe = Open(true);
      auto name_of = [&](std::int32_t record_no) {
        EXPECT_TRUE(probe->SetToRecNo(record_no));
        return Name(*probe);
      };
      // Beyond the first 450 in each order.
      const std::int32_t renamed = (c.index.empty() ? 504 : 544) + (in_transaction ? 10 : 0);
      if (in_transaction) {
        ASSERT_EQ(db_->StartTransaction(), 0);
      }
      const std::string new_name = "Renamed" + std::to_string(renamed);
      writer.Rename(renamed, new_name);
      const std::vector<std::string> rest = ReadAll(*reader);
      ASSERT_EQ(rest.size(), order_size - 450);
      EXPECT_EQ(std::count(rest.begin(), rest.end(), new_name), 1);
      const std::string old_name = rows[static_cast<std::size_t>(renamed - 1)].name;
      EXPECT_EQ(std::count(rest.begin(), rest.end(), old_name), 0);
      EXPECT_EQ(name_of(renamed), new_name);
      if (in_transaction) {
        ASSERT_EQ(db_->Rollback(), 0);
        EXPECT_EQ(name_of(renamed), old_name);
      }
    }
  }
}

// The table's one stream belongs to the scan that loaded it until that scan ends. A cursor
// that finished its scan and stays open (as a form's cursor does) leaves the stream to the next
// scan; two scans side by side do not take it from each other at every step.
TEST_F(DataCursorNavTest, TheStreamPassesToTheNextScanWhenOneEnds) {
  session_->SetDataBufferSize(16384);
  std::vector<TRow> rows;
  for (int id = 1; id <= 3000; ++id) rows.push_back({id, "N" + std::to_string(10000 + id), id % 5});
  Fill(rows);
  std::vector<std::string> natural_order;
  for (const TRow& row : rows) natural_order.push_back(row.name);
  for (const bool by_index : {false, true}) {
    SCOPED_TRACE(by_index ? "index order" : "record order");
    auto first = Open(!by_index);
    auto second = Open(!by_index);
    const TRecordCacheStats& stats = first->Table()->DataFile().Cache()->Stats();
    first->SetToBegin();
    const std::int64_t before_first = stats.streams;
    ASSERT_EQ(ReadAll(*first), natural_order);
    const std::int64_t one_scan = stats.streams - before_first;
    ASSERT_GT(one_scan, 4);
    // The first cursor stays open, at its end: the second scan streams as much.
    second->SetToBegin();
    ASSERT_EQ(ReadAll(*second), natural_order);
    EXPECT_EQ(stats.streams - before_first, 2 * one_scan);
    // Side by side, half the table apart, one step each in turn: both see every record, and
    // while both run, only the scan that took the stream first streams.
    first->SetToBegin();
    second->SetToBegin();
    std::vector<std::string> seen_first, seen_second;
    for (int i = 0; i < 1500; ++i) {
      ASSERT_EQ(first->GetNextRecord(nullptr), 0);
      seen_first.push_back(Name(*first));
    }
    const std::int64_t before_pair = stats.streams;
    std::int64_t side_by_side = -1;
    while (second->GetNextRecord(nullptr) == 0) {
      seen_second.push_back(Name(*second));
      if (side_by_side >= 0) continue;
      if (first->GetNextRecord(nullptr) == 0) {
        seen_first.push_back(Name(*first));
      } else {
        side_by_side = stats.streams - before_pair;
      }
    }
    EXPECT_EQ(seen_first, natural_order);
    EXPECT_EQ(seen_second, natural_order);
    EXPECT_LE(side_by_side, one_scan / 2 + 1);
  }
}

// A step along a leaf reads the leaf it read the last position off; every change of the tree
// in between, made through another cursor of the same table, must be seen by the next step,
// also inside a transaction, which writes no header until it ends. (A reader whose record was
// deleted re-synchronises onto its follower: a step forward delivers that record, a step
// backward goes on to the record before the deleted one.)
TEST_F(DataCursorNavTest, StepsAfterAnotherCursorChangedTheLeafSeeTheChange) {
  // Room for every page: no change is seen through a page leaving the cache.
  session_->SetDataBufferSize(1 << 20);
  const std::vector<TRow> rows = ScrambledRows(600);
  const std::vector<std::int32_t> numbers = Fill(rows);
  auto record_of = [&](std::int32_t id) { return RecordOfId(rows, numbers, id); };
  auto name = [](std::int32_t id) { return "N" + std::to_string(1000 + id); };
  enum TChange { kDeleteCurrent, kDeleteNext, kDeletePrior, kInsertBefore, kInsertAfter };
  struct TCase {
    std::int32_t current;  // the id the reader stands on when the change comes
    TChange change;
    bool forward;
    std::int32_t expected;  // the id whose name the reader's next step delivers
    bool inserted;          // the expected name is that of a record inserted after `expected`
  };
  const std::vector<TCase> cases = {
      {100, kDeleteCurrent, true, 101, false}, {140, kDeleteCurrent, false, 139, false},
      {180, kDeleteNext, true, 182, false},    {220, kDeletePrior, false, 218, false},
      {260, kInsertBefore, true, 261, false},  {300, kInsertBefore, false, 299, true},
      {340, kInsertAfter, true, 340, true},    {380, kInsertAfter, false, 379, false},
      {420, kDeleteNext, false, 419, false},   {460, kDeletePrior, true, 461, false}};
  auto writer_cursor = Open();
  TTableWriter writer(*writer_cursor);
  auto reader = Open();
  reader->SetIndexName("ByName");
  // The second round runs inside a transaction, ten ids further on.
  std::size_t committed = 0;
  for (const std::int32_t shift : {0, 10}) {
    if (shift != 0) {
      reader->SetToBegin();
      committed = ReadAll(*reader).size();
      ASSERT_EQ(db_->StartTransaction(), 0);
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const TCase& c = cases[i];
      const std::int32_t current = c.current + shift;
      reader->SetToBegin();
      while (reader->GetNextRecord(nullptr) == 0 && Name(*reader) != name(current)) {
      }
      ASSERT_EQ(Name(*reader), name(current)) << shift << " " << i;
      switch (c.change) {
        case kDeleteCurrent:
          writer.Delete(record_of(current));
          break;
        case kDeleteNext:
        case kDeletePrior:
          writer.Delete(record_of(current + (c.change == kDeleteNext ? 1 : -1)));
          break;
        case kInsertBefore:
          writer.Insert({10000 + current, name(current - 1) + "a", 0});
          break;
        case kInsertAfter:
          writer.Insert({10000 + current, name(current) + "a", 0});
          break;
      }
      ASSERT_EQ(c.forward ? reader->GetNextRecord(nullptr) : reader->GetPriorRecord(nullptr), 0)
          << shift << " " << i;
      EXPECT_EQ(Name(*reader), name(c.expected + shift) + (c.inserted ? "a" : ""))
          << shift << " " << i;
    }
  }
  // The rollback takes the second round's changes back under the reader.
  ASSERT_EQ(db_->Rollback(), 0);
  reader->SetToBegin();
  EXPECT_EQ(ReadAll(*reader).size(), committed);
  EXPECT_EQ(committed, 600u - 6u + 4u);
  // The reader's own deletes, without repositioning: each comes after a plain step onto the
  // record, and the next step goes on from where the deleted key was.
  for (const bool forward : {true, false}) {
    std::int32_t current = forward ? 500 : 560;
    reader->SetToBegin();
    while (reader->GetNextRecord(nullptr) == 0 && Name(*reader) != name(current)) {
    }
    auto step = [&](bool ahead) {
      return ahead ? reader->GetNextRecord(nullptr) : reader->GetPriorRecord(nullptr);
    };
    for (int i = 0; i < 8; ++i) {
      ASSERT_EQ(step(!forward), 0);
      ASSERT_EQ(step(forward), 0);
      ASSERT_EQ(Name(*reader), name(current)) << forward << " " << i;
      reader->DeleteCurrent(nullptr, false);
      ASSERT_EQ(step(forward), 0);
      current += forward ? 1 : -1;
      EXPECT_EQ(Name(*reader), name(current)) << forward << " " << i;
    }
  }
}

// Deletes in a row from one place of a table of many leaves: every delete's follower, whether
// it took over the deleted entry, opens the next leaf or moved in a merge of leaves, becomes
// current with the deleted record's number in the order.
TEST_F(DataCursorNavTest, DeletesInARowRepositionOntoEachFollower) {
  const std::vector<TRow> rows = ScrambledRows(600);
  Fill(rows);
  auto name = [](std::int32_t id) { return "N" + std::to_string(1000 + id); };
  auto cursor = Open();
  struct TCase {
    std::string index;
    std::int32_t first, count;  // the ids deleted, in a row
  };
  for (const TCase& c : {TCase{"ByName", 100, 200}, TCase{"", 300, 200}}) {
    cursor->SetIndexName(c.index);
    cursor->SetToBegin();
    while (cursor->GetNextRecord(nullptr) == 0 && Name(*cursor) != name(c.first)) {
    }
    ASSERT_EQ(cursor->GetRecNo(), 100) << c.index;
    for (std::int32_t id = c.first; id < c.first + c.count; ++id) {
      ASSERT_EQ(Name(*cursor), name(id)) << c.index;
      cursor->DeleteCurrent(nullptr, true);
      // The ids deleted in the first round are gone from the second one's view too.
      const std::int32_t follower = id + 1 == 100 + 200 ? 300 : id + 1;
      ASSERT_EQ(Name(*cursor), name(follower)) << c.index << " " << id;
      ASSERT_EQ(cursor->GetRecNo(), 100) << c.index << " " << id;
    }
    ASSERT_EQ(cursor->GetPriorRecord(nullptr), 0);
    EXPECT_EQ(Name(*cursor), name(99)) << c.index;
  }
  EXPECT_EQ(cursor->GetRecordCount(), 200);
  // The last record's delete leaves the cursor on the new last one.
  cursor->SetToEnd();
  ASSERT_EQ(cursor->GetPriorRecord(nullptr), 0);
  cursor->DeleteCurrent(nullptr, true);
  EXPECT_EQ(Name(*cursor), name(599));
  EXPECT_FALSE(cursor->Eof());
  EXPECT_EQ(cursor->GetNextRecord(nullptr), TABULA_EOF);
}

}  // namespace
}  // namespace tabula
