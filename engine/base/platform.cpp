#include "engine/base/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace tabula {

namespace {

std::atomic<TPlatform*> current_platform{nullptr};

void FillStatus(const struct stat& st, TFileStatus* status) {
  status->directory = S_ISDIR(st.st_mode);
  status->read_only_attribute = (st.st_mode & S_IWUSR) == 0;
  status->size = static_cast<std::uint64_t>(st.st_size);
  status->device = static_cast<std::uint64_t>(st.st_dev);
  status->inode = static_cast<std::uint64_t>(st.st_ino);
}

// Fills `lock` for [first, first + length); false (errno EINVAL) for a range fcntl cannot take.
bool FillLock(struct flock* lock, short type, std::uint64_t first, std::uint64_t length) {
  // A zero length would mean "to the end of the file and beyond" to fcntl.
  if (length == 0 || first > static_cast<std::uint64_t>(INT64_MAX) ||
      length > static_cast<std::uint64_t>(INT64_MAX) - first) {
    errno = EINVAL;
    return false;
  }
  *lock = {};
  lock->l_type = type;
  lock->l_whence = SEEK_SET;
  lock->l_start = static_cast<off_t>(first);
  lock->l_len = static_cast<off_t>(length);
  lock->l_pid = 0;  // required for open-file-description locks
  return true;
}

int RangeLock(int fd, short type, std::uint64_t first, std::uint64_t length) {
  struct flock lock;
  if (!FillLock(&lock, type, first, length)) return -1;
  int result;
  do {
    result = fcntl(fd, F_OFD_SETLK, &lock);
  } while (result == -1 && errno == EINTR);
  if (result == -1 && errno == EACCES) errno = EAGAIN;  // both mean "held by someone else"
  return result;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

int TPlatform::OpenFile(const std::string& path, int flags, unsigned mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd == -1 && errno == EINTR);
  return fd;
}

int TPlatform::CloseFile(int fd) { return ::close(fd); }

std::int64_t TPlatform::ReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return -1;
  }
  ssize_t n;
  do {
    n = ::pread(fd, buffer, count, static_cast<off_t>(offset));
  } while (n == -1 && errno == EINTR);
  return n;
}

std::int64_t TPlatform::WriteAt(int fd, const void* buffer, std::size_t count,
                                std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
    errno = EFBIG;
    return -1;
  }
  ssize_t n;
  do {
    n = ::pwrite(fd, buffer, count, static_cast<off_t>(offset));
  } while (n == -1 && errno == EINTR);
  return n;
}

int TPlatform::Truncate(int fd, std::uint64_t size) {
  if (size > static_cast<std::uint64_t>(INT64_MAX)) {
    errno = EFBIG;
    return -1;
  }
  int result;
  do {
    result = ::ftruncate(fd, static_cast<off_t>(size));
  } while (result == -1 && errno == EINTR);
  return result;
}

int TPlatform::SyncFile(int fd) { return ::fsync(fd); }

int TPlatform::FileStatusOf(int fd, TFileStatus* status) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  FillStatus(st, status);
  return 0;
}

int TPlatform::PathStatus(const std::string& path, TFileStatus* status) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  FillStatus(st, status);
  return 0;
}

int TPlatform::LockRange(int fd, std::uint64_t first, std::uint64_t length, TRangeLockKind kind) {
  return RangeLock(fd, kind == TRangeLockKind::kExclusive ? F_WRLCK : F_RDLCK, first, length);
}

int TPlatform::UnlockRange(int fd, std::uint64_t first, std::uint64_t length) {
  return RangeLock(fd, F_UNLCK, first, length);
}

int TPlatform::TestRangeLock(int fd, std::uint64_t first, std::uint64_t length,
                             TRangeLockKind kind) {
  struct flock lock;
  if (!FillLock(&lock, kind == TRangeLockKind::kExclusive ? F_WRLCK : F_RDLCK, first, length)) {
    return -1;
  }
  int result;
  do {
    result = fcntl(fd, F_OFD_GETLK, &lock);
  } while (result == -1 && errno == EINTR);
  if (result == -1) return -1;
  return lock.l_type == F_UNLCK ? 0 : 1;
}

