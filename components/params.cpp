#include "components/params.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "components/component.h"
#include "components/dataset.h"
#include "engine/base/engine_error.h"

namespace tabula {

namespace {

bool IsNameChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c >= 128;
}

std::string NumberText(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

}  // namespace

void TParam::Store(TKind kind, TFieldType default_type) {
  kind_ = kind;
  null_ = false;
  bound_ = true;
  if (data_type_ == ftUnknown) data_type_ = default_type;
}

void TParam::SetAsString(const std::string& value) {
  text_ = value;
  Store(TKind::kText, ftString);
}

void TParam::SetAsInteger(std::int32_t value) {
  integer_ = value;
  Store(TKind::kInteger, ftInteger);
}

void TParam::SetAsLargeInt(std::int64_t value) {
  integer_ = value;
  Store(TKind::kInteger, ftLargeint);
}

void TParam::SetAsFloat(double value) {
  number_ = value;
  Store(TKind::kFloat, ftFloat);
}

void TParam::SetAsBoolean(bool value) {
  integer_ = value ? 1 : 0;
  Store(TKind::kInteger, ftBoolean);
}

void TParam::SetAsDateTime(TDateTime value) {
  number_ = value;
  Store(TKind::kFloat, ftDateTime);
}

void TParam::Clear() {
  null_ = true;
  bound_ = true;
  text_.clear();
  integer_ = 0;
  number_ = 0.0;
}

std::string TParam::AsString() const {
  if (null_) return std::string();
  switch (kind_) {
    case TKind::kText:
      return text_;
    case TKind::kInteger:
      if (data_type_ == ftBoolean) return integer_ != 0 ? "True" : "False";
      return std::to_string(integer_);
    case TKind::kFloat:
      return NumberText(number_);
  }
  return std::string();
}

std::int64_t TParam::AsLargeInt() const {
  if (null_) return 0;
  switch (kind_) {
    case TKind::kInteger:
      return integer_;
    case TKind::kFloat:
      return std::llround(number_);
    case TKind::kText: {
      char* end = nullptr;
      errno = 0;
      const long long value = std::strtoll(text_.c_str(), &end, 10);
      if (text_.empty() || errno != 0 || *end != '\0') {
        DatabaseError(FormatMessageText(kInvalidFieldValue, {text_, name_}));
      }
      return value;
    }
  }
  return 0;
}

std::int32_t TParam::AsInteger() const { return static_cast<std::int32_t>(AsLargeInt()); }

double TParam::AsFloat() const {
  if (null_) return 0.0;
  switch (kind_) {
    case TKind::kInteger:
      return static_cast<double>(integer_);
    case TKind::kFloat:
      return number_;
    case TKind::kText: {
      char* end = nullptr;
      const double value = std::strtod(text_.c_str(), &end);
      if (text_.empty() || *end != '\0') {
        DatabaseError(FormatMessageText(kInvalidFieldValue, {text_, name_}));
      }
      return value;
    }
  }
  return 0.0;
}

bool TParam::AsBoolean() const {
  if (null_) return false;
  if (kind_ == TKind::kText) {
    if (SameText(text_, "True") || text_ == "1") return true;
    if (SameText(text_, "False") || text_ == "0") return false;
    DatabaseError(FormatMessageText(kInvalidFieldValue, {text_, name_}));
  }
  return AsFloat() != 0.0;
}

TDateTime TParam::AsDateTime() const { return AsFloat(); }

void TParam::Assign(const TParam& other) {
  if (&other == this) return;
  *this = other;
}

void TParam::AssignField(const TField& field) {
  if (data_type_ == ftUnknown)
    data_type_ = field.DataType() == ftAutoInc ? ftInteger : field.DataType();
  if (field.IsNull()) {
    Clear();
    return;
  }
  switch (field.DataType()) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      SetAsLargeInt(field.AsLargeInt());
      break;
    case ftBoolean:
      SetAsBoolean(field.AsBoolean());
      break;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
      SetAsFloat(field.AsFloat());
      break;
    case ftDate:
    case ftTime:
    case ftDateTime:
      SetAsDateTime(field.AsDateTime());
      break;
    default:
      SetAsString(field.AsString());
      break;
  }
}

TParam& TParams::CreateParam(TFieldType type, const std::string& name, TParamType param_type) {
  items_.push_back(std::make_unique<TParam>(name, type, param_type));
  return *items_.back();
}

TParam* TParams::FindParam(const std::string& name) const {
  for (const auto& item : items_) {
    if (SameText(item->Name(), name)) return item.get();
  }
  return nullptr;
}

TParam& TParams::ParamByName(const std::string& name) const {
  TParam* param = FindParam(name);
  if (param == nullptr) DatabaseError(kParameterNotFound, name);
  return *param;
}

void TParams::AssignValues(const TParams& other) {
  for (const auto& item : items_) {
    if (const TParam* source = other.FindParam(item->Name())) {
      const std::string name = item->Name();
      item->Assign(*source);
      item->SetName(name);
    }
  }
}

void TParams::Assign(const TParams& other) {
  if (&other == this) return;
  items_.clear();
  for (const auto& item : other.items_) items_.push_back(std::make_unique<TParam>(*item));
}

std::string TParams::ParseSQL(const std::string& sql, bool create) {
  if (create) items_.clear();
  std::string result;
  result.reserve(sql.size());
  char quote = 0;
  for (std::size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (quote != 0) {
      result += c;
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"' || c == '`') {
      quote = c;
      result += c;
      continue;
    }
    if (c != ':') {
      result += c;
      continue;
    }
    if (i + 1 < sql.size() && sql[i + 1] == ':') {
      result += ':';
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < sql.size() && IsNameChar(static_cast<unsigned char>(sql[end]))) ++end;
    if (end == i + 1) {
      result += c;
      continue;
    }
    if (create) CreateParam(ftUnknown, sql.substr(i + 1, end - i - 1), ptInput);
    result += '?';
    i = end - 1;
  }
  return result;
}

}  // namespace tabula
