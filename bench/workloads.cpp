#include "bench/workloads.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>

namespace tabula::bench {

namespace {

constexpr std::uint32_t kBatchRows = 1024;

// Accumulates the time between Start and Stop; under callgrind it collects instructions only
// while running.
class TStopwatch {
 public:
  void Start() {
    if (RUNNING_ON_VALGRIND) CALLGRIND_TOGGLE_COLLECT;
    started_ = std::chrono::steady_clock::now();
  }
  void Stop() {
    total_ += std::chrono::steady_clock::now() - started_;
    if (RUNNING_ON_VALGRIND) CALLGRIND_TOGGLE_COLLECT;
  }
  double Seconds() const { return std::chrono::duration<double>(total_).count(); }

 private:
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::duration total_{};
};

// Rows first .. first + count - 1 go through `insert` in batches generated off the clock.
void InsertRows(TBenchSide& side, const TStaffGenerator& generator, std::uint32_t first,
                std::uint32_t count, TStopwatch& clock) {
  std::vector<TStaffRow> batch(kBatchRows);
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t size = std::min(kBatchRows, count - done);
    for (std::uint32_t i = 0; i < size; ++i) generator.Row(first + done + i, &batch[i]);
    clock.Start();
    for (std::uint32_t i = 0; i < size; ++i) side.Insert(batch[i]);
    clock.Stop();
    done += size;
  }
}

// Under callgrind, the instructions of one metric go into a dump of their own, named after it.
void EndMetric(const char* key) {
  if (RUNNING_ON_VALGRIND) CALLGRIND_DUMP_STATS_AT(key);
}

void Expect(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error("check failed: " + what);
}

// Untimed: the record count and the content checksum of the table.
TScanResult Contents(TBenchSide& side, const std::string& directory) {
  side.Open(directory);
  const std::int64_t count = side.Count();
  const TScanResult scan = side.Scan(false);
  side.Close();
  Expect(static_cast<std::uint64_t>(count) == scan.Count, "count agrees with a full scan");
  return scan;
}

TRunOutcome RunBulkInsert(const TRunRequest& request, TBenchSide& side) {
  const TStaffGenerator generator(request.Records);
  if (request.CreateTable) side.CreateTable(request.Directory);
  TStopwatch clock;
  clock.Start();
  side.Open(request.Directory);
  side.StartTransaction();
  clock.Stop();
  InsertRows(side, generator, 0, request.Records, clock);
  clock.Start();
  side.Commit();
  side.Close();
  clock.Stop();
  EndMetric("1");
  const TScanResult contents = Contents(side, request.Directory);
  Expect(contents.Count == request.Records, "every record inserted");
  return {{{"1", clock.Seconds(), request.Records, contents.Checksum}}, 0};
}

TRunOutcome RunPostInsert(const TRunRequest& request, TBenchSide& side) {
  const TStaffGenerator generator(request.Records);
  if (request.CreateTable) side.CreateTable(request.Directory);
  TStopwatch clock;
  clock.Start();
  side.Open(request.Directory);
  clock.Stop();
  InsertRows(side, generator, request.FirstRow, request.Posts, clock);
  clock.Start();
  side.Close();
  clock.Stop();
  EndMetric("2");
  const TScanResult contents = Contents(side, request.Directory);
  return {{{"2", clock.Seconds(), request.Posts, contents.Checksum}}, 0};
}

TRunOutcome RunLookups(const TRunRequest& request, TBenchSide& side) {
  const std::uint32_t n = request.Records;
  TRandom random(kDataSeed ^ 3);
  std::vector<std::int32_t> keys(kBatchRows);
  std::uint64_t found = 0;
  std::uint64_t check = 0;
  TText<25> name;
  TStopwatch clock;
  clock.Start();
  side.Open(request.Directory);
  clock.Stop();
  for (std::uint32_t done = 0; done < n;) {
    const std::uint32_t size = std::min(kBatchRows, n - done);
    for (std::uint32_t i = 0; i < size; ++i)
      keys[i] = static_cast<std::int32_t>(random.Below(n)) + 1;
    clock.Start();
    for (std::uint32_t i = 0; i < size; ++i) {
      if (side.LookupByStaffId(keys[i], &name)) {
        ++found;
        check += MixRecord(keys[i], name.View(), "");
      }
    }
    clock.Stop();
    done += size;
  }
  clock.Start();
  side.Close();
  clock.Stop();
  EndMetric("3");
  Expect(found == n, "every looked-up staff number found");
  return {{{"3", clock.Seconds(), found, check}}, 0};
}

TRunOutcome RunScans(const TRunRequest& request, TBenchSide& side) {
  TRunOutcome outcome;
  for (const bool by_name : {true, false}) {
    TStopwatch clock;
    clock.Start();
    side.Open(request.Directory);
    const TScanResult scan = side.Scan(by_name);
    side.Close();
    clock.Stop();
    EndMetric(by_name ? "4a" : "4b");
    Expect(scan.Count == request.Records, "a full scan reads every record");
    outcome.Metrics.push_back({by_name ? "4a" : "4b", clock.Seconds(), scan.Count, scan.Checksum});
  }
  return outcome;
}

TRunOutcome RunUpdateDelete(const TRunRequest& request, TBenchSide& side) {
  const std::uint32_t n = request.Records;
  const std::uint32_t count = std::max<std::uint32_t>(n / 10, 1);
  const TStaffGenerator generator(n);
  const TPermutation update_rows(n, kDataSeed ^ 5);
  const TPermutation delete_rows(n, kDataSeed ^ 55);
  TRunOutcome outcome;
  TStopwatch update_clock;
  TStopwatch delete_clock;
  std::vector<std::int32_t> keys(kBatchRows);
  std::vector<TText<25>> names(kBatchRows);
  std::uint64_t updated = 0;
  std::uint64_t deleted = 0;

  update_clock.Start();
  side.Open(request.Directory);
  side.StartTransaction();
  update_clock.Stop();
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t size = std::min(kBatchRows, count - done);
    for (std::uint32_t i = 0; i < size; ++i) {
      const std::uint32_t row = update_rows(done + i);
      keys[i] = generator.StaffIdOf(row);
      generator.NewName(row, &names[i]);
    }
    update_clock.Start();
    for (std::uint32_t i = 0; i < size; ++i) updated += side.UpdateName(keys[i], names[i]);
    update_clock.Stop();
    done += size;
  }
  update_clock.Start();
  side.Commit();
  update_clock.Stop();
  EndMetric("5a");

