// Type rules and evaluation of expressions: parsed with the expression parser, checked and
// evaluated over constants or over a record image laid out by field descriptors.
#include "engine/sql/exp_evaluator.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/sql/exp_types.h"
#include "engine/sql/expression_parser.h"
#include "engine/storage/data_file_format.h"
#include "tests/sql/sql_test_util.h"

namespace tabula {
namespace {

const char* kContext = "WHERE or JOIN clause";

// The value of a result node as "type:text", or "NULL".
std::string Show(const TExpToken& v) {
  if (v.null) return "NULL";
  std::string text;
  switch (v.data_type) {
    case fldString:
    case fldBlob:
      text = v.StringValue();
      break;
    case fldBCD:
      BcdToText(v.Value(), &text);
      break;
    default: {
      std::uint8_t buffer[kConvertBufferSize] = {};
      std::memcpy(buffer, v.Value(), std::min<std::size_t>(v.size, kConvertBufferSize));
      ConvertValue(v.data_type, v.size, v.scale, buffer, 0, 251, fldString);
      text = reinterpret_cast<const char*>(buffer);
    }
  }
  return std::string(FieldTypeName(v.data_type)) + ":" + text;
}

// A table Staff with a few columns and one record of values.
class TStaffRecord {
 public:
  TStaffRecord() {
    Add("Name", fldString, 20);
    Add("Smith", fldString, 20);
    Add("Hired", fldDate, 0);
    Add("Active", fldBoolean, 0);
    Add("Level", fldInteger, 0);
    Add("Empty", fldInteger, 0);
    Add("Notes", fldString, 40);
    Add("Start", fldTime, 0);
    Add("Stamp", fldTimeStamp, 0);
    Add("Rate", fldFloat, 0);
    Add("Pay", fldFloat, 0, fldstMoney);
    Add("Amount", fldBCD, 0, fldstNone, 2);
    Add("Tiny", fldSmallInt, 0);
    Add("Big", fldLargeInt, 0);
    Add("First Name", fldString, 20);
    size_ = AssignFieldLayout(fields_);
    image_.assign(size_, 0);
    InitRecordImage(image_.data(), size_, 1, 1);
    SetString("Name", "Smith");
    SetString("Smith", "Jones");
    SetInt32("Hired", EncodeDate(2003, 2, 28));
    std::uint8_t b[2];
    EncodeFixed16(b, 1);
    Store("Active", b, 2);
    SetInt32("Level", 7);
    SetInt32("Start", 8 * 3600000);
    std::uint8_t d[8];
    EncodeDouble(d, EncodeTimeStamp(EncodeDate(2003, 3, 5), 12 * 3600000));
    Store("Stamp", d, 8);
    EncodeDouble(d, 2.5);
    Store("Rate", d, 8);
    EncodeDouble(d, 10.25);
    Store("Pay", d, 8);
    std::uint8_t bcd[kBcdValueSize];
    EncodeBcd(bcd, 123456, 2);  // 12.3456 -> 12.35
    Store("Amount", bcd, sizeof bcd);
    EncodeFixed16(b, static_cast<std::uint16_t>(-3));
    Store("Tiny", b, 2);
    std::uint8_t q[8];
    EncodeFixed64(q, 5000000000ull);
    Store("Big", q, 8);
    SetString("First Name", "Ann");
  }

  const std::vector<TFieldDescriptor>& Fields() const { return fields_; }
  const std::uint8_t* Image() const { return image_.data(); }
  std::size_t Size() const { return size_; }

 private:
  void Add(const char* name, std::uint8_t type, std::uint8_t size, std::uint8_t subtype = fldstNone,
           std::uint8_t scale = 0) {
    TFieldDescriptor f;
    f.FieldNo = static_cast<std::uint16_t>(fields_.size() + 1);
    f.FieldName = name;
    f.FieldType = type;
    f.FieldSubType = subtype;
    f.FieldSize = size;
    f.FieldScale = scale;
    fields_.push_back(f);
  }
  const TFieldDescriptor& Field(const char* name) {
    for (const auto& f : fields_) {
      if (f.FieldName == name) return f;
    }
    throw std::runtime_error("no field");
  }
  void Store(const char* name, const std::uint8_t* value, std::size_t size) {
    ASSERT_EQ(0, StoreFieldValue(Field(name), image_.data(), image_.size(), value, size));
  }
  void SetString(const char* name, const char* text) {
    Store(name, reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
  }
  void SetInt32(const char* name, std::int32_t value) {
    std::uint8_t b[4];
    EncodeFixed32(b, static_cast<std::uint32_t>(value));
    Store(name, b, 4);
  }

  std::vector<TFieldDescriptor> fields_;
  std::uint32_t size_ = 0;
  std::vector<std::uint8_t> image_;
};

class ExpEvaluatorTest : public ::testing::Test {
 public:
  ExpEvaluatorTest() : columns_(&record_.Fields(), record_.Size(), "Staff") {}

