#include "engine/storage/data_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform_test_util.h"

namespace tabula {
namespace {

// A platform whose clock stands at 2024-01-02 12:00:00.000.
class TFixedClockPlatform : public TInstrumentedPlatform {
 public:
  TLocalDateTime LocalDateTime() override {
    TLocalDateTime now;
    now.year = 2024;
    now.month = 1;
    now.day = 2;
    now.hour = 12;
    return now;
  }
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

std::vector<TFieldDescriptor> StaffFields() {
  std::vector<TFieldDescriptor> fields = {Field(1, "Name", fldString, 10),
                                          Field(2, "Count", fldInteger)};
  AssignFieldLayout(fields);
  return fields;
}

// A simple owner that records what the data file tells it.
class TTestOwner : public TDataFileOwner {
 public:
  void TableModified() override { ++modified_calls; }
  bool TableWasModified() const override { return modified_calls > 0; }
  bool HoldsTransactionLock() const override { return false; }
  bool InternalPrimaryIndex() const override { return internal_primary_index; }
  int modified_calls = 0;
  bool internal_primary_index = false;
};

class DataFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "datafile_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + name; }

  std::vector<std::uint8_t> FileBytes(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  void WriteFileBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }

  // Creates STAFF.DAT with a string(10) and an integer field and writes header and descriptors.
  void CreateStaff(TDataFile& file, bool encrypted = false) {
    file.SetFileName(Path("STAFF.DAT"));
    file.CreateTable(0x0409, 0, StaffFields(), 1024, "Staff list", encrypted ? "secret" : "",
                     encrypted, 1, 7);
    file.WriteHeader();
    file.WriteDescriptors();
  }

  // Appends records named after `names` with Count = position, writes them and the header.
  static void AppendRecords(TDataFile& file, const std::vector<std::string>& names) {
    const std::vector<TFieldDescriptor> fields = file.Descriptors();
    for (std::size_t i = 0; i < names.size(); ++i) {
      TRecord* record = file.Cache()->GetRecord(nullptr, file.NextRecordNo(), false,
                                                TReadDirection::kForward, false);
      ASSERT_NE(record, nullptr);
      InitRecordImage(record->Image(), record->ImageSize(), record->RecordNo(), file.NewRecordID());
      ASSERT_EQ(
          StoreFieldValue(fields[0], record->Image(), record->ImageSize(),
                          reinterpret_cast<const std::uint8_t*>(names[i].data()), names[i].size()),
          0);
      const std::int32_t count = static_cast<std::int32_t>(i + 1);
      ASSERT_EQ(StoreFieldValue(fields[1], record->Image(), record->ImageSize(),
                                reinterpret_cast<const std::uint8_t*>(&count), 4),
                0);
      record->SetDirty(true);
      file.Cache()->Unpin(record);
    }
    file.Cache()->WriteDirty();
    file.WriteHeader();
  }

  std::string dir_;
};

// The descriptor of a plain string(10) "Name" at offset 9, by hand from the layout.
std::vector<std::uint8_t> NameDescriptorBytes() {
  std::vector<std::uint8_t> b(768, 0);
  b[0] = 1;
  b[2] = 4;
  std::memcpy(&b[3], "Name", 4);
  b[84] = 1;
  b[86] = 10;
  b[88] = 11;
  b[90] = 9;
  return b;
}

std::vector<std::uint8_t> CountDescriptorBytes() {
  std::vector<std::uint8_t> b(768, 0);
  b[0] = 2;
  b[2] = 5;
  std::memcpy(&b[3], "Count", 5);
  b[84] = 6;
  b[88] = 4;
  b[90] = 21;
  return b;
}

TEST_F(DataFileTest, FirstHeaderWriteOfANewTable) {
  TFixedClockPlatform platform;
  TScopedPlatform installed(&platform);
  TDataFile file;
  CreateStaff(file);
  file.Close();

  std::vector<std::uint8_t> want(127, 0);
  want[0] = 1;                         // ChangeCount 1
  want[5] = 0x04;                      // BlobBlockSize 1024
  want[8] = 5;                         // FormatVersion
  want[13] = 1;                        // NextRecordNo 1
  want[21] = 26;                       // RecordSize 9 + 12 + 5
  want[23] = 2;                        // FieldCount
  EncodeDouble(&want[27], -648300.5);  // 2024-01-02 12:00 = 45293.5, minus 693594
  want[35] = 10;
  std::memcpy(&want[36], "Staff list", 10);
  want[103] = 0x09;  // LocaleID 0x0409
  want[104] = 0x04;
  want[107] = 1;     // UserMajorVersion
  want[109] = 7;     // UserMinorVersion
  want[111] = 1;     // HeaderModified: the header had changed
  want[116] = 0x90;  // EngineVersion 32400 = 0x7E90
  want[117] = 0x7E;

  const std::vector<std::uint8_t> bytes = FileBytes("STAFF.DAT");
  ASSERT_EQ(bytes.size(), 127u + 2 * 768);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 127), want);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 127, bytes.begin() + 127 + 768),
            NameDescriptorBytes());
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 127 + 768, bytes.end()),
            CountDescriptorBytes());
}

