// The cursor's BLOB values: opening them into memory buffers, reading and changing them there,
// and writing or freeing their chains when a record is posted or deleted.
#include <algorithm>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/index/index_format.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_session.h"

namespace tabula {

namespace {

// A BLOB field's area in a record: the null flag, then the first block and the owner.
constexpr std::size_t kSlotFlag = 0;
constexpr std::size_t kSlotFirstBlock = 1;
constexpr std::size_t kSlotOwner = 5;
constexpr std::size_t kSlotLength = 9;

std::int32_t SlotFirstBlock(const std::uint8_t* area) {
  return static_cast<std::int32_t>(DecodeFixed32(area + kSlotFirstBlock));
}
std::int32_t SlotOwner(const std::uint8_t* area) {
  return static_cast<std::int32_t>(DecodeFixed32(area + kSlotOwner));
}
void SetSlot(std::uint8_t* area, std::int32_t first_block, std::int32_t owner) {
  area[kSlotFlag] = first_block != 0 ? 1 : 0;
  EncodeFixed32(area + kSlotFirstBlock, static_cast<std::uint32_t>(first_block));
  EncodeFixed32(area + kSlotOwner, static_cast<std::uint32_t>(owner));
}
// An open value's slot: its identity, and the null flag set exactly when it is not empty.
void SetOpenSlot(std::uint8_t* area, const TBlobBuffer& buffer) {
  area[kSlotFlag] = buffer.Length() != 0 ? 1 : 0;
  EncodeFixed32(area + kSlotFirstBlock,
                static_cast<std::uint32_t>(TBlobBufferList::SlotForIdentity(buffer.Identity())));
}

}  // namespace

const TFieldDescriptor* TDataCursor::BlobField(std::uint16_t field_no) const {
  if (!IsOpen() || field_no == 0 || field_no > descriptors_.size()) return nullptr;
  const TFieldDescriptor& field = descriptors_[field_no - 1u];
  if (field.FieldType != fldBlob) return nullptr;
  if (static_cast<std::size_t>(field.FieldOffset) + kSlotLength > record_image_.size()) {
    return nullptr;
  }
  return &field;
}

TBlobBuffer* TDataCursor::SlotBuffer(const TFieldDescriptor& field,
                                     const std::uint8_t* record) const {
  TBlobBuffer* buffer = blob_buffers_.FindBySlot(SlotFirstBlock(record + field.FieldOffset));
  return buffer != nullptr && buffer->FieldNo() == field.FieldNo ? buffer : nullptr;
}

bool TDataCursor::FieldHasTextIndex(std::uint16_t field_no) const {
  if (!IsOpen() || !table_->IndexFile().Opened()) return false;
  const TIndexDescriptor& text = table_->IndexFile().Descriptor(kSysTextSlot);
  const std::size_t count = std::min<std::size_t>(text.FieldCount, text.FieldNumbers.size());
  return std::find(text.FieldNumbers.begin(), text.FieldNumbers.begin() + count, field_no) !=
         text.FieldNumbers.begin() + count;
}

void TDataCursor::ReadBlobInFrame(const std::function<void(TRecordCacheCursor*)>& read) {
  // Under the write lock (a post reading values for the text index) the file cannot change
  // and the cursor must not move: no change check.
  if (table_->Locks().WriteLockHeld()) {
    read(nullptr);
    return;
  }
  // A read frame like every read: with strict change detection the read lock and the check
  // come first, otherwise a block missing from the cache takes them before the disk read.
  CheckChanges();
  try {
    read(this);
  } catch (...) {
    try {
      EndRead();
    } catch (const std::exception&) {
    }
    throw;
  }
  EndRead();
}

std::uint16_t TDataCursor::LoadBlob(TBlobBuffer& buffer) {
  if (buffer.FirstBlock() == 0) return 0;
  if (!table_->HasBlobFile()) return TABULA_MEMOCORRUPT;
  try {
    const bool keep_original = FieldHasTextIndex(buffer.FieldNo());
    ReadBlobInFrame([&](TRecordCacheCursor* cursor) {
      buffer.Load(table_->BlobFile(), cursor, keep_original);
    });
  } catch (const ETabulaEngineError& error) {
    return error.ErrorCode();
  }
  return 0;
}

std::uint16_t TDataCursor::OpenBlob(std::uint16_t field_no, std::uint8_t* record,
                                    TBlobOpenMode mode, bool free_at_post, std::uint32_t* size) {
  (void)mode;  // the whole value is in memory whatever the caller means to do with it
  if (size != nullptr) *size = 0;
  const TFieldDescriptor* field = BlobField(field_no);
  if (field == nullptr) return TABULA_NOTABLOB;
  std::uint8_t* area = record + field->FieldOffset;
  const std::int32_t slot = SlotFirstBlock(area);
  if (TBlobBufferList::SlotHoldsIdentity(slot)) {
    TBlobBuffer* buffer = SlotBuffer(*field, record);
    if (buffer == nullptr) return TABULA_INVALIDBLOBOFFSET;
    buffer->AddOpen();
    if (size != nullptr) *size = static_cast<std::uint32_t>(buffer->Length());
    return 0;
  }
  if (blob_buffers_.Count() >= kMaxOpenBlobs) return TABULA_OPENBLOBLIMIT;
  auto created = std::make_unique<TBlobBuffer>(
      this, field_no, slot, SlotOwner(area),
      static_cast<std::int32_t>(DecodeFixed32(record + kRecordNoOrLink)));
  created->SetFreeAtPost(free_at_post);
  if (const std::uint16_t code = LoadBlob(*created); code != 0) return code;
  TBlobBuffer* buffer = nullptr;
  if (const std::uint16_t code = blob_buffers_.Add(std::move(created), &buffer); code != 0) {
    return code;
  }
  SetOpenSlot(area, *buffer);
  if (size != nullptr) *size = static_cast<std::uint32_t>(buffer->Length());
  return 0;
}

std::uint16_t TDataCursor::GetBlob(std::uint16_t field_no, const std::uint8_t* record,
                                   std::uint32_t offset, std::uint32_t count,
                                   std::uint8_t* destination, std::uint32_t* read) {
  if (read != nullptr) *read = 0;
  const TFieldDescriptor* field = BlobField(field_no);
  if (field == nullptr) return TABULA_NOTABLOB;
  const TBlobBuffer* buffer = SlotBuffer(*field, record);
  if (buffer == nullptr) return TABULA_INVALIDBLOBHANDLE;
  std::uint64_t copied = 0;
  const std::uint16_t code = buffer->Read(offset, count, destination, &copied);
  if (read != nullptr) *read = static_cast<std::uint32_t>(copied);
  return code;
}

std::uint16_t TDataCursor::PutBlob(std::uint16_t field_no, std::uint8_t* record,
                                   std::uint32_t offset, std::uint32_t count,
                                   const std::uint8_t* source) {
  const TFieldDescriptor* field = BlobField(field_no);
  if (field == nullptr) return TABULA_NOTABLOB;
  TBlobBuffer* buffer = SlotBuffer(*field, record);
  if (buffer == nullptr) return TABULA_INVALIDBLOBHANDLE;
  // Like every field write: a read-only cursor changes nothing.
  if (read_only_) return TABULA_OSEACCES;
  if (const std::uint16_t code = buffer->Write(offset, count, source); code != 0) return code;
  SetOpenSlot(record + field->FieldOffset, *buffer);
  return 0;
}

std::uint16_t TDataCursor::TruncateBlob(std::uint16_t field_no, std::uint8_t* record,
                                        std::uint32_t length) {
  const TFieldDescriptor* field = BlobField(field_no);
  if (field == nullptr) return TABULA_NOTABLOB;
  TBlobBuffer* buffer = SlotBuffer(*field, record);
  if (buffer == nullptr) return TABULA_INVALIDBLOBHANDLE;
  if (read_only_) return TABULA_OSEACCES;
  if (const std::uint16_t code = buffer->Truncate(length); code != 0) return code;
  SetOpenSlot(record + field->FieldOffset, *buffer);
  return 0;
}

std::uint16_t TDataCursor::GetBlobSize(std::uint16_t field_no, const std::uint8_t* record,
                                       std::uint32_t* size) {
  if (size != nullptr) *size = 0;
  const TFieldDescriptor* field = BlobField(field_no);
  if (field == nullptr) return TABULA_NOTABLOB;
  const TBlobBuffer* buffer = SlotBuffer(*field, record);
  if (buffer == nullptr) return TABULA_INVALIDBLOBHANDLE;
  if (size != nullptr) *size = static_cast<std::uint32_t>(buffer->Length());
  return 0;
}

std::uint16_t TDataCursor::FreeBlob(std::uint16_t field_no, std::uint8_t* record) {
  const TFieldDescriptor* field = BlobField(field_no);
  if (field == nullptr) return TABULA_NOTABLOB;
  TBlobBuffer* buffer = SlotBuffer(*field, record);
  if (buffer == nullptr) return TABULA_INVALIDBLOBHANDLE;
  if (!buffer->ReleaseOpen()) return 0;
  std::uint8_t* area = record + field->FieldOffset;
  SetSlot(area, buffer->FirstBlock(), SlotOwner(area));
  blob_buffers_.Remove(buffer->Identity());
  return 0;
}

// ---- Posting and deleting --------------------------------------------------------------------

std::uint16_t TDataCursor::CheckBlobsForPost(const std::uint8_t* image) const {
  bool have_record = false;
  std::int32_t record_no = 0;
  for (const TFieldDescriptor& descriptor : descriptors_) {
    const TFieldDescriptor* field = BlobField(descriptor.FieldNo);
    if (field == nullptr) continue;
    const std::int32_t slot = SlotFirstBlock(image + field->FieldOffset);
    if (!TBlobBufferList::SlotHoldsIdentity(slot)) continue;
    const TBlobBuffer* buffer = SlotBuffer(*field, image);
    if (buffer == nullptr) return TABULA_INVALIDBLOBHANDLE;
    if (buffer->Modified() && !have_record) {
      have_record = true;
      record_no = buffer->RecordNo();
    }
  }
  // One post writes the values of one record: a changed buffer opened on another record
  // would be lost or written into the wrong record.
  return have_record ? blob_buffers_.CheckModifiedBelongTo(record_no) : 0;
}

void TDataCursor::WriteBlobValues(std::uint8_t* image, std::uint8_t* stored,
                                  const std::uint8_t* previous) {
  for (const TFieldDescriptor& descriptor : descriptors_) {
    const TFieldDescriptor* field = BlobField(descriptor.FieldNo);
    if (field == nullptr) continue;
    std::uint8_t* area = image + field->FieldOffset;
    std::int32_t first = SlotFirstBlock(area);
    std::int32_t owner = SlotOwner(area);
    std::int32_t rewritten = 0;  // the chain a changed value was written over
    if (TBlobBufferList::SlotHoldsIdentity(first)) {
      TBlobBuffer* buffer = SlotBuffer(*field, image);
      if (buffer == nullptr) Raise(TABULA_INVALIDBLOBHANDLE, field->FieldName);
      if (buffer->Modified()) {
        if (!table_->HasBlobFile()) Raise(TABULA_MEMOCORRUPT, field->FieldName);
        rewritten = buffer->FirstBlock();
        buffer->Post(table_->BlobFile(), table_->DataFile().NewBlobID());
      }
      first = buffer->FirstBlock();
      owner = buffer->OwnerID();
      blob_buffers_.Remove(buffer->Identity());
    }
    if (previous != nullptr) {
      // The old value's chain, unless the new record still refers to it or the write above
      // reused or freed it: a field set to null, or to another chain, leaves it behind.
      const std::uint8_t* old_area = previous + field->FieldOffset;
      const std::int32_t old_first = SlotFirstBlock(old_area);
      if (old_first > 0 && old_first != first && old_first != rewritten) {
        if (!table_->HasBlobFile()) Raise(TABULA_MEMOCORRUPT, field->FieldName);
        table_->BlobFile().FreeChain(old_first, SlotOwner(old_area), /*tolerate=*/false);
      }
    }
    SetSlot(area, first, owner);
    if (stored != nullptr && stored != image) SetSlot(stored + field->FieldOffset, first, owner);
  }
}

std::uint16_t TDataCursor::CheckBlobsForDelete(const std::uint8_t* stored) {
  for (const TFieldDescriptor& descriptor : descriptors_) {
    const TFieldDescriptor* field = BlobField(descriptor.FieldNo);
    if (field == nullptr) continue;
    const std::uint8_t* area = stored + field->FieldOffset;
    if (SlotFirstBlock(area) == 0) continue;
    if (!table_->HasBlobFile()) return TABULA_MEMOCORRUPT;
    try {
      table_->BlobFile().CheckChain(SlotFirstBlock(area), SlotOwner(area));
    } catch (const ETabulaEngineError& error) {
      return error.ErrorCode();
    }
  }
  return 0;
}

void TDataCursor::FreeBlobValues(std::uint8_t* stored) {
  for (const TFieldDescriptor& descriptor : descriptors_) {
    const TFieldDescriptor* field = BlobField(descriptor.FieldNo);
    if (field == nullptr) continue;
    std::uint8_t* area = stored + field->FieldOffset;
    if (SlotFirstBlock(area) != 0) {
      if (!table_->HasBlobFile()) Raise(TABULA_MEMOCORRUPT, field->FieldName);
      table_->BlobFile().FreeChain(SlotFirstBlock(area), SlotOwner(area), /*tolerate=*/false);
    }
    SetSlot(area, 0, 0);
  }
  // Values this cursor holds open on the record go with it.
  const std::int32_t record_no = static_cast<std::int32_t>(DecodeFixed32(stored + kRecordNoOrLink));
  std::vector<std::int32_t> gone;
  for (const auto& buffer : blob_buffers_.Buffers()) {
    if (buffer->RecordNo() == record_no) gone.push_back(buffer->Identity());
  }
  for (std::int32_t identity : gone) blob_buffers_.Remove(identity);
}

std::vector<std::uint8_t> TDataCursor::BlobValue(std::uint16_t field_no, const std::uint8_t* record,
                                                 bool original) {
  const TFieldDescriptor* field = BlobField(field_no);
  if (field == nullptr) Raise(TABULA_NOTABLOB);
  const std::uint8_t* area = record + field->FieldOffset;
  std::int32_t first = SlotFirstBlock(area);
  std::int32_t owner = SlotOwner(area);
  if (TBlobBufferList::SlotHoldsIdentity(first)) {
    const TBlobBuffer* buffer = SlotBuffer(*field, record);
    if (buffer == nullptr) Raise(TABULA_INVALIDBLOBHANDLE, field->FieldName);
    if (!original) return buffer->Data();
    if (FieldHasTextIndex(field_no)) return buffer->OriginalData();
    first = buffer->FirstBlock();
    owner = buffer->OwnerID();
  }
  std::vector<std::uint8_t> value;
  if (first == 0) return value;
  if (!table_->HasBlobFile()) Raise(TABULA_MEMOCORRUPT, field->FieldName);
  ReadBlobInFrame([&](TRecordCacheCursor* cursor) {
    table_->BlobFile().ReadValue(cursor, first, owner, &value);
  });
  return value;
}

std::uint16_t TDataCursor::CopyBlobValues(const std::uint8_t* source, std::uint8_t* target) {
  for (const TFieldDescriptor& descriptor : descriptors_) {
    const TFieldDescriptor* field = BlobField(descriptor.FieldNo);
    if (field == nullptr) continue;
    std::vector<std::uint8_t> value;
    try {
      value = BlobValue(field->FieldNo, source);
    } catch (const ETabulaEngineError& error) {
      return error.ErrorCode();
    }
    SetSlot(target + field->FieldOffset, 0, 0);
    if (value.empty()) continue;
    std::uint32_t size = 0;
    if (const std::uint16_t code = OpenBlob(field->FieldNo, target, bmWrite, true, &size);
        code != 0) {
      return code;
    }
    // Written into the buffer directly: a copy is no change through this cursor.
    TBlobBuffer* buffer = SlotBuffer(*field, target);
    if (const std::uint16_t code = buffer->Write(0, value.size(), value.data()); code != 0) {
      return code;
    }
    SetOpenSlot(target + field->FieldOffset, *buffer);
  }
  return 0;
}

}  // namespace tabula
