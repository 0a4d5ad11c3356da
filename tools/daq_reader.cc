// daq-reader: walks recordings event by event and drives the user plug-in
// through its hooks, as the DAQ reader program does.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/command_line.h"
#include "cli/progress_line.h"
#include "vexa_daq_data.h"
#include "vexa_daq_reader_2010.h"
#include "vexa_daq_reader_2024.h"
#include "vexa_run.h"

namespace {

constexpr const char* kHelp =
    "usage: daq-reader [OPTION...] RECORDING... [-- PLUGIN-WORD...]\n"
    "Walks the recordings (*.run.json, one run of one generation; - is standard input)\n"
    "event by event and drives the user plug-in through its hooks.\n"
    "\n"
    "  --plugin PATH     the plug-in to load (default: libDAQUser.so beside daq-reader,\n"
    "                    else ../lib/daquser/libDAQUser.so from it, as installed)\n"
    "  --channels LIST   comma-separated selectors (NAME or NAME:SUB), in that order\n"
    "                    (default: every channel of the first recording)\n"
    "  --nbunch N        spectrum values per member written to the table (0 means 100)\n"
    "  --outmode N       non-zero adds the status columns to the table\n"
    "  --quiet           no progress line on standard error\n"
    "  --progress        a progress line even when standard error is no terminal\n"
    "  --help            this text and the plug-in's option words, on standard output\n"
    "  --version         the version\n"
    "  --                the words after it go to the plug-in\n"
    "Options take their value as --opt=value or --opt value.\n"
    "\n"
    "Standard output carries what the plug-in prints; progress, the summary and errors go\n"
    "to standard error.\n"
    "\n"
    "Exit status: 0 success; 1 the start hook failed; 2 usage error, a refused recording\n"
    "or a plug-in that cannot be loaded; 3 some events failed, an output failed or standard\n"
    "output could not be written; 130 or 143 interrupted (SIGINT, SIGTERM).\n"
    "\n"
    "The plug-in's option words:\n";

const daq::cli::Program kProgram("daq-reader", kHelp);

struct Options {
  std::string plugin;
  std::vector<std::string> channels;
  bool select_channels = false;
  int nbunch = 0;
  int outmode = 0;
  bool quiet = false;
  bool progress = false;  // also when standard error is no terminal
  bool help = false;
  std::vector<std::string> recordings;
  std::vector<char*> plugin_words;
};

[[noreturn]] void usage_error(const std::string& reason) { kProgram.usage_error(reason); }

int parse_int(const std::string& option, const std::string& word) {
  try {
    return static_cast<int>(daq::cli::parse_integer(option, word, INT_MIN, INT_MAX));
  } catch (const daq::cli::UsageError& e) {
    usage_error(e.what());
  }
}

std::vector<std::string> split_list(const std::string& list) {
  std::vector<std::string> items;
  size_t start = 0;
  while (true) {
    size_t comma = list.find(',', start);
    items.push_back(list.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return items;
}

// The directory of this program.
std::string program_dir() {
  std::vector<char> path(PATH_MAX + 1, '\0');
  ssize_t n = readlink("/proc/self/exe", path.data(), PATH_MAX);
  if (n <= 0) return ".";
  std::string exe(path.data(), n);
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}

// The plug-in beside the program (the build tree), else in the plug-in
// folder of an installed tree (PREFIX/bin, PREFIX/lib/daquser).
std::string default_plugin() {
  const std::string dir = program_dir();
  const std::string beside = dir + "/libDAQUser.so";
  const std::string installed = dir + "/../lib/daquser/libDAQUser.so";
  return access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0 ? installed
                                                                                   : beside;
}

// The plug-in's option words (its --help): those that take the next word,
// and those whose next word is their value when it holds no '-'.
constexpr const char* kPluginFlags[] = {"-zerocheck", "-imbin",  "-evstat", "-nodump",
                                        "-dumpall",   "-nostat", "-nonvn",  "-hdf5"};
constexpr const char* kPluginValued[] = {"-out", "-fti", "-h5", "-h5z"};
constexpr const char* kPluginOptional[] = {"-xdump", "-imdump"};

template <size_t N>
bool among(const char* const (&words)[N], const std::string& word) {
  return std::find(std::begin(words), std::end(words), word) != std::end(words);
}

bool plugin_word(const std::string& word) {
  return among(kPluginFlags, word) || among(kPluginValued, word) || among(kPluginOptional, word);
}

// A word as the shell takes it back.
std::string shell_word(const std::string& word) {
  if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789-_./,:=+@%") == std::string::npos) {
    return word;
  }
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The command line with the plug-in's words given before "--" moved after
// it, each with its value, the rest in its order.
std::string corrected_command(int argc, char** argv,
                              const std::vector<daq::cli::OptionSpec>& specs) {
  std::vector<std::string> ours, theirs, after;
  bool ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (ended) {
      after.push_back(word);
    } else if (word == "--") {
      ended = true;
    } else if (plugin_word(word)) {
      theirs.push_back(word);
      const bool next = i + 1 < argc && std::string(argv[i + 1]) != "--";
      // An optional value is one without '-', and no recording (*.json).
      if (next && (among(kPluginValued, word) || (std::strchr(argv[i + 1], '-') == nullptr &&
                                                  !std::string(argv[i + 1]).ends_with(".json")))) {
        theirs.push_back(argv[++i]);
      }
    } else {
      ours.push_back(word);
      const auto spec = std::find_if(specs.begin(), specs.end(),
                                     [&](const daq::cli::OptionSpec& s) { return s.name == word; });
      if (spec != specs.end() && spec->takes_value && i + 1 < argc) ours.push_back(argv[++i]);
    }
  }
  std::string line = kProgram.name();
  for (const std::string& w : ours) line += " " + shell_word(w);
  line += " --";
  for (const std::string& w : theirs) line += " " + shell_word(w);
  for (const std::string& w : after) line += " " + shell_word(w);
  return line;
}

Options parse_command_line(int argc, char** argv) {
  using daq::cli::OptionSpec;
  const std::vector<OptionSpec> specs = {
      {"--plugin", true},  {"--channels", true}, {"--nbunch", true},
      {"--outmode", true}, {"--quiet", false},   {"--progress", false},
  };
  daq::cli::ParsedLine line;
  try {
    line = daq::cli::parse(argc, argv, specs, daq::cli::EndOfOptions::kKeepApart);
  } catch (const daq::cli::UsageError& e) {
    // A plug-in word before "--": the line as it was meant.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
      if (plugin_word(argv[i]) && e.what() == "unknown option " + std::string(argv[i])) {
        // The suggestion ends the line, to be copied whole.
        std::fprintf(stderr,
                     "daq-reader: %s: the plug-in's words go after -- (see daq-reader --help); "
                     "did you mean: %s\n",
                     e.what(), corrected_command(argc, argv, specs).c_str());
        std::exit(2);
      }
    }
    usage_error(e.what());
  }
  if (line.version) {
    std::fputs(daq::cli::version_line(kProgram.name()).c_str(), stdout);
    std::exit(0);
  }
  Options o;
  for (const daq::cli::ParsedOption& opt : line.options) {
    if (opt.name == "--plugin") {
      o.plugin = opt.value;
    } else if (opt.name == "--channels") {
      o.channels = split_list(opt.value);
      o.select_channels = true;
    } else if (opt.name == "--nbunch") {
      o.nbunch = parse_int(opt.name, opt.value);
    } else if (opt.name == "--outmode") {
      o.outmode = parse_int(opt.name, opt.value);
    } else if (opt.name == "--quiet") {
      o.quiet = true;
    } else if (opt.name == "--progress") {
      o.progress = true;
    }
  }
  o.help = line.help;
  o.recordings = line.operands;
  if (std::count(o.recordings.begin(), o.recordings.end(), "-") > 1) {
    usage_error("standard input (-) given more than once");
  }
  for (int i = argc - static_cast<int>(line.after_end.size()); i < argc; ++i) {
    o.plugin_words.push_back(argv[i]);
  }
  if (o.plugin.empty()) o.plugin = default_plugin();
  return o;
}

struct Hooks {
  void (*help)() = nullptr;
  int (*init_2010)(int, char**, vexa_daq_reader_2010*) = nullptr;
  int (*init_2024)(int, char**, vexa_daq_reader_2024*) = nullptr;
  int (*loop)(vexa_daq_getdata*) = nullptr;
  int (*end_2010)(vexa_daq_reader_2010*) = nullptr;
  int (*end_2024)(vexa_daq_reader_2024*) = nullptr;
};

// Finds a hook by its C++ linkage name; a missing hook ends the program.
template <typename Fn>
void find_hook(void* handle, const Options& o, const char* symbol, const char* hook, Fn*& out) {
  out = reinterpret_cast<Fn*>(dlsym(handle, symbol));
  if (out == nullptr) {
    std::fprintf(stderr, "daq-reader: %s: the plug-in has no hook %s (%s)\n", o.plugin.c_str(),
                 hook, symbol);
    std::exit(2);
  }
}

Hooks load_plugin(const Options& o, int generation) {
  void* handle = dlopen(o.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "daq-reader: cannot load the plug-in: %s\n", dlerror());
    std::exit(2);
  }
  Hooks h;
  if (generation == 0) {
    find_hook(handle, o, "_Z14vexa_user_helpv", "vexa_user_help()", h.help);
  } else if (generation == 2010) {
    find_hook(handle, o, "_Z19vexa_user_init_2010iPPcP20vexa_daq_reader_2010",
              "vexa_user_init_2010(int, char**, vexa_daq_reader_2010*)", h.init_2010);
    find_hook(handle, o, "_Z18vexa_user_end_2010P20vexa_daq_reader_2010",
              "vexa_user_end_2010(vexa_daq_reader_2010*)", h.end_2010);
  } else {
    find_hook(handle, o, "_Z19vexa_user_init_2024iPPcP20vexa_daq_reader_2024",
              "vexa_user_init_2024(int, char**, vexa_daq_reader_2024*)", h.init_2024);
    find_hook(handle, o, "_Z18vexa_user_end_2024P20vexa_daq_reader_2024",
              "vexa_user_end_2024(vexa_daq_reader_2024*)", h.end_2024);
  }
  if (generation != 0) {
    find_hook(handle, o, "_Z14vexa_user_loopP16vexa_daq_getdata",
              "vexa_user_loop(vexa_daq_getdata*)", h.loop);
  }
  return h;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

using Progress = daq::cli::ProgressLine;

// Standard input passed on through a pipe of our own, its bytes counted on
// the progress line ("reading standard input 12.3 MB") as they are read.
class StdinCounter {
 public:
  // `at_end` hears the count when all is read.
  StdinCounter(Progress& progress, std::function<void(double)> at_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    read_end_ = fds[0];
    progress.start("reading standard input", 0, "MB", 1e6);
    pump_ = std::thread([&progress, at_end, out = fds[1]] {
      sigset_t all;
      sigfillset(&all);
      pthread_sigmask(SIG_BLOCK, &all, nullptr);  // a closed reader is EPIPE, no signal
      std::vector<char> buffer(size_t{1} << 16);
      double count = 0;
      ssize_t n;
      while ((n = read(STDIN_FILENO, buffer.data(), buffer.size())) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;  // the loader sees the text end early and refuses it
        for (ssize_t off = 0, w; off < n; off += w) {
          w = write(out, buffer.data() + off, static_cast<size_t>(n - off));
          if (w < 0 && errno == EINTR) w = 0;
          if (w < 0) {
            close(out);
            return;
          }
        }
        progress.update(count += static_cast<double>(n));
      }
      if (n == 0) at_end(count);
      close(out);
    });
  }
  // The loader has read to the end, or given up: the pump ends either way.
  ~StdinCounter() {
    if (read_end_ < 0) return;
    close(read_end_);
    pump_.join();
  }
  std::string path() const {
    return read_end_ < 0 ? "" : "/proc/self/fd/" + std::to_string(read_end_);
  }

