#include "h5_bench.h"

#include <hdf5.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

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

struct Census {
  uint64_t groups = 0, datasets = 0;
};

herr_t count_object(hid_t, const char*, const H5O_info_t* info, void* data) {
  auto* c = static_cast<Census*>(data);
  if (info->type == H5O_TYPE_GROUP) ++c->groups;
  if (info->type == H5O_TYPE_DATASET) ++c->datasets;
  return 0;
}

Census census(const std::string& path) {
  Census c;
  hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  if (file < 0) return c;
  H5Ovisit(file, H5_INDEX_NAME, H5_ITER_NATIVE, count_object, &c);
  H5Fclose(file);
  return c;
}

// The library's own least cost for a file of `groups` groups holding
// `datasets` one-chunk datasets of `rows` 4-byte values, each written once
// whole: no filters, no attributes, no fill, no time stamps.
double library_floor_seconds(const std::string& path, uint64_t groups, uint64_t datasets,
                             int64_t rows) {
  std::vector<float> values(static_cast<size_t>(std::max<int64_t>(rows, 1)), 1.0f);
  double start = now_seconds();
  hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
  H5Pset_libver_bounds(fapl, H5F_LIBVER_V110, H5F_LIBVER_LATEST);
  hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
  hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
  hsize_t n = values.size(), unlimited = H5S_UNLIMITED;
  H5Pset_chunk(dcpl, 1, &n);
  H5Pset_obj_track_times(dcpl, false);
  hid_t space = H5Screate_simple(1, &n, &unlimited);
  uint64_t per_group = groups > 0 ? (datasets + groups - 1) / groups : datasets;
  uint64_t made = 0;
  for (uint64_t g = 0; made < datasets; ++g) {
    hid_t group =
        H5Gcreate2(file, ("g" + std::to_string(g)).c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    for (uint64_t d = 0; d < per_group && made < datasets; ++d, ++made) {
      hid_t set = H5Dcreate2(group, ("d" + std::to_string(d)).c_str(), H5T_NATIVE_FLOAT, space,
                             H5P_DEFAULT, dcpl, H5P_DEFAULT);
      H5Dwrite(set, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
      H5Dclose(set);
    }
    H5Gclose(group);
  }
  H5Sclose(space);
  H5Pclose(dcpl);
  H5Fclose(file);
  H5Pclose(fapl);
  double seconds = seconds_since(start);
  std::filesystem::remove(path);
  return seconds;
}

// What HDF5 alone does to make the objects of a run file: its groups and
// datasets (types, chunks, filters, fill values) and their attributes, read
// from `source` beforehand, made again in a new file of the same format, each
// dataset's rows written once, whole. Links to objects already made (the
// groups' EventId) become hard links. The dimension scales' reference
// attributes are left out: the floor is the lower for it. (H5Ocopy would do
// all this, but HDF5 1.10.8 crashes copying a dataset that has a dimension
// scale and more than eight attributes.)
class LayoutCopy {
 public:
  explicit LayoutCopy(const std::string& source) {
    file_ = H5Fopen(source.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file_ >= 0) H5Lvisit(file_, H5_INDEX_NAME, H5_ITER_INC, visit, this);
  }
  ~LayoutCopy() {
    for (Object& o : objects_) {
      for (Attr& a : o.attrs) {
        if (H5Tdetect_class(a.type, H5T_VLEN) > 0 || H5Tis_variable_str(a.type) > 0) {
          H5Dvlen_reclaim(a.type, a.space, H5P_DEFAULT, a.bytes.data());
        }
        H5Tclose(a.type);
        H5Sclose(a.space);
      }
      if (o.dcpl >= 0) H5Pclose(o.dcpl);
      if (o.type >= 0) H5Tclose(o.type);
      if (o.space >= 0) H5Sclose(o.space);
    }
    if (file_ >= 0) H5Fclose(file_);
  }

  // Seconds to make the objects again in a file at `path` (removed after).
  double make(const std::string& path) const {
    double start = now_seconds();
    hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(fapl, H5F_LIBVER_V110, H5F_LIBVER_LATEST);
    hid_t out = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
    for (const Object& o : objects_) {
      if (!o.link_to.empty()) {
        H5Lcreate_hard(out, o.link_to.c_str(), out, o.path.c_str(), H5P_DEFAULT, H5P_DEFAULT);
        continue;
      }
      hid_t id = o.dcpl < 0 ? H5Gcreate2(out, o.path.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT)
                            : H5Dcreate2(out, o.path.c_str(), o.type, o.space, H5P_DEFAULT, o.dcpl,
                                         H5P_DEFAULT);
      if (o.dcpl >= 0 && !o.data.empty()) {
        H5Dwrite(id, o.type, H5S_ALL, H5S_ALL, H5P_DEFAULT, o.data.data());
      }
      for (const Attr& a : o.attrs) {
        hid_t at = H5Acreate2(id, a.name.c_str(), a.type, a.space, H5P_DEFAULT, H5P_DEFAULT);
        H5Awrite(at, a.type, a.bytes.data());
        H5Aclose(at);
      }
      if (o.dcpl < 0) {
        H5Gclose(id);
      } else {
        H5Dclose(id);
      }
    }
    H5Fclose(out);
    H5Pclose(fapl);
    double seconds = seconds_since(start);
    std::filesystem::remove(path);
    return seconds;
  }

 private:
  struct Attr {
    std::string name;
    hid_t type = -1, space = -1;
    std::vector<unsigned char> bytes;
  };
  struct Object {
    std::string path, link_to;               // link_to: a hard link to an object made before
    hid_t dcpl = -1, type = -1, space = -1;  // a dataset's; a group has none
    std::vector<unsigned char> data;
    std::vector<Attr> attrs;
  };

  static herr_t visit(hid_t root, const char* name, const H5L_info_t*, void* data) {
    auto* self = static_cast<LayoutCopy*>(data);
    H5O_info_t info;
    if (H5Oget_info_by_name2(root, name, &info, H5O_INFO_BASIC, H5P_DEFAULT) < 0) return 0;
    Object o;
    o.path = name;
    if (auto seen = self->seen_.find(info.addr); seen != self->seen_.end()) {
      o.link_to = seen->second;
      self->objects_.push_back(std::move(o));
      return 0;
    }
    self->seen_.emplace(info.addr, name);
    hid_t id = H5Oopen(root, name, H5P_DEFAULT);
    if (info.type == H5O_TYPE_DATASET) {
      o.dcpl = H5Dget_create_plist(id);
      o.type = H5Dget_type(id);
      o.space = H5Dget_space(id);
      size_t n = static_cast<size_t>(H5Sget_simple_extent_npoints(o.space)) * H5Tget_size(o.type);
      // String datasets are made, not filled: their rows are a small part.
      if (H5Tis_variable_str(o.type) <= 0 && n > 0) {
        o.data.resize(n);
        H5Dread(id, o.type, H5S_ALL, H5S_ALL, H5P_DEFAULT, o.data.data());
      }
    }
    H5Aiterate2(id, H5_INDEX_NAME, H5_ITER_INC, nullptr, read_attr, &o);
    H5Oclose(id);
    self->objects_.push_back(std::move(o));
    return 0;
  }

  static herr_t read_attr(hid_t object, const char* name, const H5A_info_t*, void* data) {
    if (std::strcmp(name, "DIMENSION_LIST") == 0 || std::strcmp(name, "REFERENCE_LIST") == 0) {
      return 0;
    }
    auto* o = static_cast<Object*>(data);
    Attr a;
    a.name = name;
    hid_t at = H5Aopen(object, name, H5P_DEFAULT);
    a.type = H5Aget_type(at);
    a.space = H5Aget_space(at);
    size_t n = static_cast<size_t>(std::max<hssize_t>(H5Sget_simple_extent_npoints(a.space), 1));
    a.bytes.resize(n * H5Tget_size(a.type));
    H5Aread(at, a.type, a.bytes.data());
    H5Aclose(at);
    o->attrs.push_back(std::move(a));
    return 0;
  }

  hid_t file_ = -1;
  std::vector<Object> objects_;
  std::map<haddr_t, std::string> seen_;  // object address -> first path
};

// Minor page faults of this process so far (all threads).
double minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_minflt);
}

