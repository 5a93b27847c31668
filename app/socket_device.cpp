// SPDX-License-Identifier: Apache-2.0
//
// Network printers (socket://HOST[:PORT], port 9100 by default): the app's
// own device scheme in place of PAPPL's, so that a job counts as printed
// only when the printer has taken all of it, and a printer that cannot be
// reached keeps its jobs.
//
// Opening the device connects to nothing; each job makes its own
// connection when its data is ready (deliver_to_socket):
//
//   - it connects, and while the printer cannot be reached it tries again
//     every few seconds; the printer then reports offline-report and the
//     job's state message names the printer and the cause;
//   - it sends the job's whole printer data (every copy); when the
//     connection is lost on the way the job is sent again, whole, on a new
//     connection: a frame cut by a lost connection is never continued;
//   - it closes its sending side and waits until the printer's network
//     stack has acknowledged every byte (the socket's send queue is empty;
//     send_queue.cpp): only then is the job noted as printed, since a
//     crash or a power cut of this machine before then loses the bytes
//     still queued; such a job prints again from its first page;
//   - it then waits for the printer to close its side, which a printer
//     does once it has read everything; one that keeps the connection open
//     leaves the job completed but unconfirmed, which its message says;
//   - once the job has been on its way a few seconds its message says how
//     much the printer has taken; a printer that takes nothing more, or
//     does not confirm, for a while is reported offline and the job says
//     why in words; a job whose bytes remain unacknowledged waits on (the
//     printer may be out of labels), never counted as printed;
//   - the job's message ends with what became of the job;
//   - cancelling the job ends all of this within a quarter of a second.
//
// Each wait is a poll of at most kStepMs, between which the job is checked
// for cancellation and the printer for deletion: a printer being deleted
// (the server stopping) waits, in stop_deliveries, until its job thread
// has stopped touching PAPPL; that thread then sleeps until the process
// ends, and the job, still "processing" in the saved state, prints again
// after the next start.
//

#include "app.h"
#include "send_queue.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pelna_app {

