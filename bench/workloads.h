// The workloads, as run inside one benchmark child process against one side.
//
// Each run times only the engine's work: rows are generated in batches while the stopwatch is
// stopped. Under callgrind the stopwatch also switches instruction collection on and off, so
// that the instruction count covers exactly the timed work. Every run ends with an untimed
// check (record count, content checksum) whose result the harness compares between the sides.
//
// Thread-safety: one thread (the two-process workload forks its second process).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_side.h"

namespace tabula::bench {

enum class TWorkload {
  kBulkInsert = 1,    // n records inside one transaction, into an empty table
  kPostInsert = 2,    // one post per record, each flushed and visible to other processes
  kLookup = 3,        // n random point lookups by Staff_ID
  kScan = 4,          // full scan in Staff_Name order, then in natural order
  kUpdateDelete = 5,  // n/10 random name changes, then n/10 random deletes
  kTwoProcess = 6,    // one process posting, another scanning the same table
};

// One measured figure of a run.
struct TMetric {
  std::string Key;          // "1", "4a", ...
  double Seconds = 0;       // timed work
  std::uint64_t Ops = 0;    // records inserted, found, read, changed or deleted
  std::uint64_t Check = 0;  // compared between the sides (0 = not compared)
};

struct TRunRequest {
  TWorkload Workload = TWorkload::kBulkInsert;
  std::string Directory;      // holds the table (a copy of the base table for 2, 5 and 6)
  std::uint32_t Records = 0;  // n
  // Workloads 2 and 6: the records posted, rows first_row .. first_row + posts - 1.
  std::uint32_t Posts = 0;
  std::uint32_t FirstRow = 0;
  bool CreateTable = false;  // the directory is empty: create the table first (untimed)
};

struct TRunOutcome {
  std::vector<TMetric> Metrics;
  // Peak memory of a second process of the run (the scanner of workload 6), else 0.
  long PeerMaxRssKib = 0;
};

// Runs one workload. `make_side` builds a fresh side (the two-process workload needs one per
// process). Raises on any engine failure.
TRunOutcome RunWorkload(const TRunRequest& request,
                        const std::function<std::unique_ptr<TBenchSide>()>& make_side);

// Fills a new table in `directory` with rows 0 .. n-1 in one transaction (the base tables).
void BuildBaseTable(TBenchSide& side, const std::string& directory, std::uint32_t n);

}  // namespace tabula::bench
