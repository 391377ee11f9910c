#include "engine/sql/expression_parser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/platform.h"
#include "tests/sql/sql_test_util.h"

namespace tabula {
namespace {

constexpr unsigned kAll = AllowAggregates | AllowAllColumns | AllowPredicates | AllowParameters;

class TRecordingOwner : public TParserOwner {
 public:
  void AddParameter(TExpToken* node) override { parameters.push_back(node); }
  TDataQuery* ParseSubSelect() override { return nullptr; }
  std::vector<TExpToken*> parameters;
};

// Parses `text` as a condition and returns the dump; the whole text must be consumed.
std::string Parse(const std::string& text, unsigned flags = kAll) {
  TRecordingOwner owner;
  TExpressionParser parser(&owner);
  parser.SetText(text);
  parser.NextToken();
  TExpTokenPtr root = parser.ParseCondition(flags);
  std::string dump = DumpTree(root.get());
  if (!parser.IsTokenKind(tkEndOfText)) dump += " <rest: " + parser.TokenText() + ">";
  return dump;
}

// The error message, or the dump when the text parses.
std::string ParseError(const std::string& text, unsigned flags = kAll) {
  std::string dump;
  std::string error = ErrorOf([&] { dump = Parse(text, flags); });
  return error == "<no error>" ? dump : error;
}

TEST(LexerTest, TokenKindsAndTexts) {
  TExpressionParser parser;
  parser.SetText(
      "abc_1$@! [a''b\"\"c] 'It''s' \"say \"\"hi\"\"\" #65 # 12 1.5e+3 .5 1.5.3 12ab ( ) ||"
      " \xE9t\xE9");
  struct Expected {
    int kind;
    const char* text;
  };
  const Expected expected[] = {
      {tkIdentifier, "abc_1$@!"},
      {tkBracketedName, "a'b\"c"},
      {tkSingleQuoted, "It's"},
      {tkDoubleQuoted, "say \"hi\""},
      {tkCharConstant, "#65"},
      {tkCharConstant, "#"},
      {tkInteger, "12"},
      {tkReal, "1.5e+3"},
      {tkReal, ".5"},
      {tkReal, "1.5.3"},
      {tkInteger, "12"},
      {tkIdentifier, "ab"},
      {'(', "("},
      {')', ")"},
      {'|', "|"},
      {'|', "|"},
      {tkIdentifier, "\xE9t\xE9"},
      {tkEndOfText, ""},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.text);
    EXPECT_EQ(parser.NextToken(), e.kind);
    EXPECT_EQ(parser.TokenText(), e.text);
  }
}

TEST(LexerTest, NumbersStopAtSignsNotAfterExponent) {
  TExpressionParser parser;
  parser.SetText("1-2 1e-5 3E+2x");
  std::vector<std::string> texts;
  while (parser.NextToken() != tkEndOfText) texts.push_back(parser.TokenText());
  EXPECT_EQ(texts, (std::vector<std::string>{"1", "-", "2", "1e-5", "3E+2", "x"}));
}

TEST(LexerTest, CommentsAndKeywords) {
  TExpressionParser parser;
  parser.SetText("/* one */ sElEcT/**/'select' [from]\r\n\t/* a /* b */ x");
  parser.NextToken();
  EXPECT_TRUE(parser.IsKeyword("SELECT"));
  EXPECT_FALSE(parser.IsKeyword("SELECTX"));
  parser.NextToken();
  EXPECT_TRUE(parser.IsTokenKind(tkSingleQuoted));
  EXPECT_FALSE(parser.IsKeyword("SELECT"));  // quoted tokens never match keywords
  EXPECT_TRUE(parser.IsNameToken());
  parser.NextToken();
  EXPECT_FALSE(parser.IsKeyword("FROM"));
  parser.NextToken();
  EXPECT_EQ(parser.TokenText(), "x");  // comments do not nest
}

TEST(LexerTest, UnclosedTokensNameTheirRest) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"a = 'abc", "Missing single quote after 'abc' in SQL statement"},
      {"a = \"ab'c", "Missing double quote after 'ab'c' in SQL statement"},
      {"[ab", "Missing right bracket after 'ab' in SQL statement"},
      {"a = 1 /* done", "Missing ending comment slash and asterisk in SQL statement"},
      {"a = 'x''", "Missing single quote after 'x''' in SQL statement"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::uint16_t code = 0;
    EXPECT_EQ(ErrorOf([&] { Parse(c.text); }, &code), c.message);
    EXPECT_EQ(code, TABULA_SQLPARSE);
  }
}

