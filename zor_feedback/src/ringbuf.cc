#include <ostream>
#include <string>

#include "zor_feedback/zor_feedback.h"

// The history is a shift register kept in an EqData of USTR entries: entry k
// is always the k-th newest, so a client's copy needs no reordering. Every
// access goes through the framework's own EqData operations, so that a site's
// real framework works unchanged.

D_ringbuf::D_ringbuf(const char* str, int size, EqFct* ep) : D_ustr(std::string(str), ep) {
  for (int i = 0; i < size; ++i) ringbuf.set(0, 0.0f, 0.0f, 0, "", i);
}

D_ringbuf::~D_ringbuf() = default;

void D_ringbuf::store(char* str) {
  if (str == nullptr) return;  // refused before anything moves
  const int n = ringbuf.length();
  for (int i = n - 1; i >= 1; --i) ringbuf.set(*ringbuf.get_ustr(i - 1), i);
  const std::time_t tm = OVRIXtime();
  ringbuf.set(0, 0.0f, 0.0f, tm, std::string(str), 0);
}

void D_ringbuf::get(EqAdr*, EqData* sd, EqData* dd, EqFct*) {
  if (dd == nullptr) return;
  if (sd == nullptr || sd->type() == 0) {
    dd->copy_from(&ringbuf);
    return;
  }
  const int i = sd->get_int();
  if (i < 0) {
    dd->copy_from(&ringbuf);
    return;
  }
  // The framework may hand in a reply that still holds an earlier answer:
  // empty it, so that a single entry is all the reply holds.
  const EqData empty;
  dd->copy_from(&empty);
  if (i < ringbuf.length()) dd->set(*ringbuf.get_ustr(i), 0);
}

void D_ringbuf::set(EqAdr*, EqData*, EqData*, EqFct*) {}

void D_ringbuf::read() {}

void D_ringbuf::write(std::ostream&) {}

void D_ringbuf::config(Config*) {}
