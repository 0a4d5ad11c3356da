// The run file's codecs: which the HDF5 library can apply, the filters of a
// dataset, and the writer's own deflate of whole chunks at gzip level 1.
#ifndef DAQ_H5RUN_CODEC_H_
#define DAQ_H5RUN_CODEC_H_

#include <hdf5.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace h5run {

enum class Codec { kGzip, kNone, kBslz4, kLz4 };

// Whether the HDF5 library can apply the codec (bslz4 and lz4 are
// dynamically loaded filter plugins).
bool codec_available(Codec codec);

struct Compression {
  Codec codec = Codec::kGzip;
  int gzip_level = 1;
  // At gzip level 1, whole chunks compressed here (ISA-L, or zlib's
  // run-length matching) and written as they are: on noisy camera pixels
  // much faster than HDF5's filter, and smaller.
  bool own_chunks = false;
};

// The filters of a dataset of `element`-byte elements (strings: `is_string`)
// on the creation list `dcpl`. Throws Error naming `name`.
void set_filters(hid_t dcpl, const Compression& compression, size_t element, bool is_string,
                 const std::string& name);

// Byte k of every element, then byte k + 1: what HDF5's shuffle filter
// stores.
void shuffle_bytes(const unsigned char* in, size_t bytes, size_t element, unsigned char* out);

// One chunk as a zlib stream, what HDF5's deflate filter reads back. With
// ISA-L its level 1 (about twice zlib's speed at the same size on camera
// frames), else zlib's level 1 with run-length matching.
class ChunkDeflater {
 public:
  ChunkDeflater();
  ~ChunkDeflater();
  ChunkDeflater(const ChunkDeflater&) = delete;
  ChunkDeflater& operator=(const ChunkDeflater&) = delete;

  // The stream of `in`, valid until the next call; `name` names the
  // dataset in an error.
  std::pair<const unsigned char*, size_t> compress(const unsigned char* in, size_t bytes,
                                                   const std::string& name);

 private:
  std::vector<unsigned char> out_;
  z_stream z_{};
  bool zlib_ready_ = false;
  std::vector<uint8_t> level_buf_;  // ISA-L's, when the writer has it
};

}  // namespace h5run

#endif  // DAQ_H5RUN_CODEC_H_
