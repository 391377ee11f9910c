// The index file's byte layout: the 4096-byte header with its 33 index descriptors, and the
// constants of the page images (the page codec itself is TPage, index_page.h).
//
// The file is a sequence of 4096-byte blocks. Block 0 is the header; pages are numbered from 1
// and page n lies at offset n * 4096. All integers are little-endian.
//
// Header (block 0):
//   OFFSET  SIZE      MEANING
//   0       4         change counter, +1 on every header write (other processes compare it)
//   4       4         reserved (0)
//   8       1         index file version, 5
//   9       4         next page number (1 in an empty file); pages in the file = this - 1
//   13      1         number of secondary indexes, 0..30
//   14      33 * 120  index descriptors, slots 0..32 (0 primary, 1..30 secondary,
//                     31 "Sys Deleted", 32 "Sys Text")
//   3974    4         record count of the table (live records)
//   3978    1         no-primary-index flag
//   3979    1         ignored when read, written as 0
//   3980    116       reserved (0)
//
// Index descriptor (120 bytes):
//   OFFSET  SIZE  MEANING
//   0       31    name: length byte + up to 30 characters (empty for the primary index)
//   31      2     key length in bytes
//   33      1     descending (whole index)
//   34      1     case-insensitive
//   35      1     unique (no record-ID suffix); always 1 for the primary index
//   36      1     leaf compression: 0 NONE, 1 DUPBYTE, 2 TRAILBYTE, 3 FULL
//   37      1     number of index fields, 1..16
//   38      16    per-field descending flags, in field order
//   54      32    field numbers, 16 bits each, 1-based, in key order; the rest 0
//   86      4     root page number; 0 = empty index
//   90      4     head of the index's free-page chain; 0 = none
//   94      1     reserved (0)
//   96      4     first page of the text-index parameter chain (slot 32 only)
//   100     1     no-subtree-counts flag: interior entries carry no subtree key count
//   101     1     temporary index: pages live in the scratch file, never written to disk
//   102     18    reserved (0)
//
// Thread-safety: plain values; no shared state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tabula {

// ---- Blocks and pages.
constexpr std::size_t kIndexBlockSize = 4096;
constexpr std::uint8_t kIndexFileVersion = 5;
// Page numbers never exceed this, and the file never grows beyond kMaxIndexFileSize bytes.
constexpr std::uint32_t kMaxIndexPageNumber = 2000000000u;
constexpr std::uint64_t kMaxIndexFileSize = 4000000000ull;

// ---- Header offsets.
constexpr std::size_t kIdxHeaderChangeCount = 0;
constexpr std::size_t kIdxHeaderReserved4 = 4;
constexpr std::size_t kIdxHeaderVersion = 8;
constexpr std::size_t kIdxHeaderNextPage = 9;
constexpr std::size_t kIdxHeaderSecondaryCount = 13;
constexpr std::size_t kIdxHeaderDescriptors = 14;
constexpr std::size_t kIdxHeaderRecordCount = 3974;
constexpr std::size_t kIdxHeaderNoPrimaryIndex = 3978;
constexpr std::size_t kIdxHeaderIgnored = 3979;
constexpr std::size_t kIdxHeaderReserved = 3980;

// ---- Descriptor slots.
constexpr int kIndexSlotCount = 33;
constexpr int kPrimarySlot = 0;
constexpr int kMaxSecondaryIndexes = 30;
constexpr int kSysDeletedSlot = 31;
constexpr int kSysTextSlot = 32;
constexpr int kIndexFieldLimit = 16;
constexpr std::size_t kMaxIndexNameLength = 30;
inline constexpr const char* kSysDeletedName = "Sys Deleted";
inline constexpr const char* kSysTextName = "Sys Text";
constexpr std::uint16_t kSysDeletedKeySize = 5;
constexpr std::uint16_t kSysTextKeySize = 68;
// Largest sum of segment widths of an index; a non-unique index adds a 4-byte suffix.
constexpr std::uint16_t kMaxKeySegmentsLength = 522;
constexpr std::uint16_t kKeySuffixSize = 4;
constexpr std::uint16_t kMaxKeyLength = kMaxKeySegmentsLength + kKeySuffixSize;

