// Shared helpers of the plug-in and host tests: runs built from JSON text,
// a clean run state, a scratch directory and captured standard output.
#ifndef DAQUSER_TESTS_TEST_SUPPORT_H_
#define DAQUSER_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "daq_user.h"
#include "vexa_run.h"

namespace daq::test {

// Parses recording text; fails the test (and returns null) when refused.
std::unique_ptr<vexa_run> make_run(const std::string& json);

// Puts every option, name, table, list and counter of the plug-in back to
// its initial value, closes the table file and releases the tables; the host
// globals nbunch and outmode go back to 0.
void reset_run_state();

// The cell of every row of a one-channel table without status columns: the
// row without its header line, event columns and line end.
std::vector<std::string> cells_of(const std::string& table);

// Reads a whole file; "" when it does not exist.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// Standard output of the plug-in between start() and text().
class StdoutCapture {
 public:
  void start();
  std::string text();  // stops capturing
};

// Option words for a start hook; argv[0] is the plug-in path.  The words
// stay valid for the life of the object (the plug-in keeps pointers to them).
class Argv {
 public:
  Argv(std::initializer_list<std::string> words);
  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::deque<std::string> words_;
  std::vector<char*> pointers_;
};

// What one in-process run gave: hook results, standard output and files.
struct RunResult {
  int init_rc = 0;
  std::vector<int> loop_rc;
  int end_rc = 0;
  std::string out;    // standard output of all hooks
  std::string table;  // ./user_out.txt, "" when not written
};

// Each test runs in a fresh scratch directory with a clean run state.
class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs start hook, per-event hook for every event and end hook of the
  // run's generation, with `words` as the plug-in's option words.
  RunResult run(const std::string& json, std::initializer_list<std::string> words = {});
  RunResult run(vexa_run& run, std::initializer_list<std::string> words = {});

  std::string dir_;  // the scratch directory, also the working directory

 private:
  std::string old_cwd_;
  std::vector<std::unique_ptr<Argv>> argvs_;
};

}  // namespace daq::test

#endif  // DAQUSER_TESTS_TEST_SUPPORT_H_
