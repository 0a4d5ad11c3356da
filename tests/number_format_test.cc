// Number text must equal what the C formats print.
#include "number_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>

namespace daq::fmt {
namespace {

std::string c_format(const char* format, double v) {
  char text[512];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

TEST(NumberFormat, ExponentFormsMatchPrintf) {
  const double values[] = {12.5,    0.00042, 0.0,     -0.0,        9.5,  2.5,  1.0, -3e-05,
                           FLT_MAX, FLT_MIN, 1.4e-45, 123456789.0, -1.5, 0.95, 99.5};
  for (double v : values) {
    std::string e0, e2, e, f;
    put_e0(e0, v);
    put_e2(e2, v);
    put_e(e, v);
    put_f(f, v);
    EXPECT_EQ(e0, c_format("%.e", v)) << v;
    EXPECT_EQ(e2, c_format("%.2e", v)) << v;
    EXPECT_EQ(e, c_format("%e", v)) << v;
    EXPECT_EQ(f, c_format("%f", v)) << v;
  }
}

TEST(NumberFormat, ExponentEdgeTexts) {
  std::string s;
  put_e0(s, 12.5f);
  EXPECT_EQ(s, "1e+01");
  s.clear();
  put_e0(s, 0.00042f);
  EXPECT_EQ(s, "4e-04");
  s.clear();
  put_e0(s, 0.0f);
  EXPECT_EQ(s, "0e+00");
}

TEST(NumberFormat, IntegersAndHex) {
  std::string s;
  put_d(s, INT32_MIN);
  s += ' ';
  put_lu(s, UINT64_MAX);
  s += ' ';
  put_hex(s, 0xDEADBEEFu);
  s += ' ';
  put_hex(s, 0);
  EXPECT_EQ(s, "-2147483648 18446744073709551615 0xDEADBEEF 0x0");
}

TEST(NumberFormat, FloatBitsAreNotConverted) {
  EXPECT_EQ(float_bits(1.0f), 1065353216);
  EXPECT_EQ(float_bits(-0.0f), INT32_MIN);
  EXPECT_EQ(float_bits(INFINITY), 2139095040);
}

}  // namespace
}  // namespace daq::fmt