 private:
  int read_end_ = -1;
  std::thread pump_;
};

// Reads the recordings, checked whole, into one run whose events are decoded
// while walked.  A refused recording ends the program with status 2.
std::unique_ptr<vexa_run> load_recordings(const Options& o, Progress& progress) {
  // The bytes to load; not known (0) when standard input is a pipe.
  double total = 0;
  bool known = true;
  for (const std::string& path : o.recordings) {
    struct stat st {};
    if (path == "-") {
      off_t at = lseek(STDIN_FILENO, 0, SEEK_CUR);
      known = known && fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode) && at >= 0;
      if (known) total += static_cast<double>(st.st_size - at);
    } else if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      total += static_cast<double>(st.st_size);
    }
  }
  if (!known) total = 0;
  progress.start("loading", total, "MB", 1e6);
  double before = 0;  // bytes of the recordings already loaded
  double origin = 0;  // of those, the bytes loaded before the step counting now began
  std::unique_ptr<vexa_run> run;
  for (const std::string& name : o.recordings) {
    // "-" is standard input, which the loader reads through its path.
    const bool from_stdin = name == "-";
    std::string path = from_stdin ? "/dev/stdin" : name;
    // Opened again by name, a regular file reads from its first byte: one the
    // caller has read into (past a header) is taken from where it stands.
    struct stat in {};
    if (from_stdin && fstat(STDIN_FILENO, &in) == 0 && S_ISREG(in.st_mode) &&
        lseek(STDIN_FILENO, 0, SEEK_CUR) > 0) {
      try {
        path = daq::cli::standard_input_as_file();
      } catch (const std::runtime_error& e) {
        progress.finish();
        std::fprintf(stderr, "daq-reader: %s\n", e.what());
        std::exit(2);
      }
    }
    // A pipe is read through one more, counting the bytes as they come:
    // until all are in, the loader tells nothing and its size is unknown.
    std::optional<StdinCounter> counter;
    if (from_stdin && progress.enabled() && path == "/dev/stdin" &&
        (fstat(STDIN_FILENO, &in) != 0 || !S_ISREG(in.st_mode))) {
      // Once all is read, the loading goes on over what is left, now known.
      const double rest = total - before;
      counter.emplace(progress, [&progress, rest](double count) {
        progress.start("loading", rest + count, "MB", 1e6);
      });
      origin = before;
      if (counter->path().empty()) {
        counter.reset();
      } else {
        path = counter->path();
      }
    }
    std::string error;
    uint64_t size = 0;
    std::unique_ptr<vexa_run> next = vexa_open_run(path, &error, [&](uint64_t done, uint64_t all) {
      size = all;
      progress.update(before - origin + static_cast<double>(done));
    });
    counter.reset();
    before += static_cast<double>(size);
    if (next != nullptr && run != nullptr &&
        !vexa_append_run(*run, std::move(*next), from_stdin ? "standard input" : name, &error)) {
      next = nullptr;
    } else if (next != nullptr && run == nullptr) {
      run = std::move(next);
      continue;
    }
    if (next == nullptr) {
      if (from_stdin && error.starts_with(path)) error.replace(0, path.size(), "standard input");
      progress.finish();
      std::fprintf(stderr, "daq-reader: %s\n", error.c_str());
      std::exit(2);
    }
  }
  progress.finish();
  return run;
}

