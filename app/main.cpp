// corvantis-admin: the Corvantis user administration tool.
//
//   corvantis-admin [--settings <file>]
//
// --settings names the connection settings file (else $CORVANTIS_SETTINGS, else the user's
// configuration directory); see the README for its layout.
#include <QApplication>
#include <QStringList>
#include <cstdlib>
#include <memory>

#include "app/main_window.h"
#include "app/message_boxes.h"
#include "app/settings_store.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(corvantis::kApplicationTitle));

  QString settings_path = corvantis::TIniSettingsStore::DefaultLocation();
  const QStringList arguments = QApplication::arguments();
  const qsizetype at = arguments.indexOf(QStringLiteral("--settings"));
  if (at >= 0 && at + 1 < arguments.size()) settings_path = arguments.at(at + 1);

  corvantis::TIniSettingsStore settings(settings_path);
  corvantis::TQtMessageBoxes messages(nullptr);
  std::unique_ptr<corvantis::TFormUserMaintenance> window;
  try {
    window = std::make_unique<corvantis::TFormUserMaintenance>(settings, messages);
  } catch (const std::exception& error) {
    // The application's standard error display: the opening failed, nothing to show.
    messages.ShowError(error.what());
    return EXIT_FAILURE;
  }
  window->show();
  return app.exec();
}
