#include "engine/sql/exp_evaluator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/index/collation.h"
#include "engine/sql/exp_types.h"
#include "engine/storage/data_file_format.h"

namespace tabula {

// ---- Owner defaults -------------------------------------------------------------------------

bool TExpressionOwner::BindSubSelect(TDataQuery*, TExpToken&) { return false; }
bool TExpressionOwner::SubSelectHolds(TDataQuery*, const TExpToken&) { return false; }
bool TExpressionOwner::TextSearch(const TExpToken&, const std::string&, const std::uint8_t*,
                                  std::int32_t* occurrences) {
  *occurrences = 0;
  return false;
}
void TExpressionOwner::OpenAutoIncTable(const std::string&) {}
std::int32_t TExpressionOwner::LastAutoInc(const std::string&) { return 0; }

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool TRecordImageColumns::ResolveColumn(TExpToken& column) {
  if (!column.table_name.empty() && !EqualsNoCase(column.table_name, table_name_)) return false;
  for (const TFieldDescriptor& field : *descriptors_) {
    if (!EqualsNoCase(field.FieldName, column.column_name)) continue;
    column.field_number = field.FieldNo;
    column.source_table = this;
    column.data_type = field.FieldType;
    column.subtype = field.FieldSubType;
    column.size = field.PhysicalSize;
    column.scale = field.FieldScale;
    return true;
  }
  return false;
}

void TRecordImageColumns::FetchColumn(const std::uint8_t* record, TExpToken& column) {
  const std::size_t index = column.field_number - 1u;
  if (column.field_number == 0 || index >= descriptors_->size() || record == nullptr) {
    column.null = 1;
    return;
  }
  const TFieldDescriptor& field = (*descriptors_)[index];
  column.SetSize(std::max<std::uint32_t>(field.PhysicalSize, 8));
  std::memset(column.Value(), 0, column.ValueCapacity());
  bool is_null = true;
  if (ReadFieldValue(field, record, image_size_, column.Value(), &is_null) != 0) is_null = true;
  column.null = is_null ? 1 : 0;
  if (is_null) std::memset(column.Value(), 0, column.ValueCapacity());
  column.size = field.PhysicalSize;
  if (field.FieldType == fldString) {
    column.size = static_cast<std::uint32_t>(column.StringValue().size() + 1);
  }
}

namespace {

// ---- Shared helpers ------------------------------------------------------------------------

constexpr double kMsPerDay = 86400000.0;

bool IsText(std::uint8_t type, std::uint8_t subtype) {
  return type == fldString || IsMemoType(type, subtype);
}
bool IsText(const TExpToken& n) { return IsText(n.data_type, n.subtype); }
bool IsTemporal(std::uint8_t t) { return t == fldDate || t == fldTime || t == fldTimeStamp; }
bool IsNullConstant(const TExpToken& n) {
  return n.kind == nkConstant && n.null && !n.parameter && n.data_type == fldUnknown;
}

std::uint32_t SizeOfType(std::uint8_t type) {
  switch (type) {
    case fldDate:
    case fldInteger:
    case fldTime:
      return 4;
    case fldBlob:
    case fldFloat:
    case fldTimeStamp:
    case fldLargeInt:
      return 8;
    case fldBoolean:
    case fldSmallInt:
    case fldWord:
      return 2;
    case fldBCD:
      return kBcdValueSize;
    default:
      return 0;
  }
}

const char* FunctionName(std::uint8_t op) {
  switch (op) {
    case opSum:
      return "SUM";
    case opRunSum:
      return "RUNSUM";
    case opCount:
      return "COUNT";
    case opMin:
      return "MIN";
    case opMax:
      return "MAX";
    case opAvg:
      return "AVG";
    case opUpper:
      return "UPPER";
    case opLower:
      return "LOWER";
    case opPos:
      return "POS";
    case opOccurs:
      return "OCCURS";
    case opIf:
      return "IF";
    case opIfNull:
      return "IFNULL";
    case opCoalesce:
      return "COALESCE";
    case opTextSearch:
      return "TEXTSEARCH";
    case opTextOccurs:
      return "TEXTOCCURS";
    case opLastAutoInc:
      return "LASTAUTOINC";
    case opIdentCurrent:
      return "IDENT_CURRENT";
    case opLike:
      return "LIKE";
    case opNotLike:
      return "NOT LIKE";
    case opBetween:
      return "BETWEEN";
    case opNotBetween:
      return "NOT BETWEEN";
    case opIn:
    case opInSelect:
      return "IN";
    case opNotIn:
    case opNotInSelect:
      return "NOT IN";
    default:
      return "";
  }
}

const char* KindWord(const TExpToken& n) {
  switch (n.kind) {
    case nkColumn:
      return "column";
    case nkConstant:
      return "constant";
    case nkFunction:
      return "function";
    default:
      return "expression";
  }
}

// ---- Type checking -------------------------------------------------------------------------

class TTypeChecker {
 public:
  TTypeChecker(const TTypeCheckOptions& options, TExpressionOwner* owner)
      : options_(options), owner_(owner) {}

  // Checks `node` under `parent`; returns the node that takes its place in the parent's link.
  TExpToken* Check(TExpToken* node, TExpToken* parent, bool offer_strings = true);

  [[noreturn]] void Fail(const std::string& message) const {
    RaiseEngineError(options_.error_code, "", "", options_.database_name, options_.table_name, "",
                     "", message.substr(0, 255));
  }
  [[noreturn]] void FailIn(const std::string& message) const {
    Fail(message + " in " + options_.context);
  }

 private:
  void CheckChild(TExpToken** link, TExpToken* parent, bool offer_strings = true) {
    if (*link != nullptr) *link = Check(*link, parent, offer_strings);
  }
  void OfferStringAsColumn(TExpToken* node);
  void ResolveColumn(TExpToken* node);
  TExpToken* RewriteBoolean(TExpToken* node, TExpToken* parent);
  void CheckUnary(TExpToken* node);
  void CheckBinary(TExpToken* node);
  void CheckFunction(TExpToken* node);
  void CheckPredicate(TExpToken* node);
  // Converts a string constant to a date, time or timestamp; false when `node` is no string
  // constant; a string that does not convert fails with the date literal message.
  bool ConvertLiteral(TExpToken* node, std::uint8_t type);
  void CheckResultArguments(TExpToken* node, std::size_t first, const char* name);

