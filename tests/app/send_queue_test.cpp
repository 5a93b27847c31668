// SPDX-License-Identifier: Apache-2.0
//
// A connection's bytes as the socket device tells them, over loopback
// connections to a "printer" the test drives: bytes are taken only once the
// printer's network stack has acknowledged them, whatever the last write
// said; every byte acknowledged is not yet a confirmed job, which takes the
// printer closing its side after them (a half close before them confirms
// nothing); a printer that drops what it took resets the connection, and
// the job is lost.
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

// Longest wait of one await_printer call in these tests, in milliseconds.
constexpr int kStepMs = 50;

// Calls of await_printer before a test gives up waiting (10 s).
constexpr int kSteps = 200;

//
// A connection from the app's side (fd) to the printer's (printer).
//

struct Link
{
  int fd      = -1;  // the app's side, non-blocking
  int printer = -1;  // the printer's side
  ~Link() { close(fd); close(printer); }
};

//
// 'make_link()' - Connect over loopback; the printer's receive buffer of
// rcvbuf bytes (0: the default).
//

void
make_link(Link &link,    // O - Connection
          int   rcvbuf)  // I - Printer's receive buffer, or 0
{
  const int   listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  socklen_t   len = sizeof(addr);

  addr.sin_family      = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (rcvbuf > 0)
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  link.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(link.fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
  link.printer = accept(listener, nullptr, nullptr);
  close(listener);
  ASSERT_GE(link.printer, 0);
}

//
// 'send_bytes()' - Write up to bytes without waiting, as the device does;
// the progress counts what the network stack took.
//

void
send_bytes(const Link   &link,      // I  - Connection
           std::size_t   bytes,     // I  - How many
           SendProgress &progress)  // IO - Its bytes
{
  const std::vector<char> data(bytes, 'x');

  progress.total += bytes;
  progress.begun = progress.moved = Clock::now();
  for (std::size_t done = 0; done < bytes;)
  {
    const ssize_t n = send(link.fd, data.data() + done, bytes - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0)
      break;
    done += static_cast<std::size_t>(n);
    progress.written += static_cast<std::uint64_t>(n);
  }
}

//
// 'drain()' - The printer reads up to bytes (all it gets when 0).
//

std::size_t
drain(const Link &link,   // I - Connection
      std::size_t bytes)  // I - How many, or 0
{
  char        buffer[65536];
  std::size_t taken = 0;
  pollfd      pfd{link.printer, POLLIN, 0};

  while ((bytes == 0 || taken < bytes) && poll(&pfd, 1, 500) > 0)
  {
    const std::size_t want = bytes ? std::min(sizeof(buffer), bytes - taken) : sizeof(buffer);
    const ssize_t     n    = read(link.printer, buffer, want);
    if (n <= 0)
      break;
    taken += static_cast<std::size_t>(n);
  }
  return taken;
}

//
// 'await()' - await_printer until it answers other than Pending (or the
// steps run out); its last answer.
//

PrinterAnswer
await(const Link &link, SendProgress &progress)
{
  PrinterAnswer answer = PrinterAnswer::Pending;

  for (int step = 0; step < kSteps && answer == PrinterAnswer::Pending; step++)
    answer = await_printer(link.fd, progress, kStepMs);
  return answer;
}

} // namespace

// What a printer's network stack holds is taken though the printer never
// reads it, but confirms nothing until the printer closes its side after
// reading.
TEST(SendQueue, AcknowledgedIsNotConfirmedUntilThePrinterCloses)
{
  Link         link;
  SendProgress progress;

  make_link(link, 0);
  send_bytes(link, 1000, progress);
  ASSERT_EQ(progress.written, 1000u);
  EXPECT_EQ(await(link, progress), PrinterAnswer::Acknowledged);
  EXPECT_EQ(progress.taken, 1000u);
  EXPECT_TRUE(progress.shut);
  EXPECT_EQ(await_printer(link.fd, progress, kStepMs), PrinterAnswer::Acknowledged);
  EXPECT_EQ(drain(link, 0), 1000u);
  close(link.printer);
  link.printer = -1;
  EXPECT_EQ(await(link, progress), PrinterAnswer::Confirmed);
}

// Bytes beyond the printer's receive buffer were written but are not
// taken; they are taken as the printer reads them, and the time of the
// last progress moves with them.  A half close before then is no answer.
TEST(SendQueue, WrittenBytesAreTakenOnlyAsThePrinterReadsThem)
{
  Link         link;
  SendProgress progress;

  make_link(link, 4096);
  send_bytes(link, 256 * 1024, progress);
  ASSERT_GT(progress.written, 64u * 1024);
  shutdown(link.printer, SHUT_WR);
  for (int step = 0; step < 4; step++)
    EXPECT_EQ(await_printer(link.fd, progress, kStepMs), PrinterAnswer::Pending);
  EXPECT_TRUE(progress.closed);
  EXPECT_LT(progress.taken, progress.written / 2);

  const auto          before = progress.moved;
  const std::uint64_t taken  = progress.taken;
  EXPECT_EQ(drain(link, 64 * 1024), 64u * 1024);
  for (int step = 0; step < kSteps && progress.taken < taken + 64 * 1024; step++)
    EXPECT_EQ(await_printer(link.fd, progress, kStepMs), PrinterAnswer::Pending);
  EXPECT_GE(progress.taken, taken + 64 * 1024);
  EXPECT_GT(progress.moved, before);

  EXPECT_EQ(drain(link, 0), progress.written - 64 * 1024);
  EXPECT_EQ(await(link, progress), PrinterAnswer::Confirmed);
  EXPECT_EQ(progress.taken, progress.written);
}

// A printer that closes without reading what its stack took resets the
// connection: whatever was acknowledged is gone, and the answer says so.
TEST(SendQueue, APrinterThatDropsWhatItTookLosesTheConnection)
{
  Link         link;
  SendProgress progress;

  make_link(link, 0);
  send_bytes(link, 1000, progress);
  ASSERT_EQ(await(link, progress), PrinterAnswer::Acknowledged);
  close(link.printer);
  link.printer = -1;
  EXPECT_EQ(await(link, progress), PrinterAnswer::Lost);
}
