// daq-bench: whole runs through the plug-in's hooks, in process, timed side
// by side with the literal writer (bench/baseline.h) and with the bare write
// of the same bytes.  Every table the plug-in writes must match the literal
// writer's byte for byte; a mismatch fails the run.  Tables of HDF5 mode also
// go through daq-table2h5, timed the same way.
//
//   daq-bench [--summary] [--quick] [--reps=N] [--only=W1,W3] [--long-events=N]
//             [--long-h5=N] [--return-memory] [--wall] [--profile] [--profile-h5=CODEC]
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "baseline.h"
#include "daq_user.h"
#include "h5_bench.h"
#include "plugin_runs.h"
#include "run_state.h"
#include "simulate/simulator.h"
#include "workloads.h"

namespace daq::bench {

namespace {

struct Settings {
  bool summary = false;
  bool quick = false;
  int reps = 0;  // 0: per workload
  std::vector<std::string> only;
  int64_t long_events = -1;    // -1: default
  int64_t long_h5 = -1;        // events of the long W3 run file; -1: default
  bool return_memory = false;  // freed memory back to the kernel, as glibc does by default
  bool profile = false;        // the plug-in's runs alone, for a profiler
  std::string profile_h5;      // with --profile: `-nodump -h5` runs with this codec instead
};

struct WorkloadPlan {
  const char* id;
  std::function<Workload(int64_t)> build;
  int64_t rows, quick_rows;
  int reps;
};

struct Measure {
  std::string id, title, mode;
  int64_t rows = 0;
  uint64_t bytes = 0;
  double plugin_s = 0, baseline_s = 0;  // medians
  double floor_s = 0;                   // the least
  double speedup = 0, floor = 0;        // literal / plug-in, plug-in / floor
  double host_s = 0;                    // the host calls alone (median)
  double own_speedup = 0;               // literal / plug-in, the host's share taken out
  double convert_s = 0;                 // daq-table2h5 on the table (HDF5 mode), median
  bool identical = false;
  std::string error;
};

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// FNV-1a, 64 bits, over the file's bytes.
std::optional<uint64_t> file_hash(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::nullopt;
  uint64_t h = 0xcbf29ce484222325ull;
  std::vector<unsigned char> block(1 << 20);
  size_t n;
  while ((n = std::fread(block.data(), 1, block.size(), f)) > 0) {
    for (size_t k = 0; k < n; ++k) h = (h ^ block[k]) * 0x100000001b3ull;
  }
  std::fclose(f);
  return h;
}

// The least any writer of this table pays: the finished bytes, in 1 MiB
// blocks.
bool write_floor(const std::string& bytes, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "w+");
  if (f == nullptr) return false;
  constexpr size_t kBlock = 1 << 20;
  for (size_t at = 0; at < bytes.size(); at += kBlock) {
    std::fwrite(bytes.data() + at, 1, std::min(kBlock, bytes.size() - at), f);
  }
  bool ok = std::ferror(f) == 0;
  return std::fclose(f) == 0 && ok;
}

// daq-table2h5 on `table`, as a process of its own: its CPU time (both of its
// threads) or, with --wall, the time on the wall; negative when it failed.
double convert_seconds(const std::string& table, const std::string& out, std::string* error) {
  std::fflush(stdout);
  double start =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl(TABLE2H5_PATH, "daq-table2h5", "-o", out.c_str(), table.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
    *error = "cannot run " TABLE2H5_PATH;
    return -1;
  }
  double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count() -
      start;
  std::filesystem::remove(out);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = "daq-table2h5 failed on the table (status " + std::to_string(status) + ")";
    return -1;
  }
  auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return wall_clock ? wall : seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

Measure measure(Workload& w, bool hdf5, int reps, const std::string& dir) {
  Measure m;
  m.id = w.id;
  m.title = w.title;
  m.mode = hdf5 ? "hdf5" : "tab";
  m.rows = w.rows;
  LiteralOptions literal;
  std::vector<std::string> words = w.words;
  if (hdf5) words.push_back("-hdf5");
  if (!parse_literal_options(words, &literal, &m.error)) return m;
  std::string plugin_path = dir + "/plugin.txt";
  std::vector<double> plugin_s, baseline_s, floor_s;
  {
    // Untimed: the first run of a process grows the row buffer that later
    // runs reuse, a once-per-process cost.  Its table is what every later
    // run must reproduce, and what the floor writes.
    QuietStdout quiet;
    if (!run_plugin(w, hdf5, plugin_path, &m.error)) return m;
  }
  std::string table = read_whole_file(plugin_path);
  m.bytes = table.size();
  std::optional<uint64_t> expected = file_hash(plugin_path);
  std::filesystem::remove(plugin_path);

  // Each writer takes each place in the order in turn, so that what one
  // leaves behind in the page cache does not always fall on the same one.
  enum Writer { kPlugin, kLiteral, kFloor };
  static constexpr Writer kOrders[3][3] = {
      {kPlugin, kLiteral, kFloor}, {kLiteral, kFloor, kPlugin}, {kFloor, kPlugin, kLiteral}};
  const std::string paths[3] = {dir + "/plugin.txt", dir + "/literal.txt", dir + "/floor.txt"};
  m.identical = expected.has_value();
  for (int r = 0; r < reps && m.identical; ++r) {
    double seconds[3] = {0, 0, 0};
    for (Writer writer : kOrders[r % 3]) {
      const std::string& path = paths[writer];
      bool ok;
      {
        QuietStdout quiet;
        double start = now_seconds();
        if (writer == kPlugin) {
          ok = run_plugin(w, hdf5, path, &m.error);
        } else if (writer == kLiteral) {
          ok = write_literal_table(*w.run, w.rows, literal, path, &m.error);
        } else {
          ok = write_floor(table, path);
          if (!ok) m.error = "cannot write " + path;
        }
        seconds[writer] = seconds_since(start);
      }
      if (ok && writer != kFloor && file_hash(path) != expected) {
        m.error = writer == kPlugin ? "the plug-in's table changed from one run to the next"
                                    : "the plug-in's table differs from the literal writer's";
        ok = false;
      }
      std::filesystem::remove(path);
      if (!ok) {
        m.identical = false;
        break;
      }
    }
    plugin_s.push_back(seconds[kPlugin]);
    baseline_s.push_back(seconds[kLiteral]);
    floor_s.push_back(seconds[kFloor]);
  }
  if (hdf5 && m.identical) {
    // The converter reads what the plug-in wrote, in the same run.
    std::string table_path = dir + "/table.txt";
    std::vector<double> convert_s;
    if (!write_floor(table, table_path)) m.error = "cannot write " + table_path;
    for (int r = 0; r < reps && m.error.empty(); ++r) {
      double t = convert_seconds(table_path, dir + "/table.h5", &m.error);
      if (t >= 0) convert_s.push_back(t);
    }
    std::filesystem::remove(table_path);
    if (!m.error.empty()) m.identical = false;
    m.convert_s = median(convert_s);
  }
  m.plugin_s = median(plugin_s);
  m.baseline_s = median(baseline_s);
  // The floor is the least the bare write took.  On this virtual machine
  // page-cache writes slow down for a while after a run of some seconds
  // (the literal writer's), so the bare write's slower turns are not a floor.
  m.floor_s = floor_s.empty() ? 0 : *std::min_element(floor_s.begin(), floor_s.end());
  m.speedup = ratio(m.baseline_s, m.plugin_s);
  m.floor = ratio(m.plugin_s, m.floor_s);
  return m;
}

// Peak resident set size of this process, in kB, from /proc/self/status.
long peak_rss_kb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct MemoryReport {
  bool ok = false;
  int channels = 0;
  int64_t events = 0;
  double seconds = 0;
  long rss_growth_kb = 0;
  uint64_t list_capacity = 0;  // entries over all channels
  uint64_t list_size = 0;
};

// W3 in the 2024 format for `events` rows, in a child process so that the
// peak is the run's own; the table goes to /dev/null (its bytes do not stay
// in memory, and a long run's table would fill the scratch disk).
MemoryReport long_run_memory(int64_t events) {
  MemoryReport report;
  int fds[2];
  if (pipe(fds) != 0) return report;
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    MemoryReport r;
    Workload w = scalars_workload(events);
    r.channels = static_cast<int>(w.run->channels.size());
    r.events = events;
    {
      // Restart the peak at the current size, where the kernel allows it.
      std::ofstream clear("/proc/self/clear_refs");
      clear << "5" << std::flush;
    }
    long before = peak_rss_kb();
    std::string error;
    QuietStdout quiet;
    double start = now_seconds();
    r.ok = run_plugin(w, false, "/dev/null", &error);
    r.seconds = seconds_since(start);
    r.rss_growth_kb = peak_rss_kb() - before;
    for (int i = 0; i < r.channels && i < kEventIdChannels; ++i) {
      r.list_capacity += eventids64[i].capacity();
      r.list_size += eventids64[i].size();
    }
    ssize_t n = write(fds[1], &r, sizeof r);
    _exit(n == static_cast<ssize_t>(sizeof r) ? 0 : 1);
  }
  close(fds[1]);
  if (pid > 0) {
    ssize_t n = read(fds[0], &report, sizeof report);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n != static_cast<ssize_t>(sizeof report) || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      report.ok = false;
    }
  }
  close(fds[0]);
  return report;
}

