// Runs the tabula-info binary on tables made for the test and checks what it prints.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/index/index_file.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_file.h"
#include "engine/storage/data_session.h"

namespace tabula {
namespace {

struct TRunResult {
  int exit_code = -1;
  bool signalled = false;
  std::string out;
  std::string err;
};

TFieldDescriptor Field(std::uint16_t no, const char* name, std::uint8_t type, std::uint8_t size = 0,
                       std::uint8_t subtype = 0) {
  TFieldDescriptor d;
  d.FieldNo = no;
  d.FieldName = name;
  d.FieldType = type;
  d.FieldSubType = subtype;
  d.FieldSize = size;
  return d;
}

class TabulaInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "tabula_info_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + name; }

  std::string ReadText(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TRunResult Run(const std::string& arguments) const {
    const std::string binary = std::string(TABULA_BINARY_DIR) + "/tools/tabula-info";
    const std::string command = "'" + binary + "' " + arguments + " > '" + Path("out.txt") +
                                "' 2> '" + Path("err.txt") + "'";
    const int status = std::system(command.c_str());
    TRunResult result;
    result.signalled = WIFSIGNALED(status);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.out = ReadText(Path("out.txt"));
    result.err = ReadText(Path("err.txt"));
    return result;
  }

  // STAFF.DAT: Name string(20), ID auto-increment, Hired date, Rate BCD(2), Active boolean;
  // records "Ann", "Smith, Bob" (deleted: "Gone") and an all-null one.
  void CreateStaff(bool encrypted = false) {
    std::vector<TFieldDescriptor> fields = {
        Field(1, "Name", fldString, 20), Field(2, "ID", fldInteger, 0, fldstAutoInc),
        Field(3, "Hired", fldDate), Field(4, "Rate", fldBCD), Field(5, "Active", fldBoolean)};
    fields[3].FieldScale = 2;
    fields[0].Required = true;
    fields[0].DefaultValue = "nobody";
    AssignFieldLayout(fields);
    TDataFile file;
    file.SetFileName(Path("STAFF.DAT"));
    file.CreateTable(0x0409, 0, fields, 512, "Staff, all of them", encrypted ? "pw" : "", encrypted,
                     2, 5);
    const char* names[] = {"Ann", "Gone", "Smith, Bob", ""};
    for (int i = 0; i < 4; ++i) {
      TRecord* record = file.Cache()->GetRecord(nullptr, file.NextRecordNo(), false,
                                                TReadDirection::kForward, false);
      InitRecordImage(record->Image(), record->ImageSize(), record->RecordNo(), file.NewRecordID());
      StoreFieldValue(fields[0], record->Image(), record->ImageSize(),
                      reinterpret_cast<const std::uint8_t*>(names[i]), std::strlen(names[i]));
      if (i < 3) {
        const std::int32_t day = EncodeDate(2020, 3, i + 1);
        StoreFieldValue(fields[2], record->Image(), record->ImageSize(),
                        reinterpret_cast<const std::uint8_t*>(&day), 4);
        std::uint8_t bcd[34];
        EncodeBcd(bcd, 125000 * (i + 1), 2);  // 12.50 × (i + 1)
        StoreFieldValue(fields[3], record->Image(), record->ImageSize(), bcd, 34);
        const std::uint8_t active[2] = {static_cast<std::uint8_t>(i % 2 == 0), 0};
        StoreFieldValue(fields[4], record->Image(), record->ImageSize(), active, 2);
      }
      record->SetDirty(true);
      if (i == 1) file.FreeRecord(record);
      file.Cache()->Unpin(record);
    }
    file.Cache()->WriteDirty();
    file.WriteHeader();
    file.WriteDescriptors();
  }

  std::string dir_;
};

TEST_F(TabulaInfoTest, PrintsHeaderAndDescriptorsAligned) {
  CreateStaff();
  const TRunResult r = Run("'" + Path("Staff") + "'");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* line :
       {"Format version     3.00 (5)\n", "Records            4\n", "First free record  2\n",
        "Record size        74\n", "Change counter     1\n", "Encrypted          no\n",
        "Locale             0x0409, sort 0\n", "User version       2.5\n",
        "Engine version     32400\n", "Description        Staff, all of them\n"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  EXPECT_NE(r.out.find("No  Name    Type     Subtype  Size  Scale  Offset  Required  Min  Max  "
                       "Default\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1   Name    string   0        20    0      9       yes                 "
                       "nobody\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("2   ID      integer  29       0     0      5       no"), std::string::npos);
  EXPECT_NE(r.out.find("4   Rate    BCD      0        0     2      36"), std::string::npos);
  EXPECT_EQ(r.out.find("Ann"), std::string::npos);  // records only when asked
}

TEST_F(TabulaInfoTest, RecordsAsCsvSkipDeletedRecords) {
  CreateStaff(/*encrypted=*/true);
  const std::string before = ReadText(Path("STAFF.DAT"));
  const TRunResult r = Run("--records '" + Path("staff.dat") + "'");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Encrypted          yes\n"), std::string::npos);
  EXPECT_NE(r.out.find("Description        Staff, all of them\n"), std::string::npos);
  const std::string csv =
      "Name,ID,Hired,Rate,Active\n"
      "Ann,1,2020-03-01,12.50,true\n"
      "\"Smith, Bob\",3,2020-03-03,37.50,true\n"
      ",4,,,\n";
  ASSERT_GE(r.out.size(), csv.size());
  EXPECT_EQ(r.out.substr(r.out.size() - csv.size()), csv) << r.out;
  EXPECT_EQ(ReadText(Path("STAFF.DAT")), before);  // the tool only reads
}

TEST_F(TabulaInfoTest, DamagedForeignAndMissingFilesFailWithTheEngineError) {
  CreateStaff();
  std::string sound = ReadText(Path("STAFF.DAT"));
  struct Row {
    const char* what;
    std::string bytes;
    const char* error;
  };
  std::string wrong_size = sound;
  wrong_size[21] = static_cast<char>(wrong_size[21] + 1);
  std::string old_version = sound;
  old_version[8] = 3;
  std::string many_fields = sound;
  EncodeFixed16(reinterpret_cast<std::uint8_t*>(&many_fields[23]), 2000);
  const Row rows[] = {
      {"truncated header", sound.substr(0, 60), "TABULA_READERR"},
      {"record size", wrong_size, "TABULA_HEADERCORRUPT"},
      {"old version", old_version, "TABULA_OLDVERSION"},
      {"2000 fields", many_fields, "TABULA_HEADERCORRUPT"},
      {"foreign file", std::string(500, 'x'), "TABULA_HEADERCORRUPT"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    {
      std::ofstream out(Path("BAD.DAT"), std::ios::binary | std::ios::trunc);
      out << row.bytes;
    }
    const TRunResult r = Run("--records '" + Path("BAD.DAT") + "'");
    EXPECT_FALSE(r.signalled);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(row.error), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("BAD"), std::string::npos) << r.err;
    EXPECT_EQ(ReadText(Path("BAD.DAT")), row.bytes);
  }
  const TRunResult missing = Run("'" + Path("NOSUCH") + "'");
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("TABULA_OSENOENT"), std::string::npos) << missing.err;

  const TRunResult usage = Run("");
  EXPECT_EQ(usage.exit_code, 2);
  EXPECT_NE(usage.err.find("usage: tabula-info"), std::string::npos);
  EXPECT_EQ(Run("--bogus x").exit_code, 2);
}

TEST_F(TabulaInfoTest, PrintsIndexDescriptorsAndReportsADamagedIndexFile) {
  // A table made by the engine: primary index on Id, secondary "ByName" (case-insensitive,
  // Name descending, then Id) holding 300 keys.
  {
    TDataSession session;
    TDataDirectory* db = session.OpenDatabase("", dir_.substr(0, dir_.size() - 1));
    TTableDefinition definition;
    definition.Fields = {Field(0, "Id", fldInteger), Field(0, "Name", fldString, 20)};
    TIndexDefinition primary;
    primary.FieldNumbers = {1};
    primary.FieldDescending = {false};
    TIndexDefinition by_name;
    by_name.Name = "ByName";
    by_name.FieldNumbers = {2, 1};
    by_name.FieldDescending = {true, false};
    by_name.CaseInsensitive = true;
    definition.Indexes = {primary, by_name};
    TDataCursor cursor(*db);
    cursor.SetTableName("People");
    cursor.CreateTable(definition);
  }
  {
    TIndexFile index;
    index.SetFileName(Path("People.IDX"));
    index.Open();
    const std::uint16_t key_length = index.Descriptor(1).KeyLength;
    ASSERT_EQ(key_length, 22 + 5 + 4);  // string(20) with its terminator, integer, suffix
    TBytewiseKeyComparator bytewise;
    std::vector<std::uint8_t> key(key_length, 0);
    for (std::uint32_t i = 1; i <= 300; ++i) {
      EncodeFixed32(key.data() + key_length - 4, i);
      index.InsertKey(1, bytewise, key.data(), i);
    }
    index.FlushPages();
    index.WriteHeader(true);
    index.Close();
  }
  const TRunResult r = Run("'" + Path("People") + "'");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Primary index   defined\n"), std::string::npos) << r.out;
  for (const char* row : {
           "0     (primary)    Id            unique",
           "1     ByName       Name desc;Id  case-insensitive",
           "31    Sys Deleted",
           "32    Sys Text",
       }) {
    EXPECT_NE(r.out.find(row), std::string::npos) << row << "\n" << r.out;
  }
  // ByName's tree holds every page of the file (nothing else has keys) and all 300 keys.
  TIndexHeader written;
  const std::string idx = ReadText(Path("People.IDX"));
  ASSERT_EQ(written.DecodeFrom(reinterpret_cast<const std::uint8_t*>(idx.data()), idx.size()), 0);
  const std::string pages = std::to_string(written.NextPage - 1);
  ASSERT_GT(written.NextPage - 1, 2u);
  EXPECT_NE(r.out.find("Pages           " + pages + "\n"), std::string::npos) << r.out;
  const std::size_t by_name = r.out.find("1     ByName");
  ASSERT_NE(by_name, std::string::npos);
  const std::string row = r.out.substr(by_name, r.out.find('\n', by_name) - by_name);
  EXPECT_NE(row.find("  31  "), std::string::npos) << row;
  EXPECT_EQ(row.substr(row.size() - 11 - pages.size()), "  " + pages + "      300") << row;

  // A child page number beyond the file is reported as a damaged index, never read.
  std::string bytes = ReadText(Path("People.IDX"));
  TIndexHeader header;
  ASSERT_EQ(header.DecodeFrom(reinterpret_cast<const std::uint8_t*>(bytes.data()), 4096), 0);
  const std::uint32_t root = header.Descriptors[1].RootPage;
  ASSERT_GT(root, 0u);
  header.Descriptors[1].RootPage = header.NextPage + 7;
  header.EncodeTo(reinterpret_cast<std::uint8_t*>(bytes.data()));
  {
    std::ofstream out(Path("People.IDX"), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  const TRunResult damaged = Run("'" + Path("People") + "'");
  EXPECT_FALSE(damaged.signalled);
  EXPECT_EQ(damaged.exit_code, 1);
  EXPECT_NE(damaged.err.find("TABULA_"), std::string::npos) << damaged.err;

  // Without an index file the data file is still shown.
  std::filesystem::remove(Path("People.IDX"));
  const TRunResult missing = Run("'" + Path("People") + "'");
  EXPECT_EQ(missing.exit_code, 0) << missing.err;
  EXPECT_NE(missing.out.find("(missing)"), std::string::npos) << missing.out;
}

TEST_F(TabulaInfoTest, ReportsTheBlobFileAndShowsMemosAsTextAndOtherValuesAsTheirSize) {
  {
    TDataSession session;
    TDataDirectory* db = session.OpenDatabase("", dir_.substr(0, dir_.size() - 1));
    TTableDefinition definition;
    definition.Fields = {Field(0, "Id", fldInteger), Field(0, "Notes", fldBlob, 0, fldstMemo),
                         Field(0, "Photo", fldBlob, 0, fldstGraphic)};
    definition.BlobBlockSize = 256;
    TDataCursor cursor(*db);
    cursor.SetTableName("Memo");
    cursor.CreateTable(definition);
    cursor.Open();
    struct TRow {
      std::int32_t id;
      std::string notes;
      std::size_t photo;
    };
    for (const TRow& row : {TRow{1, "He said \"hi\",\nthen left", 1000}, TRow{2, "", 0},
                            TRow{3, std::string(600, 'z'), 10}}) {
      std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor.RecordSize()));
      cursor.InitRecord(image.data());
      cursor.SetField(1, image.data(), reinterpret_cast<const std::uint8_t*>(&row.id), 4);
      std::uint32_t size = 0;
      if (!row.notes.empty()) {
        ASSERT_EQ(cursor.OpenBlob(2, image.data(), TDataCursor::bmWrite, true, &size), 0);
        ASSERT_EQ(cursor.PutBlob(2, image.data(), 0, static_cast<std::uint32_t>(row.notes.size()),
                                 reinterpret_cast<const std::uint8_t*>(row.notes.data())),
                  0);
      }
      if (row.photo != 0) {
        const std::vector<std::uint8_t> photo(row.photo, 7);
        ASSERT_EQ(cursor.OpenBlob(3, image.data(), TDataCursor::bmWrite, true, &size), 0);
        ASSERT_EQ(cursor.PutBlob(3, image.data(), 0, static_cast<std::uint32_t>(photo.size()),
                                 photo.data()),
                  0);
      }
      cursor.PostInsert(image.data(), false);
    }
    // Deleting record 3 puts its 3 + 1 blocks into the free chain.
    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor.RecordSize()));
    cursor.SetToBegin();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(cursor.GetNextRecord(image.data()), 0);
    cursor.DeleteCurrent(image.data(), false);
  }
  const TRunResult r = Run("--records '" + Path("Memo") + "'");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // 1000 bytes of photo in 238-byte blocks: 5; the memo of record 1: 1; record 3: 3 + 1.
  for (const char* line :
       {"Block size         256\n", "Blocks             10\n", "Free chain length  4\n"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  const std::string csv =
      "Id,Notes,Photo\n"
      "1,\"He said \"\"hi\"\",\nthen left\",1000 bytes\n"
      "2,,\n";
  ASSERT_GE(r.out.size(), csv.size());
  EXPECT_EQ(r.out.substr(r.out.size() - csv.size()), csv) << r.out;

  // Without its BLOB file the table is still described; its values cannot be shown.
  std::filesystem::remove(Path("Memo.BLB"));
  const TRunResult missing = Run("--records '" + Path("Memo") + "'");
  ASSERT_EQ(missing.exit_code, 0) << missing.err;
  EXPECT_NE(missing.out.find("Memo.BLB (missing)"), std::string::npos) << missing.out;
  EXPECT_NE(missing.out.find("1,?,?\n"), std::string::npos) << missing.out;
}

}  // namespace
}  // namespace tabula