struct ReadBack {
  uint64_t bytes = 0;
  bool ok = true;
  std::vector<unsigned char> buffer;  // kept from dataset to dataset
};

herr_t read_dataset(hid_t root, const char* name, const H5O_info_t* info, void* data) {
  if (info->type != H5O_TYPE_DATASET) return 0;
  auto* r = static_cast<ReadBack*>(data);
  hid_t d = H5Dopen2(root, name, H5P_DEFAULT);
  if (d < 0) {
    r->ok = false;
    return 0;
  }
  hid_t type = H5Dget_type(d);
  bool strings = H5Tis_variable_str(type) > 0;
  hid_t memory = strings ? H5Tcopy(type) : H5Tget_native_type(type, H5T_DIR_ASCEND);
  hid_t space = H5Dget_space(d);
  auto n = static_cast<size_t>(std::max<hssize_t>(H5Sget_simple_extent_npoints(space), 0));
  size_t bytes = n * H5Tget_size(memory);
  if (r->buffer.size() < bytes) r->buffer.resize(bytes);
  if (n > 0) {
    if (H5Dread(d, memory, H5S_ALL, H5S_ALL, H5P_DEFAULT, r->buffer.data()) < 0) r->ok = false;
    if (strings) H5Dvlen_reclaim(memory, space, H5P_DEFAULT, r->buffer.data());
  }
  r->bytes += bytes;
  H5Sclose(space);
  H5Tclose(memory);
  H5Tclose(type);
  H5Dclose(d);
  return 0;
}