bool parse_settings(int argc, char** argv, Settings* s) {
  for (int k = 1; k < argc; ++k) {
    std::string a = argv[k];
    auto value = [&](const char* name) -> const char* {
      size_t n = std::strlen(name);
      return a.compare(0, n, name) == 0 ? a.c_str() + n : nullptr;
    };
    if (a == "--summary") {
      s->summary = true;
    } else if (a == "--quick") {
      s->quick = true;
    } else if (a == "--return-memory") {
      s->return_memory = true;
    } else if (a == "--wall") {
      wall_clock = true;
    } else if (a == "--profile") {
      s->profile = true;
    } else if (const char* v = value("--profile-h5=")) {
      s->profile = true;
      s->profile_h5 = v;
    } else if (const char* v = value("--reps=")) {
      s->reps = std::atoi(v);
    } else if (const char* v = value("--long-events=")) {
      s->long_events = std::atoll(v);
    } else if (const char* v = value("--long-h5=")) {
      s->long_h5 = std::atoll(v);
    } else if (const char* v = value("--only=")) {
      std::string list = v;
      for (size_t at = 0; at <= list.size();) {
        size_t comma = std::min(list.find(',', at), list.size());
        s->only.push_back(list.substr(at, comma - at));
        at = comma + 1;
      }
    } else {
      std::fprintf(stderr,
                   "usage: daq-bench [--summary] [--quick] [--reps=N] [--only=W1,W2,W3,W4] "
                   "[--long-events=N (0: none)] [--long-h5=N (0: none)] [--return-memory] [--wall] "
                   "[--profile] "
                   "[--profile-h5=CODEC]\n"
                   "  --return-memory: freed memory goes back to the kernel (each run faults its\n"
                   "    buffers in anew)\n"
                   "  --wall: time by the clock on the wall instead of CPU time\n"
                   "  --profile: only the plug-in's runs, nothing compared, for a profiler\n"
                   "  --profile-h5=CODEC: the same with the run file alone (-nodump -h5)\n");
      return false;
    }
  }
  return true;
}