int TPlatform::RemoveFile(const std::string& path) { return ::unlink(path.c_str()); }

int TPlatform::RenameFile(const std::string& old_path, const std::string& new_path) {
  return ::rename(old_path.c_str(), new_path.c_str());
}

int TPlatform::ListDirectory(const std::string& path, std::vector<std::string>* names) {
  DIR* dir = ::opendir(path.empty() ? "." : path.c_str());
  if (dir == nullptr) return -1;
  names->clear();
  while (struct dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    names->emplace_back(name);
  }
  ::closedir(dir);
  return 0;
}

std::string TPlatform::TempDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string dir = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

void TPlatform::SleepMilliseconds(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint32_t TPlatform::TickCount() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

TLocalDateTime TPlatform::LocalDateTime() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  const time_t seconds = tv.tv_sec;
  struct tm parts;
  localtime_r(&seconds, &parts);
  TLocalDateTime result;
  result.year = parts.tm_year + 1900;
  result.month = parts.tm_mon + 1;
  result.day = parts.tm_mday;
  result.hour = parts.tm_hour;
  result.minute = parts.tm_min;
  result.second = parts.tm_sec;
  result.millisecond = static_cast<int>(tv.tv_usec / 1000);
  return result;
}

std::uint32_t TPlatform::ProcessId() { return static_cast<std::uint32_t>(::getpid()); }

std::uint32_t TPlatform::ThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

std::string TPlatform::HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return std::string(name);
}

TPlatform& DefaultPlatform() {
  static TPlatform platform;
  return platform;
}

TPlatform& CurrentPlatform() {
  TPlatform* platform = current_platform.load(std::memory_order_acquire);
  return platform != nullptr ? *platform : DefaultPlatform();
}

TPlatform* SetCurrentPlatform(TPlatform* platform) {
  TPlatform* previous = current_platform.exchange(platform, std::memory_order_acq_rel);
  return previous != nullptr ? previous : &DefaultPlatform();
}

std::string ToNativePath(std::string_view engine_path) {
  std::size_t begin = 0;
  std::size_t end = engine_path.size();
  while (begin < end && static_cast<unsigned char>(engine_path[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(engine_path[end - 1]) <= ' ') --end;
  std::string path(engine_path.substr(begin, end - begin));
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::string ResolvePathCase(const std::string& native_path) {
  TPlatform& platform = CurrentPlatform();
  TFileStatus status;
  if (native_path.empty() || platform.PathStatus(native_path, &status) == 0) return native_path;
  const int saved_errno = errno;

  // Walk the components; `resolved` always names an existing directory (or is empty for the
  // current directory).
  std::string resolved;
  std::size_t pos = 0;
  if (native_path[0] == '/') {
    resolved = "/";
    pos = 1;
  }
  std::vector<std::string> names;
  while (pos <= native_path.size()) {
    std::size_t slash = native_path.find('/', pos);
    if (slash == std::string::npos) slash = native_path.size();
    const std::string component = native_path.substr(pos, slash - pos);
    const bool last = slash == native_path.size();
    if (component.empty() || component == "." || component == "..") {
      resolved += component;
    } else {
      const std::string exact = resolved + component;
      std::string found;
      if (platform.PathStatus(exact, &status) == 0) {
        found = component;
      } else if (platform.ListDirectory(resolved.empty() ? "." : resolved, &names) == 0) {
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
          if (EqualAsciiNoCase(name, component)) {
            found = name;
            break;
          }
        }
      }
      if (found.empty()) {
        // Nothing further can exist; keep the rest as given.
        resolved += native_path.substr(pos);
        errno = saved_errno;
        return resolved;
      }
      resolved += found;
    }
    if (last) break;
    resolved += '/';
    pos = slash + 1;
  }
  errno = saved_errno;
  return resolved;
}

}  // namespace tabula
