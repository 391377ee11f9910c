// tabula-info: shows what a table's data file holds.
//
//   tabula-info [--records] TABLE
//
// Prints the data file's header, its field descriptors, the index descriptors of the index
// file (TABLE.IDX) and, for a table with BLOB fields, the BLOB file's header (TABLE.BLB: block
// size, blocks, length of the free chain) as aligned tables; with --records also the active
// records as CSV (one header line of field names, then one line per record; a memo shows its
// text, any other BLOB value its size).
// TABLE is the table's path, with or without an extension (the data file is TABLE.DAT).
//
// The tool only reads: it opens the data file shared, never writes, and takes no record or
// table locks. A damaged or foreign file is reported with the engine's error message on
// standard error and exit code 1; a usage error gives exit code 2.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/index/index_file.h"
#include "engine/index/index_format.h"
#include "engine/storage/blob_file.h"
#include "engine/storage/data_file.h"
#include "engine/storage/data_file_format.h"
#include "engine/storage/field_types.h"

namespace tabula {
namespace {

constexpr int kExitEngineError = 1;
constexpr int kExitUsage = 2;

void PrintUsage(std::ostream& out) {
  out << "usage: tabula-info [--records] TABLE\n"
         "  Shows the header and field descriptors of TABLE's data file (TABLE.DAT);\n"
         "  --records also lists the active records as CSV.\n";
}

// A file of the table: the table path with its extension (if any) replaced by `extension`.
std::string TableFileName(const std::string& table, const char* extension) {
  const std::size_t slash = table.find_last_of("/\\");
  const std::size_t dot = table.find_last_of('.');
  const bool has_extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_extension ? table.substr(0, dot) : table) + extension;
}

std::string FormatDouble(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return result.ec == std::errc() ? std::string(buffer, result.ptr) : std::string("?");
}

std::string TwoDigits(int value) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%02d", value);
  return buffer;
}

std::string FormatDate(std::int32_t day_number) {
  int year = 0, month = 0, day = 0;
  if (!DecodeDate(day_number, &year, &month, &day)) return "?" + std::to_string(day_number);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", year, month, day);
  return buffer;
}

std::string FormatTime(std::int32_t milliseconds) {
  if (milliseconds < 0 || milliseconds >= kMillisecondsPerDay) {
    return "?" + std::to_string(milliseconds);
  }
  const int seconds = milliseconds / 1000;
  std::string text = TwoDigits(seconds / 3600) + ":" + TwoDigits(seconds / 60 % 60) + ":" +
                     TwoDigits(seconds % 60);
  if (milliseconds % 1000 != 0) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, ".%03d", milliseconds % 1000);
    text += buffer;
  }
  return text;
}

std::string FormatTimeStamp(double value) {
  std::int32_t day = 0, milliseconds = 0;
  if (!DecodeTimeStamp(value, &day, &milliseconds)) return "?" + FormatDouble(value);
  return FormatDate(day) + " " + FormatTime(milliseconds);
}

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

// The header's LastUpdated as a date and time: the stored value plus 693594 is the date-time
// (days since 1899-12-30), plus 693594 again the day number.
std::string FormatLastUpdated(double stored) {
  const double days = stored + 2 * kDateTimeDelta;
  if (!(days >= 1 && days < 3652060)) return FormatDouble(stored);
  const double whole = static_cast<double>(static_cast<std::int64_t>(days));
  const std::int32_t milliseconds =
      static_cast<std::int32_t>((days - whole) * kMillisecondsPerDay + 0.5);
  return FormatTimeStamp(EncodeTimeStamp(static_cast<std::int32_t>(whole),
                                         std::min(milliseconds, kMillisecondsPerDay - 1)));
}

// A BLOB value: a memo's text, any other value's size ("1234 bytes"); empty for an empty
// value, "?" when the table's BLOB file is missing.
std::string FormatBlob(const TFieldDescriptor& d, const std::uint8_t* image, std::size_t size,
                       TBlobFile* blob) {
  if (static_cast<std::size_t>(d.FieldOffset) + 9 > size) return "?";
  const std::uint8_t* area = image + d.FieldOffset;
  const std::int32_t first = static_cast<std::int32_t>(DecodeFixed32(area + 1));
  const std::int32_t owner = static_cast<std::int32_t>(DecodeFixed32(area + 5));
  if (first == 0) return "";
  if (blob == nullptr) return "?";
  std::vector<std::uint8_t> value;
  blob->ReadValue(nullptr, first, owner, &value);
  if (d.FieldSubType == fldstMemo || d.FieldSubType == fldstFmtMemo) {
    return std::string(value.begin(), value.end());
  }
  return std::to_string(value.size()) + " bytes";
}

