#include "dimension_scales.h"

#include <cstring>

#include "h5_handle.h"

namespace h5run {

namespace {

// A fixed-length string attribute, as HDF5's dimension-scale library writes
// CLASS and NAME.
void write_fixed_string(hid_t object, const char* name, const std::string& value) {
  Datatype t(check(H5Tcopy(H5T_C_S1), "copy the string type"));
  check_status(H5Tset_size(t.get(), value.size() + 1), "size a string type");
  check_status(H5Tset_strpad(t.get(), H5T_STR_NULLTERM), "pad a string type");
  Dataspace space(check(H5Screate(H5S_SCALAR), "create a dataspace"));
  Attribute a(check(H5Acreate2(object, name, t.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
                    std::string("create the attribute ") + name));
  check_status(H5Awrite(a.get(), t.get(), value.c_str()),
               std::string("write the attribute ") + name);
}

// From the object itself: by its path, each of tens of thousands of
// references would walk /run's index of channels again.
hobj_ref_t reference_to(hid_t object, const std::string& path) {
  hobj_ref_t ref{};
  check_status(H5Rcreate(&ref, object, ".", H5R_OBJECT, -1), "refer to " + path);
  return ref;
}

}  // namespace

void DimensionScales::add_scale(hid_t scale, const std::string& path, const std::string& name) {
  write_fixed_string(scale, "CLASS", "DIMENSION_SCALE");
  write_fixed_string(scale, "NAME", name);
  users_[scale];
  paths_[scale] = path;
}

void DimensionScales::attach(hid_t dataset, const std::string& path,
                             const std::vector<hid_t>& scales) {
  paths_[dataset] = path;
  for (size_t k = 0; k < scales.size(); ++k) {
    auto it = users_.find(scales[k]);
    if (it == users_.end()) throw Error("a dimension scale was not added");
    it->second.push_back({dataset, static_cast<unsigned>(k)});
  }
  attached_.emplace_back(dataset, scales);
}

void DimensionScales::write() {
  std::map<hid_t, hobj_ref_t> refs;
  auto ref = [&](hid_t object) {
    auto it = refs.find(object);
    if (it == refs.end()) it = refs.emplace(object, reference_to(object, paths_.at(object))).first;
    return it->second;
  };
  // DIMENSION_LIST of each dataset: per dimension, the list of its scales.
  Datatype list(check(H5Tvlen_create(H5T_STD_REF_OBJ), "create a reference list type"));
  for (const auto& [dataset, scales] : attached_) {
    std::vector<hobj_ref_t> targets;
    for (hid_t s : scales) targets.push_back(ref(s));
    std::vector<hvl_t> lists(scales.size());
    for (size_t k = 0; k < scales.size(); ++k) lists[k] = {1, &targets[k]};
    hsize_t rank = scales.size();
    Dataspace space(check(H5Screate_simple(1, &rank, nullptr), "create a dataspace"));
    Attribute a(check(
        H5Acreate2(dataset, "DIMENSION_LIST", list.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
        "create the attribute DIMENSION_LIST"));
    check_status(H5Awrite(a.get(), list.get(), lists.data()), "write DIMENSION_LIST");
  }
  // REFERENCE_LIST of each scale: every dataset and dimension it serves.
  struct Entry {
    hobj_ref_t ref;
    unsigned int dimension;
  };
  Datatype entry(check(H5Tcreate(H5T_COMPOUND, sizeof(Entry)), "create a compound type"));
  check_status(H5Tinsert(entry.get(), "dataset", HOFFSET(Entry, ref), H5T_STD_REF_OBJ),
               "make the reference list type");
  check_status(H5Tinsert(entry.get(), "dimension", HOFFSET(Entry, dimension), H5T_NATIVE_INT),
               "make the reference list type");
  for (const auto& [scale, uses] : users_) {
    if (uses.empty()) continue;
    std::vector<Entry> entries;
    for (const Use& u : uses) entries.push_back({ref(u.dataset), u.dimension});
    hsize_t n = entries.size();
    Dataspace space(check(H5Screate_simple(1, &n, nullptr), "create a dataspace"));
    Attribute a(check(
        H5Acreate2(scale, "REFERENCE_LIST", entry.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
        "create the attribute REFERENCE_LIST"));
    check_status(H5Awrite(a.get(), entry.get(), entries.data()), "write REFERENCE_LIST");
  }
}

}  // namespace h5run
