#include "column.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace h5run {

namespace {

constexpr size_t kMaxChunkBytes = 4 << 20;
constexpr size_t kDefaultChunkBytes = 64 << 10;
constexpr uint64_t kMinEventChunkRows = 1024;

}  // namespace

Datatype utf8_string_type() {
  Datatype t(check(H5Tcopy(H5T_C_S1), "copy the string type"));
  check_status(H5Tset_size(t.get(), H5T_VARIABLE), "make a variable-length string type");
  check_status(H5Tset_cset(t.get(), H5T_CSET_UTF8), "make a UTF-8 string type");
  return t;
}

hid_t ColumnShared::access() {
  if (!access_.valid()) {
    access_ = PropList(check(H5Pcreate(H5P_DATASET_ACCESS), "create a property list"));
    H5Pset_chunk_cache(access_.get(), 0, 0, 1.0);
  }
  return access_.get();
}

hid_t ColumnShared::scalar_space() {
  if (!scalar_.valid()) scalar_ = Dataspace(check(H5Screate(H5S_SCALAR), "create a dataspace"));
  return scalar_.get();
}

hid_t ColumnShared::creation(const std::string& key) const {
  auto it = creation_.find(key);
  return it != creation_.end() ? it->second.get() : H5I_INVALID_HID;
}

hid_t ColumnShared::keep_creation(const std::string& key, PropList list) {
  return creation_.insert_or_assign(key, std::move(list)).first->second.get();
}

Column::Column(hid_t parent, std::string name, hid_t type, std::vector<hsize_t> row_dims,
               const void* fill, uint64_t first_row, const Compression& compression,
               ColumnShared& shared)
    : first_(first_row),
      shared_(&shared),
      parent_(parent),
      comp_(compression),
      name_(std::move(name)),
      type_(check(H5Tcopy(type), "copy a type")),
      is_string_(H5Tis_variable_str(type) > 0),
      element_(H5Tget_size(type)) {
  if (is_string_) {
    fill_text_ = *static_cast<const char* const*>(fill);
    const char* p = fill_text_.c_str();
    fill_element_.resize(sizeof p);
    std::memcpy(fill_element_.data(), &p, sizeof p);
  } else {
    fill_element_.assign(static_cast<const unsigned char*>(fill),
                         static_cast<const unsigned char*>(fill) + element_);
  }
  zero_fill_ = !is_string_ && std::all_of(fill_element_.begin(), fill_element_.end(),
                                          [](unsigned char b) { return b == 0; });
  set_row_shape(row_dims);
}

void Column::set_row_shape(const std::vector<hsize_t>& row_dims) {
  row_dims_ = row_dims;
  row_elements_ = 1;
  for (hsize_t d : row_dims_) row_elements_ *= d;
  // Doubling copies: a megapixel row is a few large copies, not a million small ones.
  fill_row_.resize(row_elements_ * element_);
  row_bytes_ = fill_row_.size();
  small_fill_ = 0;
  if (fill_row_.empty()) return;
  std::memcpy(fill_row_.data(), fill_element_.data(), element_);
  for (size_t done = element_; done < fill_row_.size();) {
    size_t n = std::min(done, fill_row_.size() - done);
    std::memcpy(fill_row_.data() + done, fill_row_.data(), n);
    done += n;
  }
  if (row_bytes_ <= sizeof small_fill_) std::memcpy(&small_fill_, fill_row_.data(), row_bytes_);
}

void Column::pad_to(uint64_t index) {
  uint64_t next = first_ + buffered_;
  if (index < next) return;
  if (buffered_ == 0) {
    // Leave the gap to the fill value of the file.
    first_ = index;
    return;
  }
  // Behind buffered rows the gap is buffered too (the memory bound counts it).
  size_t before = buffered_bytes();
  while (next < index) {
    if (is_string_) {
      text_starts_.push_back(text_.size());
      text_ += fill_text_;
      text_ += '\0';
    } else {
      buffer_.append(fill_row_.data(), fill_row_.size());
    }
    ++buffered_;
    ++next;
  }
  shared_->buffered += buffered_bytes() - before;
}

bool Column::stageable() const {
  return row_dims_.empty() && !is_string_ && !comp_.own_chunks &&
         (element_ == 1 || element_ == 2 || element_ == 4 || element_ == 8);
}

