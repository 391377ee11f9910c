#include "components/tabula_dataset.h"

#include <algorithm>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_file_format.h"
#include "engine/storage/data_session.h"

namespace tabula {

// ---------------------------------------------------------------------------------------------
// Type mapping

TEngineFieldType EngineFieldTypeOf(TFieldType type) {
  switch (type) {
    case ftString:
    case ftGuid:
      return {fldString, fldstNone};
    case ftFixedChar:
      return {fldString, fldstFixed};
    case ftWideString:
      return {fldString, fldstWide};
    case ftSmallint:
      return {fldSmallInt, fldstNone};
    case ftInteger:
      return {fldInteger, fldstNone};
    case ftAutoInc:
      return {fldInteger, fldstAutoInc};
    case ftWord:
      return {fldWord, fldstNone};
    case ftBoolean:
      return {fldBoolean, fldstNone};
    case ftFloat:
      return {fldFloat, fldstNone};
    case ftCurrency:
      return {fldFloat, fldstMoney};
    case ftBCD:
      return {fldBCD, fldstNone};
    case ftDate:
      return {fldDate, fldstNone};
    case ftTime:
      return {fldTime, fldstNone};
    case ftDateTime:
      return {fldTimeStamp, fldstNone};
    case ftBytes:
      return {fldBytes, fldstNone};
    case ftVarBytes:
      return {fldVarBytes, fldstNone};
    case ftBlob:
    case ftParadoxOle:
    case ftDBaseOle:
      return {fldBlob, fldstNone};
    case ftMemo:
      return {fldBlob, fldstMemo};
    case ftGraphic:
      return {fldBlob, fldstGraphic};
    case ftFmtMemo:
      return {fldBlob, fldstFmtMemo};
    case ftTypedBinary:
      return {fldBlob, fldstTypedBinary};
    case ftLargeint:
      return {fldLargeInt, fldstNone};
    default:
      return {};
  }
}

TFieldType DataSetFieldTypeOf(std::uint8_t engine_type, std::uint8_t engine_subtype) {
  switch (engine_type) {
    case fldString:
      if (engine_subtype == fldstFixed) return ftFixedChar;
      if (engine_subtype == fldstWide) return ftWideString;
      return ftString;
    case fldDate:
      return ftDate;
    case fldBlob:
      switch (engine_subtype) {
        case fldstMemo:
          return ftMemo;
        case fldstFmtMemo:
          return ftFmtMemo;
        case fldstGraphic:
          return ftGraphic;
        case fldstTypedBinary:
          return ftTypedBinary;
        default:
          return ftBlob;
      }
    case fldBoolean:
      return ftBoolean;
    case fldSmallInt:
      return ftSmallint;
    case fldInteger:
      return engine_subtype == fldstAutoInc ? ftAutoInc : ftInteger;
    case fldFloat:
      return engine_subtype == fldstMoney ? ftCurrency : ftFloat;
    case fldBCD:
      return ftBCD;
    case fldBytes:
      return ftBytes;
    case fldTime:
      return ftTime;
    case fldTimeStamp:
      return ftDateTime;
    case fldWord:
      return ftWord;
    case fldUnsignedInteger:
      return ftInteger;
    case fldVarBytes:
      return ftVarBytes;
    case fldLargeInt:
    case 19:
      return ftLargeint;
    default:
      return ftUnknown;
  }
}

// ---------------------------------------------------------------------------------------------
// TTabulaDataSet

TTabulaDataSet::TTabulaDataSet(TComponent* owner) : TDataSet(owner) {}

TTabulaDataSet::~TTabulaDataSet() = default;

void TTabulaDataSet::RaiseCursorError(std::uint16_t code) const {
  RaiseTableError(code, ErrorTableName());
}

void TTabulaDataSet::DestroyCursor() {
  lookup_cursor_.reset();
  cursor_.reset();
}

void FieldDefsFromDescriptors(const std::vector<TFieldDescriptor>& descriptors, TFieldDefs& defs) {
  defs.Clear();
  for (const TFieldDescriptor& descriptor : descriptors) {
    const TFieldType type = DataSetFieldTypeOf(descriptor.FieldType, descriptor.FieldSubType);
    if (type == ftUnknown) continue;
    std::string name = descriptor.FieldName;
    for (int n = 1; defs.IndexOf(name) >= 0; ++n) {
      name = descriptor.FieldName + "_" + std::to_string(n);
    }
    int size = 0;
    if (descriptor.FieldType == fldString || descriptor.FieldType == fldBytes ||
        descriptor.FieldType == fldVarBytes) {
      size = descriptor.FieldSize;
    } else if (descriptor.FieldType == fldBCD) {
      size = descriptor.FieldScale;
    }
    TFieldDef& def = defs.Add(name, type, size, descriptor.Required);
    def.SetFieldNo(descriptor.FieldNo);
    if (type == ftBCD) def.SetPrecision(32);
  }
  defs.SetUpdated(true);
}

void TTabulaDataSet::InternalInitFieldDefs() {
  FieldDefsFromDescriptors(cursor_->Descriptors(), FieldDefs());
}

void TTabulaDataSet::ComputeLayout() {
  record_size_ = static_cast<std::size_t>(cursor_->RecordSize());
  bookmark_size_ = cursor_->GetBookmarkSize();
  calc_offset_ = record_size_;
  info_offset_ = calc_offset_ + CalcFieldsSize();
  bookmark_offset_ = info_offset_ + kRecInfoSize;
  old_record_.assign(record_size_, 0);
  value_places_.clear();
  for (const TFieldDescriptor& descriptor : cursor_->Descriptors()) {
    TValuePlace place;
    const std::size_t size = FieldValueSize(descriptor);
    if (IsAutoIncField(descriptor.FieldType, descriptor.FieldSubType)) {
      place = {static_cast<std::uint32_t>(kRecordIdentifier), 4, true};
    } else if (descriptor.HasRecordArea() && descriptor.FieldType != fldBlob &&
               descriptor.FieldOffset + 1 + size <= record_size_) {
      place = {descriptor.FieldOffset, static_cast<std::uint32_t>(size), false};
    }
    value_places_.push_back(place);
  }
}

void TTabulaDataSet::InternalOpen() {
  cursor_ = CreateCursor();
  try {
    {
      TEngineLockGuard guard(EngineSession());
      cursor_->Open();
    }
    can_modify_ = !cursor_->ReadOnly();
    InternalInitFieldDefs();
    CreateFields();
    const std::string base = ErrorTableName();
    for (int i = 0; i < FieldCount(); ++i) {
      TField& field = Fields().Fields(i);
      if (field.Calculated()) continue;
      const TFieldDescriptor descriptor =
          cursor_->GetDescriptor(static_cast<std::uint16_t>(field.FieldNo()));
      if (AutoDisplayLabels() && !descriptor.FieldDescription.empty()) {
        field.SetDisplayLabel(descriptor.FieldDescription);
      }
      field.SetOrigin(descriptor.QualifiedName());
      // The auto-increment field is the record identifier: the engine assigns it.
      if (field.DataType() == ftAutoInc) field.SetReadOnly(true);
    }
    ComputeLayout();
    CheckFilterText(Filter(), Filtered());
    AfterCursorOpen();
    TEngineLockGuard guard(EngineSession());
    cursor_->SetToBegin();
  } catch (...) {
    try {
      TEngineLockGuard guard(EngineSession());
      DestroyCursor();
    } catch (...) {
    }
    throw;
  }
}

void TTabulaDataSet::InternalClose() {
  if (!cursor_) return;
  TEngineLockGuard guard(EngineSession());
  DestroyCursor();
}

void TTabulaDataSet::InternalFirst() {
  TEngineLockGuard guard(EngineSession());
  cursor_->SetToBegin();
}

void TTabulaDataSet::InternalLast() {
  TEngineLockGuard guard(EngineSession());
  cursor_->SetToEnd();
}

TGetResult TTabulaDataSet::GetRecord(std::uint8_t* buffer, TGetMode mode, bool do_check) {
  TEngineLockGuard guard(EngineSession());
  for (;;) {
    std::uint16_t code = 0;
    try {
      switch (mode) {
        case gmCurrent:
          code = cursor_->FetchCurrent(buffer, false);
          break;
        case gmNext:
          code = cursor_->GetNextRecord(buffer);
          break;
        case gmPrior:
          code = cursor_->GetPriorRecord(buffer);
          break;
      }
    } catch (const ETabulaEngineError&) {
      if (do_check) throw;
      return grError;
    }
    if (code == TABULA_BOF) return grBOF;
    if (code == TABULA_EOF) return grEOF;
    if (code != 0) {
      if (do_check) RaiseCursorError(code);
      return grError;
    }
    if (AcceptCurrentRecord(buffer)) return grOK;
    if (mode == gmCurrent) return grError;
  }
}

bool TTabulaDataSet::AcceptCurrentRecord(std::uint8_t* buffer) {
  EncodeFixed32(buffer + info_offset_ + kRecInfoRecordNo,
                static_cast<std::uint32_t>(cursor_->GetRecNo()));
  buffer[info_offset_ + kRecInfoBookmarkFlag] = bfCurrent;
  buffer[info_offset_ + kRecInfoHeaderPending] = 0;
  cursor_->GetBookmark(buffer + bookmark_offset_);
  GetCalcFields(buffer);
  return FilterRecord(buffer);
}

void TTabulaDataSet::InternalInitRecord(std::uint8_t* buffer) {
  std::memset(buffer, 0, RecordBufferSize());
  TEngineLockGuard guard(EngineSession());
  if (copy_on_append_ && !IsEmpty() && cursor_->CopyCurrentRecord(buffer) == 0) {
    // A copy of the current record.
  } else {
    std::memset(buffer, 0, record_size_);
    cursor_->InitRecord(buffer);
  }
  EncodeFixed32(buffer + info_offset_ + kRecInfoRecordNo, static_cast<std::uint32_t>(-1));
  buffer[info_offset_ + kRecInfoBookmarkFlag] = bfInserted;
  buffer[info_offset_ + kRecInfoHeaderPending] = 0;
}

void TTabulaDataSet::InternalInsert() {
  TEngineLockGuard guard(EngineSession());
  // A record lock still held from an edit is released before the new record starts.
  if (cursor_->LockedRecord() != 0) cursor_->UnlockCursorRecord(cursor_->LockedRecord());
}

void TTabulaDataSet::InternalEdit() {
  std::uint8_t* buffer = ActiveBuffer();
  TEngineLockGuard guard(EngineSession());
  const std::uint16_t code = cursor_->FetchCurrent(buffer, true);
  if (code != 0) RaiseCursorError(code);
  old_record_.assign(buffer, buffer + record_size_);
}

void TTabulaDataSet::InternalPost() {
  std::uint8_t* buffer = ActiveBuffer();
  // In a window of one record, with nothing that could keep the posted record from being the
  // one shown (a filter, a range), the buffer keeps the record and the cursor goes to it only
  // when its position is next needed: a run of appends or of key searches and edits never
  // searches the index for the record just posted.
  const bool in_place = BufferCount() == 1 && !(Filtered() && OnFilterRecord) &&
                        !cursor_->RangeActive() && !cursor_->RecordNumberOrder();
  TEngineLockGuard guard(EngineSession());
  const bool edit = State() == dsEdit;
  if (edit) {
    cursor_->PostEdit(buffer, true, !in_place);
  } else {
    cursor_->PostInsert(buffer, !in_place);
  }
  if (!in_place) return;
  if (edit) {
    // The cursor's image is the record as stored, header and all.
    std::memcpy(buffer, cursor_->RecordImage().data(), record_size_);
  } else {
    // The buffer holds the stored values and identifier; status and record number come when
    // the cursor reaches the record.
    buffer[info_offset_ + kRecInfoHeaderPending] = 1;
  }
  buffer[info_offset_ + kRecInfoBookmarkFlag] = bfCurrent;
  if (const std::uint16_t code = cursor_->BookmarkOfImage(buffer, buffer + bookmark_offset_)) {
    RaiseCursorError(code);
  }
  PostedInPlace();
}

void TTabulaDataSet::InternalCancel() {
  TEngineLockGuard guard(EngineSession());
  if (State() == dsEdit) cursor_->CancelEdit();
  // BLOB values written during the edit or insert are dropped with their buffers.
  cursor_->FreeAllBlobs();
}

void TTabulaDataSet::InternalDelete() {
  std::uint8_t* buffer = ActiveBuffer();
  TEngineLockGuard guard(EngineSession());
  cursor_->DeleteCurrent(buffer, true);
}

void TTabulaDataSet::InternalRefresh() {
  TEngineLockGuard guard(EngineSession());
  cursor_->Refresh();
  if (lookup_cursor_) lookup_cursor_->Refresh();
}

void TTabulaDataSet::InternalSetToRecord(std::uint8_t* buffer) {
  TEngineLockGuard guard(EngineSession());
  const bool reached = cursor_->SetToBookmark(buffer + bookmark_offset_, false, false);
  if (reached && buffer[info_offset_ + kRecInfoHeaderPending] != 0) {
    std::memcpy(buffer, cursor_->RecordImage().data(), kRecordIdentifier);
    buffer[info_offset_ + kRecInfoHeaderPending] = 0;
  }
}

void TTabulaDataSet::InternalGotoBookmark(const std::uint8_t* bookmark) {
  TEngineLockGuard guard(EngineSession());
  cursor_->SetToBookmark(bookmark, false, false);
}

TBookmarkFlag TTabulaDataSet::GetBookmarkFlag(const std::uint8_t* buffer) const {
  return static_cast<TBookmarkFlag>(buffer[info_offset_ + kRecInfoBookmarkFlag]);
}

void TTabulaDataSet::SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) {
  buffer[info_offset_ + kRecInfoBookmarkFlag] = flag;
}

