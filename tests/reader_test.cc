// Runs the built daq-reader as a user does and checks its exit status,
// streams and output files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "daqreader-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs daq-reader with `args` in the scratch directory.
  Outcome reader(const std::string& args) {
    std::string cmd =
        "cd '" + dir_.string() + "' && '" READER_PATH "' " + args + " >stdout.txt 2>stderr.txt";
    int rc = std::system(cmd.c_str());
    Outcome o;
    o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    o.out = slurp(dir_ / "stdout.txt");
    o.err = slurp(dir_ / "stderr.txt");
    return o;
  }

  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
    return (dir_ / name).string();
  }

  fs::path dir_;
};

TEST_F(ReaderTest, WritesTableOfBundledRecording) {
  Outcome o = reader(EXAMPLES_DIR "/basic-2010.run.json -- -evstat");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("CHANNELS: 4\n"), std::string::npos);
  std::string table = slurp(dir_ / "user_out.txt");
  EXPECT_EQ(table.substr(0, table.find('\n')),
            "EventId\tTime\t\t\tTRIG.MARK\tBPM.Y\tCHARGE:0\tSPECTRO");
  EXPECT_EQ(slurp(dir_ / "user_evids.txt"),
            "Chan:TRIG.MARK\t7001,7002\nChan:BPM.Y\t7001,7002\nChan:CHARGE\t7001,7002\n"
            "Chan:SPECTRO\t7001\n");
}

TEST_F(ReaderTest, RefusesBadJsonWithStatusTwo) {
  std::string path = write("bad.run.json", "{\"generation\": 2024,\n \"channels\": [}");
  Outcome o = reader("'" + path + "'");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.out, "");
  EXPECT_NE(o.err.find("bad.run.json: line 2"), std::string::npos) << o.err;
}

}  // namespace
