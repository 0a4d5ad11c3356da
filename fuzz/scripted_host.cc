#include "scripted_host.h"

#include <climits>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "vexa_daq_data.h"
#include "vexa_daq_reader_base.h"

namespace scripted {

namespace {

const uint8_t* script = nullptr;
size_t left = 0;
bool ran_dry = false;
std::deque<std::string> names;  // stable storage for the texts handed out

// Records handed out by pointer; refilled at every answer.
vexa_spect_statistics_2010 stat_record;
vexa_image_ext_frame_head frame_head;
std::vector<unsigned char> roi_block;
std::vector<chan_descr_2010> descr_records;
std::vector<chan_descr_2010*> descr_list;
int last_leni = 0;

// Images the host delivers at most; a larger length gets no pixel data.
constexpr int kMaxImageBytes = 1 << 22;

void fill(void* place, size_t n) {
  size_t have = n < left ? n : left;
  if (have != 0) std::memcpy(place, script, have);
  std::memset(static_cast<unsigned char*>(place) + have, 0, n - have);
  script += have;
  left -= have;
  if (have < n) ran_dry = true;
}

uint32_t next_u32() {
  uint32_t v = 0;
  for (int k = 0; k < 4; ++k) v = v << 8 | next_byte();
  return v;
}

uint64_t next_u64() { return uint64_t{next_u32()} << 32 | next_u32(); }

float next_float() {
  uint8_t b = next_byte();
  switch (b % 4) {
    case 0:
      return static_cast<float>(b / 4);
    case 1: {
      const float special[] = {
          0.0f,  -0.0f, 1e38f, -1e-38f, __builtin_nanf(""), __builtin_inff(), -__builtin_inff(),
          1e-45f};
      return special[(b / 4) % 8];
    }
    default: {
      uint32_t bits = next_u32();
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return f;
    }
  }
}

template <typename T>
void put(T* place, T value) {
  if (place != nullptr) *place = value;
}

// Null for one answer in eight.
bool give_null() { return next_byte() % 8 == 0; }

}  // namespace

void set_script(const uint8_t* data, size_t size) {
  script = data;
  left = size;
  ran_dry = false;
  names.clear();
  last_leni = 0;
}

bool dry() { return ran_dry; }

uint8_t next_byte() {
  if (left == 0) {
    ran_dry = true;
    return 0;
  }
  --left;
  return *script++;
}

int next_count() {
  uint8_t b = next_byte();
  switch (b % 8) {
    case 0:
    case 1:
    case 2:
    case 3:
      return b / 8;
    case 4:
      return -1 - b / 8;
    case 5: {
      const int edge[] = {0,      -1,      INT_MAX,     INT_MIN, 1 << 16,     1 << 20,
                          65535,  100,     0x10000001,  1 << 24, INT_MAX / 2, 46341,
                          -65536, 1 << 30, INT_MAX - 1, 5000};
      return edge[(b / 8) % 16];
    }
    default:
      return static_cast<int>(next_u32());
  }
}

int next_result() {
  uint8_t b = next_byte();
  if (ran_dry) return -1;
  return b % 8 == 0 ? (b % 16 == 0 ? -1 : b) : 0;
}

char* next_name() {
  uint8_t b = next_byte();
  size_t len;
  switch (b % 4) {
    case 0:
      len = b / 64;  // 0 to 3
      break;
    case 1:
      len = b / 4;
      break;
    case 2:
      len = 256 + (next_u32() % 4745);  // up to 5000
      break;
    default:
      len = 1 + b / 32;
      break;
  }
  std::string& name = names.emplace_back(len, 'n');
  for (size_t k = 0; k < len && left > 0; ++k) {
    char c = static_cast<char>(next_byte());
    // No path separators: image files are named after channels and must
    // stay in the working directory.
    name[k] = c == '/' ? '_' : c;
  }
  return name.data();
}

}  // namespace scripted

using scripted::next_byte;
using scripted::next_count;
using scripted::next_name;
using scripted::next_result;
using scripted::put;

