// The data file's byte layout: the 127-byte header, the record image, record numbering and the
// free chain, the record size rules, the table limits and the scrambling of encrypted tables.
//
// File layout: the header at offset 0; the field descriptors (TFieldDescriptor, 768 bytes each)
// for fields 1 to n at offset 127; then the records, RecordSize bytes each, record r (from 1) at
// 127 + 768 × n + (r − 1) × RecordSize. Nothing follows the last record.
//
// Header layout (little-endian; short strings zero-filled):
//
//   OFFSET  SIZE  MEANING
//        0     4  ChangeCount: int32, incremented by every header write; other processes compare
//                 it to notice changes. 0 in a new or emptied table before its first write.
//        4     4  BlobBlockSize: BLOB file block size; only the low 16 bits count; 0 means 512
//        8     1  FormatVersion: 5 for every table this engine writes or opens
//        9     4  FirstFreeRecord: int32, first deleted record of the free chain, 0 for none
//       13     4  NextRecordNo: int32, number of the next appended record (records + 1)
//       17     4  LastRecordID: int32, last record identifier handed out, 0 in a new table
//       21     2  RecordSize: uint16, bytes per record
//       23     2  FieldCount: uint16, descriptors that follow, at most 1024
//       25     2  BlobFieldCount: uint16, BLOB fields, at most 128
//       27     8  LastUpdated: double, local date-time of the last write (days since 1899-12-30,
//                 time as the fraction) minus 693594
//       35    51  Description: short string of 50; characters scrambled in encrypted tables
//       86     1  Encrypted: 1 when records, descriptors, index and BLOB headers are scrambled
//       87    16  Password: short string of 15, characters scrambled; empty when not encrypted
//      103     2  LocaleID: language of the collation, 0 for plain ANSI byte order
//      105     2  SortID: sort order combined with LocaleID
//      107     2  UserMajorVersion: application-defined
//      109     2  UserMinorVersion: application-defined
//      111     1  HeaderModified: the writer's header-changed flag at the write; no meaning to
//                 readers
//      112     4  LastBlobID: int32, last BLOB owner identifier handed out, 0 in a new table
//      116     8  EngineVersion: int64, 32400, the engine that wrote the header last
//      124     3  reserved, 0
//
// Record image layout (RecordSize bytes, the same in the file and in every record buffer):
//
//   OFFSET  SIZE  MEANING
//        0     1  status: 0 active, 1 deleted
//        1     4  active: the record's own number; deleted: next record of the free chain, 0 at
//                 its end
//        5     4  record identifier, unique in the table; it is the auto-increment value
//        9     …  field areas in field order: a null flag (0 null, 1 value), then PhysicalSize
//                 value bytes. The auto-increment field has no area (its value is offset 5) and
//                 neither have computed columns.
//
// Scrambling: one routine, its own inverse, runs over a run of bytes with a 16-bit counter whose
// low byte starts at the seed's first byte and high byte at its second. Each byte is XORed with
// both counter bytes; then the low byte is incremented and the high byte decremented, each
// wrapping in 8 bits. A run whose length is a multiple of 65536 (0 included) stays as it is.
// Every record image is one run, the whole descriptor area is one run; the description's and
// password's characters are one run each under the password seed. The header is otherwise never
// scrambled.
//
// Thread-safety: pure functions and value types.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/storage/field_types.h"
#include "engine/storage/record_cache.h"

