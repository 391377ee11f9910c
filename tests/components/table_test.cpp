#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "components/tabula.h"
#include "engine/base/coding.h"
#include "engine/base/platform_test_util.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_session.h"
#include "tests/storage/storage_test_util.h"

namespace tabula {
namespace {

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no error)";
}

// Each test gets a fresh directory and closes every session at its end.
class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = ::testing::TempDir() + "tabula_table_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    std::system(("rm -rf '" + directory_ + "' && mkdir -p '" + directory_ + "'").c_str());
  }
  void TearDown() override {
    Sessions().DefaultSession().Close();
    std::system(("rm -rf '" + directory_ + "'").c_str());
  }

  // A table of people: "People" with an auto-increment identifier, a name, a number, a flag,
  // and indexes by identifier (primary), name (case-insensitive) and number (unique).
  void DefinePeople(TTabulaTable& table, const std::string& name = "People") {
    table.SetDatabaseName(directory_);
    table.SetTableName(name);
    table.FieldDefs().Clear();
    table.FieldDefs().Add("Id", ftAutoInc);
    table.FieldDefs().Add("Name", ftString, 20);
    table.FieldDefs().Add("Number", ftInteger);
    table.FieldDefs().Add("Active", ftBoolean);
    table.FieldDefs().Add("Born", ftDate);
    table.IndexDefs().Clear();
    table.IndexDefs().Add("ById", "Id", ixPrimary | ixUnique);
    table.IndexDefs().Add("BY_NAME", "Name", ixCaseInsensitive);
    table.IndexDefs().Add("BY_NUMBER", "Number", ixUnique);
  }

  void AddPerson(TTabulaTable& table, const std::string& name, int number) {
    table.Append();
    table.FieldByName("name").SetAsString(name);
    table.FieldByName("NUMBER").SetAsInteger(number);
    table.Post();
  }

  static std::vector<std::string> Column(TTabulaTable& table, const std::string& field) {
    std::vector<std::string> values;
    for (table.First(); !table.Eof(); table.Next()) {
      values.push_back(table.FieldByName(field).AsString());
    }
    return values;
  }

  std::string directory_;
};

TEST_F(TableTest, CreatesATableAndEditsItsRecordsInIndexOrder) {
  TTabulaTable table;
  DefinePeople(table);
  EXPECT_FALSE(table.Exists());
  table.CreateTable();
  EXPECT_TRUE(table.Exists());
  table.SetIndexName("BY_NAME");
  table.Open();
  EXPECT_TRUE(table.IsEmpty());
  AddPerson(table, "Maria", 3);
  AddPerson(table, "carl", 1);
  AddPerson(table, "Bea", 2);
  EXPECT_EQ(table.RecordCount(), 3);
  EXPECT_EQ(Column(table, "Name"), (std::vector<std::string>{"Bea", "carl", "Maria"}));
  EXPECT_EQ(Column(table, "Id"), (std::vector<std::string>{"3", "2", "1"}));

  // Edit the current record: it moves to its new place in the index and stays current.
  ASSERT_TRUE(table.Locate("Name", {"carl"}, 0));
  table.Edit();
  table.FieldByName("Name").SetAsString("Zoe");
  table.Post();
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Zoe");
  EXPECT_EQ(Column(table, "Name"), (std::vector<std::string>{"Bea", "Maria", "Zoe"}));

  // Delete the first record, while editing it; the next one becomes current.
  table.First();
  table.Edit();
  table.Delete();
  EXPECT_EQ(table.State(), dsBrowse);
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Maria");
  EXPECT_EQ(table.RecordCount(), 2);

  // Another index order, then the records as stored after closing and opening again.
  table.SetIndexName("BY_NUMBER");
  EXPECT_EQ(Column(table, "Number"), (std::vector<std::string>{"1", "3"}));
  table.Close();
  table.SetIndexName("");
  table.Open();
  EXPECT_EQ(Column(table, "Name"), (std::vector<std::string>{"Maria", "Zoe"}));
  table.Last();
  table.Next();
  EXPECT_TRUE(table.Eof());
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Zoe");
  table.Close();
}

// A grid-like link: the rows of its window.
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

