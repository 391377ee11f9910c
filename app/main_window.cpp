#include "app/main_window.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "app/message_boxes.h"
#include "app/settings_store.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/storage/data_session.h"

namespace corvantis {

namespace {

// The design-time values of the stored layout; the start-up handlers replace what matters.
constexpr const char* kDesignRemoteAddress = "192.168.1.10";
constexpr const char* kDesignDirectory = "C:\\Corvantis\\Data";

constexpr const char* kMessageA =
    "The Corvantis database has not been defined. The application can not continue. "
    "Corvantis will now terminate...";

std::string MessageB(const std::string& directory) {
  return "The Corvantis database:\r\n" + directory +
         "\r\ndoes not appear to be valid. Corvantis will now terminate...";
}

std::string MessageC(const std::string& directory) {
  return "The Corvantis database:\r\n" + directory +
         "\r\ndoes not appear to be pointing to Corvantis data. Corvantis will now terminate...";
}

std::string MessageD(const std::string& path) {
  return "The Windows Temp directory on this machine\n\r(" + path +
         ")\n\r does not exist. Corvantis will run but most likely not function properly!";
}

bool PathIs(const std::string& engine_path, bool directory) {
  const std::string native = tabula::ResolvePathCase(tabula::ToNativePath(engine_path));
  if (native.empty()) return false;
  tabula::TFileStatus status;
  if (tabula::CurrentPlatform().PathStatus(native, &status) != 0) return false;
  return status.directory == directory;
}

}  // namespace

std::string SystemTempPath() {
  return tabula::NormalizeDirectory(tabula::CurrentPlatform().TempDirectory());
}

bool DirectoryExists(const std::string& engine_path) { return PathIs(engine_path, true); }
bool FileExists(const std::string& engine_path) { return PathIs(engine_path, false); }

TFormUserMaintenance::TFormUserMaintenance(TSettingsStore& settings, TMessageBoxes& messages,
                                           QWidget* parent)
    : TFormUserMaintenance(settings, messages, TDeferStartup{}, parent) {
  Startup();
}

TFormUserMaintenance::TFormUserMaintenance(TSettingsStore& settings, TMessageBoxes& messages,
                                           TDeferStartup, QWidget* parent)
    : QMainWindow(parent),
      request_terminate_(&TFormUserMaintenance::QueueApplicationQuit),
      settings_(settings),
      messages_(messages) {
  setWindowTitle(QString::fromLatin1(kMainWindowCaption));
  CreateComponents();
}

TFormUserMaintenance::~TFormUserMaintenance() {
  // The database goes before its session; closing the session closes the engine side.
  try {
    if (database_) database_->Close();
    if (session_) session_->Close();
  } catch (const std::exception&) {
    // Nothing more can be done about a failure while the window goes away.
  }
  database_.reset();
  session_.reset();
}

void TFormUserMaintenance::CreateComponents() {
  // Creation order is the layout's: the database first, so that the end of loading opens it
  // and its opening activates the session.
  database_ = std::make_unique<tabula::TTabulaDatabase>(&form_);
  session_ = std::make_unique<tabula::TTabulaSession>(&form_);
  database_->BeginLoading();
  session_->BeginLoading();
  LoadStoredLayout();
}

void TFormUserMaintenance::LoadStoredLayout() {
  tabula::TTabulaSession& session = *session_;
  session.SetName("TabulaSession1");
  session.SetSessionName("TabulaSession1");
  session.SetLockRetryCount(15);
  session.SetLockWaitTime(100);
  session.SetLockProtocol(tabula::lpPessimistic);
  session.SetProgressSteps(20);
  session.SetSessionType(tabula::stLocal);
  session.SetRemoteType(tabula::rtLAN);
  session.SetRemotePort(12005);
  session.SetRemoteTrace(false);
  session.SetRemoteAddress(kDesignRemoteAddress);
  session.OnStartup = [this](tabula::TTabulaSession& sender) { TabulaSession1Startup(sender); };
  session.SetActive(true);

  tabula::TTabulaDatabase& database = *database_;
  database.SetName("TabulaDatabase1");
  database.SetDatabaseName("Corvantis");
  database.SetRemoteDatabase("Corvantis");
  database.SetSessionName("TabulaSession1");
  database.SetDirectory(kDesignDirectory);
  database.BeforeConnect = [this](tabula::TTabulaDatabase& sender) {
    TabulaDatabase1BeforeConnect(sender);
  };
  database.SetConnected(true);
}

void TFormUserMaintenance::Startup() { form_.EndLoadingComponents(); }

void TFormUserMaintenance::QueueApplicationQuit() {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
  }
}

