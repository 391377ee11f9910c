#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/index/btree.h"
#include "engine/index/collation.h"
#include "engine/index/keys.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_file_format.h"
#include "engine/storage/data_session.h"
#include "engine/storage/data_table.h"
#include "tests/storage/storage_test_util.h"

namespace tabula {
namespace {

namespace fs = std::filesystem;
using TBytes = std::vector<std::uint8_t>;

// The fields of the test table: Id integer (primary index), Notes memo, Photo graphic.
constexpr std::uint16_t kId = 1;
constexpr std::uint16_t kNotes = 2;
constexpr std::uint16_t kPhoto = 3;
constexpr auto kWrite = TDataCursor::bmWrite;

TBytes FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TBytes Pattern(std::size_t length, std::uint8_t offset = 0) {
  TBytes v(length);
  for (std::size_t i = 0; i < length; ++i) v[i] = static_cast<std::uint8_t>(i % 251 + offset);
  return v;
}

TBytes Text(const std::string& text) { return TBytes(text.begin(), text.end()); }

TFieldDescriptor Field(const std::string& name, std::uint8_t type, std::uint8_t subtype = 0) {
  TFieldDescriptor field;
  field.FieldName = name;
  field.FieldType = type;
  field.FieldSubType = subtype;
  return field;
}

TTableDefinition NotesDefinition() {
  TTableDefinition definition;
  definition.Fields = {Field("Id", fldInteger), Field("Notes", fldBlob, fldstMemo),
                       Field("Photo", fldBlob, fldstGraphic)};
  TIndexDefinition primary;
  primary.FieldNumbers = {1};
  primary.FieldDescending = {false};
  definition.Indexes = {primary};
  definition.BlobBlockSize = 512;
  return definition;
}

// A BLOB field's area in a record: null flag, first block, owner.
struct TSlot {
  std::uint8_t flag;
  std::int32_t first;
  std::int32_t owner;
  bool operator==(const TSlot&) const = default;
};

class DataCursorBlobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tabula_blobcur_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    session_ = std::make_unique<TDataSession>();
    db_ = session_->OpenDatabase("", dir_.string());
    TDataCursor creator(*db_);
    creator.SetTableName("Notes");
    creator.CreateTable(NotesDefinition());
  }
  void TearDown() override {
    session_.reset();
    fs::remove_all(dir_);
  }

  std::unique_ptr<TDataCursor> Open(TDataDirectory& db, bool exclusive = false) {
    auto cursor = std::make_unique<TDataCursor>(db);
    cursor->SetTableName("Notes");
    cursor->SetExclusive(exclusive);
    cursor->Open();
    return cursor;
  }

  // A new record image with the given Id and, when not empty, Notes and Photo values.
  TBytes Image(TDataCursor& cursor, std::int32_t id, const TBytes& notes = {},
               const TBytes& photo = {}) {
    TBytes image(static_cast<std::size_t>(cursor.RecordSize()));
    cursor.InitRecord(image.data());
    std::uint8_t value[4];
    EncodeFixed32(value, static_cast<std::uint32_t>(id));
    cursor.SetField(kId, image.data(), value, 4);
    for (const auto& [field, bytes] : {std::pair{kNotes, &notes}, std::pair{kPhoto, &photo}}) {
      if (bytes->empty()) continue;
      std::uint32_t size = 99;
      EXPECT_EQ(cursor.OpenBlob(field, image.data(), kWrite, true, &size), 0);
      EXPECT_EQ(size, 0u);
      EXPECT_EQ(cursor.PutBlob(field, image.data(), 0, static_cast<std::uint32_t>(bytes->size()),
                               bytes->data()),
                0);
    }
    return image;
  }

  // Inserts a record and returns the image as posted (its BLOB slots hold block numbers).
  TBytes Insert(TDataCursor& cursor, std::int32_t id, const TBytes& notes = {},
                const TBytes& photo = {}) {
    TBytes image = Image(cursor, id, notes, photo);
    cursor.PostInsert(image.data(), true);
    return image;
  }

