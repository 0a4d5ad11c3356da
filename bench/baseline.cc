#include "baseline.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "vexa_daq_data.h"
#include "vexa_daq_reader_base.h"

namespace daq::bench {

namespace {

class LiteralWriter {
 public:
  LiteralWriter(vexa_run& run, const LiteralOptions& options, FILE* fd)
      : run_(run), o_(options), fd_(fd), reader_(&run) {}

  bool write_header(std::string* error);
  bool write_row(vexa_daq_getdata* data, std::string* error);

 private:
  // Formats one piece into `number_` and writes it.
  __attribute__((format(printf, 2, 3))) void put(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(number_, sizeof number_, format, args);
    va_end(args);
    if (n > static_cast<int>(sizeof number_) - 1) n = sizeof number_ - 1;
    if (n > 0) std::fwrite(number_, 1, static_cast<size_t>(n), fd_);
  }
  const char* sep() const { return o_.hdf5 ? "," : "\t"; }
  void put_status(int status) { put(o_.hdf5 ? "0x%X," : "0x%X\t\t\t", status); }
  void append_id(vexa_daq_getdata* data, int i);

  void mark_cell(vexa_daq_getdata* data, int i);
  void value_cell(vexa_daq_getdata* data, int i);
  void spectrum_cell(vexa_daq_getdata* data, int i, const char* channml);
  void image_cell(vexa_daq_getdata* data, int i);
  void structured_cell(vexa_daq_getdata* data, int i, vexa_serv_block_subhead_2010* chhd);

