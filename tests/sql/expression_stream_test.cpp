#include <gtest/gtest.h>

#include <string>

#include "engine/base/coding.h"
#include "engine/sql/exp_token.h"
#include "engine/sql/expression_parser.h"
#include "tests/sql/sql_test_util.h"

namespace tabula {
namespace {

// One record written item by item from the stream layout.
class RecordBytes {
 public:
  RecordBytes& Item(const std::string& bytes) {
    std::uint8_t length[4];
    EncodeFixed32(length, static_cast<std::uint32_t>(bytes.size()));
    out.append(reinterpret_cast<char*>(length), 4);
    out += bytes;
    return *this;
  }
  RecordBytes& Byte(int value) { return Item(std::string(1, static_cast<char>(value))); }
  RecordBytes& U16(int value) { return Item(std::string{static_cast<char>(value), 0}); }
  RecordBytes& U32(std::uint32_t value) {
    std::uint8_t bytes[4];
    EncodeFixed32(bytes, value);
    return Item(std::string(reinterpret_cast<char*>(bytes), 4));
  }
  std::string out;
};

// text, kind, operator, optimize level, column name, field number, size, value, null,
// partial length, case-insensitive, type, subtype, scale.
RecordBytes Head(const std::string& text, int kind, int op, const std::string& column,
                 const std::string& value, int null, int type) {
  RecordBytes r;
  r.Item(text).Byte(kind).Byte(op).Byte(0).Item(column).U16(0);
  r.U32(static_cast<std::uint32_t>(value.size())).Item(value).Byte(null);
  r.U32(0).Byte(0).Byte(type).Byte(0).Byte(0);
  return r;
}

TExpTokenPtr ParseText(const std::string& text) {
  TExpressionParser parser;
  parser.SetText(text);
  parser.NextToken();
  return parser.ParseCondition(AllowPredicates | AllowAggregates);
}

TEST(ExpressionStreamTest, WriterMatchesHandWrittenBytes) {
  TExpTokenPtr root = ParseText("a = 1");
  // Sizes first, so that the root can name its children's offsets.
  RecordBytes a = Head("a", nkColumn, 0, "a", "", 0, 0);
  a.U32(0).U32(0).U32(0).U32(0);
  RecordBytes one = Head("1", nkConstant, 0, "", std::string("\x01\0\0\0", 4), 0, 6);
  one.U32(0).U32(0).U32(0).U32(0);
  RecordBytes eq = Head("=", nkBinary, opEqual, "", std::string(2, '\0'), 0, 4);
  const std::uint32_t root_size = static_cast<std::uint32_t>(eq.out.size() + 4 * 8);
  eq.U32(root_size).U32(root_size + static_cast<std::uint32_t>(a.out.size())).U32(0).U32(0);
  const std::string expected = eq.out + a.out + one.out;

  std::string stream;
  WriteExpressionStream(*root, false, &stream);
  EXPECT_EQ(stream, expected);

  TExpTokenPtr back =
      ReadExpressionStream(reinterpret_cast<const std::uint8_t*>(expected.data()), expected.size());
  ASSERT_TRUE(back);
  EXPECT_EQ(DumpTree(back.get()), "(= a 1)");
  EXPECT_EQ(back->right->IntegerValue(), 1);
  EXPECT_EQ(back->right->data_type, fldInteger);
}

TEST(ExpressionStreamTest, ArgumentsRoundTrip) {
  const char* texts[] = {"a BETWEEN 1 AND 'x'", "x IN (1, 2, 3) AND NOT y LIKE 'a%'",
                         "SUBSTRING(n FROM 1 FOR 2) = UPPER(m)", "COALESCE(a, b, c) IS NULL"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    TExpTokenPtr root = ParseText(text);
    std::string stream;
    WriteExpressionStream(*root, false, &stream);
    TExpTokenPtr back =
        ReadExpressionStream(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(DumpTree(back.get()), DumpTree(root.get()));
  }
}

TEST(ExpressionStreamTest, OlderFormFoldsArguments) {
  // BETWEEN: left = tested value, right = low, right's right = high; third offset item.
  TExpTokenPtr root = ParseText("a BETWEEN 1 AND 2");
  RecordBytes a = Head("a", nkColumn, 0, "a", "", 0, 0);
  a.U32(0).U32(0).U32(0);
  RecordBytes two = Head("2", nkConstant, 0, "", std::string("\x02\0\0\0", 4), 0, 6);
  two.U32(0).U32(0).U32(0);
  RecordBytes one = Head("1", nkConstant, 0, "", std::string("\x01\0\0\0", 4), 0, 6);
  const std::uint32_t one_size = static_cast<std::uint32_t>(one.out.size() + 3 * 8);
  RecordBytes between = Head("BETWEEN", nkPredicate, opBetween, "", std::string(2, '\0'), 0, 4);
  const std::uint32_t root_size = static_cast<std::uint32_t>(between.out.size() + 3 * 8);
  const std::uint32_t one_offset = root_size + static_cast<std::uint32_t>(a.out.size());
  one.U32(0).U32(one_offset + one_size).U32(0);
  between.U32(root_size).U32(one_offset).U32(0);
  std::string stream;
  WriteExpressionStream(*root, true, &stream);
  EXPECT_EQ(stream, between.out + a.out + one.out + two.out);
}

TEST(ExpressionStreamTest, DamagedStreamsAreRefused) {
  TExpTokenPtr root = ParseText("a IN (1, 2) OR b = 'x'");
  std::string stream;
  WriteExpressionStream(*root, false, &stream);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.data());
  // Every cut is refused.
  for (std::size_t cut = 0; cut < stream.size(); ++cut) {
    EXPECT_FALSE(ReadExpressionStream(bytes, cut)) << cut;
  }
  // A length prefix pointing past the end, and a child offset that is not where its record is.
  std::string bad = stream;
  EncodeFixed32(reinterpret_cast<std::uint8_t*>(bad.data()), 0xFFFFFFF0u);
  EXPECT_FALSE(ReadExpressionStream(reinterpret_cast<const std::uint8_t*>(bad.data()), bad.size()));
  // Flip every byte in turn: the reader either refuses or returns a tree, never reads outside.
  for (std::size_t i = 0; i < stream.size(); ++i) {
    std::string flipped = stream;
    flipped[i] = static_cast<char>(flipped[i] ^ 0x5A);
    ReadExpressionStream(reinterpret_cast<const std::uint8_t*>(flipped.data()), flipped.size());
  }
}

}  // namespace
}  // namespace tabula
