#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daq_user.h"
#include "h5_output.h"
#include "run_state.h"

namespace {

constexpr const char* kHelp[] = {
    "-out file -zerocheck -imbin  -evstat -nodump -dumpall -nostat -nonvn -hdf5  -imdump  dir "
    "-fti LOC -xdump xfile\n",
    "file       -  file name to dump (default ./user_out.txt)\n",
    "-zerocheck  -  sets checcks for all ZEROs in spectra \n",
    "-imbin     -  dump image(s) to binary file(s) \n",
    "-evstat     -  dump event IDs for every channel \n",
    "-nodump - don't dump data to the file \n",
    "-dumpall - dump all  data values  to the file (spectrum) \n",
    "-nostat   - no statistsics info for spectrum\n",
    "-nonvn - no names for value name data\n",
    "-hdf5      - make a file for HDF5 conversion\n",
    "-imdump     -  dump image(s) to file(s) \n",
    "dir        -  directory to dump images (./ if not set) \n",
    "-fti           -  convert data from float to int for a list of channels \n",
    "LOC        -  list of channels for which make float to int conversion (separated with ; or "
    ":)\n",
    "-xdump    - dump XML description file for processes channels\n",
    "xfile       - file name to dump the  XML description file (default ./user_descr.xml)\n",
};

// Lines for the HDF5 file, after the summary above, which stays as it is.
constexpr const char* kHelpH5[] = {
    "-h5 FILE    - write the run's values into the HDF5 file FILE as well\n",
    "-h5z CODEC  - compression of the HDF5 file: gzip (default), none, lz4 or bslz4\n",
};

struct FlagOption {
  const char* word;
  bool* flag;
};

const FlagOption kFlags[] = {
    {"-zerocheck", &zerocheck}, {"-imbin", &imbin},     {"-evstat", &evstatdump},
    {"-nodump", &nodump},       {"-dumpall", &dallval}, {"-nostat", &nostat},
    {"-nonvn", &nonvn},         {"-hdf5", &hdf5mode},
};

bool takes_value(const char* word) { return std::strchr(word, '-') == nullptr; }

// An option with an optional value ("-xdump", "-imdump"): a next word without
// "-" is its value; a word with "-" is parsed as the next option.  Returns
// how far the index advances.
int optional_value(int i, int argc, char** argv, char** value) {
  if (i + 1 >= argc) return 2;
  if (!takes_value(argv[i + 1])) return 1;
  daq::keep_option_value(value, argv[i + 1]);
  return 2;
}

}  // namespace

void vexa_user_help() {
  for (const char* line : kHelp) std::fputs(line, stdout);
  for (const char* line : kHelpH5) std::fputs(line, stdout);
}

namespace daq {

void parse_options(int argc, char** argv) {
  int i = 1;
  while (i < argc) {
    const char* word = argv[i];
    int step = 1;
    const FlagOption* flag = nullptr;
    for (const FlagOption& f : kFlags) {
      if (std::strcmp(word, f.word) == 0) flag = &f;
    }
    if (std::strcmp(word, "-out") == 0) {
      if (i + 1 < argc) keep_option_value(&file, argv[i + 1]);
      step = 2;
    } else if (flag != nullptr) {
      *flag->flag = true;
    } else if (std::strcmp(word, "-xdump") == 0) {
      dumpxml = true;
      step = optional_value(i, argc, argv, &xfile);
    } else if (std::strcmp(word, "-fti") == 0) {
      if (i + 1 < argc) {
        if (!takes_value(argv[i + 1])) {
          std::fputs("No channels list is provided for float to int conversion\n", stdout);
          vexa_user_help();
          std::exit(1);
        }
        keep_option_value(&ftilist, argv[i + 1]);
      }
      step = 2;
    } else if (std::strcmp(word, "-h5") == 0) {
      // The next word is the file, whatever it holds.
      if (i + 1 < argc) {
        h5::set_file(argv[i + 1]);
      } else {
        std::fputs("-h5 needs a file name: no HDF5 file is written\n", stdout);
      }
      step = 2;
    } else if (std::strcmp(word, "-h5z") == 0) {
      if (i + 1 < argc) h5::set_codec(argv[i + 1]);
      step = 2;
    } else if (std::strcmp(word, "-imdump") == 0) {
      imdump = true;
      step = optional_value(i, argc, argv, &imdir);
    }
    i += step;
  }
}

}  // namespace daq
