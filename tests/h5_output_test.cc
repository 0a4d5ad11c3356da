// The plug-in's HDF5 file (-h5): every value read back through the HDF5 C
// API against the recording, bit for bit; the text outputs the same with
// and without it; a camera whose size changes; a file system that fills.
#include <hdf5.h>
#include <sys/mount.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "run_file_check.h"
#include "test_support.h"

namespace daq::test {
namespace {

namespace fs = std::filesystem;

// As the plug-in's writer does: HDF5's clean-up at exit is off, so that a
// file HDF5 could not close after a full disk does not crash this program.
[[maybe_unused]] const bool kNoCleanupAtExit = (H5dont_atexit(), true);

using h5check::read_dataset;

using H5OutputTest = PluginTest;

TEST_F(H5OutputTest, EveryValueOfBothGenerations) {
  for (const char* name : {"sim-2024", "sim-2010", "mixed-2024", "basic-2010", "camera-2024"}) {
    SCOPED_TRACE(name);
    std::unique_ptr<vexa_run> r =
        make_run(read_file(std::string(EXAMPLES_DIR "/") + name + ".run.json"));
    ASSERT_NE(r, nullptr);
    RunResult with = run(*r, {"-nodump", "-h5", "run.h5"});
    EXPECT_EQ(with.init_rc, 0);
    EXPECT_EQ(with.end_rc, 0) << with.out;
    std::string error;
    EXPECT_TRUE(
        h5check::check_run_file(*r, static_cast<int64_t>(r->events.size()), "run.h5", &error))
        << error;
    reset_run_state();
  }
  // The check itself finds a value that differs.
  std::unique_ptr<vexa_run> r = make_run(read_file(EXAMPLES_DIR "/camera-2024.run.json"));
  r->events[0].channels.begin()->second.block.mpulse64 += 1;
  std::string error;
  EXPECT_FALSE(h5check::check_run_file(*r, static_cast<int64_t>(r->events.size()), "run.h5",
                                       &error));
  EXPECT_NE(error.find("row 0: "), std::string::npos) << error;
}

// One pass gives both: the table, event IDs, description, images and
// standard output are the same with and without the HDF5 file.
TEST_F(H5OutputTest, TextOutputsAreTheSameWithAndWithout) {
  for (const char* name : {"sim-2024", "sim-2010", "camera-2024"}) {
    for (bool hdf5 : {false, true}) {
      SCOPED_TRACE(std::string(name) + (hdf5 ? " -hdf5" : ""));
      std::unique_ptr<vexa_run> r =
          make_run(read_file(std::string(EXAMPLES_DIR "/") + name + ".run.json"));
      fs::create_directory("a");
      fs::create_directory("b");
      std::map<bool, RunResult> results;
      std::map<bool, std::string> files;
      for (bool h5 : {false, true}) {
        fs::current_path(h5 ? "b" : "a");
        RunResult res = h5 ? run(*r, {"-evstat", "-xdump", "-zerocheck", "-imdump", ".",
                                      hdf5 ? "-hdf5" : "-nostat", "-h5", "x.h5"})
                           : run(*r, {"-evstat", "-xdump", "-zerocheck", "-imdump", ".",
                                      hdf5 ? "-hdf5" : "-nostat"});
        EXPECT_EQ(res.end_rc, 0);
        results[h5] = res;
        for (const auto& entry : fs::directory_iterator(".")) {
          if (entry.path().filename() != "x.h5") {
            files[h5] += entry.path().filename().string() + ":" + read_file(entry.path()) + "\n";
          }
        }
        fs::current_path("..");
        reset_run_state();
      }
      EXPECT_EQ(results[false].out, results[true].out);
      EXPECT_TRUE(results[false].table == results[true].table);  // too long to print
      EXPECT_GT(results[false].table.size(), 100u);
      EXPECT_TRUE(files[false] == files[true]);
      fs::remove_all("a");
      fs::remove_all("b");
    }
  }
}

// A camera of 3x2 pixels, then 4x2: each frame at the top left of its row,
// the dataset growing to the largest, its size beside it.
TEST_F(H5OutputTest, CameraThatChangesSize) {
  RunResult res = run(R"({"generation": 2024, "channels": [{"name": "CAM"}, {"name": "CNT"}],
    "events": [
    {"id": 1, "type": 1, "sec": 5, "usec": 0, "status": 0, "channels": {
      "CAM": {"type": 4, "image": {"bpp": 1, "nx": 3, "ny": 2, "data": "000d1a273441"}},
      "CNT": {"type": 2, "single": "0x0000002a"}}},
    {"id": 2, "type": 1, "sec": 5, "usec": 1, "status": 0, "channels": {
      "CAM": {"type": 4, "image": {"bpp": 1, "nx": 4, "ny": 2, "data": "0102030405060708"}}}},
    {"id": 3, "type": 1, "sec": 5, "usec": 2, "status": 0, "channels": {
      "CAM": {"type": 4, "image": {"bpp": 3, "nx": 1, "ny": 1, "data": "ffffff"}}}}]})",
                      {"-h5", "cam.h5", "-fti", "CNT"});
  ASSERT_EQ(res.end_rc, 0) << res.out;
  std::vector<uint64_t> dims;
  std::vector<uint8_t> px = read_dataset<uint8_t>("cam.h5", "/run/CAM/Pixels", &dims);
  ASSERT_EQ(dims, (std::vector<uint64_t>{3, 2, 4}));
  EXPECT_EQ(std::vector<uint8_t>(px.begin(), px.begin() + 8),
            (std::vector<uint8_t>{0, 13, 26, 0, 39, 52, 65, 0}));
  EXPECT_EQ(std::vector<uint8_t>(px.begin() + 8, px.begin() + 16),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(read_dataset<int32_t>("cam.h5", "/run/CAM/Width"), (std::vector<int32_t>{3, 4, 0}));
  EXPECT_EQ(read_dataset<int32_t>("cam.h5", "/run/CAM/Height"), (std::vector<int32_t>{2, 2, 0}));
  // A colour frame is not stored: a cell of another kind.
  EXPECT_EQ(read_dataset<uint8_t>("cam.h5", "/run/CAM/Missing"), (std::vector<uint8_t>{0, 0, 4}));
  // -fti values as the integers of their bits.
  EXPECT_EQ(read_dataset<int32_t>("cam.h5", "/run/CNT/Value").at(0), 42);
}

TEST_F(H5OutputTest, OptionWordsAndRefusals) {
  const std::string kRun = R"({"generation": 2010, "channels": [{"name": "A"}], "events": [
    {"id": 1, "type": 1, "sec": 0, "usec": 0, "status": 0, "channels": {"A": {"type": 1}}}]})";
  // "-h5" as the last word: a message and no file.
  RunResult r = run(kRun, {"-h5"});
  EXPECT_EQ(r.end_rc, 0);
  EXPECT_NE(r.out.find("-h5 needs a file name: no HDF5 file is written\n"), std::string::npos);
  reset_run_state();
  // The value is the next word, whatever it holds; an unknown codec is gzip.
  r = run(kRun, {"-h5", "-odd-name.h5", "-h5z", "zip"});
  EXPECT_EQ(r.end_rc, 0);
  EXPECT_TRUE(fs::exists("-odd-name.h5"));
  EXPECT_NE(r.out.find("HDF5 codec zip cannot be had, gzip is used instead"), std::string::npos);
  reset_run_state();
  // A file that cannot be made fails the start hook with -5, naming it.
  r = run(kRun, {"-h5", "nodir/run.h5"});
  EXPECT_EQ(r.init_rc, -5);
  EXPECT_NE(r.out.find("failed to open HDF5 file nodir/run.h5"), std::string::npos) << r.out;
  reset_run_state();
  for (const char* codec : {"none", "gzip"}) {
    r = run(kRun, {"-h5", "c.h5", "-h5z", codec});
    EXPECT_EQ(r.end_rc, 0);
    EXPECT_EQ(read_dataset<uint8_t>("c.h5", "/run/A/Missing"), std::vector<uint8_t>{0});
    reset_run_state();
  }
}

// The HDF5 file on a file system that fills up: one message, no temporary
// file left, the table still whole, and the run fails at its end.
TEST_F(H5OutputTest, FullDiskGivesUpTheFileOnly) {
  fs::create_directory("disk");
  if (mount("tmpfs", "disk", "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
  }
  std::unique_ptr<vexa_run> r = make_run(read_file(EXAMPLES_DIR "/sim-2024.run.json"));
  RunResult res = run(*r, {"-h5", "disk/run.h5", "-h5z", "none"});
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator("disk")) left.push_back(entry.path().string());
  umount("disk");
  EXPECT_EQ(res.init_rc, 0);
  EXPECT_EQ(res.end_rc, -1);
  EXPECT_EQ(res.loop_rc, std::vector<int>(r->events.size(), 0));
  EXPECT_NE(res.out.find("HDF5 file disk/run.h5 given up"), std::string::npos) << res.out;
  EXPECT_TRUE(left.empty()) << left.front();
  EXPECT_EQ(std::count(res.table.begin(), res.table.end(), '\n'), 21);
}

}  // namespace
}  // namespace daq::test
