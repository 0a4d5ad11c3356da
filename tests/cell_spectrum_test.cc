// Cells of spectrum channels: members, statistics, value limits, number
// forms, the zero check, the ROI diagnostic and the parameter capture.
#include <cstdio>
#include <cstring>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace daq::test {
namespace {

using Cells = std::vector<std::string>;

// A run of one channel "C" (sub-channel `sub`) with one event per entry of
// `events`, each entry being the channel's own keys; event k has the ID
// id0 + k and the macro-pulse number 100 + k.
std::string channel_run(const Cells& events, int generation, uint64_t id0, int sub) {
  std::string sel = sub < 0 ? "C" : "C:" + std::to_string(sub);
  std::string j = "{\"generation\": " + std::to_string(generation) +
                  ", \"channels\": [{\"name\": \"C\", \"sub\": " + std::to_string(sub) +
                  "}], \"events\": [";
  for (size_t k = 0; k < events.size(); ++k) {
    j += std::string(k != 0 ? "," : "") + "{\"id\": " + std::to_string(id0 + k) +
         ", \"type\": 1, \"sec\": 1700000000, \"channels\": {\"" + sel +
         "\": {\"type\": 3, \"block\": {\"mpulse\": " + std::to_string(100 + k) + "}, " +
         events[k] + "}}}";
  }
  return j + "]}";
}

// Lines of `text` that start with `prefix`, with their line ends.
Cells lines_with(const std::string& text, const std::string& prefix) {
  Cells found;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line + "\n");
  }
  return found;
}

// "%.e" of each value, separated by spaces; the JSON array of the values.
std::string e0_list(const std::vector<float>& values) {
  std::string s;
  for (float v : values) {
    char text[32];
    std::snprintf(text, sizeof text, "%.e", static_cast<double>(v));
    s += (s.empty() ? "" : " ") + std::string(text);
  }
  return s;
}
std::string json_list(const std::vector<float>& values) {
  std::string s;
  for (float v : values) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    char text[16];
    std::snprintf(text, sizeof text, "\"0x%08x\"", bits);
    s += (s.empty() ? "" : ", ") + std::string(text);
  }
  return "[" + s + "]";
}

// Entry m of channel 0's parameters: "start inc ndata groups group_inc".
std::string entry(int m) {
  const vexa_spect_header_2010& h = spectprms[0].params[m];
  char text[128];
  std::snprintf(text, sizeof text, "%g %g %d %d %g", h.start, h.inc, h.ndata, h.groups,
                h.group_inc);
  return text;
}

class CellSpectrumTest : public PluginTest {
 protected:
  // Cells of a fresh run of `events` with the option words `words`.
  Cells cells(const Cells& events, std::initializer_list<std::string> words = {}, int bunch = 0,
              int generation = 2024, uint64_t id0 = 100, int sub = -1) {
    reset_run_state();
    nbunch = bunch;
    result_ = run(channel_run(events, generation, id0, sub), words);
    return cells_of(result_.table);
  }
  RunResult result_;
};

TEST_F(CellSpectrumTest, NoMembersGiveEmptyCellWithEventId) {
  Cells none = {R"("nmemb": 0, "members": [{"values": [1]}])", R"("nmemb": -1)"};
  EXPECT_EQ(cells(none), (Cells{"{}", "{}"}));
  EXPECT_EQ(eventids64[0], (std::vector<uint64_t>{100, 101}));
  EXPECT_EQ(cells(none, {"-hdf5"}), (Cells{"[]", "[]"}));
}