TEST_F(DataFileTest, ReopenReadsHeaderAndDescriptors) {
  {
    TDataFile file;
    CreateStaff(file);
  }
  TDataFile file;
  file.SetFileName(Path("staff.dat"));  // found without regard to case
  file.Open();
  ASSERT_TRUE(file.Opened());
  EXPECT_EQ(file.Header().ChangeCount, 1);
  EXPECT_EQ(file.RecordSize(), 26);
  EXPECT_EQ(file.FieldCount(), 2);
  EXPECT_EQ(file.PhysicalRecordCount(), 0);
  EXPECT_EQ(file.GetBlobBlockSize(), 1024);
  EXPECT_EQ(file.GetDescription(), "Staff list");
  EXPECT_EQ(file.GetPassword(), "");
  EXPECT_FALSE(file.HeaderIsChanged());
  EXPECT_FALSE(file.DescriptorsChanged());
  EXPECT_EQ(file.GetDescriptorByName("COUNT").FieldOffset, 21);
  EXPECT_EQ(file.GetDescriptorByNumber(1).FieldName, "Name");
  EXPECT_EQ(file.GetDescriptor(1).FieldType, fldInteger);
  try {
    file.GetDescriptorByName("Missing");
    FAIL() << "no error";
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), TABULA_OUTOFRANGE);
    EXPECT_EQ(e.ErrorFieldName(), "Missing");
  }
  file.CheckHeader();                // a sound table passes the full checks
  EXPECT_FALSE(file.WriteHeader());  // nothing changed: nothing written
  EXPECT_FALSE(file.WriteDescriptors());
}

TEST_F(DataFileTest, RecordsRoundTripThroughTheCache) {
  TTestOwner owner;
  {
    TDataFile file;
    file.SetOwner(&owner);
    CreateStaff(file);
    AppendRecords(file, {"Ann", "Bob   ", "Cecilia"});
    EXPECT_GT(owner.modified_calls, 0);
  }
  const std::vector<std::uint8_t> bytes = FileBytes("STAFF.DAT");
  ASSERT_EQ(bytes.size(), 127u + 2 * 768 + 3 * 26);
  // Record 2 by hand: active, own number 2, identifier 2, "Bob" (trailing blanks gone), Count 2.
  std::vector<std::uint8_t> want(26, 0);
  want[1] = 2;
  want[5] = 2;
  want[9] = 1;
  std::memcpy(&want[10], "Bob", 3);
  want[21] = 1;
  want[22] = 2;
  const std::size_t at = 127 + 2 * 768 + 26;
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + at, bytes.begin() + at + 26), want);

  TDataFile file;
  file.SetFileName(Path("STAFF.DAT"));
  file.Open();
  EXPECT_EQ(file.PhysicalRecordCount(), 3);
  EXPECT_EQ(file.Header().LastRecordID, 3);
  file.CheckHeader();
  std::vector<std::uint8_t> images(10 * 26);
  ASSERT_EQ(file.ReadRecordImages(1, 10, images.data()), 3);
  EXPECT_EQ(std::memcmp(&images[26], want.data(), 26), 0);
  TRecord* third = file.Cache()->GetRecord(nullptr, 3, true, TReadDirection::kForward, false);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(third->Image() + 10)), "Cecilia");
  file.Cache()->Unpin(third);
}

