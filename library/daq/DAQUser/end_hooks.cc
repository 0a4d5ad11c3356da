// End of a run: statistics, the event-ID file, closing the table file and
// the XML description.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daq_user.h"
#include "h5_output.h"
#include "number_format.h"
#include "output_status.h"
#include "run_report.h"
#include "table_file.h"

namespace {

void print_statistics(vexa_daq_reader_base* reader) {
  std::printf("READER FINISHED statistics: events: %d  empty_events:%d\n",
              reader->get_number_of_events(), reader->get_number_of_empty_events());
  constexpr uint64_t kNone = ~uint64_t{0};
  if (first_event != kNone && last_event != kNone) {
    // Signed 32-bit numerator (wrapping as the hardware does), single
    // precision division.
    uint32_t wrapped = static_cast<uint32_t>(reader->get_number_of_events()) -
                       static_cast<uint32_t>(bad_chans) - 1u;
    float numerator = static_cast<float>(static_cast<int32_t>(wrapped));
    float denominator = static_cast<float>(last_event - first_event);
    float efficiency = numerator / denominator * 100.0f;
    std::printf("Event efficiency: %f \n", static_cast<double>(efficiency));
  }
  std::printf("   Bad chans: %d\n", bad_chans);
}

void put_id(std::string& out, int32_t id) { daq::fmt::put_d(out, id); }
void put_id(std::string& out, uint64_t id) { daq::fmt::put_lu(out, id); }

// "Chan:<name>\t<id>,<id>,...\n" per channel, from the lists of one generation.
template <typename Id>
void write_event_ids(const std::vector<Id>* lists, const char* hook) {
  errno = 0;
  fdids = std::fopen(fileids, "w+");
  if (fdids == nullptr) {
    daq::report::output_failed("event-ID file", fileids, errno != 0 ? errno : EIO);
    std::fputs("vexa_user_end2010(): failed to open event IDs file for writing\n", stdout);
    daq::note_output_failure();
    return;
  }
  std::string text;
  int channels = chans != nullptr ? nchans : 0;
  for (int i = 0; i < channels; ++i) {
    text += "Chan:";
    text += chans[i];
    text += '\t';
    if (i < kEventIdChannels) {
      const std::vector<Id>& list = lists[i];
      for (size_t k = 0; k < list.size(); ++k) {
        if (k != 0) text += ',';
        put_id(text, list[k]);
      }
    }
    if (i != channels - 1) text += '\n';
  }
  text += '\n';
  errno = 0;
  int error = std::fwrite(text.data(), 1, text.size(), fdids) == text.size() ? 0
              : errno != 0                                                   ? errno
                                                                             : EIO;
  const char* action;
  error = daq::close_file(fdids, error, &action);
  fdids = nullptr;
  if (error != 0) {
    daq::report_file_error(hook, action, "event IDs file", error);
    daq::report::output_failed("event-ID file", fileids, error);
    daq::note_output_failure();
  }
}

void write_description(vexa_daq_reader_base* reader) {
  std::vector<chan_descr_2010*> vcout;
  std::vector<dim_params*> dims;
  const std::vector<chan_descr_2010*>* descriptions = reader->get_descr_list();
  int channels = chans != nullptr ? nchans : 0;
  if (descriptions != nullptr && channels > 0) {
    for (chan_descr_2010* d : *descriptions) {
      if (d == nullptr) continue;  // as the description writer skips it
      for (int j = 0; j < channels; ++j) {
        if (std::strcmp(d->daq_name, chans[j]) == 0) vcout.push_back(d);
      }
      if (vcout.size() == static_cast<size_t>(channels)) break;
    }
  }
  for (int i = 0; spectprms != nullptr && i < channels; ++i) {
    dim_params& e = spectprms[i];
    if (e.name != nullptr && e.num != 0 && (e.params != nullptr || e.iparams != nullptr)) {
      dims.push_back(&e);
    }
  }
  errno = 0;
  int result = dump_chan_desr(vcout, xfile, 2, 0, -1, nullptr, dims);
  if (result != 0) {
    daq::report::output_failed("XML description", xfile, errno != 0 ? errno : EIO);
    std::printf("Failed to dump XML description file error: %d\n", result);
    daq::note_output_failure();
  }
}

template <typename Id>
int end_run(vexa_daq_reader_base* reader, const std::vector<Id>* lists, const char* hook) {
  if (reader != nullptr) {
    print_statistics(reader);
    if (evstatdump) write_event_ids(lists, hook);
  }
  if (!nodump) daq::close_table_file(hook);
  if (reader != nullptr && dumpxml) write_description(reader);
  daq::h5::finish();
  daq::report::finish_run();
  return daq::outputs_failed() ? -1 : 0;
}

}  // namespace

int vexa_user_end_2010(vexa_daq_reader_2010* reader) {
  return end_run(reader, eventids, "vexa_user_end_2010");
}

int vexa_user_end_2024(vexa_daq_reader_2024* reader) {
  return end_run(reader, eventids64, "vexa_user_end_2024");
}
