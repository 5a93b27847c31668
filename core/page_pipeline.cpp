// SPDX-License-Identifier: Apache-2.0
//
// One page through every stage, row by row.
//

#include "page_pipeline.h"

#include <cstring>

namespace pelna {

//
// 'page_begin()' - Set up the halftoner and the stream of a page.
//

bool
page_begin(PagePipeline      &page,      // O - Page under way
           std::uint32_t      width,     // I - Pixels per row
           std::uint32_t      height,    // I - Rows
           const JobSettings &settings,  // I - The job's settings
           const MessageSink &messages)  // I - Where messages go
{
  page_abandon(page);
  page.settings = settings;

  if (!halftone_begin(page.halftoner, width, height, settings, messages) ||
      !encode_begin(page.encoder, width, height, settings.page_mark))
  {
    page_abandon(page);
    return false;
  }

  return true;
}

//
// 'page_gray_row()' - Halftone a gray row and add it to the stream.
//

std::span<const std::uint8_t>
page_gray_row(PagePipeline                 &page,  // IO - Page under way
              std::span<const std::uint8_t> gray)  // I  - width gray values
{
  if (page.encoder.rows >= page.encoder.height || gray.size() < page.encoder.width)
    return {};

  const std::span<const std::uint8_t> packed = halftone_row(page.halftoner, gray);

  if (!encode_row(page.encoder, packed))
    return {};

  return packed;
}

//
// 'page_gray_rows()' - Halftone two gray rows together and add both to the
//                      stream.
//

RowPair
page_gray_rows(PagePipeline                 &page,   // IO - Page under way
               std::span<const std::uint8_t> gray0,  // I  - width gray values
               std::span<const std::uint8_t> gray1)  // I  - the next row's
{
  const PageEncoder &enc = page.encoder;

  if (enc.rows > enc.height || enc.height - enc.rows < 2 || gray0.size() < enc.width ||
      gray1.size() < enc.width)
    return {};

  const RowPair packed = halftone_row_pair(page.halftoner, gray0, gray1);

  if (!encode_row(page.encoder, packed.upper) || !encode_row(page.encoder, packed.lower))
    return {};

  return packed;
}

//
// 'page_packed_row()' - Add a 1-bit row as it is, bits beyond the width cleared.
//

bool
page_packed_row(PagePipeline                 &page,    // IO - Page under way
                std::span<const std::uint8_t> packed)  // I  - Packed row
{
  const std::size_t rowBytes = page.encoder.row_bytes;

  if (!page.encoder.stream || packed.size() < rowBytes)
    return false;

  if (!encode_row(page.encoder, packed.first(rowBytes)))
    return false;

  // Bits beyond the width are 0 in every packed row; clear them in the row
  // just added (its last byte ends the stream so far).
  if (const unsigned tail = page.encoder.width % 8)
    page.encoder.stream.get()[page.encoder.length - 1] &= static_cast<std::uint8_t>(0xFF00u >> tail);

  return true;
}

//
// 'page_finish_stream()' - Finish the command stream of the page.
//

MallocPtr<std::uint8_t[]>
page_finish_stream(PagePipeline      &page,      // IO - Page under way
                   std::size_t       *length,    // O  - Stream length
                   const MessageSink &messages)  // I  - Where messages go
{
  halftone_end(page.halftoner);

  return encode_end(page.encoder, length, page.settings, messages);
}

//
// 'page_end()' - Finish the page and compress it into its frame.
//

PageFrame
page_end(PagePipeline      &page,      // IO - Page under way
         const MessageSink &messages)  // I  - Where messages go
{
  std::size_t                     length = 0;  // Stream length
  const MallocPtr<std::uint8_t[]> stream = page_finish_stream(page, &length, messages);

  page_abandon(page);
  if (!stream)
    return {};

  return build_frame({stream.get(), length}, page.settings.deflate_level);
}

//
// 'page_abandon()' - Release whatever the page holds.
//

void
page_abandon(PagePipeline &page)  // IO - Page
{
  halftone_end(page.halftoner);
  page.encoder = PageEncoder{};
}

} // namespace pelna
