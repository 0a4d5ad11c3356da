// Streamed recordings: the same run as a decoded one, refusals found
// anywhere in the text before any event is served, and memory that does
// not grow with the number of events.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "test_support.h"
#include "vexa_daq_data.h"
#include "vexa_daq_reader_2024.h"

// Live heap bytes of this program, counted by its own operator new.
namespace {
std::atomic<size_t> live_bytes{0};
constexpr size_t kHeader = 16;  // keeps the block's size; 16 keeps alignment
}  // namespace

void* operator new(size_t size) {
  void* p = std::malloc(size + kHeader);
  if (p == nullptr) throw std::bad_alloc();
  *static_cast<size_t*>(p) = size;
  live_bytes += size;
  return static_cast<char*>(p) + kHeader;
}

void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  char* block = static_cast<char*>(p) - kHeader;
  live_bytes -= *reinterpret_cast<size_t*>(block);
  std::free(block);
}

void operator delete(void* p, size_t) noexcept { operator delete(p); }

// Every other form too: a library's allocation must come back with the
// header that operator delete reads (the sanitizers bring their own).
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

namespace {

namespace fs = std::filesystem;
using daq::test::make_run;
using daq::test::read_file;

std::unique_ptr<vexa_run> stream(const std::string& text, std::string* error) {
  return vexa_open_run_text(text, "s.run.json", error);
}

// What the data-access object serves of every event: header, and per channel
// type, block, values and image bytes.
std::string served(vexa_run& run) {
  std::string out;
  vexa_daq_getdata data(&run);
  std::vector<std::string> selectors;
  for (const auto& entry : run.channels) selectors.push_back(vexa_selector(entry));
  for (size_t k = 0; data.position(k); ++k) {
    uint64_t id = 0;
    int type = 0;
    out += std::to_string(
               data.GetEventInfo_2024(&id, &type, nullptr, nullptr, nullptr, nullptr, nullptr)) +
           " " + std::to_string(id) + "|";
    for (const std::string& sel : selectors) {
      out += std::to_string(data.SetProp(sel.c_str())) + ",";
      uint64_t mpulse = 0;
      data.GetServBlockInfo_2024(nullptr, nullptr, nullptr, &mpulse, nullptr, nullptr, nullptr);
      out += std::to_string(mpulse) + "," + std::to_string(data.GetSingle(0)) + ",";
      for (int m = 0; m < data.GetNmemb(); ++m) out += std::to_string(data.GetSpectVal(m, 1)) + ",";
      int len = 0;
      if (data.GetImagePar(nullptr, nullptr, nullptr, &len) == 0) {
        unsigned char* bytes = data.GetImage();
        out.append(reinterpret_cast<char*>(bytes), static_cast<size_t>(len));
      }
      out += ";";
    }
  }
  return out;
}

TEST(StreamedRecording, ServesWhatTheDecodedRunServes) {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(EXAMPLES_DIR)) {
    if (entry.path().string().find(".run.json") == std::string::npos) continue;
    SCOPED_TRACE(entry.path());
    ++files;
    std::string text = read_file(entry.path().string());
    std::string error;
    auto streamed = stream(text, &error);
    ASSERT_NE(streamed, nullptr) << error;
    auto decoded = make_run(text);
    EXPECT_TRUE(decoded->recordings.empty());
    EXPECT_TRUE(streamed->events.empty());
    EXPECT_EQ(streamed->event_count(), decoded->events.size());
    EXPECT_EQ(served(*streamed), served(*decoded));
  }
  EXPECT_GE(files, 3);
}

