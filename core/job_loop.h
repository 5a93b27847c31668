// SPDX-License-Identifier: Apache-2.0
//
// The job loop: pages from a source, through the page pipeline, frames to a
// sink, until the source ends, the job is cancelled or a frame cannot be
// written.  Every front end that reads a stream of pages runs this loop;
// the filter's main and the fuzz harness are two of them.
//

#ifndef PELNA_CORE_JOB_LOOP_H
#define PELNA_CORE_JOB_LOOP_H

#include "messages.h"
#include "page_check.h"
#include "settings.h"

#include <csignal>
#include <cstdint>
#include <span>
#include <vector>

namespace pelna {

//
// What asking the source for the next page gave.
//

enum class NextPage
{
  Page,       // a page header was read
  End,        // the clean end of the job
  Damaged,    // the next page header could not be read
  NotPages    // the input is not a stream of pages at all
};

//
// What preparing a page's rows gave.
//

enum class PageRows
{
  Ready,      // rows can be asked for
  NoMemory,   // the page's buffer could not be allocated
  Lost        // the stream ends inside the page
};

//
// What reading past a page gave.
//

enum class PageSkip
{
  Done,         // the next page can be read
  RowsTooLong,  // the rows are too long to read past
  NoMemory,     // no memory to read past
  StreamEnded   // the stream ends inside the page
};

//
// Where pages come from.  Every function is called with ctx.
//

struct PageSource
{
  NextPage (*next_page)(void *ctx, PageHeader *header);    // read the next header
  void (*describe_page)(void *ctx, int page);              // log the header (may be null)
  PageRows (*begin_rows)(void *ctx);                       // after the page is accepted
  const std::uint8_t *(*row)(void *ctx, std::uint32_t y);  // gray row y, in order;
                                                           // null: the stream ended;
                                                           // row y stays valid while
                                                           // row y + 1 is asked for
  PageSkip (*skip_page)(void *ctx);                        // read past what is left
  void (*end_page)(void *ctx);                             // release the page's rows
  void *ctx;
};

//
// Where frames go.  write returns 0, or the errno value of the failure.
//

struct FrameSink
{
  int (*write)(void *ctx, int page, std::span<const std::uint8_t> frame);
  void *ctx;
};

//
// Looks at the stages of every page (may be all null): the gray page
// before halftoning (its rows follow through gray_row), each packed row,
// the packed page once complete, and the frame.
//

struct PageObserver
{
  void (*page_begin)(void *ctx, int page, const PageHeader &header) = nullptr;
  void (*packed_row)(void *ctx, std::uint32_t y, std::span<const std::uint8_t> row) = nullptr;
  void (*packed_done)(void *ctx) = nullptr;
  void (*frame)(void *ctx, std::span<const std::uint8_t> frame) = nullptr;
  void (*page_end)(void *ctx) = nullptr;  // after the page, printed or not
  void *ctx = nullptr;
};

//
// What became of the job.
//

struct JobOutcome
{
  int              pages_started = 0;      // page headers read
  int              pages_printed = 0;      // frames written
  std::vector<int> refused;                // pages not printed but passed over
  int              lost_page     = 0;      // page the stream ended in, or 0
  int              damaged_after = -1;     // pages before an unreadable header, or -1
  bool             not_pages     = false;  // the input was no stream of pages
  int              write_failed  = 0;      // page whose frame could not be written, or 0
  bool             cancelled     = false;  // the cancel flag stopped the job
  bool             gave_up       = false;  // a refused page could not be read past
};

// The exit status of a job: 0 when pages were found and every one printed.
[[nodiscard]] int job_status(const JobOutcome &outcome);

//
// Everything the loop works with.
//

struct JobLoop
{
  PageSource                   source;                     // pages in
  FrameSink                    sink;                       // frames out
  JobSettings                  settings;                   // the job's settings
  MessageSink                  messages;                   // lines of the log
  PageObserver                 observer;                   // stage watcher
  const volatile sig_atomic_t *cancel    = nullptr;        // stop between pages when set
  std::uint64_t                max_pixels = kMaxPagePixels;  // largest page accepted
};

// Run the job to its end.
[[nodiscard]] JobOutcome run_job(const JobLoop &loop);

} // namespace pelna

#endif // PELNA_CORE_JOB_LOOP_H