namespace {

// Port of a socket:// URI that names none.
constexpr const char *kDefaultPort = "9100";

// Longest single wait between checks for cancellation, in milliseconds.
constexpr int kStepMs = 250;

// Seconds a connection may take to be made.
constexpr int kConnectSeconds = 10;

// Seconds between tries to reach a printer that cannot be reached.
constexpr int kRetrySeconds = 5;

// Seconds on its way after which a job's message says how much the printer
// has taken.
constexpr int kProgressSeconds = 3;

// Seconds without the printer taking more, or confirming the job, after
// which it is reported.
constexpr int kStallSeconds = 10;

// Seconds a printer that has acknowledged every byte may keep the
// connection open before the job ends unconfirmed.
constexpr int kCloseSeconds = 30;

//
// The app's socket device: where the printer is, and the open connection.
//

struct SocketDevice
{
  std::string host;       // host name or address
  std::string port;       // port number as text
  std::string name;       // HOST:PORT, for messages
  int         fd = -1;    // connection made by write_cb, or -1
};

//
// The job threads delivering to each printer, and the printers being
// deleted.
//

struct Deliveries
{
  std::mutex                                lock;      // guards the members below
  std::condition_variable                   changed;   // a delivery ended or stopped
  std::set<pappl_printer_t *>               active;    // printers with a delivery under way
  std::set<pappl_printer_t *>               deleting;  // printers being deleted
  std::set<pappl_device_t *>                devices;   // devices of this scheme now open
};

// The one registry.  Never destroyed: a stopped delivery sleeps until exit.
Deliveries &g_deliveries = *new Deliveries;

//
// One job's delivery, as its waits see it.
//

struct Delivery
{
  pappl_job_t      *job;                // the job
  pappl_printer_t  *printer;            // its printer
  SocketDevice     *device;             // where to
  bool              offline = false;    // offline-report set for this job
  std::string       reported;           // the last cause logged
  std::string       shown;              // the job's message set here, or empty
  Clock::time_point shown_at;           // when it was set
  SendProgress      progress;           // the current connection's bytes
};

//
// 'stop_here()' - The printer is being deleted: stop touching PAPPL and
// sleep until the process ends.
//

[[noreturn]] void
stop_here(pappl_printer_t *printer)  // I - Printer
{
  {
    const std::lock_guard<std::mutex> hold(g_deliveries.lock);
    g_deliveries.active.erase(printer);
  }
  g_deliveries.changed.notify_all();
  for (;;)
    std::this_thread::sleep_for(std::chrono::hours(1));
}

//
// 'go_on()' - Whether the delivery goes on: false when the job was
// cancelled; never returns when the printer is being deleted.
//

bool
go_on(const Delivery &d)  // I - The delivery
{
  bool deleting;
  {
    const std::lock_guard<std::mutex> hold(g_deliveries.lock);
    deleting = g_deliveries.deleting.contains(d.printer);
  }
  if (deleting)
    stop_here(d.printer);
  return !papplJobIsCanceled(d.job);
}

//
// 'show()' - Make a text the job's state message, when it is new.
//

void
show(Delivery          &d,     // IO - The delivery
     const std::string &text)  // I  - Message
{
  if (text == d.shown)
    return;
  d.shown    = text;
  d.shown_at = Clock::now();
  papplJobSetMessage(d.job, "%s", text.c_str());
}

//
// 'report()' - Tell the job, the printer and the log why the job waits:
// the message in words (which may count seconds), the log once per cause.
//

void
report(Delivery          &d,      // IO - The delivery
       const std::string &cause,  // I  - Why it waits, as logged once
       const std::string &words)  // I  - Why it waits, as the job shows it
{
  if (!d.offline)
    papplPrinterSetReasons(d.printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
  d.offline = true;
  show(d, "Waiting for the printer at " + d.device->name + ": " + words + ".");
  if (cause == d.reported)
    return;
  d.reported = cause;
  papplLogJob(d.job, PAPPL_LOGLEVEL_WARN, "Waiting for the printer at %s: %s.", d.device->name.c_str(),
              words.c_str());
}

//
// 'report()' - Tell why the job waits, in words that do not change.
//

void
report(Delivery          &d,      // IO - The delivery
       const std::string &cause)  // I  - Why it waits
{
  report(d, cause, cause);
}

//
// 'clear_report()' - The printer answers, or takes data, again: its reason
// goes; the job says what it does now.
//

void
clear_report(Delivery   &d,     // IO - The delivery
             const char *what)  // I  - What the printer does again
{
  if (!d.offline)
    return;
  d.offline = false;
  d.reported.clear();
  papplPrinterSetReasons(d.printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
  show(d, "Sending the job to the printer at " + d.device->name + ".");
  papplLogJob(d.job, PAPPL_LOGLEVEL_INFO, "The printer at %s %s.", d.device->name.c_str(), what);
}

//
// 'watch()' - Tell how the printer takes the job: once the job has been
// on its way a few seconds, how much it has taken; once it has taken
// nothing more for a while, why the job waits.
//

void
watch(Delivery &d)  // IO - The delivery
{
  const SendProgress &p     = d.progress;
  const auto          now   = Clock::now();
  const auto          quiet = std::chrono::duration_cast<std::chrono::seconds>(now - p.moved).count();
  const std::string   taken = std::to_string(p.taken), total = std::to_string(p.total);

  if (quiet >= kStallSeconds)
  {
    const std::string since = std::to_string(quiet) + " s";
    if (p.taken == 0)
      report(d, "it takes no data", "it accepted the connection and has taken nothing for " + since);
    else if (p.taken < p.total)
      report(d, "it takes no data", "it has taken " + taken + " of " + total + " bytes, and nothing more for " + since);
    else
      report(d, "it does not confirm the job", "it has taken all " + total + " bytes and not confirmed the job for " +
             since);
    return;
  }
  clear_report(d, "takes data again");
  if (now - p.begun < std::chrono::seconds(kProgressSeconds) || now - d.shown_at < std::chrono::seconds(1))
    return;
  if (p.taken < p.total)
    show(d, "Sending the job to the printer at " + d.device->name + ": it has taken " + taken + " of " + total +
         " bytes.");
  else
    show(d, "Waiting for the printer at " + d.device->name + " to confirm the job: it has taken all " + total +
         " bytes.");
}

//
// 'pause_for()' - Wait some seconds, checking the job; false when it was
// cancelled.
//

bool
pause_for(const Delivery &d,        // I - The delivery
          int             seconds)  // I - How long
{
  for (int waited = 0; waited < seconds * 1000; waited += kStepMs)
  {
    if (!go_on(d))
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
  }
  return go_on(d);
}

//
// 'connect_one()' - Start a non-blocking connection to one address and
// wait for it; the socket, or -1 with the cause.
//

int
connect_one(const Delivery  &d,      // I - The delivery
            const addrinfo  *addr,   // I - Address
            std::string     &cause)  // O - Why not
{
  const int fd = socket(addr->ai_family, addr->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, addr->ai_protocol);

  if (fd < 0)
  {
    cause = strerror(errno);
    return -1;
  }
  if (connect(fd, addr->ai_addr, addr->ai_addrlen) == 0)
    return fd;
  if (errno != EINPROGRESS)
  {
    cause = strerror(errno);
    close(fd);
    return -1;
  }
  for (int waited = 0; waited < kConnectSeconds * 1000 && go_on(d); waited += kStepMs)
  {
    pollfd pfd{fd, POLLOUT, 0};
    if (poll(&pfd, 1, kStepMs) <= 0)
      continue;

    int       error = 0;
    socklen_t len   = sizeof(error);
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error == 0)
      return fd;
    cause = strerror(error);
    close(fd);
    return -1;
  }
  cause = "no answer";
  close(fd);
  return -1;
}

//
// 'connect_to()' - Connect to the printer; the socket, or -1 with the cause.
//

int
connect_to(const Delivery &d,      // I - The delivery
           std::string    &cause)  // O - Why not
{
  addrinfo  hints{};
  addrinfo *addrs = nullptr;

  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags    = AI_ADDRCONFIG;
  if (const int error = getaddrinfo(d.device->host.c_str(), d.device->port.c_str(), &hints, &addrs))
  {
    cause = gai_strerror(error);
    return -1;
  }

  int fd = -1;
  for (const addrinfo *addr = addrs; addr && fd < 0 && go_on(d); addr = addr->ai_next)
    fd = connect_one(d, addr, cause);
  freeaddrinfo(addrs);
  return fd;
}

//
// What became of sending a job on one connection.
//

enum class Sent
{
  Taken,        // the printer acknowledged everything and closed its side
  Unconfirmed,  // the printer acknowledged everything but kept its side open
  Lost,         // the connection was lost: send the job again
  Canceled,     // the job was cancelled
  Failed        // the job's data could not be read back
};

//
// 'send_piece()' - Send one piece of the data, waiting while the printer
// takes nothing; Taken when sent.
//

Sent
send_piece(Delivery                     &d,      // IO - The delivery
           int                           fd,     // I  - Connection
           std::span<const std::uint8_t> piece)  // I  - What to send
{
  while (!piece.empty())
  {
    if (!go_on(d))
      return Sent::Canceled;

    pollfd pfd{fd, POLLOUT, 0};
    if (poll(&pfd, 1, kStepMs) > 0)
    {
      const ssize_t n = send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR)
      {
        report(d, std::string("the connection was lost (") + strerror(errno) + "); sending the job again");
        return Sent::Lost;
      }
      if (n > 0)
      {
        piece = piece.subspan(static_cast<std::size_t>(n));
        d.progress.written += static_cast<std::uint64_t>(n);
      }
    }
    note_acknowledged(fd, d.progress);
    watch(d);
  }
  return Sent::Taken;
}

//
// 'await_job()' - After the last byte: wait until the printer has
// acknowledged every byte, when the job is noted as printed, and has
// closed its side.  A printer that keeps bytes unacknowledged keeps the
// job waiting (it may be out of labels); one that has acknowledged every
// byte and keeps its side open leaves the job unconfirmed after a while.
//

Sent
await_job(Delivery &d,   // IO - The delivery
          int       fd)  // I  - Connection
{
  bool printed = false;

  for (;;)
  {
    if (!go_on(d))
      return Sent::Canceled;

    const PrinterAnswer answer = await_printer(fd, d.progress, kStepMs);
    if (answer == PrinterAnswer::Lost)
    {
      report(d, std::string("the connection was lost (") + strerror(errno) + "); sending the job again");
      return Sent::Lost;
    }
    if (answer != PrinterAnswer::Pending && !printed)
    {
      note_job(d.job, JobEvent::Printed);  // every byte is in the printer's memory
      printed = true;
    }
    if (answer == PrinterAnswer::Confirmed)
      return Sent::Taken;
    if (answer == PrinterAnswer::Acknowledged && Clock::now() - d.progress.moved >= std::chrono::seconds(kCloseSeconds))
      return Sent::Unconfirmed;
    watch(d);
  }
}

//
// 'send_job()' - Send every copy of the job's data on one connection and
// wait for the printer to take it.
//

Sent
send_job(Delivery         &d,       // IO - The delivery
         int               fd,      // I  - Connection
         const FrameStore &frames,  // I  - The job's printer data
         int               copies)  // I  - Copies, each whole
{
  std::vector<std::uint8_t> buffer;

  d.progress       = SendProgress{};
  d.progress.total = frames_size(frames) * static_cast<std::uint64_t>(copies);
  d.progress.begun = d.progress.moved = Clock::now();
  for (int copy = 0; copy < copies; copy++)
  {
    for (std::uint64_t offset = 0; offset < frames_size(frames);)
    {
      const auto piece = frames_at(frames, offset, buffer);
      if (piece.empty())
      {
        job_error(d.job, (std::string("The job's printer data cannot be read back: ") + strerror(errno) + ".").c_str());
        return Sent::Failed;
      }
      if (copy + 1 == copies && offset + piece.size() == frames_size(frames))
        note_job(d.job, JobEvent::Sending);
      if (const Sent sent = send_piece(d, fd, piece); sent != Sent::Taken)
        return sent;
      offset += piece.size();
    }
  }

  // The last write returning says only that the network stack has the
  // bytes: the job counts as printed once the printer acknowledges them.
  const Sent sent = await_job(d, fd);
  if (sent != Sent::Taken && sent != Sent::Unconfirmed)
    note_job(d.job, JobEvent::Unprinted);
  return sent;
}

//
// 'deliver()' - Send the job until the printer has taken it whole, the job
// is cancelled, or its data cannot be read back.
//

Sent
deliver(Delivery         &d,       // IO - The delivery
        const FrameStore &frames,  // I  - The job's printer data
        int               copies)  // I  - Copies
{
  for (;;)
  {
    std::string cause;
    const int   fd = go_on(d) ? connect_to(d, cause) : -1;

    if (!go_on(d))
    {
      if (fd >= 0)
        close(fd);
      return Sent::Canceled;
    }
    if (fd < 0)
    {
      report(d, cause + "; trying again every " + std::to_string(kRetrySeconds) + " seconds");
      if (!pause_for(d, kRetrySeconds))
        return Sent::Canceled;
      continue;
    }

    clear_report(d, "answers again");
    const Sent sent = send_job(d, fd, frames, copies);
    if (sent == Sent::Canceled)
    {
      const linger abort{1, 0};  // drop what the printer has not read
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    }
    close(fd);
    if (sent != Sent::Lost || !pause_for(d, 1))
      return sent == Sent::Lost ? Sent::Canceled : sent;
  }
}

//
// 'tell_outcome()' - End the job's message with what became of it, once
// the delivery has set one; a job the printer did not confirm says so
// always.
//

void
tell_outcome(Delivery &d,     // IO - The delivery
             Sent      sent)  // I  - What became of it
{
  const std::string &name = d.device->name;

  if (sent == Sent::Unconfirmed)
  {
    const std::string words = "The printer at " + name + " did not confirm the job: it took all " +
                              std::to_string(d.progress.total) + " bytes but kept the connection open for " +
                              std::to_string(kCloseSeconds) + " s.";
    show(d, words);
    papplLogJob(d.job, PAPPL_LOGLEVEL_WARN, "%s", words.c_str());
    papplJobSetReasons(d.job, PAPPL_JREASON_WARNINGS_DETECTED | PAPPL_JREASON_JOB_COMPLETED_WITH_WARNINGS,
                       PAPPL_JREASON_NONE);
  }
  else if (d.shown.empty())
    return;
  else if (sent == Sent::Taken)
    show(d, "The printer at " + name + " has taken the whole job.");
  else if (sent == Sent::Canceled)
    show(d, "Canceled while waiting for the printer at " + name + ".");
}

//
// 'parse_uri()' - The host and port of a socket:// URI; false when bad.
//

bool
parse_uri(const char   *uri,     // I - Device URI
          SocketDevice &device)  // O - Host and port
{
  char scheme[32], userpass[256], host[256], resource[256];
  int  port = 0;

  if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), userpass, sizeof(userpass), host,
                      sizeof(host), &port, resource, sizeof(resource)) < HTTP_URI_STATUS_OK || !host[0])
    return false;
  device.host = host;
  device.port = port > 0 ? std::to_string(port) : kDefaultPort;
  device.name = device.host + ":" + device.port;
  return true;
}

