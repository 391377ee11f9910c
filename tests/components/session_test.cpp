#include "components/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "components/password_dialog.h"
#include "components/tabula.h"
#include "engine/storage/data_directory.h"

namespace tabula {
namespace {

// Every test leaves the process as it found it: only the default session, inactive.
class SessionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Sessions().DefaultSession().Close();
    EXPECT_EQ(Sessions().Count(), 1);
    EXPECT_FALSE(EngineStarted());
  }
};

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no error)";
}

TEST_F(SessionTest, DefaultSessionExistsAndAnswersTheEmptyName) {
  TTabulaSession& fallback = Sessions().DefaultSession();
  EXPECT_TRUE(fallback.IsDefault());
  EXPECT_EQ(fallback.SessionName(), "Default");
  EXPECT_EQ(Sessions().FindSession(""), &fallback);
  EXPECT_EQ(Sessions().FindSession("DEFAULT"), &fallback);
  EXPECT_EQ(Sessions().FindSession("Nope"), nullptr);
  EXPECT_EQ(MessageOf([] { Sessions().SessionByName("Nope"); }), "Session name Nope is not valid.");
  EXPECT_FALSE(fallback.Active());

  // A database with an empty session name runs on "Default", which starts the engine.
  TTabulaDatabase database;
  database.SetDatabaseName("Main");
  database.SetConnected(true);
  EXPECT_EQ(database.Session(), &fallback);
  EXPECT_TRUE(fallback.Active());
  EXPECT_TRUE(EngineStarted());
  EXPECT_EQ(fallback.DataSession(), &DefaultDataSession());
  EXPECT_EQ(database.DataDirectory()->Path(), DefaultDataSession().DefaultDirectory());
}

TEST_F(SessionTest, SecondSessionStartsDefaultFirstAndDefaultStopsEverything) {
  std::vector<std::string> started;
  Sessions().DefaultSession().OnStartup = [&](TTabulaSession& s) {
    started.push_back(s.SessionName());
  };
  TTabulaSession main;
  main.SetSessionName("Main");
  main.OnStartup = [&](TTabulaSession& s) { started.push_back(s.SessionName()); };
  main.SetActive(true);
  Sessions().DefaultSession().OnStartup = nullptr;

  EXPECT_EQ(started, (std::vector<std::string>{"Main", "Default"}));
  ASSERT_TRUE(main.Active());
  EXPECT_NE(main.DataSession(), &DefaultDataSession());  // a private engine session

  // The engine's process-wide objects go with the default session, so "Main" stops first.
  Sessions().DefaultSession().Close();
  EXPECT_FALSE(EngineStarted());
  EXPECT_FALSE(main.Active());
  EXPECT_EQ(main.DataSession(), nullptr);
}

TEST_F(SessionTest, SessionNamesAreUniqueWithoutRegardToCase) {
  TTabulaSession first;
  first.SetSessionName("Main");
  TTabulaSession second;
  EXPECT_EQ(MessageOf([&] { second.SetSessionName("main"); }), "Session name main already exists.");
  EXPECT_EQ(MessageOf([&] { second.SetSessionName("default"); }),
            "Session name default already exists.");
  EXPECT_EQ(second.SessionName(), "");
  EXPECT_EQ(Sessions().FindSession("MAIN"), &first);
  // A session may keep its own name in another spelling.
  first.SetSessionName("MAIN");
  EXPECT_EQ(first.SessionName(), "MAIN");
  // A session without a name cannot start.
  EXPECT_EQ(MessageOf([&] { second.SetActive(true); }), "Session name is missing.");
  EXPECT_FALSE(second.Active());
}

TEST_F(SessionTest, ActiveSessionRefusesKindNameAndRemoteSettings) {
  TTabulaSession session;
  session.SetSessionName("Frozen");
  session.Open();
  const std::vector<std::pair<const char*, std::function<void()>>> setters = {
      {"SessionType", [&] { session.SetSessionType(stRemote); }},
      {"RemoteType", [&] { session.SetRemoteType(rtInternet); }},
      {"RemoteHost", [&] { session.SetRemoteHost("host"); }},
      {"RemoteAddress", [&] { session.SetRemoteAddress("10.0.0.1"); }},
      {"RemotePort", [&] { session.SetRemotePort(1); }},
      {"RemoteService", [&] { session.SetRemoteService("svc"); }},
      {"RemoteUser", [&] { session.SetRemoteUser("user"); }},
      {"RemotePassword", [&] { session.SetRemotePassword("pw"); }},
      {"SessionName", [&] { session.SetSessionName("Other"); }},
  };
  for (const auto& [name, setter] : setters) {
    EXPECT_EQ(MessageOf(setter), "Cannot perform this operation on an active session.") << name;
  }
  EXPECT_EQ(session.SessionType(), stLocal);
  EXPECT_EQ(session.RemoteAddress(), "127.0.0.1");
  EXPECT_EQ(session.RemotePort(), 12005);
  session.Close();
  session.SetSessionType(stRemote);  // inactive again: allowed
  EXPECT_EQ(session.SessionType(), stRemote);
}

