// Page images: hand-written bytes for every entry encoding, round trips at the compression
// edges, and decoding of damaged images.
#include "engine/index/index_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"

namespace tabula {
namespace {

using Bytes = std::vector<std::uint8_t>;

TPageFormat Format(std::uint16_t key_length, std::uint8_t compression, bool unique = true,
                   bool no_counts = false) {
  TPageFormat f;
  f.KeyLength = key_length;
  f.Compression = compression;
  f.Unique = unique;
  f.NoSubtreeCounts = no_counts;
  return f;
}

// A 4096-byte page image: the 13 header bytes, then `entries`, then zeros.
Bytes Image(std::uint8_t type, std::uint16_t count, std::uint32_t prev, std::uint32_t next,
            std::uint16_t encoded_size, const Bytes& entries) {
  Bytes image(kPageSize, 0);
  image[0] = type;
  image[1] = static_cast<std::uint8_t>(count);
  image[2] = static_cast<std::uint8_t>(count >> 8);
  for (int i = 0; i < 4; ++i) {
    image[3 + i] = static_cast<std::uint8_t>(prev >> (8 * i));
    image[7 + i] = static_cast<std::uint8_t>(next >> (8 * i));
  }
  image[11] = static_cast<std::uint8_t>(encoded_size);
  image[12] = static_cast<std::uint8_t>(encoded_size >> 8);
  if (!entries.empty()) std::memcpy(image.data() + 13, entries.data(), entries.size());
  return image;
}

Bytes KeyOf(const TPage& page, int i) { return Bytes(page.Key(i), page.Key(i) + page.KeyLength()); }

Bytes Encoded(const TPage& page) {
  Bytes out(kPageSize);
  page.EncodeTo(out.data());
  return out;
}

struct THandWrittenPage {
  const char* name;
  TPageFormat format;
  Bytes image;
  std::vector<Bytes> keys;
  std::vector<std::uint32_t> values;
  std::vector<std::uint32_t> counts;  // interior pages only
};

std::vector<THandWrittenPage> HandWrittenPages() {
  std::vector<THandWrittenPage> rows;
  rows.push_back({"interior with subtree counts",
                  Format(3, icNone),
                  Image(ptRootInterior, 2, 0, 0, 0, {'A', 'B', 'C', 5, 0, 0, 0, 10,   0, 0, 0,  //
                                                     'D', 'E', 'F', 7, 0, 0, 0, 0x2C, 1, 0, 0}),
                  {{'A', 'B', 'C'}, {'D', 'E', 'F'}},
                  {5, 7},
                  {10, 300}});
  rows.push_back({"interior without subtree counts",
                  Format(3, icFull, true, true),
                  Image(ptInterior, 2, 3, 4, 0,
                        {'A', 'B', 'C', 5, 0, 0, 0,  //
                         'D', 'E', 'F', 7, 0, 0, 0}),
                  {{'A', 'B', 'C'}, {'D', 'E', 'F'}},
                  {5, 7},
                  {0, 0}});
  rows.push_back(
      {"leaf NONE",
       Format(2, icNone),
       Image(ptRootLeaf, 2, 0, 0, 0, {0x80, 0x01, 0x10, 0, 0, 0, 0x80, 0x02, 0, 1, 0, 0}),
       {{0x80, 0x01}, {0x80, 0x02}},
       {0x10, 0x100},
       {}});
  rows.push_back({"DUPBYTE",
                  Format(3, icDupByte),
                  Image(ptLeaf, 3, 0, 2, 22, {0, 'A', 'A', 'A', 1, 0, 0, 0,  //
                                              2, 'B', 2,   0,   0, 0,        //
                                              0, 'B', 0,   0,   3, 0, 0, 0}),
                  {{'A', 'A', 'A'}, {'A', 'A', 'B'}, {'B', 0, 0}},
                  {1, 2, 3},
                  {}});
  rows.push_back({"TRAILBYTE, non-unique: the zero suffix is stored",
                  Format(6, icTrailByte, false),
                  Image(ptLeaf, 2, 0, 0, 19,
                        {1, 'A', 0, 0, 0, 0, 5, 0, 0, 0,  //
                         2, 0x80, 0, 0, 1, 6, 0, 0, 0}),
                  {{'A', 0, 0, 0, 0, 0}, {0, 0, 0x80, 0, 0, 1}},
                  {5, 6},
                  {}});
  rows.push_back({"FULL, unique: shared prefixes, trailing zeros, an identical key",
                  Format(6, icFull),
                  Image(ptLeaf, 4, 9, 0, 33, {0, 4, 'A', 'B', 1,   0,   0,   0,  //
                                              2, 3, 'C', 2,   0,   0,   0,       //
                                              6, 0, 3,   0,   0,   0,            //
                                              0, 0, 'X', 'Y', 'Z', '1', '2', '3', 4, 3, 2, 1}),
                  {{'A', 'B', 0, 0, 0, 0},
                   {'A', 'B', 'C', 0, 0, 0},
                   {'A', 'B', 'C', 0, 0, 0},
                   {'X', 'Y', 'Z', '1', '2', '3'}},
                  {1, 2, 3, 0x01020304},
                  {}});
  rows.push_back(
      {"FULL, non-unique: zeros before the suffix, short rests stored whole",
       Format(8, icFull, false),
       Image(ptRootLeaf, 3, 0, 0, 29, {0, 3, 'A', 0, 0, 0, 7, 1, 0, 0, 0,  //
                                       7, 0, 9,   2, 0, 0, 0,              //
                                       1, 2, 'B', 0, 0, 0, 0, 3, 0, 0, 0}),
       {{'A', 0, 0, 0, 0, 0, 0, 7}, {'A', 0, 0, 0, 0, 0, 0, 9}, {'A', 'B', 0, 0, 0, 0, 0, 0}},
       {1, 2, 3},
       {}});
  return rows;
}

TEST(IndexPageTest, HandWrittenImagesDecodeAndEncodeByteForByte) {
  for (const THandWrittenPage& row : HandWrittenPages()) {
    SCOPED_TRACE(row.name);
    TPage page;
    page.Reset(row.format, 10, 1);
    ASSERT_EQ(page.DecodeFrom(row.image.data(), row.image.size(), 20), 0);
    ASSERT_EQ(page.Count(), static_cast<int>(row.keys.size()));
    EXPECT_EQ(page.PageType(), row.image[0]);
    for (int i = 1; i <= page.Count(); ++i) {
      EXPECT_EQ(KeyOf(page, i), row.keys[i - 1]) << "entry " << i;
      EXPECT_EQ(page.Value(i), row.values[i - 1]) << "entry " << i;
      if (!page.IsLeaf()) {
        EXPECT_EQ(page.SubtreeCount(i), row.counts[i - 1]) << "entry " << i;
      }
    }
    EXPECT_EQ(Encoded(page), row.image);

    // Our writer, fed the same entries, produces the same bytes.
    TPage built;
    built.Reset(row.format, 10, 1);
    built.SetPageType(row.image[0]);
    built.SetPrevPage(page.PrevPage());
    built.SetNextPage(page.NextPage());
    for (std::size_t i = 0; i < row.keys.size(); ++i) {
      built.InsertEntry(static_cast<int>(i) + 1, row.keys[i].data(), row.values[i],
                        row.counts.empty() ? 0 : row.counts[i]);
    }
    EXPECT_EQ(Encoded(built), row.image);
  }
}

// Uncompressed pages are copied entry by entry in whole words: every key length (one word to
// beyond the longest straight copy), leaves and interior pages with and without subtree counts,
// each filled to the last entry it holds, must decode every byte of every entry, leave the
// bytes that are not stored at zero, and encode back to the same image, also into a buffer
// full of other bytes. The image sits in a buffer of exactly one page, so a copy past its end
// is caught. The same images are loaded into one page object taken over from page to page,
// whose entry storage still holds the bytes of the page before.
TEST(IndexPageTest, FullUncompressedPagesRoundTripAtEveryKeyLength) {
  TPage reused;
  struct TKind {
    const char* name;
    std::uint8_t type;
    bool no_counts;
  };
  const TKind kinds[] = {{"leaf", ptLeaf, false},
                         {"interior with subtree counts", ptInterior, false},
                         {"interior without subtree counts", ptInterior, true}};
  for (const TKind& kind : kinds) {
    for (std::uint16_t kl = 1; kl <= 64; ++kl) {
      SCOPED_TRACE(std::string(kind.name) + ", key length " + std::to_string(kl));
      const bool leaf = kind.type == ptLeaf;
      const std::size_t entry_size = kl + ((leaf || kind.no_counts) ? 4u : 8u);
      const int count = static_cast<int>(kPageEntryArea / entry_size);
      auto key_byte = [](int i, int j) { return static_cast<std::uint8_t>(i * 31 + j * 7 + 1); };
      auto value = [](int i) { return static_cast<std::uint32_t>(i + 1); };  // child pages
      auto subtree = [](int i) { return 0xA0B0C000u + static_cast<std::uint32_t>(i); };
      Bytes entries;
      for (int i = 1; i <= count; ++i) {
        for (int j = 0; j < kl; ++j) entries.push_back(key_byte(i, j));
        for (int b = 0; b < 4; ++b)
          entries.push_back(static_cast<std::uint8_t>(value(i) >> (8 * b)));
        if (!leaf && !kind.no_counts) {
          for (int b = 0; b < 4; ++b) {
            entries.push_back(static_cast<std::uint8_t>(subtree(i) >> (8 * b)));
          }
        }
      }
      const Bytes image = Image(kind.type, static_cast<std::uint16_t>(count), 0, 0, 0, entries);
      const auto exact = std::make_unique<std::uint8_t[]>(kPageSize);
      std::memcpy(exact.get(), image.data(), kPageSize);

      TPage fresh;
      fresh.Reset(Format(kl, icNone, true, kind.no_counts), 1, 1);
      ASSERT_EQ(fresh.DecodeFrom(exact.get(), kPageSize, 100000), 0);
      // `reused` holds the page of the row before, of another key length or kind.
      ASSERT_EQ(reused.LoadFrom(Format(kl, icNone, true, kind.no_counts), 1, 1, exact.get(),
                                kPageSize, 100000),
                0);
      for (const TPage* page : {&fresh, &reused}) {
        ASSERT_EQ(page->Count(), count);
        EXPECT_EQ(page->PageNumber(), 1u);
        EXPECT_FALSE(page->Dirty());
        for (int i = 1; i <= count; ++i) {
          for (int j = 0; j < kl; ++j) {
            ASSERT_EQ(page->Key(i)[j], key_byte(i, j)) << "entry " << i << " byte " << j;
          }
          ASSERT_EQ(page->Value(i), value(i)) << "entry " << i;
          ASSERT_EQ(page->SubtreeCount(i), leaf || kind.no_counts ? 0u : subtree(i))
              << "entry " << i;
          ASSERT_EQ(page->DupPrefix(i), 0) << "entry " << i;
          ASSERT_EQ(page->TrailZeros(i), 0) << "entry " << i;
        }
        EXPECT_EQ(Encoded(*page), image);
        Bytes dirty(kPageSize, 0xEE);
        page->EncodeTo(dirty.data());
        EXPECT_EQ(dirty, image);
      }
    }
  }
  // A damaged image leaves the taken-over page empty.
  const Bytes damaged = Image(ptLeaf, 2000, 0, 0, 0, {});
  EXPECT_EQ(reused.LoadFrom(Format(8, icNone), 2, 1, damaged.data(), damaged.size(), 100),
            TABULA_INDEXCORRUPT);
  EXPECT_EQ(reused.Count(), 0);
}

// Round trips at the compression edges, for every kind, unique and not.
TEST(IndexPageTest, CompressionRoundTripsAtTheEdges) {
  struct TKeys {
    const char* name;
    std::uint16_t key_length;
    std::vector<Bytes> keys;
  };
  const Bytes zeros300(300, 0);
  Bytes long_a(300, 'a');
  Bytes long_b = long_a;
  long_b[299] = 'b';
  Bytes long_zero_tail(300, 0);
  long_zero_tail[0] = 'z';
  const std::vector<TKeys> cases = {
      {"keys sharing all bytes", 8, {Bytes(8, 'q'), Bytes(8, 'q'), Bytes(8, 'q')}},
      {"keys sharing none", 8, {Bytes(8, 1), Bytes(8, 2), Bytes(8, 3)}},
      {"all-zero keys", 8, {Bytes(8, 0), Bytes(8, 0)}},
      {"trailing zeros",
       8,
       {{1, 2, 0, 0, 0, 0, 0, 0}, {1, 3, 0, 0, 0, 0, 0, 0}, {9, 0, 0, 0, 0, 0, 0, 1}}},
      {"runs longer than 254", 300, {zeros300, long_a, long_b, long_zero_tail, long_zero_tail}},
      {"one-byte keys", 1, {{0}, {0}, {7}}},
      {"five-byte keys", 5, {{1, 0, 0, 0, 0}, {1, 0, 0, 0, 0}, {1, 0, 0, 0, 5}}},
  };
  for (std::uint8_t compression : {icNone, icDupByte, icTrailByte, icFull}) {
    for (bool unique : {true, false}) {
      for (const TKeys& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " compression " + std::to_string(compression) +
                     (unique ? " unique" : " non-unique"));
        const TPageFormat format = Format(c.key_length, compression, unique);
        TPage page;
        page.Reset(format, 1, 1);
        page.SetPageType(ptRootLeaf);
        for (std::size_t i = 0; i < c.keys.size(); ++i) {
          page.InsertEntry(page.Count() + 1, c.keys[i].data(), 1000 + static_cast<int>(i), 0);
        }
        for (int i = 1; i <= page.Count(); ++i) {
          EXPECT_LE(page.DupPrefix(i), 254);
          EXPECT_LE(page.TrailZeros(i), 254);
        }
        const Bytes image = Encoded(page);
        TPage back;
        back.Reset(format, 1, 1);
        ASSERT_EQ(back.DecodeFrom(image.data(), image.size(), 1), 0);
        ASSERT_EQ(back.Count(), page.Count());
        for (int i = 1; i <= back.Count(); ++i) {
          EXPECT_EQ(KeyOf(back, i), c.keys[i - 1]);
          EXPECT_EQ(back.Value(i), 1000u + i - 1);
        }
        EXPECT_EQ(Encoded(back), image);
        // The stored size is the sum of the entry sizes.
        if (compression != icNone) {
          EXPECT_EQ(image[11] | (image[12] << 8), static_cast<int>(back.EncodedSize()));
        }
      }
    }
  }
}

TEST(IndexPageTest, NonUniqueSuffixIsNeverCountedAsTrailingZeros) {
  // The last key bytes are a zero record-ID suffix: TRAILBYTE must store them.
  for (std::uint8_t compression : {icTrailByte, icFull}) {
    TPage page;
    page.Reset(Format(10, compression, false), 1, 1);
    page.SetPageType(ptRootLeaf);
    const Bytes key = {'K', 0, 0, 0, 0, 0, 0, 0, 0, 0};
    page.InsertEntry(1, key.data(), 1, 0);
    EXPECT_EQ(page.TrailZeros(1), 5);
    const Bytes image = Encoded(page);
    // t, 'K', the four suffix bytes, the value.
    const std::size_t header = compression == icFull ? 2 : 1;
    EXPECT_EQ(page.EncodedSize(), header + 1 + 4 + 4);
    EXPECT_EQ(image[13 + header], 'K');
  }
}

TEST(IndexPageTest, FullCompressionPacksFarMoreThanUncompressed) {
  const TPageFormat format = Format(40, icFull);
  TPage page;
  page.Reset(format, 1, 1);
  page.SetPageType(ptRootLeaf);
  Bytes key(40, 0);
  std::memcpy(key.data(), "SMITH, JOHN", 11);
  int n = 0;
  while (true) {
    key[11] = static_cast<std::uint8_t>('A' + n / 26);
    key[12] = static_cast<std::uint8_t>('A' + n % 26);
    page.InsertEntry(page.Count() + 1, key.data(), n, 0);
    if (page.Overflows()) break;
    ++n;
  }
  EXPECT_GT(n, 4 * format.MaxLeafEntries());
}

TEST(IndexPageTest, SearchesReturnPositions) {
  TPage page;
  page.Reset(Format(1, icNone), 1, 1);
  page.SetPageType(ptRootLeaf);
  const Bytes keys = {10, 20, 20, 30};
  for (std::size_t i = 0; i < keys.size(); ++i) page.InsertEntry(page.Count() + 1, &keys[i], 0, 0);
  const TBytewiseKeyComparator cmp;
  struct {
    std::uint8_t key;
    int not_greater, less, exact;
  } rows[] = {{5, 0, 0, 0},  {10, 1, 0, 1}, {15, 1, 1, 0},
              {20, 3, 1, 2}, {30, 4, 3, 4}, {99, 4, 4, 0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.key));
    EXPECT_EQ(page.FindLastNotGreater(&r.key, 1, cmp), r.not_greater);
    EXPECT_EQ(page.FindLastLess(&r.key, 1, cmp), r.less);
    EXPECT_EQ(page.FindExact(&r.key, 1, cmp), r.exact);
  }
  const TBytewiseKeyComparator descending(true);
  EXPECT_EQ(descending.CompareKeys(&keys[0], &keys[3], 1), 1);
}

