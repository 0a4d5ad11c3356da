// The start hooks of both generations: failures, channel table, header line,
// channel list and parameter table.
#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

namespace daq::test {
namespace {

using StartHooksTest = PluginTest;

constexpr const char* kListStart = "vexa_user_init()==== CHANNELS ==============\n";
constexpr const char* kListEnd = "vexa_user_init()===== CHANNELS END ==============\n";

std::string recording(int generation, const std::string& channels, const std::string& events = "") {
  return R"({"generation": )" + std::to_string(generation) + R"(, "channels": [)" + channels +
         R"(], "events": [)" + events + "]}";
}

bool starts_with(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

TEST_F(StartHooksTest, FailuresReturnTheirCodeAndCreateNoTable) {
  for (int generation : {2010, 2024}) {
    SCOPED_TRACE(generation);
    // No reader: nothing is parsed or printed.
    Argv args{"-hdf5"};
    StdoutCapture capture;
    capture.start();
    EXPECT_EQ(generation == 2010 ? vexa_user_init_2010(args.argc(), args.argv(), nullptr)
                                 : vexa_user_init_2024(args.argc(), args.argv(), nullptr),
              -1);
    EXPECT_EQ(capture.text(), "");
    EXPECT_FALSE(hdf5mode);

    // -5 comes with the system error on standard error.
    struct Case {
      std::string channels;
      bool bad_dir;
      std::string out;
      int rc;
    } cases[] = {
        {"", false, "CHANNELS: 0\nvexa_user_init(): no channels in the reader !!!\n", -2},
        {R"({"name": "A"}, {"name": "B"}, {"name": null})", false,
         "CHANNELS: 3\nvexa_user_init(): failed to get channel 2 !!!\n", -4},
        {R"({"name": "A"})", true,
         "CHANNELS: 1\nvexa_user_init(): failed to open file for writing\n", -5},
    };
    for (const Case& c : cases) {
      reset_run_state();
      testing::internal::CaptureStderr();
      RunResult r = c.bad_dir ? run(recording(generation, c.channels), {"-out", "no/dir/t.txt"})
                              : run(recording(generation, c.channels));
      std::string err = testing::internal::GetCapturedStderr();
      EXPECT_EQ(r.init_rc, c.rc);
      EXPECT_EQ(r.out, c.out);
      EXPECT_EQ(err ==
                    "libDAQUser: cannot write the table file no/dir/t.txt: No such file or "
                    "directory\n",
                c.bad_dir)
          << err;
      EXPECT_FALSE(file_exists("user_out.txt") || file_exists("no"));
      EXPECT_EQ(fd, nullptr);
      if (c.rc == -4) {
        EXPECT_EQ(chans, nullptr);
      }
    }
  }
}

TEST_F(StartHooksTest, WritesHeaderLineAndChannelList) {
  const std::string channels = R"({"name": "A"}, {"name": "B", "sub": 2}, {"name": "C"})";
  struct Case {
    bool hdf5;
    int outmode;
    std::string header;
  } cases[] = {
      {false, 0, "EventId\tTime\t\t\tA\tB:2\tC\n"},
      {true, 1,
       "EventId,Time,TimeISO,EvHeadStatus,SrvBlockStatus,ChanStatus,A,"
       "SrvBlockStatus,ChanStatus,B:2,SrvBlockStatus,ChanStatus,C\n"},
      {false, 2,
       "EventId\tTime\t\t\tEvHeadStatus\t\t\tSrvBlockStatus\t\t\tChanStatus\t\t\tA\t"
       "SrvBlockStatus\t\t\tChanStatus\t\t\tB:2\tSrvBlockStatus\t\t\tChanStatus\t\t\tC\n"},
      {true, 0, "EventId,Time,TimeISO,A,B:2,C\n"},
  };
  const std::string list =
      std::string("CHANNELS: 3\n") + kListStart + "[0] \t A\n[1] \t B:2\n[2] \t C\n" + kListEnd;
  for (int generation : {2010, 2024}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message()
                   << generation << " hdf5 " << c.hdf5 << " outmode " << c.outmode);
      reset_run_state();
      outmode = c.outmode;
      RunResult r = c.hdf5 ? run(recording(generation, channels), {"-hdf5"})
                           : run(recording(generation, channels));
      EXPECT_EQ(r.init_rc, 0);
      EXPECT_EQ(r.table, c.header);
      EXPECT_TRUE(starts_with(r.out, list)) << r.out;
      EXPECT_EQ(nchans, 3);
      EXPECT_EQ(std::vector<int>(subchans, subchans + 3), (std::vector<int>{-1, 2, -1}));
      EXPECT_EQ(do_conv, nullptr);
      EXPECT_EQ(spectprms, nullptr);
    }
  }
}

TEST_F(StartHooksTest, FtiFlagsChannelsWhoseNameIsInTheList) {
  const std::string channels = R"({"name": "B"}, {"name": "BX"}, {"name": "X"})";
  struct Case {
    const char* list;
    std::vector<int> flags;
  } cases[] = {{"BX", {1, 1, 1}}, {"B", {1, 0, 0}}, {"Y;BX", {1, 1, 1}}, {"Q:b", {0, 0, 0}}};
  for (const Case& c : cases) {
    reset_run_state();
    RunResult r = run(recording(2024, channels), {"-fti", c.list});
    ASSERT_EQ(r.init_rc, 0);
    ASSERT_NE(do_conv, nullptr);
    EXPECT_EQ(std::vector<int>(do_conv, do_conv + 3), c.flags) << c.list;
  }
}

TEST_F(StartHooksTest, NodumpCreatesNoFileButListsChannels) {
  RunResult r = run(recording(2010, R"({"name": "A", "sub": 0}, {"name": "B"})"), {"-nodump"});
  EXPECT_EQ(r.init_rc, 0);
  EXPECT_FALSE(file_exists("user_out.txt"));
  EXPECT_TRUE(starts_with(
      r.out, std::string("CHANNELS: 2\n") + kListStart + "[0] \t A:0\n[1] \t B\n" + kListEnd))
      << r.out;
}

TEST_F(StartHooksTest, XdumpBuildsParameterTable) {
  RunResult r = run(recording(2024, R"({"name": "A"}, {"name": "B", "sub": 0}, {"name": "C",
                                       "sub": 7})"),
                    {"-xdump"});
  ASSERT_EQ(r.init_rc, 0);
  ASSERT_NE(spectprms, nullptr);
  const int subs[] = {-1, 0, 7};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(spectprms[i].name, chans[i]);
    EXPECT_EQ(spectprms[i].num, subs[i]);
    EXPECT_EQ(spectprms[i].params, nullptr);
    EXPECT_EQ(spectprms[i].iparams, nullptr);
  }
}

