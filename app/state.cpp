// SPDX-License-Identifier: Apache-2.0
//
// The server's state file (printers, their settings and jobs), kept whole
// across crashes and full disks.
//
// PAPPL writes the file's contents (papplSystemSaveState); the app decides
// when and how:
//
//   - saving writes a new file beside the old one, adds the app's own lines
//     (the printers that are paused, then a last line with the length and
//     CRC-32 of everything before it), flushes it to disk and renames it
//     over the old file, after keeping the old file as NAME.state.bak (the
//     last good copy); a save that fails leaves the old file as it was and
//     logs the cause;
//   - a save whose contents equal the last one written is dropped;
//   - every IPP request that changes a printer or a job is saved before its
//     reply goes out (a job with its document flushed first), and
//     so is the end of every job;
//   - a change that cannot be saved (a full disk) is answered as such, with
//     the cause: a new job is cancelled and refused; a cancel is noted at
//     the end of the file instead (a short line fits where a whole new file
//     does not), so that it holds after a restart; any other change is in
//     effect but answered as not saved.  The save is tried again every
//     kRetrySeconds until one succeeds;
//   - loading checks the last line; a file that fails the check is kept
//     aside as NAME.state.bad, logged as an error naming it, and the last
//     good copy is loaded instead.  Jobs that were printing when the server
//     stopped wait to print again from their first page; a job that waits
//     but whose document is gone is aborted, saying why; paused printers
//     stay paused;
//   - spool files no job of the state names are never removed: a job's
//     settings and document found whole are loaded as a job (the state
//     loaded was a copy older than the job), anything else is kept aside as
//     NAME.orphan, each with an error line naming it; the next job and
//     printer ids are past every id of the spool folder, so that none is
//     given twice.
//

#include "app.h"
#include "state_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace pelna_app {

