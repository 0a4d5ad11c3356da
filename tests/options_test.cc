// The help hook and the option words the start hooks parse.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace daq::test {
namespace {

using OptionsTest = PluginTest;
using OptionsDeathTest = PluginTest;

const std::string kHelp =
    "-out file -zerocheck -imbin  -evstat -nodump -dumpall -nostat -nonvn -hdf5  -imdump  dir -fti "
    "LOC -xdump xfile\n"
    "file       -  file name to dump (default ./user_out.txt)\n"
    "-zerocheck  -  sets checcks for all ZEROs in spectra \n"
    "-imbin     -  dump image(s) to binary file(s) \n"
    "-evstat     -  dump event IDs for every channel \n"
    "-nodump - don't dump data to the file \n"
    "-dumpall - dump all  data values  to the file (spectrum) \n"
    "-nostat   - no statistsics info for spectrum\n"
    "-nonvn - no names for value name data\n"
    "-hdf5      - make a file for HDF5 conversion\n"
    "-imdump     -  dump image(s) to file(s) \n"
    "dir        -  directory to dump images (./ if not set) \n"
    "-fti           -  convert data from float to int for a list of channels \n"
    "LOC        -  list of channels for which make float to int conversion (separated with ; or "
    ":)\n"
    "-xdump    - dump XML description file for processes channels\n"
    "xfile       - file name to dump the  XML description file (default ./user_descr.xml)\n";
const std::string kHelpH5 =
    "-h5 FILE    - write the run's values into the HDF5 file FILE as well\n"
    "-h5z CODEC  - compression of the HDF5 file: gzip (default), none, lz4 or bslz4\n";

constexpr const char* kOneChannel =
    R"({"generation": 2024, "channels": [{"name": "A"}], "events": []})";

// The options that differ from their initial values, in a fixed order.
std::string changed_options() {
  const std::pair<const char*, bool> flags[] = {
      {"zerocheck", zerocheck}, {"imbin", imbin},    {"evstat", evstatdump}, {"nodump", nodump},
      {"dumpall", dallval},     {"nostat", nostat},  {"nonvn", nonvn},       {"hdf5", hdf5mode},
      {"imdump", imdump},       {"dumpxml", dumpxml}};
  std::string s;
  for (const auto& [name, on] : flags) {
    if (on) s += std::string(name) + " ";
  }
  const char* const names[][3] = {{"file", file, "./user_out.txt"},
                                  {"fileids", fileids, "./user_evids.txt"},
                                  {"imdir", imdir, "./"},
                                  {"xfile", xfile, "./user_descr.xml"}};
  for (const auto& n : names) {
    if (std::strcmp(n[1], n[2]) != 0) s += std::string(n[0]) + "=" + n[1] + " ";
  }
  if (ftilist != nullptr) s += std::string("fti=") + ftilist + " ";
  return s;
}

// Starts a one-channel run on a fresh state with the whole argument vector
// `words` (index 0 included) and returns the options it set.
std::string parse(std::vector<std::string> words) {
  reset_run_state();
  std::unique_ptr<vexa_run> run = make_run(kOneChannel);
  vexa_daq_reader_2024 reader(run.get());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  StdoutCapture capture;
  capture.start();
  EXPECT_EQ(vexa_user_init_2024(static_cast<int>(words.size()), argv.data(), &reader), 0);
  capture.text();
  return changed_options();
}

// The summary's sixteen lines stay as they are; the HDF5 file's two follow.
TEST_F(OptionsTest, HelpPrintsSixteenLinesThenTheHdfLines) {
  StdoutCapture capture;
  capture.start();
  vexa_user_help();
  std::string out = capture.text();
  EXPECT_EQ(out, kHelp + kHelpH5);
  EXPECT_EQ(std::count(kHelp.begin(), kHelp.end(), '\n'), 16);
}

TEST_F(OptionsTest, ParserQuirks) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"p", "-zerocheck", "-imbin", "-evstat", "-nodump", "-dumpall", "-nostat", "-nonvn",
        "-hdf5"},
       "zerocheck imbin evstat nodump dumpall nostat nonvn hdf5 "},
      // A following word with "-" is not a value but the next option.
      {{"p", "-imdump", "-nodump"}, "nodump imdump "},
      {{"p", "-imdump", "/data/run-5"}, "imdump "},
      {{"p", "-imdump", "img"}, "imdump imdir=img "},
      {{"p", "-xdump", "-hdf5"}, "hdf5 dumpxml "},
      {{"p", "-xdump"}, "dumpxml "},
      {{"p", "-xdump", "name"}, "dumpxml xfile=name "},
      {{"p", "-fti"}, ""},  // and so no channel is converted
      {{"p", "-fti", "A;B:C", "-nonvn"}, "nonvn fti=A;B:C "},
      // "-out" takes the next word whatever it is, and nothing when last.
      {{"p", "-out"}, ""},
      {{"p", "-out", "t.txt"}, "file=t.txt "},
      {{"p", "-out", "-nodump"}, "file=-nodump "},
      // Index 0 is the plug-in's own name and never an option.
      {{"-nodump", "-hdf5"}, "hdf5 "},
      {{"-fti", "A-B"}, ""},
      // Repeated words: the last value wins.
      {{"p", "-out", "a", "-out", "b", "-xdump", "x", "-xdump", "y", "-hdf5", "-hdf5"},
       "hdf5 dumpxml file=b xfile=y "},
      // Matching is exact and case-sensitive; other words are ignored.
      {{"p", "-foo", "bar", "-HDF5", "-hdf5x", "hdf5", "nodump", "-"}, ""},
  };
  for (const auto& [words, set] : cases) {
    std::string joined;
    for (const std::string& w : words) joined += w + " ";
    EXPECT_EQ(parse(words), set) << joined;
  }
}

