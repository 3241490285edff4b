// zorfb chicane: every quantity of a four-dipole chicane through the library's
// chicane functions, once or as a scan over one parameter.
#include <fmt/printf.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zor_feedback/chicane_physics.h"
#include "zorfb/zorfb.h"

namespace zor_feedback {
namespace cli {

namespace {

constexpr double kJoulePerMeV = 1.602176634e-13;  // the SI definition of the electron volt
constexpr double kRestEnergyMeV = 8.187111168006824e-14 / kJoulePerMeV;  // as E2gamma's constant
constexpr double kSpeedOfLight = 299792458.0;
constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

// The parameters a scan may vary, with the unit its values are given in.
struct Param {
  const char* name;
  const char* unit;
};
constexpr Param kParams[] = {{"energy", "MeV"}, {"field", "T"}, {"angle", "deg"}, {"r56", "m"},
                             {"leff", "m"},     {"d12", "m"},   {"d23", "m"}};

void set_param(ChicaneInput& in, const std::string& name, double v) {
  if (name == "energy") in.energy_mev = v;
  if (name == "field") {
    in.field_t = v;
    in.use_angle = in.use_r56 = false;
  }
  if (name == "angle") {
    in.angle_rad = v * kDeg;
    in.use_angle = true;
    in.use_r56 = false;
  }
  if (name == "r56") {
    in.r56 = v;
    in.use_r56 = true;
    in.use_angle = false;
  }
  if (name == "leff") in.leff = v;
  if (name == "d12") in.d12 = v;
  if (name == "d23") in.d23 = v;
}

struct Scan {
  std::string name, unit;
  double from = 0, to = 0;
  int steps = 0;
};

// "name=from:to:steps"; false with a message when it does not parse.
bool parse_scan(const std::string& text, Scan* scan, std::string* why) {
  const std::size_t eq = text.find('=');
  const std::string name = text.substr(0, eq);
  bool known = false;
  for (const Param& p : kParams)
    if (name == p.name) {
      known = true;
      scan->unit = p.unit;
    }
  if (eq == std::string::npos || !known) {
    *why = "--scan '" + text +
           "': expected NAME=FROM:TO:STEPS with NAME one of energy, field, angle, r56, leff, d12, d23";
    return false;
  }
  scan->name = name;
  char tail = 0;
  if (std::sscanf(text.c_str() + eq + 1, "%lf:%lf:%d%c", &scan->from, &scan->to, &scan->steps, &tail) != 3 ||
      !std::isfinite(scan->from) || !std::isfinite(scan->to)) {
    *why =
        "--scan '" + text + "': FROM:TO:STEPS must be two numbers and a whole number, e.g. field=0.05:0.2:7";
    return false;
  }
  if (scan->steps < 2 || scan->steps > 10000) {
    *why = "--scan '" + text + "': STEPS must lie between 2 and 10000";
    return false;
  }
  return true;
}

// One result as named numbers in SI units (energy in MeV, as given), the
// columns of the csv and json output.
std::vector<std::pair<const char*, double>> columns(const ChicaneInput& in, const ChicaneResult& r) {
  return {{"energy_MeV", in.energy_mev},
          {"field_T", r.field},
          {"angle_rad", r.angle},
          {"leff_m", in.leff},
          {"d12_m", in.d12},
          {"d23_m", in.d23},
          {"gamma", r.gamma},
          {"beta", r.beta},
          {"momentum_MeV_c", r.p_mev},
          {"momentum_kg_m_s", r.p_si},
          {"current_A", r.current},
          {"radius_m", r.r},
          {"x_bc_m", r.x_bc},
          {"l_bc_m", r.l_bc},
          {"straight_m", r.straight},
          {"path_difference_m", r.l_bc - r.straight},
          {"delta_t_s", r.delta_t},
          {"R56_m", r.r56}};
}

}  // namespace

ChicaneResult compute_chicane(const ChicaneInput& in) {
  ChicaneResult r;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double e_joule = in.energy_mev * kJoulePerMeV;
  r.gamma = E2gamma(e_joule);
  r.beta = gamma2beta(r.gamma);
  r.p_si = E2p(e_joule);
  r.p_mev = r.p_si * kSpeedOfLight / kJoulePerMeV;
  if (in.use_r56) {
    r.angle = R562alpha(in.r56, in.leff, in.d12);
    r.field = alpha2B(r.angle, in.energy_mev, in.leff);
  } else if (in.use_angle) {
    r.angle = in.angle_rad;
    r.field = alpha2B(r.angle, in.energy_mev, in.leff);
  } else {
    r.field = in.field_t;
    r.angle = B2alpha(r.field, in.energy_mev, in.leff);
  }
  r.current = in.a1 != 0.0 ? B2I(r.field, in.a1) : nan;
  r.r = alpha2r(r.angle, in.leff);
  r.x_bc = alpha2x_bc(r.angle, in.leff, in.d12);
  r.l_bc = alpha2l_bc(r.angle, r.r, in.d12, in.d23);
  // Entrance of dipole 1 to exit of dipole 4 along the axis; delta_t takes it
  // as centre distances z12 = d12 + leff and z23 = d23 + leff (plus leff).
  r.straight = 2.0 * in.d12 + in.d23 + 4.0 * in.leff;
  // alpha2l_bc has no limit for an unbent beam (its radius is 0 there): the
  // path is then the straight length itself.
  if (r.angle == 0.0) r.l_bc = r.straight;
  r.delta_t = delta_t(r.l_bc, in.d12 + in.leff, in.d23 + in.leff, in.leff);
  r.r56 = alpha2R56(r.angle, in.leff, in.d12);

  if (!(in.energy_mev > kRestEnergyMeV))
    r.problem =
        "the energy lies below the electron rest energy (" + fmt::sprintf("%.6f", kRestEnergyMeV) + " MeV)";
  else if (!(in.leff > 0.0) || !(in.d12 >= 0.0) || !(in.d23 >= 0.0))
    r.problem = "leff must be positive, d12 and d23 not negative";
  else if (in.use_r56 && std::isnan(r.angle))
    r.problem = "no chicane of these dimensions has R56 = " + fmt::sprintf("%g", in.r56) +
                " m (a chicane that bends has a negative R56)";
  else if (std::isnan(r.angle))
    r.problem = "the field is too strong for the energy: B * leff / E * 299.7924 = " +
                fmt::sprintf("%.4g", in.field_t * in.leff / in.energy_mev * 299.7924) +
                " exceeds 1, no beam passes";
  else if (!(std::fabs(r.angle) < kPi / 2))
    r.problem = "the bending angle must lie below 90 degrees";
  r.valid = r.problem.empty();
  return r;
}

void print_chicane(std::ostream& os, const ChicaneInput& in, const ChicaneResult& r, const std::string& ind) {
  os << ind << "Beam energy " << fmt::sprintf("%g", in.energy_mev) << " MeV; dipoles of "
     << fmt::sprintf("%g", in.leff) << " m; drifts d12 = " << fmt::sprintf("%g", in.d12)
     << " m, d23 = " << fmt::sprintf("%g", in.d23) << " m\n";
  if (!r.valid) {
    os << ind << "No chicane: " << r.problem << '\n';
    return;
  }
  auto row = [&](const char* what, const char* sym, const std::string& val) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%-16s %-9s = ", what, sym);
    os << ind << buf << val << '\n';
  };
  row("Lorentz factor", "gamma", fmt::sprintf("%.2f", r.gamma));
  row("velocity", "beta",
      fmt::sprintf("%.9f", r.beta) + "  (1 - beta = " + fmt::sprintf("%.3e", 1.0 - r.beta) + ")");
  row("momentum", "p",
      fmt::sprintf("%.4f", r.p_mev) + " MeV/c = " + fmt::sprintf("%.4e", r.p_si) + " kg m/s");
  const bool field_given = !in.use_angle && !in.use_r56;
  row("bending angle", "alpha",
      fmt::sprintf("%.8f", r.angle) + " rad = " + fmt::sprintf("%.4f", r.angle / kDeg) + " deg" +
          (in.use_angle ? " (given)"
           : in.use_r56 ? " (for the R56 given)"
                        : ""));
  row("dipole field", "B", fmt::sprintf("%.5f", r.field) + " T" + (field_given ? " (given)" : ""));
  if (in.a1 != 0.0)
    row("magnet current", "I",
        fmt::sprintf("%.2f", r.current) + " A  (at " + fmt::sprintf("%g", in.a1) + " T/A)");
  row("bending radius", "r", fmt::sprintf("%.4f", r.r) + " m");
  row("orbit offset", "x_bc", fmt::sprintf("%.3f", r.x_bc * 1e3) + " mm (between dipoles 2 and 3)");
  row("path length", "l_bc", fmt::sprintf("%.6f", r.l_bc) + " m (entrance of dipole 1 to exit of dipole 4)");
  row("straight length", "L", fmt::sprintf("%.6f", r.straight) + " m (2 d12 + d23 + 4 leff)");
  row("path difference", "l_bc - L", fmt::sprintf("%.4f", (r.l_bc - r.straight) * 1e3) + " mm");
  row("time delay", "delta_t", fmt::sprintf("%.4f", r.delta_t * 1e12) + " ps");
  row("compaction", "R56", fmt::sprintf("%.4f", r.r56 * 1e3) + " mm" + (in.use_r56 ? " (given)" : ""));
}

int run_chicane(const Global&, const ChicaneOptions& o) {
  Scan scan;
  if (!o.scan.empty()) {
    std::string why;
    if (!parse_scan(o.scan, &scan, &why)) {
      std::cerr << "zorfb: error: " << why << '\n';
      return kUsage;
    }
  }
  const bool scans_bend = scan.name == "field" || scan.name == "angle" || scan.name == "r56";
  const int bends = (o.have_field ? 1 : 0) + (o.have_angle ? 1 : 0) + (o.have_r56 ? 1 : 0);
  if (scans_bend && bends > 0) {
    std::cerr << "zorfb: error: --scan " << scan.name
              << " sets the bend itself; leave out --field, --angle and --r56\n";
    return kUsage;
  }
  if (!scans_bend && bends != 1) {
    std::cerr << "zorfb: error: give the bend as one of --field, --angle or --r56 (exactly one of them)\n";
    return kUsage;
  }

  std::vector<ChicaneInput> inputs;
  if (scan.name.empty()) {
    inputs.push_back(o.input);
  } else {
    for (int i = 0; i < scan.steps; ++i) {
      ChicaneInput in = o.input;
      set_param(in, scan.name, scan.from + (scan.to - scan.from) * i / (scan.steps - 1));
      inputs.push_back(in);
    }
  }
  std::vector<ChicaneResult> results;
  for (const ChicaneInput& in : inputs) results.push_back(compute_chicane(in));

  if (o.format == "csv") {
    for (const auto& col : columns(inputs[0], results[0])) std::cout << col.first << ',';
    std::cout << "valid\n";
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      for (const auto& col : columns(inputs[i], results[i]))
        std::cout << (std::isfinite(col.second) ? fmt::sprintf("%.9g", col.second) : "null") << ',';
      std::cout << (results[i].valid ? 1 : 0) << '\n';
    }
  } else if (o.format == "json") {
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      nlohmann::ordered_json j;
      for (const auto& col : columns(inputs[i], results[i]))
        j[col.first] = std::isfinite(col.second) ? nlohmann::ordered_json(col.second) : nullptr;
      j["valid"] = results[i].valid;
      if (!results[i].valid) j["problem"] = results[i].problem;
      all.push_back(std::move(j));
    }
    std::cout << all.dump(2) << '\n';
  } else if (scan.name.empty()) {
    print_chicane(std::cout, inputs[0], results[0], "");
  } else {
    // The scanned parameter leads, unless it is the angle or the field, which
    // have their columns anyway.
    const bool current = o.input.a1 != 0.0;
    const bool lead = !scans_bend;
    char buf[256];
    std::snprintf(buf, sizeof buf, "%11s %10s %9s %11s %12s %12s %11s%s", "angle [deg]", "field [T]", "r [m]",
                  "x_bc [mm]", "l_bc-L [mm]", "delta_t [ps]", "R56 [mm]", current ? "       I [A]" : "");
    if (lead) {
      char head[64];
      std::snprintf(head, sizeof head, "%12s ", (scan.name + " [" + scan.unit + "]").c_str());
      std::cout << head;
    }
    std::cout << buf << '\n';
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      const ChicaneInput& in = inputs[i];
      const ChicaneResult& r = results[i];
      const double x = scan.name == "energy" ? in.energy_mev
                       : scan.name == "leff" ? in.leff
                       : scan.name == "d12"  ? in.d12
                                             : in.d23;
      if (lead) std::cout << fmt::sprintf("%12.6g ", x);
      if (!r.valid) {
        if (in.use_r56)
          std::cout << "  " << r.problem << '\n';
        else
          std::cout << fmt::sprintf(in.use_angle ? "%11.4f" : "%22.5f",
                                    in.use_angle ? in.angle_rad / kDeg : in.field_t)
                    << "  " << r.problem << '\n';
        continue;
      }
      std::snprintf(buf, sizeof buf, "%11.4f %10.5f %9.4f %11.3f %12.4f %12.4f %11.4f", r.angle / kDeg,
                    r.field, r.r, r.x_bc * 1e3, (r.l_bc - r.straight) * 1e3, r.delta_t * 1e12, r.r56 * 1e3);
      std::cout << buf << (current ? fmt::sprintf(" %11.2f", r.current) : std::string()) << '\n';
    }
  }

  if (scan.name.empty() && !results[0].valid) {
    std::cerr << "zorfb: error: " << results[0].problem << '\n';
    return kFailure;
  }
  return kOk;
}

}  // namespace cli
}  // namespace zor_feedback
