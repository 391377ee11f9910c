#include "components/database.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/tabula.h"
#include "engine/storage/data_directory.h"

namespace tabula {
namespace {

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { session_.SetSessionName("Main"); }
  void TearDown() override {
    session_.Close();
    Sessions().DefaultSession().Close();
    EXPECT_FALSE(EngineStarted());
  }

  TTabulaSession session_;
};

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no error)";
}

// A stand-in for a dataset: it holds the database through the session like a dataset does.
class FakeDataSet : public TDatabaseClient {
 public:
  FakeDataSet(std::vector<std::string>& log, std::string name)
      : log_(log), name_(std::move(name)) {}
  void Hold(TTabulaSession& session, const std::string& database_name) {
    database_ = &session.OpenDatabase(database_name);
    session_ = &session;
    database_->RegisterDataSet(*this);
  }
  void DatabaseClosing(TTabulaDatabase& database) override {
    log_.push_back(name_);
    database.UnregisterDataSet(*this);
    session_->CloseDatabase(database);
    database_ = nullptr;
  }
  TTabulaDatabase* database_ = nullptr;

 private:
  std::vector<std::string>& log_;
  std::string name_;
  TTabulaSession* session_ = nullptr;
};

TEST_F(DatabaseTest, PathSettersNormaliseSlashes) {
  struct Row {
    const char* given;
    const char* directory;
    const char* remote_database;
  };
  const Row rows[] = {
      {"/data/staff", "\\data\\staff", "data\\staff"},
      {"C:/Corvantis/Data/", "C:\\Corvantis\\Data\\", "C:\\Corvantis\\Data"},
      {"\\Corvantis\\", "\\Corvantis\\", "Corvantis"},
      {"\\\\server\\share\\\\", "\\\\server\\share\\\\", "server\\share"},
      {" Corvantis ", " Corvantis ", " Corvantis "},
      {"Corvantis", "Corvantis", "Corvantis"},
      {"\\", "\\", ""},
  };
  TTabulaDatabase database;
  for (const Row& row : rows) {
    database.SetDirectory(row.given);
    database.SetRemoteDatabase(row.given);
    EXPECT_EQ(database.Directory(), row.directory) << row.given;
    EXPECT_EQ(database.RemoteDatabase(), row.remote_database) << row.given;
  }
  database.SetDirectory(std::string(300, 'd'));
  EXPECT_EQ(database.Directory().size(), 255u);
  // A slash in a name turns into a backslash, which a name may not hold.
  EXPECT_EQ(MessageOf([&] { database.SetDatabaseName("A/B"); }),
            "Database name A\\B is not valid.");
}

TEST_F(DatabaseTest, NamesHoldingPathsAreRefusedUnlessTemporary) {
  TTabulaDatabase database;
  for (const char* name : {"C:Data", "Data\\Staff", "Data/Staff"}) {
    const std::string shown = ForwardToBackslashes(name);
    EXPECT_EQ(MessageOf([&] { database.SetDatabaseName(name); }),
              "Database name " + shown + " is not valid.")
        << name;
  }
  database.SetDatabaseName(std::string(300, 'n'));
  EXPECT_EQ(database.DatabaseName().size(), 255u);

  // A temporary database created by the session from a path keeps the path as its name.
  const std::string path = ::testing::TempDir();
  TTabulaDatabase& temporary = session_.OpenDatabase(path);
  EXPECT_TRUE(temporary.Temporary());
  EXPECT_EQ(temporary.DatabaseName(), ForwardToBackslashes(path));
  EXPECT_EQ(temporary.Directory(), ForwardToBackslashes(path));
  EXPECT_TRUE(temporary.Connected());
  EXPECT_EQ(temporary.RefCount(), 1);
  EXPECT_EQ(temporary.DataDirectory()->Path(), NormalizeDirectory(path));
  // The name held a path, so the engine database was opened without a name.
  EXPECT_EQ(temporary.DataDirectory()->Name(), "");
  // Asking again by the path as given finds it, although its name is stored with backslashes.
  EXPECT_EQ(&session_.OpenDatabase(path), &temporary);
  EXPECT_EQ(temporary.RefCount(), 2);
}

TEST_F(DatabaseTest, SessionOpenDatabaseFindsComponentsOrCreatesTemporaryOnes) {
  TTabulaDatabase named;
  named.SetSessionName("main");
  named.SetDatabaseName("Staff");
  named.SetDirectory(::testing::TempDir());
  EXPECT_EQ(named.Session(), &session_);
  EXPECT_EQ(&session_.OpenDatabase("STAFF"), &named);
  EXPECT_TRUE(named.Connected());
  EXPECT_EQ(named.RefCount(), 1);
  EXPECT_EQ(session_.FindDatabase("staff"), &named);

  // "Memory" is the in-memory database: no directory.
  session_.SetKeepConnections(false);
  TTabulaDatabase& memory = session_.OpenDatabase("memory");
  EXPECT_TRUE(memory.Temporary());
  EXPECT_EQ(memory.Directory(), "");
  EXPECT_FALSE(memory.KeepConnection());
  EXPECT_TRUE(memory.DataDirectory()->InMemory());
  // The last user gives it back; without KeepConnection the temporary database is freed.
  session_.CloseDatabase(memory);
  EXPECT_EQ(session_.FindDatabase("Memory"), nullptr);
  // A component's database is only closed.
  named.SetKeepConnection(false);
  EXPECT_TRUE(named.Connected());  // still used through OpenDatabase
  session_.CloseDatabase(named);
  EXPECT_FALSE(named.Connected());
  EXPECT_EQ(session_.FindDatabase("Staff"), &named);
}

