#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/base/platform_test_util.h"
#include "engine/index/btree.h"
#include "engine/index/collation.h"
#include "engine/index/keys.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_file_format.h"
#include "engine/storage/data_session.h"
#include "engine/storage/data_table.h"
#include "tests/storage/storage_test_util.h"

namespace tabula {
namespace {

namespace fs = std::filesystem;

std::vector<char> FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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
  index.FieldNumbers = std::move(fields);
  index.FieldDescending.assign(index.FieldNumbers.size(), false);
  index.Unique = unique;
  return index;
}

// Id integer (primary), Name string 20 (unique "ByName"), Age smallint 1..120 (non-unique
// "ByAge"), Notes string 40.
TTableDefinition PeopleDefinition() {
  TTableDefinition definition;
  TFieldDescriptor age = Field("Age", fldSmallInt);
  age.MinValue = "1";
  age.MaxValue = "120";
  TFieldDescriptor name = Field("Name", fldString, 20);
  name.Required = true;
  definition.Fields = {Field("Id", fldInteger), name, age, Field("Notes", fldString, 40)};
  definition.Indexes = {Index("", {1}, true), Index("ByName", {2}, true),
                        Index("ByAge", {3}, false)};
  return definition;
}

// The state of every index of a table: each tree checked, its key count.
struct TIndexReport {
  std::string fault;
  std::vector<std::uint64_t> counts;  // per slot in use: primary, secondaries, Sys Deleted
};

TIndexReport CheckIndexes(TDataTable& table) {
  TIndexReport report;
  TIndexFile& file = table.IndexFile();
  std::vector<int> slots;
  if (!file.NoPrimaryIndex()) slots.push_back(0);
  for (int slot = 1; slot <= file.Header().SecondaryCount; ++slot) slots.push_back(slot);
  slots.push_back(kSysDeletedSlot);
  if (file.Header().Descriptors[kSysTextSlot].FieldCount > 0) slots.push_back(kSysTextSlot);
  const TCollation& collation =
      *FindCollation(table.DataFile().Header().LocaleID, table.DataFile().Header().SortID);
  for (int slot : slots) {
    TKeyIndexDef definition;
    EXPECT_EQ(MakeKeyIndexDef(file.Header().Descriptors[slot], slot, table.DataFile().Descriptors(),
                              &definition),
              0);
    TIndexKeys keys(definition, collation);
    TIndexKeysComparator comparator(keys);
    TBTree tree = file.Tree(slot, comparator);
    std::uint64_t count = 0;
    const std::string fault = tree.CheckTree(&count);
    if (!fault.empty() && report.fault.empty()) {
      report.fault = "slot " + std::to_string(slot) + ": " + fault;
    }
    report.counts.push_back(count);
  }
  return report;
}

class DataCursorEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tabula_edit_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    session_ = std::make_unique<TDataSession>();
    db_ = session_->OpenDatabase("", dir_.string());
  }
  void TearDown() override {
    session_.reset();
    fs::remove_all(dir_);
  }

  void Create(const std::string& name, const TTableDefinition& definition = PeopleDefinition()) {
    TDataCursor cursor(*db_);
    cursor.SetTableName(name);
    cursor.CreateTable(definition);
  }

  std::unique_ptr<TDataCursor> Open(const std::string& name, bool exclusive = false) {
    auto cursor = std::make_unique<TDataCursor>(*db_);
    cursor->SetTableName(name);
    cursor->SetExclusive(exclusive);
    cursor->Open();
    return cursor;
  }

  // A new image of the People table; `age` 0 leaves Age null.
  std::vector<std::uint8_t> Person(TDataCursor& cursor, std::int32_t id, const std::string& name,
                                   std::int16_t age, const std::string& notes = "") {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor.RecordSize()));
    cursor.InitRecord(image.data());
    std::uint8_t value[4];
    EncodeFixed32(value, static_cast<std::uint32_t>(id));
    cursor.SetField(1, image.data(), value, 4);
    cursor.SetField(2, image.data(), reinterpret_cast<const std::uint8_t*>(name.data()),
                    name.size());
    if (age != 0) {
      EncodeFixed16(value, static_cast<std::uint16_t>(age));
      cursor.SetField(3, image.data(), value, 2);
    }
    if (!notes.empty()) {
      cursor.SetField(4, image.data(), reinterpret_cast<const std::uint8_t*>(notes.data()),
                      notes.size());
    }
    return image;
  }

  // The stored image of physical record `record_no`.
  std::vector<std::uint8_t> Stored(TDataCursor& cursor, std::int32_t record_no) {
    TDataFile& data = cursor.Table()->DataFile();
    TRecord* record =
        data.Cache()->GetRecord(nullptr, record_no, false, TReadDirection::kForward, false);
    std::vector<std::uint8_t> image(record->Image(), record->Image() + cursor.RecordSize());
    data.Cache()->Unpin(record);
    return image;
  }

  // Steps the cursor from the start to the record whose Name is `name`; its image into `buffer`.
  void GoTo(TDataCursor& cursor, const std::string& name, std::vector<std::uint8_t>* buffer) {
    buffer->assign(static_cast<std::size_t>(cursor.RecordSize()), 0);
    cursor.SetToBegin();
    while (cursor.GetNextRecord(buffer->data()) == 0) {
      std::uint8_t value[41] = {};
      cursor.GetField(2, buffer->data(), value);
      if (name == reinterpret_cast<char*>(value)) return;
    }
    FAIL() << name << " not found";
  }

  std::string NameOf(TDataCursor& cursor, const std::uint8_t* image) {
    std::uint8_t value[41] = {};
    if (cursor.GetField(2, image, value)) return "(null)";
    return reinterpret_cast<char*>(value);
  }

  void SetName(TDataCursor& cursor, std::vector<std::uint8_t>& image, const std::string& name) {
    cursor.SetField(2, image.data(), reinterpret_cast<const std::uint8_t*>(name.data()),
                    name.size());
  }

  void Fill(TDataCursor& cursor, const std::vector<std::string>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      auto image = Person(cursor, static_cast<std::int32_t>(i + 1) * 10, names[i], 20);
      cursor.PostInsert(image.data(), false);
    }
  }

  fs::path FilePath(const std::string& table, const char* extension) {
    return dir_ / (table + extension);
  }

  fs::path dir_;
  std::unique_ptr<TDataSession> session_;
  TDataDirectory* db_ = nullptr;
};

