// example_data.h - where the shipped example data lie.
#ifndef ZOR_FEEDBACK_SIM_EXAMPLE_DATA_H
#define ZOR_FEEDBACK_SIM_EXAMPLE_DATA_H

#include <string>

namespace zor_feedback {
namespace sim {

// The installed share directory next to the executable, else the source
// tree's examples/data. Empty when neither holds the file.
std::string example_data_path(const std::string& file);

}  // namespace sim
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SIM_EXAMPLE_DATA_H
