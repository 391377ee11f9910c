#include "components/table.h"

#include <algorithm>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/index/index_file.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_table.h"

namespace tabula {

namespace {

// Holds a dataset's database for one operation.
class TDatabaseHold {
 public:
  explicit TDatabaseHold(std::function<void()> release) : release_(std::move(release)) {}
  ~TDatabaseHold() { release_(); }
  TDatabaseHold(const TDatabaseHold&) = delete;
  TDatabaseHold& operator=(const TDatabaseHold&) = delete;

 private:
  std::function<void()> release_;
};

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ";";
    text += name;
  }
  return text;
}

}  // namespace

TTabulaTable::TTabulaTable(TComponent* owner) : TTabulaDBDataSet(owner) {
  master_link_.OnMasterChange = [this] { MasterChanged(); };
  master_link_.OnMasterDisable = [this] { MasterDisabled(); };
}

TTabulaTable::~TTabulaTable() {
  MarkDestroying();
  try {
    Close();
  } catch (...) {
  }
  master_link_.SetDataSource(nullptr);
}

// ---------------------------------------------------------------------------------------------
// Properties

void TTabulaTable::SetExclusive(bool value) {
  CheckInactive();
  exclusive_ = value;
}

void TTabulaTable::SetReadOnly(bool value) {
  CheckInactive();
  read_only_ = value;
}

void TTabulaTable::SetTableName(const std::string& value) {
  if (Loading()) {
    table_name_ = value;
    return;
  }
  CheckInactive();
  std::string name = ForwardToBackslashes(CutText(value));
  const std::size_t slash = name.find_last_of("\\:");
  if (slash != std::string::npos) {
    if (!InMemory()) SetDatabaseName(name.substr(0, slash + 1));
    name = name.substr(slash + 1);
  }
  if (name == table_name_) return;
  table_name_ = name;
  DefinitionsChanged();
}

void TTabulaTable::DefinitionsChanged() {
  index_defs_.SetUpdated(false);
  FieldDefs().SetUpdated(false);
}

void TTabulaTable::SetMasterSource(TDataSource* value) {
  if (value != nullptr) {
    // Follow the chain of masters from the new source: reaching this table is circular.
    const TDataSource* source = value;
    for (int steps = 0; source != nullptr && steps < 1000; ++steps) {
      const TDataSet* dataset = source->DataSet();
      if (dataset == nullptr) break;
      if (dataset == this) DatabaseError(kCircularDataLink);
      source = dataset->MasterDataSource();
    }
  }
  master_link_.SetDataSource(value);
}

void TTabulaTable::SetMasterFields(const std::string& value) {
  master_link_.SetFieldNames(value);
  if (Active() && !Loading()) MasterChanged();
}

// ---------------------------------------------------------------------------------------------
// Opening

void TTabulaTable::ConfigureCursor(TDataCursor& cursor) {
  if (table_name_.empty()) DatabaseError(kNoTableName);
  cursor.SetTableName(table_name_);
  cursor.SetExclusive(exclusive_);
  cursor.SetReadOnly(read_only_);
  cursor.SetInMemory(InMemory());
  TTabulaSession* session = &EngineSession();
  cursor.SetPasswordCallback([session](TDataCursor&, void*) { return session->RequestPassword(); },
                             nullptr);
}

std::unique_ptr<TDataCursor> TTabulaTable::TemporaryCursor(bool exclusive) {
  CheckLocalSession();
  auto cursor = std::make_unique<TDataCursor>(Directory());
  ConfigureCursor(*cursor);
  cursor->SetExclusive(exclusive);
  return cursor;
}

void TTabulaTable::AfterCursorOpen() {
  // The cursor could only open read-only: so is the table.
  if (cursor_->ReadOnly()) read_only_ = true;
  index_defs_.SetUpdated(false);
  std::string name = index_name_;
  if (!index_field_names_.empty()) {
    UpdateIndexDefs();
    const TIndexDef* def = index_defs_.FindIndexForFields(index_field_names_);
    if (def == nullptr) DatabaseError(kIndexNotFound, index_field_names_);
    name = def->Name();
  }
  {
    TEngineLockGuard guard(EngineSession());
    cursor_->SetIndexName(name);
  }
  ComputeLayout();
  ReadIndexDescription();
  ResetKeyBuffers();
  SetMasterRange();
}

