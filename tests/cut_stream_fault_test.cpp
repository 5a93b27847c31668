// SPDX-License-Identifier: Apache-2.0
//
// A two-page job cut at every byte offset, converted in process through the
// same job loop the whole-path fuzz target runs: never a partial frame,
// never a page lost without a report, status 0 only for a cut that falls
// exactly between pages.  Reads are handed over whole and in small pieces,
// as a pipe would.  (filter_job_test.cpp runs a sample of the cuts through
// the built program.)
//

#include "decoder.h"
#include "raster_job.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace pelna_test;
using pelna_fuzz::Halftoning;

namespace {

std::uint8_t
pattern(unsigned x, unsigned y)
{
  return static_cast<std::uint8_t>(x * 31 + y * 17);
}

std::span<const std::uint8_t>
bytes_of(const std::string &data, std::size_t length)
{
  return {reinterpret_cast<const std::uint8_t *>(data.data()), length};
}

} // namespace

TEST(CutStreamFault, EveryOffsetOfATwoPageJob)
{
  const std::vector<TestPage> pages = {gray_page(21, 3, pattern), gray_page(16, 4, pattern)};
  constexpr std::size_t       kSync = 4, kHeader = sizeof(cups_page_header2_t);

  struct Variant { cups_mode_t mode; Halftoning halftoning; std::size_t chunk; };
  const Variant variants[] = {
    {CUPS_RASTER_WRITE, Halftoning::Threshold, 0},
    {CUPS_RASTER_WRITE, Halftoning::Diffusion, 7},
    {CUPS_RASTER_WRITE_COMPRESSED, Halftoning::Diffusion, 0},
    {CUPS_RASTER_WRITE_COMPRESSED, Halftoning::Threshold, 5},
  };

  for (const Variant &variant : variants)
  {
    pelna_fuzz::JobChoices choices;
    choices.halftoning = variant.halftoning;

    ppd_file_t *ppd = pelna_fuzz::marked_ppd(choices);
    ASSERT_NE(ppd, nullptr);

    const std::string raster   = raster_stream(pages, variant.mode);
    const std::size_t firstEnd = raster_stream({pages[0]}, variant.mode).size();
    const auto        whole    = pelna_fuzz::convert_job(bytes_of(raster, raster.size()), ppd,
                                                         variant.chunk, UINT64_MAX);

    ASSERT_EQ(whole.status, 0);
    ASSERT_EQ(whole.frames.size(), 2u);
    for (const auto &frame : whole.frames)
      ASSERT_TRUE(inspect::inspect_bytes(frame.bytes, inspect::Options{}).sound);

    for (std::size_t cut = 0; cut <= raster.size(); cut ++)
    {
      SCOPED_TRACE("mode " + std::to_string(variant.mode) + ", pieces of " +
                   std::to_string(variant.chunk) + ", cut at " + std::to_string(cut));
      const auto job = pelna_fuzz::convert_job(bytes_of(raster, cut), ppd, variant.chunk,
                                               UINT64_MAX);

      // Every whole page before the cut, byte for byte; nothing else.
      const std::size_t framed = (cut >= firstEnd) + (cut == raster.size());
      ASSERT_EQ(job.frames.size(), framed);
      for (std::size_t i = 0; i < framed; i ++)
        ASSERT_EQ(job.frames[i].bytes, whole.frames[i].bytes);
      EXPECT_TRUE(job.refused.empty());

      // Where the cut falls decides what is reported.
      if (cut == firstEnd || cut == raster.size())
      {
        EXPECT_EQ(job.status, 0);
        continue;
      }

      EXPECT_EQ(job.status, 1);
      if (cut == 0 || cut == kSync)        // no page at all
        EXPECT_EQ(job.pages_started, 0);
      else if (cut < kSync)                // not even the sync word
        EXPECT_TRUE(job.not_raster);
      else if (cut < kSync + kHeader)      // inside page 1's header
        EXPECT_EQ(job.damaged_after, 0);
      else if (cut < firstEnd)             // inside page 1's pixels
        EXPECT_EQ(job.lost_page, 1);
      else if (cut < firstEnd + kHeader)   // inside page 2's header
        EXPECT_EQ(job.damaged_after, 1);
      else                                 // inside page 2's pixels
        EXPECT_EQ(job.lost_page, 2);

      if (HasFailure())
        return;  // one offset's report is enough
    }
  }
}
