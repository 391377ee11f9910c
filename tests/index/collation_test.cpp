#include "engine/index/collation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/engine_error.h"

namespace tabula {
namespace {

constexpr std::uint16_t kAnsi = 0x0000;
constexpr std::uint16_t kEnglishUsa = 0x0409;
constexpr std::uint16_t kEnglishUk = 0x0809;
constexpr std::uint16_t kGerman = 0x0407;
constexpr std::uint16_t kGermanSwiss = 0x0807;
constexpr std::uint16_t kSpanishCastilian = 0x040A;
constexpr std::uint16_t kSpanishModern = 0x0C0A;
constexpr std::uint16_t kSwedish = 0x041D;
constexpr std::uint16_t kRussian = 0x0419;
constexpr std::uint16_t kGreek = 0x0408;
constexpr std::uint16_t kJapanese = 0x0411;  // a platform language the engine does not list

TEST(LanguageListTest, NamesIdsAndSortOrders) {
  const auto list = LanguageList();
  ASSERT_EQ(list.size(), 99u);
  EXPECT_STREQ(list.front().Name, "ANSI Standard");
  EXPECT_EQ(list.front().LocaleID, 0);
  EXPECT_STREQ(list.back().Name, "Vietnamese");
  std::set<std::uint16_t> ids;
  for (const TLanguageInfo& language : list) {
    EXPECT_TRUE(ids.insert(language.LocaleID).second) << language.Name;
    EXPECT_EQ(FindLanguage(language.LocaleID), &language);
  }

  EXPECT_TRUE(LanguageExists("german (swiss)"));
  EXPECT_TRUE(LanguageExists("ANSI STANDARD"));
  EXPECT_FALSE(LanguageExists("German"));
  EXPECT_EQ(LanguageId("GERMAN (SWISS)"), kGermanSwiss);
  EXPECT_EQ(LanguageId("Ukranian"), 0x0422);
  EXPECT_EQ(LanguageId("Klingon"), 0);
  EXPECT_EQ(FindLanguage(kJapanese), nullptr);

  struct Row {
    std::uint16_t locale_id;
    const char* sort_name;
    bool exists;
    std::uint16_t sort_id;
  };
  const Row rows[] = {
      {kGermanSwiss, "German Phone Book Order", true, 1},
      {0x1407, "german phone book order", true, 1},  // German (Liechtenstein)
      {kGerman, "Default Order", true, 0},
      {kEnglishUk, "German Phone Book Order", false, 0},
      {kEnglishUk, "DEFAULT ORDER", true, 0},
      {kAnsi, "Default Order", true, 0},
      {kJapanese, "Default Order", false, 0},
      {kGerman, "Phone Book", false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.locale_id << " " << row.sort_name);
    EXPECT_EQ(SortOrderExists(row.locale_id, row.sort_name), row.exists);
    EXPECT_EQ(SortId(row.locale_id, row.sort_name), row.sort_id);
  }
}

TEST(LocaleInstalledTest, EveryListedLanguageIsServed) {
  for (const TLanguageInfo& language : LanguageList()) {
    EXPECT_TRUE(LocaleInstalled(language.LocaleID, 0)) << language.Name;
    EXPECT_EQ(LocaleInstalled(language.LocaleID, 1),
              language.PhoneBookOrder || language.LocaleID == 0)
        << language.Name;
  }
  EXPECT_FALSE(LocaleInstalled(kJapanese, 0));
  EXPECT_FALSE(LocaleInstalled(kGerman, 2));
  EXPECT_FALSE(LocaleInstalled(0x7FFF, 0));
  EXPECT_TRUE(LocaleInstalled(kAnsi, 7));  // ANSI order ignores the sort id
}

TEST(LocaleInstalledTest, UnavailableLocaleRaisesCannotLoadLanguageDriver) {
  try {
    RequireCollation(kEnglishUsa, 1, "Staff");
    FAIL() << "no error raised";
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_CANNOTLOADLDDRV);
    EXPECT_EQ(error.ErrorTableName(), "Staff");
    EXPECT_EQ(EngineErrorText(TABULA_CANNOTLOADLDDRV),
              "The language driver for the table 'Staff' is not available or installed");
  }
  EXPECT_EQ(FindCollation(kJapanese, 0), nullptr);
  char text[] = "abc";
  for (auto call : std::vector<std::function<void()>>{
           [] { CompareText(kJapanese, 0, "a", "b", false); },
           [&] { UpperText(kJapanese, 0, text); },
           [] { CharMap(kJapanese, 0); },
       }) {
    try {
      call();
      ADD_FAILURE() << "no error raised";
    } catch (const ETabulaEngineError& error) {
      EXPECT_EQ(error.ErrorCode(), TABULA_CANNOTLOADLDDRV);
    }
  }
}

TEST(CompareTextTest, Table) {
  struct Row {
    std::uint16_t locale_id;
    std::uint16_t sort_id;
    std::string a;
    std::string b;
    bool case_insensitive;
    std::size_t length;
    int expected;
  };
  const Row rows[] = {
      // ANSI: unsigned bytes.
      {kAnsi, 0, "abc", "abd", false, 0, -1},
      {kAnsi, 0, "abc", "ABC", false, 0, 1},
      {kAnsi, 0, "abc", "ABC", true, 0, 0},
      {kAnsi, 0, "ab", "abc", false, 0, -1},
      {kAnsi, 0, "B", "a", false, 0, -1},
      {kAnsi, 0, "M\xFCller", "Muller", false, 0, 1},    // accents count in byte order
      {kAnsi, 0, "\x80", "z", false, 0, 1},              // bytes are unsigned
      {kAnsi, 0, "\xE9t\xE9", "\xC9T\xC9", true, 0, 0},  // English (USA) upper-casing
      {kAnsi, 0, "abX", "abY", false, 2, 0},
      {kAnsi, 0, "abX", "abY", false, 3, -1},
      {kAnsi, 0, std::string("a\0b", 3), std::string("a\0c", 3), false, 3, -1},
      {kAnsi, 0, std::string("a\0b", 3), std::string("a\0c", 3), false, 0, 0},
      {kAnsi, 0, "abx", "ABY", true, 2, 0},
      // A locale: accents ignored, lower case before upper, letters interleave.
      {kEnglishUsa, 0, "M\xFCller", "Muller", false, 0, 0},
      {kEnglishUsa, 0, "M\xFCller", "Muller", true, 0, 0},
      {kEnglishUsa, 0, "muller", "Muller", false, 0, -1},
      {kEnglishUsa, 0, "muller", "MULLER", true, 0, 0},
      {kEnglishUsa, 0, "B", "a", false, 0, 1},
      {kEnglishUsa, 0, "r\xE9sum\xE9", "resume", false, 0, 0},
      {kEnglishUsa, 0, "ab", "abc", false, 0, -1},
      {kEnglishUsa, 0, "co-op", "coop", false, 0, -1},  // string sort: the hyphen counts
      {kEnglishUsa, 0, "o'neil", "oneil", false, 0, -1},
      {kEnglishUsa, 0, std::string("AB\0\0", 4), std::string("ABC\0", 4), false, 4, -1},
      {kEnglishUsa, 0, std::string("AB\0\0", 4), std::string("AB\0\0", 4), false, 4, 0},
      {kEnglishUsa, 0, "abcX", "abcY", false, 3, 0},
      {kEnglishUsa, 0, "", "a", false, 0, -1},
      // German phone book order reads the umlaut as letter + e.
      {kGerman, 1, "M\xFCller", "Mueller", false, 0, 0},
      {kGerman, 0, "M\xFCller", "Mueller", false, 0, 1},
      {kGermanSwiss, 1, "\xC4rger", "Aerger", false, 0, 0},
      // Language rules.
      {kSpanishCastilian, 0, "chico", "czar", false, 0, 1},  // ch is a letter after c
      {kSpanishModern, 0, "chico", "czar", false, 0, -1},
      {kSwedish, 0, "\xE4pple", "zebra", false, 0, 1},  // a-umlaut after z
      {kEnglishUsa, 0, "\xE4pple", "zebra", false, 0, -1},
      {kRussian, 0, "\xE0", "\xE1", false, 0, -1},  // Cyrillic a before be, code page 1251
      {kRussian, 0, "\xC0\xC1", "\xE0\xE1", true, 0, 0},
      {kRussian, 0, "\xE0", "z", false, 0, -1},  // Russian puts its own script first
      {kGreek, 0, "\xE1", "\xE2", false, 0, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << std::hex << row.locale_id << "/" << row.sort_id << " '" << row.a << "' vs '"
                 << row.b << "' ci " << row.case_insensitive << " length " << row.length);
    EXPECT_EQ(CompareText(row.locale_id, row.sort_id, row.a.c_str(), row.b.c_str(),
                          row.case_insensitive, row.length),
              row.expected);
    EXPECT_EQ(CompareText(row.locale_id, row.sort_id, row.b.c_str(), row.a.c_str(),
                          row.case_insensitive, row.length),
              -row.expected);
  }
}

TEST(CompareTextTest, OwnLengthsAndLongTexts) {
  const TCollation& english = RequireCollation(kEnglishUsa, 0, "T");
  const TCollation& ansi = RequireCollation(kAnsi, 0, "T");
  EXPECT_EQ(english.Compare("abc", "abcd", false), -1);
  EXPECT_EQ(english.Compare("Abc", "abc", true), 0);
  EXPECT_EQ(english.Compare(std::string_view("ab\0z", 4), "ab", false), 0);
  EXPECT_EQ(ansi.Compare("abc", "abcd", false), -1);
  EXPECT_EQ(ansi.Compare(std::string_view("ab\0", 3), "ab", false), 1);
  EXPECT_EQ(ansi.Compare("ABC", "abc", true), 0);

  // Texts beyond the stack buffers take the heap path.
  std::string long_a(3000, 'x'), long_b(3000, 'x');
  long_a[2999] = '\xFC';  // u-umlaut
  long_b[2999] = 'u';
  EXPECT_EQ(english.CompareText(long_a.c_str(), long_b.c_str(), false), 0);
  long_b[2999] = 'v';
  EXPECT_EQ(english.CompareText(long_a.c_str(), long_b.c_str(), false), -1);
}

TEST(CaseMappingTest, UpperAndLowerPerCodePage) {
  struct Row {
    std::uint16_t locale_id;
    std::string lower;
    std::string upper;
  };
  const Row rows[] = {
      {kAnsi, "abc\xE9\xFF\x9A", "ABC\xC9\x9F\x8A"},  // e-acute, y-diaeresis, s-caron
      {kEnglishUsa, "m\xFCller", "M\xDCLLER"},
      {kRussian, "\xE0\xE1\xFF", "\xC0\xC1\xDF"},  // Cyrillic in code page 1251
      {kGreek, "\xE1\xE2", "\xC1\xC2"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.locale_id);
    std::string text = row.lower;
    UpperText(row.locale_id, 0, text);
    EXPECT_EQ(text, row.upper);
    LowerText(row.locale_id, 0, text);
    EXPECT_EQ(text, row.lower);
  }
  // Mapped in place up to the terminating zero; letters without a counterpart in the code page
  // stay: sharp s has no single upper-case letter, micro sign's capital is Greek.
  char text[] =
      "stra\xDF"
      "e \xB5m 12!";
  UpperText(kGerman, 0, text);
  EXPECT_STREQ(text,
               "STRA\xDF"
               "E \xB5M 12!");
  LowerText(kGerman, 0, text);
  EXPECT_STREQ(text,
               "stra\xDF"
               "e \xB5m 12!");
}

// The character order agrees with the comparison: ranks are equal exactly when two one-character
// texts compare equal, and ordered as they compare.
TEST(CharMapTest, OrderAgreesWithComparison) {
  for (auto [locale_id, sort_id] :
       {std::pair<std::uint16_t, std::uint16_t>{kEnglishUsa, 0}, {kGerman, 1}, {kRussian, 0}}) {
    const TCollation& collation = RequireCollation(locale_id, sort_id, "T");
    const TCharMap& order = collation.CharOrder();
    std::vector<bool> seen(256);
    for (std::uint8_t c : order) seen[c] = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
    for (int x = 0; x < 256; ++x) {
      for (int y = 0; y < 256; ++y) {
        const char a[2] = {static_cast<char>(x), 0};
        const char b[2] = {static_cast<char>(y), 0};
        const int compared = collation.CompareText(a, b, false, 1);
        const int ranked = collation.CharRank(x) < collation.CharRank(y)   ? -1
                           : collation.CharRank(x) > collation.CharRank(y) ? 1
                                                                           : 0;
        ASSERT_EQ(compared, ranked) << std::hex << locale_id << ": " << x << " vs " << y;
      }
    }
  }
}

TEST(CharMapTest, MapsAndProcessWideCache) {
  ClearCharMapCache();
  EXPECT_EQ(CharMapCacheCount(), 0u);

  const TCharMap ansi = CharMap(kAnsi, 0);
  for (int c = 0; c < 256; ++c) ASSERT_EQ(ansi[c], c);
  EXPECT_EQ(CharMapCacheCount(), 1u);

  const TCharMap english = CharMap(kEnglishUsa, 0);
  EXPECT_EQ(CharMapCacheCount(), 2u);
  auto position = [&](char c) {
    return std::find(english.begin(), english.end(), static_cast<std::uint8_t>(c)) -
           english.begin();
  };
  EXPECT_LT(position('-'), position('0'));
  EXPECT_LT(position('9'), position('a'));
  EXPECT_LT(position('a'), position('A'));
  EXPECT_LT(position('A'), position('b'));
  EXPECT_LT(position('y'), position('z'));
  EXPECT_EQ(english[0], 0);  // the empty text is lowest

  // Many threads asking for the same and new pairs at once get one entry per pair.
  std::vector<std::thread> threads;
  std::vector<TCharMap> results(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&results, i] {
      results[i] = CharMap(i % 2 ? kSwedish : kEnglishUsa, 0);
      CharMap(kGerman, 1);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(CharMapCacheCount(), 4u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(results[i], i % 2 ? CharMap(kSwedish, 0) : english) << i;
  }
  EXPECT_NE(CharMap(kSwedish, 0), english);
  EXPECT_EQ(CharMapCacheCount(), 4u);
  ClearCharMapCache();
  EXPECT_EQ(CharMapCacheCount(), 0u);
}

TEST(CollationRegistryTest, OneObjectPerPairAcrossThreads) {
  std::vector<const TCollation*> found(6);
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&found, i] { found[i] = FindCollation(0x0406, 0); });  // Danish
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_NE(found[0], nullptr);
  for (const TCollation* collation : found) EXPECT_EQ(collation, found[0]);
  EXPECT_EQ(found[0]->LocaleID(), 0x0406);
  EXPECT_STREQ(found[0]->CodePage(), "windows-1252");
  EXPECT_NE(FindCollation(kGerman, 0), FindCollation(kGerman, 1));
  EXPECT_EQ(FindCollation(kAnsi, 3), FindCollation(kAnsi, 0));
}

