#include "vexa_recording.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>
#include <vector>

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// A recording that breaks the format: where and why.
struct Refusal {
  std::string place;
  std::string reason;
};

[[noreturn]] void refuse(const std::string& place, const std::string& reason) {
  throw Refusal{place, reason};
}

std::string member_path(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string index_path(const std::string& path, size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

// What a failure of the JSON parser means here.  Only the parser's own
// limits reach the user this way: text that is not JSON is described by
// syntax_error() below.
[[noreturn]] void refuse_json(simdjson::error_code code, const std::string& place) {
  if (code == simdjson::MEMALLOC) throw std::bad_alloc();
  switch (code) {
    case simdjson::NUMBER_ERROR:
    case simdjson::NUMBER_OUT_OF_RANGE:
      refuse(place, "number out of range");
    case simdjson::DEPTH_ERROR:
      refuse(place, "nested too deeply");
    case simdjson::CAPACITY:
      refuse(place, "recording too large");
    default:
      refuse(place, simdjson::error_message(code));
  }
}

const char* type_name(element j) {
  switch (j.type()) {
    case element_type::NULL_VALUE:
      return "null";
    case element_type::BOOL:
      return "a boolean";
    case element_type::STRING:
      return "a string";
    case element_type::ARRAY:
      return "an array";
    case element_type::OBJECT:
      return "an object";
    default:
      return "a number";
  }
}

void expect(bool ok, element j, const std::string& path, const char* what) {
  if (!ok) refuse(path, std::string("expected ") + what + ", found " + type_name(j));
}

// Copies out of the parser's result, which a range-for must not hold on to.
simdjson::dom::object object_of(element j) {
  simdjson::dom::object o = j.get_object().value_unsafe();
  return o;
}

simdjson::dom::array array_of(element j) {
  simdjson::dom::array a = j.get_array().value_unsafe();
  return a;
}

bool is_number(element j) {
  element_type t = j.type();
  return t == element_type::INT64 || t == element_type::UINT64 || t == element_type::DOUBLE;
}

// The value of `key`; of a key given twice, the last.
std::optional<element> find(element obj, std::string_view key) {
  std::optional<element> found;
  for (const simdjson::dom::key_value_pair& field : object_of(obj)) {
    if (field.key == key) found = field.value;
  }
  return found;
}

element require(element obj, const char* key, const std::string& path) {
  std::optional<element> j = find(obj, key);
  if (!j) refuse(path, std::string("missing required key \"") + key + "\"");
  return *j;
}

// Any integer in [lo, hi]; JSON numbers with a fraction or exponent are refused.
int64_t to_int(element j, const std::string& path, int64_t lo, int64_t hi) {
  if (j.type() == element_type::UINT64) {
    if (j.get_uint64().value_unsafe() > static_cast<uint64_t>(hi)) {
      refuse(path, "number out of range");
    }
    return static_cast<int64_t>(j.get_uint64().value_unsafe());
  }
  expect(j.type() == element_type::INT64, j, path, "an integer");
  int64_t v = j.get_int64().value_unsafe();
  if (v < lo || v > hi) refuse(path, "number out of range");
  return v;
}

uint64_t to_u64(element j, const std::string& path, uint64_t hi) {
  uint64_t u;
  if (j.type() == element_type::UINT64) {
    u = j.get_uint64().value_unsafe();
  } else {
    expect(j.type() == element_type::INT64, j, path, "an integer");
    int64_t v = j.get_int64().value_unsafe();
    if (v < 0) refuse(path, "number out of range");
    u = static_cast<uint64_t>(v);
  }
  if (u > hi) refuse(path, "number out of range");
  return u;
}

int32_t to_i32(element j, const std::string& path) {
  return static_cast<int32_t>(to_int(j, path, INT32_MIN, INT32_MAX));
}

uint32_t to_u32(element j, const std::string& path) {
  return static_cast<uint32_t>(to_u64(j, path, UINT32_MAX));
}

bool to_bool(element j, const std::string& path) {
  expect(j.type() == element_type::BOOL, j, path, "a boolean");
  return j.get_bool().value_unsafe();
}

std::string_view to_text(element j) { return j.get_string().value_unsafe(); }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

double as_double(element j) {
  switch (j.type()) {
    case element_type::INT64:
      return static_cast<double>(j.get_int64().value_unsafe());
    case element_type::UINT64:
      return static_cast<double>(j.get_uint64().value_unsafe());
    default:
      return j.get_double().value_unsafe();
  }
}

// A FLOAT: a number rounded to single precision, "nan", "inf", "-inf", or
// "0x" and eight hex digits giving the exact bit pattern.
float to_float(element j, const std::string& path) {
  if (is_number(j)) return static_cast<float>(as_double(j));
  expect(j.type() == element_type::STRING, j, path, "a number or a float text");
  std::string_view s = to_text(j);
  if (s == "nan") return std::numeric_limits<float>::quiet_NaN();
  if (s == "inf") return std::numeric_limits<float>::infinity();
  if (s == "-inf") return -std::numeric_limits<float>::infinity();
  if (s.size() == 10 && s[0] == '0' && s[1] == 'x') {
    uint32_t bits = 0;
    for (size_t k = 2; k < 10; ++k) {
      int d = hex_digit(s[k]);
      if (d < 0) refuse(path, "bad hex digit in \"" + std::string(s) + "\"");
      bits = bits << 4 | static_cast<uint32_t>(d);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  refuse(path, "bad float text \"" + std::string(s) + "\"");
}

std::vector<float> to_floats(element j, const std::string& path) {
  expect(j.type() == element_type::ARRAY, j, path, "an array");
  simdjson::dom::array a = array_of(j);
  std::vector<float> values;
  values.reserve(a.size());
  size_t k = 0;
  for (element v : a) {
    // Numbers need no path; it is only built for a refusal.
    values.push_back(is_number(v) ? static_cast<float>(as_double(v))
                                  : to_float(v, index_path(path, k)));
    ++k;
  }
  return values;
}

// Offset of the first character of `s` that is not a hex digit, or npos.
size_t first_non_hex(std::string_view s) {
  size_t k = 0;
  // Whole blocks are checked without a branch per character, so that the
  // compiler vectorises the test; megabytes of pixels pass through here.
  constexpr size_t kBlock = 64;
  for (; k + kBlock <= s.size(); k += kBlock) {
    unsigned bad = 0;
    for (size_t i = 0; i < kBlock; ++i) {
      unsigned char c = static_cast<unsigned char>(s[k + i]);
      unsigned char digit = static_cast<unsigned char>(c - '0');
      unsigned char letter = static_cast<unsigned char>((c | 0x20) - 'a');
      bad |= static_cast<unsigned>(digit > 9) & static_cast<unsigned>(letter > 5);
    }
    if (bad != 0) break;
  }
  for (; k < s.size(); ++k) {
    if (hex_digit(s[k]) < 0) return k;
  }
  return std::string_view::npos;
}

// The pixel text of an image: even length, hex digits only.
void check_hex(std::string_view s, const std::string& path) {
  if (s.size() % 2 != 0) refuse(path, "hex string of odd length");
  size_t bad = first_non_hex(s);
  if (bad != std::string_view::npos) {
    refuse(path, "bad hex digit at offset " + std::to_string(bad & ~size_t{1}));
  }
}

// How image pixels are kept: decoded, checked only, or left as text in the
// parser's buffer for a later read (a streamed run's walk).
enum class Pixels { kDecode, kCheck, kText };

// Reads an optional key with `read` when present.  The key's path is only
// made for a refusal: `read` gets an empty one (a place is never empty) and
// the refusal's place, empty or an index, is put behind the key's path.
template <typename T, typename Read>
void optional_key(element obj, const char* key, const std::string& path, T& out, Read read) {
  static const std::string kHere;
  if (std::optional<element> j = find(obj, key)) {
    try {
      out = read(*j, kHere);
    } catch (Refusal& r) {
      r.place = member_path(path, key) + r.place;
      throw;
    }
  }
}

void as_object(element j, const std::string& path) {
  expect(j.type() == element_type::OBJECT, j, path, "an object");
}

void as_array(element j, const std::string& path) {
  expect(j.type() == element_type::ARRAY, j, path, "an array");
}

vexa_run_block parse_block(element j, const std::string& path, int generation) {
  as_object(j, path);
  vexa_run_block b;
  optional_key(j, "sec", path, b.sec, to_u32);
  optional_key(j, "usec", path, b.usec, to_u32);
  if (std::optional<element> m = find(j, "mpulse")) {
    std::string p = member_path(path, "mpulse");
    if (generation == 2010) {
      b.mpulse = to_i32(*m, p);
      b.mpulse64 = static_cast<uint64_t>(static_cast<int64_t>(b.mpulse));
    } else {
      b.mpulse64 = to_u64(*m, p, UINT64_MAX);
      b.mpulse = static_cast<int32_t>(static_cast<uint32_t>(b.mpulse64));
    }
  }
  optional_key(j, "status", path, b.status, to_i32);
  optional_key(j, "nchan", path, b.nchan, to_i32);
  optional_key(j, "ltotal", path, b.ltotal, to_i32);
  optional_key(j, "tmask", path, b.tmask, to_i32);
  optional_key(j, "fails", path, b.fails, to_bool);
  return b;
}

vexa_run_member parse_member(element j, const std::string& path) {
  as_object(j, path);
  vexa_run_member m;
  optional_key(j, "fails", path, m.fails, to_bool);
  optional_key(j, "start", path, m.start, to_float);
  optional_key(j, "inc", path, m.inc, to_float);
  optional_key(j, "groups", path, m.groups, to_i32);
  optional_key(j, "group_inc", path, m.group_inc, to_float);
  optional_key(j, "values", path, m.values, to_floats);
  if (std::optional<element> n = find(j, "ndata")) {
    m.ndata = to_i32(*n, member_path(path, "ndata"));
  } else {
    int64_t count = static_cast<int64_t>(m.values.size());
    if (m.groups >= 2) count /= m.groups;
    m.ndata = static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
  }
  if (std::optional<element> s = find(j, "stat")) {
    std::string p = member_path(path, "stat");
    as_object(*s, p);
    m.has_stat = true;
    optional_key(*s, "mask", p, m.stat.mask, to_u32);
    if (std::optional<element> val = find(*s, "val")) {
      std::string vp = member_path(p, "val");
      as_object(*val, vp);
      for (const simdjson::dom::key_value_pair& field : object_of(*val)) {
        // Read as a C string, as a key with a zero byte was before.
        std::string key(field.key);
        std::string kp = member_path(vp, key);
        char* end = nullptr;
        long bit = std::strtol(key.c_str(), &end, 10);
        if (key.empty() || *end != '\0' || bit < 0 || bit > 31) {
          refuse(kp, "statistics key must be a bit number from 0 to 31");
        }
        m.stat.val[bit] = to_float(field.value, kp);
      }
    }
  }
  return m;
}

vexa_run_roi parse_roi(element j, const std::string& path) {
  as_object(j, path);
  vexa_run_roi roi;
  vexa_image_roi1& r = roi.record;
  optional_key(j, "w", path, r.roi_param.w, to_i32);
  optional_key(j, "h", path, r.roi_param.h, to_i32);
  optional_key(j, "mean", path, r.stat.stat1.mean, to_float);
  optional_key(j, "max", path, r.stat.stat1.max, to_float);
  optional_key(j, "cofm", path, r.stat.stat1.cofm, to_float);
  optional_key(j, "sig", path, r.stat.stat1.sig, to_float);
  optional_key(j, "start1", path, r.stat.start1, to_float);
  optional_key(j, "inc1", path, r.stat.inc1, to_float);
  optional_key(j, "ndata1", path, r.stat.ndata1, to_i32);
  roi.has_mean_values = find(j, "mean_values").has_value();
  optional_key(j, "mean_values", path, roi.mean_values, to_floats);
  return roi;
}

void parse_frame_head(element j, const std::string& path, vexa_image_ext_frame_head& head) {
  as_array(j, path);
  simdjson::dom::array fields = array_of(j);
  if (fields.size() != 25) refuse(path, "expected 25 frame-header fields");
  unsigned char* out = reinterpret_cast<unsigned char*>(&head);
  size_t k = 0;
  for (element field : fields) {
    std::string p = index_path(path, k);
    uint32_t bits;
    if (k >= 14 && k <= 19) {
      float f = to_float(field, p);
      std::memcpy(&bits, &f, sizeof bits);
    } else if (k == 12 || k == 13) {
      bits = to_u32(field, p);
    } else {
      bits = static_cast<uint32_t>(to_i32(field, p));
    }
    std::memcpy(out + 4 * k, &bits, sizeof bits);
    ++k;
  }
}

void decode_hex(std::string_view s, std::vector<unsigned char>& bytes) {
  bytes.resize(s.size() / 2);
  for (size_t k = 0; k < bytes.size(); ++k) {
    bytes[k] = static_cast<unsigned char>(hex_digit(s[2 * k]) << 4 | hex_digit(s[2 * k + 1]));
  }
}

vexa_run_image parse_image(element j, const std::string& path, Pixels pixels) {
  as_object(j, path);
  vexa_run_image im;
  optional_key(j, "nframe", path, im.nframe, to_i32);
  optional_key(j, "compr", path, im.compr, to_i32);
  optional_key(j, "bpp", path, im.bpp, to_i32);
  optional_key(j, "nx", path, im.nx, to_i32);
  optional_key(j, "ny", path, im.ny, to_i32);
  size_t bytes = 0;
  if (std::optional<element> d = find(j, "data")) {
    std::string dp = member_path(path, "data");
    expect(d->type() == element_type::STRING, *d, dp, "a hex string");
    std::string_view text = to_text(*d);
    if (pixels != Pixels::kText) check_hex(text, dp);
    bytes = text.size() / 2;
    if (pixels == Pixels::kDecode) decode_hex(text, im.data);
    if (pixels == Pixels::kText) im.hex = text;
  }
  // Only the bytes the recording gives are kept; the zero tail up to `len`
  // is served when an image is read, so a small recording that claims many
  // huge images costs no memory.
  constexpr int32_t kMaxImageBytes = 1 << 28;
  if (bytes > kMaxImageBytes) refuse(member_path(path, "data"), "image too large");
  im.len = static_cast<int32_t>(bytes);
  if (std::optional<element> l = find(j, "len")) {
    im.len = static_cast<int32_t>(to_int(*l, member_path(path, "len"), 0, INT32_MAX));
    if (im.len > kMaxImageBytes) refuse(member_path(path, "len"), "image too large");
  }
  im.size = im.len;
  optional_key(j, "size", path, im.size, to_i32);
  if (std::optional<element> h = find(j, "frame_head")) {
    parse_frame_head(*h, member_path(path, "frame_head"), im.frame_head);
  }
  return im;
}

vexa_run_channel parse_channel(element j, const std::string& path, int generation, Pixels pixels) {
  as_object(j, path);
  vexa_run_channel c;
  c.type = to_i32(require(j, "type", path), member_path(path, "type"));
  if (std::optional<element> b = find(j, "block")) {
    c.block = parse_block(*b, member_path(path, "block"), generation);
  }
  if (std::optional<element> h = find(j, "header")) {
    std::string hp = member_path(path, "header");
    as_object(*h, hp);
    if (std::optional<element> n = find(*h, "name")) {
      expect(n->type() == element_type::STRING, *n, member_path(hp, "name"), "a string");
      c.header_name = std::string(to_text(*n));
    }
    optional_key(*h, "status", hp, c.header_status, to_i32);
    optional_key(*h, "fails", hp, c.header_fails, to_bool);
  }
  if (std::optional<element> s = find(j, "single")) {
    c.single = to_float(*s, member_path(path, "single"));
  }
  if (std::optional<element> pairs = find(j, "pairs")) {
    std::string pp = member_path(path, "pairs");
    as_array(*pairs, pp);
    size_t k = 0;
    for (element pair : array_of(*pairs)) {
      std::string p = index_path(pp, k++);
      if (pair.type() != element_type::ARRAY || array_of(pair).size() != 2) {
        refuse(p, "expected a [NAME, FLOAT] pair");
      }
      simdjson::dom::array two = array_of(pair);
      element name_value = two.at(0).value_unsafe();
      std::optional<std::string> name;
      if (name_value.type() != element_type::NULL_VALUE) {
        expect(name_value.type() == element_type::STRING, name_value, index_path(p, 0),
               "a string or null");
        name = std::string(to_text(name_value));
      }
      c.pairs.emplace_back(std::move(name), to_float(two.at(1).value_unsafe(), index_path(p, 1)));
    }
  }
  if (std::optional<element> members = find(j, "members")) {
    std::string mp = member_path(path, "members");
    as_array(*members, mp);
    size_t k = 0;
    for (element member : array_of(*members)) {
      c.members.push_back(parse_member(member, index_path(mp, k++)));
    }
  }
  if (std::optional<element> n = find(j, "nmemb")) c.nmemb = to_i32(*n, member_path(path, "nmemb"));
  if (std::optional<element> r = find(j, "roi")) c.roi = parse_roi(*r, member_path(path, "roi"));
  if (std::optional<element> im = find(j, "image")) {
    c.image = parse_image(*im, member_path(path, "image"), pixels);
  }
  optional_key(j, "convertible", path, c.convertible, to_bool);
  return c;
}

void parse_event(element j, const std::string& path, int generation, Pixels pixels,
                 vexa_run_event& e) {
  as_object(j, path);
  e = vexa_run_event{};
  const std::string id_path = member_path(path, "id");
  e.id = to_u64(require(j, "id", path), id_path, generation == 2010 ? UINT32_MAX : UINT64_MAX);
  optional_key(j, "type", path, e.type, to_i32);
  optional_key(j, "sec", path, e.sec, to_u32);
  optional_key(j, "usec", path, e.usec, to_u32);
  optional_key(j, "status", path, e.status, to_i32);
  optional_key(j, "header_fails", path, e.header_fails, to_bool);
  if (std::optional<element> b = find(j, "image_block")) {
    e.image_block = parse_block(*b, member_path(path, "image_block"), generation);
  }
  if (std::optional<element> b = find(j, "fast_block")) {
    e.fast_block = parse_block(*b, member_path(path, "fast_block"), generation);
  }
  if (std::optional<element> chans = find(j, "channels")) {
    std::string cp = member_path(path, "channels");
    as_object(*chans, cp);
    for (const simdjson::dom::key_value_pair& field : object_of(*chans)) {
      std::string selector(field.key);
      vexa_run_channel c =
          parse_channel(field.value, member_path(cp, selector), generation, pixels);
      e.channels.insert_or_assign(std::move(selector), std::move(c));
    }
  }
}

// Description keys become XML attribute names: a letter or "_", then
// letters, digits, "_", "-" or ".".
bool is_xml_name(std::string_view key) {
  if (key.empty() || !(std::isalpha(static_cast<unsigned char>(key[0])) || key[0] == '_')) {
    return false;
  }
  for (char c : key) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) {
      return false;
    }
  }
  return true;
}

// A number as the attribute shows it: integers as written, other numbers
// as the shortest text that reads back the same double.
std::string number_text(element j) {
  switch (j.type()) {
    case element_type::INT64:
      return std::to_string(j.get_int64().value_unsafe());
    case element_type::UINT64:
      return std::to_string(j.get_uint64().value_unsafe());
    default:
      return nlohmann::json(j.get_double().value_unsafe()).dump();
  }
}

std::unique_ptr<chan_descr_2010> parse_description(element j, const std::string& path) {
  as_object(j, path);
  auto d = std::make_unique<chan_descr_2010>();
  element name = require(j, "daq_name", path);
  expect(name.type() == element_type::STRING, name, member_path(path, "daq_name"), "a string");
  std::string_view text = to_text(name);
  if (text.size() > 255) refuse(member_path(path, "daq_name"), "longer than 255 bytes");
  std::memset(d->daq_name, 0, sizeof d->daq_name);
  std::memcpy(d->daq_name, text.data(), text.size());
  for (const simdjson::dom::key_value_pair& field : object_of(j)) {
    if (field.key == "daq_name") continue;
    if (!is_xml_name(field.key))
      refuse(member_path(path, field.key), "key is not usable as an XML attribute name");
    element value = field.value;
    expect(value.type() == element_type::STRING || is_number(value), value,
           member_path(path, field.key), "a string or a number");
    std::string shown =
        value.type() == element_type::STRING ? std::string(to_text(value)) : number_text(value);
    // A key given twice keeps its first place and its last value.
    auto same = std::find_if(d->attributes.begin(), d->attributes.end(),
                             [&](const auto& a) { return a.first == field.key; });
    if (same != d->attributes.end()) {
      same->second = std::move(shown);
    } else {
      d->attributes.emplace_back(std::string(field.key), std::move(shown));
    }
  }
  return d;
}

void add_description(vexa_run& run, std::unique_ptr<chan_descr_2010> d) {
  run.descr_list.push_back(d.get());
  run.descriptions.push_back(std::move(d));
}

// "[json.exception.parse_error.101] parse error at line 1, column 2: ..." ->
// "line 1, column 2: ..."
std::string parse_error_text(const std::string& what) {
  const std::string marker = "parse error at ";
  size_t at = what.find(marker);
  return at == std::string::npos ? what : what.substr(at + marker.size());
}

// The error stays one line whatever the recording's keys hold: control
// characters (a key may contain an escaped line end) become '?'.
std::string one_line(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// Where text stops being JSON, in the words (line, column, what was expected)
// users of the reader know; empty for JSON.  Only a refused recording gets
// here: syntax errors anywhere in the text are reported before any other.
std::string syntax_error(std::string_view text) {
  using json = nlohmann::json;
  struct Check : nlohmann::json_sax<json> {
    std::string message;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(size_t, const std::string&, const nlohmann::detail::exception& e) override {
      message = parse_error_text(e.what());
      return false;
    }
  } check;
  json::sax_parse(text.begin(), text.end(), &check, nlohmann::detail::input_format_t::json, true,
                  false);
  return check.message;
}

const char* type_name(simdjson::ondemand::json_type type) {
  switch (type) {
    case simdjson::ondemand::json_type::array:
      return "an array";
    case simdjson::ondemand::json_type::object:
      return "an object";
    case simdjson::ondemand::json_type::string:
      return "a string";
    case simdjson::ondemand::json_type::boolean:
      return "a boolean";
    case simdjson::ondemand::json_type::null:
      return "null";
    default:
      return "a number";
  }
}

}  // namespace

// The walk over the text (simdjson's On Demand parser) only finds where the
// top-level values and each event lie; each is then parsed on its own, so
// that no more than one event is ever held decoded.
std::shared_ptr<vexa_recording> vexa_recording::load(vexa_text text, const std::string& source,
                                                     bool keep_events,
                                                     const vexa_load_progress& progress,
                                                     vexa_run* run, std::string* error) {
  std::shared_ptr<vexa_recording> rec(new vexa_recording(std::move(text), source));
  const std::string_view whole(rec->text_.data(), rec->text_.size());
  try {
    namespace od = simdjson::ondemand;
    auto span_of = [&](std::string_view raw) {
      return Span{static_cast<uint64_t>(raw.data() - whole.data()), raw.size()};
    };
    // Progress in bytes' worth of the whole load, as timed on spectrum and
    // image runs: reading and indexing the text a quarter (told at the first
    // event found), the walk finding the events a tenth, decoding each event
    // the rest.
    auto walked = [&](uint64_t at) { return whole.size() / 20 * 5 + at / 20 * 2; };
    auto decoded = [&](uint64_t at) { return whole.size() / 20 * 7 + at / 20 * 13; };
    std::map<std::string, Span, std::less<>> parts;
    std::optional<Span> events_value;                      // an "events" value that is no array
    std::vector<std::pair<std::string, Span>> superseded;  // earlier values of repeated keys
    bool have_events = false;
    {
      od::parser walker;
      od::document doc;
      // A byte-order mark before the document is allowed, as it always was.
      const size_t bom = whole.starts_with("\xef\xbb\xbf") ? 3 : 0;
      simdjson::padded_string_view view(whole.data() + bom, whole.size() - bom,
                                        whole.size() - bom + simdjson::SIMDJSON_PADDING);
      if (auto ec = walker.iterate(view).get(doc)) refuse_json(ec, "top level");
      od::json_type type;
      if (auto ec = doc.type().get(type)) refuse_json(ec, "top level");
      if (type != od::json_type::object) {
        refuse("top level", std::string("expected an object, found ") + type_name(type));
      }
      // The text of a value, which the walk then steps over.
      auto raw_of = [&](od::value v, const std::string& place) {
        od::json_type t;
        std::string_view raw;
        if (auto ec = v.type().get(t)) refuse_json(ec, place);
        simdjson::error_code ec;
        if (t == od::json_type::object) {
          od::object o;
          ec = v.get_object().get(o);
          if (!ec) ec = o.raw_json().get(raw);
        } else if (t == od::json_type::array) {
          od::array a;
          ec = v.get_array().get(a);
          if (!ec) ec = a.raw_json().get(raw);
        } else {
          raw = v.raw_json_token();
          ec = simdjson::SUCCESS;
        }
        if (ec) refuse_json(ec, place);
        return span_of(raw);
      };
      od::object root;
      if (auto ec = doc.get_object().get(root)) refuse_json(ec, "top level");
      for (auto field_result : root) {
        od::field field;
        std::string_view key;
        if (auto ec = std::move(field_result).get(field)) refuse_json(ec, "top level");
        if (auto ec = field.unescaped_key().get(key)) refuse_json(ec, "top level");
        std::string name(key);
        od::value value = field.value();
        od::json_type t;
        if (auto ec = value.type().get(t)) refuse_json(ec, name);
        // A key given twice: the last counts, and the earlier must be valid
        // JSON as well (checked below, with every other value).
        if (name != "events") {
          auto [it, fresh] = parts.try_emplace(name, Span{});
          if (!fresh) superseded.emplace_back(name, it->second);
          it->second = raw_of(value, name);
          continue;
        }
        if (have_events) {
          for (Span e : rec->events_) superseded.emplace_back("events", e);
          if (events_value) superseded.emplace_back("events", *events_value);
        }
        have_events = true;
        rec->events_.clear();
        events_value.reset();
        if (t != od::json_type::array) {
          events_value = raw_of(value, name);
          continue;
        }
        od::array events;
        if (auto ec = value.get_array().get(events)) refuse_json(ec, name);
        for (auto item : events) {
          od::value event;
          std::string place = "event " + std::to_string(rec->events_.size());
          if (auto ec = std::move(item).get(event)) refuse_json(ec, place);
          rec->events_.push_back(raw_of(event, place));
          if (progress) progress(walked(rec->events_.back().offset), whole.size());
        }
      }
      // Past the end of the object there must be nothing but white space.
      const char* after = nullptr;
      if (doc.current_location().get(after) == simdjson::SUCCESS) {
        refuse("top level", "text after the document");
      }
    }

    simdjson::dom::parser parser;
    auto parse = [&](Span s, const std::string& place) {
      element e;
      auto ec = parser
                    .parse(reinterpret_cast<const uint8_t*>(whole.data()) + s.offset,
                           static_cast<size_t>(s.size), false)
                    .get(e);
      if (ec) refuse_json(ec, place);
      return e;
    };
    auto part = [&](const char* key) -> std::optional<Span> {
      auto it = parts.find(key);
      if (it == parts.end()) return std::nullopt;
      return it->second;
    };
    // Keys the format does not name are ignored, but must be JSON.
    for (const auto& [key, s] : parts) parse(s, key);
    for (const auto& [key, s] : superseded) parse(s, key);

    std::optional<Span> gen = part("generation");
    if (!gen) refuse("top level", "missing required key \"generation\"");
    run->generation =
        static_cast<int>(to_int(parse(*gen, "generation"), "generation", INT32_MIN, INT32_MAX));
    if (run->generation != 2010 && run->generation != 2024) {
      refuse("generation", "unknown generation " + std::to_string(run->generation));
    }
    rec->generation_ = run->generation;
    std::optional<Span> chans_part = part("channels");
    if (!chans_part) refuse("top level", "missing required key \"channels\"");
    element chans = parse(*chans_part, "channels");
    as_array(chans, "channels");
    size_t k = 0;
    for (element c : array_of(chans)) {
      std::string p = index_path("channels", k++);
      as_object(c, p);
      vexa_run_channel_entry entry;
      element name = require(c, "name", p);
      if (name.type() != element_type::NULL_VALUE) {
        expect(name.type() == element_type::STRING, name, member_path(p, "name"),
               "a string or null");
        entry.name = std::string(to_text(name));
      }
      optional_key(c, "sub", p, entry.sub, to_i32);
      run->channels.push_back(std::move(entry));
    }
    if (std::optional<Span> d = part("descriptions")) {
      element descrs = parse(*d, "descriptions");
      as_array(descrs, "descriptions");
      k = 0;
      for (element descr : array_of(descrs)) {
        add_description(*run, parse_description(descr, index_path("descriptions", k++)));
      }
    } else {
      std::vector<std::string> seen;
      for (const auto& entry : run->channels) {
        if (!entry.name || entry.name->size() > 255) continue;
        if (std::find(seen.begin(), seen.end(), *entry.name) != seen.end()) continue;
        seen.push_back(*entry.name);
        auto descr = std::make_unique<chan_descr_2010>();
        std::memset(descr->daq_name, 0, sizeof descr->daq_name);
        std::memcpy(descr->daq_name, entry.name->data(), entry.name->size());
        add_description(*run, std::move(descr));
      }
    }
    if (std::optional<Span> e = part("empty_events")) {
      run->empty_events = to_int(parse(*e, "empty_events"), "empty_events", INT32_MIN, INT32_MAX);
    }
    if (std::optional<Span> r = part("reported_events")) {
      element reported = parse(*r, "reported_events");
      if (reported.type() != element_type::NULL_VALUE) {
        run->reported_events = to_int(reported, "reported_events", INT32_MIN, INT32_MAX);
      }
    }
    if (!have_events) refuse("top level", "missing required key \"events\"");
    if (events_value) as_array(parse(*events_value, "events"), "events");

    // Every event is decoded once here, so that a broken one is refused
    // before any hook runs; a streamed run decodes it again when walked.
    if (keep_events) run->events.reserve(rec->events_.size());
    const Pixels pixels = keep_events ? Pixels::kDecode : Pixels::kCheck;
    vexa_run_event event;
    for (k = 0; k < rec->events_.size(); ++k) {
      std::string place = "event " + std::to_string(k);
      parse_event(parse(rec->events_[k], place), place, run->generation, pixels, event);
      if (keep_events) run->events.push_back(std::move(event));
      if (progress) progress(decoded(rec->events_[k].offset), whole.size());
    }
    if (progress) progress(whole.size(), whole.size());
    if (keep_events) rec->events_.clear();
    return rec;
  } catch (const std::bad_alloc&) {
    *error = source + ": out of memory while loading the recording";
  } catch (const Refusal& r) {
    std::string syntax;
    try {
      syntax = syntax_error(whole);
    } catch (const std::bad_alloc&) {
    }
    *error = source + ": " + one_line(syntax.empty() ? r.place + ": " + r.reason : syntax);
  }
  return nullptr;
}

bool vexa_recording::decode(size_t index, simdjson::dom::parser& parser, vexa_run_event* event,
                            std::string* error) const {
  const std::string place = "event " + std::to_string(index);
  try {
    if (index >= events_.size()) refuse(place, "no such event");
    element e;
    auto ec = parser
                  .parse(reinterpret_cast<const uint8_t*>(text_.data()) + events_[index].offset,
                         static_cast<size_t>(events_[index].size), false)
                  .get(e);
    if (ec) refuse_json(ec, place);
    parse_event(e, place, generation_, Pixels::kText, *event);
    return true;
  } catch (const std::bad_alloc&) {
    *error = source_ + ": " + place + ": out of memory";
  } catch (const Refusal& r) {
    *error = source_ + ": " + one_line(r.place + ": " + r.reason);
  }
  return false;
}
