#pragma once
// What every writer of a file the user keeps needs: the signals that end the process held
// back while a name is made or replaced (so no half-made name is left), and the mode a new
// file gets.

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

namespace qv {

// Holds SIGTERM, SIGINT, SIGHUP and SIGQUIT back for its lifetime; they arrive when it ends.
class QVSignalsHeld {
 public:
  QVSignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&set, s);
    ::pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~QVSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  QVSignalsHeld(const QVSignalsHeld&) = delete;
  QVSignalsHeld& operator=(const QVSignalsHeld&) = delete;

 private:
  sigset_t old_;
};

// The mode a new file gets: 0666 less the process's umask (read once).
[[nodiscard]] inline mode_t newFileMode() {
  static const mode_t mode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

}  // namespace qv
