#include "vexa_daq_data.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "vexa_run.h"

namespace {

template <typename T>
void put(T* place, T value) {
  if (place != nullptr) *place = value;
}

// Zero values that the reads of a channel the event does not hold report.
const vexa_run_block kEmptyBlock{};

// Pixels from hex text that was checked to hold only hex digits: a digit's
// low four bits, plus 9 for the letters (bit 6 set), with no branch or table,
// so that the loop vectorises.
void decode_hex(std::string_view hex, unsigned char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(hex.data());
  for (size_t k = 0; k < hex.size() / 2; ++k) {
    unsigned hi = in[2 * k], lo = in[2 * k + 1];
    out[k] = static_cast<unsigned char>(((hi & 0xf) + 9 * (hi >> 6)) << 4 |
                                        ((lo & 0xf) + 9 * (lo >> 6)));
  }
}

}  // namespace

vexa_daq_getdata::vexa_daq_getdata(vexa_run* run)
    : SrvbHeader_2010(&srvb_2010_),
      SrvbHeader_2024(&srvb_2024_),
      ChanHeader_2010(&chan_head_),
      run_(run),
      cursor_(new vexa_run_cursor(run)) {}

vexa_daq_getdata::~vexa_daq_getdata() { delete cursor_; }

bool vexa_daq_getdata::position(size_t index) {
  event_ = cursor_->at(index);
  if (event_ == nullptr) return false;
  data_2010 = run_->generation == 2010;
  data_2024 = run_->generation == 2024;
  channel_ = nullptr;
  block_ = nullptr;
  Nmemb = 0;
  channel_name_.clear();
  out_of_memory_ = false;
  srvb_2010_ = {};
  srvb_2024_ = {};
  chan_head_ = {};
  return true;
}

int vexa_daq_getdata::GetEventInfo(unsigned int* evid, int* evtype, unsigned int* len,
                                   unsigned int* tup, unsigned int* tlow, int* status, int* nsrvb) {
  if (event_ == nullptr || event_->header_fails) return -1;
  put(evid, static_cast<unsigned int>(event_->id));
  put(evtype, event_->type);
  put(len, 0u);
  put(tup, event_->sec);
  put(tlow, event_->usec);
  put(status, event_->status);
  put(nsrvb, static_cast<int>(event_->channels.size()));
  return 0;
}

int vexa_daq_getdata::GetEventInfo_2024(uint64_t* evid, int* evtype, unsigned int* len,
                                        unsigned int* tup, unsigned int* tlow, int* status,
                                        int* nsrvb) {
  if (event_ == nullptr || event_->header_fails) return -1;
  put(evid, event_->id);
  return GetEventInfo(nullptr, evtype, len, tup, tlow, status, nsrvb);
}

int vexa_daq_getdata::SetImage(int) {
  if (event_ == nullptr || !event_->image_block) return 0;
  block_ = &*event_->image_block;
  return 1;
}

int vexa_daq_getdata::SetFast(int) {
  if (event_ == nullptr || !event_->fast_block) return 0;
  block_ = &*event_->fast_block;
  return 1;
}

int vexa_daq_getdata::GetServBlockInfo(unsigned int* sec, unsigned int* usec, int* ltotal,
                                       int* mpulse, int* tmask, int* status, int* nchan) {
  if (block_ == nullptr || block_->fails) return -1;
  put(sec, block_->sec);
  put(usec, block_->usec);
  put(ltotal, block_->ltotal);
  put(mpulse, block_->mpulse);
  put(tmask, block_->tmask);
  put(status, block_->status);
  put(nchan, block_->nchan);
  return 0;
}

int vexa_daq_getdata::GetServBlockInfo_2024(unsigned int* sec, unsigned int* usec, int* ltotal,
                                            uint64_t* mpulse, int* tmask, int* status, int* nchan) {
  if (block_ == nullptr || block_->fails) return -1;
  put(mpulse, block_->mpulse64);
  return GetServBlockInfo(sec, usec, ltotal, nullptr, tmask, status, nchan);
}