  static TSlot SlotOf(TDataCursor& cursor, const TBytes& image, std::uint16_t field_no) {
    const std::uint8_t* area = image.data() + cursor.GetDescriptor(field_no).FieldOffset;
    return {area[0], static_cast<std::int32_t>(DecodeFixed32(area + 1)),
            static_cast<std::int32_t>(DecodeFixed32(area + 5))};
  }

  // The stored image of physical record `record_no`.
  static TBytes Stored(TDataCursor& cursor, std::int32_t record_no) {
    TDataFile& data = cursor.Table()->DataFile();
    TRecord* record =
        data.Cache()->GetRecord(nullptr, record_no, false, TReadDirection::kForward, false);
    TBytes image(record->Image(), record->Image() + cursor.RecordSize());
    data.Cache()->Unpin(record);
    return image;
  }

  // Opens the value of `field_no` in `image`, reads all of it and closes it again.
  static TBytes ReadValue(TDataCursor& cursor, TBytes& image, std::uint16_t field_no) {
    std::uint32_t size = 0;
    const std::uint16_t code = cursor.OpenBlob(field_no, image.data(), kWrite, false, &size);
    if (code != 0) RaiseTableError(code, "Notes");
    TBytes value(size);
    std::uint32_t read = 0;
    EXPECT_EQ(cursor.GetBlob(field_no, image.data(), 0, size, value.data(), &read), 0);
    EXPECT_EQ(read, size);
    EXPECT_EQ(cursor.FreeBlob(field_no, image.data()), 0);
    return value;
  }

  // Moves to the record with Id `id` and returns its image, fetched for an edit.
  static TBytes Edit(TDataCursor& cursor, std::int32_t id) {
    TBytes image(static_cast<std::size_t>(cursor.RecordSize()));
    cursor.SetToBegin();
    while (cursor.GetNextRecord(image.data()) == 0) {
      std::uint8_t value[4];
      cursor.GetField(kId, image.data(), value);
      if (static_cast<std::int32_t>(DecodeFixed32(value)) != id) continue;
      EXPECT_EQ(cursor.FetchCurrent(image.data(), true), 0);
      return image;
    }
    ADD_FAILURE() << "no record " << id;
    return image;
  }

  // Rewrites the Notes value of record 1 (Id 1) in another process with an edit; returns the
  // value's new owner.
  static std::int64_t RewriteInAnotherProcess(const fs::path& dir, const std::string& text) {
    return RunInChild([&] {
      TDataSession session;
      TDataDirectory* db = session.OpenDatabase("", dir.string());
      TDataCursor other(*db);
      other.SetTableName("Notes");
      other.Open();
      TBytes image = Edit(other, 1);
      std::uint32_t size = 0;
      if (other.OpenBlob(kNotes, image.data(), kWrite, false, &size) != 0) return std::int64_t{-5};
      other.TruncateBlob(kNotes, image.data(), 0);
      other.PutBlob(kNotes, image.data(), 0, static_cast<std::uint32_t>(text.size()),
                    reinterpret_cast<const std::uint8_t*>(text.data()));
      other.PostEdit(image.data(), true, false);
      return std::int64_t{SlotOf(other, image, kNotes).owner};
    });
  }

  // The blocks of the free chain, head first.
  static std::vector<std::int32_t> FreeChain(TDataCursor& cursor) {
    TBlobFile& file = cursor.Table()->BlobFile();
    std::vector<std::int32_t> chain;
    for (std::int32_t n = file.Header().FirstFreeBlock; n != 0 && chain.size() < 100;) {
      chain.push_back(n);
      TBlock* block = file.GetBlock(nullptr, n);
      n = block->Next();
      file.Unpin(block);
    }
    return chain;
  }

  fs::path dir_;
  std::unique_ptr<TDataSession> session_;
  TDataDirectory* db_ = nullptr;
};

