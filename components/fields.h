// Field objects, field definitions and index definitions of the dataset framework.
//
// A dataset describes its columns twice: as field definitions (TFieldDefs: name, type, size,
// precision, required), which say what the underlying table holds, and as field objects
// (TField), through which an application reads and writes the values of the dataset's active
// record. Fields are found by name without regard to case. A field keeps no value of its own:
// it asks its dataset for the bytes of the active record buffer and converts them.
//
// Values travel between fields and datasets in the engine's stored form: a string is its
// characters followed by a zero byte, a date the day number (0001-01-01 is day 1), a date-time
// the day number times 86400000 plus the milliseconds, a boolean 16 bits of 0 or 1, and so on
// (see engine/storage/field_types.h). Date and time values reach the application as TDateTime:
// days since 1899-12-30 with the time of day as the fraction.
//
// Thread-safety: a dataset and its fields are used by one thread.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tabula {

class TDataSet;

// Days since 1899-12-30; the fraction is the time of day.
using TDateTime = double;

// The current local date and time, and today's date (through the engine's platform layer).
TDateTime Now();
TDateTime Date();
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);
// False when the value lies outside 0001-01-01 .. 9999-12-31.
bool DecodeDateTime(TDateTime value, int* year, int* month, int* day, int* hour, int* minute,
                    int* second, int* millisecond);

enum TFieldType : std::uint8_t {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftGuid,
};

// The type's name as an application writes it ("ftString").
const char* FieldTypeName(TFieldType type);
// True for the kinds whose values live in the BLOB file.
inline bool IsBlobType(TFieldType type) {
  switch (type) {
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
      return true;
    default:
      return false;
  }
}
// True for the text kinds (string, fixed char, wide string, GUID).
inline bool IsStringType(TFieldType type) {
  return type == ftString || type == ftFixedChar || type == ftWideString || type == ftGuid;
}
// Bytes of a value of this type in the engine's stored form; `size` is the declared size.
std::size_t FieldDataSize(TFieldType type, int size);

enum TFieldKind : std::uint8_t { fkData, fkCalculated };

// ---- Field definitions -------------------------------------------------------------------

class TFieldDef {
 public:
  TFieldDef(const std::string& name, TFieldType type, int size, bool required, int field_no)
      : name_(name), data_type_(type), size_(size), required_(required), field_no_(field_no) {}

  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  TFieldType DataType() const { return data_type_; }
  void SetDataType(TFieldType type) { data_type_ = type; }
  // Characters of a string, bytes of a bytes field, decimals of a BCD field.
  int Size() const { return size_; }
  void SetSize(int size) { size_ = size; }
  // Digits of a BCD value (32 for the engine's BCD fields).
  int Precision() const { return precision_; }
  void SetPrecision(int precision) { precision_ = precision; }
  bool Required() const { return required_; }
  void SetRequired(bool required) { required_ = required; }
  // The engine's field number (1-based) for definitions read from a table; the position for
  // definitions made by an application.
  int FieldNo() const { return field_no_; }
  void SetFieldNo(int field_no) { field_no_ = field_no; }

 private:
  std::string name_;
  TFieldType data_type_;
  int size_;
  int precision_ = 0;
  bool required_;
  int field_no_;
};

class TFieldDefs {
 public:
  TFieldDefs() = default;
  TFieldDefs(const TFieldDefs&) = delete;
  TFieldDefs& operator=(const TFieldDefs&) = delete;

  // Adds a definition numbered by its position.
  TFieldDef& Add(const std::string& name, TFieldType type, int size = 0, bool required = false);
  void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  TFieldDef& Items(int index) const { return *items_.at(static_cast<std::size_t>(index)); }
  // -1 when no definition has that name (compared without regard to case).
  int IndexOf(const std::string& name) const;
  // Raises "Field '%s' not found".
  TFieldDef& Find(const std::string& name) const;
  // Copies every definition of `other`.
  void Assign(const TFieldDefs& other);

  // False when the definitions must be read again from the table before use.
  bool Updated() const { return updated_; }
  void SetUpdated(bool updated) { updated_ = updated; }

 private:
  std::vector<std::unique_ptr<TFieldDef>> items_;
  bool updated_ = false;
};

// ---- Index definitions -------------------------------------------------------------------

enum TIndexOption : std::uint8_t {
  ixPrimary = 1,
  ixUnique = 2,
  ixDescending = 4,
  ixCaseInsensitive = 8,
};
using TIndexOptions = std::uint8_t;  // a set of TIndexOption bits

