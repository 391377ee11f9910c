// Field types of the table files: type and subtype codes, their storage sizes, the encodings of
// their values inside a record image, and the 768-byte field descriptor.
//
// Cursors, keys, expressions, the SQL executor and the wire protocol all exchange values in the
// encodings below, so this header is the one place that says how each type is stored. Everything
// here is a pure byte codec: no file access, no engine state.
//
// Field descriptor layout (768 bytes, all little-endian, short strings zero-filled):
//
//   OFFSET  SIZE  MEANING
//        0     2  FieldNo: 1-based field number, equals the descriptor's position
//        2    31  FieldName: short string, 1 to 30 characters
//       33    51  FieldDescription: short string, at most 50 characters
//       84     1  FieldType: type code (below), never 0
//       85     1  FieldSubType: subtype code (below), 0 when none
//       86     1  FieldSize: declared size of string, bytes and varbytes fields (1..250), else 0
//       87     1  FieldScale: decimals of a BCD field, else 0
//       88     1  PhysicalSize: bytes of the value in the record (PhysicalSizeOf)
//       89     1  PhysicalScale: copy of FieldScale
//       90     2  FieldOffset: offset of the field's area in the record (5 for auto-increment)
//       92     1  Required: 1 when a value must be supplied
//       93     1  CharCase: strings: 0 keep, 1 lower case, 2 upper case when stored
//       94    51  MinValue: short string, at most 50 characters, empty for none
//      145    51  MaxValue: short string, at most 50 characters, empty for none
//      196    51  DefaultValue: short string, at most 50 characters, empty for none
//      247     1  Computed: 1 for a computed result column without a record area; 0 in tables
//      248   520  reserved: 0 in a table file. A cursor's own copy of a descriptor keeps there
//                 the qualified column name (short string of 100 at 248), the field's number in
//                 its source table (16 bits at 349) and the database directory (short string of
//                 100 at 351); the rest stays 0.
//
// Field types (PhysicalSize excludes the null flag byte in front of every value):
//
//   CODE  TYPE              SUBTYPES                           SIZE  STORED VALUE
//      1  string            0, 31 fixed, 32 wide               n+1   characters, then a zero byte
//      2  date                                                 4     int32 day, 0001-01-01 = 1
//      3  BLOB              0, 22, 23, 24, 26, 28              8     int32 first block, int32 owner
//      4  boolean                                              2     uint16 0 or 1
//      5  smallint                                             2     int16
//      6  integer           0, 29 auto-increment               4     int32
//      7  float             0, 21 money                        8     IEEE double
//      8  BCD                                                  34    packed decimal (below)
//      9  bytes                                                n     raw bytes
//     10  time                                                 4     int32 ms since midnight
//     11  timestamp                                            8     double: day × 86400000 + ms
//     12  word                                                 2     uint16
//     13  unsigned integer                                     4     uint32
//     14  extended float                                       10    80-bit IEEE extended
//     15  varbytes                                             n     raw bytes
//     18  largeint                                             8     int64
//    any  other                                                n     no meaning (n is 0 in tables)
//
// BCD (34 bytes): byte 0 the number of digits (0 means zero); byte 1 bit 7 the sign (1 negative),
// bits 0-5 the number of decimal places; bytes 2-33 the digits, two per byte, high nibble first.
//
// Thread-safety: pure functions and a value type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tabula {

// Field type codes.
constexpr std::uint8_t fldUnknown = 0;  // untyped: never stored in a descriptor
constexpr std::uint8_t fldString = 1;
constexpr std::uint8_t fldDate = 2;
constexpr std::uint8_t fldBlob = 3;
constexpr std::uint8_t fldBoolean = 4;
constexpr std::uint8_t fldSmallInt = 5;
constexpr std::uint8_t fldInteger = 6;
constexpr std::uint8_t fldFloat = 7;
constexpr std::uint8_t fldBCD = 8;
constexpr std::uint8_t fldBytes = 9;
constexpr std::uint8_t fldTime = 10;
constexpr std::uint8_t fldTimeStamp = 11;
constexpr std::uint8_t fldWord = 12;
constexpr std::uint8_t fldUnsignedInteger = 13;
constexpr std::uint8_t fldExtendedFloat = 14;
constexpr std::uint8_t fldVarBytes = 15;
constexpr std::uint8_t fldLargeInt = 18;