// The first SIGINT or SIGTERM asks the run to end after the event in hand,
// with its end hook, so that every data file is whole; a second one ends
// the process at once.
volatile sig_atomic_t stop_signal = 0;

extern "C" void on_stop_signal(int signo) {
  if (stop_signal != 0) {
    std::signal(signo, SIG_DFL);
    std::raise(signo);
    return;
  }
  stop_signal = signo;
}

// Recordings are mapped, not copied: one cut short by another process while
// it is read (or a disk that fails under it) raises SIGBUS at the first
// page that is gone. One line says so instead of a crash.
extern "C" void on_bus_error(int) {
  static const char kLine[] =
      "daq-reader: a recording could not be read: it was cut short while being read, or its "
      "disk failed; the run ends\n";
  ssize_t written = write(STDERR_FILENO, kLine, sizeof kLine - 1);
  (void)written;
  _exit(2);
}

void install_bus_error_handler() {
  struct sigaction sa {};
  sa.sa_handler = on_bus_error;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, nullptr);
}

void install_signal_handlers() {
  // A closed pipe on standard output is a failed write, not the end of the
  // run: the data files still get written.
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sa.sa_flags = SA_RESTART;  // a write the signal interrupts goes on
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

// Flushes what the plug-in printed; a failure is reported once.  False once
// standard output has failed.
bool flush_stdout() {
  static bool failed = false;
  errno = 0;
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && !failed) {
    failed = true;
    std::fprintf(stderr, "daq-reader: cannot write standard output: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
  }
  return !failed;
}

// How long the program took, and its parts.
struct Times {
  Clock::time_point start = Clock::now();
  double loading = 0;
};

template <typename Reader, typename Init, typename End>
int drive(const Options& o, vexa_run& run, Init init, int (*loop)(vexa_daq_getdata*), End end,
          Progress& progress, const Times& times) {
  const Clock::time_point walk_start = Clock::now();
  Reader reader(&run);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(o.plugin.c_str()));
  argv.insert(argv.end(), o.plugin_words.begin(), o.plugin_words.end());
  int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  install_signal_handlers();
  int rc = init(argc, argv.data(), &reader);
  if (rc != 0) {
    flush_stdout();
    std::fprintf(stderr, "daq-reader: the start hook returned %d\n", rc);
    return 1;
  }
  vexa_daq_getdata data(&run);
  const size_t events = run.event_count();
  progress.start("walked", static_cast<double>(events), "events", 1);
  size_t failed = 0;
  size_t done = 0;
  bool unreadable = false;
  for (; done < events && stop_signal == 0; ++done) {
    // Every event was checked when loaded; one that cannot be decoded again
    // (memory ran out) ends the walk rather than pass for an empty one.
    if (!data.position(done)) {
      unreadable = true;
      break;
    }
    if (loop(&data) != 0) ++failed;
    // What a killed run printed is complete up to its last event.
    flush_stdout();
    progress.update(static_cast<double>(done + 1));
    if (data.out_of_memory()) break;
  }
  // The end hook's lines on standard error come after the progress line.
  progress.finish();
  int end_rc = end(&reader);
  bool printed = flush_stdout();
  if (unreadable) {
    std::fprintf(stderr, "daq-reader: event %zu could not be read again; the run ends there\n",
                 done);
    return 2;
  }
  if (data.out_of_memory()) {
    std::fprintf(stderr,
                 "daq-reader: event %zu: out of memory reading an image (its row shows no "
                 "image); the run ends there\n",
                 done);
    return 2;
  }
  // A signal after the last event (during the end hook) stopped nothing.
  if (stop_signal != 0 && done < events) {
    std::fprintf(stderr, "daq-reader: interrupted after %zu events\n", done);
    return 128 + stop_signal;
  }
  std::fprintf(
      stderr, "daq-reader: %zu events, %zu failed, %.3f s (loading %.3f s, events %.3f s)\n",
      events, failed, seconds_since(times.start), times.loading, seconds_since(walk_start));
  return failed != 0 || end_rc != 0 || !printed ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Times times;
  Options o = parse_command_line(argc, argv);
  if (o.help) {
    // The plug-in adds its own words; it prints on the same standard output.
    std::fputs(kProgram.help().c_str(), stdout);
    std::fflush(stdout);
    Hooks h = load_plugin(o, 0);
    h.help();
    return 0;
  }
  if (o.recordings.empty()) usage_error("no recording given");
  install_bus_error_handler();
  Progress progress("daq-reader", o.progress, o.quiet);
  // The loader counts nothing while it reads a file, nor the walk inside a slow event.
  progress.keep_alive();
  const Clock::time_point load_start = Clock::now();
  std::unique_ptr<vexa_run> run = load_recordings(o, progress);
  times.loading = seconds_since(load_start);
  if (o.select_channels) {
    std::string error;
    if (!vexa_select_channels(*run, o.channels, &error)) {
      // The channels are those of the first recording.
      const std::string& first = o.recordings.front();
      usage_error((first == "-" ? std::string("standard input") : first) + ": " + error);
    }
  }
  Hooks h = load_plugin(o, run->generation);
  nbunch = o.nbunch;
  outmode = o.outmode;
  if (run->generation == 2010) {
    return drive<vexa_daq_reader_2010>(o, *run, h.init_2010, h.loop, h.end_2010, progress, times);
  }
  return drive<vexa_daq_reader_2024>(o, *run, h.init_2024, h.loop, h.end_2024, progress, times);
}
