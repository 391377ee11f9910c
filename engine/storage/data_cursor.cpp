#include "engine/storage/data_cursor.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <set>

#include "engine/base/engine_error.h"
#include "engine/index/collation.h"
#include "engine/index/keys.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_session.h"

namespace tabula {

namespace {

std::string UpperAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A decimal integer with an optional sign, within [low, high].
bool IsIntegerText(const std::string& text, long double low, long double high) {
  std::size_t at = 0;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
  if (at == text.size()) return false;
  for (std::size_t i = at; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  if (text.size() - at > 25) return false;
  const long double value = std::strtold(text.c_str(), nullptr);
  return value >= low && value <= high;
}

// Digits with at most one ".", an optional sign and, for floats, an exponent.
bool IsNumberText(const std::string& text, bool allow_exponent) {
  std::size_t at = 0;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
  bool digits = false;
  bool dot = false;
  for (; at < text.size(); ++at) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (std::isdigit(c)) {
      digits = true;
    } else if (c == '.' && !dot) {
      dot = true;
    } else {
      break;
    }
  }
  if (!digits) return false;
  if (at < text.size() && allow_exponent && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    bool exponent_digits = false;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
      ++at;
      exponent_digits = true;
    }
    if (!exponent_digits) return false;
  }
  return at == text.size();
}

// Splits `text` at `separator` into decimal numbers; false when a part is not one.
bool SplitNumbers(const std::string& text, char separator, std::vector<long>* parts) {
  parts->clear();
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    const std::string part = text.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty() || part.size() > 9) return false;
    for (char c : part) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    parts->push_back(std::strtol(part.c_str(), nullptr, 10));
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

bool IsDateText(const std::string& text) {
  std::vector<long> parts;
  if (!SplitNumbers(TrimBlanks(text), '-', &parts) || parts.size() != 3) return false;
  if (parts[0] < 1 || parts[0] > 9999 || parts[1] < 1 || parts[1] > 12) return false;
  return IsValidDate(static_cast<int>(parts[0]), static_cast<int>(parts[1]),
                     static_cast<int>(parts[2]));
}

bool IsTimeText(const std::string& text) {
  std::string rest = UpperAscii(text);
  bool am = false;
  bool pm = false;
  if (std::size_t at = rest.find("AM"); at != std::string::npos) {
    am = true;
    rest.erase(at, 2);
  } else if (std::size_t at2 = rest.find("PM"); at2 != std::string::npos) {
    pm = true;
    rest.erase(at2, 2);
  }
  rest = TrimBlanks(rest);
  if (rest.find(':') == std::string::npos) return false;
  std::string milliseconds;
  if (std::size_t dot = rest.find('.'); dot != std::string::npos) {
    milliseconds = rest.substr(dot + 1);
    rest.resize(dot);
    if (milliseconds.empty() || milliseconds.size() > 3) return false;
    for (char c : milliseconds) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
  }
  std::vector<long> parts;
  if (!SplitNumbers(rest, ':', &parts) || parts.size() < 2 || parts.size() > 3) return false;
  long hour = parts[0];
  if ((am || pm) && (hour < 1 || hour > 12)) return false;
  if (am && hour == 12) hour = 0;
  if (pm && hour != 12) hour += 12;
  if (hour > 23 || parts[1] > 59) return false;
  return parts.size() < 3 || parts[2] <= 59;
}

bool IsTimeStampText(const std::string& text) {
  const std::string trimmed = TrimBlanks(text);
  const std::size_t blank = trimmed.find(' ');
  if (blank == std::string::npos) {
    return trimmed.find(':') != std::string::npos ? IsTimeText(trimmed) : IsDateText(trimmed);
  }
  return IsDateText(trimmed.substr(0, blank)) && IsTimeText(trimmed.substr(blank + 1));
}

std::string BaseName(const std::string& table_name) {
  const std::size_t dot = table_name.find_last_of('.');
  return dot == std::string::npos ? table_name : table_name.substr(0, dot);
}

}  // namespace

bool IsIdentifierStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

