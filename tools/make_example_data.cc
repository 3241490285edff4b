// make_example_data - writes the example response matrices of examples/data/
// from the model of ring_model.h, or with --check tells whether the files
// there are still what the model gives (a test runs it so).
//
//   ring_response.txt           closed-orbit response of ring96 (sim/rings.h), labelled
//   ring320_response.txt        both planes of ring320, labelled
//   transfer_line_response.txt  response of a transfer line
#include <CLI/CLI.hpp>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "ring_model.h"
#include "rings.h"

namespace {

using zor_feedback::sim::Element;

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(text.data(), text.size() + 1, fmt, again);
  va_end(again);
  return text;
}

double degrees(double rad) { return rad * (180.0 / zor_feedback::sim::kPi); }

std::string name(const char* family, const Element& e) {
  return format("%s.%s%02ld", family, e.at_qd() ? "QD" : "QF", e.cell() + 1);
}

std::string span(const char* family, const std::vector<Element>& v) {
  return format("%s (s = %.1f m) ... %s (s = %.1f m)", name(family, v.front()).c_str(), v.front().s,
                name(family, v.back()).c_str(), v.back().s);
}

// The header's last lines: the elements and the shape.
void add_elements(std::vector<std::string>& header, const std::vector<Element>& monitors,
                  const std::vector<Element>& correctors) {
  header.push_back(format("rows:    %zu monitors %s", monitors.size(), span("BPM", monitors).c_str()));
  header.push_back(
      format("columns: %zu horizontal correctors %s", correctors.size(), span("CH", correctors).c_str()));
  header.push_back(format("Shape: %zu rows x %zu columns. Made by tools/make_example_data.cc.",
                          monitors.size(), correctors.size()));
}

// Monitors at every quadrupole, correctors at every QF.
std::vector<Element> every_quadrupole(const zor_feedback::sim::Fodo& f) {
  return zor_feedback::sim::monitors(f, 2 * f.cells);
}
std::vector<Element> every_qf(const zor_feedback::sim::Fodo& f) {
  return zor_feedback::sim::correctors(f, f.cells);
}

// A model's file: its title, the units, the lattice, where the elements
// are, the formula, then the elements and the shape.
template <class Response>
std::string model_file(const zor_feedback::sim::Fodo& f, const char* title, std::vector<std::string> lattice,
                       const std::vector<std::string>& formula, Response response) {
  const std::vector<Element> monitors = every_quadrupole(f);
  const std::vector<Element> correctors = every_qf(f);
  std::vector<std::string> header = {title, "Units: mm of orbit per mrad of corrector kick."};
  header.insert(header.end(), lattice.begin(), lattice.end());
  header.push_back("Monitors at every quadrupole (QF, QD), correctors at every QF.");
  header.insert(header.end(), formula.begin(), formula.end());
  add_elements(header, monitors, correctors);
  return zor_feedback::sim::matrix_text(header, response(monitors, correctors));
}

std::string line_file() {
  const zor_feedback::sim::Fodo f{12, 8.0, zor_feedback::sim::kPi / 2.0};
  return model_file(f, "Orbit response matrix of a transfer-line model, horizontal plane.",
                    {format("Lattice: %d thin-lens FODO cells of %.1f m, %.0f deg phase advance per cell,",
                            f.cells, f.cell_length, degrees(f.mu)),
                     format("  beta %.3f m at QF, %.3f m at QD.", f.beta_max(), f.beta_min())},
                    {"R_ij = sqrt(beta_i beta_j) sin(phi_i - phi_j) for a monitor downstream of",
                     "  the corrector, 0 upstream or at the corrector itself."},
                    zor_feedback::sim::line_response);
}

bool same_as_file(const std::filesystem::path& path, const std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::string old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return !in.bad() && old == text;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes the example response matrices from the beam-optics model of sim/ring_model.h.",
               "make_example_data"};
  std::string out = ZOR_FEEDBACK_EXAMPLE_DATA_DIR;
  bool check = false;
  app.add_option("--out", out, "output directory (default: examples/data of the source tree)");
  app.add_flag("--check", check,
               "compare with the files in the directory instead of writing; exit 1 on a difference");
  CLI11_PARSE(app, argc, argv);

  try {
    std::vector<std::string> stale;
    for (const auto& [file, text] :
         {std::pair<std::string, std::string>{"ring_response.txt",
                                              labelled_text(zor_feedback::sim::ring96())},
          std::pair<std::string, std::string>{"ring320_response.txt",
                                              labelled_text(zor_feedback::sim::ring320())},
          std::pair<std::string, std::string>{"transfer_line_response.txt", line_file()}}) {
      const std::filesystem::path path = std::filesystem::path(out) / file;
      if (check) {
        if (!same_as_file(path, text)) stale.push_back(path.string());
        continue;
      }
      std::filesystem::create_directories(out);
      std::ofstream f(path, std::ios::binary);
      f << text;
      f.close();
      if (!f) {
        std::cerr << "make_example_data: cannot write " << path.string() << "\n";
        return 1;
      }
      std::cout << "wrote " << path.string() << "\n";
    }
    if (!stale.empty()) {
      std::cerr << "differs from the generator's output:";
      for (std::size_t k = 0; k < stale.size(); ++k) std::cerr << (k == 0 ? " " : ", ") << stale[k];
      std::cerr << "\n";
      return 1;
    }
  } catch (const std::exception& e) {
    std::cerr << "make_example_data: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
