// SPDX-License-Identifier: Apache-2.0
//
// Hostile page headers through the built filter: pages it cannot print sit
// between two good pages.  The bad page is named in an "ERROR" line, no
// frame is written for it, the job ends with status 1, and the good pages
// around it print as long as the stream can still be followed.
//

#include "decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace pelna_test;

namespace {

std::uint8_t
pattern(unsigned x, unsigned y)
{
  return static_cast<std::uint8_t>(x * 5 + y * 11);
}

// A page of the given header fields with pixels bytes of data behind it.
TestPage
hostile_page(unsigned width, unsigned height, unsigned bitsPerPixel, unsigned bytesPerLine,
             std::size_t pixels)
{
  TestPage page = flat_page(8, 1, 0);

  page.header.cupsWidth        = width;
  page.header.cupsHeight       = height;
  page.header.cupsBitsPerColor = bitsPerPixel == 24 ? 8 : bitsPerPixel;
  page.header.cupsBitsPerPixel = bitsPerPixel;
  page.header.cupsBytesPerLine = bytesPerLine;
  page.header.cupsColorSpace   = bitsPerPixel == 24 ? CUPS_CSPACE_RGB : CUPS_CSPACE_W;
  page.pixels.assign(pixels, 0x33);
  return page;
}

} // namespace

TEST(HeaderFaultJob, PagesThatCannotBePrintedBetweenGoodOnes)
{
  struct Case
  {
    const char *name;
    TestPage    page;
    bool        followed;  // the stream can be followed past the page
  };
  const Case cases[] = {
    {"16-bit gray", hostile_page(16, 4, 16, 32, 128), true},
    {"24-bit color", hostile_page(16, 4, 24, 48, 192), true},
    {"65536 dots wide", hostile_page(65536, 1, 8, 65536, 65536), true},
    {"no rows", hostile_page(16, 0, 8, 16, 0), false},
    {"no width", hostile_page(0, 4, 8, 0, 0), false},
    // 2^32 + 32768 pixels, which is 32768 in 32-bit arithmetic: the page is
    // refused, and the pixels it announces swallow the rest of the stream.
    {"size past 32 bits", hostile_page(32768, 131073, 8, 32768, 32768), false},
    // Within 32 bits but past 2^31 pixels.
    {"2^31 pixels", hostile_page(65535, 32769, 8, 65535, 0), false},
  };

  for (const Case &c : cases)
  {
    SCOPED_TRACE(c.name);
    const std::vector<TestPage> pages = {gray_page(24, 3, pattern), c.page,
                                         gray_page(40, 5, pattern)};
    const std::string raster = raw_raster_stream(pages);
    const FilterRun   run    = run_filter(job_args("Halftone=Dither"), &raster, test_ppd());

    EXPECT_EQ(run.status, 1) << run.log;

    // Whole, sound frames of the good pages only.
    bool       whole  = false;
    const auto frames = split_frames(run.out, whole);
    EXPECT_TRUE(whole);
    ASSERT_EQ(frames.size(), c.followed ? 2u : 1u) << run.log;
    for (const Bytes &frame : frames)
      EXPECT_TRUE(inspect::inspect_bytes(frame, inspect::Options{}).sound);

    // The bad page is reported, never finished.
    const auto errors = log_lines(run.log, "ERROR");
    const auto info   = log_lines(run.log, "INFO");
    EXPECT_TRUE(mentions(errors, "Page 2 ") || mentions(errors, "after page 1")) << run.log;
    EXPECT_FALSE(mentions(info, "Finished page 2."));
    EXPECT_EQ(mentions(info, "Finished page 3."), c.followed);
  }
}

TEST(HeaderFaultJob, EnumeratedFieldsOutOfRange)
{
  // Numbers no enumerator names, in every enumerated field the filter
  // reports: the page still prints, and the numbers are logged as they are.
  TestPage page = gray_page(32, 4, pattern);

  // Values past each enumeration's range, in fields libcups does not check.
  const struct { const char *name; unsigned *field; unsigned value; } fields[] = {
    {"Duplex", reinterpret_cast<unsigned *>(&page.header.Duplex), 7},
    {"ManualFeed", reinterpret_cast<unsigned *>(&page.header.ManualFeed), 0x7FFFFFF0},
    {"Orientation", reinterpret_cast<unsigned *>(&page.header.Orientation), 9},
    {"cupsColorOrder", reinterpret_cast<unsigned *>(&page.header.cupsColorOrder), 4},
  };
  for (const auto &f : fields)
    *f.field = f.value;

  const std::string raster = raw_raster_stream({page});
  const FilterRun   run    = run_filter(job_args(), &raster, test_ppd());

  EXPECT_EQ(run.status, 0) << run.log;
  bool whole = false;
  EXPECT_EQ(split_frames(run.out, whole).size(), 1u);
  EXPECT_TRUE(whole);
  for (const auto &f : fields)
    EXPECT_TRUE(mentions(log_lines(run.log, "DEBUG"),
                         std::string(f.name) + " = " + std::to_string(static_cast<int>(f.value))))
        << f.name;
}

TEST(HeaderFaultJob, RowsTooLongToReadPast)
{
  // A compressed page announcing rows of 10^9 bytes, followed by a few
  // "clear to the end of the row" codes: libcups would fill a whole row
  // for each, so the filter must give up rather than read past the page.
  const TestPage    good   = gray_page(24, 3, pattern);
  const std::string first  = raster_stream({good}, CUPS_RASTER_WRITE_COMPRESSED);
  std::string       raster = raster_stream({good, good}, CUPS_RASTER_WRITE_COMPRESSED);

  cups_page_header2_t header;
  memcpy(&header, raster.data() + first.size(), sizeof(header));
  header.cupsWidth        = 1000000000;
  header.cupsBytesPerLine = 1000000000;
  raster.resize(first.size());
  raster.append(reinterpret_cast<const char *>(&header), sizeof(header));
  for (int row = 0; row < 8; row ++)
    raster += std::string("\x00\x80", 2);  // row repeated once, cleared

  const FilterRun run = run_filter(job_args(), &raster, test_ppd());

  EXPECT_EQ(run.status, 1);
  bool whole = false;
  EXPECT_EQ(split_frames(run.out, whole).size(), 1u);
  const auto errors = log_lines(run.log, "ERROR");
  EXPECT_TRUE(mentions(errors, "Page 2 cannot be printed: ")) << run.log;
  EXPECT_TRUE(mentions(errors, "too long to read past")) << run.log;
  if (!last_run_wrapped())
  {
    EXPECT_LT(run.max_rss_kb, 256 * 1024) << "the filter filled the announced rows";
  }
}