bool IsValidValueText(const TFieldDescriptor& descriptor, const std::string& text) {
  if (text.empty()) return true;
  const std::string upper = UpperAscii(TrimBlanks(text));
  switch (descriptor.FieldType) {
    case fldString:
    case fldBytes:
    case fldVarBytes:
      return true;
    case fldDate:
      return upper == "CURRENT_DATE" || IsDateText(text);
    case fldTime:
      return upper == "CURRENT_TIME" || IsTimeText(text);
    case fldTimeStamp:
      return upper == "CURRENT_TIMESTAMP" || upper == "CURRENT_DATE" || upper == "CURRENT_TIME" ||
             IsTimeStampText(text);
    case fldBoolean:
      return upper == "TRUE" || upper == "FALSE";
    case fldSmallInt:
      return IsIntegerText(text, -32768.0L, 32767.0L);
    case fldInteger:
      return IsIntegerText(text, -2147483648.0L, 2147483647.0L);
    case fldWord:
      return IsIntegerText(text, 0.0L, 65535.0L);
    case fldLargeInt:
      return IsIntegerText(text, -9223372036854775808.0L, 9223372036854775807.0L);
    case fldFloat:
      return IsNumberText(text, true);
    case fldBCD:
      return IsNumberText(text, false);
    default:
      return true;
  }
}

TDataCursor::TDataCursor(TDataDirectory& database) : database_(database) {}

TDataCursor::~TDataCursor() {
  try {
    Close(true);
  } catch (const std::exception&) {
  }
}

void TDataCursor::RequireClosed() const {
  if (IsOpen()) Raise(TABULA_TABLEOPEN);
}

void TDataCursor::Raise(std::uint16_t code, const std::string& field) const {
  RaiseEngineError(code, std::string(), std::string(), database_.DisplayName(), table_name_, field,
                   std::string(), std::string());
}

void TDataCursor::SetTableName(const std::string& name) {
  RequireClosed();
  std::string trimmed = TrimBlanks(name);
  const std::size_t dot = trimmed.find_last_of('.');
  const std::size_t slash = trimmed.find_last_of("\\:");
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    trimmed = ChangeFileExtension(trimmed, kDataFileExtension);
  }
  table_name_ = trimmed.substr(0, kMaxSessionText);
}

void TDataCursor::SetExclusive(bool value) {
  RequireClosed();
  exclusive_ = value;
}
void TDataCursor::SetShareExclusive(bool value) {
  RequireClosed();
  share_exclusive_ = value;
}
void TDataCursor::SetReadOnly(bool value) {
  RequireClosed();
  read_only_ = value;
}
void TDataCursor::SetInMemory(bool value) {
  RequireClosed();
  in_memory_ = value;
}
void TDataCursor::SetTemporary(bool value) {
  RequireClosed();
  temporary_ = value;
}
void TDataCursor::SetQueryResult(bool value) {
  RequireClosed();
  query_result_ = value;
}
void TDataCursor::SetNaturalOrder(bool value) {
  RequireClosed();
  natural_order_ = value;
}
void TDataCursor::SetPasswordCallback(TPasswordCallback callback, void* context) {
  RequireClosed();
  password_callback_ = std::move(callback);
  password_context_ = context;
}
void TDataCursor::SetSuppressAutoInc(bool value) {
  suppress_auto_inc_ = value && IsOpen() && has_auto_inc_;
}

// ---- Open and close --------------------------------------------------------------------------

void TDataCursor::Open(bool keep_position) {
  (void)keep_position;
  if (IsOpen()) return;
  TDataTable* table = nullptr;
  const int result = database_.AcquireTable(table_name_, in_memory_, exclusive_, share_exclusive_,
                                            temporary_, &table);
  if (result < 0) Raise(static_cast<std::uint16_t>(-result));
  table_ = table;
  try {
    if (table_->ReadOnly()) read_only_ = true;
    if (table_->ReadOnlyFiles()) {
      read_only_ = true;
      locking_disabled_ = true;
    }
    if (!database_.Session().Remote()) {
      if (table_->OpenCount() == 1 && !table_->Modified()) CheckHeaders();
      CheckPassword();
      // A table whose index file was made anew gets its keys back from the records.
      if (table_->IndexRebuilt()) table_->RebuildIndexKeys();
    }
    TakeTableState();
    SelectIndex(natural_order_ ? kNoIndex : kPrimarySlot);
    ComputeRangePositions();
    RebuildBitmaps();
    SetToBegin();
  } catch (...) {
    try {
      Close(false);
    } catch (const std::exception&) {
    }
    throw;
  }
}

