// The OS file layer: one uniform file object for every file the storage engine touches.
//
// Three levels:
//  - TFileHandler: what the data, index and BLOB files derive from. Holds a name and the open
//    options, turns failures into engine errors (the error's table name is the file name).
//  - TFileList: the one process-wide list of open files. Every handler that names the same
//    file shares one TAbstractFile and, for disk files, one descriptor and one set of locks.
//    Users of a shared file are told apart by a handle number.
//  - TAbstractFile with TPhysicalFile (disk) and TMemoryFile (a growable byte buffer under a
//    name, so in-memory tables run the same code as disk tables).
//
// Internal operations of the list and the file objects return a handle number, 0, or a
// negated engine code; the handler raises.
//
// Paths: engine paths use "\"; a disk file's name is turned into a POSIX path ("\" to "/")
// and each component is matched without regard to case when the exact spelling does not
// exist, so "Staff.dat" finds STAFF.DAT. The list itself compares names without regard to
// case (Windows-1252 letters), trimmed of blanks.
//
// Sharing between processes: every open of a disk file takes an open-file-description lock on
// the reserved share byte kShareLockOffset, far beyond any byte the engine locks: a read lock
// for a normal open, a write lock for an exclusive open or a creation. A conflict there is a
// sharing violation, TABULA_OSEACCES. A descriptor open for reading only cannot hold a write
// lock, so an exclusive open of a file that can only be read marks the next reserved byte
// instead and makes sure nobody else holds either byte; normal opens test that mark.
//
// Byte-range locks: taken on the one shared descriptor as open-file-description locks, so they
// conflict with other processes, and recorded in the file object's RangeLocks, so two holders
// inside this process on the one descriptor conflict too. Locks on a descriptor that is open
// for reading only are shared locks: they keep out writers of other processes but not other
// read-only holders (such a process cannot change the file anyway). Ranges that reach the
// reserved share byte, and empty ranges, are refused.
//
// Lock order: the list's lock before any file object's AccessLock; when a copy holds two file
// objects, the source's before the destination's (copies run under the list's lock, so no two
// copies interleave). Both locks are re-entrant. With several threads, a caller inside BeginAccess
// must not open, close, create, rename, remove or test files (those take the list's lock); a lookup
// in the list takes no file object's lock.
//
// Thread-safety: TFileList and TAbstractFile are safe from any thread. A TFileHandler belongs
// to one owner at a time; callers that seek and then transfer bracket the pair with
// BeginAccess/EndAccess (or TFileAccess), because a disk file has one position for the
// whole process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tabula {

// Copies move this many bytes at a time; each compressed block is one zlib stream.
constexpr std::uint32_t kCopyBlockSize = 65536;
// An in-memory file's buffer grows in steps of this many bytes.
constexpr std::size_t kMemoryFileGrowth = 4096;
// The first of the two reserved bytes that carry the sharing mode of every open of a disk
// file. The engine's own lock bytes all lie below 2^32; these lie at 2^62; ranges that reach
// them are never granted to callers.
constexpr std::uint64_t kShareLockOffset = 0x4000000000000000ULL;
static_assert(kShareLockOffset > 0xFFFFFFFFULL, "the share byte must lie beyond every lock");

// Seek origins.
constexpr int kSeekFromStart = 0;
constexpr int kSeekFromCurrent = 1;
constexpr int kSeekFromEnd = 2;

// Progress of a copy: called with the whole percentage done and the caller's data.
using TCopyProgress = std::function<void(std::int32_t percent, void* data)>;

// The engine code for an errno value (without sign): ENOENT and ENOTDIR to TABULA_OSENOENT,
// EMFILE and ENFILE to TABULA_OSEMFILE, EACCES, EPERM, EROFS, ETXTBSY, EISDIR (a directory
// where a file is expected), EEXIST (a rename onto an existing file) and EAGAIN (a sharing
// conflict) to TABULA_OSEACCES, EBADF to TABULA_OSEBADF, ENOMEM to TABULA_OSENOMEM, ENODEV and
// ENXIO to TABULA_OSENODEV, EXDEV to TABULA_OSENOTSAM, anything else to TABULA_OSUNKNOWN.
std::uint16_t EngineCodeForOSError(int error);

