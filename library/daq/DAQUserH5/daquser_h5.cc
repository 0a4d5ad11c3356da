// The C functions of libDAQUserH5.so over h5run::RunWriter: exceptions stay
// on this side of the library boundary, and the first failure stops the
// writer.
#include "daquser_h5.h"

#include <hdf5.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "attribute_text.h"
#include "run_writer.h"

struct daquser_h5 {
  std::unique_ptr<h5run::RunWriter> writer;
  std::string error;
};

namespace {

bool parse_codec(const char* name, h5run::Codec* codec) {
  if (name == nullptr || std::strcmp(name, "gzip") == 0) {
    *codec = h5run::Codec::kGzip;
  } else if (std::strcmp(name, "none") == 0) {
    *codec = h5run::Codec::kNone;
  } else if (std::strcmp(name, "bslz4") == 0) {
    *codec = h5run::Codec::kBslz4;
  } else if (std::strcmp(name, "lz4") == 0) {
    *codec = h5run::Codec::kLz4;
  } else {
    return false;
  }
  return true;
}

void copy_error(const std::string& text, char* out, size_t size) {
  if (out != nullptr && size > 0) std::snprintf(out, size, "%s", text.c_str());
}

// Runs `f` on a writer that has not failed; the first exception ends it.
template <typename F>
int guarded(daquser_h5* h, F&& f) {
  if (h == nullptr || !h->writer) return -1;
  try {
    f(*h->writer);
    return 0;
  } catch (const std::exception& e) {
    h->error = e.what();
  } catch (...) {
    h->error = "unknown failure";
  }
  h->writer->abandon();
  h->writer.reset();
  return -1;
}

int codec_available(const char* name) {
  h5run::Codec codec;
  return parse_codec(name, &codec) && h5run::codec_available(codec) ? 1 : 0;
}

daquser_h5* open(const char* path, const char* codec_name, char* error, size_t error_size) {
  h5run::Options options;
  options.producer = "libDAQUser -h5";
  // Runs of thousands of channels write tens of thousands of datasets at
  // every flush: fewer, larger flushes, still a fixed bound on memory.
  options.memory_bound = size_t{64} << 20;
  options.event_status = true;
  options.event_type = true;
  if (!parse_codec(codec_name, &options.codec)) {
    copy_error(std::string("unknown codec ") + codec_name, error, error_size);
    return nullptr;
  }
  try {
    auto h = std::make_unique<daquser_h5>();
    h->writer = std::make_unique<h5run::RunWriter>(path != nullptr ? path : "", options);
    return h.release();
  } catch (const std::exception& e) {
    copy_error(e.what(), error, error_size);
  }
  return nullptr;
}

const char* error(const daquser_h5* h) { return h != nullptr ? h->error.c_str() : ""; }

int run_string(daquser_h5* h, const char* name, const char* value) {
  return guarded(
      h, [&](h5run::RunWriter& w) { w.set_attribute(name, value != nullptr ? value : ""); });
}

int run_int(daquser_h5* h, const char* name, int64_t value) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_attribute(name, value); });
}

int run_flag(daquser_h5* h, const char* name, uint8_t value) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_attribute(name, value); });
}

