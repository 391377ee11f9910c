#include "components/dataset.h"

#include <algorithm>
#include <cassert>
#include <cctype>

#include "components/data_link.h"

namespace tabula {

namespace {

std::string UpperAnsi(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Whether a field value matches a searched value under the locate options.
bool ValueMatches(const std::string& have, const std::string& want, std::uint8_t options) {
  std::string a = have;
  std::string b = want;
  if (options & loCaseInsensitive) {
    a = UpperAnsi(a);
    b = UpperAnsi(b);
  }
  if (options & loPartialKey) return a.compare(0, b.size(), b) == 0;
  return a == b;
}

}  // namespace

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {}

TDataSet::~TDataSet() { DestroyDataSet(); }

void TDataSet::DestroyDataSet() {
  MarkDestroying();
  if (Active()) {
    try {
      SetActive(false);
    } catch (...) {
      // A destructor cannot report.
    }
  }
  const std::vector<TDataSource*> sources = data_sources_;
  for (TDataSource* source : sources) source->SetDataSet(nullptr);
}

void TDataSet::DoBeforeScroll() { Fire(BeforeScroll); }
void TDataSet::DoAfterScroll() { Fire(AfterScroll); }

// ---------------------------------------------------------------------------------------------
// Checks and states

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError(kDataSetClosed);
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError(kDataSetOpen);
}

void TDataSet::CheckCanModify() const {
  if (!CanModify()) DatabaseError(kDataSetReadOnly);
}

bool TDataSet::IsEmpty() const { return active_record_ >= record_count_; }

void TDataSet::SetState(TDataSetState value) {
  if (state_ == value) return;
  state_ = value;
  modified_ = false;
  DataEvent(deUpdateState);
}

TDataSetState TDataSet::SetTempState(TDataSetState value) {
  const TDataSetState old = state_;
  state_ = value;
  return old;
}

void TDataSet::RestoreState(TDataSetState value) { state_ = value; }

TDataSet::TTempState::TTempState(TDataSet& dataset, TDataSetState state, std::uint8_t* buffer)
    : dataset_(dataset), old_state_(dataset.SetTempState(state)) {
  if (state == dsCalcFields) slot_ = &dataset.calc_buffer_;
  if (state == dsFilter) slot_ = &dataset.filter_buffer_;
  if (slot_ != nullptr) {
    old_buffer_ = *slot_;
    *slot_ = buffer;
  }
}

TDataSet::TTempState::~TTempState() {
  if (slot_ != nullptr) *slot_ = old_buffer_;
  dataset_.RestoreState(old_state_);
}

void TDataSet::SetFilter(const std::string& value) { filter_text_ = value; }
void TDataSet::SetFiltered(bool value) { filtered_ = value; }
void TDataSet::SetFilterOptions(std::uint8_t value) { filter_options_ = value; }

void TDataSet::AssertInvariants() const {
#ifndef NDEBUG
  if (state_ == dsInactive) {
    assert(record_count_ == 0);
    return;
  }
  assert(record_count_ >= 0 && record_count_ <= buffer_count_);
  assert(static_cast<int>(buffers_.size()) == buffer_count_ + 1);
  if (record_count_ == 0) {
    assert(active_record_ == 0);
  } else {
    assert(active_record_ >= 0 && active_record_ < record_count_);
  }
  assert(current_record_ >= -1 && current_record_ < std::max(record_count_, 1));
#endif
}

// ---------------------------------------------------------------------------------------------
// Open and close

void TDataSet::SetActive(bool value) {
  if (Loading()) {
    stored_active_ = value;
    return;
  }
  if (value == Active()) return;
  if (value) {
    Fire(BeforeOpen);
    try {
      OpenCursor();
    } catch (...) {
      try {
        CloseCursor();
      } catch (...) {
      }
      throw;
    }
    SetState(dsBrowse);
    AssertInvariants();
    Fire(AfterOpen);
    if (!IsEmpty()) DoAfterScroll();
  } else {
    if (!Destroying()) Fire(BeforeClose);
    SetState(dsInactive);
    CloseCursor();
    if (!Destroying()) Fire(AfterClose);
  }
}

void TDataSet::Loaded() {
  TComponent::Loaded();
  if (!stored_active_) return;
  try {
    SetActive(true);
  } catch (...) {
    if (!Designing()) throw;
  }
}

TField& TDataSet::AddCalcField(const std::string& name, TFieldType type, int size) {
  CheckInactive();
  if (FindField(name) != nullptr) DatabaseError(kDuplicateFieldName, name);
  auto field = std::make_unique<TField>(*this, name, type, size, fkCalculated);
  field->SetFieldNo(-1 - FieldCount());
  return fields_.Add(std::move(field));
}

void TDataSet::CreateFields() {
  // Data fields come from the definitions, in their order and ahead of calculated fields.
  std::vector<std::unique_ptr<TField>> created;
  for (int i = 0; i < field_defs_.Count(); ++i) {
    const TFieldDef& def = field_defs_.Items(i);
    if (FindField(def.Name()) != nullptr) continue;
    auto field = std::make_unique<TField>(*this, def.Name(), def.DataType(), def.Size(), fkData);
    field->SetFieldNo(def.FieldNo());
    field->SetRequired(def.Required());
    created.push_back(std::move(field));
  }
  fields_.InsertFront(std::move(created));
}

void TDataSet::OpenCursor() {
  calc_fields_size_ = 0;
  for (int i = 0; i < fields_.Count(); ++i) {
    TField& field = fields_.Fields(i);
    if (!field.Calculated()) continue;
    field.SetOffset(calc_fields_size_);
    calc_fields_size_ += 1 + field.DataSize();
  }
  in_cursor_open_ = true;
  try {
    InternalOpen();
  } catch (...) {
    in_cursor_open_ = false;
    throw;
  }
  in_cursor_open_ = false;
  buffer_count_ = 0;
  buffers_.clear();
  int wanted = 1;
  for (TDataSource* source : data_sources_) wanted = std::max(wanted, source->MaxBufferCount());
  SetBufListSize(wanted);
  ClearBuffers();
  GetNextRecords();
}

void TDataSet::CloseCursor() {
  try {
    InternalClose();
  } catch (...) {
    FreeBuffers();
    fields_.RemoveDataFields();
    throw;
  }
  FreeBuffers();
  fields_.RemoveDataFields();
}

void TDataSet::FreeBuffers() {
  buffers_.clear();
  buffer_count_ = 0;
  record_count_ = 0;
  active_record_ = 0;
  current_record_ = -1;
  bof_ = eof_ = true;
  modified_ = false;
}

// ---------------------------------------------------------------------------------------------
// The buffer window

void TDataSet::SetBufListSize(int count) {
  count = std::max(count, 1);
  if (count == buffer_count_ && static_cast<int>(buffers_.size()) == count + 1) return;
  if (count < buffer_count_ && record_count_ > 0) {
    // Keep the active record inside the smaller window: drop records from the front first.
    const int drop = std::max(0, active_record_ - count + 1);
    for (int i = 0; i < drop; ++i) MoveBuffer(0, buffer_count_);
    active_record_ -= drop;
    record_count_ = std::min(record_count_ - drop, count);
    CursorPosChanged();
  }
  const std::size_t size = RecordBufferSize();
  if (static_cast<int>(buffers_.size()) > count + 1) {
    buffers_.resize(static_cast<std::size_t>(count) + 1);
  }
  while (static_cast<int>(buffers_.size()) < count + 1) {
    buffers_.emplace_back(size, std::uint8_t{0});
  }
  buffer_count_ = count;
}

void TDataSet::UpdateBufferCount() {
  if (!Active() || in_cursor_open_) return;
  int wanted = 1;
  for (TDataSource* source : data_sources_) wanted = std::max(wanted, source->MaxBufferCount());
  if (wanted == buffer_count_) return;
  const bool grows = wanted > buffer_count_;
  SetBufListSize(wanted);
  if (grows && state_ == dsBrowse && record_count_ > 0) {
    GetNextRecords();
    GetPriorRecords();
  }
  DataEvent(deDataSetChange);
}

void TDataSet::ReallocateBuffers() {
  const std::size_t size = RecordBufferSize();
  for (auto& buffer : buffers_) buffer.assign(size, 0);
  ClearBuffers();
}

void TDataSet::ClearBuffers() {
  record_count_ = 0;
  active_record_ = 0;
  current_record_ = -1;
  bof_ = eof_ = true;
}

void TDataSet::ActivateBuffers() {
  record_count_ = 1;
  active_record_ = 0;
  current_record_ = 0;
  bof_ = eof_ = false;
}

void TDataSet::MoveBuffer(int from, int to) {
  if (from == to) return;
  // Buffers trade places by swapping their storage: nothing is freed or allocated.
  const auto first = buffers_.begin();
  if (from < to) {
    std::rotate(first + from, first + from + 1, first + to + 1);
  } else {
    std::rotate(first + to, first + from, first + from + 1);
  }
}

void TDataSet::SetCurrentRecord(int index) {
  if (current_record_ == index) return;
  std::uint8_t* buffer = Buffer(index);
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent:
    case bfInserted:
      InternalSetToRecord(buffer);
      break;
    case bfBOF:
      InternalFirst();
      break;
    case bfEOF:
      InternalLast();
      break;
  }
  current_record_ = index;
}