vexa_serv_block_head_2010* vexa_daq_getdata::GetServBlockHead_2010() {
  return data_2010 ? SrvbHeader_2010 : nullptr;
}

vexa_serv_block_subhead_2010* vexa_daq_getdata::GetChanHead_2010() {
  return data_2010 || data_2024 ? ChanHeader_2010 : nullptr;
}

void vexa_daq_getdata::fill_headers(const vexa_run_block* b) {
  srvb_2010_ = {{b->sec, b->usec}, b->ltotal, b->mpulse, b->tmask, b->status, b->nchan};
  srvb_2024_ = {{b->sec, b->usec}, b->ltotal, b->mpulse64, b->tmask, b->status, b->nchan};
  chan_head_ = {};
  // The rest of the name stays zero from the line above (strncpy would zero
  // it again, at every channel of every event).
  std::memcpy(chan_head_.name, channel_name_.data(),
              std::min(channel_name_.size(), sizeof chan_head_.name - 1));
  if (channel_ != nullptr) {
    chan_head_.type = channel_->type;
    chan_head_.status = channel_->header_status;
    chan_head_.flags = channel_->convertible ? VEXA_SUBHEAD_CONVERTIBLE : 0u;
  }
}

int vexa_daq_getdata::SetProp(const char* selector) {
  channel_ = nullptr;
  roi_ = nullptr;
  std::string_view wanted = selector != nullptr ? selector : "";
  channel_name_.assign(wanted);
  if (event_ != nullptr) channel_ = cursor_->find(wanted);
  if (channel_ != nullptr && channel_->header_name) channel_name_ = *channel_->header_name;
  block_ = channel_ != nullptr ? &channel_->block : &kEmptyBlock;
  Nmemb = GetNmemb();
  fill_headers(block_);
  return channel_ != nullptr ? channel_->type : 0;
}

int vexa_daq_getdata::GetChanInfo(char** name, int* type, int* status, int* length) {
  if (event_ == nullptr) return -1;
  if (channel_ != nullptr && channel_->header_fails) return -1;
  put(name, channel_name_.data());
  put(type, channel_ != nullptr ? channel_->type : 0);
  put(status, channel_ != nullptr ? channel_->header_status : 0);
  put(length, 0);
  return 0;
}

float vexa_daq_getdata::GetSingle(int index) {
  if (channel_ == nullptr || index != 0 || !channel_->single) return 0.0f;
  return *channel_->single;
}

bool vexa_daq_getdata::GetValNamPrm(float* start, float* inc, int* type, int* nentries,
                                    int* length) {
  put(start, 0.0f);
  put(inc, 0.0f);
  put(type, channel_ != nullptr ? channel_->type : 0);
  put(length, 0);
  if (channel_ != nullptr && channel_->single) {
    put(nentries, 1);
    return true;
  }
  put(nentries, channel_ != nullptr ? static_cast<int>(channel_->pairs.size()) : 0);
  return false;
}

int vexa_daq_getdata::GetValNamChan(char** name, float* value, int index) {
  put(name, static_cast<char*>(nullptr));
  put(value, 0.0f);
  if (channel_ == nullptr || index < 0 || static_cast<size_t>(index) >= channel_->pairs.size()) {
    return -1;
  }
  auto& pair = const_cast<vexa_run_channel*>(channel_)->pairs[index];
  if (pair.first) put(name, pair.first->data());
  put(value, pair.second);
  return 0;
}

int vexa_daq_getdata::GetNmemb() {
  if (channel_ == nullptr) return 0;
  if (channel_->nmemb) return *channel_->nmemb;
  return static_cast<int>(channel_->members.size());
}

