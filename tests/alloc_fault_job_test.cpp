// SPDX-License-Identifier: Apache-2.0
//
// Allocation failures in a page's conversion, injected one at a time into a
// test build of the filter (fuzz/alloc_fault.cpp): each allocation made
// after page 2's header is read fails in turn.  Page 2 is then refused with
// an "ERROR" line and nothing is written for it, pages 1 and 3 print as
// usual, the job ends with status 1, and nothing crashes or leaks.  Only
// the diagnostic files may be given up without refusing the page.
//

#include "test_support.h"

#include <gtest/gtest.h>

using namespace pelna_test;

namespace {

std::uint8_t
pattern(unsigned x, unsigned y)
{
  return static_cast<std::uint8_t>(x * 9 + y * 23);
}

constexpr const char *kInjected = "allocation fault injected";

} // namespace

TEST(AllocFaultJob, EachAllocationOfAPageFailsInTurn)
{
  const std::vector<TestPage> pages = {gray_page(40, 6, pattern), gray_page(33, 5, pattern),
                                       gray_page(24, 4, pattern)};
  const std::string           raster = raster_stream(pages);

  struct Config
  {
    const char *options;
    const char *ppd;
    bool        dumps;  // the diagnostic path, whose files may be given up
  };
  const Config configs[] = {
    {"Halftone=BW", "pelna-test.ppd", false},
    {"Halftone=Dither", "pelna-test.ppd", false},
    {"", "pelna-bare.ppd", false},
    {"Halftone=Dither PrintDebug=ON", "pelna-test.ppd", true},
  };

  for (const Config &config : configs)
  {
    SCOPED_TRACE(std::string(config.options) + " with " + config.ppd);

    // The production program's frames, and the test build's without faults.
    const FilterRun reference = run_filter(job_args(config.options), &raster, test_ppd(config.ppd));
    bool            whole     = false;
    const auto      expected  = split_frames(reference.out, whole);
    ASSERT_EQ(reference.status, 0) << reference.log;
    ASSERT_EQ(expected.size(), 3u);

    FilterLaunch launch;
    launch.args    = job_args(config.options);
    launch.ppd     = test_ppd(config.ppd);
    launch.program = PELNA_ALLOC_FAULT_FILTER;
    EXPECT_EQ(run_filter_launch(launch, &raster).out, reference.out);

    int refused = 0;  // faults that refused page 2
    int n       = 1;
    for (; n <= 64; n ++)
    {
      SCOPED_TRACE("allocation " + std::to_string(n) + " of page 2 fails");
      launch.env = {"PELNA_ALLOC_FAULT=2:" + std::to_string(n)};

      const FilterRun run    = run_filter_launch(launch, &raster);
      const auto      frames = split_frames(run.out, whole);

      EXPECT_TRUE(whole);
      if (run.err.find(kInjected) == std::string::npos)
      {
        // Past the page's last allocation: the job as without faults.
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, reference.out);
        break;
      }

      const auto errors = log_lines(run.log, "ERROR");
      const auto info   = log_lines(run.log, "INFO");
      bool       finished3 = false, finished2 = false;
      for (const auto &line : info)
      {
        finished2 |= line == "Finished page 2.";
        finished3 |= line == "Finished page 3.";
      }
      EXPECT_TRUE(finished3) << run.log;

      if (run.status == 0 && config.dumps)
      {
        // A dump file was given up; the printing is unchanged.
        EXPECT_EQ(frames, expected);
        continue;
      }

      refused ++;
      EXPECT_EQ(run.status, 1) << run.err;
      ASSERT_EQ(frames.size(), 2u) << run.log;
      EXPECT_EQ(frames[0], expected[0]);
      EXPECT_EQ(frames[1], expected[2]);
      EXPECT_FALSE(finished2);
      bool named = false;
      for (const auto &line : errors)
        named |= line.rfind("Page 2 cannot be printed: ", 0) == 0;
      EXPECT_TRUE(named) << run.log;
    }

    EXPECT_LE(n, 64) << "no end to the page's allocations";
    // Page buffer, packed rows (and the diffusion's work rows), command
    // stream, compressors and frame: every one refuses the page.
    EXPECT_GE(refused, 4);
  }
}
