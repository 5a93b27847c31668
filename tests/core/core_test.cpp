// SPDX-License-Identifier: Apache-2.0
//
// The core on its own: the job loop's outcomes through an in-memory page
// source and frame sink, and pages of two printers halftoned and encoded
// side by side in one process.
//

#include "decoder.h"
#include "job_loop.h"
#include "page_pipeline.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace pelna;

namespace {

//
// One page of the in-memory source.
//

struct MemoryPage
{
  PageHeader                header;          // what the source announces
  std::vector<std::uint8_t> pixels;          // the rows that are there
  std::uint32_t             rows_there = 0;  // rows before the stream ends
};

//
// The in-memory job: pages, then what follows the last one.
//

struct MemoryJob
{
  std::vector<MemoryPage>          pages;                    // in order
  NextPage                         after    = NextPage::End; // past the last page
  std::size_t                      next     = 0;             // pages handed out
  std::vector<std::vector<std::uint8_t>> frames;             // what the sink got
  std::vector<std::string>         lines;                    // "LEVEL: text"
  int                              fail_write = 0;           // page whose write fails
  int                              cancel_after = 0;         // page after which to cancel
  volatile sig_atomic_t            cancel   = 0;             // the loop's cancel flag
};

//
// 'gray_page()' - A page of noise, width x height, all rows there.
//

MemoryPage
gray_page(std::uint32_t width,   // I - Pixels per row
          std::uint32_t height,  // I - Rows
          unsigned      seed)    // I - Noise seed
{
  MemoryPage   page{{width, height, 8, width}, std::vector<std::uint8_t>(width * height), height};
  std::mt19937 random(seed);

  for (auto &pixel : page.pixels)
    pixel = static_cast<std::uint8_t>(random());
  return page;
}

// Source callbacks over a MemoryJob.
NextPage
next_page(void *ctx, PageHeader *header)
{
  auto *job = static_cast<MemoryJob *>(ctx);

  if (job->next == job->pages.size())
    return job->after;
  *header = job->pages[job->next ++].header;
  return NextPage::Page;
}

PageRows
begin_rows(void *ctx)
{
  const auto *job = static_cast<MemoryJob *>(ctx);

  return job->pages[job->next - 1].rows_there ? PageRows::Ready : PageRows::Lost;
}

const std::uint8_t *
row(void *ctx, std::uint32_t y)
{
  const auto       *job  = static_cast<MemoryJob *>(ctx);
  const MemoryPage &page = job->pages[job->next - 1];

  return y < page.rows_there ? page.pixels.data() + y * page.header.width : nullptr;
}

PageSkip skip_page(void *) { return PageSkip::Done; }
void     end_page(void *) {}

int
write_frame(void *ctx, int page, std::span<const std::uint8_t> frame)
{
  auto *job = static_cast<MemoryJob *>(ctx);

  if (page == job->fail_write)
    return ENOSPC;
  job->frames.emplace_back(frame.begin(), frame.end());
  if (page == job->cancel_after)
    job->cancel = 1;
  return 0;
}

void
keep_line(void *ctx, Level level, const char *text)
{
  static_cast<MemoryJob *>(ctx)->lines.push_back(std::string(level_word(level)) + ": " + text);
}

//
// 'run()' - Run the loop over the job with diffusion at blackness 5.
//

JobOutcome
run(MemoryJob &job)  // IO - The job
{
  JobLoop loop;

  loop.source   = {next_page, nullptr, begin_rows, row, skip_page, end_page, &job};
  loop.sink     = {write_frame, &job};
  loop.messages = {keep_line, &job};
  loop.cancel   = &job.cancel;
  loop.settings.blackness = 5;
  return run_job(loop);
}

//
// 'has_line()' - Whether the job logged a line.
//

bool
has_line(const MemoryJob &job, const std::string &line)  // I - Job, line
{
  for (const auto &l : job.lines)
    if (l == line)
      return true;
  return false;
}

//
// 'settings_of()' - Settings with a method, a blackness number and a mark.
//

JobSettings
settings_of(Halftone method, int blackness, PageMark mark = PageMark::Continuous)
{
  JobSettings settings;

  settings.halftone  = method;
  settings.blackness = blackness;
  settings.page_mark = mark;
  return settings;
}

//
// 'pipeline_frame()' - A whole page through the pipeline on its own.
//

std::vector<std::uint8_t>
pipeline_frame(const MemoryPage &page, const JobSettings &settings)  // I - Page, settings
{
  PagePipeline pipe;

  EXPECT_TRUE(page_begin(pipe, page.header.width, page.header.height, settings, {}));
  for (std::uint32_t y = 0; y < page.header.height; y ++)
    (void)page_gray_row(pipe, {page.pixels.data() + y * page.header.width, page.header.width});

  const PageFrame frame = page_end(pipe, {});

  return {frame.bytes.get(), frame.bytes.get() + frame.size};
}

} // namespace