void Column::stage_in(EventStage& stage) {
  slot_ = stage.add(this, element_, fill_element_.data());
  stage_ = &stage;
}

void* Column::append_row(uint64_t index, bool fill) {
  if (stage_ != nullptr) {
    throw Error("row " + std::to_string(index) + " of " + name_ + " is not the event's");
  }
  uint64_t next = first_ + buffered_;
  size_t row_bytes = row_bytes_;
  if (index != next || buffer_.size() + row_bytes > buffer_.capacity()) {
    if (buffered_ > 0 && index + 1 == next) return buffer_.data() + (buffered_ - 1) * row_bytes;
    if (index < next) {
      throw Error("row " + std::to_string(index) + " of " + name_ + " written twice");
    }
    pad_to(index);
    size_t at = buffer_.size();
    if (buffer_.capacity() < at + row_bytes) {
      // Rows of a block of events arrive one by one: room for several at once.
      size_t want = std::max({at + row_bytes, buffer_.capacity() * 2, size_t{64}});
      if (row_bytes >= kDefaultChunkBytes) want = std::max(want, shared_->block_bytes + row_bytes);
      buffer_.reserve(want);
    }
  }
  unsigned char* out = buffer_.data() + buffer_.size();
  buffer_.resize(buffer_.size() + row_bytes);
  shared_->buffered += row_bytes;
  ++buffered_;
  if (fill) {
    // One value a row is the common case: a store, not a call.
    switch (row_bytes) {
      case 0:
        break;
      case 1:
        *out = static_cast<unsigned char>(small_fill_);
        break;
      case 2:
        std::memcpy(out, &small_fill_, 2);
        break;
      case 4:
        std::memcpy(out, &small_fill_, 4);
        break;
      case 8:
        std::memcpy(out, &small_fill_, 8);
        break;
      default:
        if (zero_fill_) {
          std::memset(out, 0, row_bytes);
        } else {
          std::memcpy(out, fill_row_.data(), row_bytes);
        }
    }
  }
  return out;
}

void Column::set_string(uint64_t index, std::string_view text) {
  uint64_t next = first_ + buffered_;
  if (index < next) throw Error("row " + std::to_string(index) + " of " + name_ + " written twice");
  pad_to(index);
  text_starts_.push_back(text_.size());
  text_.append(text.data(), text.size());
  text_ += '\0';
  shared_->buffered += text.size() + 1;
  ++buffered_;
}

PropList Column::make_creation_list(const std::vector<hsize_t>& chunk, H5D_layout_t layout) const {
  const Compression& c = comp_;
  PropList dcpl(check(H5Pcreate(H5P_DATASET_CREATE), "create a property list"));
  H5Pset_obj_track_times(dcpl.get(), false);
  if (layout == H5D_CHUNKED) {
    check_status(H5Pset_chunk(dcpl.get(), static_cast<int>(chunk.size()), chunk.data()),
                 "set the chunks of " + name_);
    set_filters(dcpl.get(), c, element_, is_string_, name_);
  } else {
    check_status(H5Pset_layout(dcpl.get(), layout), "set the layout of " + name_);
  }
  // An empty string is the library's own fill of string datasets; set
  // explicitly, it costs a heap object per row written (six times slower).
  if (!is_string_ || !fill_text_.empty()) {
    check_status(H5Pset_fill_value(dcpl.get(), type_.get(), fill_element_.data()),
                 "set the fill value of " + name_);
  }
  return dcpl;
}

