#include "codec.h"

#ifdef DAQ_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include "h5_handle.h"

namespace h5run {

namespace {

constexpr H5Z_filter_t kBitshuffle = 32008;
constexpr H5Z_filter_t kLz4 = 32004;  // Debian's hdf5-filter-plugin

}  // namespace

bool codec_available(Codec codec) {
  switch (codec) {
    case Codec::kNone:
      return true;
    case Codec::kGzip:
      return H5Zfilter_avail(H5Z_FILTER_DEFLATE) > 0;
    case Codec::kBslz4:
      // Loads the plugin when it is installed.
      return H5Zfilter_avail(kBitshuffle) > 0;
    case Codec::kLz4:
      return H5Zfilter_avail(kLz4) > 0;
  }
  return false;
}

void set_filters(hid_t dcpl, const Compression& compression, size_t element, bool is_string,
                 const std::string& name) {
  if (is_string) {
    if (compression.codec == Codec::kGzip) {
      H5Pset_deflate(dcpl, static_cast<unsigned>(compression.gzip_level));
    }
    // Optional, as H5Pset_deflate makes gzip: the library refuses a
    // mandatory filter on variable-length strings.
    if (compression.codec == Codec::kLz4) H5Pset_filter(dcpl, kLz4, H5Z_FLAG_OPTIONAL, 0, nullptr);
  } else if (compression.codec == Codec::kGzip) {
    if (element > 1) H5Pset_shuffle(dcpl);
    check_status(H5Pset_deflate(dcpl, static_cast<unsigned>(compression.gzip_level)),
                 "set gzip on " + name);
  } else if (compression.codec == Codec::kLz4) {
    // Shuffled bytes, then LZ4 with the filter's own block size: readers
    // decompress it several times faster than gzip.
    if (element > 1) H5Pset_shuffle(dcpl);
    check_status(H5Pset_filter(dcpl, kLz4, H5Z_FLAG_MANDATORY, 0, nullptr),
                 "set the LZ4 filter on " + name);
  } else if (compression.codec == Codec::kBslz4) {
    // Block size chosen by the filter, LZ4 compression; the first three
    // values are the filter's own.
    const unsigned values[] = {0, 0, 0, 0, 2};
    check_status(H5Pset_filter(dcpl, kBitshuffle, H5Z_FLAG_MANDATORY, 5, values),
                 "set the bitshuffle filter on " + name);
  }
}

// Two-byte pixels get a loop the compiler vectorises.
void shuffle_bytes(const unsigned char* in, size_t bytes, size_t element, unsigned char* out) {
  size_t elements = bytes / element;
  if (element == 2) {
    unsigned char* lo = out;
    unsigned char* hi = out + elements;
    for (size_t e = 0; e < elements; ++e) {
      lo[e] = in[2 * e];
      hi[e] = in[2 * e + 1];
    }
    return;
  }
  for (size_t b = 0; b < element; ++b) {
    unsigned char* o = out + b * elements;
    for (size_t e = 0; e < elements; ++e) o[e] = in[e * element + b];
  }
}

ChunkDeflater::ChunkDeflater() {
#ifdef DAQ_HAVE_ISAL
  level_buf_.resize(ISAL_DEF_LVL1_DEFAULT);
#endif
}

ChunkDeflater::~ChunkDeflater() {
  if (zlib_ready_) deflateEnd(&z_);
}

std::pair<const unsigned char*, size_t> ChunkDeflater::compress(const unsigned char* in,
                                                                size_t bytes,
                                                                const std::string& name) {
  size_t room = compressBound(static_cast<uLong>(bytes)) + 64;
  if (out_.size() < room) out_.resize(room);
#ifdef DAQ_HAVE_ISAL
  isal_zstream s;
  isal_deflate_stateless_init(&s);
  s.level = 1;
  s.level_buf = level_buf_.data();
  s.level_buf_size = static_cast<uint32_t>(level_buf_.size());
  s.gzip_flag = IGZIP_ZLIB;
  s.end_of_stream = 1;
  s.flush = NO_FLUSH;
  s.next_in = const_cast<unsigned char*>(in);
  s.avail_in = static_cast<uint32_t>(bytes);
  s.next_out = out_.data();
  s.avail_out = static_cast<uint32_t>(out_.size());
  // When it finds no room (it never should with this much), zlib, which always can.
  if (isal_deflate_stateless(&s) == COMP_OK) return {out_.data(), s.total_out};
#endif
  if (!zlib_ready_) {
    if (deflateInit2(&z_, 1, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) {
      throw Error("cannot set up zlib for " + name);
    }
    zlib_ready_ = true;
  }
  deflateReset(&z_);
  z_.next_in = const_cast<unsigned char*>(in);
  z_.avail_in = static_cast<uInt>(bytes);
  z_.next_out = out_.data();
  z_.avail_out = static_cast<uInt>(out_.size());
  if (deflate(&z_, Z_FINISH) != Z_STREAM_END) throw Error("cannot compress rows of " + name);
  return {out_.data(), z_.total_out};
}

}  // namespace h5run