  TExpTokenPtr Parse(const std::string& text) {
    TExpressionParser parser;
    parser.SetErrorCode(TABULA_SQLPARSE);
    parser.SetErrorContext(kContext);
    parser.SetText(text);
    parser.NextToken();
    TExpTokenPtr tree = parser.ParseCondition(AllowPredicates | AllowAggregates);
    EXPECT_EQ(parser.TokenKind(), tkEndOfText) << text;
    return tree;
  }

  TTypeCheckOptions Options(bool strings_name_columns = true, bool rewrite = true) {
    TTypeCheckOptions options;
    options.error_code = TABULA_SQLPARSE;
    options.strings_name_columns = strings_name_columns;
    options.rewrite_booleans = rewrite;
    options.context = kContext;
    return options;
  }

  // Parses, checks and evaluates `text` against the record (or without owner).
  std::string Run(const std::string& text, bool with_record = true, std::uint16_t language_id = 0) {
    TExpTokenPtr tree = Parse(text);
    TExpressionOwner* owner = with_record ? &columns_ : nullptr;
    TypeCheck(Options(), owner, &tree);
    TExpTokenPtr value = Evaluate(*tree, record_.Image(), owner, language_id, 0);
    EXPECT_EQ(value->kind, nkConstant);
    return Show(*value);
  }

  // The message of the type-check failure of `text`.
  std::string CheckError(const std::string& text, std::uint16_t* code = nullptr) {
    return ErrorOf(
        [&] {
          TExpTokenPtr tree = Parse(text);
          TypeCheck(Options(), &columns_, &tree);
        },
        code);
  }