std::string scratch_dir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/daq-bench-XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

// The speed each workload is expected to reach against the literal writer,
// and for W1 against the bare write.
void print_targets(const std::vector<Measure>& all, const std::vector<H5Result>& h5) {
  std::printf("\ntargets:\n");
  for (const Measure& m : all) {
    double speedup = m.speedup, floor = m.floor;
    double want = m.id == "W1" ? 8 : m.id == "W2" ? 4 : 3;
    std::printf("  %s %-4s speedup %5.1f >= %.0f %s", m.id.c_str(), m.mode.c_str(), speedup, want,
                speedup >= want ? "met" : "NOT MET");
    if (m.id == "W1") {
      std::printf(", floor %4.1f <= 2 %s", floor, floor <= 2 ? "met" : "NOT MET");
    }
    std::printf("\n");
  }
  for (const Measure& m : all) {
    if (m.id != "W3") continue;
    std::printf("  %s %-4s own speedup %5.1f >= 4 %s\n", m.id.c_str(), m.mode.c_str(),
                m.own_speedup, m.own_speedup >= 4 ? "met" : "NOT MET");
  }
  // The run file: W3 against the HDF5 library's own floor for as many
  // datasets, the rest against the text table.
  auto find = [&](const std::string& id, const char* codec) -> const H5Result* {
    for (const H5Result& r : h5) {
      if (r.id == id && r.codec == codec) return &r;
    }
    return nullptr;
  };
  for (const H5Result& r : h5) {
    const H5Result* none = find(r.id, "none");
    double floor = none != nullptr ? ratio(none->library_floor_s, none->text_s) : 0;
    bool w3 = r.id == "W3";
    if (r.codec == "none" || r.codec == "gzip") {
      bool gzip = r.codec == "gzip";
      double limit = w3 ? (gzip ? 3.0 : 2.5) * floor : gzip ? 3.0 : 1.0;
      bool met = r.time_vs_text <= limit && (!gzip || r.size_vs_text < 1.0);
      std::printf("  H5 %-5s %s time_vs_text %5.2f <= %.2f%s%s %s\n", r.codec.c_str(), r.id.c_str(),
                  r.time_vs_text, limit,
                  w3 ? (gzip ? " (3 x the library's floor)" : " (2.5 x the library's floor)") : "",
                  gzip ? ", smaller file" : "", met ? "met" : "NOT MET");
    } else if (r.codec == "lz4") {
      if (!r.available) {
        std::printf("  H5 lz4   %s codec not available\n", r.id.c_str());
        continue;
      }
      if (!w3) {
        std::printf("  H5 lz4   %s time_vs_text %5.2f <= 2.0 %s\n", r.id.c_str(), r.time_vs_text,
                    r.time_vs_text <= 2.0 ? "met" : "NOT MET");
      }
      const H5Result* gzip = find(r.id, "gzip");
      if ((r.id == "W1" || r.id == "W2") && gzip != nullptr) {
        double speed = ratio(ratio(r.read_bytes, r.read_s), ratio(gzip->read_bytes, gzip->read_s));
        std::printf("  H5READ lz4 %s %5.2f x gzip's read speed >= 2 %s\n", r.id.c_str(), speed,
                    speed >= 2 ? "met" : "NOT MET");
      }
    } else {
      std::printf("  H5 %-5s %s time_vs_text %5.2f (aim <= 1.2)%s\n", r.codec.c_str(), r.id.c_str(),
                  r.time_vs_text, r.available ? "" : ", codec not available");
    }
  }
}

