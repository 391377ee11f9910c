#include "engine/storage/data_file.h"

#include <algorithm>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/storage/data_session.h"

namespace tabula {

namespace {

constexpr std::size_t kScratchStep = 4096;
// The session's defaults, used when the data file has no session.
constexpr std::int32_t kDefaultDataBufferSize = 16384;
constexpr std::int32_t kDefaultDataBufferCount = 8192;

// The current local date and time as the header stores it: days since 1899-12-30 with the time
// as the fraction, minus 693594.
double LastUpdatedNow() {
  const TLocalDateTime now = CurrentPlatform().LocalDateTime();
  double date_time = 0.0;
  if (IsValidDate(now.year, now.month, now.day)) {
    date_time = EncodeDate(now.year, now.month, now.day) - kDateTimeDelta;
  }
  const double milliseconds =
      ((now.hour * 60.0 + now.minute) * 60.0 + now.second) * 1000.0 + now.millisecond;
  return date_time + milliseconds / kMillisecondsPerDay - kDateTimeDelta;
}

}  // namespace

TDataFile::TDataFile() = default;

TDataFile::~TDataFile() {
  // The base destructor would only close the handle; drop the cache and descriptors first.
  if (Opened()) Close();
}

const std::string& TDataFile::TableName() const {
  return table_name_.empty() ? FileName() : table_name_;
}

void TDataFile::RaiseDataError(std::uint16_t code, const std::string& field) const {
  RaiseTableError(code, TableName(), field);
}

void TDataFile::EnsureScratch(std::vector<std::uint8_t>& buffer, std::size_t size) {
  if (buffer.size() >= size) return;
  buffer.resize((size + kScratchStep - 1) / kScratchStep * kScratchStep);
}

void TDataFile::TellTableModified() {
  modified_ = true;
  if (owner_ != nullptr) owner_->TableModified();
}

bool TDataFile::ForceBufferFlush() const {
  return session_ != nullptr && session_->ForceBufferFlush();
}

bool TDataFile::InternalPrimaryIndex() const {
  return owner_ != nullptr && owner_->InternalPrimaryIndex();
}

// ---- Create, open, close ---------------------------------------------------------------------

void TDataFile::CreateTable(std::uint16_t locale_id, std::uint16_t sort_id,
                            const std::vector<TFieldDescriptor>& descriptors,
                            std::uint16_t blob_block_size, const std::string& description,
                            const std::string& password, bool encrypted,
                            std::uint16_t user_major_version, std::uint16_t user_minor_version) {
  if (descriptors.size() > kMaxFieldCount) RaiseDataError(TABULA_FLDLIMIT);
  const std::uint32_t record_size = ComputeRecordSize(descriptors);
  // The header holds the size in 16 bits: a 65536-byte record would be stored as 0 and leave a
  // table that cannot be read, so it is refused like any larger one.
  if (record_size >= kMaxRecordSize) RaiseDataError(TABULA_RECTOOBIG);
  const std::size_t blob_fields = CountBlobFields(descriptors);
  if (const std::uint16_t code = CheckBlobFieldCount(blob_fields)) RaiseDataError(code);

  if (Opened()) Close();
  TDataHeader header;
  header.LocaleID = locale_id;
  header.SortID = sort_id;
  header.UserMajorVersion = user_major_version;
  header.UserMinorVersion = user_minor_version;
  header.Encrypted = encrypted;
  header.SetPlainPassword(password);
  header.SetPlainDescription(description);
  header.FormatVersion = kDataFormatVersion;
  header.FirstFreeRecord = 0;
  header.NextRecordNo = 1;
  header.LastRecordID = 0;
  header.ChangeCount = 0;
  header.BlobBlockSize = blob_block_size;
  header.FieldCount = static_cast<std::uint16_t>(descriptors.size());
  header.BlobFieldCount = static_cast<std::uint16_t>(blob_fields);
  header.RecordSize = static_cast<std::uint16_t>(record_size);
  header_ = std::move(header);
  descriptors_ = descriptors;
  header_changed_ = true;
  descriptors_changed_ = true;
  modified_ = false;

  TFileHandler::CreateNew();
  cache_ = std::make_unique<TRecordCache>(*this);
}

void TDataFile::Open() {
  if (Opened()) return;
  descriptors_.clear();
  TFileHandler::Open();
  try {
    ReadHeader();
    if (header_.FieldCount > kMaxFieldCount) RaiseDataError(TABULA_HEADERCORRUPT);
    ReadDescriptors();
    modified_ = false;
    cache_ = std::make_unique<TRecordCache>(*this);
  } catch (...) {
    descriptors_.clear();
    cache_.reset();
    TFileHandler::Close();
    throw;
  }
}

void TDataFile::Close() {
  if (!Opened()) return;
  descriptors_.clear();
  if (cache_ != nullptr) cache_->DiscardAll();
  cache_.reset();
  TFileHandler::Close();
}

void TDataFile::CheckHeader() {
  const std::uint16_t code = CheckDataHeader(header_, descriptors_, GetSize());
  if (code != 0) RaiseDataError(code);
}

// ---- Header ----------------------------------------------------------------------------------

void TDataFile::ReadHeaderInto(TDataHeader* header) {
  std::uint8_t bytes[kDataHeaderSize];
  const std::int64_t read = ReadAt(0, bytes, kDataHeaderSize, /*allow_short=*/true);
  if (read < 0) RaiseDataError(TABULA_READERR);
  const std::uint16_t code = header->DecodeFrom(bytes, static_cast<std::size_t>(read));
  if (code != 0) RaiseDataError(code);
}

void TDataFile::ReadHeader() {
  ReadHeaderInto(&header_);
  header_changed_ = false;
}

bool TDataFile::HeaderChanged() {
  std::uint8_t bytes[kDataHeaderSize];
  const std::int64_t read = ReadAt(0, bytes, kDataHeaderSize, /*allow_short=*/true);
  if (read < 0) RaiseDataError(TABULA_READERR);
  // An unchanged counter keeps the copy, which was checked when it was taken: the common case
  // of every check costs no decoding.
  if (read == static_cast<std::int64_t>(kDataHeaderSize) &&
      static_cast<std::int32_t>(DecodeFixed32(bytes + kHeaderChangeCount)) == header_.ChangeCount) {
    return false;
  }
  TDataHeader on_disk;
  const std::uint16_t code = on_disk.DecodeFrom(bytes, static_cast<std::size_t>(read));
  if (code != 0) RaiseDataError(code);
  if (on_disk.ChangeCount == header_.ChangeCount) return false;
  header_ = std::move(on_disk);
  return true;
}

bool TDataFile::WriteHeader(bool force) {
  if (!force && !header_changed_) return false;
  // The counter wraps like the signed 32-bit value it is stored as.
  header_.ChangeCount =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(header_.ChangeCount) + 1u);
  header_.EngineVersion = kEngineVersion;
  header_.LastUpdated = LastUpdatedNow();
  header_.HeaderModified = header_changed_;
  std::uint8_t bytes[kDataHeaderSize];
  header_.EncodeTo(bytes);
  WriteAt(0, bytes, kDataHeaderSize);
  TellTableModified();
  header_changed_ = false;
  return true;
}