  const TTypeCheckOptions& options_;
  TExpressionOwner* owner_;
};

bool ContainsColumn(const TExpToken* n) {
  if (n == nullptr) return false;
  if (n->kind == nkColumn) return true;
  if (ContainsColumn(n->left) || ContainsColumn(n->right) || ContainsColumn(n->third)) return true;
  for (const TExpToken* a : n->arguments) {
    if (ContainsColumn(a)) return true;
  }
  return false;
}

// A column reference, or a function that refers to columns.
bool RefersToColumn(const TExpToken* n) {
  return n != nullptr && (n->kind == nkColumn || (n->kind == nkFunction && ContainsColumn(n)));
}

void RestoreConstant(TExpToken* n) {
  n->kind = nkConstant;
  n->data_type = n->saved_type;
  n->subtype = n->saved_subtype;
  n->size = n->saved_size;
  n->scale = n->saved_scale;
  n->column_name.clear();
  n->column_from_string = 0;
  n->field_number = 0;
  n->source_table = nullptr;
}

// Whether `r` may stand right of `l` under the operator.
bool RightAccepted(std::uint8_t op, const TExpToken& l, const TExpToken& r) {
  const std::uint8_t lt = l.data_type, rt = r.data_type;
  auto any = [&](std::initializer_list<std::uint8_t> types) {
    return rt == fldUnknown || std::find(types.begin(), types.end(), rt) != types.end();
  };
  const auto eq_row = [&]() -> int {  // -1: no row
    if (lt == fldDate || lt == fldTimeStamp) return any({fldDate, fldTimeStamp});
    if (IsText(l)) return rt == fldUnknown || IsText(r);
    if (lt == fldBlob) return rt == fldUnknown;
    if (lt == fldBoolean) return any({fldBoolean});
    if (IsNumericType(lt)) return rt == fldUnknown || IsNumericType(rt);
    if (lt == fldBytes) return any({fldBytes});
    if (lt == fldTime) return any({fldTime});
    return -1;
  };
  const std::initializer_list<std::uint8_t> ints = {fldSmallInt, fldInteger, fldWord, fldLargeInt};
  switch (op) {
    case opEqual:
    case opNotEqual:
      return eq_row() == 1;
    case opLess:
    case opGreater:
    case opLessEqual:
    case opGreaterEqual:
      if (lt == fldBoolean || lt == fldBytes) return false;
      return eq_row() == 1;
    case opAnd:
    case opOr:
      return lt == fldBoolean && any({fldBoolean});
    case opAdd:
      if (IsTemporal(lt)) return any(ints);
      if (IsText(l) || lt == fldBlob) return eq_row() == 1;
      if (IsIntegerType(lt)) {
        return rt == fldUnknown || IsNumericType(rt) || IsTemporal(rt);
      }
      if (lt == fldFloat || lt == fldBCD) return rt == fldUnknown || IsNumericType(rt);
      return false;
    case opSubtract:
      if (lt == fldDate) return any({fldDate, fldSmallInt, fldInteger, fldWord, fldLargeInt});
      if (IsNumericType(lt)) return rt == fldUnknown || IsNumericType(rt);
      if (lt == fldTime) return any({fldSmallInt, fldInteger, fldTime, fldWord, fldLargeInt});
      if (lt == fldTimeStamp) {
        return any({fldDate, fldSmallInt, fldInteger, fldTime, fldTimeStamp, fldWord, fldLargeInt});
      }
      return false;
    case opMultiply:
    case opDivide:
      return IsNumericType(lt) && (rt == fldUnknown || IsNumericType(rt));
    default:
      return false;
  }
}

void SetType(TExpToken* n, std::uint8_t type, std::uint8_t subtype, std::uint32_t size,
             std::uint8_t scale) {
  n->data_type = type;
  n->subtype = subtype;
  n->size = size;
  n->scale = scale;
}

// Result attributes of an arithmetic operator over compatible operands.
void ArithmeticResult(TExpToken* n, const TExpToken& l, const TExpToken& r) {
  const std::uint8_t op = n->op, lt = l.data_type, rt = r.data_type;
  if (op == opAdd && (IsText(l) || lt == fldBlob)) {
    const bool memo = IsMemoType(lt, l.subtype) || IsMemoType(rt, r.subtype);
    if (memo) {
      SetType(n, fldBlob, fldstMemo, 8, 0);
    } else if (rt == fldString) {
      SetType(n, fldString, fldstNone, l.size + r.size - 1, 0);
    } else {
      SetType(n, fldString, fldstNone, std::max(l.size, r.size), 0);
    }
    return;
  }
  if (rt == fldUnknown) {
    SetType(n, lt, l.subtype, l.size, l.scale);
    return;
  }
  std::uint8_t type;
  if (IsTemporal(lt) || IsTemporal(rt)) {
    if (op == opSubtract && lt == rt) {
      type = lt == fldTimeStamp ? fldFloat : fldInteger;
    } else if (op == opSubtract && lt == fldTimeStamp) {
      type = fldInteger;  // minus a date: days; minus a time: milliseconds
    } else {
      type = IsTemporal(lt) ? lt : rt;
    }
    SetType(n, type, fldstNone, SizeOfType(type), 0);
    return;
  }
  const bool any_float = lt == fldFloat || rt == fldFloat;
  const bool any_bcd = lt == fldBCD || rt == fldBCD;
  if (op == opDivide) {
    type = any_float ? fldFloat : any_bcd ? fldBCD : fldFloat;
  } else if (any_float) {
    type = fldFloat;
  } else if (any_bcd) {
    type = fldBCD;
  } else if (lt == fldLargeInt || rt == fldLargeInt) {
    type = fldLargeInt;
  } else {
    type = fldInteger;
  }
  std::uint8_t subtype = fldstNone;
  if (type == fldFloat) {
    const bool lm = lt == fldFloat && l.subtype == fldstMoney;
    const bool rm = rt == fldFloat && r.subtype == fldstMoney;
    if (op == opAdd || op == opMultiply) {
      if (lm || rm) subtype = fldstMoney;
    } else if (lm) {
      subtype = fldstMoney;
    }
  }
  SetType(n, type, subtype, SizeOfType(type), type == fldBCD ? std::max(l.scale, r.scale) : 0);
}

TExpToken* TTypeChecker::Check(TExpToken* node, TExpToken* parent, bool offer_strings) {
  node->parent = parent;
  switch (node->kind) {
    case nkConstant:
      if (offer_strings) OfferStringAsColumn(node);
      return node;
    case nkColumn:
      ResolveColumn(node);
      return RewriteBoolean(node, parent);
    case nkUnary:
      CheckChild(&node->left, node);
      CheckUnary(node);
      return node;
    case nkBinary:
    case nkFilterCompare:
      CheckChild(&node->left, node);
      CheckChild(&node->right, node);
      CheckBinary(node);
      return node;
    case nkSubSelect:
      if (owner_ == nullptr || !owner_->BindSubSelect(node->sub_query, *node)) {
        Fail("More than 1 column for sub-select  specified in " + options_.context);
      }
      return node;
    case nkFunction:
      CheckFunction(node);
      if (node->op == opCast || node->op == opTextSearch) return RewriteBoolean(node, parent);
      return node;
    case nkPredicate:
      CheckPredicate(node);
      return node;
    default:
      return node;
  }
}

void TTypeChecker::OfferStringAsColumn(TExpToken* node) {
  if (!options_.strings_name_columns || !options_.resolve_columns || owner_ == nullptr) return;
  if (node->parameter || node->null || node->data_type != fldString || node->text == "*") return;
  node->saved_type = node->data_type;
  node->saved_subtype = node->subtype;
  node->saved_size = node->size;
  node->saved_scale = node->scale;
  node->kind = nkColumn;
  node->SetColumnName(node->text);
  node->column_from_string = 1;
  if (!owner_->ResolveColumn(*node)) RestoreConstant(node);
}

void TTypeChecker::ResolveColumn(TExpToken* node) {
  if (node->column_from_string || node->column_name == "*") return;
  if (!options_.resolve_columns || owner_ == nullptr || !owner_->ResolveColumn(*node)) {
    FailIn("Invalid column name '" + node->column_name + "' or table correlation name '" +
           node->table_name + "' specified");
  }
}

TExpToken* TTypeChecker::RewriteBoolean(TExpToken* node, TExpToken* parent) {
  if (!options_.rewrite_booleans || node->data_type != fldBoolean) return node;
  if (parent != nullptr && parent->op != opNot && parent->op != opAnd && parent->op != opOr) {
    return node;
  }
  if (parent != nullptr && parent->kind != nkUnary && parent->kind != nkBinary) return node;
  TExpTokenPtr truth = NewExpToken();
  truth->kind = nkConstant;
  truth->text = "True";
  truth->SetBooleanValue(true);
  TExpTokenPtr equal = NewExpToken();
  equal->kind = nkBinary;
  equal->op = opEqual;
  equal->text = "=";
  SetType(equal.get(), fldBoolean, fldstNone, 2, 0);
  equal->parent = parent;
  equal->depth = node->depth + 1;
  truth->parent = equal.get();
  node->parent = equal.get();
  equal->right = truth.release();
  equal->left = node;
  return equal.release();
}

void TTypeChecker::CheckUnary(TExpToken* node) {
  const TExpToken& x = *node->left;
  const std::uint8_t t = x.data_type;
  bool ok;
  if (node->op == opNot) {
    ok = t == fldBoolean;
  } else {
    ok = t == fldUnknown || t == fldDate || t == fldSmallInt || t == fldInteger || t == fldFloat ||
         t == fldBCD || t == fldTime || t == fldTimeStamp || t == fldLargeInt ||
         (node->op == opPlusSign && t == fldWord);
  }
  if (!ok) {
    FailIn("Type mismatch between '" + node->text + "' operator and '" + x.text + "'");
  }
  if (node->op == opNot) {
    SetType(node, fldBoolean, fldstNone, 2, 0);
  } else {
    SetType(node, x.data_type, x.subtype, x.size, x.scale);
  }
}

bool TTypeChecker::ConvertLiteral(TExpToken* node, std::uint8_t type) {
  if (node->kind != nkConstant || node->parameter || node->null || node->data_type != fldString) {
    return false;
  }
  const std::string text = node->StringValue();
  bool ok = false;
  if (type == fldDate) {
    std::int32_t day;
    ok = ParseDateLiteral(text, &day);
    if (ok) node->SetIntegerValue(day);
  } else if (type == fldTime) {
    std::int32_t ms;
    ok = ParseTimeLiteral(text, &ms);
    if (ok) node->SetIntegerValue(ms);
  } else {
    double value;
    ok = ParseTimeStampLiteral(text, &value);
    if (ok) node->SetFloatValue(value);
  }
  if (!ok) {
    FailIn("Date, time, or timestamp expression expected, instead found '" + node->text + "'");
  }
  SetType(node, type, fldstNone, SizeOfType(type), 0);
  return true;
}

void TTypeChecker::CheckBinary(TExpToken* node) {
  TExpToken* l = node->left;
  TExpToken* r = node->right;
  const std::uint8_t op = node->op;
  const bool comparison =
      op == opEqual || op == opNotEqual || (op >= opGreater && op <= opLessEqual);
  // Name = 'Smith' compares with the text even when a column Smith exists.
  if ((comparison || op == opAdd) && !node->join_condition && RefersToColumn(l) &&
      RefersToColumn(r)) {
    if (r->kind == nkColumn && r->column_from_string) {
      RestoreConstant(r);
    } else if (l->kind == nkColumn && l->column_from_string) {
      RestoreConstant(l);
    }
  }
  if (l->kind == nkConstant && IsTemporal(r->data_type)) {
    ConvertLiteral(l, r->data_type);
  } else if (r->kind == nkConstant && IsTemporal(l->data_type)) {
    ConvertLiteral(r, l->data_type);
  }
  if (!RightAccepted(op, *l, *r)) {
    FailIn(std::string("Type mismatch between ") + KindWord(*l) + " '" + l->text + "' and " +
           KindWord(*r) + " '" + r->text + "'");
  }
  if (comparison || op == opAnd || op == opOr) {
    SetType(node, fldBoolean, fldstNone, 2, 0);
  } else {
    ArithmeticResult(node, *l, *r);
  }
}

bool IsStringOrMemo(const TExpToken& n) { return n.data_type == fldUnknown || IsText(n); }
bool IsIntegerValue(const TExpToken& n) {
  return n.data_type == fldUnknown || IsIntegerType(n.data_type);
}
bool IsStringConstant(const TExpToken& n) {
  return n.kind == nkConstant && !n.parameter && n.data_type == fldString;
}

bool CastAccepts(std::uint8_t target, std::uint8_t source) {
  auto in = [source](std::initializer_list<std::uint8_t> types) {
    return std::find(types.begin(), types.end(), source) != types.end();
  };
  switch (target) {
    case fldString:
    case fldBlob:
    case fldBytes:
      return true;
    case fldDate:
      return in({fldUnknown, fldString, fldDate, fldBytes, fldTimeStamp});
    case fldBoolean:
    case fldSmallInt:
    case fldWord:
      return in({fldUnknown, fldString, fldBoolean, fldSmallInt, fldInteger, fldFloat, fldBCD,
                 fldBytes, fldWord, fldLargeInt});
    case fldInteger:
    case fldFloat:
    case fldBCD:
    case fldLargeInt:
      return in({fldUnknown, fldString, fldSmallInt, fldInteger, fldFloat, fldBCD, fldBytes,
                 fldWord, fldLargeInt});
    case fldTime:
      return in({fldUnknown, fldString, fldBytes, fldTime, fldTimeStamp});
    case fldTimeStamp:
      return in({fldUnknown, fldString, fldDate, fldBytes, fldTime, fldTimeStamp});
    default:
      return false;
  }
}

// An integer constant argument of a data type; false when it is none.
bool IntegerConstant(const TExpToken* n, std::int64_t* value) {
  if (n == nullptr || n->kind != nkConstant || n->null || n->parameter) return false;
  if (n->data_type == fldInteger) {
    *value = n->IntegerValue();
    return true;
  }
  if (n->data_type == fldLargeInt) {
    *value = n->LargeIntValue();
    return true;
  }
  return false;
}

}  // namespace

void CheckDataTypeArguments(const TTypeCheckOptions& options, TExpToken* node, std::size_t first,
                            const TExpToken* operand) {
  TTypeChecker checker(options, nullptr);
  const TExpToken* a1 = first < node->arguments.size() ? node->arguments[first] : nullptr;
  const TExpToken* a2 = first + 1 < node->arguments.size() ? node->arguments[first + 1] : nullptr;
  std::int64_t value = 0;
  switch (node->data_type) {
    case fldString:
    case fldBytes: {
      const std::uint32_t extra = node->data_type == fldString ? 1 : 0;
      if (a1 == nullptr) {
        node->size = operand != nullptr && operand->size != 0 ? operand->size : 10;
        break;
      }
      if (!IntegerConstant(a1, &value)) checker.FailIn("Length argument must be an integer");
      if (value < 1 || value > kMaxFieldSize) {
        checker.FailIn(
            "Length argument must be an integer greater than 0 and less than or equal to 250");
      }
      node->size = static_cast<std::uint32_t>(value) + extra;
      break;
    }
    case fldBCD:
      node->size = kBcdValueSize;
      node->scale = 0;
      if (a2 != nullptr) {
        if (!IntegerConstant(a2, &value)) checker.FailIn("Scale argument must be an integer");
        if (value < 0 || value > 4) {
          checker.FailIn(
              "Scale argument must be an integer greater than or equal to 0 and less than or "
              "equal to 4");
        }
        node->scale = static_cast<std::uint8_t>(value);
      }
      break;
    case fldBlob:
      node->size = 8;
      if (a1 != nullptr) {
        if (!IntegerConstant(a1, &value)) {
          checker.FailIn("First BLOB type argument must be an integer");
        }
        if (a2 != nullptr) {
          if (!IntegerConstant(a2, &value)) checker.FailIn("BLOB type argument must be an integer");
          if (value != 1 && value != 2 && value != 3 && value != 5 && value != 7) {
            checker.FailIn("BLOB type argument must be an integer with a value of 1,2,3,5, or 7");
          }
          node->subtype = static_cast<std::uint8_t>(21 + value);
        }
      }
      break;
    default:
      node->size = SizeOfType(node->data_type);
      node->scale = 0;
      break;
  }
}

namespace {

void TTypeChecker::CheckResultArguments(TExpToken* node, std::size_t first, const char* name) {
  const TExpToken* result = nullptr;
  const TExpToken* previous = nullptr;
  bool any_blob = false;
  for (std::size_t i = first; i < node->arguments.size(); ++i) {
    const TExpToken* a = node->arguments[i];
    if (IsNullConstant(*a)) continue;
    if (result == nullptr) result = a;
    if (a->data_type == fldBlob) any_blob = true;
    if (previous != nullptr && !RightAccepted(opEqual, *previous, *a)) {
      FailIn(std::string("Type mismatch between ") + name + " expression arguments");
    }
    previous = a;
  }
  if (result == nullptr) {
    Fail(std::string("At least one of the ") + name + " expression arguments in " +
         options_.context + " must be a non-NULL value");
  }
  SetType(node, result->data_type, result->subtype, result->size, result->scale);
  if (IsText(*result) && !any_blob) {
    for (std::size_t i = first; i < node->arguments.size(); ++i) {
      node->size = std::max(node->size, node->arguments[i]->size);
      node->scale = std::max(node->scale, node->arguments[i]->scale);
    }
  }
}

void TTypeChecker::CheckFunction(TExpToken* node) {
  auto& args = node->arguments;
  const std::uint8_t op = node->op;
  // Arguments that must stay constants are not offered as column names.
  for (std::size_t i = 0; i < args.size(); ++i) {
    bool offer = true;
    if ((op == opTrimLeading || op == opTrimTrailing || op == opTrimBoth) && i == 0) offer = false;
    if ((op == opTextSearch || op == opTextOccurs) && i == 0) offer = false;
    if (op == opLastAutoInc || op == opIdentCurrent || op == opCast || op == opRound) {
      offer = op == opCast ? i == 0 : op == opRound ? i == 0 : false;
    }
    if (op == opCast && i > 0) continue;  // type arguments are checked with the data type
    CheckChild(&args[i], node, offer);
  }
  auto arg = [&](std::size_t i) -> TExpToken* { return i < args.size() ? args[i] : nullptr; };
  const std::string name = FunctionName(op);
  switch (op) {
    case opSum:
    case opRunSum:
    case opAvg:
    case opMin:
    case opMax: {
      const TExpToken& x = *arg(0);
      const std::uint8_t t = x.data_type;
      const bool ok = t == fldUnknown || IsNumericType(t) || IsTemporal(t) ||
                      ((op == opMin || op == opMax) && IsText(x));
      if (!ok) {
        FailIn(name +
               " aggregate function must contain a numeric, date, time, or timestamp "
               "expression");
      }
      SetType(node, x.data_type, x.subtype, x.size, x.scale);
      break;
    }
    case opCount:
      SetType(node, fldInteger, fldstNone, 4, 0);
      break;
    case opUpper:
    case opLower: {
      const TExpToken& x = *arg(0);
      if (!IsStringOrMemo(x)) {
        FailIn("Type mismatch between " + name + " function and function argument");
      }
      if (IsMemoType(x.data_type, x.subtype)) {
        SetType(node, fldBlob, x.subtype, x.size, 0);
      } else {
        SetType(node, fldString, fldstNone, x.size, 0);
      }
      break;
    }
    case opLength:
      if (!IsStringOrMemo(*arg(0))) {
        FailIn("Type mismatch between LENGTH function and function argument");
      }
      SetType(node, fldInteger, fldstNone, 4, 0);
      break;
    case opSubstring: {
      const TExpToken& x = *arg(0);
      if (!IsStringOrMemo(x)) {
        FailIn("Expression argument of SUBSTRING function must be a string or memo");
      }
      if (!IsIntegerValue(*arg(1))) {
        FailIn("FROM argument of SUBSTRING function must be an integer value");
      }
      if (arg(2) != nullptr && !IsIntegerValue(*arg(2))) {
        FailIn("FOR argument of SUBSTRING function must be an integer value");
      }
      if (IsMemoType(x.data_type, x.subtype)) {
        SetType(node, fldBlob, x.subtype, x.size, 0);
      } else {
        SetType(node, fldString, fldstNone, x.size, 0);
      }
      break;
    }
    case opReplace: {
      const TExpToken& target = *arg(2);
      if (!IsStringOrMemo(target)) {
        FailIn("IN argument of REPLACE function must be a string or memo");
      }
      if (!IsStringOrMemo(*arg(0))) {
        FailIn("Type mismatch between REPLACE function and search string argument");
      }
      if (!IsStringOrMemo(*arg(1))) {
        FailIn("Type mismatch between REPLACE function and replacement string argument");
      }
      if (IsMemoType(target.data_type, target.subtype)) {
        SetType(node, fldBlob, target.subtype, target.size, 0);
      } else {
        SetType(node, fldString, fldstNone, target.size, 0);
      }
      break;
    }
    case opPos:
    case opOccurs:
      if (!IsStringOrMemo(*arg(1))) {
        FailIn("Type mismatch between " + name + " function and IN argument");
      }
      if (!IsStringOrMemo(*arg(0))) {
        FailIn("Type mismatch between " + name + " function and search string argument");
      }
      SetType(node, fldInteger, fldstNone, 4, 0);
      break;
    case opTrimLeading:
    case opTrimTrailing:
    case opTrimBoth: {
      const TExpToken& target = *arg(1);
      if (!IsStringOrMemo(target)) {
        FailIn("FROM argument of TRIM function must be a string or memo");
      }
      const TExpToken& c = *arg(0);
      if (!IsStringConstant(c) || c.StringValue().size() != 1) {
        FailIn("Trim character argument of TRIM function must be a single character constant");
      }
      if (IsMemoType(target.data_type, target.subtype)) {
        SetType(node, fldBlob, target.subtype, target.size, 0);
      } else {
        SetType(node, fldString, fldstNone, target.size, 0);
      }
      break;
    }
    case opCast: {
      const TExpToken& x = *arg(0);
      if (!IsNullConstant(x) && !CastAccepts(node->data_type, x.data_type)) {
        FailIn(std::string("Type mismatch between ") + KindWord(x) + " '" + x.text +
               "' and AS argument");
      }
      CheckDataTypeArguments(options_, node, 1, &x);
      break;
    }
    case opExtractYear:
    case opExtractMonth:
    case opExtractWeek:
    case opExtractDay:
    case opExtractDayOfWeek:
    case opExtractDayOfYear:
    case opExtractHour:
    case opExtractMinute:
    case opExtractSecond: {
      TExpToken* x = arg(0);
      if (IsStringConstant(*x)) {
        const std::string text = x->StringValue();
        std::int32_t value;
        double stamp;
        if (ParseDateLiteral(text, &value)) {
          x->SetIntegerValue(value);
          SetType(x, fldDate, fldstNone, 4, 0);
        } else if (ParseTimeLiteral(text, &value)) {
          x->SetIntegerValue(value);
          SetType(x, fldTime, fldstNone, 4, 0);
        } else if (ParseTimeStampLiteral(text, &stamp)) {
          x->SetFloatValue(stamp);
          SetType(x, fldTimeStamp, fldstNone, 8, 0);
        }
      }
      if (!(IsTemporal(x->data_type) || x->data_type == fldUnknown)) {
        FailIn("FROM argument of EXTRACT function must be a date, time, or timestamp");
      }
      SetType(node, fldInteger, fldstNone, 4, 0);
      break;
    }
    case opIf:
      if (arg(0)->data_type != fldBoolean) {
        FailIn("First expression argument of IF function must be a boolean type");
      }
      CheckResultArguments(node, 1, "IF");
      break;
    case opIfNull:
      CheckResultArguments(node, 1, "IFNULL");
      break;
    case opCoalesce:
      CheckResultArguments(node, 0, "COALESCE");
      break;
    case opAbs: {
      const TExpToken& x = *arg(0);
      if (!(x.data_type == fldUnknown || IsNumericType(x.data_type))) {
        FailIn(
            "Expression argument of ABS function must be an integer, floating-point, or BCD type");
      }
      SetType(node, x.data_type, x.subtype, x.size, x.scale);
      break;
    }
    case opRound: {
      const TExpToken& x = *arg(0);
      if (!(x.data_type == fldUnknown || x.data_type == fldFloat || x.data_type == fldBCD)) {
        FailIn("Expression argument of ROUND function must be a floating-point or BCD type");
      }
      if (arg(1) != nullptr) {
        std::int64_t places;
        if (!IntegerConstant(arg(1), &places)) {
          FailIn("Decimal places argument of ROUND function must be an integer constant");
        }
        if (places < 0 || places > 32) {
          FailIn(
              "Decimal places argument of ROUND function must be an integer constant between 0 "
              "and 32");
        }
      }
      SetType(node, x.data_type, x.subtype, x.size, x.scale);
      break;
    }
    case opTextSearch:
    case opTextOccurs: {
      const TExpToken& words = *arg(0);
      const TExpToken& column = *arg(1);
      if (!IsText(words)) {
        FailIn("Type mismatch between " + name + " function and search text function argument");
      }
      if (!IsStringConstant(words) && !IsMemoType(words.data_type, words.subtype)) {
        FailIn(name + " search text function argument must be a string constant");
      }
      if (column.kind != nkColumn) {
        FailIn(name + " function column argument must be a valid column name");
      }
      if (!IsText(column)) {
        FailIn("Type mismatch between " + name + " function and column function argument");
      }
      if (op == opTextSearch) {
        SetType(node, fldBoolean, fldstNone, 2, 0);
      } else {
        SetType(node, fldInteger, fldstNone, 4, 0);
      }
      break;
    }
    case opLastAutoInc:
    case opIdentCurrent: {
      const TExpToken& table = *arg(0);
      if (table.data_type != fldString) {
        FailIn("Type mismatch between " + name + " function and table name function argument");
      }
      if (!IsStringConstant(table)) {
        FailIn(name + " table name function argument must be a string constant");
      }
      if (owner_ != nullptr) owner_->OpenAutoIncTable(table.StringValue());
      SetType(node, fldInteger, fldstNone, 4, 0);
      break;
    }
    default:
      break;
  }
}

void TTypeChecker::CheckPredicate(TExpToken* node) {
  auto& args = node->arguments;
  for (auto& a : args) CheckChild(&a, node);
  const std::string name = FunctionName(node->op);
  auto mismatch = [&](const TExpToken& x) {
    FailIn("Type mismatch between " + name + " operator and expression '" + x.text + "'");
  };
  TExpToken& tested = *args[0];
  // As with `=`: Name IN ('Smith') and Name LIKE 'Smith' test the text even when a column Smith
  // exists.
  if (RefersToColumn(&tested)) {
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i]->kind == nkColumn && args[i]->column_from_string) RestoreConstant(args[i]);
    }
  }
  switch (node->op) {
    case opLike:
    case opNotLike:
      if (!IsStringOrMemo(tested)) mismatch(tested);
      if (!(args[1]->data_type == fldString || args[1]->data_type == fldUnknown)) {
        mismatch(*args[1]);
      }
      break;
    case opBetween:
    case opNotBetween:
    case opIn:
    case opNotIn:
      for (std::size_t i = 1; i < args.size(); ++i) {
        if (IsTemporal(tested.data_type)) ConvertLiteral(args[i], tested.data_type);
        if (!RightAccepted(opEqual, tested, *args[i])) mismatch(*args[i]);
      }
      break;
    case opInSelect:
    case opNotInSelect:
      if (!RightAccepted(opEqual, tested, *args[1])) mismatch(*args[1]);
      break;
    default:
      break;
  }
  SetType(node, fldBoolean, fldstNone, 2, 0);
}

