// The per-user connection settings of the tool, read-only.
//
// The settings are one key per setting directly under "\Software\Tabula\", each holding a
// string value named after the product ("Corvantis"; the alias also as "Corvan Tis"). A key
// or value that does not exist reads as empty text; a value of another type is an error.
//
// TIniSettingsStore keeps them in an INI file: one group per key, one entry per value name:
//
//   [Mode]
//   Corvantis=C
//   [Server%20IP]          (QSettings writes a blank in a name as %20; a plain blank reads too)
//   Corvantis=10.0.0.5
//   [Alias]
//   Corvantis=/srv/corvantis
//
// The file is $CORVANTIS_SETTINGS when set (or the tool's --settings option), else
// <user config dir>/Tabula/Corvantis.ini. The tool never writes it.
// Thread-safety: none needed; the tool reads settings on its one thread.
#pragma once

#include <QString>
#include <memory>
#include <string>

namespace corvantis {

class TSettingsStore {
 public:
  virtual ~TSettingsStore() = default;

  // The string value `value_name` of the key "\Software\Tabula\<key_name>"; empty text when
  // the key or the value is missing. Raises tabula::Exception with "Invalid data type for
  // '<value_name>'" when the value exists with a type other than text.
  virtual std::string ReadSetting(const std::string& key_name, const std::string& value_name) = 0;

  // The same on the fixed key "\Software\Tabula\Alias".
  std::string ReadAlias(const std::string& value_name) { return ReadSetting("Alias", value_name); }
};

class TIniSettingsStore : public TSettingsStore {
 public:
  explicit TIniSettingsStore(QString file_path);

  std::string ReadSetting(const std::string& key_name, const std::string& value_name) override;
  const QString& FilePath() const { return file_path_; }

  // $CORVANTIS_SETTINGS when set, else <user config dir>/Tabula/Corvantis.ini.
  static QString DefaultLocation();

 private:
  QString file_path_;
};

}  // namespace corvantis
