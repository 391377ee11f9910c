#include "engine/storage/blob_file_format.h"

#include <cstring>

#include "engine/base/coding.h"

namespace tabula {

void TBlobHeader::EncodeTo(std::uint8_t* dst) const {
  std::memset(dst, 0, kEncodedLength);
  EncodeFixed32(dst + kBlobHeaderChangeCount, ChangeCount);
  dst[kBlobHeaderVersion] = Version;
  EncodeFixed32(dst + kBlobHeaderFirstFree, static_cast<std::uint32_t>(FirstFreeBlock));
  EncodeFixed32(dst + kBlobHeaderNextBlock, static_cast<std::uint32_t>(NextBlock));
  dst[kBlobHeaderModified] = HeaderModified;
}

bool TBlobHeader::DecodeFrom(const std::uint8_t* src, std::size_t size) {
  if (size < kEncodedLength) return false;
  ChangeCount = DecodeFixed32(src + kBlobHeaderChangeCount);
  Version = src[kBlobHeaderVersion];
  FirstFreeBlock = static_cast<std::int32_t>(DecodeFixed32(src + kBlobHeaderFirstFree));
  NextBlock = static_cast<std::int32_t>(DecodeFixed32(src + kBlobHeaderNextBlock));
  HeaderModified = src[kBlobHeaderModified];
  return true;
}

void TBlockHeader::EncodeTo(std::uint8_t* dst) const {
  EncodeFixed32(dst + kBlockPrevious, static_cast<std::uint32_t>(Previous));
  EncodeFixed32(dst + kBlockNext, static_cast<std::uint32_t>(Next));
  EncodeFixed16(dst + kBlockUsed, Used);
  EncodeFixed32(dst + kBlockOwner, static_cast<std::uint32_t>(Owner));
  EncodeFixed32(dst + kBlockLength, static_cast<std::uint32_t>(Length));
}

bool TBlockHeader::DecodeFrom(const std::uint8_t* src, std::size_t size) {
  if (size < kEncodedLength) return false;
  Previous = static_cast<std::int32_t>(DecodeFixed32(src + kBlockPrevious));
  Next = static_cast<std::int32_t>(DecodeFixed32(src + kBlockNext));
  Used = DecodeFixed16(src + kBlockUsed);
  Owner = static_cast<std::int32_t>(DecodeFixed32(src + kBlockOwner));
  Length = static_cast<std::int32_t>(DecodeFixed32(src + kBlockLength));
  return true;
}

}  // namespace tabula
