#include "engine/storage/blob_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform_test_util.h"
#include "engine/storage/data_file_format.h"

namespace tabula {
namespace {

using TBytes = std::vector<std::uint8_t>;

// A header by hand from the layout: change counter, version, free-chain head, next block,
// header-changed flag.
TBytes HeaderBytes(std::uint32_t change_count, std::uint8_t version, std::int32_t first_free,
                   std::int32_t next_block, std::uint8_t changed) {
  TBytes b(512, 0);
  EncodeFixed32(&b[0], change_count);
  b[8] = version;
  EncodeFixed32(&b[9], static_cast<std::uint32_t>(first_free));
  EncodeFixed32(&b[13], static_cast<std::uint32_t>(next_block));
  b[17] = changed;
  return b;
}

struct THandBlock {
  std::int32_t previous;
  std::int32_t next;
  std::uint16_t used;
  std::int32_t owner;
  std::int32_t length;
  std::uint8_t fill;  // the data bytes: fill, fill + 1, ... for `used` bytes
};

// A block by hand from the layout, in a file of `block_size`-byte blocks.
TBytes BlockBytes(const THandBlock& h, std::size_t block_size) {
  TBytes b(block_size, 0);
  EncodeFixed32(&b[0], static_cast<std::uint32_t>(h.previous));
  EncodeFixed32(&b[4], static_cast<std::uint32_t>(h.next));
  EncodeFixed16(&b[8], h.used);
  EncodeFixed32(&b[10], static_cast<std::uint32_t>(h.owner));
  EncodeFixed32(&b[14], static_cast<std::uint32_t>(h.length));
  for (std::size_t i = 0; i < h.used && 18 + i < block_size; ++i) {
    b[18 + i] = static_cast<std::uint8_t>(h.fill + i);
  }
  return b;
}

// The value whose bytes are i % 251.
TBytes Pattern(std::size_t length, std::uint8_t offset = 0) {
  TBytes v(length);
  for (std::size_t i = 0; i < length; ++i) v[i] = static_cast<std::uint8_t>(i % 251 + offset);
  return v;
}

// The three blocks of a 1000-byte value of owner 7 in 512-byte blocks: 494 + 494 + 12 bytes.
std::vector<THandBlock> ThousandByteChain() {
  return {{0, 2, 494, 7, 1000, 0}, {1, 3, 494, 7, 0, 0}, {2, 0, 12, 7, 0, 0}};
}

class BlobFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "blobfile_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path() const { return dir_ + "STAFF.BLB"; }
  TBytes FileBytes() const {
    std::ifstream in(Path(), std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), {});
  }
  void WriteFileBytes(const TBytes& bytes) const {
    std::ofstream out(Path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  // A header with next block = blocks + 1 followed by the blocks, each scrambled as two runs
  // (and the header as one) when `encrypted`.
  TBytes HandFile(const std::vector<THandBlock>& blocks, std::size_t block_size = 512,
                  bool encrypted = false, std::uint32_t change_count = 1,
                  std::int32_t first_free = 0) const {
    TBytes file =
        HeaderBytes(change_count, 5, first_free, static_cast<std::int32_t>(blocks.size()) + 1, 1);
    if (encrypted) ScrambleRun(file.data(), 512, kDataSeed);
    for (const THandBlock& h : blocks) {
      TBytes b = BlockBytes(h, block_size);
      if (encrypted) {
        ScrambleRun(b.data(), 18, kDataSeed);
        ScrambleRun(b.data() + 18, block_size - 18, kDataSeed);
      }
      file.insert(file.end(), b.begin(), b.end());
    }
    return file;
  }
  void OpenFile(TBlobFile& file, std::uint16_t block_size = 512, bool encrypted = false) {
    file.SetFileName(Path());
    file.SetBlockSize(block_size);
    file.SetEncrypted(encrypted);
    file.Open();
  }
  void CreateFile(TBlobFile& file, std::uint16_t block_size = 512, bool encrypted = false) {
    file.SetFileName(Path());
    file.SetBlockSize(block_size);
    file.SetEncrypted(encrypted);
    file.CreateNew();
  }
  static void Flush(TBlobFile& file) {
    file.WriteDirty();
    file.WriteHeader();
  }
  static std::uint16_t CodeOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const ETabulaEngineError& e) {
      return e.ErrorCode();
    }
    return 0;
  }

