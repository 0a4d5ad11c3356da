// The whole table of a recording that mixes mark, value, name-value and
// spectrum channels, written by the built daq-reader in both row formats.
#include <filesystem>
#include <string>

#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class ReaderCellsTest : public daq::test::ScratchDirTest {
 protected:
  // Runs daq-reader on a bundled recording; returns the table file text.
  std::string table(const std::string& words, const std::string& recording = "mixed-2024") {
    daq::test::Outcome o = run_here("TZ=UTC '" READER_PATH "' --quiet '" EXAMPLES_DIR "/" +
                                    recording + ".run.json' " + words);
    EXPECT_EQ(o.status, 0) << o.err;
    return file("user_out.txt");
  }
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

// Two cameras (8 and 16 bits a pixel) and a structured-data channel: the
// first event's images become files with their bytes as recorded, the second
// holds an image whose size disagrees and a bad channel without an image.
TEST_F(ReaderCellsTest, CameraRunWritesImageFiles) {
  EXPECT_EQ(table("-- -imdump -hdf5", "camera-2024"),
            "EventId,Time,TimeISO,CAM/SCREEN1,CAM.DEEP:1,LLRF.STATE\n"
            "4294967297,1796704724:517300,2026-12-08T04:38:44Z,"
            "[[0 16 127 200 255 32]],[[258 65520]],\n"
            "4294967298,1796704724:617300,2026-12-08T04:38:44Z,[],[],\n");
  std::string date = "_4294967297_Tue_Dec__8_04:38:44_2026_517";
  EXPECT_EQ(file("CAM_SCREEN1" + date + ".pgm"), "P5\n3 2\n255\n\x00\x10\x7f\xc8\xff\x20"s);
  EXPECT_EQ(file("CAM.DEEP" + date + ".raw"), "2 1 2\n\x01\x02\xff\xf0"s);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 5);
  EXPECT_EQ(file("stdout.txt").find("Failed to dump"), std::string::npos);
  EXPECT_NE(file("stdout.txt").find("!!!Failed to extract data of type EqData (2024)!!!\n"),
            std::string::npos);
}

}  // namespace
