// The run file's writer on its own: the streaming cases the converter does
// not reach (growing frames, channels and pair names that appear late, the
// memory bound over many datasets), codecs, and what is left on failure.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "run_writer.h"
#include "scratch_dir.h"

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

}  // namespace
