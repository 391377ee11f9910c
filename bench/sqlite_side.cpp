// The SQLite side: the staff table with equivalent indexes, rollback journal and normal locking
// (the mode that lets several processes share the file), every statement prepared once with
// bound parameters.
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "bench/bench_side.h"

namespace tabula::bench {

namespace {

constexpr const char* kDatabaseFile = "staff.db";

// Record_ID is the rowid (the primary index of the table); the engine's case-insensitive
// indexes are NOCASE here.
constexpr const char* kCreateSql =
    "CREATE TABLE Staff ("
    " Record_ID INTEGER PRIMARY KEY,"
    " Staff_ID INTEGER,"
    " Staff_Name TEXT,"
    " Active INTEGER, Nutritionist INTEGER, Case_Manager INTEGER, Driver INTEGER,"
    " Volunteer INTEGER,"
    " Password TEXT, Access_Level TEXT, User_ID TEXT, PreferredTab TEXT, DSort_Order TEXT,"
    " Visible_Tabs INTEGER, DTab INTEGER, Conserve_Resources TEXT,"
    " Preferred_Delivery_Report INTEGER, Preferred_Counseling_Report INTEGER,"
    " Preferred_Alerts_Report INTEGER, Preferred_Agency_Report INTEGER,"
    " Execute_OnOpen_Query INTEGER, Execute_OnClose_Query INTEGER,"
    " Prepare_Data_Prompt TEXT, Display_Prepared_Data TEXT,"
    " Create_Date INTEGER, Last_Updated REAL);"
    "CREATE INDEX STAFF_NAME ON Staff (Staff_Name COLLATE NOCASE);"
    "CREATE UNIQUE INDEX STAFF_ID ON Staff (Staff_ID);"
    "CREATE INDEX USER_ID ON Staff (User_ID COLLATE NOCASE);";

constexpr const char* kInsertSql =
    "INSERT INTO Staff VALUES (NULL, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?,"
    " ?, ?, ?, ?, ?)";
constexpr const char* kLookupSql = "SELECT Staff_Name FROM Staff WHERE Staff_ID = ?";
constexpr const char* kScanByNameSql =
    "SELECT Staff_ID, Staff_Name, User_ID FROM Staff ORDER BY Staff_Name COLLATE NOCASE";
constexpr const char* kScanNaturalSql = "SELECT Staff_ID, Staff_Name, User_ID FROM Staff";
constexpr const char* kUpdateSql = "UPDATE Staff SET Staff_Name = ? WHERE Staff_ID = ?";
constexpr const char* kDeleteSql = "DELETE FROM Staff WHERE Staff_ID = ?";
constexpr const char* kCountSql = "SELECT count(*) FROM Staff";
constexpr const char* kBeginSql = "BEGIN";
constexpr const char* kCommitSql = "COMMIT";

class TSqliteSide : public TBenchSide {
 public:
  explicit TSqliteSide(const TSideOptions& options) : options_(options) {}
  ~TSqliteSide() override { Close(); }

  void CreateTable(const std::string& directory) override {
    OpenConnection(directory);
    Exec(kCreateSql);
    CloseConnection();
  }

  void Open(const std::string& directory) override {
    OpenConnection(directory);
    insert_ = Prepare(kInsertSql);
    lookup_ = Prepare(kLookupSql);
    scan_by_name_ = Prepare(kScanByNameSql);
    scan_natural_ = Prepare(kScanNaturalSql);
    update_ = Prepare(kUpdateSql);
    delete_ = Prepare(kDeleteSql);
    count_ = Prepare(kCountSql);
    begin_ = Prepare(kBeginSql);
    commit_ = Prepare(kCommitSql);
    CheckPlans();
  }

  void Close() override {
    for (sqlite3_stmt** statement : {&insert_, &lookup_, &scan_by_name_, &scan_natural_, &update_,
                                     &delete_, &count_, &begin_, &commit_}) {
      sqlite3_finalize(*statement);
      *statement = nullptr;
    }
    CloseConnection();
  }

  void StartTransaction() override { StepDone(begin_); }
  void Commit() override { StepDone(commit_); }

  void Insert(const TStaffRow& row) override {
    sqlite3_stmt* s = insert_;
    int at = 1;
    sqlite3_bind_int(s, at++, row.StaffId);
    BindText(s, at++, row.StaffName);
    sqlite3_bind_int(s, at++, row.Active);
    sqlite3_bind_int(s, at++, row.Nutritionist);
    sqlite3_bind_int(s, at++, row.CaseManager);
    sqlite3_bind_int(s, at++, row.Driver);
    sqlite3_bind_int(s, at++, row.Volunteer);
    BindText(s, at++, row.Password);
    BindText(s, at++, row.AccessLevel);
    BindText(s, at++, row.UserId);
    BindText(s, at++, row.PreferredTab);
    BindText(s, at++, row.DSortOrder);
    sqlite3_bind_int(s, at++, row.VisibleTabs);
    sqlite3_bind_int(s, at++, row.DTab);
    BindText(s, at++, row.ConserveResources);
    sqlite3_bind_int(s, at++, row.PreferredDeliveryReport);
    sqlite3_bind_int(s, at++, row.PreferredCounselingReport);
    sqlite3_bind_int(s, at++, row.PreferredAlertsReport);
    sqlite3_bind_int(s, at++, row.PreferredAgencyReport);
    sqlite3_bind_int(s, at++, row.ExecuteOnOpenQuery);
    sqlite3_bind_int(s, at++, row.ExecuteOnCloseQuery);
    BindText(s, at++, row.PrepareDataPrompt);
    BindText(s, at++, row.DisplayPreparedData);
    sqlite3_bind_int(s, at++, row.CreateDate);
    sqlite3_bind_double(s, at++, row.LastUpdated);
    StepDone(s);
  }