// Every dataset of the file read whole through the C API, `reps` times after
// an untimed read: the bytes of one pass and its median time, 0 bytes when a
// read failed.
std::pair<uint64_t, double> read_back(const std::string& path, int reps) {
  ReadBack r;
  std::vector<double> seconds;
  for (int k = 0; k <= reps && r.ok; ++k) {
    r.bytes = 0;
    double start = now_seconds();
    hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0 || H5Ovisit(file, H5_INDEX_NAME, H5_ITER_NATIVE, read_dataset, &r) < 0) {
      r.ok = false;
    }
    if (file >= 0) H5Fclose(file);
    if (k > 0) seconds.push_back(seconds_since(start));
  }
  return {r.ok ? r.bytes : 0, median(seconds)};
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

std::vector<H5Result> measure_h5(Workload& w, int reps, const std::string& dir, bool long_run) {
  const std::string table = dir + "/text.txt";
  std::vector<const char*> codecs = {"none", "gzip", "lz4"};
  if (!long_run) codecs.push_back("bslz4");
  std::vector<H5Result> results;
  for (const char* codec : codecs) {
    H5Result r;
    r.id = w.id;
    r.codec = codec;
    const std::string file = dir + "/run-" + codec + ".h5";
    const std::vector<std::string> words = {"-nodump", "-h5", file, "-h5z", codec};
    std::vector<double> text_s, h5_s, text_faults, h5_faults;
    bool ok = true;
    // The table's writer had an untimed run (its row buffer grows once per
    // process); the run file's writer gets one too.
    if (!long_run) {
      QuietStdout quiet;
      ok = run_plugin(w, false, "", &r.error, words);
    }
    for (int k = 0; k < reps && ok; ++k) {
      // The two take turns at going first.
      for (int turn = 0; turn < 2 && ok; ++turn) {
        bool h5 = (turn + k) % 2 == 0;
        QuietStdout quiet;
        double faults = minor_faults();
        double start = now_seconds();
        ok = h5 ? run_plugin(w, false, "", &r.error, words) : run_plugin(w, false, table, &r.error);
        (h5 ? h5_s : text_s).push_back(seconds_since(start));
        (h5 ? h5_faults : text_faults).push_back(minor_faults() - faults);
      }
    }
    r.text_bytes = file_size(table);
    r.h5_bytes = file_size(file);
    r.text_s = median(text_s);
    r.h5_s = median(h5_s);
    r.text_faults = median(text_faults);
    r.h5_faults = median(h5_faults);
    r.time_vs_text = ratio(r.h5_s, r.text_s);
    r.size_vs_text = ratio(static_cast<double>(r.h5_bytes), static_cast<double>(r.text_bytes));
    // A codec that cannot be had leaves the plug-in on gzip: its file is
    // checked all the same, and the line says so.
    r.available = codec_of(file) == codec;
    r.exact = ok && h5check::check_run_file(*w.run, w.rows, file, &r.error);
    if (ok && !long_run) std::tie(r.read_bytes, r.read_s) = read_back(file, reps);
    if (r.codec == "none" && ok && !long_run) {
      Census c = census(file);
      r.groups = c.groups;
      r.datasets = c.datasets;
      std::vector<double> floor_s;
      for (int k = 0; k < reps; ++k) {
        floor_s.push_back(library_floor_seconds(dir + "/floor.h5", c.groups, c.datasets, w.rows));
      }
      r.library_floor_s = median(floor_s);
      std::vector<double> copy_s;
      LayoutCopy layout(file);
      for (int k = 0; k < reps; ++k) copy_s.push_back(layout.make(dir + "/copy.h5"));
      r.layout_copy_s = median(copy_s);
      r.layout_floor_s = r.layout_copy_s + host_only_seconds(w, reps);
      r.vs_layout_floor = ratio(r.h5_s, r.layout_floor_s);
    }
    std::filesystem::remove(file);
    std::filesystem::remove(table);
    results.push_back(r);
  }
  return results;
}

}  // namespace daq::bench
