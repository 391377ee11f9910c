// Languages, sort orders and the collation of 8-bit engine texts.
//
// A table's collation is the pair (LocaleID, SortID) from its data file header. LocaleID 0 is
// "ANSI Standard": texts compare as unsigned bytes, and upper/lower casing follows English (USA).
// Any other LocaleID names a language of the list below; the pair is served by ICU: the texts
// are decoded with the language's Windows ANSI code page and collated under its ICU locale with
// string-sort rules (hyphens and apostrophes are ordinary symbols), nonspacing marks (accents)
// ignored, and, when asked, letter case ignored.
//
// One TCollation object exists per installed pair for the life of the process; it holds the
// ICU collators (case-sensitive and case-insensitive), the code page's decode table and its
// upper/lower case tables. Looking one up is cheap (a binary search and an atomic load), and
// comparing through it allocates nothing for texts up to kStackTextLength characters.
//
// The character map of a pair (the 256 character codes from the lowest- to the highest-ranked)
// is kept in a process-wide cache that cursors copy from when they open.
//
// Thread-safety: the language list is constant. TCollation objects are immutable once built and
// are built once per pair under std::call_once; their methods may be called from any thread.
// The character-map cache is guarded by its own mutex.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace tabula {

// One row of the language list: the name that SQL's LANGUAGE clause accepts, the LocaleID a
// table stores, and how ICU serves it. The list holds every language the engine offers, in
// the order the list shows them; "ANSI Standard" (LocaleID 0) comes first.
struct TLanguageInfo {
  const char* Name;
  std::uint16_t LocaleID;
  const char* IcuLocale;  // ICU locale for the default order; empty for "ANSI Standard"
  const char* CodePage;   // ICU converter name of the language's Windows ANSI code page
  bool PhoneBookOrder;    // offers "German Phone Book Order" as SortID 1
};

// The language list (99 rows), constant for the life of the process.
std::span<const TLanguageInfo> LanguageList();

// The row of `locale_id`, or nullptr when the list has no such language.
const TLanguageInfo* FindLanguage(std::uint16_t locale_id);

inline constexpr const char* kDefaultOrderName = "Default Order";
inline constexpr const char* kPhoneBookOrderName = "German Phone Book Order";

// True when the language list holds `name` (case-insensitive).
bool LanguageExists(std::string_view name);
// The LocaleID of `name` (case-insensitive); 0 for a name not in the list.
std::uint16_t LanguageId(std::string_view name);
// True when the language offers the sort order `sort_name` (case-insensitive).
bool SortOrderExists(std::uint16_t locale_id, std::string_view sort_name);
// The SortID of `sort_name`: its position in the language's sort-order list; 0 when not found.
std::uint16_t SortId(std::uint16_t locale_id, std::string_view sort_name);

// 256 character codes, lowest-ranked first.
using TCharMap = std::array<std::uint8_t, 256>;

class TCollation {
 public:
  // Texts up to this many characters are decoded into stack buffers when compared.
  static constexpr std::size_t kStackTextLength = 512;

  TCollation(const TCollation&) = delete;
  TCollation& operator=(const TCollation&) = delete;
  ~TCollation();

  std::uint16_t LocaleID() const { return locale_id_; }
  std::uint16_t SortID() const { return sort_id_; }
  bool IsAnsi() const { return locale_id_ == 0; }
  // ICU converter name of the code page the 8-bit texts are in.
  const char* CodePage() const { return code_page_; }

  // Compares two texts: -1 when `a` sorts first, 0 when equal, 1 when `a` sorts after `b`.
  // length 0: each text up to its terminating zero (ANSI: up to and including the first text's
  // terminating zero). length n: n characters of each (ANSI: n bytes, the first differing byte
  // decides). Under a locale a zero byte ends a text even within n characters, so the zero
  // padding of key segments weighs nothing and a text sorts before its extensions.
  // REQUIRES: with length n, both buffers hold at least n bytes, or a zero byte before them.
  int CompareText(const char* a, const char* b, bool case_insensitive,
                  std::size_t length = 0) const;

  // Compares two texts of their own lengths (zero bytes end a text under a locale; in ANSI
  // order they are bytes like any other, and a text sorts before its extensions).
  int Compare(std::string_view a, std::string_view b, bool case_insensitive) const;

