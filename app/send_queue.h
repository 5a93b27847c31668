// SPDX-License-Identifier: Apache-2.0
//
// The bytes of one connection to a network printer, as the sending side can
// tell them (send_queue.cpp): how many were handed to the network stack, how
// many the printer's network stack has acknowledged (those the socket's send
// queue no longer holds), and whether the printer has closed its side.  No
// PAPPL in it, so that the tests take it alone over loopback connections.
//

#ifndef PELNA_APP_SEND_QUEUE_H
#define PELNA_APP_SEND_QUEUE_H

#include <chrono>
#include <cstdint>

namespace pelna_app {

using Clock = std::chrono::steady_clock;

// One connection's bytes.
struct SendProgress
{
  std::uint64_t     total   = 0;      // bytes the connection is to carry
  std::uint64_t     written = 0;      // bytes handed to the network stack
  std::uint64_t     taken   = 0;      // bytes the printer has acknowledged
  bool              shut    = false;  // our sending side is closed
  bool              closed  = false;  // the printer has closed its side
  Clock::time_point begun;            // when the connection was made
  Clock::time_point moved;            // when taken last grew (begun at first)
};

// What the printer has done with every byte written, so far.
enum class PrinterAnswer
{
  Pending,       // bytes remain unacknowledged
  Acknowledged,  // every byte acknowledged; the printer keeps its side open
  Confirmed,     // every byte acknowledged and the printer closed its side
  Lost           // the connection failed (errno says why): what the
                 // printer took is gone with it
};

// Read the socket's send queue into progress.taken (progress.moved when it
// grew); false when the queue cannot be read (taken is then left as it was).
bool note_acknowledged(int fd, SendProgress &progress);

// After the last byte: close the sending side (the first time) and wait at
// most step_ms for the printer to acknowledge more, close its side or fail;
// what it has done so far.
[[nodiscard]] PrinterAnswer await_printer(int fd, SendProgress &progress, int step_ms);

} // namespace pelna_app

#endif // PELNA_APP_SEND_QUEUE_H
