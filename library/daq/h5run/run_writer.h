// The writer of the run file's HDF5 layout (docs/hdf5-layout.md): run
// attributes, per-event datasets and one group per channel, written event by
// event into a temporary file that becomes the run file on commit().
//
//   h5run::RunWriter w("run.h5", {});
//   int adc = w.add_channel({.column = "ADC.1", .kind = h5run::Kind::kSpectrum});
//   w.begin_event({.id = 1, .sec = 1733632724, .usec = 5, .iso = "2024-12-08T04:38:44Z"});
//   w.set_member(adc, 0, values, count);
//   w.end_event();
//   w.commit();
//
// Every failure throws h5run::Error; after one, the writer can only be
// abandoned (or destroyed), which removes the temporary file.
#ifndef DAQ_H5RUN_RUN_WRITER_H_
#define DAQ_H5RUN_RUN_WRITER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "column.h"
#include "h5_handle.h"

namespace h5run {

constexpr int64_t kLayoutVersion = 4;

// Codes of a channel's Missing dataset.
enum class Missing : uint8_t {
  kValue = 0,
  kEmpty = 1,
  kNotFound = 2,  // also the fill: rows before a channel's first event
  kCutShort = 3,
  kOtherKind = 4,
  kSizeDiffers = 5,
  kNoImage = 6,
  kInvalidImage = 7,
  kNotConverted = 8,
};
// The codes spelt out, as stored in the `missing_codes` attribute.
const char* missing_codes_text();

enum class Kind { kEmpty, kMark, kScalar, kScalarInt, kPairs, kSpectrum, kImage, kStructured };
// "empty", "mark", "scalar", "scalar_int", "pairs", "spectrum", "image", "structured".
const char* kind_name(Kind kind);

// Element type of a channel's float values (Value, pairs, spectrum members).
enum class ValueType { kFloat64, kFloat32, kInt32 };

struct ChannelSpec {
  std::string column;  // the column or channel name; the group is named after it
  Kind kind = Kind::kEmpty;
  std::string kind_source = "host";  // host, xml, option or inferred
  // Float64 for values read from text, float32 for the host's floats, int32
  // for -fti channels (scalar_int implies it).
  ValueType values = ValueType::kFloat64;
  // Statistics of spectrum members: float64 from text, float32 from the host.
  ValueType stats = ValueType::kFloat64;
  int pixel_bits = 0;   // 8 or 16; 0: from the first frame; a wider frame widens it
  bool status = false;  // SrvBlockStatus and ChanStatus datasets
  bool macro_pulse = false;
  // Converted dataset of a structured channel: the host's conversion (plug-in).
  bool converted = false;
  // Rows before the channel was added whose cells were cut short (ascending).
  std::vector<uint64_t> cut_short_rows{};
};

struct EventColumns {
  uint64_t id = 0;
  uint32_t sec = 0;
  uint32_t usec = 0;
  std::string_view iso;
  std::optional<uint32_t> status;  // EvHeadStatus
  std::optional<int32_t> type;     // EventType
  std::optional<std::string_view> type_name;
};

struct Options {
  Codec codec = Codec::kGzip;
  int gzip_level = 1;
  // Staged rows and row buffers of all datasets together stay within this
  // (and what one event adds).
  size_t memory_bound = size_t{64} << 20;
  std::string producer = "daq-table2h5";
  // The fill of float datasets.
  double fill = std::numeric_limits<double>::quiet_NaN();
  // EvHeadStatus, and EventType with EventTypeName, exist even when no event
  // gave them.
  bool event_status = false;
  bool event_type = false;
};

class RunWriter {
 public:
  // Creates the temporary file `<path>.tmp-XXXXXX` beside `path`, removed
  // by abandon() and also when SIGINT, SIGTERM, SIGHUP or SIGQUIT ends the
  // process. Refuses an empty name, a name ending in '/' and an existing
  // `path` that is not a regular file.
  RunWriter(const std::string& path, const Options& options);
  ~RunWriter();  // abandon() unless committed
  RunWriter(const RunWriter&) = delete;
  RunWriter& operator=(const RunWriter&) = delete;

  const std::string& path() const { return path_; }
  const std::string& temp_path() const { return temp_; }
  uint64_t events() const { return events_; }

  // Attributes of /run; a second value of a name replaces the first.
  void set_attribute(std::string_view name, std::string_view value);
  void set_attribute(std::string_view name, const char* value) {
    set_attribute(name, std::string_view(value));
  }
  void set_attribute(std::string_view name, int64_t value);
  void set_attribute(std::string_view name, uint64_t value);
  void set_attribute(std::string_view name, uint8_t value);
  void set_attribute(std::string_view name, double value);

  // A channel group; returns its handle. Channels may be added before any
  // event or between events: their earlier rows are the fill.
  int add_channel(const ChannelSpec& spec);
  // Attributes of the channel group.
  void set_channel_attribute(int ch, std::string_view name, std::string_view value);
  void set_channel_attribute(int ch, std::string_view name, const char* value) {
    set_channel_attribute(ch, name, std::string_view(value));
  }
  void set_channel_attribute(int ch, std::string_view name, int64_t value);
  void set_channel_attribute(int ch, std::string_view name, uint64_t value);
  void set_channel_attribute(int ch, std::string_view name, double value);
  // An attribute of the channel's description: a name the layout uses for
  // a group attribute of its own, or one starting with "description_", is
  // stored with "description_" before it.
  void set_description_attribute(int ch, std::string_view name, std::string_view value);
  void set_description_attribute(int ch, std::string_view name, int64_t value);
  void set_description_attribute(int ch, std::string_view name, double value);
  static std::string description_attribute_name(std::string_view name);
  // Attributes of a dataset of the channel ("Member0", "Pixels"), written
  // when the file is committed (the dataset exists by then).
  void set_dataset_attribute(int ch, std::string_view dataset, std::string_view name,
                             std::string_view value);
  void set_dataset_attribute(int ch, std::string_view dataset, std::string_view name,
                             int64_t value);
  void set_dataset_attribute(int ch, std::string_view dataset, std::string_view name, double value);

