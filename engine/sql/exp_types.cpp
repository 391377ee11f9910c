#include "engine/sql/exp_types.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/base/coding.h"
#include "engine/index/collation.h"
#include "engine/storage/field_types.h"

namespace tabula {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

// Reads 1 to `max_digits` decimal digits at `*pos`.
bool ReadNumber(std::string_view text, std::size_t* pos, std::size_t max_digits, int* value) {
  std::size_t start = *pos;
  int result = 0;
  while (*pos < text.size() && text[*pos] >= '0' && text[*pos] <= '9') {
    if (*pos - start >= max_digits) return false;
    result = result * 10 + (text[*pos] - '0');
    ++*pos;
  }
  if (*pos == start) return false;
  *value = result;
  return true;
}

constexpr double kMsPerDay = 86400000.0;

// Day number of 1899-12-30, the day a time of day becomes when it turns into a timestamp.
std::int32_t TimeBaseDay() {
  static const std::int32_t day = EncodeDate(1899, 12, 30);
  return day;
}

bool ParseInteger(std::string_view text, std::int64_t* value) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool ParseFloat(std::string_view text, double* value) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size() &&
         std::isfinite(*value);
}

// Decimal text with at most 18 integer digits into value x 10^4, rounded half away from zero at
// the fourth place.
bool ParseScaled(std::string_view text, std::int64_t* scaled) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  __int128 value = 0;
  int places = -1;  // -1: no point yet
  bool digits = false, round_up = false;
  for (char c : text) {
    if (c == '.') {
      if (places >= 0) return false;
      places = 0;
      continue;
    }
    if (c < '0' || c > '9') return false;
    digits = true;
    if (places >= 4) {
      if (places == 4) round_up = c >= '5';
      ++places;
      continue;
    }
    value = value * 10 + (c - '0');
    if (value > static_cast<__int128>(std::numeric_limits<std::int64_t>::max())) return false;
    if (places >= 0) ++places;
  }
  if (!digits) return false;
  for (int p = places < 0 ? 0 : places; p < 4; ++p) value *= 10;
  if (round_up) ++value;
  if (value > static_cast<__int128>(std::numeric_limits<std::int64_t>::max())) return false;
  *scaled = static_cast<std::int64_t>(negative ? -value : value);
  return true;
}

std::string ScaledToText(std::int64_t scaled, std::uint8_t scale) {
  std::uint8_t bcd[kBcdValueSize];
  std::string text;
  if (!EncodeBcd(bcd, scaled, scale > 4 ? 4 : scale) || !BcdToText(bcd, &text)) return "0";
  return text;
}

// A decoded value of one of the classes the conversions know.
struct TDecoded {
  enum TClass { kNone, kText, kInt, kFloat, kBcd, kDate, kTime, kStamp, kBool, kRaw } cls = kNone;
  std::string text;    // kText, kRaw
  std::int64_t i = 0;  // kInt, kBcd (scaled), kDate, kTime, kBool
  double f = 0;        // kFloat, kStamp
};

