#include <fcntl.h>
#include <signal.h>

#include <atomic>
#include <cerrno>

#include "convert/read_lease.h"

// The kernel holds a writer's open (or truncate) of a leased file until the
// lease is given up, or for the lease-break time (45 s by default) if it
// never is. The break comes as SIGIO, whose default action would end the
// run; nothing else in the program uses it. Not a real-time signal set by
// F_SETSIG: once those can no longer be queued, the kernel sends SIGIO all
// the same. Two breaks may merge into one SIGIO, so the handler asks every
// leased file whether its lease is broken.

namespace {

constexpr int kNoFile = -1;

// The files under a lease, as the handler reads them. The program reads one
// input file at a time; a file that finds no free place gets no lease.
struct LeasedFile {
  std::atomic<int> fd{kNoFile};
};
LeasedFile g_leased_files[8];
static_assert(std::atomic<int>::is_always_lock_free);

// A broken lease reads as F_UNLCK while its writer waits. A lease still
// held is left alone, so a signal late for a file whose lease was given up,
// whose number now names another leased file, does no harm.
void GiveUpBrokenLeases(int) {
  const int saved_errno = errno;
  for (const LeasedFile& file : g_leased_files) {
    const int fd = file.fd.load();
    if (fd != kNoFile && fcntl(fd, F_GETLEASE) == F_UNLCK) {
      fcntl(fd, F_SETLEASE, F_UNLCK);
    }
  }
  errno = saved_errno;
}

// Kept for the whole run: a break signal may come after its lease is gone.
bool HandleLeaseBreaks() {
  static bool handled = false;
  if (handled) {
    return true;
  }
  struct sigaction action = {};
  action.sa_handler = GiveUpBrokenLeases;
  // Runs whole: a stop signal waits until the writer may go on.
  sigfillset(&action.sa_mask);
  // A read, a console write or a wait of the program goes on through a break.
  action.sa_flags = SA_RESTART;
  sigset_t break_signal;
  sigemptyset(&break_signal);
  sigaddset(&break_signal, SIGIO);
  // Blocked by the parent, breaks would wait until each lease is given up.
  handled = sigaction(SIGIO, &action, nullptr) == 0 &&
            sigprocmask(SIG_UNBLOCK, &break_signal, nullptr) == 0;
  return handled;
}

}  // namespace

WriterCheck TakeReadLease(int fd) {
  if (!HandleLeaseBreaks()) {
    return WriterCheck::kUnknown;
  }
  for (LeasedFile& file : g_leased_files) {
    if (file.fd.load() != kNoFile) {
      continue;
    }
    // Known to the handler before the lease exists, so that a break right
    // after the grant is given up too.
    file.fd = fd;
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
      return WriterCheck::kNone;
    }
    const int error = errno;
    file.fd = kNoFile;
    return error == EAGAIN ? WriterCheck::kOpen : WriterCheck::kUnknown;
  }
  return WriterCheck::kUnknown;
}

bool GiveUpReadLease(int fd) {
  // The handler may have given it up already; either way it was broken.
  const bool unbroken = fcntl(fd, F_GETLEASE) == F_RDLCK;
  fcntl(fd, F_SETLEASE, F_UNLCK);
  for (LeasedFile& file : g_leased_files) {
    if (file.fd.load() == fd) {
      file.fd = kNoFile;
    }
  }
  return unbroken;
}
