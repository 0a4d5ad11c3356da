// Free functions and globals of the host that the plug-in calls.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "vexa_daq_data.h"

int nbunch = 0;
int outmode = 0;

const char* event_name_itoa(int type) {
  switch (type) {
    case 0:
      return "unknown";
    case 1:
      return "normal";
    case 2:
      return "calibration";
    case 3:
      return "pedestal";
    case 4:
      return "test";
    default: {
      // One buffer per call site is enough: the caller prints the name at once.
      static thread_local char name[32];
      std::snprintf(name, sizeof name, "type%d", type);
      return name;
    }
  }
}

void create_isodate_from_sec(time_t t, char* buf, bool utc) {
  struct tm parts {};
  bool ok = utc ? gmtime_r(&t, &parts) != nullptr : localtime_r(&t, &parts) != nullptr;
  if (!ok ||
      std::strftime(buf, 64, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%dT%H:%M:%S", &parts) == 0) {
    buf[0] = '\0';
  }
}

void vexa_swap2(short* from, short* to, int count) {
  for (int k = 0; k < count; ++k) {
    unsigned short w;
    std::memcpy(&w, from + k, sizeof w);
    w = static_cast<unsigned short>(w << 8 | w >> 8);
    std::memcpy(to + k, &w, sizeof w);
  }
}

namespace {

// The object the conversions hand back; reused, so none accumulates.
EqData last_conversion;

int convert(const vexa_serv_block_subhead_2010* channel, bool have_block, EqData** out) {
  if (out != nullptr) *out = nullptr;
  if (!have_block || channel == nullptr || (channel->flags & VEXA_SUBHEAD_CONVERTIBLE) == 0) {
    return -1;
  }
  last_conversion.type = channel->type;
  last_conversion.length = channel->length;
  last_conversion.name.assign(channel->name, strnlen(channel->name, sizeof channel->name));
  if (out != nullptr) *out = &last_conversion;
  return 0;
}

}  // namespace

int vexa_daq_to_eqdata(vexa_event_slot_head*, vexa_serv_block_head_2010* block,
                       vexa_serv_block_subhead_2010* channel, EqData** out, bool) {
  return convert(channel, block != nullptr, out);
}

int vexa_daq_to_eqdata_2024(vexa_event_slot_head_2024*, vexa_serv_block_head_2024* block,
                            vexa_serv_block_subhead_2010* channel, EqData** out, bool) {
  return convert(channel, block != nullptr, out);
}
