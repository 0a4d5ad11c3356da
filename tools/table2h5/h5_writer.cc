#include "table2h5/h5_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <set>
#include <stdexcept>

namespace table2h5 {

namespace {

// About this many bytes of rows are buffered per dataset before a write.
constexpr size_t kChunkBytes = 1 << 20;
constexpr size_t kMaxChunkRows = 4096;

hid_t check(hid_t id, const std::string& what) {
  if (id < 0) throw std::runtime_error("HDF5: cannot " + what);
  return id;
}

void check_status(herr_t status, const std::string& what) {
  if (status < 0) throw std::runtime_error("HDF5: cannot " + what);
}

hid_t string_type(size_t width) {
  hid_t t = check(H5Tcopy(H5T_C_S1), "copy a string type");
  H5Tset_size(t, std::max<size_t>(width, 1));
  H5Tset_strpad(t, H5T_STR_NULLPAD);
  return t;
}

void write_attribute(hid_t object, const std::string& name, hid_t type, const void* value) {
  if (H5Aexists(object, name.c_str()) > 0) return;  // first one wins
  hid_t space = check(H5Screate(H5S_SCALAR), "create a dataspace");
  hid_t attr = H5Acreate2(object, name.c_str(), type, space, H5P_DEFAULT, H5P_DEFAULT);
  H5Sclose(space);
  check(attr, "create the attribute " + name);
  herr_t status = H5Awrite(attr, type, value);
  H5Aclose(attr);
  check_status(status, "write the attribute " + name);
}

void write_attribute(hid_t object, const std::string& name, const std::string& value) {
  hid_t t = string_type(value.size());
  write_attribute(object, name, t, value.c_str());
  H5Tclose(t);
}

void write_attribute(hid_t object, const std::string& name, uint64_t value) {
  write_attribute(object, name, H5T_NATIVE_UINT64, &value);
}

void write_attribute(hid_t object, const std::string& name, double value) {
  write_attribute(object, name, H5T_NATIVE_DOUBLE, &value);
}

// Description values that read as numbers are stored as numbers.
void write_attributes(hid_t object, const Attributes& attributes) {
  for (const auto& [name, text] : attributes) {
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0') {
      write_attribute(object, name, v);
    } else {
      write_attribute(object, name, text);
    }
  }
}

// HDF5 link names cannot hold "/" or be ".".
std::string link_name(const std::string& column, std::set<std::string>* used) {
  std::string name;
  for (char c : column) {
    if (c == '/') {
      name += "%2F";
    } else if (c == '%') {
      name += "%25";
    } else {
      name += c;
    }
  }
  if (name == ".") name = "%2E";
  std::string unique = name;
  for (int k = 2; !used->insert(unique).second; ++k) unique = name + "#" + std::to_string(k);
  return unique;
}

int attribute_int(const Attributes& attributes, const char* name) {
  for (const auto& [key, value] : attributes) {
    if (key == name) return std::atoi(value.c_str());
  }
  return 0;
}

}  // namespace

