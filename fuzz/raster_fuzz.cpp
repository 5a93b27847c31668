// SPDX-License-Identifier: Apache-2.0
//
// Fuzz target: the whole path from raster bytes to page frames.
//
// The first two bytes of an input pick the job's choices (halftoning,
// blackness, page mark, PrintDebug, how reads are cut up); the rest is the
// raster stream.  The job is converted as the filter converts it, and then:
//
//   - every frame must be sound to pelna-inspect's decoder and describe its
//     page: the page's width and rows, the chosen page mark;
//   - every page started is accounted for exactly once: framed, refused,
//     or lost with the stream ending inside it;
//   - the exit status is 0 only when every page was framed;
//   - cutting the reads into small pieces, as a pipe does, changes nothing.
//
// Any breach aborts, which the fuzzer reports as a crash.
//

#include "raster_job.h"

#include "decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace pelna_fuzz;

namespace {

// Largest page the harness converts: 256 Kpixels (512 x 512) keeps each
// input fast and still spans several diffusion groups and deflate blocks.
constexpr std::uint64_t kMaxFuzzPixels = 1ULL << 18;

//
// 'fail()' - Report a broken property and abort.
//

[[noreturn]] void
fail(const char *what,  // I - The property
     int         page)  // I - Page number, or 0
{
  fprintf(stderr, "raster_fuzz: %s (page %d)\n", what, page);
  abort();
}

//
// 'expected_page_mark()' - Page mark value the choices ask for.
//

int
expected_page_mark(const JobChoices &choices)  // I - The job's choices
{
  // The PPDs without halftoning options have no page mark either.
  if (choices.halftoning == Halftoning::None)
    return pelna::kPageMarkNone;

  switch (choices.page_mark)
  {
    case 0 : return pelna::kPageMarkLabel;
    case 1 : return pelna::kPageMarkBlack;
    case 2 : return pelna::kPageMarkNone;
    default :
        return pelna::kPageMarkLabel;  // the test PPD's default
  }
}

//
// 'check_frame()' - One frame must be sound and describe its page.
//
// Without halftoning options the gray bytes go out as packed rows, so bits
// beyond the width may be set; that fault alone is allowed then.
//

void
check_frame(const JobFrame &frame, const JobChoices &choices)  // I - Frame, choices
{
  const inspect::Result decoded = inspect::inspect_bytes(frame.bytes, inspect::Options{});

  if (decoded.pages.size() != 1 || !decoded.faults.empty())
    fail("the frame is not exactly one page frame", frame.page);

  const inspect::Page &page = decoded.pages[0];

  if (!page.sound)
  {
    const bool paddingOnly =
        choices.halftoning == Halftoning::None && page.faults_dropped == 0 &&
        std::all_of(page.faults.begin(), page.faults.end(), [](const inspect::Fault &f) {
          return f.kind == inspect::FaultKind::RowPadding;
        });

    if (!paddingOnly)
    {
      for (const inspect::Fault &f : page.faults)
        fprintf(stderr, "fault %s: expected %s, found %s\n", inspect::fault_name(f.kind),
                f.expected.c_str(), f.found.c_str());
      fail("the frame is not sound", frame.page);
    }
  }

  if (!page.has_width || page.width != frame.width || page.rows != frame.height)
    fail("the frame's width or rows differ from the page header", frame.page);
  if (page.page_mark != expected_page_mark(choices))
    fail("the frame carries another page mark", frame.page);
}

//
// 'check_job()' - Every page accounted for once; the status follows.
//

void
check_job(const JobResult &result, const JobChoices &choices)  // I - Job, choices
{
  std::vector<int> seen(static_cast<std::size_t>(result.pages_started) + 1, 0);
  int              last = 0;

  for (const JobFrame &frame : result.frames)
  {
    if (frame.page <= last || frame.page > result.pages_started)
      fail("frames out of order", frame.page);
    last = frame.page;
    seen[frame.page] ++;
    check_frame(frame, choices);
  }
  for (int page : result.refused)
    seen[page] ++;
  if (result.lost_page && !seen[result.lost_page])
    seen[result.lost_page] ++;

  for (int page = 1; page <= result.pages_started; page ++)
  {
    if (seen[page] != 1)
      fail("a page is not accounted for exactly once", page);
  }

  // Status 0 exactly when every page started was framed and the stream
  // neither ended inside a page nor was damaged.
  const bool allFramed = result.pages_started > 0 &&
                         result.frames.size() == static_cast<std::size_t>(result.pages_started);
  const bool intact    = !result.lost_page && result.damaged_after < 0 && !result.not_raster;

  if (result.status == 0 && !(allFramed && intact))
    fail("a job with a page not printed would pass for printed", 0);
  if (result.status == 0 && !intact)
    fail("a damaged stream would pass for printed", 0);
  if (result.status != 0 && allFramed && intact)
    fail("a job whose pages were all printed fails", 0);
}

//
// 'same_job()' - Whether two conversions of one stream agree.
//

bool
same_job(const JobResult &a, const JobResult &b)  // I - The two results
{
  if (a.status != b.status || a.pages_started != b.pages_started ||
      a.frames.size() != b.frames.size() || a.refused != b.refused ||
      a.lost_page != b.lost_page || a.damaged_after != b.damaged_after ||
      a.not_raster != b.not_raster)
    return false;

  for (std::size_t i = 0; i < a.frames.size(); i ++)
    if (a.frames[i].page != b.frames[i].page || a.frames[i].bytes != b.frames[i].bytes)
      return false;

  return true;
}

} // namespace

//
// 'LLVMFuzzerTestOneInput()' - Convert one input and check the job.
//

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data,  // I - Input bytes
                       std::size_t         size)  // I - Input length
{
  const std::span<const std::uint8_t> input(data, size);
  const std::size_t                   split   = std::min(size, kChoiceBytes);
  const JobChoices                    choices = choices_from_bytes(input.first(split));
  const std::span<const std::uint8_t> stream  = input.subspan(split);
  ppd_file_t                         *ppd     = marked_ppd(choices);

  if (!ppd)
    fail("the test PPD cannot be opened", 0);

  const JobResult result = convert_job(stream, ppd, choices.read_chunk, kMaxFuzzPixels);

  check_job(result, choices);

  if (choices.read_chunk)
  {
    const JobResult whole = convert_job(stream, ppd, 0, kMaxFuzzPixels);

    if (!same_job(result, whole))
      fail("reading in pieces changes the job's outcome", 0);
  }

  return 0;
}