TEST_F(TableTest, AWindowOfRecordsMovesThroughTheIndex) {
  TTabulaTable table;
  DefinePeople(table);
  table.CreateTable();
  table.SetIndexName("BY_NAME");
  table.Open();
  for (const char* name : {"f", "b", "d", "a", "e", "c"}) AddPerson(table, name, name[0]);
  TDataSource source;
  source.SetDataSet(&table);
  TRowsLink grid;
  grid.SetBufferCount(3);
  grid.SetDataSource(&source);
  table.First();
  EXPECT_EQ(grid.Rows(), (std::vector<std::string>{"a", "b", "c"}));
  table.MoveBy(3);
  EXPECT_EQ(grid.Rows(), (std::vector<std::string>{"b", "c", "d"}));
  table.MoveBy(-2);
  table.MoveBy(4);
  EXPECT_EQ(grid.Rows(), (std::vector<std::string>{"d", "e", "f"}));
  EXPECT_EQ(table.FieldByName("Name").AsString(), "f");
  // Posting a record from the middle of the window keeps the window around it.
  table.Prior();
  table.Edit();
  table.FieldByName("Name").SetAsString("bb");
  table.Post();
  EXPECT_EQ(table.FieldByName("Name").AsString(), "bb");
  table.First();
  EXPECT_EQ(grid.Rows(), (std::vector<std::string>{"a", "b", "bb"}));
  EXPECT_EQ(table.RecNo(), 1);
  table.SetRecNo(5);
  EXPECT_EQ(table.FieldByName("Name").AsString(), "d");
  const TBookmark mark = table.GetBookmark();
  table.First();
  table.GotoBookmark(mark);
  EXPECT_EQ(table.FieldByName("Name").AsString(), "d");
  table.AssertInvariants();
}

// What an application sees of a table while it posts records and goes on from them: the
// active record (with a calculated field), its place and its bookmark after each step.
std::vector<std::string> PostAndGoOn(TTabulaTable& table) {
  std::vector<std::string> seen;
  auto see = [&](const std::string& step) {
    std::string line = step + ": ";
    for (const char* name : {"Id", "Name", "Number", "Shout"}) {
      line += table.FieldByName(name).AsString() + " ";
    }
    line += "recno " + std::to_string(table.RecNo());
    if (table.Bof()) line += " bof";
    if (table.Eof()) line += " eof";
    seen.push_back(line);
  };
  auto add = [&](bool append, const std::string& name, int number) {
    append ? table.Append() : table.Insert();
    table.FieldByName("Name").SetAsString(name);
    table.FieldByName("Number").SetAsInteger(number);
    table.Post();
    see("posted " + name);
  };
  for (const char* name : {"Kim", "Dee", "Tom", "Bob"}) add(true, name, name[0]);
  table.Next();
  see("next");
  add(false, "Ann", 1);
  table.Prior();
  see("prior");
  // An edit and a delete of a record just posted.
  add(true, "Cal", 3);
  table.Edit();
  table.FieldByName("Name").SetAsString("Zed");
  table.Post();
  see("edited");
  table.Prior();
  see("prior");
  add(false, "Eve", 5);
  table.Delete();
  see("deleted");
  // A bookmark taken on a record just posted leads back to it.
  add(true, "Gus", 7);
  const TBookmark mark = table.GetBookmark();
  table.First();
  table.GotoBookmark(mark);
  see("bookmark");
  EXPECT_TRUE(table.Locate("Name", {"Dee"}, 0));
  const TBookmark dee = table.GetBookmark();
  table.Edit();
  table.FieldByName("Number").SetAsInteger(99);
  table.Post();
  // The bookmark follows the record's key: it moved up in the order of numbers only.
  EXPECT_EQ(table.CompareBookmarks(table.GetBookmark(), dee), table.IndexName() == "BY_NUMBER");
  table.Next();
  see("next");
  table.Last();
  see("last");
  return seen;
}

TEST_F(TableTest, APostedRecordStaysCurrentWhetherTheWindowIsReadAgainOrNot) {
  // A table whose window is one record keeps the record it posted without reading it again; a
  // table under a grid reads its window again around the record. Both must show the same
  // thing, in every index order.
  for (const char* index : {"", "BY_NAME", "BY_NUMBER"}) {
    SCOPED_TRACE(std::string("index '") + index + "'");
    std::vector<std::string> seen[2];
    for (int grid = 0; grid < 2; ++grid) {
      TTabulaTable table;
      DefinePeople(table, std::string("Posted") + std::to_string(grid) + index);
      table.CreateTable();
      table.SetIndexName(index);
      TField& shout = table.AddCalcField("Shout", ftString, 20);
      table.OnCalcFields = [&shout](TDataSet& d) {
        shout.SetAsString(d.FieldByName("Name").AsString() + "!");
      };
      TDataSource source;
      TRowsLink rows;
      if (grid == 1) {
        source.SetDataSet(&table);
        rows.SetBufferCount(3);
        rows.SetDataSource(&source);
      }
      table.Open();
      seen[grid] = PostAndGoOn(table);
      table.AssertInvariants();
      table.Close();
    }
    EXPECT_EQ(seen[0], seen[1]);
    // A few of the answers spelled out, in the order of the primary index.
    if (std::string(index).empty()) {
      EXPECT_EQ(seen[0][0], "posted Kim: 1 Kim 75 Kim! recno 1");
      EXPECT_EQ(seen[0][4], "next: 4 Bob 66 Bob! recno 4 eof");
      EXPECT_EQ(seen[0][8], "edited: 6 Zed 3 Zed! recno 6");
    }
  }
}

