// SPDX-License-Identifier: Apache-2.0
//
// Readers of the option keywords that carry the job's settings.
//

#include "settings.h"

#include <cstring>

namespace pelna {

//
// 'blackness_number()' - Read the blackness number of a keyword "h<n>".
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

  while (*p && strchr(" \t\n\v\f\r", *p))
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
// 'fixed_threshold()' - Threshold of the fixed-threshold path.
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
// 'page_mark_from_keyword()' - The page mark of a "PageMark" keyword.
//

PageMark
page_mark_from_keyword(const char *keyword)  // I - Choice keyword, or NULL
{
  if (keyword && !strcmp(keyword, "PageMarkLabel"))
    return PageMark::Label;
  if (keyword && !strcmp(keyword, "PageMarkBlack"))
    return PageMark::BlackMark;

  return PageMark::Continuous;
}

//
// 'halftone_from_keyword()' - The halftone method of a "Halftone" keyword.
//

Halftone
halftone_from_keyword(const char *keyword)  // I - Choice keyword
{
  return keyword && !strcmp(keyword, "BW") ? Halftone::Threshold : Halftone::Diffusion;
}

} // namespace pelna
