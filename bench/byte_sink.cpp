// SPDX-License-Identifier: Apache-2.0
//
// byte-sink: a network printer that swallows whatever it is sent, for the
// benchmarks.  It listens on a free loopback port, takes any number of
// connections at once, reads and drops their bytes, and counts them.
//
//   byte-sink [-t]
//
// Prints "listening on 127.0.0.1:PORT" once it listens; on SIGTERM or
// SIGINT it prints "connections N bytes B" and exits 0.  With -t it also
// prints "first-byte SECONDS" (the wall clock, to the microsecond) when a
// connection's first byte arrives.  It never answers a printer's status
// query: a server waiting for an answer times out.
//

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr std::size_t kMaxClients = 64;     // connections served at once
constexpr std::size_t kChunk      = 65536;  // bytes read at a time
constexpr int         kBacklog    = 16;     // connections waiting for accept

volatile std::sig_atomic_t g_stop = 0;  // set by SIGTERM or SIGINT

//
// 'on_signal()' - Ask the loop to stop.
//

void
on_signal(int)  // I - Signal number (unused)
{
  g_stop = 1;
}

//
// 'listen_loopback()' - A socket listening on a free loopback port; -1 on
//                       failure.  The port goes to *port.
//

int
listen_loopback(unsigned *port)  // O - Port listened on
{
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);

  if (fd < 0)
    return -1;

  sockaddr_in addr{};
  socklen_t   len = sizeof(addr);

  addr.sin_family      = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port        = 0;  // the kernel picks a free one

  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) ||
      listen(fd, kBacklog) ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len))
  {
    close(fd);
    return -1;
  }

  *port = ntohs(addr.sin_port);
  return fd;
}

//
// 'drain()' - Read what a connection has without waiting; false once it is
//             closed (or broken).  *more tells whether bytes came.
//

bool
drain(int            fd,     // I  - Connection
      std::uint64_t &bytes,  // IO - Bytes counted
      bool          *more)   // O  - Whether this read found bytes
{
  static char   buffer[kChunk];
  const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);

  *more = n > 0;
  if (n > 0)
  {
    bytes += static_cast<std::uint64_t>(n);
    return true;
  }
  return n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK);
}

//
// 'note_first_byte()' - Print the wall-clock time a connection's first byte
//                       arrived.
//

void
note_first_byte()
{
  timespec now{};

  clock_gettime(CLOCK_REALTIME, &now);
  printf("first-byte %lld.%06ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
  fflush(stdout);
}

} // namespace

//
// 'main()' - Listen, swallow and count until told to stop.
//

int
main(int  argc,    // I - Number of arguments
     char *argv[]) // I - Arguments
{
  struct sigaction action {};
  const bool       timed = argc == 2 && !strcmp(argv[1], "-t");

  if (argc > 2 || (argc == 2 && !timed))
  {
    fputs("usage: byte-sink [-t]\n", stderr);
    return 2;
  }

  action.sa_handler = on_signal;  // no SA_RESTART: poll returns at once
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  unsigned  port     = 0;
  const int listener = listen_loopback(&port);

  if (listener < 0)
  {
    perror("byte-sink: listen");
    return 1;
  }
  printf("listening on 127.0.0.1:%u\n", port);
  fflush(stdout);

  std::vector<pollfd> fds{{listener, POLLIN, 0}};  // listener first, then clients
  std::vector<bool>   heard{false};                // whether each has sent a byte
  std::uint64_t       bytes       = 0;
  std::uint64_t       connections = 0;

  while (!g_stop)
  {
    if (poll(fds.data(), fds.size(), -1) < 0)
      continue;  // EINTR: look at g_stop

    bool more = false;

    for (std::size_t i = fds.size(); i-- > 1;)
    {
      if (!fds[i].revents)
        continue;
      const bool open = drain(fds[i].fd, bytes, &more);
      if (more && timed && !heard[i])
        note_first_byte();
      heard[i] = heard[i] || more;
      if (!open)
      {
        close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
        heard.erase(heard.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }

    if ((fds[0].revents & POLLIN) && fds.size() <= kMaxClients)
      if (const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); client >= 0)
      {
        fds.push_back({client, POLLIN, 0});
        heard.push_back(false);
        connections ++;
      }
  }

  for (std::size_t i = fds.size(); i-- > 1;)  // what has arrived still counts
  {
    bool more = true;

    while (more && drain(fds[i].fd, bytes, &more))
      ;
    close(fds[i].fd);
  }
  close(listener);

  printf("connections %llu bytes %llu\n", static_cast<unsigned long long>(connections),
         static_cast<unsigned long long>(bytes));
  return 0;
}
