// One per-event dataset of a run file. A dataset of one value a row is
// staged: its rows live in the writer's event stage until a block of events
// is written. Other rows are gathered in a buffer of the column's own and
// written out in blocks. The dataset itself appears at the first write, so
// that its chunk shape fits the rows that were buffered, and grows with the
// run.
#ifndef DAQ_H5RUN_COLUMN_H_
#define DAQ_H5RUN_COLUMN_H_

#include <hdf5.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bytes.h"
#include "codec.h"
#include "event_stage.h"
#include "h5_handle.h"

namespace h5run {

// The fill of int32 value datasets (Value, pairs and members of -fti
// channels), also their _FillValue: a missing event reads as this value and
// netCDF readers mask it. A value of INT32_MIN that came is told by Missing.
constexpr int32_t kIntFill = INT32_MIN;

// A variable-length UTF-8 string type (h5py reads it as str).
Datatype utf8_string_type();

// What the columns of one file share: the bytes their row buffers hold
// together (the writer's memory bound), and the property lists of their
// datasets, made once for each kind of dataset instead of for every one of
// tens of thousands.
class ColumnShared {
 public:
  size_t buffered = 0;            // bytes of buffered rows, all columns
  size_t block_bytes = 0;         // about how many bytes of rows gather before a write
  uint64_t expected_events = 0;   // the run's events, when known
  uint64_t stage_chunk_rows = 0;  // chunk rows of staged datasets made within the run

  // The datasets' access list: no chunk cache (rows arrive in whole chunks).
  hid_t access();
  hid_t scalar_space();
  // The creation list stored under `key`, or null.
  hid_t creation(const std::string& key) const;
  hid_t keep_creation(const std::string& key, PropList list);
  // The one deflater of the columns' own chunks: they are written by one
  // thread at a time.
  ChunkDeflater& deflater() {
    if (!deflater_) deflater_ = std::make_unique<ChunkDeflater>();
    return *deflater_;
  }

 private:
  PropList access_;
  Dataspace scalar_;
  std::unordered_map<std::string, PropList> creation_;
  std::unique_ptr<ChunkDeflater> deflater_;
};

class alignas(64) Column {
 public:
  // `type` is both the memory and the file type of an element; `fill` one
  // element (for strings a `const char*`). Rows before `first_row` are fill.
  // `shared` outlives the column.
  Column(hid_t parent, std::string name, hid_t type, std::vector<hsize_t> row_dims,
         const void* fill, uint64_t first_row, const Compression& compression,
         ColumnShared& shared);
  ~Column();
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;

  // Stages the column's rows in `stage` (one value a row, not a string).
  bool stageable() const;
  void stage_in(EventStage& stage);
  bool staged() const { return stage_ != nullptr; }
  size_t slot() const { return slot_; }

  // The buffer of row `index`, set to the fill; rows skipped since the last
  // call stay fill. `index` must not go back; a staged column's is the
  // stage's current row.
  void* row(uint64_t index) {
    if (stage_ != nullptr && index == stage_->current_row()) return stage_->current() + slot_;
    return append_row(index, true);
  }
  // The same for a caller that writes every element of the row: not filled.
  void* whole_row(uint64_t index) {
    if (stage_ != nullptr && index == stage_->current_row()) return stage_->current() + slot_;
    return append_row(index, false);
  }
  // A string row (string columns only).
  void set_string(uint64_t index, std::string_view text);

  const std::string& name() const { return name_; }
  const std::vector<hsize_t>& row_dims() const { return row_dims_; }
  size_t row_elements() const { return row_elements_; }
  size_t element_size() const { return element_; }
  // Enlarges the row shape (no dimension shrinks); written rows keep their
  // values in the leading corner.
  void grow(const std::vector<hsize_t>& row_dims);
  // Gives the column a wider element type (uint8 to uint16); written rows
  // keep their values.
  void widen_type(hid_t type);

  size_t buffered_bytes() const { return buffer_.size() + text_.size(); }
  // Writes the buffered rows.
  void flush() {
    take();
    write_taken();
  }
  // Sets the buffered rows aside, so that write_taken() can write them
  // (on another thread) while new rows are buffered. No HDF5 call.
  void take();
  // Writes the rows set aside by take().
  void write_taken();
  // Writes rows [first, first + rows) from `data`, rows of the row shape
  // one after the other; `finishing`: the run's last rows.
  void write_block(uint64_t first, uint64_t rows, const void* data, bool finishing);
  // Whether `row_dims` is larger than the row shape in some dimension.
  bool would_grow(const std::vector<hsize_t>& row_dims) const;
  // Writes what is left and sets the dataset to `events` rows.
  void finish(uint64_t events);
  // The dataset, created (empty) if no row was written yet.
  hid_t dataset();
  void close() { dataset_.reset(); }

 private:
  void set_row_shape(const std::vector<hsize_t>& row_dims);
  void* append_row(uint64_t index, bool fill);
  // A dataset of the row shape and type, chunks of about `rows` rows; an
  // anonymous one is linked by remake().
  Dataset make_dataset(uint64_t rows, bool anonymous);
  // The creation list of a dataset of this column: chunks, filters, fill.
  PropList make_creation_list(const std::vector<hsize_t>& chunk, H5D_layout_t layout) const;
  void create(uint64_t rows);
  // Makes the dataset again in the current row shape and type, its written
  // rows (`old_dims` wide) copied over.
  void remake(const std::vector<hsize_t>& old_dims);
  void pad_to(uint64_t index);
  // The dataset's length in rows.
  void set_extent(uint64_t rows);
  // Rows [first, first + rows) of `data` through the HDF5 filters.
  void write_rows(uint64_t first, uint64_t rows, const void* data);
  // Whole chunks compressed (or copied, uncompressed) here: chunk
  // `first / chunk_rows_` on.
  void write_chunks(uint64_t first, uint64_t chunks, const unsigned char* data);

  // What a row append reads comes first, in one cache line: every event
  // appends a row to each of tens of thousands of columns.
  EventStage* stage_ = nullptr;
  size_t slot_ = 0;
  uint64_t first_ = 0;     // row of the first buffered row
  uint64_t buffered_ = 0;  // rows in the buffer
  size_t row_bytes_ = 0;
  Bytes buffer_;
  uint64_t small_fill_ = 0;  // the fill row, when it is at most 8 bytes
  bool zero_fill_ = false;   // every byte of the fill is 0
  ColumnShared* shared_;

  hid_t parent_;
  Compression comp_;
  std::string name_;
  Datatype type_;
  bool is_string_ = false;
  size_t element_ = 0;
  std::vector<hsize_t> row_dims_;
  size_t row_elements_ = 1;
  std::vector<unsigned char> fill_row_;
  std::vector<unsigned char> fill_element_;
  std::string fill_text_;
  Dataset dataset_;
  uint64_t extent_ = 0;     // rows of the dataset in the file
  bool finishing_ = false;  // the last write: what is buffered is the rest of the run
  bool fixed_ = false;      // made at its final size, not chunked
  uint64_t chunk_rows_ = 0;
  std::vector<hsize_t> chunk_dims_;  // chunk shape of a row
  std::string text_;                 // string rows, each ended by '\0'
  std::vector<size_t> text_starts_;  // per buffered string row
  // Rows set aside by take().
  uint64_t taken_first_ = 0, taken_rows_ = 0;
  Bytes taken_;
  std::string taken_text_;
  std::vector<size_t> taken_starts_;
};

}  // namespace h5run

#endif  // DAQ_H5RUN_COLUMN_H_