namespace {

// Largest state file read back (a file larger is not the app's).
constexpr std::size_t kMaxStateBytes = 64U << 20;

// Free space below which a cut file is put down to a full disk.
constexpr unsigned long long kLowSpaceBytes = 1U << 20;

// Seconds a change PAPPL's main loop asks to save may wait, so that the
// saves of a steady flow of jobs come to one every few seconds (each job's
// own changes are saved at once: save_before_reply, save_printed_job).
constexpr int kDeferSeconds = 5;

// Seconds between tries of a save that failed (a full disk), until one
// succeeds: a change answered as not saved is saved once there is room.
constexpr int kRetrySeconds = 30;

// Names tried for a spool file kept aside (NAME.orphan, NAME.2.orphan, ...).
constexpr int kAsideNames = 100;

//
// What the saver keeps between saves.
//

struct Saver
{
  std::mutex  lock;   // one save at a time; guards the members below
  std::string path;   // the state file
  std::string spool;  // the spool folder
  std::string last;   // contents of the last file written
  PrintedJobs printed;  // jobs the printer has taken whole that PAPPL has
                       // not yet marked completed
  bool        deferred = false;  // a save from PAPPL's main loop is waiting
  std::string why;      // why the last save failed, in plain words
  std::time_t saved_at = 0;  // when the last save that succeeded began
  std::set<std::pair<std::string, int>> noted;  // cancels noted since then
};

//
// What became of a save.
//

struct SaveOutcome
{
  bool        saved        = false;  // the state is on disk
  bool        cancels_kept = false;  // when not: the cancels since the last
                                     // save are, as notes
  std::string why;                   // when not: why, in plain words
};

// The one saver.  Never destroyed: a job thread may save while the process
// exits.
Saver &g_saver = *new Saver;

//
// 'read_file()' - A whole file, at most kMaxStateBytes; false when it
// cannot be read (errno says why; EFBIG when too large).
//

bool
read_file(const std::string &path,  // I - File
          std::string       &out)   // O - Its contents
{
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char      buffer[65536];
  ssize_t   n;

  out.clear();
  if (fd < 0)
    return false;
  // Saves read back the file they wrote while holding the saver's lock,
  // which is there to keep them one at a time: the read is the save's work.
  while ((n = read(fd, buffer, sizeof(buffer))) > 0)  // NOLINT(clang-analyzer-unix.BlockInCriticalSection)
  {
    if (out.size() + static_cast<std::size_t>(n) > kMaxStateBytes)
    {
      close(fd);
      errno = EFBIG;
      return false;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  const int error = errno;
  close(fd);
  errno = error;
  return n == 0;
}

//
// 'error_text()' - The text of an error number; otherwise when there is
// none.
//

const char *
error_text(int         error,      // I - Error number, or 0
           const char *otherwise)  // I - The text for none
{
  return error ? strerror(error) : otherwise;
}

//
// 'write_all()' - Write text whole to an open file; false with errno set
// when it fails (EIO for a write that takes nothing without an error).
//

bool
write_all(int                fd,    // I - File, open for writing
          const std::string &text)  // I - What to write
{
  for (std::size_t done = 0; done < text.size();)
  {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);

    if (n == 0)
      errno = EIO;
    if (n <= 0 && !(n < 0 && errno == EINTR))
      return false;
    done += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  return true;
}

//
// 'write_and_close()' - Write text whole to an open file, flush it to disk
// when asked, and close it; false with errno set when any of it fails.
//

bool
write_and_close(int                fd,    // I - File, open for writing
                const std::string &text,  // I - What to write
                bool               sync)  // I - Flush the file to disk
{
  bool ok = write_all(fd, text) && (!sync || fsync(fd) == 0);

  const int error = errno;
  ok              = close(fd) == 0 && ok;
  if (!ok && error)
    errno = error;
  return ok;
}

//
// 'append_to()' - Append text to a file, flushed to disk when asked; false
// with errno set when it fails, the file then as it was (rather than
// ending in a line cut short, to which the next line would be joined).
//

bool
append_to(const std::string &path,  // I - File
          const std::string &text,  // I - What to append
          bool               sync)  // I - Flush the file to disk
{
  const int   fd   = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  const off_t size = fd >= 0 ? lseek(fd, 0, SEEK_END) : -1;

  if (fd < 0)
    return false;
  if (write_all(fd, text) && (!sync || fsync(fd) == 0))
    return close(fd) == 0;

  const int error = errno;
  if (size >= 0 && ftruncate(fd, size) == 0 && sync)
    fsync(fd);
  close(fd);
  errno = error;
  return false;
}

//
// 'write_synced()' - Write a file anew, mode 0600 (it holds the web
// password's hash), and flush it to disk; false with errno set when it
// fails.
//

bool
write_synced(const std::string &path,      // I - File
             const std::string &contents)  // I - Its contents
{
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

  if (fd < 0)
    return false;
  if (fchmod(fd, 0600) != 0)
  {
    const int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  return write_and_close(fd, contents, true);
}

//
// 'spool_files()' - The job files of the spool folder.
//

std::vector<SpoolFile>
spool_files()
{
  const std::string     &folder = g_saver.spool;
  DIR                   *dir    = folder.empty() ? nullptr : opendir(folder.c_str());
  std::vector<SpoolFile> files;

  if (!dir)
    return files;
  while (const dirent *entry = readdir(dir))
  {
    SpoolFile file;
    if (spool_file(folder, entry->d_name, file))
      files.push_back(std::move(file));
  }
  closedir(dir);
  return files;
}

//
// 'missing_documents()' - The documents that are not there.
//

std::set<std::string>
missing_documents(const std::set<std::string> &documents)  // I - Documents of waiting jobs
{
  std::set<std::string> missing;

  for (const std::string &document : documents)
  {
    if (access(document.c_str(), F_OK) != 0 && errno == ENOENT)
      missing.insert(document);
  }
  return missing;
}

//
// 'attr_text()' - The first of an IPP message's attributes that it has, as
// text; null when it has none of them.
//

const char *
attr_text(ipp_t                             *ipp,    // I - IPP message
          std::initializer_list<const char *> names)  // I - Attribute names, in order
{
  for (const char *name : names)
  {
    if (const char *text = ippGetString(ippFindAttribute(ipp, name, IPP_TAG_ZERO), 0, nullptr))
      return text;
  }
  return nullptr;
}

//
// 'read_found_job()' - A job found whole in the spool folder, as its
// settings file has it; false when that cannot be read whole or is not the
// job's.
//

bool
read_found_job(const SpoolFile &settings,  // I - Its settings file
               const SpoolFile &document,  // I - Its document
               FoundJob        &job)       // O - The job
{
  struct stat info;
  const int   fd    = open(settings.path.c_str(), O_RDONLY | O_CLOEXEC);
  ipp_t      *attrs = ippNew();
  const bool  whole = fd >= 0 && ippReadFile(fd, attrs) == IPP_STATE_DATA;

  if (fd >= 0)
    close(fd);

  const char *name = attr_text(attrs, {"job-name"}), *user = attr_text(attrs, {"job-originating-user-name"});
  const char *format = attr_text(attrs, {"document-format-detected", "document-format-supplied"});
  const char *hold   = attr_text(attrs, {"job-hold-until"});
  const bool  ok     = whole && name && user && stat(document.path.c_str(), &info) == 0 &&
                  ippGetInteger(ippFindAttribute(attrs, "job-id", IPP_TAG_INTEGER), 0) == settings.job;
  if (ok)
  {
    job.printer  = settings.printer;
    job.job      = settings.job;
    job.name     = name;
    job.username = user;
    job.format   = format ? format : "application/octet-stream";
    job.document = document.path;
    job.created  = info.st_mtime;
    job.held     = hold && strcmp(hold, "no-hold") != 0;
    job.reasons  = job.held ? PAPPL_JREASON_JOB_HOLD_UNTIL_SPECIFIED : 0;
  }
  ippDelete(attrs);
  return ok;
}

//
// What loading found in the spool folder.
//

struct SpoolCheck
{
  SpoolPlan             plan;   // what becomes of the files no job names
  std::vector<FoundJob> found;  // jobs found whole, added to the state
  JobMessages           ended;  // jobs without their documents, ended: why
};

//
// 'check_spool()' - Check the spool folder's files against PAPPL's lines
// and make the lines match: jobs found whole added, waiting jobs whose
// documents are gone ended, the next ids past every id of the folder.
//

SpoolCheck
check_spool(LoadPlan &plan)  // IO - The load, its lines changed
{
  const std::vector<SpoolFile> files = spool_files();
  SpoolCheck                   check;

  check.plan    = plan_spool(plan.contents, plan.files, files);
  plan.contents = end_without_documents(plan.contents, missing_documents(plan.waiting), time(nullptr), check.ended);
  for (const auto &[settings, document] : check.plan.whole)
  {
    FoundJob job;

    if (read_found_job(settings, document, job) && add_job(plan.contents, job))
    {
      check.found.push_back(job);
      continue;
    }
    const std::string why = "the settings file of job " + std::to_string(settings.job) + " cannot be read whole";
    check.plan.aside.emplace_back(settings.path, why);
    check.plan.aside.emplace_back(document.path, why);
  }
  plan.contents = raise_next_ids(plan.contents, files);
  return check;
}

//
// 'keep_aside()' - Keep a spool file no job names aside, never over
// another: NAME.orphan, else NAME.2.orphan and so on; false when it cannot
// be (errno set).
//

bool
keep_aside(const std::string &path,   // I - The file
           std::string       &aside)  // O - Its new name
{
  for (int n = 1; n <= kAsideNames; n++)
  {
    aside = path + (n > 1 ? "." + std::to_string(n) : "") + kAsideEnd;
    if (access(aside.c_str(), F_OK) == 0)
      continue;
    return rename(path.c_str(), aside.c_str()) == 0;
  }
  errno = EEXIST;
  return false;
}

//
// 'report_spool()' - Once PAPPL has the state: keep aside the spool files
// no job names and remove unfinished settings, logging each; log the jobs
// found whole and those ended without their documents.
//

void
report_spool(pappl_system_t   *system,  // I - System
             const SpoolCheck &check)   // I - What loading found
{
  for (const FoundJob &job : check.found)
  {
    pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, job.printer, nullptr);
    papplLog(system, PAPPL_LOGLEVEL_WARN, "Job %d of \"%s\" was not in the state loaded; its settings and document "
             "were found whole in the spool folder (\"%s\"): it is back in the queue.", job.job,
             printer ? papplPrinterGetName(printer) : "?", job.document.c_str());
  }
  for (const auto &[key, message] : check.ended)
    papplLog(system, PAPPL_LOGLEVEL_WARN, "Job %d of \"%s\" is aborted: %s", key.second, key.first.c_str(),
             message.c_str());
  for (const auto &[path, why] : check.plan.aside)
  {
    std::string aside;
    if (keep_aside(path, aside))
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "Kept \"%s\" aside as \"%s\": %s.", path.c_str(), aside.c_str(),
               why.c_str());
    else
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "No job names \"%s\" (%s), and it cannot be kept aside: %s.", path.c_str(),
               why.c_str(), strerror(errno));
  }
  for (const std::string &path : check.plan.unfinished)
  {
    if (unlink(path.c_str()) == 0)
      papplLog(system, PAPPL_LOGLEVEL_INFO, "Removed \"%s\": settings PAPPL had not finished writing.", path.c_str());
  }
}

//
// What find_named looks for and found.
//

struct NameSearch
{
  const char      *name  = nullptr;  // printer name wanted
  pappl_printer_t *found = nullptr;  // the printer of that name
};

//
// 'match_name()' - papplSystemIteratePrinters callback: note the printer of
// the wanted name.
//

void
match_name(pappl_printer_t *printer,  // I - One printer
           void            *data)     // IO - The search
{
  auto *search = static_cast<NameSearch *>(data);

  if (!strcmp(papplPrinterGetName(printer), search->name))
    search->found = printer;
}

//
// 'find_printer()' - The printer of a name, or nullptr.
//

pappl_printer_t *
find_printer(pappl_system_t    *system,  // I - System
             const std::string &name)    // I - Printer name
{
  NameSearch search;

  search.name = name.c_str();
  papplSystemIteratePrinters(system, match_name, &search);
  return search.found;
}

//
// 'pause_printers()' - Pause the printers that were paused when the state
// was saved.
//

void
pause_printers(pappl_system_t                 *system,  // I - System
               const std::vector<std::string> &names)   // I - Printer names
{
  for (const std::string &name : names)
  {
    if (pappl_printer_t *printer = find_printer(system, name))
    {
      papplPrinterPause(printer);
      papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Paused, as it was when the server stopped.");
    }
  }
}

//
// 'restore_messages()' - Give the canceled and aborted jobs read back the
// messages that said why they ended.
//

void
restore_messages(pappl_system_t    *system,    // I - System
                 const JobMessages &messages)  // I - Why jobs ended
{
  for (const auto &[key, message] : messages)
  {
    pappl_printer_t *printer = find_printer(system, key.first);
    pappl_job_t     *job     = printer ? papplPrinterFindJob(printer, key.second) : nullptr;

    if (job)
      papplJobSetMessage(job, "%s", message.c_str());
  }
}

//
// 'note_message()' - papplPrinterIterateCompletedJobs callback: note why a
// canceled or aborted job ended, when the server said so.
//

void
note_message(pappl_job_t *job,   // I - Ended job
             void        *data)  // IO - The printer's name and the messages
{
  auto             *found   = static_cast<std::pair<const char *, JobMessages *> *>(data);
  const ipp_jstate_t state   = papplJobGetState(job);
  const char        *message = papplJobGetMessage(job);

  if ((state == IPP_JSTATE_CANCELED || state == IPP_JSTATE_ABORTED) && message && *message)
    (*found->second)[{found->first, papplJobGetID(job)}] = message;
}

//
// 'note_messages()' - papplSystemIteratePrinters callback: note why each
// canceled or aborted job of a printer ended.
//

void
note_messages(pappl_printer_t *printer,  // I - Printer
              void            *data)     // IO - The messages
{
  std::pair<const char *, JobMessages *> found(papplPrinterGetName(printer), static_cast<JobMessages *>(data));

  papplPrinterIterateCompletedJobs(printer, note_message, &found, 1, 0);
}

//
// 'note_cut_settings()' - papplPrinterIterateActiveJobs callback: note a job
// whose settings file (PAPPL rewrites it at every save) was cut short when
// the server stopped; it would print with settings missing.
//

void
note_cut_settings(pappl_job_t *job,   // I - Active job
                  void        *data)  // IO - The jobs noted
{
  char      path[1024];
  const int fd = papplJobOpenFile(job, path, sizeof(path), nullptr, "ipp", "r");
  if (fd < 0)
    return;

  ipp_t            *attrs = ippNew();
  const ipp_state_t read  = ippReadFile(fd, attrs);
  close(fd);
  ippDelete(attrs);
  if (read != IPP_STATE_DATA)
    static_cast<std::vector<pappl_job_t *> *>(data)->push_back(job);
}

//
// 'end_cut_jobs()' - papplSystemIteratePrinters callback: end the waiting
// jobs of a printer whose settings were cut short.
//

void
end_cut_jobs(pappl_printer_t *printer,  // I - Printer
             void            *data)     // I - Unused
{
  (void)data;

  std::vector<pappl_job_t *> cut;
  papplPrinterIterateActiveJobs(printer, note_cut_settings, &cut, 1, 0);
  for (pappl_job_t *job : cut)
  {
    job_error(job, "The job's settings were cut short when the server stopped; send it again.");
    papplJobCancel(job);
  }
}

//
// 'load_lines()' - Have PAPPL load its lines, handed over in memory so that
// a full disk does not keep a good state from loading (else in a file
// beside the state); false, logged, when they cannot be.
//

bool
load_lines(pappl_system_t    *system,  // I - System
           const std::string &path,    // I - The state file
           const std::string &lines)   // I - PAPPL's lines
{
  const int         fd     = memfd_create("pelna-state", MFD_CLOEXEC);
  const std::string memory = "/proc/self/fd/" + std::to_string(fd);

  papplLog(system, PAPPL_LOGLEVEL_INFO, "Loading the state of \"%s\".", path.c_str());
  bool loaded = fd >= 0 && write_all(fd, lines) && papplSystemLoadState(system, memory.c_str());

  if (fd >= 0)
    close(fd);
  if (loaded)
    return true;

  const std::string temp = path + ".load";
  loaded                 = write_synced(temp, lines) && papplSystemLoadState(system, temp.c_str());
  const int error        = errno;
  unlink(temp.c_str());
  if (!loaded)
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to load the state from \"%s\": %s", path.c_str(),
             error_text(error, "PAPPL could not read it"));
  return loaded;
}

