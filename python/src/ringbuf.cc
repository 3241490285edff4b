// D_ringbuf as a client reads it: a newest-first history of time-stamped
// texts. Cheap calls: the GIL stays held, so one RingBuffer is never used
// by two threads at once.
#include <pybind11/stl.h>

#include <ctime>
#include <memory>
#include <optional>
#include <utility>

#include "binding.h"

namespace zor_feedback::python {

RingBuffer::RingBuffer(int size) : buffer_(std::make_unique<D_ringbuf>("HISTORY", size, nullptr)) {}

void RingBuffer::store(const std::string& text) {
  std::string copy = text;  // store() takes a char*, and copies it
  buffer_->store(copy.data());
}

std::vector<std::pair<long long, std::string>> RingBuffer::get(std::optional<int> index) {
  EqData request, reply;
  if (index) request.set_numeric(DATA_INT, *index);
  EqAdr address;
  buffer_->get(&address, &request, &reply, nullptr);
  std::vector<std::pair<long long, std::string>> entries;
  for (int i = 0; i < reply.length(); ++i)
    if (const USTR* u = reply.get_ustr(i)) entries.emplace_back(static_cast<long long>(u->tm), u->str_data);
  return entries;
}

void register_ringbuf(py::module_& m) {
  py::class_<RingBuffer>(m, "RingBuffer",
                         "D_ringbuf: a newest-first history of `size` time-stamped texts (zor_feedback.h).")
      .def(py::init<int>(), py::arg("size"))
      .def("store", &RingBuffer::store, py::arg("text"), "Makes `text` the newest entry (D_ringbuf::store).")
      .def("get", &RingBuffer::get, py::arg("index") = py::none(),
           "A client's get(): [(time, text)], newest first; all entries, or entry `index` alone.");
}

}  // namespace zor_feedback::python
