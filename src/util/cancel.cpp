// Cancellation by signal or by a silent server; see cancel.h.
#include "util/cancel.h"

#include "util/diagnostics.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t caught = 0;
std::atomic<bool> timed_out{false};
std::atomic<bool> busy{false};
std::atomic<bool> stopping{false};
std::atomic<long long> last_activity{0};
int timeout_seconds = 0;
std::thread watchdog;
// The watchdog's sleep, which cancel_stop cuts short.
std::mutex watch_mutex;
std::condition_variable watch_wake;

long long
now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

extern "C" void
on_signal(int signum) {
  caught = signum;
  // A second signal of the same kind ends the process the ordinary way.
  std::signal(signum, SIG_DFL);
}

// Shuts down every socket of the process: they all lead to the server, and
// a read blocked on one of them returns at once.
void
shutdown_sockets() {
  DIR *dir = opendir("/proc/self/fd");
  if (!dir)
    return;
  while (struct dirent *entry = readdir(dir)) {
    int fd = std::atoi(entry->d_name);
    struct stat st;
    if (fd > 2 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
      shutdown(fd, SHUT_RDWR);
  }
  closedir(dir);
}

void
watch() {
  bool shut = false;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(watch_mutex);
      if (watch_wake.wait_for(lock, std::chrono::milliseconds(200),
                              [] { return stopping.load(); }))
        return;
    }
    if (shut)
      continue;
    if (caught) {
      shutdown_sockets();
      shut = true;
    } else if (timeout_seconds > 0 && !busy.load() &&
               now_ms() - last_activity.load() > timeout_seconds * 1000LL) {
      timed_out = true;
      shutdown_sockets();
      shut = true;
    }
  }
}

} // namespace

void
cancel_install_handlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int signum : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signum, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  // Past a file size limit a write fails like any other.
  std::signal(SIGXFSZ, SIG_IGN);
}

int
cancel_signal() {
  return caught;
}

bool
cancel_timed_out() {
  return timed_out.load();
}

svn_error_t *
cancel_check(void *) noexcept {
  // The reason is named once, by whoever reports the end of the run.
  if (caught || timed_out.load())
    return svn_error_create(SVN_ERR_CANCELLED, nullptr, nullptr);
  return SVN_NO_ERROR;
}

void
cancel_watch(int seconds) {
  timeout_seconds = seconds;
  last_activity = now_ms();
  if (!watchdog.joinable())
    watchdog = std::thread(watch);
}

void
cancel_activity() {
  last_activity = now_ms();
}

void
cancel_set_busy(bool is_busy) {
  busy = is_busy;
  if (!is_busy)
    last_activity = now_ms();
}

void
cancel_stop() {
  {
    std::lock_guard<std::mutex> lock(watch_mutex);
    stopping = true;
  }
  watch_wake.notify_all();
  if (watchdog.joinable())
    watchdog.join();
}

int
cancel_timeout() {
  return timeout_seconds;
}

void
cancel_report() {
  if (int signum = caught)
    std::fprintf(stderr, _("ERROR: interrupted by signal %d (%s).\n"), signum,
                 strsignal(signum));
  else if (timed_out.load())
    std::fprintf(stderr,
                 _("ERROR: the server sent nothing for %d seconds; giving "
                   "up (see --timeout).\n"),
                 timeout_seconds);
}
