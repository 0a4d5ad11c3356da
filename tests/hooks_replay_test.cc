// Replays the hooks fuzz target's findings and seeds: the plug-in's hooks
// behind the scripted host (fuzz/scripted_host.cc), which answers every
// call from the input's bytes.  Each input ends the run with the plug-in's
// state back at its initial values.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "daq_user.h"
#include "hooks_run.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Standard output of one run of the hooks on `path`.
std::string output_of(const fs::path& path) {
  std::vector<uint8_t> bytes = read_bytes(path);
  fs::path out = fs::temp_directory_path() / ("hooks-out-" + std::to_string(getpid()));
  std::fflush(stdout);
  int saved = dup(1);
  int f = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(f, 1);
  close(f);
  scripted::run_hooks(bytes.data(), bytes.size());
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::ifstream in(out);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  fs::remove(out);
  return text;
}

TEST(HooksReplay, EveryInputRunsToTheEnd) {
  std::string scratch = scripted::make_scratch_dir();
  ASSERT_FALSE(scratch.empty());
  int count = 0;
  for (const char* kind : {"regressions", "corpus"}) {
    fs::path dir = fs::path(FUZZ_DIR) / kind / "fuzz_hooks";
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      SCOPED_TRACE(entry.path().string());
      std::vector<uint8_t> bytes = read_bytes(entry.path());
      fs::path before = fs::current_path();
      scripted::run_hooks(bytes.data(), bytes.size());
      EXPECT_EQ(fs::current_path(), before);
      EXPECT_EQ(fd, nullptr);
      EXPECT_EQ(chans, nullptr);
      ++count;
    }
  }
  EXPECT_GT(count, 0);
  fs::remove_all(scratch);
}

// Hostile counts are cut, with a message, instead of allocated for.
TEST(HooksReplay, CountsBeyondTheBoundsAreCut) {
  std::string scratch = scripted::make_scratch_dir();
  ASSERT_FALSE(scratch.empty());
  const struct {
    const char* input;
    const char* message;
  } cases[] = {
      {"regressions/fuzz_hooks/channel-count-int-max",
       "vexa_user_init(): 2147483647 channels, more than 1048576 !!!\n"},
      {"regressions/fuzz_hooks/spectrum-member-count", " members, only the first 65536 written\n"},
      {"corpus/fuzz_hooks/bound-spectrum-members", " members, only the first 65536 written\n"},
      {"corpus/fuzz_hooks/bound-spectrum-values", " values, only "},
      {"corpus/fuzz_hooks/bound-pairs", " pairs, only the first 65536 written\n"},
  };
  for (const auto& c : cases) {
    std::string out = output_of(fs::path(FUZZ_DIR) / c.input);
    EXPECT_NE(out.find(c.message), std::string::npos) << c.input;
  }
  fs::remove_all(scratch);
}

}  // namespace
