#include "number_format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace daq::fmt {

namespace {

// Text is written straight into the row: grow it by the most a value can
// need, write, then cut it back to what was written.  std::string grows its
// capacity geometrically, so this costs no allocation per value.
inline char* open_tail(std::string& out, size_t most) {
  size_t size = out.size();
  out.resize(size + most);
  return out.data() + size;
}

inline void close_tail(std::string& out, const char* end) {
  out.resize(static_cast<size_t>(end - out.data()));
}

constexpr std::array<char, 200> make_pairs() {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}

constexpr std::array<char, 200> kPairs = make_pairs();

inline char* put_pair(char* p, uint32_t v) {
  std::memcpy(p, &kPairs[2 * v], 2);
  return p + 2;
}

int count_digits(uint64_t v) {
  int n = 1;
  for (;;) {
    if (v < 10) return n;
    if (v < 100) return n + 1;
    if (v < 1000) return n + 2;
    if (v < 10000) return n + 3;
    v /= 10000;
    n += 4;
  }
}

// Decimal digits of `v` at `p`; returns the end.
char* put_decimal(char* p, uint64_t v) {
  int n = count_digits(v);
  char* end = p + n;
  char* q = end;
  while (v >= 100) {
    q -= 2;
    put_pair(q, static_cast<uint32_t>(v % 100));
    v /= 100;
  }
  if (v >= 10) {
    put_pair(q - 2, static_cast<uint32_t>(v));
  } else {
    q[-1] = static_cast<char>('0' + v);
  }
  return end;
}

// Values up to 99999, the image pixel range.
inline char* put_small(char* p, uint32_t v) {
  if (v < 100) {
    if (v < 10) {
      *p = static_cast<char>('0' + v);
      return p + 1;
    }
    return put_pair(p, v);
  }
  if (v < 10000) {
    if (v < 1000) {
      *p++ = static_cast<char>('0' + v / 100);
    } else {
      p = put_pair(p, v / 100);
    }
    return put_pair(p, v % 100);
  }
  *p++ = static_cast<char>('0' + v / 10000);
  v %= 10000;
  p = put_pair(p, v / 100);
  return put_pair(p, v % 100);
}

// Texts of 0 to 9999, left-aligned in four bytes: camera pixels mostly fall
// there, and one table load beats digit-count branches on noisy images.
struct Digits4 {
  char text[4];
  uint8_t size;
};

constexpr std::array<Digits4, 10000> make_digits4() {
  std::array<Digits4, 10000> t{};
  for (int v = 0; v < 10000; ++v) {
    int size = v < 10 ? 1 : v < 100 ? 2 : v < 1000 ? 3 : 4;
    int rest = v;
    for (int k = size - 1; k >= 0; --k, rest /= 10)
      t[v].text[k] = static_cast<char>('0' + rest % 10);
    t[v].size = static_cast<uint8_t>(size);
  }
  return t;
}

constexpr std::array<Digits4, 10000> kDigits4 = make_digits4();

// Pixels formatted per step: the room opened for them stays in the cache
// until it is written.
constexpr size_t kPixelChunk = 4096;

// Writes four bytes; returns the end of the value's text.
inline char* put_pixel(char* p, uint32_t v) {
  if (v >= 10000) return put_small(p, v);
  std::memcpy(p, kDigits4[v].text, 4);
  return p + kDigits4[v].size;
}

template <typename Int>
void put_signed(std::string& out, Int v) {
  char* p = open_tail(out, 24);
  uint64_t magnitude = static_cast<uint64_t>(v);
  if (v < 0) {
    *p++ = '-';
    magnitude = 0 - magnitude;
  }
  close_tail(out, put_decimal(p, magnitude));
}

// ---- "%.e" ----------------------------------------------------------------
//
// A double whose significand fits in 24 bits -- every float -- is m * 2^e
// with 2^23 <= m < 2^24.  Within one such binade the one-digit text only
// changes where m passes a rounding boundary (d + 1/2) * 10^x, and a binade
// (a factor of two) holds at most five of them.  The table keeps, per
// binade, the text at m = 2^23 and the m at which each boundary is passed,
// found with exact integer arithmetic; a value exactly on a boundary rounds
// to the even digit, as glibc does in round-to-nearest mode.

constexpr int kMinBinade = -149 - 23;  // smallest float denormal, normalized
constexpr int kMaxBinade = 127 - 23;   // FLT_MAX's binade
constexpr int kBinades = kMaxBinade - kMinBinade + 1;
constexpr uint32_t kNoBoundary = 1u << 24;

// Unsigned integer wide enough for m * 5^46 * 2^130.
struct Big {
  static constexpr int kWords = 10;
  uint32_t w[kWords] = {};
};

constexpr Big big_times(const Big& a, uint32_t k) {
  Big r;
  uint64_t carry = 0;
  for (int i = 0; i < Big::kWords; ++i) {
    uint64_t t = uint64_t{a.w[i]} * k + carry;
    r.w[i] = static_cast<uint32_t>(t);
    carry = t >> 32;
  }
  return r;
}

constexpr Big big_shifted(const Big& a, int bits) {
  Big r;
  int words = bits / 32, rest = bits % 32;
  for (int i = Big::kWords - 1; i >= words; --i) {
    uint64_t t = uint64_t{a.w[i - words]} << rest;
    if (rest != 0 && i - words - 1 >= 0) t |= a.w[i - words - 1] >> (32 - rest);
    r.w[i] = static_cast<uint32_t>(t);
  }
  return r;
}

constexpr int big_compare(const Big& a, const Big& b) {
  for (int i = Big::kWords - 1; i >= 0; --i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  }
  return 0;
}

struct Pow5 {
  Big p[48];
};

constexpr Pow5 make_pow5() {
  Pow5 t;
  t.p[0].w[0] = 1;
  for (int i = 1; i < 48; ++i) t.p[i] = big_times(t.p[i - 1], 5);
  return t;
}

// Sign of m * 2^e - c/2 * 10^x.
constexpr int compare_half(const Pow5& pow5, uint32_t m, int e, uint32_t c, int x) {
  Big l = x < 0 ? big_times(pow5.p[-x], m) : big_times(pow5.p[0], m);
  Big r = x > 0 ? big_times(pow5.p[x], c) : big_times(pow5.p[0], c);
  int shift = e + 1 - x;
  if (shift >= 0) {
    l = big_shifted(l, shift);
  } else {
    r = big_shifted(r, -shift);
  }
  return big_compare(l, r);
}

// Whether m * 2^e rounds above digit d at 10^x.
constexpr bool past_boundary(const Pow5& pow5, uint32_t m, int e, int d, int x) {
  int c = compare_half(pow5, m, e, static_cast<uint32_t>(2 * d + 1), x);
  return c > 0 || (c == 0 && d % 2 == 1);
}

struct E0Binade {
  uint32_t boundary[5];  // ascending, padded with kNoBoundary
  int8_t digit;          // text at m = 2^23
  int8_t exp10;
};

struct E0Table {
  E0Binade b[kBinades];
};

constexpr E0Table make_e0_table() {
  const Pow5 pow5 = make_pow5();
  E0Table t{};
  for (int i = 0; i < kBinades; ++i) {
    int e = kMinBinade + i;
    constexpr uint32_t lo = 1u << 23;
    // Decimal exponent of 2^23 * 2^e, then its rounded digit.
    int x = (23 + e) * 30103 / 100000 - 2;
    while (compare_half(pow5, lo, e, 2, x + 1) >= 0) ++x;
    int d = 1;
    while (d <= 9 && past_boundary(pow5, lo, e, d, x)) ++d;
    if (d == 10) {
      d = 1;
      ++x;
    }
    t.b[i].digit = static_cast<int8_t>(d);
    t.b[i].exp10 = static_cast<int8_t>(x);
    // The boundaries that follow, in order, until one lies past the binade.
    int n = 0;
    for (int k = 0; k < 5; ++k) t.b[i].boundary[k] = kNoBoundary;
    for (int bx = x, bd = d; n <= 5; ++n) {
      if (!past_boundary(pow5, kNoBoundary - 1, e, bd, bx)) break;
      uint32_t below = lo, above = kNoBoundary - 1;  // not past, past
      while (above - below > 1) {
        uint32_t mid = below + (above - below) / 2;
        (past_boundary(pow5, mid, e, bd, bx) ? above : below) = mid;
      }
      if (n == 5) throw "more than five boundaries in a binade";
      t.b[i].boundary[n] = above;
      if (++bd == 10) {
        bd = 1;
        ++bx;
      }
    }
  }
  return t;
}

// Built on first use: a few hundred thousand word operations, too many for
// the compiler to evaluate.
const E0Table& e0_table() {
  static const E0Table table = make_e0_table();
  return table;
}

constexpr int kMinExp10 = -64;

constexpr std::array<std::array<char, 4>, 128> make_exp_texts() {
  std::array<std::array<char, 4>, 128> texts{};
  for (int i = 0; i < 128; ++i) {
    int x = i + kMinExp10;
    int a = x < 0 ? -x : x;
    texts[i] = {'e', x < 0 ? '-' : '+', static_cast<char>('0' + a / 10),
                static_cast<char>('0' + a % 10)};
  }
  return texts;
}

// "e+XX" for exponents of two digits.
constexpr auto kExpTexts = make_exp_texts();

// "%.e" of any double at `p` (at most 7 characters); returns the end.
inline char* put_e0_chars(char* p, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  uint64_t frac = bits & ((uint64_t{1} << 52) - 1);
  int biased = static_cast<int>(bits >> 52) & 0x7FF;
  unsigned index = static_cast<unsigned>(biased - 1075 + 29 - kMinBinade);
  if ((frac & 0x1FFFFFFF) == 0 && biased != 0 && index < kBinades) {
    const E0Binade& b = e0_table().b[index];
    uint32_t m = static_cast<uint32_t>(frac >> 29) | (1u << 23);
    int steps = (m >= b.boundary[0]) + (m >= b.boundary[1]) + (m >= b.boundary[2]) +
                (m >= b.boundary[3]) + (m >= b.boundary[4]);
    int d = b.digit + steps, x = b.exp10;
    if (d > 9) {
      d -= 9;
      ++x;
    }
    *p = '-';
    p += bits >> 63;
    *p++ = static_cast<char>('0' + d);
    std::memcpy(p, kExpTexts[x - kMinExp10].data(), 4);
    return p + 4;
  }
  if ((bits << 1) == 0) {
    *p = '-';
    p += bits >> 63;
    std::memcpy(p, "0e+00", 5);
    return p + 5;
  }
  return std::to_chars(p, p + 8, v, std::chars_format::scientific, 0).ptr;
}

// to_chars with a precision writes printf's "%e"/"%f" text, signs of zero,
// inf and NaN included.
void put_chars(std::string& out, double v, std::chars_format form, int precision, size_t most) {
  char* p = open_tail(out, most);
  close_tail(out, std::to_chars(p, p + most, v, form, precision).ptr);
}

}  // namespace