//
// 'load_file()' - Load one checked state file, the spool folder checked
// against it; false when PAPPL could not be given its lines.
//

bool
load_file(pappl_system_t    *system,  // I - System
          const std::string &path,    // I - The state file
          const StateCheck  &check)   // I - Its checked contents
{
  LoadPlan         plan  = plan_load(check.body, check.journal);
  const SpoolCheck spool = check_spool(plan);
  // An admin group saved in the state (by an earlier run, or the Security
  // page) does not replace the one the server was started with.
  char       group[256] = "";
  const bool had_group  = papplSystemGetAdminGroup(system, group, sizeof(group)) && group[0];

  if (!load_lines(system, path, plan.contents))
    return false;
  if (had_group)
    papplSystemSetAdminGroup(system, group);
  plan.messages.insert(spool.ended.begin(), spool.ended.end());
  restore_messages(system, plan.messages);
  for (int id : plan.restarted)
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Job %d was printing when the server stopped: it prints again from its "
             "first page.", id);
  for (int id : plan.printed)
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Job %d had reached the printer whole when the server stopped: it is "
             "completed.", id);
  for (int id : plan.unsure)
    papplLog(system, PAPPL_LOGLEVEL_WARN, "Job %d may have reached the printer just before the server stopped: "
             "it prints again.", id);
  for (int id : plan.canceled)
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Job %d was canceled before the server stopped: it stays canceled.", id);
  papplSystemIteratePrinters(system, end_cut_jobs, nullptr);
  pause_printers(system, plan.paused);
  report_spool(system, spool);
  return true;
}