Dataset Column::make_dataset(uint64_t rows, bool anonymous) {
  const Compression& c = comp_;
  const uint64_t asked = rows;
  // The chunk covers a whole row, at least one element a dimension: a
  // dataset made while its rows were empty is made again when they widen.
  std::vector<hsize_t> chunk_dims;
  size_t row_bytes = element_;
  for (hsize_t d : row_dims_) {
    chunk_dims.push_back(std::max<hsize_t>(d, 1));
    row_bytes *= chunk_dims.back();
  }
  if (rows == 0) rows = std::max<size_t>(kDefaultChunkBytes / row_bytes, 1);
  // A per-event value made at a write within the run gets chunks of at least
  // 1024 events (or of the run, when it is expected to be shorter), however
  // few rows a block of wide rows (a camera's) left it; made at the end, its
  // chunk is the run.
  if (stage_ != nullptr && !finishing_ && shared_->stage_chunk_rows > 0) {
    // Every staged dataset made within the run: the stage's blocks are its chunks.
    rows = shared_->stage_chunk_rows;
  } else if (row_dims_.empty() && !finishing_) {
    uint64_t least = kMinEventChunkRows;
    if (shared_->expected_events > 0) least = std::min(least, shared_->expected_events);
    rows = std::max<uint64_t>(rows, least);
  }
  hsize_t chunk_rows =
      std::clamp<hsize_t>(rows, 1, std::max<size_t>(kMaxChunkBytes / row_bytes, 1));
  // Chunks compressed here are written whole: frames of 64 KiB and more get a
  // chunk each, so that every block of rows is whole chunks. Frames are
  // chunked so with every codec: a viewer reads a frame, not a run's block.
  if ((c.own_chunks && c.codec == Codec::kGzip && c.gzip_level == 1 && !is_string_) ||
      row_dims_.size() >= 2) {
    chunk_rows = std::max<size_t>(kDefaultChunkBytes / row_bytes, 1);
  }
  chunk_rows_ = chunk_rows;
  chunk_dims_ = chunk_dims;
  std::vector<hsize_t> dims{0}, max_dims{H5S_UNLIMITED}, chunk{chunk_rows};
  for (size_t k = 0; k < row_dims_.size(); ++k) {
    dims.push_back(row_dims_[k]);
    max_dims.push_back(H5S_UNLIMITED);
    chunk.push_back(chunk_dims[k]);
  }
  // Made at the end with all its rows at hand and nothing to compress, a
  // staged dataset takes its final size in one piece: no chunk index to
  // make, extend and close. (Its rows in its own header, compact, cost more
  // on runs of thousands of channels: the headers crowd the library's
  // cache.)
  H5D_layout_t layout = H5D_CHUNKED;
  fixed_ = finishing_ && stage_ != nullptr && c.codec == Codec::kNone && asked > 0 && !anonymous;
  if (fixed_) {
    layout = H5D_CONTIGUOUS;
    dims = max_dims = {asked};
    chunk.clear();
  }
  Dataspace space(
      check(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), max_dims.data()),
            "create a dataspace"));
  // Datasets of the same type, chunks, filters and fill share one list.
  std::string key;
  auto put = [&key](const void* p, size_t n) { key.append(static_cast<const char*>(p), n); };
  H5T_class_t type_class = H5Tget_class(type_.get());
  H5T_sign_t sign = type_class == H5T_INTEGER ? H5Tget_sign(type_.get()) : H5T_SGN_ERROR;
  put(&type_class, sizeof type_class);
  put(&sign, sizeof sign);
  put(&element_, sizeof element_);
  put(&is_string_, sizeof is_string_);
  put(&c.codec, sizeof c.codec);
  put(&layout, sizeof layout);
  put(&c.gzip_level, sizeof c.gzip_level);
  for (hsize_t d : chunk) put(&d, sizeof d);
  put(fill_element_.data(), is_string_ ? 0 : fill_element_.size());
  put(fill_text_.data(), fill_text_.size());
  hid_t dcpl = shared_->creation(key);
  if (dcpl < 0) dcpl = shared_->keep_creation(key, make_creation_list(chunk, layout));
  hid_t dapl = shared_->access();
  Dataset d(check(anonymous ? H5Dcreate_anon(parent_, type_.get(), space.get(), dcpl, dapl)
                            : H5Dcreate2(parent_, name_.c_str(), type_.get(), space.get(),
                                         H5P_DEFAULT, dcpl, dapl),
                  "create the dataset " + name_));
  int32_t fill32 = 0;
  bool int_sentinel =
      H5Tequal(type_.get(), H5T_NATIVE_INT32) > 0 && fill_element_.size() == sizeof fill32 &&
      (std::memcpy(&fill32, fill_element_.data(), sizeof fill32), fill32 == kIntFill);
  if (H5Tget_class(type_.get()) == H5T_FLOAT || int_sentinel) {
    // The netCDF convention, so that netCDF and xarray readers mask the fill.
    Attribute a(check(H5Acreate2(d.get(), "_FillValue", type_.get(), shared_->scalar_space(),
                                 H5P_DEFAULT, H5P_DEFAULT),
                      "create _FillValue of " + name_));
    check_status(H5Awrite(a.get(), type_.get(), fill_element_.data()),
                 "write _FillValue of " + name_);
  }
  return d;
}

