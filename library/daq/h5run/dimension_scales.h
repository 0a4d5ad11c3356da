// Dimension scales as netCDF-4 and xarray read them (the attributes of
// HDF5's dimension-scale convention), written once at the end of a run:
// attaching scales one at a time rewrites a scale's list of users at every
// attachment, quadratic in the number of datasets.
#ifndef DAQ_H5RUN_DIMENSION_SCALES_H_
#define DAQ_H5RUN_DIMENSION_SCALES_H_

#include <hdf5.h>

#include <map>
#include <string>
#include <vector>

namespace h5run {

class DimensionScales {
 public:
  // Makes `scale` (an open dataset at `path`) a dimension scale named `name`.
  void add_scale(hid_t scale, const std::string& path, const std::string& name);
  // Gives every dimension of `dataset` (at `path`) its scale, in dimension
  // order; each scale was added before. A dataset gets scales for all its
  // dimensions or none.
  void attach(hid_t dataset, const std::string& path, const std::vector<hid_t>& scales);
  // Writes the scales' and the datasets' attributes. Throws Error.
  void write();

 private:
  struct Use {
    hid_t dataset;
    unsigned dimension;
  };
  std::map<hid_t, std::vector<Use>> users_;  // per scale
  std::map<hid_t, std::string> paths_;
  std::vector<std::pair<hid_t, std::vector<hid_t>>> attached_;
};

}  // namespace h5run

#endif  // DAQ_H5RUN_DIMENSION_SCALES_H_
