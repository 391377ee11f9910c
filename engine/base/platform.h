// The platform layer: every operating-system call of the engine goes through TPlatform.
//
// The engine never calls open, pread, fcntl, sleep or the clock itself; it asks the current
// platform. The default platform is a thin POSIX implementation. Tests install a platform of
// their own (usually TInstrumentedPlatform from platform_test_util.h) to count calls and
// inject failures; anything not overridden falls through to the default.
//
// Calls report failure the POSIX way: -1 (or false) with errno set to the reason. The file
// layer maps errno to engine codes; RaiseEngineError records errno with the error.
//
// Byte-range locks are open-file-description locks: they belong to the descriptor's open file
// description, not to the process, so closing some other descriptor of the same file never
// drops them, and two descriptions in one process conflict like two processes do. They never
// wait.
//
// Thread-safety: every TPlatform method may be called from any thread. CurrentPlatform and
// SetCurrentPlatform are atomic; a platform must stay alive while it is installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tabula {

// What the engine needs to know of a file or directory.
struct TFileStatus {
  bool directory = false;
  // The owner may not write the file (no owner write permission bit). This is the engine's
  // read-only file attribute; it is a property of the file, independent of who asks, so a
  // process running as root sees it too.
  bool read_only_attribute = false;
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// The local date and time, broken down.
struct TLocalDateTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

enum class TRangeLockKind {
  // Conflicts with every other lock on an overlapping range. Needs a descriptor open for
  // writing.
  kExclusive,
  // Conflicts only with exclusive locks. Works on any readable descriptor.
  kShared,
};

class TPlatform {
 public:
  virtual ~TPlatform() = default;

  // ---- Files. `flags` and `mode` are those of open(2); O_CLOEXEC is always added.
  virtual int OpenFile(const std::string& path, int flags, unsigned mode);
  virtual int CloseFile(int fd);
  // One transfer at `offset` (EINTR is retried); returns the bytes moved, -1 on failure.
  // A regular file moves everything unless the end of file (read) or a full device (write)
  // intervenes, so callers treat a short count as a failure of their own.
  virtual std::int64_t ReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset);
  virtual std::int64_t WriteAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset);
  // Cuts or extends the file to `size` bytes.
  virtual int Truncate(int fd, std::uint64_t size);
  // Forces written data to the device.
  virtual int SyncFile(int fd);
  virtual int FileStatusOf(int fd, TFileStatus* status);
  virtual int PathStatus(const std::string& path, TFileStatus* status);
  // Non-blocking byte-range lock on [first, first + length). Fails with EAGAIN on a conflict.
  // REQUIRES: length > 0 and first + length <= INT64_MAX.
  virtual int LockRange(int fd, std::uint64_t first, std::uint64_t length, TRangeLockKind kind);
  virtual int UnlockRange(int fd, std::uint64_t first, std::uint64_t length);
  // Whether a lock of `kind` on the range would conflict with a lock held through another
  // open file description: 1 when it would, 0 when not, -1 on failure. Takes nothing.
  virtual int TestRangeLock(int fd, std::uint64_t first, std::uint64_t length, TRangeLockKind kind);
  virtual int RemoveFile(const std::string& path);
  virtual int RenameFile(const std::string& old_path, const std::string& new_path);
  // The names in a directory, without "." and "..".
  virtual int ListDirectory(const std::string& path, std::vector<std::string>* names);
  // The directory for temporary files: $TMPDIR when set and non-empty, else /tmp; always
  // ends in "/".
  virtual std::string TempDirectory();

  // ---- Time, processes and host.
  virtual void SleepMilliseconds(std::uint32_t milliseconds);
  // Milliseconds since an arbitrary start; wraps around like a 32-bit tick counter.
  virtual std::uint32_t TickCount();
  virtual TLocalDateTime LocalDateTime();
  virtual std::uint32_t ProcessId();
  virtual std::uint32_t ThreadId();
  virtual std::string HostName();
};

// The platform every engine call uses now.
TPlatform& CurrentPlatform();

// The built-in POSIX platform (never replaced).
TPlatform& DefaultPlatform();

// Installs `platform` (nullptr restores the default) and returns the previous one.
// The caller keeps ownership; the platform must outlive its installation.
TPlatform* SetCurrentPlatform(TPlatform* platform);

// Installs a platform for the lifetime of the guard and restores the previous one after.
class TScopedPlatform {
 public:
  explicit TScopedPlatform(TPlatform* platform) : previous_(SetCurrentPlatform(platform)) {}
  ~TScopedPlatform() { SetCurrentPlatform(previous_); }
  TScopedPlatform(const TScopedPlatform&) = delete;
  TScopedPlatform& operator=(const TScopedPlatform&) = delete;

 private:
  TPlatform* previous_;
};

// An engine path ("\" separators, possibly padded with blanks) as a POSIX path: trimmed of
// leading and trailing blanks and control characters, every "\" turned into "/".
std::string ToNativePath(std::string_view engine_path);

// Finds the on-disk spelling of `native_path` on a case-sensitive file system. Each component
// that exists as spelt is kept; otherwise the directory is searched for a name equal without
// regard to ASCII case (the first in byte order when several match). Components from the
// first one that cannot be found on are returned as given, so the result also names a file
// that is about to be created in an existing directory of different case.
std::string ResolvePathCase(const std::string& native_path);

}  // namespace tabula
