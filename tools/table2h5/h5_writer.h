// Writing the rows of a table file into one HDF5 file: a run group with the
// event columns and one group per channel column, every dataset chunked,
// compressed and filled one chunk of rows at a time.
#ifndef TOOLS_TABLE2H5_H5_WRITER_H_
#define TOOLS_TABLE2H5_H5_WRITER_H_

#include <hdf5.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "table2h5/table_reader.h"

namespace table2h5 {

using Attributes = std::vector<std::pair<std::string, std::string>>;

// What the XML description file of the run tells about its channels.
struct Description {
  std::map<std::string, Attributes> channels;  // by DAQ name
  struct Parameters {
    std::vector<Attributes> spectra;  // per member
    std::vector<Attributes> frames;   // image frame headers
  };
  std::map<std::string, std::vector<Parameters>> parameters;  // by name, in file order
};

// Throws std::runtime_error naming the file when it cannot be read.
Description read_description(const std::string& path);

struct ColumnPlan {
  std::string column;
  Kind kind = Kind::kEmpty;
  ColumnProfile profile;
  Attributes attributes;  // from the description's <channel>
  const Description::Parameters* parameters = nullptr;
};

struct RunInfo {
  std::string source;       // table file name
  std::string description;  // XML file name, or empty
  uint64_t rows = 0;
  size_t iso_width = 0;
  double fill = 0;
};

// One dataset written row by row through a buffer of one chunk.
class RowStream;

class H5Writer {
 public:
  // Creates a temporary file beside `path`; `path` itself appears only when
  // commit() succeeds. Throws std::runtime_error on HDF5 or file errors.
  H5Writer(const std::string& path, const Header& header, const std::vector<ColumnPlan>& plans,
           const RunInfo& info);
  ~H5Writer();  // removes the temporary file unless committed
  H5Writer(const H5Writer&) = delete;
  H5Writer& operator=(const H5Writer&) = delete;

  void append(const Row& row);
  // Writes the remaining rows and the figures of missing data, closes the
  // file and renames it to its final name.
  void commit(const std::vector<ColumnCounts>& counts, uint64_t short_rows);

 private:
  struct Channel;
  void create_channel(const ColumnPlan& plan, const std::string& group_name);
  void close_all();

  std::string path_;
  std::string temp_;
  const Header& header_;
  RunInfo info_;
  hid_t file_ = -1;
  hid_t run_ = -1;
  std::vector<std::unique_ptr<RowStream>> event_streams_;
  std::vector<std::unique_ptr<Channel>> channels_;
  bool committed_ = false;
};

}  // namespace table2h5

#endif  // TOOLS_TABLE2H5_H5_WRITER_H_
