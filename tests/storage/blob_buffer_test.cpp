#include "engine/storage/blob_buffer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/storage/blob_file.h"

namespace tabula {
namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Pattern(std::size_t length, std::uint8_t offset = 0) {
  TBytes v(length);
  for (std::size_t i = 0; i < length; ++i) v[i] = static_cast<std::uint8_t>(i % 251 + offset);
  return v;
}

TEST(BlobBufferTest, ReadsAtAndPastTheEndReturnTheRemainingBytes) {
  TBlobBuffer buffer(nullptr, 1, 0, 0, 1);
  const TBytes value = Pattern(1000);
  ASSERT_EQ(buffer.Write(0, value.size(), value.data()), 0);
  struct TCase {
    std::uint64_t offset, count, expect_read;
    std::uint16_t code;
  };
  const TCase cases[] = {
      {995, 10, 5, TABULA_ENDOFBLOB},
      {999, 2, 1, TABULA_ENDOFBLOB},
      {1000, 1, 0, TABULA_ENDOFBLOB},
      {5000, 3, 0, TABULA_ENDOFBLOB},
      {0, 1000, 1000, 0},
      {990, 10, 10, 0},
      {10, 0, 0, 0},
      {UINT64_MAX, 2, 0, TABULA_ENDOFBLOB},
      {2, UINT64_MAX, 998, TABULA_ENDOFBLOB},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " count " << c.count);
    TBytes out(1000, 0xEE);
    std::uint64_t read = 99;
    EXPECT_EQ(buffer.Read(c.offset, c.count, out.data(), &read), c.code);
    EXPECT_EQ(read, c.expect_read);
    for (std::uint64_t i = 0; i < read; ++i) ASSERT_EQ(out[i], value[c.offset + i]);
  }
}

TEST(BlobBufferTest, WritesGrowWithZerosAndTruncateSetsTheLength) {
  TBlobBuffer buffer(nullptr, 1, 0, 0, 1);
  EXPECT_FALSE(buffer.Modified());
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(buffer.Write(5, 3, abc), 0);
  EXPECT_EQ(buffer.Data(), (TBytes{0, 0, 0, 0, 0, 'a', 'b', 'c'}));
  EXPECT_TRUE(buffer.Modified());
  EXPECT_EQ(buffer.Truncate(6), 0);
  EXPECT_EQ(buffer.Data(), (TBytes{0, 0, 0, 0, 0, 'a'}));
  EXPECT_EQ(buffer.Truncate(7), 0);
  EXPECT_EQ(buffer.Data(), (TBytes{0, 0, 0, 0, 0, 'a', 0}));
  // A value longer than its 32-bit length field can say is refused, not wrapped.
  EXPECT_EQ(buffer.Write(kMaxBlobLength, 1, abc), TABULA_INVALIDBLOBLEN);
  EXPECT_EQ(buffer.Write(UINT64_MAX, 3, abc), TABULA_INVALIDBLOBLEN);
  EXPECT_EQ(buffer.Truncate(kMaxBlobLength + 1), TABULA_INVALIDBLOBLEN);
  EXPECT_EQ(buffer.Length(), 7u);
}

TEST(BlobBufferListTest, HoldsAtMost128BuffersAndNamesThemByNegativeSlots) {
  TBlobBufferList list;
  std::vector<std::int32_t> identities;
  for (std::size_t i = 0; i < kMaxOpenBlobs; ++i) {
    TBlobBuffer* added = nullptr;
    ASSERT_EQ(list.Add(std::make_unique<TBlobBuffer>(nullptr, 1, 0, 0, 1), &added), 0);
    identities.push_back(added->Identity());
  }
  TBlobBuffer* added = nullptr;
  EXPECT_EQ(list.Add(std::make_unique<TBlobBuffer>(nullptr, 1, 0, 0, 1), &added),
            TABULA_OPENBLOBLIMIT);
  EXPECT_EQ(list.Count(), kMaxOpenBlobs);

  const std::int32_t slot = TBlobBufferList::SlotForIdentity(identities[3]);
  EXPECT_LT(slot, 0);
  EXPECT_EQ(list.FindBySlot(slot), list.Find(identities[3]));
  EXPECT_EQ(list.FindBySlot(0), nullptr);        // an empty value
  EXPECT_EQ(list.FindBySlot(4), nullptr);        // a block number
  EXPECT_EQ(list.FindBySlot(-100000), nullptr);  // an identity of no buffer of this cursor
  EXPECT_EQ(list.FindBySlot(INT32_MIN), nullptr);

  // A closed buffer's identity is not handed out again.
  list.Remove(identities[3]);
  EXPECT_EQ(list.FindBySlot(slot), nullptr);
  ASSERT_EQ(list.Add(std::make_unique<TBlobBuffer>(nullptr, 1, 0, 0, 1), &added), 0);
  EXPECT_NE(added->Identity(), identities[3]);
}

