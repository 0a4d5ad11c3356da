// The plug-in's exported interface: the hooks the reader calls and the
// run-wide state they share.
#ifndef DAQUSER_DAQ_USER_H_
#define DAQUSER_DAQ_USER_H_

#include <cstdint>
#include <cstdio>
#include <vector>

#include "event_util.h"
#include "vexa_daq_data.h"
#include "vexa_daq_reader_2010.h"
#include "vexa_daq_reader_2024.h"

#define DAQ_EXPORT __attribute__((visibility("default")))

// Channels whose event IDs are kept; later channels of a larger run get none.
constexpr int kEventIdChannels = 4096;

// Option flags.
DAQ_EXPORT extern bool zerocheck;
DAQ_EXPORT extern bool imbin;
DAQ_EXPORT extern bool evstatdump;
DAQ_EXPORT extern bool nodump;
DAQ_EXPORT extern bool dallval;
DAQ_EXPORT extern bool nostat;
DAQ_EXPORT extern bool nonvn;
DAQ_EXPORT extern bool hdf5mode;
DAQ_EXPORT extern bool imdump;
DAQ_EXPORT extern bool dumpxml;

// File names; option values point into the host's argument vector.
DAQ_EXPORT extern char* file;
DAQ_EXPORT extern char* fileids;
DAQ_EXPORT extern char* imdir;
DAQ_EXPORT extern char* xfile;
DAQ_EXPORT extern char* ftilist;

// The table file and the event-ID file.
DAQ_EXPORT extern FILE* fd;
DAQ_EXPORT extern FILE* fdids;

// Channel table, indexed by channel number in the reader's order.
DAQ_EXPORT extern int nchans;
DAQ_EXPORT extern char** chans;
DAQ_EXPORT extern int* subchans;
DAQ_EXPORT extern int* do_conv;
DAQ_EXPORT extern dim_params* spectprms;

// Per-channel macro-pulse numbers of the events that carried data.
DAQ_EXPORT extern std::vector<int32_t> eventids[kEventIdChannels];
DAQ_EXPORT extern std::vector<uint64_t> eventids64[kEventIdChannels];

// Event bookkeeping.
DAQ_EXPORT extern uint64_t first_event;
DAQ_EXPORT extern uint64_t last_event;
DAQ_EXPORT extern int bad_chans;

// Hooks.
DAQ_EXPORT void vexa_user_help();
DAQ_EXPORT int vexa_user_init_2010(int argc, char** argv, vexa_daq_reader_2010* reader);
DAQ_EXPORT int vexa_user_init_2024(int argc, char** argv, vexa_daq_reader_2024* reader);
DAQ_EXPORT int vexa_user_loop(vexa_daq_getdata* data);
DAQ_EXPORT int vexa_user_end_2010(vexa_daq_reader_2010* reader);
DAQ_EXPORT int vexa_user_end_2024(vexa_daq_reader_2024* reader);

#endif  // DAQUSER_DAQ_USER_H_
