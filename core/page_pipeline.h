// SPDX-License-Identifier: Apache-2.0
//
// One page through every stage, row by row: halftoning, the command stream
// and the page frame.  The job loop drives it for the filter; a front end
// that is handed rows by someone else (the Printer Application) drives it
// directly:
//
//   PagePipeline page;
//   if (!page_begin(page, width, height, settings, messages)) ...
//   for each row: page_gray_row(page, gray)   (or page_packed_row for 1-bit rows;
//                 page_gray_rows takes two gray rows at once, and faster)
//   PageFrame frame = page_end(page, messages);
//

#ifndef PELNA_CORE_PAGE_PIPELINE_H
#define PELNA_CORE_PAGE_PIPELINE_H

#include "halftone.h"
#include "messages.h"
#include "printer_data.h"
#include "settings.h"

#include <cstdint>
#include <span>

namespace pelna {

struct PagePipeline
{
  Halftoner   halftoner;  // gray rows to packed rows
  PageEncoder encoder;    // packed rows to the command stream
  JobSettings settings;   // the job's settings, copied at begin
};

// Start a page of width x height pixels (both checked by check_page
// first).  False when memory runs out; nothing is then held.
[[nodiscard]] bool page_begin(PagePipeline &page, std::uint32_t width, std::uint32_t height,
                              const JobSettings &settings, const MessageSink &messages);

// Halftone one 8-bit gray row (width bytes) and add it to the stream.
// Returns the packed row, valid until the next call; empty when the page
// already has all its rows.
std::span<const std::uint8_t> page_gray_row(PagePipeline &page,
                                            std::span<const std::uint8_t> gray);

// Halftone the next two 8-bit gray rows (width bytes each) together and
// add both to the stream: the same as two page_gray_row calls.  Returns
// both packed rows, valid until the next call; empty when the page has
// fewer than two rows left or a row is shorter than the width.
RowPair page_gray_rows(PagePipeline &page, std::span<const std::uint8_t> gray0,
                       std::span<const std::uint8_t> gray1);

// Add a row that is already 1-bit (ceil(width / 8) bytes, a set bit a black
// dot); bits beyond the width are cleared.  False when the page already has
// all its rows.
[[nodiscard]] bool page_packed_row(PagePipeline &page, std::span<const std::uint8_t> packed);

// Finish the command stream once every row was added (logs the page mark);
// null when rows are missing.  The halftoner's memory is released.
[[nodiscard]] MallocPtr<std::uint8_t[]> page_finish_stream(PagePipeline &page,
                                                           std::size_t *length,
                                                           const MessageSink &messages);

// page_finish_stream, then the frame; an empty frame on failure.
[[nodiscard]] PageFrame page_end(PagePipeline &page, const MessageSink &messages);

// Give the page up, releasing whatever it holds.
void page_abandon(PagePipeline &page);

} // namespace pelna

#endif // PELNA_CORE_PAGE_PIPELINE_H