void TTabulaDataSet::GetBookmarkData(const std::uint8_t* buffer, std::uint8_t* data) const {
  std::memcpy(data, buffer + bookmark_offset_, bookmark_size_);
}

void TTabulaDataSet::SetBookmarkData(std::uint8_t* buffer, const std::uint8_t* data) {
  std::memcpy(buffer + bookmark_offset_, data, bookmark_size_);
}

void TTabulaDataSet::ClearCalcFields(std::uint8_t* buffer) {
  std::memset(buffer + calc_offset_, 0, CalcFieldsSize());
}

// ---- Field values ----------------------------------------------------------------------------

bool TTabulaDataSet::GetFieldData(const TField& field, std::uint8_t* buffer) const {
  const std::uint8_t* record = ActiveBuffer();
  if (record == nullptr || !cursor_) return false;
  if (field.Calculated()) {
    const std::uint8_t* area = record + calc_offset_ + field.Offset();
    if (area[0] == 0) return false;
    std::memcpy(buffer, area + 1, field.DataSize());
    return true;
  }
  if (field.FieldNo() <= 0) return false;
  return !cursor_->GetField(static_cast<std::uint16_t>(field.FieldNo()), record, buffer);
}

const std::uint8_t* TTabulaDataSet::FieldValueInPlace(const TField& field, bool* in_place) const {
  const std::uint8_t* record = ActiveBuffer();
  *in_place = true;
  if (record == nullptr || !cursor_) return nullptr;
  if (field.Calculated()) {
    const std::uint8_t* area = record + calc_offset_ + field.Offset();
    return area[0] != 0 ? area + 1 : nullptr;
  }
  const auto at = static_cast<std::size_t>(field.FieldNo()) - 1;
  if (field.FieldNo() <= 0 || at >= value_places_.size() || value_places_[at].size == 0 ||
      value_places_[at].size != field.DataSize()) {
    // The cursor reads it (and raises what it finds wrong).
    *in_place = false;
    return nullptr;
  }
  const TValuePlace& place = value_places_[at];
  if (place.identifier) return record + place.offset;
  return record[place.offset] != 0 ? record + place.offset + 1 : nullptr;
}

