// A randomized soak of several processes on one table. Each worker process inserts, edits
// (indexed fields, the unindexed note alone, several fields at once), deletes, looks up and scans
// in every order, inside and outside transactions, with caches small enough that scans of the
// table stream and transactions spill index pages. It checks what it reads against a model of
// its own records, and the other workers' records against what those published of them: a
// record read is never newer than what its owner was about to commit when the read ended, and
// (for the workers with StrictChangeDetection) at least as new as its last commit before the
// read began. At the end a fresh engine checks every index tree and that the table holds exactly
// the records of the workers' final models.
//
// TABULA_SOAK_SECONDS (default 8) sets how long the workers run; TABULA_SOAK_SEED gives the
// run's seed (else one is drawn and printed). A failing worker prints its seed, the number of the
// failing operation and the operations before it; a seed replays each worker's choices, not the
// interleaving of the processes.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_file_format.h"
#include "engine/storage/data_session.h"
#include "engine/storage/data_table.h"
#include "tests/storage/multi_process_util.h"
#include "tests/storage/storage_test_util.h"

namespace tabula {
namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

constexpr int kWorkers = 3;
// Worker w's records have the Ids w * kIdsPerWorker + n, n below kSlots.
constexpr std::int32_t kIdsPerWorker = 1000000;
constexpr std::int32_t kSlots = 1 << 18;
constexpr int kGroups = 8;

// Fields of the soak table: the staff table's Id, Name (its index case-insensitive here) and
// Group, then a Note that no index holds and an Amount that never changes.
constexpr std::uint16_t kIdField = 1;
constexpr std::uint16_t kNameField = 2;
constexpr std::uint16_t kGroupField = 3;
constexpr std::uint16_t kNoteField = 4;
constexpr std::uint16_t kAmountField = 5;

TTableDefinition SoakDefinition() {
  TTableDefinition definition = Definition();
  definition.Fields.push_back(Field("Note", fldString, 40));
  definition.Fields.push_back(Field("Amount", fldFloat));
  definition.Indexes[1].CaseInsensitive = true;
  return definition;
}

// ---- What the workers publish of their records ----------------------------------------------

// A record's version: each part only grows. State 0: not inserted yet, 1: live, 2: deleted;
// the versions of its name and note; the number of changes (insert, edits, delete) it went
// through.
struct TVersion {
  std::int32_t state = 0;
  std::int32_t name = 0;
  std::int32_t note = 0;
  std::int32_t changes = 0;
};

// Shared by every process (an anonymous shared mapping made before the fork). A worker writes
// only its own rows: `intended` before a change can reach the files (before an autocommit change,
// before a commit), `committed` after it did.
struct TBoard {
  std::int32_t used[kWorkers];  // slots ever used per worker
  std::int32_t committed[kWorkers][kSlots][4];
  std::int32_t intended[kWorkers][kSlots][4];
  std::int32_t record_no[kWorkers][kSlots];  // where the slot's record was inserted
};

std::int32_t Load(const std::int32_t& value) {
  return std::atomic_ref<std::int32_t>(const_cast<std::int32_t&>(value)).load();
}
void Store(std::int32_t& value, std::int32_t to) { std::atomic_ref<std::int32_t>(value).store(to); }

TVersion LoadVersion(const std::int32_t (&row)[4]) {
  return TVersion{Load(row[0]), Load(row[1]), Load(row[2]), Load(row[3])};
}
void StoreVersion(std::int32_t (&row)[4], const TVersion& version) {
  Store(row[0], version.state);
  Store(row[1], version.name);
  Store(row[2], version.note);
  Store(row[3], version.changes);
}

// ---- Records ---------------------------------------------------------------------------------

// A record's values as a worker's model holds them.
struct TRow {
  std::string name;  // as stored: three letters in mixed case, worker, slot, name version
  std::int16_t group = 0;
  std::string note;  // "N<id>.<note version>." and filler
  std::int32_t name_version = 0;
  std::int32_t note_version = 0;
  // Where the record was stored, and its identifier: an edit changes neither.
  std::int32_t record_no = 0;
  std::int32_t identifier = 0;

  // The values (not where the record lies).
  bool operator==(const TRow& other) const {
    return name == other.name && group == other.group && note == other.note;
  }
};

double AmountOf(std::int32_t id) { return id * 0.25; }

std::string NameFor(const std::string& letters, int worker, std::int32_t slot,
                    std::int32_t version) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%d%06d%06d", letters.c_str(), worker, slot,
                static_cast<int>(version));
  return text;
}

std::string NoteFor(std::int32_t id, std::int32_t version, std::size_t filler) {
  std::string note = "N" + std::to_string(id) + "." + std::to_string(version) + ".";
  note.append(std::min<std::size_t>(filler, 40 - note.size()), 'x');
  return note;
}

// A record as read from the table.
struct TSeen {
  std::uint8_t status = 0;
  std::int32_t record_no = 0;
  std::int32_t identifier = 0;
  std::int32_t id = 0;
  bool id_null = true;
  std::string name;
  std::int16_t group = 0;
  std::string note;
  double amount = 0;

  int Worker() const { return id / kIdsPerWorker; }
  std::int32_t Slot() const { return id % kIdsPerWorker; }
  TRow Row() const {
    TRow row;
    row.name = name;
    row.group = group;
    row.note = note;
    return row;
  }
};

std::string StringField(const TDataCursor& cursor, std::uint16_t field, const std::uint8_t* image) {
  std::uint8_t value[256] = {};
  if (cursor.GetField(field, image, value)) return std::string();
  const std::size_t size =
      std::min<std::size_t>(sizeof value, FieldValueSize(cursor.GetDescriptor(field)));
  return std::string(reinterpret_cast<const char*>(value),
                     strnlen(reinterpret_cast<const char*>(value), size));
}

