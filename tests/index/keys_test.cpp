#include "engine/index/keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"

namespace tabula {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kAnsi = 0x0000;
constexpr std::uint16_t kEnglish = 0x0409;

const TCollation& Collation(std::uint16_t locale_id) { return RequireCollation(locale_id, 0, "T"); }

// A table's fields laid out as the data file lays them out: areas from offset 9 on, each a null
// flag and PhysicalSize bytes; the auto-increment field is the record identifier at offset 5.
class TTestTable {
 public:
  struct Spec {
    std::uint8_t type;
    std::uint8_t size = 0;
    std::uint8_t subtype = fldstNone;
  };
  explicit TTestTable(std::vector<Spec> specs) {
    std::size_t offset = 9;
    for (const Spec& spec : specs) {
      TFieldDescriptor field;
      field.FieldNo = static_cast<std::uint16_t>(fields_.size() + 1);
      field.FieldType = spec.type;
      field.FieldSubType = spec.subtype;
      field.FieldSize = spec.size;
      field.PhysicalSize = PhysicalSizeOf(spec.type, spec.size);
      if (IsAutoIncField(spec.type, spec.subtype)) {
        field.FieldOffset = 5;
      } else {
        field.FieldOffset = static_cast<std::uint16_t>(offset);
        offset += 1u + field.PhysicalSize;
      }
      fields_.push_back(field);
    }
    record_size_ = offset;
  }

  TIndexKeys Index(std::uint16_t locale_id, std::vector<std::pair<int, bool>> fields,
                   bool unique = true, bool descending = false,
                   bool case_insensitive = false) const {
    TKeyIndexDef def;
    def.Unique = unique;
    def.Descending = descending;
    def.CaseInsensitive = case_insensitive;
    for (auto [field, field_descending] : fields) {
      def.Fields.push_back(TKeyField::FromDescriptor(fields_[field], field_descending));
    }
    return TIndexKeys(def, Collation(locale_id));
  }

  // A record: one value per field (nullopt = NULL), identifier `id`.
  using Value = std::variant<std::int64_t, double, std::string, Bytes>;
  Bytes Record(const std::vector<std::optional<Value>>& values, std::int32_t id = 1) const {
    Bytes record(record_size_, 0);
    EncodeFixed32(&record[1], 1);
    EncodeFixed32(&record[5], static_cast<std::uint32_t>(id));
    for (std::size_t i = 0; i < values.size(); ++i) {
      const TFieldDescriptor& field = fields_[i];
      if (!values[i] || IsAutoIncField(field.FieldType, field.FieldSubType)) continue;
      std::uint8_t* area = &record[field.FieldOffset];
      area[0] = 1;
      const Value& value = *values[i];
      switch (field.FieldType) {
        case fldString: {
          const std::string& text = std::get<std::string>(value);
          std::memcpy(area + 1, text.data(), text.size());
          break;
        }
        case fldSmallInt:
        case fldWord:
        case fldBoolean:
          EncodeFixed16(area + 1, static_cast<std::uint16_t>(std::get<std::int64_t>(value)));
          break;
        case fldInteger:
        case fldDate:
        case fldTime:
        case fldUnsignedInteger:
          EncodeFixed32(area + 1, static_cast<std::uint32_t>(std::get<std::int64_t>(value)));
          break;
        case fldLargeInt:
          EncodeFixed64(area + 1, static_cast<std::uint64_t>(std::get<std::int64_t>(value)));
          break;
        case fldFloat:
        case fldTimeStamp:
          EncodeDouble(area + 1, std::get<double>(value));
          break;
        default: {
          const Bytes& bytes = std::get<Bytes>(value);
          std::memcpy(area + 1, bytes.data(), bytes.size());
          break;
        }
      }
    }
    return record;
  }

  Bytes Key(const TIndexKeys& index, const std::vector<std::optional<Value>>& values,
            std::int32_t id = 1) const {
    const Bytes record = Record(values, id);
    Bytes key(index.KeyLength());
    EXPECT_EQ(index.BuildKey(record.data(), record.size(), key.data()), 0);
    return key;
  }

  const std::vector<TFieldDescriptor>& Fields() const { return fields_; }
  std::size_t RecordSize() const { return record_size_; }

 private:
  std::vector<TFieldDescriptor> fields_;
  std::size_t record_size_ = 0;
};

std::string Hex(const Bytes& bytes) {
  std::string text;
  char buffer[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(buffer, sizeof buffer, "%02X ", b);
    text += buffer;
  }
  return text;
}

// Keys listed in index order, each group holding keys that compare equal: every pair must
// compare as its groups are ordered, over the whole key.
void ExpectOrder(const TIndexKeys& index, const std::vector<std::vector<Bytes>>& groups) {
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (std::size_t h = 0; h < groups.size(); ++h) {
      for (const Bytes& a : groups[g]) {
        for (const Bytes& b : groups[h]) {
          const int expected = g < h ? -1 : (g > h ? 1 : 0);
          EXPECT_EQ(index.CompareKeys(a.data(), b.data(), index.KeyLength()), expected)
              << "group " << g << " [" << Hex(a) << "] vs group " << h << " [" << Hex(b) << "]";
        }
      }
    }
  }
}