bool selected(const Settings& s, const char* id) {
  return s.only.empty() || std::find(s.only.begin(), s.only.end(), id) != s.only.end();
}

int profile_plugin(const Settings& s, std::vector<WorkloadPlan>& plans, const std::string& dir) {
  bool ok = true;
  for (const WorkloadPlan& plan : plans) {
    if (!selected(s, plan.id)) continue;
    int64_t rows = s.quick ? plan.quick_rows : plan.rows;
    // --long-h5 sets the rows of W3's profile: the per-event cost, not the datasets' making.
    if (std::string(plan.id) == "W3" && s.long_h5 > 0) rows = s.long_h5;
    Workload w = plan.build(rows);
    int reps = s.reps > 0 ? s.reps : s.quick ? 1 : plan.reps;
    if (!s.profile_h5.empty()) {
      const std::vector<std::string> words = {"-nodump", "-h5", dir + "/run.h5", "-h5z",
                                              s.profile_h5};
      // Each run's time beside a table run of the same rows and a run that
      // only walks the channels (-nodump), on standard error: enough to see
      // a change, and what each output adds to the walk, without the whole
      // summary.
      for (int r = 0; r < reps; ++r) {
        std::string error;
        double times[3] = {0, 0, 0};
        for (int turn = 0; turn < 3; ++turn) {
          int which = (turn + r) % 3;  // 0 table, 1 run file, 2 walk
          QuietStdout quiet;
          double start = now_seconds();
          ok = (which == 1   ? run_plugin(w, false, "", &error, words)
                : which == 0 ? run_plugin(w, false, dir + "/plugin.txt", &error)
                             : run_plugin(w, false, "", &error, {"-nodump"})) &&
               ok;
          times[which] = now_seconds() - start;
        }
        std::fprintf(stderr, "%s run file %.3f s, table %.3f s, walk %.3f s, ratio %.2f\n", plan.id,
                     times[1], times[0], times[2], times[0] > 0 ? times[1] / times[0] : 0.0);
      }
      continue;
    }
    for (bool hdf5 : {false, true}) {
      for (int r = 0; r < reps; ++r) {
        std::string error;
        QuietStdout quiet;
        ok = run_plugin(w, hdf5, dir + "/plugin.txt", &error) && ok;
      }
    }
  }
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}

