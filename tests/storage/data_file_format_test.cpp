#include "engine/storage/data_file_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"

namespace tabula {
namespace {

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The header of a new two-field table after its first write, byte by byte from the layout.
std::vector<std::uint8_t> HandWrittenHeader() {
  std::vector<std::uint8_t> b(127, 0);
  Put32(b, 0, 1);                                                       // ChangeCount
  Put32(b, 4, 1024);                                                    // BlobBlockSize
  b[8] = 5;                                                             // FormatVersion
  Put32(b, 9, 0);                                                       // FirstFreeRecord
  Put32(b, 13, 1);                                                      // NextRecordNo
  Put32(b, 17, 0);                                                      // LastRecordID
  Put16(b, 21, 26);                                                     // RecordSize
  Put16(b, 23, 2);                                                      // FieldCount
  Put16(b, 25, 0);                                                      // BlobFieldCount
  const std::uint8_t last_updated[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0xBF};  // -1.0
  std::memcpy(b.data() + 27, last_updated, 8);
  b[35] = 10;
  std::memcpy(b.data() + 36, "Staff list", 10);
  b[86] = 0;  // not encrypted
  b[87] = 0;  // empty password
  Put16(b, 103, 0x0409);
  Put16(b, 105, 1);
  Put16(b, 107, 1);
  Put16(b, 109, 7);
  b[111] = 1;
  Put32(b, 112, 0);
  Put32(b, 116, 32400);  // EngineVersion, low half
  Put32(b, 120, 0);
  return b;
}

TDataHeader ExpectedHeader() {
  TDataHeader h;
  h.ChangeCount = 1;
  h.BlobBlockSize = 1024;
  h.FormatVersion = 5;
  h.NextRecordNo = 1;
  h.RecordSize = 26;
  h.FieldCount = 2;
  h.LastUpdated = -1.0;
  h.Description = "Staff list";
  h.LocaleID = 0x0409;
  h.SortID = 1;
  h.UserMajorVersion = 1;
  h.UserMinorVersion = 7;
  h.HeaderModified = true;
  h.EngineVersion = 32400;
  return h;
}

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

TEST(DataHeaderTest, EncodesAndDecodesTheHandWrittenBytes) {
  std::vector<std::uint8_t> written(127, 0xEE);
  ExpectedHeader().EncodeTo(written.data());
  EXPECT_EQ(written, HandWrittenHeader());

  const std::vector<std::uint8_t> bytes = HandWrittenHeader();
  TDataHeader h;
  ASSERT_EQ(h.DecodeFrom(bytes.data(), bytes.size()), 0);
  std::vector<std::uint8_t> again(127);
  h.EncodeTo(again.data());
  EXPECT_EQ(again, bytes);
  EXPECT_EQ(h.NextRecordNo, 1);
  EXPECT_EQ(h.RecordSize, 26);
  EXPECT_EQ(h.LocaleID, 0x0409);
  EXPECT_EQ(h.EngineVersion, 32400);
  EXPECT_EQ(h.PlainDescription(), "Staff list");
  EXPECT_EQ(h.PlainPassword(), "");
  EXPECT_EQ(h.GetBlobBlockSize(), 1024);
  EXPECT_EQ(h.PhysicalRecordCount(), 0);
  EXPECT_EQ(h.RecordsOffset(), 127u + 2 * 768);
  EXPECT_EQ(h.RecordOffset(3), 127u + 2 * 768 + 2 * 26);
}

TEST(DataHeaderTest, DamagedOrShortBytesAreRefusedAndLeaveTheHeader) {
  struct Row {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
    std::size_t size;
    std::uint16_t error;
  };
  const Row rows[] = {
      {"truncated header", 0, 1, 126, TABULA_READERR},
      {"empty file", 0, 1, 0, TABULA_READERR},
      {"description length 51", 35, 51, 127, TABULA_HEADERCORRUPT},
      {"password length 16", 87, 16, 127, TABULA_HEADERCORRUPT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> bytes = HandWrittenHeader();
    bytes[row.offset] = row.value;
    TDataHeader h;
    h.NextRecordNo = 77;
    EXPECT_EQ(h.DecodeFrom(bytes.data(), row.size), row.error);
    EXPECT_EQ(h.NextRecordNo, 77);
  }
}

TEST(DataHeaderTest, BlobBlockSizeUsesTheLowSixteenBitsAndDefaultsTo512) {
  TDataHeader h;
  EXPECT_EQ(h.GetBlobBlockSize(), 512);
  h.BlobBlockSize = 0x00010000;  // only high bits set
  EXPECT_EQ(h.GetBlobBlockSize(), 512);
  h.BlobBlockSize = 0x00010800;
  EXPECT_EQ(h.GetBlobBlockSize(), 2048);
}

TEST(DataHeaderTest, FormatVersionTexts) {
  const char* texts[] = {"1.00", "1.02", "1.04", "1.08", "2.00", "3.00", ""};
  for (std::uint8_t v = 0; v < 7; ++v) EXPECT_EQ(FormatVersionText(v), texts[v]) << int(v);
  EXPECT_EQ(FormatVersionText(255), "");
}

TEST(ScrambleTest, CounterBytesXorAndWrap) {
  std::uint8_t zeros[5] = {};
  ScrambleRun(zeros, 5, kDataSeed);
  const std::uint8_t want[5] = {0xAE, 0xA8, 0xAE, 0xAC, 0xAE};
  EXPECT_EQ(std::memcmp(zeros, want, 5), 0);

  const std::uint8_t seed[2] = {0xFF, 0x01};  // low byte wraps to 0, high byte to 0xFF
  std::uint8_t wrap[3] = {};
  ScrambleRun(wrap, 3, seed);
  EXPECT_EQ(wrap[0], 0xFE);
  EXPECT_EQ(wrap[1], 0x00);
  EXPECT_EQ(wrap[2], 0xFE);

  // Its own inverse; a run of exactly 65536 bytes stays as it is.
  std::vector<std::uint8_t> run(65536 + 3);
  for (std::size_t i = 0; i < run.size(); ++i) run[i] = static_cast<std::uint8_t>(i * 7);
  const std::vector<std::uint8_t> original = run;
  ScrambleRun(run.data(), 65536, kDataSeed);
  EXPECT_EQ(run, original);
  ScrambleRun(run.data(), run.size(), kDataSeed);
  EXPECT_NE(run, original);
  ScrambleRun(run.data(), run.size(), kDataSeed);
  EXPECT_EQ(run, original);
}

TEST(ScrambleTest, EncryptedDescriptionAndPasswordKeepTheirLengthByteInPlain) {
  TDataHeader h;
  h.Encrypted = true;
  h.SetPlainDescription("Staff list");
  h.SetPlainPassword("secret");
  std::vector<std::uint8_t> bytes(127);
  h.EncodeTo(bytes.data());
  EXPECT_EQ(bytes[35], 10);
  const std::uint8_t description[10] = {0xC8, 0xEF, 0xFA, 0xC5, 0xC5, 0x83, 0xCF, 0xB2, 0xA8, 0xAF};
  EXPECT_EQ(std::memcmp(bytes.data() + 36, description, 10), 0);
  EXPECT_EQ(bytes[86], 1);
  EXPECT_EQ(bytes[87], 6);
  const std::uint8_t password[6] = {0xE8, 0xFE, 0xF8, 0xD1, 0xC6, 0xD7};
  EXPECT_EQ(std::memcmp(bytes.data() + 88, password, 6), 0);

  TDataHeader back;
  ASSERT_EQ(back.DecodeFrom(bytes.data(), bytes.size()), 0);
  EXPECT_EQ(back.PlainDescription(), "Staff list");
  EXPECT_EQ(back.PlainPassword(), "secret");

  TDataHeader plain;
  plain.SetPlainDescription(std::string(60, 'd'));
  plain.SetPlainPassword("ignored");
  EXPECT_EQ(plain.Description.size(), 50u);
  EXPECT_EQ(plain.Password, "");
  h.SetPlainPassword("sixteen-letters!");
  EXPECT_EQ(h.PlainPassword(), "sixteen-letters");
}

TEST(RecordLayoutTest, StringAndIntegerTableHasRecordSize26) {
  std::vector<TFieldDescriptor> fields = {Field(1, "Name", fldString, 10),
                                          Field(2, "Count", fldInteger)};
  EXPECT_EQ(AssignFieldLayout(fields), 26u);
  EXPECT_EQ(fields[0].FieldOffset, 9);
  EXPECT_EQ(fields[0].PhysicalSize, 11);
  EXPECT_EQ(fields[1].FieldOffset, 21);
  EXPECT_EQ(fields[1].PhysicalSize, 4);
  EXPECT_EQ(ComputeRecordSize(fields), 26u);

  // An auto-increment field lives at offset 5 and adds nothing; computed columns neither.
  fields.insert(fields.begin() + 1, Field(2, "ID", fldInteger, 0, fldstAutoInc));
  fields.push_back(Field(4, "Calc", fldFloat));
  fields.back().Computed = true;
  fields[2].FieldNo = 3;
  EXPECT_EQ(AssignFieldLayout(fields), 26u);
  EXPECT_EQ(fields[1].FieldOffset, 5);
  EXPECT_EQ(fields[2].FieldOffset, 21);
  EXPECT_EQ(ComputeRecordSize(fields), 26u);

  std::vector<TFieldDescriptor> bcd = {Field(1, "Amount", fldBCD)};
  bcd[0].FieldScale = 2;
  AssignFieldLayout(bcd);
  EXPECT_EQ(bcd[0].PhysicalSize, 34);
  EXPECT_EQ(bcd[0].PhysicalScale, 2);
}

TEST(RecordLayoutTest, RecordSizeAndBlobLimits) {
  EXPECT_EQ(CheckRecordSize(65536), 0);
  EXPECT_EQ(CheckRecordSize(65537), TABULA_RECTOOBIG);
  // 261 strings of 250 characters: 9 + 261 × 252 = 65781.
  std::vector<TFieldDescriptor> wide(261, Field(1, "S", fldString, 250));
  EXPECT_EQ(CheckRecordSize(AssignFieldLayout(wide)), TABULA_RECTOOBIG);
  std::vector<TFieldDescriptor> blobs(129, Field(1, "B", fldBlob));
  EXPECT_EQ(CountBlobFields(blobs), 129u);
  EXPECT_EQ(CheckBlobFieldCount(128), 0);
  EXPECT_EQ(CheckBlobFieldCount(129), TABULA_BLOBLIMIT);
}

TEST(RecordNumberingTest, IdentifiersWrapToOne) {
  TDataHeader h;
  EXPECT_EQ(h.NewRecordID(), 1);
  EXPECT_EQ(h.NewRecordID(), 2);
  h.LastRecordID = 2147483646;
  EXPECT_EQ(h.NewRecordID(), 2147483647);
  EXPECT_EQ(h.NewRecordID(), 1);
  EXPECT_EQ(h.LastRecordID, 1);
  h.LastBlobID = 2147483647;
  EXPECT_EQ(h.NewBlobID(), 1);
  EXPECT_EQ(h.NewBlobID(), 2);
}

TEST(RecordNumberingTest, TableFullLimits) {
  TDataHeader h;
  h.FieldCount = 1;
  h.RecordSize = 10;
  EXPECT_EQ(h.CheckAppend(1), 0);
  EXPECT_EQ(h.CheckAppend(200000000), 0);
  EXPECT_EQ(h.CheckAppend(200000001), TABULA_TABLEFULL);
  EXPECT_EQ(h.CheckAppend(0), TABULA_TABLEFULL);
  // With 1000-byte records the file end limit comes first: 127 + 768 + r × 1000 <= 4000000000.
  h.RecordSize = 1000;
  EXPECT_EQ(h.CheckAppend(3999999), 0);                 // ends at 3999999895
  EXPECT_EQ(h.CheckAppend(4000000), TABULA_TABLEFULL);  // would end at 4000000895
}

// Deletes records by the engine's rule on a table of `count` records held in memory.
struct FreeChainTable {
  TDataHeader header;
  std::vector<std::vector<std::uint8_t>> records;  // index r - 1

  explicit FreeChainTable(int count) {
    header.NextRecordNo = count + 1;
    header.RecordSize = 9;
    for (int r = 1; r <= count; ++r) {
      records.emplace_back(9);
      InitRecordImage(records.back().data(), 9, r, header.NewRecordID());
    }
  }
  void Delete(int r, bool internal = false) {
    header.FreeRecord(records[r - 1].data(), r, internal);
  }
  // The number an insert gets, taking it from the chain as the record cache does.
  int Insert(bool internal = false) {
    const int r = header.RecordForInsert(internal);
    if (r != header.NextRecordNo && header.TakeFreeRecord(records[r - 1].data())) {
      InitRecordImage(records[r - 1].data(), 9, r, header.NewRecordID());
      return r;
    }
    const int appended = header.NextRecordNo++;
    records.emplace_back(9);
    InitRecordImage(records.back().data(), 9, appended, header.NewRecordID());
    return appended;
  }
};

TEST(FreeChainTest, DeletedRecordsAreReusedLastDeletedFirst) {
  FreeChainTable t(10);
  t.Delete(3);
  t.Delete(7);
  EXPECT_EQ(t.header.FirstFreeRecord, 7);
  EXPECT_EQ(RecordStatus(t.records[6].data()), kStatusDeleted);
  EXPECT_EQ(RecordLink(t.records[6].data()), 3);
  EXPECT_EQ(RecordLink(t.records[2].data()), 0);
  EXPECT_EQ(t.Insert(), 7);
  EXPECT_EQ(t.header.FirstFreeRecord, 3);
  EXPECT_EQ(t.Insert(), 3);
  EXPECT_EQ(t.header.FirstFreeRecord, 0);
  EXPECT_EQ(t.Insert(), 11);
}

TEST(FreeChainTest, InternalPrimaryIndexAppendsInsteadOfReusing) {
  FreeChainTable t(10);
  t.Delete(3, true);
  t.Delete(7, true);
  EXPECT_EQ(t.header.FirstFreeRecord, 7);
  EXPECT_EQ(RecordLink(t.records[6].data()), 0);  // no reuse possible: no chain kept
  EXPECT_EQ(t.Insert(true), 11);
  EXPECT_EQ(t.Insert(true), 12);
}

TEST(FreeChainTest, DamagedChainNeverHandsOutALiveRecord) {
  {
    SCOPED_TRACE("head is an active record");
    FreeChainTable t(5);
    t.header.FirstFreeRecord = 2;
    EXPECT_EQ(t.Insert(), 6);
    EXPECT_EQ(t.header.FirstFreeRecord, 0);
  }
  {
    SCOPED_TRACE("link to itself");
    FreeChainTable t(5);
    t.Delete(2);
    SetRecordLink(t.records[1].data(), 2);
    t.header.FirstFreeRecord = 2;
    EXPECT_EQ(t.Insert(), 2);
    EXPECT_EQ(t.header.FirstFreeRecord, 0);
    EXPECT_EQ(t.Insert(), 6);
  }
  {
    SCOPED_TRACE("link beyond the file");
    FreeChainTable t(5);
    t.Delete(4);
    t.Delete(2);
    SetRecordLink(t.records[1].data(), 9);
    EXPECT_EQ(t.Insert(), 2);
    EXPECT_EQ(t.header.FirstFreeRecord, 0);
  }
  {
    SCOPED_TRACE("cycle through a reused record");
    FreeChainTable t(5);
    t.Delete(3);
    t.Delete(4);
    SetRecordLink(t.records[2].data(), 4);  // 4 -> 3 -> 4
    EXPECT_EQ(t.Insert(), 4);
    EXPECT_EQ(t.Insert(), 3);
    EXPECT_EQ(t.header.FirstFreeRecord, 4);
    EXPECT_EQ(t.Insert(), 6);  // record 4 is live again: appended instead
  }
}

class FieldValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fields_ = {Field(1, "Name", fldString, 10), Field(2, "ID", fldInteger, 0, fldstAutoInc),
               Field(3, "Flag", fldBoolean), Field(4, "Memo", fldBlob, 0, fldstMemo),
               Field(5, "Count", fldInteger)};
    size_ = AssignFieldLayout(fields_);
    image_.assign(size_, 0);
    InitRecordImage(image_.data(), size_, 4, 99);
  }
  std::uint16_t Store(int field, const void* value, std::size_t size) {
    return StoreFieldValue(fields_[field - 1], image_.data(), image_.size(),
                           static_cast<const std::uint8_t*>(value), size);
  }
  std::vector<TFieldDescriptor> fields_;
  std::uint32_t size_ = 0;
  std::vector<std::uint8_t> image_;
};

TEST_F(FieldValueTest, StringsAreCutTrimmedAndEmptyIsNull) {
  ASSERT_EQ(size_, 9u + 12 + 3 + 9 + 5);
  ASSERT_EQ(Store(1, "abc   ", 6), 0);
  EXPECT_EQ(image_[9], 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&image_[10])), "abc");
  EXPECT_EQ(std::memcmp(&image_[10], "abc\0\0\0\0\0\0\0\0", 11), 0);

  ASSERT_EQ(Store(1, "0123456789ABC", 13), 0);  // cut at FieldSize
  EXPECT_EQ(std::memcmp(&image_[10], "0123456789\0", 11), 0);

  ASSERT_EQ(Store(1, "", 0), 0);
  EXPECT_EQ(image_[9], 0);
  ASSERT_EQ(Store(1, "   ", 3), 0);
  EXPECT_EQ(image_[9], 0);

  fields_[0].CharCase = kCharCaseUpper;
  ASSERT_EQ(Store(1, "mixed Case", 10), 0);
  EXPECT_EQ(std::memcmp(&image_[10], "MIXED CASE\0", 11), 0);
  TCaseConverter marker = [](std::string_view text, std::uint8_t, const void*) {
    return "<" + std::string(text) + ">";
  };
  ASSERT_EQ(StoreFieldValue(fields_[0], image_.data(), image_.size(),
                            reinterpret_cast<const std::uint8_t*>("0123456789"), 10, marker),
            0);
  EXPECT_EQ(std::memcmp(&image_[10], "<012345678\0", 11), 0);  // the converter is cut too
}