void TDataFile::TouchHeader() {
  header_.ChangeCount =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(header_.ChangeCount) + 1u);
  header_changed_ = true;
  TellTableModified();
}

// ---- Descriptors -----------------------------------------------------------------------------

void TDataFile::ReadDescriptors() {
  const std::size_t count = header_.FieldCount;
  const std::size_t length = count * TFieldDescriptor::kEncodedLength;
  EnsureScratch(read_scratch_, length);
  const std::int64_t read =
      ReadAt(kDescriptorsOffset, read_scratch_.data(), static_cast<std::uint32_t>(length),
             /*allow_short=*/true);
  if (read < 0 || static_cast<std::size_t>(read) != length) RaiseDataError(TABULA_READERR);
  if (header_.Encrypted) ScrambleRun(read_scratch_.data(), length, kDataSeed);
  std::vector<TFieldDescriptor> descriptors(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t code =
        descriptors[i].DecodeFrom(read_scratch_.data() + i * TFieldDescriptor::kEncodedLength,
                                  length - i * TFieldDescriptor::kEncodedLength);
    if (code != 0) RaiseDataError(code);
  }
  descriptors_ = std::move(descriptors);
  descriptors_changed_ = false;
}

bool TDataFile::WriteDescriptors() {
  if (!descriptors_changed_) return false;
  const std::size_t length = descriptors_.size() * TFieldDescriptor::kEncodedLength;
  EnsureScratch(write_scratch_, length);
  for (std::size_t i = 0; i < descriptors_.size(); ++i) {
    descriptors_[i].EncodeTo(write_scratch_.data() + i * TFieldDescriptor::kEncodedLength);
  }
  if (header_.Encrypted) ScrambleRun(write_scratch_.data(), length, kDataSeed);
  if (length > 0) {
    WriteAt(kDescriptorsOffset, write_scratch_.data(), static_cast<std::uint32_t>(length));
  }
  if (ForceBufferFlush()) Flush();
  descriptors_changed_ = false;
  return true;
}