// The reference host reading a recording file of the bench's: checked whole
// (vexa_open_run) and every event decoded as a walk does, medians of `reps`.
struct LoadMeasure {
  std::string id, title;
  double mb = 0;
  double load_s = 0, walk_s = 0;
  double plugin_mb_s = 0;  // the plug-in's table MB/s on the same run, when measured
  std::string error;
};

LoadMeasure measure_load(const std::string& id, const std::string& title, const std::string& text,
                         const std::string& dir, int reps) {
  LoadMeasure m;
  m.id = id;
  m.title = title;
  m.mb = static_cast<double>(text.size()) / 1e6;
  const std::string path = dir + "/load.run.json";
  if (!write_floor(text, path)) {
    m.error = "cannot write " + path;
    return m;
  }
  std::vector<double> load, walk;
  for (int r = 0; r < reps; ++r) {
    double start = now_seconds();
    std::unique_ptr<vexa_run> run = vexa_open_run(path, &m.error);
    double loaded = now_seconds();
    if (run == nullptr) break;
    vexa_run_cursor cursor(run.get());
    for (size_t k = 0; k < run->event_count(); ++k) {
      if (cursor.at(k) == nullptr) m.error = cursor.error();
    }
    walk.push_back(now_seconds() - loaded);
    load.push_back(loaded - start);
  }
  std::filesystem::remove(path);
  m.load_s = median(load);
  m.walk_s = median(walk);
  return m;
}

void print_h5(const H5Result& r, const std::string& title) {
  std::printf(
      "%-2s %-8s -h5z %-5s  h5 %9.1f MB %8.3f s | text %9.1f MB %8.3f s | time %5.2f "
      "size %5.2f  exact %s%s\n",
      r.id.c_str(), title.c_str(), r.codec.c_str(), r.h5_bytes / 1e6, r.h5_s, r.text_bytes / 1e6,
      r.text_s, r.time_vs_text, r.size_vs_text, r.exact ? "yes" : "NO",
      r.available ? "" : " (codec not available: gzip)");
  std::printf("   page faults a run: h5 %.0f, text %.0f", r.h5_faults, r.text_faults);
  if (r.read_bytes > 0) {
    std::printf("; every dataset read back: %.1f MB at %.1f MB/s", r.read_bytes / 1e6,
                ratio(r.read_bytes / 1e6, r.read_s));
  }
  std::printf("\n");
}

