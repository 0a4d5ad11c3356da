// The plug-in's HDF5 file (-h5): every value read back through the HDF5 C
// API against the recording, bit for bit; the text outputs the same with
// and without it; a camera whose size changes; a file system that fills.
#include <hdf5.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
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
  EXPECT_FALSE(
      h5check::check_run_file(*r, static_cast<int64_t>(r->events.size()), "run.h5", &error));
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
  for (const char* codec : {"none", "gzip", "lz4"}) {
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

// -h5 naming another output, an impossible target or one that is not a
// regular file is refused by the start hook (-5, one line) before any
// output is opened: the table it names, or an existing table, keeps its
// bytes.
TEST_F(H5OutputTest, RefusedTargetsLeaveEveryOutputAsItWas) {
  const std::string kRun = R"({"generation": 2024, "channels": [{"name": "A"}], "events": [
    {"id": 1, "channels": {"A": {"type": 1}}}]})";
  fs::create_directory("adir");
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  struct Case {
    std::vector<std::string> words;
    const char* message;
  } cases[] = {
      {{"-out", "same.out", "-h5", "same.out"}, "same.out: it is the table file"},
      {{"-out", "adir/../same.out", "-h5", "same.out"}, "it is the table file"},
      {{"-nodump", "-evstat", "-h5", "user_evids.txt"}, "it is the event-ID file"},
      {{"-nodump", "-xdump", "d.xml", "-h5", "./d.xml"}, "it is the XML description"},
      {{"-out", "same.out", "-h5", "nodir/x.h5"}, "failed to open HDF5 file nodir/x.h5: "},
      {{"-out", "same.out", "-h5", "pipe"}, "pipe exists and is not a regular file"},
      {{"-out", "same.out", "-h5", "adir"}, "adir is a directory"},
      {{"-out", "same.out", "-h5", "adir/"}, "adir/ names a directory"},
      {{"-out", "same.out", "-h5", ""}, "no file name given"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.back());
    for (const char* name : {"same.out", "user_evids.txt", "d.xml"}) {
      std::ofstream(name) << "keep me\n";
    }
    std::unique_ptr<vexa_run> r = make_run(kRun);
    RunResult res;
    switch (c.words.size()) {
      case 4:
        res = run(*r, {c.words[0], c.words[1], c.words[2], c.words[3]});
        break;
      default:
        res = run(*r, {c.words[0], c.words[1], c.words[2], c.words[3], c.words[4]});
        break;
    }
    EXPECT_EQ(res.init_rc, -5);
    EXPECT_NE(res.out.find(c.message), std::string::npos) << res.out;
    EXPECT_EQ(std::count(res.out.begin(), res.out.end(), '\n'), 2) << res.out;  // and CHANNELS
    for (const char* name : {"same.out", "user_evids.txt", "d.xml"}) {
      EXPECT_EQ(read_file(name), "keep me\n") << name;
    }
    EXPECT_TRUE(fs::is_fifo("pipe"));
    EXPECT_TRUE(fs::is_empty("adir"));
    reset_run_state();
  }
}

// A failed read in the middle of an event: that channel and the ones after
// it are cut short (3), as the converter reads the same row, also a
// channel whose group is made only later; a run whose every event header
// failed still has the event datasets, with no rows.
TEST_F(H5OutputTest, CellsCutShortAndFailedHeaders) {
  RunResult res = run(R"({"generation": 2024, "channels": [{"name": "A"}, {"name": "B"},
    {"name": "C"}, {"name": "D"}], "events": [
    {"id": 1, "channels": {"A": {"type": 2, "single": 1}, "B": {"type": 2, "single": 2}}},
    {"id": 2, "channels": {"A": {"type": 2, "single": 1}, "B": {"type": 2, "single": 2,
      "header": {"fails": true}}, "C": {"type": 2, "single": 3}}},
    {"id": 3, "channels": {"A": {"type": 2, "single": 1}, "B": {"type": 2, "single": 2,
      "block": {"fails": true}}}},
    {"id": 4, "channels": {"C": {"type": 2, "single": 3}}},
    {"id": 5, "channels": {"A": {"type": 2, "single": 1}, "B": {"type": 2, "single": 2,
      "block": {"fails": true}}}}]})",
                      {"-nodump", "-h5", "cut.h5"});
  EXPECT_EQ(res.loop_rc, (std::vector<int>{0, -1, -1, 0, -1}));
  EXPECT_EQ(read_dataset<uint8_t>("cut.h5", "/run/A/Missing"),
            (std::vector<uint8_t>{0, 0, 0, 2, 0}));
  EXPECT_EQ(read_dataset<uint8_t>("cut.h5", "/run/B/Missing"),
            (std::vector<uint8_t>{0, 3, 3, 2, 3}));
  EXPECT_EQ(read_dataset<uint8_t>("cut.h5", "/run/C/Missing"),
            (std::vector<uint8_t>{2, 3, 3, 0, 3}));
  // D never carried data: its group, made at the end, keeps the last
  // event's cut too.
  EXPECT_EQ(read_dataset<uint8_t>("cut.h5", "/run/D/Missing"),
            (std::vector<uint8_t>{2, 3, 3, 2, 3}));
  reset_run_state();
  res = run(R"({"generation": 2010, "channels": [{"name": "A"}], "events": [
    {"id": 1, "header_fails": true}, {"id": 2, "header_fails": true}]})",
            {"-nodump", "-h5", "none.h5"});
  EXPECT_EQ(res.end_rc, 0) << res.out;
  EXPECT_TRUE(read_dataset<uint64_t>("none.h5", "/run/EventId").empty());
  EXPECT_TRUE(read_dataset<int32_t>("none.h5", "/run/EventType").empty());
  EXPECT_TRUE(read_dataset<uint32_t>("none.h5", "/run/EvHeadStatus").empty());
  hid_t f = H5Fopen("none.h5", H5F_ACC_RDONLY, H5P_DEFAULT);
  EXPECT_GT(H5Lexists(f, "/run/EventTypeName", H5P_DEFAULT), 0);
  H5Fclose(f);
}