TEST_F(DataCursorBlobTest, ThousandBytesTakeThreeBlocksAndTheRecordHoldsFirstBlockAndOwner) {
  auto cursor = Open(*db_);
  const TBytes value = Pattern(1000);
  TBytes image = Image(*cursor, 1, value);
  // While open, the slot names the buffer and the null flag says "not empty".
  const TSlot open = SlotOf(*cursor, image, kNotes);
  EXPECT_EQ(open.flag, 1);
  EXPECT_LT(open.first, 0);
  std::uint32_t size = 0;
  EXPECT_EQ(cursor->GetBlobSize(kNotes, image.data(), &size), 0);
  EXPECT_EQ(size, 1000u);

  cursor->PostInsert(image.data(), true);
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
  EXPECT_EQ(SlotOf(*cursor, image, kNotes), (TSlot{1, 1, 1}));
  EXPECT_EQ(SlotOf(*cursor, Stored(*cursor, 1), kNotes), (TSlot{1, 1, 1}));
  // Never opened, so empty: null, first block 0.
  EXPECT_EQ(SlotOf(*cursor, Stored(*cursor, 1), kPhoto), (TSlot{0, 0, 0}));
  EXPECT_EQ(cursor->Table()->DataFile().Header().LastBlobID, 1);

  // The BLOB file after the post, by the layout: three blocks of 512 bytes after the header;
  // previous, next, used, owner and total length (in the first block only).
  const TBytes bytes = FileBytes(dir_ / "Notes.BLB");
  ASSERT_EQ(bytes.size(), 512u + 3 * 512);
  struct TExpected {
    std::uint32_t previous, next;
    std::uint16_t used;
    std::uint32_t owner, length;
  };
  const TExpected blocks[] = {{0, 2, 494, 1, 1000}, {1, 3, 494, 1, 0}, {2, 0, 12, 1, 0}};
  std::size_t at = 0;
  for (int b = 0; b < 3; ++b) {
    const std::uint8_t* block = bytes.data() + 512 + 512 * b;
    SCOPED_TRACE(b + 1);
    EXPECT_EQ(DecodeFixed32(block + 0), blocks[b].previous);
    EXPECT_EQ(DecodeFixed32(block + 4), blocks[b].next);
    EXPECT_EQ(DecodeFixed16(block + 8), blocks[b].used);
    EXPECT_EQ(DecodeFixed32(block + 10), blocks[b].owner);
    EXPECT_EQ(DecodeFixed32(block + 14), blocks[b].length);
    EXPECT_TRUE(std::equal(block + 18, block + 18 + blocks[b].used, value.begin() + at));
    at += blocks[b].used;
  }

  // Reads at and past the end of the value.
  TBytes stored = Stored(*cursor, 1);
  ASSERT_EQ(cursor->OpenBlob(kNotes, stored.data(), TDataCursor::bmRead, false, &size), 0);
  EXPECT_EQ(size, 1000u);
  struct TRead {
    std::uint32_t offset, count, read;
    std::uint16_t code;
  };
  for (const TRead& r : {TRead{0, 1000, 1000, 0}, TRead{995, 10, 5, TABULA_ENDOFBLOB},
                         TRead{999, 2, 1, TABULA_ENDOFBLOB}, TRead{1000, 1, 0, TABULA_ENDOFBLOB},
                         TRead{5000, 3, 0, TABULA_ENDOFBLOB}}) {
    SCOPED_TRACE(r.offset);
    TBytes out(r.count, 0xEE);
    std::uint32_t read = 99;
    EXPECT_EQ(cursor->GetBlob(kNotes, stored.data(), r.offset, r.count, out.data(), &read), r.code);
    ASSERT_EQ(read, r.read);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + read, value.begin() + r.offset));
  }
}

TEST_F(DataCursorBlobTest, EmptyValueIsNullAndStoresNoBlock) {
  auto cursor = Open(*db_);
  TBytes image = Image(*cursor, 1, Text("soon gone"));
  EXPECT_EQ(cursor->TruncateBlob(kNotes, image.data(), 0), 0);
  EXPECT_EQ(SlotOf(*cursor, image, kNotes).flag, 0);
  cursor->PostInsert(image.data(), true);
  const TSlot slot = SlotOf(*cursor, Stored(*cursor, 1), kNotes);
  EXPECT_EQ(slot.flag, 0);
  EXPECT_EQ(slot.first, 0);
  EXPECT_EQ(cursor->Table()->BlobFile().Header().NextBlock, 1);
  TBytes stored = Stored(*cursor, 1);
  EXPECT_TRUE(ReadValue(*cursor, stored, kNotes).empty());
}

