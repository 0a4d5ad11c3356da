#include "row_writer.h"

#include <cerrno>

#include "daq_user.h"
#include "number_format.h"

namespace daq {

std::string& row_text() {
  static std::string text;
  return text;
}

char separator() { return hdf5mode ? ',' : '\t'; }

void put_status_word(std::string& out, int status) {
  fmt::put_hex(out, static_cast<uint32_t>(status));
  out += hdf5mode ? "," : "\t\t\t";
}

void put_default_cell(std::string& out) { out += hdf5mode ? "[]" : "Not found"; }

int write_text(std::string& text, FILE* f) {
  errno = 0;
  size_t n = std::fwrite(text.data(), 1, text.size(), f);
  int error = n == text.size() ? 0 : (errno != 0 ? errno : EIO);
  text.clear();
  if (std::fflush(f) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  if (error == 0 && std::ferror(f)) error = EIO;
  return error;
}

}  // namespace daq
