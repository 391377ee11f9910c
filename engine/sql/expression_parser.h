// The expression lexer and parser shared by SQL statements and table filters.
//
// TExpressionParser keeps a private NUL-terminated copy of one text and reads it token by
// token; the statement parser drives the lexer keyword by keyword and calls the expression
// entry points for each clause, a cursor calls them for its filter expressions. The parser only
// builds trees of TExpToken nodes (taken from the process-wide pool); binding, type checking and
// evaluation come later.
//
// Every failure raises the owner's engine error at once (TABULA_SQLPARSE for SQL,
// TABULA_INVALIDFILTER for filters) with the message text; expression messages end with
// " in " and the ErrorContext. Nodes built before a failure are given back to the pool as the
// exception unwinds; the text and position stay where the failure was found.
//
// Scanning is linear in the text; tokens are not copied unless TokenText is asked for, and the
// texts kept per token reuse one buffer, so a parse allocates nothing beyond the node pool once
// the pool and buffers are warm.
//
// Thread-safety: one parser belongs to one statement or cursor and is used by one thread at a
// time. Only the node pool is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/sql/exp_token.h"

namespace tabula {

class TDataQuery;

// What the parser needs of the statement that owns it. A filter's parser has no owner.
class TParserOwner {
 public:
  virtual ~TParserOwner() = default;
  // A `?` marker was parsed; parameters are numbered in order of appearance. The node stays
  // owned by its tree.
  virtual void AddParameter(TExpToken* node) = 0;
  // Parses SELECT ... of an IN (SELECT ...) from the parser's current token (the SELECT
  // keyword) into a new sub-select block owned by the owner, and returns the block.
  virtual TDataQuery* ParseSubSelect() = 0;
};

// Token kinds; any other kind is the code of a single character.
enum TTokenKind : int {
  tkEndOfText = 0,
  tkIdentifier = 1,
  tkBracketedName = 2,
  tkSingleQuoted = 3,
  tkDoubleQuoted = 4,
  tkCharConstant = 5,
  tkInteger = 6,
  tkReal = 7,
};

// Permission flags of the expression entry points.
enum TParseFlags : unsigned {
  AllowNone = 0,
  AllowAggregates = 1,
  AllowAllColumns = 2,
  AllowPredicates = 4,
  AllowParameters = 8,
  AllowSubSelects = 16,
};

// Checks the size and scale arguments of a parsed data type (arguments 1 and 2 of `node`) and
// settles the node's size, scale and BLOB subtype: string length 1-250 (size length + 1), bytes
// length 1-250, BCD scale 0-4 (size 34), BLOB block size and type 1, 2, 3, 5 or 7 (subtype
// 21 + type). A string or bytes type without a length takes the size of `operand` (CAST's
// operand), else 10. Returns the message of the first violation, without the context suffix,
// or an empty text.
std::string SettleDataTypeArguments(TExpToken* node, const TExpToken* operand);

// The deepest nesting of parentheses, function arguments and sub-selects one parse accepts.
constexpr int kMaxParseNesting = 200;

class TExpressionParser {
 public:
  explicit TExpressionParser(TParserOwner* owner = nullptr);
  TExpressionParser(const TExpressionParser&) = delete;
  TExpressionParser& operator=(const TExpressionParser&) = delete;

  TParserOwner* Owner() const { return owner_; }

  std::uint16_t ErrorCode() const { return error_code_; }
  void SetErrorCode(std::uint16_t code) { error_code_ = code; }
  const std::string& ErrorTableName() const { return error_table_name_; }
  void SetErrorTableName(const std::string& name) { error_table_name_ = name.substr(0, 255); }
  const std::string& ErrorDatabaseName() const { return error_database_name_; }
  void SetErrorDatabaseName(const std::string& name) { error_database_name_ = name.substr(0, 255); }
  const std::string& ErrorContext() const { return error_context_; }
  void SetErrorContext(std::string_view context) { error_context_.assign(context.substr(0, 255)); }

  // --- Lexer ---

