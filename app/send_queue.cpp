// SPDX-License-Identifier: Apache-2.0
//
// A connection's bytes and the printer's answer (see send_queue.h).  Linux
// tells the bytes a TCP socket's peer has not yet acknowledged with the
// SIOCOUTQ request; once the sending side is closed, its FIN counts as one
// more until the printer acknowledges it.  An acknowledged byte is in the
// printer's own memory: a crash or a power cut of this machine no longer
// keeps it from the printer.
//

#include "send_queue.h"

#include <cerrno>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>

namespace pelna_app {

//
// 'note_acknowledged()' - Read the send queue into the bytes taken.
//

bool
note_acknowledged(int           fd,        // I  - Connection
                  SendProgress &progress)  // IO - Its bytes
{
  int queued = 0;

  if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0)
    return false;

  auto left = static_cast<std::uint64_t>(queued);
  if (progress.shut && left > 0)
    left--;  // the FIN, which comes after every byte
  const std::uint64_t taken = progress.written > left ? progress.written - left : 0;
  if (taken > progress.taken)
  {
    progress.taken = taken;
    progress.moved = Clock::now();
  }
  return true;
}

//
// 'await_printer()' - After the last byte: one bounded wait for the printer
// (see send_queue.h).  What the printer sends back is read and dropped.
//

PrinterAnswer
await_printer(int           fd,        // I  - Connection
              SendProgress &progress,  // IO - Its bytes
              int           step_ms)   // I  - Longest wait, in milliseconds
{
  if (!progress.shut)
  {
    shutdown(fd, SHUT_WR);
    progress.shut = true;
  }

  // Once the printer has closed its side the socket stays readable: only a
  // reset is still to be seen, so the wait is a sleep.
  pollfd pfd{fd, POLLIN, 0};
  if (progress.closed)
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  else if (poll(&pfd, 1, step_ms) <= 0)
    pfd.revents = 0;
  if (progress.closed || pfd.revents)
  {
    char          buffer[1024];
    const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n == 0)
      progress.closed = true;
    else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      return PrinterAnswer::Lost;
  }

  // A queue that cannot be read confirms nothing.
  if (!note_acknowledged(fd, progress) || progress.taken < progress.written)
    return PrinterAnswer::Pending;
  return progress.closed ? PrinterAnswer::Confirmed : PrinterAnswer::Acknowledged;
}

} // namespace pelna_app