// The same order through the comparator's call: the page searches must not care which way they
// compare.
class TOpaqueComparator final : public TKeyComparator {
 public:
  explicit TOpaqueComparator(const TKeyComparator& inner) : inner_(inner) {}
  int CompareKeys(const std::uint8_t* stored, const std::uint8_t* search,
                  std::size_t n) const override {
    return inner_.CompareKeys(stored, search, n);
  }

 private:
  const TKeyComparator& inner_;
};

TEST(IndexPageTest, ByteOrderSearchesAgreeWithTheComparator) {
  std::mt19937 random(5);
  // Byte values around the sign bit, few enough to give runs of equal keys; key lengths below,
  // at and beyond a machine word, searched over whole keys and over prefixes.
  const std::uint8_t values[] = {0, 1, 0x7F, 0x80, 0xFF};
  auto random_key = [&](std::uint16_t kl) {
    Bytes key(kl);
    for (std::uint8_t& b : key) b = values[random() % 5];
    return key;
  };
  for (const bool descending : {false, true}) {
    SCOPED_TRACE(descending ? "descending" : "ascending");
    const TBytewiseKeyComparator bytes(descending);
    ASSERT_EQ(bytes.ByteOrder(), descending ? -1 : 1);
    const TOpaqueComparator opaque(bytes);
    ASSERT_EQ(opaque.ByteOrder(), 0);
    for (const std::uint16_t kl : {3, 5, 8, 12}) {
      for (const bool leaf : {true, false}) {
        SCOPED_TRACE(std::string(leaf ? "leaf" : "interior") + ", key length " +
                     std::to_string(kl));
        TPage page;
        page.Reset(Format(kl, icNone), 1, 1);
        page.SetPageType(leaf ? ptRootLeaf : ptRootInterior);
        std::vector<Bytes> keys;
        for (int i = 0; i < 150; ++i) keys.push_back(random_key(kl));
        std::sort(keys.begin(), keys.end(), [&](const Bytes& a, const Bytes& b) {
          return bytes.CompareKeys(a.data(), b.data(), kl) < 0;
        });
        for (const Bytes& key : keys) page.InsertEntry(page.Count() + 1, key.data(), 1, 1);
        for (int probe = 0; probe < 300; ++probe) {
          // Half the probes are keys of the page.
          const Bytes key = (probe % 2 == 0) ? keys[random() % keys.size()] : random_key(kl);
          for (const std::size_t n : {std::size_t{1}, std::size_t{kl / 2u + 1}, std::size_t{kl}}) {
            ASSERT_EQ(page.FindLastNotGreater(key.data(), n, bytes),
                      page.FindLastNotGreater(key.data(), n, opaque))
                << "n " << n;
            ASSERT_EQ(page.FindLastLess(key.data(), n, bytes),
                      page.FindLastLess(key.data(), n, opaque))
                << "n " << n;
            ASSERT_EQ(page.FindExact(key.data(), n, bytes), page.FindExact(key.data(), n, opaque))
                << "n " << n;
          }
        }
      }
    }
  }
}

