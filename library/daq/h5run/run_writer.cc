#include "run_writer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "attributes.h"
#include "run_channel.h"
#include "temporary_file.h"

namespace h5run {

namespace {

// Rows of a block of staged events, and so of a staged dataset's chunks,
// when the bound allows them.
constexpr uint64_t kStageRows = 1024;

// Names a dataset of a channel group may have besides pair datasets.
constexpr const char* kChannelDatasets[] = {"Missing", "SrvBlockStatus", "ChanStatus", "MacroPulse",
                                            "Value",   "Length",         "Width",      "Height",
                                            "Pixels",  "Converted",      "EventId"};
// Group attributes of the layout; a description attribute of the same name
// is stored as "description_<name>".
constexpr const char* kChannelAttributes[] = {"column",
                                              "kind",
                                              "kind_source",
                                              "missing_codes",
                                              "length_codes",
                                              "pair_names",
                                              "pair_datasets",
                                              "NX_class",
                                              "signal",
                                              "axes",
                                              "cells_present",
                                              "cells_empty",
                                              "cells_not_found",
                                              "cells_no_image",
                                              "values_invalid",
                                              "cells_cut_short",
                                              "cells_other_kind",
                                              "cells_size_differs",
                                              "cells_not_converted"};
constexpr const char* kRunDatasets[] = {"EventId", "Time",         "TimeSec",   "TimeUsec",
                                        "TimeISO", "EvHeadStatus", "EventType", "EventTypeName"};

// HDF5 link names cannot hold '/' or be "." ; '%' is escaped so that the
// escaping can be undone.
std::string escape(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '/') {
      out += "%2F";
    } else if (c == '%') {
      out += "%25";
    } else {
      out += c;
    }
  }
  if (out.empty() || out == ".") out = out.empty() ? "%00" : "%2E";
  return out;
}

hid_t value_type(ValueType v) {
  switch (v) {
    case ValueType::kFloat64:
      return H5T_NATIVE_DOUBLE;
    case ValueType::kFloat32:
      return H5T_NATIVE_FLOAT;
    case ValueType::kInt32:
      return H5T_NATIVE_INT32;
  }
  return H5T_NATIVE_DOUBLE;
}

// Copies `count` values of type S into elements of the value type `v`.
template <typename S>
void convert(ValueType v, const S* in, size_t count, void* out) {
  switch (v) {
    case ValueType::kFloat64:
      std::copy(in, in + count, static_cast<double*>(out));
      break;
    case ValueType::kFloat32:
      std::transform(in, in + count, static_cast<float*>(out),
                     [](S x) { return static_cast<float>(x); });
      break;
    case ValueType::kInt32:
      std::transform(in, in + count, static_cast<int32_t*>(out), [](S x) {
        if constexpr (std::is_floating_point_v<S>) {
          // 2^31 itself does not fit: compared as doubles, where it is exact.
          double d = static_cast<double>(x);
          if (!(d >= -2147483648.0 && d < 2147483648.0)) return int32_t{0};
        }
        return static_cast<int32_t>(x);
      });
      break;
  }
}

}  // namespace

const char* missing_codes_text() {
  return "0 value, 1 empty cell, 2 not found, 3 row cut short, 4 cell of another kind, "
         "5 size differs, 6 no image, 7 invalid image, 8 not converted";
}

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::kEmpty:
      return "empty";
    case Kind::kMark:
      return "mark";
    case Kind::kScalar:
      return "scalar";
    case Kind::kScalarInt:
      return "scalar_int";
    case Kind::kPairs:
      return "pairs";
    case Kind::kSpectrum:
      return "spectrum";
    case Kind::kImage:
      return "image";
    case Kind::kStructured:
      return "structured";
  }
  return "?";
}

