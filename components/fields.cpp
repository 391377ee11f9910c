#include "components/fields.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>

#include "components/component.h"
#include "components/dataset.h"
#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/storage/field_types.h"

namespace tabula {

namespace {

constexpr double kDaysBeforeOrigin = 693594.0;  // day number of 1899-12-30
constexpr double kMsPerDay = 86400000.0;

std::string Trim(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
  while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
  return text.substr(first, last - first);
}

// Milliseconds since 0001-01-01 minus one day (the engine's timestamp value) of a TDateTime.
double TimeStampOf(TDateTime value) { return std::round((value + kDaysBeforeOrigin) * kMsPerDay); }
TDateTime DateTimeOf(double time_stamp) { return time_stamp / kMsPerDay - kDaysBeforeOrigin; }

// Parses "yyyy-mm-dd", "hh:nn[:ss[.zzz]]" or both separated by a blank or "T".
bool ParseDateTime(const std::string& given, TDateTime* value) {
  const std::string text = Trim(given);
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  std::size_t at = 0;
  auto number = [&](int* out, std::size_t max_digits) {
    std::size_t start = at;
    long result = 0;
    while (at < text.size() && at - start < max_digits &&
           std::isdigit(static_cast<unsigned char>(text[at]))) {
      result = result * 10 + (text[at] - '0');
      ++at;
    }
    *out = static_cast<int>(result);
    return at > start;
  };
  bool has_date = false;
  if (text.find('-') != std::string::npos) {
    if (!number(&year, 4) || at >= text.size() || text[at++] != '-' || !number(&month, 2) ||
        at >= text.size() || text[at++] != '-' || !number(&day, 2)) {
      return false;
    }
    if (!IsValidDate(year, month, day)) return false;
    has_date = true;
    if (at < text.size()) {
      if (text[at] != ' ' && text[at] != 'T') return false;
      ++at;
    }
  }
  if (at < text.size()) {
    if (!number(&hour, 2) || at >= text.size() || text[at++] != ':' || !number(&minute, 2)) {
      return false;
    }
    if (at < text.size() && text[at] == ':') {
      ++at;
      if (!number(&second, 2)) return false;
      if (at < text.size() && text[at] == '.') {
        ++at;
        if (!number(&ms, 3)) return false;
      }
    }
    if (at != text.size() || hour > 23 || minute > 59 || second > 59) return false;
  }
  if (!has_date && text.empty()) return false;
  const double days = has_date ? EncodeDate(year, month, day) - kDaysBeforeOrigin : 0.0;
  *value = days + ((hour * 60.0 + minute) * 60.0 + second + ms / 1000.0) / 86400.0;
  return true;
}

std::string TwoDigits(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

std::string DateText(int year, int month, int day) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

std::string FloatText(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

bool ParseInteger(const std::string& given, std::int64_t* value) {
  const std::string text = Trim(given);
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long result = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = result;
  return true;
}

// The bytes of one field value. Every engine field fits the local array; only a calculated field
// declared larger goes to the heap, so that reading a value allocates nothing.
class TValueBuffer {
 public:
  explicit TValueBuffer(std::size_t size) : size_(size) {
    if (size > sizeof local_) heap_.resize(size);
    std::memset(data(), 0, size);
  }
  std::uint8_t* data() { return heap_.empty() ? local_ : heap_.data(); }
  std::size_t size() const { return size_; }

 private:
  std::uint8_t local_[256];
  std::vector<std::uint8_t> heap_;
  std::size_t size_;
};

// The value of a field in the dataset's active record, for reading: where the dataset stores
// the value in the stored form it is read in place, else it is copied out.
class TFieldValue {
 public:
  explicit TFieldValue(const TField& field) : field_(field), size_(field.DataSize()) {}
  TFieldValue(const TFieldValue&) = delete;
  TFieldValue& operator=(const TFieldValue&) = delete;
  // Finds (or copies) the value; false when null.
  bool Read() {
    bool in_place = false;
    data_ = field_.DataSet().FieldValueInPlace(field_, &in_place);
    if (in_place) return data_ != nullptr;
    copy_.emplace(size_);
    data_ = copy_->data();
    return field_.DataSet().GetFieldData(field_, copy_->data());
  }
  // REQUIRES: Read() returned true.
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  const TField& field_;
  std::size_t size_;
  const std::uint8_t* data_ = nullptr;
  std::optional<TValueBuffer> copy_;
};

bool ParseFloat(const std::string& given, double* value) {
  const std::string text = Trim(given);
  if (text.empty()) return false;
  char* end = nullptr;
  const double result = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(result)) return false;
  *value = result;
  return true;
}

}  // namespace

// ---- Date and time ---------------------------------------------------------------------------

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  return EncodeDate(year, month, day) - kDaysBeforeOrigin +
         (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / kMsPerDay;
}

bool DecodeDateTime(TDateTime value, int* year, int* month, int* day, int* hour, int* minute,
                    int* second, int* millisecond) {
  std::int32_t day_number = 0;
  std::int32_t ms = 0;
  if (!DecodeTimeStamp(TimeStampOf(value), &day_number, &ms)) return false;
  if (!DecodeDate(day_number, year, month, day)) return false;
  *hour = ms / 3600000;
  *minute = ms / 60000 % 60;
  *second = ms / 1000 % 60;
  *millisecond = ms % 1000;
  return true;
}

TDateTime Now() {
  const TLocalDateTime now = CurrentPlatform().LocalDateTime();
  return EncodeDateTime(now.year, now.month, now.day, now.hour, now.minute, now.second,
                        now.millisecond);
}

TDateTime Date() { return std::floor(Now()); }

// ---- Types -----------------------------------------------------------------------------------

const char* FieldTypeName(TFieldType type) {
  static const char* const kNames[] = {
      "ftUnknown",  "ftString",     "ftSmallint", "ftInteger",     "ftWord",      "ftBoolean",
      "ftFloat",    "ftCurrency",   "ftBCD",      "ftDate",        "ftTime",      "ftDateTime",
      "ftBytes",    "ftVarBytes",   "ftAutoInc",  "ftBlob",        "ftMemo",      "ftGraphic",
      "ftFmtMemo",  "ftParadoxOle", "ftDBaseOle", "ftTypedBinary", "ftFixedChar", "ftWideString",
      "ftLargeint", "ftGuid"};
  const std::size_t index = type;
  return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "ftUnknown";
}

std::size_t FieldDataSize(TFieldType type, int size) {
  const std::size_t declared = size > 0 ? static_cast<std::size_t>(size) : 0;
  switch (type) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid:
      return declared + 1;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      return 2;
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime:
      return 4;
    case ftFloat:
    case ftCurrency:
    case ftDateTime:
    case ftLargeint:
      return 8;
    case ftBCD:
      return kBcdValueSize;
    case ftBytes:
    case ftVarBytes:
      return declared;
    default:
      return IsBlobType(type) ? kBlobValueSize : 0;
  }
}

std::vector<std::string> SplitFieldNames(const std::string& names) {
  std::vector<std::string> result;
  std::size_t start = 0;
  while (start <= names.size()) {
    const std::size_t end = names.find(';', start);
    const std::string name =
        Trim(names.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (!name.empty()) result.push_back(name);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return result;
}

// ---- Definitions -----------------------------------------------------------------------------

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required) {
  items_.push_back(std::make_unique<TFieldDef>(name, type, size, required, Count() + 1));
  if (type == ftBCD) items_.back()->SetPrecision(32);
  return *items_.back();
}

void TFieldDefs::Clear() { items_.clear(); }

int TFieldDefs::IndexOf(const std::string& name) const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (SameText(items_[i]->Name(), name)) return static_cast<int>(i);
  }
  return -1;
}

