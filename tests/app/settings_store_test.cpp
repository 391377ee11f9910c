#include "app/settings_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "engine/base/engine_error.h"

namespace corvantis {
namespace {

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvantis-settings-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/Corvantis.ini";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  void Write(const std::string& text) { std::ofstream(path_) << text; }

  std::string dir_;
  std::string path_;
};

TEST_F(SettingsStoreTest, MissingFileKeyOrValueReadsEmpty) {
  TIniSettingsStore store(QString::fromStdString(path_));
  EXPECT_EQ(store.ReadSetting("Mode", "Corvantis"), "");
  Write("[Mode]\nOther=C\n");
  EXPECT_EQ(store.ReadSetting("Mode", "Corvantis"), "");
  EXPECT_EQ(store.ReadSetting("Connection", "Corvantis"), "");
}

TEST_F(SettingsStoreTest, ReadsKeysAndValueNamesWithBlanks) {
  Write(
      "[Mode]\nCorvantis=C\n"
      "[Server IP]\nCorvantis=10.1.2.3\n"
      "[Connection]\nCorvantis=Internet\n"
      "[Alias]\nCorvantis=/srv/data\nCorvan%20Tis=/srv/other\n");
  TIniSettingsStore store(QString::fromStdString(path_));
  EXPECT_EQ(store.ReadSetting("Mode", "Corvantis"), "C");
  EXPECT_EQ(store.ReadSetting("Server IP", "Corvantis"), "10.1.2.3");
  EXPECT_EQ(store.ReadSetting("Connection", "Corvantis"), "Internet");
  EXPECT_EQ(store.ReadAlias("Corvantis"), "/srv/data");
  EXPECT_EQ(store.ReadAlias("Corvan Tis"), "/srv/other");
}

TEST_F(SettingsStoreTest, ValueOfAnotherTypeIsAnError) {
  Write("[Mode]\nCorvantis=a, b\n[Alias]\nCorvantis=@ByteArray(xyz)\n");
  TIniSettingsStore store(QString::fromStdString(path_));
  for (const char* key : {"Mode", "Alias"}) {
    try {
      store.ReadSetting(key, "Corvantis");
      ADD_FAILURE() << key;
    } catch (const tabula::Exception& e) {
      EXPECT_STREQ(e.what(), "Invalid data type for 'Corvantis'");
    }
  }
}

TEST_F(SettingsStoreTest, LocationCanBeOverridden) {
  ::setenv("CORVANTIS_SETTINGS", path_.c_str(), 1);
  EXPECT_EQ(TIniSettingsStore::DefaultLocation().toStdString(), path_);
  ::unsetenv("CORVANTIS_SETTINGS");
  EXPECT_TRUE(TIniSettingsStore::DefaultLocation().endsWith("/Tabula/Corvantis.ini"));
}

}  // namespace
}  // namespace corvantis