// The OS error number of the last failure of the file layer on this thread; the handler
// raises with it so that the engine error records the right number.
int LastFileOSError();
// Sets it; the handler clears it (0) before each operation so that a failure that is not an OS
// failure (a read that ends early) records no stale number.
void SetLastFileOSError(int error);

// The shared file object. The base implements the in-memory behaviour of every operation
// but the transfers; TMemoryFile adds the buffer, TPhysicalFile replaces everything.
// Every operation runs under AccessLock.
class TAbstractFile {
 public:
  struct THandleEntry {
    std::int32_t id;
    std::uint64_t position;
  };
  struct TLockEntry {
    std::uint64_t first;
    std::uint64_t last;  // first + length - 1
    std::uint64_t length;
    // Inside range_locks_: a run of neighbouring one-byte locks, each taken (and released) by
    // itself; RangeLocks reports them one by one.
    bool single_bytes = false;
  };

  explicit TAbstractFile(const std::string& file_name);
  virtual ~TAbstractFile();
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;

  virtual bool InMemory() const = 0;

  // Index of the handle entry of `id`, or -1.
  int FindHandle(std::int32_t id);
  // The size in bytes, or -1 on failure.
  virtual std::int64_t GetSize();
  // Empties or creates the file and adds a handle: the handle number or a negated code.
  virtual std::int32_t CreateNew();
  // Adds a handle at position 0: the handle number or a negated code.
  virtual std::int32_t OpenHandle();
  virtual void ReleaseHandle(std::int32_t id);
  virtual std::int32_t Rename(const std::string& new_name);
  virtual std::int32_t Remove();
  // Returns the bytes moved, -1 on failure.
  virtual std::int64_t Read(std::int32_t id, void* buffer, std::uint32_t count) = 0;
  // count 0 cuts (or extends) the file at the position. Returns the bytes moved, -1 on failure.
  virtual std::int64_t Write(std::int32_t id, const void* buffer, std::uint32_t count) = 0;
  virtual bool Flush();
  // Returns the new position, -1 when it would be negative or on failure.
  virtual std::int64_t Seek(std::int32_t id, int origin, std::int64_t distance);
  // Seek from the start, then Read or Write, as one operation under AccessLock. Return the
  // bytes moved, -1 on failure.
  virtual std::int64_t ReadAt(std::int32_t id, void* buffer, std::uint32_t count,
                              std::uint64_t position);
  virtual std::int64_t WriteAt(std::int32_t id, const void* buffer, std::uint32_t count,
                               std::uint64_t position);
  // Never wait: false on a conflict.
  virtual bool LockRange(std::uint64_t length, std::uint64_t first);
  virtual bool UnlockRange(std::uint64_t length, std::uint64_t first);
  // Releases the `count` one-byte locks held within first .. last at once (on a disk file with
  // one system call over the span): the record locks a transaction leaves behind. False,
  // releasing nothing, unless exactly `count` bytes of the span are locked and each as a
  // one-byte lock, so that the caller, knowing `count` of them to be its own, releases nothing
  // else.
  virtual bool UnlockBytes(std::uint64_t first, std::uint64_t last, std::uint64_t count);

  std::recursive_mutex& AccessLock() { return access_lock_; }

  bool Exclusive();
  void SetExclusive(bool value);
  bool ReadOnly();
  bool ReadOnlyAttribute();
  bool Temporary();
  void SetTemporary(bool value);
  std::string FileName();
  void SetFileName(const std::string& value);  // cut to 255 characters
  std::int32_t OpenCount();
  std::int32_t LastHandleId();
  std::vector<TLockEntry> RangeLocks();