void TDataSet::UpdateCursorPos() {
  if (record_count_ > 0 && current_record_ != active_record_) SetCurrentRecord(active_record_);
}

bool TDataSet::GetNextRecord() {
  if (record_count_ > 0) SetCurrentRecord(record_count_ - 1);
  const bool ok = GetRecord(Buffer(record_count_), gmNext, true) == grOK;
  if (ok) {
    if (record_count_ == 0) {
      ActivateBuffers();
    } else if (record_count_ < buffer_count_) {
      ++record_count_;
    } else {
      MoveBuffer(0, record_count_);
      --window_shift_;
    }
    current_record_ = record_count_ - 1;
  } else {
    CursorPosChanged();
  }
  return ok;
}

bool TDataSet::GetPriorRecord() {
  if (record_count_ > 0) SetCurrentRecord(0);
  const bool ok = GetRecord(Buffer(record_count_), gmPrior, true) == grOK;
  if (ok) {
    if (record_count_ == 0) {
      ActivateBuffers();
    } else {
      MoveBuffer(record_count_, 0);
      ++window_shift_;
      if (record_count_ < buffer_count_) {
        ++record_count_;
        ++active_record_;
      }
    }
    current_record_ = 0;
  } else {
    CursorPosChanged();
  }
  return ok;
}

