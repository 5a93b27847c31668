// SPDX-License-Identifier: Apache-2.0
//
// The halftoner: the job's settings pick a fixed threshold, error diffusion
// through the gamma table (error_diffusion.cpp) or no halftoning; gray rows
// go in one at a time and packed rows come out.
//

#include "halftone.h"
#include "packing.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace pelna {

namespace {

//
// 'gamma_entry()' - One entry of the gamma table.
//
// x = (i + 0.5) / 256 in single precision (exact), raised to the exponent
// in double precision, times 256, minus 0.5, truncated toward zero.  A
// negative exponent gives values above 255, which are held at 255, so every
// entry stays a byte and no conversion can overflow.
//

std::uint8_t
gamma_entry(int    i,         // I - Input gray value
            double exponent)  // I - Exponent of the curve
{
  const float  x = (static_cast<float>(i) + 0.5f) * 0.00390625f;
  const double z = std::pow(static_cast<double>(x), exponent) * 256.0 - 0.5;

  if (z >= static_cast<double>(kGrayWhite))
    return kGrayWhite;
  if (!(z > 0.0))  // also catches NaN
    return kGrayBlack;

  return static_cast<std::uint8_t>(static_cast<int>(z));
}

//
// 'allocate()' - malloc'ed (zeroed when asked) room for count values.
//

template <class T>
MallocPtr<T[]>
allocate(std::size_t count,  // I - Values, 1 or more
         bool        zeroed) // I - Whether to clear them
{
  return MallocPtr<T[]>(static_cast<T *>(zeroed ? calloc(count, sizeof(T))
                                                : malloc(count * sizeof(T))));
}

//
// 'fits()' - Whether a buffer of count values of size bytes each can be
//            asked for: its size must be representable.
//

constexpr bool
fits(std::uint64_t count,  // I - Values
     std::uint64_t size)   // I - Bytes of one value
{
  return count <= SIZE_MAX / size;
}

//
// 'begin_common()' - Clear the context and set the page's size.
//

void
begin_common(Halftoner    &ht,      // O - Page context
             Halftone      method,  // I - How rows become dots
             std::uint32_t width,   // I - Pixels per row
             std::uint32_t height)  // I - Rows
{
  ht           = Halftoner{};
  ht.method    = method;
  ht.width     = width;
  ht.height    = height;
  ht.row_bytes = static_cast<std::uint32_t>(packed_row_bytes(width));
}

//
// 'begin_as_is()' - Start a page whose bytes are taken as packed rows.
//

bool
begin_as_is(Halftoner    &ht,      // O - Page context
            std::uint32_t width,   // I - Pixels per row
            std::uint32_t height)  // I - Rows
{
  begin_common(ht, Halftone::AsIs, width, height);
  if (!fits(std::uint64_t{height} * ht.row_bytes, 1))
  {
    halftone_end(ht);
    return false;
  }
  ht.as_is_size = static_cast<std::size_t>(height) * ht.row_bytes;
  ht.as_is      = allocate<std::uint8_t>(std::max<std::size_t>(ht.as_is_size, 1), false);
  if (!ht.as_is)
    halftone_end(ht);
  return ht.as_is != nullptr;
}

//
// 'as_is_row()' - Keep the row's part of the page's first height x row_bytes
//                 bytes and hand back row rows_done of them.
//
// Row y ends at byte (y + 1) x row_bytes, within the first y + 1 gray rows,
// so it is complete once its own gray row is in.
//

std::span<const std::uint8_t>
as_is_row(Halftoner                    &ht,    // IO - Page context
          std::span<const std::uint8_t> gray)  // I  - Gray row
{
  const std::size_t take = std::min<std::size_t>(ht.width, ht.as_is_size - ht.as_is_used);

  memcpy(ht.as_is.get() + ht.as_is_used, gray.data(), take);
  ht.as_is_used += take;

  return {ht.as_is.get() + static_cast<std::size_t>(ht.rows_done) * ht.row_bytes, ht.row_bytes};
}

//
// 'threshold_row()' - Pack a row with the fixed threshold.
//

void
threshold_row(const Halftoner    &ht,    // I - Page context
              const std::uint8_t *gray,  // I - Gray row
              std::uint8_t       *out)   // O - Packed row
{
  if (ht.threshold <= kGrayBlack)
    memset(out, 0, ht.row_bytes);
  else if (ht.threshold > kGrayWhite)
    pack_row(ht.width, out, [](std::size_t) { return true; });
  else
  {
    // Within 1..255 the comparison can be made on bytes: a block at a time
    // into flags, which vectorises, then packed 8 to a byte.
    constexpr std::size_t kBlock = 16;  // pixels compared at once, one vector
    const std::uint8_t    limit  = static_cast<std::uint8_t>(ht.threshold);
    const std::size_t     width  = ht.width;  // (out may alias ht)
    std::size_t           x      = 0;

    for (; x + kBlock <= width; x += kBlock)
    {
      std::uint8_t flags[kBlock];

      for (std::size_t i = 0; i < kBlock; i ++)
        flags[i] = gray[x + i] < limit;
      pack_flags(flags, out + x / 8, kBlock / 8);
    }
    pack_row(width - x, out + x / 8, [gray, x, limit](std::size_t i) { return gray[x + i] < limit; });
  }
}

//
// 'next_row()' - Halftone the next gray row, already checked, into packed
//                row slot (0 or 1).
//

std::span<const std::uint8_t>
next_row(Halftoner                    &ht,    // IO - Page context
         std::span<const std::uint8_t> gray,  // I  - Gray row, width bytes
         std::size_t                   slot)  // I  - Packed row to fill
{
  if (ht.method == Halftone::AsIs)
  {
    const std::span<const std::uint8_t> packed = as_is_row(ht, gray);

    ht.rows_done ++;
    return packed;
  }

  std::uint8_t *out = ht.packed.get() + slot * ht.row_bytes;  // The row handed back

  if (ht.method == Halftone::Threshold)
    threshold_row(ht, gray.data(), out);
  else
  {
    diffuse_row(ht, gray.data());
    pack_flags(ht.flags.get(), out, ht.row_bytes);
  }

  ht.rows_done ++;
  return {out, ht.row_bytes};
}

} // namespace