RunWriter::RunWriter(const std::string& path, const Options& options)
    : path_(path), options_(options), compression_{options.codec, options.gzip_level} {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  if (options.codec != Codec::kNone && !codec_available(options.codec)) {
    throw Error("the HDF5 filter of the chosen codec is not available");
  }
  check_target(path);
  make_temporary();
  try {
    PropList fapl(check(H5Pcreate(H5P_FILE_ACCESS), "create a property list"));
    // Closing the file closes whatever is still open in it, also after errors.
    H5Pset_fclose_degree(fapl.get(), H5F_CLOSE_STRONG);
    // Runs of thousands of channels have tens of thousands of datasets, each
    // touched at every write: their headers and chunk indexes stay cached.
    H5AC_cache_config_t mdc{};
    mdc.version = H5AC__CURR_CACHE_CONFIG_VERSION;
    if (H5Pget_mdc_config(fapl.get(), &mdc) >= 0) {
      mdc.set_initial_size = true;
      mdc.initial_size = size_t{32} << 20;
      mdc.max_size = std::max(mdc.max_size, size_t{64} << 20);
      mdc.min_size = std::min(mdc.min_size, mdc.initial_size);
      H5Pset_mdc_config(fapl.get(), &mdc);
    }
    // HDF5 1.10's chunk indexes: a few hundred bytes a dataset instead of a
    // B-tree node of kilobytes, which on runs of thousands of channels made
    // the file larger than the table. Readers need HDF5 1.10 or later.
    H5Pset_libver_bounds(fapl.get(), H5F_LIBVER_V110, H5F_LIBVER_LATEST);
    file_ = File(
        check(H5Fcreate(temp_.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl.get()), "create " + temp_));
    // Channels keep the table's column order: readers that iterate /run see
    // its links in the order they were made.
    PropList gcpl(check(H5Pcreate(H5P_GROUP_CREATE), "create a property list"));
    H5Pset_link_creation_order(gcpl.get(), H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED);
    H5Pset_obj_track_times(gcpl.get(), false);
    channel_gcpl_ = PropList(check(H5Pcreate(H5P_GROUP_CREATE), "create a property list"));
    H5Pset_obj_track_times(channel_gcpl_.get(), false);
    // A channel's own attributes (a dozen and more, with its description's)
    // stay in its object header: past the library's default of eight they
    // would move to a heap and index of their own in every group, which
    // doubled the cost of writing them and of closing the file.
    H5Pset_attr_phase_change(channel_gcpl_.get(), 64, 48);
    H5Pset_link_phase_change(channel_gcpl_.get(), 32, 24);
    H5Pset_est_link_info(channel_gcpl_.get(), 6, 14);
    run_ = Group(check(H5Gcreate2(file_.get(), "run", H5P_DEFAULT, gcpl.get(), H5P_DEFAULT),
                       "create the group /run"));
    set_attribute("layout_version", kLayoutVersion);
    set_attribute("producer", options.producer);
    set_attribute("fill_value", options.fill);
    const uint64_t zero64 = 0;
    const int64_t zero_time = 0;
    const uint32_t zero32 = 0;
    const char* blank = "";
    auto add = [&](const char* name, hid_t type, const void* fill) {
      event_columns_.push_back(new_column(run_.get(), name, type, std::vector<hsize_t>{}, fill, 0));
    };
    add("EventId", H5T_NATIVE_UINT64, &zero64);
    add("Time", H5T_NATIVE_INT64, &zero_time);
    add("TimeSec", H5T_NATIVE_UINT32, &zero32);
    add("TimeUsec", H5T_NATIVE_UINT32, &zero32);
    Datatype text = utf8_string_type();
    add("TimeISO", text.get(), &blank);
    link_names_.insert(std::begin(kRunDatasets), std::end(kRunDatasets));
    if (options.event_status) {
      const uint32_t zero = 0;
      ev_status_ = new_column(run_.get(), "EvHeadStatus", H5T_NATIVE_UINT32, {}, &zero, 0);
    }
    if (options.event_type) {
      const int32_t zero = 0;
      ev_type_ = new_column(run_.get(), "EventType", H5T_NATIVE_INT32, {}, &zero, 0);
      ev_type_name_ = new_column(run_.get(), "EventTypeName", text.get(), {}, &blank, 0);
    }
  } catch (...) {
    abandon();
    throw;
  }
}

void RunWriter::make_temporary() {
  // No signal between making the file and noting its name for removal.
  SignalsHeld held;
  temp_ = path_ + ".tmp-XXXXXX";
  int fd = mkstemp(temp_.data());
  if (fd < 0) {
    std::string why = std::strerror(errno);
    temp_.clear();
    throw Error("cannot create a file beside " + path_ + ": " + why);
  }
  ::close(fd);
  temp_slot_ = note_temporary(temp_);
}

RunWriter::~RunWriter() {
  if (!done_) abandon();
}

RunWriter::Channel& RunWriter::channel(int ch) {
  if (ch < 0 || static_cast<size_t>(ch) >= channels_.size()) {
    throw Error("no channel " + std::to_string(ch));
  }
  return *channels_[static_cast<size_t>(ch)];
}

RunWriter::Hot& RunWriter::hot(int ch) {
  if (ch < 0 || static_cast<size_t>(ch) >= hot_.size()) {
    throw Error("no channel " + std::to_string(ch));
  }
  return hot_[static_cast<size_t>(ch)];
}

uint64_t RunWriter::row() const {
  if (!in_event_) throw Error("a channel value outside begin_event() and end_event()");
  return events_ - 1;
}

void RunWriter::set_attribute(std::string_view name, std::string_view value) {
  wait();
  write_string_attribute(run_.get(), name, value);
}
void RunWriter::set_attribute(std::string_view name, int64_t value) {
  wait();
  write_attribute(run_.get(), name, H5T_NATIVE_INT64, &value);
}
void RunWriter::set_attribute(std::string_view name, uint64_t value) {
  wait();
  write_attribute(run_.get(), name, H5T_NATIVE_UINT64, &value);
}
void RunWriter::set_attribute(std::string_view name, uint8_t value) {
  wait();
  write_attribute(run_.get(), name, H5T_NATIVE_UINT8, &value);
}
void RunWriter::set_attribute(std::string_view name, double value) {
  wait();
  write_attribute(run_.get(), name, H5T_NATIVE_DOUBLE, &value);
}

