// What the XML description file of a run tells about its channels.
#ifndef TOOLS_TABLE2H5_DESCRIPTION_H_
#define TOOLS_TABLE2H5_DESCRIPTION_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace table2h5 {

using Attributes = std::vector<std::pair<std::string, std::string>>;

struct Description {
  std::map<std::string, Attributes> channels;  // by DAQ name
  struct Parameters {
    long num = 0;                     // the sub-channel number, or a member count
    std::vector<Attributes> spectra;  // per member
    std::vector<Attributes> frames;   // image frame headers
  };
  std::map<std::string, std::vector<Parameters>> parameters;  // by name, in file order
};

// Throws std::runtime_error naming the file when it cannot be read.
Description read_description(const std::string& path);

// The value of an attribute as an integer; `fallback` when absent or not one.
long attribute_int(const Attributes& attributes, const char* name, long fallback);

}  // namespace table2h5

#endif  // TOOLS_TABLE2H5_DESCRIPTION_H_
