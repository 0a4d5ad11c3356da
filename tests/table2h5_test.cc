// daq-table2h5 end to end: recordings of every cell kind go through the built
// daq-reader in HDF5 conversion mode and the converter, and the HDF5 file is
// read back; malformed tables; missing-data reports; memory of a long run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hdf5.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "table2h5/table_reader.h"

namespace {

namespace fs = std::filesystem;
using table2h5::Kind;
const double kNaN = std::nan("");

// Two 2010 events over the 32-bit event-ID sign bit: a 16-bit image with its
// frame header, then none; a structured-data channel; float-to-int values.
const char* kImageRun = R"({"generation": 2010,
 "channels": [{"name": "CAM"}, {"name": "EQ"}, {"name": "V"}, {"name": "S"}],
 "events": [
  {"id": 3000000000, "type": 1, "sec": 10, "usec": 5, "status": 0, "channels": {
    "CAM": {"type": 4, "image": {"bpp": 2, "nx": 2, "ny": 2, "data": "01020304050607ff",
            "frame_head": [2,2,0,0,0,0,2,16,1,1,0,0,1,7,1,1,0,0,0,0,0,0,0,0,8]}},
    "EQ": {"type": 5}, "V": {"type": 2, "single": "0x0000002a"},
    "S": {"type": 3, "members": [{"values": [1, 2]}]}}},
  {"id": 3000000001, "type": 1, "sec": 11, "usec": 6, "status": 0, "channels": {
    "CAM": {"type": 4}, "EQ": {"type": 5, "convertible": false},
    "V": {"type": 2, "single": "0xffffffff"}, "S": {"type": 3, "members": [{"values": [-7]}]}}}]})";

// -fti name-value pairs, and a -fti spectrum whose first cell the text can
// show only as "Invalid" (the bits of an infinity).
const char* kFtiRun = R"({"generation": 2024, "channels": [{"name": "P"}, {"name": "S"}],
 "events": [
  {"id": 1, "channels": {"P": {"type": 2, "pairs": [["x", "0x0000002a"], ["y", "0x00000007"]]},
    "S": {"type": 3, "members": [{"values": ["0x7f800000", "0x00000003"]}]}}},
  {"id": 2, "channels": {"P": {"type": 2, "pairs": [["x", "0x0000002b"]]},
    "S": {"type": 3, "members": [{"values": ["0x00000004", "0x00000005"]}]}}}]})";

// Sub-channels of one name: the description's parameters are named without
// the number, so each column must find its own set.
const char* kSubRun = R"({"generation": 2024,
 "channels": [{"name": "X", "sub": 1}, {"name": "X", "sub": 2}, {"name": "X", "sub": 3}],
 "events": [
  {"id": 1, "channels": {"X:1": {"type": 5}, "X:2": {"type": 3, "members": [{"values": [1, 2]}]},
    "X:3": {"type": 4, "image": {"bpp": 1, "nx": 2, "ny": 1, "data": "0102"}}}}]})";

// Pairs without names, ragged spectra, an 8-bit image without description,
// and a server block that fails in event 2, so its row runs into event 3's.
const char* kRaggedRun = R"({"generation": 2024,
 "channels": [{"name": "P"}, {"name": "R"}, {"name": "I"}, {"name": "B"}],
 "events": [
  {"id": 1, "sec": 1, "channels": {"P": {"type": 2, "pairs": [["a", 1], ["b", 2]]},
    "R": {"type": 3, "members": [{"values": [1, 2, 3]}]},
    "I": {"type": 4, "image": {"bpp": 1, "nx": 2, "ny": 1, "data": "c805"}},
    "B": {"type": 2, "single": 1.5}}},
  {"id": 2, "sec": 2, "channels": {"P": {"type": 2, "pairs": [["a", 3]]},
    "R": {"type": 3, "members": [{"values": [4]}]}, "I": {"type": 4},
    "B": {"type": 2, "single": 2, "block": {"fails": true}}}},
  {"id": 3, "sec": 3, "channels": {"P": {"type": 2, "pairs": []},
    "R": {"type": 3, "members": []}, "I": {"type": 4}, "B": {"type": 2, "single": 3}}}]})";

int run(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Reads what `what` names: "path" a dataset, "path#Field" a compound member,
// "path@attr" an attribute, "path$dims" a dataset's dimensions, "path$chunks"
// its chunk's; nothing for what does not exist. Numbers come
// back as doubles, fixed-length strings as text.
struct Read {
  std::vector<double> numbers;
  std::vector<std::string> strings;
};

Read read_h5(hid_t file, const std::string& what) {
  Read r;
  size_t cut = what.find_first_of("@$");
  std::string path = what.substr(0, cut);
  char sep = cut == std::string::npos ? 0 : what[cut];
  std::string rest = cut == std::string::npos ? "" : what.substr(cut + 1);
  hid_t obj = sep == '@' ? H5Oopen(file, path.c_str(), H5P_DEFAULT)
                         : H5Dopen2(file, path.c_str(), H5P_DEFAULT);
  if (obj < 0) return r;
  hid_t src = sep == '@' ? H5Aopen(obj, rest.c_str(), H5P_DEFAULT) : obj;
  hid_t space = sep == '@' ? H5Aget_space(src) : H5Dget_space(src);
  hid_t type = sep == '@' ? H5Aget_type(src) : H5Dget_type(src);
  auto n = static_cast<size_t>(H5Sget_simple_extent_npoints(space));
  if (sep == '$' && rest == "chunks") {
    hid_t dcpl = H5Dget_create_plist(src);
    std::vector<hsize_t> dims(H5Sget_simple_extent_ndims(space));
    H5Pget_chunk(dcpl, static_cast<int>(dims.size()), dims.data());
    H5Pclose(dcpl);
    for (hsize_t d : dims) r.numbers.push_back(static_cast<double>(d));
  } else if (sep == '$') {
    std::vector<hsize_t> dims(H5Sget_simple_extent_ndims(space));
    H5Sget_simple_extent_dims(space, dims.data(), nullptr);
    for (hsize_t d : dims) r.numbers.push_back(static_cast<double>(d));
  } else {
    hid_t field = type;
    if (sep == '#') field = H5Tget_member_type(type, H5Tget_member_index(type, rest.c_str()));
    bool text = H5Tget_class(field) == H5T_STRING;
    if (text && H5Tis_variable_str(field) > 0 && sep != '#') {
      std::vector<char*> p(n);
      hid_t mem = H5Tcopy(field);
      if (sep == '@') {
        H5Aread(src, mem, p.data());
      } else {
        H5Dread(src, mem, H5S_ALL, H5S_ALL, H5P_DEFAULT, p.data());
      }
      for (char* s : p) r.strings.push_back(s ? s : "");
      H5Dvlen_reclaim(mem, space, H5P_DEFAULT, p.data());
      H5Tclose(mem);
      H5Tclose(type);
      H5Sclose(space);
      if (src != obj) H5Aclose(src);
      H5Oclose(obj);
      return r;
    }
    size_t width = text ? H5Tget_size(field) : sizeof(double);
    hid_t mem = text ? H5Tcopy(field) : H5Tcopy(H5T_NATIVE_DOUBLE);
    if (sep == '#') {
      hid_t compound = H5Tcreate(H5T_COMPOUND, width);
      H5Tinsert(compound, rest.c_str(), 0, mem);
      H5Tclose(mem);
      mem = compound;
    }
    std::vector<char> buf(n * width);
    if (sep == '@') {
      H5Aread(src, mem, buf.data());
    } else {
      H5Dread(src, mem, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf.data());
    }
    for (size_t k = 0; k < n; ++k) {
      if (text) {
        std::string s(&buf[k * width], width);
        r.strings.push_back(s.substr(0, s.find('\0')));
      } else {
        double v;
        std::memcpy(&v, &buf[k * width], sizeof v);
        r.numbers.push_back(v);
      }
    }
    H5Tclose(mem);
    if (field != type) H5Tclose(field);
  }
  H5Tclose(type);
  H5Sclose(space);
  if (src != obj) H5Aclose(src);
  H5Oclose(obj);
  return r;
}

class Table2h5Test : public daq::test::ScratchDirTest {
 protected:
  // Runs daq-reader on `recording` (a JSON text, or a file name) with the
  // reader options and plug-in words; returns its exit status.
  int record(const std::string& recording, const std::string& args) {
    std::string file = recording;
    if (recording[0] == '{') {
      std::ofstream(dir_ / "run.json") << recording;
      file = (dir_ / "run.json").string();
    }
    return run("cd '" + dir_.string() + "' && '" READER_PATH "' --quiet '" + file + "' " + args +
               " >reader.txt 2>&1");
  }
  int convert(const std::string& args) {
    return run("cd '" + dir_.string() + "' && '" TABLE2H5_PATH "' " + args +
               " >convert.txt 2>convert.err");
  }
  // Files left in the run directory, besides the inputs and logs.
  std::vector<std::string> h5_files() {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir_)) {
      if (e.path().filename().string().find(".h5") != std::string::npos) {
        out.push_back(e.path().filename().string());
      }
    }
    return out;
  }
};

