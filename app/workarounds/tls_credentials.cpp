// SPDX-License-Identifier: Apache-2.0
//
// The server's TLS key and certificate, in the application's own folder and
// readable by the server's user only.
//
// PAPPL 1.3.1 tells libcups where server credentials live each time it sets
// the host name (at start, and whenever DNS-SD renames the host), and always
// names no folder: libcups then takes CUPS's own, /etc/cups/ssl for root and
// ~/.cups/ssl for others, whatever folder the application keeps its state
// in.  libcups 2.4 makes a key there at the first https request and writes
// it with the process's umask: 0644 for a root service.
//
// The program's definitions below take the place of libcups's for every
// caller in the process: a call that names no folder gets the application's
// (set_tls_folder), and after libcups has made credentials there every key
// in that folder is made readable by its owner only.  The folder itself is
// made 0700 by the application, so a key is never readable by others, not
// even between its writing and its chmod.
//

#include "workarounds.h"

#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// libcups's own functions, as the definitions below call them.
using SetCredentialsFn  = int (*)(const char *, const char *, int);
using MakeCredentialsFn = int (*)(const char *, const char *, int, const char **, time_t);

// Ending of the private key files libcups writes.
constexpr const char *kKeySuffix = ".key";

// Mode of a private key: read and write for its owner only.
constexpr mode_t kKeyMode = S_IRUSR | S_IWUSR;

//
// The folder of the server's credentials, shared by the server's threads.
//

struct CredentialsFolder
{
  std::mutex  lock;  // guards path
  std::string path;  // the folder, empty for libcups's own choice
};

// The one folder.  Never destroyed: client threads may still run at exit.
CredentialsFolder &g_folder = *new CredentialsFolder;

//
// 'folder()' - The application's credentials folder, empty when not set.
//

std::string
folder()
{
  const std::lock_guard<std::mutex> hold(g_folder.lock);

  return g_folder.path;
}

//
// 'is_key_name()' - Whether a file name is that of a private key.
//

bool
is_key_name(const char *name)  // I - File name
{
  const std::size_t length = strlen(name), suffix = strlen(kKeySuffix);

  return length > suffix && !strcmp(name + length - suffix, kKeySuffix);
}

//
// 'make_keys_private()' - Give every key file of a folder that belongs to
// this user the mode 0600.
//

void
make_keys_private(const std::string &path)  // I - Folder
{
  const std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(path.c_str()), closedir);

  if (!dir)
    return;
  while (const dirent *entry = readdir(dir.get()))
  {
    if (!is_key_name(entry->d_name))
      continue;
    // Opened without following links, and changed through the descriptor:
    // only a plain file of this folder is touched.
    const int fd = openat(dirfd(dir.get()), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info{};
    if (fd < 0)
      continue;
    if (!fstat(fd, &info) && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        (info.st_mode & (S_IRWXG | S_IRWXO)))
      (void)fchmod(fd, kKeyMode);
    close(fd);
  }
}

} // namespace

//
// 'cupsSetServerCredentials()' - libcups's choice of the server's
// credentials; no folder means the application's.
//

extern "C" int
cupsSetServerCredentials(const char *path,         // I - Folder, or null for the default
                         const char *common_name,  // I - Host name of the credentials
                         int         auto_create)  // I - Make them when missing
{
  static const auto real = reinterpret_cast<SetCredentialsFn>(dlsym(RTLD_NEXT, "cupsSetServerCredentials"));

  if (!real)
    return 0;
  if (path)
    return real(path, common_name, auto_create);

  const std::string own = folder();
  return real(own.empty() ? nullptr : own.c_str(), common_name, auto_create);
}

//
// 'cupsMakeServerCredentials()' - libcups's making of a key and a
// certificate; in the application's folder, the key is then made private.
//

extern "C" int
cupsMakeServerCredentials(const char  *path,             // I - Folder
                          const char  *common_name,      // I - Host name
                          int          num_alt_names,    // I - Number of other names
                          const char **alt_names,        // I - Other names
                          time_t       expiration_date)  // I - End of validity
{
  static const auto real = reinterpret_cast<MakeCredentialsFn>(dlsym(RTLD_NEXT, "cupsMakeServerCredentials"));

  if (!real)
    return 0;

  const int         made = real(path, common_name, num_alt_names, alt_names, expiration_date);
  const std::string own  = folder();
  if (path && !own.empty() && own == path)
    make_keys_private(own);
  return made;
}

namespace pelna_workarounds {

//
// 'set_tls_folder()' - Keep the server's TLS credentials in a folder (which
// the caller has made, mode 0700), and make the keys already there private.
//

void
set_tls_folder(const char *path)  // I - Folder
{
  {
    const std::lock_guard<std::mutex> hold(g_folder.lock);
    g_folder.path = path ? path : "";
  }
  if (path)
    make_keys_private(path);
}

} // namespace pelna_workarounds
