#include "vexa_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vexa_recording.h"
#include "vexa_text.h"

std::string vexa_selector(const vexa_run_channel_entry& entry) {
  std::string s = entry.name.value_or("");
  if (entry.sub >= 0) s += ":" + std::to_string(entry.sub);
  return s;
}

namespace {

std::unique_ptr<vexa_run> load_text(vexa_text text, const std::string& source, bool stream,
                                    const vexa_load_progress& progress, std::string* error) {
  auto run = std::make_unique<vexa_run>();
  std::shared_ptr<vexa_recording> rec =
      vexa_recording::load(std::move(text), source, !stream, progress, run.get(), error);
  if (rec == nullptr) return nullptr;
  if (stream) {
    run->streamed_events = rec->event_count();
    run->recordings.push_back(std::move(rec));
  }
  return run;
}

std::unique_ptr<vexa_run> load_text(std::string_view text, const std::string& source, bool stream,
                                    std::string* error) {
  try {
    return load_text(vexa_text(simdjson::padded_string(text)), source, stream, {}, error);
  } catch (const std::bad_alloc&) {
    *error = source + ": out of memory while loading the recording";
    return nullptr;
  }
}

// What a file that is not a recording looks like, from its first bytes:
// said instead of a JSON syntax error at a byte no one can read.
std::string not_json(std::string_view text) {
  if (text.empty()) return "an empty file, not a recording";
  if (text.starts_with("\x89HDF\r\n\x1a\n")) {
    return "an HDF5 file, not a recording (a run file? read it with daqrun, h5py or daq-quicklook)";
  }
  size_t look = std::min<size_t>(text.size(), 4096), odd = 0;
  for (size_t k = 0; k < look; ++k) {
    unsigned char c = static_cast<unsigned char>(text[k]);
    odd += c == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r');
  }
  if (odd > 0) return "binary data, not a recording (a JSON text)";
  return "";
}

// The whole file: a regular file mapped, with the parser's padding after it;
// text of unknown size (a pipe) gathered into a buffer.
std::unique_ptr<vexa_run> load_file(const std::string& path, bool stream,
                                    const vexa_load_progress& progress, std::string* error) {
  // A directory opens as a stream and then reads as nothing at all.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    *error = path + ": " + std::strerror(EISDIR);
    return nullptr;
  }
  try {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
      *error = path + ": cannot open: " + std::strerror(errno);
      return nullptr;
    }
    struct stat st {};
    vexa_text text;
    bool failed = false;
    int read_errno = 0;
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
      text = vexa_text::map(fileno(file), static_cast<size_t>(st.st_size), &read_errno);
      failed = !text.mapped() && st.st_size > 0;
    } else {
      std::string gathered;
      char chunk[1 << 16];
      size_t n;
      while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) gathered.append(chunk, n);
      failed = std::ferror(file) != 0;
      read_errno = errno;
      text = vexa_text(simdjson::padded_string(gathered));
    }
    std::fclose(file);
    if (failed) {
      *error = path + ": cannot read: " + std::strerror(read_errno != 0 ? read_errno : EIO);
      return nullptr;
    }
    if (std::string what = not_json(text.view()); !what.empty()) {
      *error = path + ": " + what;
      return nullptr;
    }
    return load_text(std::move(text), path, stream, progress, error);
  } catch (const std::bad_alloc&) {
    *error = path + ": out of memory while loading the recording";
    return nullptr;
  }
}

}  // namespace

std::unique_ptr<vexa_run> vexa_parse_run(std::string_view text, const std::string& source,
                                         std::string* error) {
  return load_text(text, source, false, error);
}

std::unique_ptr<vexa_run> vexa_load_run(const std::string& path, std::string* error) {
  return load_file(path, false, {}, error);
}

std::unique_ptr<vexa_run> vexa_open_run(const std::string& path, std::string* error,
                                        const vexa_load_progress& progress) {
  return load_file(path, true, progress, error);
}

std::unique_ptr<vexa_run> vexa_open_run_text(std::string_view text, const std::string& source,
                                             std::string* error) {
  return load_text(text, source, true, error);
}

