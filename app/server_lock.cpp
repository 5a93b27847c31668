// SPDX-License-Identifier: Apache-2.0
//
// One server per state file.
//
// Two servers on one state would each load its waiting jobs and print them,
// and the second would take the first's local socket, so that the next
// sub-command starts yet another server.  A server therefore holds an
// exclusive lock on "STATE.lock" (flock) from before it touches anything
// until the process ends, with its process id written in the file; a second
// server finds the lock held, names the process that holds it and does not
// start.  The kernel drops the lock with the process, also after a crash, so
// a lock file left behind never keeps a server from starting.
//

#include "app.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace pelna_app {

namespace {

// Longest process id text read back from a lock file.
constexpr std::size_t kPidTextSize = 32;

//
// 'holder_text()' - The process id written in a lock file, as text, or
// "unknown".
//

std::string
holder_text(int fd)  // I - Lock file
{
  char          text[kPidTextSize] = {};
  const ssize_t n                  = pread(fd, text, sizeof(text) - 1, 0);
  std::string   pid;

  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; i++)
    pid += text[i];
  return pid.empty() ? "unknown" : pid;
}

//
// 'note_holder()' - Write this process's id in the lock file it holds.
//

void
note_holder(int fd)  // I - Lock file, locked
{
  const std::string pid = std::to_string(getpid()) + "\n";

  if (ftruncate(fd, 0) == 0)
    (void)pwrite(fd, pid.data(), pid.size(), 0);
}

} // namespace

//
// 'lock_state()' - Hold the state's lock for the life of the process; false,
// with the reason in why, when another server holds it or it cannot be
// taken.
//

bool
lock_state(const std::string &state,  // I - The state file
           std::string       &why)    // O - Why the server must not start
{
  const std::string path = state + ".lock";
  const int         fd   = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);

  if (fd < 0)
  {
    why = "cannot open the lock file " + path + ": " + strerror(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
  {
    const int error = errno;
    why = error == EWOULDBLOCK
              ? "another server (process " + holder_text(fd) + ") runs on the state " + state +
                    "; stop it first (\"" + kAppName + " shutdown\")"
              : "cannot lock " + path + ": " + strerror(error);
    close(fd);
    return false;
  }
  note_holder(fd);
  return true;  // fd stays open: the lock goes with the process
}

} // namespace pelna_app
