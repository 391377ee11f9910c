// The shared file objects and the process-wide file list.
#include "engine/storage/file_layer.h"

#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <new>

#include "engine/base/engine_error.h"
#include "engine/base/platform.h"

namespace tabula {

namespace {

constexpr std::size_t kMaxNameLength = 255;

thread_local int last_file_os_error = 0;

// The mapping of operating-system errors to engine codes, in one place.
struct TOSErrorRow {
  int error;
  std::uint16_t code;
};
constexpr TOSErrorRow kOSErrorMap[] = {
    {ENOENT, TABULA_OSENOENT}, {ENOTDIR, TABULA_OSENOENT}, {EMFILE, TABULA_OSEMFILE},
    {ENFILE, TABULA_OSEMFILE}, {EACCES, TABULA_OSEACCES},  {EPERM, TABULA_OSEACCES},
    {EROFS, TABULA_OSEACCES},  {ETXTBSY, TABULA_OSEACCES}, {EISDIR, TABULA_OSEACCES},
    {EEXIST, TABULA_OSEACCES}, {EAGAIN, TABULA_OSEACCES},  {EBADF, TABULA_OSEBADF},
    {ENOMEM, TABULA_OSENOMEM}, {ENODEV, TABULA_OSENODEV},  {ENXIO, TABULA_OSENODEV},
    {EXDEV, TABULA_OSENOTSAM},
};

// Records `error` as the last OS error and returns its negated engine code.
std::int32_t Failed(int error) {
  last_file_os_error = error;
  return -static_cast<std::int32_t>(EngineCodeForOSError(error));
}

std::int32_t FailedWithErrno() { return Failed(errno); }

// Windows-1252 case folding of one character, as the list compares names.
unsigned char FoldNameChar(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
  switch (c) {
    case 0x8A:
      return 0x9A;
    case 0x8C:
      return 0x9C;
    case 0x8E:
      return 0x9E;
    case 0x9F:
      return 0xFF;
    default:
      return c;
  }
}

std::string TrimBlanks(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

// The key under which the list finds a name: disk names as POSIX paths, both folded.
std::string ListKey(const std::string& name, bool in_memory) {
  std::string key = in_memory ? TrimBlanks(name) : ToNativePath(name);
  for (char& c : key) c = static_cast<char>(FoldNameChar(static_cast<unsigned char>(c)));
  return key;
}

std::string CutName(const std::string& name) {
  return name.size() <= kMaxNameLength ? name : name.substr(0, kMaxNameLength);
}

// The on-disk path of an engine name.
std::string DiskPath(const std::string& name) { return ResolvePathCase(ToNativePath(name)); }

// The two reserved bytes that carry the sharing mode of every open of a disk file.
constexpr std::uint64_t kShareByte = kShareLockOffset;
constexpr std::uint64_t kReadOnlyExclusiveByte = kShareLockOffset + 1;

// Takes the sharing lock of a new descriptor: 0, or the errno of the failure (EACCES for a
// sharing conflict). On failure the caller closes the descriptor, which drops what was taken.
//  - shared open: a read lock on the share byte, then a test that no read-only exclusive
//    holder marks the second byte;
//  - exclusive open that can write: a write lock on the share byte;
//  - exclusive open that can only read (no write lock possible): a read lock on the second
//    byte, a read lock on the share byte, then a test that nobody else holds either byte.
// A shared opener locks, then tests; a read-only exclusive opener marks, then tests; so of two
// that race at least one sees the other.
int ClaimSharing(TPlatform& platform, int fd, bool exclusive, bool read_only) {
  auto refused = [] { return errno == EAGAIN ? EACCES : errno; };
  if (exclusive && !read_only) {
    return platform.LockRange(fd, kShareByte, 1, TRangeLockKind::kExclusive) == 0 ? 0 : refused();
  }
  if (exclusive) {
    if (platform.LockRange(fd, kReadOnlyExclusiveByte, 1, TRangeLockKind::kShared) != 0) {
      return refused();
    }
  }
  if (platform.LockRange(fd, kShareByte, 1, TRangeLockKind::kShared) != 0) return refused();
  const int others =
      exclusive ? platform.TestRangeLock(fd, kShareByte, 2, TRangeLockKind::kExclusive)
                : platform.TestRangeLock(fd, kReadOnlyExclusiveByte, 1, TRangeLockKind::kExclusive);
  if (others < 0) return errno;
  return others == 0 ? 0 : EACCES;
}

bool RangesOverlap(const TAbstractFile::TLockEntry& entry, std::uint64_t first,
                   std::uint64_t last) {
  return first <= entry.last && entry.first <= last;
}

}  // namespace

std::uint16_t EngineCodeForOSError(int error) {
  for (const TOSErrorRow& row : kOSErrorMap) {
    if (row.error == error) return row.code;
  }
  return TABULA_OSUNKNOWN;
}

int LastFileOSError() { return last_file_os_error; }

void SetLastFileOSError(int error) { last_file_os_error = error; }

// ---------------------------------------------------------------- TAbstractFile

TAbstractFile::TAbstractFile(const std::string& file_name) : file_name_(CutName(file_name)) {}

TAbstractFile::~TAbstractFile() = default;

int TAbstractFile::FindHandle(std::int32_t id) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  for (std::size_t i = 0; i < handles_.size(); ++i) {
    if (handles_[i].id == id) return static_cast<int>(i);
  }
  return -1;
}

std::int64_t TAbstractFile::GetSize() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return static_cast<std::int64_t>(size_);
}

