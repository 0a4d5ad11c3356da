// What the writer adds at the end of a run for readers: the dimension scales,
// the EventId link of every channel group, the CF names of the value
// datasets and the NeXus attributes for viewers.
#include <string>
#include <vector>

#include "attributes.h"
#include "dimension_scales.h"
#include "run_channel.h"
#include "run_writer.h"

namespace h5run {

// EventId is the scale of every per-event axis; the other axes get scales
// in their group: the sample index of each spectrum member, the statistics
// bit, the image's y and x.
void RunWriter::write_dimension_scales() {
  DimensionScales scales;
  hid_t events = event_columns_[0]->dataset();
  scales.add_scale(events, "/run/EventId", "EventId");
  auto per_event = [&](Column& col, const std::string& group, std::vector<hid_t> more) {
    more.insert(more.begin(), events);
    scales.attach(col.dataset(), group + "/" + col.name(), more);
  };
  for (size_t k = 1; k < event_columns_.size(); ++k) per_event(*event_columns_[k], "/run", {});
  for (auto* col : {&ev_status_, &ev_type_, &ev_type_name_}) {
    if (*col) per_event(**col, "/run", {});
  }
  std::vector<Dataset> axes;
  for (auto& c : channels_) {
    std::string group = "/run/" + c->link;
    auto axis = [&](const std::string& name, hsize_t length) {
      Dataspace space(check(H5Screate_simple(1, &length, nullptr), "create a dataspace"));
      PropList dcpl(check(H5Pcreate(H5P_DATASET_CREATE), "create a property list"));
      H5Pset_obj_track_times(dcpl.get(), false);
      axes.emplace_back(check(H5Dcreate2(c->group.get(), name.c_str(), H5T_NATIVE_INT32,
                                         space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT),
                              "create the dataset " + name));
      std::vector<int32_t> index(length);
      for (hsize_t k = 0; k < length; ++k) index[k] = static_cast<int32_t>(k);
      if (length > 0) {
        check_status(H5Dwrite(axes.back().get(), H5T_NATIVE_INT32, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                              index.data()),
                     "write " + name);
      }
      scales.add_scale(axes.back().get(), group + "/" + name, name);
      return axes.back().get();
    };
    hid_t stat_bit = -1;
    c->each_column([&](Column& col) {
      const std::vector<hsize_t>& dims = col.row_dims();
      if (dims.empty()) {
        per_event(col, group, {});
      } else if (col.name() == "Pixels") {
        per_event(col, group, {axis("PixelY", dims[0]), axis("PixelX", dims[1])});
      } else if (col.name().size() > 5 && col.name().ends_with("Stats")) {
        if (stat_bit < 0) stat_bit = axis("StatBit", 32);
        per_event(col, group, {stat_bit});
      } else {
        per_event(col, group, {axis(col.name() + "Sample", dims[0])});
      }
    });
  }
  scales.write();
}

// Every channel group holds the event IDs as the variable of its event
// dimension: a hard link to /run/EventId, no copy. A reader that opens one
// group (xarray, netCDF, silx) then labels the events by ID, not position.
void RunWriter::link_event_ids() {
  for (auto& c : channels_) {
    check_status(
        H5Lcreate_hard(run_.get(), "EventId", c->group.get(), "EventId", H5P_DEFAULT, H5P_DEFAULT),
        "link /run/" + c->link + "/EventId");
  }
}

// The CF names of what a value dataset holds: `long_name` (the column, and
// which member or pair) and `units` from the channel's description. The
// description's unit is the channel's: a pair (a charge beside positions)
// need not share it, so pair datasets get none.
void RunWriter::write_value_attributes() {
  for (auto& c : channels_) {
    auto name = [&](Column& col, const std::string& long_name, bool with_unit = true) {
      hid_t d = col.dataset();
      write_string_attribute(d, "long_name", long_name);
      if (with_unit && !c->unit.empty()) write_string_attribute(d, "units", c->unit);
    };
    if (c->value) name(*c->value, c->spec.column);
    for (size_t k = 0; k < c->pairs.size(); ++k) {
      name(*c->pairs[k], c->spec.column + " " + c->pair_names[k], false);
    }
    for (size_t m = 0; m < c->members.size(); ++m) {
      if (c->members[m].values) {
        name(*c->members[m].values, c->spec.column + " member " + std::to_string(m));
      }
    }
    if (c->pixels) name(*c->pixels, c->spec.column);
  }
}

// NeXus attributes, so that generic viewers find a plot: the file's
// default is /run (NXentry), whose default is the first channel with
// values; each such channel is NXdata with its main dataset as signal and
// the group's link to the event IDs as the event axis.
void RunWriter::write_nexus_attributes() {
  std::string first;
  for (auto& c : channels_) {
    Column* signal = nullptr;
    std::vector<std::string> axes{"EventId"};
    const char* interpretation = nullptr;
    if (c->value) {
      signal = c->value.get();
    } else if (!c->pairs.empty()) {
      signal = c->pairs.front().get();
    } else if (!c->members.empty() && c->members[0].values) {
      signal = c->members[0].values.get();
      axes.push_back("Member0Sample");
      interpretation = "spectrum";
    } else if (c->pixels) {
      signal = c->pixels.get();
      axes.insert(axes.end(), {"PixelY", "PixelX"});
      interpretation = "image";
    }
    if (signal == nullptr) continue;
    hid_t g = c->group.get();
    write_string_attribute(g, "NX_class", "NXdata");
    write_string_attribute(g, "signal", signal->name());
    write_strings_attribute(g, "axes", axes);
    if (interpretation != nullptr) {
      write_string_attribute(signal->dataset(), "interpretation", interpretation);
    }
    for (size_t m = 1; m < c->members.size(); ++m) {
      if (c->members[m].values) {
        write_string_attribute(c->members[m].values->dataset(), "interpretation", "spectrum");
      }
    }
    if (first.empty()) first = c->link;
  }
  write_string_attribute(run_.get(), "NX_class", "NXentry");
  if (!first.empty()) write_string_attribute(run_.get(), "default", first);
  write_string_attribute(file_.get(), "default", "run");
}

}  // namespace h5run
