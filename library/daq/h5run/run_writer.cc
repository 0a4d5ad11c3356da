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

}  // namespace

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