// What the layout page says of the plug-in's file: float32 statistics,
// int32 pairs of -fti channels, Width and Height of every camera, codes of
// empty cells, a member of no values, status words of a channel not in the
// event; a name-value channel whose lists are all empty, pair names that
// collide, description attributes named like the layout's, a 16-bit frame
// after an 8-bit one.
TEST_F(H5OutputTest, FileAgreesWithTheLayoutPage) {
  RunResult res = run(R"({"generation": 2024,
    "channels": [{"name": "S"}, {"name": "P"}, {"name": "N"}, {"name": "E"}, {"name": "CAM"},
                 {"name": "G"}],
    "descriptions": [{"daq_name": "S", "kind": "toroid", "column": "beamline-3", "unit": "V"}],
    "events": [
    {"id": 1, "channels": {
      "S": {"type": 3, "block": {"status": 5}, "members": [
        {"values": [1, 2], "stat": {"mask": 5, "val": {"0": 0.5, "2": 3}}}, {"ndata": 0}]},
      "P": {"type": 2, "pairs": [["Length", "0x0000002a"], ["Length#pair", "0x00000007"],
                                 ["Length", "0x00000009"]]},
      "N": {"type": 2, "pairs": []},
      "CAM": {"type": 4, "image": {"bpp": 1, "nx": 2, "ny": 1, "data": "0102"}},
      "G": {"type": 4}}},
    {"id": 2, "channels": {"S": {"type": 3, "nmemb": 0}, "N": {"type": 2, "pairs": []},
      "CAM": {"type": 4, "image": {"bpp": 2, "nx": 2, "ny": 1, "data": "01020304"}}}}]})",
                      {"-nodump", "-fti", "P", "-h5", "l.h5"});
  ASSERT_EQ(res.end_rc, 0) << res.out;
  std::vector<float> stats = read_dataset<float>("l.h5", "/run/S/Member0Stats");
  ASSERT_EQ(stats.size(), 64u);
  EXPECT_EQ(stats[0], 0.5f);
  EXPECT_EQ(stats[2], 3.0f);
  EXPECT_TRUE(std::isnan(stats[1]) && std::isnan(stats[32]));
  EXPECT_EQ(read_dataset<int32_t>("l.h5", "/run/S/Member1Length"), (std::vector<int32_t>{0, -1}));
  EXPECT_EQ(read_dataset<uint8_t>("l.h5", "/run/S/Missing"), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(read_dataset<uint32_t>("l.h5", "/run/S/SrvBlockStatus"), (std::vector<uint32_t>{5, 0}));
  // The last value of a repeated name; names made unique.
  EXPECT_EQ(read_dataset<int32_t>("l.h5", "/run/P/Length#pair"),
            (std::vector<int32_t>{9, INT32_MIN}));
  EXPECT_EQ(read_dataset<int32_t>("l.h5", "/run/P/Length#pair#pair"),
            (std::vector<int32_t>{7, INT32_MIN}));
  EXPECT_EQ(read_dataset<int32_t>("l.h5", "/run/P/Length"), (std::vector<int32_t>{3, 0}));
  EXPECT_EQ(read_dataset<uint8_t>("l.h5", "/run/N/Missing"), (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(read_dataset<uint16_t>("l.h5", "/run/CAM/Pixels"),
            (std::vector<uint16_t>{1, 2, 258, 772}));
  EXPECT_EQ(read_dataset<int32_t>("l.h5", "/run/G/Width"), (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(read_dataset<uint8_t>("l.h5", "/run/G/Missing"), (std::vector<uint8_t>{6, 2}));
  hid_t f = H5Fopen("l.h5", H5F_ACC_RDONLY, H5P_DEFAULT);
  for (const char* name : {"kind", "description_kind", "description_column", "unit"}) {
    EXPECT_GT(H5Aexists_by_name(f, "/run/S", name, H5P_DEFAULT), 0) << name;
  }
  hid_t a = H5Aopen_by_name(f, "/run/N", "pair_names", H5P_DEFAULT, H5P_DEFAULT);
  hid_t space = H5Aget_space(a);
  EXPECT_EQ(H5Sget_simple_extent_npoints(space), 0);
  H5Sclose(space);
  H5Aclose(a);
  H5Fclose(f);
}

}  // namespace
}  // namespace daq::test