TEST_F(DataCursorEditTest, InsertsMaintainEveryIndexTheCountAndTheIdentifiers) {
  Create("People.DAT");
  auto cursor = Open("People.DAT");
  for (int i = 1; i <= 300; ++i) {
    auto image = Person(*cursor, 1000 - i, "Person " + std::to_string(i), (i % 7) + 1);
    cursor->PostInsert(image.data(), false);
    EXPECT_EQ(RecordIdentifier(image.data()), i);
  }
  TDataTable& table = *cursor->Table();
  EXPECT_EQ(table.IndexFile().RecordCount(), 300u);
  EXPECT_EQ(table.DataFile().Header().LastRecordID, 300);
  EXPECT_EQ(table.DataFile().PhysicalRecordCount(), 300);
  const TIndexReport report = CheckIndexes(table);
  EXPECT_EQ(report.fault, "");
  EXPECT_EQ(report.counts, (std::vector<std::uint64_t>{300, 300, 300, 300}));
  // Record 7 as stored: active, its own number, identifier 7, the values.
  const auto stored = Stored(*cursor, 7);
  EXPECT_EQ(RecordStatus(stored.data()), kStatusActive);
  EXPECT_EQ(RecordLink(stored.data()), 7);
  EXPECT_EQ(RecordIdentifier(stored.data()), 7);
  std::uint8_t value[21] = {};
  EXPECT_FALSE(cursor->GetField(2, stored.data(), value));
  EXPECT_STREQ(reinterpret_cast<char*>(value), "Person 7");

  // Another process's view: the files alone, opened anew, hold the same.
  cursor.reset();
  auto again = Open("People.DAT");
  EXPECT_EQ(again->Table()->IndexFile().RecordCount(), 300u);
  EXPECT_EQ(CheckIndexes(*again->Table()).counts, report.counts);
}

TEST_F(DataCursorEditTest, DuplicateUniqueKeyIsRefusedAndTheFilesStayAsTheyWere) {
  Create("People.DAT");
  auto cursor = Open("People.DAT");
  auto first = Person(*cursor, 1, "Ann", 30);
  cursor->PostInsert(first.data(), false);
  const auto data_before = FileBytes(FilePath("People", ".DAT"));
  const auto index_before = FileBytes(FilePath("People", ".IDX"));

  struct TCase {
    const char* what;
    std::int32_t id;
    const char* name;
    const char* index;
  };
  const TCase cases[] = {{"secondary", 2, "Ann", "ByName"}, {"primary", 1, "Bob", ""}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto image = Person(*cursor, c.id, c.name, 40);
    std::string index = "?";
    EXPECT_EQ(ErrorOf([&] { cursor->PostInsert(image.data(), false); }, &index), TABULA_KEYVIOL);
    EXPECT_EQ(index, c.index);
    EXPECT_EQ(FileBytes(FilePath("People", ".DAT")), data_before);
    EXPECT_EQ(FileBytes(FilePath("People", ".IDX")), index_before);
  }
  // Nothing half-done stayed in the caches either: the next insert is sound.
  auto next = Person(*cursor, 2, "Bob", 40);
  cursor->PostInsert(next.data(), false);
  EXPECT_EQ(RecordIdentifier(next.data()), 2);
  const TIndexReport report = CheckIndexes(*cursor->Table());
  EXPECT_EQ(report.fault, "");
  EXPECT_EQ(report.counts, (std::vector<std::uint64_t>{2, 2, 2, 2}));
}

