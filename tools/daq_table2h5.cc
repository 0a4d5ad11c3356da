// daq-table2h5: converts a table file written in HDF5 conversion mode (and,
// when given, the XML description file of the same run) into one run file
// of the layout in docs/hdf5-layout.md, and reports the cells that carried
// no data.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "attribute_text.h"
#include "cli/command_line.h"
#include "run_writer.h"
#include "table2h5/description.h"
#include "table2h5/table_reader.h"

namespace {

using namespace table2h5;

constexpr const char* kUsage =
    "usage: daq-table2h5 [-o OUT.h5] [--xml DESCR.xml] [--fill VALUE] [--kind COLUMN=KIND]...\n"
    "                    [--codec gzip|none|lz4|bslz4] [--gzip-level N] [--memory MB]\n"
    "                    [--allow-truncated] TABLE\n"
    "       daq-table2h5 --check [--xml DESCR.xml] [--kind COLUMN=KIND]... TABLE\n"
    "Converts a table file of the plug-in's HDF5 conversion mode (-hdf5) into a run file;\n"
    "TABLE - is standard input.\n"
    "\n"
    "  -o, --output OUT.h5  the run file (default: TABLE with .h5 in place of its extension;\n"
    "                       needed when TABLE is -)\n"
    "  --xml DESCR.xml      the run's XML description (-xdump): units, spectrum and image\n"
    "                       parameters\n"
    "  --fill VALUE         fill value of padded spectrum rows (default NaN)\n"
    "  --kind COLUMN=KIND   the cell writer of a column whose cells alone do not tell it;\n"
    "                       KIND: empty, mark, scalar, int, pairs, spectrum, image or\n"
    "                       structured\n"
    "  --codec CODEC        compression: gzip (default), none, lz4, bslz4\n"
    "  --gzip-level N       gzip level 1 to 9 (default 1)\n"
    "  --memory MB          memory for staged and buffered rows, 1 to 1048576 (default 64)\n"
    "  --allow-truncated    convert a table whose last row is cut, without that row\n"
    "  --check              check the table and print what is missing; write nothing\n"
    "  --help, --version    this text, the version\n"
    "Options take their value as --opt=value or --opt value; -- ends the options.\n"
    "\n"
    "Exit status: 0 converted (or --check found nothing); 1 --check found problems;\n"
    "2 usage error, a table or description that cannot be read or is malformed, or an\n"
    "output that cannot be written; 130 or 143 interrupted (no file is left).\n";

constexpr int kMaxListed = 10;  // non-increasing event IDs printed one by one

struct Options {
  std::string table;  // as messages name it
  std::string input;  // the path read
  std::string out;
  std::string xml;
  double fill = std::numeric_limits<double>::quiet_NaN();
  bool check = false;
  bool allow_truncated = false;
  std::map<std::string, Kind> kinds;
  h5run::Codec codec = h5run::Codec::kGzip;
  int gzip_level = 1;
  size_t memory = size_t{64} << 20;
};

// The temporary file, for the signal handler.
char g_temp[4096];

extern "C" void on_signal(int sig) {
  if (g_temp[0] != '\0') unlink(g_temp);
  _exit(128 + sig);
}

const daq::cli::Program kProgram("daq-table2h5", kUsage);

[[noreturn]] void usage_error(const std::string& reason) { kProgram.usage_error(reason); }

long number_option(const std::string& w, const std::string& v, long low, long high) {
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || n < low || n > high) {
    usage_error(w + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) +
                ", not " + quoted(v));
  }
  return n;
}

// An input that cannot be read is refused by its name before anything is
// written: a folder would otherwise read as an error of no file.
void check_input(const std::string& path) {
  struct stat st {};
  const char* why = nullptr;
  if (stat(path.c_str(), &st) != 0) {
    why = std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    why = "is a directory";
  } else if (access(path.c_str(), R_OK) != 0) {
    why = std::strerror(errno);
  }
  if (why != nullptr) {
    std::fprintf(stderr, "daq-table2h5: %s: %s\n", path.c_str(), why);
    std::exit(2);
  }
}

