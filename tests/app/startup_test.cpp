#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <fstream>

#include "app/main_window.h"
#include "app/message_boxes.h"
#include "app/settings_store.h"
#include "engine/base/engine_error.h"

namespace corvantis {
namespace {

using TKind = TRecordedMessageBoxes::TKind;

QApplication& Application() {
  static int argc = 1;
  static char name[] = "startup_test";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication app(argc, argv);
  return app;
}

// The window with its start-up run by the test, recording the termination request.
class TestableForm : public TFormUserMaintenance {
 public:
  TestableForm(TSettingsStore& settings, TMessageBoxes& messages)
      : TFormUserMaintenance(settings, messages, TDeferStartup{}) {
    request_terminate_ = [] {};
  }
  using TFormUserMaintenance::Startup;
};

struct StartupCase {
  const char* name;
  const char* ini;            // "$DATA" stands for the data directory, "$MISSING" for none
  bool create_staff;          // STAFF.DAT (upper case) in the data directory
  bool missing_temp;          // TMPDIR names a directory that does not exist
  std::vector<std::pair<TKind, std::string>> messages;  // "$DIR" = the stored directory
  bool terminate;
  bool remote;
  const char* directory;      // expected Directory; "$DATA" / "$OTHER" as in the ini
  bool internet;
};

class StartupTest : public ::testing::TestWithParam<StartupCase> {
 protected:
  void SetUp() override {
    Application();
    char tmpl[] = "/tmp/corvantis-startup-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    data_ = root_ + "/data";
    other_ = root_ + "/other";
    ASSERT_EQ(::mkdir(data_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(other_.c_str(), 0755), 0);
    std::ofstream(other_ + "/Staff.dat") << "x";
    const char* tmpdir = std::getenv("TMPDIR");
    saved_tmpdir_ = tmpdir ? tmpdir : "";
    had_tmpdir_ = tmpdir != nullptr;
  }
  void TearDown() override {
    if (had_tmpdir_) {
      ::setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    std::system(("rm -rf '" + root_ + "'").c_str());
  }

  std::string Expand(std::string text) const {
    auto replace = [&](const std::string& from, const std::string& to) {
      for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    };
    replace("$MISSING", root_ + "/missing");
    replace("$DATA", data_);
    replace("$OTHER", other_);
    return text;
  }
  static std::string Engine(std::string path) {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    return path;
  }

  std::string root_, data_, other_, saved_tmpdir_;
  bool had_tmpdir_ = false;
};

TEST_P(StartupTest, Runs) {
  const StartupCase& c = GetParam();
  const std::string ini_path = root_ + "/Corvantis.ini";
  std::ofstream(ini_path) << Expand(c.ini);
  if (c.create_staff) std::ofstream(data_ + "/STAFF.DAT") << "x";
  if (c.missing_temp) ::setenv("TMPDIR", (root_ + "/notemp").c_str(), 1);

  TIniSettingsStore settings(QString::fromStdString(ini_path));
  TRecordedMessageBoxes messages;
  TestableForm form(settings, messages);
  std::uint16_t error = 0;
  try {
    form.Startup();
  } catch (const tabula::ETabulaEngineError& e) {
    error = e.ErrorCode();
  }

  const std::string directory = Engine(Expand(c.directory));
  std::vector<std::pair<TKind, std::string>> expected;
  for (const auto& [kind, text] : c.messages) {
    std::string t = text;
    for (std::size_t at; (at = t.find("$DIR")) != std::string::npos;) t.replace(at, 4, directory);
    for (std::size_t at; (at = t.find("$TEMP")) != std::string::npos;) {
      t.replace(at, 5, Engine(root_ + "/notemp/"));
    }
    expected.emplace_back(kind, t);
  }
  std::vector<std::pair<TKind, std::string>> shown;
  for (const auto& entry : messages.entries) shown.emplace_back(entry.kind, entry.text);
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(form.TerminateRequested(), c.terminate);
  EXPECT_EQ(form.SettingsValid(), !c.terminate);

  tabula::TTabulaSession& session = form.TabulaSession1();
  tabula::TTabulaDatabase& database = form.TabulaDatabase1();
  EXPECT_EQ(database.Directory(), directory);
  EXPECT_EQ(database.SessionName(), "TabulaSession1");
  if (c.remote) {
    EXPECT_EQ(session.SessionType(), tabula::stRemote);
    EXPECT_EQ(error, tabula::TABULA_REMOTECONNECT) << "the server client is not built yet";
    EXPECT_EQ(session.RemoteUser(), "kervaldo");
    EXPECT_EQ(session.RemotePassword(), "kervaldo");
    EXPECT_EQ(session.RemoteType(), c.internet ? tabula::rtInternet : tabula::rtLAN);
    EXPECT_EQ(session.RemoteAddress(), "10.9.8.7");
    EXPECT_EQ(session.DataBufferSize(), 16384);
    EXPECT_EQ(session.BlobBufferCount(), 8192);
    EXPECT_EQ(database.RemoteDatabase(), "Corvantis");
  } else {
    EXPECT_EQ(error, 0);
    EXPECT_EQ(session.SessionType(), tabula::stLocal);
    EXPECT_TRUE(database.Connected());
    EXPECT_TRUE(session.Active());
  }
  // A handler that failed skipped the rest of its body, the doubling among it.
  bool handler_failed = false;
  for (const auto& entry : messages.entries) handler_failed |= entry.kind == TKind::kMessage;
  if (!c.remote && !handler_failed) {
    EXPECT_EQ(session.DataBufferSize(), 32768);
    EXPECT_EQ(session.DataBufferCount(), 16384);
    EXPECT_EQ(session.IndexBufferSize(), 32768);
    EXPECT_EQ(session.BlobBufferSize(), 65536);
    EXPECT_EQ(session.BlobBufferCount(), 16384);
    EXPECT_EQ(session.DataSession()->DataBufferSize(), 32768);
  }
  if (c.missing_temp) {
    EXPECT_EQ(session.PrivateDir(), Engine(root_ + "/notemp/"));
  }
}

const char* kB = "The Corvantis database:\r\n$DIR\r\ndoes not appear to be valid. "
                 "Corvantis will now terminate...";
const char* kC = "The Corvantis database:\r\n$DIR\r\ndoes not appear to be pointing to "
                 "Corvantis data. Corvantis will now terminate...";
const char* kA = "The Corvantis database has not been defined. The application can not "
                 "continue. Corvantis will now terminate...";
const char* kD = "The Windows Temp directory on this machine\n\r($TEMP)\n\r does not exist. "
                 "Corvantis will run but most likely not function properly!";

INSTANTIATE_TEST_SUITE_P(
    Settings, StartupTest,
    ::testing::Values(
        StartupCase{"LocalWithAlias", "[Alias]\nCorvantis=$DATA\n", true, false, {}, false,
                    false, "$DATA", false},
        StartupCase{"LowercaseCIsLocal", "[Mode]\nCorvantis=c\n[Alias]\nCorvantis=$DATA\n", true,
                    false, {}, false, false, "$DATA", false},
        StartupCase{"CWithBlankIsLocal", "[Mode]\nCorvantis=\" C\"\n[Alias]\nCorvantis=$DATA\n",
                    true, false, {}, false, false, "$DATA", false},
        StartupCase{"AliasOnlyUnderCorvanTis", "[Alias]\nCorvan%20Tis=$OTHER\n", false, false,
                    {}, false, false, "$OTHER", false},
        StartupCase{"LocalPrefersCorvantis",
                    "[Alias]\nCorvantis=$DATA\nCorvan%20Tis=$OTHER\n", true, false, {}, false,
                    false, "$DATA", false},
        StartupCase{"MissingDirectoryIsB", "[Alias]\nCorvantis=$MISSING\n", false, false,
                    {{TKind::kError, kB}}, true, false, "$MISSING", false},
        StartupCase{"MissingStaffIsC", "[Alias]\nCorvantis=$DATA\n", false, false,
                    {{TKind::kError, kC}}, true, false, "$DATA", false},
        StartupCase{"NoAliasIsA", "", false, false, {{TKind::kError, kA}}, true, false, "",
                    false},
        StartupCase{"MissingTempIsDAndGoesOn", "[Alias]\nCorvantis=$DATA\n", true, true,
                    {{TKind::kError, kD}}, false, false, "$DATA", false},
        StartupCase{"WrongTypeIsShownAndSwallowed", "[Mode]\nCorvantis=a, b\n", false, false,
                    {{TKind::kMessage, "Invalid data type for 'Corvantis'"},
                     {TKind::kMessage, "Invalid data type for 'Corvantis'"}},
                    false, false, "C:\\Corvantis\\Data", false},
        StartupCase{"RemotePrefersCorvanTis",
                    "[Mode]\nCorvantis=C\n[Server IP]\nCorvantis=10.9.8.7\n[Connection]\n"
                    "Corvantis=Internet\n[Alias]\nCorvantis=$DATA\nCorvan%20Tis=$OTHER\n",
                    false, false, {}, false, true, "$OTHER", true},
        StartupCase{"RemoteLowercaseInternetIsLan",
                    "[Mode]\nCorvantis=C\n[Server IP]\nCorvantis=10.9.8.7\n[Connection]\n"
                    "Corvantis=internet\n[Alias]\nCorvantis=$MISSING\n",
                    false, false, {}, false, true, "$MISSING", false},
        StartupCase{"RemoteWithoutAliasIsA",
                    "[Mode]\nCorvantis=C\n[Server IP]\nCorvantis=10.9.8.7\n", false, false,
                    {{TKind::kError, kA}}, true, true, "", false}),
    [](const ::testing::TestParamInfo<StartupCase>& info) { return std::string(info.param.name); });

TEST(StartupWindowTest, TitleAndCaption) {
  Application();
  TIniSettingsStore settings(QStringLiteral("/nonexistent/Corvantis.ini"));
  TRecordedMessageBoxes messages;
  TestableForm form(settings, messages);
  EXPECT_EQ(form.windowTitle().toStdString(), kMainWindowCaption);
  EXPECT_FALSE(form.TabulaDatabase1().Connected()) << "nothing opens before loading ends";
}

}  // namespace
}  // namespace corvantis
