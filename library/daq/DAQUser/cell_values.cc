// Cells of type-1 channels (a fixed mark) and type-2 channels (a single
// value or a list of name-value pairs).
#include <cstdio>

#include "cells.h"
#include "number_format.h"

namespace daq {

namespace {

// "%d" of the value's bits, or `as_float` of the value.
void put_value(std::string& out, float v, bool as_int, void (*as_float)(std::string&, double)) {
  if (as_int) {
    fmt::put_d(out, fmt::float_bits(v));
  } else {
    as_float(out, v);
  }
}

void put_single_value(ChannelTurn& turn, bool as_int) {
  float dt = turn.data->GetSingle(0);
  h5::scalar(turn.index, dt, as_int);
  if (!turn.text) return;
  std::string& row = turn.row;
  if (hdf5mode) row += "[[";
  put_value(row, dt, as_int, fmt::put_f);
  row += hdf5mode ? "]]" : "\t";
}

void put_pair(std::string& row, const char* nm, float dt, bool as_int) {
  if (!as_int && nm == nullptr) {
    std::fputs("nm is NULL\n", stdout);
    std::fflush(nullptr);
  }
  if (!nonvn) {
    row += nm != nullptr ? nm : "(null)";
    row += ':';
  }
  put_value(row, dt, as_int, fmt::put_e2);
}

void put_pair_list(ChannelTurn& turn, bool as_int) {
  std::string& row = turn.row;
  if (turn.nchan > kMaxPairs) {
    if (turn.text) {
      std::printf("Channel %s: %d pairs, only the first %d written\n", chans[turn.index],
                  turn.nchan, kMaxPairs);
    }
    turn.nchan = kMaxPairs;
  }
  h5::pairs_begin(turn.index, turn.nchan);
  if (turn.text) row += hdf5mode ? "[" : "\t{";
  for (int k = 0; k < turn.nchan; ++k) {
    char* nm = nullptr;
    float dt = 0.0f;
    turn.data->GetValNamChan(&nm, &dt, k);
    h5::pair(turn.index, k, nm, dt, as_int);
    if (!turn.text) continue;
    row += '[';
    put_pair(row, nm, dt, as_int);
    row += k == turn.nchan - 1 || hdf5mode ? "]" : "]\t";
  }
  if (turn.text) row += hdf5mode ? ']' : '}';
}

}  // namespace

void write_mark_cell(ChannelTurn& turn) {
  if (turn.text) turn.row += "1\t";
  record_event_id(turn);
  h5::mark(turn.index);
}

void write_value_cell(ChannelTurn& turn) {
  record_event_id(turn);
  bool as_int = converts_to_int(turn.index);
  if (turn.data->GetValNamPrm(nullptr, nullptr, nullptr, &turn.nchan, nullptr)) {
    put_single_value(turn, as_int);
  } else {
    put_pair_list(turn, as_int);
  }
}

}  // namespace daq