struct vexa_run_cursor::State {
  const vexa_run* run;
  simdjson::dom::parser parser;
  vexa_run_event event;
  std::string error;
  // The run's selectors, each with a slot, in the order first met.
  std::unordered_map<std::string_view, uint32_t> slot_of;
  std::deque<std::string> selectors;  // stable storage for slot_of's keys
  // The current event's channels by slot, made at the first find().
  const vexa_run_event* current = nullptr;
  bool indexed = false;
  std::vector<const vexa_run_channel*> by_slot;
  // Slots of by_slot set for the current event, in the order its channels
  // were met; the previous event's, whose channels mostly come in the same
  // order: a compare instead of a hash per channel.
  std::vector<uint32_t> filled, before;
  uint32_t next = 0;  // the slot after the last found

  uint32_t slot(std::string_view selector) {
    auto it = slot_of.find(selector);
    if (it != slot_of.end()) return it->second;
    const auto k = static_cast<uint32_t>(selectors.size());
    selectors.emplace_back(selector);
    by_slot.push_back(nullptr);
    slot_of.emplace(selectors.back(), k);  // the key views the kept copy
    return k;
  }

  void index() {
    for (uint32_t k : filled) by_slot[k] = nullptr;
    filled.swap(before);
    filled.clear();
    if (current != nullptr) {
      for (const auto& [selector, channel] : current->channels) {
        size_t at = filled.size();
        uint32_t k =
            at < before.size() && selectors[before[at]] == selector ? before[at] : slot(selector);
        by_slot[k] = &channel;
        filled.push_back(k);
      }
    }
    indexed = true;
  }
};

vexa_run_cursor::vexa_run_cursor(const vexa_run* run) : state_(std::make_unique<State>()) {
  state_->run = run;
  // The channel table's order is the order a reader asks in.
  if (run != nullptr) {
    for (const vexa_run_channel_entry& entry : run->channels) state_->slot(vexa_selector(entry));
  }
}

const vexa_run_channel* vexa_run_cursor::find(std::string_view selector) {
  State& s = *state_;
  if (s.current == nullptr) return nullptr;
  if (!s.indexed) s.index();
  uint32_t k = s.next;
  if (k >= s.selectors.size() || s.selectors[k] != selector) {
    auto it = s.slot_of.find(selector);
    if (it == s.slot_of.end()) return nullptr;  // in no event so far, so not in this one
    k = it->second;
  }
  s.next = k + 1;
  return s.by_slot[k];
}

vexa_run_cursor::~vexa_run_cursor() = default;

const std::string& vexa_run_cursor::error() const { return state_->error; }

const vexa_run_event* vexa_run_cursor::at(size_t index) {
  State& s = *state_;
  s.current = nullptr;
  s.indexed = false;
  s.next = 0;
  s.error.clear();
  const vexa_run* run = s.run;
  if (run == nullptr) return nullptr;
  if (index < run->events.size()) return s.current = &run->events[index];
  index -= run->events.size();
  for (const auto& rec : run->recordings) {
    if (index < rec->event_count()) {
      if (!rec->decode(index, s.parser, &s.event, &s.error)) return nullptr;
      return s.current = &s.event;
    }
    index -= rec->event_count();
  }
  return nullptr;
}

bool vexa_append_run(vexa_run& run, vexa_run&& more, const std::string& source,
                     std::string* error) {
  if (more.generation != run.generation) {
    *error = source + ": generation: " + std::to_string(more.generation) +
             " differs from the first recording's " + std::to_string(run.generation);
    return false;
  }
  if (run.reported_events || more.reported_events) {
    run.reported_events = run.reported_events.value_or(static_cast<int64_t>(run.event_count())) +
                          more.reported_events.value_or(static_cast<int64_t>(more.event_count()));
  }
  if (!run.recordings.empty() && !more.events.empty()) {
    *error = source + ": decoded events cannot follow a streamed run";
    return false;
  }
  run.empty_events += more.empty_events;
  run.recordings.insert(run.recordings.end(), more.recordings.begin(), more.recordings.end());
  run.streamed_events += more.streamed_events;
  run.events.insert(run.events.end(), std::make_move_iterator(more.events.begin()),
                    std::make_move_iterator(more.events.end()));
  return true;
}

bool vexa_select_channels(vexa_run& run, const std::vector<std::string>& selectors,
                          std::string* error) {
  std::vector<vexa_run_channel_entry> chosen;
  for (const std::string& sel : selectors) {
    auto it = std::find_if(run.channels.begin(), run.channels.end(), [&](const auto& entry) {
      return entry.name && vexa_selector(entry) == sel;
    });
    if (it == run.channels.end()) {
      *error = "no recorded channel is named \"" + sel + "\"";
      return false;
    }
    chosen.push_back(*it);
  }
  run.channels = std::move(chosen);
  return true;
}