void TTabulaTable::ReadIndexDescription() {
  index_fields_.clear();
  if (!cursor_ || cursor_->RecordNumberOrder()) return;
  TIndexFile& index = cursor_->Table()->IndexFile();
  const std::string& name = cursor_->IndexName();
  const int slot = TrimBlanks(name).empty() ? kPrimarySlot : index.IndexSlot(name);
  if (slot < 0) return;
  const TIndexDescriptor& descriptor = index.Descriptor(slot);
  for (int i = 0; i < descriptor.FieldCount; ++i) {
    index_fields_.push_back(descriptor.FieldNumbers[static_cast<std::size_t>(i)]);
  }
}

void TTabulaTable::ResetKeyBuffers() {
  for (TKeyBuffer& buffer : key_buffers_) {
    buffer.image.assign(static_cast<std::size_t>(cursor_->RecordSize()), 0);
    buffer.saved = buffer.image;
    buffer.field_count = buffer.saved_count = 0;
  }
  key_kind_ = kKey;
}

// ---------------------------------------------------------------------------------------------
// Index selection

void TTabulaTable::SetIndexName(const std::string& value) { SwitchIndex(value, false); }

void TTabulaTable::SetIndexFieldNames(const std::string& value) { SwitchIndex(value, true); }

void TTabulaTable::SwitchIndex(const std::string& value, bool by_fields) {
  if (!Active() || Loading()) {
    index_name_ = by_fields ? std::string() : value;
    index_field_names_ = by_fields ? value : std::string();
    return;
  }
  CheckBrowseMode();
  const bool same = by_fields ? (index_name_.empty() && value == index_field_names_)
                              : (index_field_names_.empty() && value == index_name_);
  if (same) return;
  std::string name = value;
  if (by_fields) {
    UpdateIndexDefs();
    const TIndexDef* def = index_defs_.FindIndexForFields(value);
    if (!value.empty() && def == nullptr) DatabaseError(kIndexNotFound, value);
    name = def != nullptr ? def->Name() : std::string();
  }
  UpdateCursorPos();
  {
    TEngineLockGuard guard(EngineSession());
    cursor_->SetIndexName(name);
  }
  index_name_ = by_fields ? std::string() : value;
  index_field_names_ = by_fields ? value : std::string();
  ComputeLayout();
  ReadIndexDescription();
  ResetKeyBuffers();
  ReallocateBuffers();
  SetMasterRange();
  Resync(0);
}

void TTabulaTable::UpdateIndexDefs() {
  if (index_defs_.Updated()) return;
  HoldDatabase();
  TDatabaseHold hold([this] { ReleaseDatabase(); });
  TEngineLockGuard guard(EngineSession());
  std::unique_ptr<TDataCursor> temporary;
  TDataCursor* cursor = cursor_.get();
  if (cursor == nullptr) {
    temporary = TemporaryCursor(false);
    temporary->Open();
    cursor = temporary.get();
  }
  index_defs_.Clear();
  TIndexFile& index = cursor->Table()->IndexFile();
  auto add = [&](int slot, TIndexOptions options) {
    const TIndexDescriptor& descriptor = index.Descriptor(slot);
    std::vector<std::string> names;
    for (int i = 0; i < descriptor.FieldCount; ++i) {
      const std::uint16_t number = descriptor.FieldNumbers[static_cast<std::size_t>(i)];
      if (number >= 1 && number <= cursor->FieldCount()) {
        names.push_back(cursor->Descriptors()[number - 1u].FieldName);
      }
    }
    if (descriptor.Unique) options |= ixUnique;
    if (descriptor.Descending) options |= ixDescending;
    if (descriptor.CaseInsensitive) options |= ixCaseInsensitive;
    index_defs_.Add(descriptor.Name, JoinNames(names), options);
  };
  if (!index.NoPrimaryIndex()) add(kPrimarySlot, ixPrimary | ixUnique);
  for (int slot = 1; slot <= index.Header().SecondaryCount && slot < kIndexSlotCount; ++slot) {
    add(slot, 0);
  }
  index_defs_.SetUpdated(true);
}

