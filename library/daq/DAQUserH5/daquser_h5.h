/* The plug-in's HDF5 output, as a library of its own: libDAQUserH5.so, which
   the plug-in loads with dlopen only when a run asks for an HDF5 file, so
   that the plug-in itself needs nothing but the C++ and C libraries.

   One entry point, daquser_h5_api(), hands out a table of C functions over
   the run file writer (docs/hdf5-layout.md).  Every function that can fail
   returns 0, or -1 after which daquser_h5_error() says why and every later
   call of that writer is a no-op returning -1. */
#ifndef DAQUSERH5_DAQUSER_H5_H_
#define DAQUSERH5_DAQUSER_H5_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DAQUSER_H5_API_VERSION 4
#define DAQUSER_H5_LIBRARY "libDAQUserH5.so"
#define DAQUSER_H5_ENTRY "daquser_h5_api"

typedef struct daquser_h5 daquser_h5;

/* Channel kinds and value types, as the layout names them. */
enum {
  DAQUSER_H5_MARK = 1,
  DAQUSER_H5_SCALAR = 2,
  DAQUSER_H5_PAIRS = 3,
  DAQUSER_H5_SPECTRUM = 4,
  DAQUSER_H5_IMAGE = 5,
  DAQUSER_H5_STRUCTURED = 6,
  DAQUSER_H5_EMPTY = 7
};
enum { DAQUSER_H5_FLOAT32 = 0, DAQUSER_H5_INT32 = 1 };

typedef struct daquser_h5_api_t {
  int version;
  /* 1 when the codec ("gzip", "none", "bslz4", "lz4") can be had, 0 when not. */
  int (*codec_available)(const char* codec);
  /* Opens a temporary file beside `path`; null with `error` filled when it
     cannot be made. */
  daquser_h5* (*open)(const char* path, const char* codec, char* error, size_t error_size);
  const char* (*error)(const daquser_h5* h);
  int (*run_string)(daquser_h5* h, const char* name, const char* value);
  int (*run_int)(daquser_h5* h, const char* name, int64_t value);
  int (*run_flag)(daquser_h5* h, const char* name, uint8_t value);
  /* A channel group; returns its handle (>= 0) or -1.  `cut_rows` lists the
     earlier rows (ascending) whose cells were cut short by a failed read. */
  int (*add_channel)(daquser_h5* h, const char* column, int kind, int value_type,
                     const uint64_t* cut_rows, size_t cut_count);
  /* An attribute of the channel's description, stored as an integer or a
     number when the whole text reads as one (a name the layout uses gets
     "description_" before it). */
  int (*channel_string)(daquser_h5* h, int ch, const char* name, const char* value);
  /* Attributes of a dataset of the channel ("Member0", "Pixels"), written
     when the file is committed. */
  int (*dataset_int)(daquser_h5* h, int ch, const char* dataset, const char* name, int64_t value);
  int (*dataset_real)(daquser_h5* h, int ch, const char* dataset, const char* name, double value);
  int (*begin_event)(daquser_h5* h, uint64_t id, uint32_t sec, uint32_t usec, const char* iso,
                     uint32_t status, int32_t type, const char* type_name);
  int (*missing)(daquser_h5* h, int ch, int code);
  int (*status)(daquser_h5* h, int ch, uint32_t srv_block, uint32_t chan, uint64_t macro_pulse);
  int (*scalar_f32)(daquser_h5* h, int ch, float value);
  int (*scalar_i32)(daquser_h5* h, int ch, int32_t value);
  int (*pair)(daquser_h5* h, int ch, const char* name, double value);
  int (*member_f32)(daquser_h5* h, int ch, int m, const float* values, size_t count);
  int (*member_i32)(daquser_h5* h, int ch, int m, const int32_t* values, size_t count);
  int (*member_failed)(daquser_h5* h, int ch, int m);
  int (*member_stat)(daquser_h5* h, int ch, int m, int bit, double value);
  int (*image_u8)(daquser_h5* h, int ch, const uint8_t* pixels, size_t width, size_t height);
  /* 16-bit pixels in the machine's order, at any address. */
  int (*image_u16)(daquser_h5* h, int ch, const void* pixels, size_t width, size_t height);
  int (*converted)(daquser_h5* h, int ch, int ok);
  int (*end_event)(daquser_h5* h);
  /* How many events the run is expected to have (the host's count); 0 when
     not known.  A hint for the chunk shape of per-event datasets. */
  int (*expect_events)(daquser_h5* h, uint64_t events);
  /* Writes the rest and renames the file; the writer is freed either way. */
  int (*commit)(daquser_h5* h, char* error, size_t error_size);
  /* Removes the temporary file and frees the writer. */
  void (*abandon)(daquser_h5* h);
} daquser_h5_api_t;

const daquser_h5_api_t* daquser_h5_api(void);

#ifdef __cplusplus
}
#endif

#endif /* DAQUSERH5_DAQUSER_H5_H_ */
