// SPDX-License-Identifier: Apache-2.0
//
// Halftone selection: the job's "Halftone" and "BlacknessAdjustH" choices
// pick a fixed threshold or error diffusion through the gamma table; and the
// two whole-page packers, which run the page's rows through the core's
// halftoner.  The plane-based diffusion is in error_diffusion.cpp.
//

#include "pelna.h"
#include "halftone.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace pelna;

//
// Process-wide state: the gamma table and the value it was built for.
//

BYTE g_image_GammaLUT[256] = {};          // gray value before diffusion
int  last_threshold        = kGammaUnbuilt;  // threshold of the last build

namespace {

//
// 'pack_page()' - Pack a whole page through a halftoner, two rows at a
//                 time.
//
// begin(ht, width, height) starts the halftoner.  On success the page is
// freed and *data holds the packed rows.  Returns 0, leaving *data as it
// was, when memory runs out.  A width or height of 0 or less leaves *data
// as it was and returns 1: there is nothing to pack.
//

template <class Begin>
BOOL
pack_page(int    width,   // I  - Pixels per row
          int    height,  // I  - Rows
          PBYTE *data,    // IO - 8-bit page in, packed rows out
          Begin  begin)   // I  - Starts the halftoner
{
  if (width <= 0 || height <= 0)
    return 1;

  const std::size_t rowBytes = packed_row_bytes(static_cast<std::uint32_t>(width));
  const std::size_t stride   = static_cast<std::size_t>(width);

  if (static_cast<std::size_t>(height) > SIZE_MAX / rowBytes)  // no size for the rows
    return 0;

  PBYTE packed = static_cast<PBYTE>(malloc(rowBytes * height));
  Halftoner         ht;

  if (!packed || !begin(ht, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)))
  {
    free(packed);
    return 0;
  }

  // Two rows at a time, which diffuses faster; an odd last row goes alone.
  const std::size_t rows = static_cast<std::size_t>(height);
  std::size_t       y    = 0;

  for (; y + 1 < rows; y += 2)
  {
    const RowPair pair = halftone_row_pair(ht, {*data + y * stride, stride},
                                           {*data + (y + 1) * stride, stride});

    memcpy(packed + y * rowBytes, pair.upper.data(), rowBytes);
    memcpy(packed + (y + 1) * rowBytes, pair.lower.data(), rowBytes);
  }
  if (y < rows)
  {
    const std::span<const BYTE> row = halftone_row(ht, {*data + y * stride, stride});

    memcpy(packed + y * rowBytes, row.data(), rowBytes);
  }

  halftone_end(ht);
  free(*data);
  *data = packed;

  return 1;
}

} // namespace

//
// 'image_BuildTable()' - Fill the gamma table for an exponent.
//
// An exponent of 1 gives the identity, 0 gives 255 everywhere; above 1 the
// page gets darker, below 1 lighter.
//

void
image_BuildTable(double fPrecompensation)  // I - Exponent of the curve
{
  GammaTable table;

  fill_gamma_table(fPrecompensation, table);
  memcpy(g_image_GammaLUT, table.data(), sizeof(g_image_GammaLUT));
}

//
// 'image_ThresholdingBW()' - Pack the page with a fixed threshold.
//
// A pixel is black when its value is less than threshold (signed, strict):
// 0 or below gives no black dot, 256 or above makes every pixel black.  On
// success the page is freed and *data holds the packed rows.  Returns 0,
// leaving *data as it was, when memory runs out.  A width or height of 0 or
// less leaves *data as it was and returns 1: there is nothing to pack.
//

BOOL
image_ThresholdingBW(int    width,      // I  - Pixels per row
                     int    height,     // I  - Rows
                     PBYTE *data,       // IO - 8-bit page in, packed rows out
                     int    threshold)  // I  - Lowest value that stays white
{
  return pack_page(width, height, data, [threshold](Halftoner &ht, std::uint32_t w, std::uint32_t h) {
    return halftone_begin_threshold(ht, w, h, threshold);
  });
}

//
// 'image_ThresholdingDITHER()' - Pack the page by error diffusion.
//
// Each gray value is read through gamma (the identity when NULL) and the
// page is diffused row by row; the bits equal those of mapping the page,
// diffusing it as a plane with image_FloydSteinberg() and packing the zeros
// as black.  On success the page is freed and *data holds the packed rows.
// Returns 0, leaving *data as it was, when memory runs out.  A width or
// height of 0 or less leaves *data as it was and returns 1.
//

BOOL
image_ThresholdingDITHER(int         width,   // I  - Pixels per row
                         int         height,  // I  - Rows
                         PBYTE      *data,    // IO - 8-bit page in, packed rows out
                         const BYTE *gamma)   // I  - Gamma table, or NULL
{
  GammaTable table;

  for (int i = 0; i < 256; i ++)
    table[i] = gamma ? gamma[i] : static_cast<BYTE>(i);

  return pack_page(width, height, data, [&table](Halftoner &ht, std::uint32_t w, std::uint32_t h) {
    return halftone_begin_diffusion(ht, w, h, table);
  });
}

//
// 'image_Thresholding()' - Halftone the page as the job's choices say.
//
// "Halftone" "BW" packs with the fixed threshold of the blackness number
// read from "BlacknessAdjustH"; any other "Halftone" choice maps the page
// through the gamma table (built for the blackness number when it is not
// yet) and diffuses it.  Without a marked choice for either option the page
// stays as it is and 1 is returned.  Returns 0, leaving *pdata as it was,
// when the page is too large for the packers or memory runs out.
//

BOOL
image_Thresholding(ppd_file_t          *ppd,     // I  - Job's PPD, choices marked
                   cups_page_header2_t *header,  // I  - Page header
                   PBYTE               *pdata)   // IO - 8-bit page in, packed rows out
{
  ppd_choice_t *halftone  = ppdFindMarkedChoice(ppd, "Halftone");
  ppd_choice_t *blackness = halftone ? ppdFindMarkedChoice(ppd, "BlacknessAdjustH") : nullptr;

  if (!halftone || !blackness)
    return 1;

  if (header->cupsWidth > INT_MAX || header->cupsHeight > INT_MAX)
    return 0;

  const int width      = static_cast<int>(header->cupsWidth);
  const int height     = static_cast<int>(header->cupsHeight);
  const int thresholdh = blackness_number(blackness->choice);
  const int threshold  = kThresholdPerStep * thresholdh;

  if (!strcmp(halftone->choice, "BW"))
  {
    const int fixed = fixed_threshold(thresholdh);

    pelna_log("DEBUG", "BlacknessAdjustH->choice=%s,threshold=%d", blackness->choice,
              fixed);

    return image_ThresholdingBW(width, height, pdata, fixed);
  }

  if (last_threshold == kGammaUnbuilt || threshold != last_threshold)
  {
    image_BuildTable(threshold / kGammaDivisor);
    last_threshold = threshold;
  }

  // The table is applied while diffusing rather than by a pass over the
  // page; the bits are the same.
  return image_ThresholdingDITHER(width, height, pdata, g_image_GammaLUT);
}
