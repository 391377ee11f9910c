// One query block of a prepared SQL text, as the statement parser leaves it.
//
// A TDataQuery holds everything one statement, sub-select, UNION part or INSERT source says:
// its kind, result columns, source tables and joins, the condition (WHERE and every ON condition
// joined by AND), grouping, ordering and options, the columns and values of INSERT and UPDATE,
// and the column, index and table definitions of CREATE and ALTER TABLE. Expression trees are
// owned by the block (TExpTokenPtr); a sub-select node only refers to its block, which the
// statement owns in its list of blocks.
//
// Execution state (cursors, result tables) belongs to the executor and is not kept here yet.
//
// Thread-safety: a block belongs to its statement and is used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/sql/exp_token.h"

namespace tabula {

enum TStatementKind : std::uint8_t {
  skUnknown = 0,
  skSelect = 1,
  skInsert = 2,
  skUpdate = 3,
  skDelete = 4,
  skCreateTable = 5,
  skAlterTable = 6,
  skDropTable = 7,
  skCreateIndex = 8,
  skDropIndex = 9,
  skStartTransaction = 10,
  skRollback = 11,
  skCommit = 12,
};

// "SELECT", "INSERT", ..., "COMMIT"; "UNKNOWN" for any other kind.
const char* StatementName(std::uint8_t kind);

enum class TQueryRole { qrMaster, qrSubSelect, qrUnionPart, qrInsertSource };

enum TJoinKind : std::uint8_t { jkNone = 0, jkInner = 1, jkLeftOuter = 2, jkRightOuter = 3 };

// One result column of a SELECT.
struct TResultField {
  TExpTokenPtr expression;
  std::string expression_text;  // the source text, line breaks removed
  std::string name;             // the name given with AS or directly after the expression
  std::string table_name;       // the qualifier of an "AS t.name" form
};

// One table of FROM (or the target of INSERT, UPDATE, DELETE and the DDL statements).
struct TSourceTable {
  std::string table_name;  // "database\table" when a database was named
  bool memory = false;
  std::string correlation_name;
  int position = 0;                 // 1, 2, ... in order of appearance
  std::uint8_t join_kind = jkNone;  // how this table is joined to the ones before it
  std::string join_text;            // the ON condition's text
};

// GROUP BY and ORDER BY items: a column name (with an optional table name) or a number.
struct TGroupByField {
  std::string table_name;
  std::string column_name;
  int column_number = 0;  // 1-based; 0 when named
};

struct TOrderByField {
  std::string table_name;
  std::string column_name;
  int column_number = 0;
  bool descending = false;
};

// A target column of INSERT or UPDATE; "*" for an INSERT without a column list.
struct TUpdateField {
  std::string column_name;
  std::string table_name;
};

struct TUpdateValue {
  TExpTokenPtr expression;
  std::string expression_text;
};

enum TFieldAction : std::uint8_t { faAdd = 0, faRedefine = 1, faDrop = 2 };

enum TCharCase : std::uint8_t { ccNoChange = 0, ccLower = 1, ccUpper = 2 };

// A column definition of CREATE TABLE or an ALTER TABLE column action.
struct TCreateField {
  TFieldAction action = faAdd;
  std::string name;
  std::string new_name;  // REDEFINE name new-name
  // The data type as parsed: type, subtype, fixed size; the size and scale arguments are
  // arguments 1 and 2 (argument 0 is an untyped NULL placeholder where CAST has its operand).
  TExpTokenPtr data_type;
  std::string description;
  bool required = false;
  bool has_default = false, has_min = false, has_max = false;
  std::string default_value, min_value, max_value;
  std::uint8_t char_case = ccNoChange;
  int position = 0;  // AT n; 0 when not given
};

enum TIndexCompression : std::uint8_t {
  icNone = 0,
  icDuplicateByte = 1,
  icTrailingByte = 2,
  icFull = 3
};

// A primary key or CREATE INDEX definition.
struct TCreateIndex {
  TFieldAction action = faAdd;
  bool primary = false;
  std::string name;  // CONSTRAINT name or index name
  bool unique = false;
  bool descending = false;
  bool no_case = false;
  bool if_not_exists = false;
  std::vector<std::string> columns;
  std::uint8_t compression = icNone;
};

// The options of CREATE and ALTER TABLE.
struct TTableOptions {
  std::vector<std::string> text_index_columns;
  bool has_stop_words = false;
  std::vector<std::string> stop_words;
  bool has_space_chars = false, has_include_chars = false;
  std::array<std::uint8_t, 32> space_chars{};  // one bit per character code
  std::array<std::uint8_t, 32> include_chars{};
  bool has_description = false;
  std::string description;
  std::int32_t blob_block_size = 0;  // 0 when not given
  bool has_user_major_version = false, has_user_minor_version = false;
  std::int32_t user_major_version = 0, user_minor_version = 0;
  bool has_last_autoinc = false;
  std::int32_t last_autoinc = 0;
  bool no_backup = false;
};

class TDataQuery {
 public:
  explicit TDataQuery(TQueryRole role, TDataQuery* union_master = nullptr)
      : role(role), union_master(union_master) {}
  TDataQuery(const TDataQuery&) = delete;
  TDataQuery& operator=(const TDataQuery&) = delete;

  std::uint8_t StatementKind() const { return statement_kind; }
  const char* StatementName() const { return tabula::StatementName(statement_kind); }

  // Joins `condition` into the block's condition with AND.
  void AddCondition(TExpTokenPtr condition);

  std::uint8_t statement_kind = skUnknown;
  TQueryRole role;
  TDataQuery* union_master;  // the first block of a UNION, for its parts; not owned

  // SELECT
  bool distinct = false;
  bool select_all = false;  // the select list was a single *
  std::vector<TResultField> result_fields;
  bool has_into = false;
  bool into_memory = false;
  std::string into_table;  // "database\table" when a database was named
  std::vector<TSourceTable> source_tables;
  TExpTokenPtr condition;  // WHERE and every ON condition, joined by AND
  std::string where_text;
  std::vector<TGroupByField> group_by;
  TExpTokenPtr having;
  std::string having_text;
  std::vector<TOrderByField> order_by;
  bool order_no_case = false;
  std::int32_t top = -1;  // -1 when not given
  bool with_locks = false;
  std::uint16_t language_id = 0, sort_id = 0;
  bool has_language = false, has_sort = false;
  std::string password;  // ENCRYPTED WITH
  bool no_join_optimize = false;
  bool no_autoinc = false;
  std::int32_t commit_interval = 0;  // 0 when not given
  bool commit_flush = false;
  TDataQuery* union_next = nullptr;  // the next UNION part; owned by the statement
  bool union_all = false;

  // INSERT and UPDATE
  std::vector<TUpdateField> update_fields;
  std::vector<TUpdateValue> update_values;
  TDataQuery* insert_source = nullptr;  // INSERT ... SELECT; owned by the statement

  // CREATE, ALTER, DROP
  bool if_not_exists = false;  // CREATE TABLE / CREATE INDEX IF NOT EXISTS
  bool if_exists = false;      // DROP ... IF EXISTS
  std::vector<TCreateField> create_fields;
  std::vector<TCreateIndex> create_indexes;
  TTableOptions table_options;
  std::string index_name;  // DROP INDEX

  // Transactions
  bool flush = false;  // COMMIT ... FLUSH
};

}  // namespace tabula