TSeen ReadSeen(const TDataCursor& cursor, const std::uint8_t* image) {
  TSeen seen;
  seen.status = RecordStatus(image);
  seen.record_no = RecordLink(image);
  seen.identifier = RecordIdentifier(image);
  std::uint8_t value[16] = {};
  seen.id_null = cursor.GetField(kIdField, image, value);
  seen.id = static_cast<std::int32_t>(DecodeFixed32(value));
  seen.name = StringField(cursor, kNameField, image);
  std::memset(value, 0, sizeof value);
  cursor.GetField(kGroupField, image, value);
  seen.group = static_cast<std::int16_t>(DecodeFixed16(value));
  seen.note = StringField(cursor, kNoteField, image);
  std::memset(value, 0, sizeof value);
  cursor.GetField(kAmountField, image, value);
  seen.amount = DecodeDouble(value);
  return seen;
}

// Stores the values of `row` (and the Id and Amount of `id`) into `image`.
void WriteRow(TDataCursor& cursor, std::uint8_t* image, std::int32_t id, const TRow& row) {
  std::uint8_t value[8];
  EncodeFixed32(value, static_cast<std::uint32_t>(id));
  cursor.SetField(kIdField, image, value, 4);
  cursor.SetField(kNameField, image, reinterpret_cast<const std::uint8_t*>(row.name.data()),
                  row.name.size());
  EncodeFixed16(value, static_cast<std::uint16_t>(row.group));
  cursor.SetField(kGroupField, image, value, 2);
  cursor.SetField(kNoteField, image, reinterpret_cast<const std::uint8_t*>(row.note.data()),
                  row.note.size());
  EncodeDouble(value, AmountOf(id));
  cursor.SetField(kAmountField, image, value, 8);
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return text;
}

// The scan orders; a record's place in each as a byte string that sorts like the index.
enum TOrder { kPrimary, kByName, kByGroup, kNatural };
const char* const kOrderNames[] = {"primary", "ByName", "ByGroup", "natural"};
const char* const kIndexNames[] = {"", "ByName", "ByGroup", ""};

std::string BigEndian(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (24 - 8 * i));
  return bytes;
}

std::string OrderKey(TOrder order, const TSeen& seen) {
  switch (order) {
    case kPrimary:
      return BigEndian(static_cast<std::uint32_t>(seen.id) ^ 0x80000000u);
    case kByName:
      return Upper(seen.name);
    case kByGroup:
      return BigEndian(static_cast<std::uint32_t>(seen.group + 32768)) +
             BigEndian(static_cast<std::uint32_t>(seen.identifier) ^ 0x80000000u);
    case kNatural:
      return BigEndian(static_cast<std::uint32_t>(seen.record_no));
  }
  return std::string();
}

// Why a record read is not what it should be; empty when it is well formed: live, its Id in a
// worker's key space, and its name, note and amount made for that Id.
std::string MalformedRecord(const TSeen& seen) {
  if (seen.status != kStatusActive) return "a deleted record";
  if (seen.id_null || seen.id < 0 || seen.Worker() >= kWorkers || seen.Slot() >= kSlots) {
    return "an Id outside the workers' key spaces";
  }
  const std::string name_tail = Upper(seen.name).substr(std::min<std::size_t>(3, seen.name.size()));
  char expected_tail[16];
  std::snprintf(expected_tail, sizeof expected_tail, "%d%06d", seen.Worker(), seen.Slot());
  if (seen.name.size() != 16 || name_tail.compare(0, 7, expected_tail) != 0) {
    return "a name not made for its Id";
  }
  const std::string prefix = "N" + std::to_string(seen.id) + ".";
  if (seen.note.compare(0, prefix.size(), prefix) != 0) return "a note not made for its Id";
  if (seen.amount != AmountOf(seen.id)) return "an amount not made for its Id";
  if (seen.group < 0 || seen.group >= kGroups) return "a group out of range";
  return std::string();
}

std::int32_t NameVersionOf(const TSeen& seen) { return std::atoi(seen.name.c_str() + 10); }
std::int32_t NoteVersionOf(const TSeen& seen) {
  return std::atoi(seen.note.c_str() + 2 + std::to_string(seen.id).size());
}

std::string Describe(const TSeen& seen) {
  std::ostringstream text;
  text << "record " << seen.record_no << " (identifier " << seen.identifier << ", Id " << seen.id
       << ", name '" << seen.name << "', group " << seen.group << ", note '" << seen.note << "')";
  return text.str();
}

std::string Describe(std::int32_t id, const TRow& row) {
  std::ostringstream text;
  text << "Id " << id << " (name '" << row.name << "', group " << row.group << ", note '"
       << row.note << "'";
  if (row.record_no != 0) {
    text << ", record " << row.record_no << ", identifier " << row.identifier;
  }
  text << ")";
  return text.str();
}

// A check that failed in a worker.
class TSoakFault : public std::runtime_error {
 public:
  explicit TSoakFault(const std::string& what) : std::runtime_error(what) {}
};

void Check(bool ok, const std::string& what) {
  if (!ok) throw TSoakFault(what);
}

// What each worker reports on standard output at the end (for the long runs).
struct TCounts {
  std::int64_t operations = 0;
  std::int64_t scanned = 0;
  std::int64_t streams = 0;          // the record cache's stream transfers during scans
  std::int64_t spilled_pages = 0;    // the most index pages a transaction spilled
  std::int64_t commits = 0;
  std::int64_t rollbacks = 0;
  std::int64_t largest_live = 0;
};

// ---- One worker ------------------------------------------------------------------------------

// The settings that differ between workers.
struct TWorkerSettings {
  TLockProtocol protocol;
  bool strict;  // StrictChangeDetection: a read sees every change committed before it began
};
const TWorkerSettings kWorkerSettings[kWorkers] = {
    {lpPessimistic, true}, {lpOptimistic, true}, {lpPessimistic, false}};

