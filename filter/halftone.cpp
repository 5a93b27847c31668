//
// Halftone selection: the job's "Halftone" and "BlacknessAdjustH" choices
// pick a fixed threshold or error diffusion through the gamma table; and the
// threshold packer.  The diffusion itself is in error_diffusion.cpp.
//

#include "pelna.h"
#include "packing.h"

#include <climits>
#include <cmath>
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
// 'gamma_entry()' - One entry of the gamma table.
//
// x = (i + 0.5) / 256 in single precision (exact), raised to the exponent
// in double precision, times 256, minus 0.5, truncated toward zero.  A
// negative exponent gives values above 255, which are held at 255, so every
// entry stays a byte and no conversion can overflow.
//

BYTE
gamma_entry(int    i,         // I - Input gray value
            double exponent)  // I - Exponent of the curve
{
  const float  x = (static_cast<float>(i) + 0.5f) * 0.00390625f;
  const double z = pow(static_cast<double>(x), exponent) * 256.0 - 0.5;

  if (z >= static_cast<double>(kGrayWhite))
    return kGrayWhite;
  if (!(z > 0.0))  // also catches NaN
    return kGrayBlack;

  return static_cast<BYTE>(static_cast<int>(z));
}

} // namespace

//
// 'blackness_number()' - Read the blackness number of a "BlacknessAdjustH"
//                        choice keyword.
//
// Accepts what the scan format "h%d" accepts: a lower-case h, optional
// blanks, an optional sign and decimal digits; anything after the digits is
// ignored.  Any other keyword gives 0.  The number is held within
// -kBlacknessLimit..kBlacknessLimit, so a long digit string cannot overflow
// and the thresholds derived from it stay within 32 bits.
//

int
blackness_number(const char *keyword)  // I - Choice keyword, or NULL
{
  if (!keyword || keyword[0] != 'h')
    return 0;

  const char *p = keyword + 1;

  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' ||
         *p == '\r')
    p ++;

  bool negative = false;

  if (*p == '+' || *p == '-')
    negative = (*p++ == '-');

  if (*p < '0' || *p > '9')
    return 0;

  long long number = 0;  // Grows no further once past the limit

  for (; *p >= '0' && *p <= '9'; p ++)
    if (number <= kBlacknessLimit)
      number = number * 10 + (*p - '0');

  if (number > kBlacknessLimit)
    number = kBlacknessLimit;

  return static_cast<int>(negative ? -number : number);
}

//
// 'fixed_threshold()' - Threshold of the "BW" path for a blackness number.
//
// 40 per step up to 5 (threshold 200), 10 per step after it.
//

int
fixed_threshold(int blackness)  // I - Blackness number, within the limit
{
  const int threshold = kThresholdPerStep * blackness;

  if (threshold < kThresholdPerStep * kBlacknessKnee)
    return kSteepThresholdPerStep * blackness;

  return threshold + kThresholdOffset;
}

//
// 'image_BuildTable()' - Fill the gamma table for an exponent.
//
// An exponent of 1 gives the identity, 0 gives 255 everywhere; above 1 the
// page gets darker, below 1 lighter.
//

void
image_BuildTable(double fPrecompensation)  // I - Exponent of the curve
{
  for (int i = 0; i < 256; i ++)
    g_image_GammaLUT[i] = gamma_entry(i, fPrecompensation);
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
  if (width <= 0 || height <= 0)
    return 1;

  const std::size_t rowBytes = packed_row_bytes(width);
  const std::size_t stride   = static_cast<std::size_t>(width);
  PBYTE             packed   = static_cast<PBYTE>(malloc(rowBytes * height));

  if (!packed)
    return 0;

  if (threshold <= kGrayBlack)
    memset(packed, 0, rowBytes * height);
  else if (threshold > kGrayWhite)
  {
    for (int y = 0; y < height; y ++)
      pack_row(width, packed + y * rowBytes, [](int) { return true; });
  }
  else
  {
    // Within 1..255 the comparison can be made on bytes.
    const BYTE limit = static_cast<BYTE>(threshold);

    for (int y = 0; y < height; y ++)
    {
      const BYTE *src = *data + y * stride;

      pack_row(width, packed + y * rowBytes, [src, limit](int x) { return src[x] < limit; });
    }
  }

  free(*data);
  *data = packed;

  return 1;
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
