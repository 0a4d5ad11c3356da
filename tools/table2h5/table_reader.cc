#include "table2h5/table_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <tuple>

namespace table2h5 {

namespace {

struct Number {
  double value = 0;
  int64_t integer = 0;
  unsigned form = kInt;
};

std::string where(int line, int column, const std::string& what) {
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
}

bool is_integer(std::string_view s) {
  size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

bool parse_int64(std::string_view s, int64_t* v) {
  if (!is_integer(s)) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
  return ec == std::errc() && end == s.data() + s.size();
}

// Numbers printed with "%d" from 32-bit words may show as negative; the
// words themselves are unsigned, so a negative text is taken modulo 2^32.
bool parse_word32(std::string_view s, uint32_t* v) {
  int64_t x = 0;
  if (!parse_int64(s, &x) || x < INT32_MIN || x > UINT32_MAX) return false;
  *v = static_cast<uint32_t>(x);
  return true;
}

// 2024 IDs are printed with "%lu", 2010 IDs with "%d", so they show as
// negative from 2^31 on.
bool parse_event_id(std::string_view s, uint64_t* id) {
  if (!s.empty() && s[0] == '-') {
    int64_t x = 0;
    if (!parse_int64(s, &x) || x < INT32_MIN) return false;
    *id = static_cast<uint64_t>(x + (int64_t{1} << 32));
    return true;
  }
  if (!is_integer(s)) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *id);
  return ec == std::errc() && end == s.data() + s.size();
}

// Powers of ten that a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The printf forms "%f", "%.2e" and "%.e" with at most 15 digits and a
// decimal exponent within 22: the digits and the power of ten are exact
// doubles, so one multiplication or division rounds the decimal value
// correctly, as std::from_chars does. False for anything else.
bool fast_decimal(const char* p, const char* e, Number* n, bool convert) {
  bool negative = p < e && *p == '-';
  const char* q = p + (negative ? 1 : 0);
  uint64_t m = 0;
  int digits = 0, fraction = 0;
  bool dot = false, exp = false;
  const char* first = q;
  while (q < e && static_cast<unsigned>(*q - '0') < 10)
    m = m * 10 + static_cast<unsigned>(*q++ - '0');
  digits = static_cast<int>(q - first);
  if (digits == 0) return false;
  if (q < e && *q == '.') {
    dot = true;
    const char* f = ++q;
    while (q < e && static_cast<unsigned>(*q - '0') < 10)
      m = m * 10 + static_cast<unsigned>(*q++ - '0');
    fraction = static_cast<int>(q - f);
    digits += fraction;
  }
  int exponent = 0;
  if (q < e && (*q == 'e' || *q == 'E')) {
    exp = true;
    ++q;
    bool minus = q < e && *q == '-';
    if (q < e && (*q == '-' || *q == '+')) ++q;
    const char* x = q;
    while (q < e && static_cast<unsigned>(*q - '0') < 10 && q - x < 4)
      exponent = exponent * 10 + (*q++ - '0');
    if (q == x) return false;
    if (minus) exponent = -exponent;
  }
  if (q != e || digits > 15 || (!dot && !exp)) return false;
  int k = exponent - fraction;
  if (k < -22 || k > 22) return false;
  n->form = exp ? (dot ? kExp2 : kExp0) : kFixed;
  if (convert) {
    double v = static_cast<double>(m);
    v = k >= 0 ? v * kExactPowers[k] : v / kExactPowers[-k];
    n->value = negative ? -v : v;
  }
  return true;
}

// Classifies (and with `convert`, converts) one number of a cell.
bool parse_number(std::string_view s, Number* n, bool convert) {
  if (s.empty()) return false;
  const char* p = s.data();
  const char* e = p + s.size();
  const char* digits = (*p == '-' || *p == '+') ? p + 1 : p;
  // Integers are the bulk of image cells: a plain loop.
  if (digits < e && static_cast<size_t>(e - digits) <= 18) {
    int64_t x = 0;
    const char* q = digits;
    while (q < e && static_cast<unsigned>(*q - '0') < 10) x = x * 10 + (*q++ - '0');
    if (q == e && *p != '+') {
      n->form = kInt;
      n->integer = *p == '-' ? -x : x;
      n->value = static_cast<double>(n->integer);
      return true;
    }
  }
  if (fast_decimal(p, e, n, convert)) return true;
  if (s == "Invalid") {
    *n = {std::numeric_limits<double>::quiet_NaN(), 0, kInvalid};
    return true;
  }
  std::string_view mag(digits, static_cast<size_t>(e - digits));
  if (mag == "nan" || mag == "inf") {
    double v = mag == "inf" ? std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::quiet_NaN();
    *n = {*p == '-' ? -v : v, 0, kNonFinite};
    return true;
  }
  if (mag.empty() || !std::isdigit(static_cast<unsigned char>(mag[0]))) return false;
  bool exp = false, dot = false;
  for (char c : mag) {
    if (c == 'e' || c == 'E') exp = true;
    if (c == '.') dot = true;
  }
  n->form = exp ? (dot ? kExp2 : kExp0) : kFixed;
  if (!convert) {
    // Checked but not converted: digits, one dot, an exponent.
    for (char c : mag) {
      if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != 'e' && c != 'E' &&
          c != '+' && c != '-') {
        return false;
      }
    }
    return true;
  }
  auto [end, ec] = std::from_chars(s.data(), e, n->value);
  return ec == std::errc() && end == e;
}

// "[bit]:value" of a spectrum statistic; false when `s` is not one.
bool parse_stat(std::string_view s, Stat* stat) {
  size_t close = s.find("]:");
  if (s.size() < 4 || s[0] != '[' || close == std::string_view::npos) return false;
  int64_t bit = 0;
  Number n;
  if (!parse_int64(s.substr(1, close - 1), &bit) || bit < 0 || bit > 31) return false;
  if (!parse_number(s.substr(close + 2), &n, true)) return false;
  *stat = {static_cast<int>(bit), n.value};
  return true;
}

// Index of the ']' closing the '[' at `open`, or npos. Cells are long and
// brackets few: memchr finds them.
size_t closing_bracket(std::string_view s, size_t open) {
  const char* b = s.data();
  const char* e = b + s.size();
  auto find = [e](const char* from, char c) {
    const void* q = std::memchr(from, c, static_cast<size_t>(e - from));
    return q != nullptr ? static_cast<const char*>(q) : e;
  };
  const char* p = b + open + 1;
  const char* next_open = find(p, '[');
  int depth = 1;
  while (p < e) {
    const char* close = find(p, ']');
    if (close == e) break;
    while (next_open < close) {
      ++depth;
      next_open = find(next_open + 1, '[');
    }
    if (--depth == 0) return static_cast<size_t>(close - b);
    p = close + 1;
  }
  return std::string_view::npos;
}

void add_number(Group* g, const Number& n, Values values) {
  if (values == Values::kDoubles) {
    g->values.push_back(n.value);
  } else if (values == Values::kPixels && n.form == kInt && n.integer >= 0 && n.integer <= 65535) {
    g->pixels.push_back(static_cast<uint16_t>(n.integer));
  }
  if (n.form == kInt) {
    if (!(g->forms & kInt)) g->min_int = g->max_int = n.integer;
    g->min_int = std::min(g->min_int, n.integer);
    g->max_int = std::max(g->max_int, n.integer);
  }
  if (n.form & (kInvalid | kNonFinite)) ++g->invalid;
  g->forms |= n.form;
  ++g->count;
}

void parse_group(std::string_view content, int line, int column, Group* g, Values values) {
  if (content.empty()) return;
  const bool convert = values == Values::kDoubles;
  size_t colon = content.rfind(':');
  Number n;
  if (content[0] != ' ' && content[0] != '[' && colon != std::string_view::npos &&
      parse_number(content.substr(colon + 1), &n, convert)) {
    g->pair = true;
    g->name.assign(content.data(), colon);
    add_number(g, n, values);
    return;
  }
  const char* base = content.data();
  const char* p = base;
  const char* e = base + content.size();
  while (p < e) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    // Unsigned integers (pixels, -fti values) straight from the text.
    if (static_cast<unsigned>(*p - '0') < 10) {
      const char* q = p;
      int64_t x = 0;
      while (q < e && static_cast<unsigned>(*q - '0') < 10 && q - p < 18) x = x * 10 + (*q++ - '0');
      if (q == e || *q == ' ') {
        if (convert) {
          g->values.push_back(static_cast<double>(x));
        } else if (values == Values::kPixels) {
          // Larger values make the group no image: their pixel is never used.
          g->pixels.push_back(static_cast<uint16_t>(std::min<int64_t>(x, 65535)));
        }
        if (!(g->forms & kInt)) g->min_int = g->max_int = x;
        g->min_int = std::min(g->min_int, x);
        g->max_int = std::max(g->max_int, x);
        g->forms |= kInt;
        ++g->count;
        p = q;
        continue;
      }
    }
    // "%.e" values, the bulk of spectra: a digit, 'e', a signed two-digit
    // exponent (exact for exponents within 22, like fast_decimal).
    const char* d = p + (*p == '-' ? 1 : 0);
    if (e - d >= 5 && static_cast<unsigned>(d[0] - '0') < 10 && d[1] == 'e' &&
        (d[2] == '+' || d[2] == '-') && static_cast<unsigned>(d[3] - '0') < 10 &&
        static_cast<unsigned>(d[4] - '0') < 10 && (e - d == 5 || d[5] == ' ')) {
      int x = (d[3] - '0') * 10 + (d[4] - '0');
      if (x <= 22) {
        if (convert) {
          double v = d[0] - '0';
          v = d[2] == '+' ? v * kExactPowers[x] : v / kExactPowers[x];
          g->values.push_back(d != p ? -v : v);
        }
        g->forms |= kExp0;
        ++g->count;
        p = d + 5;
        continue;
      }
    }
    const char* q = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(e - p)));
    if (q == nullptr) q = e;
    if (*p != '[' && fast_decimal(p, q, &n, convert)) {
      add_number(g, n, values);
      p = q;
      continue;
    }
    std::string_view word(p, static_cast<size_t>(q - p));
    int col = column + static_cast<int>(p - base);
    if (word[0] == '[') {
      Stat stat;
      if (g->count > 0 || !parse_stat(word, &stat)) {
        throw ParseError(line, col, "bad statistic " + quoted(word));
      }
      g->stats.push_back(stat);
    } else {
      if (!parse_number(word, &n, convert)) {
        throw ParseError(line, col, "not a number: " + quoted(word));
      }
      add_number(g, n, values);
    }
    p = q;
  }
}

}  // namespace