int add_channel(daquser_h5* h, const char* column, int kind, int value_type,
                const uint64_t* cut_rows, size_t cut_count) {
  int ch = -1;
  int rc = guarded(h, [&](h5run::RunWriter& w) {
    h5run::ChannelSpec spec;
    if (cut_rows != nullptr) spec.cut_short_rows.assign(cut_rows, cut_rows + cut_count);
    spec.stats = h5run::ValueType::kFloat32;
    spec.column = column != nullptr ? column : "";
    spec.kind_source = "host";
    spec.status = true;
    spec.macro_pulse = true;
    spec.converted = true;
    spec.values =
        value_type == DAQUSER_H5_INT32 ? h5run::ValueType::kInt32 : h5run::ValueType::kFloat32;
    switch (kind) {
      case DAQUSER_H5_MARK:
        spec.kind = h5run::Kind::kMark;
        break;
      case DAQUSER_H5_SCALAR:
        spec.kind = value_type == DAQUSER_H5_INT32 ? h5run::Kind::kScalarInt : h5run::Kind::kScalar;
        break;
      case DAQUSER_H5_PAIRS:
        spec.kind = h5run::Kind::kPairs;
        break;
      case DAQUSER_H5_SPECTRUM:
        spec.kind = h5run::Kind::kSpectrum;
        break;
      case DAQUSER_H5_IMAGE:
        spec.kind = h5run::Kind::kImage;
        break;
      case DAQUSER_H5_STRUCTURED:
        spec.kind = h5run::Kind::kStructured;
        break;
      default:
        spec.kind = h5run::Kind::kEmpty;
        break;
    }
    ch = w.add_channel(spec);
  });
  return rc == 0 ? ch : -1;
}

int channel_string(daquser_h5* h, int ch, const char* name, const char* value) {
  return guarded(h, [&](h5run::RunWriter& w) {
    // Numbers as numbers, as the converter reads them from the description.
    std::string_view n = name != nullptr ? name : "";
    std::string_view text = value != nullptr ? value : "";
    std::visit([&](auto v) { w.set_description_attribute(ch, n, v); },
               h5run::typed_attribute(text));
  });
}

int dataset_int(daquser_h5* h, int ch, const char* dataset, const char* name, int64_t value) {
  return guarded(h,
                 [&](h5run::RunWriter& w) { w.set_dataset_attribute(ch, dataset, name, value); });
}

int dataset_real(daquser_h5* h, int ch, const char* dataset, const char* name, double value) {
  return guarded(h,
                 [&](h5run::RunWriter& w) { w.set_dataset_attribute(ch, dataset, name, value); });
}

int begin_event(daquser_h5* h, uint64_t id, uint32_t sec, uint32_t usec, const char* iso,
                uint32_t status, int32_t type, const char* type_name) {
  return guarded(h, [&](h5run::RunWriter& w) {
    w.begin_event({.id = id,
                   .sec = sec,
                   .usec = usec,
                   .iso = iso != nullptr ? iso : "",
                   .status = status,
                   .type = type,
                   .type_name = std::string_view(type_name != nullptr ? type_name : "")});
  });
}

int missing(daquser_h5* h, int ch, int code) {
  return guarded(
      h, [&](h5run::RunWriter& w) { w.set_missing(ch, static_cast<h5run::Missing>(code)); });
}

int status(daquser_h5* h, int ch, uint32_t srv_block, uint32_t chan, uint64_t macro_pulse) {
  return guarded(h, [&](h5run::RunWriter& w) {
    w.set_status(ch, srv_block, chan);
    w.set_macro_pulse(ch, macro_pulse);
  });
}

int scalar_f32(daquser_h5* h, int ch, float value) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_scalar(ch, value); });
}

int scalar_i32(daquser_h5* h, int ch, int32_t value) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_scalar(ch, value); });
}

int pair(daquser_h5* h, int ch, const char* name, double value) {
  return guarded(h,
                 [&](h5run::RunWriter& w) { w.add_pair(ch, name != nullptr ? name : "", value); });
}

int member_f32(daquser_h5* h, int ch, int m, const float* values, size_t count) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_member(ch, m, values, count); });
}

int member_i32(daquser_h5* h, int ch, int m, const int32_t* values, size_t count) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_member(ch, m, values, count); });
}

int member_failed(daquser_h5* h, int ch, int m) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_member_failed(ch, m); });
}

int member_stat(daquser_h5* h, int ch, int m, int bit, double value) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_member_stat(ch, m, bit, value); });
}

int image_u8(daquser_h5* h, int ch, const uint8_t* pixels, size_t width, size_t height) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_image(ch, pixels, width, height); });
}