TEST_F(DataCursorBlobTest, ClosingAnUnpostedWriteLeavesTheStoredValue) {
  auto cursor = Open(*db_);
  Insert(*cursor, 1, Text("stored"));
  TBytes image = Stored(*cursor, 1);
  const TSlot before = SlotOf(*cursor, image, kNotes);
  std::uint32_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(kNotes, image.data(), kWrite, false, &size), 0);
  ASSERT_EQ(cursor->PutBlob(kNotes, image.data(), 3, 9, Text("rewritten").data()), 0);
  ASSERT_EQ(cursor->GetBlobSize(kNotes, image.data(), &size), 0);
  EXPECT_EQ(size, 12u);
  ASSERT_EQ(cursor->FreeBlob(kNotes, image.data()), 0);
  EXPECT_EQ(SlotOf(*cursor, image, kNotes), before);
  EXPECT_EQ(ReadValue(*cursor, image, kNotes), Text("stored"));
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
}

TEST_F(DataCursorBlobTest, OperationsRefuseWhatIsNotOneOfTheCursorsValues) {
  auto cursor = Open(*db_);
  Insert(*cursor, 1, Text("abc"));
  TBytes image = Stored(*cursor, 1);
  std::uint32_t size = 0;
  std::uint8_t out[4];
  // Not a BLOB field.
  for (std::uint16_t field : {kId, std::uint16_t{0}, std::uint16_t{4}}) {
    SCOPED_TRACE(field);
    EXPECT_EQ(cursor->OpenBlob(field, image.data(), kWrite, false, &size), TABULA_NOTABLOB);
    EXPECT_EQ(cursor->GetBlobSize(field, image.data(), &size), TABULA_NOTABLOB);
  }
  // A slot with a block number names no buffer.
  EXPECT_EQ(cursor->GetBlob(kNotes, image.data(), 0, 1, out, &size), TABULA_INVALIDBLOBHANDLE);
  EXPECT_EQ(cursor->PutBlob(kNotes, image.data(), 0, 1, out), TABULA_INVALIDBLOBHANDLE);
  EXPECT_EQ(cursor->TruncateBlob(kNotes, image.data(), 0), TABULA_INVALIDBLOBHANDLE);
  EXPECT_EQ(cursor->GetBlobSize(kNotes, image.data(), &size), TABULA_INVALIDBLOBHANDLE);
  EXPECT_EQ(cursor->FreeBlob(kNotes, image.data()), TABULA_INVALIDBLOBHANDLE);

  // Opened twice, closed twice: the first close keeps the buffer.
  ASSERT_EQ(cursor->OpenBlob(kNotes, image.data(), kWrite, false, &size), 0);
  ASSERT_EQ(cursor->OpenBlob(kNotes, image.data(), kWrite, false, &size), 0);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(cursor->OpenBlobCount(), 1u);
  // The same identity in another field's slot names nothing there.
  TBytes crossed = image;
  std::memcpy(crossed.data() + cursor->GetDescriptor(kPhoto).FieldOffset + 1,
              image.data() + cursor->GetDescriptor(kNotes).FieldOffset + 1, 4);
  EXPECT_EQ(cursor->GetBlobSize(kPhoto, crossed.data(), &size), TABULA_INVALIDBLOBHANDLE);
  EXPECT_EQ(cursor->FreeBlob(kNotes, image.data()), 0);
  EXPECT_EQ(cursor->GetBlobSize(kNotes, image.data(), &size), 0);
  EXPECT_EQ(cursor->FreeBlob(kNotes, image.data()), 0);
  EXPECT_EQ(cursor->GetBlobSize(kNotes, image.data(), &size), TABULA_INVALIDBLOBHANDLE);

  // An identity that this cursor never handed out (or another cursor's).
  TBytes foreign = image;
  EncodeFixed32(foreign.data() + cursor->GetDescriptor(kNotes).FieldOffset + 1,
                static_cast<std::uint32_t>(-4711));
  EXPECT_EQ(cursor->OpenBlob(kNotes, foreign.data(), kWrite, false, &size),
            TABULA_INVALIDBLOBOFFSET);
  auto other = Open(*db_);
  TBytes theirs = Stored(*other, 1);
  ASSERT_EQ(other->OpenBlob(kNotes, theirs.data(), kWrite, false, &size), 0);
  EXPECT_EQ(cursor->OpenBlob(kNotes, theirs.data(), kWrite, false, &size),
            TABULA_INVALIDBLOBOFFSET);
  EXPECT_EQ(cursor->GetBlob(kNotes, theirs.data(), 0, 1, out, &size), TABULA_INVALIDBLOBHANDLE);

  // At most 128 values open at once.
  std::vector<TBytes> images(129, Stored(*cursor, 1));
  for (int i = 0; i < 128; ++i) {
    ASSERT_EQ(cursor->OpenBlob(kNotes, images[i].data(), kWrite, false, &size), 0) << i;
  }
  EXPECT_EQ(cursor->OpenBlob(kNotes, images[128].data(), kWrite, false, &size),
            TABULA_OPENBLOBLIMIT);
  EXPECT_EQ(SlotOf(*cursor, images[128], kNotes), SlotOf(*cursor, Stored(*cursor, 1), kNotes));
  ASSERT_EQ(cursor->FreeBlob(kNotes, images[0].data()), 0);
  EXPECT_EQ(cursor->OpenBlob(kNotes, images[128].data(), kWrite, false, &size), 0);
  // Closing the cursor frees them all.
  cursor->Close();
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
}