// Subtype codes.
constexpr std::uint8_t fldstNone = 0;
constexpr std::uint8_t fldstMoney = 21;        // float
constexpr std::uint8_t fldstMemo = 22;         // BLOB
constexpr std::uint8_t fldstBinary = 23;       // BLOB
constexpr std::uint8_t fldstFmtMemo = 24;      // BLOB: formatted memo
constexpr std::uint8_t fldstGraphic = 26;      // BLOB
constexpr std::uint8_t fldstTypedBinary = 28;  // BLOB
constexpr std::uint8_t fldstAutoInc = 29;      // integer: the record identifier
constexpr std::uint8_t fldstFixed = 31;        // string: fixed-length
constexpr std::uint8_t fldstWide = 32;         // string: wide, stored like a plain string

// CharCase values of string fields.
constexpr std::uint8_t kCharCaseKeep = 0;
constexpr std::uint8_t kCharCaseLower = 1;
constexpr std::uint8_t kCharCaseUpper = 2;

// Limits of field definitions.
constexpr std::size_t kMaxFieldNameLength = 30;
constexpr std::size_t kMaxFieldDescriptionLength = 50;
constexpr std::size_t kMaxValueTextLength = 50;  // MinValue, MaxValue, DefaultValue
constexpr std::uint8_t kMaxFieldSize = 250;      // string, bytes and varbytes
constexpr std::size_t kMaxQualifiedNameLength = 100;
constexpr std::size_t kMaxSourceDirectoryLength = 100;

// Value sizes that do not depend on the declared size.
constexpr std::size_t kBlobValueSize = 8;
constexpr std::size_t kBlobFirstBlockSize = 4;  // the part of a BLOB value read and nulled
constexpr std::size_t kBcdValueSize = 34;
constexpr std::size_t kBcdMaxDigits = 64;  // nibbles in bytes 2-33
constexpr std::size_t kExtendedValueSize = 10;
constexpr std::int32_t kMillisecondsPerDay = 86400000;

// Bytes of a field's value in the record: string FieldSize + 1; date, integer, time, unsigned
// integer 4; BLOB, float, timestamp, largeint 8; boolean, smallint, word 2; BCD 34; extended
// float 10; every other type FieldSize.
std::uint8_t PhysicalSizeOf(std::uint8_t field_type, std::uint8_t field_size);

// True for the auto-increment field: integer with subtype 29.
inline bool IsAutoIncField(std::uint8_t field_type, std::uint8_t field_subtype) {
  return field_type == fldInteger && field_subtype == fldstAutoInc;
}

// Lower-case name of a type code ("string", "largeint"); "unknown" for codes without a type.
std::string_view FieldTypeName(std::uint8_t field_type);

// ---- Value encodings -------------------------------------------------------------------------

// Day number of a date of the proleptic Gregorian calendar, 0001-01-01 being day 1.
// REQUIRES: 1 <= year <= 9999, 1 <= month <= 12, 1 <= day <= days of that month.
std::int32_t EncodeDate(int year, int month, int day);

// The date of a day number. Returns false (and leaves the outputs alone) for a day number
// outside 0001-01-01 .. 9999-12-31.
bool DecodeDate(std::int32_t day_number, int* year, int* month, int* day);

// True when the date exists (month 1..12, day within the month, year 1..9999).
bool IsValidDate(int year, int month, int day);

// Timestamp value: day number × 86400000 + milliseconds since midnight.
double EncodeTimeStamp(std::int32_t day_number, std::int32_t milliseconds);

// Splits a timestamp value into its day number and milliseconds since midnight. Returns false
// for a value that is not finite or whose day lies outside 0001-01-01 .. 9999-12-31.
bool DecodeTimeStamp(double value, std::int32_t* day_number, std::int32_t* milliseconds);

// Writes a BCD value of 32 digits with `scale` decimal places: `scaled` is the value times 10^4
// (the engine's fixed-point form), rounded half away from zero to `scale` places when `scale` is
// below 4. `dst` receives kBcdValueSize bytes. Returns false (writing nothing) when `scale` is
// above 32 or the integer part does not fit into the 32 - `scale` digits left for it.
bool EncodeBcd(std::uint8_t* dst, std::int64_t scaled, std::uint8_t scale);

