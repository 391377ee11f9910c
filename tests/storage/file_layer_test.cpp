#include "engine/storage/file_layer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/base/platform_test_util.h"
#include "tests/storage/storage_test_util.h"

namespace tabula {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed = 1) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return bytes;
}

std::vector<std::uint8_t> ReadDiskFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteDiskFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Inflates a run of zlib streams that follow one another without length prefixes.
std::vector<std::uint8_t> InflateStreams(const std::vector<std::uint8_t>& packed, int* streams) {
  std::vector<std::uint8_t> out;
  std::size_t pos = 0;
  *streams = 0;
  std::vector<std::uint8_t> block(kCopyBlockSize);
  while (pos < packed.size()) {
    z_stream z = {};
    if (inflateInit(&z) != Z_OK) return {};
    z.next_in = const_cast<Bytef*>(packed.data() + pos);
    z.avail_in = static_cast<uInt>(packed.size() - pos);
    int rc;
    do {
      z.next_out = block.data();
      z.avail_out = static_cast<uInt>(block.size());
      rc = inflate(&z, Z_NO_FLUSH);
      out.insert(out.end(), block.data(), block.data() + (block.size() - z.avail_out));
    } while (rc == Z_OK);
    pos += packed.size() - pos - z.avail_in;
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return {};
    ++*streams;
  }
  return out;
}

class FileLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = DefaultPlatform().TempDirectory() + "tabula-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    TFileList::Initialize();
  }
  void TearDown() override {
    TFileList::Shutdown();
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, ignored);
    fs::remove_all(dir_, ignored);
  }
  // The engine spelling of a path in the test directory ("\" separators).
  std::string EnginePath(const std::string& name) const {
    std::string path = dir_ + "/" + name;
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    return path;
  }
  std::string DiskPath(const std::string& name) const { return dir_ + "/" + name; }

  void MakeHandler(TFileHandler& handler, const std::string& name, bool in_memory = false) {
    handler.SetFileName(in_memory ? name : EnginePath(name));
    handler.SetInMemory(in_memory);
  }

  std::string dir_;
};

// ---------------------------------------------------------------- in-memory files

TEST_F(FileLayerTest, MemoryFileReadsWritesAndCutsLikeADisk) {
  TFileHandler file;
  MakeHandler(file, "mem.dat", true);
  file.CreateNew();
  const auto bytes = Pattern(100);
  // Writing past the end leaves zeros in the gap.
  file.Seek(kSeekFromStart, 5000);
  file.Write(bytes.data(), 100);
  EXPECT_EQ(file.GetSize(), 5100u);
  EXPECT_EQ(static_cast<TMemoryFile*>(file.File())->Capacity(), 8192u);
  std::vector<std::uint8_t> got(200, 0xEE);
  EXPECT_EQ(file.ReadAt(4900, got.data(), 200), 200);
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.begin() + 100),
            std::vector<std::uint8_t>(100, 0));
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin() + 100, got.end()), bytes);

  // Reading past the end returns fewer bytes, 0 at the end.
  EXPECT_EQ(file.ReadAt(5050, got.data(), 200, true), 50);
  EXPECT_EQ(file.Read(got.data(), 10, true), 0);
  EXPECT_EQ(ErrorOf([&] { file.ReadAt(5050, got.data(), 200); }), TABULA_READERR);

  // Writing 0 bytes at a position sets the size there; the buffer never shrinks but a later
  // write past the end still sees zeros where the cut bytes were.
  file.WriteAt(5010, nullptr, 0);
  EXPECT_EQ(file.GetSize(), 5010u);
  EXPECT_EQ(static_cast<TMemoryFile*>(file.File())->Capacity(), 8192u);
  file.WriteAt(6000, bytes.data(), 1);
  EXPECT_EQ(file.ReadAt(5010, got.data(), 90), 90);
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.begin() + 90),
            std::vector<std::uint8_t>(90, 0));
  // Cutting to 0 frees the buffer.
  file.WriteAt(0, nullptr, 0);
  EXPECT_EQ(file.GetSize(), 0u);
  EXPECT_EQ(static_cast<TMemoryFile*>(file.File())->Capacity(), 0u);
  EXPECT_EQ(file.Seek(kSeekFromEnd, 0), 0);
  EXPECT_EQ(ErrorOf([&] { file.Seek(kSeekFromCurrent, -1); }), TABULA_READERR);
}