void TTabulaDataSet::SetFieldData(TField& field, const std::uint8_t* value, std::size_t size) {
  const TDataSetState state = State();
  if (state != dsEdit && state != dsInsert && state != dsSetKey && state != dsCalcFields &&
      state != dsFilter) {
    DatabaseError(kNotEditing);
  }
  if (state == dsSetKey && !field.Calculated() && !IsKeyField(field)) {
    DatabaseError(kNotIndexField, field.FieldName());
  }
  if (field.ReadOnly() && state != dsSetKey && !SettingRange() && state != dsCalcFields) {
    DatabaseError(kFieldReadOnly, field.FieldName());
  }
  std::uint8_t* record = ActiveBuffer();
  if (record == nullptr) DatabaseError(kNotEditing);
  if (field.Calculated()) {
    std::uint8_t* area = record + calc_offset_ + field.Offset();
    std::memset(area, 0, 1 + field.DataSize());
    if (value != nullptr) {
      area[0] = 1;
      std::memcpy(area + 1, value, std::min(size, field.DataSize()));
    }
  } else if (state == dsSetKey || state == dsFilter) {
    // Key buffers are written whatever the cursor's read-only setting.
    const std::vector<TFieldDescriptor>& descriptors = cursor_->Descriptors();
    const auto at = static_cast<std::size_t>(field.FieldNo());
    if (at < 1 || at > descriptors.size()) {
      RaiseTableError(TABULA_OUTOFRANGE, ErrorTableName(), field.FieldName());
    }
    const TFieldDescriptor& descriptor = descriptors[at - 1];
    const std::uint16_t code =
        StoreFieldValue(descriptor, record, record_size_, value, value == nullptr ? 0 : size);
    if (code != 0) RaiseTableError(code, ErrorTableName(), field.FieldName());
  } else {
    cursor_->SetField(static_cast<std::uint16_t>(field.FieldNo()), record, value,
                      value == nullptr ? 0 : size);
  }
  FieldChanged(field);
}

