// SPDX-License-Identifier: Apache-2.0
//
// One job thread per printer at a time.
//
// PAPPL 1.3.1 starts a job by creating a thread for the newest pending job
// of a printer that has no job under way; only that thread, once running,
// marks the job and the printer as processing.  Every look for the next job
// in between (another client's submission, a release, the end of the job
// before) therefore sees an idle printer and starts the same job again, or
// a second job on the same device.  Two threads on one job finish it twice:
// the heap is corrupted, the server ends and its jobs are lost.  The wider
// the start-up latency of a thread (a loaded two-core board), the likelier.
//
// The program defines pthread_create, which takes the place of the C
// library's for every caller in the process (the sanitizers' own, in a
// sanitizer build, is the one called on).  A thread that PAPPL creates to
// process a job goes through a gate per printer:
//
//   - a job without a spool file is a raster stream that its client's own
//     thread prints: its job thread is started on a function that does
//     nothing, and the job is left to that client;
//   - while another job thread of the printer is under way, the new one is
//     also started on nothing and the job stays pending; the thread under
//     way, when it has returned from PAPPL's work, has PAPPL look for the
//     next job again;
//   - a job the job order has not yet placed in line (job_order.cpp) is
//     started on nothing as well; once placed, the order has PAPPL look
//     again;
//   - otherwise the printer's gate closes and the job's thread runs; it
//     opens again when that thread has returned (or could not start).
//
// The gate opens when the thread returns, not at the job's end event:
// PAPPL also reports a job as ended when it is cancelled while printing,
// and still uses the device after the event.
//

#include "app.h"

#include <cerrno>
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
  std::uint64_t running = 0;      // token of the job thread under way, 0 for none
  bool          waiting = false;  // a job was left pending while it ran
};

//
// Everything the gate keeps, across threads.
//

struct GateState
{
  std::mutex                                lock;        // guards the members below
  std::map<pappl_printer_t *, PrinterGate>  printers;    // gates of the printers seen
  std::uint64_t                             next_token = 1;  // tokens of started job threads
};

//
// What a job thread needs: PAPPL's own start function and the gate to open.
//

struct JobRun
{
  StartFn          start;    // PAPPL's job processing function
  pappl_job_t     *job;      // the job it processes
  pappl_printer_t *printer;  // the job's printer, as the gate knows it
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
  static const auto real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));

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
// 'idle_thread()' - The thread of a job the gate left pending: nothing.
//

void *
idle_thread(void *data)  // I - Unused
{
  (void)data;
  return nullptr;
}

//
// 'job_thread()' - Run PAPPL's job processing, then open the printer's
// gate; when a job was left pending meanwhile, have PAPPL look again.
//

void *
job_thread(void *data)  // I - The JobRun, owned from here on
{
  std::unique_ptr<JobRun> run(static_cast<JobRun *>(data));
  void                   *result = run->start(run->job);
  bool                    look   = false;

  {
    std::lock_guard<std::mutex> hold(g_gate.lock);
    auto                        it = g_gate.printers.find(run->printer);

    // A deleted printer's gate is gone, and with it the printer and its jobs.
    if (it != g_gate.printers.end() && it->second.running == run->token)
    {
      it->second.running = 0;
      look               = it->second.waiting;
      it->second.waiting = false;
    }
  }
  // The job has ended and is not held, so releasing it only has PAPPL look
  // for the printer's next job.  PAPPL keeps ended jobs for a minute at
  // least, so the job is still there.
  if (look)
    papplJobRelease(run->job, nullptr);
  return result;
}

//
// 'gate_job_thread()' - Start a job thread through its printer's gate; 0 or
// an error number, as pthread_create.
//

int
gate_job_thread(CreateFn        real,    // I - The real pthread_create
                pthread_t      *thread,  // O - The thread
                const pthread_attr_t *attr,  // I - Its attributes
                StartFn         start,   // I - PAPPL's job function
                pappl_job_t    *job)     // I - The job
{
  pappl_printer_t *printer = papplJobGetPrinter(job);
  const bool       placed  = pelna_app::job_placed(printer, papplJobGetID(job));
  auto             run     = std::make_unique<JobRun>(JobRun{start, job, printer, 0});
  {
    std::lock_guard<std::mutex> hold(g_gate.lock);
    PrinterGate                &gate = g_gate.printers[printer];

    if (papplJobGetFilename(job) && placed && gate.running == 0)
      gate.running = run->token = g_gate.next_token++;
    else if (papplJobGetFilename(job) && placed)
      gate.waiting = true;
  }
  if (run->token == 0)
    return real(thread, attr, idle_thread, nullptr);

  const std::uint64_t token = run->token;
  JobRun             *owned = run.release();  // the thread owns it once started
  const int           error = real(thread, attr, job_thread, owned);
  if (error == 0)
    return 0;

  // No thread: PAPPL aborts the job; the printer is free again.
  run.reset(owned);
  std::lock_guard<std::mutex> hold(g_gate.lock);
  auto                        it = g_gate.printers.find(printer);
  if (it != g_gate.printers.end() && it->second.running == token)
    it->second.running = 0;
  return error;
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

namespace pelna_app {

//
// 'job_thread_gate_ready()' - Whether the gate can tell PAPPL's job threads
// from the others.
//

bool
job_thread_gate_ready()
{
  return real_create() && job_start_function();
}

//
// 'forget_printer_threads()' - Drop a printer's gate: the printer is being
// deleted (called synchronously from PAPPL's event, before PAPPL frees it).
//

void
forget_printer_threads(pappl_printer_t *printer)  // I - Printer
{
  std::lock_guard<std::mutex> hold(g_gate.lock);

  g_gate.printers.erase(printer);
}

} // namespace pelna_app
