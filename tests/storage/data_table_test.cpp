#include "engine/storage/data_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/base/platform_test_util.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_session.h"
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

// Id integer (primary index), Name string 20, Joined date.
TTableDefinition StaffDefinition() {
  TTableDefinition definition;
  definition.Description = "Staff list";
  definition.Fields = {Field("Id", fldInteger), Field("Name", fldString, 20),
                       Field("Joined", fldDate)};
  TIndexDefinition primary;
  primary.FieldNumbers = {1};
  primary.FieldDescending = {false};
  definition.Indexes = {primary};
  return definition;
}

// Appends one record with the table's own record cache, the way record editing will.
void AppendRecord(TDataCursor& cursor, std::int32_t id, const std::string& name) {
  TDataTable& table = *cursor.Table();
  TDataFile& data = table.DataFile();
  std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor.RecordSize()));
  const std::int32_t record_no = data.NextRecordNo();
  InitRecordImage(image.data(), image.size(), record_no, data.NewRecordID());
  std::uint8_t value[4];
  EncodeFixed32(value, static_cast<std::uint32_t>(id));
  cursor.SetField(1, image.data(), value, 4);
  cursor.SetField(2, image.data(), reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  TRecord* record =
      data.Cache()->GetRecord(nullptr, record_no, false, TReadDirection::kForward, false);
  ASSERT_NE(record, nullptr);
  std::copy(image.begin(), image.end(), record->Image());
  record->SetDirty(true);
  data.Cache()->Unpin(record);
  data.MarkHeaderChanged();
  table.IndexFile().IncRecordCount();
  table.Flush(false, false, false);
}

class DataTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tabula_tables_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    session_ = std::make_unique<TDataSession>();
    db_ = session_->OpenDatabase("", dir_.string());
  }
  void TearDown() override {
    session_.reset();
    fs::permissions(dir_, fs::perms::owner_all);
    for (const auto& entry : fs::directory_iterator(dir_)) {
      fs::permissions(entry.path(), fs::perms::owner_all);
    }
    fs::remove_all(dir_);
  }

  void Create(const std::string& name, const TTableDefinition& definition = StaffDefinition()) {
    TDataCursor cursor(*db_);
    cursor.SetTableName(name);
    cursor.CreateTable(definition);
  }

  // `natural`: record-number order, for tables whose records were appended without keys.
  std::unique_ptr<TDataCursor> OpenCursor(const std::string& name, bool exclusive = false,
                                          bool share = false, bool natural = false) {
    auto cursor = std::make_unique<TDataCursor>(*db_);
    cursor->SetTableName(name);
    cursor->SetNaturalOrder(natural);
    cursor->SetExclusive(exclusive);
    cursor->SetShareExclusive(share);
    cursor->Open();
    return cursor;
  }

  fs::path dir_;
  std::unique_ptr<TDataSession> session_;
  TDataDirectory* db_ = nullptr;
};

TEST_F(DataTableTest, CreateWritesDataAndIndexFilesAndOpens) {
  Create("Staff.dat");
  EXPECT_TRUE(fs::exists(dir_ / "Staff.DAT"));
  // An empty table's index file is its header block alone.
  EXPECT_EQ(fs::file_size(dir_ / "Staff.IDX"), 4096u);
  EXPECT_EQ(fs::file_size(dir_ / "Staff.DAT"), 127u + 3u * 768u);
  EXPECT_FALSE(fs::exists(dir_ / "Staff.BLB"));
  EXPECT_TRUE(db_->Tables().empty());

  auto cursor = OpenCursor("Staff.dat");
  EXPECT_EQ(cursor->FieldCount(), 3);
  EXPECT_EQ(cursor->RecordSize(), 9 + 5 + 22 + 5);
  EXPECT_EQ(cursor->IndexCount(), 1);
  EXPECT_EQ(cursor->CurrentIndex(), 0);
  EXPECT_EQ(cursor->GetDescriptor(2).FieldName, "Name");
  EXPECT_EQ(cursor->GetDescriptor(2).QualifiedName(), "Staff.Name");
  EXPECT_EQ(cursor->GetDescriptor(3).FieldOffset, 9 + 5 + 22);
  EXPECT_EQ(ErrorOf([&] { cursor->GetDescriptor(4); }), TABULA_OUTOFRANGE);
  EXPECT_EQ(cursor->GetTableInfo().Description, "Staff list");
  EXPECT_EQ(cursor->GetTableInfo().FormatVersion, "3.00");
  EXPECT_EQ(cursor->GetNextRecord(nullptr), TABULA_EOF);
  EXPECT_TRUE(cursor->Eof());
}