std::string quoted(std::string_view token) {
  constexpr size_t kShown = 60;
  size_t cut = std::min(token.size(), kShown);
  // Not inside a UTF-8 sequence (of at most four bytes).
  for (int k = 0; k < 3 && cut > 0 && cut < token.size() &&
                  (static_cast<unsigned char>(token[cut]) & 0xC0) == 0x80;
       ++k) {
    --cut;
  }
  std::string out = nlohmann::json(std::string(token.substr(0, cut)))
                        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (cut < token.size()) out += "... (" + std::to_string(token.size()) + " bytes)";
  return out;
}

ParseError::ParseError(int line, int column, const std::string& what)
    : std::runtime_error(where(line, column, what)), line_(line), column_(column) {}

void Group::clear() {
  failed = pair = false;
  name.clear();
  stats.clear();
  values.clear();
  pixels.clear();
  count = 0;
  forms = 0;
  min_int = max_int = 0;
  invalid = 0;
}

Group& Cell::add() {
  if (size_ == groups_.size()) groups_.emplace_back();
  Group& g = groups_[size_++];
  g.clear();
  return g;
}

Cell parse_cell(std::string_view text, int line, int column) {
  Cell cell;
  parse_cell(text, line, column, &cell, Values::kDoubles);
  return cell;
}