Options parse_options(int argc, char** argv) {
  const std::vector<daq::cli::OptionSpec> specs = {
      {"-o", true},           {"--output", true},           {"--xml", true},  {"--check", false},
      {"--fill", true},       {"--allow-truncated", false}, {"--kind", true}, {"--codec", true},
      {"--gzip-level", true}, {"--memory", true},
  };
  const daq::cli::ParsedLine line = kProgram.parse_or_exit(argc, argv, specs);
  Options o;
  for (const daq::cli::ParsedOption& opt : line.options) {
    const std::string& w = opt.name;
    const std::string& v = opt.value;
    if (w == "-o" || w == "--output") {
      o.out = v;
      if (o.out.empty()) usage_error(w + " needs a file name");
      if (o.out == "-") usage_error("an HDF5 file cannot be written to standard output (-o -)");
    } else if (w == "--xml") {
      o.xml = v;
    } else if (w == "--check") {
      o.check = true;
    } else if (w == "--allow-truncated") {
      o.allow_truncated = true;
    } else if (w == "--fill") {
      char* end = nullptr;
      o.fill = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0') usage_error("--fill needs a number, not " + quoted(v));
    } else if (w == "--kind") {
      size_t eq = v.rfind('=');
      Kind kind;
      if (eq == std::string::npos || !kind_from_name(v.substr(eq + 1), &kind)) {
        usage_error("--kind needs COLUMN=KIND, not " + quoted(v));
      }
      o.kinds[v.substr(0, eq)] = kind;
    } else if (w == "--codec") {
      if (v == "gzip") {
        o.codec = h5run::Codec::kGzip;
      } else if (v == "none") {
        o.codec = h5run::Codec::kNone;
      } else if (v == "lz4") {
        o.codec = h5run::Codec::kLz4;
      } else if (v == "bslz4") {
        o.codec = h5run::Codec::kBslz4;
      } else {
        usage_error("--codec needs gzip, none, lz4 or bslz4, not " + quoted(v));
      }
    } else if (w == "--gzip-level") {
      o.gzip_level = static_cast<int>(number_option(w, v, 1, 9));
    } else if (w == "--memory") {
      o.memory = static_cast<size_t>(number_option(w, v, 1, 1 << 20)) << 20;
    }
  }
  if (line.operands.empty()) usage_error("no table file");
  if (line.operands.size() > 1) usage_error("more than one table file");
  o.table = o.input = line.operands[0];
  if (o.table != "-") check_input(o.table);
  if (!o.xml.empty()) check_input(o.xml);
  if (o.table == "-") {
    // Read twice, so a pipe is first copied to a file.
    if (o.out.empty() && !o.check) usage_error("a table on standard input needs -o OUT.h5");
    try {
      o.input = daq::cli::standard_input_as_file();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "daq-table2h5: %s\n", e.what());
      std::exit(2);
    }
    o.table = "standard input";
  }
  if (o.out.empty()) {
    size_t slash = o.table.rfind('/');
    size_t dot = o.table.rfind('.');
    bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    o.out = (has_ext ? o.table.substr(0, dot) : o.table) + ".h5";
  }
  return o;
}

// A column name in a message: as it is when short and printable, else quoted.
std::string shown(const std::string& name) {
  bool plain = name.size() <= 60 &&
               std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
  return plain ? name : quoted(name);
}

// A name for the summary: as it is, unless it holds control characters
// (an escape sequence would reach the terminal), then quoted and escaped.
std::string summary_name(const std::string& name) {
  bool control = std::any_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
  return control ? quoted(name) : name;
}

struct ColumnPlan {
  std::string column;
  Kind kind = Kind::kEmpty;
  const char* source = "inferred";
  ColumnProfile profile;
  Attributes attributes;  // from the description's <channel>
  const Description::Parameters* parameters = nullptr;
  bool ints = false;  // -fti values
  int pixel_bits = 16;
  size_t width = 0, height = 0;  // image frame
};

// Whether a column's cells can be those of a channel with spectrum (or, with
// `frames`, image) parameters: cells with values in brackets, of a form the
// other kind never writes. A structured or never-present column takes none.
bool takes_parameters(const ColumnProfile& profile, bool frames) {
  unsigned e = profile.evidence;
  if (e & (kSawMark | kSawPair | kSawFixed | kSawExp2)) return false;
  // A camera of colour frames alone leaves every cell empty.
  if (!(e & kSawList)) return frames && (e & kSawEmptyCell);
  return !frames ||
         !(e & (kSawExp0 | kSawStats | kSawFailed | kSawInvalid | kSawManyGroups | kSawNonFinite));
}

// The sub-channel number of "NAME:SUB", -1 without one.
long sub_number(const std::string& column) {
  size_t colon = column.rfind(':');
  if (colon == std::string::npos || colon + 1 == column.size()) return -1;
  char* end = nullptr;
  long sub = std::strtol(column.c_str() + colon + 1, &end, 10);
  return *end == '\0' ? sub : -1;
}