// ---- Evaluation ----------------------------------------------------------------------------

class TEvaluator {
 public:
  TEvaluator(const std::uint8_t* record, TExpressionOwner* owner, std::uint16_t language_id,
             std::uint16_t sort_id)
      : record_(record), owner_(owner), language_id_(language_id), sort_id_(sort_id) {}

  TExpTokenPtr Eval(const TExpToken& n);

 private:
  TExpTokenPtr Column(const TExpToken& n);
  TExpTokenPtr Unary(const TExpToken& n);
  TExpTokenPtr Binary(const TExpToken& n);
  TExpTokenPtr Arithmetic(const TExpToken& n, const TExpToken& l, const TExpToken& r);
  TExpTokenPtr Function(const TExpToken& n);
  TExpTokenPtr Predicate(const TExpToken& n);
  TExpTokenPtr FilterCompare(const TExpToken& n);
  int Compare(const TExpToken& l, const TExpToken& r, bool ignore_case = false,
              std::size_t length = 0) const;
  bool CompareOp(std::uint8_t op, const TExpToken& l, const TExpToken& r) const;
  TExpTokenPtr Convert(TExpTokenPtr value, const TExpToken& to) const;

  const std::uint8_t* record_;
  TExpressionOwner* owner_;
  std::uint16_t language_id_;
  std::uint16_t sort_id_;
};

