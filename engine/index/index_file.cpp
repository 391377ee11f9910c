#include "engine/index/index_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/index/keys.h"
#include "engine/storage/data_file_format.h"
#include "engine/storage/data_session.h"

namespace tabula {

namespace {

bool StartsIndexName(std::uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

std::uint64_t PageOffset(std::uint32_t page_number) {
  return static_cast<std::uint64_t>(page_number) * kIndexBlockSize;
}

// Definitions generations are drawn from one process-wide sequence, so that a value never
// stands for two different sets of definitions, not even of two files.
std::atomic<std::uint64_t> next_definitions_generation{1};

// Same index definitions: everything of a descriptor but its root and free-chain pages.
bool SameDefinition(const TIndexDescriptor& a, const TIndexDescriptor& b) {
  return a.Name == b.Name && a.KeyLength == b.KeyLength && a.Descending == b.Descending &&
         a.CaseInsensitive == b.CaseInsensitive && a.Unique == b.Unique &&
         a.Compression == b.Compression && a.FieldCount == b.FieldCount &&
         a.FieldDescending == b.FieldDescending && a.FieldNumbers == b.FieldNumbers &&
         a.ParameterPage == b.ParameterPage && a.NoSubtreeCounts == b.NoSubtreeCounts &&
         a.Temporary == b.Temporary;
}

bool SameDefinitions(const TIndexHeader& a, const TIndexHeader& b) {
  if (a.SecondaryCount != b.SecondaryCount || a.NoPrimaryIndex != b.NoPrimaryIndex) return false;
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (!a.SlotInUse(slot)) continue;
    if (!SameDefinition(a.Descriptors[slot], b.Descriptors[slot])) return false;
  }
  return true;
}

}  // namespace

// ---- Header checks.

std::uint16_t CheckIndexHeader(const TIndexHeader& header,
                               const std::vector<TFieldDescriptor>& fields) {
  if (header.Version != kIndexFileVersion) return TABULA_OLDVERSION;
  if (header.SecondaryCount > kMaxSecondaryIndexes) return TABULA_HEADERCORRUPT;
  const std::uint32_t pages = header.NextPage > 0 ? header.NextPage - 1 : 0;
  auto page_ok = [pages](std::uint32_t page) { return page <= pages; };
  auto check_pages = [&](const TIndexDescriptor& d) {
    return page_ok(d.RootPage) && page_ok(d.FreePage) && page_ok(d.ParameterPage);
  };
  // Field list: no 0 before a field number, every number an existing non-BLOB field; the sum
  // of the key widths.
  auto check_fields = [&](const TIndexDescriptor& d, std::size_t* widths) {
    *widths = 0;
    if (d.FieldCount > kIndexFieldLimit) return false;
    bool ended = false;
    int listed = 0;
    for (int i = 0; i < kIndexFieldLimit; ++i) {
      const std::uint16_t number = d.FieldNumbers[i];
      if (number == 0) {
        ended = true;
        continue;
      }
      if (ended || number > fields.size()) return false;
      const TFieldDescriptor& field = fields[number - 1];
      if (field.FieldType == fldBlob) return false;
      *widths += 1u + KeyWidthOf(field);
      ++listed;
    }
    return listed == d.FieldCount;
  };
  for (int slot = 0; slot <= header.SecondaryCount; ++slot) {
    const TIndexDescriptor& d = header.Descriptors[slot];
    if (slot == kPrimarySlot) {
      if (!d.Name.empty()) return TABULA_HEADERCORRUPT;
      if (header.NoPrimaryIndex && d.FieldCount == 0) continue;
      if (!header.NoPrimaryIndex && !d.Unique) return TABULA_HEADERCORRUPT;
    } else {
      const std::string name = TrimBlanks(d.Name);
      if (name.empty() || !StartsIndexName(static_cast<std::uint8_t>(name[0]))) {
        return TABULA_HEADERCORRUPT;
      }
      for (int other = 1; other < slot; ++other) {
        if (SameNameTrimmed(header.Descriptors[other].Name, name)) return TABULA_HEADERCORRUPT;
      }
    }
    std::size_t widths = 0;
    if (!check_fields(d, &widths)) return TABULA_HEADERCORRUPT;
    if (widths < 1 || widths > kMaxKeySegmentsLength) return TABULA_HEADERCORRUPT;
    // Keys are built from the fields and read by the tree with the descriptor's length: the
    // two must agree, or a key buffer would be read past its end.
    if (d.KeyLength != widths + (d.Unique ? 0u : kKeySuffixSize)) return TABULA_HEADERCORRUPT;
    if (d.Compression > icFull) return TABULA_HEADERCORRUPT;
    if (!check_pages(d)) return TABULA_HEADERCORRUPT;
  }
  const TIndexDescriptor& deleted = header.Descriptors[kSysDeletedSlot];
  if (deleted.KeyLength != kSysDeletedKeySize || deleted.Compression > icFull ||
      !check_pages(deleted)) {
    return TABULA_HEADERCORRUPT;
  }
  const TIndexDescriptor& text = header.Descriptors[kSysTextSlot];
  if (text.KeyLength != kSysTextKeySize || text.Compression > icFull || !check_pages(text)) {
    return TABULA_HEADERCORRUPT;
  }
  for (int i = 0; i < kIndexFieldLimit; ++i) {
    const std::uint16_t number = text.FieldNumbers[i];
    if (number == 0) continue;
    if (number > fields.size()) return TABULA_HEADERCORRUPT;
    const TFieldDescriptor& field = fields[number - 1];
    const bool memo = field.FieldType == fldBlob && field.FieldSubType == fldstMemo;
    if (field.FieldType != fldString && !memo) return TABULA_HEADERCORRUPT;
  }
  return 0;
}

void TIndexFile::CheckHeader(const std::vector<TFieldDescriptor>& fields) const {
  const std::uint16_t code = CheckIndexHeader(header_, fields);
  if (code != 0) Raise(code);
}

// ---- Text-index parameters.

std::vector<std::uint8_t> TTextIndexParameters::Encode() const {
  std::vector<std::uint8_t> out(4, 0);
  EncodeFixed32(out.data(), static_cast<std::uint32_t>(StopWords.size()));
  for (const std::string& word : StopWords) {
    const std::size_t length = std::min<std::size_t>(word.size(), 255);
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), word.begin(), word.begin() + static_cast<std::ptrdiff_t>(length));
  }
  out.insert(out.end(), Spaces.begin(), Spaces.end());
  out.insert(out.end(), Includes.begin(), Includes.end());
  return out;
}

