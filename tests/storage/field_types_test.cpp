#include "engine/storage/field_types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"

namespace tabula {
namespace {

// Puts a short string (length byte + characters) at a literal offset of a hand-built buffer.
void PutText(std::vector<std::uint8_t>& bytes, std::size_t offset, const std::string& text) {
  bytes[offset] = static_cast<std::uint8_t>(text.size());
  std::memcpy(bytes.data() + offset + 1, text.data(), text.size());
}

// A string(10) field "Name", written out byte by byte from the descriptor layout.
std::vector<std::uint8_t> HandWrittenNameDescriptor() {
  std::vector<std::uint8_t> bytes(768, 0);
  bytes[0] = 0x01;  // FieldNo 1
  bytes[1] = 0x00;
  PutText(bytes, 2, "Name");
  PutText(bytes, 33, "Full name");
  bytes[84] = 1;   // string
  bytes[85] = 31;  // fixed-length
  bytes[86] = 10;  // FieldSize
  bytes[87] = 0;
  bytes[88] = 11;  // PhysicalSize
  bytes[89] = 0;
  bytes[90] = 0x09;  // FieldOffset 9
  bytes[91] = 0x00;
  bytes[92] = 1;  // Required
  bytes[93] = 2;  // upper case
  PutText(bytes, 94, "A");
  PutText(bytes, 145, "zz");
  PutText(bytes, 196, "x");
  return bytes;
}

TFieldDescriptor NameDescriptor() {
  TFieldDescriptor d;
  d.FieldNo = 1;
  d.FieldName = "Name";
  d.FieldDescription = "Full name";
  d.FieldType = fldString;
  d.FieldSubType = fldstFixed;
  d.FieldSize = 10;
  d.PhysicalSize = 11;
  d.FieldOffset = 9;
  d.Required = true;
  d.CharCase = kCharCaseUpper;
  d.MinValue = "A";
  d.MaxValue = "zz";
  d.DefaultValue = "x";
  return d;
}

TEST(FieldTypesTest, TypeCodesAndPhysicalSizes) {
  struct Row {
    std::uint8_t type;
    std::uint8_t code;
    std::uint8_t field_size;
    std::uint8_t physical;
  };
  const Row rows[] = {
      {fldString, 1, 10, 11},
      {fldString, 1, 250, 251},
      {fldDate, 2, 0, 4},
      {fldBlob, 3, 0, 8},
      {fldBoolean, 4, 0, 2},
      {fldSmallInt, 5, 0, 2},
      {fldInteger, 6, 0, 4},
      {fldFloat, 7, 0, 8},
      {fldBCD, 8, 0, 34},
      {fldBytes, 9, 17, 17},
      {fldTime, 10, 0, 4},
      {fldTimeStamp, 11, 0, 8},
      {fldWord, 12, 0, 2},
      {fldUnsignedInteger, 13, 0, 4},
      {fldExtendedFloat, 14, 0, 10},
      {fldVarBytes, 15, 40, 40},
      {fldLargeInt, 18, 0, 8},
      {16, 16, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(FieldTypeName(row.type)));
    EXPECT_EQ(row.type, row.code);
    EXPECT_EQ(PhysicalSizeOf(row.type, row.field_size), row.physical);
  }
  EXPECT_EQ(fldstMoney, 21);
  EXPECT_EQ(fldstMemo, 22);
  EXPECT_EQ(fldstBinary, 23);
  EXPECT_EQ(fldstFmtMemo, 24);
  EXPECT_EQ(fldstGraphic, 26);
  EXPECT_EQ(fldstTypedBinary, 28);
  EXPECT_EQ(fldstAutoInc, 29);
  EXPECT_EQ(fldstFixed, 31);
  EXPECT_EQ(fldstWide, 32);
  EXPECT_TRUE(IsAutoIncField(6, 29));
  EXPECT_FALSE(IsAutoIncField(13, 29));
  EXPECT_FALSE(IsAutoIncField(6, 0));
}

TEST(FieldDescriptorTest, EncodesTheHandWrittenBytes) {
  std::vector<std::uint8_t> written(768, 0xEE);
  NameDescriptor().EncodeTo(written.data());
  EXPECT_EQ(written, HandWrittenNameDescriptor());
}

TEST(FieldDescriptorTest, DecodesTheHandWrittenBytes) {
  const std::vector<std::uint8_t> bytes = HandWrittenNameDescriptor();
  TFieldDescriptor d;
  ASSERT_EQ(d.DecodeFrom(bytes.data(), bytes.size()), 0);
  const TFieldDescriptor want = NameDescriptor();
  EXPECT_EQ(d.FieldNo, want.FieldNo);
  EXPECT_EQ(d.FieldName, want.FieldName);
  EXPECT_EQ(d.FieldDescription, want.FieldDescription);
  EXPECT_EQ(d.FieldType, want.FieldType);
  EXPECT_EQ(d.FieldSubType, want.FieldSubType);
  EXPECT_EQ(d.FieldSize, want.FieldSize);
  EXPECT_EQ(d.PhysicalSize, want.PhysicalSize);
  EXPECT_EQ(d.FieldOffset, want.FieldOffset);
  EXPECT_TRUE(d.Required);
  EXPECT_EQ(d.CharCase, kCharCaseUpper);
  EXPECT_EQ(d.MinValue, "A");
  EXPECT_EQ(d.MaxValue, "zz");
  EXPECT_EQ(d.DefaultValue, "x");
  EXPECT_FALSE(d.Computed);
  EXPECT_EQ(d.AreaSize(), 12u);
}

TEST(FieldDescriptorTest, ReservedAreaAndCursorTextsRoundTrip) {
  TFieldDescriptor d = NameDescriptor();
  d.SetQualifiedName("Staff.Name");
  d.SetSourceFieldNo(0x0102);
  d.SetSourceDirectory("C:\\DATA\\");
  std::vector<std::uint8_t> bytes(768);
  d.EncodeTo(bytes.data());
  EXPECT_EQ(bytes[248], 10);
  EXPECT_EQ(std::string(bytes.begin() + 249, bytes.begin() + 259), "Staff.Name");
  EXPECT_EQ(bytes[349], 0x02);
  EXPECT_EQ(bytes[350], 0x01);
  EXPECT_EQ(bytes[351], 8);
  TFieldDescriptor back;
  ASSERT_EQ(back.DecodeFrom(bytes.data(), bytes.size()), 0);
  EXPECT_EQ(back.QualifiedName(), "Staff.Name");
  EXPECT_EQ(back.SourceFieldNo(), 0x0102);
  EXPECT_EQ(back.SourceDirectory(), "C:\\DATA\\");
  std::vector<std::uint8_t> again(768);
  back.EncodeTo(again.data());
  EXPECT_EQ(again, bytes);
}

TEST(FieldDescriptorTest, LongTextsAreCutToTheirCapacity) {
  TFieldDescriptor d = NameDescriptor();
  d.FieldName = std::string(40, 'N');
  d.DefaultValue = std::string(60, 'd');
  std::vector<std::uint8_t> bytes(768);
  d.EncodeTo(bytes.data());
  EXPECT_EQ(bytes[2], 30);
  EXPECT_EQ(bytes[33], 9);  // the description after the cut name is intact
  EXPECT_EQ(bytes[196], 50);
  EXPECT_EQ(bytes[247], 0);  // the default text did not run into Computed
}

TEST(FieldDescriptorTest, DamagedBytesAreHeaderCorruptAndLeaveTheDescriptor) {
  struct Row {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
    std::size_t size;
  };
  const Row rows[] = {
      {"short buffer", 0, 1, 767},
      {"name length 31", 2, 31, 768},
      {"description length 51", 33, 51, 768},
      {"min length 51", 94, 51, 768},
      {"max length 255", 145, 255, 768},
      {"default length 51", 196, 51, 768},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> bytes = HandWrittenNameDescriptor();
    bytes[row.offset] = row.value;
    TFieldDescriptor d;
    d.FieldName = "keep";
    EXPECT_EQ(d.DecodeFrom(bytes.data(), row.size), TABULA_HEADERCORRUPT);
    EXPECT_EQ(d.FieldName, "keep");
  }
}

TEST(DateCodingTest, DayNumbers) {
  struct Row {
    int y, m, d;
    std::int32_t number;
  };
  const Row rows[] = {
      {1, 1, 1, 1},          {1, 12, 31, 365},       {2, 1, 1, 366},          {4, 12, 31, 1461},
      {100, 12, 31, 36524},  {400, 12, 31, 146097},  {1899, 12, 30, 693594},  {1900, 3, 1, 693655},
      {2000, 2, 29, 730179}, {2000, 12, 31, 730485}, {9999, 12, 31, 3652059},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.y) + "-" + std::to_string(row.m) + "-" + std::to_string(row.d));
    EXPECT_EQ(EncodeDate(row.y, row.m, row.d), row.number);
    int y = 0, m = 0, d = 0;
    ASSERT_TRUE(DecodeDate(row.number, &y, &m, &d));
    EXPECT_EQ(y, row.y);
    EXPECT_EQ(m, row.m);
    EXPECT_EQ(d, row.d);
  }
  // Every day of a stretch around century and leap-year boundaries survives the round trip.
  for (std::int32_t n = 693000; n < 731000; n += 7) {
    int y = 0, m = 0, d = 0;
    ASSERT_TRUE(DecodeDate(n, &y, &m, &d));
    ASSERT_TRUE(IsValidDate(y, m, d));
    ASSERT_EQ(EncodeDate(y, m, d), n);
  }
  int y = 7, m = 7, d = 7;
  EXPECT_FALSE(DecodeDate(0, &y, &m, &d));
  EXPECT_FALSE(DecodeDate(-5, &y, &m, &d));
  EXPECT_FALSE(DecodeDate(3652060, &y, &m, &d));
  EXPECT_EQ(y, 7);
  EXPECT_FALSE(IsValidDate(1900, 2, 29));
  EXPECT_TRUE(IsValidDate(2000, 2, 29));
  EXPECT_FALSE(IsValidDate(0, 1, 1));
}

