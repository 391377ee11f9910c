#include "engine/index/collation.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "engine/base/engine_error.h"

namespace tabula {

namespace {

// The one table from LocaleID to ICU locale and Windows ANSI code page. The order is the order
// in which the language list shows the languages. The German languages offer the phone book
// order as SortID 1; "Spanish (Castilian)" is the traditional Spanish sort.
constexpr TLanguageInfo kLanguages[] = {
    {"ANSI Standard", 0x0000, "", "windows-1252", false},
    {"Afrikaans", 0x0436, "af_ZA", "windows-1252", false},
    {"Albanian", 0x041C, "sq_AL", "windows-1250", false},
    {"Arabic (Saudi Arabia)", 0x0401, "ar_SA", "windows-1256", false},
    {"Arabic (Iraq)", 0x0801, "ar_IQ", "windows-1256", false},
    {"Arabic (Egypt)", 0x0C01, "ar_EG", "windows-1256", false},
    {"Arabic (Libya)", 0x1001, "ar_LY", "windows-1256", false},
    {"Arabic (Algeria)", 0x1401, "ar_DZ", "windows-1256", false},
    {"Arabic (Morocco)", 0x1801, "ar_MA", "windows-1256", false},
    {"Arabic (Tunisia)", 0x1C01, "ar_TN", "windows-1256", false},
    {"Arabic (Oman)", 0x2001, "ar_OM", "windows-1256", false},
    {"Arabic (Yemen)", 0x2401, "ar_YE", "windows-1256", false},
    {"Arabic (Syria)", 0x2801, "ar_SY", "windows-1256", false},
    {"Arabic (Jordan)", 0x2C01, "ar_JO", "windows-1256", false},
    {"Arabic (Lebanon)", 0x3001, "ar_LB", "windows-1256", false},
    {"Arabic (Kuwait)", 0x3401, "ar_KW", "windows-1256", false},
    {"Arabic (U.A.E)", 0x3801, "ar_AE", "windows-1256", false},
    {"Arabic (Bahrain)", 0x3C01, "ar_BH", "windows-1256", false},
    {"Arabic (Qatar)", 0x4001, "ar_QA", "windows-1256", false},
    {"Basque", 0x042D, "eu_ES", "windows-1252", false},
    {"Belarusian", 0x0423, "be_BY", "windows-1251", false},
    {"Bulgarian", 0x0402, "bg_BG", "windows-1251", false},
    {"Catalan", 0x0403, "ca_ES", "windows-1252", false},
    {"Croatian", 0x041A, "hr_HR", "windows-1250", false},
    {"Czech", 0x0405, "cs_CZ", "windows-1250", false},
    {"Danish", 0x0406, "da_DK", "windows-1252", false},
    {"Dutch (Standard)", 0x0413, "nl_NL", "windows-1252", false},
    {"Dutch (Belgian)", 0x0813, "nl_BE", "windows-1252", false},
    {"English (USA)", 0x0409, "en_US", "windows-1252", false},
    {"English (UK)", 0x0809, "en_GB", "windows-1252", false},
    {"English (Australian)", 0x0C09, "en_AU", "windows-1252", false},
    {"English (Canadian)", 0x1009, "en_CA", "windows-1252", false},
    {"English (New Zealand)", 0x1409, "en_NZ", "windows-1252", false},
    {"English (Irish)", 0x1809, "en_IE", "windows-1252", false},
    {"English (South Africa)", 0x1C09, "en_ZA", "windows-1252", false},
    {"English (Jamaica)", 0x2009, "en_JM", "windows-1252", false},
    {"English (Caribbean)", 0x2409, "en_029", "windows-1252", false},
    {"English (Belize)", 0x2809, "en_BZ", "windows-1252", false},
    {"English (Trinidad)", 0x2C09, "en_TT", "windows-1252", false},
    {"Estonian", 0x0425, "et_EE", "windows-1257", false},
    {"Faeroese", 0x0438, "fo_FO", "windows-1252", false},
    {"Farsi", 0x0429, "fa_IR", "windows-1256", false},
    {"Finnish", 0x040B, "fi_FI", "windows-1252", false},
    {"French (Standard)", 0x040C, "fr_FR", "windows-1252", false},
    {"French (Belgian)", 0x080C, "fr_BE", "windows-1252", false},
    {"French (Canadian)", 0x0C0C, "fr_CA", "windows-1252", false},
    {"French (Swiss)", 0x100C, "fr_CH", "windows-1252", false},
    {"French (Luxembourg)", 0x140C, "fr_LU", "windows-1252", false},
    {"German (Standard)", 0x0407, "de_DE", "windows-1252", true},
    {"German (Swiss)", 0x0807, "de_CH", "windows-1252", true},
    {"German (Austrian)", 0x0C07, "de_AT", "windows-1252", true},
    {"German (Luxembourg)", 0x1007, "de_LU", "windows-1252", true},
    {"German (Liechtenstein)", 0x1407, "de_LI", "windows-1252", true},
    {"Greek", 0x0408, "el_GR", "windows-1253", false},
    {"Hebrew", 0x040D, "he_IL", "windows-1255", false},
    {"Hungarian", 0x040E, "hu_HU", "windows-1250", false},
    {"Icelandic", 0x040F, "is_IS", "windows-1252", false},
    {"Indonesian", 0x0421, "id_ID", "windows-1252", false},
    {"Italian (Standard)", 0x0410, "it_IT", "windows-1252", false},
    {"Italian (Swiss)", 0x0810, "it_CH", "windows-1252", false},
    {"Latvian", 0x0426, "lv_LV", "windows-1257", false},
    {"Lithuanian", 0x0427, "lt_LT", "windows-1257", false},
    {"Norwegian (Bokmal)", 0x0414, "nb_NO", "windows-1252", false},
    {"Norwegian (Nynorsk)", 0x0814, "nn_NO", "windows-1252", false},
    {"Polish", 0x0415, "pl_PL", "windows-1250", false},
    {"Portuguese (Standard)", 0x0816, "pt_PT", "windows-1252", false},
    {"Portuguese (Brazilian)", 0x0416, "pt_BR", "windows-1252", false},
    {"Romanian", 0x0418, "ro_RO", "windows-1250", false},
    {"Russian", 0x0419, "ru_RU", "windows-1251", false},
    {"Serbian (Latin)", 0x081A, "sr_Latn_RS", "windows-1250", false},
    {"Serbian (Cyrillic)", 0x0C1A, "sr_Cyrl_RS", "windows-1251", false},
    {"Slovak", 0x041B, "sk_SK", "windows-1250", false},
    {"Slovenian", 0x0424, "sl_SI", "windows-1250", false},
    {"Spanish (Castilian)", 0x040A, "es_ES@collation=traditional", "windows-1252", false},
    {"Spanish (Mexican)", 0x080A, "es_MX", "windows-1252", false},
    {"Spanish (Modern)", 0x0C0A, "es_ES", "windows-1252", false},
    {"Spanish (Guatemala)", 0x100A, "es_GT", "windows-1252", false},
    {"Spanish (Costa Rica)", 0x140A, "es_CR", "windows-1252", false},
    {"Spanish (Panama)", 0x180A, "es_PA", "windows-1252", false},
    {"Spanish (Dominican Republic)", 0x1C0A, "es_DO", "windows-1252", false},
    {"Spanish (Venezuela)", 0x200A, "es_VE", "windows-1252", false},
    {"Spanish (Colombia)", 0x240A, "es_CO", "windows-1252", false},
    {"Spanish (Peru)", 0x280A, "es_PE", "windows-1252", false},
    {"Spanish (Argentina)", 0x2C0A, "es_AR", "windows-1252", false},
    {"Spanish (Ecuador)", 0x300A, "es_EC", "windows-1252", false},
    {"Spanish (Chile)", 0x340A, "es_CL", "windows-1252", false},
    {"Spanish (Uruguay)", 0x380A, "es_UY", "windows-1252", false},
    {"Spanish (Paraguay)", 0x3C0A, "es_PY", "windows-1252", false},
    {"Spanish (Bolivia)", 0x400A, "es_BO", "windows-1252", false},
    {"Spanish (El Salvador)", 0x440A, "es_SV", "windows-1252", false},
    {"Spanish (Honduras)", 0x480A, "es_HN", "windows-1252", false},
    {"Spanish (Nicaragua)", 0x4C0A, "es_NI", "windows-1252", false},
    {"Spanish (Puerto Rico)", 0x500A, "es_PR", "windows-1252", false},
    {"Swedish (Standard)", 0x041D, "sv_SE", "windows-1252", false},
    {"Swedish (Finland)", 0x081D, "sv_FI", "windows-1252", false},
    {"Thai", 0x041E, "th_TH", "windows-874", false},
    {"Turkish", 0x041F, "tr_TR", "windows-1254", false},
    {"Ukranian", 0x0422, "uk_UA", "windows-1251", false},
    {"Vietnamese", 0x042A, "vi_VN", "windows-1258", false},
};
constexpr std::size_t kLanguageCount = sizeof kLanguages / sizeof kLanguages[0];
static_assert(kLanguageCount == 99);

// Sort orders per language: "Default Order", and the phone book order where offered.
constexpr std::size_t kMaxSortOrders = 2;

// Language names are ASCII; other characters match only themselves.
bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Position of `locale_id` in kLanguages, or -1.
int LanguagePosition(std::uint16_t locale_id) {
  // Positions sorted by LocaleID, built once.
  static const std::array<std::uint8_t, kLanguageCount> by_id = [] {
    std::array<std::uint8_t, kLanguageCount> positions{};
    for (std::size_t i = 0; i < kLanguageCount; ++i) positions[i] = static_cast<std::uint8_t>(i);
    std::sort(positions.begin(), positions.end(), [](std::uint8_t x, std::uint8_t y) {
      return kLanguages[x].LocaleID < kLanguages[y].LocaleID;
    });
    return positions;
  }();
  const auto it = std::lower_bound(
      by_id.begin(), by_id.end(), locale_id,
      [](std::uint8_t position, std::uint16_t id) { return kLanguages[position].LocaleID < id; });
  if (it == by_id.end() || kLanguages[*it].LocaleID != locale_id) return -1;
  return *it;
}

std::size_t SortOrderCount(const TLanguageInfo& language) {
  return language.PhoneBookOrder ? 2 : 1;
}

const char* SortOrderName(std::size_t sort_id) {
  return sort_id == 0 ? kDefaultOrderName : kPhoneBookOrderName;
}

// True when ICU has locale data for the language of `icu_locale` (a collator for a language it
// does not know silently falls back to the root order).
bool IcuKnowsLanguage(const char* icu_locale) {
  static const std::set<std::string> languages = [] {
    std::set<std::string> known;
    const int count = uloc_countAvailable();
    for (int i = 0; i < count; ++i) {
      char language[ULOC_LANG_CAPACITY];
      UErrorCode status = U_ZERO_ERROR;
      uloc_getLanguage(uloc_getAvailable(i), language, sizeof language, &status);
      if (U_SUCCESS(status)) known.insert(language);
    }
    return known;
  }();
  char language[ULOC_LANG_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLanguage(icu_locale, language, sizeof language, &status);
  return U_SUCCESS(status) && languages.count(language) != 0;
}

// Opens a collator with string-sort rules (punctuation is not ignorable), nonspacing marks
// ignored (primary strength) and, unless case is ignored, letter case kept through the case
// level. nullptr when ICU cannot serve `icu_locale`, including a requested collation variant
// (such as the phone book order) that it does not have.
UCollator* OpenCollator(const char* icu_locale, bool case_insensitive) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open(icu_locale, &status);
  if (U_FAILURE(status) || collator == nullptr) return nullptr;
  const char* variant = std::strchr(icu_locale, '@');
  if (variant != nullptr) {
    const char* valid = ucol_getLocaleByType(collator, ULOC_VALID_LOCALE, &status);
    if (U_FAILURE(status) || valid == nullptr || std::strstr(valid, variant) == nullptr) {
      ucol_close(collator);
      return nullptr;
    }
  }
  ucol_setAttribute(collator, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
  ucol_setAttribute(collator, UCOL_STRENGTH, UCOL_PRIMARY, &status);
  ucol_setAttribute(collator, UCOL_CASE_LEVEL, case_insensitive ? UCOL_OFF : UCOL_ON, &status);
  if (U_FAILURE(status)) {
    ucol_close(collator);
    return nullptr;
  }
  return collator;
}

// Decodes `length` bytes into UTF-16 units through the code page's table.
void Decode(const std::array<char16_t, 256>& table, const char* text, std::size_t length,
            char16_t* out) {
  for (std::size_t i = 0; i < length; ++i) out[i] = table[static_cast<std::uint8_t>(text[i])];
}

// A UTF-16 buffer on the stack for short texts and on the heap for long ones.
class TDecodedText {
 public:
  TDecodedText(const std::array<char16_t, 256>& table, const char* text, std::size_t length)
      : length_(length) {
    char16_t* out = stack_;
    if (length > TCollation::kStackTextLength) {
      heap_ = std::make_unique<char16_t[]>(length);
      out = heap_.get();
    }
    Decode(table, text, length, out);
  }
  const UChar* Data() const { return heap_ ? heap_.get() : stack_; }
  std::int32_t Length() const { return static_cast<std::int32_t>(length_); }

 private:
  std::size_t length_;
  char16_t stack_[TCollation::kStackTextLength];
  std::unique_ptr<char16_t[]> heap_;
};

int Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

}  // namespace

std::span<const TLanguageInfo> LanguageList() {
  return std::span<const TLanguageInfo>(kLanguages, kLanguageCount);
}

const TLanguageInfo* FindLanguage(std::uint16_t locale_id) {
  const int position = LanguagePosition(locale_id);
  return position < 0 ? nullptr : &kLanguages[position];
}

bool LanguageExists(std::string_view name) {
  for (const TLanguageInfo& language : kLanguages) {
    if (EqualNoCase(language.Name, name)) return true;
  }
  return false;
}

std::uint16_t LanguageId(std::string_view name) {
  for (const TLanguageInfo& language : kLanguages) {
    if (EqualNoCase(language.Name, name)) return language.LocaleID;
  }
  return 0;
}

bool SortOrderExists(std::uint16_t locale_id, std::string_view sort_name) {
  const TLanguageInfo* language = FindLanguage(locale_id);
  if (language == nullptr) return false;
  for (std::size_t i = 0; i < SortOrderCount(*language); ++i) {
    if (EqualNoCase(SortOrderName(i), sort_name)) return true;
  }
  return false;
}

std::uint16_t SortId(std::uint16_t locale_id, std::string_view sort_name) {
  const TLanguageInfo* language = FindLanguage(locale_id);
  if (language == nullptr) return 0;
  for (std::size_t i = 0; i < SortOrderCount(*language); ++i) {
    if (EqualNoCase(SortOrderName(i), sort_name)) return static_cast<std::uint16_t>(i);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// TCollation

TCollation::~TCollation() {
  if (collator_ != nullptr) ucol_close(static_cast<UCollator*>(collator_));
  if (collator_nocase_ != nullptr) ucol_close(static_cast<UCollator*>(collator_nocase_));
}

std::unique_ptr<TCollation> TCollation::Create(const TLanguageInfo& language,
                                               std::uint16_t sort_id) {
  std::unique_ptr<TCollation> collation(new TCollation());
  collation->locale_id_ = language.LocaleID;
  collation->sort_id_ = language.LocaleID == 0 ? 0 : sort_id;
  collation->code_page_ = language.CodePage;

  // Decode table. A byte the code page leaves undefined gets a private-use code of its own,
  // so that no two bytes decode alike.
  UErrorCode status = U_ZERO_ERROR;
  UConverter* converter = ucnv_open(language.CodePage, &status);
  if (U_FAILURE(status) || converter == nullptr) return nullptr;
  for (int byte = 0; byte < 256; ++byte) {
    const char source = static_cast<char>(byte);
    UChar target[4];
    UErrorCode error = U_ZERO_ERROR;
    ucnv_reset(converter);
    const std::int32_t count = ucnv_toUChars(converter, target, 4, &source, 1, &error);
    const bool defined = U_SUCCESS(error) && count == 1 && target[0] != 0xFFFD &&
                         (target[0] != 0x1A || byte == 0x1A);
    collation->decode_[byte] = defined ? target[0] : static_cast<char16_t>(0xE000 + byte);
  }
  ucnv_close(converter);

  // Simple one-to-one case mappings that stay inside the code page. The bytes are found by
  // their codes through a sorted list (of the bytes decoding alike, the highest).
  std::array<std::pair<char16_t, int>, 256> by_code;
  for (int byte = 0; byte < 256; ++byte) by_code[byte] = {collation->decode_[byte], byte};
  std::sort(by_code.begin(), by_code.end());
  auto byte_of = [&by_code](UChar32 code, int otherwise) {
    if (code < 0 || code > 0xFFFF) return otherwise;
    const auto end = std::upper_bound(by_code.begin(), by_code.end(),
                                      std::pair<char16_t, int>{static_cast<char16_t>(code), 256});
    if (end == by_code.begin() || std::prev(end)->first != code) return otherwise;
    return std::prev(end)->second;
  };
  for (int byte = 0; byte < 256; ++byte) {
    const UChar32 code = collation->decode_[byte];
    const UChar32 upper = u_toupper(code);
    const UChar32 lower = u_tolower(code);
    collation->upper_[byte] =
        static_cast<std::uint8_t>(upper != code ? byte_of(upper, byte) : byte);
    collation->lower_[byte] =
        static_cast<std::uint8_t>(lower != code ? byte_of(lower, byte) : byte);
  }

  if (language.LocaleID != 0) {
    std::string icu_locale = language.IcuLocale;
    if (sort_id == 1) icu_locale += "@collation=phonebook";
    if (!IcuKnowsLanguage(icu_locale.c_str())) return nullptr;
    collation->collator_ = OpenCollator(icu_locale.c_str(), false);
    collation->collator_nocase_ = OpenCollator(icu_locale.c_str(), true);
    if (collation->collator_ == nullptr || collation->collator_nocase_ == nullptr) return nullptr;
  }
  collation->BuildCharOrder();
  return collation;
}

void TCollation::BuildCharOrder() {
  for (int c = 0; c < 256; ++c) order_[c] = static_cast<std::uint8_t>(c);
  if (IsAnsi()) {
    rank_ = order_;
    return;
  }
  // One-character texts; the zero byte is the empty text.
  auto compare = [this](std::uint8_t x, std::uint8_t y) {
    const char a = static_cast<char>(x), b = static_cast<char>(y);
    return CompareLocale(&a, x != 0, &b, y != 0, false);
  };
  std::stable_sort(order_.begin(), order_.end(),
                   [&](std::uint8_t x, std::uint8_t y) { return compare(x, y) < 0; });
  std::uint8_t rank = 0;
  rank_[order_[0]] = 0;
  for (int i = 1; i < 256; ++i) {
    if (compare(order_[i - 1], order_[i]) != 0) ++rank;
    rank_[order_[i]] = rank;
  }
}

int TCollation::CompareLocale(const char* a, std::size_t a_length, const char* b,
                              std::size_t b_length, bool case_insensitive) const {
  if (a_length == b_length && std::memcmp(a, b, a_length) == 0) return 0;
  const TDecodedText wide_a(decode_, a, a_length);
  const TDecodedText wide_b(decode_, b, b_length);
  const UCollator* collator =
      static_cast<const UCollator*>(case_insensitive ? collator_nocase_ : collator_);
  switch (ucol_strcoll(collator, wide_a.Data(), wide_a.Length(), wide_b.Data(), wide_b.Length())) {
    case UCOL_LESS:
      return -1;
    case UCOL_GREATER:
      return 1;
    default:
      return 0;
  }
}

int TCollation::CompareText(const char* a, const char* b, bool case_insensitive,
                            std::size_t length) const {
  if (IsAnsi()) {
    const auto* x = reinterpret_cast<const std::uint8_t*>(a);
    const auto* y = reinterpret_cast<const std::uint8_t*>(b);
    if (length == 0) {
      for (std::size_t i = 0;; ++i) {
        const std::uint8_t p = case_insensitive ? upper_[x[i]] : x[i];
        const std::uint8_t q = case_insensitive ? upper_[y[i]] : y[i];
        if (p != q) return p < q ? -1 : 1;
        if (x[i] == 0) return 0;
      }
    }
    if (!case_insensitive) return Sign(std::memcmp(x, y, length));
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint8_t p = upper_[x[i]], q = upper_[y[i]];
      if (p != q) return p < q ? -1 : 1;
    }
    return 0;
  }
  const std::size_t a_length = length == 0 ? std::strlen(a) : strnlen(a, length);
  const std::size_t b_length = length == 0 ? std::strlen(b) : strnlen(b, length);
  return CompareLocale(a, a_length, b, b_length, case_insensitive);
}

int TCollation::Compare(std::string_view a, std::string_view b, bool case_insensitive) const {
  if (IsAnsi()) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
      std::uint8_t p = static_cast<std::uint8_t>(a[i]);
      std::uint8_t q = static_cast<std::uint8_t>(b[i]);
      if (case_insensitive) {
        p = upper_[p];
        q = upper_[q];
      }
      if (p != q) return p < q ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  }
  const std::size_t a_end = a.find('\0');
  const std::size_t b_end = b.find('\0');
  return CompareLocale(a.data(), a_end == std::string_view::npos ? a.size() : a_end, b.data(),
                       b_end == std::string_view::npos ? b.size() : b_end, case_insensitive);
}

void TCollation::UpperText(char* text, std::size_t length) const {
  for (std::size_t i = 0; i < length; ++i) {
    text[i] = static_cast<char>(upper_[static_cast<std::uint8_t>(text[i])]);
  }
}

void TCollation::LowerText(char* text, std::size_t length) const {
  for (std::size_t i = 0; i < length; ++i) {
    text[i] = static_cast<char>(lower_[static_cast<std::uint8_t>(text[i])]);
  }
}

std::string TCollation::Upper(std::string_view text) const {
  std::string result(text);
  UpperText(result.data(), result.size());
  return result;
}

std::string TCollation::Lower(std::string_view text) const {
  std::string result(text);
  LowerText(result.data(), result.size());
  return result;
}

// ---------------------------------------------------------------------------------------------
// The process-wide collations, one slot per (language, sort order), each built once.

class TCollationRegistry {
 public:
  static const TCollation* Find(std::uint16_t locale_id, std::uint16_t sort_id) {
    const int position = LanguagePosition(locale_id);
    if (position < 0) return nullptr;
    const TLanguageInfo& language = kLanguages[position];
    if (locale_id == 0) sort_id = 0;
    if (sort_id >= SortOrderCount(language)) return nullptr;
    TSlot& slot = Slots()[position * kMaxSortOrders + sort_id];
    std::call_once(slot.once, [&] { slot.collation = TCollation::Create(language, sort_id); });
    return slot.collation.get();
  }