TEST(KeyValueTest, FieldKeyValuesByHand) {
  struct Row {
    TTestTable::Spec spec;
    std::optional<TTestTable::Value> value;
    Bytes expected;  // null flag and key value
  };
  const Row rows[] = {
      {{fldInteger}, std::int64_t{-1}, {1, 0x7F, 0xFF, 0xFF, 0xFF}},
      {{fldInteger}, std::int64_t{0}, {1, 0x80, 0x00, 0x00, 0x00}},
      {{fldInteger}, std::int64_t{1}, {1, 0x80, 0x00, 0x00, 0x01}},
      {{fldInteger}, std::nullopt, {0, 0x80, 0x00, 0x00, 0x00}},
      {{fldDate}, std::int64_t{0x01020304}, {1, 0x81, 0x02, 0x03, 0x04}},
      {{fldTime}, std::int64_t{-2}, {1, 0x7F, 0xFF, 0xFF, 0xFE}},
      {{fldSmallInt}, std::int64_t{-2}, {1, 0x7F, 0xFE}},
      {{fldSmallInt}, std::nullopt, {0, 0x80, 0x00}},
      {{fldWord}, std::int64_t{0x1234}, {1, 0x12, 0x34}},
      {{fldBoolean}, std::int64_t{1}, {1, 0x00, 0x01}},
      {{fldLargeInt}, std::int64_t{-1}, {1, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {{fldFloat}, 3.0, {1, 0xC0, 0x08, 0, 0, 0, 0, 0, 0}},
      {{fldFloat}, -2.5, {1, 0x3F, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {{fldFloat}, 0.0, {1, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {{fldFloat}, -0.0, {1, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {{fldFloat}, std::nullopt, {0, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {{fldTimeStamp}, 1.0, {1, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}},
      {{fldFloat, 0, fldstMoney}, -1.0, {1, 0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      // Stored bytes unchanged: unsigned integer (little-endian as stored), bytes.
      {{fldUnsignedInteger}, std::int64_t{0x01020304}, {1, 0x04, 0x03, 0x02, 0x01}},
      {{fldBytes, 3}, Bytes{0xAA, 0x00, 0x55}, {1, 0xAA, 0x00, 0x55}},
      {{fldString, 4}, std::string("ab"), {1, 'a', 'b', 0, 0, 0}},
      {{fldString, 4}, std::string("abcd"), {1, 'a', 'b', 'c', 'd', 0}},
      {{fldString, 4}, std::nullopt, {0, 0, 0, 0, 0, 0}},
  };
  for (const Row& row : rows) {
    TTestTable table({row.spec});
    const TIndexKeys index = table.Index(kAnsi, {{0, false}});
    ASSERT_EQ(index.KeyLength(), row.expected.size());
    EXPECT_EQ(Hex(table.Key(index, {row.value})), Hex(row.expected))
        << FieldTypeName(row.spec.type);
  }

  // BCD: value × 10000 as a largeint key value.
  TTestTable bcd(std::vector<TTestTable::Spec>{{fldBCD}});
  Bytes record(bcd.RecordSize(), 0);
  record[bcd.Fields()[0].FieldOffset] = 1;
  ASSERT_TRUE(EncodeBcd(&record[bcd.Fields()[0].FieldOffset + 1], -125000, 2));  // -12.50
  const TIndexKeys index = bcd.Index(kAnsi, {{0, false}});
  Bytes key(index.KeyLength());
  ASSERT_EQ(index.BuildKey(record.data(), record.size(), key.data()), 0);
  Bytes expected(9);
  expected[0] = 1;
  EncodeLargeIntKey(&expected[1], -125000);
  EXPECT_EQ(Hex(key), Hex(expected));
  record[bcd.Fields()[0].FieldOffset + 1] = 0;  // no digits: zero
  ASSERT_EQ(index.BuildKey(record.data(), record.size(), key.data()), 0);
  EncodeLargeIntKey(&expected[1], 0);
  EXPECT_EQ(Hex(key), Hex(expected));
}

TEST(BuildKeyTest, WholeKeysByHand) {
  TTestTable table({{fldString, 5}, {fldInteger}, {fldInteger, 0, fldstAutoInc}});
  // Non-unique: the record-ID suffix follows the segments.
  const TIndexKeys index = table.Index(kAnsi, {{0, false}, {1, false}}, /*unique=*/false);
  EXPECT_EQ(index.KeyLength(), 1u + 6 + 1 + 4 + 4);
  EXPECT_EQ(Hex(table.Key(index, {std::string("ab"), std::int64_t{3}}, 9)),
            Hex({1, 'a', 'b', 0, 0, 0, 0, 1, 0x80, 0, 0, 3, 0x80, 0, 0, 9}));

  // ANSI: a descending field of an ascending index is stored inverted, a string's last byte not.
  const TIndexKeys inverted = table.Index(kAnsi, {{0, true}, {1, true}});
  EXPECT_EQ(Hex(table.Key(inverted, {std::string("ab"), std::nullopt})),
            Hex({0xFE, 0x9E, 0x9D, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}));
  // A descending index as a whole, or a table with a locale, stores nothing inverted.
  const TIndexKeys whole = table.Index(kAnsi, {{0, true}}, true, /*descending=*/true);
  EXPECT_EQ(Hex(table.Key(whole, {std::string("ab")})), Hex({1, 'a', 'b', 0, 0, 0, 0}));
  const TIndexKeys english = table.Index(kEnglish, {{0, true}});
  EXPECT_EQ(Hex(table.Key(english, {std::string("ab")})), Hex({1, 'a', 'b', 0, 0, 0, 0}));

  // Case-insensitive: upper-cased under the collation.
  const TIndexKeys nocase = table.Index(kAnsi, {{0, false}}, true, false, true);
  EXPECT_EQ(Hex(table.Key(nocase, {std::string("m\xFCl")})), Hex({1, 'M', 0xDC, 'L', 0, 0, 0}));

  // The auto-increment field is the record identifier: never NULL, no area of its own.
  const TIndexKeys autoinc = table.Index(kAnsi, {{2, false}});
  EXPECT_EQ(Hex(table.Key(autoinc, {std::nullopt, std::nullopt, std::nullopt}, 258)),
            Hex({1, 0x80, 0, 1, 2}));

  // "Sys Deleted": status byte and identifier.
  TIndexKeys deleted(TKeyIndexDef{TKeyIndexKind::ikSysDeleted, false, false, true, {}},
                     Collation(kEnglish));
  Bytes record = table.Record({}, -1);
  record[0] = 1;
  Bytes key(deleted.KeyLength());
  ASSERT_EQ(deleted.BuildKey(record.data(), record.size(), key.data()), 0);
  EXPECT_EQ(Hex(key), Hex({1, 0x7F, 0xFF, 0xFF, 0xFF}));
}

// An edit builds an index's old and new keys only when SameKeySource cannot rule out a change:
// it must answer "same" for changes elsewhere in the record, and "may differ" for any byte the
// key is built from, the record identifier included.
TEST(BuildKeyTest, SameKeySourceSeesEveryByteTheKeyReads) {
  TTestTable table({{fldString, 5}, {fldInteger}, {fldInteger, 0, fldstAutoInc}, {fldInteger}});
  // Non-unique, so the key ends in the record identifier.
  const TIndexKeys by_name = table.Index(kEnglish, {{0, false}}, /*unique=*/false);
  const TIndexKeys by_number = table.Index(kAnsi, {{1, false}, {3, true}});
  const TIndexKeys by_id = table.Index(kAnsi, {{2, false}});
  const TIndexKeys deleted(TKeyIndexDef{TKeyIndexKind::ikSysDeleted, false, false, true, {}},
                           Collation(kEnglish));
  using V = std::optional<TTestTable::Value>;
  const V name = std::string("ab");
  const Bytes base = table.Record({name, std::int64_t{3}, std::nullopt, std::int64_t{4}}, 7);
  Bytes status = base;
  status[0] = 2;
  Bytes null_flag = base;  // the value bytes stay, the flag says NULL
  null_flag[table.Fields()[0].FieldOffset] = 0;
  struct TCase {
    const char* what;
    Bytes record;
    bool same_name, same_number, same_id, same_deleted;
  };
  const TCase cases[] = {
      {"unchanged", base, true, true, true, true},
      {"the first number", table.Record({name, std::int64_t{9}, std::nullopt, std::int64_t{4}}, 7),
       true, false, true, true},
      {"the second number", table.Record({name, std::int64_t{3}, std::nullopt, std::nullopt}, 7),
       true, false, true, true},
      {"the name",
       table.Record({V{std::string("ac")}, std::int64_t{3}, std::nullopt, std::int64_t{4}}, 7),
       false, true, true, true},
      {"the name made NULL",
       table.Record({std::nullopt, std::int64_t{3}, std::nullopt, std::int64_t{4}}, 7), false, true,
       true, true},
      {"the name's null flag alone", null_flag, false, true, true, true},
      {"the identifier", table.Record({name, std::int64_t{3}, std::nullopt, std::int64_t{4}}, 8),
       false, false, false, false},
      {"the status byte", status, true, true, true, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::pair<const TIndexKeys*, bool> checks[] = {
        {&by_name, c.same_name},
        // Unique, so its key holds no identifier; a new identifier still counts as a change.
        {&by_number, c.same_number && c.same_id},
        {&by_id, c.same_id},
        {&deleted, c.same_deleted}};
    for (const auto& [index, same] : checks) {
      const bool said = index->SameKeySource(base.data(), c.record.data(), base.size());
      EXPECT_EQ(said, same);
      if (!said) continue;
      Bytes a(index->KeyLength());
      Bytes b(index->KeyLength());
      ASSERT_EQ(index->BuildKey(base.data(), base.size(), a.data()), 0);
      ASSERT_EQ(index->BuildKey(c.record.data(), c.record.size(), b.data()), 0);
      EXPECT_EQ(Hex(a), Hex(b)) << "said same, but the keys differ";
    }
  }
  // A record too short for its fields is never "the same": BuildKey reports it.
  EXPECT_FALSE(by_number.SameKeySource(base.data(), base.data(), base.size() - 1));
}

TEST(KeyIndexDefTest, FromIndexDescriptor) {
  TTestTable table({{fldString, 5}, {fldInteger}, {fldFloat}});
  TIndexDescriptor descriptor;
  descriptor.Unique = false;
  descriptor.CaseInsensitive = true;
  descriptor.FieldCount = 2;
  descriptor.FieldNumbers[0] = 3;
  descriptor.FieldNumbers[1] = 1;
  descriptor.FieldDescending[1] = 1;
  TKeyIndexDef definition;
  ASSERT_EQ(MakeKeyIndexDef(descriptor, 1, table.Fields(), &definition), 0);
  EXPECT_EQ(definition.Kind, TKeyIndexKind::ikNormal);
  EXPECT_TRUE(definition.CaseInsensitive);
  EXPECT_FALSE(definition.Unique);
  ASSERT_EQ(definition.Fields.size(), 2u);
  EXPECT_EQ(definition.Fields[0].FieldType, fldFloat);
  EXPECT_FALSE(definition.Fields[0].Descending);
  EXPECT_EQ(definition.Fields[1].FieldType, fldString);
  EXPECT_EQ(definition.Fields[1].FieldOffset, 9);
  EXPECT_TRUE(definition.Fields[1].Descending);
  EXPECT_EQ(TIndexKeys(definition, Collation(kAnsi)).KeyLength(), 9u + 7 + 4);

  ASSERT_EQ(MakeKeyIndexDef(SysDeletedDescriptor(), kSysDeletedSlot, table.Fields(), &definition),
            0);
  EXPECT_EQ(TIndexKeys(definition, Collation(kAnsi)).KeyLength(), 5u);
  ASSERT_EQ(MakeKeyIndexDef(SysTextDescriptor(), kSysTextSlot, table.Fields(), &definition), 0);
  EXPECT_EQ(TIndexKeys(definition, Collation(kAnsi)).KeyLength(), 68u);

  for (std::uint16_t bad : {std::uint16_t{0}, std::uint16_t{4}}) {
    descriptor.FieldNumbers[1] = bad;
    EXPECT_EQ(MakeKeyIndexDef(descriptor, 1, table.Fields(), &definition), TABULA_HEADERCORRUPT);
  }
  descriptor.FieldNumbers[1] = 1;
  descriptor.FieldCount = 17;
  EXPECT_EQ(MakeKeyIndexDef(descriptor, 1, table.Fields(), &definition), TABULA_HEADERCORRUPT);
}

TEST(BuildKeyTest, FieldOutsideTheRecordIsReported) {
  TTestTable table({{fldString, 10}, {fldInteger}});
  const TIndexKeys index = table.Index(kAnsi, {{1, false}});
  const Bytes record = table.Record({std::string("x"), std::int64_t{5}});
  Bytes key(index.KeyLength(), 0xEE);
  EXPECT_EQ(index.BuildKey(record.data(), record.size() - 1, key.data()), TABULA_HEADERCORRUPT);
  EXPECT_EQ(key, Bytes(index.KeyLength(), 0));
  EXPECT_EQ(index.BuildKey(record.data(), 6, key.data()), TABULA_HEADERCORRUPT);
  EXPECT_EQ(index.BuildKey(record.data(), record.size(), key.data()), 0);
}

TEST(CompareKeysTest, Orderings) {
  using V = std::optional<TTestTable::Value>;
  TTestTable ints(std::vector<TTestTable::Spec>{{fldInteger}});
  for (std::uint16_t locale : {kAnsi, kEnglish}) {
    SCOPED_TRACE(locale);
    const TIndexKeys asc = ints.Index(locale, {{0, false}});
    ExpectOrder(asc, {{ints.Key(asc, {V()})},
                      {ints.Key(asc, {std::int64_t{-1}})},
                      {ints.Key(asc, {std::int64_t{0}})},
                      {ints.Key(asc, {std::int64_t{1}})}});
    // NULL last in a descending field and in a descending index.
    for (const TIndexKeys& desc :
         {ints.Index(locale, {{0, true}}), ints.Index(locale, {{0, false}}, true, true)}) {
      ExpectOrder(desc, {{ints.Key(desc, {std::int64_t{1}})},
                         {ints.Key(desc, {std::int64_t{0}})},
                         {ints.Key(desc, {std::int64_t{-1}})},
                         {ints.Key(desc, {V()})}});
    }
  }

  TTestTable floats(std::vector<TTestTable::Spec>{{fldFloat}});
  const TIndexKeys f = floats.Index(kAnsi, {{0, false}});
  ExpectOrder(f, {{floats.Key(f, {V()})},
                  {floats.Key(f, {-HUGE_VAL})},
                  {floats.Key(f, {-2.5})},
                  {floats.Key(f, {-1e-300})},
                  {floats.Key(f, {-0.0}), floats.Key(f, {0.0})},
                  {floats.Key(f, {1e-300})},
                  {floats.Key(f, {3.0})},
                  {floats.Key(f, {HUGE_VAL})}});

  // Two fields, the second descending, in an ascending index: 3, 2, 1 within equal first fields.
  // Non-unique, so the record-ID suffix follows and orders equal values ascending.
  TTestTable pairs({{fldInteger}, {fldInteger}});
  for (std::uint16_t locale : {kAnsi, kEnglish}) {
    SCOPED_TRACE(locale);
    const TIndexKeys index = pairs.Index(locale, {{0, false}, {1, true}}, /*unique=*/false);
    auto key = [&](std::int64_t a, std::int64_t b, std::int32_t id) {
      return pairs.Key(index, {a, b}, id);
    };
    ExpectOrder(index, {{key(1, 3, 5)},
                        {key(1, 2, 4)},
                        {key(1, 2, 6)},
                        {key(1, 1, 1)},
                        {key(2, 9, 2)},
                        {key(2, 1, 3)}});
  }

  // Strings: shorter before longer with the same start; ANSI byte order against the locale.
  TTestTable names({{fldString, 10}});
  const TIndexKeys ansi = names.Index(kAnsi, {{0, false}});
  auto ansi_key = [&](const char* s) { return names.Key(ansi, {std::string(s)}); };
  ExpectOrder(ansi, {{names.Key(ansi, {V()})},
                     {ansi_key("B")},
                     {ansi_key("Muller")},
                     {ansi_key("M\xFCller")},
                     {ansi_key("a")},
                     {ansi_key("ab")},
                     {ansi_key("abc")}});
  const TIndexKeys english = names.Index(kEnglish, {{0, false}});
  auto english_key = [&](const char* s) { return names.Key(english, {std::string(s)}); };
  ExpectOrder(english, {{names.Key(english, {V()})},
                        {english_key("a")},
                        {english_key("ab")},
                        {english_key("abc")},
                        {english_key("B")},
                        {english_key("Muller"), english_key("M\xFCller")}});
  // Descending string field under a locale: negated, NULL last.
  const TIndexKeys english_desc = names.Index(kEnglish, {{0, true}});
  ExpectOrder(english_desc, {{names.Key(english_desc, {std::string("b")})},
                             {names.Key(english_desc, {std::string("ab")})},
                             {names.Key(english_desc, {std::string("a")})},
                             {names.Key(english_desc, {V()})}});
}

// A unique index refuses a second record whose key compares equal over the whole key length.
TEST(CompareKeysTest, UniqueCollisions) {
  TTestTable names({{fldString, 20}});
  struct Row {
    std::uint16_t locale;
    bool case_insensitive;
    const char* a;
    const char* b;
    bool collide;
  };
  const Row rows[] = {
      {kAnsi, true, "SMITH", "smith", true},          {kAnsi, false, "SMITH", "smith", false},
      {kEnglish, true, "SMITH", "smith", true},       {kEnglish, false, "SMITH", "smith", false},
      {kEnglish, false, "M\xFCller", "Muller", true},  // accents ignored under a locale
      {kAnsi, false, "M\xFCller", "Muller", false},   {kAnsi, true, "M\xFCller", "M\xDCLLER", true},
  };
  for (const Row& row : rows) {
    const TIndexKeys index =
        names.Index(row.locale, {{0, false}}, true, false, row.case_insensitive);
    const Bytes a = names.Key(index, {std::string(row.a)});
    const Bytes b = names.Key(index, {std::string(row.b)});
    EXPECT_EQ(index.CompareKeys(a.data(), b.data(), index.KeyLength()) == 0, row.collide)
        << row.locale << " ci " << row.case_insensitive << " " << row.a << " / " << row.b;
  }
  // A search in lower case finds the upper-case name in a case-insensitive index.
  const TIndexKeys nocase = names.Index(kEnglish, {{0, false}}, true, false, true);
  const Bytes stored = names.Key(nocase, {std::string("JONES")});
  const Bytes search = names.Key(nocase, {std::string("jones")});
  EXPECT_EQ(nocase.CompareKeys(stored.data(), search.data(), nocase.KeyLength()), 0);
}

TEST(CompareKeysTest, PartialKeysCompareTheirPrefix) {
  TTestTable table({{fldString, 8}, {fldInteger}});
  for (std::uint16_t locale : {kAnsi, kEnglish}) {
    const TIndexKeys index = table.Index(locale, {{0, false}, {1, false}}, false);
    const Bytes a = table.Key(index, {std::string("Smithson"), std::int64_t{1}}, 1);
    const Bytes b = table.Key(index, {std::string("Smith"), std::int64_t{2}}, 2);
    EXPECT_EQ(index.CompareKeys(a.data(), b.data(), 1 + 5), 0);  // null flag and "Smith"
    EXPECT_EQ(index.CompareKeys(a.data(), b.data(), 1 + 6), 1);
    EXPECT_EQ(index.CompareKeys(b.data(), a.data(), index.KeyLength()), -1);
    EXPECT_EQ(index.CompareKeys(a.data(), b.data(), 0), 0);
  }
}

// Keys of arbitrary bytes (as a damaged or foreign file may hold) still compare as a total
// order: antisymmetric, and a sort by it leaves every adjacent pair in order.
TEST(CompareKeysTest, ArbitraryBytesCompareAsATotalOrder) {
  TTestTable table({{fldString, 6}, {fldInteger}, {fldString, 2}});
  std::mt19937 random(7);
  for (std::uint16_t locale : {kAnsi, kEnglish}) {
    const TIndexKeys index = table.Index(locale, {{0, false}, {1, true}, {2, true}}, false);
    std::vector<Bytes> keys(300, Bytes(index.KeyLength()));
    for (Bytes& key : keys) {
      for (std::uint8_t& b : key) b = static_cast<std::uint8_t>(random() % 6 == 0 ? 0 : random());
    }
    for (std::size_t n : {index.KeyLength(), std::size_t{4}, std::size_t{9}}) {
      SCOPED_TRACE(testing::Message() << locale << " n " << n);
      for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
        ASSERT_EQ(index.CompareKeys(keys[i].data(), keys[i + 1].data(), n),
                  -index.CompareKeys(keys[i + 1].data(), keys[i].data(), n));
      }
      std::vector<Bytes> sorted = keys;
      std::sort(sorted.begin(), sorted.end(), [&](const Bytes& a, const Bytes& b) {
        return index.CompareKeys(a.data(), b.data(), n) < 0;
      });
      for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
        ASSERT_LE(index.CompareKeys(sorted[i].data(), sorted[i + 1].data(), n), 0);
      }
    }
  }
}

// Where an index claims plain byte order (the page searches then compare bytes themselves), its
// comparison agrees with the bytes on arbitrary keys and every prefix length.
TEST(CompareKeysTest, PlainByteOrderIsClaimedOnlyWhereTheBytesDecide) {
  TTestTable table({{fldString, 6}, {fldInteger}});
  auto system = [](TKeyIndexKind kind) {
    TKeyIndexDef def;
    def.Kind = kind;
    def.Unique = true;
    return TIndexKeys(def, Collation(kAnsi));
  };
  struct TRow {
    const char* what;
    TIndexKeys index;
    int order;
  };
  const TRow rows[] = {
      {"ANSI", table.Index(kAnsi, {{0, false}, {1, false}}, false), 1},
      {"ANSI, descending field", table.Index(kAnsi, {{0, true}, {1, false}}, false), 1},
      {"ANSI, descending index", table.Index(kAnsi, {{0, false}, {1, false}}, true, true), -1},
      {"ANSI, case-insensitive", table.Index(kAnsi, {{0, false}}, true, false, true), 1},
      {"locale, integer only", table.Index(kEnglish, {{1, false}}), 0},
      {"locale, string", table.Index(kEnglish, {{0, false}}), 0},
      {"Sys Deleted", system(TKeyIndexKind::ikSysDeleted), 1},
      {"Sys Text", system(TKeyIndexKind::ikSysText), 0},
  };
  std::mt19937 random(11);
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.index.PlainByteOrder(), row.order);
    if (row.order == 0) continue;
    const std::size_t length = row.index.KeyLength();
    for (int i = 0; i < 500; ++i) {
      Bytes a(length);
      for (std::uint8_t& b : a) b = static_cast<std::uint8_t>(random() % 4 == 0 ? 0 : random());
      Bytes b = a;
      b[random() % length] = static_cast<std::uint8_t>(random());
      const std::size_t n = random() % (length + 1);
      const int bytes = std::memcmp(a.data(), b.data(), n);
      const int expected = row.order * (bytes < 0 ? -1 : (bytes > 0 ? 1 : 0));
      ASSERT_EQ(row.index.CompareKeys(a.data(), b.data(), n), expected) << "n " << n;
    }
  }
}

TEST(BoundsTest, LowestAndHighestByHand) {
  TTestTable table({{fldString, 3}, {fldInteger}});
  const TIndexKeys ansi = table.Index(kAnsi, {{0, false}, {1, false}}, false);
  Bytes key = table.Key(ansi, {std::string("ab"), std::int64_t{1}}, 1);
  ansi.LowestKey(key.data(), 3);
  EXPECT_EQ(Hex(key), Hex({1, 'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ansi.HighestKey(key.data(), 5);
  EXPECT_EQ(Hex(key), Hex({1, 'a', 'b', 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255}));
  ansi.HighestKey(key.data());
  EXPECT_EQ(key, Bytes(14, 255));

  const TIndexKeys english = table.Index(kEnglish, {{0, false}, {1, false}}, false);
  const TCharMap& map = english.CharMap();
  const std::uint8_t lo = map[0], hi = map[255];
  EXPECT_EQ(lo, 0);
  english.LowestKey(key.data());
  EXPECT_EQ(Hex(key), Hex({0, lo, lo, lo, lo, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  english.HighestKey(key.data());
  EXPECT_EQ(Hex(key), Hex({1, hi, hi, hi, hi, 1, 255, 255, 255, 255, 255, 255, 255, 255}));
  key = table.Key(english, {std::string("ab"), std::int64_t{1}}, 1);
  english.HighestKey(key.data(), 2);
  EXPECT_EQ(Hex(key), Hex({1, 'a', hi, hi, hi, 255, 255, 255, 255, 255, 255, 255, 255, 255}));
}

// Range bounds built from a prefix enclose exactly the keys with that prefix, in every kind of
// index, including a descending field under a locale (whose bytes are not inverted).
TEST(BoundsTest, PrefixBoundsEncloseThePrefix) {
  TTestTable table({{fldString, 4}, {fldInteger}, {fldString, 3}});
  const std::vector<std::string> names = {"", "a", "A", "ab", "b", "\xE9", "zz"};
  const std::vector<std::int64_t> numbers = {-5, 0, 7};
  struct Config {
    std::uint16_t locale;
    bool index_descending;
    bool second_descending;
    bool third_descending;
  };
  for (const Config& config :
       {Config{kAnsi, false, false, false}, Config{kAnsi, false, true, true},
        Config{kEnglish, false, false, false}, Config{kEnglish, false, true, true},
        Config{kEnglish, true, true, false}, Config{kAnsi, true, false, true}}) {
    SCOPED_TRACE(testing::Message() << config.locale << " " << config.index_descending << " "
                                    << config.second_descending << config.third_descending);
    const TIndexKeys index = table.Index(
        config.locale, {{0, false}, {1, config.second_descending}, {2, config.third_descending}},
        false, config.index_descending);
    std::vector<Bytes> keys;
    std::int32_t id = 1;
    for (const std::string& first : names) {
      for (std::int64_t second : numbers) {
        for (const std::string& third : names) {
          keys.push_back(table.Key(
              index,
              {first.empty() ? std::nullopt : std::optional<TTestTable::Value>(first), second,
               third.empty() ? std::nullopt : std::optional<TTestTable::Value>(third)},
              id++));
        }
      }
    }
    // Prefix: the first field, then the first two fields.
    for (std::size_t prefix : {index.SegmentOffset(1), index.SegmentOffset(2)}) {
      for (const Bytes& probe : keys) {
        Bytes low = probe, high = probe;
        // The cursor fills a descending index's search start with the highest content.
        if (config.index_descending) {
          index.HighestKey(low.data(), prefix);
          index.LowestKey(high.data(), prefix);
        } else {
          index.LowestKey(low.data(), prefix);
          index.HighestKey(high.data(), prefix);
        }
        for (const Bytes& key : keys) {
          const bool inside = index.CompareKeys(key.data(), probe.data(), prefix) == 0;
          const int to_low = index.CompareKeys(key.data(), low.data(), index.KeyLength());
          const int to_high = index.CompareKeys(key.data(), high.data(), index.KeyLength());
          ASSERT_EQ(inside, to_low >= 0 && to_high <= 0)
              << "prefix " << prefix << " probe [" << Hex(probe) << "] key [" << Hex(key)
              << "] low [" << Hex(low) << "] high [" << Hex(high) << "]";
        }
      }
    }
  }
}

TEST(SuccessorTest, AnsiCarry) {
  TTestTable table(std::vector<TTestTable::Spec>{{fldWord}});
  const TIndexKeys index = table.Index(kAnsi, {{0, false}});
  struct Row {
    Bytes key;
    std::size_t length;
    Bytes next;
    Bytes prior;
  };
  const Row rows[] = {
      {{1, 0x01, 0xFF}, 3, {1, 0x02, 0x00}, {1, 0x01, 0xFE}},
      {{1, 0x02, 0x00}, 3, {1, 0x02, 0x01}, {1, 0x01, 0xFF}},
      {{1, 0xFF, 0xFF}, 3, {2, 0x00, 0x00}, {1, 0xFF, 0xFE}},
      {{0xFF, 0xFF, 0xFF}, 3, {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFE}},
      {{0, 0, 0}, 3, {0, 0, 1}, {0, 0, 0}},
      {{1, 0xFF, 0x33}, 2, {2, 0x00, 0x33}, {1, 0xFE, 0x33}},  // bytes after the prefix stay
  };
  for (const Row& row : rows) {
    Bytes next = row.key, prior = row.key;
    index.NextKey(next.data(), row.length);
    index.PriorKey(prior.data(), row.length);
    EXPECT_EQ(Hex(next), Hex(row.next)) << Hex(row.key);
    EXPECT_EQ(Hex(prior), Hex(row.prior)) << Hex(row.key);
  }
}

// NextKey gives the smallest prefix above, PriorKey the largest below. In byte order this is
// exact: every key whose prefix is not above (below) the given one lies below (above) the result,
// every other key not. Under a locale a character stepped in place still lies above (below)
// every key of the prefix; across a carry, collation order has no such successor.
TEST(SuccessorTest, SuccessorsAreTight) {
  TTestTable table({{fldString, 2}, {fldSmallInt}});
  std::vector<std::string> texts = {"", "\xFF\xFF"};
  for (const char* c : {"a", "A", "\xE1", "b", "B", "z", "Z", "0", "9", "-", " ", "\x01", "\xDE",
                        "\xFE", "\xFF", "\x80", "\xDF"}) {
    texts.push_back(c);
    texts.push_back(std::string(c) + "a");
    texts.push_back(std::string(c) + "\xFF");
  }
  for (std::uint16_t locale : {kAnsi, kEnglish, std::uint16_t{0x041D}}) {
    for (bool descending : {false, true}) {
      SCOPED_TRACE(testing::Message() << locale << " descending " << descending);
      const TIndexKeys index = table.Index(locale, {{0, descending}, {1, false}});
      std::vector<Bytes> keys;
      for (const std::string& text : texts) {
        for (std::int64_t n : {-32768, 0, 32767}) {
          keys.push_back(table.Key(
              index, {text.empty() ? std::nullopt : std::optional<TTestTable::Value>(text), n}));
        }
      }
      for (std::size_t length : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5}}) {
        for (const Bytes& probe : keys) {
          Bytes next = probe, prior = probe;
          index.NextKey(next.data(), length);
          index.PriorKey(prior.data(), length);
          const bool exact = locale == kAnsi;
          const bool next_in_place =
              std::equal(probe.begin(), probe.begin() + length - 1, next.begin());
          const bool prior_in_place =
              std::equal(probe.begin(), probe.begin() + length - 1, prior.begin());
          const bool next_overflowed = index.CompareKeys(next.data(), probe.data(), length) == 0;
          const bool prior_underflowed = index.CompareKeys(prior.data(), probe.data(), length) == 0;
          if (!next_overflowed && (exact || next_in_place)) {
            ASSERT_EQ(index.CompareKeys(probe.data(), next.data(), length), -1) << Hex(probe);
          }
          if (!prior_underflowed && (exact || prior_in_place)) {
            ASSERT_EQ(index.CompareKeys(probe.data(), prior.data(), length), 1) << Hex(probe);
          }
          for (const Bytes& key : keys) {
            const int to_probe = index.CompareKeys(key.data(), probe.data(), length);
            const int to_next = index.CompareKeys(key.data(), next.data(), length);
            const int to_prior = index.CompareKeys(key.data(), prior.data(), length);
            if (!next_overflowed && (exact || (next_in_place && to_probe <= 0))) {
              ASSERT_EQ(to_probe <= 0, to_next < 0)
                  << "next of [" << Hex(probe) << "]/" << length << " = [" << Hex(next)
                  << "], key [" << Hex(key) << "]";
            }
            if (!prior_underflowed && (exact || (prior_in_place && to_probe >= 0))) {
              ASSERT_EQ(to_probe >= 0, to_prior > 0)
                  << "prior of [" << Hex(probe) << "]/" << length << " = [" << Hex(prior)
                  << "], key [" << Hex(key) << "]";
            }
          }
        }
      }
    }
  }
}

TEST(TextKeyTest, LayoutAndOrder) {
  TIndexKeys text(TKeyIndexDef{TKeyIndexKind::ikSysText, false, false, true, {}},
                  Collation(kEnglish));
  ASSERT_EQ(text.KeyLength(), 68u);
  Bytes key(68);
  text.BuildTextKey(0x0102, "m\xFCller", 3, key.data());
  Bytes expected(68, 0);
  expected[0] = 1;
  expected[1] = 0x01;
  expected[2] = 0x02;
  const char* word = "M\xDCLLER";
  std::memcpy(&expected[3], word, 6);
  expected[64] = 0x80;
  expected[67] = 3;
  EXPECT_EQ(Hex(key), Hex(expected));

  // Words longer than 61 characters are cut.
  text.BuildTextKey(1, std::string(70, 'x'), 1, key.data());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&key[3]), 61), std::string(61, 'X'));
  EXPECT_EQ(key[64], 0x80);

  auto make = [&](std::uint16_t field, const char* w, std::int32_t id) {
    Bytes k(68);
    text.BuildTextKey(field, w, id, k.data());
    return k;
  };
  ExpectOrder(text, {{make(1, "\xC4PFEL", 1), make(1, "APFEL", 1)},  // accents ignored
                     {make(1, "APFEL", 2)},
                     {make(1, "APPLE", 9)},
                     {make(1, "BANANA", 1)},
                     {make(2, "APPLE", 1)}});
  // A search on field and word alone finds every record of the word.
  const Bytes a = make(1, "PEAR", 5), b = make(1, "PEAR", 6);
  EXPECT_EQ(text.CompareKeys(a.data(), b.data(), 64), 0);
}

TEST(SplitWordsTest, Table) {
  const TTextIndexParams& params = DefaultTextIndexParams();
  struct Row {
    std::uint16_t locale;
    std::string text;
    bool wildcard;
    std::vector<std::pair<std::string, int>> expected;
  };
  const Row rows[] = {
      {kAnsi,
       "The quick brown fox, the QUICK dog.",
       false,
       {{"brown", 1}, {"dog", 1}, {"fox", 1}, {"quick", 2}, {"The", 2}}},
      {kEnglish,
       "The quick brown fox, the QUICK dog.",
       false,
       {{"brown", 1}, {"dog", 1}, {"fox", 1}, {"quick", 2}, {"The", 2}}},
      {kAnsi, " \t*+,-./:;<=>\\`\x01", false, {}},  // only space characters
      {kAnsi, "", false, {}},
      {kAnsi, "don't \"stop\" me!", false, {{"dont", 1}, {"me", 1}, {"stop", 1}}},
      {kAnsi, "qu*ck", false, {{"ck", 1}, {"qu", 1}}},
      {kAnsi, "qu*ck", true, {{"qu*ck", 1}}},
      {kAnsi, "snake_case 42 caf\xE9\xFF", false, {{"42", 1}, {"caf\xE9", 1}, {"snake_case", 1}}},
      {kEnglish, "Caf\xE9 cafe", false, {{"Caf\xE9", 2}}},
      {kAnsi, std::string(70, 'w') + " x", false, {{std::string(61, 'w'), 1}, {"x", 1}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const auto words = SplitWords(Collation(row.locale), row.text, params.SpaceChars,
                                  params.IncludeChars, row.wildcard);
    std::vector<std::pair<std::string, int>> got;
    for (const TWordCount& word : words) got.emplace_back(word.Word, word.Count);
    EXPECT_EQ(got, row.expected);
  }
}

TEST(SplitWordsTest, DefaultParametersAndStopWords) {
  const TTextIndexParams& params = DefaultTextIndexParams();
  EXPECT_EQ(params.StopWords.size(), 22u);
  EXPECT_TRUE(std::is_sorted(params.StopWords.begin(), params.StopWords.end()));
  // The stored 32-byte sets, written out by hand.
  Bytes space(32), include(32);
  params.SpaceChars.EncodeTo(space.data());
  params.IncludeChars.EncodeTo(include.data());
  EXPECT_EQ(Hex(space), Hex({0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0xFC, 0x00, 0x7C, 0x00, 0x00, 0x00,
                             0x10, 0x01, 0x00, 0x00, 0x00, 0,    0,    0,    0,    0,    0,
                             0,    0,    0,    0,    0,    0,    0,    0,    0,    0}));
  EXPECT_EQ(Hex(include), Hex({0,    0,    0,    0,    0x00, 0x00, 0xFF, 0x03, 0xFE, 0xFF, 0xFF,
                               0x87, 0xFE, 0xFF, 0xFF, 0x07, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));
  TCharSet decoded;
  decoded.DecodeFrom(include.data());
  EXPECT_EQ(decoded, params.IncludeChars);

  for (std::uint16_t locale : {kAnsi, kEnglish}) {
    EXPECT_TRUE(IsStopWord(Collation(locale), params.StopWords, "the"));
    EXPECT_TRUE(IsStopWord(Collation(locale), params.StopWords, "Which"));
    EXPECT_FALSE(IsStopWord(Collation(locale), params.StopWords, "thee"));
    EXPECT_FALSE(IsStopWord(Collation(locale), params.StopWords, ""));
  }
}

}  // namespace
}  // namespace tabula
