// A prepared SQL text and its statement parser.
//
// TQueryStatement owns one TExpressionParser over the whole text, the list of parameter nodes
// (the `?` markers in order of appearance; the nodes stay owned by their trees) and every query
// block the current statement produced: the master query, sub-selects, UNION parts and the
// SELECT of INSERT ... SELECT. A text may hold several statements separated by `;`: Prepare
// parses the first one, PrepareNext the following ones, one at a time, as execution reaches them.
//
// Every parse failure raises ETabulaEngineError with TABULA_SQLPARSE and the message; the
// statement is then unprepared and its blocks and parameters are released. Statement-level
// messages carry no context; expression messages end with " in " and the clause's context.
//
// LANGUAGE and SORT names are resolved through the engine's language list (engine/index).
//
// Thread-safety: one statement is used by one thread at a time.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/data_query.h"
#include "engine/sql/expression_parser.h"

namespace tabula {

class TQueryStatement : public TParserOwner {
 public:
  TQueryStatement();
  ~TQueryStatement() override;
  TQueryStatement(const TQueryStatement&) = delete;
  TQueryStatement& operator=(const TQueryStatement&) = delete;

  // Loads the text and parses its first statement into the master query.
  void Prepare(std::string_view text);
  // Parses the statement after the one last parsed into a new master query. Returns false,
  // leaving the statement unprepared, when the text holds no further statement.
  bool PrepareNext();
  // Releases the blocks and parameters.
  void Unprepare();

  bool Prepared() const { return master_ != nullptr; }
  TDataQuery* MasterQuery() const { return master_; }
  std::uint8_t StatementKind() const { return statement_kind_; }
  bool SelectAll() const { return select_all_; }
  const std::vector<TExpToken*>& Parameters() const { return parameters_; }
  const std::vector<std::unique_ptr<TDataQuery>>& Queries() const { return queries_; }
  TExpressionParser& Parser() { return parser_; }

  // Parses one statement from the current token into `query`.
  void ParseStatement(TDataQuery* query, bool is_sub_select, bool is_union_part,
                      TDataQuery* union_master);

  // TParserOwner
  void AddParameter(TExpToken* node) override;
  TDataQuery* ParseSubSelect() override;

 private:
  TDataQuery* NewQuery(TQueryRole role, TDataQuery* union_master = nullptr);
  void ParseMaster();

  void ParseSelect(TDataQuery* query, bool parenthesised);
  void ParseInsert(TDataQuery* query);
  void ParseUpdate(TDataQuery* query);
  void ParseDelete(TDataQuery* query);
  void ParseCreateTable(TDataQuery* query);
  void ParseCreateIndex(TDataQuery* query);
  void ParseAlterTable(TDataQuery* query);
  void ParseDropTable(TDataQuery* query);
  void ParseDropIndex(TDataQuery* query);

  // Reads [MEMORY] name [\ name]; `missing` is the message prefix when no name follows.
  void ParseTableReference(TSourceTable* table, std::string_view missing);
  // Reads an optional correlation name: AS name, or a name token that is no excluded keyword.
  void ParseCorrelationName(TSourceTable* table, std::initializer_list<const char*> excluded);
  void ParseSources(TDataQuery* query, std::initializer_list<const char*> extra_excluded);
  void ParseOrderBy(TDataQuery* query);
  // Every qualified column of the WHERE and ON conditions must name a source of the block; this
  // is checked before any type rule, so an undefined name is reported as such.
  void CheckCorrelationNames(const TDataQuery& query);
  void ParseSelectOptions(TDataQuery* query);
  void ParseLanguage(TDataQuery* query);
  void ParseCommitOptions(TDataQuery* query);
  void ParseColumnDefinition(TCreateField* field, bool redefine);
  void ParseColumnOptions(TCreateField* field);
  std::string ReadValueToken();
  bool StartsIndexConstraint() const;
  void ParseIndexConstraint(TCreateIndex* index, bool create_index);
  void ParseIndexColumns(TCreateIndex* index);
  void ParseCompression(TCreateIndex* index);
  void ParseTableOptions(TDataQuery* query, bool alter);
  std::int32_t ParseIntegerAfter(std::string_view keyword_message);
  std::string ParseColumnNameClause();
  std::string EvaluateTextClause(const char* context, const char* empty_message);

  // Expression clauses: the context is set before the clause's first token is read, so that
  // lexer errors inside the clause carry it.
  enum TClauseEntry { ceCondition, cePrimary, ceSigned, ceSum };
  TExpTokenPtr ParseClause(bool skip_keyword, const char* context, const char* empty_message,
                           TClauseEntry entry, unsigned flags, std::string* text);

  [[noreturn]] void Fail(std::string_view prefix);  // prefix + T + "'"
  void Expect(const char* keyword, std::string_view prefix);

  TExpressionParser parser_;
  std::vector<TExpToken*> parameters_;  // not owned
  std::vector<std::unique_ptr<TDataQuery>> queries_;
  TDataQuery* master_ = nullptr;
  std::uint8_t statement_kind_ = skUnknown;
  bool select_all_ = false;
  bool live_result_ = false;
  bool has_more_ = false;  // the text continues after the last parsed statement's `;`
};

}  // namespace tabula