bool TTextIndexParameters::Decode(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 4) return false;
  const std::uint32_t count = DecodeFixed32(bytes.data());
  std::size_t at = 4;
  std::vector<std::string> words;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (at >= bytes.size()) return false;
    const std::size_t length = bytes[at++];
    if (bytes.size() - at < length) return false;
    words.emplace_back(reinterpret_cast<const char*>(bytes.data() + at), length);
    at += length;
  }
  if (bytes.size() - at < 64) return false;
  std::memcpy(Spaces.data(), bytes.data() + at, 32);
  std::memcpy(Includes.data(), bytes.data() + at + 32, 32);
  StopWords = std::move(words);
  return true;
}

// ---- Lifecycle.

TIndexFile::TIndexFile() : header_(TIndexHeader::Create()) {
  for (TSlotCache& cache : caches_) cache.capacity = default_capacity_;
  DefinitionsChanged();
}

void TIndexFile::DefinitionsChanged() {
  definitions_generation_ = next_definitions_generation.fetch_add(1, std::memory_order_relaxed);
}

void TIndexFile::TakeHeader(TIndexHeader decoded) {
  const bool same = SameDefinitions(header_, decoded);
  header_ = std::move(decoded);
  header_dirty_ = false;
  if (!same) DefinitionsChanged();
}

TIndexFile::~TIndexFile() {
  try {
    Close();
  } catch (...) {
    // A failure while closing in a destructor has nobody to report to; the table object
    // closes its files explicitly before it is freed.
  }
}

void TIndexFile::Raise(std::uint16_t code) const {
  RaiseTableError(code, table_name_.empty() ? FileName() : table_name_);
}

void TIndexFile::RaiseIndexCorrupt() const { Raise(TABULA_INDEXCORRUPT); }

void TIndexFile::SetDataBufferSize(std::int32_t bytes) {
  default_capacity_ = bytes > 0 ? static_cast<int>(bytes / 8192) : 0;
  for (TSlotCache& cache : caches_) cache.capacity = default_capacity_;
}

void TIndexFile::ResetCounters() {
  page_fetches_ = 0;
  disk_reads_ = 0;
  page_writes_ = 0;
  spill_writes_ = 0;
}

void TIndexFile::Open() {
  if (Opened()) return;
  TFileHandler::Open();
  try {
    DiscardPages();
    ReadHeader();
  } catch (...) {
    TFileHandler::Close();
    throw;
  }
  DefinitionsChanged();
  ResetCounters();
}

void TIndexFile::Close() {
  // A temporary index may exist before the file is opened; its scratch file goes either way.
  DropTemporaryIndexes();
  if (Opened()) {
    FlushPages();
    if (header_dirty_) WriteHeader(false);
  }
  for (int slot = 0; slot < kIndexSlotCount; ++slot) DiscardSlot(slot);
  shadow_.Clear();
  TFileHandler::Close();
}

void TIndexFile::CreateNew() {
  for (int slot = 0; slot < kIndexSlotCount; ++slot) DiscardSlot(slot);
  shadow_.Clear();
  TFileHandler::CreateNew();
  WriteHeader(true);
  DefinitionsChanged();
  ResetCounters();
}

// ---- Header.

void TIndexFile::CreateHeader() {
  header_ = TIndexHeader::Create();
  header_dirty_ = true;
  DefinitionsChanged();
}

void TIndexFile::EncodeHeaderForDisk(std::uint8_t* block) {
  std::uint8_t* image = encoded_header_.data();
  auto pages_of = [this](int slot) {
    const TIndexDescriptor& d = header_.Descriptors[slot];
    return TSlotPages{d.RootPage, d.FreePage, d.ParameterPage};
  };
  if (encoded_generation_ != definitions_generation_) {
    // Temporary descriptors sit after the permanent ones and never reach the file.
    int permanent = 0;
    while (permanent < header_.SecondaryCount && !header_.Descriptors[permanent + 1].Temporary) {
      ++permanent;
    }
    header_.EncodeTo(image);
    for (int slot = permanent + 1; slot <= header_.SecondaryCount; ++slot) {
      std::memset(image + TIndexHeader::DescriptorOffset(slot), 0,
                  TIndexDescriptor::kEncodedLength);
    }
    for (int slot = 0; slot < kIndexSlotCount; ++slot) encoded_pages_[slot] = pages_of(slot);
    encoded_permanent_ = permanent;
    encoded_generation_ = definitions_generation_;
  } else {
    header_.EncodeScalarsTo(image);
    for (int slot = 0; slot < kIndexSlotCount; ++slot) {
      if (slot > encoded_permanent_ && slot <= header_.SecondaryCount) continue;  // temporary
      const TSlotPages pages = pages_of(slot);
      if (pages == encoded_pages_[slot]) continue;
      std::uint8_t* d = image + TIndexHeader::DescriptorOffset(slot);
      EncodeFixed32(d + kDescRootPage, pages.root);
      EncodeFixed32(d + kDescFreePage, pages.free);
      EncodeFixed32(d + kDescParameterPage, pages.parameter);
      encoded_pages_[slot] = pages;
    }
  }
  image[kIdxHeaderSecondaryCount] = static_cast<std::uint8_t>(encoded_permanent_);
  std::memcpy(block, image, kIndexBlockSize);
  if (encrypted_) ScrambleRun(block, kIndexBlockSize, kDataSeed);
}