// The value of a field in a record image as text; empty for null.
std::string FormatValue(const TFieldDescriptor& d, const std::uint8_t* image, std::size_t size,
                        TBlobFile* blob) {
  if (d.FieldType == fldBlob) return FormatBlob(d, image, size, blob);
  std::vector<std::uint8_t> value(std::max<std::size_t>(FieldValueSize(d), 8) + 1, 0);
  bool is_null = true;
  if (ReadFieldValue(d, image, size, value.data(), &is_null) != 0) return "?";
  if (is_null) return "";
  const std::uint8_t* v = value.data();
  switch (d.FieldType) {
    case fldString: {
      std::string text(reinterpret_cast<const char*>(v), d.PhysicalSize);
      return text.substr(0, text.find('\0'));
    }
    case fldDate:
      return FormatDate(static_cast<std::int32_t>(DecodeFixed32(v)));
    case fldBoolean:
      return DecodeFixed16(v) != 0 ? "true" : "false";
    case fldSmallInt:
      return std::to_string(static_cast<std::int16_t>(DecodeFixed16(v)));
    case fldInteger:
      return std::to_string(static_cast<std::int32_t>(DecodeFixed32(v)));
    case fldFloat:
      return FormatDouble(DecodeDouble(v));
    case fldBCD: {
      std::string text;
      return BcdToText(v, &text) ? text : "?";
    }
    case fldTime:
      return FormatTime(static_cast<std::int32_t>(DecodeFixed32(v)));
    case fldTimeStamp:
      return FormatTimeStamp(DecodeDouble(v));
    case fldWord:
      return std::to_string(DecodeFixed16(v));
    case fldUnsignedInteger:
      return std::to_string(DecodeFixed32(v));
    case fldExtendedFloat:
      return FormatDouble(DecodeExtended(v));
    case fldLargeInt:
      return std::to_string(static_cast<std::int64_t>(DecodeFixed64(v)));
    default:
      return Hex(v, d.PhysicalSize);
  }
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

// Prints rows as columns padded to their widest cell, separated by two blanks.
void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::cout << line << '\n';
  }
}

void PrintHeader(const TDataFile& file) {
  const TDataHeader& h = file.Header();
  const std::string version_text(FormatVersionText(h.FormatVersion));
  char locale[32];
  std::snprintf(locale, sizeof locale, "0x%04X, sort %u", h.LocaleID, h.SortID);
  PrintTable({
      {"Data file", file.FileName()},
      {"Format version", (version_text.empty() ? std::string("unknown") : version_text) + " (" +
                             std::to_string(h.FormatVersion) + ")"},
      {"Records", std::to_string(h.PhysicalRecordCount())},
      {"Next record", std::to_string(h.NextRecordNo)},
      {"First free record", std::to_string(h.FirstFreeRecord)},
      {"Record size", std::to_string(h.RecordSize)},
      {"Field count", std::to_string(h.FieldCount)},
      {"BLOB fields", std::to_string(h.BlobFieldCount)},
      {"BLOB block size", std::to_string(h.GetBlobBlockSize())},
      {"Change counter", std::to_string(h.ChangeCount)},
      {"Last record ID", std::to_string(h.LastRecordID)},
      {"Last BLOB ID", std::to_string(h.LastBlobID)},
      {"Encrypted", h.Encrypted ? "yes" : "no"},
      {"Locale", locale},
      {"User version",
       std::to_string(h.UserMajorVersion) + "." + std::to_string(h.UserMinorVersion)},
      {"Last updated", FormatLastUpdated(h.LastUpdated)},
      {"Engine version", std::to_string(h.EngineVersion)},
      {"Description", h.PlainDescription()},
  });
}

void PrintDescriptors(const TDataFile& file) {
  std::vector<std::vector<std::string>> rows = {{"No", "Name", "Type", "Subtype", "Size", "Scale",
                                                 "Offset", "Required", "Min", "Max", "Default"}};
  for (const TFieldDescriptor& d : file.Descriptors()) {
    rows.push_back({std::to_string(d.FieldNo), d.FieldName, std::string(FieldTypeName(d.FieldType)),
                    std::to_string(d.FieldSubType), std::to_string(d.FieldSize),
                    std::to_string(d.FieldScale), std::to_string(d.FieldOffset),
                    d.Required ? "yes" : "no", d.MinValue, d.MaxValue, d.DefaultValue});
  }
  PrintTable(rows);
}

