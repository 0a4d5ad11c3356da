// Records of the recorded data: event and server-block headers, channel
// sub-headers, spectrum, ROI and image records.  Field orders follow the
// on-disk layout the readers deliver.
#ifndef VEXA_EVENT_HH_
#define VEXA_EVENT_HH_

#include <cstdint>

#define VEXA_HOST_API __attribute__((visibility("default")))

// A time as seconds since the Unix epoch and microseconds.
struct time_stamp {
  uint32_t timeup;
  uint32_t timelow;
};

// Event headers of the two data generations.
struct vexa_event_slot_head {
  uint32_t evid;
  int32_t evtype;
  uint32_t length;
  time_stamp tm;
  int32_t status;
  int32_t nsrvb;
};

struct vexa_event_slot_head_2024 {
  uint64_t evid;
  int32_t evtype;
  uint32_t length;
  time_stamp tm;
  int32_t status;
  int32_t nsrvb;
};

// Server-block headers: seconds, microseconds, total length, macro-pulse
// number, trigger mask, status, channel count.
struct vexa_serv_block_head_2010 {
  time_stamp tm;
  int32_t ltotal;
  int32_t mpulse;
  int32_t tmask;
  int32_t status;
  int32_t nchan;
};

struct vexa_serv_block_head_2024 {
  time_stamp tm;
  int32_t ltotal;
  uint64_t mpulse;
  int32_t tmask;
  int32_t status;
  int32_t nchan;
};

// Channel sub-header; the same layout serves both generations.
struct vexa_serv_block_subhead_2010 {
  char name[80];
  int32_t type;
  int32_t status;
  int32_t length;
  uint32_t flags;  // host-private bits, see VEXA_SUBHEAD_CONVERTIBLE
};

// Set in vexa_serv_block_subhead_2010::flags when the channel's payload can be
// turned into an EqData object.
constexpr uint32_t VEXA_SUBHEAD_CONVERTIBLE = 1u;

// Parameters of one spectrum member.
struct vexa_spect_header_2010 {
  float start;
  float inc;
  int32_t ndata;
  int32_t groups;
  float group_inc;
};

// Statistics of one spectrum member: bit j of mask says val[j] is set.
struct vexa_spect_statistics_2010 {
  uint32_t mask;
  float val[32];
};

struct vexa_image_roi_param {
  int32_t w;
  int32_t h;
  int32_t bpp;
  uint32_t flag;
  int32_t x0;
  int32_t y0;
  int32_t hs;
  int32_t vs;
  float angle;
  int32_t cw;
  int32_t cs;
  float prm[8];
};

struct vexa_image_roi_peak {
  int32_t pos;
  float val[3];
};

struct vexa_image_roi_stat1 {
  float mean;
  float max;
  float cofm;
  float sig;
  vexa_image_roi_peak pv;
  vexa_image_roi_peak ps;
  float prm[8];
};

struct vexa_image_roi_stat {
  vexa_image_roi_stat1 stat1;
  float start1;
  float inc1;
  int32_t ndata1;
  float data1[1];  // ndata1 values follow in the recorded block
};

// ROI block of a spectrum channel.
struct vexa_image_roi1 {
  vexa_image_roi_param roi_param;
  vexa_image_roi_stat stat;
};

// Frame header of a camera image: 25 fields of four bytes.
struct vexa_image_ext_frame_head {
  int32_t width;
  int32_t height;
  int32_t aoi_width;
  int32_t aoi_height;
  int32_t x_start;
  int32_t y_start;
  int32_t bpp;
  int32_t ebitpp;
  int32_t hbin;
  int32_t vbin;
  int32_t source_format;
  int32_t image_format;
  uint32_t frame;
  uint32_t event;
  float scale_x;
  float scale_y;
  float image_rotation;
  float fspare2;
  float fspare3;
  float fspare4;
  int32_t image_flags;
  int32_t ispare2;
  int32_t ispare3;
  int32_t ispare4;
  int32_t length;
};
static_assert(sizeof(vexa_image_ext_frame_head) == 100, "frame header is 100 bytes");

// One pair of a name-value channel.
struct vexa_name_value_channel {
  char name[80];
  float value;
};

#endif  // VEXA_EVENT_HH_
