// The command line of the C++ tools: long options as "--opt value" or
// "--opt=value", "--" to end the options, "-" as an operand, --help and
// --version, and usage errors as one line with exit status 2.
#ifndef TOOLS_CLI_COMMAND_LINE_H_
#define TOOLS_CLI_COMMAND_LINE_H_

#include <stdexcept>
#include <string>
#include <vector>

namespace daq::cli {

struct OptionSpec {
  std::string name;  // "--nbunch", or a short "-o"
  bool takes_value = false;
};

struct ParsedOption {
  std::string name;  // as declared, without "=value"
  std::string value;
};

struct ParsedLine {
  std::vector<ParsedOption> options;   // in the order given
  std::vector<std::string> operands;   // "-" included
  std::vector<std::string> after_end;  // the words after "--", when kept apart
  bool saw_end = false;                // "--" was given
  bool help = false;                   // --help or -h
  bool version = false;                // --version
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What "--" does: end the options, the words after it being operands, or
// hand the words after it on untouched (daq-reader's plug-in words).
enum class EndOfOptions { kOperands, kKeepApart };

// Parses argv[1..argc-1].  A long option's value is the rest of its word
// after "=" or else the next word, whatever it holds ("--nbunch -1"); a
// short option's value is the next word.  --help, -h and --version end the
// parse where they stand.  Throws UsageError.
ParsedLine parse(int argc, char** argv, const std::vector<OptionSpec>& specs, EndOfOptions end);

// The tool's own side of it: `help` is printed on standard output for
// --help, "PROGRAM VERSION" for --version, both ending with status 0; a
// usage error prints "PROGRAM: reason (see PROGRAM --help)" and ends with 2.
class Program {
 public:
  Program(std::string name, std::string help) : name_(std::move(name)), help_(std::move(help)) {}

  ParsedLine parse_or_exit(int argc, char** argv, const std::vector<OptionSpec>& specs,
                           EndOfOptions end = EndOfOptions::kOperands) const;

  [[noreturn]] void usage_error(const std::string& reason) const;

  const std::string& name() const { return name_; }
  const std::string& help() const { return help_; }

 private:
  std::string name_;
  std::string help_;
};

// "PROGRAM VERSION\n", the project's version.
std::string version_line(const std::string& program);

// A whole decimal number in [low, high], else a UsageError naming `option`.
long long parse_integer(const std::string& option, const std::string& word, long long low,
                        long long high);

// Standard input as a file that can be read more than once: a regular file
// read from its start as it is, anything else (a pipe, a terminal, a file
// already read into) from where it stands copied into an unlinked
// temporary file under TMPDIR.  Returns a path that opens it
// ("/proc/self/fd/N"), or throws std::runtime_error.
std::string standard_input_as_file();

}  // namespace daq::cli

#endif  // TOOLS_CLI_COMMAND_LINE_H_