TEST_F(FieldValueTest, BooleanBlobNullAndAutoIncRules) {
  const std::uint8_t five[2] = {5, 0};
  ASSERT_EQ(Store(3, five, 2), 0);
  EXPECT_EQ(image_[21], 1);
  EXPECT_EQ(image_[22], 1);
  EXPECT_EQ(image_[23], 0);

  const std::uint8_t no_data[8] = {0, 0, 0, 0, 7, 0, 0, 0};  // owner 7, no first block
  ASSERT_EQ(Store(4, no_data, 8), 0);
  EXPECT_EQ(image_[24], 0);
  EXPECT_EQ(image_[29], 7);
  const std::uint8_t data[8] = {3, 0, 0, 0, 7, 0, 0, 0};
  ASSERT_EQ(Store(4, data, 8), 0);
  EXPECT_EQ(image_[24], 1);
  ASSERT_EQ(Store(4, nullptr, 0), 0);  // null clears the first-block slot only
  EXPECT_EQ(image_[24], 0);
  EXPECT_EQ(image_[25], 0);
  EXPECT_EQ(image_[29], 7);

  const std::int32_t count = -2;
  ASSERT_EQ(Store(5, &count, 4), 0);
  std::int32_t back = 0;
  bool is_null = true;
  ASSERT_EQ(ReadFieldValue(fields_[4], image_.data(), image_.size(),
                           reinterpret_cast<std::uint8_t*>(&back), &is_null),
            0);
  EXPECT_FALSE(is_null);
  EXPECT_EQ(back, -2);
  ASSERT_EQ(Store(5, nullptr, 0), 0);
  ASSERT_EQ(ReadFieldValue(fields_[4], image_.data(), image_.size(),
                           reinterpret_cast<std::uint8_t*>(&back), &is_null),
            0);
  EXPECT_TRUE(is_null);
  EXPECT_EQ(back, 0);

  // The auto-increment field is the record identifier and never null.
  ASSERT_EQ(ReadFieldValue(fields_[1], image_.data(), image_.size(),
                           reinterpret_cast<std::uint8_t*>(&back), &is_null),
            0);
  EXPECT_FALSE(is_null);
  EXPECT_EQ(back, 99);
  ASSERT_EQ(Store(2, nullptr, 0), 0);
  EXPECT_EQ(RecordIdentifier(image_.data()), 99);
  const std::int32_t id = 1234;
  ASSERT_EQ(Store(2, &id, 4), 0);
  EXPECT_EQ(RecordIdentifier(image_.data()), 1234);
  EXPECT_EQ(RecordLink(image_.data()), 4);
}