TEST_F(DataCursorBlobTest, ShorteningFreesTheTailAndTheNextValueReusesIt) {
  auto cursor = Open(*db_);
  Insert(*cursor, 1, Pattern(1000));
  TBytes image = Edit(*cursor, 1);
  std::uint32_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(kNotes, image.data(), kWrite, false, &size), 0);
  ASSERT_EQ(cursor->TruncateBlob(kNotes, image.data(), 100), 0);
  cursor->PostEdit(image.data(), true, false);
  EXPECT_EQ(SlotOf(*cursor, Stored(*cursor, 1), kNotes), (TSlot{1, 1, 2}));
  // Block 3 was freed first, then block 2: the most recently freed is the head.
  EXPECT_EQ(FreeChain(*cursor), (std::vector<std::int32_t>{2, 3}));
  TBytes stored = Stored(*cursor, 1);
  EXPECT_EQ(ReadValue(*cursor, stored, kNotes), Pattern(100));

  // The next value takes the freed blocks, head first, and the file does not grow.
  Insert(*cursor, 2, Pattern(600, 1));
  EXPECT_EQ(SlotOf(*cursor, Stored(*cursor, 2), kNotes).first, 2);
  EXPECT_TRUE(FreeChain(*cursor).empty());
  TBlobFile& file = cursor->Table()->BlobFile();
  EXPECT_EQ(file.Header().NextBlock, 4);
  TBlock* block = file.GetBlock(nullptr, 2);
  EXPECT_EQ(block->Next(), 3);
  file.Unpin(block);
  stored = Stored(*cursor, 2);
  EXPECT_EQ(ReadValue(*cursor, stored, kNotes), Pattern(600, 1));
}