void TIndexFile::ReadHeader() {
  std::uint8_t block[kIndexBlockSize];
  ReadAt(0, block, sizeof block);
  if (encrypted_) ScrambleRun(block, sizeof block, kDataSeed);
  TIndexHeader decoded;
  if (decoded.DecodeFrom(block, sizeof block) != 0) Raise(TABULA_HEADERCORRUPT);
  TakeHeader(std::move(decoded));
}

void TIndexFile::WriteHeader(bool force) {
  if (!force && !header_dirty_) return;
  ++header_.ChangeCount;
  std::uint8_t block[kIndexBlockSize];
  EncodeHeaderForDisk(block);
  WriteAt(0, block, sizeof block);
  header_dirty_ = false;
}

bool TIndexFile::HeaderChanged() {
  // The counter alone first: a writer moves it with every header it writes, so an unchanged
  // counter means an unchanged header, and the common check reads 4 bytes, not the block.
  // The scrambling runs from the start of the block, so its first bytes unscramble alone.
  static_assert(kIdxHeaderChangeCount == 0);
  std::uint8_t counter[4];
  ReadAt(0, counter, sizeof counter);
  if (encrypted_) ScrambleRun(counter, sizeof counter, kDataSeed);
  if (DecodeFixed32(counter) == header_.ChangeCount) return false;
  std::uint8_t block[kIndexBlockSize];
  ReadAt(0, block, sizeof block);
  if (encrypted_) ScrambleRun(block, sizeof block, kDataSeed);
  if (DecodeFixed32(block + kIdxHeaderChangeCount) == header_.ChangeCount) return false;
  TIndexHeader decoded;
  if (decoded.DecodeFrom(block, sizeof block) != 0) Raise(TABULA_HEADERCORRUPT);
  // This process's temporary indexes follow the permanent ones of the new header.
  std::vector<int> temporary_slots;
  for (int slot = 1; slot <= header_.SecondaryCount; ++slot) {
    if (header_.Descriptors[slot].Temporary) temporary_slots.push_back(slot);
  }
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (!header_.Descriptors[slot].Temporary) DiscardSlot(slot);
  }
  std::array<TSlotCache, kIndexSlotCount> moved;
  std::array<bool, kIndexSlotCount> has_moved{};
  int next_slot = decoded.SecondaryCount + 1;
  for (int old_slot : temporary_slots) {
    if (next_slot > kMaxSecondaryIndexes) {
      DiscardSlot(old_slot);
      continue;
    }
    decoded.Descriptors[next_slot] = header_.Descriptors[old_slot];
    moved[next_slot] = std::move(caches_[old_slot]);
    caches_[old_slot] = TSlotCache();
    caches_[old_slot].capacity = default_capacity_;
    for (auto& entry : moved[next_slot].pages) entry.second->SetSlot(next_slot);
    has_moved[next_slot] = true;
    decoded.SecondaryCount = static_cast<std::uint8_t>(next_slot);
    ++next_slot;
  }
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (has_moved[slot]) caches_[slot] = std::move(moved[slot]);
  }
  NoteSlotsWithPages();
  TakeHeader(std::move(decoded));
  return true;
}

void TIndexFile::EmptyIndexes() {
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    DiscardSlot(slot);
    TIndexDescriptor& d = header_.Descriptors[slot];
    d.RootPage = 0;
    d.FreePage = 0;
    d.ParameterPage = 0;
  }
  shadow_.Clear();  // spilled pages of the emptied indexes must not come back at the commit
  header_.NextPage = 1;
  header_.RecordCount = 0;
  scratch_next_page_ = 1;
  header_dirty_ = true;
  DefinitionsChanged();  // the parameter chain is gone
  {
    TFileAccess access(*this);
    Seek(kSeekFromStart, static_cast<std::int64_t>(kIndexBlockSize));
    Write(nullptr, 0);
  }
  if (scratch_ != nullptr) {
    TFileAccess access(*scratch_);
    scratch_->Seek(kSeekFromStart, 0);
    scratch_->Write(nullptr, 0);
  }
}

// ---- Definitions.

void TIndexFile::ValidateFields(const TIndexDefinition& definition,
                                const std::vector<TFieldDescriptor>& fields, bool primary) const {
  const std::string index_name = primary ? std::string() : definition.Name;
  for (std::uint16_t number : definition.FieldNumbers) {
    if (number == 0 || number > fields.size()) {
      RaiseTableError(TABULA_INVALIDIDXDESC, table_name_.empty() ? FileName() : table_name_, "",
                      index_name);
    }
    if (fields[number - 1].FieldType == fldBlob) {
      RaiseTableError(TABULA_SEARCHCOLREQD, table_name_.empty() ? FileName() : table_name_,
                      fields[number - 1].FieldName, index_name);
    }
  }
}

