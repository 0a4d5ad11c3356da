#include <climits>

#include "vexa_daq_reader_base.h"
#include "vexa_run.h"

namespace {

int clamp_int(int64_t v) {
  return static_cast<int>(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
}

}  // namespace

int vexa_daq_reader_base::get_number_of_channels() {
  return clamp_int(static_cast<int64_t>(run_->channels.size()));
}

char* vexa_daq_reader_base::get_channel_name(int index, int* sub) {
  if (index < 0 || static_cast<size_t>(index) >= run_->channels.size()) return nullptr;
  vexa_run_channel_entry& entry = run_->channels[index];
  if (sub != nullptr) *sub = entry.sub;
  return entry.name ? entry.name->data() : nullptr;
}

int vexa_daq_reader_base::get_number_of_events() {
  return clamp_int(run_->reported_events.value_or(static_cast<int64_t>(run_->event_count())));
}

int vexa_daq_reader_base::get_number_of_empty_events() { return clamp_int(run_->empty_events); }

std::vector<chan_descr_2010*>* vexa_daq_reader_base::get_descr_list() { return &run_->descr_list; }
