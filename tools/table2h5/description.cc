#include "table2h5/description.h"

#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <stdexcept>

namespace table2h5 {

Description read_description(const std::string& path) {
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_file(path.c_str());
  if (!parsed) {
    throw std::runtime_error(path + ": " + parsed.description() + " at byte " +
                             std::to_string(parsed.offset));
  }
  auto attributes = [](pugi::xml_node node, const char* skip) {
    Attributes out;
    for (pugi::xml_attribute a : node.attributes()) {
      if (std::strcmp(a.name(), skip) != 0) out.emplace_back(a.name(), a.value());
    }
    return out;
  };
  Description d;
  pugi::xml_node root = doc.document_element();
  for (pugi::xml_node c : root.children("channel")) {
    d.channels.emplace(c.attribute("daq_name").value(), attributes(c, "daq_name"));
  }
  for (pugi::xml_node p : root.children("parameters")) {
    Description::Parameters params;
    params.num = p.attribute("num").as_int(0);
    for (pugi::xml_node s : p.children("spectrum")) params.spectra.push_back(attributes(s, ""));
    for (pugi::xml_node f : p.children("image_frame")) params.frames.push_back(attributes(f, ""));
    d.parameters[p.attribute("name").value()].push_back(std::move(params));
  }
  return d;
}

long attribute_int(const Attributes& attributes, const char* name, long fallback) {
  for (const auto& [key, value] : attributes) {
    if (key != name) continue;
    char* end = nullptr;
    long v = std::strtol(value.c_str(), &end, 10);
    return !value.empty() && *end == '\0' ? v : fallback;
  }
  return fallback;
}

}  // namespace table2h5