TEST_F(SessionTest, SettingsReachTheEngineSessionOnActivationAndAtOnceWhileActive) {
  TTabulaSession session;
  session.SetSessionName("Settings");
  session.SetLockWaitTime(250);
  session.SetLockRetryCount(3);
  session.SetLockProtocol(lpOptimistic);
  session.SetStrictChangeDetection(true);
  session.SetForceBufferFlush(true);
  session.SetPrivateDir(" /tmp/private ");
  session.SetProgressSteps(10);
  session.Open();
  TDataSession& engine = *session.DataSession();
  EXPECT_EQ(engine.LockWaitTime(), 250);
  EXPECT_EQ(engine.LockRetryCount(), 3);
  EXPECT_EQ(engine.LockProtocol(), lpOptimistic);
  EXPECT_TRUE(engine.StrictChangeDetection());
  EXPECT_TRUE(engine.ForceBufferFlush());
  EXPECT_EQ(engine.PrivateDir(), "/tmp/private\\");
  EXPECT_EQ(engine.ProgressSteps(), 10);
  EXPECT_FALSE(engine.Remote());

  session.SetLockWaitTime(400);
  session.SetDataBufferSize(65536);
  session.SetProgressSteps(101);  // ignored
  EXPECT_EQ(engine.LockWaitTime(), 400);
  EXPECT_EQ(engine.DataBufferSize(), 65536);
  EXPECT_EQ(engine.ProgressSteps(), 10);
  EXPECT_EQ(session.LockCount(), 0);  // the setters left the engine lock again
}

TEST_F(SessionTest, BufferSettingsAreRaisedToTheirLowerBounds) {
  struct Row {
    const char* name;
    std::int32_t (TTabulaSession::*get)() const;
    void (TTabulaSession::*set)(std::int32_t);
    std::int32_t initial;
    std::int32_t bound;
  };
  const Row rows[] = {
      {"DataBufferSize", &TTabulaSession::DataBufferSize, &TTabulaSession::SetDataBufferSize, 16384,
       8192},
      {"DataBufferCount", &TTabulaSession::DataBufferCount, &TTabulaSession::SetDataBufferCount,
       8192, 16},
      {"IndexBufferSize", &TTabulaSession::IndexBufferSize, &TTabulaSession::SetIndexBufferSize,
       16384, 16384},
      {"BlobBufferSize", &TTabulaSession::BlobBufferSize, &TTabulaSession::SetBlobBufferSize, 32768,
       8192},
      {"BlobBufferCount", &TTabulaSession::BlobBufferCount, &TTabulaSession::SetBlobBufferCount,
       8192, 32},
  };
  TTabulaSession session;
  for (const Row& row : rows) {
    EXPECT_EQ((session.*row.get)(), row.initial) << row.name;
    (session.*row.set)((session.*row.get)() * 2);
    EXPECT_EQ((session.*row.get)(), row.initial * 2) << row.name;
    (session.*row.set)(1);
    EXPECT_EQ((session.*row.get)(), row.bound) << row.name;
    (session.*row.set)(-1);
    EXPECT_EQ((session.*row.get)(), row.bound) << row.name;
    (session.*row.set)(row.bound + 1);
    EXPECT_EQ((session.*row.get)(), row.bound + 1) << row.name;
  }
  session.SetDataBufferSize(100);
  EXPECT_EQ(session.DataBufferSize(), 8192);
  session.SetProgressSteps(101);
  EXPECT_EQ(session.ProgressSteps(), 20);
  session.SetProgressSteps(100);
  EXPECT_EQ(session.ProgressSteps(), 100);
  session.SetProgressSteps(0);
  EXPECT_EQ(session.ProgressSteps(), 0);
  session.SetEngineVersion("9.99");
  EXPECT_EQ(session.EngineVersion(), "3.24");
}

