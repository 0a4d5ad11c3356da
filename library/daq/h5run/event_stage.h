// The rows of a block of events for every one-value-a-row dataset, staged
// event by event in one contiguous block: each event is one row of the
// block, each dataset a fixed slot of it, in the order the datasets were
// made (the channel loop's). An event's values land in a few cache lines
// per channel instead of one buffer per dataset; a full block is turned
// into the datasets' rows a group of slots at a time and written as whole
// chunks.
#ifndef DAQ_H5RUN_EVENT_STAGE_H_
#define DAQ_H5RUN_EVENT_STAGE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes.h"

namespace h5run {

class Column;

class EventStage {
 public:
  struct Slot {
    Column* column;
    size_t offset, width;
  };
  // Staged rows taken out of the stage, to be written.
  struct Block {
    uint64_t first = 0, rows = 0;
    size_t stride = 0;
    Bytes data;
    std::vector<Slot> slots;
  };

  // A slot of `width` bytes (1, 2, 4 or 8), aligned to its width, for
  // `column`; the block's rows so far hold `fill` there.
  size_t add(Column* column, size_t width, const void* fill);
  // Starts the row of event `row`, every slot its fill; rows follow each
  // other without gaps within a block.
  void begin_row(uint64_t row);
  // The current row (the event being given) and its number.
  unsigned char* current() { return current_; }
  uint64_t current_row() const { return first_ + rows_ - 1; }

  uint64_t first() const { return first_; }
  uint64_t rows() const { return rows_; }
  bool empty() const { return rows_ == 0; }
  size_t slots() const { return slots_.size(); }
  // Bytes a row takes, slots and alignment; the block's bytes.
  size_t row_bytes() const { return stride_; }
  size_t bytes() const { return rows_ * stride_; }
  // Room for `rows` rows, so that the block does not grow row by row.
  void reserve_rows(uint64_t rows) { block_.reserve(rows * stride_); }
  // Drops the room a single row left between the slots while they were added.
  void compact();

  // The rows so far, as a block to write; the stage starts empty, with the
  // memory of `spare` (a block written before) when it has some.
  Block take(Bytes spare);
  // No slot is added after this (datasets made at the end are not staged).
  void close() { closed_ = true; }
  bool closed() const { return closed_; }

  // Each slot's rows of `block` into its column, a group of slots at a
  // time; `finishing`: the run's last rows.
  static void write(const Block& block, bool finishing);

 private:
  void relayout(size_t stride);

  std::vector<Slot> slots_;
  Bytes block_;
  std::vector<unsigned char> fill_;  // one row, every slot its fill
  size_t used_ = 0;                  // bytes of the row the slots take
  size_t stride_ = 0;
  uint64_t first_ = 0, rows_ = 0;
  unsigned char* current_ = nullptr;
  bool closed_ = false;
};

}  // namespace h5run

#endif  // DAQ_H5RUN_EVENT_STAGE_H_