std::size_t TDataFile::IndexOfField(std::uint16_t field_no) const {
  for (std::size_t i = 0; i < descriptors_.size(); ++i) {
    if (descriptors_[i].FieldNo == field_no) return i;
  }
  RaiseDataError(TABULA_OUTOFRANGE, std::to_string(field_no));
}

TFieldDescriptor TDataFile::GetDescriptor(std::size_t index) const {
  if (index >= descriptors_.size()) RaiseDataError(TABULA_OUTOFRANGE, std::to_string(index + 1));
  return descriptors_[index];
}

TFieldDescriptor TDataFile::GetDescriptorByNumber(std::uint16_t field_no) const {
  return descriptors_[IndexOfField(field_no)];
}

TFieldDescriptor TDataFile::GetDescriptorByName(const std::string& name) const {
  for (const TFieldDescriptor& d : descriptors_) {
    if (SameNameTrimmed(d.FieldName, name)) return d;
  }
  RaiseDataError(TABULA_OUTOFRANGE, name);
}

void TDataFile::AlterDescriptor(std::uint16_t field_no, const TFieldDescriptor& descriptor) {
  TFieldDescriptor& stored = descriptors_[IndexOfField(field_no)];
  stored.FieldNo = descriptor.FieldNo;
  stored.FieldName = descriptor.FieldName;
  stored.FieldSubType = descriptor.FieldSubType;
  stored.FieldDescription = descriptor.FieldDescription;
  stored.Required = descriptor.Required;
  stored.MinValue = descriptor.MinValue;
  stored.MaxValue = descriptor.MaxValue;
  stored.DefaultValue = descriptor.DefaultValue;
  descriptors_changed_ = true;
}

// ---- Header values ---------------------------------------------------------------------------

void TDataFile::EmptyTable() {
  {
    TFileAccess access(*this);
    Seek(kSeekFromStart, static_cast<std::int64_t>(header_.RecordsOffset()));
    Write(nullptr, 0);
  }
  if (ForceBufferFlush()) Flush();
  if (cache_ != nullptr) cache_->DiscardAll();
  header_.ChangeCount = 0;
  header_.FirstFreeRecord = 0;
  header_.NextRecordNo = 1;
  header_.LastRecordID = 0;
  header_changed_ = true;
}

std::int32_t TDataFile::NewRecordID() {
  header_changed_ = true;
  return header_.NewRecordID();
}

std::int32_t TDataFile::NewBlobID() {
  header_changed_ = true;
  return header_.NewBlobID();
}

void TDataFile::SetLastRecordID(std::int32_t value) {
  if (header_.LastRecordID == value) return;
  header_.LastRecordID = value;
  header_changed_ = true;
}

std::int32_t TDataFile::RecordForInsert() const {
  return header_.RecordForInsert(InternalPrimaryIndex());
}

void TDataFile::SetFirstFreeRecord(std::int32_t record_no) {
  if (header_.FirstFreeRecord == record_no) return;
  header_.FirstFreeRecord = record_no;
  header_changed_ = true;
}

