// SPDX-License-Identifier: Apache-2.0
//
// Where a picture or a PDF page lands on the label, one set of rules for
// every document type: turned by orientation-requested (or to suit the
// label), scaled by print-scaling, centred; and a gray picture's rows
// made on the label that way.  Nothing here knows PAPPL or poppler, so
// that the PDF worker, the picture jobs and the tests use it as it is.
//

#ifndef PELNA_APP_PLACEMENT_H
#define PELNA_APP_PLACEMENT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace pelna_app {

// print-scaling: how what is printed is sized on the label.
enum class Scaling
{
  Auto,     // as drawn when it fits, else fit (or fill on borderless media)
  AutoFit,  // as drawn when it fits, else fit
  Fit,      // as large as fits whole, centred
  Fill,     // as small as covers the whole label, centred, cut at the edges
  None,     // as drawn, centred, cut at the edges
};

// orientation-requested: how what is printed is turned on the label.
enum class Turn
{
  Auto,              // turned when it is landscape on a portrait label or
                     // portrait on a landscape one (see kAutoQuarterTurns)
  Portrait,          // as drawn
  Landscape,         // a quarter turn left (counter-clockwise)
  ReverseLandscape,  // a quarter turn right (clockwise)
  ReversePortrait,   // upside down
};

//
// The label something goes on, and how the job asks for it to be placed.
//

struct LabelArea
{
  std::uint32_t width      = 0;                 // label width, in dots
  std::uint32_t height     = 0;                 // label length, in dots
  std::uint32_t left       = 0;                 // left margin, in dots
  std::uint32_t top        = 0;                 // top margin, in dots
  std::uint32_t right      = 0;                 // right margin, in dots
  std::uint32_t bottom     = 0;                 // bottom margin, in dots
  int           xdpi       = 0;                 // dots per inch across
  int           ydpi       = 0;                 // dots per inch down
  bool          borderless = false;             // the media has no margins at all
  Scaling       scaling    = Scaling::Auto;     // print-scaling
  Turn          turn       = Turn::Auto;        // orientation-requested
};

// What is placed, as drawn: a picture in pixels or a page in points.
struct ContentSize
{
  double width    = 0;  // across, in its own units
  double height   = 0;  // down, in its own units
  double per_inch = 0;  // its units per inch (72 for a page, a picture's
                        // pixels per inch), 0 when not known
};

// Pixels per inch taken for a picture that names none and is printed at
// its own size (print-scaling none): a screenshot then fits a sheet.
constexpr double kDefaultPerInch = 200.0;

// The clockwise quarter turns of Turn::Auto: content that is landscape on
// a portrait label, or portrait on a landscape one, is turned a quarter
// right (clockwise), its top edge to the label's right, as a CUPS queue
// (pdftopdf) turns such a page, so that a label comes out the same way
// round whether it is sent to the app or through CUPS.
constexpr int kAutoQuarterTurns = 1;

//
// Where content lands: turned, scaled, its top left corner at (left, top)
// on the label, and the part of the label it covers.
//

struct Placement
{
  int    quarter_turns = 0;  // clockwise quarter turns of the content
  double xscale        = 0;  // label dots per unit across the turned content
  double yscale        = 0;  // label dots per unit down the turned content
  int    left          = 0;  // label dot of the turned content's left edge
                             // (negative when it is cut off there)
  int    top           = 0;  // label row of its top edge (likewise)
  int    width         = 0;  // the turned, scaled content across, in dots
  int    height        = 0;  // and down, in rows
  int    dest_x        = 0;  // first label dot it covers
  int    dest_y        = 0;  // first label row it covers
  int    w             = 0;  // label dots it covers in a row (0 when nothing shows)
  int    h             = 0;  // label rows it covers (0 when nothing shows)
};

// placement.cpp: place content on the label; false when it would be less
// than one dot across or down, or the label has no printable area.
[[nodiscard]] bool place_content(const ContentSize &content, const LabelArea &label, Placement &out);

// One label row as it is made: the row number from 0 and its dots, 0 black;
// false to stop.
using LabelRowSink = std::function<bool(std::uint32_t y, std::span<const std::uint8_t> row)>;

// A gray picture as the readers make it: row after row, 0 black.
struct GrayView
{
  std::span<const std::uint8_t> pixels;      // width x height bytes
  std::uint32_t                 width  = 0;  // pixels across
  std::uint32_t                 height = 0;  // rows
};

// How a placed picture's dots take their value.
enum class Sampling
{
  Nearest,  // the pixel under the dot
  Smooth,   // the four pixels around it, weighted by distance
};

// How making a placed picture's rows ended.
enum class RowsEnd
{
  Done,      // every label row handed over
  Stopped,   // the sink asked to stop
  NoMemory,  // no memory for a row
  Mismatch,  // the picture has fewer pixels than its size, or none
};

// placement.cpp: hand every row of the label to the sink, top first: white,
// with the picture turned, scaled and sampled where the placement puts it.
[[nodiscard]] RowsEnd picture_rows(const GrayView &picture, const Placement &place, const LabelArea &label,
                                   Sampling sampling, const LabelRowSink &sink);

} // namespace pelna_app

#endif // PELNA_APP_PLACEMENT_H
