// The image file writer: names, the PGM, PPM, raw and .bin forms byte for
// byte, the free-space guard and the refusals.
#include "image_file.h"

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "test_support.h"

namespace daq::test {
namespace {

namespace fs = std::filesystem;

// Free and total blocks the file-system statistics report; -1: failure.
long long fake_free = 50, fake_total = 100;
int fake_statvfs(const char*, struct statvfs64* st) {
  if (fake_total < 0) {
    errno = EIO;
    return -1;
  }
  *st = {};
  st->f_bfree = static_cast<fsblkcnt64_t>(fake_free);
  st->f_bavail = 0;  // what ordinary users get is not what counts
  st->f_blocks = static_cast<fsblkcnt64_t>(fake_total);
  return 0;
}

// Tuesday 8 December 2026, 04:38:44 UTC.
constexpr uint32_t kTuesday = 1796704724;

class ImageFileTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    old_tz_ = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "";
    setenv("TZ", "UTC", 1);
    tzset();
    fake_free = 50;
    fake_total = 100;
    set_statvfs_function(fake_statvfs);
  }
  void TearDown() override {
    set_statvfs_function(nullptr);
    setenv("TZ", old_tz_.c_str(), 1);
    tzset();
    PluginTest::TearDown();
  }

  // Stores `bytes` as an image; returns the result and keeps standard error.
  int store(int w, int h, int lbpx, std::string bytes, uint64_t id = 77,
            std::string channel = "CAM/A", uint32_t usec = 517300) {
    time_stamp tm{kTuesday, usec};
    ::testing::internal::CaptureStderr();
    int rc = write_image_to_file(w, h, lbpx, reinterpret_cast<unsigned char*>(bytes.data()), &tm,
                                 id, channel.data());
    err_ = ::testing::internal::GetCapturedStderr();
    return rc;
  }

  // Names of the files in `d`, sorted, separated by blanks.
  static std::string files_in(const std::string& d) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(d)) names.insert(e.path().filename().string());
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "" : " ") + n;
    return s;
  }

  std::string err_;
  std::string old_tz_;
};

TEST_F(ImageFileTest, SingleImageForms) {
  std::string stem = ".//CAM_A_77_Tue_Dec__8_04:38:44_2026_517";
  ASSERT_EQ(store(3, 2, 1, "abcdef"), 0);
  EXPECT_EQ(read_file(stem + ".pgm"), "P5\n3 2\n255\nabcdef");
  EXPECT_EQ(read_file(stem + ".pgm").size(), 17u);
  ASSERT_EQ(store(1, 2, 3, "rgbRGB"), 0);
  EXPECT_EQ(read_file(stem + ".ppm"), "P6\n1 2\n255\nrgbRGB");
  ASSERT_EQ(store(2, 1, 2, std::string("\x01\x02\x03\x04", 4)), 0);
  EXPECT_EQ(read_file(stem + ".raw"), std::string("2 1 2\n\x01\x02\x03\x04", 10));
  // Same name again: replaced, not appended.
  ASSERT_EQ(store(1, 1, 1, "z"), 0);
  EXPECT_EQ(read_file(stem + ".pgm"), "P5\n1 1\n255\nz");
  // Four bytes a pixel have no single-image form.
  ASSERT_EQ(store(1, 1, 4, "wxyz"), 0);
  EXPECT_EQ(files_in("."),
            "CAM_A_77_Tue_Dec__8_04:38:44_2026_517.pgm "
            "CAM_A_77_Tue_Dec__8_04:38:44_2026_517.ppm "
            "CAM_A_77_Tue_Dec__8_04:38:44_2026_517.raw");
  // Event numbers of 64 bits are written in full; the milliseconds truncate.
  ASSERT_EQ(store(1, 1, 1, "q", (1ull << 32) + 1, "A/B/C", 999), 0);
  EXPECT_TRUE(file_exists(".//A_B_C_4294967297_Tue_Dec__8_04:38:44_2026_0.pgm"));
  EXPECT_EQ(err_, "");
}

TEST_F(ImageFileTest, BinRecordsAppend) {
  imbin = true;
  ASSERT_EQ(store(2, 1, 1, "ab", (1ull << 32) + 1), 0);
  ASSERT_EQ(store(1, 1, 4, "wxyz", 1ull << 31, "CAM/A", 5), 0);
  EXPECT_EQ(read_file(".//CAM_A.bin"),
            "1 1796704724 517300\n2 1 1\nab"
            "-2147483648 1796704724 5\n1 1 4\nwxyz");
}

