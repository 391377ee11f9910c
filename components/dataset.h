// The generic dataset of the dataset framework: states, the record buffer window, navigation,
// editing with its events, bookmarks, calculated fields and the notifications to data sources.
//
// A dataset presents the records of some source (for the engine's components, a cursor) one
// active record at a time. It keeps a window of record buffers around the active record, as
// many as its widest data link asks for (a grid shows several rows, an edit control one), and
// fills and shifts that window as the application moves. A subclass supplies the record
// source through the Internal* and GetRecord hooks and lays out its record buffers as it likes;
// this class never looks inside a buffer except through the bookmark hooks.
//
// States and their invariants (checked by AssertInvariants in debug builds):
//   - dsInactive: no buffers, no fields bound to a record; Active() is false.
//   - dsBrowse: 0 <= BufferedRecordCount() <= BufferCount(); with records, 0 <= ActiveRecord()
//     < BufferedRecordCount(); without, ActiveRecord() == 0 and IsEmpty().
//   - dsEdit / dsInsert: the active buffer holds the record being changed; Modified() tells
//     whether a field was written since the state began.
//   - dsSetKey, dsCalcFields, dsFilter: temporary states in which fields read and write a key
//     buffer, the calculated part of a record, or the record being filtered.
//   - CurrentRecord() is -1 (the source's position is unknown) or the index of the buffer the
//     source is positioned on.
// Event order: Open fires BeforeOpen, AfterOpen and (with records) AfterScroll; Insert fires
// BeforeInsert, BeforeScroll, OnNewRecord, AfterInsert, AfterScroll; Edit BeforeEdit, AfterEdit;
// Post BeforePost, AfterPost; Cancel BeforeCancel, AfterCancel; Delete BeforeDelete,
// BeforeScroll, AfterDelete, AfterScroll; Refresh BeforeRefresh, AfterRefresh. An exception
// from a Before event (EAbort for a silent refusal) cancels the operation and leaves the state
// as it was.
//
// Thread-safety: one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "components/component.h"
#include "components/fields.h"
#include "engine/base/engine_error.h"

namespace tabula {

class TDataSource;

enum TDataSetState : std::uint8_t {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
};

// Notifications from a dataset to its data sources and their links.
enum TDataEvent : std::uint8_t {
  deFieldChange,      // a field of the active record changed (field given)
  deRecordChange,     // the active record changed as a whole (field may be given)
  deDataSetChange,    // the buffer window was rebuilt
  deDataSetScroll,    // the window scrolled by `info` positions
  deLayoutChange,     // fields or their order changed
  deUpdateRecord,     // links must write their pending changes into the record
  deUpdateState,      // the state changed
  deCheckBrowseMode,  // the dataset is about to leave edit or insert mode
  deFocusControl,     // a control bound to the field should take the focus
};

enum TGetMode : std::uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : std::uint8_t { grOK, grBOF, grEOF, grError };
// Where a record buffer stands: on a record, before the first, after the last, or new.
enum TBookmarkFlag : std::uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };
enum TDataAction : std::uint8_t { daFail, daAbort, daRetry };
enum TResyncOption : std::uint8_t { rmExact = 1, rmCenter = 2 };
enum TLocateOption : std::uint8_t { loCaseInsensitive = 1, loPartialKey = 2 };
enum TFilterOption : std::uint8_t { foCaseInsensitive = 1, foNoPartialCompare = 2 };

using TBookmark = std::vector<std::uint8_t>;

// Messages of the dataset framework itself.
inline constexpr const char* kIndexNotFound = "Index '%s' not found";
inline constexpr const char* kFieldConversion = "Cannot access field '%s' as type %s";
inline constexpr const char* kInvalidFieldValue = "'%s' is not a valid value for field '%s'";
inline constexpr const char* kDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* kDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* kDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* kDataSetNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* kRecordNotFound = "Record not found";
inline constexpr const char* kFieldRequired = "Field '%s' must have a value";
inline constexpr const char* kDuplicateFieldName = "Duplicate field name '%s'";

class TDataSet : public TComponent {
 public:
  using TDataSetNotifyEvent = std::function<void(TDataSet& DataSet)>;
  using TDataSetErrorEvent =
      std::function<void(TDataSet& DataSet, EDatabaseError& E, TDataAction& Action)>;
  using TFilterRecordEvent = std::function<void(TDataSet& DataSet, bool& Accept)>;