std::int32_t TAbstractFile::CreateNew() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  size_ = 0;
  return AddHandle();
}

std::int32_t TAbstractFile::OpenHandle() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return AddHandle();
}

void TAbstractFile::ReleaseHandle(std::int32_t id) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  const int index = FindHandle(id);
  if (index < 0) return;
  handles_.erase(handles_.begin() + index);
  --open_count_;
  // Locks belong to the users of the open file; with the last one gone none can remain.
  if (open_count_ == 0) range_locks_.clear();
}

std::int32_t TAbstractFile::Rename(const std::string& new_name) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  file_name_ = CutName(new_name);
  return 0;
}

std::int32_t TAbstractFile::Remove() { return 0; }

bool TAbstractFile::Flush() { return true; }

bool TAbstractFile::SeekFromStart(std::int32_t id, std::uint64_t position) {
  return position <= static_cast<std::uint64_t>(INT64_MAX) &&
         Seek(id, kSeekFromStart, static_cast<std::int64_t>(position)) >= 0;
}

std::int64_t TAbstractFile::ReadAt(std::int32_t id, void* buffer, std::uint32_t count,
                                   std::uint64_t position) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return SeekFromStart(id, position) ? Read(id, buffer, count) : -1;
}

std::int64_t TAbstractFile::WriteAt(std::int32_t id, const void* buffer, std::uint32_t count,
                                    std::uint64_t position) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return SeekFromStart(id, position) ? Write(id, buffer, count) : -1;
}

std::int64_t TAbstractFile::Seek(std::int32_t id, int origin, std::int64_t distance) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  const int index = FindHandle(id);
  if (index < 0) return -1;
  std::int64_t base;
  switch (origin) {
    case kSeekFromStart:
      base = 0;
      break;
    case kSeekFromCurrent:
      base = static_cast<std::int64_t>(handles_[index].position);
      break;
    case kSeekFromEnd:
      base = static_cast<std::int64_t>(size_);
      break;
    default:
      return -1;
  }
  std::int64_t position;
  if (__builtin_add_overflow(base, distance, &position) || position < 0) return -1;
  handles_[index].position = static_cast<std::uint64_t>(position);
  return position;
}

bool TAbstractFile::LockRange(std::uint64_t length, std::uint64_t first) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (!RangeIsFree(length, first)) return false;
  AddLock(length, first);
  return true;
}

bool TAbstractFile::UnlockRange(std::uint64_t length, std::uint64_t first) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (!HoldsLock(length, first)) return false;
  RemoveLock(length, first);
  return true;
}

bool TAbstractFile::UnlockBytes(std::uint64_t first, std::uint64_t last, std::uint64_t count) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (count == 0 || first > last ||
      OneByteLocksIn(first, last) != static_cast<std::int64_t>(count)) {
    return false;
  }
  RemoveOneByteLocks(first, last);
  return true;
}

bool TAbstractFile::Exclusive() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return exclusive_;
}

void TAbstractFile::SetExclusive(bool value) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  exclusive_ = value;
}

bool TAbstractFile::ReadOnly() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return read_only_;
}

bool TAbstractFile::ReadOnlyAttribute() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return read_only_attribute_;
}

bool TAbstractFile::Temporary() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return temporary_;
}

void TAbstractFile::SetTemporary(bool value) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  temporary_ = value;
}

std::string TAbstractFile::FileName() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return file_name_;
}

void TAbstractFile::SetFileName(const std::string& value) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  file_name_ = CutName(value);
}

std::int32_t TAbstractFile::OpenCount() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return open_count_;
}

std::int32_t TAbstractFile::LastHandleId() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return last_handle_id_;
}

