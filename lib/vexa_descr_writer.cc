// The XML description file: channel descriptions and the parameters the
// plug-in collected.
#include <cstdio>
#include <cstring>
#include <pugixml.hpp>

#include "event_util.h"

namespace {

// Floats are written so that they read back exactly.
void set_float(pugi::xml_node node, const char* name, float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
  node.append_attribute(name).set_value(text);
}

void set_int(pugi::xml_node node, const char* name, long long value) {
  node.append_attribute(name).set_value(value);
}

void add_spectrum(pugi::xml_node parent, int index, const vexa_spect_header_2010& h) {
  pugi::xml_node s = parent.append_child("spectrum");
  set_int(s, "index", index);
  set_float(s, "start", h.start);
  set_float(s, "inc", h.inc);
  set_int(s, "ndata", h.ndata);
  set_int(s, "groups", h.groups);
  set_float(s, "group_inc", h.group_inc);
}

void add_image_frame(pugi::xml_node parent, int index, const vexa_image_ext_frame_head& h) {
  pugi::xml_node f = parent.append_child("image_frame");
  set_int(f, "index", index);
  set_int(f, "width", h.width);
  set_int(f, "height", h.height);
  set_int(f, "aoi_width", h.aoi_width);
  set_int(f, "aoi_height", h.aoi_height);
  set_int(f, "x_start", h.x_start);
  set_int(f, "y_start", h.y_start);
  set_int(f, "bpp", h.bpp);
  set_int(f, "ebitpp", h.ebitpp);
  set_int(f, "hbin", h.hbin);
  set_int(f, "vbin", h.vbin);
  set_int(f, "source_format", h.source_format);
  set_int(f, "image_format", h.image_format);
  set_int(f, "frame", h.frame);
  set_int(f, "event", h.event);
  set_float(f, "scale_x", h.scale_x);
  set_float(f, "scale_y", h.scale_y);
  set_float(f, "image_rotation", h.image_rotation);
  set_float(f, "fspare2", h.fspare2);
  set_float(f, "fspare3", h.fspare3);
  set_float(f, "fspare4", h.fspare4);
  set_int(f, "image_flags", h.image_flags);
  set_int(f, "ispare2", h.ispare2);
  set_int(f, "ispare3", h.ispare3);
  set_int(f, "ispare4", h.ispare4);
  set_int(f, "length", h.length);
}

}  // namespace

int dump_chan_desr(std::vector<chan_descr_2010*>& descriptions, const char* file_name, int, int,
                   int, vexa_text_object*, std::vector<dim_params*>& params) {
  if (file_name == nullptr) return -1;
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("daq_description");
  for (const chan_descr_2010* d : descriptions) {
    if (d == nullptr) continue;
    pugi::xml_node c = root.append_child("channel");
    std::string name(d->daq_name, strnlen(d->daq_name, sizeof d->daq_name));
    c.append_attribute("daq_name").set_value(name.c_str());
    for (const auto& [key, value] : d->attributes) {
      c.append_attribute(key.c_str()).set_value(value.c_str());
    }
  }
  for (const dim_params* p : params) {
    if (p == nullptr) continue;
    pugi::xml_node e = root.append_child("parameters");
    e.append_attribute("name").set_value(p->name != nullptr ? p->name : "");
    set_int(e, "num", p->num);
    for (int k = 0; p->params != nullptr && k < p->num; ++k) add_spectrum(e, k, p->params[k]);
    for (int k = 0; p->iparams != nullptr && k < p->num; ++k) add_image_frame(e, k, p->iparams[k]);
  }
  return doc.save_file(file_name, "  ", pugi::format_default, pugi::encoding_utf8) ? 0 : -2;
}