vexa_daq_getdata::vexa_daq_getdata(vexa_run* run)
    : SrvbHeader_2010(&srvb_2010_),
      SrvbHeader_2024(&srvb_2024_),
      ChanHeader_2010(&chan_head_),
      run_(run) {}

vexa_daq_getdata::~vexa_daq_getdata() = default;

bool vexa_daq_getdata::position(size_t) {
  scripted::fill(&srvb_2010_, sizeof srvb_2010_);
  scripted::fill(&srvb_2024_, sizeof srvb_2024_);
  SrvbHeader_2024 = scripted::give_null() ? nullptr : &srvb_2024_;
  return !scripted::dry();
}

int vexa_daq_getdata::GetEventInfo(unsigned int* evid, int* evtype, unsigned int* len,
                                   unsigned int* tup, unsigned int* tlow, int* status, int* nsrvb) {
  int r = next_result();
  put(evid, scripted::next_u32());
  put(evtype, next_count());
  put(len, scripted::next_u32());
  put(tup, scripted::next_u32());
  put(tlow, scripted::next_u32());
  put(status, next_count());
  put(nsrvb, next_count());
  return r;
}

int vexa_daq_getdata::GetEventInfo_2024(uint64_t* evid, int* evtype, unsigned int* len,
                                        unsigned int* tup, unsigned int* tlow, int* status,
                                        int* nsrvb) {
  put(evid, scripted::next_u64());
  return GetEventInfo(nullptr, evtype, len, tup, tlow, status, nsrvb);
}

int vexa_daq_getdata::SetImage(int) { return next_count(); }
int vexa_daq_getdata::SetFast(int) { return next_count(); }

int vexa_daq_getdata::GetServBlockInfo(unsigned int* sec, unsigned int* usec, int* ltotal,
                                       int* mpulse, int* tmask, int* status, int* nchan) {
  int r = next_result();
  put(sec, scripted::next_u32());
  put(usec, scripted::next_u32());
  put(ltotal, next_count());
  put(mpulse, next_count());
  put(tmask, next_count());
  put(status, next_count());
  put(nchan, next_count());
  return r;
}

int vexa_daq_getdata::GetServBlockInfo_2024(unsigned int* sec, unsigned int* usec, int* ltotal,
                                            uint64_t* mpulse, int* tmask, int* status, int* nchan) {
  put(mpulse, scripted::next_u64());
  return GetServBlockInfo(sec, usec, ltotal, nullptr, tmask, status, nchan);
}

vexa_serv_block_head_2010* vexa_daq_getdata::GetServBlockHead_2010() {
  return data_2010 ? SrvbHeader_2010 : nullptr;
}

vexa_serv_block_subhead_2010* vexa_daq_getdata::GetChanHead_2010() {
  return data_2010 || data_2024 ? ChanHeader_2010 : nullptr;
}

int vexa_daq_getdata::SetProp(const char*) {
  scripted::fill(&chan_head_, sizeof chan_head_);
  chan_head_.name[sizeof chan_head_.name - 1] = '\0';
  Nmemb = next_count();
  uint8_t b = next_byte();
  return b < 192 ? b % 6 : next_count();
}

int vexa_daq_getdata::GetChanInfo(char** name, int* type, int* status, int* length) {
  int r = next_result();
  put(name, scripted::give_null() ? nullptr : next_name());
  put(type, next_count());
  put(status, next_byte() % 4 == 0 ? next_count() : 0);
  put(length, next_count());
  return r;
}

float vexa_daq_getdata::GetSingle(int) { return scripted::next_float(); }

bool vexa_daq_getdata::GetValNamPrm(float* start, float* inc, int* type, int* nentries,
                                    int* length) {
  put(start, scripted::next_float());
  put(inc, scripted::next_float());
  put(type, next_count());
  put(nentries, next_count());
  put(length, next_count());
  return next_byte() % 2 == 0;
}

int vexa_daq_getdata::GetValNamChan(char** name, float* value, int) {
  int r = next_result();
  put(name, scripted::give_null() ? nullptr : next_name());
  put(value, scripted::next_float());
  return r;
}

int vexa_daq_getdata::GetNmemb() { return next_count(); }

