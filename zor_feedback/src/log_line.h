// log_line.h - the library's log line: printf-style into 100 bytes, handed to
// the framework. Private to the library; not installed.
#ifndef ZOR_FEEDBACK_LOG_LINE_H
#define ZOR_FEEDBACK_LOG_LINE_H

#include <string>

namespace zor_feedback {
namespace detail {

// Flags of the log lines: errors and warnings (DF_LOG) are always written,
// progress and timing lines as the server's debug mask selects them.
constexpr unsigned int kInfo = 128;
constexpr unsigned int kTiming = 8;

// Formats a message printf-style into a 100-byte buffer (a longer text is cut
// to 99 characters), hands it to ovrix::printtostderr with origin and flags,
// and returns the text as logged, so that a result can carry it.
std::string log_line(const char* origin, unsigned int flags, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The same text, formatted and cut alike, without logging it: for the
// operations that report through their result alone.
std::string format_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOG_LINE_H