// A result node with the type of `n`, no value yet.
TExpTokenPtr Result(const TExpToken& n) {
  TExpTokenPtr r = NewExpToken();
  r->kind = nkConstant;
  r->text = n.text;
  SetType(r.get(), n.data_type, n.subtype, n.size, n.scale);
  return r;
}

TExpTokenPtr NullResult(const TExpToken& n) {
  TExpTokenPtr r = Result(n);
  r->null = 1;
  return r;
}

TExpTokenPtr BooleanResult(bool value) {
  TExpTokenPtr r = NewExpToken();
  r->kind = nkConstant;
  r->SetBooleanValue(value);
  return r;
}

// A text result: NULL when empty; a memo keeps its type.
TExpTokenPtr TextResult(const TExpToken& n, std::string_view text) {
  TExpTokenPtr r = Result(n);
  if (text.empty()) {
    r->null = 1;
    return r;
  }
  const std::uint8_t type = r->data_type == fldBlob ? fldBlob : fldString;
  const std::uint8_t subtype = r->subtype;
  r->SetStringValue(text);
  r->data_type = type;
  r->subtype = subtype;
  return r;
}

void CopyValue(TExpToken* dst, const TExpToken& src) {
  dst->SetSize(src.size);
  const std::size_t n = std::min<std::size_t>(src.size, src.ValueCapacity());
  std::memcpy(dst->Value(), src.Value(), n);
  dst->null = src.null;
}

