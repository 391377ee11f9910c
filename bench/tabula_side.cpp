// Our side through the engine cursor (TDataCursor), the way the table component drives it:
// record images filled with SetField and posted, key searches with Find on the current index,
// scans with GetNextRecord, transactions through the engine database.
#include <algorithm>
#include <concepts>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_side.h"
#include "engine/base/coding.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_file_format.h"
#include "engine/storage/data_session.h"

namespace tabula::bench {

namespace {

constexpr const char* kTableName = "Staff.dat";

// Field numbers of the staff table.
enum : std::uint16_t {
  kRecordId = 1,
  kStaffId,
  kStaffName,
  kActive,
  kNutritionist,
  kCaseManager,
  kDriver,
  kVolunteer,
  kPassword,
  kAccessLevel,
  kUserId,
  kPreferredTab,
  kDSortOrder,
  kVisibleTabs,
  kDTab,
  kConserveResources,
  kPreferredDeliveryReport,
  kPreferredCounselingReport,
  kPreferredAlertsReport,
  kPreferredAgencyReport,
  kExecuteOnOpenQuery,
  kExecuteOnCloseQuery,
  kPrepareDataPrompt,
  kDisplayPreparedData,
  kCreateDate,
  kLastUpdated,
};

TFieldDescriptor Field(const char* name, std::uint8_t type, std::uint8_t size = 0,
                       std::uint8_t subtype = fldstNone) {
  TFieldDescriptor field;
  field.FieldName = name;
  field.FieldType = type;
  field.FieldSize = size;
  field.FieldSubType = subtype;
  return field;
}

TIndexDefinition Index(const char* name, std::uint16_t field, bool unique, bool no_case) {
  TIndexDefinition index;
  index.Name = name;
  index.FieldNumbers = {field};
  index.FieldDescending = {false};
  index.Unique = unique;
  index.CaseInsensitive = no_case;
  return index;
}

TTableDefinition StaffDefinition() {
  TTableDefinition definition;
  definition.Fields = {
      Field("Record_ID", fldInteger, 0, fldstAutoInc),
      Field("Staff_ID", fldInteger),
      Field("Staff_Name", fldString, 25),
      Field("Active", fldBoolean),
      Field("Nutritionist", fldBoolean),
      Field("Case_Manager", fldBoolean),
      Field("Driver", fldBoolean),
      Field("Volunteer", fldBoolean),
      Field("Password", fldString, 10),
      Field("Access_Level", fldString, 1),
      Field("User_ID", fldString, 12),
      Field("PreferredTab", fldString, 20),
      Field("DSort_Order", fldString, 15),
      Field("Visible_Tabs", fldInteger),
      Field("DTab", fldInteger),
      Field("Conserve_Resources", fldString, 1),
      Field("Preferred_Delivery_Report", fldInteger),
      Field("Preferred_Counseling_Report", fldInteger),
      Field("Preferred_Alerts_Report", fldInteger),
      Field("Preferred_Agency_Report", fldInteger),
      Field("Execute_OnOpen_Query", fldBoolean),
      Field("Execute_OnClose_Query", fldBoolean),
      Field("Prepare_Data_Prompt", fldString, 1),
      Field("Display_Prepared_Data", fldString, 1),
      Field("Create_Date", fldDate),
      Field("Last_Updated", fldTimeStamp),
  };
  definition.Indexes = {
      Index("", kRecordId, true, false), Index("STAFF_NAME", kStaffName, false, true),
      Index("STAFF_ID", kStaffId, true, false), Index("USER_ID", kUserId, false, true)};
  return definition;
}

class TTabulaSide : public TBenchSide {
 public:
  explicit TTabulaSide(const TSideOptions& options) : options_(options) {
    session_ = std::make_unique<TDataSession>();
    session_->SetDataBufferSize(
        static_cast<std::int32_t>(EngineDataBufferSize(options.CacheBytes)));
    session_->SetForceBufferFlush(options.Durability == TDurability::kDurable);
  }
  ~TTabulaSide() override {
    natural_.reset();
    cursor_.reset();
    if (database_ != nullptr) session_->CloseDatabase(database_);
  }

