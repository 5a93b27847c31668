// SPDX-License-Identifier: Apache-2.0
//
// Submission order.  PAPPL starts the newest waiting job first.  So that
// jobs print in the order they were submitted, at most one job of a
// printer waits unheld at any time, besides the one printing:
//
//   - a new job runs freely when nothing is held and the printer has
//     nothing under way, or only a job already printing (it is then the
//     one PAPPL picks next); otherwise it is held, in line by its id (ids
//     grow with submission);
//   - when a job starts printing and no other job is free, or when no free
//     job is left, the oldest held job is released: it waits for the
//     printer and is the only one PAPPL can pick next.
//
// Only holds made here are released here; a job submitted with a hold
// stays with its submitter.  The holds made here are noted in the spool
// folder, so that after a restart the jobs waiting in line (held here, or
// unheld) are put back in line, oldest first.
//
// PAPPL reports job events with its own locks taken, so the event callback
// only queues the event (after telling the job thread gate of a deleted
// printer, at once); a thread of its own holds and releases jobs, in event
// order.  Until that thread has placed a new job (let it run or held it),
// the job thread gate keeps PAPPL from starting it (workarounds/job_start_gate.cpp): its
// document may arrive first, and PAPPL would start it before older jobs.
//

#include "app.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pelna_app {

