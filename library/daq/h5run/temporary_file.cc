#include "temporary_file.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>

#include "h5_handle.h"

namespace h5run {

namespace {

// Temporary files of the writers alive, for removal when a signal ends the
// process: a handler of their own runs before the handler it replaced and,
// when that one leaves the signal to its default action (the process ends
// on return), removes the files. Only async-signal-safe calls in there.
constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kMaxTemporaries = 64;
struct Temporary {
  std::atomic<bool> used{false};
  char name[4096];
};
Temporary temporaries[kMaxTemporaries];
struct sigaction previous_actions[NSIG];
std::mutex temporaries_mutex;
int temporaries_noted = 0;

void remove_temporaries() {
  for (Temporary& t : temporaries) {
    if (t.used.load()) unlink(t.name);
  }
}

extern "C" void remove_temporaries_on_signal(int sig, siginfo_t* info, void* context) {
  const struct sigaction& before = previous_actions[sig];
  if (before.sa_flags & SA_SIGINFO) {
    if (before.sa_sigaction != nullptr) before.sa_sigaction(sig, info, context);
  } else if (before.sa_handler == SIG_IGN) {
    return;
  } else if (before.sa_handler == SIG_DFL) {
    remove_temporaries();
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  } else {
    before.sa_handler(sig);
  }
  // That handler gave the signal back to its default action and raised it
  // again (a second interrupt): the process ends as this handler returns.
  struct sigaction now {};
  sigset_t pending;
  sigemptyset(&pending);
  if (sigaction(sig, nullptr, &now) == 0 && !(now.sa_flags & SA_SIGINFO) &&
      now.sa_handler == SIG_DFL && sigpending(&pending) == 0 && sigismember(&pending, sig) == 1) {
    remove_temporaries();
  }
}

}  // namespace

void check_target(const std::string& path) {
  if (path.empty()) throw Error("no file name given");
  if (path.back() == '/') throw Error(path + " names a directory");
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    throw Error(path +
                (S_ISDIR(st.st_mode) ? " is a directory" : " exists and is not a regular file"));
  }
}

SignalsHeld::SignalsHeld() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, &old_);
}

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

int note_temporary(const std::string& name) {
  std::lock_guard<std::mutex> lock(temporaries_mutex);
  int slot = 0;
  while (slot < kMaxTemporaries && temporaries[slot].used.load()) ++slot;
  if (slot == kMaxTemporaries || name.size() >= sizeof temporaries[0].name) return -1;
  std::memcpy(temporaries[slot].name, name.c_str(), name.size() + 1);
  temporaries[slot].used.store(true);
  if (temporaries_noted++ == 0) {
    for (int sig : kFatalSignals) {
      struct sigaction now {};
      if (sigaction(sig, nullptr, &now) != 0) continue;
      previous_actions[sig] = now;
      struct sigaction ours = now;
      ours.sa_flags = (now.sa_flags & SA_RESTART) | SA_SIGINFO;
      ours.sa_sigaction = remove_temporaries_on_signal;
      sigaction(sig, &ours, nullptr);
    }
  }
  return slot;
}

void forget_temporary(int slot) {
  if (slot < 0) return;
  std::lock_guard<std::mutex> lock(temporaries_mutex);
  temporaries[slot].used.store(false);
  if (--temporaries_noted > 0) return;
  // The handlers go back, unless the program replaced them meanwhile.
  for (int sig : kFatalSignals) {
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) &&
        now.sa_sigaction == remove_temporaries_on_signal) {
      sigaction(sig, &previous_actions[sig], nullptr);
    }
  }
}

}  // namespace h5run