  std::string dir_;
};

TEST_F(BlobFileTest, NewFileHeaderIsWrittenByteForByteAndCountsEveryWrite) {
  TBlobFile file;
  CreateFile(file);
  EXPECT_TRUE(file.HeaderIsChanged());
  EXPECT_TRUE(file.WriteHeader());
  EXPECT_EQ(FileBytes(), HeaderBytes(1, 5, 0, 1, 1));
  EXPECT_FALSE(file.WriteHeader());  // unchanged: nothing written
  EXPECT_TRUE(file.WriteHeader(/*force=*/true));
  EXPECT_EQ(FileBytes(), HeaderBytes(2, 5, 0, 1, 0));
  file.TouchHeader();
  file.WriteHeader();
  EXPECT_EQ(FileBytes(), HeaderBytes(4, 5, 0, 1, 1));
}

TEST_F(BlobFileTest, HandWrittenThousandByteValueReadsAndOurWriterProducesTheSameBytes) {
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    const TBytes hand = HandFile(ThousandByteChain(), 512, encrypted);
    WriteFileBytes(hand);
    TBytes expected(1000);
    for (std::size_t i = 0; i < 1000; ++i) expected[i] = static_cast<std::uint8_t>(i % 494);
    {
      TBlobFile file;
      OpenFile(file, 512, encrypted);
      EXPECT_EQ(file.Header().NextBlock, 4);
      EXPECT_EQ(file.Header().ChangeCount, 1u);
      TBytes value;
      file.ReadValue(nullptr, 1, 7, &value);
      EXPECT_EQ(value, expected);
    }
    std::filesystem::remove(Path());
    {
      TBlobFile file;
      CreateFile(file, 512, encrypted);
      EXPECT_EQ(file.WriteValue(0, 0, 7, expected.data(), expected.size()), 1);
      Flush(file);
      EXPECT_EQ(FileBytes(), hand);
    }
  }
}

TEST_F(BlobFileTest, WrongVersionIsRefusedAndShortHeaderIsAReadError) {
  TBytes bytes = HeaderBytes(1, 4, 0, 1, 0);
  WriteFileBytes(bytes);
  TBlobFile file;
  EXPECT_EQ(CodeOf([&] { OpenFile(file); }), TABULA_OLDVERSION);
  EXPECT_FALSE(file.Opened());
  bytes.resize(100);
  WriteFileBytes(bytes);
  EXPECT_EQ(CodeOf([&] { OpenFile(file); }), TABULA_READERR);
}