class TWorker {
 public:
  TWorker(const fs::path& dir, int worker, std::uint64_t seed, TBoard* board,
          TClock::time_point deadline)
      : dir_(dir),
        worker_(worker),
        seed_(seed),
        random_(seed),
        board_(board),
        deadline_(deadline),
        settings_(kWorkerSettings[worker]) {}

  // 0 when every check held; else prints the fault and returns 1.
  std::int64_t Run() {
    try {
      Open();
      while (TClock::now() < deadline_ || in_transaction_) {
        ++counts_.operations;
        Step();
        counts_.largest_live =
            std::max<std::int64_t>(counts_.largest_live, static_cast<std::int64_t>(live_.size()));
      }
      // Every own record once more, through the primary index, before handing the model over.
      Scan(kPrimary, false, false, false);
      WriteModel();
    } catch (const ETabulaEngineError& error) {
      return Fail(EngineErrorName(error.ErrorCode()) + " (" + std::to_string(error.ErrorCode()) +
                  "): " + error.what());
    } catch (const std::exception& error) {
      return Fail(error.what());
    }
    std::printf(
        "[soak] worker %d seed %llu: %lld operations, %lld records scanned in %lld streams, %lld "
        "commits (%lld index pages spilled at most), %lld rollbacks, %lld live records at most, "
        "%zu at the end\n",
        worker_, static_cast<unsigned long long>(seed_), static_cast<long long>(counts_.operations),
        static_cast<long long>(counts_.scanned), static_cast<long long>(counts_.streams),
        static_cast<long long>(counts_.commits),
        static_cast<long long>(counts_.spilled_pages), static_cast<long long>(counts_.rollbacks),
        static_cast<long long>(counts_.largest_live), committed_.size());
    std::fflush(stdout);
    return 0;
  }

 private:
  std::int64_t Fail(const std::string& what) {
    std::fprintf(stderr, "[soak] worker %d seed %llu failed at operation %lld: %s\n", worker_,
                 static_cast<unsigned long long>(seed_), static_cast<long long>(counts_.operations),
                 what.c_str());
    std::fprintf(stderr, "[soak] worker %d: the last operations, oldest first:\n", worker_);
    for (const std::string& line : log_) std::fprintf(stderr, "  %s\n", line.c_str());
    std::fflush(stderr);
    return 1;
  }

  void Log(const std::string& line) {
    if (log_.size() == 40) log_.pop_front();
    log_.push_back(std::to_string(counts_.operations) + ": " + line);
  }

  std::uint32_t Below(std::uint32_t limit) { return static_cast<std::uint32_t>(random_() % limit); }
  bool Chance(int percent) { return Below(100) < static_cast<std::uint32_t>(percent); }

  void Open() {
    const std::int32_t buffer_sizes[] = {4096, 8192, 16384};
    engine_ = std::make_unique<TEngine>(dir_, settings_.protocol, 255, 100, buffer_sizes[Below(3)]);
    engine_->session.SetStrictChangeDetection(settings_.strict);
    board_->used[worker_] = 0;
    versions_.assign(kSlots, TVersion{});
    names_given_.assign(kSlots, 0);
    notes_given_.assign(kSlots, 0);
  }

