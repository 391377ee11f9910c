// TFileHandler: the engine-error face of the file layer.
#include <cerrno>

#include "engine/base/engine_error.h"
#include "engine/storage/file_layer.h"

namespace tabula {

namespace {
constexpr std::size_t kMaxFileNameLength = 255;
}  // namespace

TFileHandler::TFileHandler() = default;

TFileHandler::~TFileHandler() {
  while (!accessed_.empty()) EndAccess();
  if (opened_) TFileHandler::Close();
}

void TFileHandler::SetFileName(const std::string& value) {
  file_name_ = value.size() <= kMaxFileNameLength ? value : value.substr(0, kMaxFileNameLength);
}

void TFileHandler::RaiseFileError(std::uint16_t code) const {
  errno = LastFileOSError();
  RaiseTableError(code, file_name_);
}

void TFileHandler::RaiseClosedError(std::uint16_t code) const {
  SetLastFileOSError(EBADF);
  RaiseFileError(code);
}

void TFileHandler::Open() {
  if (opened_) return;
  SetLastFileOSError(0);
  if (!Exists()) {
    SetLastFileOSError(ENOENT);
    RaiseFileError(TABULA_OSENOENT);
  }
  TAbstractFile* file = nullptr;
  bool read_only = false;
  bool read_only_attribute = false;
  const std::int32_t result = TFileList::Instance().Open(
      file_name_, in_memory_, temporary_, exclusive_, &file, &read_only, &read_only_attribute);
  if (result < 0) RaiseFileError(static_cast<std::uint16_t>(-result));
  file_ = file;
  handle_id_ = result;
  read_only_ = read_only;
  read_only_attribute_ = read_only_attribute;
  opened_ = true;
}

void TFileHandler::Close() {
  // Leave any access still open: the file object may go with the handle.
  while (!accessed_.empty()) EndAccess();
  if (file_ != nullptr && handle_id_ != 0) {
    TFileList::Instance().Close(file_, in_memory_, handle_id_);
  }
  file_ = nullptr;
  handle_id_ = 0;
  opened_ = false;
}

void TFileHandler::CreateNew() {
  SetLastFileOSError(0);
  TAbstractFile* file = nullptr;
  const std::int32_t result =
      TFileList::Instance().CreateNew(file_name_, in_memory_, temporary_, &file);
  if (result < 0) RaiseFileError(static_cast<std::uint16_t>(-result));
  file_ = file;
  handle_id_ = result;
  read_only_ = false;
  read_only_attribute_ = false;
  opened_ = true;
}

void TFileHandler::Remove() {
  SetLastFileOSError(0);
  const std::int32_t result = TFileList::Instance().Remove(file_name_, in_memory_);
  if (result < 0) RaiseFileError(static_cast<std::uint16_t>(-result));
}

void TFileHandler::Rename(const std::string& new_name) {
  SetLastFileOSError(0);
  const std::int32_t result = TFileList::Instance().Rename(file_name_, in_memory_, new_name);
  if (result < 0) RaiseFileError(static_cast<std::uint16_t>(-result));
  SetFileName(new_name);
}

void TFileHandler::CopyTo(const std::string& destination_name, bool compress,
                          std::uint16_t progress_step, const TCopyProgress& progress,
                          void* progress_data) {
  if (!opened_ || file_ == nullptr) return;
  SetLastFileOSError(0);
  const std::int32_t result = TFileList::Instance().CopyTo(
      file_, handle_id_, destination_name, compress, progress_step, progress, progress_data);
  if (result < 0) RaiseFileError(static_cast<std::uint16_t>(-result));
}

void TFileHandler::CopyFrom(const std::string& source_name, bool compress,
                            std::uint16_t progress_step, const TCopyProgress& progress,
                            void* progress_data) {
  if (!opened_ || file_ == nullptr) return;
  SetLastFileOSError(0);
  const std::int32_t result = TFileList::Instance().CopyFrom(
      file_, handle_id_, source_name, compress, progress_step, progress, progress_data);
  if (result < 0) RaiseFileError(static_cast<std::uint16_t>(-result));
}

std::int64_t TFileHandler::Read(void* buffer, std::uint32_t count, bool allow_short) {
  SetLastFileOSError(0);
  if (file_ == nullptr) RaiseClosedError(TABULA_READERR);
  const std::int64_t n = file_->Read(handle_id_, buffer, count);
  if (n != static_cast<std::int64_t>(count) && !allow_short) RaiseFileError(TABULA_READERR);
  return n;
}

void TFileHandler::Write(const void* buffer, std::uint32_t count) {
  SetLastFileOSError(0);
  if (file_ == nullptr) RaiseClosedError(TABULA_WRITEERR);
  const std::int64_t n = file_->Write(handle_id_, buffer, count);
  if (n != static_cast<std::int64_t>(count)) RaiseFileError(TABULA_WRITEERR);
}

void TFileHandler::Flush() {
  if (file_ == nullptr) return;
  SetLastFileOSError(0);
  if (!file_->Flush()) RaiseFileError(TABULA_WRITEERR);
}

std::int64_t TFileHandler::Seek(int origin, std::int64_t distance) {
  if (file_ == nullptr) return 0;
  SetLastFileOSError(0);
  const std::int64_t position = file_->Seek(handle_id_, origin, distance);
  if (position < 0) RaiseFileError(TABULA_READERR);
  return position;
}

std::uint64_t TFileHandler::GetSize() {
  if (file_ == nullptr) return 0;
  SetLastFileOSError(0);
  const std::int64_t size = file_->GetSize();
  if (size < 0) RaiseFileError(TABULA_READERR);
  return static_cast<std::uint64_t>(size);
}

bool TFileHandler::LockRange(std::uint64_t length, std::uint64_t first) {
  return file_ != nullptr && file_->LockRange(length, first);
}

bool TFileHandler::UnlockRange(std::uint64_t length, std::uint64_t first) {
  return file_ != nullptr && file_->UnlockRange(length, first);
}

bool TFileHandler::UnlockBytes(std::uint64_t first, std::uint64_t last, std::uint64_t count) {
  return file_ != nullptr && file_->UnlockBytes(first, last, count);
}

bool TFileHandler::Exists() { return TFileList::Instance().Exists(file_name_, in_memory_); }

void TFileHandler::BeginAccess() {
  if (file_ != nullptr) file_->AccessLock().lock();
  accessed_.push_back(file_);
}

void TFileHandler::EndAccess() {
  if (accessed_.empty()) return;
  TAbstractFile* file = accessed_.back();
  accessed_.pop_back();
  if (file != nullptr) file->AccessLock().unlock();
}

std::int64_t TFileHandler::ReadAt(std::uint64_t position, void* buffer, std::uint32_t count,
                                  bool allow_short) {
  if (file_ == nullptr) RaiseClosedError(TABULA_READERR);
  SetLastFileOSError(0);
  // One operation of the file object, under its access lock.
  const std::int64_t n = file_->ReadAt(handle_id_, buffer, count, position);
  if (n != static_cast<std::int64_t>(count) && !allow_short) RaiseFileError(TABULA_READERR);
  return n;
}

void TFileHandler::WriteAt(std::uint64_t position, const void* buffer, std::uint32_t count) {
  if (file_ == nullptr) RaiseClosedError(TABULA_WRITEERR);
  SetLastFileOSError(0);
  const std::int64_t n = file_->WriteAt(handle_id_, buffer, count, position);
  if (n != static_cast<std::int64_t>(count)) RaiseFileError(TABULA_WRITEERR);
}

}  // namespace tabula
