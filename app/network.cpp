// SPDX-License-Identifier: Apache-2.0
//
// The server on a network: where it listens, who may administer it from
// another machine, and where its TLS key and certificate live.
//
//   listen-hostname  what to listen on: loopback only unless given ("*" is
//                    every address)
//   auth-service     the PAM service that checks the name and password of
//                    an administrator on another machine
//   admin-group      the group whose members may administer from another
//                    machine (default lpadmin, the group CUPS administers
//                    printers with on Debian)
//
// Printing and status are open to every client that reaches the server,
// over ipp:// and ipps://.  From another machine, every operation that
// changes the server or a printer, and every web form that saves, needs a
// member of the admin group, over https with a password the PAM service
// accepts; without an auth-service it is refused.  Loopback and the local
// socket are trusted as before.  (PAPPL keeps to this with the project's
// patch 0015-remote-administration.patch.)
//
// The TLS key and certificate live in the server's own folder beside its
// state, private to the server's user: SNAP_COMMON/pelna-printer-app.ssl,
// /var/lib/pelna-printer-app.ssl for root, else in the user's config
// folder.  The server makes its files readable by its own user only (umask
// 077): libcups writes a new key with the umask's mode.
//

#include "app.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pelna_app {

namespace {

// Address the server listens on unless listen-hostname says otherwise.
constexpr const char *kDefaultListen = "localhost";

// Admin group unless admin-group says otherwise.
constexpr const char *kDefaultAdminGroup = "lpadmin";

// listen-hostname values that keep the server on this machine.
constexpr const char *kLoopbackNames[] = {"localhost", "127.0.0.1", "::1", "[::1]"};

// Mode of the credentials folder: the server's user only.
constexpr mode_t kFolderMode = S_IRWXU;

// The server's file mode mask: what it makes, the TLS key among them, is
// its own user's only.
constexpr mode_t kPrivateUmask = S_IRWXG | S_IRWXO;

// Room for a host or group name.
constexpr std::size_t kNameSize = 256;

// Room first tried for a group's entry, and the most tried.
constexpr std::size_t kGroupBufferSize = 16384;
constexpr std::size_t kGroupBufferMax  = 1 << 20;

//
// 'beyond_loopback()' - Whether listen-hostname reaches other machines (a
// name that is not loopback's, or an address; a path is a local socket).
//

bool
beyond_loopback(const char *listen)  // I - listen-hostname value
{
  if (listen[0] == '/')
    return false;
  for (const char *name : kLoopbackNames)
  {
    if (!strcasecmp(listen, name))
      return false;
  }
  return true;
}

//
// 'group_exists()' - Whether the system has a group of this name.
//

bool
group_exists(const char *name)  // I - Group name
{
  for (std::size_t size = kGroupBufferSize; size <= kGroupBufferMax; size *= 2)
  {
    std::vector<char> buffer(size);
    struct group      entry{};
    struct group     *found = nullptr;
    const int         error = getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found);

    if (error != ERANGE)
      return !error && found;
  }
  return false;
}

//
// 'state_folder()' - Where PAPPL keeps the server's state file:
// SNAP_COMMON, /var/lib for root, the user's config folder, or (with no
// home) the temporary folder; the file name's start in prefix.
//

std::string
state_folder(std::string &prefix)  // O - Start of the file names there
{
  const char *snap = getenv("SNAP_COMMON");
  const char *xdg  = getenv("XDG_CONFIG_HOME");
  const char *home = getenv("HOME");

  prefix = kAppName;
  if (snap && *snap)
    return snap;
  if (getuid() == 0)
    return "/var/lib";
  if (xdg && *xdg && !access(xdg, X_OK))
    return xdg;
  if (home && *home)
  {
    std::string config = std::string(home) + "/.config";
    (void)mkdir(config.c_str(), kFolderMode);  // as PAPPL makes it for its state
    return config;
  }
  prefix += std::to_string(getuid());
  return papplGetTempDir();
}

//
// 'make_private_folder()' - Make a folder for this user only (or take one
// that is); false, with the reason in why, when that cannot be.
//

