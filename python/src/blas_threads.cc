// One OpenBLAS thread per call while calls overlap, the setting restored after.
#include "blas_threads.h"

#include <dlfcn.h>

#include <mutex>

namespace zor_feedback::python {
namespace {

using GetThreads = int (*)();
using SetThreads = void (*)(int);

// The symbol from the global scope, else from an OpenBLAS loaded privately:
// this module and numpy are opened with RTLD_LOCAL, and so is their BLAS.
// RTLD_NOLOAD: never loads a library; the handle's reference is given back,
// the library stays loaded by its users.
void* find(const char* name) {
  if (void* s = ::dlsym(RTLD_DEFAULT, name)) return s;
  for (const char* soname : {"libopenblas.so.0", "libopenblas.so", "libblas.so.3"}) {
    void* lib = ::dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
    if (lib == nullptr) continue;
    void* s = ::dlsym(lib, name);
    ::dlclose(lib);
    if (s != nullptr) return s;
  }
  return nullptr;
}

// The module's one record of the overlapping calls (an adapter's state; the
// library keeps none).
struct Shared {
  std::mutex mutex;
  int active = 0;
  int saved = 0;  // the thread count before the overlap; 0: not lowered
  GetThreads get = reinterpret_cast<GetThreads>(find("openblas_get_num_threads"));
  SetThreads set = reinterpret_cast<SetThreads>(find("openblas_set_num_threads"));
};

Shared& shared() {
  static Shared s;
  return s;
}

}  // namespace

SharedBlasThreads::SharedBlasThreads() {
  Shared& s = shared();
  const std::lock_guard<std::mutex> lock(s.mutex);
  if (++s.active < 2 || s.saved != 0 || s.get == nullptr || s.set == nullptr) return;
  s.saved = s.get();
  if (s.saved > 1)
    s.set(1);
  else
    s.saved = 0;  // already one thread: nothing to restore
}

SharedBlasThreads::~SharedBlasThreads() {
  Shared& s = shared();
  const std::lock_guard<std::mutex> lock(s.mutex);
  if (--s.active == 0 && s.saved != 0) {
    s.set(s.saved);
    s.saved = 0;
  }
}

}  // namespace zor_feedback::python
