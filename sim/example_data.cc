// Where the example data lie.
#include <unistd.h>

#include <cstddef>
#include <string>

#include "example_data.h"

namespace zor_feedback {
namespace sim {

namespace {

bool readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

std::string executable_dir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string example_data_path(const std::string& file) {
  const std::string exe_dir = executable_dir();
  if (!exe_dir.empty()) {
    const std::string installed = exe_dir + "/" ZOR_FEEDBACK_INSTALLED_DATA_DIR "/" + file;
    if (readable(installed)) return installed;
  }
  const std::string source = std::string(ZOR_FEEDBACK_SOURCE_DATA_DIR) + "/" + file;
  if (readable(source)) return source;
  return {};
}

}  // namespace sim
}  // namespace zor_feedback
