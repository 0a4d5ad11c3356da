#include "vexa_run.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

using json = nlohmann::ordered_json;

// A recording that breaks the format: where and why.
struct Refusal {
  std::string place;
  std::string reason;
};

[[noreturn]] void refuse(const std::string& place, const std::string& reason) {
  throw Refusal{place, reason};
}

std::string member_path(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

std::string index_path(const std::string& path, size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

const char* type_name(const json& j) {
  switch (j.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::string:
      return "a string";
    case json::value_t::array:
      return "an array";
    case json::value_t::object:
      return "an object";
    default:
      return "a number";
  }
}

void expect(bool ok, const json& j, const std::string& path, const char* what) {
  if (!ok) refuse(path, std::string("expected ") + what + ", found " + type_name(j));
}

const json* find(const json& obj, const char* key) {
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

const json& require(const json& obj, const char* key, const std::string& path) {
  const json* j = find(obj, key);
  if (j == nullptr) refuse(path, std::string("missing required key \"") + key + "\"");
  return *j;
}

// Any integer in [lo, hi]; JSON numbers with a fraction or exponent are refused.
int64_t to_int(const json& j, const std::string& path, int64_t lo, int64_t hi) {
  expect(j.is_number_integer(), j, path, "an integer");
  if (j.is_number_unsigned()) {
    uint64_t u = j.get<uint64_t>();
    if (u > static_cast<uint64_t>(hi)) refuse(path, "number out of range");
    return static_cast<int64_t>(u);
  }
  int64_t v = j.get<int64_t>();
  if (v < lo || v > hi) refuse(path, "number out of range");
  return v;
}

uint64_t to_u64(const json& j, const std::string& path, uint64_t hi) {
  expect(j.is_number_integer(), j, path, "an integer");
  if (!j.is_number_unsigned()) {
    if (j.get<int64_t>() < 0) refuse(path, "number out of range");
  }
  uint64_t u = j.get<uint64_t>();
  if (u > hi) refuse(path, "number out of range");
  return u;
}

int32_t to_i32(const json& j, const std::string& path) {
  return static_cast<int32_t>(to_int(j, path, INT32_MIN, INT32_MAX));
}

uint32_t to_u32(const json& j, const std::string& path) {
  return static_cast<uint32_t>(to_u64(j, path, UINT32_MAX));
}

bool to_bool(const json& j, const std::string& path) {
  expect(j.is_boolean(), j, path, "a boolean");
  return j.get<bool>();
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A FLOAT: a number rounded to single precision, "nan", "inf", "-inf", or
// "0x" and eight hex digits giving the exact bit pattern.
float to_float(const json& j, const std::string& path) {
  if (j.is_number()) return static_cast<float>(j.get<double>());
  expect(j.is_string(), j, path, "a number or a float text");
  const std::string& s = j.get_ref<const std::string&>();
  if (s == "nan") return std::numeric_limits<float>::quiet_NaN();
  if (s == "inf") return std::numeric_limits<float>::infinity();
  if (s == "-inf") return -std::numeric_limits<float>::infinity();
  if (s.size() == 10 && s[0] == '0' && s[1] == 'x') {
    uint32_t bits = 0;
    for (size_t k = 2; k < 10; ++k) {
      int d = hex_digit(s[k]);
      if (d < 0) refuse(path, "bad hex digit in \"" + s + "\"");
      bits = bits << 4 | static_cast<uint32_t>(d);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  refuse(path, "bad float text \"" + s + "\"");
}

std::vector<float> to_floats(const json& j, const std::string& path) {
  expect(j.is_array(), j, path, "an array");
  std::vector<float> values;
  values.reserve(j.size());
  for (size_t k = 0; k < j.size(); ++k) values.push_back(to_float(j[k], index_path(path, k)));
  return values;
}

std::vector<unsigned char> to_bytes(const json& j, const std::string& path) {
  expect(j.is_string(), j, path, "a hex string");
  const std::string& s = j.get_ref<const std::string&>();
  if (s.size() % 2 != 0) refuse(path, "hex string of odd length");
  std::vector<unsigned char> bytes(s.size() / 2);
  for (size_t k = 0; k < bytes.size(); ++k) {
    int hi = hex_digit(s[2 * k]);
    int lo = hex_digit(s[2 * k + 1]);
    if (hi < 0 || lo < 0) refuse(path, "bad hex digit at offset " + std::to_string(2 * k));
    bytes[k] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return bytes;
}

const json& as_object(const json& j, const std::string& path) {
  expect(j.is_object(), j, path, "an object");
  return j;
}

const json& as_array(const json& j, const std::string& path) {
  expect(j.is_array(), j, path, "an array");
  return j;
}

// Reads an optional key with `read` when present.
template <typename T, typename Read>
void optional_key(const json& obj, const char* key, const std::string& path, T& out, Read read) {
  if (const json* j = find(obj, key)) out = read(*j, member_path(path, key));
}

vexa_run_block parse_block(const json& j, const std::string& path, int generation) {
  as_object(j, path);
  vexa_run_block b;
  optional_key(j, "sec", path, b.sec, to_u32);
  optional_key(j, "usec", path, b.usec, to_u32);
  if (const json* m = find(j, "mpulse")) {
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

vexa_run_member parse_member(const json& j, const std::string& path) {
  as_object(j, path);
  vexa_run_member m;
  optional_key(j, "fails", path, m.fails, to_bool);
  optional_key(j, "start", path, m.start, to_float);
  optional_key(j, "inc", path, m.inc, to_float);
  optional_key(j, "groups", path, m.groups, to_i32);
  optional_key(j, "group_inc", path, m.group_inc, to_float);
  optional_key(j, "values", path, m.values, to_floats);
  if (const json* n = find(j, "ndata")) {
    m.ndata = to_i32(*n, member_path(path, "ndata"));
  } else {
    int64_t count = static_cast<int64_t>(m.values.size());
    if (m.groups >= 2) count /= m.groups;
    m.ndata = static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
  }
  if (const json* s = find(j, "stat")) {
    std::string p = member_path(path, "stat");
    as_object(*s, p);
    m.has_stat = true;
    optional_key(*s, "mask", p, m.stat.mask, to_u32);
    if (const json* val = find(*s, "val")) {
      std::string vp = member_path(p, "val");
      as_object(*val, vp);
      for (const auto& [key, value] : val->items()) {
        std::string kp = member_path(vp, key);
        char* end = nullptr;
        long bit = std::strtol(key.c_str(), &end, 10);
        if (key.empty() || *end != '\0' || bit < 0 || bit > 31) {
          refuse(kp, "statistics key must be a bit number from 0 to 31");
        }
        m.stat.val[bit] = to_float(value, kp);
      }
    }
  }
  return m;
}

vexa_run_roi parse_roi(const json& j, const std::string& path) {
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
  roi.has_mean_values = find(j, "mean_values") != nullptr;
  optional_key(j, "mean_values", path, roi.mean_values, to_floats);
  return roi;
}

void parse_frame_head(const json& j, const std::string& path, vexa_image_ext_frame_head& head) {
  as_array(j, path);
  if (j.size() != 25) refuse(path, "expected 25 frame-header fields");
  unsigned char* out = reinterpret_cast<unsigned char*>(&head);
  for (size_t k = 0; k < 25; ++k) {
    std::string p = index_path(path, k);
    uint32_t bits;
    if (k >= 14 && k <= 19) {
      float f = to_float(j[k], p);
      std::memcpy(&bits, &f, sizeof bits);
    } else if (k == 12 || k == 13) {
      bits = to_u32(j[k], p);
    } else {
      bits = static_cast<uint32_t>(to_i32(j[k], p));
    }
    std::memcpy(out + 4 * k, &bits, sizeof bits);
  }
}

vexa_run_image parse_image(const json& j, const std::string& path) {
  as_object(j, path);
  vexa_run_image im;
  optional_key(j, "nframe", path, im.nframe, to_i32);
  optional_key(j, "compr", path, im.compr, to_i32);
  optional_key(j, "bpp", path, im.bpp, to_i32);
  optional_key(j, "nx", path, im.nx, to_i32);
  optional_key(j, "ny", path, im.ny, to_i32);
  optional_key(j, "data", path, im.data, to_bytes);
  // Only the bytes the recording gives are kept; the zero tail up to `len`
  // is served when an image is read, so a small recording that claims many
  // huge images costs no memory.
  constexpr int32_t kMaxImageBytes = 1 << 28;
  if (im.data.size() > kMaxImageBytes) refuse(member_path(path, "data"), "image too large");
  im.len = static_cast<int32_t>(im.data.size());
  if (const json* l = find(j, "len")) {
    im.len = static_cast<int32_t>(to_int(*l, member_path(path, "len"), 0, INT32_MAX));
    if (im.len > kMaxImageBytes) refuse(member_path(path, "len"), "image too large");
  }
  im.size = im.len;
  optional_key(j, "size", path, im.size, to_i32);
  if (const json* h = find(j, "frame_head")) {
    parse_frame_head(*h, member_path(path, "frame_head"), im.frame_head);
  }
  return im;
}

vexa_run_channel parse_channel(const json& j, const std::string& path, int generation) {
  as_object(j, path);
  vexa_run_channel c;
  c.type = to_i32(require(j, "type", path), member_path(path, "type"));
  if (const json* b = find(j, "block"))
    c.block = parse_block(*b, member_path(path, "block"), generation);
  if (const json* h = find(j, "header")) {
    std::string hp = member_path(path, "header");
    as_object(*h, hp);
    if (const json* n = find(*h, "name")) {
      expect(n->is_string(), *n, member_path(hp, "name"), "a string");
      c.header_name = n->get<std::string>();
    }
    optional_key(*h, "status", hp, c.header_status, to_i32);
    optional_key(*h, "fails", hp, c.header_fails, to_bool);
  }
  if (const json* s = find(j, "single")) c.single = to_float(*s, member_path(path, "single"));
  if (const json* pairs = find(j, "pairs")) {
    std::string pp = member_path(path, "pairs");
    as_array(*pairs, pp);
    for (size_t k = 0; k < pairs->size(); ++k) {
      const json& pair = (*pairs)[k];
      std::string p = index_path(pp, k);
      if (!pair.is_array() || pair.size() != 2) refuse(p, "expected a [NAME, FLOAT] pair");
      std::optional<std::string> name;
      if (!pair[0].is_null()) {
        expect(pair[0].is_string(), pair[0], index_path(p, 0), "a string or null");
        name = pair[0].get<std::string>();
      }
      c.pairs.emplace_back(std::move(name), to_float(pair[1], index_path(p, 1)));
    }
  }
  if (const json* members = find(j, "members")) {
    std::string mp = member_path(path, "members");
    as_array(*members, mp);
    for (size_t k = 0; k < members->size(); ++k) {
      c.members.push_back(parse_member((*members)[k], index_path(mp, k)));
    }
  }
  if (const json* n = find(j, "nmemb")) c.nmemb = to_i32(*n, member_path(path, "nmemb"));
  if (const json* r = find(j, "roi")) c.roi = parse_roi(*r, member_path(path, "roi"));
  if (const json* im = find(j, "image")) c.image = parse_image(*im, member_path(path, "image"));
  optional_key(j, "convertible", path, c.convertible, to_bool);
  return c;
}

vexa_run_event parse_event(const json& j, const std::string& path, int generation) {
  as_object(j, path);
  vexa_run_event e;
  const std::string id_path = member_path(path, "id");
  e.id = to_u64(require(j, "id", path), id_path, generation == 2010 ? UINT32_MAX : UINT64_MAX);
  optional_key(j, "type", path, e.type, to_i32);
  optional_key(j, "sec", path, e.sec, to_u32);
  optional_key(j, "usec", path, e.usec, to_u32);
  optional_key(j, "status", path, e.status, to_i32);
  optional_key(j, "header_fails", path, e.header_fails, to_bool);
  if (const json* b = find(j, "image_block")) {
    e.image_block = parse_block(*b, member_path(path, "image_block"), generation);
  }
  if (const json* b = find(j, "fast_block")) {
    e.fast_block = parse_block(*b, member_path(path, "fast_block"), generation);
  }
  if (const json* chans = find(j, "channels")) {
    std::string cp = member_path(path, "channels");
    as_object(*chans, cp);
    for (const auto& [selector, value] : chans->items()) {
      e.channels.emplace(selector, parse_channel(value, member_path(cp, selector), generation));
    }
  }
  return e;
}

// Description keys become XML attribute names: a letter or "_", then
// letters, digits, "_", "-" or ".".
bool is_xml_name(const std::string& key) {
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

std::unique_ptr<chan_descr_2010> parse_description(const json& j, const std::string& path) {
  as_object(j, path);
  auto d = std::make_unique<chan_descr_2010>();
  const json& name = require(j, "daq_name", path);
  expect(name.is_string(), name, member_path(path, "daq_name"), "a string");
  const std::string& text = name.get_ref<const std::string&>();
  if (text.size() > 255) refuse(member_path(path, "daq_name"), "longer than 255 bytes");
  std::memset(d->daq_name, 0, sizeof d->daq_name);
  std::memcpy(d->daq_name, text.data(), text.size());
  for (const auto& [key, value] : j.items()) {
    if (key == "daq_name") continue;
    if (!is_xml_name(key))
      refuse(member_path(path, key), "key is not usable as an XML attribute name");
    expect(value.is_string() || value.is_number(), value, member_path(path, key),
           "a string or a number");
    d->attributes.emplace_back(key, value.is_string() ? value.get<std::string>() : value.dump());
  }
  return d;
}

void add_description(vexa_run& run, std::unique_ptr<chan_descr_2010> d) {
  run.descr_list.push_back(d.get());
  run.descriptions.push_back(std::move(d));
}

std::unique_ptr<vexa_run> parse_document(const json& doc) {
  as_object(doc, "top level");
  auto run = std::make_unique<vexa_run>();
  const json& gen = require(doc, "generation", "top level");
  run->generation = static_cast<int>(to_int(gen, "generation", INT32_MIN, INT32_MAX));
  if (run->generation != 2010 && run->generation != 2024) {
    refuse("generation", "unknown generation " + std::to_string(run->generation));
  }
  const json& chans = as_array(require(doc, "channels", "top level"), "channels");
  for (size_t k = 0; k < chans.size(); ++k) {
    std::string p = index_path("channels", k);
    as_object(chans[k], p);
    vexa_run_channel_entry entry;
    const json& name = require(chans[k], "name", p);
    if (!name.is_null()) {
      expect(name.is_string(), name, member_path(p, "name"), "a string or null");
      entry.name = name.get<std::string>();
    }
    optional_key(chans[k], "sub", p, entry.sub, to_i32);
    run->channels.push_back(std::move(entry));
  }
  if (const json* descrs = find(doc, "descriptions")) {
    as_array(*descrs, "descriptions");
    for (size_t k = 0; k < descrs->size(); ++k) {
      add_description(*run, parse_description((*descrs)[k], index_path("descriptions", k)));
    }
  } else {
    std::vector<std::string> seen;
    for (const auto& entry : run->channels) {
      if (!entry.name || entry.name->size() > 255) continue;
      if (std::find(seen.begin(), seen.end(), *entry.name) != seen.end()) continue;
      seen.push_back(*entry.name);
      auto d = std::make_unique<chan_descr_2010>();
      std::memset(d->daq_name, 0, sizeof d->daq_name);
      std::memcpy(d->daq_name, entry.name->data(), entry.name->size());
      add_description(*run, std::move(d));
    }
  }
  if (const json* e = find(doc, "empty_events")) {
    run->empty_events = to_int(*e, "empty_events", INT32_MIN, INT32_MAX);
  }
  if (const json* r = find(doc, "reported_events"); r != nullptr && !r->is_null()) {
    run->reported_events = to_int(*r, "reported_events", INT32_MIN, INT32_MAX);
  }
  const json& events = as_array(require(doc, "events", "top level"), "events");
  run->events.reserve(events.size());
  for (size_t k = 0; k < events.size(); ++k) {
    run->events.push_back(parse_event(events[k], "event " + std::to_string(k), run->generation));
  }
  return run;
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

}  // namespace

std::string vexa_selector(const vexa_run_channel_entry& entry) {
  std::string s = entry.name.value_or("");
  if (entry.sub >= 0) s += ":" + std::to_string(entry.sub);
  return s;
}

namespace {

// Counts what the parsed document of a text would hold, without building it.
struct DocumentSize : nlohmann::json_sax<json> {
  size_t values = 0, keys = 0, string_bytes = 0;
  bool null() override { return value(); }
  bool boolean(bool) override { return value(); }
  bool number_integer(number_integer_t) override { return value(); }
  bool number_unsigned(number_unsigned_t) override { return value(); }
  bool number_float(number_float_t, const string_t&) override { return value(); }
  bool string(string_t& s) override {
    string_bytes += s.size() + 1;
    return value();
  }
  bool binary(binary_t& b) override {
    string_bytes += b.size();
    return value();
  }
  bool start_object(size_t) override { return value(); }
  bool key(string_t& k) override {
    string_bytes += k.size() + 1;
    ++keys;
    return true;
  }
  bool end_object() override { return true; }
  bool start_array(size_t) override { return value(); }
  bool end_array() override { return true; }
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
  bool value() {
    ++values;
    return true;
  }
  // Bytes the document takes, a little over: values, their strings, keys.
  size_t bytes() const { return values * 2 * sizeof(json) + keys * 96 + string_bytes * 2; }
};

// False when the memory the parsed document needs cannot be had.  Running
// out while parsing is no clean failure: the parser frees a half-built
// document with allocations of its own, and a failed one ends the process.
bool document_fits(std::string_view text) {
  DocumentSize size;
  json::sax_parse(text.begin(), text.end(), &size, nlohmann::detail::input_format_t::json, false);
  void* probe = std::malloc(size.bytes());
  std::free(probe);
  return probe != nullptr || size.bytes() == 0;
}

}  // namespace

std::unique_ptr<vexa_run> vexa_parse_run(std::string_view text, const std::string& source,
                                         std::string* error) {
  if (!document_fits(text)) {
    *error = source + ": out of memory while loading the recording";
    return nullptr;
  }
  json doc;
  try {
    doc = json::parse(text.begin(), text.end());
  } catch (const std::bad_alloc&) {
    *error = source + ": out of memory while loading the recording";
    return nullptr;
  } catch (const json::exception& e) {
    // Syntax errors, and numbers beyond what a double holds (out_of_range).
    *error = source + ": " + one_line(parse_error_text(e.what()));
    return nullptr;
  }
  try {
    return parse_document(doc);
  } catch (const std::bad_alloc&) {
    *error = source + ": out of memory while loading the recording";
    return nullptr;
  } catch (const Refusal& r) {
    *error = source + ": " + one_line(r.place + ": " + r.reason);
    return nullptr;
  } catch (const json::exception& e) {
    *error = source + ": " + one_line(e.what());
    return nullptr;
  }
}

namespace {

std::unique_ptr<vexa_run> load_run_file(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot open: " + std::strerror(errno);
    return nullptr;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    *error = path + ": cannot read: " + std::strerror(errno);
    return nullptr;
  }
  return vexa_parse_run(text.str(), path, error);
}

}  // namespace

std::unique_ptr<vexa_run> vexa_load_run(const std::string& path, std::string* error) {
  // A directory opens as a stream and then reads as nothing at all.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    *error = path + ": " + std::strerror(EISDIR);
    return nullptr;
  }
  try {
    return load_run_file(path, error);
  } catch (const std::bad_alloc&) {
    *error = path + ": out of memory while loading the recording";
    return nullptr;
  }
}

bool vexa_append_run(vexa_run& run, vexa_run&& more, const std::string& source,
                     std::string* error) {
  if (more.generation != run.generation) {
    *error = source + ": generation: " + std::to_string(more.generation) +
             " differs from the first recording's " + std::to_string(run.generation);
    return false;
  }
  if (run.reported_events || more.reported_events) {
    run.reported_events = run.reported_events.value_or(static_cast<int64_t>(run.events.size())) +
                          more.reported_events.value_or(static_cast<int64_t>(more.events.size()));
  }
  run.empty_events += more.empty_events;
  run.events.insert(run.events.end(), std::make_move_iterator(more.events.begin()),
                    std::make_move_iterator(more.events.end()));
  return true;
}

bool vexa_select_channels(vexa_run& run, const std::vector<std::string>& selectors,
                          std::string* error) {
  std::vector<vexa_run_channel_entry> chosen;
  for (const std::string& sel : selectors) {
    auto it = std::find_if(run.channels.begin(), run.channels.end(), [&](const auto& entry) {
      return entry.name && vexa_selector(entry) == sel;
    });
    if (it == run.channels.end()) {
      *error = "no recorded channel is named \"" + sel + "\"";
      return false;
    }
    chosen.push_back(*it);
  }
  run.channels = std::move(chosen);
  return true;
}
