// The run file's writer on its own: the streaming cases the converter does
// not reach (growing frames, channels and pair names that appear late, the
// memory bound over many datasets), codecs, and what is left on failure.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "attribute_text.h"
#include "run_writer.h"
#include "scratch_dir.h"

// HDF5 1.10 loses a chunk buffer when a write fails on a full disk: the
// library's memory, not the writer's (tests/hdf5_leaks.supp).
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libhdf5_serial.so\n";
}

namespace {

namespace fs = std::filesystem;
using h5run::RunWriter;

// A dataset read back as doubles, and its dimensions.
std::vector<double> read(const fs::path& file, const char* name, std::vector<hsize_t>* dims) {
  hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  hid_t d = H5Dopen2(f, name, H5P_DEFAULT);
  std::vector<double> out;
  if (d >= 0) {
    hid_t s = H5Dget_space(d);
    dims->assign(static_cast<size_t>(H5Sget_simple_extent_ndims(s)), 0);
    H5Sget_simple_extent_dims(s, dims->data(), nullptr);
    out.resize(static_cast<size_t>(H5Sget_simple_extent_npoints(s)));
    H5Dread(d, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data());
    H5Sclose(s);
    H5Dclose(d);
  }
  H5Fclose(f);
  return out;
}

// The chunk shape of a dataset (rows first), empty when it has none.
std::vector<hsize_t> chunks(const fs::path& file, const char* name) {
  hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  hid_t d = H5Dopen2(f, name, H5P_DEFAULT);
  std::vector<hsize_t> out;
  if (d >= 0) {
    hid_t plist = H5Dget_create_plist(d);
    out.resize(8);
    int rank = H5Pget_chunk(plist, 8, out.data());
    out.resize(rank > 0 ? static_cast<size_t>(rank) : 0);
    H5Pclose(plist);
    H5Dclose(d);
  }
  H5Fclose(f);
  return out;
}

// The class and size of a dataset's stored type ("f4", "u2", "i4").
std::string stored_type(const fs::path& file, const char* name) {
  hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  hid_t d = H5Dopen2(f, name, H5P_DEFAULT);
  std::string out = "none";
  if (d >= 0) {
    hid_t t = H5Dget_type(d);
    H5T_class_t c = H5Tget_class(t);
    char kind = c == H5T_FLOAT                                       ? 'f'
                : c == H5T_INTEGER && H5Tget_sign(t) == H5T_SGN_NONE ? 'u'
                : c == H5T_INTEGER                                   ? 'i'
                                                                     : '?';
    out = kind + std::to_string(H5Tget_size(t));
    H5Tclose(t);
    H5Dclose(d);
  }
  H5Fclose(f);
  return out;
}

// An attribute of strings (one or a list) of an object; "<none>" when absent.
std::vector<std::string> string_attribute(const fs::path& file, const char* object,
                                          const char* name) {
  hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  std::vector<std::string> out{"<none>"};
  if (H5Aexists_by_name(f, object, name, H5P_DEFAULT) > 0) {
    hid_t a = H5Aopen_by_name(f, object, name, H5P_DEFAULT, H5P_DEFAULT);
    hid_t s = H5Aget_space(a);
    std::vector<char*> p(static_cast<size_t>(H5Sget_simple_extent_npoints(s)));
    h5run::Datatype t = h5run::utf8_string_type();
    out.clear();
    if (!p.empty() && H5Aread(a, t.get(), p.data()) >= 0) {
      for (char* c : p) out.emplace_back(c != nullptr ? c : "");
      H5Dvlen_reclaim(t.get(), s, H5P_DEFAULT, p.data());
    }
    H5Sclose(s);
    H5Aclose(a);
  }
  H5Fclose(f);
  return out;
}

class H5runTest : public daq::test::ScratchDirTest {
 protected:
  fs::path file() const { return dir_ / "run.h5"; }
  h5run::EventColumns event(uint64_t id) {
    h5run::EventColumns e;
    e.id = id;
    e.sec = 1733632724;
    e.usec = static_cast<uint32_t>(id);
    e.iso = "2024-12-08T04:38:44Z";
    return e;
  }
};

TEST_F(H5runTest, GrowsFramesAndMembersAndFillsLateChannels) {
  {
    RunWriter w(file().string(), {});
    int cam = w.add_channel({.column = "CAM/1", .kind = h5run::Kind::kImage, .pixel_bits = 16});
    int bpm = w.add_channel(
        {.column = "BPM", .kind = h5run::Kind::kPairs, .values = h5run::ValueType::kFloat32});
    const uint16_t small[] = {1, 2, 3, 4, 5, 6}, large[] = {7, 8, 9, 10, 11, 12, 13, 14};
    w.begin_event(event(0));
    w.set_image(cam, small, 3, 2);
    w.add_pair(bpm, "x", 0.5);
    w.end_event();
    w.begin_event(event(1));
    w.set_image(cam, large, 4, 2);
    w.add_pair(bpm, "Length", 2.0);  // a pair named like a dataset of the group
    w.end_event();
    int adc = w.add_channel({.column = "ADC", .kind = h5run::Kind::kSpectrum});
    w.begin_event(event(2));
    const float v[] = {1.5f, 2.5f};
    w.set_member(adc, 1, v, 2);
    w.set_member_failed(adc, 0);
    w.set_member_stat(adc, 1, 3, 9.0);
    w.end_event();
    w.commit();
  }
  std::vector<hsize_t> dims;
  EXPECT_EQ(read(file(), "run/CAM%2F1/Pixels", &dims),
            (std::vector<double>{1,  2,  3,  0,  4, 5, 6, 0, 7, 8, 9, 10,
                                 11, 12, 13, 14, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(dims, (std::vector<hsize_t>{3, 2, 4}));
  EXPECT_EQ(read(file(), "run/CAM%2F1/Width", &dims), (std::vector<double>{3, 4, 0}));
  EXPECT_EQ(read(file(), "run/CAM%2F1/Missing", &dims), (std::vector<double>{0, 0, 2}));
  auto x = read(file(), "run/BPM/x", &dims);
  ASSERT_EQ(x.size(), 3u);
  EXPECT_EQ(x[0], 0.5);
  EXPECT_TRUE(std::isnan(x[1]) && std::isnan(x[2]));
  EXPECT_EQ(read(file(), "run/BPM/Length#pair", &dims)[1], 2.0);
  EXPECT_EQ(read(file(), "run/BPM/Length", &dims), (std::vector<double>{1, 1, 0}));
  auto m1 = read(file(), "run/ADC/Member1", &dims);
  EXPECT_EQ(dims, (std::vector<hsize_t>{3, 2}));
  EXPECT_TRUE(std::isnan(m1[0]) && m1[4] == 1.5 && m1[5] == 2.5);
  EXPECT_EQ(read(file(), "run/ADC/Member0Length", &dims), (std::vector<double>{-1, -1, -2}));
  EXPECT_EQ(read(file(), "run/ADC/Member1Stats", &dims)[2 * 32 + 3], 9.0);
  EXPECT_EQ(read(file(), "run/ADC/Missing", &dims), (std::vector<double>{2, 2, 0}));
  EXPECT_EQ(read(file(), "run/Time", &dims),
            (std::vector<double>{1733632724000000.0, 1733632724000001.0, 1733632724000002.0}));
}

// Many datasets and many events: rows go out whenever the buffers together
// reach the bound, and every value still lands in its row.
TEST_F(H5runTest, MemoryBoundOverManyDatasetsKeepsEveryRow) {
  const int channels = 40, events = 3000;
  {
    RunWriter w(file().string(), {.memory_bound = 64 << 10});
    for (int c = 0; c < channels; ++c) {
      w.add_channel({.column = "S" + std::to_string(c), .kind = h5run::Kind::kSpectrum});
    }
    std::vector<double> v(16);
    for (int e = 0; e < events; ++e) {
      w.begin_event(event(static_cast<uint64_t>(e)));
      for (int c = 0; c < channels; ++c) {
        if ((e + c) % 7 == 0) continue;  // absent now and then
        for (size_t k = 0; k < v.size(); ++k) v[k] = e * 100.0 + c + k / 100.0;
        w.set_member(c, 0, v.data(), v.size());
      }
      w.end_event();
    }
    w.commit();
  }
  std::vector<hsize_t> dims;
  for (int c : {0, 17, 39}) {
    std::string name = "run/S" + std::to_string(c) + "/Member0";
    auto values = read(file(), name.c_str(), &dims);
    ASSERT_EQ(dims, (std::vector<hsize_t>{events, 16}));
    for (int e = 0; e < events; ++e) {
      double got = values[static_cast<size_t>(e) * 16 + 5];
      if ((e + c) % 7 == 0) {
        EXPECT_TRUE(std::isnan(got)) << name << " " << e;
      } else {
        EXPECT_EQ(got, e * 100.0 + c + 0.05) << name << " " << e;
      }
    }
  }
}

// Camera frames are compressed by the writer and stored as whole chunks;
// rows that do not fill a chunk go through HDF5's own filters and are merged
// with what their chunk already holds. Read back through HDF5's gzip and
// shuffle filters, every pixel is where it was put, across many flushes, with
// frames missing now and then, and with a frame shape that grows; noise that
// does not compress, handed over from an odd address as a host's buffer is.
TEST_F(H5runTest, CompressedFramesReadBackThroughTheStandardFilters) {
  struct Camera {
    const char* name;
    int bits;
    size_t width, height;
    bool fixed;
  } cameras[] = {
      {"BIG16", 16, 256, 160, true},  // 80 KiB frames: one chunk each
      {"BIG8", 8, 300, 250, true},
      {"SMALL16", 16, 90, 91, true},  // four frames a chunk: blocks end inside chunks
      {"SMALL8", 8, 13, 3, false},    // shape from the frames, grown below
      {"NOISE16", 16, 256, 130, true},
  };
  const int kCameras = 5;
  const int events = 57;
  auto pixel = [](int e, int c, size_t k) {
    if (c == 4) {
      uint64_t z = (static_cast<uint64_t>(e) << 32 | k) * 0x9E3779B97F4A7C15ull;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      return static_cast<uint16_t>(z >> 40);
    }
    return static_cast<uint16_t>((e * 7919u + c * 104729u + k * 31u + (k * k) % 97u) & 0xffffu);
  };
  auto skipped = [](int e, int c) { return (e + c) % 11 == 3; };
  {
    RunWriter w(file().string(), {.memory_bound = 4 << 20});  // blocks of about 6 events
    for (const Camera& cam : cameras) {
      int ch =
          w.add_channel({.column = cam.name, .kind = h5run::Kind::kImage, .pixel_bits = cam.bits});
      if (cam.fixed) w.fix_image_shape(ch, cam.width, cam.height);
    }
    for (int e = 0; e < events; ++e) {
      w.begin_event(event(static_cast<uint64_t>(e)));
      for (int c = 0; c < kCameras; ++c) {
        if (skipped(e, c)) continue;
        const Camera& cam = cameras[c];
        size_t width = c == 3 && e >= 40 ? cam.width + 2 : cam.width;
        size_t n = width * cam.height;
        std::vector<uint16_t> p16(n);
        std::vector<uint8_t> p8(n);
        for (size_t k = 0; k < n; ++k) {
          p16[k] = pixel(e, c, k);
          p8[k] = static_cast<uint8_t>(p16[k]);
        }
        if (c == 4) {
          std::vector<unsigned char> bytes(2 * n + 1);
          std::memcpy(bytes.data() + 1, p16.data(), 2 * n);
          w.set_image_words(c, bytes.data() + 1, width, cam.height);
        } else if (cam.bits == 16) {
          w.set_image(c, p16.data(), width, cam.height);
        } else {
          w.set_image(c, p8.data(), width, cam.height);
        }
      }
      w.end_event();
    }
    w.commit();
  }
  hid_t f = H5Fopen(file().c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  for (int c = 0; c < kCameras; ++c) {
    const Camera& cam = cameras[c];
    SCOPED_TRACE(cam.name);
    std::string name = std::string("run/") + cam.name + "/Pixels";
    hid_t d = H5Dopen2(f, name.c_str(), H5P_DEFAULT);
    hid_t plist = H5Dget_create_plist(d);
    std::vector<H5Z_filter_t> filters;
    for (int k = 0; k < H5Pget_nfilters(plist); ++k) {
      unsigned flags = 0;
      size_t nvalues = 0;
      filters.push_back(H5Pget_filter2(plist, static_cast<unsigned>(k), &flags, &nvalues, nullptr,
                                       0, nullptr, nullptr));
    }
    H5Pclose(plist);
    H5Dclose(d);
    std::vector<H5Z_filter_t> standard{H5Z_FILTER_DEFLATE};
    if (cam.bits == 16) standard.insert(standard.begin(), H5Z_FILTER_SHUFFLE);
    EXPECT_EQ(filters, standard);
    std::vector<hsize_t> dims;
    auto got = read(file(), name.c_str(), &dims);
    size_t stride = c == 3 ? cam.width + 2 : cam.width;
    ASSERT_EQ(dims, (std::vector<hsize_t>{events, cam.height, stride}));
    size_t mismatches = 0;
    for (int e = 0; e < events; ++e) {
      size_t width = c == 3 && e >= 40 ? cam.width + 2 : cam.width;
      for (size_t y = 0; y < cam.height; ++y) {
        for (size_t x = 0; x < stride; ++x) {
          double want = 0;
          if (!skipped(e, c) && x < width) {
            uint16_t p = pixel(e, c, y * width + x);
            want = cam.bits == 8 ? static_cast<uint8_t>(p) : p;
          }
          double v = got[(static_cast<size_t>(e) * cam.height + y) * stride + x];
          if (v != want && ++mismatches <= 5) {
            ADD_FAILURE() << "event " << e << " (" << x << ", " << y << "): " << v << ", not "
                          << want;
          }
        }
      }
    }
    EXPECT_EQ(mismatches, 0u);
  }
  H5Fclose(f);
}

// String rows carry the library's own empty fill: rows before a string
// column's first value and rows it skipped read as "", across flushes.
TEST_F(H5runTest, StringColumnsReadEmptyWhereNothingWasWritten) {
  const int events = 40;
  auto named = [](int e) { return e >= 5 && e % 7 != 0; };
  {
    RunWriter w(file().string(), {.memory_bound = 4096});  // a write every few events
    for (int e = 0; e < events; ++e) {
      h5run::EventColumns ev = event(static_cast<uint64_t>(e));
      std::string name = "type " + std::to_string(e);
      if (named(e)) ev.type_name = name;
      w.begin_event(ev);
      w.end_event();
    }
    w.commit();
  }
  hid_t f = H5Fopen(file().c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  hid_t d = H5Dopen2(f, "run/EventTypeName", H5P_DEFAULT);
  ASSERT_GE(d, 0);
  hid_t s = H5Dget_space(d);
  ASSERT_EQ(H5Sget_simple_extent_npoints(s), events);
  std::vector<char*> got(events, nullptr);
  h5run::Datatype t = h5run::utf8_string_type();
  ASSERT_GE(H5Dread(d, t.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, got.data()), 0);
  for (int e = 0; e < events; ++e) {
    std::string want = named(e) ? "type " + std::to_string(e) : "";
    EXPECT_EQ(got[static_cast<size_t>(e)] ? std::string(got[static_cast<size_t>(e)]) : "", want)
        << "event " << e;
  }
  H5Dvlen_reclaim(t.get(), s, H5P_DEFAULT, got.data());
  H5Sclose(s);
  H5Dclose(d);
  H5Fclose(f);
}

// Integer channels (-fti) given floats: values that do not fit an int32
// (2^31 itself, NaN) are stored as 0, the edges that fit as they are.
TEST_F(H5runTest, IntegerMembersKeepWhatFitsAndZeroTheRest) {
  const float values[] = {-2147483648.0f, 2147483648.0f, 2147483520.0f, -1.5f, std::nanf(""), 3.0f};
  {
    RunWriter w(file().string(), {});
    int ch = w.add_channel(
        {.column = "CNT", .kind = h5run::Kind::kSpectrum, .values = h5run::ValueType::kInt32});
    w.begin_event(event(1));
    w.set_member(ch, 0, values, std::size(values));
    w.end_event();
    w.commit();
  }
  std::vector<hsize_t> dims;
  auto got = read(file(), "run/CNT/Member0", &dims);
  EXPECT_EQ(got, (std::vector<double>{-2147483648.0, 0, 2147483520.0, -1, 0, 3}));
}

TEST_F(H5runTest, AbandonedOrFailedWriterLeavesNothing) {
  {
    RunWriter w(file().string(), {});
    EXPECT_TRUE(fs::exists(w.temp_path()));
    w.add_channel({.column = "A", .kind = h5run::Kind::kScalar});
    w.begin_event(event(1));
    EXPECT_THROW(w.set_image(0, static_cast<const uint8_t*>(nullptr), 0, 0), h5run::Error);
  }
  EXPECT_TRUE(fs::is_empty(dir_));
  EXPECT_THROW(RunWriter((dir_ / "no/such/run.h5").string(), {}), h5run::Error);
  EXPECT_TRUE(fs::is_empty(dir_));
}

// LZ4 (filter 32004) after the shuffle filter, read back through the
// installed filter: values and pixels as written.
TEST_F(H5runTest, Lz4RoundTrips) {
  if (!h5run::codec_available(h5run::Codec::kLz4)) {
    GTEST_SKIP() << "the LZ4 filter (HDF5 filter 32004) is not installed";
  }
  std::vector<uint16_t> frame(300 * 200);
  for (size_t k = 0; k < frame.size(); ++k) frame[k] = static_cast<uint16_t>(k * 7);
  {
    RunWriter w(file().string(), {.codec = h5run::Codec::kLz4});
    int cam = w.add_channel({.column = "CAM", .kind = h5run::Kind::kImage});
    int s = w.add_channel({.column = "S", .kind = h5run::Kind::kScalar});
    for (int e = 0; e < 3; ++e) {
      w.begin_event(event(static_cast<uint64_t>(e)));
      w.set_image(cam, frame.data(), 300, 200);
      w.set_scalar(s, e + 0.25);
      w.end_event();
    }
    w.commit();
  }
  std::vector<hsize_t> dims;
  auto px = read(file(), "run/CAM/Pixels", &dims);
  EXPECT_EQ(dims, (std::vector<hsize_t>{3, 200, 300}));
  EXPECT_EQ(px[2 * 60000 + 59999], static_cast<uint16_t>(59999 * 7));
  EXPECT_EQ(read(file(), "run/S/Value", &dims), (std::vector<double>{0.25, 1.25, 2.25}));
}

TEST_F(H5runTest, BitshuffleLz4RoundTrips) {
  if (!h5run::codec_available(h5run::Codec::kBslz4)) {
    GTEST_SKIP() << "the bitshuffle filter (HDF5 filter 32008) is not installed";
  }
  {
    RunWriter w(file().string(), {.codec = h5run::Codec::kBslz4});
    int cam = w.add_channel({.column = "CAM", .kind = h5run::Kind::kImage, .pixel_bits = 8});
    const uint8_t p[] = {9, 8, 7, 6};
    w.begin_event(event(1));
    w.set_image(cam, p, 2, 2);
    w.end_event();
    w.commit();
  }
  std::vector<hsize_t> dims;
  EXPECT_EQ(read(file(), "run/CAM/Pixels", &dims), (std::vector<double>{9, 8, 7, 6}));
}

// Every dataset's stored bytes (strings as their text), by path.
std::map<std::string, std::vector<unsigned char>> stored_bytes(const fs::path& file) {
  std::map<std::string, std::vector<unsigned char>> out;
  hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  H5Ovisit(
      f, H5_INDEX_NAME, H5_ITER_INC,
      [](hid_t root, const char* name, const H5O_info_t* info, void* data) -> herr_t {
        if (info->type != H5O_TYPE_DATASET) return 0;
        auto& bytes =
            (*static_cast<std::map<std::string, std::vector<unsigned char>>*>(data))[name];
        hid_t d = H5Dopen2(root, name, H5P_DEFAULT);
        hid_t t = H5Dget_type(d);
        hid_t s = H5Dget_space(d);
        auto n = static_cast<size_t>(H5Sget_simple_extent_npoints(s));
        if (H5Tis_variable_str(t) > 0) {
          std::vector<char*> p(n, nullptr);
          if (n > 0 && H5Dread(d, t, H5S_ALL, H5S_ALL, H5P_DEFAULT, p.data()) >= 0) {
            for (char* c : p) bytes.insert(bytes.end(), c, c + (c ? std::strlen(c) + 1 : 0));
            H5Dvlen_reclaim(t, s, H5P_DEFAULT, p.data());
          }
        } else {
          bytes.resize(n * H5Tget_size(t));
          if (n > 0 && H5Dread(d, t, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data()) < 0) {
            bytes.assign({'?'});
          }
        }
        H5Sclose(s);
        H5Tclose(t);
        H5Dclose(d);
        return 0;
      },
      &out);
  H5Fclose(f);
  return out;
}

// The filters of a dataset, in order.
std::vector<H5Z_filter_t> filters(const fs::path& file, const std::string& name) {
  hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  hid_t d = H5Dopen2(f, name.c_str(), H5P_DEFAULT);
  hid_t plist = H5Dget_create_plist(d);
  std::vector<H5Z_filter_t> out;
  for (int k = 0; k < H5Pget_nfilters(plist); ++k) {
    unsigned flags = 0;
    size_t nvalues = 0;
    out.push_back(H5Pget_filter2(plist, static_cast<unsigned>(k), &flags, &nvalues, nullptr, 0,
                                 nullptr, nullptr));
  }
  H5Pclose(plist);
  H5Dclose(d);
  H5Fclose(f);
  return out;
}

// One run written with lz4 and without a filter: every chunked dataset of the
// lz4 file goes through shuffle (elements wider than a byte) and LZ4, and reads
// back through the library's filters bit for bit as the plain one, NaN
// payloads, noise that LZ4 cannot shrink and rows across flushes included.
TEST_F(H5runTest, Lz4FileReadsBackBitForBitThroughTheFilters) {
  if (!h5run::codec_available(h5run::Codec::kLz4)) {
    GTEST_SKIP() << "the LZ4 filter (HDF5 filter 32004, Debian package hdf5-filter-plugin) is not "
                    "found by the HDF5 library";
  }
  auto write = [&](const fs::path& path, h5run::Codec codec) {
    std::mt19937 rng(21);
    RunWriter w(path.string(), {.codec = codec, .memory_bound = 64 << 10});
    int s = w.add_channel({.column = "S",
                           .kind = h5run::Kind::kScalar,
                           .values = h5run::ValueType::kFloat32,
                           .status = true,
                           .macro_pulse = true});
    int n = w.add_channel({.column = "N", .kind = h5run::Kind::kScalarInt});
    int p = w.add_channel({.column = "P", .kind = h5run::Kind::kPairs});
    int a = w.add_channel({.column = "ADC",
                           .kind = h5run::Kind::kSpectrum,
                           .values = h5run::ValueType::kFloat32,
                           .stats = h5run::ValueType::kFloat32});
    int c16 = w.add_channel({.column = "CAM16", .kind = h5run::Kind::kImage});
    int c8 = w.add_channel({.column = "CAM8", .kind = h5run::Kind::kImage, .pixel_bits = 8});
    const uint32_t odd_floats[] = {0x7fc01234u, 0xffa00001u, 0x80000000u, 0x00000001u, 0x7f800000u};
    std::vector<float> samples(300);
    std::vector<uint16_t> frame16(96 * 64);
    std::vector<uint8_t> frame8(40 * 30);
    for (int e = 0; e < 400; ++e) {
      h5run::EventColumns ev = event(static_cast<uint64_t>(e));
      std::string type = "type " + std::to_string(e % 3);
      ev.type_name = type;
      ev.type = e % 3;
      w.begin_event(ev);
      float v;
      std::memcpy(&v, &odd_floats[e % 5], sizeof v);
      w.set_scalar(s, e % 7 == 0 ? v : static_cast<float>(e) / 3);
      w.set_status(s, static_cast<uint32_t>(e), 0);
      w.set_macro_pulse(s, 9000000000u + static_cast<uint64_t>(e));
      if (e % 4 != 1) w.set_scalar(n, static_cast<int32_t>(rng()));
      w.add_pair(p, "x", e * 0.25);
      if (e % 2 == 0) w.add_pair(p, "y", -e * 1e-9);
      for (float& x : samples) x = static_cast<float>(rng() % 4096) * 0.5f;
      w.set_member(a, 0, samples.data(), samples.size());
      w.set_member(a, 1, samples.data(), static_cast<size_t>(e % 50));
      w.set_member_stat(a, 0, 2, e * 0.5);
      for (uint16_t& x : frame16) x = static_cast<uint16_t>(rng());
      w.set_image(c16, frame16.data(), 96, 64);
      if (e % 5 != 0) {
        for (uint8_t& x : frame8) x = static_cast<uint8_t>(e + rng() % 4);
        w.set_image(c8, frame8.data(), 40, 30);
      }
      w.end_event();
    }
    w.commit();
  };
  const fs::path plain = dir_ / "plain.h5";
  write(plain, h5run::Codec::kNone);
  write(file(), h5run::Codec::kLz4);
  auto want = stored_bytes(plain);
  auto got = stored_bytes(file());
  ASSERT_GT(want.size(), 20u);
  for (const auto& [name, bytes] : want) {
    SCOPED_TRACE(name);
    ASSERT_EQ(got.count(name), 1u);
    EXPECT_TRUE(got[name] == bytes)
        << got[name].size() << " bytes read, " << bytes.size() << " written";
    // Axis scales (sample index, pixel x and y) are small datasets of their own, not chunked.
    if (chunks(file(), name.c_str()).empty()) continue;
    std::vector<H5Z_filter_t> lz4{32004};
    std::string type = stored_type(file(), name.c_str());  // "?" for strings
    if (type[0] != '?' && type.substr(1) != "1") lz4.insert(lz4.begin(), H5Z_FILTER_SHUFFLE);
    EXPECT_EQ(filters(file(), name), lz4);
  }
  EXPECT_EQ(got.size(), want.size());
  // The event IDs, shuffled, shrink (the noisy frames cannot).
  auto storage = [](const fs::path& path) {
    hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    hid_t d = H5Dopen2(f, "run/EventId", H5P_DEFAULT);
    hsize_t n = H5Dget_storage_size(d);
    H5Dclose(d);
    H5Fclose(f);
    return n;
  };
  EXPECT_LT(storage(file()), storage(plain) / 2);
}

// Per-event values beside a camera whose frames fill the bound every few
// events: their chunks are the staged blocks (1024 events), also for a
// channel that starts late within a block; a run that never filled a block
// has its events as the chunk, whatever count it was expected to have.
TEST_F(H5runTest, EventValuesKeepLongChunksBesideLargeFrames) {
  for (int events : {1030, 12}) {
    SCOPED_TRACE(events);
    {
      RunWriter w(file().string(), {.memory_bound = 1 << 20});
      w.expect_events(1);
      int cam = w.add_channel({.column = "CAM", .kind = h5run::Kind::kImage});
      int s = w.add_channel({.column = "S", .kind = h5run::Kind::kScalar});
      int late = -1;
      std::vector<uint16_t> frame(256 * 128, 3);
      for (int e = 0; e < events; ++e) {
        w.begin_event(event(static_cast<uint64_t>(e)));
        if (e == 1000 || (events < 1000 && e == 10)) {
          late = w.add_channel({.column = "LATE", .kind = h5run::Kind::kScalar});
        }
        w.set_image(cam, frame.data(), 256, 128);
        w.set_scalar(s, e);
        if (late >= 0) w.set_scalar(late, 2.0);
        w.end_event();
      }
      w.commit();
    }
    hsize_t rows = events > 1024 ? 1024 : static_cast<hsize_t>(events);
    EXPECT_EQ(chunks(file(), "run/EventId"), std::vector<hsize_t>{rows});
    EXPECT_EQ(chunks(file(), "run/S/Value"), std::vector<hsize_t>{rows});
    EXPECT_EQ(chunks(file(), "run/LATE/Value"), std::vector<hsize_t>{rows});
    EXPECT_EQ(chunks(file(), "run/CAM/Pixels"), (std::vector<hsize_t>{1, 128, 256}));
    std::vector<hsize_t> dims;
    std::vector<double> want(static_cast<size_t>(events));
    for (int e = 0; e < events; ++e) want[static_cast<size_t>(e)] = e;
    EXPECT_EQ(read(file(), "run/S/Value", &dims), want);
    auto late = read(file(), "run/LATE/Value", &dims);
    size_t from = events > 1000 ? 1000 : 10;
    EXPECT_TRUE(std::isnan(late[from - 1]));
    EXPECT_EQ(late[from], 2.0);
    EXPECT_EQ(late.back(), 2.0);
    fs::remove(file());
  }
}

// Rows that widen after the dataset was made: an empty or tiny first row
// never sets the chunk shape, and every value stays where it was put.
TEST_F(H5runTest, RowsThatWidenLaterMakeTheDatasetAgain) {
  std::vector<float> wide(1000);
  for (size_t k = 0; k < wide.size(); ++k) wide[k] = static_cast<float>(k);
  std::vector<uint8_t> frame(256 * 256, 7);
  {
    RunWriter w(file().string(), {.memory_bound = 64 << 10});
    int adc = w.add_channel(
        {.column = "ADC", .kind = h5run::Kind::kSpectrum, .values = h5run::ValueType::kFloat32});
    int cam = w.add_channel({.column = "CAM", .kind = h5run::Kind::kImage});
    int small = w.add_channel({.column = "SMALL", .kind = h5run::Kind::kImage});
    const uint8_t two[] = {1, 2, 3, 4};
    for (int e = 0; e < 40; ++e) {
      w.begin_event(event(static_cast<uint64_t>(e)));
      w.set_member(adc, 0, wide.data(), e == 0 ? 0 : wide.size());
      w.set_image(cam, frame.data(), e == 0 ? 0 : 256, e == 0 ? 0 : 256);
      if (e == 0) {
        w.set_image(small, two, 2, 2);
      } else {
        w.set_image(small, frame.data(), 256, 256);
      }
      w.end_event();
    }
    w.commit();
  }
  EXPECT_EQ(chunks(file(), "run/ADC/Member0").at(1), 1000u);
  EXPECT_EQ(chunks(file(), "run/CAM/Pixels"), (std::vector<hsize_t>{1, 256, 256}));
  EXPECT_EQ(chunks(file(), "run/SMALL/Pixels"), (std::vector<hsize_t>{1, 256, 256}));
  std::vector<hsize_t> dims;
  auto m = read(file(), "run/ADC/Member0", &dims);
  ASSERT_EQ(dims, (std::vector<hsize_t>{40, 1000}));
  EXPECT_TRUE(std::isnan(m[0]) && std::isnan(m[999]));
  EXPECT_EQ(m[39 * 1000 + 999], 999.0);
  auto px = read(file(), "run/SMALL/Pixels", &dims);
  ASSERT_EQ(dims, (std::vector<hsize_t>{40, 256, 256}));
  EXPECT_EQ((std::vector<double>{px[0], px[1], px[2], px[256], px[257], px[258]}),
            (std::vector<double>{1, 2, 0, 3, 4, 0}));
  EXPECT_EQ(px[65536 + 255 * 256 + 255], 7.0);
  EXPECT_EQ(read(file(), "run/CAM/Width", &dims)[0], 0.0);
}

// A 16-bit frame after 8-bit ones widens the dataset to uint16: no pixel
// is cut to its low byte, before or after the change, across flushes.
TEST_F(H5runTest, SixteenBitFrameWidensAnEightBitCamera) {
  {
    RunWriter w(file().string(), {.memory_bound = 4096});
    int cam = w.add_channel({.column = "CAM", .kind = h5run::Kind::kImage});
    const uint8_t low[] = {1, 255};
    const uint16_t high[] = {258, 772};
    for (int e = 0; e < 30; ++e) {
      w.begin_event(event(static_cast<uint64_t>(e)));
      if (e < 20) {
        w.set_image(cam, low, 2, 1);
      } else {
        w.set_image(cam, high, 2, 1);
      }
      w.end_event();
    }
    w.commit();
  }
  EXPECT_EQ(stored_type(file(), "run/CAM/Pixels"), "u2");
  std::vector<hsize_t> dims;
  auto px = read(file(), "run/CAM/Pixels", &dims);
  EXPECT_EQ((std::vector<double>{px[0], px[1], px[38], px[39], px[40], px[59]}),
            (std::vector<double>{1, 255, 1, 255, 258, 772}));
}

// Pair names that collide with the group's datasets, with one another once
// escaped, or with a name made unique before: each gets a dataset of its
// own, named in pair_datasets; a list that is always empty is an empty
// attribute, not a failed file.
TEST_F(H5runTest, PairNamesNeverShareADataset) {
  const std::vector<std::string> names{"Length#pair", "Length", "Length#pair#pair", "x",      "",
                                       ".",           "a/b",    "Missing",          "EventId"};
  {
    RunWriter w(file().string(), {});
    int p = w.add_channel({.column = "P", .kind = h5run::Kind::kPairs});
    int none = w.add_channel({.column = "NONE", .kind = h5run::Kind::kPairs});
    w.begin_event(event(1));
    for (size_t k = 0; k < names.size(); ++k) w.add_pair(p, names[k], static_cast<double>(k));
    w.set_missing(none, h5run::Missing::kEmpty);
    w.end_event();
    w.commit();
  }
  EXPECT_EQ(string_attribute(file(), "run/P", "pair_names"), names);
  std::vector<std::string> links = string_attribute(file(), "run/P", "pair_datasets");
  EXPECT_EQ(links,
            (std::vector<std::string>{"Length#pair", "Length#pair2", "Length#pair#pair", "x", "%00",
                                      "%2E", "a%2Fb", "Missing#pair", "EventId#pair"}));
  for (size_t k = 0; k < links.size(); ++k) {
    std::vector<hsize_t> dims;
    EXPECT_EQ(read(file(), ("run/P/" + links[k]).c_str(), &dims), std::vector<double>{double(k)})
        << links[k];
  }
  EXPECT_EQ(string_attribute(file(), "run/NONE", "pair_names"), std::vector<std::string>{});
  std::vector<hsize_t> dims;
  EXPECT_EQ(read(file(), "run/NONE/Missing", &dims), std::vector<double>{1});
}

// Description texts are typed by one rule in both producers' files.
TEST(AttributeText, TypesTextOneWay) {
  using h5run::typed_attribute;
  EXPECT_EQ(std::get<int64_t>(typed_attribute("-42")), -42);
  EXPECT_EQ(std::get<int64_t>(typed_attribute("9223372036854775807")), INT64_MAX);
  EXPECT_EQ(std::get<double>(typed_attribute("18446744073709551615")), 18446744073709551615.0);
  EXPECT_EQ(std::get<double>(typed_attribute("0.0125")), 0.0125);
  EXPECT_EQ(std::get<double>(typed_attribute("010")), 10.0);
  for (const char* text :
       {"", "+5", " 7", "7 ", "0x1F", "inf", "-inf", "nan", "1e999", "mm", "-"}) {
    EXPECT_EQ(std::get<std::string_view>(typed_attribute(text)), text) << text;
  }
}

// The counts behind the plug-in's cells_* summary: a channel added late
// counts its earlier rows as not found or, where listed, cut short.
TEST_F(H5runTest, MissingCountsCoverEveryRow) {
  RunWriter w(file().string(), {});
  int early = w.add_channel({.column = "A", .kind = h5run::Kind::kScalar});
  for (uint64_t e = 0; e < 4; ++e) {
    w.begin_event(event(e + 1));
    if (e == 1) w.set_missing(early, h5run::Missing::kNoImage);
    if (e != 2) w.set_scalar(early, 1.0);
    w.end_event();
  }
  w.begin_event(event(5));
  int late = w.add_channel({.column = "B",
                            .kind = h5run::Kind::kStructured,
                            .converted = true,
                            .cut_short_rows = {0, 3}});
  w.set_converted(late, false);
  w.end_event();
  auto a = w.missing_counts(early);
  EXPECT_EQ(a[0], 2u);  // rows 0 and 3
  EXPECT_EQ(a[2], 2u);  // row 2, and row 4 with no cell
  EXPECT_EQ(a[6], 1u);
  auto b = w.missing_counts(late);
  EXPECT_EQ(b[3], 2u);
  EXPECT_EQ(b[2], 2u);
  EXPECT_EQ(b[8], 1u);
  EXPECT_EQ(w.kind(late), h5run::Kind::kStructured);
  EXPECT_THROW(w.missing_counts(2), h5run::Error);
  w.commit();
  std::vector<hsize_t> dims;
  EXPECT_EQ(read(file(), "run/B/Missing", &dims), (std::vector<double>{3, 2, 2, 3, 8}));
  EXPECT_EQ(read(file(), "run/B/Converted", &dims), (std::vector<double>{0, 0, 0, 0, 0}));
}

// A description attribute named like one of the layout's keeps its value
// under "description_<name>"; the layout's own stay.
TEST_F(H5runTest, DescriptionAttributesNeverReplaceTheLayouts) {
  {
    RunWriter w(file().string(), {});
    int ch = w.add_channel({.column = "T", .kind = h5run::Kind::kScalar});
    w.set_description_attribute(ch, "kind", "toroid");
    w.set_description_attribute(ch, "column", "beamline-3");
    w.set_description_attribute(ch, "description_kind", "x");
    w.set_description_attribute(ch, "unit", "nC");
    w.commit();
  }
  EXPECT_EQ(string_attribute(file(), "run/T", "kind"), std::vector<std::string>{"scalar"});
  EXPECT_EQ(string_attribute(file(), "run/T", "column"), std::vector<std::string>{"T"});
  EXPECT_EQ(string_attribute(file(), "run/T", "description_kind"),
            std::vector<std::string>{"toroid"});
  EXPECT_EQ(string_attribute(file(), "run/T", "description_column"),
            std::vector<std::string>{"beamline-3"});
  EXPECT_EQ(string_attribute(file(), "run/T", "description_description_kind"),
            std::vector<std::string>{"x"});
  EXPECT_EQ(string_attribute(file(), "run/T", "unit"), std::vector<std::string>{"nC"});
}

// Every dataset the layout lists for a kind exists, all fill where nothing
// came: a member that only failed, a camera that never had a frame, event
// columns of a run without events.
TEST_F(H5runTest, EveryListedDatasetExistsWithoutData) {
  {
    RunWriter w(file().string(), {.event_status = true, .event_type = true});
    int adc = w.add_channel({.column = "ADC", .kind = h5run::Kind::kSpectrum});
    int cam = w.add_channel({.column = "CAM", .kind = h5run::Kind::kImage});
    w.begin_event(event(1));
    w.set_member_failed(adc, 0);
    w.set_missing(cam, h5run::Missing::kNoImage);
    w.end_event();
    w.commit();
  }
  std::vector<hsize_t> dims;
  EXPECT_EQ(read(file(), "run/ADC/Member0Length", &dims), std::vector<double>{-2});
  read(file(), "run/ADC/Member0", &dims);
  EXPECT_EQ(dims, (std::vector<hsize_t>{1, 0}));
  EXPECT_TRUE(std::isnan(read(file(), "run/ADC/Member0Stats", &dims)[0]));
  EXPECT_EQ(read(file(), "run/CAM/Width", &dims), std::vector<double>{0});
  EXPECT_EQ(read(file(), "run/CAM/Height", &dims), std::vector<double>{0});
  read(file(), "run/CAM/Pixels", &dims);
  EXPECT_EQ(dims, (std::vector<hsize_t>{1, 0, 0}));
  {
    RunWriter w(file().string(), {.event_status = true, .event_type = true});
    w.commit();
  }
  for (const char* name : {"run/EvHeadStatus", "run/EventType", "run/EventTypeName"}) {
    dims.clear();
    read(file(), name, &dims);
    EXPECT_EQ(dims, std::vector<hsize_t>{0}) << name;
  }
}

// Targets the rename must not replace are refused before anything is made:
// no name, a directory, a name ending in '/', a device or pipe, a symbolic
// link; a regular file is replaced.
TEST_F(H5runTest, RefusesTargetsThatAreNotRegularFiles) {
  fs::create_directory(dir_ / "adir");
  ASSERT_EQ(mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  fs::create_symlink("elsewhere.h5", dir_ / "link");
  for (std::string target :
       {std::string(), (dir_ / "adir").string(), (dir_ / "adir").string() + "/",
        (dir_ / "pipe").string(), (dir_ / "link").string(), std::string("/dev/null")}) {
    SCOPED_TRACE(target);
    try {
      RunWriter w(target, {});
      ADD_FAILURE() << "accepted";
    } catch (const h5run::Error& e) {
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
    }
  }
  EXPECT_TRUE(fs::is_fifo(dir_ / "pipe"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
  EXPECT_TRUE(fs::is_empty(dir_ / "adir"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  std::ofstream(file()) << "old";
  {
    RunWriter w(file().string(), {});
    w.commit();
  }
  EXPECT_GT(fs::file_size(file()), 3u);
}

// A signal that ends the process removes the temporary file: with the
// signal's default action, and with a handler that, like the reader's on a
// second interrupt, gives the signal back to its default action.
TEST_F(H5runTest, SignalThatEndsTheProcessLeavesNoTemporaryFile) {
  for (bool handler : {false, true}) {
    SCOPED_TRACE(handler ? "handler" : "default action");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (handler) {
        std::signal(SIGTERM, [](int sig) {
          std::signal(sig, SIG_DFL);
          std::raise(sig);
        });
      }
      RunWriter w(file().string(), {});
      std::raise(SIGTERM);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_TRUE(fs::is_empty(dir_));
  }
}

// A file system that fills: one error, no HDF5 error stack on standard
// error from any thread, nothing left, and the process ends normally (the
// library's clean-up at exit once closed a half-closed file again).
TEST_F(H5runTest, FullDiskIsOneErrorAndLeavesNothing) {
  fs::create_directory(dir_ / "disk");
  if (mount("tmpfs", (dir_ / "disk").c_str(), "tmpfs", 0, "size=96k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
  }
  for (int size : {1, 64, 4096}) {
    SCOPED_TRACE(size);
    std::fflush(stderr);
    int saved = dup(2);
    FILE* capture = std::tmpfile();
    dup2(fileno(capture), 2);
    std::string error;
    {
      RunWriter w((dir_ / "disk/run.h5").string(),
                  {.codec = h5run::Codec::kNone, .memory_bound = 16 << 10});
      int ch = w.add_channel({.column = "A", .kind = h5run::Kind::kSpectrum});
      std::vector<double> v(static_cast<size_t>(size), 1.5);
      try {
        for (int e = 0; e < 20000; ++e) {
          w.begin_event(event(static_cast<uint64_t>(e)));
          w.set_member(ch, 0, v.data(), v.size());
          w.end_event();
        }
        w.commit();
      } catch (const h5run::Error& e) {
        error = e.what();
      }
    }
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::rewind(capture);
    std::string printed;
    for (int c; (c = std::fgetc(capture)) != EOF;) printed += static_cast<char>(c);
    std::fclose(capture);
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(fs::is_empty(dir_ / "disk"));
  }
  umount((dir_ / "disk").c_str());
}

// Random runs through the writer under a tiny memory bound (a flush every
// few events, on the second thread), every value read back through the C
// API: rows that widen after flushes, channels that come late and skip
// events, 0x0 frames, empty and failed members, colliding pair names, and
// pixels that widen from 8 to 16 bits.
// Staged rows leave the stage a block (a chunk of every staged dataset) at a
// time. Runs that end one before, at and one after the first and second
// block's end read back exactly with every codec under a small bound,
// beside a channel and a pair name that appear within a block, a member
// that widens, and columns of their own (strings, the member) that are
// written at other times.
TEST_F(H5runTest, StagedBlocksReadBackAcrossTheirEdges) {
  const size_t bound = 24 << 10;
  auto write = [&](h5run::Codec codec, int events, int expected = 0) {
    RunWriter w(file().string(), {.codec = codec, .memory_bound = bound});
    if (expected > 0) w.expect_events(static_cast<uint64_t>(expected));
    int s = w.add_channel({.column = "S", .kind = h5run::Kind::kScalar, .status = true});
    int p = w.add_channel({.column = "P", .kind = h5run::Kind::kPairs});
    int sp = w.add_channel({.column = "SP", .kind = h5run::Kind::kSpectrum});
    int late = -1;
    for (int e = 0; e < events; ++e) {
      h5run::EventColumns ev = event(static_cast<uint64_t>(e) + 7);
      ev.type_name = e % 2 == 0 ? "beam" : "pedestal";
      w.begin_event(ev);
      if (e == events / 2 + 1) late = w.add_channel({.column = "L", .kind = h5run::Kind::kScalar});
      w.set_scalar(s, e * 0.5);
      w.set_status(s, static_cast<uint32_t>(e), 1);
      w.add_pair(p, "a", e);
      if (e > events / 3) w.add_pair(p, "c", 2.0 * e);
      std::vector<double> member(static_cast<size_t>(1 + e / 40), e);
      w.set_member(sp, 0, member.data(), member.size());
      if (late >= 0 && e % 3 != 0) w.set_scalar(late, e + 0.25);
      w.end_event();
    }
    w.commit();
  };
  // The stage's block under this bound, from the chunks of a longer run.
  write(h5run::Codec::kNone, 3000);
  hsize_t block = chunks(file(), "run/EventId").at(0);
  ASSERT_GT(block, 8u);
  ASSERT_LT(block, 1024u);
  EXPECT_EQ(chunks(file(), "run/S/Value"), std::vector<hsize_t>{block});
  std::vector<h5run::Codec> codecs{h5run::Codec::kNone, h5run::Codec::kGzip};
  if (h5run::codec_available(h5run::Codec::kLz4)) codecs.push_back(h5run::Codec::kLz4);
  const auto b = static_cast<int>(block);
  // A count that the run keeps to stays staged whole; one too low stages a block past it.
  std::vector<std::pair<int, int>> runs;
  for (int events : {b - 1, b, b + 1, 2 * b - 1, 2 * b, 2 * b + 1}) runs.emplace_back(events, 0);
  for (int events : {b / 2, b + 1, 2 * b + 1}) runs.emplace_back(events, events);
  runs.emplace_back(2 * b + 1, b / 2);
  runs.emplace_back(2 * b + 1, 3 * b / 2);  // staged whole past a block's share of the bound
  for (h5run::Codec codec : codecs) {
    for (auto [events, expected] : runs) {
      SCOPED_TRACE(::testing::Message()
                   << "codec " << static_cast<int>(codec) << ", " << events << " events ("
                   << expected << " expected), blocks of " << b);
      fs::remove(file());
      write(codec, events, expected);
      std::vector<hsize_t> dims;
      const auto n = static_cast<size_t>(events);
      std::vector<double> ids(n), half(n), a(n), c(n), length(n), late(n);
      const double nan = std::nan("");
      for (int e = 0; e < events; ++e) {
        auto k = static_cast<size_t>(e);
        ids[k] = e + 7;
        half[k] = e * 0.5;
        a[k] = e;
        c[k] = e > events / 3 ? 2.0 * e : nan;
        length[k] = e > events / 3 ? 2 : 1;
        late[k] = e > events / 2 && e % 3 != 0 ? e + 0.25 : nan;
      }
      auto same = [](const std::vector<double>& got, const std::vector<double>& want) {
        if (got.size() != want.size()) return false;
        for (size_t k = 0; k < got.size(); ++k) {
          if (!(got[k] == want[k] || (std::isnan(got[k]) && std::isnan(want[k])))) return false;
        }
        return true;
      };
      EXPECT_TRUE(same(read(file(), "run/EventId", &dims), ids));
      if (events > expected && events > b) {
        EXPECT_EQ(chunks(file(), "run/S/Value"), std::vector<hsize_t>{block});
      }
      EXPECT_TRUE(same(read(file(), "run/S/Value", &dims), half));
      EXPECT_TRUE(same(read(file(), "run/S/SrvBlockStatus", &dims), a));
      EXPECT_TRUE(same(read(file(), "run/P/a", &dims), a));
      EXPECT_TRUE(same(read(file(), "run/P/c", &dims), c));
      EXPECT_TRUE(same(read(file(), "run/P/Length", &dims), length));
      EXPECT_TRUE(same(read(file(), "run/L/Value", &dims), late));
      auto missing = read(file(), "run/L/Missing", &dims);
      ASSERT_EQ(missing.size(), n);
      for (int e = 0; e < events; ++e) {
        double want = e <= events / 2 ? 2 : e % 3 != 0 ? 0 : 2;
        ASSERT_EQ(missing[static_cast<size_t>(e)], want) << "event " << e;
      }
      auto member = read(file(), "run/SP/Member0", &dims);
      ASSERT_EQ(dims.at(0), n);
      size_t width = dims.at(1);
      EXPECT_EQ(width, static_cast<size_t>(1 + (events - 1) / 40));
      for (size_t e = 0; e < n; ++e) {
        for (size_t k = 0; k < width; ++k) {
          double v = member[e * width + k];
          if (k < 1 + e / 40 ? v != static_cast<double>(e) : !std::isnan(v)) {
            FAIL() << "Member0[" << e << "][" << k << "] = " << v;
          }
        }
      }
      EXPECT_EQ(string_attribute(file(), "run", "producer").size(), 1u);
    }
  }
}

TEST_F(H5runTest, RandomRunsReadBackExactly) {
  const std::vector<std::string> pool{"x", "Length", "Length#pair", "Missing", "",
                                      ".", "a/b",    "%2E",         "y"};
  for (unsigned seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const int events = 150 + pick(100);
    const double nan = std::nan("");
    struct Frame {
      size_t w = 0, h = 0;
      bool wide = false;
      std::vector<uint16_t> px;
    };
    struct Member {
      int length = -1;  // -2 failed
      std::vector<float> values;
      std::map<int, float> stats;
    };
    struct Cell {
      int missing = 2;
      float scalar = NAN;
      int32_t integer = 0;
      std::vector<std::pair<std::string, float>> pairs;
      std::vector<Member> members;
      Frame frame;
    };
    const h5run::Kind kinds[] = {h5run::Kind::kScalar, h5run::Kind::kScalarInt, h5run::Kind::kPairs,
                                 h5run::Kind::kSpectrum, h5run::Kind::kImage};
    struct Chan {
      h5run::Kind kind;
      int first;  // the event it was added before
      std::vector<Cell> cells;
    };
    std::vector<Chan> chans;
    for (int c = 0; c < 8; ++c) chans.push_back({kinds[c % 5], c < 5 ? 0 : pick(events), {}});
    {
      RunWriter w(file().string(), {.memory_bound = size_t{2048} + 1024 * pick(8)});
      std::vector<int> handle(chans.size(), -1);
      for (int e = 0; e < events; ++e) {
        for (size_t c = 0; c < chans.size(); ++c) {
          if (chans[c].first == e) {
            h5run::ChannelSpec spec{.column = "C" + std::to_string(c), .kind = chans[c].kind};
            spec.values = h5run::ValueType::kFloat32;
            spec.stats = h5run::ValueType::kFloat32;
            handle[c] = w.add_channel(spec);
          }
        }
        w.begin_event(event(static_cast<uint64_t>(e)));
        for (size_t c = 0; c < chans.size(); ++c) {
          Chan& ch = chans[c];
          ch.cells.emplace_back();
          Cell& cell = ch.cells.back();
          if (handle[c] < 0 || pick(5) == 0) continue;  // not in this event
          int h = handle[c];
          cell.missing = 0;
          switch (ch.kind) {
            case h5run::Kind::kScalar:
              cell.scalar = static_cast<float>(pick(1000)) / 8;
              w.set_scalar(h, cell.scalar);
              break;
            case h5run::Kind::kScalarInt:
              cell.integer = pick(100000) - 50000;
              w.set_scalar(h, cell.integer);
              break;
            case h5run::Kind::kPairs: {
              int n = pick(4);
              if (n == 0) {
                cell.missing = 1;
                w.set_missing(h, h5run::Missing::kEmpty);
              }
              for (int k = 0; k < n; ++k) {
                cell.pairs.emplace_back(
                    pool[static_cast<size_t>(pick(static_cast<int>(pool.size())))],
                    static_cast<float>(pick(100)));
                w.add_pair(h, cell.pairs.back().first, cell.pairs.back().second);
              }
              break;
            }
            case h5run::Kind::kSpectrum: {
              // A cell of no members is a value too, as the plug-in marks it.
              w.set_missing(h, h5run::Missing::kValue);
              int n = pick(3);
              cell.members.resize(static_cast<size_t>(n));
              for (int m = 0; m < n; ++m) {
                Member& mb = cell.members[static_cast<size_t>(m)];
                if (pick(6) == 0) {
                  mb.length = -2;
                  w.set_member_failed(h, m);
                  continue;
                }
                // Widths grow over the run, now and then by much.
                int limit = 2 + e / 4 + (pick(20) == 0 ? 200 : 0);
                mb.length = pick(limit);
                for (int k = 0; k < mb.length; ++k) mb.values.push_back(float(e * 1000 + k));
                w.set_member(h, m, mb.values.data(), mb.values.size());
                if (pick(2) == 0) {
                  int bit = pick(32);
                  mb.stats[bit] = float(bit) + 0.5f;
                  w.set_member_stat(h, m, bit, mb.stats[bit]);
                }
              }
              break;
            }
            case h5run::Kind::kImage: {
              Frame& f = cell.frame;
              f.w = static_cast<size_t>(pick(2 + e / 10));
              f.h = static_cast<size_t>(pick(2 + e / 20));
              if (pick(15) == 0) f.w = f.h = 0;
              if (f.w * f.h == 0) cell.missing = 5;  // no pixels: not a black frame
              f.wide = e > events / 2 && pick(3) == 0;
              for (size_t k = 0; k < f.w * f.h; ++k) {
                f.px.push_back(
                    static_cast<uint16_t>(f.wide ? 256 + (e * 31 + k) % 60000 : (e + k) % 256));
              }
              if (f.wide) {
                w.set_image(h, f.px.data(), f.w, f.h);
              } else {
                std::vector<uint8_t> p8(f.px.begin(), f.px.end());
                w.set_image(h, p8.data(), f.w, f.h);
              }
              break;
            }
            default:
              break;
          }
        }
        w.end_event();
      }
      w.commit();
    }
    // Every value against the model.
    for (size_t c = 0; c < chans.size(); ++c) {
      const Chan& ch = chans[c];
      std::string g = "run/C" + std::to_string(c) + "/";
      SCOPED_TRACE(g);
      std::vector<hsize_t> dims;
      std::vector<double> missing = read(file(), (g + "Missing").c_str(), &dims);
      ASSERT_EQ(missing.size(), static_cast<size_t>(events));
      size_t bad = 0;
      auto expect = [&](double got, double want, int e, const std::string& what) {
        bool same = std::isnan(want) ? std::isnan(got) : got == want;
        if (!same && ++bad <= 5) {
          ADD_FAILURE() << what << " event " << e << ": " << got << ", not " << want;
        }
      };
      for (int e = 0; e < events; ++e) expect(missing[e], ch.cells[e].missing, e, "Missing");
      if (ch.kind == h5run::Kind::kScalar || ch.kind == h5run::Kind::kScalarInt) {
        auto v = read(file(), (g + "Value").c_str(), &dims);
        for (int e = 0; e < events; ++e) {
          const Cell& cell = ch.cells[e];
          double integer = cell.missing == 0 ? double(cell.integer) : double(h5run::kIntFill);
          expect(v[e], ch.kind == h5run::Kind::kScalar ? cell.scalar : integer, e, "Value");
        }
      } else if (ch.kind == h5run::Kind::kPairs) {
        auto names = string_attribute(file(), ("run/C" + std::to_string(c)).c_str(), "pair_names");
        auto links =
            string_attribute(file(), ("run/C" + std::to_string(c)).c_str(), "pair_datasets");
        ASSERT_EQ(names.size(), links.size());
        auto length = read(file(), (g + "Length").c_str(), &dims);
        for (size_t k = 0; k < names.size(); ++k) {
          EXPECT_EQ(stored_type(file(), (g + links[k]).c_str()), "f4");
          auto v = read(file(), (g + links[k]).c_str(), &dims);
          ASSERT_EQ(v.size(), static_cast<size_t>(events)) << links[k];
          for (int e = 0; e < events; ++e) {
            double want = nan;
            for (const auto& [n, x] : ch.cells[e].pairs) {
              if (n == names[k]) want = x;  // the last of a repeated name
            }
            expect(v[e], want, e, names[k]);
          }
        }
        for (int e = 0; e < events; ++e) {
          expect(length[e], double(ch.cells[e].pairs.size()), e, "Length");
        }
      } else if (ch.kind == h5run::Kind::kSpectrum) {
        size_t members = 0;
        for (const Cell& cell : ch.cells) members = std::max(members, cell.members.size());
        for (size_t m = 0; m < members; ++m) {
          std::string name = g + "Member" + std::to_string(m);
          auto length = read(file(), (name + "Length").c_str(), &dims);
          auto values = read(file(), name.c_str(), &dims);
          ASSERT_EQ(dims.size(), 2u);
          size_t width = dims[1];
          auto stats = read(file(), (name + "Stats").c_str(), &dims);
          EXPECT_EQ(stored_type(file(), (name + "Stats").c_str()), "f4");
          size_t widest = 0;
          for (int e = 0; e < events; ++e) {
            const Cell& cell = ch.cells[e];
            const Member* mb = m < cell.members.size() ? &cell.members[m] : nullptr;
            expect(length[e], mb != nullptr ? mb->length : -1, e, "Length");
            if (mb != nullptr) widest = std::max(widest, mb->values.size());
            for (size_t k = 0; k < width; ++k) {
              double want = mb != nullptr && k < mb->values.size() ? mb->values[k] : nan;
              expect(values[e * width + k], want, e, name);
            }
            for (int bit = 0; bit < 32; ++bit) {
              double want = nan;
              if (mb != nullptr && mb->stats.count(bit)) want = mb->stats.at(bit);
              expect(stats[e * 32 + bit], want, e, name + "Stats");
            }
          }
          EXPECT_EQ(width, widest);
        }
      } else if (ch.kind == h5run::Kind::kImage) {
        size_t mw = 0, mh = 0;
        bool wide = false;
        for (const Cell& cell : ch.cells) {
          mw = std::max(mw, cell.frame.w);
          mh = std::max(mh, cell.frame.h);
          wide = wide || cell.frame.wide;
        }
        EXPECT_EQ(stored_type(file(), (g + "Pixels").c_str()), wide ? "u2" : "u1");
        auto px = read(file(), (g + "Pixels").c_str(), &dims);
        ASSERT_EQ(dims, (std::vector<hsize_t>{hsize_t(events), mh, mw}));
        auto width = read(file(), (g + "Width").c_str(), &dims);
        auto height = read(file(), (g + "Height").c_str(), &dims);
        for (int e = 0; e < events; ++e) {
          const Frame& f = ch.cells[e].frame;
          expect(width[e], double(f.w), e, "Width");
          expect(height[e], double(f.h), e, "Height");
          for (size_t y = 0; y < mh; ++y) {
            for (size_t x = 0; x < mw; ++x) {
              double want = x < f.w && y < f.h ? f.px[y * f.w + x] : 0;
              expect(px[(e * mh + y) * mw + x], want, e, "Pixels");
            }
          }
        }
      }
      EXPECT_EQ(bad, 0u);
    }
  }
}

}  // namespace

// The writer holds its memory bound by one count of the bytes all row
// buffers hold: every way a row enters a buffer (a value, a gap of fill rows
// behind it, a string) adds to it, and setting the rows aside takes exactly
// that column's bytes off again.
TEST_F(H5runTest, ColumnsKeepOneCountOfTheirBufferedBytes) {
  hid_t f = H5Fcreate(file().c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  ASSERT_GE(f, 0);
  {
    h5run::ColumnShared shared;
    const double nan = std::nan("");
    const int32_t minus = -1;
    const char* blank = "";
    h5run::Column value(f, "Value", H5T_NATIVE_DOUBLE, {}, &nan, 0, {}, shared);
    h5run::Column wide(f, "Wide", H5T_NATIVE_INT32, {3}, &minus, 0, {}, shared);
    h5run::Datatype text = h5run::utf8_string_type();
    h5run::Column names(f, "Name", text.get(), {}, &blank, 0, {}, shared);
    auto sum = [&] {
      return value.buffered_bytes() + wide.buffered_bytes() + names.buffered_bytes();
    };
    *static_cast<double*>(value.row(0)) = 1.5;
    static_cast<int32_t*>(wide.row(2))[1] = 7;  // rows 0 and 1 stay the file's fill
    names.set_string(0, "first");
    EXPECT_EQ(shared.buffered, sum());
    *static_cast<double*>(value.row(4)) = 2.5;  // three fill rows buffered behind row 0
    EXPECT_EQ(value.buffered_bytes(), 5 * sizeof(double));
    static_cast<int32_t*>(wide.whole_row(5))[0] = 1;
    names.set_string(3, "fourth");  // two fill strings before it
    EXPECT_EQ(shared.buffered, sum());
    value.take();
    EXPECT_EQ(shared.buffered, wide.buffered_bytes() + names.buffered_bytes());
    wide.flush();
    names.flush();
    EXPECT_EQ(shared.buffered, 0u);
    value.write_taken();
    value.finish(6);
    wide.finish(6);
    names.finish(6);
    EXPECT_EQ(shared.buffered, 0u);
  }
  H5Fclose(f);
  std::vector<hsize_t> dims;
  auto v = read(file(), "Value", &dims);
  ASSERT_EQ(dims, (std::vector<hsize_t>{6}));
  EXPECT_EQ(v[0], 1.5);
  EXPECT_TRUE(std::isnan(v[1]) && std::isnan(v[3]) && std::isnan(v[5]));
  EXPECT_EQ(v[4], 2.5);
  auto w = read(file(), "Wide", &dims);
  ASSERT_EQ(dims, (std::vector<hsize_t>{6, 3}));
  EXPECT_EQ(w[0], -1);
  EXPECT_EQ(w[7], 7);
  EXPECT_EQ(w[6], -1);
  EXPECT_EQ(w[15], 1);
}
