#include "event_stage.h"

#include <algorithm>
#include <cstring>

#include "column.h"

namespace h5run {

namespace {

// The rows of a group of slots made at once: the group's part of the
// block's rows and its output stay in the second-level cache.
constexpr size_t kGroupBytes = 256 << 10;

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

template <typename T>
void gather(const unsigned char* block, size_t stride, uint64_t rows, size_t offset,
            unsigned char* out) {
  const unsigned char* in = block + offset;
  for (uint64_t r = 0; r < rows; ++r, in += stride, out += sizeof(T)) {
    T v;
    std::memcpy(&v, in, sizeof(T));
    std::memcpy(out, &v, sizeof(T));
  }
}

}  // namespace

size_t EventStage::add(Column* column, size_t width, const void* fill) {
  size_t offset = round_up(used_, width);
  if (offset + width > stride_)
    relayout(std::max({stride_ * 2, round_up(offset + width, 8), size_t{64}}));
  used_ = offset + width;
  std::memcpy(fill_.data() + offset, fill, width);
  for (uint64_t r = 0; r < rows_; ++r)
    std::memcpy(block_.data() + r * stride_ + offset, fill, width);
  slots_.push_back({column, offset, width});
  return offset;
}

void EventStage::relayout(size_t stride) {
  Bytes wider;
  wider.resize(std::max<uint64_t>(rows_, 1) * stride);
  for (uint64_t r = 0; r < rows_; ++r) {
    std::memcpy(wider.data() + r * stride, block_.data() + r * stride_, std::min(stride, stride_));
  }
  block_.swap(wider);
  block_.resize(rows_ * stride);
  fill_.resize(stride);
  stride_ = stride;
  if (rows_ > 0) current_ = block_.data() + (rows_ - 1) * stride_;
}

void EventStage::compact() {
  size_t stride = round_up(used_, 64);
  if (rows_ <= 1 && stride < stride_) relayout(stride);
}

void EventStage::begin_row(uint64_t row) {
  if (rows_ == 0) first_ = row;
  size_t at = block_.size();
  if (block_.capacity() < at + stride_) {
    block_.reserve(std::max(at + stride_, block_.capacity() * 2));
  }
  block_.resize(at + stride_);
  current_ = block_.data() + at;
  if (stride_ > 0) std::memcpy(current_, fill_.data(), stride_);
  ++rows_;
}

EventStage::Block EventStage::take(Bytes spare) {
  Block b;
  b.first = first_;
  b.rows = rows_;
  b.stride = stride_;
  b.slots = slots_;
  b.data.swap(block_);
  block_.swap(spare);
  block_.clear();
  first_ += rows_;
  rows_ = 0;
  current_ = nullptr;
  // New rows only: the slots keep their offsets, the room between them goes.
  size_t stride = round_up(used_, 64);
  if (stride < stride_) {
    stride_ = stride;
    fill_.resize(stride_);
  }
  return b;
}

void EventStage::write(const Block& block, bool finishing) {
  if (block.rows == 0) return;
  Bytes out;
  const std::vector<Slot>& slots = block.slots;
  for (size_t g = 0; g < slots.size();) {
    size_t end = g, bytes = 0;
    while (end < slots.size() &&
           (end == g || bytes + slots[end].width * block.rows <= kGroupBytes)) {
      bytes += slots[end].width * block.rows;
      ++end;
    }
    out.resize(bytes);
    unsigned char* o = out.data();
    for (size_t k = g; k < end; ++k) {
      const Slot& s = slots[k];
      switch (s.width) {
        case 1:
          gather<uint8_t>(block.data.data(), block.stride, block.rows, s.offset, o);
          break;
        case 2:
          gather<uint16_t>(block.data.data(), block.stride, block.rows, s.offset, o);
          break;
        case 4:
          gather<uint32_t>(block.data.data(), block.stride, block.rows, s.offset, o);
          break;
        default:
          gather<uint64_t>(block.data.data(), block.stride, block.rows, s.offset, o);
      }
      o += s.width * block.rows;
    }
    o = out.data();
    for (size_t k = g; k < end; ++k) {
      slots[k].column->write_block(block.first, block.rows, o, finishing);
      o += slots[k].width * block.rows;
    }
    g = end;
  }
}

}  // namespace h5run
