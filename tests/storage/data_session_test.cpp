#include "engine/storage/data_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/base/engine_error.h"
#include "engine/storage/data_directory.h"

namespace tabula {
namespace {

TEST(DataSessionTest, Defaults) {
  TDataSession session;
  EXPECT_EQ(session.ProgressSteps(), 20);
  EXPECT_EQ(session.LockRetryCount(), 15);
  EXPECT_EQ(session.LockWaitTime(), 100);
  EXPECT_EQ(session.LockProtocol(), lpPessimistic);
  EXPECT_FALSE(session.Remote());
  EXPECT_TRUE(session.RemoteLan());
  EXPECT_EQ(session.RemoteAddress(), "127.0.0.1");
  EXPECT_EQ(session.RemotePort(), 12005);
  EXPECT_EQ(session.DataBufferSize(), 16384);
  EXPECT_EQ(session.DataBufferCount(), 8192);
  EXPECT_EQ(session.IndexBufferSize(), 16384);
  EXPECT_EQ(session.BlobBufferSize(), 32768);
  EXPECT_EQ(session.BlobBufferCount(), 8192);
  ASSERT_FALSE(session.DefaultDirectory().empty());
  EXPECT_EQ(session.DefaultDirectory().back(), '\\');
  EXPECT_EQ(session.PrivateDir().back(), '\\');
}

TEST(DataSessionTest, MemoryDatabaseIsSharedByUseCount) {
  TDataSession session;
  TDataDirectory* first = session.OpenDatabase("Memory", "");
  TDataDirectory* second = session.OpenDatabase("memory", "  ");
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->UseCount(), 2);
  EXPECT_TRUE(first->InMemory());
  session.CloseDatabase(first);
  ASSERT_EQ(session.Databases().size(), 1u);
  EXPECT_EQ(first->UseCount(), 1);
  session.CloseDatabase(first);
  EXPECT_TRUE(session.Databases().empty());
}

TEST(DataSessionTest, DirectoriesDifferingInCaseSlashOrBlanksShareOneDatabase) {
  TDataSession session;
  TDataDirectory* first = session.OpenDatabase("Main", "\\data\\Staff");
  TDataDirectory* second = session.OpenDatabase("Other", " \\DATA\\staff\\ ");
  TDataDirectory* third = session.OpenDatabase("Third", "/data/staff/");
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, third);
  EXPECT_EQ(first->Name(), "Main");
  EXPECT_EQ(first->Path(), "\\data\\Staff\\");
  EXPECT_EQ(first->UseCount(), 3);
  EXPECT_EQ(first->DisplayName(), "\\data\\Staff\\");
}

TEST(DataSessionTest, EmptyDirectoryUsesTheDirectoryAtCreation) {
  char original[4096];
  ASSERT_NE(::getcwd(original, sizeof original), nullptr);
  TDataSession session;
  const std::string at_creation = session.DefaultDirectory();
  ASSERT_EQ(::chdir("/"), 0);
  TDataDirectory* database = session.OpenDatabase("Main", "");
  ASSERT_EQ(::chdir(original), 0);
  EXPECT_EQ(database->Path(), at_creation);
}

TEST(DataSessionTest, CloseOfUnknownOrUnusedDatabaseDoesNothing) {
  TDataSession session;
  TDataDirectory* database = session.OpenDatabase("Main", "\\x");
  database->SetUseCount(0);
  session.CloseDatabase(database);
  EXPECT_EQ(session.Databases().size(), 1u);
  TDataSession other;
  other.CloseDatabase(database);
  EXPECT_EQ(session.Databases().size(), 1u);
}

TEST(DataSessionTest, Passwords) {
  TDataSession session;
  session.AddPassword("");
  session.AddPassword("Secret");
  session.AddPassword("Secret");
  session.AddPassword("secret");
  EXPECT_EQ(session.Passwords(), (std::vector<std::string>{"Secret", "secret"}));
  EXPECT_TRUE(session.HasPassword("secret"));
  EXPECT_FALSE(session.HasPassword("SECRET"));
  session.RemovePassword("nothing");
  session.RemovePassword("Secret");
  EXPECT_EQ(session.Passwords(), (std::vector<std::string>{"secret"}));
  session.RemoveAllPasswords();
  EXPECT_TRUE(session.Passwords().empty());
}

TEST(DataSessionTest, PrivateDirAndProgress) {
  TDataSession session;
  session.SetPrivateDir("  \\tmp\\work  ");
  EXPECT_EQ(session.PrivateDir(), "\\tmp\\work\\");
  session.SetPrivateDir("\\tmp\\work\\");
  EXPECT_EQ(session.PrivateDir(), "\\tmp\\work\\");
  EXPECT_EQ(session.TempDirectory(), "\\tmp\\work\\");
  session.SetPrivateDir("");
  EXPECT_EQ(session.TempDirectory(), session.DefaultDirectory());

  struct Row {
    std::uint16_t steps, increment;
  } rows[] = {{0, 100}, {3, 33}, {20, 5}, {100, 1}, {1, 100}};
  for (const Row& row : rows) {
    session.SetProgressSteps(row.steps);
    EXPECT_EQ(session.ProgressIncrement(), row.increment) << row.steps;
  }
}

TEST(DataSessionTest, RemoteSessionWithoutClientFailsClearly) {
  TDataSession session;
  session.SetRemote(true);
  session.SetRemoteHost("dbhost");
  try {
    session.OpenDatabase("Corvantis", "");
    FAIL();
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), TABULA_REMOTECONNECT);
    EXPECT_EQ(e.ErrorRemoteName(), "dbhost");
  }
  // A result set's database needs no request.
  TDataDirectory* result = session.OpenDatabase("Remote_Query", "", true);
  EXPECT_EQ(result->DisplayName(), "Remote_Query");
  EXPECT_TRUE(result->Path().empty());
}

TEST(DataSessionTest, DefaultSessionExistsOnlyWhileTheEngineRuns) {
  StopEngine();
  try {
    DefaultDataSession();
    FAIL();
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), TABULA_NOTINITIALIZED);
  }
  StartEngine();
  TDataSession* session = &DefaultDataSession();
  StartEngine();
  EXPECT_EQ(&DefaultDataSession(), session);
  StopEngine();
  EXPECT_FALSE(EngineStarted());
}

}  // namespace
}  // namespace tabula