// Parameters of the description are named without the sub-channel number:
// a column takes the set of its name whose `num` is its sub-channel number
// and fits its cells, else the next unused set of its name that fits them.
std::vector<const Description::Parameters*> match_parameters(
    const Header& header, const std::vector<ColumnProfile>& profiles, const Description& d) {
  const size_t n = header.channels.size();
  std::vector<const Description::Parameters*> match(n, nullptr);
  std::map<const Description::Parameters*, bool> used;
  auto fits = [&](size_t i, const Description::Parameters& p) {
    return !used[&p] && takes_parameters(profiles[i], !p.frames.empty());
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < n; ++i) {
      auto params = d.parameters.find(base_name(header.channels[i]));
      if (match[i] != nullptr || params == d.parameters.end()) continue;
      long sub = sub_number(header.channels[i]);
      for (const Description::Parameters& p : params->second) {
        if ((pass == 1 || (sub >= 0 && p.num == sub)) && fits(i, p)) {
          match[i] = &p;
          used[&p] = true;
          break;
        }
      }
    }
  }
  return match;
}

std::vector<ColumnPlan> make_plans(const Header& header, const std::vector<ColumnProfile>& profiles,
                                   const Description& d, const Options& o) {
  std::vector<const Description::Parameters*> matched = match_parameters(header, profiles, d);
  std::vector<ColumnPlan> plans(header.channels.size());
  for (size_t i = 0; i < plans.size(); ++i) {
    ColumnPlan& p = plans[i];
    p.column = header.channels[i];
    p.profile = profiles[i];
    std::string base = base_name(p.column);
    if (auto c = d.channels.find(base); c != d.channels.end()) p.attributes = c->second;
    Kind hint = Kind::kEmpty;
    if (matched[i] != nullptr) {
      p.parameters = matched[i];
      hint = !p.parameters->frames.empty()    ? Kind::kImage
             : !p.parameters->spectra.empty() ? Kind::kSpectrum
                                              : Kind::kEmpty;
    }
    auto forced = o.kinds.find(p.column);
    if (forced != o.kinds.end()) {
      p.kind = forced->second;
      p.source = "option";
    } else {
      p.kind = infer_kind(p.profile, hint);
      p.source = hint != Kind::kEmpty && p.kind == hint ? "xml" : "inferred";
      if (p.kind == Kind::kImage && hint == Kind::kEmpty && kind_ambiguous(p.profile)) {
        std::fprintf(stderr,
                     "daq-table2h5: warning: column %s holds integers in one bracket: an image "
                     "or a -fti spectrum; taken for an image (kind_source \"inferred\"). Give "
                     "--xml with the run's description, or --kind %s=spectrum or "
                     "--kind %s=image\n",
                     shown(p.column).c_str(), shown(p.column).c_str(), shown(p.column).c_str());
      }
    }
    // A spectrum or name-value column of integers is a -fti one (the text of
    // other values always has an exponent), stored as int32 when every value
    // fits; any other is kept as floats. "Invalid" in a -fti spectrum is a
    // value the text cannot give back: its cell is of another kind (code 4).
    unsigned e = p.profile.evidence;
    bool int32 = p.profile.min_int >= INT32_MIN && p.profile.max_int <= INT32_MAX;
    bool fti_text =
        (e & kSawInt) && int32 && !(e & (kSawExp0 | kSawExp2 | kSawFixed | kSawNonFinite));
    p.ints = p.kind == Kind::kScalarInt || (p.kind == Kind::kSpectrum && fti_text) ||
             (p.kind == Kind::kPairs && fti_text && !(e & kSawInvalid));
    if (p.kind == Kind::kImage) {
      const Attributes* frame = p.parameters != nullptr && !p.parameters->frames.empty()
                                    ? &p.parameters->frames[0]
                                    : nullptr;
      long bpp = frame != nullptr ? attribute_int(*frame, "bpp", 0) : 0;
      p.pixel_bits = bpp == 1 ? 8 : bpp == 2 ? 16 : (p.profile.max_int <= 255 ? 8 : 16);
      long w = frame != nullptr ? attribute_int(*frame, "width", 0) : 0;
      long h = frame != nullptr ? attribute_int(*frame, "height", 0) : 0;
      if (w > 0 && h > 0) {
        p.width = static_cast<size_t>(w);
        p.height = static_cast<size_t>(h);
      } else {
        p.width = common_length(p.profile);
        p.height = p.width > 0 ? 1 : 0;
      }
    }
  }
  return plans;
}

void print_summary(const Options& o, const std::vector<ColumnPlan>& plans,
                   const std::vector<ColumnCounts>& counts, uint64_t rows, uint64_t short_rows,
                   uint64_t non_increasing) {
  std::printf("%s: %" PRIu64 " events, %zu channels, %" PRIu64
              " rows with a wrong cell count, %" PRIu64 " non-increasing event IDs\n",
              summary_name(o.table).c_str(), rows, plans.size(), short_rows, non_increasing);
  std::printf("%-24s %-8s %9s %7s %9s %8s %7s %9s %10s %12s\n", "channel", "kind", "present",
              "empty", "not-found", "no-image", "invalid", "cut-short", "other-kind",
              "size-differs");
  for (size_t i = 0; i < plans.size(); ++i) {
    const ColumnCounts& c = counts[i];
    std::printf("%-24s %-8s %9" PRIu64 " %7" PRIu64 " %9" PRIu64 " %8" PRIu64 " %7" PRIu64
                " %9" PRIu64 " %10" PRIu64 " %12" PRIu64 "\n",
                summary_name(plans[i].column).c_str(), kind_name(plans[i].kind), c.present, c.empty,
                c.not_found, c.no_image, c.invalid, c.cut_short, c.other_kind, c.size_differs);
  }
}

