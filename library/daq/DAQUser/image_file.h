// Camera images stored as files: PGM, PPM, raw, or one appending .bin file
// per channel, each store guarded by a free-disk-space check.
#ifndef DAQUSER_IMAGE_FILE_H_
#define DAQUSER_IMAGE_FILE_H_

#include <sys/statvfs.h>

#include <cstdint>

#include "daq_user.h"

// 1 when less than `lim` percent of the blocks of the file system holding
// "./" are free, 0 when at least that much is free, -1 when `lim` lies
// outside 0 to 95 or the file system cannot be examined.
DAQ_EXPORT int camera_small_space(float lim);

// The raw form: a "width height lbpx" line, then the pixel bytes.  Appends
// when imbin is set.  0, or -2 when the file cannot be opened or written.
DAQ_EXPORT int write_raw_file(char* file_name, int width, int height, int lbpx,
                              unsigned char* data);

// Stores one image under imdir.  0 when stored (or when nothing is to be
// written for `lbpx`), -2 for a file error or a name too long, -5 when the
// free-space check refuses.
DAQ_EXPORT int write_image_to_file(int width, int height, int lbpx, unsigned char* data,
                                   time_stamp* tm, uint64_t event_id, char* channel);

namespace daq {

// Where camera_small_space gets the file-system statistics; tests replace it.
using StatvfsFunction = int (*)(const char* path, struct statvfs64* st);
void set_statvfs_function(StatvfsFunction f);  // null restores statvfs64

}  // namespace daq

#endif  // DAQUSER_IMAGE_FILE_H_
