#include "engine/sql/expression_parser.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform.h"

namespace tabula {

namespace {

bool IsIdentifierStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

bool IsIdentifierPart(unsigned char c) {
  return IsIdentifierStart(c) || (c >= '0' && c <= '9') || c == '!' || c == '$' || c == '@';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// Identifiers that the primary rule treats specially.
enum TWordId : int {
  wNone = 0,
  // Function words carry their operator code; EXTRACT and TRIM carry the first of their range.
  wTrue = 200,
  wFalse,
  wNull,
  wCurrentDate,
  wCurrentTime,
  wCurrentTimestamp,
};

struct TWord {
  std::string_view word;
  int id;
};

constexpr TWord kWords[] = {
    {"SUM", opSum},
    {"RUNSUM", opRunSum},
    {"AVG", opAvg},
    {"MIN", opMin},
    {"MAX", opMax},
    {"COUNT", opCount},
    {"LOWER", opLower},
    {"UPPER", opUpper},
    {"LENGTH", opLength},
    {"SUBSTRING", opSubstring},
    {"REPLACE", opReplace},
    {"POS", opPos},
    {"OCCURS", opOccurs},
    {"CAST", opCast},
    {"TRIM", opTrimLeading},
    {"EXTRACT", opExtractYear},
    {"ABS", opAbs},
    {"ROUND", opRound},
    {"IF", opIf},
    {"IFNULL", opIfNull},
    {"COALESCE", opCoalesce},
    {"TEXTSEARCH", opTextSearch},
    {"TEXTOCCURS", opTextOccurs},
    {"LASTAUTOINC", opLastAutoInc},
    {"IDENT_CURRENT", opIdentCurrent},
    {"TRUE", wTrue},
    {"FALSE", wFalse},
    {"NULL", wNull},
    {"CURRENT_DATE", wCurrentDate},
    {"CURRENT_TIME", wCurrentTime},
    {"CURRENT_TIMESTAMP", wCurrentTimestamp},
};

int LookUpWord(std::string_view word) {
  if (word.size() < 2 || word.size() > 17) return wNone;
  for (const TWord& entry : kWords) {
    if (EqualsIgnoringCase(word, entry.word)) return entry.id;
  }
  return wNone;
}

bool IsAggregate(int id) { return id >= opSum && id <= opAvg; }

// The canonical word of a function code, as used in the messages.
std::string_view FunctionWord(int id) {
  for (const TWord& entry : kWords) {
    if (entry.id == id) return entry.word;
  }
  return {};
}

constexpr const char* kExtractParts[] = {"YEAR",      "MONTH", "WEEK",   "DAY",   "DAYOFWEEK",
                                         "DAYOFYEAR", "HOUR",  "MINUTE", "SECOND"};

struct TClockNow {
  std::int32_t day_number;
  std::int32_t milliseconds;
};

// The local date and time through the platform layer, so that tests can set the clock.
TClockNow ReadLocalClock() {
  const TLocalDateTime now = CurrentPlatform().LocalDateTime();
  TClockNow result;
  result.day_number =
      IsValidDate(now.year, now.month, now.day) ? EncodeDate(now.year, now.month, now.day) : 0;
  result.milliseconds = ((now.hour * 60 + now.minute) * 60 + now.second) * 1000 + now.millisecond;
  return result;
}

// Keeps the nesting count of one parse level.
class TNestingGuard {
 public:
  TNestingGuard(int* nesting, TExpressionParser* parser) : nesting_(nesting) {
    if (++*nesting_ > kMaxParseNesting) {
      --*nesting_;
      parser->RaiseInContext("Expression nesting is too deep");
    }
  }
  ~TNestingGuard() { --*nesting_; }

 private:
  int* nesting_;
};

}  // namespace

TExpressionParser::TExpressionParser(TParserOwner* owner)
    : owner_(owner),
      error_code_(TABULA_SQLPARSE),
      error_context_("SQL statement"),
      text_(1, '\0') {}

// ---------------------------------------------------------------------------------------------
// Errors

void TExpressionParser::RaiseError(std::string_view message) const {
  RaiseEngineError(error_code_, "", "", error_database_name_, error_table_name_, "", "",
                   std::string(message.substr(0, 255)));
}

void TExpressionParser::RaiseInContext(std::string_view message) const {
  std::string text(message);
  text += " in ";
  text += error_context_;
  RaiseError(text);
}

void TExpressionParser::RaiseFound(std::string_view prefix) {
  std::string text(prefix);
  text += TokenText();
  text += "'";
  RaiseInContext(text);
}

void TExpressionParser::RaiseUnclosed(const char* what, std::size_t after_delimiter) {
  std::string text = "Missing ";
  text += what;
  text += " after '";
  text.append(text_.data() + after_delimiter, std::strlen(text_.data() + after_delimiter));
  text += "'";
  RaiseInContext(text);
}

// ---------------------------------------------------------------------------------------------
// Lexer

void TExpressionParser::SetText(std::string_view text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  text_.assign(text);
  text_.push_back('\0');
  position_ = 0;
  token_start_ = 0;
  token_kind_ = tkEndOfText;
  quoted_end_ = 0;
  expression_start_ = 0;
  previous_token_end_ = 0;
  token_text_.clear();
  token_text_valid_ = false;
  nesting_ = 0;
}

int TExpressionParser::NextToken() {
  previous_token_end_ = position_;
  token_text_valid_ = false;
  const char* s = text_.c_str();
  for (;;) {
    while (s[position_] >= 1 && static_cast<unsigned char>(s[position_]) <= 32) ++position_;
    if (s[position_] == '/' && s[position_ + 1] == '*') {
      const char* close = std::strstr(s + position_ + 2, "*/");
      if (close == nullptr) {
        position_ = text_.size() - 1;
        token_start_ = position_;
        token_kind_ = tkEndOfText;
        RaiseInContext("Missing ending comment slash and asterisk");
      }
      position_ = static_cast<std::size_t>(close - s) + 2;
      continue;
    }
    break;
  }
  token_start_ = position_;
  const unsigned char c = static_cast<unsigned char>(s[position_]);
  if (c == 0) {
    token_kind_ = tkEndOfText;
    return token_kind_;
  }
  if (IsIdentifierStart(c)) {
    ++position_;
    while (IsIdentifierPart(static_cast<unsigned char>(s[position_]))) ++position_;
    token_kind_ = tkIdentifier;
    return token_kind_;
  }
  if (c == '[') {
    const char* close = std::strchr(s + position_ + 1, ']');
    if (close == nullptr) {
      token_kind_ = tkBracketedName;
      RaiseUnclosed("right bracket", position_ + 1);
    }
    position_ = static_cast<std::size_t>(close - s) + 1;
    quoted_end_ = position_;
    token_kind_ = tkBracketedName;
    return token_kind_;
  }
  if (c == '\'' || c == '"') {
    std::size_t p = position_ + 1;
    for (;;) {
      const char* close = std::strchr(s + p, static_cast<char>(c));
      if (close == nullptr) {
        token_kind_ = c == '\'' ? tkSingleQuoted : tkDoubleQuoted;
        RaiseUnclosed(c == '\'' ? "single quote" : "double quote", position_ + 1);
      }
      p = static_cast<std::size_t>(close - s) + 1;
      if (s[p] == static_cast<char>(c)) {
        ++p;  // a doubled quote stands for one
        continue;
      }
      break;
    }
    position_ = p;
    quoted_end_ = position_;
    token_kind_ = c == '\'' ? tkSingleQuoted : tkDoubleQuoted;
    return token_kind_;
  }
  if (c == '#') {
    ++position_;
    while (IsDigit(s[position_])) ++position_;
    token_kind_ = tkCharConstant;
    return token_kind_;
  }
  const bool leading_point = c == '.' && IsDigit(s[position_ + 1]);
  if (IsDigit(static_cast<char>(c)) || leading_point) {
    token_kind_ = tkInteger;
    if (!leading_point) {
      while (IsDigit(s[position_])) ++position_;
    }
    for (;;) {
      const char d = s[position_];
      if (IsDigit(d) || d == '.' || d == 'E' || d == 'e' ||
          ((d == '+' || d == '-') && (s[position_ - 1] == 'E' || s[position_ - 1] == 'e'))) {
        ++position_;
        token_kind_ = tkReal;
        continue;
      }
      break;
    }
    return token_kind_;
  }
  ++position_;
  token_kind_ = c;
  return token_kind_;
}

std::string_view TExpressionParser::RawTokenText() const {
  return std::string_view(text_.data() + token_start_, position_ - token_start_);
}

void TExpressionParser::AppendTokenText(std::string* out) {
  const std::string_view raw = RawTokenText();
  switch (token_kind_) {
    case tkBracketedName:
    case tkSingleQuoted:
    case tkDoubleQuoted: {
      if (raw.size() < 2) return;
      const std::string_view inner = raw.substr(1, raw.size() - 2);
      for (std::size_t i = 0; i < inner.size(); ++i) {
        const char ch = inner[i];
        out->push_back(ch);
        const bool pair_of_quotes = i + 1 < inner.size() && inner[i + 1] == ch &&
                                    ((token_kind_ == tkSingleQuoted && ch == '\'') ||
                                     (token_kind_ == tkDoubleQuoted && ch == '"') ||
                                     (token_kind_ == tkBracketedName && (ch == '\'' || ch == '"')));
        if (pair_of_quotes) ++i;
      }
      return;
    }
    default:
      out->append(raw);
  }
}

const std::string& TExpressionParser::TokenText() {
  if (!token_text_valid_) {
    token_text_.clear();
    AppendTokenText(&token_text_);
    token_text_valid_ = true;
  }
  return token_text_;
}

bool TExpressionParser::IsKeyword(std::string_view word) const {
  return token_kind_ == tkIdentifier && EqualsIgnoringCase(RawTokenText(), word);
}

std::string TExpressionParser::ExpressionText() const {
  std::string result;
  if (previous_token_end_ <= expression_start_) return result;
  std::string_view rest(text_.data() + expression_start_, previous_token_end_ - expression_start_);
  result.reserve(rest.size());
  // Copy the runs between line-break characters, dropping the CRs and LFs themselves.
  for (;;) {
    const std::size_t brk = rest.find_first_of("\r\n");
    result.append(rest.substr(0, brk));
    if (brk == std::string_view::npos) break;
    rest.remove_prefix(brk + 1);
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// Tree building

void TExpressionParser::Attach(TExpToken* parent, TExpTokenPtr child, TExpToken** link) {
  if (child->depth + 1 > kMaxExpressionDepth) RaiseInContext("Expression nesting is too deep");
  parent->depth = std::max(parent->depth, child->depth + 1);
  *link = child.release();
}

void TExpressionParser::AddArgument(TExpToken* parent, TExpTokenPtr child) {
  if (child->depth + 1 > kMaxExpressionDepth) RaiseInContext("Expression nesting is too deep");
  parent->depth = std::max(parent->depth, child->depth + 1);
  parent->arguments.push_back(nullptr);  // may throw; the child is still held
  parent->arguments.back() = child.release();
}

TExpTokenPtr TExpressionParser::MakeBinary(std::uint8_t op, std::string_view text,
                                           TExpTokenPtr left, TExpTokenPtr right) {
  TExpTokenPtr node = NewExpToken();
  node->kind = nkBinary;
  node->op = op;
  node->text.assign(text);
  if (op == opEqual || op == opNotEqual || (op >= opGreater && op <= opLessEqual) || op == opAnd ||
      op == opOr) {
    node->data_type = fldBoolean;
    node->size = 2;
  } else {
    node->data_type = left->data_type;
    node->subtype = left->subtype;
    node->size = left->size;
    node->scale = left->scale;
  }
  Attach(node.get(), std::move(left), &node->left);
  Attach(node.get(), std::move(right), &node->right);
  return node;
}

// ---------------------------------------------------------------------------------------------
// Expression levels

TExpTokenPtr TExpressionParser::ParseCondition(unsigned flags) {
  TExpTokenPtr left = ParseAnd(flags);
  while (IsKeyword("OR")) {
    const std::string_view word = RawTokenText();
    NextToken();
    TExpTokenPtr right = ParseAnd(flags);
    left = MakeBinary(opOr, word, std::move(left), std::move(right));
  }
  return left;
}

TExpTokenPtr TExpressionParser::ParseAnd(unsigned flags) {
  TExpTokenPtr left = ParseNot(flags);
  while (IsKeyword("AND")) {
    const std::string_view word = RawTokenText();
    NextToken();
    TExpTokenPtr right = ParseNot(flags);
    left = MakeBinary(opAnd, word, std::move(left), std::move(right));
  }
  return left;
}

TExpTokenPtr TExpressionParser::ParseNot(unsigned flags) {
  if (!IsKeyword("NOT")) return ParseComparison(flags);
  TExpTokenPtr node = NewExpToken();
  node->kind = nkUnary;
  node->op = opNot;
  node->text.assign(RawTokenText());
  node->data_type = fldBoolean;
  node->size = 2;
  NextToken();
  Attach(node.get(), ParseComparison(flags), &node->left);
  return node;
}

TExpTokenPtr TExpressionParser::ParseComparison(unsigned flags) {
  TExpTokenPtr left = ParseSum(flags);
  if (IsChar('=')) {
    NextToken();
    return MakeBinary(opEqual, "=", std::move(left), ParseSum(flags));
  }
  if (IsChar('<')) {
    NextToken();
    if (IsChar('>')) {
      NextToken();
      return MakeBinary(opNotEqual, "< >", std::move(left), ParseSum(flags));
    }
    if (IsChar('=')) {
      NextToken();
      return MakeBinary(opLessEqual, "< =", std::move(left), ParseSum(flags));
    }
    return MakeBinary(opLess, "<", std::move(left), ParseSum(flags));
  }
  if (IsChar('>')) {
    NextToken();
    if (IsChar('=')) {
      NextToken();
      return MakeBinary(opGreaterEqual, "> =", std::move(left), ParseSum(flags));
    }
    return MakeBinary(opGreater, ">", std::move(left), ParseSum(flags));
  }
  if (IsKeyword("LIKE") || IsKeyword("BETWEEN") || IsKeyword("IN") || IsKeyword("IS") ||
      IsKeyword("NOT")) {
    if ((flags & AllowPredicates) == 0) {
      RaiseInContext("Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed");
    }
    return ParsePredicate(flags, std::move(left));
  }
  return left;
}

TExpTokenPtr TExpressionParser::ParsePredicate(unsigned flags, TExpTokenPtr tested) {
  TExpTokenPtr node = NewExpToken();
  node->kind = nkPredicate;
  node->data_type = fldBoolean;
  node->size = 2;
  bool negated = false;
  if (IsKeyword("NOT")) {
    node->text.assign(RawTokenText());
    NextToken();
    if (!IsKeyword("BETWEEN") && !IsKeyword("LIKE") && !IsKeyword("IN")) {
      std::string message = "Unknown or unexpected symbol '";
      message += TokenText();
      message += "'";
      RaiseInContext(message);
    }
    node->text += ' ';
    negated = true;
  }
  node->text.append(RawTokenText());

  if (IsKeyword("IS")) {
    // IS [NOT] NULL is a comparison with a NULL constant.
    std::string text(RawTokenText());
    NextToken();
    std::uint8_t op = opEqual;
    if (IsKeyword("NOT")) {
      text += ' ';
      text.append(RawTokenText());
      NextToken();
      op = opNotEqual;
    }
    if (!IsKeyword("NULL")) {
      RaiseInContext("Unknown or unexpected symbol '" + TokenText() + "' found");
    }
    text += ' ';
    text.append(RawTokenText());
    NextToken();
    // The node text is the keyword sequence; the constant's text is "NULL".
    TExpTokenPtr null_constant = NewExpToken();
    null_constant->kind = nkConstant;
    null_constant->text = "NULL";
    null_constant->null = 1;
    TExpTokenPtr result = MakeBinary(op, "", std::move(tested), std::move(null_constant));
    result->text = std::move(text);
    return result;
  }

  if (IsKeyword("LIKE")) {
    NextToken();
    node->op = negated ? opNotLike : opLike;
    AddArgument(node.get(), std::move(tested));
    AddArgument(node.get(), ParseSum(flags));
    return node;
  }

  if (IsKeyword("BETWEEN")) {
    NextToken();
    node->op = negated ? opNotBetween : opBetween;
    AddArgument(node.get(), std::move(tested));
    AddArgument(node.get(), ParseSum(flags));
    if (!IsKeyword("AND")) {
      RaiseFound(negated ? "Expected AND operator in NOT BETWEEN operator, instead found '"
                         : "Expected AND operator in BETWEEN operator, instead found '");
    }
    NextToken();
    AddArgument(node.get(), ParseSum(flags));
    return node;
  }

  // IN
  NextToken();
  if (!IsChar('(')) {
    RaiseFound(negated ? "Expected left parentheses for NOT IN operator, instead found '"
                       : "Expected left parentheses for IN operator, instead found '");
  }
  NextToken();
  AddArgument(node.get(), std::move(tested));
  if (IsKeyword("SELECT")) {
    if ((flags & AllowSubSelects) == 0 || owner_ == nullptr) {
      RaiseInContext("Sub-select queries are not allowed");
    }
    node->op = negated ? opNotInSelect : opInSelect;
    TExpTokenPtr sub = NewExpToken();
    sub->kind = nkSubSelect;
    sub->text = "SELECT";
    {
      TNestingGuard guard(&nesting_, this);
      // The statement parser switches the context per clause; the IN operator's messages
      // belong to the enclosing clause again afterwards.
      const std::string context = error_context_;
      sub->sub_query = owner_->ParseSubSelect();
      error_context_ = context;
    }
    AddArgument(node.get(), std::move(sub));
    if (!IsChar(')')) {
      RaiseFound(negated ? "Expected right parentheses for NOT IN operator, instead found '"
                         : "Expected right parentheses for IN operator, instead found '");
    }
    NextToken();
    return node;
  }
  node->op = negated ? opNotIn : opIn;
  for (;;) {
    TExpTokenPtr value = ParseSum(flags);
    if (!value) {
      RaiseInContext(
          negated ? "You must provide at least one value as an operand of the NOT IN operator "
                  : "You must provide at least one value as an operand of the IN operator ");
    }
    AddArgument(node.get(), std::move(value));
    if (!IsChar(',')) break;
    NextToken();
  }
  if (!IsChar(')')) {
    RaiseFound(negated ? "Expected right parentheses after NOT IN operator, instead found '"
                       : "Expected right parentheses after IN operator, instead found '");
  }
  NextToken();
  return node;
}

TExpTokenPtr TExpressionParser::ParseSum(unsigned flags) {
  TExpTokenPtr left = ParseProduct(flags);
  for (;;) {
    if (IsChar('+') || IsChar('-')) {
      const std::uint8_t op = IsChar('+') ? opAdd : opSubtract;
      const char* text = IsChar('+') ? "+" : "-";
      NextToken();
      left = MakeBinary(op, text, std::move(left), ParseProduct(flags));
      continue;
    }
    if (IsChar('|')) {
      NextToken();
      if (!IsChar('|')) {
        RaiseFound(
            "Second concatenation symbol '|' expected after first concatentation symbol, "
            "instead found '");
      }
      NextToken();
      left = MakeBinary(opAdd, "||", std::move(left), ParseProduct(flags));
      continue;
    }
    return left;
  }
}

TExpTokenPtr TExpressionParser::ParseProduct(unsigned flags) {
  TExpTokenPtr left = ParseSigned(flags);
  while (IsChar('*') || IsChar('/')) {
    const std::uint8_t op = IsChar('*') ? opMultiply : opDivide;
    const char* text = IsChar('*') ? "*" : "/";
    NextToken();
    left = MakeBinary(op, text, std::move(left), ParseSigned(flags));
  }
  return left;
}

TExpTokenPtr TExpressionParser::ParseSigned(unsigned flags) {
  if (!IsChar('+') && !IsChar('-')) return ParsePrimary(flags);
  TExpTokenPtr node = NewExpToken();
  node->kind = nkUnary;
  node->op = IsChar('-') ? opNegate : opPlusSign;
  node->text = IsChar('-') ? "-" : "+";
  NextToken();
  TExpTokenPtr operand = ParsePrimary(flags);
  node->data_type = operand->data_type;
  node->subtype = operand->subtype;
  node->size = operand->size;
  node->scale = operand->scale;
  Attach(node.get(), std::move(operand), &node->left);
  return node;
}

void TExpressionParser::ParseNumber(TExpToken* node) {
  const std::string_view raw = RawTokenText();
  node->kind = nkConstant;
  node->text.assign(raw);
  const char* first = raw.data();
  const char* last = raw.data() + raw.size();
  if (token_kind_ == tkInteger) {
    std::int32_t value32;
    auto r32 = std::from_chars(first, last, value32);
    if (r32.ec == std::errc() && r32.ptr == last) {
      node->SetIntegerValue(value32);
      return;
    }
    std::int64_t value64;
    auto r64 = std::from_chars(first, last, value64);
    if (r64.ec == std::errc() && r64.ptr == last) {
      node->SetLargeIntValue(value64);
      return;
    }
  }
  double real;
  auto r = std::from_chars(first, last, real);
  if (r.ec == std::errc() && r.ptr == last) {
    node->SetFloatValue(real);
    return;
  }
  std::string message = "Constant '";
  message.append(raw);
  message += "' is not a valid number ";
  RaiseInContext(message);
}

TExpTokenPtr TExpressionParser::ParsePrimary(unsigned flags) {
  TNestingGuard guard(&nesting_, this);
  TExpTokenPtr node = NewExpToken();
  switch (token_kind_) {
    case '(': {
      NextToken();
      TExpTokenPtr inner = ParseCondition(flags);
      if (!IsChar(')')) RaiseFound("Right parentheses expected, instead found '");
      NextToken();
      return inner;
    }
    case '*':
      if ((flags & AllowAllColumns) == 0) {
        RaiseInContext("* (all columns) symbol is not allowed");
      }
      node->kind = nkColumn;
      node->text = "*";
      node->column_name = "*";
      NextToken();
      return node;
    case '?':
      if ((flags & AllowParameters) == 0) RaiseInContext("Parameters are not allowed");
      node->kind = nkConstant;
      node->parameter = 1;
      node->text = "?";
      NextToken();
      if (owner_ != nullptr) owner_->AddParameter(node.get());
      return node;
    case tkSingleQuoted:
    case tkDoubleQuoted: {
      node->text = TokenText();
      NextToken();
      if (IsChar('.')) return ParseQualifiedName(flags, std::move(node));
      node->kind = nkConstant;
      if (node->text.empty()) {
        node->null = 1;  // '' is the NULL constant
      } else {
        node->SetStringValue(node->text);
      }
      return node;
    }
    case tkCharConstant: {
      const std::string_view raw = RawTokenText();
      int code = raw.size() >= 2 ? 0 : -1;
      for (std::size_t i = 1; i < raw.size() && code <= 255; ++i) code = code * 10 + (raw[i] - '0');
      if (code < 0 || code > 255) {
        RaiseInContext("Character constants (#) must be within the range of 0 to 255");
      }
      node->kind = nkConstant;
      node->text.assign(raw);
      node->data_type = fldString;
      node->SetSize(2);
      node->Value()[0] = static_cast<std::uint8_t>(code);
      node->Value()[1] = 0;
      NextToken();
      return node;
    }
    case tkInteger:
    case tkReal:
      ParseNumber(node.get());
      NextToken();
      return node;
    case tkBracketedName:
      node->text = TokenText();
      NextToken();
      if (IsChar('.')) return ParseQualifiedName(flags, std::move(node));
      node->kind = nkColumn;
      node->SetColumnName(node->text);
      return node;
    case tkIdentifier:
      return ParseIdentifier(flags, std::move(node));
    default: {
      std::string message = "Unknown or unexpected symbol '";
      message += TokenText();
      message += "' found";
      RaiseInContext(message);
    }
  }
}

// `node->text` holds the qualifier; the current token is the `.`.
TExpTokenPtr TExpressionParser::ParseQualifiedName(unsigned flags, TExpTokenPtr node) {
  NextToken();
  if (!IsNameToken() && !IsChar('*')) {
    RaiseFound(
        "Symbol or string expression expected after table correlation name separator '.', "
        "instead found '");
  }
  if (IsChar('*') && (flags & AllowAllColumns) == 0) {
    RaiseInContext("* (all columns) symbol is not allowed");
  }
  // The table name is the qualifier's file-name part without a trailing .DAT.
  std::string_view qualifier = node->text;
  const std::size_t slash = qualifier.find_last_of("\\/:");
  if (slash != std::string_view::npos) qualifier.remove_prefix(slash + 1);
  if (qualifier.size() >= 4 && EqualsIgnoringCase(qualifier.substr(qualifier.size() - 4), ".DAT")) {
    qualifier.remove_suffix(4);
  }
  node->SetTableName(qualifier);
  node->kind = nkColumn;
  node->SetColumnName(TokenText());
  node->text += '.';
  node->text += TokenText();
  NextToken();
  return node;
}

TExpTokenPtr TExpressionParser::ParseIdentifier(unsigned flags, TExpTokenPtr node) {
  node->text.assign(RawTokenText());
  const int word = LookUpWord(node->text);
  NextToken();
  switch (word) {
    case wNone:
      if (IsChar('(')) {
        RaiseInContext("Unknown or unexpected function '" + node->text + "' found");
      }
      if (IsChar('.')) return ParseQualifiedName(flags, std::move(node));
      node->kind = nkColumn;
      node->SetColumnName(node->text);
      return node;
    case wTrue:
    case wFalse:
      node->kind = nkConstant;
      node->SetBooleanValue(word == wTrue);
      return node;
    case wNull:
      node->kind = nkConstant;
      node->null = 1;
      return node;
    case wCurrentDate:
    case wCurrentTime:
    case wCurrentTimestamp: {
      if (IsChar('(')) {
        NextToken();
        if (!IsChar(')')) {
          const char* name = word == wCurrentDate   ? "CURRENT_DATE"
                             : word == wCurrentTime ? "CURRENT_TIME"
                                                    : "CURRENT_TIMESTAMP";
          RaiseFound(std::string("Right parentheses expected after first ") + name +
                     " function parentheses, instead found '");
        }
        NextToken();
      }
      const TClockNow now = ReadLocalClock();
      node->kind = nkConstant;
      if (word == wCurrentDate) {
        node->SetIntegerValue(now.day_number);
        node->data_type = fldDate;
      } else if (word == wCurrentTime) {
        node->SetIntegerValue(now.milliseconds);
        node->data_type = fldTime;
      } else {
        node->SetFloatValue(static_cast<double>(now.day_number) * kMillisecondsPerDay +
                            now.milliseconds);
        node->data_type = fldTimeStamp;
      }
      return node;
    }
    default:
      return ParseFunction(flags, std::move(node), word);
  }
}

void TExpressionParser::ExpectFunctionClose(const TExpToken& node, int function) {
  if (IsChar(')')) {
    NextToken();
    return;
  }
  if (IsAggregate(function)) {
    RaiseFound("Right parentheses expected after aggregate " + node.text +
               " function argument, instead found '");
  }
  std::string prefix;
  switch (function) {
    case opLower:
    case opUpper:
    case opLength:
    case opAbs:
    case opTextSearch:
    case opTextOccurs:
    case opLastAutoInc:
    case opIdentCurrent:
      prefix = std::string("Right parentheses expected after ") +
               std::string(FunctionWord(function)) + " function argument, instead found '";
      break;
    case opCoalesce:
      prefix = "Expected right parentheses after COALESCE expression arguments, instead found '";
      break;
    default:
      prefix = std::string("Right parentheses expected after ") +
               std::string(FunctionWord(function)) + " function arguments, instead found '";
  }
  RaiseFound(prefix);
}

TExpTokenPtr TExpressionParser::ParseFunction(unsigned flags, TExpTokenPtr node, int function) {
  node->kind = nkFunction;
  node->op = static_cast<std::uint8_t>(function);
  if (IsAggregate(function)) {
    if ((flags & AllowAggregates) == 0) RaiseInContext("Aggregate functions are not allowed");
    if (!IsChar('(')) {
      RaiseFound("Left parentheses expected after aggregate function '" + node->text +
                 "', instead found '");
    }
    NextToken();
    // COUNT(*) counts rows wherever aggregates are allowed, HAVING included.
    TExpTokenPtr argument =
        ParseSum(function == opCount && IsChar('*') ? (flags | AllowAllColumns) : flags);
    if (function != opCount) {
      node->data_type = argument->data_type;
      node->subtype = argument->subtype;
      node->size = argument->size;
      node->scale = argument->scale;
    } else {
      node->data_type = fldInteger;
      node->size = 4;
    }
    AddArgument(node.get(), std::move(argument));
    ExpectFunctionClose(*node, function);
    return node;
  }
  if (!IsChar('(')) {
    RaiseFound(std::string("Left parentheses expected after ") +
               std::string(FunctionWord(function)) + " keyword, instead found '");
  }
  NextToken();
  auto set_type = [&node](std::uint8_t type, std::uint32_t size) {
    node->data_type = type;
    node->size = size;
  };
  switch (function) {
    case opLower:
    case opUpper:
      set_type(fldString, 0);
      AddArgument(node.get(), ParseSum(flags));
      node->size = node->arguments[0]->size;
      break;
    case opLength:
      set_type(fldInteger, 4);
      AddArgument(node.get(), ParseSum(flags));
      break;
    case opAbs:
      AddArgument(node.get(), ParseSum(flags));
      break;
    case opSubstring:
      set_type(fldString, 0);
      AddArgument(node.get(), ParseSum(flags));
      node->size = node->arguments[0]->size;
      if (!IsKeyword("FROM")) {
        RaiseFound(
            "FROM keyword expected after first SUBSTRING function argument, instead found '");
      }
      NextToken();
      AddArgument(node.get(), ParseSum(flags));
      if (IsKeyword("FOR")) {
        NextToken();
        AddArgument(node.get(), ParseSum(flags));
      }
      break;
    case opReplace:
      set_type(fldString, 0);
      AddArgument(node.get(), ParseSum(flags));
      if (!IsKeyword("WITH")) {
        RaiseFound("WITH keyword expected after first REPLACE function argument, instead found '");
      }
      NextToken();
      AddArgument(node.get(), ParseSum(flags));
      if (!IsKeyword("IN")) {
        RaiseFound("IN keyword expected after second REPLACE function argument, instead found '");
      }
      NextToken();
      AddArgument(node.get(), ParseSum(flags));
      node->size = node->arguments[2]->size;
      break;
    case opPos:
    case opOccurs:
    case opTextSearch:
    case opTextOccurs: {
      if (function == opTextSearch) {
        set_type(fldBoolean, 2);
      } else if (function == opTextOccurs) {
        set_type(fldWord, 2);
      } else {
        set_type(fldInteger, 4);
      }
      AddArgument(node.get(), ParseSum(flags));
      if (!IsKeyword("IN")) {
        RaiseFound(std::string("IN keyword expected after first ") +
                   std::string(FunctionWord(function)) + " function argument, instead found '");
      }
      NextToken();
      const bool column_argument = function == opTextSearch || function == opTextOccurs;
      AddArgument(node.get(), column_argument ? ParsePrimary(flags) : ParseSum(flags));
      break;
    }
    case opCast:
      AddArgument(node.get(), ParseSum(flags));
      if (!IsKeyword("AS")) {
        RaiseFound("AS keyword expected after first CAST function argument, instead found '");
      }
      NextToken();
      ParseDataType(node.get(), false);
      break;
    case opTrimLeading: {
      set_type(fldString, 0);
      if (IsKeyword("LEADING")) {
        node->op = opTrimLeading;
      } else if (IsKeyword("TRAILING")) {
        node->op = opTrimTrailing;
      } else if (IsKeyword("BOTH")) {
        node->op = opTrimBoth;
      } else {
        RaiseFound(
            "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '");
      }
      NextToken();
      AddArgument(node.get(), ParsePrimary(flags));
      if (!IsKeyword("FROM")) {
        RaiseFound("FROM keyword expected after second TRIM function argument, instead found '");
      }
      NextToken();
      AddArgument(node.get(), ParseSum(flags));
      node->size = node->arguments[1]->size;
      break;
    }
    case opExtractYear: {
      set_type(fldInteger, 4);
      int part = -1;
      for (int i = 0; i < 9; ++i) {
        if (IsKeyword(kExtractParts[i])) part = i;
      }
      if (part < 0) {
        RaiseFound(
            "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, DAYOFYEAR, HOUR, MINUTE, or SECOND keyword "
            "expected after EXTRACT keyword, instead found '");
      }
      node->op = static_cast<std::uint8_t>(opExtractYear + part);
      NextToken();
      if (!IsKeyword("FROM")) {
        RaiseFound("FROM keyword expected after second EXTRACT function argument, instead found '");
      }
      NextToken();
      AddArgument(node.get(), ParseSum(flags));
      break;
    }
    case opRound: {
      AddArgument(node.get(), ParseSum(flags));
      const TExpToken& x = *node->arguments[0];
      node->data_type = x.data_type;
      node->subtype = x.subtype;
      node->size = x.size;
      node->scale = x.scale;
      if (IsKeyword("TO")) {
        NextToken();
        AddArgument(node.get(), ParsePrimary(flags));
      }
      break;
    }
    case opIf:
    case opIfNull: {
      const char* word = function == opIf ? "IF" : "IFNULL";
      AddArgument(node.get(), ParseCondition(function == opIf ? (flags | AllowPredicates) : flags));
      if (!IsKeyword("THEN") && !IsChar(',')) {
        RaiseFound(std::string("THEN keyword or comma expected after first ") + word +
                   " function argument, instead found '");
      }
      NextToken();
      AddArgument(node.get(), ParseSum(flags));
      if (!IsKeyword("ELSE") && !IsChar(',')) {
        RaiseFound(std::string("ELSE keyword or comma expected after second ") + word +
                   " function argument, instead found '");
      }
      NextToken();
      AddArgument(node.get(), ParseSum(flags));
      break;
    }
    case opCoalesce:
      AddArgument(node.get(), ParseSum(flags));
      while (IsChar(',')) {
        NextToken();
        AddArgument(node.get(), ParseSum(flags));
      }
      break;
    case opLastAutoInc:
    case opIdentCurrent:
      set_type(fldInteger, 4);
      AddArgument(node.get(), ParsePrimary(flags));
      break;
    default:
      break;
  }
  ExpectFunctionClose(*node, function);
  return node;
}

// ---------------------------------------------------------------------------------------------
// Data types

bool TExpressionParser::ParseDataType(TExpToken* node, bool optional) {
  struct TTypeWord {
    const char* word;
    std::uint8_t type;
    std::uint8_t subtype;
    std::uint32_t size;
    enum { kNoArgs, kOptionalPair, kRequiredLength, kBlobArgs } args;
  };
  static constexpr TTypeWord kTypeWords[] = {
      {"SMALLINT", fldSmallInt, fldstNone, 2, TTypeWord::kNoArgs},
      {"WORD", fldWord, fldstNone, 2, TTypeWord::kNoArgs},
      {"INTEGER", fldInteger, fldstNone, 4, TTypeWord::kNoArgs},
      {"INT", fldInteger, fldstNone, 4, TTypeWord::kNoArgs},
      {"LARGEINT", fldLargeInt, fldstNone, 8, TTypeWord::kNoArgs},
      {"AUTOINC", fldInteger, fldstAutoInc, 4, TTypeWord::kNoArgs},
      {"DECIMAL", fldBCD, fldstNone, 34, TTypeWord::kOptionalPair},
      {"NUMERIC", fldBCD, fldstNone, 34, TTypeWord::kOptionalPair},
      {"FLOAT", fldFloat, fldstNone, 8, TTypeWord::kOptionalPair},
      {"MONEY", fldFloat, fldstMoney, 8, TTypeWord::kNoArgs},
      {"CHARACTER", fldString, fldstNone, 0, TTypeWord::kRequiredLength},
      {"CHAR", fldString, fldstNone, 0, TTypeWord::kRequiredLength},
      {"VARCHAR", fldString, fldstNone, 0, TTypeWord::kRequiredLength},
      {"BYTES", fldBytes, fldstNone, 0, TTypeWord::kRequiredLength},
      {"VARBYTES", fldBytes, fldstNone, 0, TTypeWord::kRequiredLength},
      {"BINARY", fldBytes, fldstNone, 0, TTypeWord::kRequiredLength},
      {"VARBINARY", fldBytes, fldstNone, 0, TTypeWord::kRequiredLength},
      {"DATE", fldDate, fldstNone, 4, TTypeWord::kNoArgs},
      {"TIME", fldTime, fldstNone, 4, TTypeWord::kNoArgs},
      {"TIMESTAMP", fldTimeStamp, fldstNone, 8, TTypeWord::kNoArgs},
      {"BOOLEAN", fldBoolean, fldstNone, 2, TTypeWord::kNoArgs},
      {"BOOL", fldBoolean, fldstNone, 2, TTypeWord::kNoArgs},
      {"BIT", fldBoolean, fldstNone, 2, TTypeWord::kNoArgs},
      {"BLOB", fldBlob, fldstBinary, 8, TTypeWord::kBlobArgs},
      {"LONGVARBINARY", fldBlob, fldstBinary, 8, TTypeWord::kNoArgs},
      {"LONGVARCHAR", fldBlob, fldstMemo, 8, TTypeWord::kNoArgs},
      {"MEMO", fldBlob, fldstMemo, 8, TTypeWord::kNoArgs},
      {"GRAPHIC", fldBlob, fldstGraphic, 8, TTypeWord::kNoArgs},
  };
  const TTypeWord* match = nullptr;
  if (token_kind_ == tkIdentifier) {
    for (const TTypeWord& entry : kTypeWords) {
      if (IsKeyword(entry.word)) {
        match = &entry;
        break;
      }
    }
  }
  if (match == nullptr) {
    if (optional) return false;
    RaiseFound("SQL data type keyword expected, instead found '");
  }
  node->data_type = match->type;
  node->subtype = match->subtype;
  node->size = match->size;
  node->scale = 0;
  NextToken();
  const std::string word = match->word;
  switch (match->args) {
    case TTypeWord::kNoArgs:
      break;
    case TTypeWord::kRequiredLength:
      if (!IsChar('(')) {
        RaiseFound("Left parentheses expected after " + word + " data type, instead found '");
      }
      NextToken();
      AddArgument(node, ParsePrimary(AllowNone));
      if (!IsChar(')')) {
        RaiseFound("Right parentheses expected after " + word +
                   " data type arguments, instead found '");
      }
      NextToken();
      break;
    case TTypeWord::kOptionalPair:
    case TTypeWord::kBlobArgs:
      if (!IsChar('(')) break;
      NextToken();
      AddArgument(node, ParsePrimary(AllowNone));
      if (IsChar(',')) {
        NextToken();
      } else if (!IsChar(')')) {
        RaiseFound("Comma expected after first " + word + " argument, instead found '");
      }
      AddArgument(node, ParsePrimary(AllowNone));
      if (!IsChar(')')) {
        RaiseFound("Right parentheses expected after " + word +
                   " data type arguments, instead found '");
      }
      NextToken();
      break;
  }
  return true;
}

}  // namespace tabula

namespace tabula {

namespace {

// The value of an integer constant argument; false for anything else.
bool IntegerArgument(const TExpToken* node, std::int64_t* value) {
  if (node == nullptr || node->kind != nkConstant || node->null || node->parameter) return false;
  switch (node->data_type) {
    case fldSmallInt:
      *value = static_cast<std::int16_t>(DecodeFixed16(node->Value()));
      return true;
    case fldWord:
      *value = DecodeFixed16(node->Value());
      return true;
    case fldInteger:
      *value = node->IntegerValue();
      return true;
    case fldLargeInt:
      *value = node->LargeIntValue();
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string SettleDataTypeArguments(TExpToken* node, const TExpToken* operand) {
  const TExpToken* first = node->arguments.size() > 1 ? node->arguments[1] : nullptr;
  const TExpToken* second = node->arguments.size() > 2 ? node->arguments[2] : nullptr;
  std::int64_t value = 0;
  switch (node->data_type) {
    case fldString:
    case fldBytes: {
      const std::uint32_t extra = node->data_type == fldString ? 1 : 0;
      if (first == nullptr) {
        node->size = operand != nullptr && operand->size > 0 ? operand->size : 10 + extra;
        return std::string();
      }
      if (!IntegerArgument(first, &value)) return "Length argument must be an integer";
      if (value < 1 || value > kMaxFieldSize) {
        return "Length argument must be an integer greater than 0 and less than or equal to 250";
      }
      node->size = static_cast<std::uint32_t>(value) + extra;
      return std::string();
    }
    case fldBCD:
      node->size = kBcdValueSize;
      node->scale = 0;
      if (second == nullptr) return std::string();
      if (!IntegerArgument(second, &value)) return "Scale argument must be an integer";
      if (value < 0 || value > 4) {
        return "Scale argument must be an integer greater than or equal to 0 and less than or "
               "equal to 4";
      }
      node->scale = static_cast<std::uint8_t>(value);
      return std::string();
    case fldBlob:
      node->size = kBlobValueSize;
      if (first == nullptr) return std::string();
      if (!IntegerArgument(first, &value)) return "First BLOB type argument must be an integer";
      if (!IntegerArgument(second, &value)) return "BLOB type argument must be an integer";
      if (value != 1 && value != 2 && value != 3 && value != 5 && value != 7) {
        return "BLOB type argument must be an integer with a value of 1,2,3,5, or 7";
      }
      node->subtype = static_cast<std::uint8_t>(21 + value);
      return std::string();
    default:
      return std::string();
  }
}

}  // namespace tabula
