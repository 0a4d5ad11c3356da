#include "run_file_check.h"

#include <hdf5.h>

#include <any>
#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>

namespace h5check {

namespace {

struct Mismatch {
  std::string what;
};

template <typename T>
hid_t native();
template <>
hid_t native<float>() {
  return H5T_NATIVE_FLOAT;
}
template <>
hid_t native<uint8_t>() {
  return H5T_NATIVE_UINT8;
}
template <>
hid_t native<uint16_t>() {
  return H5T_NATIVE_UINT16;
}
template <>
hid_t native<int32_t>() {
  return H5T_NATIVE_INT32;
}
template <>
hid_t native<uint32_t>() {
  return H5T_NATIVE_UINT32;
}
template <>
hid_t native<uint64_t>() {
  return H5T_NATIVE_UINT64;
}
template <>
hid_t native<int64_t>() {
  return H5T_NATIVE_INT64;
}

// One dataset read whole; its stored type must be T itself.
template <typename T>
struct Data {
  std::vector<T> v;
  std::vector<hsize_t> dims;
  size_t width() const {
    size_t w = 1;
    for (size_t d = 1; d < dims.size(); ++d) w *= dims[d];
    return w;
  }
  const T& at(uint64_t row, size_t k = 0) const { return v.at(row * width() + k); }
};

class File {
 public:
  explicit File(const std::string& path) : id_(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)) {
    if (id_ < 0) throw Mismatch{"cannot open " + path};
  }
  ~File() { H5Fclose(id_); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Each dataset is read once, then served from memory.
  template <typename T>
  const Data<T>& read(const std::string& path) {
    auto it = cache_.find(path);
    if (it != cache_.end()) {
      if (const Data<T>* d = std::any_cast<Data<T>>(&it->second)) return *d;
      throw Mismatch{path + " read as two types"};
    }
    Data<T>& d = std::any_cast<Data<T>&>(cache_[path] = Data<T>{});
    hid_t set = H5Dopen2(id_, path.c_str(), H5P_DEFAULT);
    if (set < 0) throw Mismatch{"no dataset " + path};
    hid_t type = H5Dget_type(set);
    bool same = H5Tequal(type, native<T>()) > 0;
    H5Tclose(type);
    hid_t space = H5Dget_space(set);
    d.dims.resize(static_cast<size_t>(H5Sget_simple_extent_ndims(space)));
    H5Sget_simple_extent_dims(space, d.dims.data(), nullptr);
    size_t n = 1;
    for (hsize_t x : d.dims) n *= x;
    d.v.resize(n);
    herr_t rc = n > 0 ? H5Dread(set, native<T>(), H5S_ALL, H5S_ALL, H5P_DEFAULT, d.v.data()) : 0;
    H5Sclose(space);
    H5Dclose(set);
    if (!same) throw Mismatch{path + " is not of the expected type"};
    if (rc < 0) throw Mismatch{"cannot read " + path};
    return d;
  }

 private:
  hid_t id_;
  std::map<std::string, std::any> cache_;
};

uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

template <typename A, typename B>
void expect(const A& got, const B& want, const std::string& what) {
  if (!(got == want)) {
    throw Mismatch{what + ": " + std::to_string(got) + " instead of " + std::to_string(want)};
  }
}

std::string group_of(const std::string& selector) {
  std::string g = "/run/";
  for (char c : selector) g += c == '/' ? std::string("%2F") : c == '%' ? "%25" : std::string(1, c);
  return g + "/";
}

void check_member(File& f, const std::string& g, uint64_t row, size_t m,
                  const vexa_run_member& mb) {
  std::string name = g + "Member" + std::to_string(m);
  int32_t length = f.read<int32_t>(name + "Length").at(row);
  if (mb.fails) {
    expect(length, -2, name + "Length");
    return;
  }
  int64_t n = mb.groups >= 2 ? int64_t{mb.ndata} * mb.groups : mb.ndata;
  expect(length, n, name + "Length");
  if (n == 0) return;
  const Data<float>& values = f.read<float>(name);
  for (int64_t k = 0; k < n; ++k) {
    // The host reads a value past those recorded as 0.
    float want = static_cast<size_t>(k) < mb.values.size() ? mb.values[k] : 0.0f;
    expect(bits(values.at(row, static_cast<size_t>(k))), bits(want),
           name + "[" + std::to_string(k) + "]");
  }
}

void check_image(File& f, const std::string& g, uint64_t row, const vexa_run_image& im) {
  expect(f.read<int32_t>(g + "Width").at(row), im.nx, g + "Width");
  expect(f.read<int32_t>(g + "Height").at(row), im.ny, g + "Height");
  auto byte = [&](size_t k) -> unsigned { return k < im.data.size() ? im.data[k] : 0; };
  for (int y = 0; y < im.ny; ++y) {
    for (int x = 0; x < im.nx; ++x) {
      size_t k = static_cast<size_t>(y) * static_cast<size_t>(im.nx) + static_cast<size_t>(x);
      if (im.bpp == 1) {
        const Data<uint8_t>& px = f.read<uint8_t>(g + "Pixels");
        expect(unsigned{px.at(row, static_cast<size_t>(y) * px.dims[2] + static_cast<size_t>(x))},
               byte(k), g + "Pixels");
      } else {
        const Data<uint16_t>& px = f.read<uint16_t>(g + "Pixels");
        // 16-bit pixels in the machine's order: the recorded bytes swapped.
        expect(unsigned{px.at(row, static_cast<size_t>(y) * px.dims[2] + static_cast<size_t>(x))},
               byte(2 * k) << 8 | byte(2 * k + 1), g + "Pixels");
      }
    }
  }
}

void check_channel(File& f, const vexa_run& r, const std::string& selector, uint64_t row,
                   const vexa_run_channel* c) {
  std::string g = group_of(selector);
  uint8_t missing = f.read<uint8_t>(g + "Missing").at(row);
  if (c == nullptr) {
    expect(unsigned{missing}, 2u, g + "Missing");  // not found
    return;
  }
  expect(f.read<uint32_t>(g + "ChanStatus").at(row), static_cast<uint32_t>(c->header_status),
         g + "ChanStatus");
  expect(f.read<uint32_t>(g + "SrvBlockStatus").at(row), static_cast<uint32_t>(c->block.status),
         g + "SrvBlockStatus");
  expect(
      f.read<uint64_t>(g + "MacroPulse").at(row),
      r.generation == 2024 ? c->block.mpulse64 : uint64_t{static_cast<uint32_t>(c->block.mpulse)},
      g + "MacroPulse");
  if (c->type == 2 && c->single) {
    expect(bits(f.read<float>(g + "Value").at(row)), bits(*c->single), g + "Value");
  } else if (c->type == 2) {
    for (size_t k = 0; k < c->pairs.size(); ++k) {
      std::string name = c->pairs[k].first.value_or("#" + std::to_string(k));
      expect(bits(f.read<float>(g + name).at(row)), bits(c->pairs[k].second), g + name);
    }
    expect(f.read<int32_t>(g + "Length").at(row), static_cast<int32_t>(c->pairs.size()),
           g + "Length");
  } else if (c->type == 3) {
    for (size_t m = 0; m < c->members.size(); ++m) check_member(f, g, row, m, c->members[m]);
  } else if (c->type == 4 && c->image && (c->image->bpp == 1 || c->image->bpp == 2) &&
             c->image->size == c->image->len) {
    expect(unsigned{missing}, 0u, g + "Missing");
    check_image(f, g, row, *c->image);
  } else if (c->type == 5) {
    expect(unsigned{f.read<uint8_t>(g + "Converted").at(row)}, c->convertible ? 1u : 0u,
           g + "Converted");
  }
}

}  // namespace

bool check_run_file(const vexa_run& r, int64_t rows, const std::string& path, std::string* error) {
  try {
    File f(path);
    const Data<uint64_t>& ids = f.read<uint64_t>("/run/EventId");
    expect(ids.v.size(), static_cast<size_t>(rows), "events");
    const size_t events = r.events.size();
    for (int64_t row = 0; row < rows && events > 0; ++row) {
      const vexa_run_event& ev = r.events[static_cast<size_t>(row) % events];
      const std::string at = "row " + std::to_string(row) + ": ";
      try {
        expect(ids.at(row), ev.id, "EventId");
        expect(f.read<int32_t>("/run/EventType").at(row), ev.type, "EventType");
        const vexa_run_block* b = ev.fast_block    ? &*ev.fast_block
                                  : ev.image_block ? &*ev.image_block
                                                   : nullptr;
        int64_t sec = b != nullptr ? b->sec : ev.sec, usec = b != nullptr ? b->usec : ev.usec;
        expect(f.read<int64_t>("/run/Time").at(row), sec * 1000000 + usec, "Time");
        for (const vexa_run_channel_entry& entry : r.channels) {
          std::string selector = vexa_selector(entry);
          auto it = ev.channels.find(selector);
          check_channel(f, r, selector, row, it == ev.channels.end() ? nullptr : &it->second);
        }
      } catch (Mismatch& m) {
        m.what = at + m.what;
        throw;
      }
    }
  } catch (const Mismatch& m) {
    *error = path + ": " + m.what;
    return false;
  }
  return true;
}

template <typename T>
std::vector<T> read_dataset(const std::string& path, const std::string& dataset,
                            std::vector<uint64_t>* dims) {
  try {
    File f(path);
    const Data<T>& d = f.read<T>(dataset);
    if (dims != nullptr) dims->assign(d.dims.begin(), d.dims.end());
    return d.v;
  } catch (const Mismatch& m) {
    throw std::runtime_error(m.what);
  }
}

template std::vector<uint8_t> read_dataset(const std::string&, const std::string&,
                                           std::vector<uint64_t>*);
template std::vector<uint16_t> read_dataset(const std::string&, const std::string&,
                                            std::vector<uint64_t>*);
template std::vector<int32_t> read_dataset(const std::string&, const std::string&,
                                           std::vector<uint64_t>*);
template std::vector<uint32_t> read_dataset(const std::string&, const std::string&,
                                            std::vector<uint64_t>*);
template std::vector<uint64_t> read_dataset(const std::string&, const std::string&,
                                            std::vector<uint64_t>*);
template std::vector<int64_t> read_dataset(const std::string&, const std::string&,
                                           std::vector<uint64_t>*);
template std::vector<float> read_dataset(const std::string&, const std::string&,
                                         std::vector<uint64_t>*);

}  // namespace h5check
