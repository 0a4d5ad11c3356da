// Runs the built daq-reader as a user does and checks its exit status,
// streams and output files.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using daq::test::Outcome;

class ReaderTest : public daq::test::ScratchDirTest {
 protected:
  // Runs daq-reader with `args` in the scratch directory.
  Outcome reader(const std::string& args) { return run_here("'" READER_PATH "' " + args); }

  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
    return (dir_ / name).string();
  }
};

TEST_F(ReaderTest, WritesTableOfBundledRecording) {
  Outcome o = reader(EXAMPLES_DIR "/basic-2010.run.json -- -evstat");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("CHANNELS: 4\n"), std::string::npos);
  std::string table = file("user_out.txt");
  EXPECT_EQ(table.substr(0, table.find('\n')),
            "EventId\tTime\t\t\tTRIG.MARK\tBPM.Y\tCHARGE:0\tSPECTRO");
  EXPECT_EQ(file("user_evids.txt"),
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

// The table's lines, without their line ends.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST_F(ReaderTest, RunsBothGenerationsEndToEnd) {
  Outcome o = reader(EXAMPLES_DIR "/mixed-2024.run.json");
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<std::string> table = lines(file("user_out.txt"));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0], "EventId\tTime\t\t\tTRIG.MARK\tBPM.X\tMAGNETS\tTOROID\tADC:2\tGONE");
  // Time of the fast channel's block; GONE is absent from every event.
  EXPECT_TRUE(table[1].starts_with(
      "[normal]5000000001\t\t1733632724:517301\t2024-12-08T04:38:44Z\t1\t\t0.125000"))
      << table[1];
  EXPECT_TRUE(table[2].starts_with("[calibration]5000000002\t\t1733632724:617302\t")) << table[2];
  EXPECT_EQ(table[2].substr(table[2].size() - 10), "\tNot found");
  EXPECT_NE(o.out.find("READER FINISHED statistics: events: 2  empty_events:0\n"),
            std::string::npos);
  // Not a terminal: no progress line, only the summary.
  EXPECT_EQ(o.err.rfind("daq-reader: 2 events, 0 failed, ", 0), 0u) << o.err;
  EXPECT_EQ(lines(o.err).size(), 1u);
  EXPECT_EQ(o.err.find('\r'), std::string::npos);

  o = reader("--outmode 1 " EXAMPLES_DIR "/basic-2010.run.json -- -hdf5");
  ASSERT_EQ(o.status, 0) << o.err;
  table = lines(file("user_out.txt"));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_TRUE(table[1].starts_with("100,1733632724:100002,2024-12-08T04:38:44Z,0x0,0x0,0x0,"))
      << table[1];
  EXPECT_TRUE(table[2].starts_with("101,1733632724:200000,2024-12-08T04:38:44Z,0x0,0x0,0x0,"))
      << table[2];
}

// A refused recording gets one line naming file, place and reason; a usage
// error its reason and the usage text.
TEST_F(ReaderTest, RefusesBrokenRecordingsAndUsageErrors) {
  std::string wrong_type = write("type.run.json", R"({"generation": 2010, "channels": [],
    "events": [{"id": 1, "type": 1, "sec": "noon", "usec": 0, "status": 0, "channels": {}}]})");
  std::string generation =
      write("gen.run.json", R"({"generation": 2015, "channels": [], "events": []})");
  const std::string example = " " EXAMPLES_DIR "/mixed-2024.run.json ";
  struct Case {
    std::string args, needle;
  } cases[] = {
      {wrong_type, "type.run.json: event 0.sec"},
      {generation, "gen.run.json"},
      {"", "no recording"},
      {"--channels BPM.X,NOPE" + example, "NOPE"},
      {"--nbunch x" + example, "--nbunch"},
      {example + "--nbunch", "--nbunch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    Outcome o = reader(c.args);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(!c.args.ends_with(".run.json") || lines(o.err).size() == 1) << o.err;
    EXPECT_NE(o.err.find(c.needle), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(dir_ / "user_out.txt"));
  }
}

TEST_F(ReaderTest, SelectsAndOrdersChannels) {
  Outcome o =
      reader("--quiet --nbunch -1 --channels GONE,TRIG.MARK " EXAMPLES_DIR "/mixed-2024.run.json");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("[0] \t GONE\n[1] \t TRIG.MARK\n"), std::string::npos) << o.out;
  std::vector<std::string> table = lines(file("user_out.txt"));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0], "EventId\tTime\t\t\tGONE\tTRIG.MARK");
  EXPECT_EQ(table[1].substr(table[1].find("Z\t")), "Z\tNot found\t1\t");
}

TEST_F(ReaderTest, ExitStatusTellsWhichHookFailed) {
  Outcome o = reader(EXAMPLES_DIR "/basic-2010.run.json -- -out /nonexistent/dir/x");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("-5"), std::string::npos) << o.err;
  EXPECT_EQ(o.out.find("READER FINISHED"), std::string::npos);  // no other hook ran

  o = reader(
      write("fails.run.json", R"({"generation": 2010, "channels": [{"name": "A"}], "events": [
    {"id": 1, "type": 1, "sec": 0, "usec": 0, "status": 0, "header_fails": true, "channels": {}},
    {"id": 2, "type": 1, "sec": 0, "usec": 0, "status": 0, "channels": {"A": {"type": 1}}}]})"));
  EXPECT_EQ(o.status, 3);
  EXPECT_NE(o.out.find("vexa_user_loop(): failed to get event info\n"), std::string::npos);
  EXPECT_NE(o.err.find("2 events, 1 failed"), std::string::npos) << o.err;
  EXPECT_EQ(lines(file("user_out.txt")).size(), 2u);
}

}  // namespace
