// SPDX-License-Identifier: Apache-2.0
//
// The server's state file (printers, their settings and jobs), kept whole
// across crashes and full disks.
//
// PAPPL writes the whole state (papplSystemSaveState); the app decides
// when and how, and keeps the jobs in between in a journal:
//
//   - a whole save writes a new file beside the old one, adds the app's own
//     lines (the printers that are paused, then a last line with the length
//     and CRC-32 of everything before it), flushes it to disk and renames it
//     over the old file, after keeping the old file as NAME.state.bak (the
//     last good copy); a save that fails leaves the old file as it was and
//     logs the cause;
//   - after it, each job accepted, held, released, canceled or ended, and
//     what became of each job on its way to the printer, is a line appended
//     to the file: the journal (journal.h).  A job's record holds its Job
//     line and its settings, so that a job costs its document and a line on
//     disk, not a settings file and a whole new state;
//   - an IPP request that accepts or changes a job is answered once its
//     document and its line are flushed to disk, one flush for all the
//     requests that wait at the same time; one that changes a printer or
//     the system is answered once the whole state is saved; a settings
//     change made elsewhere (the web pages) is saved within kDeferSeconds;
//   - the whole state is saved again once the journal has grown past
//     kJournalBound, and when the server stops: the finished jobs past the
//     history, and their lines, leave then;
//   - a change that cannot be saved (a full disk) is answered as such, with
//     the cause: a new job is cancelled and refused; a cancel is answered as
//     done when its line fits (a short line fits where a whole new file
//     does not), so that it holds after a restart; any other change is in
//     effect but answered as not saved.  The save is tried again every
//     kRetrySeconds until one succeeds;
//   - loading checks the last line; a file that fails the check is kept
//     aside as NAME.state.bad, logged as an error naming it, and the last
//     good copy is loaded instead.  Jobs that were printing when the server
//     stopped wait to print again from their first page; a job that waits
//     but whose document is gone is aborted, saying why; paused printers
//     stay paused; the journal's jobs go into PAPPL's lines, with their
//     settings files, and the whole state is saved;
//   - spool files no job of the state names are never removed: a job's
//     settings and document found whole are loaded as a job (the state
//     loaded was a copy older than the job), anything else is kept aside as
//     NAME.orphan, each with an error line naming it; the next job and
//     printer ids are past every id of the spool folder, so that none is
//     given twice.
//

#include "app.h"
#include "journal.h"
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

// Seconds a settings change PAPPL's main loop asks to save may wait, so
// that a flow of changes comes to one save every few seconds.
constexpr int kDeferSeconds = 5;

// Bytes of journal after which the whole state is saved again: about 150
// labels, each a record of its settings (about 700 bytes) and two short
// lines.
constexpr std::uint64_t kJournalBound = 128U << 10;

// Seconds between tries of a save that failed (a full disk), until one
// succeeds: a change answered as not saved is saved once there is room.
constexpr int kRetrySeconds = 30;

// The ending of the journal's name, after the state file's.
constexpr const char *kJournalEnd = ".journal";

// Names tried for a spool file kept aside (NAME.orphan, NAME.2.orphan, ...).
constexpr int kAsideNames = 100;

//
// What the saver keeps between saves.
//

// A job's state as last saved or journaled: its state, reasons and
// whether it is being canceled.
using JobMark = std::tuple<int, long, bool>;

// The jobs' marks, by printer id and job id.
using JobMarks = std::map<std::pair<int, int>, JobMark>;

struct Saver
{
  std::mutex    lock;   // one writer at a time; guards the members below
  std::string   path;   // the state file
  std::string   journal_path;  // the journal beside it
  std::string   spool;  // the spool folder
  std::string   last;   // contents of the last whole file written
  JournalFile   journal;  // the journal, open for appending
  PrintedJobs   printed;  // jobs the printer has taken whole that PAPPL has
                          // not yet marked completed
  JobMarks      marks;    // each job's state as last saved or journaled
  std::size_t   settings_saved = 0;  // PAPPL's settings changes then
  bool          deferred = false;  // a save from PAPPL's main loop is waiting
  std::string   why;      // why the last save failed, in plain words
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
// 'put_settings()' - Put the settings files of the journal's waiting jobs
// in the spool folder, each flushed (the whole save after loading drops
// the journal that holds them); a file that cannot be written is logged.
//

void
put_settings(pappl_system_t                                         *system,  // I - System
             const std::vector<std::pair<std::string, std::string>> &files)   // I - Name, contents
{
  for (const auto &[name, contents] : files)
  {
    const std::string path = g_saver.spool + "/" + name, temp = path + ".N";
    std::string       old;

    if (read_file(path, old) && old == contents)
      continue;
    if (!write_synced(temp, contents) || rename(temp.c_str(), path.c_str()) != 0)
    {
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to write the settings file \"%s\": %s", path.c_str(),
               strerror(errno));
      unlink(temp.c_str());
    }
  }
  if (!files.empty())
    sync_folder(g_saver.spool + "/");
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
  LoadPlan plan = plan_load(check.body, check.journal);