TFieldDef& TFieldDefs::Find(const std::string& name) const {
  const int index = IndexOf(name);
  if (index < 0) DatabaseError(kFieldNotFound, name);
  return Items(index);
}

void TFieldDefs::Assign(const TFieldDefs& other) {
  if (&other == this) return;
  items_.clear();
  for (const auto& item : other.items_) items_.push_back(std::make_unique<TFieldDef>(*item));
}

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields,
                           TIndexOptions options) {
  items_.push_back(std::make_unique<TIndexDef>(name, fields, options));
  return *items_.back();
}

int TIndexDefs::IndexOf(const std::string& name) const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (SameText(items_[i]->Name(), name)) return static_cast<int>(i);
  }
  return -1;
}

TIndexDef& TIndexDefs::Find(const std::string& name) const {
  const int index = IndexOf(name);
  if (index < 0) DatabaseError(kIndexNotFound, name);
  return Items(index);
}

TIndexDef* TIndexDefs::FindIndexForFields(const std::string& fields) const {
  const std::vector<std::string> wanted = SplitFieldNames(fields);
  if (wanted.empty()) return nullptr;
  for (const auto& item : items_) {
    const std::vector<std::string> have = SplitFieldNames(item->Fields());
    if (have.size() != wanted.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < have.size() && same; ++i) same = SameText(have[i], wanted[i]);
    if (same) return item.get();
  }
  return nullptr;
}