class TIndexDef {
 public:
  TIndexDef(const std::string& name, const std::string& fields, TIndexOptions options)
      : name_(name), fields_(fields), options_(options) {}

  const std::string& Name() const { return name_; }
  // Field names in key order, separated by ";".
  const std::string& Fields() const { return fields_; }
  TIndexOptions Options() const { return options_; }

 private:
  std::string name_;
  std::string fields_;
  TIndexOptions options_;
};

class TIndexDefs {
 public:
  TIndexDefs() = default;
  TIndexDefs(const TIndexDefs&) = delete;
  TIndexDefs& operator=(const TIndexDefs&) = delete;

  TIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options);
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  TIndexDef& Items(int index) const { return *items_.at(static_cast<std::size_t>(index)); }
  // -1 when no definition has that name (compared without regard to case).
  int IndexOf(const std::string& name) const;
  // Raises "Index '%s' not found".
  TIndexDef& Find(const std::string& name) const;
  // The first index whose fields are exactly `fields` (names compared without regard to case,
  // ";"-separated); null when there is none.
  TIndexDef* FindIndexForFields(const std::string& fields) const;
  void Assign(const TIndexDefs& other);

  bool Updated() const { return updated_; }
  void SetUpdated(bool updated) { updated_ = updated; }

 private:
  std::vector<std::unique_ptr<TIndexDef>> items_;
  bool updated_ = false;
};

// Splits a ";"-separated list of names, trimming blanks; empty names are dropped.
std::vector<std::string> SplitFieldNames(const std::string& names);

// ---- Fields ------------------------------------------------------------------------------

// One column of a dataset's active record. Created by the dataset (from its field definitions,
// or as a calculated field by the application) and owned by its TFields list.
class TField {
 public:
  TField(TDataSet& dataset, const std::string& name, TFieldType type, int size, TFieldKind kind);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  TDataSet& DataSet() const { return dataset_; }
  const std::string& FieldName() const { return field_name_; }
  TFieldType DataType() const { return data_type_; }
  int Size() const { return size_; }
  TFieldKind FieldKind() const { return kind_; }
  bool Calculated() const { return kind_ == fkCalculated; }
  // The engine's field number of a data field; 0 until bound, negative for calculated fields.
  int FieldNo() const { return field_no_; }
  void SetFieldNo(int field_no) { field_no_ = field_no; }
  // Position in the dataset's field list.
  int Index() const { return index_; }
  // Bytes of the value in the stored form.
  std::size_t DataSize() const { return data_size_; }
  // Offset of a calculated field's flag byte in the dataset's calculated-field area.
  std::size_t Offset() const { return offset_; }
  void SetOffset(std::size_t offset) { offset_ = offset; }

  const std::string& DisplayLabel() const { return display_label_; }
  void SetDisplayLabel(const std::string& label) { display_label_ = label; }
  // The label when set, else the field name.
  const std::string& DisplayName() const {
    return display_label_.empty() ? field_name_ : display_label_;
  }
  // The source of the field as "table.field".
  const std::string& Origin() const { return origin_; }
  void SetOrigin(const std::string& origin) { origin_ = origin; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  // False for read-only fields and fields of a dataset that cannot be modified.
  bool CanModify() const;

  // ---- Values of the dataset's active record buffer.
  bool IsNull() const;
  std::string AsString() const;
  std::int32_t AsInteger() const;
  std::int64_t AsLargeInt() const;
  double AsFloat() const;
  bool AsBoolean() const;
  TDateTime AsDateTime() const;
  // Refused unless the dataset is in a state that allows writing (see TDataSet::SetFieldData).
  void SetAsString(const std::string& value);
  void SetAsInteger(std::int32_t value);
  void SetAsLargeInt(std::int64_t value);
  void SetAsFloat(double value);
  void SetAsBoolean(bool value);
  void SetAsDateTime(TDateTime value);
  void Clear();

  // The value in the stored form (DataSize bytes); false when null.
  bool GetData(std::vector<std::uint8_t>* buffer) const;
  // Stores a value in the stored form; `value` null stores null.
  void SetData(const std::uint8_t* value, std::size_t size);

  // Fired after the value changed.
  std::function<void(TField& Sender)> OnChange;

 private:
  friend class TFields;
  // Value conversions shared by the getters.
  [[noreturn]] void ConversionError(const char* wanted) const;
  void SetInteger64(std::int64_t value);

  TDataSet& dataset_;  // owns this field through its TFields
  std::string field_name_;
  TFieldType data_type_;
  int size_;
  TFieldKind kind_;
  std::size_t data_size_;  // FieldDataSize of the type and size, which never change
  int field_no_ = 0;
  int index_ = 0;
  std::size_t offset_ = 0;
  std::string display_label_;
  std::string origin_;
  bool read_only_ = false;
  bool required_ = false;
};

// The dataset's field objects, in column order. Applications look fields up by name on every
// record they read or write, so the list keeps a hash table of the names (without regard to
// case) beside it: a lookup costs one hash of the name, not a comparison with every field.
class TFields {
 public:
  TFields() = default;
  TFields(const TFields&) = delete;
  TFields& operator=(const TFields&) = delete;

