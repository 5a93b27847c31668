//
// Submission order.  PAPPL starts the newest waiting job first, so while a
// printer has a job under way (printing, or waiting for its turn) every
// job created after it is held, and when that job ends the oldest held one
// is released.  Only holds made here are released here; a job a user holds
// stays held.
//
// PAPPL reports job events with its own locks taken, so the event callback
// only queues the event; a thread of its own does the holding and
// releasing, in event order.
//

#include "app.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace pelna_app {

namespace {

//
// One job event as queued for the ordering thread.
//

struct JobEvent
{
  int  printer_id;  // printer of the job
  int  job_id;      // the job
  bool created;     // true: created; false: completed, cancelled or aborted
};

//
// The order of one printer's jobs.
//

struct PrinterOrder
{
  int             current = 0;  // job allowed to run, 0 for none
  std::deque<int> held;         // jobs held here, oldest first
};

//
// Everything the ordering thread shares with the event callback.
//

struct OrderState
{
  std::mutex                  lock;       // guards events
  std::condition_variable     wake;       // signalled when an event is queued
  std::deque<JobEvent>        events;     // events not yet handled
  std::map<int, PrinterOrder> printers;   // by printer id (ordering thread only)
  pappl_system_t             *system = nullptr;  // the system
};

OrderState     g_order;       // the one ordering state
std::once_flag g_order_once;  // starts the thread once

//
// 'find_job()' - A job by printer and job id, or null.
//

pappl_job_t *
find_job(int printer_id,  // I - Printer ID
         int job_id)      // I - Job ID
{
  pappl_printer_t *printer = papplSystemFindPrinter(g_order.system, nullptr, printer_id, nullptr);

  return printer ? papplPrinterFindJob(printer, job_id) : nullptr;
}

//
// 'job_created()' - Hold a new job when another one is under way.
//

void
job_created(PrinterOrder &order,  // IO - The printer's order
            const JobEvent &ev)   // I - The event
{
  pappl_job_t *job = find_job(ev.printer_id, ev.job_id);

  if (!job || papplJobGetState(job) != IPP_JSTATE_PENDING)
    return;  // gone already, or held by its submitter
  if (order.current == 0)
  {
    order.current = ev.job_id;
    return;
  }
  if (papplJobHold(job, nullptr, "indefinite", 0))
  {
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Waiting for job %d, submitted before it.", order.current);
    order.held.push_back(ev.job_id);
  }
}

//
// 'job_ended()' - Release the oldest held job when the current one ends.
//

void
job_ended(PrinterOrder &order,  // IO - The printer's order
          const JobEvent &ev)   // I - The event
{
  if (order.current != ev.job_id)
  {
    std::erase(order.held, ev.job_id);  // a held job was cancelled
    return;
  }
  order.current = 0;
  while (!order.held.empty())
  {
    const int    next = order.held.front();
    pappl_job_t *job  = find_job(ev.printer_id, next);

    order.held.pop_front();
    if (job && papplJobGetState(job) == IPP_JSTATE_HELD && papplJobRelease(job, nullptr))
    {
      order.current = next;
      return;
    }
  }
}

//
// 'order_thread()' - Handle queued job events, one at a time, for ever.
//

void
order_thread()
{
  for (;;)
  {
    JobEvent ev;
    {
      std::unique_lock<std::mutex> hold(g_order.lock);

      g_order.wake.wait(hold, [] { return !g_order.events.empty(); });
      ev = g_order.events.front();
      g_order.events.pop_front();
    }
    PrinterOrder &order = g_order.printers[ev.printer_id];
    if (ev.created)
      job_created(order, ev);
    else
      job_ended(order, ev);
  }
}

//
// 'job_event()' - PAPPL's event callback: queue job creation and job ends.
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

  if (!printer || !job || !(event & (PAPPL_EVENT_JOB_CREATED | PAPPL_EVENT_JOB_COMPLETED)))
    return;

  const JobEvent ev{papplPrinterGetID(printer), papplJobGetID(job), (event & PAPPL_EVENT_JOB_CREATED) != 0};
  {
    std::lock_guard<std::mutex> hold(g_order.lock);

    g_order.events.push_back(ev);
  }
  g_order.wake.notify_one();
}

} // namespace

//
// 'start_job_order()' - Keep submission order on the system's printers
// (once; later calls do nothing).  Called when the first printer is set
// up, before any job can exist.
//

void
start_job_order(pappl_system_t *system)  // I - System
{
  std::call_once(g_order_once, [system] {
    g_order.system = system;
    papplSystemSetEventCallback(system, job_event, nullptr);
    std::thread(order_thread).detach();
  });
}

} // namespace pelna_app