const char* CompressionName(std::uint8_t compression) {
  switch (compression) {
    case icNone:
      return "none";
    case icDupByte:
      return "dupbyte";
    case icTrailByte:
      return "trailbyte";
    case icFull:
      return "full";
    default:
      return "?";
  }
}

// Counts the pages of the tree under `page_number`. Every page is fetched through the index
// file's checks, so a damaged tree is raised as TABULA_INDEXCORRUPT; a path deeper than the
// deepest a sound tree has is damaged too (it can only be a loop).
std::uint64_t CountTreePages(TIndexFile& index, int slot, std::uint32_t page_number, int depth) {
  if (page_number == 0) return 0;
  if (depth > kMaxTreeDepth) index.RaiseIndexCorrupt();
  TPage* page = index.FetchPage(slot, page_number, false);
  std::vector<std::uint32_t> children;
  if (!page->IsLeaf()) {
    for (int i = 1; i <= page->Count(); ++i) children.push_back(page->Value(i));
  }
  index.ReleasePage(page);
  std::uint64_t pages = 1;
  for (std::uint32_t child : children) pages += CountTreePages(index, slot, child, depth + 1);
  return pages;
}

// The index descriptors of the index file: one row per index in use (primary, secondary and
// the two system indexes), with its fields by name, options, key length, compression, root
// page, the pages its tree has and the keys it holds.
void PrintIndexes(const TDataFile& file, const std::string& table) {
  TIndexFile index;
  index.SetFileName(TableFileName(table, ".IDX"));
  if (!index.Exists()) {
    // The engine makes a new index file when it next opens the table; nothing to show.
    PrintTable({{"Index file", index.FileName() + " (missing)"}});
    return;
  }
  index.SetTableName(file.TableName());
  index.SetExclusive(false);
  index.SetEncrypted(file.Encrypted());
  index.Open();
  index.CheckHeader(file.Descriptors());
  const TIndexHeader& h = index.Header();
  PrintTable({
      {"Index file", index.FileName()},
      {"Change counter", std::to_string(h.ChangeCount)},
      {"Pages", std::to_string(h.NextPage - 1)},
      {"Live records", std::to_string(h.RecordCount)},
      {"Primary index", h.NoPrimaryIndex ? "internal (record identifier)" : "defined"},
  });
  std::cout << '\n';
  std::vector<std::vector<std::string>> rows = {
      {"Slot", "Name", "Fields", "Options", "Key length", "Compression", "Root", "Pages", "Keys"}};
  const std::vector<TFieldDescriptor>& fields = file.Descriptors();
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (!h.SlotInUse(slot)) continue;
    const TIndexDescriptor& d = h.Descriptors[slot];
    std::string field_text;
    for (int i = 0; i < d.FieldCount; ++i) {
      const std::uint16_t no = d.FieldNumbers[static_cast<std::size_t>(i)];
      if (i) field_text += ";";
      field_text +=
          no >= 1 && no <= fields.size() ? fields[no - 1u].FieldName : "#" + std::to_string(no);
      if (d.FieldDescending[static_cast<std::size_t>(i)]) field_text += " desc";
    }
    std::string options;
    const auto add = [&options](bool on, const char* name) {
      if (on) options += options.empty() ? name : std::string(",") + name;
    };
    add(d.Unique, "unique");
    add(d.CaseInsensitive, "case-insensitive");
    add(d.Descending, "descending");
    add(d.NoSubtreeCounts, "no-counts");
    std::string name = slot == kPrimarySlot ? "(primary)" : d.Name;
    const std::uint64_t pages = CountTreePages(index, slot, d.RootPage, 1);
    std::string keys = "-";
    if (!d.NoSubtreeCounts) {
      TBytewiseKeyComparator bytewise;
      TBTree tree = index.Tree(slot, bytewise);
      std::uint64_t count = 0;
      tree.KeyCount(&count);
      keys = std::to_string(count);
    }
    rows.push_back({std::to_string(slot), name, field_text, options.empty() ? "-" : options,
                    std::to_string(d.KeyLength), CompressionName(d.Compression),
                    std::to_string(d.RootPage), std::to_string(pages), keys});
  }
  PrintTable(rows);
  index.Close();
}

// The BLOB file of a table with BLOB fields, opened shared; null when it is missing.
std::unique_ptr<TBlobFile> OpenBlobFile(const TDataFile& file, const std::string& table) {
  auto blob = std::make_unique<TBlobFile>();
  blob->SetFileName(TableFileName(table, ".BLB"));
  if (!blob->Exists()) return nullptr;
  blob->SetTableName(file.TableName());
  blob->SetExclusive(false);
  blob->SetBlockSize(file.GetBlobBlockSize());
  blob->SetEncrypted(file.Encrypted());
  blob->Open();
  return blob;
}