void TFormUserMaintenance::RequestTerminate() {
  terminate_requested_ = true;
  if (request_terminate_) request_terminate_();
}

void TFormUserMaintenance::TabulaDatabase1BeforeConnect(tabula::TTabulaDatabase& Sender) {
  try {
    mode_setting_ = settings_.ReadSetting("Mode", "Corvantis");
    if (mode_setting_ != "C") {
      Sender.SetDirectory(settings_.ReadAlias("Corvantis"));
      settings_valid_ = true;
      if (Sender.Directory().empty()) Sender.SetDirectory(settings_.ReadAlias("Corvan Tis"));
      if (Sender.Directory().empty()) {
        messages_.ShowError(kMessageA);
        settings_valid_ = false;
      } else if (DirectoryExists(Sender.Directory())) {
        if (!FileExists(Sender.Directory() + "\\Staff.dat")) {
          messages_.ShowError(MessageC(Sender.Directory()));
          settings_valid_ = false;
        }
      } else {
        messages_.ShowError(MessageB(Sender.Directory()));
        settings_valid_ = false;
      }
    } else {
      settings_valid_ = true;
      Sender.SetRemoteDatabase("Corvantis");
      Sender.SetDatabaseName("Corvantis");
      // The value names are tried in the opposite order from local mode.
      Sender.SetDirectory(settings_.ReadSetting("Alias", "Corvan Tis"));
      if (Sender.Directory().empty()) Sender.SetDirectory(settings_.ReadSetting("Alias", "Corvantis"));
      if (Sender.Directory().empty()) {
        messages_.ShowError(kMessageA);
        settings_valid_ = false;
      }
    }
    Sender.SetSessionName(session_->SessionName());
    if (!settings_valid_) RequestTerminate();
  } catch (const std::exception& error) {
    messages_.ShowMessage(error.what());
  }
}

void TFormUserMaintenance::TabulaSession1Startup(tabula::TTabulaSession& Sender) {
  try {
    const std::string temp_path = SystemTempPath();
    mode_setting_ = settings_.ReadSetting("Mode", "Corvantis");
    Sender.SetPrivateDir(temp_path);
    if (!DirectoryExists(temp_path)) messages_.ShowError(MessageD(temp_path));
    if (mode_setting_ != "C") {
      Sender.SetSessionType(tabula::stLocal);
      Sender.SetDataBufferSize(Sender.DataBufferSize() * 2);
      Sender.SetDataBufferCount(Sender.DataBufferCount() * 2);
      Sender.SetIndexBufferSize(Sender.IndexBufferSize() * 2);
      Sender.SetBlobBufferSize(Sender.BlobBufferSize() * 2);
      Sender.SetBlobBufferCount(Sender.BlobBufferCount() * 2);
    } else {
      Sender.SetSessionType(tabula::stRemote);
      Sender.SetRemoteAddress(settings_.ReadSetting("Server IP", "Corvantis"));
      Sender.SetRemoteType(settings_.ReadSetting("Connection", "Corvantis") == "Internet"
                               ? tabula::rtInternet
                               : tabula::rtLAN);
      Sender.SetRemoteUser(kRemoteLogin);
      Sender.SetRemotePassword(kRemoteLogin);
    }
  } catch (const std::exception& error) {
    messages_.ShowMessage(error.what());
  }
}

}  // namespace corvantis