int RunWriter::add_channel(const ChannelSpec& spec) {
  wait();
  std::string link = escape(spec.column);
  std::string unique = link;
  for (int k = 2; link_names_.count(unique) != 0; ++k) unique = link + "#" + std::to_string(k);
  link_names_.insert(unique);
  auto c = std::make_unique<Channel>();
  c->spec = spec;
  c->link = unique;
  if (spec.kind == Kind::kScalarInt) c->spec.values = ValueType::kInt32;
  if (c->spec.stats != ValueType::kFloat32) c->spec.stats = ValueType::kFloat64;
  c->group = Group(
      check(H5Gcreate2(run_.get(), unique.c_str(), H5P_DEFAULT, channel_gcpl_.get(), H5P_DEFAULT),
            "create the group /run/" + unique));
  hid_t g = c->group.get();
  write_string_attribute(g, "column", spec.column);
  write_string_attribute(g, "kind", kind_name(spec.kind));
  write_string_attribute(g, "kind_source", spec.kind_source);
  write_string_attribute(g, "missing_codes", missing_codes_text());
  uint64_t first = in_event_ ? events_ - 1 : events_;
  c->first_row = first;
  auto column = [&](const char* name, hid_t type, const void* fill) {
    return new_column(g, name, type, std::vector<hsize_t>{}, fill, first);
  };
  const uint8_t not_found = static_cast<uint8_t>(Missing::kNotFound), no = 0;
  const uint32_t zero32 = 0;
  const uint64_t zero64 = 0;
  const int32_t zero = 0;
  c->links.insert(std::begin(kChannelDatasets), std::end(kChannelDatasets));
  c->links.insert({"PixelY", "PixelX", "StatBit"});
  if (!spec.cut_short_rows.empty() && spec.cut_short_rows.front() < first) {
    // Cells cut short before the channel had its group: those rows are
    // written first, the rows between keep the fill (in a buffer of the
    // column's own: the stage holds the current block's rows only).
    c->missing = new_column(g, "Missing", H5T_NATIVE_UINT8, {}, &not_found,
                            spec.cut_short_rows.front(), false, false);
    const auto cut = static_cast<uint8_t>(Missing::kCutShort);
    for (uint64_t r : spec.cut_short_rows) {
      if (r < first) *static_cast<uint8_t*>(c->missing->row(r)) = cut;
    }
  } else {
    c->missing = column("Missing", H5T_NATIVE_UINT8, &not_found);
  }
  if (spec.status) {
    c->srv = column("SrvBlockStatus", H5T_NATIVE_UINT32, &zero32);
    c->chan = column("ChanStatus", H5T_NATIVE_UINT32, &zero32);
  }
  if (spec.macro_pulse) c->macro = column("MacroPulse", H5T_NATIVE_UINT64, &zero64);
  const double fill = options_.fill;
  const float fill32 = static_cast<float>(options_.fill);
  const void* value_fill = c->spec.values == ValueType::kFloat64 ? static_cast<const void*>(&fill)
                           : c->spec.values == ValueType::kFloat32
                               ? static_cast<const void*>(&fill32)
                               : &kIntFill;
  switch (spec.kind) {
    case Kind::kScalar:
    case Kind::kScalarInt:
      c->value = column("Value", value_type(c->spec.values), value_fill);
      break;
    case Kind::kPairs:
    case Kind::kImage:
      c->length = column("Length", H5T_NATIVE_INT32, &zero);
      break;
    case Kind::kStructured:
      if (spec.converted) c->converted = column("Converted", H5T_NATIVE_UINT8, &no);
      break;
    default:
      break;
  }
  if (spec.kind == Kind::kSpectrum) {
    write_string_attribute(g, "length_codes", "-1 member not in the cell, -2 member without data");
  }
  auto slot = [](const std::unique_ptr<Column>& col) {
    return col && col->staged() ? static_cast<uint32_t>(col->slot()) : Hot::kNoSlot;
  };
  Hot h;
  h.missing = slot(c->missing);
  h.value = slot(c->value);
  h.length = spec.kind == Kind::kPairs ? slot(c->length) : Hot::kNoSlot;
  h.srv = slot(c->srv);
  h.chan = slot(c->chan);
  h.macro = slot(c->macro);
  h.values = c->spec.values;
  h.is_pairs = spec.kind == Kind::kPairs;
  hot_.push_back(h);
  channels_.push_back(std::move(c));
  return static_cast<int>(channels_.size() - 1);
}

void RunWriter::set_channel_attribute(int ch, std::string_view name, std::string_view value) {
  wait();
  write_string_attribute(channel(ch).group.get(), name, value);
}
void RunWriter::set_channel_attribute(int ch, std::string_view name, int64_t value) {
  wait();
  write_attribute(channel(ch).group.get(), name, H5T_NATIVE_INT64, &value);
}
void RunWriter::set_channel_attribute(int ch, std::string_view name, uint64_t value) {
  wait();
  write_attribute(channel(ch).group.get(), name, H5T_NATIVE_UINT64, &value);
}
void RunWriter::set_channel_attribute(int ch, std::string_view name, double value) {
  wait();
  write_attribute(channel(ch).group.get(), name, H5T_NATIVE_DOUBLE, &value);
}
std::string RunWriter::description_attribute_name(std::string_view name) {
  constexpr std::string_view kPrefix = "description_";
  bool taken = name.substr(0, kPrefix.size()) == kPrefix ||
               std::find(std::begin(kChannelAttributes), std::end(kChannelAttributes), name) !=
                   std::end(kChannelAttributes);
  return taken ? std::string(kPrefix) + std::string(name) : std::string(name);
}
void RunWriter::set_description_attribute(int ch, std::string_view name, std::string_view value) {
  set_channel_attribute(ch, description_attribute_name(name), value);
  if (name == "unit") channel(ch).unit = value;
}
void RunWriter::set_description_attribute(int ch, std::string_view name, int64_t value) {
  set_channel_attribute(ch, description_attribute_name(name), value);
}
void RunWriter::set_description_attribute(int ch, std::string_view name, double value) {
  set_channel_attribute(ch, description_attribute_name(name), value);
}
void RunWriter::set_dataset_attribute(int ch, std::string_view dataset, std::string_view name,
                                      std::string_view value) {
  channel(ch).pending.push_back({std::string(dataset), std::string(name), 0, std::string(value)});
}
void RunWriter::set_dataset_attribute(int ch, std::string_view dataset, std::string_view name,
                                      int64_t value) {
  channel(ch).pending.push_back({std::string(dataset), std::string(name), 1, {}, value});
}
void RunWriter::set_dataset_attribute(int ch, std::string_view dataset, std::string_view name,
                                      double value) {
  channel(ch).pending.push_back({std::string(dataset), std::string(name), 2, {}, 0, value});
}