TEST_F(FileLayerTest, MemoryFileOutlivesItsHandlesUntilDeleted) {
  TFileHandler missing;
  MakeHandler(missing, "never.dat", true);
  EXPECT_FALSE(missing.Exists());
  EXPECT_EQ(ErrorOf([&] { missing.Open(); }), TABULA_OSENOENT);
  EXPECT_EQ(ErrorOf([&] { missing.Remove(); }), TABULA_OSENOENT);
  EXPECT_EQ(ErrorOf([&] { missing.Rename("other.dat"); }), TABULA_OSENOENT);

  const auto bytes = Pattern(300);
  {
    TFileHandler writer;
    MakeHandler(writer, "Keep.dat", true);
    writer.CreateNew();
    writer.Write(bytes.data(), 300);
    // Deleting, renaming or re-creating it while a handle is open is refused.
    TFileHandler other;
    MakeHandler(other, " KEEP.DAT ", true);
    EXPECT_EQ(ErrorOf([&] { other.Remove(); }), TABULA_OSEACCES);
    EXPECT_EQ(ErrorOf([&] { other.Rename("x.dat"); }), TABULA_OSEACCES);
    EXPECT_EQ(ErrorOf([&] { other.CreateNew(); }), TABULA_OSEACCES);
    writer.Close();
  }
  TFileHandler reader;
  MakeHandler(reader, "keep.DAT", true);
  ASSERT_TRUE(reader.Exists());
  reader.Open();
  std::vector<std::uint8_t> got(300);
  EXPECT_EQ(reader.Read(got.data(), 300), 300);
  EXPECT_EQ(got, bytes);
  reader.Close();
  reader.Rename("moved.dat");
  EXPECT_EQ(reader.FileName(), "moved.dat");
  reader.Remove();
  EXPECT_FALSE(reader.Exists());
  EXPECT_EQ(TFileList::Instance().Count(), 0u);

  // A temporary in-memory file goes with its last handle.
  TFileHandler temp;
  MakeHandler(temp, "temp.dat", true);
  temp.CreateNew();
  temp.Close();
  temp.SetTemporary(true);
  temp.Open();
  TFileHandler second;
  MakeHandler(second, "temp.dat", true);
  second.Open();
  temp.Close();
  EXPECT_TRUE(second.Exists());
  second.Close();
  EXPECT_FALSE(second.Exists());
}

// ---------------------------------------------------------------- locks, both kinds

TEST_F(FileLayerTest, OverlappingLocksConflictOnBothKindsOfFile) {
  for (const bool in_memory : {true, false}) {
    SCOPED_TRACE(in_memory ? "memory" : "disk");
    TFileHandler a, b;
    MakeHandler(a, "locks.dat", in_memory);
    MakeHandler(b, "locks.dat", in_memory);
    a.CreateNew();
    a.Close();
    a.Open();
    b.Open();
    ASSERT_EQ(a.File(), b.File());
    // The index file's write lock, then readers and a second writer.
    EXPECT_TRUE(a.LockRange(65536, 0xFFFEFFFFu));
    EXPECT_FALSE(b.LockRange(1, 0xFFFFFFFFu - 77));
    EXPECT_FALSE(b.LockRange(65536, 0xFFFEFFFFu));
    EXPECT_FALSE(a.LockRange(1, 0xFFFFFFFEu));     // one holder overlapping itself also fails
    EXPECT_TRUE(b.LockRange(1, 0xFFFFFFFFu));      // the byte right after the range
    EXPECT_TRUE(b.LockRange(1, 0xFFFEFFFEu));      // the byte right before it
    EXPECT_TRUE(b.LockRange(16, 0x100000000ULL));  // beyond 32 bits
    EXPECT_FALSE(a.LockRange(1, 0x10000000FULL));
    // Unlocking needs the exact range that was locked.
    EXPECT_FALSE(b.UnlockRange(1, 0x12345678u));
    EXPECT_FALSE(a.UnlockRange(1, 0xFFFEFFFFu));
    EXPECT_TRUE(a.UnlockRange(65536, 0xFFFEFFFFu));
    EXPECT_FALSE(a.UnlockRange(65536, 0xFFFEFFFFu));
    EXPECT_TRUE(b.LockRange(1, 0xFFFFFFFFu - 77));
    // Empty ranges and ranges reaching the reserved share byte are refused.
    EXPECT_FALSE(a.LockRange(0, 100));
    EXPECT_FALSE(a.LockRange(1, kShareLockOffset));
    EXPECT_FALSE(a.LockRange(2, kShareLockOffset - 1));
    EXPECT_FALSE(a.LockRange(UINT64_MAX, 2));
    // Closing one handle keeps the locks taken through the other.
    EXPECT_TRUE(a.LockRange(1, 5));
    b.Close();
    EXPECT_FALSE(a.LockRange(1, 5));
    EXPECT_TRUE(a.UnlockRange(1, 5));
    a.Close();
    EXPECT_FALSE(a.LockRange(1, 5));  // not open
    if (in_memory) a.Remove();
  }
}