void TIndexDefs::Assign(const TIndexDefs& other) {
  if (&other == this) return;
  items_.clear();
  for (const auto& item : other.items_) items_.push_back(std::make_unique<TIndexDef>(*item));
}

// ---- Field objects ---------------------------------------------------------------------------

TField::TField(TDataSet& dataset, const std::string& name, TFieldType type, int size,
               TFieldKind kind)
    : dataset_(dataset),
      field_name_(name),
      data_type_(type),
      size_(size),
      kind_(kind),
      data_size_(FieldDataSize(type, size)) {}

bool TField::CanModify() const { return !read_only_ && dataset_.CanModify(); }

void TField::ConversionError(const char* wanted) const {
  DatabaseError(FormatMessageText(kFieldConversion, {FieldName(), wanted}));
}

bool TField::GetData(std::vector<std::uint8_t>* buffer) const {
  buffer->assign(DataSize(), 0);
  return dataset_.GetFieldData(*this, buffer->data());
}

void TField::SetData(const std::uint8_t* value, std::size_t size) {
  dataset_.SetFieldData(*this, value, size);
}

bool TField::IsNull() const {
  TFieldValue data(*this);
  return !data.Read();
}

std::string TField::AsString() const {
  if (IsBlobType(data_type_)) return dataset_.GetBlobData(*this);
  TFieldValue data(*this);
  if (!data.Read()) return std::string();
  const std::uint8_t* p = data.data();
  switch (data_type_) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid: {
      const std::size_t length = strnlen(reinterpret_cast<const char*>(p), data.size());
      return std::string(reinterpret_cast<const char*>(p), length);
    }
    case ftBoolean:
      return AsBoolean() ? "True" : "False";
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      return std::to_string(AsLargeInt());
    case ftFloat:
    case ftCurrency:
      return FloatText(AsFloat());
    case ftBCD: {
      std::string text;
      if (!BcdToText(p, &text)) ConversionError("text");
      return text;
    }
    case ftDate:
    case ftTime:
    case ftDateTime: {
      int year, month, day, hour, minute, second, ms;
      if (data_type_ == ftTime) {
        const std::int32_t value = static_cast<std::int32_t>(DecodeFixed32(p));
        return TwoDigits(value / 3600000 % 24) + ":" + TwoDigits(value / 60000 % 60) + ":" +
               TwoDigits(value / 1000 % 60);
      }
      if (!DecodeDateTime(AsDateTime(), &year, &month, &day, &hour, &minute, &second, &ms)) {
        return std::string();
      }
      std::string text = DateText(year, month, day);
      if (data_type_ == ftDateTime) {
        text += " " + TwoDigits(hour) + ":" + TwoDigits(minute) + ":" + TwoDigits(second);
      }
      return text;
    }
    default:
      return std::string(reinterpret_cast<const char*>(p), data.size());
  }
}