TEST_F(DataTableTest, OptionsOfAnOpenCursorAreRefused) {
  Create("Staff");
  auto cursor = OpenCursor("Staff");
  const std::vector<std::function<void()>> setters = {
      [&] { cursor->SetTableName("Other"); },
      [&] { cursor->SetExclusive(true); },
      [&] { cursor->SetShareExclusive(true); },
      [&] { cursor->SetReadOnly(true); },
      [&] { cursor->SetInMemory(true); },
      [&] { cursor->SetTemporary(true); },
      [&] { cursor->SetNaturalOrder(true); },
      [&] { cursor->SetQueryResult(true); },
      [&] { cursor->DeleteTable(); },
      [&] { cursor->RenameTable("X"); },
      [&] { cursor->CreateTable(StaffDefinition()); }};
  for (std::size_t i = 0; i < setters.size(); ++i) {
    EXPECT_EQ(ErrorOf(setters[i]), TABULA_TABLEOPEN) << "row " << i;
  }
  // Without an auto-increment field the setting is ignored.
  cursor->SetSuppressAutoInc(true);
  EXPECT_FALSE(cursor->SuppressAutoInc());
}

TEST_F(DataTableTest, TableNameExtensionBecomesDat) {
  TDataCursor cursor(*db_);
  cursor.SetTableName("  staff.txt ");
  EXPECT_EQ(cursor.TableName(), "staff.DAT");
  cursor.SetTableName("staff");
  EXPECT_EQ(cursor.TableName(), "staff");
}

TEST_F(DataTableTest, SameTableTwiceSharesOneTableObjectAndFileHandles) {
  Create("Staff");
  const std::size_t files_before = TFileList::Instance().Count();
  auto first = OpenCursor("Staff");
  const std::size_t files_open = TFileList::Instance().Count();
  auto second = OpenCursor(" STAFF ");
  EXPECT_EQ(first->Table(), second->Table());
  EXPECT_EQ(db_->Tables().size(), 1u);
  EXPECT_EQ(first->Table()->OpenCount(), 2);
  EXPECT_EQ(TFileList::Instance().Count(), files_open);
  EXPECT_EQ(first->Table()->DataFile().File()->OpenCount(), 1);

  first->Close();
  ASSERT_TRUE(second->IsOpen());
  EXPECT_TRUE(second->Table()->IsOpen());
  EXPECT_EQ(second->GetNextRecord(nullptr), TABULA_EOF);
  second->Close();
  EXPECT_TRUE(db_->Tables().empty());
  EXPECT_EQ(TFileList::Instance().Count(), files_before);
}

TEST_F(DataTableTest, ExclusiveConflictsInOneProcess) {
  struct TCase {
    const char* name;
    bool first_exclusive;
    bool second_exclusive;
    bool second_share;
    std::uint16_t expected;
  };
  const TCase cases[] = {
      {"shared then shared", false, false, false, 0},
      {"shared then exclusive", false, true, false, TABULA_OSEACCES},
      {"exclusive then shared", true, false, false, TABULA_OSEACCES},
      {"exclusive then exclusive", true, true, false, TABULA_OSEACCES},
      {"exclusive then copy of the exclusive cursor", true, true, true, 0},
      {"exclusive then shared copy", true, false, true, 0},
  };
  Create("Staff");
  for (const TCase& c : cases) {
    auto first = OpenCursor("Staff", c.first_exclusive);
    TDataCursor second(*db_);
    second.SetTableName("staff");
    second.SetExclusive(c.second_exclusive);
    second.SetShareExclusive(c.second_share);
    try {
      second.Open();
      EXPECT_EQ(c.expected, 0) << c.name;
    } catch (const ETabulaEngineError& error) {
      EXPECT_EQ(error.ErrorCode(), c.expected) << c.name;
      EXPECT_EQ(error.ErrorTableName(), "staff") << c.name;
      EXPECT_FALSE(second.IsOpen()) << c.name;
    }
    second.Close();
    first->Close();
    EXPECT_TRUE(db_->Tables().empty()) << c.name;
  }
}

TEST_F(DataTableTest, ExclusiveOpenConflictsWithAnotherProcess) {
  Create("Staff");
  auto cursor = OpenCursor("Staff");
  const std::int64_t result = RunInChild([&] {
    TDataSession session;
    TDataDirectory* db = session.OpenDatabase("", dir_.string());
    TDataCursor other(*db);
    other.SetTableName("Staff");
    other.SetExclusive(true);
    other.Open();
    return std::int64_t{0};
  });
  EXPECT_EQ(result, kRaised + TABULA_OSEACCES);
}

TEST_F(DataTableTest, ReadOnlyFilesForceReadOnlyAndRefuseChanges) {
  Create("Staff");
  for (const char* name : {"Staff.DAT", "Staff.IDX"}) {
    fs::permissions(dir_ / name, fs::perms::owner_read | fs::perms::group_read);
  }
  auto cursor = OpenCursor("Staff", true);
  EXPECT_TRUE(cursor->ReadOnly());
  EXPECT_TRUE(cursor->LockingDisabled());
  EXPECT_TRUE(cursor->Table()->ReadOnlyFiles());
  std::vector<std::uint8_t>& image = cursor->RecordImage();
  const std::int32_t id = 7;
  std::uint8_t value[4];
  EncodeFixed32(value, static_cast<std::uint32_t>(id));
  EXPECT_EQ(ErrorOf([&] { cursor->SetField(1, image.data(), value, 4); }), TABULA_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { cursor->EmptyTable(); }), TABULA_OSEACCES);
}

