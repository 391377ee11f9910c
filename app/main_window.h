// The tool's main window, TFormUserMaintenance.
//
// Creating the window creates its components from the stored layout: the database
// TabulaDatabase1 and the session TabulaSession1, both stored as open. Loading ends when the
// layout is complete, and only then does the database open: its BeforeConnect handler reads
// the connection settings and points it at the data, the session activates (its OnStartup
// handler chooses the mode and the private directory), and the engine database opens.
// The handlers show their own messages and never raise: an error inside one is shown with its
// own text and the rest of that handler is skipped.
//
// Thread-safety: the window and its components live on the GUI thread.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

#include "components/tabula.h"

namespace corvantis {

class TMessageBoxes;
class TSettingsStore;

// The window's fixed texts.
inline constexpr const char* kApplicationTitle = "Corvantis User Administration Tool";
inline constexpr const char* kMainWindowCaption = "Corvantis User Maintenance";
// The remote login of the tool in client-server mode.
inline constexpr const char* kRemoteLogin = "kervaldo";

class TFormUserMaintenance : public QMainWindow {
  Q_OBJECT

 public:
  // `settings` and `messages` (not owned) outlive the window. Construction runs the start-up:
  // an error of the opening database propagates after the handlers ran.
  TFormUserMaintenance(TSettingsStore& settings, TMessageBoxes& messages,
                       QWidget* parent = nullptr);
  ~TFormUserMaintenance() override;

  // Event handlers of the stored layout.
  void TabulaDatabase1BeforeConnect(tabula::TTabulaDatabase& Sender);
  void TabulaSession1Startup(tabula::TTabulaSession& Sender);

  tabula::TTabulaSession& TabulaSession1() { return *session_; }
  tabula::TTabulaDatabase& TabulaDatabase1() { return *database_; }
  const std::string& ModeSetting() const { return mode_setting_; }
  bool SettingsValid() const { return settings_valid_; }
  bool TerminateRequested() const { return terminate_requested_; }

  // Asks the application to end when its event loop next runs (replaceable by tests, which
  // construct the window through the two-step constructor below).
  static void QueueApplicationQuit();

 protected:
  // Tests build the window without running the start-up yet, then call Startup().
  struct TDeferStartup {};
  TFormUserMaintenance(TSettingsStore& settings, TMessageBoxes& messages, TDeferStartup,
                       QWidget* parent = nullptr);
  void Startup();
  std::function<void()> request_terminate_;

 private:
  void CreateComponents();
  void LoadStoredLayout();
  void RequestTerminate();

  TSettingsStore& settings_;    // not owned
  TMessageBoxes& messages_;     // not owned
  tabula::TComponent form_;     // owner of the layout's components
  std::unique_ptr<tabula::TTabulaDatabase> database_;
  std::unique_ptr<tabula::TTabulaSession> session_;
  std::string mode_setting_;
  bool settings_valid_ = true;
  bool terminate_requested_ = false;
};

// The engine path of the directory for temporary files, ending in "\".
std::string SystemTempPath();
// Existence tests on engine paths ("\" separators, names matched without regard to case).
bool DirectoryExists(const std::string& engine_path);
bool FileExists(const std::string& engine_path);

}  // namespace corvantis