std::vector<TAbstractFile::TLockEntry> TAbstractFile::RangeLocks() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  std::vector<TLockEntry> locks;
  locks.reserve(range_locks_.size());
  for (const auto& entry : range_locks_) {
    const TLockEntry& lock = entry.second;
    if (!lock.single_bytes) {
      locks.push_back(lock);
      continue;
    }
    for (std::uint64_t byte = lock.first; byte <= lock.last; ++byte) {
      locks.push_back(TLockEntry{byte, byte, 1});
    }
  }
  return locks;
}

std::int32_t TAbstractFile::AddHandle() {
  ++last_handle_id_;
  handles_.push_back({last_handle_id_, 0});
  ++open_count_;
  return last_handle_id_;
}

bool TAbstractFile::RangeIsFree(std::uint64_t length, std::uint64_t first) const {
  if (length == 0 || first >= kShareLockOffset || length > kShareLockOffset - first) {
    return false;
  }
  const std::uint64_t last = first + length - 1;
  auto it = range_locks_.upper_bound(last);
  if (it == range_locks_.begin()) return true;
  --it;
  return !RangesOverlap(it->second, first, last);
}

bool TAbstractFile::HoldsLock(std::uint64_t length, std::uint64_t first) const {
  auto it = range_locks_.upper_bound(first);
  if (it == range_locks_.begin()) return false;
  const TLockEntry& lock = std::prev(it)->second;
  if (lock.single_bytes) return length == 1 && first <= lock.last;
  return lock.first == first && lock.length == length;
}

void TAbstractFile::AddLock(std::uint64_t length, std::uint64_t first) {
  if (length != 1) {
    range_locks_.emplace(first, TLockEntry{first, first + length - 1, length});
    return;
  }
  // The byte is free, so a run ending right before it or starting right after it is a
  // neighbour; both may exist.
  std::uint64_t last = first;
  const auto after = range_locks_.find(first + 1);
  if (after != range_locks_.end() && after->second.single_bytes) {
    last = after->second.last;
    range_locks_.erase(after);
  }
  const auto next = range_locks_.lower_bound(first);
  if (next != range_locks_.begin()) {
    TLockEntry& before = std::prev(next)->second;
    if (before.single_bytes && before.last + 1 == first) {
      before.last = last;
      before.length = last - before.first + 1;
      return;
    }
  }
  range_locks_.emplace(first, TLockEntry{first, last, last - first + 1, true});
}

void TAbstractFile::RemoveLock(std::uint64_t /*length*/, std::uint64_t first) {
  auto it = std::prev(range_locks_.upper_bound(first));
  if (!it->second.single_bytes) {
    range_locks_.erase(it);
    return;
  }
  RemoveOneByteLocks(first, first);
}

std::int64_t TAbstractFile::OneByteLocksIn(std::uint64_t first, std::uint64_t last) const {
  auto it = range_locks_.upper_bound(first);
  if (it != range_locks_.begin() && std::prev(it)->second.last >= first) --it;
  std::int64_t held = 0;
  for (; it != range_locks_.end() && it->first <= last; ++it) {
    const TLockEntry& lock = it->second;
    if (!lock.single_bytes) return -1;
    held += static_cast<std::int64_t>(std::min(lock.last, last) - std::max(lock.first, first) + 1);
  }
  return held;
}

void TAbstractFile::RemoveOneByteLocks(std::uint64_t first, std::uint64_t last) {
  auto it = range_locks_.upper_bound(first);
  if (it != range_locks_.begin() && std::prev(it)->second.last >= first) --it;
  while (it != range_locks_.end() && it->first <= last) {
    const TLockEntry lock = it->second;
    it = range_locks_.erase(it);
    // What lies outside the span stays locked.
    if (lock.first < first) {
      range_locks_.emplace(lock.first, TLockEntry{lock.first, first - 1, first - lock.first, true});
    }
    if (lock.last > last) {
      range_locks_.emplace(last + 1, TLockEntry{last + 1, lock.last, lock.last - last, true});
    }
  }
}

// ---------------------------------------------------------------- TMemoryFile

TMemoryFile::TMemoryFile(const std::string& file_name) : TAbstractFile(file_name) {}

std::int32_t TMemoryFile::CreateNew() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  std::vector<std::uint8_t>().swap(data_);
  size_ = 0;
  return AddHandle();
}

std::int64_t TMemoryFile::Read(std::int32_t id, void* buffer, std::uint32_t count) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  const int index = FindHandle(id);
  if (index < 0) return 0;
  std::uint64_t& position = handles_[index].position;
  if (position >= size_) return 0;
  const std::uint64_t available = size_ - position;
  const std::uint64_t n = count < available ? count : available;
  std::memcpy(buffer, data_.data() + position, n);
  position += n;
  return static_cast<std::int64_t>(n);
}