TEST_F(DataTableTest, EmptyTableNeedsExclusiveAccess) {
  Create("Staff");
  auto shared = OpenCursor("Staff");
  EXPECT_EQ(ErrorOf([&] { shared->EmptyTable(); }), TABULA_NEEDEXCLACCESS);
  shared->Close();
  TDataCursor closed(*db_);
  EXPECT_EQ(ErrorOf([&] { closed.EmptyTable(); }), TABULA_NEEDEXCLACCESS);
  auto exclusive = OpenCursor("Staff", true);
  exclusive->EmptyTable();
  EXPECT_EQ(exclusive->GetNextRecord(nullptr), TABULA_EOF);
}

TEST_F(DataTableTest, EncryptedTable) {
  TTableDefinition definition = StaffDefinition();
  definition.Encrypted = true;
  definition.Password = " Secret ";
  definition.Description = "Payroll";
  Create("Pay", definition);

  // The header's texts are scrambled on disk but read back in plain text while closed.
  const std::vector<char> bytes = FileBytes(dir_ / "Pay.DAT");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find("Payroll"), std::string::npos);
  TDataCursor cursor(*db_);
  cursor.SetTableName("Pay");
  const TTableInfo info = cursor.GetTableInfo();
  EXPECT_EQ(info.Description, "Payroll");
  EXPECT_TRUE(info.Encrypted);
  EXPECT_EQ(info.Password, "Secret");

  EXPECT_EQ(ErrorOf([&] { cursor.Open(); }), TABULA_NOTSUFFTABLERIGHTS);
  EXPECT_FALSE(cursor.IsOpen());
  EXPECT_TRUE(db_->Tables().empty());

  int asked = 0;
  cursor.SetPasswordCallback(
      [&](TDataCursor&, void* context) {
        ++asked;
        EXPECT_EQ(context, &asked);
        if (asked == 2) session_->AddPassword("Secret");
        return true;
      },
      &asked);
  cursor.Open();
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(cursor.FieldCount(), 3);
}

TEST_F(DataTableTest, MissingIndexFileIsCreatedAnewWithItsKeys) {
  Create("Staff");
  {
    auto writer = OpenCursor("Staff");
    AppendRecord(*writer, 1, "Ann");
    AppendRecord(*writer, 2, "Bob");
  }
  fs::remove(dir_ / "Staff.IDX");
  auto cursor = OpenCursor("Staff");
  EXPECT_TRUE(cursor->Table()->IndexRebuilt());
  EXPECT_EQ(cursor->Table()->IndexFile().RecordCount(), 2u);
  // The definitions went with the file: records stay in insertion order.
  EXPECT_EQ(cursor->IndexCount(), 0);
  cursor->Close();
  // One leaf of "Sys Deleted" keys after the header block; the file passes the open checks.
  EXPECT_EQ(fs::file_size(dir_ / "Staff.IDX"), 2u * 4096u);
  auto again = OpenCursor("Staff");
  EXPECT_FALSE(again->Table()->IndexRebuilt());
  EXPECT_EQ(again->Table()->IndexFile().RecordCount(), 2u);
}

TEST_F(DataTableTest, MissingTable) {
  TDataCursor cursor(*db_);
  cursor.SetTableName("Nothing");
  EXPECT_EQ(ErrorOf([&] { cursor.Open(); }), TABULA_OSENOENT);
  EXPECT_EQ(ErrorOf([&] { cursor.DeleteTable(); }), TABULA_OSENOENT);
  EXPECT_EQ(ErrorOf([&] { cursor.GetTableInfo(); }), TABULA_OSENOENT);
  EXPECT_TRUE(db_->Tables().empty());
}

