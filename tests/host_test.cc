// The reference host: recordings, refusals, data access and the XML writer.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <pugixml.hpp>

#include "number_format.h"
#include "test_support.h"
#include "vexa_daq_data.h"
#include "vexa_daq_reader_2010.h"

namespace {

using daq::test::make_run;

std::string refusal(const std::string& json) {
  std::string error;
  EXPECT_EQ(vexa_parse_run(json, "r.run.json", &error), nullptr);
  return error;
}

TEST(Recording, RefusesWithFilePlaceAndReason) {
  struct Case {
    const char* json;
    const char* error;
  } cases[] = {
      {"{\"generation\": 2024,\n \"channels\": [}", "r.run.json: line 2, column 15: "},
      {R"({"generation": 2017, "channels": [], "events": []})",
       "r.run.json: generation: unknown generation 2017"},
      {R"({"generation": 2024, "channels": [], "events": [{"id": "7"}]})",
       "r.run.json: event 0.id: expected an integer, found a string"},
      {R"({"generation": 2010, "channels": [], "events": [{"id": 4294967296}]})",
       "r.run.json: event 0.id: number out of range"},
      {R"({"generation": 2024, "channels": [], "events": [{"id": 1, "channels":
          {"S": {"type": 3, "members": [{"values": [1, "0x12"]}]}}}]})",
       "r.run.json: event 0.channels.S.members[0].values[1]: bad float text \"0x12\""},
      {R"({"generation": 2024, "channels": [], "events": [{"id": 1, "channels":
          {"C": {"type": 4, "image": {"data": "0g"}}}}]})",
       "r.run.json: event 0.channels.C.image.data: bad hex digit at offset 0"},
      {R"({"generation": 2024, "channels": [{"sub": 1}], "events": []})",
       "r.run.json: channels[0]: missing required key \"name\""},
      {R"({"generation": 2024, "channels": [], "descriptions": [{"daq_name": "A", "x": true}],
          "events": []})",
       "r.run.json: descriptions[0].x: expected a string or a number, found a boolean"},
  };
  for (const Case& c : cases) {
    std::string error = refusal(c.json);
    EXPECT_EQ(error.substr(0, std::strlen(c.error)), c.error) << c.json;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(Recording, FloatTextsAndDefaults) {
  auto run = make_run(R"({"generation": 2010, "channels": [{"name": "A"}, {"name": "A", "sub": 2},
      {"name": null}], "events": [{"id": 3, "channels": {"A": {"type": 3, "members": [
      {"groups": 2, "values": ["nan", "-inf", "0x0000002a", 1e300]}]}}}]})");
  ASSERT_NE(run, nullptr);
  const vexa_run_member& m = run->events[0].channels.at("A").members[0];
  EXPECT_TRUE(std::isnan(m.values[0]));
  EXPECT_EQ(m.values[1], -INFINITY);
  EXPECT_EQ(daq::fmt::float_bits(m.values[2]), 42);
  EXPECT_EQ(m.values[3], INFINITY);  // rounded to the nearest float
  EXPECT_EQ(m.ndata, 2);             // values / groups
  // One default description per distinct channel name.
  ASSERT_EQ(run->descr_list.size(), 1u);
  EXPECT_STREQ(run->descr_list[0]->daq_name, "A");

  vexa_daq_reader_2010 reader(run.get());
  int sub = 0;
  EXPECT_EQ(reader.get_number_of_channels(), 3);
  EXPECT_STREQ(reader.get_channel_name(1, &sub), "A");
  EXPECT_EQ(sub, 2);
  EXPECT_EQ(reader.get_channel_name(2, &sub), nullptr);
  EXPECT_EQ(reader.get_number_of_events(), 1);
}