std::int64_t TField::AsLargeInt() const {
  TFieldValue data(*this);
  switch (data_type_) {
    case ftSmallint:
      return data.Read() ? static_cast<std::int16_t>(DecodeFixed16(data.data())) : 0;
    case ftWord:
    case ftBoolean:
      return data.Read() ? DecodeFixed16(data.data()) : 0;
    case ftInteger:
    case ftAutoInc:
      return data.Read() ? static_cast<std::int32_t>(DecodeFixed32(data.data())) : 0;
    case ftLargeint:
      return data.Read() ? static_cast<std::int64_t>(DecodeFixed64(data.data())) : 0;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
      return static_cast<std::int64_t>(std::llround(AsFloat()));
    default: {
      if (IsNull()) return 0;
      std::int64_t value = 0;
      if (!ParseInteger(AsString(), &value)) ConversionError("integer");
      return value;
    }
  }
}

std::int32_t TField::AsInteger() const {
  const std::int64_t value = AsLargeInt();
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    ConversionError("integer");
  }
  return static_cast<std::int32_t>(value);
}

double TField::AsFloat() const {
  TFieldValue data(*this);
  switch (data_type_) {
    case ftFloat:
    case ftCurrency: {
      if (!data.Read()) return 0.0;
      const std::uint64_t bits = DecodeFixed64(data.data());
      double value;
      std::memcpy(&value, &bits, sizeof value);
      return value;
    }
    case ftBCD: {
      if (!data.Read()) return 0.0;
      std::int64_t scaled = 0;
      if (!DecodeBcd(data.data(), &scaled)) ConversionError("float");
      return static_cast<double>(scaled) / 10000.0;
    }
    case ftDate:
    case ftTime:
    case ftDateTime:
      return AsDateTime();
    case ftSmallint:
    case ftWord:
    case ftBoolean:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint:
      return static_cast<double>(AsLargeInt());
    default: {
      if (IsNull()) return 0.0;
      double value = 0.0;
      if (!ParseFloat(AsString(), &value)) ConversionError("float");
      return value;
    }
  }
}

bool TField::AsBoolean() const {
  switch (data_type_) {
    case ftBoolean: {
      TFieldValue data(*this);
      return data.Read() && DecodeFixed16(data.data()) != 0;
    }
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint:
      return AsLargeInt() != 0;
    default: {
      if (IsNull()) return false;
      const std::string text = Trim(AsString());
      if (SameText(text, "True") || SameText(text, "T") || SameText(text, "Yes") ||
          SameText(text, "Y") || text == "1") {
        return true;
      }
      if (SameText(text, "False") || SameText(text, "F") || SameText(text, "No") ||
          SameText(text, "N") || text == "0") {
        return false;
      }
      ConversionError("boolean");
    }
  }
}

TDateTime TField::AsDateTime() const {
  TFieldValue data(*this);
  switch (data_type_) {
    case ftDate:
      return data.Read() ? static_cast<std::int32_t>(DecodeFixed32(data.data())) - kDaysBeforeOrigin
                         : 0.0;
    case ftTime:
      return data.Read() ? static_cast<std::int32_t>(DecodeFixed32(data.data())) / kMsPerDay : 0.0;
    case ftDateTime: {
      if (!data.Read()) return 0.0;
      const std::uint64_t bits = DecodeFixed64(data.data());
      double value;
      std::memcpy(&value, &bits, sizeof value);
      return DateTimeOf(value);
    }
    case ftFloat:
    case ftCurrency:
      return AsFloat();
    default: {
      if (IsNull()) return 0.0;
      TDateTime value = 0.0;
      if (!ParseDateTime(AsString(), &value)) ConversionError("date and time");
      return value;
    }
  }
}