  std::uint8_t UpperChar(std::uint8_t c) const { return upper_[c]; }
  std::uint8_t LowerChar(std::uint8_t c) const { return lower_[c]; }
  // Map `length` bytes in place; letters without a single-byte counterpart in the code page
  // (such as the sharp s upper-cased) stay as they are.
  void UpperText(char* text, std::size_t length) const;
  void LowerText(char* text, std::size_t length) const;
  std::string Upper(std::string_view text) const;
  std::string Lower(std::string_view text) const;

  // The character order: the 256 codes sorted with CompareText (case-sensitive, length 1);
  // codes that compare equal keep ascending code order. For ANSI: 0, 1, ..., 255.
  const TCharMap& CharOrder() const { return order_; }
  // Position of `c`'s equivalence class in the character order: two codes compare equal
  // (case-sensitive, length 1) exactly when their ranks are equal.
  std::uint8_t CharRank(std::uint8_t c) const { return rank_[c]; }

  // One character of a LIKE pattern against one text character: ANSI compares both
  // upper-cased; a locale compares them with the collation, case-sensitive.
  bool LikeCharEqual(std::uint8_t pattern_char, std::uint8_t text_char) const {
    return IsAnsi() ? upper_[pattern_char] == upper_[text_char]
                    : rank_[pattern_char] == rank_[text_char];
  }

 private:
  friend class TCollationRegistry;
  TCollation() = default;
  // Builds the collation of `language` and `sort_id`; nullptr when ICU cannot serve it.
  static std::unique_ptr<TCollation> Create(const TLanguageInfo& language, std::uint16_t sort_id);
  int CompareLocale(const char* a, std::size_t a_length, const char* b, std::size_t b_length,
                    bool case_insensitive) const;
  void BuildCharOrder();

  std::uint16_t locale_id_ = 0;
  std::uint16_t sort_id_ = 0;
  const char* code_page_ = "";
  // ICU collators (UCollator*), owned; null for ANSI.
  void* collator_ = nullptr;            // primary strength with the case level
  void* collator_nocase_ = nullptr;     // primary strength
  std::array<char16_t, 256> decode_{};  // code page byte -> UTF-16 unit
  std::array<std::uint8_t, 256> upper_{};
  std::array<std::uint8_t, 256> lower_{};
  TCharMap order_{};
  std::array<std::uint8_t, 256> rank_{};
};

// The collation of a pair, or nullptr when the pair is not installed: the language is not in
// the list, it does not offer the sort order, or ICU cannot serve its locale or code page.
// LocaleID 0 is always installed, whatever the SortID. Built on first use, kept for the life of
// the process.
const TCollation* FindCollation(std::uint16_t locale_id, std::uint16_t sort_id);

// As FindCollation, but a pair that is not installed raises TABULA_CANNOTLOADLDDRV naming
// `table_name` (the table being created or opened).
const TCollation& RequireCollation(std::uint16_t locale_id, std::uint16_t sort_id,
                                   const std::string& table_name);

// Whether the platform has the locale (see FindCollation).
bool LocaleInstalled(std::uint16_t locale_id, std::uint16_t sort_id);

// The collation services by pair. Each raises TABULA_CANNOTLOADLDDRV (with no table name) for
// a pair that is not installed; callers that hold an open table use its TCollation directly.
int CompareText(std::uint16_t locale_id, std::uint16_t sort_id, const char* a, const char* b,
                bool case_insensitive, std::size_t length = 0);
// Map the text up to its terminating zero, in place.
void UpperText(std::uint16_t locale_id, std::uint16_t sort_id, char* text);
void LowerText(std::uint16_t locale_id, std::uint16_t sort_id, char* text);
void UpperText(std::uint16_t locale_id, std::uint16_t sort_id, std::string& text);
void LowerText(std::uint16_t locale_id, std::uint16_t sort_id, std::string& text);

// The character map of a pair, from the process-wide cache (computed and entered on first use).
TCharMap CharMap(std::uint16_t locale_id, std::uint16_t sort_id);
// Number of pairs in the character-map cache.
std::size_t CharMapCacheCount();
// Discards the cache; the engine calls it at shutdown.
void ClearCharMapCache();

// SQL's LIKE: `%` matches any run of characters, `_` exactly one, every other pattern character
// one text character for which LikeCharEqual holds. One backtrack point: on a mismatch after a
// `%`, matching resumes one text character further from that `%`. There is no escape character.
bool MatchLike(const TCollation& collation, std::string_view text, std::string_view pattern);
// The same by pair; raises TABULA_CANNOTLOADLDDRV for a pair that is not installed.
bool MatchLike(std::uint16_t locale_id, std::uint16_t sort_id, std::string_view text,
               std::string_view pattern);

}  // namespace tabula
