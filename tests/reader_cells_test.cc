// The whole table of a recording that mixes mark, value, name-value and
// spectrum channels, written by the built daq-reader in both row formats.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class ReaderCellsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "daqcells-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs daq-reader on the mixed recording; returns the table file text.
  std::string table(const std::string& words) {
    std::string cmd = "cd '" + dir_.string() +
                      "' && '" READER_PATH "' --quiet '" EXAMPLES_DIR "/mixed-2024.run.json' " +
                      words + " >stdout.txt 2>stderr.txt";
    int rc = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << rc;
    std::ifstream in(dir_ / "user_out.txt", std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_;
};

// Event 1: a mark, the single value 0.125, three pairs, a spectrum of two
// members (statistics bits 0 and 2; two groups of 2 with a NaN), three
// zeros, and a channel the event does not hold.  Event 2: the single value
// -1.5 of a bad channel, an empty list, a failing member and an empty member
// with statistic bit 1, and values whose "%.e" forms are 1e-30 and 2e+00.
TEST_F(ReaderCellsTest, TabModeTable) {
  EXPECT_EQ(table(""),
            "EventId\tTime\t\t\tTRIG.MARK\tBPM.X\tMAGNETS\tTOROID\tADC:2\tGONE\n"
            "[normal]5000000001\t\t1733632724:517301\t2024-12-08T04:38:44Z\t"
            "1\t\t0.125000\t\t\t{[Q1:1.25e+01]\t[Q2:-3.25e+00]\t[D1:4.20e-04]}\t"
            "{[ [0]:5.000000e-01 [2]:3.000000e+00 1e+00 2e+00 3e+00 4e+00]\t"
            "[1e+01 Invalid -5e-01 1e+01]}\t{[0e+00 0e+00 0e+00]}\tNot found\n"
            "[calibration]5000000002\t\t1733632724:617302\t2024-12-08T04:38:44Z\t"
            "1\t\t-1.500000\t\t\t{}\t{No data\t, [1]:7.000000e+00  Not found\t}\t"
            "{[0e+00 1e-30 2e+00]}\tNot found\n");
}

TEST_F(ReaderCellsTest, Hdf5ModeTable) {
  EXPECT_EQ(table("-- -hdf5"),
            "EventId,Time,TimeISO,TRIG.MARK,BPM.X,MAGNETS,TOROID,ADC:2,GONE\n"
            "5000000001,1733632724:517301,2024-12-08T04:38:44Z,"
            "1\t,[[0.125000]],[[Q1:1.25e+01][Q2:-3.25e+00][D1:4.20e-04]],"
            "[[ [0]:5.000000e-01 [2]:3.000000e+00 1e+00 2e+00 3e+00 4e+00]"
            "[1e+01 Invalid -5e-01 1e+01]],[[0e+00 0e+00 0e+00]],[]\n"
            "5000000002,1733632724:617302,2024-12-08T04:38:44Z,"
            "1\t,[[-1.500000]],[],[[], [1]:7.000000e+00  []],[[0e+00 1e-30 2e+00]],[]\n");
}

}  // namespace