std::int64_t TMemoryFile::Write(std::int32_t id, const void* buffer, std::uint32_t count) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  const int index = FindHandle(id);
  if (index < 0) {
    last_file_os_error = EBADF;
    return -1;
  }
  std::uint64_t& position = handles_[index].position;
  if (count == 0) {
    if (position < size_) {
      // Keep the bytes beyond the size zero, so a later write past the end leaves a zero gap.
      std::memset(data_.data() + position, 0, size_ - position);
    }
    if (!ResizeBuffer(position)) return -1;
    size_ = position;
    return 0;
  }
  if (position > UINT64_MAX - count || !ResizeBuffer(position + count)) return -1;
  std::memcpy(data_.data() + position, buffer, count);
  position += count;
  if (position > size_) size_ = position;
  return count;
}

std::size_t TMemoryFile::Capacity() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return data_.size();
}

bool TMemoryFile::ResizeBuffer(std::uint64_t size) {
  if (size == 0) {
    std::vector<std::uint8_t>().swap(data_);
    return true;
  }
  if (size <= data_.size()) return true;
  if (size > static_cast<std::uint64_t>(PTRDIFF_MAX) - kMemoryFileGrowth) {
    last_file_os_error = ENOMEM;
    return false;
  }
  const std::uint64_t capacity =
      (size + kMemoryFileGrowth - 1) / kMemoryFileGrowth * kMemoryFileGrowth;
  try {
    data_.resize(static_cast<std::size_t>(capacity), 0);
  } catch (const std::bad_alloc&) {
    last_file_os_error = ENOMEM;
    return false;
  } catch (const std::length_error&) {
    last_file_os_error = ENOMEM;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- TPhysicalFile

TPhysicalFile::TPhysicalFile(const std::string& file_name) : TAbstractFile(file_name) {}

TPhysicalFile::~TPhysicalFile() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (fd_ >= 0) CloseDescriptor();
}

int TPhysicalFile::Descriptor() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return fd_;
}

std::int64_t TPhysicalFile::GetSize() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (fd_ < 0) {
    last_file_os_error = EBADF;
    return -1;
  }
  TFileStatus status;
  if (CurrentPlatform().FileStatusOf(fd_, &status) != 0) {
    last_file_os_error = errno;
    return -1;
  }
  return static_cast<std::int64_t>(status.size);
}

std::int32_t TPhysicalFile::CreateNew() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  TPlatform& platform = CurrentPlatform();
  if (fd_ >= 0) CloseDescriptor();
  const std::string path = DiskPath(file_name_);
  TFileStatus status;
  if (platform.PathStatus(path, &status) == 0) {
    // Overwriting a file that carries the read-only attribute is refused, also for root.
    if (status.directory) return Failed(EISDIR);
    if (status.read_only_attribute) return Failed(EACCES);
  }
  const int fd = platform.OpenFile(path, O_RDWR | O_CREAT, 0666);
  if (fd < 0) return FailedWithErrno();
  // Claim the file for this process alone before emptying it, so that a file another process
  // has open is never cut under it.
  if (const int error = ClaimSharing(platform, fd, true, false); error != 0) {
    platform.CloseFile(fd);
    return Failed(error);
  }
  if (platform.Truncate(fd, 0) != 0) {
    const int error = errno;
    platform.CloseFile(fd);
    return Failed(error);
  }
  fd_ = fd;
  native_path_ = path;
  position_ = 0;
  read_only_ = false;
  read_only_attribute_ = false;
  delete_on_close_ = false;
  return AddHandle();
}

std::int32_t TPhysicalFile::OpenHandle() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (open_count_ == 0 || fd_ < 0) {
    const std::int32_t result = OpenDescriptor();
    if (result < 0) return result;
  }
  return AddHandle();
}

std::int32_t TPhysicalFile::OpenDescriptor() {
  TPlatform& platform = CurrentPlatform();
  const std::string path = DiskPath(file_name_);
  read_only_ = false;
  read_only_attribute_ = false;
  TFileStatus status;
  if (platform.PathStatus(path, &status) != 0) return FailedWithErrno();
  if (status.directory) return Failed(EISDIR);
  if (status.read_only_attribute) {
    read_only_ = true;
    read_only_attribute_ = true;
  }
  int fd = platform.OpenFile(path, read_only_ ? O_RDONLY : O_RDWR, 0);
  if (fd < 0 && !read_only_ && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    // A share or medium that refuses writing: read what can be read.
    fd = platform.OpenFile(path, O_RDONLY, 0);
    if (fd >= 0) read_only_ = true;
  }
  if (fd < 0) return FailedWithErrno();
  if (const int error = ClaimSharing(platform, fd, exclusive_, read_only_); error != 0) {
    platform.CloseFile(fd);
    return Failed(error);
  }
  fd_ = fd;
  native_path_ = path;
  position_ = 0;
  delete_on_close_ = temporary_;
  return 0;
}

