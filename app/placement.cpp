// SPDX-License-Identifier: Apache-2.0
//
// Placement on the label, the same for PDF pages, PNG and JPEG pictures:
// content is turned (by orientation-requested, or to suit the label when
// the job names none), sized by print-scaling and centred in the printable
// area (the whole label for fill).  A picture's rows are then made dot by
// dot: each label dot takes the picture pixel under its centre, or for a
// smoothed picture the four around it weighted by distance.
//

#include "placement.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <vector>

namespace pelna_app {

namespace {

// How far content may be over the printable area, in dots, and still count
// as fitting (the rounding of sizes given in hundredths of a millimetre).
constexpr double kFitSlack = 0.5;

// White, on the label.
constexpr std::uint8_t kWhite = 255;

// Weights of smoothing are fixed point: this much is a whole pixel.
constexpr int kWeightOne   = 256;
constexpr int kWeightShift = 16;  // both axes' weights multiplied

//
// 'quarter_turns()' - Clockwise quarter turns for content on the label.
//

int
quarter_turns(const ContentSize &content,  // I - What is placed
              const LabelArea   &label,    // I - The label
              double             aw,       // I - Printable width, in dots
              double             ah)       // I - Printable height, in dots
{
  switch (label.turn)
  {
    case Turn::Portrait :
        return 0;
    case Turn::ReverseLandscape :
        return 1;
    case Turn::ReversePortrait :
        return 2;
    case Turn::Landscape :
        return 3;
    case Turn::Auto :
        break;
  }

  const double area_w = aw / label.xdpi, area_h = ah / label.ydpi;  // inches
  const bool   wide = content.width > content.height, tall = content.width < content.height;

  return (wide && area_w < area_h) || (tall && area_w > area_h) ? kAutoQuarterTurns : 0;
}

//
// 'scaling_for()' - What auto and auto-fit come to: as drawn when the
// content is of a known size and fits, else fit (fill on borderless media
// for auto).
//

Scaling
scaling_for(const LabelArea &label,  // I - The label and the job's wishes
            bool             fits)   // I - The content fits at its own size
{
  if (label.scaling != Scaling::Auto && label.scaling != Scaling::AutoFit)
    return label.scaling;
  if (fits)
    return Scaling::None;
  return label.scaling == Scaling::Auto && label.borderless ? Scaling::Fill : Scaling::Fit;
}

//
// 'visible_span()' - The part of the label placed content covers along one
// axis: its first dot and how many, from the content's offset and size.
//

void
visible_span(int            offset,  // I - Label dot of the content's first dot
             int            size,    // I - Content dots along the axis
             std::uint32_t  label,   // I - Label dots along the axis
             int           &dest,    // O - First label dot covered
             int           &count)   // O - Dots covered
{
  const long long start = std::max<long long>(0, offset);
  const long long end   = std::min<long long>(static_cast<long long>(offset) + size, label);

  dest  = static_cast<int>(start);
  count = end > start ? static_cast<int>(end - start) : 0;
}

} // namespace

//
// 'place_content()' - Place content on the label by the job's
// print-scaling and orientation-requested: turned, scaled and centred in
// the printable area (the whole label for fill); false when it would be
// less than one dot across or down.
//

bool
place_content(const ContentSize &content,  // I - What is placed, as drawn
              const LabelArea   &label,    // I - The label and the job's wishes
              Placement         &out)      // O - Where it lands
{
  out = Placement{};

  const bool   whole = label.scaling == Scaling::Fill;
  const double ax = whole ? 0.0 : label.left, ay = whole ? 0.0 : label.top;
  const double aw = static_cast<double>(label.width) - (whole ? 0.0 : static_cast<double>(label.left) + label.right);
  const double ah = static_cast<double>(label.height) - (whole ? 0.0 : static_cast<double>(label.top) + label.bottom);

  if (aw < 1 || ah < 1 || label.xdpi <= 0 || label.ydpi <= 0 || !(content.width > 0) || !(content.height > 0) ||
      !(content.per_inch >= 0) || !std::isfinite(content.width + content.height + content.per_inch))
    return false;

  out.quarter_turns = quarter_turns(content, label, aw, ah);

  const bool    turned   = out.quarter_turns % 2 != 0;
  const double  per_inch = content.per_inch > 0 ? content.per_inch : kDefaultPerInch;
  const double  nw       = (turned ? content.height : content.width) * label.xdpi / per_inch;  // dots at 100 %
  const double  nh       = (turned ? content.width : content.height) * label.ydpi / per_inch;
  const bool    fits     = content.per_inch > 0 && nw <= aw + kFitSlack && nh <= ah + kFitSlack;
  const Scaling how      = scaling_for(label, fits);
  const double  scale    = how == Scaling::Fit    ? std::min(aw / nw, ah / nh)
                           : how == Scaling::Fill ? std::max(static_cast<double>(label.width) / nw,
                                                             static_cast<double>(label.height) / nh)
                                                  : 1.0;
  const double  rw = nw * scale, rh = nh * scale;

  if (!(rw >= 1.0) || !(rh >= 1.0) || rw > INT_MAX / 2 || rh > INT_MAX / 2)
    return false;

  const bool fill = how == Scaling::Fill;
  out.width  = static_cast<int>(std::lround(rw));
  out.height = static_cast<int>(std::lround(rh));
  out.left   = static_cast<int>(std::lround((fill ? 0.0 : ax) + ((fill ? label.width : aw) - out.width) / 2.0));
  out.top    = static_cast<int>(std::lround((fill ? 0.0 : ay) + ((fill ? label.height : ah) - out.height) / 2.0));
  out.xscale = label.xdpi * scale / per_inch;
  out.yscale = label.ydpi * scale / per_inch;
  visible_span(out.left, out.width, label.width, out.dest_x, out.w);
  visible_span(out.top, out.height, label.height, out.dest_y, out.h);
  if (out.w == 0 || out.h == 0)
    out.w = out.h = 0;
  return true;
}

namespace {

//
// How the turned picture is read: the offset of its pixel (u, v) in the
// picture as drawn is origin + u * du + v * dv.
//

struct TurnedPicture
{
  std::ptrdiff_t origin = 0;  // offset of the turned picture's top left pixel
  std::ptrdiff_t du     = 0;  // step to the next pixel across
  std::ptrdiff_t dv     = 0;  // step to the next pixel down
  std::uint32_t  width  = 0;  // turned picture's pixels across
  std::uint32_t  height = 0;  // and down
};

//
// 'turned_picture()' - How to read a picture turned clockwise a number of
// quarter turns.
//

TurnedPicture
turned_picture(const GrayView &picture,  // I - The picture as drawn
               int             turns)    // I - Clockwise quarter turns
{
  const auto     w = static_cast<std::ptrdiff_t>(picture.width), h = static_cast<std::ptrdiff_t>(picture.height);
  const bool     turned = turns % 2 != 0;
  TurnedPicture  t;

  t.width  = turned ? picture.height : picture.width;
  t.height = turned ? picture.width : picture.height;
  switch (turns & 3)
  {
    case 0 :  // as drawn
        t = {0, 1, w, t.width, t.height};
        break;
    case 1 :  // right: the left column is the top row, read from the bottom up
        t = {(h - 1) * w, -w, 1, t.width, t.height};
        break;
    case 2 :  // upside down
        t = {h * w - 1, -1, -w, t.width, t.height};
        break;
    default :  // left: the right column is the top row, read from the top down
        t = {w - 1, w, -1, t.width, t.height};
        break;
  }
  return t;
}

//
// Where one label dot (or row) reads the turned picture: the pixels on
// either side of its centre and the weight of the second, or the pixel
// under it (first == second) when not smoothed.
//

struct Tap
{
  std::ptrdiff_t first  = 0;  // offset of the first pixel
  std::ptrdiff_t second = 0;  // offset of the second pixel
  int            weight = 0;  // weight of the second, 0 .. kWeightOne
};

//
// 'tap_at()' - Where label dot number dot reads the turned picture along
// one axis.
//

Tap
tap_at(int            dot,       // I - Label dot (or row)
       int            start,     // I - Label dot of the content's first dot
       double         scale,     // I - Label dots per picture pixel
       std::uint32_t  pixels,    // I - Turned picture's pixels along the axis
       std::ptrdiff_t step,      // I - Offset from one pixel to the next
       Sampling       sampling)  // I - How dots take their value
{
  const double at   = (dot + 0.5 - start) / scale;  // picture pixels from the edge
  const auto   last = static_cast<double>(pixels - 1);
  Tap          tap;

  if (sampling == Sampling::Nearest)
  {
    const double p = std::clamp(std::floor(at), 0.0, last);
    tap.first = tap.second = static_cast<std::ptrdiff_t>(p) * step;
    return tap;
  }

  const double centre = std::clamp(at - 0.5, 0.0, last);  // between pixel centres
  const double p      = std::floor(centre);

  tap.first  = static_cast<std::ptrdiff_t>(p) * step;
  tap.second = static_cast<std::ptrdiff_t>(std::min(p + 1.0, last)) * step;
  tap.weight = static_cast<int>(std::lround((centre - p) * kWeightOne));
  return tap;
}

//
// 'sample()' - The value of one dot from the four pixels of its taps.
//

std::uint8_t
sample(const std::uint8_t *row0,  // I - Pixels of the row tap's first row
       const std::uint8_t *row1,  // I - Pixels of its second row
       const Tap          &x,     // I - The dot's tap across
       int                 wy)    // I - Weight of the second row
{
  const int top    = row0[x.first] * (kWeightOne - x.weight) + row0[x.second] * x.weight;
  const int bottom = row1[x.first] * (kWeightOne - x.weight) + row1[x.second] * x.weight;

  return static_cast<std::uint8_t>((top * (kWeightOne - wy) + bottom * wy + (1 << (kWeightShift - 1))) >>
                                   kWeightShift);
}

} // namespace

//
// 'picture_rows()' - Hand every label row to the sink, top first: white,
// with the placed picture's dots where it lands.
//

RowsEnd
picture_rows(const GrayView   &picture,   // I - The picture as drawn
             const Placement  &place,     // I - Where it lands
             const LabelArea  &label,     // I - The label
             Sampling          sampling,  // I - How dots take their value
             const LabelRowSink &sink)    // I - Where rows go
{
  if (picture.width == 0 || picture.height == 0 || picture.pixels.size() / picture.width < picture.height)
    return RowsEnd::Mismatch;

  const bool shows = place.w > 0 && place.h > 0 && place.xscale > 0 && place.yscale > 0 &&
                     place.dest_x >= 0 && place.dest_x + place.w <= static_cast<long long>(label.width);
  const TurnedPicture turned = turned_picture(picture, place.quarter_turns);
  std::vector<std::uint8_t> row;
  std::vector<Tap>          columns;

  try
  {
    row.assign(label.width, kWhite);
    columns.resize(shows ? static_cast<std::size_t>(place.w) : 0);
  }
  catch (const std::bad_alloc &)
  {
    return RowsEnd::NoMemory;
  }
  for (std::size_t i = 0; i < columns.size(); i++)
    columns[i] = tap_at(place.dest_x + static_cast<int>(i), place.left, place.xscale, turned.width, turned.du,
                        sampling);

  const std::uint8_t *base = picture.pixels.data() + turned.origin;  // within the picture: it has pixels
  for (std::uint32_t y = 0; y < label.height; y++)
  {
    const long long line = static_cast<long long>(y) - place.dest_y;

    std::fill(row.begin(), row.end(), kWhite);
    if (shows && line >= 0 && line < place.h)
    {
      const Tap           v    = tap_at(static_cast<int>(y), place.top, place.yscale, turned.height, turned.dv, sampling);
      const std::uint8_t *row0 = base + v.first, *row1 = base + v.second;
      std::uint8_t       *out  = row.data() + place.dest_x;

      for (const Tap &x : columns)
        *out++ = sample(row0, row1, x, v.weight);
    }
    if (!sink(y, row))
      return RowsEnd::Stopped;
  }
  return RowsEnd::Done;
}

} // namespace pelna_app
