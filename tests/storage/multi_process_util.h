// Helpers of the tests that run several processes on one table directory: the staff table's
// definition, one process's engine (session, database and cursor on the table) and a check of
// every index tree of an open table.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/base/engine_error.h"
#include "engine/index/btree.h"
#include "engine/index/collation.h"
#include "engine/index/keys.h"
#include "engine/storage/data_cursor.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_session.h"
#include "engine/storage/data_table.h"

namespace tabula {

inline TFieldDescriptor Field(const std::string& name, std::uint8_t type, std::uint8_t size = 0) {
  TFieldDescriptor field;
  field.FieldName = name;
  field.FieldType = type;
  field.FieldSize = size;
  return field;
}

inline TIndexDefinition Index(const std::string& name, std::vector<std::uint16_t> fields,
                              bool unique) {
  TIndexDefinition index;
  index.Name = name;
  index.FieldNumbers = std::move(fields);
  index.FieldDescending.assign(index.FieldNumbers.size(), false);
  index.Unique = unique;
  return index;
}

// Id integer (primary), Name string 20 (unique "ByName"), Group smallint (non-unique
// "ByGroup").
inline TTableDefinition Definition() {
  TTableDefinition definition;
  definition.Fields = {Field("Id", fldInteger), Field("Name", fldString, 20),
                       Field("Group", fldSmallInt)};
  definition.Indexes = {Index("", {1}, true), Index("ByName", {2}, true),
                        Index("ByGroup", {3}, false)};
  return definition;
}

// One process's engine: a session, the database on the directory and a cursor on the table.
struct TEngine {
  // `buffer_size` (DataBufferSize) 0 keeps the session's default.
  explicit TEngine(const std::filesystem::path& dir, TLockProtocol protocol = lpPessimistic,
                   std::uint8_t retries = 15, std::uint16_t wait = 100,
                   std::int32_t buffer_size = 0) {
    if (buffer_size > 0) session.SetDataBufferSize(buffer_size);
    session.SetLockProtocol(protocol);
    session.SetLockRetryCount(retries);
    session.SetLockWaitTime(wait);
    db = session.OpenDatabase("", dir.string());
    cursor = std::make_unique<TDataCursor>(*db);
    cursor->SetTableName("Staff.DAT");
    cursor->Open();
  }

  std::vector<std::uint8_t> Row(std::int32_t id, const std::string& name, std::int16_t group) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(cursor->RecordSize()));
    cursor->InitRecord(image.data());
    std::uint8_t value[4];
    EncodeFixed32(value, static_cast<std::uint32_t>(id));
    cursor->SetField(1, image.data(), value, 4);
    cursor->SetField(2, image.data(), reinterpret_cast<const std::uint8_t*>(name.data()),
                     name.size());
    EncodeFixed16(value, static_cast<std::uint16_t>(group));
    cursor->SetField(3, image.data(), value, 2);
    return image;
  }

  void Insert(std::int32_t id, const std::string& name, std::int16_t group) {
    auto image = Row(id, name, group);
    cursor->PostInsert(image.data(), false);
  }

  // The first record in primary-key order into `image`.
  void First(std::vector<std::uint8_t>* image) {
    image->assign(static_cast<std::size_t>(cursor->RecordSize()), 0);
    cursor->SetToBegin();
    if (cursor->GetNextRecord(image->data()) != 0) {
      RaiseTableError(TABULA_EOF, "Staff.DAT");
    }
  }

  void SetName(std::vector<std::uint8_t>& image, const std::string& name) {
    cursor->SetField(2, image.data(), reinterpret_cast<const std::uint8_t*>(name.data()),
                     name.size());
  }

  TDataSession session;
  TDataDirectory* db = nullptr;
  std::unique_ptr<TDataCursor> cursor;
};

// Checks every index of the open table; `fault` names the first damaged tree.
inline std::vector<std::uint64_t> KeyCounts(TDataTable& table, std::string* fault) {
  std::vector<std::uint64_t> counts;
  TIndexFile& file = table.IndexFile();
  std::vector<int> slots;
  if (!file.NoPrimaryIndex()) slots.push_back(0);
  for (int slot = 1; slot <= file.Header().SecondaryCount; ++slot) slots.push_back(slot);
  slots.push_back(kSysDeletedSlot);
  for (int slot : slots) {
    TKeyIndexDef definition;
    MakeKeyIndexDef(file.Header().Descriptors[slot], slot, table.DataFile().Descriptors(),
                    &definition);
    TIndexKeys keys(definition, *FindCollation(0, 0));
    TIndexKeysComparator comparator(keys);
    TBTree tree = file.Tree(slot, comparator);
    std::uint64_t count = 0;
    const std::string problem = tree.CheckTree(&count);
    if (!problem.empty() && fault->empty()) *fault = std::to_string(slot) + ": " + problem;
    counts.push_back(count);
  }
  return counts;
}

}  // namespace tabula