// Several recordings form one run: events in order, counts added up.
TEST(StreamedRecording, SeveralFilesFormOneRun) {
  std::string error;
  auto run = stream(R"({"generation": 2024, "channels": [{"name": "A"}], "empty_events": 1,
      "events": [{"id": 1, "channels": {"A": {"type": 2, "single": 1}}}]})",
                    &error);
  auto more = stream(R"({"generation": 2024, "channels": [], "empty_events": 2, "events": [
      {"id": 2, "channels": {"A": {"type": 2, "single": 2}}},
      {"id": 3, "channels": {"A": {"type": 4, "image": {"data": "0aff", "len": 3}}}}]})",
                     &error);
  auto other = stream(R"({"generation": 2010, "channels": [], "events": []})", &error);
  ASSERT_TRUE(run && more && other) << error;
  ASSERT_TRUE(vexa_append_run(*run, std::move(*more), "more", &error));
  EXPECT_FALSE(vexa_append_run(*run, std::move(*other), "other", &error));
  EXPECT_EQ(error, "other: generation: 2010 differs from the first recording's 2024");
  // A decoded run cannot follow a streamed one: the order would be lost.
  EXPECT_FALSE(vexa_append_run(*run, std::move(*make_run(R"({"generation": 2024,
      "channels": [], "events": [{"id": 9}]})")),
                               "decoded", &error));
  vexa_daq_reader_2024 reader(run.get());
  EXPECT_EQ(reader.get_number_of_events(), 3);
  EXPECT_EQ(reader.get_number_of_empty_events(), 3);
  vexa_daq_getdata data(run.get());
  std::vector<uint64_t> ids;
  for (size_t k = 0; data.position(k); ++k) {
    uint64_t id = 0;
    data.GetEventInfo_2024(&id, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    ids.push_back(id);
  }
  EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2, 3}));
  ASSERT_TRUE(data.position(1));
  data.SetProp("A");
  EXPECT_EQ(data.GetSingle(0), 2.0f);
  ASSERT_TRUE(data.position(2));
  ASSERT_EQ(data.SetProp("A"), 4);
  unsigned char* bytes = data.GetImage();
  EXPECT_EQ(bytes[0], 0x0a);
  EXPECT_EQ(bytes[1], 0xff);
  EXPECT_EQ(bytes[2], 0);  // padded up to len
  EXPECT_FALSE(data.position(3));
}

// A recording of `events` events, each with a small image and a spectrum.
std::string many_events(int events) {
  std::string text =
      R"({"generation": 2024, "channels": [{"name": "C"}, {"name": "S"}], "events": [)";
  for (int k = 0; k < events; ++k) {
    text += std::string(k == 0 ? "" : ",") + R"({"id": )" + std::to_string(k) +
            R"(, "channels": {"C": {"type": 4, "image": {"bpp": 1, "nx": 64, "ny": 4, "data": ")" +
            std::string(512, k % 2 == 0 ? 'a' : '5') +
            R"("}}, "S": {"type": 3, "members": [{"values": [1, 2, 3, 4, 5, 6, 7, 8]}]}}})";
  }
  return text + "]}";
}

