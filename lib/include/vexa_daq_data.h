// Per-event data access: the object the reader positions on one event and
// hands to the plug-in's per-event hook.
#ifndef VEXA_DAQ_DATA_H_
#define VEXA_DAQ_DATA_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "event.hh"

struct vexa_run;
struct vexa_run_event;
struct vexa_run_channel;
struct vexa_run_block;
class vexa_run_cursor;

// The host's general structured-data object.
class VEXA_HOST_API EqData {
 public:
  int type = 0;
  int length = 0;
  std::string name;
};

class VEXA_HOST_API vexa_daq_getdata {
 public:
  // Data generation of the event the object stands on.
  bool data_2010 = false;
  bool data_2024 = false;
  // Member count of the selected channel.
  int Nmemb = 0;
  vexa_serv_block_head_2010* SrvbHeader_2010;
  vexa_serv_block_head_2024* SrvbHeader_2024;
  vexa_serv_block_subhead_2010* ChanHeader_2010;

  explicit vexa_daq_getdata(vexa_run* run);
  vexa_daq_getdata(const vexa_daq_getdata&) = delete;
  vexa_daq_getdata& operator=(const vexa_daq_getdata&) = delete;
  ~vexa_daq_getdata();

  // Positions the object on event `index` of the run; false when out of range.
  bool position(size_t index);
  // True when a read of the current event ran out of memory (an image too
  // large to copy): the plug-in was told there was no image, and the reader
  // ends the run there.
  bool out_of_memory() const { return out_of_memory_; }

  bool is_data_2024() const { return data_2024; }

  int GetEventInfo(unsigned int* evid, int* evtype, unsigned int* len, unsigned int* tup,
                   unsigned int* tlow, int* status, int* nsrvb);
  int GetEventInfo_2024(uint64_t* evid, int* evtype, unsigned int* len, unsigned int* tup,
                        unsigned int* tlow, int* status, int* nsrvb);

  // Above 0 when the event holds image (fast) data; the next server-block
  // read then concerns its first image (fast channel).
  int SetImage(int n);
  int SetFast(int n);

  int GetServBlockInfo(unsigned int* sec, unsigned int* usec, int* ltotal, int* mpulse, int* tmask,
                       int* status, int* nchan);
  int GetServBlockInfo_2024(unsigned int* sec, unsigned int* usec, int* ltotal, uint64_t* mpulse,
                            int* tmask, int* status, int* nchan);
  vexa_serv_block_head_2010* GetServBlockHead_2010();
  vexa_serv_block_subhead_2010* GetChanHead_2010();

  // Selects a channel by "name" or "name:sub"; returns its type (1 to 5), or
  // 0 when the event does not hold it.
  int SetProp(const char* selector);
  int GetChanInfo(char** name, int* type, int* status, int* length);

  float GetSingle(int index);
  // False for a name-value list, whose pair count goes to *nentries.
  bool GetValNamPrm(float* start, float* inc, int* type, int* nentries, int* length);
  int GetValNamChan(char** name, float* value, int index);

  int GetNmemb();
  int GetRoiPar(void** blk, float* start, float* inc, float** mean, int* ndata, int member);
  int GetSpectPar(float* start, float* inc, float** data, int* ndata, int member, int* groups,
                  float* group_inc, vexa_spect_statistics_2010** stat);
  float GetSpectVal(int member, int index);

  int GetImagePar(int* nframe, int* compr, int* bpp, int* len);
  int GetImageSize(int* xstart, int* xinc, int* nx, int* ystart, int* yinc, int* ny);
  unsigned char* GetImage();
  vexa_image_ext_frame_head* GetImageHeader();

 private:
  void fill_headers(const vexa_run_block* block);

  vexa_run* run_;
  // Owned; a plain pointer, so that hosts with other data behind this
  // object need not know the type.
  vexa_run_cursor* cursor_ = nullptr;
  const vexa_run_event* event_ = nullptr;
  const vexa_run_channel* channel_ = nullptr;  // null: selector not held by the event
  const vexa_run_block* block_ = nullptr;      // block the next server-block read concerns
  std::string channel_name_;
  std::vector<unsigned char> image_;
  bool out_of_memory_ = false;
  vexa_serv_block_head_2010 srvb_2010_{};
  vexa_serv_block_head_2024 srvb_2024_{};
  vexa_serv_block_subhead_2010 chan_head_{};
  vexa_image_roi1* roi_ = nullptr;
  std::vector<unsigned char> roi_storage_;
};

// Structured-data conversion of a channel's block; 0 when converted.  The
// object handed back is owned by the host and reused by the next conversion.
VEXA_HOST_API int vexa_daq_to_eqdata(vexa_event_slot_head* event, vexa_serv_block_head_2010* block,
                                     vexa_serv_block_subhead_2010* channel, EqData** out,
                                     bool keep);
VEXA_HOST_API int vexa_daq_to_eqdata_2024(vexa_event_slot_head_2024* event,
                                          vexa_serv_block_head_2024* block,
                                          vexa_serv_block_subhead_2010* channel, EqData** out,
                                          bool keep);

// Copies `count` 16-bit words from `from` to `to`, exchanging the two bytes
// of each; the buffers may be the same.
VEXA_HOST_API void vexa_swap2(short* from, short* to, int count);

// Name of an event type: "normal", "calibration", "pedestal", "test",
// "unknown", or "type<n>".
VEXA_HOST_API const char* event_name_itoa(int type);

// ISO date text of `t` into a 64-byte buffer: UTC with a trailing "Z", or
// local time without it.
VEXA_HOST_API void create_isodate_from_sec(time_t t, char* buf, bool utc);

// Values per spectrum (0 means 100) and status-column switch, set by the reader.
extern VEXA_HOST_API int nbunch;
extern VEXA_HOST_API int outmode;

#endif  // VEXA_DAQ_DATA_H_