bool Decode(std::uint8_t type, std::uint32_t size, const std::uint8_t* buffer, TDecoded* out) {
  const std::size_t limit = size == 0 || size > kConvertBufferSize ? kConvertBufferSize : size;
  switch (type) {
    case fldUnknown:
      out->cls = TDecoded::kNone;
      return true;
    case fldString: {
      const void* nul = std::memchr(buffer, 0, limit);
      const std::size_t length =
          nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - buffer) : limit;
      out->cls = TDecoded::kText;
      out->text.assign(reinterpret_cast<const char*>(buffer), length);
      return true;
    }
    case fldBytes:
    case fldVarBytes:
      out->cls = TDecoded::kRaw;
      out->text.assign(reinterpret_cast<const char*>(buffer), limit);
      return true;
    case fldBoolean:
      out->cls = TDecoded::kBool;
      out->i = DecodeFixed16(buffer) != 0;
      return true;
    case fldSmallInt:
      out->cls = TDecoded::kInt;
      out->i = static_cast<std::int16_t>(DecodeFixed16(buffer));
      return true;
    case fldWord:
      out->cls = TDecoded::kInt;
      out->i = DecodeFixed16(buffer);
      return true;
    case fldInteger:
      out->cls = TDecoded::kInt;
      out->i = static_cast<std::int32_t>(DecodeFixed32(buffer));
      return true;
    case fldLargeInt:
      out->cls = TDecoded::kInt;
      out->i = static_cast<std::int64_t>(DecodeFixed64(buffer));
      return true;
    case fldFloat:
      out->cls = TDecoded::kFloat;
      out->f = DecodeDouble(buffer);
      return true;
    case fldBCD:
      out->cls = TDecoded::kBcd;
      return DecodeBcd(buffer, &out->i);
    case fldDate:
      out->cls = TDecoded::kDate;
      out->i = static_cast<std::int32_t>(DecodeFixed32(buffer));
      return true;
    case fldTime:
      out->cls = TDecoded::kTime;
      out->i = static_cast<std::int32_t>(DecodeFixed32(buffer));
      return true;
    case fldTimeStamp:
      out->cls = TDecoded::kStamp;
      out->f = DecodeDouble(buffer);
      return true;
    default:
      return false;
  }
}

bool ToInteger(const TDecoded& v, std::int64_t* out) {
  switch (v.cls) {
    case TDecoded::kNone:
      *out = 0;
      return true;
    case TDecoded::kText:
      return ParseInteger(v.text, out);
    case TDecoded::kInt:
    case TDecoded::kBool:
      *out = v.i;
      return true;
    case TDecoded::kFloat:
      if (!std::isfinite(v.f) || std::fabs(v.f) >= 9.2e18) return false;
      *out = static_cast<std::int64_t>(std::trunc(v.f));
      return true;
    case TDecoded::kBcd:
      *out = v.i / 10000;  // truncates toward zero
      return true;
    default:
      return false;
  }
}

bool ToDate(const TDecoded& v, std::int32_t* out) {
  switch (v.cls) {
    case TDecoded::kNone:
      *out = 0;
      return true;
    case TDecoded::kText:
      return ParseDateLiteral(v.text, out);
    case TDecoded::kDate:
      *out = static_cast<std::int32_t>(v.i);
      return true;
    case TDecoded::kStamp:
      if (!std::isfinite(v.f)) return false;
      *out = static_cast<std::int32_t>(std::floor(v.f / kMsPerDay));
      return true;
    default:
      return false;
  }
}

bool ToTime(const TDecoded& v, std::int32_t* out) {
  switch (v.cls) {
    case TDecoded::kNone:
      *out = 0;
      return true;
    case TDecoded::kText:
      return ParseTimeLiteral(v.text, out);
    case TDecoded::kTime:
      *out = static_cast<std::int32_t>(v.i);
      return true;
    case TDecoded::kStamp:
    case TDecoded::kFloat: {
      if (!std::isfinite(v.f)) return false;
      double ms = std::fmod(v.f, kMsPerDay);
      if (ms < 0) ms += kMsPerDay;
      *out = static_cast<std::int32_t>(ms);
      return true;
    }
    default:
      return false;
  }
}

bool ToStamp(const TDecoded& v, double* out) {
  switch (v.cls) {
    case TDecoded::kNone:
      *out = 0;
      return true;
    case TDecoded::kText:
      return ParseTimeStampLiteral(v.text, out);
    case TDecoded::kDate:
      *out = static_cast<double>(v.i) * kMsPerDay;
      return true;
    case TDecoded::kTime:
      *out = static_cast<double>(TimeBaseDay()) * kMsPerDay + static_cast<double>(v.i);
      return true;
    case TDecoded::kStamp:
      *out = v.f;
      return true;
    default:
      return false;
  }
}