// Neighbouring one-byte locks (the record locks of consecutive records) share one entry of
// the lock table, yet each is released by itself, and a run never passes for a longer lock.
TEST_F(FileLayerTest, NeighbouringOneByteLocksFormRunsReleasedOneByOne) {
  struct TStep {
    bool lock;
    std::uint64_t length, first;
    bool result;
  };
  const TStep steps[] = {
      {true, 1, 11, true},   {true, 1, 13, true},   {true, 1, 12, true},  // 11..13, joined
      {true, 1, 12, false},  {true, 3, 11, false},  {false, 3, 11, false},
      {false, 2, 12, false}, {true, 2, 14, true},  // a two-byte lock beside the run
      {false, 2, 13, false}, {false, 1, 14, false}, {true, 1, 10, true},
      {false, 1, 12, true},  // the middle goes, 10, 11 and 13 stay
      {true, 1, 12, true},   {false, 1, 10, true},  {false, 1, 13, true},
      {false, 1, 11, true},  {false, 1, 12, true},  {false, 1, 12, false},
      {false, 2, 14, true},
  };
  const std::vector<std::vector<std::uint64_t>> held = {{11},
                                                        {11, 13},
                                                        {11, 12, 13},
                                                        {11, 12, 13},
                                                        {11, 12, 13},
                                                        {11, 12, 13},
                                                        {11, 12, 13},
                                                        {11, 12, 13, 14},
                                                        {11, 12, 13, 14},
                                                        {11, 12, 13, 14},
                                                        {10, 11, 12, 13, 14},
                                                        {10, 11, 13, 14},
                                                        {10, 11, 12, 13, 14},
                                                        {11, 12, 13, 14},
                                                        {11, 12, 14},
                                                        {12, 14},
                                                        {14},
                                                        {14},
                                                        {}};
  ASSERT_EQ(std::size(steps), held.size());
  for (const bool in_memory : {true, false}) {
    SCOPED_TRACE(in_memory ? "memory" : "disk");
    TFileHandler a;
    MakeHandler(a, "runs.dat", in_memory);
    a.CreateNew();
    for (std::size_t i = 0; i < held.size(); ++i) {
      const TStep& step = steps[i];
      EXPECT_EQ(
          step.lock ? a.LockRange(step.length, step.first) : a.UnlockRange(step.length, step.first),
          step.result)
          << "step " << i;
      // Reported lock by lock: the one-byte locks each, the two-byte lock as one.
      std::vector<std::uint64_t> firsts;
      for (const auto& lock : a.File()->RangeLocks()) {
        firsts.push_back(lock.first);
        EXPECT_EQ(lock.length, lock.first == 14 ? 2u : 1u) << "step " << i;
      }
      EXPECT_EQ(firsts, held[i]) << "step " << i;
    }
    a.Close();
    if (in_memory) a.Remove();
  }
}

// A transaction's record locks go back together at its end: the one-byte locks within a span
// are released at once (on disk in one system call), and only when the span holds exactly as
// many as the caller knows to be its own, all of them one-byte locks.
TEST_F(FileLayerTest, OneByteLocksOfASpanAreReleasedAtOnce) {
  struct TStep {
    std::uint64_t first, last, count;
    bool result;
    std::vector<std::uint64_t> held;  // afterwards, by first byte
  };
  const TStep steps[] = {
      {11, 13, 3, true, {10, 14, 16, 20, 22}},   // the middle of the run 10..14
      {10, 11, 2, false, {10, 14, 16, 20, 22}},  // 11 is no longer held
      {14, 20, 2, false, {10, 14, 16, 20, 22}},  // the two-byte lock 16..17 lies within
      {18, 22, 2, true, {10, 14, 16}},           // 21, not held, lies between
      {14, 14, 0, false, {10, 14, 16}},          // nothing
      {10, 14, 3, false, {10, 14, 16}},          // only two are held
      {10, 14, 2, true, {16}},
      {16, 16, 1, false, {16}},  // half of the two-byte lock
  };
  for (const bool in_memory : {true, false}) {
    SCOPED_TRACE(in_memory ? "memory" : "disk");
    TInstrumentedPlatform platform;
    TScopedPlatform installed(&platform);
    TFileHandler a;
    MakeHandler(a, "spans.dat", in_memory);
    a.CreateNew();
    for (const std::uint64_t byte : {10, 11, 12, 13, 14, 20, 22}) ASSERT_TRUE(a.LockRange(1, byte));
    ASSERT_TRUE(a.LockRange(2, 16));
    for (std::size_t i = 0; i < std::size(steps); ++i) {
      const TStep& step = steps[i];
      platform.ResetCounts();
      EXPECT_EQ(a.UnlockBytes(step.first, step.last, step.count), step.result) << "step " << i;
      EXPECT_EQ(platform.Count(TInstrumentedPlatform::kUnlock), step.result && !in_memory ? 1u : 0u)
          << "step " << i;
      std::vector<std::uint64_t> firsts;
      for (const auto& lock : a.File()->RangeLocks()) firsts.push_back(lock.first);
      EXPECT_EQ(firsts, step.held) << "step " << i;
    }
    EXPECT_TRUE(a.LockRange(5, 10)) << "the released bytes are free again";
    a.Close();
    EXPECT_FALSE(a.UnlockBytes(16, 17, 2)) << "not open";
    if (in_memory) a.Remove();
  }
}

// ---------------------------------------------------------------- disk files

TEST_F(FileLayerTest, HandlersOfOneNameShareOneDescriptor) {
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  TFileHandler creator;
  MakeHandler(creator, "shared.dat");
  creator.CreateNew();
  const auto bytes = Pattern(1000);
  creator.Write(bytes.data(), 1000);
  creator.Close();

  platform.ResetCounts();
  TFileHandler a, b;
  MakeHandler(a, "shared.dat");
  MakeHandler(b, "SHARED.dat");
  a.Open();
  b.Open();
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kOpen), 1u);
  EXPECT_EQ(a.File(), b.File());
  EXPECT_EQ(a.HandleId(), 1);
  EXPECT_EQ(b.HandleId(), 2);
  // The position is one for the whole process.
  a.Seek(kSeekFromStart, 400);
  std::uint8_t byte = 0;
  b.Read(&byte, 1);
  EXPECT_EQ(byte, bytes[400]);
  a.Close();
  std::vector<std::uint8_t> got(1000);
  EXPECT_EQ(b.ReadAt(0, got.data(), 1000), 1000);
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kClose), 0u);
  {
    // Closing inside an access leaves it, so the freed object is not left locked.
    TFileAccess access(b);
    b.Close();
  }
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kClose), 1u);
  EXPECT_EQ(TFileList::Instance().Count(), 0u);
}