// Errors at the start, in the middle and at the last byte of the text are
// all found before any event is served, with the place they are at.
TEST(StreamedRecording, RefusesErrorsAnywhereInTheText) {
  const std::string good = many_events(200);
  const size_t middle = good.find(R"({"id": 100,)");
  ASSERT_NE(middle, std::string::npos);
  std::string bad_hex = good;
  bad_hex[good.find("aaaa", middle)] = 'g';
  std::string bad_id = good;
  bad_id.replace(middle + 7, 3, "1.5");
  struct Case {
    std::string text, error;
  } cases[] = {
      {"x" + good.substr(1), "s.run.json: line 1, column 1: syntax error"},
      {good.substr(0, good.size() - 1),
       "s.run.json: line 1, column " + std::to_string(good.size()) + ": syntax error"},
      {good + "]",
       "s.run.json: line 1, column " + std::to_string(good.size() + 1) + ": syntax error"},
      {bad_hex, "s.run.json: event 100.channels.C.image.data: bad hex digit at offset 0"},
      {bad_id, "s.run.json: event 100.id: expected an integer, found a number"},
      {"",
       "s.run.json: line 1, column 1: syntax error while parsing value - unexpected end of "
       "input; expected '[', '{', or a literal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    std::string streamed_error, decoded_error;
    EXPECT_EQ(stream(c.text, &streamed_error), nullptr);
    EXPECT_EQ(vexa_parse_run(c.text, "s.run.json", &decoded_error), nullptr);
    EXPECT_EQ(streamed_error.substr(0, c.error.size()), c.error) << streamed_error;
    EXPECT_EQ(decoded_error, streamed_error);
  }
}

// Text that is not JSON is reported as such even after a refusal that comes
// earlier in the text; keys the format does not name must still be JSON.
TEST(StreamedRecording, SyntaxErrorsComeFirst) {
  std::string error;
  EXPECT_EQ(stream(R"({"generation": 2024, "channels": [], "events": [{"id": "x"}, {"id": 1,}]})",
                   &error),
            nullptr);
  EXPECT_EQ(error.find("s.run.json: line 1, column 71: syntax error"), 0u) << error;
  EXPECT_EQ(stream(R"({"generation": 2024, "channels": [], "events": [], "x": [1 2]})", &error),
            nullptr);
  EXPECT_EQ(error.find("s.run.json: line 1, column 60: syntax error"), 0u) << error;
  // Of a key given twice the last counts.
  auto run = stream(R"({"generation": 2010, "generation": 2024, "channels": [],
      "events": [{"id": 1, "id": 5000000000}], "events": []})",
                    &error);
  ASSERT_NE(run, nullptr) << error;
  EXPECT_EQ(run->generation, 2024);
  EXPECT_EQ(run->event_count(), 0u);
  // ... and the first must be JSON too.
  for (const char* text : {R"({"generation": tru, "generation": 2024, "channels": []})",
                           R"({"generation": 2024, "channels": [], "events": [{"id": 1e}],
                              "events": []})"}) {
    EXPECT_EQ(stream(text, &error), nullptr) << text;
    EXPECT_NE(error.find("s.run.json: line "), std::string::npos) << error;
    EXPECT_EQ(vexa_parse_run(text, "s.run.json", &error), nullptr) << text;
  }
}

// A byte-order mark before the document is no error; anywhere else it is.
TEST(StreamedRecording, AcceptsAByteOrderMarkFirst) {
  const std::string doc = R"({"generation": 2024, "channels": [], "events": [{"id": 3}]})";
  std::string error;
  auto run = stream("\xef\xbb\xbf" + doc, &error);
  ASSERT_NE(run, nullptr) << error;
  EXPECT_EQ(run->event_count(), 1u);
  EXPECT_NE(make_run("\xef\xbb\xbf" + doc), nullptr);
  EXPECT_EQ(stream(" \xef\xbb\xbf" + doc, &error), nullptr);
  EXPECT_EQ(error.find("s.run.json: line 1, column 2: syntax error"), 0u) << error;
}

// Peak live heap bytes while every event of a streamed run is walked, beyond
// what the open run holds.
size_t walk_peak(vexa_run& run) {
  vexa_daq_getdata data(&run);
  const size_t before = live_bytes;
  size_t peak = before;
  for (size_t k = 0; data.position(k); ++k) {
    if (data.SetProp("C") == 4) data.GetImage();
    peak = std::max<size_t>(peak, live_bytes);
  }
  return peak - before;
}

// Ten times the events: the walk needs no more memory, and the open run
// holds its text and a few bytes per event.
TEST(StreamedRecording, MemoryStaysFlatInTheNumberOfEvents) {
  std::string error;
  const std::string small_text = many_events(300);
  const std::string large_text = many_events(3000);
  size_t base = live_bytes;
  auto small = stream(small_text, &error);
  const size_t small_held = live_bytes - base;
  base = live_bytes;
  auto large = stream(large_text, &error);
  const size_t large_held = live_bytes - base;
  ASSERT_TRUE(small && large) << error;
  EXPECT_LT(small_held, small_text.size() + 300 * 32 + 64 * 1024);
  EXPECT_LT(large_held, large_text.size() + 3000 * 32 + 64 * 1024);
  const size_t small_walk = walk_peak(*small);
  const size_t large_walk = walk_peak(*large);
  EXPECT_LT(large_walk, small_walk + 4096) << small_walk << " " << large_walk;
  // A decoded run holds every event: what streaming saves.
  base = live_bytes;
  auto decoded = make_run(large_text);
  EXPECT_GT(live_bytes - base, large_held + 3000 * 256);
}

}  // namespace
