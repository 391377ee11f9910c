// tabula-bench: the engine against SQLite on the staff table, side by side.
//
// The harness never touches a table itself. Every run of a workload is a child process (this
// program started again with --child), so that each side's peak memory is the child's maximum
// resident set size as wait4 reports it, and the sides alternate run by run so that drift of a
// shared machine falls on both. Base tables of n records are built once per size and side and
// copied for the workloads that change them. With --instructions one more run of each side goes
// under callgrind, which counts the instructions of the timed work only.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_side.h"
#include "bench/workloads.h"

namespace tabula::bench {

namespace {

namespace fs = std::filesystem;

// ---- Options ------------------------------------------------------------------------------

struct TOptions {
  std::vector<std::uint32_t> Records = {10000, 100000};
  int Runs = 5;
  std::vector<TDurability> Configs = {TDurability::kFast, TDurability::kDurable};
  std::vector<int> Workloads = {1, 2, 3, 4, 5, 6};
  std::vector<std::string> Sides = {"sqlite", "components", "cursor"};
  // Posts of workloads 2 and 6 per configuration; 0 = no limit (n for 2, n/10 for 6). Each
  // post outside a transaction costs SQLite a journal file of its own (over 300 us here), so
  // a million posts would take each SQLite run most of half an hour: the fast configuration
  // posts at most 100,000 records, which changes nothing up to 100,000 records.
  std::uint32_t PostsFast = 100000;
  std::uint32_t PostsDurable = 1000;
  std::int64_t CacheBytes = 6 << 20;
  // Record counts whose runs are repeated under callgrind (empty: none).
  std::vector<std::uint32_t> InstructionRecords;
  std::string Directory;
  std::string Output;
  bool Keep = false;
  bool Smoke = false;
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::uint32_t ParseCount(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c != '_' && c != '\'') digits += c;
  }
  char* end = nullptr;
  const unsigned long value = std::strtoul(digits.c_str(), &end, 10);
  if (digits.empty() || *end != '\0' || value > 50000000ul) {
    throw std::runtime_error("not a record count: " + text);
  }
  return static_cast<std::uint32_t>(value);
}

const char* DurabilityName(TDurability durability) {
  return durability == TDurability::kDurable ? "durable" : "fast";
}

TDurability ParseDurability(const std::string& text) {
  if (text == "fast") return TDurability::kFast;
  if (text == "durable") return TDurability::kDurable;
  throw std::runtime_error("unknown configuration: " + text);
}

void PrintUsage() {
  std::cout
      << "usage: tabula-bench [options]\n"
         "  --records N[,N...]     table sizes (default 10000,100000)\n"
         "  --runs R               runs per workload and side, median reported (default 5)\n"
         "  --configs fast,durable configurations (default both)\n"
         "  --workloads 1,...,6    workloads (default all)\n"
         "  --sides S[,S...]       sqlite, components (ours through the dataset components),\n"
         "                         cursor (ours through the engine cursor); default all three\n"
         "  --posts-fast P         posts of workloads 2 and 6, fast: n and n/10, at most P\n"
         "                         (default 100000; 0: no limit)\n"
         "  --posts-durable P      posts of workloads 2 and 6, durable (default 1000)\n"
         "  --cache-kib K          cache of the whole table on each side (default 6144)\n"
         "  --instructions N[,N]   count instructions (callgrind) at these sizes\n"
         "  --dir DIR              working directory (default: a new one under /tmp)\n"
         "  --out FILE             also write the result table (markdown) to FILE\n"
         "  --keep                 keep the working directory\n"
         "  --smoke                1,000 records, one run, checks only (the test suite's run)\n";
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--records") {
      options.Records.clear();
      for (const std::string& part : Split(value())) options.Records.push_back(ParseCount(part));
    } else if (arg == "--runs") {
      options.Runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--configs") {
      options.Configs.clear();
      for (const std::string& part : Split(value()))
        options.Configs.push_back(ParseDurability(part));
    } else if (arg == "--workloads") {
      options.Workloads.clear();
      for (const std::string& part : Split(value())) {
        const int workload = std::atoi(part.c_str());
        if (workload < 1 || workload > 6) throw std::runtime_error("unknown workload: " + part);
        options.Workloads.push_back(workload);
      }
    } else if (arg == "--sides") {
      options.Sides = Split(value());
    } else if (arg == "--posts-fast") {
      options.PostsFast = ParseCount(value());
    } else if (arg == "--posts-durable") {
      options.PostsDurable = ParseCount(value());
    } else if (arg == "--cache-kib") {
      options.CacheBytes = static_cast<std::int64_t>(ParseCount(value())) * 1024;
    } else if (arg == "--instructions") {
      for (const std::string& part : Split(value())) {
        options.InstructionRecords.push_back(ParseCount(part));
      }
    } else if (arg == "--dir") {
      options.Directory = value();
    } else if (arg == "--out") {
      options.Output = value();
    } else if (arg == "--keep") {
      options.Keep = true;
    } else if (arg == "--smoke") {
      options.Smoke = true;
      options.Records = {1000};
      options.Runs = 1;
      options.PostsDurable = 20;
      options.InstructionRecords.clear();
    } else if (arg == "--help" || arg == "-h") {
      PrintUsage();
      std::exit(0);
    } else {
      throw std::runtime_error("unknown option: " + arg);
    }
  }
  for (const std::string& side : options.Sides) {
    if (side != "sqlite" && side != "components" && side != "cursor") throw std::runtime_error("unknown side: " + side);
  }
  return options;
}