namespace {

//
// What happened to a job.
//

enum class JobChange
{
  Created,  // the job was created
  Started,  // its state changed (to processing, when it starts)
  Ended     // completed, cancelled or aborted
};

//
// One job event as queued for the ordering thread.
//

struct JobEvent
{
  pappl_printer_t *printer;  // printer of the job (compared, and used only
                             // while it is still one of the system's printers)
  int              job_id;   // the job
  JobChange        change;   // what happened
};

//
// The order of one printer's jobs.
//

struct PrinterOrder
{
  std::vector<int> free;  // jobs not held here and not ended, at most two
  std::deque<int>  held;  // jobs held here, oldest first
};

//
// Everything the ordering thread shares with the event callback.
//

struct OrderState
{
  std::mutex                                lock;     // guards events and unplaced
  std::condition_variable                   wake;     // signalled on a new event
  std::deque<JobEvent>                      events;   // events not yet handled
  std::set<std::pair<pappl_printer_t *, int>> unplaced;  // jobs created and not yet
                                                          // let run or held here
  std::map<pappl_printer_t *, PrinterOrder> printers; // ordering thread only
  pappl_system_t                           *system = nullptr;  // the system
  std::string                               note_path;  // the note of holds made
                                                        // here (empty until known)
  std::set<std::pair<std::string, int>>     noted;      // printer name and job id
                                                        // of each hold in the note
};

// The one ordering state.  Never destroyed: the ordering thread may still
// wait on it while the process exits.
OrderState    &g_order = *new OrderState;
std::once_flag g_order_once;  // starts the thread once

//
// What find_job looks for and found.
//

struct PrinterSearch
{
  pappl_printer_t *wanted = nullptr;  // the printer as the event named it
  bool             found  = false;    // whether it is still a printer of the system
};

//
// 'match_printer()' - papplSystemIteratePrinters callback: note the wanted
// printer.
//

void
match_printer(pappl_printer_t *printer,  // I - One printer
              void            *data)     // IO - The search
{
  auto *search = static_cast<PrinterSearch *>(data);

  if (printer == search->wanted)
    search->found = true;
}

//
// 'printer_exists()' - Whether a printer is still one of the system's.
// Printers are known by their object: PAPPL 1.3 gives a printer added while
// the server runs the id 0 until a restart.
//

bool
printer_exists(pappl_printer_t *printer)  // I - Printer
{
  PrinterSearch search;

  search.wanted = printer;
  papplSystemIteratePrinters(g_order.system, match_printer, &search);
  return search.found;
}

//
// 'find_job()' - A job of a printer by its id, or null (also when the
// printer was deleted).
//

pappl_job_t *
find_job(pappl_printer_t *printer,  // I - Printer
         int              job_id)   // I - Job ID
{
  return printer_exists(printer) ? papplPrinterFindJob(printer, job_id) : nullptr;
}

//
// 'job_state()' - The state of a job, or completed when it is gone.
//

ipp_jstate_t
job_state(pappl_printer_t *printer,  // I - Printer
          int              job_id)   // I - Job ID
{
  pappl_job_t *job = find_job(printer, job_id);

  return job ? papplJobGetState(job) : IPP_JSTATE_COMPLETED;
}

//
// 'held_by_submitter()' - Whether the job was submitted with a hold.
//

bool
held_by_submitter(pappl_job_t *job)  // I - Job
{
  ipp_attribute_t *attr  = papplJobGetAttribute(job, "job-hold-until");
  const char      *until = attr ? ippGetString(attr, 0, nullptr) : nullptr;

  return until && strcmp(until, "no-hold") != 0;
}

void release_next(PrinterOrder &order, pappl_printer_t *printer);
std::string note_path_of(pappl_job_t *job);

//
// 'prune()' - Forget jobs that ended unseen: PAPPL reports no end for a
// raster stream it turns away as busy.
//

void
prune(PrinterOrder    &order,    // IO - The printer's order
      pappl_printer_t *printer)  // I - Printer
{
  const auto ended = [printer](int id) { return job_state(printer, id) > IPP_JSTATE_STOPPED; };

  std::erase_if(order.free, ended);
  std::erase_if(order.held, ended);
}

//
// 'job_created()' - Let a new job run or hold it in line.  Jobs read back
// from the state file at start-up were placed by restore() already.
//

void
job_created(PrinterOrder   &order,  // IO - The printer's order
            const JobEvent &ev)     // I - The event
{
  if (std::ranges::find(order.free, ev.job_id) != order.free.end() ||
      std::ranges::find(order.held, ev.job_id) != order.held.end())
    return;

  pappl_job_t *job = find_job(ev.printer, ev.job_id);
  if (!job || held_by_submitter(job))
    return;

  const ipp_jstate_t state = papplJobGetState(job);
  if (state != IPP_JSTATE_HELD && state != IPP_JSTATE_PENDING)
    return;  // already printing, or ended

  prune(order, ev.printer);
  if (order.held.empty() &&
      (order.free.empty() ||
       (order.free.size() == 1 && job_state(ev.printer, order.free.front()) == IPP_JSTATE_PROCESSING)))
  {
    order.free.push_back(ev.job_id);
    return;
  }
  if (papplJobHold(job, nullptr, "indefinite", 0))
  {
    if (g_order.note_path.empty())
      g_order.note_path = note_path_of(job);
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Held until the jobs submitted before it have printed.");
    order.held.insert(std::upper_bound(order.held.begin(), order.held.end(), ev.job_id), ev.job_id);
  }
  if (order.free.empty())
    release_next(order, ev.printer);
}

//
// 'release_next()' - Release the oldest held job that is still held.
//

void
release_next(PrinterOrder    &order,    // IO - The printer's order
             pappl_printer_t *printer)  // I - Printer
{
  while (!order.held.empty())
  {
    const int    next = order.held.front();
    pappl_job_t *job  = find_job(printer, next);

    order.held.pop_front();
    if (job && papplJobGetState(job) == IPP_JSTATE_HELD && papplJobRelease(job, nullptr))
    {
      order.free.push_back(next);
      return;
    }
  }
}

//
// 'kick()' - Have PAPPL look for the printer's next job: it skipped a job
// that was not yet placed in line.  Releasing a job that is not held only
// does that.
//

void
kick(const PrinterOrder &order,    // I - The printer's order
     pappl_printer_t    *printer)  // I - Printer
{
  for (int id : order.free)
  {
    pappl_job_t *job = find_job(printer, id);

    if (job && papplJobGetState(job) == IPP_JSTATE_PENDING)
    {
      papplJobRelease(job, nullptr);
      return;
    }
  }
}

//
// 'add_printer()' - papplSystemIteratePrinters callback: collect a printer.
//

void
add_printer(pappl_printer_t *printer,  // I - Printer
            void            *data)     // IO - The list
{
  static_cast<std::vector<pappl_printer_t *> *>(data)->push_back(printer);
}

//
// 'add_job()' - papplPrinterIterateActiveJobs callback: collect a job.
//

void
add_job(pappl_job_t *job,   // I - Job
        void        *data)  // IO - The list
{
  static_cast<std::vector<pappl_job_t *> *>(data)->push_back(job);
}

//
// 'note_path_of()' - The note of holds, in the spool folder of a job (as
// PAPPL names a job's files there).
//

std::string
note_path_of(pappl_job_t *job)  // I - Any job with the spool folder
{
  char      path[1024] = "";
  const int fd = papplJobOpenFile(job, path, sizeof(path), nullptr, "holds", "r");

  if (fd >= 0)
    close(fd);
  char *slash = strrchr(path, '/');
  if (!slash)
    return {};
  *slash = '\0';
  return std::string(path) + "/" + kAppName + ".holds";
}

//
// 'read_note()' - The holds noted before the server stopped: "ID NAME" lines.
//

std::set<std::pair<std::string, int>>
read_note(const std::string &path)  // I - The note
{
  std::set<std::pair<std::string, int>> noted;
  std::ifstream                         in(path);
  std::string                           line;

  while (std::getline(in, line))
  {
    char     *end;
    const long id = strtol(line.c_str(), &end, 10);

    if (id > 0 && id <= INT32_MAX && *end == ' ' && end[1])
      noted.insert({std::string(end + 1), static_cast<int>(id)});
  }
  return noted;
}

//
// 'sync_note()' - Write the note again when the holds made here changed:
// to a new file, then renamed over the old one.
//

void
sync_note()
{
  std::set<std::pair<std::string, int>> now;

  for (const auto &[printer, order] : g_order.printers)
  {
    if (order.held.empty() || !printer_exists(printer))
      continue;
    for (int id : order.held)
      now.insert({papplPrinterGetName(printer), id});
  }
  if (now == g_order.noted || g_order.note_path.empty())
    return;

  const std::string temp = g_order.note_path + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const auto &[name, id] : now)
      out << id << ' ' << name << '\n';
    if (!out.flush())
    {
      papplLog(g_order.system, PAPPL_LOGLEVEL_ERROR, "Unable to write \"%s\": %s", temp.c_str(), strerror(errno));
      return;
    }
  }
  if (rename(temp.c_str(), g_order.note_path.c_str()))
  {
    papplLog(g_order.system, PAPPL_LOGLEVEL_ERROR, "Unable to write \"%s\": %s", g_order.note_path.c_str(),
             strerror(errno));
    return;
  }
  g_order.noted = std::move(now);
}