TEST_F(DataFileTest, EncryptedTableScramblesDescriptorsRecordsAndTexts) {
  {
    TDataFile file;
    CreateStaff(file, /*encrypted=*/true);
    AppendRecords(file, {"Ann"});
  }
  const std::vector<std::uint8_t> bytes = FileBytes("STAFF.DAT");
  ASSERT_EQ(bytes.size(), 127u + 2 * 768 + 26);
  EXPECT_EQ(bytes[35], 10);  // the length byte stays plain
  EXPECT_NE(std::string(bytes.begin() + 36, bytes.begin() + 46), "Staff list");
  EXPECT_EQ(bytes[86], 1);
  EXPECT_EQ(bytes[87], 6);
  // The descriptor area is one run under the data seed.
  std::vector<std::uint8_t> descriptors(bytes.begin() + 127, bytes.begin() + 127 + 1536);
  ScrambleRun(descriptors.data(), descriptors.size(), kDataSeed);
  EXPECT_EQ(std::vector<std::uint8_t>(descriptors.begin(), descriptors.begin() + 768),
            NameDescriptorBytes());
  // Each record is a run of its own.
  std::vector<std::uint8_t> record(bytes.begin() + 127 + 1536, bytes.end());
  EXPECT_NE(record[10], 'A');
  ScrambleRun(record.data(), record.size(), kDataSeed);
  EXPECT_EQ(record[1], 1);
  EXPECT_EQ(std::memcmp(&record[10], "Ann", 4), 0);

  TDataFile file;
  file.SetFileName(Path("STAFF.DAT"));
  file.Open();
  EXPECT_TRUE(file.Encrypted());
  EXPECT_EQ(file.GetDescription(), "Staff list");
  EXPECT_EQ(file.GetPassword(), "secret");
  EXPECT_EQ(file.GetDescriptor(0).FieldName, "Name");
  std::uint8_t image[26];
  ASSERT_EQ(file.ReadRecordImages(1, 1, image), 1);
  EXPECT_EQ(std::memcmp(&image[10], "Ann", 4), 0);
  file.CheckHeader();
}

TEST_F(DataFileTest, EmptyTableCutsTheFileAfterTheDescriptors) {
  TDataFile file;
  CreateStaff(file);
  AppendRecords(file, {"Ann", "Bob"});
  ASSERT_EQ(FileBytes("STAFF.DAT").size(), 127u + 1536 + 52);
  file.EmptyTable();
  EXPECT_EQ(FileBytes("STAFF.DAT").size(), 127u + 1536);
  EXPECT_TRUE(file.HeaderIsChanged());
  EXPECT_EQ(file.Header().ChangeCount, 0);
  EXPECT_EQ(file.NextRecordNo(), 1);
  EXPECT_EQ(file.Header().LastRecordID, 0);
  EXPECT_EQ(file.Cache()->CachedCount(), 0u);
  file.WriteHeader();
  EXPECT_EQ(file.Header().ChangeCount, 1);
  file.CheckHeader();
}

TEST_F(DataFileTest, ChangeCounterTellsOtherHandlersOfAHeaderWrite) {
  {
    TDataFile file;
    CreateStaff(file);
  }
  TDataFile reader;
  TDataFile writer;
  reader.SetFileName(Path("STAFF.DAT"));
  writer.SetFileName(Path("STAFF.DAT"));
  reader.Open();
  writer.Open();
  EXPECT_FALSE(reader.HeaderChanged());
  EXPECT_EQ(writer.NewRecordID(), 1);
  EXPECT_TRUE(writer.HeaderIsChanged());
  EXPECT_TRUE(writer.WriteHeader());
  EXPECT_EQ(writer.Header().ChangeCount, 2);
  EXPECT_TRUE(reader.HeaderChanged());
  EXPECT_EQ(reader.Header().LastRecordID, 1);
  EXPECT_FALSE(reader.HeaderChanged());

  // Touching counts a change without writing; the next write counts again.
  writer.TouchHeader();
  EXPECT_EQ(writer.Header().ChangeCount, 3);
  EXPECT_FALSE(reader.HeaderChanged());
  writer.WriteHeader();
  EXPECT_EQ(writer.Header().ChangeCount, 4);
  EXPECT_TRUE(reader.HeaderChanged());
  EXPECT_EQ(reader.Header().ChangeCount, 4);
}

