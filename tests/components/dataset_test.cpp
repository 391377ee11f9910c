#include "components/dataset.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "components/data_link.h"
#include "components/params.h"
#include "engine/base/coding.h"

namespace tabula {
namespace {

// A dataset over rows kept in memory, enough to drive the framework: each row is the values
// of its fields in the stored form, each behind a null flag. Record buffers hold the row image,
// the calculated part, a bookmark flag and the row's identifier as its bookmark.
class TMemoryDataSet : public TDataSet {
 public:
  explicit TMemoryDataSet(std::vector<std::string>* log = nullptr) : log_(log) {
    FieldDefs().Add("Id", ftInteger);
    FieldDefs().Add("Name", ftString, 10);
    FieldDefs().Add("Active", ftBoolean);
  }
  ~TMemoryDataSet() override { DestroyDataSet(); }

  // Appends a stored row directly (not through the dataset).
  void AddRow(std::int32_t id, const std::string& name) {
    std::vector<std::uint8_t> row(row_size_, 0);
    row[0] = 1;
    EncodeFixed32(&row[1], static_cast<std::uint32_t>(id));
    row[5] = 1;
    std::memcpy(&row[6], name.data(), std::min<std::size_t>(name.size(), 10));
    rows_.push_back({next_id_++, row});
  }
  int RowCount() const { return static_cast<int>(rows_.size()); }
  std::string StoredName(int row) const {
    return reinterpret_cast<const char*>(&rows_[static_cast<std::size_t>(row)].image[6]);
  }

  bool GetFieldData(const TField& field, std::uint8_t* buffer) const override {
    const std::uint8_t* record = ActiveBuffer();
    if (record == nullptr) return false;
    const std::uint8_t* area =
        field.Calculated() ? record + row_size_ + field.Offset() : record + OffsetOf(field);
    if (area[0] == 0) return false;
    std::memcpy(buffer, area + 1, field.DataSize());
    return true;
  }
  void SetFieldData(TField& field, const std::uint8_t* value, std::size_t size) override {
    if (State() != dsEdit && State() != dsInsert && State() != dsCalcFields) {
      DatabaseError(kNotEditing);
    }
    std::uint8_t* record = ActiveBuffer();
    std::uint8_t* area =
        field.Calculated() ? record + row_size_ + field.Offset() : record + OffsetOf(field);
    std::memset(area, 0, 1 + field.DataSize());
    if (value != nullptr) {
      area[0] = 1;
      std::memcpy(area + 1, value, std::min(size, field.DataSize()));
    }
    FieldChanged(field);
  }

  bool fail_post_once = false;

