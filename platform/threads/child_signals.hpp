#pragma once

#include <signal.h>

namespace folium::platform {

// For a child between fork and exec: every signal back to its default handling and none
// blocked, whatever the parent set up (an ignored SIGPIPE, a signalfd's blocked mask would
// otherwise reach the program). Async-signal-safe.
inline void resetSignalsForExec() noexcept {
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace folium::platform
