// The run as an HDF5 file (-h5 FILE), written as the run goes from the same
// reads that make the table.  The writing lives in libDAQUserH5.so beside
// the plug-in, loaded only when a run asks for it; without -h5 nothing here
// calls the host or prints.
#ifndef DAQUSER_H5_OUTPUT_H_
#define DAQUSER_H5_OUTPUT_H_

#include <cstddef>
#include <cstdint>

#include "daq_user.h"

namespace daq::h5 {

// Option words: the file ("-h5 FILE") and the codec ("-h5z CODEC").
void set_file(const char* path);
void set_codec(const char* codec);
bool requested();

// Loads the library and opens the file.  0, or -5 with a message when the
// library cannot be loaded or the file cannot be made.
int start(vexa_daq_reader_base* reader, int generation, int argc, char** argv);
// True while the file is being written (not after a failure).
bool active();

void begin_event(uint64_t id, uint32_t sec, uint32_t usec, const char* iso, uint32_t status,
                 int type, const char* type_name);
// The status words and macro-pulse number of channel i in this event.
void channel_block(int i, uint32_t srv_block, uint32_t chan, uint64_t macro_pulse);
// Ends channel i's turn: its block words go to the file if it has a group.
void end_channel(int i);
// A failed read ended the event's row before channel `from`: that channel
// and the ones after it are cut short in this event.
void cut_short(int from);
void end_event();

// Cell contents of channel i.  The Missing codes are the layout's.
enum Code {
  kValue = 0,
  kEmpty = 1,
  kCutShort = 3,
  kOtherKind = 4,
  kNoImage = 6,
  kInvalidImage = 7
};
void mark(int i);
void scalar(int i, float value, bool as_int);
void pairs_begin(int i, int count);
void pair(int i, int k, const char* name, float value, bool as_int);
void spectrum_begin(int i);
void member(int i, int m, const float* values, size_t count, bool as_int);
void member_failed(int i, int m);
void member_stat(int i, int m, int bit, float value);
// The last spectrum parameters of member m and the last frame header of a
// camera, kept for attributes of Member<m> and Pixels (what the XML
// description shows).
void spectrum_parameters(int i, int m, const vexa_spect_header_2010& parameters);
void frame_header(int i, const vexa_image_ext_frame_head& header);
void image(int i, int bpp, const unsigned char* pixels, int width, int height, int64_t bytes);
void image_missing(int i, Code code);
void structured(int i, bool converted);

// Drops the file of a run whose start failed after start().
void drop();

// Writes the rest and renames the file.  False when the file failed at any
// point of the run (reported when it happened).
bool finish();

// Drops the file and the options, for harnesses that run the hooks often.
void reset();

}  // namespace daq::h5

#endif  // DAQUSER_H5_OUTPUT_H_