void Column::create(uint64_t rows) {
  dataset_ = make_dataset(rows, false);
  extent_ = fixed_ ? rows : 0;
}

// The written rows, `old_dims` wide, copied block by block into a new
// dataset of the current row shape and type, which then takes the name.
void Column::remake(const std::vector<hsize_t>& old_dims) {
  // Chunks of about 64 KiB: the rows of the run's first block, which size
  // the chunks of a dataset made at its first write, are not known here.
  size_t row_bytes = std::max<size_t>(fill_row_.size(), 1);
  Dataset fresh = make_dataset(std::max<size_t>(kDefaultChunkBytes / row_bytes, 1), true);
  std::vector<hsize_t> dims{extent_};
  dims.insert(dims.end(), row_dims_.begin(), row_dims_.end());
  check_status(H5Dset_extent(fresh.get(), dims.data()), "extend " + name_);
  size_t old_elements = 1;
  for (hsize_t d : old_dims) old_elements *= d;
  if (extent_ > 0 && old_elements > 0) {
    // Blocks of whole chunks of the new dataset, about a block of rows each.
    uint64_t rows_a_block = std::max<size_t>(
        (shared_->block_bytes != 0 ? shared_->block_bytes : kDefaultChunkBytes) / row_bytes, 1);
    uint64_t block = std::max<uint64_t>(rows_a_block / chunk_rows_, 1) * chunk_rows_;
    Bytes rows;
    for (uint64_t first = 0; first < extent_; first += block) {
      uint64_t n = std::min(block, extent_ - first);
      rows.resize(n * fill_row_.size());
      for (uint64_t r = 0; r < n; ++r) {
        std::memcpy(rows.data() + r * fill_row_.size(), fill_row_.data(), fill_row_.size());
      }
      std::vector<hsize_t> start(1 + row_dims_.size(), 0), count{n}, all{n};
      start[0] = first;
      count.insert(count.end(), old_dims.begin(), old_dims.end());
      all.insert(all.end(), row_dims_.begin(), row_dims_.end());
      // The old rows land in the leading corner of the new ones, converted
      // to the new type by the library.
      Dataspace memory(check(H5Screate_simple(static_cast<int>(all.size()), all.data(), nullptr),
                             "create a dataspace"));
      std::vector<hsize_t> zero(all.size(), 0);
      check_status(H5Sselect_hyperslab(memory.get(), H5S_SELECT_SET, zero.data(), nullptr,
                                       count.data(), nullptr),
                   "select rows of " + name_);
      Dataspace old_space(check(H5Dget_space(dataset_.get()), "get a dataspace"));
      check_status(H5Sselect_hyperslab(old_space.get(), H5S_SELECT_SET, start.data(), nullptr,
                                       count.data(), nullptr),
                   "select rows of " + name_);
      check_status(H5Dread(dataset_.get(), type_.get(), memory.get(), old_space.get(), H5P_DEFAULT,
                           rows.data()),
                   "read back rows of " + name_);
      Dataspace whole(check(H5Screate_simple(static_cast<int>(all.size()), all.data(), nullptr),
                            "create a dataspace"));
      Dataspace new_space(check(H5Dget_space(fresh.get()), "get a dataspace"));
      check_status(H5Sselect_hyperslab(new_space.get(), H5S_SELECT_SET, start.data(), nullptr,
                                       all.data(), nullptr),
                   "select rows of " + name_);
      errno = 0;
      herr_t status = H5Dwrite(fresh.get(), type_.get(), whole.get(), new_space.get(), H5P_DEFAULT,
                               rows.data());
      if (status < 0 && errno != 0) {
        throw Error("cannot write rows of " + name_ + ": " + std::strerror(errno));
      }
      check_status(status, "write rows of " + name_);
    }
  }
  dataset_.reset();
  check_status(H5Ldelete(parent_, name_.c_str(), H5P_DEFAULT), "replace " + name_);
  check_status(H5Olink(fresh.get(), parent_, name_.c_str(), H5P_DEFAULT, H5P_DEFAULT),
               "link " + name_);
  dataset_ = std::move(fresh);
}

