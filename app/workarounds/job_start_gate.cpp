// SPDX-License-Identifier: Apache-2.0
//
// One job thread per printer, always for the printer's oldest waiting job.
//
// PAPPL 1.3.1 starts a job by creating a thread for the newest waiting job
// of a printer that has no job under way (its list of active jobs is sorted
// newest first, also in 1.4 and the current head), and only that thread,
// once running, marks the job and the printer as processing.  Every look
// for work in between (another client's submission, the end of the job
// before) therefore sees an idle printer and starts the same job again, or
// a second job on the same device; two threads on one job finish it twice,
// which corrupts the heap and ends the server.
//
// The program defines pthread_create, which takes the place of the C
// library's for every caller in the process (in a sanitizer build the
// sanitizer's own is the one called on, wherever it is).  A thread PAPPL creates to
// process a job goes through a gate per printer:
//
//   - while a job thread of the printer is under way, the new thread is
//     started on a function that does nothing, and the job stays waiting;
//   - otherwise the gate closes and the thread looks for the printer's
//     oldest waiting job (the lowest job id: ids grow with submission) and
//     has PAPPL process that one, unless the printer was paused or deleted
//     meanwhile; the job PAPPL named waits its turn;
//   - PAPPL's own look for the next job at the end of a job, made from the
//     job thread itself, hands the gate on to a new job thread;
//   - when the thread has returned from PAPPL's work still holding the
//     gate, the gate opens and, if a job came meanwhile, PAPPL is asked to
//     look again (releasing a job that is not held does only that).
//
// PAPPL also looks for a printer's next job only when a job is submitted,
// released or ends, or the printer resumes: jobs read back from the state
// file at start-up would wait until then.  Once the system runs, a timer
// has it look at every printer (start_loaded_jobs).
//
// The gate opens when the thread returns, not at the job's end event: PAPPL
// also reports a job as ended when it is cancelled while printing, and
// still uses the device after the event.
//

#include "workarounds.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <dlfcn.h>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>

