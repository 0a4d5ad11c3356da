#include "hooks_run.h"

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "daq_user.h"
#include "run_state.h"
#include "scripted_host.h"

namespace scripted {

namespace {

std::string scratch;  // emptied after every run

const char* const kFlagWords[] = {"-zerocheck", "-imbin", "-evstat", "-nodump", "-dumpall",
                                  "-nostat",    "-nonvn", "-hdf5",   "-xdump",  "-imdump"};

// The option words of the run, from two bytes of the input.
std::deque<std::string> option_words() {
  unsigned bits = next_byte() | next_byte() << 8;
  std::deque<std::string> words{"libDAQUser.so"};
  for (size_t k = 0; k < std::size(kFlagWords); ++k) {
    if (bits >> k & 1u) words.emplace_back(kFlagWords[k]);
  }
  if (bits & 1u << 10) {
    words.emplace_back("-xdump");
    words.emplace_back("descr.xml");
  }
  if (bits & 1u << 11) {
    words.emplace_back("-imdump");
    words.emplace_back("img");
    std::filesystem::create_directory("img");
  }
  if (bits & 1u << 12) {
    // A list without "-": a hyphen would end the process by design.
    std::string list = next_name();
    for (char& c : list) c = c == '-' ? ';' : c;
    words.emplace_back("-fti");
    words.emplace_back(list);
  }
  if (bits & 1u << 13) {
    words.emplace_back("-out");
    words.emplace_back("table.txt");
  }
  if (bits & 1u << 14) {
    words.emplace_back("-h5");
    words.emplace_back("run.h5");
  }
  if (bits & 1u << 15) {
    words.emplace_back("-h5z");
    words.emplace_back("none");
  }
  return words;
}

void reset_run_state() {
  daq::reset_run_state();
  nbunch = 0;
  outmode = 0;
}

void empty_scratch_dir() {
  if (scratch.empty()) return;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(scratch, ec)) {
    std::filesystem::remove_all(entry.path(), ec);
  }
}

}  // namespace

std::string make_scratch_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "daqhooks-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return "";
  scratch = pattern;
  return scratch;
}

void run_hooks(const uint8_t* data, size_t size) {
  std::error_code ec;
  std::filesystem::path caller_dir = std::filesystem::current_path(ec);
  if (scratch.empty() || ec) std::abort();
  std::filesystem::current_path(scratch, ec);
  if (ec) std::abort();
  set_script(data, size);
  std::deque<std::string> words = option_words();
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  uint8_t setup = next_byte();
  bool gen2024 = setup & 1;
  outmode = setup & 2 ? next_count() : 0;
  nbunch = setup & 4 ? next_count() : 0;

  vexa_daq_reader_2010 reader2010(nullptr);
  vexa_daq_reader_2024 reader2024(nullptr);
  int argc = static_cast<int>(argv.size());
  int rc = gen2024 ? vexa_user_init_2024(argc, argv.data(), &reader2024)
                   : vexa_user_init_2010(argc, argv.data(), &reader2010);
  if (rc == 0) {
    vexa_daq_getdata event(nullptr);
    for (int e = 0; e < 4 && event.position(e); ++e) {
      // Now and then a data-access object whose generation flags disagree
      // with the run, or are both set, or neither.
      uint8_t flags = next_byte();
      event.data_2024 = flags % 8 == 0 ? (flags & 16) != 0 : gen2024;
      event.data_2010 = flags % 8 == 0 ? (flags & 32) != 0 : !gen2024;
      vexa_user_loop(&event);
    }
    if (gen2024) {
      vexa_user_end_2024(&reader2024);
    } else {
      vexa_user_end_2010(&reader2010);
    }
  }
  reset_run_state();
  empty_scratch_dir();
  std::filesystem::current_path(caller_dir, ec);
}

}  // namespace scripted
