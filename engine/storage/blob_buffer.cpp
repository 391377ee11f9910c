#include "engine/storage/blob_buffer.h"

#include <algorithm>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/storage/blob_file.h"

namespace tabula {

TBlobBuffer::TBlobBuffer(const void* cursor, std::uint16_t field_no, std::int32_t first_block,
                         std::int32_t owner, std::int32_t record_no)
    : cursor_(cursor),
      field_no_(field_no),
      first_block_(first_block),
      owner_(owner),
      record_no_(record_no) {}

void TBlobBuffer::Load(TBlobFile& file, TRecordCacheCursor* cursor, bool keep_original) {
  file.ReadValue(cursor, first_block_, owner_, &data_);
  if (keep_original) original_ = data_;
  modified_ = false;
}

std::uint16_t TBlobBuffer::Read(std::uint64_t offset, std::uint64_t count,
                                std::uint8_t* destination, std::uint64_t* read) const {
  const std::uint64_t length = data_.size();
  *read = 0;
  if (offset >= length) return count == 0 ? 0 : TABULA_ENDOFBLOB;
  const std::uint64_t available = length - offset;
  const std::uint64_t take = std::min(count, available);
  if (take > 0) std::memcpy(destination, data_.data() + offset, static_cast<std::size_t>(take));
  *read = take;
  return count > available ? TABULA_ENDOFBLOB : 0;
}

std::uint16_t TBlobBuffer::Write(std::uint64_t offset, std::uint64_t count,
                                 const std::uint8_t* source) {
  if (offset > kMaxBlobLength || count > kMaxBlobLength - offset) return TABULA_INVALIDBLOBLEN;
  const std::uint64_t end = offset + count;
  if (end > data_.size()) data_.resize(static_cast<std::size_t>(end), 0);
  if (count > 0) std::memcpy(data_.data() + offset, source, static_cast<std::size_t>(count));
  modified_ = true;
  return 0;
}

std::uint16_t TBlobBuffer::Truncate(std::uint64_t length) {
  if (length > kMaxBlobLength) return TABULA_INVALIDBLOBLEN;
  data_.resize(static_cast<std::size_t>(length), 0);
  modified_ = true;
  return 0;
}

std::int32_t TBlobBuffer::Post(TBlobFile& file, std::int32_t new_owner) {
  first_block_ = file.WriteValue(first_block_, owner_, new_owner, data_.data(), data_.size());
  owner_ = new_owner;
  modified_ = false;
  return first_block_;
}

std::uint16_t TBlobBufferList::Add(std::unique_ptr<TBlobBuffer> buffer, TBlobBuffer** added) {
  if (buffers_.size() >= kMaxOpenBlobs) return TABULA_OPENBLOBLIMIT;
  // Identities are never reused while the cursor lives, so a stale slot cannot name a newer
  // buffer; they wrap only after two thousand million opens.
  last_identity_ = last_identity_ >= 0x7FFFFFFF ? 1 : last_identity_ + 1;
  buffer->identity_ = last_identity_;
  *added = buffer.get();
  buffers_.push_back(std::move(buffer));
  return 0;
}

TBlobBuffer* TBlobBufferList::Find(std::int32_t identity) const {
  for (const auto& buffer : buffers_) {
    if (buffer->identity_ == identity) return buffer.get();
  }
  return nullptr;
}

TBlobBuffer* TBlobBufferList::FindBySlot(std::int32_t slot) const {
  if (!SlotHoldsIdentity(slot)) return nullptr;
  return Find(IdentityForSlot(slot));
}

void TBlobBufferList::Remove(std::int32_t identity) {
  buffers_.erase(std::remove_if(buffers_.begin(), buffers_.end(),
                                [identity](const std::unique_ptr<TBlobBuffer>& buffer) {
                                  return buffer->identity_ == identity;
                                }),
                 buffers_.end());
}

std::uint16_t TBlobBufferList::CheckModifiedBelongTo(std::int32_t record_no) const {
  for (const auto& buffer : buffers_) {
    if (buffer->modified_ && buffer->record_no_ != record_no) return TABULA_MEMOCORRUPT;
  }
  return 0;
}

}  // namespace tabula