int TDataSet::GetNextRecords() {
  int count = 0;
  while (record_count_ < buffer_count_ && GetNextRecord()) ++count;
  return count;
}

int TDataSet::GetPriorRecords() {
  int count = 0;
  while (record_count_ < buffer_count_ && GetPriorRecord()) ++count;
  return count;
}

void TDataSet::Resync(std::uint8_t mode) {
  if (mode & rmExact) {
    CursorPosChanged();
    if (GetRecord(Buffer(record_count_), gmCurrent, true) != grOK) DatabaseError(kRecordNotFound);
  } else if (GetRecord(Buffer(record_count_), gmCurrent, false) != grOK &&
             GetRecord(Buffer(record_count_), gmNext, false) != grOK &&
             GetRecord(Buffer(record_count_), gmPrior, false) != grOK) {
    ClearBuffers();
    DataEvent(deDataSetChange);
    return;
  }
  RebuildWindow(mode);
}

void TDataSet::ResyncRead(std::uint8_t mode) {
  CursorPosChanged();
  RebuildWindow(mode);
}

void TDataSet::RebuildWindow(std::uint8_t mode) {
  int count = (mode & rmCenter) ? (buffer_count_ - 1) / 2 : active_record_;
  MoveBuffer(record_count_, 0);
  ActivateBuffers();
  try {
    while (count > 0 && GetPriorRecord()) --count;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange);
    throw;
  }
  DataEvent(deDataSetChange);
}