TEST_F(CellSpectrumTest, FailingEmptyAndSeveralMembers) {
  const std::string stat = R"("stat": {"mask": 5, "val": {"0": 0.5, "2": 3}})";
  Cells events = {
      R"("members": [{"fails": true}])",
      R"("members": [{"ndata": 0}])",
      R"("members": [{"ndata": 0, )" + stat + R"(}, {"values": [1]}])",
      R"("members": [{"values": [1]}, {"fails": true}, {"values": [3]}])",
      R"("members": [{"ndata": 0, "stat": {"mask": 0, "val": {"0": 1}}}])",
      R"("members": [{"values": [1, 2]}, {"values": [3, 4]}])",
  };
  EXPECT_EQ(cells(events), (Cells{"{No data\t,}", "{Not found\t}",
                                  "{ [0]:5.000000e-01  [2]:3.000000e+00  Not found\t[1e+00]}",
                                  "{[1e+00]\tNo data\t,[3e+00]}", "{Not found\t}",
                                  "{[1e+00 2e+00]\t[3e+00 4e+00]}"}));
  EXPECT_EQ(cells(events, {"-hdf5"}),
            (Cells{"[[],]", "[[]]", "[ [0]:5.000000e-01  [2]:3.000000e+00  [][1e+00]]",
                   "[[1e+00][],[3e+00]]", "[[]]", "[[1e+00 2e+00][3e+00 4e+00]]"}));
  EXPECT_EQ(cells(events, {"-nostat"})[2], "{Not found\t[1e+00]}");
}

TEST_F(CellSpectrumTest, StatisticsBeforeValues) {
  Cells events = {
      R"("members": [{"values": [1, 2], "stat": {"mask": 5, "val": {"0": 0.5, "2": 3}}}])",
      R"("members": [{"values": [1, 2], "stat": {"mask": 2147483648, "val": {"0": 9, "31": -1.25}}}])",
      R"("members": [{"values": [1, 2], "stat": {"mask": 0, "val": {"0": 9}}}])",
  };
  EXPECT_EQ(cells(events), (Cells{"{[ [0]:5.000000e-01 [2]:3.000000e+00 1e+00 2e+00]}",
                                  "{[ [31]:-1.250000e+00 1e+00 2e+00]}", "{[1e+00 2e+00]}"}));
  EXPECT_EQ(cells(events, {"-hdf5"})[0], "[[ [0]:5.000000e-01 [2]:3.000000e+00 1e+00 2e+00]]");
  EXPECT_EQ(cells(events, {"-nostat"}),
            (Cells{"{[1e+00 2e+00]}", "{[1e+00 2e+00]}", "{[1e+00 2e+00]}"}));
  // A negative nbunch writes no values; the statistics stay.
  EXPECT_EQ(cells(events, {}, -1),
            (Cells{"{[ [0]:5.000000e-01 [2]:3.000000e+00 ]}", "{[ [31]:-1.250000e+00 ]}", "{[]}"}));
}

TEST_F(CellSpectrumTest, ValueLimitAndGroups) {
  std::vector<float> v(120);
  std::iota(v.begin(), v.end(), 0.0f);
  Cells one = {R"("members": [{"values": )" + json_list(v) + "}]"};
  auto first = [&](int n) {
    return "{[" + e0_list(std::vector<float>(v.begin(), v.begin() + n)) + "]}";
  };
  EXPECT_EQ(cells(one), Cells{first(100)});
  EXPECT_EQ(cells(one, {}, 5), Cells{first(5)});
  EXPECT_EQ(cells(one, {}, 200), Cells{first(120)});
  EXPECT_EQ(cells(one, {}, -3), Cells{"{[]}"});
  EXPECT_EQ(cells(one, {"-dumpall"}, 5), Cells{first(120)});
  EXPECT_EQ(cells(one, {"-dumpall"}, -3), Cells{first(120)});

  // Groups of 3 values: all groups count when there are 2 or more.
  std::string twelve = json_list({v.begin(), v.begin() + 12});
  Cells groups;
  for (const char* g : {"4", "1", "0", "-2"}) {
    groups.push_back(R"("members": [{"ndata": 3, "groups": )" + std::string(g) + R"(, "values": )" +
                     twelve + "}]");
  }
  EXPECT_EQ(cells(groups), (Cells{first(12), first(3), first(3), first(3)}));
}

