// Masks and kick limits by name, as text, and back.
#include "zor_feedback/saved_settings.h"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace zor_feedback {

namespace {

std::string named(const std::string& name, Plane plane) { return name + ":" + plane_name(plane); }

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

// "NAME:x MIN MAX MAX_STEP"; false for any other text.
bool parse_limit(const std::string& line, std::string* name, KickLimit* limit) {
  std::istringstream in(line);
  std::string v[3], rest;
  if (!(in >> *name >> v[0] >> v[1] >> v[2]) || (in >> rest)) return false;
  double* out[3] = {&limit->min, &limit->max, &limit->max_step};
  for (int k = 0; k < 3; ++k) {
    char* end = nullptr;
    *out[k] = std::strtod(v[k].c_str(), &end);
    if (end == v[k].c_str() || *end != '\0' || std::isnan(*out[k])) return false;
  }
  return true;
}

}  // namespace

SavedSettings saved_settings_of(const Correction& c) {
  SavedSettings s;
  const LabelledMatrix& m = c.matrix();
  for (std::size_t i = 0; i < m.monitors.size() && i < c.monitor_enabled().size(); ++i)
    if (!c.monitor_enabled()[i]) s.masked_monitors.push_back(named(m.monitors[i], m.monitor_planes[i]));
  for (std::size_t j = 0; j < m.correctors.size() && j < c.corrector_enabled().size(); ++j) {
    const std::string name = named(m.correctors[j], m.corrector_planes[j]);
    if (!c.corrector_enabled()[j]) s.masked_correctors.push_back(name);
    const KickLimit& l = c.limits()[j];
    if (std::isfinite(l.min) || std::isfinite(l.max) || std::isfinite(l.max_step))
      s.kick_limits.push_back(name + " " + number(l.min) + " " + number(l.max) + " " + number(l.max_step));
  }
  return s;
}

CarryReport restore_saved_settings(Correction& c, const SavedSettings& s) {
  CarryReport rep;
  const auto note = [&rep](const std::string& what, const std::string& why) {
    rep.dropped.push_back(what + " (" + why + ")");
  };
  for (const std::string& name : s.masked_monitors)
    if (Outcome o = c.set_monitor_enabled(name, false); !o.ok) note("monitor " + name + " masked", o.error);
  for (const std::string& name : s.masked_correctors)
    if (Outcome o = c.set_corrector_enabled(name, false); !o.ok)
      note("corrector " + name + " masked", o.error);
  for (const std::string& line : s.kick_limits) {
    std::string name;
    KickLimit limit;
    if (!parse_limit(line, &name, &limit))
      note("kick limit '" + line + "'", "not NAME MIN MAX MAX_STEP");
    else if (Outcome o = c.set_limit(name, limit); !o.ok)
      note("kick limit of " + name, o.error);
  }
  return rep;
}

}  // namespace zor_feedback