  TDataCursor& Cursor() { return *engine_->cursor; }
  std::int32_t IdOf(std::int32_t slot) const { return worker_ * kIdsPerWorker + slot; }
  std::vector<std::uint8_t> Image(TDataCursor& cursor) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor.RecordSize()));
    cursor.InitRecord(image.data());
    return image;
  }

  // ---- The model and what is published of it.

  std::string Letters() {
    std::string letters(3, 'a');
    for (char& c : letters) c = static_cast<char>((Chance(50) ? 'a' : 'A') + Below(26));
    return letters;
  }
  std::string FlipCase(const std::string& name) {
    std::string flipped = name;
    for (int i = 0; i < 3; ++i) {
      if (Chance(50)) flipped[i] = static_cast<char>(flipped[i] ^ 0x20);
    }
    return flipped;
  }

  // The own record a change picks; its Id.
  std::int32_t PickLive() {
    auto at = live_.begin();
    std::advance(at, Below(static_cast<std::uint32_t>(live_.size())));
    return *at;
  }

  void SetVersion(std::int32_t slot, const TRow& row) {
    versions_[slot] = TVersion{1, row.name_version, row.note_version, versions_[slot].changes + 1};
  }

  // Before a change of the record in `slot` can reach the files: outside a transaction it is
  // announced at once, inside one at the commit.
  void Intend(std::int32_t slot) {
    if (in_transaction_) {
      touched_.insert(slot);
    } else {
      StoreVersion(board_->intended[worker_][slot], versions_[slot]);
    }
  }
  void Committed(std::int32_t slot) {
    if (!in_transaction_) StoreVersion(board_->committed[worker_][slot], versions_[slot]);
  }

  void Apply(std::int32_t id, const TRow* row) {
    if (row != nullptr) {
      pending_[id] = *row;
      live_.insert(id);
    } else {
      pending_.erase(id);
      live_.erase(id);
    }
    if (!in_transaction_) committed_ = pending_;
  }

  void CheckOwn(const TSeen& seen, const char* where) {
    const auto at = pending_.find(seen.id);
    Check(at != pending_.end(),
          std::string(where) + ": own record not in the model: " + Describe(seen));
    Check(at->second == seen.Row() && seen.amount == AmountOf(seen.id) &&
              at->second.record_no == seen.record_no && at->second.identifier == seen.identifier,
          std::string(where) + ": " + Describe(seen) + " differs from the model's " +
              Describe(at->first, at->second));
  }

  // ---- Positioning.

  // Goes to own record `id` through the primary index; its image into `image`. False when the
  // index has no such key.
  bool FindId(TDataCursor& cursor, std::int32_t id, std::vector<std::uint8_t>* image) {
    cursor.SetIndexName("");
    std::vector<std::uint8_t> key = Image(cursor);
    std::uint8_t value[4];
    EncodeFixed32(value, static_cast<std::uint32_t>(id));
    cursor.SetField(kIdField, key.data(), value, 4);
    image->assign(static_cast<std::size_t>(cursor.RecordSize()), 0);
    return cursor.Find(false, key.data(), false, 0, 0, image->data());
  }

  // Goes to own live record `id` and starts its edit; the image as read into `image`.
  void StartEdit(TDataCursor& cursor, std::int32_t id, std::vector<std::uint8_t>* image) {
    Check(FindId(cursor, id, image), "own live Id " + std::to_string(id) + " not found");
    CheckOwn(ReadSeen(cursor, image->data()), "edit");
    const std::uint16_t code = cursor.FetchCurrent(image->data(), true);
    Check(code == 0, "FetchCurrent for the edit of Id " + std::to_string(id) + " gave " +
                         EngineErrorName(code));
  }

  // ---- Operations.

  void Step() {
    const bool large = in_transaction_ && large_transaction_;
    if (in_transaction_ && --transaction_left_ <= 0) return EndTransaction();
    if (counts_.operations % 3000 == 0) target_live_ = Chance(50) ? 150 : 900;
    const bool grow = static_cast<std::int32_t>(live_.size()) < target_live_;
    struct TChoice {
      int weight;
      void (TWorker::*operation)();
    };
    const TChoice choices[] = {
        {grow ? 24 : 8, &TWorker::Insert},
        {live_.empty() ? 0 : (grow ? 5 : 16), &TWorker::Delete},
        {live_.empty() ? 0 : 10, &TWorker::EditName},
        {live_.empty() ? 0 : 12, &TWorker::EditNote},
        {live_.empty() ? 0 : 7, &TWorker::EditGroup},
        {live_.empty() ? 0 : 3, &TWorker::EditAll},
        {large ? 2 : 10, &TWorker::LookUpId},
        {large || live_.empty() ? 0 : 5, &TWorker::LookUpName},
        {live_.size() < 2 ? 0 : 2, &TWorker::DuplicateKeys},
        {large ? 0 : 8, &TWorker::ScanAny},
        {large ? 0 : 2, &TWorker::ScanGroupRange},
        {in_transaction_ ? 0 : 3, &TWorker::StartTransaction},
    };
    int total = 0;
    for (const TChoice& choice : choices) total += choice.weight;
    int pick = static_cast<int>(Below(static_cast<std::uint32_t>(total)));
    for (const TChoice& choice : choices) {
      if (pick < choice.weight) return (this->*choice.operation)();
      pick -= choice.weight;
    }
  }

  void Insert() {
    if (next_slot_ >= kSlots) return;
    const std::int32_t slot = next_slot_++;
    const std::int32_t id = IdOf(slot);
    TRow row;
    NewName(row, slot);
    row.group = static_cast<std::int16_t>(Below(kGroups));
    NewNote(row, slot);
    SetVersion(slot, row);
    const bool reposition = Chance(50);
    Log("insert " + Describe(id, row) + (reposition ? ", repositioning" : ""));
    Store(board_->used[worker_], next_slot_);
    Intend(slot);
    std::vector<std::uint8_t> image = Image(Cursor());
    WriteRow(Cursor(), image.data(), id, row);
    Cursor().PostInsert(image.data(), reposition);
    // Where the record went: the cursor stands on it, or the primary index leads to it.
    std::vector<std::uint8_t> stored = Cursor().RecordImage();
    if (!reposition) {
      Check(FindId(Cursor(), id, &stored),
            "Id " + std::to_string(id) + " not found after its insert");
    }
    const TSeen seen = ReadSeen(Cursor(), stored.data());
    Check(seen.id == id && seen.identifier == RecordIdentifier(image.data()),
          "the insert of Id " + std::to_string(id) + " with identifier " +
              std::to_string(RecordIdentifier(image.data())) + " led to " + Describe(seen));
    row.record_no = seen.record_no;
    row.identifier = seen.identifier;
    Store(board_->record_no[worker_][slot], row.record_no);
    Apply(id, &row);
    Committed(slot);
    CheckOwn(seen, "insert");
  }

  void Delete() {
    const std::int32_t id = PickLive();
    const std::int32_t slot = id - IdOf(0);
    std::vector<std::uint8_t> image;
    Check(FindId(Cursor(), id, &image), "own live Id " + std::to_string(id) + " not found");
    CheckOwn(ReadSeen(Cursor(), image.data()), "delete");
    const bool reposition = Chance(50);
    Log("delete Id " + std::to_string(id) + (reposition ? ", repositioning" : ""));
    versions_[slot].state = 2;
    ++versions_[slot].changes;
    Intend(slot);
    Cursor().DeleteCurrent(Chance(50) ? image.data() : nullptr, reposition);
    Apply(id, nullptr);
    Committed(slot);
  }

  // Edits own record `id` with `change` applied to its row, through `cursor`.
  template <typename TChange>
  void Edit(TDataCursor& cursor, std::int32_t id, const char* what, TChange change) {
    const std::int32_t slot = id - IdOf(0);
    TRow row = pending_.at(id);
    change(row, slot);
    SetVersion(slot, row);
    const bool reposition = Chance(50);
    Log(std::string("edit ") + what + ": " + Describe(id, row) +
        (reposition ? ", repositioning" : ""));
    std::vector<std::uint8_t> image;
    StartEdit(cursor, id, &image);
    WriteRow(cursor, image.data(), id, row);
    Intend(slot);
    cursor.PostEdit(image.data(), true, reposition);
    Apply(id, &row);
    Committed(slot);
  }
  void NewName(TRow& row, std::int32_t slot) {
    if (!row.name.empty() && Chance(15)) {
      row.name = FlipCase(row.name);  // the same key in the case-insensitive index
      return;
    }
    row.name_version = ++names_given_[slot];
    row.name = NameFor(Letters(), worker_, slot, row.name_version);
  }
  void NewNote(TRow& row, std::int32_t slot) {
    row.note_version = ++notes_given_[slot];
    row.note = NoteFor(IdOf(slot), row.note_version, Below(30));
  }
  void NewGroup(TRow& row, std::int32_t) { row.group = static_cast<std::int16_t>(Below(kGroups)); }

  void EditName() {
    Edit(Cursor(), PickLive(), "name",
         [this](TRow& row, std::int32_t slot) { NewName(row, slot); });
  }
  void EditNote() {
    Edit(Cursor(), PickLive(), "note",
         [this](TRow& row, std::int32_t slot) { NewNote(row, slot); });
  }
  void EditGroup() {
    Edit(Cursor(), PickLive(), "group",
         [this](TRow& row, std::int32_t slot) { NewGroup(row, slot); });
  }
  void EditAll() {
    Edit(Cursor(), PickLive(), "name, group and note", [this](TRow& row, std::int32_t slot) {
      NewName(row, slot);
      NewGroup(row, slot);
      NewNote(row, slot);
    });
  }

  void LookUpId() {
    if (next_slot_ == 0) return;
    const std::int32_t id = IdOf(static_cast<std::int32_t>(Below(next_slot_)));
    Log("look up Id " + std::to_string(id));
    std::vector<std::uint8_t> image;
    const bool found = FindId(Cursor(), id, &image);
    Check(found == (pending_.count(id) == 1),
          "Id " + std::to_string(id) +
              (found ? " found, but the model has no such record"
                     : " not found, but the model has it"));
    if (found) CheckOwn(ReadSeen(Cursor(), image.data()), "look-up by Id");
  }

  void LookUpName() {
    const std::int32_t id = PickLive();
    const std::string name = FlipCase(pending_.at(id).name);
    Log("look up name " + name);
    Cursor().SetIndexName("ByName");
    std::vector<std::uint8_t> key = Image(Cursor());
    Cursor().SetField(kNameField, key.data(), reinterpret_cast<const std::uint8_t*>(name.data()),
                      name.size());
    std::vector<std::uint8_t> image(key.size());
    Check(Cursor().Find(false, key.data(), false, 0, 0, image.data()),
          "name " + name + " of Id " + std::to_string(id) + " not found");
    const TSeen seen = ReadSeen(Cursor(), image.data());
    Check(seen.id == id, "name " + name + " found " + Describe(seen));
    CheckOwn(seen, "look-up by name");
  }

  // A second record's Id, and its name in another case, are refused before anything changes.
  void DuplicateKeys() {
    const std::int32_t id = PickLive();
    std::int32_t other = PickLive();
    if (other == id) return;
    Log("duplicate keys: Id " + std::to_string(id) + " and the name of Id " +
        std::to_string(other));
    const std::int32_t slot = id - IdOf(0);
    TRow row = pending_.at(id);
    row.name = NameFor(Letters(), worker_, slot, 9999);  // no record has this name
    std::vector<std::uint8_t> image = Image(Cursor());
    WriteRow(Cursor(), image.data(), id, row);
    std::string index = "?";
    std::uint16_t code = ErrorOf([&] { Cursor().PostInsert(image.data(), false); }, &index);
    Check(code == TABULA_KEYVIOL, "an insert of Id " + std::to_string(id) + " a second time gave " +
                                      EngineErrorName(code) + " (index '" + index + "')");
    StartEdit(Cursor(), id, &image);
    row = pending_.at(id);
    row.name = FlipCase(pending_.at(other).name);
    WriteRow(Cursor(), image.data(), id, row);
    code = ErrorOf([&] { Cursor().PostEdit(image.data(), true, false); }, &index);
    Check(code == TABULA_KEYVIOL && index == "ByName",
          "an edit to the name of Id " + std::to_string(other) + " gave " + EngineErrorName(code) +
              " (index '" + index + "')");
    Cursor().CancelEdit();
    Check(FindId(Cursor(), id, &image), "Id " + std::to_string(id) + " gone after a refused edit");
    CheckOwn(ReadSeen(Cursor(), image.data()), "after the refused changes");
  }

  void StartTransaction() {
    large_transaction_ = Chance(25);
    transaction_left_ =
        large_transaction_ ? 60 + static_cast<int>(Below(340)) : 2 + static_cast<int>(Below(12));
    Log(std::string("start a ") + (large_transaction_ ? "large" : "small") + " transaction of " +
        std::to_string(transaction_left_) + " operations");
    engine_->db->StartTransaction();
    in_transaction_ = true;
    touched_.clear();
  }

  void EndTransaction() {
    const bool commit = Chance(75) || TClock::now() >= deadline_;
    Log(commit ? "commit" : "roll back");
    counts_.spilled_pages =
        std::max(counts_.spilled_pages, Cursor().Table()->IndexFile().SpilledPages());
    if (commit) {
      for (const std::int32_t slot : touched_) {
        StoreVersion(board_->intended[worker_][slot], versions_[slot]);
      }
      engine_->db->Commit(true, false);
      for (const std::int32_t slot : touched_) {
        StoreVersion(board_->committed[worker_][slot], versions_[slot]);
      }
      committed_ = pending_;
      ++counts_.commits;
    } else {
      engine_->db->Rollback();
      pending_ = committed_;
      live_.clear();
      for (const auto& [id, row] : committed_) live_.insert(id);
      // The records are as last committed; the versions the transaction gave are not given
      // again.
      for (const std::int32_t slot : touched_) {
        versions_[slot] = LoadVersion(board_->committed[worker_][slot]);
      }
      ++counts_.rollbacks;
    }
    in_transaction_ = false;
    touched_.clear();
    // Every own record as the transaction left it.
    if (Chance(30)) Scan(kPrimary, false, false, false);
  }

  // ---- Scans.

  void ScanAny() {
    const TOrder order = static_cast<TOrder>(Below(4));
    const bool backward = Chance(30);
    const bool blocks = !backward && Chance(25);
    const bool edits = !blocks && !live_.empty() && Chance(35);
    Scan(order, backward, blocks, edits);
  }

  void ScanGroupRange() {
    Scan(kByGroup, Chance(30), false, !live_.empty() && Chance(35),
         static_cast<std::int16_t>(Below(kGroups)));
  }

  // A full scan in `order`, or with `group` (ByGroup order only) a scan of a range that holds
  // the group: every record well formed and in order, every own record once with the model's
  // values, the other workers' records neither older than their commits before the scan nor
  // newer than what their owners meant to commit by its end. With `blocks` the scan reads blocks
  // of records; with `edits` it edits own records on the way, through the scanning cursor or a
  // second one, in fields that leave their place in the order alone.
  void Scan(TOrder order, bool backward, bool blocks, bool edits, int group = -1) {
    Log(std::string("scan ") + kOrderNames[order] + (backward ? " backward" : " forward") +
        (group >= 0 ? " through the range of group " + std::to_string(group) : "") +
        (blocks ? " in blocks" : "") + (edits ? " editing on the way" : ""));
    // What the others had committed before the scan began.
    std::vector<std::vector<TVersion>> before(kWorkers);
    for (int w = 0; w < kWorkers; ++w) {
      if (w == worker_) continue;
      const std::int32_t used = Load(board_->used[w]);
      before[w].resize(static_cast<std::size_t>(used));
      for (std::int32_t slot = 0; slot < used; ++slot) {
        before[w][slot] = LoadVersion(board_->committed[w][slot]);
      }
    }
    // A natural-order scan needs a cursor opened in that order; it is the table's sole cursor
    // while it scans, as the main cursor is for the index orders, so that the scan streams.
    std::unique_ptr<TDataCursor> natural;
    if (order == kNatural) {
      engine_->cursor.reset();
      natural = std::make_unique<TDataCursor>(*engine_->db);
      natural->SetTableName("Staff.DAT");
      natural->SetNaturalOrder(true);
      natural->Open();
    } else {
      Cursor().SetIndexName(kIndexNames[order]);
    }
    TDataCursor& cursor = natural ? *natural : Cursor();
    if (group >= 0) {
      std::vector<std::uint8_t> bound = Image(cursor);
      std::uint8_t value[2];
      EncodeFixed16(value, static_cast<std::uint16_t>(group));
      cursor.SetField(kGroupField, bound.data(), value, 2);
      cursor.SetRange(false, bound.data(), 1, bound.data(), 1);
    }
    const std::int64_t streams = cursor.Table()->DataFile().Cache()->Stats().streams;
    std::unique_ptr<TDataCursor> second;  // for edits through another cursor

    std::map<std::int32_t, int> own;
    std::vector<TSeen> others;
    TScanned scanned{order, std::move(before)};
    std::string last;
    std::string last_seen;
    std::int64_t count = 0;
    auto visit = [&](const TSeen& seen) {
      ++count;
      const std::string fault = MalformedRecord(seen);
      Check(fault.empty(), fault + ": " + Describe(seen) + " at step " + std::to_string(count));
      Check(group < 0 || seen.group == group, "outside the range: " + Describe(seen));
      const std::string key = OrderKey(order, seen);
      Check(count == 1 || (backward ? key < last : key > last),
            std::string("out of ") + kOrderNames[order] + " order: " + Describe(seen) +
                " at step " + std::to_string(count) + ", after " + last_seen);
      last = key;
      last_seen = Describe(seen);
      if (seen.Worker() == worker_) {
        CheckOwn(seen, "scan");
        Check(++own[seen.id] == 1, Describe(seen) + " seen twice");
      } else {
        others.push_back(seen);
      }
    };

    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor.RecordSize()));
    if (backward) {
      cursor.SetToEnd();
    } else {
      cursor.SetToBegin();
    }
    if (blocks) {
      std::vector<std::uint8_t> block;
      for (;;) {
        std::int32_t wanted = 1 + static_cast<std::int32_t>(Below(40));
        block.resize(image.size() * static_cast<std::size_t>(wanted));
        const std::uint16_t code = cursor.ReadRecordBlock(&wanted, block.data());
        for (std::int32_t i = 0; i < wanted; ++i) visit(ReadSeen(cursor, &block[i * image.size()]));
        if (code != 0) break;
      }
    } else {
      // In a transaction nobody else changes the table: each record's number in the order is
      // its step's.
      const std::int32_t total = cursor.GetRecordCount();
      const bool numbered = in_transaction_ && group < 0;
      while ((backward ? cursor.GetPriorRecord(image.data())
                       : cursor.GetNextRecord(image.data())) == 0) {
        const TSeen seen = ReadSeen(cursor, image.data());
        Check(seen.record_no == cursor.RecordNo(), "the image of " + Describe(seen) +
                                                       " came while the cursor stands on record " +
                                                       std::to_string(cursor.RecordNo()));
        visit(seen);
        const std::int64_t place = backward ? total - count + 1 : count;
        Check(!numbered || cursor.GetRecNo() == place,
              Describe(seen) + " at step " + std::to_string(count) + " of " +
                  std::to_string(total) + " has the number " +
                  std::to_string(cursor.GetRecNo()) + " in the order");
        if (edits && seen.Worker() == worker_ && Chance(20)) {
          EditOnTheWay(order, cursor, second, image);
        }
      }
    }
    counts_.scanned += count;
    counts_.streams += cursor.Table()->DataFile().Cache()->Stats().streams - streams;
    if (edits) Log("scan ended after " + std::to_string(count) + " records");
    second.reset();
    if (group >= 0) cursor.ResetRange();
    if (natural) {
      natural.reset();
      engine_->cursor = std::make_unique<TDataCursor>(*engine_->db);
      Cursor().SetTableName("Staff.DAT");
      Cursor().Open();
    }

    for (const auto& [id, row] : pending_) {
      if (group >= 0 && row.group != group) continue;
      Check(own.count(id) == 1,
            "own " + Describe(id, row) + " missing from a " + kOrderNames[order] + " scan of " +
                std::to_string(count) + " records");
    }
    if (in_transaction_ && group < 0) {
      // Nobody else writes while this process holds its transaction lock.
      Check(count == Cursor().GetRecordCount(), "a scan in a transaction saw " +
                                                    std::to_string(count) + " records of " +
                                                    std::to_string(Cursor().GetRecordCount()));
    }
    CheckOthers(scanned, others);
  }

  // What a scan was, for the checks after it.
  struct TScanned {
    TOrder order;
    std::vector<std::vector<TVersion>> before;  // what the others had committed before it
  };

  // Edits the own record that the scanning `cursor` stands on (read into `image`), in a field
  // outside the scan's order, through the cursor itself or through `second` (opened here when
  // needed).
  void EditOnTheWay(TOrder order, TDataCursor& cursor, std::unique_ptr<TDataCursor>& second,
                    std::vector<std::uint8_t> image) {
    const std::int32_t id = ReadSeen(cursor, image.data()).id;
    auto change = [this, order](TRow& row, std::int32_t slot) {
      const int what = static_cast<int>(Below(3));
      if (what == 0 && order != kByName) return NewName(row, slot);
      if (what == 1 && order != kByGroup) return NewGroup(row, slot);
      NewNote(row, slot);
    };
    if (Chance(50)) {
      // Through the scanning cursor: it stays on the record.
      const std::int32_t slot = id - IdOf(0);
      TRow row = pending_.at(id);
      change(row, slot);
      SetVersion(slot, row);
      Log("edit on the way through the scanning cursor: " + Describe(id, row));
      const std::uint16_t code = cursor.FetchCurrent(image.data(), true);
      Check(code == 0, "FetchCurrent on the way gave " + EngineErrorName(code));
      CheckOwn(ReadSeen(cursor, image.data()), "edit on the way");
      WriteRow(cursor, image.data(), id, row);
      Intend(slot);
      cursor.PostEdit(image.data(), true, Chance(50));
      Apply(id, &row);
      Committed(slot);
      return;
    }
    if (!second) {
      second = std::make_unique<TDataCursor>(*engine_->db);
      second->SetTableName("Staff.DAT");
      second->Open();
    }
    Edit(*second, id, "on the way through a second cursor", change);
    if (Chance(50)) second.reset();
  }

  // The other workers' records a scan saw, against what they published.
  void CheckOthers(const TScanned& scanned, const std::vector<TSeen>& others) {
    const std::vector<std::vector<TVersion>>& before = scanned.before;
    const TOrder order = scanned.order;
    std::set<std::int32_t> seen_ids;
    for (const TSeen& seen : others) {
      seen_ids.insert(seen.id);
      const int w = seen.Worker();
      const std::int32_t slot = seen.Slot();
      const TVersion intended = LoadVersion(board_->intended[w][slot]);
      const TVersion earlier =
          slot < static_cast<std::int32_t>(before[w].size()) ? before[w][slot] : TVersion{};
      const std::int32_t name = NameVersionOf(seen);
      const std::int32_t note = NoteVersionOf(seen);
      std::ostringstream text;
      text << Describe(seen) << " of worker " << w << ": name version " << name << ", note version "
           << note << "; committed before the scan: state " << earlier.state << ", name "
           << earlier.name << ", note " << earlier.note << "; intended by its end: state "
           << intended.state << ", name " << intended.name << ", note " << intended.note;
      Check(intended.state != 0, "a record never committed: " + text.str());
      Check(name <= intended.name, "a name newer than any its owner committed: " + text.str());
      Check(note <= intended.note, "a note newer than any its owner committed: " + text.str());
      if (settings_.strict) {
        Check(earlier.state != 2, "a record deleted before the scan: " + text.str());
        Check(name >= earlier.name,
              "a name older than its last commit before the scan: " + text.str());
        Check(note >= earlier.note,
              "a note older than its last commit before the scan: " + text.str());
      }
    }
    // Ids and record numbers never change: those orders reach every record that was live
    // before the scan and stayed so.
    if (!settings_.strict || (order != kPrimary && order != kNatural)) return;
    for (int w = 0; w < kWorkers; ++w) {
      for (std::int32_t slot = 0; slot < static_cast<std::int32_t>(before[w].size()); ++slot) {
        if (before[w][slot].state != 1) continue;
        const std::int32_t id = w * kIdsPerWorker + slot;
        if (LoadVersion(board_->intended[w][slot]).state != 1) continue;
        TSeen where;
        where.id = id;
        where.record_no = Load(board_->record_no[w][slot]);
        Check(seen_ids.count(id) != 0,
              "Id " + std::to_string(id) + " (record " + std::to_string(where.record_no) +
                  ") of worker " + std::to_string(w) + ", live before and after a " +
                  kOrderNames[order] + " scan, was not reached");
      }
    }
  }

  // The final model, one record a line: Id, name, group and note, tab-separated.
  void WriteModel() {
    std::ofstream out(dir_ / ("model" + std::to_string(worker_) + ".txt"));
    for (const auto& [id, row] : committed_) {
      out << id << '\t' << row.name << '\t' << row.group << '\t' << row.note << '\n';
    }
    Check(static_cast<bool>(out), "the model could not be written");
  }

  const fs::path dir_;
  const int worker_;
  const std::uint64_t seed_;
  std::mt19937_64 random_;
  TBoard* board_;  // shared mapping, owned by the test
  const TClock::time_point deadline_;
  const TWorkerSettings settings_;
  std::unique_ptr<TEngine> engine_;

  std::map<std::int32_t, TRow> committed_;  // the records as committed
  std::map<std::int32_t, TRow> pending_;    // as this worker sees them (its transaction's)
  std::set<std::int32_t> live_;             // the Ids of pending_
  std::vector<TVersion> versions_;          // per slot: the version of pending_'s record
  std::vector<std::int32_t> names_given_;   // per slot: the last name version given
  std::vector<std::int32_t> notes_given_;   // per slot: the last note version given
  std::int32_t next_slot_ = 0;
  std::int32_t target_live_ = 400;
  bool in_transaction_ = false;
  bool large_transaction_ = false;
  int transaction_left_ = 0;
  std::set<std::int32_t> touched_;  // slots changed in the running transaction
  std::deque<std::string> log_;
  TCounts counts_;
};