void parse_cell(std::string_view text, int line, int column, Cell* cell, Values values) {
  cell->clear();
  if (text.empty()) {
    cell->form = CellForm::kEmpty;
    return;
  }
  if (text == "1\t") {
    cell->form = CellForm::kMark;
    return;
  }
  if (text == "[]") {
    cell->form = CellForm::kBare;
    return;
  }
  if (text.size() < 2 || text.front() != '[' || closing_bracket(text, 0) != text.size() - 1) {
    throw ParseError(line, column, "unexpected cell " + quoted(text));
  }
  cell->form = CellForm::kList;
  // Statistics of an empty member stand before its "[]".
  Stat pending[32];
  size_t pending_count = 0;
  size_t i = 1;
  size_t end = text.size() - 1;
  Group* last = nullptr;
  while (i < end) {
    int col = column + static_cast<int>(i);
    char c = text[i];
    if (c == ' ') {
      ++i;
    } else if (c == ',') {
      if (last == nullptr || last->failed || last->pair || last->count > 0 ||
          !last->stats.empty()) {
        throw ParseError(line, col, "',' inside a cell must follow an empty member");
      }
      last->failed = true;
      ++i;
    } else if (c == '[') {
      size_t close = closing_bracket(text, i);
      if (close == std::string_view::npos || close >= end) {
        throw ParseError(line, col, "unclosed '['");
      }
      if (close + 1 < end && text[close + 1] == ':') {
        size_t stop = text.find(' ', close);
        if (stop == std::string_view::npos || stop > end) stop = end;
        Stat stat;
        if (!parse_stat(text.substr(i, stop - i), &stat) || pending_count == 32) {
          throw ParseError(line, col, "bad statistic");
        }
        pending[pending_count++] = stat;
        i = stop;
        continue;
      }
      Group& g = cell->add();
      parse_group(text.substr(i + 1, close - i - 1), line, col + 1, &g, values);
      if (pending_count > 0) {
        if (g.count > 0 || !g.stats.empty() || g.pair) {
          throw ParseError(line, col, "statistics outside a member with data");
        }
        g.stats.assign(pending, pending + pending_count);
        pending_count = 0;
      }
      last = &g;
      i = close + 1;
    } else {
      throw ParseError(line, col, "unexpected " + quoted(std::string_view(&c, 1)) + " in a cell");
    }
  }
  if (pending_count > 0) {
    throw ParseError(line, column + static_cast<int>(end), "statistics without a member");
  }
}