TEST(IndexPageTest, DamagedImagesAreRefused) {
  struct TDamage {
    const char* name;
    TPageFormat format;
    Bytes image;
  };
  const Bytes one_entry = {'A', 'B', 'C', 5, 0, 0, 0, 1, 0, 0, 0};
  std::vector<TDamage> rows = {
      {"page type 5", Format(3, icNone), Image(5, 0, 0, 0, 0, {})},
      {"count running past the page", Format(3, icNone), Image(ptLeaf, 584, 0, 0, 0, {})},
      {"interior count running past the page", Format(3, icNone),
       Image(ptInterior, 372, 0, 0, 0, {})},
      {"child page 0", Format(3, icNone),
       Image(ptInterior, 1, 0, 0, 0, {'A', 'B', 'C', 0, 0, 0, 0})},
      {"child beyond the file", Format(3, icNone),
       Image(ptInterior, 1, 0, 0, 0, {'A', 'B', 'C', 21, 0, 0, 0})},
      {"child is the page itself", Format(3, icNone),
       Image(ptInterior, 1, 0, 0, 0, {'A', 'B', 'C', 10, 0, 0, 0})},
      {"next link beyond the file", Format(3, icNone), Image(ptLeaf, 0, 0, 21, 0, {})},
      {"previous link beyond the file", Format(3, icNone), Image(ptLeaf, 0, 99, 0, 0, {})},
      {"link to itself", Format(3, icNone), Image(ptLeaf, 0, 0, 10, 0, {})},
      {"encoded size past the page", Format(3, icDupByte),
       Image(ptLeaf, 1, 0, 0, 4084, {0, 'A', 'B', 'C', 1, 0, 0, 0})},
      {"first entry shares a prefix", Format(3, icDupByte),
       Image(ptLeaf, 1, 0, 0, 6, {2, 'C', 1, 0, 0, 0})},
      {"prefix longer than the key", Format(3, icDupByte),
       Image(ptLeaf, 2, 0, 0, 13, {0, 'A', 'B', 'C', 1, 0, 0, 0, 4, 1, 0, 0, 0})},
      {"trailing run longer than the key", Format(3, icTrailByte),
       Image(ptLeaf, 1, 0, 0, 5, {4, 1, 0, 0, 0})},
      {"trailing run into the suffix", Format(6, icTrailByte, false),
       Image(ptLeaf, 1, 0, 0, 5, {3, 1, 0, 0, 0})},
      {"FULL runs adding past the key", Format(6, icFull),
       Image(ptLeaf, 2, 0, 0, 18, {0, 0, 1, 2, 3, 4, 5, 6, 1, 0, 0, 0, 3, 4, 1, 0, 0, 0})},
      {"entry running past the encoded size", Format(3, icDupByte),
       Image(ptLeaf, 1, 0, 0, 7, {0, 'A', 'B', 'C', 1, 0, 0, 0})},
      {"bytes left after the last entry", Format(3, icDupByte),
       Image(ptLeaf, 1, 0, 0, 9, {0, 'A', 'B', 'C', 1, 0, 0, 0, 0})},
      {"more entries than the encoded size can hold", Format(3, icFull),
       Image(ptLeaf, 1000, 0, 0, 4083, {})},
  };
  for (const TDamage& row : rows) {
    SCOPED_TRACE(row.name);
    TPage page;
    page.Reset(row.format, 10, 1);
    EXPECT_EQ(page.DecodeFrom(row.image.data(), row.image.size(), 20), TABULA_INDEXCORRUPT);
    EXPECT_EQ(page.Count(), 0);
  }
  TPage page;
  page.Reset(Format(3, icNone), 10, 1);
  const Bytes good = Image(ptInterior, 1, 0, 0, 0, one_entry);
  EXPECT_EQ(page.DecodeFrom(good.data(), 100, 20), TABULA_INDEXCORRUPT) << "short buffer";
}

