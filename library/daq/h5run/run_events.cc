// An event's values as the writer takes them: the per-event setters, the
// end of an event, and when the staged block and the other columns' buffers
// go to the writing thread.
#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "run_channel.h"
#include "run_writer.h"

namespace h5run {

namespace {

// Rows of a block of staged events, and so of a staged dataset's chunks,
// when the bound allows them.
constexpr uint64_t kStageRows = 1024;

// Copies `count` values of type S into elements of the value type `v`.
template <typename S>
void convert(ValueType v, const S* in, size_t count, void* out) {
  switch (v) {
    case ValueType::kFloat64:
      std::copy(in, in + count, static_cast<double*>(out));
      break;
    case ValueType::kFloat32:
      std::transform(in, in + count, static_cast<float*>(out),
                     [](S x) { return static_cast<float>(x); });
      break;
    case ValueType::kInt32:
      std::transform(in, in + count, static_cast<int32_t*>(out), [](S x) {
        if constexpr (std::is_floating_point_v<S>) {
          // 2^31 itself does not fit: compared as doubles, where it is exact.
          double d = static_cast<double>(x);
          if (!(d >= -2147483648.0 && d < 2147483648.0)) return int32_t{0};
        }
        return static_cast<int32_t>(x);
      });
      break;
  }
}

}  // namespace

void RunWriter::begin_event(const EventColumns& e) {
  if (in_event_) end_event();
  uint64_t r = events_++;
  in_event_ = true;
  stage_.begin_row(r);
  *static_cast<uint64_t*>(event_columns_[0]->row(r)) = e.id;
  *static_cast<int64_t*>(event_columns_[1]->row(r)) = int64_t{e.sec} * 1000000 + e.usec;
  *static_cast<uint32_t*>(event_columns_[2]->row(r)) = e.sec;
  *static_cast<uint32_t*>(event_columns_[3]->row(r)) = e.usec;
  event_columns_[4]->set_string(r, e.iso);
  const uint32_t zero32 = 0;
  const int32_t zero = 0;
  const char* blank = "";
  if (e.status) {
    if (!ev_status_) {
      ev_status_ = new_column(run_.get(), "EvHeadStatus", H5T_NATIVE_UINT32, std::vector<hsize_t>{},
                              &zero32, r);
    }
    *static_cast<uint32_t*>(ev_status_->row(r)) = *e.status;
  }
  if (e.type) {
    if (!ev_type_) {
      ev_type_ =
          new_column(run_.get(), "EventType", H5T_NATIVE_INT32, std::vector<hsize_t>{}, &zero, r);
    }
    *static_cast<int32_t*>(ev_type_->row(r)) = *e.type;
  }
  if (e.type_name) {
    if (!ev_type_name_) {
      wait();
      Datatype text = utf8_string_type();
      ev_type_name_ =
          new_column(run_.get(), "EventTypeName", text.get(), std::vector<hsize_t>{}, &blank, r);
    }
    ev_type_name_->set_string(r, *e.type_name);
  }
}

void RunWriter::set_missing(int ch, Missing code) {
  row();
  hot(ch).code = static_cast<uint8_t>(code);
}

void RunWriter::set_status(int ch, uint32_t srv_block, uint32_t chan) {
  uint64_t r = row();
  Hot& h = hot(ch);
  if (h.srv != Hot::kNoSlot && h.chan != Hot::kNoSlot) {
    std::memcpy(staged(h.srv), &srv_block, sizeof srv_block);
    std::memcpy(staged(h.chan), &chan, sizeof chan);
    return;
  }
  Channel& c = channel(ch);
  if (!c.srv) throw Error(c.spec.column + " was added without status words");
  *static_cast<uint32_t*>(c.srv->row(r)) = srv_block;
  *static_cast<uint32_t*>(c.chan->row(r)) = chan;
}

void RunWriter::set_macro_pulse(int ch, uint64_t number) {
  uint64_t r = row();
  Hot& h = hot(ch);
  if (h.macro != Hot::kNoSlot) {
    std::memcpy(staged(h.macro), &number, sizeof number);
    return;
  }
  Channel& c = channel(ch);
  if (!c.macro) throw Error(c.spec.column + " was added without macro-pulse numbers");
  *static_cast<uint64_t*>(c.macro->row(r)) = number;
}

template <typename S>
void RunWriter::put_scalar(int ch, S value) {
  uint64_t r = row();
  Hot& h = hot(ch);
  if (h.value != Hot::kNoSlot) {
    convert(h.values, &value, 1, staged(h.value));
  } else {
    Channel& c = channel(ch);
    if (!c.value) throw Error(c.spec.column + " is not a scalar channel");
    convert(h.values, &value, 1, c.value->row(r));
  }
  h.touched = true;
}

void RunWriter::set_scalar(int ch, double value) { put_scalar(ch, value); }
void RunWriter::set_scalar(int ch, float value) { put_scalar(ch, static_cast<double>(value)); }
void RunWriter::set_scalar(int ch, int32_t value) { put_scalar(ch, value); }

void RunWriter::add_pair(int ch, std::string_view name, double value) {
  uint64_t r = row();
  Hot& h = hot(ch);
  Channel& c = channel(ch);
  if (c.spec.kind != Kind::kPairs) throw Error(c.spec.column + " is not a pairs channel");
  // Pairs mostly come in the same order every event: the one after the
  // last is tried first.
  size_t k = h.next_pair;
  if (k >= c.pair_names.size() || c.pair_names[k] != name) {
    k = 0;
    while (k < c.pair_names.size() && c.pair_names[k] != name) ++k;
  }
  h.next_pair = static_cast<uint32_t>(k + 1);
  if (k == c.pair_names.size()) {
    // Named after the pair; a name the group already uses (a dataset of the
    // layout, or another pair's) gets "#pair", then "#pair2", ... after it.
    std::string base = escape(name), link = base;
    for (int n = 1; c.links.count(link) != 0; ++n) {
      link = base + "#pair" + (n == 1 ? std::string() : std::to_string(n));
    }
    c.links.insert(link);
    const double fill = options_.fill;
    const float fill32 = static_cast<float>(fill);
    const void* f = c.spec.values == ValueType::kFloat32 ? static_cast<const void*>(&fill32)
                    : c.spec.values == ValueType::kInt32 ? static_cast<const void*>(&kIntFill)
                                                         : &fill;
    c.pairs.push_back(
        new_column(c.group.get(), link, value_type(c.spec.values), std::vector<hsize_t>{}, f, r));
    c.pair_names.emplace_back(name);
    c.pair_links.push_back(link);
    c.pair_slots.push_back(c.pairs.back()->staged() ? static_cast<uint32_t>(c.pairs.back()->slot())
                                                    : Hot::kNoSlot);
  }
  uint32_t slot = c.pair_slots[k];
  convert(c.spec.values, &value, 1, slot != Hot::kNoSlot ? staged(slot) : c.pairs[k]->row(r));
  ++h.pair_count;
  h.touched = true;
}

void RunWriter::make_member(Channel& c, int m, size_t width, uint64_t first_row) {
  Channel::Member& member = c.members[static_cast<size_t>(m)];
  const double fill = options_.fill;
  const float fill32 = static_cast<float>(fill);
  const void* f = c.spec.values == ValueType::kFloat64   ? static_cast<const void*>(&fill)
                  : c.spec.values == ValueType::kFloat32 ? static_cast<const void*>(&fill32)
                                                         : &kIntFill;
  member.values = new_column(c.group.get(), "Member" + std::to_string(m), value_type(c.spec.values),
                             std::vector<hsize_t>{std::max(member.reserved, width)}, f, first_row);
}

void RunWriter::make_stats(Channel& c, int m, uint64_t first_row) {
  Channel::Member& member = c.members[static_cast<size_t>(m)];
  const double fill = options_.fill;
  const float fill32 = static_cast<float>(fill);
  bool single = c.spec.stats == ValueType::kFloat32;
  member.stats = new_column(c.group.get(), "Member" + std::to_string(m) + "Stats",
                            single ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE, std::vector<hsize_t>{32},
                            single ? static_cast<const void*>(&fill32) : &fill, first_row);
}

template <typename T>
void RunWriter::put_member(int ch, int m, const T* values, size_t count, bool failed) {
  uint64_t r = row();
  Channel& c = channel(ch);
  if (c.spec.kind != Kind::kSpectrum) throw Error(c.spec.column + " is not a spectrum channel");
  if (m < 0) throw Error("negative member index");
  auto index = static_cast<size_t>(m);
  if (c.members.size() <= index) c.members.resize(index + 1);
  Channel::Member& member = c.members[index];
  std::string name = "Member" + std::to_string(m);
  const int32_t absent = -1;
  if (!member.length) {
    member.length = new_column(c.group.get(), name + "Length", H5T_NATIVE_INT32,
                               std::vector<hsize_t>{}, &absent, r);
  }
  if (!failed) {
    if (!member.values) {
      make_member(c, m, count, r);
    } else if (count > member.values->row_elements()) {
      wait();
      member.values->grow({count});
    }
    if (count > 0) convert(c.spec.values, values, count, member.values->row(r));
  }
  *static_cast<int32_t*>(member.length->row(r)) = failed ? -2 : static_cast<int32_t>(count);
  hot(ch).touched = true;
}

void RunWriter::set_member(int ch, int m, const double* values, size_t count) {
  put_member(ch, m, values, count);
}
void RunWriter::set_member(int ch, int m, const float* values, size_t count) {
  put_member(ch, m, values, count);
}
void RunWriter::set_member(int ch, int m, const int32_t* values, size_t count) {
  put_member(ch, m, values, count);
}
void RunWriter::set_member_failed(int ch, int m) {
  put_member(ch, m, static_cast<const double*>(nullptr), 0, true);
}

void RunWriter::set_member_stat(int ch, int m, int bit, double value) {
  uint64_t r = row();
  Channel& c = channel(ch);
  if (m < 0 || bit < 0 || bit > 31) throw Error("no statistic bit " + std::to_string(bit));
  if (c.members.size() <= static_cast<size_t>(m)) c.members.resize(static_cast<size_t>(m) + 1);
  Channel::Member& member = c.members[static_cast<size_t>(m)];
  if (!member.stats) make_stats(c, m, r);
  if (c.spec.stats == ValueType::kFloat32) {
    static_cast<float*>(member.stats->row(r))[bit] = static_cast<float>(value);
  } else {
    static_cast<double*>(member.stats->row(r))[bit] = value;
  }
}

template <typename T>
void RunWriter::put_image(int ch, const void* pixels, size_t width, size_t height, int bits) {
  uint64_t r = row();
  Channel& c = channel(ch);
  if (c.spec.kind != Kind::kImage) throw Error(c.spec.column + " is not a camera channel");
  const bool fixed = c.shape_fixed;
  if (!c.pixels) {
    int b = c.spec.pixel_bits != 0 ? c.spec.pixel_bits : bits;
    const uint16_t black = 0;
    std::vector<hsize_t> dims = fixed ? std::vector<hsize_t>{c.fixed_height, c.fixed_width}
                                      : std::vector<hsize_t>{height, width};
    c.pixels = new_column(c.group.get(), "Pixels", b == 8 ? H5T_NATIVE_UINT8 : H5T_NATIVE_UINT16,
                          dims, &black, r, true);
  }
  if (bits == 16 && c.pixels->element_size() == 1) {
    // A 16-bit frame in an 8-bit camera: the dataset becomes uint16.
    wait();
    c.pixels->widen_type(H5T_NATIVE_UINT16);
  }
  size_t count = width * height;
  *static_cast<int32_t*>(c.length->row(r)) = static_cast<int32_t>(count);
  Hot& h = hot(ch);
  h.touched = true;
  if (fixed) {
    if (count == 0 || count != c.fixed_width * c.fixed_height) {
      h.code = static_cast<uint8_t>(Missing::kSizeDiffers);
      return;
    }
    width = c.fixed_width;
    height = c.fixed_height;
  } else {
    const int32_t zero = 0;
    if (!c.width) {
      c.width =
          new_column(c.group.get(), "Width", H5T_NATIVE_INT32, std::vector<hsize_t>{}, &zero, r);
      c.height =
          new_column(c.group.get(), "Height", H5T_NATIVE_INT32, std::vector<hsize_t>{}, &zero, r);
    }
    *static_cast<int32_t*>(c.width->row(r)) = static_cast<int32_t>(width);
    *static_cast<int32_t*>(c.height->row(r)) = static_cast<int32_t>(height);
    if (count == 0) {
      // A frame of no pixels is no black frame: its row keeps the fill and
      // says so, as a frame of another size does in a camera of one shape.
      h.code = static_cast<uint8_t>(Missing::kSizeDiffers);
      return;
    }
    if (c.pixels->would_grow({height, width})) {
      wait();
      c.pixels->grow({height, width});
    }
  }
  size_t stride = c.pixels->row_dims()[1];
  bool whole = stride == width && c.pixels->row_dims()[0] == height;
  void* out = whole ? c.pixels->whole_row(r) : c.pixels->row(r);
  if (width == 0 || height == 0) return;  // an empty frame: the row keeps the fill
  const auto* in = static_cast<const unsigned char*>(pixels);
  if (c.pixels->element_size() == sizeof(T)) {
    // The words may sit at any address: copied as bytes.
    auto* o = static_cast<unsigned char*>(out);
    size_t line = width * sizeof(T);
    if (whole) {
      std::memcpy(o, in, line * height);
    } else {
      for (size_t y = 0; y < height; ++y)
        std::memcpy(o + y * stride * sizeof(T), in + y * line, line);
    }
    return;
  }
  auto pixel = [&](size_t k) {
    T p;
    std::memcpy(&p, in + k * sizeof(T), sizeof(T));
    return p;
  };
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      T p = pixel(y * width + x);
      if (c.pixels->element_size() == 1) {
        static_cast<uint8_t*>(out)[y * stride + x] = static_cast<uint8_t>(p);
      } else {
        static_cast<uint16_t*>(out)[y * stride + x] = static_cast<uint16_t>(p);
      }
    }
  }
}

