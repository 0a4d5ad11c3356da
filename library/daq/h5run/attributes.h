// Attributes of HDF5 objects as the layout writes them: scalars, UTF-8
// strings and lists of strings, each replacing one of the same name.
#ifndef DAQ_H5RUN_ATTRIBUTES_H_
#define DAQ_H5RUN_ATTRIBUTES_H_

#include <hdf5.h>

#include <string>
#include <string_view>
#include <vector>

namespace h5run {

void delete_attribute(hid_t object, const std::string& name);
// A scalar of `type` (memory and file type alike). Throws Error.
void write_attribute(hid_t object, std::string_view name, hid_t type, const void* value);
void write_string_attribute(hid_t object, std::string_view name, std::string_view value);
// A list of strings; an empty list is an attribute of no elements.
void write_strings_attribute(hid_t object, const std::string& name,
                             const std::vector<std::string>& values);

}  // namespace h5run

#endif  // DAQ_H5RUN_ATTRIBUTES_H_
