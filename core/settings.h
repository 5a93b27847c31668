// SPDX-License-Identifier: Apache-2.0
//
// The job's settings as plain values, and pure readers of the option
// keywords that carry them.  Both front ends turn their own options (PPD
// choices, IPP attributes) into these values; nothing below them reads an
// option again.
//

#ifndef PELNA_CORE_SETTINGS_H
#define PELNA_CORE_SETTINGS_H

#include "pelna_format.h"

#include <cstdint>
#include <string>

namespace pelna {

//
// How an 8-bit page becomes dots.
//

enum class Halftone
{
  Threshold,  // fixed threshold from the blackness number
  Diffusion,  // gamma curve from the blackness number, then error diffusion
  AsIs        // no halftoning: the page's bytes are taken as packed rows
              // (a PPD without the halftoning options asks for this)
};

//
// The media kind the printer is told at the end of every page.
//

enum class PageMark : std::uint8_t
{
  Continuous = kPageMarkNone,   // continuous media
  Label      = kPageMarkLabel,  // labels separated by gaps
  BlackMark  = kPageMarkBlack   // media with black marks
};

//
// The deflate level of the Printer Application's page frames.  A label
// server pays for every frame in CPU time: on a 4 x 6 in label with a
// photo band, level 1 makes the frame in about 40 % of the time of level 6
// for a frame under 3 % longer, and every level keeps the dots the same.
//

constexpr int kAppDeflateLevel = 1;

//
// Everything the core needs to know about a job.
//

struct JobSettings
{
  Halftone    halftone  = Halftone::Diffusion;   // how gray becomes dots
  int         blackness = kDefaultBlackness;     // blackness number, within
                                                 // +/-kBlacknessLimit
  PageMark    page_mark = PageMark::Continuous;  // media kind
  std::string blackness_keyword;                 // keyword the number was read
                                                 // from, shown on the threshold
                                                 // path's DEBUG line
  std::string page_mark_keyword;                 // the page mark's keyword as
                                                 // given, logged with every
                                                 // page; empty: not logged
  int         deflate_level = kDeflateLevel;     // compression level of the
                                                 // page frames, 1 to 12
};

// The blackness number of a "BlacknessAdjustH" keyword "h<n>"; 0 when the
// keyword does not read as one.
[[nodiscard]] int blackness_number(const char *keyword);

// The fixed threshold for a blackness number: 40 per step up to 5, 10 per
// step after it.
[[nodiscard]] int fixed_threshold(int blackness);

// The page mark of a "PageMark" keyword; unknown keywords and NULL give
// continuous media.
[[nodiscard]] PageMark page_mark_from_keyword(const char *keyword);

// The halftone method of a "Halftone" keyword: "BW" is the fixed threshold,
// any other keyword error diffusion.
[[nodiscard]] Halftone halftone_from_keyword(const char *keyword);

} // namespace pelna

#endif // PELNA_CORE_SETTINGS_H
