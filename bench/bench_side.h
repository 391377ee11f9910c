// One engine under benchmark: the operations the workloads are made of, each implemented the way
// an application would use that engine (prepared statements with bound parameters for SQLite;
// for ours the dataset components, and the engine cursor directly as a second column).
//
// A side lives in one process and holds at most one open table. Workloads (bench/workloads.h)
// drive it; they time only the engine's work, never the generation of the rows.
//
// Thread-safety: one thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/staff_data.h"

namespace tabula::bench {

// The two configurations compared. Both keep the files shareable between processes.
enum class TDurability {
  kFast,     // no device flushes
  kDurable,  // every commit (or post outside a transaction) flushed to the device
};

struct TSideOptions {
  TDurability Durability = TDurability::kFast;
  // Cache budget of the whole table (records and every index) in bytes.
  std::int64_t CacheBytes = 6 << 20;
};

// Our engine has one cache setting, the session's DataBufferSize S: the record cache holds
// S bytes of records (at most the session's DataBufferCount of them) and the index file keeps
// S div 8192 pages of 4 KiB for each of its five slots (the four indexes and the deleted-record
// index), pooled, so S/2 bytes per slot. Records and five slots thus take 3.5 S: this is the S
// whose caches fill at most the budget (less when the record count caps the record cache).
inline std::int64_t EngineDataBufferSize(std::int64_t cache_bytes) {
  constexpr std::int64_t kIndexSlots = 5;
  return std::max<std::int64_t>(cache_bytes * 2 / (2 + kIndexSlots), 8192);
}

// What a scan returns: the number of records and the order-independent sum of MixRecord.
struct TScanResult {
  std::uint64_t Count = 0;
  std::uint64_t Checksum = 0;
};

// An operation the side cannot perform yet: its workloads are reported as unsupported.
class TUnsupported : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TBenchSide {
 public:
  virtual ~TBenchSide() = default;

  // Creates the empty staff table with its four indexes in `directory` (which exists).
  virtual void CreateTable(const std::string& directory) = 0;
  // Opens the table shared (other processes may open it at the same time).
  virtual void Open(const std::string& directory) = 0;
  virtual void Close() = 0;

  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;

  // Posts one record; outside a transaction it is flushed and visible to other processes.
  virtual void Insert(const TStaffRow& row) = 0;
  // Finds the record by its staff number through the unique index and reads its name; false
  // when there is none.
  virtual bool LookupByStaffId(std::int32_t staff_id, TText<25>* name) = 0;
  // Reads Staff_ID, Staff_Name and User_ID of every record, in name order (`by_name`) or in
  // natural (storage) order. Stops early, between records, once `stop` becomes true.
  virtual TScanResult Scan(bool by_name, const std::atomic<bool>* stop = nullptr) = 0;
  // Gives the record with this staff number a new name; false when there is none.
  virtual bool UpdateName(std::int32_t staff_id, const TText<25>& name) = 0;
  // Deletes the record with this staff number; false when there is none.
  virtual bool DeleteByStaffId(std::int32_t staff_id) = 0;
  // The number of records of the table.
  virtual std::int64_t Count() = 0;
};

std::unique_ptr<TBenchSide> MakeSqliteSide(const TSideOptions& options);
std::unique_ptr<TBenchSide> MakeTabulaSide(const TSideOptions& options);
std::unique_ptr<TBenchSide> MakeComponentsSide(const TSideOptions& options);

}  // namespace tabula::bench
