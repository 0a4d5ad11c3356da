#include "vexa_text.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

vexa_text::vexa_text(simdjson::padded_string buffer) : buffer_(std::move(buffer)) {
  data_ = buffer_.data();
  size_ = buffer_.size();
}

vexa_text vexa_text::map(int fd, size_t size, int* error_number) {
  vexa_text t;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t file_pages = (size + page - 1) / page * page;
  const size_t total = (size + simdjson::SIMDJSON_PADDING + page - 1) / page * page;
  // Zero pages for the whole span first, then the file over their start:
  // the rest of the file's last page and the pages after it read as zeros.
  void* span = mmap(nullptr, total, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (span == MAP_FAILED) {
    *error_number = errno;
    return t;
  }
  if (file_pages > 0 &&
      mmap(span, file_pages, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
    *error_number = errno;
    munmap(span, total);
    return t;
  }
  // The walk reads the text once from start to end: read ahead, and early.
  madvise(span, file_pages, MADV_SEQUENTIAL);
  madvise(span, file_pages, MADV_WILLNEED);
  t.map_ = span;
  t.map_size_ = total;
  t.data_ = static_cast<const char*>(span);
  t.size_ = size;
  return t;
}

vexa_text::vexa_text(vexa_text&& other) noexcept { *this = std::move(other); }

vexa_text& vexa_text::operator=(vexa_text&& other) noexcept {
  if (this != &other) {
    release();
    buffer_ = std::move(other.buffer_);
    map_ = std::exchange(other.map_, nullptr);
    map_size_ = std::exchange(other.map_size_, 0);
    size_ = std::exchange(other.size_, 0);
    data_ = map_ != nullptr ? static_cast<const char*>(map_) : buffer_.data();
    if (data_ == nullptr) data_ = "";
    other.data_ = "";
  }
  return *this;
}

vexa_text::~vexa_text() { release(); }

void vexa_text::release() noexcept {
  if (map_ != nullptr) munmap(map_, map_size_);
  map_ = nullptr;
  map_size_ = 0;
}