//
// 'fill_gamma_table()' - Fill a gamma table for an exponent.
//
// An exponent of 1 gives the identity, 0 gives 255 everywhere; above 1 the
// page gets darker, below 1 lighter.
//

void
fill_gamma_table(double      exponent,  // I - Exponent of the curve
                 GammaTable &table)     // O - Table
{
  for (int i = 0; i < 256; i ++)
    table[i] = gamma_entry(i, exponent);
}

//
// 'gamma_table()' - The gamma table of a blackness number.
//

GammaTable
gamma_table(int blackness)  // I - Blackness number, within the limit
{
  GammaTable table;

  fill_gamma_table(kThresholdPerStep * blackness / kGammaDivisor, table);
  return table;
}

//
// 'halftone_begin_threshold()' - Start a page on the threshold path.
//

bool
halftone_begin_threshold(Halftoner    &ht,         // O - Page context
                         std::uint32_t width,      // I - Pixels per row, 1 or more
                         std::uint32_t height,     // I - Rows
                         int           threshold)  // I - Lowest value that stays white
{
  begin_common(ht, Halftone::Threshold, width, height);
  if (!fits(ht.row_bytes, 2))
  {
    halftone_end(ht);
    return false;
  }
  ht.threshold = threshold;
  ht.packed    = allocate<std::uint8_t>(2 * static_cast<std::size_t>(ht.row_bytes), false);
  if (!ht.packed)
    halftone_end(ht);
  return ht.packed != nullptr;
}

//
// 'halftone_begin_diffusion()' - Start a page on the diffusion path.
//

