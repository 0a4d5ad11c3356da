// Checks the plug-in's run file (-h5) against the recording it was made
// from, every value bit for bit: what the tests and the benchmark use to
// know the file holds exactly what the host delivered.
#ifndef DAQ_H5CHECK_RUN_FILE_CHECK_H_
#define DAQ_H5CHECK_RUN_FILE_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "vexa_run.h"

namespace h5check {

// True when `path` holds `rows` events of `run`, row k being event k modulo
// the run's events; otherwise false with the first difference in *error.
bool check_run_file(const vexa_run& run, int64_t rows, const std::string& path, std::string* error);

// A whole dataset of the file at `path`, stored as T itself (uint8_t,
// uint16_t, int32_t, uint32_t, uint64_t, int64_t or float), with its
// dimensions in *dims when given.  Throws std::runtime_error naming what is
// missing or of another type.
template <typename T>
std::vector<T> read_dataset(const std::string& path, const std::string& dataset,
                            std::vector<uint64_t>* dims = nullptr);

}  // namespace h5check

#endif  // DAQ_H5CHECK_RUN_FILE_CHECK_H_
