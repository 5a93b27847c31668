// SPDX-License-Identifier: Apache-2.0
//
// Media: the label sizes of the PPD files under PWG names, custom sizes
// from 0.5 in up to the head width and 1 m long, the loaded roll, and media
// tracking as the page mark the printer is told.
//

#include "app.h"

#include <cstdio>

namespace pelna_app {

namespace {

// The PPD files' sizes by PWG name, largest first as the PPD lists them.
// Sizes without a standard name have self-describing ones of the "oe"
// (inch) and "om" (millimetre) classes: PAPPL's Media page lists every name
// but custom_ ones, and libcups reads the same size (and the same PPD size
// name, "4x5" or "62x29mm") from either.  No dot in the name part of a PWG
// name: 2.25 in is "2-25".
constexpr const char *kSizes[] = {
  "na_index-4x6_4x6in",
  "oe_4x5-label_4x5in",
  "oe_4x4-label_4x4in",
  "oe_4x3-label_4x3in",
  "oe_4x2-label_4x2in",
  "oe_4x1-label_4x1in",
  "oe_3x2-label_3x2in",
  "oe_2-25x1-25-label_2.25x1.25in",
  "oe_2x1-label_2x1in",
  "oe_2x1-25-label_2x1.25in",
  "om_small-photo_100x150mm",
  "om_100x100-label_100x100mm",
  "om_100x75-label_100x75mm",
  "om_100x50-label_100x50mm",
  "om_62x29-label_62x29mm",
  "om_62x100-label_62x100mm",
  "om_57x32-label_57x32mm",
  "om_50x30-label_50x30mm",
  "om_50x25-label_50x25mm",
  "om_40x30-label_40x30mm",
};

// Smallest custom size: half an inch each way.
constexpr const char *kRollMin = "roll_min_0.5x0.5in";

// The roll loaded when a printer is added: 4 x 6 in labels with gaps.
constexpr const char *kDefaultSize = "na_index-4x6_4x6in";
constexpr int kDefaultWidth  = 10160;  // hundredths of a millimetre
constexpr int kDefaultLength = 15240;

// Margins of 0.01 mm, less than a dot: CUPS builds a broken PPD for a
// driverless queue when every margin is zero.
constexpr int kMargin = 1;

} // namespace

//
// 'set_media()' - Media sizes, the loaded roll and media tracking of a model.
//

void
set_media(const Model            &model,  // I - Printer model
          pappl_pr_driver_data_t &data)   // IO - Driver data
{
  int n = 0;  // Sizes listed

  for (const char *size : kSizes)
    data.media[n++] = size;
  data.media[n++] = model.roll_max;
  data.media[n++] = kRollMin;
  data.num_media  = n;

  data.borderless = false;
  data.left_right = kMargin;
  data.bottom_top = kMargin;

  data.num_source = 1;
  data.source[0]  = "main-roll";
  data.num_type   = 1;
  data.type[0]    = "labels";
  data.tracking_supported = static_cast<pappl_media_tracking_t>(
      PAPPL_MEDIA_TRACKING_GAP | PAPPL_MEDIA_TRACKING_MARK | PAPPL_MEDIA_TRACKING_CONTINUOUS);

  pappl_media_col_t &ready = data.media_ready[0];
  snprintf(ready.size_name, sizeof(ready.size_name), "%s", kDefaultSize);
  snprintf(ready.source, sizeof(ready.source), "%s", data.source[0]);
  snprintf(ready.type, sizeof(ready.type), "%s", data.type[0]);
  ready.size_width    = kDefaultWidth;
  ready.size_length   = kDefaultLength;
  ready.left_margin   = ready.right_margin = kMargin;
  ready.top_margin    = ready.bottom_margin = kMargin;
  ready.tracking      = PAPPL_MEDIA_TRACKING_GAP;
  data.media_default  = ready;
}

//
// 'page_mark_for()' - The page mark a media-tracking value asks for: gaps
// are labels, marks are black-mark media, anything else continuous.
//

pelna::PageMark
page_mark_for(pappl_media_tracking_t tracking)  // I - media-tracking
{
  switch (tracking)
  {
    case PAPPL_MEDIA_TRACKING_GAP :
        return pelna::PageMark::Label;
    case PAPPL_MEDIA_TRACKING_MARK :
        return pelna::PageMark::BlackMark;
    default :
        return pelna::PageMark::Continuous;
  }
}

} // namespace pelna_app