TEST_F(FileLayerTest, FailuresRaiseTheirEngineCodes) {
  fs::create_directory(DiskPath("adir"));
  TFileHandler existing;
  MakeHandler(existing, "open.dat");
  existing.CreateNew();

  struct TCase {
    const char* what;
    std::function<void()> action;
    std::uint16_t code;
  };
  const std::vector<TCase> cases = {
      {"open a missing file",
       [&] {
         TFileHandler h;
         MakeHandler(h, "none.dat");
         h.Open();
       },
       TABULA_OSENOENT},
      {"open a missing directory",
       [&] {
         TFileHandler h;
         MakeHandler(h, "nodir\\x.dat");
         h.Open();
       },
       TABULA_OSENOENT},
      {"open a directory",
       [&] {
         TFileHandler h;
         MakeHandler(h, "adir");
         h.Open();
       },
       TABULA_OSENOENT},
      {"create over a directory",
       [&] {
         TFileHandler h;
         MakeHandler(h, "adir");
         h.CreateNew();
       },
       TABULA_OSEACCES},
      {"create in a missing directory",
       [&] {
         TFileHandler h;
         MakeHandler(h, "nodir\\x.dat");
         h.CreateNew();
       },
       TABULA_OSENOENT},
      {"second open of a created file",
       [&] {
         TFileHandler h;
         MakeHandler(h, "open.dat");
         h.Open();
       },
       TABULA_OSEACCES},
      {"create a file open here",
       [&] {
         TFileHandler h;
         MakeHandler(h, "OPEN.dat");
         h.CreateNew();
       },
       TABULA_OSEACCES},
      {"remove a file open here",
       [&] {
         TFileHandler h;
         MakeHandler(h, "open.dat");
         h.Remove();
       },
       TABULA_OSEACCES},
      {"rename a file open here",
       [&] {
         TFileHandler h;
         MakeHandler(h, "open.dat");
         h.Rename(EnginePath("x.dat"));
       },
       TABULA_OSEACCES},
      {"remove a missing file",
       [&] {
         TFileHandler h;
         MakeHandler(h, "none.dat");
         h.Remove();
       },
       TABULA_OSENOENT},
      {"rename a missing file",
       [&] {
         TFileHandler h;
         MakeHandler(h, "none.dat");
         h.Rename(EnginePath("y.dat"));
       },
       TABULA_OSENOENT},
      {"read while closed",
       [&] {
         TFileHandler h;
         std::uint8_t b;
         h.Read(&b, 1);
       },
       TABULA_READERR},
      {"write while closed",
       [&] {
         TFileHandler h;
         std::uint8_t b = 0;
         h.Write(&b, 1);
       },
       TABULA_WRITEERR},
      {"short read",
       [&] {
         std::uint8_t b[4];
         existing.ReadAt(0, b, 4);
       },
       TABULA_READERR},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(ErrorOf(c.action), c.code) << c.what;
  }
  // The error names the file as its table.
  try {
    TFileHandler h;
    MakeHandler(h, "none.dat");
    h.Open();
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorTableName(), EnginePath("none.dat"));
  }
  // Things that do nothing while closed.
  TFileHandler closed;
  EXPECT_EQ(closed.Seek(kSeekFromEnd, 0), 0);
  EXPECT_EQ(closed.GetSize(), 0u);
  closed.Flush();
  closed.CopyTo(EnginePath("c.dat"), false);
  EXPECT_FALSE(fs::exists(DiskPath("c.dat")));
}

TEST_F(FileLayerTest, OSErrorsMapToEngineCodes) {
  const struct {
    int error;
    std::uint16_t code;
  } cases[] = {
      {ENOENT, TABULA_OSENOENT},  {ENOTDIR, TABULA_OSENOENT}, {EMFILE, TABULA_OSEMFILE},
      {ENFILE, TABULA_OSEMFILE},  {EACCES, TABULA_OSEACCES},  {EPERM, TABULA_OSEACCES},
      {EROFS, TABULA_OSEACCES},   {ETXTBSY, TABULA_OSEACCES}, {EISDIR, TABULA_OSEACCES},
      {EBADF, TABULA_OSEBADF},    {ENOMEM, TABULA_OSENOMEM},  {ENODEV, TABULA_OSENODEV},
      {ENXIO, TABULA_OSENODEV},   {EXDEV, TABULA_OSENOTSAM},  {EIO, TABULA_OSUNKNOWN},
      {ENOSPC, TABULA_OSUNKNOWN},
  };
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  TFileHandler file;
  MakeHandler(file, "mapped.dat");
  file.CreateNew();
  file.Close();
  for (const auto& c : cases) {
    EXPECT_EQ(EngineCodeForOSError(c.error), c.code) << c.error;
    // Through a failing open the error and its OS number reach the caller.
    platform.ClearFaults();
    platform.FailOpen("mapped", c.error);
    try {
      file.Open();
      ADD_FAILURE() << "open did not fail for " << c.error;
      file.Close();
    } catch (const ETabulaEngineError& error) {
      EXPECT_EQ(error.ErrorCode(), c.code) << c.error;
      EXPECT_EQ(error.OSErrorCode(), c.error);
    }
  }
  EXPECT_EQ(TFileList::Instance().Count(), 0u);
}