 protected:
  // Adds a handle entry at position 0 and returns its number. REQUIRES: access_lock_ held.
  std::int32_t AddHandle();
  // Seek from the start to a position that may not fit the signed range; false when it does
  // not, or when Seek fails. REQUIRES: access_lock_ held.
  bool SeekFromStart(std::int32_t id, std::uint64_t position);
  // True when [first, first + length) may be locked: not empty, below the share byte, and
  // clear of every entry in range_locks_. REQUIRES: access_lock_ held.
  bool RangeIsFree(std::uint64_t length, std::uint64_t first) const;
  // True when exactly this range was locked (one byte of a run of one-byte locks counts).
  // REQUIRES: access_lock_ held.
  bool HoldsLock(std::uint64_t length, std::uint64_t first) const;
  // The number of bytes of first .. last held as one-byte locks; -1 when a longer lock overlaps
  // the span. REQUIRES: access_lock_ held, first <= last.
  std::int64_t OneByteLocksIn(std::uint64_t first, std::uint64_t last) const;
  // Records a lock of a free range; a one-byte lock joins the runs of one-byte locks beside it.
  // REQUIRES: access_lock_ held, RangeIsFree(length, first).
  void AddLock(std::uint64_t length, std::uint64_t first);
  // Forgets a lock, splitting its run. REQUIRES: access_lock_ held, HoldsLock(length, first).
  void RemoveLock(std::uint64_t length, std::uint64_t first);
  // Forgets the one-byte locks within first .. last, splitting the runs at its ends.
  // REQUIRES: access_lock_ held, OneByteLocksIn(first, last) >= 0.
  void RemoveOneByteLocks(std::uint64_t first, std::uint64_t last);

  std::recursive_mutex access_lock_;
  bool exclusive_ = false;            // guarded by access_lock_
  bool read_only_ = false;            // guarded by access_lock_
  bool read_only_attribute_ = false;  // guarded by access_lock_
  bool temporary_ = false;            // guarded by access_lock_
  std::string file_name_;             // guarded by access_lock_
  std::uint64_t size_ = 0;            // guarded by access_lock_; in-memory files only
  // By first byte. Entries never overlap (a range is only added when it is free), so the one
  // entry that can overlap a range is the last one starting at or before the range's end: a
  // transaction holding thousands of record locks checks and releases each in log time.
  // Neighbouring one-byte locks (the record locks of consecutive records) share one entry, so
  // a transaction over a million records holds a few entries, not a million.
  std::map<std::uint64_t, TLockEntry> range_locks_;  // guarded by access_lock_
  std::int32_t open_count_ = 0;                      // guarded by access_lock_
  std::vector<THandleEntry> handles_;                // guarded by access_lock_
  std::int32_t last_handle_id_ = 0;                  // guarded by access_lock_
};

// A disk file. One descriptor for every handle; the position is one position shared by all
// handles of the process, as on the descriptor of a Windows file.
class TPhysicalFile : public TAbstractFile {
 public:
  explicit TPhysicalFile(const std::string& file_name);
  ~TPhysicalFile() override;

  bool InMemory() const override { return false; }
  std::int64_t GetSize() override;
  std::int32_t CreateNew() override;
  std::int32_t OpenHandle() override;
  void ReleaseHandle(std::int32_t id) override;
  std::int32_t Rename(const std::string& new_name) override;
  std::int32_t Remove() override;
  std::int64_t Read(std::int32_t id, void* buffer, std::uint32_t count) override;
  std::int64_t Write(std::int32_t id, const void* buffer, std::uint32_t count) override;
  bool Flush() override;
  std::int64_t Seek(std::int32_t id, int origin, std::int64_t distance) override;
  // The lock once, not once for the seek and once for the transfer.
  std::int64_t ReadAt(std::int32_t id, void* buffer, std::uint32_t count,
                      std::uint64_t position) override;
  std::int64_t WriteAt(std::int32_t id, const void* buffer, std::uint32_t count,
                       std::uint64_t position) override;
  bool LockRange(std::uint64_t length, std::uint64_t first) override;
  bool UnlockRange(std::uint64_t length, std::uint64_t first) override;
  bool UnlockBytes(std::uint64_t first, std::uint64_t last, std::uint64_t count) override;

  // The descriptor, -1 while no handle is open.
  int Descriptor();

 private:
  // Sets the position shared by every handle; false (EINVAL) beyond the signed range.
  // REQUIRES: access_lock_ held.
  bool MoveTo(std::uint64_t position);
  // Read and Write at position_, with access_lock_ held.
  std::int64_t ReadLocked(void* buffer, std::uint32_t count);
  std::int64_t WriteLocked(const void* buffer, std::uint32_t count);
  // Opens the descriptor for the first handle: 0 or a negated code.
  std::int32_t OpenDescriptor();
  // Closes the descriptor (deleting the file first when it was opened as temporary).
  void CloseDescriptor();

  int fd_ = -1;                   // guarded by access_lock_
  std::uint64_t position_ = 0;    // guarded by access_lock_
  std::string native_path_;       // guarded by access_lock_; valid while fd_ >= 0
  bool delete_on_close_ = false;  // guarded by access_lock_
};

