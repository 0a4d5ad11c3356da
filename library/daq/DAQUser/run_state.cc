// Definitions of the run-wide state.
#include "run_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daq_user.h"
#include "h5_output.h"
#include "run_report.h"

namespace {

// Writable storage for the default names: the exported names are char*.
char default_file[] = "./user_out.txt";
char default_fileids[] = "./user_evids.txt";
char default_imdir[] = "./";
char default_xfile[] = "./user_descr.xml";

// The plug-in's own copies of option values: a host may free its argument
// words once the start hook returns.
struct OwnedValue {
  char** global;
  char* copy;
};
OwnedValue owned_values[] = {
    {&file, nullptr}, {&imdir, nullptr}, {&xfile, nullptr}, {&ftilist, nullptr}};

}  // namespace

bool zerocheck = false;
bool imbin = false;
bool evstatdump = false;
bool nodump = false;
bool dallval = false;
bool nostat = false;
bool nonvn = false;
bool hdf5mode = false;
bool imdump = false;
bool dumpxml = false;

char* file = default_file;
char* fileids = default_fileids;
char* imdir = default_imdir;
char* xfile = default_xfile;
char* ftilist = nullptr;

FILE* fd = nullptr;
FILE* fdids = nullptr;

int nchans = 0;
char** chans = nullptr;
int* subchans = nullptr;
int* do_conv = nullptr;
dim_params* spectprms = nullptr;

std::vector<int32_t> eventids[kEventIdChannels];
std::vector<uint64_t> eventids64[kEventIdChannels];

uint64_t first_event = 0;
uint64_t last_event = 0;
int bad_chans = 0;

namespace daq {

void keep_option_value(char** global, const char* value) {
  for (OwnedValue& o : owned_values) {
    if (o.global != global || value == nullptr) continue;
    char* copy = strdup(value);
    if (copy == nullptr) return;  // out of memory: the earlier value stays
    std::free(o.copy);
    o.copy = copy;
    *global = copy;
    return;
  }
}

void restore_default_names() {
  file = default_file;
  fileids = default_fileids;
  imdir = default_imdir;
  xfile = default_xfile;
  for (OwnedValue& o : owned_values) {
    if (*o.global == o.copy) *o.global = nullptr;
    std::free(o.copy);
    o.copy = nullptr;
  }
}

void reset_run_state() {
  zerocheck = imbin = evstatdump = nodump = dallval = nostat = nonvn = hdf5mode = imdump = dumpxml =
      false;
  restore_default_names();
  ftilist = nullptr;
  h5::reset();
  report::reset();
  if (fd != nullptr) std::fclose(fd);
  fd = nullptr;
  if (fdids != nullptr) std::fclose(fdids);
  fdids = nullptr;
  if (spectprms != nullptr && chans != nullptr) {
    for (int i = 0; i < nchans; ++i) {
      std::free(spectprms[i].params);
      std::free(spectprms[i].iparams);
    }
  }
  std::free(spectprms);
  spectprms = nullptr;
  std::free(chans);
  chans = nullptr;
  std::free(subchans);
  subchans = nullptr;
  std::free(do_conv);
  do_conv = nullptr;
  nchans = 0;
  for (auto& list : eventids) std::vector<int32_t>().swap(list);
  for (auto& list : eventids64) std::vector<uint64_t>().swap(list);
  first_event = last_event = 0;
  bad_chans = 0;
}

}  // namespace daq
