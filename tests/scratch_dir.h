// Tests that run the built programs: each test gets a fresh scratch
// directory, runs command lines in it and reads what they left there.
#ifndef DAQUSER_TESTS_SCRATCH_DIR_H_
#define DAQUSER_TESTS_SCRATCH_DIR_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace daq::test {

// Exit status (-1 when killed) and the two streams of a program run.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "daqtest-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs `command` (program and arguments, shell words) in the scratch
  // directory with its streams in stdout.txt and stderr.txt there.
  Outcome run_here(const std::string& command) {
    std::string line = "cd '" + dir_.string() + "' && " + command + " >stdout.txt 2>stderr.txt";
    int rc = std::system(line.c_str());
    Outcome o;
    o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    o.out = file("stdout.txt");
    o.err = file("stderr.txt");
    return o;
  }

  // A file of the scratch directory; "" when there is none.
  std::string file(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path dir_;
};

}  // namespace daq::test

#endif  // DAQUSER_TESTS_SCRATCH_DIR_H_