class RowStream {
 public:
  RowStream(hid_t parent, const std::string& name, hid_t type, std::vector<hsize_t> row_dims,
            uint64_t rows, const void* fill)
      : type_(check(H5Tcopy(type), "copy a type")), row_dims_(std::move(row_dims)) {
    size_t element = H5Tget_size(type_);
    size_t elements = 1;
    for (hsize_t d : row_dims_) elements *= d;
    row_bytes_ = element * elements;
    chunk_rows_ =
        std::clamp<size_t>(kChunkBytes / std::max<size_t>(row_bytes_, 1), 1,
                           std::min<uint64_t>(kMaxChunkRows, std::max<uint64_t>(rows, 1)));
    fill_row_.resize(row_bytes_);
    for (size_t k = 0; k < elements; ++k) std::memcpy(&fill_row_[k * element], fill, element);
    buffer_.resize(row_bytes_ * chunk_rows_);

    std::vector<hsize_t> dims{rows};
    std::vector<hsize_t> max_dims{H5S_UNLIMITED};
    std::vector<hsize_t> chunk{chunk_rows_};
    for (hsize_t d : row_dims_) {
      dims.push_back(d);
      max_dims.push_back(H5S_UNLIMITED);
      chunk.push_back(std::max<hsize_t>(d, 1));
    }
    hid_t space =
        check(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), max_dims.data()),
              "create a dataspace");
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(dcpl, static_cast<int>(chunk.size()), chunk.data());
    if (H5Tget_class(type_) != H5T_STRING && H5Tget_class(type_) != H5T_COMPOUND) {
      H5Pset_shuffle(dcpl);
    }
    H5Pset_deflate(dcpl, 4);
    H5Pset_fill_value(dcpl, type_, fill);
    dataset_ = H5Dcreate2(parent, name.c_str(), type_, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    H5Pclose(dcpl);
    H5Sclose(space);
    check(dataset_, "create the dataset " + name);
  }

  ~RowStream() {
    if (dataset_ >= 0) H5Dclose(dataset_);
    H5Tclose(type_);
  }

  hid_t id() const { return dataset_; }

  // The next row, set to the fill value; written out when a chunk is full.
  void* row() {
    if (used_ == chunk_rows_) flush();
    unsigned char* r = buffer_.data() + used_ * row_bytes_;
    std::memcpy(r, fill_row_.data(), row_bytes_);
    ++used_;
    return r;
  }

  void flush() {
    if (used_ == 0) return;
    if (row_bytes_ > 0) {
      std::vector<hsize_t> start{written_}, count{used_};
      for (hsize_t d : row_dims_) {
        start.push_back(0);
        count.push_back(d);
      }
      hid_t file_space = check(H5Dget_space(dataset_), "get a dataspace");
      H5Sselect_hyperslab(file_space, H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr);
      hid_t memory = H5Screate_simple(static_cast<int>(count.size()), count.data(), nullptr);
      herr_t status = H5Dwrite(dataset_, type_, memory, file_space, H5P_DEFAULT, buffer_.data());
      H5Sclose(memory);
      H5Sclose(file_space);
      check_status(status, "write rows");
    }
    written_ += used_;
    used_ = 0;
  }

 private:
  hid_t type_;
  hid_t dataset_ = -1;
  std::vector<hsize_t> row_dims_;
  size_t row_bytes_ = 0;
  size_t chunk_rows_ = 1;
  std::vector<unsigned char> fill_row_;
  std::vector<unsigned char> buffer_;
  size_t used_ = 0;
  uint64_t written_ = 0;
};

struct H5Writer::Channel {
  Kind kind = Kind::kEmpty;
  hid_t group = -1;
  size_t name_width = 0;
  size_t pair_count = 0;
  size_t pixel_count = 0;
  std::vector<size_t> member_counts;
  hid_t pair_type = -1;
  std::unique_ptr<RowStream> missing, srv_status, chan_status, value, length, pixels, pairs;
  std::vector<std::unique_ptr<RowStream>> members, member_lengths, member_stats;
  size_t pairs_width() const { return pair_count; }
  size_t member_width(size_t m) const { return member_counts[m]; }
  size_t pixel_width() const { return pixel_count; }
  ~Channel() {
    if (pair_type >= 0) H5Tclose(pair_type);
  }
};

Description read_description(const std::string& path) {
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_file(path.c_str());
  if (!parsed) {
    throw std::runtime_error(path + ": " + parsed.description() + " at byte " +
                             std::to_string(parsed.offset));
  }
  auto attributes = [](pugi::xml_node node, const char* skip) {
    Attributes out;
    for (pugi::xml_attribute a : node.attributes()) {
      if (std::strcmp(a.name(), skip) != 0) out.emplace_back(a.name(), a.value());
    }
    return out;
  };
  Description d;
  pugi::xml_node root = doc.document_element();
  for (pugi::xml_node c : root.children("channel")) {
    d.channels.emplace(c.attribute("daq_name").value(), attributes(c, "daq_name"));
  }
  for (pugi::xml_node p : root.children("parameters")) {
    Description::Parameters params;
    for (pugi::xml_node s : p.children("spectrum")) params.spectra.push_back(attributes(s, ""));
    for (pugi::xml_node f : p.children("image_frame")) params.frames.push_back(attributes(f, ""));
    d.parameters[p.attribute("name").value()].push_back(std::move(params));
  }
  return d;
}