TEST(Recording, AppendAddsCountsAndSelectKeepsOrder) {
  auto run = make_run(R"({"generation": 2024, "channels": [{"name": "A"}, {"name": "B", "sub": 1}],
      "empty_events": 2, "events": [{"id": 1}]})");
  auto more = make_run(R"({"generation": 2024, "channels": [], "empty_events": 1,
      "reported_events": 10, "events": [{"id": 2}]})");
  auto other = make_run(R"({"generation": 2010, "channels": [], "events": []})");
  std::string error;
  ASSERT_TRUE(vexa_append_run(*run, std::move(*more), "more", &error));
  EXPECT_FALSE(vexa_append_run(*run, std::move(*other), "other", &error));
  vexa_daq_reader_2024 reader(run.get());
  EXPECT_EQ(reader.get_number_of_events(), 11);
  EXPECT_EQ(reader.get_number_of_empty_events(), 3);
  EXPECT_EQ(run->events.size(), 2u);
  ASSERT_TRUE(vexa_select_channels(*run, {"B:1", "A"}, &error));
  EXPECT_EQ(vexa_selector(run->channels[0]), "B:1");
  EXPECT_FALSE(vexa_select_channels(*run, {"B"}, &error));
}

TEST(DataAccess, AbsentChannelAndFailingReads) {
  auto run = make_run(R"({"generation": 2024, "channels": [], "events": [
      {"id": 9, "header_fails": true},
      {"id": 10, "fast_block": {"mpulse": 77, "fails": true},
       "channels": {"C": {"type": 2, "block": {"mpulse": 5}, "header": {"fails": true}}}}]})");
  vexa_daq_getdata data(run.get());
  ASSERT_TRUE(data.position(0));
  uint64_t id = 0;
  EXPECT_NE(data.GetEventInfo_2024(&id, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  ASSERT_TRUE(data.position(1));
  EXPECT_EQ(data.GetEventInfo_2024(&id, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(id, 10u);
  EXPECT_EQ(data.SetImage(0), 0);
  EXPECT_EQ(data.SetFast(0), 1);
  EXPECT_NE(
      data.GetServBlockInfo_2024(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  // A selector the event does not hold: type 0, zero block, the selector as name.
  EXPECT_EQ(data.SetProp("X:3"), 0);
  uint64_t mpulse = 1;
  EXPECT_EQ(
      data.GetServBlockInfo_2024(nullptr, nullptr, nullptr, &mpulse, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(mpulse, 0u);
  char* name = nullptr;
  EXPECT_EQ(data.GetChanInfo(&name, nullptr, nullptr, nullptr), 0);
  EXPECT_STREQ(name, "X:3");
  EXPECT_NE(data.GetImagePar(nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(data.SetProp("C"), 2);
  EXPECT_NE(data.GetChanInfo(&name, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(data.GetChanHead_2010(), data.ChanHeader_2010);
  EXPECT_EQ(data.GetServBlockHead_2010(), nullptr);  // a 2024 event
}

TEST(DataAccess, ImageBytesArePaddedAndPrivate) {
  auto run = make_run(R"({"generation": 2010, "channels": [], "events": [{"id": 1, "channels":
      {"C": {"type": 4, "image": {"bpp": 2, "nx": 2, "ny": 1, "data": "0102", "len": 4,
       "size": 3, "frame_head": [1,2,3,4,5,6,7,8,9,10,11,12,13,14,1.5,16,17,18,19,20,21,22,23,24,25]}}}}]})");
  vexa_daq_getdata data(run.get());
  data.position(0);
  EXPECT_EQ(data.SetProp("C"), 4);
  int len = 0;
  EXPECT_EQ(data.GetImagePar(nullptr, nullptr, nullptr, &len), 0);
  EXPECT_EQ(len, 4);
  EXPECT_EQ(data.GetImageSize(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 3);
  unsigned char* bytes = data.GetImage();
  vexa_swap2(reinterpret_cast<short*>(bytes), reinterpret_cast<short*>(bytes), 2);
  EXPECT_EQ(bytes[0], 2);
  EXPECT_EQ(bytes[1], 1);
  EXPECT_EQ(bytes[3], 0);            // zero padding, swapped
  EXPECT_EQ(data.GetImage()[0], 1);  // the recording itself is unchanged
  EXPECT_EQ(data.GetImageHeader()->scale_x, 1.5f);
  EXPECT_EQ(data.GetImageHeader()->length, 25);
}

// Twenty images that claim 256 MiB each in a few bytes of text: the host
// keeps what the recording gives and serves the rest as zeros when read.
TEST(Recording, ClaimedImageBytesCostNothingUntilRead) {
  std::string events;
  for (int k = 0; k < 20; ++k) {
    events += std::string(k == 0 ? "" : ",") + R"({"id": )" + std::to_string(k + 1) +
              R"(, "channels": {"C": {"type": 4, "image": {"bpp": 1, "nx": 16384, "ny": 16384,
                 "len": 268435456, "data": "07"}}}})";
  }
  auto run =
      make_run(R"({"generation": 2024, "channels": [{"name": "C"}], "events": [)" + events + "]}");
  ASSERT_NE(run, nullptr);
  size_t kept = 0;
  for (const vexa_run_event& e : run->events) kept += e.channels.begin()->second.image->data.size();
  EXPECT_LT(kept, 1000u);
  vexa_daq_getdata data(run.get());
  data.position(19);
  ASSERT_EQ(data.SetProp("C"), 4);
  int len = 0;
  EXPECT_EQ(data.GetImagePar(nullptr, nullptr, nullptr, &len), 0);
  EXPECT_EQ(len, 268435456);
  unsigned char* bytes = data.GetImage();
  EXPECT_EQ(bytes[0], 7);
  EXPECT_EQ(bytes[len - 1], 0);
}

// Running out of memory while loading is a refusal like any other.  The
// child process gets an address-space limit that the parsed document cannot
// fit in; the sanitizers reserve address space of their own, so they skip it.
TEST(Recording, OutOfMemoryIsARefusal) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
#else
  std::string text = R"({"generation": 2024, "channels": [], "events": [], "x": [0)";
  text.reserve(16u << 20);
  while (text.size() < (16u << 20) - 8) text += ",0";
  text += "]}";
  EXPECT_EXIT(
      {
        long pages = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) std::_Exit(9);
        std::fclose(statm);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (48u << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(9);
        std::string error;
        auto run = vexa_parse_run(text, "big.run.json", &error);
        std::fprintf(stderr, "%s\n", error.c_str());
        std::_Exit(run == nullptr ? 2 : 0);
      },
      testing::ExitedWithCode(2), "^big.run.json: out of memory while loading the recording\n$");
#endif
}

TEST(HostFunctions, EventNamesAndIsoDates) {
  EXPECT_STREQ(event_name_itoa(0), "unknown");
  EXPECT_STREQ(event_name_itoa(1), "normal");
  EXPECT_STREQ(event_name_itoa(4), "test");
  EXPECT_STREQ(event_name_itoa(-7), "type-7");
  char buf[64];
  create_isodate_from_sec(1733632724, buf, true);
  EXPECT_STREQ(buf, "2024-12-08T04:38:44Z");
}

TEST(DescriptionWriter, WritesChannelsAndParametersEscaped) {
  auto run = make_run(R"({"generation": 2010, "channels": [],
      "descriptions": [{"daq_name": "A<&>\"", "unit": "m\"m", "gain": 0.1}], "events": []})");
  vexa_spect_header_2010 spectra[2] = {{0.1f, 2.0f, 3, 1, 0.0f}, {}};
  char name[] = "A";
  dim_params p{name, 2, spectra, nullptr};
  std::vector<dim_params*> params{&p};
  std::string path = ::testing::TempDir() + "descr.xml";
  ASSERT_EQ(dump_chan_desr(run->descr_list, path.c_str(), 2, 0, -1, nullptr, params), 0);
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(path.c_str()));
  pugi::xml_node root = doc.document_element();
  EXPECT_STREQ(root.child("channel").attribute("daq_name").value(), "A<&>\"");
  EXPECT_STREQ(root.child("channel").attribute("unit").value(), "m\"m");
  pugi::xml_node spectrum = root.child("parameters").child("spectrum");
  EXPECT_EQ(spectrum.attribute("start").as_float(), 0.1f);  // reads back exactly
  EXPECT_EQ(std::distance(root.child("parameters").begin(), root.child("parameters").end()), 2);
  EXPECT_LT(dump_chan_desr(run->descr_list, "/nonexistent/dir/d.xml", 2, 0, -1, nullptr, params),
            0);
}

}  // namespace