namespace tabula {

// ---- Header ----------------------------------------------------------------------------------

constexpr std::size_t kHeaderChangeCount = 0;
constexpr std::size_t kHeaderBlobBlockSize = 4;
constexpr std::size_t kHeaderFormatVersion = 8;
constexpr std::size_t kHeaderFirstFreeRecord = 9;
constexpr std::size_t kHeaderNextRecordNo = 13;
constexpr std::size_t kHeaderLastRecordID = 17;
constexpr std::size_t kHeaderRecordSize = 21;
constexpr std::size_t kHeaderFieldCount = 23;
constexpr std::size_t kHeaderBlobFieldCount = 25;
constexpr std::size_t kHeaderLastUpdated = 27;
constexpr std::size_t kHeaderDescription = 35;
constexpr std::size_t kHeaderEncrypted = 86;
constexpr std::size_t kHeaderPassword = 87;
constexpr std::size_t kHeaderLocaleID = 103;
constexpr std::size_t kHeaderSortID = 105;
constexpr std::size_t kHeaderUserMajorVersion = 107;
constexpr std::size_t kHeaderUserMinorVersion = 109;
constexpr std::size_t kHeaderHeaderModified = 111;
constexpr std::size_t kHeaderLastBlobID = 112;
constexpr std::size_t kHeaderEngineVersion = 116;
constexpr std::size_t kHeaderReserved = 124;

constexpr std::size_t kDataHeaderSize = 127;
constexpr std::size_t kDescriptorsOffset = kDataHeaderSize;
constexpr std::uint8_t kDataFormatVersion = 5;
constexpr std::int64_t kEngineVersion = 32400;
constexpr std::size_t kMaxDescriptionLength = 50;
constexpr std::size_t kMaxPasswordLength = 15;
constexpr std::uint16_t kDefaultBlobBlockSize = 512;
// Days between the date-time origin 1899-12-30 and day 0 of the day numbers (0001-01-01 is 1).
constexpr double kDateTimeDelta = 693594.0;

// Limits of a table.
constexpr std::size_t kMaxFieldCount = 1024;
constexpr std::size_t kMaxBlobFieldCount = 128;
constexpr std::uint32_t kMaxRecordSize = 65536;
constexpr std::int32_t kMaxRecordNumber = 200000000;
constexpr std::uint64_t kMaxDataFileEnd = 4000000000ULL;
constexpr std::int32_t kMaxRecordID = 2147483647;

// The version text of a format version byte: 0 "1.00", 1 "1.02", 2 "1.04", 3 "1.08", 4 "2.00",
// 5 "3.00", anything else "".
std::string_view FormatVersionText(std::uint8_t format_version);

// The header as the engine holds it. Description and Password hold the stored characters, which
// are scrambled in an encrypted table; PlainDescription/PlainPassword and the setters below
// translate.
struct TDataHeader {
  static constexpr std::size_t kEncodedLength = kDataHeaderSize;

  std::int32_t ChangeCount = 0;
  std::uint32_t BlobBlockSize = 0;
  std::uint8_t FormatVersion = 0;
  std::int32_t FirstFreeRecord = 0;
  std::int32_t NextRecordNo = 0;
  std::int32_t LastRecordID = 0;
  std::uint16_t RecordSize = 0;
  std::uint16_t FieldCount = 0;
  std::uint16_t BlobFieldCount = 0;
  double LastUpdated = 0.0;
  std::string Description;  // stored form
  bool Encrypted = false;
  std::string Password;  // stored form
  std::uint16_t LocaleID = 0;
  std::uint16_t SortID = 0;
  std::uint16_t UserMajorVersion = 0;
  std::uint16_t UserMinorVersion = 0;
  bool HeaderModified = false;
  std::int32_t LastBlobID = 0;
  std::int64_t EngineVersion = 0;

  // Writes the 127 bytes; the reserved bytes are zero, texts are cut to their capacity.
  void EncodeTo(std::uint8_t* dst) const;

  // Reads the header from `size` bytes. Returns 0, TABULA_READERR when fewer than 127 bytes are
  // given (a short read), or TABULA_HEADERCORRUPT when a text's length byte exceeds its
  // capacity; on failure the header is left unchanged.
  std::uint16_t DecodeFrom(const std::uint8_t* src, std::size_t size);

  // The description and password in plain text (the password is empty when not encrypted).
  std::string PlainDescription() const;
  std::string PlainPassword() const;
  // Stores the texts as the table keeps them: cut to 50 and 15 characters, scrambled when
  // Encrypted; the password is stored empty when not encrypted. Set Encrypted first.
  void SetPlainDescription(std::string_view text);
  void SetPlainPassword(std::string_view text);

  // BlobBlockSize's low 16 bits, or 512 when they are 0.
  std::uint16_t GetBlobBlockSize() const;
  // NextRecordNo − 1.
  std::int32_t PhysicalRecordCount() const { return NextRecordNo - 1; }

  // Offset of the first record: the end of the descriptors.
  std::uint64_t RecordsOffset() const;
  // Offset of record `record_no` (from 1).
  std::uint64_t RecordOffset(std::int32_t record_no) const;

  // ---- Record numbering. Each returns whether the header changed (the caller marks it). ----

  // The next record identifier: LastRecordID wraps from 2147483647 to 0 first, then grows by 1.
  // The first identifier of a table is 1.
  std::int32_t NewRecordID();
  // The same rule on LastBlobID.
  std::int32_t NewBlobID();

  // The number the next inserted record gets: FirstFreeRecord when it is not 0 and the table
  // does not keep an internal primary index (which needs records in insertion order), else
  // NextRecordNo.
  std::int32_t RecordForInsert(bool internal_primary_index) const;

  // 0 when a record numbered `record_no` may be appended, TABULA_TABLEFULL when the number is
  // above 200000000 or the record would end beyond offset 4000000000.
  std::uint16_t CheckAppend(std::int32_t record_no) const;

  // Marks `image` deleted and makes it the head of the free chain. Its link becomes 0 when no
  // reuse is possible (RecordForInsert is NextRecordNo), else the current FirstFreeRecord.
  // REQUIRES: image holds at least 9 bytes; record_no is the image's record.
  void FreeRecord(std::uint8_t* image, std::int32_t record_no, bool internal_primary_index);