TEST_F(DataFileTest, DeletedRecordsAreReusedUnlessRecordsKeepInsertionOrder) {
  for (const bool internal : {false, true}) {
    SCOPED_TRACE(internal ? "internal primary index" : "free chain");
    TTestOwner owner;
    owner.internal_primary_index = internal;
    TDataFile file;
    file.SetOwner(&owner);
    CreateStaff(file);
    AppendRecords(file, std::vector<std::string>(10, "x"));
    for (std::int32_t number : {3, 7}) {
      TRecord* record =
          file.Cache()->GetRecord(nullptr, number, false, TReadDirection::kForward, false);
      file.FreeRecord(record);
      file.Cache()->Unpin(record);
    }
    EXPECT_EQ(file.Header().FirstFreeRecord, 7);
    const std::vector<std::int32_t> want =
        internal ? std::vector<std::int32_t>{11, 12, 13} : std::vector<std::int32_t>{7, 3, 11};
    for (std::int32_t number : want) {
      TRecord* record = file.TakeFreeRecord(nullptr);
      ASSERT_NE(record, nullptr);
      EXPECT_EQ(record->RecordNo(), number);
      InitRecordImage(record->Image(), record->ImageSize(), record->RecordNo(), file.NewRecordID());
      record->SetDirty(true);
      file.Cache()->Unpin(record);
    }
    file.Cache()->WriteDirty();
    file.WriteHeader();
    file.CheckHeader();
  }
}

TEST_F(DataFileTest, AppendsBeyondTheTableLimitsAreTableFull) {
  struct Row {
    const char* what;
    std::int32_t next_record_no;
    std::uint16_t record_size;
  };
  const Row rows[] = {
      {"record number above 200000000", 200000001, 26},
      {"end beyond offset 4000000000", 61539, 65000},  // 1663 + 61539 × 65000 > 4e9
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    {
      TDataFile file;
      CreateStaff(file);
    }
    std::vector<std::uint8_t> bytes = FileBytes("STAFF.DAT");
    EncodeFixed32(&bytes[13], static_cast<std::uint32_t>(row.next_record_no));
    EncodeFixed16(&bytes[21], row.record_size);
    WriteFileBytes("STAFF.DAT", bytes);
    TDataFile file;
    file.SetFileName(Path("STAFF.DAT"));
    file.Open();
    try {
      file.Cache()->GetRecord(nullptr, row.next_record_no, false, TReadDirection::kForward, false);
      FAIL() << "no error";
    } catch (const ETabulaEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), TABULA_TABLEFULL);
    }
    EXPECT_EQ(file.NextRecordNo(), row.next_record_no);
    EXPECT_FALSE(file.HeaderIsChanged());
  }
}

TEST_F(DataFileTest, CreateTableRefusesLimitsBeforeCreatingTheFile) {
  struct Row {
    const char* what;
    std::vector<TFieldDescriptor> fields;
    std::uint16_t error;
  };
  // 9 + 259 × 252 + 1 + 34 + ... : 260 strings of 250 and one bytes field make exactly 65536.
  std::vector<TFieldDescriptor> exact(260, Field(1, "S", fldString, 250));
  exact.push_back(Field(261, "B", fldBytes, 6));
  std::vector<TFieldDescriptor> too_many(1025, Field(1, "F", fldSmallInt));
  std::vector<TFieldDescriptor> blobs(129, Field(1, "M", fldBlob, 0, fldstMemo));
  AssignFieldLayout(exact);
  AssignFieldLayout(too_many);
  AssignFieldLayout(blobs);
  ASSERT_EQ(ComputeRecordSize(exact), 65536u);
  const Row rows[] = {
      {"record size 65536", exact, TABULA_RECTOOBIG},
      {"1025 fields", too_many, TABULA_FLDLIMIT},
      {"129 BLOB fields", blobs, TABULA_BLOBLIMIT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TDataFile file;
    file.SetFileName(Path("BIG.DAT"));
    try {
      file.CreateTable(0, 0, row.fields, 512, "", "", false, 1, 0);
      FAIL() << "no error";
    } catch (const ETabulaEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), row.error);
    }
    EXPECT_FALSE(file.Opened());
    EXPECT_FALSE(std::filesystem::exists(Path("BIG.DAT")));
  }
}