void TDataCursor::CheckHeaders() {
  TTableLocks& locks = table_->Locks();
  locks.LockRead();
  try {
    TDataFile& data = table_->DataFile();
    data.CheckHeader();
    const TDataHeader& header = data.Header();
    if (header.LocaleID != 0 && !LocaleInstalled(header.LocaleID, header.SortID)) {
      Raise(TABULA_CANNOTLOADLDDRV);
    }
    if (!table_->IndexRebuilt()) table_->IndexFile().CheckHeader(data.Descriptors());
  } catch (...) {
    locks.UnlockRead();
    throw;
  }
  locks.UnlockRead();
}

void TDataCursor::CheckPassword() {
  TDataFile& data = table_->DataFile();
  if (!data.Encrypted()) return;
  const std::string password = data.GetPassword();
  while (!database_.Session().HasPassword(password)) {
    if (!password_callback_ || !password_callback_(*this, password_context_)) {
      Raise(TABULA_NOTSUFFTABLERIGHTS);
    }
  }
}

void TDataCursor::TakeTableState() {
  TDataFile& data = table_->DataFile();
  const TDataHeader& header = data.Header();
  locale_id_ = header.LocaleID;
  sort_id_ = header.SortID;
  collation_ = header.LocaleID != 0 ? FindCollation(header.LocaleID, header.SortID) : nullptr;
  field_count_ = header.FieldCount;
  record_size_ = header.RecordSize;
  RememberChangeCounters();
  descriptors_ = data.Descriptors();
  has_auto_inc_ = has_value_checks_ = has_defaults_ = false;
  const std::string base = BaseName(table_name_);
  for (TFieldDescriptor& field : descriptors_) {
    field.SetQualifiedName(base + "." + field.FieldName);
    field.SetSourceFieldNo(field.FieldNo);
    field.SetSourceDirectory(database_.Path());
    if (IsAutoIncField(field.FieldType, field.FieldSubType)) has_auto_inc_ = true;
    if (field.Required || !field.MinValue.empty() || !field.MaxValue.empty()) {
      has_value_checks_ = true;
    }
    if (!field.DefaultValue.empty()) has_defaults_ = true;
  }
  record_image_.assign(static_cast<std::size_t>(record_size_), 0);
  field_plans_.clear();
  for (const TFieldDescriptor& field : descriptors_) {
    field_plans_.push_back(PlanField(field, record_image_.size()));
  }
}

void TDataCursor::RememberChangeCounters() {
  if (table_ == nullptr || !table_->DataFile().Opened()) return;
  data_change_count_ = table_->DataFile().Header().ChangeCount;
  index_change_count_ = table_->IndexFile().Header().ChangeCount;
}

void TDataCursor::ClearState() {
  FreeAllBlobs();
  table_ = nullptr;
  locking_disabled_ = false;
  descriptors_.clear();
  field_plans_.clear();
  record_image_.clear();
  record_size_ = 0;
  field_count_ = 0;
  collation_ = nullptr;
  record_no_ = 0;
  bof_ = eof_ = true;
  suppress_auto_inc_ = false;
  // Navigation state.
  index_name_.clear();
  record_order_ = true;
  index_keys_.reset();
  comparator_.reset();
  deleted_keys_.reset();
  deleted_comparator_.reset();
  key_length_ = 0;
  index_field_count_ = 0;
  position_ = TTreePosition();
  step_leaf_ = TStepLeaf();
  ordinal_ = 0;
  range_active_ = false;
  range_start_key_.clear();
  range_end_key_.clear();
  range_start_ = range_end_ = 0;
  active_bitmap_ = TRecordsBitmap();
  working_bitmap_ = TRecordsBitmap();
  visible_count_ = 0;
  uses_bitmap_ = false;
  read_depth_ = write_depth_ = scan_depth_ = 0;
  scan_direction_ = scan_misses_ = 0;
  stepping_ = false;
  read_lock_taken_ = write_lock_taken_ = scan_lock_taken_ = false;
}

