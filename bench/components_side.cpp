// Our side through the dataset components (components/tabula.h only), written the way an
// application writes it: the default session configured before use, a database component naming
// the directory, one TTabulaTable; Append / FieldByName / Post to insert, SetKey / GotoKey on the
// unique index to find, IndexName with First / Next and field reads to scan, Edit / Post and
// Delete, StartTransaction / Commit on the database. Field objects are found by name on every
// use, as application code usually does, so their lookup is part of the measured cost.
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "bench/bench_side.h"
#include "components/tabula.h"
#include "tools/staff/staff_table.h"

namespace tabula::bench {

namespace {

constexpr const char* kDatabaseName = "StaffBench";
constexpr const char* kTableName = "Staff";

// The engine's day number of 1899-12-30, the origin of TDateTime.
constexpr double kDaysBeforeOrigin = 693594.0;
constexpr double kMsPerDay = 86400000.0;

template <std::size_t Capacity>
std::string Text(const TText<Capacity>& text) {
  return std::string(text.View());
}

template <std::size_t Capacity>
void CopyText(const std::string& value, TText<Capacity>* out) {
  const std::size_t size = std::min(value.size(), Capacity);
  std::memcpy(out->data, value.data(), size);
  out->data[size] = '\0';
  out->size = static_cast<std::uint8_t>(size);
}

class TComponentsSide : public TBenchSide {
 public:
  explicit TComponentsSide(const TSideOptions& options) : options_(options) {
    TTabulaSession& session = Sessions().DefaultSession();
    session.SetDataBufferSize(
        static_cast<std::int32_t>(EngineDataBufferSize(options.CacheBytes)));
    session.SetForceBufferFlush(options.Durability == TDurability::kDurable);
    database_ = std::make_unique<TTabulaDatabase>();
    database_->SetDatabaseName(kDatabaseName);
    table_ = std::make_unique<TTabulaTable>();
    table_->SetDatabaseName(kDatabaseName);
    table_->SetTableName(kTableName);
  }
  ~TComponentsSide() override {
    table_.reset();
    database_.reset();
  }

  void CreateTable(const std::string& directory) override {
    UseDirectory(directory);
    TTabulaTable& table = *table_;
    corvantis::DefineStaffTable(table);
    table.CreateTable();
  }

  void Open(const std::string& directory) override {
    UseDirectory(directory);
    table_->SetIndexName("");
    table_->Open();
  }

  void Close() override { table_->Close(); }

  void StartTransaction() override {
    // A batch of work: the application has no controls to repaint meanwhile.
    table_->DisableControls();
    database_->StartTransaction();
  }
  void Commit() override {
    database_->Commit(options_.Durability == TDurability::kDurable);
    table_->EnableControls();
  }