int vexa_daq_getdata::GetRoiPar(void** blk, float* start, float* inc, float** mean, int* ndata,
                                int member) {
  if (channel_ == nullptr || !channel_->roi || member != 0) return -1;
  const vexa_run_roi& roi = *channel_->roi;
  if (roi_ == nullptr) {
    roi_storage_.assign(sizeof(vexa_image_roi1), 0);
    roi_ = reinterpret_cast<vexa_image_roi1*>(roi_storage_.data());
    *roi_ = roi.record;
  }
  put(blk, static_cast<void*>(roi_));
  put(start, roi.record.stat.start1);
  put(inc, roi.record.stat.inc1);
  put(ndata, roi.record.stat.ndata1);
  bool has_mean = roi.has_mean_values && !roi.mean_values.empty();
  put(mean, has_mean ? const_cast<float*>(roi.mean_values.data()) : nullptr);
  return 0;
}

int vexa_daq_getdata::GetSpectPar(float* start, float* inc, float** data, int* ndata, int member,
                                  int* groups, float* group_inc,
                                  vexa_spect_statistics_2010** stat) {
  if (channel_ == nullptr || member < 0 ||
      static_cast<size_t>(member) >= channel_->members.size()) {
    return -1;
  }
  const vexa_run_member& m = channel_->members[member];
  if (m.fails) return -1;
  put(start, m.start);
  put(inc, m.inc);
  put(data, const_cast<float*>(m.values.data()));
  put(ndata, m.ndata);
  put(groups, m.groups);
  put(group_inc, m.group_inc);
  put(stat, m.has_stat ? const_cast<vexa_spect_statistics_2010*>(&m.stat) : nullptr);
  return 0;
}

float vexa_daq_getdata::GetSpectVal(int member, int index) {
  if (channel_ == nullptr || member < 0 ||
      static_cast<size_t>(member) >= channel_->members.size()) {
    return 0.0f;
  }
  const std::vector<float>& values = channel_->members[member].values;
  if (index < 0 || static_cast<size_t>(index) >= values.size()) return 0.0f;
  return values[index];
}

int vexa_daq_getdata::GetImagePar(int* nframe, int* compr, int* bpp, int* len) {
  if (channel_ == nullptr || !channel_->image) return -1;
  const vexa_run_image& im = *channel_->image;
  put(nframe, im.nframe);
  put(compr, im.compr);
  put(bpp, im.bpp);
  put(len, im.len);
  return 0;
}

int vexa_daq_getdata::GetImageSize(int* xstart, int* xinc, int* nx, int* ystart, int* yinc,
                                   int* ny) {
  if (channel_ == nullptr || !channel_->image) return -1;
  const vexa_run_image& im = *channel_->image;
  put(xstart, 0);
  put(xinc, 1);
  put(nx, im.nx);
  put(ystart, 0);
  put(yinc, 1);
  put(ny, im.ny);
  return im.size;
}

unsigned char* vexa_daq_getdata::GetImage() {
  if (channel_ == nullptr || !channel_->image) return nullptr;
  // A private copy: the plug-in may byte-swap it in place.
  // The recording keeps only the bytes it gave; the rest up to `len` is zero.
  const vexa_run_image& im = *channel_->image;
  try {
    if (!im.hex.empty()) {
      // A streamed event's pixels are still hex text (checked when loaded).
      image_.resize(im.hex.size() / 2);
      decode_hex(im.hex, image_.data());
    } else {
      image_.assign(im.data.begin(), im.data.end());
    }
    size_t len = static_cast<size_t>(std::max(im.len, 0));
    image_.resize(std::max({image_.size(), len, size_t{1}}), 0);
  } catch (const std::bad_alloc&) {
    // No exception crosses into the plug-in: it hears "no image", and the
    // reader learns why.
    std::vector<unsigned char>().swap(image_);
    out_of_memory_ = true;
    return nullptr;
  }
  return image_.data();
}

vexa_image_ext_frame_head* vexa_daq_getdata::GetImageHeader() {
  if (channel_ == nullptr || !channel_->image) return nullptr;
  return const_cast<vexa_image_ext_frame_head*>(&channel_->image->frame_head);
}
