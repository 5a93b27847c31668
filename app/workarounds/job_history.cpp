// SPDX-License-Identifier: Apache-2.0
//
// A bounded history of finished jobs.
//
// PAPPL 1.3.1 keeps every finished job (in memory and in the state file,
// which it writes whole at every save) until its clean-up removes it.  That
// clean-up, _papplPrinterCleanJobsNoLock, walks the finished jobs newest
// first and stops at the first one that ended less than a minute ago, so
// under a steady flow of jobs it removes nothing (1,001 jobs are kept after
// 1,000); when it does remove jobs, it removes the newest of the older ones
// and keeps the oldest.  Every save then costs more and writes more.
//
// The program's definition of _papplPrinterCleanJobsNoLock (PAPPL calls it
// with the printer locked, at the end of every job while the printer keeps
// one finished job's document, and from its main loop) keeps instead the
// newest `keep` finished jobs, and any that ended in the last `grace`
// seconds (a client may still ask about them), and the document of the
// newest one only.  PAPPL keeps a printer's job lists to itself: the app
// learns them once per printer (remember_job_lists) by having PAPPL walk
// them while the program's cupsArrayCount notes the list it is asked about.
//

#include "workarounds.h"

#include <dlfcn.h>
#include <map>
#include <mutex>

namespace {

//
// A printer's job lists, as PAPPL keeps them.
//

struct JobLists
{
  cups_array_t *finished = nullptr;  // finished jobs, newest first
  cups_array_t *all      = nullptr;  // every job; removing one frees it
};

//
// Everything the history keeps.
//

struct History
{
  std::mutex                             lock;      // guards lists
  std::map<pappl_printer_t *, JobLists>  lists;     // per printer
  int                                    keep  = 0; // finished jobs kept (0: PAPPL's own clean-up)
  int                                    grace = 0; // seconds a finished job is kept at least
};

// The one history.  Never destroyed: PAPPL may clean up while the process exits.
History &g_history = *new History;

// Where the program's cupsArrayCount notes the list it is asked about, in
// the thread that asks PAPPL to walk a list; null otherwise.
thread_local cups_array_t **t_noted = nullptr;

//
// 'noop()' - papplPrinterIterate...Jobs callback: nothing.
//

void
noop(pappl_job_t *job,   // I - Job (unused)
     void        *data)  // I - Data (unused)
{
  (void)job;
  (void)data;
}

//
// 'remove_document()' - PAPPL's removal of a finished job's document.
//

void
remove_document(pappl_job_t *job)  // I - Finished job
{
  using RemoveFn = void (*)(pappl_job_t *);
  static const auto remove = reinterpret_cast<RemoveFn>(dlsym(RTLD_DEFAULT, "_papplJobRemoveFile"));

  if (remove && papplJobGetFilename(job))
    remove(job);
}

//
// 'clean_jobs()' - Keep the newest finished jobs (see above); the printer is
// locked by PAPPL.
//

void
clean_jobs(const JobLists &lists)  // I - The printer's job lists
{
  const time_t now   = time(nullptr);
  int          count = cupsArrayCount(lists.finished);

  while (count > g_history.keep)
  {
    auto        *oldest = static_cast<pappl_job_t *>(cupsArrayIndex(lists.finished, count - 1));
    const time_t ended  = papplJobGetTimeCompleted(oldest);

    if (ended == 0 || now - ended < g_history.grace)
      break;
    cupsArrayRemove(lists.finished, oldest);
    cupsArrayRemove(lists.all, oldest);  // frees the job and its document
    count--;
  }
  for (int i = 1; i < count; i++)
    remove_document(static_cast<pappl_job_t *>(cupsArrayIndex(lists.finished, i)));
}

} // namespace

//
// 'cupsArrayCount()' - libcups's count of an array's elements; notes the
// array when the thread asked for it.
//

extern "C" int
cupsArrayCount(cups_array_t *a)  // I - Array
{
  using CountFn = int (*)(cups_array_t *);
  static const auto real = reinterpret_cast<CountFn>(dlsym(RTLD_NEXT, "cupsArrayCount"));

  if (t_noted && !*t_noted)
    *t_noted = a;
  return real ? real(a) : 0;
}

//
// '_papplPrinterCleanJobsNoLock()' - PAPPL's clean-up of finished jobs,
// replaced by clean_jobs for the printers whose lists are known.
//

extern "C" void
_papplPrinterCleanJobsNoLock(pappl_printer_t *printer)  // I - Printer, locked by the caller
{
  using CleanFn = void (*)(pappl_printer_t *);
  static const auto real = reinterpret_cast<CleanFn>(dlsym(RTLD_NEXT, "_papplPrinterCleanJobsNoLock"));
  JobLists          lists;
  {
    const std::lock_guard<std::mutex> hold(g_history.lock);
    if (const auto it = g_history.lists.find(printer); it != g_history.lists.end() && g_history.keep > 0)
      lists = it->second;
  }

  if (lists.finished && lists.all)
    clean_jobs(lists);
  else if (real)
    real(printer);
}

namespace pelna_workarounds {

//
// 'set_job_history()' - Keep the newest `keep` finished jobs per printer,
// and any that ended in the last `grace` seconds.
//

void
set_job_history(int keep,   // I - Finished jobs kept
                int grace)  // I - Seconds a finished job is kept at least
{
  const std::lock_guard<std::mutex> hold(g_history.lock);

  g_history.keep  = keep;
  g_history.grace = grace;
}

//
// 'remember_job_lists()' - Learn a new printer's job lists.
//

void
remember_job_lists(pappl_printer_t *printer)  // I - New printer
{
  JobLists lists;

  t_noted = &lists.finished;
  papplPrinterIterateCompletedJobs(printer, noop, nullptr, 1, 1);
  t_noted = &lists.all;
  papplPrinterIterateAllJobs(printer, noop, nullptr, 1, 1);
  t_noted = nullptr;

  const std::lock_guard<std::mutex> hold(g_history.lock);
  g_history.lists[printer] = lists;
}

//
// 'forget_job_lists()' - Forget a printer that is being deleted.
//

void
forget_job_lists(pappl_printer_t *printer)  // I - Printer
{
  const std::lock_guard<std::mutex> hold(g_history.lock);

  g_history.lists.erase(printer);
}

} // namespace pelna_workarounds