TEST_F(BlobFileTest, ShorteningFreesTheTailAndTheNextValueReusesItFirst) {
  TBlobFile file;
  CreateFile(file);
  const TBytes thousand = Pattern(1000);
  ASSERT_EQ(file.WriteValue(0, 0, 7, thousand.data(), thousand.size()), 1);
  Flush(file);
  const TBytes hundred = Pattern(100, 3);
  ASSERT_EQ(file.WriteValue(1, 7, 8, hundred.data(), hundred.size()), 1);
  // Blocks 3 and then 2 were freed: 2 is the head and links to 3.
  EXPECT_EQ(file.Header().FirstFreeBlock, 2);
  Flush(file);
  TBytes bytes = FileBytes();
  ASSERT_EQ(bytes.size(), 512u + 3 * 512u);
  EXPECT_EQ(DecodeFixed32(&bytes[9]), 2u);
  EXPECT_EQ(DecodeFixed32(&bytes[512 + 4]), 0u);            // block 1 ends the chain
  EXPECT_EQ(DecodeFixed16(&bytes[512 + 8]), 100u);          // used
  EXPECT_EQ(DecodeFixed32(&bytes[512 + 14]), 100u);         // total length
  EXPECT_EQ(DecodeFixed32(&bytes[512 + 512 + 4]), 3u);      // free block 2 -> 3
  EXPECT_EQ(DecodeFixed32(&bytes[512 + 2 * 512 + 4]), 0u);  // free block 3 ends
  TBytes value;
  file.ReadValue(nullptr, 1, 8, &value);
  EXPECT_EQ(value, hundred);

  // A new 1200-byte value takes 2, then 3, then appends 4.
  const TBytes next = Pattern(1200, 9);
  EXPECT_EQ(file.WriteValue(0, 0, 9, next.data(), next.size()), 2);
  EXPECT_EQ(file.Header().FirstFreeBlock, 0);
  EXPECT_EQ(file.Header().NextBlock, 5);
  TBlock* second = file.GetBlock(nullptr, 2);
  EXPECT_EQ(second->Next(), 3);
  EXPECT_EQ(second->Length(), 1200);
  file.Unpin(second);
  TBlock* third = file.GetBlock(nullptr, 3);
  EXPECT_EQ(third->Previous(), 2);
  EXPECT_EQ(third->Next(), 4);
  EXPECT_EQ(third->Length(), 0);
  EXPECT_EQ(third->OwnerID(), 9);
  file.Unpin(third);
  file.ReadValue(nullptr, 2, 9, &value);
  EXPECT_EQ(value, next);
}

TEST_F(BlobFileTest, EmptyValueFreesTheChainAndStoresBlockZero) {
  TBlobFile file;
  CreateFile(file);
  const TBytes v = Pattern(600);
  ASSERT_EQ(file.WriteValue(0, 0, 1, v.data(), v.size()), 1);
  EXPECT_EQ(file.WriteValue(1, 1, 2, nullptr, 0), 0);
  EXPECT_EQ(file.Header().FirstFreeBlock, 1);  // the first block is freed last: it is the head
  TBlock* head = file.GetBlock(nullptr, 1);
  EXPECT_EQ(head->Next(), 2);
  file.Unpin(head);
  TBytes value = {1, 2, 3};
  file.ReadValue(nullptr, 0, 0, &value);
  EXPECT_TRUE(value.empty());
  // Growing a value grows its chain in place.
  EXPECT_EQ(file.WriteValue(0, 0, 3, v.data(), 10), 1);
  const TBytes big = Pattern(2000);
  EXPECT_EQ(file.WriteValue(1, 3, 4, big.data(), big.size()), 1);
  file.ReadValue(nullptr, 1, 4, &value);
  EXPECT_EQ(value, big);
  EXPECT_EQ(file.Header().NextBlock, 6);
}

TEST_F(BlobFileTest, ReadAheadFetchesExactlyTheBlocksTheValueNeeds) {
  {
    TBlobFile file;
    CreateFile(file);
    const TBytes a = Pattern(20 * 494);
    const TBytes b = Pattern(5 * 494, 1);
    ASSERT_EQ(file.WriteValue(0, 0, 1, a.data(), a.size()), 1);
    ASSERT_EQ(file.WriteValue(0, 0, 2, b.data(), b.size()), 21);
    Flush(file);
  }
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  TBlobFile file;
  OpenFile(file);
  platform.ResetCounts();
  TBytes value;
  file.ReadValue(nullptr, 1, 1, &value);
  EXPECT_EQ(value, Pattern(20 * 494));
  // The first block alone (its length is not known before), then the 19 others in one read,
  // and nothing of the value behind it.
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kRead), 2u);
  EXPECT_EQ(platform.BytesRead(), 20u * 512u);
  // A value longer than the read-ahead block (16384 / 512 = 32 blocks) is read 32 at a time.
  EXPECT_EQ(file.ReadAheadBlocks(), 32);
}

