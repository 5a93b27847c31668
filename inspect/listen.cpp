// SPDX-License-Identifier: Apache-2.0
//
// The virtual printer: accepts raw socket print jobs the way a network label
// printer on port 9100 does, one connection per job, and checks and draws
// every page of each job into a folder of its own:
//
//   OUT/job-0001/page-0001.png     one picture per page that has dots
//   OUT/job-0001/summary.json      the JSON summary of the job
//
// summary.json is written under a temporary name and renamed, and only then
// is the connection closed, so a sender that sees its job finish finds the
// complete summary.  Jobs are served one after another until SIGTERM or
// SIGINT arrives (or after one job with --once).
//

#include "tool_io.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace inspect {

volatile std::sig_atomic_t g_stop_listening = 0;  // set by SIGTERM and SIGINT

namespace {

// Connections waiting while a job is served.
constexpr int kBacklog = 8;

// What the page sink of a job needs.
struct JobContext
{
  std::string   dir;      // the job's folder
  PictureFormat format;
  FILE         *log;
};

//
// 'stop_listening()' - Signal handler: end the virtual printer.
//

void
stop_listening(int sig)  // I - Signal number (unused)
{
  (void)sig;

  g_stop_listening = 1;
}

//
// 'peer_name()' - Address and port of a socket's peer as text.
//

std::string
peer_name(const struct sockaddr_storage &peer)  // I - Peer address
{
  char host[INET6_ADDRSTRLEN] = "?";
  int  port = 0;

  if (peer.ss_family == AF_INET)
  {
    const auto *in = reinterpret_cast<const struct sockaddr_in *>(&peer);

    inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
    port = ntohs(in->sin_port);
  }
  else if (peer.ss_family == AF_INET6)
  {
    const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(&peer);

    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
    port = ntohs(in6->sin6_port);
  }

  return std::string(host) + ":" + std::to_string(port);
}

//
// 'draw_page()' - Page sink of a job: write the page's picture.
//

void
draw_page(Page &page,     // IO - Page; its picture name is set
          void *context)  // I  - JobContext
{
  const JobContext *job = static_cast<const JobContext *>(context);
  std::string       error;

  if (!page_has_picture(page))
    return;

  const std::string name = picture_name(page.number, job->format);

  if (write_picture(job->dir + "/" + name, page, job->format, error))
    page.picture = name;
  else
    fprintf(job->log, "%s\n", error.c_str());
}

//
// 'claim_job_dir()' - Create the folder of the next free job number.
//
// Returns the folder, or an empty string with errno set.
//

std::string
claim_job_dir(const std::string &out,     // I  - Where job folders go
              unsigned          &number)  // IO - First number to try; the one taken
{
  char name[32];

  for (;; number ++)
  {
    snprintf(name, sizeof(name), "/job-%04u", number);

    std::string dir = out + name;

    if (!mkdir(dir.c_str(), 0755))
      return dir;
    if (errno != EEXIST)
      return std::string();
  }
}

//
// 'write_summary()' - Write summary.json of a job, complete or not at all.
//

bool
write_summary(const std::string &dir,     // I - Job folder
              const Result      &result,  // I - Result of the job
              const JobInfo     &info)    // I - Job details
{
  const std::string path = dir + "/summary.json";
  const std::string temp = path + ".tmp";
  FILE             *fp   = fopen(temp.c_str(), "w");

  if (!fp)
    return false;

  write_json(fp, result, &info);

  const bool written = !ferror(fp);

  if (fclose(fp) || !written)
    return false;

  return !rename(temp.c_str(), path.c_str());
}

//
// 'serve_job()' - Read, check and draw one job from a connection.
//
// Returns 0 when every page of the job is sound, 1 when not, 2 when the job
// could not be recorded.
//

int
serve_job(int                            conn,      // I  - Connection of the job
          const struct sockaddr_storage &peer,      // I  - Sender
          const ListenOptions           &options,   // I  - Virtual printer options
          const sigset_t                *waitMask,  // I  - Signal mask while waiting
          unsigned                      &number)    // IO - Next job number
{
  JobInfo     info;
  Result      result;
  Options     decoder = options.decoder;
  std::string dir = claim_job_dir(options.out, number);

  if (dir.empty())
  {
    fprintf(options.log, "%s: cannot create a job folder: %s\n", options.out.c_str(),
            strerror(errno));
    return 2;
  }

  JobContext context{dir, options.format, options.log};
  Reader     reader;

  reader.fd        = conn;
  reader.idle_ms   = options.idle_seconds * 1000;
  reader.wait_mask = waitMask;
  reader.stop      = &g_stop_listening;

  decoder.keep_dots = true;
  inspect_fd(reader, decoder, draw_page, &context, result);

  info.number = number ++;
  info.peer   = peer_name(peer);
  info.end    = reader.end;

  // Take what the sender still has after a frame that could not be
  // located, so that it is not cut off in the middle of its job.
  (void)drain_input(reader);
  result.input_bytes = reader.bytes;

  const bool saved = write_summary(dir, result, info);

  fprintf(options.log, "%s: %s, %zu page%s, %llu bytes, %s%s\n", dir.c_str(),
          info.peer.c_str(), result.pages.size(), result.pages.size() == 1 ? "" : "s",
          static_cast<unsigned long long>(result.input_bytes),
          result.sound ? "sound" : "faults", saved ? "" : " (summary.json not written)");
  fflush(options.log);

  if (!saved)
    return 2;

  return result.sound ? 0 : 1;
}

} // namespace

