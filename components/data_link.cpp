#include "components/data_link.h"

#include <algorithm>

namespace tabula {

namespace {

bool EditMode(TDataSetState state) {
  return state == dsEdit || state == dsInsert || state == dsSetKey;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TDataSource

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
  MarkDestroying();
  const std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links) link->SourceDestroyed();
  links_.clear();
  SetDataSet(nullptr);
}

bool TDataSource::IsLinkedTo(const TDataSet& dataset) const {
  // Follows the master sources from `dataset`; a chain that comes back here is circular. The
  // step limit guards against a loop that does not pass through this source.
  const TDataSet* current = &dataset;
  for (int steps = 0; current != nullptr && steps < 1000; ++steps) {
    const TDataSource* master = current->MasterDataSource();
    if (master == nullptr) return false;
    if (master == this) return true;
    current = master->DataSet();
  }
  return false;
}

void TDataSource::SetDataSet(TDataSet* dataset) {
  if (dataset == dataset_) return;
  if (dataset != nullptr && IsLinkedTo(*dataset)) DatabaseError(kCircularDataLink);
  if (dataset_ != nullptr) {
    dataset_->RemoveDataSource(*this);
    RemoveFreeNotification(dataset_);
  }
  dataset_ = dataset;
  if (dataset_ != nullptr) {
    dataset_->AddDataSource(*this);
    FreeNotification(dataset_);
  }
  UpdateState();
}

void TDataSource::SetEnabled(bool value) {
  enabled_ = value;
  UpdateState();
}

void TDataSource::Notification(TComponent& component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == opRemove && &component == dataset_) {
    dataset_ = nullptr;
    UpdateState();
  }
}

void TDataSource::UpdateState() {
  const TDataSetState state = (enabled_ && dataset_ != nullptr) ? dataset_->State() : dsInactive;
  if (state == state_) return;
  state_ = state;
  const std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links) {
    if (std::find(links_.begin(), links_.end(), link) != links_.end()) link->UpdateState();
  }
  if (OnStateChange && !Destroying()) OnStateChange(*this);
}

void TDataSource::Edit() {
  if (auto_edit_ && state_ == dsBrowse && dataset_ != nullptr) dataset_->Edit();
}

void TDataSource::DataEvent(TDataEvent event, TField* field, int info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (state_ == dsInactive) return;
  NotifyLinks(event, field, info);
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (OnDataChange) OnDataChange(*this, field);
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(*this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(*this);
      break;
    default:
      break;
  }
}

void TDataSource::NotifyLinks(TDataEvent event, TField* field, int info) {
  const std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links) {
    if (std::find(links_.begin(), links_.end(), link) != links_.end()) {
      link->DataEvent(event, field, info);
    }
  }
}

void TDataSource::AddLink(TDataLink& link) {
  links_.push_back(&link);
  if (dataset_ != nullptr) dataset_->UpdateBufferCount();
}

void TDataSource::RemoveLink(TDataLink& link) {
  auto it = std::find(links_.begin(), links_.end(), &link);
  if (it != links_.end()) links_.erase(it);
  if (dataset_ != nullptr && !Destroying()) dataset_->UpdateBufferCount();
}

int TDataSource::MaxBufferCount() const {
  int count = 1;
  for (const TDataLink* link : links_) count = std::max(count, link->BufferCount());
  return count;
}

// ---------------------------------------------------------------------------------------------
// TDataLink

TDataLink::~TDataLink() {
  if (data_source_ != nullptr) data_source_->RemoveLink(*this);
  data_source_ = nullptr;
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == data_source_) return;
  if (data_source_ != nullptr) data_source_->RemoveLink(*this);
  data_source_ = source;
  if (data_source_ != nullptr) data_source_->AddLink(*this);
  UpdateState();
}

void TDataLink::SourceDestroyed() {
  data_source_ = nullptr;
  UpdateState();
}

TDataSet* TDataLink::DataSet() const {
  return data_source_ != nullptr ? data_source_->DataSet() : nullptr;
}

void TDataLink::UpdateState() {
  const TDataSetState state = data_source_ != nullptr ? data_source_->State() : dsInactive;
  const bool active = state != dsInactive;
  if (active != active_) {
    active_ = active;
    first_record_ = 0;
    ActiveChanged();
  }
  const bool editing = EditMode(state) && !read_only_;
  if (editing != editing_) {
    editing_ = editing;
    EditingChanged();
  }
}

void TDataLink::SetReadOnly(bool value) {
  if (value == read_only_) return;
  read_only_ = value;
  UpdateState();
}

void TDataLink::SetBufferCount(int value) {
  value = std::max(value, 1);
  if (value == buffer_count_) return;
  buffer_count_ = value;
  if (DataSet() != nullptr) DataSet()->UpdateBufferCount();
}