TEST_F(DataTableTest, DamagedHeaderFailsTheFirstOpen) {
  Create("Staff");
  {
    std::fstream file(dir_ / "Staff.DAT", std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(8);  // FormatVersion
    file.put(4);
  }
  TDataCursor cursor(*db_);
  cursor.SetTableName("Staff");
  EXPECT_EQ(ErrorOf([&] { cursor.Open(); }), TABULA_OLDVERSION);
  EXPECT_TRUE(db_->Tables().empty());
}

TEST_F(DataTableTest, DeleteAndRenameTable) {
  Create("Staff");
  TDataCursor cursor(*db_);
  cursor.SetTableName("Staff");
  cursor.RenameTable("People");
  EXPECT_FALSE(fs::exists(dir_ / "Staff.DAT"));
  EXPECT_TRUE(fs::exists(dir_ / "People.DAT"));
  EXPECT_TRUE(fs::exists(dir_ / "People.IDX"));
  cursor.SetTableName("People");
  cursor.DeleteTable();
  EXPECT_FALSE(fs::exists(dir_ / "People.DAT"));
  EXPECT_FALSE(fs::exists(dir_ / "People.IDX"));
  EXPECT_TRUE(db_->Tables().empty());

  Create("Staff");
  auto open = OpenCursor("Staff");
  EXPECT_EQ(db_->DeleteTable("staff", false), -static_cast<int>(TABULA_OSEACCES));
  EXPECT_EQ(db_->RenameTable("staff", false, "X"), -static_cast<int>(TABULA_OSEACCES));
  EXPECT_EQ(db_->CreateTable("staff", false, StaffDefinition()),
            -static_cast<int>(TABULA_OSEACCES));
}

// ---- CreateTable validation ------------------------------------------------------------------

TEST_F(DataTableTest, CreateTableValidation) {
  struct TCase {
    const char* name;
    std::function<void(TTableDefinition&)> change;
    std::uint16_t expected;
    const char* field;
  };
  auto many_fields = [](TTableDefinition& d) {
    d.Fields.clear();
    for (int i = 0; i < 1025; ++i) d.Fields.push_back(Field("F" + std::to_string(i), fldSmallInt));
  };
  const TCase cases[] = {
      {"encrypted, empty password",
       [](TTableDefinition& d) {
         d.Encrypted = true;
         d.Password = "   ";
       },
       TABULA_INVALIDPASSWORD, ""},
      {"encrypted, 16 characters",
       [](TTableDefinition& d) {
         d.Encrypted = true;
         d.Password = "0123456789abcdef";
       },
       TABULA_INVALIDPASSWORD, ""},
      {"password checked before the field limit",
       [&](TTableDefinition& d) {
         many_fields(d);
         d.Encrypted = true;
       },
       TABULA_INVALIDPASSWORD, ""},
      {"unknown locale", [](TTableDefinition& d) { d.LocaleID = 0x7FFF; }, TABULA_CANNOTLOADLDDRV,
       ""},
      {"1025 fields", many_fields, TABULA_FLDLIMIT, ""},
      {"last record identifier -2", [](TTableDefinition& d) { d.LastRecordID = -2; },
       TABULA_FLDLIMIT, ""},
      {"33 indexes", [](TTableDefinition& d) { d.Indexes.resize(33); }, TABULA_INDEXLIMIT, ""},
      {"BLOB block size 63", [](TTableDefinition& d) { d.BlobBlockSize = 63; }, TABULA_BLOBLIMIT,
       ""},
      {"Name and NAME", [](TTableDefinition& d) { d.Fields.push_back(Field("NAME", fldInteger)); },
       TABULA_INVALIDFIELDNAME, "NAME"},
      {"blank name", [](TTableDefinition& d) { d.Fields[1].FieldName = "  "; },
       TABULA_INVALIDFIELDNAME, ""},
      {"name starting with a digit", [](TTableDefinition& d) { d.Fields[1].FieldName = "1st"; },
       TABULA_INVALIDFIELDNAME, "1st"},
      {"field number twice",
       [](TTableDefinition& d) {
         d.Fields[0].FieldNo = 2;
         d.Fields[1].FieldNo = 2;
       },
       TABULA_INVALIDFLDTYPE, "Name"},
      {"type 0", [](TTableDefinition& d) { d.Fields[2].FieldType = fldUnknown; },
       TABULA_INVALIDFLDTYPE, "Joined"},
      {"string of 251", [](TTableDefinition& d) { d.Fields[1].FieldSize = 251; },
       TABULA_INVALIDFLDTYPE, "Name"},
      {"integer minimum not a number", [](TTableDefinition& d) { d.Fields[0].MinValue = "abc"; },
       TABULA_INVALIDVCHKSTRUCT, "Id"},
      {"smallint maximum out of range",
       [](TTableDefinition& d) {
         d.Fields.push_back(Field("S", fldSmallInt));
         d.Fields[3].MaxValue = "40000";
       },
       TABULA_INVALIDVCHKSTRUCT, "S"},
      {"date default month 13",
       [](TTableDefinition& d) { d.Fields[2].DefaultValue = "2020-13-01"; },
       TABULA_INVALIDVCHKSTRUCT, "Joined"},
      {"boolean default yes",
       [](TTableDefinition& d) {
         d.Fields.push_back(Field("B", fldBoolean));
         d.Fields[3].DefaultValue = "yes";
       },
       TABULA_INVALIDVCHKSTRUCT, "B"},
      {"index on a field that does not exist",
       [](TTableDefinition& d) { d.Indexes[0].FieldNumbers = {9}; }, TABULA_INVALIDIDXDESC, ""},
      {"secondary index without a name",
       [](TTableDefinition& d) {
         TIndexDefinition second;
         second.Name = "1x";
         second.FieldNumbers = {2};
         second.FieldDescending = {false};
         d.Indexes.push_back(second);
       },
       TABULA_INVALIDINDEXNAME, ""},
  };
  for (const TCase& c : cases) {
    TTableDefinition definition = StaffDefinition();
    c.change(definition);
    TDataCursor cursor(*db_);
    cursor.SetTableName("Bad");
    try {
      cursor.CreateTable(definition);
      ADD_FAILURE() << c.name << ": no error";
    } catch (const ETabulaEngineError& error) {
      EXPECT_EQ(error.ErrorCode(), c.expected) << c.name;
      EXPECT_EQ(error.ErrorTableName(), "Bad") << c.name;
      EXPECT_EQ(error.ErrorFieldName(), c.field) << c.name;
    }
    EXPECT_FALSE(db_->TableExists("Bad", false)) << c.name;
    EXPECT_FALSE(fs::exists(dir_ / "Bad.IDX")) << c.name;
  }
}

// The BLOB file header by hand: change counter, version 5, free chain, next block, the
// header-changed flag; 512 bytes.
std::vector<char> BlobHeaderBytes(std::uint32_t change_count, std::int32_t next_block,
                                  std::uint8_t changed) {
  std::vector<std::uint8_t> bytes(512, 0);
  EncodeFixed32(&bytes[0], change_count);
  bytes[8] = 5;
  EncodeFixed32(&bytes[13], static_cast<std::uint32_t>(next_block));
  bytes[17] = changed;
  return std::vector<char>(bytes.begin(), bytes.end());
}

TEST_F(DataTableTest, BlobFileIsCreatedOpenedFlushedAndEmptiedWithTheTable) {
  TTableDefinition definition = StaffDefinition();
  definition.Fields.push_back(Field("Notes", fldBlob));
  definition.Fields.back().FieldSubType = fldstMemo;
  definition.BlobBlockSize = 1024;
  Create("Memo", definition);
  EXPECT_EQ(FileBytes(dir_ / "Memo.BLB"), BlobHeaderBytes(1, 1, 1));
  // A table without BLOB fields has no BLOB file.
  Create("Staff");
  EXPECT_FALSE(fs::exists(dir_ / "Staff.BLB"));

  {
    auto cursor = OpenCursor("Memo", true);
    TDataTable& table = *cursor->Table();
    ASSERT_TRUE(table.HasBlobFile());
    EXPECT_EQ(table.BlobFile().BlockSize(), 1024);
    const std::vector<std::uint8_t> value(3000, 'x');
    EXPECT_EQ(table.BlobFile().WriteValue(0, 0, 1, value.data(), value.size()), 1);
    // Exclusive: nothing reaches the file before the table is flushed.
    table.Flush(false, false, false);
    EXPECT_EQ(fs::file_size(dir_ / "Memo.BLB"), 512u);
    table.Flush(false, false, false, /*force_write=*/true);
    EXPECT_EQ(fs::file_size(dir_ / "Memo.BLB"), 512u + 3 * 1024);
    cursor->EmptyTable();
    EXPECT_EQ(table.BlobFile().Header().NextBlock, 1);
  }
  // Closing the exclusive table wrote the emptied header.
  const std::vector<char> bytes = FileBytes(dir_ / "Memo.BLB");
  ASSERT_EQ(bytes.size(), 512u);
  EXPECT_EQ(DecodeFixed32(reinterpret_cast<const std::uint8_t*>(&bytes[13])), 1u);

  // A table with BLOB fields cannot open without its BLOB file, and leaves nothing open.
  fs::remove(dir_ / "Memo.BLB");
  TDataCursor cursor(*db_);
  cursor.SetTableName("Memo");
  EXPECT_EQ(ErrorOf([&] { cursor.Open(); }), TABULA_OSENOENT);
  EXPECT_TRUE(db_->Tables().empty());
}

TEST_F(DataTableTest, AnotherProcessesBlobWriteDropsTheCachedBlocks) {
  TTableDefinition definition = StaffDefinition();
  definition.Fields.push_back(Field("Notes", fldBlob));
  definition.Fields.back().FieldSubType = fldstMemo;
  Create("Memo", definition);
  auto cursor = OpenCursor("Memo");
  TDataTable& table = *cursor->Table();
  const std::vector<std::uint8_t> first(700, 'a');
  table.Locks().LockWrite();
  ASSERT_EQ(table.DataFile().NewBlobID(), 1);
  ASSERT_EQ(table.BlobFile().WriteValue(0, 0, 1, first.data(), first.size()), 1);
  table.Flush(false, false, false);
  table.Locks().UnlockWrite();
  std::vector<std::uint8_t> value;
  table.BlobFile().ReadValue(nullptr, 1, 1, &value);
  ASSERT_GT(table.BlobFile().CachedCount(), 0u);

  // The other process rewrites the value under a new owner; it changes the data header too
  // (the new owner identifier), so both counters move.
  const std::int64_t result = RunInChild([&] {
    TDataSession session;
    TDataDirectory* db = session.OpenDatabase("", dir_.string());
    TDataCursor other(*db);
    other.SetTableName("Memo");
    other.Open();
    TDataTable& t = *other.Table();
    t.Locks().LockWrite();
    const std::int32_t owner = t.DataFile().NewBlobID();
    const std::vector<std::uint8_t> second(600, 'b');
    const std::int32_t block = t.BlobFile().WriteValue(1, 1, owner, second.data(), second.size());
    t.Flush(false, false, false);
    t.Locks().UnlockWrite();
    return std::int64_t{block} * 1000 + owner;
  });
  ASSERT_EQ(result, 1002);
  EXPECT_TRUE(table.CheckForChanges());
  EXPECT_EQ(table.BlobFile().CachedCount(), 0u);
  EXPECT_EQ(ErrorOf([&] { table.BlobFile().ReadValue(nullptr, 1, 1, &value); }),
            TABULA_KEYORRECDELETED);
  table.BlobFile().ReadValue(nullptr, 1, 2, &value);
  EXPECT_EQ(value, std::vector<std::uint8_t>(600, 'b'));
  EXPECT_FALSE(table.CheckForChanges());
}

TEST_F(DataTableTest, EncryptedTableScramblesTheBlobHeader) {
  TTableDefinition definition = StaffDefinition();
  definition.Fields.push_back(Field("Photo", fldBlob));
  definition.Fields.back().FieldSubType = fldstGraphic;
  definition.Encrypted = true;
  definition.Password = "Secret";
  Create("Pay", definition);
  std::vector<char> expected = BlobHeaderBytes(1, 1, 1);
  ScrambleRun(reinterpret_cast<std::uint8_t*>(expected.data()), expected.size(), kDataSeed);
  EXPECT_EQ(FileBytes(dir_ / "Pay.BLB"), expected);
  session_->AddPassword("Secret");
  auto cursor = OpenCursor("Pay");
  EXPECT_EQ(cursor->Table()->BlobFile().Header().ChangeCount, 1u);
  EXPECT_TRUE(cursor->Table()->BlobFile().Encrypted());
}

TEST_F(DataTableTest, CreateTableAcceptsValueLiteralsAndNormalisesFields) {
  TTableDefinition definition = StaffDefinition();
  definition.Fields[0].MinValue = "-5";
  definition.Fields[0].FieldSize = 9;   // not a sized type: becomes 0
  definition.Fields[0].FieldScale = 3;  // not BCD: becomes 0
  definition.Fields[1].FieldName = "  Full name of the person with a long name  ";
  definition.Fields[2].DefaultValue = "current_date";
  definition.Fields.push_back(Field("At", fldTimeStamp));
  definition.Fields[3].MinValue = "2024-02-29 12:30 PM";
  definition.Fields.push_back(Field("T", fldTime));
  definition.Fields[4].MaxValue = "23:59:59.999";
  definition.Fields.push_back(Field("Amount", fldBCD));
  definition.Fields[5].FieldScale = 2;
  definition.Fields[5].DefaultValue = "-12.50";
  Create("Fine", definition);
  auto cursor = OpenCursor("Fine");
  EXPECT_EQ(cursor->GetDescriptor(1).FieldSize, 0);
  EXPECT_EQ(cursor->GetDescriptor(1).FieldScale, 0);
  EXPECT_EQ(cursor->GetDescriptor(2).FieldName, "Full name of the person with a");
  EXPECT_EQ(cursor->GetDescriptor(6).FieldScale, 2);
  EXPECT_TRUE(cursor->HasValueChecks());
  EXPECT_TRUE(cursor->HasDefaults());
}

// ---- Database ------------------------------------------------------------------------------

class TThreadIdPlatform : public TInstrumentedPlatform {
 public:
  std::uint32_t ThreadId() override { return thread_id; }
  std::uint32_t thread_id = 0;
};

TEST(TempNamePrefixTest, FirstFiveDigitsOfTheAbsoluteValue) {
  EXPECT_EQ(TempNamePrefix(1234567), "12345");
  EXPECT_EQ(TempNamePrefix(42), "42");
  EXPECT_EQ(TempNamePrefix(static_cast<std::uint32_t>(-987654)), "98765");
  EXPECT_EQ(TempNamePrefix(0x80000000u), "21474");
}

TEST_F(DataTableTest, MakeTempTableNameSkipsNamesInUse) {
  TThreadIdPlatform platform;
  platform.thread_id = 7654321;
  TScopedPlatform installed(&platform);
  EXPECT_EQ(db_->MakeTempTableName(false), "765430.DAT");
  Create("765430.DAT");
  EXPECT_EQ(db_->MakeTempTableName(false), "765431.DAT");
  // In-memory tables are another name space.
  EXPECT_EQ(db_->MakeTempTableName(true), "765430.DAT");
}

TEST_F(DataTableTest, TableExistsForAnOpenTableTouchesNoFile) {
  Create("Staff");
  auto cursor = OpenCursor("Staff.DAT");
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  platform.ResetCounts();
  EXPECT_TRUE(db_->TableExists(" staff ", false));
  EXPECT_EQ(platform.FileCalls(), 0u);
  EXPECT_FALSE(db_->TableExists("staff", true));
  EXPECT_FALSE(db_->TableExists("Other", false));
}

TEST_F(DataTableTest, NamesCompareTrimmedWithoutCaseAndTheExtensionCounts) {
  Create("Staff");
  auto a = OpenCursor("Staff");
  auto b = OpenCursor("  STAFF");
  auto c = OpenCursor("Staff.dat");
  EXPECT_EQ(a->Table(), b->Table());
  EXPECT_NE(a->Table(), c->Table());
  EXPECT_EQ(db_->Tables().size(), 2u);
}

TEST_F(DataTableTest, DeleteThroughATemporaryObjectLeavesTheListAlone) {
  Create("Staff");
  Create("Other");
  auto cursor = OpenCursor("Other");
  ASSERT_EQ(db_->Tables().size(), 1u);
  EXPECT_EQ(db_->DeleteTable("Staff", false), 0);
  EXPECT_FALSE(fs::exists(dir_ / "Staff.DAT"));
  EXPECT_EQ(db_->Tables().size(), 1u);
  EXPECT_EQ(db_->Tables()[0].get(), cursor->Table());
}

TEST_F(DataTableTest, ReleaseOfAnUnknownTable) {
  TDataTable stranger(*db_, "Stranger");
  EXPECT_EQ(db_->ReleaseTable(&stranger, false), -static_cast<int>(TABULA_OSENOENT));
}

TEST_F(DataTableTest, TableClosedDuringTransactionStaysListedUntilItEnds) {
  Create("Staff");
  for (bool commit : {true, false}) {
    auto cursor = OpenCursor("Staff");
    TDataTable* table = cursor->Table();
    ASSERT_EQ(db_->StartTransaction(), 0);
    EXPECT_TRUE(table->InTransaction());
    cursor->Close();
    ASSERT_EQ(db_->Tables().size(), 1u) << commit;
    EXPECT_TRUE(table->IsOpen());
    // Opening it again during the transaction finds the same object.
    auto again = OpenCursor("Staff");
    EXPECT_EQ(again->Table(), table);
    again->Close();
    EXPECT_EQ(commit ? db_->Commit(true, false) : db_->Rollback(), 0);
    EXPECT_TRUE(db_->Tables().empty()) << commit;
    EXPECT_FALSE(db_->InTransaction());
  }
}

TEST_F(DataTableTest, RollbackLeavesTheFilesByteIdentical) {
  Create("Staff");
  auto cursor = OpenCursor("Staff");
  AppendRecord(*cursor, 1, "Ann");
  const std::vector<char> data_before = FileBytes(dir_ / "Staff.DAT");
  const std::vector<char> index_before = FileBytes(dir_ / "Staff.IDX");

  ASSERT_EQ(db_->StartTransaction(), 0);
  AppendRecord(*cursor, 2, "Bob");
  AppendRecord(*cursor, 3, "Cid");
  EXPECT_EQ(cursor->Table()->DataFile().PhysicalRecordCount(), 3);
  EXPECT_EQ(FileBytes(dir_ / "Staff.DAT"), data_before);
  ASSERT_EQ(db_->Rollback(), 0);

  EXPECT_EQ(FileBytes(dir_ / "Staff.DAT"), data_before);
  EXPECT_EQ(FileBytes(dir_ / "Staff.IDX"), index_before);
  EXPECT_EQ(cursor->Table()->DataFile().PhysicalRecordCount(), 1);
  EXPECT_EQ(cursor->Table()->DataFile().Cache()->CachedCount(), 0u);
  EXPECT_EQ(cursor->Table()->IndexFile().RecordCount(), 1u);
  EXPECT_FALSE(cursor->Table()->Locks().TransactionLockHeld());

  // The same changes committed reach the files.
  ASSERT_EQ(db_->StartTransaction(), 0);
  AppendRecord(*cursor, 2, "Bob");
  ASSERT_EQ(db_->Commit(true, true), 0);
  EXPECT_EQ(fs::file_size(dir_ / "Staff.DAT"),
            data_before.size() + static_cast<std::size_t>(cursor->RecordSize()));
  cursor->Close();

  auto reader = OpenCursor("Staff", false, false, true);
  std::vector<std::string> names;
  std::uint8_t value[32];
  while (reader->GetNextRecord(nullptr) == 0) {
    reader->GetField(2, reader->RecordImage().data(), value);
    names.emplace_back(reinterpret_cast<const char*>(value));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Ann", "Bob"}));
  EXPECT_EQ(reader->Table()->IndexFile().RecordCount(), 2u);
}

TEST_F(DataTableTest, FlushReachesTheDeviceOnlyWhenAsked) {
  Create("Staff");
  auto cursor = OpenCursor("Staff");
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  for (bool force : {false, true}) {
    session_->SetForceBufferFlush(force);
    platform.ResetCounts();
    AppendRecord(*cursor, 1, "Ann");
    EXPECT_GT(platform.Count(TInstrumentedPlatform::kWrite), 0u) << force;
    // Data file and index file each once.
    EXPECT_EQ(platform.Count(TInstrumentedPlatform::kSync), force ? 2u : 0u) << force;
  }
  // Nothing changed: nothing written.
  platform.ResetCounts();
  cursor->Table()->Flush(true, false, true);
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kWrite), 0u);
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kSync), 0u);
}