Header parse_header(std::string_view line) {
  std::vector<std::pair<std::string_view, int>> names;
  size_t start = 0;
  while (true) {
    size_t comma = line.find(',', start);
    names.emplace_back(line.substr(start, comma - start), static_cast<int>(start) + 1);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (line.substr(0, 8) == "EventId\t") {
    throw ParseError(1, 8, "a tab-mode table; only tables written with -hdf5 can be converted");
  }
  const char* fixed[] = {"EventId", "Time", "TimeISO"};
  for (size_t k = 0; k < 3; ++k) {
    if (k >= names.size() || names[k].first != fixed[k]) {
      int col = k < names.size() ? names[k].second : static_cast<int>(line.size()) + 1;
      throw ParseError(1, col, std::string("expected the column \"") + fixed[k] + "\"");
    }
  }
  Header h;
  h.status_columns =
      names.size() > 4 && names[3].first == "EvHeadStatus" && names[4].first == "SrvBlockStatus";
  size_t k = h.event_cells();
  while (k < names.size()) {
    if (h.status_columns) {
      if (names[k].first != "SrvBlockStatus" || k + 1 >= names.size() ||
          names[k + 1].first != "ChanStatus" || k + 2 >= names.size()) {
        throw ParseError(1, names[k].second, "expected SrvBlockStatus, ChanStatus and a channel");
      }
      k += 2;
    }
    if (names[k].first.empty()) throw ParseError(1, names[k].second, "empty column name");
    h.channels.emplace_back(names[k].first);
    ++k;
  }
  if (h.channels.empty()) throw ParseError(1, static_cast<int>(line.size()) + 1, "no channels");
  return h;
}

std::string cut_row_text(const Header& h, size_t cells) {
  size_t expected = h.cells_per_row();
  if (cells > expected) {
    return "row has " + std::to_string(cells) + " cells, not " + std::to_string(expected);
  }
  if (cells <= 1) return "row ends before its time";
  if (cells == 2) return "row ends before its ISO time";
  if (cells == 3 && h.status_columns) return "row ends before its event status word";
  size_t per = h.status_columns ? 3 : 1;
  size_t k = cells - h.event_cells();
  const std::string& column = h.channels[std::min(k / per, h.channels.size() - 1)];
  switch (h.status_columns ? k % per : 0) {
    case 1:
      return "row ends after the server-block status word of column " + column +
             ", before its channel status word";
    case 2:
      return "row ends after the status words of column " + column + ", before its cell";
    default:
      return std::string("row ends before the ") + (h.status_columns ? "status words" : "cell") +
             " of column " + column;
  }
}

TableReader::TableReader(const std::string& path, CellParse parse)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), parse_(parse) {
  if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  try {
    size_ = size_t{1} << 20;
    buf_ = static_cast<char*>(std::malloc(size_));
    if (buf_ == nullptr) throw std::bad_alloc();
    posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (!next_line()) throw ParseError(1, 1, "empty table file");
    header_ = parse_header(line_);
  } catch (...) {
    release();
    throw;
  }
}

