#include "log_line.h"

#include <cstdarg>
#include <cstdio>

#include "ovrix_server.h"

namespace zor_feedback {
namespace detail {

std::string log_line(const char* origin, unsigned int flags, const char* format, ...) {
  char emsg[100];
  va_list args;
  va_start(args, format);
  std::vsnprintf(emsg, sizeof emsg, format, args);
  va_end(args);
  ovrix::printtostderr(origin, emsg, flags);
  return emsg;
}

std::string format_line(const char* format, ...) {
  char emsg[100];
  va_list args;
  va_start(args, format);
  std::vsnprintf(emsg, sizeof emsg, format, args);
  va_end(args);
  return emsg;
}

}  // namespace detail
}  // namespace zor_feedback