void TPhysicalFile::CloseDescriptor() {
  TPlatform& platform = CurrentPlatform();
  // Delete while the descriptor (and with it the sharing lock) is still held.
  if (delete_on_close_) platform.RemoveFile(native_path_);
  platform.CloseFile(fd_);
  fd_ = -1;
  position_ = 0;
  delete_on_close_ = false;
  range_locks_.clear();
}

void TPhysicalFile::ReleaseHandle(std::int32_t id) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (FindHandle(id) < 0) return;
  TAbstractFile::ReleaseHandle(id);
  if (open_count_ == 0 && fd_ >= 0) CloseDescriptor();
}

std::int32_t TPhysicalFile::Rename(const std::string& new_name) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  TPlatform& platform = CurrentPlatform();
  const std::string old_path = DiskPath(file_name_);
  // The new name keeps its own spelling; only its directory is matched to the disk.
  const std::string native_new = ToNativePath(new_name);
  const std::size_t slash = native_new.rfind('/');
  const std::string new_path =
      slash == std::string::npos
          ? native_new
          : ResolvePathCase(native_new.substr(0, slash)) + native_new.substr(slash);
  // A rename never replaces another file, also one that differs in case only.
  TFileStatus old_status, existing;
  if (platform.PathStatus(ResolvePathCase(native_new), &existing) == 0) {
    if (platform.PathStatus(old_path, &old_status) != 0) return FailedWithErrno();
    if (existing.device != old_status.device || existing.inode != old_status.inode) {
      return Failed(EEXIST);
    }
  }
  if (platform.RenameFile(old_path, new_path) != 0) return FailedWithErrno();
  file_name_ = CutName(new_name);
  if (fd_ >= 0) native_path_ = new_path;
  return 0;
}

std::int32_t TPhysicalFile::Remove() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  TPlatform& platform = CurrentPlatform();
  const std::string path = DiskPath(file_name_);
  TFileStatus status;
  if (platform.PathStatus(path, &status) != 0) return FailedWithErrno();
  if (status.directory) return Failed(EISDIR);
  if (platform.RemoveFile(path) != 0) return FailedWithErrno();
  return 0;
}

std::int64_t TPhysicalFile::Read(std::int32_t, void* buffer, std::uint32_t count) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return ReadLocked(buffer, count);
}

std::int64_t TPhysicalFile::ReadAt(std::int32_t, void* buffer, std::uint32_t count,
                                   std::uint64_t position) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return MoveTo(position) ? ReadLocked(buffer, count) : -1;
}

bool TPhysicalFile::MoveTo(std::uint64_t position) {
  if (position > static_cast<std::uint64_t>(INT64_MAX)) {
    last_file_os_error = EINVAL;
    return false;
  }
  position_ = position;
  return true;
}

std::int64_t TPhysicalFile::ReadLocked(void* buffer, std::uint32_t count) {
  if (fd_ < 0) {
    last_file_os_error = EBADF;
    return -1;
  }
  const std::int64_t n = CurrentPlatform().ReadAt(fd_, buffer, count, position_);
  if (n < 0) {
    last_file_os_error = errno;
    return -1;
  }
  position_ += static_cast<std::uint64_t>(n);
  return n;
}

std::int64_t TPhysicalFile::Write(std::int32_t, const void* buffer, std::uint32_t count) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return WriteLocked(buffer, count);
}

std::int64_t TPhysicalFile::WriteAt(std::int32_t, const void* buffer, std::uint32_t count,
                                    std::uint64_t position) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  return MoveTo(position) ? WriteLocked(buffer, count) : -1;
}

std::int64_t TPhysicalFile::WriteLocked(const void* buffer, std::uint32_t count) {
  if (fd_ < 0) {
    last_file_os_error = EBADF;
    return -1;
  }
  TPlatform& platform = CurrentPlatform();
  if (count == 0) {
    if (platform.Truncate(fd_, position_) != 0) {
      last_file_os_error = errno;
      return -1;
    }
    return 0;
  }
  const std::int64_t n = platform.WriteAt(fd_, buffer, count, position_);
  if (n < 0) {
    last_file_os_error = errno;
    return -1;
  }
  // A short write on a regular file means the device is full.
  if (n < static_cast<std::int64_t>(count)) last_file_os_error = ENOSPC;
  position_ += static_cast<std::uint64_t>(n);
  return n;
}