// Randomly damaged images of every kind decode to an error or to a page that encodes and
// decodes again; under the sanitizers nothing is read outside the image.
TEST(IndexPageTest, RandomlyDamagedPagesDecodeWithinBounds) {
  std::mt19937 rng(20261210);
  const std::vector<TPageFormat> formats = {Format(4, icNone),     Format(4, icNone, false, true),
                                            Format(12, icDupByte), Format(12, icTrailByte, false),
                                            Format(12, icFull),    Format(12, icFull, false),
                                            Format(300, icFull)};
  int decoded_ok = 0;
  for (int round = 0; round < 3000; ++round) {
    const TPageFormat& format = formats[round % formats.size()];
    const bool interior = (round / formats.size()) % 3 == 0;
    TPage page;
    page.Reset(format, 7, 1);
    page.SetPageType(interior ? ptInterior : ptLeaf);
    const int n = 1 + static_cast<int>(rng() % 60);
    Bytes key(format.KeyLength, 0);
    for (int i = 0; i < n && !page.Overflows(); ++i) {
      for (std::size_t b = 0; b < key.size(); ++b) {
        key[b] = (rng() % 3 == 0) ? static_cast<std::uint8_t>(rng()) : 0;
      }
      if (i > 0 && rng() % 2 == 0) std::memcpy(key.data(), page.Key(i), key.size() / 2);
      page.InsertEntry(i + 1, key.data(), 8 + rng() % 20, rng() % 1000);
    }
    while (page.Overflows()) page.RemoveEntry(page.Count());
    Bytes image = Encoded(page);
    const int damage = 1 + static_cast<int>(rng() % 4);
    for (int d = 0; d < damage; ++d) {
      const std::size_t at = (rng() % 2 == 0) ? rng() % 64 : rng() % kPageSize;
      image[at] = static_cast<std::uint8_t>(rng());
    }
    TPage back;
    back.Reset(format, 7, 1);
    const std::uint16_t rc = back.DecodeFrom(image.data(), image.size(), 30);
    if (rc != 0) {
      EXPECT_EQ(rc, TABULA_INDEXCORRUPT);
      continue;
    }
    ++decoded_ok;
    if (back.PageType() == ptRawData) continue;
    const Bytes again = Encoded(back);
    TPage third;
    third.Reset(format, 7, 1);
    ASSERT_EQ(third.DecodeFrom(again.data(), again.size(), 30), 0) << "round " << round;
    EXPECT_EQ(third.Count(), back.Count());
  }
  EXPECT_GT(decoded_ok, 100);
}