// ---- The test --------------------------------------------------------------------------------

std::uint64_t EnvironmentNumber(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// The union of the workers' final models.
std::map<std::int32_t, TRow> ReadModels(const fs::path& dir) {
  std::map<std::int32_t, TRow> model;
  for (int w = 0; w < kWorkers; ++w) {
    std::ifstream in(dir / ("model" + std::to_string(w) + ".txt"));
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string id, group;
      TRow row;
      std::getline(fields, id, '\t');
      std::getline(fields, row.name, '\t');
      std::getline(fields, group, '\t');
      std::getline(fields, row.note);
      row.group = static_cast<std::int16_t>(std::stoi(group));
      model[std::stoi(id)] = row;
    }
  }
  return model;
}

// A fresh engine finds every index tree sound, holding one key per live record (and per
// physical record in "Sys Deleted"), every order reaching exactly the live records in order,
// and the records equal to `model`.
void ExpectTableHolds(const fs::path& dir, const std::map<std::int32_t, TRow>& model) {
  TEngine engine(dir);
  TDataTable& table = *engine.cursor->Table();
  const std::uint64_t live = model.size();
  const auto physical = static_cast<std::uint64_t>(table.DataFile().NextRecordNo() - 1);
  EXPECT_EQ(table.IndexFile().RecordCount(), live);
  std::string fault;
  EXPECT_EQ(KeyCounts(table, &fault), (std::vector<std::uint64_t>{live, live, live, physical}));
  EXPECT_EQ(fault, "");
  engine.cursor.reset();

  for (const TOrder order : {kNatural, kPrimary, kByName, kByGroup}) {
    SCOPED_TRACE(kOrderNames[order]);
    TDataCursor cursor(*engine.db);
    cursor.SetTableName("Staff.DAT");
    cursor.SetNaturalOrder(order == kNatural);
    cursor.Open();
    if (order != kNatural) cursor.SetIndexName(kIndexNames[order]);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor.RecordSize()));
    std::map<std::int32_t, TRow> found;
    std::string last;
    cursor.SetToBegin();
    while (cursor.GetNextRecord(image.data()) == 0) {
      const TSeen seen = ReadSeen(cursor, image.data());
      EXPECT_EQ(MalformedRecord(seen), "") << Describe(seen);
      const std::string key = OrderKey(order, seen);
      EXPECT_GT(key, last) << Describe(seen);
      last = key;
      EXPECT_TRUE(found.emplace(seen.id, seen.Row()).second) << Describe(seen) << " twice";
    }
    EXPECT_EQ(found.size(), model.size());
    for (const auto& [id, row] : model) {
      const auto at = found.find(id);
      if (at == found.end()) {
        ADD_FAILURE() << Describe(id, row) << " missing";
      } else if (!(at->second == row)) {
        ADD_FAILURE() << Describe(id, at->second) << " instead of " << Describe(id, row);
      }
    }
    for (const auto& [id, row] : found) {
      if (model.count(id) == 0) ADD_FAILURE() << Describe(id, row) << " is in no model";
    }
  }
}