// The blocks of the free chain; a link outside the file or back into the chain is damage.
std::int64_t FreeChainLength(TBlobFile& blob) {
  std::unordered_set<std::int32_t> seen;
  for (std::int32_t n = blob.Header().FirstFreeBlock; n != 0;) {
    if (n < 1 || n > blob.BlockCount() || !seen.insert(n).second) {
      RaiseTableError(TABULA_MEMOCORRUPT, blob.TableName());
    }
    TBlock* block = blob.GetBlock(nullptr, n, 1, false);
    n = block->Next();
    blob.Unpin(block);
  }
  return static_cast<std::int64_t>(seen.size());
}

void PrintBlobFile(TBlobFile* blob, const std::string& table) {
  if (blob == nullptr) {
    PrintTable({{"BLOB file", TableFileName(table, ".BLB") + " (missing)"}});
    return;
  }
  const TBlobHeader& h = blob->Header();
  PrintTable({
      {"BLOB file", blob->FileName()},
      {"Change counter", std::to_string(h.ChangeCount)},
      {"Block size", std::to_string(blob->BlockSize())},
      {"Blocks", std::to_string(blob->BlockCount())},
      {"Free chain length", std::to_string(FreeChainLength(*blob))},
  });
}

void PrintRecords(TDataFile& file, TBlobFile* blob) {
  const std::vector<TFieldDescriptor>& fields = file.Descriptors();
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    line += (i ? "," : "") + CsvField(fields[i].FieldName);
  }
  std::cout << line << '\n';
  const std::size_t record_size = static_cast<std::size_t>(file.RecordSize());
  const std::int32_t block = std::max<std::int32_t>(1, 65536 / file.RecordSize());
  std::vector<std::uint8_t> buffer(record_size * static_cast<std::size_t>(block));
  const std::int32_t total = file.PhysicalRecordCount();
  for (std::int32_t first = 1; first <= total; first += block) {
    const std::int32_t count = std::min(block, total - first + 1);
    const std::int32_t read = file.ReadRecordImages(first, count, buffer.data());
    if (read < count) RaiseTableError(TABULA_READERR, file.TableName());
    for (std::int32_t i = 0; i < read; ++i) {
      const std::uint8_t* image = buffer.data() + static_cast<std::size_t>(i) * record_size;
      if (RecordStatus(image) != kStatusActive) continue;
      line.clear();
      for (std::size_t f = 0; f < fields.size(); ++f) {
        line += (f ? "," : "") + CsvField(FormatValue(fields[f], image, record_size, blob));
      }
      std::cout << line << '\n';
    }
  }
}

int Run(int argc, char** argv) {
  bool records = false;
  std::string table;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--records") {
      records = true;
    } else if (arg == "--help" || arg == "-h") {
      PrintUsage(std::cout);
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::cerr << "tabula-info: unknown option " << arg << '\n';
      PrintUsage(std::cerr);
      return kExitUsage;
    } else if (table.empty()) {
      table = arg;
    } else {
      PrintUsage(std::cerr);
      return kExitUsage;
    }
  }
  if (table.empty()) {
    PrintUsage(std::cerr);
    return kExitUsage;
  }
  try {
    TDataFile file;
    file.SetFileName(TableFileName(table, ".DAT"));
    file.SetExclusive(false);
    file.Open();
    PrintHeader(file);
    std::cout << '\n';
    PrintDescriptors(file);
    std::cout.flush();
    // A file whose header does not match its descriptors and size is reported, not dumped.
    file.CheckHeader();
    std::cout << '\n';
    PrintIndexes(file, table);
    std::cout.flush();
    std::unique_ptr<TBlobFile> blob;
    if (file.Header().BlobFieldCount > 0) {
      blob = OpenBlobFile(file, table);
      std::cout << '\n';
      PrintBlobFile(blob.get(), table);
      std::cout.flush();
    }
    if (records) {
      std::cout << '\n';
      PrintRecords(file, blob.get());
    }
    file.Close();
  } catch (const ETabulaEngineError& e) {
    std::cout.flush();
    std::cerr << "tabula-info: " << e.what() << " [" << EngineErrorName(e.ErrorCode()) << ", "
              << e.ErrorCode() << "]\n";
    return kExitEngineError;
  }
  return 0;
}

}  // namespace
}  // namespace tabula

int main(int argc, char** argv) {
  try {
    return tabula::Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "tabula-info: " << e.what() << '\n';
    return tabula::kExitEngineError;
  }
}