// A leaf keeps no subtree counts: setting one is ignored and leaves its neighbours alone, and a
// page that changes between leaf and interior with entries keeps every key and value.
TEST(IndexPageTest, LeafEntriesKeepNoCountsAndSurviveAChangeOfKind) {
  TPage page;
  page.Reset(Format(3, icNone), 1, 1);
  page.SetPageType(ptLeaf);
  const std::uint8_t keys[3][3] = {{'A', 'A', 'A'}, {'B', 'B', 'B'}, {'C', 'C', 'C'}};
  for (int i = 0; i < 3; ++i) page.InsertEntry(i + 1, keys[i], 10 + i, 99);
  page.SetSubtreeCount(2, 0xFFFFFFFF);
  const Bytes leaf_image = Image(ptLeaf, 3, 0, 0, 0, {'A', 'A', 'A', 10, 0, 0, 0,  //
                                                      'B', 'B', 'B', 11, 0, 0, 0,  //
                                                      'C', 'C', 'C', 12, 0, 0, 0});
  EXPECT_EQ(Encoded(page), leaf_image);
  EXPECT_EQ(page.SubtreeCount(2), 0u);

  page.SetPageType(ptInterior);
  page.SetSubtreeCount(3, 7);
  EXPECT_EQ(Encoded(page),
            Image(ptInterior, 3, 0, 0, 0, {'A', 'A', 'A', 10, 0, 0, 0, 0, 0, 0, 0,  //
                                           'B', 'B', 'B', 11, 0, 0, 0, 0, 0, 0, 0,  //
                                           'C', 'C', 'C', 12, 0, 0, 0, 7, 0, 0, 0}));
  page.SetPageType(ptRootLeaf);
  Bytes root_leaf = leaf_image;
  root_leaf[0] = ptRootLeaf;
  EXPECT_EQ(Encoded(page), root_leaf);
}