std::string TextOf(const TExpToken& n) { return n.null ? std::string() : n.StringValue(); }

std::int64_t IntOf(const TExpToken& n) {
  switch (n.data_type) {
    case fldSmallInt:
      return static_cast<std::int16_t>(DecodeFixed16(n.Value()));
    case fldWord:
    case fldBoolean:
      return DecodeFixed16(n.Value());
    case fldInteger:
    case fldDate:
    case fldTime:
      return static_cast<std::int32_t>(DecodeFixed32(n.Value()));
    case fldLargeInt:
      return static_cast<std::int64_t>(DecodeFixed64(n.Value()));
    case fldFloat:
    case fldTimeStamp: {
      const double f = DecodeDouble(n.Value());
      return std::isfinite(f) && std::fabs(f) < 9.2e18 ? static_cast<std::int64_t>(f) : 0;
    }
    case fldBCD: {
      std::int64_t scaled = 0;
      DecodeBcd(n.Value(), &scaled);
      return scaled / 10000;
    }
    default:
      return 0;
  }
}

double FloatOf(const TExpToken& n) {
  switch (n.data_type) {
    case fldFloat:
    case fldTimeStamp:
      return DecodeDouble(n.Value());
    case fldBCD: {
      std::int64_t scaled = 0;
      DecodeBcd(n.Value(), &scaled);
      return static_cast<double>(scaled) / 10000.0;
    }
    default:
      return static_cast<double>(IntOf(n));
  }
}

__int128 ScaledOf(const TExpToken& n) {
  if (n.data_type == fldBCD) {
    std::int64_t scaled = 0;
    DecodeBcd(n.Value(), &scaled);
    return scaled;
  }
  if (n.data_type == fldFloat) return static_cast<__int128>(std::llround(FloatOf(n) * 10000.0));
  return static_cast<__int128>(IntOf(n)) * 10000;
}

// Milliseconds of a date or timestamp, for comparing the two.
double StampOf(const TExpToken& n) {
  if (n.data_type == fldDate) return static_cast<double>(IntOf(n)) * kMsPerDay;
  return FloatOf(n);
}

// a / b rounded half away from zero.
__int128 DivideRounded(__int128 a, __int128 b) {
  const bool negative = (a < 0) != (b < 0);
  const __int128 x = a < 0 ? -a : a, y = b < 0 ? -b : b;
  const __int128 q = (x + y / 2) / y;
  return negative ? -q : q;
}

bool StoreBcd(TExpToken* r, __int128 scaled) {
  if (scaled > std::numeric_limits<std::int64_t>::max() ||
      scaled < std::numeric_limits<std::int64_t>::min()) {
    return false;
  }
  r->SetSize(kBcdValueSize);
  return EncodeBcd(r->Value(), static_cast<std::int64_t>(scaled), r->scale > 4 ? 4 : r->scale);
}

void StoreInt(TExpToken* r, std::int64_t value) {
  switch (r->data_type) {
    case fldSmallInt:
    case fldWord:
    case fldBoolean:
      r->SetSize(2);
      EncodeFixed16(r->Value(), static_cast<std::uint16_t>(value));
      break;
    case fldLargeInt:
      r->SetSize(8);
      EncodeFixed64(r->Value(), static_cast<std::uint64_t>(value));
      break;
    default:
      r->SetSize(4);
      EncodeFixed32(r->Value(), static_cast<std::uint32_t>(value));
      break;
  }
}

void StoreFloat(TExpToken* r, double value) {
  r->SetSize(8);
  EncodeDouble(r->Value(), value);
}

