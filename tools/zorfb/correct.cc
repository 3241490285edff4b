// zorfb correct: one orbit-correction step through zor_feedback::Correction,
// as a server would compute it: masks by name, a cut and a gain per plane,
// kick limits and their policy. A dry run: nothing is set anywhere.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "zor_feedback/correction.h"
#include "zorfb/zorfb.h"

namespace zor_feedback {
namespace cli {

namespace {

using json = nlohmann::ordered_json;

json number(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

}  // namespace

bool read_column(const std::string& file, int count, const char* what, std::vector<double>* out) {
  LabelledMatrix m;
  const LabelledReport r = read_labelled_matrix(file.c_str(), &m);
  if (!r.ok) {
    print_error(r.error);
    return false;
  }
  if (m.cols != 1 || m.rows != count) {
    print_error(fmt::format("'{}' holds a {} x {} matrix; {} is {} x 1 (one value per line)", file, m.rows,
                            m.cols, what, count));
    return false;
  }
  *out = std::move(m.values);
  return true;
}

namespace {

// The orbit may hold NaN for a monitor that read nothing; the reader refuses
// any non-number, so NaN lines are taken here.
bool read_orbit(const std::string& file, int count, std::vector<double>* out) {
  std::ifstream in(file);
  if (!in) {
    print_error("cannot open '" + file + "'");
    return false;
  }
  std::string line;
  std::vector<double> v;
  for (long long no = 1; std::getline(in, line); ++no) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ss(line);
    std::string word, rest;
    ss >> word;
    char* end = nullptr;
    const double x = std::strtod(word.c_str(), &end);
    if (word.empty() || *end != '\0' || std::isinf(x) || (ss >> rest && rest[0] != '#')) {
      print_error(fmt::format(
          "'{}' line {}: not one number (or nan); the orbit is {} x 1 (one value per monitor, one per line)",
          file, no, count));
      return false;
    }
    v.push_back(x);
  }
  if (static_cast<int>(v.size()) != count) {
    print_error(fmt::format("'{}' holds {} values; the orbit is {} x 1 (one value per monitor, one per line)",
                            file, v.size(), count));
    return false;
  }
  *out = std::move(v);
  return true;
}

// One limit: a number, or inf / -inf for none (a stream cannot read those).
bool limit_value(const std::string& word, double* v) {
  char* end = nullptr;
  *v = std::strtod(word.c_str(), &end);
  return !word.empty() && *end == '\0' && !std::isnan(*v);
}

// Lines "NAME MIN MAX [MAX_STEP]" into the correction.
bool read_limits(const std::string& file, Correction* c) {
  std::ifstream in(file);
  if (!in) {
    print_error("cannot open '" + file + "'");
    return false;
  }
  std::string line;
  for (long long no = 1; std::getline(in, line); ++no) {
    if (line.find_first_not_of(" \t\r") == std::string::npos || line[0] == '#') continue;
    std::istringstream ss(line);
    std::string name, lo, hi, step, rest;
    KickLimit l;
    if (!(ss >> name >> lo >> hi) || !limit_value(lo, &l.min) || !limit_value(hi, &l.max) ||
        ((ss >> step) && !limit_value(step, &l.max_step)) || (ss >> rest)) {
      print_error(fmt::format("'{}' line {}: not NAME MIN MAX [MAX_STEP]", file, no));
      return false;
    }
    if (const Outcome o = c->set_limit(name, l); !o.ok) {
      print_error(fmt::format("'{}' line {}: {}", file, no, o.error));
      return false;
    }
  }
  return true;
}

// The RF column, the weights and the reference, each a column file of one
// value per monitor.
bool add_per_monitor(const CorrectOptions& o, Correction* c) {
  const int rows = c->matrix().rows;
  std::vector<double> v;
  const auto refused = [](const std::string& what, const Outcome& r) {
    if (!r.ok) print_error(what + ": " + r.error);
    return !r.ok;
  };
  if (!o.rf_column.empty() && (!read_column(o.rf_column, rows, "the RF column", &v) ||
                               refused("--rf-column", c->add_rf_column(o.rf_name, v))))
    return false;
  if (!o.weights.empty() &&
      (!read_column(o.weights, rows, "the weights", &v) || refused("--weights", c->set_weights(v))))
    return false;
  if (!o.reference.empty() &&
      (!read_column(o.reference, rows, "the reference", &v) || refused("--reference", c->set_reference(v))))
    return false;
  return true;
}

// The options into the correction; kUsage for a value the library refuses.
int configure(const CorrectOptions& o, Correction* c) {
  for (int k = 0; k < 2; ++k) {
    PlaneSettings p;
    if (o.tol[k]) p.cut.filter = zor_feedback::Filter::by_rcond(*o.tol[k]);
    if (o.keep[k] != 0) p.cut.filter = zor_feedback::Filter::by_count(o.keep[k]);
    if (!o.filter[k].empty()) {
      const FilterParse f = parse_filter(o.filter[k]);
      if (!f.filter) {
        print_error(fmt::format("plane {}: {}", plane_name(static_cast<Plane>(k)), f.error));
        return kUsage;
      }
      p.cut.filter = *f.filter;
    }
    p.cut.method = o.method;
    p.gain = o.gain[k];
    if (const Outcome r = c->set_plane(static_cast<Plane>(k), p); !r.ok) {
      print_error(fmt::format("plane {}: {}", plane_name(static_cast<Plane>(k)), r.error));
      return kUsage;
    }
  }
  LimitPolicy policy;
  if (!parse_limit_policy(o.policy, &policy)) return kUsage;
  c->set_policy(policy);
  for (const std::string& n : o.mask_monitors)
    if (const Outcome r = c->set_monitor_enabled(n, false); !r.ok) {
      print_error("--mask-monitor: " + r.error);
      return kUsage;
    }
  for (const std::string& n : o.mask_correctors)
    if (const Outcome r = c->set_corrector_enabled(n, false); !r.ok) {
      print_error("--mask-corrector: " + r.error);
      return kUsage;
    }
  return kOk;
}

std::vector<std::string> names_of(const std::vector<std::string>& names, const std::vector<int>& idx) {
  std::vector<std::string> out;
  for (const int i : idx) out.push_back(names[static_cast<std::size_t>(i)]);
  return out;
}

json cut_json(const PlaneSettings& p) {
  const zor_feedback::Filter& f = p.cut.filter;
  if (f.kind() == zor_feedback::Filter::Kind::keep) return json{{"keep", f.keep()}};
  if (f.kind() == zor_feedback::Filter::Kind::rcond) return json{{"rcond", f.value()}};
  if (f.kind() == zor_feedback::Filter::Kind::default_cut) return json{{"rcond", "default"}};
  return json{{"filter", to_string(f)}};
}

json step_json(const CorrectOptions& o, const Step& s) {
  json j{{"command", "correct"}, {"matrix", o.matrix}, {"orbit", o.orbit}};
  j["policy"] = limit_policy_name(s.policy);
  j["scale"] = s.scale;
  j["gain_x"] = s.settings[0].gain;
  j["gain_y"] = s.settings[1].gain;
  j["modes_x"] = s.modes[0];
  j["modes_y"] = s.modes[1];
  j["orbit_rms_before"] = s.rms_before;
  j["orbit_rms_after"] = s.rms_after;
  return j;
}

json step_lists(const LabelledMatrix& m, const Step& s) {
  std::vector<json> predicted;
  for (const double v : s.predicted) predicted.push_back(number(v));
  return json{{"cut_x", cut_json(s.settings[0])},
              {"cut_y", cut_json(s.settings[1])},
              {"correctors", m.correctors},
              {"delta", s.delta},
              {"step", s.delta},
              {"kicks_before", s.kicks_before},
              {"kicks", s.kicks},
              {"writes", s.writes},
              {"limited", names_of(m.correctors, s.limited)},
              {"steered", names_of(m.correctors, s.steered)},
              {"monitors_used", names_of(m.monitors, s.monitors_used)},
              {"correctors_used", names_of(m.correctors, s.correctors_used)},
              {"predicted", predicted}};
}

bool is_in(const std::vector<int>& v, std::size_t j) {
  return std::find(v.begin(), v.end(), static_cast<int>(j)) != v.end();
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

std::string cut_text(const PlaneSettings& p) { return to_string(p.cut.filter); }

void print_csv(const json& j, const LabelledMatrix& m, const Step& s) {
  std::string head = "#";
  for (const auto& [key, value] : j.items())
    if (key != "command")
      head += fmt::format(" {}={},", key, value.is_string() ? value.get<std::string>() : value.dump());
  head.back() = '\n';
  std::cout << head;
  std::cout << "# monitors_used: " << joined(names_of(m.monitors, s.monitors_used)) << '\n';
  for (const std::string& w : s.warnings) std::cout << "# warning: " << w << '\n';
  std::cout << "corrector,plane,used,kick_before,delta,kick,limited\n";
  for (std::size_t k = 0; k < s.kicks.size(); ++k)
    std::cout << fmt::format("{},{},{},{:.17g},{:.17g},{:.17g},{}\n", m.correctors[k],
                             plane_name(m.corrector_planes[k]), is_in(s.correctors_used, k) ? 1 : 0,
                             s.kicks_before[k], s.delta[k], s.kicks[k], is_in(s.limited, k) ? 1 : 0);
}

void print_text(const CorrectOptions& o, const LabelledMatrix& m, const Step& s) {
  std::cout << fmt::format("Correction of {} by {} ({} monitors x {} correctors{}), a dry run\n", o.orbit,
                           o.matrix, m.rows, m.cols, m.units.empty() ? "" : ", " + m.units);
  for (int k = 0; k < 2; ++k)
    std::cout << fmt::format("plane {}     {}, gain {:g}: {} modes\n", plane_name(static_cast<Plane>(k)),
                             cut_text(s.settings[k]), s.settings[k].gain, s.modes[k]);
  std::cout << fmt::format("\n{:<12} {:>5} {:>12} {:>12} {:>12}\n", "corrector", "plane", "kick", "delta",
                           "new kick");
  for (std::size_t k = 0; k < s.kicks.size(); ++k)
    std::cout << fmt::format("{:<12} {:>5} {:12.6g} {:12.6g} {:12.6g}{}\n", m.correctors[k],
                             plane_name(m.corrector_planes[k]), s.kicks_before[k], s.delta[k], s.kicks[k],
                             is_in(s.steered, k)           ? "  steered back"
                             : is_in(s.limited, k)         ? "  limited"
                             : is_in(s.correctors_used, k) ? ""
                                                           : "  masked");
  std::cout << fmt::format("\npolicy      {}, scale {:.6g}{}\n", limit_policy_name(s.policy), s.scale,
                           s.writes.size() > 1
                               ? fmt::format(", in {} equal writes within max_step (the first: rms {:.6g})",
                                             s.writes.size(), s.rms_after_first)
                               : "");
  std::cout << fmt::format("used        {} of {} monitors, {} of {} correctors; {} limited\n",
                           s.monitors_used.size(), m.rows, s.correctors_used.size(), m.cols,
                           s.limited.size());
  std::cout << fmt::format("orbit rms   {:.6g} now, {:.6g} predicted after the step (linear model)\n",
                           s.rms_before, s.rms_after);
  std::cout << "limited     " << (s.limited.empty() ? "none" : joined(names_of(m.correctors, s.limited)))
            << '\n';
  for (const std::string& w : s.warnings) std::cout << "warning     " << w << '\n';
}

}  // namespace

int run_correct(const Global& g, const CorrectOptions& o) {
  LogSession log(g.verbose);
  LabelledMatrix file;
  if (const LabelledReport r = read_labelled_matrix(o.matrix.c_str(), &file); !r.ok) {
    print_error(r.error);
    return kFailure;
  }
  Correction c;
  if (const Outcome r = c.set_matrix(file); !r.ok) {
    print_error("'" + o.matrix + "': " + r.error);
    return kFailure;
  }
  if (!add_per_monitor(o, &c)) return kFailure;
  const LabelledMatrix& m = c.matrix();  // with the RF column
  std::vector<double> orbit, kicks(static_cast<std::size_t>(m.cols), 0.0);
  if (!read_orbit(o.orbit, m.rows, &orbit)) return kFailure;
  if (!o.kicks.empty() && !read_column(o.kicks, m.cols, "the kicks", &kicks)) return kFailure;
  if (const int rc = configure(o, &c); rc != kOk) return rc;
  if (!o.limits.empty() && !read_limits(o.limits, &c)) return kFailure;
  const Step s = c.compute(orbit, kicks);
  if (!s.ok) {
    print_error("no step: " + s.error);
    return kFailure;
  }
  json j = step_json(o, s);
  if (o.format == "csv") {
    print_csv(j, m, s);
  } else if (o.format == "json") {
    j.update(step_lists(m, s));
    j["warnings"] = s.warnings;
    std::cout << j.dump(2) << '\n';
  } else {
    print_text(o, m, s);
  }
  return kOk;
}

}  // namespace cli
}  // namespace zor_feedback
