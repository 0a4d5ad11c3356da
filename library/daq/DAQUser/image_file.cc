#include "image_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "run_report.h"

namespace daq {

namespace {

StatvfsFunction statvfs_function = &statvfs64;

// Room of the fixed name buffers of earlier versions, kept as the limit so
// that names are the same everywhere: 255 bytes and the terminating zero.
constexpr size_t kNameLimit = 256;

bool name_fits(const std::string& name) {
  if (name.size() < kNameLimit) return true;
  report::image_failed(name, 0, "name of 256 bytes or more");
  return false;
}

FILE* open_image_file(const std::string& name, const char* mode) {
  FILE* f = std::fopen(name.c_str(), mode);
  if (f == nullptr) report::image_failed(name, errno != 0 ? errno : EIO);
  return f;
}

// `size_before` of a file made anew: a failed one is removed.
constexpr off_t kNew = -2;

// Closes `f`; a failed write or close (a full disk) is reported and gives
// -2.  An image file is whole or absent: a new file that failed is removed,
// an append that failed is cut back to the size the file had before it
// (kept as it is when that size is unknown, -1).
int finish_file(FILE* f, const std::string& name, bool written, off_t size_before) {
  int err = written && !std::ferror(f) ? 0 : (errno != 0 ? errno : EIO);
  // Only a plain file is removed or cut: never a device such as /dev/full.
  struct stat st;
  bool plain = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
  if (std::fclose(f) != 0 && err == 0) err = errno != 0 ? errno : EIO;
  if (err == 0) return 0;
  report::image_failed(name, err);
  if (!plain) return -2;
  if (size_before == kNew) {
    std::remove(name.c_str());
  } else if (size_before >= 0) {
    (void)truncate(name.c_str(), size_before);
  }
  return -2;
}

bool put_bytes(FILE* f, const unsigned char* data, int64_t count) {
  if (count <= 0) return true;
  return std::fwrite(data, 1, static_cast<size_t>(count), f) == static_cast<size_t>(count);
}

int64_t byte_count(int width, int height, int lbpx) {
  return static_cast<int64_t>(width) * height * lbpx;
}

// A PGM or PPM file: its header line, then the pixel bytes.
int write_netpbm(const std::string& name, const char* magic, int width, int height,
                 const unsigned char* data, int64_t count) {
  errno = 0;
  FILE* f = open_image_file(name, "w");
  if (f == nullptr) return -2;
  bool ok = std::fprintf(f, "%s\n%d %d\n255\n", magic, width, height) > 0;
  ok = ok && put_bytes(f, data, count);
  return finish_file(f, name, ok, kNew);
}

// Appends `head`, then a "width height lbpx" line and the pixel bytes, to
// the file `name`: a record of the .bin form (with the event line as `head`)
// or of the raw form with imbin.  A failed append is cut off again, so the
// file holds whole records only.
int append_record(const std::string& name, const std::string& head, int width, int height, int lbpx,
                  const unsigned char* data) {
  errno = 0;
  FILE* f = open_image_file(name, "a");
  if (f == nullptr) return -2;
  struct stat st;
  off_t size_before = fstat(fileno(f), &st) == 0 ? st.st_size : -1;
  bool ok = head.empty() || std::fputs(head.c_str(), f) >= 0;
  ok = ok && std::fprintf(f, "%d %d %d\n", width, height, lbpx) > 0;
  ok = ok && put_bytes(f, data, byte_count(width, height, lbpx));
  return finish_file(f, name, ok, size_before);
}

void replace_all(std::string& s, char from, char to) {
  for (char& c : s) {
    if (c == from) c = to;
  }
}

}  // namespace

void set_statvfs_function(StatvfsFunction f) { statvfs_function = f != nullptr ? f : &statvfs64; }

}  // namespace daq

int camera_small_space(float lim) {
  if (lim < 0.0f || lim > 95.0f) return -1;
  // The working directory, whatever imdir says: callers rely on it.
  const char* path = "./";
  struct statvfs64 st;
  if (daq::statvfs_function(path, &st) != 0) {
    std::perror("statvfs64");
    std::printf("small_space() failed statvfs() for %s", path);
    return -1;
  }
  float left = static_cast<float>(static_cast<double>(st.f_bfree) /
                                  static_cast<double>(st.f_blocks) * 100.0);
  return left >= lim ? 0 : 1;
}

int write_raw_file(char* file_name, int width, int height, int lbpx, unsigned char* data) {
  std::string name = file_name != nullptr ? file_name : "";
  if (imbin) return daq::append_record(name, "", width, height, lbpx, data);
  errno = 0;
  FILE* f = daq::open_image_file(name, "w");
  if (f == nullptr) return -2;
  bool ok = std::fprintf(f, "%d %d %d\n", width, height, lbpx) > 0;
  ok = ok && daq::put_bytes(f, data, daq::byte_count(width, height, lbpx));
  return daq::finish_file(f, name, ok, daq::kNew);
}

int write_image_to_file(int width, int height, int lbpx, unsigned char* data, time_stamp* tm,
                        uint64_t event_id, char* channel) {
  using namespace daq;
  std::string channel_nosl = channel != nullptr ? channel : "";
  if (int small = camera_small_space(10.0f); small != 0) {
    std::string dir = imdir != nullptr ? imdir : "./";
    report::image_failed(dir + "/" + channel_nosl, 0,
                         small > 0 ? "less than 10 % of the file system holding ./ is free"
                                   : "the free space of ./ cannot be examined");
    return -5;
  }
  if (!name_fits(channel_nosl)) return -2;
  replace_all(channel_nosl, '/', '_');

  uint32_t timeup = tm != nullptr ? tm->timeup : 0;
  uint32_t timelow = tm != nullptr ? tm->timelow : 0;
  std::string name = imdir != nullptr ? imdir : "./";
  name += '/';
  name += channel_nosl;
  if (imbin) {
    name += ".bin";
  } else {
    name += '_';
    name += std::to_string(event_id);
    name += '_';
    time_t t = static_cast<time_t>(timeup);
    const char* date = std::ctime(&t);
    name += date != nullptr ? date : "\n";
    name.pop_back();  // the line end of the date text
  }
  replace_all(name, ' ', '_');

  if (imbin) {
    if (!name_fits(name)) return -2;
    char head[64];
    std::snprintf(head, sizeof head, "%d %d %d\n", static_cast<int32_t>(event_id),
                  static_cast<int32_t>(timeup), static_cast<int32_t>(timelow));
    return append_record(name, head, width, height, lbpx, data);
  }

  name += '_';
  name += std::to_string(static_cast<int32_t>(timelow) / 1000);
  switch (lbpx) {
    case 1:
      name += ".pgm";
      if (!name_fits(name)) return -2;
      return write_netpbm(name, "P5", width, height, data, byte_count(width, height, 1));
    case 2:
      name += ".raw";
      if (!name_fits(name)) return -2;
      return write_raw_file(name.data(), width, height, 2, data);
    case 3:
      name += ".ppm";
      if (!name_fits(name)) return -2;
      return write_netpbm(name, "P6", width, height, data, byte_count(width, height, 3));
    default:
      return 0;
  }
}
