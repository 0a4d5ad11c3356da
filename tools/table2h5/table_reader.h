// Reading a table file written in HDF5 conversion mode: the header line,
// event rows split into cells, each cell parsed into its bracket groups, and
// what a scan of the whole table learns about every channel column.
#ifndef TOOLS_TABLE2H5_TABLE_READER_H_
#define TOOLS_TABLE2H5_TABLE_READER_H_

#include <cstdint>
#include <span>
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

// How numbers were printed; tells the writers of the cells apart. A group
// keeps the set of forms its values showed.
enum Form : unsigned {
  kFixed = 1u << 0,      // "%f": a single value
  kExp2 = 1u << 1,       // "%.2e": a name-value pair
  kExp0 = 1u << 2,       // "%.e": a spectrum value
  kInt = 1u << 3,        // "%d": float-to-int values and image pixels
  kInvalid = 1u << 4,    // the word "Invalid" of a spectrum
  kNonFinite = 1u << 5,  // nan, inf
};

// One statistic " [bit]:value" of a spectrum member.
struct Stat {
  int bit = 0;
  double value = 0;
};

// What a parse keeps of the numbers of a cell.
enum class Values {
  kNone,     // classified and counted only
  kDoubles,  // every number in Group::values
  kPixels,   // integers of 0 to 65535 in Group::pixels, two bytes each
};

// One inner bracket group: a spectrum member, a name-value pair, or the single
// array of a value or an image. Reused from cell to cell, so that its vectors
// keep their storage.
struct Group {
  bool failed = false;  // "[]," : the member's data could not be read
  bool pair = false;    // "name:value"
  std::string name;
  std::vector<Stat> stats;
  std::vector<double> values;    // with Values::kDoubles
  std::vector<uint16_t> pixels;  // with Values::kPixels; whole only for a group of such integers
  size_t count = 0;              // values in the group
  unsigned forms = 0;
  int64_t min_int = 0, max_int = 0;  // of the kInt values
  size_t invalid = 0;                // "Invalid", nan and inf values
  void clear();
};

enum class CellForm {
  kAbsent,  // the row ended before this cell
  kEmpty,   // nothing between the separators (structured data, colour images)
  kMark,    // "1" and a tab
  kBare,    // "[]": channel not found, no image, no members or no pairs
  kList,    // "[" groups "]"
};

class Cell {
 public:
  CellForm form = CellForm::kAbsent;
  std::span<const Group> groups() const { return {groups_.data(), size_}; }
  void clear() {
    form = CellForm::kAbsent;
    size_ = 0;
  }
  Group& add();

 private:
  std::vector<Group> groups_;
  size_t size_ = 0;
};

// Parses one cell's text into `cell`; `line` and `column` place its first
// byte.
void parse_cell(std::string_view text, int line, int column, Cell* cell,
                Values values = Values::kDoubles);
Cell parse_cell(std::string_view text, int line, int column);

// A token of the table as a message quotes it: in double quotes with JSON's
// escapes (control bytes as \u00XX, bytes that are not UTF-8 as U+FFFD), cut
// to about 60 bytes, a cut one followed by its length.
std::string quoted(std::string_view token);

struct Header {
  bool status_columns = false;  // the host's outmode was set
  std::vector<std::string> channels;
  size_t event_cells() const { return status_columns ? 4 : 3; }
  size_t cells_per_row() const {
    return event_cells() + channels.size() * (status_columns ? 3 : 1);
  }
};

Header parse_header(std::string_view line);

// What a row of `cells` cells lacks, e.g. "row ends after the status words of
// column B, before its cell"; for a row of too many cells, how many.
std::string cut_row_text(const Header& header, size_t cells);

struct ChannelCell {
  uint32_t srv_status = 0;
  uint32_t chan_status = 0;
  Cell cell;  // kAbsent when the reader only cuts the cells out
  // The cell's text and the column of its first byte, valid until the next
  // row; `absent` when the row stopped before the cell.
  std::string_view text;
  int column = 0;
  bool absent = true;
};