TEST(BlobBufferListTest, ModifiedBuffersOfTwoRecordsCannotBePostedTogether) {
  TBlobBufferList list;
  TBlobBuffer* first = nullptr;
  TBlobBuffer* second = nullptr;
  ASSERT_EQ(list.Add(std::make_unique<TBlobBuffer>(nullptr, 1, 0, 0, 4), &first), 0);
  ASSERT_EQ(list.Add(std::make_unique<TBlobBuffer>(nullptr, 2, 0, 0, 5), &second), 0);
  EXPECT_EQ(list.CheckModifiedBelongTo(4), 0);  // nothing modified yet
  const std::uint8_t x = 1;
  first->Write(0, 1, &x);
  EXPECT_EQ(list.CheckModifiedBelongTo(4), 0);
  second->Write(0, 1, &x);
  EXPECT_EQ(list.CheckModifiedBelongTo(4), TABULA_MEMOCORRUPT);
}

class BlobBufferFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "blobbuffer_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
    file_.SetFileName(dir_ + "STAFF.BLB");
    file_.SetBlockSize(512);
    file_.CreateNew();
  }
  void TearDown() override {
    file_.Close();
    std::filesystem::remove_all(dir_);
  }
  std::string dir_;
  TBlobFile file_;
};

TEST_F(BlobBufferFileTest, PostedValueGetsANewOwnerAndTheOldOwnerNoLongerReadsIt) {
  const TBytes original = Pattern(1000);
  const std::int32_t first = file_.WriteValue(0, 0, 7, original.data(), original.size());

  // Changes that are never posted leave the stored value as it was.
  TBlobBuffer dropped(nullptr, 1, first, 7, 1);
  dropped.Load(file_, nullptr, /*keep_original=*/false);
  ASSERT_EQ(dropped.Truncate(10), 0);
  TBlobBuffer reread(nullptr, 1, first, 7, 1);
  reread.Load(file_, nullptr, false);
  EXPECT_EQ(reread.Data(), original);

  // Another writer posts a new version: the record image still naming owner 7 is out of date.
  TBlobBuffer writer(nullptr, 1, first, 7, 1);
  writer.Load(file_, nullptr, /*keep_original=*/true);
  const std::uint8_t tail[] = {1, 2, 3};
  ASSERT_EQ(writer.Write(1500, 3, tail), 0);
  EXPECT_EQ(writer.OriginalData(), original);
  EXPECT_EQ(writer.Post(file_, 8), first);
  EXPECT_EQ(writer.OwnerID(), 8);
  EXPECT_FALSE(writer.Modified());

  TBlobBuffer stale(nullptr, 1, first, 7, 1);
  try {
    stale.Load(file_, nullptr, false);
    ADD_FAILURE() << "the old owner still read the value";
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), TABULA_KEYORRECDELETED);
  }
  TBlobBuffer current(nullptr, 1, first, 8, 1);
  current.Load(file_, nullptr, false);
  ASSERT_EQ(current.Length(), 1503u);
  EXPECT_EQ(current.Data()[1499], 0);  // the gap reads as zeros
  EXPECT_EQ(current.Data()[1502], 3);

  // Emptied and posted: no chain, first block 0.
  ASSERT_EQ(current.Truncate(0), 0);
  EXPECT_EQ(current.Post(file_, 9), 0);
  EXPECT_EQ(file_.Header().FirstFreeBlock, first);
}

}  // namespace
}  // namespace tabula