// ---- The child process --------------------------------------------------------------------

std::unique_ptr<TBenchSide> MakeSide(const std::string& name, const TSideOptions& options) {
  if (name == "sqlite") return MakeSqliteSide(options);
  if (name == "components") return MakeComponentsSide(options);
  if (name == "cursor") return MakeTabulaSide(options);
  throw std::runtime_error("unknown side: " + name);
}

// The exit status of a child whose side cannot run the workload yet.
constexpr int kExitUnsupported = 3;

// --child SIDE WORKLOAD|base N POSTS FIRST_ROW CREATE DURABILITY CACHE_BYTES DIRECTORY
int ChildMain(int argc, char** argv) {
  if (argc != 11) {
    std::cerr << "tabula-bench: bad child arguments\n";
    return 2;
  }
  try {
    const std::string side_name = argv[2];
    const std::string workload = argv[3];
    TSideOptions side_options;
    side_options.Durability = ParseDurability(argv[8]);
    side_options.CacheBytes = std::atoll(argv[9]);
    auto make_side = [&] { return MakeSide(side_name, side_options); };
    TRunRequest request;
    request.Records = ParseCount(argv[4]);
    request.Posts = ParseCount(argv[5]);
    request.FirstRow = ParseCount(argv[6]);
    request.CreateTable = std::string(argv[7]) == "1";
    request.Directory = argv[10];
    if (workload == "base") {
      BuildBaseTable(*make_side(), request.Directory, request.Records);
      return 0;
    }
    request.Workload = static_cast<TWorkload>(std::atoi(workload.c_str()));
    const TRunOutcome outcome = RunWorkload(request, make_side);
    for (const TMetric& metric : outcome.Metrics) {
      std::printf("metric %s %.9f %llu %llu\n", metric.Key.c_str(), metric.Seconds,
                  static_cast<unsigned long long>(metric.Ops),
                  static_cast<unsigned long long>(metric.Check));
    }
    std::printf("peer_rss %ld\n", outcome.PeerMaxRssKib);
    std::fflush(stdout);
    return 0;
  } catch (const TUnsupported& error) {
    std::cerr << "tabula-bench child (" << argv[2] << ", workload " << argv[3]
              << "): unsupported: " << error.what() << "\n";
    return kExitUnsupported;
  } catch (const std::exception& error) {
    std::cerr << "tabula-bench child (" << argv[2] << ", workload " << argv[3]
              << "): " << error.what() << "\n";
    return 1;
  }
}

