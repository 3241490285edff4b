// The Correction as Python holds it, with the lock every call on it takes:
// shared by the Correction's binding and the controllers that step it.
#ifndef ZOR_FEEDBACK_PYTHON_CORRECTION_SHARED_H
#define ZOR_FEEDBACK_PYTHON_CORRECTION_SHARED_H

#include <pybind11/pybind11.h>

#include <mutex>
#include <string>
#include <vector>

#include "zor_feedback/correction.h"

namespace zor_feedback::python {

struct Shared : Correction {
  using Correction::Correction;
  mutable std::mutex lock;
};

// A computed step with the names its indices stand for, and the Correction
// that computed it: the step is applied there only.
struct StepResult {
  Step step;
  std::vector<std::string> monitors, correctors;
  pybind11::object owner;  // kept alive, so that no other Correction can pass for it
};

struct Hold {
  explicit Hold(const Shared& k) : held(k.lock) {}
  std::lock_guard<std::mutex> held;
};

}  // namespace zor_feedback::python

#endif  // ZOR_FEEDBACK_PYTHON_CORRECTION_SHARED_H
