// Record editing of the cursor: new record images with their defaults, the checks of a record
// (required fields, bounds, unique keys), inserting, changing and deleting records with the
// maintenance of every index (the table's own indexes, "Sys Deleted" and "Sys Text") and of the
// live-record count, and the record locks of the pessimistic and optimistic protocols.
//
// Every change runs under the table's write lock and ends with the table's flush, so other
// processes see it (through the headers' change counters) before the write lock is released.
// Inside a transaction the changes stay in the caches (and the shadow files) until the commit
// writes them under the write lock; the transaction lock alone keeps other writers out.
// All checks come before the first change; a failure after it drops the table's caches, so a
// half-done change never reaches the files.
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/index/btree.h"
#include "engine/index/collation.h"
#include "engine/index/index_file.h"
#include "engine/index/keys.h"
#include "engine/sql/exp_types.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_file_format.h"
#include "engine/storage/data_session.h"

namespace tabula {

namespace {

std::string UpperAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A decimal integer (optional sign, blanks around it ignored) as a 64-bit value.
bool ParseInteger(const std::string& text, std::int64_t* value) {
  const std::string trimmed = TrimBlanks(text);
  if (trimmed.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(trimmed.c_str(), &end, 10);
  if (errno != 0 || end == trimmed.c_str() || *end != '\0') return false;
  *value = parsed;
  return true;
}

bool ParseDouble(const std::string& text, double* value) {
  const std::string trimmed = TrimBlanks(text);
  if (trimmed.empty()) return false;
  char* end = nullptr;
  const double parsed = std::strtod(trimmed.c_str(), &end);
  if (end == trimmed.c_str() || *end != '\0') return false;
  *value = parsed;
  return true;
}

// A number literal ("-12.345") as a fixed-point value with 4 decimals, rounded half away from
// zero at the fifth decimal.
bool ParseScaled(const std::string& text, std::int64_t* scaled) {
  const std::string trimmed = TrimBlanks(text);
  std::size_t at = 0;
  bool negative = false;
  if (at < trimmed.size() && (trimmed[at] == '-' || trimmed[at] == '+')) {
    negative = trimmed[at] == '-';
    ++at;
  }
  unsigned __int128 value = 0;
  int decimals = -1;  // -1 before the point
  bool digits = false;
  bool round_up = false;
  for (; at < trimmed.size(); ++at) {
    const char c = trimmed[at];
    if (c == '.' && decimals < 0) {
      decimals = 0;
      continue;
    }
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    digits = true;
    if (decimals >= 4) {
      if (decimals == 4) round_up = c >= '5';
      ++decimals;
      continue;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (decimals >= 0) ++decimals;
    if (value > static_cast<unsigned __int128>(INT64_MAX)) return false;
  }
  if (!digits) return false;
  for (int d = std::max(decimals, 0); d < 4; ++d) value *= 10;
  if (round_up) value += 1;
  if (value > static_cast<unsigned __int128>(INT64_MAX)) return false;
  *scaled = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
  return true;
}

std::int32_t Today() {
  const TLocalDateTime now = CurrentPlatform().LocalDateTime();
  return EncodeDate(now.year, now.month, now.day);
}

std::int32_t TimeOfDay() {
  const TLocalDateTime now = CurrentPlatform().LocalDateTime();
  return ((now.hour * 60 + now.minute) * 60 + now.second) * 1000 + now.millisecond;
}

// Day 1899-12-30, the date part of a time of day stored in a timestamp.
std::int32_t TimeBaseDay() { return EncodeDate(1899, 12, 30); }

// The value of a date, time or timestamp text of a field of `type` (the "CURRENT_..." words
// included) as a date-time value: a day number for dates, milliseconds for times, a timestamp
// value for timestamps.
bool ParseDateTimeText(std::uint8_t type, const std::string& text, double* value) {
  const std::string upper = UpperAscii(TrimBlanks(text));
  if (type == fldDate) {
    std::int32_t day = 0;
    if (upper == "CURRENT_DATE") {
      day = Today();
    } else if (!ParseDateLiteral(text, &day)) {
      return false;
    }
    *value = day;
    return true;
  }
  if (type == fldTime) {
    std::int32_t ms = 0;
    if (upper == "CURRENT_TIME") {
      ms = TimeOfDay();
    } else if (!ParseTimeLiteral(text, &ms)) {
      return false;
    }
    *value = ms;
    return true;
  }
  if (upper == "CURRENT_TIMESTAMP") {
    *value = EncodeTimeStamp(Today(), TimeOfDay());
  } else if (upper == "CURRENT_DATE") {
    *value = EncodeTimeStamp(Today(), 0);
  } else if (upper == "CURRENT_TIME") {
    *value = EncodeTimeStamp(TimeBaseDay(), TimeOfDay());
  } else if (!ParseTimeStampLiteral(text, value)) {
    return false;
  }
  return true;
}

// The stored value bytes of a field (after its null flag; the identifier for the
// auto-increment field), or null when the field is null.
const std::uint8_t* FieldValue(const TFieldDescriptor& field, const std::uint8_t* image) {
  if (IsAutoIncField(field.FieldType, field.FieldSubType)) return image + kRecordIdentifier;
  if (image[field.FieldOffset] == 0) return nullptr;
  return image + field.FieldOffset + 1;
}

int Sign(double a, double b) { return a < b ? -1 : (a > b ? 1 : 0); }
int Sign(std::int64_t a, std::int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// The integer value of an integer-like field's bytes.
std::int64_t IntegerValue(std::uint8_t type, const std::uint8_t* value) {
  switch (type) {
    case fldSmallInt:
      return static_cast<std::int16_t>(DecodeFixed16(value));
    case fldBoolean:
    case fldWord:
      return DecodeFixed16(value);
    case fldInteger:
    case fldDate:
    case fldTime:
      return static_cast<std::int32_t>(DecodeFixed32(value));
    case fldUnsignedInteger:
      return DecodeFixed32(value);
    case fldLargeInt:
      return static_cast<std::int64_t>(DecodeFixed64(value));
    default:
      return 0;
  }
}

}  // namespace

// ---- Keys of the table's indexes --------------------------------------------------------------

// The key functions of every index an edit maintains: the table's own indexes (the primary
// index unless the table uses the internal one, and the secondary indexes), "Sys Deleted", and
// "Sys Text" when it indexes fields. Built from the index header and kept by the cursor while
// the index file's definitions generation stays the same, with key buffers reused by every
// change, so that a post builds its keys without allocating.
class TDataCursor::TEditKeys {
 public:
  struct TIndex {
    int slot = 0;
    std::string name;
    bool unique = false;
    std::unique_ptr<TIndexKeys> keys;
    std::unique_ptr<TIndexKeysComparator> comparator;
    // The record's key before a change and after it (each Length() bytes).
    std::vector<std::uint8_t> old_key;
    std::vector<std::uint8_t> new_key;
    // Where an insert's uniqueness check found new_key's place; used by that insert only.
    TInsertHint insert_hint;
    std::size_t Length() const { return keys->KeyLength(); }
  };
  using TDeletedKey = std::array<std::uint8_t, kSysDeletedKeyLength>;

  // `cursor` (not owned) owns these keys and gives memo fields' values.
  TEditKeys(TDataTable& table, const TCollation& collation, TDataCursor& cursor)
      : index_(table.IndexFile()),
        collation_(collation),
        cursor_(cursor),
        generation_(table.IndexFile().DefinitionsGeneration()) {
    const TIndexFile& file = table.IndexFile();
    const std::vector<TFieldDescriptor>& fields = table.DataFile().Descriptors();
    const TIndexHeader& header = file.Header();
    auto make = [&](int slot) {
      auto index = std::make_unique<TIndex>();
      const TIndexDescriptor& descriptor = header.Descriptors[slot];
      TKeyIndexDef definition;
      const std::uint16_t code = MakeKeyIndexDef(descriptor, slot, fields, &definition);
      if (code != 0) RaiseTableError(code, cursor.table_name_, "", descriptor.Name);
      index->slot = slot;
      index->name = descriptor.Name;
      index->unique = descriptor.Unique;
      index->keys = std::make_unique<TIndexKeys>(std::move(definition), collation);
      index->comparator = std::make_unique<TIndexKeysComparator>(*index->keys);
      index->old_key.assign(index->Length(), 0);
      index->new_key.assign(index->Length(), 0);
      return index;
    };
    if (!file.NoPrimaryIndex()) user_.push_back(make(0));
    for (int slot = 1; slot <= header.SecondaryCount && slot < kSysDeletedSlot; ++slot) {
      user_.push_back(make(slot));
    }
    deleted_ = make(kSysDeletedSlot);
    const TIndexDescriptor& text = header.Descriptors[kSysTextSlot];
    for (std::size_t i = 0; i < text.FieldCount && i < text.FieldNumbers.size(); ++i) {
      const std::uint16_t field_no = text.FieldNumbers[i];
      if (field_no == 0 || field_no > fields.size()) continue;
      const TFieldDescriptor& field = fields[field_no - 1u];
      const bool memo = field.FieldType == fldBlob && field.FieldSubType == fldstMemo;
      if (field.FieldType == fldString || memo) text_fields_.push_back(field);
    }
    if (!text_fields_.empty()) {
      text_ = make(kSysTextSlot);
      LoadTextParameters();
    }
  }

  // True while the table's index definitions are the ones these keys were built from.
  bool Current(TDataTable& table) const {
    return generation_ == table.IndexFile().DefinitionsGeneration();
  }

  const std::vector<std::unique_ptr<TIndex>>& User() const { return user_; }
  const TIndex& Deleted() const { return *deleted_; }

  // Builds the key of a record image into `key` (the index's length).
  void BuildKey(const TIndex& index, const std::uint8_t* image, std::size_t size,
                std::vector<std::uint8_t>* key) const {
    key->resize(index.Length());
    const std::uint16_t code = index.keys->BuildKey(image, size, key->data());
    if (code != 0) RaiseTableError(code, cursor_.table_name_, "", index.name);
  }

  // The "Sys Deleted" key of a record: its status byte and identifier.
  static TDeletedKey DeletedKey(std::uint8_t status, std::int32_t record_id) {
    TDeletedKey key{};
    key[0] = status;
    EncodeIntegerKey(key.data() + 1, record_id);
    return key;
  }

  bool Exists(const TIndex& index, const std::uint8_t* key) {
    return index_.Tree(index.slot, *index.comparator).Contains(key);
  }

  void Insert(const TIndex& index, const std::uint8_t* key, std::int32_t record_no) {
    index_.InsertKey(index.slot, *index.comparator, key, static_cast<std::uint32_t>(record_no));
  }

  // The uniqueness check of an insert's new key, which leaves the key's place in the index's
  // hint for InsertNewKey.
  bool ExistsForInsert(TIndex& index) {
    return index_.Tree(index.slot, *index.comparator)
        .Contains(index.new_key.data(), &index.insert_hint);
  }

  // Inserts the index's new key; follows the hint ExistsForInsert left, if any.
  void InsertNewKey(TIndex& index, std::int32_t record_no) {
    index_.InsertKey(index.slot, *index.comparator, index.new_key.data(),
                     static_cast<std::uint32_t>(record_no), &index.insert_hint);
  }

  void Remove(const TIndex& index, const std::uint8_t* key, std::int32_t record_no) {
    index_.DeleteKey(index.slot, *index.comparator, key, static_cast<std::uint32_t>(record_no));
  }

  // Moves the record `record_no` of `index` from `old_key` to `new_key`.
  void Replace(const TIndex& index, const std::uint8_t* old_key, const std::uint8_t* new_key,
               std::int32_t record_no) {
    Remove(index, old_key, record_no);
    Insert(index, new_key, record_no);
  }

  // Moves the record's "Sys Deleted" key from one status and identifier to another.
  void ReplaceDeleted(std::uint8_t old_status, std::int32_t old_id, std::uint8_t new_status,
                      std::int32_t new_id, std::int32_t record_no) {
    Replace(*deleted_, DeletedKey(old_status, old_id).data(), DeletedKey(new_status, new_id).data(),
            record_no);
  }

  // The "Sys Text" keys of a record image: one per distinct word that is not a stop word, of
  // every text-indexed field. Sorted and free of duplicates.
  using TKeyList = std::vector<std::vector<std::uint8_t>>;
  TKeyList TextKeys(const std::uint8_t* image) const {
    TKeyList keys;
    if (!text_) return keys;
    const std::int32_t record_id = RecordIdentifier(image);
    for (const TFieldDescriptor& field : text_fields_) {
      // A memo's words come from its value: an open buffer's data or the stored value.
      std::vector<std::uint8_t> memo;
      if (field.FieldType == fldBlob) memo = cursor_.BlobValue(field.FieldNo, image);
      const std::uint8_t* value =
          field.FieldType == fldBlob ? memo.data() : FieldValue(field, image);
      if (value == nullptr) continue;
      const std::size_t length =
          field.FieldType == fldBlob
              ? memo.size()
              : strnlen(reinterpret_cast<const char*>(value), field.PhysicalSize);
      const std::string_view text(reinterpret_cast<const char*>(value), length);
      for (const TWordCount& word :
           SplitWords(collation_, text, params_.SpaceChars, params_.IncludeChars, false)) {
        if (IsStopWord(collation_, params_.StopWords, word.Word)) continue;
        std::vector<std::uint8_t> key(kTextKeyLength);
        text_->keys->BuildTextKey(field.FieldNo, word.Word, record_id, key.data());
        keys.push_back(std::move(key));
      }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
  }

  // Replaces the words of `old_image` (null: none) by those of `new_image` (null: none) for the
  // record `record_no`; words present in both stay.
  void UpdateText(const std::uint8_t* old_image, const std::uint8_t* new_image,
                  std::int32_t record_no) {
    if (!text_) return;
    const TKeyList old_keys = old_image != nullptr ? TextKeys(old_image) : TKeyList();
    const TKeyList new_keys = new_image != nullptr ? TextKeys(new_image) : TKeyList();
    for (const auto& key : old_keys) {
      if (!std::binary_search(new_keys.begin(), new_keys.end(), key))
        Remove(*text_, key.data(), record_no);
    }
    for (const auto& key : new_keys) {
      if (!std::binary_search(old_keys.begin(), old_keys.end(), key))
        Insert(*text_, key.data(), record_no);
    }
  }

 private:
  void LoadTextParameters() {
    params_ = DefaultTextIndexParams();
    const std::vector<std::uint8_t> bytes = index_.ReadParameterChain();
    TTextIndexParameters stored;
    if (bytes.empty() || !stored.Decode(bytes)) return;
    params_.StopWords = stored.StopWords;
    params_.SpaceChars.DecodeFrom(stored.Spaces.data());
    params_.IncludeChars.DecodeFrom(stored.Includes.data());
  }

  TIndexFile& index_;
  const TCollation& collation_;
  TDataCursor& cursor_;  // not owned: the cursor owns these keys
  std::uint64_t generation_;
  std::vector<std::unique_ptr<TIndex>> user_;
  std::unique_ptr<TIndex> deleted_;
  std::unique_ptr<TIndex> text_;
  std::vector<TFieldDescriptor> text_fields_;
  TTextIndexParams params_;
};

void TDataCursor::TEditKeysDeleter::operator()(TEditKeys* keys) const { delete keys; }

TDataCursor::TEditKeys& TDataCursor::EditKeys() {
  if (edit_keys_ == nullptr || !edit_keys_->Current(*table_)) {
    edit_keys_.reset();
    const TCollation* collation = FindCollation(locale_id_, sort_id_);
    if (collation == nullptr) Raise(TABULA_CANNOTLOADLDDRV);
    edit_keys_.reset(new TEditKeys(*table_, *collation, *this));
  }
  return *edit_keys_;
}

// ---- Helpers ----------------------------------------------------------------------------------

void TDataCursor::RaiseKeyViolation(const std::string& index_name) const {
  RaiseEngineError(TABULA_KEYVIOL, std::string(), std::string(), database_.DisplayName(),
                   table_name_, std::string(), index_name, std::string());
}

void TDataCursor::StoreValue(const TFieldDescriptor& field, std::uint8_t* image,
                             const std::uint8_t* value, std::size_t value_size) const {
  TCaseConverter convert = nullptr;
  if (collation_ != nullptr) {
    convert = [](std::string_view text, std::uint8_t char_case, const void* context) {
      const auto* collation = static_cast<const TCollation*>(context);
      return char_case == kCharCaseUpper ? collation->Upper(text) : collation->Lower(text);
    };
  }
  const std::uint16_t code = StoreFieldValue(field, image, static_cast<std::size_t>(record_size_),
                                             value, value_size, convert, collation_);
  if (code != 0) Raise(code, field.FieldName);
}

std::int32_t TDataCursor::CurrentPhysicalRecord() const {
  if (!IsOpen() || (bof_ && eof_) || record_image_.size() < kRecordHeaderSize) return 0;
  if (RecordStatus(record_image_.data()) != kStatusActive) return 0;
  return RecordLink(record_image_.data());
}

void TDataCursor::ReloadCurrentRecord() {
  const std::int32_t record_no = CurrentPhysicalRecord();
  if (record_no <= 0) return;
  TDataFile& data = table_->DataFile();
  if (record_no > data.PhysicalRecordCount()) return;
  TRecord* record =
      data.Cache()->GetRecord(nullptr, record_no, false, TReadDirection::kForward, false);
  if (record == nullptr) return;
  std::copy(record->Image(), record->Image() + record_size_, record_image_.begin());
  data.Cache()->Unpin(record);
}

bool TDataCursor::HasBlobFields() const {
  return std::any_of(descriptors_.begin(), descriptors_.end(),
                     [](const TFieldDescriptor& field) { return field.FieldType == fldBlob; });
}

bool TDataCursor::LocksInUse() const {
  return !exclusive_ && !locking_disabled_ && !table_->LocksDisabled() &&
         !database_.Session().Remote();
}

void TDataCursor::BeginEditWrite() {
  // Inside a transaction nothing reaches the table files before the commit, which takes the
  // write lock itself, and the transaction lock keeps every other writer out meanwhile: a
  // change needs no write lock of its own. It still picks up what another cursor of this table
  // object changed.
  if (IsOpen() && LocksApply() && table_->Locks().InTransaction() &&
      table_->Locks().TransactionLockHeld()) {
    ++write_depth_;
    try {
      if (CountersDiffer() && !resyncing_) Resync();
    } catch (...) {
      EndWrite();
      throw;
    }
    return;
  }
  BeginWrite();
}

void TDataCursor::EndEditWrite() { EndWrite(); }

void TDataCursor::FlushAfterChange() {
  table_->Flush(false, false, false);
  RememberChangeCounters();
}

void TDataCursor::DiscardFailedChange() {
  // Inside a transaction and on an exclusive table the caches hold earlier changes that were
  // never written; those stay (a rollback or the close decides about them).
  if (table_->InTransaction() || table_->Exclusive()) return;
  try {
    table_->DiscardCachedChanges();
  } catch (const std::exception&) {
  }
}

void TDataCursor::AbandonChange(bool changing, bool unlock) {
  if (changing) {
    DiscardFailedChange();
    try {
      ReloadCurrentRecord();
    } catch (const std::exception&) {
    }
  }
  if (unlock) {
    try {
      UnlockCursorRecord(locked_record_);
    } catch (const std::exception&) {
    }
  }
  try {
    EndEditWrite();
  } catch (const std::exception&) {
  }
}

void TDataCursor::RepositionAfterChange(std::int32_t record_no, bool deleted, bool reposition) {
  ComputeRangePositions();
  if (deleted) {
    RecordDeleted(record_no);
  } else {
    RecordPosted(record_no);
  }
  if (!reposition) return;
  // The cursor goes onto the record (or its follower), not back to an end it stood at.
  bof_ = eof_ = false;
  if (deleted && RepositionOntoFollower()) return;
  Reposition();
}

// ---- Validation ------------------------------------------------------------------------------

void TDataCursor::ValidateImage(const std::uint8_t* image) const {
  // A string value must end within its area: readers take it up to its zero byte.
  for (const TFieldDescriptor& field : descriptors_) {
    if (field.FieldType != fldString || !field.HasRecordArea()) continue;
    const std::uint8_t* value = FieldValue(field, image);
    if (value != nullptr && std::memchr(value, 0, field.PhysicalSize) == nullptr) {
      Raise(TABULA_INVALIDFLDTYPE, field.FieldName);
    }
  }
  if (!has_value_checks_) return;
  const TCollation* collation = collation_ != nullptr ? collation_ : FindCollation(0, 0);
  for (const TFieldDescriptor& field : descriptors_) {
    if (field.Computed) continue;
    if (!field.Required && field.MinValue.empty() && field.MaxValue.empty()) continue;
    const std::uint8_t* value = FieldValue(field, image);
    if (field.Required && value == nullptr) Raise(TABULA_REQDERR, field.FieldName);
    // The value against one bound: -1 below, 0 equal, 1 above; 0 when the field's type has no
    // order or the bound does not read as a value of the type.
    auto compare = [&](const std::string& bound) -> int {
      static const std::uint8_t kZero[kBcdValueSize] = {};
      const std::uint8_t* v = value != nullptr ? value : kZero;
      switch (field.FieldType) {
        case fldString: {
          const std::size_t length = strnlen(reinterpret_cast<const char*>(v), field.PhysicalSize);
          return collation->Compare(std::string_view(reinterpret_cast<const char*>(v), length),
                                    bound, false);
        }
        case fldDate:
        case fldTime: {
          double limit = 0;
          if (!ParseDateTimeText(field.FieldType, bound, &limit)) return 0;
          return Sign(static_cast<double>(IntegerValue(field.FieldType, v)), limit);
        }
        case fldTimeStamp: {
          double limit = 0;
          if (!ParseDateTimeText(field.FieldType, bound, &limit)) return 0;
          return Sign(DecodeDouble(v), limit);
        }
        case fldBoolean: {
          bool limit = false;
          if (!ParseBooleanLiteral(bound, &limit)) return 0;
          return Sign(IntegerValue(field.FieldType, v), std::int64_t{limit ? 1 : 0});
        }
        case fldSmallInt:
        case fldInteger:
        case fldWord:
        case fldUnsignedInteger:
        case fldLargeInt: {
          std::int64_t limit = 0;
          if (!ParseInteger(bound, &limit)) return 0;
          return Sign(IntegerValue(field.FieldType, v), limit);
        }
        case fldFloat: {
          double limit = 0;
          if (!ParseDouble(bound, &limit)) return 0;
          return Sign(DecodeDouble(v), limit);
        }
        case fldBCD: {
          std::int64_t limit = 0;
          std::int64_t scaled = 0;
          if (!ParseScaled(bound, &limit)) return 0;
          if (value != nullptr && !DecodeBcd(v, &scaled)) return 0;
          return Sign(scaled, limit);
        }
        default:
          return 0;
      }
    };
    if (!field.MinValue.empty() && compare(field.MinValue) < 0) {
      Raise(TABULA_MINVALERR, field.FieldName);
    }
    if (!field.MaxValue.empty() && compare(field.MaxValue) > 0) {
      Raise(TABULA_MAXVALERR, field.FieldName);
    }
  }
}

// ---- New records -----------------------------------------------------------------------------

void TDataCursor::InitRecord(std::uint8_t* buffer) {
  if (!IsOpen()) Raise(TABULA_NOCURRREC);
  std::memset(buffer, 0, static_cast<std::size_t>(record_size_));
  if (!has_defaults_) return;
  for (const TFieldDescriptor& field : descriptors_) {
    if (field.DefaultValue.empty() || !field.HasRecordArea()) continue;
    const std::string& text = field.DefaultValue;
    std::uint8_t value[kBcdValueSize] = {};
    std::size_t size = field.PhysicalSize;
    bool ok = true;
    switch (field.FieldType) {
      case fldString:
        StoreValue(field, buffer, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        continue;
      case fldDate:
      case fldTime:
      case fldTimeStamp: {
        double moment = 0;
        ok = ParseDateTimeText(field.FieldType, text, &moment);
        if (field.FieldType == fldTimeStamp) {
          EncodeDouble(value, moment);
        } else {
          EncodeFixed32(value, static_cast<std::uint32_t>(static_cast<std::int32_t>(moment)));
        }
        break;
      }
      case fldBoolean: {
        bool flag = false;
        ok = ParseBooleanLiteral(text, &flag);
        EncodeFixed16(value, flag ? 1 : 0);
        break;
      }
      case fldSmallInt:
      case fldWord: {
        std::int64_t number = 0;
        ok = ParseInteger(text, &number);
        EncodeFixed16(value, static_cast<std::uint16_t>(number));
        break;
      }
      case fldInteger:
      case fldUnsignedInteger: {
        std::int64_t number = 0;
        ok = ParseInteger(text, &number);
        EncodeFixed32(value, static_cast<std::uint32_t>(number));
        break;
      }
      case fldLargeInt: {
        std::int64_t number = 0;
        ok = ParseInteger(text, &number);
        EncodeFixed64(value, static_cast<std::uint64_t>(number));
        break;
      }
      case fldFloat: {
        double number = 0;
        ok = ParseDouble(text, &number);
        EncodeDouble(value, number);
        break;
      }
      case fldBCD: {
        std::int64_t scaled = 0;
        ok = ParseScaled(text, &scaled) && EncodeBcd(value, scaled, field.FieldScale);
        break;
      }
      default:
        ok = false;  // other types have no defaults
        break;
    }
    if (ok) StoreValue(field, buffer, value, size);
  }
}

std::uint16_t TDataCursor::CopyCurrentRecord(std::uint8_t* buffer) {
  if (!IsOpen() || (bof_ && eof_)) return TABULA_NOCURRREC;
  ReloadCurrentRecord();
  std::memset(buffer, 0, static_cast<std::size_t>(record_size_));
  const std::uint8_t* source = record_image_.data();
  for (const TFieldDescriptor& field : descriptors_) {
    if (!field.HasRecordArea()) continue;
    if (source[field.FieldOffset] == 0) continue;
    if (field.FieldType == fldBlob) continue;  // copied below as new values
    std::memcpy(buffer + field.FieldOffset, source + field.FieldOffset, field.AreaSize());
  }
  if (suppress_auto_inc_) SetRecordIdentifier(buffer, RecordIdentifier(source));
  return CopyBlobValues(source, buffer);
}

// ---- Posting an insert -----------------------------------------------------------------------

void TDataCursor::PostInsert(std::uint8_t* image, bool reposition) {
  if (!IsOpen()) Raise(TABULA_NOCURRREC);
  if (read_only_) Raise(TABULA_OSEACCES);
  ValidateImage(image);
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();
  TTableLocks& locks = table_->Locks();
  const std::size_t size = static_cast<std::size_t>(record_size_);
  const bool locking = LocksInUse();

  BeginEditWrite();
  std::int32_t record_no = 0;
  bool record_locked = false;
  bool changing = false;
  TRecord* record = nullptr;
  try {
    // The record number the insert uses; locked like any record being changed.
    record_no = data.RecordForInsert();
    if (record_no == data.NextRecordNo()) {
      if (const std::uint16_t code = data.Header().CheckAppend(record_no)) Raise(code);
    }
    if (locking && !locks.AppendedInTransaction(record_no)) {
      locks.LockRecord(record_no);
      record_locked = true;
    }
    // The identifier: the next one of the table, or with SuppressAutoInc the image's own.
    const std::int32_t last_id = data.Header().LastRecordID;
    const std::int32_t next_id = last_id == INT32_MAX ? 1 : last_id + 1;
    if (!suppress_auto_inc_) SetRecordIdentifier(image, next_id);
    const std::int32_t record_id = RecordIdentifier(image);

    // Unique keys, before anything changes.
    TEditKeys& keys = EditKeys();
    const bool check_unique = !(query_result_ && !natural_order_);
    for (const auto& entry : keys.User()) {
      keys.BuildKey(*entry, image, size, &entry->new_key);
      entry->insert_hint.Clear();
      if (check_unique && entry->unique && keys.ExistsForInsert(*entry)) {
        RaiseKeyViolation(entry->name);
      }
    }
    const TEditKeys::TDeletedKey deleted_key = TEditKeys::DeletedKey(kStatusActive, record_id);
    if (suppress_auto_inc_ && keys.Exists(keys.Deleted(), deleted_key.data())) {
      RaiseKeyViolation(keys.Deleted().name);
    }
    const bool blobs = HasBlobFields();
    if (const std::uint16_t code = blobs ? CheckBlobsForPost(image) : 0) Raise(code);

    // The changes.
    changing = true;
    record = data.TakeFreeRecord(nullptr);
    if (record == nullptr) Raise(TABULA_INDEXCORRUPT);
    if (record->RecordNo() != record_no) {
      // The free chain's head was no deleted record: the chain was cut and the insert appends.
      if (record_locked) {
        locks.UnlockRecord(record_no);
        record_locked = false;
      }
      record_no = record->RecordNo();
      if (locking && !locks.AppendedInTransaction(record_no)) {
        locks.LockRecord(record_no);
        record_locked = true;
      }
    }
    const bool reused = RecordStatus(record->Image()) == kStatusDeleted;
    const std::int32_t old_id = RecordIdentifier(record->Image());
    for (const auto& entry : keys.User()) keys.InsertNewKey(*entry, record_no);
    if (reused) {
      keys.ReplaceDeleted(kStatusDeleted, old_id, kStatusActive, record_id, record_no);
    } else {
      keys.Insert(keys.Deleted(), deleted_key.data(), record_no);
    }

    std::uint8_t* stored = record->Image();
    std::memset(stored, 0, size);
    record->SetRecordNo(record_no);
    if (suppress_auto_inc_) {
      if (record_id > data.Header().LastRecordID) data.SetLastRecordID(record_id);
    } else {
      data.NewRecordID();
    }
    std::memcpy(stored + kRecordFields, image + kRecordFields, size - kRecordFields);
    SetRecordIdentifier(stored, record_id);
    record->SetDirty(true);
    index.IncRecordCount();
    keys.UpdateText(nullptr, stored, record_no);
    if (blobs) WriteBlobValues(image, stored);
    if (reposition) std::copy(stored, stored + size, record_image_.begin());
    data.Cache()->Unpin(record);
    record = nullptr;
    FlushAfterChange();
    RepositionAfterChange(record_no, false, reposition);
  } catch (...) {
    if (record != nullptr) data.Cache()->Unpin(record);
    if (changing) DiscardFailedChange();
    if (record_locked) {
      try {
        locks.UnlockRecord(record_no);
      } catch (const std::exception&) {
      }
    }
    try {
      EndEditWrite();
    } catch (const std::exception&) {
    }
    throw;
  }
  if (record_locked) locks.UnlockRecord(record_no);
  EndEditWrite();
}

// ---- Record locks ----------------------------------------------------------------------------

void TDataCursor::LockCursorRecord(std::int32_t record_no) {
  if (!IsOpen()) Raise(TABULA_NOCURRREC);
  if (record_no == 0) record_no = CurrentPhysicalRecord();
  if (!LocksInUse()) return;
  TTableLocks& locks = table_->Locks();
  if (record_no != 0 && record_no == locked_record_ && locks.CursorLocks().count(record_no)) {
    return;  // this cursor holds it already
  }
  if (record_no != 0 && locks.CursorLocks().count(record_no)) Raise(TABULA_RECLOCKFAILED);
  // A cursor holds one record: the edit of another record ends here.
  if (locked_record_ != 0) UnlockCursorRecord(locked_record_);
  const bool read_held = locks.ReadLockHeld();
  bool changed = false;
  try {
    changed = locks.LockRecord(record_no);
    locks.CursorLocks().insert(record_no);
    locked_record_ = record_no;
    if (changed || table_->DataFile().Header().ChangeCount != data_change_count_ ||
        table_->IndexFile().Header().ChangeCount != index_change_count_) {
      Resync();
    }
  } catch (...) {
    if (!read_held && locks.ReadLockHeld()) locks.UnlockRead();
    throw;
  }
  // The read lock that the change check took is given back with the operation.
  if (!read_held && locks.ReadLockHeld()) locks.UnlockRead();
}

void TDataCursor::UnlockCursorRecord(std::int32_t record_no) {
  if (!IsOpen()) return;
  if (record_no == 0) record_no = locked_record_ != 0 ? locked_record_ : CurrentPhysicalRecord();
  if (record_no == 0) return;
  if (record_no == locked_record_) locked_record_ = 0;
  if (!LocksInUse()) return;
  TTableLocks& locks = table_->Locks();
  locks.CursorLocks().erase(record_no);
  locks.UnlockRecord(record_no);
}

// ---- Reading for an edit ---------------------------------------------------------------------

std::uint16_t TDataCursor::FetchCurrent(std::uint8_t* buffer, bool for_edit) {
  if (!IsOpen()) return TABULA_NOCURRREC;
  const std::size_t size = static_cast<std::size_t>(record_size_);
  CheckChanges();
  try {
    // Without a current record there is nothing to lock or compare.
    std::uint16_t code = 0;
    if (bof_ && eof_) {
      code = TABULA_NOCURRREC;
    } else if (bof_) {
      code = TABULA_BOF;
    } else if (eof_) {
      code = TABULA_EOF;
    }
    if (code != 0) {
      std::memset(buffer, 0, size);
      EndRead();
      return code;
    }
    if (for_edit) {
      const bool pessimistic = database_.Session().LockProtocol() == lpPessimistic;
      if (pessimistic) LockCursorRecord(0);
      if (!exclusive_ && std::memcmp(record_image_.data(), buffer, size) != 0) {
        if (pessimistic) UnlockCursorRecord(locked_record_);
        Raise(TABULA_KEYORRECDELETED);
      }
    }
    ReloadCurrentRecord();
    std::memcpy(buffer, record_image_.data(), size);
  } catch (...) {
    EndRead();
    throw;
  }
  EndRead();
  return 0;
}

void TDataCursor::CancelEdit() {
  if (!IsOpen()) return;
  FreeAllBlobs();  // changed values not posted are dropped
  if (database_.Session().LockProtocol() == lpOptimistic) {
    change_detected_ = false;
  } else if (locked_record_ != 0) {
    UnlockCursorRecord(locked_record_);
  }
}

// ---- Posting an edit -------------------------------------------------------------------------

void TDataCursor::PostEdit(std::uint8_t* image, bool unlock_after, bool reposition) {
  if (!IsOpen()) Raise(TABULA_NOCURRREC);
  if (read_only_) Raise(TABULA_OSEACCES);
  if (CurrentPhysicalRecord() == 0) Raise(TABULA_NOCURRREC);
  ValidateImage(image);
  TDataFile& data = table_->DataFile();
  const std::size_t size = static_cast<std::size_t>(record_size_);
  const bool optimistic = database_.Session().LockProtocol() == lpOptimistic;
  // The record as this cursor read it: after the write lock it must still be the same one.
  const std::vector<std::uint8_t> seen(record_image_.begin(), record_image_.begin() + size);
  const std::int32_t seen_record = CurrentPhysicalRecord();

  BeginEditWrite();
  bool post_lock = false;  // a record lock taken for this post alone
  bool changing = false;
  try {
    const bool locking = LocksInUse();
    if (optimistic && !exclusive_) {
      if (change_detected_ || std::memcmp(record_image_.data(), seen.data(), size) != 0) {
        change_detected_ = true;
        Raise(TABULA_KEYORRECDELETED);
      }
    } else if (CurrentPhysicalRecord() != seen_record ||
               RecordIdentifier(record_image_.data()) != RecordIdentifier(seen.data())) {
      // Without the edit's record lock another user may have deleted the record meanwhile.
      Raise(TABULA_KEYORRECDELETED);
    }
    if (locking && locked_record_ != seen_record) {
      // The optimistic protocol holds the record for the post only; so does a pessimistic post
      // whose edit took no lock.
      LockCursorRecord(seen_record);
      post_lock = true;
      if (CurrentPhysicalRecord() != seen_record ||
          std::memcmp(record_image_.data(), seen.data(), size) != 0) {
        if (optimistic) change_detected_ = true;
        Raise(TABULA_KEYORRECDELETED);
      }
    }
    const std::int32_t record_no = seen_record;
    const std::int32_t old_id = RecordIdentifier(record_image_.data());
    if (!suppress_auto_inc_) SetRecordIdentifier(image, old_id);
    const std::int32_t new_id = RecordIdentifier(image);

    // The record as it will be stored: the current record's header, the new values.
    std::vector<std::uint8_t> updated(record_image_.begin(), record_image_.begin() + size);
    std::memcpy(updated.data() + kRecordFields, image + kRecordFields, size - kRecordFields);
    SetRecordIdentifier(updated.data(), new_id);

    // Unique keys of the indexes whose key changes, before anything changes.
    TEditKeys& keys = EditKeys();
    const bool check_unique = !(query_result_ && !natural_order_);
    std::uint32_t changed = 0;  // bit i: the key of index i changes
    for (std::size_t i = 0; i < keys.User().size(); ++i) {
      TEditKeys::TIndex& entry = *keys.User()[i];
      // An edit leaves most indexes' fields alone: their keys need not be built to know that.
      if (entry.keys->SameKeySource(record_image_.data(), updated.data(), size)) continue;
      keys.BuildKey(entry, record_image_.data(), size, &entry.old_key);
      keys.BuildKey(entry, updated.data(), size, &entry.new_key);
      if (entry.old_key == entry.new_key) continue;
      if (check_unique && entry.unique && keys.Exists(entry, entry.new_key.data())) {
        RaiseKeyViolation(entry.name);
      }
      changed |= 1u << i;
    }
    const bool id_changed = new_id != old_id;
    if (id_changed &&
        keys.Exists(keys.Deleted(), TEditKeys::DeletedKey(kStatusActive, new_id).data())) {
      RaiseKeyViolation(keys.Deleted().name);
    }
    const bool blobs = HasBlobFields();
    if (const std::uint16_t code = blobs ? CheckBlobsForPost(image) : 0) Raise(code);

    // The changes.
    changing = true;
    for (std::size_t i = 0; i < keys.User().size(); ++i) {
      const TEditKeys::TIndex& entry = *keys.User()[i];
      if (changed & (1u << i)) {
        keys.Replace(entry, entry.old_key.data(), entry.new_key.data(), record_no);
      }
    }
    if (id_changed) {
      keys.ReplaceDeleted(kStatusActive, old_id, kStatusActive, new_id, record_no);
    }
    if (suppress_auto_inc_ && new_id > data.Header().LastRecordID) data.SetLastRecordID(new_id);
    keys.UpdateText(record_image_.data(), updated.data(), record_no);
    if (blobs) WriteBlobValues(image, updated.data(), record_image_.data());
    std::copy(updated.begin(), updated.end(), record_image_.begin());
    TRecord* record =
        data.Cache()->GetRecord(nullptr, record_no, false, TReadDirection::kForward, false);
    if (record == nullptr) Raise(TABULA_INDEXCORRUPT);
    std::copy(record_image_.begin(), record_image_.begin() + size, record->Image());
    record->SetDirty(true);
    data.Cache()->Unpin(record);
    FlushAfterChange();
    if ((unlock_after && !optimistic) || post_lock) UnlockCursorRecord(record_no);
    post_lock = false;
    RepositionAfterChange(record_no, false, reposition);
  } catch (...) {
    AbandonChange(changing, post_lock);
    throw;
  }
  EndEditWrite();
}

// ---- Deleting --------------------------------------------------------------------------------

void TDataCursor::DeleteCurrent(const std::uint8_t* image, bool reposition) {
  if (!IsOpen()) Raise(TABULA_NOCURRREC);
  if (read_only_) Raise(TABULA_OSEACCES);
  if (CurrentPhysicalRecord() == 0) Raise(TABULA_NOCURRREC);
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();
  const std::size_t size = static_cast<std::size_t>(record_size_);
  const std::int32_t seen_record = CurrentPhysicalRecord();
  const std::int32_t seen_id = RecordIdentifier(record_image_.data());

  BeginEditWrite();
  bool changing = false;
  bool took_lock = false;  // locked for the delete alone, not by an edit of this cursor
  try {
    const bool locking = LocksInUse();
    const std::int32_t record_no = CurrentPhysicalRecord();
    if (record_no != seen_record || RecordIdentifier(record_image_.data()) != seen_id) {
      Raise(TABULA_KEYORRECDELETED);
    }
    if (locking && locked_record_ != record_no && table_->Locks().CursorLocks().count(record_no)) {
      Raise(TABULA_RECLOCKFAILED);  // another cursor of this process is editing it
    }
    if (locked_record_ != record_no || !locking) {
      if (!exclusive_ && image != nullptr && std::memcmp(record_image_.data(), image, size) != 0) {
        Raise(TABULA_KEYORRECDELETED);
      }
      if (locking) {
        LockCursorRecord(record_no);
        took_lock = true;
      }
      if (CurrentPhysicalRecord() != record_no) Raise(TABULA_KEYORRECDELETED);
    }

    TEditKeys& keys = EditKeys();
    for (const auto& entry : keys.User()) {
      keys.BuildKey(*entry, record_image_.data(), size, &entry->old_key);
    }
    const std::int32_t record_id = RecordIdentifier(record_image_.data());
    const bool blobs = HasBlobFields();
    if (const std::uint16_t code = blobs ? CheckBlobsForDelete(record_image_.data()) : 0) {
      Raise(code);
    }

    changing = true;
    for (const auto& entry : keys.User()) keys.Remove(*entry, entry->old_key.data(), record_no);
    keys.ReplaceDeleted(kStatusActive, record_id, kStatusDeleted, record_id, record_no);
    index.DecRecordCount();
    keys.UpdateText(record_image_.data(), nullptr, record_no);
    TRecord* record =
        data.Cache()->GetRecord(nullptr, record_no, false, TReadDirection::kForward, false);
    if (record == nullptr) Raise(TABULA_INDEXCORRUPT);
    try {
      if (blobs) FreeBlobValues(record->Image());
    } catch (...) {
      data.Cache()->Unpin(record);
      throw;
    }
    data.FreeRecord(record);
    data.Cache()->Unpin(record);
    FlushAfterChange();
    RepositionAfterChange(record_no, true, reposition);
    // The record is gone, and with it the edit's lock.
    took_lock = false;
    if (locked_record_ == record_no) UnlockCursorRecord(record_no);
  } catch (...) {
    // An edit's lock stays with its edit; one taken for the delete alone goes.
    AbandonChange(changing, took_lock);
    throw;
  }
  EndEditWrite();
}

}  // namespace tabula