TEST_F(StartHooksTest, EmptiesEventIdListsOfTheRunsChannels) {
  for (int i = 0; i < 3; ++i) {
    eventids[i] = {1, 2, 3};
    eventids64[i] = {4, 5};
  }
  const size_t capacity = eventids[1].capacity();
  RunResult r = run(recording(2010, R"({"name": "A"}, {"name": "B"})"));
  ASSERT_EQ(r.init_rc, 0);
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(eventids[i].empty() && eventids64[i].empty()) << i;
  EXPECT_EQ(eventids[1].capacity(), capacity);
}

TEST_F(StartHooksTest, RunWithMoreThan4096Channels) {
  constexpr int kChannels = 4100;
  std::string channels;
  for (int i = 0; i < kChannels; ++i)
    channels += (i ? "," : "") + std::string(R"({"name": "C)") + std::to_string(i) + R"("})";
  // The last channel carries data: its event ID must not be kept anywhere.
  std::string event = R"({"id": 9, "channels": {"C4099": {"type": 2, "single": 1.5,
                         "block": {"mpulse": 77}}}})";
  RunResult r = run(recording(2024, channels, event), {"-nodump"});
  ASSERT_EQ(r.init_rc, 0);
  EXPECT_EQ(r.loop_rc, std::vector<int>{0});
  const std::string count = "CHANNELS: 4100\n";
  ASSERT_TRUE(starts_with(r.out, count));
  size_t warning_end = r.out.find('\n', count.size());
  // Exactly one warning line between the count and the channel list.
  EXPECT_EQ(r.out.compare(warning_end + 1, std::string(kListStart).size(), kListStart), 0)
      << r.out.substr(0, 300);
  EXPECT_NE(r.out.find("[4099] \t C4099\n"), std::string::npos);
  EXPECT_EQ(nchans, kChannels);
  size_t kept = 0;
  for (const auto& list : eventids64) kept += list.size();
  EXPECT_EQ(kept, 0u);
}

TEST_F(StartHooksTest, LongNamesAreWrittenInFull) {
  const std::string long_name(300, 'N');
  const std::string mid_name(90, 'M');
  const std::string channels =
      R"({"name": ")" + long_name + R"(", "sub": 12345}, {"name": ")" + mid_name + R"("})";
  const std::string event = R"({"id": 1, "channels": {")" + long_name +
                            R"(:12345": {"type": 2, "single": 2.5, "block": {"mpulse": 31}}}})";
  RunResult r = run(recording(2024, channels, event));
  ASSERT_EQ(r.init_rc, 0);
  EXPECT_TRUE(
      starts_with(r.table, "EventId\tTime\t\t\t" + long_name + ":12345\t" + mid_name + "\n"))
      << r.table;
  EXPECT_NE(r.out.find("[0] \t " + long_name + ":12345\n"), std::string::npos);
  // The channel is found by its full selector, so its event ID is kept.
  EXPECT_EQ(eventids64[0], std::vector<uint64_t>{31});
}

}  // namespace
}  // namespace daq::test
