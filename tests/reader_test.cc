// Runs the built daq-reader as a user does and checks its exit status,
// streams and output files.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using daq::test::Outcome;

class ReaderTest : public daq::test::ScratchDirTest {
 protected:
  // Runs daq-reader with `args` in the scratch directory.
  Outcome reader(const std::string& args) { return run_here("'" READER_PATH "' " + args); }

  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
    return (dir_ / name).string();
  }
};

TEST_F(ReaderTest, WritesTableOfBundledRecording) {
  Outcome o = reader(EXAMPLES_DIR "/basic-2010.run.json -- -evstat");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("CHANNELS: 4\n"), std::string::npos);
  std::string table = file("user_out.txt");
  EXPECT_EQ(table.substr(0, table.find('\n')),
            "EventId\tTime\t\t\tTRIG.MARK\tBPM.Y\tCHARGE:0\tSPECTRO");
  EXPECT_EQ(file("user_evids.txt"),
            "Chan:TRIG.MARK\t7001,7002\nChan:BPM.Y\t7001,7002\nChan:CHARGE\t7001,7002\n"
            "Chan:SPECTRO\t7001\n");
}

TEST_F(ReaderTest, RefusesBadJsonWithStatusTwo) {
  std::string path = write("bad.run.json", "{\"generation\": 2024,\n \"channels\": [}");
  Outcome o = reader("'" + path + "'");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.out, "");
  EXPECT_NE(o.err.find("bad.run.json: line 2"), std::string::npos) << o.err;
}

// The table's lines, without their line ends.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The reader's own lines of standard error, without the plug-in's.
std::vector<std::string> reader_lines(const std::string& err) {
  std::vector<std::string> own;
  for (const std::string& line : lines(err)) {
    if (!line.starts_with("libDAQUser: ")) own.push_back(line);
  }
  return own;
}

TEST_F(ReaderTest, RunsBothGenerationsEndToEnd) {
  Outcome o = reader(EXAMPLES_DIR "/mixed-2024.run.json");
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<std::string> table = lines(file("user_out.txt"));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0], "EventId\tTime\t\t\tTRIG.MARK\tBPM.X\tMAGNETS\tTOROID\tADC:2\tGONE");
  // Time of the fast channel's block; GONE is absent from every event.
  EXPECT_TRUE(table[1].starts_with(
      "[normal]5000000001\t\t1733632724:517301\t2024-12-08T04:38:44Z\t1\t\t0.125000"))
      << table[1];
  EXPECT_TRUE(table[2].starts_with("[calibration]5000000002\t\t1733632724:617302\t")) << table[2];
  EXPECT_EQ(table[2].substr(table[2].size() - 10), "\tNot found");
  EXPECT_NE(o.out.find("READER FINISHED statistics: events: 2  empty_events:0\n"),
            std::string::npos);
  // Not a terminal: no progress line, only the summary, after the plug-in's.
  ASSERT_EQ(reader_lines(o.err).size(), 1u) << o.err;
  EXPECT_EQ(reader_lines(o.err)[0].rfind("daq-reader: 2 events, 0 failed, ", 0), 0u) << o.err;
  EXPECT_EQ(lines(o.err).back(), reader_lines(o.err)[0]);
  EXPECT_EQ(o.err.find('\r'), std::string::npos);

  o = reader("--outmode 1 " EXAMPLES_DIR "/basic-2010.run.json -- -hdf5");
  ASSERT_EQ(o.status, 0) << o.err;
  table = lines(file("user_out.txt"));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_TRUE(table[1].starts_with("100,1733632724:100002,2024-12-08T04:38:44Z,0x0,0x0,0x0,"))
      << table[1];
  EXPECT_TRUE(table[2].starts_with("101,1733632724:200000,2024-12-08T04:38:44Z,0x0,0x0,0x0,"))
      << table[2];
}

// A refused recording gets one line naming file, place and reason; a usage
// error its reason and the usage text.
TEST_F(ReaderTest, RefusesBrokenRecordingsAndUsageErrors) {
  std::string wrong_type = write("type.run.json", R"({"generation": 2010, "channels": [],
    "events": [{"id": 1, "type": 1, "sec": "noon", "usec": 0, "status": 0, "channels": {}}]})");
  std::string generation =
      write("gen.run.json", R"({"generation": 2015, "channels": [], "events": []})");
  const std::string example = " " EXAMPLES_DIR "/mixed-2024.run.json ";
  struct Case {
    std::string args, needle;
  } cases[] = {
      {wrong_type, "type.run.json: event 0.sec"},
      {generation, "gen.run.json"},
      {"", "no recording"},
      {"'" + dir_.string() + "'", dir_.string() + ": Is a directory"},
      {"--channels BPM.X,NOPE" + example, "NOPE"},
      {"--nbunch x" + example, "--nbunch"},
      {example + "--nbunch", "--nbunch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    Outcome o = reader(c.args);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(!c.args.ends_with(".run.json") || lines(o.err).size() == 1) << o.err;
    EXPECT_NE(o.err.find(c.needle), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(dir_ / "user_out.txt"));
  }
}

