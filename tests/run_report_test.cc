// What a run tells on standard error: failed outputs named with the
// system's reason, image failures counted per cause, the counted stdout
// diagnostics per channel, warnings about option words.  Standard output
// stays byte for byte what it is without these lines.
#include "run_report.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace daq::test {
namespace {

using RunReportTest = PluginTest;

// Two events: CAM carries an image, BAD is a bad channel without image
// parameters in both, EQ fails its structured-data conversion in the second.
const char kRun[] = R"({"generation": 2024, "channels": [{"name": "CAM"}, {"name": "BAD"},
  {"name": "EQ"}], "events": [
  {"id": 11, "type": 1, "sec": 1733632724, "usec": 0, "status": 0, "channels": {
    "CAM": {"type": 4, "image": {"bpp": 1, "nx": 2, "ny": 1, "data": "0102"}},
    "BAD": {"type": 2, "single": 1.5, "header": {"status": 4}},
    "EQ": {"type": 5}}},
  {"id": 12, "type": 1, "sec": 1733632724, "usec": 9, "status": 0, "channels": {
    "CAM": {"type": 4, "image": {"bpp": 1, "nx": 2, "ny": 1, "data": "0304"}},
    "BAD": {"type": 2, "single": 2.5, "header": {"status": 4}},
    "EQ": {"type": 5, "convertible": false}}}]})";

struct Streams {
  RunResult result;
  std::string err;
};

class Runner : public RunReportTest {
 protected:
  Streams run_words(std::initializer_list<std::string> words) {
    reset_run_state();
    testing::internal::CaptureStderr();
    Streams s;
    s.result = run(kRun, words);
    s.err = testing::internal::GetCapturedStderr();
    return s;
  }
};

TEST_F(Runner, CountedMessagesGetOneSummaryLineEach) {
  Streams s = run_words({});
  ASSERT_EQ(s.result.end_rc, 0);
  EXPECT_EQ(s.err,
            "libDAQUser: 2 bad channel readouts without image parameters (\"No image parameters "
            "availanle\"): BAD 2 (first event 11)\n"
            "libDAQUser: 1 structured-data block not converted (\"!!!Failed to extract data of "
            "type EqData!!!\"): EQ 1 (first event 12)\n");
  // Each stdout message stays, once per occurrence.
  EXPECT_NE(s.result.out.find("No image parameters availanle\nNo image parameters availanle\n"),
            std::string::npos)
      << s.result.out;
  EXPECT_NE(s.result.out.find("!!!Failed to extract data of type EqData (2024)!!!\n"),
            std::string::npos);
  // The next run starts from nothing.
  s = run_words({"-nodump"});
  EXPECT_EQ(s.err.find("structured-data"), std::string::npos) << s.err;
}

TEST_F(Runner, FailedImagesAreOneLinePerCauseWithStdoutUnchanged) {
  Streams good = run_words({"-imdump", "."});
  Streams bad = run_words({"-imdump", "nodir"});
  EXPECT_EQ(bad.result.end_rc, -1);
  const std::string line =
      "libDAQUser: 2 image files not written in nodir: No such file or directory (first "
      "nodir/CAM_11_";
  // The folder is named first, by the start hook.
  const std::string early =
      "libDAQUser: warning: image folder nodir (-imdump): No such file or directory; no image "
      "file will be written\n";
  EXPECT_EQ(bad.err.rfind(early + line, 0), 0u) << bad.err;
  EXPECT_EQ(bad.err.find("libDAQUser:", early.size() + 1),
            bad.err.find("libDAQUser: 2 bad channel"))
      << bad.err;
  // Standard output differs from the good run by the one stdout line per image only.
  std::string expected = good.result.out;
  const std::string before = "vexa_user_init()===== CHANNELS END ==============\n";
  EXPECT_EQ(bad.result.out.find("Failed to dump image CAM to file\n"),
            bad.result.out.find(before) + before.size());
  std::string stripped = bad.result.out;
  for (size_t at;
       (at = stripped.find("Failed to dump image CAM to file\n")) != std::string::npos;) {
    stripped.erase(at, std::string("Failed to dump image CAM to file\n").size());
  }
  EXPECT_EQ(stripped, expected);
}

TEST_F(Runner, FailedFilesAreNamedWithTheSystemsReason) {
  Streams s = run_words({"-out", "nodir/t.txt"});
  EXPECT_EQ(s.result.init_rc, -5);
  EXPECT_EQ(s.err,
            "libDAQUser: cannot write the table file nodir/t.txt: No such file or directory\n");
  EXPECT_EQ(s.result.out, "CHANNELS: 3\nvexa_user_init(): failed to open file for writing\n");

  s = run_words({"-nodump", "-xdump", "nodir/d.xml"});
  EXPECT_EQ(s.result.end_rc, -1);
  EXPECT_NE(s.err.find("libDAQUser: cannot write the XML description nodir/d.xml: No such file "
                       "or directory\n"),
            std::string::npos)
      << s.err;
  EXPECT_NE(s.result.out.find("Failed to dump XML description file error: -2\n"),
            std::string::npos);
}

TEST_F(Runner, UnknownAndSkippedWordsAreWarnedAndChangeNothing) {
  Streams plain = run_words({"-evstat", "-nodump"});
  Streams s =
      run_words({"-hfd5", "-evstat", "-imdump", "run-5", "-xdump", "d-1.xml", "-nodump", "stray"});
  EXPECT_EQ(s.err.rfind("libDAQUser: warning: unknown option word '-hfd5' ignored\n"
                        "libDAQUser: warning: 'run-5' after -imdump is not taken as its value (a "
                        "value holds no '-'); images go to the default folder\n"
                        "libDAQUser: warning: 'd-1.xml' after -xdump is not taken as its value (a "
                        "value holds no '-'); the description goes to the default file\n"
                        "libDAQUser: warning: unknown option word 'stray' ignored\n",
                        0),
            0u)
      << s.err;
  EXPECT_EQ(s.result.out, plain.result.out);  // the same run as without the words
  EXPECT_TRUE(dumpxml && imdump);
  EXPECT_STREQ(imdir, "./");
  // A value taken, or an option word after an optional value, is no warning.
  s = run_words({"-imdump", "-nodump", "-xdump", "d.xml", "-out", "-odd-name", "-fti", "EQ"});
  EXPECT_EQ(s.err.find("warning"), std::string::npos) << s.err;
}

TEST(RunReport, ImageFailuresOutsideARunAreReportedAtOnce) {
  testing::internal::CaptureStderr();
  report::reset();
  report::image_failed("x/a.pgm", 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "libDAQUser: image file x/a.pgm not written: No such file or directory\n");
  testing::internal::CaptureStderr();
  report::start_run();
  for (int i = 0; i < 1000; ++i) report::image_failed("x/" + std::to_string(i) + ".pgm", 2);
  report::image_failed("y/b.pgm", 28);
  report::image_failed("c.pgm", 0, "name of 256 bytes or more");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  report::finish_run();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "libDAQUser: 1 image file not written in .: name of 256 bytes or more (first c.pgm)\n"
            "libDAQUser: 1000 image files not written in x: No such file or directory (first "
            "x/0.pgm)\n"
            "libDAQUser: 1 image file not written in y: No space left on device (first y/b.pgm)\n");
}

}  // namespace
}  // namespace daq::test
