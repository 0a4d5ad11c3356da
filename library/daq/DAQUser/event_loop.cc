// The per-event hook: event columns, the channel loop and the dispatch to
// the cell writers.
#include <cstdio>
#include <string>

#include "cells.h"
#include "daq_user.h"
#include "number_format.h"
#include "row_writer.h"
#include "run_report.h"
#include "table_file.h"

namespace daq {

namespace {

template <typename Id>
void append_unless_last(std::vector<Id>& list, Id value) {
  if (list.empty() || list.back() != value) list.push_back(value);
}

struct EventHeader {
  uint32_t evid = 0;
  uint64_t evid64 = 0;
  int evtype = 0;
  uint32_t tup = 0;
  uint32_t tlow = 0;
  int status = 0;
  int32_t mpulse = -1;
  uint64_t mpulse64 = 0;
};

bool read_event_header(vexa_daq_getdata* data, EventHeader& ev) {
  unsigned int len = 0;
  int nsrvb = 0;
  int result = data->data_2024 ? data->GetEventInfo_2024(&ev.evid64, &ev.evtype, &len, &ev.tup,
                                                         &ev.tlow, &ev.status, &nsrvb)
                               : data->GetEventInfo(&ev.evid, &ev.evtype, &len, &ev.tup, &ev.tlow,
                                                    &ev.status, &nsrvb);
  return result == 0;
}

// Time, status and macro-pulse number of the first image's and then the
// first fast channel's server block replace those of the event header.
void read_event_blocks(vexa_daq_getdata* data, EventHeader& ev) {
  auto read_block = [&] {
    if (data->data_2024) {
      data->GetServBlockInfo_2024(&ev.tup, &ev.tlow, nullptr, &ev.mpulse64, nullptr, &ev.status,
                                  nullptr);
    } else {
      data->GetServBlockInfo(&ev.tup, &ev.tlow, nullptr, &ev.mpulse, nullptr, &ev.status, nullptr);
    }
  };
  if (data->SetImage(0) > 0) read_block();
  if (data->SetFast(0) > 0) read_block();
}

void put_event_columns(std::string& row, const EventHeader& ev) {
  char iso[64] = "";
  if (!hdf5mode) {
    row += '[';
    const char* type_name = event_name_itoa(ev.evtype);
    if (type_name != nullptr) row += type_name;
    row += ']';
  }
  if (ev.evid != 0) {
    fmt::put_d(row, static_cast<int32_t>(ev.evid));
  } else {
    fmt::put_lu(row, ev.evid64);
  }
  row += hdf5mode ? "," : "\t\t";
  fmt::put_d(row, static_cast<int32_t>(ev.tup));
  row += ':';
  fmt::put_d(row, static_cast<int32_t>(ev.tlow));
  row += separator();
  create_isodate_from_sec(static_cast<time_t>(ev.tup), iso, true);
  row += iso;
  row += separator();
  if (outmode != 0) put_status_word(row, ev.status);
}

void put_selector(std::string& out, int i) {
  out.clear();
  out += chans[i];
  if (subchans[i] >= 0) {
    out += ':';
    fmt::put_d(out, subchans[i]);
  }
}

bool read_channel_block(vexa_daq_getdata* data, ChannelTurn& turn, int& status) {
  int ltot = 0;
  if (data->data_2024) {
    if (data->GetServBlockInfo_2024(&turn.tup, &turn.tlow, &ltot, &turn.mpulse64, nullptr, &status,
                                    &turn.nchan) != 0) {
      std::fputs("vexa_user_loop(): failed to get Server Block info 2024\n", stdout);
      return false;
    }
  } else if (data->GetServBlockInfo(&turn.tup, &turn.tlow, &ltot, &turn.mpulse, nullptr, &status,
                                    &turn.nchan) != 0) {
    std::fputs("vexa_user_loop(): failed to get Server Block info\n", stdout);
    return false;
  }
  return true;
}

void report_bad_channel(const ChannelTurn& turn) {
  ++bad_chans;
  int nframe = 0, compr = 0, bpp = 0, len = 0;
  if (turn.data->GetImagePar(&nframe, &compr, &bpp, &len) == 0) {
    std::printf(" Image.nframe:%d  compr:%d bpp:%d len:%d\n", nframe, compr, bpp, len);
  } else {
    std::fputs("No image parameters availanle\n", stdout);
    report::no_image_parameters(turn.index, turn.evid != 0 ? turn.evid : turn.evid64);
  }
}

void write_cell(int type, ChannelTurn& turn) {
  switch (type) {
    case 1:
      write_mark_cell(turn);
      break;
    case 2:
      write_value_cell(turn);
      break;
    case 3:
      write_spectrum_cell(turn);
      break;
    case 4:
      write_image_cell(turn);
      break;
    case 5:
      write_structured_cell(turn);
      break;
    default:
      if (turn.text) put_default_cell(turn.row);
      break;
  }
}

// Ends a row cut short by a failed read before channel i, so that the next
// row starts on a line of its own, and writes it.
int fail_row(std::string& row, bool writing, int i) {
  h5::cut_short(i);
  h5::end_event();
  if (writing) {
    row += '\n';
    write_table_row(row);
  }
  row.clear();
  return -1;
}

}  // namespace

void record_event_id(const ChannelTurn& turn) {
  if (turn.index < 0 || turn.index >= kEventIdChannels) return;
  if (turn.data->data_2024) {
    append_unless_last(eventids64[turn.index], turn.mpulse64);
  } else {
    append_unless_last(eventids[turn.index], turn.mpulse);
  }
}

}  // namespace daq