void RunWriter::reserve_member(int ch, int m, size_t width) {
  wait();
  Channel& c = channel(ch);
  if (m < 0) throw Error("negative member index");
  if (c.members.size() <= static_cast<size_t>(m)) c.members.resize(static_cast<size_t>(m) + 1);
  Channel::Member& member = c.members[static_cast<size_t>(m)];
  member.reserved = std::max(member.reserved, width);
  if (member.values) member.values->grow({member.reserved});
}

void RunWriter::fix_image_shape(int ch, size_t width, size_t height) {
  Channel& c = channel(ch);
  if (c.pixels) throw Error("the frame shape of " + c.spec.column + " is fixed before its frames");
  c.fixed_width = width;
  c.fixed_height = height;
  c.shape_fixed = true;
}

void RunWriter::begin_event(const EventColumns& e) {
  if (in_event_) end_event();
  uint64_t r = events_++;
  in_event_ = true;
  stage_.begin_row(r);
  *static_cast<uint64_t*>(event_columns_[0]->row(r)) = e.id;
  *static_cast<int64_t*>(event_columns_[1]->row(r)) = int64_t{e.sec} * 1000000 + e.usec;
  *static_cast<uint32_t*>(event_columns_[2]->row(r)) = e.sec;
  *static_cast<uint32_t*>(event_columns_[3]->row(r)) = e.usec;
  event_columns_[4]->set_string(r, e.iso);
  const uint32_t zero32 = 0;
  const int32_t zero = 0;
  const char* blank = "";
  if (e.status) {
    if (!ev_status_) {
      ev_status_ = new_column(run_.get(), "EvHeadStatus", H5T_NATIVE_UINT32, std::vector<hsize_t>{},
                              &zero32, r);
    }
    *static_cast<uint32_t*>(ev_status_->row(r)) = *e.status;
  }
  if (e.type) {
    if (!ev_type_) {
      ev_type_ =
          new_column(run_.get(), "EventType", H5T_NATIVE_INT32, std::vector<hsize_t>{}, &zero, r);
    }
    *static_cast<int32_t*>(ev_type_->row(r)) = *e.type;
  }
  if (e.type_name) {
    if (!ev_type_name_) {
      wait();
      Datatype text = utf8_string_type();
      ev_type_name_ =
          new_column(run_.get(), "EventTypeName", text.get(), std::vector<hsize_t>{}, &blank, r);
    }
    ev_type_name_->set_string(r, *e.type_name);
  }
}

void RunWriter::set_missing(int ch, Missing code) {
  row();
  hot(ch).code = static_cast<uint8_t>(code);
}

void RunWriter::set_status(int ch, uint32_t srv_block, uint32_t chan) {
  uint64_t r = row();
  Hot& h = hot(ch);
  if (h.srv != Hot::kNoSlot && h.chan != Hot::kNoSlot) {
    std::memcpy(staged(h.srv), &srv_block, sizeof srv_block);
    std::memcpy(staged(h.chan), &chan, sizeof chan);
    return;
  }
  Channel& c = channel(ch);
  if (!c.srv) throw Error(c.spec.column + " was added without status words");
  *static_cast<uint32_t*>(c.srv->row(r)) = srv_block;
  *static_cast<uint32_t*>(c.chan->row(r)) = chan;
}

void RunWriter::set_macro_pulse(int ch, uint64_t number) {
  uint64_t r = row();
  Hot& h = hot(ch);
  if (h.macro != Hot::kNoSlot) {
    std::memcpy(staged(h.macro), &number, sizeof number);
    return;
  }
  Channel& c = channel(ch);
  if (!c.macro) throw Error(c.spec.column + " was added without macro-pulse numbers");
  *static_cast<uint64_t*>(c.macro->row(r)) = number;
}

template <typename S>
void RunWriter::put_scalar(int ch, S value) {
  uint64_t r = row();
  Hot& h = hot(ch);
  if (h.value != Hot::kNoSlot) {
    convert(h.values, &value, 1, staged(h.value));
  } else {
    Channel& c = channel(ch);
    if (!c.value) throw Error(c.spec.column + " is not a scalar channel");
    convert(h.values, &value, 1, c.value->row(r));
  }
  h.touched = true;
}

void RunWriter::set_scalar(int ch, double value) { put_scalar(ch, value); }
void RunWriter::set_scalar(int ch, float value) { put_scalar(ch, static_cast<double>(value)); }
void RunWriter::set_scalar(int ch, int32_t value) { put_scalar(ch, value); }

