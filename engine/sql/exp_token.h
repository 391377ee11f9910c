// Expression tree nodes and the process-wide node pool.
//
// A TExpToken is one node of an expression tree built by the expression parser and, after
// evaluation, one typed value. A node owns its left, right and third operands and every node of
// its argument list; the tree is given back to the pool as a whole with ReleaseExpTree.
// Values are held in the record field encodings (little-endian), the value type codes being the
// field type codes of the data file.
//
// The pool keeps at most 256 returned nodes so that parsing and evaluating, which take and drop
// many nodes per row, reuse nodes (and their buffers) instead of allocating.
//
// Thread-safety: a node belongs to whoever took it from the pool. The pool itself is shared by
// every thread and guarded by its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/field_types.h"

namespace tabula {

class TDataQuery;

// Node kinds.
enum TExpNodeKind : std::uint8_t {
  nkNone = 0,
  nkUnary = 1,
  nkBinary = 2,
  nkFilterCompare = 3,
  nkColumn = 4,
  nkConstant = 5,
  nkSubSelect = 6,
  nkFunction = 10,
  nkPredicate = 12,
};

// Operator and function codes.
enum TExpOperator : std::uint8_t {
  opNone = 0,
  opEqual = 3,     // also IS NULL
  opNotEqual = 4,  // also IS NOT NULL
  opGreater = 5,
  opLess = 6,
  opGreaterEqual = 7,
  opLessEqual = 8,
  opNot = 9,
  opAnd = 10,
  opOr = 11,
  opNegate = 15,
  opPlusSign = 16,
  opAdd = 17,  // + and ||
  opSubtract = 18,
  opMultiply = 19,
  opDivide = 20,
  opSum = 23,
  opRunSum = 24,
  opCount = 25,
  opMin = 26,
  opMax = 27,
  opAvg = 28,
  opLike = 32,
  opIn = 33,
  opInSelect = 34,
  opUpper = 36,
  opLower = 37,
  opBetween = 41,
  opNotBetween = 42,
  opNotLike = 43,
  opNotIn = 44,
  opNotInSelect = 45,
  opSubstring = 46,
  opReplace = 47,
  opPos = 48,
  opOccurs = 49,
  opTrimLeading = 50,
  opTrimTrailing = 51,
  opTrimBoth = 52,
  opLength = 53,
  opCast = 54,
  opExtractYear = 55,
  opExtractMonth = 56,
  opExtractWeek = 57,
  opExtractDay = 58,
  opExtractDayOfWeek = 59,
  opExtractDayOfYear = 60,
  opExtractHour = 61,
  opExtractMinute = 62,
  opExtractSecond = 63,
  opIf = 64,
  opCoalesce = 65,
  opIfNull = 66,
  opAbs = 67,
  opRound = 68,
  opTextSearch = 69,
  opTextOccurs = 70,
  opLastAutoInc = 71,
  opIdentCurrent = 72,
};

// The value buffer of a new or reset node.
constexpr std::size_t kExpValueBufferSize = 251;
// Longest column and table name a node keeps.
constexpr std::size_t kExpMaxNameLength = 255;

class TExpToken {
 public:
  TExpToken();
  TExpToken(const TExpToken&) = delete;
  TExpToken& operator=(const TExpToken&) = delete;
  // Destroys the node only; the children are given back by ReleaseExpTree.
  ~TExpToken() = default;

  // Clears every field (the estimates to -1), empties the argument list, shrinks the value
  // buffer back to 251 zero bytes. Children are not released: the caller has done that.
  void Reset();

  // Sets the size in use, growing the value buffer when needed (new bytes are zero).
  void SetSize(std::uint32_t size);

  // Value helpers in the record encodings. The setters set type, size and clear the null flag.
  void SetStringValue(std::string_view text);
  void SetBooleanValue(bool value);
  void SetIntegerValue(std::int32_t value);
  void SetLargeIntValue(std::int64_t value);
  void SetFloatValue(double value);
  std::string StringValue() const;  // up to the first NUL within the size
  std::int32_t IntegerValue() const;
  std::int64_t LargeIntValue() const;
  double FloatValue() const;
  bool BooleanValue() const;

  std::uint8_t* Value() { return value_.data(); }
  const std::uint8_t* Value() const { return value_.data(); }
  std::size_t ValueCapacity() const { return value_.size(); }

  // Sets the column name or table name, cut to 255 characters.
  void SetColumnName(std::string_view name);
  void SetTableName(std::string_view name);