int run_bench(const Settings& s) {
  std::vector<WorkloadPlan> plans = {
      {"W1", camera_workload, 20, 3, 3},
      {"W2", spectra_workload, 200, 20, 3},
      {"W3", scalars_workload, 500, 50, 5},
      {"W4", mixed_workload, 1000, 100, 5},
  };
  std::string dir = scratch_dir();
  if (dir.empty()) {
    std::perror("daq-bench: mkdtemp");
    return 2;
  }
  char when[64];
  std::time_t now = std::time(nullptr);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::localtime(&now));
  std::printf("daq-bench %s, %ld cores, %s time, scratch %s%s\n", when,
              sysconf(_SC_NPROCESSORS_ONLN), wall_clock ? "wall-clock" : "CPU", dir.c_str(),
              s.quick ? ", quick" : "");

  if (s.profile) return profile_plugin(s, plans, dir);
  int64_t long_events = s.long_events >= 0 ? s.long_events : s.quick ? 10000 : 100000;
  MemoryReport mem;
  if (long_events > 0) {
    // First, before the other runs leave their event-ID lists behind.
    mem = long_run_memory(long_events);
    if (!mem.ok) {
      std::printf("long run: FAILED\n");
    } else {
      double cells = static_cast<double>(mem.channels) * static_cast<double>(mem.events);
      std::printf(
          "long run: W3 scalars, %lld events of %d channels, 2024 format, tab mode, table to "
          "/dev/null: %.1f s (%.0f events/s)\n"
          "  peak RSS growth %.1f MiB = %.2f bytes per channel per event\n"
          "  event-ID lists: %.1f MiB capacity = %.2f bytes per channel per event (capacity %.0f "
          "entries "
          "per channel, %.0f used)\n",
          static_cast<long long>(mem.events), mem.channels, mem.seconds,
          ratio(static_cast<double>(mem.events), mem.seconds), mem.rss_growth_kb / 1024.0,
          ratio(mem.rss_growth_kb * 1024.0, cells), mem.list_capacity * 8 / 1048576.0,
          ratio(mem.list_capacity * 8.0, cells), ratio(mem.list_capacity, mem.channels),
          ratio(mem.list_size, mem.channels));
    }
  }

  // Freed memory stays in the process for the next run to reuse: the table's
  // writer keeps its row buffer from run to run, and a run file's writer,
  // whose buffers are freed at the end of each run, would otherwise have
  // every page of them faulted in afresh by each run, a cost a process pays
  // once (and several times over on a freshly started virtual machine).
  // After the long run, whose peak it would change.
  if (!s.return_memory) {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, -1);
  }

  std::vector<Measure> all;
  std::vector<H5Result> h5_all;
  std::printf("\n%-11s %-4s %6s %9s | %11s %9s | %11s | %9s | %7s %5s  %s\n", "workload", "mode",
              "rows", "table MB", "plug-in ev/s", "MB/s", "literal ev/s", "floor MB/s", "speedup",
              "floor", "identical");
  bool failed = long_events > 0 && !mem.ok;
  for (const WorkloadPlan& plan : plans) {
    if (!selected(s, plan.id)) continue;
    Workload w = plan.build(s.quick ? plan.quick_rows : plan.rows);
    int reps = s.reps > 0 ? s.reps : s.quick ? 1 : plan.reps;
    double host_s = host_only_seconds(w, reps);
    for (bool hdf5 : {false, true}) {
      Measure m = measure(w, hdf5, reps, dir);
      m.host_s = host_s;
      m.own_speedup = ratio(m.baseline_s - host_s, m.plugin_s - host_s);
      double mb = m.bytes / 1e6;
      std::printf("%-2s %-8s %-4s %6lld %9.1f | %11.1f %9.1f | %11.1f | %9.1f | %7.1f %5.1f  %s\n",
                  m.id.c_str(), m.title.c_str(), m.mode.c_str(), static_cast<long long>(m.rows), mb,
                  ratio(m.rows, m.plugin_s), ratio(mb, m.plugin_s), ratio(m.rows, m.baseline_s),
                  ratio(mb, m.floor_s), m.speedup, m.floor, m.identical ? "yes" : "NO");
      if (m.convert_s > 0) {
        std::printf("   daq-table2h5 on this table: %.1f MB/s of table text\n",
                    ratio(mb, m.convert_s));
      }
      if (!m.error.empty()) std::printf("   error: %s\n", m.error.c_str());
      if (!m.identical) failed = true;
      std::fflush(stdout);
      all.push_back(m);
    }
    for (H5Result& r : measure_h5(w, reps, dir)) {
      print_h5(r, w.title);
      if (r.datasets > 0) {
        std::printf(
            "   %llu groups, %llu datasets; the HDF5 library alone makes as many in %.3f s\n",
            static_cast<unsigned long long>(r.groups), static_cast<unsigned long long>(r.datasets),
            r.library_floor_s);
        std::printf(
            "   this file's objects made again by HDF5 alone %.3f s, with the host's "
            "walk %.3f s: the run file takes %.2f x that floor\n",
            r.layout_copy_s, r.layout_floor_s, r.vs_layout_floor);
      }
      if (!r.error.empty()) std::printf("   error: %s\n", r.error.c_str());
      if (!r.exact) failed = true;
      std::fflush(stdout);
      h5_all.push_back(r);
    }
  }
  // Loading recordings: the mixed run's own text, and a simulated run with
  // cameras (pixels as hex text, most of a real recording's bytes).
  std::vector<LoadMeasure> loads;
  if (selected(s, "W4")) {
    const int reps = s.reps > 0 ? s.reps : s.quick ? 1 : 3;
    sim::SimOptions mixed;
    mixed.events = s.quick ? 100 : 1000;
    sim::SimOptions cameras;
    cameras.events = s.quick ? 60 : 600;
    cameras.image_width = 128;
    cameras.image_height = 96;
    loads.push_back(measure_load("W4", "mixed", sim::simulate_run(mixed), dir, reps));
    loads.push_back(measure_load("SC", "cameras", sim::simulate_run(cameras), dir, reps));
    for (const Measure& m : all) {
      if (m.id == "W4" && m.mode == "tab") loads[0].plugin_mb_s = ratio(m.bytes / 1e6, m.plugin_s);
    }
    std::printf("\n%-11s %9s | %11s | %11s | %s\n", "recording", "text MB", "load MB/s",
                "walk MB/s", "plug-in table MB/s");
    for (const LoadMeasure& l : loads) {
      std::printf("%-2s %-8s %9.1f | %11.1f | %11.1f | ", l.id.c_str(), l.title.c_str(), l.mb,
                  ratio(l.mb, l.load_s), ratio(l.mb, l.walk_s));
      std::printf(l.plugin_mb_s > 0 ? "%.1f\n" : "-\n", l.plugin_mb_s);
      if (!l.error.empty()) {
        std::printf("   error: %s\n", l.error.c_str());
        failed = true;
      }
    }
  }
  // A long W3: dataset creation paid once over many more events.
  int64_t long_h5 = s.long_h5 >= 0 ? s.long_h5 : s.quick ? 2000 : 5000;
  std::vector<H5Result> h5_long;
  if (long_h5 > 0 && selected(s, "W3")) {
    Workload w = scalars_workload(long_h5);
    for (H5Result& r : measure_h5(w, 1, dir, true)) {
      print_h5(r, "long");
      if (!r.error.empty()) std::printf("   error: %s\n", r.error.c_str());
      if (!r.exact) failed = true;
      std::fflush(stdout);
      h5_long.push_back(r);
    }
  }
  std::filesystem::remove_all(dir);
  print_targets(all, h5_all);
  if (s.summary) {
    std::printf("\n");
    if (mem.ok) {
      std::printf("MEM W3 events=%lld rss_growth_mib=%.1f idlists_bytes_per_channel_event=%.2f\n",
                  static_cast<long long>(mem.events), mem.rss_growth_kb / 1024.0,
                  ratio(mem.list_capacity * 8.0,
                        static_cast<double>(mem.channels) * static_cast<double>(mem.events)));
    }
    for (const Measure& m : all) {
      std::printf("%s %s speedup=%.1f floor=%.1f identical=%s\n", m.id.c_str(), m.mode.c_str(),
                  m.speedup, m.floor, m.identical ? "yes" : "no");
    }
    for (const Measure& m : all) {
      if (m.mode != "hdf5" || m.convert_s <= 0) continue;
      double mb = m.bytes / 1e6;
      std::printf("T2H5 %s table_mb=%.1f plugin_mb_s=%.1f convert_mb_s=%.1f\n", m.id.c_str(), mb,
                  ratio(mb, m.plugin_s), ratio(mb, m.convert_s));
    }
    for (const Measure& m : all) {
      std::printf("OWN %s %s speedup=%.1f\n", m.id.c_str(), m.mode.c_str(), m.own_speedup);
    }
    for (const H5Result& r : h5_all) {
      std::printf("H5 %s %s time_vs_text=%.2f size_vs_text=%.2f exact=%s%s", r.codec.c_str(),
                  r.id.c_str(), r.time_vs_text, r.size_vs_text, r.exact ? "yes" : "no",
                  r.available ? "" : " codec=gzip");
      if (r.layout_floor_s > 0) std::printf(" vs_layout_floor=%.2f", r.vs_layout_floor);
      std::printf("\n");
    }
    for (const LoadMeasure& l : loads) {
      std::printf("LOAD %s recording_mb=%.1f load_mb_s=%.1f walk_mb_s=%.1f", l.id.c_str(), l.mb,
                  ratio(l.mb, l.load_s), ratio(l.mb, l.walk_s));
      if (l.plugin_mb_s > 0) std::printf(" plugin_mb_s=%.1f", l.plugin_mb_s);
      std::printf("\n");
    }
    for (const H5Result& r : h5_all) {
      if (r.read_bytes == 0) continue;
      std::printf("H5READ %s %s mb_s=%.1f%s\n", r.codec.c_str(), r.id.c_str(),
                  ratio(r.read_bytes / 1e6, r.read_s), r.available ? "" : " codec=gzip");
    }
    for (const H5Result& r : h5_long) {
      // Per event beyond the short W3's rows: what a run costs once its
      // datasets exist.
      const H5Result* short_run = nullptr;
      for (const H5Result& q : h5_all) {
        if (q.id == "W3" && q.codec == r.codec) short_run = &q;
      }
      double extra_events = static_cast<double>(long_h5 - (s.quick ? 50 : 500));
      double h5_us = short_run ? (r.h5_s - short_run->h5_s) / extra_events * 1e6 : 0;
      double text_us = short_run ? (r.text_s - short_run->text_s) / extra_events * 1e6 : 0;
      std::printf(
          "H5 %s W3 events=%lld time_vs_text=%.2f size_vs_text=%.2f exact=%s "
          "event_us=%.0f text_event_us=%.0f\n",
          r.codec.c_str(), static_cast<long long>(long_h5), r.time_vs_text, r.size_vs_text,
          r.exact ? "yes" : "no", h5_us, text_us);
    }
    for (const H5Result& r : h5_all) {
      if (r.datasets == 0) continue;
      std::printf("H5LIB %s datasets=%llu library_floor_vs_text=%.2f\n", r.id.c_str(),
                  static_cast<unsigned long long>(r.datasets), ratio(r.library_floor_s, r.text_s));
    }
  }
  if (failed) std::fprintf(stderr, "daq-bench: FAILED (see above)\n");
  return failed ? 1 : 0;
}

}  // namespace

}  // namespace daq::bench

int main(int argc, char** argv) {
  daq::bench::Settings settings;
  if (!daq::bench::parse_settings(argc, argv, &settings)) return 2;
  return daq::bench::run_bench(settings);
}
