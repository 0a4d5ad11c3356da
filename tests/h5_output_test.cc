// The plug-in's HDF5 file (-h5): every value read back through the HDF5 C
// API against the recording, bit for bit; the text outputs the same with
// and without it; a camera whose size changes; a file system that fills.
#include <hdf5.h>
#include <sys/mount.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace daq::test {
namespace {

namespace fs = std::filesystem;

// As the plug-in's writer does: HDF5's clean-up at exit is off, so that a
// file HDF5 could not close after a full disk does not crash this program.
[[maybe_unused]] const bool kNoCleanupAtExit = (H5dont_atexit(), true);

// One dataset read whole, as T, with its dimensions.
template <typename T>
struct Data {
  std::vector<T> v;
  std::vector<hsize_t> dims;
  const T& at(size_t row, size_t k = 0) const {
    size_t width = 1;
    for (size_t d = 1; d < dims.size(); ++d) width *= dims[d];
    return v.at(row * width + k);
  }
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

class RunFile {
 public:
  explicit RunFile(const std::string& path)
      : id_(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)) {}
  ~RunFile() {
    if (id_ >= 0) H5Fclose(id_);
  }
  bool ok() const { return id_ >= 0; }
  bool exists(const std::string& path) const {
    return H5Lexists(id_, path.c_str(), H5P_DEFAULT) > 0;
  }
  // The dataset's stored type must be T itself: values are compared bit for bit.
  template <typename T>
  Data<T> read(const std::string& path) const {
    Data<T> d;
    hid_t set = H5Dopen2(id_, path.c_str(), H5P_DEFAULT);
    EXPECT_GE(set, 0) << path;
    if (set < 0) return d;
    hid_t type = H5Dget_type(set);
    EXPECT_GT(H5Tequal(type, native<T>()), 0) << path;
    H5Tclose(type);
    hid_t space = H5Dget_space(set);
    d.dims.resize(H5Sget_simple_extent_ndims(space));
    H5Sget_simple_extent_dims(space, d.dims.data(), nullptr);
    size_t n = 1;
    for (hsize_t x : d.dims) n *= x;
    d.v.resize(n);
    if (n > 0) {
      EXPECT_GE(H5Dread(set, native<T>(), H5S_ALL, H5S_ALL, H5P_DEFAULT, d.v.data()), 0);
    }
    H5Sclose(space);
    H5Dclose(set);
    return d;
  }