// Only structured-data channels and colour images leave a cell empty; an
// empty last cell of any other column is a row cut short before it.
void settle_last_cell(const std::vector<ColumnPlan>& plans, Row* row) {
  Kind kind = plans.back().kind;
  if (row->ends_with_separator && kind != Kind::kEmpty && kind != Kind::kImage &&
      kind != Kind::kStructured) {
    row->channels.back().cell.clear();
    row->channels.back().absent = true;
    row->short_row = true;
    --row->cells;
  }
}

bool takes_one_value(Kind kind) { return kind == Kind::kScalar || kind == Kind::kScalarInt; }

// What the parse of a cell keeps: pixels as two bytes, nothing for marks,
// and for one-value columns nothing at first when the cell is longer than
// any one printed value.
Values values_for(Kind kind, std::string_view text) {
  switch (kind) {
    case Kind::kEmpty:
    case Kind::kMark:
    case Kind::kStructured:
      return Values::kNone;
    case Kind::kImage:
      return Values::kPixels;
    case Kind::kScalar:
    case Kind::kScalarInt:
      return text.size() > 128 ? Values::kNone : Values::kDoubles;
    default:
      return Values::kDoubles;
  }
}

// Whether the cell's values fit the column's datasets: int32 for -fti
// values, the camera's pixel bits. A value that does not fit is never stored
// cut to the type: the cell counts as one of another kind.
bool storable(const Cell& cell, const ColumnPlan& p) {
  auto groups = cell.groups();
  auto int32 = [](const Group& g) {
    return g.count == 0 || (g.forms == kInt && g.min_int >= INT32_MIN && g.max_int <= INT32_MAX);
  };
  switch (p.kind) {
    case Kind::kScalarInt: {
      double v = groups[0].values[0];
      return v >= -2147483648.0 && v < 2147483648.0;
    }
    case Kind::kSpectrum:
      return !p.ints || std::all_of(groups.begin(), groups.end(), int32);
    case Kind::kImage:
      return p.pixel_bits != 8 || groups[0].max_int <= 255;
    case Kind::kPairs:
      // Without -nonvn every pair shows its name: in a column of named pairs a
      // cell of bare values is another kind's (a spectrum's).
      return !(p.profile.evidence & kSawPair) ||
             std::all_of(groups.begin(), groups.end(), [](const Group& g) { return g.pair; });
    default:
      return true;
  }
}

// Description values that read as integers or numbers are stored as such.
template <typename Set>
void store_attributes(const Attributes& attributes, Set set) {
  for (const auto& [name, text] : attributes) {
    std::visit([&](auto v) { set(name, v); }, h5run::typed_attribute(text));
  }
}

// The float fields of the spectrum parameters and of the frame header: the
// XML writes 1.0 as "1", but the host's value, and the plug-in's attribute,
// is a float.
bool float_field(const std::string& name) {
  static const char* const kFloats[] = {"start",   "inc",     "group_inc",
                                        "scale_x", "scale_y", "fspare2",
                                        "fspare3", "fspare4", "image_rotation"};
  return std::any_of(std::begin(kFloats), std::end(kFloats),
                     [&](const char* f) { return name == f; });
}

// Parameters of a member or a frame: float fields as float64 whatever their text.
template <typename Set>
void store_parameters(const Attributes& attributes, Set set) {
  store_attributes(attributes, [&](const std::string& name, auto v) {
    if constexpr (std::is_same_v<decltype(v), int64_t>) {
      if (float_field(name)) return set(name, static_cast<double>(v));
    }
    set(name, v);
  });
}

h5run::ChannelSpec channel_spec(const ColumnPlan& p, bool status) {
  h5run::ChannelSpec s;
  s.column = p.column;
  s.kind_source = p.source;
  s.status = status;
  s.values = p.ints ? h5run::ValueType::kInt32 : h5run::ValueType::kFloat64;
  s.pixel_bits = p.pixel_bits;
  switch (p.kind) {
    case Kind::kEmpty:
      s.kind = h5run::Kind::kEmpty;
      break;
    case Kind::kMark:
      s.kind = h5run::Kind::kMark;
      break;
    case Kind::kScalar:
      s.kind = h5run::Kind::kScalar;
      break;
    case Kind::kScalarInt:
      s.kind = h5run::Kind::kScalarInt;
      break;
    case Kind::kPairs:
      s.kind = h5run::Kind::kPairs;
      break;
    case Kind::kSpectrum:
      s.kind = h5run::Kind::kSpectrum;
      break;
    case Kind::kImage:
      s.kind = h5run::Kind::kImage;
      break;
    case Kind::kStructured:
      s.kind = h5run::Kind::kStructured;
      break;
  }
  return s;
}

