// rings.h - the two storage rings of the examples, with the names and planes
// of their monitors and correctors: the nominal matrices that the example
// files hold (tools/make_example_data.cc) and that a Machine is built around.
//
//   ring96   48 FODO cells of 6 m, Qx = 8.23: 96 monitors (every quadrupole)
//            BPM01..BPM96 by 48 horizontal correctors (every QF) CH01..CH48.
//   ring320  320 FODO cells of 7.2 m, Qx = 64.23, Qy = 58.17: both planes of
//            320 monitors at every focusing quadrupole (BPM001.X ... BPM320.Y)
//            by 288 horizontal correctors at QFs (CH001..) and 288 vertical
//            ones at QDs (CV001..): 640 x 576, no coupling between the planes.
#ifndef ZOR_FEEDBACK_SIM_RINGS_H
#define ZOR_FEEDBACK_SIM_RINGS_H

#include <string>
#include <vector>

#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace sim {

struct ExampleRing {
  std::string name;                 // "ring96"
  std::string file;                 // its example file: "ring_response.txt"
  std::vector<std::string> header;  // the file's comment lines: lattice, formula, elements
  LabelledMatrix matrix;            // mm/mrad
  bool fixed_width = false;         // the file's values: "%10.6f" (true) or "%.6g"
};

ExampleRing ring96();
ExampleRing ring320();
// ring96 or ring320 by name; false for another name.
bool example_ring(const std::string& name, ExampleRing* out);

// The text of a labelled example file: the header lines, the label lines,
// then one line per monitor. A value that rounds to zero is written "0".
std::string labelled_text(const ExampleRing& ring);

}  // namespace sim
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SIM_RINGS_H