TEST_F(FileLayerTest, ReadOnlyFilesOpenForReading) {
  const auto bytes = Pattern(64);
  WriteDiskFile(DiskPath("ro.dat"), bytes);
  chmod(DiskPath("ro.dat").c_str(), 0444);
  TFileHandler file;
  MakeHandler(file, "ro.dat");
  file.Open();
  EXPECT_TRUE(file.ReadOnly());
  EXPECT_TRUE(file.ReadOnlyAttribute());
  std::vector<std::uint8_t> got(64);
  file.Read(got.data(), 64);
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(ErrorOf([&] { file.WriteAt(0, bytes.data(), 1); }), TABULA_WRITEERR);
  file.Close();
  // Re-creating a file that carries the attribute is refused, also when running as root.
  EXPECT_EQ(ErrorOf([&] { file.CreateNew(); }), TABULA_OSEACCES);
  EXPECT_EQ(ReadDiskFile(DiskPath("ro.dat")), bytes);

  // A medium that refuses writing: read-only without the attribute.
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  WriteDiskFile(DiskPath("share.dat"), bytes);
  platform.FailOpenForWriting("share.dat", EROFS);
  TFileHandler shared;
  MakeHandler(shared, "share.dat");
  shared.Open();
  EXPECT_TRUE(shared.ReadOnly());
  EXPECT_FALSE(shared.ReadOnlyAttribute());
  shared.Close();
  // Any other failure of the first open is not retried.
  platform.ClearFaults();
  platform.FailOpenForWriting("share.dat", EMFILE);
  EXPECT_EQ(ErrorOf([&] { shared.Open(); }), TABULA_OSEMFILE);
}

TEST_F(FileLayerTest, InjectedTransferFailuresRaise) {
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  TFileHandler file;
  MakeHandler(file, "faults.dat");
  file.CreateNew();
  const auto bytes = Pattern(4096);

  // A full device: a short write is an error, never a silently short file.
  platform.FailWriteAt(1, ENOSPC, 100);
  EXPECT_EQ(ErrorOf([&] { file.WriteAt(0, bytes.data(), 4096); }), TABULA_WRITEERR);
  platform.FailWriteAt(1, EIO);
  try {
    file.WriteAt(0, bytes.data(), 4096);
    ADD_FAILURE() << "the failed write was not raised";
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_WRITEERR);
    EXPECT_EQ(error.OSErrorCode(), EIO);
    EXPECT_EQ(error.ErrorTableName(), file.FileName());
  }
  file.WriteAt(0, bytes.data(), 4096);

  platform.SetShortReads(1000);
  std::vector<std::uint8_t> got(4096);
  try {
    file.ReadAt(0, got.data(), 4096);
    ADD_FAILURE() << "the short read was not raised";
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_READERR);
    EXPECT_EQ(error.OSErrorCode(), 0);  // an early end is no OS failure
  }
  EXPECT_EQ(file.ReadAt(0, got.data(), 4096, true), 1000);
  platform.ClearFaults();
  platform.FailReadAt(1, EIO);
  EXPECT_EQ(file.ReadAt(0, got.data(), 4096, true), -1);
  platform.FailReadAt(1, EIO);
  EXPECT_EQ(ErrorOf([&] { file.ReadAt(0, got.data(), 4096); }), TABULA_READERR);

  platform.FailSyncAt(1, EIO);
  EXPECT_EQ(ErrorOf([&] { file.Flush(); }), TABULA_WRITEERR);
  file.Flush();
  EXPECT_EQ(file.ReadAt(0, got.data(), 4096), 4096);
  EXPECT_EQ(got, bytes);

  // Writing 0 bytes cuts or extends the file at the position.
  file.WriteAt(10, nullptr, 0);
  EXPECT_EQ(file.GetSize(), 10u);
  file.WriteAt(9000, nullptr, 0);
  EXPECT_EQ(file.GetSize(), 9000u);
  EXPECT_EQ(file.Seek(kSeekFromEnd, 0), 9000);
  EXPECT_EQ(file.Seek(kSeekFromCurrent, -8000), 1000);
}

