// The tools' shared command line: long options in both forms, "--", "-",
// --help and --version, and the usage errors.
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace daq::cli {
namespace {

const std::vector<OptionSpec> kSpecs = {{"--nbunch", true}, {"--quiet", false}, {"-o", true}};

ParsedLine parse_words(std::vector<std::string> words, EndOfOptions end = EndOfOptions::kOperands) {
  words.insert(words.begin(), "prog");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  return parse(static_cast<int>(argv.size()), argv.data(), kSpecs, end);
}

std::string joined(const ParsedLine& line) {
  std::string s;
  for (const ParsedOption& o : line.options) s += o.name + "=" + o.value + ";";
  for (const std::string& w : line.operands) s += "[" + w + "]";
  for (const std::string& w : line.after_end) s += "<" + w + ">";
  return s;
}

TEST(CommandLine, ValuesInBothFormsAndOperandsInOrder) {
  struct Case {
    std::vector<std::string> words;
    std::string parsed;
  } cases[] = {
      {{"--nbunch=5", "a", "--quiet"}, "--nbunch=5;--quiet=;[a]"},
      {{"--nbunch", "5", "a"}, "--nbunch=5;[a]"},
      {{"--nbunch", "-1"}, "--nbunch=-1;"},      // the next word, whatever it holds
      {{"--nbunch=", "x"}, "--nbunch=;[x]"},     // an empty value is the program's to refuse
      {{"--nbunch=a=b"}, "--nbunch=a=b;"},       // only the first "=" splits
      {{"-o", "out.h5", "-"}, "-o=out.h5;[-]"},  // "-" is an operand
      {{"--", "--quiet", "-"}, "[--quiet][-]"},  // "--" ends the options
      {{"a", "--", "--", "b"}, "[a][--][b]"},    // a second "--" is an operand
      {{"--nbunch", "1", "--nbunch=2"}, "--nbunch=1;--nbunch=2;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parsed);
    EXPECT_EQ(joined(parse_words(c.words)), c.parsed);
  }
}

TEST(CommandLine, WordsAfterTheEndCanBeKeptApart) {
  ParsedLine line =
      parse_words({"rec", "--quiet", "--", "-out", "x", "--"}, EndOfOptions::kKeepApart);
  EXPECT_EQ(joined(line), "--quiet=;[rec]<-out><x><-->");
  EXPECT_TRUE(line.saw_end);
  EXPECT_FALSE(parse_words({"rec"}, EndOfOptions::kKeepApart).saw_end);
}

TEST(CommandLine, HelpAndVersionEndTheParse) {
  EXPECT_TRUE(parse_words({"--quiet", "--help", "--bogus"}).help);
  EXPECT_TRUE(parse_words({"-h"}).help);
  EXPECT_TRUE(parse_words({"--version", "--nbunch"}).version);
  // After "--" they are words like any other.
  ParsedLine line = parse_words({"--", "--help", "--version"});
  EXPECT_FALSE(line.help || line.version);
  EXPECT_EQ(line.operands.size(), 2u);
}

TEST(CommandLine, UsageErrorsNameTheOption) {
  struct Case {
    std::vector<std::string> words;
    std::string message;
  } cases[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"--bogus=1"}, "unknown option --bogus"},
      {{"--nbunc", "5"}, "unknown option --nbunc"},
      {{"--nbunch"}, "--nbunch needs a value"},
      {{"-o"}, "-o needs a value"},
      {{"--quiet=yes"}, "--quiet takes no value"},
      {{"-o=x"}, "unknown option -o=x"},  // short options take the next word only
      {{"-x"}, "unknown option -x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      parse_words(c.words);
      ADD_FAILURE() << "no usage error";
    } catch (const UsageError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

TEST(CommandLine, IntegersInRange) {
  EXPECT_EQ(parse_integer("--n", "-7", -10, 10), -7);
  EXPECT_EQ(parse_integer("--n", "10", -10, 10), 10);
  for (const char* bad : {"", "11", "1x", "x", "99999999999999999999", "1.0"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(parse_integer("--n", bad, -10, 10), UsageError);
  }
  try {
    parse_integer("--nbunch", "x", 0, 5);
  } catch (const UsageError& e) {
    EXPECT_STREQ(e.what(), "--nbunch needs a whole number from 0 to 5, not \"x\"");
  }
}

TEST(CommandLine, VersionLineNamesTheProgram) {
  std::string line = version_line("daq-x");
  EXPECT_EQ(line.rfind("daq-x ", 0), 0u);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(std::count(line.begin(), line.end(), '.'), 2) << line;  // MAJOR.MINOR.PATCH
}

}  // namespace
}  // namespace daq::cli
