// Parameter lists of the dataset framework: named, typed values that a statement takes in
// place of the "?" markers of its text.
//
// A parameter keeps its name, its data type (ftUnknown until a value or a type is given), its
// kind (input, output, ...), its value and whether it is bound (given a value by the
// application rather than taken from a master dataset). ParseSQL turns the ":name" markers of a
// statement into "?" and can create one parameter per marker.
//
// Thread-safety: one thread, with the dataset that owns the list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/fields.h"

namespace tabula {

enum TParamType : std::uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

inline constexpr const char* kParameterNotFound = "Parameter '%s' not found";

class TParam {
 public:
  TParam(const std::string& name, TFieldType type, TParamType param_type)
      : name_(name), data_type_(type), param_type_(param_type) {}

  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  TFieldType DataType() const { return data_type_; }
  // Changing the type keeps the value as text and converts it on reading.
  void SetDataType(TFieldType type) { data_type_ = type; }
  TParamType ParamType() const { return param_type_; }
  void SetParamType(TParamType type) { param_type_ = type; }
  bool Bound() const { return bound_; }
  void SetBound(bool value) { bound_ = value; }
  bool IsNull() const { return null_; }

  // Each setter sets the matching data type (unless one is set already) and marks the
  // parameter bound.
  void SetAsString(const std::string& value);
  void SetAsInteger(std::int32_t value);
  void SetAsLargeInt(std::int64_t value);
  void SetAsFloat(double value);
  void SetAsBoolean(bool value);
  void SetAsDateTime(TDateTime value);
  // Null, keeping the type; the parameter stays bound.
  void Clear();

  // Null reads as empty text, 0 or false. Raises on a value that does not convert.
  std::string AsString() const;
  std::int32_t AsInteger() const;
  std::int64_t AsLargeInt() const;
  double AsFloat() const;
  bool AsBoolean() const;
  TDateTime AsDateTime() const;

  // Takes name, types, value and bound flag of `other`.
  void Assign(const TParam& other);
  // Takes the value (and type, when known) of a field of the active record.
  void AssignField(const TField& field);

 private:
  enum class TKind : std::uint8_t { kText, kInteger, kFloat };
  void Store(TKind kind, TFieldType default_type);

  std::string name_;
  TFieldType data_type_;
  TParamType param_type_;
  bool bound_ = false;
  bool null_ = true;
  TKind kind_ = TKind::kText;
  std::string text_;
  std::int64_t integer_ = 0;
  double number_ = 0.0;
};

class TParams {
 public:
  TParams() = default;
  TParams(const TParams&) = delete;
  TParams& operator=(const TParams&) = delete;

  TParam& CreateParam(TFieldType type, const std::string& name, TParamType param_type);
  int Count() const { return static_cast<int>(items_.size()); }
  TParam& Items(int index) const { return *items_.at(static_cast<std::size_t>(index)); }
  // The first parameter of that name (compared without regard to case), or null.
  TParam* FindParam(const std::string& name) const;
  // Raises "Parameter '%s' not found".
  TParam& ParamByName(const std::string& name) const;
  void Clear() { items_.clear(); }
  // Every parameter of this list whose name `other` also has takes the value and type of the
  // first such parameter of `other`.
  void AssignValues(const TParams& other);
  // Copies the whole list.
  void Assign(const TParams& other);

  // The statement `sql` with each ":name" outside quoted text ('...', "...", `...`) replaced
  // by "?", and "::" by ":". With `create`, the list is cleared and one parameter of unknown
  // type is created for each marker, in order of appearance.
  std::string ParseSQL(const std::string& sql, bool create);

 private:
  std::vector<std::unique_ptr<TParam>> items_;
};

}  // namespace tabula