  vexa_run& run_;
  LiteralOptions o_;
  FILE* fd_;
  vexa_daq_reader_base reader_;
  char number_[256];
  int nchans_ = 0;
  std::vector<char*> chans_;
  std::vector<int> subchans_;
  std::vector<std::vector<int32_t>> eventids_;
  std::vector<std::vector<uint64_t>> eventids64_;
  // Of the current event and channel.
  int32_t mpulse_ = -1;
  uint64_t mpulse64_ = 0;
  int samples_ = 100;
  int nchan_ = 0;
};

bool LiteralWriter::write_header(std::string* error) {
  nchans_ = reader_.get_number_of_channels();
  chans_.assign(nchans_, nullptr);
  subchans_.assign(nchans_, -1);
  eventids_.assign(nchans_, {});
  eventids64_.assign(nchans_, {});
  for (int i = 0; i < nchans_; ++i) {
    chans_[i] = reader_.get_channel_name(i, &subchans_[i]);
    if (chans_[i] == nullptr) {
      *error = "channel " + std::to_string(i) + " has no name";
      return false;
    }
  }
  if (o_.hdf5) {
    put("EventId,");
    put("Time,");
    put("TimeISO,");
    if (outmode != 0) put("EvHeadStatus,");
  } else {
    put("EventId\t");
    put("Time\t\t\t");
    if (outmode != 0) put("EvHeadStatus\t\t\t");
  }
  for (int j = 0; j < nchans_; ++j) {
    if (outmode != 0) {
      put(o_.hdf5 ? "SrvBlockStatus," : "SrvBlockStatus\t\t\t");
      put(o_.hdf5 ? "ChanStatus," : "ChanStatus\t\t\t");
    }
    if (subchans_[j] >= 0) {
      put("%s:%d", chans_[j], subchans_[j]);
    } else {
      put("%s", chans_[j]);
    }
    put("%s", j == nchans_ - 1 ? "\n" : sep());
  }
  return true;
}

void LiteralWriter::append_id(vexa_daq_getdata* data, int i) {
  if (data->data_2024) {
    std::vector<uint64_t>& list = eventids64_[i];
    if (list.empty() || list.back() != mpulse64_) list.push_back(mpulse64_);
  } else {
    std::vector<int32_t>& list = eventids_[i];
    if (list.empty() || list.back() != mpulse_) list.push_back(mpulse_);
  }
}

bool LiteralWriter::write_row(vexa_daq_getdata* data, std::string* error) {
  unsigned int evid = 0, len = 0, tup = 0, tlow = 0;
  uint64_t evid64 = 0;
  int evtype = 0, status = 0, nsrvb = 0;
  int rc = data->data_2024
               ? data->GetEventInfo_2024(&evid64, &evtype, &len, &tup, &tlow, &status, &nsrvb)
               : data->GetEventInfo(&evid, &evtype, &len, &tup, &tlow, &status, &nsrvb);
  if (rc != 0) {
    *error = "event header not readable";
    return false;
  }
  mpulse_ = -1;
  for (int image = 0; image < 2; ++image) {
    if ((image == 0 ? data->SetImage(0) : data->SetFast(0)) <= 0) continue;
    if (data->data_2024) {
      data->GetServBlockInfo_2024(&tup, &tlow, nullptr, &mpulse64_, nullptr, &status, nullptr);
    } else {
      data->GetServBlockInfo(&tup, &tlow, nullptr, &mpulse_, nullptr, &status, nullptr);
    }
  }

  if (o_.hdf5 && evid != 0) {
    put("%d,", static_cast<int>(evid));
  } else if (o_.hdf5) {
    put("%lu,", static_cast<unsigned long>(evid64));
  } else if (evid != 0) {
    put("[%s]%d\t\t", event_name_itoa(evtype), static_cast<int>(evid));
  } else {
    put("[%s]%lu\t\t", event_name_itoa(evtype), static_cast<unsigned long>(evid64));
  }
  put(o_.hdf5 ? "%d:%d," : "%d:%d\t", static_cast<int>(tup), static_cast<int>(tlow));
  char ltime[64];
  create_isodate_from_sec(static_cast<time_t>(tup), ltime, true);
  put(o_.hdf5 ? "%s," : "%s\t", ltime);
  if (outmode != 0) put_status(status);
  samples_ = nbunch != 0 ? nbunch : 100;

  char fullname[256];
  for (int i = 0; i < nchans_; ++i) {
    std::memset(fullname, 0, sizeof fullname);
    if (subchans_[i] < 0) {
      std::snprintf(fullname, sizeof fullname, "%s", chans_[i]);
    } else {
      std::snprintf(fullname, sizeof fullname, "%s:%d", chans_[i], subchans_[i]);
    }
    int ddtt = data->SetProp(fullname);
    unsigned int ctup = 0, ctlow = 0;
    int ltot = 0;
    rc = data->data_2024
             ? data->GetServBlockInfo_2024(&ctup, &ctlow, &ltot, &mpulse64_, nullptr, &status,
                                           &nchan_)
             : data->GetServBlockInfo(&ctup, &ctlow, &ltot, &mpulse_, nullptr, &status, &nchan_);
    if (rc != 0) {
      *error = std::string("server block of ") + fullname + " not readable";
      return false;
    }
    vexa_serv_block_subhead_2010* chhd = data->GetChanHead_2010();
    if (outmode != 0) put_status(status);
    char* channml = nullptr;
    int statusch = 0, dlen = 0;
    if (data->GetChanInfo(&channml, nullptr, &statusch, &dlen) != 0) {
      *error = std::string("channel header of ") + fullname + " not readable";
      return false;
    }
    if (outmode != 0) put_status(statusch);
    if (statusch != 0) {
      int nframe = 0, compr = 0, bpp = 0, leni = 0;
      if (data->GetImagePar(&nframe, &compr, &bpp, &leni) == 0) {
        std::printf(" Image.nframe:%d  compr:%d bpp:%d len:%d\n", nframe, compr, bpp, leni);
      } else {
        std::printf("No image parameters availanle\n");
      }
    }
    switch (ddtt) {
      case 1:
        mark_cell(data, i);
        break;
      case 2:
        value_cell(data, i);
        break;
      case 3:
        spectrum_cell(data, i, channml);
        break;
      case 4:
        image_cell(data, i);
        break;
      case 5:
        structured_cell(data, i, chhd);
        break;
      default:
        put("%s", o_.hdf5 ? "[]" : "Not found");
        break;
    }
    put("%s", i == nchans_ - 1 ? "\n" : sep());
  }
  return true;
}

void LiteralWriter::mark_cell(vexa_daq_getdata* data, int i) {
  put("1\t");
  append_id(data, i);
}

void LiteralWriter::value_cell(vexa_daq_getdata* data, int i) {
  append_id(data, i);
  if (data->GetValNamPrm(nullptr, nullptr, nullptr, &nchan_, nullptr)) {
    float dt = data->GetSingle(0);
    put(o_.hdf5 ? "[[%f]]" : "%f\t", static_cast<double>(dt));
    return;
  }
  put(o_.hdf5 ? "[" : "\t{");
  for (int k = 0; k < nchan_; ++k) {
    put("[");
    char* nm = nullptr;
    float dt = 0;
    data->GetValNamChan(&nm, &dt, k);
    if (nm == nullptr) {
      std::printf("nm is NULL\n");
      std::fflush(nullptr);
    }
    if (o_.nonvn) {
      put("%.2e", static_cast<double>(dt));
    } else {
      put("%s:%.2e", nm != nullptr ? nm : "(null)", static_cast<double>(dt));
    }
    put(k == nchan_ - 1 || o_.hdf5 ? "]" : "]\t");
  }
  put(o_.hdf5 ? "]" : "}");
}

void LiteralWriter::spectrum_cell(vexa_daq_getdata* data, int i, const char* channml) {
  int n = data->GetNmemb();
  if (n == 1) {
    void* blk = nullptr;
    float start = 0, inc = 0;
    float* mean = nullptr;
    int ndata = 0;
    if (data->GetRoiPar(&blk, &start, &inc, &mean, &ndata, 0) == 0 && blk != nullptr) {
      const vexa_image_roi1* roi = static_cast<const vexa_image_roi1*>(blk);
      const vexa_image_roi_stat& st = roi->stat;
      std::printf("ROI %s\n", channml != nullptr ? channml : "(null)");
      std::printf(
          "IMAGE %dx%d MEAN: %f (%f) MAX: %f  SIGMA: %f COFM: %f start:%f inc:%f ndata:%d\n",
          roi->roi_param.w, roi->roi_param.h, static_cast<double>(st.stat1.mean),
          mean != nullptr ? static_cast<double>(mean[0]) : 0.0, static_cast<double>(st.stat1.max),
          static_cast<double>(st.stat1.sig), static_cast<double>(st.stat1.cofm),
          static_cast<double>(st.start1), static_cast<double>(st.inc1), st.ndata1);
    }
    n = data->GetNmemb();
  }
  append_id(data, i);
  put(o_.hdf5 ? "[" : "{");
  for (int m = 0; m < n; ++m) {
    float start = 0, inc = 0, group_inc = 0;
    int ndata = 0, groups = 0;
    vexa_spect_statistics_2010* stat = nullptr;
    if (data->GetSpectPar(&start, &inc, nullptr, &ndata, m, &groups, &group_inc, &stat) != 0) {
      put(o_.hdf5 ? "[]" : "No data\t");
      put(",");
      continue;
    }
    bool with_stat = stat != nullptr && stat->mask != 0 && !o_.nostat;
    if (ndata == 0) {
      if (with_stat) {
        for (int j = 0; j < 32; ++j) {
          if (stat->mask & (1u << j)) put(" [%d]:%e ", j, static_cast<double>(stat->val[j]));
        }
        put(" ");
      }
      put(o_.hdf5 ? "[]" : "Not found\t");
      continue;
    }
    int lndata = groups >= 2 ? ndata * groups : ndata;
    put("[");
    if (with_stat) {
      for (int j = 0; j < 32; ++j) {
        if (stat->mask & (1u << j)) put(" [%d]:%e", j, static_cast<double>(stat->val[j]));
      }
      put(" ");
    }
    int count = lndata;
    if (!o_.dumpall) count = samples_ <= 0 || lndata <= 0 ? 0 : std::min(samples_, lndata);
    for (int k = 0; k < count; ++k) {
      float v = data->GetSpectVal(m, k);
      const char* after = k != count - 1 ? " " : "";
      if (std::isinf(v) || std::isnan(v)) {
        put("Invalid%s", after);
      } else {
        put("%.e%s", static_cast<double>(v), after);
      }
    }
    put(m == n - 1 || o_.hdf5 ? "]" : "]\t");
  }
  put(o_.hdf5 ? "]" : "}");
}

void LiteralWriter::image_cell(vexa_daq_getdata* data, int i) {
  append_id(data, i);
  unsigned int num = 0;
  uint64_t num64 = 0;
  time_stamp tm{};
  int status = 0;
  if (data->data_2024) {
    data->GetEventInfo_2024(&num64, nullptr, nullptr, &tm.timeup, &tm.timelow, &status, nullptr);
  } else {
    data->GetEventInfo(&num, nullptr, nullptr, &tm.timeup, &tm.timelow, &status, nullptr);
  }
  int nframe = 0, compr = 0, bpp = 0, leni = 0;
  if (data->GetImagePar(&nframe, &compr, &bpp, &leni) != 0) {
    put(o_.hdf5 ? "[]" : "No Image\t");
    return;
  }
  int xstart = 0, xinc = 0, nx = 0, ystart = 0, yinc = 0, ny = 0;
  if (data->GetImageSize(&xstart, &xinc, &nx, &ystart, &yinc, &ny) != leni) {
    put(o_.hdf5 ? "[]" : "Invalid Image\t");
    return;
  }
  unsigned char* pixels = leni > 0 ? data->GetImage() : nullptr;
  if (leni > 0 && pixels == nullptr) {
    put(o_.hdf5 ? "[]" : "No Image\t");
    return;
  }
  if (bpp == 3 || bpp == 4) return;
  if (bpp != 1 && bpp != 2) {
    std::printf("Invalid bpp:%d for %s\n", bpp, chans_[i]);
    return;
  }
  int pnts = bpp == 1 ? leni : leni / 2;
  if (bpp == 2 && pnts > 0) {
    vexa_swap2(reinterpret_cast<short*>(pixels), reinterpret_cast<short*>(pixels), pnts);
  }
  put(o_.hdf5 ? "[[" : "[");
  for (int k = 0; k < pnts; ++k) {
    int v;
    if (bpp == 1) {
      v = pixels[k];
    } else {
      uint16_t w;
      std::memcpy(&w, pixels + 2 * k, sizeof w);
      v = w;
    }
    if (!o_.hdf5) {
      put("%d\t", v);
    } else {
      put(k != pnts - 1 ? "%d " : "%d", v);
    }
  }
  put(o_.hdf5 ? "]]" : "]");
}

void LiteralWriter::structured_cell(vexa_daq_getdata* data, int i,
                                    vexa_serv_block_subhead_2010* chhd) {
  append_id(data, i);
  EqData* eqdata = nullptr;
  if (data->data_2024) {
    if (vexa_daq_to_eqdata_2024(nullptr, data->SrvbHeader_2024, chhd, &eqdata, false) != 0) {
      std::printf("!!!Failed to extract data of type EqData (2024)!!!\n");
    }
  } else if (vexa_daq_to_eqdata(nullptr, data->GetServBlockHead_2010(), chhd, &eqdata, false) !=
             0) {
    std::printf("!!!Failed to extract data of type EqData!!!\n");
  }
}

}  // namespace

bool parse_literal_options(const std::vector<std::string>& words, LiteralOptions* options,
                           std::string* error) {
  for (const std::string& w : words) {
    if (w == "-hdf5") {
      options->hdf5 = true;
    } else if (w == "-dumpall") {
      options->dumpall = true;
    } else if (w == "-nostat") {
      options->nostat = true;
    } else if (w == "-nonvn") {
      options->nonvn = true;
    } else {
      *error = "the literal writer does not know the option " + w;
      return false;
    }
  }
  return true;
}

bool write_literal_table(vexa_run& run, int64_t rows, const LiteralOptions& options,
                         const std::string& path, std::string* error) {
  FILE* fd = std::fopen(path.c_str(), "w+");
  if (fd == nullptr) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  LiteralWriter writer(run, options, fd);
  bool ok = writer.write_header(error);
  vexa_daq_getdata data(&run);
  size_t events = run.events.size();
  for (int64_t k = 0; ok && k < rows && events > 0; ++k) {
    data.position(static_cast<size_t>(k) % events);
    ok = writer.write_row(&data, error);
  }
  bool write_failed = std::ferror(fd) != 0;
  if (std::fclose(fd) != 0 || write_failed) {
    if (ok) *error = "cannot write " + path;
    ok = false;
  }
  return ok;
}

}  // namespace daq::bench