// The plug-in's words that the table shows; -nostat, -dumpall and --nbunch
// leave no certain trace, so they are never listed.
std::string inferred_options(const std::vector<ColumnPlan>& plans, const Options& o) {
  std::string fti, options = "-hdf5";
  bool names_left_out = false;
  for (const ColumnPlan& p : plans) {
    bool ints = p.ints || (p.kind == Kind::kPairs && (p.profile.evidence & kSawInt));
    if (ints) fti += (fti.empty() ? "" : ";") + p.column;
    if (p.kind == Kind::kPairs && (p.profile.evidence & kSawList) &&
        !(p.profile.evidence & kSawPair)) {
      names_left_out = true;
    }
  }
  if (names_left_out) options += " -nonvn";
  if (!fti.empty()) options += " -fti " + fti;
  if (!o.xml.empty()) options += " -xdump " + o.xml;
  return options;
}

class Converter {
 public:
  Converter(const Options& o, const std::vector<ColumnPlan>& plans, const Header& header,
            h5run::RunWriter* w)
      : o_(o), plans_(plans), header_(header), w_(w), widest_(plans.size()) {
    for (const ColumnPlan& p : plans) {
      int ch = w->add_channel(channel_spec(p, header.status_columns));
      handles_.push_back(ch);
      store_attributes(p.attributes, [&](const std::string& name, auto v) {
        w->set_description_attribute(ch, name, v);
      });
      if (p.kind == Kind::kSpectrum) {
        for (size_t m = 0; m < p.profile.max_groups; ++m) {
          w->reserve_member(ch, static_cast<int>(m), p.profile.max_values[m]);
        }
        // Every member the description has, also one that first comes after
        // the cells the scan looked at; a member that never comes has no
        // dataset, and its attributes are dropped.
        for (size_t m = 0; p.parameters != nullptr && m < p.parameters->spectra.size(); ++m) {
          std::string member = "Member" + std::to_string(m);
          store_parameters(p.parameters->spectra[m], [&](const std::string& name, auto v) {
            w->set_dataset_attribute(ch, member, name, v);
          });
        }
      }
      if (p.kind == Kind::kImage) {
        w->fix_image_shape(ch, p.width, p.height);
        if (p.parameters != nullptr && !p.parameters->frames.empty()) {
          store_parameters(p.parameters->frames[0], [&](const std::string& name, auto v) {
            w->set_dataset_attribute(ch, "Pixels", name, v);
          });
        }
      }
    }
  }

  // Writes column i of a row, whose cell is `cell`.
  void write(const ChannelCell& cc, const Cell& cell, size_t i, Outcome outcome,
             ColumnCounts* counts) {
    const ColumnPlan& p = plans_[i];
    int ch = handles_[i];
    if (header_.status_columns) w_->set_status(ch, cc.srv_status, cc.chan_status);
    w_->set_missing(ch, static_cast<h5run::Missing>(outcome));
    if (outcome != Outcome::kValue) return;
    auto groups = cell.groups();
    if (p.kind == Kind::kSpectrum) {
      std::vector<size_t>& widest = widest_[i];
      if (widest.size() < groups.size()) widest.resize(groups.size(), 0);
      for (size_t m = 0; m < groups.size(); ++m) widest[m] = std::max(widest[m], groups[m].count);
    }
    switch (p.kind) {
      case Kind::kEmpty:
      case Kind::kMark:
      case Kind::kStructured:
        break;
      case Kind::kScalar:
        w_->set_scalar(ch, groups[0].values[0]);
        break;
      case Kind::kScalarInt:
        w_->set_scalar(ch, static_cast<int32_t>(groups[0].values[0]));
        break;
      case Kind::kPairs:
        for (size_t g = 0; g < groups.size(); ++g) {
          // "(null)" is how the plug-in's text shows a pair the host gave no
          // name: named by its place, as the plug-in's own file names it.
          if (groups[g].pair && groups[g].name != "(null)") {
            w_->add_pair(ch, groups[g].name, groups[g].values[0]);
          } else {
            w_->add_pair(ch, "#" + std::to_string(g), groups[g].values[0]);
          }
        }
        break;
      case Kind::kSpectrum:
        for (size_t m = 0; m < groups.size(); ++m) {
          const Group& g = groups[m];
          int member = static_cast<int>(m);
          if (g.failed) {
            w_->set_member_failed(ch, member);
          } else {
            // A null pointer is a failed member; one without values is not.
            static const double kNoValue = 0;
            w_->set_member(ch, member, g.values.empty() ? &kNoValue : g.values.data(),
                           g.values.size());
          }
          for (const Stat& s : g.stats) w_->set_member_stat(ch, member, s.bit, s.value);
        }
        break;
      case Kind::kImage: {
        // Pixels were checked to fit the camera's bits (storable()).
        const std::vector<uint16_t>& v = groups[0].pixels;
        size_t n = v.size();
        if (n == 0 || n != p.width * p.height) {
          --counts->present;
          ++counts->size_differs;
        }
        if (p.pixel_bits == 8) {
          pixels8_.resize(n);
          std::transform(v.begin(), v.end(), pixels8_.begin(),
                         [](uint16_t x) { return static_cast<uint8_t>(x); });
          w_->set_image(ch, pixels8_.data(), n, 1);
        } else {
          w_->set_image(ch, v.data(), n, 1);
        }
        break;
      }
    }
  }

