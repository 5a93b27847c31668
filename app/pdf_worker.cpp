// SPDX-License-Identifier: Apache-2.0
//
// PDF jobs rendered in a child process.  A PDF is a program: its pages can
// ask for any amount of memory and time, and a damaged one can make the
// reader fault.  The server starts a fresh process of its own program for
// each PDF job (a fresh one, not a fork: a copy of a server with other
// threads under way could inherit a lock one of them held), with the job on
// its command line, its pipe on descriptor 3 and nothing else open.  The
// child limits its address space to the job's memory allowance, opens the
// file, and sends what it found and then each page's label rows through
// the pipe.  The parent waits for each page at most the time limit, looks
// at the child's memory and at whether the job was canceled while it
// waits; a child that runs out of memory, takes too long or stops is ended
// and the job with it, with the reason, while the server goes on.
//
// Messages on the pipe are fixed-size records; a Page record is followed
// by its rows, each as wide as the label.
//

#include "pdf_reader.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace pelna_app {

namespace {

// What a record says.
enum class RecordKind : std::uint32_t
{
  Document = 1,  // the document was read (or why not): pages, first, last
  Page,          // a page follows: number, rows, width
  Fault,         // a page could not be rendered: the fault and reason
  Note,          // something the reader said, for the job log
};

//
// One record from the child.
//

struct Record
{
  RecordKind    kind  = RecordKind::Fault;  // what it says
  std::uint32_t fault = 0;                  // a PdfFault
  std::uint32_t a     = 0;                  // Document: pages; Page: number
  std::uint32_t b     = 0;                  // Document: first page; Page: rows
  std::uint32_t c     = 0;                  // Document: last page; Page: row width
  char          text[sizeof(PdfReason::text)] = "";  // reason or note
};

// File descriptors of the child: the pipe to the parent, and its first
// free one.
constexpr int kChildPipe  = 3;
constexpr int kChildFirst = 4;

// Notes a child passes on at most: a damaged file can make the reader say
// something for every object.
constexpr unsigned kMaxNotes = 20;

// How long the parent waits in one poll, in milliseconds, between looks at
// whether the job was canceled and at the child's memory.
constexpr int kPollMs = 100;

// How long a child that closed its pipe may take to end, in seconds.
constexpr int kReapSeconds = 5;

// How much of the child's standard error is read to tell why it stopped.
constexpr std::size_t kErrorBytes = 4096;

// Bytes the child gathers before it writes them.
constexpr std::size_t kChildBuffer = 65536;

//
// The child's side: a buffered writer on the pipe.
//

struct ChildPipe
{
  int                       fd = kChildPipe;  // the pipe
  std::vector<std::uint8_t> buffer;           // bytes not yet written
  unsigned                  notes = 0;        // notes sent so far
};

//
// 'now_seconds()' - Monotonic seconds.
//

double
now_seconds()
{
  timespec ts{};

  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

//
// 'write_all()' - Write every byte; false when the pipe is gone.
//

bool
write_all(int         fd,    // I - File
          const void *data,  // I - Bytes
          std::size_t size)  // I - Their number
{
  const auto *p = static_cast<const std::uint8_t *>(data);

  while (size > 0)
  {
    const ssize_t n = write(fd, p, size);

    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

//
// 'child_flush()' - Write what the child gathered.
//

bool
child_flush(ChildPipe &out)  // IO - The pipe
{
  const bool ok = write_all(out.fd, out.buffer.data(), out.buffer.size());

  out.buffer.clear();
  return ok;
}

//
// 'child_send()' - Gather bytes, writing them when the buffer is full.
//

bool
child_send(ChildPipe  &out,   // IO - The pipe
           const void *data,  // I - Bytes
           std::size_t size)  // I - Their number
{
  if (out.buffer.size() + size > kChildBuffer && !child_flush(out))
    return false;
  if (size > kChildBuffer)
    return write_all(out.fd, data, size);

  const auto *p = static_cast<const std::uint8_t *>(data);
  out.buffer.insert(out.buffer.end(), p, p + size);
  return true;
}

//
// 'child_record()' - Send a record.
//

bool
child_record(ChildPipe        &out,     // IO - The pipe
             RecordKind        kind,    // I - What it says
             PdfFault          fault,   // I - Fault, if any
             std::uint32_t     a,       // I - Numbers
             std::uint32_t     b,
             std::uint32_t     c,
             const char       *text)    // I - Reason or note, or null
{
  Record record;

  record.kind  = kind;
  record.fault = static_cast<std::uint32_t>(fault);
  record.a     = a;
  record.b     = b;
  record.c     = c;
  if (text)
    snprintf(record.text, sizeof(record.text), "%s", text);
  // A page's record goes with its rows; any other is sent at once, so that
  // the parent has it even when the child is ended soon after.
  return child_send(out, &record, sizeof(record)) && (kind == RecordKind::Page || child_flush(out));
}

//
// 'child_note()' - The reader's message callback in the child: pass the
// first few on to the parent.
//

void
child_note(const char *message,  // I - What the reader said
           void       *data)     // I - The pipe
{
  auto *out = static_cast<ChildPipe *>(data);

  if (out->notes < kMaxNotes)
  {
    out->notes++;
    child_record(*out, RecordKind::Note, PdfFault::None, 0, 0, 0, message);
  }
}

//
// 'cpu_limit()' - Hold the child to so many CPU seconds in all.
//

void
cpu_limit(unsigned seconds)  // I - CPU seconds it may use
{
  rlimit cpu{};

  getrlimit(RLIMIT_CPU, &cpu);
  cpu.rlim_cur = std::min<rlim_t>(seconds, cpu.rlim_max);
  setrlimit(RLIMIT_CPU, &cpu);
}

//
// 'child_limits()' - Hold the child to its memory allowance above what it
// inherited, and to CPU time for opening the document; no core files.
//

void
child_limits(std::size_t allowance,  // I - Bytes the child may add
             unsigned    seconds)    // I - CPU seconds for opening
{
  unsigned long long pages = 0;

  if (FILE *fp = fopen("/proc/self/statm", "re"))
  {
    if (fscanf(fp, "%llu", &pages) != 1)
      pages = 0;
    fclose(fp);
  }

  const unsigned long long have = pages * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
  const rlimit             as{have + allowance, have + allowance};
  const rlimit             core{0, 0};

  if (pages > 0)
    setrlimit(RLIMIT_AS, &as);
  setrlimit(RLIMIT_CORE, &core);
  cpu_limit(seconds);
}

//
// The job on the child's command line: after kPdfWorkerArg, these numbers
// in this order, then the file.
//

enum PlanField
{
  kParent, kFirst, kLast, kMaxPages, kMaxSide, kMaxBytes, kMaxWidth, kMaxHeight, kPageSeconds,
  kWidth, kHeight, kLeft, kTop, kRight, kBottom, kXdpi, kYdpi, kBorderless, kScaling, kTurn,
  kPlanFields
};

//
// 'plan_arguments()' - The child's command line for a job.
//

std::vector<std::string>
plan_arguments(const PdfJobPlan &plan)  // I - The job
{
  const PdfLimits &l = plan.limits;
  const LabelArea &a = plan.label;
  const double     fields[kPlanFields] = {
    static_cast<double>(getpid()), static_cast<double>(plan.first), static_cast<double>(plan.last),
    static_cast<double>(l.max_pages), l.max_side, static_cast<double>(l.max_bytes),
    static_cast<double>(l.max_width), static_cast<double>(l.max_height), static_cast<double>(l.page_seconds),
    static_cast<double>(a.width), static_cast<double>(a.height), static_cast<double>(a.left),
    static_cast<double>(a.top), static_cast<double>(a.right), static_cast<double>(a.bottom),
    static_cast<double>(a.xdpi), static_cast<double>(a.ydpi), a.borderless ? 1.0 : 0.0,
    static_cast<double>(a.scaling), static_cast<double>(a.turn)};
  std::vector<std::string> args{"pelna-pdf-worker", kPdfWorkerArg};
  char                     number[40];

  for (const double field : fields)
  {
    snprintf(number, sizeof(number), "%.17g", field);
    args.emplace_back(number);
  }
  args.emplace_back(plan.path ? plan.path : "");
  return args;
}

//
// 'parse_plan()' - Read the job from the child's command line; false when
// it is not one plan_arguments wrote.
//

bool
parse_plan(int         argc,    // I - Number of arguments
           char       *argv[],  // I - Arguments
           PdfJobPlan &plan,    // O - The job
           pid_t      &parent)  // O - The parent's process id
{
  double v[kPlanFields];

  if (argc != kPlanFields + 3 || strcmp(argv[1], kPdfWorkerArg) != 0)
    return false;
  for (int i = 0; i < kPlanFields; i++)
  {
    char *end;
    v[i] = strtod(argv[i + 2], &end);
    if (*end || !(v[i] >= 0) || v[i] > 1e18)
      return false;
  }
  if (v[kScaling] > static_cast<double>(Scaling::None) || v[kTurn] > static_cast<double>(Turn::ReversePortrait))
    return false;

  const auto u32 = [&](int i) { return static_cast<std::uint32_t>(std::min(v[i], 4294967295.0)); };
  parent                   = static_cast<pid_t>(v[kParent]);
  plan.path                = argv[kPlanFields + 2];
  plan.first               = u32(kFirst);
  plan.last                = u32(kLast);
  plan.limits.max_pages    = u32(kMaxPages);
  plan.limits.max_side     = v[kMaxSide];
  plan.limits.max_bytes    = static_cast<std::size_t>(v[kMaxBytes]);
  plan.limits.max_width    = static_cast<int>(std::min(v[kMaxWidth], 2147483647.0));
  plan.limits.max_height   = static_cast<int>(std::min(v[kMaxHeight], 2147483647.0));
  plan.limits.page_seconds = u32(kPageSeconds);
  plan.label.width         = u32(kWidth);
  plan.label.height        = u32(kHeight);
  plan.label.left          = u32(kLeft);
  plan.label.top           = u32(kTop);
  plan.label.right         = u32(kRight);
  plan.label.bottom        = u32(kBottom);
  plan.label.xdpi          = static_cast<int>(std::min(v[kXdpi], 2147483647.0));
  plan.label.ydpi          = static_cast<int>(std::min(v[kYdpi], 2147483647.0));
  plan.label.borderless    = v[kBorderless] != 0;
  plan.label.scaling       = static_cast<Scaling>(u32(kScaling));
  plan.label.turn          = static_cast<Turn>(u32(kTurn));
  return true;
}

//
// 'child_pages()' - The child's work: open the document, say what it holds,
// render the pages asked for; exits when done.
//

void
child_pages(const PdfJobPlan &plan,       // I - The job
            std::size_t       allowance)  // I - Its memory allowance
{
  ChildPipe   out;
  PdfDocument doc;
  PdfReason   reason;

  pdf_set_message_sink(child_note, &out);

  child_limits(allowance, plan.limits.page_seconds);

  PdfFault       fault = pdf_open(plan.path, plan.limits, doc, reason);
  const unsigned pages = pdf_pages(doc);
  const unsigned first = std::max(plan.first, 1u), last = std::min(plan.last, pages);

  cpu_limit(plan.limits.page_seconds * (last >= first ? last - first + 2 : 2));
  if (!child_record(out, RecordKind::Document, fault, pages, first, last, fault == PdfFault::None ? nullptr : reason.text))
    _exit(1);

  for (unsigned page = first; fault == PdfFault::None && page <= last; page++)
  {
    bool started = false;
    fault = pdf_render_page(doc, page, plan.label, plan.limits,
                            [&](std::uint32_t y, std::span<const std::uint8_t> row) {
                              if (y == 0 && !child_record(out, RecordKind::Page, PdfFault::None, page,
                                                          plan.label.height, plan.label.width, nullptr))
                                return false;
                              started = true;
                              return child_send(out, row.data(), row.size());
                            },
                            reason);
    if (fault != PdfFault::None && !started)
      child_record(out, RecordKind::Fault, fault, page, 0, 0, reason.text);
  }
  child_flush(out);
  _exit(fault == PdfFault::None ? 0 : 1);
}


//
// 'resident_kb()' - The resident memory of a process in KiB (0 when it
// cannot be read).
//
// The child's address space is held to its allowance, which ends any
// reader that asks for more; a build whose allocator maps memory inside
// ranges it reserved at its start (a sanitizer build) is not held by that,
// so the parent also looks at what the child holds while it waits.
//

long
resident_kb(pid_t pid)  // I - Process
{
  char               path[64];
  unsigned long long size = 0, resident = 0;

  if (pid <= 0)
    return 0;
  snprintf(path, sizeof(path), "/proc/%d/statm", static_cast<int>(pid));
  if (FILE *fp = fopen(path, "re"))
  {
    if (fscanf(fp, "%llu %llu", &size, &resident) != 2)
      resident = 0;
    fclose(fp);
  }
  return static_cast<long>(resident * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE)) / 1024);
}

//
// 'read_exact()' - Read size bytes from the child within the deadline,
// looking at whether the job was canceled and at the child's memory while
// waiting.
//

PdfFault
read_exact(PdfWorker            &worker,    // I - The worker
           void                 *data,      // O - Bytes read
           std::size_t           size,      // I - Their number
           double                deadline,  // I - When to give up
           const PdfCancelCheck &canceled)  // I - Whether the job was canceled
{
  auto *p = static_cast<std::uint8_t *>(data);

  while (size > 0)
  {
    const ssize_t n = read(worker.fd, p, size);

    if (n > 0)
    {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0)
      return PdfFault::Damaged;  // the child is gone
    if (errno == EINTR)
      continue;
    if (errno != EAGAIN)
      return PdfFault::Damaged;
    if (canceled && canceled())
      return PdfFault::Canceled;
    if (now_seconds() > deadline)
      return PdfFault::TooSlow;
    if (resident_kb(worker.pid) > static_cast<long>(worker.allowance >> 10))
      return PdfFault::NoMemory;

    pollfd pfd{worker.fd, POLLIN, 0};
    poll(&pfd, 1, kPollMs);
  }
  return PdfFault::None;
}

//
// 'child_error_says()' - Whether the child's standard error holds a text,
// in any case.
//

bool
child_error_says(const PdfWorker &worker,  // I - The worker
                 const char      *text)    // I - Text looked for
{
  char          buffer[kErrorBytes + 1];
  const ssize_t n = worker.err_fd >= 0 ? pread(worker.err_fd, buffer, kErrorBytes, 0) : -1;

  if (n <= 0)
    return false;
  buffer[n] = '\0';
  return strcasestr(buffer, text) != nullptr;
}

//
// 'reap()' - Wait a little for the child to end, kill it if it does not;
// its wait status.
//

int
reap(PdfWorker &worker,  // IO - The worker
     bool       kill_it)  // I - Kill it at once
{
  int    status = 0;
  rusage usage{};

  if (worker.pid <= 0)
    return 0;
  if (kill_it)
    kill(worker.pid, SIGKILL);
  for (const double end = now_seconds() + kReapSeconds;;)
  {
    const pid_t got = wait4(worker.pid, &status, WNOHANG, &usage);

    if (got == worker.pid || (got < 0 && errno != EINTR))
      break;
    if (now_seconds() > end)
    {
      kill(worker.pid, SIGKILL);
      wait4(worker.pid, &status, 0, &usage);
      break;
    }
    usleep(10000);
  }
  worker.pid     = -1;
  worker.peak_kb = usage.ru_maxrss;
  return status;
}

//
// 'where_text()' - What the child was at: the page under way, or the
// document.
//

void
where_text(const PdfWorker &worker,  // I - The worker
           char            *where,   // O - "page N" or "the document"
           std::size_t      size)    // I - Its size
{
  if (worker.page > 0)
    snprintf(where, size, "page %u", worker.page);
  else
    snprintf(where, size, "the document");
}

//
// 'memory_reason()' - The reason for a child out of its memory allowance.
//

PdfFault
memory_reason(const PdfWorker &worker,  // I - The worker
              PdfReason       &reason)  // O - Why
{
  char where[48];

  where_text(worker, where, sizeof(where));
  snprintf(reason.text, sizeof(reason.text),
           "The PDF needs more memory to render %s than the printer allows (%zu MiB); it may be built to "
           "exhaust the printer.", where, worker.allowance >> 20);
  return PdfFault::NoMemory;
}

//
// 'record_fault()' - The fault a record of the child reports, with its
// reason.
//

PdfFault
record_fault(const PdfWorker &worker,  // I - The worker
             const Record    &record,  // I - The record
             PdfReason       &reason)  // O - Why
{
  const auto fault = static_cast<PdfFault>(record.fault);

  if (fault == PdfFault::NoMemory)
    return memory_reason(worker, reason);
  snprintf(reason.text, sizeof(reason.text), "%s", record.text);
  return fault;
}

//
// 'child_gone()' - Why the child stopped before it said all: ran out of
// memory, out of time, or faulted on the file.
//

PdfFault
child_gone(PdfWorker &worker,  // IO - The worker
           PdfReason &reason)  // O - Why
{
  const int status = reap(worker, false);
  char      where[48];

  where_text(worker, where, sizeof(where));

  // The reader's own words, the C++ runtime's, and a sanitizer build's.
  if (child_error_says(worker, "out of memory") || child_error_says(worker, "bad_alloc") ||
      child_error_says(worker, "allocation-size-too-big"))
    return memory_reason(worker, reason);
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
  {
    snprintf(reason.text, sizeof(reason.text), "The PDF took too long to render %s.", where);
    return PdfFault::TooSlow;
  }
  snprintf(reason.text, sizeof(reason.text),
           "The PDF cannot be read: the reader stopped on %s (%s %d); the file is damaged.", where,
           WIFSIGNALED(status) ? "signal" : "exit status", WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
  return PdfFault::Damaged;
}

//
// 'wait_fault()' - The reason for a wait on the child that failed, the
// child ended unless the job was canceled.
//

PdfFault
wait_fault(PdfWorker &worker,  // IO - The worker
           PdfFault   fault,   // I - How the wait failed
           PdfReason &reason)  // O - Why
{
  char where[48];

  where_text(worker, where, sizeof(where));
  switch (fault)
  {
    case PdfFault::Canceled :
        snprintf(reason.text, sizeof(reason.text), "The job was canceled.");
        return fault;
    case PdfFault::TooSlow :
        reap(worker, true);
        snprintf(reason.text, sizeof(reason.text), "The PDF took longer than %u seconds to render %s.",
                 worker.seconds, where);
        return fault;
    case PdfFault::NoMemory :
        reap(worker, true);
        return memory_reason(worker, reason);
    default :
        return child_gone(worker, reason);
  }
}

//
// 'read_record()' - The child's next record other than a note (notes go to
// the note sink); a fault with its reason when none came.
//

PdfFault
read_record(PdfWorker            &worker,    // IO - The worker
            Record               &record,    // O - The record
            const PdfNoteSink    &notes,     // I - Where notes go
            const PdfCancelCheck &canceled,  // I - Whether the job was canceled
            PdfReason            &reason)    // O - Why not
{
  const double deadline = now_seconds() + worker.seconds;

  for (;;)
  {
    const PdfFault fault = read_exact(worker, &record, sizeof(record), deadline, canceled);

    if (fault != PdfFault::None)
      return wait_fault(worker, fault, reason);
    record.text[sizeof(record.text) - 1] = '\0';
    if (record.kind != RecordKind::Note)
      return PdfFault::None;
    if (notes)
      notes(record.text);
  }
}

//
// 'spawn_child()' - Start the child of a job: its pipe on descriptor 3,
// standard error the worker's memory file, nothing else open, default
// signals; 0 or the error.
//

int
spawn_child(PdfWorker        &worker,   // IO - The worker
            const PdfJobPlan &plan,     // I - The job
            int               pipe_fd)  // I - The pipe's writing end
{
  const std::vector<std::string> args = plan_arguments(plan);
  std::vector<char *>            argv;

  argv.reserve(args.size() + 1);
  for (const std::string &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));  // posix_spawn does not change them
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t          attr;
  sigset_t                   defaults, none;

  posix_spawn_file_actions_init(&actions);
  if (worker.err_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, worker.err_fd, STDERR_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_fd, kChildPipe);
  posix_spawn_file_actions_addclosefrom_np(&actions, kChildFirst);

  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD})
    sigaddset(&defaults, sig);
  sigemptyset(&none);
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  const int error = plan.program ? posix_spawn(&worker.pid, plan.program, &actions, &attr, argv.data(), environ)
                                 : EINVAL;

  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (error)
    worker.pid = -1;
  return error;
}

} // namespace