TEST_F(DataCursorEditTest, BadValuesAreRefusedWithTheFieldAndChangeNothing) {
  TTableDefinition definition = PeopleDefinition();
  definition.Fields[3].MinValue = "B";  // Notes: case-sensitive, inclusive
  definition.Fields[3].MaxValue = "Mz";
  Create("People.DAT", definition);
  auto cursor = Open("People.DAT");
  const auto data_before = FileBytes(FilePath("People", ".DAT"));
  const auto index_before = FileBytes(FilePath("People", ".IDX"));

  struct TCase {
    const char* what;
    std::int16_t age;
    const char* name;
    const char* notes;
    std::uint16_t code;
    const char* field;
  };
  const TCase cases[] = {
      {"below the minimum", -3, "A", "", TABULA_MINVALERR, "Age"},
      {"null compared as zero", 0, "A", "", TABULA_MINVALERR, "Age"},
      {"above the maximum", 121, "A", "", TABULA_MAXVALERR, "Age"},
      {"required and null", 5, "", "", TABULA_REQDERR, "Name"},
      {"string below", 5, "A", "Abc", TABULA_MINVALERR, "Notes"},
      {"string above", 5, "A", "N", TABULA_MAXVALERR, "Notes"},
      {"lower case is above", 5, "A", "b", TABULA_MAXVALERR, "Notes"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto image = Person(*cursor, 1, c.name, c.age, c.notes);
    std::string field;
    EXPECT_EQ(ErrorOf([&] { cursor->PostInsert(image.data(), false); }, nullptr, &field), c.code);
    EXPECT_EQ(field, c.field);
  }
  // A string area without its zero byte (written past the field's size) is no value.
  auto image = Person(*cursor, 1, "A", 5);
  const TFieldDescriptor name = cursor->GetDescriptor(2);
  std::memset(image.data() + name.FieldOffset + 1, 'x', name.PhysicalSize);
  EXPECT_EQ(ErrorOf([&] { cursor->PostInsert(image.data(), false); }), TABULA_INVALIDFLDTYPE);
  EXPECT_EQ(FileBytes(FilePath("People", ".DAT")), data_before);
  EXPECT_EQ(FileBytes(FilePath("People", ".IDX")), index_before);

  // Both bounds are inclusive.
  for (std::int16_t age : {1, 120}) {
    auto edge = Person(*cursor, age, "Edge " + std::to_string(age), age, "B");
    EXPECT_EQ(ErrorOf([&] { cursor->PostInsert(edge.data(), false); }), 0);
  }
  auto upper = Person(*cursor, 3, "Upper", 3, "Mz");
  EXPECT_EQ(ErrorOf([&] { cursor->PostInsert(upper.data(), false); }), 0);
}

TEST_F(DataCursorEditTest, ReadOnlyCursorCannotInsert) {
  Create("People.DAT");
  auto cursor = std::make_unique<TDataCursor>(*db_);
  cursor->SetTableName("People.DAT");
  cursor->SetReadOnly(true);
  cursor->Open();
  std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor->RecordSize()));
  cursor->InitRecord(image.data());
  EXPECT_EQ(ErrorOf([&] { cursor->PostInsert(image.data(), false); }), TABULA_OSEACCES);
  EXPECT_EQ(cursor->Table()->DataFile().PhysicalRecordCount(), 0);
}

TEST_F(DataCursorEditTest, NewRecordsGetTheirDefaults) {
  TTableDefinition definition;
  auto with_default = [](TFieldDescriptor field, const std::string& text) {
    field.DefaultValue = text;
    return field;
  };
  TFieldDescriptor money = Field("Money", fldBCD);
  money.FieldScale = 2;
  definition.Fields = {
      with_default(Field("Today", fldDate), "current_date"),
      with_default(Field("Clock", fldTimeStamp), "CURRENT_TIME"),
      with_default(Field("Day", fldDate), "2020-02-29"),
      with_default(Field("At", fldTime), "1:30 PM"),
      with_default(Field("Flag", fldBoolean), "TRUE"),
      with_default(Field("Count", fldInteger), "-42"),
      with_default(Field("Big", fldLargeInt), "9000000000"),
      with_default(Field("Ratio", fldFloat), "2.5"),
      with_default(money, "12.345"),
      with_default(Field("Label", fldString, 5), "abcdefgh  "),
      Field("Plain", fldInteger),
  };
  definition.Indexes = {Index("", {3}, true)};
  Create("Defaults.DAT", definition);
  auto cursor = Open("Defaults.DAT");

  std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor->RecordSize()), 0xEE);
  const TLocalDateTime before = DefaultPlatform().LocalDateTime();
  cursor->InitRecord(image.data());
  const TLocalDateTime after = DefaultPlatform().LocalDateTime();
  ASSERT_EQ(before.day, after.day) << "the test ran over midnight";

  std::uint8_t value[40] = {};
  ASSERT_FALSE(cursor->GetField(1, image.data(), value));
  EXPECT_EQ(static_cast<std::int32_t>(DecodeFixed32(value)),
            EncodeDate(before.year, before.month, before.day));
  ASSERT_FALSE(cursor->GetField(2, image.data(), value));
  std::int32_t day = 0;
  std::int32_t ms = 0;
  ASSERT_TRUE(DecodeTimeStamp(DecodeDouble(value), &day, &ms));
  EXPECT_EQ(day, EncodeDate(1899, 12, 30));
  const std::int32_t low = ((before.hour * 60 + before.minute) * 60 + before.second) * 1000;
  const std::int32_t high = ((after.hour * 60 + after.minute) * 60 + after.second + 1) * 1000;
  EXPECT_GE(ms, low);
  EXPECT_LE(ms, high);
  ASSERT_FALSE(cursor->GetField(3, image.data(), value));
  EXPECT_EQ(static_cast<std::int32_t>(DecodeFixed32(value)), EncodeDate(2020, 2, 29));
  ASSERT_FALSE(cursor->GetField(4, image.data(), value));
  EXPECT_EQ(static_cast<std::int32_t>(DecodeFixed32(value)), 13 * 3600000 + 30 * 60000);
  ASSERT_FALSE(cursor->GetField(5, image.data(), value));
  EXPECT_EQ(DecodeFixed16(value), 1);
  ASSERT_FALSE(cursor->GetField(6, image.data(), value));
  EXPECT_EQ(static_cast<std::int32_t>(DecodeFixed32(value)), -42);
  ASSERT_FALSE(cursor->GetField(7, image.data(), value));
  EXPECT_EQ(static_cast<std::int64_t>(DecodeFixed64(value)), 9000000000LL);
  ASSERT_FALSE(cursor->GetField(8, image.data(), value));
  EXPECT_EQ(DecodeDouble(value), 2.5);
  ASSERT_FALSE(cursor->GetField(9, image.data(), value));
  std::int64_t scaled = 0;
  ASSERT_TRUE(DecodeBcd(value, &scaled));
  EXPECT_EQ(scaled, 123500);  // 12.345 packed with 2 decimals
  ASSERT_FALSE(cursor->GetField(10, image.data(), value));
  EXPECT_STREQ(reinterpret_cast<char*>(value), "abcde");
  EXPECT_TRUE(cursor->GetField(11, image.data(), value));
  // The header part is zero: no number, no identifier yet.
  EXPECT_EQ(std::vector<std::uint8_t>(image.begin(), image.begin() + 9),
            std::vector<std::uint8_t>(9, 0));
}