TExpTokenPtr TEvaluator::Eval(const TExpToken& n) {
  switch (n.kind) {
    case nkConstant: {
      TExpTokenPtr r = Result(n);
      CopyValue(r.get(), n);
      return r;
    }
    case nkColumn:
      return Column(n);
    case nkUnary:
      return Unary(n);
    case nkBinary:
      return Binary(n);
    case nkFilterCompare:
      return FilterCompare(n);
    case nkFunction:
      return Function(n);
    case nkPredicate:
      return Predicate(n);
    default:
      return NullResult(n);
  }
}

TExpTokenPtr TEvaluator::Column(const TExpToken& n) {
  TExpTokenPtr r = Result(n);
  if (n.column_from_string && owner_ == nullptr) {
    SetType(r.get(), n.saved_type, n.saved_subtype, n.saved_size, n.saved_scale);
    CopyValue(r.get(), n);
    r->size = n.saved_size;
    return r;
  }
  if (owner_ == nullptr) {
    RaiseEngineError(TABULA_SQLPARSE, "", "", "", "", "", "",
                     "Internal error: Column '" + n.column_name + "' specified illegally");
  }
  r->column_name = n.column_name;
  r->table_name = n.table_name;
  r->field_number = n.field_number;
  r->source_table = n.source_table;
  owner_->FetchColumn(record_, *r);
  return r;
}

TExpTokenPtr TEvaluator::Unary(const TExpToken& n) {
  TExpTokenPtr x = Eval(*n.left);
  if (n.op == opNot) return BooleanResult(!(x->null == 0 && x->BooleanValue()));
  if (x->null) return NullResult(n);
  if (n.op == opPlusSign) return x;
  TExpTokenPtr r = Result(n);
  switch (x->data_type) {
    case fldSmallInt:
    case fldInteger:
    case fldDate:
    case fldTime:
      StoreInt(r.get(), static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(IntOf(*x))));
      break;
    case fldWord:
      StoreInt(r.get(), static_cast<std::uint16_t>(0u - static_cast<std::uint16_t>(IntOf(*x))));
      break;
    case fldLargeInt:
      StoreInt(r.get(), static_cast<std::int64_t>(0ull - static_cast<std::uint64_t>(IntOf(*x))));
      break;
    case fldFloat:
    case fldTimeStamp:
      StoreFloat(r.get(), -FloatOf(*x));
      break;
    case fldBCD:
      if (!StoreBcd(r.get(), -ScaledOf(*x))) return NullResult(n);
      break;
    default:
      return NullResult(n);
  }
  return r;
}

int TEvaluator::Compare(const TExpToken& l, const TExpToken& r, bool ignore_case,
                        std::size_t length) const {
  const std::uint8_t lt = l.data_type, rt = r.data_type;
  if (IsText(l) || IsText(r)) {
    return CompareStrings(language_id_, sort_id_, ignore_case, length, TextOf(l), TextOf(r));
  }
  auto sign = [](auto a, auto b) { return a < b ? -1 : (b < a ? 1 : 0); };
  if (IsNumericType(lt) && IsNumericType(rt)) {
    if (lt == fldFloat || rt == fldFloat) return sign(FloatOf(l), FloatOf(r));
    if (lt == fldBCD || rt == fldBCD) return sign(ScaledOf(l), ScaledOf(r));
    return sign(IntOf(l), IntOf(r));
  }
  if ((lt == fldDate || lt == fldTimeStamp) && (rt == fldDate || rt == fldTimeStamp)) {
    if (lt == fldDate && rt == fldDate) return sign(IntOf(l), IntOf(r));
    return sign(StampOf(l), StampOf(r));
  }
  if (lt == fldBoolean || rt == fldBoolean) {
    return sign(l.BooleanValue() ? 1 : 0, r.BooleanValue() ? 1 : 0);
  }
  if (lt == fldBytes) {
    const std::size_t count =
        std::min({static_cast<std::size_t>(l.size), l.ValueCapacity(), r.ValueCapacity()});
    const int c = std::memcmp(l.Value(), r.Value(), count);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if (lt == fldUnknown || rt == fldUnknown) {
    return sign(lt == fldUnknown ? 0.0 : FloatOf(l), rt == fldUnknown ? 0.0 : FloatOf(r));
  }
  return sign(IntOf(l), IntOf(r));
}

bool TEvaluator::CompareOp(std::uint8_t op, const TExpToken& l, const TExpToken& r) const {
  switch (op) {
    case opEqual:
      if (l.null || r.null) return l.null && r.null;
      return Compare(l, r) == 0;
    case opNotEqual:
      if (l.null || r.null) return !(l.null && r.null);
      return Compare(l, r) != 0;
    default:
      break;
  }
  const bool text = IsText(l) || IsText(r);
  if (!text && (l.null != r.null)) return false;
  const int c = Compare(l, r);
  switch (op) {
    case opLess:
      return c < 0;
    case opGreater:
      return c > 0;
    case opLessEqual:
      return c <= 0;
    case opGreaterEqual:
      return c >= 0;
    default:
      return false;
  }
}

TExpTokenPtr TEvaluator::Binary(const TExpToken& n) {
  if (n.op == opAnd || n.op == opOr) {
    TExpTokenPtr right = Eval(*n.right);
    const bool rv = right->null == 0 && right->BooleanValue();
    if (n.op == opAnd && !rv) return BooleanResult(false);
    if (n.op == opOr && rv) return BooleanResult(true);
    right.reset();
    TExpTokenPtr left = Eval(*n.left);
    return BooleanResult(left->null == 0 && left->BooleanValue());
  }
  TExpTokenPtr l = Eval(*n.left);
  TExpTokenPtr r = Eval(*n.right);
  switch (n.op) {
    case opEqual:
    case opNotEqual:
    case opLess:
    case opGreater:
    case opLessEqual:
    case opGreaterEqual:
      return BooleanResult(CompareOp(n.op, *l, *r));
    default:
      return Arithmetic(n, *l, *r);
  }
}

TExpTokenPtr TEvaluator::Arithmetic(const TExpToken& n, const TExpToken& l, const TExpToken& r) {
  const std::uint8_t op = n.op, lt = l.data_type, rt = r.data_type;
  if (op == opAdd && (IsText(n) || n.data_type == fldBlob)) {
    return TextResult(n, TextOf(l) + TextOf(r));
  }
  if (l.null || r.null || lt == fldUnknown || rt == fldUnknown) return NullResult(n);
  TExpTokenPtr out = Result(n);
  TExpToken* res = out.get();
  // Dates, times and timestamps.
  if (IsTemporal(lt) || IsTemporal(rt)) {
    if (op == opSubtract && lt == fldTimeStamp && rt == fldDate) {
      StoreInt(res, static_cast<std::int64_t>(std::floor(FloatOf(l) / kMsPerDay)) - IntOf(r));
    } else if (op == opSubtract && lt == fldTimeStamp && rt == fldTime) {
      double ms = std::fmod(FloatOf(l), kMsPerDay);
      if (ms < 0) ms += kMsPerDay;
      StoreInt(res, static_cast<std::int64_t>(ms) - IntOf(r));
    } else if (op == opSubtract && lt == fldTimeStamp && rt == fldTimeStamp) {
      StoreFloat(res, FloatOf(l) - FloatOf(r));
    } else if (op == opSubtract && lt == rt) {  // date - date, time - time
      StoreInt(res, static_cast<std::int32_t>(static_cast<std::uint32_t>(IntOf(l)) -
                                              static_cast<std::uint32_t>(IntOf(r))));
    } else {
      const bool left_temporal = IsTemporal(lt);
      const TExpToken& base = left_temporal ? l : r;
      std::int64_t count = IntOf(left_temporal ? r : l);
      if (op == opSubtract) count = -count;
      if (base.data_type == fldTimeStamp) {
        StoreFloat(res, FloatOf(base) + static_cast<double>(count) * kMsPerDay);
      } else {
        StoreInt(res, static_cast<std::int32_t>(static_cast<std::uint32_t>(IntOf(base)) +
                                                static_cast<std::uint32_t>(count)));
      }
    }
    return out;
  }
  switch (n.data_type) {
    case fldFloat: {
      const double a = FloatOf(l), b = FloatOf(r);
      double v;
      switch (op) {
        case opAdd:
          v = a + b;
          break;
        case opSubtract:
          v = a - b;
          break;
        case opMultiply:
          v = a * b;
          break;
        default:
          if (b == 0) return NullResult(n);
          v = a / b;
      }
      StoreFloat(res, v);
      return out;
    }
    case fldBCD: {
      const __int128 a = ScaledOf(l), b = ScaledOf(r);
      __int128 v;
      switch (op) {
        case opAdd:
          v = a + b;
          break;
        case opSubtract:
          v = a - b;
          break;
        case opMultiply:
          v = DivideRounded(a * b, 10000);
          break;
        default:
          if (b == 0) return NullResult(n);
          v = DivideRounded(a * 10000, b);
      }
      if (!StoreBcd(res, v)) return NullResult(n);
      return out;
    }
    case fldLargeInt: {
      const std::uint64_t a = static_cast<std::uint64_t>(IntOf(l));
      const std::uint64_t b = static_cast<std::uint64_t>(IntOf(r));
      const std::uint64_t v = op == opAdd ? a + b : op == opSubtract ? a - b : a * b;
      StoreInt(res, static_cast<std::int64_t>(v));
      return out;
    }
    default: {
      const std::uint32_t a = static_cast<std::uint32_t>(IntOf(l));
      const std::uint32_t b = static_cast<std::uint32_t>(IntOf(r));
      const std::uint32_t v = op == opAdd ? a + b : op == opSubtract ? a - b : a * b;
      StoreInt(res, static_cast<std::int32_t>(v));
      return out;
    }
  }
}

TExpTokenPtr TEvaluator::FilterCompare(const TExpToken& n) {
  TExpTokenPtr l = Eval(*n.left);
  TExpTokenPtr r = Eval(*n.right);
  const bool equal_op = n.op != opNotEqual;
  if (l->null || r->null) {
    const bool both = l->null && r->null;
    return BooleanResult(equal_op ? both : !both);
  }
  const int c = Compare(*l, *r, n.case_insensitive != 0, n.partial_length);
  return BooleanResult(equal_op ? c == 0 : c != 0);
}

TExpTokenPtr TEvaluator::Convert(TExpTokenPtr value, const TExpToken& to) const {
  if (value->null) return NullResult(to);
  if (value->data_type == to.data_type) {
    value->subtype = to.subtype;
    value->scale = to.scale;
    return value;
  }
  TExpTokenPtr r = Result(to);
  std::uint8_t buffer[kConvertBufferSize] = {};
  std::memcpy(buffer, value->Value(),
              std::min<std::size_t>({value->size, value->ValueCapacity(), kConvertBufferSize - 1}));
  ConvertValue(value->data_type, std::min<std::uint32_t>(value->size, kConvertBufferSize - 1),
               value->scale, buffer, to.scale, to.size, to.data_type);
  if (to.data_type == fldString) {
    buffer[kConvertBufferSize - 1] = 0;
    return TextResult(to, reinterpret_cast<const char*>(buffer));
  }
  r->SetSize(std::max<std::uint32_t>(to.size, 1));
  std::memcpy(r->Value(), buffer, std::min<std::size_t>(r->size, kConvertBufferSize));
  return r;
}

// The ISO 8601 week of a day number.
int IsoWeek(std::int32_t day) {
  const int weekday = (day - 1) % 7 + 1;  // 0001-01-01 was a Monday
  const std::int32_t thursday = day - weekday + 4;
  int year, month, d;
  if (!DecodeDate(thursday, &year, &month, &d)) return 1;
  return (thursday - EncodeDate(year, 1, 1)) / 7 + 1;
}

// Rounds the shortest decimal text of `value` half away from zero at `places` decimals.
double RoundFloat(double value, int places) {
  if (!std::isfinite(value)) return value;
  char text[512];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  if (result.ec != std::errc()) return value;
  std::string digits(text, result.ptr);
  const bool negative = !digits.empty() && digits[0] == '-';
  if (negative) digits.erase(0, 1);
  std::size_t point = digits.find('.');
  if (point == std::string::npos) return value;
  const std::size_t keep = point + 1 + static_cast<std::size_t>(places);
  if (keep >= digits.size()) return value;
  const bool up = digits[keep] >= '5';
  digits.resize(keep);
  if (up) {
    std::ptrdiff_t i = static_cast<std::ptrdiff_t>(digits.size()) - 1;
    for (; i >= 0; --i) {
      if (digits[i] == '.') continue;
      if (digits[i] == '9') {
        digits[i] = '0';
        continue;
      }
      ++digits[i];
      break;
    }
    if (i < 0) digits.insert(digits.begin(), '1');
  }
  double rounded = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), rounded);
  return negative ? -rounded : rounded;
}