TEST(IndexPageTest, FreeAndRawPagesEncode) {
  TPage page;
  page.Reset(Format(3, icNone), 4, 1);
  page.SetPageType(ptLeaf);
  const Bytes key = {'A', 'B', 'C'};
  page.InsertEntry(1, key.data(), 1, 0);
  page.SetPrevPage(2);
  page.MakeFree(9);
  EXPECT_EQ(Encoded(page), Image(ptLeaf, 0, 0, 9, 0, {}));

  TPage raw;
  raw.Reset(Format(3, icNone), 4, 32);
  raw.SetPageType(ptRawData);
  raw.SetNextPage(5);
  raw.RawData()[0] = 0xAB;
  raw.RawData()[kPageEntryArea - 1] = 0xCD;
  Bytes expected = Image(ptRawData, 0, 0, 5, 0, {0xAB});
  expected[kPageSize - 1] = 0xCD;
  EXPECT_EQ(Encoded(raw), expected);
  TPage back;
  back.Reset(Format(3, icNone), 4, 32);
  ASSERT_EQ(back.DecodeFrom(expected.data(), expected.size(), 5), 0);
  EXPECT_EQ(Encoded(back), expected);
}

// Interior pages keep running sums of their subtree counts once asked twice; every change of
// entries or counts must drop them. Each step changes the page, then CountBefore is asked
// twice at every position (building the sums) and compared with the counts themselves.
TEST(IndexPageTest, CountBeforeFollowsEveryChangeOfAnInteriorPage) {
  const TPageFormat format = Format(2, icNone);
  TPage page;
  page.Reset(format, 4, 1);
  page.SetPageType(ptInterior);
  TPage other;
  other.Reset(format, 5, 1);
  other.SetPageType(ptInterior);
  auto key = [](int n) {
    return Bytes{static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  };
  for (int i = 1; i <= 6; ++i) page.InsertEntry(i, key(i * 10).data(), 100 + i, i * 3);
  auto check = [](const TPage& p, const std::string& step) {
    for (int round = 0; round < 2; ++round) {
      std::uint64_t sum = 0;
      for (int i = 1; i <= p.Count() + 1; ++i) {
        ASSERT_EQ(p.CountBefore(i), sum) << step << ", entry " << i << ", round " << round;
        if (i <= p.Count()) sum += p.SubtreeCount(i);
      }
      ASSERT_EQ(p.Total(), sum) << step;
    }
  };
  struct Step {
    const char* name;
    std::function<void()> change;
  };
  const Step steps[] = {
      {"built", [] {}},
      {"count set", [&] { page.SetSubtreeCount(2, 1000); }},
      {"entry inserted", [&] { page.InsertEntry(3, key(25).data(), 200, 7); }},
      {"entry removed", [&] { page.RemoveEntry(1); }},
      {"entries moved out", [&] { page.MoveEntries(4, 3, other, 1); }},
      {"entries moved back", [&] { other.MoveEntries(1, 2, page, page.Count() + 1); }},
      {"copied", [&] { other = page; }},
      {"decoded",
       [&] {
         Bytes image(kPageSize, 0);
         other.EncodeTo(image.data());
         EncodeFixed32(image.data() + kPageEntries + format.KeyLength + 4, 999);
         ASSERT_EQ(page.DecodeFrom(image.data(), image.size(), 1000), 0);
       }},
      {"freed", [&] { page.MakeFree(0); }},
  };
  for (const Step& step : steps) {
    step.change();
    check(page, step.name);
    check(other, step.name);
  }
}

}  // namespace
}  // namespace tabula
