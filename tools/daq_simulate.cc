// daq-simulate: writes a deterministic recording of a simulated run for the
// reference host (see tools/simulate/simulator.h for what it holds).

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "cli/progress_line.h"
#include "simulate/simulator.h"

namespace {

using daq::sim::SimOptions;

constexpr const char* kUsage =
    "usage: daq-simulate [OPTION...]\n"
    "Writes a simulated recording (*.run.json) to standard output or FILE.\n"
    "  --generation 2010|2024  data generation (default 2024)\n"
    "  --seed N                random seed, 0 .. 2^64-1 (default 1)\n"
    "  --events N              number of events (default 20)\n"
    "  --first-event ID        the first event's ID (default 1200000 in 2010, 5000000000 in 2024)\n"
    "  --toroids N             beam-current toroids (default 1)\n"
    "  --bpms N                beam position monitors (default 1)\n"
    "  --adcs N                ADC trace channels (default 1)\n"
    "  --samples N             values per ADC trace (default 64)\n"
    "  --cameras N             cameras, alternately 8 and 16 bits (default 2)\n"
    "  --image WxH             camera image size (default 64x48)\n"
    "  --out FILE              write to FILE instead of standard output (- for standard output)\n"
    "  --progress              show progress on standard error even when it is no terminal\n"
    "  --quiet                 show no progress\n"
    "  --help                  show this text\n"
    "  --version               show the version\n"
    "Options take their value as --opt=value or --opt value; -- ends the options.\n"
    "The same options and seed always give the same file.\n"
    "\n"
    "Exit status: 0 written; 1 the output cannot be written; 2 usage error.\n";

const daq::cli::Program kProgram("daq-simulate", kUsage);

[[noreturn]] void usage_error(const std::string& reason) { kProgram.usage_error(reason); }

// A whole decimal word in [lo, hi]; anything else is a usage error naming
// the option.
uint64_t parse_number(const std::string& option, const std::string& word, uint64_t lo,
                      uint64_t hi) {
  const std::string range = " needs a number from " + std::to_string(lo) + " to " +
                            std::to_string(hi) + ", not \"" + word + "\"";
  if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) {
    usage_error(option + range);
  }
  errno = 0;
  uint64_t v = std::strtoull(word.c_str(), nullptr, 10);
  if (errno != 0 || v < lo || v > hi) usage_error(option + range);
  return v;
}

int parse_int(const std::string& option, const std::string& word, int lo, int hi) {
  return static_cast<int>(parse_number(option, word, lo, hi));
}

// "WxH" with each side in 1 .. kMaxImageSide.
void parse_image(const std::string& word, SimOptions& o) {
  size_t x = word.find('x');
  if (x == std::string::npos) usage_error("--image needs WIDTHxHEIGHT, not \"" + word + "\"");
  o.image_width = parse_int("--image width", word.substr(0, x), 1, daq::sim::kMaxImageSide);
  o.image_height = parse_int("--image height", word.substr(x + 1), 1, daq::sim::kMaxImageSide);
}

struct Command {
  SimOptions options;
  std::string out;  // empty: standard output
  bool progress = false;
  bool quiet = false;
};

Command parse_command_line(int argc, char** argv) {
  using daq::sim::kMaxChannels;
  Command c;
  SimOptions& o = c.options;
  const std::vector<daq::cli::OptionSpec> specs = {
      {"--generation", true},  {"--seed", true},  {"--events", true}, {"--toroids", true},
      {"--first-event", true}, {"--bpms", true},  {"--adcs", true},   {"--cameras", true},
      {"--samples", true},     {"--image", true}, {"--out", true},    {"--progress", false},
      {"--quiet", false},
  };
  const daq::cli::ParsedLine line = kProgram.parse_or_exit(argc, argv, specs);
  if (!line.operands.empty()) usage_error("unexpected argument \"" + line.operands[0] + "\"");
  for (const daq::cli::ParsedOption& opt : line.options) {
    const std::string& word = opt.name;
    const std::string& v = opt.value;
    if (word == "--generation") {
      if (v != "2010" && v != "2024") {
        usage_error("--generation needs 2010 or 2024, not \"" + v + "\"");
      }
      o.generation = std::stoi(v);
    } else if (word == "--seed") {
      o.seed = parse_number(word, v, 0, std::numeric_limits<uint64_t>::max());
    } else if (word == "--events") {
      o.events = parse_int(word, v, 0, daq::sim::kMaxEvents);
    } else if (word == "--first-event") {
      o.first_event = parse_number(word, v, 0, std::numeric_limits<uint64_t>::max());
    } else if (word == "--toroids") {
      o.toroids = parse_int(word, v, 0, kMaxChannels);
    } else if (word == "--bpms") {
      o.bpms = parse_int(word, v, 0, kMaxChannels);
    } else if (word == "--adcs") {
      o.adcs = parse_int(word, v, 0, kMaxChannels);
    } else if (word == "--cameras") {
      o.cameras = parse_int(word, v, 0, kMaxChannels);
    } else if (word == "--samples") {
      o.samples = parse_int(word, v, 1, daq::sim::kMaxSamples);
    } else if (word == "--image") {
      parse_image(v, o);
    } else if (word == "--out") {
      c.out = v;
      if (c.out.empty()) usage_error("--out needs a file name");
      if (c.out == "-") c.out.clear();
    } else if (word == "--progress") {
      c.progress = true;
    } else if (word == "--quiet") {
      c.quiet = true;
    }
  }
  return c;
}