// A file that lives in the process. The buffer's capacity is a multiple of 4096 bytes; it
// grows zero-filled and shrinks only to nothing. Bytes beyond the size are always zero.
class TMemoryFile : public TAbstractFile {
 public:
  explicit TMemoryFile(const std::string& file_name);

  bool InMemory() const override { return true; }
  std::int32_t CreateNew() override;
  std::int64_t Read(std::int32_t id, void* buffer, std::uint32_t count) override;
  std::int64_t Write(std::int32_t id, const void* buffer, std::uint32_t count) override;

  std::size_t Capacity();

 private:
  // Sets the size of the buffer to `size` rounded up to 4096 (never smaller than it is, except
  // that 0 frees it). False when the memory cannot be had. REQUIRES: access_lock_ held.
  bool ResizeBuffer(std::uint64_t size);

  std::vector<std::uint8_t> data_;  // guarded by access_lock_; size() is the capacity
};

// The process-wide list of open files. Results are a handle number, 0, or a negated code.
class TFileList {
 public:
  TFileList();
  ~TFileList();
  TFileList(const TFileList&) = delete;
  TFileList& operator=(const TFileList&) = delete;

  // Creates the one list (the engine calls this when it initialises); does nothing when it
  // exists.
  static void Initialize();
  // Frees the list and every file object in it, closing their descriptors.
  // REQUIRES: no handler still refers to a file object of the list.
  static void Shutdown();
  // The one list, created on first use.
  static TFileList& Instance();
  // In a child process made by fork: drops the parent's list without touching it, so the
  // child starts with an empty list of its own. The inherited descriptors stay open (and keep
  // the parent's locks alive) until the child exits; they are never closed or deleted here.
  static void ForgetAfterFork();

  std::int32_t CreateNew(const std::string& name, bool in_memory, bool temporary,
                         TAbstractFile** file);
  std::int32_t Open(const std::string& name, bool in_memory, bool temporary, bool exclusive,
                    TAbstractFile** file, bool* read_only, bool* read_only_attribute);
  std::int32_t Close(TAbstractFile* file, bool in_memory, std::int32_t handle);
  std::int32_t Rename(const std::string& old_name, bool in_memory, const std::string& new_name);
  std::int32_t Remove(const std::string& name, bool in_memory);
  bool Exists(const std::string& name, bool in_memory);
  // Copies `source` (open as `source_handle`) into a newly created file `destination_name` of
  // the same kind.
  std::int32_t CopyTo(TAbstractFile* source, std::int32_t source_handle,
                      const std::string& destination_name, bool compress,
                      std::uint16_t progress_step, const TCopyProgress& progress,
                      void* progress_data);
  // Copies the file `source_name` of the same kind, opened exclusively, into `destination`
  // (open as `destination_handle`); the destination ends where the copy ends.
  std::int32_t CopyFrom(TAbstractFile* destination, std::int32_t destination_handle,
                        const std::string& source_name, bool compress, std::uint16_t progress_step,
                        const TCopyProgress& progress, void* progress_data);

  // The number of listed file objects.
  std::size_t Count();

 private:
  // A listed object with the key it is found by, kept here so that a lookup takes no file
  // object's lock.
  struct TListEntry {
    std::string key;
    bool in_memory;
    std::unique_ptr<TAbstractFile> file;
  };

  // The listed object of this kind and name, or nullptr. REQUIRES: lock_ held.
  TAbstractFile* Find(const std::string& name, bool in_memory);
  // Lists `file` under `name`. REQUIRES: lock_ held.
  void Add(std::unique_ptr<TAbstractFile> file, const std::string& name, bool in_memory);
  // Takes `file` out of the list and frees it. REQUIRES: lock_ held.
  void Drop(TAbstractFile* file);
  // Whether `file` is listed. REQUIRES: lock_ held.
  bool Listed(const TAbstractFile* file) const;

  std::recursive_mutex lock_;
  std::vector<TListEntry> files_;  // guarded by lock_
};