 protected:
  void Log(const std::string& text) {
    if (log_ != nullptr) log_->push_back(text);
  }
  void InternalInitFieldDefs() override {}
  void InternalOpen() override {
    CreateFields();
    pos_ = -1;
  }
  void InternalClose() override {}
  void InternalFirst() override { pos_ = -1; }
  void InternalLast() override { pos_ = RowCount(); }
  TGetResult GetRecord(std::uint8_t* buffer, TGetMode mode, bool) override {
    for (;;) {
      if (mode == gmNext) {
        if (pos_ >= RowCount()) return grEOF;
        if (++pos_ >= RowCount()) return grEOF;
      } else if (mode == gmPrior) {
        if (pos_ < 0) return grBOF;
        if (--pos_ < 0) return grBOF;
      } else if (pos_ < 0 || pos_ >= RowCount()) {
        return grError;
      }
      const Row& row = rows_[static_cast<std::size_t>(pos_)];
      std::memcpy(buffer, row.image.data(), row_size_);
      buffer[InfoOffset()] = bfCurrent;
      EncodeFixed32(buffer + InfoOffset() + 1, static_cast<std::uint32_t>(row.id));
      GetCalcFields(buffer);
      if (FilterRecord(buffer)) return grOK;
      if (mode == gmCurrent) return grError;
    }
  }
  std::size_t RecordBufferSize() const override { return InfoOffset() + 5; }
  void InternalInitRecord(std::uint8_t* buffer) override {
    std::memset(buffer, 0, RecordBufferSize());
  }
  void InternalEdit() override { Log("InternalEdit"); }
  void InternalPost() override {
    Log("InternalPost");
    if (fail_post_once) {
      fail_post_once = false;
      DatabaseError("post failed");
    }
    std::vector<std::uint8_t> image(ActiveBuffer(), ActiveBuffer() + row_size_);
    if (State() == dsInsert) {
      const int at = std::max(0, std::min(pos_, RowCount()));
      rows_.insert(rows_.begin() + at, {next_id_++, image});
      pos_ = at;
    } else {
      rows_[static_cast<std::size_t>(pos_)].image = image;
    }
  }
  void InternalDelete() override {
    rows_.erase(rows_.begin() + pos_);
    if (pos_ >= RowCount()) pos_ = RowCount() - 1;
  }
  void InternalSetToRecord(std::uint8_t* buffer) override {
    InternalGotoBookmark(buffer + InfoOffset() + 1);
  }
  void InternalGotoBookmark(const std::uint8_t* bookmark) override {
    const auto id = static_cast<std::int32_t>(DecodeFixed32(bookmark));
    for (int i = 0; i < RowCount(); ++i) {
      if (rows_[static_cast<std::size_t>(i)].id == id) pos_ = i;
    }
  }
  std::size_t BookmarkSize() const override { return 4; }
  TBookmarkFlag GetBookmarkFlag(const std::uint8_t* buffer) const override {
    return static_cast<TBookmarkFlag>(buffer[InfoOffset()]);
  }
  void SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) override {
    buffer[InfoOffset()] = flag;
  }
  void GetBookmarkData(const std::uint8_t* buffer, std::uint8_t* data) const override {
    std::memcpy(data, buffer + InfoOffset() + 1, 4);
  }
  void SetBookmarkData(std::uint8_t* buffer, const std::uint8_t* data) override {
    std::memcpy(buffer + InfoOffset() + 1, data, 4);
  }
  void ClearCalcFields(std::uint8_t* buffer) override {
    std::memset(buffer + row_size_, 0, CalcFieldsSize());
  }

 private:
  struct Row {
    std::int32_t id;
    std::vector<std::uint8_t> image;
  };
  static std::size_t OffsetOf(const TField& field) {
    static const std::size_t kOffsets[] = {0, 0, 5, 17};
    return kOffsets[field.FieldNo()];
  }
  std::size_t InfoOffset() const { return row_size_ + CalcFieldsSize(); }

