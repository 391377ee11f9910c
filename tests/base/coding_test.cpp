#include "engine/base/coding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tabula {
namespace {

// Each row: bytes as they lie in a file, lowest address first, and the value they hold. The
// high bits of every byte are set somewhere, so that a byte read as signed would show.
TEST(CodingTest, FixedWidthValuesAreLittleEndian) {
  struct TCase {
    std::vector<std::uint8_t> bytes;
    std::uint64_t value;
  };
  const std::vector<TCase> cases = {
      {{0x34, 0x12}, 0x1234u},
      {{0xFF, 0x80}, 0x80FFu},
      {{0x78, 0x56, 0x34, 0x12}, 0x12345678u},
      {{0x01, 0x00, 0x00, 0x80}, 0x80000001u},
      {{0xFE, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFEu},
      {{0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}, 0x0123456789ABCDEFull},
      {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}, 0x8000000000000000ull},
      {{0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88}, 0x8887868584838281ull},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const TCase& c = cases[i];
    std::vector<std::uint8_t> written(c.bytes.size() + 1, 0xAA);
    switch (c.bytes.size()) {
      case 2:
        EXPECT_EQ(DecodeFixed16(c.bytes.data()), c.value) << i;
        EncodeFixed16(written.data(), static_cast<std::uint16_t>(c.value));
        break;
      case 4:
        EXPECT_EQ(DecodeFixed32(c.bytes.data()), c.value) << i;
        EncodeFixed32(written.data(), static_cast<std::uint32_t>(c.value));
        break;
      default:
        EXPECT_EQ(DecodeFixed64(c.bytes.data()), c.value) << i;
        EncodeFixed64(written.data(), c.value);
        break;
    }
    // Exactly the value's bytes are written, and nothing beyond them.
    EXPECT_EQ(std::vector<std::uint8_t>(written.begin(), written.end() - 1), c.bytes) << i;
    EXPECT_EQ(written.back(), 0xAA) << i;
  }
  // A value read at an odd address.
  const std::uint8_t odd[9] = {0x00, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x81};
  EXPECT_EQ(DecodeFixed32(odd + 1), 0x05060708u);
  EXPECT_EQ(DecodeFixed64(odd + 1), 0x8102030405060708ull);
  const std::uint8_t minus_half[8] = {0, 0, 0, 0, 0, 0, 0xE0, 0xBF};
  EXPECT_EQ(DecodeDouble(minus_half), -0.5);
}

}  // namespace
}  // namespace tabula
