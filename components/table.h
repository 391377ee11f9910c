// TTabulaTable: the dataset over one physical table.
//
// Adds to the engine dataset the table's name and open options, index selection by name or by
// fields, field and index definitions (read from the table when it opens, or given by the
// application to create a table), key searches and ranges, master/detail linking, and the
// table operations that work on a closed table through a temporary cursor: version, create,
// delete, exists, repair and upgrade.
//
// Key searches and ranges use three key buffers (a key, a range start, a range end): the
// key-setting state (dsSetKey) makes the fields read and write one of them, and only fields of
// the active index may be written there. A key buffer is a record image; the number of leading
// index fields written makes a search or range bound partial.
//
// A detail table (MasterSource and MasterFields set) keeps a range over its active index whose
// leading fields equal the master's linking fields, applied again whenever the master's record
// changes; a new detail record starts with the master's linking values.
//
// Thread-safety: one thread at a time; engine calls run under the session's engine lock.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/data_link.h"
#include "components/tabula_dataset.h"

namespace tabula {

class TTabulaTable : public TTabulaDBDataSet {
 public:
  using TSteppedProgressEvent =
      std::function<void(TTabulaTable& Sender, const std::string& Step, int PercentDone)>;
  using TProgressEvent = std::function<void(TTabulaTable& Sender, int PercentDone)>;
  using TLogEvent = std::function<void(TTabulaTable& Sender, const std::string& LogMessage)>;
  using TDataLostEvent =
      std::function<void(TTabulaTable& Sender, int Cause, const std::string& ContextInfo,
                         bool& ContinueRestructure, bool& StopAsking)>;

  explicit TTabulaTable(TComponent* owner = nullptr);
  ~TTabulaTable() override;

  // ---- Published properties.
  std::string EngineVersion() const { return kEngineVersionText; }
  void SetEngineVersion(const std::string&) {}  // writing is ignored
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  // The definitions of the table's indexes (read from the table by UpdateIndexDefs, or set by
  // the application for CreateTable).
  TIndexDefs& IndexDefs() { return index_defs_; }
  const std::string& IndexFieldNames() const { return index_field_names_; }
  // Selects the index over exactly these ";"-separated fields; clears IndexName.
  void SetIndexFieldNames(const std::string& value);
  const std::string& IndexName() const { return index_name_; }
  // Selects an index by name (empty: the primary index); clears IndexFieldNames. On an open
  // table a pending edit is posted first and the current record stays current.
  void SetIndexName(const std::string& value);
  TSteppedProgressEvent OnVerifyProgress;
  TLogEvent OnVerifyLog;
  TSteppedProgressEvent OnRepairProgress;
  TLogEvent OnRepairLog;
  TSteppedProgressEvent OnUpgradeProgress;
  TLogEvent OnUpgradeLog;
  TProgressEvent OnIndexProgress;
  TProgressEvent OnCopyProgress;
  TProgressEvent OnOptimizeProgress;
  TProgressEvent OnRestructureProgress;
  TDataLostEvent OnDataLost;
  TProgressEvent OnImportProgress;
  TProgressEvent OnExportProgress;
  const std::string& MasterFields() const { return master_link_.FieldNames(); }
  void SetMasterFields(const std::string& value);
  TDataSource* MasterSource() const { return master_link_.DataSource(); }
  // A source of this table itself (directly or through its masters) is refused.
  void SetMasterSource(TDataSource* value);
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  const std::string& TableName() const { return table_name_; }
  void SetTableName(const std::string& value);
  bool StoreDefs() const { return store_defs_; }
  void SetStoreDefs(bool value) { store_defs_ = value; }

  // ---- Table operations (on a closed table through a temporary cursor where needed).
  // The version text of the table file ("3.00", "2.00", ...; empty for an unknown number).
  std::string TableVersion();
  // Creates the table from FieldDefs and IndexDefs. REQUIRES: closed.
  void CreateTable();
  // REQUIRES: closed.
  void DeleteTable();
  // True when open; otherwise whether the table's data file exists.
  bool Exists();
  // REQUIRES: closed.
  bool RepairTable(bool force_index_rebuild = false);
  // REQUIRES: closed.
  void UpgradeTable();
  // Rebuilds IndexDefs from the table's index descriptors when they are out of date.
  void UpdateIndexDefs();

  // ---- Key searches and ranges on the active index.
  void SetKey();
  void EditKey();
  bool GotoKey();
  void GotoNearest();
  bool FindKey(const std::vector<std::string>& values);
  void FindNearest(const std::vector<std::string>& values);
  void SetRangeStart();
  void SetRangeEnd();
  void EditRangeStart();
  void EditRangeEnd();
  void ApplyRange();
  void CancelRange();
  void SetRange(const std::vector<std::string>& start_values,
                const std::vector<std::string>& end_values);
  // The fields of the active index, in key order.
  int IndexFieldCount() const { return static_cast<int>(index_fields_.size()); }
  TField& IndexFields(int index) const;

  TDataSource* MasterDataSource() const override { return master_link_.DataSource(); }
  std::uint8_t* ActiveBuffer() const override;
  void SetFieldData(TField& field, const std::uint8_t* value, std::size_t size) override;

 protected:
  void ConfigureCursor(TDataCursor& cursor) override;
  void AfterCursorOpen() override;
  bool IsKeyField(const TField& field) const override;
  bool SettingRange() const override { return key_kind_ != kKey && State() == dsSetKey; }
  std::string ErrorTableName() const override { return table_name_; }
  void DefinitionsChanged() override;
  void DoOnNewRecord() override;
  void PostKeyBuffer(bool commit) override;

 private:
  enum TKeyKind : std::uint8_t { kKey = 0, kRangeStart = 1, kRangeEnd = 2, kMaster = 3 };
  struct TKeyBuffer {
    std::vector<std::uint8_t> image;
    std::vector<std::uint8_t> saved;
    int field_count = 0;
    int saved_count = 0;
  };

  void SetKeyBuffer(TKeyKind kind, bool clear);
  // The field count argument of a search or range bound: 0 for all index fields.
  std::uint16_t KeyFieldsArgument(const TKeyBuffer& buffer) const;
  void SwitchIndex(const std::string& value, bool by_fields);
  // The active index's key fields, from its descriptor.
  void ReadIndexDescription();
  void ResetKeyBuffers();
  // Writes the master's linking values into the first index fields of the current record
  // buffer (in the key-setting state: of the key buffer).
  void CopyMasterValues();
  // Restricts the cursor to the master's current values; false without an active master.
  bool SetMasterRange();
  void MasterChanged();
  void MasterDisabled();
  // A closed cursor on TableName with this table's options (database held by the caller).
  std::unique_ptr<TDataCursor> TemporaryCursor(bool exclusive);

  bool exclusive_ = false;
  bool read_only_ = false;
  bool store_defs_ = false;
  std::string table_name_;
  std::string index_name_;
  std::string index_field_names_;
  TIndexDefs index_defs_;
  TMasterDataLink master_link_;
  std::vector<int> index_fields_;  // engine field numbers of the active index
  std::array<TKeyBuffer, 4> key_buffers_;
  TKeyKind key_kind_ = kKey;
};

}  // namespace tabula