TEST_F(TableTest, ARecordJustPostedIsFoundAgainAfterAnotherProcessChangedTheTable) {
  TTabulaTable table;
  DefinePeople(table);
  table.CreateTable();
  table.SetIndexName("BY_NAME");
  table.Open();
  AddPerson(table, "Bob", 2);
  AddPerson(table, "Cy", 3);
  AddPerson(table, "Ann", 1);
  // Another process adds "Ben" after "Ann" and deletes "Cy" (fields 2 and 3 are the name and
  // the number).
  ASSERT_EQ(RunInChild([&] {
              TDataSession session;
              TDataCursor other(*session.OpenDatabase("", directory_));
              other.SetTableName("People");
              other.Open();
              other.SetIndexName("BY_NAME");
              std::vector<std::uint8_t> image(static_cast<std::size_t>(other.RecordSize()));
              other.InitRecord(image.data());
              std::uint8_t number[4];
              EncodeFixed32(number, 4);
              other.SetField(2, image.data(), reinterpret_cast<const std::uint8_t*>("Ben"), 4);
              other.SetField(3, image.data(), number, 4);
              other.PostInsert(image.data(), false);
              other.InitRecord(image.data());
              other.SetField(2, image.data(), reinterpret_cast<const std::uint8_t*>("Cy"), 3);
              if (!other.Find(false, image.data(), false, 0, 0, nullptr)) return std::int64_t{1};
              other.DeleteCurrent(nullptr, false);
              return std::int64_t{0};
            }),
            0);
  // The table still stands on "Ann": an edit of it goes through and the table goes on from it
  // in the order the other process left.
  table.Edit();
  table.FieldByName("Number").SetAsInteger(11);
  table.Post();
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Ann");
  table.Next();
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Ben");
  EXPECT_EQ(table.RecNo(), 2);
  EXPECT_EQ(Column(table, "Number"), (std::vector<std::string>{"11", "4", "2"}));
}

TEST_F(TableTest, FieldValuesReadBackFromTheRecordOfEveryType) {
  // Each row: a field, the text written, the text read back after the post.
  struct Row {
    const char* name;
    TFieldType type;
    int size;
    const char* written;
    const char* read;
  };
  const std::vector<Row> rows = {
      {"Id", ftAutoInc, 0, nullptr, "1"},
      {"Text", ftString, 12, "twelve chars", "twelve chars"},
      {"Cut", ftString, 3, "abcdef", "abc"},
      {"Small", ftSmallint, 0, "-32768", "-32768"},
      {"Whole", ftInteger, 0, "2147483647", "2147483647"},
      {"Unsigned", ftWord, 0, "65535", "65535"},
      {"Flag", ftBoolean, 0, "yes", "True"},
      {"Real", ftFloat, 0, "-2.5", "-2.5"},
      {"Money", ftCurrency, 0, "12.25", "12.25"},
      {"Amount", ftBCD, 2, "123.45", "123.45"},
      {"Day", ftDate, 0, "2026-12-11", "2026-12-11"},
      {"Clock", ftTime, 0, "13:14:15", "13:14:15"},
      {"Moment", ftDateTime, 0, "2026-12-11 13:14:15", "2026-12-11 13:14:15"},
      {"Big", ftLargeint, 0, "-9000000000", "-9000000000"},
      {"Raw", ftBytes, 4, "wxyz", "wxyz"},
      {"Notes", ftMemo, 0, "a memo", "a memo"},
  };
  TTabulaTable table;
  table.SetDatabaseName(directory_);
  table.SetTableName("Types");
  for (const Row& row : rows) table.FieldDefs().Add(row.name, row.type, row.size);
  table.IndexDefs().Add("", "Id", ixPrimary);
  table.IndexDefs().Add("BY_WHOLE", "Whole", 0);
  table.CreateTable();
  table.Open();
  for (int pass = 0; pass < 2; ++pass) {
    table.Append();
    if (pass == 0) {
      for (const Row& row : rows) {
        if (row.written != nullptr) table.FieldByName(row.name).SetAsString(row.written);
      }
    }
    table.Post();
  }
  table.First();
  for (int pass = 0; pass < 2; ++pass) {
    for (const Row& row : rows) {
      const TField& field = table.FieldByName(row.name);
      const bool null = pass == 1 && row.type != ftAutoInc;
      EXPECT_EQ(field.IsNull(), null) << row.name << " pass " << pass;
      EXPECT_EQ(field.AsString(), null ? "" : (pass == 0 ? row.read : "2")) << row.name;
      if (IsStringType(row.type) || row.type == ftBytes || row.type == ftMemo) continue;
      // The numbers behind the text, from the same bytes.
      if (row.type == ftFloat || row.type == ftCurrency || row.type == ftBCD) {
        EXPECT_EQ(field.AsFloat(), null ? 0.0 : std::stod(row.read)) << row.name;
      } else if (row.type != ftDate && row.type != ftTime && row.type != ftDateTime) {
        std::int64_t number = row.type == ftBoolean ? 1 : std::stoll(row.read);
        if (pass == 1) number = null ? 0 : 2;
        EXPECT_EQ(field.AsLargeInt(), number) << row.name;
      }
    }
    table.Next();
  }
  // The key-setting state reads its key buffer, not the record.
  table.SetIndexName("BY_WHOLE");
  table.SetKey();
  EXPECT_TRUE(table.FieldByName("Whole").IsNull());
  table.FieldByName("Whole").SetAsInteger(7);
  EXPECT_EQ(table.FieldByName("Whole").AsInteger(), 7);
  table.Cancel();
  EXPECT_EQ(table.FieldByName("Whole").AsString(), "");
  table.Close();
}

