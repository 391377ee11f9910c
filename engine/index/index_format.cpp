#include "engine/index/index_format.h"

#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"

namespace tabula {

void TIndexDescriptor::EncodeTo(std::uint8_t* dst) const {
  std::memset(dst, 0, kEncodedLength);
  EncodeShortString(dst + kDescName, Name, kMaxIndexNameLength);
  EncodeFixed16(dst + kDescKeyLength, KeyLength);
  dst[kDescDescending] = Descending ? 1 : 0;
  dst[kDescCaseInsensitive] = CaseInsensitive ? 1 : 0;
  dst[kDescUnique] = Unique ? 1 : 0;
  dst[kDescCompression] = Compression;
  dst[kDescFieldCount] = FieldCount;
  for (int i = 0; i < kIndexFieldLimit; ++i) {
    dst[kDescFieldDescending + i] = FieldDescending[i];
    EncodeFixed16(dst + kDescFieldNumbers + 2 * i, FieldNumbers[i]);
  }
  EncodeFixed32(dst + kDescRootPage, RootPage);
  EncodeFixed32(dst + kDescFreePage, FreePage);
  EncodeFixed32(dst + kDescParameterPage, ParameterPage);
  dst[kDescNoSubtreeCounts] = NoSubtreeCounts ? 1 : 0;
  dst[kDescTemporary] = Temporary ? 1 : 0;
}

bool TIndexDescriptor::DecodeFrom(const std::uint8_t* src, std::size_t length) {
  if (length < kEncodedLength) return false;
  bool name_ok = DecodeShortString(src + kDescName, kMaxIndexNameLength, &Name);
  if (!name_ok) Name.clear();
  KeyLength = DecodeFixed16(src + kDescKeyLength);
  Descending = src[kDescDescending] != 0;
  CaseInsensitive = src[kDescCaseInsensitive] != 0;
  Unique = src[kDescUnique] != 0;
  Compression = src[kDescCompression];
  FieldCount = src[kDescFieldCount];
  for (int i = 0; i < kIndexFieldLimit; ++i) {
    FieldDescending[i] = src[kDescFieldDescending + i];
    FieldNumbers[i] = DecodeFixed16(src + kDescFieldNumbers + 2 * i);
  }
  RootPage = DecodeFixed32(src + kDescRootPage);
  FreePage = DecodeFixed32(src + kDescFreePage);
  ParameterPage = DecodeFixed32(src + kDescParameterPage);
  NoSubtreeCounts = src[kDescNoSubtreeCounts] != 0;
  Temporary = src[kDescTemporary] != 0;
  return name_ok;
}

void TIndexHeader::EncodeTo(std::uint8_t* dst) const {
  std::memset(dst, 0, kEncodedLength);
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    Descriptors[slot].EncodeTo(dst + DescriptorOffset(slot));
  }
  EncodeScalarsTo(dst);
}

void TIndexHeader::EncodeScalarsTo(std::uint8_t* dst) const {
  EncodeFixed32(dst + kIdxHeaderChangeCount, ChangeCount);
  dst[kIdxHeaderVersion] = Version;
  EncodeFixed32(dst + kIdxHeaderNextPage, NextPage);
  dst[kIdxHeaderSecondaryCount] = SecondaryCount;
  EncodeFixed32(dst + kIdxHeaderRecordCount, RecordCount);
  dst[kIdxHeaderNoPrimaryIndex] = NoPrimaryIndex ? 1 : 0;
}

std::uint16_t TIndexHeader::DecodeFrom(const std::uint8_t* src, std::size_t length) {
  if (length < kEncodedLength) return TABULA_HEADERCORRUPT;
  const std::uint8_t secondary_count = src[kIdxHeaderSecondaryCount];
  // Counts of 31 and 32 would make the system slots pass for secondary indexes, so anything
  // beyond the secondary slots is damage.
  if (secondary_count > kMaxSecondaryIndexes) return TABULA_HEADERCORRUPT;
  TIndexHeader decoded;
  decoded.ChangeCount = DecodeFixed32(src + kIdxHeaderChangeCount);
  decoded.Version = src[kIdxHeaderVersion];
  decoded.NextPage = DecodeFixed32(src + kIdxHeaderNextPage);
  decoded.SecondaryCount = secondary_count;
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    const bool ok = decoded.Descriptors[slot].DecodeFrom(
        src + kIdxHeaderDescriptors + slot * TIndexDescriptor::kEncodedLength,
        TIndexDescriptor::kEncodedLength);
    if (!ok && decoded.SlotInUse(slot)) return TABULA_HEADERCORRUPT;
  }
  decoded.RecordCount = DecodeFixed32(src + kIdxHeaderRecordCount);
  decoded.NoPrimaryIndex = src[kIdxHeaderNoPrimaryIndex] != 0;
  *this = std::move(decoded);
  return 0;
}

bool TIndexHeader::SlotInUse(int slot) const {
  if (slot == kPrimarySlot || slot == kSysDeletedSlot || slot == kSysTextSlot) return true;
  return slot >= 1 && slot <= SecondaryCount;
}

TIndexDescriptor SysDeletedDescriptor() {
  TIndexDescriptor d;
  d.Name = kSysDeletedName;
  d.KeyLength = kSysDeletedKeySize;
  // The key already ends in the record identifier; no suffix is appended.
  d.Unique = true;
  d.Compression = icNone;
  return d;
}

TIndexDescriptor SysTextDescriptor() {
  TIndexDescriptor d;
  d.Name = kSysTextName;
  d.KeyLength = kSysTextKeySize;
  d.Unique = true;
  d.Compression = icFull;
  return d;
}

TIndexHeader TIndexHeader::Create() {
  TIndexHeader h;
  h.Descriptors[kSysDeletedSlot] = SysDeletedDescriptor();
  h.Descriptors[kSysTextSlot] = SysTextDescriptor();
  return h;
}

}  // namespace tabula
