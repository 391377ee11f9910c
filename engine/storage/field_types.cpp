#include "engine/storage/field_types.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"

namespace tabula {

std::uint8_t PhysicalSizeOf(std::uint8_t field_type, std::uint8_t field_size) {
  switch (field_type) {
    case fldString:
      // A declared size of 255 cannot be stored; validation keeps sizes at 250 or below.
      return static_cast<std::uint8_t>(field_size < 255 ? field_size + 1 : 255);
    case fldDate:
    case fldInteger:
    case fldTime:
    case fldUnsignedInteger:
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
      return static_cast<std::uint8_t>(kBcdValueSize);
    case fldExtendedFloat:
      return static_cast<std::uint8_t>(kExtendedValueSize);
    default:
      return field_size;
  }
}

std::string_view FieldTypeName(std::uint8_t field_type) {
  switch (field_type) {
    case fldString:
      return "string";
    case fldDate:
      return "date";
    case fldBlob:
      return "BLOB";
    case fldBoolean:
      return "boolean";
    case fldSmallInt:
      return "smallint";
    case fldInteger:
      return "integer";
    case fldFloat:
      return "float";
    case fldBCD:
      return "BCD";
    case fldBytes:
      return "bytes";
    case fldTime:
      return "time";
    case fldTimeStamp:
      return "timestamp";
    case fldWord:
      return "word";
    case fldUnsignedInteger:
      return "unsigned integer";
    case fldExtendedFloat:
      return "extended float";
    case fldVarBytes:
      return "varbytes";
    case fldLargeInt:
      return "largeint";
    default:
      return "unknown";
  }
}

// ---- Dates and times -------------------------------------------------------------------------

namespace {

constexpr std::int32_t kDaysPer400Years = 146097;
constexpr std::int32_t kDaysPer100Years = 36524;
constexpr std::int32_t kDaysPer4Years = 1461;
constexpr std::int32_t kLastDayNumber = 3652059;  // 9999-12-31

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

std::int32_t EncodeDate(int year, int month, int day) {
  const std::int32_t y = year - 1;
  std::int32_t number = 365 * y + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month; ++m) number += DaysInMonth(year, m);
  return number + day;
}

bool DecodeDate(std::int32_t day_number, int* year, int* month, int* day) {
  if (day_number < 1 || day_number > kLastDayNumber) return false;
  std::int32_t rest = day_number - 1;
  int y = 1 + 400 * (rest / kDaysPer400Years);
  rest %= kDaysPer400Years;
  std::int32_t part = rest / kDaysPer100Years;
  rest %= kDaysPer100Years;
  if (part == 4) {  // the last day of a 400-year cycle
    --part;
    rest += kDaysPer100Years;
  }
  y += 100 * part;
  y += 4 * (rest / kDaysPer4Years);
  rest %= kDaysPer4Years;
  part = rest / 365;
  rest %= 365;
  if (part == 4) {  // the last day of a leap year
    --part;
    rest += 365;
  }
  y += part;
  int m = 1;
  while (rest >= DaysInMonth(y, m)) {
    rest -= DaysInMonth(y, m);
    ++m;
  }
  *year = y;
  *month = m;
  *day = rest + 1;
  return true;
}

double EncodeTimeStamp(std::int32_t day_number, std::int32_t milliseconds) {
  return static_cast<double>(day_number) * kMillisecondsPerDay + milliseconds;
}

bool DecodeTimeStamp(double value, std::int32_t* day_number, std::int32_t* milliseconds) {
  if (!std::isfinite(value) || value < kMillisecondsPerDay ||
      value >= (static_cast<double>(kLastDayNumber) + 1) * kMillisecondsPerDay) {
    return false;
  }
  const std::int64_t total = std::llround(value);
  const std::int64_t day = total / kMillisecondsPerDay;
  if (day > kLastDayNumber) return false;  // rounded up past the last day
  *day_number = static_cast<std::int32_t>(day);
  *milliseconds = static_cast<std::int32_t>(total % kMillisecondsPerDay);
  return true;
}

// ---- BCD -------------------------------------------------------------------------------------

namespace {

constexpr std::size_t kBcdDigitsWritten = 32;
constexpr std::uint8_t kBcdSignBit = 0x80;
constexpr std::uint8_t kBcdPlacesMask = 0x3F;

std::uint64_t PowerOf10(int exponent) {
  std::uint64_t value = 1;
  for (int i = 0; i < exponent; ++i) value *= 10;
  return value;
}

int BcdDigit(const std::uint8_t* src, std::size_t index) {
  const std::uint8_t byte = src[2 + index / 2];
  return index % 2 == 0 ? byte >> 4 : byte & 0x0F;
}

// Checks the digit count, places and nibbles of a stored BCD value.
bool BcdWellFormed(const std::uint8_t* src) {
  const std::size_t digits = src[0];
  const std::size_t places = src[1] & kBcdPlacesMask;
  if (digits > kBcdMaxDigits || places > digits) return false;
  for (std::size_t i = 0; i < digits; ++i) {
    if (BcdDigit(src, i) > 9) return false;
  }
  return true;
}

}  // namespace

bool EncodeBcd(std::uint8_t* dst, std::int64_t scaled, std::uint8_t scale) {
  if (scale > kBcdDigitsWritten) return false;
  const bool negative = scaled < 0;
  std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
  // Fractional digits to write, most significant first, and the integer part.
  std::uint64_t integer_part;
  std::uint64_t fraction;
  int fraction_digits;
  if (scale < 4) {
    const std::uint64_t divisor = PowerOf10(4 - scale);
    std::uint64_t rounded = magnitude / divisor;
    if ((magnitude % divisor) * 2 >= divisor) ++rounded;
    integer_part = rounded / PowerOf10(scale);
    fraction = rounded % PowerOf10(scale);
    fraction_digits = scale;
  } else {
    integer_part = magnitude / 10000;
    fraction = magnitude % 10000;
    fraction_digits = 4;
  }
  std::uint8_t digits[kBcdDigitsWritten] = {};
  const std::size_t integer_digits = kBcdDigitsWritten - scale;
  for (std::size_t i = integer_digits; i-- > 0 && integer_part != 0;) {
    digits[i] = static_cast<std::uint8_t>(integer_part % 10);
    integer_part /= 10;
  }
  if (integer_part != 0) return false;
  for (int i = fraction_digits - 1; i >= 0; --i) {
    digits[integer_digits + i] = static_cast<std::uint8_t>(fraction % 10);
    fraction /= 10;
  }
  bool any_digit = false;
  std::memset(dst, 0, kBcdValueSize);
  dst[0] = kBcdDigitsWritten;
  for (std::size_t i = 0; i < kBcdDigitsWritten; ++i) {
    any_digit = any_digit || digits[i] != 0;
    dst[2 + i / 2] |= static_cast<std::uint8_t>(i % 2 == 0 ? digits[i] << 4 : digits[i]);
  }
  dst[1] = static_cast<std::uint8_t>((negative && any_digit ? kBcdSignBit : 0) | scale);
  return true;
}

bool DecodeBcd(const std::uint8_t* src, std::int64_t* scaled) {
  if (!BcdWellFormed(src)) return false;
  const std::size_t digits = src[0];
  const std::size_t places = src[1] & kBcdPlacesMask;
  // The integer part may hold at most 15 digits so that value × 10^4 fits 64 bits.
  constexpr std::uint64_t kIntegerLimit = std::numeric_limits<std::int64_t>::max() / 10000;
  std::uint64_t integer_part = 0;
  for (std::size_t i = 0; i < digits - places; ++i) {
    integer_part = integer_part * 10 + static_cast<std::uint64_t>(BcdDigit(src, i));
    if (integer_part > kIntegerLimit) return false;
  }
  std::uint64_t fraction = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t index = digits - places + i;
    fraction = fraction * 10 + (i < places ? static_cast<std::uint64_t>(BcdDigit(src, index)) : 0);
  }
  if (places > 4 && BcdDigit(src, digits - places + 4) >= 5) ++fraction;
  const std::uint64_t magnitude = integer_part * 10000 + fraction;
  if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return false;
  }
  const bool negative = (src[1] & kBcdSignBit) != 0;
  *scaled = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

