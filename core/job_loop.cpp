// SPDX-License-Identifier: Apache-2.0
//
// The job loop: pages from a source, through the page pipeline, frames to a
// sink.  Every line the job's log shows about its pages is composed here.
//

#include "job_loop.h"
#include "page_pipeline.h"

#include <cstring>

namespace pelna {

namespace {

//
// One page of the job, as the loop's steps see it.
//

struct PageRun
{
  const JobLoop    &loop;    // the job
  int               page;    // page number, from 1
  const PageHeader &header;  // the page's numbers
  JobOutcome       &out;     // what became of the job so far
};

//
// 'cancelled()' - Whether the job was asked to stop.
//

bool
cancelled(const JobLoop &loop)  // I - The job
{
  return loop.cancel && *loop.cancel;
}

//
// 'skip_rest()' - Read past what is left of a page that is not printed.
//
// Returns false, with the reason logged, when the rest of the job is given
// up.
//

bool
skip_rest(PageRun &run)  // IO - The page and its job
{
  const MessageSink &log = run.loop.messages;

  switch (run.loop.source.skip_page(run.loop.source.ctx))
  {
    case PageSkip::Done :
        return true;
    case PageSkip::RowsTooLong :
        say(log, Level::Error, "The rest of the job is given up: the rows of page %d "
            "are %u bytes long, too long to read past.", run.page, run.header.bytes_per_line);
        break;
    case PageSkip::NoMemory :
        say(log, Level::Error, "The rest of the job is given up: no memory to read past page %d.",
            run.page);
        break;
    case PageSkip::StreamEnded :
        say(log, Level::Error, "The raster stream ends inside page %d.", run.page);
        run.out.lost_page = run.page;
        break;
  }

  run.out.gave_up = true;
  return false;
}

//
// 'refuse()' - Note a page that is not printed and read past it.
//

bool
refuse(PageRun &run)  // IO - The page and its job
{
  run.out.refused.push_back(run.page);
  return skip_rest(run);
}

//
// 'lose()' - Note a page the stream ends inside; the job cannot go on.
//

bool
lose(PageRun &run)  // IO - The page and its job
{
  say(run.loop.messages, Level::Error, "Page %d is lost: the raster stream ends inside it.",
      run.page);
  run.out.lost_page = run.page;
  run.loop.source.end_page(run.loop.source.ctx);
  return false;
}

//
// 'not_converted()' - Note a page whose conversion ran out of memory.
//

bool
not_converted(PageRun &run)  // IO - The page and its job
{
  say(run.loop.messages, Level::Error,
      "Page %d cannot be printed: the memory to convert it is not available.", run.page);
  run.out.refused.push_back(run.page);
  return true;
}

//
// 'print_rows()' - Hand every row of an accepted page to the pipeline.
//
// Rows go two at a time, which diffuses faster; the rows handed over and
// the packed rows shown to the observer are those of one at a time.
// Returns false when the stream ends inside the page.
//

bool
print_rows(PageRun      &run,   // IO - The page and its job
           PagePipeline &pipe)  // IO - Page under way
{
  const PageObserver &watch  = run.loop.observer;
  const PageSource   &source = run.loop.source;
  const std::uint32_t width  = run.header.width;
  const std::uint32_t height = run.header.height;

  for (std::uint32_t y = 0; y < height; y += 2)
  {
    const std::uint8_t *upper = source.row(source.ctx, y);

    if (!upper)
      return false;

    const std::uint8_t *lower = y + 1 < height ? source.row(source.ctx, y + 1) : nullptr;

    if (!lower)  // the last row of an odd height, or the stream ended after row y
    {
      const auto packed = page_gray_row(pipe, {upper, width});

      if (watch.packed_row)
        watch.packed_row(watch.ctx, y, packed);
      if (y + 1 < height)
        return false;
      break;
    }

    const RowPair packed = page_gray_rows(pipe, {upper, width}, {lower, width});

    if (watch.packed_row)
    {
      watch.packed_row(watch.ctx, y, packed.upper);
      watch.packed_row(watch.ctx, y + 1, packed.lower);
    }
  }

  return true;
}

//
// 'send_frame()' - Show the frame to the observer and write it to the sink.
//
// Returns false when it could not be written; the job cannot go on then.
//

bool
send_frame(PageRun                      &run,    // IO - The page and its job
           std::span<const std::uint8_t> bytes)  // I  - The page frame
{
  const JobLoop &loop = run.loop;

  if (loop.observer.frame)
    loop.observer.frame(loop.observer.ctx, bytes);

  if (const int error = loop.sink.write(loop.sink.ctx, run.page, bytes))
  {
    say(loop.messages, Level::Error, "Page %d could not be sent to the printer: %s.", run.page,
        strerror(error));
    run.out.write_failed = run.page;
    return false;
  }

  say(loop.messages, Level::Info, "Finished page %d.", run.page);
  run.out.pages_printed ++;
  return true;
}

//
// 'print_page()' - Convert an accepted page and send its frame.
//
// The page's rows are released before the frame is built, so that the gray
// page and the frame are never held together.  Returns false when the job
// cannot go on past this page.
//

bool
print_page(PageRun &run)  // IO - The page and its job
{
  const JobLoop      &loop  = run.loop;
  const PageObserver &watch = loop.observer;
  PagePipeline        pipe;        // The page under way
  std::size_t         length = 0;  // Command stream length

  if (!page_begin(pipe, run.header.width, run.header.height, loop.settings, loop.messages))
  {
    const bool goOn = not_converted(run) && skip_rest(run);

    loop.source.end_page(loop.source.ctx);
    return goOn;
  }

  if (!print_rows(run, pipe))
  {
    page_abandon(pipe);
    return lose(run);
  }

  if (watch.packed_done)
    watch.packed_done(watch.ctx);

  MallocPtr<std::uint8_t[]> stream = page_finish_stream(pipe, &length, loop.messages);
  PageFrame                 frame;

  loop.source.end_page(loop.source.ctx);
  if (stream)
    frame = build_frame({stream.get(), length}, pipe.settings.deflate_level);
  stream.reset();

  if (!frame.bytes)
    return not_converted(run);  // every row was read: the next page follows

  return send_frame(run, {frame.bytes.get(), frame.size});
}

//
// 'convert_page()' - Check, convert and send one page.
//
// Returns false when the job cannot go on past this page.
//

bool
convert_page(PageRun &run)  // IO - The page and its job
{
  const PageSource   &source = run.loop.source;
  const PageObserver &watch  = run.loop.observer;
  char                reason[256];  // Why the page is refused

  if (source.describe_page)
    source.describe_page(source.ctx, run.page);

  if (!check_page(run.header, reason, sizeof(reason), run.loop.max_pixels))
  {
    say(run.loop.messages, Level::Error, "Page %d cannot be printed: %s.", run.page, reason);
    return refuse(run);
  }

  switch (source.begin_rows(source.ctx))
  {
    case PageRows::Ready :
        break;
    case PageRows::NoMemory :
        say(run.loop.messages, Level::Error,
            "Page %d cannot be printed: %zu bytes of memory are not available.", run.page,
            static_cast<std::size_t>(run.header.bytes_per_line) * run.header.height);
        return refuse(run);
    case PageRows::Lost :
        return lose(run);
  }

  if (watch.page_begin)
    watch.page_begin(watch.ctx, run.page, run.header);

  const bool goOn = print_page(run);

  if (watch.page_end)
    watch.page_end(watch.ctx);

  return goOn;
}

} // namespace

//
// 'job_status()' - Exit status of a job.
//

int
job_status(const JobOutcome &outcome)  // I - What became of the job
{
  const bool failed = !outcome.refused.empty() || outcome.lost_page || outcome.gave_up ||
                      outcome.damaged_after >= 0 || outcome.not_pages || outcome.write_failed;

  return outcome.pages_started == 0 || failed ? 1 : 0;
}

//
// 'run_job()' - Run the job to its end.
//

JobOutcome
run_job(const JobLoop &loop)  // I - The job
{
  JobOutcome out;
  PageHeader header;  // The current page's numbers

  while (!(out.cancelled = cancelled(loop)))
  {
    const NextPage next = loop.source.next_page(loop.source.ctx, &header);

    if (next == NextPage::End)
      break;
    if (next == NextPage::NotPages)
    {
      say(loop.messages, Level::Error, "The input is not a CUPS raster stream.");
      out.not_pages = true;
      break;
    }
    if (next == NextPage::Damaged)
    {
      say(loop.messages, Level::Error, "The raster stream is damaged after page %d: "
          "the next page header could not be read.", out.pages_started);
      out.damaged_after = out.pages_started;
      break;
    }

    PageRun run = {loop, ++ out.pages_started, header, out};

    say(loop.messages, Level::Info, "Starting page %d.", run.page);
    if (!convert_page(run))
      break;
  }

  if (out.pages_started == 0)
    say(loop.messages, Level::Error, "No pages were found.");

  return out;
}

} // namespace pelna