int TDataLink::ActiveRecord() const {
  TDataSet* dataset = DataSet();
  if (!active_ || dataset == nullptr || data_source_->State() == dsSetKey) return 0;
  return dataset->ActiveRecord() - first_record_;
}

void TDataLink::SetActiveRecord(int value) {
  TDataSet* dataset = DataSet();
  if (!active_ || dataset == nullptr || data_source_->State() == dsSetKey) return;
  const int index = value + first_record_;
  if (index >= 0 && index < std::max(dataset->BufferedRecordCount(), 1)) {
    dataset->SetActiveRecordIndex(index);
  }
}

int TDataLink::RecordCount() const {
  TDataSet* dataset = DataSet();
  if (!active_ || dataset == nullptr) return 0;
  if (data_source_->State() == dsSetKey) return 1;
  return std::clamp(dataset->BufferedRecordCount() - first_record_, 0, buffer_count_);
}

bool TDataLink::Edit() {
  if (!read_only_ && data_source_ != nullptr) data_source_->Edit();
  return editing_;
}

void TDataLink::UpdateRecord() {
  updating_ = true;
  try {
    UpdateData();
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

void TDataLink::DataEvent(TDataEvent event, TField* field, int info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (!active_) return;
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (!updating_) RecordChanged(field);
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
      int count = 0;
      if (data_source_->State() != dsSetKey) {
        const int active = DataSet()->ActiveRecord();
        const int first = std::max(0, first_record_ + (event == deDataSetScroll ? info : 0));
        const int last = first + buffer_count_ - 1;
        if (active > last) {
          count = active - last;
        } else if (active < first) {
          count = active - first;
        }
        first_record_ = std::max(0, first + count);
      }
      if (event == deDataSetChange) {
        DataSetChanged();
      } else if (event == deDataSetScroll) {
        DataSetScrolled(count);
      } else {
        LayoutChanged();
      }
      break;
    }
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(field);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// TFieldDataLink

void TFieldDataLink::SetFieldName(const std::string& name) {
  if (name == field_name_) return;
  field_name_ = name;
  UpdateField();
}

void TFieldDataLink::UpdateField() {
  TField* field = nullptr;
  if (Active() && DataSet() != nullptr && !field_name_.empty()) {
    field = DataSet()->FindField(field_name_);
  }
  if (field == field_) return;
  field_ = field;
  EditingChanged();
  RecordChanged(nullptr);
}

bool TFieldDataLink::CanModify() const {
  return !ReadOnly() && field_ != nullptr && field_->CanModify();
}

bool TFieldDataLink::Edit() {
  if (CanModify()) TDataLink::Edit();
  return field_editing_;
}

void TFieldDataLink::ActiveChanged() {
  UpdateField();
  if (OnActiveChange) OnActiveChange(*this);
}

void TFieldDataLink::EditingChanged() {
  const bool editing = TDataLink::Editing() && CanModify();
  if (editing == field_editing_) return;
  field_editing_ = editing;
  modified_ = false;
  if (OnEditingChange) OnEditingChange(*this);
}

void TFieldDataLink::LayoutChanged() { UpdateField(); }

void TFieldDataLink::RecordChanged(TField* field) {
  if (field != nullptr && field != field_) return;
  if (suspend_count_ == 0 && OnDataChange) OnDataChange(*this);
  modified_ = false;
}

void TFieldDataLink::UpdateData() {
  if (!modified_) return;
  if (field_ != nullptr && OnUpdateData) OnUpdateData(*this);
  modified_ = false;
}

// ---------------------------------------------------------------------------------------------
// TMasterDataLink

void TMasterDataLink::SetFieldNames(const std::string& names) {
  field_names_ = names;
  UpdateFields();
}

void TMasterDataLink::UpdateFields() {
  fields_.clear();
  if (!Active() || DataSet() == nullptr) return;
  std::vector<TField*> fields;
  for (const std::string& name : SplitFieldNames(field_names_)) {
    fields.push_back(&DataSet()->FieldByName(name));
  }
  fields_ = std::move(fields);
}

void TMasterDataLink::ActiveChanged() {
  UpdateFields();
  if (Active() && !fields_.empty()) {
    if (OnMasterChange) OnMasterChange();
  } else if (OnMasterDisable) {
    OnMasterDisable();
  }
}

void TMasterDataLink::LayoutChanged() { ActiveChanged(); }

void TMasterDataLink::RecordChanged(TField* field) {
  if (DataSource() == nullptr || DataSource()->State() == dsSetKey || fields_.empty()) return;
  if (field != nullptr && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) {
    return;
  }
  if (OnMasterChange) OnMasterChange();
}

}  // namespace tabula
