// Number text for the table file.  Each function appends exactly what the
// C format named beside it prints (glibc, round-to-nearest mode), without
// going through printf: rows hold thousands of numbers each.
#ifndef DAQUSER_NUMBER_FORMAT_H_
#define DAQUSER_NUMBER_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace daq::fmt {

void put_d(std::string& out, int32_t v);     // "%d"
void put_ld(std::string& out, int64_t v);    // "%ld"
void put_lu(std::string& out, uint64_t v);   // "%lu"
void put_hex(std::string& out, uint32_t v);  // "0x%X"
void put_f(std::string& out, double v);      // "%f"
void put_e(std::string& out, double v);      // "%e"
void put_e0(std::string& out, double v);     // "%.e"
void put_e2(std::string& out, double v);     // "%.2e"

// Image pixels: every value as "%d", each followed by `sep` except that the
// last one gets it only when `sep_after_last` is set.
void put_pixels_u8(std::string& out, const unsigned char* p, size_t n, char sep,
                   bool sep_after_last);
// `words` holds n native 16-bit words, at any alignment.
void put_pixels_u16(std::string& out, const void* words, size_t n, char sep, bool sep_after_last);

// Spectrum values: "%.e" of each, separated by single `sep` characters.
void put_e0_list(std::string& out, const float* p, size_t n, char sep);

// A float's four bytes read as a signed 32-bit integer, without conversion.
inline int32_t float_bits(float v) {
  int32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

}  // namespace daq::fmt

#endif  // DAQUSER_NUMBER_FORMAT_H_