TEST_F(ReaderTest, SelectsAndOrdersChannels) {
  Outcome o =
      reader("--quiet --nbunch -1 --channels GONE,TRIG.MARK " EXAMPLES_DIR "/mixed-2024.run.json");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("[0] \t GONE\n[1] \t TRIG.MARK\n"), std::string::npos) << o.out;
  std::vector<std::string> table = lines(file("user_out.txt"));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0], "EventId\tTime\t\t\tGONE\tTRIG.MARK");
  EXPECT_EQ(table[1].substr(table[1].find("Z\t")), "Z\tNot found\t1\t");
}

TEST_F(ReaderTest, ExitStatusTellsWhichHookFailed) {
  Outcome o = reader(EXAMPLES_DIR "/basic-2010.run.json -- -out /nonexistent/dir/x");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("-5"), std::string::npos) << o.err;
  EXPECT_EQ(o.out.find("READER FINISHED"), std::string::npos);  // no other hook ran

  o = reader(
      write("fails.run.json", R"({"generation": 2010, "channels": [{"name": "A"}], "events": [
    {"id": 1, "type": 1, "sec": 0, "usec": 0, "status": 0, "header_fails": true, "channels": {}},
    {"id": 2, "type": 1, "sec": 0, "usec": 0, "status": 0, "channels": {"A": {"type": 1}}}]})"));
  EXPECT_EQ(o.status, 3);
  EXPECT_NE(o.out.find("vexa_user_loop(): failed to get event info\n"), std::string::npos);
  EXPECT_NE(o.err.find("2 events, 1 failed"), std::string::npos) << o.err;
  EXPECT_EQ(lines(file("user_out.txt")).size(), 2u);
}

// Outputs that fail end the run with status 3, whatever else went well.
TEST_F(ReaderTest, FailedOutputsEndWithStatusThree) {
  const std::string kRun = EXAMPLES_DIR "/sim-2024.run.json";
  fs::create_symlink("/dev/full", dir_ / "user_evids.txt");
  Outcome o = reader("--quiet " + kRun + " -- -evstat");
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_NE(o.err.find("libDAQUser: cannot write the event-ID file ./user_evids.txt: No space "
                       "left on device\n"),
            std::string::npos)
      << o.err;
  fs::remove(dir_ / "user_evids.txt");
  // A table on a full disk is named once, however many rows fail.
  o = reader("--quiet " + kRun + " -- -out /dev/full");
  EXPECT_EQ(o.status, 3) << o.err;
  const std::string full =
      "libDAQUser: cannot write the table file /dev/full: No space left on device\n";
  EXPECT_NE(o.err.find(full), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find(full), o.err.rfind(full));
  o = reader("--quiet " + kRun + " -- -imdump nosuchdir");
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_EQ(o.out.find("Failed to dump image") == std::string::npos, false);

  // Standard output on a full disk.
  int rc = std::system(
      ("cd '" + dir_.string() + "' && '" READER_PATH "' --quiet " + kRun + " >/dev/full 2>err.txt")
          .c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 3);
  EXPECT_NE(file("err.txt").find("daq-reader: cannot write standard output: No space left"),
            std::string::npos)
      << file("err.txt");
}

// A recording of `events` events whose channel is bad in every one, so that
// each event prints a line.
std::string noisy_run(int events) {
  std::string text = R"({"generation": 2024, "channels": [{"name": "A"}], "events": [)";
  for (int k = 0; k < events; ++k) {
    text += std::string(k == 0 ? "" : ",") + R"({"id": )" + std::to_string(k + 1) +
            R"(, "type": 1, "sec": 1, "usec": 0, "status": 0, "channels": {"A": {"type": 2,
            "block": {"mpulse": )" +
            std::to_string(k + 1) + R"(}, "header": {"status": 3}, "single": 1.5}}})";
  }
  return text + "]}";
}

// A reader whose standard output goes to a pipe closed after ten bytes
// still writes every data file whole, and says once that output failed.
TEST_F(ReaderTest, ClosedPipeLosesNoDataFile) {
  std::string run = write("noisy.run.json", noisy_run(3000));
  Outcome o = run_here("sh -c \"'" READER_PATH "' --quiet '" + run +
                       "' -- -evstat 2>err.txt; echo \\$? >rc.txt\" | head -c 10");
  EXPECT_EQ(file("rc.txt"), "3\n");
  EXPECT_EQ(lines(file("user_out.txt")).size(), 3001u);
  std::string ids = file("user_evids.txt");
  EXPECT_TRUE(ids.starts_with("Chan:A\t1,2,3,")) << ids.substr(0, 40);
  EXPECT_TRUE(ids.ends_with(",2999,3000\n"));
  std::vector<std::string> err = reader_lines(file("err.txt"));
  ASSERT_EQ(err.size(), 2u) << file("err.txt");
  EXPECT_EQ(err[0], "daq-reader: cannot write standard output: Broken pipe");
}

