// Little-endian encoding helpers and short strings, used by every stored format.
//
// Every file format of the engine is little-endian. Formats never reinterpret structs onto
// file bytes; they read and write each field through these helpers at its named offset.
// A short string is a length byte followed by a fixed capacity of characters; the bytes after
// the length are zero-filled when written. Decoders are bounded by the capacity they are given.
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tabula {

inline void EncodeFixed16(std::uint8_t* dst, std::uint16_t value) {
  dst[0] = static_cast<std::uint8_t>(value);
  dst[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void EncodeFixed32(std::uint8_t* dst, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) dst[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void EncodeFixed64(std::uint8_t* dst, std::uint64_t value) {
  EncodeFixed32(dst, static_cast<std::uint32_t>(value));
  EncodeFixed32(dst + 4, static_cast<std::uint32_t>(value >> 32));
}

inline std::uint16_t DecodeFixed16(const std::uint8_t* src) {
  return static_cast<std::uint16_t>(src[0] | (src[1] << 8));
}

// The decoders are written out byte by byte, a form the compiler turns into one load (a loop
// over the bytes it leaves as a loop).
inline std::uint32_t DecodeFixed32(const std::uint8_t* src) {
  return static_cast<std::uint32_t>(src[0]) | (static_cast<std::uint32_t>(src[1]) << 8) |
         (static_cast<std::uint32_t>(src[2]) << 16) | (static_cast<std::uint32_t>(src[3]) << 24);
}

inline std::uint64_t DecodeFixed64(const std::uint8_t* src) {
  return static_cast<std::uint64_t>(DecodeFixed32(src)) |
         (static_cast<std::uint64_t>(DecodeFixed32(src + 4)) << 32);
}

inline void EncodeDouble(std::uint8_t* dst, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  EncodeFixed64(dst, bits);
}

inline double DecodeDouble(const std::uint8_t* src) {
  const std::uint64_t bits = DecodeFixed64(src);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Writes `text` as a short string of `capacity` characters at `dst` (1 + capacity bytes):
// the length byte, the characters, zeros up to the capacity. Longer texts are cut.
// REQUIRES: capacity <= 255.
inline void EncodeShortString(std::uint8_t* dst, std::string_view text, std::size_t capacity) {
  const std::size_t length = text.size() < capacity ? text.size() : capacity;
  dst[0] = static_cast<std::uint8_t>(length);
  std::memcpy(dst + 1, text.data(), length);
  std::memset(dst + 1 + length, 0, capacity - length);
}

// Reads a short string of `capacity` characters. Returns false (and leaves `text` alone)
// when the length byte exceeds the capacity, which marks a damaged record.
inline bool DecodeShortString(const std::uint8_t* src, std::size_t capacity, std::string* text) {
  const std::size_t length = src[0];
  if (length > capacity) return false;
  text->assign(reinterpret_cast<const char*>(src + 1), length);
  return true;
}

}  // namespace tabula