  std::vector<std::string>* log_;
  const std::size_t row_size_ = 20;  // 1+4, 1+11, 1+2
  std::vector<Row> rows_;
  std::int32_t next_id_ = 1;
  int pos_ = -1;
};

void LogEvents(TDataSet& dataset, std::vector<std::string>& log) {
  auto add = [&log](const char* name) { return [&log, name](TDataSet&) { log.push_back(name); }; };
  dataset.BeforeOpen = add("BeforeOpen");
  dataset.AfterOpen = add("AfterOpen");
  dataset.BeforeClose = add("BeforeClose");
  dataset.AfterClose = add("AfterClose");
  dataset.BeforeInsert = add("BeforeInsert");
  dataset.AfterInsert = add("AfterInsert");
  dataset.BeforeEdit = add("BeforeEdit");
  dataset.AfterEdit = add("AfterEdit");
  dataset.BeforePost = add("BeforePost");
  dataset.AfterPost = add("AfterPost");
  dataset.BeforeCancel = add("BeforeCancel");
  dataset.AfterCancel = add("AfterCancel");
  dataset.BeforeDelete = add("BeforeDelete");
  dataset.AfterDelete = add("AfterDelete");
  dataset.BeforeScroll = add("BeforeScroll");
  dataset.AfterScroll = add("AfterScroll");
  dataset.BeforeRefresh = add("BeforeRefresh");
  dataset.AfterRefresh = add("AfterRefresh");
  dataset.OnNewRecord = add("OnNewRecord");
}

std::vector<std::string> Names(TDataSet& dataset) {
  std::vector<std::string> names;
  for (dataset.First(); !dataset.Eof(); dataset.Next()) {
    names.push_back(dataset.FieldByName("name").AsString());
  }
  return names;
}

TEST(DataSetTest, OperationsFireTheirEventsInOrderAndEndInTheirStates) {
  std::vector<std::string> log;
  TMemoryDataSet dataset(&log);
  dataset.AddRow(1, "Ann");
  LogEvents(dataset, log);
  struct Row {
    const char* operation;
    std::function<void()> run;
    TDataSetState state;
    std::vector<std::string> events;
  };
  const std::vector<Row> rows = {
      {"open", [&] { dataset.Open(); }, dsBrowse, {"BeforeOpen", "AfterOpen", "AfterScroll"}},
      {"edit", [&] { dataset.Edit(); }, dsEdit, {"BeforeEdit", "InternalEdit", "AfterEdit"}},
      {"post unmodified",
       [&] { dataset.Post(); },
       dsBrowse,
       {"BeforePost", "InternalPost", "AfterPost"}},
      {"insert",
       [&] { dataset.Insert(); },
       dsInsert,
       {"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}},
      {"cancel", [&] { dataset.Cancel(); }, dsBrowse, {"BeforeCancel", "AfterCancel"}},
      {"append and post",
       [&] {
         dataset.Append();
         dataset.FieldByName("NAME").SetAsString("Bob");
         dataset.Post();
       },
       dsBrowse,
       {"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll", "BeforePost",
        "InternalPost", "AfterPost"}},
      {"delete",
       [&] { dataset.Delete(); },
       dsBrowse,
       {"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}},
      {"refresh", [&] { dataset.Refresh(); }, dsBrowse, {"BeforeRefresh", "AfterRefresh"}},
      {"close", [&] { dataset.Close(); }, dsInactive, {"BeforeClose", "AfterClose"}},
  };
  for (const Row& row : rows) {
    log.clear();
    row.run();
    EXPECT_EQ(log, row.events) << row.operation;
    EXPECT_EQ(dataset.State(), row.state) << row.operation;
    dataset.AssertInvariants();
  }
  EXPECT_EQ(dataset.RowCount(), 1);
  EXPECT_EQ(dataset.StoredName(0), "Ann");
}

TEST(DataSetTest, AbortInBeforePostKeepsTheRecordBeingInserted) {
  TMemoryDataSet dataset;
  dataset.Open();
  dataset.BeforePost = [](TDataSet& d) {
    d.FieldByName("Name").Clear();
    throw EAbort();
  };
  dataset.Insert();
  dataset.FieldByName("Name").SetAsString("Eve");
  EXPECT_THROW(dataset.Post(), EAbort);
  EXPECT_EQ(dataset.State(), dsInsert);
  EXPECT_TRUE(dataset.FieldByName("Name").IsNull());
  EXPECT_EQ(dataset.RowCount(), 0);
  dataset.BeforePost = nullptr;
  dataset.FieldByName("Name").SetAsString("Eve");
  dataset.Post();
  EXPECT_EQ(dataset.RowCount(), 1);
}

TEST(DataSetTest, PostErrorActionsRetryAbortOrFail) {
  TMemoryDataSet dataset;
  dataset.Open();
  for (TDataAction action : {daRetry, daAbort, daFail}) {
    dataset.Insert();
    dataset.FieldByName("Name").SetAsString("X");
    dataset.fail_post_once = true;
    dataset.OnPostError = [action](TDataSet&, EDatabaseError&, TDataAction& a) { a = action; };
    if (action == daRetry) {
      dataset.Post();
      EXPECT_EQ(dataset.State(), dsBrowse);
    } else if (action == daAbort) {
      EXPECT_THROW(dataset.Post(), EAbort);
      EXPECT_EQ(dataset.State(), dsInsert);
      dataset.Cancel();
    } else {
      EXPECT_THROW(dataset.Post(), EDatabaseError);
      dataset.Cancel();
    }
  }
  EXPECT_EQ(dataset.RowCount(), 1);
}

TEST(DataSetTest, NavigationStopsAtBothEndsWithoutErrors) {
  TMemoryDataSet dataset;
  dataset.Open();
  EXPECT_TRUE(dataset.Bof());
  EXPECT_TRUE(dataset.Eof());
  EXPECT_TRUE(dataset.IsEmpty());
  dataset.Close();
  for (int i = 0; i < 5; ++i) dataset.AddRow(i, "R" + std::to_string(i));
  dataset.Open();
  EXPECT_EQ(Names(dataset), (std::vector<std::string>{"R0", "R1", "R2", "R3", "R4"}));
  EXPECT_EQ(dataset.MoveBy(1), 0);
  EXPECT_EQ(dataset.FieldByName("Name").AsString(), "R4");
  dataset.Prior();
  EXPECT_EQ(dataset.FieldByName("Name").AsString(), "R3");
  dataset.First();
  EXPECT_EQ(dataset.MoveBy(-1), 0);
  EXPECT_TRUE(dataset.Bof());
  EXPECT_EQ(dataset.MoveBy(10), 4);
  EXPECT_TRUE(dataset.Eof());
  dataset.Last();
  EXPECT_EQ(dataset.FieldByName("Name").AsString(), "R4");
  EXPECT_EQ(dataset.MoveBy(-3), -3);
  EXPECT_EQ(dataset.FieldByName("Name").AsString(), "R1");
}

// A grid-like link: reads every row of its window.
class TRowsLink : public TDataLink {
 public:
  std::vector<std::string> Rows() {
    std::vector<std::string> rows;
    const int active = ActiveRecord();
    for (int i = 0; i < RecordCount(); ++i) {
      SetActiveRecord(i);
      rows.push_back(DataSet()->FieldByName("Name").AsString());
    }
    SetActiveRecord(active);
    return rows;
  }
};

TEST(DataSetTest, ALinkWindowFollowsTheActiveRecord) {
  TMemoryDataSet dataset;
  for (int i = 0; i < 8; ++i) dataset.AddRow(i, "R" + std::to_string(i));
  TDataSource source;
  source.SetDataSet(&dataset);
  TRowsLink link;
  link.SetBufferCount(3);
  link.SetDataSource(&source);
  dataset.Open();
  EXPECT_EQ(dataset.BufferCount(), 3);
  EXPECT_EQ(link.Rows(), (std::vector<std::string>{"R0", "R1", "R2"}));
  struct Step {
    int move;
    std::vector<std::string> rows;
    int active_row;
    const char* current;
  };
  const std::vector<Step> steps = {
      {2, {"R0", "R1", "R2"}, 2, "R2"},  {1, {"R1", "R2", "R3"}, 2, "R3"},
      {3, {"R4", "R5", "R6"}, 2, "R6"},  {-2, {"R4", "R5", "R6"}, 0, "R4"},
      {-1, {"R3", "R4", "R5"}, 0, "R3"},
  };
  for (const Step& step : steps) {
    dataset.MoveBy(step.move);
    EXPECT_EQ(link.Rows(), step.rows) << step.move;
    EXPECT_EQ(link.ActiveRecord(), step.active_row) << step.move;
    EXPECT_EQ(dataset.FieldByName("Name").AsString(), step.current) << step.move;
    dataset.AssertInvariants();
  }
  // Inserting in the middle of a full window shows the new row in place of the active one.
  dataset.Insert();
  EXPECT_EQ(link.Rows(), (std::vector<std::string>{"", "R3", "R4"}));
  dataset.Cancel();
  EXPECT_EQ(dataset.FieldByName("Name").AsString(), "R3");
  dataset.Last();
  EXPECT_EQ(link.Rows(), (std::vector<std::string>{"R5", "R6", "R7"}));
}

TEST(DataSetTest, FieldsConvertBetweenTypesAndRefuseBadText) {
  TMemoryDataSet dataset;
  dataset.AddRow(41, "42");
  dataset.Open();
  TField& id = dataset.FieldByName("ID");
  TField& name = dataset.FieldByName("name");
  TField& active = dataset.FieldByName("Active");
  EXPECT_EQ(id.AsInteger(), 41);
  EXPECT_EQ(id.AsString(), "41");
  EXPECT_EQ(name.AsInteger(), 42);
  EXPECT_TRUE(active.IsNull());
  EXPECT_FALSE(active.AsBoolean());
  EXPECT_THROW(name.SetAsString("x"), EDatabaseError);  // browsing
  dataset.Edit();
  struct Row {
    TField* field;
    std::string text;
    std::string read_back;
  };
  const std::vector<Row> rows = {
      {&active, "true", "True"},
      {&active, "F", "False"},
      {&id, " 7 ", "7"},
      {&id, "", ""},
      {&name, "twelve chars", "twelve cha"},
      {&name, "", ""},
  };
  for (const Row& row : rows) {
    row.field->SetAsString(row.text);
    EXPECT_EQ(row.field->AsString(), row.read_back) << row.text;
  }
  EXPECT_THROW(id.SetAsString("7x"), EDatabaseError);
  EXPECT_THROW(active.SetAsString("maybe"), EDatabaseError);
  EXPECT_THROW(dataset.FieldByName("Missing"), EDatabaseError);
  EXPECT_TRUE(dataset.Modified());
  dataset.Cancel();
  EXPECT_EQ(dataset.FieldByName("Id").AsInteger(), 41);
}

// Names are found without regard to case among many fields, including names whose hashes meet
// (same length, same first and last eight bytes) and bytes that only fold together by accident.
TEST(DataSetTest, FieldsAreFoundByNameAmongManyFields) {
  TMemoryDataSet dataset;
  const std::vector<std::string> names = {"Prefix__A__Suffix_", "Prefix__B__Suffix_", "Code0",
                                          "X", "Preferred_Alerts_Report",
                                          "Preferred_Agency_Report"};
  for (const std::string& name : names) dataset.AddCalcField(name, ftInteger);
  for (int i = 0; i < 40; ++i) dataset.AddCalcField("Extra" + std::to_string(i), ftInteger);
  EXPECT_THROW(dataset.AddCalcField("code0", ftInteger), EDatabaseError);  // taken
  for (int pass = 0; pass < 2; ++pass) {
    dataset.Open();  // the data fields join ahead of the calculated ones
    struct Row {
      std::string lookup;
      std::string found;  // empty: none
    };
    const std::vector<Row> rows = {
        {"prefix__a__suffix_", "Prefix__A__Suffix_"},
        {"PREFIX__B__SUFFIX_", "Prefix__B__Suffix_"},
        {"Prefix__C__Suffix_", ""},
        {"CODE0", "Code0"},
        {std::string("CODE") + '\x10', ""},
        {"x", "X"},
        {"", ""},
        {"preferred_agency_report", "Preferred_Agency_Report"},
        {"Preferred_Alerts_Report", "Preferred_Alerts_Report"},
        {"extra39", "Extra39"},
        {"Extra40", ""},
        {"id", "Id"},
        {"NAME", "Name"},
        {"Nam", ""},
    };
    for (const Row& row : rows) {
      const TField* field = dataset.FindField(row.lookup);
      EXPECT_EQ(field == nullptr ? std::string() : field->FieldName(), row.found)
          << "pass " << pass << ": " << row.lookup;
    }
    EXPECT_EQ(dataset.FieldByName("extra7").Index(), dataset.FieldByName("EXTRA6").Index() + 1);
    EXPECT_THROW(dataset.FieldByName("Extra40"), EDatabaseError);
    dataset.Close();  // the data fields leave, the calculated ones stay
    EXPECT_EQ(dataset.FindField("Name"), nullptr);
    EXPECT_EQ(dataset.FindField("NAME"), nullptr) << "a name just looked up is not remembered";
    EXPECT_NE(dataset.FindField("EXTRA0"), nullptr);
  }
}

TEST(DataSetTest, FieldsLookedUpInARepeatingOrderAreFoundExactly) {
  // Loops an application might run over every record: the same names in one order, then in
  // another, with names that differ in case or in one byte, a missing name and the empty name.
  using TLoop = std::vector<std::pair<std::string, std::string>>;  // lookup, field found
  const std::vector<TLoop> loops = {
      {{"Alpha", "Alpha"}, {"Beta", "Beta"}, {"Gamma", "Gamma"}},
      {{"Gamma", "Gamma"}, {"ALPHA", "Alpha"}, {"Nope", ""}, {"beta", "Beta"}, {"", ""}},
      {{"Beta", "Beta"}, {"Betb", ""}, {"Beta", "Beta"}, {"alpha2", "Alpha2"}},
      {{"Id", "Id"}, {"Delta", "Delta"}, {"NAME", "Name"}, {"Delta", "Delta"}},
  };
  TMemoryDataSet dataset;
  for (const char* name : {"Alpha", "Beta", "Gamma", "Alpha2"}) {
    dataset.AddCalcField(name, ftInteger);
  }
  auto run = [&](const TLoop& loop, const std::string& when) {
    for (int round = 0; round < 3; ++round) {
      for (const auto& [lookup, found] : loop) {
        const TField* field = dataset.FindField(lookup);
        EXPECT_EQ(field == nullptr ? std::string() : field->FieldName(), found)
            << when << ", round " << round << ": " << lookup;
      }
    }
  };
  for (int i = 0; i < 3; ++i) run(loops[static_cast<std::size_t>(i)], "closed");
  // The field list changes: what was learnt about the old list is not used.
  dataset.AddCalcField("Delta", ftInteger);
  dataset.Open();
  for (const TLoop& loop : loops) run(loop, "open");
  dataset.Close();
  run({{"Id", ""}, {"Delta", "Delta"}, {"NAME", ""}, {"Alpha", "Alpha"}}, "closed again");
}

TEST(DataSetTest, CalculatedFieldsFollowTheRecord) {
  TMemoryDataSet dataset;
  dataset.AddRow(2, "a");
  dataset.AddRow(5, "b");
  TField& twice = dataset.AddCalcField("Twice", ftInteger);
  dataset.OnCalcFields = [](TDataSet& d) {
    d.FieldByName("Twice").SetAsInteger(d.FieldByName("Id").AsInteger() * 2);
  };
  dataset.Open();
  EXPECT_EQ(twice.AsInteger(), 4);
  dataset.Next();
  EXPECT_EQ(twice.AsInteger(), 10);
  dataset.Edit();
  dataset.FieldByName("Id").SetAsInteger(6);
  EXPECT_EQ(twice.AsInteger(), 12);
  dataset.Post();
  EXPECT_EQ(dataset.FieldByName("Twice").AsInteger(), 12);
}

TEST(DataSetTest, LocateAndFilterRecord) {
  TMemoryDataSet dataset;
  for (const char* name : {"Ann", "bob", "Bobby", "Cy"}) dataset.AddRow(1, name);
  dataset.Open();
  EXPECT_TRUE(dataset.Locate("Name", {"BOB"}, loCaseInsensitive));
  EXPECT_EQ(dataset.FieldByName("Name").AsString(), "bob");
  EXPECT_TRUE(dataset.Locate("Name", {"Bob"}, loPartialKey));
  EXPECT_EQ(dataset.FieldByName("Name").AsString(), "Bobby");
  EXPECT_FALSE(dataset.Locate("Name", {"Dan"}, 0));
  EXPECT_EQ(dataset.FieldByName("Name").AsString(), "Bobby");
  // Lookup reads another record without moving.
  EXPECT_EQ(dataset.Lookup("Name", {"Cy"}, "Name;Id"), (std::vector<std::string>{"Cy", "1"}));
  EXPECT_TRUE(dataset.Lookup("Name", {"Dan"}, "Id").empty());
  EXPECT_EQ(dataset.FieldByName("Name").AsString(), "Bobby");
  dataset.Next();
  EXPECT_EQ(dataset.FieldByName("Name").AsString(), "Cy");
  dataset.OnFilterRecord = [](TDataSet& d, bool& accept) {
    accept = d.FieldByName("Name").AsString().size() == 3;
  };
  dataset.SetFiltered(true);
  EXPECT_EQ(Names(dataset), (std::vector<std::string>{"Ann", "bob"}));
}

// A control stand-in bound through a field data link, as a check box or an edit box is.
struct FakeControl {
  TFieldDataLink link;
  std::string shown;
  std::string typed;
  int refreshes = 0;
  FakeControl() {
    link.OnDataChange = [this](TFieldDataLink& l) {
      ++refreshes;
      shown = l.Field() != nullptr ? l.Field()->AsString() : "";
    };
    link.OnUpdateData = [this](TFieldDataLink& l) { l.Field()->SetAsString(typed); };
  }
};

TEST(DataSetTest, FieldDataLinkEditsThroughTheControl) {
  TMemoryDataSet dataset;
  dataset.AddRow(1, "Ann");
  dataset.AddRow(2, "Bob");
  TDataSource source;
  source.SetDataSet(&dataset);
  FakeControl control;
  control.link.SetFieldName("name");
  control.link.SetDataSource(&source);
  EXPECT_EQ(control.link.Field(), nullptr);
  dataset.Open();
  ASSERT_NE(control.link.Field(), nullptr);
  EXPECT_EQ(control.shown, "Ann");
  dataset.Next();
  EXPECT_EQ(control.shown, "Bob");

  // The user types: the link enters edit mode with its notifications suspended, so the
  // control's own text survives; posting asks the control for its value.
  control.typed = "Bea";
  const int before = control.refreshes;
  control.link.SuspendDataChange();
  EXPECT_TRUE(control.link.Edit());
  control.link.Modified();
  control.link.ResumeDataChange();
  EXPECT_EQ(control.refreshes, before);
  EXPECT_EQ(dataset.State(), dsEdit);
  dataset.Post();
  EXPECT_EQ(dataset.StoredName(1), "Bea");
  EXPECT_EQ(control.shown, "Bea");

  // Reset discards the control's change.
  control.link.Edit();
  control.typed = "Zed";
  control.link.Modified();
  control.link.Reset();
  EXPECT_FALSE(control.link.IsModified());
  dataset.Post();  // unmodified: nothing written
  EXPECT_EQ(dataset.StoredName(1), "Bea");

  // A read-only link neither edits nor writes.
  control.link.SetReadOnly(true);
  EXPECT_FALSE(control.link.Edit());
  EXPECT_EQ(dataset.State(), dsBrowse);
  dataset.Close();
  EXPECT_EQ(control.link.Field(), nullptr);
}

TEST(DataSetTest, LoadingDefersOpeningUntilLoaded) {
  TMemoryDataSet dataset;
  dataset.BeginLoading();
  dataset.SetActive(true);
  EXPECT_FALSE(dataset.Active());
  dataset.EndLoading();
  EXPECT_TRUE(dataset.Active());
}

TEST(ParamsTest, ParseSqlReplacesMarkersOutsideQuotes) {
  struct Row {
    std::string sql;
    std::string parsed;
    std::vector<std::string> names;
  };
  const std::vector<Row> rows = {
      {"select count( User_ID ) from Staff where User_ID = :cUserID",
       "select count( User_ID ) from Staff where User_ID = ?",
       {"cUserID"}},
      {"a = ':x' and b = \":y\" and c = `:z` and d = :w",
       "a = ':x' and b = \":y\" and c = `:z` and d = ?",
       {"w"}},
      {"t = '12::30' and u = 12::30 and v=:p1,:p_2",
       "t = '12::30' and u = 12:30 and v=?,?",
       {"p1", "p_2"}},
      {"x = : y", "x = : y", {}},
  };
  for (const Row& row : rows) {
    TParams params;
    EXPECT_EQ(params.ParseSQL(row.sql, true), row.parsed) << row.sql;
    std::vector<std::string> names;
    for (int i = 0; i < params.Count(); ++i) names.push_back(params.Items(i).Name());
    EXPECT_EQ(names, row.names) << row.sql;
  }
}

TEST(ParamsTest, ValuesTypesAndLookup) {
  TParams params;
  params.ParseSQL("select * from t where a = :A and b = :b", true);
  EXPECT_EQ(params.ParamByName("a").DataType(), ftUnknown);
  EXPECT_FALSE(params.ParamByName("a").Bound());
  params.ParamByName("a").SetAsString("x");
  params.ParamByName("B").SetAsInteger(5);
  EXPECT_EQ(params.ParamByName("a").DataType(), ftString);
  EXPECT_EQ(params.ParamByName("b").AsString(), "5");
  EXPECT_TRUE(params.ParamByName("b").Bound());
  try {
    params.ParamByName("c");
    FAIL();
  } catch (const EDatabaseError& error) {
    EXPECT_STREQ(error.what(), "Parameter 'c' not found");
  }
  TParams again;
  again.ParseSQL("select * from t where b = :b", true);
  again.AssignValues(params);
  EXPECT_EQ(again.ParamByName("b").AsInteger(), 5);
  EXPECT_EQ(again.ParamByName("b").DataType(), ftInteger);
}

}  // namespace
}  // namespace tabula