void TField::SetAsString(const std::string& value) {
  if (IsBlobType(data_type_)) {
    dataset_.SetBlobData(*this, value);
    return;
  }
  switch (data_type_) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid:
    case ftBytes:
    case ftVarBytes: {
      TValueBuffer data(DataSize());
      // Text keeps room for its terminating zero byte.
      const std::size_t room = IsStringType(data_type_) ? data.size() - 1 : data.size();
      const std::size_t length = std::min(value.size(), room);
      std::memcpy(data.data(), value.data(), length);
      SetData(data.data(), data.size());
      return;
    }
    default:
      break;
  }
  if (Trim(value).empty()) {
    Clear();
    return;
  }
  switch (data_type_) {
    case ftBoolean: {
      const std::string text = Trim(value);
      if (SameText(text, "True") || SameText(text, "T") || SameText(text, "Yes") ||
          SameText(text, "Y") || text == "1") {
        SetAsBoolean(true);
      } else if (SameText(text, "False") || SameText(text, "F") || SameText(text, "No") ||
                 SameText(text, "N") || text == "0") {
        SetAsBoolean(false);
      } else {
        DatabaseError(FormatMessageText(kInvalidFieldValue, {value, FieldName()}));
      }
      return;
    }
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint: {
      std::int64_t number = 0;
      if (!ParseInteger(value, &number)) {
        DatabaseError(FormatMessageText(kInvalidFieldValue, {value, FieldName()}));
      }
      SetAsLargeInt(number);
      return;
    }
    case ftFloat:
    case ftCurrency:
    case ftBCD: {
      double number = 0;
      if (!ParseFloat(value, &number)) {
        DatabaseError(FormatMessageText(kInvalidFieldValue, {value, FieldName()}));
      }
      SetAsFloat(number);
      return;
    }
    case ftDate:
    case ftTime:
    case ftDateTime: {
      TDateTime moment = 0;
      if (!ParseDateTime(value, &moment)) {
        DatabaseError(FormatMessageText(kInvalidFieldValue, {value, FieldName()}));
      }
      SetAsDateTime(moment);
      return;
    }
    default:
      ConversionError("text");
  }
}

void TField::SetInteger64(std::int64_t value) {
  std::uint8_t data[8] = {};
  auto out_of_range = [&] {
    DatabaseError(FormatMessageText(kInvalidFieldValue, {std::to_string(value), FieldName()}));
  };
  switch (data_type_) {
    case ftSmallint:
      if (value < -32768 || value > 32767) out_of_range();
      EncodeFixed16(data, static_cast<std::uint16_t>(static_cast<std::int16_t>(value)));
      SetData(data, 2);
      return;
    case ftWord:
      if (value < 0 || value > 65535) out_of_range();
      EncodeFixed16(data, static_cast<std::uint16_t>(value));
      SetData(data, 2);
      return;
    case ftBoolean:
      EncodeFixed16(data, value != 0 ? 1 : 0);
      SetData(data, 2);
      return;
    case ftInteger:
    case ftAutoInc:
      if (value < std::numeric_limits<std::int32_t>::min() ||
          value > std::numeric_limits<std::int32_t>::max()) {
        out_of_range();
      }
      EncodeFixed32(data, static_cast<std::uint32_t>(static_cast<std::int32_t>(value)));
      SetData(data, 4);
      return;
    case ftLargeint:
      EncodeFixed64(data, static_cast<std::uint64_t>(value));
      SetData(data, 8);
      return;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
      SetAsFloat(static_cast<double>(value));
      return;
    default:
      SetAsString(std::to_string(value));
  }
}