TEST(LexerTest, FilterOwnerRaisesItsCodeAndTable) {
  TExpressionParser parser;
  parser.SetErrorCode(TABULA_INVALIDFILTER);
  parser.SetErrorTableName("Staff");
  parser.SetErrorContext("filter expression");
  parser.SetText("Name = 'x");
  try {
    parser.NextToken();
    parser.ParseCondition(AllowPredicates);
    FAIL();
  } catch (const ETabulaEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), TABULA_INVALIDFILTER);
    EXPECT_EQ(error.ErrorTableName(), "Staff");
    EXPECT_EQ(error.ErrorMessageText(), "Missing single quote after 'x' in filter expression");
  }
}

TEST(ExpressionParserTest, TreeShapes) {
  struct Case {
    const char* text;
    const char* dump;
  };
  const Case cases[] = {
      {"a <> b", "(< > a b)"},
      {"a < > b", "(< > a b)"},
      {"a<>b", "(< > a b)"},
      {"a <= b OR a >= b", "(OR (< = a b) (> = a b))"},
      {"a < b AND a > b", "(AND (< a b) (> a b))"},
      {"NOT a = 1 AND b = 2", "(AND (NOT (= a 1)) (= b 2))"},
      {"NOT NOT = 1", "(NOT (= NOT 1))"},
      {"a OR b AND c", "(OR a (AND b c))"},
      {"1 - 2 - 3", "(- (- 1 2) 3)"},
      {"1 + 2 * 3 / 4", "(+ 1 (/ (* 2 3) 4))"},
      {"-a * +b", "(* (- a) (+ b))"},
      {"'a' || 'b' | | c", "(|| (|| 'a' 'b') c)"},
      {"(a + b) * c", "(* (+ a b) c)"},
      {"'It''s'", "'It's'"},
      {"''", "NULL"},
      {"#65", "'A'"},
      {"Staff.User_ID", "Staff.User_ID"},
      {"a IS NULL", "(IS NULL a NULL)"},
      {"a is not null", "(is not null a NULL)"},
      {"a LIKE 'x%'", "(LIKE a 'x%')"},
      {"a NOT LIKE 'x%'", "(NOT LIKE a 'x%')"},
      {"a BETWEEN 1 AND 2 AND b", "(AND (BETWEEN a 1 2) b)"},
      {"a not between 1 and 2", "(not between a 1 2)"},
      {"a IN (1, 2, 3)", "(IN a 1 2 3)"},
      {"a NOT IN ('x')", "(NOT IN a 'x')"},
      {"max( Staff_id )", "max(Staff_id)"},
      {"COUNT(*)", "COUNT(*)"},
      {"t.*", "t.*"},
      {"UPPER(a) = LOWER(b)", "(= UPPER(a) LOWER(b))"},
      {"SUBSTRING(a FROM 2 FOR 3)", "SUBSTRING(a, 2, 3)"},
      {"SUBSTRING(a FROM 2)", "SUBSTRING(a, 2)"},
      {"REPLACE('a' WITH 'b' IN c)", "REPLACE('a', 'b', c)"},
      {"POS('a' IN name)", "POS('a', name)"},
      {"OCCURS('a' IN name)", "OCCURS('a', name)"},
      {"TRIM(LEADING ' ' FROM a || b)", "TRIM(' ', (|| a b))"},
      {"EXTRACT(DAYOFWEEK FROM d)", "EXTRACT(d)"},
      {"ABS(-1)", "ABS((- 1))"},
      {"ROUND(x TO 2)", "ROUND(x, 2)"},
      {"IF(a = 1 THEN 'x' ELSE 'y')", "IF((= a 1), 'x', 'y')"},
      {"IF(a, 1, 2)", "IF(a, 1, 2)"},
      {"IFNULL(x, 'none', x)", "IFNULL(x, 'none', x)"},
      {"COALESCE(a, b, 1)", "COALESCE(a, b, 1)"},
      {"TEXTSEARCH('w' IN memo)", "TEXTSEARCH('w', memo)"},
      {"TEXTOCCURS('w' IN memo)", "TEXTOCCURS('w', memo)"},
      {"LASTAUTOINC('Staff')", "LASTAUTOINC('Staff')"},
      {"IDENT_CURRENT('Staff')", "IDENT_CURRENT('Staff')"},
      {"CAST(a AS CHAR(10))", "CAST(a, 10)"},
      {"a = ?", "(= a ?)"},
      {"TRUE OR false", "(OR TRUE false)"},
      {"x = NULL", "(= x NULL)"},
      {"a\r\n=\n1", "(= a 1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Parse(c.text), c.dump);
  }
}

TEST(ExpressionParserTest, OperatorCodesAndKinds) {
  TExpressionParser parser;
  parser.SetText("a <> b");
  parser.NextToken();
  TExpTokenPtr ne = parser.ParseCondition(AllowNone);
  EXPECT_EQ(ne->kind, nkBinary);
  EXPECT_EQ(ne->op, opNotEqual);
  EXPECT_EQ(ne->data_type, fldBoolean);

  struct Case {
    const char* text;
    int kind;
    int op;
  };
  const Case cases[] = {
      {"a IS NULL", nkBinary, opEqual},
      {"a IS NOT NULL", nkBinary, opNotEqual},
      {"a LIKE b", nkPredicate, opLike},
      {"a NOT LIKE b", nkPredicate, opNotLike},
      {"a BETWEEN b AND c", nkPredicate, opBetween},
      {"a NOT BETWEEN b AND c", nkPredicate, opNotBetween},
      {"a IN (b)", nkPredicate, opIn},
      {"a NOT IN (b)", nkPredicate, opNotIn},
      {"a || b", nkBinary, opAdd},
      {"TRIM(TRAILING 'x' FROM y)", nkFunction, opTrimTrailing},
      {"TRIM(BOTH 'x' FROM y)", nkFunction, opTrimBoth},
      {"EXTRACT(SECOND FROM y)", nkFunction, opExtractSecond},
      {"EXTRACT(WEEK FROM y)", nkFunction, opExtractWeek},
      {"RUNSUM(x)", nkFunction, opRunSum},
      {"-x", nkUnary, opNegate},
      {"+x", nkUnary, opPlusSign},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    parser.SetText(c.text);
    parser.NextToken();
    TExpTokenPtr root = parser.ParseCondition(kAll);
    EXPECT_EQ(root->kind, c.kind);
    EXPECT_EQ(root->op, c.op);
  }
}

TEST(ExpressionParserTest, Constants) {
  TExpressionParser parser;
  auto constant = [&parser](const char* text) {
    parser.SetText(text);
    parser.NextToken();
    return parser.ParsePrimary(AllowNone);
  };
  TExpTokenPtr node = constant("2147483647");
  EXPECT_EQ(node->data_type, fldInteger);
  EXPECT_EQ(node->size, 4u);
  EXPECT_EQ(node->IntegerValue(), 2147483647);
  node = constant("2147483648");
  EXPECT_EQ(node->data_type, fldLargeInt);
  EXPECT_EQ(node->size, 8u);
  EXPECT_EQ(node->LargeIntValue(), 2147483648LL);
  node = constant("12345678901234567890");
  EXPECT_EQ(node->data_type, fldFloat);
  EXPECT_DOUBLE_EQ(node->FloatValue(), 12345678901234567890.0);
  node = constant("1.5e+3");
  EXPECT_EQ(node->data_type, fldFloat);
  EXPECT_DOUBLE_EQ(node->FloatValue(), 1500.0);
  EXPECT_EQ(node->text, "1.5e+3");  // the constant as written
  node = constant("'It''s'");
  EXPECT_EQ(node->data_type, fldString);
  EXPECT_EQ(node->size, 5u);
  EXPECT_EQ(node->StringValue(), "It's");
  node = constant("''");
  EXPECT_EQ(node->kind, nkConstant);
  EXPECT_EQ(node->null, 1);
  node = constant("#0");
  EXPECT_EQ(node->data_type, fldString);
  EXPECT_EQ(node->size, 2u);
  EXPECT_EQ(node->null, 0);
  EXPECT_EQ(node->Value()[0], 0);
  node = constant("#0065");
  EXPECT_EQ(node->StringValue(), "A");
  node = constant("True");
  EXPECT_EQ(node->data_type, fldBoolean);
  EXPECT_EQ(node->size, 2u);
  EXPECT_TRUE(node->BooleanValue());
  EXPECT_EQ(DecodeFixed16(node->Value()), 1);
  node = constant("null");
  EXPECT_EQ(node->null, 1);
  EXPECT_EQ(node->data_type, fldUnknown);
  EXPECT_EQ(node->text, "null");
}

class TFixedClockPlatform : public TPlatform {
 public:
  TLocalDateTime LocalDateTime() override {
    TLocalDateTime now;
    now.year = 2005;
    now.month = 1;
    now.day = 2;
    now.hour = 13;
    now.minute = 14;
    now.second = 15;
    now.millisecond = 16;
    return now;
  }
};

TEST(ExpressionParserTest, ClockConstantsReadTheLocalClockOnce) {
  TFixedClockPlatform clock;
  TScopedPlatform scoped(&clock);
  TExpressionParser parser;
  parser.SetText("CURRENT_DATE() CURRENT_TIME CURRENT_TIMESTAMP()");
  parser.NextToken();
  TExpTokenPtr date = parser.ParsePrimary(AllowNone);
  TExpTokenPtr time = parser.ParsePrimary(AllowNone);
  TExpTokenPtr stamp = parser.ParsePrimary(AllowNone);
  EXPECT_TRUE(parser.IsTokenKind(tkEndOfText));
  EXPECT_EQ(date->data_type, fldDate);
  EXPECT_EQ(date->size, 4u);
  EXPECT_EQ(date->IntegerValue(), 731948);  // 2005-01-02, 0001-01-01 being day 1
  EXPECT_EQ(time->data_type, fldTime);
  EXPECT_EQ(time->size, 4u);
  EXPECT_EQ(time->IntegerValue(), ((13 * 60 + 14) * 60 + 15) * 1000 + 16);
  EXPECT_EQ(stamp->data_type, fldTimeStamp);
  EXPECT_EQ(stamp->size, 8u);
  EXPECT_DOUBLE_EQ(stamp->FloatValue(), 731948.0 * 86400000.0 + time->IntegerValue());
}

TEST(ExpressionParserTest, QualifiersDropDirectoryAndDat) {
  struct Case {
    const char* text;
    const char* table;
    const char* column;
    const char* node_text;
  };
  const Case cases[] = {
      {"Staff.User_ID", "Staff", "User_ID", "Staff.User_ID"},
      {"\"Staff.dat\".User_ID", "Staff", "User_ID", "Staff.dat.User_ID"},
      {"[c:\\data\\Staff.DAT].[User ID]", "Staff", "User ID", "c:\\data\\Staff.DAT.User ID"},
      {"'s'.\"x\"", "s", "x", "s.x"},
      {"User_ID", "", "User_ID", "User_ID"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TExpressionParser parser;
    parser.SetText(c.text);
    parser.NextToken();
    TExpTokenPtr node = parser.ParsePrimary(AllowNone);
    EXPECT_EQ(node->kind, nkColumn);
    EXPECT_EQ(node->table_name, c.table);
    EXPECT_EQ(node->column_name, c.column);
    EXPECT_EQ(node->text, c.node_text);
  }
}

TEST(ExpressionParserTest, ExpressionTextDropsLineBreaks) {
  TExpressionParser parser;
  parser.SetText("select max( Staff_id ) from t where a\r\n+\nb  = 1 ;");
  parser.NextToken();
  parser.NextToken();
  parser.MarkExpressionStart();
  TExpTokenPtr column = parser.ParseCondition(kAll);
  EXPECT_EQ(parser.ExpressionText(), "max( Staff_id )");
  parser.NextToken();
  parser.NextToken();
  parser.NextToken();
  parser.MarkExpressionStart();
  TExpTokenPtr where = parser.ParseCondition(kAll);
  EXPECT_EQ(parser.ExpressionText(), "a+b  = 1");
}

TEST(ExpressionParserTest, Errors) {
  struct Case {
    const char* text;
    unsigned flags;
    const char* message;
  };
  const Case cases[] = {
      {"(a", kAll, "Right parentheses expected, instead found '' in SQL statement"},
      {"a + )", kAll, "Unknown or unexpected symbol ')' found in SQL statement"},
      {"a + - - 1", kAll, "Unknown or unexpected symbol '-' found in SQL statement"},
      {"foo(1)", kAll, "Unknown or unexpected function 'foo' found in SQL statement"},
      {"t.+", kAll,
       "Symbol or string expression expected after table correlation name separator '.', "
       "instead found '+' in SQL statement"},
      {"t.1", kAll, "t <rest: .1>"},
      {"*", AllowNone, "* (all columns) symbol is not allowed in SQL statement"},
      {"t.*", AllowNone, "* (all columns) symbol is not allowed in SQL statement"},
      {"?", AllowNone, "Parameters are not allowed in SQL statement"},
      {"sum(a)", AllowNone, "Aggregate functions are not allowed in SQL statement"},
      {"a IN (SELECT b FROM t)", kAll, "Sub-select queries are not allowed in SQL statement"},
      {"a LIKE 'x'", AllowNone,
       "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in SQL "
       "statement"},
      {"a IS NULL", AllowNone,
       "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in SQL "
       "statement"},
      {"1.5.3", kAll, "Constant '1.5.3' is not a valid number  in SQL statement"},
      {"1e", kAll, "Constant '1e' is not a valid number  in SQL statement"},
      {"1e999", kAll, "Constant '1e999' is not a valid number  in SQL statement"},
      {"#256", kAll,
       "Character constants (#) must be within the range of 0 to 255 in SQL statement"},
      {"#", kAll, "Character constants (#) must be within the range of 0 to 255 in SQL statement"},
      {"a | b", kAll,
       "Second concatenation symbol '|' expected after first concatentation symbol, instead "
       "found 'b' in SQL statement"},
      {"a BETWEEN 1 OR 2", kAll,
       "Expected AND operator in BETWEEN operator, instead found 'OR' in SQL statement"},
      {"a NOT BETWEEN 1 , 2", kAll,
       "Expected AND operator in NOT BETWEEN operator, instead found ',' in SQL statement"},
      {"a IN 1", kAll,
       "Expected left parentheses for IN operator, instead found '1' in SQL statement"},
      {"a NOT IN 1", kAll,
       "Expected left parentheses for NOT IN operator, instead found '1' in SQL statement"},
      {"a IN (1, 2", kAll,
       "Expected right parentheses after IN operator, instead found '' in SQL statement"},
      {"a NOT IN (1 2)", kAll,
       "Expected right parentheses after NOT IN operator, instead found '2' in SQL statement"},
      {"x IN ()", kAll, "Unknown or unexpected symbol ')' found in SQL statement"},
      {"a NOT = 1", kAll, "Unknown or unexpected symbol '=' in SQL statement"},
      {"a IS 1", kAll, "Unknown or unexpected symbol '1' found in SQL statement"},
      {"a IS NOT 1", kAll, "Unknown or unexpected symbol '1' found in SQL statement"},
      {"MAX a", kAll,
       "Left parentheses expected after aggregate function 'MAX', instead found 'a' in SQL "
       "statement"},
      {"count(a b", kAll,
       "Right parentheses expected after aggregate count function argument, instead found 'b' "
       "in SQL statement"},
      {"lower a", kAll,
       "Left parentheses expected after LOWER keyword, instead found 'a' in SQL statement"},
      {"IDENT_CURRENT 1", kAll,
       "Left parentheses expected after IDENT_CURRENT keyword, instead found '1' in SQL statement"},
      {"LOWER(a b)", kAll,
       "Right parentheses expected after LOWER function argument, instead found 'b' in SQL "
       "statement"},
      {"TEXTSEARCH('a' IN b c)", kAll,
       "Right parentheses expected after TEXTSEARCH function argument, instead found 'c' in SQL "
       "statement"},
      {"SUBSTRING(a FROM 1 FOR 2 3)", kAll,
       "Right parentheses expected after SUBSTRING function arguments, instead found '3' in SQL "
       "statement"},
      {"IFNULL(a, 1, 2", kAll,
       "Right parentheses expected after IFNULL function arguments, instead found '' in SQL "
       "statement"},
      {"COALESCE(a b)", kAll,
       "Expected right parentheses after COALESCE expression arguments, instead found 'b' in SQL "
       "statement"},
      {"SUBSTRING(a, 1)", kAll,
       "FROM keyword expected after first SUBSTRING function argument, instead found ',' in SQL "
       "statement"},
      {"REPLACE(a IN b)", kAll,
       "WITH keyword expected after first REPLACE function argument, instead found 'IN' in SQL "
       "statement"},
      {"REPLACE(a WITH b c)", kAll,
       "IN keyword expected after second REPLACE function argument, instead found 'c' in SQL "
       "statement"},
      {"POS('a' IN b = c)", kAll,
       "Right parentheses expected after POS function arguments, instead found '=' in SQL "
       "statement"},
      {"OCCURS('a', b)", kAll,
       "IN keyword expected after first OCCURS function argument, instead found ',' in SQL "
       "statement"},
      {"TEXTOCCURS('a' b)", kAll,
       "IN keyword expected after first TEXTOCCURS function argument, instead found 'b' in SQL "
       "statement"},
      {"CAST(a INTEGER)", kAll,
       "AS keyword expected after first CAST function argument, instead found 'INTEGER' in SQL "
       "statement"},
      {"CAST(a AS TEXT)", kAll,
       "SQL data type keyword expected, instead found 'TEXT' in SQL statement"},
      {"TRIM(' ' FROM a)", kAll,
       "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found ' ' in SQL "
       "statement"},
      {"TRIM(BOTH ' ' IN a)", kAll,
       "FROM keyword expected after second TRIM function argument, instead found 'IN' in SQL "
       "statement"},
      {"EXTRACT(CENTURY FROM a)", kAll,
       "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, DAYOFYEAR, HOUR, MINUTE, or SECOND keyword expected "
       "after EXTRACT keyword, instead found 'CENTURY' in SQL statement"},
      {"EXTRACT(YEAR IN a)", kAll,
       "FROM keyword expected after second EXTRACT function argument, instead found 'IN' in SQL "
       "statement"},
      {"IF(a 1, 2)", kAll,
       "THEN keyword or comma expected after first IF function argument, instead found '1' in "
       "SQL statement"},
      {"IF(a THEN 1 2)", kAll,
       "ELSE keyword or comma expected after second IF function argument, instead found '2' in "
       "SQL statement"},
      {"IFNULL(a 1, 2)", kAll,
       "THEN keyword or comma expected after first IFNULL function argument, instead found '1' "
       "in SQL statement"},
      {"IFNULL(a, 1 2)", kAll,
       "ELSE keyword or comma expected after second IFNULL function argument, instead found '2' "
       "in SQL statement"},
      {"CURRENT_DATE(1)", kAll,
       "Right parentheses expected after first CURRENT_DATE function parentheses, instead found "
       "'1' in SQL statement"},
      {"CURRENT_TIMESTAMP(", kAll,
       "Right parentheses expected after first CURRENT_TIMESTAMP function parentheses, instead "
       "found '' in SQL statement"},
      {"LENGTH(a = 1)", kAll,
       "Right parentheses expected after LENGTH function argument, instead found '=' in SQL "
       "statement"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseError(c.text, c.flags), c.message);
  }
}

TEST(ExpressionParserTest, DataTypes) {
  struct Case {
    const char* text;
    int type;
    int subtype;
    std::size_t arguments;  // besides CAST's operand
  };
  const Case cases[] = {
      {"SMALLINT", fldSmallInt, 0, 0},
      {"word", fldWord, 0, 0},
      {"INT", fldInteger, 0, 0},
      {"LARGEINT", fldLargeInt, 0, 0},
      {"AUTOINC", fldInteger, fldstAutoInc, 0},
      {"DECIMAL(10,2)", fldBCD, 0, 2},
      {"NUMERIC", fldBCD, 0, 0},
      {"FLOAT(1, 2)", fldFloat, 0, 2},
      {"MONEY", fldFloat, fldstMoney, 0},
      {"VARCHAR(20)", fldString, 0, 1},
      {"VARBYTES(4)", fldBytes, 0, 1},
      {"DATE", fldDate, 0, 0},
      {"TIME", fldTime, 0, 0},
      {"TIMESTAMP", fldTimeStamp, 0, 0},
      {"BIT", fldBoolean, 0, 0},
      {"BLOB", fldBlob, fldstBinary, 0},
      {"BLOB(512, 1)", fldBlob, fldstBinary, 2},
      {"LONGVARCHAR", fldBlob, fldstMemo, 0},
      {"MEMO", fldBlob, fldstMemo, 0},
      {"GRAPHIC", fldBlob, fldstGraphic, 0},
      {"LONGVARBINARY", fldBlob, fldstBinary, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TExpressionParser parser;
    parser.SetText(std::string("CAST(x AS ") + c.text + ")");
    parser.NextToken();
    TExpTokenPtr node = parser.ParsePrimary(AllowNone);
    EXPECT_EQ(node->data_type, c.type);
    EXPECT_EQ(node->subtype, c.subtype);
    EXPECT_EQ(node->arguments.size(), 1 + c.arguments);
  }

  struct ErrorCase {
    const char* text;
    const char* message;
  };
  const ErrorCase errors[] = {
      {"DECIMAL(10)", "Unknown or unexpected symbol ')' found in SQL statement"},
      {"NUMERIC(10 2)",
       "Comma expected after first NUMERIC argument, instead found '2' in SQL statement"},
      {"DECIMAL(10, 2",
       "Right parentheses expected after DECIMAL data type arguments, instead "
       "found '' in SQL statement"},
      {"FLOAT(1;", "Comma expected after first FLOAT argument, instead found ';' in SQL statement"},
      {"BLOB(1,2,",
       "Right parentheses expected after BLOB data type arguments, instead found ',' "
       "in SQL statement"},
      {"CHAR", "Left parentheses expected after CHAR data type, instead found '' in SQL statement"},
      {"VARBINARY(3",
       "Right parentheses expected after VARBINARY data type arguments, instead "
       "found '' in SQL statement"},
      {"'INTEGER'", "SQL data type keyword expected, instead found 'INTEGER' in SQL statement"},
  };
  for (const ErrorCase& c : errors) {
    SCOPED_TRACE(c.text);
    TExpressionParser parser;
    parser.SetText(c.text);
    parser.NextToken();
    TExpTokenPtr node = NewExpToken();
    EXPECT_EQ(ErrorOf([&] { parser.ParseDataType(node.get(), false); }), c.message);
  }
  TExpressionParser parser;
  parser.SetText("NOT NULL");
  parser.NextToken();
  TExpTokenPtr node = NewExpToken();
  EXPECT_FALSE(parser.ParseDataType(node.get(), true));
  EXPECT_TRUE(parser.IsKeyword("NOT"));
}

TEST(ExpressionParserTest, ParametersRegisterInOrder) {
  TRecordingOwner owner;
  TExpressionParser parser(&owner);
  parser.SetText("a = ? AND b IN (?, ?)");
  parser.NextToken();
  TExpTokenPtr root = parser.ParseCondition(kAll);
  ASSERT_EQ(owner.parameters.size(), 3u);
  EXPECT_EQ(owner.parameters[0], root->left->right);
  EXPECT_EQ(owner.parameters[1], root->right->arguments[1]);
  EXPECT_EQ(owner.parameters[2], root->right->arguments[2]);
  EXPECT_EQ(owner.parameters[0]->parameter, 1);
}

TEST(ExpressionParserTest, EntryPointsStopAtTheirLevel) {
  TExpressionParser parser;
  parser.SetText("a + b = c");
  parser.NextToken();
  TExpTokenPtr sum = parser.ParseSum(AllowNone);
  EXPECT_EQ(DumpTree(sum.get()), "(+ a b)");
  EXPECT_TRUE(parser.IsChar('='));
  parser.SetText("-a * b");
  parser.NextToken();
  TExpTokenPtr signed_node = parser.ParseSigned(AllowNone);
  EXPECT_EQ(DumpTree(signed_node.get()), "(- a)");
  EXPECT_TRUE(parser.IsChar('*'));
}

TEST(ExpressionParserTest, DeepNestingIsRefusedNotACrash) {
  const std::string open(5000, '(');
  EXPECT_EQ(ParseError(open + "1"), "Expression nesting is too deep in SQL statement");
  std::string chain = "a";
  for (int i = 0; i < 3000; ++i) chain += "+a";
  EXPECT_EQ(ParseError(chain), "Expression nesting is too deep in SQL statement");
  std::string fine = "a";
  for (int i = 0; i < 500; ++i) fine += "+a";
  EXPECT_NE(Parse(fine).find("(+ (+"), std::string::npos);
}

TEST(ExpTokenStackTest, PoolKeepsAtMost256AndResetsNodes) {
  TExpTokenStack& pool = TExpTokenStack::Instance();
  std::vector<TExpToken*> taken;
  for (int i = 0; i < 300; ++i) taken.push_back(pool.Take());
  taken[0]->text = "dirty";
  taken[0]->SetSize(1000);
  taken[0]->estimated_cost = 7;
  for (TExpToken* node : taken) pool.Give(node);
  EXPECT_EQ(pool.PooledCount(), 256u);
  TExpToken* node = pool.Take();
  EXPECT_TRUE(node->text.empty());
  EXPECT_EQ(node->estimated_cost, -1);
  EXPECT_EQ(node->ValueCapacity(), kExpValueBufferSize);
  pool.Give(node);
}

TEST(ExpTokenStackTest, SharedByThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        TExpressionParser parser;
        parser.SetText("a = 1 AND b IN (1, 2, 3) OR UPPER(c) LIKE 'x%'");
        parser.NextToken();
        TExpTokenPtr root = parser.ParseCondition(kAll);
        ASSERT_EQ(root->op, opOr);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(TExpTokenStack::Instance().PooledCount(), TExpTokenStack::kMaxPooled);
}

}  // namespace
}  // namespace tabula