TExpTokenPtr TEvaluator::Function(const TExpToken& n) {
  const auto& args = n.arguments;
  auto arg = [&](std::size_t i) -> const TExpToken* { return i < args.size() ? args[i] : nullptr; };
  switch (n.op) {
    case opSum:
    case opRunSum:
    case opAvg:
    case opMin:
    case opMax: {
      TExpTokenPtr x = Eval(*arg(0));
      return Convert(std::move(x), n);
    }
    case opCount: {
      const TExpToken& a = *arg(0);
      if (a.kind == nkColumn && a.column_name == "*") {
        TExpTokenPtr r = Result(n);
        StoreInt(r.get(), 1);
        return r;
      }
      TExpTokenPtr x = Eval(a);
      if (x->null) return NullResult(n);
      TExpTokenPtr r = Result(n);
      StoreInt(r.get(), 1);
      return r;
    }
    case opUpper:
    case opLower: {
      TExpTokenPtr x = Eval(*arg(0));
      if (x->null) return NullResult(n);
      std::string text = x->StringValue();
      if (n.op == opUpper) {
        UpperText(language_id_, sort_id_, text);
      } else {
        LowerText(language_id_, sort_id_, text);
      }
      return TextResult(n, text);
    }
    case opLength: {
      TExpTokenPtr x = Eval(*arg(0));
      if (x->null) return NullResult(n);
      TExpTokenPtr r = Result(n);
      StoreInt(r.get(), static_cast<std::int64_t>(x->StringValue().size()));
      return r;
    }
    case opSubstring: {
      TExpTokenPtr x = Eval(*arg(0));
      TExpTokenPtr from = Eval(*arg(1));
      if (x->null) return NullResult(n);
      const std::string text = x->StringValue();
      std::int64_t start = from->null ? 1 : IntOf(*from);
      if (start < 1) start = 1;
      std::int64_t length = static_cast<std::int64_t>(text.size());
      if (arg(2) != nullptr) {
        TExpTokenPtr count = Eval(*arg(2));
        length = count->null ? 0 : IntOf(*count);
        if (length < 0) length = 0;
      }
      if (static_cast<std::uint64_t>(start) > text.size()) return NullResult(n);
      return TextResult(n, std::string_view(text).substr(static_cast<std::size_t>(start - 1),
                                                         static_cast<std::size_t>(length)));
    }
    case opReplace: {
      TExpTokenPtr search = Eval(*arg(0));
      TExpTokenPtr replacement = Eval(*arg(1));
      TExpTokenPtr target = Eval(*arg(2));
      if (target->null) return NullResult(n);
      const std::string text = target->StringValue();
      const std::string from = TextOf(*search), to = TextOf(*replacement);
      if (from.empty() || from == to) return TextResult(n, text);
      std::string out;
      std::size_t pos = 0;
      for (;;) {
        const std::size_t hit = text.find(from, pos);
        if (hit == std::string::npos) break;
        out.append(text, pos, hit - pos);
        out += to;
        pos = hit + from.size();
      }
      out.append(text, pos, std::string::npos);
      return TextResult(n, out);
    }
    case opPos:
    case opOccurs: {
      TExpTokenPtr search = Eval(*arg(0));
      TExpTokenPtr target = Eval(*arg(1));
      if (target->null) return NullResult(n);
      const std::string text = target->StringValue();
      const std::string what = TextOf(*search);
      TExpTokenPtr r = Result(n);
      std::int64_t value = 0;
      if (!what.empty()) {
        if (n.op == opPos) {
          const std::size_t hit = text.find(what);
          value = hit == std::string::npos ? 0 : static_cast<std::int64_t>(hit) + 1;
        } else {
          for (std::size_t pos = text.find(what); pos != std::string::npos;
               pos = text.find(what, pos + what.size())) {
            ++value;
          }
        }
      }
      StoreInt(r.get(), value);
      return r;
    }
    case opTrimLeading:
    case opTrimTrailing:
    case opTrimBoth: {
      TExpTokenPtr target = Eval(*arg(1));
      if (target->null) return NullResult(n);
      const char c = static_cast<char>(arg(0)->Value()[0]);
      std::string_view text;
      const std::string value = target->StringValue();
      text = value;
      if (n.op != opTrimTrailing) {
        while (!text.empty() && text.front() == c) text.remove_prefix(1);
      }
      if (n.op != opTrimLeading) {
        while (!text.empty() && text.back() == c) text.remove_suffix(1);
      }
      return TextResult(n, text);
    }
    case opCast: {
      TExpTokenPtr x = Eval(*arg(0));
      if (x->null) return NullResult(n);
      if (x->data_type == fldBlob || n.data_type == fldBlob) {
        if (n.data_type == fldString) {
          std::string text = x->StringValue();
          if (n.size > 0 && text.size() > n.size - 1) text.resize(n.size - 1);
          return TextResult(n, text);
        }
        TExpTokenPtr r = Result(n);
        CopyValue(r.get(), *x);
        return r;
      }
      return Convert(std::move(x), n);
    }
    case opExtractYear:
    case opExtractMonth:
    case opExtractWeek:
    case opExtractDay:
    case opExtractDayOfWeek:
    case opExtractDayOfYear:
    case opExtractHour:
    case opExtractMinute:
    case opExtractSecond: {
      TExpTokenPtr x = Eval(*arg(0));
      if (x->null || x->data_type == fldUnknown) return NullResult(n);
      std::int32_t day = 0, ms = 0;
      if (x->data_type == fldDate) {
        day = static_cast<std::int32_t>(IntOf(*x));
      } else if (x->data_type == fldTime) {
        ms = static_cast<std::int32_t>(IntOf(*x));
      } else if (!DecodeTimeStamp(FloatOf(*x), &day, &ms)) {
        return NullResult(n);
      }
      int year = 0, month = 0, mday = 0;
      if (day != 0 && !DecodeDate(day, &year, &month, &mday)) return NullResult(n);
      std::int64_t value = 0;
      switch (n.op) {
        case opExtractYear:
          value = year;
          break;
        case opExtractMonth:
          value = month;
          break;
        case opExtractDay:
          value = mday;
          break;
        case opExtractWeek:
          value = day == 0 ? 0 : IsoWeek(day);
          break;
        case opExtractDayOfWeek:
          value = day == 0 ? 0 : (day - 1) % 7 + 1;
          break;
        case opExtractDayOfYear:
          value = day == 0 ? 0 : day - EncodeDate(year, 1, 1) + 1;
          break;
        case opExtractHour:
          value = ms / 3600000;
          break;
        case opExtractMinute:
          value = ms / 60000 % 60;
          break;
        default:
          value = ms / 1000 % 60;
          break;
      }
      TExpTokenPtr r = Result(n);
      StoreInt(r.get(), value);
      return r;
    }
    case opIf:
    case opIfNull: {
      TExpTokenPtr first = Eval(*arg(0));
      const bool second =
          n.op == opIf ? (first->null == 0 && first->BooleanValue()) : first->null != 0;
      first.reset();
      return Convert(Eval(*arg(second ? 1 : 2)), n);
    }
    case opCoalesce:
      for (const TExpToken* a : args) {
        TExpTokenPtr x = Eval(*a);
        if (!x->null) return Convert(std::move(x), n);
      }
      return NullResult(n);
    case opAbs: {
      TExpTokenPtr x = Eval(*arg(0));
      if (x->null) return NullResult(n);
      TExpTokenPtr r = Result(n);
      switch (x->data_type) {
        case fldFloat:
          StoreFloat(r.get(), std::fabs(FloatOf(*x)));
          break;
        case fldBCD: {
          const __int128 s = ScaledOf(*x);
          if (!StoreBcd(r.get(), s < 0 ? -s : s)) return NullResult(n);
          break;
        }
        case fldWord:
          return x;
        default: {
          const std::int64_t v = IntOf(*x);
          StoreInt(r.get(),
                   v < 0 ? static_cast<std::int64_t>(0ull - static_cast<std::uint64_t>(v)) : v);
        }
      }
      return r;
    }
    case opRound: {
      TExpTokenPtr x = Eval(*arg(0));
      if (x->null) return NullResult(n);
      std::int64_t places = 0;
      if (arg(1) != nullptr) IntegerConstant(arg(1), &places);
      TExpTokenPtr r = Result(n);
      if (x->data_type == fldBCD) {
        if (places > 4) places = 4;
        __int128 factor = 1;
        for (std::int64_t i = places; i < 4; ++i) factor *= 10;
        const __int128 s = ScaledOf(*x);
        if (!StoreBcd(r.get(), DivideRounded(s, factor) * factor)) return NullResult(n);
      } else {
        StoreFloat(r.get(), RoundFloat(FloatOf(*x), static_cast<int>(places)));
      }
      return r;
    }
    case opTextSearch:
    case opTextOccurs: {
      const TExpToken& column = *arg(1);
      std::int32_t occurrences = 0;
      bool found = false;
      if (owner_ != nullptr && column.source_table != nullptr) {
        found = owner_->TextSearch(column, arg(0)->StringValue(), record_, &occurrences);
      }
      if (n.op == opTextSearch) return BooleanResult(found);
      TExpTokenPtr r = Result(n);
      StoreInt(r.get(), occurrences);
      return r;
    }
    case opLastAutoInc:
    case opIdentCurrent: {
      TExpTokenPtr r = Result(n);
      StoreInt(r.get(), owner_ != nullptr ? owner_->LastAutoInc(arg(0)->StringValue()) : 0);
      return r;
    }
    default:
      return NullResult(n);
  }
}