TEST_F(TableTest, ARecordJustPostedThatARollbackTookBackIsNotEdited) {
  TTabulaDatabase database;
  database.SetDatabaseName("RollbackDb");
  database.SetDirectory(directory_);
  database.Open();
  TTabulaTable table;
  DefinePeople(table);
  table.SetDatabaseName("RollbackDb");
  table.CreateTable();
  table.SetIndexName("BY_NAME");
  table.Open();
  for (const char* name : {"Ann", "Bob", "Cy"}) AddPerson(table, name, name[0]);
  database.StartTransaction();
  AddPerson(table, "Bea", 9);
  const TBookmark bea = table.GetBookmark();
  database.Rollback();
  // The table still shows what it posted; the record itself is gone.
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Bea");
  EXPECT_FALSE(table.BookmarkValid(bea));
  try {
    table.Edit();
    ADD_FAILURE() << "edit of a record taken back accepted";
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_KEYORRECDELETED);
  }
  EXPECT_EQ(table.State(), dsBrowse);
  EXPECT_EQ(table.RecordCount(), 3);
  EXPECT_EQ(Column(table, "Name"), (std::vector<std::string>{"Ann", "Bob", "Cy"}));
  // After a range the table goes on from the range's first record.
  AddPerson(table, "Dan", 4);
  table.SetRange({"B"}, {"C~"});
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Bob");
  EXPECT_EQ(Column(table, "Name"), (std::vector<std::string>{"Bob", "Cy"}));
  table.Close();
}

TEST_F(TableTest, FieldAndIndexDefinitionsComeFromTheTable) {
  TTabulaTable table;
  DefinePeople(table);
  table.CreateTable();
  TTabulaTable reader;
  reader.SetDatabaseName(directory_);
  reader.SetTableName("People.dat");
  reader.Open();
  ASSERT_EQ(reader.FieldDefs().Count(), 5);
  EXPECT_EQ(reader.FieldDefs().Items(0).DataType(), ftAutoInc);
  EXPECT_EQ(reader.FieldDefs().Items(1).Size(), 20);
  EXPECT_EQ(reader.FieldDefs().Items(4).DataType(), ftDate);
  reader.UpdateIndexDefs();
  ASSERT_EQ(reader.IndexDefs().Count(), 3);
  EXPECT_EQ(reader.IndexDefs().Items(0).Name(), "");
  EXPECT_EQ(reader.IndexDefs().Items(0).Options(), ixPrimary | ixUnique);
  EXPECT_EQ(reader.IndexDefs().Items(1).Name(), "BY_NAME");
  EXPECT_EQ(reader.IndexDefs().Items(1).Fields(), "Name");
  EXPECT_EQ(reader.IndexDefs().Items(1).Options(), ixCaseInsensitive);
  EXPECT_EQ(reader.IndexDefs().Items(2).Options(), ixUnique);
  reader.SetIndexFieldNames("number");
  EXPECT_EQ(reader.IndexName(), "");
  EXPECT_EQ(reader.IndexFieldCount(), 1);
  EXPECT_EQ(reader.IndexFields(0).FieldName(), "Number");
  EXPECT_EQ(MessageOf([&] { reader.SetIndexFieldNames("Active"); }), "Index 'Active' not found");
}