  bool LookupByStaffId(std::int32_t staff_id, TText<25>* name) override {
    sqlite3_bind_int(lookup_, 1, staff_id);
    const int rc = sqlite3_step(lookup_);
    bool found = false;
    if (rc == SQLITE_ROW) {
      found = true;
      CopyText(lookup_, 0, name);
    } else if (rc != SQLITE_DONE) {
      Fail("lookup");
    }
    sqlite3_reset(lookup_);
    return found;
  }

  TScanResult Scan(bool by_name, const std::atomic<bool>* stop) override {
    sqlite3_stmt* s = by_name ? scan_by_name_ : scan_natural_;
    TScanResult result;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
      const int name_size = sqlite3_column_bytes(s, 1);
      const auto* user = reinterpret_cast<const char*>(sqlite3_column_text(s, 2));
      const int user_size = sqlite3_column_bytes(s, 2);
      result.Checksum += MixRecord(sqlite3_column_int(s, 0),
                                   std::string_view(name, static_cast<std::size_t>(name_size)),
                                   std::string_view(user, static_cast<std::size_t>(user_size)));
      ++result.Count;
      if (stop != nullptr && (result.Count & 255) == 0 && stop->load(std::memory_order_relaxed)) {
        rc = SQLITE_DONE;
        break;
      }
    }
    if (rc != SQLITE_DONE) Fail("scan");
    sqlite3_reset(s);
    return result;
  }

  bool UpdateName(std::int32_t staff_id, const TText<25>& name) override {
    BindText(update_, 1, name);
    sqlite3_bind_int(update_, 2, staff_id);
    StepDone(update_);
    return sqlite3_changes(db_) == 1;
  }

  bool DeleteByStaffId(std::int32_t staff_id) override {
    sqlite3_bind_int(delete_, 1, staff_id);
    StepDone(delete_);
    return sqlite3_changes(db_) == 1;
  }

  std::int64_t Count() override {
    if (sqlite3_step(count_) != SQLITE_ROW) Fail("count");
    const std::int64_t count = sqlite3_column_int64(count_, 0);
    sqlite3_reset(count_);
    return count;
  }

 private:
  void OpenConnection(const std::string& directory) {
    const std::string path = directory + "/" + kDatabaseFile;
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      Fail("open " + path);
    }
    // Another process may hold the lock for a while (the two-process workload).
    sqlite3_busy_timeout(db_, 600000);
    Exec("PRAGMA journal_mode=DELETE");
    Exec("PRAGMA locking_mode=NORMAL");
    Exec(options_.Durability == TDurability::kDurable ? "PRAGMA synchronous=FULL"
                                                      : "PRAGMA synchronous=OFF");
    const std::string cache = "PRAGMA cache_size=-" +
                              std::to_string(std::max<std::int64_t>(options_.CacheBytes / 1024, 1));
    Exec(cache.c_str());
  }

  // The comparison is only fair while SQLite answers through its indexes: the lookup through
  // STAFF_ID, the ordered scan through STAFF_NAME without a sort of its own.
  void CheckPlans() {
    auto plan = [this](const std::string& sql) {
      sqlite3_stmt* s = Prepare(("EXPLAIN QUERY PLAN " + sql).c_str());
      std::string text;
      while (sqlite3_step(s) == SQLITE_ROW) {
        text += reinterpret_cast<const char*>(sqlite3_column_text(s, 3));
        text += "; ";
      }
      sqlite3_finalize(s);
      return text;
    };
    const std::string lookup = plan(kLookupSql);
    const std::string ordered = plan(kScanByNameSql);
    if (lookup.find("USING INDEX STAFF_ID") == std::string::npos ||
        ordered.find("STAFF_NAME") == std::string::npos ||
        ordered.find("TEMP B-TREE") != std::string::npos) {
      throw std::runtime_error("sqlite: unexpected query plans: " + lookup + "| " + ordered);
    }
  }

  void CloseConnection() {
    if (db_ != nullptr) sqlite3_close(db_);
    db_ = nullptr;
  }

  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
      Fail(std::string("prepare ") + sql);
    }
    return statement;
  }

  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string message = error != nullptr ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(std::string("sqlite: ") + sql + ": " + message);
    }
  }

  void StepDone(sqlite3_stmt* statement) {
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (rc != SQLITE_DONE) Fail(sqlite3_sql(statement));
  }

  template <std::size_t Capacity>
  static void BindText(sqlite3_stmt* statement, int at, const TText<Capacity>& text) {
    sqlite3_bind_text(statement, at, text.data, text.size, SQLITE_STATIC);
  }

  template <std::size_t Capacity>
  static void CopyText(sqlite3_stmt* statement, int column, TText<Capacity>* out) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    std::size_t size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
    if (size > Capacity) size = Capacity;
    if (size > 0) std::memcpy(out->data, text, size);
    out->data[size] = '\0';
    out->size = static_cast<std::uint8_t>(size);
  }

  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error("sqlite: " + what + ": " +
                             (db_ != nullptr ? sqlite3_errmsg(db_) : "no connection"));
  }

  TSideOptions options_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* lookup_ = nullptr;
  sqlite3_stmt* scan_by_name_ = nullptr;
  sqlite3_stmt* scan_natural_ = nullptr;
  sqlite3_stmt* update_ = nullptr;
  sqlite3_stmt* delete_ = nullptr;
  sqlite3_stmt* count_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
};

}  // namespace

std::unique_ptr<TBenchSide> MakeSqliteSide(const TSideOptions& options) {
  return std::make_unique<TSqliteSide>(options);
}

}  // namespace tabula::bench