  // Fields, in declared order.
  std::string text;
  std::uint8_t kind = nkNone;
  std::uint8_t op = opNone;
  std::uint8_t optimize_level = 0;
  std::uint16_t optimize_flags = 0;
  std::int32_t estimated_count = -1;
  std::int32_t estimated_cost = -1;
  std::uint8_t join_mark = 0;
  std::uint8_t join_condition = 0;
  std::string column_name;
  std::uint16_t field_number = 0;
  std::string table_name;
  void* source_table = nullptr;     // bound source table or cursor; not owned
  TDataQuery* sub_query = nullptr;  // owned by the statement's list of query blocks
  std::uint8_t null = 0;
  std::uint8_t parameter = 0;
  std::uint32_t partial_length = 0;
  std::uint8_t case_insensitive = 0;
  std::uint8_t data_type = fldUnknown;
  std::uint8_t subtype = fldstNone;
  std::uint32_t size = 0;
  std::uint8_t scale = 0;
  std::uint8_t column_from_string = 0;
  std::uint8_t saved_type = 0;
  std::uint8_t saved_subtype = 0;
  std::uint32_t saved_size = 0;
  std::uint8_t saved_scale = 0;
  TExpToken* parent = nullptr;        // set by type checking; not owned
  TExpToken* left = nullptr;          // owned
  TExpToken* right = nullptr;         // owned
  TExpToken* third = nullptr;         // owned
  std::vector<TExpToken*> arguments;  // owned
  // Height of the subtree below and including this node, kept by the parser so that
  // pathological texts are refused before any recursive pass could exhaust the stack.
  std::uint32_t depth = 1;

 private:
  std::vector<std::uint8_t> value_;
};

// The process-wide node pool.
class TExpTokenStack {
 public:
  static constexpr std::size_t kMaxPooled = 256;

  // The pool created at engine start-up (on first use).
  static TExpTokenStack& Instance();

  // Pops the most recently returned node and resets it, or creates a new node.
  TExpToken* Take();
  // Pushes the node unless the pool holds 256 already; then the node is destroyed.
  // REQUIRES: the node's children were released already (see ReleaseExpTree).
  void Give(TExpToken* node);
  std::size_t PooledCount() const;

  ~TExpTokenStack();

 private:
  TExpTokenStack() = default;
  mutable std::mutex lock_;
  std::vector<TExpToken*> nodes_;  // guarded by lock_
};

// Returns a node with its left, right, third and every argument subtree to the pool. Works
// without recursion, so trees of any height are released safely. A null root is ignored.
void ReleaseExpTree(TExpToken* root);

struct TExpTokenReleaser {
  void operator()(TExpToken* node) const { ReleaseExpTree(node); }
};
// A tree held by its owner: released to the pool when the holder goes.
using TExpTokenPtr = std::unique_ptr<TExpToken, TExpTokenReleaser>;

// A fresh node from the pool, held.
inline TExpTokenPtr NewExpToken() { return TExpTokenPtr(TExpTokenStack::Instance().Take()); }

// Serialised expression stream, the form in which a filter travels to a database server.
// Every record is a sequence of items, each a 32-bit little-endian byte count and that many
// bytes; the tree is written in pre-order (node, left, right, arguments). The older form for
// servers below version 3.04 folds argument lists into left, right and third links.
//
//   #   ITEM                     BYTES
//   1   text                     its characters
//   2   kind                     1
//   3   operator                 1
//   4   optimize level           1
//   5   column name              its characters
//   6   field number             2
//   7   size                     4
//   8   value                    size
//   9   null                     1
//   10  partial length           4
//   11  case-insensitive         1
//   12  data type                1
//   13  subtype                  1
//   14  scale                    1
//   15  left offset              4 (record offset of the left child, 0 when none)
//   16  right offset             4 (record offset of the right child, 0 when none)
//   17  argument count           4 (older form: offset of the third child)
//   18  first argument offset    4 (older form: absent)
constexpr int kExpStreamItemCount = 18;
constexpr int kExpStreamOldItemCount = 17;

// Appends the tree's records to `out`, in the current form or, with `old_form`, the form of
// servers below version 3.04.
void WriteExpressionStream(const TExpToken& root, bool old_form, std::string* out);

// Reads a tree in the current form from `data` (size bytes). Returns nullptr when the stream is
// damaged: an item runs past the buffer, an item has the wrong width, a child offset does not
// point where its record starts, or the tree nests deeper than the parser allows.
TExpTokenPtr ReadExpressionStream(const std::uint8_t* data, std::size_t size);

// The deepest tree the parser builds and the stream reader accepts.
constexpr std::uint32_t kMaxExpressionDepth = 1024;

}  // namespace tabula
