#include "vexa_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "vexa_recording.h"

std::string vexa_selector(const vexa_run_channel_entry& entry) {
  std::string s = entry.name.value_or("");
  if (entry.sub >= 0) s += ":" + std::to_string(entry.sub);
  return s;
}

namespace {

std::unique_ptr<vexa_run> load_text(simdjson::padded_string text, const std::string& source,
                                    bool stream, const vexa_load_progress& progress,
                                    std::string* error) {
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
    return load_text(simdjson::padded_string(text), source, stream, {}, error);
  } catch (const std::bad_alloc&) {
    *error = source + ": out of memory while loading the recording";
    return nullptr;
  }
}

// The whole file, read once into memory with the parser's padding after it.
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
    // A regular file is read straight into the parser's buffer; text of
    // unknown size (a pipe) is gathered first.
    struct stat st {};
    simdjson::padded_string padded;
    bool failed = false;
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
      padded = simdjson::padded_string(static_cast<size_t>(st.st_size));
      size_t got = std::fread(padded.data(), 1, padded.size(), file);
      // A file that shrank or grew while read is no recording either.
      failed = got != padded.size() || std::fgetc(file) != EOF;
      if (failed && std::ferror(file) == 0) errno = EIO;
    } else {
      std::string text;
      char chunk[1 << 16];
      size_t n;
      while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
      padded = simdjson::padded_string(text);
    }
    failed = failed || std::ferror(file) != 0;
    int read_errno = errno;
    std::fclose(file);
    if (failed) {
      *error = path + ": cannot read: " + std::strerror(read_errno);
      return nullptr;
    }
    return load_text(std::move(padded), path, stream, progress, error);
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
};

vexa_run_cursor::vexa_run_cursor(const vexa_run* run) : state_(std::make_unique<State>()) {
  state_->run = run;
}

vexa_run_cursor::~vexa_run_cursor() = default;

const std::string& vexa_run_cursor::error() const { return state_->error; }

const vexa_run_event* vexa_run_cursor::at(size_t index) {
  const vexa_run* run = state_->run;
  state_->error.clear();
  if (run == nullptr) return nullptr;
  if (index < run->events.size()) return &run->events[index];
  index -= run->events.size();
  for (const auto& rec : run->recordings) {
    if (index < rec->event_count()) {
      if (!rec->decode(index, state_->parser, &state_->event, &state_->error)) return nullptr;
      return &state_->event;
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