TEST_F(SessionTest, RemoteSessionConfiguredAtStartupFailsCleanlyWithTheEngineError) {
  TTabulaSession session;
  session.SetSessionName("Remote");
  bool engine_existed_at_startup = true;
  session.OnStartup = [&](TTabulaSession& s) {
    engine_existed_at_startup = s.DataSession() != nullptr;
    s.SetSessionType(stRemote);
    s.SetRemoteAddress("192.0.2.1");
    s.SetRemoteType(rtInternet);
    s.SetRemoteUser("kervaldo");
    s.SetRemotePassword("kervaldo");
  };
  try {
    session.Open();
    FAIL() << "a remote session started without a server";
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_REMOTECONNECT);
    EXPECT_EQ(error.ErrorRemoteName(), "192.0.2.1");
  }
  EXPECT_FALSE(engine_existed_at_startup);
  EXPECT_EQ(session.SessionType(), stRemote);
  EXPECT_FALSE(session.Active());
  EXPECT_EQ(session.DataSession(), nullptr);
  EXPECT_EQ(session.LockCount(), 0);
}

TEST_F(SessionTest, EnterNestsPerSessionAndHoldsTheEngineWideLock) {
  TTabulaSession session;
  session.SetSessionName("Locked");
  session.Enter();  // activates the inactive session
  EXPECT_TRUE(session.Active());
  session.Enter();
  EXPECT_EQ(session.LockCount(), 2);
  EXPECT_EQ(Sessions().CurrentDataSession(), session.DataSession());

  std::atomic<bool> other_got_lock{true};
  std::thread([&] {
    other_got_lock = EngineLock().try_lock();
    if (other_got_lock) EngineLock().unlock();
  }).join();
  EXPECT_FALSE(other_got_lock);

  session.Leave();
  session.Leave();
  EXPECT_EQ(session.LockCount(), 0);
  std::thread([&] {
    other_got_lock = EngineLock().try_lock();
    if (other_got_lock) EngineLock().unlock();
  }).join();
  EXPECT_TRUE(other_got_lock);

  // A failing activation inside Enter leaves the lock free again.
  TTabulaSession nameless;
  EXPECT_EQ(MessageOf([&] { nameless.Enter(); }), "Session name is missing.");
  EXPECT_EQ(nameless.LockCount(), 0);
  std::thread([&] {
    other_got_lock = EngineLock().try_lock();
    if (other_got_lock) EngineLock().unlock();
  }).join();
  EXPECT_TRUE(other_got_lock);
}

TEST_F(SessionTest, PasswordsAndTheirCallbacks) {
  TTabulaSession session;
  session.SetSessionName("Passwords");
  session.AddPassword("secret");
  session.AddPassword("Secret");
  session.AddPassword("secret");
  ASSERT_TRUE(session.Active());
  EXPECT_EQ(session.DataSession()->Passwords(), (std::vector<std::string>{"secret", "Secret"}));
  session.RemovePassword("secret");
  EXPECT_EQ(session.DataSession()->Passwords(), (std::vector<std::string>{"Secret"}));
  session.RemoveAllPasswords();
  EXPECT_TRUE(session.DataSession()->Passwords().empty());

  // Without a handler or a dialog the request is declined; a handler starts with false.
  EXPECT_FALSE(session.RequestPassword());
  SetPasswordDialog([](TTabulaSession& s) {
    s.AddPassword("typed");
    return true;
  });
  EXPECT_TRUE(session.RequestPassword());
  EXPECT_TRUE(session.DataSession()->HasPassword("typed"));
  SetPasswordDialog(nullptr);
  bool seen = true;
  session.OnPassword = [&](TTabulaSession&, bool& answer) { seen = answer; };
  EXPECT_FALSE(session.RequestPassword());
  EXPECT_FALSE(seen);

  // Remote login: the handler sees the current values and Continue = true; values are cut.
  std::string user = "old";
  std::string password = "pw";
  EXPECT_FALSE(session.RequestRemoteLogin(user, password));  // no handler, no dialog
  session.OnRemoteLogin = [](TTabulaSession&, std::string& u, std::string& p, bool& go) {
    EXPECT_EQ(u, "old");
    EXPECT_TRUE(go);
    u = std::string(300, 'u');
    p = "new";
  };
  EXPECT_TRUE(session.RequestRemoteLogin(user, password));
  EXPECT_EQ(user.size(), 255u);
  EXPECT_EQ(password, "new");
}

