// SPDX-License-Identifier: Apache-2.0
//
// Print options: darkness to the blackness number, the halftone method
// (print-color-mode bi-level, or the printer's default method), and the
// job's label with how it asks pages and pictures to be placed on it.
//
//   darkness = printer-darkness-configured + print-darkness, held to 0..100
//
//   darkness   0-9  10-19  20-29  30-39  40-49  50-59  60-69  70-79  80-89  90-100
//   blackness   1     2      3      4      5      6      7      8      9      10
//
// The printer's default darkness, 35, gives blackness 4, the PPD files'
// default ("h4").
//
// The printer offers darkness in 21 levels, 0, 5, 10 ... 100: every level
// boundary of the table is one, and so is the default, so that PAPPL's
// Printing Defaults page (which lists 100 * i / (levels - 1) for each level
// i) shows the configured darkness as it is and saves it unchanged.
//

#include "app.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace pelna_app {

namespace {

// The lowest darkness of each blackness number 1..10.
constexpr int kDarknessSteps[] = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90};

// printer-darkness-configured of a new printer: blackness 4.
constexpr int kDefaultDarkness = 35;

// Hundredths of a millimetre in an inch: media margins to dots.
constexpr int kHundredthMmPerInch = 2540;

// Darkness levels offered (printer-darkness-supported): steps of 5.
constexpr int kDarknessLevels = 21;
constexpr int kDarknessStep   = 100 / (kDarknessLevels - 1);
static_assert(kDefaultDarkness % kDarknessStep == 0, "the default is one of the levels");
static_assert(std::ranges::all_of(kDarknessSteps, [](int d) { return d % kDarknessStep == 0; }),
              "every blackness starts on a level");

// The vendor attribute of the printer's default halftone method, applied
// when a job does not ask for bi-level.
constexpr const char *kHalftoneAttr      = "pelna-halftone";
constexpr const char *kHalftoneDefault   = "pelna-halftone-default";
constexpr const char *kHalftoneSupported = "pelna-halftone-supported";
constexpr const char *kHalftoneDiffusion = "error-diffusion";
constexpr const char *kHalftoneThreshold = "threshold";

} // namespace

//
// 'blackness_for_darkness()' - The blackness number of a darkness 0..100
// (values outside are held to it).
//

int
blackness_for_darkness(int darkness)  // I - Darkness
{
  const int d = std::clamp(darkness, 0, 100);
  int       n = 0;

  while (n < static_cast<int>(std::size(kDarknessSteps)) && d >= kDarknessSteps[n])
    n++;
  return n;
}

//
// 'set_options()' - Darkness, the default halftone method and the page
// overrides of a printer.
//

void
set_options(pappl_pr_driver_data_t &data,   // IO - Driver data
            ipp_t                  *attrs)  // IO - Extra printer attributes
{
  static const char *const methods[] = {kHalftoneDiffusion, kHalftoneThreshold};

  data.darkness_supported  = kDarknessLevels;
  data.darkness_configured = kDefaultDarkness;
  data.darkness_default    = 0;

  data.num_vendor = 1;
  data.vendor[0]  = kHalftoneAttr;
  ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, kHalftoneSupported, 2, nullptr, methods);
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, kHalftoneDefault, nullptr, kHalftoneDiffusion);

  // Page overrides (page_settings): darkness and the halftone method, by
  // page of the job's one document.
  static const char *const overridable[] = {"document-number", "pages", "print-darkness", kHalftoneAttr};
  ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "overrides-supported",
                static_cast<int>(std::size(overridable)), nullptr, overridable);
}

namespace {

//
// 'override_applies()' - Whether one of a job's page overrides names a page
// (of its one document).
//

bool
override_applies(ipp_t   *override,  // I - One "overrides" collection
                 unsigned page)      // I - Page number (from 1)
{
  ipp_attribute_t *pages     = ippFindAttribute(override, "pages", IPP_TAG_RANGE);
  ipp_attribute_t *documents = ippFindAttribute(override, "document-numbers", IPP_TAG_RANGE);

  return pages && page <= static_cast<unsigned>(INT_MAX) && ippContainsInteger(pages, static_cast<int>(page)) &&
         (!documents || ippContainsInteger(documents, 1));
}

} // namespace

//
// 'page_settings()' - The core's settings for one page: the job's, changed
// by every page override of the job that names the page, in order (darkness
// and halftone method; a bi-level job keeps the fixed threshold).
//