std::uint8_t* TDataSet::ActiveBuffer() const {
  switch (state_) {
    case dsBrowse:
      if (IsEmpty()) return nullptr;
      [[fallthrough]];
    case dsEdit:
    case dsInsert:
      if (record_count_ == 0) return nullptr;
      return const_cast<std::uint8_t*>(buffers_[static_cast<std::size_t>(active_record_)].data());
    case dsCalcFields:
      return calc_buffer_;
    case dsFilter:
      return filter_buffer_;
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// Navigation

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalFirst();
    GetNextRecord();
    GetNextRecords();
  } catch (...) {
    bof_ = true;
    DataEvent(deDataSetChange);
    throw;
  }
  bof_ = true;
  DataEvent(deDataSetChange);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalLast();
    GetPriorRecord();
    GetPriorRecords();
  } catch (...) {
    eof_ = true;
    DataEvent(deDataSetChange);
    throw;
  }
  eof_ = true;
  DataEvent(deDataSetChange);
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  if (!((distance > 0 && !eof_) || (distance < 0 && !bof_))) return 0;
  DoBeforeScroll();
  bof_ = eof_ = false;
  window_shift_ = 0;
  try {
    while (distance > 0) {
      if (active_record_ < record_count_ - 1) {
        ++active_record_;
      } else {
        if (!GetNextRecord()) {
          eof_ = true;
          break;
        }
        active_record_ = record_count_ - 1;
      }
      --distance;
      ++moved;
    }
    while (distance < 0) {
      if (active_record_ > 0) {
        --active_record_;
      } else {
        if (!GetPriorRecord()) {
          bof_ = true;
          break;
        }
        active_record_ = 0;
      }
      ++distance;
      --moved;
    }
  } catch (...) {
    DataEvent(deDataSetChange);
    throw;
  }
  DataEvent(deDataSetScroll, nullptr, window_shift_);
  DoAfterScroll();
  return moved;
}

// ---------------------------------------------------------------------------------------------
// Editing

template <typename Operation>
void TDataSet::CheckOperation(const Operation& operation, const TDataSetErrorEvent& event,
                              bool position) {
  bool done = false;
  while (!done) {
    done = true;
    try {
      if (position) UpdateCursorPos();
      operation();
    } catch (EDatabaseError& error) {
      TDataAction action = daFail;
      if (event) event(*this, error, action);
      if (action == daFail) throw;
      if (action == daAbort) throw EAbort();
      done = action != daRetry;
    }
  }
}

template <typename Work>
void TDataSet::RunOperation(const TDataSetNotifyEvent& before, const TDataSetNotifyEvent& after,
                            bool scrolls, const Work& work) {
  Fire(before);
  if (scrolls) DoBeforeScroll();
  posted_in_place_ = false;
  work();
  SetState(dsBrowse);
  if (posted_in_place_) {
    assert(buffer_count_ == 1);
    // The posted record is the whole window already (see PostedInPlace): what Resync(0) would
    // make of it, without reading it again.
    posted_in_place_ = false;
    ActivateBuffers();
    CursorPosChanged();
    GetCalcFields(Buffer(active_record_));
    DataEvent(deDataSetChange);
  } else {
    Resync(0);
  }
  Fire(after);
  if (scrolls) DoAfterScroll();
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeInsert);
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    SetState(dsBrowse);
    Resync(0);
    throw;
  }
  modified_ = false;
  DataEvent(deDataSetChange);
  Fire(AfterInsert);
  DoAfterScroll();
}

void TDataSet::DoOnNewRecord() { Fire(OnNewRecord); }

void TDataSet::Insert() {
  BeginInsertAppend();
  // The source stands on the active record, so that a new record may copy it.
  UpdateCursorPos();
  std::vector<std::uint8_t> old_bookmark(BookmarkSize());
  if (record_count_ > 0) GetBookmarkData(Buffer(active_record_), old_bookmark.data());
  MoveBuffer(record_count_, active_record_);
  if (current_record_ >= active_record_) ++current_record_;
  if (current_record_ >= buffer_count_) current_record_ = -1;
  std::uint8_t* buffer = Buffer(active_record_);
  try {
    InternalInsert();
    InternalInitRecord(buffer);
    ClearCalcFields(buffer);
    SetBookmarkFlag(buffer, bfInserted);
    if (record_count_ == 0) {
      SetBookmarkFlag(buffer, bfBOF);
    } else {
      SetBookmarkData(buffer, old_bookmark.data());
    }
  } catch (...) {
    MoveBuffer(active_record_, record_count_);
    CursorPosChanged();
    throw;
  }
  if (record_count_ < buffer_count_) ++record_count_;
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  std::uint8_t* buffer = Buffer(0);
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, bfEOF);
  record_count_ = 1;
  bof_ = false;
  GetPriorRecords();
  EndInsertAppend();
}

