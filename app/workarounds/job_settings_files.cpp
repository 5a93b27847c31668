// SPDX-License-Identifier: Apache-2.0
//
// A waiting job's settings file replaced whole, never rewritten in place.
//
// Every time PAPPL 1.3.1 saves its state it writes the settings file of
// every job not yet finished (the job's IPP attributes, "….ipp" in the
// spool folder) again, opening it with O_TRUNC: a server killed during any
// save leaves an acknowledged job's settings cut short, and that job cannot
// be read back.  PAPPL opens the file through papplJobOpenFile, which it
// calls through its own symbol table.  The program's definition below gives
// PAPPL a new file beside it ("….ipp.new") instead; once the save is over
// the app calls commit_job_settings, which puts each new file in the old
// one's place by rename, after flushing it, or drops it when it holds what
// the old one holds.
//

#include "workarounds.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Settings files written since the last commit, and their lock.
std::mutex               g_lock;
std::vector<std::string> g_written;

// What a new settings file is called beside the one it replaces.
constexpr char kNewSuffix[] = ".new";

//
// 'read_all()' - A file's bytes; false when it cannot be read.
//

bool
read_all(const std::string &path,  // I - File
         std::string       &bytes)  // O - Its bytes
{
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  char      buffer[8192];
  ssize_t   n = 0;

  if (fd < 0)
    return false;
  bytes.clear();
  while ((n = read(fd, buffer, sizeof(buffer))) > 0)
    bytes.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return n == 0;
}

//
// 'whole_ipp()' - Whether a file holds a whole IPP message (PAPPL does not
// check what it writes: a full disk leaves it cut).
//

bool
whole_ipp(const std::string &path)  // I - File
{
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return false;

  ipp_t     *ipp   = ippNew();
  ipp_state_t state = ippReadFile(fd, ipp);
  char       extra = 0;
  const bool whole = state == IPP_STATE_DATA && read(fd, &extra, 1) == 0;
  ippDelete(ipp);
  close(fd);
  return whole;
}

//
// 'commit_one()' - Put one new settings file in place; false with errno set
// when it is cut short or cannot be flushed or renamed (the old one kept).
//

bool
commit_one(const std::string &path,     // I - The settings file
           bool              &renamed)  // O - Set when a file was renamed
{
  const std::string fresh = path + kNewSuffix;
  std::string       old_bytes, new_bytes;

  if (!read_all(fresh, new_bytes))
    return errno == ENOENT;  // already committed by an earlier save
  if (read_all(path, old_bytes) && old_bytes == new_bytes)
    return unlink(fresh.c_str()) == 0 || errno == ENOENT;
  if (!whole_ipp(fresh))
  {
    unlink(fresh.c_str());
    errno = EIO;
    return false;
  }

  const int fd = open(fresh.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  bool      ok = fd >= 0 && fsync(fd) == 0;
  const int error = errno;
  if (fd >= 0)
    close(fd);
  ok = ok && rename(fresh.c_str(), path.c_str()) == 0;
  if (!ok && error)
    errno = error;
  renamed = renamed || ok;
  return ok;
}

} // namespace

//
// 'papplJobOpenFile()' - Open a job's file; a settings file to be written
// opens a new file beside it.
//

extern "C" int
papplJobOpenFile(pappl_job_t *job,        // I - Job
                 char        *fname,      // O - File name
                 size_t       fnamesize,  // I - Size of fname
                 const char  *directory,  // I - Folder, or null for the spool folder
                 const char  *ext,        // I - Extension, or null for the document's
                 const char  *mode)       // I - "r", "w" or "x"
{
  using Open = int (*)(pappl_job_t *, char *, size_t, const char *, const char *, const char *);
  static const auto real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "papplJobOpenFile"));

  if (!real)
    return -1;
  if (!ext || strcmp(ext, "ipp") != 0 || !mode || strcmp(mode, "w") != 0)
    return real(job, fname, fnamesize, directory, ext, mode);

  // Learn the name (mode "r" only opens), then write the new file beside it.
  const int probe = real(job, fname, fnamesize, directory, ext, "r");
  if (probe >= 0)
    close(probe);
  if (!*fname || strlen(fname) + sizeof(kNewSuffix) > fnamesize)
    return -1;

  const std::string path  = fname;
  const std::string fresh = path + kNewSuffix;
  const int         fd    = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0)
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_written.push_back(path);
  }
  return fd;
}

namespace pelna_workarounds {

//
// 'commit_job_settings()' - Put the settings files written since the last
// call in place, or drop them.
//

bool
commit_job_settings(bool         keep,     // I - Put them in place (false drops them: the save failed)
                    std::string &renamed)  // O - One of the files renamed into place, or empty
{
  std::vector<std::string> written;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    written.swap(g_written);
  }

  bool ok = true, any = false;
  int  error = 0;
  renamed.clear();
  for (const std::string &path : written)
  {
    if (!keep)
      unlink((path + kNewSuffix).c_str());
    else if (!commit_one(path, any) && ok)
    {
      ok    = false;
      error = errno;
    }
    if (any && renamed.empty())
      renamed = path;
  }
  errno = error;
  return ok;
}

} // namespace pelna_workarounds
