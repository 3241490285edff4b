// The controller's config: its checks, its text form and the parser.
#include <charconv>
#include <cmath>
#include <sstream>

#include "zor_feedback/loop/pi_controller.h"

namespace zor_feedback {
namespace loop {

std::string controller_problem(const ControllerConfig& c) {
  if (!std::isfinite(c.kp) || !std::isfinite(c.ki)) return "gains must be finite";
  if (!(c.ki > 0.0 && c.ki < 2.0)) return "ki must lie in (0, 2)";
  if (c.kind == ControllerConfig::Kind::integrator && c.kp != 0.0) return "the integrator has no kp";
  // kp + ki is the first step's gain: at 2 it undoes the error with the
  // opposite sign, and 2 kp + ki >= 4 makes the velocity form unstable.
  if (!(c.kp >= 0.0 && c.kp + c.ki < 2.0)) return "kp must lie in [0, 2 - ki)";
  return {};
}

namespace {
// The shortest text that reads back exactly.
std::string number(double v) {
  char buf[32];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}
}  // namespace

std::string controller_text(const ControllerConfig& c) {
  if (c.kind == ControllerConfig::Kind::integrator) return "integrator ki=" + number(c.ki);
  return "pi kp=" + number(c.kp) + " ki=" + number(c.ki);
}

namespace {
bool read_gain(const std::string& word, ControllerConfig* c) {
  const auto eq = word.find('=');
  if (eq == std::string::npos) return false;
  const std::string key = word.substr(0, eq), val = word.substr(eq + 1);
  char* end = nullptr;
  const double v = std::strtod(val.c_str(), &end);
  if (val.empty() || *end != '\0') return false;
  if (key == "kp")
    c->kp = v;
  else if (key == "ki")
    c->ki = v;
  else
    return false;
  return true;
}
}  // namespace

bool parse_controller(const std::string& text, ControllerConfig* out, std::string* error) {
  std::istringstream in(text);
  std::string word;
  ControllerConfig c;
  auto fail = [&](const std::string& why) {
    if (error) *error = "controller \"" + text + "\": " + why;
    return false;
  };
  if (!(in >> word)) return fail("empty");
  if (word == "integrator")
    c.kind = ControllerConfig::Kind::integrator;
  else if (word == "pi")
    c.kind = ControllerConfig::Kind::pi;
  else
    return fail("expected integrator or pi");
  while (in >> word)
    if (!read_gain(word, &c)) return fail("expected kp=X or ki=X, not \"" + word + "\"");
  const std::string p = controller_problem(c);
  if (!p.empty()) return fail(p);
  *out = c;
  return true;
}

}  // namespace loop
}  // namespace zor_feedback
