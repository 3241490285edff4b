// signal_relay.h - SIGINT, SIGTERM and SIGQUIT end a TANGO server with exit
// status 0 at any time. The handler may run in any thread (also one a
// library started before main() with no signal blocked); it only wakes the
// relay's thread, which ends a server still starting at once (nothing is
// served yet) and shuts a running one down through the admin device's Kill,
// as a TANGO client would.
#ifndef ZOR_FEEDBACK_TANGO_SIGNAL_RELAY_H
#define ZOR_FEEDBACK_TANGO_SIGNAL_RELAY_H

#include <atomic>
#include <thread>

namespace zor_feedback {
namespace tango {

class SignalRelay {
 public:
  SignalRelay();
  ~SignalRelay();
  SignalRelay(const SignalRelay&) = delete;
  SignalRelay& operator=(const SignalRelay&) = delete;

  // TANGO's start-up sets SIGINT and SIGQUIT back to their default action:
  // call again after Tango::Util::init and after server_init.
  void install();
  // From here on a signal shuts the server down through TANGO.
  static void mark_started() { started_ = true; }
  // For a device class's signal_handler: a server still starting ends at once.
  static void exit_if_starting();

 private:
  static void on_signal(int);
  void run();

  static int pipe_[2];
  static std::atomic<bool> started_;
  std::thread relay_;
};

}  // namespace tango
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TANGO_SIGNAL_RELAY_H