TEST_F(DataCursorEditTest, SuppressAutoIncKeepsTheIdentifierAndRaisesLastRecordID) {
  TTableDefinition definition;
  TFieldDescriptor auto_inc = Field("No", fldInteger);
  auto_inc.FieldSubType = fldstAutoInc;
  definition.Fields = {auto_inc, Field("Name", fldString, 10)};
  definition.Indexes = {Index("", {1}, true)};
  definition.LastRecordID = 20;
  Create("Auto.DAT", definition);
  auto cursor = Open("Auto.DAT");
  ASSERT_EQ(cursor->Table()->DataFile().Header().LastRecordID, 20);
  auto post = [&](std::int32_t id, bool suppress) {
    cursor->SetSuppressAutoInc(suppress);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor->RecordSize()));
    cursor->InitRecord(image.data());
    SetRecordIdentifier(image.data(), id);
    cursor->PostInsert(image.data(), false);
    return RecordIdentifier(image.data());
  };
  EXPECT_EQ(post(500, true), 500);
  EXPECT_EQ(cursor->Table()->DataFile().Header().LastRecordID, 500);
  EXPECT_EQ(post(7, false), 501);
  // A kept identifier that a record already has is a key violation, and changes nothing.
  const auto data_before = FileBytes(FilePath("Auto", ".DAT"));
  EXPECT_EQ(ErrorOf([&] { post(501, true); }), TABULA_KEYVIOL);
  EXPECT_EQ(FileBytes(FilePath("Auto", ".DAT")), data_before);
  // A smaller kept identifier leaves LastRecordID alone.
  EXPECT_EQ(post(30, true), 30);
  EXPECT_EQ(cursor->Table()->DataFile().Header().LastRecordID, 501);
  const TIndexReport report = CheckIndexes(*cursor->Table());
  EXPECT_EQ(report.fault, "");
  EXPECT_EQ(report.counts, (std::vector<std::uint64_t>{3, 3}));
}

TEST_F(DataCursorEditTest, IdentifierAfterTheLargestWrapsToOne) {
  TTableDefinition definition;
  definition.Fields = {Field("Name", fldString, 10)};
  definition.LastRecordID = 2147483646;
  Create("Wrap.DAT", definition);
  auto cursor = Open("Wrap.DAT");
  std::vector<std::int32_t> ids;
  for (int i = 0; i < 2; ++i) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor->RecordSize()));
    cursor->InitRecord(image.data());
    cursor->PostInsert(image.data(), false);
    ids.push_back(RecordIdentifier(image.data()));
  }
  EXPECT_EQ(ids, (std::vector<std::int32_t>{2147483647, 1}));
  EXPECT_EQ(RecordIdentifier(Stored(*cursor, 2).data()), 1);
}

// Gives the table a text index over field `field_no` by writing the "Sys Text" descriptor's
// field count (offset 37) and first field number (offset 54) into the index file's header.
void DefineTextIndex(const fs::path& index_file, std::uint16_t field_no) {
  constexpr std::size_t kSlot32 = 14 + 32 * 120;
  std::fstream file(index_file, std::ios::in | std::ios::out | std::ios::binary);
  const char count = 1;
  file.seekp(kSlot32 + 37);
  file.write(&count, 1);
  const char number[2] = {static_cast<char>(field_no & 0xFF), static_cast<char>(field_no >> 8)};
  file.seekp(kSlot32 + 54);
  file.write(number, 2);
}

TEST_F(DataCursorEditTest, TextIndexHoldsTheWordsOfNewRecords) {
  Create("People.DAT");
  DefineTextIndex(FilePath("People", ".IDX"), 4);
  auto cursor = Open("People.DAT");
  auto first = Person(*cursor, 1, "Ann", 30, "the quick fox, the QUICK dog");
  cursor->PostInsert(first.data(), false);
  auto second = Person(*cursor, 2, "Bob", 30, "Fox");
  cursor->PostInsert(second.data(), false);
  auto third = Person(*cursor, 3, "Cid", 30);
  cursor->PostInsert(third.data(), false);
  TDataTable& table = *cursor->Table();
  const TIndexReport report = CheckIndexes(table);
  EXPECT_EQ(report.fault, "");
  // quick, fox, dog of record 1 ("the" is a stop word, case folds), fox of record 2.
  EXPECT_EQ(report.counts.back(), 4u);

  TKeyIndexDef definition;
  ASSERT_EQ(MakeKeyIndexDef(table.IndexFile().Header().Descriptors[kSysTextSlot], kSysTextSlot,
                            table.DataFile().Descriptors(), &definition),
            0);
  TIndexKeys keys(definition, *FindCollation(0, 0));
  TIndexKeysComparator comparator(keys);
  TBTree tree = table.IndexFile().Tree(kSysTextSlot, comparator);
  struct TWord {
    const char* word;
    std::int32_t record_id;
    bool present;
  };
  for (const TWord& w : {TWord{"QUICK", 1, true}, TWord{"fox", 2, true}, TWord{"the", 1, false},
                         TWord{"dog", 2, false}}) {
    SCOPED_TRACE(w.word);
    std::vector<std::uint8_t> key(kTextKeyLength);
    keys.BuildTextKey(4, w.word, w.record_id, key.data());
    TTreePosition at;
    bool found = false;
    tree.Seek(key.data(), key.size(), &at, &found);
    EXPECT_EQ(at.Valid() && found, w.present);
    if (w.present) {
      EXPECT_EQ(at.Value, static_cast<std::uint32_t>(w.record_id));
    }
  }
}

