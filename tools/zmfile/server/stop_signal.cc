#include "server/stop_signal.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace zimrax::zmfile {

StopSignal::StopSignal() {
  sigemptyset(&stop_set_);
  sigaddset(&stop_set_, SIGINT);
  sigaddset(&stop_set_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_set_, &previous_);
}

StopSignal::~StopSignal() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

int StopSignal::Wait(const std::atomic<bool>& done) {
  const struct timespec tick {0, 200 * 1000 * 1000};
  while (!done.load()) {
    const int signal = sigtimedwait(&stop_set_, nullptr, &tick);
    if (signal > 0) return signal;
    // EAGAIN: no signal within the tick; EINTR: another signal. Look again.
  }
  return 0;
}

}  // namespace zimrax::zmfile