TableReader::~TableReader() { release(); }

void TableReader::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  std::free(buf_);
  buf_ = nullptr;
}

// The next line into line_, without its line end; the bytes stay in buf_
// until the following call.
bool TableReader::next_line() {
  while (true) {
    const char* from = buf_ + begin_;
    const void* nl = std::memchr(from, '\n', end_ - begin_);
    if (nl != nullptr || (eof_ && end_ > begin_)) {
      size_t len =
          nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - from) : end_ - begin_;
      line_terminated_ = nl != nullptr;
      line_ = std::string_view(from, len);
      begin_ += len + (nl != nullptr ? 1 : 0);
      consumed_ += len + (nl != nullptr ? 1 : 0);
      ++line_no_;
      if (!line_.empty() && line_.back() == '\r') line_.remove_suffix(1);
      return true;
    }
    if (eof_) return false;
    // Keep the partial line, make room, read on.
    std::memmove(buf_, buf_ + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (end_ == size_) {
      void* more = std::realloc(buf_, size_ * 2);
      if (more == nullptr) throw std::bad_alloc();
      buf_ = static_cast<char*>(more);
      size_ *= 2;
    }
    ssize_t n = ::read(fd_, buf_ + end_, size_ - end_);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("cannot read the table: ") + std::strerror(errno));
    }
    if (n == 0) eof_ = true;
    end_ += static_cast<size_t>(n);
  }
}

// Cells end at the commas outside brackets. Lines are long and brackets,
// commas few, so memchr finds each next one; a found position stays valid
// until the scan passes it.
void TableReader::split_line() {
  cells_.clear();
  cursor_ = 0;
  const char* b = line_.data();
  const char* e = b + line_.size();
  auto find = [e](const char* from, char c) {
    const void* q = std::memchr(from, c, static_cast<size_t>(e - from));
    return q != nullptr ? static_cast<const char*>(q) : e;
  };
  auto column = [b](const char* at) { return static_cast<int>(at - b) + 1; };
  const char* next_open = find(b, '[');
  const char* next_close = find(b, ']');
  const char* next_comma = find(b, ',');
  const char* start = b;
  const char* p = b;
  while (true) {
    if (next_comma < p) next_comma = find(p, ',');
    if (next_close < p) next_close = find(p, ']');
    if (next_close < next_comma && next_close < next_open) {
      throw ParseError(line_no_, column(next_close), "unmatched ']'");
    }
    if (next_open < next_comma) {
      const char* outer = next_open;
      const char* q = outer + 1;
      next_open = find(q, '[');
      for (int depth = 1; depth > 0; q = next_close + 1, --depth) {
        next_close = find(q, ']');
        if (next_close == e) throw ParseError(line_no_, column(outer), "unclosed '['");
        while (next_open < next_close) {
          ++depth;
          next_open = find(next_open + 1, '[');
        }
      }
      p = q;
      continue;
    }
    cells_.emplace_back(std::string_view(start, static_cast<size_t>(next_comma - start)),
                        column(start));
    if (next_comma == e) break;
    start = p = next_comma + 1;
  }
}