// A disk that fills up mid-image: writes past the process's file-size limit
// fail with EFBIG, as they would with ENOSPC.  A single-image file that
// failed is gone; a .bin file keeps its whole records and nothing of the
// failed one.
TEST_F(ImageFileTest, FailedStoreLeavesNoPartialFile) {
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 600;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  std::string big(2000, 'p');
  EXPECT_EQ(store(50, 40, 1, big), -2);  // .pgm
  EXPECT_NE(err_.find("libDAQUser: image file .//CAM_A_77_"), std::string::npos) << err_;
  EXPECT_EQ(store(25, 40, 2, big), -2);                     // .raw
  EXPECT_EQ(store(20, 20, 3, std::string(1200, 'c')), -2);  // .ppm
  EXPECT_EQ(files_in("."), "");

  imbin = true;
  ASSERT_EQ(store(2, 1, 1, "ab", 1), 0);
  std::string whole = read_file(".//CAM_A.bin");
  EXPECT_EQ(store(50, 40, 1, big, 2), -2);
  EXPECT_EQ(read_file(".//CAM_A.bin"), whole);
  ASSERT_EQ(store(1, 1, 1, "c", 3), 0);  // later records still follow whole ones
  EXPECT_EQ(read_file(".//CAM_A.bin"), whole + "3 1796704724 517300\n1 1 1\nc");
  // The raw form appends under -imbin and is cut back the same way.
  std::string raw = "direct.raw";
  EXPECT_EQ(write_raw_file(raw.data(), 2, 1, 1, reinterpret_cast<unsigned char*>(big.data())), 0);
  EXPECT_EQ(write_raw_file(raw.data(), 50, 40, 1, reinterpret_cast<unsigned char*>(big.data())),
            -2);
  EXPECT_EQ(read_file(raw), "2 1 1\npp");

  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
  std::signal(SIGXFSZ, old_handler);
}

TEST_F(ImageFileTest, DirectoryWithBlank) {
  std::string d = "my dir";
  imdir = d.data();
  EXPECT_EQ(store(1, 1, 1, "x"), -2);
  EXPECT_EQ(err_.rfind("libDAQUser: image file my_dir/CAM_A_77_Tue_Dec__8_04:38:44_2026_517.pgm "
                       "not written: ",
                       0),
            0u)
      << err_;
  fs::create_directory("my_dir");
  EXPECT_EQ(store(1, 1, 1, "x"), 0);
  EXPECT_EQ(files_in("my_dir"), "CAM_A_77_Tue_Dec__8_04:38:44_2026_517.pgm");
}

TEST_F(ImageFileTest, Refusals) {
  // A directory that is a plain file fails for root as well.
  std::string d = "plain";
  std::fclose(std::fopen("plain", "w"));
  imdir = d.data();
  EXPECT_EQ(store(1, 1, 1, "x"), -2);
  EXPECT_NE(err_.find("libDAQUser: image file plain/CAM_A_77_"), std::string::npos);
  EXPECT_NE(err_.find(": Not a directory\n"), std::string::npos);
  reset_run_state();

  // A full disk is a failure, not a stored image.
  std::string full = "/dev/full";
  std::string pixels(4096, 'p');
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(write_raw_file(full.data(), 64, 64, 1, reinterpret_cast<unsigned char*>(pixels.data())),
            -2);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "libDAQUser: image file /dev/full not written: No space left on device\n");
  EXPECT_TRUE(fs::is_character_file("/dev/full"));  // a device is never removed

  // Names that do not fit 255 bytes are refused whole.
  std::string long_name(256, 'N');
  EXPECT_EQ(store(1, 1, 1, "x", 1, long_name), -2);
  EXPECT_EQ(err_,
            "libDAQUser: image file " + long_name + " not written: name of 256 bytes or more\n");
  std::string fits(230, 'N');  // fits alone, not with the rest of the path
  EXPECT_EQ(store(1, 1, 1, "x", 1, fits), -2);
  EXPECT_NE(err_.find("libDAQUser: image file .//" + fits + "_1_Tue"), std::string::npos);
  EXPECT_EQ(files_in("."), "plain");
}

TEST_F(ImageFileTest, FreeSpaceGuard) {
  struct Case {
    long long free, total;
    float lim;
    int small;
  } cases[] = {
      {10, 100, 10, 0},     // exactly the limit is enough
      {999, 10000, 10, 1},  // 9.99 percent
      {0, 0, 10, 1},        // nothing known: not a number, never enough
      {95, 100, 95, 0},     // 95 is examined
      {50, 100, 95.5f, -1}, {50, 100, -0.1f, -1},
  };
  for (const Case& c : cases) {
    fake_free = c.free;
    fake_total = c.total;
    EXPECT_EQ(camera_small_space(c.lim), c.small) << c.free << "/" << c.total << " " << c.lim;
  }
  fake_free = 9;
  EXPECT_EQ(store(1, 1, 1, "x"), -5);
  fake_total = -1;
  StdoutCapture out;
  out.start();
  EXPECT_EQ(store(1, 1, 1, "x"), -5);
  EXPECT_EQ(out.text(), "small_space() failed statvfs() for ./");
  EXPECT_EQ(err_,
            "statvfs64: Input/output error\nlibDAQUser: image file .//CAM/A not written: the free "
            "space of ./ cannot be examined\n");
  EXPECT_EQ(files_in("."), "");
}

}  // namespace
}  // namespace daq::test