TEST_F(DataCursorBlobTest, EditsAndDeletesFreeTheChainsTheRecordNoLongerHolds) {
  auto cursor = Open(*db_);
  Insert(*cursor, 1, Pattern(600), Pattern(20));  // Notes in blocks 1-2, Photo in block 3
  // A value set to null by a field write (never opened) gives its chain back.
  TBytes image = Edit(*cursor, 1);
  cursor->SetField(kNotes, image.data(), nullptr, 0);
  cursor->PostEdit(image.data(), true, false);
  EXPECT_EQ(SlotOf(*cursor, Stored(*cursor, 1), kNotes).first, 0);
  EXPECT_EQ(SlotOf(*cursor, Stored(*cursor, 1), kPhoto).first, 3);
  EXPECT_EQ(FreeChain(*cursor), (std::vector<std::int32_t>{1, 2}));

  // An edit that is cancelled drops what was written into the value.
  image = Edit(*cursor, 1);
  std::uint32_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(kPhoto, image.data(), kWrite, false, &size), 0);
  ASSERT_EQ(cursor->PutBlob(kPhoto, image.data(), 0, 4, Text("gone").data()), 0);
  cursor->CancelEdit();
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);

  // Deleting the record frees the rest; its stored slots are cleared.
  image = Edit(*cursor, 1);
  cursor->CancelEdit();
  cursor->DeleteCurrent(image.data(), false);
  EXPECT_EQ(FreeChain(*cursor), (std::vector<std::int32_t>{3, 1, 2}));
  EXPECT_EQ(SlotOf(*cursor, Stored(*cursor, 1), kPhoto), (TSlot{0, 0, 0}));
}

TEST_F(DataCursorBlobTest, DeleteOfARecordWithADamagedChainChangesNothing) {
  auto cursor = Open(*db_);
  Insert(*cursor, 1, Pattern(1000));
  cursor->Close();
  {
    // Block 2 of the value claims another owner.
    std::fstream file(dir_ / "Notes.BLB", std::ios::in | std::ios::out | std::ios::binary);
    std::uint8_t owner[4];
    EncodeFixed32(owner, 77);
    file.seekp(512 + 512 + 10);
    file.write(reinterpret_cast<const char*>(owner), 4);
  }
  const TBytes data_before = FileBytes(dir_ / "Notes.DAT");
  const TBytes index_before = FileBytes(dir_ / "Notes.IDX");
  // Exclusive: a change that failed half-way would not be dropped from the caches, so the
  // chains must be checked before the first change.
  cursor = Open(*db_, /*exclusive=*/true);
  TBytes image = Edit(*cursor, 1);
  cursor->CancelEdit();
  EXPECT_EQ(ErrorOf([&] { cursor->DeleteCurrent(image.data(), false); }), TABULA_MEMOCORRUPT);
  cursor->Close();
  EXPECT_EQ(FileBytes(dir_ / "Notes.DAT"), data_before);
  EXPECT_EQ(FileBytes(dir_ / "Notes.IDX"), index_before);
}

TEST_F(DataCursorBlobTest, ChangedValuesOfTwoRecordsCannotBePostedTogether) {
  auto cursor = Open(*db_);
  Insert(*cursor, 1, Text("one"));
  TBytes first = Stored(*cursor, 1);
  std::uint32_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(kNotes, first.data(), kWrite, false, &size), 0);
  ASSERT_EQ(cursor->PutBlob(kNotes, first.data(), 0, 3, Text("ONE").data()), 0);
  TBytes image = Image(*cursor, 2, Text("two"));
  const TBytes file_before = FileBytes(dir_ / "Notes.DAT");
  EXPECT_EQ(ErrorOf([&] { cursor->PostInsert(image.data(), false); }), TABULA_MEMOCORRUPT);
  EXPECT_EQ(cursor->Table()->DataFile().PhysicalRecordCount(), 1);
  EXPECT_EQ(FileBytes(dir_ / "Notes.DAT"), file_before);
  // A slot that names a buffer this cursor no longer has is refused before any change.
  ASSERT_EQ(cursor->FreeBlob(kNotes, first.data()), 0);
  ASSERT_EQ(cursor->FreeBlob(kNotes, image.data()), 0);
  ASSERT_EQ(cursor->OpenBlob(kNotes, image.data(), kWrite, false, &size), 0);
  TBytes stale = image;
  ASSERT_EQ(cursor->FreeBlob(kNotes, image.data()), 0);
  EXPECT_EQ(ErrorOf([&] { cursor->PostInsert(stale.data(), false); }), TABULA_INVALIDBLOBHANDLE);
  EXPECT_EQ(cursor->Table()->DataFile().PhysicalRecordCount(), 1);
}