//
// 'pdf_worker_main()' - The child: read the job from the arguments, stay
// no longer than the thread that started it, render the job to the pipe.
//

int
pdf_worker_main(int   argc,    // I - Number of arguments
                char *argv[])  // I - Arguments
{
  PdfJobPlan plan;
  pid_t      parent = 0;

  if (!parse_plan(argc, argv, plan, parent))
  {
    fprintf(stderr, "%s: a program for PDF jobs, started by the server only.\n", argv[0]);
    return 2;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent)
    _exit(2);  // the server is already gone

  try
  {
    child_pages(plan, plan.limits.max_bytes);  // ends the process itself
  }
  catch (...)
  {
    _exit(2);  // out of memory, or another failure the reader threw
  }
  _exit(2);
}

//
// 'pdf_worker_start()' - Fork the child for a PDF job and read what it
// found in the document.
//

PdfFault
pdf_worker_start(PdfWorker            &worker,    // O - The worker
                 const PdfJobPlan     &plan,      // I - The job
                 const PdfNoteSink    &notes,     // I - Where the reader's notes go
                 const PdfCancelCheck &canceled,  // I - Whether the job was canceled
                 PdfReason            &reason)    // O - Why not
{
  int fds[2];

  worker           = PdfWorker{};
  worker.width     = plan.label.width;
  worker.seconds   = plan.limits.page_seconds;
  worker.allowance = plan.limits.max_bytes;
  if (pipe2(fds, O_CLOEXEC) != 0)
  {
    snprintf(reason.text, sizeof(reason.text), "The PDF cannot be read: no pipe to its reader (%s).", strerror(errno));
    return PdfFault::NoMemory;
  }
  worker.err_fd = memfd_create("pelna-pdf-errors", MFD_CLOEXEC);
  if (fds[1] == kChildPipe)
  {
    // Moved, so that the child's copy on descriptor 3 is a copy.
    const int moved = fcntl(fds[1], F_DUPFD_CLOEXEC, kChildFirst);
    close(fds[1]);
    fds[1] = moved;
  }

  const int error = fds[1] < 0 ? EMFILE : spawn_child(worker, plan, fds[1]);
  if (fds[1] >= 0)
    close(fds[1]);
  worker.fd = fds[0];
  if (error)
  {
    snprintf(reason.text, sizeof(reason.text), "The PDF cannot be read: its reader does not start (%s).",
             strerror(error));
    pdf_worker_stop(worker);
    return PdfFault::NoMemory;
  }
  fcntl(worker.fd, F_SETFL, O_NONBLOCK);

  Record record;
  if (const PdfFault fault = read_record(worker, record, notes, canceled, reason); fault != PdfFault::None)
    return fault;
  if (record.kind != RecordKind::Document)
  {
    snprintf(reason.text, sizeof(reason.text), "The PDF cannot be read: its reader answered out of turn.");
    return PdfFault::Damaged;
  }
  if (record.fault != static_cast<std::uint32_t>(PdfFault::None))
    return record_fault(worker, record, reason);
  worker.pages = record.a;
  worker.first = record.b;
  worker.last  = record.c;
  if (worker.first > worker.last)
  {
    snprintf(reason.text, sizeof(reason.text), "The PDF has %u page%s; the pages asked for begin at page %u.",
             worker.pages, worker.pages == 1 ? "" : "s", plan.first);
    return PdfFault::TooLarge;
  }
  worker.page = worker.first - 1;
  return PdfFault::None;
}