//
// Every way a job can end, with what it logs and the status it gives.
//

TEST(CoreLoop, OutcomesOfAJob)
{
  {
    SCOPED_TRACE("three good pages");
    MemoryJob job;
    job.pages = {gray_page(40, 6, 1), gray_page(9, 3, 2), gray_page(1, 1, 3)};
    const JobOutcome out = run(job);
    EXPECT_EQ(out.pages_printed, 3);
    EXPECT_EQ(job_status(out), 0);
    ASSERT_EQ(job.frames.size(), 3u);
    for (std::size_t i = 0; i < 3; i ++)
      EXPECT_EQ(job.frames[i], pipeline_frame(job.pages[i], settings_of(Halftone::Diffusion, 5)));
    EXPECT_EQ(job.lines.front(), "INFO: Starting page 1.");
    EXPECT_EQ(job.lines.back(), "INFO: Finished page 3.");
  }
  {
    SCOPED_TRACE("a refused page between good ones");
    MemoryJob job;
    job.pages = {gray_page(8, 2, 1), gray_page(8, 2, 2), gray_page(8, 2, 3)};
    job.pages[1].header.bits_per_pixel = 16;
    const JobOutcome out = run(job);
    EXPECT_EQ(out.refused, std::vector<int>{2});
    EXPECT_EQ(out.pages_printed, 2);
    EXPECT_EQ(job_status(out), 1);
    EXPECT_TRUE(has_line(job, "ERROR: Page 2 cannot be printed: it has 16 bits per pixel; "
                              "only 8-bit gray pages can be printed."));
  }
  {
    SCOPED_TRACE("a page lost inside its rows, and one lost before them");
    for (std::uint32_t there : {2u, 0u})
    {
      MemoryJob job;
      job.pages = {gray_page(8, 2, 1), gray_page(8, 5, 2), gray_page(8, 2, 3)};
      job.pages[1].rows_there = there;
      const JobOutcome out = run(job);
      EXPECT_EQ(out.lost_page, 2);
      EXPECT_EQ(job.frames.size(), 1u);
      EXPECT_EQ(job_status(out), 1);
      EXPECT_TRUE(has_line(job, "ERROR: Page 2 is lost: the raster stream ends inside it."));
    }
  }
  {
    SCOPED_TRACE("damaged after page 1");
    MemoryJob job;
    job.pages = {gray_page(8, 2, 1)};
    job.after = NextPage::Damaged;
    const JobOutcome out = run(job);
    EXPECT_EQ(out.damaged_after, 1);
    EXPECT_EQ(job_status(out), 1);
    EXPECT_TRUE(has_line(job, "ERROR: The raster stream is damaged after page 1: the next "
                              "page header could not be read."));
  }
  {
    SCOPED_TRACE("cancelled after page 1: what was printed stands");
    MemoryJob job;
    job.pages        = {gray_page(8, 2, 1), gray_page(8, 2, 2)};
    job.cancel_after = 1;
    const JobOutcome out = run(job);
    EXPECT_TRUE(out.cancelled);
    EXPECT_EQ(out.pages_started, 1);
    EXPECT_EQ(job_status(out), 0);
  }
  {
    SCOPED_TRACE("the frame of page 2 cannot be written");
    MemoryJob job;
    job.pages      = {gray_page(8, 2, 1), gray_page(8, 2, 2), gray_page(8, 2, 3)};
    job.fail_write = 2;
    const JobOutcome out = run(job);
    EXPECT_EQ(out.write_failed, 2);
    EXPECT_EQ(out.pages_started, 2);
    EXPECT_EQ(job_status(out), 1);
    EXPECT_TRUE(has_line(job, std::string("ERROR: Page 2 could not be sent to the printer: ") +
                                  strerror(ENOSPC) + "."));
  }
  {
    SCOPED_TRACE("no pages, and input that is no page stream");
    for (NextPage first : {NextPage::End, NextPage::NotPages})
    {
      MemoryJob job;
      job.after = first;
      const JobOutcome out = run(job);
      EXPECT_EQ(job_status(out), 1);
      EXPECT_EQ(out.not_pages, first == NextPage::NotPages);
      EXPECT_EQ(job.lines.back(), "ERROR: No pages were found.");
    }
  }
}