struct Row {
  int line = 0;
  uint64_t event_id = 0;
  uint32_t sec = 0;
  uint32_t usec = 0;
  std::string_view iso;  // valid until the next row
  uint32_t ev_status = 0;
  std::vector<ChannelCell> channels;
  // The hook failed inside this event: the row stopped short and, when a
  // further event follows, the next row went on in the same line.
  bool short_row = false;
  size_t cells = 0;  // of this row, without the separator that ends a cut line
  // The line ended with a separator: the last cell is empty, or the row was
  // cut short just before it, which only the column's kind can tell.
  bool ends_with_separator = false;
  // The last line of the file has no line end: the writer was still at it.
  bool unterminated = false;
};

// What TableReader::next() does with the cells of a row.
enum class CellParse {
  kScan,    // parsed with Values::kNone
  kValues,  // parsed with Values::kDoubles
  kText,    // only cut out (ChannelCell::text): one cell at a time parsed by
            // the caller, so that a row of many wide cells is never held parsed
};

// Streams the rows of a table file; one text line may hold several rows.
class TableReader {
 public:
  explicit TableReader(const std::string& path, CellParse parse = CellParse::kValues);
  ~TableReader();
  TableReader(const TableReader&) = delete;
  TableReader& operator=(const TableReader&) = delete;
  const Header& header() const { return header_; }
  // False at the end of the file.
  bool next(Row* row);
  uint64_t bytes() const { return consumed_; }
  // The line read last has no line end: the file stops inside it.
  bool line_unterminated() const { return !line_terminated_; }
  int line() const { return line_no_; }
  // Columns whose cells are left unparsed (the scan of a column the
  // description already tells); `skip` must outlive the reader.
  void skip_columns(const std::vector<bool>* skip) { skip_ = skip; }

 private:
  bool next_line();
  void split_line();
  // Closes the file and frees the buffer (also when the constructor throws).
  void release();

  int fd_ = -1;
  CellParse parse_;
  const std::vector<bool>* skip_ = nullptr;
  // Grown with realloc(), which moves large blocks by remapping their pages
  // instead of holding old and new copies at once.
  char* buf_ = nullptr;
  size_t size_ = 0;
  size_t begin_ = 0, end_ = 0;  // unread bytes of buf_
  bool eof_ = false;
  uint64_t consumed_ = 0;
  Header header_;
  int line_no_ = 0;
  std::string_view line_;
  bool line_terminated_ = true;
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
  int64_t min_int = 0;
  int64_t max_int = 0;
  // Pixel counts of single-group integer cells and how often each came.
  std::vector<std::pair<size_t, uint64_t>> lengths;
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
  kSawNonFinite = 1u << 13,  // nan or inf
  kSawEmptyCell = 1u << 14,  // nothing between the separators
};

void profile_cell(const Cell& cell, ColumnProfile* profile);
// The most common pixel count of a column, 0 if none.
size_t common_length(const ColumnProfile& profile);

enum class Kind { kEmpty, kMark, kScalar, kScalarInt, kPairs, kSpectrum, kImage, kStructured };

const char* kind_name(Kind kind);
bool kind_from_name(std::string_view name, Kind* kind);
// The cell writer that most likely wrote the column; `hint` is kEmpty when
// the XML description says nothing, else kSpectrum or kImage.
Kind infer_kind(const ColumnProfile& profile, Kind hint);
// True when the cells alone cannot tell the kind: integer arrays in one
// bracket could be an image or a float-to-int spectrum of one member.
bool kind_ambiguous(const ColumnProfile& profile);

// What a cell holds for a column of a given kind; the codes are stored in
// each channel's Missing dataset, the same as the plug-in's for the same
// cell where the text tells the cases apart.
enum class Outcome : uint8_t {
  kValue = 0,      // also a structured-data cell, empty whether converted or not
  kEmpty = 1,      // nothing between the separators
  kNotFound = 2,   // "[]": channel not found, no image, no members or pairs
  kCutShort = 3,   // the row stopped before this cell
  kOtherKind = 4,  // the cell does not fit the column's kind (an empty camera cell: colour)
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
  uint64_t size_differs = 0;  // camera frames of another pixel count
};

void tally(const Cell& cell, Kind kind, ColumnCounts* counts);
// The same for a cell whose outcome is known.
void tally(Outcome outcome, const Cell& cell, Kind kind, ColumnCounts* counts);

// The column name without its ":<sub-channel>" suffix.
std::string base_name(const std::string& column);

}  // namespace table2h5

#endif  // TOOLS_TABLE2H5_TABLE_READER_H_