// Reads a BCD value as value × 10^4, rounded half away from zero. A BCD with no digits is 0.
// Returns false for a damaged value (more than 64 digits, more places than digits, a nibble
// above 9) or one whose scaled value does not fit 64 bits; `scaled` is then left alone.
bool DecodeBcd(const std::uint8_t* src, std::int64_t* scaled);

// The BCD value as decimal text with "." as separator ("-12.50", "0"), all stored places shown.
// Returns false for a damaged value, as DecodeBcd.
bool BcdToText(const std::uint8_t* src, std::string* text);

// 80-bit IEEE extended value (64-bit mantissa with explicit integer bit, 15-bit exponent, sign)
// from and to a double. Encoding is exact; decoding rounds to the nearest double and gives
// infinity beyond the double range.
void EncodeExtended(std::uint8_t* dst, double value);
double DecodeExtended(const std::uint8_t* src);

// ---- Field descriptor ------------------------------------------------------------------------

// Offsets of the descriptor's fields, as in the layout table above.
constexpr std::size_t kDescFieldNo = 0;
constexpr std::size_t kDescFieldName = 2;
constexpr std::size_t kDescFieldDescription = 33;
constexpr std::size_t kDescFieldType = 84;
constexpr std::size_t kDescFieldSubType = 85;
constexpr std::size_t kDescFieldSize = 86;
constexpr std::size_t kDescFieldScale = 87;
constexpr std::size_t kDescPhysicalSize = 88;
constexpr std::size_t kDescPhysicalScale = 89;
constexpr std::size_t kDescFieldOffset = 90;
constexpr std::size_t kDescRequired = 92;
constexpr std::size_t kDescCharCase = 93;
constexpr std::size_t kDescMinValue = 94;
constexpr std::size_t kDescMaxValue = 145;
constexpr std::size_t kDescDefaultValue = 196;
constexpr std::size_t kDescComputed = 247;
constexpr std::size_t kDescReserved = 248;
constexpr std::size_t kDescReservedLength = 520;
// Inside the reserved area, used only in a cursor's own copies (absolute offsets).
constexpr std::size_t kDescQualifiedName = 248;
constexpr std::size_t kDescSourceFieldNo = 349;
constexpr std::size_t kDescSourceDirectory = 351;

// One field descriptor. The value type is what the engine works with; EncodeTo/DecodeFrom move it
// to and from the 768 stored bytes. The reserved area is carried through unchanged, so a
// descriptor read and written again keeps every byte except that Required and Computed become
// 0 or 1.
struct TFieldDescriptor {
  static constexpr std::size_t kEncodedLength = 768;

  std::uint16_t FieldNo = 0;
  std::string FieldName;
  std::string FieldDescription;
  std::uint8_t FieldType = fldUnknown;
  std::uint8_t FieldSubType = fldstNone;
  std::uint8_t FieldSize = 0;
  std::uint8_t FieldScale = 0;
  std::uint8_t PhysicalSize = 0;
  std::uint8_t PhysicalScale = 0;
  std::uint16_t FieldOffset = 0;
  bool Required = false;
  std::uint8_t CharCase = kCharCaseKeep;
  std::string MinValue;
  std::string MaxValue;
  std::string DefaultValue;
  bool Computed = false;
  std::array<std::uint8_t, kDescReservedLength> Reserved{};

  // Writes all 768 bytes. Texts longer than their capacity are cut.
  void EncodeTo(std::uint8_t* dst) const;

  // Reads a descriptor from `size` bytes at `src`. Returns 0, or TABULA_HEADERCORRUPT when fewer
  // than 768 bytes are given or a short string's length byte exceeds its capacity; on failure the
  // descriptor is left unchanged.
  std::uint16_t DecodeFrom(const std::uint8_t* src, std::size_t size);

  // True when the field has an area in the record: neither auto-increment nor computed.
  bool HasRecordArea() const { return !Computed && !IsAutoIncField(FieldType, FieldSubType); }

  // Bytes the field's area takes in the record: 1 + PhysicalSize, or 0 without an area.
  std::size_t AreaSize() const { return HasRecordArea() ? 1u + PhysicalSize : 0u; }

  // The cursor-only texts in the reserved area. A damaged length byte reads as an empty text.
  std::string QualifiedName() const;
  void SetQualifiedName(std::string_view name);
  std::uint16_t SourceFieldNo() const;
  void SetSourceFieldNo(std::uint16_t number);
  std::string SourceDirectory() const;
  void SetSourceDirectory(std::string_view directory);
};

}  // namespace tabula