H5Writer::H5Writer(const std::string& path, const Header& header,
                   const std::vector<ColumnPlan>& plans, const RunInfo& info)
    : path_(path), header_(header), info_(info) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  temp_ = path + ".tmp-XXXXXX";
  int fd = mkstemp(temp_.data());
  if (fd < 0) throw std::runtime_error("cannot create " + temp_ + ": " + std::strerror(errno));
  close(fd);
  try {
    file_ =
        check(H5Fcreate(temp_.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), "create " + temp_);
    run_ = check(H5Gcreate2(file_, "run", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                 "create the run group");
    uint64_t zero64 = 0;
    uint32_t zero32 = 0;
    hid_t iso = string_type(info.iso_width);
    event_streams_.push_back(std::make_unique<RowStream>(
        run_, "EventId", H5T_NATIVE_UINT64, std::vector<hsize_t>{}, info.rows, &zero64));
    for (const char* name : {"TimeSec", "TimeUsec"}) {
      event_streams_.push_back(std::make_unique<RowStream>(
          run_, name, H5T_NATIVE_UINT32, std::vector<hsize_t>{}, info.rows, &zero32));
    }
    std::string blank(std::max<size_t>(info.iso_width, 1), '\0');
    event_streams_.push_back(std::make_unique<RowStream>(
        run_, "TimeISO", iso, std::vector<hsize_t>{}, info.rows, blank.data()));
    H5Tclose(iso);
    if (header.status_columns) {
      event_streams_.push_back(std::make_unique<RowStream>(
          run_, "EvHeadStatus", H5T_NATIVE_UINT32, std::vector<hsize_t>{}, info.rows, &zero32));
    }

    std::set<std::string> used{"EventId", "TimeSec", "TimeUsec", "TimeISO", "EvHeadStatus"};
    std::string fti, options = "-hdf5";
    bool names_left_out = false;
    for (size_t i = 0; i < plans.size(); ++i) {
      create_channel(plans[i], link_name(plans[i].column, &used));
      const ColumnPlan& p = plans[i];
      bool ints =
          p.kind == Kind::kScalarInt ||
          ((p.kind == Kind::kPairs || p.kind == Kind::kSpectrum) && (p.profile.evidence & kSawInt));
      if (ints) fti += (fti.empty() ? "" : ";") + p.column;
      if (p.kind == Kind::kPairs && (p.profile.evidence & kSawList) &&
          !(p.profile.evidence & kSawPair)) {
        names_left_out = true;
      }
    }
    if (names_left_out) options += " -nonvn";
    if (!fti.empty()) options += " -fti " + fti;
    if (!info.description.empty()) options += " -xdump " + info.description;
    write_attribute(run_, "source_file", info.source);
    if (!info.description.empty()) write_attribute(run_, "description_file", info.description);
    write_attribute(run_, "events", info.rows);
    write_attribute(run_, "plugin_options", options);
    write_attribute(run_, "status_columns", uint64_t{header.status_columns});
    write_attribute(run_, "fill_value", info.fill);
  } catch (...) {
    close_all();
    std::remove(temp_.c_str());
    throw;
  }
}

