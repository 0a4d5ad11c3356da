// Cells of camera channels (pixel text, image files, frame headers) and of
// structured-data channels.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace daq::test {
namespace {

using Cells = std::vector<std::string>;

// A run of one channel "CAM/A" of `type` (sub-channel `sub`) with one event
// per entry of `events`, each the channel's own keys; event k has the ID
// 5000000000 + k, the macro-pulse number 100 + k / 2 (pairs of events share
// one) and the time 1796704724 s + 517300 us.
std::string camera_run(const Cells& events, int type = 4, int sub = -1, int generation = 2024) {
  std::string sel = sub < 0 ? "CAM/A" : "CAM/A:" + std::to_string(sub);
  std::string j = "{\"generation\": " + std::to_string(generation) +
                  ", \"channels\": [{\"name\": \"CAM/A\", \"sub\": " + std::to_string(sub) +
                  "}], \"events\": [";
  for (size_t k = 0; k < events.size(); ++k) {
    std::string id = std::to_string((generation == 2024 ? 5000000000 : 7000) + k);
    j += std::string(k != 0 ? "," : "") + "{\"id\": " + id +
         ", \"type\": 1, \"sec\": 1796704724, \"usec\": 517300, \"channels\": {\"" + sel +
         "\": {\"type\": " + std::to_string(type) +
         ", \"block\": {\"mpulse\": " + std::to_string(100 + k / 2) + "}, " + events[k] + "}}}";
  }
  return j + "]}";
}

std::string image(int bpp, const std::string& hex, int nx, int ny, const std::string& more = "") {
  return "\"image\": {\"bpp\": " + std::to_string(bpp) + ", \"data\": \"" + hex +
         "\", \"nx\": " + std::to_string(nx) + ", \"ny\": " + std::to_string(ny) + more + "}";
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class CellImageTest : public PluginTest {
 protected:
  Cells cells(const std::string& json, std::initializer_list<std::string> words = {}) {
    reset_run_state();
    result_ = run(json, words);
    return cells_of(result_.table);
  }
  RunResult result_;
};

TEST_F(CellImageTest, PixelTextForEveryBpp) {
  Cells events = {
      image(1, "010203c8", 2, 2),                     // 200 is not negative
      image(2, "0102ffff", 2, 1),                     // swapped words
      image(2, "0102030405", 2, 1, ", \"size\": 5"),  // odd length: last byte left out
      image(1, "", 0, 0),                             // empty image
      image(3, "010203", 1, 1),                       // colour: empty cell
      image(4, "01020304", 1, 1),                     // empty cell
      image(7, "01", 1, 1),                           // invalid bpp: empty cell, message
      image(1, "00112233445566778899aabbccddeeff", 4, 4, ", \"size\": 12"),  // size mismatch
      "\"header\": {\"status\": 0}",                                         // no image
  };
  EXPECT_EQ(cells(camera_run(events)), (Cells{"[1\t2\t3\t200\t]", "[258\t65535\t]", "[258\t772\t]",
                                              "[]", "", "", "", "Invalid Image\t", "No Image\t"}));
  EXPECT_EQ(result_.out.find("Invalid bpp:7 for CAM/A\n") != std::string::npos, true)
      << result_.out;
  EXPECT_EQ(
      cells(camera_run(events), {"-hdf5"}),
      (Cells{"[[1 2 3 200]]", "[[258 65535]]", "[[258 772]]", "[[]]", "", "", "", "[]", "[]"}));
  // Every event is recorded, the ones without a whole image as well.
  EXPECT_EQ(eventids64[0], (std::vector<uint64_t>{100, 101, 102, 103, 104}));
}

// Images of many slices: the row goes out in pieces and must read the same.
TEST_F(CellImageTest, LargeImagesMatchPrintf) {
  const int nx = 300, ny = 250;  // 75 000 pixels
  std::string hex8, hex16, tab8, tab16, h8, h16;
  char text[16];
  for (int k = 0; k < nx * ny; ++k) {
    int v8 = (k * 7) % 256, v16 = (k * 7919) % 65536;
    std::snprintf(text, sizeof text, "%02x", v8);
    hex8 += text;
    std::snprintf(text, sizeof text, "%04x", v16);  // big-endian: swapped into place
    hex16 += text;
    tab8 += std::to_string(v8) + "\t";
    tab16 += std::to_string(v16) + "\t";
    h8 += (k ? " " : "") + std::to_string(v8);
    h16 += (k ? " " : "") + std::to_string(v16);
  }
  Cells events = {image(1, hex8, nx, ny), image(2, hex16, nx, ny)};
  EXPECT_EQ(cells(camera_run(events)), (Cells{"[" + tab8 + "]", "[" + tab16 + "]"}));
  EXPECT_EQ(cells(camera_run(events), {"-hdf5"}), (Cells{"[[" + h8 + "]]", "[[" + h16 + "]]"}));
}

TEST_F(CellImageTest, ImageFilesGetUnswappedBytes) {
  setenv("TZ", "UTC", 1);
  tzset();
  Cells events = {
      image(2, "0102", 1, 1),
      image(1, "00112233445566778899aabbccddeeff", 4, 4, ", \"size\": 12"),
      image(3, "0a0b0c", 1, 1),
      image(1, "41", 1, 1),
  };
  EXPECT_EQ(cells(camera_run(events), {"-imdump"})[0], "[258\t]");
  std::string stem = ".//CAM_A_500000000";
  std::string date = "_Tue_Dec__8_04:38:44_2026_517";
  EXPECT_EQ(read_file(stem + "0" + date + ".raw"), "1 1 2\n\x01\x02");
  EXPECT_FALSE(file_exists(stem + "1" + date + ".pgm"));  // not a whole image
  EXPECT_EQ(read_file(stem + "2" + date + ".ppm"), "P6\n1 1\n255\n\x0a\x0b\x0c");
  EXPECT_EQ(read_file(stem + "3" + date + ".pgm"), "P5\n1 1\n255\nA");
  EXPECT_EQ(result_.out.find("Failed to dump"), std::string::npos);

  // -imbin alone stores nothing; with -imdump one .bin file collects all.
  cells(camera_run({image(1, "41", 1, 1)}), {"-imbin"});
  EXPECT_FALSE(file_exists(".//CAM_A.bin"));
  cells(camera_run({image(1, "41", 1, 1), image(2, "0102", 1, 1)}), {"-imbin", "-imdump"});
  EXPECT_EQ(read_file(".//CAM_A.bin"),
            "705032704 1796704724 517300\n1 1 1\nA705032705 1796704724 517300\n1 1 2\n\x01\x02");

  // A refused store is reported for every image; the cells stay.
  std::string dir = "missing";
  EXPECT_EQ(cells(camera_run({image(1, "41", 1, 1), image(1, "42", 1, 1)}), {"-imdump", dir}),
            (Cells{"[65\t]", "[66\t]"}));
  EXPECT_EQ(count(result_.out, "Failed to dump image CAM/A to file\n"), 2u);
  // Width and height that ask for more bytes than the image holds.
  EXPECT_EQ(cells(camera_run({image(1, "4142", 2, 2, ", \"size\": 2")}), {"-imdump"}),
            Cells{"[65\t66\t]"});
  EXPECT_NE(result_.out.find("Failed to dump image CAM/A to file\n"), std::string::npos);
  unsetenv("TZ");
  tzset();
}

TEST_F(CellImageTest, FrameHeaderCapture) {
  std::string head =
      ", \"frame_head\": [2, 1, 2, 1, 0, 0, 1, 8, 1, 1, 0, 0, 7, 9, 1.5, 2.5, 0, "
      "0, 0, 0, 0, 0, 0, 0, 2]";
  std::string last =
      ", \"frame_head\": [2, 1, 2, 1, 0, 0, 1, 8, 1, 1, 0, 0, 8, 10, 1.5, 2.5, 0, "
      "0, 0, 0, 0, 0, 0, 0, 2]";
  Cells events = {image(1, "0102", 2, 1, head), image(1, "0102", 2, 1, last),
                  image(1, "01", 2, 1, ", \"size\": 2" + last)};
  struct Case {
    int sub;
    int num;
  } cases[] = {{3, 3}, {-1, 1}, {0, 1}};
  for (const Case& c : cases) {
    cells(camera_run(events, 4, c.sub), {"-xdump"});
    ASSERT_NE(spectprms, nullptr);
    ASSERT_EQ(spectprms[0].num, c.num) << c.sub;
    ASSERT_NE(spectprms[0].iparams, nullptr);
    // The last whole image's header is first; the others stay zero.
    EXPECT_EQ(spectprms[0].iparams[0].frame, 8u);
    EXPECT_EQ(spectprms[0].iparams[0].event, 10u);
    EXPECT_EQ(spectprms[0].iparams[0].scale_y, 2.5f);
    for (int k = 1; k < c.num; ++k) EXPECT_EQ(spectprms[0].iparams[k].width, 0);
  }
  // A channel that turns into a spectrum of more members keeps a frame header
  // for every entry the description writer reads.
  std::string spectrum =
      R"("type": 3, "members": [{"values": [1]}, {"values": [2]}, {"values": [3]}])";
  std::string mixed = camera_run({image(1, "0102", 2, 1, last), "\"nmemb\": 3"});
  mixed.replace(mixed.rfind("\"type\": 4"), std::string("\"type\": 4, ").size(), "");
  mixed.replace(mixed.rfind("\"nmemb\": 3"), std::string("\"nmemb\": 3").size(), spectrum);
  cells(mixed, {"-xdump"});
  ASSERT_EQ(spectprms[0].num, 3);
  EXPECT_EQ(spectprms[0].iparams[0].frame, 8u);
  EXPECT_EQ(spectprms[0].iparams[2].frame, 0u);
  EXPECT_NE(read_file("user_descr.xml").find("<image_frame index=\"2\""), std::string::npos);
  // Without -xdump nothing is kept.
  cells(camera_run(events, 4, 3));
  EXPECT_EQ(spectprms == nullptr || spectprms[0].iparams == nullptr, true);
}

TEST_F(CellImageTest, StructuredDataCells) {
  Cells events = {"\"convertible\": true", "\"convertible\": false", "\"convertible\": false"};
  for (int generation : {2010, 2024}) {
    const char* failed = generation == 2024 ? "!!!Failed to extract data of type EqData (2024)!!!\n"
                                            : "!!!Failed to extract data of type EqData!!!\n";
    EXPECT_EQ(cells(camera_run(events, 5, -1, generation)), (Cells{"", "", ""}));
    EXPECT_EQ(count(result_.out, failed), 2u);
    if (generation == 2024) {
      EXPECT_EQ(eventids64[0], (std::vector<uint64_t>{100, 101}));
    } else {
      EXPECT_EQ(eventids[0], (std::vector<int32_t>{100, 101}));
    }
    EXPECT_EQ(cells(camera_run(events, 5, -1, generation), {"-hdf5"}), (Cells{"", "", ""}));
  }
  // Without dumping, no conversion is tried and no event is recorded.
  cells(camera_run(events, 5), {"-nodump"});
  EXPECT_EQ(result_.out.find("!!!"), std::string::npos);
  EXPECT_TRUE(eventids64[0].empty());
}

}  // namespace
}  // namespace daq::test