TEST_F(BlobFileTest, DirtyBlocksAreWrittenInRunsOfConsecutiveNumbers) {
  TBlobFile file;
  CreateFile(file);
  const TBytes three = Pattern(3 * 494);
  const TBytes one = Pattern(10);
  ASSERT_EQ(file.WriteValue(0, 0, 1, three.data(), three.size()), 1);  // blocks 1-3
  ASSERT_EQ(file.WriteValue(0, 0, 2, one.data(), one.size()), 4);
  ASSERT_EQ(file.WriteValue(0, 0, 3, one.data(), one.size()), 5);
  TInstrumentedPlatform platform;
  TScopedPlatform installed(&platform);
  platform.ResetCounts();
  EXPECT_TRUE(file.WriteDirty());
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kWrite), 1u);  // blocks 1 to 5 in one run
  EXPECT_FALSE(file.WriteDirty());
  const TBytes changed = Pattern(3 * 494, 5);
  ASSERT_EQ(file.WriteValue(1, 1, 4, changed.data(), changed.size()), 1);
  ASSERT_EQ(file.WriteValue(5, 3, 5, one.data(), 5), 5);
  platform.ResetCounts();
  EXPECT_TRUE(file.WriteDirty());
  EXPECT_EQ(platform.Count(TInstrumentedPlatform::kWrite), 2u);  // 1-3, then 5
  EXPECT_EQ(platform.BytesWritten(), 4u * 512u);
}

TEST_F(BlobFileTest, ValueOfSeveralMegabytesRoundTripsThroughASmallCache) {
  TBytes big(3 * 1024 * 1024 + 77);
  std::mt19937 random(42);
  for (auto& byte : big) byte = static_cast<std::uint8_t>(random());
  std::int32_t first = 0;
  {
    TBlobFile file;
    CreateFile(file);
    first = file.WriteValue(0, 0, 11, big.data(), big.size());
    EXPECT_LE(file.CachedCount(), static_cast<std::size_t>(file.Capacity()));
    Flush(file);
  }
  EXPECT_EQ(FileBytes().size(), 512u + 512u * ((big.size() + 493) / 494));
  TBlobFile file;
  OpenFile(file);
  TBytes value;
  file.ReadValue(nullptr, first, 11, &value);
  EXPECT_TRUE(value == big);
  file.AssertInvariants();
}

// A table that is inside a transaction (or not) and remembers that it was modified.
class TransactionOwner : public TBlobFileOwner {
 public:
  void TableModified() override { modified = true; }
  bool TableWasModified() const override { return modified; }
  bool HoldsTransactionLock() const override { return in_transaction; }
  bool modified = false;
  bool in_transaction = true;
};

// Inside a transaction a value larger than the block cache spills its blocks to the shadow
// instead of writing them or growing the cache; it reads back whole while the transaction runs;
// the commit writes it, a rollback leaves the file as it was.
TEST_F(BlobFileTest, TransactionSpillsBlocksTheCommitWritesThemAndARollbackDropsThem) {
  TBytes big(600 * 1024 + 77);
  std::mt19937 random(7);
  for (auto& byte : big) byte = static_cast<std::uint8_t>(random());
  for (const bool encrypted : {false, true}) {
    for (const bool commit : {true, false}) {
      SCOPED_TRACE(std::string(encrypted ? "encrypted " : "plain ") +
                   (commit ? "commit" : "rollback"));
      std::filesystem::remove(Path());
      {
        TBlobFile created;
        CreateFile(created, 512, encrypted);
        Flush(created);
      }
      const TBytes before = FileBytes();
      TransactionOwner owner;
      TBlobFile file;
      file.SetOwner(&owner);
      OpenFile(file, 512, encrypted);
      const std::int32_t limit = file.CacheLimit();
      const std::int32_t first = file.WriteValue(0, 0, 11, big.data(), big.size());
      file.TouchHeader();
      EXPECT_GT(file.SpilledBlocks(), 0);
      EXPECT_EQ(file.Capacity(), limit);
      EXPECT_EQ(FileBytes(), before);
      TBytes value;
      file.ReadValue(nullptr, first, 11, &value);
      EXPECT_TRUE(value == big);
      EXPECT_EQ(FileBytes(), before);
      file.AssertInvariants();

      owner.in_transaction = false;
      if (commit) {
        Flush(file);
      } else {
        file.DiscardAll();
        file.ReadHeader();
      }
      EXPECT_EQ(file.SpilledBlocks(), 0);
      file.Close();
      if (!commit) {
        EXPECT_EQ(FileBytes(), before);
        continue;
      }
      TBlobFile reader;
      OpenFile(reader, 512, encrypted);
      value.clear();
      reader.ReadValue(nullptr, first, 11, &value);
      EXPECT_TRUE(value == big);
    }
  }
}