//
// Two printers' pages, row by row in turns, give the frames each gives
// alone; every frame is sound and carries its own width, rows and mark.
// The first printer compresses at the Printer Application's level, the
// second at the filter's: the level changes no dot.
//

TEST(CorePipeline, TwoPrintersInterleavedMatchEachAlone)
{
  const MemoryPage  pages[2]    = {gray_page(832, 40, 7), gray_page(1247, 31, 8)};
  JobSettings       settings[2] = {settings_of(Halftone::Diffusion, 7, PageMark::Label),
                                   settings_of(Halftone::Threshold, 3, PageMark::BlackMark)};
  PagePipeline      pipes[2];
  inspect::Options  options;

  settings[0].deflate_level = kAppDeflateLevel;
  options.keep_dots         = true;

  for (int i = 0; i < 2; i ++)
    ASSERT_TRUE(page_begin(pipes[i], pages[i].header.width, pages[i].header.height,
                           settings[i], {}));

  for (std::uint32_t y = 0; y < 40; y ++)
    for (int i = 0; i < 2; i ++)
      if (y < pages[i].header.height)
        (void)page_gray_row(pipes[i], {pages[i].pixels.data() + y * pages[i].header.width,
                                       pages[i].header.width});

  for (int i = 0; i < 2; i ++)
  {
    const PageFrame                 frame = page_end(pipes[i], {});
    const std::vector<std::uint8_t> bytes(frame.bytes.get(), frame.bytes.get() + frame.size);

    EXPECT_EQ(bytes, pipeline_frame(pages[i], settings[i])) << "printer " << i;

    const inspect::Result result = inspect::inspect_bytes(bytes, options);
    ASSERT_TRUE(result.sound);
    EXPECT_EQ(result.pages[0].width, pages[i].header.width);
    EXPECT_EQ(result.pages[0].rows, pages[i].header.height);
    EXPECT_EQ(result.pages[0].page_mark, static_cast<int>(settings[i].page_mark));

    JobSettings filterLevel = settings[i];  // the same page at the filter's level

    filterLevel.deflate_level = kDeflateLevel;
    const inspect::Result reference = inspect::inspect_bytes(pipeline_frame(pages[i], filterLevel), options);
    ASSERT_TRUE(reference.sound);
    EXPECT_EQ(result.pages[0].dots, reference.pages[0].dots) << "printer " << i;
  }
}

//
// A 1-bit row goes out dot for dot, with the bits beyond the width cleared.
//

TEST(CorePipeline, PackedRowsGoOutDotForDot)
{
  PagePipeline pipe;
  const std::uint8_t row[2] = {0xA5, 0xFF};  // 11 pixels wide: 5 bits of noise

  ASSERT_TRUE(page_begin(pipe, 11, 1, JobSettings{}, {}));
  ASSERT_TRUE(page_packed_row(pipe, row));
  EXPECT_FALSE(page_packed_row(pipe, row)) << "a row past the page's height";

  const PageFrame frame = page_end(pipe, {});
  inspect::Options options;
  options.keep_dots = true;
  const inspect::Result result =
      inspect::inspect_bytes({frame.bytes.get(), frame.size}, options);

  ASSERT_TRUE(result.sound);
  EXPECT_EQ(result.pages[0].dots, (std::vector<std::uint8_t>{0xA5, 0xE0}));
}