  explicit TDataSet(TComponent* owner = nullptr);
  // REQUIRES: the most derived class closed the dataset (its hooks are gone here).
  ~TDataSet() override;

  // ---- Published properties.
  bool Active() const { return state_ != dsInactive; }
  // While loading only records the wish; Loaded() acts on it.
  void SetActive(bool value);
  bool AutoCalcFields() const { return auto_calc_fields_; }
  void SetAutoCalcFields(bool value) { auto_calc_fields_ = value; }
  const std::string& Filter() const { return filter_text_; }
  virtual void SetFilter(const std::string& value);
  bool Filtered() const { return filtered_; }
  virtual void SetFiltered(bool value);
  std::uint8_t FilterOptions() const { return filter_options_; }
  virtual void SetFilterOptions(std::uint8_t value);

  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert,
      BeforeEdit, AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete,
      AfterDelete, BeforeScroll, AfterScroll, BeforeRefresh, AfterRefresh, OnCalcFields;
  TDataSetErrorEvent OnDeleteError, OnEditError;
  TFilterRecordEvent OnFilterRecord;
  TDataSetNotifyEvent OnNewRecord;
  TDataSetErrorEvent OnPostError;

  // ---- State.
  TDataSetState State() const { return state_; }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool Modified() const { return modified_; }
  bool IsEmpty() const;
  virtual bool CanModify() const { return true; }

  // ---- Fields.
  TFieldDefs& FieldDefs() { return field_defs_; }
  TFields& Fields() { return fields_; }
  int FieldCount() const { return fields_.Count(); }
  TField* FindField(std::string_view name) const { return fields_.FindField(name); }
  TField& FieldByName(std::string_view name) const { return fields_.FieldByName(name); }
  // Adds a calculated field; REQUIRES the dataset to be closed.
  TField& AddCalcField(const std::string& name, TFieldType type, int size = 0);

  // ---- Operations.
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves by `distance` records; returns how far it moved.
  int MoveBy(int distance);
  void Insert();
  void Append();
  void Edit();
  void Post();
  void Cancel();
  void Delete();
  void Refresh();
  // Leaves edit or insert mode: posts a modified record, cancels an unmodified one.
  void CheckBrowseMode();
  // Asks the data links to write their pending changes into the record.
  void UpdateRecord();
  // Rebuilds the buffer window around the source's current record (TResyncOption bits).
  void Resync(std::uint8_t mode);

  // ---- Positions.
  TBookmark GetBookmark();
  void GotoBookmark(const TBookmark& bookmark);
  virtual bool BookmarkValid(const TBookmark& bookmark);
  // < 0, 0 or > 0; equal bookmarks compare 0.
  virtual int CompareBookmarks(const TBookmark& a, const TBookmark& b);
  virtual int RecordCount();
  virtual int RecNo();
  virtual void SetRecNo(int value);
  // Moves to the first record whose `key_fields` (";"-separated) equal `values`; false (and no
  // move) when there is none. TLocateOption bits in `options`.
  virtual bool Locate(const std::string& key_fields, const std::vector<std::string>& values,
                      std::uint8_t options);
  // The values of `result_fields` (";"-separated) of the first record whose `key_fields`
  // equal `values`, without moving; empty when there is none.
  virtual std::vector<std::string> Lookup(const std::string& key_fields,
                                          const std::vector<std::string>& values,
                                          const std::string& result_fields);

