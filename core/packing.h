// SPDX-License-Identifier: Apache-2.0
//
// Packing of 1-bit rows, shared by the threshold and the error-diffusion
// paths: ceil(width / 8) bytes a row (packed_row_bytes() in halftone.h),
// leftmost pixel in the top bit, a set bit a black dot, bits beyond the
// width 0.
//

#ifndef PELNA_CORE_PACKING_H
#define PELNA_CORE_PACKING_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pelna {

//
// 'pack8()' - Pack 8 flags (0 or 1), the first into the top bit.
//

[[gnu::always_inline]] inline std::uint8_t
pack8(const std::uint8_t *flags)  // I - 8 flags
{
  if constexpr (std::endian::native == std::endian::little)
  {
    // Flag j sits at bit 8j; the multiplier moves it to bit 63 - j and no
    // two products meet, so the top byte is the packed byte.
    std::uint64_t group;

    memcpy(&group, flags, sizeof(group));
    return static_cast<std::uint8_t>((group * 0x8040201008040201ULL) >> 56);
  }
  else
  {
    std::uint8_t bits = 0;

    for (int j = 0; j < 8; j ++)
      bits = static_cast<std::uint8_t>((bits << 1) | flags[j]);
    return bits;
  }
}

//
// 'pack_row()' - Pack one row, leftmost pixel in the top bit.
//
// black(x) tells whether pixel x is a black dot; it is asked for every x
// below the width and no other.  Bits beyond the width are 0.
//

template <class Black>
[[gnu::always_inline]] inline void
pack_row(std::size_t   width,  // I - Pixels in the row, 1 or more
         std::uint8_t *out,    // O - Packed row
         Black         black)  // I - Whether pixel x is black
{
  const std::size_t full = width / 8;  // Bytes with 8 pixels

  for (std::size_t i = 0; i < full; i ++)
  {
    std::uint8_t flags[8];

    for (std::size_t j = 0; j < 8; j ++)
      flags[j] = black(8 * i + j);
    out[i] = pack8(flags);
  }

  if (width % 8)
  {
    std::uint8_t bits = 0;

    for (std::size_t x = 8 * full; x < width; x ++)
      bits = static_cast<std::uint8_t>(bits | (black(x) << (7 - x % 8)));
    out[full] = bits;
  }
}

//
// 'pack_flags()' - Pack a row of 0/1 flags, 8 per byte.
//
// flags holds 8 x rowBytes entries; the ones beyond the width must be 0.
//

inline void
pack_flags(const std::uint8_t *flags,     // I - One flag per pixel, 1 = black
           std::uint8_t       *out,       // O - Packed row
           std::size_t         rowBytes)  // I - Bytes of the packed row
{
  for (std::size_t i = 0; i < rowBytes; i ++)
    out[i] = pack8(flags + 8 * i);
}

} // namespace pelna

#endif // PELNA_CORE_PACKING_H