TIndexDescriptor TIndexFile::DescriptorFor(const TIndexDefinition& definition) const {
  const std::string table = table_name_.empty() ? FileName() : table_name_;
  if (definition.KeyLength == 0 || definition.KeyLength > kMaxKeySegmentsLength) {
    RaiseTableError(TABULA_INVALIDKEY, table, "", definition.Name);
  }
  if (definition.Compression > icFull) {
    RaiseTableError(TABULA_INVALIDIDXDESC, table, "", definition.Name);
  }
  TIndexDescriptor d;
  d.Name = definition.Name.substr(0, kMaxIndexNameLength);
  d.KeyLength =
      static_cast<std::uint16_t>(definition.KeyLength + (definition.Unique ? 0 : kKeySuffixSize));
  d.Descending = definition.Descending;
  d.CaseInsensitive = definition.CaseInsensitive;
  d.Unique = definition.Unique;
  d.Compression = definition.Compression;
  d.FieldCount = static_cast<std::uint8_t>(definition.FieldNumbers.size());
  for (std::size_t i = 0; i < definition.FieldNumbers.size(); ++i) {
    d.FieldNumbers[i] = definition.FieldNumbers[i];
    d.FieldDescending[i] =
        (i < definition.FieldDescending.size() && definition.FieldDescending[i]) ? 1 : 0;
  }
  d.NoSubtreeCounts = definition.NoSubtreeCounts;
  d.Temporary = definition.Temporary;
  return d;
}

void TIndexFile::DefinePrimaryIndex(const TIndexDefinition& definition,
                                    const std::vector<TFieldDescriptor>& fields) {
  const std::string table = table_name_.empty() ? FileName() : table_name_;
  if (!header_.NoPrimaryIndex && header_.Descriptors[kPrimarySlot].FieldCount > 0) {
    Raise(TABULA_PRIMARYKEYREDEFINE);
  }
  if (definition.FieldNumbers.size() > static_cast<std::size_t>(kIndexFieldLimit)) {
    Raise(TABULA_INDEXLIMIT);
  }
  ValidateFields(definition, fields, true);
  DefinitionsChanged();
  if (definition.FieldNumbers.empty()) {
    header_.NoPrimaryIndex = true;
    header_.Descriptors[kPrimarySlot] = TIndexDescriptor();
    header_dirty_ = true;
    return;
  }
  TIndexDefinition primary = definition;
  primary.Name.clear();
  primary.Unique = true;
  primary.Temporary = false;
  DiscardSlot(kPrimarySlot);
  header_.Descriptors[kPrimarySlot] = DescriptorFor(primary);
  header_.NoPrimaryIndex = false;
  header_dirty_ = true;
}

int TIndexFile::AddSecondaryIndex(const TIndexDefinition& definition,
                                  const std::vector<TFieldDescriptor>& fields) {
  const std::string table = table_name_.empty() ? FileName() : table_name_;
  if (header_.SecondaryCount >= kMaxSecondaryIndexes ||
      definition.FieldNumbers.size() > static_cast<std::size_t>(kIndexFieldLimit)) {
    RaiseTableError(TABULA_INDEXLIMIT, table, "", definition.Name);
  }
  const std::string name = TrimBlanks(definition.Name);
  if (name.empty()) RaiseTableError(TABULA_INDEXNAMEREQUIRED, table);
  if (!StartsIndexName(static_cast<std::uint8_t>(name[0]))) {
    RaiseTableError(TABULA_INVALIDINDEXNAME, table, "", definition.Name);
  }
  for (int slot = 1; slot <= header_.SecondaryCount; ++slot) {
    if (SameNameTrimmed(header_.Descriptors[slot].Name, name)) {
      RaiseTableError(TABULA_INDEXEXISTS, table, "", definition.Name);
    }
  }
  ValidateFields(definition, fields, false);
  TIndexDescriptor d = DescriptorFor(definition);
  if (d.Temporary) EnsureScratchFile();
  // Permanent indexes stay ahead of this process's temporary ones.
  int slot = header_.SecondaryCount + 1;
  if (!d.Temporary) {
    int first_temporary = 1;
    while (first_temporary <= header_.SecondaryCount &&
           !header_.Descriptors[first_temporary].Temporary) {
      ++first_temporary;
    }
    slot = first_temporary;
  }
  DiscardSlot(header_.SecondaryCount + 1);
  header_.Descriptors[header_.SecondaryCount + 1] = d;
  if (slot <= header_.SecondaryCount) {
    RotateSlots(slot, header_.SecondaryCount + 1, header_.SecondaryCount + 2);
  }
  ++header_.SecondaryCount;
  if (!d.Temporary) header_dirty_ = true;
  DefinitionsChanged();
  return slot;
}

void TIndexFile::RotateSlots(int first, int middle, int last) {
  std::rotate(header_.Descriptors.begin() + first, header_.Descriptors.begin() + middle,
              header_.Descriptors.begin() + last);
  std::rotate(caches_.begin() + first, caches_.begin() + middle, caches_.begin() + last);
  PagesChanged();
  for (int slot = first; slot < last; ++slot) {
    for (auto& entry : caches_[slot].pages) entry.second->SetSlot(slot);
  }
  NoteSlotsWithPages();
}

void TIndexFile::NoteSlotsWithPages() {
  slots_with_pages_ = 0;
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (!caches_[slot].pages.empty()) slots_with_pages_ |= std::uint64_t{1} << slot;
  }
}

void TIndexFile::DeleteIndex(int slot) {
  DefinitionsChanged();
  if (slot == kPrimarySlot) {
    DiscardSlot(kPrimarySlot);
    header_.NoPrimaryIndex = true;
    header_.Descriptors[kPrimarySlot] = TIndexDescriptor();
    header_dirty_ = true;
    return;
  }
  if (slot < 1 || slot > header_.SecondaryCount) Raise(TABULA_INVALIDINDEXDELETE);
  DiscardSlot(slot);
  RotateSlots(slot, slot + 1, header_.SecondaryCount + 1);
  --header_.SecondaryCount;
  header_dirty_ = true;
}

bool TIndexFile::FindIndex(const std::string& name) const { return IndexSlot(name) >= 0; }