void Column::take() {
  if (buffered_ == 0) return;
  if (taken_rows_ != 0) write_taken();
  taken_first_ = first_;
  taken_rows_ = buffered_;
  shared_->buffered -= buffered_bytes();
  taken_.swap(buffer_);
  std::swap(taken_text_, text_);
  std::swap(taken_starts_, text_starts_);
  first_ += buffered_;
  buffered_ = 0;
  buffer_.clear();
  text_.clear();
  text_starts_.clear();
}

void Column::write_taken() {
  if (taken_rows_ == 0) return;
  write_block(taken_first_, taken_rows_, is_string_ ? nullptr : taken_.data(), false);
  taken_rows_ = 0;
  taken_.clear();
  taken_text_.clear();
  taken_starts_.clear();
}

void Column::write_block(uint64_t first, uint64_t rows, const void* data, bool finishing) {
  if (rows == 0) return;
  finishing_ = finishing_ || finishing;
  uint64_t end = first + rows;
  // Made at the end, its chunk is the run.
  if (!dataset_.valid()) create(finishing_ ? end : rows);
  // A staged dataset grows ahead, twice as long each time, and takes its
  // length at the end before its last rows are written (no chunk past them
  // exists then): a few extents a run instead of one a block.
  if (end > extent_ || (finishing && staged() && end < extent_)) {
    set_extent(staged() && !finishing_ ? std::max(end, 2 * extent_) : end);
  }
  if (row_elements_ == 0) return;
  bool gzip1 = comp_.codec == Codec::kGzip && comp_.gzip_level == 1;
  bool direct =
      !fixed_ && !is_string_ && row_dims_ == chunk_dims_ &&
      (((comp_.own_chunks || staged()) && gzip1) || (staged() && comp_.codec == Codec::kNone));
  uint64_t whole_from = (first + chunk_rows_ - 1) / chunk_rows_ * chunk_rows_;
  uint64_t whole_to = end / chunk_rows_ * chunk_rows_;
  if (!direct || whole_from >= whole_to) {
    write_rows(first, rows, data);
    return;
  }
  // Rows before the first whole chunk and after the last go through the
  // filters, which merge them with what their chunks hold.
  size_t row_bytes = fill_row_.size();
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (whole_from > first) write_rows(first, whole_from - first, bytes);
  write_chunks(whole_from, (whole_to - whole_from) / chunk_rows_,
               bytes + (whole_from - first) * row_bytes);
  if (end > whole_to) write_rows(whole_to, end - whole_to, bytes + (whole_to - first) * row_bytes);
}

void Column::write_rows(uint64_t first, uint64_t rows, const void* data) {
  std::vector<hsize_t> start{first}, count{rows};
  for (hsize_t d : row_dims_) {
    start.push_back(0);
    count.push_back(d);
  }
  Dataspace file_space(check(H5Dget_space(dataset_.get()), "get a dataspace"));
  check_status(H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr,
                                   count.data(), nullptr),
               "select rows of " + name_);
  Dataspace memory(check(H5Screate_simple(static_cast<int>(count.size()), count.data(), nullptr),
                         "create a dataspace"));
  herr_t status;
  errno = 0;
  if (is_string_) {
    std::vector<const char*> pointers(rows);
    for (size_t k = 0; k < rows; ++k) pointers[k] = taken_text_.data() + taken_starts_[k];
    status = H5Dwrite(dataset_.get(), type_.get(), memory.get(), file_space.get(), H5P_DEFAULT,
                      pointers.data());
  } else {
    status =
        H5Dwrite(dataset_.get(), type_.get(), memory.get(), file_space.get(), H5P_DEFAULT, data);
  }
  if (status < 0 && errno != 0) {
    throw Error("cannot write rows of " + name_ + ": " + std::strerror(errno));
  }
  check_status(status, "write rows of " + name_);
}

Column::~Column() = default;