int vexa_daq_getdata::GetRoiPar(void** blk, float* start, float* inc, float** mean, int* ndata,
                                int) {
  int r = next_result();
  using scripted::roi_block;
  // The ROI record, then one mean value.
  roi_block.assign(sizeof(vexa_image_roi1) + sizeof(float), 0);
  scripted::fill(roi_block.data(), roi_block.size());
  put(blk, scripted::give_null() ? nullptr : static_cast<void*>(roi_block.data()));
  put(start, scripted::next_float());
  put(inc, scripted::next_float());
  put(mean, scripted::give_null()
                ? nullptr
                : reinterpret_cast<float*>(roi_block.data() + sizeof(vexa_image_roi1)));
  put(ndata, next_count());
  return r;
}

int vexa_daq_getdata::GetSpectPar(float* start, float* inc, float** data, int* ndata, int,
                                  int* groups, float* group_inc,
                                  vexa_spect_statistics_2010** stat) {
  int r = next_result();
  put(start, scripted::next_float());
  put(inc, scripted::next_float());
  put(data, static_cast<float*>(nullptr));
  put(ndata, next_count());
  put(groups, next_count());
  put(group_inc, scripted::next_float());
  scripted::fill(&scripted::stat_record, sizeof scripted::stat_record);
  put(stat, scripted::give_null() ? nullptr : &scripted::stat_record);
  return r;
}

float vexa_daq_getdata::GetSpectVal(int, int) { return scripted::next_float(); }

int vexa_daq_getdata::GetImagePar(int* nframe, int* compr, int* bpp, int* len) {
  int r = next_result();
  put(nframe, next_count());
  put(compr, next_count());
  uint8_t b = next_byte();
  put(bpp, b < 224 ? b % 6 : next_count());
  scripted::last_leni = next_count();
  put(len, scripted::last_leni);
  return r;
}

int vexa_daq_getdata::GetImageSize(int* xstart, int* xinc, int* nx, int* ystart, int* yinc,
                                   int* ny) {
  put(xstart, next_count());
  put(xinc, next_count());
  put(nx, next_count());
  put(ystart, next_count());
  put(yinc, next_count());
  put(ny, next_count());
  return next_byte() % 4 != 0 ? scripted::last_leni : next_count();
}

unsigned char* vexa_daq_getdata::GetImage() {
  int len = scripted::last_leni;
  // The pixel data are the image's length in bytes, or nothing.
  if (scripted::give_null() || len <= 0 || len > scripted::kMaxImageBytes) return nullptr;
  image_.assign(static_cast<size_t>(len), 0);
  for (size_t k = 0; k < image_.size() && !scripted::dry(); ++k) image_[k] = next_byte();
  return image_.data();
}

vexa_image_ext_frame_head* vexa_daq_getdata::GetImageHeader() {
  scripted::fill(&scripted::frame_head, sizeof scripted::frame_head);
  return scripted::give_null() ? nullptr : &scripted::frame_head;
}

int vexa_daq_reader_base::get_number_of_channels() {
  (void)run_;  // no loaded run behind this reader
  return next_count();
}

char* vexa_daq_reader_base::get_channel_name(int, int* sub) {
  if (scripted::dry() || next_byte() % 32 == 0) return nullptr;
  put(sub, next_byte() % 2 == 0 ? -1 : next_count());
  return next_name();
}

int vexa_daq_reader_base::get_number_of_events() { return next_count(); }
int vexa_daq_reader_base::get_number_of_empty_events() { return next_count(); }

std::vector<chan_descr_2010*>* vexa_daq_reader_base::get_descr_list() {
  using scripted::descr_list;
  using scripted::descr_records;
  int n = next_byte() % 4;
  descr_records.assign(n, chan_descr_2010{});
  descr_list.clear();
  for (chan_descr_2010& d : descr_records) {
    const char* name = next_name();
    std::strncpy(d.daq_name, name, sizeof d.daq_name - 1);
    if (next_byte() % 2 == 0) d.attributes.emplace_back("type", next_name());
    descr_list.push_back(&d);
  }
  return &descr_list;
}
