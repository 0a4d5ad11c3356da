// A plug-in of one's own: per event of a 2024 run, the event ID and the value
// of one channel (TOROID.1, or the first word after daq-reader's "--").
#include <cinttypes>
#include <cstdio>
#include <string>

#include "vexa_daq_data.h"
#include "vexa_daq_reader_2024.h"

static std::string channel = "TOROID.1";  // a copy: the host may free its words
static int events = 0;

int vexa_user_init_2024(int argc, char** argv, vexa_daq_reader_2024* reader) {
  if (argc > 1) channel = argv[1];
  std::printf("mine: %d channels, showing %s\n", reader->get_number_of_channels(), channel.c_str());
  return 0;
}

int vexa_user_loop(vexa_daq_getdata* data) {
  uint64_t id = 0;
  if (data->GetEventInfo_2024(&id, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != 0) {
    return -1;  // this event's header cannot be read; the reader goes on
  }
  ++events;
  if (data->SetProp(channel.c_str()) == 2) std::printf("%" PRIu64 " %f\n", id, data->GetSingle(0));
  return 0;
}

int vexa_user_end_2024(vexa_daq_reader_2024*) {
  std::printf("mine: %d events\n", events);
  return 0;
}