//
// 'install_stop_handlers()' - Make SIGTERM and SIGINT end the virtual
//                             printer cleanly; ignore SIGPIPE.
//

void
install_stop_handlers()
{
  struct sigaction action;

  memset(&action, 0, sizeof(action));
  sigemptyset(&action.sa_mask);
  action.sa_handler = stop_listening;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  // A sender that goes away must not kill the printer.
  signal(SIGPIPE, SIG_IGN);
}

//
// 'listen_open()' - Open a listening TCP socket on a numeric address.
//
// Port 0 takes any free port (see listen_port()).  Returns the socket, or
// -1 with a message in error.
//

int
listen_open(const char  *address,  // I - IPv4 or IPv6 address, e.g. "127.0.0.1"
            int          port,     // I - Port, 0 to 65535
            std::string &error)    // O - Message on failure
{
  struct sockaddr_storage addr = {};
  socklen_t               addrLength;
  auto *in  = reinterpret_cast<struct sockaddr_in *>(&addr);
  auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&addr);

  if (inet_pton(AF_INET, address, &in->sin_addr) == 1)
  {
    in->sin_family = AF_INET;
    in->sin_port   = htons(static_cast<std::uint16_t>(port));
    addrLength     = sizeof(*in);
  }
  else if (inet_pton(AF_INET6, address, &in6->sin6_addr) == 1)
  {
    in6->sin6_family = AF_INET6;
    in6->sin6_port   = htons(static_cast<std::uint16_t>(port));
    addrLength       = sizeof(*in6);
  }
  else
  {
    error = std::string(address) + ": not a numeric IPv4 or IPv6 address";
    return -1;
  }

  const int fd  = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;

  if (fd < 0)
  {
    error = std::string("socket: ") + strerror(errno);
    return -1;
  }

  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));

  if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), addrLength) ||
      listen(fd, kBacklog))
  {
    error = std::string(address) + " port " + std::to_string(port) + ": " + strerror(errno);
    close(fd);
    return -1;
  }

  return fd;
}

//
// 'listen_port()' - Port a listening socket is bound to, or -1.
//

int
listen_port(int fd)  // I - Listening socket
{
  struct sockaddr_storage addr = {};
  socklen_t               length = sizeof(addr);

  if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &length))
    return -1;

  if (addr.ss_family == AF_INET)
    return ntohs(reinterpret_cast<struct sockaddr_in *>(&addr)->sin_port);
  if (addr.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<struct sockaddr_in6 *>(&addr)->sin6_port);

  return -1;
}

//
// 'listen_serve()' - Serve print jobs on a listening socket.
//
// SIGTERM and SIGINT are held back except while waiting, so a signal never
// cuts a file write short; the job being read ends as "stopped".  Returns
// the exit status: with --once the job's (0 sound, 1 faults), otherwise 0
// after a stop; 2 when a job could not be recorded or accept() failed.
//

int
listen_serve(int                  fd,       // I - Listening socket
             const ListenOptions &options)  // I - Virtual printer options
{
  sigset_t block, original, waitMask;
  unsigned number = 1;
  int      status = 0;

  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &original);
  waitMask = original;
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);

  if (mkdir(options.out.c_str(), 0755) && errno != EEXIST)
  {
    fprintf(options.log, "%s: %s\n", options.out.c_str(), strerror(errno));
    status = 2;
  }

  while (status != 2 && !g_stop_listening)
  {
    struct pollfd pfd = {fd, POLLIN, 0};

    if (ppoll(&pfd, 1, nullptr, &waitMask) < 0)
      continue;   // a signal: the loop looks at the stop flag

    struct sockaddr_storage peer = {};
    socklen_t               peerLength = sizeof(peer);
    const int conn = accept4(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLength,
                             SOCK_CLOEXEC);

    if (conn < 0)
    {
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN)
        continue;
      fprintf(options.log, "accept: %s\n", strerror(errno));
      status = 2;
      break;
    }

    const int jobStatus = serve_job(conn, peer, options, &waitMask, number);

    close(conn);

    if (jobStatus == 2 || options.once)
      status = jobStatus;
    if (options.once)
      break;
  }

  pthread_sigmask(SIG_SETMASK, &original, nullptr);
  return status;
}

} // namespace inspect
