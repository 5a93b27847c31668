// SPDX-License-Identifier: Apache-2.0
//
// The raster stream as the core's page source, and standard output as its
// frame sink.
//
// Each page is read whole into the page buffer (Buffer) once the core has
// accepted it, and its rows are then handed over from there; the buffer is
// freed (EndPage) as soon as the last row was halftoned, before the frame is
// built.
//

#include "pelna.h"

#include <cerrno>
#include <cstdlib>

using namespace pelna;

namespace {

//
// 'next_page()' - Read the next page header, or tell the end from damage.
//

NextPage
next_page(void       *ctx,     // I - RasterSource
          PageHeader *header)  // O - The page's numbers
{
  RasterSource *source = static_cast<RasterSource *>(ctx);
  const bool    first  = !source->asked;

  source->asked = true;

  if (!source->ras)
  {
    // An input that is not empty but does not start like a raster stream.
    const bool notRaster = source->input->consumed > 0 || source->input->failed;

    return first && notRaster ? NextPage::NotPages : NextPage::End;
  }

  const off_t consumedBefore = source->input->consumed;

  if (!cupsRasterReadHeader2(source->ras, &source->header))
    return raster_ended_cleanly(*source->input, consumedBefore) ? NextPage::End
                                                                : NextPage::Damaged;

  Page ++;
  *header        = page_header_numbers(&source->header);
  source->unread = std::uint64_t{source->header.cupsBytesPerLine} * source->header.cupsHeight;
  return NextPage::Page;
}

//
// 'describe_page()' - Log the page header.
//

void
describe_page(void *ctx,   // I - RasterSource
              int   page)  // I - Page number (Page holds it too)
{
  (void)page;

  log_page_header(&static_cast<RasterSource *>(ctx)->header);
}

//
// 'begin_rows()' - Allocate the page buffer and read the page into it.
//

PageRows
begin_rows(void *ctx)  // I - RasterSource
{
  RasterSource *source = static_cast<RasterSource *>(ctx);

  if (!allocate_page_buffer(&source->header))
    return PageRows::NoMemory;

  // The core accepted the page: fewer than 2^31 bytes.
  const unsigned size = static_cast<unsigned>(source->unread);

  source->unread = 0;
  if (cupsRasterReadPixels(source->ras, Buffer, size) != size)
    return PageRows::Lost;

  return PageRows::Ready;
}

//
// 'page_row()' - Row y of the page buffer.
//

const std::uint8_t *
page_row(void         *ctx,  // I - RasterSource
         std::uint32_t y)    // I - Row
{
  const RasterSource *source = static_cast<RasterSource *>(ctx);

  return Buffer + static_cast<std::size_t>(y) * source->header.cupsBytesPerLine;
}

//
// 'skip_page()' - Read past what is left of the page.
//

PageSkip
skip_page(void *ctx)  // I - RasterSource
{
  RasterSource *source = static_cast<RasterSource *>(ctx);
  const auto    left   = source->unread;

  source->unread = 0;
  return skip_page_pixels(source->ras, &source->header, left);
}

//
// 'end_page()' - Free the page buffer.
//

void
end_page(void *ctx)  // I - RasterSource
{
  RasterSource *source = static_cast<RasterSource *>(ctx);

  EndPage(source->ppd, &source->header);
}

} // namespace

//
// 'raster_page_source()' - The raster stream as a page source.
//

PageSource
raster_page_source(RasterSource *source)  // I - Stream, reading state and PPD
{
  return {next_page, describe_page, begin_rows, page_row, skip_page, end_page, source};
}

//
// 'write_frame()' - Frame sink: write one page frame to standard output.
//
// Returns 0, or the errno value of the failed write.
//

int
write_frame(void                         *ctx,    // I - Unused
            int                           page,   // I - Page number (unused)
            std::span<const std::uint8_t> frame)  // I - Page frame
{
  (void)ctx;
  (void)page;

  errno = 0;
  // OutputPrintData only reads the frame.
  if (OutputPrintData(nullptr, const_cast<PBYTE>(frame.data()), static_cast<DWORD>(frame.size())))
    return 0;

  return errno ? errno : EIO;
}