  // What the text held of the float values: the printf conversion each
  // dataset was read from (`text_format`), and for members the description
  // gives more values than the table ever shows, the count it kept
  // (`truncated_to`: the plug-in writes at most --nbunch values a member).
  void mark_text_formats() {
    for (size_t i = 0; i < plans_.size(); ++i) {
      const ColumnPlan& p = plans_[i];
      int ch = handles_[i];
      // Integers alone: a column widened from int32 (-fti text is "%d").
      unsigned e = p.profile.evidence;
      bool ints = (e & kSawInt) && !(e & (kSawFixed | kSawExp0 | kSawExp2 | kSawInvalid));
      if (p.kind == Kind::kScalar) {
        w_->set_dataset_attribute(ch, "Value", "text_format", ints ? "%d" : "%f");
      }
      if (p.kind != Kind::kSpectrum) continue;
      for (size_t m = 0; m < widest_[i].size(); ++m) {
        std::string member = "Member" + std::to_string(m);
        if (!p.ints) w_->set_dataset_attribute(ch, member, "text_format", ints ? "%d" : "%.e");
        w_->set_dataset_attribute(ch, member + "Stats", "text_format", "%e");
        if (p.parameters == nullptr || m >= p.parameters->spectra.size()) continue;
        const Attributes& a = p.parameters->spectra[m];
        long groups = std::max(attribute_int(a, "groups", 1), 1L);
        long values = 0;
        if (__builtin_mul_overflow(attribute_int(a, "ndata", 0), groups, &values)) values = 0;
        size_t kept = widest_[i][m];
        // 0 kept too: --nbunch -1 hides every value.
        if (values > 0 && kept < static_cast<size_t>(values)) {
          w_->set_dataset_attribute(ch, member, "truncated_to", static_cast<int64_t>(kept));
        }
      }
    }
  }

 private:
  const Options& o_;
  const std::vector<ColumnPlan>& plans_;
  const Header& header_;
  h5run::RunWriter* w_;
  std::vector<int> handles_;
  std::vector<uint8_t> pixels8_;
  std::vector<std::vector<size_t>> widest_;  // per column, the most values of each member
};

