#include "cli/command_line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daq_version.h"

namespace daq::cli {

namespace {

const OptionSpec* find_spec(const std::vector<OptionSpec>& specs, const std::string& name) {
  for (const OptionSpec& s : specs) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

}  // namespace

ParsedLine parse(int argc, char** argv, const std::vector<OptionSpec>& specs, EndOfOptions end) {
  ParsedLine line;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (line.saw_end) {
      (end == EndOfOptions::kKeepApart ? line.after_end : line.operands).push_back(word);
      continue;
    }
    if (word == "--") {
      line.saw_end = true;
      continue;
    }
    if (word == "--help" || word == "-h") {
      line.help = true;
      return line;
    }
    if (word == "--version") {
      line.version = true;
      return line;
    }
    if (word.size() < 2 || word[0] != '-') {
      line.operands.push_back(word);
      continue;
    }
    const bool is_long = word.starts_with("--");
    const size_t eq = is_long ? word.find('=') : std::string::npos;
    const std::string name = word.substr(0, eq);
    const OptionSpec* spec = find_spec(specs, name);
    if (spec == nullptr) throw UsageError("unknown option " + name);
    ParsedOption option{name, ""};
    if (eq != std::string::npos) {
      if (!spec->takes_value) throw UsageError(name + " takes no value");
      option.value = word.substr(eq + 1);
    } else if (spec->takes_value) {
      if (i + 1 >= argc) throw UsageError(name + " needs a value");
      option.value = argv[++i];
    }
    line.options.push_back(std::move(option));
  }
  return line;
}

ParsedLine Program::parse_or_exit(int argc, char** argv, const std::vector<OptionSpec>& specs,
                                  EndOfOptions end) const {
  ParsedLine line;
  try {
    line = parse(argc, argv, specs, end);
  } catch (const UsageError& e) {
    usage_error(e.what());
  }
  if (line.version) {
    std::fputs(version_line(name_).c_str(), stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
  }
  if (line.help) {
    std::fputs(help_.c_str(), stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
  }
  return line;
}

void Program::usage_error(const std::string& reason) const {
  std::fprintf(stderr, "%s: %s (see %s --help)\n", name_.c_str(), reason.c_str(), name_.c_str());
  std::exit(2);
}

std::string version_line(const std::string& program) { return program + " " DAQ_VERSION "\n"; }

long long parse_integer(const std::string& option, const std::string& word, long long low,
                        long long high) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(word.c_str(), &end, 10);
  if (word.empty() || *end != '\0' || errno != 0 || v < low || v > high) {
    throw UsageError(option + " needs a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + word + "\"");
  }
  return v;
}

std::string standard_input_as_file() {
  struct stat st {};
  if (fstat(STDIN_FILENO, &st) != 0) {
    throw std::runtime_error(std::string("standard input: ") + std::strerror(errno));
  }
  // A regular file is opened again by name, from its first byte: only when
  // standard input stands there. One read past a header by the caller
  // (`{ head -1; daq-reader -; } <file`) is copied from where it stands.
  if (S_ISREG(st.st_mode) && lseek(STDIN_FILENO, 0, SEEK_CUR) == 0) {
    return "/proc/self/fd/" + std::to_string(STDIN_FILENO);
  }
  const char* tmpdir = std::getenv("TMPDIR");
  std::string dir = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = dir + "/daq-stdin-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
  }
  if (fd < 0) {
    throw std::runtime_error("cannot make a temporary file in " + dir +
                             " for standard input: " + std::strerror(errno));
  }
  std::vector<char> buffer(size_t{1} << 16);
  while (true) {
    ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    ssize_t written = n > 0 ? write(fd, buffer.data(), static_cast<size_t>(n)) : -1;
    if (n < 0 || written != n) {
      int error = errno != 0 ? errno : EIO;
      close(fd);
      throw std::runtime_error(std::string(n < 0 ? "cannot read standard input: "
                                                 : "cannot copy standard input to " + dir + ": ") +
                               std::strerror(error));
    }
  }
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace daq::cli
