// The BLOB file format (.BLB): a 512-byte header, then fixed-size blocks that hold the values
// of a table's BLOB fields as chains.
//
// File layout: the header at offset 0, then blocks of BlobBlockSize bytes (taken from the data
// file's header; 512 when that is 0). Block n (counted from 1) starts at 512 + (n - 1) * size.
// All integers are little-endian.
//
// Header (512 bytes):
//   OFFSET  SIZE  MEANING
//        0     4  change counter, incremented at every header write
//        4     4  reserved, 0
//        8     1  format version: 5
//        9     4  first block of the free-block chain, 0 when there is none
//       13     4  the number the next appended block gets (blocks + 1; 1 in an empty file)
//       17     1  the writer's header-changed flag at the write (1 in a header just written);
//                 a reader gives it no meaning
//       18   494  reserved, 0
//
// Block:
//   OFFSET  SIZE  MEANING
//        0     4  previous block of the chain, 0 for the first block
//        4     4  next block of the chain (of the free chain for a free block), 0 at the end
//        8     2  number of data bytes used in this block
//       10     4  owner identifier of the value the block belongs to
//       14     4  total length of the value; in the first block only (0 in the others)
//       18  size - 18  data
//
// In an encrypted table the header is scrambled as one run with the data seed, and in every
// block the 18-byte block header and the data part as two separate runs.
//
// A BLOB field's 8 bytes in a record hold the first block of the value (0 for an empty value)
// and the owner identifier that every block of the value's chain carries.
//
// Thread-safety: plain values and pure functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabula {

constexpr std::size_t kBlobHeaderSize = 512;
constexpr std::size_t kBlobHeaderChangeCount = 0;
constexpr std::size_t kBlobHeaderVersion = 8;
constexpr std::size_t kBlobHeaderFirstFree = 9;
constexpr std::size_t kBlobHeaderNextBlock = 13;
constexpr std::size_t kBlobHeaderModified = 17;

constexpr std::size_t kBlockHeaderSize = 18;
constexpr std::size_t kBlockPrevious = 0;
constexpr std::size_t kBlockNext = 4;
constexpr std::size_t kBlockUsed = 8;
constexpr std::size_t kBlockOwner = 10;
constexpr std::size_t kBlockLength = 14;

constexpr std::uint8_t kBlobFormatVersion = 5;
// The block size a new table may use at least.
constexpr std::uint16_t kMinBlobBlockSize = 64;
// Appends are refused above this block number or when the block would end beyond kMaxBlobFileEnd.
constexpr std::int32_t kMaxBlobBlockNo = 2000000000;
constexpr std::uint64_t kMaxBlobFileEnd = 4000000000ULL;
// Bytes per disk read of consecutive blocks.
constexpr std::int32_t kBlobReadAheadBytes = 16384;

struct TBlobHeader {
  static constexpr std::size_t kEncodedLength = kBlobHeaderSize;

  std::uint32_t ChangeCount = 0;
  std::uint8_t Version = kBlobFormatVersion;
  std::int32_t FirstFreeBlock = 0;
  std::int32_t NextBlock = 1;
  std::uint8_t HeaderModified = 0;

  // Writes all 512 bytes (reserved bytes 0), unscrambled.
  void EncodeTo(std::uint8_t* dst) const;
  // Reads a plain header; false when fewer than 512 bytes are given.
  bool DecodeFrom(const std::uint8_t* src, std::size_t size);
};

struct TBlockHeader {
  static constexpr std::size_t kEncodedLength = kBlockHeaderSize;

  std::int32_t Previous = 0;
  std::int32_t Next = 0;
  std::uint16_t Used = 0;
  std::int32_t Owner = 0;
  std::int32_t Length = 0;

  void EncodeTo(std::uint8_t* dst) const;
  // False when fewer than 18 bytes are given.
  bool DecodeFrom(const std::uint8_t* src, std::size_t size);
};

// The offset of block `block_no` (>= 1) in a file of blocks of `block_size` bytes.
inline std::uint64_t BlockOffset(std::int32_t block_no, std::uint16_t block_size) {
  return kBlobHeaderSize + static_cast<std::uint64_t>(block_no - 1) * block_size;
}

// The data bytes one block holds.
inline std::size_t BlockDataSize(std::uint16_t block_size) {
  return block_size > kBlockHeaderSize ? block_size - kBlockHeaderSize : 0;
}

// The number of blocks a value of `length` bytes occupies.
inline std::int64_t BlocksForLength(std::int64_t length, std::uint16_t block_size) {
  const std::int64_t data = static_cast<std::int64_t>(BlockDataSize(block_size));
  return data == 0 ? 0 : (length + data - 1) / data;
}

}  // namespace tabula
