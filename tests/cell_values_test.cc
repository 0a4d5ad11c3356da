// Cells of type-1 (mark) and type-2 (single value, name-value list) channels
// in tab mode and HDF5 conversion mode.
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace daq::test {
namespace {

using Cells = std::vector<std::string>;

// A run of one channel "C" with one event per entry of `events`, each entry
// being the channel's own keys; event k has the macro-pulse number 100 + k.
std::string channel_run(const Cells& events, int generation) {
  std::string j = "{\"generation\": " + std::to_string(generation) +
                  ", \"channels\": [{\"name\": \"C\"}], \"events\": [";
  for (size_t k = 0; k < events.size(); ++k) {
    std::string id = std::to_string(100 + k);
    j +=
        std::string(k != 0 ? "," : "") + "{\"id\": " + id +
        ", \"type\": 1, \"sec\": 1700000000, \"channels\": {\"C\": {\"block\": {\"mpulse\": " + id +
        "}, " + events[k] + "}}}";
  }
  return j + "]}";
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class CellValuesTest : public PluginTest {
 protected:
  // Cells of a fresh run of `events` with the option words `words`.
  Cells cells(const Cells& events, std::initializer_list<std::string> words = {},
              int generation = 2024) {
    reset_run_state();
    result_ = run(channel_run(events, generation), words);
    return cells_of(result_.table);
  }
  RunResult result_;
};

TEST_F(CellValuesTest, MarkIsOneAndTabInBothModesAndRecordsEvent) {
  Cells marks = {R"("type": 1)", R"("type": 1)"};
  EXPECT_EQ(cells(marks), (Cells{"1\t", "1\t"}));
  EXPECT_EQ(eventids64[0], (std::vector<uint64_t>{100, 101}));
  EXPECT_EQ(cells(marks, {"-hdf5"}, 2010), (Cells{"1\t", "1\t"}));
  EXPECT_EQ(eventids[0], (std::vector<int32_t>{100, 101}));
  EXPECT_EQ(result_.table.substr(result_.table.find('\n') + 1, 5), "100,1");
}

TEST_F(CellValuesTest, SingleValueAsFloatOrAsBits) {
  // The last value's bits are the integer 42: a tiny denormal as a float.
  Cells singles = {R"("type": 2, "single": 2.5)", R"("type": 2, "single": -1.5)",
                   R"("type": 2, "single": 1e10)", R"("type": 2, "single": "0x0000002a")"};
  EXPECT_EQ(cells(singles),
            (Cells{"2.500000\t", "-1.500000\t", "10000000000.000000\t", "0.000000\t"}));
  EXPECT_EQ(cells(singles, {"-hdf5"}),
            (Cells{"[[2.500000]]", "[[-1.500000]]", "[[10000000000.000000]]", "[[0.000000]]"}));
  EXPECT_EQ(cells(singles, {"-fti", "C"}),
            (Cells{"1075838976\t", "-1077936128\t", "1343554297\t", "42\t"}));
  EXPECT_EQ(cells(singles, {"-hdf5", "-fti", "X;C"}),
            (Cells{"[[1075838976]]", "[[-1077936128]]", "[[1343554297]]", "[[42]]"}));
  // Another channel's flag does not apply.
  EXPECT_EQ(cells(singles, {"-fti", "B"})[3], "0.000000\t");
}

TEST_F(CellValuesTest, NameValueListsInEveryForm) {
  Cells lists = {R"("type": 2, "pairs": [])", R"("type": 2, "pairs": [["a", 1], ["b", 2]])",
                 R"("type": 2, "pairs": [["Q2", -3.25], ["x", 0.00042], ["big", 123456]])"};
  EXPECT_EQ(cells(lists), (Cells{"\t{}", "\t{[a:1.00e+00]\t[b:2.00e+00]}",
                                 "\t{[Q2:-3.25e+00]\t[x:4.20e-04]\t[big:1.23e+05]}"}));
  // The event-ID entry is made for the empty list too.
  EXPECT_EQ(eventids64[0], (std::vector<uint64_t>{100, 101, 102}));
  EXPECT_EQ(cells(lists, {"-hdf5"}), (Cells{"[]", "[[a:1.00e+00][b:2.00e+00]]",
                                            "[[Q2:-3.25e+00][x:4.20e-04][big:1.23e+05]]"}));
  EXPECT_EQ(cells(lists, {"-nonvn"}), (Cells{"\t{}", "\t{[1.00e+00]\t[2.00e+00]}",
                                             "\t{[-3.25e+00]\t[4.20e-04]\t[1.23e+05]}"}));
  EXPECT_EQ(cells(lists, {"-nonvn", "-hdf5"})[1], "[[1.00e+00][2.00e+00]]");
  EXPECT_EQ(cells(lists, {"-fti", "C"})[1], "\t{[a:1065353216]\t[b:1073741824]}");
  EXPECT_EQ(cells(lists, {"-fti", "C", "-nonvn", "-hdf5"})[1], "[[1065353216][1073741824]]");
  EXPECT_EQ(cells({R"("type": 2, "pairs": [["only", 2.5]])"}), (Cells{"\t{[only:2.50e+00]}"}));
}

TEST_F(CellValuesTest, NullPairNameIsReportedUnlessConverted) {
  Cells lists = {R"("type": 2, "pairs": [[null, 1.5], ["b", 2]])",
                 R"("type": 2, "pairs": [[null, 1], [null, 2]])"};
  EXPECT_EQ(cells(lists), (Cells{"\t{[(null):1.50e+00]\t[b:2.00e+00]}",
                                 "\t{[(null):1.00e+00]\t[(null):2.00e+00]}"}));
  EXPECT_EQ(count(result_.out, "nm is NULL\n"), 3);
  EXPECT_EQ(cells(lists, {"-hdf5", "-nonvn"}),
            (Cells{"[[1.50e+00][2.00e+00]]", "[[1.00e+00][2.00e+00]]"}));
  EXPECT_EQ(count(result_.out, "nm is NULL\n"), 3);
  EXPECT_EQ(cells(lists, {"-fti", "C"})[0], "\t{[(null):1069547520]\t[b:1073741824]}");
  EXPECT_EQ(count(result_.out, "nm is NULL"), 0);
}

}  // namespace
}  // namespace daq::test