//
// 'socket_open()' - Device open callback: note where the printer is.
//

bool
socket_open(pappl_device_t *device,  // I - Device
            const char     *uri,     // I - Device URI
            const char     *name)    // I - Job name (unused)
{
  (void)name;

  auto *data = new (std::nothrow) SocketDevice;
  if (!data || !parse_uri(uri, *data))
  {
    papplDeviceError(device, "Bad network printer address \"%s\".", uri);
    delete data;
    return false;
  }
  papplDeviceSetData(device, data);
  const std::lock_guard<std::mutex> hold(g_deliveries.lock);
  g_deliveries.devices.insert(device);
  return true;
}

//
// 'socket_close()' - Device close callback.
//

void
socket_close(pappl_device_t *device)  // I - Device
{
  auto *data = static_cast<SocketDevice *>(papplDeviceGetData(device));
  {
    const std::lock_guard<std::mutex> hold(g_deliveries.lock);
    g_deliveries.devices.erase(device);
  }
  if (data && data->fd >= 0)
    close(data->fd);
  delete data;
}

//
// 'socket_read()' - Device read callback: what the printer sends back.
//

ssize_t
socket_read(pappl_device_t *device,  // I - Device
            void           *buffer,  // O - Bytes read
            size_t          bytes)   // I - Room in buffer
{
  auto  *data = static_cast<SocketDevice *>(papplDeviceGetData(device));
  pollfd pfd{data ? data->fd : -1, POLLIN, 0};

  if (pfd.fd < 0 || poll(&pfd, 1, 1000) <= 0)
    return -1;
  return recv(pfd.fd, buffer, bytes, 0);
}