  delete_clock.Start();
  side.StartTransaction();
  delete_clock.Stop();
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t size = std::min(kBatchRows, count - done);
    for (std::uint32_t i = 0; i < size; ++i) keys[i] = generator.StaffIdOf(delete_rows(done + i));
    delete_clock.Start();
    for (std::uint32_t i = 0; i < size; ++i) deleted += side.DeleteByStaffId(keys[i]);
    delete_clock.Stop();
    done += size;
  }
  delete_clock.Start();
  side.Commit();
  side.Close();
  delete_clock.Stop();
  EndMetric("5b");

  Expect(updated == count && deleted == count, "every chosen record updated and deleted");
  const TScanResult contents = Contents(side, request.Directory);
  Expect(contents.Count == n - count, "the deleted records are gone");
  // Name order after the changes: the name index must have followed the updates.
  side.Open(request.Directory);
  const TScanResult by_name = side.Scan(true);
  side.Close();
  Expect(by_name.Count == contents.Count && by_name.Checksum == contents.Checksum,
         "the name index holds exactly the records");
  outcome.Metrics.push_back({"5a", update_clock.Seconds(), updated, contents.Checksum});
  outcome.Metrics.push_back({"5b", delete_clock.Seconds(), deleted, contents.Checksum});
  return outcome;
}

// Shared between the posting and the scanning process.
struct TTwoProcessState {
  std::atomic<int> scanner_ready;
  std::atomic<bool> stop;
};