// ---- Descriptor offsets.
constexpr std::size_t kDescName = 0;
constexpr std::size_t kDescKeyLength = 31;
constexpr std::size_t kDescDescending = 33;
constexpr std::size_t kDescCaseInsensitive = 34;
constexpr std::size_t kDescUnique = 35;
constexpr std::size_t kDescCompression = 36;
constexpr std::size_t kDescFieldCount = 37;
constexpr std::size_t kDescFieldDescending = 38;
constexpr std::size_t kDescFieldNumbers = 54;
constexpr std::size_t kDescRootPage = 86;
constexpr std::size_t kDescFreePage = 90;
constexpr std::size_t kDescReserved94 = 94;
constexpr std::size_t kDescParameterPage = 96;
constexpr std::size_t kDescNoSubtreeCounts = 100;
constexpr std::size_t kDescTemporary = 101;
constexpr std::size_t kDescReserved102 = 102;

// Leaf compression kinds.
enum TIndexCompression : std::uint8_t {
  icNone = 0,
  icDupByte = 1,
  icTrailByte = 2,
  icFull = 3,
};

// One index descriptor, decoded.
struct TIndexDescriptor {
  static constexpr std::size_t kEncodedLength = 120;

  std::string Name;
  std::uint16_t KeyLength = 0;
  bool Descending = false;
  bool CaseInsensitive = false;
  bool Unique = false;
  std::uint8_t Compression = icNone;
  std::uint8_t FieldCount = 0;
  std::array<std::uint8_t, kIndexFieldLimit> FieldDescending{};
  std::array<std::uint16_t, kIndexFieldLimit> FieldNumbers{};
  std::uint32_t RootPage = 0;
  std::uint32_t FreePage = 0;
  std::uint32_t ParameterPage = 0;
  bool NoSubtreeCounts = false;
  bool Temporary = false;

  void EncodeTo(std::uint8_t* dst) const;
  // Returns false when the name's length byte exceeds 30 (the descriptor is then left with an
  // empty name and every other field decoded).
  bool DecodeFrom(const std::uint8_t* src, std::size_t length);

  bool operator==(const TIndexDescriptor&) const = default;
};

// The header block, decoded.
struct TIndexHeader {
  static constexpr std::size_t kEncodedLength = kIndexBlockSize;

  std::uint32_t ChangeCount = 0;
  std::uint8_t Version = kIndexFileVersion;
  std::uint32_t NextPage = 1;
  std::uint8_t SecondaryCount = 0;
  std::array<TIndexDescriptor, kIndexSlotCount> Descriptors{};
  std::uint32_t RecordCount = 0;
  bool NoPrimaryIndex = false;

  // Writes the whole block: reserved and ignored bytes as zeros.
  void EncodeTo(std::uint8_t* dst) const;
  // Writes only the fields outside the descriptors (change counter, version, next page,
  // secondary count, record count, no-primary-index flag) into a block.
  void EncodeScalarsTo(std::uint8_t* dst) const;
  // Offset of a slot's descriptor in the block.
  static constexpr std::size_t DescriptorOffset(int slot) {
    return kIdxHeaderDescriptors +
           static_cast<std::size_t>(slot) * TIndexDescriptor::kEncodedLength;
  }
  // Returns 0, or TABULA_HEADERCORRUPT when the block is short, records more secondary indexes
  // than there are secondary slots, or the name of a slot in use is damaged. Slots past the
  // secondary count may hold stale bytes; they are decoded leniently and never used.
  // The version byte is decoded, not validated (TABULA_OLDVERSION belongs to the opener).
  std::uint16_t DecodeFrom(const std::uint8_t* src, std::size_t length);

  // A new header: version 5, next page 1, record count 0, the two system descriptors.
  static TIndexHeader Create();

  // True when `slot` is the primary index, a secondary index in use, or a system index.
  bool SlotInUse(int slot) const;
};

// The fixed descriptors of the two system indexes.
TIndexDescriptor SysDeletedDescriptor();
TIndexDescriptor SysTextDescriptor();

}  // namespace tabula
