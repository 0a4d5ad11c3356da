// Cells of spectrum channels: every member's values, with statistics, in one
// cell; the ROI diagnostic, the zero check and the parameter capture.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cells.h"
#include "number_format.h"

namespace daq {

namespace {

struct Member {
  float start = 0;
  float inc = 0;
  int ndata = 0;
  int groups = 0;
  float group_inc = 0;
  vexa_spect_statistics_2010* stat = nullptr;
  int64_t lndata = 0;  // values over all groups
};

void print_roi(ChannelTurn& turn) {
  void* blk = nullptr;
  float start = 0, inc = 0;
  float* mean = nullptr;
  int ndata = 0;
  if (turn.data->GetRoiPar(&blk, &start, &inc, &mean, &ndata, 0) != 0 || blk == nullptr) return;
  const vexa_image_roi1* roi = static_cast<const vexa_image_roi1*>(blk);
  const vexa_image_roi_stat& st = roi->stat;
  std::printf("ROI %s\n", turn.channml != nullptr ? turn.channml : "(null)");
  std::printf("IMAGE %dx%d MEAN: %f (%f) MAX: %f  SIGMA: %f COFM: %f start:%f inc:%f ndata:%d\n",
              roi->roi_param.w, roi->roi_param.h, static_cast<double>(st.stat1.mean),
              mean != nullptr ? static_cast<double>(mean[0]) : 0.0,
              static_cast<double>(st.stat1.max), static_cast<double>(st.stat1.sig),
              static_cast<double>(st.stat1.cofm), static_cast<double>(st.start1),
              static_cast<double>(st.inc1), st.ndata1);
}

// " [j]:value" for every bit j set in the mask; `each_after` follows every
// entry, and one space follows the last.
void put_statistics(std::string& row, const vexa_spect_statistics_2010* stat,
                    const char* each_after) {
  if (stat == nullptr || stat->mask == 0 || nostat) return;
  for (int j = 0; j < 32; ++j) {
    if ((stat->mask >> j & 1u) == 0) continue;
    row += " [";
    fmt::put_d(row, j);
    row += "]:";
    fmt::put_e(row, stat->val[j]);
    row += each_after;
  }
  row += ' ';
}

void capture_parameters(int i, int n, int m, const Member& mb) {
  if (!dumpxml || spectprms == nullptr) return;
  dim_params& e = spectprms[i];
  // A block that large is not allocated: treated as a failed allocation.
  if (e.num > kMaxMembers) return;
  if (e.num < n) {
    std::free(e.params);
    e.params = static_cast<vexa_spect_header_2010*>(std::calloc(n, sizeof(vexa_spect_header_2010)));
    // The description writer reads `num` entries of both blocks: frame
    // headers of the channel's images keep up with the larger count.
    if (e.iparams != nullptr) {
      auto* grown = static_cast<vexa_image_ext_frame_head*>(
          std::calloc(n, sizeof(vexa_image_ext_frame_head)));
      if (grown != nullptr && e.num > 0) std::memcpy(grown, e.iparams, e.num * sizeof *grown);
      std::free(e.iparams);
      e.iparams = grown;
    }
    e.num = n;
  } else if (e.params == nullptr) {
    e.params =
        static_cast<vexa_spect_header_2010*>(std::calloc(e.num, sizeof(vexa_spect_header_2010)));
  }
  if (e.params != nullptr) e.params[m] = {mb.start, mb.inc, mb.ndata, mb.groups, mb.group_inc};
}

// Reads no further than the first value that is not 0.0 (a NaN is not).
void check_zeros(ChannelTurn& turn, int m, int64_t lndata) {
  int64_t limit = std::min<int64_t>(lndata, kMaxCellValues);
  for (int64_t k = 0; k < limit; ++k) {
    if (!(turn.data->GetSpectVal(m, static_cast<int>(k)) == 0.0f)) return;
  }
  if (turn.data->data_2024) {
    std::printf("ALL ZEROS for %lu total_data: %ld st: %d\n",
                static_cast<unsigned long>(turn.evid64), static_cast<long>(lndata), 0);
  } else {
    // The row's event ID: evid, or evid64 (0) for an event whose ID is 0.
    uint64_t id = turn.evid != 0 ? turn.evid : turn.evid64;
    std::printf("ALL ZEROS for %d total_data: %ld st: %d\n", static_cast<int32_t>(id),
                static_cast<long>(lndata), 0);
  }
}

void put_spectrum_value(std::string& row, float v, bool as_int) {
  if (std::isinf(v) || std::isnan(v)) {
    row += "Invalid";
  } else if (as_int) {
    fmt::put_d(row, fmt::float_bits(v));
  } else {
    fmt::put_e0(row, v);
  }
}

// Writes the member's values, no more than `budget` of them; returns how
// many were written.
int64_t put_values(ChannelTurn& turn, int m, int64_t lndata, int64_t budget) {
  int64_t count = lndata;
  if (!dallval)
    count = turn.samples <= 0 || lndata <= 0 ? 0 : std::min<int64_t>(turn.samples, lndata);
  if (count > budget) {
    std::printf("Spectrum %s: %ld values, only %ld written\n", chans[turn.index],
                static_cast<long>(count), static_cast<long>(budget));
    count = budget;
  }
  bool as_int = converts_to_int(turn.index);
  for (int64_t k = 0; k < count; ++k) {
    put_spectrum_value(turn.row, turn.data->GetSpectVal(m, static_cast<int>(k)), as_int);
    if (k != count - 1) turn.row += ' ';
  }
  return std::max<int64_t>(count, 0);
}

void store_statistics(int i, int m, const vexa_spect_statistics_2010* stat) {
  if (stat == nullptr) return;
  for (int j = 0; j < 32; ++j) {
    if ((stat->mask >> j & 1u) != 0) h5::member_stat(i, m, j, stat->val[j]);
  }
}

// Every value of member m, the statistics by bit, for the HDF5 file; at most
// `budget` values, which it lowers by what it read.
void store_member(ChannelTurn& turn, int m, const Member& mb, int64_t& h5_budget) {
  static std::vector<float> values;
  int64_t count = std::clamp<int64_t>(mb.lndata, 0, h5_budget);
  h5_budget -= count;
  values.resize(static_cast<size_t>(count));
  for (int64_t k = 0; k < count; ++k) values[k] = turn.data->GetSpectVal(m, static_cast<int>(k));
  h5::member(turn.index, m, values.data(), values.size(), converts_to_int(turn.index));
  store_statistics(turn.index, m, mb.stat);
}

// Writes member m of n; `budget` is what is left of the cell's values.
void put_member(ChannelTurn& turn, int n, int m, int64_t& budget, int64_t& h5_budget) {
  std::string& row = turn.row;
  const bool text = turn.text;
  Member mb;
  int st = turn.data->GetSpectPar(&mb.start, &mb.inc, nullptr, &mb.ndata, m, &mb.groups,
                                  &mb.group_inc, &mb.stat);
  if (st != 0) {
    h5::member_failed(turn.index, m);
    if (text) row += hdf5mode ? "[]," : "No data\t,";
    return;
  }
  if (mb.ndata == 0) {
    static const float kNone[1] = {0};
    h5::member(turn.index, m, kNone, 0, false);  // a member without values
    store_statistics(turn.index, m, mb.stat);
    if (!text) return;
    put_statistics(row, mb.stat, " ");
    row += hdf5mode ? "[]" : "Not found\t";
    return;
  }
  mb.lndata = mb.groups >= 2 ? static_cast<int64_t>(mb.ndata) * mb.groups : mb.ndata;
  if (h5::active()) {
    store_member(turn, m, mb, h5_budget);
    h5::spectrum_parameters(turn.index, m, {mb.start, mb.inc, mb.ndata, mb.groups, mb.group_inc});
  }
  if (!text) return;
  capture_parameters(turn.index, n, m, mb);
  row += '[';
  if (zerocheck) check_zeros(turn, m, mb.lndata);
  put_statistics(row, mb.stat, "");
  budget -= put_values(turn, m, mb.lndata, budget);
  row += m == n - 1 || hdf5mode ? "]" : "]\t";
}

}  // namespace

void write_spectrum_cell(ChannelTurn& turn) {
  int n = turn.data->GetNmemb();
  if (n == 1 && turn.text) {
    print_roi(turn);
    n = turn.data->GetNmemb();
  }
  record_event_id(turn);
  if (n > kMaxMembers) {
    if (turn.text) {
      std::printf("Spectrum %s: %d members, only the first %d written\n", chans[turn.index], n,
                  kMaxMembers);
    }
    n = kMaxMembers;
  }
  h5::spectrum_begin(turn.index);
  int64_t budget = kMaxCellValues, h5_budget = kMaxCellValues;
  if (turn.text) turn.row += hdf5mode ? '[' : '{';
  for (int m = 0; m < n; ++m) put_member(turn, n, m, budget, h5_budget);
  if (turn.text) turn.row += hdf5mode ? ']' : '}';
}

}  // namespace daq
