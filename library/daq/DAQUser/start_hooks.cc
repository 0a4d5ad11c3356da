// Start of a run: options, channel table, table file header, channel list
// and parameter table.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daq_user.h"
#include "h5_output.h"
#include "number_format.h"
#include "options.h"
#include "output_status.h"
#include "row_writer.h"
#include "run_report.h"
#include "table_file.h"

namespace {

// Channels a run may have: beyond this a reported count is taken as broken
// rather than allocated for.
constexpr int kMaxChannels = 1 << 20;

// Entries of spectprms, kept to release the table of an earlier run.
int parameter_table_size = 0;

// Column name of channel j: "name" or "name:sub".
void put_column_name(std::string& out, int j) {
  out += chans[j];
  if (subchans[j] >= 0) {
    out += ':';
    daq::fmt::put_d(out, subchans[j]);
  }
}

void put_event_column_names(std::string& out) {
  if (hdf5mode) {
    out += "EventId,Time,TimeISO,";
    if (outmode != 0) out += "EvHeadStatus,";
  } else {
    out += "EventId\tTime\t\t\t";
    if (outmode != 0) out += "EvHeadStatus\t\t\t";
  }
}

void put_channel_column_names(std::string& out, int j) {
  if (outmode != 0)
    out += hdf5mode ? "SrvBlockStatus,ChanStatus," : "SrvBlockStatus\t\t\tChanStatus\t\t\t";
  put_column_name(out, j);
  if (j == nchans - 1) {
    out += '\n';
  } else {
    out += daq::separator();
  }
}

void build_conversion_flags() {
  std::free(do_conv);
  do_conv = static_cast<int*>(std::calloc(nchans, sizeof(int)));
  if (do_conv == nullptr) {
    std::fputs("vexa_user_init(): failed to malloc do_conv, no channel is converted !!!\n", stdout);
    return;
  }
  for (int i = 0; i < nchans; ++i) do_conv[i] = std::strstr(ftilist, chans[i]) != nullptr;
}

// Releases the parameter table of an earlier run.
void release_parameter_table() {
  if (spectprms == nullptr) return;
  for (int i = 0; i < parameter_table_size; ++i) {
    std::free(spectprms[i].params);
    std::free(spectprms[i].iparams);
  }
  std::free(spectprms);
  spectprms = nullptr;
}

void build_parameter_table() {
  release_parameter_table();
  parameter_table_size = nchans;
  spectprms = static_cast<dim_params*>(std::calloc(nchans, sizeof(dim_params)));
  if (spectprms == nullptr) {
    std::fputs("Failed to create spectrum parameters structures\n", stdout);
    return;
  }
  for (int i = 0; i < nchans; ++i) {
    spectprms[i].name = chans[i];
    spectprms[i].num = subchans[i];
  }
}

// Why nothing can be written in `dir`, or "" when something can.
std::string unwritable_folder(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return std::strerror(ENOTDIR);
  if (access(dir.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  return "";
}

// A folder for images or the description that cannot take them is only
// found out when the first file fails, or at the end of the run; it is
// named now, before the first event.  The run itself goes on as before.
void warn_of_unwritable_folders() {
  if (imdump && !nodump && imdir != nullptr) {
    // Image names are the folder, "/", the channel: an empty folder is "/".
    const std::string dir = *imdir != '\0' ? imdir : "/";
    if (std::string why = unwritable_folder(dir); !why.empty()) {
      daq::report::warning("image folder " + std::string(imdir) + " (-imdump): " + why +
                           "; no image file will be written");
    }
  }
  if (dumpxml && xfile != nullptr) {
    const std::string name = xfile;
    const size_t slash = name.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "." : name.substr(0, slash == 0 ? 1 : slash);
    std::string why;
    struct stat st {};
    if (stat(xfile, &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        why = std::strerror(EISDIR);
      } else if (access(xfile, W_OK) != 0) {
        why = std::strerror(errno);
      }
    } else if (std::string folder = unwritable_folder(dir); !folder.empty()) {
      why = "folder " + dir + ": " + folder;
    }
    if (!why.empty()) {
      daq::report::warning("XML description " + name + " (-xdump): " + why +
                           "; it will not be written");
    }
  }
}

// The body shared by the start hooks of both generations.
int init_run(int argc, char** argv, vexa_daq_reader_base* reader, int generation) {
  if (reader == nullptr) return -1;
  daq::report::start_run();
  daq::parse_options(argc, argv);
  warn_of_unwritable_folders();
  daq::reset_table_file_errors();
  daq::reset_output_failures();

  nchans = reader->get_number_of_channels();
  std::printf("CHANNELS: %d\n", nchans);
  if (nchans == 0) {
    std::fputs("vexa_user_init(): no channels in the reader !!!\n", stdout);
    return -2;
  }
  if (nchans > kMaxChannels) {
    std::printf("vexa_user_init(): %d channels, more than %d !!!\n", nchans, kMaxChannels);
    nchans = 0;
    return -3;
  }
  std::free(chans);
  chans = nchans > 0 ? static_cast<char**>(std::malloc(sizeof(char*) * nchans)) : nullptr;
  if (chans == nullptr) {
    std::fputs("vexa_user_init(): failed to malloc chans !!!\n", stdout);
    return -3;
  }
  std::free(subchans);
  subchans = static_cast<int*>(std::malloc(sizeof(int) * nchans));
  if (subchans == nullptr) {
    std::fputs("vexa_user_init(): failed to malloc subchans !!!\n", stdout);
    return -3;
  }
  for (int i = 0; i < nchans; ++i) {
    subchans[i] = -1;
    chans[i] = reader->get_channel_name(i, &subchans[i]);
    if (chans[i] == nullptr) {
      std::printf("vexa_user_init(): failed to get channel %d !!!\n", i);
      std::free(chans);
      chans = nullptr;
      return -4;
    }
  }
  for (int i = 0; i < nchans && i < kEventIdChannels; ++i) {
    eventids[i].clear();
    eventids64[i].clear();
  }
  if (nchans > kEventIdChannels) {
    std::printf("vexa_user_init(): %d channels, event IDs are kept for the first %d only\n", nchans,
                kEventIdChannels);
  }
  if (ftilist != nullptr) build_conversion_flags();

  // The HDF5 file first: it checks its target without replacing anything,
  // where opening the table empties it.
  if (int rc = daq::h5::start(reader, generation, argc, argv); rc != 0) return rc;
  std::string& header = daq::row_text();
  header.clear();
  if (!nodump) {
    errno = 0;
    fd = std::fopen(file, "w+");
    if (fd == nullptr) {
      daq::report::output_failed("table file", file, errno != 0 ? errno : EIO);
      std::fputs("vexa_user_init(): failed to open file for writing\n", stdout);
      daq::h5::drop();
      return -5;
    }
    put_event_column_names(header);
  }

  std::fputs("vexa_user_init()==== CHANNELS ==============\n", stdout);
  for (int j = 0; j < nchans; ++j) {
    if (subchans[j] >= 0) {
      std::printf("[%d] \t %s:%d\n", j, chans[j], subchans[j]);
    } else {
      std::printf("[%d] \t %s\n", j, chans[j]);
    }
    if (!nodump) put_channel_column_names(header, j);
  }
  if (!nodump) daq::write_table_text(header);

  if (dumpxml) build_parameter_table();
  std::fputs("vexa_user_init()===== CHANNELS END ==============\n", stdout);
  return 0;
}

}  // namespace

int vexa_user_init_2010(int argc, char** argv, vexa_daq_reader_2010* reader) {
  return init_run(argc, argv, reader, 2010);
}

int vexa_user_init_2024(int argc, char** argv, vexa_daq_reader_2024* reader) {
  return init_run(argc, argv, reader, 2024);
}