bool BcdToText(const std::uint8_t* src, std::string* text) {
  if (!BcdWellFormed(src)) return false;
  const std::size_t digits = src[0];
  const std::size_t places = src[1] & kBcdPlacesMask;
  std::string integer_text;
  std::string fraction_text;
  bool any_digit = false;
  for (std::size_t i = 0; i < digits; ++i) {
    const int digit = BcdDigit(src, i);
    any_digit = any_digit || digit != 0;
    if (i < digits - places) {
      if (!integer_text.empty() || digit != 0)
        integer_text.push_back(static_cast<char>('0' + digit));
    } else {
      fraction_text.push_back(static_cast<char>('0' + digit));
    }
  }
  if (integer_text.empty()) integer_text = "0";
  std::string result = any_digit && (src[1] & kBcdSignBit) != 0 ? "-" : "";
  result += integer_text;
  if (!fraction_text.empty()) result += "." + fraction_text;
  *text = std::move(result);
  return true;
}

// ---- Extended float --------------------------------------------------------------------------

void EncodeExtended(std::uint8_t* dst, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const std::uint16_t sign = static_cast<std::uint16_t>((bits >> 63) << 15);
  const int exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  std::uint64_t mantissa = 0;
  int stored_exponent = 0;
  if (exponent == 0x7FF) {  // infinity or NaN
    stored_exponent = 0x7FFF;
    mantissa = (std::uint64_t{1} << 63) | (fraction << 11);
  } else if (exponent != 0) {
    stored_exponent = exponent - 1023 + 16383;
    mantissa = (std::uint64_t{1} << 63) | (fraction << 11);
  } else if (fraction != 0) {  // a subnormal double is a normal extended value
    int top = 51;
    while ((fraction >> top) == 0) --top;
    stored_exponent = top - 1074 + 16383;
    mantissa = fraction << (63 - top);
  }
  EncodeFixed64(dst, mantissa);
  EncodeFixed16(dst + 8, static_cast<std::uint16_t>(sign | stored_exponent));
}