std::string TTabulaDataSet::GetBlobData(const TField& field) const {
  std::uint8_t* record = ActiveBuffer();
  if (record == nullptr || !cursor_ || field.FieldNo() <= 0) return std::string();
  const auto field_no = static_cast<std::uint16_t>(field.FieldNo());
  auto* self = const_cast<TTabulaDataSet*>(this);
  std::uint32_t size = 0;
  std::uint16_t code = 0;
  {
    TEngineLockGuard guard(EngineSession());
    code = cursor_->OpenBlob(field_no, record, TDataCursor::bmRead, false, &size);
  }
  if (code == TABULA_KEYORRECDELETED && State() == dsBrowse) {
    // Another user changed the record since it was read: read it again, then the value.
    self->Refresh();
    record = ActiveBuffer();
    if (record == nullptr) return std::string();
    TEngineLockGuard guard(EngineSession());
    code = cursor_->OpenBlob(field_no, record, TDataCursor::bmRead, false, &size);
  }
  if (code != 0) RaiseTableError(code, ErrorTableName(), field.FieldName());
  std::vector<std::uint8_t> data(static_cast<std::size_t>(size) + size / 4 + 1);
  std::uint32_t read = 0;
  {
    TEngineLockGuard guard(EngineSession());
    code = cursor_->GetBlob(field_no, record, 0, size, data.data(), &read);
    cursor_->FreeBlob(field_no, record);
  }
  if (code != 0 && code != TABULA_ENDOFBLOB) {
    RaiseTableError(code, ErrorTableName(), field.FieldName());
  }
  return std::string(reinterpret_cast<const char*>(data.data()), read);
}