TEST(SoakTest, WorkersAgreeWithTheirModelsAndTheTableWithAllOfThem) {
  const std::uint64_t seconds = EnvironmentNumber("TABULA_SOAK_SECONDS", 8);
  const std::uint64_t seed = EnvironmentNumber("TABULA_SOAK_SEED", std::random_device()());
  std::printf("[soak] seed %llu, %llu seconds\n", static_cast<unsigned long long>(seed),
              static_cast<unsigned long long>(seconds));
  std::fflush(stdout);
  RecordProperty("seed", std::to_string(seed));

  char pattern[] = "/tmp/tabula_soak_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  {
    TDataSession session;
    TDataCursor cursor(*session.OpenDatabase("", dir.string()));
    cursor.SetTableName("Staff.DAT");
    cursor.CreateTable(SoakDefinition());
  }
  void* mapping =
      mmap(nullptr, sizeof(TBoard), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  auto* board = static_cast<TBoard*>(mapping);

  const TClock::time_point deadline = TClock::now() + std::chrono::seconds(seconds);
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<std::unique_ptr<TChild>> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.push_back(std::make_unique<TChild>(
        [&, w]() -> std::int64_t {
          TWorker worker(dir, w, seed * kWorkers + static_cast<std::uint64_t>(w), board, deadline);
          return worker.Run();
        },
        go));
  }
  close(go[0]);
  close(go[1]);
  bool all_passed = true;
  for (int w = 0; w < kWorkers; ++w) {
    const std::int64_t result = workers[w]->Wait();
    EXPECT_EQ(result, 0) << "worker " << w << " (seed " << seed * kWorkers + w << ")";
    all_passed = all_passed && result == 0;
  }
  if (all_passed) ExpectTableHolds(dir, ReadModels(dir));
  munmap(mapping, sizeof(TBoard));
  if (HasFailure()) {
    std::printf("[soak] the table is left in %s\n", dir.c_str());
  } else {
    fs::remove_all(dir);
  }
}

}  // namespace
}  // namespace tabula