int image_u16(daquser_h5* h, int ch, const void* pixels, size_t width, size_t height) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_image_words(ch, pixels, width, height); });
}

int converted(daquser_h5* h, int ch, int ok) {
  return guarded(h, [&](h5run::RunWriter& w) { w.set_converted(ch, ok != 0); });
}

int end_event(daquser_h5* h) {
  return guarded(h, [&](h5run::RunWriter& w) { w.end_event(); });
}

// The converter's per-channel summary, from the codes of Missing: as in the
// table, a camera's cell without a frame (not found, no image, invalid) is
// "no image".
void write_cell_summaries(h5run::RunWriter& w) {
  using h5run::Missing;
  for (size_t i = 0; i < w.channels(); ++i) {
    int ch = static_cast<int>(i);
    std::array<uint64_t, 9> n = w.missing_counts(ch);
    auto count = [&](Missing code) { return n[static_cast<size_t>(code)]; };
    uint64_t no_frame =
        count(Missing::kNotFound) + count(Missing::kNoImage) + count(Missing::kInvalidImage);
    bool camera = w.kind(ch) == h5run::Kind::kImage;
    w.set_channel_attribute(ch, "cells_present", count(Missing::kValue));
    w.set_channel_attribute(ch, "cells_empty", count(Missing::kEmpty));
    w.set_channel_attribute(ch, "cells_not_found", camera ? 0 : count(Missing::kNotFound));
    w.set_channel_attribute(ch, "cells_no_image", camera ? no_frame : 0);
    w.set_channel_attribute(ch, "cells_cut_short", count(Missing::kCutShort));
    w.set_channel_attribute(ch, "cells_other_kind", count(Missing::kOtherKind));
    w.set_channel_attribute(ch, "cells_size_differs", count(Missing::kSizeDiffers));
    w.set_channel_attribute(ch, "cells_not_converted", count(Missing::kNotConverted));
  }
}

int commit(daquser_h5* h, char* error, size_t error_size) {
  int rc = guarded(h, [&](h5run::RunWriter& w) {
    write_cell_summaries(w);
    w.commit();
  });
  if (rc != 0 && h != nullptr) copy_error(h->error, error, error_size);
  delete h;
  return rc;
}

int expect_events(daquser_h5* h, uint64_t events) {
  return guarded(h, [&](h5run::RunWriter& w) { w.expect_events(events); });
}

void abandon(daquser_h5* h) {
  if (h != nullptr && h->writer) h->writer->abandon();
  delete h;
}

const daquser_h5_api_t kApi = {
    .version = DAQUSER_H5_API_VERSION,
    .codec_available = codec_available,
    .open = open,
    .error = error,
    .run_string = run_string,
    .run_int = run_int,
    .run_flag = run_flag,
    .add_channel = add_channel,
    .channel_string = channel_string,
    .dataset_int = dataset_int,
    .dataset_real = dataset_real,
    .begin_event = begin_event,
    .missing = missing,
    .status = status,
    .scalar_f32 = scalar_f32,
    .scalar_i32 = scalar_i32,
    .pair = pair,
    .member_f32 = member_f32,
    .member_i32 = member_i32,
    .member_failed = member_failed,
    .member_stat = member_stat,
    .image_u8 = image_u8,
    .image_u16 = image_u16,
    .converted = converted,
    .end_event = end_event,
    .expect_events = expect_events,
    .commit = commit,
    .abandon = abandon,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const daquser_h5_api_t* daquser_h5_api(void) {
  // After a full disk, HDF5 1.10 may fail to close a file whose metadata
  // flush failed, and its own clean-up at exit then closes it again and
  // crashes the host.  Files here are always closed by the writer, so the
  // library's exit clean-up is not needed; it is turned off before the
  // library's first use.
  static const bool no_cleanup_at_exit = (H5dont_atexit(), true);
  (void)no_cleanup_at_exit;
  return &kApi;
}