namespace {

// A thread start function, as pthread_create takes it.
using StartFn = void *(*)(void *);

// The C library's pthread_create (or the sanitizers' in front of it).
using CreateFn = int (*)(pthread_t *, const pthread_attr_t *, StartFn, void *);

//
// The gate of one printer.
//

struct PrinterGate
{
  std::uint64_t token   = 0;      // token of the job thread holding it, 0 when open
  pthread_t     thread{};         // that thread, once it runs
  bool          running = false;  // thread is set
  bool          waiting = false;  // a job was left waiting while it was held
};

//
// Everything the gate keeps, across threads.
//

struct GateState
{
  std::mutex                               lock;            // guards the members below
  std::map<pappl_printer_t *, PrinterGate> printers;        // gates of the printers seen
  std::uint64_t                            next_token = 1;  // tokens of started job threads
};

//
// What a job thread needs.
//

struct JobRun
{
  StartFn          start;    // PAPPL's job processing function
  pappl_printer_t *printer;  // the printer whose gate it holds
  std::uint64_t    token;    // this thread's token in the gate
};

// The one gate.  Never destroyed: job threads may still run at exit.
GateState &g_gate = *new GateState;

//
// 'real_create()' - The pthread_create this program's definition stands in
// front of, or null.
//

CreateFn
real_create()
{
  // A sanitizer runtime linked into the program (clang's) has its own in
  // the program too, under another name: a thread it does not see start
  // would leave the thread's argument looking leaked.
  static const auto real = [] {
    void *create = dlsym(RTLD_DEFAULT, "__interceptor_pthread_create");
    return reinterpret_cast<CreateFn>(create ? create : dlsym(RTLD_NEXT, "pthread_create"));
  }();

  return real;
}

//
// 'job_start_function()' - The function PAPPL runs in a job thread, or null
// when this PAPPL does not export it (the gate then stays out of the way).
//

StartFn
job_start_function()
{
  static const auto start = reinterpret_cast<StartFn>(dlsym(RTLD_DEFAULT, "_papplJobProcess"));

  return start;
}

//
// 'idle_thread()' - The thread of a job the gate left waiting: nothing.
//

void *
idle_thread(void *data)  // I - Unused
{
  (void)data;
  return nullptr;
}

//
// 'note_oldest()' - papplPrinterIterateActiveJobs callback: keep the
// waiting job with the lowest id.
//

void
note_oldest(pappl_job_t *job,   // I - One active job
            void        *data)  // IO - The oldest waiting job so far
{
  auto *oldest = static_cast<pappl_job_t **>(data);

  if (papplJobGetState(job) == IPP_JSTATE_PENDING && (!*oldest || papplJobGetID(job) < papplJobGetID(*oldest)))
    *oldest = job;
}

//
// 'oldest_waiting()' - The printer's oldest waiting job, or null.
//

pappl_job_t *
oldest_waiting(pappl_printer_t *printer)  // I - Printer
{
  pappl_job_t *oldest = nullptr;

  papplPrinterIterateActiveJobs(printer, note_oldest, static_cast<void *>(&oldest), 1, INT_MAX);
  return oldest;
}

//
// 'own_gate()' - The printer's gate when the run of that token holds it, or
// null (handed on, or the printer deleted).  The gate's lock is held.
//

PrinterGate *
own_gate(pappl_printer_t *printer,  // I - Printer
         std::uint64_t    token)    // I - The run's token
{
  const auto it = g_gate.printers.find(printer);

  return it != g_gate.printers.end() && it->second.token == token ? &it->second : nullptr;
}

//
// 'enter_gate()' - Note the thread that holds its printer's gate; false
// when the gate is no longer its own (the printer was deleted).
//

bool
enter_gate(const JobRun &run)  // I - The job thread's run
{
  const std::lock_guard<std::mutex> hold(g_gate.lock);
  PrinterGate                      *gate = own_gate(run.printer, run.token);

  if (!gate)
    return false;
  gate->thread  = pthread_self();
  gate->running = true;
  return true;
}

//
// 'leave_gate()' - Open the printer's gate after a job thread; whether a
// job was left waiting meanwhile.  False too when the thread no longer
// held the gate: handed on to the next job thread, or the printer deleted.
//

bool
leave_gate(const JobRun &run)  // I - The job thread's run
{
  const std::lock_guard<std::mutex> hold(g_gate.lock);
  PrinterGate                      *gate = own_gate(run.printer, run.token);

  if (!gate)
    return false;

  const bool waiting = gate->waiting;
  *gate              = PrinterGate{};
  return waiting;
}

//
// 'job_thread()' - Process the printer's oldest waiting job, then open the
// gate; have PAPPL look again when a job came meanwhile.
//
// PAPPL looks for the next job itself at the end of a job while others
// wait; that look, made from this very thread, hands the gate on to the
// next job thread at once, and this thread then touches nothing more: the
// printer may be gone by the time it returns.
//

void *
job_thread(void *data)  // I - The JobRun, owned from here on
{
  const std::unique_ptr<JobRun> run(static_cast<JobRun *>(data));
  void                         *result = nullptr;

  if (enter_gate(*run) && !papplPrinterIsDeleted(run->printer) &&
      papplPrinterGetState(run->printer) != IPP_PSTATE_STOPPED)
  {
    if (pappl_job_t *job = oldest_waiting(run->printer))
      result = run->start(job);
  }
  if (leave_gate(*run))
  {
    // A job came while no other waited: PAPPL's look for it met the gate.
    if (pappl_job_t *next = oldest_waiting(run->printer))
      papplJobRelease(next, nullptr);
  }
  return result;
}

//
// 'gate_job_thread()' - Start a job thread through its printer's gate; 0 or
// an error number, as pthread_create.
//

int
gate_job_thread(CreateFn              real,    // I - The real pthread_create
                pthread_t            *thread,  // O - The thread
                const pthread_attr_t *attr,    // I - Its attributes
                StartFn               start,   // I - PAPPL's job function
                pappl_job_t          *job)     // I - The job PAPPL named
{
  auto run = std::make_unique<JobRun>(JobRun{start, papplJobGetPrinter(job), 0});
  {
    const std::lock_guard<std::mutex> hold(g_gate.lock);
    PrinterGate                      &gate = g_gate.printers[run->printer];

    // Open, or asked by the job thread holding it as its job ends: taken by
    // (handed on to) the new thread.
    if (gate.token == 0 || (gate.running && pthread_equal(gate.thread, pthread_self())))
    {
      gate       = PrinterGate{};
      gate.token = run->token = g_gate.next_token++;
    }
    else
      gate.waiting = true;
  }
  if (run->token == 0)
    return real(thread, attr, idle_thread, nullptr);

  const std::uint64_t token = run->token;
  JobRun             *owned = run.release();  // the thread owns it once started
  const int           error = real(thread, attr, job_thread, owned);
  if (error == 0)
    return 0;

  // No thread: PAPPL aborts the job it named; the printer is free again.
  run.reset(owned);
  const std::lock_guard<std::mutex> hold(g_gate.lock);
  if (PrinterGate *gate = own_gate(run->printer, token))
    *gate = PrinterGate{};
  return error;
}

//
// 'look_at_printer()' - papplSystemIteratePrinters callback: have PAPPL look
// for the printer's next job when one waits.
//

void
look_at_printer(pappl_printer_t *printer,  // I - Printer
                void            *data)     // I - Unused
{
  (void)data;
  if (pappl_job_t *job = oldest_waiting(printer))
    papplJobRelease(job, nullptr);
}

//
// 'look_at_printers()' - Timer callback: look at every printer, once.
//

bool
look_at_printers(pappl_system_t *system,  // I - System
                 void           *data)    // I - Unused
{
  (void)data;
  papplSystemIteratePrinters(system, look_at_printer, nullptr);
  return false;
}

} // namespace

//
// 'pthread_create()' - Create a thread; PAPPL's job threads go through
// their printer's gate, every other thread starts as asked.
//

extern "C" int
pthread_create(pthread_t            *thread,  // O - The thread
               const pthread_attr_t *attr,    // I - Its attributes, or null
               StartFn               start,   // I - Its function
               void                 *arg)     // I - The function's argument
{
  const CreateFn real = real_create();

  if (!real)
    return EAGAIN;
  if (!arg || start != job_start_function())
    return real(thread, attr, start, arg);
  return gate_job_thread(real, thread, attr, start, static_cast<pappl_job_t *>(arg));
}

namespace pelna_workarounds {

//
// 'job_start_gate_ready()' - Whether the gate can tell PAPPL's job threads
// from the others.
//

bool
job_start_gate_ready()
{
  return real_create() && job_start_function();
}

//
// 'start_loaded_jobs()' - Start the jobs read back from the state file once
// the system runs.
//

void
start_loaded_jobs(pappl_system_t *system)  // I - System, not yet running
{
  papplSystemAddTimerCallback(system, time(nullptr), 0, look_at_printers, nullptr);
}

//
// 'forget_printer_jobs()' - Drop a printer's gate: the printer is being
// deleted.
//

void
forget_printer_jobs(pappl_printer_t *printer)  // I - Printer
{
  const std::lock_guard<std::mutex> hold(g_gate.lock);

  g_gate.printers.erase(printer);
}

} // namespace pelna_workarounds
