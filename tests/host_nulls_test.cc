// A host that hands back null where the reference host never does: a null
// event-type name and a null entry in its description list.
#include <pugixml.hpp>
#include <string>

#include "test_support.h"

// This program's own event_name_itoa takes the host's place: it knows no
// name for type 9.
const char* event_name_itoa(int type) { return type == 1 ? "normal" : nullptr; }

namespace daq::test {
namespace {

using HostNullsTest = PluginTest;

TEST_F(HostNullsTest, NullEventTypeNameIsAnEmptyName) {
  RunResult r = run(R"({"generation": 2024, "channels": [{"name": "A"}], "events": [
    {"id": 5, "type": 9, "sec": 1, "usec": 2, "status": 0, "channels": {}},
    {"id": 6, "type": 1, "sec": 1, "usec": 3, "status": 0, "channels": {}}]})");
  EXPECT_EQ(r.loop_rc, (std::vector<int>{0, 0}));
  EXPECT_NE(r.table.find("\n[]5\t\t1:2\t"), std::string::npos) << r.table;
  EXPECT_NE(r.table.find("\n[normal]6\t\t1:3\t"), std::string::npos) << r.table;
}

TEST_F(HostNullsTest, NullDescriptionIsSkipped) {
  std::unique_ptr<vexa_run> recording = make_run(R"({"generation": 2010,
    "channels": [{"name": "A"}, {"name": "B"}],
    "descriptions": [{"daq_name": "B", "unit": "mm"}, {"daq_name": "A"}], "events": []})");
  vexa_daq_reader_2010 reader(recording.get());
  std::vector<chan_descr_2010*>* list = reader.get_descr_list();
  ASSERT_NE(list, nullptr);
  list->insert(list->begin() + 1, nullptr);
  Argv args{"-xdump"};
  StdoutCapture capture;
  capture.start();
  ASSERT_EQ(vexa_user_init_2010(args.argc(), args.argv(), &reader), 0);
  EXPECT_EQ(vexa_user_end_2010(&reader), 0);
  capture.text();
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file("user_descr.xml"));
  std::string names;
  for (pugi::xml_node n : doc.document_element().children("channel")) {
    names += std::string(n.attribute("daq_name").value()) + ",";
  }
  EXPECT_EQ(names, "B,A,");
}

}  // namespace
}  // namespace daq::test