// The base of the data, index and BLOB files. Every operation raises an engine error on
// failure, with the handler's FileName as the table name.
class TFileHandler {
 public:
  TFileHandler();
  // Closes the handler when it is still open.
  virtual ~TFileHandler();
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  // Does nothing when open. TABULA_OSENOENT unless Exists.
  virtual void Open();
  virtual void Close();
  // Creates (or empties) the file, always exclusively, and opens it.
  virtual void CreateNew();
  virtual void Remove();
  virtual void Rename(const std::string& new_name);
  // Copy the whole file to / from a file of the same kind; do nothing unless open.
  virtual void CopyTo(const std::string& destination_name, bool compress,
                      std::uint16_t progress_step = 0, const TCopyProgress& progress = nullptr,
                      void* progress_data = nullptr);
  virtual void CopyFrom(const std::string& source_name, bool compress,
                        std::uint16_t progress_step = 0, const TCopyProgress& progress = nullptr,
                        void* progress_data = nullptr);
  // Reads at the handle's position; TABULA_READERR when not open, or when short and
  // `allow_short` is off (then the count, possibly -1, is returned).
  virtual std::int64_t Read(void* buffer, std::uint32_t count, bool allow_short = false);
  // Writes at the handle's position; TABULA_WRITEERR when not open or short. A count of 0
  // cuts or extends the file at the position.
  virtual void Write(const void* buffer, std::uint32_t count);
  // Forces written data to the device; TABULA_WRITEERR on failure; nothing when not open.
  virtual void Flush();

  // Returns the new position (0 when not open). TABULA_READERR when the position would be
  // negative.
  std::int64_t Seek(int origin, std::int64_t distance);
  // The size in bytes (0 when not open); TABULA_READERR when it cannot be had.
  std::uint64_t GetSize();
  // Never wait, never raise: false on a conflict or when not open.
  bool LockRange(std::uint64_t length, std::uint64_t first);
  bool UnlockRange(std::uint64_t length, std::uint64_t first);
  // Releases the `count` one-byte locks held within first .. last at once; false, releasing
  // nothing, unless exactly `count` one-byte locks and no longer one lie there, or when not
  // open.
  bool UnlockBytes(std::uint64_t first, std::uint64_t last, std::uint64_t count);
  bool Exists();
  // Enter and leave the shared file's access lock (nothing while closed). Pairs nest; Close
  // leaves every access still open, and a later EndAccess then does nothing.
  void BeginAccess();
  void EndAccess();

  // Seek and transfer under the access lock in one call.
  std::int64_t ReadAt(std::uint64_t position, void* buffer, std::uint32_t count,
                      bool allow_short = false);
  void WriteAt(std::uint64_t position, const void* buffer, std::uint32_t count);

  bool InMemory() const { return in_memory_; }
  void SetInMemory(bool value) { in_memory_ = value; }
  // The shared file object; owned by the file list. nullptr while closed.
  TAbstractFile* File() const { return file_; }
  const std::string& FileName() const { return file_name_; }
  void SetFileName(const std::string& value);  // cut to 255 characters
  std::int32_t HandleId() const { return handle_id_; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value) { exclusive_ = value; }
  bool ReadOnly() const { return read_only_; }
  bool ReadOnlyAttribute() const { return read_only_attribute_; }
  bool Opened() const { return opened_; }
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool value) { temporary_ = value; }

 protected:
  // Raises `code` about this file, with the file layer's last OS error.
  [[noreturn]] void RaiseFileError(std::uint16_t code) const;
  // Raises `code` for an operation on a closed handler.
  [[noreturn]] void RaiseClosedError(std::uint16_t code) const;

 private:
  bool in_memory_ = false;
  TAbstractFile* file_ = nullptr;  // owned by TFileList::Instance()
  std::string file_name_;
  std::int32_t handle_id_ = 0;
  bool exclusive_ = false;
  bool read_only_ = false;
  bool read_only_attribute_ = false;
  bool opened_ = false;
  bool temporary_ = false;
  // The file objects whose access lock BeginAccess took, innermost last.
  std::vector<TAbstractFile*> accessed_;
};

// Holds a handler's access lock for a scope (BeginAccess / EndAccess).
class TFileAccess {
 public:
  explicit TFileAccess(TFileHandler& handler) : handler_(handler) { handler_.BeginAccess(); }
  ~TFileAccess() { handler_.EndAccess(); }
  TFileAccess(const TFileAccess&) = delete;
  TFileAccess& operator=(const TFileAccess&) = delete;

 private:
  TFileHandler& handler_;
};

}  // namespace tabula
