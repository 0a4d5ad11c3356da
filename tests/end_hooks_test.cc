// The end hooks: statistics, efficiency, the event-ID file and the XML
// description file.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <pugixml.hpp>
#include <string>
#include <utility>

#include "test_support.h"

namespace daq::test {
namespace {

namespace fs = std::filesystem;

using EndHooksTest = PluginTest;

char kNameA[] = "A";
char kNameB[] = "B";

// Runs the 2010 start hook (unless `args` is null), then `between`, then the
// end hook, with standard output in `out`.  Gives both hook results.
std::pair<int, int> hooks_2010(
    vexa_run* r, Argv* args, std::string* out, const std::function<void()>& between = [] {}) {
  vexa_daq_reader_2010 reader(r);
  StdoutCapture capture;
  capture.start();
  int init_rc = args != nullptr ? vexa_user_init_2010(args->argc(), args->argv(), &reader) : 0;
  between();
  int end_rc = vexa_user_end_2010(&reader);
  *out = capture.text();
  return {init_rc, end_rc};
}

// Standard output of the 2010 end hook for a reader reporting `events`.
std::string end_2010_output(int events, int empty) {
  std::unique_ptr<vexa_run> r =
      make_run(R"({"generation": 2010, "channels": [], "events": [], "reported_events": )" +
               std::to_string(events) + R"(, "empty_events": )" + std::to_string(empty) + "}");
  std::string out;
  EXPECT_EQ(hooks_2010(r.get(), nullptr, &out).second, 0);
  return out;
}

// The names of the <tag> elements under the XML root, each with `attr`.
std::string list_of(const pugi::xml_document& doc, const char* tag, const char* attr) {
  std::string names;
  for (pugi::xml_node n : doc.document_element().children(tag)) {
    names += std::string(n.attribute(attr).value()) + ",";
  }
  return names;
}

int open_descriptors() {
  auto it = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(it, std::filesystem::directory_iterator()));
}

TEST_F(EndHooksTest, PrintsStatisticsAndEfficiency) {
  constexpr uint64_t kNone = ~uint64_t{0};
  struct Case {
    int events;
    uint64_t first, last;
    int bad;
    std::string efficiency;  // "" when no line
  } cases[] = {
      {100, 100, 199, 0, "100.000000"},
      {5, 7, 7, 0, "inf"},            // divisor 0
      {1, 7, 7, 0, "nan"},            // 0 / 0, with or without sign
      {0, 0, 0, 0, "-inf"},           // no event at all
      {10, 200, 100, 0, "0.000000"},  // the divisor wraps around
      {10, 200, 100, 20, "-0.000000"},
      {INT_MIN, 0, 1, 1, "214748364800.000000"},  // signed 32-bit numerator wraps
      {2, 1, 4, 0, "33.333336"},                  // single precision
      {3, kNone, 5, 0, ""},
      {3, 5, kNone, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.events << " " << c.first << " " << c.last);
    first_event = c.first;
    last_event = c.last;
    bad_chans = c.bad;
    std::string out = end_2010_output(c.events, 4);
    std::string head =
        "READER FINISHED statistics: events: " + std::to_string(c.events) + "  empty_events:4\n";
    std::string tail = "   Bad chans: " + std::to_string(c.bad) + "\n";
    if (out.find("-nan") != std::string::npos) out.erase(out.find("-nan"), 1);
    std::string line = c.efficiency.empty() ? "" : "Event efficiency: " + c.efficiency + " \n";
    EXPECT_EQ(out, head + line + tail);
  }
}

TEST_F(EndHooksTest, WritesEventIdFile) {
  evstatdump = true;
  nchans = 2;
  chans = static_cast<char**>(std::malloc(2 * sizeof(char*)));
  chans[0] = kNameA;
  chans[1] = kNameB;
  eventids[0] = {5, 7, 9};
  end_2010_output(0, 0);
  EXPECT_EQ(read_file("user_evids.txt"), "Chan:A\t5,7,9\nChan:B\t\n");

  reset_run_state();
  evstatdump = true;
  end_2010_output(0, 0);
  EXPECT_EQ(read_file("user_evids.txt"), "\n");

  // 2024: full 64-bit numbers; the sub-channel number is not written.
  reset_run_state();
  run(R"({"generation": 2024, "channels": [{"name": "A"}, {"name": "B", "sub": 3}], "events": [
    {"id": 1, "type": 1, "sec": 0, "usec": 0, "status": 0, "channels": {
      "A": {"type": 1, "block": {"mpulse": 8589934593}}, "B:3": {"type": 1, "block": {"mpulse": 1}}}},
    {"id": 2, "type": 1, "sec": 0, "usec": 0, "status": 0, "channels": {
      "A": {"type": 1, "block": {"mpulse": 2}}}}]})",
      {"-evstat"});
  EXPECT_EQ(read_file("user_evids.txt"), "Chan:A\t8589934593,2\nChan:B\t1\n");
}

