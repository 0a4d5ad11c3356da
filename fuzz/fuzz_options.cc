// Arbitrary option words into the plug-in's option parser.  The input is
// split at zero bytes into argv[1..]; argv[0] is fixed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daq_user.h"
#include "options.h"
#include "run_state.h"

namespace {

// "-fti" followed by a word with "-" ends the process by design; such
// vectors are skipped rather than run in a forked child, which would cost a
// fork per input.
bool ends_process(const std::vector<char*>& argv) {
  for (size_t i = 1; i + 1 < argv.size(); ++i) {
    if (std::strcmp(argv[i], "-fti") == 0 && std::strchr(argv[i + 1], '-') != nullptr) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"libDAQUser.so"};
  words.emplace_back();
  for (size_t k = 0; k < size; ++k) {
    if (data[k] == 0) {
      words.emplace_back();
    } else {
      words.back() += static_cast<char>(data[k]);
    }
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  if (ends_process(argv)) return -1;  // -1: not added to the corpus

  zerocheck = imbin = evstatdump = nodump = dallval = nostat = nonvn = hdf5mode = imdump = dumpxml =
      false;
  daq::restore_default_names();
  ftilist = nullptr;
  daq::parse_options(static_cast<int>(argv.size()), argv.data());
  // Every name the parser set is a copy of a word of argv (never the word
  // itself) or still its default.
  auto from_argv = [&](const char* name) {
    bool equal = false;
    for (char* w : argv) {
      if (w == name) return false;
      equal = equal || std::strcmp(w, name) == 0;
    }
    return equal;
  };
  if (!from_argv(file) && std::strcmp(file, "./user_out.txt") != 0) std::abort();
  if (!from_argv(imdir) && std::strcmp(imdir, "./") != 0) std::abort();
  if (!from_argv(xfile) && std::strcmp(xfile, "./user_descr.xml") != 0) std::abort();
  if (ftilist != nullptr && !from_argv(ftilist)) std::abort();
  daq::restore_default_names();
  ftilist = nullptr;
  return 0;
}
