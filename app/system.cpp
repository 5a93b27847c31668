// SPDX-License-Identifier: Apache-2.0
//
// The system: PAPPL's own server settings (server-port, listen-hostname,
// log-file, log-level, server-hostname, spool-directory, admin-group,
// auth-service), read the way PAPPL's default server reads them, except
// that without listen-hostname the server listens on loopback only; then
// the job flow set up and the state loaded (state.cpp).  State goes where
// PAPPL puts it: SNAP_COMMON when set, else the standard places.
//

#include "app.h"


#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace pelna_app {

namespace {

// Documents of finished jobs kept per printer (for Reprint on the web page);
// PAPPL cleans finished jobs up as each job ends only while it keeps some.
constexpr int kPreservedJobs = 1;

// Finished jobs kept per printer: the newest, so that a client may still
// ask about its job once it has ended.
constexpr int kKeptJobs = 50;

// Clients connected at once, at most: a label server's clients are a few
// phones, computers and CUPS queues; and the descriptors counted per client
// when the limit of descriptors is lower.
constexpr int    kMaxClients           = 256;
constexpr rlim_t kDescriptorsPerClient = 4;

//
// 'log_level()' - The log level named by a log-level option (warn when unset
// or unknown).
//

pappl_loglevel_t
log_level(const char *name)  // I - "fatal", "error", "warn", "info" or "debug"
{
  static const struct { const char *name; pappl_loglevel_t level; } levels[] = {
    {"fatal", PAPPL_LOGLEVEL_FATAL}, {"error", PAPPL_LOGLEVEL_ERROR},
    {"warn", PAPPL_LOGLEVEL_WARN},   {"info", PAPPL_LOGLEVEL_INFO},
    {"debug", PAPPL_LOGLEVEL_DEBUG},
  };

  for (const auto &entry : levels)
  {
    if (name && !strcmp(name, entry.name))
      return entry.level;
  }
  return PAPPL_LOGLEVEL_WARN;
}

//
// 'spool_dir()' - PAPPL's spool folder: SNAP_COMMON/NAME.d, /var/spool/NAME
// for root, else NAME<uid>.d in the temporary folder.
//

std::string
spool_dir()
{
  const char *snap = getenv("SNAP_COMMON");

  if (snap && *snap)
    return std::string(snap) + "/" + kAppName + ".d";
  if (getuid() == 0)
    return std::string("/var/spool/") + kAppName;
  return std::string(papplGetTempDir()) + "/" + kAppName + std::to_string(getuid()) + ".d";
}

//
// 'detach_output()' - Give a private server /dev/null for its standard
// input, output and error.
//
// PAPPL starts a private server for a sub-command when none runs.  It
// inherits the sub-command's output and lives on after it, so a script
// reading that output ($(pelna-printer-app printers)) would wait for ever.
// The server writes nothing there: its log goes to its log file.
//

void
detach_output()
{
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);

  if (null < 0)
    return;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
    dup2(null, fd);
  if (null > STDERR_FILENO)
    close(null);
}

//
// 'printer_created()' - Printer creation callback: its own pages, and its
// history of finished jobs bounded.
//

void
printer_created(pappl_printer_t *printer,  // I - New printer
                void            *data)     // I - Callback data
{
  papplPrinterSetMaxPreservedJobs(printer, kPreservedJobs);
  papplPrinterSetMaxCompletedJobs(printer, kKeptJobs);
  add_printer_pages(printer, data);
}

//
// 'add_drivers()' - The printers' drivers.
//

void
add_drivers(pappl_system_t *system)  // I - System
{
  papplSystemSetPrinterDrivers(system, static_cast<int>(std::size(kDrivers)), kDrivers, autoadd_callback,
                               printer_created, driver_callback, nullptr);
}

//
// 'set_up_jobs()' - Documents, drivers, devices, the job flow and the
// state, before the system runs.
//

void
set_up_jobs(pappl_system_t    *system,  // I - System
            const std::string &spool)   // I - Spool folder
{
  add_socket_scheme();
  add_document_filters(system);
  add_drivers(system);
  load_state(system, spool);
  papplSystemSetReplyCallback(system, save_before_reply, nullptr);
}

//
// 'limit_clients()' - Cap the clients connected at once well below the
// descriptor limit (PAPPL has raised the soft limit to the hard one, up to
// 65536, when it made the system): each client holds a socket and a thread,
// and a job its spool and device files.  Clients past the cap are refused
// at once.
//

void
limit_clients(pappl_system_t *system)  // I - System
{
  struct rlimit files{};
  int           cap = kMaxClients;

  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
      files.rlim_cur / kDescriptorsPerClient < static_cast<rlim_t>(cap))
    cap = std::max(1, static_cast<int>(files.rlim_cur / kDescriptorsPerClient));
  papplSystemSetMaxClients(system, cap);
}

//
// 'create_system()' - The PAPPL system of the options, not yet set up; null,
// with the reason on stderr, when an option is bad.
//

pappl_system_t *
create_system(int                num_options,  // I - Number of options
              cups_option_t     *options,      // I - Options
              const std::string &spool)        // I - Spool folder
{
  const char *value = cupsGetOption("server-port", num_options, options);
  int         port  = 0;

  if (value)
  {
    char      *end;
    const long n = strtol(value, &end, 10);
    if (*end || n < 1 || n > 65535)
    {
      fprintf(stderr, "%s: Bad 'server-port' value.\n", kAppName);
      return nullptr;
    }
    port = static_cast<int>(n);
  }

  const pappl_soptions_t soptions = static_cast<pappl_soptions_t>(
      PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG |
      PAPPL_SOPTIONS_WEB_SECURITY);

  return papplSystemCreate(soptions, kAppName, port, "_print,_universal", spool.c_str(),
                           cupsGetOption("log-file", num_options, options),
                           log_level(cupsGetOption("log-level", num_options, options)),
                           cupsGetOption("auth-service", num_options, options), false);
}

} // namespace

//
// 'system_callback()' - Create the system from the options: a server's whole
// set-up, or only the drivers for the drivers sub-command (which must not
// touch a running server's state).
//

pappl_system_t *
system_callback(int            num_options,  // I - Number of options
                cups_option_t *options,      // I - Options
                void          *data)         // I - What for (a SystemRole), or null for a server
{
  const SystemRole role = data ? *static_cast<const SystemRole *>(data) : SystemRole::Server;
  const char      *value;
  const bool       is_private = cupsGetOption("private-server", num_options, options) != nullptr;
  std::string      why;

  if (role == SystemRole::Server && !lock_state(state_path(), why))
  {
    fprintf(stderr, "%s: Not started: %s.\n", kAppName, why.c_str());
    return nullptr;
  }

  const std::string spool  = cupsGetOption("spool-directory", num_options, options)
                                 ? cupsGetOption("spool-directory", num_options, options) : spool_dir();
  pappl_system_t   *system = create_system(num_options, options, spool);
  if (!system)
    return nullptr;
  if (role == SystemRole::DriverList)
  {
    add_drivers(system);
    return system;
  }

  limit_clients(system);
  if (is_private)
    detach_output();
  if (!setup_network(system, num_options, options, is_private))
  {
    papplSystemDelete(system);
    return nullptr;
  }
  if ((value = cupsGetOption("server-hostname", num_options, options)) != nullptr)
    papplSystemSetHostName(system, value);

  // papplMainloop adds the footer and the versions itself; the drivers are
  // added here, for the state file names the printers' drivers.
  add_web_pages(system);
  set_up_jobs(system, spool);
  return system;
}

} // namespace pelna_app
