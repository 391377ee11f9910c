// Type checking and evaluation of expression trees.
//
// TypeCheck runs once over a parsed tree: it binds column nodes through the owner, turns string
// constants into dates, times and timestamps where a comparison needs it, settles the type,
// subtype, size and scale of every node and raises the caller's error code with the exact
// message on a mismatch. Evaluate then computes the checked tree for one record and returns a
// fresh constant node; it does not change the tree and raises only for a column met without an
// owner to fetch it.
//
// The dialect's rules that stored queries rely on: '' is the NULL constant, NULL = NULL is true
// and NULL <> x is true, `=` on texts is case-sensitive, integer division gives a float,
// division by zero gives NULL, integer arithmetic wraps around at 32 bits (64 with a largeint).
//
// Thread-safety: a tree belongs to one statement or cursor and is checked and evaluated on its
// thread; only the node pool is shared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/sql/exp_token.h"
#include "engine/storage/field_types.h"

namespace tabula {

class TDataQuery;

// What type checking and evaluation need of the statement or cursor that owns a tree.
class TExpressionOwner {
 public:
  virtual ~TExpressionOwner() = default;

  // Binds a column node by its column_name and table_name: fills field_number, source_table,
  // data_type, subtype, size and scale, and returns true; false when no column has the name.
  virtual bool ResolveColumn(TExpToken& column) = 0;

  // Fills the column node's value and null flag from the record image `record`. A string
  // column gets size = text length + 1; a BLOB column its whole contents (a memo ending with a
  // NUL).
  virtual void FetchColumn(const std::uint8_t* record, TExpToken& column) = 0;

  // Sets `node`'s type, subtype, size and scale from the single result column of a sub-select
  // and returns true; false when the sub-select has more than one column.
  virtual bool BindSubSelect(TDataQuery* query, TExpToken& node);

  // Whether the sub-select's result holds a record whose column equals `value` (IN (SELECT)).
  virtual bool SubSelectHolds(TDataQuery* query, const TExpToken& value);

  // The text index answer for the current record: whether all `words` are found in the bound
  // column, and how often. False and 0 when the column's table has no text index.
  virtual bool TextSearch(const TExpToken& column, const std::string& words,
                          const std::uint8_t* record, std::int32_t* occurrences);

  // LASTAUTOINC and IDENT_CURRENT: a query opens the named table as an extra source table while
  // its tree is checked, and answers the last auto-increment value its cursor has seen.
  virtual void OpenAutoIncTable(const std::string& table_name);
  virtual std::int32_t LastAutoInc(const std::string& table_name);
};

// Columns of one record image laid out by field descriptors; the form cursors hand their
// current record in. BLOB columns give their stored first-block slot only: reading the BLOB
// itself belongs to the cursor that owns the BLOB file.
class TRecordImageColumns : public TExpressionOwner {
 public:
  // `descriptors` and `image_size` describe the images FetchColumn will be given; not owned.
  TRecordImageColumns(const std::vector<TFieldDescriptor>* descriptors, std::size_t image_size,
                      std::string table_name = std::string())
      : descriptors_(descriptors), image_size_(image_size), table_name_(std::move(table_name)) {}

  bool ResolveColumn(TExpToken& column) override;
  void FetchColumn(const std::uint8_t* record, TExpToken& column) override;

 private:
  const std::vector<TFieldDescriptor>* descriptors_;
  std::size_t image_size_;
  std::string table_name_;
};

// The arguments of one type check.
struct TTypeCheckOptions {
  std::uint16_t error_code = 0;  // TABULA_SQLPARSE for SQL, TABULA_INVALIDFILTER for filters
  std::string database_name;
  std::string table_name;
  // A string constant whose text names a column becomes a reference to that column.
  bool strings_name_columns = false;
  // A boolean column, CAST or TEXTSEARCH standing alone as a condition becomes `= True`.
  bool rewrite_booleans = false;
  // Column names are bound through the owner; off for INSERT values.
  bool resolve_columns = true;
  // The clause named in messages ("WHERE or JOIN clause", "filter expression", ...).
  std::string context;
};

// Checks the tree held by `root` and settles its types; the root itself may be replaced by the
// boolean rewrite. `owner` may be null when the tree has no columns, sub-selects or
// LASTAUTOINC.
void TypeCheck(const TTypeCheckOptions& options, TExpressionOwner* owner, TExpTokenPtr* root);

// Checks the type arguments of a data type node (CAST's target, a CREATE TABLE column type):
// arguments `first` and `first + 1` of `node`. `operand` is CAST's operand (or null) and gives
// the default size of a string or bytes type without a length. Sets size, subtype and scale.
void CheckDataTypeArguments(const TTypeCheckOptions& options, TExpToken* node, std::size_t first,
                            const TExpToken* operand);

// Computes a checked tree for one record. `record` may be null for a tree without columns.
// The result is a constant node (kind 5) from the pool.
TExpTokenPtr Evaluate(const TExpToken& root, const std::uint8_t* record, TExpressionOwner* owner,
                      std::uint16_t language_id, std::uint16_t sort_id);

}  // namespace tabula