int vexa_user_loop(vexa_daq_getdata* data) {
  using namespace daq;
  if (data == nullptr) {
    std::fputs("vexa_user_loop(): failed to get event info\n", stdout);
    return -1;
  }
  EventHeader ev;
  if (!read_event_header(data, ev)) {
    std::fputs("vexa_user_loop(): failed to get event info\n", stdout);
    return -1;
  }
  read_event_blocks(data, ev);

  // A 2010 event with ID 0 shows and records 0: evid64 stays 0 for it.
  uint64_t id = ev.evid != 0 ? ev.evid : ev.evid64;
  if (first_event == 0) first_event = id;
  last_event = id;

  const bool writing = !nodump;
  std::string& row = row_text();
  row.clear();
  if (writing) put_event_columns(row, ev);
  const bool h5_out = h5::active();
  if (h5_out) {
    char iso[64] = "";
    create_isodate_from_sec(static_cast<time_t>(ev.tup), iso, true);
    h5::begin_event(id, ev.tup, ev.tlow, iso, static_cast<uint32_t>(ev.status), ev.evtype,
                    event_name_itoa(ev.evtype));
  }

  static std::string fullname;
  ChannelTurn turn{.data = data,
                   .index = 0,
                   .samples = nbunch != 0 ? nbunch : 100,
                   .channml = nullptr,
                   .chhd = nullptr,
                   .nchan = 0,
                   .tup = 0,
                   .tlow = 0,
                   .evid = ev.evid,
                   .evid64 = ev.evid64,
                   .mpulse = ev.mpulse,
                   .mpulse64 = ev.mpulse64,
                   .row = row,
                   .text = writing};
  int channels = chans != nullptr ? nchans : 0;
  for (int i = 0; i < channels; ++i, channels = chans != nullptr ? nchans : 0) {
    turn.index = i;
    // The tail of the next channel's event-ID list is a cache miss on runs
    // of thousands of channels; start fetching it now.
    if (i + 1 < channels && i + 1 < kEventIdChannels) {
      if (data->data_2024) {
        if (!eventids64[i + 1].empty()) __builtin_prefetch(&eventids64[i + 1].back());
      } else if (!eventids[i + 1].empty()) {
        __builtin_prefetch(&eventids[i + 1].back());
      }
    }
    put_selector(fullname, i);
    int type = data->SetProp(fullname.c_str());
    int status = 0;
    if (!read_channel_block(data, turn, status)) return fail_row(row, writing, i);
    turn.chhd = data->GetChanHead_2010();
    if (writing && outmode != 0) put_status_word(row, status);

    int statusch = 0;
    int dlen = 0;
    if (data->GetChanInfo(&turn.channml, nullptr, &statusch, &dlen) != 0) {
      std::fputs("vexa_user_loop(): failed to get Server Block info\n", stdout);
      return fail_row(row, writing, i);
    }
    if (writing && outmode != 0) put_status_word(row, statusch);
    if (statusch != 0) report_bad_channel(turn);

    if (!writing && !h5_out) {
      if (type >= 1 && type <= 4) record_event_id(turn);
      continue;
    }
    if (h5_out) {
      h5::channel_block(i, static_cast<uint32_t>(status), static_cast<uint32_t>(statusch),
                        data->data_2024 ? turn.mpulse64 : static_cast<uint32_t>(turn.mpulse));
    }
    write_cell(type, turn);
    if (h5_out) h5::end_channel(i);
    if (!writing) continue;
    row += i == channels - 1 ? '\n' : separator();
    spill_row(row);
  }
  h5::end_event();
  if (writing && !write_table_row(row)) return -1;
  row.clear();
  return 0;
}