TEST_F(DataCursorEditTest, EditReplacesChangedKeysAndKeepsTheIdentifier) {
  Create("People.DAT");
  auto cursor = Open("People.DAT");
  Fill(*cursor, {"Ann", "Bob", "Cid"});
  std::vector<std::uint8_t> image;
  GoTo(*cursor, "Bob", &image);
  ASSERT_EQ(cursor->FetchCurrent(image.data(), true), 0);
  EXPECT_EQ(cursor->LockedRecord(), 2);
  SetName(*cursor, image, "Bea");
  SetRecordIdentifier(image.data(), 99);  // ignored without SuppressAutoInc
  cursor->PostEdit(image.data(), true, true);
  EXPECT_EQ(cursor->LockedRecord(), 0);
  EXPECT_EQ(NameOf(*cursor, cursor->RecordImage().data()), "Bea");
  const auto stored = Stored(*cursor, 2);
  EXPECT_EQ(RecordIdentifier(stored.data()), 2);
  EXPECT_EQ(NameOf(*cursor, stored.data()), "Bea");
  const TIndexReport report = CheckIndexes(*cursor->Table());
  EXPECT_EQ(report.fault, "");
  EXPECT_EQ(report.counts, (std::vector<std::uint64_t>{3, 3, 3, 3}));
  EXPECT_EQ(cursor->Table()->IndexFile().RecordCount(), 3u);

  // The old name is gone from "ByName", the new one is found there.
  cursor->SetIndexName("ByName");
  auto probe = Person(*cursor, 0, "Bob", 1);
  EXPECT_FALSE(cursor->Find(false, probe.data(), false, 1, 0, nullptr));
  SetName(*cursor, probe, "Bea");
  EXPECT_TRUE(cursor->Find(false, probe.data(), false, 1, 0, nullptr));

  // With SuppressAutoInc the identifier given is kept ("Sys Deleted" follows it).
  TTableDefinition definition;
  TFieldDescriptor auto_inc = Field("No", fldInteger);
  auto_inc.FieldSubType = fldstAutoInc;
  definition.Fields = {auto_inc, Field("Name", fldString, 10)};
  Create("Auto.DAT", definition);
  auto numbered = Open("Auto.DAT");
  std::vector<std::uint8_t> row(static_cast<std::size_t>(numbered->RecordSize()));
  numbered->InitRecord(row.data());
  numbered->PostInsert(row.data(), true);
  ASSERT_EQ(numbered->FetchCurrent(row.data(), false), 0);
  ASSERT_EQ(numbered->FetchCurrent(row.data(), true), 0);
  numbered->SetSuppressAutoInc(true);
  SetRecordIdentifier(row.data(), 77);
  numbered->PostEdit(row.data(), true, true);
  EXPECT_EQ(RecordIdentifier(Stored(*numbered, 1).data()), 77);
  EXPECT_EQ(numbered->Table()->DataFile().Header().LastRecordID, 77);
  EXPECT_EQ(CheckIndexes(*numbered->Table()).fault, "");
}

TEST_F(DataCursorEditTest, FailedEditChangesNothingAndKeepsTheEditOpen) {
  Create("People.DAT");
  auto cursor = Open("People.DAT");
  Fill(*cursor, {"Ann", "Bob"});
  const auto data_before = FileBytes(FilePath("People", ".DAT"));
  const auto index_before = FileBytes(FilePath("People", ".IDX"));
  std::vector<std::uint8_t> image;
  GoTo(*cursor, "Bob", &image);
  ASSERT_EQ(cursor->FetchCurrent(image.data(), true), 0);
  const std::vector<std::uint8_t> fetched = image;

  struct TCase {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> change;
    std::uint16_t code;
  };
  const TCase cases[] = {
      {"duplicate name", [&](auto& i) { SetName(*cursor, i, "Ann"); }, TABULA_KEYVIOL},
      {"duplicate primary key",
       [&](auto& i) {
         std::uint8_t value[4];
         EncodeFixed32(value, 10);
         cursor->SetField(1, i.data(), value, 4);
       },
       TABULA_KEYVIOL},
      {"above the maximum",
       [&](auto& i) {
         std::uint8_t value[2];
         EncodeFixed16(value, 500);
         cursor->SetField(3, i.data(), value, 2);
       },
       TABULA_MAXVALERR},
      {"required field null", [&](auto& i) { cursor->SetField(2, i.data(), nullptr, 0); },
       TABULA_REQDERR},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    image = fetched;
    c.change(image);
    EXPECT_EQ(ErrorOf([&] { cursor->PostEdit(image.data(), true, true); }), c.code);
    EXPECT_EQ(FileBytes(FilePath("People", ".DAT")), data_before);
    EXPECT_EQ(FileBytes(FilePath("People", ".IDX")), index_before);
    EXPECT_EQ(cursor->LockedRecord(), 2);
    EXPECT_EQ(cursor->RecordImage(), fetched);
  }
  cursor->CancelEdit();
  EXPECT_EQ(cursor->LockedRecord(), 0);
  EXPECT_TRUE(cursor->Table()->Locks().LockedRecords().empty());
  EXPECT_TRUE(cursor->Table()->Locks().CursorLocks().empty());
  EXPECT_FALSE(cursor->Table()->Locks().WriteLockHeld());
}