// What the dataset's filters would store: shuffled bytes (elements of more
// than one byte), then a zlib stream; without filters the rows themselves.
void Column::write_chunks(uint64_t first, uint64_t chunks, const unsigned char* data) {
  size_t bytes = chunk_rows_ * fill_row_.size();
  bool raw = comp_.codec == Codec::kNone;
  std::vector<unsigned char> shuffled(element_ > 1 && !raw ? bytes : 0);
  std::vector<hsize_t> offset(1 + row_dims_.size(), 0);
  for (uint64_t k = 0; k < chunks; ++k) {
    const unsigned char* in = data + k * bytes;
    if (element_ > 1 && !raw) {
      shuffle_bytes(in, bytes, element_, shuffled.data());
      in = shuffled.data();
    }
    auto [stream, size] =
        raw ? std::pair{in, bytes} : shared_->deflater().compress(in, bytes, name_);
    offset[0] = first + k * chunk_rows_;
    errno = 0;
    herr_t status = H5Dwrite_chunk(dataset_.get(), H5P_DEFAULT, 0, offset.data(), size, stream);
    if (status < 0 && errno != 0) {
      throw Error("cannot write rows of " + name_ + ": " + std::strerror(errno));
    }
    check_status(status, "write rows of " + name_);
  }
}

bool Column::would_grow(const std::vector<hsize_t>& row_dims) const {
  for (size_t k = 0; k < row_dims.size() && k < row_dims_.size(); ++k) {
    if (row_dims[k] > row_dims_[k]) return true;
  }
  return false;
}

void Column::grow(const std::vector<hsize_t>& row_dims) {
  if (row_dims.size() != row_dims_.size()) throw Error("cannot change the rank of " + name_);
  std::vector<hsize_t> dims = row_dims;
  for (size_t k = 0; k < dims.size(); ++k) dims[k] = std::max(dims[k], row_dims_[k]);
  if (dims == row_dims_) return;
  flush();
  std::vector<hsize_t> old_dims = row_dims_;
  set_row_shape(dims);
  if (!dataset_.valid()) return;
  // A row twice as wide as the chunks (or more) makes the dataset again with
  // chunks of the new width: chunks never stay as narrow as an empty or tiny
  // first row, and rows that creep wider remake it a few times only.
  bool remade = false;
  for (size_t k = 0; k < dims.size(); ++k) remade = remade || dims[k] >= 2 * chunk_dims_[k];
  if (remade) {
    remake(old_dims);
    return;
  }
  std::vector<hsize_t> all{extent_};
  all.insert(all.end(), row_dims_.begin(), row_dims_.end());
  check_status(H5Dset_extent(dataset_.get(), all.data()), "enlarge the rows of " + name_);
}

void Column::widen_type(hid_t type) {
  if (is_string_ || H5Tget_size(type) <= element_) return;
  flush();
  Datatype wider(check(H5Tcopy(type), "copy a type"));
  std::vector<unsigned char> fill(std::max(H5Tget_size(type), element_));
  std::memcpy(fill.data(), fill_element_.data(), element_);
  check_status(H5Tconvert(type_.get(), wider.get(), 1, fill.data(), nullptr, H5P_DEFAULT),
               "convert the fill of " + name_);
  type_ = std::move(wider);
  element_ = H5Tget_size(type_.get());
  fill_element_.assign(fill.begin(), fill.begin() + static_cast<std::ptrdiff_t>(element_));
  zero_fill_ = std::all_of(fill_element_.begin(), fill_element_.end(),
                           [](unsigned char b) { return b == 0; });
  set_row_shape(row_dims_);
  if (dataset_.valid()) remake(row_dims_);
}

void Column::finish(uint64_t events) {
  finishing_ = true;
  // Made now, its chunk is the run, not the last block of rows (one event
  // beside a megapixel camera).
  if (!dataset_.valid()) create(events);
  flush();
  if (events != extent_) set_extent(events);
}

void Column::set_extent(uint64_t rows) {
  std::vector<hsize_t> dims{rows};
  dims.insert(dims.end(), row_dims_.begin(), row_dims_.end());
  check_status(H5Dset_extent(dataset_.get(), dims.data()), "extend " + name_);
  extent_ = rows;
}

hid_t Column::dataset() {
  if (!dataset_.valid()) create(0);
  return dataset_.get();
}

}  // namespace h5run