// SIGINT and SIGTERM end the run after the event in hand, with its end
// hook.  The reader's standard output is a pipe of one page that the test
// stops reading, so the run cannot finish before the signal arrives.
TEST_F(ReaderTest, InterruptEndsWithWholeFiles) {
  std::string run = write("noisy.run.json", noisy_run(3000));
  for (int signo : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signo);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    fcntl(out[0], F_SETPIPE_SZ, 4096);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      if (chdir(dir_.c_str()) != 0 || !std::freopen("err.txt", "w", stderr)) _exit(9);
      execl(READER_PATH, READER_PATH, "--quiet", run.c_str(), "--", "-evstat", (char*)nullptr);
      _exit(9);
    }
    close(out[1]);
    char buffer[4096];
    ASSERT_GT(read(out[0], buffer, 1), 0);  // the first event is done
    kill(pid, signo);
    std::string printed;
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) printed.append(buffer, n);
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + signo);
    std::vector<std::string> err = reader_lines(file("err.txt"));
    ASSERT_EQ(err.size(), 1u) << file("err.txt");
    size_t events = 0;
    ASSERT_EQ(std::sscanf(err[0].c_str(), "daq-reader: interrupted after %zu events", &events), 1)
        << err[0];
    EXPECT_GE(events, 1u);
    EXPECT_LT(events, 3000u);
    // The plug-in's summary counts the events done, before the reader's line.
    const std::string n = std::to_string(events);
    EXPECT_EQ(lines(file("err.txt"))[0],
              "libDAQUser: " + n + " bad channel readout" + (events == 1 ? "" : "s") +
                  " without image parameters (\"No image parameters availanle\"): A " + n +
                  " (first event 1)");
    std::vector<std::string> table = lines(file("user_out.txt"));
    ASSERT_EQ(table.size(), events + 1);
    EXPECT_TRUE(table.back().ends_with("\t1.500000\t")) << table.back();
    std::string ids = file("user_evids.txt");
    std::string last = (events == 1 ? "\t" : ",") + std::to_string(events) + "\n";
    EXPECT_TRUE(ids.starts_with("Chan:A\t1") && ids.ends_with(last)) << ids;
    EXPECT_NE(printed.find("READER FINISHED statistics"), std::string::npos);
  }
}

// An image the memory cannot hold ends the run like an unreadable event:
// the end hook writes its files, one line says why, exit status 2. The
// sanitizers reserve address space of their own, so they skip it.
TEST_F(ReaderTest, ImageBeyondMemoryEndsTheRunWithStatusTwo) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
#else
  write("big.run.json", R"({"generation": 2024, "channels": [{"name": "C"}], "events": [
      {"id": 1, "channels": {"C": {"type": 4, "image": {"bpp": 1, "nx": 2, "ny": 1, "data": "0102"}}}},
      {"id": 2, "channels": {"C": {"type": 4, "image": {"bpp": 1, "nx": 16384, "ny": 16384,
                                                         "len": 268435456, "data": "07"}}}},
      {"id": 3, "channels": {}}]})");
  Outcome r = run_here("ulimit -v 150000 && '" READER_PATH "' --quiet big.run.json -- -evstat");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("daq-reader: event 1: out of memory reading an image"), std::string::npos)
      << r.err;
  EXPECT_EQ(lines(file("user_out.txt")).size(), 3u);
  EXPECT_TRUE(file("user_evids.txt").starts_with("Chan:C\t")) << file("user_evids.txt");
  EXPECT_NE(r.out.find("READER FINISHED statistics"), std::string::npos);
#endif
}

// The plug-in loads its HDF5 writer from its own directory: a plug-in
// installed without it refuses -h5 at the start, naming the file and the
// loader's reason, and runs as before without -h5.
TEST_F(ReaderTest, HdfWriterLibraryMissing) {
  fs::path alone = dir_ / "alone";
  fs::create_directory(alone);
  fs::copy_file(fs::path(READER_PATH).parent_path() / "libDAQUser.so", alone / "libDAQUser.so");
  const std::string plugin = " --plugin '" + (alone / "libDAQUser.so").string() + "' ";
  Outcome o = reader("--quiet" + plugin + EXAMPLES_DIR "/mixed-2024.run.json -- -h5 run.h5");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("vexa_user_init(): cannot load the HDF5 writer " + alone.string() +
                       "/libDAQUserH5.so: "),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.err.find("the start hook returned -5"), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(dir_ / "run.h5"));
  o = reader("--quiet" + plugin + EXAMPLES_DIR "/mixed-2024.run.json");
  EXPECT_EQ(o.status, 0) << o.err;
}

}  // namespace
