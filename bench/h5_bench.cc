#include "h5_bench.h"

#include <hdf5.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "daq_user.h"
#include "plugin_runs.h"
#include "run_file_check.h"

namespace daq::bench {

namespace {

uint64_t file_size(const std::string& path) {
  std::error_code ec;
  uintmax_t n = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<uint64_t>(n);
}

// The codec the file was written with: the run's `codec` attribute.
std::string codec_of(const std::string& path) {
  std::string codec;
  hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  if (file < 0) return codec;
  hid_t attr = H5Aopen_by_name(file, "/run", "codec", H5P_DEFAULT, H5P_DEFAULT);
  if (attr >= 0) {
    hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    H5Tset_cset(type, H5T_CSET_UTF8);
    char* text = nullptr;
    if (H5Aread(attr, type, &text) >= 0 && text != nullptr) {
      codec = text;
      H5free_memory(text);
    }
    H5Tclose(type);
    H5Aclose(attr);
  }
  H5Fclose(file);
  return codec;
}

bool has_word(const Workload& w, const char* word) {
  return std::find(w.words.begin(), w.words.end(), word) != w.words.end();
}

// The host calls of one event, as the plug-in's text table makes them.
void host_calls(vexa_daq_getdata& data, const std::vector<std::string>& selectors, bool all_values,
                int samples) {
  uint32_t evid = 0, sec = 0, usec = 0;
  uint64_t evid64 = 0, mpulse64 = 0;
  int type = 0, status = 0, nsrvb = 0, mpulse = 0;
  unsigned int len = 0;
  if (data.data_2024) {
    data.GetEventInfo_2024(&evid64, &type, &len, &sec, &usec, &status, &nsrvb);
  } else {
    data.GetEventInfo(&evid, &type, &len, &sec, &usec, &status, &nsrvb);
  }
  auto block = [&] {
    int ltot = 0, nchan = 0;
    if (data.data_2024) {
      data.GetServBlockInfo_2024(&sec, &usec, &ltot, &mpulse64, nullptr, &status, &nchan);
    } else {
      data.GetServBlockInfo(&sec, &usec, &ltot, &mpulse, nullptr, &status, &nchan);
    }
    return nchan;
  };
  if (data.SetImage(0) > 0) block();
  if (data.SetFast(0) > 0) block();
  char iso[64];
  create_isodate_from_sec(static_cast<time_t>(sec), iso, true);
  event_name_itoa(type);
  for (const std::string& selector : selectors) {
    int kind = data.SetProp(selector.c_str());
    int nchan = block();
    data.GetChanHead_2010();
    char* name = nullptr;
    int statusch = 0, dlen = 0;
    data.GetChanInfo(&name, nullptr, &statusch, &dlen);
    if (statusch != 0) data.GetImagePar(nullptr, nullptr, nullptr, nullptr);
    if (kind == 2) {
      if (data.GetValNamPrm(nullptr, nullptr, nullptr, &nchan, nullptr)) {
        data.GetSingle(0);
      } else {
        for (int k = 0; k < nchan; ++k) {
          float v = 0;
          data.GetValNamChan(&name, &v, k);
        }
      }
    } else if (kind == 3) {
      int n = data.GetNmemb();
      for (int m = 0; m < n; ++m) {
        int ndata = 0, groups = 0;
        if (data.GetSpectPar(nullptr, nullptr, nullptr, &ndata, m, &groups, nullptr, nullptr) !=
            0) {
          continue;
        }
        int64_t values = groups >= 2 ? int64_t{ndata} * groups : ndata;
        if (!all_values) values = std::min<int64_t>(values, samples);
        for (int64_t k = 0; k < values; ++k) data.GetSpectVal(m, static_cast<int>(k));
      }
    } else if (kind == 4) {
      int bpp = 0, leni = 0;
      if (data.GetImagePar(nullptr, nullptr, &bpp, &leni) == 0 &&
          data.GetImageSize(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == leni) {
        unsigned char* pixels = data.GetImage();
        if (bpp == 2 && pixels != nullptr) {
          vexa_swap2(reinterpret_cast<short*>(pixels), reinterpret_cast<short*>(pixels), leni / 2);
        }
      }
    } else if (kind == 5) {
      EqData* eq = nullptr;
      if (data.data_2024) {
        vexa_daq_to_eqdata_2024(nullptr, data.SrvbHeader_2024, data.GetChanHead_2010(), &eq, false);
      } else {
        vexa_daq_to_eqdata(nullptr, data.GetServBlockHead_2010(), data.GetChanHead_2010(), &eq,
                           false);
      }
    }
  }
}

}  // namespace

double host_only_seconds(Workload& w, int reps) {
  vexa_run& run = *w.run;
  std::vector<std::string> selectors;
  for (const vexa_run_channel_entry& entry : run.channels)
    selectors.push_back(vexa_selector(entry));
  bool all_values = has_word(w, "-dumpall");
  std::vector<double> seconds;
  for (int r = 0; r < reps; ++r) {
    vexa_daq_getdata data(&run);
    size_t events = run.events.size();
    double start = now_seconds();
    for (int64_t k = 0; k < w.rows && events > 0; ++k) {
      data.position(static_cast<size_t>(k) % events);
      host_calls(data, selectors, all_values, 100);
    }
    seconds.push_back(seconds_since(start));
  }
  return median(seconds);
}

std::vector<H5Result> measure_h5(Workload& w, int reps, const std::string& dir) {
  const std::string table = dir + "/text.txt";
  const char* codecs[] = {"none", "gzip", "bslz4"};
  std::vector<H5Result> results;
  for (const char* codec : codecs) {
    H5Result r;
    r.id = w.id;
    r.codec = codec;
    const std::string file = dir + "/run-" + codec + ".h5";
    const std::vector<std::string> words = {"-nodump", "-h5", file, "-h5z", codec};
    std::vector<double> text_s, h5_s;
    bool ok = true;
    for (int k = 0; k < reps && ok; ++k) {
      // The two take turns at going first.
      for (int turn = 0; turn < 2 && ok; ++turn) {
        bool h5 = (turn + k) % 2 == 0;
        QuietStdout quiet;
        double start = now_seconds();
        ok = h5 ? run_plugin(w, false, "", &r.error, words) : run_plugin(w, false, table, &r.error);
        (h5 ? h5_s : text_s).push_back(seconds_since(start));
      }
    }
    r.text_bytes = file_size(table);
    r.h5_bytes = file_size(file);
    r.text_s = median(text_s);
    r.h5_s = median(h5_s);
    r.time_vs_text = ratio(r.h5_s, r.text_s);
    r.size_vs_text = ratio(static_cast<double>(r.h5_bytes), static_cast<double>(r.text_bytes));
    // A codec that cannot be had leaves the plug-in on gzip: its file is
    // checked all the same, and the line says so.
    r.available = codec_of(file) == codec;
    r.exact = ok && h5check::check_run_file(*w.run, w.rows, file, &r.error);
    std::filesystem::remove(file);
    std::filesystem::remove(table);
    results.push_back(r);
  }
  return results;
}

}  // namespace daq::bench