void RunWriter::add_pair(int ch, std::string_view name, double value) {
  uint64_t r = row();
  Hot& h = hot(ch);
  Channel& c = channel(ch);
  if (c.spec.kind != Kind::kPairs) throw Error(c.spec.column + " is not a pairs channel");
  // Pairs mostly come in the same order every event: the one after the
  // last is tried first.
  size_t k = h.next_pair;
  if (k >= c.pair_names.size() || c.pair_names[k] != name) {
    k = 0;
    while (k < c.pair_names.size() && c.pair_names[k] != name) ++k;
  }
  h.next_pair = static_cast<uint32_t>(k + 1);
  if (k == c.pair_names.size()) {
    // Named after the pair; a name the group already uses (a dataset of the
    // layout, or another pair's) gets "#pair", then "#pair2", ... after it.
    std::string base = escape(name), link = base;
    for (int n = 1; c.links.count(link) != 0; ++n) {
      link = base + "#pair" + (n == 1 ? std::string() : std::to_string(n));
    }
    c.links.insert(link);
    const double fill = options_.fill;
    const float fill32 = static_cast<float>(fill);
    const void* f = c.spec.values == ValueType::kFloat32 ? static_cast<const void*>(&fill32)
                    : c.spec.values == ValueType::kInt32 ? static_cast<const void*>(&kIntFill)
                                                         : &fill;
    c.pairs.push_back(
        new_column(c.group.get(), link, value_type(c.spec.values), std::vector<hsize_t>{}, f, r));
    c.pair_names.emplace_back(name);
    c.pair_links.push_back(link);
  }
  convert(c.spec.values, &value, 1, c.pairs[k]->row(r));
  ++h.pair_count;
  h.touched = true;
}

void RunWriter::make_member(Channel& c, int m, size_t width, uint64_t first_row) {
  Channel::Member& member = c.members[static_cast<size_t>(m)];
  const double fill = options_.fill;
  const float fill32 = static_cast<float>(fill);
  const void* f = c.spec.values == ValueType::kFloat64   ? static_cast<const void*>(&fill)
                  : c.spec.values == ValueType::kFloat32 ? static_cast<const void*>(&fill32)
                                                         : &kIntFill;
  member.values = new_column(c.group.get(), "Member" + std::to_string(m), value_type(c.spec.values),
                             std::vector<hsize_t>{std::max(member.reserved, width)}, f, first_row);
}

void RunWriter::make_stats(Channel& c, int m, uint64_t first_row) {
  Channel::Member& member = c.members[static_cast<size_t>(m)];
  const double fill = options_.fill;
  const float fill32 = static_cast<float>(fill);
  bool single = c.spec.stats == ValueType::kFloat32;
  member.stats = new_column(c.group.get(), "Member" + std::to_string(m) + "Stats",
                            single ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE, std::vector<hsize_t>{32},
                            single ? static_cast<const void*>(&fill32) : &fill, first_row);
}

template <typename T>
void RunWriter::put_member(int ch, int m, const T* values, size_t count, bool failed) {
  uint64_t r = row();
  Channel& c = channel(ch);
  if (c.spec.kind != Kind::kSpectrum) throw Error(c.spec.column + " is not a spectrum channel");
  if (m < 0) throw Error("negative member index");
  auto index = static_cast<size_t>(m);
  if (c.members.size() <= index) c.members.resize(index + 1);
  Channel::Member& member = c.members[index];
  std::string name = "Member" + std::to_string(m);
  const int32_t absent = -1;
  if (!member.length) {
    member.length = new_column(c.group.get(), name + "Length", H5T_NATIVE_INT32,
                               std::vector<hsize_t>{}, &absent, r);
  }
  if (!failed) {
    if (!member.values) {
      make_member(c, m, count, r);
    } else if (count > member.values->row_elements()) {
      wait();
      member.values->grow({count});
    }
    if (count > 0) convert(c.spec.values, values, count, member.values->row(r));
  }
  *static_cast<int32_t*>(member.length->row(r)) = failed ? -2 : static_cast<int32_t>(count);
  hot(ch).touched = true;
}

void RunWriter::set_member(int ch, int m, const double* values, size_t count) {
  put_member(ch, m, values, count);
}
void RunWriter::set_member(int ch, int m, const float* values, size_t count) {
  put_member(ch, m, values, count);
}
void RunWriter::set_member(int ch, int m, const int32_t* values, size_t count) {
  put_member(ch, m, values, count);
}
void RunWriter::set_member_failed(int ch, int m) {
  put_member(ch, m, static_cast<const double*>(nullptr), 0, true);
}

void RunWriter::set_member_stat(int ch, int m, int bit, double value) {
  uint64_t r = row();
  Channel& c = channel(ch);
  if (m < 0 || bit < 0 || bit > 31) throw Error("no statistic bit " + std::to_string(bit));
  if (c.members.size() <= static_cast<size_t>(m)) c.members.resize(static_cast<size_t>(m) + 1);
  Channel::Member& member = c.members[static_cast<size_t>(m)];
  if (!member.stats) make_stats(c, m, r);
  if (c.spec.stats == ValueType::kFloat32) {
    static_cast<float*>(member.stats->row(r))[bit] = static_cast<float>(value);
  } else {
    static_cast<double*>(member.stats->row(r))[bit] = value;
  }
}