bool TableReader::next(Row* row) {
  while (cursor_ >= cells_.size()) {
    if (!next_line()) return false;
    if (line_.empty()) throw ParseError(line_no_, 1, "empty line");
    split_line();
  }
  // A row runs to the next event ID: no cell and no status word is a plain
  // integer, so one marks where a row cut short by a failed event ends.
  size_t first = cursor_;
  size_t last = first + 1;
  while (last < cells_.size() && !is_integer(cells_[last].first)) ++last;
  cursor_ = last;
  size_t count = last - first;
  size_t expected = header_.cells_per_row();
  // A line that stopped short ends with the separator of its last cell.
  bool trailing = last == cells_.size() && count > 1 && cells_[last - 1].first.empty();
  if (count < expected && trailing) --count;

  row->line = line_no_;
  row->ends_with_separator = trailing && count == expected;
  row->short_row = count != expected;
  row->cells = count;
  row->unterminated = !line_terminated_ && last == cells_.size();
  row->ev_status = 0;
  auto cell = [&](size_t k) { return cells_[first + k]; };
  auto need = [&](size_t k) {
    if (k >= count) {
      int col = static_cast<int>(line_.size()) + 1;
      throw ParseError(line_no_, col, cut_row_text(header_, count));
    }
    return cell(k);
  };
  auto [id_text, id_col] = cell(0);
  if (!parse_event_id(id_text, &row->event_id)) {
    throw ParseError(line_no_, id_col, "bad event ID " + quoted(id_text));
  }
  auto [time_text, time_col] = need(1);
  size_t colon = time_text.find(':');
  if (colon == std::string_view::npos || !parse_word32(time_text.substr(0, colon), &row->sec) ||
      !parse_word32(time_text.substr(colon + 1), &row->usec)) {
    throw ParseError(line_no_, time_col, "bad time " + quoted(time_text));
  }
  row->iso = need(2).first;
  auto hex = [&](size_t k, uint32_t* v) {
    auto [text, col] = cell(k);
    uint64_t x = 0;
    auto [end, ec] = std::from_chars(text.data() + std::min<size_t>(2, text.size()),
                                     text.data() + text.size(), x, 16);
    if (text.substr(0, 2) != "0x" || text.size() < 3 || ec != std::errc() ||
        end != text.data() + text.size() || x > UINT32_MAX) {
      throw ParseError(line_no_, col, "bad status word " + quoted(text));
    }
    *v = static_cast<uint32_t>(x);
  };
  size_t k = 3;
  if (header_.status_columns) {
    need(3);
    hex(k++, &row->ev_status);
  }
  row->channels.resize(header_.channels.size());
  for (size_t c = 0; c < row->channels.size(); ++c) {
    ChannelCell& ch = row->channels[c];
    ch.srv_status = ch.chan_status = 0;
    ch.cell.clear();
    ch.text = {};
    ch.absent = true;
    if (skip_ != nullptr && (*skip_)[c]) {
      k += header_.status_columns ? 3 : 1;
      continue;
    }
    if (header_.status_columns) {
      if (k < count) hex(k++, &ch.srv_status);
      if (k < count) hex(k++, &ch.chan_status);
    }
    if (k < count) {
      std::tie(ch.text, ch.column) = cell(k++);
      ch.absent = false;
      if (parse_ != CellParse::kText) {
        parse_cell(ch.text, line_no_, ch.column, &ch.cell,
                   parse_ == CellParse::kScan ? Values::kNone : Values::kDoubles);
      }
    }
  }
  return true;
}