TEST_F(DataFileTest, AlterHeaderAndDescriptorChangeOnlyWhatMayChange) {
  TDataFile file;
  CreateStaff(file, /*encrypted=*/true);
  TFieldDescriptor changed = Field(1, "FullName", fldBlob, 99, fldstFixed);
  changed.Required = true;
  changed.DefaultValue = "n/a";
  changed.FieldOffset = 40;
  file.AlterDescriptor(1, changed);
  EXPECT_TRUE(file.DescriptorsChanged());
  const TFieldDescriptor d = file.GetDescriptor(0);
  EXPECT_EQ(d.FieldName, "FullName");
  EXPECT_EQ(d.FieldSubType, fldstFixed);
  EXPECT_TRUE(d.Required);
  EXPECT_EQ(d.DefaultValue, "n/a");
  EXPECT_EQ(d.FieldType, fldString);
  EXPECT_EQ(d.FieldSize, 10);
  EXPECT_EQ(d.FieldOffset, 9);
  try {
    file.AlterDescriptor(5, changed);
    FAIL() << "no error";
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), TABULA_OUTOFRANGE);
  }
  file.AlterHeader("newpass", "New text", 41, 3, 2);
  EXPECT_EQ(file.GetPassword(), "newpass");
  EXPECT_EQ(file.GetDescription(), "New text");
  EXPECT_EQ(file.Header().LastRecordID, 41);
  EXPECT_EQ(file.Header().UserMajorVersion, 2);
  EXPECT_EQ(file.Header().UserMinorVersion, 3);
  file.WriteHeader();
  file.WriteDescriptors();
  file.Close();
  file.Open();
  EXPECT_EQ(file.GetDescriptor(0).FieldName, "FullName");
  EXPECT_EQ(file.GetPassword(), "newpass");
}