TEST_F(TableTest, FieldWritesAreRefusedOutsideTheirStates) {
  TTabulaTable table;
  DefinePeople(table);
  table.CreateTable();
  table.SetIndexName("BY_NUMBER");
  table.Open();
  AddPerson(table, "Ann", 1);
  const std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {[&] { table.FieldByName("Name").SetAsString("x"); }, "Table is not in edit or insert mode."},
      {[&] {
         table.Edit();
         table.FieldByName("Id").SetAsInteger(9);
       },
       "Field Id cannot be modified."},
      {[&] {
         table.Cancel();
         table.SetKey();
         table.FieldByName("Name").SetAsString("Ann");
       },
       "Field Name is not in the current index."},
  };
  for (const auto& [action, message] : rows) EXPECT_EQ(MessageOf(action), message);
  // In the key state the index field may be written, also a read-only one in a range.
  table.FieldByName("Number").SetAsInteger(1);
  EXPECT_TRUE(table.GotoKey());
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Ann");
  EXPECT_FALSE(table.FindKey({"7"}));
  EXPECT_EQ(MessageOf([&] { table.FieldByName("Missing"); }), "Field 'Missing' not found");
}

TEST_F(TableTest, KeySearchesShowTheRecordFoundWhateverTheEventsAndWindow) {
  // The record a search finds is shown straight from the search when nothing can come between;
  // a BeforeScroll event or a grid's window makes the table read it again. All must agree.
  std::vector<std::string> seen[4];
  for (int variant = 0; variant < 4; ++variant) {
    const bool events = variant & 1;
    const bool grid = variant & 2;
    TTabulaTable table;
    DefinePeople(table, "Keys" + std::to_string(variant));
    table.CreateTable();
    table.SetIndexName("BY_NUMBER");
    TField& shout = table.AddCalcField("Shout", ftString, 20);
    table.OnCalcFields = [&shout](TDataSet& d) {
      shout.SetAsString(d.FieldByName("Name").AsString() + "!");
    };
    TDataSource source;
    TRowsLink rows;
    if (grid) {
      source.SetDataSet(&table);
      rows.SetBufferCount(3);
      rows.SetDataSource(&source);
    }
    table.Open();
    for (const char* name : {"e", "b", "d", "a", "c"}) AddPerson(table, name, name[0] - 'a' + 1);
    int scrolls = 0;
    if (events) table.BeforeScroll = [&](TDataSet&) { ++scrolls; };
    table.AfterScroll = [&](TDataSet&) { ++scrolls; };
    for (int number : {3, 1, 5, 9, 2}) {
      scrolls = 0;
      const bool found = table.FindKey({std::to_string(number)});
      std::string line = std::to_string(number) + (found ? " found " : " missing ") +
                         table.FieldByName("Name").AsString() + " " +
                         table.FieldByName("Shout").AsString() + " recno " +
                         std::to_string(table.RecNo()) + " scrolls " +
                         std::to_string(scrolls - (events && found ? 1 : 0));
      table.Next();
      line += " then " + table.FieldByName("Name").AsString();
      seen[variant].push_back(line);
    }
    if (grid) {
      EXPECT_EQ(rows.Rows(), (std::vector<std::string>{"a", "b", "c"}));
    }
    // A record the filter refuses is not found by a search either.
    table.OnFilterRecord = [](TDataSet& d, bool& accept) {
      accept = d.FieldByName("Name").AsString() != "c";
    };
    table.SetFiltered(true);
    EXPECT_EQ(MessageOf([&] { table.FindKey({"3"}); }), "Record not found");
    EXPECT_TRUE(table.FindKey({"4"}));
    EXPECT_EQ(table.FieldByName("Name").AsString(), "d");
    table.AssertInvariants();
  }
  EXPECT_EQ(seen[0],
            (std::vector<std::string>{
                "3 found c c! recno 3 scrolls 1 then d", "1 found a a! recno 1 scrolls 1 then b",
                "5 found e e! recno 5 scrolls 1 then e", "9 missing e e! recno 5 scrolls 0 then e",
                "2 found b b! recno 2 scrolls 1 then c"}));
  for (int variant = 1; variant < 4; ++variant) EXPECT_EQ(seen[variant], seen[0]) << variant;
}

