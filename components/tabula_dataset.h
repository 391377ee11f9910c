// The engine's datasets: TTabulaDataSet adapts one engine cursor (TDataCursor) to the dataset
// framework, TTabulaDBDataSet binds it to a database and a session by name.
//
// Record buffer layout (every buffer of the window):
//
//   OFFSET                     SIZE              MEANING
//   0                          RecordSize        the engine record image
//   RecordSize                 CalcFieldsSize    per calculated field: 1 when it has a value,
//                                                then the value
//   info = RecordSize + calc   4                 record number (-1 for a new record)
//   info + 4                   1                 bookmark flag (0 current, 1 before first,
//                                                2 after last, 3 inserted)
//   info + 5                   1                 1: the record header (status and record
//                                                number) is still to be read: the record was
//                                                posted in place (see InternalPost)
//   info + 6                   2                 unused
//   info + 8                   BookmarkSize      the cursor's bookmark of the record
//
// A separate buffer keeps the record as it was when editing began. Record and bookmark sizes
// come from the cursor when it opens and again whenever the index changes.
//
// Every call into the engine runs under the session's engine lock. Fetching records turns only
// the codes for the beginning and end of the table into navigation results; every other
// engine failure propagates as ETabulaEngineError.
//
// Thread-safety: one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/database.h"
#include "components/dataset.h"
#include "components/session.h"
#include "engine/storage/field_types.h"

namespace tabula {

class TDataCursor;
class TDataDirectory;

// Offsets inside the record information part of a record buffer.
constexpr std::size_t kRecInfoRecordNo = 0;
constexpr std::size_t kRecInfoBookmarkFlag = 4;
constexpr std::size_t kRecInfoHeaderPending = 5;
constexpr std::size_t kRecInfoSize = 8;

// Engine field type and subtype of a dataset field type (type 0 for none), and back.
struct TEngineFieldType {
  std::uint8_t type = 0;
  std::uint8_t subtype = 0;
};
TEngineFieldType EngineFieldTypeOf(TFieldType type);
TFieldType DataSetFieldTypeOf(std::uint8_t engine_type, std::uint8_t engine_subtype);

// Field definitions of the engine fields, in field-number order: name, type, size (characters,
// bytes, or the decimals of a BCD field; precision 32), required flag. A name defined already
// gets "_1", "_2", ... appended; fields without a dataset type are skipped.
void FieldDefsFromDescriptors(const std::vector<TFieldDescriptor>& descriptors, TFieldDefs& defs);

class TTabulaDataSet : public TDataSet {
 public:
  explicit TTabulaDataSet(TComponent* owner = nullptr);
  ~TTabulaDataSet() override;

  // A new record starts as a copy of the current one (default false).
  bool CopyOnAppend() const { return copy_on_append_; }
  void SetCopyOnAppend(bool value) { copy_on_append_ = value; }
  // Display labels from the field descriptions of the table (default false).
  bool AutoDisplayLabels() const { return auto_display_labels_; }
  void SetAutoDisplayLabels(bool value) { auto_display_labels_ = value; }

  // The open cursor; null while closed.
  TDataCursor* Cursor() const { return cursor_.get(); }
  bool CanModify() const override { return Active() && can_modify_; }

  bool GetFieldData(const TField& field, std::uint8_t* buffer) const override;
  const std::uint8_t* FieldValueInPlace(const TField& field, bool* in_place) const override;
  void SetFieldData(TField& field, const std::uint8_t* value, std::size_t size) override;
  std::string GetBlobData(const TField& field) const override;
  void SetBlobData(TField& field, const std::string& value) override;

  // A filter text needs the engine's filter expressions, which this build lacks: setting one
  // on a filtered dataset, or filtering with one, is refused with TABULA_INVALIDFILTER and
  // changes nothing. OnFilterRecord filters work.
  void SetFilter(const std::string& value) override;
  void SetFiltered(bool value) override;

  int RecordCount() override;
  int RecNo() override;
  void SetRecNo(int value) override;
  bool BookmarkValid(const TBookmark& bookmark) override;
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
  // The buffer's record number and the record as it was when editing began.
  const std::vector<std::uint8_t>& OldRecord() const { return old_record_; }

 protected:
  // The session whose engine lock guards every engine call; the subclass knows it.
  virtual TTabulaSession& EngineSession() const = 0;
  // Creates the (closed) cursor for this dataset, options set.
  virtual std::unique_ptr<TDataCursor> CreateCursor() = 0;
  // Gives the cursor back (the database hold of the subclass ends here).
  virtual void DestroyCursor();
  // Whether `field` belongs to the active index (the key-setting state writes only those).
  virtual bool IsKeyField(const TField& field) const {
    (void)field;
    return false;
  }
  // True while a range is being set up (read-only fields may then be written).
  virtual bool SettingRange() const { return false; }