// Damaged and foreign files: the engine error the format names, with the table's name, and not
// one byte written.
TEST_F(DataFileTest, BadFilesFailWithTheirErrorAndStayUntouched) {
  std::vector<std::uint8_t> sound;
  {
    TDataFile file;
    CreateStaff(file);
    AppendRecords(file, {"Ann"});
  }
  sound = FileBytes("STAFF.DAT");
  const std::string text_line = "This is not a table, just some text written by another program.\n";
  std::string text;
  for (int i = 0; i < 6; ++i) text += text_line;

  struct Row {
    const char* what;
    std::function<std::vector<std::uint8_t>()> bytes;  // nullptr: no file at all
    std::uint16_t open_error;                          // 0: opens, then the full checks fail
    std::uint16_t check_error;
  };
  const Row rows[] = {
      {"missing file", nullptr, TABULA_OSENOENT, 0},
      {"empty file", [] { return std::vector<std::uint8_t>(); }, TABULA_READERR, 0},
      {"truncated header",
       [&] { return std::vector<std::uint8_t>(sound.begin(), sound.begin() + 100); },
       TABULA_READERR, 0},
      {"truncated descriptors",
       [&] { return std::vector<std::uint8_t>(sound.begin(), sound.begin() + 127 + 800); },
       TABULA_READERR, 0},
      {"1025 fields",
       [&] {
         auto b = sound;
         EncodeFixed16(&b[23], 1025);
         return b;
       },
       TABULA_HEADERCORRUPT, 0},
      {"damaged field name length",
       [&] {
         auto b = sound;
         b[127 + 768 + 2] = 40;
         return b;
       },
       TABULA_HEADERCORRUPT, 0},
      {"not a table", [&] { return std::vector<std::uint8_t>(text.begin(), text.end()); },
       TABULA_HEADERCORRUPT, 0},
      {"record size does not match the descriptors",
       [&] {
         auto b = sound;
         EncodeFixed16(&b[21], 27);
         return b;
       },
       0, TABULA_HEADERCORRUPT},
      {"format version 4",
       [&] {
         auto b = sound;
         b[8] = 4;
         return b;
       },
       0, TABULA_OLDVERSION},
      {"next record number beyond the file",
       [&] {
         auto b = sound;
         EncodeFixed32(&b[13], 5);
         return b;
       },
       0, TABULA_HEADERCORRUPT},
      {"partial record at the end",
       [&] { return std::vector<std::uint8_t>(sound.begin(), sound.end() - 3); }, 0,
       TABULA_HEADERCORRUPT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(Path("BAD.DAT"));
    std::vector<std::uint8_t> before;
    if (row.bytes) {
      before = row.bytes();
      WriteFileBytes("BAD.DAT", before);
    }
    TInstrumentedPlatform platform;
    TScopedPlatform installed(&platform);
    TDataFile file;
    file.SetFileName(Path("BAD.DAT"));
    file.SetTableName("BAD");
    std::uint16_t code = 0;
    std::string table;
    std::string message;
    try {
      file.Open();
      if (row.open_error == 0) file.CheckHeader();
    } catch (const ETabulaEngineError& e) {
      code = e.ErrorCode();
      table = e.ErrorTableName();
      message = e.what();
    }
    const std::uint16_t want = row.open_error != 0 ? row.open_error : row.check_error;
    EXPECT_EQ(code, want) << message;
    if (row.open_error != 0) {
      EXPECT_FALSE(file.Opened());
      // The file layer names the file; the data file names the table.
      EXPECT_TRUE(table == "BAD" || table == Path("BAD.DAT")) << table;
      EXPECT_NE(message.find(table), std::string::npos) << message;
    } else {
      EXPECT_EQ(table, "BAD");
    }
    EXPECT_EQ(platform.Count(TInstrumentedPlatform::kWrite), 0u);
    EXPECT_EQ(platform.Count(TInstrumentedPlatform::kTruncate), 0u);
    file.Close();
    if (row.bytes) {
      EXPECT_EQ(FileBytes("BAD.DAT"), before);
    }
  }
}

}  // namespace
}  // namespace tabula

namespace tabula {
namespace {

// Damage at random places never crashes the reader: every outcome is a clean open or an engine
// error, and the field readers stay inside the record images they are given.
TEST_F(DataFileTest, RandomDamageGivesEngineErrorsOnly) {
  {
    TDataFile file;
    CreateStaff(file);
    AppendRecords(file, {"Ann", "Bob", "Cecilia"});
  }
  const std::vector<std::uint8_t> sound = FileBytes("STAFF.DAT");
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (int round = 0; round < 200; ++round) {
    std::vector<std::uint8_t> bytes = sound;
    const int flips = 1 + static_cast<int>(next() % 6);
    for (int i = 0; i < flips; ++i) {
      bytes[next() % bytes.size()] = static_cast<std::uint8_t>(next());
    }
    if (next() % 4 == 0) bytes.resize(next() % bytes.size());
    WriteFileBytes("FUZZ.DAT", bytes);
    TDataFile file;
    file.SetFileName(Path("FUZZ.DAT"));
    try {
      file.Open();
      std::vector<std::uint8_t> images(static_cast<std::size_t>(file.RecordSize()) * 4 + 1);
      const std::int32_t read = file.ReadRecordImages(1, 4, images.data());
      for (std::int32_t r = 0; r < read; ++r) {
        for (const TFieldDescriptor& d : file.Descriptors()) {
          std::vector<std::uint8_t> value(256 + 8);
          bool is_null = false;
          ReadFieldValue(d, images.data() + static_cast<std::size_t>(r) * file.RecordSize(),
                         static_cast<std::size_t>(file.RecordSize()), value.data(), &is_null);
        }
      }
      file.CheckHeader();
    } catch (const ETabulaEngineError&) {
    }
  }
}

}  // namespace
}  // namespace tabula