TEST(DateCodingTest, TimeStamps) {
  const std::int32_t day = EncodeDate(2024, 5, 17);
  const double value = EncodeTimeStamp(day, 45296789);  // 12:34:56.789
  EXPECT_EQ(value, static_cast<double>(day) * 86400000.0 + 45296789.0);
  std::int32_t back_day = 0, back_ms = 0;
  ASSERT_TRUE(DecodeTimeStamp(value, &back_day, &back_ms));
  EXPECT_EQ(back_day, day);
  EXPECT_EQ(back_ms, 45296789);
  EXPECT_FALSE(DecodeTimeStamp(0.0, &back_day, &back_ms));
  EXPECT_FALSE(DecodeTimeStamp(std::numeric_limits<double>::quiet_NaN(), &back_day, &back_ms));
  EXPECT_FALSE(DecodeTimeStamp(1e300, &back_day, &back_ms));
}

TEST(BcdCodingTest, EncodesHandWrittenBytes) {
  std::uint8_t bytes[34];
  ASSERT_TRUE(EncodeBcd(bytes, 1234500, 2));  // 123.45
  std::uint8_t want[34] = {32, 2};
  want[15] = 0x01;  // digit 27 (low nibble): 1
  want[16] = 0x23;
  want[17] = 0x45;
  EXPECT_EQ(std::memcmp(bytes, want, 34), 0);

  ASSERT_TRUE(EncodeBcd(bytes, -5000, 1));  // -0.5
  std::uint8_t want_negative[34] = {32, 0x81};
  want_negative[17] = 0x05;
  EXPECT_EQ(std::memcmp(bytes, want_negative, 34), 0);

  ASSERT_TRUE(EncodeBcd(bytes, -4, 2));  // -0.0004 rounds to zero: no sign
  std::uint8_t want_zero[34] = {32, 2};
  EXPECT_EQ(std::memcmp(bytes, want_zero, 34), 0);

  ASSERT_TRUE(EncodeBcd(bytes, 15, 3));  // 0.0015 rounds half away from zero to 0.002
  EXPECT_EQ(bytes[17], 0x02);
  EXPECT_EQ(bytes[16], 0x00);

  EXPECT_FALSE(EncodeBcd(bytes, 10000, 32));  // 1 has no integer digit left
  EXPECT_FALSE(EncodeBcd(bytes, 0, 33));
}