bool TPhysicalFile::Flush() {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (fd_ < 0) {
    last_file_os_error = EBADF;
    return false;
  }
  if (CurrentPlatform().SyncFile(fd_) != 0) {
    last_file_os_error = errno;
    return false;
  }
  return true;
}

std::int64_t TPhysicalFile::Seek(std::int32_t, int origin, std::int64_t distance) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (fd_ < 0) {
    last_file_os_error = EBADF;
    return -1;
  }
  std::int64_t base;
  switch (origin) {
    case kSeekFromStart:
      base = 0;
      break;
    case kSeekFromCurrent:
      base = static_cast<std::int64_t>(position_);
      break;
    case kSeekFromEnd:
      base = GetSize();
      if (base < 0) return -1;
      break;
    default:
      last_file_os_error = EINVAL;
      return -1;
  }
  std::int64_t position;
  if (__builtin_add_overflow(base, distance, &position) || position < 0) {
    last_file_os_error = EINVAL;
    return -1;
  }
  position_ = static_cast<std::uint64_t>(position);
  return position;
}

bool TPhysicalFile::LockRange(std::uint64_t length, std::uint64_t first) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (fd_ < 0 || !RangeIsFree(length, first)) return false;
  const TRangeLockKind kind = read_only_ ? TRangeLockKind::kShared : TRangeLockKind::kExclusive;
  if (CurrentPlatform().LockRange(fd_, first, length, kind) != 0) {
    last_file_os_error = errno;
    return false;
  }
  AddLock(length, first);
  return true;
}

bool TPhysicalFile::UnlockRange(std::uint64_t length, std::uint64_t first) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (fd_ < 0 || !HoldsLock(length, first)) return false;
  if (CurrentPlatform().UnlockRange(fd_, first, length) != 0) {
    last_file_os_error = errno;
    return false;
  }
  RemoveLock(length, first);
  return true;
}

bool TPhysicalFile::UnlockBytes(std::uint64_t first, std::uint64_t last, std::uint64_t count) {
  std::lock_guard<std::recursive_mutex> guard(access_lock_);
  if (fd_ < 0 || count == 0 || first > last ||
      OneByteLocksIn(first, last) != static_cast<std::int64_t>(count)) {
    return false;
  }
  // Every lock of the process in the span goes; bytes in it that the process does not hold
  // are not affected, whoever holds them.
  if (CurrentPlatform().UnlockRange(fd_, first, last - first + 1) != 0) {
    last_file_os_error = errno;
    return false;
  }
  RemoveOneByteLocks(first, last);
  return true;
}

// ---------------------------------------------------------------- TFileList

namespace {

std::mutex& InstanceLock() {
  static std::mutex lock;
  return lock;
}

std::unique_ptr<TFileList>& InstanceSlot() {  // guarded by InstanceLock()
  // Never destroyed: engine shutdown may run from another static's destructor at exit (the
  // session list's), after a static slot of its own would already be gone.
  static auto* instance = new std::unique_ptr<TFileList>();
  return *instance;
}

// Moves the whole of `source` (from its start) to `destination` at its position, block by
// block, compressing each block as one zlib stream when asked. REQUIRES: both access locks held.
std::int32_t CopyBlocks(TAbstractFile* source, std::int32_t source_handle,
                        TAbstractFile* destination, std::int32_t destination_handle, bool compress,
                        std::uint16_t progress_step, const TCopyProgress& progress,
                        void* progress_data) {
  std::vector<std::uint8_t> buffer(kCopyBlockSize);
  std::vector<std::uint8_t> packed(compress ? compressBound(kCopyBlockSize) : 0);
  const std::int64_t total = source->GetSize();
  if (total < 0) return -TABULA_READERR;
  if (source->Seek(source_handle, kSeekFromStart, 0) != 0) return -TABULA_READERR;
  std::uint64_t done = 0;
  std::int32_t reported = 0;
  for (;;) {
    const std::int64_t n = source->Read(source_handle, buffer.data(), kCopyBlockSize);
    // A failed read would otherwise end the copy early and pass a cut file off as complete.
    if (n < 0) return -TABULA_READERR;
    if (n > 0) {
      const std::uint8_t* out = buffer.data();
      std::uint32_t out_length = static_cast<std::uint32_t>(n);
      if (compress) {
        uLongf packed_length = static_cast<uLongf>(packed.size());
        if (compress2(packed.data(), &packed_length, buffer.data(), static_cast<uLong>(n), 9) !=
            Z_OK) {
          return -TABULA_COMPRESS;
        }
        out = packed.data();
        out_length = static_cast<std::uint32_t>(packed_length);
      }
      if (destination->Write(destination_handle, out, out_length) !=
          static_cast<std::int64_t>(out_length)) {
        return -TABULA_WRITEERR;
      }
      if (progress) {
        done += static_cast<std::uint64_t>(n);
        // A file that grows while it is copied never reports more than 100.
        const std::uint64_t whole = static_cast<std::uint64_t>(total);
        const std::int32_t percent =
            done >= whole ? 100 : static_cast<std::int32_t>(done * 100 / whole);
        if (percent >= reported + progress_step) {
          progress(percent, progress_data);
          reported = percent;
        }
      }
    }
    if (n < static_cast<std::int64_t>(kCopyBlockSize)) break;
  }
  return 0;
}

}  // namespace

