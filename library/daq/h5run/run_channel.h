// A channel's group in the run file as the writer holds it during the run:
// its datasets (one Column each), what the current event gave, and what is
// written at the end. Shared by the writer's sources, not by its users.
#ifndef DAQ_H5RUN_RUN_CHANNEL_H_
#define DAQ_H5RUN_RUN_CHANNEL_H_

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "column.h"
#include "h5_handle.h"
#include "run_writer.h"

namespace h5run {

// A name as an HDF5 link: '/' and '%' escaped, "" and "." spelt out.
std::string escape(std::string_view name);
// The element type of values of `v`.
hid_t value_type(ValueType v);

struct PendingAttribute {
  std::string dataset, name;
  int form = 0;  // 0 string, 1 int64, 2 double
  std::string text;
  int64_t integer = 0;
  double real = 0;
};

// What an event gives a channel, kept for all channels one after the other:
// an event of thousands of channels touches these and the stage's row, not
// each channel's columns. Slots are offsets in the stage's row.
struct RunWriter::Hot {
  static constexpr uint32_t kNoSlot = UINT32_MAX;
  static constexpr uint8_t kNoCode = UINT8_MAX;
  uint32_t missing = kNoSlot, value = kNoSlot, length = kNoSlot;
  uint32_t srv = kNoSlot, chan = kNoSlot, macro = kNoSlot;
  int32_t pair_count = 0;
  uint32_t next_pair = 0;  // where this event's next pair is looked for first
  ValueType values = ValueType::kFloat64;
  uint8_t code = kNoCode;  // a code set in this event
  bool touched = false;
  bool is_pairs = false;
};

struct RunWriter::Channel {
  std::unique_ptr<Column> missing, srv, chan, macro, value;
  ChannelSpec spec;
  Group group;
  std::unique_ptr<Column> length, width, height, pixels, converted;
  struct Member {
    std::unique_ptr<Column> values, length, stats;
    size_t reserved = 0;
  };
  std::vector<Member> members;
  std::vector<std::string> pair_names, pair_links;
  std::vector<std::unique_ptr<Column>> pairs;
  std::vector<uint32_t> pair_slots;       // in the stage's row; Hot::kNoSlot: not staged
  std::unordered_set<std::string> links;  // dataset names taken in the group
  std::string link;                       // the group's name in /run
  std::string unit;                       // from the channel's description
  size_t fixed_width = 0, fixed_height = 0;
  bool shape_fixed = false;  // the converter's camera: one frame shape, no Width or Height
  uint64_t first_row = 0;
  // Rows since first_row by Missing code, but for kValue (the rest).
  std::array<uint64_t, 9> codes{};
  std::vector<PendingAttribute> pending;

  template <typename F>
  void each_column(F f) {
    for (auto* c :
         {&missing, &srv, &chan, &macro, &value, &length, &width, &height, &pixels, &converted}) {
      if (*c) f(**c);
    }
    for (Member& m : members) {
      for (auto* c : {&m.values, &m.length, &m.stats}) {
        if (*c) f(**c);
      }
    }
    for (auto& c : pairs) f(*c);
  }
};

}  // namespace h5run

#endif  // DAQ_H5RUN_RUN_CHANNEL_H_
