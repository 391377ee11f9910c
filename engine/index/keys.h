// Index keys: how a key is built from a record image so that comparing two keys gives the index
// order, how two keys compare, range bounds and successor keys, and the words of text indexes.
//
// Key layout of an ordinary index (the key length is fixed per index):
//
//   OFFSET  SIZE           MEANING
//        0  1              null flag of index field 1: 0 NULL, 1 a value
//        1  key width 1    key value of index field 1 (table below)
//      ...  ...            the same for index fields 2 to n, in index-field order
//   L - 4   4              record-ID suffix, only when the index is not unique: the record
//                          identifier (record offset 5) as an integer key value
//
//   FIELD TYPE                          KEY WIDTH      KEY VALUE
//   string                              FieldSize + 1  the characters (upper-cased under the
//                                                      table's collation in a case-insensitive
//                                                      index), then zero bytes
//   smallint                            2              big-endian, sign bit inverted
//   boolean, word                       2              big-endian, unsigned
//   integer, auto-increment, date, time 4              big-endian, sign bit inverted
//   largeint                            8              big-endian, sign bit inverted
//   float, money, timestamp             8              the double's bits big-endian; top bit set
//                                                      for a value >= 0 (also -0), all 64 bits
//                                                      inverted for a negative value
//   BCD                                 8              value × 10000 rounded, as a largeint
//   unsigned integer, extended float,   PhysicalSize   the stored bytes unchanged
//   bytes, varbytes, any other
//
// A NULL field's segment is the null flag 0 followed by the key value of an all-zero field. In a
// table without a locale (LocaleID 0), a descending field of an index that is not descending as
// a whole is stored inverted (null flag and value; for a string the first FieldSize characters),
// so that plain byte order is the index order. Under a locale nothing is inverted: the comparison
// negates the field's result instead. A descending index is never inverted; its comparison is.
//
// "Sys Deleted" key (5 bytes): the record's status byte, then the record identifier as an integer
// key value.
//
// "Sys Text" key (68 bytes):
//
//   OFFSET  SIZE  MEANING
//        0     1  1
//        1     2  field number, big-endian
//        3    61  the word, upper-cased under the table's collation, zero-padded
//       64     4  the record identifier as an integer key value
//
// Thread-safety: TIndexKeys is immutable after construction and may be shared between threads;
// the key functions use only their arguments and the (immutable) collation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/index/collation.h"
#include "engine/index/index_format.h"
#include "engine/storage/field_types.h"

