#include "engine/storage/shadow_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tabula {

namespace {

// pwrite and pread of the whole range, retrying after interruptions and partial transfers.
bool WriteFully(int fd, const std::uint8_t* data, std::size_t count, std::uint64_t offset) {
  while (count > 0) {
    const ssize_t done = pwrite(fd, data, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    count -= static_cast<std::size_t>(done);
    offset += static_cast<std::uint64_t>(done);
  }
  return true;
}

bool ReadFully(int fd, std::uint8_t* data, std::size_t count, std::uint64_t offset) {
  while (count > 0) {
    const ssize_t done = pread(fd, data, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    count -= static_cast<std::size_t>(done);
    offset += static_cast<std::uint64_t>(done);
  }
  return true;
}

}  // namespace

TShadowFile::TShadowFile(std::size_t unit_size) : unit_size_(unit_size) {}

TShadowFile::~TShadowFile() {
  if (fd_ >= 0) close(fd_);
}

bool TShadowFile::EnsureFile() {
  if (fd_ >= 0) return true;
  std::string directory = directory_;
  if (directory.empty()) {
    const char* tmp = getenv("TMPDIR");
    directory = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  }
#ifdef O_TMPFILE
  fd_ = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (fd_ < 0) {
    // File systems without unnamed files: a unique name, removed at once.
    std::string pattern = directory + "/tabula-shadow-XXXXXX";
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ >= 0) unlink(pattern.c_str());
  }
  return fd_ >= 0;
}

void TShadowFile::Mark(std::uint32_t first, std::uint32_t count) {
  const std::size_t words = (static_cast<std::size_t>(first) + count + 63) / 64;
  if (bits_.size() < words) bits_.resize(std::max(words, bits_.size() * 2), 0);
  for (std::uint32_t unit = first; unit < first + count; ++unit) {
    std::uint64_t& word = bits_[unit / 64];
    const std::uint64_t bit = std::uint64_t{1} << (unit % 64);
    if ((word & bit) == 0) {
      word |= bit;
      ++held_;
    }
  }
}

bool TShadowFile::Write(std::uint32_t first, std::uint32_t count, const std::uint8_t* data) {
  if (count == 0) return true;
  if (!EnsureFile()) return false;
  if (!WriteFully(fd_, data, static_cast<std::size_t>(count) * unit_size_,
                  static_cast<std::uint64_t>(first) * unit_size_)) {
    return false;
  }
  Mark(first, count);
  return true;
}

bool TShadowFile::Read(std::uint32_t first, std::uint32_t count, std::uint8_t* data) const {
  if (count == 0) return true;
  if (fd_ < 0) return false;
  return ReadFully(fd_, data, static_cast<std::size_t>(count) * unit_size_,
                   static_cast<std::uint64_t>(first) * unit_size_);
}

bool TShadowFile::CopyRuns(
    std::size_t max_bytes,
    const std::function<void(std::uint32_t, std::uint32_t, const std::uint8_t*)>& copy) {
  const std::uint32_t per_piece =
      static_cast<std::uint32_t>(std::max<std::size_t>(max_bytes / unit_size_, 1));
  const std::uint32_t end = static_cast<std::uint32_t>(bits_.size() * 64);
  std::uint32_t unit = 0;
  while (unit < end) {
    const std::uint64_t word = bits_[unit / 64] >> (unit % 64);
    if (word == 0) {
      unit = (unit / 64 + 1) * 64;  // the rest of this word is empty
      continue;
    }
    if ((word & 1u) == 0) {
      unit += static_cast<std::uint32_t>(__builtin_ctzll(word));
      continue;
    }
    std::uint32_t count = 1;
    while (count < per_piece && unit + count < end && Holds(unit + count)) ++count;
    copy_buffer_.resize(static_cast<std::size_t>(count) * unit_size_);
    if (!Read(unit, count, copy_buffer_.data())) return false;
    copy(unit, count, copy_buffer_.data());
    unit += count;
  }
  return true;
}

void TShadowFile::Clear() {
  if (held_ == 0 && bits_.empty()) return;
  bits_.clear();
  bits_.shrink_to_fit();
  held_ = 0;
  copy_buffer_.clear();
  copy_buffer_.shrink_to_fit();
  if (fd_ >= 0 && ftruncate(fd_, 0) != 0) {
    // The space stays taken until the process ends; the held units are forgotten either way.
  }
}

}  // namespace tabula
