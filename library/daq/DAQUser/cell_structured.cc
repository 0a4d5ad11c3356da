// Cells of structured-data channels: the block goes to the host's
// conversion; the cell itself stays empty.
#include <cstdio>

#include "cells.h"
#include "run_report.h"

namespace daq {

void write_structured_cell(ChannelTurn& turn) {
  // Without the table (-nodump) the structured channels leave no event IDs
  // and no messages, with the HDF5 file or without it.
  if (turn.text) record_event_id(turn);
  vexa_daq_getdata* data = turn.data;
  EqData* eqdata = nullptr;
  bool converted = true;
  if (data->data_2024) {
    if (vexa_daq_to_eqdata_2024(nullptr, data->SrvbHeader_2024, turn.chhd, &eqdata, false) != 0) {
      converted = false;
      if (turn.text) {
        std::fputs("!!!Failed to extract data of type EqData (2024)!!!\n", stdout);
        report::structured_failed(turn.index, turn.evid != 0 ? turn.evid : turn.evid64);
      }
    }
  } else if (vexa_daq_to_eqdata(nullptr, data->GetServBlockHead_2010(), turn.chhd, &eqdata,
                                false) != 0) {
    converted = false;
    if (turn.text) {
      std::fputs("!!!Failed to extract data of type EqData!!!\n", stdout);
      report::structured_failed(turn.index, turn.evid != 0 ? turn.evid : turn.evid64);
    }
  }
  h5::structured(turn.index, converted);
}

}  // namespace daq