 private:
  struct TSlot {
    std::once_flag once;
    std::unique_ptr<TCollation> collation;  // written once under `once`, then read-only
  };
  static std::array<TSlot, kLanguageCount * kMaxSortOrders>& Slots() {
    static std::array<TSlot, kLanguageCount * kMaxSortOrders> slots;
    return slots;
  }
};

const TCollation* FindCollation(std::uint16_t locale_id, std::uint16_t sort_id) {
  return TCollationRegistry::Find(locale_id, sort_id);
}

const TCollation& RequireCollation(std::uint16_t locale_id, std::uint16_t sort_id,
                                   const std::string& table_name) {
  const TCollation* collation = FindCollation(locale_id, sort_id);
  if (collation == nullptr) RaiseTableError(TABULA_CANNOTLOADLDDRV, table_name);
  return *collation;
}

bool LocaleInstalled(std::uint16_t locale_id, std::uint16_t sort_id) {
  return FindCollation(locale_id, sort_id) != nullptr;
}

int CompareText(std::uint16_t locale_id, std::uint16_t sort_id, const char* a, const char* b,
                bool case_insensitive, std::size_t length) {
  return RequireCollation(locale_id, sort_id, std::string())
      .CompareText(a, b, case_insensitive, length);
}

void UpperText(std::uint16_t locale_id, std::uint16_t sort_id, char* text) {
  RequireCollation(locale_id, sort_id, std::string()).UpperText(text, std::strlen(text));
}

void LowerText(std::uint16_t locale_id, std::uint16_t sort_id, char* text) {
  RequireCollation(locale_id, sort_id, std::string()).LowerText(text, std::strlen(text));
}

void UpperText(std::uint16_t locale_id, std::uint16_t sort_id, std::string& text) {
  RequireCollation(locale_id, sort_id, std::string()).UpperText(text.data(), text.size());
}

void LowerText(std::uint16_t locale_id, std::uint16_t sort_id, std::string& text) {
  RequireCollation(locale_id, sort_id, std::string()).LowerText(text.data(), text.size());
}

// ---------------------------------------------------------------------------------------------
// Character-map cache

namespace {

class TCharMapCache {
 public:
  static TCharMapCache& Instance() {
    static TCharMapCache cache;
    return cache;
  }