TEST_F(SessionTest, PasswordDialogRules) {
  TTabulaSession session;
  session.SetSessionName("Dialog");
  TPasswordDialogModel dialog(session);
  EXPECT_FALSE(dialog.AddEnabled());
  EXPECT_FALSE(dialog.RemoveEnabled());
  EXPECT_FALSE(dialog.OkEnabled());
  dialog.SetText("one");
  EXPECT_TRUE(dialog.AddEnabled() && dialog.RemoveEnabled() && dialog.OkEnabled());
  dialog.Add();
  EXPECT_EQ(dialog.Text(), "");
  EXPECT_TRUE(dialog.OkEnabled());  // after an Add, OK stays enabled with an empty box
  EXPECT_FALSE(dialog.AddEnabled());
  dialog.SetText("two");
  dialog.Add();
  dialog.SetText("one");
  dialog.Remove();
  EXPECT_EQ(dialog.Text(), "");
  EXPECT_EQ(session.DataSession()->Passwords(), (std::vector<std::string>{"two"}));
  dialog.RemoveAll();
  EXPECT_TRUE(session.DataSession()->Passwords().empty());
  dialog.Ok();  // empty box: nothing added
  EXPECT_TRUE(session.DataSession()->Passwords().empty());
  dialog.SetText("three");
  dialog.Ok();
  EXPECT_EQ(session.DataSession()->Passwords(), (std::vector<std::string>{"three"}));
}

TEST_F(SessionTest, AutomaticSessionNames) {
  TComponent form;
  form.SetName("Form1");
  TTabulaDatabase early(&form);
  early.SetDatabaseName("Early");
  TTabulaSession session(&form);
  session.SetName("Session");
  session.SetAutoSessionName(true);
  EXPECT_EQ(session.SessionName(), "Session_1");
  EXPECT_EQ(early.SessionName(), "Session_1");  // the owner's databases follow
  EXPECT_EQ(MessageOf([&] { session.SetSessionName("Manual"); }),
            "Cannot perform this operation on the active auto-session.");
  EXPECT_EQ(MessageOf([&] { TTabulaSession another(&form); }), "This auto-session already exists.");

  TTabulaDatabase late(&form);  // added later: bound to the automatic session
  EXPECT_EQ(late.SessionName(), "Session_1");

  session.SetName("Renamed");
  EXPECT_EQ(session.SessionName(), "Renamed_1");
  EXPECT_EQ(late.SessionName(), "Renamed_1");

  // A second owner takes the next free number; switching off frees it again.
  TComponent other_form;
  TTabulaSession second(&other_form);
  second.SetName("S");
  second.SetAutoSessionName(true);
  EXPECT_EQ(second.SessionName(), "S_2");
  session.SetAutoSessionName(false);
  TComponent third_form;
  TTabulaSession third(&third_form);
  third.SetName("T");
  third.SetAutoSessionName(true);
  EXPECT_EQ(third.SessionName(), "T_1");

  // A stored layout sets AutoSessionName before SessionName; loading ends with the automatic
  // name, which the owner's databases take.
  TComponent stored_form;
  stored_form.SetName("Stored");
  TTabulaSession stored(&stored_form);
  TTabulaDatabase stored_database(&stored_form);
  stored.BeginLoading();
  stored_database.BeginLoading();
  stored.SetName("Session");
  stored.SetAutoSessionName(true);
  stored.SetSessionName("Session_9");
  stored_database.SetSessionName("Session_9");
  stored_database.SetDatabaseName("Data");
  stored_form.EndLoadingComponents();
  EXPECT_EQ(stored.SessionName(), "Session_3");
  EXPECT_EQ(stored_database.SessionName(), "Session_3");
  EXPECT_EQ(stored_database.Session(), &stored);

  // An owner holding another session refuses automatic naming.
  TComponent crowded;
  TTabulaSession plain(&crowded);
  TTabulaSession wants_auto(&crowded);
  EXPECT_EQ(MessageOf([&] { wants_auto.SetAutoSessionName(true); }),
            "The active auto-session can be the only active session.");
}

TEST_F(SessionTest, LoadingRecordsActiveUntilLoadingEnds) {
  TComponent form;
  TTabulaSession session(&form);
  int startups = 0;
  session.OnStartup = [&](TTabulaSession&) { ++startups; };
  session.BeginLoading();
  session.SetSessionName("Loaded");
  session.SetActive(true);
  EXPECT_FALSE(session.Active());
  EXPECT_EQ(startups, 0);
  form.EndLoadingComponents();
  EXPECT_TRUE(session.Active());
  EXPECT_EQ(startups, 1);
  EXPECT_FALSE(session.Loading());
}

}  // namespace
}  // namespace tabula