 private:
  hid_t id_;
};

uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

std::string group_of(const std::string& selector) {
  std::string g = "/run/";
  for (char c : selector) g += c == '/' ? std::string("%2F") : c == '%' ? "%25" : std::string(1, c);
  return g + "/";
}

// Checks every value of run.h5 against the recording the run was made from.
void expect_file_holds(const vexa_run& r, const std::string& path) {
  RunFile f(path);
  ASSERT_TRUE(f.ok()) << path;
  Data<uint64_t> ids = f.read<uint64_t>("/run/EventId");
  ASSERT_EQ(ids.v.size(), r.events.size());
  Data<int64_t> time = f.read<int64_t>("/run/Time");
  Data<int32_t> types = f.read<int32_t>("/run/EventType");
  for (size_t e = 0; e < r.events.size(); ++e) {
    const vexa_run_event& ev = r.events[e];
    SCOPED_TRACE("event " + std::to_string(e));
    EXPECT_EQ(ids.at(e), ev.id);
    EXPECT_EQ(types.at(e), ev.type);
    const vexa_run_block* b = ev.fast_block    ? &*ev.fast_block
                              : ev.image_block ? &*ev.image_block
                                               : nullptr;
    int64_t sec = b != nullptr ? b->sec : ev.sec, usec = b != nullptr ? b->usec : ev.usec;
    EXPECT_EQ(time.at(e), sec * 1000000 + usec);
  }
  for (const vexa_run_channel_entry& entry : r.channels) {
    std::string selector = vexa_selector(entry);
    std::string g = group_of(selector);
    SCOPED_TRACE(selector);
    ASSERT_TRUE(f.exists(g.substr(0, g.size() - 1)));
    Data<uint8_t> missing = f.read<uint8_t>(g + "Missing");
    for (size_t e = 0; e < r.events.size(); ++e) {
      SCOPED_TRACE("event " + std::to_string(e));
      auto it = r.events[e].channels.find(selector);
      if (it == r.events[e].channels.end()) {
        EXPECT_EQ(missing.at(e), 2);  // not found
        continue;
      }
      const vexa_run_channel& c = it->second;
      EXPECT_EQ(f.read<uint32_t>(g + "ChanStatus").at(e), static_cast<uint32_t>(c.header_status));
      EXPECT_EQ(f.read<uint32_t>(g + "SrvBlockStatus").at(e),
                static_cast<uint32_t>(c.block.status));
      EXPECT_EQ(f.read<uint64_t>(g + "MacroPulse").at(e),
                r.generation == 2024 ? c.block.mpulse64 : static_cast<uint32_t>(c.block.mpulse));
      if (c.type == 2 && c.single) {
        EXPECT_EQ(bits(f.read<float>(g + "Value").at(e)), bits(*c.single));
      } else if (c.type == 2) {
        for (size_t k = 0; k < c.pairs.size(); ++k) {
          std::string name = c.pairs[k].first.value_or("#" + std::to_string(k));
          EXPECT_EQ(bits(f.read<float>(g + name).at(e)), bits(c.pairs[k].second)) << name;
        }
        EXPECT_EQ(f.read<int32_t>(g + "Length").at(e), static_cast<int32_t>(c.pairs.size()));
      } else if (c.type == 3) {
        for (size_t m = 0; m < c.members.size(); ++m) {
          const vexa_run_member& mb = c.members[m];
          std::string name = g + "Member" + std::to_string(m);
          int32_t length = f.read<int32_t>(name + "Length").at(e);
          if (mb.fails) {
            EXPECT_EQ(length, -2);
            continue;
          }
          int64_t n = mb.groups >= 2 ? int64_t{mb.ndata} * mb.groups : mb.ndata;
          ASSERT_EQ(length, n);
          Data<float> values = f.read<float>(name);
          for (int64_t k = 0; k < n; ++k) {
            float want = static_cast<size_t>(k) < mb.values.size() ? mb.values[k] : 0.0f;
            ASSERT_EQ(bits(values.at(e, k)), bits(want)) << name << "[" << k << "]";
          }
        }
      } else if (c.type == 4 && c.image && (c.image->bpp == 1 || c.image->bpp == 2) &&
                 c.image->size == c.image->len) {
        const vexa_run_image& im = *c.image;
        EXPECT_EQ(missing.at(e), 0);
        EXPECT_EQ(f.read<int32_t>(g + "Width").at(e), im.nx);
        EXPECT_EQ(f.read<int32_t>(g + "Height").at(e), im.ny);
        auto byte = [&](size_t k) { return k < im.data.size() ? im.data[k] : 0; };
        if (im.bpp == 1) {
          Data<uint8_t> px = f.read<uint8_t>(g + "Pixels");
          for (int y = 0; y < im.ny; ++y) {
            for (int x = 0; x < im.nx; ++x) {
              ASSERT_EQ(px.at(e, y * px.dims[2] + x), byte(y * im.nx + x));
            }
          }
        } else {
          Data<uint16_t> px = f.read<uint16_t>(g + "Pixels");
          for (int y = 0; y < im.ny; ++y) {
            for (int x = 0; x < im.nx; ++x) {
              size_t k = 2 * (y * im.nx + x);
              ASSERT_EQ(px.at(e, y * px.dims[2] + x), byte(k) << 8 | byte(k + 1));
            }
          }
        }
      } else if (c.type == 5) {
        EXPECT_EQ(f.read<uint8_t>(g + "Converted").at(e), c.convertible ? 1 : 0);
      }
    }
  }
}

using H5OutputTest = PluginTest;

TEST_F(H5OutputTest, EveryValueOfBothGenerations) {
  for (const char* name : {"sim-2024", "sim-2010", "mixed-2024", "basic-2010", "camera-2024"}) {
    SCOPED_TRACE(name);
    std::unique_ptr<vexa_run> r =
        make_run(read_file(std::string(EXAMPLES_DIR "/") + name + ".run.json"));
    ASSERT_NE(r, nullptr);
    RunResult with = run(*r, {"-nodump", "-h5", "run.h5"});
    EXPECT_EQ(with.init_rc, 0);
    EXPECT_EQ(with.end_rc, 0) << with.out;
    expect_file_holds(*r, "run.h5");
    reset_run_state();
  }
}

// One pass gives both: the table, event IDs, description, images and
// standard output are the same with and without the HDF5 file.
TEST_F(H5OutputTest, TextOutputsAreTheSameWithAndWithout) {
  for (const char* name : {"sim-2024", "sim-2010", "camera-2024"}) {
    for (bool hdf5 : {false, true}) {
      SCOPED_TRACE(std::string(name) + (hdf5 ? " -hdf5" : ""));
      std::unique_ptr<vexa_run> r =
          make_run(read_file(std::string(EXAMPLES_DIR "/") + name + ".run.json"));
      fs::create_directory("a");
      fs::create_directory("b");
      std::map<bool, RunResult> results;
      std::map<bool, std::string> files;
      for (bool h5 : {false, true}) {
        fs::current_path(h5 ? "b" : "a");
        RunResult res = h5 ? run(*r, {"-evstat", "-xdump", "-zerocheck", "-imdump", ".",
                                      hdf5 ? "-hdf5" : "-nostat", "-h5", "x.h5"})
                           : run(*r, {"-evstat", "-xdump", "-zerocheck", "-imdump", ".",
                                      hdf5 ? "-hdf5" : "-nostat"});
        EXPECT_EQ(res.end_rc, 0);
        results[h5] = res;
        for (const auto& entry : fs::directory_iterator(".")) {
          if (entry.path().filename() != "x.h5") {
            files[h5] += entry.path().filename().string() + ":" + read_file(entry.path()) + "\n";
          }
        }
        fs::current_path("..");
        reset_run_state();
      }
      EXPECT_EQ(results[false].out, results[true].out);
      EXPECT_TRUE(results[false].table == results[true].table);  // too long to print
      EXPECT_GT(results[false].table.size(), 100u);
      EXPECT_TRUE(files[false] == files[true]);
      fs::remove_all("a");
      fs::remove_all("b");
    }
  }
}

// A camera of 3x2 pixels, then 4x2: each frame at the top left of its row,
// the dataset growing to the largest, its size beside it.
TEST_F(H5OutputTest, CameraThatChangesSize) {
  RunResult res = run(R"({"generation": 2024, "channels": [{"name": "CAM"}, {"name": "CNT"}],
    "events": [
    {"id": 1, "type": 1, "sec": 5, "usec": 0, "status": 0, "channels": {
      "CAM": {"type": 4, "image": {"bpp": 1, "nx": 3, "ny": 2, "data": "000d1a273441"}},
      "CNT": {"type": 2, "single": "0x0000002a"}}},
    {"id": 2, "type": 1, "sec": 5, "usec": 1, "status": 0, "channels": {
      "CAM": {"type": 4, "image": {"bpp": 1, "nx": 4, "ny": 2, "data": "0102030405060708"}}}},
    {"id": 3, "type": 1, "sec": 5, "usec": 2, "status": 0, "channels": {
      "CAM": {"type": 4, "image": {"bpp": 3, "nx": 1, "ny": 1, "data": "ffffff"}}}}]})",
                      {"-h5", "cam.h5", "-fti", "CNT"});
  ASSERT_EQ(res.end_rc, 0) << res.out;
  RunFile f("cam.h5");
  Data<uint8_t> px = f.read<uint8_t>("/run/CAM/Pixels");
  ASSERT_EQ(px.dims, (std::vector<hsize_t>{3, 2, 4}));
  EXPECT_EQ(std::vector<uint8_t>(px.v.begin(), px.v.begin() + 8),
            (std::vector<uint8_t>{0, 13, 26, 0, 39, 52, 65, 0}));
  EXPECT_EQ(std::vector<uint8_t>(px.v.begin() + 8, px.v.begin() + 16),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(f.read<int32_t>("/run/CAM/Width").v, (std::vector<int32_t>{3, 4, 0}));
  EXPECT_EQ(f.read<int32_t>("/run/CAM/Height").v, (std::vector<int32_t>{2, 2, 0}));
  EXPECT_EQ(f.read<uint8_t>("/run/CAM/Missing").v, (std::vector<uint8_t>{0, 0, 4}));  // colour
  // -fti values as the integers of their bits.
  EXPECT_EQ(f.read<int32_t>("/run/CNT/Value").at(0), 42);
}

