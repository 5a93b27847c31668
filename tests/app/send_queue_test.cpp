// SPDX-License-Identifier: Apache-2.0
//
// A connection's bytes as the socket device tells them, over a loopback
// connection to a "printer" the test drives: bytes count as taken only once
// the printer's network stack has acknowledged them, whatever the writes
// said, and the printer closing its side confirms the job only after them.
// (The app_proof tests take the device through a printer that never reads,
// one that resets the connection and one that reads slowly.)
//

#include "send_queue.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

using namespace pelna_app;

namespace {

// Longest wait of one await_printer call here, in milliseconds; calls
// before a wait gives up (10 s).
constexpr int kStepMs = 50, kSteps = 200;

// A loopback connection: the app's side and the printer's.
struct Link
{
  int fd = -1, printer = -1;  // the app's side, the printer's side
  ~Link() { close(fd); close(printer); }
};

//
// 'make_link()' - Connect; the printer's receive buffer rcvbuf bytes (0:
// the default).
//

void
make_link(Link &link,    // O - Connection
          int   rcvbuf)  // I - Printer's receive buffer, or 0
{
  const int   listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t   len = sizeof(addr);

  if (rcvbuf > 0)
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), len) | listen(listener, 1) |
            getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  link.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(link.fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
  link.printer = accept(listener, nullptr, nullptr);
  close(listener);
}

//
// 'send_bytes()' - Write up to bytes without waiting, as the device does.
//

void
send_bytes(const Link   &link,      // I  - Connection
           std::size_t   bytes,     // I  - How many
           SendProgress &progress)  // IO - Its bytes
{
  const std::vector<char> data(bytes, 'x');
  ssize_t                 n = 0;

  progress.total = bytes;
  progress.begun = progress.moved = Clock::now();
  while (progress.written < bytes &&
         (n = send(link.fd, data.data() + progress.written, bytes - progress.written, MSG_DONTWAIT)) > 0)
    progress.written += static_cast<std::uint64_t>(n);
}

//
// 'drain()' - The printer reads up to bytes; how many it read.
//

std::size_t
drain(const Link &link,   // I - Connection
      std::size_t bytes)  // I - Most bytes to read
{
  char        buffer[65536];
  std::size_t taken = 0;
  pollfd      pfd{link.printer, POLLIN, 0};
  ssize_t     n     = 0;

  while (taken < bytes && poll(&pfd, 1, 500) > 0 &&
         (n = read(link.printer, buffer, std::min(sizeof(buffer), bytes - taken))) > 0)
    taken += static_cast<std::size_t>(n);
  return taken;
}

//
// 'await()' - await_printer until it answers other than Pending, or gives up.
//

PrinterAnswer
await(const Link   &link,      // I  - Connection
      SendProgress &progress)  // IO - Its bytes
{
  PrinterAnswer answer = PrinterAnswer::Pending;

  for (int step = 0; step < kSteps && answer == PrinterAnswer::Pending; step++)
    answer = await_printer(link.fd, progress, kStepMs);
  return answer;
}

} // namespace

// Bytes beyond the printer's receive buffer are written but not taken;
// they are taken as the printer reads them, the time of the last progress
// moving with them.  A half close before then is no answer.
TEST(SendQueue, WrittenBytesAreTakenOnlyAsThePrinterReadsThem)
{
  Link         link;
  SendProgress progress;

  make_link(link, 4096);
  send_bytes(link, 256 * 1024, progress);
  ASSERT_GT(progress.written, 128u * 1024);
  shutdown(link.printer, SHUT_WR);
  for (int step = 0; step < 4; step++)
    EXPECT_EQ(await_printer(link.fd, progress, kStepMs), PrinterAnswer::Pending);
  EXPECT_TRUE(progress.closed);
  EXPECT_LT(progress.taken, 64u * 1024);

  const auto          before = progress.moved;
  const std::uint64_t taken  = progress.taken;
  EXPECT_EQ(drain(link, 64 * 1024), 64u * 1024);
  for (int step = 0; step < kSteps && progress.taken < taken + 64 * 1024; step++)
    EXPECT_EQ(await_printer(link.fd, progress, kStepMs), PrinterAnswer::Pending);
  EXPECT_GE(progress.taken, taken + 64 * 1024);
  EXPECT_GT(progress.moved, before);

  EXPECT_EQ(drain(link, progress.written), progress.written - 64 * 1024);
  EXPECT_EQ(await(link, progress), PrinterAnswer::Confirmed);
  EXPECT_EQ(progress.taken, progress.written);
}