//
// 'socket_write()' - Device write callback, for data written outside a
// job's delivery: connects once and sends.
//

ssize_t
socket_write(pappl_device_t *device,  // I - Device
             const void     *buffer,  // I - Bytes to write
             size_t          bytes)   // I - Number of bytes
{
  auto *data = static_cast<SocketDevice *>(papplDeviceGetData(device));

  if (!data)
    return -1;
  if (data->fd < 0)
  {
    addrinfo  hints{};
    addrinfo *addrs = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(data->host.c_str(), data->port.c_str(), &hints, &addrs))
      return -1;
    for (const addrinfo *a = addrs; a && data->fd < 0; a = a->ai_next)
    {
      data->fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
      if (data->fd >= 0 && connect(data->fd, a->ai_addr, a->ai_addrlen) != 0)
      {
        close(data->fd);
        data->fd = -1;
      }
    }
    freeaddrinfo(addrs);
    if (data->fd < 0)
      return -1;
  }

  const auto *bytes_in = static_cast<const std::uint8_t *>(buffer);
  for (size_t done = 0; done < bytes;)
  {
    const ssize_t n = send(data->fd, bytes_in + done, bytes - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return -1;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(bytes);
}

} // namespace

//
// 'add_socket_scheme()' - Use the app's socket device for socket:// URIs, in
// place of PAPPL's own.
//