TField& TTabulaTable::IndexFields(int index) const {
  if (index < 0 || index >= IndexFieldCount()) DatabaseError(kFieldIndexError);
  const int number = index_fields_[static_cast<std::size_t>(index)];
  TField* field = const_cast<TTabulaTable*>(this)->Fields().FieldByNumber(number);
  if (field == nullptr) DatabaseError(kIndexFieldMissing, std::to_string(number));
  return *field;
}

bool TTabulaTable::IsKeyField(const TField& field) const {
  return std::find(index_fields_.begin(), index_fields_.end(), field.FieldNo()) !=
         index_fields_.end();
}

// ---------------------------------------------------------------------------------------------
// Key buffers

std::uint8_t* TTabulaTable::ActiveBuffer() const {
  if (State() == dsSetKey) {
    return const_cast<std::uint8_t*>(key_buffers_[key_kind_].image.data());
  }
  return TTabulaDBDataSet::ActiveBuffer();
}

void TTabulaTable::SetFieldData(TField& field, const std::uint8_t* value, std::size_t size) {
  TTabulaDBDataSet::SetFieldData(field, value, size);
  if (State() != dsSetKey) return;
  const auto at = std::find(index_fields_.begin(), index_fields_.end(), field.FieldNo());
  if (at == index_fields_.end()) return;
  TKeyBuffer& buffer = key_buffers_[key_kind_];
  buffer.field_count =
      std::max(buffer.field_count, static_cast<int>(at - index_fields_.begin()) + 1);
}

void TTabulaTable::SetKeyBuffer(TKeyKind kind, bool clear) {
  CheckBrowseMode();
  key_kind_ = kind;
  TKeyBuffer& buffer = key_buffers_[kind];
  buffer.saved = buffer.image;
  buffer.saved_count = buffer.field_count;
  if (clear) {
    std::fill(buffer.image.begin(), buffer.image.end(), 0);
    buffer.field_count = 0;
  }
  SetState(dsSetKey);
  DataEvent(deDataSetChange);
}

void TTabulaTable::PostKeyBuffer(bool commit) {
  TKeyBuffer& buffer = key_buffers_[key_kind_];
  if (!commit) {
    buffer.image = buffer.saved;
    buffer.field_count = buffer.saved_count;
  }
  SetState(dsBrowse);
  DataEvent(deDataSetChange);
}

std::uint16_t TTabulaTable::KeyFieldsArgument(const TKeyBuffer& buffer) const {
  if (buffer.field_count >= IndexFieldCount()) return 0;
  return static_cast<std::uint16_t>(buffer.field_count);
}

void TTabulaTable::SetKey() { SetKeyBuffer(kKey, true); }
void TTabulaTable::EditKey() { SetKeyBuffer(kKey, false); }

bool TTabulaTable::GotoKey() {
  CheckBrowseMode();
  const TKeyBuffer& key = key_buffers_[kKey];
  // The search reads the record it finds into the spare buffer; without a BeforeScroll event,
  // which might move the cursor meanwhile, or a filter, which might refuse the record, the
  // window is built from that record.
  std::uint8_t* found_record = SpareBuffer();
  bool found = false;
  bool accepted = false;
  {
    TEngineLockGuard guard(EngineSession());
    found = cursor_->Find(false, key.image.data(), false, KeyFieldsArgument(key), 0, found_record);
    if (found && !BeforeScroll && !(Filtered() && OnFilterRecord)) {
      accepted = AcceptCurrentRecord(found_record);
    }
  }
  CursorPosChanged();
  if (!found) return false;
  DoBeforeScroll();
  if (accepted) {
    ResyncRead(rmExact | rmCenter);
  } else {
    Resync(rmExact | rmCenter);
  }
  DoAfterScroll();
  return true;
}

void TTabulaTable::GotoNearest() {
  CheckBrowseMode();
  const TKeyBuffer& key = key_buffers_[kKey];
  {
    TEngineLockGuard guard(EngineSession());
    cursor_->Find(false, key.image.data(), true, KeyFieldsArgument(key), 0, nullptr);
  }
  CursorPosChanged();
  DoBeforeScroll();
  Resync(rmCenter);
  DoAfterScroll();
}