  put_settings(system, plan.settings);

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
// 'job_mark()' - A job's state, reasons and whether it is being canceled.
//

JobMark
job_mark(pappl_job_t *job)  // I - Job
{
  return {static_cast<int>(papplJobGetState(job)), static_cast<long>(papplJobGetReasons(job)),
          papplJobIsCanceled(job)};
}

//
// 'job_key()' - A job's printer id and job id.
//

std::pair<int, int>
job_key(pappl_job_t *job)  // I - Job
{
  return {papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job)};
}

//
// 'add_number()' - Add a number field when it is not 0, as PAPPL does.
//

void
add_number(JobFields  &fields,  // IO - Fields
           const char *name,    // I - Field name
           long long   value)   // I - Its value
{
  if (value)
    fields.emplace_back(name, std::to_string(value));
}

//
// 'job_fields()' - A job's Job line, as PAPPL writes it, with the server's
// message for a job canceled or aborted.
//

JobFields
job_fields(pappl_job_t *job)  // I - Job
{
  const bool         canceled = papplJobIsCanceled(job);
  const ipp_jstate_t state    = canceled ? IPP_JSTATE_CANCELED : papplJobGetState(job);
  const char        *file = papplJobGetFilename(job), *message = papplJobGetMessage(job);
  const std::time_t  done     = papplJobGetTimeCompleted(job);
  JobFields          fields   = {{"id", std::to_string(papplJobGetID(job))},
                                 {"name", papplJobGetName(job) ? papplJobGetName(job) : ""},
                                 {"username", papplJobGetUsername(job) ? papplJobGetUsername(job) : ""},
                                 {"format", papplJobGetFormat(job) ? papplJobGetFormat(job) : ""}};

  if (file)
    fields.emplace_back("filename", file);
  add_number(fields, "state", state);
  add_number(fields, "state_reasons", papplJobGetReasons(job));
  add_number(fields, "created", papplJobGetTimeCreated(job));
  add_number(fields, "processing", papplJobGetTimeProcessed(job));
  add_number(fields, "completed", done ? done : canceled ? time(nullptr) : 0);
  add_number(fields, "impressions", papplJobGetImpressions(job));
  add_number(fields, "imcompleted", papplJobGetImpressionsCompleted(job));
  if ((state == IPP_JSTATE_CANCELED || state == IPP_JSTATE_ABORTED) && message && *message)
    fields.emplace_back("message", message);
  return fields;
}

//
// 'append_bytes()' - ippWriteIO callback: append to a string.
//

ssize_t
append_bytes(void        *data,    // I - The string
             ipp_uchar_t *buffer,  // I - Bytes
             size_t       bytes)   // I - How many
{
  static_cast<std::string *>(data)->append(reinterpret_cast<const char *>(buffer), bytes);
  return static_cast<ssize_t>(bytes);
}

//
// 'job_record_of()' - A job's journal record: its Job line, and for one
// that waits its settings and the name of their file.
//

JobRecord
job_record_of(pappl_job_t *job)  // I - Job
{
  JobRecord record;
  char      path[1024];

  record.printer = papplPrinterGetName(papplJobGetPrinter(job));
  record.fields  = job_fields(job);
  if (papplJobGetState(job) >= IPP_JSTATE_STOPPED || papplJobIsCanceled(job))
    return record;

  ipp_t *attrs = papplJobCopyAttributes(job);
  papplJobOpenFile(job, path, sizeof(path), nullptr, "ipp", "name");  // names the file, opens nothing
  if (attrs && path[0])
  {
    ippSetState(attrs, IPP_STATE_IDLE);
    if (ippWriteIO(&record.settings, append_bytes, 1, nullptr, attrs) == IPP_STATE_DATA)
      record.settings_file = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
  }
  ippDelete(attrs);
  return record;
}

//
// What the journal's walk over the jobs looks for.
//

