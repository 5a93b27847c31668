// SPDX-License-Identifier: Apache-2.0
//
// The page check, run before anything is allocated for a page.
//

#include "page_check.h"
#include "printer_data.h"

#include <algorithm>
#include <cstdio>

namespace pelna {

//
// 'check_page()' - See whether a page can be converted, or say why not.
//

bool
check_page(const PageHeader &header,      // I - The page's numbers
           char             *reason,      // O - Why it is refused
           std::size_t       reasonSize,  // I - Size of reason
           std::uint64_t     maxPixels)   // I - Most pixels accepted
{
  const std::uint64_t pixels = std::uint64_t{header.width} * header.height;
  const std::uint64_t most   = std::min(maxPixels, kMaxPagePixels);
  std::uint64_t       frameBound = 0;  // Largest frame the page can give

  if (header.bits_per_pixel != kGrayBitsPerPixel)
    snprintf(reason, reasonSize, "it has %u bits per pixel; only 8-bit gray pages can be printed",
             header.bits_per_pixel);
  else if (header.bytes_per_line != header.width)
    snprintf(reason, reasonSize, "its rows are %u bytes long for %u pixels; one byte per pixel is needed",
             header.bytes_per_line, header.width);
  else if (header.width < 1 || header.width > kMaxPageWidth)
    snprintf(reason, reasonSize, "it is %u pixels wide; the printer takes 1 to %u",
             header.width, kMaxPageWidth);
  else if (header.height < 1)
    snprintf(reason, reasonSize, "it has no rows");
  else if (pixels > most)
    snprintf(reason, reasonSize, "it has %llu pixels; at most %llu can be printed",
             static_cast<unsigned long long>(pixels), static_cast<unsigned long long>(most));
  else if ((frameBound = page_frame_bound(command_stream_length(header.width, header.height))) == 0)
    snprintf(reason, reasonSize, "the memory to compress it is not available");
  else if (frameBound > kMaxFrameSize)
    snprintf(reason, reasonSize, "its printer data would not fit the printer's 32-bit lengths");
  else
    return true;

  return false;
}

} // namespace pelna