template <typename T>
void RunWriter::put_image(int ch, const void* pixels, size_t width, size_t height, int bits) {
  uint64_t r = row();
  Channel& c = channel(ch);
  if (c.spec.kind != Kind::kImage) throw Error(c.spec.column + " is not a camera channel");
  const bool fixed = c.shape_fixed;
  if (!c.pixels) {
    int b = c.spec.pixel_bits != 0 ? c.spec.pixel_bits : bits;
    const uint16_t black = 0;
    std::vector<hsize_t> dims = fixed ? std::vector<hsize_t>{c.fixed_height, c.fixed_width}
                                      : std::vector<hsize_t>{height, width};
    c.pixels = new_column(c.group.get(), "Pixels", b == 8 ? H5T_NATIVE_UINT8 : H5T_NATIVE_UINT16,
                          dims, &black, r, true);
  }
  if (bits == 16 && c.pixels->element_size() == 1) {
    // A 16-bit frame in an 8-bit camera: the dataset becomes uint16.
    wait();
    c.pixels->widen_type(H5T_NATIVE_UINT16);
  }
  size_t count = width * height;
  *static_cast<int32_t*>(c.length->row(r)) = static_cast<int32_t>(count);
  Hot& h = hot(ch);
  h.touched = true;
  if (fixed) {
    if (count == 0 || count != c.fixed_width * c.fixed_height) {
      h.code = static_cast<uint8_t>(Missing::kSizeDiffers);
      return;
    }
    width = c.fixed_width;
    height = c.fixed_height;
  } else {
    const int32_t zero = 0;
    if (!c.width) {
      c.width =
          new_column(c.group.get(), "Width", H5T_NATIVE_INT32, std::vector<hsize_t>{}, &zero, r);
      c.height =
          new_column(c.group.get(), "Height", H5T_NATIVE_INT32, std::vector<hsize_t>{}, &zero, r);
    }
    *static_cast<int32_t*>(c.width->row(r)) = static_cast<int32_t>(width);
    *static_cast<int32_t*>(c.height->row(r)) = static_cast<int32_t>(height);
    if (count == 0) {
      // A frame of no pixels is no black frame: its row keeps the fill and
      // says so, as a frame of another size does in a camera of one shape.
      h.code = static_cast<uint8_t>(Missing::kSizeDiffers);
      return;
    }
    if (c.pixels->would_grow({height, width})) {
      wait();
      c.pixels->grow({height, width});
    }
  }
  size_t stride = c.pixels->row_dims()[1];
  bool whole = stride == width && c.pixels->row_dims()[0] == height;
  void* out = whole ? c.pixels->whole_row(r) : c.pixels->row(r);
  if (width == 0 || height == 0) return;  // an empty frame: the row keeps the fill
  const auto* in = static_cast<const unsigned char*>(pixels);
  if (c.pixels->element_size() == sizeof(T)) {
    // The words may sit at any address: copied as bytes.
    auto* o = static_cast<unsigned char*>(out);
    size_t line = width * sizeof(T);
    if (whole) {
      std::memcpy(o, in, line * height);
    } else {
      for (size_t y = 0; y < height; ++y)
        std::memcpy(o + y * stride * sizeof(T), in + y * line, line);
    }
    return;
  }
  auto pixel = [&](size_t k) {
    T p;
    std::memcpy(&p, in + k * sizeof(T), sizeof(T));
    return p;
  };
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      T p = pixel(y * width + x);
      if (c.pixels->element_size() == 1) {
        static_cast<uint8_t*>(out)[y * stride + x] = static_cast<uint8_t>(p);
      } else {
        static_cast<uint16_t*>(out)[y * stride + x] = static_cast<uint16_t>(p);
      }
    }
  }
}

void RunWriter::set_image(int ch, const uint8_t* pixels, size_t width, size_t height) {
  put_image<uint8_t>(ch, pixels, width, height, 8);
}
void RunWriter::set_image(int ch, const uint16_t* pixels, size_t width, size_t height) {
  put_image<uint16_t>(ch, pixels, width, height, 16);
}
void RunWriter::set_image_words(int ch, const void* words, size_t width, size_t height) {
  put_image<uint16_t>(ch, words, width, height, 16);
}

void RunWriter::set_converted(int ch, bool converted) {
  uint64_t r = row();
  Channel& c = channel(ch);
  if (!c.converted) throw Error(c.spec.column + " is not a structured-data channel");
  *static_cast<uint8_t*>(c.converted->row(r)) = converted ? 1 : 0;
  Hot& h = hot(ch);
  if (!converted) h.code = static_cast<uint8_t>(Missing::kNotConverted);
  h.touched = true;
}

Kind RunWriter::kind(int ch) const {
  if (ch < 0 || static_cast<size_t>(ch) >= channels_.size()) {
    throw Error("no channel " + std::to_string(ch));
  }
  return channels_[static_cast<size_t>(ch)]->spec.kind;
}

std::array<uint64_t, 9> RunWriter::missing_counts(int ch) const {
  kind(ch);  // checks the handle
  const Channel& c = *channels_[static_cast<size_t>(ch)];
  std::array<uint64_t, 9> n = c.codes;
  uint64_t ended = in_event_ ? events_ - 1 : events_;
  uint64_t others = 0;
  for (uint64_t k : n) others += k;
  n[static_cast<size_t>(Missing::kValue)] = ended - c.first_row - others;
  uint64_t cut = 0;
  for (uint64_t r : c.spec.cut_short_rows) cut += r < c.first_row ? 1 : 0;
  n[static_cast<size_t>(Missing::kCutShort)] += cut;
  n[static_cast<size_t>(Missing::kNotFound)] += c.first_row - cut;
  return n;
}