  TCharMap Get(std::uint16_t locale_id, std::uint16_t sort_id) {
    const std::uint32_t key = (static_cast<std::uint32_t>(sort_id) << 16) | locale_id;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (const TEntry& entry : entries_) {
        if (entry.key == key) return entry.map;
      }
    }
    // Built outside the lock: the collation may take a while to open, and building the same
    // map twice in a race gives the same map.
    const TCharMap map = RequireCollation(locale_id, sort_id, std::string()).CharOrder();
    std::lock_guard<std::mutex> guard(mutex_);
    for (const TEntry& entry : entries_) {
      if (entry.key == key) return entry.map;
    }
    entries_.push_back(TEntry{key, map});
    return map;
  }

  std::size_t Count() {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.size();
  }

  void Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.clear();
    entries_.reserve(kInitialCapacity);
  }

 private:
  static constexpr std::size_t kInitialCapacity = 256;
  struct TEntry {
    std::uint32_t key;  // SortID << 16 | LocaleID
    TCharMap map;
  };
  TCharMapCache() { entries_.reserve(kInitialCapacity); }

  std::mutex mutex_;
  std::vector<TEntry> entries_;  // guarded by mutex_
};

}  // namespace

TCharMap CharMap(std::uint16_t locale_id, std::uint16_t sort_id) {
  return TCharMapCache::Instance().Get(locale_id, sort_id);
}