int TIndexFile::IndexSlot(const std::string& name) const {
  if (TrimBlanks(name).empty()) return header_.NoPrimaryIndex ? -1 : kPrimarySlot;
  for (int slot = 1; slot <= header_.SecondaryCount; ++slot) {
    if (SameNameTrimmed(header_.Descriptors[slot].Name, name)) return slot;
  }
  return -1;
}

void TIndexFile::DropTemporaryIndexes() {
  int slot = header_.SecondaryCount;
  while (slot >= 1 && header_.Descriptors[slot].Temporary) {
    DiscardSlot(slot);
    header_.Descriptors[slot] = TIndexDescriptor();
    --slot;
  }
  if (slot != header_.SecondaryCount) DefinitionsChanged();
  header_.SecondaryCount = static_cast<std::uint8_t>(slot);
  if (scratch_ != nullptr) {
    scratch_->Close();
    try {
      scratch_->Remove();
    } catch (const ETabulaEngineError&) {
      // A scratch file that cannot be removed is left in the temporary directory.
    }
    scratch_.reset();
  }
  scratch_next_page_ = 1;
}

std::string TIndexFile::MakeScratchName(const std::string& directory, std::uint32_t thread_id) {
  std::string prefix = directory;
  if (prefix.empty()) prefix = CurrentPlatform().TempDirectory();
  if (prefix.back() != '\\' && prefix.back() != '/') prefix += '\\';
  prefix += std::to_string(thread_id).substr(0, 5);
  for (std::uint32_t counter = 0;; ++counter) {
    std::string name = prefix + std::to_string(counter) + ".IXS";
    TFileHandler probe;
    probe.SetFileName(name);
    if (!probe.Exists()) return name;
  }
}

void TIndexFile::EnsureScratchFile() {
  if (scratch_ != nullptr) return;
  auto scratch = std::make_unique<TFileHandler>();
  scratch->SetInMemory(InMemory());
  scratch->SetTemporary(true);
  if (InMemory()) {
    scratch->SetFileName(FileName() + ".IXS");
  } else {
    scratch->SetFileName(MakeScratchName(temp_directory_, CurrentPlatform().ThreadId()));
  }
  scratch->CreateNew();
  scratch_ = std::move(scratch);
  scratch_next_page_ = 1;
}

// ---- Record count.

void TIndexFile::SetRecordCount(std::uint32_t count) {
  header_.RecordCount = count;
  header_dirty_ = true;
}

void TIndexFile::IncRecordCount() { SetRecordCount(header_.RecordCount + 1); }

void TIndexFile::DecRecordCount() {
  if (header_.RecordCount > 0) SetRecordCount(header_.RecordCount - 1);
}

// ---- Keys.

void TIndexFile::InsertKey(int slot, const TKeyComparator& comparator, const std::uint8_t* key,
                           std::uint32_t record_number, TInsertHint* hint) {
  TBTree tree(*this, slot, comparator);
  tree.Insert(key, record_number, hint);
}

void TIndexFile::DeleteKey(int slot, const TKeyComparator& comparator, const std::uint8_t* key,
                           std::uint32_t record_number) {
  TBTree tree(*this, slot, comparator);
  if (!tree.Remove(key, record_number)) {
    RaiseTableError(TABULA_INDEXCORRUPT, table_name_.empty() ? FileName() : table_name_, "",
                    header_.Descriptors[slot].Name);
  }
}

// ---- Text-index parameter chain.

std::vector<std::uint8_t> TIndexFile::ReadParameterChain() {
  std::vector<std::uint8_t> bytes;
  std::uint32_t number = header_.Descriptors[kSysTextSlot].ParameterPage;
  std::uint32_t steps = 0;
  while (number != 0) {
    if (++steps >= header_.NextPage) RaiseIndexCorrupt();  // a cycle
    TPage* page = FetchPage(kSysTextSlot, number, false);
    if (page->PageType() != ptRawData || page->Free()) {
      ReleasePage(page);
      RaiseIndexCorrupt();
    }
    bytes.insert(bytes.end(), page->RawData(), page->RawData() + kPageEntryArea);
    number = page->NextPage();
    ReleasePage(page);
  }
  return bytes;
}

void TIndexFile::FreeChain(int slot, std::uint32_t first) {
  std::uint32_t number = first;
  std::uint32_t steps = 0;
  while (number != 0) {
    if (++steps >= header_.NextPage) RaiseIndexCorrupt();
    TPage* page = FetchPage(slot, number, false);
    number = page->NextPage();
    FreePage(page);
    ReleasePage(page);
  }
}

void TIndexFile::WriteParameterChain(const std::vector<std::uint8_t>& bytes) {
  TIndexDescriptor& text = header_.Descriptors[kSysTextSlot];
  const std::uint32_t old_chain = text.ParameterPage;
  text.ParameterPage = 0;
  header_dirty_ = true;
  DefinitionsChanged();
  FreeChain(kSysTextSlot, old_chain);
  const std::size_t chunks = (bytes.size() + kPageEntryArea - 1) / kPageEntryArea;
  TPage* previous = nullptr;
  for (std::size_t i = 0; i < chunks; ++i) {
    TPage* page = AllocatePage(kSysTextSlot);
    page->SetPageType(ptRawData);
    const std::size_t from = i * kPageEntryArea;
    const std::size_t length = std::min(kPageEntryArea, bytes.size() - from);
    std::memset(page->RawData(), 0, kPageEntryArea);
    std::memcpy(page->RawData(), bytes.data() + from, length);
    if (previous == nullptr) {
      text.ParameterPage = page->PageNumber();
    } else {
      previous->SetNextPage(page->PageNumber());
      ReleasePage(previous);
    }
    previous = page;
  }
  if (previous != nullptr) ReleasePage(previous);
}

// ---- Page store.

