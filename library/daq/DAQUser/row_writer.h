// The pieces of table text whose form depends on the row format: tab mode
// or HDF5 conversion mode ("-hdf5").  The row is built in one buffer and
// written to the table file at once.
#ifndef DAQUSER_ROW_WRITER_H_
#define DAQUSER_ROW_WRITER_H_

#include <cstdio>
#include <string>

namespace daq {

// The text of the row (or header) being built; reused from row to row.
std::string& row_text();

// Separator between columns and cells: "," or a tab.
char separator();

// A status word column: "0x%X," or "0x%X" and three tabs.
void put_status_word(std::string& out, int status);

// Cell of a channel that is not found or of an unknown type.
void put_default_cell(std::string& out);

// Writes `text` to `f`, flushes, and empties `text`.  Returns 0, or the
// error number of a failed write.
int write_text(std::string& text, FILE* f);

}  // namespace daq

#endif  // DAQUSER_ROW_WRITER_H_