  TStaffRecord record_;
  TRecordImageColumns columns_;
};

struct TCase {
  const char* text;
  const char* expected;
};

void RunTable(ExpEvaluatorTest* test, std::initializer_list<TCase> cases,
              std::string (ExpEvaluatorTest::*run)(const std::string&, bool, std::uint16_t)) {
  for (const TCase& c : cases) {
    std::string got;
    try {
      got = (test->*run)(c.text, true, 0);
    } catch (const ETabulaEngineError& e) {
      got = "error: " + e.ErrorMessageText();
    }
    EXPECT_EQ(got, c.expected) << c.text;
  }
}

#define TABLE(...) RunTable(this, {__VA_ARGS__}, &ExpEvaluatorTest::Run)

TEST_F(ExpEvaluatorTest, NullRules) {
  TABLE({"Empty IS NULL", "boolean:True"}, {"Empty = Empty", "boolean:True"},
        {"Empty <> Empty", "boolean:False"}, {"Empty = 1", "boolean:False"},
        {"Empty <> 1", "boolean:True"}, {"Empty < 1", "boolean:False"},
        {"Empty <= Empty", "boolean:True"}, {"Empty < Empty", "boolean:False"},
        {"Empty IN (1, NULL)", "boolean:True"}, {"Empty NOT IN (1, 2)", "boolean:True"},
        {"Empty + 1", "NULL"}, {"-Empty", "NULL"}, {"NOT (Empty = 1)", "boolean:True"},
        {"Notes < 'a'", "boolean:True"}, {"Notes IS NULL", "boolean:True"},
        {"'abc' || Notes", "string:abc"}, {"Notes || Notes", "NULL"},
        {"Notes LIKE '%'", "boolean:False"}, {"Notes NOT LIKE 'x'", "boolean:True"},
        {"UPPER(Notes)", "NULL"}, {"LENGTH(Notes)", "NULL"});
}

TEST_F(ExpEvaluatorTest, Arithmetic) {
  TABLE({"1 / 0", "NULL"}, {"1.5 / 0", "NULL"}, {"7 / 2", "float:3.5"}, {"7 * 6 - 2", "integer:40"},
        {"2147483647 + 1", "integer:-2147483648"}, {"65536 * 65536", "integer:0"},
        {"Big + 1", "largeint:5000000001"}, {"Tiny * 2", "integer:-6"}, {"-Tiny", "smallint:3"},
        {"Rate * 2", "float:5"}, {"Amount + 1", "BCD:13.35"}, {"Amount * 2", "BCD:24.70"},
        {"Amount / 0", "NULL"}, {"Amount / 4", "BCD:3.09"}, {"Amount - Rate", "float:9.85"},
        {"Level / 2", "float:3.5"}, {"-Level", "integer:-7"}, {"+Level", "integer:7"});
}

TEST_F(ExpEvaluatorTest, DatesAndTimes) {
  TABLE({"Hired + 1", "date:2003-03-01"}, {"1 + Hired", "date:2003-03-01"},
        {"Hired - 28", "date:2003-01-31"}, {"Hired - '2003-01-01'", "integer:58"},
        {"Hired = '2003-2-28'", "boolean:True"}, {"'2003-02-28' = Hired", "boolean:True"},
        {"Hired < '2003-03-01'", "boolean:True"}, {"Stamp - Hired", "integer:5"},
        {"Stamp - Start", "integer:14400000"}, {"Stamp + 1", "timestamp:2003-03-06 12:00"},
        {"Stamp - '2003-03-05 11:00'", "float:3600000"}, {"Stamp > Hired", "boolean:True"},
        {"Stamp = '2003-03-05 12:00 PM'", "boolean:True"}, {"Start + 1500", "time:08:00:01.500"},
        {"Start - '07:30'", "integer:1800000"}, {"Start = '8:00 am'", "boolean:True"},
        {"Start + 57600000", "time:24:00"},
        {"Hired BETWEEN '2003-01-01' AND '2003-12-31'", "boolean:True"},
        {"Hired IN ('2003-02-28')", "boolean:True"});
}

TEST_F(ExpEvaluatorTest, StringsAndCollation) {
  TABLE({"Name = 'Smith'", "boolean:True"}, {"Name = 'smith'", "boolean:False"},
        {"'abc' LIKE 'A%'", "boolean:True"}, {"'abc' LIKE 'a_c'", "boolean:True"},
        {"'abc' LIKE 'b%'", "boolean:False"},
        {"Name || ', ' || \"First Name\"", "string:Smith, Ann"}, {"Name > 'Adams'", "boolean:True"},
        {"'a' < 'b'", "boolean:True"}, {"UPPER('abc') = 'ABC'", "boolean:True"},
        {"LOWER(Name)", "string:smith"});
  // Case-sensitive `=` under a locale as well; LIKE compares with the locale, case-sensitive.
  EXPECT_EQ(Run("'abc' = 'ABC'", true, 1033), "boolean:False");
  EXPECT_EQ(Run("'abc' LIKE 'A%'", true, 1033), "boolean:False");
  EXPECT_EQ(Run("'abc' LIKE 'a%'", true, 1033), "boolean:True");
  EXPECT_EQ(Run("'b' > 'A'", true, 1033), "boolean:True");  // locale: letters by alphabet
  EXPECT_EQ(Run("'b' > 'A'", true, 0), "boolean:True");
  EXPECT_EQ(Run("'B' < 'a'", true, 0), "boolean:True");  // ANSI: byte order
  EXPECT_EQ(Run("'B' < 'a'", true, 1033), "boolean:False");
}

TEST_F(ExpEvaluatorTest, StringsNamingColumns) {
  // Name = 'Smith' compares with the text although a column Smith exists; a quoted name
  // compared with a literal reads as that column.
  EXPECT_EQ(Run("Name = 'Smith'"), "boolean:True");
  EXPECT_EQ(Run("'Smith' = Name"), "boolean:True");
  EXPECT_EQ(Run("\"First Name\" = 'Ann'"), "boolean:True");
  EXPECT_EQ(Run("Name IN ('Smith', 'x')"), "boolean:True");
  EXPECT_EQ(Run("Name LIKE 'Smith'"), "boolean:True");
  EXPECT_EQ(Run("Name BETWEEN 'Smith' AND 'Smith'"), "boolean:True");
  EXPECT_EQ(Run("'Smith'"), "string:Jones");
  EXPECT_EQ(Run("'Smith'", false), "string:Smith");
}

TEST_F(ExpEvaluatorTest, Functions) {
  TABLE({"SUBSTRING('abc' FROM 5)", "NULL"}, {"SUBSTRING('abcdef' FROM 2 FOR 3)", "string:bcd"},
        {"SUBSTRING('abc' FROM 0 FOR 2)", "string:ab"}, {"SUBSTRING('abc' FROM 2 FOR -1)", "NULL"},
        {"SUBSTRING('abc' FROM 2)", "string:bc"},
        {"REPLACE('a' WITH 'xy' IN 'banana')", "string:bxynxynxy"},
        {"REPLACE('aa' WITH 'b' IN 'aaa')", "string:ba"},
        {"REPLACE('a' WITH 'a' IN 'banana')", "string:banana"},
        {"REPLACE('a' WITH '' IN 'aaa')", "NULL"}, {"POS('an' IN 'banana')", "integer:2"},
        {"POS('x' IN 'banana')", "integer:0"}, {"POS('a' IN Notes)", "NULL"},
        {"POS(SUBSTRING(Name FROM 2 FOR 2) IN 'xmi')", "integer:2"},
        {"OCCURS('ana' IN 'banana')", "integer:1"}, {"OCCURS('a' IN 'banana')", "integer:3"},
        {"TRIM(LEADING 'x' FROM 'xxaxx')", "string:axx"},
        {"TRIM(TRAILING 'x' FROM 'xxaxx')", "string:xxa"},
        {"TRIM(BOTH 'x' FROM 'xxaxx')", "string:a"}, {"TRIM(BOTH 'x' FROM 'xxx')", "NULL"},
        {"LENGTH('abcd')", "integer:4"}, {"UPPER('abc')", "string:ABC"}, {"ABS(-5)", "integer:5"},
        {"ABS(-2.5)", "float:2.5"}, {"ABS(Amount - 20)", "BCD:7.65"}, {"ROUND(2.5)", "float:3"},
        {"ROUND(-2.5)", "float:-3"}, {"ROUND(2.675 TO 2)", "float:2.68"},
        {"ROUND(-1.005 TO 2)", "float:-1.01"}, {"ROUND(Amount)", "BCD:12.00"},
        {"ROUND(Amount TO 1)", "BCD:12.40"}, {"IFNULL(Notes, 'none', Notes)", "string:none"},
        {"IFNULL(Name, 'none', Name)", "string:Smith"},
        {"IF(Level > 5, 'high', 'low')", "string:high"}, {"IF(Empty > 5, 1, 2)", "integer:2"},
        {"COALESCE(Empty, NULL, Level)", "integer:7"}, {"COALESCE(Empty, Tiny)", "integer:-3"},
        {"COALESCE(Notes, Notes)", "NULL"}, {"SUM(Level)", "integer:7"}, {"COUNT(Empty)", "NULL"},
        {"MAX(Name)", "string:Smith"});
}

TEST_F(ExpEvaluatorTest, Extract) {
  TABLE({"EXTRACT(WEEK FROM '2005-01-01')", "integer:53"},
        {"EXTRACT(DAYOFWEEK FROM '2005-01-02')", "integer:7"},
        {"EXTRACT(DAYOFWEEK FROM '2005-01-03')", "integer:1"},
        {"EXTRACT(WEEK FROM '2005-01-03')", "integer:1"},
        {"EXTRACT(WEEK FROM '2008-12-29')", "integer:1"},
        {"EXTRACT(DAYOFYEAR FROM '2004-12-31')", "integer:366"},
        {"EXTRACT(YEAR FROM Hired)", "integer:2003"}, {"EXTRACT(MONTH FROM Stamp)", "integer:3"},
        {"EXTRACT(HOUR FROM Stamp)", "integer:12"}, {"EXTRACT(HOUR FROM Hired)", "integer:0"},
        {"EXTRACT(MINUTE FROM '10:45:30')", "integer:45"},
        {"EXTRACT(SECOND FROM '10:45:30')", "integer:30"},
        {"EXTRACT(YEAR FROM Start)", "integer:0"},
        {"EXTRACT(DAY FROM '2004-02-29 23:59')", "integer:29"});
}

TEST_F(ExpEvaluatorTest, Cast) {
  TABLE({"CAST('12x' AS INTEGER)", "integer:0"}, {"CAST('12' AS INTEGER) + 1", "integer:13"},
        {"CAST(Hired AS CHAR(20))", "string:2003-02-28"}, {"CAST(Hired AS CHAR(4))", "string:2003"},
        {"CAST(Start AS CHAR(20))", "string:08:00"}, {"CAST(Stamp AS DATE)", "date:2003-03-05"},
        {"CAST(Hired AS TIMESTAMP)", "timestamp:2003-02-28 00:00"},
        {"CAST('true' AS BOOLEAN)", "boolean:True"}, {"CAST(Active AS CHAR(10))", "string:True"},
        {"CAST(2.7 AS INTEGER)", "integer:2"}, {"CAST(-2.7 AS INTEGER)", "integer:-2"},
        {"CAST(70000 AS SMALLINT)", "smallint:4464"}, {"CAST(Level AS FLOAT)", "float:7"},
        {"CAST(2.5 AS CHAR(10))", "string:2.5"}, {"CAST(1.23456 AS DECIMAL(10, 2))", "BCD:1.23"},
        {"CAST(Amount AS INTEGER)", "integer:12"}, {"CAST(NULL AS DATE)", "NULL"},
        {"CAST('12:30:05.7 PM' AS TIME)", "time:12:30:05.7"},
        {"CAST('1:00 AM' AS TIME)", "time:01:00"}, {"CAST('12:00 AM' AS TIME)", "time:00:00"},
        {"CAST('2004-02-30' AS DATE)", "date:"});
}

TEST_F(ExpEvaluatorTest, MoneySubtype) {
  struct TSub {
    const char* text;
    std::uint8_t subtype;
  };
  for (const TSub& c :
       {TSub{"Pay * 2", fldstMoney}, TSub{"2 * Pay", fldstMoney}, TSub{"Pay - 1", fldstMoney},
        TSub{"1 - Pay", fldstNone}, TSub{"Pay / 2", fldstMoney}, TSub{"2 / Pay", fldstNone},
        TSub{"Rate + Level", fldstNone}}) {
    TExpTokenPtr tree = Parse(c.text);
    TypeCheck(Options(), &columns_, &tree);
    EXPECT_EQ(tree->data_type, fldFloat) << c.text;
    EXPECT_EQ(tree->subtype, c.subtype) << c.text;
  }
}

TEST_F(ExpEvaluatorTest, ResultTypesAndSizes) {
  struct TAttr {
    const char* text;
    std::uint8_t type;
    std::uint32_t size;
    std::uint8_t scale;
  };
  for (const TAttr& c :
       {TAttr{"Name || Notes", fldString, 61, 0}, TAttr{"Name || 'abc'", fldString, 24, 0},
        TAttr{"Level + Tiny", fldInteger, 4, 0}, TAttr{"Level + Big", fldLargeInt, 8, 0},
        TAttr{"Amount * Level", fldBCD, 34, 2}, TAttr{"Level / Tiny", fldFloat, 8, 0},
        TAttr{"Hired - Hired", fldInteger, 4, 0}, TAttr{"Stamp - Stamp", fldFloat, 8, 0},
        TAttr{"Name = 'x'", fldBoolean, 2, 0}, TAttr{"COUNT(Name)", fldInteger, 4, 0},
        TAttr{"TEXTOCCURS('a' IN Name)", fldInteger, 4, 0},
        TAttr{"CAST(Level AS CHAR(12))", fldString, 13, 0},
        TAttr{"CAST(Level AS DECIMAL(10, 3))", fldBCD, 34, 3},
        TAttr{"IF(Active, Name, Notes)", fldString, 41, 0}}) {
    TExpTokenPtr tree = Parse(c.text);
    TypeCheck(Options(), &columns_, &tree);
    EXPECT_EQ(tree->data_type, c.type) << c.text;
    EXPECT_EQ(tree->size, c.size) << c.text;
    EXPECT_EQ(tree->scale, c.scale) << c.text;
  }
}

TEST_F(ExpEvaluatorTest, BooleanRewrite) {
  for (const char* text : {"Active", "NOT Active", "Active AND Level = 7", "Level = 7 OR Active",
                           "CAST(Level AS BOOLEAN)"}) {
    TExpTokenPtr tree = Parse(text);
    TypeCheck(Options(), &columns_, &tree);
    TExpToken* found = tree.get();
    while (found->kind != nkBinary || found->op != opEqual || !found->right ||
           found->right->text != "True") {
      found = found->kind == nkUnary ? found->left
              : found->op == opAnd   ? found->left
              : found->op == opOr    ? found->right
                                     : nullptr;
      ASSERT_NE(found, nullptr) << text;
    }
    EXPECT_EQ(found->text, "=");
    EXPECT_EQ(found->left->data_type, fldBoolean) << text;
    TExpTokenPtr value = Evaluate(*tree, record_.Image(), &columns_, 0, 0);
    EXPECT_EQ(Show(*value),
              std::string(text).rfind("NOT", 0) == 0 ? "boolean:False" : "boolean:True")
        << text;
  }
  // Not rewritten under a comparison or without the flag.
  TExpTokenPtr tree = Parse("Active = False");
  TypeCheck(Options(), &columns_, &tree);
  EXPECT_EQ(tree->left->kind, nkColumn);
  tree = Parse("Active");
  TypeCheck(Options(true, false), &columns_, &tree);
  EXPECT_EQ(tree->kind, nkColumn);
}

TEST_F(ExpEvaluatorTest, TypeErrors) {
  const std::string in = " in WHERE or JOIN clause";
  struct TError {
    const char* text;
    std::string message;
  };
  for (const TError& c : std::initializer_list<TError>{
           {"Name = 1", "Type mismatch between column 'Name' and constant '1'" + in},
           {"Level + Name", "Type mismatch between column 'Level' and column 'Name'" + in},
           {"(Level + 1) = 'x'", "Type mismatch between expression '+' and constant 'x'" + in},
           {"Active < True", "Type mismatch between column 'Active' and constant 'True'" + in},
           {"NOT Level", "Type mismatch between 'NOT' operator and 'Level'" + in},
           {"-Name", "Type mismatch between '-' operator and 'Name'" + in},
           {"Hired = 'soon'",
            "Date, time, or timestamp expression expected, instead found 'soon'" + in},
           {"Nobody = 1",
            "Invalid column name 'Nobody' or table correlation name '' specified" + in},
           {"x.Level = 1",
            "Invalid column name 'Level' or table correlation name 'x' specified" + in},
           {"SUM(Name)",
            "SUM aggregate function must contain a numeric, date, time, or timestamp expression" +
                in},
           {"MAX(Active)",
            "MAX aggregate function must contain a numeric, date, time, or timestamp expression" +
                in},
           {"UPPER(Level)", "Type mismatch between UPPER function and function argument" + in},
           {"LENGTH(Level)", "Type mismatch between LENGTH function and function argument" + in},
           {"SUBSTRING(Level FROM 1)",
            "Expression argument of SUBSTRING function must be a string or memo" + in},
           {"SUBSTRING(Name FROM 'a')",
            "FROM argument of SUBSTRING function must be an integer value" + in},
           {"SUBSTRING(Name FROM 1 FOR 1.5)",
            "FOR argument of SUBSTRING function must be an integer value" + in},
           {"REPLACE('a' WITH 'b' IN Level)",
            "IN argument of REPLACE function must be a string or memo" + in},
           {"REPLACE(1 WITH 'b' IN Name)",
            "Type mismatch between REPLACE function and search string argument" + in},
           {"POS('a' IN Level)", "Type mismatch between POS function and IN argument" + in},
           {"OCCURS(1 IN Name)",
            "Type mismatch between OCCURS function and search string argument" + in},
           {"TRIM(BOTH 'x' FROM Level)",
            "FROM argument of TRIM function must be a string or memo" + in},
           {"TRIM(BOTH 'xy' FROM Name)",
            "Trim character argument of TRIM function must be a single character constant" + in},
           {"CAST(Hired AS INTEGER)", "Type mismatch between column 'Hired' and AS argument" + in},
           {"CAST(Level AS CHAR(0))",
            "Length argument must be an integer greater than 0 and less than or equal to 250" + in},
           {"CAST(Level AS CHAR(2.5))", "Length argument must be an integer" + in},
           {"CAST(Level AS DECIMAL(10, 5))",
            "Scale argument must be an integer greater than or equal to 0 and less than or equal "
            "to 4" +
                in},
           {"CAST(Name AS BLOB(1, 4))",
            "BLOB type argument must be an integer with a value of 1,2,3,5, or 7" + in},
           {"EXTRACT(YEAR FROM Level)",
            "FROM argument of EXTRACT function must be a date, time, or timestamp" + in},
           {"EXTRACT(YEAR FROM 'never')",
            "FROM argument of EXTRACT function must be a date, time, or timestamp" + in},
           {"IF(Level, 1, 2)",
            "First expression argument of IF function must be a boolean type" + in},
           {"IF(Active, 1, 'a')", "Type mismatch between IF expression arguments" + in},
           {"COALESCE(NULL, NULL)",
            "At least one of the COALESCE expression arguments" + in + " must be a non-NULL value"},
           {"ABS(Name)",
            "Expression argument of ABS function must be an integer, floating-point, or BCD type" +
                in},
           {"ROUND(Level)",
            "Expression argument of ROUND function must be a floating-point or BCD type" + in},
           {"ROUND(Rate TO Level)",
            "Decimal places argument of ROUND function must be an integer constant" + in},
           {"ROUND(Rate TO 33)",
            "Decimal places argument of ROUND function must be an integer constant between 0 and "
            "32" +
                in},
           {"TEXTSEARCH(1 IN Name)",
            "Type mismatch between TEXTSEARCH function and search text function argument" + in},
           {"TEXTSEARCH('a' IN 'b')",
            "TEXTSEARCH function column argument must be a valid column name" + in},
           {"TEXTOCCURS('a' IN Level)",
            "Type mismatch between TEXTOCCURS function and column function argument" + in},
           {"LASTAUTOINC(1)",
            "Type mismatch between LASTAUTOINC function and table name function argument" + in},
           {"LASTAUTOINC(Name)",
            "LASTAUTOINC table name function argument must be a string constant" + in},
           {"Level LIKE 'a'", "Type mismatch between LIKE operator and expression 'Level'" + in},
           {"Name NOT LIKE 1", "Type mismatch between NOT LIKE operator and expression '1'" + in},
           {"Level BETWEEN 1 AND 'z'",
            "Type mismatch between BETWEEN operator and expression 'z'" + in},
           {"Level NOT IN (1, 'z')",
            "Type mismatch between NOT IN operator and expression 'z'" + in},
           {"Hired IN ('2003-01-01', 'z')",
            "Date, time, or timestamp expression expected, instead found 'z'" + in}}) {
    std::uint16_t code = 0;
    EXPECT_EQ(CheckError(c.text, &code), c.message) << c.text;
    EXPECT_EQ(code, TABULA_SQLPARSE) << c.text;
  }
}

TEST_F(ExpEvaluatorTest, ColumnWithoutOwnerIsAnInternalError) {
  TExpTokenPtr tree = Parse("Level + 1");
  TypeCheck(Options(), &columns_, &tree);
  std::uint16_t code = 0;
  EXPECT_EQ(ErrorOf([&] { Evaluate(*tree, record_.Image(), nullptr, 0, 0); }, &code),
            "Internal error: Column 'Level' specified illegally");
  EXPECT_EQ(code, TABULA_SQLPARSE);
  // Without a resolver (INSERT values) a name is an invalid column; filters raise their code.
  TTypeCheckOptions options = Options();
  options.error_code = TABULA_INVALIDFILTER;
  options.resolve_columns = false;
  options.context = "filter expression";
  tree = Parse("Level + 1");
  EXPECT_EQ(ErrorOf([&] { TypeCheck(options, &columns_, &tree); }, &code),
            "Invalid column name 'Level' or table correlation name '' specified in filter "
            "expression");
  EXPECT_EQ(code, TABULA_INVALIDFILTER);
}

TEST_F(ExpEvaluatorTest, FilterCompareIgnoresCaseOverPartialLength) {
  TExpTokenPtr node = NewExpToken();
  node->kind = nkFilterCompare;
  node->op = opEqual;
  node->left = NewExpToken().release();
  node->left->kind = nkConstant;
  node->left->SetStringValue("SMITHSON");
  node->right = NewExpToken().release();
  node->right->kind = nkConstant;
  node->right->SetStringValue("smith");
  EXPECT_EQ(Show(*Evaluate(*node, nullptr, nullptr, 0, 0)), "boolean:False");
  node->case_insensitive = 1;
  node->partial_length = 5;
  EXPECT_EQ(Show(*Evaluate(*node, nullptr, nullptr, 0, 0)), "boolean:True");
  node->op = opNotEqual;
  EXPECT_EQ(Show(*Evaluate(*node, nullptr, nullptr, 0, 0)), "boolean:False");
  node->right->null = 1;
  EXPECT_EQ(Show(*Evaluate(*node, nullptr, nullptr, 0, 0)), "boolean:True");
}

TEST_F(ExpEvaluatorTest, AndOrSkipTheLeftWhenTheRightDecides) {
  // The left operand reads a column; without an owner it would raise.
  TExpTokenPtr tree = Parse("Level = 7 AND 1 = 2");
  TypeCheck(Options(), &columns_, &tree);
  EXPECT_EQ(Show(*Evaluate(*tree, nullptr, nullptr, 0, 0)), "boolean:False");
  tree = Parse("Level = 7 OR 1 = 1");
  TypeCheck(Options(), &columns_, &tree);
  EXPECT_EQ(Show(*Evaluate(*tree, nullptr, nullptr, 0, 0)), "boolean:True");
  EXPECT_EQ(Run("Level = 7 AND Name = 'Smith'"), "boolean:True");
  EXPECT_EQ(Run("Level = 8 OR Name = 'x'"), "boolean:False");
}

TEST_F(ExpEvaluatorTest, SubSelectOfMoreThanOneColumn) {
  TExpTokenPtr node = NewExpToken();
  node->kind = nkSubSelect;
  node->text = "SELECT";
  EXPECT_EQ(ErrorOf([&] { TypeCheck(Options(), &columns_, &node); }),
            "More than 1 column for sub-select  specified in WHERE or JOIN clause");
}

TEST(ConvertValueTest, ConvertsInPlaceAndZeroesWhatFails) {
  struct TConversion {
    std::uint8_t from;
    std::string value;  // source bytes
    std::uint8_t to;
    std::uint32_t size;
    bool ok;
    std::string expected;  // target bytes, zero-padded to 8
  };
  auto i32 = [](std::int32_t v) {
    std::string s(4, '\0');
    EncodeFixed32(reinterpret_cast<std::uint8_t*>(s.data()), static_cast<std::uint32_t>(v));
    return s;
  };
  auto f64 = [](double v) {
    std::string s(8, '\0');
    EncodeDouble(reinterpret_cast<std::uint8_t*>(s.data()), v);
    return s;
  };
  for (const TConversion& c : std::initializer_list<TConversion>{
           {fldString, "42", fldInteger, 4, true, i32(42)},
           {fldString, "12x", fldInteger, 4, false, i32(0)},
           {fldString, "2003-02-28", fldDate, 4, true, i32(EncodeDate(2003, 2, 28))},
           {fldString, "2003-02-30", fldDate, 4, false, i32(0)},
           {fldString, "1.25", fldFloat, 8, true, f64(1.25)},
           {fldString, "yes", fldBoolean, 2, false, std::string(2, '\0')},
           {fldInteger, i32(-5), fldString, 10, true, std::string("-5")},
           {fldInteger, i32(70000), fldSmallInt, 2, true, std::string("\x70\x11", 2)},
           {fldFloat, f64(-2.9), fldInteger, 4, true, i32(-2)},
           {fldFloat, f64(86400000.0 * 3 + 5000), fldTime, 4, true, i32(5000)},
           {fldTime, i32(3723004), fldString, 20, true, std::string("01:02:03.4")},
           {fldTime, i32(3720000), fldString, 20, true, std::string("01:02")},
           {fldTime, i32(1000), fldTimeStamp, 8, true,
            f64(EncodeTimeStamp(EncodeDate(1899, 12, 30), 1000))},
           {fldDate, i32(EncodeDate(2003, 2, 28)), fldString, 5, true, std::string("2003")},
           {fldString, "abcdef", fldBytes, 3, true, std::string("abc")},
           {fldBoolean, std::string("\x01\x00", 2), fldString, 10, true, std::string("True")},
           {fldDate, i32(1), fldInteger, 4, false, i32(0)}}) {
    std::uint8_t buffer[kConvertBufferSize] = {};
    std::memcpy(buffer, c.value.data(), c.value.size());
    EXPECT_EQ(ConvertValue(c.from, static_cast<std::uint32_t>(c.value.size()), 0, buffer, 0, c.size,
                           c.to),
              c.ok)
        << FieldTypeName(c.from) << " " << c.value << " -> " << FieldTypeName(c.to);
    std::string expected = c.expected;
    expected.resize(kConvertBufferSize, '\0');
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), kConvertBufferSize), expected)
        << FieldTypeName(c.from) << " -> " << FieldTypeName(c.to);
  }
}