void TTabulaDataSet::SetBlobData(TField& field, const std::string& value) {
  const TDataSetState state = State();
  if (state != dsEdit && state != dsInsert) DatabaseError(kNotEditing);
  if (field.ReadOnly()) DatabaseError(kFieldReadOnly, field.FieldName());
  std::uint8_t* record = ActiveBuffer();
  const auto field_no = static_cast<std::uint16_t>(field.FieldNo());
  {
    TEngineLockGuard guard(EngineSession());
    // The value stays open in the record buffer until the record is posted (or the edit ends).
    std::uint32_t size = 0;
    std::uint16_t code = cursor_->OpenBlob(field_no, record, TDataCursor::bmReadWrite, true, &size);
    if (code == 0) code = cursor_->TruncateBlob(field_no, record, 0);
    if (code == 0 && !value.empty()) {
      code = cursor_->PutBlob(field_no, record, 0, static_cast<std::uint32_t>(value.size()),
                              reinterpret_cast<const std::uint8_t*>(value.data()));
    }
    if (code != 0) RaiseTableError(code, ErrorTableName(), field.FieldName());
  }
  FieldChanged(field);
}

void TTabulaDataSet::CheckFilterText(const std::string& text, bool filtered) const {
  if (filtered && !text.empty()) {
    RaiseTableError(TABULA_INVALIDFILTER, ErrorTableName(), std::string(), std::string(),
                    "filter expressions are not available in this build; use OnFilterRecord");
  }
}