void TDataCursor::Close(bool flush) {
  if (!IsOpen()) return;
  TDataTable* table = table_;
  // The index file asks the cursor that reads on each cache miss; this one no longer reads.
  table->IndexFile().OnCheckChanges = nullptr;
  if (read_lock_taken_) table->Locks().UnlockRead();
  if (write_lock_taken_) table->Locks().UnlockWrite();
  if (scan_lock_taken_) table->Locks().UnlockScan();
  // An edit in progress ends with its cursor: the record lock goes (editing section).
  if (locked_record_ != 0) {
    try {
      UnlockCursorRecord(locked_record_);
    } catch (const std::exception&) {
    }
  }
  locked_record_ = 0;
  change_detected_ = false;
  ReleaseStream();
  ClearState();
  const int result = database_.ReleaseTable(table, flush);
  if (result < 0) Raise(static_cast<std::uint16_t>(-result));
}

// ---- Table-level operations ------------------------------------------------------------------

void TDataCursor::CreateTable(const TTableDefinition& given) {
  RequireClosed();
  TTableDefinition definition = given;
  // 1. The password of an encrypted table.
  if (definition.Encrypted) {
    const std::string password = TrimBlanks(definition.Password);
    if (password.empty() || password.size() >= kPasswordLimit) Raise(TABULA_INVALIDPASSWORD);
    definition.Password = password;
  }
  // 2. The locale.
  if (definition.LocaleID != 0 && !LocaleInstalled(definition.LocaleID, definition.SortID)) {
    Raise(TABULA_CANNOTLOADLDDRV);
  }
  // 3.-5. Limits.
  if (definition.Fields.size() > kMaxFieldCount || definition.LastRecordID < -1) {
    Raise(TABULA_FLDLIMIT);
  }
  if (definition.Indexes.size() > kMaxIndexDefinitions) Raise(TABULA_INDEXLIMIT);
  if (definition.BlobBlockSize < kMinBlobBlockSize) Raise(TABULA_BLOBLIMIT);
  // 6. The fields.
  std::set<std::uint16_t> numbers;
  for (std::size_t i = 0; i < definition.Fields.size(); ++i) {
    TFieldDescriptor& field = definition.Fields[i];
    field.FieldName = TrimBlanks(field.FieldName).substr(0, kMaxFieldNameLength);
    if (field.FieldName.empty() ||
        !IsIdentifierStart(static_cast<unsigned char>(field.FieldName[0]))) {
      Raise(TABULA_INVALIDFIELDNAME, field.FieldName);
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (SameNameTrimmed(definition.Fields[j].FieldName, field.FieldName)) {
        Raise(TABULA_INVALIDFIELDNAME, field.FieldName);
      }
    }
    const std::uint16_t number =
        field.FieldNo != 0 ? field.FieldNo : static_cast<std::uint16_t>(i + 1);
    if (!numbers.insert(number).second || field.FieldType == fldUnknown) {
      Raise(TABULA_INVALIDFLDTYPE, field.FieldName);
    }
    const bool sized = field.FieldType == fldString || field.FieldType == fldBytes ||
                       field.FieldType == fldVarBytes;
    if (sized && field.FieldSize > kMaxFieldSize) Raise(TABULA_INVALIDFLDTYPE, field.FieldName);
    if (!sized) field.FieldSize = 0;
    if (!IsValidValueText(field, field.MinValue) || !IsValidValueText(field, field.MaxValue) ||
        !IsValidValueText(field, field.DefaultValue)) {
      Raise(TABULA_INVALIDVCHKSTRUCT, field.FieldName);
    }
    if (field.FieldType != fldBCD) field.FieldScale = 0;
    field.Computed = false;
    field.Reserved.fill(0);
    // Stored fields are numbered by their position.
    field.FieldNo = static_cast<std::uint16_t>(i + 1);
  }
  AssignFieldLayout(definition.Fields);
  // 7. Index definitions: key lengths from the field types; the index layer checks the rest.
  for (TIndexDefinition& index : definition.Indexes) {
    if (index.KeyLength != 0) continue;
    std::uint32_t length = 0;
    for (std::uint16_t number : index.FieldNumbers) {
      if (number >= 1 && number <= definition.Fields.size()) {
        length += 1u + KeyWidthOf(definition.Fields[number - 1]);
      }
    }
    index.KeyLength = static_cast<std::uint16_t>(std::min<std::uint32_t>(length, 0xFFFF));
  }
  const int result = database_.CreateTable(table_name_, in_memory_, definition);
  if (result < 0) Raise(static_cast<std::uint16_t>(-result));
}