struct JobWalk
{
  JobMarks   *marks = nullptr;  // the marks before, updated
  JobMarks    seen;             // every job's mark now
  std::string lines;            // the records of the jobs changed
};

//
// 'walk_job()' - papplPrinterIterateAllJobs callback: a record for a job
// whose state changed since it was last saved or journaled.  A job the
// printer has taken whole needs none to end completed.
//

void
walk_job(pappl_job_t *job,   // I - Job
         void        *data)  // IO - The walk
{
  auto         *walk = static_cast<JobWalk *>(data);
  const auto    key  = job_key(job);
  const JobMark mark = job_mark(job);
  const auto    it   = walk->marks->find(key);

  walk->seen[key] = mark;
  if (it != walk->marks->end() && it->second == mark)
    return;
  if (std::get<0>(mark) == IPP_JSTATE_COMPLETED &&
      g_saver.printed.contains({papplPrinterGetName(papplJobGetPrinter(job)), key.second}))
    return;
  walk->lines += job_record(job_record_of(job));
}

//
// 'walk_printer()' - papplSystemIteratePrinters callback: walk a printer's
// jobs.
//

void
walk_printer(pappl_printer_t *printer,  // I - Printer
             void            *data)     // IO - The walk
{
  papplPrinterIterateAllJobs(printer, walk_job, data, 1, 0);
}

//
// 'journal_changes()' - Append a record for each job changed since it was
// last saved or journaled (the saver's lock held); false with errno set
// when they could not be appended.
//

bool
journal_changes(pappl_system_t *system,  // I - System
                JournalMark    &mark)    // O - Where they end
{
  JobWalk walk;

  walk.marks = &g_saver.marks;
  papplSystemIteratePrinters(system, walk_printer, &walk);
  mark = {};
  if (!walk.lines.empty() && !g_saver.journal.append(walk.lines, mark))
    return false;
  g_saver.marks = std::move(walk.seen);
  return true;
}

//
// 'all_marks()' - Every job's mark now.
//

JobMarks
all_marks(pappl_system_t *system)  // I - System
{
  JobMarks none;
  JobWalk  walk;

  walk.marks = &none;
  papplSystemIteratePrinters(system, [](pappl_printer_t *printer, void *data) {
    papplPrinterIterateAllJobs(printer, [](pappl_job_t *job, void *walk_data) {
      static_cast<JobWalk *>(walk_data)->seen[job_key(job)] = job_mark(job);
    }, data, 1, 0);
  }, &walk);
  return walk.seen;
}

//
// 'start_journal()' - Start an empty journal after a state file just put
// in place, flushed, and append to it from now on; false with errno set
// when it cannot be (the journal is then closed).
//

bool
start_journal(const std::string &state)  // I - The whole state file
{
  const std::string temp = g_saver.journal_path + ".new";

  g_saver.journal.close();
  if (!write_synced(temp, journal_header(state)) || rename(temp.c_str(), g_saver.journal_path.c_str()) != 0)
  {
    const int error = errno;
    unlink(temp.c_str());
    errno = error;
    return false;
  }
  sync_folder(g_saver.journal_path);
  return g_saver.journal.open(g_saver.journal_path);
}

//
// 'save_locked()' - Save the whole state (the saver's lock held) and start
// a new journal after it; false, the cause kept, when it could not be
// saved.
//

bool
save_locked(pappl_system_t *system)  // I - System
{
  const std::string        temp     = g_saver.path + ".new";
  const std::size_t        settings = papplSystemGetSettingsChanges(system);
  JobMarks                 marks    = all_marks(system);  // a change after this is journaled again
  std::string              body;
  std::vector<std::string> paused;
  JobMessages              messages;

  // PAPPL puts the settings files of the jobs that wait in place, each whole
  // and flushed, before it writes the state that names them, and says
  // whether it could.
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
  if (contents == g_saver.last && g_saver.journal.is_open() &&
      g_saver.journal.size() == journal_header(contents).size())
    unlink(temp.c_str());  // nothing changed since the last save
  else if (!write_synced(temp, contents) || !replace_file(temp, g_saver.path))
    return save_failed(system, temp, error_text(errno, "the new file could not be put in place"));
  else if (!start_journal(contents))
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to start the journal \"%s\": %s; each change saves the whole "
             "state.", g_saver.journal_path.c_str(), strerror(errno));
  g_saver.last           = contents;
  g_saver.marks          = std::move(marks);
  g_saver.settings_saved = settings;
  return true;
}