struct Expect {
  std::string what;
  std::vector<double> numbers;
  std::vector<std::string> strings = {};
};

void expect_h5(const fs::path& file, const std::vector<Expect>& expects) {
  hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(f, 0) << file;
  for (const Expect& e : expects) {
    Read r = read_h5(f, e.what);
    EXPECT_EQ(r.strings, e.strings) << e.what;
    ASSERT_EQ(r.numbers.size(), e.numbers.size()) << e.what;
    for (size_t k = 0; k < e.numbers.size(); ++k) {
      if (std::isnan(e.numbers[k])) {
        EXPECT_TRUE(std::isnan(r.numbers[k])) << e.what << "[" << k << "] = " << r.numbers[k];
      } else {
        EXPECT_DOUBLE_EQ(r.numbers[k], e.numbers[k]) << e.what << "[" << k << "]";
      }
    }
  }
  H5Fclose(f);
}

TEST_F(Table2h5Test, RoundTripsEveryCellKind) {
  const double N = kNaN;
  const std::string iso = "2024-12-08T04:38:44Z";
  struct Case {
    std::string recording, reader_args, convert_args;
    std::vector<Expect> expects;
  } cases[] = {
      {EXAMPLES_DIR "/mixed-2024.run.json",
       "--outmode 1 -- -hdf5 -xdump",
       "--xml user_descr.xml -o out.h5 user_out.txt",
       {{"run/EventId", {5000000001, 5000000002}},
        {"run/TimeSec", {1733632724, 1733632724}},
        {"run/TimeUsec", {517301, 617302}},
        {"run/TimeISO", {}, {iso, iso}},
        {"run/Time", {1733632724517301.0, 1733632724617302.0}},
        {"run/Time@units", {}, {"microseconds since 1970-01-01 00:00:00"}},
        {"run/EvHeadStatus", {0, 0}},
        {"run/TRIG.MARK/Missing", {0, 0}},
        {"run/BPM.X/Value", {0.125, -1.5}},
        {"run/BPM.X/SrvBlockStatus", {0, 4}},
        {"run/BPM.X/ChanStatus", {0, 2}},
        {"run/BPM.X@gain", {1.5}},
        {"run/MAGNETS/Q1", {12.5, N}},
        {"run/MAGNETS/Q2", {-3.25, N}},
        {"run/MAGNETS/D1", {4.2e-4, N}},
        {"run/MAGNETS@pair_names", {}, {"Q1", "Q2", "D1"}},
        {"run/MAGNETS@kind", {}, {"pairs"}},
        {"run/TOROID@kind_source", {}, {"xml"}},
        {"run/MAGNETS/Length", {3, 0}},
        {"run/MAGNETS/Missing", {0, 2}},
        {"run/TOROID/Member0", {1, 2, 3, 4, N, N, N, N}},
        {"run/TOROID/Member0Length", {4, -2}},
        {"run/TOROID/Member1", {10, N, -0.5, 10, N, N, N, N}},
        {"run/TOROID/Member1Length", {4, 0}},
        {"run/TOROID/Member1@inc", {0.5}},
        {"run/TOROID@values_invalid", {1}},
        {"run/ADC:2/Member0", {0, 0, 0, 0, 1e-30, 2}},
        {"run/GONE/Missing", {2, 2}},
        {"run@plugin_options", {}, {"-hdf5 -xdump user_descr.xml"}}}},
      {kImageRun,
       "-- -hdf5 -xdump -fti V:S",
       "--xml user_descr.xml -o out.h5 user_out.txt",
       {{"run/EventId", {3000000000, 3000000001}},
        {"run/CAM/Pixels", {258, 772, 1286, 2047, 0, 0, 0, 0}},
        {"run/CAM/Pixels$dims", {2, 2, 2}},
        {"run/CAM/Pixels@event", {7}},
        {"run/CAM/Length", {4, 0}},
        {"run/CAM/Missing", {0, 2}},
        {"run/CAM@cells_no_image", {1}},
        {"run/EQ/Missing", {0, 0}},
        {"run/EQ@kind", {}, {"structured"}},
        {"run/V/Value", {42, -1}},
        {"run/S/Member0", {1065353216, 1073741824, -1059061760, -2147483648}},
        {"run@plugin_options", {}, {"-hdf5 -fti V;S -xdump user_descr.xml"}}}},
      {kFtiRun,
       "-- -hdf5 -xdump -fti 'P;S'",
       "--xml user_descr.xml -o out.h5 user_out.txt",
       {{"run/P/x", {42, 43}},
        {"run/P/y", {7, -2147483648.0}},
        {"run/S/Missing", {4, 0}},
        {"run/S@cells_other_kind", {1}},
        {"run/S/Member0", {-2147483648.0, -2147483648.0, 4, 5}},
        {"run@plugin_options", {}, {"-hdf5 -fti P;S -xdump user_descr.xml"}}}},
      {kSubRun,
       "-- -hdf5 -xdump",
       "--xml user_descr.xml -o out.h5 user_out.txt",
       {{"run/X:1@kind", {}, {"structured"}},
        {"run/X:2@kind", {}, {"spectrum"}},
        {"run/X:2@kind_source", {}, {"xml"}},
        {"run/X:3@kind", {}, {"image"}},
        {"run/X:3@kind_source", {}, {"xml"}},
        {"run/X:3/Pixels", {1, 2}}}},
      {kRaggedRun,
       "-- -hdf5 -nonvn",
       "--fill -1 user_out.txt",
       {{"run/EventId", {1, 2, 3}},
        {"run/P/#0", {1, 3, -1}},
        {"run/P/#1", {2, -1, -1}},
        {"run/P/Length", {2, 1, 0}},
        {"run/R/Member0", {1, 2, 3, 4, -1, -1, -1, -1, -1}},
        {"run/R/Member0Length", {3, 1, -1}},
        {"run/I/Pixels", {200, 5, 0, 0, 0, 0}},
        {"run/I/Pixels$dims", {3, 1, 2}},
        {"run/I/Missing", {0, 2, 2}},
        {"run/B/Value", {1.5, -1, 3}},
        {"run/B/Missing", {0, 3, 0}},
        {"run@rows_with_wrong_cell_count", {1}},
        {"run@plugin_options", {}, {"-hdf5 -nonvn"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recording.substr(0, 60));
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    int reader = record(c.recording, c.reader_args);
    ASSERT_TRUE(reader == 0 || reader == 3) << slurp(dir_ / "reader.txt");
    ASSERT_EQ(convert(c.convert_args), 0) << slurp(dir_ / "convert.err");
    fs::path out =
        dir_ / (c.convert_args.find("-o out.h5") != std::string::npos ? "out.h5" : "user_out.h5");
    expect_h5(out, c.expects);
    EXPECT_EQ(h5_files().size(), 1u);
  }
}

TEST_F(Table2h5Test, MalformedTableNamesLineAndColumnAndLeavesNoFile) {
  const std::string head = "EventId,Time,TimeISO,A\n1,1:0,x,[[1.000000]]\n";
  struct Case {
    std::string table;
    std::string where;
  } cases[] = {
      {head + "2,1:0,x,[[1.0\n", "line 3, column 9: unclosed '['"},
      {head + "2,1:0,x,[[1.0]]]\n", "line 3, column 16: unmatched ']'"},
      {head + "2,1:0,x,[[1.0x]]\n", "line 3, column 11: not a number"},
      {head + "2,1:0,x,[[1.0] 7]\n", "line 3, column 16: unexpected \"7\" in a cell"},
      {head + "2,1-0,x,[]\n", "line 3, column 3: bad time"},
      {head + "two,1:0,x,[]\n", "line 3, column 1: bad event ID"},
      {head + "\n", "line 3, column 1: empty line"},
      {"EventId,Time,TimeISO,EvHeadStatus,SrvBlockStatus,ChanStatus,A\n1,1:0,x,0x0,0xZ,0x0,[]\n",
       "line 2, column 13: bad status word"},
      {"EventId\tTime\t\t\tA\n[normal]1\t\t1:0\tx\t1\t\n", "line 1, column 8: a tab-mode table"},
      {"EventId,Time,A\n", "line 1, column 14: expected the column \"TimeISO\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    std::ofstream(dir_ / "t.txt", std::ios::binary) << c.table;
    EXPECT_EQ(convert("t.txt"), 2);
    EXPECT_NE(slurp(dir_ / "convert.err").find(c.where), std::string::npos)
        << slurp(dir_ / "convert.err");
    EXPECT_TRUE(h5_files().empty());
  }
  // A file that cannot be created is an error too, and leaves nothing.
  std::ofstream(dir_ / "t.txt") << head;
  EXPECT_EQ(convert("-o no/such/dir/t.h5 t.txt"), 2);
  EXPECT_TRUE(h5_files().empty());
}

TEST_F(Table2h5Test, CheckReportsMissingDataWithoutWriting) {
  ASSERT_EQ(record(kRaggedRun, "-- -hdf5 -nonvn"), 3);
  EXPECT_EQ(convert("--check user_out.txt"), 1);
  std::string report = slurp(dir_ / "convert.txt");
  EXPECT_NE(report.find("line 3: event 2: wrong cell count"), std::string::npos) << report;
  EXPECT_NE(report.find("3 events, 4 channels, 1 rows with a wrong cell count, 0 non-increasing"),
            std::string::npos);
  // channel kind present empty not-found no-image invalid cut-short other-kind
  EXPECT_NE(report.find("I                        image            1       0         0"
                        "        2       0         0          0"),
            std::string::npos)
      << report;
  EXPECT_TRUE(h5_files().empty());

  // A row cut short without a line end runs into the next event's row.
  std::ofstream(dir_ / "ids.txt") << "EventId,Time,TimeISO,A\n5,1:0,x,6,1:0,x,1\t\n"
                                     "4,1:0,x,[[2.000000]]\n";
  EXPECT_EQ(convert("--check ids.txt"), 1);
  report = slurp(dir_ / "convert.txt");
  EXPECT_NE(report.find("line 3: event ID 4 does not follow 6"), std::string::npos) << report;
  EXPECT_NE(report.find("3 events, 1 channels, 1 rows with a wrong cell count, 1 non-increasing"),
            std::string::npos);
  EXPECT_NE(report.find("A                        scalar           1       0         0"
                        "        0       0         1          1"),
            std::string::npos)
      << report;
}

// The cell writer behind a column, told from its cells alone or with the
// description's hint, for the cells whose texts several writers share.
TEST(Table2h5KindTest, InfersTheCellWriter) {
  struct Case {
    std::vector<const char*> cells;
    Kind hint;
    Kind kind;
  } cases[] = {
      {{"1\t", "[]"}, Kind::kEmpty, Kind::kMark},
      {{"", "[]"}, Kind::kEmpty, Kind::kStructured},
      {{"[]", "[]"}, Kind::kEmpty, Kind::kEmpty},
      {{"", "[]"}, Kind::kImage, Kind::kImage},  // a colour camera
      {{"[[2.500000]]", "[[nan]]"}, Kind::kEmpty, Kind::kScalar},
      {{"[[-inf]]"}, Kind::kEmpty, Kind::kScalar},
      {{"[[42]]", "[[7]]"}, Kind::kEmpty, Kind::kScalarInt},
      {{"[[a:1.00e+00][b:2]]"}, Kind::kEmpty, Kind::kPairs},
      {{"[[1.00e+00][2.00e+00]]"}, Kind::kEmpty, Kind::kPairs},
      {{"[[1e+00][2e+00]]"}, Kind::kEmpty, Kind::kSpectrum},
      {{"[[], [1]:7.000000e+00  []]"}, Kind::kEmpty, Kind::kSpectrum},
      {{"[[ [0]:5.000000e-01 7 8]]"}, Kind::kEmpty, Kind::kSpectrum},
      {{"[[7 -1]]"}, Kind::kEmpty, Kind::kSpectrum},
      {{"[[7 65536]]"}, Kind::kEmpty, Kind::kSpectrum},
      {{"[[7][8]]"}, Kind::kEmpty, Kind::kSpectrum},
      {{"[[1 2 3 4]]", "[[]]", "[]"}, Kind::kEmpty, Kind::kImage},
      {{"[[1 2 3 4]]"}, Kind::kSpectrum, Kind::kSpectrum},
      {{"[[5]]"}, Kind::kImage, Kind::kImage},
      {{"[[2.500000]]"}, Kind::kImage, Kind::kScalar},
  };
  for (const Case& c : cases) {
    table2h5::ColumnProfile profile;
    for (const char* cell : c.cells)
      table2h5::profile_cell(table2h5::parse_cell(cell, 2, 1), &profile);
    EXPECT_EQ(table2h5::infer_kind(profile, c.hint), c.kind) << c.cells[0];
  }
}

// Peak resident memory of a conversion, in KiB, measured on the child alone.
long peak_rss_kib(std::vector<std::string> args) {
  std::vector<char*> argv{const_cast<char*>(TABLE2H5_PATH)};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    // ASan's quarantine would hold every freed row; memory here means live data.
    setenv("ASAN_OPTIONS", "quarantine_size_mb=0:detect_leaks=0", 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execv(TABLE2H5_PATH, argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return usage.ru_maxrss;
}

TEST_F(Table2h5Test, MemoryStaysBounded) {
  // Each event carries 2 x 100 spectrum values and 256 pixels: about 2 KiB of
  // data, 21 MB over 10 000 events.
  auto write_table = [&](const fs::path& path, int events) {
    std::ofstream t(path, std::ios::binary);
    t << "EventId,Time,TimeISO,S,CAM,V\n";
    std::string spectrum = "[[", image = "[[";
    for (int k = 0; k < 100; ++k) spectrum += (k ? " " : "") + std::to_string(k % 9) + "e+00";
    spectrum += "][";
    for (int k = 0; k < 100; ++k) spectrum += (k ? " " : "") + std::to_string(k % 7) + "e-01";
    for (int k = 0; k < 256; ++k) image += (k ? " " : "") + std::to_string(k * 37 % 4000);
    spectrum += "]]";
    image += "]]";
    for (int e = 1; e <= events; ++e) {
      t << e << ",1733632724:" << e << ",2024-12-08T04:38:44Z," << spectrum << "," << image << ",[["
        << e << ".500000]]\n";
    }
  };
  // Under a bound of 16 MB half the run fills every buffer already, so a
  // bounded conversion peaks at the same height for both.
  write_table(dir_ / "short.txt", 5000);
  write_table(dir_ / "long.txt", 10000);
  long small = peak_rss_kib(
      {"--memory", "16", "-o", (dir_ / "short.h5").string(), (dir_ / "short.txt").string()});
  long large = peak_rss_kib(
      {"--memory", "16", "-o", (dir_ / "long.h5").string(), (dir_ / "long.txt").string()});
  std::printf("peak RSS: 5 000 events %ld KiB, 10 000 events %ld KiB\n", small, large);
  RecordProperty("peak_rss_kib_10000_events", std::to_string(large));
  // Holding the run would add some 10 MB more for the second half.
  EXPECT_LT(large - small, 4 * 1024);
  expect_h5(dir_ / "long.h5", {{"run/CAM/Pixels$dims", {10000, 1, 256}},
                               {"run/S/Member1$dims", {10000, 100}},
                               {"run/V/Value$dims", {10000}}});
}

// Memory follows the widest cell, not the widest row: a row of several wide
// cells is parsed one cell at a time, pixels as two bytes each, and a long
// cell of a one-value column is never kept as numbers. Here the frames are
// not the described size, so the writer stores none of them.
TEST_F(Table2h5Test, MemoryFollowsTheWidestCellNotTheRow) {
  auto write_table = [&](const fs::path& path, size_t values) {
    std::ofstream t(path, std::ios::binary);
    t << "EventId,Time,TimeISO,A,C1,C2,C3,C4\n"
      << "1,1:0,x,[[1.000000]],[[1 2]],[[1 2]],[[1 2]],[[1 2]]\n";
    std::string cell = "[[1";
    for (size_t k = 1; k < values; ++k) cell += " 1";
    cell += "]]";
    t << "2,1:1,x," << cell;
    for (int c = 0; c < 4; ++c) t << "," << cell;
    t << "\n";
  };
  {
    std::ofstream d(dir_ / "d.xml");
    d << "<daq_description>";
    for (int c = 1; c <= 4; ++c) {
      d << "<parameters name=\"C" << c << "\" num=\"1\"><image_frame index=\"0\" width=\"2\" "
        << "height=\"1\" bpp=\"1\"/></parameters>";
    }
    d << "</daq_description>";
  }
  write_table(dir_ / "narrow.txt", 2);
  write_table(dir_ / "wide.txt", 1 << 20);  // a line of 10 MB, cells of 2 MB
  std::string xml = (dir_ / "d.xml").string();
  long narrow = peak_rss_kib(
      {"--xml", xml, "-o", (dir_ / "narrow.h5").string(), (dir_ / "narrow.txt").string()});
  long wide =
      peak_rss_kib({"--xml", xml, "-o", (dir_ / "wide.h5").string(), (dir_ / "wide.txt").string()});
  std::printf("peak RSS: narrow %ld KiB, wide %ld KiB\n", narrow, wide);
  // The line itself (in a buffer of up to twice its size) and one cell's
  // pixels; the five cells parsed at once as doubles were 40 MB more.
  EXPECT_LT(wide - narrow, 36 * 1024);
  expect_h5(dir_ / "wide.h5", {{"run/C4/Missing", {0, 5}}, {"run/A/Missing", {0, 4}}});
}

// A camera whose frames change size keeps the description's frame shape;
// every other frame is recorded as "size differs", never reshaped.
TEST_F(Table2h5Test, FrameOfAnotherSizeIsRecordedNotReshaped) {
  std::ofstream(dir_ / "t.txt") << "EventId,Time,TimeISO,CAM\n"
                                   "1,1:0,x,[[0 13 26 39 52 65]]\n"
                                   "2,1:1,x,[[1 2 3 4 5 6 7 8]]\n";
  std::ofstream(dir_ / "d.xml") << "<daq_description><parameters name=\"CAM\" num=\"1\">"
                                   "<image_frame index=\"0\" width=\"4\" height=\"2\" bpp=\"1\"/>"
                                   "</parameters></daq_description>";
  ASSERT_EQ(convert("--xml d.xml -o out.h5 t.txt"), 0) << slurp(dir_ / "convert.err");
  expect_h5(dir_ / "out.h5", {{"run/CAM/Missing", {5, 0}},
                              {"run/CAM/Length", {6, 8}},
                              {"run/CAM/Pixels", {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
                              {"run/CAM/Pixels$dims", {2, 2, 4}},
                              {"run/CAM/Pixels@width", {4}},
                              {"run/CAM@cells_size_differs", {1}},
                              {"run/CAM@cells_present", {1}}});
  hid_t f = H5Fopen((dir_ / "out.h5").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  hid_t d = H5Dopen2(f, "run/CAM/Pixels", H5P_DEFAULT);
  hid_t t = H5Dget_type(d);
  EXPECT_EQ(H5Tget_size(t), 1u);  // an 8-bit camera stays 8-bit
  H5Tclose(t);
  H5Dclose(d);
  H5Fclose(f);
  EXPECT_NE(slurp(dir_ / "convert.txt").find("size-differs"), std::string::npos);
}

// A frame header that leaves the pixel size or the shape out (bpp, width,
// height 0) decides nothing: the whole column does, as without a
// description. A dark first frame of a 16-bit camera made it 8-bit, and
// every later frame was dropped as another kind.
TEST_F(Table2h5Test, FrameHeaderWithoutPixelSizeKeepsEveryFrame) {
  std::ofstream(dir_ / "t.txt") << "EventId,Time,TimeISO,CAM\n"
                                   "1,1:0,x,[[5 7]]\n"
                                   "2,1:1,x,[[300 4095]]\n"
                                   "3,1:2,x,[[256 1]]\n";
  for (const char* header : {"width=\"2\" height=\"1\" bpp=\"0\"", "bpp=\"2\""}) {
    SCOPED_TRACE(header);
    std::ofstream(dir_ / "d.xml") << "<daq_description><parameters name=\"CAM\" num=\"1\">"
                                     "<image_frame index=\"0\" "
                                  << header << "/></parameters></daq_description>";
    ASSERT_EQ(convert("--xml d.xml -o out.h5 t.txt"), 0) << slurp(dir_ / "convert.err");
    expect_h5(dir_ / "out.h5", {{"run/CAM/Missing", {0, 0, 0}},
                                {"run/CAM/Pixels", {5, 7, 300, 4095, 256, 1}},
                                {"run/CAM/Pixels$dims", {3, 1, 2}}});
  }
}

// Integers in one bracket could be pixels or a -fti spectrum: the converter
// says so, names the column and the options that decide it.
TEST_F(Table2h5Test, AmbiguousColumnIsNamedInAWarning) {
  std::ofstream(dir_ / "t.txt")
      << "EventId,Time,TimeISO,CNT\n1,1:0,x,[[1 2 3]]\n2,1:1,x,[[4 5 6]]\n";
  ASSERT_EQ(convert("-o out.h5 t.txt"), 0);
  std::string err = slurp(dir_ / "convert.err");
  EXPECT_NE(err.find("column CNT"), std::string::npos) << err;
  EXPECT_NE(err.find("--xml"), std::string::npos) << err;
  EXPECT_NE(err.find("--kind CNT=spectrum"), std::string::npos) << err;
  expect_h5(dir_ / "out.h5",
            {{"run/CNT@kind_source", {}, {"inferred"}}, {"run@plugin_options_inferred", {1}}});
  ASSERT_EQ(convert("--kind CNT=spectrum -o out2.h5 t.txt"), 0);
  EXPECT_EQ(slurp(dir_ / "convert.err"), "");
  expect_h5(dir_ / "out2.h5",
            {{"run/CNT/Member0", {1, 2, 3, 4, 5, 6}}, {"run/CNT@kind_source", {}, {"option"}}});
}

TEST_F(Table2h5Test, OutputFollowsTheUmaskAndNeverReplacesAnInput) {
  const std::string table = "EventId,Time,TimeISO,A\n1,1:0,x,[[1.000000]]\n";
  std::ofstream(dir_ / "t.txt") << table;
  for (auto [mask, mode] : {std::pair{"022", 0644}, std::pair{"002", 0664}}) {
    ASSERT_EQ(run("cd '" + dir_.string() + "' && umask " + mask +
                  " && '" TABLE2H5_PATH "' -o m.h5 t.txt >/dev/null"),
              0);
    struct stat st {};
    ASSERT_EQ(stat((dir_ / "m.h5").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, static_cast<unsigned>(mode)) << mask;
    fs::remove(dir_ / "m.h5");
  }
  fs::create_symlink("t.txt", dir_ / "link.txt");
  for (const char* out : {"t.txt", "./t.txt", "link.txt"}) {
    EXPECT_EQ(convert(std::string("-o ") + out + " t.txt"), 2) << out;
    EXPECT_NE(slurp(dir_ / "convert.err").find("is the input table"), std::string::npos);
    EXPECT_EQ(slurp(dir_ / "t.txt"), table);
  }
  // The description is an input too, also under another name (a hard link).
  const std::string xml = "<daq_description><channel daq_name=\"A\" unit=\"V\"/></daq_description>";
  std::ofstream(dir_ / "d.xml") << xml;
  fs::create_hard_link(dir_ / "d.xml", dir_ / "same.xml");
  for (const char* out : {"d.xml", "same.xml"}) {
    EXPECT_EQ(convert(std::string("-o ") + out + " --xml d.xml t.txt"), 2) << out;
    EXPECT_EQ(slurp(dir_ / "convert.err"),
              std::string("daq-table2h5: ") + out +
                  " is the description file (--xml); choose another output file\n");
    EXPECT_TRUE(slurp(dir_ / "d.xml") == xml) << "the description was replaced";
  }
  EXPECT_TRUE(h5_files().empty());
}

// Standard output that cannot be written (a pipe closed before the end, a
// full disk, a closed descriptor) costs no data: the file is committed, one
// line says what failed, and the status is 3. The table has enough columns
// for the summary to fill the stream's buffer before its end.
TEST_F(Table2h5Test, FailedStandardOutputKeepsTheFile) {
  {
    std::ofstream t(dir_ / "t.txt");
    t << "EventId,Time,TimeISO";
    for (int c = 0; c < 200; ++c) t << ",CHANNEL." << c;
    for (int e = 1; e <= 3; ++e) {
      t << "\n" << e << ",1:0,x";
      for (int c = 0; c < 200; ++c) t << ",[[" << c << ".500000]]";
    }
    t << "\n";
  }
  auto check = [&](const std::string& what, int status, const std::string& reason) {
    SCOPED_TRACE(what);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(slurp(dir_ / "convert.err"),
              "daq-table2h5: cannot write standard output: " + reason + "\n");
    expect_h5(dir_ / "out.h5",
              {{"run/EventId", {1, 2, 3}}, {"run/CHANNEL.199/Value", {199.5, 199.5, 199.5}}});
    std::vector<std::string> files = h5_files();
    EXPECT_EQ(files, std::vector<std::string>{"out.h5"});
    fs::remove(dir_ / "out.h5");
  };
  // A pipe whose reader is gone before the converter starts.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    int err = open((dir_ / "convert.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    if (chdir(dir_.c_str()) != 0) _exit(9);
    execl(TABLE2H5_PATH, TABLE2H5_PATH, "-o", "out.h5", "t.txt", nullptr);
    _exit(127);
  }
  close(p[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  check("closed pipe", WEXITSTATUS(status), "Broken pipe");
  check("full disk",
        run("cd '" + dir_.string() +
            "' && '" TABLE2H5_PATH "' -o out.h5 t.txt >/dev/full 2>convert.err"),
        "No space left on device");
  // A closed descriptor 1 must not become the run file's.
  check("closed descriptor",
        run("cd '" + dir_.string() + "' && '" TABLE2H5_PATH "' -o out.h5 t.txt >&- 2>convert.err"),
        "Bad file descriptor");
  EXPECT_EQ(run("cd '" + dir_.string() +
                "' && '" TABLE2H5_PATH "' --check t.txt >/dev/full 2>convert.err"),
            3);
}

// Cells the column's datasets cannot hold as they are: integers beyond
// int32 and pixels beyond the camera's bits are kept as floats where the
// whole column is known, and otherwise marked, never stored cut to the type.
TEST_F(Table2h5Test, ValuesOutsideTheStoredTypeAreWidenedOrMarked) {
  std::ofstream(dir_ / "t.txt") << "EventId,Time,TimeISO,V,S,CAM\n"
                                   "1,1:0,x,[[42]],[[1 2][3]],[[1 2]]\n"
                                   "2,1:1,x,[[99999999999]],[[4 99999999999]],[[300 4]]\n"
                                   "3,1:2,x,[[-7]],[[-2147483648][2147483647]],[[5 6]]\n";
  std::ofstream(dir_ / "d.xml")
      << "<daq_description><parameters name=\"CAM\" num=\"1\">"
         "<image_frame index=\"0\" width=\"2\" height=\"1\" bpp=\"1\"/></parameters>"
         "<parameters name=\"F\" num=\"1\"><spectrum index=\"0\" ndata=\"2\"/></parameters>"
         "</daq_description>";
  ASSERT_EQ(convert("--xml d.xml -o out.h5 t.txt"), 0) << slurp(dir_ / "convert.err");
  expect_h5(dir_ / "out.h5", {{"run/V@kind", {}, {"scalar"}},
                              {"run/V/Value", {42, 99999999999, -7}},
                              {"run/S/Member0", {1, 2, 4, 99999999999, -2147483648, kNaN}},
                              {"run/S/Member1", {3, kNaN, 2147483647}},
                              {"run/CAM/Pixels", {1, 2, 0, 0, 5, 6}},
                              {"run/CAM/Missing", {0, 4, 0}},
                              {"run/CAM@cells_other_kind", {1}}});
  // A column of ints by option, and a -fti spectrum told by the description
  // from its first cell: what does not fit int32 is a cell of another kind.
  std::ofstream(dir_ / "f.txt") << "EventId,Time,TimeISO,V,F\n"
                                   "1,1:0,x,[[42]],[[1 2]]\n"
                                   "2,1:1,x,[[2147483648]],[[3 -2147483649]]\n"
                                   "3,1:2,x,[[nan]],[[2.500000 1]]\n"
                                   "4,1:3,x,[[-2147483648]],[[5 6]]\n";
  ASSERT_EQ(convert("--xml d.xml --kind V=int -o out2.h5 f.txt"), 0) << slurp(dir_ / "convert.err");
  expect_h5(dir_ / "out2.h5",
            {{"run/V@kind", {}, {"scalar_int"}},
             {"run/V/Value", {42, -2147483648, -2147483648, -2147483648}},
             {"run/V/Missing", {0, 4, 4, 0}},
             {"run/F/Member0", {1, 2, -2147483648, -2147483648, -2147483648, -2147483648, 5, 6}},
             {"run/F/Member0@_FillValue", {-2147483648}},
             {"run/F/Missing", {0, 4, 4, 0}},
             {"run/F@cells_other_kind", {2}}});
}

// A member without values has the Length 0 wherever it stands; only "[],"
// is a member that could not be read.
TEST_F(Table2h5Test, EmptyMemberIsLengthZeroAndFailedOneMinusTwo) {
  std::ofstream(dir_ / "t.txt") << "EventId,Time,TimeISO,S\n"
                                   "1,1:0,x,[[][1e+00]]\n"
                                   "2,1:1,x,[[2e+00][]]\n"
                                   "3,1:2,x,[[],[3e+00]]\n"
                                   "4,1:3,x,[[]]\n";
  ASSERT_EQ(convert("-o out.h5 t.txt"), 0) << slurp(dir_ / "convert.err");
  expect_h5(dir_ / "out.h5", {{"run/S/Member0Length", {0, 1, -2, 0}},
                              {"run/S/Member1Length", {1, 0, 1, -1}},
                              {"run/S/Missing", {0, 0, 0, 0}}});
}

// Float datasets say which printf conversion their text was; members that
// the description gives more values than the table shows say how many it kept.
TEST_F(Table2h5Test, FloatDatasetsNameTheirTextFormat) {
  std::ofstream(dir_ / "t.txt")
      << "EventId,Time,TimeISO,V,W,S,F,P\n"
         "1,1:0,x,[[1.500000]],[[99999999999]],[[ [0]:1.000000e+00 1e+00 2e+00][3e+00]],"
         "[[1 2 3]],[[a:1.00e+00]]\n"
         "2,1:1,x,[[2.500000]],[[7]],[[4e+00][5e+00 6e+00]],[[4 5]],[[a:2.00e+00]]\n";
  std::ofstream(dir_ / "d.xml") << "<daq_description>"
                                   "<parameters name=\"S\" num=\"2\"><spectrum index=\"0\" "
                                   "ndata=\"3\" groups=\"1\"/><spectrum index=\"1\" ndata=\"1\" "
                                   "groups=\"2\"/></parameters>"
                                   "<parameters name=\"F\" num=\"1\"><spectrum index=\"0\" "
                                   "ndata=\"100\"/></parameters></daq_description>";
  ASSERT_EQ(convert("--xml d.xml -o out.h5 t.txt"), 0) << slurp(dir_ / "convert.err");
  expect_h5(dir_ / "out.h5", {{"run/V/Value@text_format", {}, {"%f"}},
                              {"run/W/Value@text_format", {}, {"%d"}},
                              {"run/S/Member0@text_format", {}, {"%.e"}},
                              {"run/S/Member0Stats@text_format", {}, {"%e"}},
                              {"run/S/Member0@truncated_to", {2}},
                              {"run/S/Member1@text_format", {}, {"%.e"}},
                              {"run/F/Member0@truncated_to", {3}}});
  hid_t f = H5Fopen((dir_ / "out.h5").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(f, 0);
  // Member1 holds all its 2 values; F's int32 members are no float text.
  EXPECT_EQ(H5Aexists_by_name(f, "run/S/Member1", "truncated_to", H5P_DEFAULT), 0);
  EXPECT_EQ(H5Aexists_by_name(f, "run/F/Member0", "text_format", H5P_DEFAULT), 0);
  H5Fclose(f);
}

// What the converter's file holds by the layout page: a spectrum member that
// first comes after the first row keeps its <spectrum> attributes, a table of
// no rows its EvHeadStatus, --nbunch -1 a truncated_to of 0; a camera that
// never stored a frame has no Width or Height (the plug-in's datasets), and
// frames are chunked by 64 KiB with every codec.
TEST_F(Table2h5Test, ConverterFileFollowsTheLayoutPage) {
  const std::string run = R"({"generation": 2024, "channels": [{"name": "S"}, {"name": "C"},
   {"name": "I"}], "events": [
   {"id": 1, "channels": {"S": {"type": 3, "members": [{"values": [1, 2]}]}, "C": {"type": 4},
     "I": {"type": 4, "image": {"bpp": 1, "nx": 256, "ny": 256, "len": 65536, "data": "00"}}}},
   {"id": 2, "channels": {"S": {"type": 3, "members": [{"values": [1, 2]},
     {"values": [5, 6, 7], "start": 2.5, "inc": 0.5}]}, "C": {"type": 4},
     "I": {"type": 4, "image": {"bpp": 1, "nx": 256, "ny": 256, "len": 65536, "data": "01"}}}}]})";
  std::ofstream(dir_ / "r.run.json") << run;
  for (const char* nbunch : {"0", "-1"}) {
    SCOPED_TRACE(nbunch);
    ASSERT_EQ(record((dir_ / "r.run.json").string(),
                     std::string("--nbunch ") + nbunch + " -- -hdf5 -xdump"),
              0)
        << slurp(dir_ / "reader.txt");
    ASSERT_EQ(convert("--codec none --xml user_descr.xml -o out.h5 user_out.txt"), 0)
        << slurp(dir_ / "convert.err");
    if (std::string(nbunch) == "0") {
      expect_h5(dir_ / "out.h5", {{"run/S/Member1@start", {2.5}},
                                  {"run/S/Member1@ndata", {3}},
                                  {"run/C/Width$dims", {}},
                                  {"run/C/Height$dims", {}},
                                  {"run/I/Pixels$chunks", {1, 1, 65536}}});
    } else {
      expect_h5(dir_ / "out.h5",
                {{"run/S/Member0@truncated_to", {0}}, {"run/S/Member1@truncated_to", {0}}});
    }
    fs::remove(dir_ / "out.h5");
  }
  std::ofstream(dir_ / "none.txt")
      << "EventId,Time,TimeISO,EvHeadStatus,SrvBlockStatus,ChanStatus,A\n";
  ASSERT_EQ(convert("-o none.h5 none.txt"), 0) << slurp(dir_ / "convert.err");
  expect_h5(dir_ / "none.h5", {{"run/EvHeadStatus$dims", {0}}, {"run@status_columns", {1}}});
}

// A bad token is quoted cut to some 60 bytes, with what is not printable
// escaped: one short line, whatever the table holds.
TEST(Table2h5QuoteTest, CutsAndEscapes) {
  EXPECT_EQ(table2h5::quoted("1.0x"), "\"1.0x\"");
  EXPECT_EQ(table2h5::quoted(std::string("a\0b\"\\\n\x01", 7)), "\"a\\u0000b\\\"\\\\\\n\\u0001\"");
  EXPECT_EQ(table2h5::quoted("\xff\xfe"), "\"\xef\xbf\xbd\xef\xbf\xbd\"");  // U+FFFD each
  EXPECT_EQ(table2h5::quoted(std::string(100, 'x')),
            "\"" + std::string(60, 'x') + "\"... (100 bytes)");
  // Never cut inside a UTF-8 sequence: 59 bytes, then a two-byte letter.
  EXPECT_EQ(table2h5::quoted(std::string(59, 'x') + "\xc3\xa9yz"),
            "\"" + std::string(59, 'x') + "\"... (63 bytes)");
}

TEST_F(Table2h5Test, BadTokenIsReportedCutAndEscaped) {
  std::string junk(3 << 20, '\x01');
  junk[7] = '\0';
  struct Case {
    std::string row, message;
  } cases[] = {
      {junk + ",1:0,x,[]", "line 3, column 1: bad event ID \"\\u0001"},
      {"2,1:0,x,[[1.0" + junk + "]]", "line 3, column 11: not a number: \"1.0\\u0001"},
      {"2," + junk + ",x,[]", "line 3, column 3: bad time \""},
  };
  for (const Case& c : cases) {
    std::ofstream(dir_ / "t.txt", std::ios::binary)
        << "EventId,Time,TimeISO,A\n1,1:0,x,[[1.000000]]\n"
        << c.row << "\n";
    EXPECT_EQ(convert("-o out.h5 t.txt"), 2);
    std::string err = slurp(dir_ / "convert.err");
    EXPECT_NE(err.find(c.message), std::string::npos) << err.substr(0, 200);
    EXPECT_NE(err.find("... ("), std::string::npos) << err.substr(0, 200);
    EXPECT_LT(err.size(), 600u);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_EQ(err.find('\0'), std::string::npos);
    EXPECT_EQ(err.find('\x01'), std::string::npos);
  }
}

// The summary on standard output escapes a channel name that would drive
// the terminal (an escape sequence); a plain or UTF-8 name stays as it is.
TEST_F(Table2h5Test, SummaryEscapesControlCharactersInNames) {
  std::ofstream(dir_ / "t.txt", std::ios::binary)
      << "EventId,Time,TimeISO,A\x1b]0;owned\x07"
         "B,\xc3\xa9t\xc3\xa9\n1,1:0,x,[[1.000000]],[[2.000000]]\n";
  ASSERT_EQ(convert("-o out.h5 t.txt"), 0) << slurp(dir_ / "convert.err");
  std::string out = slurp(dir_ / "convert.txt");
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
  EXPECT_NE(out.find("\"A\\u001b]0;owned\\u0007B\""), std::string::npos) << out;
  EXPECT_NE(out.find("\n\xc3\xa9t\xc3\xa9 "), std::string::npos) << out;
}

// A table still being written: its last line has no line end.
TEST_F(Table2h5Test, CutLastRowIsRefusedOrDroppedOnRequest) {
  std::ofstream(dir_ / "t.txt") << "EventId,Time,TimeISO,A,B\n1,1:0,x,[[1.000000]],[[2 3]]\n"
                                   "2,1:1,x,[[2.000000]],[[4";
  EXPECT_EQ(convert("-o out.h5 t.txt"), 2);
  EXPECT_NE(slurp(dir_ / "convert.err").find("--allow-truncated"), std::string::npos)
      << slurp(dir_ / "convert.err");
  EXPECT_TRUE(h5_files().empty());
  ASSERT_EQ(convert("--allow-truncated -o out.h5 t.txt"), 0) << slurp(dir_ / "convert.err");
  EXPECT_NE(slurp(dir_ / "convert.err").find("last row is cut"), std::string::npos);
  expect_h5(dir_ / "out.h5", {{"run/EventId", {1}}, {"run@events", {1}}});
  // Cut right after the separator before its last cell: left out as well.
  std::ofstream(dir_ / "t.txt") << "EventId,Time,TimeISO,A,B\n1,1:0,x,[[1.000000]],[[2 3]]\n"
                                   "2,1:1,x,[[2.000000]],";
  ASSERT_EQ(convert("--allow-truncated -o out.h5 t.txt"), 0) << slurp(dir_ / "convert.err");
  EXPECT_NE(slurp(dir_ / "convert.err").find("last row is cut"), std::string::npos);
  expect_h5(dir_ / "out.h5", {{"run/EventId", {1}}, {"run@rows_with_wrong_cell_count", {0}}});
}

// SIGINT and SIGTERM in the middle of the writing pass: the table comes
// through a pipe that stalls there.
TEST_F(Table2h5Test, InterruptRemovesTheTemporaryFile) {
  std::string rows = "EventId,Time,TimeISO,A\n";
  for (int e = 1; e <= 50; ++e) rows += std::to_string(e) + ",1:0,x,[[1.000000]]\n";
  fs::path fifo = dir_ / "t.txt";
  for (auto [sig, code] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::string out = (dir_ / "out.h5").string();
      execl(TABLE2H5_PATH, TABLE2H5_PATH, "-o", out.c_str(), fifo.c_str(), nullptr);
      _exit(127);
    }
    {
      std::ofstream(fifo) << rows;  // the scan reads it all
    }
    // The writing pass opens the table anew once the scan has closed it.
    auto holds_fifo = [&] {
      for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec) == fifo) return true;
      }
      return false;
    };
    for (int k = 0; k < 500 && holds_fifo(); ++k) usleep(10000);
    std::ofstream second(fifo);
    second << rows.substr(0, rows.size() / 2) << std::flush;  // then the writing pass waits
    bool temp = false;
    for (int k = 0; k < 500 && !temp; ++k) {
      for (const auto& e : fs::directory_iterator(dir_))
        temp |= e.path().filename().string().find(".tmp-") != std::string::npos;
      if (!temp) usleep(10000);
    }
    EXPECT_TRUE(temp);
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == code) << status;
    second.close();
    fs::remove(fifo);
    EXPECT_TRUE(h5_files().empty());
  }
}

// A full disk: one message, exit 2, nothing left behind, no crash at exit.
TEST_F(Table2h5Test, FullDiskIsOneMessageAndNoFile) {
  fs::path disk = dir_ / "disk";
  fs::create_directory(disk);
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=512k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
  }
  // Values of many digits compress badly: some 2 MB of data.
  {
    std::ofstream t(dir_ / "t.txt");
    t << "EventId,Time,TimeISO,S\n";
    uint64_t x = 88172645463325252ull;
    for (int e = 1; e <= 2000; ++e) {
      t << e << ",1:0,x,[[";
      for (int k = 0; k < 128; ++k) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        t << (k ? " " : "") << (x % 1000000) << "e+0" << (x % 9);
      }
      t << "]]\n";
    }
  }
  int status = convert("-o disk/out.h5 t.txt");
  std::string err = slurp(dir_ / "convert.err");
  bool empty = fs::is_empty(disk);
  umount(disk.c_str());
  EXPECT_EQ(status, 2) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_TRUE(empty);
}

}  // namespace

namespace {

// A cut row is reported with what it lacks: the status words and the cell of
// which column, or the event's own cells.
TEST_F(Table2h5Test, CutRowNamesWhatItLacks) {
  const std::string status =
      "EventId,Time,TimeISO,EvHeadStatus,SrvBlockStatus,ChanStatus,A,SrvBlockStatus,ChanStatus,B\n";
  const std::string plain = "EventId,Time,TimeISO,A,B\n";
  struct Case {
    std::string table, report;
  } cases[] = {
      {status + "1,1:0,x,0x0,0x0,0x0,[[1.0]],0x0,0x0\n",
       "line 2: event 1: wrong cell count: row ends after the status words of column B, before "
       "its cell"},
      // The separator after the last status word, as a failed event leaves it.
      {status +
           "1,1:0,x,0x0,0x0,0x0,[[1.0]],0x0,0x0,\n2,1:0,x,0x0,0x0,0x0,[[1.0]],0x0,0x0,[[2.0]]\n",
       "line 2: event 1: wrong cell count: row ends after the status words of column B, before "
       "its cell"},
      {status + "1,1:0,x,0x0,0x7,2,1:0,x,0x0,0x0,0x0,[[1.0]],0x0,0x0,[[2.0]]\n",
       "line 2: event 1: wrong cell count: row ends after the server-block status word of column "
       "A, before its channel status word"},
      {status + "1,1:0,x,0x0,0x0,0x0,[[1.0]]\n",
       "line 2: event 1: wrong cell count: row ends before the status words of column B"},
      {status + "1,1:0,x,0x0\n",
       "line 2: event 1: wrong cell count: row ends before the status words of column A"},
      {plain + "1,1:0,x,[[1.0]]\n",
       "line 2: event 1: wrong cell count: row ends before the cell of column B"},
      {plain + "1,1:0,x,[[1.0]],[[2.0]],[]\n",
       "line 2: event 1: wrong cell count: row has 6 cells, not 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    std::ofstream(dir_ / "t.txt", std::ios::binary) << c.table;
    EXPECT_EQ(convert("--check t.txt"), 1);
    EXPECT_NE(slurp(dir_ / "convert.txt").find(c.report), std::string::npos)
        << slurp(dir_ / "convert.txt");
  }
  // Rows too short to have their event's cells stop the conversion, named the same way.
  struct Fatal {
    std::string table, message;
  } fatal[] = {
      {status + "1,1:0,x\n", "line 2, column 8: row ends before its event status word"},
      {plain + "1,1:0\n", "line 2, column 6: row ends before its ISO time"},
      {plain + "1\n", "line 2, column 2: row ends before its time"},
  };
  for (const Fatal& c : fatal) {
    SCOPED_TRACE(c.table);
    std::ofstream(dir_ / "t.txt", std::ios::binary) << c.table;
    EXPECT_EQ(convert("-o out.h5 t.txt"), 2);
    EXPECT_NE(slurp(dir_ / "convert.err").find(c.message), std::string::npos)
        << slurp(dir_ / "convert.err");
    EXPECT_TRUE(h5_files().empty());
  }
}

// The table text cut into cells, groups and numbers the plain way: commas and
// brackets counted, words split at blanks, numbers read with strtod.
struct TextCell {
  std::string text;
  std::vector<std::string> groups;  // inside the outer brackets
  std::vector<bool> failed;         // "[]," : a member that could not be read
};

std::vector<std::string> split_top(const std::string& line) {
  std::vector<std::string> out(1);
  int depth = 0;
  for (char c : line) {
    if (c == '[') ++depth;
    if (c == ']') --depth;
    if (c == ',' && depth == 0) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

TextCell text_cell(const std::string& text) {
  TextCell cell{text, {}, {}};
  if (text.size() < 4 || text.front() != '[') return cell;
  int depth = 0;
  std::string group;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    char c = text[i];
    if (c == '[' && depth++ == 0) {
      group.clear();
      continue;
    }
    if (c == ']' && --depth == 0) {
      cell.groups.push_back(group);
      cell.failed.push_back(group.empty() && i + 1 < text.size() && text[i + 1] == ',');
      continue;
    }
    if (c == ',' && depth == 0) continue;
    group += c;
  }
  return cell;
}

std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

double number(const std::string& w) {
  if (w == "Invalid") return kNaN;
  char* end = nullptr;
  double v = std::strtod(w.c_str(), &end);
  EXPECT_EQ(*end, '\0') << w;
  return v;
}

uint32_t hex_word(const std::string& w) {
  EXPECT_EQ(w.substr(0, 2), "0x");
  return static_cast<uint32_t>(std::stoul(w.substr(2), nullptr, 16));
}

// Every value of the run file against the table text it came from.
void expect_every_value(const fs::path& table, const fs::path& h5) {
  std::ifstream in(table);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  std::vector<std::string> head = split_top(line);
  bool status = head.size() > 3 && head[3] == "EvHeadStatus";
  size_t first = status ? 4 : 3, per = status ? 3 : 1;
  std::vector<std::string> names;
  for (size_t k = first + per - 1; k < head.size(); k += per) names.push_back(head[k]);
  std::vector<std::vector<std::string>> rows;
  while (std::getline(in, line)) rows.push_back(split_top(line));
  ASSERT_FALSE(rows.empty());
  size_t n = rows.size();

  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // datasets a kind lacks are looked for too
  hid_t f = H5Fopen(h5.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(f, 0);
  auto get = [&](const std::string& what) {
    size_t at = what.find('@');
    if (at != std::string::npos &&
        H5Aexists_by_name(f, what.substr(0, at).c_str(), what.substr(at + 1).c_str(),
                          H5P_DEFAULT) <= 0) {
      return Read{};
    }
    return read_h5(f, what);
  };
  auto expect_number = [](double got, double want, const std::string& where) {
    if (std::isnan(want)) {
      EXPECT_TRUE(std::isnan(got)) << where << " = " << got;
    } else {
      EXPECT_EQ(got, want) << where;
    }
  };
  Read ids = get("run/EventId"), sec = get("run/TimeSec"), usec = get("run/TimeUsec");
  Read iso = get("run/TimeISO"), ev_status = get("run/EvHeadStatus");
  ASSERT_EQ(ids.numbers.size(), n);
  for (size_t r = 0; r < n; ++r) {
    const std::vector<std::string>& row = rows[r];
    ASSERT_EQ(row.size(), head.size()) << "row " << r;
    long long id = std::stoll(row[0]);
    EXPECT_EQ(ids.numbers[r], static_cast<double>(id < 0 ? id + (1LL << 32) : id));
    size_t colon = row[1].find(':');
    EXPECT_EQ(sec.numbers[r], std::stod(row[1].substr(0, colon)));
    EXPECT_EQ(usec.numbers[r], std::stod(row[1].substr(colon + 1)));
    EXPECT_EQ(iso.strings[r], row[2]);
    if (status) {
      EXPECT_EQ(ev_status.numbers[r], hex_word(row[3]));
    }
  }
  for (size_t c = 0; c < names.size(); ++c) {
    SCOPED_TRACE(names[c]);
    std::string g = "run/" + names[c];
    Read kind = get(g + "@kind"), missing = get(g + "/Missing");
    ASSERT_EQ(kind.strings.size(), 1u);
    ASSERT_EQ(missing.numbers.size(), n);
    const std::string& k = kind.strings[0];
    Read srv = get(g + "/SrvBlockStatus"), chan = get(g + "/ChanStatus");
    Read value = get(g + "/Value"), length = get(g + "/Length"), pixels = get(g + "/Pixels");
    Read pair_names = get(g + "@pair_names"), pair_sets = get(g + "@pair_datasets");
    std::vector<Read> pairs;
    for (const std::string& d : pair_sets.strings) pairs.push_back(get(g + "/" + d));
    size_t frame = n > 0 ? pixels.numbers.size() / n : 0;
    for (size_t r = 0; r < n; ++r) {
      size_t at = first + c * per + per - 1;
      if (status) {
        EXPECT_EQ(srv.numbers[r], hex_word(rows[r][at - 2]));
        EXPECT_EQ(chan.numbers[r], hex_word(rows[r][at - 1]));
      }
      TextCell cell = text_cell(rows[r][at]);
      std::string where = g + " row " + std::to_string(r);
      // A structured channel's cell is empty whether converted or not.
      double code = cell.text.empty()    ? (k == "structured" ? 0
                                            : k == "image"    ? 4
                                                              : 1)
                    : cell.text == "[]"  ? 2
                    : cell.text == "1\t" ? (k == "mark" ? 0 : 4)
                                         : 0;
      EXPECT_EQ(missing.numbers[r], code) << where;
      if (k == "scalar" || k == "scalar_int") {
        double want = cell.groups.size() == 1 ? number(cell.groups[0]) : kNaN;
        if (k == "scalar_int" && cell.groups.empty()) want = 0;
        expect_number(value.numbers[r], want, where);
      } else if (k == "pairs") {
        EXPECT_EQ(length.numbers[r], static_cast<double>(cell.groups.size())) << where;
        for (size_t p = 0; p < pair_names.strings.size(); ++p) {
          double want = kNaN;
          for (size_t q = 0; q < cell.groups.size(); ++q) {
            const std::string& text = cell.groups[q];
            size_t colon = text.rfind(':');
            std::string name =
                colon == std::string::npos ? "#" + std::to_string(q) : text.substr(0, colon);
            if (name == pair_names.strings[p]) want = number(text.substr(colon + 1));
          }
          expect_number(pairs[p].numbers[r], want, where + " pair " + pair_names.strings[p]);
        }
      } else if (k == "spectrum") {
        for (size_t m = 0;; ++m) {
          std::string member = g + "/Member" + std::to_string(m);
          Read len = get(member + "Length");
          if (len.numbers.empty()) {
            EXPECT_GE(m, cell.groups.size()) << where;
            break;
          }
          Read values = get(member), stats = get(member + "Stats");
          std::vector<double> want_values, want_stats(32, kNaN);
          bool any_stat = false;
          double want_length = -1;
          if (m < cell.groups.size()) {
            want_length = cell.failed[m] ? -2 : 0;
            for (const std::string& w : words(cell.groups[m])) {
              if (w[0] == '[') {
                size_t close = w.find("]:");
                want_stats[std::stoul(w.substr(1, close - 1))] = number(w.substr(close + 2));
                any_stat = true;
              } else {
                want_values.push_back(number(w));
              }
            }
            if (!cell.failed[m]) want_length = static_cast<double>(want_values.size());
          }
          EXPECT_EQ(len.numbers[r], want_length) << where << " member " << m;
          size_t width = values.numbers.size() / n;
          for (size_t v = 0; v < width; ++v) {
            double want = v < want_values.size() ? want_values[v] : kNaN;
            double got = values.numbers[r * width + v];
            if (std::isnan(want) && !std::isnan(got)) want = 0;  // int32 members fill with 0
            expect_number(got, want, where + " member " + std::to_string(m));
          }
          if (any_stat || !stats.numbers.empty()) {
            for (size_t b = 0; b < 32; ++b) {
              expect_number(stats.numbers[r * 32 + b], want_stats[b], where + " stat");
            }
          }
        }
      } else if (k == "image") {
        std::vector<std::string> p =
            cell.groups.empty() ? std::vector<std::string>{} : words(cell.groups[0]);
        EXPECT_EQ(length.numbers[r], static_cast<double>(p.size())) << where;
        for (size_t v = 0; v < frame; ++v) {
          double want = v < p.size() ? number(p[v]) : 0;
          EXPECT_EQ(pixels.numbers[r * frame + v], want) << where << " pixel " << v;
        }
      } else {
        EXPECT_TRUE(k == "mark" || k == "empty" || k == "structured") << k;
        EXPECT_TRUE(cell.groups.empty()) << where;
      }
    }
  }
  H5Fclose(f);
}

// Simulated runs of both generations, with and without status columns, -fti
// and -nonvn, through the reader and the converter; the file read back with
// the HDF5 C API, every value against the table text.
TEST_F(Table2h5Test, EveryValueMatchesTheTableText) {
  struct Case {
    std::string simulate, reader_args;
  } cases[] = {
      {"--generation 2010 --seed 3 --events 7 --cameras 2 --image 16x8 --adcs 2 --samples 9",
       "--outmode 1 run.json -- -hdf5 -dumpall -xdump user_descr.xml -fti ADC.1"},
      {"--generation 2024 --seed 4 --events 9 --cameras 2 --image 24x5 --adcs 3 --samples 7",
       "run.json -- -hdf5 -xdump user_descr.xml -nonvn"},
      {"--generation 2024 --seed 5 --events 5 --cameras 0 --adcs 1 --samples 300",
       "--outmode 1 run.json -- -hdf5 -dumpall -nostat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.simulate);
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    ASSERT_EQ(
        run("cd '" + dir_.string() + "' && '" SIMULATE_PATH "' " + c.simulate + " --out run.json"),
        0);
    ASSERT_EQ(run("cd '" + dir_.string() + "' && '" READER_PATH "' --quiet " + c.reader_args +
                  " >reader.txt 2>&1"),
              0)
        << slurp(dir_ / "reader.txt");
    std::string xml = fs::exists(dir_ / "user_descr.xml") ? "--xml user_descr.xml " : "";
    ASSERT_EQ(convert(xml + "-o out.h5 user_out.txt"), 0) << slurp(dir_ / "convert.err");
    expect_every_value(dir_ / "user_out.txt", dir_ / "out.h5");
  }
}

}  // namespace

namespace {

// Numbers as the plug-in prints them, at the edges of the exact shortcuts
// (digit counts, exponents beyond 22, signs, zero): read exactly as strtod
// reads them, bit for bit.
TEST(Table2h5NumberTest, EveryPrintedFormReadsAsStrtodReadsIt) {
  const char* words[] = {
      "2e+02",           "-2e+02",          "9e-22",
      "9e-23",           "1e+22",           "7e+23",
      "5e-324",          "-0e+00",          "0e+00",
      "3e+38",           "1.00e-30",        "-9.99e+37",
      "4.20e-04",        "1.005000e+02",    "-3.402823e+38",
      "0.000001",        "-0.000000",       "123456789.123456",
      "1234567890123.5", "16777217.000000", "340282346638528859811704183484516925440.000000",
      "2.225074e-308",   "8e+307",
  };
  for (const char* w : words) {
    SCOPED_TRACE(w);
    std::string text = std::string("[[") + w + " " + w + "]]";
    table2h5::Cell cell = table2h5::parse_cell(text, 1, 1);
    ASSERT_EQ(cell.groups().size(), 1u);
    const std::vector<double>& v = cell.groups()[0].values;
    ASSERT_EQ(v.size(), 2u);
    double want = std::strtod(w, nullptr);
    for (double got : v) {
      EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << got << " != " << want;
    }
  }
  // Words that only look like numbers are refused.
  for (const char* w : {"2e+", "2e+0x", "--2e+02", "1.2.3", "e+02"}) {
    EXPECT_THROW(table2h5::parse_cell(std::string("[[1 ") + w + "]]", 1, 1), table2h5::ParseError)
        << w;
  }
}

}  // namespace
