// The reference host's run in memory: its channel table and descriptions,
// and its events with every channel's data, as a recording holds them. Data
// only: loading (vexa_run.h) builds it from recordings (vexa_recording.h).
#ifndef VEXA_RUN_DATA_H_
#define VEXA_RUN_DATA_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "event.hh"
#include "event_util.h"

struct VEXA_HOST_API vexa_run_block {
  uint32_t sec = 0;
  uint32_t usec = 0;
  int32_t ltotal = 0;
  int32_t mpulse = 0;     // 2010 recordings
  uint64_t mpulse64 = 0;  // 2024 recordings
  int32_t tmask = 0;
  int32_t status = 0;
  int32_t nchan = 0;
  bool fails = false;
};

struct VEXA_HOST_API vexa_run_member {
  bool fails = false;
  float start = 0;
  float inc = 0;
  int32_t ndata = 0;
  int32_t groups = 1;
  float group_inc = 0;
  std::vector<float> values;
  bool has_stat = false;
  vexa_spect_statistics_2010 stat{};
};

struct VEXA_HOST_API vexa_run_roi {
  vexa_image_roi1 record{};
  bool has_mean_values = false;
  std::vector<float> mean_values;
};

struct VEXA_HOST_API vexa_run_image {
  int32_t nframe = 0;
  int32_t compr = 0;
  int32_t bpp = 0;
  int32_t nx = 0;
  int32_t ny = 0;
  int32_t len = 0;
  int32_t size = 0;
  std::vector<unsigned char> data;  // as recorded; read as len bytes, zero-padded
  // Events of a streamed run keep their pixels as the recording's hex text
  // (instead of `data`), decoded only when the image is read.
  std::string_view hex;
  vexa_image_ext_frame_head frame_head{};
};

struct VEXA_HOST_API vexa_run_channel {
  int32_t type = 0;
  vexa_run_block block;
  std::optional<std::string> header_name;  // default: the selector
  int32_t header_status = 0;
  bool header_fails = false;
  std::optional<float> single;
  std::vector<std::pair<std::optional<std::string>, float>> pairs;
  std::vector<vexa_run_member> members;
  std::optional<int32_t> nmemb;
  std::optional<vexa_run_roi> roi;
  std::optional<vexa_run_image> image;
  bool convertible = true;
};

struct VEXA_HOST_API vexa_run_event {
  uint64_t id = 0;
  int32_t type = 0;
  uint32_t sec = 0;
  uint32_t usec = 0;
  int32_t status = 0;
  bool header_fails = false;
  std::optional<vexa_run_block> image_block;
  std::optional<vexa_run_block> fast_block;
  // Channel data by selector; runs of thousands of channels look each one up per event.
  std::unordered_map<std::string, vexa_run_channel> channels;
};

struct VEXA_HOST_API vexa_run_channel_entry {
  std::optional<std::string> name;  // null: the reader cannot name it
  int32_t sub = -1;
};

class vexa_recording;

struct VEXA_HOST_API vexa_run {
  int generation = 2024;
  std::vector<vexa_run_channel_entry> channels;
  std::vector<std::unique_ptr<chan_descr_2010>> descriptions;
  std::vector<chan_descr_2010*> descr_list;  // views of `descriptions`
  int64_t empty_events = 0;
  std::optional<int64_t> reported_events;
  std::vector<vexa_run_event> events;  // decoded when the run was built
  // A streamed run (vexa_open_run) holds its recordings instead: their
  // events follow one another and are decoded one at a time when walked.
  std::vector<std::shared_ptr<const vexa_recording>> recordings;
  size_t streamed_events = 0;

  size_t event_count() const { return events.size() + streamed_events; }
};

// Told now and then how far a recording has been checked: bytes done, of
// the file's size.
using vexa_load_progress = std::function<void(uint64_t done, uint64_t total)>;

#endif  // VEXA_RUN_DATA_H_