//
// 'note_paused()' - papplSystemIteratePrinters callback: note a paused
// printer's name.
//

void
note_paused(pappl_printer_t *printer,  // I - One printer
            void            *data)     // IO - The names so far
{
  if (papplPrinterGetState(printer) == IPP_PSTATE_STOPPED)
    static_cast<std::vector<std::string> *>(data)->push_back(papplPrinterGetName(printer));
}

//
// 'count_printer()' - papplSystemIteratePrinters callback: count a printer.
//

void
count_printer(pappl_printer_t *printer,  // I - One printer (unused)
              void            *data)     // IO - The count
{
  (void)printer;
  ++*static_cast<int *>(data);
}

//
// 'count_lines()' - How many lines of a text begin with a word.
//

int
count_lines(const std::string &text,  // I - The text
            const char        *word)  // I - First word
{
  int         count = 0;
  std::size_t pos   = 0;

  while (pos < text.size())
  {
    if (text.compare(pos, strlen(word), word) == 0)
      count++;
    const std::size_t end = text.find('\n', pos);
    pos                   = end == std::string::npos ? text.size() : end + 1;
  }
  return count;
}

//
// 'whole_contents()' - Whether what PAPPL wrote holds every printer, each
// block closed (PAPPL does not report a write that fails).
//

