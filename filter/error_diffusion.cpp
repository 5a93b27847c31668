// SPDX-License-Identifier: Apache-2.0
//
// Error diffusion over a plane of values, written straight from the rule:
// the reference that the row-wise diffusion of the core is held to.
//

#include "pelna.h"

#include <cstddef>
#include <cstdint>

namespace {

//
// 'add_share()' - Add a share to a plane value, wrapping on overflow.
//
// Values from a page never come near the limits; this only keeps a plane
// of arbitrary values from causing undefined behaviour.
//

void
add_share(std::int32_t &value,  // IO - Plane value
          std::int64_t  share)  // I  - Share
{
  value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) +
                                    static_cast<std::uint32_t>(share));
}

} // namespace

//
// 'image_FloydSteinberg()' - Diffuse a plane of values in place.
//
// Pixels are visited row by row, left to right.  A value below 128 becomes
// 0, any other 255; the error goes to the unvisited neighbours as
// (error x weight) / 16, truncated toward zero: 7 right, 3 below-left, 5
// below, 1 below-right.  Shares that would leave the plane are dropped,
// nothing is clamped.  Nothing happens when the width or the height is 0
// or less.
//

void
image_FloydSteinberg(std::int32_t *data,    // IO - Plane of width x height values
                     int           width,   // I  - Pixels per row
                     int           height)  // I  - Rows
{
  if (width <= 0 || height <= 0)
    return;

  const std::size_t w = static_cast<std::size_t>(width);
  const std::size_t h = static_cast<std::size_t>(height);

  for (std::size_t y = 0; y < h; y ++)
    for (std::size_t x = 0; x < w; x ++)
    {
      std::int32_t      *p     = data + y * w + x;
      const std::int32_t fresh = *p < 128 ? 0 : 255;
      const std::int64_t error = std::int64_t{*p} - fresh;

      *p = fresh;
      if (x + 1 < w)
        add_share(p[1], error * 7 / 16);
      if (y + 1 < h)
      {
        if (x > 0)
          add_share(p[w - 1], error * 3 / 16);
        add_share(p[w], error * 5 / 16);
        if (x + 1 < w)
          add_share(p[w + 1], error * 1 / 16);
      }
    }
}