void profile_cell(const Cell& cell, ColumnProfile* p) {
  if (cell.form == CellForm::kMark) p->evidence |= kSawMark;
  if (cell.form == CellForm::kEmpty) p->evidence |= kSawEmptyCell;
  if (cell.form != CellForm::kList) return;
  auto groups = cell.groups();
  p->evidence |= kSawList;
  if (groups.size() > 1) p->evidence |= kSawManyGroups;
  p->max_groups = std::max(p->max_groups, groups.size());
  if (p->max_values.size() < groups.size()) {
    p->max_values.resize(groups.size(), 0);
    p->has_stats.resize(groups.size(), false);
  }
  for (size_t g = 0; g < groups.size(); ++g) {
    const Group& group = groups[g];
    if (group.failed) p->evidence |= kSawFailed;
    if (group.pair) p->evidence |= kSawPair;
    if (!group.stats.empty()) {
      p->evidence |= kSawStats;
      p->has_stats[g] = true;
    }
    if (group.count > 1) p->evidence |= kSawManyValues;
    if (group.count == 0 && !group.failed) p->evidence |= kSawEmptyGroup;
    p->max_values[g] = std::max(p->max_values[g], group.count);
    if (group.forms & kFixed) p->evidence |= kSawFixed;
    if (group.forms & kExp2) p->evidence |= kSawExp2;
    if (group.forms & kExp0) p->evidence |= kSawExp0;
    if (group.forms & kInvalid) p->evidence |= kSawInvalid;
    if (group.forms & kNonFinite) p->evidence |= kSawNonFinite;
    if (group.forms & kInt) {
      if (!(p->evidence & kSawInt)) {
        p->min_int = group.min_int;
        p->max_int = group.max_int;
      }
      p->evidence |= kSawInt;
      p->min_int = std::min(p->min_int, group.min_int);
      p->max_int = std::max(p->max_int, group.max_int);
    }
  }
  if (groups.size() == 1 && !groups[0].pair && groups[0].forms == kInt) {
    size_t n = groups[0].count;
    auto it = std::find_if(p->lengths.begin(), p->lengths.end(),
                           [n](const auto& e) { return e.first == n; });
    if (it != p->lengths.end()) {
      ++it->second;
    } else if (p->lengths.size() < 64) {
      p->lengths.emplace_back(n, 1);
    }
  }
}

size_t common_length(const ColumnProfile& p) {
  size_t best = 0;
  uint64_t seen = 0;
  for (const auto& [n, times] : p.lengths) {
    if (times > seen) {
      best = n;
      seen = times;
    }
  }
  return best;
}

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::kEmpty:
      return "empty";
    case Kind::kMark:
      return "mark";
    case Kind::kScalar:
      return "scalar";
    case Kind::kScalarInt:
      return "int";
    case Kind::kPairs:
      return "pairs";
    case Kind::kSpectrum:
      return "spectrum";
    case Kind::kImage:
      return "image";
    case Kind::kStructured:
      return "structured";
  }
  return "?";
}

bool kind_from_name(std::string_view name, Kind* kind) {
  for (Kind k : {Kind::kEmpty, Kind::kMark, Kind::kScalar, Kind::kScalarInt, Kind::kPairs,
                 Kind::kSpectrum, Kind::kImage, Kind::kStructured}) {
    if (name == kind_name(k)) {
      *kind = k;
      return true;
    }
  }
  return false;
}

bool kind_ambiguous(const ColumnProfile& p) {
  unsigned e = p.evidence;
  unsigned telling = kSawPair | kSawStats | kSawFailed | kSawInvalid | kSawExp0 | kSawExp2 |
                     kSawFixed | kSawManyGroups;
  return !(e & telling) && (e & (kSawManyValues | kSawEmptyGroup)) && (e & kSawInt) &&
         p.min_int >= 0 && p.max_int <= 65535;
}

