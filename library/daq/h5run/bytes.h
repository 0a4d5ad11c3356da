// A growable byte buffer whose new bytes are not zeroed, for rows that are
// written right after they grow.
#ifndef DAQ_H5RUN_BYTES_H_
#define DAQ_H5RUN_BYTES_H_

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace h5run {

class Bytes {
 public:
  Bytes() = default;
  ~Bytes() { std::free(data_); }
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  Bytes(Bytes&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  Bytes& operator=(Bytes&& o) noexcept {
    swap(o);
    return *this;
  }
  void swap(Bytes& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
  }

  unsigned char* data() { return data_; }
  const unsigned char* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  void clear() { size_ = 0; }
  void reserve(size_t n) {
    if (n <= capacity_) return;
    void* p = std::realloc(data_, n);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<unsigned char*>(p);
    capacity_ = n;
  }
  void resize(size_t n) {
    if (n > capacity_) reserve(n);
    size_ = n;
  }
  void append(const unsigned char* bytes, size_t n) {
    size_t at = size_;
    resize(at + n);
    if (n > 0) std::memcpy(data_ + at, bytes, n);
  }

 private:
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace h5run

#endif  // DAQ_H5RUN_BYTES_H_