void
add_socket_scheme()
{
  papplDeviceAddScheme("socket", PAPPL_DEVTYPE_SOCKET, nullptr, socket_open, socket_close, socket_read, socket_write,
                       nullptr, nullptr);
}

//
// 'is_socket_device()' - Whether a device is one of the app's socket devices.
//

bool
is_socket_device(pappl_device_t *device)  // I - Device
{
  const std::lock_guard<std::mutex> hold(g_deliveries.lock);

  return g_deliveries.devices.contains(device);
}

//
// 'deliver_to_socket()' - Send a job's printer data, every copy, until the
// printer has taken it whole; false when the job was cancelled or its data
// could not be read back.  Never returns when the printer is deleted
// meanwhile (see above).
//

bool
deliver_to_socket(pappl_job_t      *job,     // I - Job
                  pappl_device_t   *device,  // I - One of the app's socket devices
                  const FrameStore &frames,  // I - The job's printer data
                  int               copies)  // I - Copies
{
  Delivery d{job, papplJobGetPrinter(job), static_cast<SocketDevice *>(papplDeviceGetData(device)), false, {}, {}, {},
             {}};
  {
    const std::lock_guard<std::mutex> hold(g_deliveries.lock);
    g_deliveries.active.insert(d.printer);
  }

  const Sent sent = deliver(d, frames, copies);
  {
    const std::lock_guard<std::mutex> hold(g_deliveries.lock);
    g_deliveries.active.erase(d.printer);
  }
  g_deliveries.changed.notify_all();
  if (d.offline)
    papplPrinterSetReasons(d.printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
  tell_outcome(d, sent);
  return sent == Sent::Taken || sent == Sent::Unconfirmed;
}

//
// 'stop_deliveries()' - A printer is being deleted: wait until its job
// thread, if it is delivering, has stopped touching PAPPL.
//

void
stop_deliveries(pappl_printer_t *printer)  // I - Printer
{
  std::unique_lock<std::mutex> hold(g_deliveries.lock);

  g_deliveries.deleting.insert(printer);
  g_deliveries.changed.wait(hold, [printer] { return !g_deliveries.active.contains(printer); });
  g_deliveries.deleting.erase(printer);  // its memory may serve a new printer
}

} // namespace pelna_app