TEST_F(CellSpectrumTest, LargeGroupCountsDoNotOverflow) {
  // 65536 x 65536 and 65536 x 32769 values overflow 32 bits; the host gives
  // values past the list as 0.
  Cells events = {R"("members": [{"ndata": 65536, "groups": 65536, "values": [1, 2, 3]}])",
                  R"("members": [{"ndata": 65536, "groups": 32769, "values": [1, 2]}])"};
  EXPECT_EQ(cells(events, {"-xdump"}, 4),
            (Cells{"{[1e+00 2e+00 3e+00 0e+00]}", "{[1e+00 2e+00 0e+00 0e+00]}"}));
  ASSERT_NE(spectprms, nullptr);
  ASSERT_NE(spectprms[0].params, nullptr);
  EXPECT_EQ(entry(0), "0 0 65536 32769 0");
}

TEST_F(CellSpectrumTest, InvalidAndIntegerForms) {
  Cells events = {R"("members": [{"values": ["inf", "-inf", "nan", 1.5]}])"};
  EXPECT_EQ(cells(events), Cells{"{[Invalid Invalid Invalid 2e+00]}"});
  // Bits of 7, -1 (NaN), +inf, INT_MAX (NaN), -2^23 (-inf), -2^23-1,
  // FLT_MAX, -0.0 and 1.0.
  Cells bits = {R"("members": [{"values": ["0x00000007", "0xffffffff", "0x7f800000", "0x7fffffff",)"
                R"( "0xff800000", "0xff7fffff", "0x7f7fffff", "0x80000000", 1]}])"};
  const std::string ints =
      "7 Invalid Invalid Invalid Invalid -8388609 2139095039 -2147483648 1065353216";
  EXPECT_EQ(cells(bits, {"-fti", "C"}), Cells{"{[" + ints + "]}"});
  EXPECT_EQ(cells(bits, {"-fti", "C", "-hdf5"}), Cells{"[[" + ints + "]]"});
}

TEST_F(CellSpectrumTest, ExponentFormEdges) {
  EXPECT_EQ(cells({R"("members": [{"values": [12.5, 0.00042, 0, 9.5, 2.5, -0.5]}])"}),
            Cells{"{[1e+01 4e-04 0e+00 1e+01 2e+00 -5e-01]}"});
  // Negative zero, denormals, FLT_MAX and rounding at the first digit.
  std::vector<float> edges = {-0.0f,         1.4e-45f,       1.17549421e-38f, -2.9e-40f,
                              3.4028235e38f, -3.4028235e38f, 0.95f,           99.5f,
                              9.96f,         -3e-05f,        1e-30f,          15.0f};
  EXPECT_EQ(cells({R"("members": [{"values": )" + json_list(edges) + "}]"}),
            Cells{"{[" + e0_list(edges) + "]}"});
}

TEST_F(CellSpectrumTest, ZeroCheckReportsAllZeroMembers) {
  Cells events = {
      R"("members": [{"values": [0, 0, 0]}, {"values": [0, "nan", 0]}, {"ndata": 2,)"
      R"( "values": [0, 0, 5]}, {"ndata": 2, "groups": 2, "values": [0, 0, 0, 0]}, {"values": [0, 1]}])",
      R"("members": [{"values": [0]}])",
      R"("members": [{"ndata": -3, "groups": 2, "values": [1]}])"};  // no values to check
  EXPECT_EQ(cells(events, {"-zerocheck", "-dumpall"}, 0, 2024, 5000000001ULL),
            (Cells{"{[0e+00 0e+00 0e+00]\t[0e+00 Invalid 0e+00]\t[0e+00 0e+00]\t"
                   "[0e+00 0e+00 0e+00 0e+00]\t[0e+00 1e+00]}",
                   "{[0e+00]}", "{[]}"}));
  EXPECT_EQ(lines_with(result_.out, "ALL ZEROS"),
            (Cells{"ALL ZEROS for 5000000001 total_data: 3 st: 0\n",
                   "ALL ZEROS for 5000000001 total_data: 2 st: 0\n",
                   "ALL ZEROS for 5000000001 total_data: 4 st: 0\n",
                   "ALL ZEROS for 5000000002 total_data: 1 st: 0\n",
                   "ALL ZEROS for 5000000003 total_data: -6 st: 0\n"}));
  // 2010 IDs are written with "%d".
  cells({events[1]}, {"-zerocheck", "-hdf5"}, 0, 2010, 3000000000ULL);
  EXPECT_EQ(lines_with(result_.out, "ALL ZEROS"),
            Cells{"ALL ZEROS for -1294967296 total_data: 1 st: 0\n"});
  cells(events);
  EXPECT_EQ(lines_with(result_.out, "ALL ZEROS"), Cells{});
}