// The file being written, removed when a signal ends the process: an
// interrupted run leaves no part behind.
char partial_name[4096];
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void remove_partial_and_end(int sig) {
  if (partial_name[0] != '\0') unlink(partial_name);
  signal(sig, SIG_DFL);
  raise(sig);
}

// A unique file beside `target` (FILE.part-XXXXXX), never one reached
// through a link, noted for removal before any signal can end the process.
FILE* open_partial(const std::string& target, std::string& partial) {
  sigset_t ending, before;
  sigemptyset(&ending);
  for (int s : kEndingSignals) sigaddset(&ending, s);
  sigprocmask(SIG_BLOCK, &ending, &before);
  partial = target + ".part-XXXXXX";
  int fd =
      partial.size() < sizeof partial_name ? mkstemp(partial.data()) : (errno = ENAMETOOLONG, -1);
  if (fd >= 0) {
    std::memcpy(partial_name, partial.c_str(), partial.size() + 1);
    for (int s : kEndingSignals) {
      struct sigaction old {};
      // A signal the caller ignores stays ignored (nohup).
      if (sigaction(s, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
        std::signal(s, remove_partial_and_end);
      }
    }
  }
  int saved = errno;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  errno = saved;
  return fd < 0 ? nullptr : fdopen(fd, "wb");
}

}  // namespace

int main(int argc, char** argv) {
  Command c = parse_command_line(argc, argv);
  // A file is written beside the target first, so a failed write leaves no
  // half file. The rename replaces only a regular file: a device node, a
  // pipe or a symbolic link given as --out is refused, not replaced.
  const bool to_stdout = c.out.empty();
  std::string partial;
  struct stat st {};
  if (!to_stdout && lstat(c.out.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "daq-simulate: cannot write %s: %s\n", c.out.c_str(),
                 S_ISDIR(st.st_mode) ? "is a directory" : "exists and is not a regular file");
    return 1;
  }
  FILE* out = to_stdout ? stdout : open_partial(c.out, partial);
  if (out == nullptr) {
    std::fprintf(stderr, "daq-simulate: cannot write %s: %s\n", c.out.c_str(),
                 std::strerror(errno));
    return 1;
  }
  daq::cli::ProgressLine progress("daq-simulate", c.progress, c.quiet);
  progress.start("", c.options.events, "events", 1);
  bool written = true;
  try {
    daq::sim::simulate_run(
        c.options,
        [&](std::string_view piece) {
          written = written && std::fwrite(piece.data(), 1, piece.size(), out) == piece.size();
        },
        [&](int done) { progress.update(done); });
  } catch (const std::invalid_argument& e) {
    if (!to_stdout) {
      std::fclose(out);
      std::remove(partial.c_str());
    }
    usage_error(e.what());
  }
  progress.finish();
  written = std::fflush(out) == 0 && written && std::ferror(out) == 0;
  int write_errno = errno;
  if (to_stdout) {
    if (!written) {
      std::fprintf(stderr, "daq-simulate: cannot write to standard output\n");
      return 1;
    }
    return 0;
  }
  // The file gets the permissions a new file would (mkstemp made it 0600).
  const mode_t mask = umask(0);
  umask(mask);
  written = fchmod(fileno(out), 0666 & ~mask) == 0 && written;
  written = std::fclose(out) == 0 && written;
  if (written) write_errno = errno;
  // The target is checked again: it may have become something else.
  if (written && lstat(c.out.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "daq-simulate: cannot write %s: %s\n", c.out.c_str(),
                 "exists and is not a regular file");
    std::remove(partial.c_str());
    return 1;
  }
  if (!written || std::rename(partial.c_str(), c.out.c_str()) != 0) {
    std::fprintf(stderr, "daq-simulate: cannot write %s: %s\n", c.out.c_str(),
                 std::strerror(written ? errno : write_errno));
    std::remove(partial.c_str());
    return 1;
  }
  return 0;
}
