// Small owning wrappers of HDF5 identifiers, and the one error type of the
// layout library.
#ifndef DAQ_H5RUN_H5_HANDLE_H_
#define DAQ_H5RUN_H5_HANDLE_H_

#include <hdf5.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace h5run {

// Every failure of the library: a one-line message naming what could not be done.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An hid_t closed by `Close` when it goes out of scope.
template <herr_t (*Close)(hid_t)>
class Handle {
 public:
  Handle() = default;
  explicit Handle(hid_t id) : id_(id) {}
  Handle(Handle&& o) noexcept : id_(std::exchange(o.id_, H5I_INVALID_HID)) {}
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) {
      reset();
      id_ = std::exchange(o.id_, H5I_INVALID_HID);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }

  hid_t get() const { return id_; }
  // Gives up ownership without closing.
  hid_t release() { return std::exchange(id_, H5I_INVALID_HID); }
  bool valid() const { return id_ >= 0; }
  void reset() {
    if (id_ >= 0) Close(id_);
    id_ = H5I_INVALID_HID;
  }

 private:
  hid_t id_ = H5I_INVALID_HID;
};

using File = Handle<H5Fclose>;
using Group = Handle<H5Gclose>;
using Dataset = Handle<H5Dclose>;
using Dataspace = Handle<H5Sclose>;
using Datatype = Handle<H5Tclose>;
using PropList = Handle<H5Pclose>;
using Attribute = Handle<H5Aclose>;

// Throws Error("cannot <what>") when `id` is negative.
inline hid_t check(hid_t id, const std::string& what) {
  if (id < 0) throw Error("cannot " + what);
  return id;
}
inline void check_status(herr_t status, const std::string& what) {
  if (status < 0) throw Error("cannot " + what);
}

}  // namespace h5run

#endif  // DAQ_H5RUN_H5_HANDLE_H_