bool
whole_contents(pappl_system_t    *system,  // I - System
               const std::string &body)    // I - What PAPPL wrote
{
  int printers = 0;

  papplSystemIteratePrinters(system, count_printer, &printers);
  return !body.empty() && body.back() == '\n' && count_lines(body, "<Printer ") == printers &&
         count_lines(body, "</Printer>") == printers;
}

//
// 'folder_of()' - The folder of a file.
//

std::string
folder_of(const std::string &path)  // I - File
{
  const std::size_t slash = path.rfind('/');

  return slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
}

//
// 'sync_folder()' - Flush a file's folder (the entry of a renamed file).
//

void
sync_folder(const std::string &path)  // I - A file in the folder
{
  const int fd = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);

  if (fd >= 0)
  {
    fsync(fd);
    close(fd);
  }
}

//
// 'replace_file()' - Keep the current state file as the last good copy and
// put the new one in its place; false with errno set when it fails.
//

bool
replace_file(const std::string &temp,  // I - The new file, flushed
             const std::string &path)  // I - The state file
{
  const std::string backup = path + ".bak", backup_temp = backup + ".new";

  unlink(backup_temp.c_str());
  if (link(path.c_str(), backup_temp.c_str()) == 0)
    rename(backup_temp.c_str(), backup.c_str());
  if (rename(temp.c_str(), path.c_str()) != 0)
    return false;
  sync_folder(path);
  return true;
}

//
// 'save_failed()' - Log why a save failed, keep the cause, and drop the new
// file; false.
//

bool
save_failed(pappl_system_t    *system,  // I - System
            const std::string &temp,    // I - The new file
            const std::string &why)     // I - The cause
{
  papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to \"%s\": %s; the last saved state is kept.",
           g_saver.path.c_str(), why.c_str());
  g_saver.why = why;
  unlink(temp.c_str());
  return false;
}

//
// 'disk_cause()' - Why a file could not be written whole: no space left
// when the disk of the state folder or of the spool folder is full, else
// as given.
//

std::string
disk_cause(const char *otherwise)  // I - The cause when the disks have room
{
  for (const std::string &folder : {folder_of(g_saver.path), g_saver.spool})
  {
    struct statvfs disk;

    if (!folder.empty() && statvfs(folder.c_str(), &disk) == 0 && disk.f_bavail * disk.f_frsize < kLowSpaceBytes)
      return strerror(ENOSPC);
  }
  return otherwise;
}

//
// 'save_locked()' - Save the state (the saver's lock held); false, the
// cause kept, when it could not be saved.
//

bool
save_locked(pappl_system_t *system)  // I - System
{
  const std::time_t        started = time(nullptr);
  const std::string        temp    = g_saver.path + ".new";
  std::string              body;
  std::vector<std::string> paused;
  JobMessages              messages;

  // PAPPL puts the jobs' settings files in place, each whole and flushed,
  // before it writes the state that names them, and says whether it could.
  if (!papplSystemSaveState(system, temp.c_str()))
    return save_failed(system, temp, disk_cause("PAPPL could not write the state or a job's settings file"));
  if (!read_file(temp, body))
    return save_failed(system, temp, error_text(errno, "the file written could not be read back"));
  if (!whole_contents(system, body))
    return save_failed(system, temp, disk_cause("the file written was cut short"));
  if (!g_saver.printed.empty())
    body = mark_printed(body, g_saver.printed);
  papplSystemIteratePrinters(system, note_messages, &messages);
  body = add_messages(body, messages);
  papplSystemIteratePrinters(system, note_paused, &paused);

  const std::string contents = state_file(body, paused);
  if (contents == g_saver.last)
    unlink(temp.c_str());  // nothing changed since the last save
  else if (!write_synced(temp, contents) || !replace_file(temp, g_saver.path))
    return save_failed(system, temp, error_text(errno, "the new file could not be put in place"));
  g_saver.last     = contents;
  g_saver.saved_at = started;
  g_saver.noted.clear();
  return true;
}

//
// What note_cancels looks for.
//

struct CancelSearch
{
  std::time_t                           since = 0;  // the last save
  std::string                           printer;    // the printer looked at
  std::string                           lines;      // the notes to append
  std::set<std::pair<std::string, int>> jobs;       // their jobs
};

//
// 'note_cancel()' - papplPrinterIterateAllJobs callback: a note for a job
// canceled since the last save, not yet noted.
//

