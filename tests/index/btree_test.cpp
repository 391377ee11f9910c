// The B-tree against a std::multimap model, its split and free-page behaviour, searches,
// ordinals, and damaged trees.
#include "engine/index/btree.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/index/keys.h"
#include "tests/index/memory_page_store.h"

// Counts heap allocations through the sanitizer's allocator hooks, so a test can show that a
// code path makes none. Without AddressSanitizer the counting test is skipped.
#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             std::size_t),
                                                         void (*free_hook)(const volatile void*));
#define TABULA_COUNTS_ALLOCATIONS 1
#endif
static std::atomic<std::uint64_t> g_allocations{0};

namespace tabula {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Model = std::multimap<Bytes, std::uint32_t>;

TPageFormat Format(std::uint16_t key_length, std::uint8_t compression, bool unique = true) {
  TPageFormat f;
  f.KeyLength = key_length;
  f.Compression = compression;
  f.Unique = unique;
  return f;
}

Bytes BigEndianKey(std::uint32_t n, std::uint16_t key_length) {
  Bytes key(key_length, 0);
  for (int i = 0; i < 4 && i < key_length; ++i)
    key[i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
  return key;
}

// Walks the tree forward and backward and compares with the model, ordinals included.
void ExpectSameOrder(TBTree& tree, const Model& model) {
  TTreePosition at;
  ASSERT_TRUE(tree.First(&at));
  std::uint32_t ordinal = 0;
  for (const auto& [key, value] : model) {
    ++ordinal;
    ASSERT_TRUE(at.Valid()) << "tree ends early at " << ordinal;
    ASSERT_EQ(at.Key, key) << "at ordinal " << ordinal;
    ASSERT_EQ(at.Value, value) << "at ordinal " << ordinal;
    ASSERT_EQ(at.Ordinal, ordinal);
    bool moved;
    ASSERT_TRUE(tree.Next(&at, &moved));
    if (ordinal == model.size()) {
      ASSERT_FALSE(moved);
    }
  }
  if (model.empty()) {
    ASSERT_FALSE(at.Valid());
  }
  ASSERT_TRUE(tree.Last(&at));
  for (auto it = model.rbegin(); it != model.rend(); ++it) {
    ASSERT_TRUE(at.Valid());
    ASSERT_EQ(at.Key, it->first);
    ASSERT_EQ(at.Ordinal, ordinal);
    --ordinal;
    bool moved;
    ASSERT_TRUE(tree.Prior(&at, &moved));
    if (ordinal == 0) {
      ASSERT_FALSE(moved);
    }
  }
}

struct TRandomCase {
  const char* name;
  TPageFormat format;
  std::uint32_t key_domain;  // keys drawn from 0 .. domain - 1: small domains give duplicates
};

// Many thousands of inserts and deletes in random order against a multimap; after every batch
// the tree's invariants (fill bounds, subtree counts, first keys, links) and its order hold.
TEST(BTreeTest, RandomInsertsAndDeletesMatchAMultimap) {
  const TRandomCase cases[] = {
      {"20-byte keys, no compression", Format(20, icNone), 100000},
      {"200-byte keys, deep tree", Format(200, icNone), 5000},
      {"DUPBYTE with duplicates", Format(8, icDupByte), 300},
      {"TRAILBYTE non-unique", Format(12, icTrailByte, false), 100000},
      {"FULL, long zero tails", Format(64, icFull), 2000},
  };
  for (const TRandomCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 rng(4242);
    TMemoryPageStore store(c.format);
    const TBytewiseKeyComparator cmp;
    TBTree tree(store, 1, cmp);
    Model model;
    std::vector<std::pair<Bytes, std::uint32_t>> live;
    std::uint32_t next_value = 1;
    for (int batch = 0; batch < 20; ++batch) {
      // Batches lean towards growth first, then towards shrinking to empty.
      const unsigned insert_percent = batch < 10 ? 70 : 30;
      for (int op = 0; op < 300; ++op) {
        if (live.empty() || rng() % 100 < insert_percent) {
          Bytes key = BigEndianKey(rng() % c.key_domain, c.format.KeyLength);
          const std::uint32_t value = next_value++;
          tree.Insert(key.data(), value);
          model.emplace(key, value);
          live.emplace_back(std::move(key), value);
        } else {
          const std::size_t i = rng() % live.size();
          const auto [key, value] = live[i];
          ASSERT_TRUE(tree.Remove(key.data(), value));
          auto range = model.equal_range(key);
          for (auto it = range.first; it != range.second; ++it) {
            if (it->second == value) {
              model.erase(it);
              break;
            }
          }
          live[i] = live.back();
          live.pop_back();
        }
      }
      std::uint64_t count = 0;
      ASSERT_EQ(tree.CheckTree(&count), "") << "after batch " << batch;
      ASSERT_EQ(count, model.size());
      ASSERT_TRUE(store.AllUnpinned());
      std::uint64_t root_count = 0;
      ASSERT_TRUE(tree.KeyCount(&root_count));
      ASSERT_EQ(root_count, model.size());
      if (batch % 5 == 4) ExpectSameOrder(tree, model);
      // Lower bounds and ordinals of a few random keys.
      for (int probe = 0; probe < 20 && !model.empty(); ++probe) {
        const Bytes key = BigEndianKey(rng() % c.key_domain, c.format.KeyLength);
        TTreePosition at;
        bool found;
        ASSERT_TRUE(tree.Seek(key.data(), key.size(), &at, &found));
        const auto it = model.lower_bound(key);
        if (it == model.end()) {
          ASSERT_FALSE(at.Valid());
        } else {
          ASSERT_TRUE(at.Valid());
          ASSERT_EQ(at.Key, it->first);
          ASSERT_EQ(at.Ordinal, std::distance(model.begin(), it) + 1);
          ASSERT_EQ(found, it->first == key);
        }
        ASSERT_EQ(tree.Contains(key.data()), model.count(key) > 0);
        const std::uint32_t ordinal = 1 + rng() % model.size();
        ASSERT_TRUE(tree.SeekOrdinal(ordinal, &at));
        ASSERT_TRUE(at.Valid());
        ASSERT_EQ(at.Key, std::next(model.begin(), ordinal - 1)->first);
      }
    }
    // Removing everything leaves an empty tree with every page on the free chain.
    for (const auto& [key, value] : live) ASSERT_TRUE(tree.Remove(key.data(), value));
    EXPECT_EQ(store.RootPage(1), 0u);
    EXPECT_EQ(store.FreePageCount(), store.PagesInFile());
    const Bytes missing = BigEndianKey(1, c.format.KeyLength);
    EXPECT_FALSE(tree.Remove(missing.data(), 1));
  }
}

// The uniqueness check of an insert leaves the key's place in a hint; the insert follows it.
// Between the two, other keys go in and out (splits, merges, freed and reused pages, a new
// root), so that many hints no longer hold: every insert must still land where a search puts
// it, and the hint is used up.
TEST(BTreeTest, InsertsFollowTheirChecksHintOnlyWhileItHolds) {
  const TRandomCase cases[] = {
      {"20-byte keys, no compression", Format(20, icNone), 40000},
      {"200-byte keys, deep tree", Format(200, icNone), 40000},
      {"DUPBYTE", Format(8, icDupByte), 40000},
      {"FULL, long zero tails", Format(64, icFull), 40000},
  };
  for (const TRandomCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 rng(777);
    TMemoryPageStore store(c.format);
    const TBytewiseKeyComparator cmp;
    TBTree tree(store, 1, cmp);
    Model model;
    std::vector<std::pair<Bytes, std::uint32_t>> live;
    std::uint32_t next_value = 1;
    auto insert_plain = [&](const Bytes& key) {
      if (model.count(key) > 0) return;
      tree.Insert(key.data(), next_value);
      model.emplace(key, next_value);
      live.emplace_back(key, next_value++);
    };
    int hints = 0;
    for (int batch = 0; batch < 12; ++batch) {
      // Growing first (ascending runs and random keys), then shrinking.
      const unsigned remove_percent = batch < 8 ? 10 : 60;
      for (int op = 0; op < 250; ++op) {
        const std::uint32_t n =
            op % 3 == 0 ? (batch * 250 + op) * 13 % c.key_domain : rng() % c.key_domain;
        const Bytes key = BigEndianKey(n, c.format.KeyLength);
        TInsertHint hint;
        hint.Depth = 1;  // whatever the hint held before, the check sets or clears it
        const bool exists = tree.Contains(key.data(), &hint);
        ASSERT_EQ(exists, model.count(key) > 0);
        if (exists) {
          ASSERT_EQ(hint.Depth, 0);
          continue;
        }
        if (hint.Depth > 0) ++hints;
        // What other work does to the tree between the check and the insert.
        for (int other = static_cast<int>(rng() % 4); other > 0; --other) {
          if (!live.empty() && rng() % 100 < remove_percent) {
            const std::size_t i = rng() % live.size();
            ASSERT_TRUE(tree.Remove(live[i].first.data(), live[i].second));
            model.erase(live[i].first);
            live[i] = live.back();
            live.pop_back();
          } else {
            // A neighbour on either side, so that the place of `key` moves.
            const std::uint32_t step = 1 + rng() % 40;
            const std::uint32_t m = rng() % 2 == 0 ? n + step : (n >= step ? n - step : n + step);
            insert_plain(BigEndianKey(m, c.format.KeyLength));
          }
        }
        tree.Insert(key.data(), next_value, &hint);
        EXPECT_EQ(hint.Depth, 0);
        model.emplace(key, next_value);
        live.emplace_back(key, next_value++);
        ASSERT_TRUE(store.AllUnpinned());
      }
      std::uint64_t count = 0;
      ASSERT_EQ(tree.CheckTree(&count), "") << "after batch " << batch;
      ASSERT_EQ(count, model.size());
      if (batch % 4 == 3) ExpectSameOrder(tree, model);
    }
    EXPECT_GT(hints, 1000);
  }
}

// A byte-order comparison that counts its calls and that the page searches cannot see through.
class TCountingComparator final : public TKeyComparator {
 public:
  int CompareKeys(const std::uint8_t* stored, const std::uint8_t* search,
                  std::size_t n) const override {
    ++calls;
    return std::memcmp(stored, search, n);
  }
  mutable std::uint64_t calls = 0;
};

// A hint that holds spares the insert its search: one fetch per level and no more than the two
// comparisons with the neighbours of the place, in the middle of a leaf and at either end of
// the index.
TEST(BTreeTest, AHintThatHoldsSparesTheInsertsSearch) {
  TMemoryPageStore store(Format(100, icNone));
  const TCountingComparator cmp;
  TBTree tree(store, 1, cmp);
  for (std::uint32_t i = 1; i <= 3000; ++i) {
    const Bytes key = BigEndianKey(2 * i, 100);
    tree.Insert(key.data(), i);
  }
  int depth = 1;
  for (std::uint32_t p = store.RootPage(1); !store.Page(p).IsLeaf(); p = store.Page(p).Value(1)) {
    ++depth;
  }
  ASSERT_GE(depth, 3);
  const struct {
    const char* name;
    std::uint32_t key;
    std::uint64_t compares;
  } rows[] = {{"middle of a leaf", 2 * 1234 + 1, 2},
              {"after the last key", 2 * 3000 + 7, 1},
              {"before the first key", 1, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes key = BigEndianKey(row.key, 100);
    TInsertHint hint;
    ASSERT_FALSE(tree.Contains(key.data(), &hint));
    ASSERT_EQ(hint.Depth, depth);
    const std::uint64_t fetches = store.Fetches();
    const std::uint64_t compares = cmp.calls;
    tree.Insert(key.data(), 9000 + row.key, &hint);
    EXPECT_EQ(store.Fetches() - fetches, static_cast<std::uint64_t>(depth));
    EXPECT_EQ(cmp.calls - compares, row.compares);
    EXPECT_EQ(hint.Depth, 0);
    ASSERT_EQ(tree.CheckTree(), "");
  }
  // A key already there leaves no hint.
  const Bytes present = BigEndianKey(2 * 77, 100);
  TInsertHint hint;
  ASSERT_TRUE(tree.Contains(present.data(), &hint));
  EXPECT_EQ(hint.Depth, 0);
}

TEST(BTreeTest, FirstKeyCreatesARootLeafAndTheLeafSplitsInHalves) {
  // A 20-byte unique key without compression: 170 entries per leaf.
  const TPageFormat format = Format(20, icNone);
  ASSERT_EQ(format.MaxLeafEntries(), 170);
  TMemoryPageStore store(format);
  const TBytewiseKeyComparator cmp;
  TBTree tree(store, 1, cmp);
  Bytes key = BigEndianKey(0, 20);
  tree.Insert(key.data(), 1);
  EXPECT_EQ(store.RootPage(1), 1u);
  EXPECT_EQ(store.Page(1).PageType(), ptRootLeaf);
  for (std::uint32_t i = 1; i < 171; ++i) {
    key = BigEndianKey(i, 20);
    tree.Insert(key.data(), i + 1);
  }
  EXPECT_EQ(store.PagesInFile(), 3u);
  EXPECT_EQ(store.RootPage(1), 3u);
  TPage& root = store.Page(3);
  EXPECT_EQ(root.PageType(), ptRootInterior);
  ASSERT_EQ(root.Count(), 2);
  EXPECT_EQ(root.Value(1), 1u);
  EXPECT_EQ(root.Value(2), 2u);
  EXPECT_EQ(root.SubtreeCount(1), 86u);
  EXPECT_EQ(root.SubtreeCount(2), 85u);
  EXPECT_EQ(store.Page(1).PageType(), ptLeaf);
  EXPECT_EQ(store.Page(1).NextPage(), 2u);
  EXPECT_EQ(store.Page(2).PrevPage(), 1u);
  EXPECT_EQ(Bytes(root.Key(2), root.Key(2) + 20), BigEndianKey(86, 20));
  EXPECT_EQ(tree.CheckTree(), "");
}

TEST(BTreeTest, FreedPagesAreReusedBeforeTheFileGrows) {
  TMemoryPageStore store(Format(40, icNone));
  const TBytewiseKeyComparator cmp;
  TBTree tree(store, 1, cmp);
  for (std::uint32_t i = 0; i < 2000; ++i) {
    const Bytes key = BigEndianKey(i * 7919 % 2000, 40);
    tree.Insert(key.data(), i);
  }
  const std::uint32_t pages = store.PagesInFile();
  for (std::uint32_t i = 0; i < 2000; ++i) {
    const Bytes key = BigEndianKey(i * 7919 % 2000, 40);
    ASSERT_TRUE(tree.Remove(key.data(), i));
  }
  EXPECT_EQ(store.FreePageCount(), pages);
  // The same inserts again need as many pages, and all of them come from the free chain.
  for (std::uint32_t i = 0; i < 2000; ++i) {
    const Bytes key = BigEndianKey(i * 7919 % 2000, 40);
    tree.Insert(key.data(), i);
  }
  EXPECT_EQ(store.PagesInFile(), pages);
  EXPECT_EQ(store.FreePageCount(), 0u);
  EXPECT_EQ(tree.CheckTree(), "");
}

TEST(BTreeTest, SearchesForExactNearestAndPartialKeys) {
  TMemoryPageStore store(Format(6, icFull, false));
  const TBytewiseKeyComparator cmp;
  TBTree tree(store, 1, cmp);
  // Keys: a 2-byte field value, then a 4-byte record-ID suffix; 3000 keys over many leaves.
  for (std::uint32_t i = 0; i < 3000; ++i) {
    Bytes key = {static_cast<std::uint8_t>(i / 30), static_cast<std::uint8_t>(i % 3), 0, 0, 0, 0};
    key[2] = static_cast<std::uint8_t>(i >> 8);
    key[5] = static_cast<std::uint8_t>(i);
    tree.Insert(key.data(), i);
  }
  ASSERT_EQ(tree.CheckTree(), "");
  TTreePosition at;
  bool found;
  // Partial key: the first key whose first byte is 50.
  const Bytes prefix = {50};
  ASSERT_TRUE(tree.Seek(prefix.data(), 1, &at, &found));
  EXPECT_TRUE(found);
  EXPECT_EQ(at.Key[0], 50);
  EXPECT_EQ(at.Ordinal, 50u * 30 + 1);
  // Nearest: a key between keys lands on the next one and is not found.
  const Bytes between = {50, 2, 0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_TRUE(tree.Seek(between.data(), 6, &at, &found));
  EXPECT_FALSE(found);
  EXPECT_EQ(at.Key[0], 51);
  // Above every key: no position; the last key not above it is the last key.
  const Bytes above(6, 0xFF);
  ASSERT_TRUE(tree.Seek(above.data(), 6, &at, &found));
  EXPECT_FALSE(at.Valid());
  ASSERT_TRUE(tree.SeekLast(above.data(), 6, &at));
  EXPECT_EQ(at.Ordinal, 3000u);
  // Below every key: SeekLast finds nothing; the range end of prefix 50 is its last key.
  const Bytes lowest = {0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(tree.Remove(lowest.data(), 0));
  ASSERT_TRUE(tree.SeekLast(lowest.data(), 6, &at));
  EXPECT_FALSE(at.Valid());
  ASSERT_TRUE(tree.SeekLast(prefix.data(), 1, &at));
  EXPECT_EQ(at.Key[0], 50);
  EXPECT_EQ(at.Ordinal, 51u * 30 - 1);  // one key fewer before it now
}

TEST(BTreeTest, ScanLeavesVisitsAKeyRange) {
  TMemoryPageStore store(Format(8, icDupByte));
  const TBytewiseKeyComparator cmp;
  TBTree tree(store, 1, cmp);
  for (std::uint32_t i = 0; i < 5000; ++i) {
    const Bytes key = BigEndianKey(i, 8);
    tree.Insert(key.data(), i);
  }
  const Bytes low = BigEndianKey(1000, 8);
  const Bytes high = BigEndianKey(3999, 8);
  TTreePosition at;
  bool found;
  ASSERT_TRUE(tree.Seek(low.data(), 8, &at, &found));
  std::vector<std::uint32_t> seen;
  auto collect = [&](const std::uint8_t*, std::uint32_t value) {
    seen.push_back(value);
    return true;
  };
  // Bounded by the end key: 1000 .. 3999 across many leaves.
  ASSERT_TRUE(tree.ScanLeaves(at, high.data(), 8, UINT64_MAX, collect));
  ASSERT_EQ(seen.size(), 3000u);
  EXPECT_EQ(seen.front(), 1000u);
  EXPECT_EQ(seen.back(), 3999u);
  // Bounded by a count, and by the last key.
  seen.clear();
  ASSERT_TRUE(tree.ScanLeaves(at, nullptr, 0, 17, collect));
  EXPECT_EQ(seen.size(), 17u);
  seen.clear();
  ASSERT_TRUE(tree.ScanLeaves(at, nullptr, 0, UINT64_MAX, collect));
  EXPECT_EQ(seen.size(), 4000u);
  // A leaf chain that runs back to an earlier leaf is reported, not followed forever.
  TTreePosition last;
  ASSERT_TRUE(tree.Last(&last));
  TTreePosition first;
  ASSERT_TRUE(tree.First(&first));
  store.Page(last.Page).SetNextPage(first.Page);
  try {
    tree.ScanLeaves(at, nullptr, 0, UINT64_MAX, collect);
    ADD_FAILURE() << "no error";
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), TABULA_INDEXCORRUPT);
  }
}

TEST(BTreeTest, LookupFetchesOnePagePerLevel) {
  TMemoryPageStore store(Format(100, icNone));
  const TBytewiseKeyComparator cmp;
  TBTree tree(store, 1, cmp);
  for (std::uint32_t i = 0; i < 5000; ++i) {
    const Bytes key = BigEndianKey(i, 100);
    tree.Insert(key.data(), i);
  }
  int depth = 1;
  for (std::uint32_t p = store.RootPage(1); !store.Page(p).IsLeaf(); p = store.Page(p).Value(1)) {
    ++depth;
  }
  ASSERT_GE(depth, 3);
  // One fetch per level; a key that opens its leaf is met in the parent as the next child's
  // first key, so the lower-bound search ends one leaf early and takes one step right.
  for (std::uint32_t i = 0; i < 5000; i += 37) {
    const Bytes key = BigEndianKey(i, 100);
    const std::uint64_t before = store.Fetches();
    TTreePosition at;
    bool found;
    ASSERT_TRUE(tree.Seek(key.data(), key.size(), &at, &found));
    ASSERT_TRUE(found);
    const int extra = (at.Entry == 1 && i != 0) ? 1 : 0;
    EXPECT_EQ(store.Fetches() - before, static_cast<std::uint64_t>(depth + extra)) << i;
  }
}

TEST(BTreeTest, SearchesAndStepsAllocateNothing) {
#if defined(TABULA_COUNTS_ALLOCATIONS)
  static const bool installed =
      __sanitizer_install_malloc_and_free_hooks(
          [](const volatile void*, std::size_t) { g_allocations.fetch_add(1); },
          [](const volatile void*) {}) != 0;
  ASSERT_TRUE(installed);
#else
  GTEST_SKIP() << "allocations are counted through the sanitizer";
#endif
  TMemoryPageStore store(Format(24, icFull, false));
  const TBytewiseKeyComparator cmp;
  TBTree tree(store, 1, cmp);
  for (std::uint32_t i = 0; i < 4000; ++i) {
    const Bytes key = BigEndianKey(i * 2654435761u, 24);
    tree.Insert(key.data(), i);
  }
  std::vector<Bytes> probes;
  for (std::uint32_t i = 0; i < 200; ++i) probes.push_back(BigEndianKey(i * 977u, 24));
  TTreePosition at;
  bool found;
  bool moved;
  ASSERT_TRUE(tree.First(&at));  // the position's key buffer is allocated once
  const std::uint64_t before = g_allocations.load();
  for (const Bytes& key : probes) {
    ASSERT_TRUE(tree.Seek(key.data(), key.size(), &at, &found));
    ASSERT_TRUE(tree.Next(&at, &moved));
    ASSERT_TRUE(tree.Prior(&at, &moved));
    ASSERT_TRUE(tree.SeekLast(key.data(), key.size(), &at));
    tree.Contains(key.data());
  }
  ASSERT_TRUE(tree.SeekOrdinal(1234, &at));
  EXPECT_EQ(g_allocations.load() - before, 0u);
  // The counter does see allocations.
  auto probe = std::make_unique<TTreePosition>();
  EXPECT_GT(g_allocations.load() - before, 0u);
}

TEST(BTreeTest, StepsSurviveChangesUnderThePosition) {
  TMemoryPageStore store(Format(4, icNone));
  const TBytewiseKeyComparator cmp;
  TBTree tree(store, 1, cmp);
  for (std::uint32_t i = 0; i < 3000; ++i) {
    const Bytes key = BigEndianKey(i * 2, 4);
    tree.Insert(key.data(), i);
  }
  TTreePosition at;
  bool found;
  bool moved;
  Bytes key = BigEndianKey(1000, 4);
  ASSERT_TRUE(tree.Seek(key.data(), 4, &at, &found));
  ASSERT_TRUE(found);
  // The current key is deleted: Next lands on the key after it, Prior on the key before it.
  ASSERT_TRUE(tree.Remove(key.data(), 500));
  TTreePosition copy = at;
  ASSERT_TRUE(tree.Next(&at, &moved));
  EXPECT_TRUE(moved);
  EXPECT_EQ(at.Key, BigEndianKey(1002, 4));
  ASSERT_TRUE(tree.Prior(&copy, &moved));
  EXPECT_TRUE(moved);
  EXPECT_EQ(copy.Key, BigEndianKey(998, 4));
  // Keys inserted before the position shift it; the step still goes to the right key.
  for (std::uint32_t i = 0; i < 400; ++i) {
    const Bytes k = BigEndianKey(i * 2 + 1, 4);
    tree.Insert(k.data(), 10000 + i);
  }
  ASSERT_TRUE(tree.Next(&at, &moved));
  EXPECT_EQ(at.Key, BigEndianKey(1004, 4));
  // A position's ordinal holds while the tree is unchanged; a fresh search recomputes it.
  ASSERT_TRUE(tree.Seek(at.Key.data(), 4, &at, &found));
  EXPECT_EQ(at.Ordinal, 1004u / 2 + 400);
}

// A cycle of interior pages (only possible in a damaged file) ends in TABULA_INDEXCORRUPT
// instead of a loop, for searches and for updates.
TEST(BTreeTest, CyclicPathRaisesIndexCorrupt) {
  const TPageFormat format = Format(4, icNone);
  TMemoryPageStore store(format);
  const TBytewiseKeyComparator cmp;
  TBTree tree(store, 1, cmp);
  const Bytes key = BigEndianKey(5, 4);
  TPage* root = store.AllocatePage(1);
  TPage* a = store.AllocatePage(1);
  TPage* b = store.AllocatePage(1);
  root->SetPageType(ptRootInterior);
  root->InsertEntry(1, key.data(), a->PageNumber(), 1);
  a->SetPageType(ptInterior);
  a->InsertEntry(1, key.data(), b->PageNumber(), 1);
  b->SetPageType(ptInterior);
  b->InsertEntry(1, key.data(), a->PageNumber(), 1);
  store.SetRootPage(1, root->PageNumber());
  for (TPage* p : {root, a, b}) store.ReleasePage(p);
  auto code_of = [](auto&& action) {
    try {
      action();
    } catch (const ETabulaEngineError& e) {
      return static_cast<int>(e.ErrorCode());
    }
    return 0;
  };
  TTreePosition at;
  bool found;
  EXPECT_EQ(code_of([&] { tree.Seek(key.data(), 4, &at, &found); }), TABULA_INDEXCORRUPT);
  EXPECT_EQ(code_of([&] { tree.First(&at); }), TABULA_INDEXCORRUPT);
  EXPECT_EQ(code_of([&] { tree.Insert(key.data(), 1); }), TABULA_INDEXCORRUPT);
  EXPECT_EQ(code_of([&] { tree.Remove(key.data(), 1); }), TABULA_INDEXCORRUPT);
  EXPECT_TRUE(store.AllUnpinned());
}

}  // namespace
}  // namespace tabula

namespace tabula {
namespace {

// The tree orders by the index's own key comparison: a descending integer index walks from the
// highest value down, and a key stored as NULL sorts after every value there.
TEST(BTreeTest, OrdersByTheIndexKeyComparison) {
  TKeyIndexDef definition;
  definition.Descending = true;
  definition.Unique = true;
  TKeyField field;
  field.FieldNo = 1;
  field.FieldType = fldInteger;
  field.PhysicalSize = 4;
  field.FieldOffset = 9;
  definition.Fields.push_back(field);
  const TIndexKeys keys(definition, *FindCollation(0, 0));
  ASSERT_EQ(keys.KeyLength(), 5u);
  const TIndexKeysComparator cmp(keys);
  TMemoryPageStore store(Format(5, icNone));
  TBTree tree(store, 1, cmp);
  for (std::int32_t v = -500; v <= 500; v += 5) {
    Bytes key(5, 0);
    key[0] = 1;
    EncodeIntegerKey(key.data() + 1, v);
    tree.Insert(key.data(), static_cast<std::uint32_t>(v + 1000));
  }
  const Bytes null_key(5, 0);
  tree.Insert(null_key.data(), 1);
  ASSERT_EQ(tree.CheckTree(), "");
  TTreePosition at;
  ASSERT_TRUE(tree.First(&at));
  EXPECT_EQ(at.Value, 1500u);
  ASSERT_TRUE(tree.Last(&at));
  EXPECT_EQ(at.Value, 1u);
  bool moved;
  ASSERT_TRUE(tree.Prior(&at, &moved));
  EXPECT_EQ(at.Value, 500u);
}

}  // namespace
}  // namespace tabula