std::size_t CharMapCacheCount() { return TCharMapCache::Instance().Count(); }

void ClearCharMapCache() { TCharMapCache::Instance().Clear(); }

// ---------------------------------------------------------------------------------------------

bool MatchLike(const TCollation& collation, std::string_view text, std::string_view pattern) {
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t t = 0, p = 0;
  std::size_t resume_pattern = kNone, resume_text = 0;
  for (;;) {
    if (p + 1 == pattern.size() && pattern[p] == '%') return true;
    if (p == pattern.size() && t == text.size()) return true;
    if (p < pattern.size() && pattern[p] == '%') {
      resume_pattern = ++p;
      resume_text = t;
      continue;
    }
    if (p < pattern.size() && t < text.size() &&
        (pattern[p] == '_' || collation.LikeCharEqual(static_cast<std::uint8_t>(pattern[p]),
                                                      static_cast<std::uint8_t>(text[t])))) {
      ++p;
      ++t;
      continue;
    }
    if (resume_pattern != kNone && resume_text < text.size()) {
      t = ++resume_text;
      p = resume_pattern;
      continue;
    }
    return false;
  }
}

bool MatchLike(std::uint16_t locale_id, std::uint16_t sort_id, std::string_view text,
               std::string_view pattern) {
  return MatchLike(RequireCollation(locale_id, sort_id, std::string()), text, pattern);
}

}  // namespace tabula
