// SPDX-License-Identifier: Apache-2.0
//
// The page check: whether a page's numbers allow it to be converted, and
// if not, why, in plain words.  Run before anything is allocated for the
// page.
//

#ifndef PELNA_CORE_PAGE_CHECK_H
#define PELNA_CORE_PAGE_CHECK_H

#include "pelna_format.h"

#include <cstddef>
#include <cstdint>

namespace pelna {

//
// The numbers of a page's header that the conversion depends on.
//

struct PageHeader
{
  std::uint32_t width          = 0;  // pixels per row
  std::uint32_t height         = 0;  // rows
  std::uint32_t bits_per_pixel = 0;  // bits of one pixel
  std::uint32_t bytes_per_line = 0;  // bytes of one row as sent
};

// True for a page of 8-bit gray pixels, one byte each, 1 to 65535 dots
// wide, at least one row, at most maxPixels pixels (and always fewer than
// 2^31), whose printer data fits the format's 32-bit lengths.  Otherwise
// false, with the reason in plain words in reason ("it has no rows").
[[nodiscard]] bool check_page(const PageHeader &header, char *reason, std::size_t reasonSize,
                              std::uint64_t maxPixels = kMaxPagePixels);

} // namespace pelna

#endif // PELNA_CORE_PAGE_CHECK_H