TEST_F(H5OutputTest, OptionWordsAndRefusals) {
  const std::string kRun = R"({"generation": 2010, "channels": [{"name": "A"}], "events": [
    {"id": 1, "type": 1, "sec": 0, "usec": 0, "status": 0, "channels": {"A": {"type": 1}}}]})";
  // "-h5" as the last word: a message and no file.
  RunResult r = run(kRun, {"-h5"});
  EXPECT_EQ(r.end_rc, 0);
  EXPECT_NE(r.out.find("-h5 needs a file name: no HDF5 file is written\n"), std::string::npos);
  reset_run_state();
  // The value is the next word, whatever it holds; an unknown codec is gzip.
  r = run(kRun, {"-h5", "-odd-name.h5", "-h5z", "zip"});
  EXPECT_EQ(r.end_rc, 0);
  EXPECT_TRUE(fs::exists("-odd-name.h5"));
  EXPECT_NE(r.out.find("HDF5 codec zip cannot be had, gzip is used instead"), std::string::npos);
  reset_run_state();
  // A file that cannot be made fails the start hook with -5, naming it.
  r = run(kRun, {"-h5", "nodir/run.h5"});
  EXPECT_EQ(r.init_rc, -5);
  EXPECT_NE(r.out.find("failed to open HDF5 file nodir/run.h5"), std::string::npos) << r.out;
  reset_run_state();
  for (const char* codec : {"none", "gzip"}) {
    r = run(kRun, {"-h5", "c.h5", "-h5z", codec});
    EXPECT_EQ(r.end_rc, 0);
    RunFile f("c.h5");
    EXPECT_EQ(f.read<uint8_t>("/run/A/Missing").v, std::vector<uint8_t>{0});
    reset_run_state();
  }
}

// The HDF5 file on a file system that fills up: one message, no temporary
// file left, the table still whole, and the run fails at its end.
TEST_F(H5OutputTest, FullDiskGivesUpTheFileOnly) {
  fs::create_directory("disk");
  if (mount("tmpfs", "disk", "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
  }
  std::unique_ptr<vexa_run> r = make_run(read_file(EXAMPLES_DIR "/sim-2024.run.json"));
  RunResult res = run(*r, {"-h5", "disk/run.h5", "-h5z", "none"});
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator("disk")) left.push_back(entry.path().string());
  umount("disk");
  EXPECT_EQ(res.init_rc, 0);
  EXPECT_EQ(res.end_rc, -1);
  EXPECT_EQ(res.loop_rc, std::vector<int>(r->events.size(), 0));
  EXPECT_NE(res.out.find("HDF5 file disk/run.h5 given up"), std::string::npos) << res.out;
  EXPECT_TRUE(left.empty()) << left.front();
  EXPECT_EQ(std::count(res.table.begin(), res.table.end(), '\n'), 21);
}

}  // namespace
}  // namespace daq::test
