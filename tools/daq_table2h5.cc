// daq-table2h5: converts a table file written in HDF5 conversion mode (and,
// when given, the XML description file of the same run) into one HDF5 file,
// and reports the cells that carried no data.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "table2h5/h5_writer.h"
#include "table2h5/table_reader.h"

namespace {

using namespace table2h5;

constexpr const char* kUsage =
    "usage: daq-table2h5 [-o OUT.h5] [--xml DESCR.xml] [--fill VALUE] [--kind COLUMN=KIND]...\n"
    "                    TABLE\n"
    "       daq-table2h5 --check [--xml DESCR.xml] [--kind COLUMN=KIND]... TABLE\n"
    "KIND: empty, mark, scalar, int, pairs, spectrum or image (the cell writer of a column\n"
    "whose cells alone do not tell it).\n";

constexpr int kMaxListed = 10;  // non-increasing event IDs printed one by one

struct Options {
  std::string table;
  std::string out;
  std::string xml;
  double fill = std::numeric_limits<double>::quiet_NaN();
  bool check = false;
  std::map<std::string, Kind> kinds;
};

[[noreturn]] void usage_error(const std::string& reason) {
  std::fprintf(stderr, "daq-table2h5: %s\n%s", reason.c_str(), kUsage);
  std::exit(2);
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string w = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage_error(w + " needs a value");
      return argv[++i];
    };
    if (w == "-o") {
      o.out = value();
    } else if (w == "--xml") {
      o.xml = value();
    } else if (w == "--check") {
      o.check = true;
    } else if (w == "--fill") {
      std::string v = value();
      char* end = nullptr;
      o.fill = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0') usage_error("--fill needs a number, not \"" + v + "\"");
    } else if (w == "--kind") {
      std::string v = value();
      size_t eq = v.rfind('=');
      Kind kind;
      if (eq == std::string::npos || !kind_from_name(v.substr(eq + 1), &kind)) {
        usage_error("--kind needs COLUMN=KIND, not \"" + v + "\"");
      }
      o.kinds[v.substr(0, eq)] = kind;
    } else if (w == "-h" || w == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (!w.empty() && w[0] == '-') {
      usage_error("unknown option " + w);
    } else if (o.table.empty()) {
      o.table = w;
    } else {
      usage_error("more than one table file");
    }
  }
  if (o.table.empty()) usage_error("no table file");
  if (o.out.empty()) {
    size_t slash = o.table.rfind('/');
    size_t dot = o.table.rfind('.');
    bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    o.out = (has_ext ? o.table.substr(0, dot) : o.table) + ".h5";
  }
  return o;
}

// Parameters of the description go to the columns of the same channel name in
// order; a column whose cells rule out spectra and images takes none.
std::vector<ColumnPlan> make_plans(const Header& header, const std::vector<ColumnProfile>& profiles,
                                   const Description& d, const Options& o) {
  std::map<std::string, size_t> taken;
  std::vector<ColumnPlan> plans(header.channels.size());
  for (size_t i = 0; i < plans.size(); ++i) {
    ColumnPlan& p = plans[i];
    p.column = header.channels[i];
    p.profile = profiles[i];
    std::string base = base_name(p.column);
    if (auto c = d.channels.find(base); c != d.channels.end()) p.attributes = c->second;
    Kind hint = Kind::kEmpty;
    auto params = d.parameters.find(base);
    bool excluded = p.profile.evidence & (kSawMark | kSawPair | kSawFixed | kSawExp2);
    if (params != d.parameters.end() && !excluded && taken[base] < params->second.size()) {
      p.parameters = &params->second[taken[base]++];
      hint = !p.parameters->frames.empty()    ? Kind::kImage
             : !p.parameters->spectra.empty() ? Kind::kSpectrum
                                              : Kind::kEmpty;
    }
    auto forced = o.kinds.find(p.column);
    p.kind = forced != o.kinds.end() ? forced->second : infer_kind(p.profile, hint);
  }
  return plans;
}