TEST_F(EndHooksTest, GoesOnWhenEventIdFileCannotBeCreated) {
  char missing[] = "nodir/ids.txt";
  fileids = missing;
  int descriptors = open_descriptors();
  testing::internal::CaptureStderr();
  RunResult r = run(R"({"generation": 2010, "channels": [{"name": "A"}], "events": [
    {"id": 1, "type": 1, "sec": 0, "usec": 0, "status": 0, "channels": {}}]})",
                    {"-evstat", "-xdump"});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(r.end_rc, -1);  // the rest is written, and the run still fails
  EXPECT_NE(err.find("libDAQUser: cannot write the event-ID file nodir/ids.txt: No such file or "
                     "directory\n"),
            std::string::npos)
      << err;
  EXPECT_NE(r.out.find("vexa_user_end2010(): failed to open event IDs file for writing\n"),
            std::string::npos);
  EXPECT_EQ(open_descriptors(), descriptors);                      // the table file is closed
  EXPECT_EQ(std::count(r.table.begin(), r.table.end(), '\n'), 2);  // header and row
  // No channel carried parameters: the description file is still written.
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file("user_descr.xml"));
  EXPECT_EQ(list_of(doc, "channel", "daq_name") + list_of(doc, "parameters", "name"), "A,");
}

// Every output the run asked for and did not get fails the end hook; the
// messages stay those of the failure, and a sound run still ends with 0.
// (The table file on a full disk: EventLoopTest.FullDiskFailsEveryLaterEvent.)
TEST_F(EndHooksTest, FailedOutputFailsTheRun) {
  const std::string kRun = R"({"generation": 2024, "channels": [{"name": "CAM"}], "events": [
    {"id": 1, "type": 1, "sec": 0, "usec": 0, "status": 0, "channels": {"CAM": {"type": 4,
      "block": {"mpulse": 1}, "image": {"bpp": 1, "nx": 2, "ny": 1, "data": "0102"}}}}]})";
  struct Case {
    std::initializer_list<std::string> words;
    int end_rc;
    const char* message;  // on standard output
  };
  fs::create_directory("images");
  const Case cases[] = {
      {{"-evstat", "-xdump", "-imdump", "images"}, 0, ""},
      {{"-xdump", "nodir/descr.xml"}, -1, "Failed to dump XML description file error:"},
      {{"-imdump", "nosuchdir"}, -1, "Failed to dump image CAM to file\n"},
      {{"-imdump", "images", "-imbin", "-nodump"}, 0, ""},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    RunResult r = run(kRun, c.words);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.init_rc, 0);
    EXPECT_EQ(r.loop_rc, std::vector<int>{0});  // a failed image store does not fail its event
    EXPECT_EQ(r.end_rc, c.end_rc) << *c.words.begin() << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    reset_run_state();
  }
  // The event-ID file on a full disk.
  fs::remove("user_evids.txt");
  fs::create_symlink("/dev/full", "user_evids.txt");
  RunResult r = run(kRun, {"-evstat", "-nodump"});
  EXPECT_EQ(r.end_rc, -1);
  EXPECT_NE(r.out.find("vexa_user_end_2024(): failed to write event IDs file"), std::string::npos)
      << r.out;
}

TEST_F(EndHooksTest, SelectsDescriptionsAndParameters) {
  // The second "A" description comes after the channel count is reached.
  std::unique_ptr<vexa_run> r = make_run(R"({"generation": 2010,
    "channels": [{"name": "A"}, {"name": "B", "sub": 0}, {"name": "B", "sub": 1}, {"name": "C"}],
    "descriptions": [{"daq_name": "C"}, {"daq_name": "B", "unit": "mm"}, {"daq_name": "A"},
                     {"daq_name": "A", "unit": "late"}, {"daq_name": "D"}],
    "events": []})");
  Argv args{"-xdump", "descr.xml"};
  std::string out;
  auto rc = hooks_2010(r.get(), &args, &out, [] {
    if (spectprms == nullptr) return;
    using Spectrum = vexa_spect_header_2010;
    spectprms[0].num = 2;  // kept
    spectprms[0].params = static_cast<Spectrum*>(std::calloc(2, sizeof(Spectrum)));
    spectprms[1].params = static_cast<Spectrum*>(std::calloc(1, sizeof(Spectrum)));  // num 0
    spectprms[2].params = static_cast<Spectrum*>(std::calloc(1, sizeof(Spectrum)));
    spectprms[2].name = nullptr;  // no name: left out
    spectprms[3].num = 1;         // kept
    spectprms[3].iparams =
        static_cast<vexa_image_ext_frame_head*>(std::calloc(1, sizeof(vexa_image_ext_frame_head)));
  });
  EXPECT_EQ(rc, std::make_pair(0, 0));
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file("descr.xml"));
  EXPECT_EQ(list_of(doc, "channel", "daq_name"), "C,B,B,A,");
  EXPECT_EQ(list_of(doc, "parameters", "name"), "A,C,");
  EXPECT_EQ(list_of(doc, "parameters", "num"), "2,1,");
}

TEST_F(EndHooksTest, SurvivesFailedStartHook) {
  std::unique_ptr<vexa_run> r = make_run(R"({"generation": 2010,
    "channels": [{"name": "A"}, {"name": null}], "events": []})");
  Argv args{"-evstat", "-xdump"};
  std::string out;
  EXPECT_EQ(hooks_2010(r.get(), &args, &out), std::make_pair(-4, 0));
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file("user_descr.xml"));
  EXPECT_EQ(list_of(doc, "channel", "daq_name"), "");
}

}  // namespace
}  // namespace daq::test
