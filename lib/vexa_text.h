// A recording's text in memory with simdjson's padding readable after it. A
// regular file is mapped, not copied: its pages come from the page cache as
// the walk reaches them, and the padding past its end reads as zeros from
// pages mapped behind it. Other text (a pipe, a string) is held in a buffer.
#ifndef VEXA_TEXT_H_
#define VEXA_TEXT_H_

#include <simdjson.h>

#include <cstddef>
#include <string>
#include <string_view>

class vexa_text {
 public:
  vexa_text() = default;
  explicit vexa_text(simdjson::padded_string buffer);
  // Maps the regular file open as `fd` (left open for the caller to close),
  // `size` bytes. Empty (no data) with *error_number set when it cannot.
  static vexa_text map(int fd, size_t size, int* error_number);

  vexa_text(vexa_text&& other) noexcept;
  vexa_text& operator=(vexa_text&& other) noexcept;
  vexa_text(const vexa_text&) = delete;
  vexa_text& operator=(const vexa_text&) = delete;
  ~vexa_text();

  // At least simdjson::SIMDJSON_PADDING readable bytes follow data() + size().
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  std::string_view view() const { return {data_, size_}; }
  bool mapped() const { return map_ != nullptr; }

 private:
  void release() noexcept;

  simdjson::padded_string buffer_;
  void* map_ = nullptr;
  size_t map_size_ = 0;
  const char* data_ = "";
  size_t size_ = 0;
};

#endif  // VEXA_TEXT_H_