double DecodeExtended(const std::uint8_t* src) {
  const std::uint64_t mantissa = DecodeFixed64(src);
  const std::uint16_t sign_exponent = DecodeFixed16(src + 8);
  const bool negative = (sign_exponent & 0x8000) != 0;
  const int exponent = sign_exponent & 0x7FFF;
  double value;
  if (exponent == 0x7FFF) {
    value = (mantissa << 1) == 0 ? std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::quiet_NaN();
  } else if (mantissa == 0) {
    value = 0.0;
  } else {
    // Denormal extended values (exponent 0) use the exponent of 1.
    const int unbiased = (exponent == 0 ? 1 : exponent) - 16383 - 63;
    value = std::ldexp(static_cast<double>(mantissa), unbiased);
  }
  return negative ? -value : value;
}

// ---- Field descriptor ------------------------------------------------------------------------

void TFieldDescriptor::EncodeTo(std::uint8_t* dst) const {
  EncodeFixed16(dst + kDescFieldNo, FieldNo);
  EncodeShortString(dst + kDescFieldName, FieldName, kMaxFieldNameLength);
  EncodeShortString(dst + kDescFieldDescription, FieldDescription, kMaxFieldDescriptionLength);
  dst[kDescFieldType] = FieldType;
  dst[kDescFieldSubType] = FieldSubType;
  dst[kDescFieldSize] = FieldSize;
  dst[kDescFieldScale] = FieldScale;
  dst[kDescPhysicalSize] = PhysicalSize;
  dst[kDescPhysicalScale] = PhysicalScale;
  EncodeFixed16(dst + kDescFieldOffset, FieldOffset);
  dst[kDescRequired] = Required ? 1 : 0;
  dst[kDescCharCase] = CharCase;
  EncodeShortString(dst + kDescMinValue, MinValue, kMaxValueTextLength);
  EncodeShortString(dst + kDescMaxValue, MaxValue, kMaxValueTextLength);
  EncodeShortString(dst + kDescDefaultValue, DefaultValue, kMaxValueTextLength);
  dst[kDescComputed] = Computed ? 1 : 0;
  std::memcpy(dst + kDescReserved, Reserved.data(), kDescReservedLength);
}