bool
make_private_folder(const std::string &path,  // I - Folder
                    std::string       &why)   // O - Reason of a failure
{
  struct stat info{};

  if ((mkdir(path.c_str(), kFolderMode) && errno != EEXIST) || lstat(path.c_str(), &info))
  {
    why = strerror(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode))
    why = "it is not a folder";
  else if (info.st_uid != geteuid())
    why = "it belongs to another user";
  else if ((info.st_mode & ~S_IFMT) != kFolderMode && chmod(path.c_str(), kFolderMode))
    why = strerror(errno);
  else
    return true;
  return false;
}

//
// 'setup_tls()' - Keep the TLS credentials in the server's own folder;
// false, with the reason on stderr, when it cannot be made.
//

bool
setup_tls(pappl_system_t *system)  // I - System
{
  std::string       prefix;
  const std::string folder = state_folder(prefix) + "/" + prefix + ".ssl";
  std::string       why;

  if (!make_private_folder(folder, why))
  {
    fprintf(stderr, "%s: Unable to make the TLS folder %s: %s\n", kAppName, folder.c_str(), why.c_str());
    return false;
  }
  umask(kPrivateUmask);
  papplSystemSetCredentialsPath(system, folder.c_str());
  return true;
}

//
// 'setup_admin_group()' - The admin group; false, with the reason on
// stderr, when a group that matters does not exist.
//
// Without an auth-service nobody administers from another machine, so a
// missing default group only matters once there is one; an admin-group
// that names no group is always a mistake.
//

bool
setup_admin_group(pappl_system_t *system,   // I - System
                  const char     *given,    // I - admin-group, or null
                  const char     *service)  // I - auth-service, or null
{
  const char *group = given ? given : kDefaultAdminGroup;

  if (group_exists(group))
  {
    papplSystemSetAdminGroup(system, group);
    return true;
  }
  if (!given && !service)
    return true;
  fprintf(stderr, "%s: The admin group '%s' does not exist; name another with -o admin-group=GROUP.\n",
          kAppName, group);
  return false;
}

//
// 'log_policy()' - Say in the log who may do what from the network.
//

void
log_policy(pappl_system_t *system,   // I - System
           const char     *listen,   // I - listen-hostname value
           const char     *service)  // I - auth-service, or null
{
  char group[kNameSize];

  if (!beyond_loopback(listen))
    return;
  if (service)
    papplLog(system, PAPPL_LOGLEVEL_INFO,
             "Listening on '%s': printing is open; administration from another machine needs a member "
             "of '%s' over https, checked by the PAM service '%s'.",
             listen, papplSystemGetAdminGroup(system, group, sizeof(group)), service);
  else
    papplLog(system, PAPPL_LOGLEVEL_WARN,
             "Listening on '%s' without an auth-service: printing is open, administration from "
             "another machine is refused.", listen);
}

} // namespace

//
// 'setup_network()' - Listeners, admin group and TLS credentials from the
// server's options; false, with the reason on stderr, when the server
// cannot start so.
//

bool
setup_network(pappl_system_t *system,       // I - System
              int             num_options,  // I - Number of options
              cups_option_t  *options,      // I - Options
              bool            is_private)   // I - A sub-command's own server (local socket only)
{
  const char *listen  = cupsGetOption("listen-hostname", num_options, options);
  const char *service = cupsGetOption("auth-service", num_options, options);

  if (!listen)
    listen = kDefaultListen;
  if (service && !*service)
  {
    fprintf(stderr, "%s: Bad 'auth-service' value.\n", kAppName);
    return false;
  }
  if (!setup_admin_group(system, cupsGetOption("admin-group", num_options, options), service))
    return false;
  if (is_private)
    return true;
  if (!setup_tls(system))
    return false;
  if (!papplSystemAddListeners(system, listen))
  {
    fprintf(stderr, "%s: Unable to listen on %s.\n", kAppName, listen);
    return false;
  }
  log_policy(system, listen, service);
  return true;
}

} // namespace pelna_app