  // ---- Controls.
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disable_count_ > 0; }

  // ---- Field data, for the field objects. A subclass stores and converts values.
  // Copies the value of `field` in the active buffer into `buffer` (field.DataSize() bytes);
  // false when null.
  virtual bool GetFieldData(const TField& field, std::uint8_t* buffer) const = 0;
  // The value of `field` in the active buffer where it lies in the stored form
  // (field.DataSize() bytes), for reading without a copy; null when the value is null. A
  // subclass that cannot point at a value sets *in_place false, and it is read through
  // GetFieldData instead.
  virtual const std::uint8_t* FieldValueInPlace(const TField& field, bool* in_place) const {
    (void)field;
    *in_place = false;
    return nullptr;
  }
  // Writes `value` (null: null) into the active buffer; then FieldChanged(field).
  virtual void SetFieldData(TField& field, const std::uint8_t* value, std::size_t size) = 0;
  // BLOB values of the active record.
  virtual std::string GetBlobData(const TField& field) const;
  virtual void SetBlobData(TField& field, const std::string& value);

  // ---- The buffer window, for data links.
  int BufferCount() const { return buffer_count_; }
  int BufferedRecordCount() const { return record_count_; }
  int ActiveRecord() const { return active_record_; }
  int CurrentRecord() const { return current_record_; }
  // The buffer that fields read and write in the current state; null when there is none.
  virtual std::uint8_t* ActiveBuffer() const;
  const std::vector<TDataSource*>& DataSources() const { return data_sources_; }
  // The source this dataset follows as a detail (master/detail), or null.
  virtual TDataSource* MasterDataSource() const { return nullptr; }

  void AssertInvariants() const;

 protected:
  // ---- Hooks of the record source.
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  // Fills field definitions from the source.
  virtual void InternalInitFieldDefs() = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  // Reads the record before, at or after the source's position into `buffer`.
  virtual TGetResult GetRecord(std::uint8_t* buffer, TGetMode mode, bool do_check) = 0;
  // Bytes of one record buffer.
  virtual std::size_t RecordBufferSize() const = 0;
  virtual void InternalInitRecord(std::uint8_t* buffer) = 0;
  virtual void InternalInsert() {}
  virtual void InternalEdit() {}
  virtual void InternalPost() = 0;
  // Ends an edit or an insert without posting (the state is still dsEdit or dsInsert).
  virtual void InternalCancel() {}
  virtual void InternalDelete() = 0;
  virtual void InternalRefresh() {}
  // Positions the source on the record of `buffer`.
  virtual void InternalSetToRecord(std::uint8_t* buffer) = 0;
  virtual void InternalGotoBookmark(const std::uint8_t* bookmark) = 0;
  virtual std::size_t BookmarkSize() const = 0;
  virtual TBookmarkFlag GetBookmarkFlag(const std::uint8_t* buffer) const = 0;
  virtual void SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) = 0;
  virtual void GetBookmarkData(const std::uint8_t* buffer, std::uint8_t* data) const = 0;
  virtual void SetBookmarkData(std::uint8_t* buffer, const std::uint8_t* data) = 0;
  // Leaves the key-setting state: Post commits the key, Cancel restores it.
  virtual void PostKeyBuffer(bool commit) {
    (void)commit;
    SetState(dsBrowse);
  }
  // Sets the calculated part of `buffer` to "no value".
  virtual void ClearCalcFields(std::uint8_t* buffer) { (void)buffer; }

  // ---- Steps a subclass may extend.
  // Creates the cursor-side state, the fields and the buffers (BeforeOpen has fired).
  virtual void OpenCursor();
  virtual void CloseCursor();
  // Creates a field object for every field definition (when no fields exist yet).
  virtual void CreateFields();
  virtual void DataEvent(TDataEvent event, TField* field = nullptr, int info = 0);
  virtual void DoOnNewRecord();
  // The record of `buffer` is being accepted into the window: false filters it out.
  bool FilterRecord(std::uint8_t* buffer);
  // Scans the source from its beginning for the first record whose fields equal `values`
  // (TLocateOption bits); `on_match` runs while the fields read that record. The window stays;
  // with a match the source stands on it.
  bool ScanForValues(const std::string& key_fields, const std::vector<std::string>& values,
                     std::uint8_t options, const std::function<void()>& on_match);
  void DoBeforeScroll();
  void DoAfterScroll();
  // Gives every buffer the current RecordBufferSize (after the layout changed); the window
  // must be read again afterwards.
  void ReallocateBuffers();
  // Runs OnCalcFields for `buffer` in the calculating state.
  void GetCalcFields(std::uint8_t* buffer);
  // Reports a successful write to `field`: marks the record modified, recalculates, tells the
  // links and fires the field's OnChange.
  void FieldChanged(TField& field);

  void CheckActive() const;
  void CheckInactive() const;
  void CheckCanModify() const;
  void SetState(TDataSetState value);
  // Enters a temporary state (key, calculating, filtering); RestoreState goes back.
  TDataSetState SetTempState(TDataSetState value);
  void RestoreState(TDataSetState value);
  // A temporary state for the guard's lifetime: the calculating and filtering states also make
  // `buffer` the one fields read and write. The state and buffer before come back when the
  // guard ends, by an exception too.
  class TTempState {
   public:
    TTempState(TDataSet& dataset, TDataSetState state, std::uint8_t* buffer = nullptr);
    ~TTempState();
    TTempState(const TTempState&) = delete;
    TTempState& operator=(const TTempState&) = delete;

   private:
    TDataSet& dataset_;
    TDataSetState old_state_;
    std::uint8_t** slot_ = nullptr;  // calc_buffer_ or filter_buffer_ of dataset_, or null
    std::uint8_t* old_buffer_ = nullptr;
  };
  // Runs `operation` (positioned on the active record unless `position` is false) with the
  // error event's retry and abort answers.
  template <typename Operation>
  void CheckOperation(const Operation& operation, const TDataSetErrorEvent& event,
                      bool position = true);
  // Makes the source's position the active buffer's record.
  void UpdateCursorPos();
  // Resync with the source's current record read already, accepted, into SpareBuffer().
  void ResyncRead(std::uint8_t mode);
  // The buffer past the window, which a read of the current record for ResyncRead fills.
  std::uint8_t* SpareBuffer() { return Buffer(record_count_); }
  // The source's position is no longer that of any buffer.
  void CursorPosChanged() { current_record_ = -1; }
  // For InternalPost, in a window of one record: the active buffer now holds the record as
  // posted, with its bookmark, and the source did not go to it. The window is then not read
  // again after the post; the source goes to the record when an operation next needs its
  // position (as after any change of position, through InternalSetToRecord).
  void PostedInPlace() { posted_in_place_ = true; }
  void ClearBuffers();
  std::uint8_t* Buffer(int index) { return buffers_[static_cast<std::size_t>(index)].data(); }
  std::uint8_t* CalcBuffer() const { return calc_buffer_; }
  std::uint8_t* FilterBuffer() const { return filter_buffer_; }
  std::size_t CalcFieldsSize() const { return calc_fields_size_; }
  // Re-reads the window size from the links (a data source or link calls it).
  void UpdateBufferCount();
  // The most derived destructor calls this first.
  void DestroyDataSet();
  void Loaded() override;

 private:
  friend class TDataSource;
  friend class TDataLink;

  // The second half of Resync: the window around the record in the spare buffer.
  void RebuildWindow(std::uint8_t mode);
  bool GetNextRecord();
  bool GetPriorRecord();
  int GetNextRecords();
  int GetPriorRecords();
  void SetCurrentRecord(int index);
  void MoveBuffer(int from, int to);
  void ActivateBuffers();
  void SetBufListSize(int count);
  void FreeBuffers();
  // The active record index set by a data link while it reads other rows of the window.
  void SetActiveRecordIndex(int index) { active_record_ = index; }
  // The part of DataEvent that tells the data sources (kept apart: most events reach none).
  void NotifyDataSources(TDataEvent event, TField* field, int info);
  void AddDataSource(TDataSource& source);
  void RemoveDataSource(TDataSource& source);
  void BeginInsertAppend();
  void EndInsertAppend();
  // What Post, Cancel, Delete and Refresh share: the Before event (an exception from it
  // cancels the operation), with `scrolls` the scroll events around the rest, `work`, the
  // return to browse mode with the window read again, and the After event.
  template <typename Work>
  void RunOperation(const TDataSetNotifyEvent& before, const TDataSetNotifyEvent& after,
                    bool scrolls, const Work& work);
  void Fire(const TDataSetNotifyEvent& event) {
    if (event) event(*this);
  }

  TDataSetState state_ = dsInactive;
  bool auto_calc_fields_ = true;
  std::string filter_text_;
  bool filtered_ = false;
  std::uint8_t filter_options_ = 0;
  TFieldDefs field_defs_;
  TFields fields_;
  std::vector<TDataSource*> data_sources_;  // not owned; each source unregisters itself

  std::vector<std::vector<std::uint8_t>> buffers_;  // buffer_count_ + 1 (the last is spare)
  int buffer_count_ = 0;
  int record_count_ = 0;
  int active_record_ = 0;
  int current_record_ = -1;
  int window_shift_ = 0;  // positions the window shifted during one scroll
  bool bof_ = true;
  bool eof_ = true;
  bool modified_ = false;
  std::uint8_t* calc_buffer_ = nullptr;    // the buffer being calculated; not owned
  std::uint8_t* filter_buffer_ = nullptr;  // the buffer being filtered; not owned
  std::size_t calc_fields_size_ = 0;
  int disable_count_ = 0;
  bool posted_in_place_ = false;  // set by PostedInPlace during the current post
  bool pending_change_ = false;
  bool pending_state_ = false;
  bool stored_active_ = false;
  bool in_cursor_open_ = false;
};

}  // namespace tabula
