#include "app/settings_store.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include "engine/base/engine_error.h"

namespace corvantis {

TIniSettingsStore::TIniSettingsStore(QString file_path) : file_path_(std::move(file_path)) {}

std::string TIniSettingsStore::ReadSetting(const std::string& key_name,
                                           const std::string& value_name) {
  // A missing file is a store without keys; QSettings never creates it on reading.
  if (!QFileInfo(file_path_).isFile()) return std::string();
  QSettings settings(file_path_, QSettings::IniFormat);
  settings.beginGroup(QString::fromLatin1(key_name.c_str()));
  const QVariant value = settings.value(QString::fromLatin1(value_name.c_str()));
  settings.endGroup();
  if (!value.isValid()) return std::string();
  if (value.typeId() != QMetaType::QString) {
    throw tabula::Exception(tabula::FormatMessageText("Invalid data type for '%s'", {value_name}));
  }
  return value.toString().toLatin1().toStdString();
}

QString TIniSettingsStore::DefaultLocation() {
  const QByteArray overridden = qgetenv("CORVANTIS_SETTINGS");
  if (!overridden.isEmpty()) return QString::fromLocal8Bit(overridden);
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         "/Tabula/Corvantis.ini";
}

}  // namespace corvantis
