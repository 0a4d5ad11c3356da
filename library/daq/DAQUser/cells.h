// What the channel loop hands to the cell writers, and the writers.
#ifndef DAQUSER_CELLS_H_
#define DAQUSER_CELLS_H_

#include <cstdint>
#include <string>

#include "daq_user.h"
#include "h5_output.h"

namespace daq {

// One channel's turn in the channel loop of one event.
struct ChannelTurn {
  vexa_daq_getdata* data;
  int index;                           // channel number
  int samples;                         // spectrum values per member
  char* channml;                       // name from the channel sub-header
  vexa_serv_block_subhead_2010* chhd;  // the channel sub-header, or null
  int nchan;                           // channel count of the server block
  uint32_t tup, tlow;                  // time of the channel's server block
  uint32_t evid;                       // event ID, 2010 events
  uint64_t evid64;                     // event ID, 2024 events
  int32_t mpulse;                      // macro-pulse number, 2010 events
  uint64_t mpulse64;                   // macro-pulse number, 2024 events
  std::string& row;                    // text of the row being built
  bool text;                           // the row is written (not -nodump)
};

// Bounds on what one cell takes from the host, whatever counts it reports:
// members of a spectrum cell, values of a spectrum cell (all members),
// pairs of a name-value cell, and image bytes written as pixel text.  The
// row of an event is built in memory, so an unbounded count would be an
// unbounded allocation.
// The fuzz build lowers the value bound, so that a hostile count costs
// milliseconds rather than seconds an input.
#ifndef DAQ_MAX_CELL_VALUES
#define DAQ_MAX_CELL_VALUES (1 << 24)
#endif
constexpr int kMaxMembers = 1 << 16;
constexpr int64_t kMaxCellValues = DAQ_MAX_CELL_VALUES;
constexpr int kMaxPairs = 1 << 16;
constexpr int kMaxImageTextBytes = 1 << 28;

// Appends the channel's macro-pulse number to its event-ID list of the
// event's generation, unless the list already ends with it.
void record_event_id(const ChannelTurn& turn);

// True when channel i's values are written as the integers of their bits.
inline bool converts_to_int(int i) { return do_conv != nullptr && do_conv[i] != 0; }

void write_mark_cell(ChannelTurn& turn);        // type 1
void write_value_cell(ChannelTurn& turn);       // type 2
void write_spectrum_cell(ChannelTurn& turn);    // type 3
void write_image_cell(ChannelTurn& turn);       // type 4
void write_structured_cell(ChannelTurn& turn);  // type 5

}  // namespace daq

#endif  // DAQUSER_CELLS_H_
