// Number text for the table file.  Each function appends exactly what the
// C format named beside it prints.
#ifndef DAQUSER_NUMBER_FORMAT_H_
#define DAQUSER_NUMBER_FORMAT_H_

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

// A float's four bytes read as a signed 32-bit integer, without conversion.
inline int32_t float_bits(float v) {
  int32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

}  // namespace daq::fmt

#endif  // DAQUSER_NUMBER_FORMAT_H_