void
note_cancel(pappl_job_t *job,   // I - Job
            void        *data)  // IO - The search
{
  auto              *search   = static_cast<CancelSearch *>(data);
  const ipp_jstate_t state    = papplJobGetState(job);
  const auto         key      = std::make_pair(search->printer, papplJobGetID(job));
  const bool         canceled = state == IPP_JSTATE_CANCELED ? papplJobGetTimeCompleted(job) >= search->since
                                                             : state < IPP_JSTATE_CANCELED && papplJobIsCanceled(job);

  if (!canceled || g_saver.noted.contains(key))
    return;
  search->lines += event_line(JobEvent::Canceled, key.first, key.second, time(nullptr));
  search->jobs.insert(key);
}

//
// 'note_printer_cancels()' - papplSystemIteratePrinters callback: the notes
// for a printer's jobs canceled since the last save.
//

void
note_printer_cancels(pappl_printer_t *printer,  // I - Printer
                     void            *data)     // IO - The search
{
  static_cast<CancelSearch *>(data)->printer = papplPrinterGetName(printer);
  papplPrinterIterateAllJobs(printer, note_cancel, data, 1, 0);
}

//
// 'note_cancels()' - Note the jobs canceled since the last save at the end
// of the state file, flushed (the saver's lock held): the state could not
// be saved with them, and a short line fits where a whole new file does
// not.  False when they could not be noted.
//

bool
note_cancels(pappl_system_t *system)  // I - System
{
  CancelSearch search;

  search.since = g_saver.saved_at;
  papplSystemIteratePrinters(system, note_printer_cancels, &search);
  if (search.jobs.empty())
    return true;
  if (g_saver.last.empty() || !append_to(g_saver.path, search.lines, true))
    return false;
  g_saver.noted.insert(search.jobs.begin(), search.jobs.end());
  return true;
}

//
// 'save_now()' - Save the state now; when it cannot be, note the cancels
// since the last save instead.
//

SaveOutcome
save_now(pappl_system_t *system)  // I - System
{
  const std::lock_guard<std::mutex> hold(g_saver.lock);
  SaveOutcome                       outcome;

  if (g_saver.path.empty())
    outcome.why = g_saver.why;
  else if (!(outcome.saved = save_locked(system)))
  {
    outcome.why          = g_saver.why;
    outcome.cancels_kept = note_cancels(system);
  }
  return outcome;
}

//
// 'changes_state()' - Whether an IPP operation changes a printer or a job
// (and so is saved before its reply).
//

bool
changes_state(ipp_op_t op)  // I - Operation
{
  static constexpr ipp_op_t kChanging[] = {
    IPP_OP_PRINT_JOB, IPP_OP_CREATE_JOB, IPP_OP_SEND_DOCUMENT, IPP_OP_CANCEL_JOB, IPP_OP_CANCEL_JOBS,
    IPP_OP_CANCEL_MY_JOBS, IPP_OP_CANCEL_CURRENT_JOB, IPP_OP_CLOSE_JOB, IPP_OP_HOLD_JOB, IPP_OP_RELEASE_JOB,
    IPP_OP_PAUSE_PRINTER, IPP_OP_PAUSE_PRINTER_AFTER_CURRENT_JOB, IPP_OP_RESUME_PRINTER,
    IPP_OP_SET_PRINTER_ATTRIBUTES, IPP_OP_ENABLE_PRINTER, IPP_OP_DISABLE_PRINTER, IPP_OP_HOLD_NEW_JOBS,
    IPP_OP_RELEASE_HELD_NEW_JOBS, IPP_OP_CREATE_PRINTER, IPP_OP_DELETE_PRINTER, IPP_OP_SET_SYSTEM_ATTRIBUTES,
    IPP_OP_PAUSE_ALL_PRINTERS, IPP_OP_PAUSE_ALL_PRINTERS_AFTER_CURRENT_JOB, IPP_OP_RESUME_ALL_PRINTERS,
  };

  for (ipp_op_t changing : kChanging)
  {
    if (op == changing)
      return true;
  }
  return false;
}

//
// 'is_cancel()' - Whether an IPP operation cancels jobs.
//

bool
is_cancel(ipp_op_t op)  // I - Operation
{
  return op == IPP_OP_CANCEL_JOB || op == IPP_OP_CANCEL_JOBS || op == IPP_OP_CANCEL_MY_JOBS ||
         op == IPP_OP_CANCEL_CURRENT_JOB;
}

//
// 'reply_job()' - The job a reply acknowledges as created or given its
// document, or null.
//

pappl_job_t *
reply_job(pappl_client_t *client)  // I - Client
{
  const ipp_op_t op = papplClientGetOperation(client);

  if (op != IPP_OP_PRINT_JOB && op != IPP_OP_CREATE_JOB && op != IPP_OP_SEND_DOCUMENT)
    return nullptr;

  ipp_attribute_t *id      = ippFindAttribute(papplClientGetResponse(client), "job-id", IPP_TAG_INTEGER);
  pappl_printer_t *printer = papplClientGetPrinter(client);

  return id && printer ? papplPrinterFindJob(printer, ippGetInteger(id, 0)) : nullptr;
}

//
// 'sync_document()' - Flush a job's document to disk; false with errno set
// when it fails.
//

