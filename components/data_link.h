// Data sources and data links: how controls and other datasets follow a dataset.
//
// A TDataSource connects one dataset to any number of data links. The dataset reports every
// change (state, record, field, scroll) to its sources, each source to its links. A link sees
// a window of BufferCount records of the dataset's buffer window, starting at its own first
// record; the dataset keeps as many buffers as its widest link asks for.
//
// TFieldDataLink binds a control to one field: it tells the control when the field's data
// changed (a notification the control can suspend while it changes the dataset itself), puts
// the dataset into edit mode on request, keeps a modified mark, and asks the control for its
// value when the record is posted or the control is left (UpdateRecord). TMasterDataLink lets
// a detail dataset follow the current record of a master.
//
// Thread-safety: one thread, with the dataset.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "components/component.h"
#include "components/dataset.h"

namespace tabula {

class TDataLink;

class TDataSource : public TComponent {
 public:
  explicit TDataSource(TComponent* owner = nullptr);
  ~TDataSource() override;

  TDataSet* DataSet() const { return dataset_; }
  void SetDataSet(TDataSet* dataset);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  // Links may put the dataset into edit mode (default true).
  bool AutoEdit() const { return auto_edit_; }
  void SetAutoEdit(bool value) { auto_edit_ = value; }
  // The dataset's state; dsInactive without an enabled dataset.
  TDataSetState State() const { return state_; }
  // Puts a browsing dataset into edit mode when AutoEdit is set.
  void Edit();
  // True when `dataset` follows this source through its chain of master sources.
  bool IsLinkedTo(const TDataSet& dataset) const;

  std::function<void(TDataSource& Sender, TField* Field)> OnDataChange;
  std::function<void(TDataSource& Sender)> OnStateChange;
  std::function<void(TDataSource& Sender)> OnUpdateData;

  const std::vector<TDataLink*>& DataLinks() const { return links_; }

 protected:
  void Notification(TComponent& component, TOperation operation) override;

 private:
  friend class TDataSet;
  friend class TDataLink;
  void DataEvent(TDataEvent event, TField* field, int info);
  void NotifyLinks(TDataEvent event, TField* field, int info);
  void UpdateState();
  void AddLink(TDataLink& link);
  void RemoveLink(TDataLink& link);
  // The widest window any link asks for.
  int MaxBufferCount() const;

  TDataSet* dataset_ = nullptr;  // not owned; clears itself when the dataset goes
  bool enabled_ = true;
  bool auto_edit_ = true;
  TDataSetState state_ = dsInactive;
  std::vector<TDataLink*> links_;  // not owned; each link unregisters itself
};

class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return data_source_; }
  void SetDataSource(TDataSource* source);
  // The source's dataset, or null.
  TDataSet* DataSet() const;
  bool Active() const { return active_; }
  bool Editing() const { return editing_; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  int BufferCount() const { return buffer_count_; }
  void SetBufferCount(int value);
  // The active record's row within this link's window.
  int ActiveRecord() const;
  // Makes row `value` of the window the dataset's active record (for reading other rows).
  void SetActiveRecord(int value);
  // Records in this link's window.
  int RecordCount() const;
  // Puts the dataset into edit mode through the source (unless read-only); true when editing.
  bool Edit();
  // Writes the control's pending changes through UpdateData.
  void UpdateRecord();

 protected:
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int distance) {
    (void)distance;
    DataSetChanged();
  }
  virtual void EditingChanged() {}
  virtual void FocusControl(TField* field) { (void)field; }
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* field) { (void)field; }
  virtual void UpdateData() {}

 private:
  friend class TDataSource;
  void DataEvent(TDataEvent event, TField* field, int info);
  void UpdateState();
  void SourceDestroyed();

  TDataSource* data_source_ = nullptr;  // not owned
  bool active_ = false;
  bool editing_ = false;
  bool read_only_ = false;
  bool updating_ = false;
  int buffer_count_ = 1;
  int first_record_ = 0;
};

class TFieldDataLink : public TDataLink {
 public:
  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(const std::string& name);
  // The bound field of an active dataset, or null.
  TField* Field() const { return field_; }
  bool CanModify() const;
  // Puts the dataset into edit mode when the field can be modified; true when editing.
  bool Edit();
  // The control changed its value: it will be asked for it (OnUpdateData).
  void Modified() { modified_ = true; }
  bool IsModified() const { return modified_; }
  // Discards the control's changes and refreshes it from the field.
  void Reset() { RecordChanged(nullptr); }
  // While suspended (nesting), data changes do not reach OnDataChange.
  void SuspendDataChange() { ++suspend_count_; }
  void ResumeDataChange() {
    if (suspend_count_ > 0) --suspend_count_;
  }
  bool DataChangeSuspended() const { return suspend_count_ > 0; }

  std::function<void(TFieldDataLink& Sender)> OnDataChange;
  std::function<void(TFieldDataLink& Sender)> OnEditingChange;
  std::function<void(TFieldDataLink& Sender)> OnUpdateData;
  std::function<void(TFieldDataLink& Sender)> OnActiveChange;

 protected:
  void ActiveChanged() override;
  void EditingChanged() override;
  void LayoutChanged() override;
  void RecordChanged(TField* field) override;
  void UpdateData() override;

 private:
  void UpdateField();

  std::string field_name_;
  TField* field_ = nullptr;  // owned by the dataset
  bool modified_ = false;
  bool field_editing_ = false;
  int suspend_count_ = 0;
};

// A detail dataset's link to its master: reports master record changes.
class TMasterDataLink : public TDataLink {
 public:
  // ";"-separated names of the master's linking fields.
  const std::string& FieldNames() const { return field_names_; }
  void SetFieldNames(const std::string& names);
  // The master's linking fields while the link is active.
  const std::vector<TField*>& Fields() const { return fields_; }

  std::function<void()> OnMasterChange;
  std::function<void()> OnMasterDisable;

 protected:
  void ActiveChanged() override;
  void LayoutChanged() override;
  void RecordChanged(TField* field) override;

 private:
  void UpdateFields();

  std::string field_names_;
  std::vector<TField*> fields_;  // owned by the master dataset
};

}  // namespace tabula
