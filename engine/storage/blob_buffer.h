// The BLOB values a cursor has open: each is held whole in memory (TBlobBuffer) from its open
// until its last close or until the record is posted or the edit cancelled.
//
// While a buffer is open, the first-block slot of the field in the cursor's record buffer holds
// the buffer's identity as a negative number instead of a block number (see SlotForIdentity);
// the cursor keeps its buffers in a TBlobBufferList, which hands out the identities and holds at
// most 128 buffers.
//
// Operations return 0 or an engine code (TABULA_ENDOFBLOB, TABULA_OPENBLOBLIMIT,
// TABULA_INVALIDBLOBLEN) for the cursor to raise with its own context; reading a value from the
// BLOB file and writing it back raise as TBlobFile does.
//
// Thread-safety: belongs to one cursor; one thread at a time.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tabula {

class TBlobFile;
class TRecordCacheCursor;

// A cursor holds at most this many open BLOB buffers.
constexpr std::size_t kMaxOpenBlobs = 128;
// A value's length is stored in 32 signed bits.
constexpr std::uint64_t kMaxBlobLength = 0x7FFFFFFF;

class TBlobBuffer {
 public:
  // `cursor` (not owned) is the cursor that opens the value; it is only compared.
  TBlobBuffer(const void* cursor, std::uint16_t field_no, std::int32_t first_block,
              std::int32_t owner, std::int32_t record_no);

  const void* Cursor() const { return cursor_; }
  std::uint16_t FieldNo() const { return field_no_; }
  std::int32_t FirstBlock() const { return first_block_; }
  std::int32_t OwnerID() const { return owner_; }
  std::int32_t RecordNo() const { return record_no_; }
  std::int32_t Identity() const { return identity_; }
  bool Modified() const { return modified_; }
  std::int32_t OpenCount() const { return open_count_; }
  void AddOpen() { ++open_count_; }
  // Lowers the open count; true when it reached 0.
  bool ReleaseOpen() { return open_count_ > 0 ? --open_count_ == 0 : true; }
  bool FreeAtPost() const { return free_at_post_; }
  void SetFreeAtPost(bool value) { free_at_post_ = value; }

  std::size_t Length() const { return data_.size(); }
  const std::vector<std::uint8_t>& Data() const { return data_; }
  // The value as opened; kept only when asked for (fields with a text index).
  const std::vector<std::uint8_t>& OriginalData() const { return original_; }

  // Reads the value from `file` (first block and owner as given at construction); keeps a copy
  // as the original data when `keep_original`. Raises as TBlobFile::ReadValue.
  void Load(TBlobFile& file, TRecordCacheCursor* cursor, bool keep_original);
  // Copies up to `count` bytes from `offset` into `destination`; *read gets the number copied.
  // Returns TABULA_ENDOFBLOB when offset + count passes the end (with the bytes up to the end,
  // none when the offset is at or past it), else 0.
  std::uint16_t Read(std::uint64_t offset, std::uint64_t count, std::uint8_t* destination,
                     std::uint64_t* read) const;
  // Grows the value to offset + count when needed (new bytes zero), copies and marks it
  // modified. TABULA_INVALIDBLOBLEN when the value would pass kMaxBlobLength.
  std::uint16_t Write(std::uint64_t offset, std::uint64_t count, const std::uint8_t* source);
  // Sets the length (new bytes zero) and marks the value modified; TABULA_INVALIDBLOBLEN beyond
  // kMaxBlobLength.
  std::uint16_t Truncate(std::uint64_t length);
  // Writes the value into `file` over its old chain with the new owner `new_owner` and returns
  // the new first block (0 for an empty value); the buffer then describes the stored value.
  // Raises as TBlobFile::WriteValue.
  std::int32_t Post(TBlobFile& file, std::int32_t new_owner);

 private:
  friend class TBlobBufferList;

  const void* cursor_;  // not owned
  std::uint16_t field_no_;
  std::int32_t first_block_;
  std::int32_t owner_;
  std::int32_t record_no_;
  std::int32_t identity_ = 0;
  std::vector<std::uint8_t> data_;
  std::vector<std::uint8_t> original_;
  bool modified_ = false;
  std::int32_t open_count_ = 1;
  bool free_at_post_ = false;
};

// The open buffers of one cursor.
class TBlobBufferList {
 public:
  // The value a first-block slot holds for a buffer, and back. A slot value below 0 is an
  // identity; 0 and above are block numbers.
  static std::int32_t SlotForIdentity(std::int32_t identity) { return -identity; }
  static bool SlotHoldsIdentity(std::int32_t slot) { return slot < 0; }
  // The identity of a slot that holds one (0, which no buffer has, for the one negative value
  // without a positive counterpart).
  static std::int32_t IdentityForSlot(std::int32_t slot) { return slot == INT32_MIN ? 0 : -slot; }

  // Takes the buffer and gives it a fresh identity: TABULA_OPENBLOBLIMIT (and the buffer is
  // dropped) when 128 are open.
  std::uint16_t Add(std::unique_ptr<TBlobBuffer> buffer, TBlobBuffer** added);
  // The buffer with this identity, or null.
  TBlobBuffer* Find(std::int32_t identity) const;
  // The buffer a slot value names, or null (a block number, or an identity not in this list).
  TBlobBuffer* FindBySlot(std::int32_t slot) const;
  // Frees the buffer with this identity; nothing when unknown.
  void Remove(std::int32_t identity);
  void Clear() { buffers_.clear(); }
  std::size_t Count() const { return buffers_.size(); }
  const std::vector<std::unique_ptr<TBlobBuffer>>& Buffers() const { return buffers_; }
  // 0 when every modified buffer belongs to `record_no`, else TABULA_MEMOCORRUPT: one post
  // writes the values of one record only.
  std::uint16_t CheckModifiedBelongTo(std::int32_t record_no) const;

 private:
  std::vector<std::unique_ptr<TBlobBuffer>> buffers_;
  std::int32_t last_identity_ = 0;
};

}  // namespace tabula
