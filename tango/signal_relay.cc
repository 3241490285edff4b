// The signal relay of a TANGO server (signal_relay.h).
#include "signal_relay.h"

#include <fcntl.h>
#include <signal.h>
#include <tango.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace zor_feedback {
namespace tango {

int SignalRelay::pipe_[2] = {-1, -1};
std::atomic<bool> SignalRelay::started_{false};

SignalRelay::SignalRelay() {
  if (::pipe2(pipe_, O_CLOEXEC) != 0) return;
  relay_ = std::thread([this] { run(); });  // before the handler can write
  install();
}

void SignalRelay::install() {
  if (!relay_.joinable()) return;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGQUIT}) sigaction(sig, &action, nullptr);
}

SignalRelay::~SignalRelay() {
  if (!relay_.joinable()) return;
  const char quit = 'q';
  if (::write(pipe_[1], &quit, 1) != 1) relay_.detach();  // cannot happen with an open pipe
  if (relay_.joinable()) relay_.join();
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void SignalRelay::exit_if_starting() {
  if (started_) return;
  std::fflush(nullptr);
  std::_Exit(0);  // nothing is served yet, nothing to shut down
}

void SignalRelay::on_signal(int) {
  const char stop = 's';
  const ssize_t n = ::write(pipe_[1], &stop, 1);  // async-signal-safe
  (void)n;
}

void SignalRelay::run() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  char c = 0;
  bool killed = false;
  while (::read(pipe_[0], &c, 1) == 1 && c == 's') {
    exit_if_starting();
    if (killed) continue;
    killed = true;
    try {
      Tango::Util::instance()->get_dserver_device()->kill();
    } catch (const Tango::DevFailed& e) {
      Tango::Except::print_exception(e);
    }
  }
}

}  // namespace tango
}  // namespace zor_feedback