void put_d(std::string& out, int32_t v) { put_signed(out, v); }
void put_ld(std::string& out, int64_t v) { put_signed(out, v); }

void put_lu(std::string& out, uint64_t v) {
  char* p = open_tail(out, 24);
  close_tail(out, put_decimal(p, v));
}

void put_hex(std::string& out, uint32_t v) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  int n = 1;
  while (n < 8 && (v >> (4 * n)) != 0) ++n;
  char* p = open_tail(out, 10);
  p[0] = '0';
  p[1] = 'x';
  for (int i = n - 1; i >= 0; --i) p[2 + n - 1 - i] = kHex[(v >> (4 * i)) & 0xF];
  close_tail(out, p + 2 + n);
}

void put_f(std::string& out, double v) {
  // A float widened to double, times 10^6, is exact (24 + 14 significant
  // bits): rounding it to an integer, ties to even, gives the six decimals
  // printf gives.  Below 9e12 the result fits 64 bits.
  double a = std::fabs(v);
  if (a < 9e12 && static_cast<double>(static_cast<float>(v)) == v) {
    auto scaled = static_cast<uint64_t>(std::nearbyint(a * 1e6));
    char* p = open_tail(out, 24);
    if (std::signbit(v)) *p++ = '-';
    p = put_decimal(p, scaled / 1000000);
    *p++ = '.';
    auto frac = static_cast<uint32_t>(scaled % 1000000);
    p = put_pair(p, frac / 10000);
    p = put_pair(p, frac / 100 % 100);
    p = put_pair(p, frac % 100);
    close_tail(out, p);
    return;
  }
  // Doubles reach 309 integer digits; table values rarely pass 10^15.
  put_chars(out, v, std::chars_format::fixed, 6, std::fabs(v) < 1e15 ? 24 : 320);
}

