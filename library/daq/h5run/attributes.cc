#include "attributes.h"

#include "column.h"
#include "h5_handle.h"

namespace h5run {

void delete_attribute(hid_t object, const std::string& name) {
  if (H5Aexists(object, name.c_str()) > 0) H5Adelete(object, name.c_str());
}

void write_attribute(hid_t object, std::string_view name, hid_t type, const void* value) {
  std::string n(name);
  delete_attribute(object, n);
  Dataspace space(check(H5Screate(H5S_SCALAR), "create a dataspace"));
  Attribute a(check(H5Acreate2(object, n.c_str(), type, space.get(), H5P_DEFAULT, H5P_DEFAULT),
                    "create the attribute " + n));
  check_status(H5Awrite(a.get(), type, value), "write the attribute " + n);
}

void write_string_attribute(hid_t object, std::string_view name, std::string_view value) {
  Datatype t = utf8_string_type();
  std::string text(value);
  const char* p = text.c_str();
  write_attribute(object, name, t.get(), &p);
}

void write_strings_attribute(hid_t object, const std::string& name,
                             const std::vector<std::string>& values) {
  delete_attribute(object, name);
  Datatype t = utf8_string_type();
  hsize_t n = values.size();
  Dataspace space(check(H5Screate_simple(1, &n, nullptr), "create a dataspace"));
  Attribute a(
      check(H5Acreate2(object, name.c_str(), t.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
            "create the attribute " + name));
  std::vector<const char*> p;
  for (const std::string& s : values) p.push_back(s.c_str());
  // An empty list is an attribute of no elements: nothing to write.
  if (!p.empty()) check_status(H5Awrite(a.get(), t.get(), p.data()), "write the attribute " + name);
}

}  // namespace h5run
