#include "engine/base/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/base/platform_test_util.h"

namespace tabula {
namespace {

namespace fs = std::filesystem;

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = DefaultPlatform().TempDirectory() + "tabula-platform-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Touch(const std::string& name) { std::ofstream(dir_ + "/" + name) << "x"; }
  std::string dir_;
};

TEST_F(PlatformTest, EnginePathsBecomePosixPaths) {
  EXPECT_EQ(ToNativePath("  \\data\\Staff.dat \t"), "/data/Staff.dat");
  EXPECT_EQ(ToNativePath("rel\\dir\\"), "rel/dir/");
  EXPECT_EQ(ToNativePath(""), "");
}

TEST_F(PlatformTest, ResolvePathCaseFindsTheSpellingOnDisk) {
  fs::create_directories(dir_ + "/Data/Sub");
  Touch("Data/Sub/STAFF.DAT");
  Touch("Data/both.dat");
  Touch("Data/BOTH.dat");
  const struct {
    const char* asked;
    const char* found;
  } cases[] = {
      {"/data/sub/staff.dat", "/Data/Sub/STAFF.DAT"},  // every component differs
      {"/Data/Sub/STAFF.DAT", "/Data/Sub/STAFF.DAT"},  // exact
      {"/DATA/both.dat", "/Data/both.dat"},            // the exact name wins over others
      {"/data/Both.DAT", "/Data/BOTH.dat"},            // else the first in byte order
      {"/data/SUB/new.dat", "/Data/Sub/new.dat"},      // a name still to be created
      {"/nothing/Sub/x.dat", "/nothing/Sub/x.dat"},    // the rest is kept as given
      {"/data//sub/./staff.dat", "/Data//Sub/./STAFF.DAT"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolvePathCase(dir_ + c.asked), dir_ + c.found) << c.asked;
  }
}

TEST_F(PlatformTest, RangeLocksConflictBetweenDescriptorsOfOneProcess) {
  Touch("locks.dat");
  TPlatform& platform = DefaultPlatform();
  const std::string path = dir_ + "/locks.dat";
  const int a = platform.OpenFile(path, O_RDWR, 0);
  const int b = platform.OpenFile(path, O_RDWR, 0);
  const int c = platform.OpenFile(path, O_RDONLY, 0);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_GE(c, 0);
  ASSERT_EQ(platform.LockRange(a, 0xFFFFFFFFu, 1, TRangeLockKind::kExclusive), 0);
  EXPECT_EQ(platform.LockRange(b, 0xFFFFFFFFu, 1, TRangeLockKind::kExclusive), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(platform.LockRange(c, 0xFFFFFFFFu, 1, TRangeLockKind::kShared), -1);
  // The test takes nothing and sees only other descriptions' locks.
  EXPECT_EQ(platform.TestRangeLock(b, 0xFFFFFFF0u, 16, TRangeLockKind::kShared), 1);
  EXPECT_EQ(platform.TestRangeLock(a, 0xFFFFFFFFu, 1, TRangeLockKind::kExclusive), 0);
  EXPECT_EQ(platform.TestRangeLock(b, 0xFFFFFFF0u, 15, TRangeLockKind::kExclusive), 0);
  // Shared locks coexist, and keep exclusive ones out.
  EXPECT_EQ(platform.LockRange(b, 0x1000000000ULL, 1, TRangeLockKind::kShared), 0);
  EXPECT_EQ(platform.LockRange(c, 0x1000000000ULL, 1, TRangeLockKind::kShared), 0);
  EXPECT_EQ(platform.LockRange(a, 0x1000000000ULL, 1, TRangeLockKind::kExclusive), -1);
  // Closing another descriptor of the file drops none of a's locks.
  ASSERT_EQ(platform.CloseFile(c), 0);
  EXPECT_EQ(platform.LockRange(b, 0xFFFFFFFFu, 1, TRangeLockKind::kExclusive), -1);
  EXPECT_EQ(platform.UnlockRange(a, 0xFFFFFFFFu, 1), 0);
  EXPECT_EQ(platform.LockRange(b, 0xFFFFFFFFu, 1, TRangeLockKind::kExclusive), 0);
  // An empty range would mean "to the end and beyond": refused.
  EXPECT_EQ(platform.LockRange(a, 10, 0, TRangeLockKind::kExclusive), -1);
  EXPECT_EQ(errno, EINVAL);
  platform.CloseFile(a);
  platform.CloseFile(b);
}

TEST_F(PlatformTest, TempDirectoryFollowsTmpdir) {
  const char* saved = std::getenv("TMPDIR");
  const std::string saved_value = saved != nullptr ? saved : "";
  setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(DefaultPlatform().TempDirectory(), "/var/tmp/");
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(DefaultPlatform().TempDirectory(), "/tmp/");
  if (saved != nullptr) {
    setenv("TMPDIR", saved_value.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST_F(PlatformTest, InstrumentedPlatformCountsAndInjects) {
  TInstrumentedPlatform instrumented;
  {
    TScopedPlatform installed(&instrumented);
    EXPECT_EQ(&CurrentPlatform(), &instrumented);
    TPlatform& platform = CurrentPlatform();
    const int fd = platform.OpenFile(dir_ + "/count.dat", O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const char data[10] = "abcdefghi";
    EXPECT_EQ(platform.WriteAt(fd, data, 10, 0), 10);
    instrumented.FailWriteAt(2, ENOSPC, 4);
    EXPECT_EQ(platform.WriteAt(fd, data, 10, 10), 10);
    EXPECT_EQ(platform.WriteAt(fd, data, 10, 20), 4);
    EXPECT_EQ(platform.WriteAt(fd, data, 10, 30), 10);
    instrumented.FailWritesFrom(1);
    EXPECT_EQ(platform.WriteAt(fd, data, 10, 30), -1);
    EXPECT_EQ(errno, ENOSPC);
    instrumented.ClearFaults();
    char got[10];
    instrumented.SetShortReads(3);
    EXPECT_EQ(platform.ReadAt(fd, got, 10, 0), 3);
    platform.SleepMilliseconds(0);
    platform.CloseFile(fd);
    EXPECT_EQ(instrumented.Count(TInstrumentedPlatform::kWrite), 5u);
    EXPECT_EQ(instrumented.BytesWritten(), 34u);
    EXPECT_EQ(instrumented.FileCalls(), 8u);  // the sleep is not a file call
    EXPECT_EQ(instrumented.Count(TInstrumentedPlatform::kSleep), 1u);
  }
  EXPECT_EQ(&CurrentPlatform(), &DefaultPlatform());
}

TEST_F(PlatformTest, ProcessAndTimeServices) {
  TPlatform& platform = DefaultPlatform();
  EXPECT_EQ(platform.ProcessId(), static_cast<std::uint32_t>(getpid()));
  EXPECT_NE(platform.ThreadId(), 0u);
  EXPECT_FALSE(platform.HostName().empty());
  const std::uint32_t before = platform.TickCount();
  platform.SleepMilliseconds(5);
  EXPECT_GE(platform.TickCount() - before, 5u);
  const TLocalDateTime now = platform.LocalDateTime();
  EXPECT_GE(now.year, 2024);
  EXPECT_TRUE(now.month >= 1 && now.month <= 12);
}

}  // namespace
}  // namespace tabula
