// TShadowFile: a private scratch copy of a table file's changed units (records, index pages or
// BLOB blocks) that a transaction can no longer keep in memory.
//
// Inside a transaction nothing may reach the shared table files before the commit: other
// processes read them while the transaction runs and must see committed data only. When a
// cache fills up with changed entries it spills them here instead of growing: unit n (a record,
// page or block number) lies at offset n * UnitSize(), so the file needs no index, and a bitmap
// tells which units it holds. The file is created on the first spill in the temporary
// directory, unlinked at once (no other process can open it, and it vanishes with the process),
// and emptied when the transaction ends. The cache reads a spilled unit back from here when it
// needs it again; the commit copies every unit, in unit order, to the table file (CopyRuns);
// a rollback only calls Clear.
//
// Units are stored exactly as the table file stores them (scrambled in an encrypted table), so
// the commit copies bytes without decoding them.
//
// Thread-safety: one thread at a time (the owning cache's).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tabula {

class TShadowFile {
 public:
  // REQUIRES: unit_size > 0.
  explicit TShadowFile(std::size_t unit_size);
  ~TShadowFile();
  TShadowFile(const TShadowFile&) = delete;
  TShadowFile& operator=(const TShadowFile&) = delete;

  std::size_t UnitSize() const { return unit_size_; }
  // The directory of the file; empty for $TMPDIR, else /tmp. Takes effect at the next creation.
  void SetDirectory(const std::string& directory) { directory_ = directory; }

  // Nothing is held (no spill since the last Clear).
  bool Empty() const { return held_ == 0; }
  std::int64_t HeldUnits() const { return held_; }
  bool Holds(std::uint32_t unit) const {
    const std::size_t word = unit / 64;
    return word < bits_.size() && ((bits_[word] >> (unit % 64)) & 1u) != 0;
  }

  // Writes `count` units starting at `first` from `data` (count * UnitSize() bytes) and marks
  // them held. Creates the file when needed. False when the file cannot be created or written
  // (the caller then keeps its entries in memory); the units already marked stay valid.
  bool Write(std::uint32_t first, std::uint32_t count, const std::uint8_t* data);
  // Reads `count` units starting at `first` into `data`; only meaningful for held units.
  // False on a read failure.
  bool Read(std::uint32_t first, std::uint32_t count, std::uint8_t* data) const;

  // Calls `copy(first, count, data)` for every run of consecutive held units in ascending order,
  // in pieces of at most `max_bytes` (at least one unit) read from the file into a buffer of its
  // own. False when a read fails (nothing further is copied). `copy` may raise.
  bool CopyRuns(std::size_t max_bytes,
                const std::function<void(std::uint32_t first, std::uint32_t count,
                                         const std::uint8_t* data)>& copy);

  // Forgets every held unit and gives the file's space back (the file itself stays open).
  void Clear();

 private:
  bool EnsureFile();
  void Mark(std::uint32_t first, std::uint32_t count);

  std::size_t unit_size_;
  std::string directory_;
  int fd_ = -1;
  std::vector<std::uint64_t> bits_;  // bit n set: unit n is held
  std::int64_t held_ = 0;
  std::vector<std::uint8_t> copy_buffer_;
};

}  // namespace tabula