bool TTabulaTable::FindKey(const std::vector<std::string>& values) {
  SetKey();
  for (std::size_t i = 0; i < values.size(); ++i) {
    IndexFields(static_cast<int>(i)).SetAsString(values[i]);
  }
  return GotoKey();
}

void TTabulaTable::FindNearest(const std::vector<std::string>& values) {
  SetKey();
  for (std::size_t i = 0; i < values.size(); ++i) {
    IndexFields(static_cast<int>(i)).SetAsString(values[i]);
  }
  GotoNearest();
}

void TTabulaTable::SetRangeStart() { SetKeyBuffer(kRangeStart, true); }
void TTabulaTable::SetRangeEnd() { SetKeyBuffer(kRangeEnd, true); }
void TTabulaTable::EditRangeStart() { SetKeyBuffer(kRangeStart, false); }
void TTabulaTable::EditRangeEnd() { SetKeyBuffer(kRangeEnd, false); }

void TTabulaTable::ApplyRange() {
  CheckBrowseMode();
  const TKeyBuffer& start = key_buffers_[kRangeStart];
  const TKeyBuffer& end = key_buffers_[kRangeEnd];
  {
    TEngineLockGuard guard(EngineSession());
    cursor_->SetRange(false, start.field_count > 0 ? start.image.data() : nullptr,
                      KeyFieldsArgument(start), end.field_count > 0 ? end.image.data() : nullptr,
                      KeyFieldsArgument(end));
  }
  First();
}

void TTabulaTable::CancelRange() {
  CheckBrowseMode();
  for (TKeyKind kind : {kRangeStart, kRangeEnd}) {
    std::fill(key_buffers_[kind].image.begin(), key_buffers_[kind].image.end(), 0);
    key_buffers_[kind].field_count = 0;
  }
  {
    TEngineLockGuard guard(EngineSession());
    cursor_->ResetRange();
  }
  First();
}

void TTabulaTable::SetRange(const std::vector<std::string>& start_values,
                            const std::vector<std::string>& end_values) {
  SetRangeStart();
  for (std::size_t i = 0; i < start_values.size(); ++i) {
    IndexFields(static_cast<int>(i)).SetAsString(start_values[i]);
  }
  SetRangeEnd();
  for (std::size_t i = 0; i < end_values.size(); ++i) {
    IndexFields(static_cast<int>(i)).SetAsString(end_values[i]);
  }
  ApplyRange();
}

// ---------------------------------------------------------------------------------------------
// Master/detail

void TTabulaTable::CopyMasterValues() {
  const std::vector<TField*>& masters = master_link_.Fields();
  for (std::size_t i = 0; i < masters.size() && static_cast<int>(i) < IndexFieldCount(); ++i) {
    TField& master = *masters[i];
    TField& detail = IndexFields(static_cast<int>(i));
    if (master.IsNull()) {
      detail.Clear();
    } else if (master.DataType() == detail.DataType() && master.Size() == detail.Size()) {
      std::vector<std::uint8_t> data;
      master.GetData(&data);
      detail.SetData(data.data(), data.size());
    } else {
      detail.SetAsString(master.AsString());
    }
  }
}

bool TTabulaTable::SetMasterRange() {
  if (!cursor_ || !master_link_.Active() || master_link_.Fields().empty()) return false;
  TKeyBuffer& buffer = key_buffers_[kMaster];
  std::fill(buffer.image.begin(), buffer.image.end(), 0);
  buffer.field_count = 0;
  const TKeyKind old_kind = key_kind_;
  key_kind_ = kMaster;
  const TDataSetState old_state = SetTempState(dsSetKey);
  try {
    CopyMasterValues();
  } catch (...) {
    RestoreState(old_state);
    key_kind_ = old_kind;
    throw;
  }
  RestoreState(old_state);
  key_kind_ = old_kind;
  const std::uint16_t count = KeyFieldsArgument(buffer);
  TEngineLockGuard guard(EngineSession());
  cursor_->SetRange(false, buffer.image.data(), count, buffer.image.data(), count);
  return true;
}

