// Value rules of expressions: the literal formats of dates, times, timestamps and booleans, the
// conversion of a value between field types in its record encoding (ConvertValue), and the
// collation-aware comparison of texts (CompareStrings) and LIKE matching.
//
// Conversions never raise: a value that does not convert gives false and a zeroed value, so that
// bad data in a record yields NULL or zero instead of an error. The literal parsers report
// failure to the caller, which turns it into its own message.
//
// Thread-safety: pure functions; the collation services they use are process-wide and safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tabula {

// Size of the buffer ConvertValue converts in place.
constexpr std::size_t kConvertBufferSize = 251;

// ---- Literal formats --------------------------------------------------------------------------

// yyyy-mm-dd, leading zeros optional, blanks around the text ignored. Gives the day number.
bool ParseDateLiteral(std::string_view text, std::int32_t* day_number);
// hh:mm[:ss[.ms]] with an optional AM or PM anywhere (ignoring case). Gives milliseconds since
// midnight. The milliseconds are the decimal number after the point ("1.5" is 5 ms), the form
// FormatTime writes.
bool ParseTimeLiteral(std::string_view text, std::int32_t* milliseconds);
// A date and a time separated by a blank; without a blank a time when the text holds ':', else
// a date at midnight. Gives the timestamp value.
bool ParseTimeStampLiteral(std::string_view text, double* value);
// TRUE or FALSE, ignoring case.
bool ParseBooleanLiteral(std::string_view text, bool* value);

// The failure messages of the literal formats ("'%s' is not a valid date" and the others).
std::string InvalidDateMessage(std::string_view text);
std::string InvalidTimeMessage(std::string_view text);
std::string InvalidTimeStampMessage(std::string_view text);
std::string InvalidBooleanMessage(std::string_view text);

// yyyy-mm-dd, zero-padded; empty for a day number outside the calendar.
std::string FormatDate(std::int32_t day_number);
// hh:mm, then :ss when the seconds are non-zero, then .n when also the milliseconds are.
std::string FormatTime(std::int32_t milliseconds);
// The date text, a blank and the time text.
std::string FormatTimeStamp(double value);
// Shortest decimal text that reads back as the same double, "." as separator.
std::string FormatFloat(double value);

// ---- Conversion ---------------------------------------------------------------------------------

// True for smallint, integer, word and largeint.
bool IsIntegerType(std::uint8_t type);
// True for the six numeric types: the integer types, float and BCD.
bool IsNumericType(std::uint8_t type);
// True for a BLOB holding text (memo and formatted memo).
bool IsMemoType(std::uint8_t type, std::uint8_t subtype);

// Converts the value in `buffer` (source encoding) in place into the target encoding.
// Strings are NUL-terminated within the buffer; a string target is cut to target_size - 1
// characters. Returns false for a pair that has no conversion or a value that does not convert;
// the target value is then all zero bytes.
// REQUIRES: buffer holds kConvertBufferSize bytes.
bool ConvertValue(std::uint8_t source_type, std::uint32_t source_size, std::uint8_t source_scale,
                  std::uint8_t* buffer, std::uint8_t target_scale, std::uint32_t target_size,
                  std::uint8_t target_type);

// ---- Text comparison ----------------------------------------------------------------------------

// -1, 0 or 1. Language id 0: unsigned byte order up to and including the terminating NUL (or over
// `length` characters), both texts upper-cased first when case is ignored. Otherwise the locale
// comparison of the pair. A pair that is not installed raises TABULA_CANNOTLOADLDDRV.
int CompareStrings(std::uint16_t language_id, std::uint16_t sort_id, bool ignore_case,
                   std::size_t length, const std::string& a, const std::string& b);

// LIKE under the pair: `%` any run, `_` one character, no escape. With language id 0 letters
// match without regard to case.
bool MatchLikeText(std::uint16_t language_id, std::uint16_t sort_id, std::string_view text,
                   std::string_view pattern);

}  // namespace tabula
