// Replays what the fuzz targets found, and their seeds, through the normal
// build: recording files into the reference host's parser, option words
// into the plug-in's option parser.  Each input once crashed or hung.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "daq_user.h"
#include "options.h"
#include "test_support.h"
#include "vexa_run.h"

namespace {

namespace fs = std::filesystem;

// The files of fuzz/regressions/<target> and fuzz/corpus/<target>.
std::vector<fs::path> inputs_of(const std::string& target) {
  std::vector<fs::path> files;
  for (const char* kind : {"regressions", "corpus"}) {
    fs::path dir = fs::path(FUZZ_DIR) / kind / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  return files;
}

TEST(FuzzReplay, RecordingsAreAcceptedOrRefusedWithOneLine) {
  std::vector<fs::path> files = inputs_of("fuzz_recording");
  ASSERT_FALSE(files.empty());
  for (const fs::path& path : files) {
    SCOPED_TRACE(path.string());
    std::string error;
    std::unique_ptr<vexa_run> run = vexa_parse_run(daq::test::read_file(path), "replay", &error);
    if (run == nullptr) {
      EXPECT_EQ(error.rfind("replay: ", 0), 0u) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    // Every finding was a recording the host must refuse.
    if (path.parent_path().parent_path().filename() == "regressions") {
      EXPECT_EQ(run, nullptr);
    }
  }
}

// The option words of a fuzz input: its bytes split at zero bytes.
TEST(FuzzReplay, OptionWordsSetOnlyWordsOfTheVector) {
  std::vector<fs::path> files = inputs_of("fuzz_options");
  ASSERT_FALSE(files.empty());
  for (const fs::path& path : files) {
    SCOPED_TRACE(path.string());
    std::string bytes = daq::test::read_file(path);
    std::vector<std::string> words{"libDAQUser.so", ""};
    for (char c : bytes) {
      if (c == '\0') {
        words.emplace_back();
      } else {
        words.back() += c;
      }
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    daq::test::reset_run_state();
    daq::parse_options(static_cast<int>(argv.size()), argv.data());
    // A name is the default or a copy of one of the words, never the word
    // itself: the host's words need not outlive the start hook.
    auto is_word_or = [&](const char* name, const char* fallback) {
      if (name == nullptr || std::string(name) == fallback) return true;
      bool copy = false;
      for (char* w : argv) {
        if (w == name) return false;
        copy = copy || std::string(w) == name;
      }
      return copy;
    };
    EXPECT_TRUE(is_word_or(file, "./user_out.txt"));
    EXPECT_TRUE(is_word_or(imdir, "./"));
    EXPECT_TRUE(is_word_or(xfile, "./user_descr.xml"));
    EXPECT_TRUE(is_word_or(ftilist, ""));
    daq::test::reset_run_state();
  }
}

}  // namespace