  void CreateTable(const std::string& directory) override {
    UseDirectory(directory);
    TDataCursor cursor(*database_);
    cursor.SetTableName(kTableName);
    cursor.CreateTable(StaffDefinition());
  }

  void Open(const std::string& directory) override {
    UseDirectory(directory);
    cursor_ = std::make_unique<TDataCursor>(*database_);
    cursor_->SetTableName(kTableName);
    cursor_->Open();
    image_.assign(static_cast<std::size_t>(cursor_->RecordSize()), 0);
    key_image_.assign(image_.size(), 0);
    index_unset_ = true;
  }

  void Close() override {
    if (natural_ != nullptr) natural_->Close();
    natural_.reset();
    if (cursor_ != nullptr) cursor_->Close();
    cursor_.reset();
  }

  void StartTransaction() override { Check(database_->StartTransaction()); }
  void Commit() override {
    Check(database_->Commit(true, options_.Durability == TDurability::kDurable));
  }

  void Insert(const TStaffRow& row) override {
    std::uint8_t* image = image_.data();
    cursor_->InitRecord(image);
    SetInteger(kStaffId, row.StaffId);
    SetText(kStaffName, row.StaffName);
    SetBoolean(kActive, row.Active);
    SetBoolean(kNutritionist, row.Nutritionist);
    SetBoolean(kCaseManager, row.CaseManager);
    SetBoolean(kDriver, row.Driver);
    SetBoolean(kVolunteer, row.Volunteer);
    SetText(kPassword, row.Password);
    SetText(kAccessLevel, row.AccessLevel);
    SetText(kUserId, row.UserId);
    SetText(kPreferredTab, row.PreferredTab);
    SetText(kDSortOrder, row.DSortOrder);
    SetInteger(kVisibleTabs, row.VisibleTabs);
    SetInteger(kDTab, row.DTab);
    SetText(kConserveResources, row.ConserveResources);
    SetInteger(kPreferredDeliveryReport, row.PreferredDeliveryReport);
    SetInteger(kPreferredCounselingReport, row.PreferredCounselingReport);
    SetInteger(kPreferredAlertsReport, row.PreferredAlertsReport);
    SetInteger(kPreferredAgencyReport, row.PreferredAgencyReport);
    SetBoolean(kExecuteOnOpenQuery, row.ExecuteOnOpenQuery);
    SetBoolean(kExecuteOnCloseQuery, row.ExecuteOnCloseQuery);
    SetText(kPrepareDataPrompt, row.PrepareDataPrompt);
    SetText(kDisplayPreparedData, row.DisplayPreparedData);
    SetInteger(kCreateDate, row.CreateDate);
    std::uint64_t bits;
    std::memcpy(&bits, &row.LastUpdated, sizeof bits);
    std::uint8_t value[8];
    EncodeFixed64(value, bits);
    cursor_->SetField(kLastUpdated, image, value, sizeof value);
    cursor_->PostInsert(image, false);
  }

  bool LookupByStaffId(std::int32_t staff_id, TText<25>* name) override {
    if (!FindStaff(staff_id)) return false;
    ReadText(kStaffName, image_.data(), name);
    return true;
  }

  TScanResult Scan(bool by_name, const std::atomic<bool>* stop) override {
    TDataCursor* cursor = cursor_.get();
    if (by_name) {
      UseIndex("STAFF_NAME");
    } else {
      // Record-number order: a second cursor on the same table object, opened in natural order.
      if (natural_ == nullptr) {
        natural_ = std::make_unique<TDataCursor>(*database_);
        natural_->SetTableName(kTableName);
        natural_->SetNaturalOrder(true);
        natural_->Open();
      }
      cursor = natural_.get();
    }
    cursor->SetToBegin();
    TScanResult result;
    std::uint8_t* image = image_.data();
    std::uint8_t id[4];
    TText<25> name;
    TText<12> user;
    while (cursor->GetNextRecord(image) == 0) {
      cursor->GetField(kStaffId, image, id);
      ReadText(kStaffName, image, &name);
      ReadText(kUserId, image, &user);
      result.Checksum +=
          MixRecord(static_cast<std::int32_t>(DecodeFixed32(id)), name.View(), user.View());
      ++result.Count;
      if (stop != nullptr && (result.Count & 255) == 0 && stop->load(std::memory_order_relaxed)) {
        break;
      }
    }
    return result;
  }