  TField& Add(std::unique_ptr<TField> field);
  // Puts `fields` ahead of the present ones, in their order.
  void InsertFront(std::vector<std::unique_ptr<TField>> fields);
  // Removes the data fields, keeping calculated ones.
  void RemoveDataFields();
  void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  TField& Fields(int index) const;  // raises "Field index out of range."
  // The first field (in column order) with that name; null when there is none.
  TField* FindField(std::string_view name) const {
    // The name learnt at this point of the caller's loop, checked here so that the common case
    // costs no call.
    if (last_found_ < next_name_.size()) {
      const TRecentName& predicted = next_name_[last_found_];
      if (predicted.size != 0 && predicted.size == name.size() &&
          SameNameBytes(predicted.name, name)) {
        last_found_ = static_cast<std::size_t>(predicted.field->Index()) + 1;
        return predicted.field;
      }
    }
    return FindFieldSlowly(name);
  }
  // Raises "Field '%s' not found".
  TField& FieldByName(std::string_view name) const;
  TField* FieldByNumber(int field_no) const;

 private:
  // Numbers the fields by position and builds the name table again.
  void Renumber();
  void IndexName(std::size_t position);

  std::vector<std::unique_ptr<TField>> items_;
  struct TNameSlot {
    std::uint32_t hash = 0;      // HashText of the field's name
    std::uint32_t position = 0;  // position + 1 of the field; 0 for an empty slot
  };
  // Open addressing over the case-insensitive hash of each name, listing the first field of
  // each name only. Its size is a power of two, at least four times the number of fields.
  std::vector<TNameSlot> by_name_;
  // The last few names looked up, byte for byte as the caller wrote them, with their fields: a
  // loop that reads the same fields of every record compares a few bytes instead of hashing.
  // Emptied with the name table.
  struct TRecentName {
    std::uint8_t size = 0;  // 0: unused
    char name[31];
    TField* field = nullptr;  // owned by items_
  };
  // Stores `name` (when it fits) and `field` in the entry; false when the name does not fit.
  static bool Remember(TRecentName* entry, std::string_view name, TField* field);
  static constexpr std::size_t kRecentNames = 4;
  mutable std::array<TRecentName, kRecentNames> recent_{};
  mutable std::size_t recent_next_ = 0;
  // What was looked up right after each field the last time (entry position + 1; entry 0 for
  // the first lookup after the list changed). Code that writes or reads many fields of every
  // record, always in the same order, finds each one by comparing its name with the name it
  // wrote last time at this point, however many fields it uses. Emptied with the name table.
  mutable std::vector<TRecentName> next_name_;
  mutable std::size_t last_found_ = 0;  // entry of next_name_ for the next lookup
  void ForgetRecentNames() const;
  TField* FindFieldSlowly(std::string_view name) const;
  // Whether remembered name bytes equal `name` (at most 31 bytes, sizes equal): words of eight
  // bytes, the last one overlapping, compare without a call.
  static bool SameNameBytes(const char* stored, std::string_view name) {
    const std::size_t size = name.size();
    if (size < 8) return std::memcmp(stored, name.data(), size) == 0;
    std::uint64_t a, b;
    for (std::size_t at = 0; at + 8 < size; at += 8) {
      std::memcpy(&a, stored + at, 8);
      std::memcpy(&b, name.data() + at, 8);
      if (a != b) return false;
    }
    std::memcpy(&a, stored + size - 8, 8);
    std::memcpy(&b, name.data() + size - 8, 8);
    return a == b;
  }
};

}  // namespace tabula