// A host may free its argument words once a start hook returns: the names
// the plug-in keeps are its own copies, and the next run opens them safely
// (AddressSanitizer would report the use of a freed word).
TEST_F(OptionsTest, ValuesOutliveTheHostsWords) {
  std::unique_ptr<vexa_run> run = make_run(kOneChannel);
  vexa_daq_reader_2024 reader(run.get());
  StdoutCapture capture;
  capture.start();
  for (const char* table : {"first.txt", "second.txt"}) {
    auto args = std::make_unique<Argv>(std::initializer_list<std::string>{
        "-out", table, "-xdump", "d.xml", "-imdump", "img", "-fti", "A;B"});
    ASSERT_EQ(vexa_user_init_2024(args->argc(), args->argv(), &reader), 0);
    char* word = args->argv()[2];
    EXPECT_NE(file, word);
    args.reset();  // the host's words are gone
    EXPECT_STREQ(file, table);
    EXPECT_STREQ(xfile, "d.xml");
    EXPECT_STREQ(imdir, "img");
    EXPECT_STREQ(ftilist, "A;B");
    EXPECT_EQ(vexa_user_end_2024(&reader), 0);
  }
  // Without the words the last values stay; defaults come back only with a reset.
  Argv none{};
  ASSERT_EQ(vexa_user_init_2024(none.argc(), none.argv(), &reader), 0);
  EXPECT_STREQ(file, "second.txt");
  EXPECT_EQ(vexa_user_end_2024(&reader), 0);
  capture.text();
  EXPECT_TRUE(file_exists("first.txt"));
  EXPECT_TRUE(file_exists("second.txt"));
  reset_run_state();
  EXPECT_STREQ(file, "./user_out.txt");
  EXPECT_EQ(ftilist, nullptr);
}

TEST_F(OptionsDeathTest, FtiListWithHyphenExits) {
  for (const char* list : {"A-B", "AB-", "-"}) {
    const std::string out = dir_ + "/fti.txt";
    std::unique_ptr<vexa_run> run = make_run(kOneChannel);
    vexa_daq_reader_2024 reader(run.get());
    Argv args{"-nonvn", "-fti", list, "-hdf5"};
    // Standard output goes to a file the child leaves behind.
    EXPECT_EXIT(
        {
          if (std::freopen(out.c_str(), "w", stdout) == nullptr) std::_Exit(9);
          vexa_user_init_2024(args.argc(), args.argv(), &reader);
        },
        testing::ExitedWithCode(1), "")
        << list;
    EXPECT_EQ(read_file(out),
              "No channels list is provided for float to int conversion\n" + kHelp + kHelpH5)
        << list;
  }
}

}  // namespace
}  // namespace daq::test