void TTabulaDataSet::SetFilter(const std::string& value) {
  if (Active()) CheckFilterText(value, Filtered());
  TDataSet::SetFilter(value);
}

void TTabulaDataSet::SetFiltered(bool value) {
  if (Active()) CheckFilterText(Filter(), value);
  const bool changed = value != Filtered();
  TDataSet::SetFiltered(value);
  if (Active() && changed) First();
}

// ---- Positions -------------------------------------------------------------------------------

int TTabulaDataSet::RecordCount() {
  CheckActive();
  TEngineLockGuard guard(EngineSession());
  return cursor_->GetRecordCount();
}

int TTabulaDataSet::RecNo() {
  CheckActive();
  if (State() == dsInsert || IsEmpty()) return -1;
  UpdateCursorPos();
  TEngineLockGuard guard(EngineSession());
  return cursor_->GetRecNo();
}

void TTabulaDataSet::SetRecNo(int value) {
  CheckBrowseMode();
  {
    TEngineLockGuard guard(EngineSession());
    cursor_->SetToRecNo(value);
  }
  Resync(rmCenter);
}

bool TTabulaDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (!cursor_ || bookmark.size() != bookmark_size_) return false;
  CursorPosChanged();
  TEngineLockGuard guard(EngineSession());
  return cursor_->SetToBookmark(bookmark.data(), false, false);
}

int TTabulaDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() || b.empty() || !cursor_) return TDataSet::CompareBookmarks(a, b);
  TEngineLockGuard guard(EngineSession());
  return cursor_->CompareBookmarks(a.data(), b.data());
}

// ---------------------------------------------------------------------------------------------
// TTabulaDBDataSet

TTabulaDBDataSet::TTabulaDBDataSet(TComponent* owner) : TTabulaDataSet(owner) {
  if (TTabulaSession* automatic = TTabulaSession::AutoSessionOf(owner)) {
    session_name_ = automatic->SessionName();
  }
}