TEST_F(DataCursorBlobTest, ValueOfSeveralMegabytesRoundTrips) {
  const TBytes big = Pattern(5 * 1024 * 1024 + 17, 3);
  const TBytes photo = Pattern(70000, 9);
  {
    auto cursor = Open(*db_);
    Insert(*cursor, 1, big, photo);
  }
  auto cursor = Open(*db_);
  TBytes image = Stored(*cursor, 1);
  EXPECT_EQ(ReadValue(*cursor, image, kNotes), big);
  EXPECT_EQ(ReadValue(*cursor, image, kPhoto), photo);
  const std::int64_t blocks = (static_cast<std::int64_t>(big.size()) + 493) / 494 +
                              (static_cast<std::int64_t>(photo.size()) + 493) / 494;
  EXPECT_EQ(cursor->Table()->BlobFile().BlockCount(), blocks);
}

TEST_F(DataCursorBlobTest, CopyOfTheCurrentRecordGetsChainsOfItsOwn) {
  auto cursor = Open(*db_);
  const TBytes notes = Pattern(1200);
  Insert(*cursor, 1, notes, Text("photo"));
  cursor->SetToBegin();
  ASSERT_EQ(cursor->GetNextRecord(nullptr), 0);
  TBytes copy(static_cast<std::size_t>(cursor->RecordSize()));
  ASSERT_EQ(cursor->CopyCurrentRecord(copy.data()), 0);
  EXPECT_EQ(cursor->OpenBlobCount(), 2u);
  std::uint8_t id[4];
  EncodeFixed32(id, 2);
  cursor->SetField(kId, copy.data(), id, 4);
  cursor->PostInsert(copy.data(), false);
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
  const TSlot original = SlotOf(*cursor, Stored(*cursor, 1), kNotes);
  const TSlot copied = SlotOf(*cursor, Stored(*cursor, 2), kNotes);
  EXPECT_NE(copied.first, original.first);
  EXPECT_NE(copied.owner, original.owner);
  TBytes second = Stored(*cursor, 2);
  EXPECT_EQ(ReadValue(*cursor, second, kNotes), notes);
  EXPECT_EQ(ReadValue(*cursor, second, kPhoto), Text("photo"));
}

TEST_F(DataCursorBlobTest, ChainThatLoopsBackIsReportedWhenOpened) {
  auto cursor = Open(*db_);
  Insert(*cursor, 1, Pattern(1000));
  cursor->Close();
  // Block 2's next link points back to block 1.
  {
    std::fstream file(dir_ / "Notes.BLB", std::ios::in | std::ios::out | std::ios::binary);
    std::uint8_t link[4];
    EncodeFixed32(link, 1);
    file.seekp(512 + 512 + 4);
    file.write(reinterpret_cast<const char*>(link), 4);
  }
  cursor = Open(*db_);
  TBytes image = Stored(*cursor, 1);
  std::uint32_t size = 0;
  EXPECT_EQ(cursor->OpenBlob(kNotes, image.data(), kWrite, false, &size), TABULA_MEMOCORRUPT);
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
  EXPECT_GT(SlotOf(*cursor, image, kNotes).first, 0);
}

TEST_F(DataCursorBlobTest, AnotherProcessesRewriteMakesTheOldImageFail) {
  {
    auto writer = Open(*db_);
    Insert(*writer, 1, Text("first version"));
  }
  auto cursor = Open(*db_);
  TBytes old_image = Stored(*cursor, 1);
  ASSERT_EQ(RewriteInAnotherProcess(dir_, "second version"), 2);
  // Nothing of the value is cached: the read goes to the disk, which checks for changes first.
  std::uint32_t size = 0;
  EXPECT_EQ(cursor->OpenBlob(kNotes, old_image.data(), kWrite, false, &size),
            TABULA_KEYORRECDELETED);
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
  // The record as it is now reads the new version.
  TBytes now = Stored(*cursor, 1);
  EXPECT_EQ(ReadValue(*cursor, now, kNotes), Text("second version"));

  // The value is cached now. With strict change detection every read checks first.
  ASSERT_EQ(RewriteInAnotherProcess(dir_, "third"), 3);
  session_->SetStrictChangeDetection(true);
  EXPECT_EQ(cursor->OpenBlob(kNotes, now.data(), kWrite, false, &size), TABULA_KEYORRECDELETED);
  now = Stored(*cursor, 1);
  EXPECT_EQ(ReadValue(*cursor, now, kNotes), Text("third"));
  EXPECT_FALSE(cursor->Table()->Locks().ReadLockHeld());
}