TEST_F(DataCursorEditTest, NoCurrentRecordIsAnErrorForEveryChange) {
  Create("People.DAT");
  auto cursor = Open("People.DAT");
  std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor->RecordSize()), 0x55);
  EXPECT_EQ(cursor->FetchCurrent(image.data(), true), TABULA_NOCURRREC);
  EXPECT_EQ(image, std::vector<std::uint8_t>(image.size(), 0));
  EXPECT_EQ(cursor->CopyCurrentRecord(image.data()), TABULA_NOCURRREC);
  EXPECT_EQ(ErrorOf([&] { cursor->PostEdit(image.data(), true, false); }), TABULA_NOCURRREC);
  EXPECT_EQ(ErrorOf([&] { cursor->DeleteCurrent(image.data(), false); }), TABULA_NOCURRREC);
  EXPECT_EQ(cursor->Table()->DataFile().PhysicalRecordCount(), 0);
  EXPECT_EQ(cursor->Table()->IndexFile().RecordCount(), 0u);

  // Before the first record (Bof) and after the last (Eof).
  Fill(*cursor, {"Ann"});
  cursor->SetToBegin();
  EXPECT_EQ(cursor->FetchCurrent(image.data(), false), TABULA_BOF);
  cursor->SetToEnd();
  EXPECT_EQ(cursor->FetchCurrent(image.data(), false), TABULA_EOF);
}

TEST_F(DataCursorEditTest, DeletesFreeRecordsThatInsertsReuseNewestFirst) {
  Create("People.DAT");
  auto cursor = Open("People.DAT");
  Fill(*cursor, {"A1", "A2", "A3", "A4", "A5", "A6", "A7", "A8"});
  std::vector<std::uint8_t> image;
  for (const char* name : {"A3", "A7"}) {
    GoTo(*cursor, name, &image);
    cursor->DeleteCurrent(image.data(), true);
  }
  TDataTable& table = *cursor->Table();
  EXPECT_EQ(table.DataFile().Header().FirstFreeRecord, 7);
  EXPECT_EQ(RecordStatus(Stored(*cursor, 7).data()), kStatusDeleted);
  EXPECT_EQ(RecordLink(Stored(*cursor, 7).data()), 3);
  EXPECT_EQ(table.IndexFile().RecordCount(), 6u);
  TIndexReport report = CheckIndexes(table);
  EXPECT_EQ(report.fault, "");
  // Sys Deleted keeps one key per physical record.
  EXPECT_EQ(report.counts, (std::vector<std::uint64_t>{6, 6, 6, 8}));

  auto b1 = Person(*cursor, 91, "B1", 5);
  cursor->PostInsert(b1.data(), true);
  auto b2 = Person(*cursor, 92, "B2", 5);
  cursor->PostInsert(b2.data(), true);
  EXPECT_EQ(NameOf(*cursor, Stored(*cursor, 7).data()), "B1");
  EXPECT_EQ(NameOf(*cursor, Stored(*cursor, 3).data()), "B2");
  EXPECT_EQ(RecordIdentifier(Stored(*cursor, 3).data()), 10);
  EXPECT_EQ(table.DataFile().Header().FirstFreeRecord, 0);
  EXPECT_EQ(table.DataFile().PhysicalRecordCount(), 8);
  report = CheckIndexes(table);
  EXPECT_EQ(report.fault, "");
  EXPECT_EQ(report.counts, (std::vector<std::uint64_t>{8, 8, 8, 8}));
  EXPECT_EQ(cursor->GetRecordCount(), 8);

  // Without a primary index of its own the table keeps insertion order: inserts append.
  TTableDefinition definition = PeopleDefinition();
  definition.Indexes.clear();
  Create("Log.DAT", definition);
  auto log = Open("Log.DAT");
  Fill(*log, {"L1", "L2", "L3"});
  GoTo(*log, "L2", &image);
  log->DeleteCurrent(image.data(), true);
  auto l4 = Person(*log, 4, "L4", 9);
  log->PostInsert(l4.data(), true);
  EXPECT_EQ(log->Table()->DataFile().PhysicalRecordCount(), 4);
  EXPECT_EQ(NameOf(*log, Stored(*log, 4).data()), "L4");
  EXPECT_EQ(CheckIndexes(*log->Table()).counts, (std::vector<std::uint64_t>{4}));
}

TEST_F(DataCursorEditTest, DeleteRepositionsOnTheFollowerOrTheNewLast) {
  Create("People.DAT");
  auto cursor = Open("People.DAT");
  Fill(*cursor, {"Ann", "Bob", "Cid"});
  std::vector<std::uint8_t> image;
  GoTo(*cursor, "Bob", &image);
  cursor->DeleteCurrent(image.data(), true);
  EXPECT_EQ(NameOf(*cursor, cursor->RecordImage().data()), "Cid");
  GoTo(*cursor, "Cid", &image);
  cursor->DeleteCurrent(image.data(), true);
  EXPECT_EQ(NameOf(*cursor, cursor->RecordImage().data()), "Ann");
  EXPECT_EQ(cursor->GetRecordCount(), 1);
}

