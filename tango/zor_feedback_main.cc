// ZorFeedbackServer - the demo's orbit feedback on a simulated ring, served as
// one TANGO device of class ZorFeedback (zor_feedback_device.h says what it
// serves and which device properties it reads):
//
//   ZorFeedbackServer INSTANCE -nodb -dlist DEVICE -ORBendPoint giop:tcp:127.0.0.1:PORT
#include <dlfcn.h>
#include <malloc.h>
#include <tango.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "feedback_loop.h"
#include "signal_relay.h"
#include "zor_feedback/blas_info.h"

using zor_feedback::server::FeedbackLoop;

namespace {

// BLAS on one thread unless the user's environment asks for more: OpenBLAS
// has read its thread count when it was loaded, before main(), so it is told
// again at run time. The process's own setting, never the library's.
void one_blas_thread_by_default() {
  if (std::getenv("OPENBLAS_NUM_THREADS") != nullptr || std::getenv("OMP_NUM_THREADS") != nullptr) return;
  ::setenv("OPENBLAS_NUM_THREADS", "1", 1);  // for what reads it from here on
  using SetThreads = void (*)(int);
  if (void* f = ::dlsym(RTLD_DEFAULT, "openblas_set_num_threads")) reinterpret_cast<SetThreads>(f)(1);
}

}  // namespace

int main(int argc, char* argv[]) {
  one_blas_thread_by_default();
  // One malloc arena unless the environment chooses: the client, loop and
  // inversion threads otherwise each grow one of their own and the server's
  // memory creeps up under load.
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) mallopt(M_ARENA_MAX, 1);
  zor_feedback::tango::SignalRelay relay;
  try {
    Tango::Util* tg = Tango::Util::init(argc, argv);
    relay.install();
    // KICK_LIMITS takes inf for "no limit": every writer judges a value that
    // is not finite itself.
    tg->set_wattr_nan_allowed(true);
    tg->server_init();
    relay.install();
    zor_feedback::tango::SignalRelay::mark_started();
    std::cout << zor_feedback::blas_summary(zor_feedback::blas_info()) << std::endl;
    std::cout << "Ready to accept request" << std::endl;
    tg->server_run();
  } catch (const std::bad_alloc&) {
    std::cerr << "ZorFeedbackServer: out of memory" << std::endl;
    return 1;
  } catch (const CORBA::Exception& e) {
    Tango::Except::print_exception(e);
    return 1;
  }
  Tango::Util::instance()->server_cleanup();
  if (FeedbackLoop::inversions_running() > 0) {
    // A dropped inversion still computes on its own copies: end without
    // waiting for it.
    std::fflush(nullptr);
    std::_Exit(0);
  }
  return 0;
}