  bool UpdateName(std::int32_t staff_id, const TText<25>& name) override {
    if (!FindStaff(staff_id)) return false;
    // The edit as the table component runs it: read the record for editing (locking it), change
    // the field, post and unlock.
    std::uint8_t* image = image_.data();
    if (cursor_->FetchCurrent(image, true) != 0) return false;
    SetText(kStaffName, name);
    cursor_->PostEdit(image, true, false);
    return true;
  }

  bool DeleteByStaffId(std::int32_t staff_id) override {
    if (!FindStaff(staff_id)) return false;
    cursor_->DeleteCurrent(image_.data(), false);
    return true;
  }

  std::int64_t Count() override { return cursor_->GetRecordCount(); }

 private:
  void UseDirectory(const std::string& directory) {
    if (database_ != nullptr && database_->Path() == NormalizeDirectory(directory)) return;
    natural_.reset();
    cursor_.reset();
    if (database_ != nullptr) session_->CloseDatabase(database_);
    database_ = session_->OpenDatabase("", directory);
  }

  void UseIndex(const std::string& name) {
    if (name == index_ && !index_unset_) return;
    cursor_->SetIndexName(name);
    index_ = name;
    index_unset_ = false;
  }

  // Positions on the record with this staff number, its image in image_.
  bool FindStaff(std::int32_t staff_id) {
    UseIndex("STAFF_ID");
    std::uint8_t value[4];
    EncodeFixed32(value, static_cast<std::uint32_t>(staff_id));
    cursor_->SetField(kStaffId, key_image_.data(), value, sizeof value);
    return cursor_->Find(false, key_image_.data(), false, 1, 0, image_.data());
  }

  void SetInteger(std::uint16_t field, std::int32_t value) {
    std::uint8_t bytes[4];
    EncodeFixed32(bytes, static_cast<std::uint32_t>(value));
    cursor_->SetField(field, image_.data(), bytes, sizeof bytes);
  }
  void SetBoolean(std::uint16_t field, bool value) {
    std::uint8_t bytes[2];
    EncodeFixed16(bytes, value ? 1 : 0);
    cursor_->SetField(field, image_.data(), bytes, sizeof bytes);
  }
  template <std::size_t Capacity>
  void SetText(std::uint16_t field, const TText<Capacity>& text) {
    cursor_->SetField(field, image_.data(), reinterpret_cast<const std::uint8_t*>(text.data),
                      text.size);
  }
  template <std::size_t Capacity>
  void ReadText(std::uint16_t field, const std::uint8_t* image, TText<Capacity>* out) {
    std::uint8_t value[256];
    const bool is_null = cursor_->GetField(field, image, value);
    const std::size_t size = is_null ? 0 : strnlen(reinterpret_cast<const char*>(value), Capacity);
    std::memcpy(out->data, value, size);
    out->data[size] = '\0';
    out->size = static_cast<std::uint8_t>(size);
  }

  static void Check(int code) {
    if (code != 0) {
      throw std::runtime_error("engine error " + std::to_string(code < 0 ? -code : code));
    }
  }

  TSideOptions options_;
  std::unique_ptr<TDataSession> session_;
  TDataDirectory* database_ = nullptr;  // owned by session_
  std::unique_ptr<TDataCursor> cursor_;
  std::unique_ptr<TDataCursor> natural_;  // record-number order, opened by the first such scan
  std::vector<std::uint8_t> image_;
  std::vector<std::uint8_t> key_image_;
  std::string index_;
  bool index_unset_ = true;
};

}  // namespace

std::unique_ptr<TBenchSide> MakeTabulaSide(const TSideOptions& options) {
  return std::make_unique<TTabulaSide>(options);
}

}  // namespace tabula::bench