TEST(BcdCodingTest, DecodesHandWrittenBytes) {
  struct Row {
    const char* what;
    std::vector<std::uint8_t> head;  // bytes from offset 0
    bool ok;
    std::int64_t scaled;
    const char* text;
  };
  const Row rows[] = {
      {"no digits is zero", {0, 0}, true, 0, "0"},
      {"123.45 in 5 digits", {5, 2, 0x12, 0x34, 0x50}, true, 1234500, "123.45"},
      {"negative 7", {1, 0x80, 0x70}, true, -70000, "-7"},
      {"0.123456 rounds", {6, 6, 0x12, 0x34, 0x56}, true, 1235, "0.123456"},
      {"leading zeros", {4, 1, 0x00, 0x42}, true, 42000, "4.2"},
      {"more places than digits", {2, 3, 0x12}, false, 0, nullptr},
      {"65 digits", {65, 0}, false, 0, nullptr},
      {"nibble above 9", {2, 0, 0x1A}, false, 0, nullptr},
      {"16 integer digits",
       {16, 0, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99},
       false,
       0,
       "9999999999999999"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::uint8_t bytes[34] = {};
    std::memcpy(bytes, row.head.data(), row.head.size());
    std::int64_t scaled = -1;
    EXPECT_EQ(DecodeBcd(bytes, &scaled), row.ok);
    if (row.ok) {
      EXPECT_EQ(scaled, row.scaled);
    }
    std::string text = "unchanged";
    EXPECT_EQ(BcdToText(bytes, &text), row.text != nullptr);
    if (row.text != nullptr) {
      EXPECT_EQ(text, row.text);
    }
  }
  // The writer's output reads back.
  for (std::int64_t value : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{123456789012345},
                             std::int64_t{-922337203685477}}) {
    std::uint8_t bytes[34];
    ASSERT_TRUE(EncodeBcd(bytes, value, 4));
    std::int64_t back = 0;
    ASSERT_TRUE(DecodeBcd(bytes, &back));
    EXPECT_EQ(back, value);
  }
}

TEST(ExtendedCodingTest, HandWrittenBytesAndRoundTrip) {
  std::uint8_t bytes[10];
  EncodeExtended(bytes, 1.0);
  const std::uint8_t one[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
  EXPECT_EQ(std::memcmp(bytes, one, 10), 0);
  EncodeExtended(bytes, -2.5);
  const std::uint8_t minus_two_and_half[10] = {0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0xC0};
  EXPECT_EQ(std::memcmp(bytes, minus_two_and_half, 10), 0);
  EXPECT_EQ(DecodeExtended(one), 1.0);
  EXPECT_EQ(DecodeExtended(minus_two_and_half), -2.5);

  for (double value : {0.0, 3.141592653589793, -1e-300, 1e308, 4.9406564584124654e-324,
                       std::numeric_limits<double>::infinity()}) {
    EncodeExtended(bytes, value);
    EXPECT_EQ(DecodeExtended(bytes), value);
  }
  EncodeExtended(bytes, std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(std::isnan(DecodeExtended(bytes)));
  // An extended value beyond the double range reads as infinity.
  const std::uint8_t huge[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x7F - 1};
  EXPECT_TRUE(std::isinf(DecodeExtended(huge)));
}

}  // namespace
}  // namespace tabula