struct TScannerReport {
  double seconds;
  std::uint64_t records;
  std::uint64_t passes;
  long max_rss_kib;
  int failed;
};

TRunOutcome RunTwoProcess(const TRunRequest& request,
                          const std::function<std::unique_ptr<TBenchSide>()>& make_side) {
  void* memory = mmap(nullptr, sizeof(TTwoProcessState), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::runtime_error("mmap failed");
  auto* state = new (memory) TTwoProcessState{};
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");

  const pid_t scanner = fork();
  if (scanner < 0) throw std::runtime_error("fork failed");
  if (scanner == 0) {
    close(fds[0]);
    TScannerReport report{};
    try {
      std::unique_ptr<TBenchSide> side = make_side();
      side->Open(request.Directory);
      state->scanner_ready.store(1);
      TStopwatch clock;
      clock.Start();
      while (!state->stop.load()) {
        report.records += side->Scan(false, &state->stop).Count;
        ++report.passes;
      }
      clock.Stop();
      side->Close();
      report.seconds = clock.Seconds();
    } catch (const std::exception& error) {
      report.failed = 1;
      state->scanner_ready.store(-1);
      fprintf(stderr, "scanner: %s\n", error.what());
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    report.max_rss_kib = usage.ru_maxrss;
    const bool written = write(fds[1], &report, sizeof report) == sizeof report;
    _exit(written ? 0 : 1);
  }
  close(fds[1]);

  std::unique_ptr<TBenchSide> side = make_side();
  while (state->scanner_ready.load() == 0) usleep(1000);
  if (state->scanner_ready.load() < 0) throw std::runtime_error("the scanner did not start");
  const TStaffGenerator generator(request.Records);
  TStopwatch clock;
  clock.Start();
  side->Open(request.Directory);
  clock.Stop();
  InsertRows(*side, generator, request.FirstRow, request.Posts, clock);
  clock.Start();
  side->Close();
  clock.Stop();
  state->stop.store(true);

  TScannerReport report{};
  const bool read_ok = read(fds[0], &report, sizeof report) == sizeof report;
  close(fds[0]);
  int status = 0;
  waitpid(scanner, &status, 0);
  munmap(memory, sizeof(TTwoProcessState));
  if (!read_ok || report.failed != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("the scanning process failed");
  }
  const TScanResult contents = Contents(*side, request.Directory);
  Expect(contents.Count == request.Records + request.Posts, "every posted record stored");
  TRunOutcome outcome;
  outcome.Metrics.push_back({"6a", clock.Seconds(), request.Posts, contents.Checksum});
  outcome.Metrics.push_back({"6b", report.seconds, report.records, 0});
  outcome.PeerMaxRssKib = report.max_rss_kib;
  return outcome;
}

}  // namespace

TRunOutcome RunWorkload(const TRunRequest& request,
                        const std::function<std::unique_ptr<TBenchSide>()>& make_side) {
  if (request.Workload == TWorkload::kTwoProcess) return RunTwoProcess(request, make_side);
  std::unique_ptr<TBenchSide> side = make_side();
  switch (request.Workload) {
    case TWorkload::kBulkInsert:
      return RunBulkInsert(request, *side);
    case TWorkload::kPostInsert:
      return RunPostInsert(request, *side);
    case TWorkload::kLookup:
      return RunLookups(request, *side);
    case TWorkload::kScan:
      return RunScans(request, *side);
    case TWorkload::kUpdateDelete:
      return RunUpdateDelete(request, *side);
    case TWorkload::kTwoProcess:
      break;
  }
  throw std::runtime_error("unknown workload");
}

void BuildBaseTable(TBenchSide& side, const std::string& directory, std::uint32_t n) {
  side.CreateTable(directory);
  side.Open(directory);
  side.StartTransaction();
  TStopwatch clock;
  InsertRows(side, TStaffGenerator(n), 0, n, clock);
  side.Commit();
  side.Close();
}

}  // namespace tabula::bench