TEST_F(FieldValueTest, AreasOutsideTheImageAreRefused) {
  TFieldDescriptor beyond = fields_[4];
  beyond.FieldOffset = static_cast<std::uint16_t>(size_ - 2);
  std::uint8_t value[4] = {1, 2, 3, 4};
  bool is_null = false;
  EXPECT_EQ(ReadFieldValue(beyond, image_.data(), image_.size(), value, &is_null),
            TABULA_FILECORRUPT);
  EXPECT_EQ(StoreFieldValue(beyond, image_.data(), image_.size(), value, 4), TABULA_FILECORRUPT);
  TFieldDescriptor in_header = fields_[4];
  in_header.FieldOffset = 3;
  EXPECT_EQ(StoreFieldValue(in_header, image_.data(), image_.size(), value, 4), TABULA_FILECORRUPT);
  EXPECT_EQ(RecordLink(image_.data()), 4);
}

// A cursor stores most values through its field plans: the plan must leave exactly the bytes
// StoreFieldValue leaves, and hand every other case back to it.
TEST_F(FieldValueTest, PlannedStoresLeaveTheBytesOfStoreFieldValue) {
  std::vector<TFieldDescriptor> fields = fields_;
  fields.push_back(Field(6, "Small", fldSmallInt));
  fields.push_back(Field(7, "Day", fldDate));
  fields.push_back(Field(8, "Amount", fldFloat));
  fields.push_back(Field(9, "Raw", fldBytes, 3));
  const std::uint32_t size = AssignFieldLayout(fields);
  TFieldDescriptor outside = fields[4];
  outside.FieldOffset = static_cast<std::uint16_t>(size - 2);
  fields.push_back(outside);
  const TFieldStore kinds[] = {TFieldStore::kGeneral, TFieldStore::kGeneral, TFieldStore::kBoolean,
                               TFieldStore::kGeneral, TFieldStore::kFixed,   TFieldStore::kFixed,
                               TFieldStore::kFixed,   TFieldStore::kFixed,   TFieldStore::kFixed,
                               TFieldStore::kGeneral};
  const std::uint8_t bytes[12] = {5, 0x80, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (std::size_t f = 0; f < fields.size(); ++f) {
    const TFieldPlan plan = PlanField(fields[f], size);
    EXPECT_EQ(plan.Store, kinds[f]) << fields[f].FieldName;
    // Whole values, short ones (zero-filled by StoreFieldValue), a boolean's 5 and 0.
    for (const std::size_t value_size : {std::size_t{12}, std::size_t{1}, std::size_t{2}}) {
      SCOPED_TRACE(fields[f].FieldName + " with " + std::to_string(value_size) + " bytes");
      std::vector<std::uint8_t> expected(size, 0xEE);
      std::vector<std::uint8_t> planned(size, 0xEE);
      InitRecordImage(expected.data(), size, 4, 99);
      InitRecordImage(planned.data(), size, 4, 99);
      const std::uint16_t code =
          StoreFieldValue(fields[f], expected.data(), size, bytes, value_size);
      if (!StorePlannedField(plan, planned.data(), bytes, value_size)) {
        EXPECT_EQ(StoreFieldValue(fields[f], planned.data(), size, bytes, value_size), code);
      } else {
        EXPECT_EQ(code, 0);
      }
      EXPECT_EQ(planned, expected);
    }
  }
}

class CheckDataHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fields_ = {Field(1, "Name", fldString, 10), Field(2, "ID", fldInteger, 0, fldstAutoInc),
               Field(3, "Memo", fldBlob, 0, fldstMemo), Field(4, "Amount", fldBCD)};
    fields_[3].FieldScale = 2;
    header_.FormatVersion = 5;
    header_.FieldCount = 4;
    header_.BlobFieldCount = 1;
    header_.RecordSize = static_cast<std::uint16_t>(AssignFieldLayout(fields_));
    header_.NextRecordNo = 4;
    header_.FirstFreeRecord = 2;
  }
  std::uint64_t FileSize(int records) const {
    return 127 + 768 * 4 + static_cast<std::uint64_t>(records) * header_.RecordSize;
  }
  TDataHeader header_;
  std::vector<TFieldDescriptor> fields_;
};