void put_e(std::string& out, double v) { put_chars(out, v, std::chars_format::scientific, 6, 16); }
namespace {

// Powers of ten that a double holds exactly.
constexpr std::array<double, 23> kExactTens = [] {
  std::array<double, 23> t{};
  double p = 1;
  for (double& x : t) {
    x = p;
    p *= 10;
  }
  return t;
}();

// "%.2e" by one exact scaling: |v| / 10^(k-2) lies in [100, 1000) and is
// off by at most one rounding (the power of ten is exact), so its rounding
// to an integer is printf's unless it lies next to a tie, which goes to the
// general routine.  False when the fast path does not apply.
bool put_e2_fast(std::string& out, double v) {
  double a = std::fabs(v);
  if (!(a >= 1e-20 && a < 1e24)) return false;  // zero, tiny, huge, inf, NaN
  int k = static_cast<int>(std::floor(std::log10(a)));
  double d = 0;
  for (int tries = 0; tries < 3; ++tries) {
    int n = k - 2;
    if (n < -22 || n > 22) return false;
    d = n >= 0 ? a / kExactTens[n] : a * kExactTens[-n];
    if (d >= 1000) {
      ++k;
    } else if (d < 100) {
      --k;
    } else {
      break;
    }
  }
  if (!(d >= 100 && d < 1000)) return false;
  double frac = d - std::floor(d);
  if (std::fabs(frac - 0.5) < 1e-9) return false;
  auto r = static_cast<uint32_t>(std::nearbyint(d));
  if (r == 1000) {
    r = 100;
    ++k;
  }
  char* p = open_tail(out, 16);
  if (std::signbit(v)) *p++ = '-';
  *p++ = static_cast<char>('0' + r / 100);
  *p++ = '.';
  p = put_pair(p, r % 100);
  *p++ = 'e';
  *p++ = k < 0 ? '-' : '+';
  p = put_pair(p, static_cast<uint32_t>(k < 0 ? -k : k));  // |k| < 100 here
  close_tail(out, p);
  return true;
}

}  // namespace