TEST_F(TableTest, SwitchingTheIndexPostsAPendingEditAndKeepsTheRecord) {
  TTabulaTable table;
  DefinePeople(table);
  table.CreateTable();
  table.Open();
  AddPerson(table, "Cy", 3);
  AddPerson(table, "Al", 1);
  AddPerson(table, "Bo", 2);
  ASSERT_TRUE(table.Locate("Name", {"Bo"}, 0));
  std::vector<std::string> log;
  table.BeforePost = [&](TDataSet&) { log.push_back("BeforePost"); };
  table.AfterScroll = [&](TDataSet&) { log.push_back("AfterScroll"); };
  table.Edit();
  table.FieldByName("Number").SetAsInteger(7);
  table.SetIndexName("BY_NAME");
  EXPECT_EQ(log, std::vector<std::string>{"BeforePost"});
  EXPECT_EQ(table.State(), dsBrowse);
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Bo");
  table.Next();
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Cy");
  // The same index again does nothing.
  log.clear();
  table.SetIndexName("BY_NAME");
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Cy");
  try {
    table.SetIndexName("NOPE");
    FAIL();
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_INVALIDINDEXNAME);
  }
  EXPECT_EQ(table.IndexName(), "BY_NAME");
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Cy");
}

TEST_F(TableTest, NewRecordRulesAndSilentAbortOfAPost) {
  // The staff table's way of using the events: defaults after insert, a stamp and a refusal
  // before post.
  TTabulaTable table;
  DefinePeople(table);
  table.CreateTable();
  table.Open();
  AddPerson(table, "Ann", 1);
  table.AfterInsert = [](TDataSet& d) {
    d.FieldByName("Active").SetAsBoolean(true);
    d.FieldByName("Born").SetAsDateTime(Date());
  };
  table.BeforePost = [](TDataSet& d) {
    if (d.FieldByName("Number").AsInteger() == 1) {
      d.FieldByName("Number").Clear();
      throw EAbort();
    }
  };
  table.Insert();
  EXPECT_TRUE(table.FieldByName("Active").AsBoolean());
  EXPECT_EQ(table.FieldByName("Born").AsDateTime(), Date());
  table.FieldByName("Number").SetAsInteger(1);
  EXPECT_THROW(table.Post(), EAbort);
  EXPECT_EQ(table.State(), dsInsert);
  EXPECT_TRUE(table.FieldByName("Number").IsNull());
  table.FieldByName("Number").SetAsInteger(2);
  table.Post();
  EXPECT_EQ(table.RecordCount(), 2);
  // A duplicate in a unique index leaves the record in insert mode with the engine's error.
  table.BeforePost = nullptr;
  table.Insert();
  table.FieldByName("Number").SetAsInteger(2);
  try {
    table.Post();
    FAIL();
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_KEYVIOL);
  }
  EXPECT_EQ(table.State(), dsInsert);
  table.Cancel();
  EXPECT_EQ(table.RecordCount(), 2);
}

TEST_F(TableTest, RefreshBeforeEditShowsWhatAnotherTableSaved) {
  TTabulaTable first;
  DefinePeople(first);
  first.CreateTable();
  first.Open();
  AddPerson(first, "Ann", 1);
  TTabulaTable second;
  second.SetDatabaseName(directory_);
  second.SetTableName("People");
  second.Open();
  second.Edit();
  second.FieldByName("Name").SetAsString("Anna");
  second.Post();
  // Without a refresh the edit starts from a stale image and is refused.
  try {
    first.Edit();
    ADD_FAILURE() << "edit of a stale record accepted";
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_KEYORRECDELETED);
  }
  EXPECT_EQ(first.State(), dsBrowse);
  first.BeforeEdit = [](TDataSet& d) { d.Refresh(); };
  first.Edit();
  EXPECT_EQ(first.FieldByName("Name").AsString(), "Anna");
  first.FieldByName("Number").SetAsInteger(5);
  first.Post();
  second.Refresh();
  EXPECT_EQ(second.FieldByName("Number").AsInteger(), 5);
  EXPECT_EQ(second.FieldByName("Name").AsString(), "Anna");
}

