// Writing the table file and noticing when writing fails (a full disk).
#ifndef DAQUSER_TABLE_FILE_H_
#define DAQUSER_TABLE_FILE_H_

#include <cstdio>
#include <string>

namespace daq {

// Forgets the errors of an earlier run.
void reset_table_file_errors();

// Writes `text` to the open table file and empties it; a failure is kept
// for write_table_row to report.
void write_table_text(std::string& text);

// Writes what a long row holds so far, once it passes a few hundred
// kilobytes: the text then goes out while it is still in the cache, and a
// row of megapixel images never sits in memory whole.
void spill_row(std::string& text);

// Writes one row.  False when the table file has failed, at this row or
// before; the first failure is reported once per run.
bool write_table_row(std::string& text);

// Closes the table file; a failed write or close is reported naming `hook`.
void close_table_file(const char* hook);

// Flushes and closes `f`.  Returns 0, or the error number of the first
// failure (`earlier_error` when set), with *action "write" or "close".
int close_file(FILE* f, int earlier_error, const char** action);

// Prints "<hook>(): failed to <action> <what>: <system error>".
void report_file_error(const char* hook, const char* action, const char* what, int error);

}  // namespace daq

#endif  // DAQUSER_TABLE_FILE_H_