bool
halftone_begin_diffusion(Halftoner        &ht,      // O - Page context
                         std::uint32_t     width,   // I - Pixels per row, 1 or more
                         std::uint32_t     height,  // I - Rows
                         const GammaTable &gamma)   // I - Gamma table
{
  begin_common(ht, Halftone::Diffusion, width, height);
  if (!fits(std::uint64_t{width} + 1, sizeof(std::uint16_t)) || !fits(ht.row_bytes, 16))
  {
    halftone_end(ht);
    return false;
  }
  ht.gamma   = gamma;
  ht.kind    = quiet_kinds(gamma);
  for (std::size_t i = 0; i < gamma.size(); i ++)
    ht.gamma_offsets[i] = static_cast<std::uint16_t>(gamma[i] * kGammaScale);
  ht.pending = allocate<std::uint16_t>(static_cast<std::size_t>(width) + 1, false);
  ht.spare   = allocate<std::uint16_t>(static_cast<std::size_t>(width) + 1, false);
  ht.flags   = allocate<std::uint8_t>(16 * static_cast<std::size_t>(ht.row_bytes), true);
  ht.packed  = allocate<std::uint8_t>(2 * static_cast<std::size_t>(ht.row_bytes), false);
  if (!ht.pending || !ht.spare || !ht.flags || !ht.packed)
  {
    halftone_end(ht);
    return false;
  }
  std::fill_n(ht.pending.get(), static_cast<std::size_t>(width) + 1, kShareBias);
  return true;
}

//
// 'halftone_begin()' - Start a page with the job's settings.
//

bool
halftone_begin(Halftoner         &ht,        // O - Page context
               std::uint32_t      width,     // I - Pixels per row, 1 or more
               std::uint32_t      height,    // I - Rows
               const JobSettings &settings,  // I - Job's settings
               const MessageSink &messages)  // I - Where the DEBUG line goes
{
  if (width == 0)  // no packed row has 0 bytes; the page check rejects it
  {
    halftone_end(ht);
    return false;
  }

  switch (settings.halftone)
  {
    case Halftone::Threshold :
      {
        const int threshold = fixed_threshold(settings.blackness);

        say(messages, Level::Debug, "BlacknessAdjustH->choice=%s,threshold=%d",
            settings.blackness_keyword.c_str(), threshold);
        return halftone_begin_threshold(ht, width, height, threshold);
      }
    case Halftone::Diffusion :
        return halftone_begin_diffusion(ht, width, height, gamma_table(settings.blackness));
    case Halftone::AsIs :
        break;
  }

  return begin_as_is(ht, width, height);
}

//
// 'halftone_row()' - Halftone the next gray row.
//

std::span<const std::uint8_t>
halftone_row(Halftoner                    &ht,    // IO - Page context
             std::span<const std::uint8_t> gray)  // I  - Gray row, width bytes
{
  if (ht.rows_done >= ht.height || gray.size() < ht.width || ht.width == 0)
    return {};

  return next_row(ht, gray, 0);
}

//
// 'halftone_row_pair()' - Halftone the next two gray rows together.
//
// Diffusion walks both rows at once; the other methods take one row after
// the other.
//

RowPair
halftone_row_pair(Halftoner                    &ht,     // IO - Page context
                  std::span<const std::uint8_t> gray0,  // I  - Upper gray row, width bytes
                  std::span<const std::uint8_t> gray1)  // I  - Lower gray row, width bytes
{
  if (ht.rows_done > ht.height || ht.height - ht.rows_done < 2 || gray0.size() < ht.width ||
      gray1.size() < ht.width || ht.width == 0)
    return {};

  if (ht.method != Halftone::Diffusion)
  {
    const std::span<const std::uint8_t> upper = next_row(ht, gray0, 0);

    return {upper, next_row(ht, gray1, 1)};
  }

  std::uint8_t     *out      = ht.packed.get();  // Both packed rows
  const std::uint8_t *flags  = ht.flags.get();   // Both rows of flags
  const std::size_t rowBytes = ht.row_bytes;

  diffuse_row_pair(ht, gray0.data(), gray1.data());
  pack_flags(flags, out, rowBytes);
  pack_flags(flags + 8 * rowBytes, out + rowBytes, rowBytes);
  ht.rows_done += 2;
  return {{out, rowBytes}, {out + rowBytes, rowBytes}};
}

//
// 'halftone_end()' - Release what the page held.
//

void
halftone_end(Halftoner &ht)  // IO - Page context
{
  ht = Halftoner{};
}

} // namespace pelna