//
// 'restore_printer()' - Put a printer's jobs read back at start-up in line
// again: those held here before the stop and those waiting unheld, oldest
// first; the oldest is released, the others wait held.
//

void
restore_printer(pappl_printer_t                             *printer,  // I - Printer
                const std::vector<pappl_job_t *>            &jobs,     // I - Its active jobs
                const std::set<std::pair<std::string, int>> &noted)    // I - Holds noted
{
  PrinterOrder &order = g_order.printers[printer];
  const char   *name  = papplPrinterGetName(printer);

  for (pappl_job_t *job : jobs)
  {
    const int          id    = papplJobGetID(job);
    const ipp_jstate_t state = papplJobGetState(job);

    if ((state == IPP_JSTATE_HELD && noted.contains({name, id})) ||
        (state == IPP_JSTATE_PENDING && papplJobHold(job, nullptr, "indefinite", 0)))
      order.held.insert(std::upper_bound(order.held.begin(), order.held.end(), id), id);
  }
  if (order.held.empty())
    return;
  papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "%u job(s) waiting from before the restart, back in line.",
                  static_cast<unsigned>(order.held.size()));
  release_next(order, printer);
}

//
// 'restore()' - Once the system runs: put the jobs read back from the
// state file in line again, with the note of the holds made here.
//

void
restore()
{
  std::vector<pappl_printer_t *>                               printers;
  std::vector<std::pair<pappl_printer_t *, std::vector<pappl_job_t *>>> active;

  papplSystemIteratePrinters(g_order.system, add_printer, &printers);
  for (pappl_printer_t *printer : printers)
  {
    std::vector<pappl_job_t *> jobs;

    papplPrinterIterateActiveJobs(printer, add_job, &jobs, 1, 0);
    if (!jobs.empty())
      active.emplace_back(printer, std::move(jobs));
  }
  if (active.empty())
    return;

  g_order.note_path = note_path_of(active.front().second.front());
  const auto noted  = read_note(g_order.note_path);
  for (const auto &[printer, jobs] : active)
    restore_printer(printer, jobs, noted);
  sync_note();
}

//
// 'job_started()' - A free job started printing: release the next one, so
// that it is the only one waiting.
//

void
job_started(PrinterOrder   &order,  // IO - The printer's order
            const JobEvent &ev)     // I - The event
{
  prune(order, ev.printer);
  if (order.free.size() == 1 && order.free.front() == ev.job_id &&
      job_state(ev.printer, ev.job_id) == IPP_JSTATE_PROCESSING)
    release_next(order, ev.printer);
}

//
// 'job_ended()' - Explain an abort PAPPL left unexplained, forget the job;
// when nothing is left under way (a job ended before it printed), release
// the next one.
//