TEST_F(TableTest, MemoValuesAreReadAgainAfterAnotherTableChangedThem) {
  TTabulaTable first;
  DefinePeople(first);
  first.FieldDefs().Add("Notes", ftMemo);
  first.CreateTable();
  first.Open();
  first.Append();
  first.FieldByName("Notes").SetAsString(std::string(1000, 'a'));
  first.Post();
  EXPECT_EQ(first.FieldByName("Notes").AsString(), std::string(1000, 'a'));
  first.Edit();
  first.FieldByName("Notes").SetAsString("changed");
  EXPECT_EQ(first.FieldByName("Notes").AsString(), "changed");
  first.Cancel();
  EXPECT_EQ(first.FieldByName("Notes").AsString(), std::string(1000, 'a'));

  TTabulaTable second;
  second.SetDatabaseName(directory_);
  second.SetTableName("People");
  second.Open();
  second.Edit();
  second.FieldByName("Notes").SetAsString("rewritten by the second table");
  second.Post();
  EXPECT_EQ(first.FieldByName("Notes").AsString(), "rewritten by the second table");
  second.Edit();
  second.FieldByName("Notes").Clear();
  second.Post();
  EXPECT_TRUE(second.FieldByName("Notes").IsNull());
  EXPECT_EQ(second.FieldByName("Notes").AsString(), "");
}

TEST_F(TableTest, FilterRecordHidesRecordsAndFilterTextIsRefused) {
  TTabulaTable table;
  DefinePeople(table);
  table.CreateTable();
  table.Open();
  for (int i = 1; i <= 5; ++i) AddPerson(table, "P" + std::to_string(i), i);
  table.OnFilterRecord = [](TDataSet& d, bool& accept) {
    accept = d.FieldByName("Number").AsInteger() % 2 == 1;
  };
  table.SetFiltered(true);
  EXPECT_EQ(Column(table, "Name"), (std::vector<std::string>{"P1", "P3", "P5"}));
  // A filter text needs the engine's filter expressions: refused, and nothing changes.
  try {
    table.SetFilter("Number > 2");
    ADD_FAILURE() << "filter text accepted";
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_INVALIDFILTER);
  }
  EXPECT_EQ(table.Filter(), "");
  table.SetFiltered(false);
  EXPECT_EQ(table.RecordCount(), 5);
  EXPECT_EQ(Column(table, "Name").size(), 5u);
}

TEST_F(TableTest, VersionTextsFollowTheStoredNumber) {
  TTabulaTable table;
  DefinePeople(table);
  table.CreateTable();
  EXPECT_EQ(table.TableVersion(), "3.00");
  const std::string path = directory_ + "People.DAT";
  for (const auto& [stored, text] : std::vector<std::pair<char, std::string>>{
           {0, "1.00"}, {3, "1.08"}, {4, "2.00"}, {5, "3.00"}, {9, ""}}) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(file.is_open()) << path;
    file.seekp(8);
    file.put(stored);
    file.close();
    EXPECT_EQ(table.TableVersion(), text) << static_cast<int>(stored);
  }
}