void RunWriter::set_image(int ch, const uint8_t* pixels, size_t width, size_t height) {
  put_image<uint8_t>(ch, pixels, width, height, 8);
}
void RunWriter::set_image(int ch, const uint16_t* pixels, size_t width, size_t height) {
  put_image<uint16_t>(ch, pixels, width, height, 16);
}
void RunWriter::set_image_words(int ch, const void* words, size_t width, size_t height) {
  put_image<uint16_t>(ch, words, width, height, 16);
}

void RunWriter::set_converted(int ch, bool converted) {
  uint64_t r = row();
  Channel& c = channel(ch);
  if (!c.converted) throw Error(c.spec.column + " is not a structured-data channel");
  *static_cast<uint8_t*>(c.converted->row(r)) = converted ? 1 : 0;
  Hot& h = hot(ch);
  if (!converted) h.code = static_cast<uint8_t>(Missing::kNotConverted);
  h.touched = true;
}

Kind RunWriter::kind(int ch) const {
  if (ch < 0 || static_cast<size_t>(ch) >= channels_.size()) {
    throw Error("no channel " + std::to_string(ch));
  }
  return channels_[static_cast<size_t>(ch)]->spec.kind;
}

std::array<uint64_t, 9> RunWriter::missing_counts(int ch) const {
  kind(ch);  // checks the handle
  const Channel& c = *channels_[static_cast<size_t>(ch)];
  std::array<uint64_t, 9> n = c.codes;
  uint64_t ended = in_event_ ? events_ - 1 : events_;
  uint64_t others = 0;
  for (uint64_t k : n) others += k;
  n[static_cast<size_t>(Missing::kValue)] = ended - c.first_row - others;
  uint64_t cut = 0;
  for (uint64_t r : c.spec.cut_short_rows) cut += r < c.first_row ? 1 : 0;
  n[static_cast<size_t>(Missing::kCutShort)] += cut;
  n[static_cast<size_t>(Missing::kNotFound)] += c.first_row - cut;
  return n;
}