namespace tabula {
namespace {

// An in-memory table runs the same code: it keeps its contents between opens and empties to
// exactly its header and descriptors.
TEST_F(DataFileTest, InMemoryTableBehavesLikeADiskTable) {
  const std::string name = "MEMSTAFF_" + std::to_string(getpid()) + ".DAT";
  {
    TDataFile file;
    file.SetInMemory(true);
    file.SetFileName(name);
    file.CreateTable(0, 0, StaffFields(), 0, "In memory", "", false, 1, 0);
    file.WriteHeader();
    file.WriteDescriptors();
    AppendRecords(file, {"Ann", "Bob"});
    EXPECT_EQ(file.GetSize(), 127u + 1536 + 52);
  }
  EXPECT_FALSE(std::filesystem::exists(Path(name)));
  TDataFile file;
  file.SetInMemory(true);
  file.SetFileName(name);
  file.Open();
  EXPECT_EQ(file.PhysicalRecordCount(), 2);
  EXPECT_EQ(file.GetBlobBlockSize(), 512);
  file.CheckHeader();
  std::uint8_t images[52];
  ASSERT_EQ(file.ReadRecordImages(1, 2, images), 2);
  EXPECT_EQ(std::memcmp(&images[26 + 10], "Bob", 4), 0);
  file.EmptyTable();
  EXPECT_EQ(file.GetSize(), 127u + 1536);
  file.Close();
  TFileList::Instance().Remove(name, /*in_memory=*/true);
}

// Another process learns of a header write only through the change counter.
TEST_F(DataFileTest, HeaderWriteOfAnotherProcessIsSeenThroughTheChangeCounter) {
  {
    TDataFile file;
    CreateStaff(file);
  }
  TDataFile reader;
  reader.SetFileName(Path("STAFF.DAT"));
  reader.Open();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 1;
    try {
      TDataFile writer;
      writer.SetFileName(Path("STAFF.DAT"));
      writer.Open();
      writer.SetLastRecordID(500);
      status = writer.WriteHeader() ? 0 : 2;
      writer.Close();
    } catch (...) {
      status = 3;
    }
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(reader.Header().LastRecordID, 0);
  EXPECT_TRUE(reader.HeaderChanged());
  EXPECT_EQ(reader.Header().ChangeCount, 2);
  EXPECT_EQ(reader.Header().LastRecordID, 500);
  EXPECT_FALSE(reader.HeaderChanged());
}

}  // namespace
}  // namespace tabula

namespace tabula {
namespace {

// The record cache's transfers counted at the system-call level on a real data file: one read
// for a read-ahead block, one write per run of consecutive dirty records.
TEST_F(DataFileTest, CacheTransfersCountedThroughThePlatform) {
  TTestOwner owner;
  {
    TDataFile file;
    file.SetOwner(&owner);
    CreateStaff(file);
    AppendRecords(file, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"});
  }
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  TDataFile file;
  file.SetOwner(&owner);
  file.SetFileName(Path("STAFF.DAT"));
  file.Open();
  platform.ResetCounts();
  TRecord* first = file.Cache()->GetRecord(nullptr, 1, true, TReadDirection::kForward, false);
  file.Cache()->Unpin(first);
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kRead), 1u) << "12 records in one read-ahead";
  for (std::int32_t n : {3, 4, 5, 9}) {
    TRecord* record = file.Cache()->GetRecord(nullptr, n, true, TReadDirection::kForward, false);
    record->Image()[kRecordFields + 1] = 'z';
    record->SetDirty(true);
    file.Cache()->Unpin(record);
  }
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kRead), 1u) << "the rest came from the cache";
  EXPECT_TRUE(file.Cache()->WriteDirty());
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kWrite), 2u) << "records 3 to 5, then 9";
}

}  // namespace
}  // namespace tabula
