// Cells of camera channels: the pixel values as text, the image file and
// the frame header kept for the XML description.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cells.h"
#include "image_file.h"
#include "number_format.h"
#include "output_status.h"
#include "table_file.h"

namespace daq {

namespace {

struct Image {
  int nframe = 0, compr = 0, bpp = 0, leni = 0;
  int xstart = 0, xinc = 0, nx = 0, ystart = 0, yinc = 0, ny = 0;
  unsigned char* data = nullptr;
};

// Event number and time of the event, read again for the image file.
uint64_t read_event_time(vexa_daq_getdata* data, time_stamp& tm) {
  int status = 0;
  if (data->data_2024) {
    uint64_t num64 = 0;
    data->GetEventInfo_2024(&num64, nullptr, nullptr, &tm.timeup, &tm.timelow, &status, nullptr);
    return num64;
  }
  unsigned int num = 0;
  data->GetEventInfo(&num, nullptr, nullptr, &tm.timeup, &tm.timelow, &status, nullptr);
  return num;
}

void put_no_image(std::string& row, const char* text) {
  if (hdf5mode) {
    row += "[]";
  } else {
    row += text;
    row += '\t';
  }
}

void dump_image_file(const ChannelTurn& turn, const Image& im, time_stamp& tm, uint64_t num) {
  char* name = chans[turn.index];
  // The file writer reads width x height x bpp bytes: never more than the
  // host delivered.  Width x height fits in 64 bits; times bpp it may not.
  int64_t needed = 0;
  bool overflow = __builtin_mul_overflow(static_cast<int64_t>(im.nx) * im.ny, im.bpp, &needed);
  bool fits =
      !overflow && im.nx >= 0 && im.ny >= 0 && needed <= im.leni && (needed == 0 || im.data);
  if (!fits || write_image_to_file(im.nx, im.ny, im.bpp, im.data, &tm, num, name) != 0) {
    std::printf("Failed to dump image %s to file\n", name);
    note_output_failure();
  }
}

// Keeps the last frame header of the channel in its parameter entry; the
// block holds one header per sub-channel, the first one filled.
void capture_frame_header(const ChannelTurn& turn) {
  if (spectprms == nullptr) return;
  dim_params& e = spectprms[turn.index];
  // A block that large is not allocated: treated as a failed allocation.
  if (e.num > kMaxMembers) return;
  if (e.num < 1) {
    std::free(e.iparams);
    e.iparams = nullptr;
    e.num = 1;
  }
  if (e.iparams == nullptr) {
    e.iparams = static_cast<vexa_image_ext_frame_head*>(
        std::calloc(static_cast<size_t>(e.num), sizeof(vexa_image_ext_frame_head)));
  }
  const vexa_image_ext_frame_head* head = turn.data->GetImageHeader();
  if (e.iparams != nullptr && head != nullptr) std::memcpy(e.iparams, head, sizeof *head);
}

// Writes the pixels as text; true when it swapped the bytes of 16-bit
// pixels in place.
bool put_pixel_text(const ChannelTurn& turn, Image& im) {
  std::string& row = turn.row;
  if (im.bpp == 3 || im.bpp == 4) return false;
  if (im.bpp != 1 && im.bpp != 2) {
    std::printf("Invalid bpp:%d for %s\n", im.bpp, chans[turn.index]);
    return false;
  }
  if (im.leni > kMaxImageTextBytes) {
    std::printf("Image %s: %d bytes, too large for the table\n", chans[turn.index], im.leni);
    return false;
  }
  bool swapped = false;
  row += hdf5mode ? "[[" : "[";
  if (im.leni > 0) {
    // Tab mode ends every value with a tab; HDF5 mode separates them.
    const char sep = hdf5mode ? ' ' : '\t';
    size_t pnts = im.bpp == 1 ? im.leni : im.leni / 2;
    if (im.bpp == 2) {
      vexa_swap2(reinterpret_cast<short*>(im.data), reinterpret_cast<short*>(im.data),
                 static_cast<int>(pnts));
      swapped = true;
    }
    // A slice of the image at a time, each written out once the row is long.
    constexpr size_t kSlice = 1 << 15;
    for (size_t done = 0; done < pnts; done += kSlice) {
      size_t n = std::min(kSlice, pnts - done);
      bool last = done + n == pnts;
      if (im.bpp == 1) {
        fmt::put_pixels_u8(row, im.data + done, n, sep, !last || !hdf5mode);
      } else {
        fmt::put_pixels_u16(row, im.data + 2 * done, n, sep, !last || !hdf5mode);
      }
      spill_row(row);
    }
  }
  row += hdf5mode ? "]]" : "]";
  return swapped;
}

}  // namespace

void write_image_cell(ChannelTurn& turn) {
  record_event_id(turn);
  vexa_daq_getdata* data = turn.data;
  time_stamp tm{};
  uint64_t num = read_event_time(data, tm);

  Image im;
  const bool text = turn.text;
  if (data->GetImagePar(&im.nframe, &im.compr, &im.bpp, &im.leni) != 0) {
    h5::image_missing(turn.index, h5::kNoImage);
    if (text) put_no_image(turn.row, "No Image");
    return;
  }
  if (data->GetImageSize(&im.xstart, &im.xinc, &im.nx, &im.ystart, &im.yinc, &im.ny) != im.leni) {
    h5::image_missing(turn.index, h5::kInvalidImage);
    if (text) put_no_image(turn.row, "Invalid Image");
    return;
  }
  if (im.leni > 0) {
    im.data = data->GetImage();
    if (im.data == nullptr) {
      h5::image_missing(turn.index, h5::kNoImage);
      if (text) put_no_image(turn.row, "No Image");
      return;
    }
  }
  bool swapped = false;
  if (text) {
    if (imdump) dump_image_file(turn, im, tm, num);
    if (dumpxml) capture_frame_header(turn);
    swapped = put_pixel_text(turn, im);
  }
  if (h5::active()) {
    if (const vexa_image_ext_frame_head* head = data->GetImageHeader()) {
      h5::frame_header(turn.index, *head);
    }
    // The file holds the pixels in the machine's order, as the text does;
    // the image file above got the bytes as recorded.
    if (im.bpp == 2 && !swapped && im.leni > 1) {
      vexa_swap2(reinterpret_cast<short*>(im.data), reinterpret_cast<short*>(im.data), im.leni / 2);
    }
    h5::image(turn.index, im.bpp, im.data, im.nx, im.ny, im.leni);
  }
}

}  // namespace daq
