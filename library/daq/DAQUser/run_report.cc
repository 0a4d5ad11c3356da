#include "run_report.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "daq_user.h"

namespace daq::report {

namespace {

// Channels named one by one in a summary line; the rest are counted.
constexpr size_t kListedChannels = 10;

struct ImageCause {
  uint64_t count = 0;
  std::string first;  // the first file that failed for this cause
};

struct ChannelCount {
  uint64_t count = 0;
  uint64_t first_event = 0;
};

bool in_run = false;
// Keyed by (folder, reason): one line each at the end of the run.
std::map<std::pair<std::string, std::string>, ImageCause> image_causes;
std::map<int, ChannelCount> no_parameters;
std::map<int, ChannelCount> structured;

std::string channel_name(int i) {
  if (chans == nullptr || i < 0 || i >= nchans || chans[i] == nullptr) {
    return "channel " + std::to_string(i);
  }
  std::string name = chans[i];
  if (subchans != nullptr && subchans[i] >= 0) name += ":" + std::to_string(subchans[i]);
  return name;
}

void note(std::map<int, ChannelCount>& counts, int channel, uint64_t event) {
  ChannelCount& c = counts[channel];
  if (c.count++ == 0) c.first_event = event;
}

// "CAM.1 400 (first event 5000000003), CAM.2 4 (first event 5000000007)".
std::string per_channel(const std::map<int, ChannelCount>& counts) {
  std::string text;
  size_t listed = 0;
  for (const auto& [channel, c] : counts) {
    if (listed++ == kListedChannels) {
      text += ", and " + std::to_string(counts.size() - kListedChannels) + " more channels";
      break;
    }
    if (!text.empty()) text += ", ";
    text += channel_name(channel) + " " + std::to_string(c.count) + " (first event " +
            std::to_string(c.first_event) + ")";
  }
  return text;
}

uint64_t total(const std::map<int, ChannelCount>& counts) {
  uint64_t n = 0;
  for (const auto& entry : counts) n += entry.second.count;
  return n;
}

std::string folder_of(const std::string& name) {
  size_t slash = name.rfind('/');
  return slash == std::string::npos ? "." : name.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

void start_run() {
  reset();
  in_run = true;
}

void finish_run() {
  for (const auto& [key, cause] : image_causes) {
    std::fprintf(stderr, "libDAQUser: %llu image file%s not written in %s: %s (first %s)\n",
                 static_cast<unsigned long long>(cause.count), cause.count == 1 ? "" : "s",
                 key.first.c_str(), key.second.c_str(), cause.first.c_str());
  }
  if (!no_parameters.empty()) {
    uint64_t n = total(no_parameters);
    std::fprintf(stderr,
                 "libDAQUser: %llu bad channel readout%s without image parameters (\"No image "
                 "parameters availanle\"): %s\n",
                 static_cast<unsigned long long>(n), n == 1 ? "" : "s",
                 per_channel(no_parameters).c_str());
  }
  if (!structured.empty()) {
    uint64_t n = total(structured);
    std::fprintf(stderr,
                 "libDAQUser: %llu structured-data block%s not converted (\"!!!Failed to extract "
                 "data of type EqData!!!\"): %s\n",
                 static_cast<unsigned long long>(n), n == 1 ? "" : "s",
                 per_channel(structured).c_str());
  }
  std::fflush(stderr);
  reset();
}

void reset() {
  in_run = false;
  image_causes.clear();
  no_parameters.clear();
  structured.clear();
}

void output_failed(const char* what, const char* name, int error) {
  std::fprintf(stderr, "libDAQUser: cannot write the %s %s: %s\n", what,
               name != nullptr ? name : "(no name)", std::strerror(error));
}

void warning(const std::string& text) {
  std::fprintf(stderr, "libDAQUser: warning: %s\n", text.c_str());
}

void image_failed(const std::string& name, int error, const char* cause) {
  std::string reason = cause != nullptr ? cause : std::strerror(error);
  if (!in_run) {
    std::fprintf(stderr, "libDAQUser: image file %s not written: %s\n", name.c_str(),
                 reason.c_str());
    return;
  }
  ImageCause& c = image_causes[{folder_of(name), reason}];
  if (c.count++ == 0) c.first = name;
}

void no_image_parameters(int channel, uint64_t event) { note(no_parameters, channel, event); }

void structured_failed(int channel, uint64_t event) { note(structured, channel, event); }

}  // namespace daq::report
