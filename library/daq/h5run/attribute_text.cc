#include "attribute_text.h"

#include <charconv>
#include <cmath>
#include <string>

namespace h5run {

AttributeValue typed_attribute(std::string_view text) {
  const char* first = text.data();
  const char* last = first + text.size();
  // A number starts with a digit, or a minus and a digit: no sign "+",
  // white space, "inf" or "nan", which from_chars would take or skip.
  size_t lead = !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.size() <= lead || text[lead] < '0' || text[lead] > '9') return text;
  int64_t i = 0;
  auto [end_i, ec_i] = std::from_chars(first, last, i);
  if (ec_i == std::errc() && end_i == last && std::to_string(i) == text) return i;
  double d = 0;
  auto [end_d, ec_d] = std::from_chars(first, last, d);
  if (ec_d == std::errc() && end_d == last && std::isfinite(d)) return d;
  return text;
}

}  // namespace h5run