void TDataSet::Edit() {
  if (state_ == dsEdit || state_ == dsInsert) return;
  if (record_count_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeEdit);
  CheckOperation([this] { InternalEdit(); }, OnEditError);
  GetCalcFields(Buffer(active_record_));
  SetState(dsEdit);
  DataEvent(deRecordChange);
  Fire(AfterEdit);
}

void TDataSet::UpdateRecord() {
  if (state_ != dsEdit && state_ != dsInsert && state_ != dsSetKey) {
    DatabaseError(kDataSetNotEditing);
  }
  DataEvent(deUpdateRecord);
}

void TDataSet::Post() {
  UpdateRecord();
  if (state_ == dsSetKey) {
    PostKeyBuffer(true);
    return;
  }
  if (state_ != dsEdit && state_ != dsInsert) return;
  DataEvent(deCheckBrowseMode);
  // A new record goes where its keys put it: the source need not stand anywhere first.
  const bool position = state_ != dsInsert;
  RunOperation(BeforePost, AfterPost, false,
               [&] { CheckOperation([this] { InternalPost(); }, OnPostError, position); });
}

void TDataSet::Cancel() {
  if (state_ == dsSetKey) {
    PostKeyBuffer(false);
    return;
  }
  if (state_ != dsEdit && state_ != dsInsert) return;
  DataEvent(deCheckBrowseMode);
  RunOperation(BeforeCancel, AfterCancel, false, [this] {
    UpdateCursorPos();
    InternalCancel();
  });
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert) {
    Cancel();
    return;
  }
  if (record_count_ == 0) DatabaseError(kDataSetEmpty);
  DataEvent(deCheckBrowseMode);
  RunOperation(BeforeDelete, AfterDelete, true,
               [this] { CheckOperation([this] { InternalDelete(); }, OnDeleteError); });
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  RunOperation(BeforeRefresh, AfterRefresh, false, [this] {
    UpdateCursorPos();
    InternalRefresh();
  });
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode);
  switch (state_) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (modified_) {
        Post();
      } else {
        Cancel();
      }
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Fields, calculated fields and filters

std::string TDataSet::GetBlobData(const TField& field) const {
  (void)field;
  return std::string();
}

void TDataSet::SetBlobData(TField& field, const std::string& value) {
  (void)value;
  DatabaseError(FormatMessageText(kFieldConversion, {field.FieldName(), "BLOB"}));
}

void TDataSet::GetCalcFields(std::uint8_t* buffer) {
  if (calc_fields_size_ == 0 || buffer == nullptr) return;
  TTempState calculating(*this, dsCalcFields, buffer);
  ClearCalcFields(buffer);
  Fire(OnCalcFields);
}

bool TDataSet::FilterRecord(std::uint8_t* buffer) {
  if (!filtered_ || !OnFilterRecord) return true;
  TTempState filtering(*this, dsFilter, buffer);
  bool accept = true;
  OnFilterRecord(*this, accept);
  return accept;
}

void TDataSet::FieldChanged(TField& field) {
  if (state_ == dsCalcFields || state_ == dsFilter) return;
  DataEvent(deFieldChange, &field);
  if (field.OnChange) field.OnChange(field);
}

// ---------------------------------------------------------------------------------------------
// Positions

TBookmark TDataSet::GetBookmark() {
  CheckActive();
  TBookmark bookmark;
  std::uint8_t* buffer = ActiveBuffer();
  if (buffer == nullptr || (state_ != dsBrowse && state_ != dsEdit && state_ != dsInsert)) {
    return bookmark;
  }
  if (GetBookmarkFlag(buffer) != bfCurrent) return bookmark;
  bookmark.resize(BookmarkSize());
  GetBookmarkData(buffer, bookmark.data());
  return bookmark;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  if (bookmark.size() != BookmarkSize()) DatabaseError(kRecordNotFound);
  DoBeforeScroll();
  InternalGotoBookmark(bookmark.data());
  Resync(rmExact | rmCenter);
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark& bookmark) { return !bookmark.empty(); }

int TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() || b.empty()) return static_cast<int>(!a.empty()) - static_cast<int>(!b.empty());
  return a < b ? -1 : (a == b ? 0 : 1);
}

int TDataSet::RecordCount() { return -1; }
int TDataSet::RecNo() { return -1; }
void TDataSet::SetRecNo(int value) { (void)value; }

bool TDataSet::ScanForValues(const std::string& key_fields, const std::vector<std::string>& values,
                             std::uint8_t options, const std::function<void()>& on_match) {
  CheckBrowseMode();
  const std::vector<std::string> names = SplitFieldNames(key_fields);
  if (names.size() != values.size()) DatabaseError(kRecordNotFound);
  std::vector<TField*> fields;
  for (const std::string& name : names) fields.push_back(&FieldByName(name));
  // Scan the source through the spare buffer, reading it in the filtering state, so that the
  // window stays as it is.
  std::uint8_t* spare = Buffer(record_count_);
  CursorPosChanged();
  InternalFirst();
  bool found = false;
  while (!found && GetRecord(spare, gmNext, true) == grOK) {
    TTempState reading(*this, dsFilter, spare);
    found = true;
    for (std::size_t i = 0; i < fields.size() && found; ++i) {
      found = ValueMatches(fields[i]->AsString(), values[i], options);
    }
    if (found && on_match) on_match();
  }
  return found;
}

bool TDataSet::Locate(const std::string& key_fields, const std::vector<std::string>& values,
                      std::uint8_t options) {
  if (!ScanForValues(key_fields, values, options, nullptr)) return false;
  DoBeforeScroll();
  Resync(rmExact | rmCenter);
  DoAfterScroll();
  return true;
}

std::vector<std::string> TDataSet::Lookup(const std::string& key_fields,
                                          const std::vector<std::string>& values,
                                          const std::string& result_fields) {
  std::vector<std::string> result;
  ScanForValues(key_fields, values, 0, [&] {
    for (const std::string& name : SplitFieldNames(result_fields)) {
      result.push_back(FieldByName(name).AsString());
    }
  });
  return result;
}

// ---------------------------------------------------------------------------------------------
// Notifications

void TDataSet::DisableControls() { ++disable_count_; }

void TDataSet::EnableControls() {
  if (disable_count_ == 0) return;
  if (--disable_count_ > 0) return;
  const bool state_changed = pending_state_;
  const bool changed = pending_change_;
  pending_state_ = pending_change_ = false;
  if (state_changed) DataEvent(deUpdateState);
  if (changed || state_changed) DataEvent(deDataSetChange);
}

void TDataSet::DataEvent(TDataEvent event, TField* field, int info) {
  if (event == deFieldChange && field != nullptr) {
    if (!field->Calculated() && (state_ == dsEdit || state_ == dsInsert)) modified_ = true;
    if (!field->Calculated() && auto_calc_fields_ && state_ != dsSetKey && calc_fields_size_ > 0) {
      GetCalcFields(ActiveBuffer());
    }
  }
  if (disable_count_ > 0) {
    if (event == deUpdateState) {
      pending_state_ = true;
    } else if (event != deCheckBrowseMode && event != deUpdateRecord) {
      pending_change_ = true;
    }
    if (event != deUpdateRecord) return;
  }
  if (!data_sources_.empty()) NotifyDataSources(event, field, info);
}

void TDataSet::NotifyDataSources(TDataEvent event, TField* field, int info) {
  // A source may leave the list while it is told: tell a snapshot, skipping sources gone.
  const std::vector<TDataSource*> sources = data_sources_;
  for (TDataSource* source : sources) {
    if (std::find(data_sources_.begin(), data_sources_.end(), source) != data_sources_.end()) {
      source->DataEvent(event, field, info);
    }
  }
}

void TDataSet::AddDataSource(TDataSource& source) {
  if (std::find(data_sources_.begin(), data_sources_.end(), &source) == data_sources_.end()) {
    data_sources_.push_back(&source);
  }
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource& source) {
  auto it = std::find(data_sources_.begin(), data_sources_.end(), &source);
  if (it != data_sources_.end()) data_sources_.erase(it);
  if (!Destroying()) UpdateBufferCount();
}

}  // namespace tabula