//
// 'save_now()' - Save the whole state now; false, the cause in why, when
// it could not be.
//

bool
save_now(pappl_system_t *system,  // I - System
         std::string    &why)     // O - Why not
{
  const std::lock_guard<std::mutex> hold(g_saver.lock);

  if (!g_saver.path.empty() && save_locked(system))
    return true;
  why = g_saver.why;
  return false;
}

//
// 'journal_now()' - Journal the jobs changed since they were last saved,
// flushed to disk when asked (one flush for every thread that asks at the
// same time); without a journal, save the whole state.  False, the cause in
// why, when they could be neither.
//

bool
journal_now(pappl_system_t *system,  // I - System
            bool            flush,   // I - Flush them to disk
            std::string    &why)     // O - Why not
{
  JournalMark mark;
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);

    if (g_saver.path.empty())
    {
      why = g_saver.why;
      return false;
    }
    if (!g_saver.journal.is_open())
    {
      if (save_locked(system))
        return true;
      why = g_saver.why;
      return false;
    }
    if (!journal_changes(system, mark))
    {
      why = error_text(errno, "the change could not be noted in the state file");
      return false;
    }
  }
  if (!flush || g_saver.journal.flush(mark))
    return true;
  why = error_text(errno, "the state file could not be flushed to disk");
  return false;
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

  return std::find(std::begin(kChanging), std::end(kChanging), op) != std::end(kChanging);
}

//
// 'changes_jobs_only()' - Whether an IPP operation changes jobs and nothing
// else (and so is journaled).
//

bool
changes_jobs_only(ipp_op_t op)  // I - Operation
{
  static constexpr ipp_op_t kJobs[] = {
    IPP_OP_PRINT_JOB, IPP_OP_CREATE_JOB, IPP_OP_SEND_DOCUMENT, IPP_OP_CANCEL_JOB, IPP_OP_CANCEL_JOBS,
    IPP_OP_CANCEL_MY_JOBS, IPP_OP_CANCEL_CURRENT_JOB, IPP_OP_CLOSE_JOB, IPP_OP_HOLD_JOB, IPP_OP_RELEASE_JOB,
  };

  return std::find(std::begin(kJobs), std::end(kJobs), op) != std::end(kJobs);
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
// its settings file (a whole save that failed may have written it), and
// make its reply an error saying why.
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
// 'save_state()' - Save the whole state now; false (and an error in the
// log) when it could not be saved.
//

bool
save_state(pappl_system_t *system)  // I - System
{
  std::string why;

  return save_now(system, why);
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
// 'schedule_save()' - Have the whole state saved within kDeferSeconds, once
// for all the changes until then; false when that cannot be set.
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
// 'pappl_save()' - PAPPL's save callback, after a job came or ended or a
// setting changed: the jobs journaled; the whole state saved when the
// journal is past its bound, within kDeferSeconds after a settings change,
// and at once when the server stops.
//

bool
pappl_save(pappl_system_t *system,  // I - System
           void           *data)    // I - Callback data (unused)
{
  (void)data;
  std::string why;

  if (!papplSystemIsRunning(system))
    return save_state(system);
  if (!journal_now(system, false, why))
    return schedule_save(system);

  bool settings, long_journal;
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    settings     = papplSystemGetSettingsChanges(system) != g_saver.settings_saved;
    long_journal = g_saver.journal.size() > kJournalBound;
  }
  if (long_journal)
    return save_state(system) || schedule_save(system);
  return !settings || schedule_save(system);
}

//
// 'read_journal()' - The journal's lines to load with a state file: those
// of the journal that follows it; with the last good copy of a state that
// could not be read, those of the journal, which follows the state that
// could not be read (or the copy), as they are newer than the copy.  A
// journal that follows another state is ignored: its changes are in the
// state already (the server stopped between saving the state and starting
// the journal).
//

JournalCheck
read_journal(pappl_system_t    *system,    // I - System
             const std::string &state,     // I - The state file read
             bool               fallback)  // I - It is the last good copy
{
  std::string  file;
  JournalCheck check;

  if (!read_file(g_saver.journal_path, file))
  {
    if (errno != ENOENT)
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to read the journal \"%s\": %s; the changes since the state "
               "was saved whole are lost.", g_saver.journal_path.c_str(), strerror(errno));
    return check;
  }
  check = check_journal(file, state);
  if (!check.own)
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "The journal \"%s\" is damaged; the changes since the state was saved "
             "whole are lost.", g_saver.journal_path.c_str());
  else if (fallback)
    papplLog(system, PAPPL_LOGLEVEL_WARN, "Adding the changes of the journal \"%s\" to the last good copy.",
             g_saver.journal_path.c_str());
  else if (!check.follows)
    papplLog(system, PAPPL_LOGLEVEL_INFO, "The journal \"%s\" is older than the state: its changes are in the state.",
             g_saver.journal_path.c_str());
  if (!check.own || !(check.follows || fallback))
    check.lines.clear();
  return check;
}