void TField::SetAsInteger(std::int32_t value) { SetInteger64(value); }
void TField::SetAsLargeInt(std::int64_t value) { SetInteger64(value); }

void TField::SetAsFloat(double value) {
  std::uint8_t data[kBcdValueSize] = {};
  switch (data_type_) {
    case ftFloat:
    case ftCurrency: {
      std::uint64_t bits;
      std::memcpy(&bits, &value, sizeof bits);
      EncodeFixed64(data, bits);
      SetData(data, 8);
      return;
    }
    case ftBCD: {
      const double scaled = std::round(value * 10000.0);
      if (!std::isfinite(scaled) || std::fabs(scaled) > 9.2e18 ||
          !EncodeBcd(data, static_cast<std::int64_t>(scaled), static_cast<std::uint8_t>(size_))) {
        DatabaseError(FormatMessageText(kInvalidFieldValue, {FloatText(value), FieldName()}));
      }
      SetData(data, kBcdValueSize);
      return;
    }
    case ftDate:
    case ftTime:
    case ftDateTime:
      SetAsDateTime(value);
      return;
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint:
    case ftBoolean:
      if (!std::isfinite(value) || std::fabs(value) > 9.2e18) {
        DatabaseError(FormatMessageText(kInvalidFieldValue, {FloatText(value), FieldName()}));
      }
      SetInteger64(std::llround(value));
      return;
    default:
      SetAsString(FloatText(value));
  }
}

void TField::SetAsBoolean(bool value) {
  if (data_type_ == ftBoolean || data_type_ == ftSmallint || data_type_ == ftWord ||
      data_type_ == ftInteger || data_type_ == ftLargeint) {
    SetInteger64(value ? 1 : 0);
    return;
  }
  SetAsString(value ? "True" : "False");
}

void TField::SetAsDateTime(TDateTime value) {
  std::uint8_t data[8] = {};
  const double stamp = TimeStampOf(value);
  std::int32_t day_number = 0;
  std::int32_t ms = 0;
  const bool valid = DecodeTimeStamp(stamp, &day_number, &ms);
  switch (data_type_) {
    case ftDate:
      if (!valid) break;
      EncodeFixed32(data, static_cast<std::uint32_t>(day_number));
      SetData(data, 4);
      return;
    case ftTime: {
      const double fraction = value - std::floor(value);
      EncodeFixed32(data, static_cast<std::uint32_t>(static_cast<std::int32_t>(
                              std::llround(fraction * kMsPerDay) % 86400000)));
      SetData(data, 4);
      return;
    }
    case ftDateTime: {
      if (!valid) break;
      std::uint64_t bits;
      std::memcpy(&bits, &stamp, sizeof bits);
      EncodeFixed64(data, bits);
      SetData(data, 8);
      return;
    }
    case ftFloat:
    case ftCurrency:
      SetAsFloat(value);
      return;
    default: {
      int year, month, day, hour, minute, second, millisecond;
      if (!DecodeDateTime(value, &year, &month, &day, &hour, &minute, &second, &millisecond)) {
        break;
      }
      SetAsString(DateText(year, month, day) + " " + TwoDigits(hour) + ":" + TwoDigits(minute) +
                  ":" + TwoDigits(second));
      return;
    }
  }
  DatabaseError(FormatMessageText(kInvalidFieldValue, {FloatText(value), FieldName()}));
}

void TField::Clear() {
  if (IsBlobType(data_type_)) {
    dataset_.SetBlobData(*this, std::string());
    return;
  }
  SetData(nullptr, 0);
}

// ---- Field list ------------------------------------------------------------------------------

TField& TFields::Add(std::unique_ptr<TField> field) {
  field->index_ = Count();
  items_.push_back(std::move(field));
  if (by_name_.size() < 4 * items_.size()) {
    Renumber();
  } else {
    IndexName(items_.size() - 1);
    ForgetRecentNames();
  }
  return *items_.back();
}