namespace tabula {

constexpr std::size_t kRecordIdSuffixLength = 4;
// Longest key without the record-ID suffix.
constexpr std::size_t kMaxKeyFieldsLength = 522;
constexpr std::size_t kMaxIndexFields = 16;

constexpr std::size_t kSysDeletedKeyLength = 5;
constexpr std::size_t kTextKeyLength = 68;
constexpr std::size_t kTextKeyFieldNo = 1;
constexpr std::size_t kTextKeyWord = 3;
constexpr std::size_t kTextKeyWordLength = 61;
constexpr std::size_t kTextKeyRecordId = 64;
// Longest word of a text index.
constexpr std::size_t kMaxWordLength = kTextKeyWordLength;

// ---- Key values of single fields ---------------------------------------------------------------

inline void EncodeSmallIntKey(std::uint8_t* dst, std::int16_t value) {
  const auto bits = static_cast<std::uint16_t>(static_cast<std::uint16_t>(value) ^ 0x8000u);
  dst[0] = static_cast<std::uint8_t>(bits >> 8);
  dst[1] = static_cast<std::uint8_t>(bits);
}

inline void EncodeWordKey(std::uint8_t* dst, std::uint16_t value) {
  dst[0] = static_cast<std::uint8_t>(value >> 8);
  dst[1] = static_cast<std::uint8_t>(value);
}

inline void EncodeIntegerKey(std::uint8_t* dst, std::int32_t value) {
  const std::uint32_t bits = static_cast<std::uint32_t>(value) ^ 0x80000000u;
  for (int i = 0; i < 4; ++i) dst[i] = static_cast<std::uint8_t>(bits >> (24 - 8 * i));
}

inline void EncodeLargeIntKey(std::uint8_t* dst, std::int64_t value) {
  const std::uint64_t bits = static_cast<std::uint64_t>(value) ^ 0x8000000000000000ull;
  for (int i = 0; i < 8; ++i) dst[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
}

// A NaN is not negative, so it keeps its bits with the top bit set and sorts above every number.
void EncodeFloatKey(std::uint8_t* dst, double value);

// Key width of a field of this type: the bytes after its null flag in a key segment. 0 for a
// BLOB, which no index may hold.
std::uint16_t KeyWidthOf(std::uint8_t field_type, std::uint8_t field_size,
                         std::uint8_t physical_size);
inline std::uint16_t KeyWidthOf(const TFieldDescriptor& field) {
  return KeyWidthOf(field.FieldType, field.FieldSize, field.PhysicalSize);
}

// ---- Index definitions as keys see them ---------------------------------------------------------

// One index field: what the key needs of the field's descriptor, and its descending flag.
struct TKeyField {
  std::uint16_t FieldNo = 0;
  std::uint8_t FieldType = fldUnknown;
  std::uint8_t FieldSubType = fldstNone;
  std::uint8_t FieldSize = 0;
  std::uint8_t PhysicalSize = 0;
  std::uint16_t FieldOffset = 0;
  bool Descending = false;

  static TKeyField FromDescriptor(const TFieldDescriptor& field, bool descending);
  std::uint16_t KeyWidth() const { return KeyWidthOf(FieldType, FieldSize, PhysicalSize); }
};

enum class TKeyIndexKind : std::uint8_t { ikNormal, ikSysDeleted, ikSysText };

struct TKeyIndexDef {
  TKeyIndexKind Kind = TKeyIndexKind::ikNormal;
  bool Descending = false;        // the index as a whole
  bool CaseInsensitive = false;   // string values are upper-cased into the key
  bool Unique = false;            // no record-ID suffix
  std::vector<TKeyField> Fields;  // ordinary indexes only
};

// The key definition of index slot `slot` (31 "Sys Deleted", 32 "Sys Text", else an ordinary
// index) from its descriptor and the table's field descriptors in field-number order. Returns 0,
// or TABULA_HEADERCORRUPT when the descriptor holds more than 16 fields or a field number that
// names no field; `definition` is then left alone.
std::uint16_t MakeKeyIndexDef(const TIndexDescriptor& descriptor, int slot,
                              const std::vector<TFieldDescriptor>& fields,
                              TKeyIndexDef* definition);

// The sum of (1 + key width) over the fields, without the record-ID suffix.
std::size_t KeyFieldsLength(const std::vector<TKeyField>& fields);

// ---- Keys of one index ---------------------------------------------------------------------

// The key functions of one index under its table's collation. A cursor makes one per index when
// it opens; it copies the table's character map from the process-wide cache.
class TIndexKeys {
 public:
  // `collation` lives for the life of the process (FindCollation).
  TIndexKeys(TKeyIndexDef definition, const TCollation& collation);

  const TKeyIndexDef& Definition() const { return definition_; }
  const TCollation& Collation() const { return *collation_; }
  const TCharMap& CharMap() const { return char_map_; }
  // Bytes per key: fields plus suffix; 5 for "Sys Deleted", 68 for "Sys Text".
  std::size_t KeyLength() const { return key_length_; }
  // Offset of index field `i`'s segment (its null flag) in the key.
  std::size_t SegmentOffset(std::size_t i) const { return segments_[i].offset; }

  // Builds the key of an ordinary or "Sys Deleted" index from a record image of `record_size`
  // bytes into `key` (KeyLength() bytes). Returns 0, or TABULA_HEADERCORRUPT when a field's area
  // lies outside the record (the key is then all zero), or TABULA_INVALIDKEY for "Sys Text",
  // whose keys BuildTextKey makes.
  std::uint16_t BuildKey(const std::uint8_t* record, std::size_t record_size,
                         std::uint8_t* key) const;

  // True when two record images of `record_size` bytes certainly give the same key: the bytes
  // BuildKey reads from them are equal (each field's null flag and value bytes, the record
  // identifier, the status byte of "Sys Deleted"). False says only that the keys may differ.
  bool SameKeySource(const std::uint8_t* a, const std::uint8_t* b, std::size_t record_size) const;

  // 1 when CompareKeys is plain unsigned byte order over every length (an ANSI table's
  // ordinary index, "Sys Deleted"), -1 when it is that order negated (a descending index of an
  // ANSI table), 0 when the collation takes part.
  int PlainByteOrder() const;

  // Compares the first `n` bytes of stored key `a` with search key `b` in index order: -1 when
  // `a` sorts first, 0 when equal, 1 when after. A shorter `n` compares a prefix, so a search
  // finds the first key with that prefix.
  // REQUIRES: n <= KeyLength().
  int CompareKeys(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) const;

  // Fill the whole key with its lowest (highest) possible content.
  void LowestKey(std::uint8_t* key) const;
  void HighestKey(std::uint8_t* key) const;
  // Fill the key from byte `from` on with the lowest (highest) possible content, leaving the
  // prefix alone. REQUIRES: from <= KeyLength().
  void LowestKey(std::uint8_t* key, std::size_t from) const;
  void HighestKey(std::uint8_t* key, std::size_t from) const;

  // Turn the first `length` bytes into the smallest prefix above (largest below) the given one;
  // the bytes after the prefix stay. When no prefix lies above (below), the prefix gets the
  // highest (lowest) content. Exact in byte order (ANSI tables, "Sys Deleted"). Under a locale a
  // character is stepped to the next (previous) character rank of the character map, which is
  // exact while no carry reaches an earlier character: collation order is not built character
  // by character, so a carried prefix need not lie above (below) the given one.
  // REQUIRES: length <= KeyLength().
  void NextKey(std::uint8_t* key, std::size_t length) const;
  void PriorKey(std::uint8_t* key, std::size_t length) const;

  // The "Sys Text" key of a word: 68 bytes into `key`. The word is cut to 61 characters and
  // upper-cased under the collation.
  void BuildTextKey(std::uint16_t field_no, std::string_view word, std::int32_t record_id,
                    std::uint8_t* key) const;

 private:
  struct TSegment {
    std::uint16_t offset;  // of the null flag
    std::uint16_t width;   // key width
    bool is_string;
    bool negate;  // the comparison negates this field's result
  };
  // What each key byte is, for bounds and successors.
  enum TByteKind : std::uint8_t {
    kPlain = 0,        // compared as an unsigned byte
    kChar = 1,         // a character of a string, compared under the collation
    kNullFlag = 2,     // null flag of a string segment (compared as a byte)
    kReversed = 0x80,  // the byte's segment compares negated in an index that is not
  };
  bool ByteOrder() const { return byte_order_; }
  void Fill(std::uint8_t* key, std::size_t from, std::size_t to, bool highest) const;
  bool Step(std::uint8_t* byte, std::uint8_t kind, bool up) const;
  void StepKey(std::uint8_t* key, std::size_t length, bool up) const;
  int CompareSegments(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) const;

  TKeyIndexDef definition_;
  const TCollation* collation_;  // not owned; lives for the process
  TCharMap char_map_;
  std::size_t key_length_ = 0;
  bool byte_order_ = true;  // keys compare as plain bytes (ANSI table or "Sys Deleted")
  std::vector<TSegment> segments_;
  std::vector<std::uint8_t> byte_kinds_;           // one TByteKind per key byte
  std::array<std::uint8_t, 256> first_of_rank_{};  // lowest code of each character rank
  std::array<std::uint8_t, 256> last_of_rank_{};   // highest code of each character rank
  std::uint8_t top_rank_ = 0;
};

// ---- Text-index words --------------------------------------------------------------------------

// A set of 256 characters; element c is bit c % 8 of byte c / 8 (the stored 32-byte form).
class TCharSet {
 public:
  static constexpr std::size_t kEncodedLength = 32;
  bool Contains(std::uint8_t c) const { return (bits_[c >> 3] >> (c & 7)) & 1; }
  void Add(std::uint8_t c) {
    bits_[c >> 3] = static_cast<std::uint8_t>(bits_[c >> 3] | (1u << (c & 7)));
  }
  void Remove(std::uint8_t c) {
    bits_[c >> 3] = static_cast<std::uint8_t>(bits_[c >> 3] & ~(1u << (c & 7)));
  }
  void AddRange(std::uint8_t first, std::uint8_t last) {
    for (unsigned c = first; c <= last; ++c) Add(static_cast<std::uint8_t>(c));
  }
  void EncodeTo(std::uint8_t* dst) const;
  void DecodeFrom(const std::uint8_t* src);
  bool operator==(const TCharSet&) const = default;

 private:
  std::array<std::uint8_t, kEncodedLength> bits_{};
};

// Text-index parameters of a table.
struct TTextIndexParams {
  std::vector<std::string> StopWords;  // sorted, case-insensitive under the table's collation
  TCharSet SpaceChars;
  TCharSet IncludeChars;
};

// The defaults: 22 stop words (A, AN, AND, ... WILL), the space characters 1-32, 42-47, 58-62,
// 92 and 96, and the include characters A-Z, a-z, 0-9, '_' and 128-254.
const TTextIndexParams& DefaultTextIndexParams();

struct TWordCount {
  std::string Word;
  int Count = 0;
};

// Splits `text` into words: a space character ends a word (unless `wildcard` is set and it is
// '*'); an include character (or '*' with `wildcard`) is added while the word is shorter than 61
// characters; any other character is skipped without ending the word. Returns the distinct words
// (case-insensitive under `collation`; the first spelling is kept) in collation order, each with
// its number of occurrences. Stop words are not removed.
std::vector<TWordCount> SplitWords(const TCollation& collation, std::string_view text,
                                   const TCharSet& space_chars, const TCharSet& include_chars,
                                   bool wildcard);

// True when `word` is one of the sorted stop words (case-insensitive under `collation`).
bool IsStopWord(const TCollation& collation, const std::vector<std::string>& stop_words,
                std::string_view word);

}  // namespace tabula
