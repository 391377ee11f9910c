// libFuzzer target over the data file's decoders: the header, the field descriptors, the header
// checks, the record field readers and the value codecs. Built by scripts/fuzz only, never by the
// test build.
//
// The input is taken as the start of a data file: the 127-byte header, then the descriptors,
// then records. Every decoder must stay inside the bytes it is given and answer with 0 or an
// engine code; a sanitizer finding aborts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage/data_file_format.h"
#include "engine/storage/field_types.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tabula;
  TDataHeader header;
  if (header.DecodeFrom(data, size) != 0) return 0;
  (void)header.PlainDescription();
  (void)header.PlainPassword();
  std::vector<TFieldDescriptor> descriptors;
  std::size_t at = kDataHeaderSize;
  const std::size_t count = header.FieldCount > kMaxFieldCount ? 0 : header.FieldCount;
  for (std::size_t i = 0; i < count; ++i) {
    TFieldDescriptor d;
    if (d.DecodeFrom(data + at, size - at) != 0) return 0;
    (void)d.QualifiedName();
    (void)d.SourceDirectory();
    descriptors.push_back(d);
    at += TFieldDescriptor::kEncodedLength;
  }
  (void)CheckDataHeader(header, descriptors, size);

  // Every field read out of every whole record that follows, as stored and unscrambled.
  const std::size_t record_size = header.RecordSize;
  std::vector<std::uint8_t> image(record_size);
  std::vector<std::uint8_t> value(512);
  for (; record_size > 0 && at + record_size <= size; at += record_size) {
    image.assign(data + at, data + at + record_size);
    if (header.Encrypted) ScrambleRun(image.data(), image.size(), kDataSeed);
    for (const TFieldDescriptor& d : descriptors) {
      bool is_null = false;
      if (ReadFieldValue(d, image.data(), image.size(), value.data(), &is_null) != 0) continue;
      std::string text;
      std::int64_t scaled = 0;
      int year = 0, month = 0, day = 0;
      std::int32_t day_number = 0, milliseconds = 0;
      switch (d.FieldType) {
        case fldBCD:
          if (d.PhysicalSize >= kBcdValueSize) {
            (void)DecodeBcd(value.data(), &scaled);
            (void)BcdToText(value.data(), &text);
          }
          break;
        case fldDate:
          (void)DecodeDate(static_cast<std::int32_t>(value[0] | value[1] << 8 | value[2] << 16 |
                                                     static_cast<std::uint32_t>(value[3]) << 24),
                           &year, &month, &day);
          break;
        case fldTimeStamp: {
          double stamp = 0;
          static_assert(sizeof stamp == 8);
          __builtin_memcpy(&stamp, value.data(), 8);
          (void)DecodeTimeStamp(stamp, &day_number, &milliseconds);
          break;
        }
        case fldExtendedFloat:
          (void)DecodeExtended(value.data());
          break;
        default:
          break;
      }
      // Storing the value back must stay inside the image too.
      (void)StoreFieldValue(d, image.data(), image.size(), value.data(), FieldValueSize(d));
    }
  }
  return 0;
}