Kind infer_kind(const ColumnProfile& p, Kind hint) {
  unsigned e = p.evidence;
  if ((hint == Kind::kSpectrum || hint == Kind::kImage) &&
      !(e & (kSawPair | kSawFixed | kSawExp2 | kSawMark))) {
    return hint;
  }
  if (e & kSawPair) return Kind::kPairs;
  if (e & (kSawStats | kSawFailed | kSawInvalid | kSawExp0)) return Kind::kSpectrum;
  if (e & kSawExp2) return Kind::kPairs;  // names left out with -nonvn
  if (e & kSawFixed) return Kind::kScalar;
  if (e & kSawManyGroups) return Kind::kSpectrum;
  // Integer arrays: float-to-int spectra or image pixels, which are unsigned
  // and at most 16 bits.
  if (e & (kSawManyValues | kSawEmptyGroup)) {
    bool pixels = !(e & kSawInt) || (p.min_int >= 0 && p.max_int <= 65535);
    return pixels ? Kind::kImage : Kind::kSpectrum;
  }
  // -fti values are int32; larger integers are kept as floats.
  if (e & kSawInt) {
    bool int32 = p.min_int >= INT32_MIN && p.max_int <= INT32_MAX;
    return int32 ? Kind::kScalarInt : Kind::kScalar;
  }
  if (e & kSawList) return Kind::kScalar;  // only "nan" or "inf" values
  if (e & kSawMark) return Kind::kMark;
  // Only structured data and colour images leave cells empty; a camera is
  // told by the description.
  if (e & kSawEmptyCell) return Kind::kStructured;
  return Kind::kEmpty;
}

Outcome classify(const Cell& cell, Kind kind) {
  switch (cell.form) {
    case CellForm::kAbsent:
      return Outcome::kCutShort;
    case CellForm::kEmpty:
      return kind == Kind::kStructured ? Outcome::kValue
             : kind == Kind::kImage    ? Outcome::kOtherKind
                                       : Outcome::kEmpty;
    case CellForm::kBare:
      return Outcome::kNotFound;
    case CellForm::kMark:
      return kind == Kind::kMark ? Outcome::kValue : Outcome::kOtherKind;
    case CellForm::kList:
      break;
  }
  auto plain = [](const Group& g) { return !g.pair && !g.failed && g.stats.empty(); };
  auto groups = cell.groups();
  bool fits = false;
  switch (kind) {
    case Kind::kEmpty:
    case Kind::kMark:
    case Kind::kStructured:
      break;
    case Kind::kScalar:
    case Kind::kScalarInt:
      fits = groups.size() == 1 && plain(groups[0]) && groups[0].count == 1;
      break;
    case Kind::kPairs:
      fits = std::all_of(groups.begin(), groups.end(),
                         [&](const Group& g) { return g.pair || (plain(g) && g.count == 1); });
      break;
    case Kind::kSpectrum:
      fits = std::none_of(groups.begin(), groups.end(), [](const Group& g) { return g.pair; });
      break;
    case Kind::kImage:
      fits = groups.size() == 1 && plain(groups[0]) &&
             (groups[0].count == 0 ||
              (groups[0].forms == kInt && groups[0].min_int >= 0 && groups[0].max_int <= 65535));
      break;
  }
  return fits ? Outcome::kValue : Outcome::kOtherKind;
}

void tally(const Cell& cell, Kind kind, ColumnCounts* c) {
  tally(classify(cell, kind), cell, kind, c);
}

void tally(Outcome outcome, const Cell& cell, Kind kind, ColumnCounts* c) {
  switch (outcome) {
    case Outcome::kValue:
      ++c->present;
      break;
    case Outcome::kEmpty:
      ++c->empty;
      break;
    case Outcome::kNotFound:
      ++(kind == Kind::kImage ? c->no_image : c->not_found);
      break;
    case Outcome::kCutShort:
      ++c->cut_short;
      break;
    case Outcome::kOtherKind:
      ++c->other_kind;
      break;
  }
  for (const Group& g : cell.groups()) c->invalid += g.invalid;
}

std::string base_name(const std::string& column) {
  size_t colon = column.rfind(':');
  if (colon == std::string::npos || colon + 1 == column.size()) return column;
  std::string_view sub = std::string_view(column).substr(colon + 1);
  return is_integer(sub) && sub[0] != '-' ? column.substr(0, colon) : column;
}

}  // namespace table2h5
