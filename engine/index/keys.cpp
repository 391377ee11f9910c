#include "engine/index/keys.h"

#include <algorithm>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/storage/record_cache.h"

namespace tabula {

namespace {

int Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

// Unsigned comparison of `n` bytes, as -1, 0 or 1.
int CompareBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  return n == 0 ? 0 : Sign(std::memcmp(a, b, n));
}

// Bytes of the value that BuildKey reads behind the null flag.
std::size_t ValueBytesRead(const TKeyField& field) {
  switch (field.FieldType) {
    case fldString:
      return std::min<std::size_t>(field.FieldSize, field.PhysicalSize);
    case fldSmallInt:
    case fldBoolean:
    case fldWord:
      return 2;
    case fldInteger:
    case fldDate:
    case fldTime:
      return 4;
    case fldLargeInt:
    case fldFloat:
    case fldTimeStamp:
      return 8;
    case fldBCD:
      return kBcdValueSize;
    case fldBlob:
      return 0;
    default:
      return field.PhysicalSize;
  }
}

// Writes the key value of `field` from its stored value `value` (all zero for NULL) into `dst`
// (the field's key width). `value` holds ValueBytesRead(field) bytes.
void EncodeKeyValue(const TKeyField& field, const std::uint8_t* value, const TCollation& collation,
                    bool case_insensitive, std::uint8_t* dst) {
  switch (field.FieldType) {
    case fldString: {
      const std::size_t readable = ValueBytesRead(field);
      const std::size_t length =
          std::find(value, value + readable, std::uint8_t{0}) - value;  // up to the zero
      std::memcpy(dst, value, length);
      if (case_insensitive) collation.UpperText(reinterpret_cast<char*>(dst), length);
      std::memset(dst + length, 0, field.FieldSize + 1u - length);
      break;
    }
    case fldSmallInt:
      EncodeSmallIntKey(dst, static_cast<std::int16_t>(DecodeFixed16(value)));
      break;
    case fldBoolean:
    case fldWord:
      EncodeWordKey(dst, DecodeFixed16(value));
      break;
    case fldInteger:
    case fldDate:
    case fldTime:
      EncodeIntegerKey(dst, static_cast<std::int32_t>(DecodeFixed32(value)));
      break;
    case fldLargeInt:
      EncodeLargeIntKey(dst, static_cast<std::int64_t>(DecodeFixed64(value)));
      break;
    case fldFloat:
    case fldTimeStamp:
      EncodeFloatKey(dst, DecodeDouble(value));
      break;
    case fldBCD: {
      std::int64_t scaled = 0;
      // A damaged value, or one beyond the 64-bit fixed-point range, orders as 0.
      if (!DecodeBcd(value, &scaled)) scaled = 0;
      EncodeLargeIntKey(dst, scaled);
      break;
    }
    case fldBlob:
      break;
    default:
      std::memcpy(dst, value, field.PhysicalSize);
      break;
  }
}

}  // namespace

