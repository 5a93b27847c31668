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
//   - loading checks the last line; a file that fails the check is kept
//     aside as NAME.state.bad, logged as an error naming it, and the last
//     good copy is loaded instead.  Jobs that were printing when the server
//     stopped wait to print again from their first page; spool files of
//     jobs the state does not know (documents of requests never answered)
//     are removed; paused printers stay paused.
//

#include "app.h"
#include "state_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>
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
// 'is_job_file()' - Whether a spool file name is PAPPL's for a job's
// document or attributes: pNNNNNjNNNNNNNNN-NAME.EXT.
//

bool
is_job_file(const char *name)  // I - File name
{
  if (name[0] != 'p' || strlen(name) < 17 || name[6] != 'j' || name[16] != '-')
    return false;
  for (int i = 1; i < 16; i++)
  {
    if (i != 6 && (name[i] < '0' || name[i] > '9'))
      return false;
  }
  return true;
}

//
// 'remove_orphans()' - Remove spool files of jobs the state does not know:
// documents of requests the server never answered.
//

void
remove_orphans(pappl_system_t              *system,  // I - System
               const std::set<std::string> &files)   // I - Files the jobs name
{
  const std::string &folder = g_saver.spool;
  DIR               *dir    = folder.empty() ? nullptr : opendir(folder.c_str());

  if (!dir)
    return;
  while (const dirent *entry = readdir(dir))
  {
    const std::string path = folder + "/" + entry->d_name;
    const char       *dot  = strrchr(entry->d_name, '.');

    if (!is_job_file(entry->d_name) || (dot && !strcmp(dot, ".ipp")) || files.contains(path))
      continue;
    if (unlink(path.c_str()) == 0)
      papplLog(system, PAPPL_LOGLEVEL_INFO, "Removed \"%s\": no job names it (its request was never answered).",
               path.c_str());
  }
  closedir(dir);
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
// 'load_file()' - Load one checked state file.
//

void
load_file(pappl_system_t    *system,  // I - System
          const std::string &path,    // I - The state file
          const StateCheck  &check)   // I - Its checked contents
{
  const LoadPlan    plan    = plan_load(check.body, check.journal);
  const std::string temp    = path + ".load";
  FILE             *fp      = fopen(temp.c_str(), "we");
  const bool        written = fp && fwrite(plan.contents.data(), 1, plan.contents.size(), fp) == plan.contents.size();

  if (!fp || fclose(fp) != 0 || !written)
  {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to read the state from \"%s\": %s", path.c_str(),
             strerror(errno));
    unlink(temp.c_str());
    return;
  }
  // An admin group saved in the state (by an earlier run, or the Security
  // page) does not replace the one the server was started with.
  char       group[256] = "";
  const bool had_group  = papplSystemGetAdminGroup(system, group, sizeof(group)) && group[0];

  papplSystemLoadState(system, temp.c_str());
  unlink(temp.c_str());
  if (had_group)
    papplSystemSetAdminGroup(system, group);
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
  papplSystemIteratePrinters(system, end_cut_jobs, nullptr);
  pause_printers(system, plan.paused);
  remove_orphans(system, plan.files);
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
// 'write_and_close()' - Write text whole to an open file, flush it to disk
// when asked, and close it; false with errno set when any of it fails.
//

bool
write_and_close(int                fd,    // I - File, open for writing
                const std::string &text,  // I - What to write
                bool               sync)  // I - Flush the file to disk
{
  bool ok = true;
  for (std::size_t done = 0; ok && done < text.size();)
  {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    ok              = n > 0 || (n < 0 && errno == EINTR);
    done += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  ok = ok && (!sync || fsync(fd) == 0);

  const int error = errno;
  ok              = close(fd) == 0 && ok;
  if (!ok && error)
    errno = error;
  return ok;
}

//
// 'append_to()' - Append text to a file, flushed to disk when asked; false
// with errno set when it fails.
//

bool
append_to(const std::string &path,  // I - File
          const std::string &text,  // I - What to append
          bool               sync)  // I - Flush the file to disk
{
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);

  return fd >= 0 && write_and_close(fd, text, sync);
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
// 'sync_folder()' - Flush a file's folder (the entry of a renamed file).
//

void
sync_folder(const std::string &path)  // I - A file in the folder
{
  const std::size_t slash = path.rfind('/');
  const std::string dir   = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
  const int         fd    = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);

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
// 'save_failed()' - Log why a save failed and drop the new file; false.
//

bool
save_failed(pappl_system_t    *system,  // I - System
            const std::string &temp,    // I - The new file
            const char        *why)     // I - The cause
{
  papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to \"%s\": %s; the last saved state is kept.",
           g_saver.path.c_str(), why);
  unlink(temp.c_str());
  return false;
}

//
// 'cut_cause()' - Why PAPPL's file came out cut short: the disk is full,
// or it is not known.
//

std::string
cut_cause(const std::string &path)  // I - The file written
{
  struct statvfs disk;

  if (statvfs(path.c_str(), &disk) == 0 && disk.f_bavail * disk.f_frsize < kLowSpaceBytes)
    return "no space left on the disk (" + std::to_string(disk.f_bavail * disk.f_frsize) + " bytes free)";
  return "the file written was cut short";
}

//
// 'save_locked()' - Save the state (the saver's lock held); false when it
// could not be saved.
//

bool
save_locked(pappl_system_t *system)  // I - System
{
  const std::string        temp = g_saver.path + ".new";
  std::string              body;
  std::vector<std::string> paused;
  JobMessages              messages;

  // PAPPL puts the jobs' settings files in place, each whole and flushed,
  // before it writes the state that names them, and says whether it could.
  if (!papplSystemSaveState(system, temp.c_str()))
    return save_failed(system, temp, "PAPPL could not write it or a job's settings file (see the lines above)");
  if (!read_file(temp, body))
    return save_failed(system, temp, strerror(errno));
  if (!whole_contents(system, body))
    return save_failed(system, temp, cut_cause(temp).c_str());
  if (!g_saver.printed.empty())
    body = mark_printed(body, g_saver.printed);
  papplSystemIteratePrinters(system, note_messages, &messages);
  body = add_messages(body, messages);
  papplSystemIteratePrinters(system, note_paused, &paused);

  const std::string contents = state_file(body, paused);
  if (contents == g_saver.last)
  {
    unlink(temp.c_str());  // nothing changed since the last save
    return true;
  }
  if (!write_synced(temp, contents) || !replace_file(temp, g_saver.path))
    return save_failed(system, temp, strerror(errno));
  g_saver.last = contents;
  return true;
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
// 'reply_job()' - The job a reply acknowledges with its document, or null.
//

pappl_job_t *
reply_job(pappl_client_t *client)  // I - Client
{
  const ipp_op_t op = papplClientGetOperation(client);

  if (op != IPP_OP_PRINT_JOB && op != IPP_OP_SEND_DOCUMENT)
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
  const std::lock_guard<std::mutex> hold(g_saver.lock);

  return !g_saver.path.empty() && save_locked(system);
}

//
// 'save_deferred()' - Timer callback: the save PAPPL's main loop asked for.
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
  save_state(system);
  return false;  // once
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

  if (!papplSystemIsRunning(system))
    return save_state(system);

  bool schedule;
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    schedule         = !g_saver.deferred;
    g_saver.deferred = true;
  }
  if (schedule && !papplSystemAddTimerCallback(system, time(nullptr) + kDeferSeconds, 0, save_deferred, nullptr))
  {
    const std::lock_guard<std::mutex> hold(g_saver.lock);
    g_saver.deferred = false;
    return save_locked(system);
  }
  return true;
}

//
// 'load_checked()' - Load a state file when it checks out; false, with the
// reason in why, when it does not (or cannot be read).
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
  load_file(system, path, check);
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

  g_saver.path  = path;
  g_saver.spool = spool;
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
// reply goes out; a job that cannot be kept on disk is cancelled and its
// reply made an error.
//

void
save_before_reply(pappl_client_t *client,  // I - Client, request handled
                  void           *data)    // I - Callback data (unused)
{
  (void)data;
  ipp_t *response = papplClientGetResponse(client);

  if (!changes_state(papplClientGetOperation(client)) || ippGetStatusCode(response) >= IPP_STATUS_ERROR_BAD_REQUEST)
    return;

  pappl_job_t *job = reply_job(client);
  const bool   ok  = (!job || sync_document(job)) && save_state(papplClientGetSystem(client));

  if (ok || !job)
    return;

  char message[256];
  snprintf(message, sizeof(message), "The job could not be kept on disk (%s); try again later.",
           errno ? strerror(errno) : "see the server's log");
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
  papplJobSetMessage(job, "%s", message);
  papplJobCancel(job);
  error_reply(response, message);
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