//
// 'load_checked()' - Load a state file when it checks out; false, with the
// reason in why, when it does not (or cannot be read).  A good file whose
// lines PAPPL could not be given is left as it is, and nothing is saved
// over it.
//

bool
load_checked(pappl_system_t    *system,    // I - System
             const std::string &path,      // I - State file
             bool               fallback,  // I - It is the last good copy
             std::string       &why)       // O - Why not
{
  std::string file;

  if (!read_file(path, file))
  {
    why = strerror(errno);
    return false;
  }

  StateCheck check = check_state(file);
  if (!check.whole)
  {
    why = check.why;
    return false;
  }

  const JournalCheck journal = read_journal(system, file, fallback);
  check.journal += journal.lines;
  if (!load_file(system, path, check))
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    g_saver.why = "the state could not be loaded when the server started";
    g_saver.path.clear();
  }
  else if (journal.follows && !fallback)
  {
    // Changes go on being journaled there until a whole save succeeds (one
    // that fails, on a full disk, leaves it and the state as they are).
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    g_saver.last  = file;
    g_saver.marks = all_marks(system);
    if (!g_saver.journal.open(g_saver.journal_path))
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to open the journal \"%s\": %s", g_saver.journal_path.c_str(),
               strerror(errno));
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

  g_saver.path         = path;
  g_saver.journal_path = path + kJournalEnd;
  g_saver.spool        = spool;
  papplSystemSetSaveCallback(system, pappl_save, nullptr);
  if (access(path.c_str(), F_OK) != 0 && access(backup.c_str(), F_OK) != 0)
    return;  // a new server
  if (load_checked(system, path, false, why))
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

  if (load_checked(system, backup, true, why))
  {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Using the last good copy of the state, \"%s\".", backup.c_str());
    save_state(system);
  }
  else
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "No good copy of the state either (\"%s\": %s): starting with no "
             "printers.", backup.c_str(), why.c_str());
}

//
// 'save_before_reply()' - PAPPL's reply callback: keep a change on disk
// before its reply goes out.  A job accepted or given its document is
// answered once its record is flushed (PAPPL flushes the document); a job
// canceled, held or released once its record is; any other change once the
// whole state is saved.  One that cannot be kept is answered so, with the
// cause: a new job is cancelled and refused; any other change is in
// effect, its reply says it is not saved (unsaved_message).
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
  std::string     why;

  // (PAPPL has flushed a job's document before it submits the job.)
  if (changes_jobs_only(op) ? journal_now(system, true, why) : save_now(system, why))
    return;
  schedule_save(system);  // saved once there is room

  if (job)
    refuse_job(job, response, why);
  else
    error_reply(response, unsaved_message(op, why).c_str());
}

//
// 'note_job()' - Note what became of a job on its way to the printer in the
// journal, at once: a job the printer has taken whole is then not printed
// again should the server end before PAPPL has it completed; one whose
// last bytes were on their way is known as such.  Only a printed note is
// flushed to disk: the others serve when the server, not the machine,
// ends.  Without a journal, the whole state is saved.
//

void
note_job(pappl_job_t *job,    // I - Job
         JobEvent     event)  // I - What became of it
{
  pappl_printer_t *printer = papplJobGetPrinter(job);
  const time_t     now     = time(nullptr);
  JournalMark      mark;
  bool             noted;
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    const std::string                 name = papplPrinterGetName(printer);
    const auto                        key  = std::make_pair(name, papplJobGetID(job));

    if (event == JobEvent::Printed)
      g_saver.printed[key] = now;
    else if (event == JobEvent::Unprinted)
      g_saver.printed.erase(key);
    noted = g_saver.journal.is_open() && g_saver.journal.append(event_line(event, name, key.second, now), mark);
  }
  if (!noted || (event == JobEvent::Printed && !g_saver.journal.flush(mark)))
    save_state(papplPrinterGetSystem(printer));
}

} // namespace pelna_app