TEST_F(DatabaseTest, SameNamesInOneSessionNeedSharedHandles) {
  TTabulaDatabase first;
  first.SetSessionName("Main");
  first.SetDatabaseName("Data");
  TTabulaDatabase second;
  second.SetDatabaseName("data");
  EXPECT_EQ(MessageOf([&] { second.SetSessionName("Main"); }),
            "Database name data already exists.");
  EXPECT_EQ(second.DatabaseName(), "");  // the failed check cleared the name

  // Both sharing handles: the second open borrows the first one's engine database.
  first.SetHandleShared(true);
  second.SetHandleShared(true);
  second.SetDatabaseName("DATA");
  first.Open();
  second.Open();
  ASSERT_TRUE(second.Connected());
  EXPECT_TRUE(second.HandleBorrowed());
  EXPECT_FALSE(first.HandleBorrowed());
  EXPECT_EQ(second.DataDirectory(), first.DataDirectory());
  EXPECT_EQ(first.DataDirectory()->UseCount(), 2);
  second.Close();
  EXPECT_TRUE(first.Connected());
  EXPECT_EQ(first.DataDirectory()->UseCount(), 1);

  // Closing the owner first leaves the borrower a live engine database.
  second.Open();
  first.Close();
  ASSERT_TRUE(second.Connected());
  EXPECT_EQ(session_.DataSession()->Databases().size(), 1u);
  EXPECT_EQ(second.DataDirectory()->UseCount(), 1);
  second.Close();
  EXPECT_TRUE(session_.DataSession()->Databases().empty());
}

TEST_F(DatabaseTest, TakingTheNameOfAnUnusedTemporaryDatabaseFreesIt) {
  session_.SetKeepConnections(true);
  TTabulaDatabase& temporary = session_.OpenDatabase("Memory");
  session_.CloseDatabase(temporary);  // kept connected, no users
  ASSERT_NE(session_.FindDatabase("Memory"), nullptr);
  TTabulaDatabase component;
  component.SetDatabaseName("Memory");
  component.SetSessionName("Main");
  EXPECT_EQ(session_.FindDatabase("Memory"), &component);
  EXPECT_EQ(session_.Databases().size(), 1u);

  // A temporary database still in use keeps its name.
  TTabulaDatabase& used = session_.OpenDatabase("Scratch");
  EXPECT_EQ(used.Directory(), "Scratch");
  TTabulaDatabase rival;
  rival.SetSessionName("Main");
  EXPECT_EQ(MessageOf([&] { rival.SetDatabaseName("scratch"); }),
            "Database name scratch already exists.");
  EXPECT_EQ(session_.FindDatabase("Scratch"), &used);
}

TEST_F(DatabaseTest, OpenDatabaseRefusesChangesAndFiresBeforeConnectOnce) {
  TTabulaDatabase database;
  int before_connect = 0;
  database.BeforeConnect = [&](TTabulaDatabase& sender) {
    ++before_connect;
    sender.SetSessionName("Main");
    sender.SetDirectory(::testing::TempDir());
  };
  EXPECT_EQ(MessageOf([&] { database.Open(); }), "Database name is missing.");
  EXPECT_EQ(before_connect, 1);
  EXPECT_FALSE(database.Connected());
  database.SetDatabaseName("Corvantis");
  database.SetConnected(true);
  EXPECT_EQ(before_connect, 2);
  EXPECT_TRUE(session_.Active());
  database.SetConnected(true);
  EXPECT_EQ(before_connect, 2);

  const std::vector<std::pair<const char*, std::function<void()>>> setters = {
      {"DatabaseName", [&] { database.SetDatabaseName("Other"); }},
      {"Directory", [&] { database.SetDirectory("/elsewhere"); }},
      {"RemoteDatabase", [&] { database.SetRemoteDatabase("Other"); }},
      {"SessionName", [&] { database.SetSessionName("Default"); }},
  };
  for (const auto& [name, setter] : setters) {
    EXPECT_EQ(MessageOf(setter), "Cannot perform this operation on an open database.") << name;
  }
  database.SetDatabaseName("Corvantis");  // unchanged name: nothing to refuse
  EXPECT_EQ(database.Directory(), ForwardToBackslashes(::testing::TempDir()));

  TTabulaDatabase lost;
  lost.SetSessionName("NoSuchSession");
  lost.SetDatabaseName("Lost");
  EXPECT_EQ(MessageOf([&] { lost.Open(); }), "Session name NoSuchSession is not valid.");
}