TEST_F(CheckDataHeaderTest, NamesEachInconsistency) {
  ASSERT_EQ(CheckDataHeader(header_, fields_, FileSize(3)), 0);
  struct Row {
    const char* what;
    void (*damage)(TDataHeader&, std::vector<TFieldDescriptor>&);
    int records;
    std::uint16_t error;
  };
  const Row rows[] = {
      {"format version 4", [](TDataHeader& h, auto&) { h.FormatVersion = 4; }, 3,
       TABULA_OLDVERSION},
      {"record size off by one", [](TDataHeader& h, auto&) { ++h.RecordSize; }, 3,
       TABULA_HEADERCORRUPT},
      {"record size 0", [](TDataHeader& h, auto&) { h.RecordSize = 0; }, 3, TABULA_HEADERCORRUPT},
      {"field count differs", [](TDataHeader& h, auto&) { h.FieldCount = 5; }, 3,
       TABULA_HEADERCORRUPT},
      {"blob count differs", [](TDataHeader& h, auto&) { h.BlobFieldCount = 0; }, 3,
       TABULA_HEADERCORRUPT},
      {"file has a partial record", [](TDataHeader&, auto&) {}, -1, TABULA_HEADERCORRUPT},
      {"next record number wrong", [](TDataHeader& h, auto&) { h.NextRecordNo = 3; }, 3,
       TABULA_HEADERCORRUPT},
      {"free record beyond the file", [](TDataHeader& h, auto&) { h.FirstFreeRecord = 4; }, 3,
       TABULA_HEADERCORRUPT},
      {"negative free record", [](TDataHeader& h, auto&) { h.FirstFreeRecord = -1; }, 3,
       TABULA_HEADERCORRUPT},
      {"empty name", [](TDataHeader&, auto& f) { f[0].FieldName = "  "; }, 3, TABULA_HEADERCORRUPT},
      {"name starts with a blank", [](TDataHeader&, auto& f) { f[0].FieldName = " Name"; }, 3,
       TABULA_HEADERCORRUPT},
      {"name starts with a digit", [](TDataHeader&, auto& f) { f[0].FieldName = "1st"; }, 3,
       TABULA_HEADERCORRUPT},
      {"duplicate name", [](TDataHeader&, auto& f) { f[3].FieldName = " NAME"; }, 3,
       TABULA_HEADERCORRUPT},
      {"field number out of place", [](TDataHeader&, auto& f) { f[1].FieldNo = 3; }, 3,
       TABULA_HEADERCORRUPT},
      {"type 0", [](TDataHeader&, auto& f) { f[2].FieldType = 0; }, 3, TABULA_HEADERCORRUPT},
      {"string size 251",
       [](TDataHeader&, auto& f) {
         f[0].FieldSize = 251;
         f[0].PhysicalSize = 252;
       },
       3, TABULA_HEADERCORRUPT},
      {"size on a BLOB", [](TDataHeader&, auto& f) { f[2].FieldSize = 8; }, 3,
       TABULA_HEADERCORRUPT},
      {"scale on a string", [](TDataHeader&, auto& f) { f[0].FieldScale = 1; }, 3,
       TABULA_HEADERCORRUPT},
      {"physical size wrong", [](TDataHeader&, auto& f) { f[3].PhysicalSize = 8; }, 3,
       TABULA_HEADERCORRUPT},
      {"auto-increment not at 5", [](TDataHeader&, auto& f) { f[1].FieldOffset = 9; }, 3,
       TABULA_HEADERCORRUPT},
      {"offset overlaps", [](TDataHeader&, auto& f) { f[2].FieldOffset -= 1; }, 3,
       TABULA_HEADERCORRUPT},
      {"computed column in a table", [](TDataHeader&, auto& f) { f[3].Computed = true; }, 3,
       TABULA_HEADERCORRUPT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TDataHeader header = header_;
    std::vector<TFieldDescriptor> fields = fields_;
    row.damage(header, fields);
    const std::uint64_t size = row.records < 0 ? FileSize(3) + 5 : FileSize(row.records);
    EXPECT_EQ(CheckDataHeader(header, fields, size), row.error);
  }
}

}  // namespace
}  // namespace tabula