TEST_F(DataTableTest, ExclusiveTableWritesAtClose) {
  Create("Staff");
  const std::vector<char> before = FileBytes(dir_ / "Staff.DAT");
  auto cursor = OpenCursor("Staff", true);
  AppendRecord(*cursor, 1, "Ann");
  EXPECT_EQ(FileBytes(dir_ / "Staff.DAT"), before);
  cursor->Close();
  EXPECT_GT(fs::file_size(dir_ / "Staff.DAT"), before.size());
}

TEST_F(DataTableTest, AnotherProcessSeesTheChangeThroughTheCounters) {
  Create("Staff");
  auto cursor = OpenCursor("Staff", false, false, true);
  TDataTable* table = cursor->Table();
  EXPECT_FALSE(table->CheckForChanges());
  const std::int64_t result = RunInChild([&] {
    TDataSession session;
    TDataDirectory* db = session.OpenDatabase("", dir_.string());
    TDataCursor other(*db);
    other.SetTableName("Staff");
    other.Open();
    other.Table()->Locks().LockWrite();
    AppendRecord(other, 5, "Eve");
    other.Table()->Locks().UnlockWrite();
    return std::int64_t{other.Table()->DataFile().PhysicalRecordCount()};
  });
  ASSERT_EQ(result, 1);
  EXPECT_TRUE(table->CheckForChanges());
  EXPECT_EQ(table->DataFile().PhysicalRecordCount(), 1);
  EXPECT_FALSE(table->CheckForChanges());
  cursor->SetToBegin();
  ASSERT_EQ(cursor->GetNextRecord(nullptr), 0);
  std::uint8_t value[32];
  cursor->GetField(2, cursor->RecordImage().data(), value);
  EXPECT_STREQ(reinterpret_cast<const char*>(value), "Eve");
}