TEST(LiteralFormatTest, TimesDatesAndTheirMessages) {
  std::int32_t ms = -1;
  EXPECT_TRUE(ParseTimeLiteral(" pm 3:04 ", &ms));
  EXPECT_EQ(ms, (15 * 60 + 4) * 60000);
  EXPECT_TRUE(ParseTimeLiteral("12:00:00 PM", &ms));
  EXPECT_EQ(ms, 12 * 3600000);
  EXPECT_FALSE(ParseTimeLiteral("1200", &ms));
  EXPECT_FALSE(ParseTimeLiteral("24:00", &ms));
  std::int32_t day = -1;
  EXPECT_TRUE(ParseDateLiteral("0001-1-1", &day));
  EXPECT_EQ(day, 1);
  EXPECT_FALSE(ParseDateLiteral("2003/02/28", &day));
  double stamp = 0;
  EXPECT_TRUE(ParseTimeStampLiteral("2003-02-28", &stamp));
  EXPECT_EQ(FormatTimeStamp(stamp), "2003-02-28 00:00");
  EXPECT_FALSE(ParseTimeStampLiteral("2003-02-28 noon", &stamp));
  EXPECT_EQ(InvalidDateMessage("x"), "'x' is not a valid date");
  EXPECT_EQ(InvalidTimeMessage("x"), "'x' is not a valid time");
  EXPECT_EQ(InvalidTimeStampMessage("x"), "'x' is not a valid date and time");
  EXPECT_EQ(InvalidBooleanMessage("x"), "'x' is not a valid boolean");
  EXPECT_EQ(FormatFloat(0.1), "0.1");
}

}  // namespace
}  // namespace tabula