TEST_F(FileLayerTest, NamesMatchWithoutRegardToCase) {
  fs::create_directory(DiskPath("DATA"));
  WriteDiskFile(DiskPath("DATA/STAFF.DAT"), Pattern(10));
  TFileHandler file;
  MakeHandler(file, "data\\Staff.dat");
  EXPECT_TRUE(file.Exists());
  file.Open();
  EXPECT_EQ(file.GetSize(), 10u);
  file.Close();
  // A new file in a directory of other case lands in that directory with its own name.
  TFileHandler created;
  MakeHandler(created, "Data\\New.dat");
  created.CreateNew();
  created.Close();
  EXPECT_TRUE(fs::exists(DiskPath("DATA/New.dat")));
  // A rename that changes only the case is a rename of the file itself.
  file.Rename(EnginePath("data\\staff.dat"));
  EXPECT_TRUE(fs::exists(DiskPath("DATA/staff.dat")));
  EXPECT_FALSE(fs::exists(DiskPath("DATA/STAFF.DAT")));
  // A rename never replaces another file, also one that differs in case only.
  EXPECT_EQ(ErrorOf([&] { file.Rename(EnginePath("DATA\\NEW.DAT")); }), TABULA_OSEACCES);
  EXPECT_EQ(ReadDiskFile(DiskPath("DATA/staff.dat")).size(), 10u);
  TFileHandler upper;
  MakeHandler(upper, "DATA\\STAFF.DAT");
  upper.Remove();
  EXPECT_FALSE(fs::exists(DiskPath("DATA/staff.dat")));
  EXPECT_EQ(ResolvePathCase(DiskPath("data/new.DAT")), DiskPath("DATA/New.dat"));
}

TEST_F(FileLayerTest, TemporaryDiskFileGoesWithItsLastHandle) {
  TFileHandler file;
  MakeHandler(file, "temp.dat");
  file.SetTemporary(true);
  file.CreateNew();  // creation alone does not delete on close
  file.Close();
  ASSERT_TRUE(fs::exists(DiskPath("temp.dat")));
  file.Open();
  TFileHandler second;
  MakeHandler(second, "temp.dat");
  second.Open();
  file.Close();
  EXPECT_TRUE(fs::exists(DiskPath("temp.dat")));
  second.Close();
  EXPECT_FALSE(fs::exists(DiskPath("temp.dat")));
}

TEST_F(FileLayerTest, AccessLockKeepsSeekAndTransferTogether) {
  // Two handlers of one disk file share one position; each thread seeks and writes its own
  // records, then reads them back, under the access lock.
  TFileHandler creator;
  MakeHandler(creator, "threads.dat");
  creator.CreateNew();
  creator.Close();
  constexpr int kRecords = 300;
  constexpr std::uint32_t kRecordSize = 64;
  auto work = [&](int parity, bool* ok) {
    TFileHandler handler;
    MakeHandler(handler, "threads.dat");
    handler.Open();
    std::vector<std::uint8_t> record(kRecordSize), got(kRecordSize);
    for (int i = parity; i < kRecords; i += 2) {
      std::fill(record.begin(), record.end(), static_cast<std::uint8_t>(i));
      handler.WriteAt(static_cast<std::uint64_t>(i) * kRecordSize, record.data(), kRecordSize);
      handler.ReadAt(static_cast<std::uint64_t>(i) * kRecordSize, got.data(), kRecordSize);
      if (got != record) *ok = false;
    }
    handler.Close();
  };
  bool ok0 = true, ok1 = true;
  std::thread t0(work, 0, &ok0), t1(work, 1, &ok1);
  t0.join();
  t1.join();
  EXPECT_TRUE(ok0);
  EXPECT_TRUE(ok1);
  const auto bytes = ReadDiskFile(DiskPath("threads.dat"));
  ASSERT_EQ(bytes.size(), kRecords * kRecordSize);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_EQ(bytes[i], static_cast<std::uint8_t>(i / kRecordSize)) << "byte " << i;
  }
}

// ---------------------------------------------------------------- copies

TEST_F(FileLayerTest, CopyOfWholeBlocksEndsWithOneEmptyRead) {
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  const auto bytes = Pattern(3 * kCopyBlockSize);
  TFileHandler source;
  MakeHandler(source, "src.dat");
  source.CreateNew();
  source.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  std::vector<std::int32_t> reported;
  platform.ResetCounts();
  source.CopyTo(
      EnginePath("dst.dat"), false, 30,
      [&](std::int32_t percent, void* data) {
        EXPECT_EQ(data, &reported);
        reported.push_back(percent);
      },
      &reported);
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kRead), 4u);
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kWrite), 3u);
  EXPECT_EQ(reported, (std::vector<std::int32_t>{33, 66, 100}));
  EXPECT_EQ(ReadDiskFile(DiskPath("dst.dat")), bytes);
  // The destination was released.
  EXPECT_EQ(TFileList::Instance().Count(), 1u);
  // A destination open in this process is refused.
  EXPECT_EQ(ErrorOf([&] { source.CopyTo(source.FileName(), false); }), TABULA_OSEACCES);
}

