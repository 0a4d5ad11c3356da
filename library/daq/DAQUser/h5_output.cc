#include "h5_output.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "cells.h"
#include "daquser_h5.h"
#include "number_format.h"
#include "output_status.h"

namespace daq::h5 {

namespace {

struct State {
  std::string file;
  bool file_given = false;
  std::string codec = "gzip";
  void* library = nullptr;
  const daquser_h5_api_t* api = nullptr;
  daquser_h5* writer = nullptr;
  bool failed = false;
  // Per channel: its group (-1: none yet), kind, and this event's block words.
  std::vector<int> group;
  std::vector<int> kind;
  // Pair names seen per channel, in the order first seen, and where this
  // cell's next name is looked for first: cells mostly name their pairs in
  // one order, so most names cost a compare, not a hash. Whether a cut was
  // reported.
  struct PairNames {
    std::unordered_map<std::string, size_t> place;
    std::vector<std::string> order;
    size_t next = 0;
  };
  std::vector<PairNames> pair_names;
  std::vector<bool> cut_reported;
  int groups_made = 0;
  bool channels_cut_reported = false;
  struct Block {
    uint32_t srv = 0, chan = 0;
    uint64_t macro_pulse = 0;
  };
  std::vector<Block> block;
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> descriptions;
  std::vector<int32_t> ints;
  std::string name;
  // Rows of the file so far, and per row cut short by a failed read the
  // first channel it lost: the channels from there on get code 3.
  uint64_t rows = 0;
  std::vector<std::pair<uint64_t, int>> cuts;
  std::vector<uint64_t> cut_rows;
  // Per channel: the last spectrum parameters of each member, the last
  // frame header.
  std::vector<std::map<int, vexa_spect_header_2010>> spectra;
  std::vector<std::optional<vexa_image_ext_frame_head>> frames;
};

State& state() {
  static State s;
  return s;
}

// The directory of this plug-in, where libDAQUserH5.so is installed beside it.
// A relative name is that of the program itself (the plug-in linked into
// it), or one the host gave dlopen: the program's own path serves the first.
std::string own_directory() {
  Dl_info info{};
  std::string path;
  if (dladdr(reinterpret_cast<void*>(&own_directory), &info) != 0 && info.dli_fname != nullptr) {
    path = info.dli_fname;
  }
  if (path.empty() || path[0] != '/') {
    char* absolute = realpath(path.c_str(), nullptr);
    if (absolute == nullptr) absolute = realpath("/proc/self/exe", nullptr);
    path = absolute != nullptr ? absolute : "";
    std::free(absolute);
  }
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The first failure gives the file up: one message, the temporary file
// removed, the text outputs going on; the end hook then fails the run.
void give_up(const char* when) {
  State& s = state();
  if (s.writer == nullptr) return;
  std::printf("%s: HDF5 file %s given up: %s\n", when, s.file.c_str(), s.api->error(s.writer));
  s.api->abandon(s.writer);
  s.writer = nullptr;
  s.failed = true;
  note_output_failure();
}

void check(int rc, const char* when = "vexa_user_loop()") {
  if (rc != 0) give_up(when);
}

// Every member and every pair name is a dataset of its own, and each costs
// the HDF5 library memory of its own: a channel keeps this many in the file.
// Hostile counts (65,536 members, as many pair names) would otherwise take
// gigabytes.
constexpr int kMaxFileMembers = 1024;
constexpr size_t kMaxFilePairNames = 1024;
// Channels with a group in the file; a run of more keeps the first ones.
constexpr int kMaxFileChannels = 16384;

// Reports once per channel and run that the file keeps part of a cell.
void report_cut(int i, const char* what, size_t kept) {
  State& s = state();
  if (s.cut_reported[i]) return;
  s.cut_reported[i] = true;
  std::printf("Channel %s: more than %zu %s, the HDF5 file keeps the first %zu\n", chans[i], kept,
              what, kept);
}

std::string column_name(int i) {
  std::string name = chans[i];
  if (subchans[i] >= 0) {
    name += ':';
    fmt::put_d(name, subchans[i]);
  }
  return name;
}

// Channel i's group for a cell of `kind`, made at its first cell.  -1 when
// the channel already has a group of another kind: the cell is then marked
// as of another kind and its values left out.
int group_of(int i, int kind) {
  State& s = state();
  if (s.writer == nullptr || i < 0 || static_cast<size_t>(i) >= s.group.size()) return -1;
  if (s.group[i] < 0) {
    if (s.groups_made >= kMaxFileChannels) {
      if (!s.channels_cut_reported) {
        std::printf("vexa_user_loop(): more than %d channels, the HDF5 file keeps the first %d\n",
                    kMaxFileChannels, kMaxFileChannels);
      }
      s.channels_cut_reported = true;
      return -1;
    }
    ++s.groups_made;
    int value_type = converts_to_int(i) ? DAQUSER_H5_INT32 : DAQUSER_H5_FLOAT32;
    s.cut_rows.clear();
    // Every row cut short before this channel, the last row too: a group
    // made by the end hook (a channel that never carried data) follows a
    // run whose last event may have failed.
    for (const auto& [row, from] : s.cuts) {
      if (from <= i) s.cut_rows.push_back(row);
    }
    int ch = s.api->add_channel(s.writer, column_name(i).c_str(), kind, value_type,
                                s.cut_rows.data(), s.cut_rows.size());
    if (ch < 0) {
      give_up("vexa_user_loop()");
      return -1;
    }
    s.group[i] = ch;
    s.kind[i] = kind;
    auto d = s.descriptions.find(chans[i]);
    if (d != s.descriptions.end()) {
      for (const auto& [name, value] : d->second) {
        check(s.api->channel_string(s.writer, ch, name.c_str(), value.c_str()));
      }
    }
    if (s.writer == nullptr) return -1;
  }
  if (s.kind[i] != kind) {
    check(s.api->missing(s.writer, s.group[i], kOtherKind));
    return -1;
  }
  return s.group[i];
}

// The name of `path` with its directory resolved, for comparing names of
// files that may not exist yet.
std::string resolved_name(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  char* real = realpath(dir.c_str(), nullptr);
  std::string out = real != nullptr ? std::string(real) + "/" + path.substr(slash + 1) : path;
  std::free(real);
  return out;
}

// Whether two names lead to the same file: the same device and inode when
// both exist, else the same name once their directories are resolved.
bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  return resolved_name(a) == resolved_name(b);
}

// The text output the HDF5 file would replace, or null.
const char* output_named_by(const std::string& h5) {
  if (!nodump && file != nullptr && same_file(h5, file)) return "the table file";
  if (evstatdump && fileids != nullptr && same_file(h5, fileids)) return "the event-ID file";
  if (dumpxml && xfile != nullptr && same_file(h5, xfile)) return "the XML description";
  return nullptr;
}

std::string option_words(int argc, char** argv) {
  std::string words;
  for (int k = 1; k < argc; ++k) {
    if (argv[k] == nullptr) continue;
    if (!words.empty()) words += ' ';
    words += argv[k];
  }
  return words;
}

}  // namespace

void set_file(const char* path) {
  State& s = state();
  s.file_given = path != nullptr;
  s.file = path != nullptr ? path : "";
}

void set_codec(const char* codec) { state().codec = codec != nullptr ? codec : "gzip"; }

bool requested() { return state().file_given; }

bool active() { return state().writer != nullptr; }

int start(vexa_daq_reader_base* reader, int generation, int argc, char** argv) {
  State& s = state();
  if (s.writer != nullptr) s.api->abandon(s.writer);  // a run that never ended
  s.writer = nullptr;
  s.failed = false;
  if (!s.file_given) return 0;
  if (s.library == nullptr) {
    std::string path = own_directory() + "/" DAQUSER_H5_LIBRARY;
    s.library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (s.library == nullptr) {
      std::printf("vexa_user_init(): cannot load the HDF5 writer %s: %s\n", path.c_str(),
                  dlerror());
      return -5;
    }
    auto entry =
        reinterpret_cast<const daquser_h5_api_t* (*)()>(dlsym(s.library, DAQUSER_H5_ENTRY));
    s.api = entry != nullptr ? entry() : nullptr;
    if (s.api == nullptr || s.api->version != DAQUSER_H5_API_VERSION) {
      std::printf("vexa_user_init(): cannot load the HDF5 writer %s: no entry %s of version %d\n",
                  path.c_str(), DAQUSER_H5_ENTRY, DAQUSER_H5_API_VERSION);
      dlclose(s.library);
      s.library = nullptr;
      s.api = nullptr;
      return -5;
    }
  }
  if (s.api->codec_available(s.codec.c_str()) == 0) {
    std::printf("vexa_user_init(): HDF5 codec %s cannot be had, gzip is used instead\n",
                s.codec.c_str());
    s.codec = "gzip";
  }
  if (const char* other = output_named_by(s.file)) {
    std::printf("vexa_user_init(): failed to open HDF5 file %s: it is %s\n", s.file.c_str(), other);
    return -5;
  }
  char error[512] = "";
  s.writer = s.api->open(s.file.c_str(), s.codec.c_str(), error, sizeof error);
  if (s.writer == nullptr) {
    std::printf("vexa_user_init(): failed to open HDF5 file %s: %s\n", s.file.c_str(), error);
    return -5;
  }
  s.group.assign(nchans, -1);
  s.kind.assign(nchans, 0);
  s.pair_names.assign(nchans, {});
  s.cut_reported.assign(nchans, false);
  s.groups_made = 0;
  s.channels_cut_reported = false;
  s.block.assign(nchans, {});
  s.descriptions.clear();
  s.rows = 0;
  s.cuts.clear();
  s.spectra.assign(nchans, {});
  s.frames.assign(nchans, std::nullopt);
  const std::vector<chan_descr_2010*>* list = reader->get_descr_list();
  for (size_t k = 0; list != nullptr && k < list->size(); ++k) {
    const chan_descr_2010* d = (*list)[k];
    if (d == nullptr) continue;
    std::string name(d->daq_name, strnlen(d->daq_name, sizeof d->daq_name));
    s.descriptions.emplace(name, d->attributes);  // the first description of a name
  }
  const char* when = "vexa_user_init()";
  check(s.api->run_int(s.writer, "generation", generation), when);
  if (s.writer != nullptr)
    check(s.api->run_string(s.writer, "plugin_options", option_words(argc, argv).c_str()), when);
  if (s.writer != nullptr) check(s.api->run_flag(s.writer, "plugin_options_inferred", 0), when);
  if (s.writer != nullptr) check(s.api->run_int(s.writer, "nbunch", nbunch), when);
  if (s.writer != nullptr) check(s.api->run_int(s.writer, "outmode", outmode), when);
  if (s.writer != nullptr) check(s.api->run_flag(s.writer, "status_columns", 1), when);
  if (s.writer != nullptr) check(s.api->run_string(s.writer, "codec", s.codec.c_str()), when);
  int events = reader->get_number_of_events();
  if (s.writer != nullptr && events > 0) {
    check(s.api->expect_events(s.writer, static_cast<uint64_t>(events)), when);
  }
  return s.writer != nullptr ? 0 : -5;
}

void begin_event(uint64_t id, uint32_t sec, uint32_t usec, const char* iso, uint32_t status,
                 int type, const char* type_name) {
  State& s = state();
  if (s.writer == nullptr) return;
  ++s.rows;
  check(s.api->begin_event(s.writer, id, sec, usec, iso, status, type, type_name));
}

void cut_short(int from) {
  State& s = state();
  if (s.writer == nullptr || s.rows == 0) return;
  // Channels with a group get the code now; those without keep the row for
  // when their group is made.
  bool later = false;
  for (size_t i = static_cast<size_t>(std::max(from, 0)); i < s.group.size(); ++i) {
    if (s.group[i] >= 0) {
      check(s.api->missing(s.writer, s.group[i], kCutShort));
      if (s.writer == nullptr) return;
    } else {
      later = true;
    }
  }
  if (later) s.cuts.emplace_back(s.rows - 1, from);
}

void channel_block(int i, uint32_t srv_block, uint32_t chan, uint64_t macro_pulse) {
  State& s = state();
  if (s.writer == nullptr || i < 0 || static_cast<size_t>(i) >= s.block.size()) return;
  s.block[i] = {srv_block, chan, macro_pulse};
}

void end_channel(int i) {
  State& s = state();
  if (s.writer == nullptr || i < 0 || static_cast<size_t>(i) >= s.group.size() || s.group[i] < 0) {
    return;
  }
  const State::Block& b = s.block[i];
  check(s.api->status(s.writer, s.group[i], b.srv, b.chan, b.macro_pulse));
}

void end_event() {
  State& s = state();
  if (s.writer == nullptr) return;
  check(s.api->end_event(s.writer));
}

void mark(int i) {
  int ch = group_of(i, DAQUSER_H5_MARK);
  if (ch >= 0) check(state().api->missing(state().writer, ch, kValue));
}

void scalar(int i, float value, bool as_int) {
  int ch = group_of(i, DAQUSER_H5_SCALAR);
  if (ch < 0) return;
  State& s = state();
  check(as_int ? s.api->scalar_i32(s.writer, ch, fmt::float_bits(value))
               : s.api->scalar_f32(s.writer, ch, value));
}

void pairs_begin(int i, int count) {
  int ch = group_of(i, DAQUSER_H5_PAIRS);
  if (ch >= 0) state().pair_names[static_cast<size_t>(i)].next = 0;
  if (ch >= 0) check(state().api->missing(state().writer, ch, count > 0 ? kValue : kEmpty));
}

void pair(int i, int k, const char* name, float value, bool as_int) {
  State& s = state();
  if (s.writer == nullptr || s.group[i] < 0 || s.kind[i] != DAQUSER_H5_PAIRS) return;
  // Pairs without a name are named by their place.
  if (name == nullptr) {
    s.name = "#";
    fmt::put_d(s.name, k);
    name = s.name.c_str();
  }
  State::PairNames& names = s.pair_names[i];
  if (names.next < names.order.size() && names.order[names.next] == name) {
    ++names.next;
  } else if (auto it = names.place.find(name); it != names.place.end()) {
    names.next = it->second + 1;
  } else if (names.order.size() >= kMaxFilePairNames) {
    report_cut(i, "pair names", kMaxFilePairNames);
    return;
  } else {
    names.place.emplace(name, names.order.size());
    names.order.emplace_back(name);
    names.next = names.order.size();
  }
  double v = as_int ? static_cast<double>(fmt::float_bits(value)) : static_cast<double>(value);
  check(s.api->pair(s.writer, s.group[i], name, v));
}

void spectrum_begin(int i) {
  int ch = group_of(i, DAQUSER_H5_SPECTRUM);
  if (ch >= 0) check(state().api->missing(state().writer, ch, kValue));
}

// False for a member past what the file keeps (reported once).
bool member_kept(int i, int m) {
  if (m < kMaxFileMembers) return true;
  report_cut(i, "spectrum members", kMaxFileMembers);
  return false;
}

void member(int i, int m, const float* values, size_t count, bool as_int) {
  State& s = state();
  if (s.writer == nullptr || s.group[i] < 0 || s.kind[i] != DAQUSER_H5_SPECTRUM) return;
  if (!member_kept(i, m)) return;
  if (as_int) {
    s.ints.resize(count);
    for (size_t k = 0; k < count; ++k) s.ints[k] = fmt::float_bits(values[k]);
    check(s.api->member_i32(s.writer, s.group[i], m, s.ints.data(), count));
  } else {
    check(s.api->member_f32(s.writer, s.group[i], m, values, count));
  }
}

void member_failed(int i, int m) {
  State& s = state();
  if (s.writer == nullptr || s.group[i] < 0 || s.kind[i] != DAQUSER_H5_SPECTRUM) return;
  if (!member_kept(i, m)) return;
  check(s.api->member_failed(s.writer, s.group[i], m));
}

void member_stat(int i, int m, int bit, float value) {
  State& s = state();
  if (s.writer == nullptr || s.group[i] < 0 || s.kind[i] != DAQUSER_H5_SPECTRUM) return;
  if (m >= kMaxFileMembers) return;
  check(s.api->member_stat(s.writer, s.group[i], m, bit, value));
}

void spectrum_parameters(int i, int m, const vexa_spect_header_2010& parameters) {
  State& s = state();
  if (s.writer == nullptr || i < 0 || static_cast<size_t>(i) >= s.spectra.size()) return;
  if (m >= kMaxFileMembers) return;
  s.spectra[i][m] = parameters;
}

void frame_header(int i, const vexa_image_ext_frame_head& header) {
  State& s = state();
  if (s.writer == nullptr || i < 0 || static_cast<size_t>(i) >= s.frames.size()) return;
  s.frames[i] = header;
}

namespace {

// The parameters as attributes, integers as integers, floats as numbers.
void write_parameters(int i) {
  State& s = state();
  int ch = s.group[i];
  auto integer = [&](const char* dataset, const char* name, int64_t v) {
    if (s.writer != nullptr) check(s.api->dataset_int(s.writer, ch, dataset, name, v));
  };
  auto real = [&](const char* dataset, const char* name, float v) {
    if (s.writer != nullptr) {
      check(s.api->dataset_real(s.writer, ch, dataset, name, static_cast<double>(v)));
    }
  };
  if (s.kind[i] == DAQUSER_H5_SPECTRUM) {
    for (const auto& [m, p] : s.spectra[i]) {
      std::string member = "Member" + std::to_string(m);
      const char* d = member.c_str();
      integer(d, "index", m);
      real(d, "start", p.start);
      real(d, "inc", p.inc);
      integer(d, "ndata", p.ndata);
      integer(d, "groups", p.groups);
      real(d, "group_inc", p.group_inc);
    }
  }
  if (s.kind[i] == DAQUSER_H5_IMAGE && s.frames[i]) {
    const vexa_image_ext_frame_head& h = *s.frames[i];
    const char* d = "Pixels";
    integer(d, "index", 0);
    integer(d, "width", h.width);
    integer(d, "height", h.height);
    integer(d, "aoi_width", h.aoi_width);
    integer(d, "aoi_height", h.aoi_height);
    integer(d, "x_start", h.x_start);
    integer(d, "y_start", h.y_start);
    integer(d, "bpp", h.bpp);
    integer(d, "ebitpp", h.ebitpp);
    integer(d, "hbin", h.hbin);
    integer(d, "vbin", h.vbin);
    integer(d, "source_format", h.source_format);
    integer(d, "image_format", h.image_format);
    integer(d, "frame", h.frame);
    integer(d, "event", h.event);
    real(d, "scale_x", h.scale_x);
    real(d, "scale_y", h.scale_y);
    real(d, "image_rotation", h.image_rotation);
    real(d, "fspare2", h.fspare2);
    real(d, "fspare3", h.fspare3);
    real(d, "fspare4", h.fspare4);
    integer(d, "image_flags", h.image_flags);
    integer(d, "ispare2", h.ispare2);
    integer(d, "ispare3", h.ispare3);
    integer(d, "ispare4", h.ispare4);
    integer(d, "length", h.length);
  }
}

}  // namespace

void image(int i, int bpp, const unsigned char* pixels, int width, int height, int64_t bytes) {
  int ch = group_of(i, DAQUSER_H5_IMAGE);
  if (ch < 0) return;
  State& s = state();
  int64_t count = 0;
  bool fits = width >= 0 && height >= 0 &&
              !__builtin_mul_overflow(static_cast<int64_t>(width), height, &count) &&
              (bpp == 1 || bpp == 2) && count <= bytes / bpp && (count == 0 || pixels != nullptr);
  if (!fits) {
    // Colour images and frames larger than the bytes delivered are left out.
    check(s.api->missing(s.writer, ch, bpp == 3 || bpp == 4 ? kOtherKind : kInvalidImage));
    return;
  }
  if (bpp == 1) {
    check(s.api->image_u8(s.writer, ch, pixels, width, height));
    return;
  }
  // The host's buffer may sit at an odd address: the writer copies bytes.
  check(s.api->image_u16(s.writer, ch, pixels, width, height));
}

void image_missing(int i, Code code) {
  int ch = group_of(i, DAQUSER_H5_IMAGE);
  if (ch >= 0) check(state().api->missing(state().writer, ch, code));
}

void structured(int i, bool converted) {
  int ch = group_of(i, DAQUSER_H5_STRUCTURED);
  if (ch >= 0) check(state().api->converted(state().writer, ch, converted ? 1 : 0));
}

void drop() {
  State& s = state();
  if (s.writer != nullptr) s.api->abandon(s.writer);
  s.writer = nullptr;
}

bool finish() {
  State& s = state();
  if (s.writer == nullptr) return !s.failed;
  // Channels that never carried data still get their group, as empty.
  for (size_t i = 0; i < s.group.size() && s.writer != nullptr; ++i) {
    if (s.group[i] < 0) group_of(static_cast<int>(i), DAQUSER_H5_EMPTY);
  }
  for (size_t i = 0; i < s.group.size() && s.writer != nullptr; ++i) {
    if (s.group[i] >= 0) write_parameters(static_cast<int>(i));
  }
  if (s.writer == nullptr) return false;
  char error[512] = "";
  daquser_h5* writer = s.writer;
  s.writer = nullptr;
  if (s.api->commit(writer, error, sizeof error) != 0) {
    std::printf("vexa_user_end(): HDF5 file %s given up: %s\n", s.file.c_str(), error);
    s.failed = true;
    note_output_failure();
    return false;
  }
  return !s.failed;
}

void reset() {
  State& s = state();
  if (s.writer != nullptr) s.api->abandon(s.writer);
  s.writer = nullptr;
  s.file.clear();
  s.file_given = false;
  s.codec = "gzip";
  s.failed = false;
  s.group.clear();
  s.kind.clear();
  s.pair_names.clear();
  s.cut_reported.clear();
  s.block.clear();
  s.descriptions.clear();
  s.spectra.clear();
  s.frames.clear();
}

}  // namespace daq::h5