void TDataFile::AlterHeader(const std::string& password, const std::string& description,
                            std::int32_t last_record_id, std::uint16_t user_minor_version,
                            std::uint16_t user_major_version) {
  header_.SetPlainPassword(password);
  header_.SetPlainDescription(description);
  header_.LastRecordID = last_record_id;
  header_.UserMinorVersion = user_minor_version;
  header_.UserMajorVersion = user_major_version;
  header_changed_ = true;
}

// ---- Records ---------------------------------------------------------------------------------

TRecord* TDataFile::TakeFreeRecord(TRecordCacheCursor* cursor) {
  const std::int32_t record_no = RecordForInsert();
  if (record_no != header_.NextRecordNo) {
    TRecord* record = cache_->GetRecord(cursor, record_no, false, TReadDirection::kForward, false);
    if (record == nullptr) return nullptr;
    const bool reusable = header_.TakeFreeRecord(record->Image());
    header_changed_ = true;
    if (reusable) return record;
    cache_->Unpin(record);
  }
  return cache_->GetRecord(cursor, header_.NextRecordNo, false, TReadDirection::kForward, false);
}

void TDataFile::FreeRecord(TRecord* record) {
  header_.FreeRecord(record->Image(), record->RecordNo(), InternalPrimaryIndex());
  record->SetDirty(true);
  header_changed_ = true;
}

std::int32_t TDataFile::ReadRecordImages(std::int32_t first, std::int32_t count,
                                         std::uint8_t* buffer) {
  const std::int32_t record_size = RecordSize();
  if (first < 1 || count <= 0 || record_size <= 0) return 0;
  const std::int64_t read = ReadRecords(first, count, buffer);
  if (read < 0) RaiseDataError(TABULA_READERR);
  const std::int32_t whole = static_cast<std::int32_t>(read / record_size);
  for (std::int32_t i = 0; i < whole; ++i) ScrambleImage(buffer + std::size_t(i) * record_size);
  return whole;
}

void TDataFile::AppendRecordNo(std::int32_t record_no) {
  if (record_no != header_.NextRecordNo) RaiseDataError(TABULA_FILECORRUPT);
  if (const std::uint16_t code = header_.CheckAppend(record_no)) RaiseDataError(code);
  ++header_.NextRecordNo;
  header_changed_ = true;
  modified_ = true;
}

std::int64_t TDataFile::ReadRecords(std::int32_t first, std::int32_t count, std::uint8_t* buffer) {
  const std::uint64_t length =
      static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(header_.RecordSize);
  if (first < 1 || count <= 0 || length > 0xFFFFFFFFu) return -1;
  return ReadAt(header_.RecordOffset(first), buffer, static_cast<std::uint32_t>(length),
                /*allow_short=*/true);
}

void TDataFile::WriteRecords(std::int32_t first, std::int32_t count, const std::uint8_t* buffer) {
  const std::uint64_t length =
      static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(header_.RecordSize);
  if (first < 1 || count <= 0 || length > 0xFFFFFFFFu) RaiseDataError(TABULA_WRITEERR);
  WriteAt(header_.RecordOffset(first), buffer, static_cast<std::uint32_t>(length));
  TellTableModified();
}

bool TDataFile::ShortReadAllowed() const {
  const bool table_modified = modified_ || (owner_ != nullptr && owner_->TableWasModified());
  return (Exclusive() || HoldsTransactionLock()) && table_modified;
}

bool TDataFile::HoldsTransactionLock() const {
  return owner_ != nullptr && owner_->HoldsTransactionLock();
}

bool TDataFile::StrictChangeDetection() const {
  return session_ != nullptr && session_->StrictChangeDetection();
}

std::int32_t TDataFile::DataBufferSize() const {
  return session_ != nullptr ? session_->DataBufferSize() : kDefaultDataBufferSize;
}

std::int32_t TDataFile::DataBufferCount() const {
  return session_ != nullptr ? session_->DataBufferCount() : kDefaultDataBufferCount;
}

void TDataFile::ScrambleImage(std::uint8_t* image) const {
  if (header_.Encrypted) ScrambleRun(image, header_.RecordSize, kDataSeed);
}

}  // namespace tabula