TEST_F(DatabaseTest, TransactionsNeedAnOpenDatabaseAndTheRightState) {
  TTabulaDatabase database;
  database.SetSessionName("Main");
  database.SetDatabaseName("Staff");
  EXPECT_EQ(MessageOf([&] { database.StartTransaction(); }),
            "Cannot perform this operation on a closed database.");
  EXPECT_EQ(MessageOf([&] { database.Commit(); }),
            "Cannot perform this operation on a closed database.");
  database.Open();
  EXPECT_EQ(MessageOf([&] { database.Commit(); }), "Database Staff has no active transaction.");
  EXPECT_EQ(MessageOf([&] { database.Rollback(); }), "Database Staff has no active transaction.");
  database.StartTransaction();
  EXPECT_TRUE(database.InTransaction());
  EXPECT_EQ(MessageOf([&] { database.StartTransaction(); }),
            "Database Staff already has an active transaction.");
  database.Commit(true);
  EXPECT_FALSE(database.InTransaction());
  database.StartTransaction();
  database.Rollback();
  EXPECT_FALSE(database.InTransaction());
}

TEST_F(DatabaseTest, ClosingClosesDatasetsLastBoundFirst) {
  std::vector<std::string> log;
  TTabulaDatabase database;
  database.SetSessionName("Main");
  database.SetDatabaseName("Staff");
  FakeDataSet a(log, "a");
  FakeDataSet b(log, "b");
  a.Hold(session_, "Staff");
  b.Hold(session_, "Staff");
  EXPECT_EQ(database.RefCount(), 2);
  EXPECT_EQ(database.DataSetCount(), 2);
  database.Close();
  EXPECT_EQ(log, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(database.DataSetCount(), 0);
  EXPECT_EQ(database.RefCount(), 0);

  // Deactivating the session frees a temporary database with its dataset closed first.
  log.clear();
  FakeDataSet c(log, "c");
  c.Hold(session_, "Memory");
  session_.Close();
  EXPECT_EQ(log, (std::vector<std::string>{"c"}));
  EXPECT_EQ(c.database_, nullptr);
  EXPECT_EQ(session_.FindDatabase("Memory"), nullptr);
}

TEST_F(DatabaseTest, DestroyingASessionUnbindsItsDatabases) {
  auto session = std::make_unique<TTabulaSession>();
  session->SetSessionName("Short");
  TTabulaDatabase database;
  database.SetSessionName("Short");
  database.SetDatabaseName("Staff");
  database.Open();
  session.reset();
  EXPECT_FALSE(database.Connected());
  EXPECT_EQ(database.Session(), nullptr);
  EXPECT_EQ(database.SessionName(), "");
}

// The tool's start-up: the layout stores the database connected and the session active; only
// the end of loading opens the database, firing BeforeConnect and then the session's OnStartup.
TEST_F(DatabaseTest, LoadingOpensAStoredConnectedDatabaseWhenLoadingEnds) {
  std::vector<std::string> events;
  TComponent form;
  TTabulaDatabase database(&form);
  TTabulaSession session(&form);
  database.BeginLoading();
  session.BeginLoading();
  database.SetDatabaseName("Corvantis");
  database.SetSessionName("TabulaSession1");
  database.SetConnected(true);
  database.BeforeConnect = [&](TTabulaDatabase& sender) {
    events.push_back("BeforeConnect");
    sender.SetDirectory(::testing::TempDir());
  };
  session.SetSessionName("TabulaSession1");
  session.SetActive(true);
  session.OnStartup = [&](TTabulaSession& sender) {
    events.push_back("OnStartup");
    sender.SetDataBufferSize(sender.DataBufferSize() * 2);
  };
  EXPECT_FALSE(database.Connected());
  EXPECT_TRUE(events.empty());

  form.EndLoadingComponents();
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeConnect", "OnStartup"}));
  ASSERT_TRUE(database.Connected());
  EXPECT_EQ(database.Session(), &session);
  EXPECT_EQ(session.DataSession()->DataBufferSize(), 32768);
  EXPECT_EQ(database.DataDirectory()->Path(), NormalizeDirectory(::testing::TempDir()));
  session.Close();
  EXPECT_FALSE(database.Connected());

  // Without a stored Connected the end of loading only binds the database.
  TComponent form2;
  TTabulaDatabase bound(&form2);
  bound.BeginLoading();
  bound.SetSessionName("Main");
  bound.SetDatabaseName("Bound");
  form2.EndLoadingComponents();
  EXPECT_EQ(bound.Session(), &session_);
  EXPECT_FALSE(bound.Connected());
  EXPECT_FALSE(session_.Active());
}

}  // namespace
}  // namespace tabula