// The output must not be an input, under any name: compared as files
// (device and inode), so that links and other spellings are found too.
void refuse_overwriting_inputs(const Options& o) {
  struct stat out {};
  if (stat(o.out.c_str(), &out) != 0) return;
  auto same = [&](const std::string& path) {
    struct stat in {};
    return !path.empty() && stat(path.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
           in.st_ino == out.st_ino;
  };
  const char* what = same(o.input) ? "the input table"
                     : same(o.xml) ? "the description file (--xml)"
                                   : nullptr;
  if (what != nullptr) {
    std::fprintf(stderr, "daq-table2h5: %s is %s; choose another output file\n", o.out.c_str(),
                 what);
    std::exit(2);
  }
}

// Flushes standard output; false, with one message, when it could not be
// written (a closed pipe, a full disk).
bool flush_stdout() {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  std::fprintf(stderr, "daq-table2h5: cannot write standard output: %s\n",
               std::strerror(errno != 0 ? errno : EIO));
  return false;
}

struct Scan {
  Header header;
  std::vector<ColumnProfile> profiles;
  uint64_t rows = 0;
  bool drop_last = false;  // a cut last row, left out with --allow-truncated
};

[[noreturn]] void truncated_error(const std::string& table, int line) {
  throw std::runtime_error(table + ": line " + std::to_string(line) +
                           " has no line end: the table is cut or still being written "
                           "(--allow-truncated converts it without its last row)");
}

// The cheap pass: kinds and widths, without converting values. With
// `check`, also the report of --check.
Scan scan(const Options& o, const Description& d, bool check, std::vector<ColumnCounts>* counts,
          uint64_t* short_rows, uint64_t* non_increasing) {
  TableReader reader(o.input, CellParse::kScan);
  Scan s;
  s.header = reader.header();
  size_t n = s.header.channels.size();
  s.profiles.resize(n);
  // A column the description gives spectrum or image parameters for is
  // scanned up to its first cell with data, which tells whether it is one.
  // A camera whose frame header leaves out the pixel size or the frame's
  // shape (bpp, width or height 0) is scanned whole: its largest pixel and
  // most common pixel count decide them, as without a description.
  std::vector<bool> described(n), skip(n);
  for (size_t i = 0; i < n; ++i) {
    auto found = d.parameters.find(base_name(s.header.channels[i]));
    described[i] = found != d.parameters.end() && o.kinds.count(s.header.channels[i]) == 0;
    for (size_t k = 0; described[i] && k < found->second.size(); ++k) {
      if (found->second[k].frames.empty()) continue;
      const Attributes& frame = found->second[k].frames[0];
      long bpp = attribute_int(frame, "bpp", 0);
      described[i] = (bpp == 1 || bpp == 2) && attribute_int(frame, "width", 0) > 0 &&
                     attribute_int(frame, "height", 0) > 0;
    }
  }
  reader.skip_columns(&skip);
  Row row;
  uint64_t last_id = 0;
  while (true) {
    try {
      if (!reader.next(&row)) break;
    } catch (const ParseError&) {
      if (!reader.line_unterminated()) throw;
      if (!o.allow_truncated) truncated_error(o.table, reader.line());
      s.drop_last = true;
      break;
    }
    if (row.unterminated) {
      if (!o.allow_truncated) truncated_error(o.table, row.line);
      // A separator last: the writer stopped before the last cell, or
      // before the line end; either way the row is not known to be whole.
      if (row.short_row || row.ends_with_separator) {
        s.drop_last = true;
        break;
      }
    }
    ++s.rows;
    for (size_t i = 0; i < n; ++i) {
      if (skip[i]) continue;
      profile_cell(row.channels[i].cell, &s.profiles[i]);
      // A first cell of empty members tells neither -fti nor widths: the scan
      // goes on to a cell with values.
      if (described[i] && row.channels[i].cell.form == CellForm::kList &&
          std::any_of(row.channels[i].cell.groups().begin(), row.channels[i].cell.groups().end(),
                      [](const Group& g) { return g.count > 0; })) {
        skip[i] = true;
      }
    }
    if (!check) continue;
    if (row.short_row) {
      ++*short_rows;
      std::printf("line %d: event %" PRIu64 ": wrong cell count: %s\n", row.line, row.event_id,
                  cut_row_text(s.header, row.cells).c_str());
    }
    if (s.rows > 1 && row.event_id <= last_id && ++*non_increasing <= kMaxListed) {
      std::printf("line %d: event ID %" PRIu64 " does not follow %" PRIu64 "\n", row.line,
                  row.event_id, last_id);
    }
    last_id = row.event_id;
    (void)counts;
  }
  if (s.drop_last) {
    std::fprintf(stderr, "daq-table2h5: warning: %s: the last row is cut (no line end); left out\n",
                 o.table.c_str());
  }
  return s;
}

int run(const Options& o) {
  Description description;
  if (!o.xml.empty()) description = read_description(o.xml);
  if (!o.check) refuse_overwriting_inputs(o);

  std::vector<ColumnCounts> counts;
  uint64_t short_rows = 0, non_increasing = 0;
  Scan s = scan(o, description, false, &counts, &short_rows, &non_increasing);
  std::vector<ColumnPlan> plans = make_plans(s.header, s.profiles, description, o);
  counts.assign(plans.size(), ColumnCounts());

  // Second pass: every value parsed once, written, and what is missing
  // counted. Cells are parsed one at a time, into one cell, so that a row of
  // many cameras never holds more than one of them parsed.
  TableReader reader(o.input, CellParse::kText);
  Cell cell;
  std::unique_ptr<h5run::RunWriter> writer;
  std::unique_ptr<Converter> converter;
  if (!o.check) {
    if (!h5run::codec_available(o.codec)) {
      throw std::runtime_error(o.codec == h5run::Codec::kLz4
                                   ? "the HDF5 filter of --codec lz4 (32004, Debian package "
                                     "hdf5-filter-plugin) is not installed; use --codec gzip"
                                   : "the HDF5 filter of --codec bslz4 (bitshuffle, 32008) is not "
                                     "installed; use --codec gzip or lz4");
    }
    h5run::Options wo;
    wo.codec = o.codec;
    wo.gzip_level = o.gzip_level;
    wo.memory_bound = o.memory;
    wo.fill = o.fill;
    // The event status column exists with the table's status columns, also
    // in a table of no rows.
    wo.event_status = s.header.status_columns;
    // No signal between making the temporary file and noting its name.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &old);
    writer = std::make_unique<h5run::RunWriter>(o.out, wo);
    std::snprintf(g_temp, sizeof g_temp, "%s", writer->temp_path().c_str());
    sigprocmask(SIG_SETMASK, &old, nullptr);
    writer->set_attribute("source_file", o.table);
    if (!o.xml.empty()) writer->set_attribute("description_file", o.xml);
    writer->set_attribute("plugin_options", inferred_options(plans, o));
    writer->set_attribute("plugin_options_inferred", uint8_t{1});
    writer->set_attribute("status_columns", uint8_t{s.header.status_columns});
    converter = std::make_unique<Converter>(o, plans, s.header, writer.get());
  }
  uint64_t seen = 0, last_id = 0;
  Row row;
  while (seen < s.rows && reader.next(&row)) {
    settle_last_cell(plans, &row);
    if (row.short_row) {
      ++short_rows;
      if (o.check) {
        std::printf("line %d: event %" PRIu64 ": wrong cell count: %s\n", row.line, row.event_id,
                    cut_row_text(s.header, row.cells).c_str());
      }
    }
    if (seen++ > 0 && row.event_id <= last_id && ++non_increasing <= kMaxListed) {
      std::printf("line %d: event ID %" PRIu64 " does not follow %" PRIu64 "\n", row.line,
                  row.event_id, last_id);
    }
    last_id = row.event_id;
    if (writer) {
      h5run::EventColumns e;
      e.id = row.event_id;
      e.sec = row.sec;
      e.usec = row.usec;
      e.iso = row.iso;
      if (s.header.status_columns) e.status = row.ev_status;
      writer->begin_event(e);
    }
    for (size_t i = 0; i < plans.size(); ++i) {
      const ChannelCell& cc = row.channels[i];
      Kind kind = plans[i].kind;
      if (cc.absent) {
        cell.clear();
      } else {
        parse_cell(cc.text, row.line, cc.column, &cell, values_for(kind, cc.text));
        // A long cell in a column of one value is classified before its
        // numbers are kept: a bogus line of millions of them stays text.
        if (takes_one_value(kind) && classify(cell, kind) == Outcome::kValue &&
            cell.groups()[0].values.empty()) {
          parse_cell(cc.text, row.line, cc.column, &cell, Values::kDoubles);
        }
      }
      Outcome outcome = classify(cell, kind);
      if (outcome == Outcome::kValue && !storable(cell, plans[i])) outcome = Outcome::kOtherKind;
      tally(outcome, cell, kind, &counts[i]);
      if (converter) converter->write(cc, cell, i, outcome, &counts[i]);
    }
    if (writer) writer->end_event();
  }
  if (writer) {
    for (size_t i = 0; i < plans.size(); ++i) {
      const ColumnCounts& n = counts[i];
      auto set = [&](const char* name, uint64_t v) {
        writer->set_channel_attribute(static_cast<int>(i), name, v);
      };
      set("cells_present", n.present);
      set("cells_empty", n.empty);
      set("cells_not_found", n.not_found);
      set("cells_no_image", n.no_image);
      set("values_invalid", n.invalid);
      set("cells_cut_short", n.cut_short);
      set("cells_other_kind", n.other_kind);
      set("cells_size_differs", n.size_differs);
    }
    writer->set_attribute("rows_with_wrong_cell_count", short_rows);
    converter->mark_text_formats();
    // The file is whole before anything more goes to standard output, which
    // may be a pipe that is already closed.
    try {
      writer->commit();
    } catch (...) {
      print_summary(o, plans, counts, seen, short_rows, non_increasing);
      throw;
    }
    g_temp[0] = '\0';
    print_summary(o, plans, counts, seen, short_rows, non_increasing);
    std::printf("wrote %s\n", summary_name(o.out).c_str());
    return flush_stdout() ? 0 : 3;
  }
  print_summary(o, plans, counts, seen, short_rows, non_increasing);
  if (!flush_stdout()) return 3;
  uint64_t other = 0;
  for (const ColumnCounts& c : counts) other += c.other_kind;
  return short_rows + non_increasing + other > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard output or error would pass its number to the next file
  // opened, the run file itself; /dev/null holds the place (read-only for
  // output, so that writing it fails and is reported).
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      if (open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY) != fd) return 2;
    }
  }
  // A closed pipe on standard output is a failed write, reported at the end;
  // the run file is written all the same.
  signal(SIGPIPE, SIG_IGN);
  Options o = parse_options(argc, argv);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  try {
    return run(o);
  } catch (const ParseError& e) {
    std::fprintf(stderr, "daq-table2h5: %s: %s\n", o.table.c_str(), e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daq-table2h5: %s\n", e.what());
  }
  return 2;
}
