// Reading a table file written in HDF5 conversion mode: the header line,
// event rows split into cells, each cell parsed into its bracket groups, and
// what a first pass learns about every channel column.
#ifndef TOOLS_TABLE2H5_TABLE_READER_H_
#define TOOLS_TABLE2H5_TABLE_READER_H_

#include <cstdint>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace table2h5 {

// A malformed table: names the 1-based line and byte column of the fault.
class ParseError : public std::runtime_error {
 public:
  ParseError(int line, int column, const std::string& what);
  int line() const { return line_; }
  int column() const { return column_; }

 private:
  int line_;
  int column_;
};

// How a number was printed; tells the writers of the cells apart.
enum class NumberForm {
  kFixed,    // "%f": a single value
  kExp2,     // "%.2e": a name-value pair
  kExp0,     // "%.e": a spectrum value
  kInt,      // "%d": float-to-int values and image pixels
  kInvalid,  // the word "Invalid" of a spectrum
  kNonFinite,
};

struct Number {
  double value = 0;
  NumberForm form = NumberForm::kInt;
};

// One statistic " [bit]:value" of a spectrum member.
struct Stat {
  int bit = 0;
  double value = 0;
};

// One inner bracket group: a spectrum member, a name-value pair, or the single
// array of a value or an image.
struct Group {
  bool failed = false;  // "[]," : the member's data could not be read
  bool pair = false;    // "name:value"
  std::string name;
  std::vector<Stat> stats;
  std::vector<Number> values;
};

enum class CellForm {
  kAbsent,  // the row ended before this cell
  kEmpty,   // nothing between the separators (structured data, colour images)
  kMark,    // "1" and a tab
  kBare,    // "[]": channel not found, no image, no members or no pairs
  kList,    // "[" groups "]"
};

struct Cell {
  CellForm form = CellForm::kAbsent;
  std::vector<Group> groups;
};

// Parses one cell's text; `line` and `column` place its first byte.
Cell parse_cell(std::string_view text, int line, int column);

struct Header {
  bool status_columns = false;  // the host's outmode was set
  std::vector<std::string> channels;
  size_t event_cells() const { return status_columns ? 4 : 3; }
  size_t cells_per_row() const {
    return event_cells() + channels.size() * (status_columns ? 3 : 1);
  }
};

Header parse_header(std::string_view line);

struct ChannelCell {
  uint32_t srv_status = 0;
  uint32_t chan_status = 0;
  Cell cell;
};

struct Row {
  int line = 0;
  uint64_t event_id = 0;
  uint32_t sec = 0;
  uint32_t usec = 0;
  std::string iso;
  uint32_t ev_status = 0;
  std::vector<ChannelCell> channels;
  // The hook failed inside this event: the row stopped short and, when a
  // further event follows, the next row went on in the same line.
  bool short_row = false;
  // The line ended with a separator: the last cell is empty, or the row was
  // cut short just before it, which only the column's kind can tell.
  bool ends_with_separator = false;
};

// Streams the rows of a table file; one text line may hold several rows.
class TableReader {
 public:
  explicit TableReader(const std::string& path);
  const Header& header() const { return header_; }
  // False at the end of the file.
  bool next(Row* row);

 private:
  void split_line();

  std::ifstream in_;
  Header header_;
  int line_no_ = 1;
  std::string line_;
  std::vector<std::pair<std::string_view, int>> cells_;  // text, column
  size_t cursor_ = 0;                                    // next cell of line_
};

// What a column shows over the whole table: evidence of the cell writer that
// wrote it and the widths its datasets need.
struct ColumnProfile {
  unsigned evidence = 0;
  size_t max_groups = 0;
  std::vector<size_t> max_values;  // per group index
  std::vector<bool> has_stats;     // per group index
  size_t max_name = 0;
  int64_t min_int = 0;
  int64_t max_int = 0;
};

enum Evidence : unsigned {
  kSawMark = 1u << 0,
  kSawFixed = 1u << 1,
  kSawExp2 = 1u << 2,
  kSawExp0 = 1u << 3,
  kSawInt = 1u << 4,
  kSawPair = 1u << 5,
  kSawStats = 1u << 6,
  kSawFailed = 1u << 7,
  kSawInvalid = 1u << 8,
  kSawManyGroups = 1u << 9,
  kSawManyValues = 1u << 10,
  kSawEmptyGroup = 1u << 11,
  kSawList = 1u << 12,
};

void profile_cell(const Cell& cell, ColumnProfile* profile);

enum class Kind { kEmpty, kMark, kScalar, kScalarInt, kPairs, kSpectrum, kImage };

const char* kind_name(Kind kind);
bool kind_from_name(std::string_view name, Kind* kind);
// The cell writer that most likely wrote the column; `hint` is kEmpty when
// the XML description says nothing, else kSpectrum or kImage.
Kind infer_kind(const ColumnProfile& profile, Kind hint);

// What a cell holds for a column of a given kind; the codes are stored in
// each channel's Missing dataset.
enum class Outcome : uint8_t {
  kValue = 0,
  kEmpty = 1,      // nothing between the separators
  kNotFound = 2,   // "[]": channel not found, no image, no members or pairs
  kCutShort = 3,   // the row stopped before this cell
  kOtherKind = 4,  // the cell does not fit the column's kind
};

Outcome classify(const Cell& cell, Kind kind);

// Per-channel figures of missing data.
struct ColumnCounts {
  uint64_t present = 0;
  uint64_t empty = 0;
  uint64_t not_found = 0;
  uint64_t no_image = 0;
  uint64_t invalid = 0;  // "Invalid", nan and inf values
  uint64_t cut_short = 0;
  uint64_t other_kind = 0;
};

void tally(const Cell& cell, Kind kind, ColumnCounts* counts);

// The column name without its ":<sub-channel>" suffix.
std::string base_name(const std::string& column);

}  // namespace table2h5

#endif  // TOOLS_TABLE2H5_TABLE_READER_H_