  // Takes the head of the free chain (`image` is record FirstFreeRecord, as read) for reuse.
  // Returns true when the record is a deleted record and may be reused: FirstFreeRecord becomes
  // the link stored in it when that points to another existing record (1 .. NextRecordNo − 1),
  // else 0. Returns false when the head is not a deleted record (a damaged chain): the chain is
  // cut (FirstFreeRecord 0) and the caller appends instead, so a damaged chain never hands out a
  // live record or a record beyond the file.
  // REQUIRES: image holds at least 9 bytes.
  bool TakeFreeRecord(const std::uint8_t* image);
};

// ---- Record image ----------------------------------------------------------------------------

// kRecordStatus (0), kRecordNoOrLink (1), kRecordIdentifier (5), kStatusActive and
// kStatusDeleted come with the record cache; the field areas start at 9.
constexpr std::size_t kRecordFields = 9;
constexpr std::size_t kRecordHeaderSize = 9;

inline std::uint8_t RecordStatus(const std::uint8_t* image) { return image[kRecordStatus]; }
std::int32_t RecordLink(const std::uint8_t* image);
std::int32_t RecordIdentifier(const std::uint8_t* image);
void SetRecordLink(std::uint8_t* image, std::int32_t value);
void SetRecordIdentifier(std::uint8_t* image, std::int32_t value);

// A new record buffer: zeros, its own number at offset 1 and the identifier at offset 5.
// REQUIRES: record_size >= 9.
void InitRecordImage(std::uint8_t* image, std::size_t record_size, std::int32_t record_no,
                     std::int32_t record_id);

// RecordSize of a set of descriptors: 9 plus 1 + PhysicalSize for every field with an area.
// The result may exceed 65535; CheckRecordSize judges it.
std::uint32_t ComputeRecordSize(const std::vector<TFieldDescriptor>& descriptors);

// Derives PhysicalSize and PhysicalScale from each field's type and assigns the offsets: 5 for
// the auto-increment field, nothing (0) for computed columns, the running offset from 9 for
// every other field. Returns the resulting record size (ComputeRecordSize).
std::uint32_t AssignFieldLayout(std::vector<TFieldDescriptor>& descriptors);

// 0, or TABULA_RECTOOBIG for a record size above 65536.
std::uint16_t CheckRecordSize(std::uint32_t record_size);

// The number of BLOB fields; more than 128 is TABULA_BLOBLIMIT for CheckBlobFieldCount.
std::size_t CountBlobFields(const std::vector<TFieldDescriptor>& descriptors);
std::uint16_t CheckBlobFieldCount(std::size_t blob_fields);

// Bytes that a field's value read or stored through the record takes: 4 for a BLOB (its
// first-block slot), else PhysicalSize; 4 for the auto-increment field.
std::size_t FieldValueSize(const TFieldDescriptor& descriptor);

// Reads a field of a record image into `value` (FieldValueSize bytes). Sets `is_null` from the
// null flag; the auto-increment field is the record identifier and never null. Returns 0, or
// TABULA_FILECORRUPT when the field's area does not lie inside the `image_size` bytes (the
// value is then untouched).
std::uint16_t ReadFieldValue(const TFieldDescriptor& descriptor, const std::uint8_t* image,
                             std::size_t image_size, std::uint8_t* value, bool* is_null);

// How StoreFieldValue stores a value: the kinds that need no more than the field's place are
// stored through a plan (StorePlannedField), the others by StoreFieldValue itself.
enum class TFieldStore : std::uint8_t {
  kGeneral,  // strings, BLOBs, the auto-increment identifier, computed columns, a bad area
  kFixed,    // numbers, dates, times and bytes: the value's bytes after a set null flag
  kBoolean,  // 0 or 1 after a set null flag
};

// Where ReadFieldValue finds a field in images of `image_size` bytes and how StoreFieldValue
// stores one, worked out once for a reader or writer of many records (a cursor, per field of its
// table).
struct TFieldPlan {
  std::uint32_t ValueOffset = 0;  // the value's first byte
  std::uint32_t ValueSize = 0;    // FieldValueSize
  bool NullFlag = false;          // the byte before the value is the null flag
  bool Fits = false;              // the area lies inside the image
  TFieldStore Store = TFieldStore::kGeneral;
};
TFieldPlan PlanField(const TFieldDescriptor& descriptor, std::size_t image_size);

// Copies `size` bytes of a field value: the sizes of numbers, dates and flags without a
// library call, since records are read and filled one such field at a time.
inline void CopyFieldBytes(std::uint8_t* to, const std::uint8_t* from, std::size_t size) {
  switch (size) {
    case 2:
      std::memcpy(to, from, 2);
      return;
    case 4:
      std::memcpy(to, from, 4);
      return;
    case 8:
      std::memcpy(to, from, 8);
      return;
    default:
      std::memcpy(to, from, size);
  }
}

// ReadFieldValue through a plan.
inline std::uint16_t ReadPlannedField(const TFieldPlan& plan, const std::uint8_t* image,
                                      std::uint8_t* value, bool* is_null) {
  if (!plan.Fits) return TABULA_FILECORRUPT;
  const std::uint8_t* from = image + plan.ValueOffset;
  CopyFieldBytes(value, from, plan.ValueSize);
  *is_null = plan.NullFlag && from[-1] == 0;
  return 0;
}

// A boolean's stored value: 1 for any non-zero value (of at most two bytes), else 0.
inline void StoreBooleanValue(std::uint8_t* to, const std::uint8_t* value, std::size_t value_size) {
  std::uint8_t raw[2] = {};
  std::memcpy(raw, value, std::min<std::size_t>(value_size, 2));
  EncodeFixed16(to, DecodeFixed16(raw) == 0 ? 0 : 1);
}

// StoreFieldValue through a plan, for a value that is not NULL; false when the plan leaves the
// store to StoreFieldValue.
inline bool StorePlannedField(const TFieldPlan& plan, std::uint8_t* image,
                              const std::uint8_t* value, std::size_t value_size) {
  std::uint8_t* to = image + plan.ValueOffset;
  switch (plan.Store) {
    case TFieldStore::kFixed:
      if (value_size < plan.ValueSize) return false;  // zero-filled by StoreFieldValue
      CopyFieldBytes(to, value, plan.ValueSize);
      break;
    case TFieldStore::kBoolean:
      StoreBooleanValue(to, value, value_size);
      break;
    case TFieldStore::kGeneral:
      return false;
  }
  to[-1] = 1;
  return true;
}

// Converts a text for a string field's CharCase (kCharCaseLower or kCharCaseUpper) under the
// table's collation. Without one, ASCII letters are converted.
using TCaseConverter = std::string (*)(std::string_view text, std::uint8_t char_case,
                                       const void* context);

// Stores a value into a record image with the storing rules; `value` nullptr stores null.
//  - string: `value_size` characters, ending early at a zero byte, are cut at FieldSize,
//    trailing blanks removed and the case converted as CharCase says; an empty result is null.
//  - boolean: a 16-bit value other than 0 and 1 is stored as 1.
//  - BLOB: the 8 bytes are stored; the null flag is set when the first block number is not 0.
//  - null: the flag is cleared and the value bytes zeroed (only the first-block slot of a BLOB).
//    The auto-increment field cannot be null: storing null there leaves it unchanged.
//  - every other type: the value's bytes are copied (a shorter value is zero-padded).
// Returns 0, or TABULA_FILECORRUPT when the area does not lie inside `image_size` bytes.
std::uint16_t StoreFieldValue(const TFieldDescriptor& descriptor, std::uint8_t* image,
                              std::size_t image_size, const std::uint8_t* value,
                              std::size_t value_size, TCaseConverter convert_case = nullptr,
                              const void* convert_context = nullptr);

// ---- Scrambling ------------------------------------------------------------------------------

// The seeds built into the engine: records, descriptors and the index and BLOB files use the
// data seed; the stored password and description characters the password seed.
constexpr std::uint8_t kDataSeed[2] = {0x6B, 0xC5};
constexpr std::uint8_t kPasswordSeed[2] = {0x39, 0xA2};

// Scrambles (or unscrambles: it is its own inverse) one run of bytes in place.
void ScrambleRun(std::uint8_t* data, std::size_t length, const std::uint8_t seed[2]);

// ---- Consistency of a header with its descriptors --------------------------------------------

// The structural checks that a table's first cursor runs on the data header before it trusts
// the file: FormatVersion 5 (else TABULA_OLDVERSION); for each field: a name of 1 to 30
// characters starting with a letter, "_" or a character from 128 to 254, unique without regard
// to case; a unique FieldNo equal to its position; type not 0; FieldSize at most 250 for string,
// bytes and varbytes, 0 otherwise; FieldScale 0 unless BCD; PhysicalSize derived from the type;
// FieldOffset 5 for the auto-increment field, else the running offset from 9; RecordSize equal to
// the final offset; BlobFieldCount equal to the BLOB fields; and, given the file size, whole
// records after the descriptors, NextRecordNo = records + 1 and FirstFreeRecord within 0 ..
// records. Everything else is TABULA_HEADERCORRUPT. The locale and the value texts are checked
// by the collation and expression layers.
std::uint16_t CheckDataHeader(const TDataHeader& header,
                              const std::vector<TFieldDescriptor>& descriptors,
                              std::uint64_t file_size);

}  // namespace tabula