void H5Writer::create_channel(const ColumnPlan& plan, const std::string& name) {
  auto ch = std::make_unique<Channel>();
  ch->kind = plan.kind;
  ch->group = check(H5Gcreate2(run_, name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                    "create the group " + name);
  channels_.push_back(std::move(ch));
  Channel& c = *channels_.back();
  const ColumnProfile& p = plan.profile;
  uint64_t rows = info_.rows;
  const double fill = info_.fill;
  const uint8_t none = 0;
  const uint32_t zero32 = 0;
  const int32_t zero = 0, absent = -1;
  using Dims = std::vector<hsize_t>;

  write_attribute(c.group, "column", plan.column);
  write_attribute(c.group, "kind", std::string(kind_name(plan.kind)));
  write_attribute(c.group, "missing_codes",
                  std::string("0 value, 1 empty cell, 2 [] (not found or no image), "
                              "3 row cut short, 4 cell of another kind"));
  write_attributes(c.group, plan.attributes);

  c.missing =
      std::make_unique<RowStream>(c.group, "Missing", H5T_NATIVE_UINT8, Dims{}, rows, &none);
  if (header_.status_columns) {
    c.srv_status = std::make_unique<RowStream>(c.group, "SrvBlockStatus", H5T_NATIVE_UINT32, Dims{},
                                               rows, &zero32);
    c.chan_status = std::make_unique<RowStream>(c.group, "ChanStatus", H5T_NATIVE_UINT32, Dims{},
                                                rows, &zero32);
  }
  switch (plan.kind) {
    case Kind::kEmpty:
    case Kind::kMark:
      break;
    case Kind::kScalar:
      c.value =
          std::make_unique<RowStream>(c.group, "Value", H5T_NATIVE_DOUBLE, Dims{}, rows, &fill);
      break;
    case Kind::kScalarInt:
      c.value =
          std::make_unique<RowStream>(c.group, "Value", H5T_NATIVE_INT32, Dims{}, rows, &zero);
      break;
    case Kind::kPairs: {
      c.name_width = std::max<size_t>(p.max_name, 1);
      c.pair_count = p.max_groups;
      hid_t name_type = string_type(c.name_width);
      c.pair_type = H5Tcreate(H5T_COMPOUND, c.name_width + sizeof(double));
      H5Tinsert(c.pair_type, "Name", 0, name_type);
      H5Tinsert(c.pair_type, "Value", c.name_width, H5T_NATIVE_DOUBLE);
      H5Tclose(name_type);
      std::vector<unsigned char> blank(c.name_width + sizeof(double), 0);
      std::memcpy(&blank[c.name_width], &fill, sizeof fill);
      c.pairs = std::make_unique<RowStream>(c.group, "Pairs", c.pair_type, Dims{p.max_groups}, rows,
                                            blank.data());
      c.length =
          std::make_unique<RowStream>(c.group, "Length", H5T_NATIVE_INT32, Dims{}, rows, &zero);
      break;
    }
    case Kind::kSpectrum:
      for (size_t m = 0; m < p.max_groups; ++m) {
        std::string member = "Member" + std::to_string(m);
        c.member_counts.push_back(p.max_values[m]);
        c.members.push_back(std::make_unique<RowStream>(c.group, member, H5T_NATIVE_DOUBLE,
                                                        Dims{p.max_values[m]}, rows, &fill));
        if (plan.parameters != nullptr && m < plan.parameters->spectra.size()) {
          write_attributes(c.members.back()->id(), plan.parameters->spectra[m]);
        }
        c.member_lengths.push_back(std::make_unique<RowStream>(
            c.group, member + "Length", H5T_NATIVE_INT32, Dims{}, rows, &absent));
        c.member_stats.push_back(
            p.has_stats[m] ? std::make_unique<RowStream>(c.group, member + "Stats",
                                                         H5T_NATIVE_DOUBLE, Dims{32}, rows, &fill)
                           : nullptr);
      }
      write_attribute(c.group, "length_codes",
                      std::string("-1 member not in the cell, -2 member without data"));
      break;
    case Kind::kImage: {
      size_t pixels = p.max_values.empty() ? 0 : p.max_values[0];
      c.pixel_count = pixels;
      Dims shape{pixels};
      const Attributes* frame = nullptr;
      if (plan.parameters != nullptr && !plan.parameters->frames.empty()) {
        frame = &plan.parameters->frames[0];
        int w = attribute_int(*frame, "width"), h = attribute_int(*frame, "height");
        if (w > 0 && h > 0 && static_cast<size_t>(w) * h == pixels) {
          shape = Dims{static_cast<hsize_t>(h), static_cast<hsize_t>(w)};
        }
      }
      const uint16_t black = 0;
      c.pixels =
          std::make_unique<RowStream>(c.group, "Pixels", H5T_NATIVE_UINT16, shape, rows, &black);
      if (frame != nullptr) write_attributes(c.pixels->id(), *frame);
      c.length =
          std::make_unique<RowStream>(c.group, "Length", H5T_NATIVE_INT32, Dims{}, rows, &zero);
      break;
    }
  }
}

H5Writer::~H5Writer() {
  if (committed_) return;
  close_all();
  std::remove(temp_.c_str());
}

void H5Writer::close_all() {
  event_streams_.clear();
  for (auto& c : channels_) {
    hid_t group = c->group;
    c.reset();
    if (group >= 0) H5Gclose(group);
  }
  channels_.clear();
  if (run_ >= 0) H5Gclose(run_);
  run_ = -1;
  if (file_ >= 0) H5Fclose(file_);
  file_ = -1;
}

void H5Writer::append(const Row& row) {
  *static_cast<uint64_t*>(event_streams_[0]->row()) = row.event_id;
  *static_cast<uint32_t*>(event_streams_[1]->row()) = row.sec;
  *static_cast<uint32_t*>(event_streams_[2]->row()) = row.usec;
  char* iso = static_cast<char*>(event_streams_[3]->row());
  std::memcpy(iso, row.iso.data(), std::min(row.iso.size(), std::max<size_t>(info_.iso_width, 1)));
  if (header_.status_columns) *static_cast<uint32_t*>(event_streams_[4]->row()) = row.ev_status;

  for (size_t i = 0; i < channels_.size(); ++i) {
    Channel& c = *channels_[i];
    const ChannelCell& cc = row.channels[i];
    Outcome outcome = classify(cc.cell, c.kind);
    *static_cast<uint8_t*>(c.missing->row()) = static_cast<uint8_t>(outcome);
    if (c.srv_status) {
      *static_cast<uint32_t*>(c.srv_status->row()) = cc.srv_status;
      *static_cast<uint32_t*>(c.chan_status->row()) = cc.chan_status;
    }
    bool has = outcome == Outcome::kValue;
    const std::vector<Group>& groups = cc.cell.groups;
    switch (c.kind) {
      case Kind::kEmpty:
      case Kind::kMark:
        break;
      case Kind::kScalar: {
        auto* v = static_cast<double*>(c.value->row());
        if (has) *v = groups[0].values[0].value;
        break;
      }
      case Kind::kScalarInt: {
        auto* v = static_cast<int32_t*>(c.value->row());
        if (has) *v = static_cast<int32_t>(groups[0].values[0].value);
        break;
      }
      case Kind::kPairs: {
        auto* out = static_cast<unsigned char*>(c.pairs->row());
        auto* n = static_cast<int32_t*>(c.length->row());
        if (!has) break;
        size_t stride = c.name_width + sizeof(double);
        size_t count = std::min(groups.size(), c.pairs_width());
        for (size_t g = 0; g < count; ++g) {
          unsigned char* e = out + g * stride;
          std::memset(e, 0, c.name_width);
          std::memcpy(e, groups[g].name.data(), std::min(groups[g].name.size(), c.name_width));
          std::memcpy(e + c.name_width, &groups[g].values[0].value, sizeof(double));
        }
        *n = static_cast<int32_t>(count);
        break;
      }
      case Kind::kSpectrum:
        for (size_t m = 0; m < c.members.size(); ++m) {
          auto* values = static_cast<double*>(c.members[m]->row());
          auto* n = static_cast<int32_t*>(c.member_lengths[m]->row());
          auto* stats =
              c.member_stats[m] ? static_cast<double*>(c.member_stats[m]->row()) : nullptr;
          if (!has || m >= groups.size()) continue;
          const Group& g = groups[m];
          if (g.failed) {
            *n = -2;
            continue;
          }
          size_t count = std::min(g.values.size(), c.member_width(m));
          for (size_t k = 0; k < count; ++k) values[k] = g.values[k].value;
          *n = static_cast<int32_t>(count);
          for (const Stat& s : g.stats) {
            if (stats != nullptr) stats[s.bit] = s.value;
          }
        }
        break;
      case Kind::kImage: {
        auto* pixels = static_cast<uint16_t*>(c.pixels->row());
        auto* n = static_cast<int32_t*>(c.length->row());
        if (!has) break;
        size_t count = std::min(groups[0].values.size(), c.pixel_width());
        for (size_t k = 0; k < count; ++k) {
          pixels[k] = static_cast<uint16_t>(groups[0].values[k].value);
        }
        *n = static_cast<int32_t>(count);
        break;
      }
    }
  }
}

void H5Writer::commit(const std::vector<ColumnCounts>& counts, uint64_t short_rows) {
  for (auto& s : event_streams_) s->flush();
  for (size_t i = 0; i < channels_.size(); ++i) {
    Channel& c = *channels_[i];
    for (RowStream* s : {c.missing.get(), c.srv_status.get(), c.chan_status.get(), c.value.get(),
                         c.length.get(), c.pixels.get(), c.pairs.get()}) {
      if (s != nullptr) s->flush();
    }
    for (auto* list : {&c.members, &c.member_lengths, &c.member_stats}) {
      for (auto& s : *list) {
        if (s) s->flush();
      }
    }
    const ColumnCounts& n = counts[i];
    write_attribute(c.group, "cells_present", n.present);
    write_attribute(c.group, "cells_empty", n.empty);
    write_attribute(c.group, "cells_not_found", n.not_found);
    write_attribute(c.group, "cells_no_image", n.no_image);
    write_attribute(c.group, "values_invalid", n.invalid);
    write_attribute(c.group, "cells_cut_short", n.cut_short);
    write_attribute(c.group, "cells_other_kind", n.other_kind);
  }
  write_attribute(run_, "rows_with_wrong_cell_count", short_rows);
  hid_t file = file_;
  file_ = -1;
  close_all();
  check_status(H5Fclose(file), "close " + temp_);
  if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
    throw std::runtime_error("cannot rename " + temp_ + " to " + path_ + ": " +
                             std::strerror(errno));
  }
  committed_ = true;
}

}  // namespace table2h5
