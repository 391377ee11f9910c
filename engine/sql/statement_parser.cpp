// The statement parser: reads the keywords of one statement with the lexer and calls the
// expression entry points for every clause.
#include <charconv>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/index/collation.h"
#include "engine/sql/query_statement.h"

namespace tabula {

namespace {

constexpr const char* kStatementContext = "SQL statement";

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string CutName(std::string_view name) { return std::string(name.substr(0, 255)); }

// The words after which a name in FROM is not a correlation name. FULL is among them so that a
// FULL join is refused as such instead of FULL being taken for a correlation name.
constexpr const char* kSourceExcluded[] = {
    "LEFT", "RIGHT", "INNER", "JOIN",      "WHERE",    "ORDER",          "GROUP", "HAVING",
    "TOP",  "RANGE", "WITH",  "ENCRYPTED", "LANGUAGE", "NOJOINOPTIMIZE", "UNION", "FULL"};

}  // namespace

const char* StatementName(std::uint8_t kind) {
  static constexpr const char* kNames[] = {
      "UNKNOWN",           "SELECT",      "INSERT",     "UPDATE",       "DELETE",
      "CREATE TABLE",      "ALTER TABLE", "DROP TABLE", "CREATE INDEX", "DROP INDEX",
      "START TRANSACTION", "ROLLBACK",    "COMMIT"};
  return kind <= skCommit ? kNames[kind] : "UNKNOWN";
}

void TDataQuery::AddCondition(TExpTokenPtr added) {
  if (!condition) {
    condition = std::move(added);
    return;
  }
  TExpTokenPtr node = NewExpToken();
  node->kind = nkBinary;
  node->op = opAnd;
  node->text = "AND";
  node->data_type = fldBoolean;
  node->size = 2;
  node->depth = std::max(condition->depth, added->depth) + 1;
  node->left = condition.release();
  node->right = added.release();
  condition = std::move(node);
}

// ---------------------------------------------------------------------------------------------

TQueryStatement::TQueryStatement() : parser_(this) {}

TQueryStatement::~TQueryStatement() { Unprepare(); }

void TQueryStatement::Unprepare() {
  parameters_.clear();
  master_ = nullptr;
  statement_kind_ = skUnknown;
  select_all_ = false;
  // Blocks go in reverse order of creation: a sub-select's trees never refer to later blocks.
  while (!queries_.empty()) queries_.pop_back();
}

TDataQuery* TQueryStatement::NewQuery(TQueryRole role, TDataQuery* union_master) {
  queries_.push_back(std::make_unique<TDataQuery>(role, union_master));
  return queries_.back().get();
}

void TQueryStatement::AddParameter(TExpToken* node) { parameters_.push_back(node); }

TDataQuery* TQueryStatement::ParseSubSelect() {
  TDataQuery* query = NewQuery(TQueryRole::qrSubSelect);
  ParseStatement(query, true, false, nullptr);
  return query;
}

void TQueryStatement::Prepare(std::string_view text) {
  Unprepare();
  parser_.SetErrorCode(TABULA_SQLPARSE);
  parser_.SetErrorTableName("");
  parser_.SetErrorDatabaseName("");
  parser_.SetErrorContext(kStatementContext);
  parser_.SetText(text);
  has_more_ = false;
  try {
    parser_.NextToken();
  } catch (...) {
    Unprepare();
    throw;
  }
  ParseMaster();
}

bool TQueryStatement::PrepareNext() {
  Unprepare();
  if (!has_more_ || parser_.IsTokenKind(tkEndOfText)) return false;
  parser_.SetErrorContext(kStatementContext);
  ParseMaster();
  return true;
}

void TQueryStatement::ParseMaster() {
  try {
    master_ = NewQuery(TQueryRole::qrMaster);
    ParseStatement(master_, false, false, nullptr);
    statement_kind_ = master_->statement_kind;
    select_all_ = master_->select_all;
  } catch (...) {
    Unprepare();
    throw;
  }
}

void TQueryStatement::Fail(std::string_view prefix) {
  std::string message(prefix);
  message += parser_.TokenText();
  message += "'";
  parser_.RaiseError(message);
}

void TQueryStatement::Expect(const char* keyword, std::string_view prefix) {
  if (!parser_.IsKeyword(keyword)) Fail(prefix);
  parser_.NextToken();
}

TExpTokenPtr TQueryStatement::ParseClause(bool skip_keyword, const char* context,
                                          const char* empty_message, TClauseEntry entry,
                                          unsigned flags, std::string* text) {
  parser_.SetErrorContext(context);
  if (skip_keyword) parser_.NextToken();
  if (parser_.IsTokenKind(tkEndOfText) || parser_.IsChar(';')) parser_.RaiseError(empty_message);
  parser_.MarkExpressionStart();
  TExpTokenPtr root;
  switch (entry) {
    case ceCondition:
      root = parser_.ParseCondition(flags);
      break;
    case cePrimary:
      root = parser_.ParsePrimary(flags);
      break;
    case ceSigned:
      root = parser_.ParseSigned(flags);
      break;
    case ceSum:
      root = parser_.ParseSum(flags);
      break;
  }
  if (text) *text = parser_.ExpressionText();
  parser_.SetErrorContext(kStatementContext);
  return root;
}

// ---------------------------------------------------------------------------------------------
// Dispatch

void TQueryStatement::ParseStatement(TDataQuery* query, bool is_sub_select, bool is_union_part,
                                     TDataQuery* union_master) {
  (void)union_master;
  const bool master = !is_sub_select && !is_union_part && query->role == TQueryRole::qrMaster;
  if (parser_.IsChar('(')) {
    parser_.NextToken();
    if (!parser_.IsKeyword("SELECT")) Fail("SELECT keyword expected, instead found '");
    ParseSelect(query, true);
  } else if (parser_.IsKeyword("SELECT")) {
    ParseSelect(query, false);
  } else if (query->role != TQueryRole::qrMaster) {
    // Sub-selects, UNION parts and INSERT sources are SELECT statements.
    Fail("SELECT keyword expected, instead found '");
  } else if (parser_.IsKeyword("INSERT")) {
    ParseInsert(query);
  } else if (parser_.IsKeyword("UPDATE")) {
    ParseUpdate(query);
  } else if (parser_.IsKeyword("DELETE")) {
    ParseDelete(query);
  } else if (parser_.IsKeyword("CREATE")) {
    parser_.NextToken();
    if (parser_.IsKeyword("TABLE")) {
      ParseCreateTable(query);
    } else if (parser_.IsKeyword("INDEX") || parser_.IsKeyword("UNIQUE") ||
               parser_.IsKeyword("ASC") || parser_.IsKeyword("ASCENDING") ||
               parser_.IsKeyword("DESC") || parser_.IsKeyword("DESCENDING") ||
               parser_.IsKeyword("NOCASE")) {
      ParseCreateIndex(query);
    } else {
      Fail(
          "TABLE, INDEX, UNIQUE, ASC, ASCENDING, DESC, DESCENDING, or NOCASE keyword expected, "
          "instead found '");
    }
  } else if (parser_.IsKeyword("ALTER")) {
    parser_.NextToken();
    if (!parser_.IsKeyword("TABLE")) Fail("TABLE keyword expected, instead found '");
    ParseAlterTable(query);
  } else if (parser_.IsKeyword("DROP")) {
    parser_.NextToken();
    if (parser_.IsKeyword("TABLE")) {
      ParseDropTable(query);
    } else if (parser_.IsKeyword("INDEX")) {
      ParseDropIndex(query);
    } else {
      Fail("TABLE or INDEX keyword expected, instead found '");
    }
  } else if (parser_.IsKeyword("START")) {
    parser_.NextToken();
    if (!parser_.IsKeyword("TRANSACTION")) Fail("TRANSACTION keyword expected, instead found '");
    parser_.NextToken();
    query->statement_kind = skStartTransaction;
  } else if (parser_.IsKeyword("ROLLBACK")) {
    parser_.NextToken();
    query->statement_kind = skRollback;
    if (parser_.IsKeyword("WORK")) parser_.NextToken();
  } else if (parser_.IsKeyword("COMMIT")) {
    parser_.NextToken();
    query->statement_kind = skCommit;
    if (parser_.IsKeyword("WORK")) parser_.NextToken();
    if (parser_.IsKeyword("FLUSH")) {
      query->flush = true;
      parser_.NextToken();
    }
  } else {
    Fail(
        "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead "
        "found '");
  }

  if (master) {
    if (parser_.IsChar(';')) {
      parser_.NextToken();
      has_more_ = !parser_.IsTokenKind(tkEndOfText);
    } else if (!parser_.IsTokenKind(tkEndOfText)) {
      Fail(std::string("End of ") + query->StatementName() +
           " statement expected, instead found '");
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Shared pieces

void TQueryStatement::ParseTableReference(TSourceTable* table, std::string_view missing) {
  if (parser_.IsKeyword("MEMORY")) {
    table->memory = true;
    parser_.NextToken();
  }
  if (!parser_.IsNameToken()) Fail(missing);
  std::string name = parser_.TokenText();
  parser_.NextToken();
  if (parser_.IsChar('\\')) {
    parser_.NextToken();
    if (!parser_.IsNameToken()) Fail(missing);
    name += '\\';
    name += parser_.TokenText();
    parser_.NextToken();
  }
  table->table_name = CutName(name);
}

void TQueryStatement::ParseCorrelationName(TSourceTable* table,
                                           std::initializer_list<const char*> excluded) {
  if (parser_.IsKeyword("AS")) {
    parser_.NextToken();
    if (!parser_.IsNameToken()) Fail("Symbol or string expected after AS keyword, instead found '");
  } else {
    if (!parser_.IsNameToken()) return;
    for (const char* word : excluded) {
      if (parser_.IsKeyword(word)) return;
    }
  }
  table->correlation_name = CutName(parser_.TokenText());
  parser_.NextToken();
}

void TQueryStatement::ParseSources(TDataQuery* query,
                                   std::initializer_list<const char*> extra_excluded) {
  auto is_excluded = [this, extra_excluded]() {
    for (const char* word : kSourceExcluded) {
      if (parser_.IsKeyword(word)) return true;
    }
    for (const char* word : extra_excluded) {
      if (parser_.IsKeyword(word)) return true;
    }
    return false;
  };
  auto read_correlation = [this, &is_excluded](TSourceTable* table, bool join) {
    if (parser_.IsKeyword("AS")) {
      parser_.NextToken();
      if (!parser_.IsNameToken()) {
        Fail("Symbol or string expected after AS keyword, instead found '");
      }
    } else if (!parser_.IsNameToken() || is_excluded() || (join && parser_.IsKeyword("ON"))) {
      return;
    }
    table->correlation_name = CutName(parser_.TokenText());
    parser_.NextToken();
  };

  int position = static_cast<int>(query->source_tables.size());
  for (;;) {
    int open = 0;
    while (parser_.IsChar('(')) {
      ++open;
      parser_.NextToken();
    }
    TSourceTable source;
    ParseTableReference(&source, "Table name expected after FROM keyword, instead found '");
    read_correlation(&source, false);
    source.position = ++position;
    query->source_tables.push_back(std::move(source));

    for (;;) {
      if (parser_.IsKeyword("FULL")) {
        parser_.RaiseError(
            "Full outer joins are currently not supported in Tabula SQL SELECT statements");
      }
      std::uint8_t kind = jkNone;
      if (parser_.IsKeyword("JOIN")) {
        kind = jkInner;
      } else if (parser_.IsKeyword("INNER")) {
        parser_.NextToken();
        if (!parser_.IsKeyword("JOIN"))
          Fail("JOIN keyword expected after INNER keyword, instead found '");
        kind = jkInner;
      } else if (parser_.IsKeyword("LEFT") || parser_.IsKeyword("RIGHT")) {
        const bool left = parser_.IsKeyword("LEFT");
        parser_.NextToken();
        if (parser_.IsKeyword("OUTER")) parser_.NextToken();
        if (!parser_.IsKeyword("JOIN")) {
          Fail(left ? "JOIN keyword expected after LEFT or OUTER keyword, instead found '"
                    : "JOIN keyword expected after RIGHT or OUTER keyword, instead found '");
        }
        kind = left ? jkLeftOuter : jkRightOuter;
      } else {
        break;
      }
      parser_.NextToken();  // JOIN
      TSourceTable joined;
      joined.join_kind = kind;
      ParseTableReference(&joined, "Table name expected after JOIN keyword, instead found '");
      read_correlation(&joined, true);
      if (!parser_.IsKeyword("ON")) Fail("ON keyword expected in JOIN clause, instead found '");
      TExpTokenPtr on =
          ParseClause(true, "WHERE or JOIN clause", "WHERE or JOIN clause is empty", ceCondition,
                      AllowPredicates | AllowParameters, &joined.join_text);
      // Every node of an ON condition carries its join kind.
      std::vector<TExpToken*> pending{on.get()};
      while (!pending.empty()) {
        TExpToken* node = pending.back();
        pending.pop_back();
        node->join_mark = kind;
        node->join_condition = 1;
        if (node->left) pending.push_back(node->left);
        if (node->right) pending.push_back(node->right);
        if (node->third) pending.push_back(node->third);
        for (TExpToken* argument : node->arguments) pending.push_back(argument);
      }
      query->AddCondition(std::move(on));
      joined.position = ++position;
      if (kind == jkRightOuter) {
        query->source_tables.insert(query->source_tables.begin(), std::move(joined));
      } else {
        query->source_tables.push_back(std::move(joined));
      }
      if (open > 0) {
        if (!parser_.IsChar(')')) parser_.RaiseError("Mismatched join parentheses");
        parser_.NextToken();
        --open;
      }
    }
    if (open > 0) parser_.RaiseError("Mismatched join parentheses");
    if (!parser_.IsChar(',')) break;
    parser_.NextToken();
  }
}

std::int32_t TQueryStatement::ParseIntegerAfter(std::string_view message) {
  std::int32_t value = 0;
  if (!parser_.IsTokenKind(tkInteger)) Fail(message);
  const std::string_view raw = parser_.RawTokenText();
  auto result = std::from_chars(raw.data(), raw.data() + raw.size(), value);
  if (result.ec != std::errc() || result.ptr != raw.data() + raw.size()) Fail(message);
  parser_.NextToken();
  return value;
}

void TQueryStatement::ParseLanguage(TDataQuery* query) {
  if (!parser_.IsKeyword("LANGUAGE")) return;
  parser_.NextToken();
  // Names are those of the engine's language list and of the language's sort orders.
  if (!parser_.IsNameToken() || !LanguageExists(parser_.TokenText())) {
    parser_.RaiseError("Invalid language constant '" + parser_.TokenText() +
                       "' specified after LANGUAGE keyword");
  }
  const std::uint16_t id = LanguageId(parser_.TokenText());
  query->has_language = true;
  query->language_id = id;
  query->sort_id = 0;
  parser_.NextToken();
  if (!parser_.IsKeyword("SORT")) return;
  parser_.NextToken();
  if (!parser_.IsNameToken() || !SortOrderExists(id, parser_.TokenText())) {
    parser_.RaiseError("Invalid sort constant '" + parser_.TokenText() +
                       "' specified after SORT keyword");
  }
  query->has_sort = true;
  query->sort_id = SortId(id, parser_.TokenText());
  parser_.NextToken();
}

void TQueryStatement::ParseCommitOptions(TDataQuery* query) {
  if (!parser_.IsKeyword("COMMIT")) return;
  parser_.NextToken();
  bool any = false;
  if (parser_.IsKeyword("INTERVAL")) {
    parser_.NextToken();
    query->commit_interval =
        ParseIntegerAfter("Integer value expected after INTERVAL keyword, instead found '");
    any = true;
  }
  if (parser_.IsKeyword("FLUSH")) {
    parser_.NextToken();
    query->commit_flush = true;
    any = true;
  }
  if (!any) {
    Fail("INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found '");
  }
}

// The name a source answers to in qualified column names: its correlation name, or else the
// table name without database, directory and ".DAT".
std::string_view SourceName(const TSourceTable& source) {
  if (!source.correlation_name.empty()) return source.correlation_name;
  std::string_view name = source.table_name;
  const std::size_t slash = name.find_last_of("\\/:");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (name.size() >= 4 && EqualsIgnoringCase(name.substr(name.size() - 4), ".DAT")) {
    name.remove_suffix(4);
  }
  return name;
}

void TQueryStatement::CheckCorrelationNames(const TDataQuery& query) {
  if (!query.condition) return;
  std::vector<const TExpToken*> pending{query.condition.get()};
  while (!pending.empty()) {
    const TExpToken* node = pending.back();
    pending.pop_back();
    if (node->kind == nkColumn && !node->table_name.empty()) {
      bool found = false;
      for (const TSourceTable& source : query.source_tables) {
        found = found || EqualsIgnoringCase(SourceName(source), node->table_name);
      }
      if (!found) {
        parser_.RaiseError("Table correlation name '" + node->table_name +
                           "' referenced in WHERE clause is not defined in the FROM clause");
      }
    }
    if (node->left) pending.push_back(node->left);
    if (node->right) pending.push_back(node->right);
    if (node->third) pending.push_back(node->third);
    for (const TExpToken* argument : node->arguments) pending.push_back(argument);
  }
}

// ---------------------------------------------------------------------------------------------
// SELECT

void TQueryStatement::ParseOrderBy(TDataQuery* query) {
  if (!parser_.IsKeyword("ORDER")) return;
  parser_.NextToken();
  Expect("BY", "BY keyword expected after ORDER keyword, instead found '");
  for (;;) {
    TOrderByField item;
    if (parser_.IsTokenKind(tkInteger)) {
      item.column_number = ParseIntegerAfter(
          "Column name or column number expected in ORDER BY clause, instead found '");
    } else if (parser_.IsNameToken()) {
      item.column_name = CutName(parser_.TokenText());
      parser_.NextToken();
      if (parser_.IsChar('.')) {
        parser_.NextToken();
        if (!parser_.IsNameToken()) {
          Fail("Column name or column number expected in ORDER BY clause, instead found '");
        }
        item.table_name = std::move(item.column_name);
        item.column_name = CutName(parser_.TokenText());
        parser_.NextToken();
      }
    } else {
      Fail("Column name or column number expected in ORDER BY clause, instead found '");
    }
    if (parser_.IsKeyword("ASC") || parser_.IsKeyword("ASCENDING")) {
      parser_.NextToken();
    } else if (parser_.IsKeyword("DESC") || parser_.IsKeyword("DESCENDING")) {
      item.descending = true;
      parser_.NextToken();
    }
    query->order_by.push_back(std::move(item));
    if (!parser_.IsChar(',')) break;
    parser_.NextToken();
  }
  if (parser_.IsKeyword("NOCASE")) {
    query->order_no_case = true;
    parser_.NextToken();
  }
}

void TQueryStatement::ParseSelectOptions(TDataQuery* query) {
  if (parser_.IsKeyword("TOP")) {
    parser_.NextToken();
    query->top = ParseIntegerAfter("Integer value expected after TOP keyword, instead found '");
  }
  if (parser_.IsKeyword("WITH")) {
    parser_.NextToken();
    Expect("LOCKS", "LOCKS keyword expected after WITH keyword, instead found '");
    query->with_locks = true;
  }
  ParseLanguage(query);
  if (parser_.IsKeyword("ENCRYPTED")) {
    parser_.NextToken();
    Expect("WITH", "WITH keyword expected after ENCRYPTED keyword, instead found '");
    query->password = CutName(parser_.TokenText());
    parser_.NextToken();
  }
  if (parser_.IsKeyword("NOJOINOPTIMIZE")) {
    query->no_join_optimize = true;
    parser_.NextToken();
  }
}

void TQueryStatement::ParseSelect(TDataQuery* query, bool parenthesised) {
  query->statement_kind = skSelect;
  parser_.SetErrorContext("source column expression");
  parser_.NextToken();  // SELECT
  if (parser_.IsKeyword("ALL")) parser_.NextToken();
  if (parser_.IsKeyword("DISTINCT")) {
    query->distinct = true;
    parser_.NextToken();
  }
  bool first = true;
  for (;;) {
    TResultField field;
    field.expression = ParseClause(
        !first, "source column expression", "Source column expression is empty", ceCondition,
        AllowAggregates | AllowAllColumns | AllowPredicates, &field.expression_text);
    first = false;
    bool named = false;
    if (parser_.IsKeyword("AS")) {
      parser_.NextToken();
      if (!parser_.IsNameToken())
        Fail("Symbol or string expected after AS keyword, instead found '");
      named = true;
    } else if (parser_.IsNameToken() && !parser_.IsKeyword("INTO") && !parser_.IsKeyword("FROM")) {
      named = true;
    }
    if (named) {
      field.name = CutName(parser_.TokenText());
      parser_.NextToken();
      if (parser_.IsChar('.')) {
        parser_.NextToken();
        if (!parser_.IsNameToken()) {
          Fail("Symbol or string expected after table correlation name, instead found '");
        }
        field.table_name = std::move(field.name);
        field.name = CutName(parser_.TokenText());
        parser_.NextToken();
      }
    }
    query->result_fields.push_back(std::move(field));
    if (!parser_.IsChar(',')) break;
  }
  if (query->result_fields.size() == 1) {
    const TExpToken* only = query->result_fields[0].expression.get();
    query->select_all = only->kind == nkColumn && only->column_name == "*";
  }

  if (parser_.IsKeyword("INTO")) {
    if (query->role != TQueryRole::qrMaster) {
      parser_.RaiseError("The INTO clause can only be used with the master query");
    }
    parser_.NextToken();
    query->has_into = true;
    if (parser_.IsKeyword("MEMORY")) {
      query->into_memory = true;
      parser_.NextToken();
      if (parser_.IsNameToken() && !parser_.IsKeyword("FROM")) {
        query->into_table = CutName(parser_.TokenText());
        parser_.NextToken();
      }
    } else {
      if (!parser_.IsNameToken()) {
        Fail("Result table name expected in INTO clause, instead found '");
      }
      std::string name = parser_.TokenText();
      parser_.NextToken();
      if (parser_.IsChar('\\')) {
        parser_.NextToken();
        if (!parser_.IsNameToken()) {
          Fail("Result table name expected in INTO clause, instead found '");
        }
        name += '\\';
        name += parser_.TokenText();
        parser_.NextToken();
      }
      query->into_table = CutName(name);
    }
  }

  if (!parser_.IsKeyword("FROM")) Fail("FROM keyword expected, instead found '");
  parser_.NextToken();
  if (query->role == TQueryRole::qrInsertSource) {
    ParseSources(query, {"NOAUTOINC", "COMMIT"});
  } else {
    ParseSources(query, {});
  }

  if (parser_.IsKeyword("WHERE")) {
    TExpTokenPtr where =
        ParseClause(true, "WHERE or JOIN clause", "WHERE or JOIN clause is empty", ceCondition,
                    AllowPredicates | AllowParameters | AllowSubSelects, &query->where_text);
    query->AddCondition(std::move(where));
  }
  CheckCorrelationNames(*query);
  if (parser_.IsKeyword("GROUP")) {
    parser_.NextToken();
    Expect("BY", "BY keyword expected after GROUP keyword, instead found '");
    for (;;) {
      TGroupByField item;
      if (parser_.IsTokenKind(tkInteger)) {
        item.column_number = ParseIntegerAfter(
            "Column name or column number expected in GROUP BY clause, instead found '");
      } else if (parser_.IsNameToken()) {
        item.column_name = CutName(parser_.TokenText());
        parser_.NextToken();
        if (parser_.IsChar('.')) {
          parser_.NextToken();
          if (!parser_.IsNameToken()) {
            Fail("Column name or column number expected in GROUP BY clause, instead found '");
          }
          item.table_name = std::move(item.column_name);
          item.column_name = CutName(parser_.TokenText());
          parser_.NextToken();
        }
      } else {
        Fail("Column name or column number expected in GROUP BY clause, instead found '");
      }
      query->group_by.push_back(std::move(item));
      if (!parser_.IsChar(',')) break;
      parser_.NextToken();
    }
  }
  if (parser_.IsKeyword("HAVING")) {
    query->having = ParseClause(true, "HAVING clause", "HAVING clause is empty", ceCondition,
                                AllowAggregates, &query->having_text);
  }
  if (query->role != TQueryRole::qrUnionPart) ParseOrderBy(query);
  ParseSelectOptions(query);
  if (parenthesised) {
    if (!parser_.IsChar(')')) {
      Fail("Right parentheses expected after SELECT statement, instead found '");
    }
    parser_.NextToken();
  }
  if (query->role == TQueryRole::qrUnionPart) return;  // the first block reads the next part
  // The parts are read in a loop, not by recursion, so that a long UNION needs no deep stack.
  TDataQuery* last = query;
  while (parser_.IsKeyword("UNION")) {
    if (!last->order_by.empty()) {
      parser_.RaiseError("You cannot use an ORDER BY clause within a UNIONed query");
    }
    parser_.NextToken();
    if (parser_.IsKeyword("ALL")) {
      last->union_all = true;
      parser_.NextToken();
    }
    TDataQuery* part = NewQuery(TQueryRole::qrUnionPart, query);
    last->union_next = part;
    ParseStatement(part, false, true, query);
    last = part;
  }
  if (last != query) {
    // The ORDER BY and TOP after the last part belong to the union as a whole.
    ParseOrderBy(query);
    if (parser_.IsKeyword("TOP")) {
      parser_.NextToken();
      query->top = ParseIntegerAfter("Integer value expected after TOP keyword, instead found '");
    }
  }
}

// ---------------------------------------------------------------------------------------------
// INSERT, UPDATE, DELETE

std::string TQueryStatement::ParseColumnNameClause() {
  TExpTokenPtr node = ParseClause(false, "table column", "Table column name is empty", cePrimary,
                                  AllowNone, nullptr);
  // A string constant names the column as well.
  if (node->kind == nkConstant && node->data_type == fldString) return CutName(node->StringValue());
  if (node->kind == nkColumn) return node->column_name;
  return CutName(node->text);
}

void TQueryStatement::ParseInsert(TDataQuery* query) {
  query->statement_kind = skInsert;
  parser_.NextToken();
  Expect("INTO", "INTO keyword expected, instead found '");
  TSourceTable target;
  ParseTableReference(&target, "Table name expected after INTO keyword, instead found '");
  ParseCorrelationName(&target, {"VALUES", "SELECT"});
  target.position = 1;
  query->source_tables.push_back(std::move(target));

  if (parser_.IsChar('(')) {
    parser_.NextToken();
    for (;;) {
      TUpdateField field;
      field.column_name = ParseColumnNameClause();
      query->update_fields.push_back(std::move(field));
      if (!parser_.IsChar(',')) break;
      parser_.NextToken();
    }
    if (!parser_.IsChar(')')) {
      Fail("Right parentheses expected after list of table columns, instead found '");
    }
    parser_.NextToken();
  } else {
    TUpdateField all;
    all.column_name = "*";
    query->update_fields.push_back(std::move(all));
  }

  if (parser_.IsKeyword("VALUES")) {
    parser_.NextToken();
    if (!parser_.IsChar('('))
      Fail("Left parentheses expected after VALUES keyword, instead found '");
    bool first = true;
    for (;;) {
      TUpdateValue value;
      value.expression = ParseClause(true, "value expression", "Value expression is empty",
                                     ceCondition, AllowParameters, &value.expression_text);
      (void)first;
      first = false;
      query->update_values.push_back(std::move(value));
      if (!parser_.IsChar(',')) break;
    }
    if (!parser_.IsChar(')'))
      Fail("Right parentheses expected after list of values, instead found '");
    parser_.NextToken();
  } else if (parser_.IsKeyword("SELECT") || parser_.IsChar('(')) {
    TDataQuery* source = NewQuery(TQueryRole::qrInsertSource);
    query->insert_source = source;
    ParseStatement(source, false, false, nullptr);
  } else {
    Fail("VALUES or SELECT  keyword expected, instead found '");
  }

  if (parser_.IsKeyword("NOAUTOINC")) {
    query->no_autoinc = true;
    parser_.NextToken();
  }
  ParseCommitOptions(query);
}

void TQueryStatement::ParseUpdate(TDataQuery* query) {
  query->statement_kind = skUpdate;
  parser_.NextToken();
  TSourceTable target;
  ParseTableReference(&target, "Table name expected, instead found '");
  ParseCorrelationName(&target, {"SET"});
  target.position = 1;
  query->source_tables.push_back(target);
  Expect("SET", "SET keyword expected, instead found '");
  for (;;) {
    TUpdateField field;
    field.column_name = ParseColumnNameClause();
    if (!parser_.IsChar('=')) {
      Fail("Assignment (=) operator expected after column name, instead found '");
    }
    TUpdateValue value;
    value.expression = ParseClause(true, "value expression", "Value expression is empty",
                                   ceCondition, AllowParameters, &value.expression_text);
    query->update_fields.push_back(std::move(field));
    query->update_values.push_back(std::move(value));
    if (!parser_.IsChar(',')) break;
    parser_.NextToken();
  }
  if (parser_.IsKeyword("FROM")) {
    parser_.NextToken();
    query->source_tables.clear();
    ParseSources(query, {"NOAUTOINC", "COMMIT"});
    const TSourceTable* first = nullptr;
    for (const TSourceTable& source : query->source_tables) {
      if (source.position == 1) first = &source;
    }
    if (first == nullptr || first->memory != target.memory ||
        !EqualsIgnoringCase(first->table_name, target.table_name)) {
      parser_.RaiseError(
          "The first source table specified in FROM clause must match the table being updated "
          "in the UPDATE statement");
    }
  }
  if (parser_.IsKeyword("WHERE")) {
    query->AddCondition(
        ParseClause(true, "WHERE or JOIN clause", "WHERE or JOIN clause is empty", ceCondition,
                    AllowPredicates | AllowParameters | AllowSubSelects, &query->where_text));
  }
  CheckCorrelationNames(*query);
  if (parser_.IsKeyword("NOAUTOINC")) {
    query->no_autoinc = true;
    parser_.NextToken();
  }
  ParseCommitOptions(query);
  if (parser_.IsKeyword("NOJOINOPTIMIZE")) {
    query->no_join_optimize = true;
    parser_.NextToken();
  }
}

void TQueryStatement::ParseDelete(TDataQuery* query) {
  query->statement_kind = skDelete;
  parser_.NextToken();
  Expect("FROM", "FROM keyword expected, instead found '");
  ParseSources(query, {"COMMIT", "NOJOINOPTIMIZE"});
  if (parser_.IsKeyword("WHERE")) {
    query->AddCondition(
        ParseClause(true, "WHERE or JOIN clause", "WHERE or JOIN clause is empty", ceCondition,
                    AllowPredicates | AllowParameters | AllowSubSelects, &query->where_text));
  }
  CheckCorrelationNames(*query);
  ParseCommitOptions(query);
  if (parser_.IsKeyword("NOJOINOPTIMIZE")) {
    query->no_join_optimize = true;
    parser_.NextToken();
  }
}

// ---------------------------------------------------------------------------------------------
// CREATE TABLE, ALTER TABLE, CREATE INDEX, DROP

// DEFAULT, MIN and MAX take the text of one token; a sign directly before a number is kept with
// it, so that negative bounds and defaults can be written.
std::string TQueryStatement::ReadValueToken() {
  std::string value;
  if (parser_.IsChar('-') || parser_.IsChar('+')) {
    value = parser_.TokenText();
    parser_.NextToken();
    if (!parser_.IsTokenKind(tkInteger) && !parser_.IsTokenKind(tkReal)) return value;
  }
  value += parser_.TokenText();
  parser_.NextToken();
  return CutName(value);
}

void TQueryStatement::ParseColumnOptions(TCreateField* field) {
  if (parser_.IsKeyword("DESCRIPTION")) {
    parser_.NextToken();
    field->description = CutName(parser_.TokenText());
    parser_.NextToken();
  }
  if (parser_.IsKeyword("NOT")) {
    parser_.NextToken();
    Expect("NULL", "NULL keyword expected after NOT keyword, instead found '");
    field->required = true;
  }
  if (parser_.IsKeyword("DEFAULT")) {
    parser_.NextToken();
    field->has_default = true;
    field->default_value = ReadValueToken();
  }
  if (parser_.IsKeyword("MIN") || parser_.IsKeyword("MINIMUM")) {
    parser_.NextToken();
    field->has_min = true;
    field->min_value = ReadValueToken();
  }
  if (parser_.IsKeyword("MAX") || parser_.IsKeyword("MAXIMUM")) {
    parser_.NextToken();
    field->has_max = true;
    field->max_value = ReadValueToken();
  }
  if (parser_.IsKeyword("CHARCASE")) {
    parser_.NextToken();
    if (parser_.IsKeyword("UPPER")) {
      field->char_case = ccUpper;
    } else if (parser_.IsKeyword("LOWER")) {
      field->char_case = ccLower;
    } else if (parser_.IsKeyword("NOCHANGE")) {
      field->char_case = ccNoChange;
    } else {
      Fail("UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '");
    }
    parser_.NextToken();
  }
}

void TQueryStatement::ParseColumnDefinition(TCreateField* field, bool redefine) {
  // The name and the data type are read under the "table column" context.
  TExpTokenPtr name = ParseClause(false, "table column", "Table column name is empty", cePrimary,
                                  AllowNone, nullptr);
  if (name->kind == nkConstant && name->data_type == fldString) {
    field->name = CutName(name->StringValue());
  } else if (name->kind == nkColumn) {
    field->name = name->column_name;
  } else {
    field->name = CutName(name->text);
  }
  parser_.SetErrorContext("table column");
  field->data_type = NewExpToken();
  field->data_type->kind = nkConstant;
  TExpTokenPtr placeholder = NewExpToken();
  placeholder->kind = nkConstant;
  placeholder->null = 1;
  field->data_type->arguments.push_back(placeholder.release());
  if (redefine && parser_.IsNameToken() && !parser_.ParseDataType(field->data_type.get(), true)) {
    field->new_name = CutName(parser_.TokenText());
    parser_.NextToken();
    parser_.ParseDataType(field->data_type.get(), false);
  } else if (!redefine || field->data_type->data_type == fldUnknown) {
    parser_.ParseDataType(field->data_type.get(), false);
  }
  const std::string problem = SettleDataTypeArguments(field->data_type.get(), nullptr);
  if (!problem.empty()) parser_.RaiseInContext(problem);
  parser_.SetErrorContext(kStatementContext);
  if (redefine && parser_.IsKeyword("AT")) {
    parser_.NextToken();
    field->position = ParseIntegerAfter("Integer value expected after AT keyword, instead found '");
    if (field->position < 1) {
      parser_.RaiseError("AT column position must be greater than or equal to 1");
    }
  }
  ParseColumnOptions(field);
}

bool TQueryStatement::StartsIndexConstraint() const {
  return parser_.IsKeyword("CONSTRAINT") || parser_.IsKeyword("PRIMARY") ||
         parser_.IsKeyword("UNIQUE") || parser_.IsKeyword("ASC") ||
         parser_.IsKeyword("ASCENDING") || parser_.IsKeyword("DESC") ||
         parser_.IsKeyword("DESCENDING") || parser_.IsKeyword("NOCASE");
}

void TQueryStatement::ParseIndexColumns(TCreateIndex* index) {
  if (!parser_.IsChar('(')) Fail("Left parentheses expected, instead found '");
  bool first = true;
  for (;;) {
    TExpTokenPtr column = ParseClause(true, "index column", "Index column name is empty", cePrimary,
                                      AllowNone, nullptr);
    (void)first;
    first = false;
    if (column->kind == nkColumn && !column->table_name.empty()) {
      parser_.RaiseError("Invalid use of table correlation name '" + column->table_name +
                         "' specified in indexed columns");
    }
    if (column->kind == nkConstant && column->data_type == fldString) {
      index->columns.push_back(CutName(column->StringValue()));
    } else if (column->kind == nkColumn) {
      index->columns.push_back(column->column_name);
    } else {
      index->columns.push_back(CutName(column->text));
    }
    if (!parser_.IsChar(',')) break;
  }
  if (!parser_.IsChar(')')) Fail("Right parentheses expected, instead found '");
  parser_.NextToken();
}

void TQueryStatement::ParseCompression(TCreateIndex* index) {
  if (!parser_.IsKeyword("COMPRESS")) return;
  parser_.NextToken();
  if (parser_.IsKeyword("FULL")) {
    index->compression = icFull;
  } else if (parser_.IsKeyword("DUPBYTE")) {
    index->compression = icDuplicateByte;
  } else if (parser_.IsKeyword("TRAILBYTE")) {
    index->compression = icTrailingByte;
  } else if (parser_.IsKeyword("NONE")) {
    index->compression = icNone;
  } else {
    Fail(
        "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead "
        "found '");
  }
  parser_.NextToken();
}

// [CONSTRAINT name] [UNIQUE] [ASC...] [NOCASE] then PRIMARY KEY (a primary key) or, for
// CREATE INDEX, the INDEX keyword.
void TQueryStatement::ParseIndexConstraint(TCreateIndex* index, bool create_index) {
  if (!create_index && parser_.IsKeyword("CONSTRAINT")) {
    parser_.NextToken();
    index->name = CutName(parser_.TokenText());
    parser_.NextToken();
  }
  if (parser_.IsKeyword("UNIQUE")) {
    index->unique = true;
    parser_.NextToken();
  }
  if (parser_.IsKeyword("ASC") || parser_.IsKeyword("ASCENDING")) {
    parser_.NextToken();
  } else if (parser_.IsKeyword("DESC") || parser_.IsKeyword("DESCENDING")) {
    index->descending = true;
    parser_.NextToken();
  }
  if (parser_.IsKeyword("NOCASE")) {
    index->no_case = true;
    parser_.NextToken();
  }
  if (create_index) return;
  index->primary = true;
  Expect("PRIMARY", "PRIMARY keyword expected, instead found '");
  Expect("KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
  ParseIndexColumns(index);
  ParseCompression(index);
}

std::string TQueryStatement::EvaluateTextClause(const char* context, const char* empty_message) {
  TExpTokenPtr root = ParseClause(false, context, empty_message, ceSum, AllowNone, nullptr);
  // A constant text expression: string constants, NULL, numbers and their concatenation.
  std::string result;
  std::vector<const TExpToken*> pending{root.get()};
  while (!pending.empty()) {
    const TExpToken* node = pending.back();
    pending.pop_back();
    if (node->kind == nkBinary && node->op == opAdd) {
      pending.push_back(node->right);
      pending.push_back(node->left);
    } else if (node->kind == nkConstant) {
      if (node->null) continue;
      if (node->data_type == fldString) {
        result += node->StringValue();
      } else {
        result += node->text;
      }
    } else {
      std::string message = "Internal error: Column '";
      message += node->text;
      message += "' specified illegally";
      parser_.RaiseError(message);
    }
  }
  return result;
}

void TQueryStatement::ParseTableOptions(TDataQuery* query, bool alter) {
  TTableOptions& options = query->table_options;
  if (parser_.IsKeyword("TEXT")) {
    parser_.NextToken();
    Expect("INDEX", "INDEX keyword expected after TEXT keyword, instead found '");
    if (!parser_.IsChar('('))
      Fail("Left parentheses expected after TEXTINDEX keyword, instead found '");
    for (;;) {
      TExpTokenPtr column = ParseClause(true, "index column", "Index column name is empty",
                                        cePrimary, AllowNone, nullptr);
      options.text_index_columns.push_back(
          column->kind == nkConstant && column->data_type == fldString
              ? CutName(column->StringValue())
              : (column->kind == nkColumn ? column->column_name : CutName(column->text)));
      if (!parser_.IsChar(',')) break;
    }
    if (!parser_.IsChar(')'))
      Fail("Right parentheses expected after TEXT INDEX clause, instead found '");
    parser_.NextToken();
    if (parser_.IsKeyword("STOP")) {
      parser_.NextToken();
      Expect("WORDS", "WORDS keyword expected after STOP keyword, instead found '");
      const std::string words = EvaluateTextClause("stop words", "Stop words are empty");
      options.has_stop_words = true;
      std::size_t start = 0;
      while (start < words.size()) {
        const std::size_t blank = words.find_first_of(" \t\r\n", start);
        const std::size_t end = blank == std::string::npos ? words.size() : blank;
        if (end > start) options.stop_words.push_back(words.substr(start, end - start));
        start = end + 1;
      }
    }
    auto read_set = [this](std::array<std::uint8_t, 32>* set) {
      const std::string chars = EvaluateTextClause("character set", "Character set is empty");
      for (unsigned char c : chars) (*set)[c >> 3] |= static_cast<std::uint8_t>(1u << (c & 7));
    };
    if (parser_.IsKeyword("SPACE")) {
      parser_.NextToken();
      Expect("CHARS", "CHARS keyword expected after SPACE keyword, instead found '");
      read_set(&options.space_chars);
      options.has_space_chars = true;
    }
    if (parser_.IsKeyword("INCLUDE")) {
      parser_.NextToken();
      Expect("CHARS", "CHARS keyword expected after INCLUDE keyword, instead found '");
      read_set(&options.include_chars);
      options.has_include_chars = true;
    }
  }
  if (parser_.IsKeyword("DESCRIPTION")) {
    parser_.NextToken();
    options.has_description = true;
    options.description = CutName(parser_.TokenText());
    parser_.NextToken();
  }
  if (parser_.IsKeyword("BLOB")) {
    parser_.NextToken();
    Expect("BLOCK", "BLOCK keyword expected after BLOB keyword, instead found '");
    Expect("SIZE", "SIZE keyword expected after BLOCK keyword, instead found '");
    options.blob_block_size =
        ParseIntegerAfter("Integer value expected after SIZE keyword, instead found '");
  }
  ParseLanguage(query);
  if (parser_.IsKeyword("ENCRYPTED")) {
    parser_.NextToken();
    Expect("WITH", "WITH keyword expected after ENCRYPTED keyword, instead found '");
    query->password = CutName(parser_.TokenText());
    parser_.NextToken();
  }
  for (int i = 0; i < 2 && parser_.IsKeyword("USER"); ++i) {
    parser_.NextToken();
    const bool major = parser_.IsKeyword("MAJOR");
    if (!major && !parser_.IsKeyword("MINOR")) {
      Fail("MAJOR or MINOR keyword expected after USER keyword, instead found '");
    }
    parser_.NextToken();
    Expect("VERSION", major ? "VERSION keyword expected after MAJOR keyword, instead found '"
                            : "VERSION keyword expected after MINOR keyword, instead found '");
    const std::int32_t version =
        ParseIntegerAfter("Integer value expected after VERSION keyword, instead found '");
    if (major) {
      options.has_user_major_version = true;
      options.user_major_version = version;
    } else {
      options.has_user_minor_version = true;
      options.user_minor_version = version;
    }
  }
  if (parser_.IsKeyword("LAST")) {
    parser_.NextToken();
    Expect("AUTOINC", "AUTOINC keyword expected after LAST keyword, instead found '");
    std::string text;
    TExpTokenPtr value =
        ParseClause(false, "next auto-increment number", "Next auto-increment number is empty",
                    ceSigned, AllowNone, &text);
    const TExpToken* constant = value.get();
    const bool negative = value->kind == nkUnary && value->op == opNegate;
    if (value->kind == nkUnary) constant = value->left;
    if (constant->kind != nkConstant || constant->data_type != fldInteger || constant->null) {
      parser_.RaiseError("Integer constant expected after AUTOINC keyword, instead found '" + text +
                         "'");
    }
    options.has_last_autoinc = true;
    // Negating the smallest integer wraps, as integer arithmetic does.
    options.last_autoinc =
        negative
            ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(constant->IntegerValue()))
            : constant->IntegerValue();
  }
  if (alter && parser_.IsKeyword("NOBACKUP")) {
    options.no_backup = true;
    parser_.NextToken();
  }
}

void TQueryStatement::ParseCreateTable(TDataQuery* query) {
  query->statement_kind = skCreateTable;
  parser_.NextToken();  // TABLE
  if (parser_.IsKeyword("IF")) {
    parser_.NextToken();
    Expect("NOT", "NOT keyword expected after IF keyword, instead found '");
    Expect("EXISTS", "EXISTS keyword expected after NOT keyword, instead found '");
    query->if_not_exists = true;
  }
  TSourceTable table;
  ParseTableReference(&table, "Table name expected after CREATE TABLE keywords, instead found '");
  table.position = 1;
  query->source_tables.push_back(std::move(table));
  if (!parser_.IsChar('(')) {
    Fail("Left parentheses expected before list of table columns, instead found '");
  }
  parser_.SetErrorContext("table column");
  parser_.NextToken();
  parser_.SetErrorContext(kStatementContext);
  static constexpr const char* kColumnStop[] = {
      "CONSTRAINT", "PRIMARY", "UNIQUE",      "ASC",  "ASCENDING", "DESC",      "DESCENDING",
      "NOCASE",     "TEXT",    "DESCRIPTION", "BLOB", "LANGUAGE",  "ENCRYPTED", "USER"};
  for (;;) {
    if (parser_.IsChar(')')) break;
    bool stop = false;
    for (const char* word : kColumnStop) stop = stop || parser_.IsKeyword(word);
    if (stop) break;
    TCreateField field;
    ParseColumnDefinition(&field, false);
    query->create_fields.push_back(std::move(field));
    if (!parser_.IsChar(',')) break;
    parser_.SetErrorContext("table column");
    parser_.NextToken();
    parser_.SetErrorContext(kStatementContext);
  }
  if (StartsIndexConstraint()) {
    TCreateIndex primary;
    ParseIndexConstraint(&primary, false);
    query->create_indexes.push_back(std::move(primary));
  }
  ParseTableOptions(query, false);
  if (!parser_.IsChar(')')) {
    Fail("Right parentheses expected after CREATE TABLE statement, instead found '");
  }
  parser_.NextToken();
}

void TQueryStatement::ParseCreateIndex(TDataQuery* query) {
  query->statement_kind = skCreateIndex;
  TCreateIndex index;
  ParseIndexConstraint(&index, true);
  Expect("INDEX", "INDEX keyword expected, instead found '");
  if (parser_.IsKeyword("IF")) {
    parser_.NextToken();
    Expect("NOT", "NOT keyword expected after IF keyword, instead found '");
    Expect("EXISTS", "EXISTS keyword expected after NOT keyword, instead found '");
    index.if_not_exists = true;
    query->if_not_exists = true;
  }
  if (!parser_.IsNameToken()) Fail("Index name expected after INDEX keyword, instead found '");
  index.name = CutName(parser_.TokenText());
  parser_.NextToken();
  Expect("ON", "ON keyword expected after index name, instead found '");
  TSourceTable table;
  ParseTableReference(&table, "Table name expected after ON keyword, instead found '");
  table.position = 1;
  query->source_tables.push_back(std::move(table));
  ParseIndexColumns(&index);
  ParseCompression(&index);
  query->create_indexes.push_back(std::move(index));
}

void TQueryStatement::ParseAlterTable(TDataQuery* query) {
  query->statement_kind = skAlterTable;
  parser_.NextToken();  // TABLE
  TSourceTable table;
  ParseTableReference(&table, "Table name expected after ALTER TABLE keywords, instead found '");
  table.position = 1;
  query->source_tables.push_back(std::move(table));
  bool primary_defined = false;
  for (;;) {
    const bool add = parser_.IsKeyword("ADD");
    const bool redefine = parser_.IsKeyword("REDEFINE");
    const bool drop = parser_.IsKeyword("DROP");
    if (!add && !redefine && !drop)
      Fail("ADD, DROP, or REDEFINE keyword expected, instead found '");
    const TFieldAction action = add ? faAdd : (redefine ? faRedefine : faDrop);
    parser_.SetErrorContext("table column");
    parser_.NextToken();
    parser_.SetErrorContext(kStatementContext);
    if (StartsIndexConstraint()) {
      TCreateIndex index;
      index.action = action;
      if (drop) {
        index.primary = true;
        if (parser_.IsKeyword("CONSTRAINT")) {
          parser_.NextToken();
          index.name = CutName(parser_.TokenText());
          parser_.NextToken();
        }
        Expect("PRIMARY", "PRIMARY keyword expected, instead found '");
        Expect("KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
      } else {
        if (add && primary_defined) {
          parser_.RaiseError("Cannot REDEFINE the primary key using the ADD keyword");
        }
        ParseIndexConstraint(&index, false);
        primary_defined = true;
      }
      query->create_indexes.push_back(std::move(index));
    } else {
      if (parser_.IsKeyword("COLUMN")) {
        parser_.SetErrorContext("table column");
        parser_.NextToken();
        parser_.SetErrorContext(kStatementContext);
      }
      TCreateField field;
      field.action = action;
      if (drop) {
        field.name = ParseColumnNameClause();
      } else if (redefine) {
        ParseColumnDefinition(&field, true);
      } else {
        ParseColumnDefinition(&field, false);
        if (parser_.IsKeyword("AT")) {
          parser_.NextToken();
          field.position =
              ParseIntegerAfter("Integer value expected after AT keyword, instead found '");
          if (field.position < 1) {
            parser_.RaiseError("AT column position must be greater than or equal to 1");
          }
        }
      }
      query->create_fields.push_back(std::move(field));
    }
    if (!parser_.IsChar(',')) break;
    parser_.NextToken();
  }
  ParseTableOptions(query, true);
}

void TQueryStatement::ParseDropTable(TDataQuery* query) {
  query->statement_kind = skDropTable;
  parser_.NextToken();  // TABLE
  if (parser_.IsKeyword("IF")) {
    parser_.NextToken();
    Expect("EXISTS", "EXISTS keyword expected after IF keyword, instead found '");
    query->if_exists = true;
  }
  TSourceTable table;
  ParseTableReference(&table, "Table name expected after DROP TABLE keywords, instead found '");
  table.position = 1;
  query->source_tables.push_back(std::move(table));
}

void TQueryStatement::ParseDropIndex(TDataQuery* query) {
  query->statement_kind = skDropIndex;
  parser_.NextToken();  // INDEX
  if (parser_.IsKeyword("IF")) {
    parser_.NextToken();
    Expect("EXISTS", "EXISTS keyword expected after IF keyword, instead found '");
    query->if_exists = true;
  }
  // table . index is read as one index name expression; a database part and MEMORY come first.
  TSourceTable table;
  if (parser_.IsKeyword("MEMORY")) {
    table.memory = true;
    parser_.NextToken();
  }
  if (!parser_.IsNameToken())
    Fail("Table name expected after DROP INDEX keywords, instead found '");
  std::string database;
  if (parser_.IsNameToken()) {
    // Look past a database name: db \ table . index.
    const std::string first = parser_.TokenText();
    parser_.SetErrorContext("index name expression");
    parser_.MarkExpressionStart();
    parser_.NextToken();
    if (parser_.IsChar('\\')) {
      database = first;
      parser_.NextToken();
      if (!parser_.IsNameToken()) {
        Fail("Table name expected after DROP INDEX keywords, instead found '");
      }
      table.table_name = CutName(database + "\\" + parser_.TokenText());
      parser_.NextToken();
    } else {
      table.table_name = CutName(first);
    }
    if (!parser_.IsChar('.')) parser_.RaiseError("Index name expression is empty");
    parser_.NextToken();
    if (!parser_.IsNameToken()) {
      parser_.RaiseFound(
          "Symbol or string expression expected after table correlation name separator '.', "
          "instead found '");
    }
    query->index_name = CutName(parser_.TokenText());
    parser_.NextToken();
    parser_.SetErrorContext(kStatementContext);
  }
  table.position = 1;
  query->source_tables.push_back(std::move(table));
}

}  // namespace tabula