void TFields::InsertFront(std::vector<std::unique_ptr<TField>> fields) {
  items_.insert(items_.begin(), std::make_move_iterator(fields.begin()),
                std::make_move_iterator(fields.end()));
  Renumber();
}

void TFields::RemoveDataFields() {
  items_.erase(std::remove_if(items_.begin(), items_.end(),
                              [](const std::unique_ptr<TField>& f) { return !f->Calculated(); }),
               items_.end());
  Renumber();
}

void TFields::Clear() {
  items_.clear();
  by_name_.clear();
  ForgetRecentNames();
}

void TFields::ForgetRecentNames() const {
  recent_.fill(TRecentName{});
  recent_next_ = 0;
  next_name_.assign(items_.size() + 1, TRecentName{});
  last_found_ = 0;
}

void TFields::Renumber() {
  for (std::size_t i = 0; i < items_.size(); ++i) items_[i]->index_ = static_cast<int>(i);
  ForgetRecentNames();
  std::size_t size = 16;
  while (size < 4 * items_.size()) size *= 2;
  by_name_.assign(size, TNameSlot{});
  for (std::size_t i = 0; i < items_.size(); ++i) IndexName(i);
}

void TFields::IndexName(std::size_t position) {
  const std::string& name = items_[position]->FieldName();
  const std::size_t mask = by_name_.size() - 1;
  const std::uint32_t hash = HashText(name);
  std::size_t slot = hash & mask;
  for (; by_name_[slot].position != 0; slot = (slot + 1) & mask) {
    // A name listed already belongs to an earlier field, which a lookup finds first.
    const TNameSlot& entry = by_name_[slot];
    if (entry.hash == hash && SameText(items_[entry.position - 1]->FieldName(), name)) return;
  }
  by_name_[slot] = {hash, static_cast<std::uint32_t>(position + 1)};
}

TField& TFields::Fields(int index) const {
  if (index < 0 || index >= Count()) DatabaseError(kFieldIndexError);
  return *items_[static_cast<std::size_t>(index)];
}

TField* TFields::FindFieldSlowly(std::string_view name) const {
  if (by_name_.empty()) return nullptr;
  TRecentName& predicted = next_name_[last_found_];
  TField* field = nullptr;
  for (const TRecentName& recent : recent_) {
    if (recent.size != 0 && recent.size == name.size() && SameNameBytes(recent.name, name)) {
      field = recent.field;
      break;
    }
  }
  if (field == nullptr) {
    const std::size_t mask = by_name_.size() - 1;
    const std::uint32_t hash = HashText(name);
    for (std::size_t slot = hash & mask; by_name_[slot].position != 0; slot = (slot + 1) & mask) {
      const TNameSlot& entry = by_name_[slot];
      if (entry.hash == hash && SameText(items_[entry.position - 1]->FieldName(), name)) {
        field = items_[entry.position - 1].get();
        break;
      }
    }
    if (field == nullptr) return nullptr;
    if (Remember(&recent_[recent_next_], name, field)) {
      recent_next_ = (recent_next_ + 1) % kRecentNames;
    }
  }
  Remember(&predicted, name, field);
  last_found_ = static_cast<std::size_t>(field->index_) + 1;
  return field;
}

bool TFields::Remember(TRecentName* entry, std::string_view name, TField* field) {
  if (name.empty() || name.size() > sizeof(TRecentName::name)) return false;
  entry->size = static_cast<std::uint8_t>(name.size());
  std::memcpy(entry->name, name.data(), name.size());
  entry->field = field;
  return true;
}

TField& TFields::FieldByName(std::string_view name) const {
  TField* field = FindField(name);
  if (field == nullptr) DatabaseError(kFieldNotFound, name);
  return *field;
}

TField* TFields::FieldByNumber(int field_no) const {
  for (const auto& field : items_) {
    if (field->FieldNo() == field_no) return field.get();
  }
  return nullptr;
}

}  // namespace tabula
