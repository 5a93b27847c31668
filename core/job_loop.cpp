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
skip_rest(const JobLoop    &loop,    // I  - The job
          int               page,    // I  - Page number
          const PageHeader &header,  // I  - The page's numbers
          JobOutcome       &out)     // IO - What became of the job
{
  switch (loop.source.skip_page(loop.source.ctx))
  {
    case PageSkip::Done :
        return true;
    case PageSkip::RowsTooLong :
        say(loop.messages, Level::Error, "The rest of the job is given up: the rows of page %d "
            "are %u bytes long, too long to read past.", page, header.bytes_per_line);
        break;
    case PageSkip::NoMemory :
        say(loop.messages, Level::Error,
            "The rest of the job is given up: no memory to read past page %d.", page);
        break;
    case PageSkip::StreamEnded :
        say(loop.messages, Level::Error, "The raster stream ends inside page %d.", page);
        out.lost_page = page;
        break;
  }

  out.gave_up = true;
  return false;
}

//
// 'refuse()' - Note a page that is not printed and read past it.
//

bool
refuse(const JobLoop    &loop,    // I  - The job
       int               page,    // I  - Page number
       const PageHeader &header,  // I  - The page's numbers
       JobOutcome       &out)     // IO - What became of the job
{
  out.refused.push_back(page);
  return skip_rest(loop, page, header, out);
}

//
// 'print_rows()' - Hand every row of an accepted page to the pipeline.
//
// Returns false when the stream ends inside the page (logged here).
//

bool
print_rows(const JobLoop    &loop,    // I  - The job
           int               page,    // I  - Page number
           const PageHeader &header,  // I  - The page's numbers
           PagePipeline     &pipe,    // IO - Page under way
           JobOutcome       &out)     // IO - What became of the job
{
  const PageObserver &watch = loop.observer;

  for (std::uint32_t y = 0; y < header.height; y ++)
  {
    const std::uint8_t *row = loop.source.row(loop.source.ctx, y);

    if (!row)
    {
      say(loop.messages, Level::Error, "Page %d is lost: the raster stream ends inside it.", page);
      out.lost_page = page;
      return false;
    }

    const auto packed = page_gray_row(pipe, {row, header.width});

    if (watch.packed_row)
      watch.packed_row(watch.ctx, y, packed);
  }

  return true;
}

//
// 'not_converted()' - Note a page whose conversion ran out of memory.
//

bool
not_converted(const JobLoop    &loop,    // I  - The job
              int               page,    // I  - Page number
              const PageHeader &header,  // I  - The page's numbers
              JobOutcome       &out)     // IO - What became of the job
{
  say(loop.messages, Level::Error,
      "Page %d cannot be printed: the memory to convert it is not available.", page);

  const bool goOn = refuse(loop, page, header, out);

  loop.source.end_page(loop.source.ctx);
  return goOn;
}

//
// 'print_page()' - Convert an accepted page and send its frame.
//
// The page's rows are released before the frame is built, so that the gray
// page and the frame are never held together.  Returns false when the job
// cannot go on past this page.
//

bool
print_page(const JobLoop    &loop,    // I  - The job
           int               page,    // I  - Page number
           const PageHeader &header,  // I  - The page's numbers
           JobOutcome       &out)     // IO - What became of the job
{
  const PageObserver &watch = loop.observer;
  PagePipeline        pipe;        // The page under way
  std::size_t         length = 0;  // Command stream length

  if (!page_begin(pipe, header.width, header.height, loop.settings, loop.messages))
    return not_converted(loop, page, header, out);

  if (!print_rows(loop, page, header, pipe, out))
  {
    page_abandon(pipe);
    loop.source.end_page(loop.source.ctx);
    return false;
  }

  if (watch.packed_done)
    watch.packed_done(watch.ctx);

  MallocPtr<std::uint8_t[]> stream = page_finish_stream(pipe, &length, loop.messages);
  PageFrame                 frame;

  loop.source.end_page(loop.source.ctx);
  if (stream)
    frame = build_frame({stream.get(), length});
  stream.reset();

  if (!frame.bytes)
  {
    say(loop.messages, Level::Error,
        "Page %d cannot be printed: the memory to convert it is not available.", page);
    out.refused.push_back(page);
    return true;  // every row was read: the next page follows
  }

  const std::span<const std::uint8_t> bytes(frame.bytes.get(), frame.size);

  if (watch.frame)
    watch.frame(watch.ctx, bytes);

  if (const int error = loop.sink.write(loop.sink.ctx, page, bytes))
  {
    say(loop.messages, Level::Error, "Page %d could not be sent to the printer: %s.", page,
        strerror(error));
    out.write_failed = page;
    return false;
  }

  say(loop.messages, Level::Info, "Finished page %d.", page);
  out.pages_printed ++;
  return true;
}

//
// 'convert_page()' - Check, convert and send one page.
//
// Returns false when the job cannot go on past this page.
//

bool
convert_page(const JobLoop    &loop,    // I  - The job
             int               page,    // I  - Page number
             const PageHeader &header,  // I  - The page's numbers
             JobOutcome       &out)     // IO - What became of the job
{
  const PageSource   &source = loop.source;
  const PageObserver &watch  = loop.observer;
  char                reason[256];  // Why the page is refused

  if (source.describe_page)
    source.describe_page(source.ctx, page);

  if (!check_page(header, reason, sizeof(reason), loop.max_pixels))
  {
    say(loop.messages, Level::Error, "Page %d cannot be printed: %s.", page, reason);
    return refuse(loop, page, header, out);
  }

  switch (source.begin_rows(source.ctx))
  {
    case PageRows::Ready :
        break;
    case PageRows::NoMemory :
        say(loop.messages, Level::Error,
            "Page %d cannot be printed: %zu bytes of memory are not available.", page,
            static_cast<std::size_t>(header.bytes_per_line) * header.height);
        return refuse(loop, page, header, out);
    case PageRows::Lost :
        say(loop.messages, Level::Error, "Page %d is lost: the raster stream ends inside it.", page);
        out.lost_page = page;
        source.end_page(source.ctx);
        return false;
  }

  if (watch.page_begin)
    watch.page_begin(watch.ctx, page, header);

  const bool sent = print_page(loop, page, header, out);

  if (watch.page_end)
    watch.page_end(watch.ctx);

  return sent;
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

    const int page = ++ out.pages_started;

    say(loop.messages, Level::Info, "Starting page %d.", page);
    if (!convert_page(loop, page, header, out))
      break;
  }

  if (out.pages_started == 0)
    say(loop.messages, Level::Error, "No pages were found.");

  return out;
}

} // namespace pelna