//
// 'pdf_worker_page()' - Receive the next page's rows from the child.
//

PdfFault
pdf_worker_page(PdfWorker            &worker,    // IO - The worker
                const LabelRowSink   &sink,      // I - Where rows go
                const PdfNoteSink    &notes,     // I - Where the reader's notes go
                const PdfCancelCheck &canceled,  // I - Whether the job was canceled
                PdfReason            &reason)    // O - Why not
{
  Record record;

  worker.page++;
  if (const PdfFault fault = read_record(worker, record, notes, canceled, reason); fault != PdfFault::None)
    return fault;
  if (record.kind == RecordKind::Fault && record.fault != static_cast<std::uint32_t>(PdfFault::None))
    return record_fault(worker, record, reason);
  if (record.kind != RecordKind::Page || record.a != worker.page || record.c != worker.width)
  {
    snprintf(reason.text, sizeof(reason.text), "The PDF cannot be read: its reader answered out of turn.");
    return PdfFault::Damaged;
  }

  std::vector<std::uint8_t> row(worker.width);

  for (std::uint32_t y = 0; y < record.b; y++)
  {
    const PdfFault fault = read_exact(worker, row.data(), row.size(), now_seconds() + worker.seconds, canceled);

    if (fault != PdfFault::None)
      return wait_fault(worker, fault, reason);
    if (!sink(y, row))
    {
      snprintf(reason.text, sizeof(reason.text), "Page %u: the printer did not take its rows.", worker.page);
      return PdfFault::Canceled;
    }
  }
  return PdfFault::None;
}

//
// 'pdf_worker_stop()' - End the child and close everything.
//

void
pdf_worker_stop(PdfWorker &worker)  // IO - The worker
{
  if (worker.fd >= 0)
    close(worker.fd);
  worker.fd = -1;
  reap(worker, true);
  if (worker.err_fd >= 0)
    close(worker.err_fd);
  worker.err_fd = -1;
}

} // namespace pelna_app
