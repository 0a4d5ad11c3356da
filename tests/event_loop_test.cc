// The per-event hook: row framing, event columns, channel loop bookkeeping
// and its failures.
#include <string>
#include <vector>

#include "test_support.h"

namespace daq::test {
namespace {

using EventLoopTest = PluginTest;

// One event of type "normal" at time 0 unless `extra` says otherwise.
std::string ev(const std::string& id, const std::string& channels, const std::string& extra = "") {
  return R"({"id": )" + id + R"(, "type": 1, "sec": 0, "usec": 0, "status": 0, )" + extra +
         R"("channels": {)" + channels + "}}";
}

std::string recording(int generation, std::vector<std::string> names,
                      std::vector<std::string> events) {
  std::string text = R"({"generation": )" + std::to_string(generation) + R"(, "channels": [)";
  for (size_t k = 0; k < names.size(); ++k)
    text += (k ? ", " : "") + (R"({"name": ")" + names[k] + "\"}");
  text += R"(], "events": [)";
  for (size_t k = 0; k < events.size(); ++k) text += (k ? ", " : "") + events[k];
  return text + "]}";
}

// The table without its header line.
std::string rows(const std::string& table) { return table.substr(table.find('\n') + 1); }

size_t count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

constexpr const char* kEpoch = "\t\t0:0\t1970-01-01T00:00:00Z\t";  // tab mode, time 0

TEST_F(EventLoopTest, FramesRowsInBothModes) {
  // A is absent from the event (type 0), B of type 6, C of a negative type;
  // B and C are bad channels, C with image parameters.
  const std::string channels =
      R"("B": {"type": 6, "block": {"status": 171}, "header": {"status": 2}},
      "C": {"type": -1, "header": {"status": 16}, "image": {"nframe": 1, "bpp": 2, "data": "0102"}})";
  const std::string json =
      recording(2010, {"A", "B", "C"},
                {ev("42", channels, R"("sec": 1733632724, "usec": 5, "status": 31, )")});
  struct Case {
    bool hdf5;
    int outmode;
    std::string row;
  } cases[] = {
      {false, 0,
       "[normal]42\t\t1733632724:5\t2024-12-08T04:38:44Z\tNot found\tNot found\tNot found\n"},
      {false, 1,
       "[normal]42\t\t1733632724:5\t2024-12-08T04:38:44Z\t0x1F\t\t\t"
       "0x0\t\t\t0x0\t\t\tNot found\t0xAB\t\t\t0x2\t\t\tNot found\t0x0\t\t\t0x10\t\t\tNot found\n"},
      {true, 0, "42,1733632724:5,2024-12-08T04:38:44Z,[],[],[]\n"},
      {true, 5, "42,1733632724:5,2024-12-08T04:38:44Z,0x1F,0x0,0x0,[],0xAB,0x2,[],0x0,0x10,[]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "hdf5 " << c.hdf5 << " outmode " << c.outmode);
    reset_run_state();
    outmode = c.outmode;
    RunResult r = c.hdf5 ? run(json, {"-hdf5"}) : run(json);
    EXPECT_EQ(r.loop_rc, std::vector<int>{0});
    EXPECT_EQ(rows(r.table), c.row);
    // Default cells record no event IDs; bad channels are still written.
    EXPECT_TRUE(eventids[0].empty() && eventids[1].empty() && eventids[2].empty());
    EXPECT_EQ(bad_chans, 2);
    EXPECT_NE(r.out.find("No image parameters availanle\n Image.nframe:1  compr:0 bpp:2 len:2\n"),
              std::string::npos)
        << r.out;
  }
}

TEST_F(EventLoopTest, TakesEventTimeFromFastThenImageBlock) {
  const std::string event = R"("sec": 1000, "usec": 1, "status": 1, )";
  const std::string image = R"("image_block": {"sec": 2000, "usec": 2, "status": 2}, )";
  const std::string fast = R"("fast_block": {"sec": 3000, "usec": 3, "status": 3)";
  outmode = 1;
  RunResult r = run(recording(2024, {"A"},
                              {ev("5000000001", "", event), ev("2", "", event + image),
                               ev("3", "", event + image + fast + "}, "),
                               ev("4", "", event + fast + R"(, "fails": true}, )")}),
                    {"-hdf5"});
  EXPECT_EQ(rows(r.table),
            "5000000001,1000:1,1970-01-01T00:16:40Z,0x1,0x0,0x0,[]\n"
            "2,2000:2,1970-01-01T00:33:20Z,0x2,0x0,0x0,[]\n"
            "3,3000:3,1970-01-01T00:50:00Z,0x3,0x0,0x0,[]\n"
            "4,1000:1,1970-01-01T00:16:40Z,0x1,0x0,0x0,[]\n");
}

// One type-1 channel: the event ID column and the list of the generation,
// which the cell writer appends to.
TEST_F(EventLoopTest, WritesIdsAndListsOfTheGeneration) {
  const std::string v2010 = recording(
      2010, {"M"},
      {ev("0", R"("M": {"type": 1, "block": {"mpulse": -5}})"),
       ev("4294967295", R"("M": {"type": 1, "block": {"mpulse": 6}})", R"("type": 9, )")});
  RunResult r = run(v2010);
  EXPECT_EQ(rows(r.table), std::string("[normal]0") + kEpoch + "1\t\n[type9]-1" + kEpoch + "1\t\n");
  EXPECT_EQ(first_event, 4294967295u);  // the event with ID 0 left it unset
  EXPECT_EQ(last_event, 4294967295u);
  EXPECT_EQ(eventids[0], (std::vector<int32_t>{-5, 6}));
  EXPECT_TRUE(eventids64[0].empty());
  reset_run_state();
  EXPECT_EQ(count(run(v2010, {"-hdf5"}).table, "\n0,0:0,"), 1u);

  // The same macro-pulse number in consecutive events is recorded once.
  std::vector<std::string> events;
  for (std::string m : {"1099511627776", "1099511627776", "5", "1099511627776"}) {
    events.push_back(
        ev("5000000001", R"("M": {"type": 1, "block": {"mpulse": )" + m + "}}", R"("type": 2, )"));
  }
  const std::string v2024 = recording(2024, {"M"}, events);
  reset_run_state();
  r = run(v2024);
  EXPECT_TRUE(rows(r.table).starts_with(std::string("[calibration]5000000001") + kEpoch + "1\t\n"));
  EXPECT_EQ(first_event, 5000000001u);
  EXPECT_EQ(eventids64[0], (std::vector<uint64_t>{1099511627776u, 5, 1099511627776u}));
  EXPECT_TRUE(eventids[0].empty());
  reset_run_state();
  EXPECT_EQ(count(run(v2024, {"-hdf5"}).table, "\n5000000001,0:0,"), 4u);
}

TEST_F(EventLoopTest, StopsAtFailedReads) {
  for (int generation : {2010, 2024}) {
    SCOPED_TRACE(generation);
    reset_run_state();
    // The third channel's server block fails in the first event.
    RunResult r = run(recording(generation, {"A", "B", "C"},
                                {ev("1", R"("A": {"type": 1, "block": {"mpulse": 7}},
                                            "C": {"type": 6, "block": {"fails": true}})"),
                                 ev("2", "")}));
    EXPECT_EQ(r.loop_rc, (std::vector<int>{-1, 0}));
    EXPECT_EQ(rows(r.table), std::string("[normal]1") + kEpoch + "1\t\tNot found\t\n[normal]2" +
                                 kEpoch + "Not found\tNot found\tNot found\n");
    EXPECT_NE(
        r.out.find(generation == 2010 ? "vexa_user_loop(): failed to get Server Block info\n"
                                      : "vexa_user_loop(): failed to get Server Block info 2024\n"),
        std::string::npos);
    // What happened before the failure stays.
    EXPECT_EQ(eventids[0].size() + eventids64[0].size(), 1u);
  }

  // The channel header fails: that channel's server-block status stays.
  reset_run_state();
  outmode = 1;
  RunResult r =
      run(recording(
              2010, {"A", "B"},
              {ev("1", R"("B": {"type": 1, "block": {"status": 5}, "header": {"fails": true}})")}),
          {"-hdf5"});
  EXPECT_EQ(r.loop_rc, std::vector<int>{-1});
  EXPECT_EQ(rows(r.table), "1,0:0,1970-01-01T00:00:00Z,0x0,0x0,0x0,[],0x5,\n");
  EXPECT_NE(r.out.find("vexa_user_loop(): failed to get Server Block info\n"), std::string::npos);

  // The event header fails: nothing written, nothing counted.
  reset_run_state();
  r = run(recording(
      2024, {"A"},
      {ev("8", R"("A": {"type": 1, "header": {"status": 1}})", R"("header_fails": true, )")}));
  EXPECT_EQ(r.loop_rc, std::vector<int>{-1});
  EXPECT_EQ(rows(r.table), "");
  EXPECT_NE(r.out.find("vexa_user_loop(): failed to get event info\n"), std::string::npos);
  EXPECT_EQ(first_event + last_event + bad_chans + eventids64[0].size(), 0u);
}

TEST_F(EventLoopTest, NodumpKeepsBookkeepingOnly) {
  auto chan = [](int type, int mpulse) {
    return "\"T" + std::to_string(type) + R"(": {"type": )" + std::to_string(type) +
           R"(, "block": {"mpulse": )" + std::to_string(mpulse) + "}}, ";
  };
  std::string first;
  for (int type : {1, 2, 3, 4, 5, 8}) first += chan(type, 3);
  RunResult r = run(recording(2010, {"T1", "T2", "T3", "T4", "T5", "T0", "T8"},
                              {ev("10", first + R"("T0": {"type": 0, "header": {"status": 1}})"),
                               ev("12", chan(1, 4) + chan(2, 3) + R"("T8": {"type": 8})")}),
                    {"-nodump"});
  EXPECT_FALSE(file_exists("user_out.txt"));
  EXPECT_EQ(r.loop_rc, (std::vector<int>{0, 0}));
  EXPECT_EQ(first_event, 10u);
  EXPECT_EQ(last_event, 12u);
  EXPECT_EQ(bad_chans, 1);
  EXPECT_EQ(eventids[0], (std::vector<int32_t>{3, 4}));
  for (int i : {1, 2, 3}) EXPECT_EQ(eventids[i], std::vector<int32_t>{3});  // 3 twice: one entry
  EXPECT_TRUE(eventids[4].empty() && eventids[5].empty() && eventids[6].empty());
}

// Hooks called directly: the table file /dev/full cannot be read back.
TEST_F(EventLoopTest, FullDiskFailsEveryLaterEvent) {
  std::unique_ptr<vexa_run> r =
      make_run(recording(2010, {"A"}, {ev("1", ""), ev("2", ""), ev("3", "")}));
  Argv args{"-out", "/dev/full"};
  vexa_daq_reader_2010 reader(r.get());
  StdoutCapture capture;
  capture.start();
  std::vector<int> rc{vexa_user_init_2010(args.argc(), args.argv(), &reader)};
  vexa_daq_getdata data(r.get());
  for (size_t k = 0; k < 3; ++k) {
    data.position(k);
    rc.push_back(vexa_user_loop(&data));
  }
  rc.push_back(vexa_user_end_2010(&reader));
  std::string out = capture.text();
  EXPECT_EQ(rc, (std::vector<int>{0, -1, -1, -1, -1}));
  EXPECT_EQ(count(out, "vexa_user_loop(): failed to write table file: No space left on device\n"),
            1u)
      << out;
  // The end hook names itself and the file.
  EXPECT_NE(out.find("vexa_user_end_2010(): failed to write table file"), std::string::npos);
}

}  // namespace
}  // namespace daq::test
