// Ctrl-C (SIGINT) and SIGTERM as a request to stop, taken on a thread of our
// own instead of in a signal handler, so that stopping the server may lock
// and close sockets freely.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_STOP_SIGNAL_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_STOP_SIGNAL_H_

#include <atomic>
#include <csignal>

namespace zimrax::zmfile {

class StopSignal {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread and in every thread it
  // starts from now on. REQUIRES: called before the server's threads start.
  StopSignal();
  // Restores the previous signal mask.
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Waits until a stop signal arrives (returns its number) or `done` becomes
  // true (returns 0); `done` is checked every 200 ms.
  int Wait(const std::atomic<bool>& done);

 private:
  sigset_t stop_set_;
  sigset_t previous_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_STOP_SIGNAL_H_
