// The reference host's in-memory run: what a recording file holds, ready for
// the readers and the data-access object.
#ifndef VEXA_RUN_H_
#define VEXA_RUN_H_

#include <cstdint>
#include <functional>
#include <map>
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

// Walks the events of a run.  A streamed event is decoded into the cursor
// and stays valid until the next call.
class VEXA_HOST_API vexa_run_cursor {
 public:
  explicit vexa_run_cursor(const vexa_run* run);
  vexa_run_cursor(const vexa_run_cursor&) = delete;
  vexa_run_cursor& operator=(const vexa_run_cursor&) = delete;
  ~vexa_run_cursor();

  // Event `index`; null past the end, or when a streamed event cannot be
  // decoded (then error() says why).
  const vexa_run_event* at(size_t index);
  const std::string& error() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Selector of a channel entry: its name, or "name:sub" with a sub-channel.
VEXA_HOST_API std::string vexa_selector(const vexa_run_channel_entry& entry);

// Builds a run from recording text.  On refusal returns null and sets *error
// to one line: the source name, the place and the reason.
VEXA_HOST_API std::unique_ptr<vexa_run> vexa_parse_run(std::string_view text,
                                                       const std::string& source,
                                                       std::string* error);

// Reads and parses a recording file.
VEXA_HOST_API std::unique_ptr<vexa_run> vexa_load_run(const std::string& path, std::string* error);

// Told now and then how far a recording has been checked: bytes done, of
// the file's size.
using vexa_load_progress = std::function<void(uint64_t done, uint64_t total)>;

// Reads a recording for a walk: the whole text is checked as by
// vexa_load_run, but only its bytes stay in memory and each event is decoded
// when the walk reaches it.
VEXA_HOST_API std::unique_ptr<vexa_run> vexa_open_run(const std::string& path, std::string* error,
                                                      const vexa_load_progress& progress = {});
// The same for recording text already in memory (the text is copied).
VEXA_HOST_API std::unique_ptr<vexa_run> vexa_open_run_text(std::string_view text,
                                                           const std::string& source,
                                                           std::string* error);

// Appends the events of a further recording of the same generation; the
// event counts add up.  False (with *error) on a generation mismatch, or
// when a streamed run would be followed by decoded events.
VEXA_HOST_API bool vexa_append_run(vexa_run& run, vexa_run&& more, const std::string& source,
                                   std::string* error);

// Narrows the channel list to the given selectors, in their order.  False
// (with *error) when a selector names no recorded channel.
VEXA_HOST_API bool vexa_select_channels(vexa_run& run, const std::vector<std::string>& selectors,
                                        std::string* error);

#endif  // VEXA_RUN_H_