TEST_F(DataTableTest, BackupAndRestoreIndex) {
  Create("Staff");
  auto cursor = OpenCursor("Staff", true);
  TDataTable* table = cursor->Table();
  table->BackupIndex();
  ASSERT_TRUE(fs::exists(dir_ / "Staff.IBK"));
  const std::vector<char> backup = FileBytes(dir_ / "Staff.IBK");
  AppendRecord(*cursor, 1, "Ann");
  table->Flush(false, true, false, true);
  EXPECT_NE(FileBytes(dir_ / "Staff.IDX"), backup);
  table->RestoreIndex(false, true);
  EXPECT_EQ(FileBytes(dir_ / "Staff.IDX"), backup);
  EXPECT_FALSE(fs::exists(dir_ / "Staff.IBK"));
  EXPECT_EQ(table->IndexFile().RecordCount(), 0u);
}

TEST_F(DataTableTest, InMemoryTable) {
  TDataCursor creator(*db_);
  creator.SetTableName("Scratch");
  creator.SetInMemory(true);
  creator.CreateTable(StaffDefinition());
  EXPECT_FALSE(fs::exists(dir_ / "Scratch.DAT"));
  EXPECT_TRUE(db_->TableExists("Scratch", true));
  EXPECT_FALSE(db_->TableExists("Scratch", false));
  TDataCursor cursor(*db_);
  cursor.SetTableName("Scratch");
  cursor.SetInMemory(true);
  cursor.SetNaturalOrder(true);
  cursor.Open();
  EXPECT_TRUE(cursor.Table()->InMemory());
  AppendRecord(cursor, 1, "Ann");
  cursor.SetToBegin();
  EXPECT_EQ(cursor.GetNextRecord(nullptr), 0);
  cursor.Close();
  TDataCursor remover(*db_);
  remover.SetTableName("Scratch");
  remover.SetInMemory(true);
  remover.DeleteTable();
  EXPECT_FALSE(db_->TableExists("Scratch", true));
}

}  // namespace
}  // namespace tabula