  // Width hints: member m holds at least `width` values a row; the camera's
  // frames are `width` x `height`, and a frame of any other pixel count is
  // recorded as kSizeDiffers instead of growing the dataset.
  void reserve_member(int ch, int m, size_t width);
  void fix_image_shape(int ch, size_t width, size_t height);

  // How many events the run is expected to have: per-event datasets made
  // within a shorter run than 1024 events get chunks of the run, not of
  // 1024 events of which most would be stored as fill. Only a hint; 0 is
  // not known.
  void expect_events(uint64_t events) { shared_.expected_events = events; }

  void begin_event(const EventColumns& event);
  // A channel given no code and no value in an event is kNotFound; one given
  // a value is kValue unless a code is set.
  void set_missing(int ch, Missing code);
  void set_status(int ch, uint32_t srv_block, uint32_t chan);
  void set_macro_pulse(int ch, uint64_t number);
  void set_scalar(int ch, double value);
  void set_scalar(int ch, float value);
  void set_scalar(int ch, int32_t value);
  // One name-value pair; a name is a dataset of its own.
  void add_pair(int ch, std::string_view name, double value);
  void set_member(int ch, int m, const double* values, size_t count);
  void set_member(int ch, int m, const float* values, size_t count);
  void set_member(int ch, int m, const int32_t* values, size_t count);
  // A member that could not be read (Member<m>Length -2); a member of no
  // values is set_member(..., 0) with any pointer.
  void set_member_failed(int ch, int m);
  void set_member_stat(int ch, int m, int bit, double value);
  // Pixels row by row, `width` x `height`.
  void set_image(int ch, const uint8_t* pixels, size_t width, size_t height);
  void set_image(int ch, const uint16_t* pixels, size_t width, size_t height);
  // 16-bit pixels in the machine's order at any address (a host's buffer).
  void set_image_words(int ch, const void* words, size_t width, size_t height);
  void set_converted(int ch, bool converted);
  void end_event();

  size_t channels() const { return channels_.size(); }
  Kind kind(int ch) const;
  // How many of the channel's rows so far hold each Missing code, the rows
  // before its group was made included.
  std::array<uint64_t, 9> missing_counts(int ch) const;

  // Writes everything, closes the file, gives it the mode 0666 & ~umask and
  // renames it to path().
  void commit();
  // Closes and removes the temporary file; never throws.
  void abandon() noexcept;

 private:
  struct Channel;
  struct Hot;
  Channel& channel(int ch);
  // The channel's per-event state; `ch` checked.
  Hot& hot(int ch);
  // Where a value of a staged column goes in the current event.
  void* staged(uint32_t slot) { return stage_.current() + slot; }
  uint64_t row() const;
  // Sets the staged block (`stage`) and the other columns' buffered rows
  // (`buffers`) aside and writes them on a second thread, so that
  // compression does not hold up the caller.
  void flush(bool stage, bool buffers);
  // What a block of staged rows may take, and the columns' own buffers.
  size_t stage_budget() const;
  size_t buffers_budget() const;
  size_t whole_run_budget() const;
  bool whole_run() const;
  // Waits for that thread; every HDF5 call of this thread comes after it.
  void wait();
  std::unique_ptr<Column> new_column(hid_t parent, const std::string& name, hid_t type,
                                     std::vector<hsize_t> row_dims, const void* fill,
                                     uint64_t first_row, bool own_chunks = false,
                                     bool staged = true);
  // Member m's values, `width` wide (at least as reserved), and statistics.
  void make_member(Channel& c, int m, size_t width, uint64_t first_row);
  void make_stats(Channel& c, int m, uint64_t first_row);
  template <typename S>
  void put_scalar(int ch, S value);
  template <typename T>
  void put_member(int ch, int m, const T* values, size_t count, bool failed = false);
  template <typename T>
  void put_image(int ch, const void* pixels, size_t width, size_t height, int bits);

  // Makes the temporary file and notes it for removal on a signal.
  void make_temporary();
  // The dimension scales of every dataset, at the end of the run.
  void write_dimension_scales();
  // The EventId link in every channel group.
  void link_event_ids();
  // long_name and units of the value datasets.
  void write_value_attributes();
  // NX_class, default, signal, axes and interpretation for viewers.
  void write_nexus_attributes();
  // Gives the closed file its mode and its name.
  void publish();

  std::string path_;
  std::string temp_;
  int temp_slot_ = -1;  // where the temporary file is noted
  Options options_;
  Compression compression_;
  File file_;
  ColumnShared shared_;      // before the columns, which use it
  EventStage stage_;         // the same
  EventStage::Block block_;  // staged rows being written
  Group run_;
  PropList channel_gcpl_;                               // channel groups: no time stamps
  std::vector<std::unique_ptr<Column>> event_columns_;  // EventId, Time, TimeSec, TimeUsec, TimeISO
  std::unique_ptr<Column> ev_status_, ev_type_, ev_type_name_;
  std::vector<std::unique_ptr<Channel>> channels_;
  std::vector<Hot> hot_;  // by channel
  std::unordered_set<std::string> link_names_;
  uint64_t events_ = 0;
  bool in_event_ = false;
  bool done_ = false;
  std::thread worker_;
  std::exception_ptr worker_error_;
};

}  // namespace h5run

#endif  // DAQ_H5RUN_RUN_WRITER_H_