void RunWriter::end_event() {
  uint64_t r = row();
  for (size_t ch = 0; ch < hot_.size(); ++ch) {
    Hot& h = hot_[ch];
    uint8_t code = h.code != Hot::kNoCode ? h.code
                   : h.touched            ? static_cast<uint8_t>(Missing::kValue)
                                          : static_cast<uint8_t>(Missing::kNotFound);
    if (h.missing != Hot::kNoSlot) {
      *static_cast<uint8_t*>(staged(h.missing)) = code;
    } else {
      *static_cast<uint8_t*>(channels_[ch]->missing->row(r)) = code;
    }
    // Values, the common code, are counted as the rest.
    if (code != static_cast<uint8_t>(Missing::kValue) && code < 9) ++channels_[ch]->codes[code];
    if (h.is_pairs && h.touched) {
      if (h.length != Hot::kNoSlot) {
        std::memcpy(staged(h.length), &h.pair_count, sizeof h.pair_count);
      } else {
        *static_cast<int32_t*>(channels_[ch]->length->row(r)) = h.pair_count;
      }
    }
    h.touched = false;
    h.code = Hot::kNoCode;
    h.pair_count = 0;
    h.next_pair = 0;
  }
  in_event_ = false;
  if (stage_.rows() == 1) stage_.compact();
  // Blocks of staged rows end at the chunks of the staged datasets, the
  // first block's rows (1024, or what fits) setting them; a block that
  // would pass its share of the bound is written before a chunk ends. A
  // run known to fit the bound whole stays staged to its end, where its
  // datasets are made at their final size.
  uint64_t chunk = shared_.stage_chunk_rows;
  bool whole = whole_run();
  bool full = stage_.bytes() + stage_.row_bytes() > (whole ? whole_run_budget() : stage_budget());
  bool stage_due = full || (!whole && (chunk == 0 ? stage_.rows() >= kStageRows
                                                  : (stage_.first() + stage_.rows()) % chunk == 0));
  if (stage_due && chunk == 0) shared_.stage_chunk_rows = stage_.rows();
  bool buffers_due = shared_.buffered > buffers_budget();
  if (stage_due || buffers_due) {
    flush(stage_due, buffers_due);
  } else if (stage_.rows() == 1) {
    uint64_t rows = whole ? shared_.expected_events : chunk != 0 ? chunk : kStageRows;
    size_t budget = whole ? whole_run_budget() : stage_budget();
    stage_.reserve_rows(std::min<uint64_t>(rows, budget / std::max<size_t>(stage_.row_bytes(), 1)));
  }
}

// Two blocks (one filled, one written) of at most 1024 rows, at most 3/8 of
// the bound each; the columns' own buffers the rest: a quarter of it on
// each side, and room for their growth.
size_t RunWriter::stage_budget() const {
  return std::min(options_.memory_bound / 8 * 3, kStageRows * stage_.row_bytes());
}

// A run expected to fit 3/4 of the bound in one block, which has not
// passed its count nor written a block.
size_t RunWriter::whole_run_budget() const { return options_.memory_bound / 4 * 3; }

bool RunWriter::whole_run() const {
  uint64_t expected = shared_.expected_events;
  return shared_.stage_chunk_rows == 0 && expected > 0 && stage_.rows() <= expected &&
         expected * stage_.row_bytes() <= whole_run_budget();
}

size_t RunWriter::buffers_budget() const {
  size_t staged = whole_run() ? whole_run_budget() : 2 * stage_budget();
  return (options_.memory_bound - staged) / 4;
}

std::unique_ptr<Column> RunWriter::new_column(hid_t parent, const std::string& name, hid_t type,
                                              std::vector<hsize_t> row_dims, const void* fill,
                                              uint64_t first_row, bool own_chunks, bool staged) {
  wait();
  Compression c = compression_;
  c.own_chunks = own_chunks;
  shared_.block_bytes = buffers_budget();
  auto col = std::make_unique<Column>(parent, name, type, std::move(row_dims), fill, first_row, c,
                                      shared_);
  if (staged && !stage_.closed() && col->stageable()) col->stage_in(stage_);
  return col;
}

void RunWriter::wait() {
  if (worker_.joinable()) worker_.join();
  if (worker_error_) std::rethrow_exception(std::exchange(worker_error_, nullptr));
}

void RunWriter::flush(bool stage, bool buffers) {
  wait();
  if (stage) block_ = stage_.take(std::move(block_.data));
  std::vector<Column*> columns;
  if (buffers) {
    for (auto& col : event_columns_) columns.push_back(col.get());
    for (auto* col : {&ev_status_, &ev_type_, &ev_type_name_}) {
      if (*col) columns.push_back(col->get());
    }
    for (auto& c : channels_) c->each_column([&](Column& col) { columns.push_back(&col); });
    std::erase_if(columns, [](Column* col) { return col->staged(); });
    for (Column* col : columns) col->take();
  }
  worker_ = std::thread([this, stage, columns = std::move(columns)] {
    // The library's error printing is per thread: off here too, so that a
    // failure is the writer's one message.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    try {
      if (stage) EventStage::write(block_, false);
      for (Column* col : columns) col->write_taken();
    } catch (...) {
      worker_error_ = std::current_exception();
    }
  });
}

