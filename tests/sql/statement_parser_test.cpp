#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "engine/sql/query_statement.h"
#include "tests/sql/sql_test_util.h"

namespace tabula {
namespace {

std::string DumpTable(const TSourceTable& t) {
  std::string out = (t.memory ? "MEMORY " : "") + t.table_name;
  if (!t.correlation_name.empty()) out += " " + t.correlation_name;
  if (t.join_kind) out += " j" + std::to_string(t.join_kind);
  out += "#" + std::to_string(t.position);
  return out;
}

// A compact dump of the parts of a block that are set.
std::string DumpQuery(const TDataQuery& q) {
  std::string out = q.StatementName();
  if (q.distinct) out += " DISTINCT";
  if (q.select_all) out += " ALL*";
  if (!q.result_fields.empty()) {
    out += " cols[";
    for (std::size_t i = 0; i < q.result_fields.size(); ++i) {
      const TResultField& f = q.result_fields[i];
      if (i) out += "; ";
      out += f.expression_text;
      if (!f.name.empty())
        out += " AS " + (f.table_name.empty() ? "" : f.table_name + ".") + f.name;
    }
    out += "]";
  }
  if (q.has_into)
    out += " into[" + std::string(q.into_memory ? "MEMORY " : "") + q.into_table + "]";
  if (!q.source_tables.empty()) {
    out += " from[";
    for (std::size_t i = 0; i < q.source_tables.size(); ++i) {
      if (i) out += ", ";
      out += DumpTable(q.source_tables[i]);
    }
    out += "]";
  }
  if (q.condition) out += " where" + DumpTree(q.condition.get());
  if (!q.group_by.empty()) {
    out += " group[";
    for (const TGroupByField& g : q.group_by) {
      out += (g.column_number ? std::to_string(g.column_number)
                              : (g.table_name.empty() ? "" : g.table_name + ".") + g.column_name) +
             " ";
    }
    out.back() = ']';
  }
  if (q.having) out += " having" + DumpTree(q.having.get());
  if (!q.order_by.empty()) {
    out += " order[";
    for (const TOrderByField& o : q.order_by) {
      out += (o.column_number ? std::to_string(o.column_number)
                              : (o.table_name.empty() ? "" : o.table_name + ".") + o.column_name) +
             (o.descending ? " DESC" : "") + " ";
    }
    out.back() = ']';
    if (q.order_no_case) out += " NOCASE";
  }
  if (q.top >= 0) out += " top" + std::to_string(q.top);
  if (q.with_locks) out += " LOCKS";
  if (q.has_language)
    out += " lang" + std::to_string(q.language_id) + "/" + std::to_string(q.sort_id);
  if (!q.password.empty()) out += " pw[" + q.password + "]";
  if (q.no_join_optimize) out += " NOJOINOPTIMIZE";
  if (q.no_autoinc) out += " NOAUTOINC";
  if (q.commit_interval) out += " interval" + std::to_string(q.commit_interval);
  if (q.commit_flush || q.flush) out += " FLUSH";
  if (!q.update_fields.empty()) {
    out += " set[";
    for (std::size_t i = 0; i < q.update_fields.size(); ++i) {
      if (i) out += ", ";
      out += q.update_fields[i].column_name;
      if (i < q.update_values.size()) out += "=" + DumpTree(q.update_values[i].expression.get());
    }
    for (std::size_t i = q.update_fields.size(); i < q.update_values.size(); ++i) {
      out += ", =" + DumpTree(q.update_values[i].expression.get());
    }
    out += "]";
  }
  if (q.insert_source) out += " source{" + DumpQuery(*q.insert_source) + "}";
  if (q.union_next)
    out += std::string(q.union_all ? " UNION ALL{" : " UNION{") + DumpQuery(*q.union_next) + "}";
  return out;
}

std::string Prepare(const std::string& text) {
  TQueryStatement statement;
  statement.Prepare(text);
  return DumpQuery(*statement.MasterQuery());
}

std::string PrepareError(const std::string& text) {
  std::string dump;
  std::uint16_t code = 0;
  std::string error = ErrorOf([&] { dump = Prepare(text); }, &code);
  if (error == "<no error>") return dump;
  EXPECT_EQ(code, TABULA_SQLPARSE) << text;
  return error;
}

TEST(StatementParserTest, SelectShapes) {
  struct Case {
    const char* text;
    const char* dump;
  };
  const Case cases[] = {
      {"SELECT a FROM \"c:\\data\\Staff.DAT\" WHERE staff.a = 1 AND \"Staff.dat\".b = 2",
       "SELECT cols[a] from[c:\\data\\Staff.DAT#1] where(AND (= staff.a 1) (= Staff.dat.b 2))"},
      {"SELECT a FROM db\\Staff WHERE Staff.a = 1",
       "SELECT cols[a] from[db\\Staff#1] where(= Staff.a 1)"},
      {"select max( Staff_id ) from Staff", "SELECT cols[max( Staff_id )] from[Staff#1]"},
      {"SELECT * FROM t", "SELECT ALL* cols[*] from[t#1]"},
      {"SELECT *, a FROM t", "SELECT cols[*; a] from[t#1]"},
      {"SELECT ALL DISTINCT a AS x, b y, c AS t.z, d 'w' FROM \"t.dat\"",
       "SELECT DISTINCT cols[a AS x; b AS y; c AS t.z; d AS w] from[t.dat#1]"},
      {"SELECT a FROM Staff s, MEMORY m AS n, db\\u",
       "SELECT cols[a] from[Staff s#1, MEMORY m n#2, db\\u#3]"},
      {"SELECT a FROM a LEFT OUTER JOIN b ON a.x = b.x WHERE a.y = 1",
       "SELECT cols[a] from[a#1, b j2#2] where(AND (= a.x b.x) (= a.y 1))"},
      {"SELECT a FROM a JOIN b ON a.x = b.x INNER JOIN c ON c.x = b.x",
       "SELECT cols[a] from[a#1, b j1#2, c j1#3] where(AND (= a.x b.x) (= c.x b.x))"},
      {"SELECT a FROM a RIGHT JOIN b bb ON a.x = bb.x",
       "SELECT cols[a] from[b bb j3#2, a#1] where(= a.x bb.x)"},
      {"SELECT a FROM ((a JOIN b ON a.x = b.x) LEFT JOIN c ON c.y = a.y)",
       "SELECT cols[a] from[a#1, b j1#2, c j2#3] where(AND (= a.x b.x) (= c.y a.y))"},
      {"SELECT a, COUNT(*) FROM t GROUP BY a, t.b, 2 HAVING COUNT(*) > 1 ORDER BY 1 DESC, t.a ASC "
       "NOCASE TOP 10",
       "SELECT cols[a; COUNT(*)] from[t#1] group[a t.b 2] having(> COUNT(*) 1) order[1 DESC t.a] "
       "NOCASE top10"},
      {"SELECT a FROM t ORDER BY a TOP 5 WITH LOCKS LANGUAGE 'ANSI Standard' SORT 'Default Order' "
       "ENCRYPTED WITH 'secret' NOJOINOPTIMIZE",
       "SELECT cols[a] from[t#1] order[a] top5 LOCKS lang0/0 pw[secret] NOJOINOPTIMIZE"},
      {"SELECT a INTO MEMORY r FROM t", "SELECT cols[a] into[MEMORY r] from[t#1]"},
      {"SELECT a INTO db\\r FROM t", "SELECT cols[a] into[db\\r] from[t#1]"},
      {"SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE c = ?)",
       "SELECT cols[a] from[t#1] where(IN a <SELECT>)"},
      {"(SELECT a FROM t)", "SELECT cols[a] from[t#1]"},
      {"SELECT a FROM t UNION SELECT b FROM u UNION ALL SELECT c FROM v ORDER BY 1 TOP 3",
       "SELECT cols[a] from[t#1] order[1] top3 UNION{SELECT cols[b] from[u#1] UNION ALL{SELECT "
       "cols[c] from[v#1]}}"},
      {"SELECT a FROM t UNION (SELECT b FROM u)",
       "SELECT cols[a] from[t#1] UNION{SELECT cols[b] from[u#1]}"},
      {"SELECT a\r\n+\nb FROM t;", "SELECT cols[a+b] from[t#1]"},
      {"SELECT a FROM t WHERE a = 'x' OR NOT b LIKE 'y%'",
       "SELECT cols[a] from[t#1] where(OR (= a 'x') (NOT (LIKE b 'y%')))"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(PrepareError(c.text), c.dump);
  }
}

TEST(StatementParserTest, OtherStatementShapes) {
  struct Case {
    const char* text;
    const char* dump;
  };
  const Case cases[] = {
      {"INSERT INTO t VALUES (1, 'a')", "INSERT from[t#1] set[*=1, ='a']"},
      {"INSERT INTO t (a, 'b c') VALUES (?, a + 1) NOAUTOINC COMMIT INTERVAL 100 FLUSH",
       "INSERT from[t#1] NOAUTOINC interval100 FLUSH set[a=?, b c=(+ a 1)]"},
      {"INSERT INTO MEMORY db\\t x (a) SELECT b FROM u NOAUTOINC",
       "INSERT from[MEMORY db\\t x#1] NOAUTOINC set[a] source{SELECT cols[b] from[u#1]}"},
      {"INSERT INTO t SELECT b FROM u COMMIT FLUSH",
       "INSERT from[t#1] FLUSH set[*] source{SELECT cols[b] from[u#1]}"},
      {"UPDATE Staff s SET a = 1, 'b' = ? WHERE s.c IS NOT NULL COMMIT INTERVAL 5 NOJOINOPTIMIZE",
       "UPDATE from[Staff s#1] where(IS NOT NULL s.c NULL) NOJOINOPTIMIZE interval5 set[a=1, b=?]"},
      {"UPDATE t SET a = u.b FROM t JOIN u ON t.k = u.k",
       "UPDATE from[t#1, u j1#2] where(= t.k u.k) set[a=u.b]"},
      {"DELETE FROM t WHERE a BETWEEN 1 AND 2 COMMIT INTERVAL 10",
       "DELETE from[t#1] where(BETWEEN a 1 2) interval10"},
      {"DELETE FROM t x NOJOINOPTIMIZE", "DELETE from[t x#1] NOJOINOPTIMIZE"},
      {"DROP TABLE IF EXISTS MEMORY db\\t", "DROP TABLE from[MEMORY db\\t#1]"},
      {"START TRANSACTION", "START TRANSACTION"},
      {"ROLLBACK WORK", "ROLLBACK"},
      {"COMMIT WORK FLUSH;", "COMMIT FLUSH"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(PrepareError(c.text), c.dump);
  }
}

TEST(StatementParserTest, ParametersAndStatementKinds) {
  TQueryStatement statement;
  statement.Prepare("select count( User_ID ) from Staff where User_ID = ?; DELETE FROM t");
  EXPECT_EQ(statement.StatementKind(), skSelect);
  ASSERT_EQ(statement.Parameters().size(), 1u);
  EXPECT_EQ(statement.Parameters()[0], statement.MasterQuery()->condition->right);
  EXPECT_EQ(statement.MasterQuery()->result_fields[0].expression_text, "count( User_ID )");
  // The second statement is parsed only when asked for.
  ASSERT_TRUE(statement.PrepareNext());
  EXPECT_EQ(statement.StatementKind(), skDelete);
  EXPECT_TRUE(statement.Parameters().empty());
  EXPECT_FALSE(statement.PrepareNext());
  EXPECT_FALSE(statement.Prepared());

  // A failing later statement leaves the statement unprepared.
  statement.Prepare("SELECT a FROM t WHERE a = ?; SELECT FROM");
  EXPECT_EQ(statement.Parameters().size(), 1u);
  EXPECT_EQ(ErrorOf([&] { statement.PrepareNext(); }), "FROM keyword expected, instead found ''");
  EXPECT_FALSE(statement.Prepared());
  EXPECT_TRUE(statement.Parameters().empty());
  EXPECT_TRUE(statement.Queries().empty());

  statement.Prepare("SELECT a FROM t WHERE b IN (SELECT c FROM u WHERE d = ?) AND e = ?");
  ASSERT_EQ(statement.Parameters().size(), 2u);
  EXPECT_EQ(statement.Queries().size(), 2u);
  const TExpToken* in = statement.MasterQuery()->condition->left;
  ASSERT_EQ(in->arguments.size(), 2u);
  const TDataQuery* sub = in->arguments[1]->sub_query;
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->role, TQueryRole::qrSubSelect);
  EXPECT_EQ(DumpQuery(*sub), "SELECT cols[c] from[u#1] where(= d ?)");
  EXPECT_EQ(statement.Parameters()[0], sub->condition->right);

  struct Kind {
    const char* text;
    int kind;
  };
  const Kind kinds[] = {
      {"SELECT a FROM t", skSelect},
      {"INSERT INTO t VALUES (1)", skInsert},
      {"UPDATE t SET a = 1", skUpdate},
      {"DELETE FROM t", skDelete},
      {"CREATE TABLE t (a INT)", skCreateTable},
      {"ALTER TABLE t DROP a", skAlterTable},
      {"DROP TABLE t", skDropTable},
      {"CREATE INDEX i ON t (a)", skCreateIndex},
      {"DROP INDEX t.i", skDropIndex},
      {"START TRANSACTION", skStartTransaction},
      {"ROLLBACK", skRollback},
      {"COMMIT", skCommit},
  };
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.text);
    statement.Prepare(k.text);
    EXPECT_EQ(statement.StatementKind(), k.kind);
  }
}

TEST(StatementParserTest, CreateTable) {
  TQueryStatement statement;
  statement.Prepare(
      "CREATE TABLE IF NOT EXISTS \"Staff\" ("
      " \"Staff ID\" AUTOINC DESCRIPTION 'key',"
      " User_ID VARCHAR(20) NOT NULL DEFAULT 'x' CHARCASE UPPER,"
      " Amount DECIMAL(10,2) MIN -5.5 MAXIMUM 100,"
      " Notes MEMO, Pic BLOB(512, 5), Raw BYTES(4),"
      " CONSTRAINT pk UNIQUE DESC NOCASE PRIMARY KEY (\"Staff ID\", User_ID) COMPRESS FULL"
      " TEXT INDEX (Notes) STOP WORDS 'a an' + ' the' SPACE CHARS #9 + ' ' INCLUDE CHARS '-'"
      " DESCRIPTION 'Staff table' BLOB BLOCK SIZE 1024 LANGUAGE 'ANSI Standard'"
      " ENCRYPTED WITH 'pw' USER MINOR VERSION 2 USER MAJOR VERSION 1 LAST AUTOINC -5)");
  const TDataQuery& q = *statement.MasterQuery();
  EXPECT_TRUE(q.if_not_exists);
  ASSERT_EQ(q.source_tables.size(), 1u);
  EXPECT_EQ(q.source_tables[0].table_name, "Staff");
  ASSERT_EQ(q.create_fields.size(), 6u);
  EXPECT_EQ(q.create_fields[4].data_type->subtype, fldstGraphic);
  EXPECT_EQ(q.create_fields[4].data_type->size, 8u);
  EXPECT_EQ(q.create_fields[5].data_type->size, 4u);
  EXPECT_EQ(q.create_fields[0].name, "Staff ID");
  EXPECT_EQ(q.create_fields[0].data_type->data_type, fldInteger);
  EXPECT_EQ(q.create_fields[0].data_type->subtype, fldstAutoInc);
  EXPECT_EQ(q.create_fields[0].description, "key");
  EXPECT_TRUE(q.create_fields[1].required);
  EXPECT_EQ(q.create_fields[1].default_value, "x");
  EXPECT_EQ(q.create_fields[1].char_case, ccUpper);
  EXPECT_EQ(q.create_fields[1].data_type->data_type, fldString);
  ASSERT_EQ(q.create_fields[1].data_type->arguments.size(), 2u);
  EXPECT_EQ(q.create_fields[1].data_type->arguments[1]->IntegerValue(), 20);
  EXPECT_EQ(q.create_fields[1].data_type->size, 21u);
  EXPECT_EQ(q.create_fields[2].data_type->data_type, fldBCD);
  EXPECT_EQ(q.create_fields[2].data_type->size, 34u);
  EXPECT_EQ(q.create_fields[2].data_type->scale, 2);
  EXPECT_EQ(q.create_fields[2].min_value, "-5.5");
  EXPECT_EQ(q.create_fields[2].max_value, "100");
  EXPECT_EQ(q.create_fields[3].data_type->subtype, fldstMemo);
  ASSERT_EQ(q.create_indexes.size(), 1u);
  const TCreateIndex& pk = q.create_indexes[0];
  EXPECT_TRUE(pk.primary && pk.unique && pk.descending && pk.no_case);
  EXPECT_EQ(pk.name, "pk");
  EXPECT_EQ(pk.columns, (std::vector<std::string>{"Staff ID", "User_ID"}));
  EXPECT_EQ(pk.compression, icFull);
  const TTableOptions& o = q.table_options;
  EXPECT_EQ(o.text_index_columns, std::vector<std::string>{"Notes"});
  EXPECT_EQ(o.stop_words, (std::vector<std::string>{"a", "an", "the"}));
  EXPECT_EQ(o.space_chars[1], 0x02);  // #9
  EXPECT_EQ(o.space_chars[4], 0x01);  // blank
  EXPECT_EQ(o.include_chars['-' >> 3], 1 << ('-' & 7));
  EXPECT_EQ(o.description, "Staff table");
  EXPECT_EQ(o.blob_block_size, 1024);
  EXPECT_TRUE(q.has_language);
  EXPECT_EQ(q.password, "pw");
  EXPECT_EQ(o.user_major_version, 1);
  EXPECT_EQ(o.user_minor_version, 2);
  EXPECT_EQ(o.last_autoinc, -5);
}

TEST(StatementParserTest, AlterTableAndIndexes) {
  TQueryStatement statement;
  statement.Prepare(
      "ALTER TABLE t ADD COLUMN a INTEGER NOT NULL AT 2, REDEFINE b bb CHAR(10) AT 1 DEFAULT 'z',"
      " REDEFINE c SMALLINT, DROP COLUMN d, DROP e, ADD PRIMARY KEY (a), DROP CONSTRAINT k PRIMARY "
      "KEY"
      " DESCRIPTION 'x' NOBACKUP");
  const TDataQuery& q = *statement.MasterQuery();
  ASSERT_EQ(q.create_fields.size(), 5u);
  EXPECT_EQ(q.create_fields[0].action, faAdd);
  EXPECT_EQ(q.create_fields[0].position, 2);
  EXPECT_TRUE(q.create_fields[0].required);
  EXPECT_EQ(q.create_fields[1].action, faRedefine);
  EXPECT_EQ(q.create_fields[1].name, "b");
  EXPECT_EQ(q.create_fields[1].new_name, "bb");
  EXPECT_EQ(q.create_fields[1].position, 1);
  EXPECT_EQ(q.create_fields[1].default_value, "z");
  EXPECT_EQ(q.create_fields[2].new_name, "");
  EXPECT_EQ(q.create_fields[2].data_type->data_type, fldSmallInt);
  EXPECT_EQ(q.create_fields[3].action, faDrop);
  EXPECT_EQ(q.create_fields[3].name, "d");
  EXPECT_EQ(q.create_fields[4].name, "e");
  ASSERT_EQ(q.create_indexes.size(), 2u);
  EXPECT_EQ(q.create_indexes[0].action, faAdd);
  EXPECT_EQ(q.create_indexes[0].columns, std::vector<std::string>{"a"});
  EXPECT_EQ(q.create_indexes[1].action, faDrop);
  EXPECT_EQ(q.create_indexes[1].name, "k");
  EXPECT_TRUE(q.table_options.no_backup);

  statement.Prepare(
      "CREATE UNIQUE DESC NOCASE INDEX IF NOT EXISTS ix ON MEMORY t (a, b) COMPRESS DUPBYTE");
  const TDataQuery& c = *statement.MasterQuery();
  ASSERT_EQ(c.create_indexes.size(), 1u);
  EXPECT_EQ(c.create_indexes[0].name, "ix");
  EXPECT_TRUE(c.create_indexes[0].unique && c.create_indexes[0].descending &&
              c.create_indexes[0].no_case && c.create_indexes[0].if_not_exists);
  EXPECT_EQ(c.create_indexes[0].compression, icDuplicateByte);
  EXPECT_TRUE(c.source_tables[0].memory);

  statement.Prepare("DROP INDEX IF EXISTS db\\t.ix");
  EXPECT_EQ(statement.MasterQuery()->source_tables[0].table_name, "db\\t");
  EXPECT_EQ(statement.MasterQuery()->index_name, "ix");
  EXPECT_TRUE(statement.MasterQuery()->if_exists);
}

TEST(StatementParserTest, LanguageAndSortFromTheLanguageList) {
  EXPECT_EQ(
      PrepareError("SELECT a FROM t LANGUAGE 'german (standard)' SORT 'German Phone Book Order'"),
      "SELECT cols[a] from[t#1] lang1031/1");
  EXPECT_EQ(PrepareError("SELECT a FROM t LANGUAGE 'English (UK)'"),
            "SELECT cols[a] from[t#1] lang2057/0");
  EXPECT_EQ(PrepareError("SELECT a FROM t LANGUAGE 'Klingon'"),
            "Invalid language constant 'Klingon' specified after LANGUAGE keyword");
  EXPECT_EQ(
      PrepareError("CREATE TABLE t (a INT LANGUAGE 'English (UK)' SORT 'German Phone Book Order')"),
      "Invalid sort constant 'German Phone Book Order' specified after SORT keyword");
}

TEST(StatementParserTest, Errors) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      // Dispatch and statement ends.
      {"FETCH a",
       "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found "
       "'FETCH'"},
      {"",
       "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ''"},
      {"(INSERT", "SELECT keyword expected, instead found 'INSERT'"},
      {"CREATE VIEW v",
       "TABLE, INDEX, UNIQUE, ASC, ASCENDING, DESC, DESCENDING, or NOCASE keyword expected, "
       "instead found 'VIEW'"},
      {"ALTER INDEX", "TABLE keyword expected, instead found 'INDEX'"},
      {"DROP VIEW", "TABLE or INDEX keyword expected, instead found 'VIEW'"},
      {"START WORK", "TRANSACTION keyword expected, instead found 'WORK'"},
      {"SELECT a FROM t stray word", "End of SELECT statement expected, instead found 'word'"},
      {"DELETE FROM t x y", "End of DELETE statement expected, instead found 'y'"},
      {"COMMIT INTERVAL", "End of COMMIT statement expected, instead found 'INTERVAL'"},
      // SELECT
      {"SELECT", "Source column expression is empty"},
      {"SELECT a,", "Source column expression is empty"},
      {"SELECT a AS 1 FROM t", "Symbol or string expected after AS keyword, instead found '1'"},
      {"SELECT a b.+ FROM t",
       "Symbol or string expected after table correlation name, instead found '+'"},
      {"SELECT a t", "FROM keyword expected, instead found ''"},
      {"SELECT a FROM", "Table name expected after FROM keyword, instead found ''"},
      {"SELECT a FROM t WHERE b IN (SELECT c INTO x FROM u)",
       "The INTO clause can only be used with the master query"},
      {"SELECT a INTO 1 FROM t", "Result table name expected in INTO clause, instead found '1'"},
      {"SELECT a FROM t FULL JOIN u ON a = b",
       "Full outer joins are currently not supported in Tabula SQL SELECT statements"},
      {"SELECT a FROM t x FULL OUTER JOIN u ON a = b",
       "Full outer joins are currently not supported in Tabula SQL SELECT statements"},
      {"SELECT a FROM t JOIN", "Table name expected after JOIN keyword, instead found ''"},
      {"SELECT a FROM t JOIN u WHERE", "ON keyword expected in JOIN clause, instead found 'WHERE'"},
      {"SELECT a FROM t INNER u", "JOIN keyword expected after INNER keyword, instead found 'u'"},
      {"SELECT a FROM t LEFT OUTER u",
       "JOIN keyword expected after LEFT or OUTER keyword, instead found 'u'"},
      {"SELECT a FROM t RIGHT u",
       "JOIN keyword expected after RIGHT or OUTER keyword, instead found 'u'"},
      {"SELECT a FROM (t JOIN u ON a = b", "Mismatched join parentheses"},
      {"SELECT a FROM (t)", "Mismatched join parentheses"},
      {"SELECT a FROM t JOIN u ON", "WHERE or JOIN clause is empty"},
      {"SELECT a FROM t WHERE", "WHERE or JOIN clause is empty"},
      {"SELECT a FROM t GROUP a", "BY keyword expected after GROUP keyword, instead found 'a'"},
      {"SELECT a FROM t GROUP BY 'x' + 1", "End of SELECT statement expected, instead found '+'"},
      {"SELECT a FROM t GROUP BY (a)",
       "Column name or column number expected in GROUP BY clause, instead found '('"},
      {"SELECT a FROM t HAVING", "HAVING clause is empty"},
      {"SELECT a FROM t ORDER a", "BY keyword expected after ORDER keyword, instead found 'a'"},
      {"SELECT a FROM t ORDER BY a + 1", "End of SELECT statement expected, instead found '+'"},
      {"SELECT a FROM t ORDER BY -1",
       "Column name or column number expected in ORDER BY clause, instead found '-'"},
      {"SELECT a FROM t TOP 1.5", "Integer value expected after TOP keyword, instead found '1.5'"},
      {"SELECT a FROM t TOP 5 ORDER BY a",
       "End of SELECT statement expected, instead found 'ORDER'"},
      {"SELECT a FROM t WITH x", "LOCKS keyword expected after WITH keyword, instead found 'x'"},
      {"SELECT a FROM t LANGUAGE 'Klingon'",
       "Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
      {"SELECT a FROM t LANGUAGE 'ANSI Standard' SORT 'Phone'",
       "Invalid sort constant 'Phone' specified after SORT keyword"},
      {"SELECT a FROM t ENCRYPTED 'x'",
       "WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
      {"(SELECT a FROM t", "Right parentheses expected after SELECT statement, instead found ''"},
      {"SELECT a FROM t ORDER BY a UNION SELECT b FROM u",
       "You cannot use an ORDER BY clause within a UNIONed query"},
      {"SELECT a FROM t UNION DELETE", "SELECT keyword expected, instead found 'DELETE'"},
      // Expression clauses carry their context.
      {"SELECT a + , b FROM t",
       "Unknown or unexpected symbol ',' found in source column expression"},
      {"SELECT a + FROM t",
       "FROM keyword expected, instead found ''"},  // FROM is a column name here
      {"SELECT ? FROM t", "Parameters are not allowed in source column expression"},
      {"SELECT a FROM t WHERE SUM(a) > 1",
       "Aggregate functions are not allowed in WHERE or JOIN clause"},
      {"SELECT a FROM t JOIN u ON a IN (SELECT b FROM v)",
       "Sub-select queries are not allowed in WHERE or JOIN clause"},
      {"SELECT a FROM t HAVING a LIKE 'x'",
       "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING "
       "clause"},
      {"SELECT a FROM t WHERE a = 'x", "Missing single quote after 'x' in WHERE or JOIN clause"},
      {"SELECT a FROM t WHERE /* open",
       "Missing ending comment slash and asterisk in WHERE or JOIN clause"},
      {"SELECT a FROM t HAVING (a",
       "Right parentheses expected, instead found '' in HAVING clause"},
      {"SELECT a FROM t HAVING MAX(*) > 1",
       "* (all columns) symbol is not allowed in HAVING clause"},
      {"SELECT 'abc FROM t", "Missing single quote after 'abc FROM t' in source column expression"},
      {"SELECT a FROM t WHERE b = 1 /* x",
       "Missing ending comment slash and asterisk in WHERE or JOIN clause"},
      {"SELECT a FROM t WHERE b IN (SELECT c FROM u WHERE d = 'x)",
       "Missing single quote after 'x)' in WHERE or JOIN clause"},
      {"SELECT a FROM t WHERE b IN (SELECT c FROM u",
       "Expected right parentheses for IN operator, instead found '' in WHERE or JOIN clause"},
      {"SELECT a FROM t WHERE b NOT IN (SELECT c FROM u x y",
       "Expected right parentheses for NOT IN operator, instead found 'y' in WHERE or JOIN clause"},
      // A qualifier that names no source is reported as such, before any type rule applies.
      {"SELECT a FROM Staff s WHERE x.a = 1",
       "Table correlation name 'x' referenced in WHERE clause is not defined in the FROM clause"},
      {"SELECT a FROM Staff s WHERE Staff.a = 1",
       "Table correlation name 'Staff' referenced in WHERE clause is not defined in the FROM "
       "clause"},
      {"SELECT a FROM t JOIN u ON t.k = v.k",
       "Table correlation name 'v' referenced in WHERE clause is not defined in the FROM clause"},
      {"SELECT a FROM t WHERE b IN (SELECT c FROM u WHERE t.d = 1)",
       "Table correlation name 't' referenced in WHERE clause is not defined in the FROM clause"},
      {"UPDATE t SET a = 1 WHERE u.b = 2",
       "Table correlation name 'u' referenced in WHERE clause is not defined in the FROM clause"},
      {"DELETE FROM t WHERE UPPER(u.b) LIKE 'x'",
       "Table correlation name 'u' referenced in WHERE clause is not defined in the FROM clause"},
      // INSERT
      {"INSERT t VALUES (1)", "INTO keyword expected, instead found 't'"},
      {"INSERT INTO (a)", "Table name expected after INTO keyword, instead found '('"},
      {"INSERT INTO t (a b) VALUES (1)",
       "Right parentheses expected after list of table columns, instead found 'b'"},
      {"INSERT INTO t (a) VALUES 1",
       "Left parentheses expected after VALUES keyword, instead found '1'"},
      {"INSERT INTO t (a) VALUES (1 2)",
       "Right parentheses expected after list of values, instead found '2'"},
      {"INSERT INTO t (a) VALUES ()", "Unknown or unexpected symbol ')' found in value expression"},
      {"INSERT INTO t x y", "VALUES or SELECT  keyword expected, instead found 'y'"},
      {"INSERT INTO t VALUES (1) COMMIT",
       "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found ''"},
      {"INSERT INTO t VALUES (1) COMMIT INTERVAL x",
       "Integer value expected after INTERVAL keyword, instead found 'x'"},
      {"INSERT INTO t () VALUES (1)", "Unknown or unexpected symbol ')' found in table column"},
      {"INSERT INTO t (a) VALUES (SUM(b))",
       "Aggregate functions are not allowed in value expression"},
      // UPDATE and DELETE
      {"UPDATE (t)", "Table name expected, instead found '('"},
      {"UPDATE t a = 1", "SET keyword expected, instead found '='"},
      {"UPDATE t SET a 1", "Assignment (=) operator expected after column name, instead found '1'"},
      {"UPDATE t SET a =", "Value expression is empty"},
      {"UPDATE t SET a = 1 FROM u",
       "The first source table specified in FROM clause must match the table being updated in the "
       "UPDATE statement"},
      {"UPDATE t SET a = 1 FROM MEMORY t",
       "The first source table specified in FROM clause must match the table being updated in the "
       "UPDATE statement"},
      {"DELETE t", "FROM keyword expected, instead found 't'"},
      // CREATE TABLE
      {"CREATE TABLE IF t (a INT)", "NOT keyword expected after IF keyword, instead found 't'"},
      {"CREATE TABLE IF NOT t (a INT)",
       "EXISTS keyword expected after NOT keyword, instead found 't'"},
      {"CREATE TABLE (a INT)",
       "Table name expected after CREATE TABLE keywords, instead found '('"},
      {"CREATE TABLE t a INT",
       "Left parentheses expected before list of table columns, instead found 'a'"},
      {"CREATE TABLE t (a)", "SQL data type keyword expected, instead found ')' in table column"},
      {"CREATE TABLE t (a CHAR)",
       "Left parentheses expected after CHAR data type, instead found ')' in table column"},
      {"CREATE TABLE t (a DECIMAL(10))", "Unknown or unexpected symbol ')' found in table column"},
      {"CREATE TABLE t (a CHAR('x'))", "Length argument must be an integer in table column"},
      {"CREATE TABLE t (a CHAR(0))",
       "Length argument must be an integer greater than 0 and less than or equal to 250 in table "
       "column"},
      {"CREATE TABLE t (a BYTES(251))",
       "Length argument must be an integer greater than 0 and less than or equal to 250 in table "
       "column"},
      {"CREATE TABLE t (a DECIMAL(10, 1.5))", "Scale argument must be an integer in table column"},
      {"CREATE TABLE t (a NUMERIC(10, 5))",
       "Scale argument must be an integer greater than or equal to 0 and less than or equal to 4 "
       "in table column"},
      {"CREATE TABLE t (a BLOB('x', 1))",
       "First BLOB type argument must be an integer in table column"},
      {"CREATE TABLE t (a BLOB(1, 'x'))", "BLOB type argument must be an integer in table column"},
      {"CREATE TABLE t (a BLOB(1, 4))",
       "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in table column"},
      {"ALTER TABLE t REDEFINE a b CHAR(300)",
       "Length argument must be an integer greater than 0 and less than or equal to 250 in table "
       "column"},
      {"CREATE TABLE t (a INT NOT x)",
       "NULL keyword expected after NOT keyword, instead found 'x'"},
      {"CREATE TABLE t (a CHAR(2) CHARCASE MIXED)",
       "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found 'MIXED'"},
      {"CREATE TABLE t (a INT, CONSTRAINT k KEY (a))",
       "PRIMARY keyword expected, instead found 'KEY'"},
      {"CREATE TABLE t (a INT, PRIMARY (a))",
       "KEY keyword expected after PRIMARY keyword, instead found '('"},
      {"CREATE TABLE t (a INT, PRIMARY KEY a)", "Left parentheses expected, instead found 'a'"},
      {"CREATE TABLE t (a INT, PRIMARY KEY (a b))",
       "Right parentheses expected, instead found 'b'"},
      {"CREATE TABLE t (a INT, PRIMARY KEY (t.a))",
       "Invalid use of table correlation name 't' specified in indexed columns"},
      {"CREATE TABLE t (a INT, PRIMARY KEY (a) COMPRESS ALL)",
       "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found "
       "'ALL'"},
      {"CREATE TABLE t (a INT TEXT (a))",
       "INDEX keyword expected after TEXT keyword, instead found '('"},
      {"CREATE TABLE t (a INT TEXT INDEX a)",
       "Left parentheses expected after TEXTINDEX keyword, instead found 'a'"},
      {"CREATE TABLE t (a INT TEXT INDEX (a b))",
       "Right parentheses expected after TEXT INDEX clause, instead found 'b'"},
      {"CREATE TABLE t (a INT TEXT INDEX (a) STOP 'x')",
       "WORDS keyword expected after STOP keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT TEXT INDEX (a) STOP WORDS)",
       "Unknown or unexpected symbol ')' found in stop words"},
      {"CREATE TABLE t (a INT TEXT INDEX (a) SPACE 'x')",
       "CHARS keyword expected after SPACE keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT TEXT INDEX (a) INCLUDE 'x')",
       "CHARS keyword expected after INCLUDE keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT TEXT INDEX (a) INCLUDE CHARS b)",
       "Internal error: Column 'b' specified illegally"},
      {"CREATE TABLE t (a INT BLOB SIZE 5)",
       "BLOCK keyword expected after BLOB keyword, instead found 'SIZE'"},
      {"CREATE TABLE t (a INT BLOB BLOCK 5)",
       "SIZE keyword expected after BLOCK keyword, instead found '5'"},
      {"CREATE TABLE t (a INT BLOB BLOCK SIZE x)",
       "Integer value expected after SIZE keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT USER VERSION 1)",
       "MAJOR or MINOR keyword expected after USER keyword, instead found 'VERSION'"},
      {"CREATE TABLE t (a INT USER MAJOR 1)",
       "VERSION keyword expected after MAJOR keyword, instead found '1'"},
      {"CREATE TABLE t (a INT USER MINOR 1)",
       "VERSION keyword expected after MINOR keyword, instead found '1'"},
      {"CREATE TABLE t (a INT USER MINOR VERSION x)",
       "Integer value expected after VERSION keyword, instead found 'x'"},
      {"CREATE TABLE t (a INT, LAST 5)",
       "SQL data type keyword expected, instead found '5' in table column"},
      {"CREATE TABLE t (a INT LAST 5)",
       "AUTOINC keyword expected after LAST keyword, instead found '5'"},
      {"CREATE TABLE t (a INT LAST AUTOINC 1.5)",
       "Integer constant expected after AUTOINC keyword, instead found '1.5'"},
      {"CREATE TABLE t (a INT LAST AUTOINC - x)",
       "Integer constant expected after AUTOINC keyword, instead found '- x'"},
      {"CREATE TABLE t (a INT",
       "Right parentheses expected after CREATE TABLE statement, instead found ''"},
      {"CREATE TABLE t (a INT ENCRYPTED 'x')",
       "WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
      // CREATE INDEX, ALTER, DROP
      {"CREATE UNIQUE KEY i ON t (a)", "INDEX keyword expected, instead found 'KEY'"},
      {"CREATE INDEX (a)", "Index name expected after INDEX keyword, instead found '('"},
      {"CREATE INDEX i t (a)", "ON keyword expected after index name, instead found 't'"},
      {"CREATE INDEX i ON (a)", "Table name expected after ON keyword, instead found '('"},
      {"CREATE INDEX i ON t (a", "Right parentheses expected, instead found ''"},
      {"CREATE INDEX i ON t ()", "Unknown or unexpected symbol ')' found in index column"},
      {"ALTER TABLE (t)", "Table name expected after ALTER TABLE keywords, instead found '('"},
      {"ALTER TABLE t MODIFY a INT",
       "ADD, DROP, or REDEFINE keyword expected, instead found 'MODIFY'"},
      {"ALTER TABLE t ADD a INT AT x",
       "Integer value expected after AT keyword, instead found 'x'"},
      {"ALTER TABLE t ADD a INT AT 0", "AT column position must be greater than or equal to 1"},
      {"ALTER TABLE t ADD PRIMARY KEY (a), ADD PRIMARY KEY (b)",
       "Cannot REDEFINE the primary key using the ADD keyword"},
      {"ALTER TABLE t DROP CONSTRAINT k KEY", "PRIMARY keyword expected, instead found 'KEY'"},
      {"DROP TABLE IF t", "EXISTS keyword expected after IF keyword, instead found 't'"},
      {"DROP TABLE (t)", "Table name expected after DROP TABLE keywords, instead found '('"},
      {"DROP INDEX IF t.i", "EXISTS keyword expected after IF keyword, instead found 't'"},
      {"DROP INDEX 1", "Table name expected after DROP INDEX keywords, instead found '1'"},
      {"DROP INDEX t.+",
       "Symbol or string expression expected after table correlation name separator '.', instead "
       "found '+' in index name expression"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(PrepareError(c.text), c.message);
  }
}

TEST(StatementParserTest, LongTextsParseQuickly) {
  // About 2,000 characters with joins, parsed many times: the node pool and reused buffers keep
  // this linear.
  std::string sql = "SELECT s.Staff_ID, s.User_ID, UPPER(s.Full_Name) AS Name, r.Role_Name";
  for (int i = 0; i < 12; ++i)
    sql += ", SUBSTRING(s.Notes FROM " + std::to_string(i + 1) + " FOR 3) n" + std::to_string(i);
  sql +=
      " FROM Staff s LEFT OUTER JOIN Roles r ON s.Role_ID = r.Role_ID"
      " INNER JOIN Tabs t ON t.Staff_ID = s.Staff_ID";
  sql += " WHERE s.Access_Level BETWEEN 1 AND 9 AND s.User_ID LIKE 'A%'";
  for (int i = 0; i < 25; ++i) sql += " OR s.Staff_ID = " + std::to_string(1000 + i);
  sql += " ORDER BY 1 DESC, 2 TOP 100";
  ASSERT_GT(sql.size(), 1200u);
  TQueryStatement statement;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) statement.Prepare(sql);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(statement.MasterQuery()->source_tables.size(), 3u);
  // Generous even for a sanitizer build: 200 parses well under a second.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 2000);
}

}  // namespace
}  // namespace tabula