  void Insert(const TStaffRow& row) override {
    TTabulaTable& t = *table_;
    t.Append();
    t.FieldByName("Staff_ID").SetAsInteger(row.StaffId);
    t.FieldByName("Staff_Name").SetAsString(Text(row.StaffName));
    t.FieldByName("Active").SetAsBoolean(row.Active);
    t.FieldByName("Nutritionist").SetAsBoolean(row.Nutritionist);
    t.FieldByName("Case_Manager").SetAsBoolean(row.CaseManager);
    t.FieldByName("Driver").SetAsBoolean(row.Driver);
    t.FieldByName("Volunteer").SetAsBoolean(row.Volunteer);
    t.FieldByName("Password").SetAsString(Text(row.Password));
    t.FieldByName("Access_Level").SetAsString(Text(row.AccessLevel));
    t.FieldByName("User_ID").SetAsString(Text(row.UserId));
    t.FieldByName("PreferredTab").SetAsString(Text(row.PreferredTab));
    t.FieldByName("DSort_Order").SetAsString(Text(row.DSortOrder));
    t.FieldByName("Visible_Tabs").SetAsInteger(row.VisibleTabs);
    t.FieldByName("DTab").SetAsInteger(row.DTab);
    t.FieldByName("Conserve_Resources").SetAsString(Text(row.ConserveResources));
    t.FieldByName("Preferred_Delivery_Report").SetAsInteger(row.PreferredDeliveryReport);
    t.FieldByName("Preferred_Counseling_Report").SetAsInteger(row.PreferredCounselingReport);
    t.FieldByName("Preferred_Alerts_Report").SetAsInteger(row.PreferredAlertsReport);
    t.FieldByName("Preferred_Agency_Report").SetAsInteger(row.PreferredAgencyReport);
    t.FieldByName("Execute_OnOpen_Query").SetAsBoolean(row.ExecuteOnOpenQuery);
    t.FieldByName("Execute_OnClose_Query").SetAsBoolean(row.ExecuteOnCloseQuery);
    t.FieldByName("Prepare_Data_Prompt").SetAsString(Text(row.PrepareDataPrompt));
    t.FieldByName("Display_Prepared_Data").SetAsString(Text(row.DisplayPreparedData));
    t.FieldByName("Create_Date").SetAsDateTime(row.CreateDate - kDaysBeforeOrigin);
    t.FieldByName("Last_Updated").SetAsDateTime(row.LastUpdated / kMsPerDay - kDaysBeforeOrigin);
    t.Post();
  }

  bool LookupByStaffId(std::int32_t staff_id, TText<25>* name) override {
    if (!FindStaff(staff_id)) return false;
    CopyText(table_->FieldByName("Staff_Name").AsString(), name);
    return true;
  }

  TScanResult Scan(bool by_name, const std::atomic<bool>* stop) override {
    TTabulaTable& t = *table_;
    // The components have no record-number order: the natural order of an application is the
    // primary index, the order of Record_ID.
    t.SetIndexName(by_name ? "STAFF_NAME" : "");
    TScanResult result;
    t.DisableControls();
    for (t.First(); !t.Eof(); t.Next()) {
      const std::int32_t id = t.FieldByName("Staff_ID").AsInteger();
      const std::string name = t.FieldByName("Staff_Name").AsString();
      const std::string user = t.FieldByName("User_ID").AsString();
      result.Checksum += MixRecord(id, name, user);
      ++result.Count;
      if (stop != nullptr && (result.Count & 255) == 0 && stop->load(std::memory_order_relaxed)) {
        break;
      }
    }
    t.EnableControls();
    return result;
  }

  bool UpdateName(std::int32_t staff_id, const TText<25>& name) override {
    if (!FindStaff(staff_id)) return false;
    TTabulaTable& t = *table_;
    t.Edit();
    t.FieldByName("Staff_Name").SetAsString(Text(name));
    t.Post();
    return true;
  }

  bool DeleteByStaffId(std::int32_t staff_id) override {
    if (!FindStaff(staff_id)) return false;
    table_->Delete();
    return true;
  }

  std::int64_t Count() override { return table_->RecordCount(); }

 private:
  void UseDirectory(const std::string& directory) {
    if (directory == directory_) return;
    table_->Close();
    database_->Close();
    database_->SetDirectory(directory);
    database_->Open();
    directory_ = directory;
  }

  // Positions the table on the record with this staff number through the unique index.
  bool FindStaff(std::int32_t staff_id) {
    TTabulaTable& t = *table_;
    if (t.IndexName() != "STAFF_ID") t.SetIndexName("STAFF_ID");
    t.SetKey();
    t.FieldByName("Staff_ID").SetAsInteger(staff_id);
    return t.GotoKey();
  }

  TSideOptions options_;
  std::unique_ptr<TTabulaDatabase> database_;
  std::unique_ptr<TTabulaTable> table_;
  std::string directory_;
};

}  // namespace

std::unique_ptr<TBenchSide> MakeComponentsSide(const TSideOptions& options) {
  return std::make_unique<TComponentsSide>(options);
}

}  // namespace tabula::bench