TPageFormat TIndexFile::PageFormatOf(int slot) const {
  return TPageFormat::FromDescriptor(header_.Descriptors[slot], slot);
}

void TIndexFile::SetRootPage(int slot, std::uint32_t page_number) {
  header_.Descriptors[slot].RootPage = page_number;
  header_dirty_ = true;
}

std::uint32_t TIndexFile::NextPageOf(int slot) const {
  return IsTemporarySlot(slot) ? scratch_next_page_ : header_.NextPage;
}

TPage* TIndexFile::FetchPage(int slot, std::uint32_t page_number, bool check_changes) {
  return FetchOrAllocate(slot, page_number, false, check_changes);
}

void TIndexFile::ReleasePage(TPage* page) { page->Unpin(); }

void TIndexFile::MruUnlink(TSlotCache& cache, TPage* page) {
  if (page->MruPrev != nullptr) page->MruPrev->MruNext = page->MruNext;
  if (page->MruNext != nullptr) page->MruNext->MruPrev = page->MruPrev;
  if (cache.mru_head == page) cache.mru_head = page->MruNext;
  if (cache.mru_tail == page) cache.mru_tail = page->MruPrev;
  page->MruPrev = nullptr;
  page->MruNext = nullptr;
}

void TIndexFile::MruPushFront(TSlotCache& cache, TPage* page) {
  page->LastUse = ++use_tick_;
  page->MruPrev = nullptr;
  page->MruNext = cache.mru_head;
  if (cache.mru_head != nullptr) cache.mru_head->MruPrev = page;
  cache.mru_head = page;
  if (cache.mru_tail == nullptr) cache.mru_tail = page;
}

TPage* TIndexFile::FindCached(int slot, std::uint32_t page_number) {
  TSlotCache& cache = caches_[slot];
  TPage*& recent = cache.recent[page_number & (kRecentPages - 1)];
  if (recent != nullptr && recent->PageNumber() == page_number) return recent;
  const auto it = cache.pages.find(page_number);
  if (it == cache.pages.end()) return nullptr;
  recent = it->second.get();
  return recent;
}

void TIndexFile::InsertCached(int slot, std::unique_ptr<TPage> page) {
  TSlotCache& cache = caches_[slot];
  TPage* raw = page.get();
  PagesChanged();
  cache.pages[raw->PageNumber()] = std::move(page);
  cache.recent[raw->PageNumber() & (kRecentPages - 1)] = raw;
  slots_with_pages_ |= std::uint64_t{1} << slot;
  MruPushFront(cache, raw);
}

std::unique_ptr<TPage> TIndexFile::RemoveFromCache(int slot, TPage* page) {
  TSlotCache& cache = caches_[slot];
  MruUnlink(cache, page);
  PagesChanged();
  const auto it = cache.pages.find(page->PageNumber());
  std::unique_ptr<TPage> owned = std::move(it->second);
  cache.pages.erase(it);
  TPage*& recent = cache.recent[page->PageNumber() & (kRecentPages - 1)];
  if (recent == page) recent = nullptr;
  if (cache.pages.empty()) slots_with_pages_ &= ~(std::uint64_t{1} << slot);
  return owned;
}

std::unique_ptr<TPage> TIndexFile::TakePageObject(int slot) {
  TSlotCache& cache = caches_[slot];
  auto spare_or_new = [this]() {
    if (!spare_.empty()) {
      std::unique_ptr<TPage> page = std::move(spare_.back());
      spare_.pop_back();
      return page;
    }
    return std::make_unique<TPage>();
  };
  if (!PoolFull(slot)) return spare_or_new();
  if (in_transaction_ && !IsTemporarySlot(slot)) {
    // Only the pages a spill would write are searched for a clean one before spilling them. A
    // clean page further on is one the trees use again and again (an inner page that the
    // inserts pass but do not change): reusing it means reading it back at the next step, and
    // reaching it means passing every changed page before it.
    const std::uint64_t slots = SpillableSlots();
    if (TPage* victim = OldestReusablePage(SpillBatch(slots))) {
      return RemoveFromCache(victim->Slot(), victim);
    }
    SpillPages();
    if (TPage* victim = OldestReusablePage()) return RemoveFromCache(victim->Slot(), victim);
    cache.capacity += 4;
    return spare_or_new();
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (TPage* victim = OldestReusablePage()) return RemoveFromCache(victim->Slot(), victim);
    if (attempt > 0) break;
    // Nothing of a transaction is written to the file to make room; pages of temporary
    // indexes live in the private scratch file already.
    if (in_transaction_) break;
    FlushPages();
  }
  cache.capacity += 4;
  return spare_or_new();
}

bool TIndexFile::PoolFull(int slot) const {
  std::size_t pages = 0;
  std::size_t shares = 0;
  for (std::uint64_t bits = slots_with_pages_ | (std::uint64_t{1} << slot); bits != 0;
       bits &= bits - 1) {
    const TSlotCache& cache = caches_[__builtin_ctzll(bits)];
    pages += cache.pages.size();
    shares += static_cast<std::size_t>(std::max(cache.capacity, 0));
  }
  return pages >= shares;
}

template <typename TVisit>
void TIndexFile::VisitOldestFirst(std::uint64_t slots, TVisit visit) const {
  // Each slot's use list runs back from its most recently used page, so merging the lists from
  // their tails by LastUse visits the pool's pages from the least recently used on.
  std::array<TPage*, kIndexSlotCount> next{};
  std::array<int, kIndexSlotCount> active{};
  int count = 0;
  for (; slots != 0; slots &= slots - 1) {
    const int slot = __builtin_ctzll(slots);
    if (caches_[slot].mru_tail == nullptr) continue;
    next[slot] = caches_[slot].mru_tail;
    active[count++] = slot;
  }
  while (count > 0) {
    int best = 0;
    for (int i = 1; i < count; ++i) {
      if (next[active[i]]->LastUse < next[active[best]]->LastUse) best = i;
    }
    TPage*& at = next[active[best]];
    if (!visit(at)) return;
    at = at->MruPrev;
    if (at == nullptr) active[best] = active[--count];
  }
}