  void InternalOpen() override;
  void InternalClose() override;
  void InternalInitFieldDefs() override;
  void InternalFirst() override;
  void InternalLast() override;
  TGetResult GetRecord(std::uint8_t* buffer, TGetMode mode, bool do_check) override;
  std::size_t RecordBufferSize() const override { return bookmark_offset_ + bookmark_size_; }
  void InternalInitRecord(std::uint8_t* buffer) override;
  void InternalInsert() override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalRefresh() override;
  void InternalSetToRecord(std::uint8_t* buffer) override;
  void InternalGotoBookmark(const std::uint8_t* bookmark) override;
  std::size_t BookmarkSize() const override { return bookmark_size_; }
  TBookmarkFlag GetBookmarkFlag(const std::uint8_t* buffer) const override;
  void SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) override;
  void GetBookmarkData(const std::uint8_t* buffer, std::uint8_t* data) const override;
  void SetBookmarkData(std::uint8_t* buffer, const std::uint8_t* data) override;
  void ClearCalcFields(std::uint8_t* buffer) override;

  // Completes `buffer`, into which the cursor's current record was just read: record number,
  // bookmark, calculated fields; false when the filter rejects it. REQUIRES: the engine lock.
  bool AcceptCurrentRecord(std::uint8_t* buffer);
  // Steps of opening that a table extends (after the cursor is open).
  virtual void AfterCursorOpen() {}
  // Takes the record and bookmark sizes from the cursor and lays out the buffers again.
  void ComputeLayout();
  void CheckFilterText(const std::string& text, bool filtered) const;
  // Raises `code` with this dataset's table name.
  [[noreturn]] void RaiseCursorError(std::uint16_t code) const;
  // The table name used in error contexts.
  virtual std::string ErrorTableName() const { return std::string(); }

  std::unique_ptr<TDataCursor> cursor_;
  std::unique_ptr<TDataCursor> lookup_cursor_;

 private:
  std::size_t record_size_ = 0;
  std::size_t calc_offset_ = 0;
  std::size_t info_offset_ = 0;
  std::size_t bookmark_offset_ = 0;
  std::size_t bookmark_size_ = 0;
  bool copy_on_append_ = false;
  bool auto_display_labels_ = false;
  bool can_modify_ = false;
  std::vector<std::uint8_t> old_record_;
  // Where each engine field's value lies in a record buffer (by field number - 1), for reading
  // in place; `size` 0 for a field read only through the cursor (BLOB and computed fields).
  struct TValuePlace {
    std::uint32_t offset = 0;  // the null flag's byte; the value follows (the identifier has none)
    std::uint32_t size = 0;
    bool identifier = false;  // the auto-increment field: the record identifier, never null
  };
  std::vector<TValuePlace> value_places_;
};

// A dataset bound to a database and a session by name, holding its database while it needs it.
class TTabulaDBDataSet : public TTabulaDataSet, public TSessionClient, public TDatabaseClient {
 public:
  explicit TTabulaDBDataSet(TComponent* owner = nullptr);
  ~TTabulaDBDataSet() override;

  const std::string& DatabaseName() const { return database_name_; }
  // Requires the dataset closed; cut to 255 characters.
  virtual void SetDatabaseName(const std::string& value);
  const std::string& SessionName() const override { return session_name_; }
  void SetSessionName(const std::string& value) override;

  // The database component while held; null otherwise.
  TTabulaDatabase* Database() const { return database_; }
  // The session component named by SessionName (raises when there is none).
  TTabulaSession& DBSession() const;
  // True for the in-memory database ("Memory").
  bool InMemory() const;

  // TDatabaseClient: the database closes, and this dataset with it.
  void DatabaseClosing(TTabulaDatabase& database) override;

 protected:
  TTabulaSession& EngineSession() const override;
  // Holds the database for the cursor's lifetime and makes a cursor on it, set up by
  // ConfigureCursor.
  std::unique_ptr<TDataCursor> CreateCursor() override;
  virtual void ConfigureCursor(TDataCursor& cursor) = 0;
  // Holds the database for one more reason: the first obtains it from the session.
  TTabulaDatabase& HoldDatabase();
  // Drops one reason; the last gives the database back.
  void ReleaseDatabase();
  TDataDirectory& Directory() const;
  // Raises the engine error of a remote session (table work needs a local session here).
  void CheckLocalSession() const;
  void DestroyCursor() override;
  // Called when the database, session or table name changes.
  virtual void DefinitionsChanged() {}

 private:
  std::string database_name_;
  std::string session_name_;
  TTabulaDatabase* database_ = nullptr;  // held through the session; not owned
  TTabulaSession* session_ = nullptr;    // the session of the hold; not owned
  int holds_ = 0;
  bool cursor_hold_ = false;
};

}  // namespace tabula