TEST_F(DataCursorBlobTest, TextIndexHoldsTheWordsOfAMemo) {
  // The "Sys Text" descriptor (slot 32 at 14 + 32 * 120) indexes the Notes field: field count
  // at offset 37, first field number at offset 54.
  {
    constexpr std::size_t kSlot32 = 14 + 32 * 120;
    std::fstream file(dir_ / "Notes.IDX", std::ios::in | std::ios::out | std::ios::binary);
    const char count = 1;
    file.seekp(kSlot32 + 37);
    file.write(&count, 1);
    const char number[2] = {static_cast<char>(kNotes), 0};
    file.seekp(kSlot32 + 54);
    file.write(number, 2);
  }
  auto cursor = Open(*db_);
  EXPECT_TRUE(cursor->FieldHasTextIndex(kNotes));
  EXPECT_FALSE(cursor->FieldHasTextIndex(kPhoto));
  // A long memo: its words lie in several blocks.
  std::string text(1500, ' ');
  text.replace(10, 5, "alpha");
  text.replace(700, 5, "bravo");
  text.replace(1490, 7, "charlie");
  Insert(*cursor, 1, Text(text.substr(0, 1497)));
  Insert(*cursor, 2, Text("Bravo delta"));

  TDataTable& table = *cursor->Table();
  TKeyIndexDef definition;
  ASSERT_EQ(MakeKeyIndexDef(table.IndexFile().Header().Descriptors[kSysTextSlot], kSysTextSlot,
                            table.DataFile().Descriptors(), &definition),
            0);
  TIndexKeys keys(definition, *FindCollation(0, 0));
  TIndexKeysComparator comparator(keys);
  struct TWord {
    const char* word;
    std::int32_t record;
  };
  // Every key of the text index is one of `words`.
  const auto expect_words = [&](const std::vector<TWord>& words) {
    TBTree tree = table.IndexFile().Tree(kSysTextSlot, comparator);
    std::uint64_t count = 0;
    EXPECT_EQ(tree.CheckTree(&count), "");
    EXPECT_EQ(count, words.size());
    for (const TWord& w : words) {
      SCOPED_TRACE(w.word);
      std::vector<std::uint8_t> key(kTextKeyLength);
      keys.BuildTextKey(kNotes, w.word, w.record, key.data());
      TTreePosition at;
      bool found = false;
      tree.Seek(key.data(), key.size(), &at, &found);
      EXPECT_TRUE(at.Valid() && found);
    }
  };
  expect_words({{"ALPHA", 1}, {"bravo", 1}, {"Charlie", 1}, {"bravo", 2}, {"delta", 2}});

  // An edit replaces the words of the old value by those of the new one.
  TBytes image = Edit(*cursor, 2);
  std::uint32_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(kNotes, image.data(), kWrite, false, &size), 0);
  ASSERT_EQ(cursor->TruncateBlob(kNotes, image.data(), 0), 0);
  ASSERT_EQ(cursor->PutBlob(kNotes, image.data(), 0, 10, Text("echo bravo").data()), 0);
  cursor->PostEdit(image.data(), true, false);
  expect_words({{"ALPHA", 1}, {"bravo", 1}, {"Charlie", 1}, {"bravo", 2}, {"echo", 2}});

  // A delete takes the record's words away.
  image = Edit(*cursor, 1);
  cursor->CancelEdit();
  cursor->DeleteCurrent(image.data(), false);
  expect_words({{"bravo", 2}, {"echo", 2}});
}

}  // namespace
}  // namespace tabula