pelna::JobSettings
page_settings(const pelna::JobSettings &job,        // I - The job's settings
              const pappl_pr_options_t &options,    // I - Print options
              ipp_attribute_t          *overrides,  // I - The job's "overrides", or null
              unsigned                  page)       // I - Page number (from 1)
{
  pelna::JobSettings settings = job;
  const int          count    = ippGetCount(overrides);

  for (int i = 0; i < count && ippGetValueTag(overrides) == IPP_TAG_BEGIN_COLLECTION; i++)
  {
    ipp_t *override = ippGetCollection(overrides, i);

    if (!override_applies(override, page))
      continue;
    if (ipp_attribute_t *dark = ippFindAttribute(override, "print-darkness", IPP_TAG_INTEGER))
      settings.blackness = blackness_for_darkness(options.darkness_configured + ippGetInteger(dark, 0));
    const char *method = ippGetString(ippFindAttribute(override, kHalftoneAttr, IPP_TAG_KEYWORD), 0, nullptr);
    if (method && options.print_color_mode != PAPPL_COLOR_MODE_BI_LEVEL)
      settings.halftone = !strcmp(method, kHalftoneThreshold) ? pelna::Halftone::Threshold : pelna::Halftone::Diffusion;
  }
  return settings;
}

//
// 'job_settings()' - The core's settings for a job: bi-level is the fixed
// threshold, otherwise the printer's default method; darkness gives the
// blackness number; media tracking the page mark.
//

pelna::JobSettings
job_settings(const pappl_pr_options_t &options)  // I - Print options
{
  pelna::JobSettings settings;
  const char        *method = cupsGetOption(kHalftoneAttr, options.num_vendor, options.vendor);

  if (options.print_color_mode == PAPPL_COLOR_MODE_BI_LEVEL || (method && !strcmp(method, kHalftoneThreshold)))
    settings.halftone = pelna::Halftone::Threshold;
  else
    settings.halftone = pelna::Halftone::Diffusion;
  settings.blackness = blackness_for_darkness(options.darkness_configured + options.print_darkness);
  settings.page_mark = page_mark_for(options.media.tracking);
  settings.deflate_level = pelna::kAppDeflateLevel;
  return settings;
}

namespace {

//
// 'scaling_of()' - The placement a print-scaling value asks for.
//

Scaling
scaling_of(pappl_scaling_t scaling)  // I - print-scaling
{
  switch (scaling)
  {
    case PAPPL_SCALING_AUTO_FIT :
        return Scaling::AutoFit;
    case PAPPL_SCALING_FILL :
        return Scaling::Fill;
    case PAPPL_SCALING_FIT :
        return Scaling::Fit;
    case PAPPL_SCALING_NONE :
        return Scaling::None;
    default :
        return Scaling::Auto;
  }
}

//
// 'turn_of()' - The turn an orientation-requested value asks for.  The
// printer's default, portrait, is what PAPPL hands over for a job that
// names no orientation; such a job has each page or picture turned to suit
// the label.
//

Turn
turn_of(pappl_job_t  *job,          // I - Job
        ipp_orient_t  orientation)  // I - orientation-requested of its options
{
  const bool named = papplJobGetAttribute(job, "orientation-requested") != nullptr;

  switch (orientation)
  {
    case IPP_ORIENT_PORTRAIT :
        return named ? Turn::Portrait : Turn::Auto;
    case IPP_ORIENT_LANDSCAPE :
        return Turn::Landscape;
    case IPP_ORIENT_REVERSE_LANDSCAPE :
        return Turn::ReverseLandscape;
    case IPP_ORIENT_REVERSE_PORTRAIT :
        return Turn::ReversePortrait;
    default :
        return Turn::Auto;
  }
}

} // namespace

//
// 'job_label()' - The job's label in dots, from its print options, and how
// the job asks pages and pictures to be placed on it.
//

LabelArea
job_label(pappl_job_t              *job,      // I - Job
          const pappl_pr_options_t &options)  // I - Its print options
{
  const pappl_media_col_t &media = options.media;
  const int                xdpi  = static_cast<int>(options.header.HWResolution[0]);
  const int                ydpi  = static_cast<int>(options.header.HWResolution[1]);
  LabelArea                label;

  label.width      = options.header.cupsWidth;
  label.height     = options.header.cupsHeight;
  label.left       = static_cast<std::uint32_t>(std::max(0, media.left_margin) * xdpi / kHundredthMmPerInch);
  label.right      = static_cast<std::uint32_t>(std::max(0, media.right_margin) * xdpi / kHundredthMmPerInch);
  label.top        = static_cast<std::uint32_t>(std::max(0, media.top_margin) * ydpi / kHundredthMmPerInch);
  label.bottom     = static_cast<std::uint32_t>(std::max(0, media.bottom_margin) * ydpi / kHundredthMmPerInch);
  label.xdpi       = xdpi;
  label.ydpi       = ydpi;
  label.borderless = !media.left_margin && !media.right_margin && !media.top_margin && !media.bottom_margin;
  label.scaling    = scaling_of(options.print_scaling);
  label.turn       = turn_of(job, options.orientation_requested);
  return label;
}

} // namespace pelna_app