TDataHeader TDataCursor::ReadClosedHeader() const {
  TDataFile file;
  file.SetSession(&database_.Session());
  file.SetTableName(table_name_);
  const std::string name = ChangeFileExtension(table_name_, kDataFileExtension);
  file.SetFileName(in_memory_ ? name : database_.Path() + name);
  file.SetInMemory(in_memory_);
  file.Open();
  TDataHeader header = file.Header();
  file.Close();
  return header;
}

void TDataCursor::DeleteTable() {
  RequireClosed();
  ReadClosedHeader();
  const int result = database_.DeleteTable(table_name_, in_memory_);
  if (result < 0) Raise(static_cast<std::uint16_t>(-result));
}

void TDataCursor::RenameTable(const std::string& new_name) {
  RequireClosed();
  ReadClosedHeader();
  const int result = database_.RenameTable(table_name_, in_memory_, new_name);
  if (result < 0) Raise(static_cast<std::uint16_t>(-result));
}

void TDataCursor::EmptyTable() {
  if (!IsOpen() || !(exclusive_ || table_->Exclusive())) Raise(TABULA_NEEDEXCLACCESS);
  if (read_only_) Raise(TABULA_OSEACCES);
  table_->EmptyFiles();
  RememberChangeCounters();
  ComputeRangePositions();
  RebuildBitmaps();
  SetToBegin();
}

TTableInfo TDataCursor::GetTableInfo() {
  const TDataHeader header = IsOpen() ? table_->DataFile().Header() : ReadClosedHeader();
  TTableInfo info;
  info.Description = header.PlainDescription();
  info.Encrypted = header.Encrypted;
  info.Password = header.PlainPassword();
  info.FormatVersion = std::string(FormatVersionText(header.FormatVersion));
  info.UserMajorVersion = header.UserMajorVersion;
  info.UserMinorVersion = header.UserMinorVersion;
  info.LocaleID = header.LocaleID;
  info.SortID = header.SortID;
  info.BlobBlockSize = header.GetBlobBlockSize();
  info.LastRecordID = header.LastRecordID;
  return info;
}

// ---- Fields ----------------------------------------------------------------------------------

std::size_t TDataCursor::FieldIndex(std::uint16_t field_no) const {
  if (field_no == 0 || field_no > descriptors_.size()) Raise(TABULA_OUTOFRANGE);
  return field_no - 1u;
}

bool TDataCursor::GetField(std::uint16_t field_no, const std::uint8_t* image,
                           std::uint8_t* value) const {
  const std::size_t at = FieldIndex(field_no);
  bool is_null = true;
  const std::uint16_t code = ReadPlannedField(field_plans_[at], image, value, &is_null);
  if (code != 0) Raise(code, descriptors_[at].FieldName);
  return is_null;
}

void TDataCursor::SetField(std::uint16_t field_no, std::uint8_t* image, const std::uint8_t* value,
                           std::size_t value_size, bool force) {
  const std::size_t at = FieldIndex(field_no);
  const TFieldDescriptor& field = descriptors_[at];
  if (read_only_) Raise(TABULA_OSEACCES, field.FieldName);
  if (value != nullptr && StorePlannedField(field_plans_[at], image, value, value_size)) return;
  if (field.Computed && !force) return;
  TCaseConverter convert = nullptr;
  if (collation_ != nullptr) {
    convert = [](std::string_view text, std::uint8_t char_case, const void* context) {
      const auto* collation = static_cast<const TCollation*>(context);
      return char_case == kCharCaseUpper ? collation->Upper(text) : collation->Lower(text);
    };
  }
  const std::uint16_t code =
      StoreFieldValue(field, image, record_image_.size(), value, value_size, convert, collation_);
  if (code != 0) Raise(code, field.FieldName);
}

TFieldDescriptor TDataCursor::GetDescriptor(std::uint16_t field_no) const {
  return descriptors_[FieldIndex(field_no)];
}

std::uint16_t TDataCursor::IndexCount() const {
  if (!IsOpen()) return 0;
  const TIndexFile& index = table_->IndexFile();
  return static_cast<std::uint16_t>((index.NoPrimaryIndex() ? 0 : 1) +
                                    index.Header().SecondaryCount);
}

}  // namespace tabula