TTabulaDBDataSet::~TTabulaDBDataSet() {
  MarkDestroying();
  try {
    Close();
  } catch (...) {
  }
  while (holds_ > 0) ReleaseDatabase();
}

void TTabulaDBDataSet::SetDatabaseName(const std::string& value) {
  if (Loading()) {
    database_name_ = value;
    return;
  }
  CheckInactive();
  const std::string name = CutText(value);
  if (name == database_name_) return;
  database_name_ = name;
  DefinitionsChanged();
}

void TTabulaDBDataSet::SetSessionName(const std::string& value) {
  if (Loading()) {
    session_name_ = value;
    return;
  }
  CheckInactive();
  if (value == session_name_) return;
  session_name_ = value;
  DefinitionsChanged();
}

bool TTabulaDBDataSet::InMemory() const { return SameText(database_name_, "Memory"); }

TTabulaSession& TTabulaDBDataSet::DBSession() const {
  return Sessions().SessionByName(session_name_);
}

TTabulaSession& TTabulaDBDataSet::EngineSession() const {
  return session_ != nullptr ? *session_ : DBSession();
}

TTabulaDatabase& TTabulaDBDataSet::HoldDatabase() {
  if (holds_ == 0) {
    TTabulaSession& session = DBSession();
    // A database component of the owner with this name joins the session first.
    if (Owner() != nullptr) {
      for (TComponent* component : Owner()->Components()) {
        auto* database = dynamic_cast<TTabulaDatabase*>(component);
        if (database != nullptr && SameText(database->DatabaseName(), database_name_)) {
          database->BindSession();
        }
      }
    }
    TTabulaDatabase& database = session.OpenDatabase(database_name_, Owner());
    database_ = &database;
    session_ = &session;
    database.RegisterDataSet(*this);
  }
  ++holds_;
  return *database_;
}

void TTabulaDBDataSet::ReleaseDatabase() {
  if (holds_ == 0) return;
  if (--holds_ > 0) return;
  TTabulaDatabase* database = database_;
  TTabulaSession* session = session_;
  database_ = nullptr;
  session_ = nullptr;
  if (database != nullptr) {
    database->UnregisterDataSet(*this);
    session->CloseDatabase(*database);
  }
}

TDataDirectory& TTabulaDBDataSet::Directory() const {
  if (database_ == nullptr || database_->DataDirectory() == nullptr) {
    DatabaseError(kDatabaseClosed);
  }
  return *database_->DataDirectory();
}

void TTabulaDBDataSet::CheckLocalSession() const {
  TDataSession* engine = EngineSession().DataSession();
  if (engine != nullptr && engine->Remote()) {
    RaiseEngineError(TABULA_REMOTEINVREQUEST, engine->RemoteName(), std::string(), database_name_,
                     ErrorTableName(), std::string(), std::string(),
                     "table datasets are not available over the database server in this build");
  }
}

std::unique_ptr<TDataCursor> TTabulaDBDataSet::CreateCursor() {
  HoldDatabase();
  cursor_hold_ = true;
  try {
    CheckLocalSession();
    TEngineLockGuard guard(EngineSession());
    auto cursor = std::make_unique<TDataCursor>(Directory());
    ConfigureCursor(*cursor);
    return cursor;
  } catch (...) {
    cursor_hold_ = false;
    ReleaseDatabase();
    throw;
  }
}

void TTabulaDBDataSet::DestroyCursor() {
  TTabulaDataSet::DestroyCursor();
  if (cursor_hold_) {
    cursor_hold_ = false;
    ReleaseDatabase();
  }
}

void TTabulaDBDataSet::DatabaseClosing(TTabulaDatabase& database) {
  if (&database != database_) return;
  Close();
  while (holds_ > 0) ReleaseDatabase();
}

}  // namespace tabula