void RunWriter::end_event() {
  uint64_t r = row();
  for (size_t ch = 0; ch < hot_.size(); ++ch) {
    Hot& h = hot_[ch];
    uint8_t code = h.code != Hot::kNoCode ? h.code
                   : h.touched            ? static_cast<uint8_t>(Missing::kValue)
                                          : static_cast<uint8_t>(Missing::kNotFound);
    if (h.missing != Hot::kNoSlot) {
      *static_cast<uint8_t*>(staged(h.missing)) = code;
    } else {
      *static_cast<uint8_t*>(channels_[ch]->missing->row(r)) = code;
    }
    // Values, the common code, are counted as the rest.
    if (code != static_cast<uint8_t>(Missing::kValue) && code < 9) ++channels_[ch]->codes[code];
    if (h.is_pairs && h.touched) {
      if (h.length != Hot::kNoSlot) {
        std::memcpy(staged(h.length), &h.pair_count, sizeof h.pair_count);
      } else {
        *static_cast<int32_t*>(channels_[ch]->length->row(r)) = h.pair_count;
      }
    }
    h.touched = false;
    h.code = Hot::kNoCode;
    h.pair_count = 0;
    h.next_pair = 0;
  }
  in_event_ = false;
  if (stage_.rows() == 1) stage_.compact();
  // Blocks of staged rows end at the chunks of the staged datasets, the
  // first block's rows (1024, or what fits) setting them; a block that
  // would pass its share of the bound is written before a chunk ends. A
  // run known to fit the bound whole stays staged to its end, where its
  // datasets are made at their final size.
  uint64_t chunk = shared_.stage_chunk_rows;
  bool whole = whole_run();
  bool full = stage_.bytes() + stage_.row_bytes() > (whole ? whole_run_budget() : stage_budget());
  bool stage_due = full || (!whole && (chunk == 0 ? stage_.rows() >= kStageRows
                                                  : (stage_.first() + stage_.rows()) % chunk == 0));
  // A whole run that outgrew its count: its later blocks (and chunks) are what the bound
  // allows, not all it held.
  if (stage_due && chunk == 0) {
    shared_.stage_chunk_rows = std::clamp<uint64_t>(
        stage_budget() / std::max<size_t>(stage_.row_bytes(), 1), 1, stage_.rows());
  }
  bool buffers_due = shared_.buffered > buffers_budget();
  if (stage_due || buffers_due) {
    flush(stage_due, buffers_due);
  } else if (stage_.rows() == 1) {
    uint64_t rows = whole ? shared_.expected_events : chunk != 0 ? chunk : kStageRows;
    size_t budget = whole ? whole_run_budget() : stage_budget();
    stage_.reserve_rows(std::min<uint64_t>(rows, budget / std::max<size_t>(stage_.row_bytes(), 1)));
  }
}

