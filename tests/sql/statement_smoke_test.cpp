// A deterministic smoke run over mutated statements: every text must end in a prepared
// statement or a TABULA_SQLPARSE error, never in a crash, another exception or a sanitizer
// finding. Texts that once failed that way are kept below as regression cases.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/sql/query_statement.h"

namespace tabula {
namespace {

const char* const kSeeds[] = {
    "select max( Staff_id ) from Staff",
    "select count( User_ID ) from Staff where User_ID = ?",
    "SELECT DISTINCT s.a AS x, t.b y, COUNT(*) FROM Staff s LEFT OUTER JOIN t ON s.k = t.k "
    "WHERE s.a BETWEEN 1 AND 10 AND t.b LIKE 'A%' GROUP BY s.a, 2 HAVING COUNT(*) > 1 "
    "ORDER BY 1 DESC NOCASE TOP 5 WITH LOCKS",
    "SELECT a FROM ((a JOIN b ON a.x = b.x) RIGHT JOIN c ON c.y = a.y) WHERE a.z IN (SELECT z "
    "FROM d WHERE d.q NOT IN (1, 2, 3))",
    "SELECT a FROM t UNION ALL (SELECT b FROM u) UNION SELECT c FROM v ORDER BY 1 TOP 3",
    "SELECT UPPER(a) || LOWER(b), SUBSTRING(c FROM 2 FOR 3), REPLACE('x' WITH 'y' IN d), "
    "POS('a' IN e), OCCURS('b' IN f), TRIM(BOTH ' ' FROM g), EXTRACT(YEAR FROM h), "
    "CAST(i AS DECIMAL(10,2)), ABS(-j), ROUND(k TO 2), IF(l = 1 THEN 'a' ELSE 'b'), "
    "IFNULL(m, 1, 2), COALESCE(n, o, #65), TEXTSEARCH('w' IN p), LASTAUTOINC('Staff') FROM t",
    "SELECT CURRENT_DATE, CURRENT_TIME(), CURRENT_TIMESTAMP, TRUE, FALSE, NULL, 1.5e+3, "
    "2147483648, 'It''s', \"dq\", [br] INTO MEMORY r FROM \"Staff.dat\" /* comment */",
    "INSERT INTO t (a, 'b') VALUES (?, 'x' + 'y') NOAUTOINC COMMIT INTERVAL 100 FLUSH",
    "INSERT INTO MEMORY db\\t SELECT * FROM u WHERE u.a IS NOT NULL",
    "UPDATE Staff s SET a = a + 1, b = ? FROM Staff s JOIN u ON s.k = u.k WHERE u.c <> 0 "
    "COMMIT FLUSH NOJOINOPTIMIZE",
    "DELETE FROM t x WHERE x.a < = 5 OR x.b > = 6 COMMIT INTERVAL 10",
    "CREATE TABLE IF NOT EXISTS \"Staff\" (\"Staff ID\" AUTOINC DESCRIPTION 'key', User_ID "
    "VARCHAR(20) NOT NULL DEFAULT 'x' MIN 'a' MAX 'z' CHARCASE UPPER, Amount DECIMAL(10,2), "
    "Notes MEMO, Pic BLOB(512, 2), CONSTRAINT pk UNIQUE DESC NOCASE PRIMARY KEY (\"Staff ID\") "
    "COMPRESS FULL TEXT INDEX (Notes) STOP WORDS 'a the' SPACE CHARS #9 INCLUDE CHARS '-' "
    "DESCRIPTION 'd' BLOB BLOCK SIZE 1024 LANGUAGE 'ANSI Standard' SORT 'Default Order' "
    "ENCRYPTED WITH 'pw' USER MAJOR VERSION 1 USER MINOR VERSION 2 LAST AUTOINC 100)",
    "ALTER TABLE t ADD COLUMN a INTEGER AT 2, REDEFINE b bb CHAR(10) AT 1, DROP c, "
    "ADD CONSTRAINT k PRIMARY KEY (a), DROP PRIMARY KEY NOBACKUP",
    "CREATE UNIQUE ASC INDEX IF NOT EXISTS ix ON MEMORY t (a, b) COMPRESS DUPBYTE",
    "DROP INDEX IF EXISTS db\\t.ix; DROP TABLE IF EXISTS t; START TRANSACTION; ROLLBACK WORK; "
    "COMMIT WORK FLUSH",
};

// Words and symbols spliced into texts.
const char* const kVocabulary[] = {
    "SELECT",     "FROM",
    "WHERE",      "(",
    ")",          ",",
    ".",          "'",
    "\"",         "[",
    "]",          "/*",
    "*/",         "?",
    "*",          "|",
    "||",         "#",
    "#999",       "1e",
    "1.5.3",      "99999999999999999999999",
    "NOT",        "IN",
    "IS",         "NULL",
    "AND",        "OR",
    "UNION",      "JOIN",
    "ON",         "LEFT",
    "FULL",       "AS",
    "\\",         ";",
    "-",          "+",
    "CAST(",      "IF(",
    "SUBSTRING(", "COUNT(",
    "BETWEEN",    "LIKE",
    "INTO",       "MEMORY",
    "ORDER BY",   "GROUP BY",
    "TOP",        "\r\n",
    "\xFF",       "\x01",
    "((((((((((", "))))))))))",
    "AT 0",       "PRIMARY KEY",
};

// Edge inputs the mutations reach rarely, and every input that once ended badly (fuzzer or
// smoke run findings are added here); each must prepare or fail with TABULA_SQLPARSE.
const char* const kRegressions[] = {
    "SELECT a FROM t WHERE b IN (SELECT c FROM u WHERE d IN (SELECT e FROM v",
    "SELECT * FROM t UNION SELECT * FROM t UNION SELECT * FROM t UNION",
    "CREATE TABLE t (a INT LAST AUTOINC -2147483648)",
    "'",
    "/*",
    "SELECT #",
};

// Prepares every statement of `text`; returns false when anything but TABULA_SQLPARSE left.
bool Survives(const std::string& text, std::string* what) {
  TQueryStatement statement;
  try {
    statement.Prepare(text);
    while (statement.PrepareNext()) {
    }
    return true;
  } catch (const ETabulaEngineError& error) {
    if (error.ErrorCode() == TABULA_SQLPARSE) return true;
    *what = error.what();
  } catch (const std::exception& error) {
    *what = error.what();
  }
  return false;
}

std::string Mutate(std::string text, std::mt19937& random) {
  const int steps = 1 + static_cast<int>(random() % 4);
  for (int step = 0; step < steps; ++step) {
    const std::size_t at = text.empty() ? 0 : random() % (text.size() + 1);
    switch (random() % 6) {
      case 0: {  // delete a run
        const std::size_t length = 1 + random() % 8;
        if (at < text.size()) text.erase(at, length);
        break;
      }
      case 1:  // insert a word
        text.insert(at, std::string(" ") + kVocabulary[random() % std::size(kVocabulary)] + " ");
        break;
      case 2: {  // duplicate a run
        if (at < text.size()) {
          const std::string run = text.substr(at, 1 + random() % 20);
          text.insert(at, run);
        }
        break;
      }
      case 3:  // flip a byte
        if (at < text.size()) text[at] = static_cast<char>(random() % 256);
        break;
      case 4:  // cut the text
        text.resize(at);
        break;
      default: {  // splice a piece of another seed
        const std::string other = kSeeds[random() % std::size(kSeeds)];
        const std::size_t from = random() % other.size();
        text.insert(at, other.substr(from, 1 + random() % 40));
        break;
      }
    }
  }
  return text;
}

TEST(StatementSmokeTest, SeedsPrepare) {
  for (const char* seed : kSeeds) {
    SCOPED_TRACE(seed);
    TQueryStatement statement;
    EXPECT_NO_THROW({
      statement.Prepare(seed);
      while (statement.PrepareNext()) {
      }
    });
  }
}

TEST(StatementSmokeTest, RegressionInputs) {
  for (const char* text : kRegressions) {
    std::string what;
    EXPECT_TRUE(Survives(text, &what)) << text << ": " << what;
  }
}

TEST(StatementSmokeTest, MutatedStatementsEndInResultOrParseError) {
  std::mt19937 random(20261210);
  int prepared = 0;
  int failed = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string text = Mutate(kSeeds[random() % std::size(kSeeds)], random);
    std::string what;
    TQueryStatement statement;
    try {
      statement.Prepare(text);
      ++prepared;
      // A prepared tree also survives the stream round trip a remote filter takes.
      if (statement.MasterQuery()->condition) {
        std::string stream;
        WriteExpressionStream(*statement.MasterQuery()->condition, false, &stream);
        TExpTokenPtr back = ReadExpressionStream(
            reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
        ASSERT_TRUE(back) << text;
        stream.clear();
        WriteExpressionStream(*statement.MasterQuery()->condition, true, &stream);
      }
      while (statement.PrepareNext()) {
      }
    } catch (const ETabulaEngineError& error) {
      ++failed;
      ASSERT_EQ(error.ErrorCode(), TABULA_SQLPARSE) << text << ": " << error.what();
      ASSERT_LE(error.ErrorMessageText().size(), 255u);
    }
  }
  // Both outcomes occur, so the run exercises the parser beyond its first error.
  EXPECT_GT(prepared, 100);
  EXPECT_GT(failed, 1000);
}

}  // namespace
}  // namespace tabula
