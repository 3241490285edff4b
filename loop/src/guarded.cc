#include "guarded.h"

#include <exception>

namespace zor_feedback {
namespace loop {
namespace detail {
namespace {

// What the exception in flight says; call only inside a catch block.
std::string thrown() {
  try {
    throw;
  } catch (const std::exception& e) {
    return std::string("threw: ") + e.what();
  } catch (...) {
    return "threw an exception of unknown type";
  }
}

}  // namespace

Orbit guarded_read(OrbitSource& source) {
  try {
    return source.read();
  } catch (...) {
    Orbit o;
    o.error = thrown();
    return o;
  }
}

SinkResult guarded_write(CorrectorSink& sink, const std::vector<double>& setpoints, bool* threw) {
  *threw = false;
  try {
    return sink.write(setpoints);
  } catch (...) {
    *threw = true;
    SinkResult r;
    r.error = thrown();
    return r;
  }
}

SinkResult guarded_read(CorrectorSink& sink) {
  try {
    return sink.read();
  } catch (...) {
    SinkResult r;
    r.error = thrown();
    return r;
  }
}

ControllerStep guarded_step(Controller& c, const std::vector<double>& orbit,
                            const std::vector<double>& kicks) {
  try {
    return c.step(orbit, kicks);
  } catch (...) {
    ControllerStep s;
    s.error = thrown();
    return s;
  }
}

std::string guarded_written(Controller& c) {
  try {
    return c.written();
  } catch (...) {
    return thrown();
  }
}

}  // namespace detail
}  // namespace loop
}  // namespace zor_feedback
