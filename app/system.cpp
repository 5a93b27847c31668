// SPDX-License-Identifier: Apache-2.0
//
// The system: PAPPL's own server settings (server-port, listen-hostname,
// log-file, log-level, server-hostname, spool-directory, admin-group,
// auth-service), read the way PAPPL's default server reads them, except
// that without listen-hostname the server listens on loopback only.  State
// goes where PAPPL puts it: SNAP_COMMON when set, else the standard places.
//

#include "app.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace pelna_app {

namespace {

// Address the server listens on unless listen-hostname says otherwise.
constexpr const char *kDefaultListen = "localhost";

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
// 'unknown_format()' - Name documents PAPPL cannot recognise.
//
// A document sent as application/octet-stream that PAPPL 1.3 cannot
// recognise crashes the server when it comes to print it (it compares the
// format with the driver's, which raster drivers leave unset).  Named, it
// reaches refuse_document instead.
//

const char *
unknown_format(const unsigned char *header,      // I - First bytes (unused)
               size_t               headersize,  // I - Their number (unused)
               void                *data)        // I - Callback data (unused)
{
  (void)header;
  (void)headersize;
  (void)data;
  return "application/octet-stream";
}

//
// 'refuse_document()' - PAPPL's filter for documents of no type the printer
// reads: end the job with the reason.
//

bool
refuse_document(pappl_job_t    *job,     // I - Job
                pappl_device_t *device,  // I - Device (unused)
                void           *data)    // I - Callback data (unused)
{
  (void)device;
  (void)data;
  return refuse_unreadable_document(job);
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

} // namespace

//
// 'refuse_unreadable_document()' - End a job whose document is of no type
// the printer reads, with the reason; always false.
//

bool
refuse_unreadable_document(pappl_job_t *job)  // I - Job
{
  constexpr const char *reason = "The document is of no type the printer reads "
                                 "(PWG raster, Apple raster, PNG or JPEG).";

  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", reason);
  papplJobSetMessage(job, "%s", reason);
  return false;
}

//
// 'system_callback()' - Create the system from the server's options.
//

pappl_system_t *
system_callback(int            num_options,  // I - Number of options
                cups_option_t *options,      // I - Options
                void          *data)         // I - Callback data (unused)
{
  (void)data;

  const char *value;
  int         port = 0;
  const bool  is_private = cupsGetOption("private-server", num_options, options) != nullptr;

  if ((value = cupsGetOption("server-port", num_options, options)) != nullptr)
  {
    char *end;
    const long n = strtol(value, &end, 10);
    if (*end || n < 1 || n > 65535)
    {
      fprintf(stderr, "%s: Bad 'server-port' value.\n", kAppName);
      return nullptr;
    }
    port = static_cast<int>(n);
  }

  const std::string spool = cupsGetOption("spool-directory", num_options, options)
                                ? cupsGetOption("spool-directory", num_options, options) : spool_dir();
  const pappl_soptions_t soptions = static_cast<pappl_soptions_t>(
      PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG |
      PAPPL_SOPTIONS_WEB_SECURITY);

  pappl_system_t *system = papplSystemCreate(
      soptions, kAppName, port, "_print,_universal", spool.c_str(),
      cupsGetOption("log-file", num_options, options),
      log_level(cupsGetOption("log-level", num_options, options)),
      cupsGetOption("auth-service", num_options, options), false);
  if (!system)
    return nullptr;

  if (is_private)
    detach_output();
  else
  {
    value = cupsGetOption("listen-hostname", num_options, options);
    if (!papplSystemAddListeners(system, value ? value : kDefaultListen))
    {
      fprintf(stderr, "%s: Unable to listen on %s.\n", kAppName, value ? value : kDefaultListen);
      papplSystemDelete(system);
      return nullptr;
    }
  }
  if ((value = cupsGetOption("server-hostname", num_options, options)) != nullptr)
    papplSystemSetHostName(system, value);
  if ((value = cupsGetOption("admin-group", num_options, options)) != nullptr)
    papplSystemSetAdminGroup(system, value);

  // papplMainloop adds the drivers, the footer and the versions itself.
  papplSystemSetMIMECallback(system, unknown_format, nullptr);
  papplSystemAddMIMEFilter(system, "application/octet-stream", "image/pwg-raster", refuse_document, nullptr);
  add_raster_filters(system);
  add_picture_filters(system);
  add_pdf_filter(system);
  start_job_order(system);
  return system;
}

} // namespace pelna_app