TEST_F(FileLayerTest, CompressedCopyIsOneZlibStreamPerBlock) {
  for (const bool in_memory : {false, true}) {
    SCOPED_TRACE(in_memory ? "memory" : "disk");
    auto bytes = Pattern(2 * kCopyBlockSize + 1000);
    std::fill(bytes.begin() + 1000, bytes.begin() + 30000, 'A');  // something to squeeze
    TFileHandler source;
    MakeHandler(source, "zsrc.dat", in_memory);
    source.CreateNew();
    source.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    const std::string target = in_memory ? "zdst.dat" : EnginePath("zdst.dat");
    source.CopyTo(target, true);

    TFileHandler packed;
    packed.SetFileName(target);
    packed.SetInMemory(in_memory);
    packed.Open();
    std::vector<std::uint8_t> stored(packed.GetSize());
    packed.ReadAt(0, stored.data(), static_cast<std::uint32_t>(stored.size()));
    packed.Close();
    int streams = 0;
    EXPECT_EQ(InflateStreams(stored, &streams), bytes);
    EXPECT_EQ(streams, 3);
    // The first stream is exactly the first block compressed at level 9 on its own.
    std::vector<std::uint8_t> first(compressBound(kCopyBlockSize));
    uLongf first_length = first.size();
    ASSERT_EQ(compress2(first.data(), &first_length, bytes.data(), kCopyBlockSize, 9), Z_OK);
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + first_length, stored.begin()));
    source.Close();
    if (in_memory) {
      source.Remove();
      packed.Remove();
    }
  }
}

TEST_F(FileLayerTest, CopyFromReplacesTheWholeDestination) {
  for (const bool in_memory : {false, true}) {
    SCOPED_TRACE(in_memory ? "memory" : "disk");
    const auto small = Pattern(70000, 7);
    TFileHandler source;
    MakeHandler(source, "from.dat", in_memory);
    source.CreateNew();
    source.Write(small.data(), static_cast<std::uint32_t>(small.size()));
    TFileHandler destination;
    MakeHandler(destination, "into.dat", in_memory);
    destination.CreateNew();
    const auto big = Pattern(200000, 9);
    destination.Write(big.data(), static_cast<std::uint32_t>(big.size()));
    // The source must be free for an exclusive open.
    EXPECT_EQ(ErrorOf([&] { destination.CopyFrom(source.FileName(), false); }), TABULA_OSEACCES);
    source.Close();
    destination.CopyFrom(source.FileName(), false);
    // The old tail is gone: the destination is exactly the source.
    EXPECT_EQ(destination.GetSize(), small.size());
    std::vector<std::uint8_t> got(small.size());
    destination.ReadAt(0, got.data(), static_cast<std::uint32_t>(got.size()));
    EXPECT_EQ(got, small);
    destination.Close();
    if (in_memory) {
      source.Remove();
      destination.Remove();
    }
  }
}

TEST_F(FileLayerTest, CopyFailuresRaise) {
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  const auto bytes = Pattern(kCopyBlockSize + 10);
  TFileHandler source;
  MakeHandler(source, "csrc.dat");
  source.CreateNew();
  source.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  platform.FailWriteAt(2, ENOSPC, 3);
  EXPECT_EQ(ErrorOf([&] { source.CopyTo(EnginePath("c1.dat"), false); }), TABULA_WRITEERR);
  platform.FailReadAt(2, EIO);
  EXPECT_EQ(ErrorOf([&] { source.CopyTo(EnginePath("c2.dat"), false); }), TABULA_READERR);
  platform.FailOpen("c3.dat", EACCES);
  EXPECT_EQ(ErrorOf([&] { source.CopyTo(EnginePath("c3.dat"), false); }), TABULA_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { source.CopyFrom(EnginePath("none.dat"), false); }), TABULA_OSENOENT);
  // Only the source remains listed: every failed copy released its other file.
  EXPECT_EQ(TFileList::Instance().Count(), 1u);
}

// ---------------------------------------------------------------- between processes

TEST_F(FileLayerTest, LocksConflictBetweenProcesses) {
  TFileHandler file;
  MakeHandler(file, "mp.dat");
  file.CreateNew();
  file.Close();
  file.Open();
  ASSERT_TRUE(file.LockRange(1, 0xFFFFFFFFu));       // transaction lock
  ASSERT_TRUE(file.LockRange(1, 0xFFFFFFFEu - 10));  // record 10
  ASSERT_TRUE(file.LockRange(8, 0x200000000ULL));    // beyond 32 bits
  const std::string name = file.FileName();
  auto try_lock = [name](std::uint64_t length, std::uint64_t first) {
    return RunInChild([=]() -> std::int64_t {
      TFileHandler other;
      other.SetFileName(name);
      other.Open();
      const bool locked = other.LockRange(length, first);
      other.Close();
      return locked ? 1 : 0;
    });
  };
  EXPECT_EQ(try_lock(1, 0xFFFFFFFFu), 0);
  EXPECT_EQ(try_lock(1, 0xFFFFFFFEu - 10), 0);
  EXPECT_EQ(try_lock(65536, 0xFFFEFFFFu), 0);  // a write lock over record 10's byte
  EXPECT_EQ(try_lock(1, 0x200000007ULL), 0);
  EXPECT_EQ(try_lock(1, 0xFFFFFFFEu - 11), 1);  // record 11 is free
  EXPECT_EQ(try_lock(1, 0x1FFFFFFFFULL), 1);

  // A second handler in this process takes its own lock; closing it keeps the other's.
  TFileHandler second;
  MakeHandler(second, "mp.dat");
  second.Open();
  EXPECT_FALSE(second.LockRange(1, 0xFFFFFFFFu));
  EXPECT_TRUE(second.LockRange(1, 0xFFFFFFFEu - 20));
  EXPECT_EQ(try_lock(1, 0xFFFFFFFEu - 20), 0);
  second.Close();
  EXPECT_EQ(try_lock(1, 0xFFFFFFFFu), 0);
  // Released ranges are free for other processes again, also a byte out of a run of bytes.
  ASSERT_TRUE(file.UnlockRange(1, 0xFFFFFFFFu));
  EXPECT_EQ(try_lock(1, 0xFFFFFFFFu), 1);
  for (std::uint64_t byte = 30; byte <= 32; ++byte) ASSERT_TRUE(file.LockRange(1, byte));
  ASSERT_TRUE(file.UnlockRange(1, 31));
  EXPECT_EQ(try_lock(1, 31), 1);
  EXPECT_EQ(try_lock(1, 30), 0);
  EXPECT_EQ(try_lock(1, 32), 0);
  EXPECT_EQ(try_lock(1, 0xFFFFFFFEu - 10), 0);
  file.Close();
  EXPECT_EQ(try_lock(1, 0xFFFFFFFEu - 10), 1);
}