TEST(FieldDefsTest, EngineFieldsBecomeDefinitionsWithUniqueNames) {
  // As a query result may describe them: two columns of one name, a type without a dataset
  // kind, a BCD and an unsigned integer.
  auto field = [](std::uint16_t no, const char* name, std::uint8_t type, std::uint8_t subtype,
                  std::uint8_t size, std::uint8_t scale, bool required) {
    TFieldDescriptor d;
    d.FieldNo = no;
    d.FieldName = name;
    d.FieldType = type;
    d.FieldSubType = subtype;
    d.FieldSize = size;
    d.FieldScale = scale;
    d.Required = required;
    return d;
  };
  const std::vector<TFieldDescriptor> descriptors = {
      field(1, "Name", fldString, fldstFixed, 12, 0, true),
      field(2, "Name", fldString, 0, 5, 0, false),
      field(3, "Odd", fldExtendedFloat, 0, 0, 0, false),
      field(4, "Name", fldInteger, fldstAutoInc, 0, 0, false),
      field(5, "Amount", fldBCD, 0, 0, 2, false),
      field(6, "Count", fldUnsignedInteger, 0, 0, 0, false),
      field(7, "Notes", fldBlob, fldstMemo, 0, 0, false),
  };
  TFieldDefs defs;
  FieldDefsFromDescriptors(descriptors, defs);
  struct Row {
    std::string name;
    TFieldType type;
    int size;
    int precision;
    bool required;
    int field_no;
  };
  const std::vector<Row> rows = {
      {"Name", ftFixedChar, 12, 0, true, 1}, {"Name_1", ftString, 5, 0, false, 2},
      {"Name_2", ftAutoInc, 0, 0, false, 4}, {"Amount", ftBCD, 2, 32, false, 5},
      {"Count", ftInteger, 0, 0, false, 6},  {"Notes", ftMemo, 0, 0, false, 7},
  };
  ASSERT_EQ(defs.Count(), static_cast<int>(rows.size()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TFieldDef& def = defs.Items(static_cast<int>(i));
    EXPECT_EQ(def.Name(), rows[i].name);
    EXPECT_EQ(def.DataType(), rows[i].type) << rows[i].name;
    EXPECT_EQ(def.Size(), rows[i].size) << rows[i].name;
    EXPECT_EQ(def.Precision(), rows[i].precision) << rows[i].name;
    EXPECT_EQ(def.Required(), rows[i].required) << rows[i].name;
    EXPECT_EQ(def.FieldNo(), rows[i].field_no) << rows[i].name;
  }
}

TEST_F(TableTest, MasterDetailFollowsTheMasterRecord) {
  TTabulaTable master;
  DefinePeople(master, "Teams");
  master.CreateTable();
  TTabulaTable detail;
  DefinePeople(detail, "Members");
  detail.IndexDefs().Clear();
  detail.IndexDefs().Add("", "Id", ixPrimary);
  detail.IndexDefs().Add("BY_TEAM", "Number", 0);
  detail.CreateTable();
  master.Open();
  AddPerson(master, "Red", 1);
  AddPerson(master, "Blue", 2);
  detail.Open();
  AddPerson(detail, "a", 1);
  AddPerson(detail, "b", 2);
  AddPerson(detail, "c", 1);
  detail.Close();

  TDataSource source;
  source.SetDataSet(&master);
  detail.SetIndexName("BY_TEAM");
  detail.SetMasterSource(&source);
  detail.SetMasterFields("Number");
  detail.Open();
  master.First();
  EXPECT_EQ(Column(detail, "Name"), (std::vector<std::string>{"a", "c"}));
  master.Next();
  EXPECT_EQ(Column(detail, "Name"), (std::vector<std::string>{"b"}));
  // A new detail record starts with the master's linking value.
  detail.Insert();
  EXPECT_EQ(detail.FieldByName("Number").AsInteger(), 2);
  detail.FieldByName("Name").SetAsString("d");
  detail.Post();
  EXPECT_EQ(Column(detail, "Name"), (std::vector<std::string>{"b", "d"}));
  master.First();
  EXPECT_EQ(Column(detail, "Name"), (std::vector<std::string>{"a", "c"}));
  // A master record just posted leads its details at once, and keeps them through an edit.
  AddPerson(master, "Green", 3);
  EXPECT_TRUE(detail.IsEmpty());
  AddPerson(detail, "e", 3);
  master.Edit();
  master.FieldByName("Name").SetAsString("Lime");
  master.Post();
  EXPECT_EQ(Column(detail, "Name"), (std::vector<std::string>{"e"}));
  master.First();
  EXPECT_EQ(Column(detail, "Name"), (std::vector<std::string>{"a", "c"}));

  TDataSource detail_source;
  detail_source.SetDataSet(&detail);
  EXPECT_EQ(MessageOf([&] { master.SetMasterSource(&detail_source); }),
            "Circular data links are not allowed.");
  EXPECT_EQ(MessageOf([&] { detail.SetMasterSource(&detail_source); }),
            "Circular data links are not allowed.");
  detail.Close();
  master.Close();
}

TEST_F(TableTest, MissingNameAndClosedOperations) {
  TTabulaTable table;
  table.SetDatabaseName(directory_);
  EXPECT_EQ(MessageOf([&] { table.Open(); }), "Missing table name.");
  EXPECT_FALSE(table.Active());
  DefinePeople(table);
  table.CreateTable();
  table.Open();
  EXPECT_EQ(MessageOf([&] { table.DeleteTable(); }),
            "Cannot perform this operation on an open dataset");
  EXPECT_EQ(MessageOf([&] { table.SetTableName("Other"); }),
            "Cannot perform this operation on an open dataset");
  table.Close();
  try {
    table.UpgradeTable();
    FAIL();
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_OLDVERSION);
  }
  table.DeleteTable();
  EXPECT_FALSE(table.Exists());
  // A path in the table name becomes the database name.
  table.SetTableName(directory_ + "Staff.dat");
  EXPECT_EQ(table.TableName(), "Staff.dat");
  EXPECT_EQ(table.DatabaseName(), ForwardToBackslashes(directory_));
}

TEST_F(TableTest, AnInMemoryTableNeverTouchesTheDisk) {
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  TTabulaTable table;
  table.SetDatabaseName("Memory");
  DefinePeople(table);
  table.SetDatabaseName("memory");
  platform.ResetCounts();
  table.CreateTable();
  table.Open();
  AddPerson(table, "Ann", 1);
  AddPerson(table, "Bob", 2);
  EXPECT_EQ(table.RecordCount(), 2);
  table.Close();
  table.DeleteTable();
  EXPECT_EQ(platform.FileCalls(), 0u);
}

}  // namespace
}  // namespace tabula