// ---- Spawning -----------------------------------------------------------------------------

struct TChildResult {
  bool Ok = false;
  bool Unsupported = false;
  std::vector<TMetric> Metrics;
  long MaxRssKib = 0;
  std::uint64_t Instructions = 0;
};

std::string SelfPath() {
  std::error_code error;
  const fs::path path = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string("tabula-bench") : path.string();
}

// Runs `args` (argv[0] first) with its standard output captured.
TChildResult Spawn(const std::vector<std::string>& args) {
  TChildResult result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string output;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fds[0], buffer, sizeof buffer)) > 0) output.append(buffer, got);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  result.Unsupported = WIFEXITED(status) && WEXITSTATUS(status) == kExitUnsupported;
  result.MaxRssKib = usage.ru_maxrss;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string tag;
    fields >> tag;
    if (tag == "metric") {
      TMetric metric;
      fields >> metric.Key >> metric.Seconds >> metric.Ops >> metric.Check;
      result.Metrics.push_back(metric);
    } else if (tag == "peer_rss") {
      long peer = 0;
      fields >> peer;
      result.MaxRssKib = std::max(result.MaxRssKib, peer);
    }
  }
  if (result.Ok && result.Metrics.empty() && args.size() > 3 && args[3] != "base") {
    result.Ok = false;
  }
  return result;
}

// The instructions callgrind collected per metric: each metric's dump file ("<prefix>.<pid>.<n>")
// names it as the trigger of the dump and gives its total.
std::map<std::string, std::uint64_t> CollectedInstructions(const fs::path& directory,
                                                           const std::string& prefix) {
  std::map<std::string, std::uint64_t> totals;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().filename().string().rfind(prefix, 0) != 0) continue;
    std::ifstream dump(entry.path());
    std::string line;
    std::string key;
    while (std::getline(dump, line)) {
      constexpr std::string_view kTrigger = "desc: Trigger: Client Request: ";
      if (line.rfind(kTrigger, 0) == 0) key = line.substr(kTrigger.size());
      if (line.rfind("totals: ", 0) == 0 && !key.empty()) {
        totals[key] += std::strtoull(line.c_str() + 8, nullptr, 10);
      }
    }
  }
  return totals;
}

bool HaveValgrind() { return std::system("valgrind --version >/dev/null 2>&1") == 0; }

// ---- Results ------------------------------------------------------------------------------

struct TSample {
  std::vector<double> Seconds;
  std::vector<std::uint64_t> Ops;
  std::vector<std::uint64_t> Checks;
  long MaxRssKib = 0;
  std::uint64_t Instructions = 0;
  bool Failed = false;
  bool Unsupported = false;  // the side cannot run this workload yet
};

// (records, configuration, metric key, side)
using TSampleKey = std::tuple<std::uint32_t, std::string, std::string, std::string>;

double Median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

const char* MetricLabel(const std::string& key) {
  static const std::map<std::string, const char*> labels = {{"1", "1 bulk insert, one transaction"},
                                                            {"2", "2 insert, one post per record"},
                                                            {"3", "3 point lookups by Staff_ID"},
                                                            {"4a", "4a scan in Staff_Name order"},
                                                            {"4b", "4b scan in natural order"},
                                                            {"5a", "5a update Staff_Name (10%)"},
                                                            {"5b", "5b delete (10%)"},
                                                            {"6a", "6a two processes: posting"},
                                                            {"6b", "6b two processes: scanning"}};
  const auto it = labels.find(key);
  return it != labels.end() ? it->second : "?";
}

