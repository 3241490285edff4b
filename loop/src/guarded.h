// guarded.h - the loop's calls of its source, sink and controller, with an
// exception (which their contract rules out) turned into a failure, so that
// a faulty implementation trips the loop instead of ending the server.
// Private to loop/.
#ifndef ZOR_FEEDBACK_LOOP_SRC_GUARDED_H
#define ZOR_FEEDBACK_LOOP_SRC_GUARDED_H

#include <string>
#include <vector>

#include "zor_feedback/loop/controller.h"
#include "zor_feedback/loop/io.h"

namespace zor_feedback {
namespace loop {
namespace detail {

Orbit guarded_read(OrbitSource& source);
// *threw: the write threw, so whether it changed anything is unknown.
SinkResult guarded_write(CorrectorSink& sink, const std::vector<double>& setpoints, bool* threw);
SinkResult guarded_read(CorrectorSink& sink);
ControllerStep guarded_step(Controller& c, const std::vector<double>& orbit,
                            const std::vector<double>& kicks);
std::string guarded_written(Controller& c);

}  // namespace detail
}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_SRC_GUARDED_H