TEST(MatchLikeTest, Table) {
  struct Row {
    std::uint16_t locale_id;
    const char* text;
    const char* pattern;
    bool expected;
  };
  const Row rows[] = {
      {kAnsi, "abc", "A%", true},  // the default order ignores case
      {kAnsi, "abc", "%C", true},
      {kAnsi, "abc", "a_c", true},
      {kAnsi, "abc", "a_", false},
      {kAnsi, "abc", "abcd", false},
      {kAnsi, "abcbd", "%bd", true},  // resumes after the first b
      {kAnsi, "abcbd", "a%b%", true},
      {kAnsi, "", "%", true},
      {kAnsi, "", "", true},
      {kAnsi, "a", "", false},
      {kAnsi, "", "_", false},
      {kAnsi, "a%b", "a%%b", true},
      {kAnsi, "100%", "100%", true},
      {kAnsi, "M\xFCller", "Mu%", false},
      {kEnglishUsa, "M\xFCller", "Mu%", true},  // accents ignored
      {kEnglishUsa, "muller", "M%", false},     // a locale keeps case
      {kEnglishUsa, "Muller", "%LLER", false},
      {kEnglishUsa, "Muller", "%ller", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.locale_id << " '" << row.text << "' LIKE '"
                                    << row.pattern << "'");
    EXPECT_EQ(MatchLike(RequireCollation(row.locale_id, 0, "T"), row.text, row.pattern),
              row.expected);
  }
  EXPECT_TRUE(MatchLike(kAnsi, 0, "abc", "A%"));
  EXPECT_THROW(MatchLike(kJapanese, 0, "abc", "A%"), ETabulaEngineError);
}

}  // namespace
}  // namespace tabula
