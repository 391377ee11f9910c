#include "engine/storage/data_file_format.h"

#include <algorithm>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/storage/data_session.h"

namespace tabula {

std::string_view FormatVersionText(std::uint8_t format_version) {
  switch (format_version) {
    case 0:
      return "1.00";
    case 1:
      return "1.02";
    case 2:
      return "1.04";
    case 3:
      return "1.08";
    case 4:
      return "2.00";
    case 5:
      return "3.00";
    default:
      return "";
  }
}

// ---- Header ----------------------------------------------------------------------------------

void TDataHeader::EncodeTo(std::uint8_t* dst) const {
  EncodeFixed32(dst + kHeaderChangeCount, static_cast<std::uint32_t>(ChangeCount));
  EncodeFixed32(dst + kHeaderBlobBlockSize, BlobBlockSize);
  dst[kHeaderFormatVersion] = FormatVersion;
  EncodeFixed32(dst + kHeaderFirstFreeRecord, static_cast<std::uint32_t>(FirstFreeRecord));
  EncodeFixed32(dst + kHeaderNextRecordNo, static_cast<std::uint32_t>(NextRecordNo));
  EncodeFixed32(dst + kHeaderLastRecordID, static_cast<std::uint32_t>(LastRecordID));
  EncodeFixed16(dst + kHeaderRecordSize, RecordSize);
  EncodeFixed16(dst + kHeaderFieldCount, FieldCount);
  EncodeFixed16(dst + kHeaderBlobFieldCount, BlobFieldCount);
  EncodeDouble(dst + kHeaderLastUpdated, LastUpdated);
  EncodeShortString(dst + kHeaderDescription, Description, kMaxDescriptionLength);
  dst[kHeaderEncrypted] = Encrypted ? 1 : 0;
  EncodeShortString(dst + kHeaderPassword, Password, kMaxPasswordLength);
  EncodeFixed16(dst + kHeaderLocaleID, LocaleID);
  EncodeFixed16(dst + kHeaderSortID, SortID);
  EncodeFixed16(dst + kHeaderUserMajorVersion, UserMajorVersion);
  EncodeFixed16(dst + kHeaderUserMinorVersion, UserMinorVersion);
  dst[kHeaderHeaderModified] = HeaderModified ? 1 : 0;
  EncodeFixed32(dst + kHeaderLastBlobID, static_cast<std::uint32_t>(LastBlobID));
  EncodeFixed64(dst + kHeaderEngineVersion, static_cast<std::uint64_t>(EngineVersion));
  std::memset(dst + kHeaderReserved, 0, kDataHeaderSize - kHeaderReserved);
}

std::uint16_t TDataHeader::DecodeFrom(const std::uint8_t* src, std::size_t size) {
  if (src == nullptr || size < kEncodedLength) return TABULA_READERR;
  TDataHeader decoded;
  if (!DecodeShortString(src + kHeaderDescription, kMaxDescriptionLength, &decoded.Description) ||
      !DecodeShortString(src + kHeaderPassword, kMaxPasswordLength, &decoded.Password)) {
    return TABULA_HEADERCORRUPT;
  }
  decoded.ChangeCount = static_cast<std::int32_t>(DecodeFixed32(src + kHeaderChangeCount));
  decoded.BlobBlockSize = DecodeFixed32(src + kHeaderBlobBlockSize);
  decoded.FormatVersion = src[kHeaderFormatVersion];
  decoded.FirstFreeRecord = static_cast<std::int32_t>(DecodeFixed32(src + kHeaderFirstFreeRecord));
  decoded.NextRecordNo = static_cast<std::int32_t>(DecodeFixed32(src + kHeaderNextRecordNo));
  decoded.LastRecordID = static_cast<std::int32_t>(DecodeFixed32(src + kHeaderLastRecordID));
  decoded.RecordSize = DecodeFixed16(src + kHeaderRecordSize);
  decoded.FieldCount = DecodeFixed16(src + kHeaderFieldCount);
  decoded.BlobFieldCount = DecodeFixed16(src + kHeaderBlobFieldCount);
  decoded.LastUpdated = DecodeDouble(src + kHeaderLastUpdated);
  decoded.Encrypted = src[kHeaderEncrypted] != 0;
  decoded.LocaleID = DecodeFixed16(src + kHeaderLocaleID);
  decoded.SortID = DecodeFixed16(src + kHeaderSortID);
  decoded.UserMajorVersion = DecodeFixed16(src + kHeaderUserMajorVersion);
  decoded.UserMinorVersion = DecodeFixed16(src + kHeaderUserMinorVersion);
  decoded.HeaderModified = src[kHeaderHeaderModified] != 0;
  decoded.LastBlobID = static_cast<std::int32_t>(DecodeFixed32(src + kHeaderLastBlobID));
  decoded.EngineVersion = static_cast<std::int64_t>(DecodeFixed64(src + kHeaderEngineVersion));
  *this = std::move(decoded);
  return 0;
}

namespace {

std::string ScrambledText(std::string_view text) {
  std::string result(text);
  ScrambleRun(reinterpret_cast<std::uint8_t*>(result.data()), result.size(), kPasswordSeed);
  return result;
}

}  // namespace

std::string TDataHeader::PlainDescription() const {
  return Encrypted ? ScrambledText(Description) : Description;
}

std::string TDataHeader::PlainPassword() const {
  return Encrypted ? ScrambledText(Password) : std::string();
}

void TDataHeader::SetPlainDescription(std::string_view text) {
  const std::string_view cut = text.substr(0, kMaxDescriptionLength);
  Description = Encrypted ? ScrambledText(cut) : std::string(cut);
}

void TDataHeader::SetPlainPassword(std::string_view text) {
  Password = Encrypted ? ScrambledText(text.substr(0, kMaxPasswordLength)) : std::string();
}

std::uint16_t TDataHeader::GetBlobBlockSize() const {
  const std::uint16_t size = static_cast<std::uint16_t>(BlobBlockSize & 0xFFFF);
  return size == 0 ? kDefaultBlobBlockSize : size;
}

std::uint64_t TDataHeader::RecordsOffset() const {
  return kDescriptorsOffset + std::uint64_t{TFieldDescriptor::kEncodedLength} * FieldCount;
}

std::uint64_t TDataHeader::RecordOffset(std::int32_t record_no) const {
  return RecordsOffset() + static_cast<std::uint64_t>(record_no - 1) * RecordSize;
}

std::int32_t TDataHeader::NewRecordID() {
  if (LastRecordID == kMaxRecordID) LastRecordID = 0;
  return ++LastRecordID;
}

std::int32_t TDataHeader::NewBlobID() {
  if (LastBlobID == kMaxRecordID) LastBlobID = 0;
  return ++LastBlobID;
}

std::int32_t TDataHeader::RecordForInsert(bool internal_primary_index) const {
  return FirstFreeRecord != 0 && !internal_primary_index ? FirstFreeRecord : NextRecordNo;
}

std::uint16_t TDataHeader::CheckAppend(std::int32_t record_no) const {
  if (record_no < 1 || record_no > kMaxRecordNumber) return TABULA_TABLEFULL;
  const std::uint64_t end = RecordsOffset() + static_cast<std::uint64_t>(record_no) * RecordSize;
  return end > kMaxDataFileEnd ? TABULA_TABLEFULL : 0;
}

void TDataHeader::FreeRecord(std::uint8_t* image, std::int32_t record_no,
                             bool internal_primary_index) {
  image[kRecordStatus] = kStatusDeleted;
  const bool reusable = RecordForInsert(internal_primary_index) != NextRecordNo;
  SetRecordLink(image, reusable ? FirstFreeRecord : 0);
  FirstFreeRecord = record_no;
}

bool TDataHeader::TakeFreeRecord(const std::uint8_t* image) {
  if (RecordStatus(image) != kStatusDeleted) {
    FirstFreeRecord = 0;
    return false;
  }
  const std::int32_t link = RecordLink(image);
  FirstFreeRecord = link >= 1 && link < NextRecordNo && link != FirstFreeRecord ? link : 0;
  return true;
}

// ---- Record image ----------------------------------------------------------------------------

std::int32_t RecordLink(const std::uint8_t* image) {
  return static_cast<std::int32_t>(DecodeFixed32(image + kRecordNoOrLink));
}

std::int32_t RecordIdentifier(const std::uint8_t* image) {
  return static_cast<std::int32_t>(DecodeFixed32(image + kRecordIdentifier));
}

void SetRecordLink(std::uint8_t* image, std::int32_t value) {
  EncodeFixed32(image + kRecordNoOrLink, static_cast<std::uint32_t>(value));
}

void SetRecordIdentifier(std::uint8_t* image, std::int32_t value) {
  EncodeFixed32(image + kRecordIdentifier, static_cast<std::uint32_t>(value));
}

void InitRecordImage(std::uint8_t* image, std::size_t record_size, std::int32_t record_no,
                     std::int32_t record_id) {
  std::memset(image, 0, record_size);
  SetRecordLink(image, record_no);
  SetRecordIdentifier(image, record_id);
}

std::uint32_t ComputeRecordSize(const std::vector<TFieldDescriptor>& descriptors) {
  std::uint32_t size = kRecordHeaderSize;
  for (const TFieldDescriptor& d : descriptors) size += static_cast<std::uint32_t>(d.AreaSize());
  return size;
}

std::uint32_t AssignFieldLayout(std::vector<TFieldDescriptor>& descriptors) {
  std::uint32_t offset = kRecordFields;
  for (TFieldDescriptor& d : descriptors) {
    d.PhysicalSize = PhysicalSizeOf(d.FieldType, d.FieldSize);
    d.PhysicalScale = d.FieldScale;
    if (IsAutoIncField(d.FieldType, d.FieldSubType)) {
      d.FieldOffset = kRecordIdentifier;
    } else if (d.Computed) {
      d.FieldOffset = 0;
    } else {
      d.FieldOffset = static_cast<std::uint16_t>(offset);
      offset += 1u + d.PhysicalSize;
    }
  }
  return offset;
}

std::uint16_t CheckRecordSize(std::uint32_t record_size) {
  return record_size > kMaxRecordSize ? TABULA_RECTOOBIG : 0;
}

std::size_t CountBlobFields(const std::vector<TFieldDescriptor>& descriptors) {
  return static_cast<std::size_t>(
      std::count_if(descriptors.begin(), descriptors.end(),
                    [](const TFieldDescriptor& d) { return d.FieldType == fldBlob; }));
}

std::uint16_t CheckBlobFieldCount(std::size_t blob_fields) {
  return blob_fields > kMaxBlobFieldCount ? TABULA_BLOBLIMIT : 0;
}

std::size_t FieldValueSize(const TFieldDescriptor& descriptor) {
  if (IsAutoIncField(descriptor.FieldType, descriptor.FieldSubType)) return 4;
  if (descriptor.FieldType == fldBlob) return kBlobFirstBlockSize;
  return descriptor.PhysicalSize;
}

namespace {

// True when the field's bytes (null flag and value, or the identifier of the auto-increment
// field) lie inside the image.
bool AreaFits(const TFieldDescriptor& d, std::size_t image_size) {
  if (IsAutoIncField(d.FieldType, d.FieldSubType)) return image_size >= kRecordIdentifier + 4;
  return d.FieldOffset >= kRecordFields &&
         std::size_t{d.FieldOffset} + 1 + d.PhysicalSize <= image_size;
}

std::string AsciiCase(std::string_view text, std::uint8_t char_case) {
  std::string result(text);
  for (char& c : result) {
    if (char_case == kCharCaseUpper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (char_case == kCharCaseLower && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return result;
}

}  // namespace

TFieldPlan PlanField(const TFieldDescriptor& descriptor, std::size_t image_size) {
  TFieldPlan plan;
  plan.Fits = AreaFits(descriptor, image_size);
  plan.ValueSize = static_cast<std::uint32_t>(FieldValueSize(descriptor));
  if (IsAutoIncField(descriptor.FieldType, descriptor.FieldSubType)) {
    plan.ValueOffset = kRecordIdentifier;  // the record identifier, never null
  } else {
    plan.ValueOffset = std::uint32_t{descriptor.FieldOffset} + 1;
    plan.NullFlag = true;
  }
  // The kinds of StoreFieldValue's boolean and default cases; the others stay with it.
  if (plan.Fits && plan.NullFlag && !descriptor.Computed) {
    if (descriptor.FieldType == fldBoolean) {
      if (plan.ValueSize >= 2) plan.Store = TFieldStore::kBoolean;
    } else if (descriptor.FieldType != fldString && descriptor.FieldType != fldBlob) {
      plan.Store = TFieldStore::kFixed;
    }
  }
  return plan;
}

std::uint16_t ReadFieldValue(const TFieldDescriptor& descriptor, const std::uint8_t* image,
                             std::size_t image_size, std::uint8_t* value, bool* is_null) {
  return ReadPlannedField(PlanField(descriptor, image_size), image, value, is_null);
}

namespace {

// Stores a string field's text (at most the field's size) and zeroes the rest of the area.
inline void StoreText(std::uint8_t* area, std::size_t size, std::string_view stored) {
  const std::size_t length = std::min(stored.size(), size == 0 ? 0 : size - 1);
  std::memcpy(area + 1, stored.data(), length);
  std::memset(area + 1 + length, 0, size - length);
  area[0] = stored.empty() ? 0 : 1;
}

// A string field with a case conversion: the one store that needs a copy of the text. Kept out
// of StoreFieldValue so that the stores without one carry no string.
[[gnu::noinline]] void StoreConvertedText(const TFieldDescriptor& descriptor, std::uint8_t* area,
                                          std::string_view text, TCaseConverter convert_case,
                                          const void* convert_context) {
  std::string converted = convert_case != nullptr
                              ? convert_case(text, descriptor.CharCase, convert_context)
                              : AsciiCase(text, descriptor.CharCase);
  // A converter may not lengthen the text beyond the field.
  converted.resize(std::min(converted.size(), std::size_t{descriptor.FieldSize}));
  StoreText(area, descriptor.PhysicalSize, converted);
}

}  // namespace

std::uint16_t StoreFieldValue(const TFieldDescriptor& descriptor, std::uint8_t* image,
                              std::size_t image_size, const std::uint8_t* value,
                              std::size_t value_size, TCaseConverter convert_case,
                              const void* convert_context) {
  if (!AreaFits(descriptor, image_size)) return TABULA_FILECORRUPT;
  if (IsAutoIncField(descriptor.FieldType, descriptor.FieldSubType)) {
    if (value != nullptr) {
      std::uint8_t bytes[4] = {};
      std::memcpy(bytes, value, std::min<std::size_t>(value_size, 4));
      std::memcpy(image + kRecordIdentifier, bytes, 4);
    }
    return 0;
  }
  std::uint8_t* area = image + descriptor.FieldOffset;
  std::uint8_t* bytes = area + 1;
  const std::size_t size = descriptor.PhysicalSize;
  if (value == nullptr) {
    area[0] = 0;
    std::memset(bytes, 0,
                descriptor.FieldType == fldBlob ? std::min(size, kBlobFirstBlockSize) : size);
    return 0;
  }
  switch (descriptor.FieldType) {
    case fldString: {
      std::string_view text(reinterpret_cast<const char*>(value), value_size);
      text = text.substr(0, std::min(text.find('\0'), std::size_t{descriptor.FieldSize}));
      while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
      if (descriptor.CharCase == kCharCaseLower || descriptor.CharCase == kCharCaseUpper) {
        StoreConvertedText(descriptor, area, text, convert_case, convert_context);
      } else {
        StoreText(area, size, text);
      }
      return 0;
    }
    case fldBoolean:
      StoreBooleanValue(bytes, value, value_size);
      area[0] = 1;
      return 0;
    case fldBlob: {
      std::memset(bytes, 0, size);
      std::memcpy(bytes, value, std::min(value_size, size));
      area[0] = size >= 4 && DecodeFixed32(bytes) != 0 ? 1 : 0;
      return 0;
    }
    default:
      if (value_size >= size) {
        CopyFieldBytes(bytes, value, size);
      } else {
        std::memset(bytes, 0, size);
        std::memcpy(bytes, value, value_size);
      }
      area[0] = 1;
      return 0;
  }
}

// ---- Scrambling ------------------------------------------------------------------------------

void ScrambleRun(std::uint8_t* data, std::size_t length, const std::uint8_t seed[2]) {
  if (length % 65536 == 0) return;
  std::uint8_t low = seed[0];
  std::uint8_t high = seed[1];
  for (std::size_t i = 0; i < length; ++i) {
    data[i] = static_cast<std::uint8_t>(data[i] ^ low ^ high);
    ++low;
    --high;
  }
}

// ---- Consistency -----------------------------------------------------------------------------

namespace {

bool StartsIdentifier(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

bool HasDeclaredSize(std::uint8_t type) {
  return type == fldString || type == fldBytes || type == fldVarBytes;
}

}  // namespace

std::uint16_t CheckDataHeader(const TDataHeader& header,
                              const std::vector<TFieldDescriptor>& descriptors,
                              std::uint64_t file_size) {
  if (header.FormatVersion != kDataFormatVersion) return TABULA_OLDVERSION;
  if (descriptors.size() != header.FieldCount || header.FieldCount > kMaxFieldCount) {
    return TABULA_HEADERCORRUPT;
  }
  std::uint32_t offset = kRecordFields;
  for (std::size_t i = 0; i < descriptors.size(); ++i) {
    const TFieldDescriptor& d = descriptors[i];
    const std::string& name = d.FieldName;
    if (name.empty() || name.size() > kMaxFieldNameLength ||
        !StartsIdentifier(static_cast<unsigned char>(name[0]))) {
      return TABULA_HEADERCORRUPT;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (SameNameTrimmed(descriptors[j].FieldName, d.FieldName)) return TABULA_HEADERCORRUPT;
    }
    if (d.FieldNo != i + 1) return TABULA_HEADERCORRUPT;  // also makes numbers unique
    if (d.FieldType == fldUnknown) return TABULA_HEADERCORRUPT;
    if (HasDeclaredSize(d.FieldType) ? d.FieldSize > kMaxFieldSize : d.FieldSize != 0) {
      return TABULA_HEADERCORRUPT;
    }
    if (d.FieldType != fldBCD && d.FieldScale != 0) return TABULA_HEADERCORRUPT;
    if (d.PhysicalSize != PhysicalSizeOf(d.FieldType, d.FieldSize)) return TABULA_HEADERCORRUPT;
    if (d.Computed) return TABULA_HEADERCORRUPT;  // no computed columns in a table file
    if (IsAutoIncField(d.FieldType, d.FieldSubType)) {
      if (d.FieldOffset != kRecordIdentifier) return TABULA_HEADERCORRUPT;
    } else {
      if (d.FieldOffset != offset) return TABULA_HEADERCORRUPT;
      offset += 1u + d.PhysicalSize;
    }
  }
  if (header.RecordSize != offset) return TABULA_HEADERCORRUPT;
  if (header.BlobFieldCount != CountBlobFields(descriptors)) return TABULA_HEADERCORRUPT;
  const std::uint64_t end = header.RecordsOffset();
  const std::uint64_t records_bytes = file_size > end ? file_size - end : 0;
  if (records_bytes % header.RecordSize != 0) return TABULA_HEADERCORRUPT;
  const std::uint64_t records = records_bytes / header.RecordSize;
  if (static_cast<std::uint64_t>(static_cast<std::int64_t>(header.NextRecordNo)) != records + 1 ||
      header.FirstFreeRecord < 0 || static_cast<std::uint64_t>(header.FirstFreeRecord) > records) {
    return TABULA_HEADERCORRUPT;
  }
  return 0;
}

}  // namespace tabula
