// Damaged recordings, very wide runs and several runs in one process.
#include <algorithm>
#include <filesystem>
#include <string>

#include "test_support.h"

// LeakSanitizer's check, when the build has it.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace daq::test {
namespace {

namespace fs = std::filesystem;

TEST(DamagedRecording, EveryTenthOfTheFileIsRefusedWithAPlace) {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(EXAMPLES_DIR)) {
    if (entry.path().string().find(".run.json") == std::string::npos) continue;
    ++files;
    std::string text = read_file(entry.path().string());
    for (int tenth = 0; tenth < 10; ++tenth) {
      std::string error;
      auto run = vexa_parse_run(text.substr(0, text.size() * tenth / 10), "cut.run.json", &error);
      EXPECT_EQ(run, nullptr) << entry.path() << " " << tenth;
      EXPECT_EQ(error.rfind("cut.run.json: ", 0), 0u) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
  }
  EXPECT_GE(files, 3);
}

class RepeatedRunTest : public PluginTest {
 protected:
  RunResult run_file(const std::string& name, std::initializer_list<std::string> words) {
    std::string error;
    auto r = vexa_load_run(EXAMPLES_DIR "/" + name, &error);
    EXPECT_NE(r, nullptr) << error;
    return r != nullptr ? run(*r, words) : RunResult{};
  }
};

// A host may run the plug-in again and again: the second run of the same
// recording gives the same files, and nothing is left behind.
TEST_F(RepeatedRunTest, RunsOfDifferentShapesInOneProcess) {
  auto files = [] {
    return read_file("user_out.txt") + "|" + read_file("user_evids.txt") + "|" +
           read_file("user_descr.xml");
  };
  RunResult first = run_file("camera-2024.run.json", {"-hdf5", "-xdump", "-imdump", "-evstat"});
  ASSERT_EQ(first.init_rc, 0);
  const std::string first_files = files();

  // 5000 channels with names of 300 characters, in between.
  std::string channels, data;
  for (int i = 0; i < 5000; ++i) {
    std::string name = std::string(296, 'W') + std::to_string(1000 + i);
    channels += std::string(i ? "," : "") + R"({"name": ")" + name + R"("})";
    if (i % 7 == 0) {
      data += std::string(data.empty() ? "" : ",") + R"(")" + name +
              R"(": {"type": 2, "single": 1.5, "block": {"mpulse": 3}})";
    }
  }
  RunResult wide = run(R"({"generation": 2010, "channels": [)" + channels +
                       R"(], "events": [{"id": 1, "channels": {)" + data + "}}]}");
  ASSERT_EQ(wide.init_rc, 0);
  EXPECT_EQ(wide.loop_rc, std::vector<int>{0});
  EXPECT_EQ(std::count(wide.table.begin(), wide.table.end(), '\n'), 2);
  EXPECT_NE(wide.table.find(std::string(296, 'W') + "5999\n"), std::string::npos);

  for (int k = 0; k < 3; ++k) {
    RunResult again = run_file("camera-2024.run.json", {"-hdf5", "-xdump", "-imdump", "-evstat"});
    // The efficiency and bad-channel count span every run of the library.
    auto before_efficiency = [](const std::string& out) {
      return out.substr(0, out.find("Event efficiency"));
    };
    EXPECT_EQ(before_efficiency(again.out), before_efficiency(first.out));
    EXPECT_EQ(files(), first_files);
  }
  if (__lsan_do_recoverable_leak_check != nullptr) {
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
  }
}

}  // namespace
}  // namespace daq::test