bool ToText(const TDecoded& v, std::uint8_t source_scale, std::string* out) {
  switch (v.cls) {
    case TDecoded::kNone:
      out->clear();
      return true;
    case TDecoded::kText:
    case TDecoded::kRaw:
      *out = v.text.substr(0, v.text.find('\0'));
      return true;
    case TDecoded::kInt:
      *out = std::to_string(v.i);
      return true;
    case TDecoded::kBool:
      *out = v.i ? "True" : "False";
      return true;
    case TDecoded::kFloat:
      *out = FormatFloat(v.f);
      return true;
    case TDecoded::kBcd:
      *out = ScaledToText(v.i, source_scale);
      return true;
    case TDecoded::kDate:
      *out = FormatDate(static_cast<std::int32_t>(v.i));
      return !out->empty();
    case TDecoded::kTime:
      *out = FormatTime(static_cast<std::int32_t>(v.i));
      return true;
    case TDecoded::kStamp:
      *out = FormatTimeStamp(v.f);
      return !out->empty();
  }
  return false;
}

bool Encode(const TDecoded& v, std::uint8_t source_type, std::uint32_t source_size,
            std::uint8_t source_scale, std::uint8_t* out, std::uint8_t target_scale,
            std::uint32_t target_size, std::uint8_t target_type) {
  switch (target_type) {
    case fldString: {
      std::string text;
      if (!ToText(v, source_scale, &text)) return false;
      const std::size_t capacity =
          target_size == 0 || target_size > kConvertBufferSize ? kConvertBufferSize : target_size;
      const std::size_t length = std::min(text.size(), capacity - 1);
      std::memcpy(out, text.data(), length);
      return true;
    }
    case fldBytes:
    case fldVarBytes: {
      const std::size_t capacity =
          target_size == 0 || target_size > kConvertBufferSize ? kConvertBufferSize : target_size;
      std::size_t length =
          source_size == 0 ? capacity : std::min<std::size_t>(source_size, capacity);
      if (v.cls == TDecoded::kText || v.cls == TDecoded::kRaw) {
        length = std::min(length, v.text.size());
        std::memcpy(out, v.text.data(), length);
        return true;
      }
      // Every other type keeps its own encoding; re-encode it into the target bytes.
      std::uint8_t raw[kConvertBufferSize] = {};
      if (!Encode(v, source_type, source_size, source_scale, raw, source_scale, source_size,
                  source_type)) {
        return false;
      }
      std::memcpy(out, raw, length);
      return true;
    }
    case fldBoolean: {
      bool value = false;
      if (v.cls == TDecoded::kText) {
        if (!ParseBooleanLiteral(v.text, &value)) return false;
      } else if (v.cls == TDecoded::kBool || v.cls == TDecoded::kInt || v.cls == TDecoded::kBcd) {
        value = v.i != 0;
      } else if (v.cls == TDecoded::kFloat) {
        value = v.f != 0;
      } else if (v.cls != TDecoded::kNone) {
        return false;
      }
      EncodeFixed16(out, value ? 1 : 0);
      return true;
    }
    case fldSmallInt:
    case fldWord:
    case fldInteger:
    case fldLargeInt: {
      std::int64_t value;
      if (!ToInteger(v, &value)) return false;
      if (target_type == fldLargeInt) {
        EncodeFixed64(out, static_cast<std::uint64_t>(value));
      } else if (target_type == fldInteger) {
        EncodeFixed32(out, static_cast<std::uint32_t>(value));
      } else {
        EncodeFixed16(out, static_cast<std::uint16_t>(value));
      }
      return true;
    }
    case fldFloat: {
      double value = 0;
      if (v.cls == TDecoded::kText) {
        if (!ParseFloat(v.text, &value)) return false;
      } else if (v.cls == TDecoded::kInt) {
        value = static_cast<double>(v.i);
      } else if (v.cls == TDecoded::kBcd) {
        value = static_cast<double>(v.i) / 10000.0;
      } else if (v.cls == TDecoded::kFloat) {
        value = v.f;
      } else if (v.cls != TDecoded::kNone) {
        return false;
      }
      EncodeDouble(out, value);
      return true;
    }
    case fldBCD: {
      std::int64_t scaled = 0;
      if (v.cls == TDecoded::kText) {
        if (!ParseScaled(v.text, &scaled)) return false;
      } else if (v.cls == TDecoded::kInt || v.cls == TDecoded::kBool) {
        if (v.i > std::numeric_limits<std::int64_t>::max() / 10000 ||
            v.i < std::numeric_limits<std::int64_t>::min() / 10000) {
          return false;
        }
        scaled = v.i * 10000;
      } else if (v.cls == TDecoded::kFloat) {
        const double x = std::round(v.f * 10000.0);
        if (!std::isfinite(x) || std::fabs(x) >= 9.2e18) return false;
        scaled = static_cast<std::int64_t>(x);
      } else if (v.cls == TDecoded::kBcd) {
        scaled = v.i;
      } else if (v.cls != TDecoded::kNone) {
        return false;
      }
      return EncodeBcd(out, scaled, target_scale > 4 ? 4 : target_scale);
    }
    case fldDate: {
      std::int32_t day;
      if (!ToDate(v, &day)) return false;
      EncodeFixed32(out, static_cast<std::uint32_t>(day));
      return true;
    }
    case fldTime: {
      std::int32_t ms;
      if (!ToTime(v, &ms)) return false;
      EncodeFixed32(out, static_cast<std::uint32_t>(ms));
      return true;
    }
    case fldTimeStamp: {
      double value;
      if (!ToStamp(v, &value)) return false;
      EncodeDouble(out, value);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

// ---- Literal formats ----------------------------------------------------------------------------

bool ParseDateLiteral(std::string_view text, std::int32_t* day_number) {
  text = Trim(text);
  std::size_t pos = 0;
  int year, month, day;
  if (!ReadNumber(text, &pos, 4, &year) || pos >= text.size() || text[pos++] != '-' ||
      !ReadNumber(text, &pos, 2, &month) || pos >= text.size() || text[pos++] != '-' ||
      !ReadNumber(text, &pos, 2, &day) || pos != text.size()) {
    return false;
  }
  if (!IsValidDate(year, month, day)) return false;
  *day_number = EncodeDate(year, month, day);
  return true;
}

bool ParseTimeLiteral(std::string_view input, std::int32_t* milliseconds) {
  std::string text(input);
  int half = 0;  // 1 AM, 2 PM
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    const char a = Upper(text[i]), m = Upper(text[i + 1]);
    if ((a == 'A' || a == 'P') && m == 'M') {
      half = a == 'A' ? 1 : 2;
      text.erase(i, 2);
      break;
    }
  }
  const std::string_view rest = Trim(text);
  if (rest.find(':') == std::string_view::npos) return false;
  std::size_t pos = 0;
  int hour, minute, second = 0, ms = 0;
  if (!ReadNumber(rest, &pos, 2, &hour) || rest[pos++] != ':' ||
      !ReadNumber(rest, &pos, 2, &minute)) {
    return false;
  }
  if (pos < rest.size() && rest[pos] == ':') {
    ++pos;
    if (!ReadNumber(rest, &pos, 2, &second)) return false;
    if (pos < rest.size() && rest[pos] == '.') {
      ++pos;
      if (!ReadNumber(rest, &pos, 3, &ms)) return false;
    }
  }
  if (pos != rest.size()) return false;
  if (half == 1 && hour == 12) hour = 0;
  if (half == 2 && hour != 12) hour += 12;
  if (hour > 23 || minute > 59 || second > 59) return false;
  *milliseconds = ((hour * 60 + minute) * 60 + second) * 1000 + ms;
  return true;
}

bool ParseTimeStampLiteral(std::string_view text, double* value) {
  text = Trim(text);
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos) {
    if (text.find(':') != std::string_view::npos) {
      std::int32_t ms;
      if (!ParseTimeLiteral(text, &ms)) return false;
      *value = EncodeTimeStamp(TimeBaseDay(), ms);
      return true;
    }
    std::int32_t day;
    if (!ParseDateLiteral(text, &day)) return false;
    *value = EncodeTimeStamp(day, 0);
    return true;
  }
  std::int32_t day, ms;
  if (!ParseDateLiteral(text.substr(0, blank), &day) ||
      !ParseTimeLiteral(text.substr(blank + 1), &ms)) {
    return false;
  }
  *value = EncodeTimeStamp(day, ms);
  return true;
}

bool ParseBooleanLiteral(std::string_view text, bool* value) {
  text = Trim(text);
  if (EqualsNoCase(text, "TRUE")) {
    *value = true;
    return true;
  }
  if (EqualsNoCase(text, "FALSE")) {
    *value = false;
    return true;
  }
  return false;
}

std::string InvalidDateMessage(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid date";
}
std::string InvalidTimeMessage(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid time";
}
std::string InvalidTimeStampMessage(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid date and time";
}
std::string InvalidBooleanMessage(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid boolean";
}

std::string FormatDate(std::int32_t day_number) {
  int year, month, day;
  if (!DecodeDate(day_number, &year, &month, &day)) return std::string();
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

std::string FormatTime(std::int32_t milliseconds) {
  // A time past midnight (time arithmetic does not wrap) shows its hours as they are.
  const bool negative = milliseconds < 0;
  std::int64_t ms = negative ? -static_cast<std::int64_t>(milliseconds) : milliseconds;
  const std::int64_t hour = ms / 3600000;
  const int minute = static_cast<int>(ms / 60000 % 60);
  const int second = static_cast<int>(ms / 1000 % 60);
  const int rest = static_cast<int>(ms % 1000);
  char text[48];
  int n = std::snprintf(text, sizeof text, "%s%02lld:%02d", negative ? "-" : "",
                        static_cast<long long>(hour), minute);
  if (second != 0 || rest != 0) {
    n += std::snprintf(text + n, sizeof text - n, ":%02d", second);
    if (rest != 0) std::snprintf(text + n, sizeof text - n, ".%d", rest);
  }
  return text;
}

std::string FormatTimeStamp(double value) {
  std::int32_t day, ms;
  if (!DecodeTimeStamp(value, &day, &ms)) return std::string();
  return FormatDate(day) + " " + FormatTime(ms);
}

std::string FormatFloat(double value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// ---- Conversion ---------------------------------------------------------------------------------

bool IsIntegerType(std::uint8_t type) {
  return type == fldSmallInt || type == fldInteger || type == fldWord || type == fldLargeInt;
}

bool IsNumericType(std::uint8_t type) {
  return IsIntegerType(type) || type == fldFloat || type == fldBCD;
}

bool IsMemoType(std::uint8_t type, std::uint8_t subtype) {
  return type == fldBlob && (subtype == fldstMemo || subtype == fldstFmtMemo);
}

bool ConvertValue(std::uint8_t source_type, std::uint32_t source_size, std::uint8_t source_scale,
                  std::uint8_t* buffer, std::uint8_t target_scale, std::uint32_t target_size,
                  std::uint8_t target_type) {
  TDecoded value;
  bool ok = Decode(source_type, source_size, buffer, &value);
  std::uint8_t out[kConvertBufferSize] = {};
  if (ok) {
    ok = Encode(value, source_type, source_size, source_scale, out, target_scale, target_size,
                target_type);
  }
  if (!ok) std::memset(out, 0, sizeof out);
  std::memcpy(buffer, out, kConvertBufferSize);
  return ok;
}

// ---- Text comparison ----------------------------------------------------------------------------

int CompareStrings(std::uint16_t language_id, std::uint16_t sort_id, bool ignore_case,
                   std::size_t length, const std::string& a, const std::string& b) {
  if (length != 0) {
    // Both texts are compared over `length` characters: pad the shorter with zeros so that the
    // comparison never reads past either.
    std::string x = a, y = b;
    if (x.size() < length) x.resize(length, '\0');
    if (y.size() < length) y.resize(length, '\0');
    return CompareText(language_id, sort_id, x.c_str(), y.c_str(), ignore_case, length);
  }
  return CompareText(language_id, sort_id, a.c_str(), b.c_str(), ignore_case, 0);
}

bool MatchLikeText(std::uint16_t language_id, std::uint16_t sort_id, std::string_view text,
                   std::string_view pattern) {
  return MatchLike(language_id, sort_id, text, pattern);
}

}  // namespace tabula