std::uint16_t TFieldDescriptor::DecodeFrom(const std::uint8_t* src, std::size_t size) {
  if (src == nullptr || size < kEncodedLength) return TABULA_HEADERCORRUPT;
  TFieldDescriptor decoded;
  if (!DecodeShortString(src + kDescFieldName, kMaxFieldNameLength, &decoded.FieldName) ||
      !DecodeShortString(src + kDescFieldDescription, kMaxFieldDescriptionLength,
                         &decoded.FieldDescription) ||
      !DecodeShortString(src + kDescMinValue, kMaxValueTextLength, &decoded.MinValue) ||
      !DecodeShortString(src + kDescMaxValue, kMaxValueTextLength, &decoded.MaxValue) ||
      !DecodeShortString(src + kDescDefaultValue, kMaxValueTextLength, &decoded.DefaultValue)) {
    return TABULA_HEADERCORRUPT;
  }
  decoded.FieldNo = DecodeFixed16(src + kDescFieldNo);
  decoded.FieldType = src[kDescFieldType];
  decoded.FieldSubType = src[kDescFieldSubType];
  decoded.FieldSize = src[kDescFieldSize];
  decoded.FieldScale = src[kDescFieldScale];
  decoded.PhysicalSize = src[kDescPhysicalSize];
  decoded.PhysicalScale = src[kDescPhysicalScale];
  decoded.FieldOffset = DecodeFixed16(src + kDescFieldOffset);
  decoded.Required = src[kDescRequired] != 0;
  decoded.CharCase = src[kDescCharCase];
  decoded.Computed = src[kDescComputed] != 0;
  std::memcpy(decoded.Reserved.data(), src + kDescReserved, kDescReservedLength);
  *this = std::move(decoded);
  return 0;
}

namespace {

std::string ReservedText(const std::array<std::uint8_t, kDescReservedLength>& reserved,
                         std::size_t offset, std::size_t capacity) {
  std::string text;
  if (!DecodeShortString(reserved.data() + (offset - kDescReserved), capacity, &text)) return {};
  return text;
}

}  // namespace

std::string TFieldDescriptor::QualifiedName() const {
  return ReservedText(Reserved, kDescQualifiedName, kMaxQualifiedNameLength);
}

void TFieldDescriptor::SetQualifiedName(std::string_view name) {
  EncodeShortString(Reserved.data() + (kDescQualifiedName - kDescReserved), name,
                    kMaxQualifiedNameLength);
}

std::uint16_t TFieldDescriptor::SourceFieldNo() const {
  return DecodeFixed16(Reserved.data() + (kDescSourceFieldNo - kDescReserved));
}

void TFieldDescriptor::SetSourceFieldNo(std::uint16_t number) {
  EncodeFixed16(Reserved.data() + (kDescSourceFieldNo - kDescReserved), number);
}

std::string TFieldDescriptor::SourceDirectory() const {
  return ReservedText(Reserved, kDescSourceDirectory, kMaxSourceDirectoryLength);
}

void TFieldDescriptor::SetSourceDirectory(std::string_view directory) {
  EncodeShortString(Reserved.data() + (kDescSourceDirectory - kDescReserved), directory,
                    kMaxSourceDirectoryLength);
}

}  // namespace tabula