void print_summary(const Options& o, const std::vector<ColumnPlan>& plans,
                   const std::vector<ColumnCounts>& counts, uint64_t rows, uint64_t short_rows,
                   uint64_t non_increasing) {
  std::printf("%s: %" PRIu64 " events, %zu channels, %" PRIu64
              " rows with a wrong cell count, %" PRIu64 " non-increasing event IDs\n",
              o.table.c_str(), rows, plans.size(), short_rows, non_increasing);
  std::printf("%-24s %-8s %9s %7s %9s %8s %7s %9s %10s\n", "channel", "kind", "present", "empty",
              "not-found", "no-image", "invalid", "cut-short", "other-kind");
  for (size_t i = 0; i < plans.size(); ++i) {
    const ColumnCounts& c = counts[i];
    std::printf("%-24s %-8s %9" PRIu64 " %7" PRIu64 " %9" PRIu64 " %8" PRIu64 " %7" PRIu64
                " %9" PRIu64 " %10" PRIu64 "\n",
                plans[i].column.c_str(), kind_name(plans[i].kind), c.present, c.empty, c.not_found,
                c.no_image, c.invalid, c.cut_short, c.other_kind);
  }
}

// Only structured-data channels and colour images leave a cell empty; an
// empty last cell of any other column is a row cut short before it.
void settle_last_cell(const std::vector<ColumnPlan>& plans, Row* row) {
  Kind kind = plans.back().kind;
  if (row->ends_with_separator && kind != Kind::kEmpty && kind != Kind::kImage) {
    row->channels.back().cell = Cell();
    row->short_row = true;
  }
}

int run(const Options& o) {
  Description description;
  if (!o.xml.empty()) description = read_description(o.xml);

  // First pass: the kind of every column and the widths of its datasets.
  TableReader first(o.table);
  const Header& header = first.header();
  std::vector<ColumnProfile> profiles(header.channels.size());
  uint64_t rows = 0;
  size_t iso_width = 0;
  Row row;
  while (first.next(&row)) {
    ++rows;
    iso_width = std::max(iso_width, row.iso.size());
    for (size_t i = 0; i < profiles.size(); ++i) profile_cell(row.channels[i].cell, &profiles[i]);
  }
  std::vector<ColumnPlan> plans = make_plans(header, profiles, description, o);

  // Second pass: write, and count what is missing.
  TableReader second(o.table);
  std::unique_ptr<H5Writer> writer;
  if (!o.check) {
    RunInfo info{o.table, o.xml, rows, iso_width, o.fill};
    writer = std::make_unique<H5Writer>(o.out, second.header(), plans, info);
  }
  std::vector<ColumnCounts> counts(plans.size());
  uint64_t short_rows = 0, non_increasing = 0, seen = 0, last_id = 0;
  while (second.next(&row)) {
    settle_last_cell(plans, &row);
    if (row.short_row) {
      ++short_rows;
      if (o.check)
        std::printf("line %d: event %" PRIu64 ": wrong cell count\n", row.line, row.event_id);
    }
    if (seen++ > 0 && row.event_id <= last_id && ++non_increasing <= kMaxListed) {
      std::printf("line %d: event ID %" PRIu64 " does not follow %" PRIu64 "\n", row.line,
                  row.event_id, last_id);
    }
    last_id = row.event_id;
    for (size_t i = 0; i < plans.size(); ++i)
      tally(row.channels[i].cell, plans[i].kind, &counts[i]);
    if (writer) writer->append(row);
  }
  print_summary(o, plans, counts, rows, short_rows, non_increasing);
  if (writer) {
    writer->commit(counts, short_rows);
    std::printf("wrote %s\n", o.out.c_str());
    return 0;
  }
  uint64_t other = 0;
  for (const ColumnCounts& c : counts) other += c.other_kind;
  return short_rows + non_increasing + other > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse_options(argc, argv);
  try {
    return run(o);
  } catch (const ParseError& e) {
    std::fprintf(stderr, "daq-table2h5: %s: %s\n", o.table.c_str(), e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daq-table2h5: %s\n", e.what());
  }
  return 2;
}
