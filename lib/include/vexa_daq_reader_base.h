// What the readers of both generations answer about a loaded run.
#ifndef VEXA_DAQ_READER_BASE_H_
#define VEXA_DAQ_READER_BASE_H_

#include <vector>

#include "event_util.h"

struct vexa_run;

class VEXA_HOST_API vexa_daq_reader_base {
 public:
  explicit vexa_daq_reader_base(vexa_run* run) : run_(run) {}

  int get_number_of_channels();
  // Name of channel `index`, or null; its sub-channel number goes to *sub.
  char* get_channel_name(int index, int* sub);
  int get_number_of_events();
  int get_number_of_empty_events();
  // The channel descriptions, in the recording's order; never null.
  std::vector<chan_descr_2010*>* get_descr_list();

 private:
  vexa_run* run_;
};

#endif  // VEXA_DAQ_READER_BASE_H_