void put_e2(std::string& out, double v) {
  if (!put_e2_fast(out, v)) put_chars(out, v, std::chars_format::scientific, 2, 16);
}

void put_e0(std::string& out, double v) {
  char* p = open_tail(out, 8);
  close_tail(out, put_e0_chars(p, v));
}

void put_e0_list(std::string& out, const float* p, size_t n, char sep) {
  if (n == 0) return;
  char* q = open_tail(out, n * 8);
  for (size_t i = 0; i < n; ++i) {
    q = put_e0_chars(q, p[i]);
    *q++ = sep;
  }
  close_tail(out, q - 1);
}

void put_pixels_u8(std::string& out, const unsigned char* p, size_t n, char sep,
                   bool sep_after_last) {
  if (n == 0) return;
  out.reserve(out.size() + n * 4);
  for (size_t done = 0; done < n; done += kPixelChunk) {
    size_t end = std::min(n, done + kPixelChunk);
    char* q = open_tail(out, (end - done) * 4 + 1);  // put_pixel writes four bytes
    for (size_t i = done; i < end; ++i) {
      q = put_pixel(q, p[i]);
      *q++ = sep;
    }
    close_tail(out, q);
  }
  if (!sep_after_last) out.pop_back();
}

void put_pixels_u16(std::string& out, const void* words, size_t n, char sep, bool sep_after_last) {
  if (n == 0) return;
  const unsigned char* p = static_cast<const unsigned char*>(words);
  out.reserve(out.size() + n * 5);
  for (size_t done = 0; done < n; done += kPixelChunk) {
    size_t end = std::min(n, done + kPixelChunk);
    char* q = open_tail(out, (end - done) * 6);
    for (size_t i = done; i < end; ++i) {
      uint16_t v;
      std::memcpy(&v, p + 2 * i, sizeof v);
      q = put_pixel(q, v);
      *q++ = sep;
    }
    close_tail(out, q);
  }
  if (!sep_after_last) out.pop_back();
}

}  // namespace daq::fmt
