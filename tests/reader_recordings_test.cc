// daq-reader on recordings split over several files and broken at either
// end, and what it says about the time a run took.
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using daq::test::Outcome;

class ReaderRecordingsTest : public daq::test::ScratchDirTest {
 protected:
  Outcome reader(const std::string& args) { return run_here("'" READER_PATH "' " + args); }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }

  static std::string recording(int generation, int first_id, int events) {
    std::string text = R"({"generation": )" + std::to_string(generation) +
                       R"(, "channels": [{"name": "A"}, {"name": "C"}], "events": [)";
    for (int k = 0; k < events; ++k) {
      const std::string id = std::to_string(first_id + k);
      const std::string block = R"("block": {"mpulse": )" + id + "}";
      text += std::string(k == 0 ? "" : ",") + R"({"id": )" + id +
              R"(, "channels": {"A": {"type": 2, )" + block + R"(, "single": )" +
              std::to_string(k) + R"(}, "C": {"type": 4, )" + block +
              R"(, "image": {"bpp": 1, "nx": 2, "ny": 1, "data": "0aff"}}}})";
    }
    return text + "]}\n";
  }
};

TEST_F(ReaderRecordingsTest, SeveralFilesFormOneRun) {
  write("a.run.json", recording(2024, 10, 3));
  write("b.run.json", recording(2024, 20, 2));
  Outcome o = reader("a.run.json b.run.json -- -evstat");
  ASSERT_EQ(o.status, 0) << o.err;
  std::string table = file("user_out.txt");
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 6);
  EXPECT_NE(table.find("[unknown]12\t"), std::string::npos);
  EXPECT_NE(table.find("[unknown]21\t"), std::string::npos);
  EXPECT_LT(table.find("[unknown]12\t"), table.find("[unknown]20\t"));
  EXPECT_EQ(file("user_evids.txt"), "Chan:A\t10,11,12,20,21\nChan:C\t10,11,12,20,21\n");
  EXPECT_EQ(o.err.rfind("daq-reader: 5 events, 0 failed, ", 0), 0u) << o.err;
}

// A broken byte at the start, in the middle or at the end of the last file
// stops the run before any hook has run: no output file, status 2.
TEST_F(ReaderRecordingsTest, BrokenLastFileStopsTheRunBeforeAnyHook) {
  write("a.run.json", recording(2024, 10, 3));
  const std::string good = recording(2024, 20, 40);
  std::string middle = good;
  middle[good.find("0aff", good.size() / 2)] = 'x';
  struct Case {
    std::string text, needle;
  } cases[] = {
      {"[" + good.substr(1), "b.run.json: line 1, column "},
      {middle, "b.run.json: event 19.channels.C.image.data: bad hex digit at offset 0"},
      {good.substr(0, good.size() - 2),
       "b.run.json: line 1, column " + std::to_string(good.size() - 1) +
           ": syntax error while parsing object - unexpected end of input; expected '}'"},
      {recording(2010, 20, 2), "b.run.json: generation: 2010 differs from the first recording's"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.needle);
    write("b.run.json", c.text);
    Outcome o = reader("a.run.json b.run.json -- -evstat");
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.find("daq-reader: " + c.needle), 0u) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_FALSE(fs::exists(dir_ / "user_out.txt"));
  }
}

// The summary names the whole time and its parts; a run of less than a
// second shows no progress, even when asked for.
TEST_F(ReaderRecordingsTest, SummaryGivesLoadingAndEventTimes) {
  write("a.run.json", recording(2010, 1, 4));
  for (const char* option : {"", "--progress", "--quiet --progress"}) {
    SCOPED_TRACE(option);
    Outcome o = reader(std::string(option) + " a.run.json");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(std::regex_match(
        o.err, std::regex("daq-reader: 4 events, 0 failed, [0-9]+\\.[0-9]{3} s \\(loading "
                          "[0-9]+\\.[0-9]{3} s, events [0-9]+\\.[0-9]{3} s\\)\n")))
        << o.err;
  }
}

}  // namespace