TEST_F(DataCursorEditTest, DeleteWhileAnotherCursorEditsIsRefused) {
  Create("People.DAT");
  auto editor = Open("People.DAT");
  auto other = Open("People.DAT");
  Fill(*editor, {"Ann", "Bob"});
  std::vector<std::uint8_t> edited;
  GoTo(*editor, "Bob", &edited);
  ASSERT_EQ(editor->FetchCurrent(edited.data(), true), 0);
  const auto data_before = FileBytes(FilePath("People", ".DAT"));

  std::vector<std::uint8_t> image;
  GoTo(*other, "Bob", &image);
  EXPECT_EQ(ErrorOf([&] { other->DeleteCurrent(image.data(), true); }), TABULA_RECLOCKFAILED);
  EXPECT_EQ(ErrorOf([&] { other->FetchCurrent(image.data(), true); }), TABULA_RECLOCKFAILED);
  EXPECT_EQ(FileBytes(FilePath("People", ".DAT")), data_before);
  EXPECT_EQ(editor->LockedRecord(), 2);

  // Closing a cursor ends its edit: the record is free for the other cursor.
  {
    auto closing = Open("People.DAT");
    std::vector<std::uint8_t> row;
    GoTo(*closing, "Ann", &row);
    ASSERT_EQ(closing->FetchCurrent(row.data(), true), 0);
    EXPECT_EQ(closing->LockedRecord(), 1);
  }
  GoTo(*other, "Ann", &image);
  EXPECT_EQ(other->FetchCurrent(image.data(), true), 0);
  other->CancelEdit();

  // The editor's own delete goes on, and ends its edit.
  editor->DeleteCurrent(edited.data(), true);
  EXPECT_EQ(editor->LockedRecord(), 0);
  EXPECT_TRUE(editor->Table()->Locks().LockedRecords().empty());
  // A delete with an image that is not the current record's changes nothing.
  GoTo(*other, "Ann", &image);
  std::vector<std::uint8_t> stale = image;
  SetName(*other, stale, "Old");
  EXPECT_EQ(ErrorOf([&] { other->DeleteCurrent(stale.data(), true); }), TABULA_KEYORRECDELETED);
  EXPECT_EQ(other->Table()->IndexFile().RecordCount(), 1u);
}

TEST_F(DataCursorEditTest, CopyCurrentRecordDuplicatesTheValues) {
  Create("People.DAT");
  auto cursor = Open("People.DAT");
  auto ann = Person(*cursor, 1, "Ann", 33, "notes");
  cursor->PostInsert(ann.data(), true);
  std::vector<std::uint8_t> copy(static_cast<std::size_t>(cursor->RecordSize()), 0x77);
  ASSERT_EQ(cursor->CopyCurrentRecord(copy.data()), 0);
  std::vector<std::uint8_t> expected = ann;
  std::fill(expected.begin(), expected.begin() + 9, 0);  // no number, no identifier
  EXPECT_EQ(copy, expected);
}

TEST_F(DataCursorEditTest, TextIndexFollowsEditsAndDeletes) {
  Create("People.DAT");
  DefineTextIndex(FilePath("People", ".IDX"), 4);
  auto cursor = Open("People.DAT");
  auto ann = Person(*cursor, 1, "Ann", 30, "red green blue");
  cursor->PostInsert(ann.data(), true);
  std::vector<std::uint8_t> image = cursor->RecordImage();
  ASSERT_EQ(cursor->FetchCurrent(image.data(), true), 0);
  const std::string notes = "green yellow";
  cursor->SetField(4, image.data(), reinterpret_cast<const std::uint8_t*>(notes.data()),
                   notes.size());
  cursor->PostEdit(image.data(), true, true);
  TIndexReport report = CheckIndexes(*cursor->Table());
  EXPECT_EQ(report.fault, "");
  EXPECT_EQ(report.counts.back(), 2u);
  cursor->DeleteCurrent(cursor->RecordImage().data(), true);
  report = CheckIndexes(*cursor->Table());
  EXPECT_EQ(report.fault, "");
  EXPECT_EQ(report.counts.back(), 0u);
}

