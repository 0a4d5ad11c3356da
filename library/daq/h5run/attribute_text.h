// The type a description's text is stored as, one rule for both producers:
// a whole decimal integer that fits int64 and reads back the same is int64,
// any other finite decimal number is float64 (also integers beyond int64),
// anything else stays text ("+5", " 7", "0x1F", "inf", "1e999").
#ifndef DAQ_H5RUN_ATTRIBUTE_TEXT_H_
#define DAQ_H5RUN_ATTRIBUTE_TEXT_H_

#include <cstdint>
#include <string_view>
#include <variant>

namespace h5run {

using AttributeValue = std::variant<int64_t, double, std::string_view>;

// `text` typed by the rule above; a string_view result refers to `text`.
AttributeValue typed_attribute(std::string_view text);

}  // namespace h5run

#endif  // DAQ_H5RUN_ATTRIBUTE_TEXT_H_
