#include "number_format.h"

#include <charconv>
#include <cstdio>

namespace daq::fmt {

namespace {

template <typename Int>
void put_integer(std::string& out, Int v) {
  char text[24];
  auto res = std::to_chars(text, text + sizeof text, v);
  out.append(text, res.ptr);
}

void put_printf(std::string& out, const char* format, double v) {
  // "%f" of the largest double needs 317 characters.
  char text[400];
  int n = std::snprintf(text, sizeof text, format, v);
  if (n > 0) out.append(text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
}

}  // namespace

void put_d(std::string& out, int32_t v) { put_integer(out, v); }
void put_ld(std::string& out, int64_t v) { put_integer(out, v); }
void put_lu(std::string& out, uint64_t v) { put_integer(out, v); }

void put_hex(std::string& out, uint32_t v) {
  char text[16] = {'0', 'x'};
  auto res = std::to_chars(text + 2, text + sizeof text, v, 16);
  for (char* c = text + 2; c != res.ptr; ++c) {
    if (*c >= 'a') *c = static_cast<char>(*c - 'a' + 'A');
  }
  out.append(text, res.ptr);
}

void put_f(std::string& out, double v) { put_printf(out, "%f", v); }
void put_e(std::string& out, double v) { put_printf(out, "%e", v); }
void put_e0(std::string& out, double v) { put_printf(out, "%.e", v); }
void put_e2(std::string& out, double v) { put_printf(out, "%.2e", v); }

}  // namespace daq::fmt