// A cursor keeps the key functions of the indexes between changes; an index added or deleted
// meanwhile (here directly in the index file, as a restructure would) is maintained from the
// next change on, by every cursor of the table.
TEST_F(DataCursorEditTest, ChangesFollowIndexesAddedOrDeletedWhileOpen) {
  Create("People.DAT");
  auto cursor = Open("People.DAT");
  auto other = Open("People.DAT");
  Fill(*cursor, {"Ann", "Bob"});
  auto cid = Person(*other, 30, "Cid", 20, "n1");
  other->PostInsert(cid.data(), false);  // both cursors built their keys
  TDataTable& table = *cursor->Table();
  TIndexFile& file = table.IndexFile();
  TIndexDefinition notes = Index("ByNotes", {4}, false);
  notes.KeyLength = 1 + 41;
  const int slot = file.AddSecondaryIndex(notes, table.DataFile().Descriptors());
  ASSERT_EQ(slot, 3);
  {  // built over the records there are
    TKeyIndexDef definition;
    ASSERT_EQ(
        MakeKeyIndexDef(file.Descriptor(slot), slot, table.DataFile().Descriptors(), &definition),
        0);
    const TIndexKeys keys(definition, *FindCollation(0, 0));
    const TIndexKeysComparator comparator(keys);
    std::vector<std::uint8_t> key(keys.KeyLength());
    for (std::int32_t record_no = 1; record_no <= 3; ++record_no) {
      const auto stored = Stored(*cursor, record_no);
      ASSERT_EQ(keys.BuildKey(stored.data(), stored.size(), key.data()), 0);
      file.InsertKey(slot, comparator, key.data(), static_cast<std::uint32_t>(record_no));
    }
  }

  auto dan = Person(*cursor, 40, "Dan", 20, "n2");
  cursor->PostInsert(dan.data(), false);
  auto eve = Person(*other, 50, "Eve", 20, "n3");
  other->PostInsert(eve.data(), true);
  std::vector<std::uint8_t> image = other->RecordImage();
  ASSERT_EQ(other->FetchCurrent(image.data(), true), 0);
  const std::string changed = "n4";
  other->SetField(4, image.data(), reinterpret_cast<const std::uint8_t*>(changed.data()),
                  changed.size());
  other->PostEdit(image.data(), true, true);
  TIndexReport report = CheckIndexes(table);
  EXPECT_EQ(report.fault, "");
  // Primary, ByName, ByAge, ByNotes, Sys Deleted.
  EXPECT_EQ(report.counts, (std::vector<std::uint64_t>{5, 5, 5, 5, 5}));

  GoTo(*cursor, "Dan", &image);
  cursor->DeleteCurrent(image.data(), false);
  EXPECT_EQ(CheckIndexes(table).counts, (std::vector<std::uint64_t>{4, 4, 4, 4, 5}));

  // Deleted again: the next changes leave it alone and keep the others right.
  file.DeleteIndex(file.IndexSlot("ByAge"));
  auto fay = Person(*cursor, 60, "Fay", 20, "n5");
  cursor->PostInsert(fay.data(), false);
  GoTo(*other, "Ann", &image);
  other->DeleteCurrent(image.data(), false);
  report = CheckIndexes(table);
  EXPECT_EQ(report.fault, "");
  EXPECT_EQ(report.counts, (std::vector<std::uint64_t>{4, 4, 4, 5}));
}

TEST_F(DataCursorEditTest, ExclusiveCursorChangesInMemoryWithoutLocksUntilClose) {
  Create("People.DAT");
  const auto data_before = FileBytes(FilePath("People", ".DAT"));
  {
    auto cursor = Open("People.DAT", true);
    TInstrumentedPlatform platform;
    TScopedPlatform installed(&platform);
    Fill(*cursor, {"Ann", "Bob", "Cid"});
    std::vector<std::uint8_t> image;
    GoTo(*cursor, "Bob", &image);
    ASSERT_EQ(cursor->FetchCurrent(image.data(), true), 0);
    SetName(*cursor, image, "Bea");
    cursor->PostEdit(image.data(), true, true);
    GoTo(*cursor, "Ann", &image);
    cursor->DeleteCurrent(image.data(), true);
    EXPECT_EQ(platform.Count(TInstrumentedPlatform::kLock), 0u);
    EXPECT_EQ(platform.Count(TInstrumentedPlatform::kWrite), 0u);
    EXPECT_EQ(FileBytes(FilePath("People", ".DAT")), data_before);
  }
  auto cursor = Open("People.DAT");
  EXPECT_EQ(cursor->GetRecordCount(), 2);
  std::vector<std::uint8_t> image;
  GoTo(*cursor, "Bea", &image);
  const TIndexReport report = CheckIndexes(*cursor->Table());
  EXPECT_EQ(report.fault, "");
  EXPECT_EQ(report.counts, (std::vector<std::uint64_t>{2, 2, 2, 3}));
}

TEST_F(DataCursorEditTest, WriteFailureLeavesTheFilesAndTheCachesAsBefore) {
  Create("People.DAT");
  auto cursor = Open("People.DAT");
  Fill(*cursor, {"Ann"});
  const auto data_before = FileBytes(FilePath("People", ".DAT"));
  const auto index_before = FileBytes(FilePath("People", ".IDX"));
  {
    TInstrumentedPlatform platform;
    TScopedPlatform installed(&platform);
    platform.FailWriteAt(1, ENOSPC, 0);
    auto bob = Person(*cursor, 2, "Bob", 5);
    EXPECT_EQ(ErrorOf([&] { cursor->PostInsert(bob.data(), true); }), TABULA_WRITEERR);
  }
  EXPECT_EQ(FileBytes(FilePath("People", ".DAT")), data_before);
  EXPECT_EQ(FileBytes(FilePath("People", ".IDX")), index_before);
  EXPECT_FALSE(cursor->Table()->Locks().WriteLockHeld());
  EXPECT_TRUE(cursor->Table()->Locks().LockedRecords().empty());
  // What the failed insert put into the caches is gone: the same insert now goes through.
  auto bob = Person(*cursor, 2, "Bob", 5);
  cursor->PostInsert(bob.data(), true);
  EXPECT_EQ(RecordIdentifier(bob.data()), 2);
  const TIndexReport report = CheckIndexes(*cursor->Table());
  EXPECT_EQ(report.fault, "");
  EXPECT_EQ(report.counts, (std::vector<std::uint64_t>{2, 2, 2, 2}));
}

}  // namespace
}  // namespace tabula
