#include "test_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "run_state.h"

namespace daq::test {

std::unique_ptr<vexa_run> make_run(const std::string& json) {
  std::string error;
  std::unique_ptr<vexa_run> run = vexa_parse_run(json, "test", &error);
  EXPECT_NE(run, nullptr) << error;
  return run;
}

void reset_run_state() {
  daq::reset_run_state();
  nbunch = 0;
  outmode = 0;
}

std::vector<std::string> cells_of(const std::string& table) {
  std::vector<std::string> cells;
  std::istringstream in(table);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    bool tab_mode = line[0] == '[';
    size_t at = 0;
    for (int n = tab_mode ? 4 : 3; n > 0; --n) at = line.find(tab_mode ? '\t' : ',', at) + 1;
    cells.push_back(line.substr(at));
  }
  return cells;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

void StdoutCapture::start() {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
}

std::string StdoutCapture::text() {
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

Argv::Argv(std::initializer_list<std::string> words) {
  words_.push_back("libDAQUser.so");
  for (const std::string& w : words) words_.push_back(w);
  for (std::string& w : words_) pointers_.push_back(w.data());
  pointers_.push_back(nullptr);
}

void PluginTest::SetUp() {
  reset_run_state();
  old_cwd_ = std::filesystem::current_path();
  std::string pattern = (std::filesystem::temp_directory_path() / "daquser-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
  std::filesystem::current_path(dir_);
}

void PluginTest::TearDown() {
  reset_run_state();
  std::filesystem::current_path(old_cwd_);
  std::filesystem::remove_all(dir_);
}

RunResult PluginTest::run(const std::string& json, std::initializer_list<std::string> words) {
  std::unique_ptr<vexa_run> r = make_run(json);
  if (r == nullptr) return {};
  return run(*r, words);
}

RunResult PluginTest::run(vexa_run& r, std::initializer_list<std::string> words) {
  RunResult result;
  argvs_.push_back(std::make_unique<Argv>(words));
  Argv& args = *argvs_.back();
  StdoutCapture capture;
  capture.start();
  vexa_daq_reader_2010 reader_2010(&r);
  vexa_daq_reader_2024 reader_2024(&r);
  bool is_2010 = r.generation == 2010;
  result.init_rc = is_2010 ? vexa_user_init_2010(args.argc(), args.argv(), &reader_2010)
                           : vexa_user_init_2024(args.argc(), args.argv(), &reader_2024);
  if (result.init_rc == 0) {
    vexa_daq_getdata data(&r);
    for (size_t k = 0; k < r.events.size(); ++k) {
      data.position(k);
      result.loop_rc.push_back(vexa_user_loop(&data));
    }
    result.end_rc = is_2010 ? vexa_user_end_2010(&reader_2010) : vexa_user_end_2024(&reader_2024);
  }
  result.out = capture.text();
  result.table = read_file(file);
  return result;
}

}  // namespace daq::test