void TTabulaTable::MasterChanged() {
  if (!Active() || Destroying()) return;
  CheckBrowseMode();
  if (SetMasterRange()) First();
}

void TTabulaTable::MasterDisabled() {
  if (!Active() || Destroying()) return;
  CheckBrowseMode();
  {
    TEngineLockGuard guard(EngineSession());
    cursor_->ResetRange();
  }
  First();
}

void TTabulaTable::DoOnNewRecord() {
  if (master_link_.Active() && !master_link_.Fields().empty()) CopyMasterValues();
  TTabulaDBDataSet::DoOnNewRecord();
}

// ---------------------------------------------------------------------------------------------
// Table operations

std::string TTabulaTable::TableVersion() {
  if (Active()) {
    TEngineLockGuard guard(EngineSession());
    return cursor_->GetTableInfo().FormatVersion;
  }
  HoldDatabase();
  TDatabaseHold hold([this] { ReleaseDatabase(); });
  TEngineLockGuard guard(EngineSession());
  return TemporaryCursor(false)->GetTableInfo().FormatVersion;
}

void TTabulaTable::CreateTable() {
  CheckInactive();
  TTableDefinition definition;
  for (int i = 0; i < FieldDefs().Count(); ++i) {
    const TFieldDef& def = FieldDefs().Items(i);
    TFieldDescriptor field;
    field.FieldName = def.Name();
    const TEngineFieldType type = EngineFieldTypeOf(def.DataType());
    field.FieldType = type.type;
    field.FieldSubType = type.subtype;
    if (type.type == fldString || type.type == fldBytes || type.type == fldVarBytes) {
      field.FieldSize = static_cast<std::uint8_t>(std::clamp(def.Size(), 0, 255));
    } else if (type.type == fldBCD) {
      field.FieldScale = static_cast<std::uint8_t>(std::clamp(def.Size(), 0, 255));
    }
    field.Required = def.Required();
    definition.Fields.push_back(field);
  }
  for (int i = 0; i < index_defs_.Count(); ++i) {
    const TIndexDef& def = index_defs_.Items(i);
    TIndexDefinition index;
    const bool primary = (def.Options() & ixPrimary) != 0;
    index.Name = primary ? std::string() : def.Name();
    for (const std::string& name : SplitFieldNames(def.Fields())) {
      const int at = FieldDefs().IndexOf(name);
      if (at < 0) DatabaseError(kFieldNotFound, name);
      index.FieldNumbers.push_back(static_cast<std::uint16_t>(at + 1));
      index.FieldDescending.push_back(false);
    }
    index.Unique = primary || (def.Options() & ixUnique) != 0;
    index.Descending = (def.Options() & ixDescending) != 0;
    index.CaseInsensitive = (def.Options() & ixCaseInsensitive) != 0;
    definition.Indexes.push_back(index);
  }
  definition.BlobBlockSize = 512;
  HoldDatabase();
  TDatabaseHold hold([this] { ReleaseDatabase(); });
  TEngineLockGuard guard(EngineSession());
  TemporaryCursor(true)->CreateTable(definition);
}

void TTabulaTable::DeleteTable() {
  CheckInactive();
  HoldDatabase();
  TDatabaseHold hold([this] { ReleaseDatabase(); });
  TEngineLockGuard guard(EngineSession());
  TemporaryCursor(true)->DeleteTable();
}

bool TTabulaTable::Exists() {
  if (Active()) return true;
  HoldDatabase();
  TDatabaseHold hold([this] { ReleaseDatabase(); });
  TEngineLockGuard guard(EngineSession());
  return Directory().TableExists(table_name_, InMemory());
}

bool TTabulaTable::RepairTable(bool force_index_rebuild) {
  (void)force_index_rebuild;
  CheckInactive();
  RaiseTableError(TABULA_FILECORRUPT, table_name_, std::string(), std::string(),
                  "the table repair is not available in this build");
}

void TTabulaTable::UpgradeTable() {
  CheckInactive();
  RaiseTableError(TABULA_OLDVERSION, table_name_, std::string(), std::string(),
                  "the table upgrade is not available in this build");
}

}  // namespace tabula
