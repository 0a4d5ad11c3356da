#include "table_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "daq_user.h"
#include "output_status.h"
#include "row_writer.h"
#include "run_report.h"

namespace daq {

namespace {

int table_error = 0;  // error number of the first failed write of the run
bool table_error_reported = false;

}  // namespace

void reset_table_file_errors() {
  table_error = 0;
  table_error_reported = false;
}

void write_table_text(std::string& text) {
  if (fd == nullptr) {
    text.clear();
    return;
  }
  int error = write_text(text, fd);
  if (table_error == 0) table_error = error;
}

void spill_row(std::string& text) {
  constexpr size_t kSpillBytes = 1 << 18;
  if (text.size() >= kSpillBytes) write_table_text(text);
}

bool write_table_row(std::string& text) {
  write_table_text(text);
  if (table_error == 0) return true;
  if (!table_error_reported) {
    std::printf("vexa_user_loop(): failed to write table file: %s\n", std::strerror(table_error));
    report::output_failed("table file", file, table_error);
    table_error_reported = true;
  }
  return false;
}

void report_file_error(const char* hook, const char* action, const char* what, int error) {
  std::printf("%s(): failed to %s %s: %s\n", hook, action, what, std::strerror(error));
}

int close_file(FILE* f, int earlier_error, const char** action) {
  *action = "write";
  errno = 0;
  int error = std::fflush(f) != 0 ? (errno != 0 ? errno : EIO) : 0;
  if (error == 0) error = earlier_error;
  if (error == 0 && std::ferror(f)) error = EIO;
  errno = 0;
  if (std::fclose(f) != 0 && error == 0) {
    error = errno != 0 ? errno : EIO;
    *action = "close";
  }
  return error;
}

void close_table_file(const char* hook) {
  if (fd == nullptr) return;
  const char* action;
  int error = close_file(fd, table_error, &action);
  fd = nullptr;
  if (error != 0) {
    report_file_error(hook, action, "table file", error);
    if (!table_error_reported) report::output_failed("table file", file, error);
    note_output_failure();
  }
}

}  // namespace daq