void RunWriter::commit() {
  if (done_) throw Error("the run file is already closed");
  try {
    wait();
    if (in_event_) end_event();
    wait();
    // The last block: its rows are the run's last, written once.
    block_ = stage_.take(std::move(block_.data));
    stage_.close();
    EventStage::write(block_, true);
    block_ = {};
    for (auto& col : event_columns_) col->finish(events_);
    write_string_attribute(event_columns_[1]->dataset(), "units",
                           "microseconds since 1970-01-01 00:00:00");
    for (auto* col : {&ev_status_, &ev_type_, &ev_type_name_}) {
      if (*col) (*col)->finish(events_);
    }
    for (auto& c : channels_) {
      if (c->spec.kind == Kind::kImage && !c->pixels) {
        const uint16_t black = 0;
        std::vector<hsize_t> dims{c->fixed_height, c->fixed_width};
        c->pixels = new_column(c->group.get(), "Pixels",
                               c->spec.pixel_bits == 16 ? H5T_NATIVE_UINT16 : H5T_NATIVE_UINT8,
                               dims, &black, events_);
      }
      // Every dataset the layout lists for the kind, all fill where nothing came.
      if (c->spec.kind == Kind::kImage && !c->shape_fixed && !c->width) {
        const int32_t zero = 0;
        c->width = new_column(c->group.get(), "Width", H5T_NATIVE_INT32, {}, &zero, events_);
        c->height = new_column(c->group.get(), "Height", H5T_NATIVE_INT32, {}, &zero, events_);
      }
      for (size_t m = 0; m < c->members.size(); ++m) {
        Channel::Member& member = c->members[m];
        if (!member.length) continue;
        if (!member.values) make_member(*c, static_cast<int>(m), 0, events_);
        if (!member.stats) make_stats(*c, static_cast<int>(m), events_);
      }
      c->each_column([&](Column& col) { col.finish(events_); });
      if (c->spec.kind == Kind::kPairs) {
        write_strings_attribute(c->group.get(), "pair_names", c->pair_names);
        write_strings_attribute(c->group.get(), "pair_datasets", c->pair_links);
      }
      for (const PendingAttribute& a : c->pending) {
        if (H5Lexists(c->group.get(), a.dataset.c_str(), H5P_DEFAULT) <= 0) continue;
        Dataset d(
            check(H5Dopen2(c->group.get(), a.dataset.c_str(), H5P_DEFAULT), "open " + a.dataset));
        if (a.form == 0) {
          write_string_attribute(d.get(), a.name, a.text);
        } else if (a.form == 1) {
          write_attribute(d.get(), a.name, H5T_NATIVE_INT64, &a.integer);
        } else {
          write_attribute(d.get(), a.name, H5T_NATIVE_DOUBLE, &a.real);
        }
      }
    }
    write_dimension_scales();
    link_event_ids();
    write_value_attributes();
    write_nexus_attributes();
    set_attribute("events", events_);
    event_columns_.clear();
    ev_status_.reset();
    ev_type_.reset();
    ev_type_name_.reset();
    channels_.clear();
    run_.reset();
    // After a flush that worked, the close rewrites what is already there.
    check_status(H5Fflush(file_.get(), H5F_SCOPE_LOCAL), "write the HDF5 file " + path_);
    check_status(H5Fclose(file_.release()), "close the HDF5 file " + path_);
    publish();
  } catch (...) {
    abandon();
    throw;
  }
  done_ = true;
}

void RunWriter::publish() {
  mode_t mask = umask(0);
  umask(mask);
  // The target is checked again: it may have become something else.
  check_target(path_);
  if (chmod(temp_.c_str(), 0666 & ~mask) != 0 || std::rename(temp_.c_str(), path_.c_str()) != 0) {
    throw Error("cannot rename " + temp_ + " to " + path_ + ": " + std::strerror(errno));
  }
  forget_temporary(temp_slot_);
  temp_slot_ = -1;
  temp_.clear();
}

void RunWriter::abandon() noexcept {
  if (done_) return;
  done_ = true;
  try {
    wait();
  } catch (...) {
  }
  try {
    event_columns_.clear();
    ev_status_.reset();
    ev_type_.reset();
    ev_type_name_.reset();
    for (auto& c : channels_) c->each_column([](Column& col) { col.close(); });
    channels_.clear();
    run_.reset();
  } catch (...) {
  }
  if (file_.valid()) {
    // What the close still writes goes to a file in memory: a close that
    // fails (a full disk) would leave the library a half-closed file,
    // which its clean-up at exit then closes again and crashes on.
    void* handle = nullptr;
    if (H5Fget_vfd_handle(file_.get(), H5P_DEFAULT, &handle) >= 0 && handle != nullptr) {
      int sink = memfd_create("abandoned-run-file", MFD_CLOEXEC);
      if (sink >= 0) {
        dup2(sink, *static_cast<int*>(handle));
        ::close(sink);
      }
    }
    file_.reset();
  }
  if (!temp_.empty()) std::remove(temp_.c_str());
  forget_temporary(temp_slot_);
  temp_slot_ = -1;
}

}  // namespace h5run