void
job_ended(PrinterOrder   &order,  // IO - The printer's order
          const JobEvent &ev)     // I - The event
{
  if (pappl_job_t *job = find_job(ev.printer, ev.job_id))
    explain_aborted_job(job);
  std::erase(order.held, ev.job_id);
  std::erase(order.free, ev.job_id);
  prune(order, ev.printer);
  if (order.free.empty())
    release_next(order, ev.printer);
}

//
// 'recheck()' - With no event for a while: release the next job of every
// printer whose jobs all ended unseen, forget deleted printers.
//

void
recheck()
{
  for (auto it = g_order.printers.begin(); it != g_order.printers.end();)
  {
    if (!printer_exists(it->first))
    {
      it = g_order.printers.erase(it);
      continue;
    }
    prune(it->second, it->first);
    if (it->second.free.empty())
      release_next(it->second, it->first);
    ++it;
  }
}

//
// 'order_thread()' - Handle queued job events, one at a time, for ever;
// look over every printer after a second without one.
//

void
order_thread()
{
  constexpr auto kQuiet = std::chrono::seconds(1);
  constexpr auto kStartStep = std::chrono::milliseconds(50);

  while (!papplSystemIsRunning(g_order.system))
    std::this_thread::sleep_for(kStartStep);
  restore();

  for (;;)
  {
    JobEvent ev;
    {
      std::unique_lock<std::mutex> hold(g_order.lock);

      if (!g_order.wake.wait_for(hold, kQuiet, [] { return !g_order.events.empty(); }))
      {
        hold.unlock();
        recheck();
        sync_note();
        continue;
      }
      ev = g_order.events.front();
      g_order.events.pop_front();
    }

    PrinterOrder &order = g_order.printers[ev.printer];
    switch (ev.change)
    {
      case JobChange::Created :
          job_created(order, ev);
          {
            std::lock_guard<std::mutex> hold(g_order.lock);

            g_order.unplaced.erase({ev.printer, ev.job_id});
          }
          if (printer_exists(ev.printer))
            kick(order, ev.printer);
          break;
      case JobChange::Started :
          job_started(order, ev);
          break;
      case JobChange::Ended :
          job_ended(order, ev);
          break;
    }
    sync_note();
  }
}

//
// 'job_event()' - PAPPL's event callback: queue job creation, state changes
// and job ends.
//

void
job_event(pappl_system_t  *system,   // I - System (unused)
          pappl_printer_t *printer,  // I - Printer
          pappl_job_t     *job,      // I - Job
          pappl_event_t    event,    // I - Event
          void            *data)     // I - Callback data (unused)
{
  (void)system;
  (void)data;

  JobChange change;

  if (printer && (event & PAPPL_EVENT_PRINTER_DELETED))
    forget_printer_threads(printer);
  if (!printer || !job)
    return;
  if (event & PAPPL_EVENT_JOB_COMPLETED)
    change = JobChange::Ended;
  else if (event & PAPPL_EVENT_JOB_CREATED)
    change = JobChange::Created;
  else if (event & PAPPL_EVENT_JOB_STATE_CHANGED)
    change = JobChange::Started;
  else
    return;

  const JobEvent ev{printer, papplJobGetID(job), change};
  {
    std::lock_guard<std::mutex> hold(g_order.lock);

    g_order.events.push_back(ev);
    if (change == JobChange::Created)
      g_order.unplaced.insert({printer, ev.job_id});
  }
  g_order.wake.notify_one();
}

} // namespace

//
// 'job_placed()' - Whether a job may start as far as its order goes: false
// while the ordering thread has not yet let it run or held it (PAPPL would
// otherwise start a new job whose document came quickly before the older
// ones).  Called by the job thread gate, within PAPPL's look for a job.
//

bool
job_placed(pappl_printer_t *printer,  // I - Printer
           int              job_id)   // I - Job ID
{
  std::lock_guard<std::mutex> hold(g_order.lock);

  return !g_order.unplaced.contains({printer, job_id});
}

//
// 'start_job_order()' - Keep submission order on the system's printers
// (once; later calls do nothing).
//

void
start_job_order(pappl_system_t *system)  // I - System
{
  std::call_once(g_order_once, [system] {
    g_order.system = system;
    if (!job_thread_gate_ready())
      papplLog(system, PAPPL_LOGLEVEL_WARN,
               "PAPPL's job function was not found: concurrent submissions may start a job twice.");
    papplSystemSetEventCallback(system, job_event, nullptr);
    std::thread(order_thread).detach();
  });
}

} // namespace pelna_app
