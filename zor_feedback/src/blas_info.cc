// The BLAS of the process, from OpenBLAS's query functions looked up at run
// time: the library does not depend on OpenBLAS to build or to load.
#include "zor_feedback/blas_info.h"

#include <dlfcn.h>

#include <string>

#include "fused_product.h"

namespace {

// A library that is already loaded, looked up without loading it (RTLD_NOLOAD);
// the reference dlopen takes is given back on destruction.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const char* soname) : handle_(dlopen(soname, RTLD_LAZY | RTLD_NOLOAD)) {}
  ~LoadedLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  void* symbol(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }

 private:
  void* handle_;
};

// The symbol from the global scope, else from an OpenBLAS or a BLAS loaded
// privately (a Python extension, a plug-in opened with RTLD_LOCAL).
void* find(const char* name) {
  if (void* s = dlsym(RTLD_DEFAULT, name)) return s;
  for (const char* soname : {"libopenblas.so.0", "libopenblas.so", "libblas.so.3"}) {
    const LoadedLibrary lib(soname);
    // The library stays loaded by its other users, so the address stays valid.
    if (void* s = lib.symbol(name)) return s;
  }
  return nullptr;
}

template <class Fn>
Fn lookup(const char* name) {
  return reinterpret_cast<Fn>(find(name));
}

std::string text(const char* s) { return s != nullptr && *s != '\0' ? std::string(s) : "unknown"; }

}  // namespace

namespace zor_feedback {

BlasInfo blas_info() {
  BlasInfo info;
  const auto config = lookup<char* (*)()>("openblas_get_config");
  const auto core = lookup<char* (*)()>("openblas_get_corename");
  const auto threads = lookup<int (*)()>("openblas_get_num_threads");
  if (config == nullptr && core == nullptr) return info;
  info.library = "OpenBLAS";
  if (config != nullptr) info.config = text(config());
  if (core != nullptr) info.core = text(core());
  if (threads != nullptr) info.threads = threads();
  return info;
}

std::string blas_summary(const BlasInfo& info) {
  if (info.library == "unknown") return "BLAS: unknown (not OpenBLAS, or its query functions not found)";
  std::string s = "BLAS: " + (info.config != "unknown" ? info.config : info.library) + ", core " + info.core;
  if (info.threads > 0)
    s += ", " + std::to_string(info.threads) + (info.threads == 1 ? " thread" : " threads");
  return s;
}

std::string multiply_kernel() { return "multiply kernel: " + detail::kernel_summary(); }

}  // namespace zor_feedback