// Two blocks (one filled, one written) of at most 1024 rows, at most 3/8 of
// the bound each; the columns' own buffers the rest: a quarter of it on
// each side, and room for their growth.
size_t RunWriter::stage_budget() const {
  return std::min(options_.memory_bound / 8 * 3, kStageRows * stage_.row_bytes());
}

// A run expected to fit 3/4 of the bound in one block, which has not
// passed its count nor written a block.
size_t RunWriter::whole_run_budget() const { return options_.memory_bound / 4 * 3; }

bool RunWriter::whole_run() const {
  uint64_t expected = shared_.expected_events;
  return shared_.stage_chunk_rows == 0 && expected > 0 && stage_.rows() <= expected &&
         expected * stage_.row_bytes() <= whole_run_budget();
}

size_t RunWriter::buffers_budget() const {
  // A whole run takes what its count of rows needs (at most 3/4 of the
  // bound): the buffers of its spectra and frames keep their room.
  size_t staged = whole_run() ? shared_.expected_events * stage_.row_bytes() : 2 * stage_budget();
  return (options_.memory_bound - staged) / 4;
}

std::unique_ptr<Column> RunWriter::new_column(hid_t parent, const std::string& name, hid_t type,
                                              std::vector<hsize_t> row_dims, const void* fill,
                                              uint64_t first_row, bool own_chunks, bool staged) {
  wait();
  Compression c = compression_;
  c.own_chunks = own_chunks;
  shared_.block_bytes = buffers_budget();
  auto col = std::make_unique<Column>(parent, name, type, std::move(row_dims), fill, first_row, c,
                                      shared_);
  if (staged && !stage_.closed() && col->stageable()) col->stage_in(stage_);
  return col;
}

void RunWriter::wait() {
  if (worker_.joinable()) worker_.join();
  if (worker_error_) std::rethrow_exception(std::exchange(worker_error_, nullptr));
}

void RunWriter::flush(bool stage, bool buffers) {
  wait();
  if (stage) block_ = stage_.take(std::move(block_.data));
  std::vector<Column*> columns;
  if (buffers) {
    for (auto& col : event_columns_) columns.push_back(col.get());
    for (auto* col : {&ev_status_, &ev_type_, &ev_type_name_}) {
      if (*col) columns.push_back(col->get());
    }
    for (auto& c : channels_) c->each_column([&](Column& col) { columns.push_back(&col); });
    std::erase_if(columns, [](Column* col) { return col->staged(); });
    for (Column* col : columns) col->take();
  }
  worker_ = std::thread([this, stage, columns = std::move(columns)] {
    // The library's error printing is per thread: off here too, so that a
    // failure is the writer's one message.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    try {
      if (stage) EventStage::write(block_, false);
      for (Column* col : columns) col->write_taken();
    } catch (...) {
      worker_error_ = std::current_exception();
    }
  });
}

}  // namespace h5run