TPage* TIndexFile::OldestReusablePage(std::size_t reach) const {
  // Found in one merged walk: a slot whose pages are all changed is passed page by page only
  // as far as the pool's oldest clean page, not to its end.
  TPage* oldest = nullptr;
  VisitOldestFirst(slots_with_pages_, [&oldest, &reach](TPage* page) {
    if (!page->Dirty() && page->PinCount() == 0) {
      oldest = page;
      return false;
    }
    return --reach != 0;
  });
  return oldest;
}

TPage* TIndexFile::FetchOrAllocate(int slot, std::uint32_t page_number, bool allocate,
                                   bool check_changes) {
  ++page_fetches_;
  if (page_number == 0) RaiseIndexCorrupt();
  const bool temporary = IsTemporarySlot(slot);
  const std::uint32_t next = NextPageOf(slot);
  if (page_number == next && allocate) {
    if (page_number > kMaxIndexPageNumber ||
        PageOffset(page_number) + kIndexBlockSize > kMaxIndexFileSize) {
      Raise(TABULA_TABLEFULL);
    }
    std::unique_ptr<TPage> owned = TakePageObject(slot);
    owned->Reset(PageFormatOf(slot), page_number, slot);
    TPage* page = owned.get();
    InsertCached(slot, std::move(owned));
    if (temporary) {
      ++scratch_next_page_;
    } else {
      ++header_.NextPage;
      header_dirty_ = true;
    }
    page->Pin();
    return page;
  }
  if (page_number >= next) RaiseIndexCorrupt();
  TPage* page = FindCached(slot, page_number);
  if (page != nullptr) {
    TSlotCache& cache = caches_[slot];
    if (cache.mru_head != page) {
      MruUnlink(cache, page);
      MruPushFront(cache, page);
    }
    page->Pin();
    return page;
  }
  if (check_changes && OnCheckChanges && OnCheckChanges()) return nullptr;
  std::uint8_t block[kIndexBlockSize];
  ReadBlock(temporary, page_number, block);
  std::unique_ptr<TPage> owned = TakePageObject(slot);
  if (owned->LoadFrom(PageFormatOf(slot), page_number, slot, block, sizeof block, next - 1) != 0) {
    if (spare_.size() < kSparePages) spare_.push_back(std::move(owned));
    RaiseIndexCorrupt();
  }
  page = owned.get();
  InsertCached(slot, std::move(owned));
  page->Pin();
  return page;
}

void TIndexFile::ReadBlock(bool scratch, std::uint32_t page_number, std::uint8_t* buffer) {
  if (scratch && scratch_ == nullptr) RaiseIndexCorrupt();
  if (!scratch && shadow_.Holds(page_number)) {
    // Spilled by the running transaction: newer than the file's image.
    if (!shadow_.Read(page_number, 1, buffer)) Raise(TABULA_READERR);
  } else {
    TFileHandler& file = scratch ? *scratch_ : static_cast<TFileHandler&>(*this);
    file.ReadAt(PageOffset(page_number), buffer, kIndexBlockSize);
  }
  ++disk_reads_;
  if (encrypted_) ScrambleRun(buffer, kIndexBlockSize, kDataSeed);
}

TPage* TIndexFile::AllocatePage(int slot) {
  TIndexDescriptor& d = header_.Descriptors[slot];
  TPage* page;
  if (d.FreePage != 0) {
    page = FetchOrAllocate(slot, d.FreePage, false, false);
    if (page->Count() != 0 && !page->Free()) {
      ReleasePage(page);
      RaiseIndexCorrupt();
    }
    d.FreePage = page->NextPage();
  } else {
    page = FetchOrAllocate(slot, NextPageOf(slot), true, false);
  }
  const int pins = page->PinCount();
  PagesChanged();
  page->Reset(PageFormatOf(slot), page->PageNumber(), slot);
  for (int i = 0; i < pins; ++i) page->Pin();
  page->SetDirty(true);
  header_dirty_ = true;
  return page;
}

void TIndexFile::FreePage(TPage* page) {
  TIndexDescriptor& d = header_.Descriptors[page->Slot()];
  PagesChanged();
  page->MakeFree(d.FreePage);
  page->SetDirty(true);
  d.FreePage = page->PageNumber();
  header_dirty_ = true;
}

// ---- Cache maintenance.

std::vector<TPage*> TIndexFile::DirtyPages(bool temporary) const {
  std::vector<TPage*> dirty;
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (IsTemporarySlot(slot) != temporary) continue;
    for (const auto& entry : caches_[slot].pages) {
      TPage* page = entry.second.get();
      if (page->Dirty() && page->PinCount() == 0) dirty.push_back(page);
    }
  }
  std::sort(dirty.begin(), dirty.end(),
            [](const TPage* a, const TPage* b) { return a->PageNumber() < b->PageNumber(); });
  return dirty;
}

template <typename TRunWriter>
void TIndexFile::ForEachPageRun(const std::vector<TPage*>& pages, TRunWriter write) {
  std::size_t i = 0;
  while (i < pages.size()) {
    std::size_t end = i + 1;
    while (end < pages.size() && end - i < kMaxPagesPerWrite &&
           pages[end]->PageNumber() == pages[end - 1]->PageNumber() + 1) {
      ++end;
    }
    const std::size_t run = end - i;
    if (run_buffer_.size() < run * kIndexBlockSize) run_buffer_.resize(run * kIndexBlockSize);
    for (std::size_t k = 0; k < run; ++k) {
      std::uint8_t* block = run_buffer_.data() + k * kIndexBlockSize;
      pages[i + k]->EncodeTo(block);
      if (encrypted_) ScrambleRun(block, kIndexBlockSize, kDataSeed);
    }
    write(i, run);
    i = end;
  }
}

