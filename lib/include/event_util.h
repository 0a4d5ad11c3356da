// Channel descriptions and the parameter records handed to the XML
// description writer.
#ifndef VEXA_EVENT_UTIL_H_
#define VEXA_EVENT_UTIL_H_

#include <string>
#include <utility>
#include <vector>

#include "event.hh"

// Spectrum or image parameters collected for one channel during a run.
struct dim_params {
  char* name;
  int num;
  vexa_spect_header_2010* params;
  vexa_image_ext_frame_head* iparams;
};

// The host's description of one recorded channel.
struct chan_descr_2010 {
  char daq_name[256];
  // Further attributes of the description, written by dump_chan_desr as they
  // stand (name, text).
  std::vector<std::pair<std::string, std::string>> attributes;
};

// Opaque text object of the description writer; callers pass null.
struct vexa_text_object;

// Writes the XML description file: one <channel> per description and one
// <parameters> per parameter entry, in the given orders.  The three integers
// and the text object are accepted for interface compatibility and unused by
// this host.  Returns 0 when the file was written completely, else negative.
VEXA_HOST_API int dump_chan_desr(std::vector<chan_descr_2010*>& descriptions, const char* file_name,
                                 int level, int flags, int limit, vexa_text_object* text,
                                 std::vector<dim_params*>& params);

#endif  // VEXA_EVENT_UTIL_H_