TEST_F(BlobFileTest, AppendsStopAtTheFileLimit) {
  // Block 7812499 of 512 bytes ends exactly at offset 4000000000; the next would pass it.
  WriteFileBytes(HeaderBytes(1, 5, 0, 7812499, 0));
  TBlobFile file;
  OpenFile(file);
  TBlock* last = file.AllocateBlock();
  EXPECT_EQ(last->BlockNo(), 7812499);
  file.Unpin(last);
  EXPECT_EQ(CodeOf([&] { file.AllocateBlock(); }), TABULA_TABLEFULL);
  file.DiscardAll();  // never write the far block
}

TEST_F(BlobFileTest, AnotherHandlerSeesTheHeaderChangeThroughTheCounter) {
  TBlobFile writer;
  CreateFile(writer);  // exclusively
  writer.WriteHeader();
  writer.Close();
  writer.Open();
  TBlobFile reader;
  OpenFile(reader);
  EXPECT_FALSE(reader.HeaderChanged());
  const TBytes v = Pattern(50);
  writer.WriteValue(0, 0, 1, v.data(), v.size());
  Flush(writer);
  EXPECT_TRUE(reader.HeaderChanged());
  EXPECT_EQ(reader.Header().NextBlock, 2);
}

TEST_F(BlobFileTest, EmptyFileCutsAfterTheHeader) {
  TBlobFile file;
  CreateFile(file);
  const TBytes v = Pattern(1000);
  file.WriteValue(0, 0, 1, v.data(), v.size());
  Flush(file);
  file.EmptyFile();
  EXPECT_EQ(file.Header().NextBlock, 1);
  EXPECT_EQ(file.CachedCount(), 0u);
  file.WriteHeader();
  // The counter goes on counting, so that other processes see the change.
  EXPECT_EQ(FileBytes(), HeaderBytes(2, 5, 0, 1, 1));
}

// ---- Damaged chains ----

struct TBadChain {
  const char* name;
  std::vector<THandBlock> blocks;
  std::int32_t first;
  std::int32_t owner;
  std::uint16_t read_code;
  std::uint16_t free_code;  // FreeChain without tolerance
};

std::vector<TBadChain> BadChains() {
  return {
      {"loop back to the first block",
       {{0, 2, 494, 7, 2000, 0}, {1, 1, 494, 7, 0, 0}, {}, {}, {}},
       1,
       7,
       TABULA_MEMOCORRUPT,
       TABULA_MEMOCORRUPT},
      {"block linked to itself, nothing used",
       {{0, 1, 0, 7, 400, 0}},
       1,
       7,
       TABULA_MEMOCORRUPT,
       TABULA_MEMOCORRUPT},
      {"next link beyond the file",
       {{0, 9, 494, 7, 900, 0}, {}},
       1,
       7,
       TABULA_MEMOCORRUPT,
       TABULA_MEMOCORRUPT},
      {"negative next link",
       {{0, -3, 494, 7, 900, 0}, {}},
       1,
       7,
       TABULA_MEMOCORRUPT,
       TABULA_MEMOCORRUPT},
      {"first block beyond the file",
       {{0, 0, 10, 7, 10, 0}},
       5,
       7,
       TABULA_MEMOCORRUPT,
       TABULA_MEMOCORRUPT},
      {"first block of another owner",
       {{0, 0, 10, 8, 10, 0}},
       1,
       7,
       TABULA_KEYORRECDELETED,
       TABULA_MEMOCORRUPT},
      {"later block of another owner",
       {{0, 2, 494, 7, 600, 0}, {1, 0, 106, 8, 0, 0}},
       1,
       7,
       TABULA_MEMOCORRUPT,
       TABULA_MEMOCORRUPT},
      {"used count larger than the data area",
       {{0, 0, 600, 7, 600, 0}, {}},
       1,
       7,
       TABULA_MEMOCORRUPT,
       0},
      {"total length no chain in this file can hold",
       {{0, 0, 494, 7, 1000000000, 0}},
       1,
       7,
       TABULA_MEMOCORRUPT,
       0},
      {"negative total length", {{0, 0, 494, 7, -5, 0}}, 1, 7, TABULA_MEMOCORRUPT, 0},
      {"chain ends before its total length",
       {{0, 0, 494, 7, 900, 0}, {}},
       1,
       7,
       TABULA_ENDOFBLOB,
       0},
  };
}