  // Copies the text and resets every position. NextToken must be called to load the first
  // token. A NUL byte inside the text ends it.
  void SetText(std::string_view text);
  // Reads the next token and returns its kind.
  int NextToken();
  int TokenKind() const { return token_kind_; }
  // The current token's text: the characters between the delimiters for quoted and bracketed
  // tokens (doubled quotes reduced), the raw characters for every other kind, empty at the end.
  const std::string& TokenText();
  // The raw characters of the current token, delimiters included.
  std::string_view RawTokenText() const;
  // True when the current token is the identifier `word`, ignoring case.
  bool IsKeyword(std::string_view word) const;
  bool IsTokenKind(int kind) const { return token_kind_ == kind; }
  bool IsChar(char c) const { return token_kind_ == static_cast<unsigned char>(c); }
  // Identifier, bracketed name, single- or double-quoted string.
  bool IsNameToken() const { return token_kind_ >= tkIdentifier && token_kind_ <= tkDoubleQuoted; }
  std::size_t TokenStart() const { return token_start_; }
  std::size_t PreviousTokenEnd() const { return previous_token_end_; }

  // Marks the start of the current token; ExpressionText then gives the source from there to
  // the end of the last consumed token, with every CR and LF removed.
  void MarkExpressionStart() { expression_start_ = token_start_; }
  std::string ExpressionText() const;

  // --- Expressions --- (each returns the root, owned by the caller)

  TExpTokenPtr ParseCondition(unsigned flags);
  TExpTokenPtr ParseSum(unsigned flags);
  TExpTokenPtr ParseSigned(unsigned flags);
  TExpTokenPtr ParsePrimary(unsigned flags);
  // Reads an SQL data type clause into `node`: type, subtype, fixed sizes, and the arguments
  // as arguments 1 and 2 (argument 0 is CAST's operand and must exist). Returns false, without
  // error, when `optional` is set and the current token is no type keyword.
  bool ParseDataType(TExpToken* node, bool optional);

  // --- Errors ---

  // Raises the owner's error with `message` as it is (statement-level messages).
  [[noreturn]] void RaiseError(std::string_view message) const;
  // Raises with `message` + " in " + ErrorContext.
  [[noreturn]] void RaiseInContext(std::string_view message) const;
  // Raises `prefix` + T + "'" + " in " + C, T the current token's text.
  [[noreturn]] void RaiseFound(std::string_view prefix);

 private:
  char Current() const { return text_[position_]; }
  [[noreturn]] void RaiseUnclosed(const char* what, std::size_t after_delimiter);

  TExpTokenPtr ParseAnd(unsigned flags);
  TExpTokenPtr ParseNot(unsigned flags);
  TExpTokenPtr ParseComparison(unsigned flags);
  TExpTokenPtr ParseProduct(unsigned flags);
  TExpTokenPtr ParseIdentifier(unsigned flags, TExpTokenPtr node);
  TExpTokenPtr ParseQualifiedName(unsigned flags, TExpTokenPtr node);
  TExpTokenPtr ParseFunction(unsigned flags, TExpTokenPtr node, int function);
  TExpTokenPtr ParsePredicate(unsigned flags, TExpTokenPtr tested);
  void ParseNumber(TExpToken* node);
  void ExpectFunctionClose(const TExpToken& node, int function);
  TExpTokenPtr MakeBinary(std::uint8_t op, std::string_view text, TExpTokenPtr left,
                          TExpTokenPtr right);
  void Attach(TExpToken* parent, TExpTokenPtr child, TExpToken** link);
  void AddArgument(TExpToken* parent, TExpTokenPtr child);
  void AppendTokenText(std::string* out);

  TParserOwner* owner_;  // the statement; null for a filter
  std::uint16_t error_code_;
  std::string error_table_name_;
  std::string error_database_name_;
  std::string error_context_;

  std::string text_;  // the copy, NUL-terminated
  std::size_t position_ = 0;
  std::size_t token_start_ = 0;
  int token_kind_ = tkEndOfText;
  std::size_t quoted_end_ = 0;
  std::size_t expression_start_ = 0;
  std::size_t previous_token_end_ = 0;
  std::string token_text_;
  bool token_text_valid_ = false;
  int nesting_ = 0;
};

}  // namespace tabula
