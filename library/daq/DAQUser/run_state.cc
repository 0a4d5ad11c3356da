// Definitions of the run-wide state.
#include "run_state.h"

#include "daq_user.h"

namespace {

// Writable storage for the default names: the exported names are char*.
char default_file[] = "./user_out.txt";
char default_fileids[] = "./user_evids.txt";
char default_imdir[] = "./";
char default_xfile[] = "./user_descr.xml";

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

void restore_default_names() {
  file = default_file;
  fileids = default_fileids;
  imdir = default_imdir;
  xfile = default_xfile;
}

}  // namespace daq
