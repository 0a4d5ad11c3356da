// A host whose every answer comes from a byte stream: the data-access object
// and the readers of both generations, defined over the script instead of a
// loaded run.  Counts may be negative or huge, lengths may disagree with
// sizes, pointers may be null where the interface allows it.
#ifndef DAQUSER_FUZZ_SCRIPTED_HOST_H_
#define DAQUSER_FUZZ_SCRIPTED_HOST_H_

#include <cstddef>
#include <cstdint>

namespace scripted {

// Answers come from these bytes from now on; names handed out before are
// released.  The bytes must outlive the run.
void set_script(const uint8_t* data, size_t size);

// True once an answer was asked for beyond the end; every result is then a
// failure and every count 0.
bool dry();

uint8_t next_byte();
// Small, negative, boundary or raw 32-bit values.
int next_count();
// 0 mostly; a failure now and then, and always once dry.
int next_result();
// A text of 0 to 5000 bytes, valid until the next set_script.
char* next_name();

}  // namespace scripted

#endif  // DAQUSER_FUZZ_SCRIPTED_HOST_H_