TFileList::TFileList() = default;

TFileList::~TFileList() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  files_.clear();
}

void TFileList::Initialize() {
  std::lock_guard<std::mutex> guard(InstanceLock());
  if (!InstanceSlot()) InstanceSlot() = std::make_unique<TFileList>();
}

void TFileList::Shutdown() {
  std::unique_ptr<TFileList> list;
  {
    std::lock_guard<std::mutex> guard(InstanceLock());
    list = std::move(InstanceSlot());
  }
}

void TFileList::ForgetAfterFork() {
  // The parent's objects are left as they are: freeing them would close or delete files.
  static_cast<void>(InstanceSlot().release());
}

TFileList& TFileList::Instance() {
  std::lock_guard<std::mutex> guard(InstanceLock());
  if (!InstanceSlot()) InstanceSlot() = std::make_unique<TFileList>();
  return *InstanceSlot();
}

TAbstractFile* TFileList::Find(const std::string& name, bool in_memory) {
  const std::string key = ListKey(name, in_memory);
  for (const TListEntry& entry : files_) {
    if (entry.in_memory == in_memory && entry.key == key) return entry.file.get();
  }
  return nullptr;
}

void TFileList::Add(std::unique_ptr<TAbstractFile> file, const std::string& name, bool in_memory) {
  files_.push_back({ListKey(name, in_memory), in_memory, std::move(file)});
}

void TFileList::Drop(TAbstractFile* file) {
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    if (it->file.get() == file) {
      files_.erase(it);
      return;
    }
  }
}

bool TFileList::Listed(const TAbstractFile* file) const {
  for (const TListEntry& entry : files_) {
    if (entry.file.get() == file) return true;
  }
  return false;
}

std::int32_t TFileList::CreateNew(const std::string& name, bool in_memory, bool temporary,
                                  TAbstractFile** file) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  *file = nullptr;
  TAbstractFile* target = Find(name, in_memory);
  if (target != nullptr && target->OpenCount() > 0) return Failed(EACCES);
  std::unique_ptr<TAbstractFile> created;
  if (target == nullptr) {
    if (in_memory) {
      created = std::make_unique<TMemoryFile>(name);
    } else {
      created = std::make_unique<TPhysicalFile>(name);
    }
    target = created.get();
  }
  target->SetFileName(name);
  target->SetExclusive(true);
  target->SetTemporary(temporary);
  const std::int32_t result = target->CreateNew();
  if (created) {
    // A disk file object lives only while a handle is open.
    if (result < 0 && !in_memory) return result;
    Add(std::move(created), name, in_memory);
  } else if (result < 0 && !in_memory) {
    Drop(target);
  }
  if (result > 0) *file = target;
  return result;
}

std::int32_t TFileList::Open(const std::string& name, bool in_memory, bool temporary,
                             bool exclusive, TAbstractFile** file, bool* read_only,
                             bool* read_only_attribute) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  *file = nullptr;
  *read_only = false;
  *read_only_attribute = false;
  TAbstractFile* target = Find(name, in_memory);
  std::unique_ptr<TAbstractFile> created;
  if (target != nullptr) {
    if (target->OpenCount() > 0) {
      if (target->Exclusive() || exclusive) return Failed(EACCES);
    } else {
      target->SetExclusive(exclusive);
      target->SetTemporary(temporary);
    }
  } else {
    if (in_memory) return Failed(ENOENT);
    created = std::make_unique<TPhysicalFile>(name);
    created->SetExclusive(exclusive);
    created->SetTemporary(temporary);
    target = created.get();
  }
  const std::int32_t result = target->OpenHandle();
  if (result < 0) {
    if (!in_memory && !created && target->OpenCount() == 0) Drop(target);
    return result;
  }
  if (created) Add(std::move(created), name, in_memory);
  *file = target;
  *read_only = target->ReadOnly();
  *read_only_attribute = target->ReadOnlyAttribute();
  return result;
}