std::string Format(double value, int decimals) {
  if (std::isnan(value)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

class TBench {
 public:
  explicit TBench(TOptions options) : options_(std::move(options)), self_(SelfPath()) {}

  int Run() {
    PrepareDirectory();
    const bool valgrind = !options_.InstructionRecords.empty() && HaveValgrind();
    if (!options_.InstructionRecords.empty() && !valgrind) {
      notes_.push_back("instruction counts unavailable: valgrind is not installed");
    }
    for (const std::uint32_t n : options_.Records) {
      if (!BuildBases(n)) continue;
      for (std::size_t c = 0; c < options_.Configs.size(); ++c) {
        const TDurability config = options_.Configs[c];
        for (const int workload : options_.Workloads) {
          // Reads do not depend on the configuration: they run once, under the first.
          const bool reads = workload == 3 || workload == 4;
          if (reads && c > 0) continue;
          const std::string config_name = reads ? "any" : DurabilityName(config);
          for (int run = 0; run < options_.Runs; ++run) {
            for (std::size_t s = 0; s < sides_.size(); ++s) {
              const std::string& side = sides_[(s + static_cast<std::size_t>(run)) % sides_.size()];
              RunOne(n, config, config_name, workload, side, false);
            }
          }
          const bool count =
              valgrind && workload != 6 &&
              std::find(options_.InstructionRecords.begin(), options_.InstructionRecords.end(),
                        n) != options_.InstructionRecords.end();
          if (count) {
            for (const std::string& side : sides_)
              RunOne(n, config, config_name, workload, side, true);
          }
        }
      }
    }
    const std::string table = ResultTable();
    std::cout << table;
    if (!options_.Output.empty()) std::ofstream(options_.Output) << table;
    if (!options_.Keep) fs::remove_all(directory_);
    return failures_ == 0 ? 0 : 1;
  }

 private:
  void PrepareDirectory() {
    if (options_.Directory.empty()) {
      char pattern[] = "/tmp/tabula_bench_XXXXXX";
      if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a directory");
      directory_ = pattern;
    } else {
      directory_ = options_.Directory;
      fs::create_directories(directory_);
    }
    sides_ = options_.Sides;
  }

  fs::path BaseDir(std::uint32_t n, const std::string& side) const {
    return directory_ / (std::to_string(n)) / ("base-" + side);
  }

  std::vector<std::string> ChildArgs(const std::string& side, const std::string& workload,
                                     std::uint32_t n, std::uint32_t posts, std::uint32_t first,
                                     bool create, TDurability config, const fs::path& dir) const {
    return {self_,
            "--child",
            side,
            workload,
            std::to_string(n),
            std::to_string(posts),
            std::to_string(first),
            create ? "1" : "0",
            DurabilityName(config),
            std::to_string(options_.CacheBytes),
            dir.string()};
  }

  bool BuildBases(std::uint32_t n) {
    bool ok = true;
    for (const std::string& side : sides_) {
      const fs::path dir = BaseDir(n, side);
      fs::remove_all(dir);
      fs::create_directories(dir);
      std::cerr << "building the base table of " << n << " records (" << side << ")\n";
      const TChildResult result =
          Spawn(ChildArgs(side, "base", n, 0, 0, true, TDurability::kFast, dir));
      if (!result.Ok) {
        std::cerr << "  failed\n";
        ++failures_;
        ok = false;
      }
    }
    return ok;
  }

  std::uint32_t PostsOf(int workload, std::uint32_t n, TDurability config) const {
    const std::uint32_t natural = workload == 2 ? n : std::max<std::uint32_t>(n / 10, 1);
    const std::uint32_t cap =
        config == TDurability::kDurable ? options_.PostsDurable : options_.PostsFast;
    return cap == 0 ? natural : std::min(natural, cap);
  }

  void RunOne(std::uint32_t n, TDurability config, const std::string& config_name, int workload,
              const std::string& side, bool under_callgrind) {
    const fs::path run_dir = directory_ / std::to_string(n) / ("run-" + side);
    fs::remove_all(run_dir);
    fs::create_directories(run_dir);
    std::uint32_t posts = 0;
    std::uint32_t first = 0;
    bool create = false;
    fs::path table_dir = run_dir;
    switch (workload) {
      case 1:
        create = true;
        break;
      case 2:
        posts = PostsOf(2, n, config);
        if (posts == n) {
          create = true;  // n posts into an empty table
        } else {
          first = n;  // fewer posts, into a table of n records
          CopyBase(n, side, run_dir);
        }
        break;
      case 3:
      case 4:
        table_dir = BaseDir(n, side);  // read only
        break;
      case 5:
        CopyBase(n, side, run_dir);
        break;
      case 6:
        posts = PostsOf(6, n, config);
        first = n;
        CopyBase(n, side, run_dir);
        break;
    }
    std::vector<std::string> args =
        ChildArgs(side, std::to_string(workload), n, posts, first, create, config, table_dir);
    const fs::path dumps = directory_ / std::to_string(n) / ("callgrind-" + side);
    if (under_callgrind) {
      fs::remove_all(dumps);
      fs::create_directories(dumps);
      args.insert(args.begin(), {"valgrind", "--tool=callgrind", "--collect-atstart=no",
                                 "--callgrind-out-file=" + (dumps / "out").string(),
                                 "--log-file=" + (dumps / "log").string()});
    }
    std::cerr << (under_callgrind ? "callgrind " : "") << "n=" << n << " " << config_name
              << " workload " << workload << " " << side << "\n";
    const TChildResult result = Spawn(args);
    if (!result.Ok && !result.Unsupported) {
      std::cerr << "  failed\n";
      ++failures_;
    }
    const std::map<std::string, std::uint64_t> instructions =
        under_callgrind ? CollectedInstructions(dumps, "out")
                        : std::map<std::string, std::uint64_t>();
    const std::vector<std::string> keys = KeysOf(workload);
    for (const std::string& key : keys) {
      TSample& sample = samples_[{n, config_name, key, side}];
      if (!result.Ok) {
        (result.Unsupported ? sample.Unsupported : sample.Failed) = true;
        continue;
      }
      for (const TMetric& metric : result.Metrics) {
        if (metric.Key != key) continue;
        if (under_callgrind) {
          const auto it = instructions.find(key);
          if (it != instructions.end()) sample.Instructions = it->second;
        } else {
          sample.Seconds.push_back(metric.Seconds);
          sample.Ops.push_back(metric.Ops);
          if (metric.Check != 0) sample.Checks.push_back(metric.Check);
          sample.MaxRssKib = std::max(sample.MaxRssKib, result.MaxRssKib);
        }
      }
    }
    fs::remove_all(run_dir);
    fs::remove_all(dumps);
  }

  static std::vector<std::string> KeysOf(int workload) {
    switch (workload) {
      case 4:
        return {"4a", "4b"};
      case 5:
        return {"5a", "5b"};
      case 6:
        return {"6a", "6b"};
      default:
        return {std::to_string(workload)};
    }
  }

  void CopyBase(std::uint32_t n, const std::string& side, const fs::path& to) const {
    for (const auto& entry : fs::directory_iterator(BaseDir(n, side))) {
      fs::copy_file(entry.path(), to / entry.path().filename(),
                    fs::copy_options::overwrite_existing);
    }
  }

  // Every side must have read and written the same records: equal operation counts and
  // checksums over all runs.
  std::string CheckAgreement(const TSampleKey& key) {
    std::vector<std::uint64_t> ops;
    std::vector<std::uint64_t> checks;
    for (const std::string& side : sides_) {
      const auto it = samples_.find({std::get<0>(key), std::get<1>(key), std::get<2>(key), side});
      if (it == samples_.end()) continue;
      ops.insert(ops.end(), it->second.Ops.begin(), it->second.Ops.end());
      checks.insert(checks.end(), it->second.Checks.begin(), it->second.Checks.end());
    }
    const bool ops_vary = std::get<2>(key) == "6b";
    if ((!ops_vary &&
         std::adjacent_find(ops.begin(), ops.end(), std::not_equal_to<>()) != ops.end()) ||
        std::adjacent_find(checks.begin(), checks.end(), std::not_equal_to<>()) != checks.end()) {
      ++failures_;
      return "MISMATCH";
    }
    return "";
  }

  static int ConfigRank(const std::string& config) {
    return config == "any" ? 0 : config == "fast" ? 1 : 2;
  }

  // The sample keys by records, workload, configuration and side.
  std::vector<TSampleKey> OrderedKeys() const {
    std::vector<TSampleKey> keys;
    for (const auto& entry : samples_) keys.push_back(entry.first);
    std::sort(keys.begin(), keys.end(), [](const TSampleKey& a, const TSampleKey& b) {
      return std::make_tuple(std::get<0>(a), std::get<2>(a), ConfigRank(std::get<1>(a)),
                             std::get<3>(a)) < std::make_tuple(std::get<0>(b), std::get<2>(b),
                                                               ConfigRank(std::get<1>(b)),
                                                               std::get<3>(b));
    });
    return keys;
  }

  // Time per record of workloads 1 and 3 at each size, against the smallest size, beside the
  // growth of log n.
  std::string GrowthTable() const {
    if (options_.Records.size() < 2) return "";
    std::ostringstream out;
    out << "\nGrowth of the time per record from " << options_.Records.front()
        << " records (log n grows by the factor in the last column):\n\n";
    out << "| workload | config | engine | records | us/op | growth | log n growth |\n";
    out << "|---|---|---|---:|---:|---:|---:|\n";
    for (const std::string metric : {"1", "3"}) {
      for (const std::string config : {"any", "fast", "durable"}) {
        for (const std::string& side : sides_) {
          double first = NAN;
          for (const std::uint32_t n : options_.Records) {
            const auto it = samples_.find({n, config, metric, side});
            if (it == samples_.end() || it->second.Ops.empty()) continue;
            const double per_op =
                Median(it->second.Seconds) / static_cast<double>(it->second.Ops.front()) * 1e6;
            if (std::isnan(first)) first = per_op;
            out << "| " << MetricLabel(metric) << " | " << config << " | " << side << " | " << n
                << " | " << Format(per_op, 2) << " | " << Format(per_op / first, 2) << " | "
                << Format(std::log(static_cast<double>(n)) /
                              std::log(static_cast<double>(options_.Records.front())),
                          2)
                << " |\n";
          }
        }
      }
    }
    return out.str();
  }

  std::string ResultTable() {
    std::ostringstream out;
    const std::string reference = "sqlite";
    out << "\n## Tabula against SQLite " << SqliteVersion() << "\n\n";
    out << "Medians of " << options_.Runs << " run(s); ratio = ours / SQLite (below 1: ours is "
        << "faster); time per operation in microseconds; peak memory = maximum resident set "
        << "of the run's process(es), in MiB. Cache " << options_.CacheBytes / 1024
        << " KiB on each side. Posts of workloads 2 and 6: "
        << (options_.PostsFast == 0 ? std::string("n and n/10")
                                    : "n and n/10, at most " + std::to_string(options_.PostsFast))
        << " (fast), at most " << options_.PostsDurable
        << " (durable; fewer than n posts go into a table of n records).\n\n";
    for (const std::string& note : notes_) out << "Note: " << note << ".\n\n";
    out << "| records | config | workload | engine | ours ms | SQLite ms | ratio | ours us/op | "
           "SQLite us/op | ours MiB | SQLite MiB | ours Minstr | SQLite Minstr | |\n";
    out << "|---:|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n";
    std::map<TSampleKey, bool> seen;
    for (const TSampleKey& key : OrderedKeys()) {
      const TSample& sample = samples_.at(key);
      const auto& [n, config, metric, side] = key;
      if (side == reference) continue;
      const auto ref_it = samples_.find({n, config, metric, reference});
      const TSample* ref = ref_it != samples_.end() ? &ref_it->second : nullptr;
      const double ours = Median(sample.Seconds);
      const double theirs = ref != nullptr ? Median(ref->Seconds) : NAN;
      const double ops = sample.Ops.empty() ? NAN : static_cast<double>(sample.Ops.front());
      const double ref_ops =
          ref != nullptr && !ref->Ops.empty() ? static_cast<double>(ref->Ops.front()) : NAN;
      // Scanning throughput of workload 6 depends on the posting side: compare per record.
      const bool per_op = metric == "6b";
      const double ratio = per_op ? (ours / ops) / (theirs / ref_ops) : ours / theirs;
      std::string flag = sample.Failed || (ref != nullptr && ref->Failed) ? "FAILED" : "";
      if (sample.Unsupported) flag = "unsupported";
      if (flag.empty()) flag = CheckAgreement(key);
      out << "| " << n << " | " << config << " | " << MetricLabel(metric) << " | " << side << " | "
          << Format(ours * 1e3, 1) << " | " << Format(theirs * 1e3, 1) << " | " << Format(ratio, 2)
          << " | " << Format(ours / ops * 1e6, 2) << " | " << Format(theirs / ref_ops * 1e6, 2)
          << " | " << Format(sample.MaxRssKib / 1024.0, 1) << " | "
          << Format(ref != nullptr ? ref->MaxRssKib / 1024.0 : NAN, 1) << " | "
          << Format(sample.Instructions != 0 ? sample.Instructions / 1e6 : NAN, 1) << " | "
          << Format(ref != nullptr && ref->Instructions != 0 ? ref->Instructions / 1e6 : NAN, 1)
          << " | " << flag << " |\n";
      seen[key] = true;
    }
    // Without another side the reference rows are listed alone.
    if (seen.empty()) {
      for (const TSampleKey& key : OrderedKeys()) {
        const TSample& sample = samples_.at(key);
        const auto& [n, config, metric, side] = key;
        const double theirs = Median(sample.Seconds);
        const double ops = sample.Ops.empty() ? NAN : static_cast<double>(sample.Ops.front());
        std::string flag = sample.Failed ? "FAILED" : CheckAgreement(key);
        out << "| " << n << " | " << config << " | " << MetricLabel(metric) << " | - | n/a | "
            << Format(theirs * 1e3, 1) << " | n/a | n/a | " << Format(theirs / ops * 1e6, 2)
            << " | n/a | " << Format(sample.MaxRssKib / 1024.0, 1) << " | n/a | "
            << Format(sample.Instructions != 0 ? sample.Instructions / 1e6 : NAN, 1) << " | "
            << flag << " |\n";
      }
    }
    out << GrowthTable();
    out << "\n"
        << (failures_ == 0 ? "All runs agree." : "FAILURES: " + std::to_string(failures_)) << "\n";
    return out.str();
  }

  static std::string SqliteVersion() { return sqlite3_libversion(); }

  TOptions options_;
  std::string self_;
  fs::path directory_;
  std::vector<std::string> sides_;
  std::vector<std::string> notes_;
  std::map<TSampleKey, TSample> samples_;
  int failures_ = 0;
};

}  // namespace

}  // namespace tabula::bench

int main(int argc, char** argv) {
  using namespace tabula::bench;
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return ChildMain(argc, argv);
  try {
    TBench bench(ParseOptions(argc, argv));
    return bench.Run();
  } catch (const std::exception& error) {
    std::cerr << "tabula-bench: " << error.what() << "\n";
    return 2;
  }
}