TEST_F(FileLayerTest, ExclusiveOpensExcludeOtherProcesses) {
  const auto bytes = Pattern(5000);
  WriteDiskFile(DiskPath("ex.dat"), bytes);
  const std::string name = EnginePath("ex.dat");
  auto open_in_child = [name](bool exclusive) {
    return RunInChild([=]() -> std::int64_t {
      TFileHandler other;
      other.SetFileName(name);
      other.SetExclusive(exclusive);
      other.Open();
      other.Close();
      return 1;
    });
  };
  auto create_in_child = [name]() {
    return RunInChild([=]() -> std::int64_t {
      TFileHandler other;
      other.SetFileName(name);
      other.CreateNew();
      return 1;
    });
  };
  {
    TFileHandler file;
    file.SetFileName(name);
    file.SetExclusive(true);
    file.Open();
    EXPECT_EQ(open_in_child(false), kRaised + TABULA_OSEACCES);
    EXPECT_EQ(open_in_child(true), kRaised + TABULA_OSEACCES);
    // An exclusive holder also keeps this process's other handlers out.
    TFileHandler second;
    second.SetFileName(name);
    EXPECT_EQ(ErrorOf([&] { second.Open(); }), TABULA_OSEACCES);
  }
  {
    TFileHandler file;
    file.SetFileName(name);
    file.Open();
    EXPECT_EQ(open_in_child(false), 1);
    EXPECT_EQ(open_in_child(true), kRaised + TABULA_OSEACCES);
    // Another process cannot re-create (and so cut) a file that is open here.
    EXPECT_EQ(create_in_child(), kRaised + TABULA_OSEACCES);
    EXPECT_EQ(ReadDiskFile(DiskPath("ex.dat")), bytes);
  }
  // Nothing open here any more.
  EXPECT_EQ(open_in_child(true), 1);
  EXPECT_EQ(create_in_child(), 1);
  EXPECT_EQ(ReadDiskFile(DiskPath("ex.dat")).size(), 0u);
}

TEST_F(FileLayerTest, SharingModesHoldForFilesThatCanOnlyBeRead) {
  // A descriptor open for reading only cannot hold a write lock; exclusive opens must still
  // exclude every other open. "ro" opens are made read-only by a medium that refuses writing.
  WriteDiskFile(DiskPath("rx.dat"), Pattern(100));
  const std::string name = EnginePath("rx.dat");
  struct TCase {
    bool parent_exclusive, parent_read_only, child_exclusive, child_read_only;
    std::int64_t expected;
  };
  const std::int64_t refused = kRaised + TABULA_OSEACCES;
  const TCase cases[] = {
      {true, true, false, false, refused}, {true, true, false, true, refused},
      {true, true, true, false, refused},  {true, true, true, true, refused},
      {false, true, true, true, refused},  {false, false, true, true, refused},
      {false, true, true, false, refused}, {true, false, true, true, refused},
      {true, false, false, true, refused}, {false, true, false, false, 1},
      {false, true, false, true, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "parent ex " << c.parent_exclusive << " ro " << c.parent_read_only
                 << ", child ex " << c.child_exclusive << " ro " << c.child_read_only);
    TInstrumentedPlatform parent_platform;
    TScopedPlatform installed(&parent_platform);
    if (c.parent_read_only) parent_platform.FailOpenForWriting("rx.dat");
    TFileHandler file;
    file.SetFileName(name);
    file.SetExclusive(c.parent_exclusive);
    file.Open();
    ASSERT_EQ(file.ReadOnly(), c.parent_read_only);
    const std::int64_t result = RunInChild([&]() -> std::int64_t {
      TInstrumentedPlatform child_platform(&DefaultPlatform());
      SetCurrentPlatform(&child_platform);
      if (c.child_read_only) child_platform.FailOpenForWriting("rx.dat");
      TFileHandler other;
      other.SetFileName(name);
      other.SetExclusive(c.child_exclusive);
      other.Open();
      const bool read_only = other.ReadOnly();
      other.Close();
      return read_only == c.child_read_only ? 1 : -100;
    });
    EXPECT_EQ(result, c.expected);
    file.Close();
  }
}

}  // namespace
}  // namespace tabula