std::int32_t TFileList::Close(TAbstractFile* file, bool in_memory, std::int32_t handle) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  // Only a listed object is touched: the pointer may be stale.
  if (!Listed(file) || file->InMemory() != in_memory || file->OpenCount() == 0) {
    return Failed(ENOENT);
  }
  file->ReleaseHandle(handle);
  if (file->OpenCount() > 0) return 0;
  if (!in_memory) {
    Drop(file);
  } else if (file->Temporary()) {
    return Remove(file->FileName(), true);
  }
  return 0;
}

std::int32_t TFileList::Rename(const std::string& old_name, bool in_memory,
                               const std::string& new_name) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  TAbstractFile* target = Find(old_name, in_memory);
  if (target != nullptr) {
    if (target->OpenCount() > 0) return Failed(EACCES);
    if (in_memory) {
      TAbstractFile* other = Find(new_name, true);
      if (other != nullptr && other != target) return Failed(EEXIST);
    }
    const std::int32_t result = target->Rename(new_name);
    if (result == 0) {
      for (TListEntry& entry : files_) {
        if (entry.file.get() == target) entry.key = ListKey(new_name, in_memory);
      }
    }
    return result;
  }
  if (in_memory) return Failed(ENOENT);
  // The destination may be open in this process under its own name.
  TAbstractFile* destination = Find(new_name, false);
  if (destination != nullptr && destination->OpenCount() > 0) return Failed(EACCES);
  TPhysicalFile file(old_name);
  return file.Rename(new_name);
}

std::int32_t TFileList::Remove(const std::string& name, bool in_memory) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  TAbstractFile* target = Find(name, in_memory);
  if (target != nullptr) {
    if (target->OpenCount() > 0) return Failed(EACCES);
    const std::int32_t result = target->Remove();
    Drop(target);
    return result;
  }
  if (in_memory) return Failed(ENOENT);
  TPhysicalFile file(name);
  return file.Remove();
}

bool TFileList::Exists(const std::string& name, bool in_memory) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (Find(name, in_memory) != nullptr) return true;
  if (in_memory) return false;
  TFileStatus status;
  const int saved_errno = errno;
  const bool exists =
      CurrentPlatform().PathStatus(DiskPath(name), &status) == 0 && !status.directory;
  errno = saved_errno;
  return exists;
}

std::int32_t TFileList::CopyTo(TAbstractFile* source, std::int32_t source_handle,
                               const std::string& destination_name, bool compress,
                               std::uint16_t progress_step, const TCopyProgress& progress,
                               void* progress_data) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  TAbstractFile* destination = nullptr;
  const std::int32_t handle = CreateNew(destination_name, source->InMemory(), false, &destination);
  if (handle < 0) return handle;
  std::int32_t result;
  {
    std::lock_guard<std::recursive_mutex> source_guard(source->AccessLock());
    std::lock_guard<std::recursive_mutex> destination_guard(destination->AccessLock());
    result = CopyBlocks(source, source_handle, destination, handle, compress, progress_step,
                        progress, progress_data);
  }
  Close(destination, destination->InMemory(), handle);
  return result;
}

std::int32_t TFileList::CopyFrom(TAbstractFile* destination, std::int32_t destination_handle,
                                 const std::string& source_name, bool compress,
                                 std::uint16_t progress_step, const TCopyProgress& progress,
                                 void* progress_data) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  TAbstractFile* source = nullptr;
  bool read_only = false;
  bool read_only_attribute = false;
  const bool in_memory = destination->InMemory();
  const std::int32_t handle =
      Open(source_name, in_memory, false, true, &source, &read_only, &read_only_attribute);
  if (handle < 0) return handle;
  std::int32_t result;
  {
    std::lock_guard<std::recursive_mutex> source_guard(source->AccessLock());
    std::lock_guard<std::recursive_mutex> destination_guard(destination->AccessLock());
    result = destination->Seek(destination_handle, kSeekFromStart, 0) == 0 ? 0 : -TABULA_WRITEERR;
    if (result == 0) {
      result = CopyBlocks(source, handle, destination, destination_handle, compress, progress_step,
                          progress, progress_data);
    }
    // The destination ends where the copy ends; a longer old file must not keep its tail.
    if (result == 0 && destination->Write(destination_handle, nullptr, 0) != 0) {
      result = -TABULA_WRITEERR;
    }
  }
  Close(source, in_memory, handle);
  return result;
}

std::size_t TFileList::Count() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return files_.size();
}

}  // namespace tabula