TEST_F(CellSpectrumTest, RoiDiagnosticForSingleMember) {
  const std::string roi =
      R"("header": {"name": "CAM.ROI"}, "roi": {"w": 64, "h": 48, "mean": 1.5, "max": 9,)"
      R"( "cofm": 2, "sig": 0.5, "start1": 0.25, "inc1": 0.5, "ndata1": 3)";
  Cells events = {roi + R"(, "mean_values": [2.25]}, "members": [{"values": [1]}])",
                  roi + R"(}, "members": [{"values": [1]}])",
                  roi + R"(}, "members": [{"values": [1]}, {"values": [2]}])"};
  EXPECT_EQ(cells(events), (Cells{"{[1e+00]}", "{[1e+00]}", "{[1e+00]\t[2e+00]}"}));
  const std::string rest =
      " MAX: 9.000000  SIGMA: 0.500000 COFM: 2.000000 start:0.250000"
      " inc:0.500000 ndata:3\n";
  EXPECT_EQ(lines_with(result_.out, "ROI "), (Cells{"ROI CAM.ROI\n", "ROI CAM.ROI\n"}));
  EXPECT_EQ(lines_with(result_.out, "IMAGE "),
            (Cells{"IMAGE 64x48 MEAN: 1.500000 (2.250000)" + rest,
                   "IMAGE 64x48 MEAN: 1.500000 (0.000000)" + rest}));
  EXPECT_NE(result_.out.find("ROI CAM.ROI\nIMAGE 64x48"), std::string::npos);
}

TEST_F(CellSpectrumTest, XdumpCapturesMemberParameters) {
  // num arrives as the sub-channel number 3: the array keeps 3 entries.
  Cells two = {R"("members": [{"start": 1, "inc": 0.5, "ndata": 2, "groups": 3,)"
               R"( "group_inc": 4, "values": [1, 2, 3, 4, 5, 6]}, {"start": 2, "values": [7]}])"};
  cells(two, {"-xdump"}, 0, 2024, 100, 3);
  ASSERT_NE(spectprms, nullptr);
  ASSERT_EQ(spectprms[0].num, 3);
  ASSERT_NE(spectprms[0].params, nullptr);
  EXPECT_EQ(entry(0), "1 0.5 2 3 4");
  EXPECT_EQ(entry(1), "2 0 1 1 0");
  EXPECT_EQ(entry(2), "0 0 0 0 0");

  // num -1 grows to the member count; the growth in the second event
  // discards the first event's entry, and a failing member records nothing.
  cells({R"("members": [{"start": 5, "values": [1]}])",
         R"("members": [{"fails": true}, {"start": 6, "values": [2]}])"},
        {"-xdump"});
  ASSERT_NE(spectprms, nullptr);
  ASSERT_EQ(spectprms[0].num, 2);
  ASSERT_NE(spectprms[0].params, nullptr);
  EXPECT_EQ(entry(0), "0 0 0 0 0");
  EXPECT_EQ(entry(1), "6 0 1 1 0");
}

}  // namespace
}  // namespace daq::test