void TIndexFile::WriteDirtyPages(bool temporary) {
  bool wrote = false;
  if (!temporary && !shadow_.Empty()) {
    // The spilled pages first: the pages still dirty in memory are newer and follow.
    const bool copied = shadow_.CopyRuns(
        std::size_t{1} << 18,
        [this](std::uint32_t first, std::uint32_t count, const std::uint8_t* stored) {
          WriteAt(PageOffset(first), stored, static_cast<std::uint32_t>(count * kIndexBlockSize));
          page_writes_ += count;
        });
    if (!copied) Raise(TABULA_READERR);
    shadow_.Clear();
    wrote = true;
  }
  const std::vector<TPage*> dirty = DirtyPages(temporary);
  if (!dirty.empty()) {
    if (temporary && scratch_ == nullptr) RaiseIndexCorrupt();
    TFileHandler& file = temporary ? *scratch_ : static_cast<TFileHandler&>(*this);
    ForEachPageRun(dirty, [&](std::size_t at, std::size_t run) {
      file.WriteAt(PageOffset(dirty[at]->PageNumber()), run_buffer_.data(),
                   static_cast<std::uint32_t>(run * kIndexBlockSize));
      for (std::size_t k = 0; k < run; ++k) dirty[at + k]->SetDirty(false);
      page_writes_ += run;
    });
    wrote = true;
  }
  if (wrote && !temporary && OnModified) OnModified();
}

bool TIndexFile::SpillPages() {
  // Only the least recently used changed pages go: the ones the pool reuses next. Spilling
  // every changed page would write the pages in use again and again, each time they change
  // between two spills.
  const std::uint64_t slots = SpillableSlots();
  const std::size_t most = SpillBatch(slots);
  std::vector<TPage*> dirty;
  VisitOldestFirst(slots, [&dirty, most](TPage* page) {
    if (page->Dirty() && page->PinCount() == 0) dirty.push_back(page);
    return dirty.size() < most;
  });
  std::sort(dirty.begin(), dirty.end(),
            [](const TPage* a, const TPage* b) { return a->PageNumber() < b->PageNumber(); });
  bool spilled = false;
  bool failed = false;
  ForEachPageRun(dirty, [&](std::size_t at, std::size_t run) {
    if (failed) return;
    if (!shadow_.Write(dirty[at]->PageNumber(), static_cast<std::uint32_t>(run),
                       run_buffer_.data())) {
      failed = true;
      return;
    }
    for (std::size_t k = 0; k < run; ++k) dirty[at + k]->SetDirty(false);
    spill_writes_ += run;
    spilled = true;
  });
  return spilled;
}

std::uint64_t TIndexFile::SpillableSlots() const {
  std::uint64_t slots = 0;
  for (std::uint64_t bits = slots_with_pages_; bits != 0; bits &= bits - 1) {
    const int slot = __builtin_ctzll(bits);
    if (!IsTemporarySlot(slot)) slots |= std::uint64_t{1} << slot;
  }
  return slots;
}

std::size_t TIndexFile::SpillBatch(std::uint64_t slots) const {
  std::size_t pages = 0;
  for (; slots != 0; slots &= slots - 1) pages += caches_[__builtin_ctzll(slots)].pages.size();
  return std::max<std::size_t>(pages / kSpillShare, kMinSpillPages);
}

void TIndexFile::FlushPages() {
  if (!Opened()) return;
  WriteDirtyPages(true);
  WriteDirtyPages(false);
}

void TIndexFile::TrimCaches() {
  bool flushed = false;
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    TSlotCache& cache = caches_[slot];
    cache.capacity = std::max(default_capacity_, 0);
    while (static_cast<int>(cache.pages.size()) > cache.capacity) {
      TPage* victim = nullptr;
      for (TPage* page = cache.mru_tail; page != nullptr; page = page->MruPrev) {
        if (!page->Dirty() && page->PinCount() == 0) {
          victim = page;
          break;
        }
      }
      if (victim == nullptr) {
        if (flushed || in_transaction_) break;
        FlushPages();
        flushed = true;
        continue;
      }
      std::unique_ptr<TPage> owned = RemoveFromCache(slot, victim);
      if (spare_.size() < kSparePages) spare_.push_back(std::move(owned));
    }
    cache.capacity = std::max(cache.capacity, static_cast<int>(cache.pages.size()));
  }
}

void TIndexFile::DiscardSlot(int slot) {
  TSlotCache& cache = caches_[slot];
  PagesChanged();
  // A pinned page is in use by a running operation; it stays until released and reused.
  cache.mru_head = nullptr;
  cache.mru_tail = nullptr;
  cache.recent.fill(nullptr);
  for (auto it = cache.pages.begin(); it != cache.pages.end();) {
    TPage* page = it->second.get();
    page->MruPrev = nullptr;
    page->MruNext = nullptr;
    if (page->PinCount() > 0) {
      MruPushFront(cache, page);
      ++it;
      continue;
    }
    if (spare_.size() < kSparePages) spare_.push_back(std::move(it->second));
    it = cache.pages.erase(it);
  }
  if (cache.pages.empty()) slots_with_pages_ &= ~(std::uint64_t{1} << slot);
  cache.capacity = default_capacity_;
}

void TIndexFile::DiscardPages() {
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (!IsTemporarySlot(slot)) DiscardSlot(slot);
  }
  shadow_.Clear();
}

}  // namespace tabula