TEST_F(BlobFileTest, DamagedChainsAreReportedNeverFollowedOutOfBounds) {
  for (const TBadChain& row : BadChains()) {
    SCOPED_TRACE(row.name);
    WriteFileBytes(HandFile(row.blocks));
    TBlobFile file;
    OpenFile(file);
    TBytes value;
    EXPECT_EQ(CodeOf([&] { file.ReadValue(nullptr, row.first, row.owner, &value); }),
              row.read_code);
    // The check a delete makes first walks the chain as FreeChain does.
    EXPECT_EQ(CodeOf([&] { file.CheckChain(row.first, row.owner); }), row.free_code);
    EXPECT_EQ(CodeOf([&] { file.FreeChain(row.first, row.owner, false); }), row.free_code);
    if (row.free_code != 0) {
      // Nothing was freed from a chain that failed its check.
      EXPECT_EQ(file.Header().FirstFreeBlock, 0);
    }
    // Rewriting over a damaged chain is refused the same way (a short value that ends in the
    // first block needs no more of the chain).
    const TBytes v = Pattern(3000);
    if (row.free_code != 0 && row.read_code == TABULA_MEMOCORRUPT) {
      EXPECT_EQ(CodeOf([&] { file.WriteValue(row.first, row.owner, 99, v.data(), v.size()); }),
                TABULA_MEMOCORRUPT);
    }
    for (std::int32_t n = 1; n <= file.BlockCount(); ++n) {
      if (TBlock* b = file.Find(n)) {
        EXPECT_EQ(b->PinCount(), 0) << "block " << n;
      }
    }
    file.AssertInvariants();
    file.Close();
  }
}

TEST_F(BlobFileTest, ToleratingFreeChainStampsTheOwnerAndStopsAtAForeignBlock) {
  WriteFileBytes(HandFile({{0, 2, 494, 8, 600, 0}, {1, 3, 106, 8, 0, 0}, {0, 0, 5, 9, 5, 0}}));
  TBlobFile file;
  OpenFile(file);
  file.FreeChain(1, 7, /*tolerate=*/true);
  EXPECT_EQ(file.Header().FirstFreeBlock, 1);
  TBlock* head = file.GetBlock(nullptr, 1);
  EXPECT_EQ(head->Next(), 0);  // the free chain was empty
  EXPECT_EQ(head->OwnerID(), 7);
  file.Unpin(head);
  // Block 2 is of the old owner 8, not 7: the walk stops before it when tolerating.
  TBlock* second = file.GetBlock(nullptr, 2);
  EXPECT_EQ(second->Next(), 3);
  file.Unpin(second);
}

TEST_F(BlobFileTest, BlockRejectsMoreDataThanItHolds) {
  TBlobFile file;
  CreateFile(file, 64);
  TBlock* block = file.AllocateBlock();
  const TBytes v = Pattern(47);
  EXPECT_EQ(CodeOf([&] { block->SetData(v.data(), 47); }), TABULA_INVALIDBLOBLEN);
  block->SetData(v.data(), 46);
  EXPECT_EQ(block->Used(), 46);
  file.Unpin(block);
}

}  // namespace
}  // namespace tabula