bool
sync_document(pappl_job_t *job)  // I - Job
{
  const char *file = papplJobGetFilename(job);
  const int   fd   = file ? open(file, O_RDONLY | O_CLOEXEC) : -1;

  if (fd < 0)
    return !file;  // a document not yet received has nothing to flush
  const bool ok    = fsync(fd) == 0;
  const int  error = errno;
  close(fd);
  errno = error;
  return ok;
}

//
// 'error_reply()' - Make a reply server-error-internal-error with a message:
// the job's attributes out, the message last in the operation group.
//

void
error_reply(ipp_t      *response,  // IO - The reply
            const char *message)   // I - status-message
{
  for (ipp_attribute_t *attr = ippFirstAttribute(response); attr;)
  {
    ipp_attribute_t *next = ippNextAttribute(response);
    if (ippGetGroupTag(attr) != IPP_TAG_OPERATION || !strcmp(ippGetName(attr) ? ippGetName(attr) : "", "status-message"))
      ippDeleteAttribute(response, attr);
    attr = next;
  }
  ippSetStatusCode(response, IPP_STATUS_ERROR_INTERNAL);
  ippAddString(response, IPP_TAG_OPERATION, IPP_TAG_TEXT, "status-message", nullptr, message);
}

//
// 'refuse_job()' - Cancel a new job that could not be kept on disk, with
// its settings file (the save that failed may have written it), and make
// its reply an error saying why.
//

void
refuse_job(pappl_job_t       *job,       // I - Job
           ipp_t             *response,  // IO - Its reply
           const std::string &why)       // I - Why it could not be kept
{
  char message[512], settings[1024];

  snprintf(message, sizeof(message), "The job could not be kept on disk (%s); try again later.", why.c_str());
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
  papplJobSetMessage(job, "%s", message);
  papplJobCancel(job);
  papplJobOpenFile(job, settings, sizeof(settings), nullptr, "ipp", "x");
  error_reply(response, message);
}

//
// 'unsaved_message()' - The reply to a change in effect that could not be
// saved.
//
// Its status is server-error-internal-error though the change is in
// effect: a client takes successful-ok for a change that lasts, and few
// show a status-message with it (the modify sub-command shows one only
// with an error), so an error is what makes a person or a script read what
// holds now and what a restart would undo.
//

std::string
unsaved_message(ipp_op_t           op,   // I - Operation
                const std::string &why)  // I - Why it could not be saved
{
  if (is_cancel(op))
    return "The job is canceled but that could not be saved (" + why +
           "); should the server stop before it can be, the job may come back.";
  return "The change is in effect but could not be saved (" + why +
         "); should the server stop before it can be, the change is lost.";
}

} // namespace

//
// 'state_path()' - Where the state file is: SNAP_COMMON/NAME.state for a
// private instance, /var/lib/NAME.state for root, else the user's
// configuration folder (or the temporary folder), as PAPPL's main loop
// would put it.
//

std::string
state_path()
{
  const char *snap = getenv("SNAP_COMMON"), *xdg = getenv("XDG_CONFIG_HOME"), *home = getenv("HOME");
  const std::string file = std::string(kAppName) + ".state";

  if (snap && *snap)
    return std::string(snap) + "/" + file;
  if (getuid() == 0)
    return "/var/lib/" + file;
  if (xdg && *xdg && access(xdg, X_OK) == 0)
    return std::string(xdg) + "/" + file;
  if (home && *home)
  {
    const std::string config = std::string(home) + "/.config";
    if (access(config.c_str(), X_OK) == 0 || mkdir(config.c_str(), 0700) == 0)
      return config + "/" + file;
  }
  return std::string(papplGetTempDir()) + "/" + kAppName + std::to_string(getuid()) + ".state";
}

//
// 'save_state()' - Save the state now; false (and an error in the log) when
// it could not be saved.
//

bool
save_state(pappl_system_t *system)  // I - System
{
  return save_now(system).saved;
}

//
// 'save_deferred()' - Timer callback: the save PAPPL's main loop asked for,
// or one that failed, tried again every kRetrySeconds until it succeeds.
//

bool
save_deferred(pappl_system_t *system,  // I - System
              void           *data)    // I - Callback data (unused)
{
  (void)data;
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    g_saver.deferred = false;
  }
  if (save_state(system))
    return false;  // done

  const std::lock_guard<std::mutex> hold(g_saver.lock);
  if (g_saver.deferred || g_saver.path.empty())
    return false;  // a try is set already, or there is no file to save
  g_saver.deferred = true;
  return true;  // again in kRetrySeconds
}

//
// 'schedule_save()' - Have the state saved within kDeferSeconds, once for
// all the changes until then; false when that cannot be set.
//

bool
schedule_save(pappl_system_t *system)  // I - System, running
{
  bool schedule;
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    schedule         = !g_saver.deferred;
    g_saver.deferred = true;
  }
  if (!schedule ||
      papplSystemAddTimerCallback(system, time(nullptr) + kDeferSeconds, kRetrySeconds, save_deferred, nullptr))
    return true;

  const std::lock_guard<std::mutex> hold(g_saver.lock);
  g_saver.deferred = false;
  return false;
}

//
// 'pappl_save()' - PAPPL's save callback: within a few seconds while the
// server runs, at once when it stops.
//