void EncodeFloatKey(std::uint8_t* dst, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  if (value < 0) {
    bits = ~bits;
  } else {
    bits |= 0x8000000000000000ull;  // also -0.0, which then equals 0.0
  }
  for (int i = 0; i < 8; ++i) dst[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
}

std::uint16_t KeyWidthOf(std::uint8_t field_type, std::uint8_t field_size,
                         std::uint8_t physical_size) {
  switch (field_type) {
    case fldString:
      return static_cast<std::uint16_t>(field_size + 1);
    case fldSmallInt:
    case fldBoolean:
    case fldWord:
      return 2;
    case fldInteger:
    case fldDate:
    case fldTime:
      return 4;
    case fldLargeInt:
    case fldFloat:
    case fldTimeStamp:
    case fldBCD:
      return 8;
    case fldBlob:
      return 0;
    default:
      return physical_size;
  }
}

TKeyField TKeyField::FromDescriptor(const TFieldDescriptor& field, bool descending) {
  TKeyField key_field;
  key_field.FieldNo = field.FieldNo;
  key_field.FieldType = field.FieldType;
  key_field.FieldSubType = field.FieldSubType;
  key_field.FieldSize = field.FieldSize;
  key_field.PhysicalSize = field.PhysicalSize;
  key_field.FieldOffset = field.FieldOffset;
  key_field.Descending = descending;
  return key_field;
}

std::uint16_t MakeKeyIndexDef(const TIndexDescriptor& descriptor, int slot,
                              const std::vector<TFieldDescriptor>& fields,
                              TKeyIndexDef* definition) {
  TKeyIndexDef result;
  result.Descending = descriptor.Descending;
  result.CaseInsensitive = descriptor.CaseInsensitive;
  result.Unique = descriptor.Unique;
  if (slot == kSysDeletedSlot) {
    result.Kind = TKeyIndexKind::ikSysDeleted;
  } else if (slot == kSysTextSlot) {
    result.Kind = TKeyIndexKind::ikSysText;
  } else {
    if (descriptor.FieldCount > kIndexFieldLimit) return TABULA_HEADERCORRUPT;
    for (std::size_t i = 0; i < static_cast<std::size_t>(descriptor.FieldCount); ++i) {
      const std::uint16_t number = descriptor.FieldNumbers[i];
      if (number == 0 || static_cast<std::size_t>(number) > fields.size()) {
        return TABULA_HEADERCORRUPT;
      }
      result.Fields.push_back(
          TKeyField::FromDescriptor(fields[number - 1], descriptor.FieldDescending[i] != 0));
    }
  }
  *definition = std::move(result);
  return 0;
}

std::size_t KeyFieldsLength(const std::vector<TKeyField>& fields) {
  std::size_t length = 0;
  for (const TKeyField& field : fields) length += 1u + field.KeyWidth();
  return length;
}

// ---------------------------------------------------------------------------------------------
// TIndexKeys

TIndexKeys::TIndexKeys(TKeyIndexDef definition, const TCollation& collation)
    : definition_(std::move(definition)),
      collation_(&collation),
      char_map_(tabula::CharMap(collation.LocaleID(), collation.SortID())) {
  const bool ansi = collation.IsAnsi();
  switch (definition_.Kind) {
    case TKeyIndexKind::ikSysDeleted:
      key_length_ = kSysDeletedKeyLength;
      byte_order_ = true;
      byte_kinds_.assign(key_length_, kPlain);
      break;
    case TKeyIndexKind::ikSysText:
      key_length_ = kTextKeyLength;
      byte_order_ = false;
      byte_kinds_.assign(key_length_, kPlain);
      std::fill(byte_kinds_.begin() + kTextKeyWord,
                byte_kinds_.begin() + kTextKeyWord + kTextKeyWordLength, kChar);
      break;
    case TKeyIndexKind::ikNormal: {
      byte_order_ = ansi;
      std::size_t offset = 0;
      for (const TKeyField& field : definition_.Fields) {
        TSegment segment;
        segment.offset = static_cast<std::uint16_t>(offset);
        segment.width = field.KeyWidth();
        segment.is_string = field.FieldType == fldString;
        segment.negate = definition_.Descending || field.Descending;
        segments_.push_back(segment);
        // Under a locale a descending field of an ascending index keeps its bytes and compares
        // negated, so its lowest content in index order is its highest bytes.
        const std::uint8_t reversed =
            (!ansi && field.Descending && !definition_.Descending) ? kReversed : 0;
        byte_kinds_.push_back(
            static_cast<std::uint8_t>((segment.is_string ? kNullFlag : kPlain) | reversed));
        for (std::size_t i = 0; i < segment.width; ++i) {
          byte_kinds_.push_back(
              static_cast<std::uint8_t>((segment.is_string && !ansi ? kChar : kPlain) | reversed));
        }
        offset += 1u + segment.width;
      }
      key_length_ = offset + (definition_.Unique ? 0 : kRecordIdSuffixLength);
      byte_kinds_.resize(key_length_, kPlain);
      break;
    }
  }
  // Lowest and highest code of each rank of the character order.
  for (int i = 255; i >= 0; --i) first_of_rank_[collation.CharRank(char_map_[i])] = char_map_[i];
  for (int i = 0; i < 256; ++i) last_of_rank_[collation.CharRank(char_map_[i])] = char_map_[i];
  top_rank_ = collation.CharRank(char_map_[255]);
}

bool TIndexKeys::SameKeySource(const std::uint8_t* a, const std::uint8_t* b,
                               std::size_t record_size) const {
  if (record_size < kRecordIdentifier + 4 || definition_.Kind == TKeyIndexKind::ikSysText) {
    return false;
  }
  if (std::memcmp(a + kRecordIdentifier, b + kRecordIdentifier, 4) != 0) return false;
  if (definition_.Kind == TKeyIndexKind::ikSysDeleted) return a[kRecordStatus] == b[kRecordStatus];
  for (const TKeyField& field : definition_.Fields) {
    if (IsAutoIncField(field.FieldType, field.FieldSubType)) continue;  // the identifier
    const std::size_t bytes = 1 + ValueBytesRead(field);
    const auto offset = static_cast<std::size_t>(field.FieldOffset);
    if (offset < kRecordIdentifier + 4 || offset + bytes > record_size) return false;
    if (std::memcmp(a + offset, b + offset, bytes) != 0) return false;
  }
  return true;
}

std::uint16_t TIndexKeys::BuildKey(const std::uint8_t* record, std::size_t record_size,
                                   std::uint8_t* key) const {
  std::memset(key, 0, key_length_);
  if (record_size < kRecordIdentifier + 4) return TABULA_HEADERCORRUPT;
  const std::uint8_t* record_id = record + kRecordIdentifier;
  switch (definition_.Kind) {
    case TKeyIndexKind::ikSysText:
      return TABULA_INVALIDKEY;
    case TKeyIndexKind::ikSysDeleted:
      key[0] = record[kRecordStatus];
      EncodeIntegerKey(key + 1, static_cast<std::int32_t>(DecodeFixed32(record_id)));
      return 0;
    case TKeyIndexKind::ikNormal:
      break;
  }
  // The stored value of a NULL field: no value reads more than 255 bytes.
  static constexpr std::uint8_t kZeroValue[256] = {};
  const bool invert_descending = collation_->IsAnsi() && !definition_.Descending;
  for (std::size_t i = 0; i < definition_.Fields.size(); ++i) {
    const TKeyField& field = definition_.Fields[i];
    const TSegment& segment = segments_[i];
    std::uint8_t* dst = key + segment.offset;
    const std::uint8_t* value;
    if (IsAutoIncField(field.FieldType, field.FieldSubType)) {
      // The record identifier itself: no null flag, never NULL.
      dst[0] = 1;
      value = record_id;
    } else {
      const std::size_t read = ValueBytesRead(field);
      if (static_cast<std::size_t>(field.FieldOffset) + 1 + read > record_size ||
          field.FieldOffset < kRecordIdentifier + 4) {
        std::memset(key, 0, key_length_);
        return TABULA_HEADERCORRUPT;
      }
      const bool present = record[field.FieldOffset] != 0;
      dst[0] = present ? 1 : 0;
      value = present ? record + field.FieldOffset + 1 : kZeroValue;
    }
    EncodeKeyValue(field, value, *collation_, definition_.CaseInsensitive, dst + 1);
    if (invert_descending && field.Descending) {
      const std::size_t inverted = 1u + (segment.is_string ? field.FieldSize : segment.width);
      for (std::size_t b = 0; b < inverted; ++b) dst[b] = static_cast<std::uint8_t>(~dst[b]);
    }
  }
  if (!definition_.Unique) {
    EncodeIntegerKey(key + key_length_ - kRecordIdSuffixLength,
                     static_cast<std::int32_t>(DecodeFixed32(record_id)));
  }
  return 0;
}

void TIndexKeys::BuildTextKey(std::uint16_t field_no, std::string_view word, std::int32_t record_id,
                              std::uint8_t* key) const {
  std::memset(key, 0, kTextKeyLength);
  key[0] = 1;
  key[kTextKeyFieldNo] = static_cast<std::uint8_t>(field_no >> 8);
  key[kTextKeyFieldNo + 1] = static_cast<std::uint8_t>(field_no);
  const std::size_t length = std::min(word.size(), kTextKeyWordLength);
  std::memcpy(key + kTextKeyWord, word.data(), length);
  collation_->UpperText(reinterpret_cast<char*>(key + kTextKeyWord), length);
  EncodeIntegerKey(key + kTextKeyRecordId, record_id);
}

int TIndexKeys::PlainByteOrder() const {
  switch (definition_.Kind) {
    case TKeyIndexKind::ikSysDeleted:
      return 1;
    case TKeyIndexKind::ikSysText:
      return 0;
    case TKeyIndexKind::ikNormal:
      break;
  }
  if (!byte_order_) return 0;
  return definition_.Descending ? -1 : 1;
}

int TIndexKeys::CompareKeys(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) const {
  switch (definition_.Kind) {
    case TKeyIndexKind::ikSysDeleted:
      return CompareBytes(a, b, n);
    case TKeyIndexKind::ikSysText: {
      int result = CompareBytes(a, b, std::min(n, kTextKeyWord));
      if (result != 0 || n <= kTextKeyWord) return result;
      const std::size_t word_length = std::min(n - kTextKeyWord, kTextKeyWordLength);
      result = collation_->CompareText(reinterpret_cast<const char*>(a + kTextKeyWord),
                                       reinterpret_cast<const char*>(b + kTextKeyWord), false,
                                       word_length);
      if (result != 0 || n <= kTextKeyRecordId) return result;
      return CompareBytes(a + kTextKeyRecordId, b + kTextKeyRecordId, n - kTextKeyRecordId);
    }
    case TKeyIndexKind::ikNormal:
      break;
  }
  if (byte_order_) {
    const int result = CompareBytes(a, b, n);
    return definition_.Descending ? -result : result;
  }
  return CompareSegments(a, b, n);
}

int TIndexKeys::CompareSegments(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) const {
  std::size_t position = 0;
  for (const TSegment& segment : segments_) {
    if (position >= n) return 0;
    const std::size_t left = n - position;
    int result;
    if (segment.is_string) {
      result = Sign(int{a[position]} - int{b[position]});
      if (result == 0) {
        ++position;
        const std::size_t length = std::min<std::size_t>(segment.width, left - 1);
        if (length > 0) {
          result =
              collation_->CompareText(reinterpret_cast<const char*>(a + position),
                                      reinterpret_cast<const char*>(b + position), false, length);
        }
        position += length;
      }
    } else {
      const std::size_t length = std::min<std::size_t>(1u + segment.width, left);
      result = CompareBytes(a + position, b + position, length);
      position += length;
    }
    if (result != 0) return segment.negate ? -result : result;
  }
  if (position >= n) return 0;
  // The record-ID suffix, or whatever a partial key holds beyond the fields.
  const int result = CompareBytes(a + position, b + position, n - position);
  return definition_.Descending ? -result : result;
}

void TIndexKeys::Fill(std::uint8_t* key, std::size_t from, std::size_t to, bool highest) const {
  for (std::size_t i = from; i < to; ++i) {
    const std::uint8_t kind = byte_kinds_[i];
    const bool up = highest != ((kind & kReversed) != 0);
    if ((kind & ~kReversed) == kChar) {
      key[i] = up ? char_map_[255] : char_map_[0];
    } else {
      key[i] = up ? 255 : 0;
    }
  }
}

void TIndexKeys::LowestKey(std::uint8_t* key, std::size_t from) const {
  Fill(key, from, key_length_, false);
}

void TIndexKeys::HighestKey(std::uint8_t* key, std::size_t from) const {
  Fill(key, from, key_length_, true);
}

void TIndexKeys::LowestKey(std::uint8_t* key) const {
  Fill(key, 0, key_length_, false);
  if (byte_order_) return;
  // The null flags of a whole key are 0 or 1, the only values they ever hold.
  for (const TSegment& segment : segments_) {
    key[segment.offset] = (byte_kinds_[segment.offset] & kReversed) ? 1 : 0;
  }
}

void TIndexKeys::HighestKey(std::uint8_t* key) const {
  Fill(key, 0, key_length_, true);
  if (byte_order_) return;
  for (const TSegment& segment : segments_) {
    key[segment.offset] = (byte_kinds_[segment.offset] & kReversed) ? 0 : 1;
  }
}

// Moves one key byte one step up (or down) in index order. False when it is already at the top
// (bottom); the byte is then unchanged.
bool TIndexKeys::Step(std::uint8_t* byte, std::uint8_t kind, bool up) const {
  if (kind & kReversed) up = !up;
  if ((kind & ~kReversed) == kChar) {
    const std::uint8_t rank = collation_->CharRank(*byte);
    if (up) {
      if (rank >= top_rank_) return false;
      *byte = first_of_rank_[rank + 1];
    } else {
      if (rank == 0) return false;
      *byte = last_of_rank_[rank - 1];
    }
    return true;
  }
  if (up) {
    if (*byte == 255) return false;
    ++*byte;
  } else {
    if (*byte == 0) return false;
    --*byte;
  }
  return true;
}

void TIndexKeys::StepKey(std::uint8_t* key, std::size_t length, bool up) const {
  for (std::size_t i = length; i-- > 0;) {
    if (byte_order_) {
      // Plain bytes: add or subtract with carry.
      if (up ? key[i] != 255 : key[i] != 0) {
        key[i] = static_cast<std::uint8_t>(up ? key[i] + 1 : key[i] - 1);
        return;
      }
      key[i] = up ? 0 : 255;
    } else {
      if (Step(&key[i], byte_kinds_[i], up)) return;
      // Carry: the byte restarts at its lowest (highest) content.
      Fill(key, i, i + 1, !up);
    }
  }
  // Nothing could move: the prefix was already the highest (lowest) there is.
  Fill(key, 0, length, up);
}

void TIndexKeys::NextKey(std::uint8_t* key, std::size_t length) const {
  StepKey(key, length, true);
}

void TIndexKeys::PriorKey(std::uint8_t* key, std::size_t length) const {
  StepKey(key, length, false);
}

// ---------------------------------------------------------------------------------------------
// Text-index words

void TCharSet::EncodeTo(std::uint8_t* dst) const { std::memcpy(dst, bits_.data(), kEncodedLength); }

void TCharSet::DecodeFrom(const std::uint8_t* src) {
  std::memcpy(bits_.data(), src, kEncodedLength);
}

const TTextIndexParams& DefaultTextIndexParams() {
  static const TTextIndexParams params = [] {
    TTextIndexParams p;
    p.StopWords = {"A",   "AN",   "AND",  "BE",    "FOR",  "HOW", "IN",   "IS",
                   "IT",  "OF",   "ON",   "OR",    "THAT", "THE", "THIS", "TO",
                   "WAS", "WHAT", "WHEN", "WHICH", "WHY",  "WILL"};
    p.SpaceChars.AddRange(1, 32);
    p.SpaceChars.AddRange('*', '/');
    p.SpaceChars.AddRange(':', '>');
    p.SpaceChars.Add('\\');
    p.SpaceChars.Add('`');
    p.IncludeChars.AddRange('A', 'Z');
    p.IncludeChars.AddRange('a', 'z');
    p.IncludeChars.AddRange('0', '9');
    p.IncludeChars.Add('_');
    p.IncludeChars.AddRange(128, 254);
    return p;
  }();
  return params;
}

std::vector<TWordCount> SplitWords(const TCollation& collation, std::string_view text,
                                   const TCharSet& space_chars, const TCharSet& include_chars,
                                   bool wildcard) {
  std::vector<TWordCount> words;
  std::string word;
  auto enter = [&] {
    if (word.empty()) return;
    const auto it = std::lower_bound(words.begin(), words.end(), word,
                                     [&](const TWordCount& entry, const std::string& w) {
                                       return collation.Compare(entry.Word, w, true) < 0;
                                     });
    if (it != words.end() && collation.Compare(it->Word, word, true) == 0) {
      ++it->Count;
    } else {
      words.insert(it, TWordCount{word, 1});
    }
    word.clear();
  };
  for (const char ch : text) {
    const auto c = static_cast<std::uint8_t>(ch);
    const bool star = wildcard && c == '*';
    if (space_chars.Contains(c) && !star) {
      enter();
    } else if ((include_chars.Contains(c) || star) && word.size() < kMaxWordLength) {
      word.push_back(ch);
    }
  }
  enter();
  return words;
}

bool IsStopWord(const TCollation& collation, const std::vector<std::string>& stop_words,
                std::string_view word) {
  // A linear scan: a list written under another collation may not be sorted under this one.
  return std::any_of(stop_words.begin(), stop_words.end(), [&](const std::string& stop) {
    return collation.Compare(stop, word, true) == 0;
  });
}

}  // namespace tabula