TExpTokenPtr TEvaluator::Predicate(const TExpToken& n) {
  const auto& args = n.arguments;
  TExpTokenPtr tested = Eval(*args[0]);
  switch (n.op) {
    case opLike:
    case opNotLike: {
      TExpTokenPtr pattern = Eval(*args[1]);
      bool match = false;
      if (!tested->null && !pattern->null) {
        match =
            MatchLikeText(language_id_, sort_id_, tested->StringValue(), pattern->StringValue());
      }
      return BooleanResult(n.op == opLike ? match : !match);
    }
    case opIn:
    case opNotIn: {
      bool found = false;
      for (std::size_t i = 1; i < args.size() && !found; ++i) {
        TExpTokenPtr value = Eval(*args[i]);
        found = CompareOp(opEqual, *tested, *value);
      }
      return BooleanResult(n.op == opIn ? found : !found);
    }
    case opBetween:
    case opNotBetween: {
      TExpTokenPtr low = Eval(*args[1]);
      bool inside = CompareOp(opGreaterEqual, *tested, *low);
      if (inside) {
        low.reset();
        TExpTokenPtr high = Eval(*args[2]);
        inside = CompareOp(opLessEqual, *tested, *high);
      }
      return BooleanResult(n.op == opBetween ? inside : !inside);
    }
    case opInSelect:
    case opNotInSelect: {
      const bool found = owner_ != nullptr && owner_->SubSelectHolds(args[1]->sub_query, *tested);
      return BooleanResult(n.op == opInSelect ? found : !found);
    }
    default:
      return BooleanResult(false);
  }
}

}  // namespace

void TypeCheck(const TTypeCheckOptions& options, TExpressionOwner* owner, TExpTokenPtr* root) {
  TTypeChecker checker(options, owner);
  // A failure leaves the tree held by `root`; only the boolean rewrite replaces the root.
  TExpToken* checked = checker.Check(root->get(), nullptr);
  if (checked != root->get()) {
    root->release();
    root->reset(checked);
  }
}

TExpTokenPtr Evaluate(const TExpToken& root, const std::uint8_t* record, TExpressionOwner* owner,
                      std::uint16_t language_id, std::uint16_t sort_id) {
  TEvaluator evaluator(record, owner, language_id, sort_id);
  return evaluator.Eval(root);
}

}  // namespace tabula