bool
pappl_save(pappl_system_t *system,  // I - System
           void           *data)    // I - Callback data (unused)
{
  (void)data;

  if (papplSystemIsRunning(system) && schedule_save(system))
    return true;
  return save_state(system);
}

//
// 'load_checked()' - Load a state file when it checks out; false, with the
// reason in why, when it does not (or cannot be read).  A good file whose
// lines PAPPL could not be given is left as it is, and nothing is saved
// over it.
//

bool
load_checked(pappl_system_t    *system,  // I - System
             const std::string &path,    // I - State file
             std::string       &why)     // O - Why not
{
  std::string file;

  if (!read_file(path, file))
  {
    why = strerror(errno);
    return false;
  }

  const StateCheck check = check_state(file);
  if (!check.whole)
  {
    why = check.why;
    return false;
  }
  if (!load_file(system, path, check))
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    g_saver.why = "the state could not be loaded when the server started";
    g_saver.path.clear();
  }
  else if (check.own && path == g_saver.path)
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    g_saver.last = file;  // notes may be added to it, should saves fail
  }
  return true;
}

//
// 'load_state()' - Load the state file, or its last good copy when it
// cannot be read (the bad file kept aside as NAME.state.bad); nothing when
// there is none yet.  Then have PAPPL save through the app.
//

void
load_state(pappl_system_t    *system,  // I - System, not yet running
           const std::string &spool)   // I - The spool folder
{
  const std::string path = state_path(), backup = path + ".bak", bad = path + ".bad";
  std::string       why;

  g_saver.path     = path;
  g_saver.spool    = spool;
  g_saver.saved_at = time(nullptr);  // what is loaded is on disk
  papplSystemSetSaveCallback(system, pappl_save, nullptr);
  if (access(path.c_str(), F_OK) != 0 && access(backup.c_str(), F_OK) != 0)
    return;  // a new server
  if (load_checked(system, path, why))
  {
    save_state(system);  // the app's own format from now on, its notes applied
    return;
  }

  if (access(path.c_str(), F_OK) != 0)
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "The state file \"%s\" is missing.", path.c_str());
  else if (rename(path.c_str(), bad.c_str()) == 0)
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "The state file \"%s\" cannot be read (%s); it is kept as \"%s\".",
             path.c_str(), why.c_str(), bad.c_str());
  else
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "The state file \"%s\" cannot be read (%s).", path.c_str(), why.c_str());

  if (load_checked(system, backup, why))
  {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Using the last good copy of the state, \"%s\".", backup.c_str());
    save_state(system);
  }
  else
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "No good copy of the state either (\"%s\": %s): starting with no "
             "printers.", backup.c_str(), why.c_str());
}

//
// 'save_before_reply()' - PAPPL's reply callback: save a change before its
// reply goes out.  One that cannot be saved is answered so, with the
// cause: a new job is cancelled and refused; a cancel noted instead stands
// as answered; any other change is in effect, its reply says it is not
// saved (unsaved_message).
//

void
save_before_reply(pappl_client_t *client,  // I - Client, request handled
                  void           *data)    // I - Callback data (unused)
{
  (void)data;
  ipp_t         *response = papplClientGetResponse(client);
  const ipp_op_t op       = papplClientGetOperation(client);

  if (!changes_state(op) || ippGetStatusCode(response) >= IPP_STATUS_ERROR_BAD_REQUEST)
    return;

  pappl_system_t *system = papplClientGetSystem(client);
  pappl_job_t    *job    = reply_job(client);
  SaveOutcome     outcome;

  if (job && !sync_document(job))
    outcome.why = error_text(errno, "its document could not be flushed to disk");
  else if ((outcome = save_now(system)).saved)
    return;
  schedule_save(system);  // saved once there is room

  if (job)
    refuse_job(job, response, outcome.why);
  else if (!is_cancel(op) || !outcome.cancels_kept)
    error_reply(response, unsaved_message(op, outcome.why).c_str());
}

//
// 'note_job()' - Note what became of a job on its way to the printer at the
// end of the state file, at once: a job the printer has taken whole is then
// not printed again should the server end before the state is saved with
// it completed (the next save marks it so, until PAPPL has it too); one
// whose last bytes were on their way is known as such.  Only a printed
// note is flushed to disk: the others serve when the server, not the
// machine, ends.
//

void
note_job(pappl_job_t *job,    // I - Job
         JobEvent     event)  // I - What became of it
{
  pappl_printer_t *printer = papplJobGetPrinter(job);
  const time_t     now     = time(nullptr);
  bool             noted   = true;
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    const std::string                 name = papplPrinterGetName(printer);
    const auto                        key  = std::make_pair(name, papplJobGetID(job));

    if (event == JobEvent::Printed)
      g_saver.printed[key] = now;
    else if (event == JobEvent::Unprinted)
      g_saver.printed.erase(key);
    if (!g_saver.last.empty())
    {
      const std::string line = event_line(event, name, key.second, now);
      noted = append_to(g_saver.path, line, event == JobEvent::Printed);
    }
    else
      noted = false;  // no file of the app's yet: save one
  }
  if (!noted)
    save_state(papplPrinterGetSystem(printer));
}

} // namespace pelna_app

