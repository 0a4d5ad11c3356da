// Reader of 2010-format recordings, as the start and end hooks see it.
#ifndef VEXA_DAQ_READER_2010_H_
#define VEXA_DAQ_READER_2010_H_

#include "vexa_daq_reader_base.h"

class VEXA_HOST_API vexa_daq_reader_2010 : public vexa_daq_reader_base {
 public:
  using vexa_daq_reader_base::vexa_daq_reader_base;
};

#endif  // VEXA_DAQ_READER_2010_H_
