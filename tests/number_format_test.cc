// Number text must equal, byte for byte, what glibc's printf prints.
#include "number_format.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

namespace daq::fmt {
namespace {

std::string c_format(const char* format, double v) {
  char text[512];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

float from_bits(uint32_t bits) {
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// Each routine appends to a row that already holds text.
template <typename T>
std::string formatted(void (*put)(std::string&, T), T v) {
  std::string row = "x";
  put(row, v);
  return row.substr(1);
}

class NumberFormat : public testing::Test {
 protected:
  // glibc rounds decimal text in the current mode; the rows are written in
  // the default one.
  void SetUp() override {
    ASSERT_EQ(std::fesetround(FE_TONEAREST), 0);
    ASSERT_EQ(std::fegetround(), FE_TONEAREST);
  }

  static void expect_floats_match(const std::vector<double>& values) {
    struct Form {
      const char* format;
      void (*put)(std::string&, double);
    };
    const Form forms[] = {{"%.e", put_e0}, {"%.2e", put_e2}, {"%e", put_e}, {"%f", put_f}};
    int failures = 0;
    for (double v : values) {
      for (const Form& f : forms) {
        std::string want = c_format(f.format, v);
        std::string got = formatted(f.put, v);
        if (got != want && ++failures <= 10) {
          ADD_FAILURE() << f.format << " of " << c_format("%a", v) << ": " << got << " != " << want;
        }
      }
    }
    EXPECT_EQ(failures, 0);
  }
};

TEST_F(NumberFormat, IntegersMatchPrintf) {
  std::vector<int64_t> values;
  for (int64_t v = -32768; v < 65536; ++v) values.push_back(v);
  for (int64_t p = 1; p < INT64_MAX / 10; p *= 10) {
    for (int64_t v : {p - 1, p, p + 1, p * 10 - 1}) values.insert(values.end(), {v, -v});
  }
  values.insert(values.end(), {INT32_MIN, INT32_MAX, INT64_MIN, INT64_MAX, UINT32_MAX});
  for (int64_t v : values) {
    char want[64];
    if (v >= INT32_MIN && v <= INT32_MAX) {
      std::snprintf(want, sizeof want, "%d", static_cast<int32_t>(v));
      ASSERT_EQ(formatted(put_d, static_cast<int32_t>(v)), want);
    }
    std::snprintf(want, sizeof want, "%ld", static_cast<long>(v));
    ASSERT_EQ(formatted(put_ld, v), want);
    std::snprintf(want, sizeof want, "%lu", static_cast<unsigned long>(v));
    ASSERT_EQ(formatted(put_lu, static_cast<uint64_t>(v)), want);
    std::snprintf(want, sizeof want, "0x%X", static_cast<uint32_t>(v));
    ASSERT_EQ(formatted(put_hex, static_cast<uint32_t>(v)), want);
  }
}

TEST_F(NumberFormat, PixelRowsMatchPrintf) {
  std::vector<unsigned char> u8(256);
  std::vector<uint16_t> u16(65536);
  for (size_t i = 0; i < u8.size(); ++i) u8[i] = static_cast<unsigned char>(i);
  for (size_t i = 0; i < u16.size(); ++i) u16[i] = static_cast<uint16_t>(i);
  for (char sep : {'\t', ' '}) {
    for (bool sep_after_last : {false, true}) {
      std::string want8 = "x", want16 = "x", got8 = "x", got16 = "x";
      for (size_t i = 0; i < u16.size(); ++i) {
        std::string text = std::to_string(i) + sep;
        if (i < u8.size()) want8 += text;
        want16 += text;
      }
      if (!sep_after_last) {
        want8.pop_back();
        want16.pop_back();
      }
      put_pixels_u8(got8, u8.data(), u8.size(), sep, sep_after_last);
      put_pixels_u16(got16, u16.data(), u16.size(), sep, sep_after_last);
      EXPECT_EQ(got8, want8);
      EXPECT_EQ(got16, want16);
      put_pixels_u8(got8, u8.data(), 0, sep, sep_after_last);
      put_pixels_u16(got16, u16.data(), 0, sep, sep_after_last);
      EXPECT_EQ(got8, want8);
      EXPECT_EQ(got16, want16);
    }
  }
}

TEST_F(NumberFormat, EdgeFloatsMatchPrintf) {
  std::vector<double> values = {
      0.0,     -0.0,     INFINITY, -INFINITY, NAN,          -NAN,    from_bits(0x7F800001),
      FLT_MAX, -FLT_MAX, FLT_MIN,  -FLT_MIN,  FLT_TRUE_MIN, 9.5,     0.95,
      99.5,    0.25,     0.75,     2.5,       12.5,         0.00042, 1.5e-7,
      1e15,    1e16,     DBL_MAX,  -DBL_MIN,  4.9e-324,     1e-320,  123456789.0};
  // Around every one-digit rounding boundary (d + 1/2) * 10^x, every power
  // of ten and every float binade: the neighbouring floats on both sides.
  auto add_around = [&values](float f) {
    for (int k = 0; k < 3; ++k) f = std::nextafter(f, 0.0f);
    for (int k = 0; k < 7; ++k, f = std::nextafter(f, INFINITY)) {
      values.insert(values.end(), {f, -f});
    }
  };
  for (int x = -46; x <= 39; ++x) {
    add_around(static_cast<float>(std::pow(10.0, x)));
    for (int d = 1; d <= 9; ++d) add_around(static_cast<float>((d + 0.5) * std::pow(10.0, x)));
  }
  for (int b = -149; b <= 127; ++b) add_around(std::ldexp(1.0f, b));
  // Ties of the 3- and 7-digit formats.
  for (double v = 1.005; v < 10; v += 0.01) values.push_back(static_cast<float>(v));
  for (int k = 1; k < 1000; k += 2) values.push_back(k / 1024.0);
  expect_floats_match(values);
}

TEST_F(NumberFormat, RandomFloatsMatchPrintf) {
  std::mt19937 rng(20240611);
  std::vector<double> values;
  // Every bit pattern is equally likely, so every binade gets its share.
  for (int i = 0; i < 150000; ++i) values.push_back(from_bits(static_cast<uint32_t>(rng())));
  // Typical detector readings, and doubles that are not floats.
  std::uniform_real_distribution<double> reading(-2000.0, 2000.0);
  for (int i = 0; i < 100000; ++i) values.push_back(static_cast<float>(reading(rng)));
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = (uint64_t{rng()} << 32) | rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    values.push_back(v);
    values.push_back(reading(rng));
  }
  expect_floats_match(values);
}

TEST_F(NumberFormat, SpectrumListMatchesPrintf) {
  std::mt19937 rng(7);
  std::vector<float> values = {0.0f, -0.0f, 9.5f, -INFINITY, NAN, FLT_TRUE_MIN};
  for (int i = 0; i < 1000; ++i) values.push_back(from_bits(static_cast<uint32_t>(rng())));
  std::string want = "x", got = "x";
  for (size_t i = 0; i < values.size(); ++i) want += (i ? " " : "") + c_format("%.e", values[i]);
  put_e0_list(got, values.data(), values.size(), ' ');
  put_e0_list(got, values.data(), 0, ' ');
  EXPECT_EQ(got, want);
}

TEST_F(NumberFormat, FloatBitsAreNotConverted) {
  EXPECT_EQ(float_bits(1.0f), 1065353216);
  EXPECT_EQ(float_bits(-0.0f), INT32_MIN);
  EXPECT_EQ(float_bits(INFINITY), 2139095040);
}

}  // namespace
}  // namespace daq::fmt
